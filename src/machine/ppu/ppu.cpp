// The picture processor: video memory map, registers in the CPU memory, and the dot renderer.
#include "machine/ppu/ppu.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "machine/cartridge/mapper.hpp"
#include "machine/cartridge/rom.hpp"
#include "machine/cpu/cpu.hpp"

namespace NES {

namespace {

constexpr int DOTS_PER_LINE = 341;
constexpr int PRE_RENDER_LINE = 261;
constexpr int VBLANK_LINE = 241;
constexpr int LAST_VISIBLE_LINE = 239;

constexpr uint8_t STATUS_VBLANK = 0x80;
constexpr uint8_t STATUS_SPRITE0 = 0x40;
constexpr uint8_t STATUS_OVERFLOW = 0x20;

constexpr uint8_t MASK_BG_LEFT = 0x02;
constexpr uint8_t MASK_SPRITES_LEFT = 0x04;
constexpr uint8_t MASK_BG = 0x08;
constexpr uint8_t MASK_SPRITES = 0x10;

constexpr uint8_t CTRL_SPRITE_TABLE = 0x08;
constexpr uint8_t CTRL_BG_TABLE = 0x10;
constexpr uint8_t CTRL_TALL_SPRITES = 0x20;

// AND masks folding $2000-$2FFF by mirroring mode: horizontal clears bit 10, vertical bit 11,
// single-screen both, four-screen none.
constexpr uint16_t NAMETABLE_FOLD[4] = {0xFBFF, 0xF7FF, 0xFFFF, 0xF3FF};
constexpr uint32_t FOUR_SCREEN = 2;

constexpr uint16_t coarse_x_step(uint16_t v) {
    return (v & 0x1F) == 31 ? static_cast<uint16_t>((v & ~0x1F) ^ 0x0400) : static_cast<uint16_t>(v + 1);
}

// The scroll address one tile to the left: coarse_x_step undone.
constexpr uint16_t coarse_x_back(uint16_t v) {
    return (v & 0x1F) == 0 ? static_cast<uint16_t>((v | 0x1F) ^ 0x0400) : static_cast<uint16_t>(v - 1);
}

constexpr uint16_t y_step(uint16_t v) {
    if ((v & 0x7000) != 0x7000) return static_cast<uint16_t>(v + 0x1000);
    v &= 0x0FFF;
    const int coarse_y = (v >> 5) & 0x1F;
    if (coarse_y == 29) return static_cast<uint16_t>((v & ~0x03E0) ^ 0x0800);
    if (coarse_y == 31) return static_cast<uint16_t>(v & ~0x03E0);
    return static_cast<uint16_t>(v + 0x20);
}

// The attribute byte of the tile at scroll address `v`, and the shift of its two bits there.
constexpr uint16_t attribute_address(uint16_t v) {
    return static_cast<uint16_t>(0x23C0 | (v & 0x0C00) | ((v >> 4) & 0x38) | ((v >> 2) & 7));
}

constexpr unsigned attribute_shift(uint16_t v) { return (v & 0x02u) | ((v >> 4) & 0x04u); }

inline uint16_t nametable_fold(const PPU& ppu) {
    const auto mode = static_cast<uint32_t>(ppu.mirroring);
    return NAMETABLE_FOLD[mode < 4 ? mode : FOUR_SCREEN];
}

inline void reset_evaluation(PPU& ppu) {
    std::memset(ppu.secondary_oam, 0xFF, sizeof ppu.secondary_oam);
    ppu.eval_index = 0;
    ppu.eval_byte = 0;
    ppu.eval_done = 0;
    ppu.secondary_count = 0;
    ppu.sprite0_in_secondary = 0;
}

// Below this many dots a span's search examines sprites one by one: masks cost more.
constexpr int FEW_DOTS = 16;

// Of sprites `first` to `end` - 1: bit s of `covering` is set when sprite s covers `line`
// (its top line Y + 1 is at most `line` and above `line` - `height`), bit s of `shown` when its
// Y is not 255.
struct SpriteMasks {
    uint64_t covering = 0, shown = 0;
};

inline SpriteMasks sprite_masks(const uint8_t* oam, int first, int end, int line, int height) {
    SpriteMasks m;
#if defined(__SSE2__)
    // Sixteen sprites at a time: their Y bytes, taken from the low bytes of 32-bit lanes, packed
    // into 16-bit lanes for the compares and the results into bytes.
    const __m128i low_byte = _mm_set1_epi32(0xFF);
    const __m128i above = _mm_set1_epi16(static_cast<int16_t>(line - height - 1));
    const __m128i below = _mm_set1_epi16(static_cast<int16_t>(line));
    const __m128i hidden = _mm_set1_epi16(255);
    const auto ys = [&](const uint8_t* sprites) {
        const __m128i a = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sprites)), low_byte);
        const __m128i b = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sprites + 16)), low_byte);
        return _mm_packs_epi32(a, b);
    };
    for (int g = first / 16; g < (end + 15) / 16; ++g) {
        const __m128i low = ys(oam + 64 * g), high = ys(oam + 64 * g + 32);
        const __m128i in_low = _mm_and_si128(_mm_cmpgt_epi16(low, above), _mm_cmplt_epi16(low, below));
        const __m128i in_high = _mm_and_si128(_mm_cmpgt_epi16(high, above), _mm_cmplt_epi16(high, below));
        const __m128i at_255 = _mm_packs_epi16(_mm_cmpeq_epi16(low, hidden), _mm_cmpeq_epi16(high, hidden));
        m.covering |= uint64_t(unsigned(_mm_movemask_epi8(_mm_packs_epi16(in_low, in_high)))) << (16 * g);
        m.shown |= uint64_t(unsigned(_mm_movemask_epi8(at_255))) << (16 * g);
    }
    m.shown = ~m.shown;
#else
    for (int s = first; s < end; ++s) {
        const int y = oam[4 * s];
        if (y < line && y > line - height - 1) m.covering |= uint64_t{1} << s;
        if (y != 255) m.shown |= uint64_t{1} << s;
    }
#endif
    return m;
}

// Dots first to end - 1 of the overflow search from sprite byte `index` on, dot by dot: a
// sprite byte in range sets the flag, a miss moves on to the next byte of the following
// sprites instead of their Y. Returns the index reached. (The state is kept in locals: the
// flag's store may alias any byte of the PPU.)
inline uint8_t overflow_steps(PPU& ppu, int first, int end, uint8_t index, uint32_t height) {
    const int line = ppu.scanline;
    unsigned byte = ppu.eval_byte;
    bool found = false;
    for (int d = first; d < end; ++d) {
        if (static_cast<uint32_t>(line - ppu.oam[index + byte]) < height)
            found = true;
        else
            byte = (byte + 1) & 3;
        index = static_cast<uint8_t>(index + 4);
    }
    ppu.eval_byte = static_cast<uint8_t>(byte);
    if (found) *ppu.ppustatus |= STATUS_OVERFLOW;
    return index;
}

// Bit p of the four words: byte p of sprite memory is in range for the search on `line`
// (`line` - `height` < byte <= `line`); `count` of them are.
struct BytesInRange {
    std::array<uint64_t, 4> bits{};
    int count = 0;
};

inline BytesInRange bytes_in_range(const uint8_t* oam, int line, uint32_t height) {
    BytesInRange in_range;
#if defined(__SSE2__)
    // Sixteen bytes at a time, compared in 16-bit lanes; each byte lane of `counts` adds the
    // hits of one position (at most 16), summed at the end.
    const __m128i above = _mm_set1_epi16(static_cast<int16_t>(line - static_cast<int>(height)));
    const __m128i below = _mm_set1_epi16(static_cast<int16_t>(line + 1));
    const __m128i zero = _mm_setzero_si128();
    __m128i counts = zero;
    for (int g = 0; g < 16; ++g) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(oam + 16 * g));
        const __m128i low = _mm_unpacklo_epi8(bytes, zero), high = _mm_unpackhi_epi8(bytes, zero);
        const __m128i in_low = _mm_and_si128(_mm_cmpgt_epi16(low, above), _mm_cmplt_epi16(low, below));
        const __m128i in_high = _mm_and_si128(_mm_cmpgt_epi16(high, above), _mm_cmplt_epi16(high, below));
        const __m128i in = _mm_packs_epi16(in_low, in_high);  // 0xFF for a byte in range
        counts = _mm_sub_epi8(counts, in);
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(in));
        in_range.bits[static_cast<size_t>(g / 4)] |= uint64_t{mask} << (16 * (g % 4));
    }
    const __m128i sums = _mm_sad_epu8(counts, zero);
    in_range.count = _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
#else
    for (int p = 0; p < 256; ++p)
        if (static_cast<uint32_t>(line - oam[p]) < height)
            in_range.bits[static_cast<size_t>(p / 64)] |= uint64_t{1} << (p % 64);
    for (const uint64_t bits : in_range.bits) in_range.count += std::popcount(bits);
#endif
    return in_range;
}

