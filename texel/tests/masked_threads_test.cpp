// Discretisation into grey levels and the mask-aware per-voxel computation (with worker
// threads, so the file also runs under ThreadSanitizer): levels written
// out by hand, refusals, the masked driver against the library's CPU path, pairs across the
// mask border left out, directions without pairs left out of the average.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "texel_cpu.h"
#include "texel_dense_oracle.h"
#include "texel_levels.h"
#include "texel_masked.h"
#include "texel_test_util.h"

namespace {

struct LevelsCase {
    const char* name;
    std::vector<double> v;
    std::vector<uint8_t> inside;  // empty: all
    int integer_data, levels;
    double width;
    std::vector<int32_t> want;  // TEXEL_OUTSIDE = -1
    int want_L, want_as_is;
};

TEST(TexelLevels, HandWrittenLevels) {
    const LevelsCase cases[] = {
        // floor((v - 0.25) / 0.5): 0, 0.45, 0.5 (an edge, exact in binary), 0.95, 2.8, 3.75 above the minimum
        {"bin width", {0.25, 0.7, 0.75, 1.2, 3.05, 4.0}, {}, 0, 0, 0.5, {0, 0, 1, 1, 5, 7}, 8, 0},
        // the minimum and maximum of the mask only; outside values (even huge) do not count
        {"bin width in mask", {5.0, -100.0, 6.0, 7.5, 1e9}, {1, 0, 1, 1, 0}, 0, 0, 1.0, {0, -1, 1, 2, -1}, 3, 0},
        // floor(4 * (v - 10) / 20), the maximum clamped to 3
        {"levels", {10.0, 14.9, 15.0, 24.99, 25.0, 30.0}, {}, 0, 4, 0.0, {0, 0, 1, 2, 3, 3}, 4, 0},
        // integers already in 0 .. L-1 are kept, even when they do not span the range
        {"integer as is", {1, 2, 2, 3}, {}, 1, 8, 0.0, {1, 2, 2, 3}, 8, 1},
        // the same values as reals are rescaled over 1 .. 3: floor(8 * (v - 1) / 2)
        {"real rescaled", {1, 2, 2, 3}, {}, 0, 8, 0.0, {0, 4, 4, 7}, 8, 0},
        // integers beyond L-1 are rescaled: floor(4 * v / 10)
        {"integer too large", {0, 5, 10, 3}, {}, 1, 4, 0.0, {0, 2, 3, 1}, 4, 0},
        {"constant region", {7, 7, 7}, {}, 0, 16, 0.0, {0, 0, 0}, 16, 0},
    };
    for (const LevelsCase& c : cases) {
        std::vector<int32_t> out(c.v.size(), 99);
        TexelLevelsInfo info;
        int64_t bad;
        char err[256] = "";
        ASSERT_EQ(0, texel_discretise(c.v.data(), c.inside.empty() ? nullptr : c.inside.data(), (int64_t)c.v.size(),
                                      c.integer_data, c.levels, c.width, out.data(), &info, &bad, err, sizeof err))
            << c.name << ": " << err;
        EXPECT_EQ(c.want, out) << c.name;
        EXPECT_EQ(c.want_L, info.L) << c.name;
        EXPECT_EQ(c.want_as_is, info.as_is) << c.name;
    }
}

TEST(TexelLevels, Refusals) {
    const double nan = std::nan(""), inf = INFINITY;
    struct Case {
        const char* name;
        std::vector<double> v;
        std::vector<uint8_t> inside;
        int levels;
        double width;
        const char* message;
        int64_t bad;
    } cases[] = {
        {"NaN inside", {1, 2, nan, 4}, {}, 8, 0.0, "not finite", 2},
        {"infinity inside mask", {1, inf, 3}, {1, 1, 0}, 8, 0.0, "not finite", 1},
        {"empty mask", {1, 2, 3}, {0, 0, 0}, 8, 0.0, "no voxel", -1},
        {"too many bins", {0.0, 256.0}, {}, 0, 1.0, "at most 256", -1},
    };
    for (const Case& c : cases) {
        std::vector<int32_t> out(c.v.size());
        TexelLevelsInfo info;
        int64_t bad;
        char err[256] = "";
        EXPECT_EQ(1, texel_discretise(c.v.data(), c.inside.empty() ? nullptr : c.inside.data(), (int64_t)c.v.size(), 0,
                                      c.levels, c.width, out.data(), &info, &bad, err, sizeof err))
            << c.name;
        EXPECT_NE(std::string::npos, std::string(err).find(c.message)) << c.name << ": " << err;
        EXPECT_EQ(c.bad, bad) << c.name;
    }
    // Non-finite values outside the mask are ignored; 255 bins of width 1 are allowed.
    const std::vector<double> v = {1, nan, 3}, w = {0.0, 255.0};
    const std::vector<uint8_t> in = {1, 0, 1};
    std::vector<int32_t> out(3);
    TexelLevelsInfo info;
    int64_t bad;
    char err[256] = "";
    EXPECT_EQ(0, texel_discretise(v.data(), in.data(), 3, 0, 8, 0.0, out.data(), &info, &bad, err, sizeof err));
    EXPECT_EQ(0, texel_discretise(w.data(), nullptr, 2, 0, 0, 1.0, out.data(), &info, &bad, err, sizeof err));
    EXPECT_EQ(256, info.L);
}

// Runs the masked driver over every voxel the list gives, maps starting at NaN.
TexelMaps masked_maps(const std::vector<int32_t>& lev, int X, int Y, int Z, int P, int Q, int L, int threads) {
    std::vector<int64_t> list;
    texel_masked_voxel_list(lev.data(), X, Y, Z, P, Q, &list);
    TexelMaps m((size_t)X * Y * Z, NAN);
    const TexelMaskedJob job = {lev.data(), X, Y, Z, P, Q, L, list.data(), (int64_t)list.size(), m.ptr, threads, -1};
    EXPECT_EQ(0, texel_masked_maps(&job));
    return m;
}

TEST(TexelMasked, WithoutMaskEqualsLibraryMapsBitForBit) {
    const int X = 23, Y = 17, Z = 3, P = 2, Q = 1, L = 12;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(31, n, 0, L - 1);
    TexelMaps lib(n, 0.0f);
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, pComputeAllCooccurenceMatricesImageLevel(img.data(), X, Y, Z, P, Q, L, lib.ptr, 2));
    testing::internal::GetCapturedStderr();
    for (int threads : {1, 3}) {
        const TexelMaps got = masked_maps(img, X, Y, Z, P, Q, L, threads);
        for (int z = 0; z < Z; ++z)
            for (int y = 0; y < Y; ++y)
                for (int x = 0; x < X; ++x) {
                    const int64_t i = texel_index(x, y, z, X, Y);
                    for (int f = 0; f < 10; ++f) {
                        if (texel_is_interior(x, y, X, Y, P, Q))
                            ASSERT_EQ(texel_bits(lib.ptr[f][i]), texel_bits(got.ptr[f][i]))
                                << "threads " << threads << " feature " << f << " voxel " << x << "," << y << "," << z;
                        else
                            ASSERT_TRUE(std::isnan(got.ptr[f][i])) << "border voxel written";
                    }
                }
    }
}

