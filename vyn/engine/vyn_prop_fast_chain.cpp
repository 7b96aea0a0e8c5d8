// The sector propagator of one offset sequence (the eigen chain, or the
// engine's sector product), and the propagator of one pulse.
#include <algorithm>
#include <cmath>

#include "vyn_prop_fast_internal.h"

namespace {
// Rows k of the packed complex n x n matrix a scaled by f[k].
void vps_scale_rows(int n, cd* a, const cd* f) {
    for (int k = 0; k < n; ++k) {
        cd* row = a + static_cast<size_t>(k) * n;
        const cd g = f[k];
        for (int j = 0; j < n; ++j) row[j] *= g;
    }
}
}  // namespace

void vps_pack(int n, const CMatrix& m, cd* out) {
    for (int r = 1; r <= n; ++r) std::memcpy(out + static_cast<size_t>(r - 1) * n, &m(r, 1), sizeof(cd) * n);
}

// P = U(0) ... U(ap-1) by the engine's sector product: with the series the
// one the literal path forms for each voxel of the class.
void vps_propagator_general(const VPSContext& c, const double* w, cd* P, VPSWorker& wk) {
    const VYNSpatialSector& s = *c.s;
    vyn_prop_sector_product(s.n, *s.hc, VYNStepOperators{s.izgrad, s.ixtot, s.iytot}, w, s.xb, s.yb, s.ap, s.h,
                            c.method == VYN_STEP_EXP_TAYLOR ? nullptr : &wk.exp, wk.series, wk.product);
    vps_pack(s.n, wk.product, P);
}

// hr = Hc + b Ixtot + w diag(m), the real symmetric step Hamiltonian of
// sample l (b signed on the x axis, |(xb, yb)| otherwise). Returns whether
// the sample needs the phase similarity (yb != 0).
bool vps_real_step_hamiltonian(const VYNSpatialSector& s, const std::vector<double>& m, int l, double w, double* hr) {
    const int n = s.n;
    const bool rotate = s.yb[l] != 0.0;
    const double b = rotate ? std::hypot(s.xb[l], s.yb[l]) : s.xb[l];
    for (int r = 1; r <= n; ++r) {
        double* row = hr + static_cast<size_t>(r - 1) * n;
        for (int col = 1; col <= n; ++col) row[col - 1] = (*s.hc)(r, col).real() + b * (*s.ixtot)(r, col).real();
        row[r - 1] += w * m[r - 1];
    }
    return rotate;
}

// ph[k] = exp(-i phi m_k), the diagonal of R = exp(-i phi Izgrad) for sample l.
void vps_phases(const VYNSpatialSector& s, const std::vector<double>& m, int l, cd* ph) {
    const double phi = std::atan2(s.yb[l], s.xb[l]);
    for (int k = 0; k < s.n; ++k) ph[k] = std::polar(1.0, -phi * m[k]);
}

// out = V exp(-i Lambda t) V^T from hr = V^T and lam = Lambda (Z: scratch).
void vps_exp_from_eig(int n, const double* hr, const double* lam, double t, cd* Z, cd* out) {
    for (int k = 0; k < n; ++k) {
        const cd e = std::polar(1.0, -lam[k] * t);
        for (int j = 0; j < n; ++j) Z[static_cast<size_t>(k) * n + j] = e * hr[static_cast<size_t>(k) * n + j];
    }
    matrixmath_packed_real_left(n, true, hr, Z, out);
}

