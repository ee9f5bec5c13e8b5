// Public CPU test cartridges run on the whole console. They report through PRG RAM:
// $6000 holds the status (0 = passed) once $6001-$6003 read DE B0 61; text follows at $6004.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "host/console.hpp"

namespace {

struct Outcome {
    bool finished;
    int status;
    std::string text;
};

Outcome run(const std::string& path, int max_frames) {
    NESUnit nes(path.c_str(), 0);
    const uint8_t* m = nes.cpu->memory;
    for (int frame = 0; frame < max_frames; ++frame) {
        nes.runFrame();
        if (m[0x6001] == 0xDE && m[0x6002] == 0xB0 && m[0x6003] == 0x61 && m[0x6000] < 0x80)
            return {true, m[0x6000],
                    std::string(reinterpret_cast<const char*>(m + 0x6004),
                                strnlen(reinterpret_cast<const char*>(m + 0x6004), 0x1FFC))};
    }
    return {false, m[0x6000], ""};
}

class InstrTest : public ::testing::TestWithParam<const char*> {};

TEST_P(InstrTest, Passes) {
    const std::string path = std::string(ZUMBREL_SHARED_ROMS "/cpu/instr_test-v5/") + GetParam();
    if (!std::filesystem::exists(path)) GTEST_SKIP() << path << " not found";
    const Outcome outcome = run(path, 3000);
    ASSERT_TRUE(outcome.finished) << GetParam() << " did not report within 3000 frames";
    EXPECT_EQ(outcome.status, 0) << outcome.text;
}

// The groups without unofficial opcodes, and the official-only collection of all groups.
INSTANTIATE_TEST_SUITE_P(OfficialInstructions, InstrTest,
                         ::testing::Values("rom_singles/01-basics.nes", "rom_singles/10-branches.nes",
                                           "rom_singles/11-stack.nes", "rom_singles/12-jmp_jsr.nes",
                                           "rom_singles/13-rts.nes", "rom_singles/14-rti.nes", "rom_singles/15-brk.nes",
                                           "rom_singles/16-special.nes", "official_only.nes"));

}  // namespace
