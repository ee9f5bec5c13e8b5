// The dot renderer: frame timing, vertical blank, sprite evaluation, sprite-0 hit and whole
// pictures compared with a plain per-pixel model of the screen.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "machine/cartridge/mapper.hpp"
#include "machine/state_archive.hpp"
#include "machine_fixture.hpp"

namespace {

constexpr int FRAME_DOTS = 341 * 262;

using fixture::Machine;

class Ppu : public ::testing::Test {
protected:
    std::unique_ptr<Machine> m = std::make_unique<Machine>();
    NES::PPU& ppu = *m->ppu;
    uint8_t& ctrl = m->cpu->memory[0x2000];
    uint8_t& mask = m->cpu->memory[0x2001];
    uint8_t& status = m->cpu->memory[0x2002];

    // Runs until the next dot to execute is (line, dot).
    void run_to(int line, int d) {
        for (long i = 0; i < 2L * FRAME_DOTS; ++i) {
            if (ppu.scanline == line && ppu.dot == d) return;
            ppu.cycle();
        }
        FAIL() << "never reached line " << line << " dot " << d;
    }
    void run_to_frame(uint64_t frame) {
        while (ppu.frame_count < frame) ppu.cycle();
    }
};

// ---------------------------------------------------------------------------------------------
// Frame timing, vertical blank and the NMI request

TEST_F(Ppu, FramesAre89342DotsAndTheFirstIs25Shorter) {
    mask = 0x18;
    long calls = 0;
    while (ppu.frame_count == 0) {
        if (ppu.scanline == 261 && ppu.dot == 340) { EXPECT_EQ(ppu.frame_count, 0u); }
        ppu.cycle();
        ++calls;
    }
    EXPECT_EQ(calls, FRAME_DOTS - 25);
    EXPECT_EQ(ppu.scanline, 0);
    EXPECT_EQ(ppu.dot, 0);
    for (uint64_t frame = 2; frame <= 4; ++frame) {
        calls = 0;
        while (ppu.frame_count < frame) {
            ppu.cycle();
            ++calls;
        }
        EXPECT_EQ(calls, FRAME_DOTS) << "frame " << frame;  // no dot is skipped on odd frames
    }
    EXPECT_EQ(ppu.dot_count, static_cast<uint64_t>(4 * FRAME_DOTS - 25));
}

TEST_F(Ppu, VerticalBlankStartsAtLine241Dot1AndEndsAtLine261Dot1) {
    mask = 0x18;
    run_to(241, 1);
    EXPECT_EQ(status & 0x80, 0);
    EXPECT_FALSE(ppu.nmi_pending);
    EXPECT_FALSE(ppu.in_vblank);
    EXPECT_EQ(ppu.frame_count, 0u);
    ppu.cycle();
    EXPECT_EQ(status & 0x80, 0x80);
    EXPECT_TRUE(ppu.nmi_pending);
    EXPECT_TRUE(ppu.in_vblank);

    // A status read clears bit 7 and the request in the CPU; vertical blank stays entered,
    // so nothing is raised again during this blank.
    status &= 0x7F;
    ppu.nmi_pending = 0;
    run_to(261, 1);
    EXPECT_EQ(status & 0x80, 0);
    EXPECT_FALSE(ppu.nmi_pending);

    status |= 0xE0 | 0x1F;
    ppu.nmi_pending = 1;
    ppu.vblank_suppressed = ppu.nmi_suppressed = 1;
    ppu.cycle();
    EXPECT_EQ(status, 0x1F);  // bits 7-5 cleared, the rest left alone
    EXPECT_FALSE(ppu.nmi_pending);
    EXPECT_FALSE(ppu.vblank_suppressed);
    EXPECT_FALSE(ppu.nmi_suppressed);
    EXPECT_FALSE(ppu.in_vblank);
    EXPECT_EQ(ppu.frame_count, 0u);  // the frame ends at the end of line 261, not here
}

TEST_F(Ppu, SuppressionFlagsHoldBackTheStatusBitAndTheRequestApart) {
    run_to(241, 1);
    ppu.vblank_suppressed = 1;
    ppu.cycle();
    EXPECT_EQ(status & 0x80, 0);
    EXPECT_TRUE(ppu.nmi_pending);

    run_to(241, 1);
    EXPECT_FALSE(ppu.vblank_suppressed);  // cleared on the pre-render line
    ppu.nmi_suppressed = 1;
    ppu.cycle();
    EXPECT_EQ(status & 0x80, 0x80);
    EXPECT_FALSE(ppu.nmi_pending);
}

TEST_F(Ppu, WithRenderingOffThePictureIsBackdropAndScrollStaysButBlankingGoesOn) {
    mask = 0x00;
    ppu.video_memory[0x3F00] = 0x21;
    ppu.video_memory[0x3F01] = 0x16;
    std::fill(ppu.video_memory, ppu.video_memory + 0x2000, uint8_t{0xFF});  // every pattern opaque
    ppu.v = 0x1234;
    ppu.t = 0x0567;
    run_to_frame(2);
    EXPECT_EQ(ppu.v, 0x1234);
    for (int n = 0; n < 240 * 256; ++n) ASSERT_EQ(ppu.frame_index[n], 0x21) << n;
    for (int n = 0; n < 240 * 256; ++n) {
        ASSERT_EQ(ppu.frame_rgb[3 * n], 83) << n;
        ASSERT_EQ(ppu.frame_rgb[3 * n + 1], 174) << n;
        ASSERT_EQ(ppu.frame_rgb[3 * n + 2], 255) << n;
    }
    run_to(241, 2);
    EXPECT_TRUE(ppu.nmi_pending);
}

TEST_F(Ppu, EveryPixelIsWrittenOnItsFirstDrawThoughTheColourByteStartsEqual) {
    // Backdrop $00 is the colour byte frame_index starts with.
    run_to_frame(1);
    // Frame 0 starts at dot 25: the first 24 pixels of line 0 have not been drawn yet.
    for (int x = 0; x < 24; ++x) EXPECT_EQ(ppu.frame_rgb[3 * x], 0) << x;
    EXPECT_EQ(ppu.frame_rgb[3 * 24], 96);
    EXPECT_EQ(ppu.frame_rgb[3 * (239 * 256 + 255) + 2], 96);
    run_to_frame(2);
    for (int n = 0; n < 240 * 256 * 3; ++n) ASSERT_EQ(ppu.frame_rgb[n], 96) << n;

    // Afterwards only changes are converted, and changes still show.
    ppu.video_memory[0x3F00] = 0x4D;  // above 63: the low six bits choose the colour
    run_to_frame(3);
    EXPECT_EQ(ppu.frame_index[1000], 0x4D);
    for (int n = 0; n < 240 * 256 * 3; ++n) ASSERT_EQ(ppu.frame_rgb[n], 0) << n;
}

TEST_F(Ppu, ScrollCopiesAndOamAddressReset) {
    mask = 0x08;
    ppu.t = 0x7FFF;
    ppu.v = 0;
    run_to(5, 257);
    ppu.v = 0x7000;
    ppu.oam_addr = 0x40;
    ppu.cycle();
    EXPECT_EQ(ppu.v, 0x741F);  // horizontal bits from t
    EXPECT_EQ(ppu.oam_addr, 0);
    run_to(261, 280);
    ppu.v = 0x0000;
    ppu.cycle();
    EXPECT_EQ(ppu.v, 0x7BE0);  // vertical bits from t
    ppu.v = 0x041F;
    run_to(261, 305);
    EXPECT_EQ(ppu.v, 0x7FFF);  // horizontal bits kept
    ppu.v = 0x0000;
    ppu.cycle();
    EXPECT_EQ(ppu.v, 0x0000);  // dot 305 copies nothing
}

TEST_F(Ppu, VisibleLineStepsCoarseXThirtyOneTimesAndYOnce) {
    mask = 0x08;
    run_to(3, 1);
    ppu.v = 0x0000;
    run_to(3, 257);
    // 31 coarse-X steps (dots 8 to 248) and one Y step at dot 256.
    EXPECT_EQ(ppu.v, 0x1000 | 31);
    run_to(4, 1);
    ppu.v = 0x0003;
    run_to(4, 257);
    EXPECT_EQ(ppu.v, 0x1000 | 0x0400 | 2);  // across into the next nametable
}

// ---------------------------------------------------------------------------------------------
// Sprite evaluation: eight per line and the overflow search

class SpriteLine : public Ppu {
protected:
    void SetUp() override {
        mask = 0x18;
        std::fill(std::begin(ppu.oam), std::end(ppu.oam), uint8_t{0xF0});  // below the picture
        run_to_frame(1);
    }
    void place(int sprite, uint8_t y, uint8_t tile, uint8_t attributes, uint8_t x) {
        uint8_t* s = ppu.oam + 4 * sprite;
        s[0] = y;
        s[1] = tile;
        s[2] = attributes;
        s[3] = x;
    }
};

TEST_F(SpriteLine, NineOnALineDrawsTheFirstEightAndSetsOverflow) {
    for (int i = 0; i < 9; ++i) place(i, 50, static_cast<uint8_t>(i), 0, static_cast<uint8_t>(20 * i));
    run_to(50, 145);  // the eighth is found on dot 144
    EXPECT_EQ(ppu.secondary_count, 8);
    EXPECT_EQ(status & 0x20, 0);
    ppu.cycle();
    EXPECT_EQ(status & 0x20, 0x20);
    run_to(51, 1);
    EXPECT_EQ(ppu.line_sprite_count, 8);
    EXPECT_TRUE(ppu.sprite0_on_line);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ppu.line_sprites[4 * i], 51);  // Y + 1
        EXPECT_EQ(ppu.line_sprites[4 * i + 1], i);
    }
    run_to(261, 2);
    EXPECT_EQ(status & 0x20, 0);
}

