// The console: construction, the step's catch-up, frames, the pacing arithmetic and files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/console.hpp"
#include "host/errors.hpp"
#include "host/storage.hpp"
#include "machine/state_layout.hpp"
#include "scratch_home.hpp"

namespace fs = std::filesystem;

TEST(Console, BlankCartridgeStartsAtZeroAndSaysSo) {
    testing::internal::CaptureStdout();
    NESUnit console(NESUnit::DEFAULT_CLOCK_SPEED);
    const std::string out = testing::internal::GetCapturedStdout();
    // The blank image's parser lines stand between the two lines of the console.
    EXPECT_EQ(out.rfind("No rom specified.\nNo Battery\niNES\n0\nrom created.\nCHR-RAM Copied.\nBefore: fffc\n", 0), 0u)
        << out;
    EXPECT_EQ(console.cycle_count(), 0);
    EXPECT_EQ(console.frame_count(), 0);
    EXPECT_EQ(console.getSaveDir(), "");
}

TEST(Console, ClockSpeedBelowOneMeansUnpaced) {
    EXPECT_EQ(NESUnit(0).cpu->clock_speed, INT_MAX);
    EXPECT_EQ(NESUnit(-5).cpu->clock_speed, INT_MAX);
    EXPECT_EQ(NESUnit(1).cpu->clock_speed, 1);
    EXPECT_EQ(NESUnit(NESUnit::DEFAULT_CLOCK_SPEED).apu->apu_clock_rate, 894886);
    EXPECT_EQ(NESUnit(1000).apu->apu_clock_rate, 500);  // the schedule follows the clock speed
    EXPECT_EQ(NESUnit(0).apu->apu_clock_rate, 894886);  // unpaced still makes 44100 samples a second
}

TEST(Console, StepKeepsApuAndPpuCaughtUp) {
    NESUnit console(NESUnit::DEFAULT_CLOCK_SPEED);
    for (int i = 0; i < 5000; ++i) {
        console.single_cycle();
        const int64_t cycles = console.cpu->cycle_count;
        const auto apu_cycles = static_cast<int64_t>(console.apu->apu_cycles.load());
        ASSERT_GE(2 * apu_cycles, cycles);
        ASSERT_LT(2 * apu_cycles, cycles + 2);  // rounded up, never further
        ASSERT_EQ(static_cast<int64_t>(console.ppu->dot_count.load()), 3 * cycles);
    }
}

TEST(Console, RunFrameCallsThePerFrameFunctionOnce) {
    NESUnit console(NESUnit::DEFAULT_CLOCK_SPEED);
    int calls = 0;
    long long frame_seen = -1;
    console.perFrame([&] {
        ++calls;
        frame_seen = console.frame_count();
    });
    console.runFrame();  // the first frame is 25 dots shorter
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(console.frame_count(), 1);
    EXPECT_EQ(frame_seen, 1);
    const uint64_t dots_before = console.ppu->dot_count;
    console.runFrame();
    EXPECT_EQ(calls, 2);
    const auto dots = static_cast<int64_t>(console.ppu->dot_count - dots_before);
    EXPECT_GE(dots, 89342 - 30);
    EXPECT_LE(dots, 89342 + 30);  // the step finishes its catch-up past the frame's end
}

TEST(Console, EmptyPerFrameFunctionRaisesAtTheFrameEnd) {
    NESUnit console(NESUnit::DEFAULT_CLOCK_SPEED);
    console.perFrame(std::function<void()>());
    EXPECT_THROW(console.runFrame(), std::bad_function_call);
}

// Within two nanoseconds of the exact quotient (long double has a 64-bit mantissa).
static bool near_exact(int64_t got, int64_t cycles, int64_t speed) {
    const long double exact = static_cast<long double>(cycles) * 1e9L / static_cast<long double>(speed);
    const long double diff = static_cast<long double>(got) - exact;
    return diff < 2.0L && diff > -2.0L;
}

