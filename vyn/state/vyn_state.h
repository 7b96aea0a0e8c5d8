// Engine state of vyn: the spin-system group and its Hamiltonians.
//
// The engine keeps its model in module-level state, grouped by owner: one
// struct type per group and exactly one instance of it. All spin and state
// arrays are 1-based (index 0 is never used). Hamiltonians hold angular
// frequencies (rad/s); values entered in Hz are multiplied by 2*pi first.
// The sequence and propagation groups are in vyn_sequence_state.h, the
// waveform group in vyn_waveform_state.h. Every layer above the kernel may
// read and write these records; the functions that build them are engine
// functions (vyn.h).
#pragma once

#include "matrixmathlib.h"
#include "spinoperatorlib.h"

constexpr int VYN_MAX_SPINS = 8;
constexpr int VYN_MAX_COUPLINGS = 28;  // pairs of 8 spins

// Spin system: inputs written by the interactive prompts or by the model
// binding, and the matrices derived from them.
struct VYNSpinState {
    // Inputs
    int Nspins;                                       // 1..8
    int quantnum[VYN_MAX_SPINS + 1];                  // 2I as entered (1 = spin-1/2)
    double relspinamp[VYN_MAX_SPINS + 1];             // relative intensity
    double resofreqs[VYN_MAX_SPINS + 1];              // resonance offset, Hz
    int Jexact;                                       // 1 = weak coupling, otherwise exact
    int Jcount;                                       // pairs held in couplings
    double couplings[VYN_MAX_COUPLINGS + 1];          // Hz, pair order (1,2),(1,3),..,(N-1,N)
    double jc[VYN_MAX_SPINS + 1][VYN_MAX_SPINS + 1];  // symmetric coupling matrix, Hz

    // Derived
    SpinIList Ilist;              // 2I per spin used for the basis
    int n;                        // number of basis states, 1..256
    SpinKet ket;                  // basis-state table
    CMatrix densmat;              // initial density matrix
    CMatrix Izee;                 // Zeeman Hamiltonian, rad/s
    CMatrix Icoup;                // scalar-coupling Hamiltonian, rad/s
    CMatrix Izgrad;               // sum of Iz(s), no factor
    CMatrix Ixtot, Iytot, Iztot;  // unnormalised totals
    CMatrix Istat;                // static Hamiltonian / observable (set by users)
    double Istat_typed_scale;     // observable as typed = this x Istat (unit norm); 0 unknown
    int spinsystemdefined;
    int rfpulsedefined;
    int offsetsdefined;
    int pulseflag;  // 2 = no RF pulse defined, 1 = RF defined
    int calc;       // propagation runs completed since reset
};
extern VYNSpinState vyn_spin;

// Spatial grid of the propagation and the number of density matrices per
// result row; reset by init().
struct VYNGridState {
    double x0_s, y0_s, z0_s;  // grid origin, cm
    double dx_s, dy_s, dz_s;  // grid steps, cm
    int ndx, ndy, ndz;        // grid points per direction
    double gs;                // gradient strength, rad/s per cm
    int ndw;                  // density matrices per row of dm.bin
};
extern VYNGridState vyn_grid;

// Receiver operators: the totals of Ix and Iy with every single-spin
// operator scaled to unit norm (MakeTotalIx/Iy with normalisation), kept
// apart from the unnormalised Ixtot/Iytot that the propagators use.
struct VYNReceiverState {
    CMatrix Ix;
    CMatrix Iy;
};
extern VYNReceiverState vyn_receivers;
// Rebuilds vyn_receivers from the spin system of vyn_spin (n, Nspins, ket,
// Ilist); nothing when no basis is there.
void VYN_BuildNormalisedReceivers();

// Process-wide smoke-check mode: silences the console reports of the build
// route and the observable code while the reference checks run.
void VYN_SetSmokeCheckMode(int on);
int VYN_GetSmokeCheckMode(void);