// While every compare misses, dot j after one at sprite s with byte b compares byte b + j
// (mod 4) of sprite s + j: the positions 4s' + ((d + s') AND 3) of one diagonal d = b - s. Bit p
// of DIAGONALS[d] is set for the positions of diagonal d.
constexpr std::array<std::array<uint64_t, 4>, 4> diagonals() {
    std::array<std::array<uint64_t, 4>, 4> masks{};
    for (unsigned d = 0; d < 4; ++d)
        for (unsigned s = 0; s < 64; ++s) {
            const unsigned p = 4 * s + ((d + s) & 3);
            masks[d][p / 64] |= uint64_t{1} << (p % 64);
        }
    return masks;
}

constexpr std::array<std::array<uint64_t, 4>, 4> DIAGONALS = diagonals();

// How many sprites from sprite s on, along diagonal d and round past sprite 63, miss before
// one hits; 64 when none does.
inline int misses_before_hit(const std::array<uint64_t, 4>& in_range, int s, unsigned d) {
    const int start = 4 * s;
    for (int k = 0; k <= 4; ++k) {
        const auto w = static_cast<size_t>(((start >> 6) + k) & 3);
        uint64_t hits = in_range[w] & DIAGONALS[d][w];
        if (k == 0) hits &= ~uint64_t{0} << (start & 63);
        if (k == 4) hits &= (uint64_t{1} << (start & 63)) - 1;  // back round to the start
        if (hits != 0) return ((64 * static_cast<int>(w) + std::countr_zero(hits)) / 4 - s) & 63;
    }
    return 64;
}

// The overflow search goes dot by dot below this many dots, where finding the bytes in range
// costs more, and where more than this many bytes are in range, whose hits come too often to
// pass over many misses at a time.
constexpr int MANY_SEARCH_DOTS = 64;
constexpr int MANY_IN_RANGE = 48;

// The overflow search over a span: the misses between two hits are passed over together.
inline uint8_t overflow_search(PPU& ppu, int first, int end, uint8_t index, uint32_t height) {
    if (end - first < MANY_SEARCH_DOTS) return overflow_steps(ppu, first, end, index, height);
    const BytesInRange found_in_range = bytes_in_range(ppu.oam, ppu.scanline, height);
    if (found_in_range.count > MANY_IN_RANGE) return overflow_steps(ppu, first, end, index, height);
    const std::array<uint64_t, 4>& in_range = found_in_range.bits;
    unsigned byte = ppu.eval_byte;
    int sprite = index / 4;
    bool found = false;
    for (int left = end - first; left > 0;) {
        const int misses =
            std::min(misses_before_hit(in_range, sprite, (byte - static_cast<unsigned>(sprite)) & 3), left);
        byte = (byte + static_cast<unsigned>(misses)) & 3;
        sprite = (sprite + misses) & 63;
        left -= misses;
        if (left == 0) break;
        found = true;  // a hit keeps the byte
        sprite = (sprite + 1) & 63;
        --left;
    }
    ppu.eval_byte = static_cast<uint8_t>(byte);
    if (found) *ppu.ppustatus |= STATUS_OVERFLOW;
    return static_cast<uint8_t>(4 * sprite);
}

// The same search for a span of a few dots, one sprite at a time.
inline void evaluate_sprites_one_by_one(PPU& ppu, int first, int end) {
    const uint32_t height = (*ppu.ppuctrl & CTRL_TALL_SPRITES) ? 16 : 8;
    const int next_line = (ppu.scanline + 1) % 240;
    uint8_t index = ppu.eval_index;
    unsigned count = ppu.secondary_count;
    int d = first + (first & 1);  // the first even dot
    if (ppu.eval_done && count < 8) {
        // Every sprite was examined and fewer than eight found: even dots only move the index.
        index = static_cast<uint8_t>(index + 4 * ((end + 1) / 2 - (first + 1) / 2));
        d = end;
    }
    for (; d < end && count < 8; d += 2) {
        if (!ppu.eval_done) {
            const uint8_t* sprite = ppu.oam + index;
            if (sprite[0] != 255) {
                uint8_t* entry = ppu.secondary_oam + 4 * count;
                const int top = sprite[0] + 1;  // the first line the sprite covers
                entry[0] = static_cast<uint8_t>(top);
                if (static_cast<uint32_t>(next_line - top) < height && top <= LAST_VISIBLE_LINE) {
                    std::memcpy(entry + 1, sprite + 1, 3);
                    ppu.sprite_x_start[count] = sprite[3];
                    if (index == 0) ppu.sprite0_in_secondary = 1;
                    ++count;
                }
            }
        }
        index = static_cast<uint8_t>(index + 4);
        if (index == 0) ppu.eval_done = 1;
    }
    // From the dot after the eighth was found, every dot runs the overflow search.
    if (count == 8) index = overflow_search(ppu, std::max(first, d - 1), end, index, static_cast<uint32_t>(height));
    ppu.eval_index = index;
    ppu.secondary_count = static_cast<uint8_t>(count);
}

// Dots first to end - 1 (within 129-256) of the search for the next line's sprites. Even
// dots examine one sprite each; once eight are found, every dot runs the overflow search,
// which after a miss compares the next byte of the following sprites instead of their Y.
// Drawing never looks at this state, so a span may search before it draws.
inline void evaluate_sprites(PPU& ppu, int first, int end) {
    if (end - first < FEW_DOTS) {
        evaluate_sprites_one_by_one(ppu, first, end);
        return;
    }
    const int height = (*ppu.ppuctrl & CTRL_TALL_SPRITES) ? 16 : 8;
    const int next_line = (ppu.scanline + 1) % 240;
    uint8_t index = ppu.eval_index;
    unsigned count = ppu.secondary_count;
    int d = first + (first & 1);  // the first even dot
    const int evens = (end + 1) / 2 - (first + 1) / 2;
    if (count < 8 && !ppu.eval_done && evens > 0) {
        // The sprites of these even dots, up to the last in OAM, found in OAM order. A sprite
        // with Y + 1 at most 239 covering the next line is found; every other one with Y other
        // than 255 leaves its Y + 1 in the entry the next find would take.
        const int from = index / 4;
        int to = std::min(from + evens, 64);
        const SpriteMasks m = sprite_masks(ppu.oam, from, to, next_line, height);
        const uint64_t examined = (to - from == 64 ? ~uint64_t{0} : (uint64_t{1} << (to - from)) - 1) << from;
        uint64_t covering = m.covering & examined;
        int last_found = from - 1;
        while (covering != 0 && count < 8) {
            const int s = std::countr_zero(covering);
            covering &= covering - 1;
            const uint8_t* sprite = ppu.oam + 4 * s;
            uint8_t* entry = ppu.secondary_oam + 4 * count;
            entry[0] = static_cast<uint8_t>(sprite[0] + 1);
            std::memcpy(entry + 1, sprite + 1, 3);
            ppu.sprite_x_start[count] = sprite[3];
            if (s == 0) ppu.sprite0_in_secondary = 1;
            ++count;
            last_found = s;
        }
        if (count == 8) {
            to = last_found + 1;  // the eighth ends the search
        } else {
            const uint64_t after = last_found == 63 ? 0 : ~uint64_t{0} << (last_found + 1);
            if (const uint64_t left = m.shown & examined & after; left != 0)
                ppu.secondary_oam[4 * count] = static_cast<uint8_t>(ppu.oam[4 * (63 - std::countl_zero(left))] + 1);
        }
        index = static_cast<uint8_t>(4 * to);
        if (to == 64) ppu.eval_done = 1;
        d += 2 * (to - from);
    }
    if (count < 8 && d < end) {
        // Every sprite was examined and fewer than eight found: even dots only move the index.
        index = static_cast<uint8_t>(index + 4 * ((end + 1) / 2 - (d + 1) / 2));
        d = end;
    }
    // From the dot after the eighth was found, every dot runs the overflow search.
    if (count == 8) index = overflow_search(ppu, std::max(first, d - 1), end, index, static_cast<uint32_t>(height));
    ppu.eval_index = index;
    ppu.secondary_count = static_cast<uint8_t>(count);
}

// Clears the sprite cover before a new list is loaded: only the old list's entries set bytes
// of it, unless a snapshot was loaded since.
inline void clear_cover(PPU& ppu) {
    if (ppu.cover_unknown) {
        std::memset(ppu.sprite_cover, 0, PPU::SPRITE_CLOCK_END);
        ppu.cover_unknown = 0;
        return;
    }
    for (int i = 0; i < ppu.line_sprite_count; ++i)
        std::memset(ppu.sprite_cover + static_cast<uint8_t>(ppu.sprite_x_counter[i]), 0, 8);
}