TEST_F(SpriteLine, OverflowSearchComparesTheWrongByteAfterAMiss) {
    // Eight in range at OAM 48-55 fill the line on dot 240; the search then looks at 56-63 and
    // wraps to 0-7. Sprite 56 misses, so sprite 57 is compared by its tile byte.
    for (int i = 48; i < 56; ++i) place(i, 50, 0, 0, 0);
    place(57, 50, 0xF0, 0xF0, 0xF0);  // a ninth sprite on the line, missed
    run_to(51, 0);
    EXPECT_EQ(ppu.line_sprite_count, 8);
    EXPECT_EQ(status & 0x20, 0);

    place(57, 0xF0, 50, 0xF0, 0xF0);  // no ninth sprite, but its tile byte matches
    run_to(51, 0);
    run_to(50, 0);
    run_to(51, 0);
    EXPECT_EQ(status & 0x20, 0x20);
}

TEST_F(SpriteLine, OverflowSearchMovesOnThroughAllFourBytesAndWraps) {
    // Eight in range at OAM 48-55 fill the line; every later sprite misses on the byte compared,
    // which moves on one byte per miss, until the one byte in range: 50 at the byte the search
    // reaches there (sprite 56 is compared by Y, 57 by tile, 58 by attributes, 59 by X, 60 by Y).
    struct Case {
        int sprite, byte;
    };
    for (const Case c : {Case{58, 2}, Case{59, 3}, Case{60, 0}}) {
        std::fill(std::begin(ppu.oam), std::end(ppu.oam), uint8_t{0xF0});
        for (int i = 48; i < 56; ++i) place(i, 50, 0, 0, 0);
        ppu.oam[4 * c.sprite + c.byte] = 50;
        run_to(261, 2);  // the flag is clear
        run_to(51, 0);
        EXPECT_EQ(status & 0x20, 0x20) << "sprite " << c.sprite << " byte " << c.byte;
        ppu.oam[4 * c.sprite + c.byte] = 0xF0;
        run_to(261, 2);
        run_to(51, 0);
        EXPECT_EQ(status & 0x20, 0) << "sprite " << c.sprite << " byte " << c.byte << " out of range";
    }
}

