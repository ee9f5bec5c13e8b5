// Save states and battery RAM: the CPU's registers and memory, the video memory and the
// board's block, in one fixed little-endian layout.
#include <cstring>
#include <vector>

#include "machine/cartridge/rom.hpp"
#include "machine/cpu/cpu.hpp"
#include "machine/ppu/ppu.hpp"
#include "machine/state_archive.hpp"
#include "machine/state_layout.hpp"

namespace NES {

using state_layout::BLOCK_AT;
using state_layout::MEMORY_AT;
using state_layout::PC_AT;
using state_layout::VIDEO_AT;

void CPU::save_state_bytes(uint8_t* out) {
    out[0] = P;
    out[1] = A;
    out[2] = X;
    out[3] = Y;
    out[4] = SP;
    const uint64_t pc = static_cast<uint64_t>(get_addr(PC)) & 0xFFFF;
    for (int i = 0; i < 8; ++i) out[PC_AT + i] = static_cast<uint8_t>(pc >> (8 * i));
    std::memcpy(out + MEMORY_AT, memory, 65536);
    std::memcpy(out + VIDEO_AT, ppu->video_memory, 16384);
    uint8_t* block = out + BLOCK_AT;
    std::memset(block, 0, MAPPER_BLOCK);
    if (rom && rom->mapper) {
        Context ctx{this, ppu, apu};
        rom->mapper->serialize(ctx, block);
    }
}

void CPU::load_state_bytes(const uint8_t* in) {
    P = in[0];
    A = in[1];
    X = in[2];
    Y = in[3];
    SP = in[4];
    const uint32_t pc = static_cast<uint32_t>(in[PC_AT]) | static_cast<uint32_t>(in[PC_AT + 1]) << 8;
    PC = memory + pc;
    std::memcpy(memory, in + MEMORY_AT, 65536);
    std::memcpy(ppu->video_memory, in + VIDEO_AT, 16384);
    if (rom && rom->mapper) {
        // The board re-applies its banks after the images, so its banks win over the file's bytes.
        Context ctx{this, ppu, apu};
        rom->mapper->deserialize(ctx, in + BLOCK_AT);
    }
}

void CPU::state_fields(StateArchive& ar, int64_t cycles) {
    ar.num(A);
    ar.num(X);
    ar.num(Y);
    ar.num(P);
    ar.num(SP);
    // The program counter travels as an address and becomes a pointer into `memory` again.
    uint16_t pc = ar.reads_component() ? static_cast<uint16_t>(get_addr(PC)) : 0;
    ar.num(pc);
    if (ar.mode() == StateArchive::Mode::load) PC = memory + pc;
    // The cycle count travels with the console's other counters. Every instruction takes two
    // cycles or more, so running keeps this bound, as it keeps the counters' own relations.
    ar.num(instruction_count, int64_t{0}, cycles / 2, "CPU instruction count");
    ar.num(nmi_sample);
    ar.num(irq_line);
    ar.num(nmi_condition);
    ar.num(strobe);
    ar.array(controller_shift);
    // The bank a board selected last, in KiB; copies wrap it modulo the ROM.
    ar.num(prg_bank, 0, 0xFFFF, "CPU PRG bank");
    ar.memory_image(memory, sizeof memory);
}

void CPU::save_state(std::FILE* f) {
    std::vector<uint8_t> state(STATE_SIZE);
    save_state_bytes(state.data());
    std::fwrite(state.data(), 1, state.size(), f);
}

bool CPU::load_state(std::FILE* f) {
    std::vector<uint8_t> state(STATE_SIZE + 1);
    if (std::fread(state.data(), 1, state.size(), f) != static_cast<size_t>(STATE_SIZE)) return false;
    load_state_bytes(state.data());
    return true;
}

void CPU::save_ram(std::FILE* f) { std::fwrite(memory + 0x6000, 1, 0x2000, f); }

void CPU::load_ram(std::FILE* f) {
    uint8_t ram[0x2000] = {};
    const size_t n = std::fread(ram, 1, sizeof ram, f);
    std::memcpy(memory + 0x6000, ram, n);
}

}  // namespace NES
