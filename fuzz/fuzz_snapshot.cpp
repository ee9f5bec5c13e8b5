// Snapshots from arbitrary bytes: every one is either refused without a change to the console
// or applied, after which the console runs, and snapshots of it come back byte for byte.
//
// Input: a board selector byte; a mode byte (bit 0: take the rest as the whole snapshot;
// bit 1: leave the header's checksum as it is, else it is set to match, so the field checks
// see the bytes; bits 2-3: frames run before the snapshot is taken); then patches of a real
// snapshot of that board's console, each (offset high, offset low, length, bytes...) with the
// offset scaled over the whole snapshot.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"
#include "snapshot/snapshot.hpp"

namespace {
constexpr int FRAMES = 10;
constexpr long INSTRUCTIONS_PER_FRAME = 200000;

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
    auto nes = fuzz::console_for(data[0]);
    for (int f = 0; f < ((mode >> 2) & 3); ++f) nes->runFrame();
    std::vector<uint8_t> snap;
    if (mode & 1) {
        snap.assign(data + 2, data + size);
    } else {
        snap = snapshot::take(*nes);
        patch(snap, data + 2, size - 2);
    }
    if (!(mode & 2)) set_checksum(snap);

    nes->runFrame();
    const std::vector<uint8_t> before = snapshot::take(*nes);
    try {
        snapshot::restore(*nes, snap.data(), snap.size());
    } catch (const NES::SnapshotError&) {
        if (snapshot::take(*nes) != before) {
            std::fprintf(stderr, "a refused snapshot changed the console\n");
            std::abort();
        }
        return 0;
    }
    for (int frame = 0; frame < FRAMES; ++frame)
        if (!fuzz::run_frame_within(*nes, INSTRUCTIONS_PER_FRAME)) break;
    const std::vector<uint8_t> first = snapshot::take(*nes);
    snapshot::restore(*nes, first.data(), first.size());
    if (snapshot::take(*nes) != first) {
        std::fprintf(stderr, "a snapshot did not come back byte for byte\n");
        std::abort();
    }
    return 0;
}
