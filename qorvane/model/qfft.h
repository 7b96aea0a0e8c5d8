// Radix-2 FFT with a per-context twiddle cache, and the spectrum vector
// operations of the fitter (rotation, time-domain truncation, frequency shift).
#ifndef QORVANE_QFFT_H
#define QORVANE_QFFT_H

#include "qorvane_context.h"

// Fills the twiddle cache for transforms of up to n points (n a power of 2,
// n <= QORVANE_MAX_POINTS). Returns 0, or -1 for an unsupported n.
int qorvane_twiddle_prepare(QorvaneTwiddleCache *tw, int n);

// In-place radix-2 complex FFT over n interleaved (re, im) pairs, data[0..2n-1].
// isign 1: forward, sum x_j exp(-2 pi i jk/n); any other value: backward
// (exp(+2 pi i jk/n)). No normalisation. Uses the cache when it covers n,
// otherwise computes the twiddles on the fly. n must be a power of 2.
void four2(double *data, const QorvaneTwiddleCache *twiddles, int n, int isign);

// Cyclic left rotation: x[i] <- x[(i + shift) mod n]; a negative shift counts from the end.
void rotate_vector(int n, int shift, double *x);

// Keeps only the first trunc time-domain points of the spectrum (re, im):
// backward transform, zero from trunc on, forward transform, divided by n.
// trunc >= n leaves the spectrum unchanged.
void truncate_vector(QorvaneFitContext *ctx, int n, int trunc, double *re, double *im);

// Moves the spectrum's content by `shift` points towards higher point numbers
// (point p goes to p + shift). A whole-number shift is an exact cyclic rotation,
// zero leaves it unchanged; a fractional shift multiplies the time-domain signal
// by exp(2 pi i shift k / n).
void frequency_shift_vector(QorvaneFitContext *ctx, int n, double *re, double *im, double shift);

#endif
