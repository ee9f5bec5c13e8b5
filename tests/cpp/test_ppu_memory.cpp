// The PPU's video memory map, cartridge attachment, scroll increments and board clocking.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "machine/cartridge/mapper.hpp"
#include "machine_fixture.hpp"

namespace {

using fixture::Machine;

class PpuMemory : public ::testing::Test {
protected:
    std::unique_ptr<Machine> m = std::make_unique<Machine>();
    NES::PPU& ppu = *m->ppu;
    NES::CPU& cpu = *m->cpu;
};

uint8_t chr_byte(size_t i) { return static_cast<uint8_t>((i / 1024) * 16 + i % 7); }

// An iNES image: 16 KiB of PRG, `chr_banks` 8 KiB CHR banks whose byte i is chr_byte(i), so
// every kilobyte is told apart.
std::vector<uint8_t> image(int chr_banks, uint8_t flags6) {
    return fixture::ines_image(
        0, 16, 8 * static_cast<size_t>(chr_banks), flags6, [](size_t) { return uint8_t{0xEA}; }, chr_byte);
}

TEST_F(PpuMemory, StartsZeroedAtLineZeroDot25WithRegistersInCpuMemory) {
    EXPECT_EQ(ppu.dot, 25);
    EXPECT_EQ(ppu.scanline, 0);
    EXPECT_EQ(cpu.ppu, &ppu);
    for (uint8_t b : ppu.video_memory) ASSERT_EQ(b, 0);
    for (uint8_t b : ppu.oam) ASSERT_EQ(b, 0);
    for (uint8_t b : ppu.frame_rgb) ASSERT_EQ(b, 0);
    EXPECT_EQ(ppu.ppuctrl, cpu.memory + 0x2000);
    EXPECT_EQ(ppu.ppumask, cpu.memory + 0x2001);
    EXPECT_EQ(ppu.ppustatus, cpu.memory + 0x2002);
    EXPECT_EQ(ppu.ppudata_reg, cpu.memory + 0x2007);
    EXPECT_EQ(ppu.oamdma_reg, cpu.memory + 0x4014);
}

TEST_F(PpuMemory, NametablesFoldByMirroringMode) {
    struct Case {
        int mode;
        uint16_t write, same, apart;
    };
    const Case cases[] = {
        {0, 0x2400, 0x2000, 0x2800}, {0, 0x2C00, 0x2800, 0x2400}, {0, 0x2BFF, 0x2FFF, 0x23FF},
        {1, 0x2800, 0x2000, 0x2400}, {1, 0x2C00, 0x2400, 0x2000}, {1, 0x27FF, 0x2FFF, 0x23FF},
        {3, 0x2FFF, 0x23FF, 0x2000}, {3, 0x2400, 0x2800, 0x2401}, {3, 0x2C10, 0x2010, 0x2011},
        {2, 0x2400, 0x2400, 0x2000}, {2, 0x2C00, 0x2C00, 0x2800}, {7, 0x2800, 0x2800, 0x2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << c.mode << " write " << std::hex << c.write);
        std::fill(std::begin(ppu.video_memory), std::end(ppu.video_memory), 0);
        ppu.mirroring = c.mode;
        ppu.write(c.write, 0x5A);
        EXPECT_EQ(ppu.read(c.same), 0x5A);
        EXPECT_EQ(ppu.read(c.apart), 0x00);
        uint16_t folded = c.write;
        ppu.map_memory(folded);
        EXPECT_EQ(ppu.video_memory[folded], 0x5A);
    }
}

TEST_F(PpuMemory, Range3000To3EFFUsesTheRawPageBelow) {
    ppu.mirroring = 0;
    ppu.write(0x3400, 0x77);
    EXPECT_EQ(ppu.video_memory[0x2400], 0x77);  // stored at $2400 itself, unfolded
    EXPECT_EQ(ppu.read(0x3400), 0x77);
    EXPECT_EQ(ppu.read(0x2400), 0x00);  // $2400 folds to $2000
    ppu.write(0x3EFF, 0x12);
    EXPECT_EQ(ppu.video_memory[0x2EFF], 0x12);
    ppu.write(0x3123, 0x34);
    EXPECT_EQ(ppu.read(0x2123), 0x34);
}

TEST_F(PpuMemory, PaletteMirrors) {
    ppu.write(0x3F10, 0x21);
    EXPECT_EQ(ppu.read(0x3F00), 0x21);
    EXPECT_EQ(ppu.video_memory[0x3F00], 0x21);
    EXPECT_EQ(ppu.video_memory[0x3F10], 0x00);
    ppu.write(0x3F00, 0x22);
    EXPECT_EQ(ppu.read(0x3F10), 0x22);
    ppu.write(0x3F14, 0x23);
    EXPECT_EQ(ppu.read(0x3F04), 0x23);
    ppu.write(0x3F1C, 0x24);
    EXPECT_EQ(ppu.read(0x3F0C), 0x24);
    ppu.write(0x3F11, 0x25);  // not one of the shared four
    EXPECT_EQ(ppu.read(0x3F01), 0x00);
    EXPECT_EQ(ppu.read(0x3F31), 0x25);

    // $3F30 reaches the byte at $3F10 itself, which $3F10 no longer reaches.
    ppu.write(0x3F30, 0x9C);
    EXPECT_EQ(ppu.video_memory[0x3F10], 0x9C);
    for (uint16_t a = 0x3F30; a <= 0x3FF0; a = static_cast<uint16_t>(a + 0x20)) EXPECT_EQ(ppu.read(a), 0x9C) << a;
    EXPECT_EQ(ppu.read(0x3F10), 0x22);
    EXPECT_EQ(ppu.read(0x3FE7), ppu.read(0x3F07));
    // Full bytes are kept.
    ppu.write(0x3F05, 0xFF);
    EXPECT_EQ(ppu.read(0x3F25), 0xFF);
}

TEST_F(PpuMemory, PatternMemoryIsUnfolded) {
    ppu.write(0x1FFF, 0x42);
    ppu.write(0x0000, 0x43);
    EXPECT_EQ(ppu.video_memory[0x1FFF], 0x42);
    EXPECT_EQ(ppu.read(0x0000), 0x43);
}

TEST_F(PpuMemory, CoarseXAndYIncrements) {
    struct Case {
        uint16_t before, after;
    };
    const Case horizontal[] = {{0x0000, 0x0001}, {0x001E, 0x001F}, {0x001F, 0x0400},
                               {0x041F, 0x0000}, {0x7BFF, 0x7FE0}, {0x03FF, 0x07E0}};
    for (const Case& c : horizontal) {
        ppu.v = c.before;
        ppu.v_horiz();
        EXPECT_EQ(ppu.v, c.after) << std::hex << c.before;
    }
    const Case vertical[] = {
        {0x0000, 0x1000}, {0x6000, 0x7000},  // fine Y below 7
        {0x7000, 0x0020},                    // coarse Y + 1
        {0x73A0, 0x0800},                    // coarse Y 29 -> 0, next nametable
        {0x7BA5, 0x0005},                    // and back
        {0x73E0, 0x0000},                    // coarse Y 31 -> 0, same nametable
        {0x7FFF, 0x0C1F},                    // 31 with both nametable bits: no toggle
        {0x77C0, 0x07E0},                    // 30 -> 31
    };
    for (const Case& c : vertical) {
        ppu.v = c.before;
        ppu.v_vert();
        EXPECT_EQ(ppu.v, c.after) << std::hex << c.before;
    }
}

TEST(PpuCartridge, ChrRomIsCopiedFromTheSelectedBankOnEveryLoad) {
    auto m = std::make_unique<Machine>();
    const std::vector<uint8_t> bytes = image(2, 0x01);  // vertical
    NES::ROM rom(static_cast<long>(bytes.size()), bytes.data());
    m->ppu->loadRom(&rom);
    EXPECT_EQ(m->ppu->mirroring, 1);
    EXPECT_EQ(m->ppu->mapper, rom.mapper.get());
    EXPECT_EQ(m->ppu->clock_context.cpu, m->cpu.get());
    EXPECT_EQ(m->ppu->clock_context.ppu, m->ppu.get());
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(m->ppu->video_memory[i], chr_byte(i)) << i;

    m->ppu->video_memory[5] = 0xEE;
    m->ppu->chr_bank = 8;
    m->ppu->loadRom(&rom);
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(m->ppu->video_memory[i], chr_byte(8192 + i)) << i;

    // A window that runs past the end wraps to the start of the CHR ROM.
    m->ppu->chr_bank = 12;
    m->ppu->loadRom(&rom);
    EXPECT_EQ(m->ppu->video_memory[0], chr_byte(12 * 1024));
    EXPECT_EQ(m->ppu->video_memory[4 * 1024 + 3], chr_byte(3));
}

TEST(PpuCartridge, WithoutChrRomThePatternMemoryBecomesTheCartridgeRam) {
    auto m = std::make_unique<Machine>();
    const std::vector<uint8_t> bytes = image(0, 0x08);  // four-screen
    NES::ROM rom(static_cast<long>(bytes.size()), bytes.data());
    ::testing::internal::CaptureStdout();
    m->ppu->loadRom(&rom);
    m->ppu->loadRom(&rom);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "CHR-RAM Copied.\nCHR-RAM Copied.\n");
    EXPECT_EQ(m->ppu->mirroring, 2);
    EXPECT_EQ(rom.chr_ram, m->ppu->video_memory);
    m->ppu->write(0x0405, 0x99);  // as a $2007 write would
    EXPECT_EQ(rom.get_chr_bank(1)[5], 0x99);
}

