// The console's calls from a second thread while its run thread steps: start, stop, pause,
// the per-frame function, audio, pads, save and load. Built with ThreadSanitizer by
// scripts/sanitize.sh, where any race on the console's own control state fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/console.hpp"
#include "machine_fixture.hpp"
#include "scratch_home.hpp"

namespace {

using namespace std::chrono_literals;

// NROM: turns on the NMI and rendering, then counts in zero page; the NMI counts frames and
// reads the pad, so pads, picture and interrupts are all busy while the thread runs.
std::vector<uint8_t> busy_cartridge() {
    std::vector<uint8_t> bytes = fixture::ines_image(0, 32, 8);
    static const uint8_t code[] = {
        0xA9, 0x80, 0x8D, 0x00, 0x20,  // 8000 LDA #$80 : STA $2000
        0xA9, 0x1E, 0x8D, 0x01, 0x20,  // 8005 LDA #$1E : STA $2001
        0xA9, 0x0F, 0x8D, 0x15, 0x40,  // 800A LDA #$0F : STA $4015 (sound on)
        0xA9, 0xBF, 0x8D, 0x00, 0x40,  // 800F LDA #$BF : STA $4000
        0xA9, 0x40, 0x8D, 0x02, 0x40,  // 8014 LDA #$40 : STA $4002
        0x8D, 0x03, 0x40,              // 8019 STA $4003
        0xE6, 0x00,                    // 801C INC $00
        0x4C, 0x1C, 0x80,              // 801E JMP $801C
        0xE6, 0x01,                    // 8021 NMI: INC $01
        0xA9, 0x01, 0x8D, 0x16, 0x40,  // 8023 LDA #1 : STA $4016
        0xA9, 0x00, 0x8D, 0x16, 0x40,  // 8028 LDA #0 : STA $4016
        0xAD, 0x16, 0x40, 0x85, 0x02,  // 802D LDA $4016 : STA $02
        0x40,                          // 8032 RTI
    };
    uint8_t* prg = fixture::prg_of(bytes);
    std::memcpy(prg, code, sizeof code);
    const uint8_t vectors[6] = {0x21, 0x80, 0x00, 0x80, 0x21, 0x80};
    std::memcpy(prg + 0x8000 - 6, vectors, sizeof vectors);
    return bytes;
}

// Reads what the views hand to Python ("getImg", "cpuMem", "ppuMem", "OAM") while the run
// thread draws and steps. The design reads them without synchronisation; Python does it
// through NumPy, which ThreadSanitizer cannot see, so this test does it here, and
// fuzz/tsan.supp names this function.
[[gnu::noinline]] unsigned read_views_as_python_does(const NESUnit& unit) {
    unsigned sum = 0;
    for (size_t i = 0; i < sizeof unit.ppu->frame_rgb; i += 97) sum += unit.ppu->frame_rgb[i];
    for (size_t i = 0; i < sizeof unit.cpu->memory; i += 61) sum += unit.cpu->memory[i];
    for (size_t i = 0; i < sizeof unit.ppu->video_memory; i += 31) sum += unit.ppu->video_memory[i];
    for (const uint8_t b : unit.ppu->oam) sum += b;
    return sum;
}

class RunThreadCalls : public ScratchHome {
protected:
    std::unique_ptr<NESUnit> console(int clock_speed = 0) {
        return quiet_console("busy.nes", busy_cartridge(), clock_speed);
    }
    static bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
};

}  // namespace