TEST_F(SpriteLine, OverflowSearchOverALineInOneSpanMatchesSteppingIt) {
    // Eight in range at OAM 0-7 fill the line by dot 144; the search then runs to dot 256, over
    // sprites 8-63 and round to 0-55, with the listed bytes in range (50) besides the Y bytes of
    // sprites 0-7. One span passes over the misses between hits; stepping tries every byte.
    struct Byte {
        int sprite, byte;
    };
    const std::vector<std::vector<Byte>> cases{
        {}, {{10, 2}}, {{10, 2}, {11, 2}}, {{13, 1}}, {{40, 0}}, {{63, 3}, {9, 1}, {30, 3}}, {{5, 1}}};
    for (const std::vector<Byte>& in_range : cases) {
        std::fill(std::begin(ppu.oam), std::end(ppu.oam), uint8_t{0xF0});
        for (int i = 0; i < 8; ++i) place(i, 50, 0, 0, 0);
        for (const Byte b : in_range) ppu.oam[4 * b.sprite + b.byte] = 50;
        std::vector<int> seen[2];  // stepped, then in one span: the flag, the byte, the index
        for (std::vector<int>& after : seen) {
            run_to(261, 2);  // the flag is clear
            run_to(50, 1);
            if (&after == &seen[0])
                run_to(50, 257);
            else
                ppu.run(ppu.dot_count + 256);
            after = {status & 0x20, ppu.eval_byte, ppu.eval_index};
        }
        EXPECT_EQ(seen[1], seen[0]) << in_range.size() << " bytes in range";
    }
}

TEST_F(SpriteLine, EachEntryKeepsThePatternBitOfTheLastPixelThatExaminedIt) {
    // Each pixel examines its entries in order up to the first opaque one. Tile 1 is opaque in
    // its right half, tile 2 in its left half, tile 3 nowhere.
    for (int row = 0; row < 8; ++row) {
        ppu.video_memory[16 + row] = 0x0F;
        ppu.video_memory[32 + row] = 0xF0;
    }
    place(0, 49, 1, 0, 10);  // x = 10-17, opaque on 14-17
    place(1, 49, 2, 0, 10);  // x = 10-17, opaque on 10-13
    place(2, 49, 3, 0, 8);   // x = 8-15, behind entry 1 on 10-13 and entry 0 on 14-15
    mask = 0x1E;
    // Pixels 0-14 (dots 1-15), stepped and in one span: entry 0 was last examined on its fifth
    // pixel (x = 14), entry 1 on its fourth (x = 13; then entry 0 won), entry 2 on its second.
    const std::vector<int> after_x_14{3, 4, 6};
    run_to(50, 16);
    EXPECT_EQ(std::vector<int>(ppu.sprite_bit, ppu.sprite_bit + 3), after_x_14);
    run_to(50, 1);
    ppu.run(ppu.dot_count + 15);
    EXPECT_EQ(std::vector<int>(ppu.sprite_bit, ppu.sprite_bit + 3), after_x_14);
    // To the line's last pixel: entry 0 ends on its last pixel; the others are examined no more.
    ppu.run(ppu.dot_count + 256 - 15);
    EXPECT_EQ(std::vector<int>(ppu.sprite_bit, ppu.sprite_bit + 3), (std::vector<int>{0, 4, 6}));
}

