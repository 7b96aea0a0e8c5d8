// Test helper for the spectral model: a fresh fit context with defaults, silent.
#pragma once
#include "qorvane_context.h"

struct CtxHolder {
    QorvaneFitContext *ctx;
    CtxHolder() : ctx(qorvane_context_create()) {
        qorvane_context_set_defaults(ctx);
        ctx->verbos = 0;
    }
    ~CtxHolder() { qorvane_context_destroy(ctx); }
    CtxHolder(const CtxHolder &) = delete;
    CtxHolder &operator=(const CtxHolder &) = delete;
};
