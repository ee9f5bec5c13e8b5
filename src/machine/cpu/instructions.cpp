// The 6502 instruction set: the opcode and cycle tables, the addressing modes and the
// operations. Decimal mode is not implemented: 'D' is stored and ignored, as on the NES.

#include "machine/cpu/core.hpp"

namespace NES {

// The instruction set is inlined into each opcode's `execute`, and those into the dispatch.

namespace {

struct OpcodeEntry {
    const char* mnemonic;  // nullptr: no operation
    const char* mode;      // nullptr: no mode name; "impl": a name but no mode function
};

// The 256 opcodes in order. Beyond the documented set, $02/$22/... act as read-modify-write
// on the operand byte, and $12/$32/... and $1A/$3A/... on the byte after the opcode.
// clang-format off
constexpr OpcodeEntry OPCODES[256] = {
    // 0x
    {"BRK", "impl"}, {"ORA", "xind"}, {"ASL", "imm"}, {nullptr, nullptr},
    {nullptr, "zpg"}, {"ORA", "zpg"}, {"ASL", "zpg"}, {nullptr, "zpg"},
    {"PHP", "impl"}, {"ORA", "imm"}, {"ASL", "acc"}, {nullptr, nullptr},
    {nullptr, "abs"}, {"ORA", "abs"}, {"ASL", "abs"}, {nullptr, "abs"},
    // 1x
    {"BPL", "rel"}, {"ORA", "indy"}, {"ASL", nullptr}, {nullptr, nullptr},
    {nullptr, "zpgx"}, {"ORA", "zpgx"}, {"ASL", "zpgx"}, {nullptr, "zpgx"},
    {"CLC", "impl"}, {"ORA", "absy"}, {"ASL", "impl"}, {nullptr, nullptr},
    {nullptr, "absx"}, {"ORA", "absx"}, {"ASL", "absx"}, {nullptr, "absx"},
    // 2x
    {"JSR", "abs"}, {"AND", "xind"}, {"ROL", "imm"}, {nullptr, nullptr},
    {"BIT", "zpg"}, {"AND", "zpg"}, {"ROL", "zpg"}, {nullptr, "zpg"},
    {"PLP", "impl"}, {"AND", "imm"}, {"ROL", "acc"}, {nullptr, nullptr},
    {"BIT", "abs"}, {"AND", "abs"}, {"ROL", "abs"}, {nullptr, "abs"},
    // 3x
    {"BMI", "rel"}, {"AND", "indy"}, {"ROL", nullptr}, {nullptr, nullptr},
    {nullptr, "zpgx"}, {"AND", "zpgx"}, {"ROL", "zpgx"}, {nullptr, "zpgx"},
    {"SEC", "impl"}, {"AND", "absy"}, {"ROL", "impl"}, {nullptr, nullptr},
    {nullptr, "absx"}, {"AND", "absx"}, {"ROL", "absx"}, {nullptr, "absx"},
    // 4x
    {"RTI", "impl"}, {"EOR", "xind"}, {"LSR", "imm"}, {nullptr, nullptr},
    {nullptr, "zpg"}, {"EOR", "zpg"}, {"LSR", "zpg"}, {nullptr, "zpg"},
    {"PHA", "impl"}, {"EOR", "imm"}, {"LSR", "acc"}, {nullptr, nullptr},
    {"JMP", "abs"}, {"EOR", "abs"}, {"LSR", "abs"}, {nullptr, "abs"},
    // 5x
    {"BVC", "rel"}, {"EOR", "indy"}, {"LSR", nullptr}, {nullptr, nullptr},
    {nullptr, "zpgx"}, {"EOR", "zpgx"}, {"LSR", "zpgx"}, {nullptr, "zpgx"},
    {"CLI", "impl"}, {"EOR", "absy"}, {"LSR", "impl"}, {nullptr, nullptr},
    {nullptr, "absx"}, {"EOR", "absx"}, {"LSR", "absx"}, {nullptr, "absx"},
    // 6x
    {"RTS", "impl"}, {"ADC", "xind"}, {"ROR", "imm"}, {nullptr, nullptr},
    {nullptr, "zpg"}, {"ADC", "zpg"}, {"ROR", "zpg"}, {nullptr, "zpg"},
    {"PLA", "impl"}, {"ADC", "imm"}, {"ROR", "acc"}, {nullptr, nullptr},
    {"JMP", "ind"}, {"ADC", "abs"}, {"ROR", "abs"}, {nullptr, "abs"},
    // 7x
    {"BVS", "rel"}, {"ADC", "indy"}, {"ROR", nullptr}, {nullptr, nullptr},
    {nullptr, "zpgx"}, {"ADC", "zpgx"}, {"ROR", "zpgx"}, {nullptr, "zpgx"},
    {"SEI", "impl"}, {"ADC", "absy"}, {"ROR", "impl"}, {nullptr, nullptr},
    {nullptr, "absx"}, {"ADC", "absx"}, {"ROR", "absx"}, {nullptr, "absx"},
    // 8x
    {nullptr, nullptr}, {"STA", "xind"}, {"STX", "imm"}, {nullptr, nullptr},
    {"STY", "zpg"}, {"STA", "zpg"}, {"STX", "zpg"}, {nullptr, "zpg"},
    {"DEY", "impl"}, {"STA", "imm"}, {"TXA", "impl"}, {nullptr, nullptr},
    {"STY", "abs"}, {"STA", "abs"}, {"STX", "abs"}, {nullptr, "abs"},
    // 9x
    {"BCC", "rel"}, {"STA", "indy"}, {"STX", nullptr}, {nullptr, nullptr},
    {"STY", "zpgx"}, {"STA", "zpgx"}, {"STX", "zpgy"}, {nullptr, "zpgx"},
    {"TYA", "impl"}, {"STA", "absy"}, {"TXS", "impl"}, {nullptr, nullptr},
    {nullptr, "absx"}, {"STA", "absx"}, {"STX", "absx"}, {nullptr, "absx"},
    // Ax
    {"LDY", "imm"}, {"LDA", "xind"}, {"LDX", "imm"}, {nullptr, nullptr},
    {"LDY", "zpg"}, {"LDA", "zpg"}, {"LDX", "zpg"}, {nullptr, "zpg"},
    {"TAY", "impl"}, {"LDA", "imm"}, {"TAX", "impl"}, {nullptr, nullptr},
    {"LDY", "abs"}, {"LDA", "abs"}, {"LDX", "abs"}, {nullptr, "abs"},
    // Bx
    {"BCS", "rel"}, {"LDA", "indy"}, {"LDX", nullptr}, {nullptr, nullptr},
    {"LDY", "zpgx"}, {"LDA", "zpgx"}, {"LDX", "zpgy"}, {nullptr, "zpgx"},
    {"CLV", "impl"}, {"LDA", "absy"}, {"TSX", "impl"}, {nullptr, nullptr},
    {"LDY", "absx"}, {"LDA", "absx"}, {"LDX", "absy"}, {nullptr, "absx"},
    // Cx
    {"CPY", "imm"}, {"CMP", "xind"}, {"DEC", "imm"}, {nullptr, nullptr},
    {"CPY", "zpg"}, {"CMP", "zpg"}, {"DEC", "zpg"}, {nullptr, "zpg"},
    {"INY", "impl"}, {"CMP", "imm"}, {"DEX", "impl"}, {nullptr, nullptr},
    {"CPY", "abs"}, {"CMP", "abs"}, {"DEC", "abs"}, {nullptr, "abs"},
    // Dx
    {"BNE", "rel"}, {"CMP", "indy"}, {"DEC", nullptr}, {nullptr, nullptr},
    {nullptr, "zpgx"}, {"CMP", "zpgx"}, {"DEC", "zpgx"}, {nullptr, "zpgx"},
    {"CLD", "impl"}, {"CMP", "absy"}, {"DEC", "impl"}, {nullptr, nullptr},
    {nullptr, "absx"}, {"CMP", "absx"}, {"DEC", "absx"}, {nullptr, "absx"},
    // Ex
    {"CPX", "imm"}, {"SBC", "xind"}, {"INC", "imm"}, {nullptr, nullptr},
    {"CPX", "zpg"}, {"SBC", "zpg"}, {"INC", "zpg"}, {nullptr, "zpg"},
    {"INX", "impl"}, {"SBC", "imm"}, {"NOP", "impl"}, {nullptr, nullptr},
    {"CPX", "abs"}, {"SBC", "abs"}, {"INC", "abs"}, {nullptr, "abs"},
    // Fx
    {"BEQ", "rel"}, {"SBC", "indy"}, {"INC", nullptr}, {nullptr, nullptr},
    {nullptr, "zpgx"}, {"SBC", "zpgx"}, {"INC", "zpgx"}, {nullptr, "zpgx"},
    {"SED", "impl"}, {"SBC", "absy"}, {"INC", "impl"}, {nullptr, nullptr},
    {nullptr, "absx"}, {"SBC", "absx"}, {"INC", "absx"}, {nullptr, "absx"},
};

// Cycles per opcode, one digit each; the second table holds the count when indexing crosses a page.
constexpr char CYCLES[] =
    "7608335532224466"  // 0x
    "0508446624274477"  // 1x
    "6608335542224466"  // 2x
    "0508446624274477"  // 3x
    "6608335532223466"  // 4x
    "0508446624274477"  // 5x
    "6608335542225466"  // 6x
    "0508446624274477"  // 7x
    "2626333322224444"  // 8x
    "0606444425255555"  // 9x
    "2626333322224444"  // Ax
    "0505444424244444"  // Bx
    "2628335522224466"  // Cx
    "0508446624274477"  // Dx
    "2628335522224466"  // Ex
    "0508446624274477";  // Fx
constexpr char CYCLES_PAGE_CROSS[] =
    "7608335532224466"  // 0x
    "0608446625275577"  // 1x
    "6608335542224466"  // 2x
    "0608446625275577"  // 3x
    "6608335532223466"  // 4x
    "0608446625275577"  // 5x
    "6608335542225466"  // 6x
    "0608446625275577"  // 7x
    "2626333322224444"  // 8x
    "0606444425255555"  // 9x
    "2626333322224444"  // Ax
    "0606444425255555"  // Bx
    "2628335522224466"  // Cx
    "0608446625275577"  // Dx
    "2628335522224466"  // Ex
    "0608446625275577";  // Fx
static_assert(sizeof CYCLES == 257 && sizeof CYCLES_PAGE_CROSS == 257, "one digit per opcode");

// Each operation and mode by name, as the CPU's member (the designed tables) and as the Core's
// (what the clock runs).
// clang-format off
#define CPU_OPERATIONS(X)                                                                                         \
    X(ADC) X(AND) X(ASL) X(BCC) X(BCS) X(BEQ) X(BIT) X(BMI) X(BNE) X(BPL) X(BRK) X(BVC) X(BVS) X(CLC) X(CLD)    \
    X(CLI) X(CLV) X(CMP) X(CPX) X(CPY) X(DEC) X(DEX) X(DEY) X(EOR) X(INC) X(INX) X(INY) X(JMP) X(JSR) X(LDA)    \
    X(LDX) X(LDY) X(LSR) X(NOP) X(ORA) X(PHA) X(PHP) X(PLA) X(PLP) X(ROL) X(ROR) X(RTI) X(RTS) X(SBC) X(SEC)    \
    X(SED) X(SEI) X(STA) X(STX) X(STY) X(TAX) X(TAY) X(TSX) X(TXA) X(TXS) X(TYA)
// Each mode with its `pc_step`, the opcode and the bytes the mode reads after it (0 for the
// accumulator: the mode leaves `pc_step` as it is, 1 within the clock), and whether it indexes
// a 16-bit address (and so sets `page_crossed`).
#define CPU_MODES(X)                                                                                              \
    X(acc, 0, false) X(imm, 2, false) X(zpg, 2, false) X(zpgx, 2, false) X(zpgy, 2, false) X(abs, 3, false)       \
    X(absx, 3, true) X(absy, 3, true) X(ind, 3, false) X(xind, 2, false) X(indy, 2, true) X(rel, 2, false)
// clang-format on

struct NamedOp {
    const char* name;
    CPU::Op op;
    void (Core::*core)(uint32_t);
};

struct NamedMode {
    const char* name;
    CPU::Mode mode;
    uint32_t (Core::*core)(uint32_t);
    uint8_t pc_step;
    bool indexes;
};

#define NAMED(name) {#name, &CPU::name, &Core::name},
#define NAMED_MODE(name, step, indexes) {#name, &CPU::name, &Core::name, step, indexes},
constexpr NamedOp OPERATIONS[] = {CPU_OPERATIONS(NAMED)};
constexpr NamedMode MODES[] = {CPU_MODES(NAMED_MODE)};
#undef NAMED_MODE
#undef NAMED

constexpr bool same_name(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

template <size_t N>
constexpr bool named_in(const char* const (&names)[N], const char* name) {
    for (const char* candidate : names)
        if (same_name(candidate, name)) return true;
    return false;
}

// Where an opcode's operation and mode function stand in the lists above, by name (-1: none;
// "impl" names no mode function).
template <typename Named, size_t N>
constexpr int index_of(const Named (&list)[N], const char* name) {
    if (name == nullptr) return -1;
    for (size_t i = 0; i < N; ++i)
        if (same_name(list[i].name, name)) return static_cast<int>(i);
    return -1;
}

constexpr int operation_index(unsigned code) { return index_of(OPERATIONS, OPCODES[code].mnemonic); }
constexpr int mode_index(unsigned code) { return index_of(MODES, OPCODES[code].mode); }

// How far the clock advances `PC` past an opcode and its operand bytes. BRK sets its own, as
// it skips a padding byte besides.
constexpr uint8_t BRK_STEP = 3;
constexpr uint8_t step_of(unsigned code) {
    return mode_index(code) < 0 || MODES[mode_index(code)].pc_step == 0 ? 1 : MODES[mode_index(code)].pc_step;
}
constexpr uint8_t step_after(unsigned code) {
    return operation_index(code) == index_of(OPERATIONS, "BRK") ? BRK_STEP : step_of(code);
}

constexpr CPU::Op operation_of(unsigned code) {
    return operation_index(code) < 0 ? nullptr : OPERATIONS[operation_index(code)].op;
}

constexpr CPU::Mode mode_of(unsigned code) { return mode_index(code) < 0 ? nullptr : MODES[mode_index(code)].mode; }

// Operations that only read their operand.
constexpr const char* READ_ONLY[] = {"ADC", "AND", "BIT", "CMP", "CPX", "CPY",
                                     "EOR", "LDA", "LDX", "LDY", "ORA", "SBC"};

constexpr bool reads_immediate(unsigned code) {
    return mode_index(code) >= 0 && same_name(OPCODES[code].mode, "imm") && OPCODES[code].mnemonic != nullptr &&
           named_in(READ_ONLY, OPCODES[code].mnemonic);
}

// Operations that may move PC other than past their operand bytes. Only these can close a
// loop: straight-line code that wraps from $FFFF to $0000 still needs one of them to come back.
constexpr const char* MOVES_PC[] = {"BCC", "BCS", "BEQ", "BMI", "BNE", "BPL", "BRK",
                                    "BVC", "BVS", "JMP", "JSR", "RTI", "RTS"};

constexpr bool moves_pc(unsigned code) {
    return OPCODES[code].mnemonic != nullptr && named_in(MOVES_PC, OPCODES[code].mnemonic);
}

// The one opcode whose mode reads an operand beyond its own bytes and zero page: JMP ($xxxx),
// whose pointer may lie anywhere.
constexpr unsigned JMP_INDIRECT = 0x6C;
constexpr bool only_jmp_reads_a_pointer() {
    for (unsigned code = 0; code < 256; ++code)
        if (OPCODES[code].mode != nullptr && same_name(OPCODES[code].mode, "ind") != (code == JMP_INDIRECT))
            return false;
    return true;
}
static_assert(only_jmp_reads_a_pointer(), "JMP_INDIRECT names the one opcode of the indirect mode");

}  // namespace

void CPU::define_opcodes() {
    for (unsigned code = 0; code < 256; ++code) {
        operations[code] = operation_of(code);
        mnemonics[code] = operations[code] != nullptr ? OPCODES[code].mnemonic : nullptr;
        mode_names[code] = OPCODES[code].mode;
        addressing_modes[code] = mode_of(code);
    }
}

void CPU::define_timings() {
    for (int code = 0; code < 256; ++code) {
        cycle_table[code] = static_cast<uint8_t>(CYCLES[code] - '0');
        cycle_table_page_cross[code] = static_cast<uint8_t>(CYCLES_PAGE_CROSS[code] - '0');
    }
}

// ---------------------------------------------------------------------------------------------
// Addressing modes: `next` is the address of the byte after the opcode.

namespace {
inline uint32_t word(uint32_t low, uint32_t high) { return low | high << 8; }
}  // namespace

CORE_INLINE void Core::set_zn(uint8_t r) {
    p = static_cast<uint8_t>((p & ~(CPU::FLAG_Z | CPU::FLAG_N)) | cpu.zero_negative.of[r]);
}

CORE_INLINE uint32_t Core::acc(uint32_t) { return ACC; }

// The operand byte itself; reads and writes fold its address as they do any other.
CORE_INLINE uint32_t Core::imm(uint32_t next) { return next; }

CORE_INLINE uint32_t Core::zpg(uint32_t next) { return operand(next); }

CORE_INLINE uint32_t Core::zpgx(uint32_t next) { return (operand(next) + x) & 0xFFu; }

CORE_INLINE uint32_t Core::zpgy(uint32_t next) { return (operand(next) + y) & 0xFFu; }

CORE_INLINE uint32_t Core::abs(uint32_t next) {
    const uint32_t low = operand(next);
    return word(low, operand((next + 1) & 0xFFFF));
}

CORE_INLINE uint32_t Core::absx(uint32_t next) {
    const uint32_t base = abs(next);
    page_crossed = (base & 0xFF) + x > 0xFF;
    return (base + x) & 0xFFFF;
}

CORE_INLINE uint32_t Core::absy(uint32_t next) {
    const uint32_t base = abs(next);
    page_crossed = (base & 0xFF) + y > 0xFF;
    return (base + y) & 0xFFFF;
}

// The pointer's high byte comes from the same page: JMP ($10FF) reads $10FF and $1000.
CORE_INLINE uint32_t Core::ind(uint32_t next) {
    const uint32_t pointer = word(mem[cpu.fold(next)], mem[cpu.fold((next + 1) & 0xFFFF)]);
    const uint32_t low = load(pointer);
    return word(low, load((pointer & 0xFF00) | ((pointer + 1) & 0xFF)));
}

CORE_INLINE uint32_t Core::xind(uint32_t next) {
    const uint32_t z = operand(next) + x;
    const uint32_t low = load(z & 0xFF);
    return word(low, load((z + 1) & 0xFF));
}

CORE_INLINE uint32_t Core::indy(uint32_t next) {
    const uint32_t z = operand(next);
    const uint32_t low = load(z);
    const uint32_t base = word(low, load((z + 1) & 0xFF));
    page_crossed = low + y > 0xFF;
    return (base + y) & 0xFFFF;
}

CORE_INLINE uint32_t Core::rel(uint32_t next) {
    const auto offset = static_cast<int8_t>(operand(next));
    return static_cast<uint32_t>(static_cast<int32_t>(pc) + offset) & 0xFFFF;
}

// ---------------------------------------------------------------------------------------------
// Operations: at is the effective address.

CORE_INLINE void Core::ADC(uint32_t at) {
    const uint32_t m = load(at);
    const uint32_t s = a + m + (p & CPU::FLAG_C);
    set_bit(CPU::FLAG_C, s > 0xFF);
    set_bit(CPU::FLAG_V, ((a ^ m) & 0x80) == 0 && ((a ^ s) & 0x80) != 0);
    a = static_cast<uint8_t>(s);
    set_zn(a);
}

CORE_INLINE void Core::SBC(uint32_t at) {
    const uint32_t m = load(at);
    const uint32_t d = (a + (p & CPU::FLAG_C) - m - 1) & 0xFFFF;
    set_bit(CPU::FLAG_C, d < 0x100);
    set_bit(CPU::FLAG_V, ((a ^ m) & 0x80) != 0 && ((a ^ d) & 0x80) != 0);
    a = static_cast<uint8_t>(d);
    set_zn(a);
}

CORE_INLINE void Core::AND(uint32_t at) { set_zn(a &= load(at)); }
CORE_INLINE void Core::ORA(uint32_t at) { set_zn(a |= load(at)); }
CORE_INLINE void Core::EOR(uint32_t at) { set_zn(a ^= load(at)); }

CORE_INLINE void Core::BIT(uint32_t at) {
    const uint8_t m = load(at);
    set_bit(CPU::FLAG_Z, (m & a) == 0);
    p = static_cast<uint8_t>((p & ~(CPU::FLAG_V | CPU::FLAG_N)) | (m & (CPU::FLAG_V | CPU::FLAG_N)));
}

CORE_INLINE void Core::compare(uint8_t reg, uint32_t at) {
    const uint8_t m = load(at);
    set_bit(CPU::FLAG_C, reg >= m);
    set_zn(static_cast<uint8_t>(reg - m));
}

CORE_INLINE void Core::CMP(uint32_t at) { compare(a, at); }
CORE_INLINE void Core::CPX(uint32_t at) { compare(x, at); }
CORE_INLINE void Core::CPY(uint32_t at) { compare(y, at); }

CORE_INLINE void Core::LDA(uint32_t at) { set_zn(a = load(at)); }
CORE_INLINE void Core::LDX(uint32_t at) { set_zn(x = load(at)); }
CORE_INLINE void Core::LDY(uint32_t at) { set_zn(y = load(at)); }

CORE_INLINE void Core::STA(uint32_t at) { store(at, a); }
CORE_INLINE void Core::STX(uint32_t at) { store(at, x); }
CORE_INLINE void Core::STY(uint32_t at) { store(at, y); }

CORE_INLINE void Core::INC(uint32_t at) {
    const auto r = static_cast<uint8_t>(load(at) + 1);
    store(at, r);
    set_zn(r);
}

CORE_INLINE void Core::DEC(uint32_t at) {
    const auto r = static_cast<uint8_t>(load(at) - 1);
    store(at, r);
    set_zn(r);
}

CORE_INLINE void Core::INX(uint32_t) { set_zn(++x); }
CORE_INLINE void Core::INY(uint32_t) { set_zn(++y); }
CORE_INLINE void Core::DEX(uint32_t) { set_zn(--x); }
CORE_INLINE void Core::DEY(uint32_t) { set_zn(--y); }

CORE_INLINE void Core::ASL(uint32_t at) {
    const uint8_t m = load(at);
    const auto r = static_cast<uint8_t>(m << 1);
    store(at, r);
    set_bit(CPU::FLAG_C, m & 0x80);
    set_zn(r);
}

CORE_INLINE void Core::LSR(uint32_t at) {
    const uint8_t m = load(at);
    const auto r = static_cast<uint8_t>(m >> 1);
    set_bit(CPU::FLAG_C, m & 1);
    store(at, r);
    set_zn(r);
}

CORE_INLINE void Core::ROL(uint32_t at) {
    const uint8_t m = load(at);
    const auto r = static_cast<uint8_t>(m << 1 | (p & CPU::FLAG_C));
    set_bit(CPU::FLAG_C, m & 0x80);
    store(at, r);
    set_zn(r);
}

CORE_INLINE void Core::ROR(uint32_t at) {
    const uint8_t m = load(at);
    const auto r = static_cast<uint8_t>((p & CPU::FLAG_C) << 7 | m >> 1);
    set_bit(CPU::FLAG_C, m & 1);
    store(at, r);
    set_zn(r);
}

CORE_INLINE void Core::TAX(uint32_t) { set_zn(x = a); }
CORE_INLINE void Core::TAY(uint32_t) { set_zn(y = a); }
CORE_INLINE void Core::TXA(uint32_t) { set_zn(a = x); }
CORE_INLINE void Core::TYA(uint32_t) { set_zn(a = y); }
CORE_INLINE void Core::TSX(uint32_t) { set_zn(x = sp); }
CORE_INLINE void Core::TXS(uint32_t) { sp = x; }

CORE_INLINE void Core::CLC(uint32_t) { p &= static_cast<uint8_t>(~CPU::FLAG_C); }
CORE_INLINE void Core::CLD(uint32_t) { p &= static_cast<uint8_t>(~CPU::FLAG_D); }
CORE_INLINE void Core::CLI(uint32_t) { p &= static_cast<uint8_t>(~CPU::FLAG_I); }
CORE_INLINE void Core::CLV(uint32_t) { p &= static_cast<uint8_t>(~CPU::FLAG_V); }
CORE_INLINE void Core::SEC(uint32_t) { p |= CPU::FLAG_C; }
CORE_INLINE void Core::SED(uint32_t) { p |= CPU::FLAG_D; }
CORE_INLINE void Core::SEI(uint32_t) { p |= CPU::FLAG_I; }

CORE_INLINE void Core::PHA(uint32_t) { push(a); }
CORE_INLINE void Core::PHP(uint32_t) { push(p | CPU::FLAG_B | CPU::FLAG_U); }
CORE_INLINE void Core::PLA(uint32_t) { set_zn(a = pull()); }
CORE_INLINE void Core::PLP(uint32_t) { p = pull(); }

// The clock adds pc_step after the operation, so jumps aim pc_step short of the target.
CORE_INLINE void Core::JMP(uint32_t at) { pc = (at - pc_step) & 0xFFFF; }

CORE_INLINE void Core::JSR(uint32_t at) {
    push_address(pc + pc_step - 1);  // the JSR's last byte
    pc = (at - pc_step) & 0xFFFF;
}

CORE_INLINE void Core::RTS(uint32_t) { pc = pull_address(); }

CORE_INLINE void Core::RTI(uint32_t) {
    p = pull();
    pc = (pull_address() - 1) & 0xFFFF;
}

CORE_INLINE void Core::BRK(uint32_t) {
    push_address(pc + pc_step + 1);  // skips the padding byte
    p |= CPU::FLAG_B | CPU::FLAG_U;
    push(p);
    p |= CPU::FLAG_I;
    pc_step = BRK_STEP;
    const uint32_t low = load(0xFFFE);
    pc = (word(low, load(0xFFFF)) - 3) & 0xFFFF;
}

CORE_INLINE void Core::NOP(uint32_t) {}

// Branches charge their own cycles: 2, plus 1 when taken, plus 1 more when the target lies in
// another page than the instruction after the branch (as the 6502 does: a branch at $xxFE into
// the next page pays no extra cycle).
CORE_INLINE void Core::branch(uint32_t target, bool taken) {
    cycles += 2;
    if (!taken) return;
    const uint32_t after = (pc + pc_step) & 0xFFFF;
    pc = target;
    const uint32_t next = (pc + pc_step) & 0xFFFF;
    cycles += (after ^ next) > 0xFF ? 2 : 1;  // the high bytes differ
}

CORE_INLINE void Core::BPL(uint32_t at) { branch(at, !(p & CPU::FLAG_N)); }
CORE_INLINE void Core::BMI(uint32_t at) { branch(at, p & CPU::FLAG_N); }
CORE_INLINE void Core::BVC(uint32_t at) { branch(at, !(p & CPU::FLAG_V)); }
CORE_INLINE void Core::BVS(uint32_t at) { branch(at, p & CPU::FLAG_V); }
CORE_INLINE void Core::BCC(uint32_t at) { branch(at, !(p & CPU::FLAG_C)); }
CORE_INLINE void Core::BCS(uint32_t at) { branch(at, p & CPU::FLAG_C); }
CORE_INLINE void Core::BNE(uint32_t at) { branch(at, !(p & CPU::FLAG_Z)); }
CORE_INLINE void Core::BEQ(uint32_t at) { branch(at, p & CPU::FLAG_Z); }

// ---------------------------------------------------------------------------------------------
// The clock. The two tables above describe the instruction set; the clock runs each opcode
// through a function made from them at compile time, which calls its mode and operation
// directly and knows its cycle count.

template <unsigned Code, bool Traced, bool Sampled>
CORE_INLINE bool Core::execute() {
    // Presence is decided by index: some compilers will not compare a member pointer with
    // null in a constant expression.
    constexpr int mode_at = mode_index(Code);
    constexpr int op_at = operation_index(Code);
    constexpr uint8_t base_cycles = static_cast<uint8_t>(CYCLES[Code] - '0');
    constexpr uint8_t crossed_cycles = static_cast<uint8_t>(CYCLES_PAGE_CROSS[Code] - '0');
    pc_step = step_of(Code);
    // Only an indexing mode sets `page_crossed`; one instruction at a time, it is cleared for the
    // others as it goes, while `run_fast` leaves that to `settle`.
    if constexpr (Traced && !(mode_at >= 0 && MODES[mode_at].indexes)) page_crossed = false;
    uint32_t at = (pc + 1) & 0xFFFF;
    if constexpr (mode_at >= 0) at = (this->*MODES[mode_at].core)(at);
    // What the operation reads: an immediate in plainly readable code is read here, as the
    // operand bytes of the other modes are; elsewhere the operation reads it from the bus, after
    // the NMI sampling.
    uint32_t operand_at = at;
    if constexpr (reads_immediate(Code)) {
        if (code_mask != 0) {
            immediate = mem[at & code_mask];
            operand_at = IMMEDIATE;
        }
    }
    // `page_crossed` tells of this instruction only after an indexing mode. Its cycles are
    // added after the operation, whose bus accesses take `cycles` for the instruction's start.
    constexpr bool branches = mode_at >= 0 && same_name(MODES[mode_at].name, "rel");
    const auto cost = [this] {
        if constexpr (base_cycles == crossed_cycles || mode_at < 0 || !MODES[mode_at].indexes)
            return base_cycles;
        else
            return page_crossed ? crossed_cycles : base_cycles;
    };

    if (!Sampled && !calm) sample_nmi();

    if (Traced && debug) trace(at, cost());
    if constexpr (op_at >= 0) (this->*OPERATIONS[op_at].core)(operand_at);
    // The table gives twelve undocumented opcodes no cycles; were time to stand still, code
    // made of them would keep a frame from ever ending. They take two, as an immediate does.
    // (A branch counts its own.)
    if constexpr (base_cycles == 0 && crossed_cycles == 0 && !branches)
        cycles += 2;
    else
        cycles += cost();
    pc = (pc + pc_step) & 0xFFFF;
    return nmi_input;
}

// clang-format off
// The 256 opcodes as `case`s of a switch on the opcode, each made by CASE(code), so that each
// opcode's `execute` is inlined there and reached by one jump.
#define CPU_CASE_ROW(CASE, row)                                                                     \
    CASE(row + 0x0) CASE(row + 0x1) CASE(row + 0x2) CASE(row + 0x3) CASE(row + 0x4) CASE(row + 0x5) \
    CASE(row + 0x6) CASE(row + 0x7) CASE(row + 0x8) CASE(row + 0x9) CASE(row + 0xA) CASE(row + 0xB) \
    CASE(row + 0xC) CASE(row + 0xD) CASE(row + 0xE) CASE(row + 0xF)
#define CPU_CASES(CASE)                                                                             \
    CPU_CASE_ROW(CASE, 0x00) CPU_CASE_ROW(CASE, 0x10) CPU_CASE_ROW(CASE, 0x20) CPU_CASE_ROW(CASE, 0x30) \
    CPU_CASE_ROW(CASE, 0x40) CPU_CASE_ROW(CASE, 0x50) CPU_CASE_ROW(CASE, 0x60) CPU_CASE_ROW(CASE, 0x70) \
    CPU_CASE_ROW(CASE, 0x80) CPU_CASE_ROW(CASE, 0x90) CPU_CASE_ROW(CASE, 0xA0) CPU_CASE_ROW(CASE, 0xB0) \
    CPU_CASE_ROW(CASE, 0xC0) CPU_CASE_ROW(CASE, 0xD0) CPU_CASE_ROW(CASE, 0xE0) CPU_CASE_ROW(CASE, 0xF0)
// clang-format on

template <bool Traced>
CORE_INLINE bool Core::dispatch(uint8_t code) {
#define CASE(code) \
    case code: return execute<code, Traced>();
    switch (code) { CPU_CASES(CASE) }
#undef CASE
    return false;  // every byte has its case
}

// One instruction; returns the NMI input it saw.
template <bool Traced>
CORE_INLINE bool Core::execute_next() {
    const bool nmi_now = dispatch<Traced>(fetch_opcode());
    ++cpu.instruction_count;
    return nmi_now;
}

// One instruction, then the interrupt it lets in.
template <bool Traced>
CORE_INLINE void Core::step() {
    const bool nmi_now = execute_next<Traced>();
    if (!calm) take_interrupt(nmi_now);
}

// NMI input: the enable bit now, AND the PPU's flag as seen one instruction earlier.
CORE_INLINE void Core::sample_nmi() {
    nmi_input = nmi_enabled && nmi_sample;
    nmi_sample = nmi_pending;
}

// The interrupt an instruction lets in: NMI on the input's rising edge, else IRQ while the
// line is raised.
CORE_INLINE void Core::take_interrupt(bool nmi_now) {
    if (nmi_now && !nmi_condition)
        interrupt(cpu.nmi_vector);
    else if (cpu.irq_line)
        start_irq();
    nmi_condition = nmi_now;
    calm = nmi_sample == nmi_pending && !(nmi_enabled && nmi_sample) && !nmi_condition && !cpu.irq_line;
}

CORE_INLINE void Core::interrupt(uint16_t vector) {
    push_address(pc);
    push(p);
    p |= CPU::FLAG_I;
    const uint32_t low = load(vector);
    pc = word(low, load((vector + 1u) & 0xFFFF));
}

CORE_INLINE void Core::start_irq() {
    if (p & CPU::FLAG_I) return;  // the line stays raised until the program clears I
    cpu.irq_line = 0;
    interrupt(cpu.irq_vector);
}

// The instructions keep neither `pc_step` nor `page_crossed` from one to the next (in `run_fast`
// the compiler then needs no register for them): where it stops, the opcode tells what they were.
template <unsigned Code>
CORE_INLINE void Core::settle() {
    pc_step = step_after(Code);
    if constexpr (!(mode_index(Code) >= 0 && MODES[mode_index(Code)].indexes)) page_crossed = false;
}

// The trace line shows the cycle count after the instruction's own cycles.
CORE_INLINE void Core::trace(uint32_t effective, uint8_t cost) {
    cycles += cost;
    flush();
    cpu.trace(location(effective));
    cycles -= cost;
}

// ---------------------------------------------------------------------------------------------
// The CPU's side: each call copies the registers into a Core and back.

// clang-format off
#define ON_FIELDS(name)                                                           \
    void CPU::name(Loc loc) {                                                     \
        Core core(*this);                                                         \
        core.name(core.address_of(loc));                                          \
        core.flush();                                                             \
    }
CPU_OPERATIONS(ON_FIELDS)
#undef ON_FIELDS
#define ON_FIELDS(name, step, indexes)                                            \
    Loc CPU::name(Loc p) {                                                        \
        Core core(*this);                                                         \
        if (step != 0) core.pc_step = step;                                       \
        const uint32_t at = core.name(core.address_of(p));                        \
        core.flush();                                                             \
        return core.location(at);                                                 \
    }
CPU_MODES(ON_FIELDS)
#undef ON_FIELDS
// clang-format on

void CPU::clock() {
    Core core(*this);
    core.step<true>();
    core.flush();
}

// At a move back of PC, or a stay: whether the loop may be waiting, so that `CPU::run` stops.
CORE_INLINE bool Core::loop_may_wait() {
    // A loop that touched the bus since it last came here is not waiting; most loops do,
    // and for them the registers need no look (a waiting loop is then seen a round later).
    const uint64_t effects = cpu.bus_effects - cpu.status_reads;
    if (effects != cpu.back_effects) {
        cpu.back_effects = effects;
        cpu.back_round = ~uint64_t{0};
        return false;
    }
    // Nor is one that changed A, X or Y (the console looks at the flags and the stack too).
    const uint64_t round = pc | uint64_t{a} << 17 | uint64_t{x} << 25 | uint64_t{y} << 33;
    if (round == cpu.back_round) return true;
    cpu.back_round = round;
    return false;
}

// `CPU::run`'s loop through the clock, which prints the trace lines; returns where the last
// instruction began.
CORE_INLINE uint32_t Core::run_clocked() {
    for (;;) {
        const uint32_t pc_before = pc;
        flush();
        cpu.clock();
        refill();
        if (cycles >= stop) return pc_before;
        if (pc <= pc_before && loop_may_wait()) return pc_before;
    }
}

// One instruction as the clock runs it, without the interrupt it lets in; returns the NMI input
// it saw. Out of line: `run_fast` needs it only after a bus access, and rarely.
namespace {
[[gnu::noinline]] bool execute_clocked(CPU& cpu) {
    Core core(cpu);
    const bool nmi_now = core.execute_next<true>();
    core.flush();
    return nmi_now;
}
}  // namespace

// The instruction at `pc` through `execute_clocked`.
CORE_INLINE void Core::clock_one() {
    flush();
    nmi_input = execute_clocked(cpu);
    refill();
}

// Whether the instruction at `pc` samples the NMI input as it would be sampled now: its opcode
// and operand bytes are plain memory, and its mode reads only those and zero page (JMP's
// pointer may lie anywhere).
CORE_INLINE bool Core::samples_as_now() const {
    const uint16_t mask = cpu.code_read_masks[pc >> 11];
    return mask != 0 && mem[pc & mask] != JMP_INDIRECT;
}

// `CPU::run`'s loop where nothing prints and no board looks at RAM: as `step`. Only where the
// interrupt inputs may have changed (after a bus access that left the Core) does it look at the
// interrupts, and then it samples the NMI input ahead of the next instruction, so that the
// instructions themselves never sample it. Each opcode's case ends the instruction itself, so
// that only where the loop may stop does it `settle` what the opcode left. Returns where the
// last instruction began.
CORE_INLINE uint32_t Core::run_fast() {
    // Stores and zero-page reads need not ask.
    if (!plain_ram_writes || !plain_ram_reads) __builtin_unreachable();
    // The first instruction may come after a bus access.
    uint32_t pc_before = pc;
    goto stopped;
    for (;;) {
        code_mask = cpu.code_read_masks[pc >> 11];
        if (code_mask != 0) {
            // An instruction that stops the loop, or may, leaves the switch; the others go on.
            // Only one that can close a loop is looked at for moving PC back; the others tell
            // where they began from where they end.
#define CASE(code)                                                             \
    case code: {                                                               \
        const uint32_t from = pc;                                              \
        execute<code, false, true>();                                          \
        ++cpu.instruction_count;                                               \
        if (cycles >= watch || (moves_pc(code) && pc <= from)) {               \
            settle<code>();                                                    \
            pc_before = moves_pc(code) ? from : (pc - step_of(code)) & 0xFFFF; \
            break;                                                             \
        }                                                                      \
        continue;                                                              \
    }
            switch (mem[pc & code_mask]) { CPU_CASES(CASE) }
#undef CASE
        } else {
            // Code the bus has to fetch (the NMI input was not sampled ahead of it). The clock
            // sets `pc_step` and `page_crossed` anew: the last instruction's are not kept.
            pc_before = pc;
            pc_step = 1;
            page_crossed = false;
            clock_one();
        }
        // The end of the instruction that began at `pc_before`.
        for (;;) {
            if (cycles >= watch) {
                if (!calm) take_interrupt(nmi_input);
                if (cycles >= stop) return pc_before;
                watch = calm ? stop : INT64_MIN;
                if (pc <= pc_before && loop_may_wait()) return pc_before;
            } else if (loop_may_wait()) {
                return pc_before;
            }
        stopped:
            if (calm) break;
            if (samples_as_now()) {
                sample_nmi();
                break;
            }
            pc_before = pc;
            clock_one();
        }
    }
}

Loc CPU::run(int64_t stop_cycle) {
    apu_ran = false;
    run_ends = false;
    Core core(*this);
    core.stop = stop_cycle;
    uint32_t last = 0;
    // The loop that runs instructions one by one through the clock serves where the trace
    // prints, or a board looks at RAM (none of the implemented boards does).
    if (debug || !core.plain_ram_writes || !core.plain_ram_reads) {
        last = core.run_clocked();
    } else {
        last = core.run_fast();
    }
    core.flush();
    return at(last);
}

void CPU::start_nmi() {
    Core core(*this);
    core.interrupt(nmi_vector);
    core.flush();
}

void CPU::start_irq() {
    Core core(*this);
    core.start_irq();
    core.flush();
}

void CPU::stack_push(uint8_t value) {
    Core core(*this);
    core.push(value);
    core.flush();
}

uint8_t CPU::stack_pull() {
    Core core(*this);
    const uint8_t value = core.pull();
    core.flush();
    return value;
}

Loc CPU::absolute_at(Loc p) { return abs(p); }

#undef CORE_INLINE

}  // namespace NES
