// Spatial propagation with shared exact factorisations.
//
// The literal algorithm forms, for every voxel, one exponential per sample.
// Much of that work repeats; this module does it once where the mathematics
// allows (docs/vyn-propagation.md gives the identities):
//   - a sector without RF is exp(-i Hc T) times a diagonal phase per voxel
//     (Hc = Izee + Icoup commutes with the total Iz);
//   - voxels whose offset sequences coincide exactly (no gradient: all
//     voxels; gradient on one axis: voxels with the same coordinate there)
//     share one sector propagator;
//   - voxels holding the same density matrix that are moved by the same
//     propagator are rotated once;
//   - a group of classes that differ in their offsets interpolates each
//     step factor in the offset at Chebyshev points (a handful of exact
//     factors per step instead of one per class), with an a priori bound of
//     1e-14 in norm on the interpolation error of every factor;
//   - each remaining step factor comes from one real symmetric
//     eigen-decomposition (the RF phase is a diagonal similarity), or from
//     the Pade or the Taylor exponential when the operators lack that
//     structure or when chosen.
// Voxels and propagators are spread over worker threads, each with its own
// scratch; every result is computed by the same single-threaded code
// whatever the thread count, so dm.bin is byte-identical with 1 and N threads.
#pragma once

#include <cstdint>

#include "binaryfilehandling.h"
#include "matrixmathlib.h"

enum VYNSpatialMethod { VYN_SPATIAL_LITERAL = 0, VYN_SPATIAL_SHARED = 1 };

// Exponential of the step factors of the shared path.
enum VYNStepExp {
    VYN_STEP_EXP_AUTO = 0,    // eigen-decomposition when the operators allow it and n >= eig_min_n, else Pade
    VYN_STEP_EXP_TAYLOR = 1,  // ExpMatrix, the reference series (same factors as the literal path)
    VYN_STEP_EXP_PADE = 2,
    VYN_STEP_EXP_EIG = 3,  // eigen-decomposition wherever the operators allow it (Pade elsewhere)
};

struct VYNSpatialOptions {
    int method;             // VYNSpatialMethod (default shared)
    int step_exp;           // VYNStepExp (default auto)
    int eig_min_n;          // smallest n for which auto uses the eigen-decomposition
    int threads;            // worker threads; 0 = one per core the process may use
    long long cache_bytes;  // bound on cached propagators (default 256 MiB)
    long long batch_bytes;  // bound on voxel matrices held at once (default 64 MiB)
    int hold;               // 1: a run keeps the matrices between sectors (vyn_spatial_run_begin); 0: dm.bin per sector
    long long resident_bytes;  // bound on matrices held in memory between sectors; -1: min(4 GiB, half the RAM)
    int interp;                // VYNSpatialInterp (default auto)
};

// Offset interpolation of the step factors of a group of classes.
enum VYNSpatialInterp {
    VYN_INTERP_OFF = 0,   // every class propagator on its own
    VYN_INTERP_AUTO = 1,  // with the eigen path, where the nodes cost less than half the factors they replace
    VYN_INTERP_ON = 2,    // wherever a group has two or more classes and the bound allows it
};
extern VYNSpatialOptions vyn_spatial_options;
void VYNSpatialOptions_Reset();

// One spatial sector: the sample arrays, the grid and the operators.
struct VYNSpatialSector {
    int n, ap;
    double h, offset;  // time step (s), static offset (rad/s)
    const double *xb, *yb, *gx, *gy, *gz;
    int ndx, ndy, ndz;
    double x0, y0, z0, dx, dy, dz;
    const CMatrix *hc, *izgrad, *ixtot, *iytot;  // hc = Izee + Icoup
};

