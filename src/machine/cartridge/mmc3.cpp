// MMC3 (mapper 4): 8 KiB PRG and 1/2 KiB CHR banks, mirroring, PRG RAM protection and
// the scanline interrupt counter.
#include <algorithm>

#include "machine/cartridge/banking.hpp"
#include "machine/state_archive.hpp"

namespace NES {

namespace {

constexpr int32_t FOUR_SCREEN = 2;

// Bank data registers 0-5: CHR window (PPU address without inversion) and its size in KiB.
struct ChrTarget {
    uint16_t at;
    int kib;
};
constexpr ChrTarget CHR_TARGETS[6] = {
    {0x0000, 2}, {0x0800, 2}, {0x1000, 1}, {0x1400, 1}, {0x1800, 1}, {0x1C00, 1},
};

void swap_windows(uint8_t* a, uint8_t* b, int len) { std::swap_ranges(a, a + len, b); }

// A change of PRG mode or CHR inversion moves the windows it affects at once.
void write_bank_select(MMC3& board, CPU& cpu, PPU& ppu, uint8_t v) {
    board.bank_select = v;
    const uint8_t changed = board.prev_bank_select ^ v;
    if (changed & 0x40) swap_windows(cpu.memory + 0x8000, cpu.memory + 0xC000, 0x2000);
    if (changed & 0x80) swap_windows(ppu.video_memory, ppu.video_memory + 0x1000, 0x1000);
    board.prev_bank_select = v;
}

void write_bank_data(const MMC3& board, CPU& cpu, PPU& ppu, uint8_t v) {
    const int reg = board.bank_select & 7;
    const bool prg_swapped = (board.prev_bank_select & 0x40) != 0;
    const bool chr_inverted = (board.prev_bank_select & 0x80) != 0;
    if (reg < 6) {
        const ChrTarget& t = CHR_TARGETS[reg];
        const uint32_t at = chr_inverted ? (t.at ^ 0x1000u) : t.at;
        banking::map_chr(cpu, ppu, at, t.kib == 2 ? (v & 0xFE) : v, t.kib);
    } else {
        const uint32_t at = reg == 7 ? 0xA000 : (prg_swapped ? 0xC000 : 0x8000);
        banking::map_prg(cpu, at, (v & 0x3F) * 8, 8);
    }
}

}  // namespace

void MMC3::map_write(Context& ctx, Loc addr, uint8_t* value) {
    CPU& cpu = *ctx.cpu;
    const int64_t a = banking::address(cpu, addr);
    const uint8_t v = *value;
    const bool odd = (a & 1) != 0;
    switch (banking::window(a)) {
        case 4:  // $8000-$9FFF
            if (odd)
                write_bank_data(*this, cpu, *ctx.ppu, v);
            else
                write_bank_select(*this, cpu, *ctx.ppu, v);
            break;
        case 5:  // $A000-$BFFF
            if (!odd) {
                if (ctx.ppu->mirroring != FOUR_SCREEN) ctx.ppu->mirroring = (v & 1) ? 0 : 1;
            } else {
                prg_ram_protect = (v & 0x40) != 0;
                prg_ram_enable = (v & 0x80) != 0;
            }
            break;
        case 6:  // $C000-$DFFF
            if (!odd)
                irq_latch = v;
            else
                irq_counter = -1;  // the next step reloads from the latch
            break;
        case 7:  // $E000-$FFFF; disabling leaves a raised IRQ line alone
            irq_enable = odd;
            break;
        default:  // below $8000: a protected PRG RAM keeps its byte
            if (prg_ram_protect && a >= 0x6000 && a < 0x8000) *value = cpu.memory[a];
            break;
    }
}

void MMC3::clock(Context& ctx) {
    const PPU& ppu = *ctx.ppu;
    if (ppu.dot != 256 || ppu.in_vblank) return;
    if ((ctx.cpu->memory[0x2001] & 0x18) == 0) return;
    scanline_clock(ctx.cpu);
}

void MMC3::scanline_clock(CPU* cpu) {
    // A state block may hold any counter, the lowest int32 too: step without overflowing.
    if (irq_counter == INT32_MIN) {
        irq_counter = irq_latch;
        return;
    }
    --irq_counter;
    if (irq_counter == 0) {
        if (irq_enable) cpu->irq_line = 1;
        irq_counter = irq_latch;
    } else if (irq_counter < 0) {
        irq_counter = irq_latch;
    }
}

int64_t MMC3::clocks_before_irq(uint8_t mask) const {
    // Counted as if every call counted (those in vertical blank do not): never too late.
    if ((mask & 0x18) == 0 || !irq_enable) return -1;
    if (irq_counter > 0) return irq_counter;
    // A counter at zero or below reloads first; one reloaded to zero never reaches it again.
    return irq_latch > 0 ? 1 + int64_t{irq_latch} : -1;
}

void MMC3::state_fields(StateArchive& ar, const ROM&) {
    ar.num(bank_select);
    ar.num(prev_bank_select);
    ar.flag(prg_ram_protect, "MMC3 PRG RAM protection");
    ar.flag(prg_ram_enable, "MMC3 PRG RAM enable");
    ar.flag(irq_enable, "MMC3 IRQ enable");
    ar.num(reserved0);
    ar.num(irq_counter);
    ar.num(irq_latch);
    ar.num(reserved1);
    ar.num(reserved2);
}

}  // namespace NES