namespace {
// Eigen path. With Q = P^T the step P <- P R V E V^T R^dagger becomes
// Q <- R^dagger V E V^T R Q: real products on the interleaved storage (left
// multiplication by a real matrix acts on real and imaginary parts alike)
// and diagonal scalings. R is needed only for a sample with a y component
// (phase phi = atan2(yb, xb)); with yb = 0 the signed xb keeps the step
// Hamiltonian real symmetric. Between two such steps the chain stays in the
// eigenbases: with Q = V_{l-1} Z,
//   Q <- V_l E_l (V_l^T V_{l-1}) Z,
// one n x n overlap and one product of it with Z instead of two products
// with Z; Q = V Z is formed only before a rotated step and at the end.
bool vps_propagator_eig(const VPSContext& c, const double* w, cd* P, VPSWorker& wk) {
    const VYNSpatialSector& s = *c.s;
    const int n = s.n;
    const size_t nn = static_cast<size_t>(n) * n;
    const std::vector<double>& m = c.st->m;
    cd* Q = wk.q.data();  // the product in the standard basis, or ...
    cd* Z = wk.z.data();  // ... in the eigenbasis of the last step (in_eig)
    double* hr = wk.hr.data();
    double* prev = wk.hr_prev.data();  // V^T of the last step while in_eig
    bool in_eig = false;
    std::fill(Q, Q + nn, cd(0.0, 0.0));
    for (int k = 0; k < n; ++k) Q[static_cast<size_t>(k) * n + k] = 1.0;
    for (int l = 0; l < s.ap; ++l) {
        const bool rotate = vps_real_step_hamiltonian(s, m, l, w[l], hr);
        if (!matrixmath_sym_eig(n, hr, n, wk.lam.data(), wk.eig)) return false;  // hr = V^T
        cd* ph = wk.ph.data();
        if (rotate) {
            if (in_eig) matrixmath_packed_real_left(n, true, prev, Z, Q);
            in_eig = false;
            vps_phases(s, m, l, ph);
            vps_scale_rows(n, Q, ph);
        }
        if (in_eig) {
            // Z <- (V_l^T V_{l-1}) Z; Q serves as the output.
            matrixmath_real_mult_bt(n, hr, prev, wk.ov.data());
            matrixmath_packed_real_left(n, false, wk.ov.data(), Z, Q);
        } else {
            matrixmath_packed_real_left(n, false, hr, Q, Z);  // Z = V^T Q
            std::swap(Q, Z);
        }
        // Q now holds V_l^T times the product: scale by E_l.
        for (int k = 0; k < n; ++k) {
            const cd e = std::polar(1.0, -wk.lam[k] * s.h);
            cd* row = Q + static_cast<size_t>(k) * n;
            for (int j = 0; j < n; ++j) row[j] *= e;
        }
        std::swap(Q, Z);
        std::swap(hr, prev);
        in_eig = !rotate;
        if (rotate) {
            matrixmath_packed_real_left(n, true, prev, Z, Q);  // Q = V Z
            for (int k = 0; k < n; ++k) ph[k] = std::conj(ph[k]);
            vps_scale_rows(n, Q, ph);
        }
    }
    if (in_eig) matrixmath_packed_real_left(n, true, prev, Z, Q);
    for (int r = 0; r < n; ++r)
        for (int col = 0; col < n; ++col) P[static_cast<size_t>(r) * n + col] = Q[static_cast<size_t>(col) * n + r];
    return true;
}
}  // namespace

void vps_propagator(const VPSContext& c, const double* w, cd* P, VPSWorker& wk) {
    if (c.method == VYN_STEP_EXP_EIG && vps_propagator_eig(c, w, P, wk)) return;
    VPSContext fallback = c;
    if (fallback.method == VYN_STEP_EXP_EIG) fallback.method = VYN_STEP_EXP_PADE;
    vps_propagator_general(fallback, w, P, wk);
}

// ---------------------------------------------------------------------------
// One pulse without gradients (the optimiser's objective): the class
// propagator of a single offset sequence, with scratch of its own that grows
// only when n or the sample count grows.
// ---------------------------------------------------------------------------
namespace {
struct VPSPulseScratch {
    VPSStructure structure;
    VPSWorker worker;
    std::vector<double> w;
    std::vector<cd> packed;
};
VPSPulseScratch* vps_pulse_scratch = nullptr;
}  // namespace

void vyn_fast_pulse_propagator(int n, const double* xb, const double* yb, int count, double h, double offset,
                               const CMatrix& hc, const CMatrix& izgrad, const CMatrix& ixtot, const CMatrix& iytot,
                               CMatrix& out) {
    if (count < 1 || h == 0.0) {
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c) out(r, c) = r == c ? cd(1.0, 0.0) : cd(0.0, 0.0);
        return;
    }
    if (!vps_pulse_scratch) vps_pulse_scratch = new VPSPulseScratch;
    VPSPulseScratch& ps = *vps_pulse_scratch;
    VYNSpatialSector s{};
    s.n = n;
    s.ap = count;
    s.h = h;
    s.offset = offset;
    s.xb = xb;
    s.yb = yb;
    s.ndx = s.ndy = s.ndz = 1;
    s.hc = &hc;
    s.izgrad = &izgrad;
    s.ixtot = &ixtot;
    s.iytot = &iytot;
    vps_structure(s, ps.structure);
    int method = vyn_spatial_options.step_exp;
    if (method == VYN_STEP_EXP_AUTO)
        method =
            (ps.structure.real_symmetric && n >= vyn_spatial_options.eig_min_n) ? VYN_STEP_EXP_EIG : VYN_STEP_EXP_PADE;
    if (method == VYN_STEP_EXP_EIG && !ps.structure.real_symmetric) method = VYN_STEP_EXP_PADE;
    VPSWorker& wk = ps.worker;
    vps_size_worker(wk, n, count);
    ps.w.assign(count, offset);
    ps.packed.resize(static_cast<size_t>(n) * n);
    const VPSContext ctx{&s, &ps.structure, method};
    VPSBlasSingleThread blas_guard;  // measured: BLAS threads slow these small products down many times
    vps_propagator(ctx, ps.w.data(), ps.packed.data(), wk);
    for (int r = 1; r <= n; ++r)
        std::memcpy(&out(r, 1), ps.packed.data() + static_cast<size_t>(r - 1) * n, sizeof(cd) * n);
}
