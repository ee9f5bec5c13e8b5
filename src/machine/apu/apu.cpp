// The audio processor. Its registers are bytes of the CPU's memory, read when needed;
// the CPU's write dispatch calls write_register for their side effects.
#include "machine/apu/apu.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>

#include "machine/cpu/cpu.hpp"

namespace NES {
namespace {

constexpr uint8_t DUTY[4][8] = {
    {0, 1, 0, 0, 0, 0, 0, 0},
    {0, 1, 1, 0, 0, 0, 0, 0},
    {0, 1, 1, 1, 1, 0, 0, 0},
    {1, 0, 0, 1, 1, 1, 1, 1},
};

// For each duty and step, how many of the steps after it give the same output.
constexpr auto SAME_STEPS_AFTER = [] {
    std::array<std::array<uint8_t, 8>, 4> same{};
    for (int d = 0; d < 4; ++d)
        for (int step = 0; step < 8; ++step)
            while (DUTY[d][(step + same[d][step] + 1) & 7] == DUTY[d][step]) ++same[d][step];
    return same;
}();

// 2 x (sequence value - 7.5) for the 32 triangle steps 15..0, 0..15.
constexpr float TRIANGLE_LEVEL[32] = {
    15,  13,  11,  9,  7,  5,  3,  1,  -1, -3, -5, -7, -9, -11, -13, -15,
    -15, -13, -11, -9, -7, -5, -3, -1, 1,  3,  5,  7,  9,  11,  13,  15,
};

// Timer periods in CPU cycles. The APU clocks these timers once per APU cycle, counting
// from 0 to half the period less one.
constexpr uint16_t NOISE_PERIOD[16] = {4, 8, 16, 32, 64, 96, 128, 160, 202, 254, 380, 508, 762, 1016, 2034, 4068};
constexpr uint16_t DMC_RATE[16] = {428, 380, 340, 320, 286, 254, 226, 214, 190, 160, 142, 128, 106, 84, 72, 54};

template <size_t N>
constexpr std::array<int32_t, N> last_counts(const uint16_t (&periods)[N]) {
    std::array<int32_t, N> last{};
    for (size_t i = 0; i < N; ++i) last[i] = periods[i] / 2 - 1;
    return last;
}
constexpr auto NOISE_LAST = last_counts(NOISE_PERIOD);
constexpr auto DMC_LAST = last_counts(DMC_RATE);

constexpr int64_t FOUR_STEP_PERIOD = 14916;
constexpr int64_t FIVE_STEP_PERIOD = 18640;
constexpr int64_t FIRST_QUARTER = 3729;
constexpr int64_t HALF = 7458;
constexpr int64_t THIRD_QUARTER = 11187;

// count := (count + 1) mod (last + 1); true when it became 0. Divides only when a
// register write left the count beyond the new period.
template <class T>
inline bool advance(T& count, T last) {
    if (count < last) {
        ++count;
        return false;
    }
    count = count == last ? T(0) : static_cast<T>((count + 1) % (last + 1));
    return count == 0;
}

inline uint16_t period_of(uint8_t high, uint8_t low) { return static_cast<uint16_t>(((high & 7) << 8) | low); }

// Envelope of a pulse or the noise channel; `reg` is its control byte (loop in bit 5).
inline void clock_envelope(uint8_t reg, uint8_t& start, uint8_t& divider, uint8_t& decay) {
    const uint8_t volume = reg & 15;
    if (start) {
        start = 0;
        decay = 15;
        divider = volume;
    } else if (divider != 0) {
        --divider;
    } else {
        divider = volume;
        if (decay != 0)
            --decay;
        else if (reg & 0x20)
            decay = 15;
    }
}

// The level of a pulse or the noise: the constant volume (bit 4 of the control byte) or the
// envelope's.
inline uint8_t envelope_volume(uint8_t control, uint8_t decay) {
    return static_cast<uint8_t>((control & 0x10) ? (control & 15) : decay);
}

inline void clock_length_counter(bool enabled, bool halt, uint8_t& counter) {
    if (!enabled)
        counter = 0;
    else if (!halt && counter != 0)
        --counter;
}

}  // namespace

APU::APU() : blocks(new int16_t[3 * BUFFER_LEN]()) {
    sample_buffer = block(fill_index);
    output_block = block(taken_index);
}

APU::~APU() = default;

void APU::setCPU(CPU* c) {
    cpu = c;
    apu_clock_rate = c->clock_speed / 2;
}

uint8_t APU::length_lookup(uint8_t index) {
    const unsigned i = index & 31u;
    if (i & 1) return static_cast<uint8_t>(i == 1 ? 254 : i - 1);
    if ((i & 15) <= 8) return static_cast<uint8_t>(((i & 16) ? 12 : 10) << ((i >> 1) & 7));
    switch (i) {
        case 10: return 60;
        case 12: return 14;
        case 14: return 26;
        case 26: return 72;
        case 28: return 16;
        default: return 32;  // 30
    }
}

void APU::start_sample() {
    dmc_address = dmc_start;
    dmc_remaining = dmc_length;
}

// ---------------------------------------------------------------- registers

void APU::write_register(uint16_t address, uint8_t value) {
    // Registers not named here act through the stored byte where the channels use it.
    const uint8_t* mem = cpu->memory;
    switch (address) {
        case 0x4001: pulse1.sweep_reload = 1; break;  // EPPP NSSS: sweep, reloaded next half frame
        case 0x4005: pulse2.sweep_reload = 1; break;
        case 0x4002: pulse1.pulse_period = period_of(mem[0x4003], value); break;  // timer low
        case 0x4006: pulse2.pulse_period = period_of(mem[0x4007], value); break;
        case 0x4003: write_pulse_high(pulse1, value, mem[0x4002]); break;
        case 0x4007: write_pulse_high(pulse2, value, mem[0x4006]); break;
        case 0x400A: triangle_period = period_of(mem[0x400B], value); break;  // timer low
        case 0x400B: write_triangle_high(value, mem[0x400A]); break;
        case 0x400F: write_noise_length(value); break;
        case 0x4010:
            dmc_flags = value;
            break;  // IL-- RRRR: irq, loop, rate
        // $4011 -DDD DDDD: the output level has seven bits; bit 7 is not part of it.
        case 0x4011: dmc_direct = static_cast<int16_t>(value & 0x7F); break;
        case 0x4012: dmc_start = static_cast<uint16_t>(0xC000 | ((value * 64) & 0x3FC0)); break;  // $C000 + 64A
        case 0x4013: dmc_length = static_cast<uint16_t>(((value * 16) & 0xFF0) | 1); break;       // 16L + 1 bytes
        case 0x4015: write_channel_enables(value); break;
        case 0x4017: write_frame_counter(value); break;
        default: break;
    }
}

// $4003/$4007 LLLL LHHH: length index and timer high; restarts the envelope.
void APU::write_pulse_high(Pulse& p, uint8_t value, uint8_t timer_low) {
    p.length_counter = length_lookup(static_cast<uint8_t>(value >> 3));
    p.pulse_period = period_of(value, timer_low);
    p.env_start = 1;
}

// $400B LLLL LHHH: length index and timer high; reloads the linear counter.
void APU::write_triangle_high(uint8_t value, uint8_t timer_low) {
    triangle_period = period_of(value, timer_low);
    triangle_length = length_lookup(static_cast<uint8_t>(value >> 3));
    linear_reload = 1;
}

// $400F LLLL L---: length index; restarts the envelope.
void APU::write_noise_length(uint8_t value) {
    noise_length = length_lookup(static_cast<uint8_t>(value >> 3));
    noise_env_start = 1;
}

// $4015 ---D NT21: a cleared bit silences its channel at once; enabling the DMC starts
// its sample when none is playing.
void APU::write_channel_enables(uint8_t value) {
    for (int c = 0; c < 5; ++c) channel_enabled[c] = (value >> c) & 1;
    if (!(value & 0x01)) pulse1.length_counter = 0;
    if (!(value & 0x02)) pulse2.length_counter = 0;
    if (!(value & 0x04)) triangle_length = 0;
    if (!(value & 0x08)) noise_length = 0;
    if (!(value & 0x10))
        dmc_remaining = 0;
    else if (dmc_remaining == 0)
        start_sample();
}

// $4017 MI-- ----: mode (1: five steps) and interrupt inhibit, read from the stored byte.
// The sequencer restarts so that the next cycle runs at phase 1; in five-step mode the
// write clocks every unit at once.
void APU::write_frame_counter(uint8_t value) {
    frame_origin = static_cast<int64_t>(apu_cycles.load()) - 1;
    frame_k = ~0ull;
    frame_irq = 0;
    if (value & 0x80) {
        clock_envs();
        clock_length();
        clock_linear();
        clock_sweep();
    }
}

uint8_t APU::read_status() {
    frame_irq = 0;
    return pulse1.length_counter != 0 ? 1 : 0;
}

uint16_t APU::get_pulse_period(bool second) const {
    const uint8_t* low = cpu->memory + (second ? 0x4006 : 0x4002);
    return period_of(low[1], low[0]);
}

void APU::set_pulse_period(uint16_t period, bool second) {
    (second ? pulse2 : pulse1).pulse_period = period;
    uint8_t* low = cpu->memory + (second ? 0x4006 : 0x4002);
    low[0] = static_cast<uint8_t>(period & 0xFF);
    low[1] = static_cast<uint8_t>((low[1] & 0xF8) | ((period >> 8) & 7));
}

// ---------------------------------------------------------------- frame counter clocks

void APU::clock_envs() {
    const uint8_t* mem = cpu->memory;
    clock_envelope(mem[0x4000], pulse1.env_start, pulse1.env_divider, pulse1.env_decay);
    clock_envelope(mem[0x4004], pulse2.env_start, pulse2.env_divider, pulse2.env_decay);
    clock_envelope(mem[0x400C], noise_env_start, noise_env_divider, noise_env_decay);
}

void APU::clock_linear() {
    const uint8_t control = cpu->memory[0x4008];
    if (linear_reload)
        linear_counter = control & 0x7F;
    else if (linear_counter != 0)
        --linear_counter;
    if (!(control & 0x80)) linear_reload = 0;
}

void APU::clock_length() {
    const uint8_t* mem = cpu->memory;
    clock_length_counter(channel_enabled[0], mem[0x4000] & 0x20, pulse1.length_counter);
    clock_length_counter(channel_enabled[1], mem[0x4004] & 0x20, pulse2.length_counter);
    clock_length_counter(channel_enabled[2], mem[0x4008] & 0x80, triangle_length);
    clock_length_counter(channel_enabled[3], mem[0x400C] & 0x20, noise_length);
}

void APU::clock_sweep() {
    sweep_pulse1();
    sweep_pulse2();
}

// Pulse 1 negates in two's complement, pulse 2 in ones' complement (one less).
int APU::sweep_target(const Pulse& p, uint8_t sweep, bool ones_complement) const {
    const int period = p.pulse_period;
    const int change = period >> (sweep & 7);
    if (sweep & 0x08) return period - change - (ones_complement ? 1 : 0);
    return period + change;
}

namespace {
// A negative target is 0; one beyond 16 bits stays at the top so that a rising sweep
// stays muted instead of wrapping back into the audible range.
inline uint16_t clamp_period(int target) { return static_cast<uint16_t>(std::clamp(target, 0, 0xFFFF)); }
}  // namespace

void APU::sweep_pulse1() {
    const uint8_t sweep = cpu->memory[0x4001];
    Pulse& p = pulse1;
    const int target = sweep_target(p, sweep, false);
    p.sweep_mute = target > 0x7FF || p.pulse_period < 8;
    if (p.sweep_divider == 0) {
        if (sweep & 0x80) set_pulse_period(clamp_period(target), false);
        p.sweep_reload = 0;
        p.sweep_divider = (sweep >> 4) & 7;
    } else if (p.sweep_reload) {
        p.sweep_reload = 0;
        p.sweep_divider = (sweep >> 4) & 7;
    } else {
        --p.sweep_divider;
    }
}

void APU::sweep_pulse2() {
    const uint8_t sweep = cpu->memory[0x4005];
    Pulse& p = pulse2;
    const int target = sweep_target(p, sweep, true);
    p.sweep_mute = target > 0x7FF || p.pulse_period < 8;
    if (p.sweep_divider != 0 && !p.sweep_reload) {
        --p.sweep_divider;
        return;
    }
    if (p.sweep_divider == 0 && (sweep & 0x80)) set_pulse_period(clamp_period(target), true);
    p.sweep_reload = 0;
    p.sweep_divider = (sweep >> 4) & 7;
}

// ---------------------------------------------------------------- one APU cycle

// The phase of cycle k is (k - frame_origin) mod period, the remainder taking the sign of
// the distance: while the origin lies ahead (after the counter was reset under it) only
// the multiples of the period land on a step.
void APU::plan_frame_steps(uint64_t k) {
    const uint8_t mode = cpu->memory[0x4017] & 0x80;
    const int64_t period = mode ? FIVE_STEP_PERIOD : FOUR_STEP_PERIOD;
    const int64_t distance = static_cast<int64_t>(k) - frame_origin;
    frame_k = k;
    frame_mode = mode;
    if (distance < 0) {
        frame_wait = -distance % period;
        frame_step = 0;
        return;
    }
    const int64_t phase = distance % period;
    int64_t next = period;
    if (phase == 0)
        next = 0;
    else if (phase <= FIRST_QUARTER)
        next = FIRST_QUARTER;
    else if (phase <= HALF)
        next = HALF;
    else if (phase <= THIRD_QUARTER)
        next = THIRD_QUARTER;
    frame_wait = next - phase;
    frame_step = next % period;
}

inline void APU::func_frame_counter(uint64_t k) {
    if (k != frame_k || (cpu->memory[0x4017] & 0x80) != frame_mode) plan_frame_steps(k);
    if (frame_wait != 0) {
        --frame_wait;
        frame_k = k + 1;
        return;
    }
    clock_envs();
    clock_linear();
    if (frame_step == HALF || frame_step == 0) {
        clock_length();
        clock_sweep();
        if (frame_step == 0 && !(cpu->memory[0x4017] & 0xC0)) frame_irq = 1;
    }
    plan_frame_steps(k + 1);
}

// The channel timers run every cycle; their outputs feed only the mixer, so they are
// worked out when a sample is taken (refresh_outputs), from the state this cycle left.

inline void APU::pulse(Pulse& p) {
    if (advance<uint16_t>(p.pulse_timer, p.pulse_period)) p.pulse_step = (p.pulse_step + 1) & 7;
}

inline void APU::clock_triangle_timer() {
    if (advance<uint16_t>(triangle_timer, triangle_period)) triangle_step = (triangle_step + 1) & 31;
}

// The triangle's timer runs at the CPU clock: twice per APU cycle; its output is the
// step between the two clocks.
inline void APU::triangle() {
    if (triangle_timer + 2u <= triangle_period) {  // neither clock wraps
        triangle_timer = static_cast<uint16_t>(triangle_timer + 2);
        return;
    }
    clock_triangle_timer();
    clock_triangle_timer();
}

inline void APU::noise() {
    const uint8_t mode = cpu->memory[0x400E];
    if (noise_timer == 0) {
        const unsigned tap = (mode & 0x80) ? 6 : 1;
        const unsigned feedback = (noise_shift ^ (noise_shift >> tap)) & 1;
        noise_shift = static_cast<uint16_t>(((noise_shift & 0x7FFF) | (feedback << 15)) >> 1);
    }
    advance<int32_t>(noise_timer, NOISE_LAST[mode & 15]);
}

// A pulse is silent while its sweep mutes it (with the sweep on), its period is below 8, or
// its length counter is done.
inline bool APU::pulse_silent(const Pulse& p, uint8_t sweep) {
    return ((sweep & 0x80) && p.sweep_mute) || p.pulse_period <= 7 || p.length_counter == 0;
}

// A timer that is 0 after the cycle wrapped during it, and its step moved on after the
// output was taken: the output belongs to the step before.
inline unsigned APU::playing_step(const Pulse& p) {
    return p.pulse_timer == 0 ? (p.pulse_step - 1u) & 7 : p.pulse_step;
}

inline int8_t APU::pulse_level(const Pulse& p, Voice voice) {
    return static_cast<int8_t>(DUTY[voice.duty][playing_step(p)] ? voice.volume : -voice.volume);
}

inline void APU::refresh_pulse(Pulse& p, uint8_t control, uint8_t sweep) {
    const Voice voice{static_cast<uint8_t>(control >> 6), static_cast<int8_t>(envelope_volume(control, p.env_decay))};
    p.pulse_output = pulse_silent(p, sweep) ? int8_t{0} : pulse_level(p, voice);
}

// Audible needs a period above 1, so at most one of the two clocks wrapped: a timer at 0
// means the second one did.
inline bool APU::triangle_audible() const { return linear_counter != 0 && triangle_length != 0 && triangle_period > 1; }

inline float APU::triangle_level() const {
    return TRIANGLE_LEVEL[triangle_timer == 0 ? (triangle_step - 1u) & 31 : triangle_step];
}

inline uint8_t APU::noise_volume(uint8_t control) const {
    return noise_length == 0 ? uint8_t{0} : envelope_volume(control, noise_env_decay);
}

inline uint8_t APU::noise_level(uint8_t volume) const { return (noise_shift & 1) ? uint8_t{0} : volume; }

void APU::refresh_outputs() { work_out_outputs(); }

inline void APU::work_out_outputs() {
    const uint8_t* regs = cpu->memory + 0x4000;
    refresh_pulse(pulse1, regs[0x00], regs[0x01]);
    refresh_pulse(pulse2, regs[0x04], regs[0x05]);
    triangle_output = triangle_audible() ? triangle_level() : 0.0f;
    noise_output = noise_level(noise_volume(regs[0x0C]));
}

inline void APU::dmc() {
    if (channel_enabled[4] && dmc_empty && dmc_remaining != 0) dmc_fetch();
    if (dmc_timer == 0) dmc_output();
    advance<int32_t>(dmc_timer, DMC_LAST[dmc_flags & 15]);
}

void APU::dmc_fetch() {
    // Through the bus, so the board maps the sample bytes; the board is not notified.
    const uint8_t byte = cpu->read(cpu->memory + dmc_address, false);
    dmc_buffer = byte;
    --dmc_remaining;
    dmc_address = dmc_address == 0xFFFF ? 0x8000 : static_cast<uint16_t>(dmc_address + 1);
    if (dmc_remaining == 0) {
        const bool loop = dmc_flags & 0x40;
        if (loop) start_sample();
        if ((!loop || dmc_length == 0) && (dmc_flags & 0x80)) cpu->irq_line = 1;
    }
    dmc_shift = byte;
    dmc_bits = 8;
    dmc_silence = 0;
    dmc_empty = 0;
}

void APU::dmc_output() {
    if (dmc_direct != -1) {
        dmc_level = static_cast<uint8_t>(dmc_direct);
        dmc_direct = -1;
        return;
    }
    if (dmc_silence) return;
    if (dmc_shift & 1) {
        if (dmc_level + 2 < 128) dmc_level = static_cast<uint8_t>(dmc_level + 2);
    } else if (dmc_level >= 2) {
        dmc_level = static_cast<uint8_t>(dmc_level - 2);
    }
    dmc_shift = static_cast<uint8_t>(dmc_shift >> 1);
    if (dmc_bits != 1) {
        --dmc_bits;
        return;
    }
    dmc_bits = 8;
    if (dmc_empty) {
        // Out of bits with nothing fetched: the output rests at mid level.
        dmc_silence = 1;
        dmc_level = 64;
    } else {
        dmc_empty = 1;
        dmc_silence = 0;
    }
}

// ---------------------------------------------------------------- samples

namespace {
inline int16_t mixed(const APU& a) {
    const bool* on = a.channel_enabled;
    const int pulses = (on[0] ? a.pulse1.pulse_output : 0) + (on[1] ? a.pulse2.pulse_output : 0);
    const double t = on[2] ? 0.00851 * static_cast<double>(a.triangle_output) : 0.0;
    const double n = on[3] ? 0.00494 * a.noise_output : 0.0;
    const double d = on[4] ? 0.00335 * (2 * a.dmc_level - 128) : 0.0;
    const float others = static_cast<float>(d + (t + n));
    const float level = static_cast<float>(0.00752 * pulses + static_cast<double>(others));
    // The float product is exact in double; the conversion truncates toward zero.
    return static_cast<int16_t>(static_cast<double>(level) * static_cast<double>(32767.0f));
}
}  // namespace

inline void APU::sample_step(uint64_t k) {
    if (samples_written != planned_written || sample_rate != planned_rate || apu_clock_rate != planned_clock)
        plan_samples();
    if (k >= next_sample_cycle) take_sample();
}

// The mix is worked out after a full block is handed out, so that nothing waits across that.
inline void APU::take_sample() {
    hand_out_full_block();
    work_out_outputs();
    store_sample(mixed(*this));
}

inline void APU::put_sample(int16_t level) {
    hand_out_full_block();
    store_sample(level);
}

// The first sample of a block hands out the block before.
inline void APU::hand_out_full_block() {
    if (samples_written % BUFFER_LEN == 0) publish_block();
}

// Stores a sample and plans the next one.
inline void APU::store_sample(int16_t level) {
    sample_buffer[samples_written % BUFFER_LEN] = level;
    planned_written = ++samples_written;

    next_sample_cycle += plan_step;
    plan_remainder += plan_step_remainder;
    if (plan_remainder >= static_cast<uint64_t>(planned_rate)) {
        plan_remainder -= static_cast<uint64_t>(planned_rate);
        ++next_sample_cycle;
    }
}

// Takes the samples due before cycle `until`, all at one level, with the schedule in locals.
// They fall in cycles of their own: the schedule is not behind and steps a cycle or more.
void APU::repeat_sample(int16_t level, uint64_t until) {
    uint64_t next = next_sample_cycle, remainder = plan_remainder, written = samples_written;
    const uint64_t rate = static_cast<uint64_t>(planned_rate);
    int16_t* buffer = sample_buffer;
    while (next < until) {
        const auto i = static_cast<unsigned>(written % BUFFER_LEN);
        if (i == 0) {
            publish_block();
            buffer = sample_buffer;
        }
        buffer[i] = level;
        ++written;
        next += plan_step;
        remainder += plan_step_remainder;
        if (remainder >= rate) {
            remainder -= rate;
            ++next;
        }
    }
    next_sample_cycle = next;
    plan_remainder = remainder;
    samples_written = planned_written = written;
}

void APU::cycle() {
    const uint64_t k = apu_cycles.load();
    func_frame_counter(k);
    pulse(pulse1);
    pulse(pulse2);
    triangle();
    noise();
    dmc();
    sample_step(k);
    apu_cycles.store(k + 1);
}

// A timer counting 0..last over n clocks from `count` (at most last), in closed form;
// returns how many times it wrapped to 0.
template <class T>
inline uint32_t advance_by(T& count, T last, uint32_t n) {
    const uint32_t total = static_cast<uint32_t>(count) + n;
    if (total <= static_cast<uint32_t>(last)) {
        count = static_cast<T>(total);
        return 0;
    }
    const uint32_t length = static_cast<uint32_t>(last) + 1;
    count = static_cast<T>(total % length);
    return total / length;
}

namespace {
// The noise shift register moved on `shifts` times at once. Each new bit 14 is bit 0 xor the
// tap bit of the register as it then stands; up to 15 - tap new bits depend only on bits
// already there, so they are worked out together.
inline uint16_t shift_noise(uint16_t reg, unsigned tap, uint32_t shifts) {
    uint32_t r = reg & 0x7FFFu;  // bit 15 never feeds back, and the first shift drops it
    const uint32_t most = 15 - tap;
    while (shifts != 0) {
        const uint32_t k = std::min(shifts, most);
        const uint32_t fed = (r ^ (r >> tap)) & ((1u << k) - 1);
        r = (r >> k) | (fed << (15 - k));
        shifts -= k;
    }
    return static_cast<uint16_t>(r);
}
}  // namespace

// The noise over n cycles: the register shifts on each cycle that starts with the timer at 0.
inline void APU::run_noise(uint32_t n) {
    if (n == 0) return;
    const uint8_t mode = cpu->memory[0x400E];
    const int32_t last = NOISE_LAST[mode & 15];
    if (noise_timer > last) {  // a period write left the count beyond the new period
        noise();
        --n;
    }
    const uint32_t length = static_cast<uint32_t>(last) + 1;
    const uint32_t first = (length - static_cast<uint32_t>(noise_timer)) % length;  // cycles before a 0 start
    if (first < n) {
        const uint32_t shifts = (n - 1 - first) / length + 1;
        noise_shift = shift_noise(noise_shift, (mode & 0x80) ? 6 : 1, shifts);
    }
    noise_timer = static_cast<int32_t>((static_cast<uint32_t>(noise_timer) + n) % length);
}

// The DMC over n cycles. While it is idle (silent, no direct load waiting, no fetch to make)
// only its timer counts; otherwise it goes cycle by cycle where its timer comes to 0 or a
// fetch is due.
inline void APU::run_dmc(uint32_t n) {
    const int32_t last = DMC_LAST[dmc_flags & 15];
    if (dmc_idle()) {
        if (n != 0 && dmc_timer > last) {  // a rate write left the count beyond the new period
            dmc();
            --n;
        }
        advance_by<int32_t>(dmc_timer, last, n);
        return;
    }
    for (uint32_t left = n; left != 0;) {
        const bool fetching = channel_enabled[4] && dmc_empty && dmc_remaining != 0;
        if (fetching || dmc_timer == 0 || dmc_timer > last) {
            dmc();
            --left;
            continue;
        }
        const auto quiet = std::min<uint32_t>(left, static_cast<uint32_t>(last + 1 - dmc_timer));
        dmc_timer = dmc_timer + static_cast<int32_t>(quiet) == last + 1 ? 0 : dmc_timer + static_cast<int32_t>(quiet);
        left -= quiet;
    }
}

// Pulse and triangle timers only count and step their sequencers, so they move at once; a
// period write may have left a count beyond the period, which the first cycle wraps.
inline void APU::run_pulse(Pulse& p, uint32_t n) {
    if (n != 0 && p.pulse_timer > p.pulse_period) {
        pulse(p);
        --n;
    }
    p.pulse_step = static_cast<uint8_t>((p.pulse_step + advance_by<uint16_t>(p.pulse_timer, p.pulse_period, n)) & 7);
}

inline void APU::run_triangle(uint32_t n) {
    if (n != 0 && triangle_timer > triangle_period) {
        triangle();
        --n;
    }
    triangle_step =
        static_cast<uint8_t>((triangle_step + advance_by<uint16_t>(triangle_timer, triangle_period, 2 * n)) & 31);
}

// What stays fixed between a register write or frame-counter step and the next: the channels
// whose outputs move with their timers (a silent channel's output does not), and the shape
// and volume they move between.
APU::Stretch APU::plan_stretch() const {
    const uint8_t* regs = cpu->memory + 0x4000;
    Stretch s;
    s.pulse1 = pulse_voice(pulse1, regs[0x00], regs[0x01]);
    s.pulse2 = pulse_voice(pulse2, regs[0x04], regs[0x05]);
    s.triangle = triangle_audible();
    s.noise_volume = noise_volume(regs[0x0C]);
    s.dmc = !dmc_idle();
    return s;
}

APU::Voice APU::pulse_voice(const Pulse& p, uint8_t control, uint8_t sweep) {
    const uint8_t volume = envelope_volume(control, p.env_decay);
    if (pulse_silent(p, sweep) || volume == 0) return {};
    return {static_cast<uint8_t>(control >> 6), static_cast<int8_t>(volume)};
}

// Moves over n cycles the channels whose outputs move (`moving`) or the others.
template <bool moving>
inline void APU::run_channels(const Stretch& s, uint32_t n) {
    if ((s.pulse1.volume != 0) == moving) run_pulse(pulse1, n);
    if ((s.pulse2.volume != 0) == moving) run_pulse(pulse2, n);
    if (s.triangle == moving) run_triangle(n);
    if ((s.noise_volume != 0) == moving) run_noise(n);
    if (s.dmc == moving) run_dmc(n);
}

template <class T>
inline bool replace(T& field, T value) {
    const bool changed = field != value;
    field = value;
    return changed;
}

// The outputs of the moving channels for the cycle just run; true when one of them may
// have changed since the last sample.
inline bool APU::refresh_moving(const Stretch& s) {
    bool changed = s.dmc;
    if (s.pulse1.volume != 0) changed |= replace(pulse1.pulse_output, pulse_level(pulse1, s.pulse1));
    if (s.pulse2.volume != 0) changed |= replace(pulse2.pulse_output, pulse_level(pulse2, s.pulse2));
    if (s.triangle) changed |= replace(triangle_output, triangle_level());
    if (s.noise_volume) changed |= replace(noise_output, noise_level(s.noise_volume));
    return changed;
}

// How many cycles from now a moving output is sure to stay as it is. A pulse or triangle
// output moves on a step when its timer goes from 0 to 1, and a pulse's changes only where
// its duty does; a timer beyond its period gives no such promise.
inline uint32_t APU::pulse_steady(const Pulse& p, Voice voice) {
    if (p.pulse_timer > p.pulse_period) return 0;
    const uint32_t length = p.pulse_period + 1u;
    const uint32_t to_step = p.pulse_timer == 0 ? 0u : length - p.pulse_timer;
    return to_step + SAME_STEPS_AFTER[voice.duty][playing_step(p)] * length;
}

// The triangle's timer clocks twice a cycle.
inline uint32_t APU::triangle_steady() const {
    if (triangle_timer == 0 || triangle_timer > triangle_period) return 0;
    return (triangle_period + 1u - triangle_timer) / 2;
}

// The noise's output moves on a shift, in a cycle that starts with its timer at 0, and changes
// only where the bit that comes down differs from bit 0; the fifteenth shift brings down a
// fed-back bit.
inline uint32_t APU::noise_steady() const {
    const auto last = static_cast<uint32_t>(NOISE_LAST[cpu->memory[0x400E] & 15]);
    const auto timer = static_cast<uint32_t>(noise_timer);
    if (timer > last) return 0;
    const uint32_t above = (noise_shift >> 1) ^ ((noise_shift & 1) ? 0x3FFFu : 0u);
    const auto same_shifts = static_cast<uint32_t>(std::countr_zero((above & 0x3FFFu) | 0x4000u));
    return (last + 1 - timer) % (last + 1) + same_shifts * (last + 1);
}

// How many cycles from now every moving output is sure to stay as it is; none while the DMC
// moves.
inline uint32_t APU::steady_cycles(const Stretch& s) const {
    uint32_t steady = s.dmc ? 0 : ~0u;
    if (s.pulse1.volume != 0) steady = std::min(steady, pulse_steady(pulse1, s.pulse1));
    if (s.pulse2.volume != 0) steady = std::min(steady, pulse_steady(pulse2, s.pulse2));
    if (s.triangle) steady = std::min(steady, triangle_steady());
    if (s.noise_volume != 0) steady = std::min(steady, noise_steady());
    return steady;
}

// The cycles [k, end), without a frame-counter step or a register write. Only the moving
// channels run from sample to sample, and only for samples where one of their outputs may
// have changed; the others run once at the end. A sample whose inputs are those of the
// sample before repeats its level, as mixing them again would give.
void APU::run_stretch(const uint64_t k, const uint64_t end) {
    if (std::max(next_sample_cycle, k) >= end) {  // no sample: every channel runs at once, as a still one
        run_channels<false>(Stretch{}, static_cast<uint32_t>(end - k));
        return;
    }
    const Stretch s = plan_stretch();
    uint64_t moved = k;         // the moving channels have run the cycles before this one
    uint64_t steady_until = k;  // samples of earlier cycles keep the level
    int16_t level = 0;
    for (uint64_t at, earliest = k; (at = std::max(next_sample_cycle, earliest)) < end; earliest = at + 1) {
        if (at < steady_until && at == next_sample_cycle && plan_step != 0) {
            repeat_sample(level, std::min(steady_until, end));
            continue;
        }
        if (at >= steady_until) {
            run_channels<true>(s, static_cast<uint32_t>(at + 1 - moved));
            if (moved == k) {
                work_out_outputs();
                level = mixed(*this);
            } else if (refresh_moving(s)) {
                level = mixed(*this);
            }
            moved = at + 1;
            steady_until = moved + steady_cycles(s);
        }
        put_sample(level);
    }
    run_channels<true>(s, static_cast<uint32_t>(end - moved));
    run_channels<false>(s, static_cast<uint32_t>(end - k));
}

void APU::run(uint64_t until) {
    uint64_t k = apu_cycles.load();
    while (k < until) {
        if (k != frame_k || (cpu->memory[0x4017] & 0x80) != frame_mode) plan_frame_steps(k);
        if (samples_written != planned_written || sample_rate != planned_rate || apu_clock_rate != planned_clock)
            plan_samples();
        if (frame_wait == 0) {  // the frame counter steps: `cycle` runs it
            cycle();
            ++k;
            continue;
        }
        const uint64_t end = k + std::min<uint64_t>(until - k, static_cast<uint64_t>(frame_wait));
        run_stretch(k, end);
        frame_wait -= static_cast<int64_t>(end - k);
        k = end;
        frame_k = k;
        apu_cycles.store(k);
    }
}

// Sample n is due once sample_rate * k / apu_clock_rate > n, that is from the cycle
// k = ceil((n + 1) * apu_clock_rate / sample_rate); each further sample is
// apu_clock_rate / sample_rate cycles later, carried as quotient and remainder.
// A clock rate of 0 (a clock speed below 2) makes every cycle produce a sample.
void APU::plan_samples() {
    planned_written = samples_written;
    planned_rate = sample_rate;
    planned_clock = apu_clock_rate;
    if (sample_rate <= 0) {
        next_sample_cycle = ~0ull;
        plan_step = plan_step_remainder = plan_remainder = 0;
        return;
    }
    const uint64_t rate = static_cast<uint64_t>(sample_rate);
    const uint64_t clock = static_cast<uint64_t>(std::max(apu_clock_rate, 0));
    const uint64_t n1 = samples_written + 1;
    // (n1 * clock + rate - 1) / rate, split so the product stays within 64 bits.
    const uint64_t part = (n1 % rate) * clock + rate - 1;
    next_sample_cycle = (n1 / rate) * clock + part / rate;
    plan_remainder = part % rate;
    plan_step = clock / rate;
    plan_step_remainder = clock % rate;
}

void APU::publish_block() {
    const uint8_t spare =
        block_ready.exchange(static_cast<uint8_t>(fill_index | BLOCK_FRESH), std::memory_order_acq_rel);
    fill_index = spare & BLOCK_INDEX;
    sample_buffer = block(fill_index);
}

bool APU::take_block(int16_t* out) {
    if (!(block_ready.load(std::memory_order_acquire) & BLOCK_FRESH)) return false;
    const uint8_t spare = block_ready.exchange(taken_index, std::memory_order_acq_rel);
    taken_index = spare & BLOCK_INDEX;
    output_block = block(taken_index);
    std::memcpy(out, output_block, BUFFER_LEN * sizeof(int16_t));
    return true;
}

int16_t mix(APU* apu) { return mixed(*apu); }

}  // namespace NES