TEST_F(SpriteLine, SpritesAtY255AndFromY239AreNeverFoundAndYZeroStartsOnLine1) {
    place(0, 255, 1, 0, 10);
    place(1, 239, 1, 0, 10);
    place(2, 240, 1, 0, 10);
    place(3, 0, 1, 0, 30);
    place(4, 238, 1, 0, 40);
    int found_on_line[240] = {};
    int first_line_of[5] = {-1, -1, -1, -1, -1};
    for (int line = 0; line < 240; ++line) {
        run_to(line, 258);
        found_on_line[line] = ppu.line_sprite_count;  // sprites for line + 1
        for (int i = 0; i < ppu.line_sprite_count; ++i) {
            const int x = ppu.line_sprites[4 * i + 3];
            const int who = x == 30 ? 3 : x == 40 ? 4 : 0;
            if (first_line_of[who] < 0) first_line_of[who] = line + 1;
        }
    }
    EXPECT_EQ(first_line_of[0], -1);
    EXPECT_EQ(first_line_of[3], 1);
    EXPECT_EQ(first_line_of[4], 239);
    EXPECT_EQ(found_on_line[239], 0);  // nothing is carried into line 0
    EXPECT_EQ(found_on_line[8], 0);    // Y = 0 covers lines 1-8
    EXPECT_EQ(found_on_line[7], 1);
}

// ---------------------------------------------------------------------------------------------
// Sprite-0 hit

class SpriteZeroHit : public Ppu {
protected:
    // Background tile 1 is solid; sprite tile 2 has only its leftmost column opaque.
    void SetUp() override {
        for (int row = 0; row < 8; ++row) {
            ppu.video_memory[16 + row] = 0xFF;
            ppu.video_memory[32 + row] = 0x80;
        }
        std::fill(ppu.video_memory + 0x2000, ppu.video_memory + 0x23C0, uint8_t{1});
        std::fill(std::begin(ppu.oam), std::end(ppu.oam), uint8_t{0xF0});
    }
    void sprite0(uint8_t y, uint8_t x, uint8_t attributes = 0) {
        ppu.oam[0] = y;
        ppu.oam[1] = 2;
        ppu.oam[2] = attributes;
        ppu.oam[3] = x;
    }
    // The pixel (line, x) on which the hit flag rises in the next whole frame, or -1.
    std::pair<int, int> hit_position() {
        const uint64_t frame = ppu.frame_count + 1;
        run_to_frame(frame);
        while (ppu.frame_count == frame) {
            const int line = ppu.scanline, d = ppu.dot;
            ppu.cycle();
            if (status & 0x40) return {line, d - 1};
        }
        return {-1, -1};
    }
};

TEST_F(SpriteZeroHit, HitsInsideTheLeftClipAndAtTheRightEdge) {
    mask = 0x18;  // both layers on, both clipped in the leftmost 8 pixels
    sprite0(99, 3);
    EXPECT_EQ(hit_position(), std::make_pair(100, 3));
    EXPECT_EQ(status & 0x40, 0x40);
    run_to(261, 1);
    EXPECT_EQ(status & 0x40, 0x40);  // stays set until the pre-render line
    ppu.cycle();
    EXPECT_EQ(status & 0x40, 0);

    sprite0(99, 255);
    EXPECT_EQ(hit_position(), std::make_pair(100, 255));
}

TEST_F(SpriteZeroHit, NeedsBothLayersAnOpaqueBackgroundAndSpriteZeroItself) {
    sprite0(99, 3);
    mask = 0x10;
    EXPECT_EQ(hit_position().first, -1);
    mask = 0x08;
    EXPECT_EQ(hit_position().first, -1);

    mask = 0x1E;
    std::fill(ppu.video_memory + 0x2000, ppu.video_memory + 0x23C0, uint8_t{0});  // transparent
    EXPECT_EQ(hit_position().first, -1);

    std::fill(ppu.video_memory + 0x2000, ppu.video_memory + 0x23C0, uint8_t{1});
    sprite0(0xF0, 0);
    ppu.oam[4] = 99;  // sprite 1 over the background is no hit
    ppu.oam[5] = 2;
    ppu.oam[6] = 0;
    ppu.oam[7] = 40;
    EXPECT_EQ(hit_position().first, -1);

    // Behind the background, and from the flipped column.
    sprite0(99, 40, 0x20 | 0x40);
    EXPECT_EQ(hit_position(), std::make_pair(100, 47));
}

// ---------------------------------------------------------------------------------------------
// Whole pictures against a per-pixel model of the screen

struct Scene {
    uint8_t ctrl, mask;
    uint16_t t;
    uint8_t fine_x;
    int mirroring;
};

// Nametable byte of logical page 0-3 under a mirroring mode.
uint8_t nametable(const NES::PPU& ppu, int mode, int page, int offset) {
    static const int physical[4][4] = {{0, 0, 2, 2}, {0, 1, 0, 1}, {0, 1, 2, 3}, {0, 0, 0, 0}};
    const int m = mode >= 0 && mode < 4 ? mode : 2;
    return ppu.video_memory[0x2000 + physical[m][page] * 0x400 + offset];
}

