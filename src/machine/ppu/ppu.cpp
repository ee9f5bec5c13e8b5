// The picture processor: video memory map, registers in the CPU memory, and the dot renderer.
#include "machine/ppu/ppu.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <iterator>
#include <cstring>

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

constexpr uint16_t y_step(uint16_t v) {
    if ((v & 0x7000) != 0x7000) return static_cast<uint16_t>(v + 0x1000);
    v &= 0x0FFF;
    const int coarse_y = (v >> 5) & 0x1F;
    if (coarse_y == 29) return static_cast<uint16_t>((v & ~0x03E0) ^ 0x0800);
    if (coarse_y == 31) return static_cast<uint16_t>(v & ~0x03E0);
    return static_cast<uint16_t>(v + 0x20);
}

inline uint16_t fold_nametable(const PPU& ppu, uint16_t address) {
    const auto mode = static_cast<uint32_t>(ppu.mirroring);
    return address & NAMETABLE_FOLD[mode < 4 ? mode : FOUR_SCREEN];
}

// Loads the latches with the tile at `address` (a `v` value).
inline void fetch_tile(PPU& ppu, uint16_t address) {
    ppu.nt_addr = static_cast<uint16_t>((address & 0x0FFF) | 0x2000);
    ppu.at_addr =
        static_cast<uint16_t>(0x23C0 | (address & 0x0C00) | ((address >> 4) & 0x38) | ((address >> 2) & 7));
    ppu.tile_index = ppu.video_memory[fold_nametable(ppu, ppu.nt_addr)];
    const unsigned table = (*ppu.ppuctrl & CTRL_BG_TABLE) ? 0x1000u : 0u;
    ppu.pattern_addr = static_cast<uint16_t>(table | (ppu.tile_index * 16u) | ((address >> 12) & 7u));
    ppu.pattern_low = ppu.video_memory[ppu.pattern_addr];
    ppu.pattern_high = ppu.video_memory[ppu.pattern_addr + 8];
}

inline void reset_evaluation(PPU& ppu) {
    std::memset(ppu.secondary_oam, 0xFF, sizeof ppu.secondary_oam);
    ppu.eval_index = 0;
    ppu.eval_byte = 0;
    ppu.eval_done = 0;
    ppu.secondary_count = 0;
    ppu.sprite0_in_secondary = 0;
}

// One dot of the search for the next line's sprites (dots 129-256). Even dots examine one
// sprite each; once eight are found, every dot runs the overflow search, which after a miss
// compares the next byte of the following sprites instead of their Y.
inline void evaluate_sprite(PPU& ppu, int d) {
    const uint32_t height = (*ppu.ppuctrl & CTRL_TALL_SPRITES) ? 16 : 8;
    if (ppu.secondary_count == 8) {
        const uint8_t y = ppu.oam[ppu.eval_index + ppu.eval_byte];
        if (static_cast<uint32_t>(ppu.scanline - y) < height)
            *ppu.ppustatus |= STATUS_OVERFLOW;
        else
            ppu.eval_byte = (ppu.eval_byte + 1) & 3;
        ppu.eval_index = static_cast<uint8_t>(ppu.eval_index + 4);
        return;
    }
    if (d & 1) return;
    if (!ppu.eval_done) {
        const uint8_t* sprite = ppu.oam + ppu.eval_index;
        if (sprite[0] != 255) {
            uint8_t* entry = ppu.secondary_oam + 4 * ppu.secondary_count;
            const int top = sprite[0] + 1;  // the first line the sprite covers
            entry[0] = static_cast<uint8_t>(top);
            const int next_line = (ppu.scanline + 1) % 240;
            if (static_cast<uint32_t>(next_line - top) < height && top <= LAST_VISIBLE_LINE) {
                std::memcpy(entry + 1, sprite + 1, 3);
                ppu.sprite_x_start[ppu.secondary_count] = sprite[3];
                if (ppu.eval_index == 0) ppu.sprite0_in_secondary = 1;
                ++ppu.secondary_count;
            }
        }
    }
    ppu.eval_index = static_cast<uint8_t>(ppu.eval_index + 4);
    if (ppu.eval_index == 0) ppu.eval_done = 1;
}

