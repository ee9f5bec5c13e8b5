// The boards this machine implements, by iNES mapper number: how each is made, reset and
// mapped at power-on, and what PRG ROM it needs.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "machine/cartridge/banking.hpp"
#include "machine/cartridge/mapper.hpp"
#include "machine/state_archive.hpp"

namespace NES {
namespace {

template <class Board>
std::unique_ptr<Mapper> make() {
    return std::make_unique<Board>();
}

// Puts a board of class Board back into its power-on state without moving it: the PPU
// keeps a pointer to the board for its per-dot clock.
template <class Board>
bool reset(Mapper* board) {
    auto* b = dynamic_cast<Board*>(board);
    if (b == nullptr) return false;
    *b = Board();
    return true;
}

int last_16k_bank(const CPU& cpu) { return std::max(0, cpu.rom->prg_size / banking::KIB - 16); }

// NROM and CNROM: the PRG ROM as it is from $8000; a 16 KiB one also answers at $C000.
void power_on_fixed(CPU& cpu) {
    const ROM& rom = *cpu.rom;
    const size_t n = std::min<size_t>({static_cast<size_t>(std::max(rom.prg_size, 0)), 0x8000, rom.prg_rom.size()});
    std::memcpy(cpu.memory + 0x8000, rom.prg_rom.data(), n);
    cpu.prg_fold16 = rom.prg_size >= 0x4000 && rom.prg_size < 0x8000;
}

void power_on_mmc1(CPU& cpu) {
    banking::map_prg(cpu, 0x8000, 0, 16);
    banking::map_prg(cpu, 0xC000, last_16k_bank(cpu), 16);
}

void power_on_uxrom(CPU& cpu) {
    banking::map_prg(cpu, 0x8000, cpu.prg_bank, 16);
    banking::map_prg(cpu, 0xC000, last_16k_bank(cpu), 16);
}

void power_on_mmc3(CPU& cpu) { banking::map_prg(cpu, 0xC000, last_16k_bank(cpu), 16); }

// 8 KiB banks 6, 4, 5 and 7 at $6000, $8000, $A000 and $E000.
void power_on_ntdec2722(CPU& cpu) {
    banking::map_prg(cpu, 0x6000, 48, 8);
    banking::map_prg(cpu, 0x8000, 32, 8);
    banking::map_prg(cpu, 0xA000, 40, 8);
    banking::map_prg(cpu, 0xE000, 56, 8);
}

// AxROM, BNROM, GxROM and Color Dreams: the first 32 KiB from $8000.
void power_on_32k(CPU& cpu) { banking::map_prg(cpu, 0x8000, 0, 32); }

// AxROM has no mirroring pins: one screen, the nametable at $2000 shown first.
void power_on_axrom(CPU& cpu) {
    power_on_32k(cpu);
    cpu.rom->mirroring = 3;
}

// MMC2: the last three 8 KiB banks at $A000-$FFFF.
void power_on_mmc2(CPU& cpu) { banking::map_prg(cpu, 0xA000, cpu.rom->prg_size / banking::KIB - 24, 24); }

template <class Board>
constexpr BoardInfo entry(int number, const char* name, void (*power_on)(CPU&), int min_prg_kib = 0,
                          bool whole_8k_banks = false) {
    return {number, name, make<Board>, reset<Board>, power_on, min_prg_kib, whole_8k_banks};
}

// MMC1, UxROM, MMC3, MMC4 and Camerica keep the last 16 KiB at $C000.
constexpr BoardInfo BOARDS[] = {
    entry<NROM>(0, "NROM", power_on_fixed),
    entry<MMC1>(1, "MMC1 (SxROM)", power_on_mmc1, 16),
    entry<UxROM>(2, "UxROM", power_on_uxrom, 16),
    entry<CNROM>(3, "CNROM", power_on_fixed),
    entry<MMC3>(4, "MMC3 (TxROM)", power_on_mmc3, 16),
    entry<AxROM>(7, "AxROM", power_on_axrom),
    entry<MMC2>(9, "MMC2 (PxROM)", power_on_mmc2, 32),
    entry<MMC4>(10, "MMC4 (FxROM)", power_on_uxrom, 16),
    entry<ColorDreams>(11, "Color Dreams", power_on_32k),
    entry<BNROM>(34, "BNROM / NINA-001", power_on_32k),
    entry<NTDEC2722>(40, "NTDEC 2722", power_on_ntdec2722, 8, true),
    entry<GxROM>(66, "GxROM", power_on_32k),
    entry<Camerica>(71, "Camerica / Codemasters", power_on_uxrom, 16),
};

}  // namespace

const BoardInfo* boards_begin() { return std::begin(BOARDS); }
const BoardInfo* boards_end() { return std::end(BOARDS); }

const BoardInfo* board_info(int number) {
    for (const BoardInfo& board : BOARDS)
        if (board.number == number) return &board;
    return nullptr;
}

void Mapper::serialize(Context& ctx, uint8_t* out) {
    std::memset(out, 0, MAPPER_BLOCK);
    if (!fields_in_slot) return;
    StateArchive ar = StateArchive::saving(out, MAPPER_BLOCK);
    state_fields(ar, *ctx.cpu->rom);
}

void Mapper::deserialize(Context& ctx, const uint8_t* in) {
    if (!fields_in_slot) return;
    StateArchive ar = StateArchive::loading(in, MAPPER_BLOCK);
    state_fields(ar, *ctx.cpu->rom);
    slot_loaded(ctx);
}

std::unique_ptr<Mapper> make_mapper(int number) {
    if (const BoardInfo* board = board_info(number)) return board->make();
    std::puts("UNRECOGNIZED MAPPER!");
    return std::make_unique<DEFAULT_MAPPER>(number);
}

}  // namespace NES