TEST_F(RunThreadCalls, EveryCallWhileTheThreadSteps) {
    // Paced: the sample schedule follows the clock speed, so an unpaced console makes few samples.
    auto unit = console(NESUnit::DEFAULT_CLOCK_SPEED);
    std::atomic<int> first_calls{0}, second_calls{0};
    unit->perFrame([&] { first_calls.fetch_add(1); });
    unit->start();
    ASSERT_TRUE(wait_for([&] { return first_calls.load() >= 3; }));

    // Replacing the per-frame function: the new one runs from the next frame on, the old one
    // no more once the replacement has been seen.
    unit->perFrame([&] { second_calls.fetch_add(1); });
    ASSERT_TRUE(wait_for([&] { return second_calls.load() >= 2; }));
    const int first_final = first_calls.load();
    ASSERT_TRUE(wait_for([&] { return second_calls.load() >= 5; }));
    EXPECT_EQ(first_calls.load(), first_final);

    // Pads, audio, counters, views, saves and loads, pausing: all from this thread, repeatedly.
    int16_t block[NES::BUFFER_LEN];
    unsigned seen = 0;
    for (int round = 0; round < 40; ++round) {
        bool buttons[8] = {};
        buttons[round % 8] = true;
        unit->controllers[0].update_inputs(buttons);
        (void)unit->getAudio(block);
        seen |= read_views_as_python_does(*unit);
        EXPECT_GE(unit->cycle_count(), 0);
        unit->save(round % 3);
        EXPECT_TRUE(unit->load(round % 3));
        if (round % 10 == 5) unit->set_pause(true);
        if (round % 10 == 8) unit->set_pause(false);
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_NE(seen, 0u) << "the views showed nothing of a running machine";
    unit->set_pause(false);
    const long long before_audio = unit->cycle_count();
    ASSERT_TRUE(wait_for([&] { return unit->getAudio(block); }))
        << "no audio block while running: " << unit->cycle_count() - before_audio << " cycles later, running "
        << unit->is_running();

    // Paused, the machine stands still; a load applies exactly what the file holds.
    unit->set_pause(true);
    std::this_thread::sleep_for(20ms);
    const long long held = unit->cycle_count();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(unit->cycle_count(), held);
    unit->save(7);
    unit->with_machine_parked([&] { unit->cpu->memory[0x0300] ^= 0x5A; });
    EXPECT_TRUE(unit->load(7));
    std::vector<uint8_t> state(NES::CPU::STATE_SIZE);
    unit->with_machine_parked([&] { unit->cpu->save_state_bytes(state.data()); });
    std::ifstream file(unit->slot_path(7), std::ios::binary);
    const std::vector<uint8_t> saved{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(state, saved);
    unit->set_pause(false);

    unit->stop();
    EXPECT_FALSE(unit->is_running());
    const long long stopped_at = unit->cycle_count();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(unit->cycle_count(), stopped_at);
}

TEST_F(RunThreadCalls, StartStopAndDestroyInAnyOrder) {
    for (int round = 0; round < 6; ++round) {
        auto unit = console(round % 2 == 0 ? 0 : NESUnit::DEFAULT_CLOCK_SPEED);
        unit->start();
        if (round % 3 == 0) unit->set_pause(true);
        std::this_thread::sleep_for(5ms);
        if (round % 2 == 0) {
            unit->stop();
            unit->start();  // a stopped console starts again
        }
        // Destroyed while running (and maybe paused): the destructor ends the thread first.
    }
    // A per-frame function that stops its own console: the run thread ends, nobody waits on it.
    auto unit = console();
    std::atomic<int> calls{0};
    NESUnit* raw = unit.get();
    unit->perFrame([&] {
        if (calls.fetch_add(1) == 2) raw->stop();
    });
    unit->start();
    ASSERT_TRUE(wait_for([&] { return !unit->is_running(); }));
    EXPECT_EQ(calls.load(), 3);
    unit->stop();  // from outside now: joins the ended thread
    unit->runFrame();
}

namespace {

// A machine that only counts: each frame part is one frame of ten cycles.
class CountingMachine final : public RunControl::Machine {
public:
    int64_t cycles() const override { return 10 * frames.load(); }
    int32_t clock_speed() const override { return RunControl::UNPACED; }
    void run_frame_part(int64_t) override { frames.fetch_add(1); }
    void write_battery_ram_file() override {}
    void thread_exited() override { exits.fetch_add(1); }

    std::atomic<int64_t> frames{0};
    std::atomic<int> exits{0};
};

}  // namespace

// The run control knows its machine only through RunControl::Machine: it steps it until
// stopped, not at all while lent, and ends its thread with the thread's last act once.
TEST_F(RunThreadCalls, RunControlDrivesAnyMachine) {
    CountingMachine machine;
    RunControl control(machine);
    control.start();
    ASSERT_TRUE(wait_for([&] { return machine.frames.load() > 0; }));
    {
        RunControl::Loan loan(control);
        const int64_t lent_at = machine.frames.load();
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(machine.frames.load(), lent_at) << "stepped while lent";
    }
    const int64_t returned_at = machine.frames.load();
    ASSERT_TRUE(wait_for([&] { return machine.frames.load() > returned_at; }));
    EXPECT_TRUE(control.stop());
    const int64_t stopped_at = machine.frames.load();
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(machine.frames.load(), stopped_at);
    EXPECT_EQ(machine.exits.load(), 1);
    EXPECT_EQ(control.state(), RunState::stopped);
}
