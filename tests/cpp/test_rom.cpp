// The iNES cartridge image: header fields, sizes, bank lookup and refused images.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "machine/cartridge/rom.hpp"
#include "machine_fixture.hpp"

using NES::ROM;
using NES::RomFileError;
using NES::RomFormatError;

namespace {

struct Header {
    uint8_t prg = 1, chr = 0, flags6 = 0, flags7 = 0, byte9 = 0;
};

// An image of exactly the announced length; every PRG/CHR byte tells its offset apart.
std::vector<uint8_t> image(const Header& h, size_t prg_bytes, size_t chr_bytes, bool trainer = false) {
    std::vector<uint8_t> out = fixture::ines_header(0, h.prg, h.chr, h.flags6, h.flags7, h.byte9);
    if (trainer) out.insert(out.end(), 512, 0x7E);
    for (size_t i = 0; i < prg_bytes; ++i) out.push_back(static_cast<uint8_t>((i >> 10) * 7 + i));
    for (size_t i = 0; i < chr_bytes; ++i) out.push_back(static_cast<uint8_t>((i >> 10) * 13 + i + 1));
    return out;
}

std::unique_ptr<ROM> load(const std::vector<uint8_t>& bytes) {
    return std::make_unique<ROM>(static_cast<long>(bytes.size()), bytes.data());
}

// Loads and returns what the parser printed.
std::string printed_by(const std::vector<uint8_t>& bytes, std::unique_ptr<ROM>* keep = nullptr) {
    testing::internal::CaptureStdout();
    auto rom = load(bytes);
    std::fflush(stdout);
    if (keep) *keep = std::move(rom);
    return testing::internal::GetCapturedStdout();
}

// The message of the RomFormatError a load raises ("" when it loads).
std::string refusal(const std::vector<uint8_t>& bytes) {
    try {
        testing::internal::CaptureStdout();
        load(bytes);
        testing::internal::GetCapturedStdout();
        return "";
    } catch (const RomFormatError& e) {
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, "") << "a refused image prints nothing";
        return e.what();
    }
}

bool mentions(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

TEST(Rom, BlankCartridgeIsSixteenKilobytesOfZeroNrom) {
    testing::internal::CaptureStdout();
    ROM rom;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "No Battery\niNES\n0\n");
    EXPECT_EQ(rom.mapper_number(), 0);
    EXPECT_NE(dynamic_cast<NES::NROM*>(rom.mapper.get()), nullptr);
    EXPECT_EQ(rom.prg_size, 16384);
    EXPECT_EQ(rom.chr_size, 0);
    EXPECT_EQ(rom.mirroring, 0);
    EXPECT_FALSE(rom.battery);
    EXPECT_FALSE(rom.nes2);
    ASSERT_EQ(rom.prg_rom.size(), 16384u);
    EXPECT_EQ(std::count(rom.prg_rom.begin(), rom.prg_rom.end(), 0), 16384);
    EXPECT_TRUE(rom.chr_rom.empty());
}

TEST(Rom, FlagsSixGiveMirroringAndBattery) {
    struct Case {
        uint8_t flags6;
        int mirroring;
        bool battery;
    };
    for (const Case c : {Case{0x00, 0, false}, Case{0x01, 1, false}, Case{0x02, 0, true}, Case{0x08, 2, false},
                         Case{0x09, 2, false}, Case{0x0A, 2, true}, Case{0x0B, 2, true}}) {
        std::unique_ptr<ROM> rom;
        const std::string out = printed_by(image({1, 0, c.flags6, 0}, 16384, 0), &rom);
        EXPECT_EQ(rom->mirroring, c.mirroring) << "flags 6 = " << int(c.flags6);
        EXPECT_EQ(rom->battery, c.battery) << "flags 6 = " << int(c.flags6);
        EXPECT_EQ(out, std::string(c.battery ? "Battery" : "No Battery") + "\niNES\n0\n");
    }
}

