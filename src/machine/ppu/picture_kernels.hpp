// The PPU's picture in the shapes agents take it: RGB or gray, full or half size, and the
// maximum of two frames (sprites that flicker show in one of them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "machine/ppu/ppu.hpp"

namespace NES {

struct PictureFormat {
    bool gray = false, half = false;

    int height() const { return PPU::FRAME_HEIGHT / (half ? 2 : 1); }
    int width() const { return PPU::FRAME_WIDTH / (half ? 2 : 1); }
    int channels() const { return gray ? 1 : 3; }
    size_t bytes() const { return static_cast<size_t>(height() * width() * channels()); }
};

// Writes a frame (`PPU::frame_rgb`) to `out` in `format`. With keep_max each byte keeps the
// larger of its old and its new value. Gray is (77 R + 150 G + 29 B + 128) >> 8; a halved byte
// is the rounded mean of its 2x2 bytes (gray: the luma of the halved RGB).
void write_picture(const uint8_t* rgb, uint8_t* out, PictureFormat format, bool keep_max);

// One kernel of write_picture. The processor's best set is chosen at run time; `avx2` asks
// for the AVX2 one, which is nullptr where it is not built or the processor lacks it.
using PictureKernel = void (*)(const uint8_t* rgb, uint8_t* out);
PictureKernel picture_kernel(PictureFormat format, bool keep_max, bool avx2);

}  // namespace NES
