// Host instructions per frame, for callgrind: runs a warm-up, then a fixed number of frames
// inside `measured_frames`, which `valgrind --tool=callgrind --toggle-collect='*measured_frames*'`
// counts alone. Without valgrind it just runs (and prints the frames per second it saw).
//
//     frame_cost ROM [FRAMES] [WARMUP] [step]
//
// With "step" the frames are run instruction by instruction with single_cycle, as the run
// thread does, instead of with runFrame.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/console.hpp"

namespace {

[[gnu::noinline]] void measured_frames(NESUnit& console, int frames, bool step) {
    int16_t block[NES::BUFFER_LEN];
    for (int f = 0; f < frames; ++f) {
        if (step) {
            const long long frame = console.frame_count();
            while (console.frame_count() == frame) console.single_cycle();
        } else {
            console.runFrame();
        }
        console.getAudio(block);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: frame_cost ROM [FRAMES] [WARMUP] [step]\n");
        return 2;
    }
    const int frames = argc > 2 ? std::atoi(argv[2]) : 300;
    const int warmup = argc > 3 ? std::atoi(argv[3]) : 120;
    const bool step = argc > 4 && std::strcmp(argv[4], "step") == 0;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    NESUnit console(argv[1], 0);
    for (int f = 0; f < warmup; ++f) console.runFrame();
    const int64_t instructions = console.cpu->instruction_count;
    const auto t0 = std::chrono::steady_clock::now();
    measured_frames(console, frames, step);
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The 6502 instructions run per frame, to turn a count of host instructions into a cost each.
    const double per_frame = static_cast<double>(console.cpu->instruction_count - instructions) / frames;
    std::fprintf(stderr, "{\"rom\": \"%s\", \"frames\": %d, \"fps\": %.1f, \"instructions_per_frame\": %.1f}\n",
                 argv[1], frames, frames / dt, per_frame);
    return 0;
}
