// A digest of everything a program can see, frame by frame: the picture, the sound, the
// counters, the CPU registers and memory, video memory and sprite memory. Two builds that
// print the same lines for the same cartridges behave the same; a speed-up must not change
// a line. The pads press a fixed pattern, so menus and games move.
//
//     machine_digest FRAMES ROM...   (one line per frame and cartridge on standard error)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "snapshot/digest.hpp"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: machine_digest FRAMES ROM...\n");
        return 2;
    }
    const int frames = std::atoi(argv[1]);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    for (int r = 2; r < argc; ++r) {
        NESUnit console(argv[r], 0);
        for (int f = 0; f < frames; ++f) {
            digest::press(console, f);
            console.runFrame();
            const uint64_t h = digest::of(console);
            std::fprintf(stderr, "%s %d %016llx\n",
                         std::strrchr(argv[r], '/') ? std::strrchr(argv[r], '/') + 1 : argv[r], f,
                         static_cast<unsigned long long>(h));
        }
    }
    return 0;
}
