// Receiver signal of a density matrix under a constant Hamiltonian from one
// eigen-decomposition: the signal is a sum over transitions instead of a
// propagation sample by sample.
#pragma once

#include <complex>

#include "matrixmathlib.h"

enum VYNSignalMethod { VYN_SIGNAL_LITERAL = 0, VYN_SIGNAL_EIGEN = 1 };

struct VYNSignalOptions {
    int method;   // VYNSignalMethod (default eigen); the literal propagation stays the reference
    int threads;  // workers for the traces of a 2D result; 0 = one per online processor
};
extern VYNSignalOptions vyn_signal_options;
void VYNSignalOptions_Reset();

// What the eigenbasis signal did (summed since the caller last cleared it).
struct VYNSignalStats {
    int traces;                // signals computed
    int decompositions;        // eigen-decompositions formed (one per operator set and sampling)
    double seconds_decompose;  // decomposition, operators in the eigenbasis, time factors
    double seconds_sum;        // the trace's state in the eigenbasis and the transition sums
};
extern VYNSignalStats vyn_signal_stats;

// Forgets the kept decomposition (the next trace forms its own).
void vyn_signal_cache_clear();

// The signal build_direct_observable_signal computes, re[k] = Re Tr(Ox rho_k),
// im[k] = Re Tr(Oy rho_k), rho_k = U^-k rho U^k, U = exp(i dt Hprime),
// dt = acq / np, from Hprime = V Lambda V^T (real symmetric):
//   Tr(O rho_k) = sum_ab (V^T O V)_ba (V^T rho V)_ab exp(-i (lambda_a - lambda_b) k dt).
// rho ends as rho_{np-1}. False (nothing written, rho unchanged) when Hprime
// is not real symmetric or the eigensolver fails.
bool vyn_signal_eigen(int n, int np, double acq, CMatrix& rho, const CMatrix& Hprime, const CMatrix& Ox,
                      const CMatrix& Oy, double* re_out, double* im_out);

// The traces of many density matrices with the same operators and sampling
// (the rows of a 2D result). Prepare forms (or keeps) the decomposition;
// false when Hprime is not real symmetric or the eigensolver fails.
bool vyn_signal_eigen_prepare(int n, int np, double acq, const CMatrix& Hprime, const CMatrix& Ox, const CMatrix& Oy);
// Then the signals of count packed n x n matrices (one after the other) into
// re and im (np values per trace, trace after trace), as vyn_signal_eigen
// computes them; last (may be null) receives the final state of the last
// trace. The traces run on the workers (vyn_signal_options.threads) with a
// fixed assignment, so the bytes do not depend on the thread count.
void vyn_signal_eigen_traces(int count, const std::complex<double>* rhos, double* re, double* im,
                             std::complex<double>* last);
