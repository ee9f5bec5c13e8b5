// The boards driven directly: bank switching into the CPU and PPU images, mirroring,
// interrupts and the state block.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "machine_fixture.hpp"

using namespace NES;

namespace {

constexpr size_t K = fixture::KIB;

// An iNES image whose every kilobyte of PRG and CHR differs from every other.
std::vector<uint8_t> image(int mapper, size_t prg_kib, size_t chr_kib, uint8_t flags6 = 0) {
    return fixture::ines_image(
        mapper, prg_kib, chr_kib, flags6, [](size_t i) { return static_cast<uint8_t>((i >> 10) * 37 + (i * 5 >> 3)); },
        [](size_t i) { return static_cast<uint8_t>((i >> 10) * 59 + (i * 3 >> 2) + 1); });
}

// The console's wiring, with the board reachable directly.
struct Machine : fixture::Machine {
    Context ctx;

    explicit Machine(const std::vector<uint8_t>& image_bytes) : fixture::Machine(image_bytes), ctx(context()) {}

    Mapper& board() { return *rom->mapper; }
    template <class B>
    B& as() {
        return dynamic_cast<B&>(board());
    }

    // A CPU write as the board sees it; returns the byte the CPU would then store.
    uint8_t write(uint16_t address, uint8_t value) {
        board().map_write(ctx, cpu->memory + address, &value);
        return value;
    }

