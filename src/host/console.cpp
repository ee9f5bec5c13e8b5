#include "host/console.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "host/errors.hpp"

NESUnit::NESUnit(const char* path, int clock_speed) {
    detectOS(path);
    try {
        build_machine(clock_speed);
        attach(std::make_unique<NES::ROM>(path));
    } catch (...) {
        undo_made_dirs();  // a cartridge that cannot be loaded leaves no empty save folder
        throw;
    }
}

NESUnit::NESUnit(const std::string& name, const std::vector<uint8_t>& image, int clock_speed) {
    build_machine(clock_speed);
    detectOS(name.c_str());
    try {
        attach(std::make_unique<NES::ROM>(static_cast<long>(image.size()), image.data()));
    } catch (...) {
        undo_made_dirs();
        throw;
    }
}

NESUnit::NESUnit(int clock_speed) {
    std::puts("No rom specified.");
    rom = std::make_unique<NES::ROM>();
    std::puts("rom created.");
    cpu = std::make_unique<NES::CPU>(false);
    cpu->clock_speed = clock_speed > 0 ? clock_speed : UNPACED;
    apu = std::make_unique<NES::APU>();
    apu->setCPU(cpu.get());
    apu->sample_rate = 44100;
    // Unpaced consoles still sound like the machine: their samples follow the NTSC clock,
    // not the largest int that stands for "no pacing".
    if (clock_speed <= 0) apu->apu_clock_rate = DEFAULT_CLOCK_SPEED / 2;
    cpu->apu = apu.get();
    cpu->loadRom(rom.get(), true);
    for (int port = 0; port < 2; ++port) cpu->set_controller(&controllers[port], static_cast<uint8_t>(port));
    ppu = std::make_unique<NES::PPU>(cpu.get());
    cpu->reset();
}

void NESUnit::build_machine(int clock_speed) {
    cpu = std::make_unique<NES::CPU>(false);
    ppu = std::make_unique<NES::PPU>(cpu.get());
    cpu->clock_speed = clock_speed > 0 ? clock_speed : UNPACED;
    apu = std::make_unique<NES::APU>();
    cpu->apu = apu.get();
    apu->setCPU(cpu.get());
    apu->sample_rate = 44100;
    // Unpaced consoles still sound like the machine: their samples follow the NTSC clock,
    // not the largest int that stands for "no pacing".
    if (clock_speed <= 0) apu->apu_clock_rate = DEFAULT_CLOCK_SPEED / 2;
    for (int port = 0; port < 2; ++port) cpu->set_controller(&controllers[port], static_cast<uint8_t>(port));
}

void NESUnit::attach(std::unique_ptr<NES::ROM> cartridge) {
    rom = std::move(cartridge);
    cpu->battery_path = cart_dir.empty() ? std::string() : cart_dir + "/ram";
    cpu->loadRom(rom.get(), true);
    check_battery_file();
    ppu->loadRom(rom.get());
    cpu->reset();
}

NESUnit::~NESUnit() {
    // A thread still stepping would use the machine while it is released.
    halt();
    // A script that never calls "stop" keeps its game's save all the same.
    keep_battery_ram();
    rom.reset();
    cpu.reset();
    ppu.reset();
    apu.reset();
}

