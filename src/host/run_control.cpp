// The run thread and the run control: who steps the machine, when the run thread starts and
// ends, and how other threads get the machine while it runs.
#include "host/run_control.hpp"

#include <chrono>
#include <cstdio>
#include <new>

#include "host/errors.hpp"

namespace {

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int64_t PACING_SLACK_NS = 1000000;
// How far emulated time may run ahead of the wall clock: a little more than a frame at the
// NTSC clock, so that at full speed a frame runs in one go, while a slow clock still advances
// smoothly instead of a whole (long) frame at a time.
constexpr int64_t PACING_LEAD_NS = 20000000;

// The cycles that pass in `ns` at `clock_speed`, without overflow (the inverse of the
// pacing target).
int64_t cycles_in_ns(int64_t ns, int32_t clock_speed) {
    return ns / 1000000000 * clock_speed + ns % 1000000000 * clock_speed / 1000000000;
}

// The run control whose run thread this is (null on every other thread).
thread_local const RunControl* run_thread_owner = nullptr;

// A run thread must not wait for another run thread to end: that one may be waiting, inside
// its per-frame function, for this one.
bool may_wait_for_other_threads() { return run_thread_owner == nullptr; }

std::atomic<bool> starts_refused{false};

}  // namespace

void RunControl::refuse_starts() { starts_refused.store(true); }

int64_t RunControl::pacing_target_ns(int64_t cycles, int32_t clock_speed) {
    // cycles * 1e9 / speed, split so that no product overflows: the remainder is below the
    // speed (< 2^31), so remainder * 1e9 stays below 2^61.
    const int64_t whole_seconds = cycles / clock_speed;
    const int64_t rest = cycles % clock_speed;
    return whole_seconds * 1000000000 + rest * 1000000000 / clock_speed;
}

bool RunControl::on_run_thread() const { return run_thread_owner == this; }

RunState RunControl::state() const {
    std::lock_guard<std::mutex> lock(control);
    return run_state_;
}

bool RunControl::is_running() const {
    const RunState s = state();
    return s == RunState::starting || s == RunState::running;
}

void RunControl::reset_in_fork_child() {
    new (&control) std::mutex();
    new (&control_cv) std::condition_variable();
    if (on_run_thread()) return;  // forked from its own per-frame function
    // The parent's thread does not exist here: forget its handle without joining.
    new (&run_thread) std::thread();
    run_state_ = RunState::stopped;
    thread_done = thread_leaving = joining = restart_pacing = false;
    threads_joined = threads_launched;
    stop_waiters = park_waiters = 0;
    attention.store(false);
    const std::thread::id me = std::this_thread::get_id();
    if (stepper != me) {
        stepper = std::thread::id();
        stepping_depth = 0;
        resting = false;
    }
    if (borrower != me) {
        borrower = std::thread::id();
        borrow_depth = 0;
    }
}

// ---------------------------------------------------------------------------------------------
// Starting and stopping

void RunControl::start() {
    std::unique_lock<std::mutex> lock(control);
    const std::thread::id me = std::this_thread::get_id();
    for (;;) {
        if (starts_refused.load()) throw StateError("start: the interpreter is exiting");
        switch (run_state_) {
            case RunState::starting:
            case RunState::running: throw StateError("start: the console is already running");
            case RunState::stopping:
                if (!thread_leaving && stop_waiters == 0) {
                    // Still in its loop and nobody waits for its end: it simply goes on, with
                    // its pacing measured afresh (a per-frame function's "stop" then "start").
                    run_state_ = RunState::running;
                    restart_pacing = true;
                    raise_attention();
                    return;
                }
                if (on_run_thread() || (!thread_done && !may_wait_for_other_threads()))
                    throw StateError("start: the console is still stopping");
                await_thread_end(lock);
                break;
            case RunState::stopped:
                if (stepper != std::thread::id())
                    throw StateError(stepper == me ? "start: not from a per-frame function during runFrame"
                                                   : "start: runFrame is stepping the console on another thread");
                if (borrower != std::thread::id()) {  // a save or load in progress: short
                    control_cv.wait(lock);
                    break;
                }
                launch();
                return;
        }
    }
}

void RunControl::launch() {
    reset_pacing();
    thread_done = thread_leaving = false;
    restart_pacing = false;
    battery_at_exit = false;
    ++threads_launched;
    attention.store(park_waiters > 0);
    run_state_ = RunState::starting;
    try {
        run_thread = std::thread([this] { thread_main(); });
    } catch (...) {  // no thread (out of resources): nothing to await
        --threads_launched;
        run_state_ = RunState::stopped;
        throw;
    }
    stepper = run_thread.get_id();
    stepping_depth = 1;
    resting = false;
}