// A start-up loop that clears video memory through $2007 from $0000, as programs commonly do.
void clear_through_ppudata(NES::CPU& cpu, uint16_t from, int count, uint8_t value) {
    cpu.write(cpu.at(0x2006), static_cast<uint8_t>(from >> 8));
    cpu.write(cpu.at(0x2006), static_cast<uint8_t>(from & 0xFF));
    for (int i = 0; i < count; ++i) cpu.write(cpu.at(0x2007), value);
}

TEST(PpuCartridge, PpudataWritesLeaveChrRomAloneButFillChrRam) {
    for (const int chr_banks : {1, 0}) {
        SCOPED_TRACE(::testing::Message() << chr_banks << " CHR ROM banks");
        auto m = std::make_unique<Machine>();
        const std::vector<uint8_t> bytes = image(chr_banks, 0x00);
        NES::ROM rom(static_cast<long>(bytes.size()), bytes.data());
        ::testing::internal::CaptureStdout();
        m->ppu->loadRom(&rom);
        ::testing::internal::GetCapturedStdout();
        clear_through_ppudata(*m->cpu, 0x0000, 0x2400, 0xA5);
        EXPECT_EQ(m->ppu->v, 0x2400);  // the address moves on past refused writes too
        for (int i = 0; i < 0x2000; ++i) ASSERT_EQ(m->ppu->video_memory[i], chr_banks ? chr_byte(i) : 0xA5) << i;
        EXPECT_EQ(m->ppu->video_memory[0x2000], 0xA5);  // nametables are written either way
        EXPECT_EQ(m->ppu->video_memory[0x23FF], 0xA5);
        // The address wraps from $3FFF into pattern memory.
        clear_through_ppudata(*m->cpu, 0x3FFF, 2, 0x5C);
        EXPECT_EQ(m->ppu->video_memory[0x0000], chr_banks ? chr_byte(0) : 0x5C);
    }
}