struct Pixel {
    int bg;      // background pattern value 0-3
    int bg_pal;  // its palette
};

Pixel background_at(const NES::PPU& ppu, const Scene& s, int x, int y) {
    const int sx = ((s.t >> 10) & 1) * 256 + (s.t & 31) * 8 + s.fine_x + x;
    const int sy = ((s.t >> 11) & 1) * 240 + ((s.t >> 5) & 31) * 8 + ((s.t >> 12) & 7) + y;
    const int page = ((sy / 240) % 2) * 2 + (sx / 256) % 2;
    const int col = (sx % 256) / 8, row = (sy % 240) / 8;
    const int tile = nametable(ppu, s.mirroring, page, row * 32 + col);
    const int attribute = nametable(ppu, s.mirroring, page, 0x3C0 + (row / 4) * 8 + col / 4);
    const int shift = ((row / 2) % 2) * 4 + ((col / 2) % 2) * 2;
    const int base = (s.ctrl & 0x10) ? 0x1000 : 0;
    const int addr = base + tile * 16 + (sy % 240) % 8;
    const int bit = 7 - sx % 8;
    const int value = ((ppu.video_memory[addr] >> bit) & 1) | (((ppu.video_memory[addr + 8] >> bit) & 1) << 1);
    return {value, (attribute >> shift) & 3};
}

struct Expected {
    std::vector<uint8_t> colour = std::vector<uint8_t>(240 * 256);
    int hit_x = -1, hit_y = -1;
};

Expected model(const NES::PPU& ppu, const Scene& s) {
    Expected out;
    const uint8_t* pal = ppu.video_memory + 0x3F00;
    const int height = (s.ctrl & 0x20) ? 16 : 8;
    for (int y = 0; y < 240; ++y) {
        // The first eight sprites in OAM order covering this line; Y + 1 is the top line.
        std::vector<int> on_line;
        for (int i = 0; i < 64 && on_line.size() < 8; ++i) {
            const int top = ppu.oam[4 * i] + 1;
            if (ppu.oam[4 * i] != 255 && top <= 239 && y >= top && y < top + height) on_line.push_back(i);
        }
        for (int x = 0; x < 256; ++x) {
            const Pixel bg = background_at(ppu, s, x, y);
            int u = 0, g = 0, behind = 0, who = -1;
            for (int i : on_line) {
                const uint8_t* o = ppu.oam + 4 * i;
                if (x < o[3] || x > o[3] + 7) continue;
                int col = x - o[3], row = y - (o[0] + 1);
                if (o[2] & 0x40) col = 7 - col;
                if (o[2] & 0x80) row = height - 1 - row;
                int addr;
                if (height == 16)
                    addr = (o[1] & 1) * 0x1000 + ((o[1] & 0xFE) + row / 8) * 16 + row % 8;
                else
                    addr = ((s.ctrl & 0x08) ? 0x1000 : 0) + o[1] * 16 + row;
                const int value = ((ppu.video_memory[addr] >> (7 - col)) & 1) |
                                  (((ppu.video_memory[addr + 8] >> (7 - col)) & 1) << 1);
                if (value != 0) {
                    u = value;
                    g = o[2] & 3;
                    behind = o[2] & 0x20;
                    who = i;
                    break;
                }
            }
            if (!(s.mask & 0x10)) u = 0;
            if (who == 0 && u != 0 && bg.bg != 0 && (s.mask & 0x18) == 0x18 && out.hit_y < 0) {
                out.hit_x = x;
                out.hit_y = y;
            }
            // A layer hidden at a pixel (by PPUMASK or its left clip) is transparent there.
            const bool bg_shown = (s.mask & 0x08) && bg.bg != 0 && (x >= 8 || (s.mask & 0x02));
            const bool sprite_shown = u != 0 && (x >= 8 || (s.mask & 0x04));
            uint8_t colour = pal[0];
            if (sprite_shown && (!bg_shown || !behind))
                colour = pal[0x10 + 4 * g + u];
            else if (bg_shown)
                colour = pal[4 * bg.bg_pal + bg.bg];
            out.colour[y * 256 + x] = colour;
        }
    }
    return out;
}

class Picture : public Ppu {
protected:
    std::mt19937 rng{20240611};
    uint8_t random_byte() { return static_cast<uint8_t>(rng() & 0xFF); }

