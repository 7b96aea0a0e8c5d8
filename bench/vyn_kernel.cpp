// Matrix kernel benchmarks: the dense product and one propagation step
// (exponential of a Hamiltonian, then one product), for the plain loop and
// for the shipped path (BLAS above the measured threshold), plus the
// Hermitian eigensolver at full size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <complex>
#include <vector>

#include "../vyn/tests/kernel_testutil.h"
#include "matrixmathlib.h"

namespace {

CMatrix A, B, C, P;
double D[MATRIXMATH_DIM + 1];

// The random and random Hermitian matrices of the kernel tests.
using kt::fill_hermitian;
using kt::fill_random;

void flops_counter(benchmark::State& state, double flops_per_iter) {
    state.counters["GFLOP/s"] =
        benchmark::Counter(flops_per_iter * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

// Product: 8 n^3 real flops.
// Product of two random matrices through Mult (a template argument, so the
// timed loop holds a direct call as before).
template <void (*Mult)(int, const CMatrix&, const CMatrix&, CMatrix&)>
void product(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    fill_random(n, A, 1);
    fill_random(n, B, 2);
    for (auto _ : state) {
        Mult(n, A, B, C);
        benchmark::ClobberMemory();
    }
    flops_counter(state, 8.0 * n * n * n);
}

void BM_CMatMult_plain(benchmark::State& state) { product<matrixmath_mult_plain>(state); }
void BM_CMatMult_blas(benchmark::State& state) { product<matrixmath_mult_blas>(state); }
// The shipped dispatcher (plain loop below the threshold, BLAS above).
void BM_CMatMult_shipped(benchmark::State& state) { product<CMatMult>(state); }

// One propagation step: U = exp(-i H dt) for a Hamiltonian of a few kHz and
// dt = 10 us, then P = P*U. GFLOP/s counts the products actually formed.
void propagation_step(benchmark::State& state, int blas_min_n) {
    const int n = static_cast<int>(state.range(0));
    const int saved = matrixmath_blas_min_n;
    matrixmath_blas_min_n = blas_min_n;
    fill_hermitian(n, A, 3, 2.0 * 3.141592653589793 * 500.0);
    fill_random(n, P, 4);
    const unsigned long before = matrixmath_mult_count;
    for (auto _ : state) {
        ExpMatrix(n, A, -1e-5, B);
        CMatMult(n, P, B, P);
        benchmark::ClobberMemory();
    }
    const double products = static_cast<double>(matrixmath_mult_count - before) / state.iterations();
    state.counters["products"] = products;
    flops_counter(state, products * 8.0 * n * n * n);
    matrixmath_blas_min_n = saved;
}

void BM_PropagationStep_plain(benchmark::State& state) { propagation_step(state, MATRIXMATH_DIM + 1); }
void BM_PropagationStep_shipped(benchmark::State& state) { propagation_step(state, MATRIXMATH_BLAS_MIN_N_DEFAULT); }

void BM_Hermit(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    fill_hermitian(n, A, 5, 1000.0);
    for (auto _ : state) {
        hermit(n, A, B, D);
        benchmark::ClobberMemory();
    }
}

// Fastest repetition: on a shared machine the least disturbed run.
double min_of(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(BM_CMatMult_plain)
    ->Arg(2)
    ->Arg(4)
    ->Arg(6)
    ->Arg(8)
    ->Arg(12)
    ->Arg(16)
    ->Arg(32)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_CMatMult_blas)
    ->Arg(2)
    ->Arg(4)
    ->Arg(6)
    ->Arg(8)
    ->Arg(12)
    ->Arg(16)
    ->Arg(32)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_CMatMult_shipped)
    ->Arg(8)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_PropagationStep_plain)
    ->Arg(8)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_PropagationStep_shipped)
    ->Arg(8)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->ComputeStatistics("min", min_of);
BENCHMARK(BM_Hermit)
    ->Arg(8)
    ->Arg(9)
    ->Arg(64)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", min_of);