// Pairs with a voxel outside the mask are not counted: the masked result equals the
// reference evaluation of the image whose outside voxels carry a level no pair matches,
// for voxels whose four directions all keep pairs.
TEST(TexelMasked, PairsAcrossTheMaskBorderAreLeftOut) {
    const int X = 19, Y = 15, Z = 2, P = 2, Q = 2, L = 6;
    const size_t n = (size_t)X * Y * Z;
    auto lev = texel_random_volume(77, n, 0, L - 1);
    std::vector<int32_t> shadow = lev;  // outside voxels get L (never counted by the reference)
    for (int z = 0; z < Z; ++z)
        for (int y = 0; y < Y; ++y)
            for (int x = 0; x < X; ++x) {
                const double ex = (x - 9.0) / 7.5, ey = (y - 7.0) / 5.5;
                if (ex * ex + ey * ey > 1.0) {
                    lev[texel_index(x, y, z, X, Y)] = TEXEL_OUTSIDE;
                    shadow[texel_index(x, y, z, X, Y)] = L;
                }
            }
    const TexelMaps got = masked_maps(lev, X, Y, Z, P, Q, L, 2);
    int checked = 0, partial = 0;
    for (int z = 0; z < Z; ++z)
        for (int y = Q; y < Y - Q; ++y)
            for (int x = P; x < X - P; ++x) {
                const int64_t i = texel_index(x, y, z, X, Y);
                if (lev[i] == TEXEL_OUTSIDE) {
                    EXPECT_TRUE(std::isnan(got.ptr[0][i]));
                    continue;
                }
                bool all = true, cut = false;
                for (int d = 0; d < 4; ++d) {
                    const int64_t c = texel_direction_pair_count(lev.data(), X, Y, P, Q, L, x, y, z, d);
                    all = all && c > 0;
                    cut = cut || c < texel_direction_pair_count(shadow.data(), X, Y, P, Q, L + 1, x, y, z, d);
                }
                if (!all) continue;
                float want[10];
                texel_oracle::voxel(shadow.data(), X, Y, P, Q, L, x, y, z, want);
                for (int f = 0; f < 10; ++f)
                    ASSERT_EQ(texel_bits(want[f]), texel_bits(got.ptr[f][i]))
                        << "feature " << f << " at " << x << "," << y << "," << z;
                ++checked;
                partial += cut;
            }
    EXPECT_GT(checked, 100);
    EXPECT_GT(partial, 40);  // many windows really lose pairs to the border
}