// Dot 257: the horizontal scroll returns to `t` and the sprites found become the line list.
inline void load_line_sprites(PPU& ppu) {
    ppu.v = static_cast<uint16_t>((ppu.v & 0xFBE0) | (ppu.t & 0x041F));
    ppu.oam_addr = 0;
    clear_cover(ppu);
    const int count = ppu.secondary_count;
    std::memcpy(ppu.line_sprites, ppu.secondary_oam, 4u * static_cast<unsigned>(count));
    ppu.line_sprite_count = static_cast<uint8_t>(count);
    ppu.sprite_active = 0;
    std::memcpy(ppu.sprite_x_counter, ppu.sprite_x_start, sizeof ppu.sprite_x_counter);
    ppu.sprite0_on_line = ppu.sprite0_in_secondary;
    for (int i = 0; i < count; ++i) {
        ppu.sprite_bit[i] = 7;
        const auto x = static_cast<uint8_t>(ppu.sprite_x_start[i]);
        for (int k = 0; k < 8; ++k) ppu.sprite_cover[x + k] |= static_cast<uint8_t>(1u << i);
    }
    ppu.sprite_clock = 0;
}

// Bits of a byte in the opposite order.
constexpr std::array<uint8_t, 256> reversed_bytes() {
    std::array<uint8_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned i = 0; i < 8; ++i)
            if ((b >> i) & 1u) table[b] = static_cast<uint8_t>(table[b] | (0x80u >> i));
    return table;
}

constexpr std::array<uint8_t, 256> REVERSED = reversed_bytes();

// The pattern row line-list entry i draws on this line, as its low and high bytes: PPUCTRL
// and video memory hold still while a span runs. A horizontally flipped row comes reversed, so
// pixel k of every entry is pattern bit 7 - k.
struct SpriteRow {
    uint8_t low, high;

    static SpriteRow of(const PPU& ppu, int i) {
        const uint8_t ctrl = *ppu.ppuctrl;
        const bool tall = (ctrl & CTRL_TALL_SPRITES) != 0;
        const unsigned height = tall ? 16 : 8;
        const uint8_t* sprite = ppu.line_sprites + 4 * i;
        const uint8_t attributes = sprite[2];
        auto row = static_cast<uint8_t>(ppu.scanline - sprite[0]);
        if (attributes & 0x80) row = static_cast<uint8_t>(height - 1 - row);
        const unsigned table = tall ? (sprite[1] & 1u) : ((ctrl & CTRL_SPRITE_TABLE) ? 1u : 0u);
        const unsigned tile = tall ? (sprite[1] & 0xFEu) : sprite[1];
        const unsigned address = (table << 12) | (((tile + row / 8u) & 0xFFu) << 4) | (row & 7u);
        const uint8_t low = ppu.video_memory[address], high = ppu.video_memory[address + 8];
        if (attributes & 0x40) return {REVERSED[low], REVERSED[high]};
        return {low, high};
    }
};

// What dots 1-256 of a visible line do besides drawing and the sprite search (dots 129-256).
enum DotEvent : uint8_t {
    FETCH = 1,       // dots 8k + 1: tile fetch at `v` (rendering)
    RESET_EVAL = 2,  // dot 1: clear the search state (sprites shown)
    Y_STEP = 4,      // dot 256: Y increment of `v` (rendering)
    COARSE_X = 8,    // dots 8k up to 248: coarse-X increment of `v` after drawing (rendering)
};
constexpr int FIRST_EVALUATION_DOT = 129;

constexpr std::array<uint8_t, 257> dot_events() {
    std::array<uint8_t, 257> events{};
    for (int d = 1; d <= 256; ++d) {
        unsigned e = 0;
        if (((d - 1) & 7) == 0) e |= FETCH;
        if (d == 1) e |= RESET_EVAL;
        if (d == 256) e |= Y_STEP;
        if ((d & 7) == 0 && d <= 255) e |= COARSE_X;
        events[static_cast<size_t>(d)] = static_cast<uint8_t>(e);
    }
    return events;
}

constexpr std::array<uint8_t, 257> DOT_EVENTS = dot_events();

// Bits 0-7 of a byte moved to the even bits 0-14.
constexpr std::array<uint16_t, 256> spread_bits() {
    std::array<uint16_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned r = 0;
        for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1u) << (2 * i);
        table[b] = static_cast<uint16_t>(r);
    }
    return table;
}

constexpr std::array<uint16_t, 256> SPREAD = spread_bits();

// The background latches of the tile being drawn, held in locals while a span of dots runs:
// every store into the picture may alias any byte of the PPU, so fields would be reloaded
// after each pixel. (No member is an array, so all of it can live in registers.)
struct Background {
    uint16_t nt_addr, at_addr, pattern_addr;
    uint8_t tile_index, pattern_low, pattern_high, bit_counter;
    // The pixel values (0-3) of the tile, two bits each, the next one to draw in bits 14-15.
    uint32_t pixels;
    // Colours of background pixel values 0-3 for this tile's attribute, one byte each from
    // the lowest; value 0 has the backdrop (all four are the backdrop with the layer hidden).
    uint32_t colours;

    // The PPU's latches, with the pixels and colours left to `set_pixels` and `set_colours`.
    static Background latched(const PPU& ppu) {
        return {ppu.nt_addr,
                ppu.at_addr,
                ppu.pattern_addr,
                ppu.tile_index,
                ppu.pattern_low,
                ppu.pattern_high,
                ppu.bit_counter,
                0,
                0};
    }

    void store(PPU& ppu) const {
        ppu.nt_addr = nt_addr;
        ppu.at_addr = at_addr;
        ppu.pattern_addr = pattern_addr;
        ppu.tile_index = tile_index;
        ppu.pattern_low = pattern_low;
        ppu.pattern_high = pattern_high;
        ppu.bit_counter = bit_counter;
    }

    // Video memory, PPUCTRL and the mirroring hold still while a span runs, so the attribute
    // byte read on every dot is the one read at the fetch.
    void fetch(const uint8_t* vram, uint16_t address, unsigned bg_table, uint16_t nt_fold, const uint32_t* sets) {
        load(vram, address, bg_table, nt_fold);
        set_colours(vram, nt_fold, sets);
    }

    // The latches of the tile at `address`, without its colours.
    void load(const uint8_t* vram, uint16_t address, unsigned bg_table, uint16_t nt_fold) {
        nt_addr = static_cast<uint16_t>((address & 0x0FFF) | 0x2000);
        at_addr = attribute_address(address);
        tile_index = vram[nt_addr & nt_fold];
        pattern_addr = static_cast<uint16_t>(bg_table | (tile_index * 16u) | ((address >> 12) & 7u));
        pattern_low = vram[pattern_addr];
        pattern_high = vram[pattern_addr + 8];
    }

    // `sets` holds the four colours of each attribute value, made once per span.
    void set_colours(const uint8_t* vram, uint16_t nt_fold, const uint32_t* sets) {
        const uint8_t attribute = vram[at_addr & nt_fold];
        colours = sets[(attribute >> attribute_shift(nt_addr)) & 3u];
    }

    // Lines the pixel values up for `bit_counter`.
    void set_pixels() {
        const uint32_t row = SPREAD[pattern_low] | SPREAD[pattern_high] << 1;
        pixels = bit_counter < 16 ? row << (2 * bit_counter) : 0;
    }

    unsigned pixel() const { return (pixels >> 14) & 3u; }
};

// A board that watches pattern fetches (MMC2, MMC4) is told of each background fetch as it
// happens; the PPU then runs one dot at a time, so a bank it switches shows from the next fetch.
inline Mapper* pattern_watcher(const PPU& ppu) {
    return ppu.mapper != nullptr && ppu.mapper->watches_patterns ? ppu.mapper : nullptr;
}

inline void tell_board(PPU& ppu, Mapper* watcher, const Background& bg) {
    if (watcher != nullptr) watcher->pattern_fetch(ppu.clock_context, static_cast<uint16_t>(bg.pattern_addr + 8));
}

inline void tell_board(PPU& ppu, const Background& bg) { tell_board(ppu, pattern_watcher(ppu), bg); }

// Whether the latches hold the row of the tile at `v`, with the counter at fine X: what the
// fetch at the tile's edge left for the fetch at dot 8k + 1 to read again.
inline bool holds_row(const Background& bg, uint16_t v, unsigned bg_table, uint8_t fine_x) {
    return bg.bit_counter == fine_x && bg.nt_addr == ((v & 0x0FFF) | 0x2000) &&
           (bg.pattern_addr & 0x1007u) == (bg_table | ((v >> 12) & 7u));
}

// Whether a sprite covers any of entries k to k + n - 1 (n at most 8) of a span's cover,
// which has `size` entries: read as one word where the array allows.
inline bool covered(const uint8_t* cover, int k, int n, int size) {
    const uint8_t* from = cover + k;
    if (k + 8 <= size) {
        uint64_t word;
        std::memcpy(&word, from, sizeof word);
        const int unused = 8 * (8 - n);  // bits of the entries past the n-th
        if constexpr (std::endian::native == std::endian::little)
            word <<= unused;
        else
            word >>= unused;
        return word != 0;
    }
    uint8_t any = 0;
    for (int i = 0; i < n; ++i) any |= from[i];
    return any != 0;
}

// Whether a sprite covers any of eight entries of a span's cover, all inside it.
inline bool covered_eight(const uint8_t* from) {
    uint64_t word;
    std::memcpy(&word, from, sizeof word);
    return word != 0;
}

