// Spin-system functions of the vyn engine: reset, the interactive definition
// and the build route. The state records they work on are in vyn_state.h.
#pragma once

#include "matrixmathlib.h"
#include "spinoperatorlib.h"
#include "vyn_state.h"

// Resets the engine state (flags, grid, counters; zeroes the derived matrices
// over the current n).
void init();

// Interactive definition: SetupSpins, then (if the spin system is defined)
// MakeBoltzmann, MakeZeeman, SpinSpinCoupling. Prompts read standard input;
// at the end of input they stop.
// Ispins returns 1 after a complete valid entry, 0 when input ended first.
int Ispins();
void SetupSpins();
void MakeBoltzmann();
void MakeZeeman();
void SpinSpinCoupling();

// Izgrad = sum of Iz(s); refuses (message on stderr) without a spin system.
void MakeGradientOperator();
// acc = acc + add over dim states.
void AccumulateCMat(int dim, const CMatrix& add, CMatrix& acc);

// Build route: derives kets, density matrix, Hamiltonians and totals from the
// inputs of vyn_spin. Returns 1 when built, 0 when refused (dimension above
// MATRIXMATH_DIM; spinsystemdefined is then 0 and no matrix is touched).
int BuildSpinSystemFromPulseSequenceGlobals();
int VYN_RebuildSpinSystemFromPulseSequenceGlobals();
