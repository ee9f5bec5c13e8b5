// The PPU's part of an in-memory snapshot.
#include <algorithm>

#include "machine/cartridge/rom.hpp"
#include "machine/ppu/ppu.hpp"
#include "machine/state_archive.hpp"

namespace NES {

void PPU::state_fields(StateArchive& ar) {
    // The dot and frame counts travel with the console's other counters.
    ar.memory_image(video_memory, sizeof video_memory);
    ar.array(oam);
    ar.array(secondary_oam);
    const int32_t line = ar.num(scanline, 0, 261, "PPU line");
    ar.num(dot, 0, 340, "PPU dot");
    ar.num(mirroring, 0, 3, "PPU mirroring");
    ar.num(in_vblank);
    const int32_t chr_banks = rom != nullptr && rom->chr_size >= 1024 ? rom->chr_size / 1024 : 8;
    ar.num(chr_bank, 0, chr_banks - 1, "PPU CHR bank");
    ar.num(vblank_suppressed);
    ar.num(nmi_pending);
    ar.num(nmi_suppressed);
    ar.num(rendering_enabled);
    // Every use of the address registers masks them; the fetch latches stay in the pattern
    // tables and nametables, where the renderer reads through them.
    ar.num(v);
    ar.num(t);
    ar.num(fine_x, uint8_t{0}, uint8_t{7}, "PPU fine X");
    ar.num(write_toggle, uint8_t{0}, uint8_t{1}, "PPU write toggle");
    ar.num(oam_addr);
    ar.num(read_buffer);
    ar.num(nt_addr, uint16_t{0}, uint16_t{0x2FFF}, "PPU nametable latch");
    ar.num(at_addr, uint16_t{0}, uint16_t{0x2FFF}, "PPU attribute latch");
    ar.num(tile_index);
    ar.num(pattern_addr, uint16_t{0}, uint16_t{0x1FFF}, "PPU pattern latch");
    ar.num(pattern_low);
    ar.num(pattern_high);
    ar.num(bit_counter);
    // Sprite evaluation steps through OAM four bytes at a time.
    const uint8_t index = ar.num(eval_index);
    ar.require(index % 4 == 0, "PPU sprite search index " + std::to_string(index) + " is not a multiple of 4");
    ar.num(eval_byte, uint8_t{0}, uint8_t{3}, "PPU sprite search byte");
    ar.num(eval_done);
    ar.num(secondary_count, uint8_t{0}, uint8_t{8}, "PPU sprites found");
    ar.array(sprite_x_start);
    ar.num(sprite0_in_secondary);
    ar.array(line_sprites);
    ar.num(line_sprite_count, uint8_t{0}, uint8_t{8}, "PPU line sprites");
    ar.array(sprite_x_counter);
    for (uint8_t& bit : sprite_bit) ar.num(bit, uint8_t{0}, uint8_t{7}, "PPU sprite bit");
    ar.num(sprite_active);
    ar.num(sprite0_on_line);
    ar.num(sprite_clock, uint32_t{0}, SPRITE_CLOCK_END, "PPU sprite clock");
    ar.array(sprite_cover);
    if (ar.mode() == StateArchive::Mode::load) cover_unknown = 1;
    const uint8_t past = ar.num(past_visible, uint8_t{0}, uint8_t{1}, "PPU past-visible flag");
    // The rows of this frame drawn so far: the rest are drawn again before the frame ends.
    // Each pixel travels with the palette byte the renderer compares against.
    const size_t rows = past ? 240 : static_cast<size_t>(std::min(line, 239) + 1);
    ar.bytes(frame_index, rows * 256 * sizeof frame_index[0]);
    ar.bytes(frame_rgb, rows * 256 * 3);
}

}  // namespace NES