// Byte i all ones where bit 7 - i of a pattern byte is set: the row as a mask over its pixels.
constexpr std::array<uint64_t, 256> pixel_masks() {
    std::array<uint64_t, 256> table{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned i = 0; i < 8; ++i)
            if ((b >> (7 - i)) & 1u) table[b] |= uint64_t{0xFF} << (8 * i);
    return table;
}

constexpr std::array<uint64_t, 256> PIXEL_MASK = pixel_masks();

constexpr uint64_t EVERY_BYTE = 0x0101010101010101u;

}  // namespace

inline ColourPlanes ColourPlanes::of(uint32_t colours) {
    const uint64_t c[4] = {(colours & 0xFFu) * EVERY_BYTE, ((colours >> 8) & 0xFFu) * EVERY_BYTE,
                           ((colours >> 16) & 0xFFu) * EVERY_BYTE, (colours >> 24) * EVERY_BYTE};
    return {c[0], c[0] ^ c[1], c[2], c[2] ^ c[3]};
}

inline uint64_t ColourPlanes::row(uint8_t low, uint8_t high) const {
    const uint64_t low_mask = PIXEL_MASK[low];
    const uint64_t high_mask = PIXEL_MASK[high];
    const uint64_t without_high = zero ^ (low_mask & zero_one);
    const uint64_t with_high = two ^ (low_mask & two_three);
    return without_high ^ (high_mask & (without_high ^ with_high));
}

LowByteRows::LowByteRows() { std::copy(PIXEL_MASK.begin(), PIXEL_MASK.end(), pixel_masks); }

inline void LowByteRows::make(unsigned set, const ColourPlanes& planes) {
    for (unsigned low = 0; low < 256; ++low) {
        const uint64_t plain = planes.row(static_cast<uint8_t>(low), 0);
        without_high[set << 8 | low] = plain;
        high_change[set << 8 | low] = plain ^ planes.row(static_cast<uint8_t>(low), 0xFF);
    }
}

inline uint64_t LowByteRows::row(unsigned set, uint8_t low, uint8_t high) const {
    return without_high[set << 8 | low] ^ (pixel_masks[high] & high_change[set << 8 | low]);
}

namespace {

// Eight bytes of memory as a word whose byte i is the one at `from` + i, and back.
inline uint64_t load_bytes(const uint8_t* from) {
    uint64_t word = 0;
    if constexpr (std::endian::native == std::endian::little)
        std::memcpy(&word, from, sizeof word);
    else
        for (int i = 0; i < 8; ++i) word |= uint64_t{from[i]} << (8 * i);
    return word;
}

inline void store_bytes(uint8_t* to, uint64_t word) {
    if constexpr (std::endian::native == std::endian::little)
        std::memcpy(to, &word, sizeof word);
    else
        for (int i = 0; i < 8; ++i) to[i] = static_cast<uint8_t>(word >> (8 * i));
}

// The colours, by pixel, of the rows that tile fetches along one nametable row load: the
// row's tile numbers and attribute bytes are found once, then each tile is a few loads.
struct TileRows {
    const uint8_t* vram;
    const LowByteRows* rows;
    unsigned bg_table;
    uint16_t nt_fold;
    const uint8_t* names = nullptr;  // the 32 tile numbers of the row
    unsigned pattern_row = 0;        // the pattern table and fine Y
    uint64_t sets = 0;               // the attribute sets of the tiles from the next on, two bits each

    // The nametable row of scroll address `v`, from its tile on. (Folding clears only bits 10
    // and 11, so the row's bytes follow the folded address of its first.)
    void aim(uint16_t v) {
        names = vram + (((v & 0x0FE0) | 0x2000) & nt_fold);
        pattern_row = bg_table | ((v >> 12) & 7u);
        sets =
            row_sets(vram + (attribute_address(v & 0x0FE0) & nt_fold), attribute_shift(v & 0x03E0)) >> 2 * (v & 0x1Fu);
    }

    // The attribute sets of a row's 32 tiles, two bits each from the lowest: attribute byte k,
    // shifted by the row's half, holds the sets of tiles 4k and 4k + 1, then of 4k + 2 and 4k + 3.
    static uint64_t row_sets(const uint8_t* attributes, unsigned lower_half) {
        const uint64_t halves = load_bytes(attributes) >> lower_half;
        const uint64_t left = halves & 0x0303030303030303u, right = halves & 0x0C0C0C0C0C0C0C0Cu;
        return left | left << 2 | right << 2 | right << 4;
    }

    // The colours of the tile at `coarse_x`, the next in the row; `pattern` gets the address of
    // its low pattern byte.
    uint64_t next_row(unsigned coarse_x, uint32_t& pattern) {
        pattern = pattern_row | names[coarse_x] * 16u;
        const auto set = static_cast<unsigned>(sets & 3u);
        sets >>= 2;
        return rows->row(set, vram[pattern], vram[pattern + 8]);
    }

    // The pixels of the tile with its low pattern byte at `pattern` whose value is not 0, as
    // pattern bits.
    unsigned opaque(uint32_t pattern) const { return vram[pattern] | vram[pattern + 8]; }
};

// The RGB bytes of every colour byte (a palette byte keeps all eight bits; its low six pick the
// colour), four bytes apart: a pixel's bytes are found with no masking or multiplying.
struct RgbByColour {
    uint8_t rgb[256][4];

    RgbByColour() : rgb{} {
        for (unsigned c = 0; c < 256; ++c) std::memcpy(rgb[c], NTSC_TO_RGB[c & 0x3Fu], 3);
    }
};
const RgbByColour RGB_BY_COLOUR;

// Palette bytes `entries` to `entries` + 3 as a set of four colours, one byte each from the
// lowest, with the first (never drawn: pixel value 0 is transparent) replaced by `first`.
inline uint32_t colour_set(const uint8_t* entries, uint8_t first) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t word;
        std::memcpy(&word, entries, sizeof word);
        return (word & 0xFFFFFF00u) | first;
    } else {
        return first | uint32_t{entries[1]} << 8 | uint32_t{entries[2]} << 16 | uint32_t{entries[3]} << 24;
    }
}

// Pixel x of a row takes a colour byte; its RGB bytes are written only when the byte changed.
inline void put_pixel(uint16_t* index, uint8_t* rgb, int x, uint8_t colour) {
    if (colour == index[x]) return;
    index[x] = colour;
    std::memcpy(rgb + 3 * x, RGB_BY_COLOUR.rgb[colour], 3);
}

// Records colour bytes 0-7 of `colours` as the last drawn at the eight pixels from `index` on;
// returns which of them changed, bits 2i and 2i + 1 for pixel i.
inline unsigned record_eight(uint16_t* index, uint64_t colours) {
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&colours));  // also on 32-bit x86
    const __m128i wanted = _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
    const __m128i same = _mm_cmpeq_epi16(wanted, _mm_loadu_si128(reinterpret_cast<const __m128i*>(index)));
    const auto changed = static_cast<unsigned>(_mm_movemask_epi8(same) ^ 0xFFFF);
    if (changed != 0) _mm_storeu_si128(reinterpret_cast<__m128i*>(index), wanted);
    return changed;
#else
    unsigned changed = 0;
    for (int i = 0; i < 8; ++i) {
        const auto colour = static_cast<uint16_t>((colours >> (8 * i)) & 0xFFu);
        if (index[i] != colour) changed |= 3u << (2 * i);
        index[i] = colour;
    }
    return changed;
#endif
}

// Pixels x to x + 7 of a row in colour bytes 0-7: a row that did not change costs one compare,
// and only the pixels that changed get their RGB bytes written.
inline void put_eight(uint16_t* index, uint8_t* rgb, int x, uint64_t colours) {
    unsigned changed = record_eight(index + x, colours);
    if (changed == 0) return;
    uint8_t colour[8];  // read back a byte at a time: cheaper than shifting the word
    store_bytes(colour, colours);
    for (changed &= 0xAAAA; changed != 0; changed &= changed - 1) {  // a bit of each pixel
        const auto i = static_cast<unsigned>(std::countr_zero(changed)) / 2;
        std::memcpy(rgb + 3 * (static_cast<unsigned>(x) + i), RGB_BY_COLOUR.rgb[colour[i]], 3);
    }
}

// Whether the sixteen pixels from `index` on were last drawn in `colour`.
inline bool sixteen_drawn_in(const uint16_t* index, uint8_t colour) {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi16(colour);
    const __m128i left = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(index)), wanted);
    const __m128i right = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(index + 8)), wanted);
    return _mm_movemask_epi8(_mm_and_si128(left, right)) == 0xFFFF;
#else
    return std::all_of(index, index + 16, [colour](uint16_t drawn) { return drawn == colour; });
#endif
}

// Pixels x to end - 1 of a row in one colour: a picture that is already that colour (rendering
// off, frame after frame) costs a compare per sixteen pixels.
inline void put_run(uint16_t* index, uint8_t* rgb, int x, int end, uint8_t colour) {
    for (; x + 16 <= end; x += 16) {
        if (sixteen_drawn_in(index + x, colour)) continue;
        put_eight(index, rgb, x, colour * EVERY_BYTE);
        put_eight(index, rgb, x + 8, colour * EVERY_BYTE);
    }
    for (; x + 8 <= end; x += 8) put_eight(index, rgb, x, colour * EVERY_BYTE);
    for (; x < end; ++x) put_pixel(index, rgb, x, colour);
}

