// CNROM (mapper 3): the whole 8 KiB of CHR switched at once.
#include <algorithm>

#include "machine/cartridge/banking.hpp"
#include "machine/state_archive.hpp"

namespace NES {

namespace {
void select(PPU& ppu, CNROM& board, int bank) {
    board.chr_bank = bank;
    ppu.chr_bank = bank;
    ppu.loadRom(ppu.rom);  // copies the selected 8 KiB into pattern memory
}
}  // namespace

void CNROM::map_write(Context& ctx, Loc addr, uint8_t* value) {
    if (banking::window(banking::address(*ctx.cpu, addr)) < 0) return;
    const int count = ctx.cpu->rom->chr_size / 8192;
    if (count == 0) return;  // CHR RAM: nothing to select
    select(*ctx.ppu, *this, banking::wrap_bank(*value, count) * 8);
}

void CNROM::slot_loaded(Context& ctx) {
    // A block from elsewhere may hold any number: keep it on an 8 KiB bank of this ROM.
    const int count = ctx.cpu->rom->chr_size / 8192;
    select(*ctx.ppu, *this, count == 0 ? 0 : banking::wrap_bank(chr_bank / 8, count) * 8);
}

void CNROM::state_fields(StateArchive& ar, const ROM& rom) {
    ar.num(chr_bank, 0, std::max(rom.chr_size / banking::KIB - 1, 0), "CNROM CHR bank");
}

}  // namespace NES
