// In-memory snapshots are exact: a console restored from one continues frame for frame as the
// console it was taken from, whether it was taken at a frame's end, inside the per-frame
// function or between two instructions in mid-frame; on every board.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "host/console.hpp"
#include "scratch_home.hpp"
#include "snapshot/digest.hpp"
#include "snapshot/snapshot.hpp"

namespace {

constexpr int WARM_UP = 40;
constexpr int FRAMES = 20;

enum class Moment { frame_end, per_frame_function, between_instructions };

class SnapshotExact : public ScratchHome, public ::testing::WithParamInterface<std::string> {
protected:
    std::unique_ptr<NESUnit> load() { return quiet_console(path.c_str(), 0); }
    static void run(NESUnit& unit, int first, int frames) {
        for (int f = first; f < first + frames; ++f) {
            digest::press(unit, f);
            unit.runFrame();
        }
    }
    static std::vector<uint64_t> digests(NESUnit& unit) {
        std::vector<uint64_t> out;
        for (int f = 0; f < FRAMES; ++f) {
            digest::press(unit, WARM_UP + 1 + f);
            unit.runFrame();
            out.push_back(digest::of(unit));
        }
        return out;
    }
    std::string path;
};

std::vector<uint8_t> take_at(NESUnit& unit, Moment moment) {
    std::vector<uint8_t> taken;
    switch (moment) {
        case Moment::frame_end:
            digest::press(unit, WARM_UP);
            unit.runFrame();
            return snapshot::take(unit);
        case Moment::per_frame_function:
            unit.perFrame([&] {
                if (taken.empty()) taken = snapshot::take(unit);
            });
            digest::press(unit, WARM_UP);
            unit.runFrame();
            unit.perFrame([] {});
            return taken;
        case Moment::between_instructions:
            digest::press(unit, WARM_UP);
            for (int i = 0; i < 4000; ++i) unit.single_cycle();  // about two thirds down the picture
            return snapshot::take(unit);
    }
    return taken;
}

TEST_P(SnapshotExact, RestoredConsoleContinuesAsTheOriginal) {
    path = GetParam();
    if (!std::filesystem::exists(path)) GTEST_SKIP() << "cartridge " << path << " not found";
    for (Moment moment : {Moment::frame_end, Moment::per_frame_function, Moment::between_instructions}) {
        SCOPED_TRACE("moment " + std::to_string(static_cast<int>(moment)));
        auto original = load();
        run(*original, 0, WARM_UP);
        const std::vector<uint8_t> taken = take_at(*original, moment);
        ASSERT_FALSE(taken.empty());

        auto copy = load();
        run(*copy, 0, 7);  // somewhere else entirely
        snapshot::restore(*copy, taken.data(), taken.size());
        // Taken between steps, it comes back byte for byte (in the per-frame function the
        // restore also finishes the step that was under way).
        if (moment != Moment::per_frame_function) { EXPECT_EQ(snapshot::take(*copy), taken); }
        EXPECT_EQ(digests(*copy), digests(*original));
    }
}

// A snapshot of a machine with one value out of its range (with a sound checksum) is refused
// whole: the console it is restored into does not change.
struct OutOfRange {
    const char* cartridge;
    const char* field;
    void (*spoil)(NESUnit&);
};

class SnapshotRefusal : public ScratchHome, public ::testing::WithParamInterface<OutOfRange> {};

TEST_P(SnapshotRefusal, ValueOutOfRangeChangesNothing) {
    const std::string path = test_rom(GetParam().cartridge);
    testing::internal::CaptureStdout();
    NESUnit source(path.c_str(), 0), target(path.c_str(), 0);
    testing::internal::GetCapturedStdout();
    source.runFrame();
    target.runFrame();
    target.runFrame();
    GetParam().spoil(source);
    const std::vector<uint8_t> spoiled = snapshot::take(source);
    const std::vector<uint8_t> before = snapshot::take(target);
    try {
        snapshot::restore(target, spoiled.data(), spoiled.size());
        ADD_FAILURE() << "accepted";
    } catch (const NES::SnapshotError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().field), std::string::npos) << e.what();
    }
    EXPECT_EQ(snapshot::take(target), before);
}

