// The two fit-control harnesses: the input follows the form's first token, is read as
// the fit's parameter file, and an accepted file must hold only finite values and
// counts that fit the storage.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>

#include "fitcontrol_new.h"
#include "fuzz_support.h"
#include "qorvane_context.h"

namespace fuzz {

inline void check_accepted_fit_control(const QorvaneFitContext* c) {
    require_finite(c->phi_1, "phi__1");
    require_finite(c->hz_p_p, "Hz_p_p");
    require_finite(c->f_tol, "f__tol");
    if (!(c->hz_p_p > 0.0)) fail("Hz_p_p = %g", c->hz_p_p);
    const long total = (long)c->nLines + c->pattrn;
    if (c->nLines < 0 || c->pattrn < 0 || total > QORVANE_MAX_LINES) fail("lines %d patterns %d", c->nLines, c->pattrn);
    if (c->npar < 0 || c->npar > QORVANE_MAX_PARAMS) fail("npar = %d", c->npar);
    if (c->nsteps < 0 || c->nsteps > QORVANE_MAX_STEPS) fail("nsteps = %d", c->nsteps);
    for (int s = 1; s <= c->nsteps; ++s)
        if (c->step[s].n_int < 0 || c->step[s].n_int > QORVANE_MAX_INTERVALS) fail("n_int = %d", c->step[s].n_int);
    for (int p = 1; p <= c->npar; ++p) require_finite(c->par_vec[p], "par_vec", p);
    for (int p = 1; p <= 5 * total; ++p) {
        require_finite(c->fixpar[p].value, "fixpar.value", p);
        require_finite(c->fixpar[p].min, "fixpar.min", p);
        require_finite(c->fixpar[p].max, "fixpar.max", p);
    }
    for (int p = 1; p <= c->pattrn; ++p) {
        require_finite(c->pattern_norm[p], "pattern_norm", p);
        for (int k = 0; k < 2 * QORVANE_PATTERN_POINTS; ++k) require_finite(c->pattern_store[p][k], "pattern", k);
    }
}

// Reads `first_token` + the input as a fit-control file; checks what is accepted.
inline int fuzz_fit_control(const char* first_token, const uint8_t* data, size_t size) {
    silence_stdout();
    std::string text = std::string(first_token) + "\n";
    text.append(reinterpret_cast<const char*>(data), size);
    const std::string path = write_input(reinterpret_cast<const uint8_t*>(text.data()), text.size(), "fit_control.par");
    // one context for the whole run: a fresh one per input costs more than the reading
    static QorvaneFitContext* ctx = qorvane_context_create();
    if (!ctx) return 0;
    g_qorvane_ctx = ctx;
    qorvane_status_clear(&ctx->status);
    qorvane_context_set_defaults(ctx);
    std::snprintf(ctx->parameter_file, sizeof ctx->parameter_file, "%s", path.c_str());
    qorvane_fcntl_clear_last_error();
    const int rc = load_initial_value_file(ctx);
    if (rc == QORVANE_RC_OK && !ctx->status.fatal && !ctx->fcntl_faulty) {
        check_accepted_fit_control(ctx);
        test_init_value_file(ctx);
    }
    g_qorvane_ctx = nullptr;
    return 0;
}

}  // namespace fuzz