TEST(Rom, MapperNumberFromBothNibblesChoosesTheBoard) {
    std::unique_ptr<ROM> rom;
    EXPECT_EQ(printed_by(image({1, 0, 0x40, 0x20}, 16384, 0), &rom), "No Battery\nUNRECOGNIZED MAPPER!\niNES\n0\n");
    EXPECT_EQ(rom->mapper_number(), 36);
    EXPECT_NE(dynamic_cast<NES::DEFAULT_MAPPER*>(rom->mapper.get()), nullptr);

    // The low two bits of flags 7 are not part of the number.
    printed_by(image({4, 0, 0x80, 0x23}, 65536, 0), &rom);
    EXPECT_EQ(rom->mapper_number(), 40);
    EXPECT_NE(dynamic_cast<NES::NTDEC2722*>(rom->mapper.get()), nullptr);

    printed_by(image({2, 1, 0x10, 0}, 32768, 8192), &rom);
    EXPECT_NE(dynamic_cast<NES::MMC1*>(rom->mapper.get()), nullptr);
    printed_by(image({2, 1, 0x20, 0}, 32768, 8192), &rom);
    EXPECT_NE(dynamic_cast<NES::UxROM*>(rom->mapper.get()), nullptr);
    printed_by(image({2, 1, 0x30, 0}, 32768, 8192), &rom);
    EXPECT_NE(dynamic_cast<NES::CNROM*>(rom->mapper.get()), nullptr);
    printed_by(image({2, 1, 0x40, 0}, 32768, 8192), &rom);
    EXPECT_NE(dynamic_cast<NES::MMC3*>(rom->mapper.get()), nullptr);
    EXPECT_TRUE(rom->mapper->clocked);

    printed_by(image({1, 0, 0xF0, 0xF0}, 16384, 0), &rom);
    EXPECT_EQ(rom->mapper_number(), 255);
}

TEST(Rom, PrgAndChrFollowTheHeaderWithOrWithoutTrainer) {
    std::unique_ptr<ROM> rom;
    const auto plain = image({2, 1, 0, 0}, 32768, 8192);
    EXPECT_EQ(printed_by(plain, &rom), "No Battery\niNES\n1\n");
    EXPECT_EQ(rom->prg_size, 32768);
    EXPECT_EQ(rom->chr_size, 8192);
    EXPECT_TRUE(std::equal(rom->prg_rom.begin(), rom->prg_rom.end(), plain.begin() + 16));
    EXPECT_TRUE(std::equal(rom->chr_rom.begin(), rom->chr_rom.end(), plain.begin() + 16 + 32768));
    EXPECT_TRUE(std::equal(rom->header, rom->header + 16, plain.begin()));

    const auto trained = image({2, 1, 0x04, 0}, 32768, 8192, true);
    printed_by(trained, &rom);
    EXPECT_EQ(rom->prg_rom[0], trained[528]);
    EXPECT_TRUE(std::equal(rom->prg_rom.begin(), rom->prg_rom.end(), trained.begin() + 528));
    EXPECT_TRUE(std::equal(rom->chr_rom.begin(), rom->chr_rom.end(), trained.begin() + 528 + 32768));
    EXPECT_EQ(rom->trainer[0], 0x7E);
    EXPECT_EQ(rom->trainer[511], 0x7E);
}

TEST(Rom, TrailingBytesAfterTheAnnouncedImageAreIgnored) {
    auto bytes = image({1, 1, 0, 0}, 16384, 8192);
    bytes.insert(bytes.end(), 100, 0x55);
    std::unique_ptr<ROM> rom;
    printed_by(bytes, &rom);
    EXPECT_EQ(rom->chr_size, 8192);
    EXPECT_EQ(rom->chr_rom.back(), bytes[bytes.size() - 101]);
}

TEST(Rom, CountsOf128AndMoreAreUnsigned) {
    std::unique_ptr<ROM> rom;
    EXPECT_EQ(printed_by(image({0x80, 0x80, 0, 0}, 2 << 20, 1 << 20), &rom), "No Battery\niNES\n128\n");
    EXPECT_EQ(rom->prg_size, 2 << 20);
    EXPECT_EQ(rom->chr_size, 1 << 20);
}

TEST(Rom, Nes2SizesInCountAndExponentForm) {
    std::unique_ptr<ROM> rom;
    // High nibbles of byte 9 extend the counts; NES 2.0 prints no iNES lines.
    EXPECT_EQ(printed_by(image({0x02, 0x00, 0, 0x08, 0x11}, 0x102 * 16384, 0x100 * 8192), &rom), "No Battery\n");
    EXPECT_TRUE(rom->nes2);
    EXPECT_EQ(rom->prg_size, 0x102 * 16384);
    EXPECT_EQ(rom->chr_size, 0x100 * 8192);

    // 0x4D: E = 19, M = 1, so 2^19 x 3 bytes; 0x36 for CHR: E = 13, M = 2, so 2^13 x 5.
    printed_by(image({0x4D, 0x36, 0, 0x08, 0xFF}, 3 << 19, 5 << 13), &rom);
    EXPECT_EQ(rom->prg_size, 3 << 19);
    EXPECT_EQ(rom->chr_size, 5 << 13);

    // Bits 2-3 of flags 7 must hold exactly 2: 0x0C is plain iNES, byte 9 ignored.
    EXPECT_EQ(printed_by(image({1, 0, 0, 0x0C, 0xFF}, 16384, 0), &rom), "No Battery\niNES\n0\n");
    EXPECT_FALSE(rom->nes2);
    EXPECT_EQ(rom->prg_size, 16384);
}

