// The 6502 instruction set: the opcode and cycle tables, the addressing modes and the
// operations. Decimal mode is not implemented: 'D' is stored and ignored, as on the NES.

#include "machine/cpu/cpu.hpp"
#include "machine/ppu/ppu.hpp"

namespace NES {

// The instruction set is inlined into each opcode's `execute`, and those into the dispatch.
#define INLINE [[gnu::always_inline]] inline

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

struct NamedOp {
    const char* name;
    CPU::Op op;
};

#define OP(name) {#name, &CPU::name}
constexpr NamedOp OPERATIONS[] = {
    OP(ADC), OP(AND), OP(ASL), OP(BCC), OP(BCS), OP(BEQ), OP(BIT), OP(BMI), OP(BNE), OP(BPL),
    OP(BRK), OP(BVC), OP(BVS), OP(CLC), OP(CLD), OP(CLI), OP(CLV), OP(CMP), OP(CPX), OP(CPY),
    OP(DEC), OP(DEX), OP(DEY), OP(EOR), OP(INC), OP(INX), OP(INY), OP(JMP), OP(JSR), OP(LDA),
    OP(LDX), OP(LDY), OP(LSR), OP(NOP), OP(ORA), OP(PHA), OP(PHP), OP(PLA), OP(PLP), OP(ROL),
    OP(ROR), OP(RTI), OP(RTS), OP(SBC), OP(SEC), OP(SED), OP(SEI), OP(STA), OP(STX), OP(STY),
    OP(TAX), OP(TAY), OP(TSX), OP(TXA), OP(TXS), OP(TYA),
};
#undef OP
// clang-format on

struct NamedMode {
    const char* name;
    CPU::Mode mode;
};

constexpr NamedMode MODES[] = {
    {"acc", &CPU::acc},   {"imm", &CPU::imm},   {"zpg", &CPU::zpg},   {"zpgx", &CPU::zpgx},
    {"zpgy", &CPU::zpgy}, {"abs", &CPU::abs},   {"absx", &CPU::absx}, {"absy", &CPU::absy},
    {"ind", &CPU::ind},   {"xind", &CPU::xind}, {"indy", &CPU::indy}, {"rel", &CPU::rel},
};

constexpr bool same_name(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
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

constexpr CPU::Op operation_of(unsigned code) {
    return operation_index(code) < 0 ? nullptr : OPERATIONS[operation_index(code)].op;
}

constexpr CPU::Mode mode_of(unsigned code) { return mode_index(code) < 0 ? nullptr : MODES[mode_index(code)].mode; }

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
// Addressing modes: p is the location of the byte after the opcode.

namespace {
inline uint32_t word(uint32_t low, uint32_t high) { return low | high << 8; }
}  // namespace

INLINE Loc CPU::acc(Loc) { return &A; }

// The operand byte itself; reads and writes fold its address as they do any other.
INLINE Loc CPU::imm(Loc p) {
    pc_step = 2;
    return p;
}

INLINE Loc CPU::zpg(Loc p) {
    pc_step = 2;
    return at(read(p, true));
}

INLINE Loc CPU::zpgx(Loc p) {
    pc_step = 2;
    return at((read(p, true) + X) & 0xFFu);
}

INLINE Loc CPU::zpgy(Loc p) {
    pc_step = 2;
    return at((read(p, true) + Y) & 0xFFu);
}

INLINE Loc CPU::abs(Loc p) {
    pc_step = 3;
    const uint32_t low = read(p, true);
    return at(word(low, read(at(static_cast<uint32_t>(get_addr(p)) + 1), true)));
}

INLINE Loc CPU::absx(Loc p) {
    const uint32_t base = static_cast<uint32_t>(get_addr(abs(p)));
    page_crossed = (base & 0xFF) + X > 0xFF;
    return at(base + X);
}

INLINE Loc CPU::absy(Loc p) {
    const uint32_t base = static_cast<uint32_t>(get_addr(abs(p)));
    page_crossed = (base & 0xFF) + Y > 0xFF;
    return at(base + Y);
}

// The pointer's high byte comes from the same page: JMP ($10FF) reads $10FF and $1000.
INLINE Loc CPU::ind(Loc p) {
    pc_step = 3;
    const uint32_t operand = static_cast<uint32_t>(get_addr(p));
    const uint32_t pointer = word(memory[fold(operand)], memory[fold((operand + 1) & 0xFFFF)]);
    const uint32_t low = read(at(pointer), true);
    return at(word(low, read(at((pointer & 0xFF00) | ((pointer + 1) & 0xFF)), true)));
}

INLINE Loc CPU::xind(Loc p) {
    pc_step = 2;
    const uint32_t z = read(p, true) + X;
    const uint32_t low = read(at(z & 0xFF), true);
    return at(word(low, read(at((z + 1) & 0xFF), true)));
}

INLINE Loc CPU::indy(Loc p) {
    pc_step = 2;
    const uint32_t z = read(p, true);
    const uint32_t low = read(at(z), true);
    const uint32_t base = word(low, read(at((z + 1) & 0xFF), true));
    page_crossed = low + Y > 0xFF;
    return at(base + Y);
}

INLINE Loc CPU::rel(Loc p) {
    pc_step = 2;
    const auto offset = static_cast<int8_t>(read(p, true));
    return at(static_cast<uint32_t>(get_addr(PC) + offset));
}

// ---------------------------------------------------------------------------------------------
// Operations: loc is the effective location.

INLINE void CPU::ADC(Loc loc) {
    const uint32_t m = read(loc, true);
    const uint32_t s = A + m + (P & FLAG_C);
    set_bit(FLAG_C, s > 0xFF);
    set_bit(FLAG_V, ((A ^ m) & 0x80) == 0 && ((A ^ s) & 0x80) != 0);
    A = static_cast<uint8_t>(s);
    set_zn(A);
}

INLINE void CPU::SBC(Loc loc) {
    const uint32_t m = read(loc, true);
    const uint32_t d = (A + (P & FLAG_C) - m - 1) & 0xFFFF;
    set_bit(FLAG_C, d < 0x100);
    set_bit(FLAG_V, ((A ^ m) & 0x80) != 0 && ((A ^ d) & 0x80) != 0);
    A = static_cast<uint8_t>(d);
    set_zn(A);
}

INLINE void CPU::AND(Loc loc) { set_zn(A &= read(loc, true)); }
INLINE void CPU::ORA(Loc loc) { set_zn(A |= read(loc, true)); }
INLINE void CPU::EOR(Loc loc) { set_zn(A ^= read(loc, true)); }

INLINE void CPU::BIT(Loc loc) {
    const uint8_t m = read(loc, true);
    set_bit(FLAG_Z, (m & A) == 0);
    P = static_cast<uint8_t>((P & ~(FLAG_V | FLAG_N)) | (m & (FLAG_V | FLAG_N)));
}

INLINE void CPU::compare(uint8_t reg, Loc loc) {
    const uint8_t m = read(loc, true);
    set_bit(FLAG_C, reg >= m);
    set_zn(static_cast<uint8_t>(reg - m));
}

INLINE void CPU::CMP(Loc loc) { compare(A, loc); }
INLINE void CPU::CPX(Loc loc) { compare(X, loc); }
INLINE void CPU::CPY(Loc loc) { compare(Y, loc); }

INLINE void CPU::LDA(Loc loc) { set_zn(A = read(loc, true)); }
INLINE void CPU::LDX(Loc loc) { set_zn(X = read(loc, true)); }
INLINE void CPU::LDY(Loc loc) { set_zn(Y = read(loc, true)); }

INLINE void CPU::STA(Loc loc) { write(loc, A); }
INLINE void CPU::STX(Loc loc) { write(loc, X); }
INLINE void CPU::STY(Loc loc) { write(loc, Y); }

INLINE void CPU::INC(Loc loc) {
    const auto r = static_cast<uint8_t>(read(loc, true) + 1);
    write(loc, r);
    set_zn(r);
}

INLINE void CPU::DEC(Loc loc) {
    const auto r = static_cast<uint8_t>(read(loc, true) - 1);
    write(loc, r);
    set_zn(r);
}

INLINE void CPU::INX(Loc) { set_zn(++X); }
INLINE void CPU::INY(Loc) { set_zn(++Y); }
INLINE void CPU::DEX(Loc) { set_zn(--X); }
INLINE void CPU::DEY(Loc) { set_zn(--Y); }

INLINE void CPU::ASL(Loc loc) {
    const uint8_t m = read(loc, true);
    const auto r = static_cast<uint8_t>(m << 1);
    write(loc, r);
    set_bit(FLAG_C, m & 0x80);
    set_zn(r);
}

INLINE void CPU::LSR(Loc loc) {
    const uint8_t m = read(loc, true);
    const auto r = static_cast<uint8_t>(m >> 1);
    set_bit(FLAG_C, m & 1);
    write(loc, r);
    set_zn(r);
}

INLINE void CPU::ROL(Loc loc) {
    const uint8_t m = read(loc, true);
    const auto r = static_cast<uint8_t>(m << 1 | (P & FLAG_C));
    set_bit(FLAG_C, m & 0x80);
    write(loc, r);
    set_zn(r);
}

INLINE void CPU::ROR(Loc loc) {
    const uint8_t m = read(loc, true);
    const auto r = static_cast<uint8_t>((P & FLAG_C) << 7 | m >> 1);
    set_bit(FLAG_C, m & 1);
    write(loc, r);
    set_zn(r);
}

INLINE void CPU::TAX(Loc) { set_zn(X = A); }
INLINE void CPU::TAY(Loc) { set_zn(Y = A); }
INLINE void CPU::TXA(Loc) { set_zn(A = X); }
INLINE void CPU::TYA(Loc) { set_zn(A = Y); }
INLINE void CPU::TSX(Loc) { set_zn(X = SP); }
INLINE void CPU::TXS(Loc) { SP = X; }

INLINE void CPU::CLC(Loc) { P &= static_cast<uint8_t>(~FLAG_C); }
INLINE void CPU::CLD(Loc) { P &= static_cast<uint8_t>(~FLAG_D); }
INLINE void CPU::CLI(Loc) { P &= static_cast<uint8_t>(~FLAG_I); }
INLINE void CPU::CLV(Loc) { P &= static_cast<uint8_t>(~FLAG_V); }
INLINE void CPU::SEC(Loc) { P |= FLAG_C; }
INLINE void CPU::SED(Loc) { P |= FLAG_D; }
INLINE void CPU::SEI(Loc) { P |= FLAG_I; }

INLINE void CPU::PHA(Loc) { stack_push(A); }
INLINE void CPU::PHP(Loc) { stack_push(P | FLAG_B | FLAG_U); }
INLINE void CPU::PLA(Loc) { set_zn(A = stack_pull()); }
INLINE void CPU::PLP(Loc) { P = stack_pull(); }

// The clock adds pc_step after the operation, so jumps aim pc_step short of the target.
INLINE void CPU::JMP(Loc loc) { PC = at(static_cast<uint32_t>(get_addr(loc)) - pc_step); }

INLINE void CPU::JSR(Loc loc) {
    push_address(static_cast<uint32_t>(get_addr(PC)) + pc_step - 1);  // the JSR's last byte
    PC = at(static_cast<uint32_t>(get_addr(loc)) - pc_step);
}

INLINE void CPU::RTS(Loc) { PC = at(pull_address()); }

INLINE void CPU::RTI(Loc) {
    P = stack_pull();
    PC = at(pull_address() - 1);
}

INLINE void CPU::BRK(Loc) {
    push_address(static_cast<uint32_t>(get_addr(PC)) + pc_step + 1);  // skips the padding byte
    P |= FLAG_B | FLAG_U;
    stack_push(P);
    P |= FLAG_I;
    pc_step = 3;
    const uint32_t low = read(at(0xFFFE), true);
    PC = at(word(low, read(at(0xFFFF), true)) - 3);
}

INLINE void CPU::NOP(Loc) {}

// Branches charge their own cycles: 2, plus 1 when taken, plus 1 more when the target lies in
// another page than the instruction after the branch (as the 6502 does: a branch at $xxFE into
// the next page pays no extra cycle).
INLINE void CPU::branch(Loc target, bool taken) {
    int64_t cycles = 2;
    if (taken) {
        const uint32_t after = (static_cast<uint32_t>(get_addr(PC)) + pc_step) & 0xFFFF;
        PC = target;
        const uint32_t next = (static_cast<uint32_t>(get_addr(PC)) + pc_step) & 0xFFFF;
        cycles += (after >> 8) != (next >> 8) ? 2 : 1;
    }
    cycle_count.store(cycle_count.load() + cycles);
}

INLINE void CPU::BPL(Loc loc) { branch(loc, !(P & FLAG_N)); }
INLINE void CPU::BMI(Loc loc) { branch(loc, P & FLAG_N); }
INLINE void CPU::BVC(Loc loc) { branch(loc, !(P & FLAG_V)); }
INLINE void CPU::BVS(Loc loc) { branch(loc, P & FLAG_V); }
INLINE void CPU::BCC(Loc loc) { branch(loc, !(P & FLAG_C)); }
INLINE void CPU::BCS(Loc loc) { branch(loc, P & FLAG_C); }
INLINE void CPU::BNE(Loc loc) { branch(loc, !(P & FLAG_Z)); }
INLINE void CPU::BEQ(Loc loc) { branch(loc, P & FLAG_Z); }

// ---------------------------------------------------------------------------------------------
// The clock. The two tables above describe the instruction set; the clock runs each opcode
// through a function made from them at compile time, which calls its mode and operation
// directly (the compiler may inline them) and knows its cycle count.

template <unsigned Code>
INLINE bool CPU::execute(Loc loc) {
    // Presence is decided by index: some compilers will not compare a member pointer with
    // null in a constant expression.
    constexpr int mode_at = mode_index(Code);
    constexpr int op_at = operation_index(Code);
    constexpr uint8_t cycles = static_cast<uint8_t>(CYCLES[Code] - '0');
    constexpr uint8_t cycles_crossed = static_cast<uint8_t>(CYCLES_PAGE_CROSS[Code] - '0');
    page_crossed = false;
    if constexpr (mode_at >= 0) {
        constexpr Mode mode = MODES[mode_at].mode;
        loc = (this->*mode)(loc);
    }
    if constexpr (cycles == cycles_crossed)
        cycle_count.store(cycle_count.load() + cycles);
    else
        cycle_count.store(cycle_count.load() + (page_crossed ? cycles_crossed : cycles));

    // NMI input: the enable bit now, AND the PPU's flag as seen one instruction earlier.
    const bool nmi_now = (memory[0x2000] & 0x80) && nmi_sample;
    nmi_sample = ppu ? ppu->nmi_pending : 0;

    if (debug) trace(loc);
    if constexpr (op_at >= 0) {
        constexpr Op op = OPERATIONS[op_at].op;
        (this->*op)(loc);
    }
    // The table gives twelve undocumented opcodes no cycles; were time to stand still, code
    // made of them would keep a frame from ever ending. They take two, as an immediate does.
    if constexpr (cycles == 0 && cycles_crossed == 0)
        if (cycle_count.load() == instruction_start) cycle_count.store(instruction_start + 2);
    return nmi_now;
}

// A switch, so that each opcode's `execute` is inlined here and reached by one jump.
INLINE bool CPU::dispatch(uint8_t opcode, Loc loc) {
    // clang-format off
#define CASE(code) case code: return execute<code>(loc);
#define CASES(row)                                                                                  \
    CASE(row + 0x0) CASE(row + 0x1) CASE(row + 0x2) CASE(row + 0x3) CASE(row + 0x4) CASE(row + 0x5) \
    CASE(row + 0x6) CASE(row + 0x7) CASE(row + 0x8) CASE(row + 0x9) CASE(row + 0xA) CASE(row + 0xB) \
    CASE(row + 0xC) CASE(row + 0xD) CASE(row + 0xE) CASE(row + 0xF)
    switch (opcode) {
        CASES(0x00) CASES(0x10) CASES(0x20) CASES(0x30) CASES(0x40) CASES(0x50) CASES(0x60) CASES(0x70)
        CASES(0x80) CASES(0x90) CASES(0xA0) CASES(0xB0) CASES(0xC0) CASES(0xD0) CASES(0xE0) CASES(0xF0)
    }
#undef CASES
#undef CASE
    // clang-format on
    return false;  // every byte has its case
}

INLINE void CPU::step() {
    instruction_start = cycle_count.load();
    pc_step = 1;
    const uint32_t pc = static_cast<uint32_t>(offset_of(PC));
    const uint8_t opcode = read(PC, true);
    const bool nmi_now = dispatch(opcode, at(pc + 1));
    ++instruction_count;
    PC = at(static_cast<uint32_t>(offset_of(PC)) + pc_step);

    if (nmi_now && !nmi_condition)
        start_nmi();
    else if (irq_line)
        start_irq();
    nmi_condition = nmi_now;
}

void CPU::clock() { step(); }

Loc CPU::run(int64_t stop_cycle) {
    apu_ran = false;
    for (;;) {
        const Loc pc_before = PC;
        step();
        if (cycle_count.load() >= stop_cycle || apu_ran) return pc_before;
        if (PC > pc_before) continue;
        // A loop that changed a register or the bus since it last came here is not waiting.
        const uint64_t round = offset_of(PC) | uint64_t{A} << 17 | uint64_t{X} << 25 | uint64_t{Y} << 33 |
                               uint64_t{P} << 41 | uint64_t{SP} << 49;
        const uint64_t effects = bus_effects - status_reads;
        if (round == back_round && effects == back_effects) return pc_before;
        back_round = round;
        back_effects = effects;
    }
}

Loc CPU::absolute_at(Loc p) { return abs(p); }

#undef INLINE

}  // namespace NES
