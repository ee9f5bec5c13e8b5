// Cartridge images from arbitrary bytes: parsing must refuse bad images with RomFormatError
// and nothing else, and a console built from an accepted image must run without faults.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"

namespace {
// An accepted image runs its first instructions, in which its program sets up the PPU and the
// PPU draws the top lines from the image's pattern memory through the board, then, after a
// reset of the board, a few more. Longer runs repeat what the other targets cover at a
// fraction of the cost (they start from consoles built once): the boards' bank switching,
// the NMI, whole frames, save states.
constexpr int STEPS = 800;
constexpr int STEPS_AFTER_RESET = 200;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet_process();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> image(data, data + size);
    std::unique_ptr<NESUnit> nes;
    try {
        nes = fuzz::console(image);
    } catch (const NES::RomFormatError&) {
        return 0;  // a refused image is the expected outcome for most inputs
    }
    for (int n = 0; n < STEPS; ++n) nes->single_cycle();
    int16_t block[NES::BUFFER_LEN];
    (void)nes->getAudio(block);
    fuzz::check_state_round_trip(*nes);
    nes->rom->reset_mapper();
    for (int n = 0; n < STEPS_AFTER_RESET; ++n) nes->single_cycle();
    return 0;
}
