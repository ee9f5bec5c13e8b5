// What pacing to real time costs: the CPU time of a thread that runs a console at the default
// clock speed for a few seconds, as a share of one core, for three ways of pacing:
//
//   step  one instruction at a time, reading the clock after each and sleeping whenever
//         emulated time is ahead (as the run thread does);
//   slack one instruction at a time, reading the clock after each but sleeping only once
//         emulated time is a millisecond or more ahead;
//   frame a whole frame with runFrame, then one sleep until that frame is due;
//   thread the console's own run thread (start, wait, stop), measured as the CPU time of the
//         whole process, the waiting main thread included.
//
//     pacing_cost ROM [SECONDS [WAY...]]   (one JSON line per way on standard error)
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "host/console.hpp"

namespace {

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t cpu_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void sleep_ns(int64_t ns) {
    timespec remaining{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {}
}

struct Result {
    double cpu_share;
    long sleeps;
    double frames_per_second;
};

Result run_thread(const char* rom, double seconds) {
    NESUnit console(rom, NESUnit::DEFAULT_CLOCK_SPEED);
    console.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past start-up
    const int64_t start = now_ns();
    const int64_t cpu0 = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
    const long long frames0 = console.frame_count();
    std::this_thread::sleep_for(std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9)));
    const long long frames = console.frame_count() - frames0;
    const double wall = static_cast<double>(now_ns() - start) / 1e9;
    const double cpu = static_cast<double>(cpu_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu0) / 1e9;
    console.halt();
    return {cpu / wall, -1, static_cast<double>(frames) / wall};
}

Result run(const char* rom, const char* way, double seconds) {
    if (std::strcmp(way, "thread") == 0) return run_thread(rom, seconds);
    NESUnit console(rom, NESUnit::DEFAULT_CLOCK_SPEED);
    const int32_t speed = console.cpu->clock_speed;
    const int64_t start = now_ns();
    const int64_t cpu0 = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
    const int64_t cycles0 = console.cpu->cycle_count;
    const long long frames0 = console.frame_count();
    const auto duration = static_cast<int64_t>(seconds * 1e9);
    long sleeps = 0;
    const bool frames = std::strcmp(way, "frame") == 0;
    const int64_t slack = std::strcmp(way, "slack") == 0 ? 1000000 : 0;
    while (now_ns() - start < duration) {
        if (frames)
            console.runFrame();
        else
            console.single_cycle();
        const int64_t target = start + RunControl::pacing_target_ns(console.cpu->cycle_count - cycles0, speed);
        const int64_t ahead = target - now_ns();
        if (ahead > slack) {
            sleep_ns(ahead);
            ++sleeps;
        }
    }
    const double wall = static_cast<double>(now_ns() - start) / 1e9;
    return {static_cast<double>(cpu_ns(CLOCK_THREAD_CPUTIME_ID) - cpu0) / 1e9 / wall, sleeps,
            static_cast<double>(console.frame_count() - frames0) / wall};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: pacing_cost ROM [SECONDS [WAY...]]\n");
        return 2;
    }
    const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    std::vector<const char*> ways(argv + std::min(argc, 3), argv + argc);
    if (ways.empty()) ways = {"step", "slack", "frame", "thread"};
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    for (const char* way : ways) {
        const Result r = run(argv[1], way, seconds);
        char sleeps[32] = "null";  // the run thread's waits are not counted
        if (r.sleeps >= 0) std::snprintf(sleeps, sizeof sleeps, "%.0f", static_cast<double>(r.sleeps) / seconds);
        std::fprintf(stderr, "{\"way\": \"%s\", \"cpu_share\": %.4f, \"sleeps_per_second\": %s, \"fps\": %.1f}\n", way,
                     r.cpu_share, sleeps, r.frames_per_second);
    }
    return 0;
}
