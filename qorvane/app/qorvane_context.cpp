// Allocation, defaults and status helpers of the per-fit context.
#include "qorvane_context.h"

#include <cstdarg>
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
