// Internal interface of the shared spatial propagation (vyn_prop_fast.h):
// what its files share. The files call downwards only:
//   vyn_prop_fast.cpp         options, runs of sectors, held matrices
//   vyn_prop_fast_sum.cpp     the voxel sum of a run of sectors, batch by batch
//   vyn_prop_fast_batch.cpp   one sector: voxel batches, propagator cache, rotations
//   vyn_prop_fast_interp.cpp  offset interpolation of the class propagators
//   vyn_prop_fast_free.cpp    free precession: the shared factor and the voxel phases
//   vyn_prop_fast_chain.cpp   the sector propagator of one offset sequence, one pulse
//   vyn_prop_fast_plan.cpp    operator structure, voxel positions, offset classes
//   vyn_prop_fast_threads.cpp per-thread scratch and the worker count
//   vyn_prop_fast_options.cpp the options and the figures of the last sector
#pragma once

#include <atomic>
#include <chrono>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "matrixmathexp.h"
#include "vyn_prop_fast.h"
#include "vyn_prop_internal.h"

using cd = std::complex<double>;

inline double vps_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Voxel v (1-based, z fastest, x slowest) and its position, as the literal
// propagator computes it.
void vps_position(const VYNSpatialSector& s, int v, double* x, double* y, double* z);

inline double vps_offset(const VYNSpatialSector& s, int l, double x, double y, double z) {
    return s.gx[l] * x + s.gy[l] * y + s.gz[l] * z + s.offset;
}

inline uint64_t vps_mix(uint64_t h, uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h * 0xff51afd7ed558ccdULL;
}

