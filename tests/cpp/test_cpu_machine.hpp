// A bare CPU with a PPU and an APU attached, as the console wires them, for the CPU tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>

#include "machine/apu/apu.hpp"
#include "machine/cpu/cpu.hpp"
#include "machine/ppu/ppu.hpp"

struct BareMachine {
    std::unique_ptr<NES::CPU> cpu = std::make_unique<NES::CPU>(false);
    std::unique_ptr<NES::PPU> ppu = std::make_unique<NES::PPU>(cpu.get());
    std::unique_ptr<NES::APU> apu = std::make_unique<NES::APU>();

    BareMachine() {
        cpu->apu = apu.get();
        apu->setCPU(cpu.get());
    }

    // Places bytes straight into the address-space image (no bus effects).
    void poke(uint16_t addr, std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) cpu->memory[addr++] = b;
    }
    // Places a program and points PC at it.
    void program(uint16_t addr, std::initializer_list<uint8_t> bytes) {
        poke(addr, bytes);
        cpu->PC = cpu->at(addr);
    }
    uint16_t pc() const { return static_cast<uint16_t>(cpu->get_addr(cpu->PC)); }
    // Runs one instruction and returns the cycles it charged.
    int64_t step() {
        const int64_t before = cpu->cycle_count;
        cpu->clock();
        return cpu->cycle_count - before;
    }
    NES::Loc at(uint16_t addr) { return cpu->at(addr); }
};
