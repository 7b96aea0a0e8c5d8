// Spectrum <-> time domain transforms of the fit, in the model's convention.
#pragma once
#include "qorvane_context.h"

// Time domain <-> spectrum in the model's convention (forward FFT, rotation by N/2).
void qorvane_spectrum_to_time(QorvaneFitContext* ctx, int n, double* re, double* im);
void qorvane_time_to_spectrum(QorvaneFitContext* ctx, int n, double* re, double* im);

// A stored FID (n interleaved re, im pairs) into the spectrum the model fits, by the model's
// own rule for its lines: first point halved, forward FFT, rotation by n/2. A line
// A exp(i phi) exp(+i 2 pi nu t - pi L t) comes back as area A, phase phi, Lorentzian width L
// at nu + n * hz_p_p / 2 Hz on the fitter's axis. `work` holds 2n doubles; n a power of 2.
void qorvane_fid_to_spectrum(int n, const double* fid, double* work, double* re, double* im);
