// Cartridge images from arbitrary bytes: parsing must refuse bad images with RomFormatError
// and nothing else, and a console built from an accepted image must run without faults.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.hpp"

namespace {
// Header byte 15, which the parser ignores, picks how many frames to run: from a quick look
// to a few hundred frames in which a program sets up the PPU, takes NMIs and switches banks.
constexpr int FRAMES[4] = {30, 100, 200, 300};
// A frame of real code is under 15,000 instructions (29,781 cycles of at least two).
constexpr long INSTRUCTIONS_PER_FRAME = 200000;
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
    const int frames = FRAMES[data[15] & 3];
    for (int frame = 0; frame < frames; ++frame) {
        // Opcodes $02, $12, ... $F2 charge no cycles, so code made of them runs millions of
        // instructions per frame; the budget keeps such an input from stalling the fuzzer.
        if (!fuzz::run_frame_within(*nes, INSTRUCTIONS_PER_FRAME)) break;
    }
    int16_t block[NES::BUFFER_LEN];
    (void)nes->getAudio(block);
    fuzz::check_state_round_trip(*nes);
    nes->rom->reset_mapper();
    fuzz::run_frame_within(*nes, INSTRUCTIONS_PER_FRAME);
    return 0;
}