// Bytes `from` to `to` - 1 of a word all ones (0 <= from <= to <= 8).
constexpr uint64_t byte_range(int from, int to) {
    const uint64_t below_to = to >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * to)) - 1;
    const uint64_t below_from = from >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * from)) - 1;
    return below_to & ~below_from;
}

// The sprite pixels of a span, one byte per dot from its first (with room for eight before and
// after): the colour of the entry that wins there, the lowest-numbered opaque one, and as 0xFF
// or 0 whether it shows (not clipped at the left), lies behind the background, is sprite 0 on a
// line that holds it, and whether any entry is opaque there at all.
struct SpriteLine {
    static constexpr int PAD = 8;
    uint8_t colour[PAD + 256 + PAD], shown[PAD + 256 + PAD], behind[PAD + 256 + PAD], zero[PAD + 256 + PAD],
        opaque[PAD + 256 + PAD];
};

// A span's sprite pixels, worked out when a dot first needs them: PPUCTRL, PPUMASK and video
// memory hold still while it runs.
class SpriteLayer {
public:
    // Dots first to first + count - 1, with the sprite clock at `clock` on the first.
    SpriteLayer(PPU& ppu, int first, int count, uint32_t clock, uint8_t mask)
        : ppu_(ppu), first_(first), count_(count), clock_(clock), mask_(mask) {}

    const SpriteLine& line() {
        if (!built_) build();
        return line_;
    }

private:
    // Entry by entry from the lowest, eight pixels at a time: an entry's opaque pixels win where
    // no lower entry's are opaque. Each dot examines its entries in order up to the first opaque
    // one, so an entry keeps the pattern bit of the last dot of the span where every lower
    // entry was transparent.
    [[gnu::noinline]] void build();

    PPU& ppu_;
    int first_, count_;
    uint32_t clock_;
    uint8_t mask_;
    bool built_ = false;
    SpriteLine line_;
};

void SpriteLayer::build() {
    built_ = true;
    const int entries = ppu_.line_sprite_count;
    // Where each entry's first pixel falls in the span; one wholly outside it draws nothing.
    int64_t start[8];
    int64_t low = count_, high = 0;
    for (int i = 0; i < entries; ++i) {
        start[i] = int64_t{ppu_.sprite_x_counter[i]} - clock_;
        if (start[i] <= -8 || start[i] >= count_) continue;
        low = std::min(low, start[i]);
        high = std::max(high, start[i] + 8);
    }
    if (low >= high) return;
    // Clear what a group of eight around the entries' pixels can read (and what lies between,
    // for one fill over the arrays, which follow one another).
    static_assert(sizeof(SpriteLine) == 5 * sizeof SpriteLine::colour);
    const auto from = static_cast<size_t>(std::max<int64_t>(low - 7, -SpriteLine::PAD) + SpriteLine::PAD);
    const auto to = static_cast<size_t>(std::min<int64_t>(high + 7, count_ + SpriteLine::PAD) + SpriteLine::PAD);
    std::memset(reinterpret_cast<unsigned char*>(&line_) + from, 0, 4 * sizeof line_.colour + to - from);

    const uint8_t* const palette = ppu_.video_memory + 0x3F10;
    for (int i = 0; i < entries; ++i) {
        if (start[i] <= -8 || start[i] >= count_) continue;
        const auto k = static_cast<int>(start[i]);
        const size_t at = static_cast<size_t>(k + SpriteLine::PAD);
        const uint64_t taken = load_bytes(line_.opaque + at);
        const uint64_t examined = ~taken & byte_range(std::max(0, -k), std::min(8, count_ - k));
        if (examined != 0) ppu_.sprite_bit[i] = static_cast<uint8_t>(7 - (63 - std::countl_zero(examined)) / 8);

        const uint8_t attributes = ppu_.line_sprites[4 * i + 2];
        const uint32_t set = colour_set(palette + 4 * (attributes & 3u), 0);
        const SpriteRow row = SpriteRow::of(ppu_, i);
        const uint64_t wins = PIXEL_MASK[row.low | row.high] & ~taken;
        const int clipped = (mask_ & MASK_SPRITES_LEFT) ? 0 : std::clamp(9 - first_ - k, 0, 8);
        const auto put = [&](uint8_t* bytes, uint64_t value) {
            store_bytes(bytes + at, (load_bytes(bytes + at) & ~wins) | (value & wins));
        };
        put(line_.colour, ColourPlanes::of(set).row(row.low, row.high));
        put(line_.shown, byte_range(clipped, 8));
        put(line_.behind, (attributes & 0x20) ? ~uint64_t{0} : 0);
        put(line_.zero, i == 0 && ppu_.sprite0_on_line ? ~uint64_t{0} : 0);
        put(line_.opaque, ~uint64_t{0});
    }
}

// Sprite pixels of one or more dots, one byte each, as a SpriteLine holds them.
struct SpriteBytes {
    uint64_t colour, shown, behind, zero;

    static SpriteBytes eight(const SpriteLine& line, int k) {
        const size_t at = static_cast<size_t>(k + SpriteLine::PAD);
        return {load_bytes(line.colour + at), load_bytes(line.shown + at), load_bytes(line.behind + at),
                load_bytes(line.zero + at)};
    }

    static SpriteBytes one(const SpriteLine& line, int k) {
        const size_t at = static_cast<size_t>(k + SpriteLine::PAD);
        return {line.colour[at], line.shown[at], line.behind[at], line.zero[at]};
    }
};

// The picture where sprites are drawn over background colours `bg`, one byte a pixel: in
// `bg_opaque` 0xFF where the background pixel value is not 0, in `bg_visible` where such a pixel
// is also shown (a pixel hidden by PPUMASK or its left clip is transparent, so a sprite behind
// it shows). Sets the sprite-0 hit, which no clip prevents.
inline uint64_t over_background(PPU& ppu, const SpriteBytes& s, uint64_t bg, uint64_t bg_opaque, uint64_t bg_visible,
                                uint8_t mask) {
    if ((s.zero & bg_opaque) != 0 && (mask & MASK_BG)) *ppu.ppustatus |= STATUS_SPRITE0;
    const uint64_t show = s.shown & ~(s.behind & bg_visible);
    return (bg & ~show) | (s.colour & show);
}

// Hands `take` the colours and the low pattern byte's address of the tile at `v` and the n
// tiles to its right, as (k, colours, address) with k = 0 to n; returns `v` stepped n tiles
// to the right. (The rows are a copy, which no store into the picture can change.)
template <class Take>
uint16_t walk_tiles(TileRows tiles, uint16_t v, int n, Take take) {
    for (int k = 0;; v = static_cast<uint16_t>((v ^ 0x0400) & ~0x1Fu)) {  // on at the next nametable's first
        tiles.aim(v);
        const auto first = static_cast<int>(v & 0x1Fu);
        const int last = std::min(first + n - k, 31);  // the last tile in this nametable row
        for (int x = first; x <= last; ++x, ++k) {
            uint32_t pattern;
            const uint64_t row = tiles.next_row(static_cast<unsigned>(x), pattern);
            take(k, row, pattern);
        }
        if (k > n) return static_cast<uint16_t>((v & ~0x1Fu) | static_cast<unsigned>(last));
    }
}

// Eight bytes of a tile drawn from fine X (`shift` = 8 x fine X) on, with the start of the tile
// to its right. (Shifting `right` by 64 - shift in two steps leaves nothing of it at fine X 0.)
constexpr uint64_t from_fine_x(uint64_t tile, uint64_t right, unsigned shift) {
    return (tile >> shift) | ((right << 1) << (63 - shift));
}

// The tile at `v` and the `n` tiles to its right, at most 33 in all: their colours, a row of
// eight each, and the addresses of their low pattern bytes.
struct TileRun {
    uint64_t colours[33];
    uint32_t patterns[33];

    // Returns `v` stepped n tiles to the right. The pattern addresses are kept only for
    // sprites, which need the background's opaque pixels.
    uint16_t fetch(const TileRows& tiles, uint16_t v, int n, bool for_sprites) {
        if (!for_sprites) return walk_tiles(tiles, v, n, [this](int g, uint64_t row, uint32_t) { colours[g] = row; });
        return walk_tiles(tiles, v, n, [this](int g, uint64_t row, uint32_t pattern) {
            colours[g] = row;
            patterns[g] = pattern;
        });
    }

    // Group g drawn from fine X: tile g from there on, then the start of tile g + 1. On a
    // little-endian machine the rows lie pixel after pixel in memory, so that is one load.
    uint64_t group(int g, unsigned fine_x) const {
        if constexpr (std::endian::native == std::endian::little) {
            uint64_t word;
            std::memcpy(&word, reinterpret_cast<const uint8_t*>(colours + g) + fine_x, sizeof word);
            return word;
        } else {
            return from_fine_x(colours[g], colours[g + 1], 8 * fine_x);
        }
    }
};

