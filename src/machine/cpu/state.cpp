#include "machine/cpu/cpu.hpp"
namespace NES {
void CPU::save_state(std::FILE*) {}
bool CPU::load_state(std::FILE*) { return false; }
void CPU::save_ram(std::FILE*) {}
void CPU::load_ram(std::FILE*) {}
}  // namespace NES
