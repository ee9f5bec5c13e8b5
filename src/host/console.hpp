// One emulated console: owns and wires the machine, steps it by instruction and by frame,
// and runs it on a paced background thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/run_control.hpp"
#include "machine/apu/apu.hpp"
#include "machine/cartridge/rom.hpp"
#include "machine/cpu/cpu.hpp"
#include "machine/pad/controller.hpp"
#include "machine/ppu/ppu.hpp"

class NESUnit {
public:
    static constexpr int DEFAULT_CLOCK_SPEED = 1789773;
    // The clock speed stored for a speed of 0 or below: pacing never waits.
    static constexpr int UNPACED = RunControl::UNPACED;
    static constexpr int64_t NO_CYCLE_LIMIT = RunControl::NO_CYCLE_LIMIT;

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
    // Refused (StateError) while a batch has claimed the console: the batch's frames read its
    // own pad, and the pad attached before comes back when it ends.
    void setController(NES::Controller* pad, int port);
    // A batch steps the console with its own pad on port 0 for the whole call; while claimed,
    // setController and other claims are refused. False when another batch holds it.
    bool claim_for_batch();
    void release_batch_claim();

    // Run control (run_control.hpp). start, stop and runFrame are defined in every state of
    // the run thread; their waits never hold a lock of the caller's (the binding releases the
    // interpreter lock around them).
    void start() { control_.start(); }
    void stop();  // ends the run thread, then writes the battery RAM file
    void set_pause(bool p) { control_.set_pause(p); }
    void perFrame(const std::function<void()>& f);
    bool is_running() const { return control_.is_running(); }
    RunState run_state() const { return control_.state(); }
    // Ends the run thread and waits for it, without writing the battery RAM file; from the
    // console's own run thread it only asks the thread to end.
    void halt() { control_.halt(); }
    // True on the console's own run thread (inside the per-frame function).
    bool on_run_thread() const { return control_.on_run_thread(); }
    RunControl& run_control() { return control_; }

    // Save directory and files (storage.cpp)
    void detectOS(const char* path);
    bool setSaveDir(const std::string& dir);
    std::string getSaveDir() const { return save_dir; }
    void save(int slot);
    bool load(int slot);
    std::string slot_path(int slot) const;
    void write_battery_ram();
    // Writes the battery RAM file when the RAM differs from what the file was last known to
    // hold (a console destroyed, or the interpreter exiting, without "stop"). Reports a
    // failure as a diagnostic line instead of throwing.
    void keep_battery_ram() noexcept;

    // Runs f on the machine while no thread steps it: the run thread stands between two
    // steps or inside its per-frame function, a runFrame on another thread is inside its
    // per-frame function, or nobody steps at all. The stepper resumes once f returns; one f
    // runs at a time. Any thread may call it, the stepping thread itself (from a per-frame
    // function) included; f must not wait for other threads.
    template <class F>
    void with_machine_parked(F&& f) {
        RunControl::Loan loan(control_);
        f();
    }

    // Audio: copies the newest complete block (BUFFER_LEN samples) to out; false when none is new.
    bool getAudio(int16_t* out) { return apu->take_block(out); }

    // Every console alive in the process, and a refusal of all later starts: at interpreter
    // exit the binding stops them all and no new thread may begin after that.
    static std::vector<NESUnit*> live_consoles();
    static void refuse_starts() { RunControl::refuse_starts(); }

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
        std::mutex& mutex() const { return mutex_; }

    private:
        mutable std::mutex mutex_;
        Ptr function_ = std::make_shared<const std::function<void()>>([] {});
    };

    // Leaves the list of live consoles early (the binding, before it releases the console).
    void unregister();

    FrameFunction perframefunc;
    std::string save_dir;
    // This console's cartridge directory (the battery RAM file lives here).
    std::string cart_dir;
    NES::Controller controllers[2];
    std::unique_ptr<NES::CPU> cpu;
    std::unique_ptr<NES::PPU> ppu;
    std::unique_ptr<NES::APU> apu;
    std::unique_ptr<NES::ROM> rom;

    // Set on the run thread (by the binding) to run once the thread has stopped stepping, as
    // the very last thing it does: it may release the console itself.
    std::function<void()> at_thread_exit;

    // Asks the run thread to end without waiting (from the run thread itself).
    void request_stop() { control_.request_stop(); }
    // Calls the per-frame function; the stepping thread rests through the call.
    void call_per_frame();

private:
    friend struct ForkReset;

    void build_machine(int clock_speed);
    void attach(std::unique_ptr<NES::ROM> cartridge);
    void check_battery_file();
    void set_aside_battery_file(const std::string& path);
    std::vector<uint8_t> battery_ram_copy();

    // What the run control's thread drives: this console's machine.
    struct RunDriver final : RunControl::Machine {
        explicit RunDriver(NESUnit& c) : console(c) {}
        int64_t cycles() const override { return console.cpu->cycle_count.load(); }
        int32_t clock_speed() const override { return console.cpu->clock_speed; }
        void run_frame_part(int64_t cycle_limit) override;
        void write_battery_ram_file() override { console.write_battery_ram(); }
        void thread_exited() override;
        NESUnit& console;
    };
    RunDriver run_driver_{*this};
    RunControl control_{run_driver_};

    // Guards the attached pads against a batch that has put its own pad on port 0.
    std::mutex pad_mutex;
    bool batch_claimed = false;

    // Storage state (storage.cpp).
    int saving_off_error = 0;  // errno that made the save folder unusable (0: fine)
    std::string saving_off_folder;
    std::vector<std::string> made_dirs;  // folders this construction created (undone on failure)
    std::mutex battery_mutex;            // one battery RAM file write at a time; guards the two below
    std::vector<uint8_t> persisted_ram;  // what the battery RAM file holds, as far as we know
    bool battery_file_kept = false;      // the battery RAM file could not be read: keep it aside
    void undo_made_dirs() noexcept;
    void ensure_directory(const std::string& dir);
    bool saving_off() const;  // the slots would go to a save folder that could not be made
    static constexpr long BATTERY_RAM_SIZE = 0x2000;

    // Joins the process-wide list of consoles (for fork and interpreter exit) for its life;
    // declared last, so it joins with every member built and leaves before any is destroyed.
    struct Registration {
        explicit Registration(NESUnit* console);
        ~Registration();
        NESUnit* console;
    };
    Registration registration{this};
};
