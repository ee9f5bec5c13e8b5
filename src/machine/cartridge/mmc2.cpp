// MMC2 (mapper 9) and MMC4 (mapper 10): PRG banks at $8000, two CHR windows switched by
// latches, and mirroring.
#include "machine/cartridge/banking.hpp"
#include "machine/cartridge/mapper.hpp"
#include "machine/state_archive.hpp"

namespace NES {

namespace {

constexpr int32_t HORIZONTAL = 0;
constexpr int32_t VERTICAL = 1;
constexpr int32_t FOUR_SCREEN = 2;

void map_window(CPU& cpu, PPU& ppu, const MMC2& board, int window) {
    const uint8_t bank = board.chr_banks[2 * window + board.latches[window]];
    banking::map_chr(cpu, ppu, static_cast<uint32_t>(window) * 0x1000, (bank & 0x1F) * 4, 4);
}

void set_mirroring(PPU& ppu, uint8_t horizontal) {
    if (ppu.mirroring == FOUR_SCREEN) return;
    const int32_t mode = horizontal ? HORIZONTAL : VERTICAL;
    banking::move_second_nametable(ppu, ppu.mirroring, mode);
    ppu.mirroring = mode;
}

}  // namespace

void MMC2::map_prg_bank(CPU& cpu) const { banking::map_prg(cpu, 0x8000, (prg_bank & 0x0F) * 8, 8); }

void MMC4::map_prg_bank(CPU& cpu) const { banking::map_prg(cpu, 0x8000, (prg_bank & 0x0F) * 16, 16); }

bool MMC2::latch_address(uint16_t address) const {
    return address >= 0x1000 ? (address & 0x0FF0) == 0x0FD0 || (address & 0x0FF0) == 0x0FE0
                             : address == 0x0FD8 || address == 0x0FE8;
}

bool MMC4::latch_address(uint16_t address) const {
    return (address & 0x0FF0) == 0x0FD0 || (address & 0x0FF0) == 0x0FE0;
}

void MMC2::map_write(Context& ctx, Loc addr, uint8_t* value) {
    const int64_t a = banking::address(*ctx.cpu, addr);
    if (a < 0xA000 || a > 0xFFFF) return;
    const int reg = static_cast<int>(a >> 12) - 0xA;  // $A000, $B000, ... $F000
    if (reg == 0) {
        prg_bank = *value;
        map_prg_bank(*ctx.cpu);
    } else if (reg <= 4) {
        chr_banks[reg - 1] = *value;
        map_window(*ctx.cpu, *ctx.ppu, *this, (reg - 1) / 2);
    } else {
        horizontal = *value & 1;
        set_mirroring(*ctx.ppu, horizontal);
    }
}

// Only the plane read at $xFD8-$xFDF or $xFE8-$xFEF (the tile's second) moves a latch; the
// tile itself was read from the bank shown before.
void MMC2::pattern_fetch(Context& ctx, uint16_t address) {
    if (!latch_address(address)) return;
    const int window = address >> 12;
    const auto latch = static_cast<uint8_t>((address & 0x0FF0) == 0x0FE0);
    if (latches[window] == latch) return;
    latches[window] = latch;
    map_window(*ctx.cpu, *ctx.ppu, *this, window);
}

void MMC2::state_fields(StateArchive& ar, const ROM&) {
    ar.num(prg_bank);
    ar.array(chr_banks);
    ar.num(latches[0], uint8_t{0}, uint8_t{1}, "MMC2 latch 0");
    ar.num(latches[1], uint8_t{0}, uint8_t{1}, "MMC2 latch 1");
    ar.num(horizontal, uint8_t{0}, uint8_t{1}, "MMC2 mirroring");
}

void MMC2::slot_loaded(Context& ctx) {
    for (uint8_t& latch : latches) latch &= 1;
    horizontal &= 1;
    map_prg_bank(*ctx.cpu);
    map_window(*ctx.cpu, *ctx.ppu, *this, 0);
    map_window(*ctx.cpu, *ctx.ppu, *this, 1);
    // Video memory comes from the same slot, its nametables already where this mode keeps them.
    if (ctx.ppu->mirroring != FOUR_SCREEN) ctx.ppu->mirroring = horizontal ? HORIZONTAL : VERTICAL;
}

}  // namespace NES
