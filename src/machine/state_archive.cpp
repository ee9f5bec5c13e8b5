// The snapshot checksum. Sixteen or thirty-two bytes at a time, each 64-bit lane adds its word
// and the product of the word's two halves (keyed), as xxHash's XXH3 does; a final mix spreads
// every lane over the result. The vector forms compute exactly what the plain one does.
#include <cstring>

#include "machine/state_archive.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace NES {

namespace {

constexpr uint64_t P1 = 0x9E3779B185EBCA87ull, P2 = 0xC2B2AE3D27D4EB4Full;
alignas(32) constexpr uint64_t KEYS[8] = {P1,
                                          P2,
                                          0x165667B19E3779F9ull,
                                          0x85EBCA77C2B2AE63ull,
                                          0x27D4EB2F165667C5ull,
                                          0xBE4BA423396CFEB8ull,
                                          0x1CAD21F72C81017Cull,
                                          0xDB979083E96DD4DEull};
constexpr size_t BLOCK = 64;
using LaneFunction = size_t (*)(const uint8_t*, size_t, uint64_t*);

// Lanes over the whole blocks; returns the bytes consumed.
size_t lanes_plain(const uint8_t* p, size_t n, uint64_t* lanes) {
    std::memcpy(lanes, KEYS, sizeof KEYS);
    size_t i = 0;
    for (; i + BLOCK <= n; i += BLOCK)
        for (int k = 0; k < 8; ++k) {
            uint64_t w;
            std::memcpy(&w, p + i + 8 * k, 8);
            const uint64_t x = w ^ KEYS[k];
            lanes[k] += w + (x & 0xFFFFFFFFu) * (x >> 32);
        }
    return i;
}

#if defined(__x86_64__)
size_t lanes_sse2(const uint8_t* p, size_t n, uint64_t* lanes) {
    __m128i acc[4], key[4];
    for (int k = 0; k < 4; ++k) acc[k] = key[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(KEYS + 2 * k));
    size_t i = 0;
    for (; i + BLOCK <= n; i += BLOCK)
        for (int k = 0; k < 4; ++k) {
            const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16 * k));
            const __m128i x = _mm_xor_si128(w, key[k]);
            acc[k] = _mm_add_epi64(_mm_add_epi64(acc[k], w), _mm_mul_epu32(x, _mm_srli_epi64(x, 32)));
        }
    std::memcpy(lanes, acc, sizeof acc);
    return i;
}

[[gnu::target("avx2")]] size_t lanes_avx2(const uint8_t* p, size_t n, uint64_t* lanes) {
    __m256i acc[2], key[2];
    for (int k = 0; k < 2; ++k) acc[k] = key[k] = _mm256_load_si256(reinterpret_cast<const __m256i*>(KEYS + 4 * k));
    size_t i = 0;
    for (; i + BLOCK <= n; i += BLOCK)
        for (int k = 0; k < 2; ++k) {
            const __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32 * k));
            const __m256i x = _mm256_xor_si256(w, key[k]);
            acc[k] = _mm256_add_epi64(_mm256_add_epi64(acc[k], w), _mm256_mul_epu32(x, _mm256_srli_epi64(x, 32)));
        }
    std::memcpy(lanes, acc, sizeof acc);
    return i;
}

const LaneFunction lanes_best = __builtin_cpu_supports("avx2") ? lanes_avx2 : lanes_sse2;
#else
const LaneFunction lanes_best = lanes_plain;
#endif

}  // namespace

namespace {
uint64_t finish(const uint8_t* p, size_t n, size_t i, const uint64_t* lanes) {
    uint64_t h = n * P1;
    for (int k = 0; k < 8; ++k) {
        h = (h ^ lanes[k]) * P2;
        h ^= h >> 29;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * P1;
    h ^= h >> 33;
    h *= P2;
    h ^= h >> 29;
    h *= P1;
    return h ^ (h >> 32);
}

uint64_t hash_with(LaneFunction lanes_of, const void* data, size_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    uint64_t lanes[8];
    const size_t i = lanes_of(p, n, lanes);
    return finish(p, n, i, lanes);
}
}  // namespace

uint64_t state_hash(const void* data, size_t n) { return hash_with(lanes_best, data, n); }

namespace {
constexpr size_t KIB = 1024;

// Most kilobytes that hold anything show it in their first bytes.
bool all_zero(const uint8_t* p) {
    for (size_t i = 0; i < KIB; i += 32) {
        uint64_t w[4];
        std::memcpy(w, p + i, sizeof w);
        if ((w[0] | w[1] | w[2] | w[3]) != 0) return false;
    }
    return true;
}
}  // namespace

void StateArchive::memory_image(void* data, size_t n) {
    auto* bytes_of = static_cast<uint8_t*>(data);
    const size_t chunks = n / KIB;
    uint8_t map[64] = {};  // up to 512 KiB
    if (chunks * KIB != n || chunks > sizeof map * 8) fail("a memory image is not a whole number of kilobytes");
    const size_t map_bytes = (chunks + 7) / 8;
    if (mode_ == Mode::save)
        for (size_t c = 0; c < chunks; ++c)
            if (!all_zero(bytes_of + c * KIB)) map[c / 8] = static_cast<uint8_t>(map[c / 8] | (1u << (c % 8)));
    const size_t map_at = pos_;
    bytes(map, map_bytes);
    if (mode_ == Mode::check) {
        std::memcpy(map, in_ + map_at, map_bytes);
        if (chunks % 8 != 0 && (map[map_bytes - 1] >> (chunks % 8)) != 0)
            fail("a memory map marks kilobytes beyond its image");
    }
    // Runs of kilobytes of one kind move in one call each.
    const auto held = [&](size_t c) { return mode_ == Mode::measure || ((map[c / 8] >> (c % 8)) & 1) != 0; };
    for (size_t c = 0; c < chunks;) {
        size_t end = c + 1;
        while (end < chunks && held(end) == held(c)) ++end;
        // Checking reads no component: data is null there and gets no offset.
        uint8_t* run = bytes_of ? bytes_of + c * KIB : nullptr;
        const size_t length = (end - c) * KIB;
        if (held(c))
            bytes(run, length);
        else if (mode_ == Mode::load)
            std::memset(run, 0, length);
        c = end;
    }
}

std::vector<uint64_t> state_hash_all_forms(const void* data, size_t n) {
    std::vector<uint64_t> out{hash_with(lanes_plain, data, n)};
#if defined(__x86_64__)
    out.push_back(hash_with(lanes_sse2, data, n));
    if (__builtin_cpu_supports("avx2")) out.push_back(hash_with(lanes_avx2, data, n));
#endif
    return out;
}

}  // namespace NES