    void fill_random() {
        for (int a = 0; a < 0x3000; ++a) ppu.video_memory[a] = random_byte();
        for (int a = 0x3F00; a < 0x3F20; ++a) ppu.video_memory[a] = random_byte();  // all 8 bits
        for (uint8_t& b : ppu.oam) b = 0xF0;
    }
    void sprite(int i, int y, int tile, int attributes, int x) {
        ppu.oam[4 * i] = static_cast<uint8_t>(y);
        ppu.oam[4 * i + 1] = static_cast<uint8_t>(tile);
        ppu.oam[4 * i + 2] = static_cast<uint8_t>(attributes);
        ppu.oam[4 * i + 3] = static_cast<uint8_t>(x);
    }
    // Draws the scene and compares its second frame (the first with the new scroll on every
    // line) pixel by pixel, and the hit flag; then forgets the picture and compares a frame
    // drawn a line at a time, as the console runs the PPU when nothing comes between.
    void check(const Scene& s) {
        ctrl = s.ctrl;
        mask = s.mask;
        ppu.t = s.t;
        ppu.fine_x = s.fine_x;
        ppu.mirroring = s.mirroring;
        const Expected want = model(ppu, s);
        run_to_frame(ppu.frame_count + 2);
        compare(want);
        std::fill(std::begin(ppu.frame_index), std::end(ppu.frame_index), NES::PPU::NOT_DRAWN);
        std::fill(std::begin(ppu.frame_rgb), std::end(ppu.frame_rgb), 0);
        draw_by_lines();
        compare(want);
    }
    // The next frame's visible lines, a line at a time.
    void draw_by_lines() {
        for (const uint64_t frame = ppu.frame_count; ppu.frame_count == frame;) ppu.run(ppu.dot_count + 341);
        for (int line = 0; line < 240; ++line) ppu.run(ppu.dot_count + 341);
    }
    void compare(const Expected& want) {
        run_to(240, 0);
        EXPECT_EQ(status & 0x40, want.hit_y >= 0 ? 0x40 : 0);
        int wrong = 0;
        for (int n = 0; n < 240 * 256 && wrong < 5; ++n) {
            const uint8_t c = want.colour[n];
            const uint8_t* rgb = NES::NTSC_TO_RGB[c & 0x3F];
            const bool ok = ppu.frame_index[n] == c && ppu.frame_rgb[3 * n] == rgb[0] &&
                            ppu.frame_rgb[3 * n + 1] == rgb[1] && ppu.frame_rgb[3 * n + 2] == rgb[2];
            if (!ok) {
                ++wrong;
                ADD_FAILURE() << "pixel (" << n % 256 << ", " << n / 256 << "): drew " << int(ppu.frame_index[n])
                              << ", expected " << int(c);
            }
        }
    }
};

TEST_F(Picture, BackgroundScrolledAcrossNametablesUnderEveryMirroring) {
    fill_random();
    // coarse X 3, fine X 5, coarse Y 2, fine Y 3, second horizontal nametable
    const uint16_t t = static_cast<uint16_t>((3 << 12) | 0x0400 | (2 << 5) | 3);
    check({0x00, 0x0A, t, 5, 0});
    check({0x10, 0x0A, t, 5, 1});
    // vertical scroll into the lower nametable, the left clip on, fine X 7
    check({0x00, 0x08, static_cast<uint16_t>((6 << 12) | 0x0800 | (28 << 5) | 30), 7, 2});
    check({0x10, 0x0A, static_cast<uint16_t>((1 << 12) | 0x0C00 | (17 << 5) | 31), 1, 3});
    check({0x00, 0x0A, 0, 0, 0});
}

TEST_F(Picture, SpritesAtTheEdgesFlippedAndPrioritised) {
    fill_random();
    sprite(0, 20, 0x11, 0x00, 0);     // left edge
    sprite(1, 20, 0x22, 0x41, 4);     // overlaps sprite 0, flipped horizontally
    sprite(2, 60, 0x33, 0x82, 250);   // off the right edge, flipped vertically
    sprite(3, 60, 0x44, 0xC3, 255);   // one column at x = 255
    sprite(4, 100, 0x55, 0x20, 100);  // behind the background
    sprite(5, 102, 0x66, 0x00, 104);  // in front, overlapping sprite 4 (sprite 4 wins where opaque)
    sprite(6, 0, 0x77, 0x01, 30);     // top: starts on line 1
    sprite(7, 238, 0x88, 0x02, 40);   // bottom: line 239 only
    sprite(8, 239, 0x99, 0x00, 50);   // never drawn
    sprite(9, 255, 0xAA, 0x00, 60);   // never drawn
    sprite(10, 150, 0xBB, 0x23, 3);   // behind, in the left 8 pixels
    check({0x00, 0x1E, 0x0021, 2, 1});
    check({0x08, 0x18, 0x0021, 2, 1});  // both clips, sprites from $1000
    check({0x08, 0x1A, 0x0021, 2, 1});
    check({0x08, 0x14, 0x0021, 2, 1});  // background hidden
    check({0x08, 0x0E, 0x0021, 2, 1});  // sprites hidden: the background pixel stays
}

TEST_F(Picture, TallSpritesTakeTheirTableFromTileBitZero) {
    fill_random();
    sprite(0, 30, 0x13, 0x00, 20);   // table $1000, tiles $12/$13
    sprite(1, 30, 0x20, 0x80, 40);   // flipped vertically: the lower tile comes first
    sprite(2, 30, 0x41, 0xC1, 60);   // both flips
    sprite(3, 225, 0xFF, 0x02, 80);  // tiles $FE/$FF of $1000, cut at the bottom
    sprite(4, 0, 0x08, 0x20, 100);
    check({0x20, 0x1E, 0x0000, 0, 0});
    check({0x28, 0x1E, 0x0000, 0, 0});  // PPUCTRL bit 3 does not matter for tall sprites
}

