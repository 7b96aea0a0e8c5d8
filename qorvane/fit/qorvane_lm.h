// Levenberg-Marquardt minimisation of the fit's chi-square with analytic model derivatives.
//
// The chi-square of a strategy step is a sum of squared residuals r_i(p) (weighted data minus
// model in the step's spectrum mode); the minimiser works on that sum directly: each iteration
// builds the Jacobian of the residuals from the lines' unit-area spectra and their derivatives
// (one transform per frequency and width parameter, none for areas and phases), scales it by the
// diagonal of J^T J (Marquardt scaling) and solves the damped normal equations.
#pragma once
#include "qorvane_context.h"

// Which minimiser a conjugate-gradient step (algor 2) runs and whether a random-search step
// (algor 1) is refined afterwards. The reference keeps the classic scheme unchanged.
enum { QORVANE_MINIMIZER_LM = 0, QORVANE_MINIMIZER_REFERENCE = 1 };

// Process-wide choice, read when a fit starts (default QORVANE_MINIMIZER_LM).
void qorvane_minimizer_select(int which);
int qorvane_minimizer_selected();

// True when the current pass's chi-square is a plain sum of squares the minimiser handles
// (weighting types other than 3, spectrum modes 0..4, no line-shape coefficient pass).
int qorvane_lm_applicable(const QorvaneFitContext* ctx);

// Residual vector of the current step at the model now in yre/yim: writes at most
// 2*N values into r and returns their number; sum r_i^2 equals qorvane_chi2().
int qorvane_lm_residuals(const QorvaneFitContext* ctx, double* r);

// Minimises chi-square over the free parameters of the fitted groups, starting from p
// (1-based, updated in place, prior knowledge applied). With lo/hi (1-based, may be null)
// every parameter stays inside [lo_j, hi_j]. At most niter Jacobian evaluations; *iter gets
// their number and *fret the final chi-square. Returns 1 when a tolerance was met (relative
// chi-square change below ftol, vanishing gradient or step), 0 when the iteration limit
// stopped it first.
int qorvane_lm_minimize(QorvaneFitContext* ctx, double* p, int niter, double ftol, const double* lo, const double* hi,
                        int* iter, double* fret);
