// Model spectrum: Gaussian, Lorentzian and Voigt lines built in the time
// domain, patterns (.bin measured, .pat parametric), the arbitrary line-shape
// function, and their sum.
#ifndef QORVANE_LINESHAPE_H
#define QORVANE_LINESHAPE_H

#include "qorvane_context.h"

// One analytic line's spectrum into out_re/out_im (overwritten). `line` selects
// the lsffit switch (0 = none). Uses ctx->trunc, ctx->ignore, ctx->phi_1,
// the reference line shape (ctx->ref_lineshape_on) and the line-shape function.
void calculate_ifft_voigt_line(QorvaneFitContext *ctx, int line, double area, double freq, double gauss, double phase,
                               double lorentz, double *out_re, double *out_im);

// One pattern's spectrum (pattern slot `pattern` 1..pattrn, model line `line`)
// with its five attributes, into out_re/out_im (overwritten).
void calculate_frequency_domain_pattern(QorvaneFitContext *ctx, int line, int pattern, const double *par,
                                        double *out_re, double *out_im);

// Clears the outputs and writes line `line` (1-based) of `par` by its type.
void single_line_to_signal(QorvaneFitContext *ctx, const double *par, double *out_re, double *out_im, int line);

// Line `line` of `par` at unit area into unit_re/unit_im, and for each bit q of `need`
// (1 frequency, 2 width1, 4 width2) the derivative of that unit-area spectrum with respect
// to the parameter into d_re[q]/d_im[q] (zero where the line's type does not use it).
// work holds 8*N doubles. The area derivative is the unit spectrum itself and the phase
// derivative is i*pi/180 times the spectrum, so neither needs a transform.
void single_line_with_derivatives(QorvaneFitContext *ctx, const double *par, int line, int need, double *work,
                                  double *unit_re, double *unit_im, double *const d_re[3], double *const d_im[3]);

// Clears the outputs and adds every line and pattern of `par` (1-based vector).
void par_to_signal(QorvaneFitContext *ctx, const double *par, double *out_re, double *out_im);

// Loads every pattern reference into the pattern store and records its norm.
// Returns QORVANE_RC_OK or QORVANE_RC_FATAL (status: exit 1 unopenable .bin,
// -1 for the other pattern errors).
int fetch_patterns(QorvaneFitContext *ctx);

// Builds the line-shape function r_lsf/i_lsf from the 2*lsfcfs coefficients of
// `par` (starting at lsf_start+1) and rescales those coefficients. Returns
// QORVANE_RC_OK, or QORVANE_RC_FATAL when the function's first point is zero.
int parameter_array_2_line_shape_function(QorvaneFitContext *ctx, double *par);

#endif