// What a span's whole tile groups are drawn with besides their tiles.
struct GroupLayers {
    uint8_t fine_x, mask, backdrop;
    bool clipped;          // the first group is the leftmost, its background hidden
    const uint8_t* cover;  // the span's sprite cover from the first group on
    SpriteLayer* sprites;  // the span's sprite pixels, or nullptr where none are shown
    int sprite_k;          // the first group's entry in them
};

// Whole group g of a run in `colours`, its background pixels shown where `shown`, with the
// sprites over it. Out of line: most groups have none.
[[gnu::noinline]] uint64_t sprites_over_group(PPU& ppu, const TileRows& tiles, const TileRun& run,
                                              const GroupLayers& layers, int g, uint64_t colours, uint64_t shown) {
    const unsigned shift = 8u * layers.fine_x;
    const uint64_t opaque =
        from_fine_x(PIXEL_MASK[tiles.opaque(run.patterns[g])], PIXEL_MASK[tiles.opaque(run.patterns[g + 1])], shift);
    const SpriteBytes sprites = SpriteBytes::eight(layers.sprites->line(), layers.sprite_k + 8 * g);
    return over_background(ppu, sprites, colours, opaque, opaque & shown, layers.mask);
}

// Groups `from` to n - 1 of a run, none of them clipped; with `Sprites` those that the cover
// marks get the sprites laid over them, with `Shifted` each group takes the start of the next
// tile (fine X is not 0).
template <bool Sprites, bool Shifted>
void draw_run(PPU& ppu, const TileRows& tiles, const TileRun& run, int from, int n, const GroupLayers& layers,
              uint16_t* index, uint8_t* rgb) {
    const uint64_t bg_layer = (layers.mask & MASK_BG) ? ~uint64_t{0} : 0;
    const unsigned fine_x = layers.fine_x;  // in a register: the picture's stores may alias the layers
    for (int g = from; g < n; ++g) {
        uint64_t colours = run.colours[g];
        if constexpr (Shifted) colours = run.group(g, fine_x);
        if constexpr (Sprites)
            if (covered_eight(layers.cover + 8 * g))
                colours = sprites_over_group(ppu, tiles, run, layers, g, colours, bg_layer);
        put_eight(index, rgb, 8 * g, colours);
    }
}

// Whole groups at fine X 0 with no sprites shown: each is its own tile's row, drawn as soon as
// it is fetched. Returns `v` stepped n tiles to the right.
inline uint16_t draw_plain_groups(const TileRows& tiles, uint16_t v, int n, const GroupLayers& layers, uint16_t* index,
                                  uint8_t* rgb) {
    const int from = layers.clipped ? 1 : 0;
    if (layers.clipped) {
        put_eight(index, rgb, 0, layers.backdrop * EVERY_BYTE);
        v = coarse_x_step(v);
    }
    if (from == n) return v;
    const auto draw = [=](int k, uint64_t row, uint32_t) { put_eight(index, rgb, 8 * (from + k), row); };
    return coarse_x_step(walk_tiles(tiles, v, n - 1 - from, draw));
}

// Whole tile groups, at most 32, from the tile at `v` on: each is the tile shifted left by fine
// X with the start of the tile to its right, with any sprite pixels over it. Returns `v`
// stepped n tiles to the right.
inline uint16_t draw_groups(PPU& ppu, const TileRows& tiles, uint16_t v, int n, const GroupLayers& layers,
                            uint16_t* index, uint8_t* rgb) {
    if (layers.sprites == nullptr && layers.fine_x == 0) return draw_plain_groups(tiles, v, n, layers, index, rgb);
    TileRun run;  // filled before drawing: the picture's stores cannot touch it
    v = run.fetch(tiles, v, n, layers.sprites != nullptr);
    int g = 0;
    if (layers.clipped) {
        uint64_t colours = layers.backdrop * EVERY_BYTE;
        if (layers.sprites != nullptr && covered_eight(layers.cover))
            colours = sprites_over_group(ppu, tiles, run, layers, 0, colours, 0);
        put_eight(index, rgb, 0, colours);
        g = 1;
    }
    // The loop for this run's case, so that it tests nothing the run decides.
    if (layers.sprites == nullptr)
        draw_run<false, true>(ppu, tiles, run, g, n, layers, index, rgb);
    else if (layers.fine_x == 0)
        draw_run<true, false>(ppu, tiles, run, g, n, layers, index, rgb);
    else
        draw_run<true, true>(ppu, tiles, run, g, n, layers, index, rgb);
    return v;
}

// The sprite clock moved on from `start` by the `count` dots of a span, and the entries of its
// last dot.
inline void pass_sprite_clock(PPU& ppu, uint32_t start, int count) {
    ppu.sprite_active = ppu.sprite_cover[std::min(start, PPU::SPRITE_CLOCK_END) + static_cast<uint32_t>(count) - 1];
    ppu.sprite_clock = std::min(start + static_cast<uint32_t>(count), PPU::SPRITE_CLOCK_END);
}

// Dots first to end - 1 with rendering off: every pixel is the backdrop and `v` holds still,
// but the bit counter still counts the pixels, and each time it reaches 8 it restarts from 0
// with the tile right of `v` fetched (the same tile each time: video memory holds still).
void blank_span(PPU& ppu, int first, int end) {
    const int row = ppu.scanline * 256;
    put_run(ppu.frame_index + row, ppu.frame_rgb + 3 * row, first - 1, end - 1, ppu.video_memory[0x3F00]);
    const int pixels = end - first;
    Background bg = Background::latched(ppu);
    const int to_wrap = bg.bit_counter == 8 ? 256 : static_cast<uint8_t>(8 - bg.bit_counter);
    if (pixels < to_wrap) {
        bg.bit_counter = static_cast<uint8_t>(bg.bit_counter + pixels);
    } else {
        bg.bit_counter = static_cast<uint8_t>((pixels - to_wrap) % 8);
        bg.load(ppu.video_memory, coarse_x_step(ppu.v), (*ppu.ppuctrl & CTRL_BG_TABLE) ? 0x1000u : 0u,
                nametable_fold(ppu));
    }
    bg.store(ppu);
    pass_sprite_clock(ppu, ppu.sprite_clock, end - first);
}

// The background colours for the palette as it is (which holds still while a span runs), made
// again only where it or the layer's visibility changed since they were last made.
const PPU::BackgroundColours& background_colours(PPU& ppu, bool shown) {
    PPU::BackgroundColours& made = ppu.background_colours;
    const uint8_t* const palette = ppu.video_memory + 0x3F00;
    if (made.shown == shown && load_bytes(made.palette) == load_bytes(palette) &&
        load_bytes(made.palette + 8) == load_bytes(palette + 8))
        return made;
    std::memcpy(made.palette, palette, sizeof made.palette);
    made.shown = shown;
    const uint8_t backdrop = palette[0];
    for (unsigned q = 0; q < 4; ++q) {
        uint32_t set = backdrop * 0x01010101u;  // a hidden layer shows the backdrop alone
        if (shown) set = colour_set(palette + 4 * q, backdrop);
        if (set == made.sets[q]) continue;
        made.sets[q] = set;
        made.rows.make(q, ColourPlanes::of(set));
    }
    return made;
}

