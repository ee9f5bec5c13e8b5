// The audio processor: five channels, the frame counter, mixing and the sample ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

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

    // Three blocks pass between the stepping thread and one reader without either waiting:
    // the stepping thread fills `sample_buffer`, the reader owns `output_block` (the block
    // it took last), and the third, the spare, is named by `block_ready`. Finishing a block
    // swaps it with the spare and marks the spare fresh; taking swaps the reader's block
    // with a fresh spare. Neither side ever touches a block the other one holds.
    static constexpr uint8_t BLOCK_INDEX = 0x03;  // block_ready bits: index of the spare
    static constexpr uint8_t BLOCK_FRESH = 0x80;  // block_ready bit: the spare is a new block
    int16_t* sample_buffer = nullptr;             // the block being filled (stepping thread)
    int16_t* output_block = nullptr;              // the block last handed out (reader)
    std::atomic<uint8_t> block_ready{2};

    APU();
    ~APU();
    APU(const APU&) = delete;
    APU& operator=(const APU&) = delete;

    void setCPU(CPU* cpu);
    void cycle();
    // Runs cycles as `cycle` does until `apu_cycles` reaches `until`. Between the frame
    // counter's steps the channels do not affect one another and a silent channel stays
    // silent, so only the audible ones move from sample to sample, each timer at once, and
    // the silent ones once at the end.
    void run(uint64_t until);
    // True when the APU must keep pace with the CPU instead of lagging behind it: the DMC may
    // raise its interrupt, which the CPU must see on time, or may fetch below $8000, where the
    // CPU writes RAM and reads ports without first bringing a lagging APU up to date.
    bool must_keep_pace() const {
        if (dmc_remaining == 0) return false;
        const bool low_fetch = dmc_address < 0x8000 || ((dmc_flags & 0x40) && dmc_start < 0x8000);
        return (dmc_flags & 0x80) || (channel_enabled[4] && low_fetch);
    }
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

    // Works out the channel outputs (pulse_output, triangle_output, noise_output) that the
    // cycle just run produced. The mixer is their only reader, so `cycle` does this only
    // when it takes a sample; between samples these fields hold the last sample's values.
    void refresh_outputs();

    // Copies the newest complete block into out (BUFFER_LEN samples) and returns true,
    // or returns false when no new block is ready. Safe against the stepping thread;
    // one reader at a time (the binding calls it under the interpreter lock).
    bool take_block(int16_t* out);

    // Every channel, the frame counter, the sample schedule and the audio blocks not yet
    // handed out, for in-memory snapshots (apu_state.cpp).
    void state_fields(StateArchive& ar);

private:
    void write_pulse_high(Pulse& p, uint8_t value, uint8_t timer_low);
    void write_triangle_high(uint8_t value, uint8_t timer_low);
    void write_noise_length(uint8_t value);
    void write_channel_enables(uint8_t value);
    void write_frame_counter(uint8_t value);

private:
    // The per-cycle steps, in the order `cycle` runs them.
    void func_frame_counter(uint64_t k);
    void pulse(Pulse& p);
    void triangle();
    void noise();
    void dmc();
    void sample_step(uint64_t k);
    void take_sample();
    void put_sample(int16_t level);
    void hand_out_full_block();
    void store_sample(int16_t level);
    void repeat_sample(int16_t level, uint64_t until);

    // A pulse's duty and volume; a volume of 0 while its output stays at 0.
    struct Voice {
        uint8_t duty = 0;
        int8_t volume = 0;
    };
    struct Stretch {
        Voice pulse1, pulse2;
        bool triangle = false;     // audible: its output follows its sequencer
        uint8_t noise_volume = 0;  // its output follows the shift register unless 0
        bool dmc = false;          // not idle: its level may move
    };
    Stretch plan_stretch() const;
    static Voice pulse_voice(const Pulse& p, uint8_t control, uint8_t sweep);
    void run_stretch(uint64_t k, uint64_t end);
    template <bool moving>
    void run_channels(const Stretch& s, uint32_t n);
    bool refresh_moving(const Stretch& s);
    uint32_t steady_cycles(const Stretch& s) const;
    static uint32_t pulse_steady(const Pulse& p, Voice voice);
    uint32_t triangle_steady() const;
    uint32_t noise_steady() const;
    void run_pulse(Pulse& p, uint32_t n);
    void run_triangle(uint32_t n);
    void run_noise(uint32_t n);
    void run_dmc(uint32_t n);
    // Silent, no direct load waiting and no fetch to make: only the DMC's timer counts.
    bool dmc_idle() const {
        return dmc_silence && dmc_direct == -1 && !(channel_enabled[4] && dmc_empty && dmc_remaining != 0);
    }

    void clock_triangle_timer();
    static bool pulse_silent(const Pulse& p, uint8_t sweep);
    static unsigned playing_step(const Pulse& p);
    static int8_t pulse_level(const Pulse& p, Voice voice);
    void refresh_pulse(Pulse& p, uint8_t control, uint8_t sweep);
    bool triangle_audible() const;
    float triangle_level() const;
    uint8_t noise_volume(uint8_t control) const;
    uint8_t noise_level(uint8_t volume) const;
    void work_out_outputs();
    void dmc_fetch();
    void dmc_output();
    void sweep_pulse1();
    void sweep_pulse2();
    int sweep_target(const Pulse& p, uint8_t sweep, bool ones_complement) const;
    void publish_block();
    void plan_samples();
    int16_t* block(uint8_t index) const { return blocks.get() + index * BUFFER_LEN; }

    std::unique_ptr<int16_t[]> blocks;  // three blocks of BUFFER_LEN samples
    uint8_t fill_index = 0;             // block of `sample_buffer`
    uint8_t taken_index = 1;            // block of `output_block`

    // The frame counter waits for its next step instead of taking the phase modulo the
    // period every cycle; the wait is planned again after every $4017 write and whenever
    // the cycle count or the mode is not what the plan was made for.
    void plan_frame_steps(uint64_t k);
    uint64_t frame_k = ~0ull;  // the cycle the plan expects next
    uint8_t frame_mode = 0;    // $4017 bit 7 the plan was made with
    int64_t frame_wait = 0;    // cycles before the step
    int64_t frame_step = 0;    // phase of that step

    // Sample schedule: the first cycle k at which sample_rate * k / apu_clock_rate exceeds
    // samples_written, stepped by an exact remainder so no cycle divides.
    uint64_t next_sample_cycle = 0;
    uint64_t plan_remainder = 0;  // numerator of the fraction beyond next_sample_cycle
    uint64_t plan_step = 0, plan_step_remainder = 0;
    uint64_t planned_written = ~0ull;  // samples_written the plan belongs to
    int32_t planned_rate = 0, planned_clock = 0;
};

// The mixed sample for the current channel outputs.
int16_t mix(APU* apu);

}  // namespace NES
