// The picture processor: registers, video memory, the dot renderer and the frame image.
#pragma once

#include <cstdint>

#include "machine/common.hpp"

namespace NES {

// Palette byte -> red, green, blue. The renderer's read-only copy.
extern const uint8_t NTSC_TO_RGB[64][3];

// One attribute set's colours of background pixel values 0-3, each in all eight bytes, kept
// as value 0, 0 XOR 1, value 2, 2 XOR 3: a tile row's eight colours are then a few masks away
// (ppu.cpp).
struct ColourPlanes {
    uint64_t zero = 0, zero_one = 0, two = 0, two_three = 0;

    static ColourPlanes of(uint32_t colours);
    // Byte i: the colour of pixel i (pattern bit 7 - i) of the row with these pattern bytes.
    uint64_t row(uint8_t low, uint8_t high) const;
};

// The colours of the rows with one low pattern byte in each attribute set, by set x 256 + low
// byte: those where the high byte is 0, and how each set bit of the high byte changes its
// pixel's colour. A tile's row is then two loads and two operations (ppu.cpp).
struct LowByteRows {
    uint64_t without_high[4 * 256] = {};
    uint64_t high_change[4 * 256] = {};
    // Byte i all ones where bit 7 - i of a pattern byte is set: a copy of the renderer's table
    // kept beside the rows, so that the fetch loop reaches all three from one register.
    uint64_t pixel_masks[256];

    LowByteRows();
    void make(unsigned set, const ColourPlanes& planes);
    uint64_t row(unsigned set, uint8_t low, uint8_t high) const;
};

class PPU {
public:
    static constexpr uint32_t SPRITE_CLOCK_END = 256 + 8;

    CPU* cpu = nullptr;
    ROM* rom = nullptr;
    Relaxed<uint64_t> dot_count{0};
    Relaxed<uint64_t> frame_count{0};
    alignas(64) uint8_t video_memory[16384] = {};
    uint8_t oam[256] = {};
    uint8_t secondary_oam[32] = {};
    int32_t scanline = 0;
    int32_t dot = 25;
    int32_t mirroring = 0;
    Mapper* mapper = nullptr;
    uint8_t debug_print = 0;
    uint8_t in_vblank = 0;
    int32_t chr_bank = 0;
    uint8_t vblank_suppressed = 0;
    uint8_t nmi_pending = 0;
    uint8_t nmi_suppressed = 0;
    uint8_t rendering_enabled = 0;
    uint16_t v = 0, t = 0;
    uint8_t fine_x = 0;
    uint8_t write_toggle = 0;
    uint8_t oam_addr = 0;
    uint8_t read_buffer = 0;

    // Register views into the CPU memory.
    uint8_t* ppuctrl = nullptr;    // $2000
    uint8_t* ppumask = nullptr;    // $2001
    uint8_t* ppustatus = nullptr;  // $2002
    uint8_t* oamaddr_reg = nullptr;
    uint8_t* oamdata_reg = nullptr;
    uint8_t* ppuscroll_reg = nullptr;
    uint8_t* ppuaddr_reg = nullptr;
    uint8_t* ppudata_reg = nullptr;
    uint8_t* oamdma_reg = nullptr;  // $4014

    Context clock_context{nullptr, nullptr, nullptr};

    // Background fetch latches
    uint16_t nt_addr = 0, at_addr = 0;
    uint8_t tile_index = 0;
    uint16_t pattern_addr = 0;
    uint8_t pattern_low = 0, pattern_high = 0;
    uint8_t bit_counter = 0;

    // Sprite evaluation
    uint8_t eval_index = 0;
    uint8_t eval_byte = 0;
    uint8_t eval_done = 0;
    uint8_t secondary_count = 0;
    int32_t sprite_x_start[8] = {};
    uint8_t sprite0_in_secondary = 0;

    // Sprite line list. Counting pixel dots since the list was loaded as k = 0, 1, ..., entry i
    // with X = x is drawn on the dots with k in x..x+7, pattern bit 7 - (k - x): eight
    // down-counters reduce to the one `sprite_clock` (the next k). `sprite_x_counter` keeps the
    // X loaded for each entry, `sprite_bit` the bit last examined, `sprite_active` this dot's
    // entries.
    uint8_t line_sprites[32] = {};
    uint8_t line_sprite_count = 0;
    int32_t sprite_x_counter[8] = {};
    uint8_t sprite_bit[8] = {};
    uint8_t sprite_active = 0;
    uint8_t sprite0_on_line = 0;
    uint32_t sprite_clock = 0;
    // Entries active at each value of `sprite_clock`, built when the list is loaded; an X of 255
    // stays active up to clock 262 when the list is not reloaded. A line's worth of zeros follows,
    // so a span of dots can read on from any clock up to the end without a bounds test.
    uint8_t sprite_cover[SPRITE_CLOCK_END + 256] = {};
    // Only loading the list writes the cover, so its entries' bytes are all it holds; after a
    // snapshot is loaded that is not known, and the next load clears all of it. (Not state.)
    uint8_t cover_unknown = 0;

    uint8_t past_visible = 0;

    // The colours the background is drawn with, made from palette bytes 0-15 and whether
    // PPUMASK shows the layer, kept while those hold: most spans find them made. Each set is
    // the four colours of one attribute value, one byte each from the lowest; its rows by low
    // pattern byte are made again only when its colours change (all zero fit colours 0).
    struct BackgroundColours {
        uint8_t palette[16] = {};
        uint8_t shown = 0xFF;  // neither shown nor hidden: nothing made yet
        uint32_t sets[4] = {};
        LowByteRows rows;
    } background_colours;

    // The picture, and the palette byte last drawn at each pixel: NOT_DRAWN until a pixel is
    // first drawn, a value no palette byte has, so the first draw always writes the RGB bytes.
    static constexpr uint16_t NOT_DRAWN = 0xFFFF;
    static constexpr int FRAME_WIDTH = 256, FRAME_HEIGHT = 240;
    alignas(64) uint8_t frame_rgb[FRAME_HEIGHT * FRAME_WIDTH * 3] = {};
    uint16_t frame_index[FRAME_HEIGHT * FRAME_WIDTH];

    explicit PPU(CPU* cpu);
    PPU(const PPU&) = delete;
    PPU& operator=(const PPU&) = delete;

    void loadRom(ROM* rom);
    uint8_t read(uint16_t address) const;
    void write(uint16_t address, uint8_t value);
    void map_memory(uint16_t& address) const;
    void v_horiz();
    void v_vert();
    void set_registers();
    void cycle();
    // Runs dots as `cycle` does until `dot_count` reaches `until` or a frame ends, whichever
    // comes first; dots that only count are passed over in one step.
    void run(uint64_t until);
    // The same for `count` dots from the current `dot_count` on.
    void run_dots(uint64_t count);
    // The `dot_count` by which running on may first change what the CPU sees without reading
    // or writing a port: the NMI request rising (line 241 dot 1) or falling (line 261 dot 1),
    // the frame's end, or a call of a clocked board.
    uint64_t event_deadline() const;

    // Everything of the PPU's that decides what it does next, and the rows of the picture
    // drawn so far in this frame, for in-memory snapshots (ppu_state.cpp).
    void state_fields(StateArchive& ar);
};

}  // namespace NES
