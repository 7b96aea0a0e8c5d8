// The sparse per-voxel code and the sorted-key routine of the GPU kernel against the
// reference evaluation, bit for bit, plus the closed-form cases of a single voxel.
#include <gtest/gtest.h>
#include <math.h>

#include "texel_dense_oracle.h"
#include "texel_features.h"
#include "texel_glcm.h"
#include "texel_gpu_kernel.h"
#include "texel_test_util.h"

namespace {

struct Case {
    int X, Y, Z, P, Q, L, lo, hi;
};

// Random volumes over several L, window shapes (P = 0 and Q = 0 included) and value
// ranges reaching below 0 and beyond L-1.
const Case kCases[] = {
    {9, 8, 2, 1, 1, 1, -1, 2},   {10, 9, 2, 2, 1, 2, -1, 3},   {11, 7, 2, 0, 2, 3, -2, 4},
    {12, 10, 1, 2, 2, 5, -1, 6}, {9, 11, 2, 1, 0, 8, 0, 9},    {13, 9, 1, 3, 2, 16, -3, 18},
    {8, 8, 2, 0, 0, 4, 0, 5},    {10, 10, 1, 1, 3, 40, 0, 39}, {14, 6, 1, 4, 1, 7, 0, 2},
};

// The GPU kernel's per-voxel routine, run on the host with its keys interleaved like the
// threads of a block (stride > 1), for every key width that holds L.
template <typename Key>
std::string sorted_routine_diffs(const int32_t* img, int X, int Y, int Z, int P, int Q, int L,
                                 const std::vector<std::vector<float>>& want) {
    const int64_t stride = 3;
    std::vector<Key> keys((size_t)(texel_key_capacity(P, Q) * stride + 1), (Key)0x5a5a);
    TexelMaps got((size_t)X * Y * Z, 0.0f);
    for (int z = 0; z < Z; ++z)
        for (int y = Q; y < Y - Q; ++y)
            for (int x = P; x < X - P; ++x) {
                float acc[10];
                const int32_t* win = img + texel_index(x, y, z, X, Y);
                texel_voxel_sorted<Key>(win, X, P, Q, L, keys.data() + 1, stride, acc);
                for (int f = 0; f < 10; ++f) got.ptr[f][texel_index(x, y, z, X, Y)] = acc[f];
            }
    return texel_compare_bits(want, got.ptr, (size_t)X * Y * Z);
}

std::string sorted_routine_all_keys(const int32_t* img, int X, int Y, int Z, int P, int Q, int L,
                                    const std::vector<std::vector<float>>& want) {
    std::string out;
    if (L <= 256) out += sorted_routine_diffs<uint16_t>(img, X, Y, Z, P, Q, L, want);
    if (L <= 65536) out += sorted_routine_diffs<uint32_t>(img, X, Y, Z, P, Q, L, want);
    return out + sorted_routine_diffs<uint64_t>(img, X, Y, Z, P, Q, L, want);
}

TEST(TexelFeatures, SparseEqualsDenseBitwiseOnRandomVolumes) {
    uint32_t seed = 11;
    for (const Case& c : kCases) {
        const size_t n = (size_t)c.X * c.Y * c.Z;
        const auto img = texel_random_volume(seed++, n, c.lo, c.hi);
        const auto want = texel_oracle::volume(img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L);
        TexelMaps got(n, -7.0f);
        texel_serial_maps(img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L, got.ptr);
        EXPECT_EQ("", texel_compare_bits(want, got.ptr, n))
            << "X=" << c.X << " Y=" << c.Y << " Z=" << c.Z << " P=" << c.P << " Q=" << c.Q << " L=" << c.L;
    }
}

// Few distinct values and patches of a single counted grey level (values beyond L are
// not counted) make zero variances and repeated pairs common: the correlation's 0/0
// and the handling of zero entries are exercised on many voxels.
TEST(TexelFeatures, SparseEqualsDenseBitwiseOnBlockyVolumes) {
    const int X = 16, Y = 14, Z = 2;
    const size_t n = (size_t)X * Y * Z;
    for (int L : {1, 2, 3, 6}) {
        std::vector<int32_t> img(n);
        for (int z = 0; z < Z; ++z)
            for (int y = 0; y < Y; ++y)
                for (int x = 0; x < X; ++x) {
                    int v = ((x / 4) + (y / 5) + z) % L;
                    if ((x * 7 + y * 3) % 11 == 0) v = L + 2;
                    if ((x + y) % 13 == 0) v = -1;
                    img[(size_t)x + X * ((size_t)y + Y * z)] = v;
                }
        for (int P : {0, 1, 2})
            for (int Q : {0, 1, 2}) {
                const auto want = texel_oracle::volume(img.data(), X, Y, Z, P, Q, L);
                TexelMaps got(n, 3.0f);
                texel_serial_maps(img.data(), X, Y, Z, P, Q, L, got.ptr);
                EXPECT_EQ("", texel_compare_bits(want, got.ptr, n)) << "L=" << L << " P=" << P << " Q=" << Q;
                EXPECT_EQ("", sorted_routine_all_keys(img.data(), X, Y, Z, P, Q, L, want))
                    << "L=" << L << " P=" << P << " Q=" << Q;
            }
    }
}

TEST(TexelFeatures, SortedKeyRoutineEqualsReferenceOnRandomWindows) {
    uint32_t seed = 101;
    for (const Case& c : kCases) {
        const size_t n = (size_t)c.X * c.Y * c.Z;
        const auto img = texel_random_volume(seed++, n, c.lo, c.hi);
        const auto want = texel_oracle::volume(img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L);
        EXPECT_EQ("", sorted_routine_all_keys(img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L, want))
            << "X=" << c.X << " Y=" << c.Y << " P=" << c.P << " Q=" << c.Q << " L=" << c.L;
    }
}

// Grey levels at the top of each key width (a key's row half full) and far beyond the
// reference's reach: compared with the CPU path, which equals the reference above.
TEST(TexelFeatures, SortedKeyRoutineAtTheLimitsOfEachKeyWidth) {
    struct Wide {
        int L, lo, hi, P, Q;
    } cases[] = {{256, 250, 255, 2, 2},
                 {257, 0, 256, 1, 2},
                 {65536, 65530, 65535, 2, 1},
                 {65537, 65533, 65536, 1, 1},
                 {1 << 30, (1 << 30) - 4, (1 << 30) - 1, 2, 2}};
    const int X = 11, Y = 10, Z = 2;
    uint32_t seed = 300;
    for (const Wide& c : cases) {
        const auto img = texel_random_volume(seed++, (size_t)X * Y * Z, c.lo, c.hi);
        TexelMaps cpu((size_t)X * Y * Z, 0.0f);
        texel_serial_maps(img.data(), X, Y, Z, c.P, c.Q, c.L, cpu.ptr);
        EXPECT_EQ("", sorted_routine_all_keys(img.data(), X, Y, Z, c.P, c.Q, c.L, cpu.data)) << "L=" << c.L;
    }
}

// Every direction's pairs and their mirrors fit the key storage, and the smallest
// window that fills it does (so the storage is not larger than needed either).
TEST(TexelFeatures, KeyCapacityIsTheLargestDirection) {
    for (int P = 0; P <= 5; ++P)
        for (int Q = 0; Q <= 5; ++Q) {
            int64_t most = 0;
            for (int d = 0; d < 4; ++d) {
                const TexelWindow w = texel_window(0, 0, P, Q, d);
                const int64_t pairs = (int64_t)(w.u1 - w.u0 + 1) * (w.r1 - w.r0 + 1);
                most = pairs > most ? pairs : most;
            }
            EXPECT_EQ(2 * most, texel_key_capacity(P, Q)) << P << " " << Q;
        }
}

float voxel_feature(const std::vector<int32_t>& img, int X, int Y, int P, int Q, int L, int x, int y, int f) {
    TexelScratch s;
    EXPECT_EQ(0, texel_scratch_alloc(&s, P, Q, X, Y));
    float acc[10];
    texel_voxel_features(img.data(), X, Y, P, Q, L, x, y, 0, &s, acc);
    texel_scratch_free(&s);
    return acc[f];
}

TEST(TexelFeatures, ConstantWindowClosedForm) {
    const int X = 7, Y = 7, g = 5, L = 9;
    std::vector<int32_t> img((size_t)X * Y, g);
    TexelScratch s;
    ASSERT_EQ(0, texel_scratch_alloc(&s, 2, 1, X, Y));
    float acc[10];
    texel_voxel_features(img.data(), X, Y, 2, 1, L, 3, 3, 0, &s, acc);
    texel_scratch_free(&s);
    EXPECT_EQ(0.0f, acc[TEXEL_CONTRAST]);
    EXPECT_EQ(0.0f, acc[TEXEL_DISSIMILARITY]);
    EXPECT_EQ(0.0f, acc[TEXEL_ENTROPY]);
    EXPECT_EQ(1.0f, acc[TEXEL_HOMOGENEITY]);
    EXPECT_EQ(1.0f, acc[TEXEL_ASM]);
    EXPECT_EQ(1.0f, acc[TEXEL_ENERGY]);
    EXPECT_EQ(1.0f, acc[TEXEL_MAX_PROBABILITY]);
    EXPECT_EQ((float)g, acc[TEXEL_GLCM_MEAN]);
    EXPECT_EQ(0.0f, acc[TEXEL_GLCM_VARIANCE]);
    EXPECT_TRUE(isnan(acc[TEXEL_CORRELATION]));
}

// P = 0 leaves directions 0, 2 and 3 without columns: they contribute the features of
// an all-zero matrix (maximum probability at the smallest normal, correlation NaN).
TEST(TexelFeatures, ZeroHalfWidthLeavesThreeEmptyDirections) {
    const int X = 5, Y = 7, g = 4, L = 6;
    std::vector<int32_t> img((size_t)X * Y, g);
    TexelScratch s;
    ASSERT_EQ(0, texel_scratch_alloc(&s, 0, 2, X, Y));
    float f0[10], f1[10];
    texel_direction_features(img.data(), X, Y, 0, 2, L, 2, 3, 0, 0, &s, f0);
    texel_direction_features(img.data(), X, Y, 0, 2, L, 2, 3, 0, 1, &s, f1);
    float acc[10];
    texel_voxel_features(img.data(), X, Y, 0, 2, L, 2, 3, 0, &s, acc);
    texel_scratch_free(&s);
    EXPECT_EQ(TEXEL_FLT_MIN_NORMAL, f0[TEXEL_MAX_PROBABILITY]);
    EXPECT_TRUE(isnan(f0[TEXEL_CORRELATION]));
    EXPECT_EQ(0.0f, f0[TEXEL_GLCM_MEAN]);
    EXPECT_EQ(0.0f, f0[TEXEL_HOMOGENEITY]);
    EXPECT_EQ(1.0f, f1[TEXEL_MAX_PROBABILITY]);
    EXPECT_EQ((float)g, f1[TEXEL_GLCM_MEAN]);
    // One counted direction out of four.
    EXPECT_EQ(0.25f * g, acc[TEXEL_GLCM_MEAN]);
    EXPECT_EQ(0.25f, acc[TEXEL_HOMOGENEITY]);
    EXPECT_EQ(0.25f, acc[TEXEL_MAX_PROBABILITY]);
}

// Grey values of L or more are not counted; the remaining pairs stay normalised.
TEST(TexelFeatures, OutOfRangeValuesAreIgnored) {
    const int X = 7, Y = 7, g = 2, L = 3;
    std::vector<int32_t> img((size_t)X * Y, g);
    img[3 + X * 3] = L;     // centre pixel: removes pairs in every direction
    img[2 + X * 4] = 1000;  // far beyond L
    img[4 + X * 2] = -5;
    for (int f : {TEXEL_HOMOGENEITY, TEXEL_ASM, TEXEL_MAX_PROBABILITY})
        EXPECT_EQ(1.0f, voxel_feature(img, X, Y, 2, 2, L, 3, 3, f)) << f;
    EXPECT_EQ((float)g, voxel_feature(img, X, Y, 2, 2, L, 3, 3, TEXEL_GLCM_MEAN));
    // Replacing the ignored values by a counted level changes the texture.
    img[3 + X * 3] = 0;
    EXPECT_LT(voxel_feature(img, X, Y, 2, 2, L, 3, 3, TEXEL_HOMOGENEITY), 1.0f);
}

TEST(TexelFeatures, InteriorBoundsAndBorderZeros) {
    const int X = 9, Y = 6, Z = 2, P = 2, Q = 1;
    const size_t n = (size_t)X * Y * Z;
    std::vector<int32_t> img(n, 3);
    TexelMaps maps(n, 42.0f);
    texel_serial_maps(img.data(), X, Y, Z, P, Q, 4, maps.ptr);
    for (int z = 0; z < Z; ++z)
        for (int y = 0; y < Y; ++y)
            for (int x = 0; x < X; ++x) {
                const size_t idx = (size_t)x + X * ((size_t)y + Y * z);
                const bool inside = x >= P && x < X - P && y >= Q && y < Y - Q;
                EXPECT_EQ(inside ? 3.0f : 0.0f, maps.ptr[TEXEL_GLCM_MEAN][idx]) << x << "," << y << "," << z;
                if (!inside) {
                    for (int f = 0; f < 10; ++f) EXPECT_EQ(0u, texel_bits(maps.ptr[f][idx]));
                }
            }
    // Window wider than the image: everything 0.
    TexelMaps wide(n, 42.0f);
    texel_serial_maps(img.data(), X, Y, Z, 5, 0, 4, wide.ptr);
    for (int f = 0; f < 10; ++f)
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(0u, texel_bits(wide.ptr[f][i]));
}

// The sparse code needs no L x L storage: a huge L gives the same maps as the smallest
// L that holds the values (zero entries exist in both, so even NaN correlations agree).
TEST(TexelFeatures, HugeLevelCountNeedsNoMatrixStorage) {
    const int X = 12, Y = 10, Z = 1;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(77, n, 0, 3);
    TexelMaps small(n, 0.0f), huge(n, 0.0f);
    texel_serial_maps(img.data(), X, Y, Z, 2, 2, 5, small.ptr);
    texel_serial_maps(img.data(), X, Y, Z, 2, 2, 1 << 30, huge.ptr);
    EXPECT_EQ("", texel_compare_bits(small.data, huge.ptr, n));
}

TEST(TexelFeatures, ScratchCapacityCoversEveryDirection) {
    // Smallest slices that still have an interior voxel for the window.
    for (int P = 0; P <= 4; ++P)
        for (int Q = 0; Q <= 4; ++Q) {
            const int64_t cap = texel_pairs_capacity(P, Q, 2 * P + 1, 2 * Q + 1);
            for (int d = 0; d < 4; ++d) {
                const int64_t cols = 2 * P + 1 + texel_direction(TEXEL_DIR_LAST_COL, d);
                const int64_t rows =
                    2 * Q + 1 - texel_direction(TEXEL_DIR_FIRST_ROW, d) + texel_direction(TEXEL_DIR_LAST_ROW, d);
                EXPECT_LE(cols * rows, cap);
            }
        }
    TexelScratch s;
    EXPECT_EQ(1, texel_scratch_alloc(&s, -1, 0, 5, 5));
    EXPECT_EQ(nullptr, s.keys);
}

// A window far larger than the slice leaves no interior voxel; it must not ask for
// scratch sized by the window.
TEST(TexelFeatures, HugeWindowGivesZerosWithoutHugeScratch) {
    EXPECT_EQ(6 * 4, texel_pairs_capacity(1 << 30, 1 << 30, 6, 4));
    const int X = 6, Y = 4, Z = 2;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(3, n, 0, 3);
    TexelMaps maps(n, 9.0f);
    TexelScratch s;
    ASSERT_EQ(0, texel_scratch_alloc(&s, 2147483647, 2147483647, X, Y));
    for (int z = 0; z < Z; ++z)
        for (int y = 0; y < Y; ++y)
            for (int x = 0; x < X; ++x)
                texel_store_voxel(img.data(), X, Y, 2147483647, 2147483647, 4, x, y, z, &s, maps.ptr);
    texel_scratch_free(&s);
    for (int f = 0; f < 10; ++f)
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(0u, texel_bits(maps.ptr[f][i]));
}

}  // namespace
