// Helpers shared by the texel tests: random volumes, map buffers, bitwise comparison.
#ifndef TEXEL_TEST_UTIL_H
#define TEXEL_TEST_UTIL_H

#include <stdint.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include "texel_features.h"

struct TexelMaps {
    std::vector<std::vector<float>> data;
    float* ptr[10];
    explicit TexelMaps(size_t n, float fill) : data(10, std::vector<float>(n, fill)) {
        for (int f = 0; f < 10; ++f) ptr[f] = data[f].data();
    }
};

// Grey values drawn from lo..hi inclusive (may lie outside 0..L-1 on purpose).
inline std::vector<int32_t> texel_random_volume(uint32_t seed, size_t n, int lo, int hi) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(lo, hi);
    std::vector<int32_t> v(n);
    for (auto& e : v) e = dist(rng);
    return v;
}

inline uint32_t texel_bits(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}

// Empty string when both map sets agree bit for bit, else the first few differences.
inline std::string texel_compare_bits(const std::vector<std::vector<float>>& want, float* const* got, size_t n) {
    std::string out;
    int shown = 0;
    for (int f = 0; f < 10; ++f)
        for (size_t i = 0; i < n; ++i)
            if (texel_bits(want[f][i]) != texel_bits(got[f][i]) && shown++ < 6)
                out += "feature " + std::to_string(f) + " at " + std::to_string(i) + ": want " +
                       std::to_string(want[f][i]) + " got " + std::to_string(got[f][i]) + "\n";
    return out;
}

// Units in the last place between two finite floats of one sign (large otherwise).
inline int64_t texel_ulps(float a, float b) {
    const int64_t ia = texel_bits(a), ib = texel_bits(b);
    if ((ia >> 31) != (ib >> 31)) return a == b ? 0 : INT64_MAX;
    return ia > ib ? ia - ib : ib - ia;
}

// As texel_compare_bits for maps from the GPU: a NaN matches any NaN (the device's NaN
// has other bits) and the entropy may differ by 2 units in the last place (the device's
// logarithm is correctly rounded, the C library's is not always).
inline std::string texel_compare_gpu(const std::vector<std::vector<float>>& want, float* const* got, size_t n) {
    std::string out;
    int shown = 0;
    for (int f = 0; f < 10; ++f)
        for (size_t i = 0; i < n; ++i) {
            const float w = want[f][i], g = got[f][i];
            if (texel_bits(w) == texel_bits(g) || (w != w && g != g)) continue;
            if (f == TEXEL_ENTROPY && texel_ulps(w, g) <= 2) continue;
            if (shown++ < 6)
                out += "feature " + std::to_string(f) + " at " + std::to_string(i) + ": want " + std::to_string(w) +
                       " got " + std::to_string(g) + "\n";
        }
    return out;
}

// Serial fill with the sparse per-voxel code.
inline void texel_serial_maps(const int32_t* img, int X, int Y, int Z, int P, int Q, int L, float* const* maps) {
    TexelScratch s;
    if (texel_scratch_alloc(&s, P, Q, X, Y) != 0) return;
    for (int z = 0; z < Z; ++z)
        for (int y = 0; y < Y; ++y)
            for (int x = 0; x < X; ++x) texel_store_voxel(img, X, Y, P, Q, L, x, y, z, &s, maps);
    texel_scratch_free(&s);
}

#endif