TEST(Rom, PrgBanksWrapModuloWholeKilobytes) {
    auto rom = load(image({2, 1, 0, 0}, 32768, 8192));
    uint8_t* base = rom->prg_rom.data();
    EXPECT_EQ(rom->get_prg_bank(0), base);
    EXPECT_EQ(rom->get_prg_bank(31), base + 31 * 1024);
    EXPECT_EQ(rom->get_prg_bank(32), rom->get_prg_bank(0));
    EXPECT_EQ(rom->get_prg_bank(48), rom->get_prg_bank(16));
    EXPECT_EQ(rom->get_prg_bank(-1), base + 31 * 1024);
    EXPECT_EQ(rom->get_chr_bank(9), rom->chr_rom.data() + 1024);
    EXPECT_EQ(rom->get_chr_bank(8), rom->chr_rom.data());

    // A size that is not whole kilobytes: the last partial kilobyte is never a bank.
    auto odd = load(image({0x2D, 0, 0, 0x08, 0x0F}, 3 << 11, 0));  // E = 11, M = 1: 6 KiB
    ASSERT_EQ(odd->prg_size, 6144);
    EXPECT_EQ(odd->get_prg_bank(6), odd->get_prg_bank(0));
}

TEST(Rom, ChrWithoutChrRomIsTheAttachedChrRam) {
    auto rom = load(image({1, 0, 0, 0}, 16384, 0));
    uint8_t pattern_memory[8192] = {};
    EXPECT_EQ(rom->get_chr_bank(0), nullptr) << "no pattern memory attached yet";
    rom->chr_ram = pattern_memory;
    EXPECT_EQ(rom->get_chr_bank(9), pattern_memory + 1024);
    EXPECT_EQ(rom->get_chr_bank(9), pattern_memory + 1024);
    EXPECT_EQ(rom->get_chr_bank(7), pattern_memory + 7 * 1024);
    EXPECT_EQ(rom->get_chr_bank(16), pattern_memory);
}

TEST(Rom, ResetMapperGivesAFreshBoardOfTheSameNumber) {
    auto rom = load(image({4, 0, 0x20, 0}, 65536, 0));
    static_cast<NES::UxROM*>(rom->mapper.get())->prg_bank = 48;
    rom->reset_mapper();
    auto* board = dynamic_cast<NES::UxROM*>(rom->mapper.get());
    ASSERT_NE(board, nullptr);
    EXPECT_EQ(board->prg_bank, 0);

    auto odd = load(image({1, 0, 0x50, 0x60}, 16384, 0));
    testing::internal::CaptureStdout();
    odd->reset_mapper();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "UNRECOGNIZED MAPPER!\n");
    EXPECT_EQ(odd->mapper_number(), 0x65);
}

TEST(RomRefused, ShortOrForeignHeaders) {
    const auto good = image({1, 0, 0, 0}, 16384, 0);
    for (size_t n = 0; n < 16; ++n) {
        const std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
        EXPECT_TRUE(mentions(refusal(cut), "too short")) << n << " bytes";
    }
    EXPECT_THROW(ROM(0, nullptr), RomFormatError);
    EXPECT_THROW(ROM(-5, good.data()), RomFormatError);

    for (int i = 0; i < 4; ++i) {
        auto bad = good;
        bad[i] ^= 0x20;  // "nes" instead of "NES", or 0x3A for 0x1A
        EXPECT_TRUE(mentions(refusal(bad), "not an iNES image")) << "byte " << i;
    }
}

TEST(RomRefused, ImagesShorterThanAnnounced) {
    struct Case {
        Header h;
        size_t prg, chr;
        bool trainer;
    };
    for (const Case c : {Case{{1, 0, 0, 0}, 16384, 0, false}, Case{{2, 1, 0, 0}, 32768, 8192, false},
                         Case{{2, 1, 0x04, 0}, 32768, 8192, true}, Case{{0x80, 0, 0, 0}, 2 << 20, 0, false}}) {
        auto whole = image(c.h, c.prg, c.chr, c.trainer);
        EXPECT_EQ(refusal(whole), "");
        whole.pop_back();
        const std::string why = refusal(whole);
        EXPECT_TRUE(mentions(why, "truncated")) << why;
        EXPECT_TRUE(mentions(why, std::to_string(whole.size() + 1))) << why;
    }
    // The trainer is counted: an image that would fit without it is short with it.
    auto no_room = image({1, 0, 0, 0}, 16384, 0);
    no_room[6] = 0x04;
    EXPECT_TRUE(mentions(refusal(no_room), "truncated"));
}