// A loaded line list clears only the cover bytes of the list before it, since nothing else
// writes them; a snapshot's cover may hold other bytes, which the next load clears.
TEST(SnapshotCover, StrayCoverBytesOfALoadedSnapshotAreClearedByTheNextLine) {
    const std::string path = test_rom("ppu_sprites.nes");
    testing::internal::CaptureStdout();
    NESUnit source(path.c_str(), 0), target(path.c_str(), 0);
    testing::internal::GetCapturedStdout();
    for (int f = 0; f < 3; ++f) source.runFrame();  // past the set-up, with rendering on
    NES::PPU& ppu = *source.ppu;
    std::fill(std::begin(ppu.sprite_cover), std::end(ppu.sprite_cover), uint8_t{0});
    ppu.line_sprite_count = 0;
    ppu.sprite_cover[200] = 0x80;  // no sprite of the program ever covers it
    const std::vector<uint8_t> forged = snapshot::take(source);
    snapshot::restore(target, forged.data(), forged.size());
    target.runFrame();
    const NES::PPU& after = *target.ppu;
    for (uint32_t k = 0; k < NES::PPU::SPRITE_CLOCK_END; ++k) {
        uint8_t expected = 0;
        for (int i = 0; i < after.line_sprite_count; ++i)
            if (k - static_cast<uint8_t>(after.sprite_x_counter[i]) < 8u) expected |= static_cast<uint8_t>(1u << i);
        ASSERT_EQ(after.sprite_cover[k], expected) << "clock " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, SnapshotRefusal,
    ::testing::Values(OutOfRange{"smoke.nes", "PPU line", [](NESUnit& n) { n.ppu->scanline = 262; }},
                      OutOfRange{"smoke.nes", "PPU dot", [](NESUnit& n) { n.ppu->dot = -1; }},
                      OutOfRange{"smoke.nes", "PPU attribute latch", [](NESUnit& n) { n.ppu->at_addr = 0xFFFF; }},
                      OutOfRange{"smoke.nes", "sprite search index", [](NESUnit& n) { n.ppu->eval_index = 6; }},
                      OutOfRange{"smoke.nes", "PPU sprites found", [](NESUnit& n) { n.ppu->secondary_count = 9; }},
                      OutOfRange{"smoke.nes", "PPU sprite clock",
                                 [](NESUnit& n) { n.ppu->sprite_clock = NES::PPU::SPRITE_CLOCK_END + 1; }},
                      OutOfRange{"smoke.nes", "PPU CHR bank", [](NESUnit& n) { n.ppu->chr_bank = 8; }},
                      OutOfRange{"smoke.nes", "APU triangle step", [](NESUnit& n) { n.apu->triangle_step = 32; }},
                      OutOfRange{"smoke.nes", "APU noise timer", [](NESUnit& n) { n.apu->noise_timer = -1; }},
                      OutOfRange{"smoke.nes", "APU DMC bits", [](NESUnit& n) { n.apu->dmc_bits = 0; }},
                      OutOfRange{"smoke.nes", "APU DMC direct", [](NESUnit& n) { n.apu->dmc_direct = 128; }},
                      OutOfRange{"smoke.nes", "dot count", [](NESUnit& n) { n.ppu->dot_count = 0; }},
                      OutOfRange{"smoke.nes", "APU's cycle count",
                                 [](NESUnit& n) { n.apu->apu_cycles = n.apu->apu_cycles + 5000; }},
                      OutOfRange{"smoke.nes", "CPU cycle count", [](NESUnit& n) { n.cpu->cycle_count = -1; }},
                      OutOfRange{"board_uxrom.nes", "UxROM PRG bank",
                                 [](NESUnit& n) { static_cast<NES::UxROM*>(n.rom->mapper.get())->prg_bank = 1 << 20; }},
                      OutOfRange{"board_cnrom.nes", "CNROM CHR bank",
                                 [](NESUnit& n) { static_cast<NES::CNROM*>(n.rom->mapper.get())->chr_bank = -8; }},
                      OutOfRange{"board_mmc1.nes", "MMC1 PRG mode",
                                 [](NESUnit& n) { static_cast<NES::MMC1*>(n.rom->mapper.get())->prg_mode = 4; }}),
    [](const ::testing::TestParamInfo<OutOfRange>& spoil) { return "case" + std::to_string(spoil.index); });

// What a console reaches by running from an accepted snapshot is accepted again: each counter
// set to the highest value the check takes (found by halving), then ten frames run, and the
// console's own snapshot must restore.
struct CounterEdge {
    const char* counter;
    uint64_t (*get)(NESUnit&);
    void (*set)(NESUnit&, uint64_t);
    uint64_t top;  // the largest value the counter's type holds
};

class SnapshotClosure : public ScratchHome, public ::testing::WithParamInterface<CounterEdge> {};

TEST_P(SnapshotClosure, OwnSnapshotAfterRunningFromTheEdgeRestores) {
    const std::string path = test_rom("smoke.nes");
    testing::internal::CaptureStdout();
    NESUnit nes(path.c_str(), 0);
    testing::internal::GetCapturedStdout();
    nes.runFrame();
    const std::vector<uint8_t> start = snapshot::take(nes);
    const auto accepted = [&](uint64_t value) {
        snapshot::restore(nes, start.data(), start.size());
        GetParam().set(nes, value);
        const std::vector<uint8_t> spoiled = snapshot::take(nes);
        try {
            snapshot::check(nes, spoiled.data(), spoiled.size());
            return true;
        } catch (const NES::SnapshotError&) { return false; }
    };
    uint64_t low = GetParam().get(nes), high = GetParam().top;  // accepted(low) holds; refused above `high`
    ASSERT_TRUE(accepted(low));
    while (low < high) {
        const uint64_t mid = low + (high - low + 1) / 2;
        if (accepted(mid))
            low = mid;
        else
            high = mid - 1;
    }
    ASSERT_TRUE(accepted(low));
    const std::vector<uint8_t> edge = snapshot::take(nes);
    snapshot::restore(nes, edge.data(), edge.size());
    for (int f = 0; f < 10; ++f) nes.runFrame();
    const std::vector<uint8_t> own = snapshot::take(nes);
    EXPECT_NO_THROW(snapshot::restore(nes, own.data(), own.size())) << GetParam().counter << " at " << low;
}

INSTANTIATE_TEST_SUITE_P(
    Counters, SnapshotClosure,
    ::testing::Values(CounterEdge{"instructions",
                                  [](NESUnit& n) { return static_cast<uint64_t>(n.cpu->instruction_count); },
                                  [](NESUnit& n, uint64_t v) { n.cpu->instruction_count = static_cast<int64_t>(v); },
                                  uint64_t{INT64_MAX}},
                      CounterEdge{"frames", [](NESUnit& n) { return n.ppu->frame_count.load(); },
                                  [](NESUnit& n, uint64_t v) { n.ppu->frame_count = v; }, ~uint64_t{0}},
                      CounterEdge{"dots", [](NESUnit& n) { return n.ppu->dot_count.load(); },
                                  [](NESUnit& n, uint64_t v) { n.ppu->dot_count = v; }, ~uint64_t{0}},
                      CounterEdge{"apu_cycles", [](NESUnit& n) { return n.apu->apu_cycles.load(); },
                                  [](NESUnit& n, uint64_t v) { n.apu->apu_cycles = v; }, ~uint64_t{0}}),
    [](const ::testing::TestParamInfo<CounterEdge>& edge) { return std::string(edge.param.counter); });

// Every implementation of the checksum gives the same value (snapshots move between
// machines), and a changed byte anywhere changes it.
TEST(SnapshotChecksum, FormsAgreeAndSeeEveryByte) {
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
    for (size_t n : {0u, 1u, 63u, 64u, 65u, 1000u}) {
        const std::vector<uint64_t> forms = NES::state_hash_all_forms(data.data(), n);
        for (uint64_t h : forms) EXPECT_EQ(h, forms[0]) << n << " bytes";
    }
    const uint64_t whole = NES::state_hash(data.data(), data.size());
    for (size_t i : {0u, 31u, 500u, 959u, 999u}) {
        data[i] ^= 0x10;
        EXPECT_NE(NES::state_hash(data.data(), data.size()), whole) << "byte " << i;
        data[i] ^= 0x10;
    }
}

std::vector<std::string> cartridges() {
    std::vector<std::string> out;
    for (const char* own :
         {"smoke.nes", "board_mmc1.nes", "board_uxrom.nes", "board_cnrom.nes", "board_mmc3.nes", "board_ntdec2722.nes",
          "board_axrom.nes", "board_bnrom.nes", "board_nina001.nes", "board_gxrom.nes", "board_color_dreams.nes",
          "board_camerica.nes", "board_mmc2.nes", "board_mmc4.nes", "apu_noise.nes"})
        out.push_back(test_rom(own));
    for (const char* shared :
         {"mappers/scroll.nes", "mappers/240pee.nes", "mappers/CMC80s.NES", "mappers/DROPOFF7.NES",
          "mappers/smwstomp.nes", "mappers/240pee-bnrom.nes", "demos/nes15-NTSC.nes", "demos/ny2011.nes"})
        out.push_back(std::string(ZUMBREL_SHARED_ROMS) + "/" + shared);
    return out;
}

INSTANTIATE_TEST_SUITE_P(Boards, SnapshotExact, ::testing::ValuesIn(cartridges()),
                         [](const ::testing::TestParamInfo<std::string>& cartridge) {
                             std::string name = std::filesystem::path(cartridge.param).stem().string();
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

}  // namespace
