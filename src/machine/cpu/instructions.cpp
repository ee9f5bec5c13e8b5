// Stub: replaced by the instruction set.
#include "machine/cpu/cpu.hpp"
namespace NES {
void CPU::define_opcodes() {}
void CPU::define_timings() {}
Loc CPU::acc(Loc p) { return p; }
Loc CPU::imm(Loc p) { return p; }
Loc CPU::zpg(Loc p) { return p; }
Loc CPU::zpgx(Loc p) { return p; }
Loc CPU::zpgy(Loc p) { return p; }
Loc CPU::abs(Loc p) { return p; }
Loc CPU::absx(Loc p) { return p; }
Loc CPU::absy(Loc p) { return p; }
Loc CPU::ind(Loc p) { return p; }
Loc CPU::xind(Loc p) { return p; }
Loc CPU::indy(Loc p) { return p; }
Loc CPU::rel(Loc p) { return p; }
void CPU::ADC(Loc) {}
void CPU::AND(Loc) {}
void CPU::ASL(Loc) {}
void CPU::BCC(Loc) {}
void CPU::BCS(Loc) {}
void CPU::BEQ(Loc) {}
void CPU::BIT(Loc) {}
void CPU::BMI(Loc) {}
void CPU::BNE(Loc) {}
void CPU::BPL(Loc) {}
void CPU::BRK(Loc) {}
void CPU::BVC(Loc) {}
void CPU::BVS(Loc) {}
void CPU::CLC(Loc) {}
void CPU::CLD(Loc) {}
void CPU::CLI(Loc) {}
void CPU::CLV(Loc) {}
void CPU::CMP(Loc) {}
void CPU::CPX(Loc) {}
void CPU::CPY(Loc) {}
void CPU::DEC(Loc) {}
void CPU::DEX(Loc) {}
void CPU::DEY(Loc) {}
void CPU::EOR(Loc) {}
void CPU::INC(Loc) {}
void CPU::INX(Loc) {}
void CPU::INY(Loc) {}
void CPU::JMP(Loc) {}
void CPU::JSR(Loc) {}
void CPU::LDA(Loc) {}
void CPU::LDX(Loc) {}
void CPU::LDY(Loc) {}
void CPU::LSR(Loc) {}
void CPU::NOP(Loc) {}
void CPU::ORA(Loc) {}
void CPU::PHA(Loc) {}
void CPU::PHP(Loc) {}
void CPU::PLA(Loc) {}
void CPU::PLP(Loc) {}
void CPU::ROL(Loc) {}
void CPU::ROR(Loc) {}
void CPU::RTI(Loc) {}
void CPU::RTS(Loc) {}
void CPU::SBC(Loc) {}
void CPU::SEC(Loc) {}
void CPU::SED(Loc) {}
void CPU::SEI(Loc) {}
void CPU::STA(Loc) {}
void CPU::STX(Loc) {}
void CPU::STY(Loc) {}
void CPU::TAX(Loc) {}
void CPU::TAY(Loc) {}
void CPU::TSX(Loc) {}
void CPU::TXA(Loc) {}
void CPU::TXS(Loc) {}
void CPU::TYA(Loc) {}
}  // namespace NES