// Dots ppu.dot to ppu.dot + count - 1 of a visible line, all within 1-256: per dot the sprite
// counters, the fetch and evaluation events, the pixel, and the coarse-X step. The caller keeps
// PPUMASK, PPUCTRL, the mirroring and video memory still for the span, and moves `dot` on.
void pixel_span(PPU& ppu, int count, uint8_t mask) {
    const int first = ppu.dot;
    const int end = first + count;
    const bool rendering = ppu.rendering_enabled;
    const bool sprites_shown = (mask & MASK_SPRITES) != 0;
    // A single dot takes the general way below, which stepping dot by dot checks spans against.
    if (!rendering && count > 1) {
        blank_span(ppu, first, end);
        return;
    }
    if (first == 1 && sprites_shown) reset_evaluation(ppu);
    if (rendering && end > FIRST_EVALUATION_DOT) evaluate_sprites(ppu, std::max(first, FIRST_EVALUATION_DOT), end);

    const unsigned bg_table = (*ppu.ppuctrl & CTRL_BG_TABLE) ? 0x1000u : 0u;
    const uint16_t nt_fold = nametable_fold(ppu);
    const uint8_t fine_x = ppu.fine_x;
    const unsigned event_mask = rendering ? unsigned{FETCH | Y_STEP | COARSE_X} : 0u;
    const bool bg_shown = (mask & MASK_BG) != 0;
    const uint8_t* const vram = ppu.video_memory;
    const uint8_t backdrop = vram[0x3F00];
    // Up to this dot the clipped layers show the backdrop.
    const int bg_clip_end = (mask & MASK_BG_LEFT) ? 1 : 9;

    const PPU::BackgroundColours& background = background_colours(ppu, bg_shown);
    const uint32_t* const colour_sets = background.sets;
    // Whole tile groups from dot d on, drawn together (dots 8k + 1 to 8k + 8, with rendering).
    const auto whole_groups = [&](int d) { return rendering && ((d - 1) & 7) == 0 ? (end - d) / 8 : 0; };
    Background bg = Background::latched(ppu);
    if (whole_groups(first) == 0) {  // else the groups fetch the latches anew before a dot reads them
        bg.set_colours(vram, nt_fold, colour_sets);
        bg.set_pixels();
    }
    uint16_t v = ppu.v;
    // Clocks from SPRITE_CLOCK_END on find no sprite; the cover reads zeros there.
    const uint32_t sprite_clock = ppu.sprite_clock;
    const uint8_t* const cover = ppu.sprite_cover + std::min(sprite_clock, PPU::SPRITE_CLOCK_END);
    const auto cover_size = static_cast<int>(std::end(ppu.sprite_cover) - cover);
    uint16_t fetched = 0;  // the address of the last fetch in this span
    TileRows tiles{vram, &background.rows, bg_table, nt_fold};
    bool any_fetched = false;
    // The span's sprite pixels: none where PPUMASK bit 4 hides sprites or the line holds none.
    SpriteLayer sprite_layer(ppu, first, count, sprite_clock, mask);
    SpriteLayer* const sprites = sprites_shown && ppu.line_sprite_count != 0 ? &sprite_layer : nullptr;

    const int row = ppu.scanline * 256;
    uint16_t* const index = ppu.frame_index + row;
    uint8_t* const rgb = ppu.frame_rgb + 3 * row;
    // Dots come in segments that end at a tile group's last dot (8k), before the Y step (256)
    // and where the bit counter wraps; events fall only at their edges.
    for (int d = first; d < end;) {
        // Whole tile groups (dots 8k + 1 to 8k + 8): each fetches at its first dot, fetches the
        // tile to the right where the bit counter wraps and steps coarse X at its last dot,
        // leaving the latches on the tile at `v` with the counter at fine X. The tile at `v` is
        // drawn from there on, so a group is one row of eight colours. (Their entries of the
        // cover, at least 256 long, are inside it.)
        const int groups = whole_groups(d);
        if (groups > 0) {
            const GroupLayers layers{fine_x, mask, backdrop, d < bg_clip_end, cover + (d - first), sprites, d - first};
            v = draw_groups(ppu, tiles, v, groups, layers, index + (d - 1), rgb + 3 * (d - 1));
            d += 8 * groups;
            fetched = v;
            if (d == 257) {
                // The line's last group steps Y instead of coarse X; at fine X 0 its tile's edge
                // comes on dot 256 itself, after the step.
                v = y_step(coarse_x_back(v));
                if (fine_x == 0) fetched = coarse_x_step(v);
            }
            any_fetched = true;
            bg.load(vram, fetched, bg_table, nt_fold);
            tell_board(ppu, bg);
            bg.bit_counter = fine_x;
            if (d < end) {  // dots follow that read the tile's colours and pixels
                bg.set_colours(vram, nt_fold, colour_sets);
                bg.set_pixels();
            }
            continue;
        }
        const unsigned events = DOT_EVENTS[static_cast<size_t>(d)] & event_mask;
        if (events & (FETCH | Y_STEP)) {
            // The tile at `v` is usually the one the edge of the last tile fetched already, with
            // the bit counter back at fine X; video memory holds still, so that fetch would repeat.
            if ((events & FETCH) && !(any_fetched && fetched == v && bg.bit_counter == fine_x)) {
                // A board watching fetches runs one dot per span and may have switched the bank
                // at that edge: the cartridge reads each tile once, so its row stands (past dot 1,
                // whose fetch is the next line's first).
                Mapper* const watcher = pattern_watcher(ppu);
                if (watcher == nullptr || d == 1 || !holds_row(bg, v, bg_table, fine_x)) {
                    bg.fetch(vram, v, bg_table, nt_fold, colour_sets);
                    tell_board(ppu, watcher, bg);
                    bg.bit_counter = fine_x;
                    bg.set_pixels();
                }
            }
            if (events & Y_STEP) v = y_step(v);
        }
        // Pixels left before the counter reaches 8 (an 8-bit counter beyond 8 goes round first).
        int to_wrap = static_cast<uint8_t>(8 - bg.bit_counter);
        if (to_wrap == 0) to_wrap = 256;
        int last = std::min({end - 1, ((d - 1) | 7) + 1, d + to_wrap - 1});
        if (rendering && d < 256) last = std::min(last, 255);

        // The segment's colour for each background pixel value (all the backdrop where the
        // leftmost pixels are clipped: segments never cross dot 8).
        uint8_t colour_of[4];
        const uint32_t colours = d < bg_clip_end ? backdrop * 0x01010101u : bg.colours;
        for (unsigned k = 0; k < 4; ++k) colour_of[k] = static_cast<uint8_t>(colours >> (8 * k));
        const int start = d;
        if (sprites == nullptr || !covered(cover, d - first, last + 1 - d, cover_size)) {
            for (; d <= last; ++d) {
                put_pixel(index, rgb, d - 1, colour_of[bg.pixel()]);
                bg.pixels <<= 2;
            }
        }
        for (; d <= last; ++d) {
            const unsigned p = bg.pixel();
            bg.pixels <<= 2;
            uint64_t colour = colour_of[p];
            if (cover[d - first] != 0) {
                const uint64_t opaque = p != 0 ? 0xFF : 0;
                const uint64_t shown = (mask & MASK_BG) && d >= bg_clip_end ? opaque : 0;
                colour =
                    over_background(ppu, SpriteBytes::one(sprites->line(), d - first), colour, opaque, shown, mask);
            }
            put_pixel(index, rgb, d - 1, static_cast<uint8_t>(colour));
        }

        // At the tile's edge the tile to the right is fetched; `v` itself moves at dots 8k.
        const int drawn = last + 1 - start;
        bg.bit_counter = static_cast<uint8_t>(bg.bit_counter + drawn);
        if (drawn == to_wrap) {
            bg.bit_counter = 0;
            fetched = coarse_x_step(v);
            any_fetched = true;
            bg.fetch(vram, fetched, bg_table, nt_fold, colour_sets);
            tell_board(ppu, bg);
            bg.set_pixels();
        }
        if (DOT_EVENTS[static_cast<size_t>(last)] & event_mask & COARSE_X) v = coarse_x_step(v);
    }

    ppu.v = v;
    bg.store(ppu);
    pass_sprite_clock(ppu, sprite_clock, count);
}

// Lines 241 and 261: vertical blank starts and ends, and the pre-render line reloads
// the vertical scroll.
inline void blank_dot(PPU& ppu) {
    if (ppu.scanline == VBLANK_LINE) {
        if (ppu.dot == 1 && !ppu.in_vblank) {
            ppu.in_vblank = 1;
            if (!ppu.nmi_suppressed) ppu.nmi_pending = 1;
            if (!ppu.vblank_suppressed) *ppu.ppustatus |= STATUS_VBLANK;
        }
        return;
    }
    if (ppu.dot == 1) {
        ppu.vblank_suppressed = 0;
        ppu.nmi_pending = 0;
        ppu.nmi_suppressed = 0;
        *ppu.ppustatus &= 0x1F;
        ppu.in_vblank = 0;
    } else if (ppu.rendering_enabled && ppu.dot >= 280 && ppu.dot <= 304) {
        ppu.v = static_cast<uint16_t>((ppu.v & 0x841F) | (ppu.t & 0x7BE0));
    }
}

}  // namespace

PPU::PPU(CPU* c) : cpu(c) {
    std::fill(std::begin(frame_index), std::end(frame_index), NOT_DRAWN);
    cpu->ppu = this;
    set_registers();
    clock_context = Context{cpu, this, cpu->apu};
    if (cpu->rom != nullptr) loadRom(cpu->rom);
}

void PPU::set_registers() {
    uint8_t* m = cpu->memory;
    ppuctrl = m + 0x2000;
    ppumask = m + 0x2001;
    ppustatus = m + 0x2002;
    oamaddr_reg = m + 0x2003;
    oamdata_reg = m + 0x2004;
    ppuscroll_reg = m + 0x2005;
    ppuaddr_reg = m + 0x2006;
    ppudata_reg = m + 0x2007;
    oamdma_reg = m + 0x4014;
}

void PPU::loadRom(ROM* r) {
    rom = r;
    clock_context = Context{cpu, this, cpu->apu};
    if (r == nullptr) return;
    mirroring = r->mirroring;
    mapper = r->mapper.get();
    if (r->chr_size <= 0) {
        std::puts("CHR-RAM Copied.");
        r->chr_ram = video_memory;
        return;
    }
    if (r->chr_size < 1024) {  // no whole bank to select: take what there is
        std::memcpy(video_memory, r->chr_rom.data(), static_cast<size_t>(r->chr_size));
        return;
    }
    // Kilobyte by kilobyte, so a window reaching past the end wraps instead of overrunning.
    for (int k = 0; k < 8; ++k) std::memcpy(video_memory + k * 1024, r->get_chr_bank(chr_bank + k), 1024);
}

