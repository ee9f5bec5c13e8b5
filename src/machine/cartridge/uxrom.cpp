// UxROM (mapper 2): a switchable 16 KiB PRG window at $8000, the last 16 KiB fixed at $C000.
#include "machine/cartridge/banking.hpp"
#include "machine/state_archive.hpp"

namespace NES {

namespace {
void select(CPU& cpu, UxROM& board, int bank) {
    board.prg_bank = bank;
    cpu.prg_bank = bank;
    banking::map_prg(cpu, 0x8000, bank, 16);
}
}  // namespace

void UxROM::map_write(Context& ctx, Loc addr, uint8_t* value) {
    if (banking::window(banking::address(*ctx.cpu, addr)) < 0) return;
    select(*ctx.cpu, *this, (*value & 0x0F) * 16);  // the upper four bits are not wired
}

void UxROM::slot_loaded(Context& ctx) {
    // A block from elsewhere may hold any number: keep it on a 16 KiB bank of this ROM.
    const int count = ctx.cpu->rom->prg_size / (16 * banking::KIB);
    select(*ctx.cpu, *this, count == 0 ? 0 : banking::wrap_bank(prg_bank / 16, count) * 16);
}

void UxROM::state_fields(StateArchive& ar, const ROM&) {
    // On record only (the bank's bytes are in the CPU image): four bits of 16 KiB banks,
    // which copies wrap modulo the ROM.
    ar.num(prg_bank, 0, 15 * 16, "UxROM PRG bank");
}

}  // namespace NES
