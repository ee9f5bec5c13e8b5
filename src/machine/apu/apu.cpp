// Stub: replaced by the APU implementation.
#include "machine/apu/apu.hpp"
#include "machine/cpu/cpu.hpp"
namespace NES {
APU::APU() : sample_buffer(new int16_t[BUFFER_LEN]()), output_block(new int16_t[BUFFER_LEN]()) {}
APU::~APU() { delete[] sample_buffer; delete[] output_block; }
void APU::setCPU(CPU* c) { cpu = c; apu_clock_rate = c->clock_speed / 2; }
void APU::cycle() { ++apu_cycles; }
uint8_t APU::length_lookup(uint8_t) { return 0; }
void APU::start_sample() {}
void APU::clock_envs() {}
void APU::clock_linear() {}
void APU::clock_length() {}
void APU::clock_sweep() {}
uint16_t APU::get_pulse_period(bool) const { return 0; }
void APU::set_pulse_period(uint16_t, bool) {}
void APU::write_register(uint16_t, uint8_t) {}
uint8_t APU::read_status() { return 0; }
bool APU::take_block(int16_t*) { return false; }
int16_t mix(APU*) { return 0; }
}  // namespace NES
