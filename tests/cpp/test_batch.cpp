// The batch core: its picture kernels against plain scalar versions, its pool, and the
// stepping of consoles with their checks and Ctrl-C.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <vector>

#include "host/batch.hpp"
#include "host/errors.hpp"

namespace {

using NES::PictureFormat;
constexpr int H = NES::PPU::FRAME_HEIGHT, W = NES::PPU::FRAME_WIDTH;

uint8_t scalar_luma(int r, int g, int b) { return static_cast<uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8); }

// The picture written pixel by pixel, as the kernels' contract says.
std::vector<uint8_t> scalar_picture(const std::vector<uint8_t>& rgb, PictureFormat f, std::vector<uint8_t> out,
                                    bool keep_max) {
    const int scale = f.half ? 2 : 1;
    for (int y = 0; y < f.height(); ++y)
        for (int x = 0; x < f.width(); ++x) {
            int channel[3];
            for (int c = 0; c < 3; ++c) {
                int sum = 0;
                for (int dy = 0; dy < scale; ++dy)
                    for (int dx = 0; dx < scale; ++dx) sum += rgb[((y * scale + dy) * W + x * scale + dx) * 3 + c];
                channel[c] = f.half ? (sum + 2) / 4 : sum;
            }
            for (int c = 0; c < f.channels(); ++c) {
                const uint8_t value =
                    f.gray ? scalar_luma(channel[0], channel[1], channel[2]) : static_cast<uint8_t>(channel[c]);
                uint8_t& byte = out[(y * f.width() + x) * f.channels() + c];
                byte = keep_max ? std::max(byte, value) : value;
            }
        }
    return out;
}

std::vector<uint8_t> random_bytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

TEST(PictureKernels, EachKernelWritesWhatTheScalarVersionWrites) {
    const std::vector<uint8_t> rgb = random_bytes(static_cast<size_t>(H * W * 3), 1);
    for (bool avx2 : {false, true})
        for (PictureFormat f : {PictureFormat{false, false}, {true, false}, {false, true}, {true, true}})
            for (bool keep_max : {false, true}) {
                const NES::PictureKernel kernel = NES::picture_kernel(f, keep_max, avx2);
                if (!kernel) continue;  // no AVX2 here
                const std::vector<uint8_t> before = random_bytes(f.bytes(), 2);
                std::vector<uint8_t> out = before;
                kernel(rgb.data(), out.data());
                EXPECT_EQ(out, scalar_picture(rgb, f, before, keep_max))
                    << "avx2 " << avx2 << ", gray " << f.gray << ", half " << f.half << ", max " << keep_max;
            }
}

TEST(StepPool, RunsEveryTaskOnceAcrossItsThreads) {
    host::StepPool pool(3);
    std::vector<std::atomic<int>> runs(100);
    for (int batch = 0; batch < 20; ++batch)
        pool.run(
            runs.size(), [&](size_t i) { ++runs[i]; }, [] {});
    for (const auto& r : runs) EXPECT_EQ(r.load(), 20);
    EXPECT_THROW(host::StepPool(0), std::invalid_argument);
    EXPECT_THROW(host::StepPool(host::StepPool::MAX_THREADS + 1), std::invalid_argument);
}

TEST(Batch, AnInterruptionStopsEveryConsoleBetweenTwoFramesAndFreesThem) {
    for (int threads : {1, 2}) {
        host::StepPool pool(threads);
        NESUnit a(0), b(0);
        const std::vector<NESUnit*> consoles{&a, &b};
        const uint8_t buttons[2] = {0, 0};
        const int frames = 1000000;
        EXPECT_FALSE(host::run_batch(pool, consoles, buttons, frames, {}, [] { return true; }));
        EXPECT_LT(std::max(a.frame_count(), b.frame_count()), frames);
        EXPECT_TRUE(host::run_batch(pool, consoles, buttons, 1, {}, [] { return false; }));
    }
}

TEST(Batch, RefusesBeforeAnyConsoleMoves) {
    host::StepPool pool(1);
    NESUnit a(0), b(0);
    const uint8_t buttons[2] = {0, 0};
    const auto never = [] { return false; };
    EXPECT_THROW(host::run_batch(pool, {&a, &a}, buttons, 1, {}, never), host::BatchRefused);
    EXPECT_THROW(host::run_batch(pool, {&a}, buttons, 0, {}, never), host::BatchRefused);
    ASSERT_TRUE(b.claim_for_batch());  // as another batch would
    EXPECT_THROW(host::run_batch(pool, {&a, &b}, buttons, 1, {}, never), host::BatchRefused);
    NES::Controller pad;
    EXPECT_THROW(b.setController(&pad, 0), StateError);
    b.release_batch_claim();
    EXPECT_EQ(a.frame_count() + b.frame_count(), 0);
    EXPECT_TRUE(host::run_batch(pool, {&a, &b}, buttons, 1, {}, never));  // the claims were undone
}

}  // namespace
