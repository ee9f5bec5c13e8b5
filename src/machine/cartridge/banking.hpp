// Helpers the boards share: bank copies into the CPU and PPU images, addresses, state bytes.
#pragma once

#include <cstdint>
#include <cstring>

#include "machine/cartridge/rom.hpp"
#include "machine/cpu/cpu.hpp"
#include "machine/ppu/ppu.hpp"

namespace NES::banking {

constexpr int KIB = 1024;

// n modulo count, in 0..count-1 also for negative n.
inline int wrap_bank(int n, int count) {
    const int r = n % count;
    return r < 0 ? r + count : r;
}
// Copies `kib` PRG banks of 1 KiB, from bank `first` on, to CPU address `at`. Bank numbers
// wrap modulo the ROM, so a window larger than the ROM repeats it, and any `first` (a save
// state's block may hold any number) stays inside it.
inline void map_prg(CPU& cpu, uint32_t at, int first, int kib) {
    ROM& rom = *cpu.rom;
    const int banks = rom.prg_size / KIB;
    if (banks <= 0) return;
    int bank = wrap_bank(first, banks);
    for (int i = 0; i < kib; ++i) {
        std::memcpy(cpu.memory + at + static_cast<uint32_t>(i * KIB), rom.get_prg_bank(bank), KIB);
        bank = bank + 1 == banks ? 0 : bank + 1;
    }
}
// The same for CHR into pattern memory (8 banks of CHR RAM when there is no CHR ROM).
// Without CHR ROM the source is pattern memory itself, hence memmove.
inline void map_chr(CPU& cpu, PPU& ppu, uint32_t at, int first, int kib) {
    ROM& rom = *cpu.rom;
    const int banks = rom.chr_size >= KIB ? rom.chr_size / KIB : 8;
    int bank = wrap_bank(first, banks);
    for (int i = 0; i < kib; ++i) {
        const uint8_t* src = rom.get_chr_bank(bank);
        if (src == nullptr) return;  // CHR RAM not attached yet
        std::memmove(ppu.video_memory + at + static_cast<uint32_t>(i * KIB), src, KIB);
        bank = bank + 1 == banks ? 0 : bank + 1;
    }
}
// The PPU keeps the second nametable at $2800 under horizontal (0) and at $2400 under
// vertical (1) mirroring; moving it keeps both nametables' contents across a change.
inline void move_second_nametable(PPU& ppu, int32_t from, int32_t to) {
    uint8_t* vram = ppu.video_memory;
    if (from == 0 && to == 1) std::memcpy(vram + 0x2400, vram + 0x2800, 0x400);
    if (from == 1 && to == 0) std::memcpy(vram + 0x2800, vram + 0x2400, 0x400);
}

// The last 16 KiB of PRG ROM, as a 1 KiB bank number.
inline int last_16k(const CPU& cpu) { return cpu.rom->prg_size / KIB - 16; }

// The CPU address of a location; negative or above $FFFF for the accumulator.
inline int64_t address(const CPU& cpu, const uint8_t* loc) { return cpu.get_addr(loc); }

// Which 8 KiB window of cartridge space an address falls in: 4 for $8000, ... 7 for $E000;
// anything else (RAM, ports, PRG RAM, the accumulator) gives -1.
inline int window(int64_t a) { return (a >= 0x8000 && a <= 0xFFFF) ? static_cast<int>(a >> 13) : -1; }

inline void put_le32(uint8_t* out, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
}

inline int32_t get_le32(const uint8_t* in) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(in[i]) << (8 * i);
    return static_cast<int32_t>(u);
}

}  // namespace NES::banking