TEST(PpuCartridge, ConstructorAttachesTheCpusCartridgeAndTakesTheApuFromTheCpu) {
    const std::vector<uint8_t> bytes = image(1, 0x00);
    NES::ROM rom(static_cast<long>(bytes.size()), bytes.data());
    auto cpu = std::make_unique<NES::CPU>();
    auto apu = std::make_unique<NES::APU>();
    cpu->apu = apu.get();
    cpu->rom = &rom;
    auto ppu = std::make_unique<NES::PPU>(cpu.get());
    EXPECT_EQ(ppu->rom, &rom);
    EXPECT_EQ(ppu->clock_context.apu, apu.get());
    EXPECT_EQ(ppu->video_memory[1030], chr_byte(1030));
}

// A board that records its clock calls.
class RecordingBoard : public NES::Mapper {
public:
    explicit RecordingBoard(bool has_clock) : Mapper(99, has_clock) {}
    int calls = 0;
    int last_scanline = -1, last_dot = -1;
    NES::PPU* seen_ppu = nullptr;
    void map_write(NES::Context&, NES::Loc, uint8_t*) override {}
    void clock(NES::Context& ctx) override {
        ++calls;
        seen_ppu = ctx.ppu;
        last_scanline = ctx.ppu->scanline;
        last_dot = ctx.ppu->dot;
    }
};

TEST_F(PpuMemory, BoardClockRunsAfterEveryDotOnlyForClockedBoards) {
    RecordingBoard idle(false);
    ppu.mapper = &idle;
    for (int i = 0; i < 1000; ++i) ppu.cycle();
    EXPECT_EQ(idle.calls, 0);

    RecordingBoard board(true);
    ppu.mapper = &board;
    ppu.scanline = 10;
    ppu.dot = 340;
    ppu.cycle();
    EXPECT_EQ(board.calls, 1);
    EXPECT_EQ(board.seen_ppu, &ppu);
    EXPECT_EQ(board.last_scanline, 11);  // the position already advanced
    EXPECT_EQ(board.last_dot, 0);
    for (int i = 0; i < 500; ++i) ppu.cycle();
    EXPECT_EQ(board.calls, 501);
    ppu.mapper = nullptr;
}

}  // namespace
