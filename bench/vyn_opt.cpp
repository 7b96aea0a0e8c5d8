// RF pulse optimiser: one objective evaluation and one conjugate-gradient
// iteration (gradient plus line search) for a 64-sample pulse of 16 Fourier
// parameters acting on coupled spins-1/2, n = 4, 16, 64, 256 states, with
// the engine's fast step factors and with the literal series product; the
// iteration with the optimiser's own choice per n (mode 0).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "rfpulselib.h"
#include "rfpulseparam.h"
#include "vyn.h"
#include "vyn_bench_util.h"
#include "vyn_sequence.h"
#include "vynoptseq.h"

namespace {
constexpr int kSamples = 64;
constexpr int kNpar = 16;
const char* const kModeNames[3] = {"shipped", "literal", "fast"};

// nspins coupled spins-1/2 (exact coupling), O = Iy of spin 1, a weak
// 30 degree start pulse of 2 ms.
void Prepare(int nspins, int mode) {
    VYN_SetSmokeCheckMode(1);  // no two lines per evaluation
    init();
    VYNSequenceState_Reset();
    vynbench::SpinHalfSystem(nspins);
    VYNSpinState& s = vyn_spin;
    if (BuildSpinSystemFromPulseSequenceGlobals() != 1) std::abort();
    MakeMatrixIy(s.Ilist, s.ket, s.n, 1, s.Istat);
    vyn_prop.ap = kSamples;
    vyn_prop.h = 2e-3 / kSamples;
    if (!generate_optimization_start_pulse_core(kSamples, vyn_prop.h, vyn_waveform.xb, vyn_waveform.yb, kNpar, 1000.0,
                                                30.0, 0.0))
        std::abort();
    VYNOptimizationResetContext();
    vyn_opt.npar = kNpar;
    vyn_opt.literal_products = mode;  // 0 shipped choice, 1 literal, 2 fast
    RFPulseToParArray(kNpar, kSamples, vyn_waveform.xb, vyn_waveform.yb, vyn_opt.par);
}

void BM_Objective(benchmark::State& state) {
    Prepare(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    for (auto _ : state) benchmark::DoNotOptimize(fnc(vyn_opt.par));
    state.counters["n"] = vyn_spin.n;
    state.SetLabel(kModeNames[state.range(1)]);
}

// One iteration of the conjugate gradients from the start pulse: the
// objective, its forward-difference gradient (npar evaluations) and the line
// search along the steepest descent.
void BM_CGIteration(benchmark::State& state) {
    Prepare(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::vector<double> p(kNpar), xi(kNpar);
    double fret = 0.0;
    for (auto _ : state) {
        std::memcpy(p.data(), vyn_opt.par, sizeof(double) * kNpar);
        const double fp = fnc(p.data());
        dfnc(fp, p.data(), kNpar, xi.data());
        for (double& v : xi) v = -v;
        linmin(p.data(), xi.data(), kNpar, &fret);
        benchmark::DoNotOptimize(fret);
    }
    state.counters["n"] = vyn_spin.n;
    state.SetLabel(kModeNames[state.range(1)]);
}
}  // namespace

BENCHMARK(BM_Objective)
    ->ArgNames({"spins", "mode"})
    ->ArgsProduct({{2, 4, 6, 8}, {1, 2}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CGIteration)
    ->ArgNames({"spins", "mode"})
    ->ArgsProduct({{2, 4, 6, 8}, {0}})
    ->Args({6, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
