// Propagation benchmarks: a spatially resolved sector on a 16x16x1 grid with
// a 64-sample pulse and gradients, and a 1D pulse-acquire with a 256-sample
// shaped pulse.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "rfpulseparam.h"
#include "vyn.h"
#include "vyn_bench_util.h"
#include "vyn_sequence.h"

namespace {
using vynbench::EnterScratchDir;
using vynbench::SpinHalfSystem;
using vynbench::WriteDoubles;
constexpr double kPi = 3.141592653589793;

// Quiet engine in the scratch directory, empty sequence, nspins coupled spins-1/2.
void FreshEngine(int nspins) {
    EnterScratchDir();
    VYN_SetSmokeCheckMode(1);
    init();
    VYNSequenceState_Reset();
    SpinHalfSystem(nspins);
}

void DefineSector(int s, int noti, double dur, const char* file, const char* remark) {
    VYNSequenceState& q = vyn_sequence;
    if (q.nos < s) q.nos = s;
    q.sectype[s] = 1;
    q.noti[s] = noti;
    q.nevo[s] = 1;
    q.sectdur[s] = dur;
    q.statoff[s] = 0.0;
    std::snprintf(q.fnames[s], sizeof q.fnames[s], "%s", file);
    std::snprintf(q.remarks[s], sizeof q.remarks[s], "%s", remark);
}

// Spatial sector: 2 ms Gaussian-windowed sinc pulse with a constant x and a
// sinusoidal y gradient, 64 samples, on a 16x16x1 grid.
void BM_SpatialSector16x16(benchmark::State& state) {
    FreshEngine(static_cast<int>(state.range(0)));
    const int grid = static_cast<int>(state.range(1));
    const int ap = 64;
    const double T = 2e-3;
    std::vector<double> all(5 * ap);
    for (int l = 0; l < ap; ++l) {
        const double u = (l - ap / 2 + 0.5) / (ap / 8.0);
        all[l] = 2 * kPi * 1500.0 * std::sin(kPi * u) / (kPi * u) * std::exp(-u * u / 16);
        all[ap + l] = 0.0;
        all[2 * ap + l] = 2 * kPi * 500.0;
        all[3 * ap + l] = 2 * kPi * 300.0 * std::sin(2 * kPi * l / ap);
        all[4 * ap + l] = 0.0;
    }
    WriteDoubles("spatial.bin", all);
    vyn_sequence.sequencetype = VYN_SEQTYPE_SPATIAL;
    vyn_grid.ndx = grid;
    vyn_grid.ndy = grid;
    vyn_grid.ndz = 1;
    vyn_sequence.x0 = vyn_sequence.y0 = -1.0;
    vyn_sequence.dx = vyn_sequence.dy = 2.0 / grid;
    vyn_sequence.resultflnm[0] = '\0';
    DefineSector(1, ap, T, "spatial.bin", "sinc with gradients");
    for (auto _ : state) {
        SimulateLoadedPulseSequence();
        benchmark::DoNotOptimize(vyn_spin.calc);
    }
    if (vyn_spin.calc != 1) state.SkipWithError("sector did not complete");
    state.counters["voxels"] = grid * grid;
    state.counters["n"] = vyn_spin.n;
    state.counters["per_voxel_s"] =
        benchmark::Counter(grid * grid, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_SpatialSector16x16)
    ->ArgNames({"spins", "grid"})
    ->Args({2, 16})
    ->Args({4, 16})
    ->Args({8, 16})
    ->Args({8, 2})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// 1D pulse-acquire: 256-sample Gaussian pulse, then 1024 ADC samples written
// as the receiver signal.
void BM_PulseAcquire1D(benchmark::State& state) {
    FreshEngine(static_cast<int>(state.range(0)));
    const int ap = 256;
    const double T = 1e-3;
    std::vector<double> xb(2 * ap, 0.0);
    double area = 0;
    for (int l = 0; l < ap; ++l) area += std::exp(-std::pow((l - ap / 2 + 0.5) / (ap / 6.0), 2));
    for (int l = 0; l < ap; ++l)
        xb[l] = (kPi / 2) / (area * T / ap) * std::exp(-std::pow((l - ap / 2 + 0.5) / (ap / 6.0), 2));
    WriteDoubles("gauss.bin", xb);
    vyn_sequence.sequencetype = VYN_SEQTYPE_2D;
    std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", "fid.bin");
    DefineSector(1, ap, T, "gauss.bin", "gaussian 90");
    DefineSector(2, 1024, 0.5, "none", "ADC");
    for (auto _ : state) {
        SimulateLoaded2DPulseSequence();
        benchmark::DoNotOptimize(vyn_spin.calc);
    }
    state.counters["n"] = vyn_spin.n;
}
BENCHMARK(BM_PulseAcquire1D)->Arg(5)->Unit(benchmark::kMillisecond);
}  // namespace
