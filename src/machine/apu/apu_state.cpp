// The APU's part of an in-memory snapshot.
#include <cstring>

#include "machine/apu/apu.hpp"
#include "machine/state_archive.hpp"

namespace NES {

namespace {

void pulse_fields(StateArchive& ar, APU::Pulse& p) {
    ar.num(p.pulse_period);
    ar.num(p.pulse_timer);
    ar.num(p.pulse_step, uint8_t{0}, uint8_t{7}, "APU pulse step");
    ar.num(p.env_start);
    ar.num(p.env_divider);
    ar.num(p.env_decay);
    ar.num(p.length_counter);
    ar.num(p.sweep_divider);
    ar.num(p.sweep_reload);
    ar.num(p.sweep_mute);
}

}  // namespace

void APU::state_fields(StateArchive& ar) {
    // The channel outputs are worked out afresh before every sample, so they do not travel.
    pulse_fields(ar, pulse1);
    pulse_fields(ar, pulse2);
    ar.num(triangle_period);
    ar.num(triangle_timer);
    ar.num(triangle_step, uint8_t{0}, uint8_t{31}, "APU triangle step");
    ar.num(linear_counter);
    ar.num(linear_reload);
    ar.num(triangle_length);
    ar.num(noise_shift);
    // Timers count up to at most the longest period of their table.
    ar.num(noise_timer, 0, 2033, "APU noise timer");
    ar.num(noise_env_start);
    ar.num(noise_env_divider);
    ar.num(noise_env_decay);
    ar.num(noise_length);
    ar.num(dmc_flags);
    ar.num(dmc_start);
    ar.num(dmc_length);
    ar.num(dmc_address);
    ar.num(dmc_remaining);
    ar.num(dmc_buffer);
    ar.num(dmc_shift);
    ar.num(dmc_bits, uint8_t{1}, uint8_t{8}, "APU DMC bits left");
    ar.num(dmc_silence);
    ar.num(dmc_empty);
    ar.num(dmc_level, uint8_t{0}, uint8_t{127}, "APU DMC level");
    ar.num(dmc_direct, int16_t{-1}, int16_t{127}, "APU DMC direct level");
    ar.num(dmc_timer, 0, 213, "APU DMC timer");
    for (bool& on : channel_enabled) ar.flag(on, "APU channel enable");
    ar.num(frame_origin, -MAX_COUNT, MAX_COUNT, "APU frame counter origin");
    ar.num(frame_irq);
    // The sample schedule's phase is the count of samples written against the cycle count
    // (which the console saves with the other counters); the plan is made again from them.
    ar.num(samples_written);
    // The block being filled and the finished block not yet taken (with its fresh mark).
    // Loading goes through two blocks of its own and hands the finished one over as the
    // stepping thread does, so a reader taking a block meanwhile gets a whole one.
    int16_t fill[BUFFER_LEN], spare[BUFFER_LEN];
    const bool loading = ar.mode() == StateArchive::Mode::load;
    const uint8_t ready = ar.reads_component() ? block_ready.load(std::memory_order_acquire) : 0;
    ar.memory_image(loading ? fill : ar.reads_component() ? sample_buffer : nullptr, sizeof fill);
    uint8_t fresh = (ready & BLOCK_FRESH) ? 1 : 0;
    ar.num(fresh, uint8_t{0}, uint8_t{1}, "APU fresh-block flag");
    ar.memory_image(loading ? spare : ar.reads_component() ? block(ready & BLOCK_INDEX) : nullptr, sizeof spare);
    if (loading) {
        std::memcpy(sample_buffer, spare, sizeof spare);
        const uint8_t mark = fresh ? BLOCK_FRESH : 0;
        const uint8_t old = block_ready.exchange(static_cast<uint8_t>(fill_index | mark), std::memory_order_acq_rel);
        fill_index = old & BLOCK_INDEX;
        sample_buffer = block(fill_index);
        std::memcpy(sample_buffer, fill, sizeof fill);
        frame_k = ~0ull;
        planned_written = ~0ull;
    }
}

}  // namespace NES
