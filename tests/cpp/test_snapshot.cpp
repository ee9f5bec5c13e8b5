// In-memory snapshots are exact: a console restored from one continues frame for frame as the
// console it was taken from, whether it was taken at a frame's end, inside the per-frame
// function or between two instructions in mid-frame; on every board.
#include <gtest/gtest.h>

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
    std::unique_ptr<NESUnit> load() {
        testing::internal::CaptureStdout();
        auto unit = std::make_unique<NESUnit>(path.c_str(), 0);
        testing::internal::GetCapturedStdout();
        return unit;
    }
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
        if (moment != Moment::per_frame_function) {
            EXPECT_EQ(snapshot::take(*copy), taken);
        }
        EXPECT_EQ(digests(*copy), digests(*original));
    }
}

std::vector<std::string> cartridges() {
    std::vector<std::string> out;
    for (const char* own : {"smoke.nes", "board_mmc1.nes", "board_uxrom.nes", "board_cnrom.nes", "board_mmc3.nes",
                            "board_ntdec2722.nes", "apu_noise.nes"})
        out.push_back(std::string(ZUMBREL_TEST_ROMS) + "/" + own);
    for (const char* shared : {"mappers/scroll.nes", "mappers/240pee.nes", "mappers/CMC80s.NES", "mappers/DROPOFF7.NES",
                               "mappers/smwstomp.nes", "demos/nes15-NTSC.nes", "demos/ny2011.nes"})
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