// A console kept in a static made before any console is destroyed after the list of live
// consoles would be, were that list an ordinary static: it must still unregister cleanly
// (the AddressSanitizer pass reports the use after free this guards against).
TEST(ConsoleDeathTest, ConsoleOutlivingStaticDestructionUnregistersCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no console made before
    EXPECT_EXIT(
        {
            static std::unique_ptr<NESUnit> kept;
            testing::internal::CaptureStdout();
            kept = std::make_unique<NESUnit>(NESUnit::DEFAULT_CLOCK_SPEED);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(Pacing, TargetIsExactAndNeverOverflows) {
    EXPECT_EQ(RunControl::pacing_target_ns(1789773, 1789773), 1000000000);
    EXPECT_EQ(RunControl::pacing_target_ns(1, 1789773), 558);  // 1e9 / 1789773 truncated
    EXPECT_EQ(RunControl::pacing_target_ns(-1789773, 1789773), -1000000000);
    // Beyond 2^63 / 1e9 cycles a plain 64-bit product would have overflowed.
    const int64_t cycles = INT64_MAX / 1000000000 * 3;
    const int64_t target = RunControl::pacing_target_ns(cycles, 1789773);
    EXPECT_GT(target, 0);
    EXPECT_TRUE(near_exact(target, cycles, 1789773)) << target;
    const int64_t late = int64_t(1789773) * 3600 * 24 * 365;  // a year of emulated time
    EXPECT_EQ(RunControl::pacing_target_ns(late, 1789773), int64_t(1000000000) * 3600 * 24 * 365);
    EXPECT_TRUE(near_exact(RunControl::pacing_target_ns(INT64_MAX / 2, INT_MAX), INT64_MAX / 2, INT_MAX));
}

TEST(Storage, BaseNames) {
    using host::cartridge_base_name;
    EXPECT_EQ(cartridge_base_name("/home/u/games/Super Game.nes"), "Super_Game");
    EXPECT_EQ(cartridge_base_name("a.b.nes"), "a.b");
    EXPECT_EQ(cartridge_base_name("game"), "game");
    EXPECT_EQ(cartridge_base_name("D:\\roms\\x.nes"), "x");
    EXPECT_EQ(cartridge_base_name("old.dir/game"), "game");
    // Names that would be the program folder or its parent stay inside it.
    for (const char* nameless : {".nes", "", "dir/", ".", "..", "dir/.."})
        EXPECT_EQ(cartridge_base_name(nameless), "_") << nameless;
    for (const char* parent : {"...nes", "foo/...", "a\\..."}) EXPECT_EQ(cartridge_base_name(parent), "__") << parent;
    EXPECT_EQ(cartridge_base_name(std::string("..\0x.nes", 8)), ".._x");  // a NUL cannot cut the path
}

TEST_F(ScratchHome, AtomicWriteReplacesWholeOrLeavesTheOldFile) {
    const std::string path = (home / "file").string();
    const std::string first = "first contents";
    host::write_file_atomically(path, first.data(), first.size());
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), first);

    // A crash between the temporary write and the rename leaves the old file and no debris.
    const std::string second(100000, 'x');
    EXPECT_THROW(host::write_file_atomically(path, second.data(), second.size(),
                                             [] { throw std::runtime_error("simulated crash"); }),
                 std::runtime_error);
    std::ifstream again(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), {}), first);
    EXPECT_EQ(std::distance(fs::directory_iterator(home), fs::directory_iterator()), 1);

    // A directory that cannot take the file: the error names the path.
    try {
        host::write_file_atomically((home / "missing" / "f").string(), "x", 1);
        FAIL() << "no error";
    } catch (const FileError& e) {
        EXPECT_EQ(e.path, (home / "missing" / "f").string());
        EXPECT_EQ(e.error_number, ENOENT);
    }
}