TEST_F(Picture, NineSpritesOnALineLeaveTheNinthOut) {
    fill_random();
    for (int i = 0; i < 9; ++i) sprite(i, 80, 0x30 + i, i & 3, 10 + 24 * i);
    check({0x00, 0x1E, 0x0000, 0, 0});
}

TEST_F(Picture, ChangesBetweenFramesAreRedrawn) {
    fill_random();
    sprite(0, 50, 0x12, 0x00, 50);
    check({0x00, 0x1E, 0x0000, 0, 0});
    fill_random();
    sprite(3, 90, 0x12, 0x00, 70);
    check({0x10, 0x1E, 0x0042, 3, 1});
}

// The colours made from the palette are kept from span to span: a change to any byte of the
// background palette must show in the next frame.
TEST_F(Picture, ABackgroundPaletteByteChangedBetweenFramesShowsInTheNext) {
    fill_random();
    check({0x00, 0x0A, 0x0000, 0, 0});
    for (int a = 0x3F01; a < 0x3F10; a += 2) {
        ppu.video_memory[a] ^= 0x15;
        check({0x00, 0x0A, 0x0000, 0, 0});
    }
}

TEST_F(Picture, OnlyPixelsWhoseColourChangedGetTheirRgbWritten) {
    fill_random();
    check({0x00, 0x0A, 0x0000, 3, 0});
    const std::vector<uint16_t> before(std::begin(ppu.frame_index), std::end(ppu.frame_index));
    for (int n = 0; n < 240 * 256; ++n) ppu.frame_rgb[3 * n] = 7;  // a red no colour has
    ppu.video_memory[0x3F00] ^= 1;                                 // the backdrop: some pixels of most tiles change
    draw_by_lines();
    int changed = 0;
    for (int n = 0; n < 240 * 256; ++n) {
        const bool redrawn = ppu.frame_index[n] != before[n];
        changed += redrawn;
        ASSERT_EQ(ppu.frame_rgb[3 * n], redrawn ? NES::NTSC_TO_RGB[ppu.frame_index[n] & 0x3F][0] : 7) << n;
    }
    EXPECT_GT(changed, 240 * 256 / 8);
    EXPECT_LT(changed, 240 * 256 / 2);
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// Running many dots at once

// With rendering off a span is one fill, but the bit counter still counts its dots and fetches
// where it reaches 8, from any value (a saved state may hold one above 8).
TEST(PpuRun, WithRenderingOffASpanCountsTheBitCounterAsSteppingDoes) {
    std::mt19937 rng(7);
    for (const int counter : {0, 5, 8, 9, 250}) {
        for (const int dots : {2, 8, 11, 256}) {
            Machine stepped, batched;
            for (Machine* m : {&stepped, &batched}) {
                std::mt19937 fill(3);
                for (int a = 0; a < 0x3000; ++a) m->ppu->video_memory[a] = static_cast<uint8_t>(fill());
                m->ppu->scanline = 7;
                m->ppu->dot = 1;
                m->ppu->v = static_cast<uint16_t>(rng() & 0x7FFF);
                m->ppu->bit_counter = static_cast<uint8_t>(counter);
            }
            batched.ppu->v = stepped.ppu->v;
            for (int n = 0; n < dots; ++n) stepped.ppu->cycle();
            batched.ppu->run_dots(static_cast<uint64_t>(dots));
            EXPECT_EQ(fixture::state_bytes(*stepped.ppu), fixture::state_bytes(*batched.ppu))
                << "bit counter " << counter << ", " << dots << " dots";
        }
    }
}

TEST(PpuRun, EndsAtTheTargetOrTheFrameEndAndMatchesSteppingDotByDot) {
    auto stepped = std::make_unique<Machine>();
    auto batched = std::make_unique<Machine>();
    std::mt19937 rng(99);
    for (int a = 0; a < 0x3000; ++a) stepped->ppu->video_memory[a] = static_cast<uint8_t>(rng());
    for (int a = 0x3F00; a < 0x3F20; ++a) stepped->ppu->video_memory[a] = static_cast<uint8_t>(rng());
    for (uint8_t& b : stepped->ppu->oam) b = static_cast<uint8_t>(rng());
    std::copy(std::begin(stepped->ppu->video_memory), std::end(stepped->ppu->video_memory), batched->ppu->video_memory);
    std::copy(std::begin(stepped->ppu->oam), std::end(stepped->ppu->oam), batched->ppu->oam);

    const uint8_t masks[] = {0x1E, 0x18, 0x00, 0x08, 0x10, 0x1A};
    const uint8_t ctrls[] = {0x00, 0x28, 0x10, 0x20};
    uint64_t target = 0;
    for (int chunk = 0; stepped->ppu->frame_count < 5; ++chunk) {
        if (chunk % 700 == 0) {  // as CPU writes between instructions would
            for (Machine* m : {stepped.get(), batched.get()}) {
                m->cpu->memory[0x2001] = masks[(chunk / 700) % 6];
                m->cpu->memory[0x2000] = ctrls[(chunk / 700) % 4];
                m->ppu->t = static_cast<uint16_t>(chunk * 37);
                m->ppu->fine_x = static_cast<uint8_t>(chunk % 8);
            }
        }
        if (rng() % 4 == 0) {  // a fine X write in mid-line
            const auto fine_x = static_cast<uint8_t>(rng() % 8);
            stepped->ppu->fine_x = batched->ppu->fine_x = fine_x;
        }
        target += 1 + rng() % (chunk % 4 == 0 ? 700 : 40);  // now and then whole lines
        const uint64_t frame = stepped->ppu->frame_count;
        while (stepped->ppu->dot_count < target && stepped->ppu->frame_count == frame) stepped->ppu->cycle();
        batched->ppu->run(target);

        const NES::PPU& a = *stepped->ppu;
        const NES::PPU& b = *batched->ppu;
        ASSERT_EQ(a.dot_count, b.dot_count) << "chunk " << chunk;
        ASSERT_EQ(a.frame_count, b.frame_count) << "chunk " << chunk;
        ASSERT_EQ(a.scanline, b.scanline) << "chunk " << chunk;
        ASSERT_EQ(a.dot, b.dot) << "chunk " << chunk;
        ASSERT_EQ(a.v, b.v) << "chunk " << chunk;
        ASSERT_EQ(stepped->cpu->memory[0x2002], batched->cpu->memory[0x2002]) << "chunk " << chunk;
        ASSERT_EQ(a.nmi_pending, b.nmi_pending) << "chunk " << chunk;
        ASSERT_EQ(a.line_sprite_count, b.line_sprite_count) << "chunk " << chunk;
        ASSERT_EQ((std::vector<int>{a.bit_counter, a.tile_index, a.pattern_addr, a.pattern_low, a.pattern_high,
                                    a.at_addr, a.eval_index, a.secondary_count}),
                  (std::vector<int>{b.bit_counter, b.tile_index, b.pattern_addr, b.pattern_low, b.pattern_high,
                                    b.at_addr, b.eval_index, b.secondary_count}))
            << "chunk " << chunk;
        if (chunk % 25 == 0) {  // every latch and counter, the picture so far
            ASSERT_EQ(fixture::state_bytes(*stepped->ppu), fixture::state_bytes(*batched->ppu)) << "chunk " << chunk;
        }
        if (a.frame_count != frame) {
            EXPECT_EQ(b.dot, 0);  // both stopped where the frame ended
            ASSERT_TRUE(std::equal(std::begin(a.frame_rgb), std::end(a.frame_rgb), std::begin(b.frame_rgb)));
            target = a.dot_count;
        }
    }
}

// An MMC3 counts lines at dot 256 of each line with rendering on; a span that draws on past
// that dot calls the board after it as at dot 256, so the count and the interrupt come on the
// same lines as when stepping dot by dot (with rendering off now and then, which stops it).
TEST(PpuRun, ABoardCountingLinesAtOneDotCountsThemAsSteppingDoes) {
    const std::vector<uint8_t> image = fixture::ines_image(4, 128, 32);
    Machine stepped(image), batched(image);
    for (Machine* m : {&stepped, &batched}) static_cast<NES::MMC3&>(*m->rom->mapper).irq_latch = 5;
    std::mt19937 rng(5);
    uint64_t target = 0;
    int interrupts = 0;
    for (int chunk = 0; stepped.ppu->frame_count < 4; ++chunk) {
        for (Machine* m : {&stepped, &batched}) m->cpu->memory[0x2001] = chunk % 40 < 35 ? 0x18 : 0x00;
        target += 1 + rng() % 600;
        const uint64_t frame = stepped.ppu->frame_count;
        while (stepped.ppu->dot_count < target && stepped.ppu->frame_count == frame) stepped.ppu->cycle();
        batched.ppu->run(target);

        const auto& a = static_cast<const NES::MMC3&>(*stepped.rom->mapper);
        const auto& b = static_cast<const NES::MMC3&>(*batched.rom->mapper);
        ASSERT_EQ(stepped.ppu->dot_count, batched.ppu->dot_count) << "chunk " << chunk;
        ASSERT_EQ(stepped.ppu->dot, batched.ppu->dot) << "chunk " << chunk;
        ASSERT_EQ(a.irq_counter, b.irq_counter) << "chunk " << chunk;
        ASSERT_EQ(stepped.cpu->irq_line, batched.cpu->irq_line) << "chunk " << chunk;
        interrupts += stepped.cpu->irq_line;
        stepped.cpu->irq_line = batched.cpu->irq_line = 0;
        if (stepped.ppu->frame_count != frame) target = stepped.ppu->dot_count;
    }
    EXPECT_GT(interrupts, 100);
    EXPECT_EQ(fixture::state_bytes(*stepped.ppu), fixture::state_bytes(*batched.ppu));
}

}  // namespace
