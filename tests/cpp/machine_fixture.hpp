// Shared by the C++ tests: iNES images built to order, and a machine wired as the console
// wires it (CPU, PPU, APU, two pads and, when given, the cartridge).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "machine/apu/apu.hpp"
#include "machine/cartridge/rom.hpp"
#include "machine/cpu/cpu.hpp"
#include "machine/pad/controller.hpp"
#include "machine/ppu/ppu.hpp"
#include "machine/state_archive.hpp"

namespace fixture {

constexpr size_t KIB = 1024;

// A component's state as the snapshot code writes it (any class with state_fields), to
// compare two machines field by field.
template <class Component>
std::vector<uint8_t> state_bytes(Component& component) {
    NES::StateArchive measure = NES::StateArchive::measuring();
    component.state_fields(measure);
    std::vector<uint8_t> bytes(measure.position());
    NES::StateArchive save = NES::StateArchive::saving(bytes.data(), bytes.size());
    component.state_fields(save);
    return bytes;
}

// The byte at an offset into the PRG or CHR ROM of an image.
using Fill = std::function<uint8_t(size_t offset)>;

// An iNES header; the mapper number goes into the high nibbles of flags 6 and 7.
inline std::vector<uint8_t> ines_header(int mapper, uint8_t prg_count, uint8_t chr_count, uint8_t flags6 = 0,
                                        uint8_t flags7 = 0, uint8_t byte9 = 0) {
    const auto f6 = static_cast<uint8_t>((mapper & 0x0F) << 4 | flags6);
    const auto f7 = static_cast<uint8_t>((mapper & 0xF0) | flags7);
    std::vector<uint8_t> header = {0x4E, 0x45, 0x53, 0x1A, prg_count, chr_count, f6, f7, 0, byte9};
    header.resize(16, 0);
    return header;
}

// An image of `prg_kib` KiB of PRG (a multiple of 16) and `chr_kib` KiB of CHR ROM (a multiple
// of 8; 0 for CHR RAM), filled by `prg` and `chr` (zeros when not given).
inline std::vector<uint8_t> ines_image(int mapper, size_t prg_kib, size_t chr_kib, uint8_t flags6 = 0,
                                       const Fill& prg = {}, const Fill& chr = {}) {
    std::vector<uint8_t> out =
        ines_header(mapper, static_cast<uint8_t>(prg_kib / 16), static_cast<uint8_t>(chr_kib / 8), flags6);
    out.reserve(out.size() + (prg_kib + chr_kib) * KIB);
    for (size_t i = 0; i < prg_kib * KIB; ++i) out.push_back(prg ? prg(i) : 0);
    for (size_t i = 0; i < chr_kib * KIB; ++i) out.push_back(chr ? chr(i) : 0);
    return out;
}

// Where an image's PRG ROM starts (no trainer).
inline uint8_t* prg_of(std::vector<uint8_t>& image) { return image.data() + 16; }

// A cartridge from image bytes, its parser lines kept off the test output.
inline std::unique_ptr<NES::ROM> quiet_rom(const std::vector<uint8_t>& image) {
    testing::internal::CaptureStdout();
    auto rom = std::make_unique<NES::ROM>(static_cast<long>(image.size()), image.data());
    testing::internal::GetCapturedStdout();
    return rom;
}

struct Machine {
    std::unique_ptr<NES::CPU> cpu = std::make_unique<NES::CPU>(false);
    std::unique_ptr<NES::PPU> ppu = std::make_unique<NES::PPU>(cpu.get());
    std::unique_ptr<NES::APU> apu = std::make_unique<NES::APU>();
    NES::Controller pads[2];
    std::unique_ptr<NES::ROM> rom;

    Machine() {
        cpu->apu = apu.get();
        apu->setCPU(cpu.get());
        for (int port = 0; port < 2; ++port) cpu->set_controller(&pads[port], static_cast<uint8_t>(port));
    }
    // Attaches the cartridge as the console does: power-on banks, then pattern memory; no reset.
    explicit Machine(const std::vector<uint8_t>& image) : Machine() {
        rom = quiet_rom(image);
        testing::internal::CaptureStdout();
        cpu->loadRom(rom.get(), false);
        ppu->loadRom(rom.get());
        testing::internal::GetCapturedStdout();
    }
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    NES::Context context() { return NES::Context{cpu.get(), ppu.get(), apu.get()}; }
    NES::Loc at(uint16_t addr) { return cpu->at(addr); }
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
};

}  // namespace fixture