namespace {

// Brings the APU up to one cycle per two of the CPU's, rounded up.
void catch_up_apu(NES::APU& a, int64_t cycles) {
    if (2 * static_cast<int64_t>(a.apu_cycles.load()) < cycles) a.run(static_cast<uint64_t>(cycles + 1) / 2);
}

// Brings the PPU up to three dots per CPU cycle; true when the per-frame function ran.
bool catch_up_ppu(NESUnit& console) {
    NES::CPU& c = *console.cpu;
    NES::PPU& p = *console.ppu;
    bool frame_function_ran = false;
    // The PPU runs its dots in one call, which stops early only where a frame ends, so the
    // per-frame function still runs right after the dot that completed the frame.
    for (;;) {
        const int64_t behind = 3 * c.cycle_count.load() - static_cast<int64_t>(p.dot_count.load());
        if (behind <= 0) break;
        const uint64_t frame = p.frame_count.load();
        p.run_dots(static_cast<uint64_t>(behind));
        if (p.frame_count.load() != frame) {
            // A lagging APU is current wherever a frame ends: for the per-frame function, and
            // for whoever looks once the frame is run.
            catch_up_apu(*console.apu, c.cycle_count.load());
            console.call_per_frame();
            frame_function_ran = true;
        }
    }
    return frame_function_ran;
}

// The dot_count before which the PPU cannot change PPUSTATUS other than at its events (the
// start and end of vertical blank, which the deadline covers): the sprite-0 hit and the
// sprite overflow are set only while visible lines are drawn, and not again once set. The
// bound is loose where it must be: the hit may come from the line of sprite 0's Y on (the
// tallest sprite), the overflow on any line once eight sprites could share one. Sprite memory,
// PPUMASK and PPUCTRL change only through the CPU.
uint64_t status_still_until(const NES::PPU& p, uint64_t deadline) {
    const uint8_t status = p.cpu->memory[0x2002];
    const bool rendering = (p.cpu->memory[0x2001] & 0x18) != 0;
    if (!rendering || p.scanline > 239 || (status & 0x60) == 0x60) return deadline;
    if (!(status & 0x20)) {
        int on_screen = 0;
        for (int i = 0; i < 256; i += 4) on_screen += p.oam[i] < 239 ? 1 : 0;
        if (on_screen >= 8) return 0;
    }
    if (status & 0x40) return deadline;
    const int top = p.oam[0];  // a line before the first that sprite 0 covers
    if (top >= 239 || p.scanline > top + 16) return deadline;
    if (p.scanline >= top) return 0;
    const auto dots = static_cast<uint64_t>((top - p.scanline) * 341 - p.dot);
    return std::min(deadline, p.dot_count.load() + dots);
}

// A program waiting for the next interrupt or status change runs the same few instructions
// over and over. When it comes back to where it last came back, with the same registers,
// having written nothing, pushed nothing and touched no port but PPUSTATUS (which read the
// same as before), every further round repeats the last one exactly, as long as nothing
// outside the CPU changes: no interrupt is due (the NMI input stands still, the IRQ line is
// low), the PPU and the APU lag, running only at the deadline, and PPUSTATUS stays as it is.
// Such rounds are then counted instead of run, up to the last one that ends before the
// deadline; the instructions from there on run one by one as before. A round that reads
// PPUSTATUS counts as seen only when it ran between two of the PPU's events.
//
// A round of one instruction that touches no port (a jump or branch to itself) sees nothing
// the PPU's events change (the boards switch banks only when the CPU writes to them, and at
// their clock at most raise the IRQ line): only an interrupt ends it. It is counted through
// the events as well, one deadline at a time, for as long as the NMI input stands still and
// the IRQ line stays low after each; once either moves, the instructions run one by one
// again, so the interrupt is taken where stepping takes it.
class IdleWatch {
public:
    // After an instruction that moved the program counter back (or nowhere); true when it
    // found a jump or branch to itself `waiting`.
    bool looped_back(NES::CPU& c, const NES::PPU& p, uint64_t deadline) {
        const uint64_t status_reads = c.status_reads - status_reads_;
        if (!same_round(c, p) || (status_reads != 0 && event_seen_)) {
            remember(c, p);
            return false;
        }
        const uint64_t limit = status_reads == 0 ? deadline : status_still_until(p, deadline);
        const int64_t now = c.cycle_count.load();
        const int64_t period = now - cycles_;
        const int64_t instructions = c.instruction_count - instructions_;
        // 3 * cycles stays below the limit: every read counted came before it.
        const int64_t room = static_cast<int64_t>(limit) - 1 - 3 * now;
        const bool quiet = undisturbed(c, p) && period > 0;
        if (quiet && room >= 3 * period) count_rounds(c, room / (3 * period), period, instructions, status_reads);
        remember(c, p);
        if (quiet && instructions == 1 && status_reads == 0) period_ = period;
        return waiting();
    }
    // Counts the rounds of a waiting jump or branch to itself up to the first that ends at or
    // past the deadline or the cycle limit, which is where stepping stops for either; false
    // when the wait may be over (nothing was counted then). Only while `waiting`.
    bool waited(NES::CPU& c, const NES::PPU& p, uint64_t deadline, int64_t cycle_limit) {
        if (!same_registers(c) || !undisturbed(c, p)) {
            period_ = 0;  // seen again, should the loop go on, after its next round
            return false;
        }
        const int64_t now = c.cycle_count.load();
        const int64_t to_deadline = (static_cast<int64_t>(deadline) - 3 * now + 3 * period_ - 1) / (3 * period_);
        const int64_t to_limit = (cycle_limit - now + period_ - 1) / period_;
        count_rounds(c, std::max<int64_t>(1, std::min(to_deadline, to_limit)), period_, 1, 0);
        cycles_ = c.cycle_count.load();
        instructions_ = c.instruction_count;
        return true;
    }
    bool waiting() const { return period_ != 0; }
    // After the PPU ran to an event: a round that spans one may have seen PPUSTATUS change.
    void event_passed() { event_seen_ = true; }

private:
    static bool undisturbed(const NES::CPU& c, const NES::PPU& p) {
        const bool nmi_still =
            c.nmi_sample == p.nmi_pending && c.nmi_condition == ((c.memory[0x2000] & 0x80) && c.nmi_sample ? 1 : 0);
        return nmi_still && c.irq_line == 0 && c.apu_lags && !c.debug;
    }
    static void count_rounds(NES::CPU& c, int64_t rounds, int64_t period, int64_t instructions, uint64_t status_reads) {
        const int64_t now = c.cycle_count.load();
        c.cycle_count.store(now + rounds * period);
        c.instruction_start += rounds * period;
        c.instruction_count += rounds * instructions;
        c.status_reads += static_cast<uint64_t>(rounds) * status_reads;
        c.bus_effects += static_cast<uint64_t>(rounds) * status_reads;
    }
    bool same_registers(const NES::CPU& c) const {
        return pc_ == c.PC && c.bus_effects == effects_ && a_ == c.A && x_ == c.X && y_ == c.Y && p_ == c.P &&
               sp_ == c.SP;
    }
    bool same_round(const NES::CPU& c, const NES::PPU& p) const {
        return pc_ == c.PC && c.bus_effects - effects_ == c.status_reads - status_reads_ && a_ == c.A && x_ == c.X &&
               y_ == c.Y && p_ == c.P && sp_ == c.SP && status_ == c.memory[0x2002] && toggle_ == p.write_toggle;
    }
    void remember(const NES::CPU& c, const NES::PPU& p) {
        pc_ = c.PC;
        effects_ = c.bus_effects;
        status_reads_ = c.status_reads;
        a_ = c.A;
        x_ = c.X;
        y_ = c.Y;
        p_ = c.P;
        sp_ = c.SP;
        status_ = c.memory[0x2002];
        toggle_ = p.write_toggle;
        event_seen_ = false;
        cycles_ = c.cycle_count.load();
        instructions_ = c.instruction_count;
        period_ = 0;
    }

