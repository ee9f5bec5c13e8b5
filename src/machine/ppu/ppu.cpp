// The picture processor: video memory map, registers in the CPU memory, and the dot renderer.
#include "machine/ppu/ppu.hpp"

#include <cstdio>
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
constexpr int FOUR_SCREEN = 2;

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

}  // namespace

PPU::PPU(CPU* c) : cpu(c) {
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
        address = fold_nametable(a);
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

uint16_t PPU::fold_nametable(uint16_t address) const {
    const int mode = static_cast<uint32_t>(mirroring) < 4 ? mirroring : FOUR_SCREEN;
    return address & NAMETABLE_FOLD[mode];
}

void PPU::v_horiz() { v = coarse_x_step(v); }

void PPU::v_vert() { v = y_step(v); }

void PPU::cycle() {
    const uint8_t mask = *ppumask;
    rendering_enabled = (mask & (MASK_BG | MASK_SPRITES)) != 0;

    if (!past_visible) {
        if (static_cast<uint32_t>(dot - 1) < 256) {
            pixel_dot(mask);
        } else if (dot == 257) {
            if (rendering_enabled) load_line_sprites();
        } else if (dot == DOTS_PER_LINE - 1 && scanline == LAST_VISIBLE_LINE) {
            past_visible = 1;
            // Frame 0 starts at dot 25, so only the end of a later frame has drawn every pixel.
            if (frame_count.load() != 0) first_picture = 0;
        }
    } else if (scanline == VBLANK_LINE || scanline == PRE_RENDER_LINE) {
        blank_dot();
    }

    dot_count.store(dot_count.load() + 1);
    if (++dot == DOTS_PER_LINE) {
        dot = 0;
        if (scanline == PRE_RENDER_LINE) {
            frame_count.store(frame_count.load() + 1);
            scanline = 0;
            past_visible = 0;
        } else {
            ++scanline;
        }
    }
    if (mapper != nullptr && mapper->clocked) mapper->clock(clock_context);
}

// Lines 241 and 261: vertical blank starts and ends, and the pre-render line reloads
// the vertical scroll.
void PPU::blank_dot() {
    if (scanline == VBLANK_LINE) {
        if (dot == 1 && !in_vblank) {
            in_vblank = 1;
            if (!nmi_suppressed) nmi_pending = 1;
            if (!vblank_suppressed) *ppustatus |= STATUS_VBLANK;
        }
        return;
    }
    if (dot == 1) {
        vblank_suppressed = 0;
        nmi_pending = 0;
        nmi_suppressed = 0;
        *ppustatus &= 0x1F;
        in_vblank = 0;
    } else if (rendering_enabled && dot >= 280 && dot <= 304) {
        v = static_cast<uint16_t>((v & 0x841F) | (t & 0x7BE0));
    }
}

// Dots 1-256 of a visible line.
void PPU::pixel_dot(uint8_t mask) {
    const int d = dot;
    if (line_sprite_count != 0) step_sprite_counters();
    if (rendering_enabled && ((d - 1) & 7) == 0) {
        fetch_tile(v);
        bit_counter = fine_x;
    }
    if (d == 1 && (mask & MASK_SPRITES)) reset_evaluation();
    if (rendering_enabled && d >= 129) {
        evaluate_sprite(d);
        if (d == 256) v = y_step(v);
    }
    draw_pixel(d - 1, mask);
    if (rendering_enabled && (d & 7) == 0 && d <= 255) v = coarse_x_step(v);
}

// A sprite with X = x turns active on dot x + 1 and draws pattern bits 7 down to 0 on
// pixels x to x + 7. A finished entry (counter below -8) never turns active again, so its
// counter stops there instead of running on while the line list is not reloaded.
void PPU::step_sprite_counters() {
    for (int i = 0; i < line_sprite_count; ++i) {
        int32_t& counter = sprite_x_counter[i];
        if (counter < -8) continue;
        const auto bit = static_cast<uint8_t>(1u << i);
        if (sprite_active & bit) --sprite_bit[i];
        if (counter == 0)
            sprite_active |= bit;
        else if (counter < -7)
            sprite_active &= static_cast<uint8_t>(~bit);
        --counter;
    }
}

void PPU::reset_evaluation() {
    std::memset(secondary_oam, 0xFF, sizeof secondary_oam);
    eval_index = 0;
    eval_byte = 0;
    eval_done = 0;
    secondary_count = 0;
    sprite0_in_secondary = 0;
}

// One dot of the search for the next line's sprites (dots 129-256). Even dots examine one
// sprite each; once eight are found, every dot runs the overflow search, which after a miss
// compares the next byte of the following sprites instead of their Y.
void PPU::evaluate_sprite(int d) {
    const uint32_t height = (*ppuctrl & CTRL_TALL_SPRITES) ? 16 : 8;
    if (secondary_count == 8) {
        const uint8_t y = oam[eval_index + eval_byte];
        if (static_cast<uint32_t>(scanline - y) < height)
            *ppustatus |= STATUS_OVERFLOW;
        else
            eval_byte = (eval_byte + 1) & 3;
        eval_index = static_cast<uint8_t>(eval_index + 4);
        return;
    }
    if (d & 1) return;
    if (!eval_done) {
        const uint8_t y = oam[eval_index];
        if (y != 255) {
            uint8_t* entry = secondary_oam + 4 * secondary_count;
            const int top = y + 1;  // the first line the sprite covers
            entry[0] = static_cast<uint8_t>(top);
            const int next_line = (scanline + 1) % 240;
            if (static_cast<uint32_t>(next_line - top) < height && top <= LAST_VISIBLE_LINE) {
                std::memcpy(entry + 1, oam + eval_index + 1, 3);
                sprite_x_start[secondary_count] = oam[eval_index + 3];
                if (eval_index == 0) sprite0_in_secondary = 1;
                ++secondary_count;
            }
        }
    }
    eval_index = static_cast<uint8_t>(eval_index + 4);
    if (eval_index == 0) eval_done = 1;
}

// Dot 257: the horizontal scroll returns to `t` and the sprites found become the line list.
void PPU::load_line_sprites() {
    v = static_cast<uint16_t>((v & 0xFBE0) | (t & 0x041F));
    oam_addr = 0;
    std::memcpy(line_sprites, secondary_oam, 4u * secondary_count);
    line_sprite_count = secondary_count;
    sprite_active = 0;
    std::memcpy(sprite_x_counter, sprite_x_start, sizeof sprite_x_counter);
    sprite0_on_line = sprite0_in_secondary;
    for (int i = 0; i < secondary_count; ++i) sprite_bit[i] = 7;
}

void PPU::fetch_tile(uint16_t address) {
    nt_addr = static_cast<uint16_t>((address & 0x0FFF) | 0x2000);
    at_addr = static_cast<uint16_t>(0x23C0 | (address & 0x0C00) | ((address >> 4) & 0x38) | ((address >> 2) & 7));
    tile_index = video_memory[fold_nametable(nt_addr)];
    const unsigned table = (*ppuctrl & CTRL_BG_TABLE) ? 0x1000u : 0u;
    pattern_addr = static_cast<uint16_t>(table | (tile_index * 16u) | ((address >> 12) & 7u));
    pattern_low = video_memory[pattern_addr];
    pattern_high = video_memory[pattern_addr + 8];
}

void PPU::draw_pixel(int x, uint8_t mask) {
    const unsigned shift = 7u - bit_counter;
    const unsigned p = (((pattern_high >> shift) & 1u) << 1) | ((pattern_low >> shift) & 1u);
    const uint8_t attribute = video_memory[fold_nametable(at_addr)];
    const unsigned q = (attribute >> ((nt_addr & 0x02) | ((nt_addr >> 4) & 0x04))) & 3u;

    // Sprites hidden by PPUMASK bit 4 leave the background pixel.
    unsigned u = 0, e = 0, g = 0, behind = 0;
    if (sprite_active != 0 && (mask & MASK_SPRITES)) {
        const uint8_t ctrl = *ppuctrl;
        const bool tall = (ctrl & CTRL_TALL_SPRITES) != 0;
        const unsigned height = tall ? 16 : 8;
        for (int i = line_sprite_count - 1; i >= 0; --i) {
            if (!((sprite_active >> i) & 1)) continue;
            const uint8_t* sprite = line_sprites + 4 * i;
            const uint8_t attributes = sprite[2];
            auto row = static_cast<uint8_t>(scanline - sprite[0]);
            if (attributes & 0x80) row = static_cast<uint8_t>(height - 1 - row);
            const unsigned table = tall ? (sprite[1] & 1u) : ((ctrl & CTRL_SPRITE_TABLE) ? 1u : 0u);
            const unsigned tile = tall ? (sprite[1] & 0xFEu) : sprite[1];
            const unsigned address = (table << 12) | (((tile + row / 8u) & 0xFFu) << 4) | (row & 7u);
            const unsigned bit = ((attributes & 0x40) ? 7u - sprite_bit[i] : sprite_bit[i]) & 7u;
            const unsigned pixel =
                (((video_memory[address + 8] >> bit) & 1u) << 1) | ((video_memory[address] >> bit) & 1u);
            if (pixel != 0) {
                u = pixel;
                e = static_cast<unsigned>(i);
                g = attributes & 3u;
                behind = attributes & 0x20u;
            }
        }
        if (sprite0_on_line && e == 0 && u != 0 && p != 0 && (mask & MASK_BG))
            *ppustatus |= STATUS_SPRITE0;
    }

    const bool left = x < 8;
    uint8_t colour = video_memory[0x3F00];  // the backdrop
    if (u != 0 && (p == 0 || !behind)) {
        if (!left || (mask & MASK_SPRITES_LEFT)) colour = video_memory[0x3F10 + 4 * g + u];
    } else if ((mask & MASK_BG) && p != 0 && (!left || (mask & MASK_BG_LEFT))) {
        colour = video_memory[0x3F00 + 4 * q + p];
    }

    const int n = scanline * 256 + x;
    if (colour != frame_index[n] || first_picture) {
        frame_index[n] = colour;
        const uint8_t* rgb = NTSC_TO_RGB[colour & 0x3F];
        uint8_t* out = frame_rgb + 3 * n;
        out[0] = rgb[0];
        out[1] = rgb[1];
        out[2] = rgb[2];
    }

    if (++bit_counter == 8) {
        bit_counter = 0;
        fetch_tile(coarse_x_step(v));
    }
}

}  // namespace NES
