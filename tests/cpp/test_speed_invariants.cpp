// What the fast paths must keep: runFrame and the run thread, which let the PPU fall behind
// the CPU until something could tell, leave the machine exactly as stepping instruction by
// instruction does, for the per-frame function and for any thread that borrows the machine;
// and running frames allocates nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "host/console.hpp"
#include "machine_fixture.hpp"
#include "scratch_home.hpp"
#include "snapshot/digest.hpp"

// Every allocation of this test program passes here, so a test can count those made while
// frames run.
namespace {
std::atomic<long> allocations{0};
}  // namespace

[[gnu::noinline]] void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace {

namespace fs = std::filesystem;

// Our programs, then the public cartridges that are present.
std::vector<std::string> cartridges() {
    std::vector<std::string> roms;
    for (const char* name : {"speed_midframe.nes", "speed_waits.nes", "speed_irq_waits.nes", "speed_irq_moves.nes",
                             "ppu_scroll.nes", "ppu_sprites.nes", "ppu_tall.nes", "board_mmc1.nes", "board_mmc3.nes",
                             "board_ntdec2722.nes", "board_uxrom.nes", "board_cnrom.nes", "board_mmc2.nes",
                             "board_mmc4.nes", "board_gxrom.nes", "apu_noise.nes", "pad_read.nes", "speed_dmc_ram.nes"})
        roms.push_back(test_rom(name));
    const fs::path shared = ZUMBREL_SHARED_ROMS;
    for (const char* name : {"demos/spritecans.nes", "demos/SimpleParallaxDemo.nes", "demos/nes15-NTSC.nes",
                             "mappers/smwstomp.nes", "mappers/scroll.nes", "mappers/240pee.nes",
                             "ppu/sprite_hit_tests/01.basics.nes", "ppu/sprite_hit_tests/09.timing_basics.nes",
                             "ppu/sprite_hit_tests/11.edge_timing.nes", "ppu/blargg_ppu_tests/vbl_clear_time.nes"})
        if (fs::exists(shared / name)) roms.push_back((shared / name).string());
    return roms;
}

// Where each call of the per-frame function found the machine.
struct FrameCall {
    int64_t cycles;
    uint64_t dots;
    int64_t instructions;
    bool operator==(const FrameCall&) const = default;
};

// Start now and then, and a walk through the other buttons, so menus and games move.
void press(NESUnit& console, int frame) {
    bool buttons[8] = {};
    buttons[(frame / 8) % 8] = true;
    if (frame % 50 < 3) buttons[3] = true;
    console.controllers[0].update_inputs(buttons);
}

struct Recorded {
    explicit Recorded(const std::string& rom) : console(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED) {
        console.perFrame([this] {
            calls.push_back({console.cpu->cycle_count, console.ppu->dot_count, console.cpu->instruction_count});
        });
    }
    void press(int frame) { ::press(console, frame); }
    NESUnit console;
    std::vector<FrameCall> calls;
};

// What anyone looking at the machine sees, the audio block left where it is.
struct Sighting {
    int64_t instructions;
    uint64_t dots;
    uint64_t print;
    bool operator==(const Sighting&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Sighting& s) {
    return out << "instruction " << s.instructions << ", dot " << s.dots << ", digest " << std::hex << s.print
               << std::dec;
}

Sighting sight(const NESUnit& n) {
    const NES::CPU& c = *n.cpu;
    const NES::PPU& p = *n.ppu;
    digest::Digest d;
    d.add(p.frame_rgb, sizeof p.frame_rgb);
    d.add(c.memory, sizeof c.memory);
    d.add(p.video_memory, sizeof p.video_memory);
    d.add(p.oam, sizeof p.oam);
    for (const int64_t v :
         {c.cycle_count.load(), c.get_addr(c.PC), int64_t{c.A}, int64_t{c.X}, int64_t{c.Y}, int64_t{c.P}, int64_t{c.SP},
          int64_t{p.scanline}, int64_t{p.dot}, static_cast<int64_t>(n.apu->apu_cycles.load()),
          static_cast<int64_t>(n.apu->samples_written)})
        d.value(v);
    return {c.instruction_count, p.dot_count, d.h};
}

void expect_same_machine(const NESUnit& a, const NESUnit& b, const std::string& where) {
    const NES::CPU& ca = *a.cpu;
    const NES::CPU& cb = *b.cpu;
    const NES::PPU& pa = *a.ppu;
    const NES::PPU& pb = *b.ppu;
    ASSERT_EQ(ca.cycle_count, cb.cycle_count) << where;
    ASSERT_EQ(ca.instruction_count, cb.instruction_count) << where;
    ASSERT_EQ(pa.dot_count, pb.dot_count) << where;
    ASSERT_EQ(pa.frame_count, pb.frame_count) << where;
    // The APU whole: every channel, the frame counter and the audio not yet handed out.
    const std::vector<uint8_t> apu_a = fixture::state_bytes(*a.apu), apu_b = fixture::state_bytes(*b.apu);
    ASSERT_EQ(apu_a.size(), apu_b.size()) << where;
    const auto apu_diff = std::mismatch(apu_a.begin(), apu_a.end(), apu_b.begin());
    ASSERT_TRUE(apu_diff.first == apu_a.end())
        << where << ": the APU state differs from byte " << (apu_diff.first - apu_a.begin()) << " on; DMC level "
        << int{a.apu->dmc_level} << " vs " << int{b.apu->dmc_level} << ", buffer " << int{a.apu->dmc_buffer} << " vs "
        << int{b.apu->dmc_buffer} << ", address " << a.apu->dmc_address << " vs " << b.apu->dmc_address;
    ASSERT_EQ(ca.get_addr(ca.PC), cb.get_addr(cb.PC)) << where;
    ASSERT_EQ((std::vector<int>{ca.A, ca.X, ca.Y, ca.P, ca.SP, ca.irq_line, ca.nmi_sample, ca.nmi_condition}),
              (std::vector<int>{cb.A, cb.X, cb.Y, cb.P, cb.SP, cb.irq_line, cb.nmi_sample, cb.nmi_condition}))
        << where;
    ASSERT_TRUE(std::equal(std::begin(ca.memory), std::end(ca.memory), std::begin(cb.memory))) << where;
    ASSERT_EQ((std::vector<int>{pa.scanline, pa.dot, pa.v, pa.t, pa.fine_x, pa.write_toggle, pa.oam_addr,
                                pa.read_buffer, pa.nmi_pending, pa.in_vblank, pa.mirroring}),
              (std::vector<int>{pb.scanline, pb.dot, pb.v, pb.t, pb.fine_x, pb.write_toggle, pb.oam_addr,
                                pb.read_buffer, pb.nmi_pending, pb.in_vblank, pb.mirroring}))
        << where;
    ASSERT_TRUE(std::equal(std::begin(pa.video_memory), std::end(pa.video_memory), std::begin(pb.video_memory)))
        << where;
    ASSERT_TRUE(std::equal(std::begin(pa.oam), std::end(pa.oam), std::begin(pb.oam))) << where;
    ASSERT_TRUE(std::equal(std::begin(pa.frame_rgb), std::end(pa.frame_rgb), std::begin(pb.frame_rgb))) << where;
}

class SpeedInvariants : public ScratchHome {};

TEST_F(SpeedInvariants, RunFrameLeavesTheMachineAsSteppingDoes) {
    const std::vector<std::string> roms = cartridges();
    ASSERT_GE(roms.size(), 18u);
    if (roms.size() == 18) std::printf("the public cartridges are absent: only our programs are compared\n");
    for (const std::string& rom : roms) {
        Recorded framed(rom), stepped(rom);
        int16_t block_a[NES::BUFFER_LEN], block_b[NES::BUFFER_LEN];
        for (int frame = 0; frame < 150; ++frame) {
            framed.press(frame);
            stepped.press(frame);
            framed.console.runFrame();
            const long long count = stepped.console.frame_count();
            while (stepped.console.frame_count() == count) stepped.console.single_cycle();

            const std::string where = rom + ", frame " + std::to_string(frame);
            expect_same_machine(framed.console, stepped.console, where);
            if (HasFatalFailure()) return;
            ASSERT_EQ(framed.calls, stepped.calls) << where;
            const bool got_a = framed.console.getAudio(block_a);
            ASSERT_EQ(got_a, stepped.console.getAudio(block_b)) << where;
            if (got_a) { ASSERT_TRUE(std::equal(block_a, block_a + NES::BUFFER_LEN, block_b)) << where; }
        }
    }
}

// A program that arms the DMC interrupt and then counts in a loop that never repeats a round:
// only the APU knows when the interrupt is due, so runFrame must stop letting it lag as soon
// as it is armed. Its samples come from RAM the handler writes, so they show as well whether
// each fetch reads memory when stepping does.
TEST_F(SpeedInvariants, RunFrameTakesTheDmcInterruptWhereSteppingDoes) {
    const std::string rom = test_rom("speed_dmc_irq.nes");
    NESUnit framed(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    NESUnit stepped(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    int frames_with_interrupts = 0;
    for (int frame = 0; frame < 30; ++frame) {
        const uint8_t calls = framed.cpu->memory[1];
        framed.runFrame();
        frames_with_interrupts += framed.cpu->memory[1] != calls ? 1 : 0;
        const long long count = stepped.frame_count();
        while (stepped.frame_count() == count) stepped.single_cycle();
        expect_same_machine(framed, stepped, "frame " + std::to_string(frame));
        if (HasFatalFailure()) return;
        int16_t block_a[NES::BUFFER_LEN], block_b[NES::BUFFER_LEN];
        const bool got_a = framed.getAudio(block_a);
        ASSERT_EQ(got_a, stepped.getAudio(block_b)) << "frame " << frame;
        if (got_a) { ASSERT_TRUE(std::equal(block_a, block_a + NES::BUFFER_LEN, block_b)) << "frame " << frame; }
    }
    EXPECT_EQ(frames_with_interrupts, 30) << "the handler runs in every frame";
}

// The run thread, unpaced, runs frames while another thread keeps borrowing the machine and
// pausing the thread. At every frame and at every borrowing the machine shows what a console
// stepped instruction by instruction shows at that point: after a whole step, or, borrowed
// while the per-frame function runs, at the dot that completed the frame.
TEST_F(SpeedInvariants, RunThreadShowsWhatSteppingShows) {
    constexpr size_t FRAMES = 100;
    size_t between_steps = 0;  // borrowings that found the thread between two steps
    for (const std::string& rom : cartridges()) {
        NESUnit threaded(rom.c_str(), 0);
        std::vector<Sighting> thread_frames, borrowed;
        std::atomic<bool> done{false};
        threaded.perFrame([&] {
            thread_frames.push_back(sight(threaded));
            press(threaded, static_cast<int>(thread_frames.size()));
            if (thread_frames.size() == FRAMES) {
                threaded.request_stop();
                done.store(true);
            }
        });
        press(threaded, 0);
        threaded.start();
        for (int i = 0; !done.load(); ++i) {
            const bool pause = i % 3 == 2;
            if (pause) threaded.set_pause(true);
            threaded.with_machine_parked([&] { borrowed.push_back(sight(threaded)); });
            if (pause) threaded.set_pause(false);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        threaded.halt();

        NESUnit stepped(rom.c_str(), 0);
        std::vector<Sighting> stepped_frames;
        Sighting window{};
        stepped.perFrame([&] {
            window = sight(stepped);
            stepped_frames.push_back(window);
            press(stepped, static_cast<int>(stepped_frames.size()));
        });
        press(stepped, 0);
        for (const Sighting& b : borrowed) {
            while (stepped.cpu->instruction_count < b.instructions) stepped.single_cycle();
            const Sighting here = sight(stepped);
            between_steps += b.dots == here.dots ? 1 : 0;
            ASSERT_EQ(b, b.dots == here.dots ? here : window) << rom << ", borrowed at instruction " << b.instructions;
        }
        while (stepped_frames.size() < FRAMES) stepped.single_cycle();
        ASSERT_EQ(thread_frames, stepped_frames) << rom;
        expect_same_machine(threaded, stepped, rom + ", where the thread stopped");
        if (HasFatalFailure()) return;
    }
    EXPECT_GT(between_steps, 10u);
}

// The per-frame function may step the machine itself, by instructions or by a whole frame;
// runFrame carries on from where it left.
TEST_F(SpeedInvariants, PerFrameFunctionThatStepsSeesACaughtUpMachine) {
    const std::string rom = test_rom("speed_midframe.nes");
    NESUnit framed(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    NESUnit stepped(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    std::vector<uint64_t> seen_framed, seen_stepped;
    bool nested = false;
    framed.perFrame([&] {
        seen_framed.push_back(framed.ppu->dot_count);
        for (int i = 0; i < 50; ++i) framed.single_cycle();
        if (!nested && seen_framed.size() % 3 == 0) {
            nested = true;
            framed.runFrame();
            nested = false;
        }
    });
    stepped.perFrame([&] {
        seen_stepped.push_back(stepped.ppu->dot_count);
        for (int i = 0; i < 50; ++i) stepped.single_cycle();
        if (!nested && seen_stepped.size() % 3 == 0) {
            nested = true;
            const long long count = stepped.frame_count();
            while (stepped.frame_count() == count) stepped.single_cycle();
            nested = false;
        }
    });
    for (int frame = 0; frame < 40; ++frame) {
        framed.runFrame();
        const long long count = stepped.frame_count();
        while (stepped.frame_count() == count) stepped.single_cycle();
        expect_same_machine(framed, stepped, "frame " + std::to_string(frame));
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(seen_framed, seen_stepped);
}

TEST_F(SpeedInvariants, FramesAllocateNothing) {
    for (const std::string& rom :
         {test_rom("speed_midframe.nes"), test_rom("board_mmc3.nes"), test_rom("apu_pulse1.nes")}) {
        NESUnit console(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
        int frames_seen = 0;
        console.perFrame([&frames_seen] { ++frames_seen; });
        int16_t block[NES::BUFFER_LEN];
        for (int f = 0; f < 5; ++f) console.runFrame();  // past start-up

        const long before = allocations.load();
        for (int f = 0; f < 60; ++f) {
            console.runFrame();
            console.getAudio(block);
        }
        for (int i = 0; i < 20000; ++i) console.single_cycle();
        EXPECT_EQ(allocations.load() - before, 0) << rom;
        EXPECT_GE(frames_seen, 65) << rom;
    }
    // The counter sees allocations at all. A called allocation function, not a new-expression:
    // clang drops a new-expression whose result is deleted unused.
    const long before = allocations.load();
    void* volatile probe = ::operator new(100);
    ::operator delete(probe);
    EXPECT_EQ(allocations.load() - before, 1);
}

}  // namespace
