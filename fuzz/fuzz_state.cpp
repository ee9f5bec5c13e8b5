// Save states from arbitrary bytes, applied to a console of each board, then run.
//
// Input: a board selector byte, then bytes laid over a state saved from a running console of
// that board: the 13 register bytes, the 256-byte board block, then patches of the memory
// images, each (offset high, offset low, length, bytes...) with the offset counted from the
// start of the CPU memory image (so it reaches the video memory too). Input of exactly one
// selector byte plus a whole state replaces the state outright.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"

namespace {
// The state is loaded into a console a little over half way down the picture, which then runs
// to the frame's end: the rest of the picture drawn from the loaded memory, the NMI and its
// handler, the pre-render line. What a state decides shows within them.
constexpr int LOADED_AT_LINE = 150;
// Registers and program counter come before the memory images.
constexpr size_t REGISTERS = NES::state_layout::MEMORY_AT;
constexpr size_t MEMORY_AT = NES::state_layout::MEMORY_AT;
constexpr size_t BLOCK_AT = NES::state_layout::BLOCK_AT;

void overlay(std::vector<uint8_t>& state, const uint8_t* data, size_t size) {
    size_t n = std::min(size, REGISTERS);
    std::copy(data, data + n, state.begin());
    data += n;
    size -= n;
    n = std::min(size, static_cast<size_t>(NES::MAPPER_BLOCK));
    std::copy(data, data + n, state.begin() + BLOCK_AT);
    data += n;
    size -= n;
    // Patches land anywhere in the two images, scaled so that two offset bytes reach them all.
    constexpr size_t IMAGES = BLOCK_AT - MEMORY_AT;
    while (size >= 3) {
        const size_t offset = (static_cast<size_t>(data[0]) << 8 | data[1]) * IMAGES / 65536;
        const size_t len = std::min<size_t>({data[2], size - 3, IMAGES - offset});
        std::copy(data + 3, data + 3 + len, state.begin() + MEMORY_AT + offset);
        data += 3 + len;
        size -= 3 + len;
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    NESUnit& nes = fuzz::warm_console(data[0], 2, LOADED_AT_LINE);
    std::vector<uint8_t> state(NES::state_layout::STATE_SIZE);
    if (size == 1 + state.size()) {
        std::copy(data + 1, data + size, state.begin());
    } else {
        nes.cpu->save_state_bytes(state.data());
        overlay(state, data + 1, size - 1);
    }
    nes.cpu->load_state_bytes(state.data());
    nes.runFrame();
    fuzz::check_state_round_trip(nes);
    return 0;
}
