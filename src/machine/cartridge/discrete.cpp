// The discrete-logic boards: AxROM, BNROM / NINA-001, GxROM, Color Dreams and Camerica.
#include <algorithm>

#include "machine/cartridge/banking.hpp"
#include "machine/cartridge/mapper.hpp"
#include "machine/state_archive.hpp"

namespace NES {

namespace {

constexpr int32_t HORIZONTAL = 0;
constexpr int32_t FOUR_SCREEN = 2;
constexpr int32_t ONE_SCREEN = 3;  // every nametable address shows $2000-$23FF

// The byte a board with bus conflicts latches: the ROM drives the data bus as well, and a
// 0 bit wins. Writes to cartridge space are never stored, so the image holds the ROM byte.
uint8_t conflicted(Loc addr, const uint8_t* value) { return static_cast<uint8_t>(*value & *addr); }

bool in_cartridge_space(const CPU& cpu, Loc addr) { return banking::window(banking::address(cpu, addr)) >= 0; }

// One-screen mirroring shows the nametable at $2000; the other one is kept at $2400, so
// choosing it swaps the two. From two-screen mirroring the first nametable is the one shown.
void show_screen(PPU& ppu, int shown, int wanted) {
    uint8_t* nt = ppu.video_memory + 0x2000;
    if (ppu.mirroring == HORIZONTAL) std::copy(nt + 0x800, nt + 0xC00, nt + 0x400);
    if (ppu.mirroring != FOUR_SCREEN) ppu.mirroring = ONE_SCREEN;
    if (shown != wanted) std::swap_ranges(nt, nt + 0x400, nt + 0x400);
}

void map_prg32(CPU& cpu, int bank) { banking::map_prg(cpu, 0x8000, bank * 32, 32); }

}  // namespace

void AxROM::map_write(Context& ctx, Loc addr, uint8_t* value) {
    if (!in_cartridge_space(*ctx.cpu, addr)) return;
    const uint8_t v = *value;  // no bus conflicts on ANROM, AN1ROM and most AOROM boards
    show_screen(*ctx.ppu, (bank >> 4) & 1, (v >> 4) & 1);
    bank = v;
    map_prg32(*ctx.cpu, bank & 0x0F);
}

void AxROM::state_fields(StateArchive& ar, const ROM&) { ar.num(bank); }

// Video memory comes from the same slot, with the chosen nametable already at $2000.
void AxROM::slot_loaded(Context& ctx) {
    ctx.ppu->mirroring = ONE_SCREEN;
    map_prg32(*ctx.cpu, bank & 0x0F);
}

namespace {
bool nina001(const CPU& cpu) { return cpu.rom->chr_size > 0; }

void map_bnrom(CPU& cpu, PPU& ppu, const BNROM& board) {
    map_prg32(cpu, board.prg_bank);
    if (!nina001(cpu)) return;
    banking::map_chr(cpu, ppu, 0x0000, (board.chr_low & 0x0F) * 4, 4);
    banking::map_chr(cpu, ppu, 0x1000, (board.chr_high & 0x0F) * 4, 4);
}
}  // namespace

void BNROM::map_write(Context& ctx, Loc addr, uint8_t* value) {
    CPU& cpu = *ctx.cpu;
    const int64_t a = banking::address(cpu, addr);
    if (!nina001(cpu)) {
        if (banking::window(a) < 0) return;
        prg_bank = conflicted(addr, value);
    } else if (a == 0x7FFD) {  // NINA-001 registers sit in PRG RAM, which stores the byte too
        prg_bank = *value & 1;
    } else if (a == 0x7FFE) {
        chr_low = *value & 0x0F;
    } else if (a == 0x7FFF) {
        chr_high = *value & 0x0F;
    } else {
        return;
    }
    map_bnrom(cpu, *ctx.ppu, *this);
}

void BNROM::state_fields(StateArchive& ar, const ROM&) {
    ar.num(prg_bank);
    ar.num(chr_low);
    ar.num(chr_high);
}

void BNROM::slot_loaded(Context& ctx) { map_bnrom(*ctx.cpu, *ctx.ppu, *this); }

namespace {
void map_gxrom(CPU& cpu, PPU& ppu, int prg, int chr) {
    map_prg32(cpu, prg);
    if (cpu.rom->chr_size > 0) banking::map_chr(cpu, ppu, 0x0000, chr * 8, 8);
}
}  // namespace

void GxROM::map_write(Context& ctx, Loc addr, uint8_t* value) {
    if (!in_cartridge_space(*ctx.cpu, addr)) return;
    bank = conflicted(addr, value);
    map_gxrom(*ctx.cpu, *ctx.ppu, prg_of(bank), chr_of(bank));
}

void GxROM::state_fields(StateArchive& ar, const ROM&) { ar.num(bank); }

void GxROM::slot_loaded(Context& ctx) { map_gxrom(*ctx.cpu, *ctx.ppu, prg_of(bank), chr_of(bank)); }

void Camerica::map_write(Context& ctx, Loc addr, uint8_t* value) {
    const int64_t a = banking::address(*ctx.cpu, addr);
    if (a >= 0xC000 && a <= 0xFFFF) {
        prg_bank = *value & 0x0F;
        banking::map_prg(*ctx.cpu, 0x8000, prg_bank * 16, 16);
    } else if (a >= 0x9000 && a <= 0x9FFF) {
        // Other boards ignore this range; games for them write $8000 at most.
        const auto wanted = static_cast<int8_t>((*value >> 4) & 1);
        show_screen(*ctx.ppu, std::max<int>(screen, 0), wanted);
        screen = wanted;
    }
}

void Camerica::state_fields(StateArchive& ar, const ROM&) {
    ar.num(prg_bank);
    ar.num(screen, int8_t{-1}, int8_t{1}, "Camerica nametable");
}

void Camerica::slot_loaded(Context& ctx) {
    if (ctx.ppu->mirroring != FOUR_SCREEN) ctx.ppu->mirroring = screen >= 0 ? ONE_SCREEN : ctx.cpu->rom->mirroring;
    banking::map_prg(*ctx.cpu, 0x8000, prg_bank * 16, 16);
}

}  // namespace NES