// Dot 257: the horizontal scroll returns to `t` and the sprites found become the line list.
inline void load_line_sprites(PPU& ppu) {
    ppu.v = static_cast<uint16_t>((ppu.v & 0xFBE0) | (ppu.t & 0x041F));
    ppu.oam_addr = 0;
    const int count = ppu.secondary_count;
    std::memcpy(ppu.line_sprites, ppu.secondary_oam, 4u * static_cast<unsigned>(count));
    ppu.line_sprite_count = static_cast<uint8_t>(count);
    ppu.sprite_active = 0;
    std::memcpy(ppu.sprite_x_counter, ppu.sprite_x_start, sizeof ppu.sprite_x_counter);
    ppu.sprite0_on_line = ppu.sprite0_in_secondary;
    std::memset(ppu.sprite_cover, 0, sizeof ppu.sprite_cover);
    for (int i = 0; i < count; ++i) {
        ppu.sprite_bit[i] = 7;
        const auto x = static_cast<uint8_t>(ppu.sprite_x_start[i]);
        for (int k = 0; k < 8; ++k) ppu.sprite_cover[x + k] |= static_cast<uint8_t>(1u << i);
    }
    ppu.sprite_clock = 0;
}

struct SpritePixel {
    unsigned value = 0;  // 0: transparent
    unsigned entry = 0;
    unsigned palette = 0;
    bool behind = false;
};

// The lowest-numbered opaque entry among the active ones.
inline SpritePixel sprite_pixel(PPU& ppu, uint8_t active) {
    const uint8_t ctrl = *ppu.ppuctrl;
    const bool tall = (ctrl & CTRL_TALL_SPRITES) != 0;
    const unsigned height = tall ? 16 : 8;
    while (active != 0) {
        const int i = std::countr_zero(active);
        active = static_cast<uint8_t>(active & (active - 1));
        const uint8_t* sprite = ppu.line_sprites + 4 * i;
        const uint8_t attributes = sprite[2];
        auto row = static_cast<uint8_t>(ppu.scanline - sprite[0]);
        if (attributes & 0x80) row = static_cast<uint8_t>(height - 1 - row);
        const unsigned table = tall ? (sprite[1] & 1u) : ((ctrl & CTRL_SPRITE_TABLE) ? 1u : 0u);
        const unsigned tile = tall ? (sprite[1] & 0xFEu) : sprite[1];
        const unsigned address = (table << 12) | (((tile + row / 8u) & 0xFFu) << 4) | (row & 7u);
        const unsigned column = (ppu.sprite_clock - 1 - static_cast<uint32_t>(ppu.sprite_x_counter[i])) & 7u;
        const auto bit = static_cast<uint8_t>(7u - column);
        ppu.sprite_bit[i] = bit;
        const unsigned shift = (attributes & 0x40) ? column : bit;
        const unsigned value =
            (((ppu.video_memory[address + 8] >> shift) & 1u) << 1) | ((ppu.video_memory[address] >> shift) & 1u);
        if (value != 0) return {value, static_cast<unsigned>(i), attributes & 3u, (attributes & 0x20) != 0};
    }
    return {};
}

[[gnu::always_inline]] inline void draw_pixel(PPU& ppu, int x, uint8_t mask, uint8_t active) {
    const unsigned shift = 7u - ppu.bit_counter;
    const unsigned p = (((ppu.pattern_high >> shift) & 1u) << 1) | ((ppu.pattern_low >> shift) & 1u);

    // Sprites hidden by PPUMASK bit 4 leave the background pixel.
    SpritePixel s;
    if (active != 0 && (mask & MASK_SPRITES)) {
        s = sprite_pixel(ppu, active);
        // No clipping for the hit: it can happen in the leftmost 8 pixels and at x = 255.
        if (s.value != 0 && s.entry == 0 && ppu.sprite0_on_line && p != 0 && (mask & MASK_BG))
            *ppu.ppustatus |= STATUS_SPRITE0;
    }

    const uint8_t* palette = ppu.video_memory + 0x3F00;
    const bool left = x < 8;
    uint8_t colour = palette[0];  // the backdrop
    if (s.value != 0 && (p == 0 || !s.behind)) {
        if (!left || (mask & MASK_SPRITES_LEFT)) colour = palette[0x10 + 4 * s.palette + s.value];
    } else if ((mask & MASK_BG) && p != 0 && (!left || (mask & MASK_BG_LEFT))) {
        const uint8_t attribute = ppu.video_memory[fold_nametable(ppu, ppu.at_addr)];
        const unsigned q = (attribute >> ((ppu.nt_addr & 0x02) | ((ppu.nt_addr >> 4) & 0x04))) & 3u;
        colour = palette[4 * q + p];
    }

    const int n = ppu.scanline * 256 + x;
    if (colour != ppu.frame_index[n]) {
        ppu.frame_index[n] = colour;
        const uint8_t* rgb = NTSC_TO_RGB[colour & 0x3F];
        uint8_t* out = ppu.frame_rgb + 3 * n;
        out[0] = rgb[0];
        out[1] = rgb[1];
        out[2] = rgb[2];
    }

    // At the tile's edge the tile to the right is fetched; `v` itself moves at dots 8k.
    if (++ppu.bit_counter == 8) {
        ppu.bit_counter = 0;
        fetch_tile(ppu, coarse_x_step(ppu.v));
    }
}