// What the shared path made of the last sector (and where its time went).
struct VYNSpatialStats {
    int voxels;
    int free_precession;     // 1: no RF sample, one shared factor and a phase per voxel
    int structured;          // 1: operators allow the real eigen-decomposition
    int classes;             // distinct offset sequences (RF sectors)
    int propagators_formed;  // sector propagators computed (a class evicted and needed again counts twice)
    int rotations;           // similarity transforms computed
    int peak_cached;         // most propagators held at once
    int interpolated;        // class propagators formed by offset interpolation
    int interp_nodes;        // exact step factors formed as interpolation nodes
    int held;                // where the result waits for the next sector: 0 path, 1 memory, 2 store_path
    double seconds_plan, seconds_read, seconds_propagators, seconds_rotations, seconds_write, seconds_commit;
};
extern VYNSpatialStats vyn_spatial_stats;
// Sums of the per-sector figures (peak_cached: the largest) since the caller
// last cleared it.
extern VYNSpatialStats vyn_spatial_totals;

// Offset-sequence classes of the voxels of s: class_of[v - 1] for voxel v
// (1-based, file order), classes numbered from 0 in order of first voxel.
// Two voxels share a class exactly when their offsets gx[l] x + gy[l] y +
// gz[l] z + offset are equal for every sample l. Returns the class count.
int vyn_spatial_offset_classes(const VYNSpatialSector& s, int* class_of);

// Called after voxel v (1-based, in order) has been written.
typedef void (*vyn_spatial_progress_fn)(int v, void* ctx);

// Moves every voxel matrix of the type-0 file path (header (0, n, voxels))
// through the sector and replaces path atomically through store_path, with
// the outcome reported like binfh_rewrite_density_file_status (the header
// values in hdr_* when read). On failure path keeps its content.
binfh_status vyn_spatial_rewrite_status(const char* path, const char* store_path, const VYNSpatialSector& s,
                                        vyn_spatial_progress_fn progress, void* progress_ctx,
                                        binfh_rewrite_stage* stage, int32_t* hdr_type, int32_t* hdr_num1,
                                        int32_t* hdr_num2);

// A run of sectors that writes path once. Between vyn_spatial_run_begin and
// vyn_spatial_run_end, vyn_spatial_rewrite_status reads path at the first
// sector only and keeps each result instead of replacing path: in memory
// when the matrices fit resident_bytes, otherwise in store_path, which later
// sectors move in place. path keeps the state before the first sector until
// vyn_spatial_run_end writes the last completed state through store_path
// (fsync, rename): the same bytes the per-sector rewrite leaves.
// A sector of the run that fails half-way (read or write error of the
// scratch file, memory) loses the held state: later sectors fail and
// vyn_spatial_run_end leaves path as it was before the run's first sector.
void vyn_spatial_run_begin();
// Writes the held state to path. Returns false (stage set, message printed)
// when it could not be written or was lost; path then holds the state it had
// before the run's first sector.
bool vyn_spatial_run_end(binfh_rewrite_stage* stage);

// The sum over voxels first..first+count-1 (1-based, file order) of the
// matrices the voxels end with after sectors[0..nsectors-1], each voxel
// starting from rho0 (every sector on the same grid and n). Batch by batch
// through all sectors by the shared path: one batch of matrices is held
// whatever the grid. The move is linear in the matrix, so the matrices
// entering the last sector that moves voxels differently are summed per
// offset class of that sector and each class sum is rotated once (when the
// sums fit cache_bytes), and trailing sectors that move every voxel alike act
// once on the sum. The batches and the order of addition do not depend on the
// thread count: sum is byte-identical for any. progress(v)
// after voxel v was added. False (sum zero or partial) on bad arguments or
// when memory ran out (message on stderr).
bool vyn_spatial_voxel_sum(const VYNSpatialSector* sectors, int nsectors, const CMatrix& rho0, int first, int count,
                           vyn_spatial_progress_fn progress, void* progress_ctx, CMatrix& sum);

// The propagator U(0)...U(count-1) of one pulse without gradients, U(l) =
// exp(-i (hc + offset izgrad + xb[l] ixtot + yb[l] iytot) h), with the step
// exponential vyn_spatial_options.step_exp chooses for a spatial sector (the
// literal product is vyn_prop_sector_propagator). Single-threaded callers; its
// scratch is allocated once and grows only with n or count.
void vyn_fast_pulse_propagator(int n, const double* xb, const double* yb, int count, double h, double offset,
                               const CMatrix& hc, const CMatrix& izgrad, const CMatrix& ixtot, const CMatrix& iytot,
                               CMatrix& out);
