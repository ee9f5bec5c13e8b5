// Core speed without Python: frames per second of runFrame and emulated CPU instructions
// per second, median of five runs after a warm-up. Prints one JSON line per cartridge on
// standard error (standard output carries the console's own lines and is silenced).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "host/console.hpp"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = 600;
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    for (int i = 1; i < argc; ++i) {
        NESUnit console(argv[i], 0);
        int16_t block[NES::BUFFER_LEN];
        for (int f = 0; f < 120; ++f) console.runFrame();
        std::vector<double> fps, ips;
        for (int run = 0; run < 5; ++run) {
            const int64_t instructions = console.cpu->instruction_count;
            const auto t0 = std::chrono::steady_clock::now();
            for (int f = 0; f < frames; ++f) {
                console.runFrame();
                console.getAudio(block);
            }
            const double dt = seconds_since(t0);
            fps.push_back(frames / dt);
            ips.push_back(static_cast<double>(console.cpu->instruction_count - instructions) / dt);
        }
        std::sort(fps.begin(), fps.end());
        std::sort(ips.begin(), ips.end());
        std::fprintf(stderr, "{\"rom\": \"%s\", \"fps\": %.1f, \"instructions_per_second\": %.0f}\n", argv[i], fps[2],
                     ips[2]);
    }
    return 0;
}
