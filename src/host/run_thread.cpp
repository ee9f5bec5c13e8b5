// The run thread: steps the console one instruction at a time and sleeps whenever emulated
// time is ahead of wall-clock time.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>

#include "host/console.hpp"
#include "host/errors.hpp"

namespace {

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int64_t PACING_SLACK_NS = 1000000;

void sleep_ns(int64_t ns) {
    timespec remaining{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace

int64_t NESUnit::pacing_target_ns(int64_t cycles, int32_t clock_speed) {
    // cycles * 1e9 / speed, split so that no product overflows: the remainder is below the
    // speed (< 2^31), so remainder * 1e9 stays below 2^61.
    const int64_t whole_seconds = cycles / clock_speed;
    const int64_t rest = cycles % clock_speed;
    return whole_seconds * 1000000000 + rest * 1000000000 / clock_speed;
}

void NESUnit::start() {
    if (running.load()) throw StateError("start: the console is already running");
    if (run_thread.joinable()) run_thread.join();  // a thread that ended by itself
    running.store(true);
    start_time = now_ns();
    pause_start = start_time;
    pause_total.store(0);
    start_cycles = cpu->cycle_count.load();
    {
        std::lock_guard<std::mutex> lock(park_mutex);
        thread_active = true;
    }
    run_thread = std::thread([this] {
        operation_thread();
        // It may release the console: nothing after it touches `this`.
        if (std::function<void()> last = std::move(at_thread_exit)) last();
    });
}

void NESUnit::stop() {
    // The thread ends first, so the battery RAM file holds the RAM after a whole instruction.
    running.store(false);
    if (!on_run_thread() && run_thread.joinable()) run_thread.join();
    write_battery_ram();
}

void NESUnit::set_pause(bool p) {
    if (p && !paused.load()) {
        const int64_t now = now_ns();
        paused.store(true);
        pause_start = now;
    } else if (!p && paused.load()) {
        const int64_t now = now_ns();
        paused.store(false);
        pause_total.fetch_add(now - pause_start);
    } else {
        paused.store(p);
    }
}

void NESUnit::perFrame(const std::function<void()>& f) {
    auto next = std::make_shared<const std::function<void()>>(f);
    perframefunc.store(std::move(next));
}

void NESUnit::park_here() {
    std::unique_lock<std::mutex> lock(park_mutex);
    parked = true;
    park_cv.notify_all();
    park_cv.wait(lock, [this] { return !park_request.load(std::memory_order_relaxed); });
    parked = false;
}

void NESUnit::operation_thread() {
    run_thread_id.store(std::this_thread::get_id());
    const bool paced = cpu->clock_speed != INT_MAX;
    try {
        while (running.load(std::memory_order_relaxed)) {
            if (park_request.load(std::memory_order_relaxed)) park_here();
            if (paused.load(std::memory_order_relaxed)) {
                // Polls the flags without burning a whole core while paused.
                sleep_ns(1000000);
                continue;
            }
            single_cycle();
            if (!paced) continue;
            const int64_t target = start_time + pause_total.load(std::memory_order_relaxed) +
                                   pacing_target_ns(cpu->cycle_count.load() - start_cycles, cpu->clock_speed);
            const int64_t now = now_ns();
            // Sleeping only once a millisecond ahead keeps the emulated clock within a
            // millisecond of the wall clock at a small fraction of the wake-ups.
            if (target - now >= PACING_SLACK_NS) sleep_ns(target - now);
        }
    } catch (const ReportedError&) {
        running.store(false);  // the per-frame function's error has been reported already
    } catch (const std::exception& e) {
        running.store(false);
        std::fprintf(stderr, "zumbrel: the run thread stopped: %s\n", e.what());
    }
    std::lock_guard<std::mutex> lock(park_mutex);
    thread_active = false;
    park_cv.notify_all();
}
