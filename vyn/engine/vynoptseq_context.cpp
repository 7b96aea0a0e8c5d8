// Sector-optimisation context: the state entering the optimised sector and
// the observable carried back from the end of the sequence. The optimiser
// reads it; the sector preparation (vynoptseq.cpp) fills it.
#include <cstring>

#include "vynoptseq.h"

VYNOptContext g_vyn_opt_ctx;

void VYNOptContext_Init(VYNOptContext* ctx) {
    if (!ctx) return;
    std::memset(static_cast<void*>(ctx), 0, sizeof *ctx);
    ctx->objective_mode = VYN_OPT_OBJECTIVE_RE_EXPECT;
    ctx->initialized = 1;
}

namespace {
bool vos_ready(VYNOptContext* ctx) {
    if (!ctx) return false;
    if (!ctx->initialized) VYNOptContext_Init(ctx);
    return true;
}
}  // namespace

void VYNOptContext_SetObjectiveMode(VYNOptContext* ctx, VYNOptObjectiveMode mode) {
    if (vos_ready(ctx)) ctx->objective_mode = mode;
}

void VYNOptContext_SetPrefixState(VYNOptContext* ctx, const CMatrix* rho) {
    if (!vos_ready(ctx) || !rho) return;
    CopyCMatrix(MATRIXMATH_DIM, *rho, ctx->rho_in);
    ctx->has_prefix_state = 1;
}

void VYNOptContext_SetSuffixObservable(VYNOptContext* ctx, const CMatrix* obs) {
    if (!vos_ready(ctx) || !obs) return;
    CopyCMatrix(MATRIXMATH_DIM, *obs, ctx->obs_out);
    ctx->has_suffix_observable = 1;
}

void VYNOptContext_SetStaticSectorOffsetRad(VYNOptContext* ctx, double offset) {
    if (vos_ready(ctx)) ctx->sector_offset_rad = offset;
}

void VYNOptimizationResetContext() { VYNOptContext_Init(&g_vyn_opt_ctx); }
void VYNOptimizationSetObjectiveMode(VYNOptObjectiveMode mode) { VYNOptContext_SetObjectiveMode(&g_vyn_opt_ctx, mode); }
void VYNOptimizationSetPrefixState(const CMatrix* rho) { VYNOptContext_SetPrefixState(&g_vyn_opt_ctx, rho); }
void VYNOptimizationSetSuffixObservable(const CMatrix* obs) { VYNOptContext_SetSuffixObservable(&g_vyn_opt_ctx, obs); }
void VYNOptimizationSetStaticSectorOffsetRad(double offset) {
    VYNOptContext_SetStaticSectorOffsetRad(&g_vyn_opt_ctx, offset);
}

bool vyn_opt_context_active() {
    const VYNOptContext& c = g_vyn_opt_ctx;
    return c.initialized && c.has_prefix_state && c.has_suffix_observable;
}
