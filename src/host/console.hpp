// One emulated console: owns and wires the machine, steps it by instruction and by frame,
// and runs it on a paced background thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "machine/apu/apu.hpp"
#include "machine/cartridge/rom.hpp"
#include "machine/cpu/cpu.hpp"
#include "machine/pad/controller.hpp"
#include "machine/ppu/ppu.hpp"

class NESUnit {
public:
    static constexpr int DEFAULT_CLOCK_SPEED = 1789773;

    // Build from an iNES file.
    NESUnit(const char* path, int clock_speed);
    // Build from the bytes of an image; `name` gives the save directory (a file object's "name").
    NESUnit(const std::string& name, const std::vector<uint8_t>& image, int clock_speed);
    // Build with the blank cartridge.
    explicit NESUnit(int clock_speed);
    ~NESUnit();
    NESUnit(const NESUnit&) = delete;
    NESUnit& operator=(const NESUnit&) = delete;

    void single_cycle();
    void runFrame();
    long long cycle_count() const { return cpu->cycle_count.load(); }
    long long frame_count() const { return static_cast<long long>(ppu->frame_count.load()); }
    void setController(NES::Controller* pad, int port);

    // Run thread (console.cpp)
    void start();
    void stop();
    void set_pause(bool p);
    void perFrame(const std::function<void()>& f);
    bool is_running() const { return running.load(); }

    // Save directory and files (storage.cpp)
    void detectOS(const char* path);
    bool setSaveDir(const std::string& dir);
    std::string getSaveDir() const { return save_dir; }
    void save(int slot);
    bool load(int slot);
    std::string slot_path(int slot) const;
    void write_battery_ram();

    // Runs f while the run thread stands between two steps (at once when it is not running,
    // or when called from the run thread itself). The thread resumes afterwards.
    template <class F>
    void with_machine_parked(F&& f);

    // Audio: the newest complete block as 2 * BUFFER_LEN bytes, or an empty vector.
    bool getAudio(int16_t* out) { return apu->take_block(out); }

    // Pacing: the instant (ns after start) at which `cycles` of emulated time have passed.
    static int64_t pacing_target_ns(int64_t cycles, int32_t clock_speed);

    // The per-frame function, replaced from the caller's thread while the run thread calls it:
    // every reader takes it whole and keeps it alive through its call. A mutex taken once per
    // frame guards it rather than std::atomic<std::shared_ptr>, whose load in libstdc++ 12
    // releases its lock bit with relaxed order and so races with the next store.
    class FrameFunction {
    public:
        using Ptr = std::shared_ptr<const std::function<void()>>;
        Ptr load() const {
            std::lock_guard<std::mutex> lock(mutex_);
            return function_;
        }
        void store(Ptr next) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                function_.swap(next);
            }
            // `next` now holds the old function, released here outside the lock.
        }

    private:
        mutable std::mutex mutex_;
        Ptr function_ = std::make_shared<const std::function<void()>>([] {});
    };

    int64_t start_time = 0;
    FrameFunction perframefunc;
    int64_t pause_start = 0;
    std::string save_dir;
    // This console's cartridge directory (the battery RAM file lives here).
    std::string cart_dir;
    NES::Controller controllers[2];
    std::unique_ptr<NES::CPU> cpu;
    std::unique_ptr<NES::PPU> ppu;
    std::unique_ptr<NES::APU> apu;
    std::unique_ptr<NES::ROM> rom;
    std::atomic<bool> running{false};
    std::atomic<bool> paused{false};
    std::atomic<int64_t> pause_total{0};
    std::thread run_thread;
    // Emulated time is measured from the cycle count found at the last start.
    int64_t start_cycles = 0;

    // Set on the run thread (by the binding) to run once the thread has stopped stepping, as
    // the very last thing it does: it may release the console itself.
    std::function<void()> at_thread_exit;

    // True on the console's own run thread (inside the per-frame function).
    bool on_run_thread() const { return run_thread_id.load() == std::this_thread::get_id(); }
    // Ends the run thread and waits for it (without writing the battery RAM file).
    void halt();

private:
    void park_here();

    std::atomic<std::thread::id> run_thread_id{};
    // Parking: a caller raises park_request; the run thread checks it once per step.
    std::atomic<bool> park_request{false};
    std::mutex park_owner;  // one parker at a time
    std::mutex park_mutex;
    std::condition_variable park_cv;
    bool parked = false;         // guarded by park_mutex
    bool thread_active = false;  // guarded by park_mutex


    void build_machine(int clock_speed);
    void attach(std::unique_ptr<NES::ROM> cartridge);
    void operation_thread();
};

template <class F>
void NESUnit::with_machine_parked(F&& f) {
    if (on_run_thread()) {
        f();
        return;
    }
    std::lock_guard<std::mutex> owner(park_owner);
    std::unique_lock<std::mutex> lock(park_mutex);
    if (!thread_active) {
        lock.unlock();
        f();
        return;
    }
    park_request.store(true, std::memory_order_relaxed);
    park_cv.wait(lock, [this] { return parked || !thread_active; });
    struct Resume {
        NESUnit* console;
        ~Resume() {
            console->park_request.store(false, std::memory_order_relaxed);
            console->park_cv.notify_all();
        }
    } resume{this};
    f();
}