void PPU::map_memory(uint16_t& address) const {
    const uint16_t a = address;
    if (a >= 0x2000 && a <= 0x2FFF)
        address = a & nametable_fold(*this);
    else if (a >= 0x3000 && a <= 0x3EFF)
        address = static_cast<uint16_t>(a - 0x1000);
    else if ((a & 0xFFF3) == 0x3F10)
        address = static_cast<uint16_t>((a & 0xFF00) | (a & 0x0F));
    else if (a >= 0x3F00 && a <= 0x3FFF)
        address = static_cast<uint16_t>((a & 0xFF00) | (a & 0x1F));
}

uint8_t PPU::read(uint16_t address) const {
    map_memory(address);
    return video_memory[address & 0x3FFF];
}

void PPU::write(uint16_t address, uint8_t value) {
    // Pattern memory is ROM on a cartridge with CHR ROM: a start-up loop that clears video
    // memory from $0000 must not erase the graphics.
    if ((address & 0x3FFF) < 0x2000 && rom != nullptr && rom->chr_size > 0) return;
    map_memory(address);
    video_memory[address & 0x3FFF] = value;
}

void PPU::v_horiz() { v = coarse_x_step(v); }

void PPU::v_vert() { v = y_step(v); }

namespace {

// The work of one dot at the current position, before the position moves.
[[gnu::always_inline]] inline void dot_work(PPU& ppu, uint8_t mask) {
    ppu.rendering_enabled = (mask & (MASK_BG | MASK_SPRITES)) != 0;
    if (!ppu.past_visible) {
        if (static_cast<uint32_t>(ppu.dot - 1) < 256) {
            pixel_span(ppu, 1, mask);
            return;
        } else if (ppu.dot == 257) {
            if (ppu.rendering_enabled) load_line_sprites(ppu);
        } else if (ppu.dot == DOTS_PER_LINE - 1 && ppu.scanline == LAST_VISIBLE_LINE) {
            ppu.past_visible = 1;
        }
    } else if (ppu.scanline == VBLANK_LINE || ppu.scanline == PRE_RENDER_LINE) {
        blank_dot(ppu);
    }
}

// Moves to the next dot; true when that ends the frame.
inline bool advance_position(PPU& ppu) {
    if (++ppu.dot < DOTS_PER_LINE) return false;
    ppu.dot = 0;
    if (ppu.scanline != PRE_RENDER_LINE) {
        ++ppu.scanline;
        return false;
    }
    ppu.frame_count.store(ppu.frame_count.load() + 1);
    ppu.scanline = 0;
    ppu.past_visible = 0;
    return true;
}

// Dots from 257 on of a visible line, `limit` of them at most: dot 257's work, the dots that
// only count, and the line's last dot, which moves on to the next line. Returns the dots run.
inline int line_tail(PPU& ppu, int limit, uint8_t mask) {
    if (ppu.dot == 257) dot_work(ppu, mask);
    const int to_end = DOTS_PER_LINE - ppu.dot;
    if (limit < to_end) {
        ppu.dot += limit;
        return limit;
    }
    ppu.dot = DOTS_PER_LINE - 1;
    dot_work(ppu, mask);
    advance_position(ppu);  // never the frame's end: the blank lines follow
    return to_end;
}

// How many dots from the current one on, past the visible lines, do nothing but count (the
// last dot of a line is left to a full step, which moves to the next line).
inline int idle_dots(const PPU& ppu) {
    const int d = ppu.dot;
    if (ppu.scanline != VBLANK_LINE && ppu.scanline != PRE_RENDER_LINE) return DOTS_PER_LINE - 1 - d;
    if (d < 2) return 0;
    if (ppu.scanline == PRE_RENDER_LINE && ppu.rendering_enabled && d <= 304) return d < 280 ? 280 - d : 0;
    return DOTS_PER_LINE - 1 - d;
}

}  // namespace

void PPU::cycle() {
    dot_work(*this, *ppumask);
    dot_count.store(dot_count.load() + 1);
    advance_position(*this);
    if (mapper != nullptr && mapper->clocked) mapper->clock(clock_context);
}

uint64_t PPU::event_deadline() const {
    // Positions counted from the frame's first dot: the dots after line 241's dot 1 (the NMI
    // request rises) and line 261's dot 1 (it falls), and the frame's end.
    constexpr int VBLANK_STARTED = VBLANK_LINE * DOTS_PER_LINE + 2;
    constexpr int VBLANK_ENDED = PRE_RENDER_LINE * DOTS_PER_LINE + 2;
    constexpr int FRAME_DOTS = DOTS_PER_LINE * (PRE_RENDER_LINE + 1);
    const int here = scanline * DOTS_PER_LINE + dot;
    int next = here < VBLANK_STARTED ? VBLANK_STARTED - here
               : here < VBLANK_ENDED ? VBLANK_ENDED - here
                                     : FRAME_DOTS - here;
    if (mapper != nullptr && mapper->clocked) {
        // A board's call matters at the first of its dots where it may raise the IRQ.
        const int d = mapper->clock_dot;
        const int64_t calls = d < 0 ? 1 : mapper->clocks_before_irq(*ppumask);
        const int first = d < 0 ? 1 : dot < d ? d - dot : DOTS_PER_LINE - dot + d;
        if (calls > 0) next = static_cast<int>(std::min<int64_t>(next, first + (calls - 1) * DOTS_PER_LINE));
    }
    return dot_count.load() + static_cast<uint64_t>(std::max(next, 1));
}

void PPU::run(uint64_t until) {
    const uint64_t dots = dot_count.load();
    if (dots < until) run_dots(until - dots);
}

void PPU::run_dots(uint64_t count) {
    Mapper* const board = mapper != nullptr && mapper->clocked ? mapper : nullptr;
    // The board is called after every dot, only on reaching its one dot of interest, or, when
    // it only counts dots, as many times as dots ran.
    const bool board_counts = board != nullptr && board->clock_counts_dots;
    const bool board_every_dot = board != nullptr && !board_counts && board->clock_dot < 0;
    // The board's dot of interest; -1, which no position reaches, where there is none.
    const int board_dot = board != nullptr && !board_counts ? board->clock_dot : -1;
    // A board that ignores drawing lets a span draw on past its dot and is called after it.
    const bool draw_past_board = board_dot >= 0 && board->clock_ignores_drawing;
    // Where dots that draw, and other dots, stop so that the board is called on time.
    const int drawing_stop = draw_past_board ? -1 : board_dot;
    // A board watching pattern fetches sees them one dot at a time, not a tile group at once.
    const int most_drawn = mapper != nullptr && mapper->watches_patterns ? 1 : 256;
    // Nothing but this PPU (and the board, after which they are read again) runs until the
    // call returns, so PPUMASK and PPUCTRL hold still.
    uint8_t mask = *ppumask;
    rendering_enabled = (mask & (MASK_BG | MASK_SPRITES)) != 0;
    uint64_t left = count;
    // Calls the board as at the position it reached `past` dots ago, with the dots before
    // that position counted.
    const auto call_board = [&](int past) {
        dot_count.store(dot_count.load() + (count - left) - static_cast<uint64_t>(past));
        count = left + static_cast<uint64_t>(past);
        const int reached = dot;
        dot -= past;
        board->clock(clock_context);
        dot = reached;
        mask = *ppumask;
        rendering_enabled = (mask & (MASK_BG | MASK_SPRITES)) != 0;
    };
    while (left != 0) {
        // Dots that can run together: none that crosses the line's end or the board's dot.
        int limit = static_cast<int>(std::min<uint64_t>(left, DOTS_PER_LINE));
        // Dot 0 of a visible line only counts: it runs with the dots drawn after it.
        const bool drawing = !past_visible && dot <= 256;
        if (board == nullptr) {
            // nothing but the line's end stops the dots (tested first: most cartridges)
        } else if (board_every_dot) {
            limit = 1;
        } else if (const int stop = drawing ? drawing_stop : board_dot; dot < stop) {
            limit = std::min(limit, stop - dot);
        }
        int done;
        bool frame_ended = false;
        if (drawing) {
            const int counted = dot == 0 ? 1 : 0;
            dot += counted;
            const int drawn = std::min({limit - counted, 257 - dot, most_drawn});
            if (drawn > 0) pixel_span(*this, drawn, mask);
            dot += drawn;
            done = counted + drawn;
        } else if (!past_visible) {
            done = line_tail(*this, limit, mask);
        } else if (const int idle = idle_dots(*this); idle > 0) {
            done = std::min(limit, idle);
            dot += done;
        } else {
            dot_work(*this, mask);
            done = 1;
            frame_ended = advance_position(*this);
        }
        left -= static_cast<uint64_t>(done);
        if (board == nullptr) {
            // nothing to call
        } else if (board_counts) {
            dot_count.store(dot_count.load() + (count - left));
            count = left;
            for (int i = 0; i < done; ++i) board->clock(clock_context);
        } else if (board_every_dot || dot == board_dot) {
            call_board(0);
        } else if (draw_past_board && dot > board_dot && dot - done < board_dot) {
            call_board(dot - board_dot);  // a span drew past the board's dot
        }
        if (frame_ended) break;
    }
    dot_count.store(dot_count.load() + (count - left));
}

}  // namespace NES