    NES::Loc pc_ = nullptr;
    uint64_t effects_ = 0, status_reads_ = 0;
    uint8_t a_ = 0, x_ = 0, y_ = 0, p_ = 0, sp_ = 0, status_ = 0, toggle_ = 0;
    bool event_seen_ = false;
    int64_t cycles_ = 0, instructions_ = 0;
    // The cycles of a waiting jump or branch to itself, once seen to repeat (0: none).
    int64_t period_ = 0;
};

// Runs instructions until the frame ends, or until after an instruction `cycle_count` has
// reached `cycle_limit` or `interrupted` holds. Waiting loops are skipped up to the limit, not
// past it. The PPU catches up only when the CPU could tell: when an instruction ends past the PPU's next
// event (NMI request, frame end, board call), and, through the CPU, before a port access. In
// between it runs whole lines at a time. Either way the machine is left as stepping
// instruction by instruction leaves it: the APU and the PPU caught up with the CPU. True when
// the frame ended.
template <class Interrupted>
bool run_to_frame_end(NESUnit& console, int64_t cycle_limit, Interrupted&& interrupted) {
    NES::CPU& c = *console.cpu;
    NES::APU& a = *console.apu;
    NES::PPU& p = *console.ppu;
    const uint64_t frame = p.frame_count.load();
    NES::Mapper* board = console.rom ? console.rom->mapper.get() : nullptr;
    if (board != nullptr && board->notify_reads) {  // the board may look at the PPU on any read
        while (p.frame_count.load() == frame) {
            console.single_cycle();
            if (c.cycle_count.load() >= cycle_limit || interrupted()) break;
        }
        return p.frame_count.load() != frame;
    }
    // The APU lags as well, unless it must keep pace (the DMC's interrupt, or its fetches from
    // memory the CPU changes unseen). Nothing at the PPU's events looks at it, so it catches
    // up only where a frame ends, where the run is cut short, and, through the CPU, before a
    // port access.
    // A per-frame function may run a frame again: the outer run's flags come back after.
    struct Lagging {
        NES::CPU& cpu;
        bool ppu_before, apu_before;
        explicit Lagging(NES::CPU& c) : cpu(c), ppu_before(c.ppu_lags), apu_before(c.apu_lags) { cpu.ppu_lags = true; }
        ~Lagging() {
            cpu.ppu_lags = ppu_before;
            cpu.apu_lags = apu_before;
        }
    } lagging(c);
    c.irq_writes_from = board != nullptr ? board->irq_writes_from : 0x10000;
    const auto dot_limit = static_cast<uint64_t>(3 * cycle_limit);
    uint64_t deadline = p.event_deadline();
    IdleWatch idle;
    const auto pass_event = [&] {
        // The per-frame function may step, load a state or press pads: what was seen is stale.
        if (catch_up_ppu(console)) idle = IdleWatch();
        deadline = p.event_deadline();
        idle.event_passed();
    };
    // A jump or branch to itself goes from event to event in one go while nothing ends it.
    const auto wait_through_events = [&] {
        while (p.frame_count.load() == frame && c.cycle_count.load() < cycle_limit && !interrupted()) {
            c.apu_lags = !a.must_keep_pace();
            if (!idle.waited(c, p, deadline, cycle_limit)) break;
            if (3 * c.cycle_count.load() >= static_cast<int64_t>(deadline)) pass_event();
            if (!idle.waiting()) break;
        }
    };
    while (p.frame_count.load() == frame) {
        c.apu_lags = !a.must_keep_pace();
        // While the APU lags, the CPU runs on by itself up to the next point the loop below
        // looks at: the deadline, the cycle limit, a jump back, or the APU brought up to date.
        NES::Loc pc_before = c.PC;
        if (c.apu_lags)
            pc_before = c.run(std::min(cycle_limit, static_cast<int64_t>((deadline + 2) / 3)));
        else
            c.clock();
        const int64_t cycles = c.cycle_count.load();
        // Stepping runs the APU right after each instruction: after one that brought a lagging
        // APU up to date (a register access), a sample it started may fetch and interrupt now.
        if (!c.apu_lags || c.apu_ran) catch_up_apu(a, cycles);
        // A write that may move the board's next IRQ moves the deadline with it.
        if (c.irq_deadline_moved) {
            c.irq_deadline_moved = false;
            deadline = p.event_deadline();
        }
        if (3 * cycles >= static_cast<int64_t>(deadline)) {
            pass_event();
            if (idle.waiting()) wait_through_events();
        } else if (c.PC <= pc_before && idle.looped_back(c, p, std::min(deadline, dot_limit))) {
            wait_through_events();
        }
        if (c.cycle_count.load() >= cycle_limit || interrupted()) {
            // Short of the deadline, so this completes no frame.
            catch_up_apu(a, c.cycle_count.load());
            catch_up_ppu(console);
            break;
        }
    }
    return p.frame_count.load() != frame;
}

}  // namespace

