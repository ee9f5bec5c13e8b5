// Shared by the fuzz targets: a quiet process, cartridge images for every board, consoles.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/console.hpp"
#include "machine/state_layout.hpp"
#include "snapshot/snapshot.hpp"

namespace fuzz {

// The boards the machine implements, from its board table; a selector byte picks one modulo their count.
inline int board_count() { return static_cast<int>(NES::boards_end() - NES::boards_begin()); }

// Runs once per process: diagnostics go to /dev/null (libFuzzer reports on stderr) and
// save directories land in a scratch HOME.
inline void quiet_process() {
    static bool done = false;
    if (done) return;
    done = true;
    char home[] = "/tmp/zumbrel-fuzz-home.XXXXXX";
    if (::mkdtemp(home) != nullptr) ::setenv("HOME", home, 1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
}

// A small program every 8 KiB PRG bank carries at its start, with its vectors at its end,
// so whatever bank a board maps at $E000 runs the same code: it turns on the NMI and
// rendering, enables interrupts and loops; each NMI writes its count to the bank registers.
inline void put_program(uint8_t* bank8k) {
    static const uint8_t code[] = {
        0xA9, 0x80, 0x8D, 0x00, 0x20,  // E000 LDA #$80 : STA $2000
        0xA9, 0x1E, 0x8D, 0x01, 0x20,  // E005 LDA #$1E : STA $2001
        0x58,                          // E00A CLI
        0xE6, 0x00,                    // E00B INC $00
        0x4C, 0x0B, 0xE0,              // E00D JMP $E00B
        0xE6, 0x01, 0xA5, 0x01,        // E010 NMI: INC $01 : LDA $01
        0x8D, 0x00, 0x80,              // E014 STA $8000
        0x8D, 0x01, 0x80,              // E017 STA $8001
        0x8D, 0x01, 0xE0,              // E01A STA $E001
        0x40,                          // E01D RTI
        0xE6, 0x02, 0x40,              // E01E IRQ: INC $02 : RTI
    };
    std::memcpy(bank8k, code, sizeof code);
    const uint8_t vectors[6] = {0x10, 0xE0, 0x00, 0xE0, 0x1E, 0xE0};
    std::memcpy(bank8k + 0x2000 - 6, vectors, sizeof vectors);
}

// An iNES image for `board`: `prg_kib` KiB of PRG (a multiple of 8) whose banks carry the
// program and their own number, and `chr_kib` KiB of CHR ROM (0: CHR RAM) with a pattern.
inline std::vector<uint8_t> cartridge_image(int board, int prg_kib, int chr_kib, uint8_t flags6_low = 0) {
    std::vector<uint8_t> image(16 + static_cast<size_t>(prg_kib + chr_kib) * 1024, 0);
    const uint8_t head[8] = {0x4E,
                             0x45,
                             0x53,
                             0x1A,
                             static_cast<uint8_t>(prg_kib / 16),
                             static_cast<uint8_t>(chr_kib / 8),
                             static_cast<uint8_t>((board & 0x0F) << 4 | (flags6_low & 0x0B)),
                             static_cast<uint8_t>(board & 0xF0)};
    std::memcpy(image.data(), head, sizeof head);
    uint8_t* prg = image.data() + 16;
    for (int bank = 0; bank < prg_kib / 8; ++bank) {
        uint8_t* b = prg + bank * 0x2000;
        std::memset(b + 0x100, bank, 0x1E00);
        put_program(b);
    }
    uint8_t* chr = prg + prg_kib * 1024;
    for (int i = 0; i < chr_kib * 1024; ++i) chr[i] = static_cast<uint8_t>(i * 7 + (i >> 10));
    return image;
}

// A plausible cartridge for each board: sizes that the board's bank registers can exercise.
inline std::vector<uint8_t> board_image(int board, bool chr_ram) {
    switch (board) {
        case 0: return cartridge_image(0, 32, chr_ram ? 0 : 8, 0x01);
        case 1: return cartridge_image(1, 128, chr_ram ? 0 : 32, 0x02);
        case 2: return cartridge_image(2, 128, 0);
        case 3: return cartridge_image(3, 32, 32, 0x01);
        case 4: return cartridge_image(4, 128, chr_ram ? 0 : 64);
        default: return cartridge_image(40, 64, chr_ram ? 0 : 8);
    }
}

inline std::unique_ptr<NESUnit> console(const std::vector<uint8_t>& image) {
    return std::make_unique<NESUnit>("fuzz.nes", image, 0);
}

// A console of the board and CHR kind that an input's first byte picks.
inline std::unique_ptr<NESUnit> console_for(uint8_t selector) {
    const int board = NES::boards_begin()[selector % board_count()].number;
    const bool chr_ram = (selector / board_count()) & 1;
    return console(board_image(board, chr_ram));
}

// The console that `selector` picks as it stood `frames` frames after power-on and then at
// `line` (for example a little before vertical blank, so that a short run reaches the NMI and
// the next frame), and a snapshot of it there. Each console is built once and put back for
// every input from that snapshot: a restore costs microseconds where building and running up
// to there cost milliseconds (under AddressSanitizer mostly the page faults of fresh
// allocations). Snapshots are exact, so every input starts from the same machine.
struct WarmPoint {
    NESUnit& console;
    const std::vector<uint8_t>& snapshot;
};

inline WarmPoint warm_point(uint8_t selector, int frames, int line) {
    struct Warm {
        std::unique_ptr<NESUnit> console;
        std::vector<std::vector<uint8_t>> after;    // snapshots after 0, 1, ... frames
        std::vector<std::vector<uint8_t>> at_line;  // the same, then run up to `line`
    };
    // Never destroyed: at exit the consoles' registry may be gone before them.
    static auto& by_line = *new std::map<int, std::vector<Warm>>();
    std::vector<Warm>& cache = by_line[line];
    if (cache.empty()) cache.resize(2 * static_cast<size_t>(board_count()));
    Warm& warm = cache[selector % cache.size()];
    if (!warm.console) {
        warm.console = console_for(selector);
        warm.after.push_back(snapshot::take(*warm.console));
    }
    NESUnit& nes = *warm.console;
    const auto restore = [&nes](const std::vector<uint8_t>& snap) { snapshot::restore(nes, snap.data(), snap.size()); };
    while (warm.after.size() <= static_cast<size_t>(frames)) {
        restore(warm.after.back());
        nes.runFrame();
        warm.after.push_back(snapshot::take(nes));
    }
    while (warm.at_line.size() <= static_cast<size_t>(frames)) {
        restore(warm.after[warm.at_line.size()]);
        const uint64_t frame = nes.ppu->frame_count.load();
        while (nes.ppu->scanline < line && nes.ppu->frame_count.load() == frame) nes.single_cycle();
        warm.at_line.push_back(snapshot::take(nes));
    }
    return {nes, warm.at_line[static_cast<size_t>(frames)]};
}

// That console put back to that point, pads released.
inline NESUnit& warm_console(uint8_t selector, int frames, int line) {
    const WarmPoint point = warm_point(selector, frames, line);
    snapshot::restore(point.console, point.snapshot.data(), point.snapshot.size());
    const bool released[8] = {};
    for (NES::Controller& pad : point.console.controllers) pad.update_inputs(released);
    return point.console;
}

// Save states reload faithfully. A load applies the registers and memory images of the file,
// then the board copies in the banks its registers select (they win over the file's bytes, as
// a board may have had pattern memory written over its CHR ROM). So: a state saved right
// after a load equals the loaded one in the registers and in CPU memory below the cartridge
// space, and loading is idempotent: saving, loading and saving again gives the same bytes.
inline void check_state_round_trip(NESUnit& nes) {
    constexpr size_t UNBANKED = NES::state_layout::MEMORY_AT + 0x6000;  // registers, PC, CPU memory $0000-$5FFF
    std::vector<uint8_t> first(NES::CPU::STATE_SIZE), second(first.size()), third(first.size());
    nes.cpu->save_state_bytes(first.data());
    nes.cpu->load_state_bytes(first.data());
    nes.cpu->save_state_bytes(second.data());
    nes.cpu->load_state_bytes(second.data());
    nes.cpu->save_state_bytes(third.data());
    auto differ = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t n, const char* what) {
        if (std::memcmp(a.data(), b.data(), n) == 0) return false;
        size_t i = 0;
        while (a[i] == b[i]) ++i;
        std::fprintf(stderr, "%s: byte %zu is %02x, then %02x\n", what, i, a[i], b[i]);
        return true;
    };
    if (differ(first, second, UNBANKED, "a load changed unbanked state") ||
        differ(second, third, second.size(), "a second load changed the state"))
        std::abort();
}

}  // namespace fuzz
