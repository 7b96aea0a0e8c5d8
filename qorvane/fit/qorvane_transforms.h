// Spectrum <-> time domain transforms of the fit, in the model's convention.
#pragma once
#include "qorvane_context.h"

// Time domain <-> spectrum in the model's convention (forward FFT, rotation by N/2).
void qorvane_spectrum_to_time(QorvaneFitContext* ctx, int n, double* re, double* im);
void qorvane_time_to_spectrum(QorvaneFitContext* ctx, int n, double* re, double* im);
