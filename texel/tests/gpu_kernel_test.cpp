// The GPU kernel's blocks emulated on the host: the volume cut into chunks of rows with
// their halo, every tile loaded into a shared-memory buffer of exactly the planned size
// thread by thread, then every thread's voxel computed with its interleaved keys. The
// maps must equal the CPU path's bit for bit and every element must be written.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "texel_gpu.h"
#include "texel_gpu_kernel.h"
#include "texel_test_util.h"

namespace {

const float kSentinel = std::nanf("0x5eed");

// What the device does for one call, with `threads` per block and chunks of
// `rows_per_chunk` rows (two buffer sets reused in turn, as on the device).
template <typename Key>
void emulate(const int32_t* img, int X, int Y, int Z, int P, int Q, int L, int threads, int64_t rows_per_chunk,
             float* const* maps) {
    const int64_t total_rows = (int64_t)Y * Z;
    const int64_t chunks = (total_rows + rows_per_chunk - 1) / rows_per_chunk;
    const int tile_rows = threads / TEXEL_TILE_WIDTH;
    const int64_t in_cap = std::min<int64_t>(rows_per_chunk + 2 * (int64_t)Q, total_rows) * X;
    const int64_t out_pitch = rows_per_chunk * X;
    const int64_t smem_bytes = texel_shared_bytes(P, Q, tile_rows, (int)sizeof(Key));
    std::vector<int32_t> in[2] = {std::vector<int32_t>((size_t)in_cap, 77), std::vector<int32_t>((size_t)in_cap, 77)};
    std::vector<float> out[2] = {std::vector<float>((size_t)(10 * out_pitch), kSentinel),
                                 std::vector<float>((size_t)(10 * out_pitch), kSentinel)};
    // Exactly the planned bytes (8-aligned), so that the sanitizer build catches overruns.
    std::vector<uint64_t> smem((size_t)(smem_bytes + 7) / 8);
    for (int64_t k = 0; k < chunks; ++k) {
        const int b = (int)(k % 2);
        const TexelChunk c = texel_chunk(k, rows_per_chunk, total_rows, Q);
        ASSERT_LE(c.in_rows * X, in_cap);
        std::copy(img + c.in_row0 * X, img + (c.in_row0 + c.in_rows) * X, in[b].begin());
        TexelLaunch a;
        a.in = in[b].data();
        a.in_row0 = c.in_row0;
        a.in_rows = c.in_rows;
        a.out = out[b].data();
        a.out_pitch = out_pitch;
        a.row0 = c.row0;
        a.rows = c.rows;
        a.X = X;
        a.Y = Y;
        a.P = P;
        a.Q = Q;
        a.L = L;
        a.tile_rows = tile_rows;
        unsigned char* base = reinterpret_cast<unsigned char*>(smem.data());
        int32_t* tile = reinterpret_cast<int32_t*>(base);
        Key* keys = reinterpret_cast<Key*>(base + texel_keys_offset(P, Q, tile_rows));
        for (int64_t t = 0; t < texel_tile_count(&a); ++t) {
            for (int tid = 0; tid < threads; ++tid) texel_tile_load(&a, t, tid, threads, tile);
            for (int tid = 0; tid < threads; ++tid) texel_tile_voxel<Key>(&a, t, tid, threads, tile, keys);
        }
        for (int f = 0; f < 10; ++f)
            std::copy(out[b].begin() + f * out_pitch, out[b].begin() + f * out_pitch + c.rows * X,
                      maps[f] + c.row0 * X);
    }
}

void emulate_keys(int key_bytes, const int32_t* img, int X, int Y, int Z, int P, int Q, int L, int threads,
                  int64_t rows_per_chunk, float* const* maps) {
    if (key_bytes == 2)
        emulate<uint16_t>(img, X, Y, Z, P, Q, L, threads, rows_per_chunk, maps);
    else if (key_bytes == 4)
        emulate<uint32_t>(img, X, Y, Z, P, Q, L, threads, rows_per_chunk, maps);
    else
        emulate<uint64_t>(img, X, Y, Z, P, Q, L, threads, rows_per_chunk, maps);
}

void expect_all_written(const TexelMaps& m, size_t n) {
    for (int f = 0; f < 10; ++f)
        for (size_t i = 0; i < n; ++i)
            ASSERT_NE(texel_bits(kSentinel), texel_bits(m.ptr[f][i])) << "feature " << f << " element " << i;
}

// Widths below, at and beyond one tile, chunks of one row, of a few rows (so that
// chunks and tiles straddle slice borders) and of the whole volume, every block size,
// every key width, P = 0 and Q = 0.
TEST(TexelGpuKernel, EmulatedBlocksEqualTheCpuPath) {
    struct Case {
        int X, Y, Z, P, Q, L, threads, key_bytes;
        int64_t rows_per_chunk;
    } cases[] = {
        {9, 8, 3, 1, 1, 5, 32, 2, 1},          {37, 11, 3, 2, 2, 16, 64, 2, 5},    {32, 9, 2, 0, 2, 7, 128, 4, 4},
        {70, 7, 4, 3, 1, 40, 256, 8, 28},      {33, 10, 2, 2, 0, 300, 64, 4, 7},   {40, 6, 3, 4, 2, 9, 32, 2, 2},
        {65, 13, 2, 1, 3, 1 << 20, 128, 8, 3}, {12, 10, 2, 0, 0, 3, 256, 2, 1000},
    };
    uint32_t seed = 500;
    for (const auto& c : cases) {
        const size_t n = (size_t)c.X * c.Y * c.Z;
        const int hi = c.L > 64 ? 63 : c.L;  // a few levels only for huge L, one beyond L otherwise
        const auto img = texel_random_volume(seed++, n, -1, hi);
        TexelMaps want(n, 0.0f), got(n, kSentinel);
        texel_serial_maps(img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L, want.ptr);
        emulate_keys(c.key_bytes, img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L, c.threads, c.rows_per_chunk, got.ptr);
        expect_all_written(got, n);
        EXPECT_EQ("", texel_compare_bits(want.data, got.ptr, n))
            << "X=" << c.X << " P=" << c.P << " Q=" << c.Q << " L=" << c.L << " threads=" << c.threads
            << " rows=" << c.rows_per_chunk;
    }
}

// The plan's choices (key width, block size, shared memory, chunk rows) run as planned,
// with chunks forced small through the voxel budget.
TEST(TexelGpuKernel, PlannedLaunchesEqualTheCpuPath) {
    struct Case {
        int X, Y, Z, P, Q, L;
        int64_t chunk_voxels;
    } cases[] = {{45, 20, 3, 2, 2, 16, 200}, {50, 12, 2, 4, 4, 256, 1 << 21}, {34, 9, 4, 1, 2, 1000, 90}};
    uint32_t seed = 600;
    for (const auto& c : cases) {
        TexelGpuPlan plan;
        ASSERT_EQ(TEXEL_PLAN_OK, texel_gpu_plan(c.X, c.Y, c.Z, c.P, c.Q, c.L, UINT64_MAX, 0, c.chunk_voxels, &plan));
        ASSERT_EQ(plan.shared_bytes, texel_shared_bytes(c.P, c.Q, plan.threads / TEXEL_TILE_WIDTH, plan.key_bytes));
        const size_t n = (size_t)c.X * c.Y * c.Z;
        const auto img = texel_random_volume(seed++, n, 0, c.L - 1);
        TexelMaps want(n, 0.0f), got(n, kSentinel);
        texel_serial_maps(img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L, want.ptr);
        emulate_keys(plan.key_bytes, img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L, plan.threads, plan.rows_per_chunk,
                     got.ptr);
        expect_all_written(got, n);
        EXPECT_EQ("", texel_compare_bits(want.data, got.ptr, n)) << "X=" << c.X << " L=" << c.L;
    }
}

// Chunks cover every row once, in order, with their halo clipped to the volume.
TEST(TexelGpuKernel, ChunksTileTheRowsWithClippedHalo) {
    struct Case {
        int64_t rows_per_chunk, total_rows;
        int Q;
    } cases[] = {{1, 1, 0}, {1, 7, 2}, {3, 10, 1}, {4, 8, 5}, {100, 30, 2}, {1 << 20, (int64_t)3 << 30, 7}};
    for (const auto& c : cases) {
        const int64_t chunks = (c.total_rows + c.rows_per_chunk - 1) / c.rows_per_chunk;
        int64_t next = 0;
        for (int64_t k = 0; k < chunks; k += (chunks > 64 ? chunks / 7 : 1)) {
            const TexelChunk ch = texel_chunk(k, c.rows_per_chunk, c.total_rows, c.Q);
            if (chunks <= 64) {
                EXPECT_EQ(next, ch.row0);
            }
            EXPECT_GT(ch.rows, 0);
            EXPECT_EQ(std::max<int64_t>(0, ch.row0 - c.Q), ch.in_row0);
            EXPECT_EQ(std::min<int64_t>(c.total_rows, ch.row0 + ch.rows + c.Q), ch.in_row0 + ch.in_rows);
            next = ch.row0 + ch.rows;
        }
        const TexelChunk last = texel_chunk(chunks - 1, c.rows_per_chunk, c.total_rows, c.Q);
        EXPECT_EQ(c.total_rows, last.row0 + last.rows);
    }
}

}  // namespace
