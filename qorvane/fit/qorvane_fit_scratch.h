// Working storage of the fit engine, one per fit context (ctx->engine).
#pragma once
#include <cstddef>

#include "qorvane_context.h"

struct QorvaneFitEngineScratch {
    // Spectrum of every line at the parameters last modelled; the model is their sum in
    // line order, so a gradient component only rebuilds the lines its parameter reaches.
    double line_re[QORVANE_MAX_LINES + 1][QORVANE_MAX_POINTS];
    double line_im[QORVANE_MAX_LINES + 1][QORVANE_MAX_POINTS];
    double keep_re[QORVANE_MAX_LINES + 1][QORVANE_MAX_POINTS];
    double keep_im[QORVANE_MAX_LINES + 1][QORVANE_MAX_POINTS];
    double keep_par[QORVANE_MAX_PARAMS + 1];

    // Working memory of the minimiser and the error bounds, kept between fits on one thread so
    // that each fit does not map and fault in fresh pages (grown by qorvane_engine_work).
    double* work;
    size_t work_doubles;

    // Everything from here on is cleared between fits on one thread (the arrays above and the
    // Fisher matrix are written before they are read).
    int lsf_pass;        // 1 while the line-shape pass of a step runs (coefficients are fitted)
    int minimizer;       // QORVANE_MINIMIZER_* of this fit
    int last_converged;  // outcome of the last minimiser call: 1 tolerance met, 0 stopped by its limit
    double start_par[QORVANE_MAX_PARAMS + 1];  // parameter vector as read (internal units, unscaled)
    double data_scale;                         // the data arrays hold data / data_scale

    // conjugate gradients
    double g[QORVANE_MAX_PARAMS + 1];
    double h[QORVANE_MAX_PARAMS + 1];
    double xi[QORVANE_MAX_PARAMS + 1];

    // random search
    double best[QORVANE_MAX_PARAMS + 1];
    double trial[QORVANE_MAX_PARAMS + 1];
    double start[QORVANE_MAX_PARAMS + 1];

    // Cramer-Rao bounds: Fisher matrix of the free fitted parameters and their indices
    double fisher[QORVANE_MAX_PARAMS * QORVANE_MAX_PARAMS];
    int fitted_index[QORVANE_MAX_PARAMS + 1];
};

// The engine's working memory of at least `doubles` doubles (contents undefined), grown when
// needed; nullptr when the memory is not there.
double* qorvane_engine_work(QorvaneFitEngineScratch* e, size_t doubles);

// Frees the engine scratch and its working memory (nullptr is ignored).
void qorvane_engine_free(QorvaneFitEngineScratch* e);