TEST_F(ScratchHome, SaveDirectoryIsMadeAndReused) {
    const std::string rom = test_rom("smoke.nes");
    testing::internal::CaptureStdout();
    { NESUnit console(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED); }
    std::string out = testing::internal::GetCapturedStdout();
    const std::string dir = home.string() + "/.config/Quorvali/smoke";
    EXPECT_NE(out.find("LINUX, " + home.string() + "/.config\n" + dir + "\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("Folder already exists"), std::string::npos);
    EXPECT_TRUE(fs::is_directory(dir));

    testing::internal::CaptureStdout();
    NESUnit console(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Folder already exists. Checking for save...\n"), std::string::npos) << out;
    EXPECT_EQ(console.getSaveDir(), dir);
}

TEST_F(ScratchHome, WithoutHomeTheConsoleIsBuiltWithSavingOff) {
    ::unsetenv("HOME");
    const std::string rom = test_rom("smoke.nes");
    testing::internal::CaptureStdout();
    NESUnit console(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("HOME is not set: saving is off"), std::string::npos);
    console.runFrame();
    EXPECT_THROW(console.save(1), FileError);
    EXPECT_TRUE(console.setSaveDir(home.string()));  // a folder given by hand works
    console.save(1);
    EXPECT_TRUE(console.load(1));
}

TEST_F(ScratchHome, StateFileLayoutAndRoundTrip) {
    const std::string rom = test_rom("smoke.nes");
    NESUnit console(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    for (int i = 0; i < 3; ++i) console.runFrame();
    console.cpu->A = 0x11;
    console.cpu->X = 0x22;
    console.cpu->Y = 0x33;
    console.cpu->memory[0x0123] = 0x5A;
    console.ppu->video_memory[0x2345] = 0xA5;
    const int64_t pc = console.cpu->get_addr(console.cpu->PC);
    const uint8_t p = console.cpu->P, sp = console.cpu->SP;
    console.save(-5);

    const fs::path slot = fs::path(console.getSaveDir()) / "-5";
    using namespace NES::state_layout;
    ASSERT_EQ(fs::file_size(slot), static_cast<uintmax_t>(STATE_SIZE));
    std::ifstream in(slot, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes[0], p);
    EXPECT_EQ(bytes[1], 0x11);
    EXPECT_EQ(bytes[2], 0x22);
    EXPECT_EQ(bytes[3], 0x33);
    EXPECT_EQ(bytes[4], sp);
    EXPECT_EQ(bytes[PC_AT] | bytes[PC_AT + 1] << 8, pc);
    for (long i = PC_AT + 2; i < MEMORY_AT; ++i) EXPECT_EQ(bytes[i], 0);
    EXPECT_EQ(bytes[MEMORY_AT + 0x0123], 0x5A);
    EXPECT_EQ(bytes[VIDEO_AT + 0x2345], 0xA5);
    for (long i = BLOCK_AT; i < STATE_SIZE; ++i) ASSERT_EQ(bytes[i], 0) << "NROM writes an empty block";

    const long long cycles = console.cycle_count();
    console.runFrame();
    console.cpu->A = 0;
    console.cpu->memory[0x0123] = 0;
    console.ppu->video_memory[0x2345] = 0;
    EXPECT_TRUE(console.load(-5));
    EXPECT_EQ(console.cpu->A, 0x11);
    EXPECT_EQ(console.cpu->memory[0x0123], 0x5A);
    EXPECT_EQ(console.ppu->video_memory[0x2345], 0xA5);
    EXPECT_EQ(console.cpu->get_addr(console.cpu->PC), pc);
    EXPECT_GT(console.cycle_count(), cycles);  // counters are not part of a state
    EXPECT_FALSE(console.load(7));
}

TEST_F(ScratchHome, BadStateFilesChangeNothing) {
    const std::string rom = test_rom("smoke.nes");
    NESUnit console(rom.c_str(), NESUnit::DEFAULT_CLOCK_SPEED);
    console.runFrame();
    const fs::path dir = console.getSaveDir();
    { std::ofstream(dir / "1", std::ios::binary) << std::string(1000, '\x7f'); }
    fs::create_directory(dir / "2");
    const std::vector<uint8_t> before(console.cpu->memory, console.cpu->memory + 65536);
    EXPECT_THROW(console.load(1), FileFormatError);
    EXPECT_THROW(console.load(2), FileFormatError);
    EXPECT_EQ(std::vector<uint8_t>(console.cpu->memory, console.cpu->memory + 65536), before);

    NESUnit blank(NESUnit::DEFAULT_CLOCK_SPEED);
    EXPECT_THROW(blank.save(1), StateError);
    EXPECT_FALSE(blank.setSaveDir((home / "nowhere").string()));
    EXPECT_TRUE(blank.setSaveDir(home.string()));
    blank.save(0);
    EXPECT_EQ(fs::file_size(home / "0"), static_cast<uintmax_t>(NES::state_layout::STATE_SIZE));
}