inline uint64_t vps_bits(double d) {
    if (d == 0.0) d = 0.0;  // -0 and +0 are the same offset
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

// ---------------------------------------------------------------------------
// Operator structure. The eigen path needs: Izgrad diagonal (m_k), Hc real
// symmetric and block-diagonal in m, Ixtot real symmetric connecting only
// states with |m_r - m_c| = 1, and Iytot = -i [Izgrad, Ixtot]. Then
//   xb Ixtot + yb Iytot = R (b Ixtot) R^dagger,  R = exp(-i phi Izgrad),
// with b = |(xb, yb)|, phi = atan2(yb, xb), and every step Hamiltonian is a
// diagonal similarity of a real symmetric one.
// ---------------------------------------------------------------------------
struct VPSStructure {
    bool izgrad_diagonal;  // also: Hc commutes with Izgrad (free-precession split)
    bool real_symmetric;   // the eigen path applies
    std::vector<double> m;
};

void vps_structure(const VYNSpatialSector& s, VPSStructure& st);

// ---------------------------------------------------------------------------
// Per-thread scratch.
// ---------------------------------------------------------------------------
struct VPSWorker {
    MatrixExpWork exp;
    MatrixSymEigWork eig;
    VYNSectorScratch series;
    CMatrix product;
    std::vector<double> hr, hr_prev, ov, lam, offsets;
    std::vector<cd> q, z, x, ph;
    // offset interpolation: factors of a chunk of classes, P_r + P_i, the next product
    std::vector<double> ucomb, ps;
    std::vector<cd> chain;
};

extern std::vector<std::unique_ptr<VPSWorker>> vps_workers;
void vps_size_worker(VPSWorker& w, int n, int ap);
void vps_prepare_workers(int count, int n, int ap);
int vps_thread_count();

// Runs f(i, worker) for i in 0..count-1 on `threads` threads (the caller's
// among them); indices are handed out in order.
template <class F>
void vps_parallel(int count, int threads, F f) {
    if (count <= 0) return;
    if (threads > count) threads = count;
    std::atomic<int> next{0};
    auto body = [&](int worker) {
        for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) f(i, worker);
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(body, t);
    body(0);
    for (std::thread& t : pool) t.join();
}

// BLAS runs single-threaded while the workers run: each product is then
// computed by the same code whatever the worker count.
struct VPSBlasSingleThread {
    int saved;
    VPSBlasSingleThread() : saved(matrixmath_set_blas_threads(1)) {}
    ~VPSBlasSingleThread() { matrixmath_set_blas_threads(saved); }
};

// ---------------------------------------------------------------------------
// Sector propagator of one offset sequence, packed n x n row-major.
// ---------------------------------------------------------------------------
struct VPSContext {
    const VYNSpatialSector* s;
    const VPSStructure* st;
    int method;  // VYN_STEP_EXP_TAYLOR, _PADE or _EIG after resolving auto
};

void vps_pack(int n, const CMatrix& m, cd* out);
// P = U(0) ... U(ap-1) by the engine's sector product (with the series: the
// product the literal path forms for each voxel of the class).
void vps_propagator_general(const VPSContext& c, const double* w, cd* P, VPSWorker& wk);
// The real symmetric step Hamiltonian of sample l; true when the sample needs the phase similarity.
bool vps_real_step_hamiltonian(const VYNSpatialSector& s, const std::vector<double>& m, int l, double w, double* hr);
// ph[k] = exp(-i phi m_k), the diagonal of R = exp(-i phi Izgrad) for sample l.
void vps_phases(const VYNSpatialSector& s, const std::vector<double>& m, int l, cd* ph);
// out = V exp(-i Lambda t) V^T from hr = V^T and lam = Lambda (Z: scratch).
void vps_exp_from_eig(int n, const double* hr, const double* lam, double t, cd* Z, cd* out);
// The sector propagator of the offsets w (packed), by the eigen path where c.method asks for it.
void vps_propagator(const VPSContext& c, const double* w, cd* P, VPSWorker& wk);

struct VPSInterpStep {
    double c, r;
    int nodes;  // d + 1, or 1 when every class has the same offset
};

// Interpolation plan for the offsets w[k * ap + l] of `classes` classes; the
// node count summed over the steps, or -1 when a step needs too high a degree.
long vps_interp_plan(const VYNSpatialSector& s, double norm_b, const std::vector<double>& w, int classes,
                     std::vector<VPSInterpStep>& plan);
// The propagators of a group of classes by the plan, into slots[k].
void vps_form_interpolated(const VPSContext& c, const std::vector<double>& w, const std::vector<VPSInterpStep>& plan,
                           const std::vector<std::vector<cd>*>& slots, int threads, std::vector<double>& nodes,
                           std::vector<double>& weights);

// exp(-i Hc T) for the free-precession split, packed.
void vps_static_factor(const VPSContext& c, double T, cd* S, VPSWorker& wk);
// Free precession of voxels first..first+count-1 held in buf: rho(r, c) *= exp(i h W (m_r - m_c))
// with W the voxel's summed offset.
void vps_free_precession_phases(const VYNSpatialSector& s, const VPSStructure& structure, int threads, cd* buf,
                                int first, int count);

// Where one sector reads its voxel matrices and where it puts them.
struct VPSIo {
    FILE* in = nullptr;      // read from (nullptr: the matrices are in mem)
    FILE* out = nullptr;     // written to; equal to in: each batch back where it was read
    cd* mem = nullptr;       // resident matrices, moved in place
    long long body_at = -1;  // offset of the first matrix in in; -1: where in stands
    const char* in_path = "";
    const char* out_path = "";
};

// One sector's move of voxel ranges in increasing order (the voxel sum moves
// each batch through every sector before the next batch): the plan of the
// sector, its propagator cache and its carried results. s must outlive it.
// The batch is the most voxels one move takes; it does not depend on the
// thread count. May throw std::bad_alloc.
struct VPSMover;
VPSMover* vps_mover_new(const VYNSpatialSector& s, int threads);
void vps_mover_delete(VPSMover* m);
int vps_mover_batch(const VPSMover& m);
// The offset classes of an RF sector (0 for free precession or identity) and
// the class of voxel v (1-based; only when there are classes).
int vps_mover_classes(const VPSMover& m);
int vps_mover_class_of(const VPSMover& m, int v);
// Moves voxels first..first+count-1 (count <= the batch), held packed in buf.
void vps_mover_move(VPSMover& m, cd* buf, int first, int count);

// Moves every voxel matrix through the sector. On failure *stage tells what
// failed; the matrices are then partly moved.
bool vps_move(const VYNSpatialSector& s, VPSIo& io, vyn_spatial_progress_fn progress, void* progress_ctx,
              binfh_rewrite_stage* stage);