void NESUnit::single_cycle() {
    NES::CPU& c = *cpu;
    NES::APU& a = *apu;
    c.clock();
    const int64_t cycles = c.cycle_count.load();
    while (2 * static_cast<int64_t>(a.apu_cycles.load()) < cycles) a.cycle();
    catch_up_ppu(*this);
}

void NESUnit::runFrame() {
    RunControl::Turn turn(control_);
    run_to_frame_end(*this, NO_CYCLE_LIMIT, [] { return false; });
}

// The run thread's frame stops early (with the machine caught up) once another thread asks
// for attention or a pause.
void NESUnit::RunDriver::run_frame_part(int64_t cycle_limit) {
    const RunControl& control = console.control_;
    run_to_frame_end(console, cycle_limit, [&control] { return control.interrupted(); });
}

void NESUnit::RunDriver::thread_exited() {
    if (std::function<void()> last = std::move(console.at_thread_exit)) last();
}

void NESUnit::stop() {
    // The thread has ended first (or this is its own per-frame function), so the file holds
    // the RAM after a whole instruction.
    if (control_.stop()) write_battery_ram();
}

void NESUnit::perFrame(const std::function<void()>& f) {
    auto next = std::make_shared<const std::function<void()>>(f);
    perframefunc.store(std::move(next));
}

void NESUnit::call_per_frame() {
    const FrameFunction::Ptr f = perframefunc.load();
    RunControl::Rest rest(control_);
    (*f)();
}

void NESUnit::setController(NES::Controller* pad, int port) {
    std::lock_guard<std::mutex> lock(pad_mutex);
    // A pad attached now would be read by the batch's frames, then replaced by the one the
    // batch puts back (which the caller may have released meanwhile).
    if (batch_claimed) throw StateError("setController: a batch is stepping this console; attach the pad after it");
    // The stepping thread reads the port's pointer at every $4016/$4017 access.
    with_machine_parked([&] { cpu->set_controller(pad, static_cast<uint8_t>(port)); });
}

bool NESUnit::claim_for_batch() {
    std::lock_guard<std::mutex> lock(pad_mutex);
    return !std::exchange(batch_claimed, true);
}

void NESUnit::release_batch_claim() {
    std::lock_guard<std::mutex> lock(pad_mutex);
    batch_claimed = false;
}
