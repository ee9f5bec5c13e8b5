// The 6502 CPU, its 64 KiB address-space image and the bus dispatch.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "machine/common.hpp"

namespace NES {

class CPU {
public:
    using Mode = Loc (CPU::*)(Loc);
    using Op = void (CPU::*)(Loc);

    PPU* ppu = nullptr;
    APU* apu = nullptr;
    int32_t clock_speed = 1789773;
    uint8_t A = 0, X = 0, Y = 0;
    uint8_t controller_shift[2] = {0, 0};
    Loc PC = nullptr;
    uint8_t pc_step = 1;
    uint16_t nmi_vector = 0xFFFA, reset_vector = 0xFFFC, irq_vector = 0xFFFE;
    Mode addressing_modes[256] = {};
    Op operations[256] = {};
    int64_t instruction_count = 0;
    alignas(64) uint8_t memory[65536] = {};
    ROM* rom = nullptr;
    Relaxed<int64_t> cycle_count{0};
    uint8_t nmi_sample = 0, irq_line = 0, nmi_condition = 0;
    uint8_t strobe = 0;
    bool debug = false;
    int32_t prg_bank = 0;
    Controller* controllers[2] = {nullptr, nullptr};
    uint8_t SP = 0xFF;
    uint8_t P = 0x24;
    const char* mnemonics[256] = {};
    uint8_t cycle_table[256] = {};
    uint8_t cycle_table_page_cross[256] = {};
    const char* mode_names[256] = {};
    // Where the battery RAM file of this console's cartridge lives (empty: none).
    std::string battery_path;
    // The context handed to the board on every bus access.
    Context context{this, nullptr, nullptr};

    CPU();
    explicit CPU(bool debug);
    CPU(const CPU&) = delete;
    CPU& operator=(const CPU&) = delete;

    // Bus (cpu.cpp)
    uint8_t read(Loc loc, bool notify);
    void write(Loc loc, uint8_t value);
    void map_memory(Loc& loc) const;
    int64_t get_addr(const uint8_t* loc) const { return loc - memory; }
    Loc at(uint32_t addr) { return memory + (addr & 0xFFFF); }
    bool get_flag(char letter) const;
    void set_flag(char letter, bool on);
    void stack_push(uint8_t value);
    uint8_t stack_pull();
    void set_controller(Controller* pad, uint8_t port);

    // Clock, interrupts, reset and trace (cpu.cpp)
    void clock();
    void start_nmi();
    void start_irq();
    void reset();
    int32_t emulated_clock_speed(int64_t elapsed_ns) const;
    void ins_str(char* buf, unsigned char opcode);
    void ins_str_mem(char* buf, uint8_t* opcode_loc, Loc effective);

    // Cartridge attachment (cpu.cpp)
    void loadRom(ROM* rom, bool read_battery_ram);

    // Save states and battery RAM (state.cpp)
    static constexpr long STATE_SIZE = 82189;
    void save_state(std::FILE* f);
    bool load_state(std::FILE* f);  // false, and nothing changed, unless the file holds a whole state
    void save_ram(std::FILE* f);
    void load_ram(std::FILE* f);

    // Instruction tables (cpu_helper.cpp)
    void define_opcodes();
    void define_timings();

    // Addressing modes (cpu_helper.cpp)
    Loc acc(Loc p);
    Loc imm(Loc p);
    Loc zpg(Loc p);
    Loc zpgx(Loc p);
    Loc zpgy(Loc p);
    Loc abs(Loc p);
    Loc absx(Loc p);
    Loc absy(Loc p);
    Loc ind(Loc p);
    Loc xind(Loc p);
    Loc indy(Loc p);
    Loc rel(Loc p);

    // Operations (cpu_helper.cpp)
    void ADC(Loc); void AND(Loc); void ASL(Loc); void BCC(Loc); void BCS(Loc);
    void BEQ(Loc); void BIT(Loc); void BMI(Loc); void BNE(Loc); void BPL(Loc);
    void BRK(Loc); void BVC(Loc); void BVS(Loc); void CLC(Loc); void CLD(Loc);
    void CLI(Loc); void CLV(Loc); void CMP(Loc); void CPX(Loc); void CPY(Loc);
    void DEC(Loc); void DEX(Loc); void DEY(Loc); void EOR(Loc); void INC(Loc);
    void INX(Loc); void INY(Loc); void JMP(Loc); void JSR(Loc); void LDA(Loc);
    void LDX(Loc); void LDY(Loc); void LSR(Loc); void NOP(Loc); void ORA(Loc);
    void PHA(Loc); void PHP(Loc); void PLA(Loc); void PLP(Loc); void ROL(Loc);
    void ROR(Loc); void RTI(Loc); void RTS(Loc); void SBC(Loc); void SEC(Loc);
    void SED(Loc); void SEI(Loc); void STA(Loc); void STX(Loc); void STY(Loc);
    void TAX(Loc); void TAY(Loc); void TSX(Loc); void TXA(Loc); void TXS(Loc);
    void TYA(Loc);

private:
    void init(bool debug_flag);
    void branch(Loc target, bool taken);
    void oam_dma(uint8_t page);
};

}  // namespace NES
