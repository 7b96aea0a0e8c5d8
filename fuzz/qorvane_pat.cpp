// Parametric patterns (".pat"): the input is loaded as the one pattern of a 1024-point
// fit; an accepted pattern is a finite, normalised time-domain signal.
#include <cmath>
#include <cstring>

#include "fuzz_support.h"
#include "lineshape.h"
#include "qorvane_context.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    const std::string path = fuzz::write_input(data, size, "pattern.pat");
    static QorvaneFitContext* ctx = qorvane_context_create();  // one for the run: see the fit-control harness
    if (!ctx) return 0;
    g_qorvane_ctx = ctx;
    qorvane_status_clear(&ctx->status);
    qorvane_context_set_defaults(ctx);
    ctx->pattern_norm[1] = 0.0;
    ctx->n_pnts = 1024;
    ctx->hz_p_p = 0.5;
    ctx->phi_1 = 10.0;
    ctx->verbos = 1;
    ctx->pattrn = 1;
    std::snprintf(ctx->pattern_path[1], sizeof ctx->pattern_path[1], "%s", path.c_str());
    if (fetch_patterns(ctx) == QORVANE_RC_OK && !ctx->status.fatal) {
        fuzz::require_finite(ctx->pattern_norm[1], "pattern_norm");
        if (!(ctx->pattern_norm[1] > 0.0)) fuzz::fail("pattern_norm = %g", ctx->pattern_norm[1]);
        const double* re = ctx->pattern_store[1];
        const double* im = re + QORVANE_PATTERN_POINTS;
        for (int k = 0; k < ctx->n_pnts; ++k) {
            fuzz::require_finite(re[k], "pattern re", k);
            fuzz::require_finite(im[k], "pattern im", k);
        }
        if (std::fabs(std::hypot(re[0], im[0]) - 1.0) > 1e-9) fuzz::fail("first point not normalised");
    }
    g_qorvane_ctx = nullptr;
    return 0;
}
