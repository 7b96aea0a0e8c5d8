// Fourier transforms, pulse-mode conversions and the dm.bin row codec.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "binaryfilehandling.h"
#include "four3.h"
#include "rfpulseparam.h"

namespace {

void BM_four2(benchmark::State& state) {
    const std::size_t n = static_cast<std::size_t>(state.range(0));
    std::vector<double> d(2 * n);
    std::mt19937 rng(1);
    std::uniform_real_distribution<double> u(-1, 1);
    for (auto& v : d) v = u(rng);
    for (auto _ : state) {
        four2(d.data(), n, 1);
        four2(d.data(), n, -1);  // keep magnitudes bounded
        benchmark::DoNotOptimize(d.data());
    }
    // Two transforms of about 5 n log2 n flops each, reported as Gflop per second.
    state.counters["Gflop"] =
        benchmark::Counter(10.0 * n * std::log2(double(n)) / 1e9, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_four2)->Arg(256)->Arg(8192)->Arg(65536);

double xb[VYN_MAX_RF_POINTS], yb[VYN_MAX_RF_POINTS], par[VYN_MAX_NPAR];

// One optimiser step's conversion: parameters back into the waveform.
void BM_ParArrayToRFPulse(benchmark::State& state) {
    const int ap = static_cast<int>(state.range(0));
    for (int k = 0; k < ap; ++k) {
        xb[k] = std::sin(0.01 * k);
        yb[k] = std::cos(0.02 * k);
    }
    RFPulseToParArray(VYN_MAX_NPAR, ap, xb, yb, par);
    for (auto _ : state) {
        ParArrayToRFPulse(VYN_MAX_NPAR, ap, par, xb, yb);
        benchmark::DoNotOptimize(xb);
    }
}
BENCHMARK(BM_ParArrayToRFPulse)->Arg(256)->Arg(8192);

CMatrix bm_m;

// Write and read back one 256-state density matrix (1 MiB) through the row codec.
void BM_DensityMatrixFileRoundTrip(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) bm_m(r, c) = std::complex<double>(r, c);
    char tmpl[] = "/tmp/vyn_bench_dm_XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) {
        state.SkipWithError("mkstemp failed");
        return;
    }
    close(fd);
    for (auto _ : state) {
        FILE* f = std::fopen(tmpl, "wb+");
        write_density_matrix(f, n, bm_m);
        std::rewind(f);
        read_density_matrix(f, n, n, bm_m);
        std::fclose(f);
    }
    std::remove(tmpl);
    state.SetBytesProcessed(state.iterations() * 2 * 16 * int64_t(n) * n);
}
BENCHMARK(BM_DensityMatrixFileRoundTrip)->Arg(16)->Arg(256);

}  // namespace
