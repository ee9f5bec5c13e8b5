// Exact snapshots of a console in memory: everything that decides the machine's future, after
// a small header that names the format, the cartridge and a checksum of the rest.
//
//   offset  size  content (little-endian)
//   0       8     "ZUMBSNAP"
//   8       4     format version
//   12      4     header length (40)
//   16      8     payload length
//   24      8     checksum of the cartridge image (header, trainer, PRG, CHR)
//   32      8     checksum of the payload
//   40      ...   payload: the counters, then the CPU, PPU, APU and board in that order
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/console.hpp"
#include "machine/state_archive.hpp"

namespace snapshot {

constexpr uint32_t VERSION = 1;
constexpr size_t HEADER_SIZE = 40;

// Bytes that `write` needs at most for this console as it stands.
size_t max_size(NESUnit& console);
// Writes the snapshot into out[0 .. capacity), which max_size(console) bytes always suffice
// for; returns its length.
size_t write(NESUnit& console, uint8_t* out, size_t capacity);
std::vector<uint8_t> take(NESUnit& console);

// Throws NES::SnapshotError, naming the fault, unless the bytes are a whole snapshot of this
// console's cartridge in this format, with every value in range. Changes nothing.
void check(NESUnit& console, const uint8_t* data, size_t n);
// Applies checked bytes; the step that was in progress when they were taken is completed, so
// the console stands where the original stood after that step.
void apply(NESUnit& console, const uint8_t* data, size_t n);
// check, then apply.
void restore(NESUnit& console, const uint8_t* data, size_t n);

}  // namespace snapshot
