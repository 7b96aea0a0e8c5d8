// Cost of the fitter's model evaluation: one FFT per line, and the full model
// of ten Voigt lines at the sizes the fits use.
#include <benchmark/benchmark.h>

#include <vector>

#include "lineshape.h"
#include "qfft.h"
#include "qorvane_context.h"

namespace {

QorvaneFitContext *make_ctx(int n, int lines, int trunc) {
    QorvaneFitContext *ctx = qorvane_context_create();
    qorvane_context_set_defaults(ctx);
    ctx->n_pnts = n;
    ctx->trunc = trunc;
    ctx->nLines = lines;
    ctx->phi_1 = 30.0;
    qorvane_twiddle_prepare(&ctx->twiddles, n);
    for (int i = 1; i <= lines; ++i) {
        for (int j = 1; j <= 5; ++j) ctx->fixpar[qorvane_par_index(i, j)].type = QORVANE_LINE_VOIGT;
        double *p = &ctx->par_vec[qorvane_par_index(i, 1)];
        p[0] = 1.0 + i;
        p[1] = n * (0.1 + 0.08 * i);
        p[2] = 3.0;
        p[3] = 5.0 * i;
        p[4] = 2.0;
    }
    return ctx;
}

void BM_four2(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    QorvaneTwiddleCache tw;
    qorvane_twiddle_prepare(&tw, n);
    std::vector<double> data(2 * n);
    for (int k = 0; k < 2 * n; ++k) data[k] = (k % 17) * 0.1;
    for (auto _ : state) {
        four2(data.data(), &tw, n, 1);
        benchmark::DoNotOptimize(data.data());
    }
}
BENCHMARK(BM_four2)->Arg(1024)->Arg(4096)->Arg(16384);

void BM_par_to_signal_10_lines(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const int trunc = static_cast<int>(state.range(1));
    QorvaneFitContext *ctx = make_ctx(n, 10, trunc);
    for (auto _ : state) {
        par_to_signal(ctx, ctx->par_vec, ctx->yre, ctx->yim);
        benchmark::DoNotOptimize(ctx->yre[0]);
    }
    qorvane_context_destroy(ctx);
}
BENCHMARK(BM_par_to_signal_10_lines)->Args({1024, 1024})->Args({1024, 256})->Args({4096, 4096});

}  // namespace
