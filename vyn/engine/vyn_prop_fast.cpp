// Spatial propagation with shared exact factorisations (see vyn_prop_fast.h).
#include "vyn_prop_fast.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "matrixmathexp.h"
#include "vyn_prop_internal.h"

VYNSpatialOptions vyn_spatial_options;
VYNSpatialStats vyn_spatial_stats;
VYNSpatialStats vyn_spatial_totals;

void VYNSpatialOptions_Reset() {
    vyn_spatial_options.method = VYN_SPATIAL_SHARED;
    vyn_spatial_options.step_exp = VYN_STEP_EXP_AUTO;
    vyn_spatial_options.eig_min_n = 100;  // measured: Pade is faster up to n = 64, the eigen path from 128
    vyn_spatial_options.threads = 0;
    vyn_spatial_options.cache_bytes = 256LL << 20;
    vyn_spatial_options.batch_bytes = 64LL << 20;
    vyn_spatial_options.hold = 1;
    vyn_spatial_options.resident_bytes = -1;
    vyn_spatial_options.interp = VYN_INTERP_AUTO;
}

namespace {
using cd = std::complex<double>;

void vps_add_totals(const VYNSpatialStats& s) {
    VYNSpatialStats& t = vyn_spatial_totals;
    t.voxels = s.voxels;
    t.free_precession += s.free_precession;
    t.structured += s.structured;
    t.classes += s.classes;
    t.propagators_formed += s.propagators_formed;
    t.rotations += s.rotations;
    t.peak_cached = std::max(t.peak_cached, s.peak_cached);
    t.interpolated += s.interpolated;
    t.interp_nodes += s.interp_nodes;
    t.held = s.held;
    t.seconds_plan += s.seconds_plan;
    t.seconds_read += s.seconds_read;
    t.seconds_propagators += s.seconds_propagators;
    t.seconds_rotations += s.seconds_rotations;
    t.seconds_write += s.seconds_write;
    t.seconds_commit += s.seconds_commit;
}

struct vps_options_initialiser {
    vps_options_initialiser() { VYNSpatialOptions_Reset(); }
} vps_options_init_instance;

double vps_now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// Voxel v (1-based, z fastest, x slowest) and its position, as the literal
// propagator computes it.
void vps_position(const VYNSpatialSector& s, int v, double* x, double* y, double* z) {
    const int k = v - 1;
    const int kz = k % s.ndz;
    const int ky = (k / s.ndz) % s.ndy;
    const int kx = k / (s.ndz * s.ndy);
    *x = s.x0 + kx * s.dx;
    *y = s.y0 + ky * s.dy;
    *z = s.z0 + kz * s.dz;
}

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

uint64_t vps_hash_bytes(const void* p, size_t bytes) {
    const unsigned char* c = static_cast<const unsigned char*>(p);
    uint64_t h = 1469598103934665603ULL;
    size_t i = 0;
    for (; i + 8 <= bytes; i += 8) {
        uint64_t v;
        std::memcpy(&v, c + i, 8);
        h = vps_mix(h, v);
    }
    for (; i < bytes; ++i) h = vps_mix(h, c[i]);
    return h;
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

void vps_structure(const VYNSpatialSector& s, VPSStructure& st) {
    const int n = s.n;
    st.m.assign(n, 0.0);
    double scale = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            scale = std::fmax(scale, std::fmax(std::abs((*s.hc)(r, c)),
                                               std::fmax(std::abs((*s.ixtot)(r, c)), std::abs((*s.iytot)(r, c)))));
    const double tol = 1e-13 * (scale > 0.0 ? scale : 1.0);
    bool diag = true, hc_block = true, sym = true;
    for (int r = 1; r <= n; ++r) {
        st.m[r - 1] = (*s.izgrad)(r, r).real();
        if ((*s.izgrad)(r, r).imag() != 0.0) diag = false;
        for (int c = 1; c <= n; ++c)
            if (r != c && (*s.izgrad)(r, c) != cd(0.0, 0.0)) diag = false;
    }
    if (diag) {
        for (int r = 1; r <= n && hc_block; ++r)
            for (int c = 1; c <= n; ++c)
                if (st.m[r - 1] != st.m[c - 1] && std::abs((*s.hc)(r, c)) > tol) {
                    hc_block = false;
                    break;
                }
    }
    for (int r = 1; r <= n && sym; ++r)
        for (int c = 1; c <= n; ++c) {
            const cd hv = (*s.hc)(r, c), xv = (*s.ixtot)(r, c), yv = (*s.iytot)(r, c);
            const double dm = diag ? st.m[r - 1] - st.m[c - 1] : 0.0;
            const bool ok = std::fabs(hv.imag()) <= tol && std::fabs(hv.real() - (*s.hc)(c, r).real()) <= tol &&
                            std::fabs(xv.imag()) <= tol && std::fabs(xv.real() - (*s.ixtot)(c, r).real()) <= tol &&
                            (std::fabs(xv.real()) <= tol || std::fabs(std::fabs(dm) - 1.0) <= 1e-12) &&
                            std::abs(yv - cd(0.0, -dm) * xv) <= tol;
            if (!ok) {
                sym = false;
                break;
            }
        }
    st.izgrad_diagonal = diag && hc_block;
    st.real_symmetric = st.izgrad_diagonal && sym;
}

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

std::vector<std::unique_ptr<VPSWorker>> vps_workers;

void vps_size_worker(VPSWorker& w, int n, int ap) {
    const size_t nn = static_cast<size_t>(n) * n;
    w.hr.resize(nn);
    w.hr_prev.resize(nn);
    w.ov.resize(nn);
    w.lam.resize(n);
    w.offsets.resize(ap > 0 ? ap : 1);
    w.q.resize(nn);
    w.z.resize(nn);
    w.x.resize(nn);
    w.ph.resize(n);
}

void vps_prepare_workers(int count, int n, int ap) {
    while (static_cast<int>(vps_workers.size()) < count) vps_workers.emplace_back(new VPSWorker);
    for (int i = 0; i < count; ++i) vps_size_worker(*vps_workers[i], n, ap);
}

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

// ---------------------------------------------------------------------------
// Sector propagator of one offset sequence, packed n x n row-major.
// ---------------------------------------------------------------------------
struct VPSContext {
    const VYNSpatialSector* s;
    const VPSStructure* st;
    int method;  // VYN_STEP_EXP_TAYLOR, _PADE or _EIG after resolving auto
};

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

// Rows k of the packed complex n x n matrix a scaled by f[k].
void vps_scale_rows(int n, cd* a, const cd* f) {
    for (int k = 0; k < n; ++k) {
        cd* row = a + static_cast<size_t>(k) * n;
        const cd g = f[k];
        for (int j = 0; j < n; ++j) row[j] *= g;
    }
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

void vps_propagator(const VPSContext& c, const double* w, cd* P, VPSWorker& wk) {
    if (c.method == VYN_STEP_EXP_EIG && vps_propagator_eig(c, w, P, wk)) return;
    VPSContext fallback = c;
    if (fallback.method == VYN_STEP_EXP_EIG) fallback.method = VYN_STEP_EXP_PADE;
    vps_propagator_general(fallback, w, P, wk);
}

// ---------------------------------------------------------------------------
// Offset interpolation. At step l every class of a group has the factor
// U_l(w) = exp(-i (H_l + w Izgrad) h) at its own offset w; U_l is an entire
// function of w. Over the group's range [c - r, c + r] it is interpolated at
// the d + 1 Chebyshev points w_j = c + r cos(j pi / d): for complex
// t = (w - c) / r in the Bernstein ellipse of parameter rho,
// ||U_l|| <= exp(tau |Im t|) with tau = r h ||Izgrad||, so the interpolation
// error is at most 4 exp(tau (rho - 1/rho) / 2) rho^-d / (rho - 1) in the
// 2-norm; d is the smallest degree with that bound below kInterpTol for some
// rho. Each class then takes the barycentric combination of the node
// factors and one complex product per step (three real products).
// ---------------------------------------------------------------------------
constexpr double kInterpTol = 1e-14;
constexpr int kInterpMaxDegree = 40;
constexpr int kInterpChunk = 16;  // classes combined by one product (fixed: the result must not depend on threads)
constexpr double kPiD = 3.14159265358979323846;
}  // namespace

double vps_interp_log_bound(double tau, int d) {
    double best = HUGE_VAL;
    for (int i = 0; i <= 240; ++i) {
        const double rho = 1.0 + std::exp(-7.0 + 0.0667 * i);  // rho - 1 from 1e-3 to about 8e3
        best = std::min(best, std::log(4.0) + 0.5 * tau * (rho - 1.0 / rho) - d * std::log(rho) - std::log(rho - 1.0));
    }
    return best;
}

// Smallest degree whose bound meets kInterpTol; -1 above kInterpMaxDegree.
int vps_interp_degree(double tau) {
    const double goal = std::log(kInterpTol);
    for (int d = 1; d <= kInterpMaxDegree; ++d)
        if (vps_interp_log_bound(tau, d) <= goal) return d;
    return -1;
}

namespace {
struct VPSInterpStep {
    double c, r;
    int nodes;  // d + 1, or 1 when every class has the same offset
};

// Plan for the offsets w[k * ap + l] of `classes` classes. Returns the node
// count summed over the steps, or -1 when a step needs a degree above the limit.
long vps_interp_plan(const VYNSpatialSector& s, double norm_b, const std::vector<double>& w, int classes,
                     std::vector<VPSInterpStep>& plan) {
    plan.assign(s.ap, VPSInterpStep{0.0, 0.0, 1});
    long total = 0;
    for (int l = 0; l < s.ap; ++l) {
        double lo = w[l], hi = w[l];
        for (int k = 1; k < classes; ++k) {
            lo = std::min(lo, w[static_cast<size_t>(k) * s.ap + l]);
            hi = std::max(hi, w[static_cast<size_t>(k) * s.ap + l]);
        }
        VPSInterpStep& p = plan[l];
        p.c = 0.5 * (lo + hi);
        p.r = 0.5 * (hi - lo);
        if (hi > lo) {
            const int d = vps_interp_degree(p.r * std::fabs(s.h) * norm_b);
            if (d < 0) return -1;
            p.nodes = d + 1;
        } else {
            p.r = 0.0;
        }
        total += p.nodes;
    }
    return total;
}

}  // namespace

// Barycentric weights at the second-kind Chebyshev points for t in [-1, 1].
void vps_interp_weights(int nodes, double t, double* out) {
    if (nodes == 1) {
        out[0] = 1.0;
        return;
    }
    const int d = nodes - 1;
    t = std::max(-1.0, std::min(1.0, t));
    double sum = 0.0;
    for (int j = 0; j <= d; ++j) {
        const double tj = std::cos(kPiD * j / d);
        if (t == tj) {
            std::fill(out, out + nodes, 0.0);
            out[j] = 1.0;
            return;
        }
        const double lam = (j % 2 ? -1.0 : 1.0) * (j == 0 || j == d ? 0.5 : 1.0);
        out[j] = lam / (t - tj);
        sum += out[j];
    }
    for (int j = 0; j <= d; ++j) out[j] /= sum;
}

namespace {

// U = exp(-i (Hc + w Izgrad + xb[l] Ixtot + yb[l] Iytot) h), packed, the
// factor the sector product multiplies from the right at step l.
void vps_step_factor(const VPSContext& c, int l, double w, cd* U, VPSWorker& wk) {
    const VYNSpatialSector& s = *c.s;
    const int n = s.n;
    if (c.method == VYN_STEP_EXP_EIG) {
        const std::vector<double>& m = c.st->m;
        double* hr = wk.hr.data();
        const bool rotate = vps_real_step_hamiltonian(s, m, l, w, hr);
        if (matrixmath_sym_eig(n, hr, n, wk.lam.data(), wk.eig)) {
            // V E V^T, then R (.) R^dagger for R = exp(-i phi Izgrad).
            vps_exp_from_eig(n, hr, wk.lam.data(), s.h, wk.z.data(), U);
            if (rotate) {
                cd* ph = wk.ph.data();
                vps_phases(s, m, l, ph);
                for (int r = 0; r < n; ++r)
                    for (int col = 0; col < n; ++col) U[static_cast<size_t>(r) * n + col] *= ph[r] * std::conj(ph[col]);
            }
            return;
        }
    }
    VYNSpatialSector one = s;
    one.xb = s.xb + l;
    one.yb = s.yb + l;
    one.ap = 1;
    VPSContext single{&one, c.st, c.method == VYN_STEP_EXP_EIG ? VYN_STEP_EXP_PADE : c.method};
    vps_propagator_general(single, &w, U, wk);
}

}  // namespace

// out[k] = sum_j weights[k * q + j] nodes[j] for k < count, rows of len
// doubles, in column tiles that keep the node rows in cache and four nodes
// per pass (a BLAS product with an inner dimension of q packs all node rows
// on every call and is slower). Each sum runs in the same order whatever
// count and the tile are.
void vps_combine(int count, int len, int q, const double* weights, const double* nodes, double* out) {
    constexpr int kTile = 2048;
    for (int c0 = 0; c0 < len; c0 += kTile) {
        const int cl = std::min(kTile, len - c0);
        for (int k = 0; k < count; ++k) {
            const double* wt = weights + static_cast<size_t>(k) * q;
            double* o = out + static_cast<size_t>(k) * len + c0;
            const double* nd = nodes + c0;
            int j = 0;
            for (; j + 4 <= q; j += 4) {
                const double a0 = wt[j], a1 = wt[j + 1], a2 = wt[j + 2], a3 = wt[j + 3];
                const double* n0 = nd + static_cast<size_t>(j) * len;
                const double *n1 = n0 + len, *n2 = n1 + len, *n3 = n2 + len;
                if (j == 0)
                    for (int i = 0; i < cl; ++i) o[i] = a0 * n0[i] + a1 * n1[i] + a2 * n2[i] + a3 * n3[i];
                else
                    for (int i = 0; i < cl; ++i) o[i] += a0 * n0[i] + a1 * n1[i] + a2 * n2[i] + a3 * n3[i];
            }
            for (; j < q; ++j) {
                const double a = wt[j];
                const double* nj = nd + static_cast<size_t>(j) * len;
                if (j == 0)
                    for (int i = 0; i < cl; ++i) o[i] = a * nj[i];
                else
                    for (int i = 0; i < cl; ++i) o[i] += a * nj[i];
            }
        }
    }
}

namespace {

// The sector propagators of a group of classes (offsets w[k * ap + l]) by
// the plan, into slots[k] (packed n x n each). While the steps run a slot
// holds its product as two real planes (real part, imaginary part).
void vps_form_interpolated(const VPSContext& c, const std::vector<double>& w, const std::vector<VPSInterpStep>& plan,
                           const std::vector<std::vector<cd>*>& slots, int threads, std::vector<double>& nodes,
                           std::vector<double>& weights) {
    const VYNSpatialSector& s = *c.s;
    const int n = s.n, ap = s.ap;
    const size_t nn = static_cast<size_t>(n) * n;
    const int classes = static_cast<int>(slots.size());
    const int chunks = (classes + kInterpChunk - 1) / kInterpChunk;
    int most = 1;
    for (const VPSInterpStep& p : plan) most = std::max(most, p.nodes);
    // Everything allocated here, before any worker runs.
    nodes.resize(static_cast<size_t>(most) * 3 * nn);
    weights.resize(static_cast<size_t>(classes) * most);
    for (int t = 0; t < threads; ++t) {
        VPSWorker& wk = *vps_workers[t];
        wk.ucomb.resize(kInterpChunk * 3 * nn);
        wk.ps.resize(nn);
        wk.chain.resize(nn);
    }
    for (int l = 0; l < ap; ++l) {
        const VPSInterpStep& p = plan[l];
        const int q = p.nodes;
        // Node factors as the planes Re U, Im U - Re U, Re U + Im U.
        vps_parallel(q, threads, [&](int j, int worker) {
            VPSWorker& wk = *vps_workers[worker];
            const double wj = q == 1 ? p.c : p.c + p.r * std::cos(kPiD * j / (q - 1));
            cd* U = wk.x.data();
            vps_step_factor(c, l, wj, U, wk);
            double* out = nodes.data() + static_cast<size_t>(j) * 3 * nn;
            for (size_t i = 0; i < nn; ++i) {
                out[i] = U[i].real();
                out[nn + i] = U[i].imag() - U[i].real();
                out[2 * nn + i] = U[i].real() + U[i].imag();
            }
        });
        for (int k = 0; k < classes; ++k) {
            const double wk_l = w[static_cast<size_t>(k) * ap + l];
            vps_interp_weights(q, p.r > 0.0 ? (wk_l - p.c) / p.r : 0.0, weights.data() + static_cast<size_t>(k) * q);
        }
        vps_parallel(chunks, threads, [&](int ch, int worker) {
            VPSWorker& wk = *vps_workers[worker];
            const int k0 = ch * kInterpChunk, kc = std::min(kInterpChunk, classes - k0);
            const int len = static_cast<int>(3 * nn);
            vps_combine(kc, len, q, weights.data() + static_cast<size_t>(k0) * q, nodes.data(), wk.ucomb.data());
            for (int k = k0; k < k0 + kc; ++k) {
                const double* ur = wk.ucomb.data() + static_cast<size_t>(k - k0) * 3 * nn;
                const double *ud = ur + nn, *us = ur + 2 * nn;
                double* pr = reinterpret_cast<double*>(slots[k]->data());
                double* pi = pr + nn;
                if (l == 0) {
                    for (size_t i = 0; i < nn; ++i) {
                        pr[i] = ur[i];
                        pi[i] = us[i] - ur[i];
                    }
                    continue;
                }
                // P U with three real products:
                //   Re = (Pr + Pi) Ur - Pi (Ur + Ui),  Im = (Pr + Pi) Ur + Pr (Ui - Ur).
                double* ps = wk.ps.data();
                for (size_t i = 0; i < nn; ++i) ps[i] = pr[i] + pi[i];
                double* orr = reinterpret_cast<double*>(wk.chain.data());
                double* oi = orr + nn;
                matrixmath_real_gemm(n, n, n, 1.0, ps, n, ur, n, 0.0, orr, n);
                matrixmath_real_gemm(n, n, n, 1.0, pr, n, ud, n, 0.0, oi, n);
                for (size_t i = 0; i < nn; ++i) oi[i] += orr[i];
                matrixmath_real_gemm(n, n, n, -1.0, pi, n, us, n, 1.0, orr, n);
                slots[k]->swap(wk.chain);
            }
        });
    }
    vps_parallel(classes, threads, [&](int k, int worker) {
        VPSWorker& wk = *vps_workers[worker];
        const double* pr = reinterpret_cast<const double*>(slots[k]->data());
        for (size_t i = 0; i < nn; ++i) wk.chain[i] = cd(pr[i], pr[nn + i]);
        slots[k]->swap(wk.chain);
    });
}

// exp(-i Hc T) for the free-precession split, packed.
void vps_static_factor(const VPSContext& c, double T, cd* S, VPSWorker& wk) {
    const VYNSpatialSector& s = *c.s;
    const int n = s.n;
    if (c.method == VYN_STEP_EXP_EIG) {
        double* hr = wk.hr.data();
        for (int r = 1; r <= n; ++r)
            for (int col = 1; col <= n; ++col) hr[static_cast<size_t>(r - 1) * n + col - 1] = (*s.hc)(r, col).real();
        if (matrixmath_sym_eig(n, hr, n, wk.lam.data(), wk.eig)) {
            vps_exp_from_eig(n, hr, wk.lam.data(), T, wk.z.data(), S);
            return;
        }
    }
    for (int r = 1; r <= n; ++r)
        for (int col = 1; col <= n; ++col) wk.series.hneg(r, col) = -(*s.hc)(r, col);
    if (c.method == VYN_STEP_EXP_TAYLOR)
        ExpMatrix(n, wk.series.hneg, T, wk.product);
    else
        matrixmath_exp_pade(n, wk.series.hneg, T, wk.product, wk.exp);
    vps_pack(n, wk.product, S);
}

int vps_thread_count() {
    int t = vyn_spatial_options.threads;
    if (t <= 0) {
        const long c = sysconf(_SC_NPROCESSORS_ONLN);
        t = c > 0 ? static_cast<int>(c) : 1;
    }
    return t > 64 ? 64 : t;
}

// BLAS runs single-threaded while the workers run: each product is then
// computed by the same code whatever the worker count.
struct VPSBlasSingleThread {
    int saved;
    VPSBlasSingleThread() : saved(matrixmath_set_blas_threads(1)) {}
    ~VPSBlasSingleThread() { matrixmath_set_blas_threads(saved); }
};

struct VPSCarry {
    uint64_t hash;
    int cls;
    std::vector<cd> in, out;
};
}  // namespace

int vyn_spatial_offset_classes(const VYNSpatialSector& s, int* class_of) {
    const int voxels = s.ndx * s.ndy * s.ndz;
    std::unordered_map<uint64_t, std::vector<int>> by_hash;  // hash -> classes
    std::vector<int> rep;                                    // class -> representative voxel
    int classes = 0;
    for (int v = 1; v <= voxels; ++v) {
        double x, y, z;
        vps_position(s, v, &x, &y, &z);
        uint64_t h = 0x12345;
        for (int l = 0; l < s.ap; ++l) h = vps_mix(h, vps_bits(vps_offset(s, l, x, y, z)));
        std::vector<int>& cands = by_hash[h];
        int found = -1;
        for (int c : cands) {
            double rx, ry, rz;
            vps_position(s, rep[c], &rx, &ry, &rz);
            bool same = true;
            for (int l = 0; l < s.ap && same; ++l) same = vps_offset(s, l, x, y, z) == vps_offset(s, l, rx, ry, rz);
            if (same) {
                found = c;
                break;
            }
        }
        if (found < 0) {
            found = classes++;
            rep.push_back(v);
            cands.push_back(found);
        }
        class_of[v - 1] = found;
    }
    return classes;
}

namespace {
// Where one sector reads its voxel matrices and where it puts them.
struct VPSIo {
    FILE* in = nullptr;      // read from (nullptr: the matrices are in mem)
    FILE* out = nullptr;     // written to; equal to in: each batch back where it was read
    cd* mem = nullptr;       // resident matrices, moved in place
    long long body_at = -1;  // offset of the first matrix in in; -1: where in stands
    const char* in_path = "";
    const char* out_path = "";
};

// Moves every voxel matrix through the sector. On failure *stage tells what
// failed; the matrices are then partly moved.
bool vps_move(const VYNSpatialSector& s, VPSIo& io, vyn_spatial_progress_fn progress, void* progress_ctx,
              binfh_rewrite_stage* stage) {
    VYNSpatialStats& stats = vyn_spatial_stats;
    const int n = s.n;
    const int voxels = s.ndx * s.ndy * s.ndz;
    const size_t nn = static_cast<size_t>(n) * n;
    bool failed = false;
    try {
        double t0 = vps_now();
        const int threads = vps_thread_count();
        VPSBlasSingleThread blas_guard;
        VPSStructure structure;
        vps_structure(s, structure);
        const bool identity = s.ap < 1 || s.h == 0.0;
        bool free_precession = !identity && structure.izgrad_diagonal;
        for (int l = 0; l < s.ap && free_precession; ++l)
            if (s.xb[l] != 0.0 || s.yb[l] != 0.0) free_precession = false;
        int method = vyn_spatial_options.step_exp;
        if (method == VYN_STEP_EXP_AUTO)
            method =
                (structure.real_symmetric && n >= vyn_spatial_options.eig_min_n) ? VYN_STEP_EXP_EIG : VYN_STEP_EXP_PADE;
        if (method == VYN_STEP_EXP_EIG && !structure.real_symmetric) method = VYN_STEP_EXP_PADE;
        const VPSContext ctx{&s, &structure, method};
        stats.free_precession = free_precession ? 1 : 0;
        stats.structured = structure.real_symmetric ? 1 : 0;
        vps_prepare_workers(threads, n, s.ap);

        // Offset classes (RF sectors) with the last voxel of each; free
        // precession instead needs the summed offset of each voxel.
        std::vector<int> class_of;
        std::vector<int> class_rep, class_last;
        std::vector<cd> static_factor;
        if (!identity && !free_precession) {
            class_of.resize(voxels);
            const int classes = vyn_spatial_offset_classes(s, class_of.data());
            class_rep.assign(classes, 0);
            class_last.assign(classes, 0);
            for (int v = voxels; v >= 1; --v) class_rep[class_of[v - 1]] = v;
            for (int v = 1; v <= voxels; ++v) class_last[class_of[v - 1]] = v;
            stats.classes = classes;
        } else if (free_precession) {
            static_factor.resize(nn);
            vps_static_factor(ctx, s.ap * s.h, static_factor.data(), *vps_workers[0]);
            stats.classes = 1;
        }
        const double T1 = vps_now();
        stats.seconds_plan = T1 - t0;

        // Batch and cache bounds do not depend on the thread count: with offset
        // interpolation they decide the groups, and so the last bits of a result.
        const long long mat_bytes = static_cast<long long>(nn * sizeof(cd));
        int batch = static_cast<int>(std::max<long long>(1, vyn_spatial_options.batch_bytes / mat_bytes));
        if (batch > voxels) batch = voxels;
        const int cache_cap = static_cast<int>(
            std::min<long long>(voxels, std::max<long long>(1, vyn_spatial_options.cache_bytes / mat_bytes)));
        const int interp_mode = vyn_spatial_options.interp;
        const bool may_interpolate =
            interp_mode == VYN_INTERP_ON || (interp_mode == VYN_INTERP_AUTO && method == VYN_STEP_EXP_EIG);
        double norm_b = 0.0;  // ||Izgrad||_2 <= its largest absolute row sum (Hermitian)
        for (int r = 1; r <= n; ++r) {
            double sum = 0.0;
            for (int col = 1; col <= n; ++col) sum += std::abs((*s.izgrad)(r, col));
            norm_b = std::max(norm_b, sum);
        }
        std::vector<char> in_group(class_rep.size(), 0);
        std::vector<double> interp_offsets, interp_nodes, interp_weights;
        std::vector<VPSInterpStep> interp_plan;

        std::vector<cd> file_buf(io.mem ? 0 : nn * batch);
        std::vector<int> src(batch);
        std::vector<uint64_t> hashes(batch);
        std::unordered_map<int, std::vector<cd>> cache;  // class -> propagator
        std::vector<VPSCarry> carry;                     // recent (state, class) -> result
        constexpr int kCarry = 4;
        const bool in_place = io.in && io.out == io.in;
        const long long body_start = io.body_at >= 0 ? io.body_at : io.in ? static_cast<long long>(ftello(io.in)) : 0;

        for (int first = 1; first <= voxels && !failed; first += batch) {
            const int count = std::min(batch, voxels - first + 1);
            double r0 = vps_now();
            const size_t want = nn * count;
            cd* buf = io.mem ? io.mem + nn * (first - 1) : file_buf.data();
            const long long at = body_start + static_cast<long long>(first - 1) * mat_bytes;
            if (io.in) {
                errno = 0;
                // An update stream needs a seek between writing and reading.
                if ((in_place && fseeko(io.in, at, SEEK_SET) != 0) ||
                    std::fread(buf, sizeof(cd), want, io.in) != want) {
                    binfh_print_error(io.in_path);
                    *stage = BINFH_STAGE_READ_MATRIX;
                    failed = true;
                    break;
                }
            }
            double r1 = vps_now();
            stats.seconds_read += r1 - r0;
            if (!identity) {
                // Class propagators this batch needs and lacks.
                std::vector<int> missing;
                if (!free_precession) {
                    for (int i = 0; i < count; ++i) {
                        const int c = class_of[first + i - 1];
                        if (!cache.count(c) && std::find(missing.begin(), missing.end(), c) == missing.end())
                            missing.push_back(c);
                    }
                    // Keep the cache within its bound: drop what this batch does not need.
                    if (static_cast<int>(cache.size() + missing.size()) > cache_cap) {
                        for (auto it = cache.begin(); it != cache.end();) {
                            bool needed = false;
                            for (int i = 0; i < count && !needed; ++i) needed = class_of[first + i - 1] == it->first;
                            it = needed ? std::next(it) : cache.erase(it);
                        }
                    }
                    // Offset interpolation over a group: this batch's classes and,
                    // while the cache has room, the next ones in voxel order.
                    bool interpolate = false;
                    if (may_interpolate && !missing.empty()) {
                        std::vector<int> group = missing;
                        for (int c : group) in_group[c] = 1;
                        int room = cache_cap - static_cast<int>(cache.size() + group.size());
                        for (int v = first + count; v <= voxels && room > 0; ++v) {
                            const int c = class_of[v - 1];
                            if (in_group[c] || cache.count(c)) continue;
                            in_group[c] = 1;
                            group.push_back(c);
                            --room;
                        }
                        for (int c : group) in_group[c] = 0;
                        const int g = static_cast<int>(group.size());
                        if (g >= 2) {
                            interp_offsets.resize(static_cast<size_t>(g) * s.ap);
                            for (int k = 0; k < g; ++k) {
                                double x, y, z;
                                vps_position(s, class_rep[group[k]], &x, &y, &z);
                                for (int l = 0; l < s.ap; ++l)
                                    interp_offsets[static_cast<size_t>(k) * s.ap + l] = vps_offset(s, l, x, y, z);
                            }
                            const long node_count = vps_interp_plan(s, norm_b, interp_offsets, g, interp_plan);
                            interpolate = node_count > 0 && (interp_mode == VYN_INTERP_ON ||
                                                             2 * node_count <= static_cast<long>(g) * s.ap);
                            if (interpolate) {
                                missing.swap(group);
                                stats.interpolated += g;
                                stats.interp_nodes += static_cast<int>(node_count);
                            }
                        }
                    }
                    std::vector<std::vector<cd>*> slots;
                    for (int c : missing) {
                        std::vector<cd>& slot = cache[c];
                        slot.resize(nn);
                        slots.push_back(&slot);
                    }
                    if (interpolate) {
                        vps_form_interpolated(ctx, interp_offsets, interp_plan, slots, threads, interp_nodes,
                                              interp_weights);
                    } else {
                        vps_parallel(static_cast<int>(missing.size()), threads, [&](int i, int worker) {
                            VPSWorker& wk = *vps_workers[worker];
                            double x, y, z;
                            vps_position(s, class_rep[missing[i]], &x, &y, &z);
                            for (int l = 0; l < s.ap; ++l) wk.offsets[l] = vps_offset(s, l, x, y, z);
                            vps_propagator(ctx, wk.offsets.data(), slots[i]->data(), wk);
                        });
                    }
                    stats.propagators_formed += static_cast<int>(missing.size());
                    stats.peak_cached = std::max(stats.peak_cached, static_cast<int>(cache.size()));
                }
                double r2 = vps_now();
                stats.seconds_propagators += r2 - r1;

                // Voxels holding the same matrix and moved by the same
                // propagator are rotated once: src[i] = i computes, j < i
                // copies voxel j's result, -1 - k takes carried entry k.
                std::unordered_map<uint64_t, std::vector<int>> seen;
                std::vector<int> todo;
                for (int i = 0; i < count; ++i) {
                    const int c = free_precession ? 0 : class_of[first + i - 1];
                    const cd* rho = buf + nn * i;
                    const uint64_t h = vps_mix(vps_hash_bytes(rho, nn * sizeof(cd)), static_cast<uint64_t>(c));
                    hashes[i] = h;
                    src[i] = i;
                    for (int j : seen[h])
                        if ((free_precession || class_of[first + j - 1] == c) &&
                            std::memcmp(buf + nn * j, rho, nn * sizeof(cd)) == 0) {
                            src[i] = j;
                            break;
                        }
                    if (src[i] == i)
                        for (size_t k = 0; k < carry.size(); ++k)
                            if (carry[k].hash == h && carry[k].cls == c &&
                                std::memcmp(carry[k].in.data(), rho, nn * sizeof(cd)) == 0) {
                                src[i] = -1 - static_cast<int>(k);
                                break;
                            }
                    if (src[i] == i) {
                        seen[h].push_back(i);
                        todo.push_back(i);
                    }
                }
                // Carried inputs must be saved before the batch is overwritten.
                std::vector<VPSCarry> next_carry;
                std::vector<int> next_carry_index;
                for (int k = static_cast<int>(todo.size()) - 1; k >= 0 && static_cast<int>(next_carry.size()) < kCarry;
                     --k) {
                    const int i = todo[k];
                    VPSCarry e;
                    e.hash = hashes[i];
                    e.cls = free_precession ? 0 : class_of[first + i - 1];
                    e.in.assign(buf + nn * i, buf + nn * (i + 1));
                    next_carry.push_back(std::move(e));
                    next_carry_index.push_back(i);
                }
                std::vector<const cd*> props(todo.size(), static_factor.data());
                if (!free_precession)
                    for (size_t k = 0; k < todo.size(); ++k)
                        props[k] = cache.find(class_of[first + todo[k] - 1])->second.data();
                vps_parallel(static_cast<int>(todo.size()), threads, [&](int k, int worker) {
                    matrixmath_packed_rotate(n, props[k], buf + nn * todo[k], vps_workers[worker]->x.data());
                });
                stats.rotations += static_cast<int>(todo.size());
                for (size_t k = 0; k < next_carry.size(); ++k) {
                    const int i = next_carry_index[k];
                    next_carry[k].out.assign(buf + nn * i, buf + nn * (i + 1));
                }
                for (int i = 0; i < count; ++i) {
                    if (src[i] == i) continue;
                    const cd* from = src[i] >= 0 ? buf + nn * src[i] : carry[-1 - src[i]].out.data();
                    std::memcpy(buf + nn * i, from, nn * sizeof(cd));
                }
                carry.swap(next_carry);
                // Free precession: the diagonal phase of each voxel's summed
                // offset, rho(r, c) *= exp(i h W (m_r - m_c)).
                if (free_precession) {
                    vps_parallel(count, threads, [&](int i, int worker) {
                        double x, y, z;
                        vps_position(s, first + i, &x, &y, &z);
                        double W = 0.0;
                        for (int l = 0; l < s.ap; ++l) W += vps_offset(s, l, x, y, z);
                        cd* ph = vps_workers[worker]->ph.data();
                        for (int k = 0; k < n; ++k) ph[k] = std::polar(1.0, s.h * W * structure.m[k]);
                        cd* rho = buf + nn * i;
                        for (int r = 0; r < n; ++r)
                            for (int c = 0; c < n; ++c) rho[static_cast<size_t>(r) * n + c] *= ph[r] * std::conj(ph[c]);
                    });
                }
                stats.seconds_rotations += vps_now() - r2;
                // Propagators no later voxel needs.
                for (auto it = cache.begin(); it != cache.end();)
                    it = class_last[it->first] < first + count ? cache.erase(it) : std::next(it);
            }
            double w0 = vps_now();
            if (io.out) {
                errno = 0;
                if ((in_place && fseeko(io.out, at, SEEK_SET) != 0) ||
                    std::fwrite(buf, sizeof(cd), want, io.out) != want) {
                    binfh_print_error(io.out_path);
                    *stage = BINFH_STAGE_WRITE_MATRIX;
                    failed = true;
                    break;
                }
            }
            stats.seconds_write += vps_now() - w0;
            if (progress)
                for (int i = 0; i < count; ++i) progress(first + i, progress_ctx);
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Rotate3D: not enough memory for the shared propagation\n");
        *stage = BINFH_STAGE_CALLBACK;
        failed = true;
    }
    return !failed;
}

constexpr long long kHeaderBytes = BINFH_HEADER_BYTES;

// The voxel matrices held between the sectors of a run.
struct VPSHeld {
    bool open = false;      // between vyn_spatial_run_begin and _end
    bool lost = false;      // a sector failed half-way: the held state is gone
    bool resident = false;  // in mem; otherwise in scratch (store_path, moved in place)
    int n = 0, voxels = 0;
    std::vector<cd> mem;
    FILE* scratch = nullptr;
    std::string path, store_path;

    void release() {
        std::vector<cd>().swap(mem);
        if (scratch) binfh_store_abort(scratch, store_path.c_str());
        scratch = nullptr;
        resident = false;
        n = voxels = 0;
    }
    bool holding() const { return resident || scratch; }
};
VPSHeld vps_held;

long long vps_resident_budget() {
    const long long b = vyn_spatial_options.resident_bytes;
    if (b >= 0) return b;
    long long bound = 4LL << 30;
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0) bound = std::min(bound, static_cast<long long>(pages) * page / 2);
    return bound;
}

// Opens path (header (0, n, voxels)) for reading, or reports the stage.
FILE* vps_open_input(const char* path, const VYNSpatialSector& s, binfh_rewrite_stage* stage, int32_t* hdr_type,
                     int32_t* hdr_num1, int32_t* hdr_num2, binfh_status* status) {
    errno = 0;
    FILE* in = std::fopen(path, "rb");
    if (!in) {
        binfh_print_error(path);
        *stage = BINFH_STAGE_OPEN_INPUT;
        *status = BINFH_ERR_IO;
        return nullptr;
    }
    int32_t t, a, b;
    const binfh_status hs = binfh_read_header_checked_status(in, &t, &a, &b);
    if (hs != BINFH_OK) {
        std::fclose(in);
        *stage = BINFH_STAGE_READ_HEADER;
        *status = hs;
        return nullptr;
    }
    if (hdr_type) *hdr_type = t;
    if (hdr_num1) *hdr_num1 = a;
    if (hdr_num2) *hdr_num2 = b;
    if (t != BINFH_TYPE_DENSITY || a != s.n || b != s.ndx * s.ndy * s.ndz) {
        std::fclose(in);
        *stage = BINFH_STAGE_MISMATCH;
        *status = BINFH_ERR_BADARG;
        return nullptr;
    }
    return in;
}

// A sector of an open run: moves the held matrices, or on the first sector
// takes them from path (into memory, or into the scratch file).
binfh_status vps_run_sector(const char* path, const char* store_path, const VYNSpatialSector& s,
                            vyn_spatial_progress_fn progress, void* progress_ctx, binfh_rewrite_stage* stage,
                            int32_t* hdr_type, int32_t* hdr_num1, int32_t* hdr_num2) {
    VPSHeld& held = vps_held;
    const int voxels = s.ndx * s.ndy * s.ndz;
    const size_t nn = static_cast<size_t>(s.n) * s.n;
    if (held.lost) {
        *stage = BINFH_STAGE_CALLBACK;
        return BINFH_ERR_IO;
    }
    if (held.holding()) {
        if (held.n != s.n || held.voxels != voxels) {
            if (hdr_type) *hdr_type = BINFH_TYPE_DENSITY;
            if (hdr_num1) *hdr_num1 = held.n;
            if (hdr_num2) *hdr_num2 = held.voxels;
            *stage = BINFH_STAGE_MISMATCH;
            return BINFH_ERR_BADARG;
        }
        VPSIo io;
        io.in_path = io.out_path = held.store_path.c_str();
        if (held.resident)
            io.mem = held.mem.data();
        else
            io.in = io.out = held.scratch, io.body_at = kHeaderBytes;
        if (!vps_move(s, io, progress, progress_ctx, stage)) {
            // Partly moved: neither the previous nor the new state is left.
            held.release();
            held.lost = true;
            return BINFH_ERR_IO;
        }
        vyn_spatial_stats.held = held.resident ? 1 : 2;
        vps_add_totals(vyn_spatial_stats);
        return BINFH_OK;
    }
    // First sector: path is the state before it and stays so on failure.
    binfh_status status = BINFH_OK;
    FILE* in = vps_open_input(path, s, stage, hdr_type, hdr_num1, hdr_num2, &status);
    if (!in) return status;
    held.path = path;
    held.store_path = store_path;
    const long long bytes = static_cast<long long>(voxels) * static_cast<long long>(nn * sizeof(cd));
    bool ok;
    if (bytes <= vps_resident_budget()) {
        try {
            held.mem.resize(nn * voxels);
        } catch (const std::bad_alloc&) {
            held.mem.clear();
        }
    }
    if (held.mem.size() == nn * voxels) {
        const double r0 = vps_now();
        errno = 0;
        ok = std::fread(held.mem.data(), sizeof(cd), held.mem.size(), in) == held.mem.size();
        if (!ok) {
            binfh_print_error(path);
            *stage = BINFH_STAGE_READ_MATRIX;
        }
        vyn_spatial_stats.seconds_read = vps_now() - r0;
        VPSIo io;
        io.mem = held.mem.data();
        io.in_path = path;
        ok = ok && vps_move(s, io, progress, progress_ctx, stage);
        held.resident = ok;
    } else {
        errno = 0;
        FILE* out = std::fopen(store_path, "w+b");
        if (!out) {
            binfh_print_error(store_path);
            std::fclose(in);
            *stage = BINFH_STAGE_OPEN_STORE;
            return BINFH_ERR_IO;
        }
        if (WriteBinFileHeader_status(out, BINFH_TYPE_DENSITY, s.n, voxels) != BINFH_OK) {
            binfh_print_error(store_path);
            binfh_store_abort(out, store_path);
            std::fclose(in);
            *stage = BINFH_STAGE_STORE_HEADER;
            return BINFH_ERR_IO;
        }
        VPSIo io;
        io.in = in;
        io.out = out;
        io.in_path = path;
        io.out_path = store_path;
        ok = vps_move(s, io, progress, progress_ctx, stage);
        if (ok)
            held.scratch = out;
        else
            binfh_store_abort(out, store_path);
    }
    std::fclose(in);
    if (!ok) {
        std::vector<cd>().swap(held.mem);
        return BINFH_ERR_IO;
    }
    held.n = s.n;
    held.voxels = voxels;
    vyn_spatial_stats.held = held.resident ? 1 : 2;
    vps_add_totals(vyn_spatial_stats);
    return BINFH_OK;
}
}  // namespace

binfh_status vyn_spatial_rewrite_status(const char* path, const char* store_path, const VYNSpatialSector& s,
                                        vyn_spatial_progress_fn progress, void* progress_ctx,
                                        binfh_rewrite_stage* stage, int32_t* hdr_type, int32_t* hdr_num1,
                                        int32_t* hdr_num2) {
    binfh_rewrite_stage dummy;
    if (!stage) stage = &dummy;
    *stage = BINFH_STAGE_NONE;
    VYNSpatialStats& stats = vyn_spatial_stats;
    std::memset(&stats, 0, sizeof stats);
    const int n = s.n;
    if (!path || !store_path) return BINFH_ERR_NULLPTR;
    if (n < 1 || n > MATRIXMATH_DIM || s.ndx < 1 || s.ndy < 1 || s.ndz < 1 || s.ap < 0) return BINFH_ERR_BADARG;
    const int voxels = s.ndx * s.ndy * s.ndz;
    stats.voxels = voxels;
    if (vps_held.open)
        return vps_run_sector(path, store_path, s, progress, progress_ctx, stage, hdr_type, hdr_num1, hdr_num2);

    binfh_status status = BINFH_OK;
    FILE* in = vps_open_input(path, s, stage, hdr_type, hdr_num1, hdr_num2, &status);
    if (!in) return status;
    bool header_failed = false;
    FILE* st_file = binfh_store_begin_checked(store_path, BINFH_TYPE_DENSITY, n, voxels, &header_failed);
    if (!st_file) {
        std::fclose(in);
        *stage = header_failed ? BINFH_STAGE_STORE_HEADER : BINFH_STAGE_OPEN_STORE;
        return BINFH_ERR_IO;
    }
    VPSIo io;
    io.in = in;
    io.out = st_file;
    io.in_path = path;
    io.out_path = store_path;
    const bool ok = vps_move(s, io, progress, progress_ctx, stage);
    std::fclose(in);
    if (!ok) {
        binfh_store_abort(st_file, store_path);
        return BINFH_ERR_IO;
    }
    const double c0 = vps_now();
    if (!binfh_store_commit(st_file, store_path, path)) {
        *stage = BINFH_STAGE_COMMIT;
        return BINFH_ERR_IO;
    }
    stats.seconds_commit = vps_now() - c0;
    vps_add_totals(stats);
    return BINFH_OK;
}

void vyn_spatial_run_begin() {
    vps_held.release();
    vps_held.lost = false;
    vps_held.open = true;
}

bool vyn_spatial_run_end(binfh_rewrite_stage* stage) {
    binfh_rewrite_stage dummy;
    if (!stage) stage = &dummy;
    *stage = BINFH_STAGE_NONE;
    VPSHeld& held = vps_held;
    const bool was_open = held.open, lost = held.lost;
    held.open = false;
    held.lost = false;
    if (!was_open || lost) {
        held.release();
        return !lost;
    }
    if (!held.holding()) return true;
    const double c0 = vps_now();
    bool ok = true;
    const char* store_path = held.store_path.c_str();
    if (held.resident) {
        bool header_failed = false;
        FILE* st = binfh_store_begin_checked(store_path, BINFH_TYPE_DENSITY, held.n, held.voxels, &header_failed);
        if (!st) {
            *stage = header_failed ? BINFH_STAGE_STORE_HEADER : BINFH_STAGE_OPEN_STORE;
            ok = false;
        } else {
            errno = 0;
            if (std::fwrite(held.mem.data(), sizeof(cd), held.mem.size(), st) != held.mem.size()) {
                binfh_print_error(store_path);
                binfh_store_abort(st, store_path);
                *stage = BINFH_STAGE_WRITE_MATRIX;
                ok = false;
            } else if (!binfh_store_commit(st, store_path, held.path.c_str())) {
                *stage = BINFH_STAGE_COMMIT;
                ok = false;
            }
        }
    } else {
        FILE* st = held.scratch;
        held.scratch = nullptr;
        if (!binfh_store_commit(st, store_path, held.path.c_str())) {
            *stage = BINFH_STAGE_COMMIT;
            ok = false;
        }
    }
    held.release();
    vyn_spatial_totals.seconds_commit += vps_now() - c0;
    return ok;
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
