// Device-memory estimate in 64 bits, the plan of a GPU call, the memory verdict of the
// GPU path and its fallback after a failed allocation.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "texel_dispatch.h"
#include "texel_gpu.h"
#include "texel_gpu_kernel.h"
#include "texel_test_util.h"

namespace {

uint64_t saturated(unsigned __int128 v) { return v > UINT64_MAX ? UINT64_MAX : (uint64_t)v; }

// The image and the ten maps, 44 bytes per voxel, beyond 32 bits (and saturated beyond 64).
TEST(TexelGpuMemory, EstimateIsExactBeyondThirtyTwoBits) {
    struct Dims {
        int X, Y, Z;
    } dims[] = {{1, 1, 1}, {256, 256, 8}, {1024, 1024, 300}, {4096, 4096, 64}, {2147483647, 2147483647, 2147483647}};
    for (const Dims& d : dims) {
        const unsigned __int128 want = (unsigned __int128)d.X * d.Y * d.Z * 44;
        EXPECT_EQ(saturated(want), texel_gpu_required_bytes(d.X, d.Y, d.Z)) << d.X << " " << d.Z;
    }
    EXPECT_EQ(UINT64_MAX, texel_gpu_required_bytes(0, 5, 5));
    EXPECT_EQ(UINT64_MAX, texel_gpu_required_bytes(5, -1, 5));
}

// One buffer set: the image rows of a chunk with Q halo rows each side (clipped to the
// volume) and the ten maps of its rows; saturated beyond 64 bits.
TEST(TexelGpuMemory, ChunkBuffersBeyondThirtyTwoBits) {
    struct Chunk {
        int X;
        int64_t rows;
        int Q;
        int64_t total_rows, in_rows;
    } chunks[] = {{512, 4096, 2, 1 << 20, 4100},   {512, 4096, 2, 4096, 4096},
                  {512, 4096, 2, 4098, 4098},      {7, 1, 0, 1, 1},
                  {1 << 30, 300, 4, 1 << 20, 308}, {2147483647, 1 << 30, 1 << 29, (int64_t)1 << 32, (int64_t)1 << 31}};
    for (const Chunk& c : chunks) {
        const unsigned __int128 want = (unsigned __int128)c.in_rows * c.X * 4 + (unsigned __int128)c.rows * c.X * 40;
        EXPECT_EQ(saturated(want), texel_gpu_chunk_bytes(c.X, c.rows, c.Q, c.total_rows)) << c.X << " " << c.rows;
    }
    EXPECT_EQ(UINT64_MAX, texel_gpu_chunk_bytes(0, 1, 0, 1));
}

// A volume of at most one chunk lives on the device whole; a larger one is streamed with
// two buffer sets, in chunks halved until they fit the free memory.
TEST(TexelGpuMemory, PlanStreamsLargeVolumesWithinFreeMemory) {
    TexelGpuPlan plan;
    ASSERT_EQ(TEXEL_PLAN_OK, texel_gpu_plan(256, 256, 8, 2, 2, 16, UINT64_MAX, 0, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(1, plan.chunks);
    EXPECT_EQ(1, plan.buffers);
    EXPECT_EQ(texel_gpu_required_bytes(256, 256, 8), plan.device_bytes);

    // 2^30 voxels: chunks of TEXEL_CHUNK_VOXELS (2^20) voxels = 256 rows of 4096.
    const int X = 4096, Y = 4096, Z = 64;
    const int64_t total_rows = (int64_t)Y * Z, rows = TEXEL_CHUNK_VOXELS / X;
    ASSERT_EQ(256, rows);
    ASSERT_EQ(TEXEL_PLAN_OK, texel_gpu_plan(X, Y, Z, 2, 2, 16, UINT64_MAX, 0, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(rows, plan.rows_per_chunk);
    EXPECT_EQ(total_rows / rows, plan.chunks);
    EXPECT_EQ(2, plan.buffers);
    EXPECT_EQ(2 * texel_gpu_chunk_bytes(X, rows, 2, total_rows), plan.device_bytes);
    EXPECT_LT(plan.device_bytes, texel_gpu_required_bytes(X, Y, Z) / 100);

    // Free memory for exactly 100 rows per chunk: halving 256 -> 128 -> 64 rows.
    const uint64_t free100 = 2 * texel_gpu_chunk_bytes(X, 100, 2, total_rows);
    ASSERT_EQ(TEXEL_PLAN_OK, texel_gpu_plan(X, Y, Z, 2, 2, 16, free100, 0, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(64, plan.rows_per_chunk);
    EXPECT_LE(plan.device_bytes, free100);
    // Exactly enough for the chosen chunks proceeds; one byte less halves once more.
    const uint64_t exact = 2 * texel_gpu_chunk_bytes(X, 128, 2, total_rows);
    ASSERT_EQ(TEXEL_PLAN_OK, texel_gpu_plan(X, Y, Z, 2, 2, 16, exact, 0, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(128, plan.rows_per_chunk);
    EXPECT_EQ(exact, plan.device_bytes);
    ASSERT_EQ(TEXEL_PLAN_OK, texel_gpu_plan(X, Y, Z, 2, 2, 16, exact - 1, 0, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(64, plan.rows_per_chunk);

    // Not even chunks of one row fit: the plan says so and reports what one-row chunks need.
    const uint64_t one_row = 2 * texel_gpu_chunk_bytes(X, 1, 2, total_rows);
    EXPECT_EQ(TEXEL_PLAN_NO_MEMORY, texel_gpu_plan(X, Y, Z, 2, 2, 16, one_row - 1, 0, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(1, plan.rows_per_chunk);
    EXPECT_EQ(one_row, plan.device_bytes);
    EXPECT_EQ(TEXEL_PLAN_NO_MEMORY, texel_gpu_plan(X, Y, Z, 2, 2, 16, 0, 0, TEXEL_CHUNK_VOXELS, &plan));
}

// Keys as narrow as L allows; blocks as large as the default shared memory allows; a
// window that needs more than one warp's worth of opted-in shared memory is refused.
TEST(TexelGpuMemory, PlanSizesKeysAndBlocksForTheWindow) {
    struct Want {
        int L, key_bytes;
    } keys[] = {{1, 2}, {256, 2}, {257, 4}, {65536, 4}, {65537, 8}, {2147483647, 8}};
    TexelGpuPlan plan;
    for (const Want& w : keys) {
        texel_gpu_plan(64, 64, 1, 2, 2, w.L, UINT64_MAX, 0, TEXEL_CHUNK_VOXELS, &plan);
        EXPECT_EQ(w.key_bytes, plan.key_bytes) << w.L;
    }
    for (int P = 0; P <= 4; ++P)
        for (int L : {16, 1000, 100000}) {
            ASSERT_EQ(TEXEL_PLAN_OK, texel_gpu_plan(64, 64, 1, P, P, L, UINT64_MAX, 0, TEXEL_CHUNK_VOXELS, &plan));
            EXPECT_LE(plan.shared_bytes, TEXEL_DEFAULT_SHARED_BYTES);
            if (plan.threads < 256) {
                EXPECT_GT(texel_shared_bytes(P, P, 2 * plan.threads / TEXEL_TILE_WIDTH, plan.key_bytes),
                          TEXEL_DEFAULT_SHARED_BYTES);
            }
        }
    // P = Q = 10, L = 16: one warp needs about 58 KB, more than the default.
    EXPECT_EQ(TEXEL_PLAN_WINDOW_TOO_LARGE,
              texel_gpu_plan(64, 64, 1, 10, 10, 16, UINT64_MAX, 0, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(32, plan.threads);
    EXPECT_GT(plan.shared_bytes, TEXEL_DEFAULT_SHARED_BYTES);
    EXPECT_EQ(TEXEL_PLAN_OK,
              texel_gpu_plan(64, 64, 1, 10, 10, 16, UINT64_MAX, plan.shared_bytes, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(TEXEL_PLAN_WINDOW_TOO_LARGE,
              texel_gpu_plan(64, 64, 1, 10, 10, 16, UINT64_MAX, plan.shared_bytes - 1, TEXEL_CHUNK_VOXELS, &plan));
    // 2^23 pairs per direction and more (2 * 2048 * 2049 > 2^23 > 2 * 2047 * 2049), and
    // half sizes whose key count would overflow, whatever the shared memory.
    EXPECT_EQ(TEXEL_PLAN_WINDOW_TOO_LARGE,
              texel_gpu_plan(4097, 2049, 1, 2048, 1024, 2, UINT64_MAX, INT64_MAX, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(TEXEL_PLAN_OK,
              texel_gpu_plan(4095, 2049, 1, 2047, 1024, 2, UINT64_MAX, INT64_MAX, TEXEL_CHUNK_VOXELS, &plan));
    EXPECT_EQ(TEXEL_PLAN_WINDOW_TOO_LARGE,
              texel_gpu_plan(64, 64, 1, 2147483647, 2147483647, 2, UINT64_MAX, INT64_MAX, TEXEL_CHUNK_VOXELS, &plan));
}

TEST(TexelGpuMemory, ExactlyEnoughProceedsOneByteLessAborts) {
    const uint64_t free_bytes = 3ull << 29, total_bytes = 1ull << 32;  // 1.5 and 4 GiB
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, texel_gpu_check_memory(free_bytes, free_bytes, total_bytes));
    EXPECT_EQ(
        "CUDA Free Memory:\t1.50 Gb\nCUDA Total Memory:\t4.00 Gb\n"
        "Enough memory on GPU, proceeding with CUDA computation\n",
        testing::internal::GetCapturedStderr());
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, texel_gpu_check_memory(free_bytes + 1, free_bytes, total_bytes));
    EXPECT_EQ(
        "CUDA Free Memory:\t1.50 Gb\nCUDA Total Memory:\t4.00 Gb\n"
        "CUDA computation aborted, not enough memory on GPU\n",
        testing::internal::GetCapturedStderr());
    // A saturated estimate never fits.
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, texel_gpu_check_memory(UINT64_MAX, UINT64_MAX - 1, UINT64_MAX));
    testing::internal::GetCapturedStderr();
}

TEST(TexelGpuMemory, NeededLineInGibibytes) {
    testing::internal::CaptureStderr();
    texel_gpu_print_needed(3ull << 29);  // 1.5 GiB
    EXPECT_EQ("Needed Memory: 1.50 Gb\n", testing::internal::GetCapturedStderr());
}

TEST(TexelArguments, RefusesUnsafeCalls) {
    char msg[160];
    EXPECT_EQ(0, texel_check_arguments(24, 2, 3, 4, 0, 0, 1, msg, sizeof msg));
    EXPECT_EQ(0, texel_check_arguments(100, 2, 3, 4, 7, 9, 256, msg, sizeof msg));
    struct Bad {
        int64_t len;
        int X, Y, Z, P, Q, L;
    } bad[] = {
        {23, 2, 3, 4, 0, 0, 4},  // one element short
        {24, 0, 3, 4, 0, 0, 4},
        {24, 2, -3, 4, 0, 0, 4},
        {24, 2, 3, 0, 0, 0, 4},
        {24, 2, 3, 4, -1, 0, 4},
        {24, 2, 3, 4, 0, -1, 4},
        {24, 2, 3, 4, 0, 0, 0},
        {2147483647, 65536, 65536, 1, 0, 0, 4},  // X*Y*Z = 2^32, wraps to 0 in 32 bits
        {2147483647, 65536, 32768, 3, 0, 0, 4},  // wraps to 2^31 in 32 bits
        {1000, 2147483647, 2147483647, 2147483647, 0, 0, 4},
    };
    for (const Bad& b : bad) {
        msg[0] = '\0';
        EXPECT_EQ(1, texel_check_arguments(b.len, b.X, b.Y, b.Z, b.P, b.Q, b.L, msg, sizeof msg))
            << b.len << " " << b.X << " " << b.Y << " " << b.Z;
        EXPECT_NE('\0', msg[0]);
    }
}

// A device allocation that fails ends the GPU attempt; the CPU path takes over with the
// fallback line and computes the same maps. With a device present, a later call (nothing
// forced) runs on the GPU again, and a failed pinned staging buffer only costs overlap.
TEST(TexelGpuFallback, ForcedAllocationFailureFallsBackToTheCpu) {
    const int X = 40, Y = 20, Z = 3, P = 2, Q = 1, L = 8;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(31, n, 0, L - 1);
    TexelMaps cpu(n, 0.0f);
    texel_serial_maps(img.data(), X, Y, Z, P, Q, L, cpu.ptr);
    // Allocations of a one-chunk call: device image, device maps, pinned image, pinned maps.
    struct Forced {
        int k;
        bool gpu_survives;
    } forced[] = {{0, false}, {1, false}, {2, true}, {3, true}, {-1, true}};
    char name[256];
    const bool device = texel_gpu_device_name(name, sizeof name) == 0;
    for (const Forced& f : forced) {
        TexelMaps got(n, -1.0f);
        texel_gpu_force_allocation_failure(f.k);
        testing::internal::CaptureStderr();
        ASSERT_EQ(
            0, texel_compute_maps(img.data(), X, Y, Z, P, Q, L, got.ptr, 2, texel_gpu_compute_all, nullptr, nullptr));
        const std::string err = testing::internal::GetCapturedStderr();
        const bool fell_back = err.find("CUDA computation failed, switching to posix\n") != std::string::npos;
        EXPECT_EQ(!(device && f.gpu_survives), fell_back) << "allocation " << f.k << "\n" << err;
        if (fell_back) {
            EXPECT_NE(std::string::npos, err.find("Computing using POSIX at image level on 2 cores\n")) << err;
            EXPECT_EQ(std::string::npos, err.find("kernel launched")) << err;
            EXPECT_EQ("", texel_compare_bits(cpu.data, got.ptr, n));
        } else {
            EXPECT_EQ("", texel_compare_gpu(cpu.data, got.ptr, n)) << name;
        }
    }
    texel_gpu_force_allocation_failure(-1);
}

}  // namespace
