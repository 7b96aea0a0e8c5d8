// The two CPU worker variants and the dispatch: same maps as the serial evaluation and the
// reference, every element written, fixed progress lines, fallback from a failing GPU path.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "texel_cpu.h"
#include "texel_dense_oracle.h"
#include "texel_dispatch.h"
#include "texel_gpu.h"
#include "texel_test_util.h"

namespace {

const float kSentinel = std::nanf("0x5eed");

void expect_all_written(const TexelMaps& m, size_t n) {
    for (int f = 0; f < 10; ++f)
        for (size_t i = 0; i < n; ++i)
            ASSERT_NE(texel_bits(kSentinel), texel_bits(m.ptr[f][i])) << "feature " << f << " element " << i;
}

TEST(TexelCpuThreads, ColumnLevelMatchesReference) {
    // X*Z = 11*3 columns: not a multiple of the 8 slots.
    const int X = 11, Y = 9, Z = 3, P = 2, Q = 1, L = 6;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(5, n, -1, L);
    const auto want = texel_oracle::volume(img.data(), X, Y, Z, P, Q, L);
    TexelMaps got(n, kSentinel);
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, pComputeAllCooccurenceMatricesColumnLevel(img.data(), X, Y, Z, P, Q, L, got.ptr));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        "pComputeAllCooccurenceMatricesColumnLevel\nwe are starting the multi threaded computation!\n"
        "we are nearly at the end!\n",
        err);
    expect_all_written(got, n);
    EXPECT_EQ("", texel_compare_bits(want, got.ptr, n));
}

TEST(TexelCpuThreads, SliceLevelMatchesSerialForAnyCoreCount) {
    const int X = 10, Y = 8, Z = 5, P = 1, Q = 2, L = 5;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(6, n, 0, L + 1);
    TexelMaps serial(n, 0.0f);
    texel_serial_maps(img.data(), X, Y, Z, P, Q, L, serial.ptr);
    for (int cores : {1, 2, 3, 5, 16}) {
        TexelMaps got(n, kSentinel);
        testing::internal::CaptureStderr();
        EXPECT_EQ(0, pComputeAllCooccurenceMatricesImageLevel(img.data(), X, Y, Z, P, Q, L, got.ptr, cores));
        EXPECT_EQ("All POSIX threads finished computation!\n", testing::internal::GetCapturedStderr());
        expect_all_written(got, n);
        EXPECT_EQ("", texel_compare_bits(serial.data, got.ptr, n)) << "cores=" << cores;
    }
}

TEST(TexelCpuThreads, VariantsAgreeWithEachOther) {
    const int X = 17, Y = 13, Z = 4, P = 2, Q = 2, L = 32;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(7, n, -3, 35);
    TexelMaps col(n, kSentinel), slice(n, kSentinel);
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, pComputeAllCooccurenceMatricesColumnLevel(img.data(), X, Y, Z, P, Q, L, col.ptr));
    ASSERT_EQ(0, pComputeAllCooccurenceMatricesImageLevel(img.data(), X, Y, Z, P, Q, L, slice.ptr, 3));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ("", texel_compare_bits(col.data, slice.ptr, n));
    // Z = 1 on a single processor: one slice task, one thread.
    TexelMaps one(X * (size_t)Y, kSentinel), ref(X * (size_t)Y, 0.0f);
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, pComputeAllCooccurenceMatricesImageLevel(img.data(), X, Y, 1, P, Q, L, one.ptr, 1));
    testing::internal::GetCapturedStderr();
    texel_serial_maps(img.data(), X, Y, 1, P, Q, L, ref.ptr);
    EXPECT_EQ("", texel_compare_bits(ref.data, one.ptr, X * (size_t)Y));
}

int failing_gpu(const int32_t*, int, int, int, int, int, int, float* const*) { return 1; }

// The second request for the pixels: counts its calls and hands out `pixels`.
struct Again {
    const int32_t* pixels;
    int calls;
};
const int32_t* again_fn(void* ctx) {
    Again* a = static_cast<Again*>(ctx);
    ++a->calls;
    return a->pixels;
}

