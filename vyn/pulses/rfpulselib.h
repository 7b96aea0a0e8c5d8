// RF pulse shapes: fills the pulse sample arrays xb, yb (rad/s) from the
// catalogue of hard, amplitude-modulated and frequency-modulated shapes, and
// builds the smooth start pulse of the RF-pulse optimiser.
//
// ap is the number of samples (0..VYN_MAX_RF_POINTS), ti the sample interval
// in seconds. Sample k acts for ti through xb[k]*Ix + yb[k]*Iy. The shape
// procedures read ap and ti and never change them (only the hard pulse sets
// both); samples at and beyond ap are left alone. A missing pointer, an ap
// outside 0..VYN_MAX_RF_POINTS or, for shapes that divide by T = ap*ti, a
// non-positive T makes a procedure return with nothing changed.
//
// The dialogues read their answers through the console-input module; at the
// end of input they return before any sample is written.
#pragma once

// --- console prompts -------------------------------------------------------
// Print the prompt and read one whole number / one finite number; an invalid
// answer is asked again. False only at the end of input.
bool scan_int_prompt(const char* prompt, int* out);
bool scan_double_prompt(const char* prompt, double* out);

// Limits a sample count to 0..8192; a count above prints
// "WARNING: ap=%d exceeds VYN_MAX_RF_POINTS=%d; clamping." to standard error.
int clamp_ap(int ap);

// --- hard pulses -----------------------------------------------------------
// Menu of the eight standard hard pulses (90/180 degrees about +-x, +-y).
// Sets *ti = 1e-5 s first, even when the dialogue is then abandoned.
void AMHardPulseDefinition(int* ap, double* ti, double* xb, double* yb);
// One sample: ap = 1, xb[0] = factor*50000*pi*cos(phase), yb[0] = ...sin(phase);
// with ti = 1e-5 s a rotation of factor*pi/2.
void hardpulseproc(int* ap, double phase, double factor, double* xb, double* yb);

// --- amplitude-modulated shapes --------------------------------------------
void AMPulseDefinition(const int* ap, const double* ti, double* xb, double* yb);
void ampulseproc1(const int* ap, const double* ti, double* xb, double* yb);  // rectangular
void ampulseproc2(const int* ap, const double* ti, double* xb, double* yb);  // sinc-Gauss
void ampulseproc3(const int* ap, const double* ti, double* xb, double* yb);  // 2D Gauss
void ampulseproc4(const int* ap, const double* ti, double* xb, double* yb);  // 2D sinc at the centre

// Computing forms of the AM shapes (angles in degrees, amplitudes in Hz).
void rfpulse_rectangular(int ap, double phase_deg, double ampl_hz, double* xb, double* yb);
void rfpulse_sinc_gauss(int ap, double ti, double phase_deg, double q, double f, double b, double* xb, double* yb);
void rfpulse_gauss_2d(int ap, double ti, double a, double A, double B, double n, double* xb, double* yb);
void rfpulse_sinc_2d(int ap, double ti, double a, double A, double B, double n, double dx, double dy, double* xb,
                     double* yb);

// --- frequency-modulated and complex shapes --------------------------------
void FMPulseDefinition(const int* ap, const double* ti, double* xb, double* yb);
void fmpulseproc1(const int* ap, const double* ti, double* xb, double* yb);  // 180 sech-tanh (-T,T)
void fmpulseproc2(const int* ap, const double* ti, double* xb, double* yb);  // 90 sech-tanh (-T,0)
void fmpulseproc3(const int* ap, const double* ti, double* xb, double* yb);  // 360 sech-tanh 2*(-T,T)
void fmpulseproc4(const int* ap, const double* ti, double* xb, double* yb);  // off-centre 2D sinc
void fmpulseproc5(const int* ap, const double* ti, double* xb, double* yb);  // sum of off-centre 2D sincs
void fmpulseproc6(const int* ap, const double* ti, double* xb, double* yb);  // the sum from a parameter file

// Sech-tanh samples: S = sech(b t), psi = 2 pi u ln S + phase,
// xb = 2 pi w S cos psi, yb = 2 pi w S sin psi. kind 1: 180 degrees,
// t = ti (k - ap/2); kind 2: 90 degrees, t = ti (k - ap); kind 3: 360 degrees,
// two identical halves of p = ap/2 samples with t = ti (k - p/2)/2 (an odd
// ap leaves its last sample alone). Where sech(b t) underflows to 0 the
// sample is 0.
void rfpulse_sech_tanh(int kind, int ap, double ti, double phase_deg, double w_hz, double b, double u, double* xb,
                       double* yb);

// Off-centre 2D sinc on a spiral k-space trajectory: T = ap*h, t = k*h,
// r = 1 - t/T, theta = 2 pi n t/T, kx = r B cos theta, ky = r B sin theta
// (exact zeros become 1e-5), M = a A sinc(kx dx/2) sinc(ky dy/2)
// sqrt(4 pi^2 n^2 r^2 + 1)/T, xb = M cos(kx x0 + ky y0), yb = M sin(...).
void compute_2d_sinc_offcentre(int ap, double h, double a, double A, double B, double n, double dx, double dy,
                               double x0, double y0, double* xb, double* yb);

// Adds the components of a parameter file (eight numbers a A B n dx dy x0 y0
// per line) into xb, yb. Reading stops at end of file, at a line that does not
// hold eight finite numbers, or at a line whose a is exactly 0. Returns the
// number of components added, -1 when the file cannot be opened
// ("fopen(parameter file): <reason>" on standard error).
int rfpulse_add_parameter_file(const char* path, int ap, double h, double* xb, double* yb);

// --- optimiser start pulse -------------------------------------------------
// Smooth low-mode start pulse on a fixed grid of ap samples (a power of two,
// 2..8192) with step h: a tapered spectrum of min(npar/4, ap/2 - 1) modes per
// channel along the phase direction, scaled to the flip angle and limited to
// the RF amplitude. 1 on success, 0 (with a message on standard error) when
// refused.
int generate_optimization_start_pulse_core(int ap, double h, double* xb, double* yb, int npar, double rf_ampl_hz,
                                           double flip_deg, double phase_deg);
// Dialogue on a sector's fixed grid: shows the grid, asks the amplitude limit,
// the flip angle and the phase, and runs the core.
int GenerateOptimizationStartPulseFixedGridInteractive(int ap, double h, double* xb, double* yb, int npar);
