// Fit driver: one single-spectrum fit in the calling thread's context.
#pragma once
#include "qorvane_context.h"
#include "qorvane_transforms.h"

// The whole fit for g_qorvane_ctx (defaults, file reading, steps, errors, outputs).
void cf_non_int_main_legacy_single();
// Checks, scaling, strategy steps, errors and outputs.
void fit_spectrum(QorvaneFitContext* ctx);
// One strategy step (1-based).
void fit_strategy_step(QorvaneFitContext* ctx, int step);
// Shift (in points, N/2 - best lag) that aligns the model's magnitude with the data's
// inside the current intervals.
int qorvane_convolution_shift(QorvaneFitContext* ctx);
// Sets the weights to 1.0 on every point of the step's intervals, 0 elsewhere.
void qorvane_set_interval_weights(QorvaneFitContext* ctx);
// Moves the data kept for the corrected output so that the showli line lies at its
// starting frequency, and applies the zero- and first-order phase correction.
void qorvane_corrected_output(QorvaneFitContext* ctx);

double print_fit_quality(int n, int cmplx, int fit_points, double sigma, double scale, int verbosity, const double* xre,
                         const double* xim, const double* yre, const double* yim, const double* wre, const double* wim);