TEST(TexelMasked, DirectionsWithoutPairsAreLeftOutOfTheAverage) {
    // A mask of one row: only the horizontal direction has pairs, so its features are the
    // voxel's features unchanged; a mask of one voxel has no pair at all.
    const int X = 7, Y = 5, P = 1, Q = 1, L = 4;
    auto lev = texel_random_volume(3, (size_t)X * Y, 0, L - 1);
    for (int y = 0; y < Y; ++y)
        for (int x = 0; x < X; ++x)
            if (y != 2) lev[texel_index(x, y, 0, X, Y)] = TEXEL_OUTSIDE;
    TexelScratch s;
    ASSERT_EQ(0, texel_scratch_alloc(&s, P, Q, X, Y));
    float acc[10], d0[10], tmp[10];
    EXPECT_EQ(1, texel_voxel_features_masked(lev.data(), X, Y, P, Q, L, 3, 2, 0, &s, acc));
    EXPECT_GT(texel_direction_features(lev.data(), X, Y, P, Q, L, 3, 2, 0, 0, &s, d0), 0);
    for (int d = 1; d < 4; ++d) EXPECT_EQ(0, texel_direction_features(lev.data(), X, Y, P, Q, L, 3, 2, 0, d, &s, tmp));
    for (int f = 0; f < 10; ++f) EXPECT_EQ(texel_bits(d0[f]), texel_bits(acc[f])) << "feature " << f;
    for (int x = 0; x < X; ++x)
        if (x != 3) lev[texel_index(x, 2, 0, X, Y)] = TEXEL_OUTSIDE;
    EXPECT_EQ(0, texel_voxel_features_masked(lev.data(), X, Y, P, Q, L, 3, 2, 0, &s, acc));
    for (int f = 0; f < 10; ++f) EXPECT_TRUE(std::isnan(acc[f])) << "feature " << f;
    texel_scratch_free(&s);
}

TEST(TexelMasked, VoxelListHoldsInsideVoxelsWhoseWindowFits) {
    const int X = 6, Y = 5, Z = 2, P = 2, Q = 1;
    std::vector<int32_t> lev((size_t)X * Y * Z, 0);
    lev[texel_index(2, 1, 0, X, Y)] = TEXEL_OUTSIDE;
    std::vector<int64_t> list;
    texel_masked_voxel_list(lev.data(), X, Y, Z, P, Q, &list);
    std::vector<int64_t> want;
    for (int z = 0; z < Z; ++z)
        for (int y = 1; y <= 3; ++y)
            for (int x = 2; x <= 3; ++x)
                if (!(z == 0 && y == 1 && x == 2)) want.push_back(texel_index(x, y, z, X, Y));
    EXPECT_EQ(want, list);
}

}  // namespace
