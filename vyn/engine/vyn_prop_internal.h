// Pieces shared by the 1D/2D and the spatial propagator (engine-internal).
#pragma once

#include <cstdint>
#include <cstdio>

#include "matrixmathlib.h"

// Product of the interval factors of one sector,
//   P = U(0) U(1) ... U(ap-1),  U(l) = exp(-i H(l) t),
//   H(l) = hc + w(l) Izgrad + xb[l] Ixtot + yb[l] Iytot,
//   w(l) = offset + gx[l] x + gy[l] y + gz[l] z   (gradient terms only when
//          with_gradients),
// from the engine's operators and waveform arrays. One exponential and (after
// the first interval) one product per interval; nothing is recomputed within
// an interval. ap = 0 or t = 0 gives the identity without any exponential.
// The result lives in module scratch and stays valid until the next call.
const CMatrix& vyn_prop_sector_propagator(int n, int ap, double t, double offset, bool with_gradients, double x,
                                          double y, double z, const CMatrix& hc);

// Reads the header of path without judging it. 0: read; 1: the file cannot be
// opened (system error printed with path as context); 2: the header cannot be
// read.
int vyn_prop_peek_header(const char* path, int32_t* type, int32_t* num1, int32_t* num2);

// Writes path directly (no store: it is the fresh start of a run) with the
// header (0, n, count) and count copies of M. 0: done; 1: path cannot be
// created (system error printed); 2: header not written; 3: a matrix not
// written completely. A failed file is removed.
int vyn_prop_init_density_file(const char* path, int n, int count, const CMatrix& M);
