// Writes the starting corpus of the fuzz targets into a folder: our own small cartridges for
// every board, and selector bytes plus a few records for the state and register targets.
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.hpp"

namespace {

void write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER (FOLDER/cartridge, /state, /registers, /snapshot must exist)\n");
        return 2;
    }
    const std::string out = argv[1];
    struct Cart {
        const char* name;
        int board, prg_kib, chr_kib;
        uint8_t flags6;
    };
    const Cart carts[] = {
        {"nrom16", 0, 16, 8, 0x01},
        {"nrom32_chr_ram", 0, 32, 0, 0x00},
        {"mmc1_battery", 1, 32, 8, 0x02},
        {"uxrom", 2, 32, 0, 0x01},
        {"cnrom", 3, 16, 16, 0x00},
        {"mmc3", 4, 32, 8, 0x00},
        {"mmc3_four_screen", 4, 32, 0, 0x08},
        {"ntdec2722", 40, 16, 8, 0x01},
        {"axrom", 7, 64, 0, 0x00},
        {"mmc2", 9, 64, 32, 0x00},
        {"mmc4", 10, 32, 32, 0x01},
        {"color_dreams", 11, 64, 16, 0x00},
        {"bnrom", 34, 64, 0, 0x01},
        {"nina001", 34, 64, 16, 0x00},
        {"gxrom", 66, 64, 16, 0x01},
        {"camerica", 71, 64, 0, 0x00},
    };
    for (const Cart& c : carts) {
        write(out + "/cartridge/" + c.name, fuzz::cartridge_image(c.board, c.prg_kib, c.chr_kib, c.flags6));
    }
    // NES 2.0 sizes (flags 7 = 0x08) and a trainer.
    std::vector<uint8_t> nes2 = fuzz::cartridge_image(2, 32, 8);
    nes2[7] = 0x08;
    write(out + "/cartridge/uxrom_nes2", nes2);
    std::vector<uint8_t> trainer = fuzz::cartridge_image(0, 16, 8, 0x04);
    trainer.insert(trainer.begin() + 16, 512, 0xEA);
    write(out + "/cartridge/nrom_trainer", trainer);

    for (int s = 0; s < 2 * fuzz::board_count(); ++s) {
        const uint8_t sel = static_cast<uint8_t>(s);
        // Registers: status 0x24, A X Y, SP, PC $E00B; a zeroed board block; a patch of
        // the reset vector area.
        std::vector<uint8_t> state = {sel, 0x24, 1, 2, 3, 0xFD, 0x0B, 0xE0, 0, 0, 0, 0, 0, 0};
        state.insert(state.end(), NES::MAPPER_BLOCK, 0);
        state.insert(state.end(), {0xFF, 0xFF, 4, 0x10, 0xE0, 0x00, 0xE0});
        write(out + "/state/board" + std::to_string(s), state);
        // Registers: PPU address and data writes, scroll, OAM DMA, APU channels, bank writes,
        // steps and a frame.
        const std::vector<uint8_t> regs = {
            sel,  0x00, 0x06, 0x00, 0x3F, 0x00, 0x06, 0x00, 0x00,  // $2006 = $3F00
            0x00, 0x07, 0x00, 0x21,                                // $2007 = $21
            0x00, 0x05, 0x00, 0x10, 0x00, 0x05, 0x00, 0x08,        // scroll
            0x01, 0x14, 0x00, 0x02,                                // OAM DMA from $0200
            0x01, 0x15, 0x00, 0x1F, 0x01, 0x00, 0x00, 0xBF,        // APU: enable, pulse 1
            0x01, 0x03, 0x00, 0x08, 0x01, 0x17, 0x00, 0x00, 0x02,
            0x00, 0x20, 0x06, 0x02, 0x01, 0x20, 0x03,  // $8000 / $8001
            0x02, 0x01, 0x80, 0x01,                    // $E001
            0x41, 0x15, 0x00, 0x40, 0x02, 0x00,        // reads $4015, $2002
            0xBC, 0xC0, 0xC4, 0xC8,                    // steps, frame, audio, pads
        };
        write(out + "/registers/board" + std::to_string(s), regs);
        // Snapshots: as taken after 0-3 frames, and with a few bytes of the PPU's position and
        // the APU's timers overwritten.
        write(out + "/snapshot/board" + std::to_string(s), {sel, static_cast<uint8_t>((s % 4) << 2)});
        write(out + "/snapshot/patched" + std::to_string(s),
              {sel, 0x04, 0x00, 0x08, 4, 0xFF, 0x7F, 0x01, 0x02, 0xF0, 0x00, 2, 0x55, 0xAA});
    }
    return 0;
}