TEST(TexelCpuThreads, DispatchFallsBackAndPicksVariantByCores) {
    const int X = 9, Y = 7, Z = 4, P = 1, Q = 1, L = 4;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(8, n, 0, L - 1);
    // The GPU path gets other pixels: the CPU path must run on the second request's.
    const auto first = texel_random_volume(80, n, 0, L - 1);
    const auto want = texel_oracle::volume(img.data(), X, Y, Z, P, Q, L);

    // Z one below the processor count: column level.
    TexelMaps a(n, kSentinel);
    Again again_a = {img.data(), 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, texel_compute_maps(first.data(), X, Y, Z, P, Q, L, a.ptr, Z + 1, failing_gpu, again_fn, &again_a));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("CUDA computation failed, switching to posix\n"
                           "Computing using posix at column level on 5 cores\n"
                           "Computing using POSIX at column level on 5 cores\n"
                           "pComputeAllCooccurenceMatricesColumnLevel\n"))
        << err;
    EXPECT_EQ(1, again_a.calls);
    EXPECT_EQ("", texel_compare_bits(want, a.ptr, n));

    // Z equal to the processor count: slice level.
    TexelMaps b(n, kSentinel);
    Again again_b = {img.data(), 0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, texel_compute_maps(first.data(), X, Y, Z, P, Q, L, b.ptr, Z, failing_gpu, again_fn, &again_b));
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(
        "CUDA computation failed, switching to posix\n"
        "Computing using POSIX at image level on 4 cores\n"
        "All POSIX threads finished computation!\n",
        err);
    EXPECT_EQ(1, again_b.calls);
    EXPECT_EQ("", texel_compare_bits(want, b.ptr, n));
}

// When the pixels cannot be had a second time nothing is computed and the caller is told.
TEST(TexelCpuThreads, DispatchStopsWhenThePixelsAreRefused) {
    const int X = 6, Y = 5, Z = 2;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(81, n, 0, 3);
    for (int cores : {Z + 1, Z}) {
        TexelMaps m(n, kSentinel);
        Again none = {nullptr, 0};
        testing::internal::CaptureStderr();
        EXPECT_EQ(2, texel_compute_maps(img.data(), X, Y, Z, 1, 1, 4, m.ptr, cores, failing_gpu, again_fn, &none));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(1, none.calls);
        EXPECT_EQ(std::string::npos, err.find("POSIX")) << err;
        for (int f = 0; f < 10; ++f)
            for (size_t i = 0; i < n; ++i) ASSERT_EQ(texel_bits(kSentinel), texel_bits(m.ptr[f][i]));
    }
}

// The library's own GPU path on this machine: without a usable device it must fail
// cleanly and the CPU path must fill the maps; with one, the maps must match the CPU
// maps bit for bit (NaN with NaN, entropy within 2 units in the last place).
TEST(TexelCpuThreads, RealGpuPathFallsBackOrAgrees) {
    const int X = 12, Y = 10, Z = 3, P = 2, Q = 1, L = 8;
    const size_t n = (size_t)X * Y * Z;
    const auto img = texel_random_volume(9, n, 0, L);
    TexelMaps cpu(n, 0.0f), got(n, kSentinel);
    texel_serial_maps(img.data(), X, Y, Z, P, Q, L, cpu.ptr);
    testing::internal::CaptureStderr();
    ASSERT_EQ(0, texel_compute_maps(img.data(), X, Y, Z, P, Q, L, got.ptr, 2, texel_gpu_compute_all, nullptr, nullptr));
    const std::string err = testing::internal::GetCapturedStderr();
    expect_all_written(got, n);
    if (err.find("CUDA computation failed, switching to posix\n") != std::string::npos) {
        EXPECT_NE(std::string::npos, err.find("Computing using POSIX at image level on 2 cores\n")) << err;
        EXPECT_EQ("", texel_compare_bits(cpu.data, got.ptr, n));
    } else {
        EXPECT_NE(std::string::npos, err.find("kernel launched: \"no error\".\n")) << err;
        EXPECT_EQ("", texel_compare_gpu(cpu.data, got.ptr, n));
    }
}

}  // namespace