bool RunControl::stop() {
    std::unique_lock<std::mutex> lock(control);
    mark_stopping();
    if (run_state_ == RunState::stopping && !on_run_thread()) {
        if (!thread_done && !may_wait_for_other_threads()) {
            // Called from another console's run thread: the ending thread writes the file.
            battery_at_exit = true;
            return false;
        }
        ++stop_waiters;
        await_thread_end(lock);
        --stop_waiters;
    }
    return true;
}

void RunControl::mark_stopping() {
    if (run_state_ == RunState::starting || run_state_ == RunState::running) {
        run_state_ = RunState::stopping;
        raise_attention();
    }
}

void RunControl::request_stop() {
    std::lock_guard<std::mutex> lock(control);
    mark_stopping();
}

void RunControl::halt() {
    std::unique_lock<std::mutex> lock(control);
    mark_stopping();
    if (run_state_ != RunState::stopping) return;
    if (on_run_thread()) {
        // Released by its own thread as the thread's last act: nobody can join it any more.
        if (thread_done && run_thread.joinable()) {
            run_thread.detach();
            threads_joined = threads_launched;
            run_state_ = RunState::stopped;
        }
        return;
    }
    ++stop_waiters;
    await_thread_end(lock);
    --stop_waiters;
}

// Waits until the current run thread has ended and been joined (by this caller or another).
void RunControl::await_thread_end(std::unique_lock<std::mutex>& lock) {
    // A later start may launch a new thread before this caller wakes: that one is not awaited.
    const uint64_t awaited = threads_launched;
    while (threads_joined < awaited) {
        if (thread_done && !joining) {
            joining = true;
            std::thread ended = std::move(run_thread);
            lock.unlock();
            ended.join();  // it only has its last act left (at_thread_exit)
            lock.lock();
            joining = false;
            thread_done = thread_leaving = false;
            threads_joined = threads_launched;
            run_state_ = RunState::stopped;
            control_cv.notify_all();
        } else {
            control_cv.wait(lock);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The run thread

void RunControl::thread_main() {
    run_thread_owner = this;
    {
        std::lock_guard<std::mutex> lock(control);
        if (run_state_ == RunState::starting) run_state_ = RunState::running;
    }
    operation_thread();
    finish_thread();
    // It may release the console: nothing after it touches `this`.
    machine_.thread_exited();
}

// Handles what the other threads asked for; false when the thread shall end.
bool RunControl::attend() {
    std::unique_lock<std::mutex> lock(control);
    if (restart_pacing) {
        restart_pacing = false;
        reset_pacing();
    }
    if (park_waiters > 0 && run_state_ != RunState::stopping) {
        resting = true;
        control_cv.notify_all();
        control_cv.wait(lock, [this] {
            return borrower == std::thread::id() && (park_waiters == 0 || run_state_ == RunState::stopping);
        });
        resting = false;
    }
    attention.store(run_state_ == RunState::stopping || restart_pacing || park_waiters > 0);
    // Once the thread decides to leave, a start no longer revives it.
    thread_leaving = run_state_ == RunState::stopping;
    return !thread_leaving;
}

// A frame at a time with the lagging catch-up, then (paced) one wait until the frame is due:
// between frames the machine stands caught up, as stepping leaves it, for whoever looks.
void RunControl::operation_thread() {
    const int32_t speed = machine_.clock_speed();
    const bool paced = speed != UNPACED;
    try {
        for (;;) {
            if (attention.load(std::memory_order_relaxed) && !attend()) break;
            if (paused.load(std::memory_order_relaxed)) {
                rest_while_paused();
                continue;
            }
            if (!paced) {
                machine_.run_frame_part(NO_CYCLE_LIMIT);
                continue;
            }
            // Emulated time since the origin may reach the wall clock's plus the lead.
            const int64_t allowed = now_ns() + PACING_LEAD_NS - emulation_origin();
            machine_.run_frame_part(start_cycles.load(std::memory_order_relaxed) + cycles_in_ns(allowed, speed));
            const int64_t target =
                emulation_origin() +
                pacing_target_ns(machine_.cycles() - start_cycles.load(std::memory_order_relaxed), speed);
            // Behind by any amount, or ahead by less than a millisecond: no wait.
            if (target - now_ns() >= PACING_SLACK_NS) rest_until(target);
        }
    } catch (const ReportedError&) {
        // the per-frame function's error has been reported already
    } catch (const std::exception& e) { std::fprintf(stderr, "zumbrel: the run thread stopped: %s\n", e.what()); }
}

// The wall-clock instant at which `start_cycles` were (or would have been) emulated.
int64_t RunControl::emulation_origin() const {
    return start_time.load(std::memory_order_relaxed) + pause_total.load(std::memory_order_relaxed);
}

void RunControl::reset_pacing() {
    start_time.store(now_ns());
    pause_start.store(start_time.load());
    pause_total.store(0);
    start_cycles.store(machine_.cycles());
}

void RunControl::raise_attention() {
    attention.store(true);
    control_cv.notify_all();  // a resting run thread wakes for it
}

void RunControl::rest_until(int64_t target_ns) {
    const std::chrono::steady_clock::time_point due{std::chrono::nanoseconds(target_ns)};
    std::unique_lock<std::mutex> lock(control);
    control_cv.wait_until(lock, due, [this] { return attention.load() || paused.load(); });
}

void RunControl::rest_while_paused() {
    std::unique_lock<std::mutex> lock(control);
    control_cv.wait(lock, [this] { return attention.load() || !paused.load(); });
}

void RunControl::finish_thread() {
    bool write_battery = false;
    {
        std::unique_lock<std::mutex> lock(control);
        thread_leaving = true;  // also when it ended by itself (an error)
        run_state_ = RunState::stopping;
        // A borrower that arrived while the thread ended finishes first.
        control_cv.wait(lock, [this] { return borrower == std::thread::id(); });
        write_battery = battery_at_exit;
        battery_at_exit = false;
    }
    if (write_battery) {
        try {
            machine_.write_battery_ram_file();
        } catch (const std::exception& e) {
            std::printf("zumbrel: the battery RAM file was not written: %s\n", e.what());
        }
    }
    std::lock_guard<std::mutex> lock(control);
    stepper = std::thread::id();
    stepping_depth = 0;
    resting = false;
    thread_done = true;
    attention.store(false);
    control_cv.notify_all();
}

void RunControl::set_pause(bool p) {
    std::lock_guard<std::mutex> lock(control);
    if (p && !paused.load()) {
        const int64_t now = now_ns();
        paused.store(true);
        pause_start.store(now);
    } else if (!p && paused.load()) {
        const int64_t now = now_ns();
        paused.store(false);
        pause_total.fetch_add(now - pause_start.load());
        control_cv.notify_all();  // the paused run thread goes on
    }
}

// ---------------------------------------------------------------------------------------------
// Using the machine from other threads

void RunControl::borrow() {
    std::unique_lock<std::mutex> lock(control);
    const std::thread::id me = std::this_thread::get_id();
    if (borrower == me) {
        ++borrow_depth;
        return;
    }
    ++park_waiters;
    if (stepper != std::thread::id() && stepper != me) raise_attention();
    control_cv.wait(lock, [&] {
        return borrower == std::thread::id() && (stepper == std::thread::id() || stepper == me || resting);
    });
    --park_waiters;
    borrower = me;
    borrow_depth = 1;
}

void RunControl::give_back() {
    std::lock_guard<std::mutex> lock(control);
    if (--borrow_depth > 0) return;
    borrower = std::thread::id();
    control_cv.notify_all();
}

// runFrame's turn at stepping: refused while a run thread runs or another thread steps;
// waits (as stop does) for a run thread that is ending.
bool RunControl::begin_stepping() {
    std::unique_lock<std::mutex> lock(control);
    const std::thread::id me = std::this_thread::get_id();
    if (stepper == me) {  // from a per-frame function of this console: a nested frame
        control_cv.wait(lock, [this] { return borrower == std::thread::id(); });
        ++stepping_depth;
        const bool was_resting = resting;
        resting = false;
        return was_resting;
    }
    for (;;) {
        switch (run_state_) {
            case RunState::starting:
            case RunState::running: throw StateError("runFrame: the console is running on its thread; stop it first");
            case RunState::stopping:
                if (!thread_done && !may_wait_for_other_threads())
                    throw StateError("runFrame: the console is still stopping");
                control_cv.wait(lock, [this] { return run_state_ != RunState::stopping || thread_done; });
                if (run_state_ == RunState::stopping) await_thread_end(lock);
                break;
            case RunState::stopped:
                if (stepper != std::thread::id()) throw StateError("runFrame: another thread is stepping the console");
                if (borrower != std::thread::id()) {
                    control_cv.wait(lock);
                    break;
                }
                stepper = me;
                stepping_depth = 1;
                resting = false;
                return false;
        }
    }
}

void RunControl::end_stepping(bool was_resting) {
    std::lock_guard<std::mutex> lock(control);
    if (--stepping_depth > 0) {
        resting = was_resting;
        control_cv.notify_all();
        return;
    }
    stepper = std::thread::id();
    resting = false;
    control_cv.notify_all();
}
