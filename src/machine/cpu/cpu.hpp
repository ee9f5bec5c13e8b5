// The 6502 CPU, its 64 KiB address-space image and the bus dispatch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "machine/cartridge/rom.hpp"
#include "machine/common.hpp"
#include "machine/state_layout.hpp"

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
    static constexpr size_t RAM_SIZE = 0x0800;  // $0000-$07FF, mirrored up to $1FFF
    ROM* rom = nullptr;
    // The cartridge's board when it asks to see notifying reads, else nullptr (set by loadRom):
    // a read then asks one pointer instead of the cartridge, its board and the board's flag.
    Mapper* read_board = nullptr;
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
    // Set by the indexed modes when indexing carried into the high byte of the address.
    bool page_crossed = false;
    // A single 16 KiB PRG bank on NROM or CNROM: $C000-$FFFF reads $8000-$BFFF (set by loadRom).
    bool prg_fold16 = false;
    // For each 2 KiB of the address space, the mask that folds a read there onto `memory`
    // when it has no side effect and no board sees it; 0 otherwise (set by loadRom).
    uint16_t plain_read_masks[32] = {};
    // The same for an instruction's bytes, read with the mask of the opcode's 2 KiB even where
    // the operand runs into the next: 0 for RAM's last mirror, whose next bytes are the ports,
    // and the fold's mask for the 2 KiB before $C000 when $C000 folds onto $8000.
    uint16_t code_read_masks[32] = {};
    // The Z and N flags of each result byte. Each CPU holds a copy: the instructions reach it
    // at an offset from the CPU they work on, with no load of the table's own address.
    struct ZeroNegative {
        uint8_t of[256];
        constexpr ZeroNegative() : of{} {
            for (unsigned r = 0; r < 256; ++r) of[r] = static_cast<uint8_t>((r == 0 ? FLAG_Z : 0) | (r & FLAG_N));
        }
    } zero_negative;
    // Set while the console lets the PPU fall behind (it then catches up only when something
    // could tell): before the CPU reads a PPU port or writes anything outside RAM and the APU
    // registers, the PPU is brought to where it would stand after the previous instruction,
    // three dots per cycle up to `instruction_start`.
    bool ppu_lags = false;
    // The same for the APU: it is brought to where it would stand after the previous
    // instruction (`instruction_start` / 2 cycles, rounded up) before the CPU reads $4015 or
    // writes an APU register or anything a board sees.
    bool apu_lags = false;
    // Set when the CPU brought a lagging APU up to date: `run` then stops.
    bool apu_ran = false;
    // Set when, with the PPU lagging, the CPU wrote PPUMASK or a board register that may move
    // the board's next IRQ (`Mapper::irq_writes_from`): `run` then stops, and the console
    // works out its deadline again.
    bool irq_deadline_moved = false;
    // The board's `Mapper::irq_writes_from`, as the console set it for a run.
    uint32_t irq_writes_from = 0x10000;
    // Either of the two above, for `run`'s one test after a bus access.
    bool run_ends = false;
    // What `run` saw at the last move back: the place and the registers, packed, and the bus
    // effects other than PPUSTATUS reads so far.
    uint64_t back_round = ~0ull;
    uint64_t back_effects = 0;
    // `cycle_count` when the current instruction began.
    int64_t instruction_start = 0;
    // Counts writes (the accumulator's too), port reads, board-notified reads and stack pushes
    // (so interrupts too): while it stands still, the instructions run changed nothing but the
    // registers. Only the console's skipping of waiting loops looks at it; it never decides
    // what the machine does.
    uint64_t bus_effects = 0;
    // Of those, the PPUSTATUS reads (made with the PPU attached).
    uint64_t status_reads = 0;

    // Bits of P.
    static constexpr uint8_t FLAG_C = 0x01, FLAG_Z = 0x02, FLAG_I = 0x04, FLAG_D = 0x08;
    static constexpr uint8_t FLAG_B = 0x10, FLAG_U = 0x20, FLAG_V = 0x40, FLAG_N = 0x80;

    CPU();
    explicit CPU(bool debug);
    CPU(const CPU&) = delete;
    CPU& operator=(const CPU&) = delete;

    // Bus (cpu.cpp)
    // Inline: the instruction set reads through here two or three times per instruction.
    // RAM and cartridge space with no board to tell, nearly every read, need no port test.
    uint8_t read(Loc loc, bool notify) {
        const uintptr_t off = offset_of(loc);
        if (off < 0x2000) {
            if (!notify || !board_sees_reads()) return memory[off & 0x07FF];
        } else if (off - 0x8000 < 0x8000) {
            // A single 16 KiB bank shows at $C000 too: bit 14 folds away.
            if (!notify || !board_sees_reads()) return memory[off & ~(uintptr_t{prg_fold16} << 14)];
        }
        return read_bus(loc, notify);
    }
    // The whole read, ports and board included.
    uint8_t read_bus(Loc loc, bool notify);
    void write(Loc loc, uint8_t value);
    void map_memory(Loc& loc) const;
    int64_t get_addr(const uint8_t* loc) const { return loc - memory; }
    Loc at(uint32_t addr) { return memory + (addr & 0xFFFF); }
    bool get_flag(char letter) const;
    void set_flag(char letter, bool on);
    void stack_push(uint8_t value);
    uint8_t stack_pull();
    void set_controller(Controller* pad, uint8_t port);

    // Clock, interrupts, reset and trace (cpu.cpp, instructions.cpp)
    // One instruction, then the interrupt it lets in.
    void clock();
    // Runs instructions as `clock` does, one after another, until one ends with `cycle_count`
    // at `stop_cycle` or beyond, brought the APU up to date (which may have armed the DMC
    // interrupt), or moved the program counter back (or left it where it was) to where the
    // last such move went, with the same A, X and Y and no effect on the bus but PPUSTATUS
    // reads since, nor between the two moves before: a loop that may be waiting (whoever
    // skips its rounds looks closer). Returns where the last instruction began.
    // For the console's frame loop while the APU lags.
    Loc run(int64_t stop_cycle);
    void start_nmi();
    void start_irq();
    void reset();
    int32_t emulated_clock_speed(int64_t elapsed_ns) const;
    void ins_str(char* buf, unsigned char opcode);
    void ins_str_mem(char* buf, uint8_t* opcode_loc, Loc effective);

    // Cartridge attachment (cpu.cpp)
    void loadRom(ROM* rom, bool read_battery_ram);

    // Save states and battery RAM (state.cpp)
    static constexpr long STATE_SIZE = state_layout::STATE_SIZE;
    void save_state(std::FILE* f);
    bool load_state(std::FILE* f);             // false, and nothing changed, unless the file holds a whole state
    void save_state_bytes(uint8_t* out);       // STATE_SIZE bytes
    void load_state_bytes(const uint8_t* in);  // STATE_SIZE bytes
    void save_ram(std::FILE* f);
    // Everything of the CPU's that decides what it does next, for in-memory snapshots;
    // `cycles` is the snapshot's cycle count, which bounds the instruction count.
    void state_fields(StateArchive& ar, int64_t cycles);
    void load_ram(std::FILE* f);

    // Instruction tables (instructions.cpp)
    void define_opcodes();
    void define_timings();

    // The modes and operations of the tables, one at a time on the CPU's fields (the clock
    // runs the same code on registers held in locals).
    // Addressing modes
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

    // clang-format off
    // Operations
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
    // clang-format on

