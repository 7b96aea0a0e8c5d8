// Receiver signal of a density matrix under a constant Hamiltonian from one
// eigen-decomposition: the signal is a sum over transitions instead of a
// propagation sample by sample.
#pragma once

#include "matrixmathlib.h"

enum VYNSignalMethod { VYN_SIGNAL_LITERAL = 0, VYN_SIGNAL_EIGEN = 1 };

struct VYNSignalOptions {
    int method;  // VYNSignalMethod (default eigen); the literal propagation stays the reference
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
