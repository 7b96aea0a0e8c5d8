// 1D/2D sector propagation on exact factorisations.
//
// The literal algorithm (vyn_prop_sector_propagator) forms one Taylor
// exponential per sample and multiplies them. This module computes the same
// propagators (docs/vyn-propagation.md gives the identities and bounds):
//   - a sector whose samples are all equal is one exponential of the whole
//     sector, from one real symmetric eigen-decomposition;
//   - the RF phase of a sample is a diagonal similarity (Hc and the offset
//     term commute with the total Iz), so a sample's factor depends only on
//     its amplitude; the factors of a shaped pulse are interpolated in the
//     amplitude at a few Chebyshev nodes with an a priori bound of 1e-14 on
//     the error of each factor; a pulse on one axis whose samples read the
//     same backwards needs only its first half (the factors are complex
//     symmetric, so the second half is the transpose of the first);
//   - the chain of factors is split into a fixed number of segments that run
//     on worker threads and are multiplied in a fixed order, so the bytes do
//     not depend on the thread count;
//   - sectors with the same samples, time step, offset and operators share
//     one propagator (exact comparison of the samples);
//   - evolution rows of a constant sector are diagonal in one eigenbasis;
//     rows holding the same matrix are rotated once.
#pragma once

#include <complex>

#include "matrixmathlib.h"

enum VYN1DMethod { VYN_1D_LITERAL = 0, VYN_1D_FAST = 1 };

struct VYN1DOptions {
    int method;   // VYN1DMethod (default fast)
    int threads;  // worker threads; 0 = one per online processor
};
extern VYN1DOptions vyn_1d_options;
void VYN1DOptions_Reset();

// What the fast path did (summed since the caller last cleared it).
struct VYN1DStats {
    int sectors;          // sector propagators asked for
    int shared;           // ... taken from an earlier sector with the same samples
    int constant;         // ... formed as one exponential (all samples equal)
    int interpolated;     // ... formed from amplitude nodes
    int halved;           // ... of those, palindromes on one axis formed from their first half
    int nodes;            // exact node factors formed
    int mirrored;         // node factors taken from the node of opposite amplitude (sign similarity)
    int sample_factors;   // factors formed one per sample (no interpolation possible)
    int rows_rotated;     // density matrices moved
    int rows_shared;      // ... taken from the previous row (same matrix, same propagator)
    double seconds_prop;  // forming propagators
    double seconds_rot;   // moving density matrices
};
extern VYN1DStats vyn_1d_stats;

// The operators of a step Hamiltonian hc + w izgrad + xb ixtot + yb iytot.
struct VYN1DOperators {
    const CMatrix *hc, *izgrad, *ixtot, *iytot;
};

// out = U(0) ... U(ap-1), U(l) = exp(-i (hc + offset izgrad + xb[l] ixtot +
// yb[l] iytot) h): the literal sector product, computed on the fast path.
// ap = 0 or h = 0 gives the identity. Single caller at a time (module
// scratch); the workers it starts have their own.
void vyn_1d_sector_propagator(int n, const double* xb, const double* yb, int ap, double h, double offset,
                              const VYN1DOperators& ops, CMatrix& out);

// Forgets the propagators kept for sharing.
void vyn_1d_cache_clear();

// One 1D/2D sector on the rows of dm.bin: the sector as Rotate2D_internal
// moves it (row j of an evolution sector by j - 1 times the sector).
struct VYN1DSector {
    int n, ap;
    double h, offset;
    bool evolution;
    const double *xb, *yb;
    VYN1DOperators ops;
};

// Prepares the move of the rows of s (forms the normal sector's propagator,
// or the eigen-decomposition of a constant evolution sector).
void vyn_1d_sector_begin(const VYN1DSector& s);
// Moves rows first..first+count-1 (1-based, packed n x n each, one after the
// other) of the sector begun last: rho_j <- P_j^dagger rho_j P_j. The rows
// run on the workers (each row by the same single-threaded code, so the
// bytes do not depend on the thread count); a normal sector's row that holds
// the same matrix as the row before takes its result.
void vyn_1d_move_rows(int first, int count, std::complex<double>* mats);
