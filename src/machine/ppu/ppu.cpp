// Stub: replaced by the PPU implementation.
#include "machine/ppu/ppu.hpp"
#include "machine/cpu/cpu.hpp"
namespace NES {
PPU::PPU(CPU* c) : cpu(c) { cpu->ppu = this; }
void PPU::loadRom(ROM* r) { rom = r; }
uint8_t PPU::read(uint16_t a) const { return video_memory[a & 0x3FFF]; }
void PPU::write(uint16_t a, uint8_t value) { video_memory[a & 0x3FFF] = value; }
void PPU::map_memory(uint16_t&) const {}
void PPU::v_horiz() {}
void PPU::v_vert() {}
void PPU::set_registers() {}
void PPU::cycle() {
    ++dot_count;
    if (++dot == 341) { dot = 0; if (++scanline == 262) { scanline = 0; ++frame_count; } }
}
}  // namespace NES
