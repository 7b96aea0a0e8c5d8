// Device-memory estimate in 64 bits and the memory verdict of the GPU path.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>

#include "texel_dispatch.h"
#include "texel_gpu.h"

namespace {

TEST(TexelGpuMemory, EstimateIsExactBeyondThirtyTwoBits) {
    struct Dims {
        int X, Y, Z, L;
    } dims[] = {{1, 1, 1, 1}, {256, 256, 8, 16}, {256, 256, 8, 256}, {1024, 1024, 300, 256}, {4096, 4096, 64, 1000}};
    for (const Dims& d : dims) {
        const unsigned __int128 want =
            (unsigned __int128)d.X * d.Y * d.Z * (4 * (unsigned __int128)d.L * d.L + 11) * 4 + 288;
        ASSERT_LT(want, (unsigned __int128)UINT64_MAX);
        EXPECT_EQ((uint64_t)want, texel_gpu_required_bytes(d.X, d.Y, d.Z, d.L)) << d.X << " " << d.L;
    }
    // Beyond 64 bits the estimate saturates instead of wrapping to a small number.
    EXPECT_EQ(UINT64_MAX, texel_gpu_required_bytes(1 << 20, 1 << 10, 1, 2000000000));
    EXPECT_EQ(UINT64_MAX, texel_gpu_required_bytes(0, 5, 5, 5));
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

}  // namespace
