// Allocation, defaults and status helpers of the per-fit context.
#include "qorvane_context.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

QorvaneFitContext *qorvane_context_create() {
    return static_cast<QorvaneFitContext *>(std::calloc(1, sizeof(QorvaneFitContext)));
}

void qorvane_context_destroy(QorvaneFitContext *ctx) {
    if (g_qorvane_ctx == ctx) g_qorvane_ctx = nullptr;
    std::free(ctx);
}

void qorvane_context_clear_used(QorvaneFitContext *ctx) {
    // A fit writes the per-point arrays only below its n_pnts (fft_work below 2 n_pnts) and
    // the pattern store only in slots 1..pattrn; everything else is cleared whole.
    const int n = ctx->n_pnts;
    const size_t pt =
        (n > 0 && n <= QORVANE_MAX_POINTS) ? sizeof(double) * (size_t)n : sizeof(double) * QORVANE_MAX_POINTS;
    const int np = ctx->pattrn;
    const size_t pat = (np >= 0 && np <= QORVANE_MAX_LINES) ? sizeof ctx->pattern_store[0] * (size_t)(np + 1)
                                                            : sizeof ctx->pattern_store;
    struct Region {
        size_t offset, size, used;
    };
#define QORVANE_REGION(member, used) \
    { offsetof(QorvaneFitContext, member), sizeof ctx->member, (used) }
    const Region big[] = {
        QORVANE_REGION(xre, pt),          QORVANE_REGION(xim, pt),      QORVANE_REGION(shifted_xre, pt),
        QORVANE_REGION(shifted_xim, pt),  QORVANE_REGION(xre_copy, pt), QORVANE_REGION(xim_copy, pt),
        QORVANE_REGION(yre, pt),          QORVANE_REGION(yim, pt),      QORVANE_REGION(wre, pt),
        QORVANE_REGION(wim, pt),          QORVANE_REGION(w_bre, pt),    QORVANE_REGION(w_bim, pt),
        QORVANE_REGION(xas, pt),          QORVANE_REGION(re_ref, pt),   QORVANE_REGION(im_ref, pt),
        QORVANE_REGION(r_lsf, pt),        QORVANE_REGION(i_lsf, pt),    QORVANE_REGION(pattern_store, pat),
        QORVANE_REGION(fft_work, 2 * pt), QORVANE_REGION(line_re, pt),  QORVANE_REGION(line_im, pt),
        QORVANE_REGION(vec_re, pt),       QORVANE_REGION(vec_im, pt),   QORVANE_REGION(root_re, pt),
        QORVANE_REGION(root_im, pt),
    };
#undef QORVANE_REGION
    char *base = reinterpret_cast<char *>(ctx);
    size_t at = 0;
    for (const Region &r : big) {
        if (r.offset < at) {  // not in declaration order: clear everything
            std::memset(ctx, 0, sizeof *ctx);
            return;
        }
        std::memset(base + at, 0, r.offset - at);
        std::memset(base + r.offset, 0, r.used < r.size ? r.used : r.size);
        at = r.offset + r.size;
    }
    std::memset(base + at, 0, sizeof *ctx - at);
}

void qorvane_context_set_defaults(QorvaneFitContext *ctx) {
    ctx->n_pnts = 1024;
    ctx->noistr = 0;
    ctx->noistp = 0;
    ctx->nLines = 0;
    ctx->lsfcfs = 0;
    ctx->phi_1 = 0.0;
    ctx->hz_p_p = 1.0;
    ctx->f_tol = 1.0E-07;
    ctx->fit_mo = 0;
    ctx->verbos = 2;
    ctx->showli = 1;
    ctx->clcerr = 0;
    std::snprintf(ctx->sg_idl, sizeof ctx->sg_idl, "%s", "sage_idl");
    ctx->data_format = QORVANE_FORMAT_SAGE_IDL;
    ctx->par_ranges = 0;
    ctx->ignore = 0;
    ctx->pattrn = 0;
    ctx->nsteps = 0;
    ctx->trunc = 1024;
    ctx->wtype = 1;
    ctx->niter = 100;
    ctx->brent_itmax = 100;
    ctx->algor = 2;
    ctx->grad_step_factor = 1.0E+07;
    ctx->tiny_tol = 1.0E-10;
    ctx->init_ok = 1;
}

int qorvane_status_fail(QorvaneStatus *status, int exit_code, const char *fmt, ...) {
    if (status && !status->fatal) {
        status->fatal = 1;
        status->exit_code = exit_code;
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(status->message, sizeof status->message, fmt, ap);
        va_end(ap);
    }
    return QORVANE_RC_FATAL;
}

void qorvane_status_clear(QorvaneStatus *status) { std::memset(status, 0, sizeof *status); }

int qorvane_copy_text(char *dst, size_t dstsz, const char *src) {
    if (!dst || dstsz == 0) return -1;
    if (!src) {
        dst[0] = '\0';
        return -1;
    }
    size_t len = std::strlen(src);
    if (len >= dstsz) {
        dst[0] = '\0';
        return -1;
    }
    std::memcpy(dst, src, len + 1);
    return 0;
}