    // True when `kib` kilobytes of the CPU image at `address` equal PRG ROM from kilobyte `first`.
    bool prg_at(uint16_t address, size_t first, size_t kib) const {
        return std::memcmp(cpu->memory + address, rom->prg_rom.data() + first * K, kib * K) == 0;
    }
    bool chr_at(uint16_t address, size_t first, size_t kib) const {
        return std::memcmp(ppu->video_memory + address, rom->chr_rom.data() + first * K, kib * K) == 0;
    }
    // Fills a window of an image with a marker byte, to see whether a write touches it.
    void mark(uint8_t* where, size_t len, uint8_t marker) { std::memset(where, marker, len); }
    bool marked(const uint8_t* where, size_t len, uint8_t marker) const {
        return std::all_of(where, where + len, [marker](uint8_t b) { return b == marker; });
    }
};

std::vector<uint8_t> block_after_serialize(Machine& m) {
    std::vector<uint8_t> block(MAPPER_BLOCK, 0xAA);
    m.board().serialize(m.ctx, block.data());
    return block;
}

bool zero_from(const std::vector<uint8_t>& block, size_t from) {
    return std::all_of(block.begin() + static_cast<long>(from), block.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

// ---------------------------------------------------------------- UxROM

TEST(UxROM, LowNibbleSelectsTheSixteenKilobyteBank) {
    Machine m(image(2, 128, 0));
    m.mark(m.cpu->memory + 0x0000, 0x800, 0x11);
    m.mark(m.cpu->memory + 0x6000, 0x2000, 0x22);
    m.mark(m.cpu->memory + 0xC000, 0x4000, 0x33);
    m.write(0xC123, 0x13);
    EXPECT_TRUE(m.prg_at(0x8000, 3 * 16, 16));
    EXPECT_EQ(m.as<UxROM>().prg_bank, 48);
    EXPECT_EQ(m.cpu->prg_bank, 48);
    EXPECT_TRUE(m.marked(m.cpu->memory + 0x0000, 0x800, 0x11));
    EXPECT_TRUE(m.marked(m.cpu->memory + 0x6000, 0x2000, 0x22));
    EXPECT_TRUE(m.marked(m.cpu->memory + 0xC000, 0x4000, 0x33));

    m.write(0x8000, 0xF7);
    EXPECT_TRUE(m.prg_at(0x8000, 7 * 16, 16));
}

TEST(UxROM, BanksWrapAndWritesBelowCartridgeSpaceAreIgnored) {
    Machine m(image(2, 64, 0));
    m.write(0xFFFF, 5);
    EXPECT_TRUE(m.prg_at(0x8000, 1 * 16, 16));
    EXPECT_EQ(m.cpu->prg_bank, 80) << "the number is kept; the lookup wraps";
    m.write(0x6000, 2);
    m.write(0x4020, 2);
    m.write(0x7FFF, 2);
    EXPECT_TRUE(m.prg_at(0x8000, 1 * 16, 16));
    EXPECT_EQ(m.cpu->prg_bank, 80);
}

TEST(UxROM, StateBlockRoundTrip) {
    Machine m(image(2, 128, 0));
    m.write(0x8000, 3);
    const auto block = block_after_serialize(m);
    EXPECT_EQ(block[0], 48);
    EXPECT_EQ(block[1], 0);
    EXPECT_EQ(block[2], 0);
    EXPECT_EQ(block[3], 0);
    EXPECT_TRUE(zero_from(block, 4));

    Machine later(image(2, 128, 0));
    later.mark(later.cpu->memory, 0x800, 0x5A);
    later.board().deserialize(later.ctx, block.data());
    EXPECT_EQ(later.as<UxROM>().prg_bank, 48);
    EXPECT_EQ(later.cpu->prg_bank, 48);
    EXPECT_TRUE(later.prg_at(0x8000, 48, 16));
    EXPECT_TRUE(later.marked(later.cpu->memory, 0x800, 0x5A));
}

// ---------------------------------------------------------------- CNROM

TEST(CNROM, ValueModuloBankCountSelectsTheChr) {
    Machine m(image(3, 32, 32));
    m.write(0x8000, 6);
    EXPECT_EQ(m.as<CNROM>().chr_bank, 16);
    EXPECT_EQ(m.ppu->chr_bank, 16);
    EXPECT_TRUE(m.chr_at(0x0000, 16, 8));
    m.write(0xFFFF, 0xFF);  // 255 mod 4 = 3
    EXPECT_EQ(m.ppu->chr_bank, 24);
    EXPECT_TRUE(m.chr_at(0x0000, 24, 8));
    m.write(0x6000, 1);
    EXPECT_EQ(m.ppu->chr_bank, 24);
}

TEST(CNROM, WithoutChrRomWritesAreIgnored) {
    Machine m(image(3, 32, 0));
    m.mark(m.ppu->video_memory, 0x2000, 0x44);
    m.write(0x8000, 1);
    EXPECT_EQ(m.as<CNROM>().chr_bank, 0);
    EXPECT_EQ(m.ppu->chr_bank, 0);
    EXPECT_TRUE(m.marked(m.ppu->video_memory, 0x2000, 0x44));
}

TEST(CNROM, StateBlockRoundTrip) {
    Machine m(image(3, 32, 32));
    m.write(0x8000, 2);
    const auto block = block_after_serialize(m);
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 4), (std::vector<uint8_t>{16, 0, 0, 0}));
    EXPECT_TRUE(zero_from(block, 4));

    Machine later(image(3, 32, 32));
    later.board().deserialize(later.ctx, block.data());
    EXPECT_EQ(later.as<CNROM>().chr_bank, 16);
    EXPECT_EQ(later.ppu->chr_bank, 16);
    EXPECT_TRUE(later.chr_at(0x0000, 16, 8));
}

// ---------------------------------------------------------------- MMC1

namespace {
// One serial load: bits 0-3 of r to `first`, bit 4 to `last`.
void mmc1_load(Machine& m, uint16_t first, uint16_t last, uint8_t r) {
    for (int bit = 0; bit < 4; ++bit) m.write(first, static_cast<uint8_t>((r >> bit) & 1));
    m.write(last, static_cast<uint8_t>((r >> 4) & 1));
}
void mmc1_load(Machine& m, uint16_t address, uint8_t r) { mmc1_load(m, address, address, r); }
}  // namespace

TEST(MMC1, FiveSerialWritesAndTheLastAddressChoosesTheRegister) {
    Machine m(image(1, 128, 32));
    m.mark(m.cpu->memory + 0xC000, 0x4000, 0x66);
    mmc1_load(m, 0xE000, 0xF000, 1);
    EXPECT_TRUE(m.prg_at(0x8000, 16, 16));
    EXPECT_TRUE(m.prg_at(0xC000, 112, 16)) << "PRG mode 3 fixes the last 16 KiB";
    EXPECT_EQ(m.as<MMC1>().shift_register, 0x10);

    // Four bits to the PRG register's address, the fifth to CHR bank 0: CHR bank 0 is loaded.
    m.mark(m.ppu->video_memory, 0x2000, 0x77);
    mmc1_load(m, 0xE000, 0xA000, 2);
    EXPECT_TRUE(m.prg_at(0x8000, 16, 16));
    EXPECT_TRUE(m.chr_at(0x0000, 8, 8));

    // Writes below cartridge space do not shift.
    m.write(0x8000, 1);
    m.write(0x6000, 1);
    m.write(0x7FFF, 0);
    EXPECT_EQ(m.as<MMC1>().shift_register, 0x18);
}

TEST(MMC1, ResetWriteDiscardsPartialLoadAndRestoresModeThree) {
    Machine m(image(1, 128, 32, 0x01));
    mmc1_load(m, 0x8000, 0x00);  // PRG mode 0, CHR mode 0, one-screen
    m.mark(m.cpu->memory + 0xC000, 0x4000, 0x66);
    m.write(0xE000, 1);
    m.write(0xE000, 1);
    m.write(0xE000, 0x80);
    const MMC1& b = m.as<MMC1>();
    EXPECT_EQ(b.shift_register, 0x10);
    EXPECT_EQ(b.prg_mode, 3);
    EXPECT_EQ(b.chr_mode, 0);
    EXPECT_EQ(m.ppu->mirroring, 3);
    EXPECT_TRUE(m.prg_at(0xC000, 112, 16));
    mmc1_load(m, 0xE000, 2);
    EXPECT_TRUE(m.prg_at(0x8000, 32, 16)) << "the two bits before the reset are gone";
}

TEST(MMC1, MirroringChangesMoveTheSecondNametable) {
    Machine m(image(1, 128, 32));
    ASSERT_EQ(m.ppu->mirroring, 0);
    uint8_t* vram = m.ppu->video_memory;
    m.mark(vram + 0x2000, 0x400, 0xA1);
    m.mark(vram + 0x2400, 0x400, 0xB2);
    m.mark(vram + 0x2800, 0x400, 0xC3);
    mmc1_load(m, 0x8000, 0x0E);  // vertical
    EXPECT_EQ(m.ppu->mirroring, 1);
    EXPECT_TRUE(m.marked(vram + 0x2400, 0x400, 0xC3));
    EXPECT_TRUE(m.marked(vram + 0x2000, 0x400, 0xA1));

    m.mark(vram + 0x2800, 0x400, 0xD4);
    mmc1_load(m, 0x8000, 0x0E);  // vertical again: nothing moves
    EXPECT_TRUE(m.marked(vram + 0x2800, 0x400, 0xD4));
    mmc1_load(m, 0x8000, 0x0F);  // horizontal
    EXPECT_EQ(m.ppu->mirroring, 0);
    EXPECT_TRUE(m.marked(vram + 0x2800, 0x400, 0xC3));

    // One-screen in either form, and back, copies nothing.
    m.mark(vram + 0x2400, 0x400, 0xE5);
    mmc1_load(m, 0x8000, 0x0D);
    EXPECT_EQ(m.ppu->mirroring, 3);
    mmc1_load(m, 0x8000, 0x0C);
    EXPECT_EQ(m.ppu->mirroring, 3);
    mmc1_load(m, 0x8000, 0x0E);
    EXPECT_EQ(m.ppu->mirroring, 1);
    EXPECT_TRUE(m.marked(vram + 0x2400, 0x400, 0xE5));
    EXPECT_TRUE(m.marked(vram + 0x2800, 0x400, 0xC3));
}

TEST(MMC1, ChrModes) {
    Machine m(image(1, 128, 32));
    // 8 KiB mode: bit 0 of the value is ignored, CHR bank 1 does nothing.
    mmc1_load(m, 0xA000, 3);
    EXPECT_TRUE(m.chr_at(0x0000, 8, 8));
    mmc1_load(m, 0xC000, 3);
    EXPECT_TRUE(m.chr_at(0x0000, 8, 8));

    // 4 KiB mode: two independent windows; 4 KiB bank 9 wraps to bank 1 of 8.
    mmc1_load(m, 0x8000, 0x1C);
    EXPECT_EQ(m.as<MMC1>().chr_mode, 1);
    mmc1_load(m, 0xC000, 3);
    EXPECT_TRUE(m.chr_at(0x1000, 12, 4));
    EXPECT_TRUE(m.chr_at(0x0000, 8, 4));
    mmc1_load(m, 0xA000, 9);
    EXPECT_TRUE(m.chr_at(0x0000, 4, 4));
    EXPECT_TRUE(m.chr_at(0x1000, 12, 4));
}

TEST(MMC1, PrgModes) {
    Machine m(image(1, 256, 8));
    // Modes 0 and 1: 32 KiB from 16 KiB bank (r AND 0x1E).
    mmc1_load(m, 0x8000, 0x00);
    mmc1_load(m, 0xE000, 5);
    EXPECT_TRUE(m.prg_at(0x8000, 64, 32));
    mmc1_load(m, 0x8000, 0x04);
    EXPECT_EQ(m.as<MMC1>().prg_mode, 1);
    mmc1_load(m, 0xE000, 0x1F);  // 16 KiB bank 30 wraps to 14 of 16
    EXPECT_TRUE(m.prg_at(0x8000, 14 * 16, 32));

    // Mode 2: switching the control alone fixes bank 0 at $8000; the PRG register switches $C000.
    m.mark(m.cpu->memory + 0xC000, 0x4000, 0x66);
    mmc1_load(m, 0x8000, 0x08);
    EXPECT_TRUE(m.prg_at(0x8000, 0, 16));
    EXPECT_TRUE(m.marked(m.cpu->memory + 0xC000, 0x4000, 0x66));
    mmc1_load(m, 0xE000, 0x13);  // all five bits count: bank 19 wraps to 3
    EXPECT_TRUE(m.prg_at(0x8000, 0, 16));
    EXPECT_TRUE(m.prg_at(0xC000, 3 * 16, 16));

    // Mode 3: the control alone fixes the last bank at $C000.
    mmc1_load(m, 0x8000, 0x0C);
    EXPECT_TRUE(m.prg_at(0xC000, 15 * 16, 16));
    mmc1_load(m, 0xE000, 6);
    EXPECT_TRUE(m.prg_at(0x8000, 6 * 16, 16));
    EXPECT_TRUE(m.prg_at(0xC000, 15 * 16, 16));
}

TEST(MMC1, ThirtyTwoKilobyteModeOnSixteenKilobytesRepeatsThem) {
    Machine m(image(1, 16, 0));
    m.mark(m.cpu->memory + 0x8000, 0x8000, 0x66);  // power-on already maps them so
    mmc1_load(m, 0x8000, 0x00);
    mmc1_load(m, 0xE000, 2);
    EXPECT_TRUE(m.prg_at(0x8000, 0, 16));
    EXPECT_TRUE(m.prg_at(0xC000, 0, 16));
}

TEST(MMC1, ChrRamKeepsItsContentsInEightKilobyteMode) {
    Machine m(image(1, 16, 0));
    for (int i = 0; i < 0x2000; ++i) m.ppu->video_memory[i] = static_cast<uint8_t>(i * 7);
    const std::vector<uint8_t> before(m.ppu->video_memory, m.ppu->video_memory + 0x2000);
    mmc1_load(m, 0xA000, 0);
    mmc1_load(m, 0xA000, 2);  // bank 8 of 8 KiB RAM wraps to 0
    EXPECT_TRUE(std::equal(before.begin(), before.end(), m.ppu->video_memory));
}

TEST(MMC1, StateBlockIsEmpty) {
    Machine m(image(1, 128, 32));
    mmc1_load(m, 0xE000, 3);
    EXPECT_TRUE(zero_from(block_after_serialize(m), 0));
}

// ---------------------------------------------------------------- MMC3

namespace {
// An MMC3 cartridge; power-on leaves its last 16 KiB at $C000.
std::vector<uint8_t> mmc3(size_t prg_kib = 128, size_t chr_kib = 32, uint8_t flags6 = 0) {
    return image(4, prg_kib, chr_kib, flags6);
}
}  // namespace

TEST(MMC3, PrgModeSwapsTheWindowsBeforeTheBankLands) {
    Machine m(mmc3());
    m.write(0x8000, 0x06);
    m.write(0x8001, 0x05);
    EXPECT_TRUE(m.prg_at(0x8000, 5 * 8, 8));
    EXPECT_TRUE(m.prg_at(0xC000, 14 * 8, 8));

    m.write(0x8000, 0x46);
    EXPECT_TRUE(m.prg_at(0x8000, 14 * 8, 8)) << "the second-to-last bank moves to $8000";
    EXPECT_TRUE(m.prg_at(0xC000, 5 * 8, 8));
    m.write(0x9FFF, 0x09);
    EXPECT_TRUE(m.prg_at(0xC000, 9 * 8, 8));
    EXPECT_TRUE(m.prg_at(0x8000, 14 * 8, 8));
    EXPECT_TRUE(m.prg_at(0xE000, 15 * 8, 8));

    // Another select with the same mode swaps nothing.
    m.write(0x8000, 0x47);
    EXPECT_TRUE(m.prg_at(0x8000, 14 * 8, 8));
    m.write(0x8001, 0x45);  // register 7: bits 6-7 ignored, bank 5 at $A000
    EXPECT_TRUE(m.prg_at(0xA000, 5 * 8, 8));
    m.write(0x8000, 0x07);
    EXPECT_TRUE(m.prg_at(0x8000, 9 * 8, 8));
    EXPECT_TRUE(m.prg_at(0xC000, 14 * 8, 8));

    m.write(0x8000, 0x06);
    m.write(0x8001, 0x13);  // bank 19 wraps to 3 of 16
    EXPECT_TRUE(m.prg_at(0x8000, 3 * 8, 8));
}

TEST(MMC3, EveryChrRegisterWithAndWithoutInversion) {
    struct Target {
        int reg;
        uint16_t plain;
        uint16_t inverted;
        size_t kib;
    };
    const Target targets[] = {{0, 0x0000, 0x1000, 2}, {1, 0x0800, 0x1800, 2}, {2, 0x1000, 0x0000, 1},
                              {3, 0x1400, 0x0400, 1}, {4, 0x1800, 0x0800, 1}, {5, 0x1C00, 0x0C00, 1}};
    for (const bool inverted : {false, true}) {
        for (const Target& t : targets) {
            Machine m(mmc3());
            const uint8_t select = static_cast<uint8_t>(t.reg | (inverted ? 0x80 : 0));
            m.write(0x8000, select);
            m.mark(m.ppu->video_memory, 0x2000, 0xEE);
            const uint8_t value = static_cast<uint8_t>(9 + 4 * t.reg);  // odd: 2 KiB banks drop bit 0
            m.write(0x8001, value);
            const uint16_t at = inverted ? t.inverted : t.plain;
            const size_t first = t.kib == 2 ? (value & 0xFE) : value;
            EXPECT_TRUE(m.chr_at(at, first, t.kib)) << "register " << t.reg << " inverted " << inverted;
            const uint8_t* pattern = m.ppu->video_memory;
            EXPECT_TRUE(m.marked(pattern, at, 0xEE) &&
                        m.marked(pattern + at + t.kib * K, 0x2000 - at - t.kib * K, 0xEE))
                << "register " << t.reg << " inverted " << inverted << " wrote outside its window";
        }
    }
}

TEST(MMC3, InversionSwapsThePatternHalvesFirst) {
    Machine m(mmc3());
    m.mark(m.ppu->video_memory, 0x1000, 0x01);
    m.mark(m.ppu->video_memory + 0x1000, 0x1000, 0x02);
    m.write(0x8000, 0x80);
    EXPECT_TRUE(m.marked(m.ppu->video_memory, 0x1000, 0x02));
    m.write(0x8001, 0x07);
    EXPECT_TRUE(m.chr_at(0x1000, 6, 2));
    EXPECT_TRUE(m.marked(m.ppu->video_memory + 0x1800, 0x800, 0x01));
    EXPECT_TRUE(m.marked(m.ppu->video_memory, 0x1000, 0x02));
}

TEST(MMC3, ChrBanksWrapAndChrRamIsSafe) {
    Machine m(mmc3(128, 8));
    m.write(0x8000, 0x02);
    m.write(0x8001, 0xFB);  // 251 mod 8 = 3
    EXPECT_TRUE(m.chr_at(0x1000, 3, 1));

    Machine ram(mmc3(32, 0));
    for (int i = 0; i < 0x2000; ++i) ram.ppu->video_memory[i] = static_cast<uint8_t>(i >> 8);
    ram.write(0x8000, 0x00);
    ram.write(0x8001, 0x00);
    EXPECT_EQ(ram.ppu->video_memory[0x07FF], 0x07);
    ram.write(0x8000, 0x05);
    ram.write(0x8001, 0x02);  // RAM kilobyte 2 copied to $1C00
    EXPECT_EQ(ram.ppu->video_memory[0x1C00], 0x08);
}

TEST(MMC3, MirroringAndPrgRamProtection) {
    Machine m(mmc3());
    m.write(0xA000, 0x00);
    EXPECT_EQ(m.ppu->mirroring, 1);
    m.write(0xBFFE, 0xFF);
    EXPECT_EQ(m.ppu->mirroring, 0);
    m.write(0xA001, 0x00);  // odd address: RAM control, not mirroring
    EXPECT_EQ(m.ppu->mirroring, 0);

    m.cpu->memory[0x6000] = 0x34;
    m.cpu->memory[0x7FFF] = 0x56;
    m.write(0xA001, 0x40);
    EXPECT_TRUE(m.as<MMC3>().prg_ram_protect);
    EXPECT_FALSE(m.as<MMC3>().prg_ram_enable);
    EXPECT_EQ(m.write(0x6000, 0x12), 0x34);
    EXPECT_EQ(m.write(0x7FFF, 0x12), 0x56);
    EXPECT_EQ(m.write(0x5FFF, 0x12), 0x12);
    EXPECT_EQ(m.write(0x0000, 0x12), 0x12);
    m.write(0xA001, 0x80);
    EXPECT_FALSE(m.as<MMC3>().prg_ram_protect);
    EXPECT_TRUE(m.as<MMC3>().prg_ram_enable);
    EXPECT_EQ(m.write(0x6000, 0x12), 0x12);

    Machine four(mmc3(128, 32, 0x08));
    ASSERT_EQ(four.ppu->mirroring, 2);
    four.write(0xA000, 0);
    four.write(0xA000, 1);
    EXPECT_EQ(four.ppu->mirroring, 2);
}

namespace {
// Steps the counter `steps` times; returns the steps (1-based) that raised the IRQ line.
std::vector<int> irq_steps(Machine& m, int steps) {
    std::vector<int> raised;
    for (int i = 1; i <= steps; ++i) {
        m.as<MMC3>().scanline_clock(m.cpu.get());
        if (m.cpu->irq_line) raised.push_back(i);
        m.cpu->irq_line = 0;  // the CPU takes the interrupt
    }
    return raised;
}
}  // namespace

TEST(MMC3, IrqCounterReloadsFromTheLatch) {
    Machine m(mmc3());
    m.write(0xC000, 3);
    m.write(0xC001, 0);
    m.write(0xE001, 0);
    EXPECT_EQ(irq_steps(m, 12), (std::vector<int>{4, 7, 10}));

    Machine zero(mmc3());
    zero.write(0xC000, 0);
    zero.write(0xDFFF, 0);
    EXPECT_TRUE(irq_steps(zero, 600).empty());

    // Power-on: counter and latch 255, enabled.
    Machine fresh(mmc3());
    EXPECT_EQ(irq_steps(fresh, 600), (std::vector<int>{255, 510}));
}

TEST(MMC3, DisablingStopsInterruptsButLeavesTheLine) {
    Machine m(mmc3());
    m.write(0xC000, 2);
    m.write(0xC001, 0);
    m.as<MMC3>().scanline_clock(m.cpu.get());
    m.as<MMC3>().scanline_clock(m.cpu.get());
    m.as<MMC3>().scanline_clock(m.cpu.get());
    ASSERT_EQ(m.cpu->irq_line, 1);
    m.write(0xE000, 0);
    EXPECT_EQ(m.cpu->irq_line, 1);
    m.cpu->irq_line = 0;
    EXPECT_TRUE(irq_steps(m, 10).empty());
    m.write(0xFFFF, 0);
    EXPECT_FALSE(irq_steps(m, 2).empty());
}

TEST(MMC3, ClockStepsOnlyAtDot256OutsideVblankWithRenderingOn) {
    Machine m(mmc3());
    MMC3& b = m.as<MMC3>();
    const auto steps_after = [&](int dot, uint8_t in_vblank, uint8_t mask) {
        b.irq_counter = 100;
        m.ppu->dot = dot;
        m.ppu->in_vblank = in_vblank;
        m.cpu->memory[0x2001] = mask;
        b.clock(m.ctx);
        return 100 - b.irq_counter;
    };
    EXPECT_EQ(steps_after(256, 0, 0x08), 1);
    EXPECT_EQ(steps_after(256, 0, 0x10), 1);
    EXPECT_EQ(steps_after(256, 0, 0x1E), 1);
    EXPECT_EQ(steps_after(256, 0, 0xE7), 0);
    EXPECT_EQ(steps_after(255, 0, 0x18), 0);
    EXPECT_EQ(steps_after(257, 0, 0x18), 0);
    EXPECT_EQ(steps_after(256, 1, 0x18), 0);
}

TEST(MMC3, StateBlockBytes) {
    Machine m(mmc3());
    MMC3& b = m.as<MMC3>();
    m.write(0x8000, 0x86);
    m.write(0xA001, 0x40);
    m.write(0xE000, 0);
    m.write(0xC000, 0x9A);
    b.irq_counter = 0x12345678;
    const auto block = block_after_serialize(m);
    const std::vector<uint8_t> expected = {0x86, 0x86, 1, 0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12, 0x9A, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(block.begin(), block.begin() + 14), expected);
    EXPECT_TRUE(zero_from(block, 14));

    Machine later(mmc3());
    later.mark(later.cpu->memory + 0x8000, 0x8000, 0x3C);
    later.board().deserialize(later.ctx, block.data());
    const MMC3& r = later.as<MMC3>();
    EXPECT_EQ(r.bank_select, 0x86);
    EXPECT_EQ(r.prev_bank_select, 0x86);
    EXPECT_TRUE(r.prg_ram_protect);
    EXPECT_FALSE(r.prg_ram_enable);
    EXPECT_FALSE(r.irq_enable);
    EXPECT_EQ(r.irq_counter, 0x12345678);
    EXPECT_EQ(r.irq_latch, 0x9A);
    EXPECT_TRUE(later.marked(later.cpu->memory + 0x8000, 0x8000, 0x3C)) << "a state load maps nothing";

    // A negative counter (after $C001) survives the trip.
    m.write(0xC001, 0);
    Machine again(mmc3());
    again.board().deserialize(again.ctx, block_after_serialize(m).data());
    EXPECT_EQ(again.as<MMC3>().irq_counter, -1);
}

// ---------------------------------------------------------------- NTDEC 2722

TEST(NTDEC2722, E000SelectsTheBankAtC000) {
    Machine m(image(40, 64, 8));
    m.mark(m.cpu->memory + 0x6000, 0x2000, 0x61);
    m.mark(m.cpu->memory + 0x8000, 0x4000, 0x62);
    m.mark(m.cpu->memory + 0xE000, 0x2000, 0x63);
    m.write(0xE000, 2);
    EXPECT_TRUE(m.prg_at(0xC000, 2 * 8, 8));
    m.write(0xFFFF, 9);
    EXPECT_TRUE(m.prg_at(0xC000, 1 * 8, 8));
    m.write(0xE000, 0xFF);
    EXPECT_TRUE(m.prg_at(0xC000, 7 * 8, 8));
    EXPECT_TRUE(m.marked(m.cpu->memory + 0x6000, 0x2000, 0x61));
    EXPECT_TRUE(m.marked(m.cpu->memory + 0x8000, 0x4000, 0x62));
    EXPECT_TRUE(m.marked(m.cpu->memory + 0xE000, 0x2000, 0x63));

    // $C000-$DFFF and addresses below cartridge space change nothing.
    auto& b = m.as<NTDEC2722>();
    b.irq_counter = 500;
    for (const int a : {0xC000, 0xDFFF, 0x6000, 0x4020}) m.write(static_cast<uint16_t>(a), 3);
    EXPECT_TRUE(m.prg_at(0xC000, 7 * 8, 8));
    EXPECT_EQ(b.irq_counter, 500);
    EXPECT_TRUE(b.irq_enable);
}

namespace {
// Clocks the board `n` times; returns the (1-based) calls that raised the IRQ line.
std::vector<int> ntdec_irqs(Machine& m, int n) {
    std::vector<int> raised;
    for (int i = 1; i <= n; ++i) {
        m.board().clock(m.ctx);
        if (m.cpu->irq_line) raised.push_back(i);
        m.cpu->irq_line = 0;
    }
    return raised;
}
}  // namespace

TEST(NTDEC2722, TimerFiresEvery12288Dots) {
    Machine m(image(40, 64, 8));
    EXPECT_TRUE(m.board().clocked);
    EXPECT_EQ(ntdec_irqs(m, 30000), (std::vector<int>{12288, 24576}));

    // Stop mid-way: the counter rearms at 12288 and waits for $A000.
    m.write(0x8000, 0);
    EXPECT_TRUE(ntdec_irqs(m, 20000).empty());
    m.write(0xA000, 0);
    EXPECT_EQ(ntdec_irqs(m, 24576), (std::vector<int>{12288, 24576}));

    // $A000 runs on from wherever the counter stands; only $8000 rearms it.
    Machine n(image(40, 64, 8));
    ntdec_irqs(n, 100);
    n.write(0xBFFF, 0);
    EXPECT_EQ(ntdec_irqs(n, 12188), (std::vector<int>{12188}));
    ntdec_irqs(n, 100);
    n.write(0x9FFF, 0);
    n.write(0xBFFF, 0);
    EXPECT_EQ(ntdec_irqs(n, 12288), (std::vector<int>{12288}));
}

TEST(NTDEC2722, StateBlockIsEmpty) {
    Machine m(image(40, 64, 8));
    ntdec_irqs(m, 1000);
    EXPECT_TRUE(zero_from(block_after_serialize(m), 0));
    std::vector<uint8_t> junk(MAPPER_BLOCK, 0xFF);
    m.board().deserialize(m.ctx, junk.data());
    EXPECT_EQ(m.as<NTDEC2722>().irq_counter, 12288 - 1000);
}

// ---------------------------------------------------------------- boards without logic

TEST(PlainBoards, NromAndUnknownBoardsDoNothingAndSaveZeros) {
    for (const int number : {0, 99}) {
        Machine m(image(number, 32, 8));
        m.mark(m.cpu->memory + 0x8000, 0x8000, 0x5D);
        EXPECT_EQ(m.write(0x8000, 1), 1);
        EXPECT_EQ(m.write(0x6000, 1), 1);
        m.board().clock(m.ctx);
        EXPECT_TRUE(m.marked(m.cpu->memory + 0x8000, 0x8000, 0x5D));
        EXPECT_FALSE(m.board().clocked);
        EXPECT_EQ(m.board().mapper_number, number);
        EXPECT_TRUE(zero_from(block_after_serialize(m), 0));
    }
}
