// The run control of one console: the life of its background run thread (start, stop, halt),
// the thread's pacing against the wall clock and its pauses, and who uses the machine when
// (the stepping thread, runFrame's turn at stepping, and borrowers that use the machine while
// the stepper rests). It knows the machine only through `RunControl::Machine`.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// The run thread's life. Stopped: no run thread exists. Starting: it has been launched and
// has not begun stepping. Running: it steps. Stopping: it has been told to end (or ended by
// itself) and has not been joined yet; a thread that has not left its loop may still be
// told to go on by a start.
enum class RunState : uint8_t { stopped, starting, running, stopping };

class RunControl {
public:
    // The clock speed that stands for "no pacing": the largest int, so pacing never waits.
    static constexpr int32_t UNPACED = 2147483647;
    // A cycle count no run reaches (three times it still fits a dot count).
    static constexpr int64_t NO_CYCLE_LIMIT = INT64_MAX / 4;

    // What the run thread drives: the console behind the run control.
    class Machine {
    public:
        virtual int64_t cycles() const = 0;
        virtual int32_t clock_speed() const = 0;  // UNPACED: as fast as it goes
        // Runs the rest of the frame, stopping early (with the machine caught up) once
        // `interrupted()` holds or the cycle count reaches `cycle_limit`.
        virtual void run_frame_part(int64_t cycle_limit) = 0;
        // A stop called from another console's run thread leaves the file to the ending thread.
        virtual void write_battery_ram_file() = 0;
        // The run thread's very last act: it may release the console, and this object with it.
        virtual void thread_exited() = 0;

    protected:
        ~Machine() = default;
    };

    explicit RunControl(Machine& machine) : machine_(machine) {}
    RunControl(const RunControl&) = delete;
    RunControl& operator=(const RunControl&) = delete;

    // start, stop and halt are defined in every state of the run thread; their waits never
    // hold a lock of the caller's.
    void start();
    // Ends the run thread; true when the caller writes the battery RAM file now (false: the
    // ending thread writes it, as asked from another console's run thread).
    bool stop();
    // Asks the run thread to end without waiting (from the run thread itself).
    void request_stop();
    // Ends the run thread and waits for it; from its own run thread it only asks it to end.
    void halt();
    void set_pause(bool p);
    RunState state() const;
    bool is_running() const;
    // True on this console's own run thread (inside the per-frame function).
    bool on_run_thread() const;
    // Refuses every later start in the process (at interpreter exit).
    static void refuse_starts();

    // Read by the run thread after every instruction it steps in a frame.
    bool interrupted() const {
        return attention.load(std::memory_order_relaxed) || paused.load(std::memory_order_relaxed);
    }
    // A state loaded while running moves the cycle count the thread paces against with it.
    void shift_pacing(int64_t cycles) { start_cycles += cycles; }
    // The instant (ns after start) at which `cycles` of emulated time have passed.
    static int64_t pacing_target_ns(int64_t cycles, int32_t clock_speed);

    // A borrowing of the machine: while it lasts no thread steps it (the stepper stands between
    // two steps or inside its per-frame function). Nests on one thread; one borrower at a time.
    class Loan {
    public:
        explicit Loan(RunControl& control) : control_(control) { control_.borrow(); }
        ~Loan() { control_.give_back(); }
        Loan(const Loan&) = delete;
        Loan& operator=(const Loan&) = delete;

    private:
        RunControl& control_;
    };

    // runFrame's turn at stepping, for its whole call: refused while a run thread runs or
    // another thread steps; from a per-frame function of the stepping thread, a nested frame.
    class Turn {
    public:
        explicit Turn(RunControl& control) : control_(control), was_resting_(control.begin_stepping()) {}
        ~Turn() { control_.end_stepping(was_resting_); }
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        RunControl& control_;
        bool was_resting_;
    };

    // Held around the per-frame function: the stepping thread rests through the call, so that
    // other threads (another console's per-frame function among them) may borrow the machine
    // meanwhile instead of waiting for the call's end.
    class Rest {
    public:
        explicit Rest(RunControl& control) : control_(control) {
            std::lock_guard<std::mutex> lock(control_.control);
            if (control_.stepper != std::this_thread::get_id()) return;
            rested_ = true;
            was_resting_ = control_.resting;
            control_.resting = true;
            control_.control_cv.notify_all();
        }
        ~Rest() {
            if (!rested_) return;
            std::unique_lock<std::mutex> lock(control_.control);
            control_.control_cv.wait(lock, [this] { return control_.borrower == std::thread::id(); });
            control_.resting = was_resting_;
        }
        Rest(const Rest&) = delete;
        Rest& operator=(const Rest&) = delete;

    private:
        RunControl& control_;
        bool rested_ = false, was_resting_ = false;
    };

    // After fork the child has no run threads: with every lock taken before the fork, the
    // parent releases them and the child makes them afresh, the run control stopped.
    void lock_for_fork() { control.lock(); }
    void unlock_after_fork() { control.unlock(); }
    void reset_in_fork_child();

private:
    void launch();
    void await_thread_end(std::unique_lock<std::mutex>& lock);
    void mark_stopping();    // with `control` held
    void raise_attention();  // with `control` held
    void reset_pacing();
    void thread_main();
    void operation_thread();
    bool attend();
    void rest_until(int64_t target_ns);
    void rest_while_paused();
    int64_t emulation_origin() const;
    void finish_thread();
    void borrow();
    void give_back();
    bool begin_stepping();  // true when a nested frame interrupts a rest
    void end_stepping(bool was_resting);

    Machine& machine_;

    // Pacing: emulated time is measured from the cycle count found at the last start, against
    // the wall clock from that start less the time spent paused.
    std::atomic<int64_t> start_time{0};
    std::atomic<int64_t> start_cycles{0};
    std::atomic<int64_t> pause_start{0};
    std::atomic<int64_t> pause_total{0};
    std::atomic<bool> paused{false};

    // Everything below is guarded by `control`.
    mutable std::mutex control;
    std::condition_variable control_cv;
    RunState run_state_ = RunState::stopped;
    std::thread run_thread;
    bool thread_leaving = false;  // the thread has decided to end: a start no longer revives it
    bool thread_done = false;     // the thread has left its loop and touches the machine no more
    uint64_t threads_launched = 0, threads_joined = 0;
    bool joining = false;         // a waiter is joining the ended thread
    bool restart_pacing = false;  // a start found the thread still in its loop: it goes on afresh
    bool battery_at_exit = false;
    int stop_waiters = 0;  // callers waiting for the thread to end (a start must not revive it)
    // Who uses the machine: the stepping thread (the run thread, or a runFrame caller), whether
    // it rests (parked between steps, or inside its per-frame function), and a borrower that
    // uses the machine while the stepper rests.
    std::thread::id stepper;
    int stepping_depth = 0;
    bool resting = false;
    std::thread::id borrower;
    int borrow_depth = 0;
    int park_waiters = 0;
    // Raised for the run thread, which reads it once per step: park, end or restart pacing.
    std::atomic<bool> attention{false};
};
