#include "snapshot/snapshot.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "machine/cartridge/mapper.hpp"

namespace snapshot {

namespace {

using NES::StateArchive;

constexpr char MAGIC[8] = {'Z', 'U', 'M', 'B', 'S', 'N', 'A', 'P'};
// A step runs at most one instruction with its interrupt entry and OAM DMA: the PPU and the
// APU are never further from the CPU than this within one.
constexpr int64_t STEP_CYCLES = 1024;

void put(uint8_t* out, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint64_t get(const uint8_t* in, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(in[i]) << (8 * i);
    return v;
}

// The console's counters, with the relations a step keeps between them, then every component.
// Whatever a console reaches by running from an accepted snapshot must pass again, so the
// cycle count is the one counter with a bound of its own (centuries of emulated time); the
// others follow it through relations that running keeps. The frame count is only ever
// compared for equality and takes any value.
void fields(NESUnit& n, StateArchive& ar) {
    // Bounds only to keep the relations' arithmetic within 64 bits. A check refuses a value
    // outside its bounds; measuring and saving a console that holds one (a spoiled machine)
    // clamp it for the arithmetic, which is then not checked.
    const int64_t cycles = std::clamp(ar.counter(n.cpu->cycle_count, int64_t{0}, NES::MAX_COUNT, "CPU cycle count"),
                                      int64_t{0}, NES::MAX_COUNT);
    const auto dots = static_cast<int64_t>(
        std::min(ar.counter(n.ppu->dot_count, uint64_t{0}, static_cast<uint64_t>(4 * NES::MAX_COUNT), "PPU dot count"),
                 static_cast<uint64_t>(4 * NES::MAX_COUNT)));
    ar.counter(n.ppu->frame_count, uint64_t{0}, ~uint64_t{0}, "PPU frame count");
    const auto apu_cycles = static_cast<int64_t>(
        std::min(ar.counter(n.apu->apu_cycles, uint64_t{0}, static_cast<uint64_t>(NES::MAX_COUNT), "APU cycle count"),
                 static_cast<uint64_t>(NES::MAX_COUNT)));
    ar.require(dots - 3 * cycles >= -3 * STEP_CYCLES && dots - 3 * cycles <= 3 * STEP_CYCLES,
               "the PPU's dot count is not within a step of three dots per CPU cycle");
    ar.require(2 * apu_cycles - cycles >= -2 * STEP_CYCLES && 2 * apu_cycles - cycles <= 2 * STEP_CYCLES,
               "the APU's cycle count is not within a step of one per two CPU cycles");
    n.cpu->state_fields(ar, cycles);
    n.ppu->state_fields(ar);
    n.apu->state_fields(ar);
    n.rom->mapper->state_fields(ar, *n.rom);
}

size_t payload_size(NESUnit& n) {
    StateArchive ar = StateArchive::measuring();
    fields(n, ar);
    return ar.position();
}

// What the rest of the interrupted step would have done: the APU and the PPU catch up with
// the CPU (no frame ends here: a snapshot is taken between steps or right after a frame's
// last dot).
void finish_step(NESUnit& n) {
    const int64_t cycles = n.cpu->cycle_count.load();
    if (2 * static_cast<int64_t>(n.apu->apu_cycles.load()) < cycles) n.apu->run(static_cast<uint64_t>(cycles + 1) / 2);
    while (static_cast<int64_t>(n.ppu->dot_count.load()) < 3 * cycles) n.ppu->run(static_cast<uint64_t>(3 * cycles));
}

}  // namespace

size_t max_size(NESUnit& console) { return HEADER_SIZE + payload_size(console); }

size_t write(NESUnit& console, uint8_t* out, size_t capacity) {
    if (capacity < HEADER_SIZE) StateArchive::fail("no room for the header");
    StateArchive ar = StateArchive::saving(out + HEADER_SIZE, capacity - HEADER_SIZE);
    fields(console, ar);
    const size_t payload = ar.position();
    std::memcpy(out, MAGIC, sizeof MAGIC);
    put(out + 8, VERSION, 4);
    put(out + 12, HEADER_SIZE, 4);
    put(out + 16, payload, 8);
    put(out + 24, console.rom->image_hash, 8);
    put(out + 32, NES::state_hash(out + HEADER_SIZE, payload), 8);
    return HEADER_SIZE + payload;
}

std::vector<uint8_t> take(NESUnit& console) {
    std::vector<uint8_t> out(max_size(console));
    out.resize(write(console, out.data(), out.size()));
    return out;
}

void check(NESUnit& console, const uint8_t* data, size_t n) {
    using NES::SnapshotError;
    const auto fail = [](const std::string& what) { StateArchive::fail(what); };
    if (n < HEADER_SIZE)
        fail("only " + std::to_string(n) + " bytes, fewer than the header's " + std::to_string(HEADER_SIZE));
    if (std::memcmp(data, MAGIC, sizeof MAGIC) != 0) fail("not a zumbrel snapshot (no \"ZUMBSNAP\" at the start)");
    const uint64_t version = get(data + 8, 4);
    if (version != VERSION)
        fail("format version " + std::to_string(version) + ", but this build reads version " + std::to_string(VERSION));
    if (get(data + 12, 4) != HEADER_SIZE) fail("header length is not " + std::to_string(HEADER_SIZE));
    const uint64_t payload = get(data + 16, 8);
    if (payload != n - HEADER_SIZE)
        fail("the header announces " + std::to_string(payload) + " bytes after it, but " +
             std::to_string(n - HEADER_SIZE) + " follow (truncated or extended)");
    if (get(data + 24, 8) != console.rom->image_hash) fail("taken from another cartridge");
    if (get(data + 32, 8) != NES::state_hash(data + HEADER_SIZE, payload)) fail("damaged (checksum mismatch)");
    StateArchive ar = StateArchive::checking(data + HEADER_SIZE, payload);
    fields(console, ar);
    if (ar.position() != payload)
        fail(std::to_string(payload - ar.position()) + " bytes left over after the last field");
}

void apply(NESUnit& console, const uint8_t* data, size_t n) {
    const int64_t cycles_before = console.cpu->cycle_count.load();
    StateArchive ar = StateArchive::loading(data + HEADER_SIZE, n - HEADER_SIZE);
    fields(console, ar);
    finish_step(console);
    // A running console keeps its pace from here: the count it paces against moves with the
    // restored cycle count, or it would race to catch up with an earlier snapshot's count or
    // sleep until the wall clock reached a later one's.
    console.run_control().shift_pacing(console.cpu->cycle_count.load() - cycles_before);
}

void restore(NESUnit& console, const uint8_t* data, size_t n) {
    check(console, data, n);
    apply(console, data, n);
}

}  // namespace snapshot
