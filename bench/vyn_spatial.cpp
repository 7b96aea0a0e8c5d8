// Spatial propagation: the literal per-voxel algorithm against the shared
// exact factorisations, on a localisation sequence (three slice-selective
// 64-sample pulses on x, y and z, each followed by a crusher on all axes)
// and on the 16x16 slice of the propagation benchmark; plus the cost of one
// step factor with each exponential at n = 4..256.
//
// The same localisation sequence in NumPy/SciPy: bench/vyn_spatial_numpy.py.
// VYN_BENCH_DM_DIR=dir keeps each localisation result as dir/loc-<spins>-<grid>.bin
// for the comparison with that script.
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
#include "vyn_prop_fast.h"
#include "vyn_sequence.h"

namespace {
using vynbench::EnterScratchDir;
using vynbench::SpinHalfSystem;
using vynbench::WriteDoubles;
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

// nspins coupled spins-1/2 (vynbench::SpinHalfSystem), spatial sequence.
void FreshEngine(int nspins) {
    EnterScratchDir();
    VYN_SetSmokeCheckMode(1);
    init();
    VYNSequenceState_Reset();
    SpinHalfSystem(nspins);
    vyn_sequence.sequencetype = VYN_SEQTYPE_SPATIAL;
    vyn_sequence.resultflnm[0] = '\0';
}

void DefineSector(int s, int noti, double dur, const char* file) {
    VYNSequenceState& q = vyn_sequence;
    if (q.nos < s) q.nos = s;
    q.sectype[s] = 1;
    q.noti[s] = noti;
    q.nevo[s] = 1;
    q.sectdur[s] = dur;
    q.statoff[s] = 0.0;
    std::snprintf(q.fnames[s], sizeof q.fnames[s], "%s", file);
    std::snprintf(q.remarks[s], sizeof q.remarks[s], "%s", "sector");
}

// Windowed sinc of 64 samples, rad/s, scaled to the flip angle in units of 90 degrees.
double Sinc(int l, double quarter_turns) {
    const double u = (l - 32 + 0.5) / 8.0;
    return quarter_turns * kTwoPi * 1500.0 * std::sin(kPi * u) / (kPi * u) * std::exp(-u * u / 16);
}

// Localisation: sinc 90 (x phase) under a 500 Hz/cm x gradient, sinc 180
// (y phase) under y, sinc 180 (y phase) under z; after each a 1 ms,
// 16-sample crusher of 2000 Hz/cm on all three axes. Grid g^3 over
// [-1, 1) cm in each direction.
void LocalisationSequence(int grid) {
    const int ap = 64;
    for (int axis = 0; axis < 3; ++axis) {
        std::vector<double> w(5 * ap, 0.0);
        for (int l = 0; l < ap; ++l) {
            if (axis == 0)
                w[l] = Sinc(l, 1.0);
            else
                w[ap + l] = Sinc(l, 2.0);
            w[(2 + axis) * ap + l] = kTwoPi * 500.0;
        }
        const std::string pulse = "pulse" + std::to_string(axis) + ".bin";
        WriteDoubles(pulse.c_str(), w);
        DefineSector(2 * axis + 1, ap, 2e-3, pulse.c_str());
        std::vector<double> c(5 * 16, 0.0);
        for (int l = 0; l < 16; ++l) c[2 * 16 + l] = c[3 * 16 + l] = c[4 * 16 + l] = kTwoPi * 2000.0;
        WriteDoubles("crusher.bin", c);
        DefineSector(2 * axis + 2, 16, 1e-3, "crusher.bin");
    }
    vyn_grid.ndx = vyn_grid.ndy = vyn_grid.ndz = grid;
    VYNSequenceState& q = vyn_sequence;
    q.dx = q.dy = q.dz = 2.0 / grid;
    q.x0 = q.y0 = q.z0 = -1.0;
}

void Configure(benchmark::State&, int method) {
    VYNSpatialOptions_Reset();
    vyn_spatial_options.method = method;
}

void RunAndCount(benchmark::State& state) {
    std::memset(&vyn_spatial_totals, 0, sizeof vyn_spatial_totals);
    for (auto _ : state) {
        std::remove("dm.bin");
        SimulateLoadedPulseSequence();
        benchmark::DoNotOptimize(vyn_spin.calc);
    }
    if (vyn_spin.calc != vyn_sequence.nos) state.SkipWithError("a sector did not complete");
    state.counters["voxels"] = vyn_grid.ndx * vyn_grid.ndy * vyn_grid.ndz;
    state.counters["n"] = vyn_spin.n;
    if (vyn_spatial_options.method == VYN_SPATIAL_SHARED) {
        // Where the time of the shared path went (seconds, all sectors).
        const VYNSpatialStats& t = vyn_spatial_totals;
        state.counters["t_read"] = t.seconds_read;
        state.counters["t_prop"] = t.seconds_propagators;
        state.counters["t_rot"] = t.seconds_rotations;
        state.counters["t_write"] = t.seconds_write;
        state.counters["t_commit"] = t.seconds_commit;
        state.counters["t_plan"] = t.seconds_plan;
        state.counters["props"] = t.propagators_formed;
        state.counters["rots"] = t.rotations;
        state.counters["interp"] = t.interpolated;
        state.counters["nodes"] = t.interp_nodes;
    }
}

void BM_Localisation(benchmark::State& state) {
    FreshEngine(static_cast<int>(state.range(0)));
    LocalisationSequence(static_cast<int>(state.range(1)));
    Configure(state, static_cast<int>(state.range(2)));
    RunAndCount(state);
    if (const char* dir = std::getenv("VYN_BENCH_DM_DIR")) {
        const std::string to =
            std::string(dir) + "/loc-" + std::to_string(state.range(0)) + "-" + std::to_string(state.range(1)) + ".bin";
        if (!copy_file_binary("dm.bin", to.c_str())) state.SkipWithError("could not keep dm.bin");
    }
    std::remove("dm.bin");
}
// method 0 = literal, 1 = shared; the literal path only where it finishes in minutes.
BENCHMARK(BM_Localisation)
    ->ArgNames({"spins", "grid", "shared"})
    ->Args({4, 4, 0})
    ->Args({4, 4, 1})
    ->Args({4, 8, 0})
    ->Args({4, 8, 1})
    ->Args({4, 16, 1})
    ->Args({6, 4, 0})
    ->Args({6, 4, 1})
    ->Args({6, 8, 1})
    ->Args({6, 16, 1})
    ->Args({8, 4, 1})
    ->Args({8, 8, 1})
    ->Args({8, 16, 1})  // 4 GiB of voxel matrices
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// The shared path rewriting dm.bin after every sector (hold = 0), against
// the default that holds the matrices between sectors and writes it once.
void BM_LocalisationPerSector(benchmark::State& state) {
    FreshEngine(static_cast<int>(state.range(0)));
    LocalisationSequence(static_cast<int>(state.range(1)));
    Configure(state, VYN_SPATIAL_SHARED);
    vyn_spatial_options.hold = 0;
    RunAndCount(state);
    std::remove("dm.bin");
}
BENCHMARK(BM_LocalisationPerSector)
    ->ArgNames({"spins", "grid"})
    ->Args({4, 16})
    ->Args({6, 16})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// The 16x16x1 slice of bench_vyn_prop (sinc with a constant x and a
// sinusoidal y gradient: every voxel has its own offset sequence) and the
// same pulse with the x gradient only (a true slice: one propagator per x).
void Slice(int grid, bool y_gradient) {
    const int ap = 64;
    std::vector<double> all(5 * ap, 0.0);
    for (int l = 0; l < ap; ++l) {
        all[l] = Sinc(l, 1.0);
        all[2 * ap + l] = kTwoPi * 500.0;
        if (y_gradient) all[3 * ap + l] = kTwoPi * 300.0 * std::sin(kTwoPi * l / ap);
    }
    WriteDoubles("slice.bin", all);
    vyn_grid.ndx = grid;
    vyn_grid.ndy = grid;
    vyn_grid.ndz = 1;
    vyn_sequence.x0 = vyn_sequence.y0 = -1.0;
    vyn_sequence.dx = vyn_sequence.dy = 2.0 / grid;
    DefineSector(1, ap, 2e-3, "slice.bin");
}

void BM_Slice(benchmark::State& state) {
    FreshEngine(static_cast<int>(state.range(0)));
    Slice(static_cast<int>(state.range(1)), state.range(2) != 0);
    Configure(state, static_cast<int>(state.range(3)));
    vyn_spatial_options.interp = static_cast<int>(state.range(4));
    RunAndCount(state);
    state.counters["per_voxel_s"] = benchmark::Counter(
        vyn_grid.ndx * vyn_grid.ndy, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    if (const char* dir = std::getenv("VYN_BENCH_DM_DIR")) {
        std::string to = std::string(dir) + "/slice";
        for (int k = 0; k < 5; ++k) to += "-" + std::to_string(state.range(k));
        if (!copy_file_binary("dm.bin", (to + ".bin").c_str())) state.SkipWithError("could not keep dm.bin");
    }
    std::remove("dm.bin");
}
// The literal 8-spin case runs on 2x2 voxels: it has no sharing, so its cost
// is the per-voxel figure times the voxel count. interp: 0 off, 1 auto, 2 on
// (the 2x2 run with interpolation forced checks it against the literal path).
BENCHMARK(BM_Slice)
    ->ArgNames({"spins", "grid", "ygrad", "shared", "interp"})
    ->Args({8, 2, 1, 0, 0})
    ->Args({8, 2, 1, 1, 2})
    ->Args({8, 16, 1, 1, 1})
    ->Args({8, 16, 1, 1, 0})
    ->Args({8, 16, 0, 1, 1})
    ->Args({4, 16, 1, 0, 0})
    ->Args({4, 16, 1, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// One voxel, one 64-sample phase-modulated pulse under a gradient: the cost
// of the step factors with each exponential (0 literal path; shared path
// with 1 Taylor, 2 Pade, 3 eigen-decomposition).
void BM_StepFactor(benchmark::State& state) {
    FreshEngine(static_cast<int>(state.range(0)));
    const int ap = 64;
    std::vector<double> all(5 * ap, 0.0);
    for (int l = 0; l < ap; ++l) {
        all[l] = Sinc(l, 1.0) * std::cos(0.2 * l);
        all[ap + l] = Sinc(l, 1.0) * std::sin(0.2 * l);
        all[2 * ap + l] = kTwoPi * 500.0;
    }
    WriteDoubles("step.bin", all);
    vyn_grid.ndx = vyn_grid.ndy = vyn_grid.ndz = 1;
    vyn_sequence.x0 = 0.3;
    DefineSector(1, ap, 2e-3, "step.bin");
    const int method = static_cast<int>(state.range(1));
    Configure(state, method == 0 ? VYN_SPATIAL_LITERAL : VYN_SPATIAL_SHARED);
    vyn_spatial_options.step_exp = method;
    vyn_spatial_options.eig_min_n = 1;
    vyn_spatial_options.threads = 1;
    RunAndCount(state);
    state.counters["per_step_s"] =
        benchmark::Counter(ap, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_StepFactor)
    ->ArgNames({"spins", "exp"})
    ->ArgsProduct({{2, 3, 4, 5, 6, 7, 8}, {0, 1, 2, 3}})
    ->Unit(benchmark::kMillisecond);
}  // namespace
