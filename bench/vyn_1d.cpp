// 1D/2D propagation: the literal algorithm (one Taylor exponential per
// sample, the receiver signal sample by sample) against the fast exact path,
// on a PRESS-like 1D sequence of coupled spins-1/2 (shaped 90, 180, 180 of
// 256 samples each, delays between them, optionally a 256-sample acquisition
// window and the receiver signal) and on a 2D sequence with 64 evolution rows.
//
// The same sequences in NumPy/SciPy: bench/vyn_1d_numpy.py (the formulas of
// the waveforms are repeated there). VYN_BENCH_DM_DIR=dir keeps each result
// as dir/<case>-dm.bin (and dir/<case>-signal.bin) for the comparison;
// VYN_BENCH_THREADS=k runs the fast path on k workers (default: one per
// online processor).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "binaryfilehandling.h"
#include "rfpulseparam.h"
#include "vyn.h"
#include "vyn_bench_util.h"
#include "vyn_prop1d_fast.h"
#include "vyn_sequence.h"
#include "vynsignal_eig.h"

namespace {
using vynbench::DefineSector;
using vynbench::WriteDoubles;
constexpr double kPi = 3.141592653589793;

constexpr int kPulseSamples = 256;
constexpr double kPulseSeconds = 2.56e-3;

// 1D/2D sequence, no result file.
void Fresh1D(int nspins) {
    vynbench::FreshEngine(nspins);
    vyn_sequence.sequencetype = 2;
    vyn_sequence.resultflnm[0] = '\0';
}

// Windowed sinc of 256 samples scaled to the flip angle (radians), on x
// (phase 0) or on y; the sample sum times the time step is the flip angle.
void WriteSinc(const char* file, double flip, bool on_y) {
    std::vector<double> env(kPulseSamples), wave(2 * kPulseSamples, 0.0);
    double sum = 0.0;
    for (int l = 0; l < kPulseSamples; ++l) {
        const double u = (l - kPulseSamples / 2 + 0.5) / 32.0;
        env[l] = std::sin(kPi * u) / (kPi * u) * std::exp(-u * u / 16.0);
        sum += env[l];
    }
    const double h = kPulseSeconds / kPulseSamples;
    for (int l = 0; l < kPulseSamples; ++l) wave[(on_y ? kPulseSamples : 0) + l] = flip * env[l] / (h * sum);
    WriteDoubles(file, wave);
}

void WriteZeros(const char* file, int samples) { WriteDoubles(file, std::vector<double>(2 * samples, 0.0)); }

// 90x - 4 ms - 180y - 4 ms - 180y - 4 ms [- acquisition: 256 samples in 256 ms].
void PressSequence(bool acquisition) {
    WriteSinc("p90.bin", kPi / 2, false);
    WriteSinc("p180.bin", kPi, true);
    WriteZeros("delay.bin", 8);
    WriteZeros("adc.bin", 256);
    DefineSector(1, 1, kPulseSamples, 1, kPulseSeconds, "p90.bin", "excitation");
    DefineSector(2, 1, 8, 1, 4e-3, "delay.bin", "delay");
    DefineSector(3, 1, kPulseSamples, 1, kPulseSeconds, "p180.bin", "refocusing 1");
    DefineSector(4, 1, 8, 1, 4e-3, "delay.bin", "delay");
    DefineSector(5, 1, kPulseSamples, 1, kPulseSeconds, "p180.bin", "refocusing 2");
    DefineSector(6, 1, 8, 1, 4e-3, "delay.bin", "delay");
    if (acquisition) {
        DefineSector(7, 1, 256, 1, 0.256, "adc.bin", "acquisition");
        std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", "signal.bin");
    }
}

// 90x - t1 (evolution: row j waits (j - 1) x 0.5 ms) - 90x - acquisition,
// 64 rows.
void TwoDSequence() {
    WriteSinc("p90.bin", kPi / 2, false);
    WriteZeros("t1.bin", 1);
    WriteZeros("adc.bin", 256);
    DefineSector(1, 1, kPulseSamples, 64, kPulseSeconds, "p90.bin", "excitation");
    DefineSector(2, 2, 1, 64, 0.5e-3, "t1.bin", "t1 evolution");
    DefineSector(3, 1, kPulseSamples, 64, kPulseSeconds, "p90.bin", "mixing");
    DefineSector(4, 1, 256, 1, 0.256, "adc.bin", "acquisition");
    std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", "signal.bin");
}

void Run(benchmark::State& state, int fast, const std::string& name) {
    VYN1DOptions_Reset();
    VYNSignalOptions_Reset();
    vyn_1d_options.method = fast ? VYN_1D_FAST : VYN_1D_LITERAL;
    vyn_signal_options.method = fast ? VYN_SIGNAL_EIGEN : VYN_SIGNAL_LITERAL;
    if (const char* t = std::getenv("VYN_BENCH_THREADS"))
        vyn_1d_options.threads = vyn_signal_options.threads = std::atoi(t);
    std::memset(&vyn_1d_stats, 0, sizeof vyn_1d_stats);
    std::memset(&vyn_signal_stats, 0, sizeof vyn_signal_stats);
    for (auto _ : state) {
        std::remove("dm.bin");
        std::remove("signal.bin");
        vyn_1d_cache_clear();      // every iteration forms its propagators
        vyn_signal_cache_clear();  // ... and its signal decomposition
        if (!SimulateLoaded2DPulseSequence()) state.SkipWithError("the run failed");
    }
    const VYN1DStats& s = vyn_1d_stats;
    state.counters["n"] = vyn_spin.n;
    state.counters["t_prop"] = benchmark::Counter(s.seconds_prop, benchmark::Counter::kAvgIterations);
    state.counters["t_rot"] = benchmark::Counter(s.seconds_rot, benchmark::Counter::kAvgIterations);
    state.counters["shared"] = benchmark::Counter(s.shared, benchmark::Counter::kAvgIterations);
    state.counters["nodes"] = benchmark::Counter(s.nodes, benchmark::Counter::kAvgIterations);
    state.counters["rows_shared"] = benchmark::Counter(s.rows_shared, benchmark::Counter::kAvgIterations);
    // The eigenbasis signal (fast path only): decomposition and transition sums.
    state.counters["t_sig"] = benchmark::Counter(vyn_signal_stats.seconds_decompose + vyn_signal_stats.seconds_sum,
                                                 benchmark::Counter::kAvgIterations);
    if (const char* dir = std::getenv("VYN_BENCH_DM_DIR")) {
        const std::string base = std::string(dir) + "/" + name + (fast ? "-fast" : "-literal");
        if (!copy_file_binary("dm.bin", (base + "-dm.bin").c_str())) state.SkipWithError("could not keep dm.bin");
        if (vyn_sequence.resultflnm[0] && !copy_file_binary("signal.bin", (base + "-signal.bin").c_str()))
            state.SkipWithError("could not keep the signal");
    }
}

void BM_Press(benchmark::State& state) {
    const int spins = static_cast<int>(state.range(0));
    const bool acq = state.range(1) != 0;
    Fresh1D(spins);
    PressSequence(acq);
    Run(state, static_cast<int>(state.range(2)), "press-" + std::to_string(spins) + (acq ? "-acq" : ""));
}
// fast = 0: the literal path (one iteration: 15 to 25 s at 8 spins).
BENCHMARK(BM_Press)
    ->ArgNames({"spins", "acq", "fast"})
    ->Args({6, 0, 0})
    ->Args({6, 0, 1})
    ->Args({6, 1, 0})
    ->Args({6, 1, 1})
    ->Args({8, 0, 0})
    ->Args({8, 0, 1})
    ->Args({8, 1, 0})
    ->Args({8, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()  // the workers' time too
    ->UseRealTime()
    ->Iterations(1);

void BM_TwoD(benchmark::State& state) {
    const int spins = static_cast<int>(state.range(0));
    Fresh1D(spins);
    TwoDSequence();
    Run(state, static_cast<int>(state.range(1)), "twod-" + std::to_string(spins));
}
BENCHMARK(BM_TwoD)
    ->ArgNames({"spins", "fast"})
    ->Args({6, 0})
    ->Args({6, 1})
    ->Args({8, 1})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()  // the workers' time too
    ->UseRealTime()
    ->Iterations(1);
}  // namespace

// The spin system a run builds before its first sector (operators, Hamiltonians).
void BM_SpinSystem(benchmark::State& state) {
    const int spins = static_cast<int>(state.range(0));
    Fresh1D(spins);
    for (auto _ : state)
        if (!BuildSpinSystemFromPulseSequenceGlobals()) state.SkipWithError("no spin system");
}
BENCHMARK(BM_SpinSystem)->ArgNames({"spins"})->Arg(6)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime();