private:
    // The instruction set's working copy of the registers (core.hpp).
    friend struct Core;

    void init(bool debug_flag);
    // The absolute address at p, read as the absolute mode reads it (for reset).
    Loc absolute_at(Loc p);
    void oam_dma(uint8_t page);
    uint16_t fold(uint32_t addr) const {
        if (addr < 0x2000) return static_cast<uint16_t>(addr & 0x07FF);
        if (addr < 0x4000) return static_cast<uint16_t>(0x2000 | (addr & 7));
        if (prg_fold16 && addr >= 0xC000) return static_cast<uint16_t>(addr - 0x4000);
        return static_cast<uint16_t>(addr);
    }
    // Offset of a location in `memory`; 0x10000 or more for the accumulator.
    uintptr_t offset_of(const uint8_t* loc) const {
        return reinterpret_cast<uintptr_t>(loc) - reinterpret_cast<uintptr_t>(memory);
    }
    uint8_t read_port(uint16_t a);
    uint8_t read_apu_status();
    uint8_t read_pad(int port);
    uint8_t read_ppustatus();
    uint8_t read_oamdata();
    uint8_t read_ppudata();
    void catch_up_ppu();
    void catch_up_apu();
    void write_port(uint16_t a, uint8_t& value);
    void write_strobe(uint8_t value);
    void write_ppuctrl(uint8_t value);
    void write_oamdata(uint8_t& value);
    void write_ppuscroll(uint8_t value);
    void write_ppuaddr(uint8_t value);
    void print_ppuaddr_write(const char* when, uint8_t value) const;
    void write_ppudata(uint8_t value);
    void trace(Loc effective);
    void set_bit(uint8_t mask, bool on) { P = on ? static_cast<uint8_t>(P | mask) : static_cast<uint8_t>(P & ~mask); }
    bool board_sees_reads() const { return read_board != nullptr; }
    void map_plain_reads();
    // Whether a write to internal RAM reaches a board.
    bool board_sees_ram_writes() const;
    void load_battery_ram();
};

}  // namespace NES
