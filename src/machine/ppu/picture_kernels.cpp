// The picture kernels: plain passes over bytes that the compiler turns into vector instructions.
#include "machine/ppu/picture_kernels.hpp"

#include <algorithm>
#include <cstring>

namespace NES {

namespace {

#if defined(__GNUC__)
#define ALWAYS_INLINE __attribute__((always_inline))
#else
#define ALWAYS_INLINE
#endif

// 77 + 150 + 29 = 256: the weighted sum of three bytes plus the rounding fits 16 bits, so the
// loops below work on 16-bit lanes.
ALWAYS_INLINE inline uint8_t luma(unsigned r, unsigned g, unsigned b) {
    return static_cast<uint8_t>(static_cast<uint16_t>(77 * r + 150 * g + 29 * b + 128) >> 8);
}

template <bool Max>
ALWAYS_INLINE inline void put(uint8_t& out, uint8_t value) {
    out = Max ? std::max(out, value) : value;
}

// One pair of rows halved: mean[i] is the mean of the 2x2 bytes of one channel whose top left
// is byte i of the top row (four bytes and the rounding stay within 16 bits). Computed for every
// i so that the loops run over contiguous bytes; the halved picture keeps every sixth triple.
constexpr int HEIGHT = PPU::FRAME_HEIGHT;
constexpr int WIDTH = PPU::FRAME_WIDTH;
constexpr int ROW_BYTES = WIDTH * 3;
constexpr int PAIR_MEANS = ROW_BYTES - 3;

ALWAYS_INLINE inline void pair_means(const uint8_t* __restrict top, const uint8_t* __restrict bottom,
                                     uint8_t* __restrict mean) {
    uint16_t column[ROW_BYTES];
    for (int i = 0; i < ROW_BYTES; ++i) column[i] = static_cast<uint16_t>(top[i] + bottom[i]);
    for (int i = 0; i < PAIR_MEANS; ++i) mean[i] = static_cast<uint8_t>((column[i] + column[i + 3] + 2) >> 2);
}

// Writes one frame in one format; with Max each byte keeps the larger of the old and the new
// value (the maximum over the last two frames shows sprites that flicker). Each loop is a plain
// pass over bytes that the compiler turns into vector instructions.
template <bool Gray, bool Half, bool Max>
ALWAYS_INLINE inline void picture_loops(const uint8_t* __restrict rgb, uint8_t* __restrict out) {
    if constexpr (!Gray && !Half) {
        if constexpr (Max) {
            for (int i = 0; i < HEIGHT * WIDTH * 3; ++i) out[i] = std::max(out[i], rgb[i]);
        } else {
            std::memcpy(out, rgb, HEIGHT * WIDTH * 3);
        }
    } else if constexpr (!Half) {
        for (int i = 0; i < HEIGHT * WIDTH; ++i) put<Max>(out[i], luma(rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2]));
    } else {
        uint8_t mean[PAIR_MEANS];
        for (int y = 0; y < HEIGHT; y += 2, rgb += 2 * ROW_BYTES) {
            pair_means(rgb, rgb + ROW_BYTES, mean);
            if constexpr (Gray) {
                // Like the means, the lumas are computed at every byte and every sixth is kept.
                uint8_t lumas[PAIR_MEANS - 2];
                for (int i = 0; i < PAIR_MEANS - 2; ++i) lumas[i] = luma(mean[i], mean[i + 1], mean[i + 2]);
                for (int x = 0; x < WIDTH / 2; ++x) put<Max>(out[x], lumas[6 * x]);
                out += WIDTH / 2;
            } else {
                for (int x = 0; x < WIDTH / 2; ++x)
                    for (int c = 0; c < 3; ++c) put<Max>(out[3 * x + c], mean[6 * x + c]);
                out += WIDTH / 2 * 3;
            }
        }
    }
}

template <bool Gray, bool Half, bool Max>
void write_picture_as(const uint8_t* rgb, uint8_t* out) {
    picture_loops<Gray, Half, Max>(rgb, out);
}

using PictureWriter = void (*)(const uint8_t*, uint8_t*);
using PictureWriters = PictureWriter[2][2][2];  // indexed by [gray][half][max]

constexpr PictureWriters PICTURE_WRITERS = {
    {{write_picture_as<false, false, false>, write_picture_as<false, false, true>},
     {write_picture_as<false, true, false>, write_picture_as<false, true, true>}},
    {{write_picture_as<true, false, false>, write_picture_as<true, false, true>},
     {write_picture_as<true, true, false>, write_picture_as<true, true, true>}},
};

#if defined(__x86_64__) && defined(__GNUC__)
// The same loops for processors with AVX2, chosen at run time: gathering every third byte for
// the grayscale and the halving takes byte shuffles that the x86-64 baseline lacks, which
// leaves those loops scalar and several times slower.
template <bool Gray, bool Half, bool Max>
__attribute__((target("avx2"))) void write_picture_avx2(const uint8_t* rgb, uint8_t* out) {
    picture_loops<Gray, Half, Max>(rgb, out);
}

constexpr PictureWriters PICTURE_WRITERS_AVX2 = {
    {{write_picture_avx2<false, false, false>, write_picture_avx2<false, false, true>},
     {write_picture_avx2<false, true, false>, write_picture_avx2<false, true, true>}},
    {{write_picture_avx2<true, false, false>, write_picture_avx2<true, false, true>},
     {write_picture_avx2<true, true, false>, write_picture_avx2<true, true, true>}},
};

const PictureWriters& picture_writers() {
    static const PictureWriters& chosen = __builtin_cpu_supports("avx2") ? PICTURE_WRITERS_AVX2 : PICTURE_WRITERS;
    return chosen;
}
#else
const PictureWriters& picture_writers() { return PICTURE_WRITERS; }
#endif

}  // namespace

PictureKernel picture_kernel(PictureFormat format, bool keep_max, bool avx2) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (avx2)
        return __builtin_cpu_supports("avx2") ? PICTURE_WRITERS_AVX2[format.gray][format.half][keep_max] : nullptr;
#else
    if (avx2) return nullptr;
#endif
    return PICTURE_WRITERS[format.gray][format.half][keep_max];
}

void write_picture(const uint8_t* rgb, uint8_t* out, PictureFormat format, bool keep_max) {
    picture_writers()[format.gray][format.half][keep_max](rgb, out);
}

}  // namespace NES
