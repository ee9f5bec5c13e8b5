// A digest of everything a program can see after a frame: the picture, the sound block handed
// out, the counters, the CPU registers and memory, video memory and sprite memory. Two
// machines with the same digests frame after frame behave the same.
#pragma once

#include <cstdint>
#include <cstring>

#include "host/console.hpp"

namespace digest {

struct Digest {
    uint64_t h = 1469598103934665603ull;
    void add(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    }
    template <class T>
    void value(T v) {
        add(&v, sizeof v);
    }
};

// Buttons for frame f: a slow walk through the eight buttons with Start pressed now and then.
inline uint8_t buttons_for(int f) {
    uint8_t b = static_cast<uint8_t>(1u << ((f / 16) % 8));
    if (f % 90 < 4) b |= 0x08;  // Start
    return b;
}

inline void press(NESUnit& console, int f) {
    const uint8_t b = buttons_for(f);
    bool pressed[8];
    for (int i = 0; i < 8; ++i) pressed[i] = (b >> i) & 1;
    console.controllers[0].update_inputs(pressed);
}

// The digest after a frame; takes the newest audio block, as a player would.
inline uint64_t of(NESUnit& console) {
    int16_t block[NES::BUFFER_LEN];
    Digest d;
    const NES::CPU& cpu = *console.cpu;
    const NES::PPU& ppu = *console.ppu;
    d.add(ppu.frame_rgb, sizeof ppu.frame_rgb);
    if (console.getAudio(block)) d.add(block, sizeof block);
    d.value(cpu.cycle_count.load());
    d.value(cpu.instruction_count);
    d.value(ppu.dot_count.load());
    d.value(console.apu->apu_cycles.load());
    d.value(console.apu->samples_written);
    d.add(cpu.memory, sizeof cpu.memory);
    d.value(cpu.A);
    d.value(cpu.X);
    d.value(cpu.Y);
    d.value(cpu.P);
    d.value(cpu.SP);
    d.value(cpu.get_addr(cpu.PC));
    d.value(cpu.irq_line);
    d.add(ppu.video_memory, sizeof ppu.video_memory);
    d.add(ppu.oam, sizeof ppu.oam);
    d.value(ppu.v);
    d.value(ppu.t);
    d.value(ppu.scanline);
    d.value(ppu.dot);
    return d.h;
}

}  // namespace digest
