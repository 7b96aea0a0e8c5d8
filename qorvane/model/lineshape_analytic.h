// Closed-form spectra of lines without Gaussian decay.
//
// Such a line's time signal is a geometric sequence, s_k = c0 z^k with
// z = exp(-pi |L| / N + i 2 pi r / N) (r the rotation in points, f + N/2) and
// c0 = A exp(-pi |L| d / N) (d the acquisition delay in points, d >= 0). Its
// forward DFT over the kept points k0 <= k < K is a geometric sum,
//   X_j = c0 [ (u^k0 - u^K) / (1 - u) - (k0 == 0 ? 1/2 : 0) ],  u = z exp(-2 pi i j / N),
// the 1/2 being the halved first point; the derivatives with respect to the
// rotation and the width follow from sum_k k u^k in the same closed form. This
// gives the FFT path's spectrum (time signal, halving, ignored points,
// truncation, transform, rotation by N/2, phase) without a transform or an
// exponential per point. docs/qorvane-line-spectra.md has the error bound.
#ifndef QORVANE_LINESHAPE_ANALYTIC_H
#define QORVANE_LINESHAPE_ANALYTIC_H
#include "qorvane_context.h"

// How line spectra are computed: the closed form where it applies (default), or
// always the time signal and FFT (the reference).
enum { QORVANE_LINE_SPECTRA_ANALYTIC = 0, QORVANE_LINE_SPECTRA_FFT = 1 };

// Process-wide choice, copied into each fit's context when the fit starts.
void qorvane_line_spectra_select(int which);
int qorvane_line_spectra_selected();

// True when line `line` with these widths may take the closed form: the context
// asks for it, no Gaussian decay, no reference line shape or line-shape
// function on the line, a non-negative delay, a decay that stays inside the
// exponential's range over the kept points, and 1 - |z| >= 1e-4 (so that the
// division by 1 - u loses at most about 1e-12 of the spectrum's peak).
bool ls_analytic_applies(const QorvaneFitContext *ctx, int line, double gauss, double lorentz);

// One line's spectrum by the closed form into out_re/out_im (area `area`,
// frequency f in points, Lorentzian width `lorentz`, phase in degrees). With
// d_freq_re/im (may be null) the derivative with respect to f of the spectrum
// before its first-order phase moves (the caller adds i 2 pi d / N times the
// spectrum); with d_width_re/im (may be null) the derivative with respect to
// the Lorentzian width.
void ls_analytic_line(QorvaneFitContext *ctx, double area, double f, double lorentz, double phase_deg, double *out_re,
                      double *out_im, double *d_freq_re, double *d_freq_im, double *d_width_re, double *d_width_im);
#endif
