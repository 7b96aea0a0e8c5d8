// Voxels per second of the shipped CPU path and of the reference evaluation (full L x L
// scans, window scanned once per grey-level pair) on a 256 x 256 x 8 volume, P = Q = 2.
// The reference is timed on a subset of interior voxels; its rate is per voxel as well.
#include "texel_features.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <random>
#include <vector>

#include "../texel/tests/texel_dense_oracle.h"
#include "../texel/tests/texel_test_util.h"
#include "texel_cpu.h"

namespace {

const int kX = 256, kY = 256, kZ = 8, kP = 2, kQ = 2;

const size_t kVoxels = (size_t)kX * kY * kZ;

// Grey values uniform over 0..L-1, the same volume for every run.
std::vector<int32_t> volume(int L) { return texel_random_volume(1234, kVoxels, 0, L - 1); }

// Shipped per-voxel code on one thread, whole volume.
void BM_ShippedSingleThread(benchmark::State& state) {
    const int L = (int)state.range(0);
    const auto img = volume(L);
    TexelMaps maps(kVoxels, 0.0f);
    TexelScratch s;
    texel_scratch_alloc(&s, kP, kQ, kX, kY);
    for (auto _ : state) {
        for (int z = 0; z < kZ; ++z)
            for (int y = 0; y < kY; ++y)
                for (int x = 0; x < kX; ++x) texel_store_voxel(img.data(), kX, kY, kP, kQ, L, x, y, z, &s, maps.ptr);
        benchmark::DoNotOptimize(maps.ptr[0]);
    }
    texel_scratch_free(&s);
    state.SetItemsProcessed(state.iterations() * (int64_t)kX * kY * kZ);
}

// The CPU fallback as the library runs it: slice-level workers on every processor.
void BM_ShippedSliceLevelAllCores(benchmark::State& state) {
    const int L = (int)state.range(0);
    const auto img = volume(L);
    TexelMaps maps(kVoxels, 0.0f);
    const int cores = texel_processor_count();
    // Silence the per-call progress line while timing, then restore standard error.
    fflush(stderr);
    const int saved = dup(2);
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) dup2(devnull, 2);
    for (auto _ : state) {
        pComputeAllCooccurenceMatricesImageLevel(img.data(), kX, kY, kZ, kP, kQ, L, maps.ptr, cores);
        benchmark::DoNotOptimize(maps.ptr[0]);
    }
    fflush(stderr);
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
    }
    if (devnull >= 0) close(devnull);
    state.SetItemsProcessed(state.iterations() * (int64_t)kX * kY * kZ);
    state.counters["threads"] = cores;
}

// Reference evaluation on the first `count` interior voxels of slice 0.
void BM_DenseReferenceSubset(benchmark::State& state) {
    const int L = (int)state.range(0);
    const int count = (int)state.range(1);
    const auto img = volume(L);
    float out[10];
    for (auto _ : state) {
        for (int k = 0; k < count; ++k) {
            const int x = kP + k % (kX - 2 * kP), y = kQ + k / (kX - 2 * kP);
            texel_oracle::voxel(img.data(), kX, kY, kP, kQ, L, x, y, 0, out);
            benchmark::DoNotOptimize(out);
        }
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)count);
}

}  // namespace

BENCHMARK(BM_ShippedSingleThread)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShippedSliceLevelAllCores)->Arg(16)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DenseReferenceSubset)->Args({16, 2048})->Args({256, 16})->Unit(benchmark::kMillisecond);
