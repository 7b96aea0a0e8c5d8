// Cost function, gradient, minimisers, model derivatives and Cramer-Rao bounds.
// All functions work on the fit context given (the calling thread's g_qorvane_ctx).
#pragma once
#include "qorvane_context.h"

// Applies prior knowledge to p (dependent parameters follow their reference).
void qorvane_apply_prior_knowledge(QorvaneFitContext* ctx, double* p);
// 1 when parameter j (a line parameter) is a width (width1 or width2).
int qorvane_width_param(int j);
// Checks the Gaussian-width ties once; a negative difference is fatal (status, exit 1).
int qorvane_check_prior_knowledge(QorvaneFitContext* ctx);
// Builds every line of p into the line cache and their sum into yre/yim.
void qorvane_model_all(QorvaneFitContext* ctx, const double* p);
// chi-square of the data against the model now in yre/yim with the step's weights.
double qorvane_chi2(QorvaneFitContext* ctx);
// chi-square without special weighting (uniform weights inside the step's intervals).
double qorvane_chi2_unweighted(QorvaneFitContext* ctx);

// True when parameter j belongs to a group fitted in the current pass and is free.
int qorvane_param_fitted(const QorvaneFitContext* ctx, int j);

double fnc(QorvaneFitContext* ctx, double* p);
double func(double x, void* ctx);
void dfnc(QorvaneFitContext* ctx, double* p, double* grad);
void linmin(QorvaneFitContext* ctx, double* p, double* xi, int n, double* fret);
void frprmn(QorvaneFitContext* ctx, int n, double ftol, int* iter, double* fret, double* p);
// Returns QORVANE_RC_OK or QORVANE_RC_FATAL (start values outside their ranges).
int random_maximum_likelihood_minimizer(QorvaneFitContext* ctx, double* p, int population, int niter);
// Derivative of the model spectrum with respect to parameter j at p (p is restored).
void f_new_complex_select(QorvaneFitContext* ctx, int j, double* p, double* dre, double* dim);
// Cramer-Rao bounds of the free parameters fitted in the last step, into ctx->errpar.
void ncr_mvb(QorvaneFitContext* ctx);
