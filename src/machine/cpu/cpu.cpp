// Stub: replaced by the CPU implementation.
#include "machine/cpu/cpu.hpp"
namespace NES {
CPU::CPU() { init(false); }
CPU::CPU(bool d) { init(d); }
void CPU::init(bool d) { debug = d; context.cpu = this; }
uint8_t CPU::read(Loc loc, bool) { return *loc; }
void CPU::write(Loc loc, uint8_t value) { *loc = value; }
void CPU::map_memory(Loc&) const {}
bool CPU::get_flag(char) const { return false; }
void CPU::set_flag(char, bool) {}
void CPU::stack_push(uint8_t) {}
uint8_t CPU::stack_pull() { return 0; }
void CPU::set_controller(Controller* pad, uint8_t port) { if (port < 2) controllers[port] = pad; }
void CPU::clock() { cycle_count += 2; }
void CPU::start_nmi() {}
void CPU::start_irq() {}
void CPU::reset() {}
int32_t CPU::emulated_clock_speed(int64_t) const { return 0; }
void CPU::ins_str(char*, unsigned char) {}
void CPU::ins_str_mem(char*, uint8_t*, Loc) {}
void CPU::loadRom(ROM* r, bool) { rom = r; }
void CPU::branch(Loc, bool) {}
void CPU::oam_dma(uint8_t) {}
}  // namespace NES
