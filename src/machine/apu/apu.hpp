// The audio processor: five channels, the frame counter, mixing and the sample ring.
#pragma once

#include <atomic>
#include <cstdint>

#include "machine/common.hpp"

namespace NES {

class APU {
public:
    CPU* cpu = nullptr;

    struct Pulse {
        uint16_t pulse_period = 0;
        uint16_t pulse_timer = 0;
        uint8_t pulse_step = 0;
        int8_t pulse_output = 0;
        uint8_t env_start = 0, env_divider = 0, env_decay = 0;
        uint8_t length_counter = 0;
        uint8_t sweep_divider = 0, sweep_reload = 0, sweep_mute = 0;
    };
    Pulse pulse1, pulse2;

    uint16_t triangle_period = 0;
    uint16_t triangle_timer = 0;
    uint8_t triangle_step = 0;
    float triangle_output = 0.0f;
    uint8_t linear_counter = 0;
    uint8_t linear_reload = 0;
    uint8_t triangle_length = 0;

    uint16_t noise_shift = 1;
    int32_t noise_timer = 0;
    uint8_t noise_output = 0;
    uint8_t noise_env_start = 0, noise_env_divider = 0, noise_env_decay = 0;
    uint8_t noise_length = 0;

    uint8_t dmc_flags = 0;
    uint16_t dmc_start = 0, dmc_length = 0, dmc_address = 0;
    uint16_t dmc_remaining = 0;
    uint8_t dmc_buffer = 0, dmc_shift = 0, dmc_bits = 8;
    uint8_t dmc_silence = 1, dmc_empty = 1;
    uint8_t dmc_level = 0;
    int16_t dmc_direct = -1;
    int32_t dmc_timer = 0;

    bool channel_enabled[5] = {false, false, false, false, false};

    Relaxed<uint64_t> apu_cycles{0};
    int64_t frame_origin = 0;
    uint8_t frame_irq = 0;

    // Sample generation
    int32_t sample_rate = 44100;
    int32_t apu_clock_rate = 894886;
    uint64_t samples_written = 0;
    int16_t* sample_buffer = nullptr;  // the block being filled
    int16_t* output_block = nullptr;   // the last complete block
    std::atomic<uint8_t> block_ready{0};

    APU();
    ~APU();
    APU(const APU&) = delete;
    APU& operator=(const APU&) = delete;

    void setCPU(CPU* cpu);
    void cycle();
    static uint8_t length_lookup(uint8_t index);
    void start_sample();
    void clock_envs();
    void clock_linear();
    void clock_length();
    void clock_sweep();
    uint16_t get_pulse_period(bool second) const;
    void set_pulse_period(uint16_t period, bool second);

    // Register side effects of a CPU write at $4000-$4017 (the byte is stored by the CPU).
    void write_register(uint16_t address, uint8_t value);
    // The $4015 read: bit 0 = pulse 1 length counter non-zero; clears the frame interrupt flag.
    uint8_t read_status();

    // Copies the newest complete block into out (BUFFER_LEN samples) and returns true,
    // or returns false when no new block is ready. Safe against the stepping thread.
    bool take_block(int16_t* out);
};

// The mixed sample for the current channel outputs.
int16_t mix(APU* apu);

}  // namespace NES
