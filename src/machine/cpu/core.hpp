// The instruction set's working copy of the CPU: registers, program counter and cycle count
// held in locals while instructions run, with the bus accesses that need nothing else.
#pragma once

#include <cstdint>

#include "machine/cartridge/rom.hpp"
#include "machine/cpu/cpu.hpp"
#include "machine/ppu/ppu.hpp"

namespace NES {

#define CORE_INLINE [[gnu::always_inline]] inline

// A byte stored into `memory` may alias any field of the CPU, so code working on the fields
// reloads and stores them around every store. A Core lives on the stack and never lets its
// address out, so the compiler keeps its registers in host registers. Nothing the bus reaches
// looks at the registers or the cycle count (the PPU and the APU catch up to
// `instruction_start`, boards see the bus), so bus accesses need no copy back; the trace
// does, and the Core is flushed into the CPU wherever it stops running. What the NMI input
// and the run's end depend on changes only in a bus access that leaves the Core (a port, a
// board, the PPU or APU catching up), so the Core reads it again after each.
struct Core {
    // The accumulator's place among operand addresses (the accumulator addressing mode).
    static constexpr uint32_t ACC = 0x10000;
    // An immediate operand an operation only reads, already read into `immediate`.
    static constexpr uint32_t IMMEDIATE = 0x20000;

    CPU& cpu;
    uint8_t* const mem;
    PPU* const ppu;
    // Writes to internal RAM that no board and no debug print has to see are plain stores.
    const bool plain_ram_writes;
    // Reads of RAM that no board has to see are plain loads.
    const bool plain_ram_reads;
    const bool debug;
    uint32_t pc = 0;
    uint8_t a = 0, x = 0, y = 0, p = 0, sp = 0;
    uint8_t pc_step = 1;
    bool page_crossed = false;
    uint8_t nmi_sample = 0, nmi_condition = 0;
    // While an instruction runs, the cycle it began at: its cycles are added at its end.
    int64_t cycles = 0;
    // PPUCTRL's NMI enable bit and the PPU's NMI flag, as the last bus access left them.
    bool nmi_enabled = false;
    uint8_t nmi_pending = 0;
    // Set while no interrupt can come and the NMI sample already holds the PPU's flag: until
    // the bus changes something, the interrupt inputs then stay as they are.
    bool calm = false;
    // The NMI input the last instruction saw outside the calm. It is low whenever the calm
    // begins, and a calm instruction would see it low, so it needs no update while calm.
    bool nmi_input = false;
    // `CPU::run` stops after the instruction that reaches this cycle or brings the APU up to date.
    int64_t stop = INT64_MAX;
    // Where `CPU::run` looks closer at an instruction's end: `stop` while calm, else at once.
    int64_t watch = INT64_MIN;
    // The code-read mask of the 2 KiB the opcode came from.
    uint16_t code_mask = 0;
    uint8_t immediate = 0;

    explicit Core(CPU& c)
        : cpu(c),
          mem(c.memory),
          ppu(c.ppu),
          plain_ram_writes(!c.debug && !c.board_sees_ram_writes()),
          plain_ram_reads(!c.board_sees_reads()),
          debug(c.debug) {
        refill();
    }

    // Out of the CPU, after something else ran on its fields.
    CORE_INLINE void refill() {
        pc = static_cast<uint32_t>(cpu.offset_of(cpu.PC)) & 0xFFFF;
        a = cpu.A;
        x = cpu.X;
        y = cpu.Y;
        p = cpu.P;
        sp = cpu.SP;
        pc_step = cpu.pc_step;
        page_crossed = cpu.page_crossed;
        nmi_sample = cpu.nmi_sample;
        nmi_condition = cpu.nmi_condition;
        cycles = cpu.cycle_count.load();
        bus_changed();
    }

    // After a bus access that left the Core.
    CORE_INLINE void bus_changed() {
        calm = false;
        watch = INT64_MIN;
        nmi_enabled = (mem[0x2000] & 0x80) != 0;
        nmi_pending = ppu != nullptr ? ppu->nmi_pending : 0;
        if (cpu.run_ends) stop = INT64_MIN;
    }

    // Back into the CPU, for whatever looks at it next.
    CORE_INLINE void flush() const {
        cpu.PC = mem + pc;
        cpu.A = a;
        cpu.X = x;
        cpu.Y = y;
        cpu.P = p;
        cpu.SP = sp;
        cpu.pc_step = pc_step;
        cpu.page_crossed = page_crossed;
        cpu.nmi_sample = nmi_sample;
        cpu.nmi_condition = nmi_condition;
        cpu.cycle_count.store(cycles);
    }

    // An operand location as an address (ACC for the accumulator), and back.
    uint32_t address_of(Loc loc) const {
        const uintptr_t off = cpu.offset_of(loc);
        return off < 0x10000 ? static_cast<uint32_t>(off) : ACC;
    }
    Loc location(uint32_t at) const { return at == ACC ? &cpu.A : mem + at; }

    // A read with notify, as `CPU::read` makes it.
    CORE_INLINE uint8_t load(uint32_t at) {
        if (at == ACC) return a;
        if (at == IMMEDIATE) return immediate;
        // Zero page and stack addresses are known to be RAM where the mode computes them.
        if (__builtin_constant_p(at < 0x0800) && at < 0x0800 && plain_ram_reads) return mem[at];
        if (const uint32_t mask = cpu.plain_read_masks[at >> 11]) return mem[at & mask];
        cpu.instruction_start = cycles;
        const uint8_t value = cpu.read_bus(mem + at, true);
        bus_changed();
        return value;
    }

