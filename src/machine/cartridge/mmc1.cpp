// MMC1 (mapper 1): five serial writes load one of four registers.
#include "machine/cartridge/banking.hpp"
#include "machine/state_archive.hpp"

namespace NES {

namespace {

constexpr uint8_t SHIFT_EMPTY = 0x10;  // marker bit: after four more writes it reaches bit 0

// Control bits 0-1 -> PPU mirroring mode: one-screen, one-screen, vertical, horizontal.
constexpr int32_t MIRRORING_OF[4] = {3, 3, 1, 0};

}  // namespace

void MMC1::control(CPU* cpu, PPU* ppu, uint8_t v) {
    const int32_t mirroring = MIRRORING_OF[v & 3];
    banking::move_second_nametable(*ppu, ppu->mirroring, mirroring);
    ppu->mirroring = mirroring;
    chr_mode = (v >> 4) & 1;
    prg_mode = (v >> 2) & 3;
    if (prg_mode == 2) banking::map_prg(*cpu, 0x8000, 0, 16);
    if (prg_mode == 3) banking::map_prg(*cpu, 0xC000, banking::last_16k(*cpu), 16);
}

void MMC1::map_write(Context& ctx, Loc addr, uint8_t* value) {
    const int window = banking::window(banking::address(*ctx.cpu, addr));
    if (window < 0) return;
    const uint8_t v = *value;
    if (v & 0x80) {
        shift_register = SHIFT_EMPTY;
        control(ctx.cpu, ctx.ppu, 0x0C);
        return;
    }
    const uint8_t old = shift_register;
    shift_register = static_cast<uint8_t>(((v & 1) << 4) | (old >> 1));
    if ((old & 1) == 0) return;  // fewer than five bits so far

    const uint8_t r = shift_register;
    shift_register = SHIFT_EMPTY;
    CPU& cpu = *ctx.cpu;
    PPU& ppu = *ctx.ppu;
    switch (window) {
        case 4:  // $8000-$9FFF
            control(&cpu, &ppu, r);
            break;
        case 5:  // $A000-$BFFF: CHR bank 0
            if (chr_mode == 0)
                banking::map_chr(cpu, ppu, 0x0000, (r & 0x1E) * 4, 8);
            else
                banking::map_chr(cpu, ppu, 0x0000, r * 4, 4);
            break;
        case 6:  // $C000-$DFFF: CHR bank 1, only in 4 KiB mode
            if (chr_mode == 1) banking::map_chr(cpu, ppu, 0x1000, r * 4, 4);
            break;
        default:  // $E000-$FFFF: PRG bank
            if (prg_mode <= 1) {
                banking::map_prg(cpu, 0x8000, (r & 0x1E) * 16, 32);
            } else if (prg_mode == 2) {
                banking::map_prg(cpu, 0x8000, 0, 16);
                banking::map_prg(cpu, 0xC000, r * 16, 16);
            } else {
                banking::map_prg(cpu, 0x8000, r * 16, 16);
                banking::map_prg(cpu, 0xC000, banking::last_16k(cpu), 16);
            }
            break;
    }
}

void MMC1::state_fields(StateArchive& ar, const ROM&) {
    ar.num(prg_mode, uint8_t{0}, uint8_t{3}, "MMC1 PRG mode");
    ar.num(chr_mode, uint8_t{0}, uint8_t{1}, "MMC1 CHR mode");
    ar.num(shift_register);
}

}  // namespace NES