// What dots 1-256 of a visible line do besides drawing.
enum DotEvent : uint8_t {
    FETCH = 1,       // dots 8k + 1: tile fetch at `v` (rendering)
    RESET_EVAL = 2,  // dot 1: clear the search state (sprites shown)
    EVALUATE = 4,    // dots 129-256: sprite evaluation (rendering)
    Y_STEP = 8,      // dot 256: Y increment of `v` (rendering)
    COARSE_X = 16,   // dots 8k up to 248: coarse-X increment of `v` after drawing (rendering)
};

constexpr std::array<uint8_t, 257> dot_events() {
    std::array<uint8_t, 257> events{};
    for (int d = 1; d <= 256; ++d) {
        unsigned e = 0;
        if (((d - 1) & 7) == 0) e |= FETCH;
        if (d == 1) e |= RESET_EVAL;
        if (d >= 129) e |= EVALUATE;
        if (d == 256) e |= Y_STEP;
        if ((d & 7) == 0 && d <= 255) e |= COARSE_X;
        events[static_cast<size_t>(d)] = static_cast<uint8_t>(e);
    }
    return events;
}

constexpr std::array<uint8_t, 257> DOT_EVENTS = dot_events();

// Dots 1-256 of a visible line.
[[gnu::always_inline]] inline void pixel_dot(PPU& ppu, uint8_t mask) {
    const int d = ppu.dot;
    uint8_t active = 0;
    if (ppu.sprite_clock < PPU::SPRITE_CLOCK_END) active = ppu.sprite_cover[ppu.sprite_clock++];
    ppu.sprite_active = active;

    unsigned events = DOT_EVENTS[static_cast<size_t>(d)];
    if (!ppu.rendering_enabled) events &= RESET_EVAL;
    if (events & (FETCH | RESET_EVAL | EVALUATE)) {
        if (events & FETCH) {
            fetch_tile(ppu, ppu.v);
            ppu.bit_counter = ppu.fine_x;
        }
        if ((events & RESET_EVAL) && (mask & MASK_SPRITES)) reset_evaluation(ppu);
        if (events & EVALUATE) evaluate_sprite(ppu, d);
        if (events & Y_STEP) ppu.v = y_step(ppu.v);
    }
    draw_pixel(ppu, d - 1, mask, active);
    if (events & COARSE_X) ppu.v = coarse_x_step(ppu.v);
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
        address = fold_nametable(*this, a);
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
            pixel_dot(ppu, mask);
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

// How many dots from the current one on do nothing but count (the last dot of a line is
// left to a full step, which moves to the next line).
inline int idle_dots(const PPU& ppu) {
    const int d = ppu.dot;
    if (!ppu.past_visible) return d > 257 ? DOTS_PER_LINE - 1 - d : 0;
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

void PPU::run(uint64_t until) {
    const uint64_t dots = dot_count.load();
    if (dots < until) run_dots(until - dots);
}

void PPU::run_dots(uint64_t count) {
    if (mapper != nullptr && mapper->clocked) {  // the board sees every dot
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t frame = frame_count.load();
            cycle();
            if (frame_count.load() != frame) return;
        }
        return;
    }
    // Nothing but this PPU runs until the call returns, so PPUMASK holds still.
    const uint8_t mask = *ppumask;
    rendering_enabled = (mask & (MASK_BG | MASK_SPRITES)) != 0;
    uint64_t left = count;
    while (left != 0) {
        const int idle = idle_dots(*this);
        if (idle > 0) {
            const auto skip = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(idle), left));
            dot += skip;
            left -= static_cast<uint64_t>(skip);
            continue;
        }
        dot_work(*this, mask);
        --left;
        if (advance_position(*this)) break;
    }
    dot_count.store(dot_count.load() + (count - left));
}

}  // namespace NES