    // The opcode at `pc`, which also finds where its operand bytes can be read from.
    CORE_INLINE uint8_t fetch_opcode() {
        code_mask = cpu.code_read_masks[pc >> 11];
        return code_mask != 0 ? mem[pc & code_mask] : load(pc);
    }
    // An operand byte of the instruction (`at` is `pc` + 1 or + 2).
    CORE_INLINE uint8_t operand(uint32_t at) { return code_mask != 0 ? mem[at & code_mask] : load(at); }

    // A write, as `CPU::write` makes it.
    CORE_INLINE void store(uint32_t at, uint8_t value) {
        if (at == ACC && !debug) {  // no bus cycle: the board does not see it
            ++cpu.bus_effects;
            a = value;
        } else if (at == ACC) {
            cpu.A = a;
            cpu.write(&cpu.A, value);
            a = cpu.A;
        } else if (at < 0x2000 && plain_ram_writes) {
            ++cpu.bus_effects;
            mem[at & 0x07FF] = value;
        } else {
            cpu.instruction_start = cycles;
            cpu.write(mem + at, value);
            bus_changed();
        }
    }

    CORE_INLINE void push(uint8_t value) {
        ++cpu.bus_effects;
        mem[0x100 + sp] = value;
        --sp;
    }
    CORE_INLINE uint8_t pull() {
        ++sp;
        return mem[0x100 + sp];
    }

    // The instruction set (instructions.cpp). `Traced`: whether the instruction may print the
    // trace line, which only a CPU made with `debug` does.
    inline uint32_t run_clocked();
    inline uint32_t run_fast();
    inline bool loop_may_wait();
    inline bool samples_as_now() const;
    inline void clock_one();
    template <bool Traced>
    inline void step();
    template <bool Traced>
    inline bool execute_next();
    template <bool Traced>
    inline bool dispatch(uint8_t code);
    // `Sampled`: the NMI input was sampled ahead of the instruction.
    template <unsigned Code, bool Traced, bool Sampled = false>
    inline bool execute();
    inline void interrupt(uint16_t vector);
    inline void sample_nmi();
    inline void take_interrupt(bool nmi_now);
    inline void start_irq();
    inline void trace(uint32_t effective, uint8_t cost);
    template <unsigned Code>
    inline void settle();

    // Addressing modes: `next` is the address of the byte after the opcode; they return the
    // effective address.
    inline uint32_t acc(uint32_t next);
    inline uint32_t imm(uint32_t next);
    inline uint32_t zpg(uint32_t next);
    inline uint32_t zpgx(uint32_t next);
    inline uint32_t zpgy(uint32_t next);
    inline uint32_t abs(uint32_t next);
    inline uint32_t absx(uint32_t next);
    inline uint32_t absy(uint32_t next);
    inline uint32_t ind(uint32_t next);
    inline uint32_t xind(uint32_t next);
    inline uint32_t indy(uint32_t next);
    inline uint32_t rel(uint32_t next);

    // clang-format off
    // Operations on the effective address.
    inline void ADC(uint32_t); inline void AND(uint32_t); inline void ASL(uint32_t); inline void BCC(uint32_t);
    inline void BCS(uint32_t); inline void BEQ(uint32_t); inline void BIT(uint32_t); inline void BMI(uint32_t);
    inline void BNE(uint32_t); inline void BPL(uint32_t); inline void BRK(uint32_t); inline void BVC(uint32_t);
    inline void BVS(uint32_t); inline void CLC(uint32_t); inline void CLD(uint32_t); inline void CLI(uint32_t);
    inline void CLV(uint32_t); inline void CMP(uint32_t); inline void CPX(uint32_t); inline void CPY(uint32_t);
    inline void DEC(uint32_t); inline void DEX(uint32_t); inline void DEY(uint32_t); inline void EOR(uint32_t);
    inline void INC(uint32_t); inline void INX(uint32_t); inline void INY(uint32_t); inline void JMP(uint32_t);
    inline void JSR(uint32_t); inline void LDA(uint32_t); inline void LDX(uint32_t); inline void LDY(uint32_t);
    inline void LSR(uint32_t); inline void NOP(uint32_t); inline void ORA(uint32_t); inline void PHA(uint32_t);
    inline void PHP(uint32_t); inline void PLA(uint32_t); inline void PLP(uint32_t); inline void ROL(uint32_t);
    inline void ROR(uint32_t); inline void RTI(uint32_t); inline void RTS(uint32_t); inline void SBC(uint32_t);
    inline void SEC(uint32_t); inline void SED(uint32_t); inline void SEI(uint32_t); inline void STA(uint32_t);
    inline void STX(uint32_t); inline void STY(uint32_t); inline void TAX(uint32_t); inline void TAY(uint32_t);
    inline void TSX(uint32_t); inline void TXA(uint32_t); inline void TXS(uint32_t); inline void TYA(uint32_t);
    // clang-format on

private:
    CORE_INLINE void set_bit(uint8_t mask, bool on) {
        p = on ? static_cast<uint8_t>(p | mask) : static_cast<uint8_t>(p & ~mask);
    }
    inline void set_zn(uint8_t r);
    CORE_INLINE void push_address(uint32_t addr) {
        push(static_cast<uint8_t>(addr >> 8));
        push(static_cast<uint8_t>(addr));
    }
    CORE_INLINE uint32_t pull_address() {
        const uint32_t low = pull();
        return low | static_cast<uint32_t>(pull()) << 8;
    }
    inline void compare(uint8_t reg, uint32_t at);
    inline void branch(uint32_t target, bool taken);
};

}  // namespace NES