TEST(RomRefused, SizesThatCannotBeMapped) {
    EXPECT_TRUE(mentions(refusal(image({0, 1, 0, 0}, 0, 8192)), "below 1 KiB"));
    EXPECT_TRUE(mentions(refusal(image({0x00, 0, 0, 0x08, 0x0F}, 1, 0)), "below 1 KiB"));  // 2^0 x 1 byte
    // CHR ROM smaller than pattern memory (2^12 bytes).
    EXPECT_TRUE(mentions(refusal(image({1, 0x30, 0, 0x08, 0xF0}, 16384, 4096)), "CHR ROM"));
    // Boards whose fixed banks need more PRG than the image has: 8 KiB (2^13) on MMC1, UxROM, MMC3.
    for (const uint8_t flags6 : {uint8_t{0x10}, uint8_t{0x20}, uint8_t{0x40}})
        EXPECT_TRUE(mentions(refusal(image({0x34, 0, flags6, 0x08, 0x0F}, 8192, 0)), "too small for mapper"));
    EXPECT_EQ(refusal(image({0x34, 0, 0x00, 0x08, 0x0F}, 8192, 0)), "") << "NROM is fine with 8 KiB";
    // NTDEC 2722 maps 8 KiB banks: 12 KiB (2^12 x 3) would copy past the end.
    EXPECT_TRUE(mentions(refusal(image({0x31, 0, 0x80, 0x28, 0x0F}, 12288, 0)), "8 KiB banks"));
    EXPECT_EQ(refusal(image({0x34, 0, 0x80, 0x28, 0x0F}, 8192, 0)), "");
}

TEST(RomRefused, SizesTooLargeToHold) {
    // Exponent 63 would overflow any arithmetic; the header alone is enough to refuse.
    const std::vector<uint8_t> huge = fixture::ines_header(0, 0xFF, 0, 0, 0x08, 0x0F);
    EXPECT_TRUE(mentions(refusal(huge), "64 MiB"));
    auto huge_chr = huge;
    huge_chr[4] = 1;
    huge_chr[5] = 0xFC;  // E = 63, M = 0
    huge_chr[9] = 0xF0;
    EXPECT_TRUE(mentions(refusal(huge_chr), "64 MiB"));
    auto just_over = huge;
    just_over[4] = 0x69;  // E = 26, M = 1: 192 MiB
    EXPECT_TRUE(mentions(refusal(just_over), "64 MiB"));
    // Count form below the limit but absent from the image: refused as truncated, not allocated.
    auto big_count = huge;
    big_count[4] = 0xFF;
    big_count[9] = 0x0E;
    EXPECT_TRUE(mentions(refusal(big_count), "truncated"));
}

TEST(RomFile, LoadsTheSameAsFromBytes) {
    const auto bytes = image({2, 1, 0x13, 0}, 32768, 8192);
    const auto path = std::filesystem::temp_directory_path() / ("zumbrel_rom_" + std::to_string(::getpid()) + ".nes");
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    testing::internal::CaptureStdout();
    ROM rom(path.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Battery\niNES\n1\n");
    std::filesystem::remove(path);
    EXPECT_EQ(rom.mapper_number(), 1);
    EXPECT_EQ(rom.mirroring, 1);
    EXPECT_TRUE(std::equal(rom.prg_rom.begin(), rom.prg_rom.end(), bytes.begin() + 16));
    EXPECT_TRUE(std::equal(rom.chr_rom.begin(), rom.chr_rom.end(), bytes.begin() + 16 + 32768));
}

TEST(RomFile, UnreadablePathsRaiseWithErrnoAndPath) {
    const std::string missing = "/nonexistent/zumbrel/cart.nes";
    try {
        ROM rom(missing.c_str());
        FAIL() << "a missing file loaded";
    } catch (const RomFileError& e) {
        EXPECT_EQ(e.error_number, ENOENT);
        EXPECT_EQ(e.path, missing);
    }
    const std::string dir = std::filesystem::temp_directory_path().string();
    try {
        ROM rom(dir.c_str());
        FAIL() << "a directory loaded";
    } catch (const RomFileError& e) {
        EXPECT_EQ(e.error_number, EISDIR);
        EXPECT_EQ(e.path, dir);
    }
}
