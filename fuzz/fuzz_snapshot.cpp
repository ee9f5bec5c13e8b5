// Snapshots from arbitrary bytes: every one is either refused without a change to the console
// or applied, after which the console runs, and snapshots of it come back byte for byte.
//
// Input: a board selector byte; a mode byte (bit 0: take the rest as the whole snapshot;
// bit 1: leave the header's checksum as it is, else it is set to match, so the field checks
// see the bytes; bits 2-3: frames run before the snapshot is taken, on line 150); then patches of a real
// snapshot of that board's console, each (offset high, offset low, length, bytes...) with the
// offset scaled over the whole snapshot.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "snapshot/snapshot.hpp"

namespace {
// Snapshots are taken a little over half way down the picture; an accepted one runs to the
// end of its frame (a whole frame at most), through the NMI and the pre-render line.
constexpr int TAKEN_AT_LINE = 150;

void patch(std::vector<uint8_t>& snap, const uint8_t* data, size_t size) {
    while (size >= 3) {
        const size_t offset = (static_cast<size_t>(data[0]) << 8 | data[1]) * snap.size() / 65536;
        const size_t len = std::min<size_t>({data[2], size - 3, snap.size() - offset});
        std::copy(data + 3, data + 3 + len, snap.begin() + static_cast<std::ptrdiff_t>(offset));
        data += 3 + len;
        size -= 3 + len;
    }
}

void set_checksum(std::vector<uint8_t>& snap) {
    if (snap.size() < snapshot::HEADER_SIZE) return;
    const uint64_t sum = NES::state_hash(snap.data() + snapshot::HEADER_SIZE, snap.size() - snapshot::HEADER_SIZE);
    for (int i = 0; i < 8; ++i) snap[32 + i] = static_cast<uint8_t>(sum >> (8 * i));
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[1];
    const int frames = (mode >> 2) & 3;
    std::vector<uint8_t> snap;
    if (mode & 1) {
        snap.assign(data + 2, data + size);
    } else {
        snap = fuzz::warm_point(data[0], frames, TAKEN_AT_LINE).snapshot;
        patch(snap, data + 2, size - 2);
    }
    if (!(mode & 2)) set_checksum(snap);

    // The same console a frame later, so that a restore that changes it shows.
    NESUnit& nes = fuzz::warm_console(data[0], frames + 1, TAKEN_AT_LINE);
    const std::vector<uint8_t>& before = fuzz::warm_point(data[0], frames + 1, TAKEN_AT_LINE).snapshot;
    try {
        snapshot::restore(nes, snap.data(), snap.size());
    } catch (const NES::SnapshotError&) {
        if (snapshot::take(nes) != before) {
            std::fprintf(stderr, "a refused snapshot changed the console\n");
            std::abort();
        }
        return 0;
    }
    nes.runFrame();
    // Also what running reached from an accepted snapshot must be accepted again.
    const std::vector<uint8_t> first = snapshot::take(nes);
    snapshot::restore(nes, first.data(), first.size());
    if (snapshot::take(nes) != first) {
        std::fprintf(stderr, "a snapshot did not come back byte for byte\n");
        std::abort();
    }
    return 0;
}
