// Pieces shared by the 1D/2D and the spatial propagator (engine-internal).
#pragma once

#include <cstdint>
#include <cstdio>

#include "matrixmathexp.h"
#include "matrixmathlib.h"

// Sample arrays of one sector, count entries each: RF components xb, yb in
// rad/s and gradient samples gx, gy, gz in rad/s per cm. gx, gy and gz are
// null together when the sector has no gradient terms.
struct VYNSectorSamples {
    const double* xb;
    const double* yb;
    const double* gx;
    const double* gy;
    const double* gz;
    int count;
};

// The samples of the engine's waveform state (vyn_waveform) for ap intervals,
// with or without its gradient arrays.
VYNSectorSamples vyn_prop_waveform_samples(int ap, bool with_gradients);

// The operators of an interval Hamiltonian besides hc.
struct VYNStepOperators {
    const CMatrix* izgrad;
    const CMatrix* ixtot;
    const CMatrix* iytot;
};

// Scratch of one caller of vyn_prop_sector_product.
struct VYNSectorScratch {
    CMatrix hneg;  // -H of the current interval
    CMatrix u;     // factor of the current interval
    CMatrix p;     // running product, alternating with the caller's matrix
};

// The product below for the interval offsets w[0..count-1] given by the
// caller, with the operators ops: reentrant, one scratch per thread (the
// kernel's exponentials and products keep per-thread scratch). pade: the
// factors by matrixmath_exp_pade with *pade (null: the series ExpMatrix).
// count >= 1; out must not be hc.
void vyn_prop_sector_product(int n, const CMatrix& hc, const VYNStepOperators& ops, const double* w, const double* xb,
                             const double* yb, int count, double t, MatrixExpWork* pade, VYNSectorScratch& scratch,
                             CMatrix& out);

// Product of the interval factors of one sector into out,
//   P = U(0) U(1) ... U(count-1),  U(l) = exp(-i H(l) t),
//   H(l) = hc + w(l) Izgrad + xb[l] Ixtot + yb[l] Iytot,
//   w(l) = offset + gx[l] x + gy[l] y + gz[l] z   (gradient terms only when
//          the samples carry gradient arrays),
// with the unnormalised operators of vyn_spin. One exponential and (after the
// first interval) one product per interval; nothing is recomputed within an
// interval. count = 0 or t = 0 gives the identity without any exponential.
// out must not be hc. The offsets and the scratch of vyn_prop_sector_product
// are module state: the call is not reentrant (one thread at a time).
void vyn_prop_sector_propagator(int n, const VYNSectorSamples& samples, double t, double offset, double x, double y,
                                double z, const CMatrix& hc, CMatrix& out);

// Reads the header of path without judging it. 0: read; 1: the file cannot be
// opened (system error printed with path as context); 2: the header cannot be
// read.
int vyn_prop_peek_header(const char* path, int32_t* type, int32_t* num1, int32_t* num2);

// Writes path directly (no store: it is the fresh start of a run) with the
// header (0, n, count) and count copies of M. 0: done; 1: path cannot be
// created (system error printed); 2: header not written; 3: a matrix not
// written completely. A failed file is removed.
int vyn_prop_init_density_file(const char* path, int n, int count, const CMatrix& M);

// Chebyshev interpolation of a step factor in one parameter (vyn_prop_fast.cpp):
// the log of the a priori error bound of the degree-d interpolant of a
// factor whose norm grows at most like exp(tau |Im t|) off [-1, 1]; the
// smallest degree whose bound is 1e-14 (-1 above 40); and the barycentric
// weights out[0..nodes-1] at t of the nodes cos(j pi / (nodes - 1)).
double vps_interp_log_bound(double tau, int d);
int vps_interp_degree(double tau);
void vps_interp_weights(int nodes, double t, double* out);
// out[k] = sum_j weights[k * q + j] nodes[j] for k < count, each a row of
// len doubles (the node rows in column tiles that stay in cache).
void vps_combine(int count, int len, int q, const double* weights, const double* nodes, double* out);
