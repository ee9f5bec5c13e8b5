#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "machine/state_archive.hpp"
#include "machine_fixture.hpp"

namespace {

// An APU on a CPU bus, driven through CPU writes as a program would.
struct Bench {
    fixture::Machine machine;
    NES::CPU& cpu = *machine.cpu;
    NES::APU& apu = *machine.apu;
    void write(uint16_t address, uint8_t value) { cpu.write(cpu.memory + address, value); }
    void run(int cycles) {
        for (int i = 0; i < cycles; ++i) apu.cycle();
    }
    // The APU with the channel outputs of the cycle just run.
    NES::APU& fresh() {
        apu.refresh_outputs();
        return apu;
    }
};

TEST(ApuLength, TableAndLoadsFromEveryChannel) {
    const int expected[32] = {10, 254, 20, 2,  40, 4,  80, 6,  160, 8,  60, 10, 14, 12, 26, 14,
                              12, 16,  24, 18, 48, 20, 96, 22, 192, 24, 72, 26, 16, 28, 32, 30};
    for (int i = 0; i < 32; ++i) EXPECT_EQ(NES::APU::length_lookup(static_cast<uint8_t>(i)), expected[i]) << i;

    Bench b;
    b.write(0x4015, 0x0F);
    b.write(0x4003, 0x08);  // index 1
    b.write(0x4007, 0x80);  // index 16
    b.write(0x400B, 0xF8);  // index 31
    b.write(0x400F, 0x50);  // index 10
    EXPECT_EQ(b.apu.pulse1.length_counter, 254);
    EXPECT_EQ(b.apu.pulse2.length_counter, 12);
    EXPECT_EQ(b.apu.triangle_length, 30);
    EXPECT_EQ(b.apu.noise_length, 60);
    b.write(0x4015, 0x05);  // disabling zeroes the counters of pulse 2 and the noise only
    EXPECT_EQ(b.apu.pulse1.length_counter, 254);
    EXPECT_EQ(b.apu.pulse2.length_counter, 0);
    EXPECT_EQ(b.apu.triangle_length, 30);
    EXPECT_EQ(b.apu.noise_length, 0);
}

TEST(ApuRegisters, PeriodsCombineWithTheNeighbouringByte) {
    Bench b;
    b.write(0x4003, 0x05);
    b.write(0x4002, 0x34);
    EXPECT_EQ(b.apu.pulse1.pulse_period, 0x534);
    b.write(0x4006, 0x21);
    b.write(0x4007, 0xFB);  // only the low three bits belong to the period
    EXPECT_EQ(b.apu.pulse2.pulse_period, 0x321);
    EXPECT_EQ(b.apu.get_pulse_period(true), 0x321);
    b.write(0x400A, 0xFF);
    b.write(0x400B, 0x02);
    EXPECT_EQ(b.apu.triangle_period, 0x2FF);
    EXPECT_TRUE(b.apu.linear_reload);
    b.write(0x4012, 0xFF);
    b.write(0x4013, 0xFF);
    EXPECT_EQ(b.apu.dmc_start, 0xFFC0);
    EXPECT_EQ(b.apu.dmc_length, 0xFF1);
}

TEST(ApuEnvelope, DecaysEveryVolumePlusOneClocksAndLoops) {
    Bench b;
    b.write(0x4000, 0x22);  // loop, envelope period 2
    b.write(0x4003, 0x00);
    std::vector<int> decay;
    for (int i = 0; i < 50; ++i) {
        b.apu.clock_envs();
        decay.push_back(b.apu.pulse1.env_decay);
    }
    EXPECT_EQ(decay[0], 15);  // the start flag reloads
    EXPECT_EQ(decay[2], 15);
    EXPECT_EQ(decay[3], 14);  // then one step per three clocks
    EXPECT_EQ(decay[6], 13);
    EXPECT_EQ(decay[45], 0);
    EXPECT_EQ(decay[48], 15);  // and around again with the loop flag

    b.write(0x400C, 0x00);  // noise: no loop, period 0 -> one step per clock, stops at 0
    b.write(0x400F, 0x00);
    for (int i = 0; i < 20; ++i) b.apu.clock_envs();
    EXPECT_EQ(b.apu.noise_env_decay, 0);
}

TEST(ApuSweep, NegationDiffersBetweenThePulses) {
    Bench b;
    b.write(0x4002, 0x00);
    b.write(0x4003, 0x01);  // both periods $100
    b.write(0x4006, 0x00);
    b.write(0x4007, 0x01);
    b.write(0x4001, 0x89);  // enabled, divider period 0, negate, shift 1
    b.write(0x4005, 0x89);
    b.apu.clock_sweep();
    EXPECT_EQ(b.apu.pulse1.pulse_period, 0x80);
    EXPECT_EQ(b.apu.pulse2.pulse_period, 0x7F);
    // The new period is written back into the register bytes, other bits kept.
    EXPECT_EQ(b.cpu.memory[0x4006], 0x7F);
    EXPECT_EQ(b.cpu.memory[0x4007], 0x00);

    b.write(0x4001, 0x88);  // shift 0: pulse 1 reaches 0, pulse 2's -1 stops at 0
    b.write(0x4005, 0x88);
    b.apu.clock_sweep();
    EXPECT_EQ(b.apu.pulse1.pulse_period, 0);
    EXPECT_EQ(b.apu.pulse2.pulse_period, 0);
}

TEST(ApuSweep, DividerPeriodAndMuting) {
    Bench b;
    b.run(1);  // past the frame counter's first step, which clocks the sweeps too
    b.write(0x4015, 0x01);
    b.write(0x4000, 0x3F);
    b.write(0x4002, 0x00);
    b.write(0x4003, 0x02);  // period $200
    b.write(0x4001, 0x91);  // enabled, divider period 1, shift 1: +$100 every second clock
    std::vector<int> periods;
    for (int i = 0; i < 4; ++i) {
        b.apu.clock_sweep();
        periods.push_back(b.apu.pulse1.pulse_period);
    }
    EXPECT_EQ(periods, (std::vector<int>{0x300, 0x300, 0x480, 0x480}));
    b.apu.clock_sweep();  // target $6C0 is still in range
    b.run(8);
    EXPECT_NE(b.fresh().pulse1.pulse_output, 0);

    b.write(0x4001, 0x10);  // disabled: the target $900 mutes nothing
    b.write(0x4003, 0x06);
    b.write(0x4002, 0x00);
    b.apu.clock_sweep();
    b.run(8);
    EXPECT_TRUE(b.apu.pulse1.sweep_mute);
    EXPECT_NE(b.fresh().pulse1.pulse_output, 0);
    b.write(0x4001, 0x91);  // enabled: muted
    b.run(8);
    EXPECT_EQ(b.fresh().pulse1.pulse_output, 0);

    b.write(0x4001, 0x00);
    b.write(0x4003, 0x00);
    b.write(0x4002, 0x07);  // a period below 8 is silent on its own
    b.run(64);
    EXPECT_EQ(b.fresh().pulse1.pulse_output, 0);
    b.write(0x4002, 0x08);
    b.run(64);
    EXPECT_NE(b.fresh().pulse1.pulse_output, 0);
}

TEST(ApuPulse, DutyShapeAndPitch) {
    Bench b;
    b.write(0x4015, 0x02);
    b.write(0x4004, 0x9A);  // duty 2 (half), constant volume 10
    b.write(0x4006, 0x09);
    b.write(0x4007, 0x08);  // period 9: a step every 10 APU cycles
    std::vector<int> out;
    for (int i = 0; i < 160; ++i) {
        b.apu.cycle();
        out.push_back(b.fresh().pulse2.pulse_output);
    }
    for (int i = 0; i < 160; ++i) {
        const int step = (i / 10) % 8;
        EXPECT_EQ(out[i], step >= 1 && step <= 4 ? 10 : -10) << i;
    }
}

TEST(ApuTriangle, TimerRunsTwicePerCycleWhileSilent) {
    Bench b;
    b.run(1);  // past the frame counter's first step
    b.write(0x4015, 0x04);
    b.write(0x4008, 0xFF);  // control set: the linear counter reloads to 127 and stays
    b.write(0x400A, 0x03);
    b.write(0x400B, 0x00);  // period 3: one step per 4 CPU cycles = 2 APU cycles
    const int start = b.apu.triangle_step;
    b.run(10);
    EXPECT_EQ((b.apu.triangle_step - start) & 31, 5);
    EXPECT_EQ(b.fresh().triangle_output, 0.0f);  // linear counter not loaded yet

    b.apu.clock_linear();
    // A step lasts two cycles and the output is the step between a cycle's two clocks:
    // from timer 0 the first cycle still plays the current step.
    const int sequence[32] = {15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5,  4,  3,  2,  1,  0,
                              0,  1,  2,  3,  4,  5,  6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < 64; ++i) {
        b.run(1);
        const int step = (start + 5 + i / 2) & 31;
        ASSERT_EQ(b.fresh().triangle_output, 2.0f * (static_cast<float>(sequence[step]) - 7.5f)) << i;
    }

    b.write(0x4008, 0x02);  // control clear: counted down and then silent
    b.write(0x400B, 0x00);
    for (int i = 0; i < 3; ++i) b.apu.clock_linear();
    EXPECT_EQ(b.apu.linear_counter, 0);
    b.run(3);
    EXPECT_EQ(b.fresh().triangle_output, 0.0f);

    b.write(0x4008, 0xFF);
    b.write(0x400B, 0x00);
    b.apu.clock_linear();
    b.write(0x400A, 0x01);  // periods of 0 and 1 are silent
    b.run(4);
    EXPECT_EQ(b.fresh().triangle_output, 0.0f);
    b.write(0x400A, 0x02);
    b.run(4);
    EXPECT_NE(b.fresh().triangle_output, 0.0f);
}

// The length of the shift register's cycle in each feedback mode, from the start value 1.
TEST(ApuNoise, FeedbackModesGiveTheirSequenceLengths) {
    for (const auto& [mode, length] : {std::pair{0x00, 32767}, std::pair{0x80, 93}}) {
        Bench b;
        b.write(0x400E, static_cast<uint8_t>(mode));  // period index 0: a shift every 2 cycles
        int shifts = 0;
        do {
            b.run(2);
            ++shifts;
        } while (b.apu.noise_shift != 1 && shifts < 40000);
        EXPECT_EQ(shifts, length) << "mode " << mode;
    }

    Bench b;
    b.write(0x4015, 0x08);
    b.write(0x400C, 0x17);  // constant volume 7
    b.write(0x400F, 0x08);
    b.run(2);
    for (int i = 0; i < 200; ++i) {
        b.run(1);
        EXPECT_EQ(b.fresh().noise_output, (b.apu.noise_shift & 1) ? 0 : 7);
    }
}

// A 16 KiB NROM image whose PRG bytes are given; $C000-$FFFF mirror $8000-$BFFF on the bus.
std::vector<uint8_t> nrom16(const std::vector<uint8_t>& prg_start) {
    return fixture::ines_image(0, 16, 8, 0, [&](size_t i) { return i < prg_start.size() ? prg_start[i] : uint8_t{0}; });
}

TEST(ApuDmc, FetchesThroughTheBusAndWrapsToTheStart) {
    const auto image = nrom16({0xA5, 0x5A});
    NES::ROM rom(static_cast<long>(image.size()), image.data());
    Bench b;
    b.cpu.loadRom(&rom, false);
    b.write(0x4010, 0x0F);
    b.write(0x4012, 0x00);  // $C000, which the bus folds to $8000
    b.write(0x4013, 0x00);  // one byte
    b.write(0x4015, 0x10);
    b.run(1);
    EXPECT_EQ(b.apu.dmc_buffer, 0xA5);
    EXPECT_EQ(b.apu.dmc_address, 0xC001);

    Bench w;  // a sample running past $FFFF continues at $8000
    w.cpu.memory[0xFFFF] = 0x11;
    w.cpu.memory[0x8000] = 0x22;
    w.write(0x4010, 0x0F);
    w.write(0x4012, 0xFF);
    w.write(0x4013, 0x04);  // $41 bytes from $FFC0
    w.write(0x4015, 0x10);
    std::vector<uint8_t> fetched;
    for (int i = 0; i < 0x41 * 8 * 27 && fetched.size() < 0x41; ++i) {
        const uint16_t before = w.apu.dmc_remaining;
        w.run(1);
        if (w.apu.dmc_remaining != before) fetched.push_back(w.apu.dmc_buffer);
    }
    ASSERT_EQ(fetched.size(), 0x41u);
    EXPECT_EQ(fetched[0x3F], 0x11);
    EXPECT_EQ(fetched[0x40], 0x22);
    EXPECT_EQ(w.apu.dmc_address, 0x8001);
}

TEST(ApuDmc, LoopRestartsWithoutInterruptElseRaisesIt) {
    for (const int flags : {0xCF, 0x8F}) {  // IRQ on, rate 15, with and without loop
        Bench b;
        b.write(0x4010, static_cast<uint8_t>(flags));
        b.write(0x4012, 0x10);  // $C400
        b.write(0x4013, 0x01);  // 17 bytes
        b.write(0x4015, 0x10);
        int fetches = 0;
        for (int i = 0; i < 20 * 8 * 27 && fetches < 17; ++i) {
            ASSERT_EQ(b.cpu.irq_line, 0) << "after fetch " << fetches;
            const uint16_t address = b.apu.dmc_address;
            b.run(1);
            fetches += b.apu.dmc_address != address;
        }
        ASSERT_EQ(fetches, 17);
        const bool loop = flags & 0x40;
        EXPECT_EQ(b.apu.dmc_remaining, loop ? 17 : 0);
        EXPECT_EQ(b.apu.dmc_address, loop ? 0xC400 : 0xC411);
        EXPECT_EQ(b.cpu.irq_line, loop ? 0 : 1);
    }
}

TEST(ApuDmc, LevelRestsAtMidAfterTheLastBitAndFollowsDirectLoads) {
    Bench b;
    b.cpu.memory[0xC000] = 0xFF;
    b.write(0x4010, 0x0F);  // 27 APU cycles per bit
    b.write(0x4011, 0x10);
    b.write(0x4012, 0x00);
    b.write(0x4013, 0x00);
    b.write(0x4015, 0x10);
    b.run(1);
    EXPECT_EQ(b.apu.dmc_level, 0x10);  // the direct load comes first
    b.run(8 * 27);
    EXPECT_EQ(b.apu.dmc_level, 0x10 + 16);  // eight one-bits: +2 each
    b.run(7 * 27);
    EXPECT_EQ(b.apu.dmc_level, 0x10 + 16 - 14);  // the emptied shift register counts down
    b.run(27);
    EXPECT_EQ(b.apu.dmc_level, 64);
    b.run(100 * 27);
    EXPECT_EQ(b.apu.dmc_level, 64);
    b.write(0x4011, 0x85);  // seven bits of level
    b.run(27);
    EXPECT_EQ(b.apu.dmc_level, 0x05);

    // Steps that would leave 0..127 are skipped.
    for (const auto& [byte, level, expected] : {std::tuple{0xFF, 0x7D, 0x7F}, std::tuple{0xFF, 0x7E, 0x7E},
                                                std::tuple{0x00, 0x02, 0x00}, std::tuple{0x00, 0x01, 0x01}}) {
        Bench e;
        e.cpu.memory[0xC000] = static_cast<uint8_t>(byte);
        e.write(0x4010, 0x0F);
        e.write(0x4011, static_cast<uint8_t>(level));
        e.write(0x4012, 0x00);
        e.write(0x4013, 0x00);
        e.write(0x4015, 0x10);
        e.run(1 + 8 * 27);
        EXPECT_EQ(e.apu.dmc_level, expected) << "from " << level;
    }
}

// Envelope clocks reveal the quarter-frame steps: the decay drops once per step.
TEST(ApuFrameCounter, ImmediateClocksPhaseAndInterrupt) {
    Bench b;
    b.write(0x4015, 0x01);
    b.write(0x4000, 0x00);  // envelope period 0, no halt
    b.write(0x4003, 0x08);  // length 254
    b.run(5000);
    const uint8_t length = b.apu.pulse1.length_counter;
    b.write(0x4017, 0x80);  // five-step mode: everything clocks at once
    EXPECT_EQ(b.apu.pulse1.length_counter, length - 1);
    const uint8_t decay = b.apu.pulse1.env_decay;
    b.run(3728);
    EXPECT_EQ(b.apu.pulse1.env_decay, decay);
    b.run(1);
    EXPECT_EQ(b.apu.pulse1.env_decay, decay - 1);
    b.run(7458 - 3729);
    EXPECT_EQ(b.apu.pulse1.length_counter, length - 2);
    b.run(18640 - 7458);  // no step at 14916 in this mode: two more quarters and a full step
    EXPECT_EQ(b.apu.pulse1.env_decay, decay - 4);
    EXPECT_EQ(b.apu.pulse1.length_counter, length - 3);
    EXPECT_EQ(b.apu.frame_irq, 0);

    b.write(0x4017, 0x00);  // four-step mode raises the flag at the end of each sequence
    b.run(14915);
    EXPECT_EQ(b.apu.frame_irq, 0);
    b.run(1);
    EXPECT_EQ(b.apu.frame_irq, 1);
    EXPECT_EQ(b.cpu.read(b.cpu.memory + 0x4015, true), 1);
    EXPECT_EQ(b.apu.frame_irq, 0);
    b.write(0x4017, 0x40);  // inhibited
    b.run(14916 * 2);
    EXPECT_EQ(b.apu.frame_irq, 0);
}

// The stepped phase must equal (apu_cycles - frame_origin) mod period at every cycle, also
// after the counter is reset under it (negative distances) and across mode changes.
TEST(ApuFrameCounter, SteppedPhaseMatchesTheFormula) {
    Bench b;
    b.write(0x4015, 0x01);
    b.write(0x4000, 0x00);
    auto steps = [&](int cycles) {
        std::vector<uint64_t> when;
        for (int i = 0; i < cycles; ++i) {
            b.apu.pulse1.env_start = 0;
            b.apu.pulse1.env_decay = 15;
            b.apu.pulse1.env_divider = 0;
            const uint64_t k = b.apu.apu_cycles;
            b.apu.cycle();
            if (b.apu.pulse1.env_decay != 15) when.push_back(k);
        }
        return when;
    };
    auto formula = [&](uint64_t from, int cycles) {
        std::vector<uint64_t> when;
        const int64_t period = (b.cpu.memory[0x4017] & 0x80) ? 18640 : 14916;
        for (uint64_t k = from; k < from + static_cast<uint64_t>(cycles); ++k) {
            const int64_t phase = (static_cast<int64_t>(k) - b.apu.frame_origin) % period;
            if (phase == 0 || phase == 3729 || phase == 7458 || phase == 11187) when.push_back(k);
        }
        return when;
    };
    b.run(1000);
    b.write(0x4017, 0x80);
    EXPECT_EQ(steps(40000), formula(1000, 40000));
    b.apu.apu_cycles = 5;  // as a CPU reset does, the origin now lies ahead
    EXPECT_EQ(steps(60000), formula(5, 60000));
    b.write(0x4017, 0x00);
    const uint64_t k = b.apu.apu_cycles;
    EXPECT_EQ(steps(30000), formula(k, 30000));
}

// The samples produced per cycle follow due = sample_rate * k / apu_clock_rate exactly, cycle
// by cycle and in stretches that end on either side of a sample (with rates that share no
// factor, the schedule's remainder reaches the rate exactly).
TEST(ApuSamples, ScheduleMatchesTheFormula) {
    for (const auto& [rate, clock] : {std::pair{44100, 894886}, std::pair{44100, 894961}, std::pair{48000, 1073741823},
                                      std::pair{44100, 20000}, std::pair{44100, 44100}}) {
        Bench b, stretched;
        for (Bench* m : {&b, &stretched}) {
            m->apu.sample_rate = rate;
            m->apu.apu_clock_rate = clock;
        }
        uint64_t expected = 0;
        int mismatches = 0, stretch_mismatches = 0;
        for (int round = 0; round < 2; ++round) {
            for (int64_t k = 0; k < 200000; ++k) {
                const int64_t due = static_cast<int64_t>(rate) * k / clock;
                const bool sample = static_cast<int64_t>(expected) < due;
                // Each stretch holds two samples and ends just before an even-numbered sample's
                // cycle in the first round, just after it in the second.
                if (sample && expected % 2 == 0) {
                    stretched.apu.run(static_cast<uint64_t>(k + round));
                    stretch_mismatches += stretched.apu.samples_written != expected + static_cast<uint64_t>(round);
                }
                if (sample) ++expected;
                b.apu.cycle();
                mismatches += b.apu.samples_written != expected;
            }
            for (Bench* m : {&b, &stretched}) {
                m->apu.apu_cycles = 0;  // the counters a CPU reset clears
                m->apu.samples_written = 0;
            }
            expected = 0;
        }
        EXPECT_EQ(mismatches, 0) << rate << "/" << clock;
        EXPECT_EQ(stretch_mismatches, 0) << rate << "/" << clock;
    }
}

TEST(ApuSamples, FirstSampleRateAndBlocks) {
    Bench b;
    int16_t block[NES::BUFFER_LEN];
    b.run(21);
    EXPECT_FALSE(b.apu.take_block(block));
    b.run(1);  // cycle 21 produces the first sample and hands out the silent block
    EXPECT_EQ(b.apu.samples_written, 1u);
    ASSERT_TRUE(b.apu.take_block(block));
    for (int16_t s : block) EXPECT_EQ(s, 0);
    EXPECT_FALSE(b.apu.take_block(block));

    b.write(0x4015, 0x10);  // DMC alone, level 0
    int blocks = 0;
    // 1789773 CPU cycles are 894887 APU cycles, 22 of them already run.
    for (int i = 22; i < (1789773 + 1) / 2; ++i) {
        b.apu.cycle();
        if (b.apu.take_block(block)) {
            ++blocks;
            EXPECT_EQ(b.apu.samples_written % NES::BUFFER_LEN, 1u);
            if (blocks > 1) {
                for (int16_t s : block) ASSERT_EQ(s, -14050);
            }
        }
    }
    EXPECT_NEAR(static_cast<double>(b.apu.samples_written), 44100.0, 1.0);
    EXPECT_EQ(blocks, 43);
}

TEST(ApuMix, DisabledRestingAndExtremeLevels) {
    Bench b;
    b.apu.pulse1.pulse_output = 15;
    b.apu.pulse2.pulse_output = -15;
    b.apu.triangle_output = 15.0f;
    b.apu.noise_output = 15;
    b.apu.dmc_level = 0;
    EXPECT_EQ(NES::mix(&b.apu), 0);
    for (bool& on : b.apu.channel_enabled) on = true;
    b.apu.pulse1.pulse_output = 0;
    b.apu.pulse2.pulse_output = 0;
    b.apu.triangle_output = 0.0f;
    b.apu.noise_output = 0;
    EXPECT_EQ(NES::mix(&b.apu), -14050);
    b.apu.dmc_level = 64;
    EXPECT_EQ(NES::mix(&b.apu), 0);
    b.apu.pulse1.pulse_output = b.apu.pulse2.pulse_output = 15;
    b.apu.triangle_output = 15.0f;
    b.apu.noise_output = 15;
    b.apu.dmc_level = 127;
    const int high = NES::mix(&b.apu);
    EXPECT_GT(high, 27000);
    EXPECT_LT(high, 27900);
}

// Running a stretch at once (as the console does while the APU lags) leaves every field, the
// samples and the frame counter as running it cycle by cycle does, whatever the registers
// hold: short noise periods in both modes, timers left beyond a shortened period, the DMC
// fetching and looping (and, in the second half, the DMC off, so that samples may repeat a
// level), a new sample rate, samples and frame-counter steps falling on a stretch's ends.
TEST(ApuRun, StretchesMatchSingleCycles) {
    std::mt19937 rng(19);
    Bench stretched, stepped;
    for (Bench* b : {&stretched, &stepped}) {
        std::fill(b->cpu.memory + 0x8000, b->cpu.memory + 0x10000, uint8_t{0x5A});  // DMC sample bytes
        b->write(0x4015, 0x1F);
    }
    const uint16_t registers[] = {0x4000, 0x4001, 0x4002, 0x4003, 0x4004, 0x4005, 0x4006, 0x4007, 0x4008, 0x400A,
                                  0x400B, 0x400C, 0x400E, 0x400F, 0x4010, 0x4011, 0x4012, 0x4013, 0x4015, 0x4017};
    for (int round = 0; round < 3000; ++round) {
        const uint16_t reg = registers[rng() % std::size(registers)];
        uint8_t value = static_cast<uint8_t>(rng());
        if (reg == 0x400E && rng() % 2) value &= 0x81;  // the shortest periods shift most often
        if (reg == 0x4010) value &= 0x4F;               // no DMC interrupt to leave pending
        if (reg == 0x4015) value = round < 1500 ? value | 0x10 : value & 0x0F;
        for (Bench* b : {&stretched, &stepped}) b->write(reg, value);
        if (round == 1700 || round == 2500) {  // the schedule falls behind (a sample a cycle), then ahead
            for (Bench* b : {&stretched, &stepped}) b->apu.sample_rate = round == 1700 ? 48000 : 44100;
        }
        const uint64_t until = stretched.apu.apu_cycles + rng() % (rng() % 4 ? 60 : 20000);
        stretched.apu.run(until);
        while (stepped.apu.apu_cycles < until) stepped.apu.cycle();
        ASSERT_EQ(fixture::state_bytes(stretched.apu), fixture::state_bytes(stepped.apu))
            << "round " << round << ", $" << std::hex << reg;
        ASSERT_EQ(stretched.apu.samples_written, stepped.apu.samples_written) << "round " << round;
    }
    EXPECT_GT(stretched.apu.samples_written, 10000u);
}

// Runs `stepped` cycle by cycle and `stretched` in stretches to the same cycles, alternately
// 997 cycles and up to where the timer read by `timer` is 0, comparing the two after each.
void compare_stretches(Bench& stretched, Bench& stepped, int (*timer)(const NES::APU&), const std::string& what) {
    for (int i = 0; i < 16; ++i) {
        if (i % 2) {
            do stepped.apu.cycle();
            while (timer(stepped.apu) != 0);
        } else {
            stepped.run(997);
        }
        stretched.apu.run(stepped.apu.apu_cycles);
        ASSERT_EQ(fixture::state_bytes(stretched.apu), fixture::state_bytes(stepped.apu)) << what << ", run " << i;
    }
}

// One channel sounding alone, at every period up to 160 (every noise period in both modes):
// a stretch keeps a sample's level until the output may change, so a change it misses by a
// cycle shows in the samples. Every other stretch starts with the channel's timer at 0; the
// higher sample rate takes samples closer than the shortest periods.
TEST(ApuRun, EachChannelAloneSoundsAsSingleCycles) {
    using Writes = std::vector<std::pair<uint16_t, uint8_t>>;
    using Timer = int (*)(const NES::APU&);
    const auto play = [](const Writes& writes, Timer timer, const std::string& what) {
        for (const int rate : {44100, 192000}) {
            Bench stretched, stepped;
            for (Bench* b : {&stretched, &stepped}) {
                b->apu.sample_rate = rate;
                b->apu.noise_shift = 0x7FFF;  // the fifteenth shift is the first to bring in a 0
                for (const auto& [reg, value] : writes) b->write(reg, value);
            }
            compare_stretches(stretched, stepped, timer, what + " at " + std::to_string(rate) + " Hz");
        }
    };

    const Timer pulse = [](const NES::APU& a) { return int{a.pulse1.pulse_timer}; };
    const Timer triangle = [](const NES::APU& a) { return int{a.triangle_timer}; };
    const Timer noise = [](const NES::APU& a) { return int{a.noise_timer}; };
    for (int period = 2; period <= 160; ++period) {
        const auto low = static_cast<uint8_t>(period), high = static_cast<uint8_t>(0x08 | period >> 8);
        const auto duty = static_cast<uint8_t>(period % 4 << 6);
        const std::string at = " period " + std::to_string(period);
        if (period >= 8)
            play({{0x4015, 0x01}, {0x4000, duty | 0x3F}, {0x4002, low}, {0x4003, high}}, pulse, "pulse" + at);
        play({{0x4015, 0x04}, {0x4008, 0xFF}, {0x400A, low}, {0x400B, high}}, triangle, "triangle" + at);
        if (HasFatalFailure()) return;
    }
    for (int mode = 0; mode < 32; ++mode) {
        const auto period = static_cast<uint8_t>((mode & 16) << 3 | (mode & 15));
        play({{0x4015, 0x08}, {0x400C, 0x3F}, {0x400E, period}, {0x400F, 0x08}}, noise,
             "noise, $400E = " + std::to_string(period));
        if (HasFatalFailure()) return;
    }
}

// A reader on another thread gets whole blocks only: each block here holds one level.
TEST(ApuBlocks, ReaderOnAnotherThreadSeesWholeBlocks) {
    Bench b;
    b.apu.channel_enabled[4] = true;
    b.apu.apu_clock_rate = 44100;  // a sample every cycle keeps the test short
    std::atomic<bool> done{false};
    int torn = 0, taken = 0;
    std::thread reader([&] {
        int16_t block[NES::BUFFER_LEN];
        while (!done.load()) {
            if (!b.apu.take_block(block)) continue;
            ++taken;
            for (int16_t s : block) torn += s != block[0];
        }
    });
    const uint64_t blocks = 3000;
    while (b.apu.samples_written < blocks * NES::BUFFER_LEN) {
        b.apu.dmc_level = static_cast<uint8_t>(b.apu.samples_written / NES::BUFFER_LEN % 128);
        b.apu.cycle();
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(taken, 0);
}

}  // namespace
