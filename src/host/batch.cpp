// The batch core: checks, claims, the per-console frame loop and the Ctrl-C poll.
#include "host/batch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>

namespace host {
namespace {

std::string console_name(size_t index) { return "console " + std::to_string(index); }

// The one place that decides whether a console may join a batch: a per-frame function may
// need the interpreter, a run thread steps the console already, and a cartridge whose board
// the machine lacks runs as a blank machine, which a batch steps only when asked to.
void check_steppable(NESUnit& console, size_t index, bool allow_unsupported_board) {
    if (console.is_running()) throw BatchRefused(console_name(index) + " is running on its thread; stop it first");
    const auto function = console.perframefunc.load();
    if (function->target_type() != NESUnit::FrameFunction().load()->target_type())
        throw BatchRefused(console_name(index) + " has a per-frame function; batches step consoles without one");
    const int board = console.rom ? console.rom->mapper_number() : -1;  // -1: no cartridge
    if (board >= 0 && !NES::board_info(board) && !allow_unsupported_board)
        throw BatchRefused(console_name(index) + " has board " + std::to_string(board) +
                           ", which is not supported: it would run without its board logic "
                           "(allow_unsupported_board=True steps it anyway)");
}

void check_consoles(const std::vector<NESUnit*>& consoles, bool allow_unsupported_board) {
    for (size_t i = 0; i < consoles.size(); ++i) check_steppable(*consoles[i], i, allow_unsupported_board);
    std::vector<NESUnit*> sorted = consoles;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
        throw BatchRefused("a console appears twice in the batch");
}

// The batch's claim on its consoles for the whole call: two batches (from two threads) never
// step one console at once, and no pad is attached to one meanwhile.
class Claims {
public:
    explicit Claims(const std::vector<NESUnit*>& consoles) : consoles_(consoles) {
        for (size_t i = 0; i < consoles_.size(); ++i) {
            if (!consoles_[i]->claim_for_batch()) {
                for (size_t j = 0; j < i; ++j) consoles_[j]->release_batch_claim();
                throw BatchRefused(console_name(i) + " is being stepped by another batch");
            }
        }
    }
    ~Claims() {
        for (NESUnit* console : consoles_) console->release_batch_claim();
    }
    Claims(const Claims&) = delete;
    Claims& operator=(const Claims&) = delete;

private:
    const std::vector<NESUnit*>& consoles_;
};

// Port 0 reads the batch's pad during the step; the pad attached before comes back after.
class PadForStep {
public:
    PadForStep(NES::CPU& cpu, NES::Controller& pad) : cpu_(cpu), before_(cpu.controllers[0]) {
        cpu.set_controller(&pad, 0);
    }
    ~PadForStep() { cpu_.set_controller(before_, 0); }
    PadForStep(const PadForStep&) = delete;
    PadForStep& operator=(const PadForStep&) = delete;

private:
    NES::CPU& cpu_;
    NES::Controller* before_;
};

// Ctrl-C during a batch: the calling thread asks, every few milliseconds between two frames
// and while it waits for the helpers, and every console then stops before its next frame.
class Interruption {
public:
    explicit Interruption(const std::function<bool()>& asked) : caller_(std::this_thread::get_id()), asked_(asked) {}

    bool requested() const { return requested_.load(std::memory_order_relaxed); }

    // From any stepping thread between two frames; only the calling thread asks.
    void poll() {
        if (std::this_thread::get_id() != caller_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll_ < POLL_INTERVAL) return;
        last_poll_ = now;
        if (asked_()) requested_.store(true, std::memory_order_relaxed);
    }

private:
    static constexpr std::chrono::milliseconds POLL_INTERVAL{5};
    const std::thread::id caller_;
    const std::function<bool()>& asked_;
    std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
    std::atomic<bool> requested_{false};
};

// One console's part of a batch.
void step_console(NESUnit& console, NES::Controller& pad, int frames, const BatchOutputs& out, size_t index,
                  Interruption& interruption) {
    PadForStep attached(*console.cpu, pad);
    uint8_t* picture = out.pictures ? out.pictures + index * out.format.bytes() : nullptr;
    for (int k = 1; k <= frames; ++k) {
        interruption.poll();
        if (interruption.requested()) return;
        console.runFrame();
        if (picture && (k == frames || (out.max_pool && k == frames - 1)))
            NES::write_picture(console.ppu->frame_rgb, picture, out.format, k == frames && out.max_pool && frames > 1);
    }
    if (out.ram) std::memcpy(out.ram + index * NES::CPU::RAM_SIZE, console.cpu->memory, NES::CPU::RAM_SIZE);
}

}  // namespace

bool run_batch(StepPool& pool, const std::vector<NESUnit*>& consoles, const uint8_t* buttons, int frames,
               const BatchOutputs& out, const std::function<bool()>& interrupted, bool allow_unsupported_board) {
    if (!pool.usable_here()) throw BatchRefused("this pool was made in another process; make a new one");
    if (frames < 1) throw BatchRefused("frames must be at least 1, not " + std::to_string(frames));
    check_consoles(consoles, allow_unsupported_board);
    const size_t count = consoles.size();
    std::unique_ptr<NES::Controller[]> pads(new NES::Controller[count]);
    for (size_t i = 0; i < count; ++i) pads[i].set_input_byte(buttons[i]);
    std::vector<std::string> failures(count);
    Interruption interruption(interrupted);
    const Claims claims(consoles);  // the last check: it must be undone when a batch ends

    pool.run(
        count,
        [&](size_t i) {
            try {
                step_console(*consoles[i], pads[i], frames, out, i, interruption);
            } catch (const std::exception& e) {  // only this console's rows are left undefined
                failures[i] = e.what();
            } catch (...) { failures[i] = "unknown error"; }
        },
        [&] { interruption.poll(); });
    if (interruption.requested()) return false;  // Ctrl-C outranks a console's failure
    for (size_t i = 0; i < count; ++i)
        if (!failures[i].empty()) throw std::runtime_error(console_name(i) + " failed: " + failures[i]);
    return true;
}

}  // namespace host
