// 1D/2D sector propagation on exact factorisations (see vyn_prop1d_fast.h).
#include "vyn_prop1d_fast.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "matrixmathexp.h"
#include "vyn_prop_fast.h"
#include "vyn_prop_internal.h"
#include "vynworkers.h"

VYN1DOptions vyn_1d_options;
VYN1DStats vyn_1d_stats;

void VYN1DOptions_Reset() {
    vyn_1d_options.method = VYN_1D_FAST;
    vyn_1d_options.threads = 0;
}

namespace {
using cd = std::complex<double>;
constexpr double kPi = 3.14159265358979323846;
constexpr int kSegments = 4;  // chain segments of a long sector (fixed: the bytes must not depend on threads)
constexpr int kSegmentMinSamples = 64;
constexpr int kSeriesMaxN = 128;  // node factors by the cos / sin series up to this size (measured)

struct p1f_options_initialiser {
    p1f_options_initialiser() { VYN1DOptions_Reset(); }
} p1f_options_init_instance;

double p1f_now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

// ---------------------------------------------------------------------------
// Operator structure: izgrad diagonal (m_k), hc real symmetric and
// block-diagonal in m, ixtot real symmetric between states with
// |m_r - m_c| = 1, iytot = -i [izgrad, ixtot]. Then
//   xb ixtot + yb iytot = R (b ixtot) R^dagger,  R = exp(-i phi izgrad),
// b = |(xb, yb)|, phi = atan2(yb, xb), and R commutes with hc and izgrad.
// ---------------------------------------------------------------------------
bool p1f_structured(int n, const VYN1DOperators& o, std::vector<double>& m) {
    m.assign(n, 0.0);
    double scale = 1.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            scale = std::fmax(scale, std::fmax(std::abs((*o.hc)(r, c)), std::abs((*o.ixtot)(r, c))));
    const double tol = 1e-13 * scale;
    for (int r = 1; r <= n; ++r) {
        m[r - 1] = (*o.izgrad)(r, r).real();
        if ((*o.izgrad)(r, r).imag() != 0.0) return false;
    }
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            if (r != c && (*o.izgrad)(r, c) != cd(0.0, 0.0)) return false;
            const cd hv = (*o.hc)(r, c), xv = (*o.ixtot)(r, c), yv = (*o.iytot)(r, c);
            const double dm = m[r - 1] - m[c - 1];
            if (std::fabs(hv.imag()) > tol || std::fabs(hv.real() - (*o.hc)(c, r).real()) > tol) return false;
            // m_k of a spin-1 carries rounding: equal within 1e-9 means the same m.
            if (std::fabs(dm) > 1e-9 && std::fabs(hv.real()) > tol) return false;
            if (std::fabs(xv.imag()) > tol || std::fabs(xv.real() - (*o.ixtot)(c, r).real()) > tol) return false;
            if (std::fabs(xv.real()) > tol && std::fabs(std::fabs(dm) - 1.0) > 1e-9) return false;
            if (std::abs(yv - cd(0.0, -dm) * xv) > tol) return false;
        }
    return true;
}

// ph[k] = exp(-i phi m_k), the diagonal of R.
void p1f_phases(int n, const std::vector<double>& m, double phi, cd* ph) {
    for (int k = 0; k < n; ++k) ph[k] = std::polar(1.0, -phi * m[k]);
}

void p1f_identity(int n, CMatrix& out) {
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) out(r, c) = r == c ? cd(1.0, 0.0) : cd(0.0, 0.0);
}

// ---------------------------------------------------------------------------
// Constant factor exp(-i H t) of one sample (x, y): from the eigen-
// decomposition of the real symmetric H~ = hc + offset izgrad + b ixtot
// (kept for the rows of an evolution sector), P = R V e^{-i Lambda t} V^T R^dagger.
// ---------------------------------------------------------------------------
struct P1FEig {
    bool ok = false;
    int n = 0;
    std::vector<double> vt, lam;  // V^T (row j: eigenvector j), eigenvalues
    std::vector<cd> ph, z, packed;
    MatrixSymEigWork work;
};

// H~ = hc + offset izgrad + b ixtot (real symmetric, row-major) into out.
void p1f_real_hamiltonian(const VYN1DSector& s, double b, const std::vector<double>& m, double* out) {
    const int n = s.n;
    const VYN1DOperators& o = s.ops;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            out[static_cast<size_t>(r - 1) * n + c - 1] =
                (*o.hc)(r, c).real() + b * (*o.ixtot)(r, c).real() + (r == c ? s.offset * m[r - 1] : 0.0);
}

// b: the (signed) amplitude along the axis of phase phi.
bool p1f_eig_prepare(const VYN1DSector& s, double b, double phi, const std::vector<double>& m, P1FEig& e) {
    const int n = s.n;
    e.n = n;
    e.vt.resize(static_cast<size_t>(n) * n);
    e.lam.resize(n);
    e.ph.resize(n);
    e.z.resize(static_cast<size_t>(n) * n);
    e.packed.resize(static_cast<size_t>(n) * n);
    p1f_real_hamiltonian(s, b, m, e.vt.data());
    p1f_phases(n, m, phi, e.ph.data());
    e.ok = matrixmath_sym_eig(n, e.vt.data(), n, e.lam.data(), e.work);
    return e.ok;
}

// e.packed = V e^{-i Lambda t} V^T.
void p1f_eig_packed(P1FEig& e, double t) {
    const int n = e.n;
    for (int k = 0; k < n; ++k) {
        const cd f = std::polar(1.0, -e.lam[k] * t);
        for (int j = 0; j < n; ++j) e.z[static_cast<size_t>(k) * n + j] = f * e.vt[static_cast<size_t>(k) * n + j];
    }
    matrixmath_packed_real_left(n, true, e.vt.data(), e.z.data(), e.packed.data());
}

void p1f_eig_factor(P1FEig& e, double t, CMatrix& out) {
    const int n = e.n;
    p1f_eig_packed(e, t);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            out(r + 1, c + 1) = e.packed[static_cast<size_t>(r) * n + c] * e.ph[r] * std::conj(e.ph[c]);
}

// ---------------------------------------------------------------------------
// Shaped sector: the factor of sample l is R_l U(b_l) R_l^dagger with
// U(b) = exp(-i (hc + offset izgrad + b ixtot) h) interpolated in b over
// [c - r, c + r] at the Chebyshev nodes c + r cos(j pi / d). For complex
// t = (b - c) / r the Hermitian part of -i (...) h is r h Im(t) ixtot, so
// ||U|| <= exp(tau |Im t|) with tau = r |h| ||ixtot||_2, the bound the
// spatial engine's offset interpolation uses; d meets 1e-14 per factor.
// ---------------------------------------------------------------------------
struct P1FPlan {
    int n = 0, ap = 0, nodes = 0;
    double c = 0.0, r = 0.0;
    std::vector<double> amp, phi;  // per sample: amplitude and RF phase (phi unused when on_axis)
    bool on_axis = false;          // every sample on one axis of phase phi0 (amp signed)
    bool half = false;             // ... and a palindrome: P = R0 A A^T R0^dagger
    double phi0 = 0.0;
    const std::vector<double>* m = nullptr;
    std::vector<double> node;  // nodes x (two planes of n x n: Re U, Im U)
};

// Products run on planar storage (real and imaginary part as separate
// row-major n x n planes): a right-hand factor U is held as the planes Re U,
// Im U - Re U and Re U + Im U, and P U costs three real products (Gauss):
//   Re = (Pr + Pi) Ur - Pi (Ur + Ui),  Im = (Pr + Pi) Ur + Pr (Ui - Ur).
// The nodes are kept as the two planes Re U, Im U, so a sample's U(b) is a
// real combination of them (two planes, not three, pass through the cache);
// the third plane is formed from the two; the phases R_l act on the chain as
// diagonal scalings.
constexpr int kBatch = 8;  // samples combined from the nodes at once

struct P1FWorker {
    P1FEig eig;              // of the node factors (large n)
    MatrixRealExpWork texp;  // ... (small n)
    std::vector<double> hr;
    std::vector<double> a, u2, u3, ps, w;
    std::vector<cd> ph, prev;
    std::vector<cd> rx, rz, rp;  // row moves: rotation scratch, evolution factor
    void size(int n, int nodes) {
        const size_t nn = static_cast<size_t>(n) * n;
        a.resize(2 * nn);
        u2.resize(kBatch * 2 * nn);
        u3.resize(3 * nn);
        ps.resize(nn);
        w.resize(static_cast<size_t>(kBatch) * nodes);
        ph.resize(n);
        prev.resize(n);
    }
};

// out (two planes) = p (two planes) times u (three planes); out must not be p.
void p1f_mult(int n, const double* p, const double* u, double* out, double* ps) {
    const size_t nn = static_cast<size_t>(n) * n;
    const double *pr = p, *pi = p + nn;
    const double *ur = u, *ud = u + nn, *us = u + 2 * nn;
    double *orr = out, *oi = out + nn;
    for (size_t i = 0; i < nn; ++i) ps[i] = pr[i] + pi[i];
    matrixmath_real_gemm(n, n, n, 1.0, ps, n, ur, n, 0.0, orr, n);
    matrixmath_real_gemm(n, n, n, 1.0, pr, n, ud, n, 0.0, oi, n);
    for (size_t i = 0; i < nn; ++i) oi[i] += orr[i];
    matrixmath_real_gemm(n, n, n, -1.0, pi, n, us, n, 1.0, orr, n);
}

// Two planes into the three of a right-hand factor.
void p1f_three_planes(size_t nn, const double* two, double* three) {
    for (size_t i = 0; i < nn; ++i) {
        three[i] = two[i];
        three[nn + i] = two[nn + i] - two[i];
        three[2 * nn + i] = two[i] + two[nn + i];
    }
}

// Column c of the two-plane p times d[c].
void p1f_scale_columns(int n, double* p, const cd* d) {
    const size_t nn = static_cast<size_t>(n) * n;
    for (int r = 0; r < n; ++r) {
        double* pr = p + static_cast<size_t>(r) * n;
        double* pi = pr + nn;
        for (int c = 0; c < n; ++c) {
            const double re = pr[c] * d[c].real() - pi[c] * d[c].imag();
            pi[c] = pr[c] * d[c].imag() + pi[c] * d[c].real();
            pr[c] = re;
        }
    }
}

// out (two planes) = U(l0) ... U(l1 - 1), U(l) = R_l U(b_l) R_l^dagger:
// out = R_l0 U(b_l0) (R_l0^dagger R_l0+1) U(b_l0+1) ... U(b_l1-1) R_l1-1^dagger,
// one product and one diagonal scaling per sample.
void p1f_segment(const P1FPlan& p, int l0, int l1, double* out, P1FWorker& wk) {
    const int n = p.n, q = p.nodes;
    const size_t nn = static_cast<size_t>(n) * n;
    wk.size(n, q);
    // The running product alternates between out and wk.a; it starts where
    // the last product lands in out.
    double* buf[2] = {out, wk.a.data()};
    int cur = (l1 - l0 - 1) % 2;
    for (int c0 = l0; c0 < l1; c0 += kBatch) {
        const int cnt = std::min(kBatch, l1 - c0);
        for (int i = 0; i < cnt; ++i) {
            const double b = p.amp[c0 + i];
            vps_interp_weights(q, p.r > 0.0 ? (b - p.c) / p.r : 0.0, wk.w.data() + static_cast<size_t>(i) * q);
        }
        vps_combine(cnt, static_cast<int>(2 * nn), q, wk.w.data(), p.node.data(), wk.u2.data());
        for (int i = 0; i < cnt; ++i) {
            const int l = c0 + i;
            // The three planes of one sample at a time (less memory to touch).
            p1f_three_planes(nn, wk.u2.data() + static_cast<size_t>(i) * 2 * nn, wk.u3.data());
            const double* u = wk.u3.data();
            if (p.on_axis) {
                // No phases inside the chain (R0 is applied to the whole sector).
                if (l == l0) {
                    std::memcpy(buf[cur], u, sizeof(double) * nn);
                    for (size_t k = 0; k < nn; ++k) buf[cur][nn + k] = u[nn + k] + u[k];
                } else {
                    p1f_mult(n, buf[cur], u, buf[1 - cur], wk.ps.data());
                    cur = 1 - cur;
                }
                continue;
            }
            p1f_phases(n, *p.m, p.phi[l], wk.ph.data());
            if (l == l0) {
                // R_l0 U: rows scaled.
                double *pr = buf[cur], *pi = pr + nn;
                for (int r = 0; r < n; ++r)
                    for (int c = 0; c < n; ++c) {
                        const size_t k = static_cast<size_t>(r) * n + c;
                        const cd v = wk.ph[r] * cd(u[k], u[nn + k] + u[k]);
                        pr[k] = v.real();
                        pi[k] = v.imag();
                    }
            } else {
                for (int k = 0; k < n; ++k) wk.prev[k] = std::conj(wk.prev[k]) * wk.ph[k];
                p1f_scale_columns(n, buf[cur], wk.prev.data());
                p1f_mult(n, buf[cur], u, buf[1 - cur], wk.ps.data());
                cur = 1 - cur;
            }
            std::swap(wk.prev, wk.ph);
        }
    }
    if (p.on_axis) return;
    for (int k = 0; k < n; ++k) wk.prev[k] = std::conj(wk.prev[k]);
    p1f_scale_columns(n, out, wk.prev.data());
}

struct P1FScratch {
    std::vector<double> m;
    P1FEig eig;
    P1FPlan plan;
    std::vector<std::unique_ptr<P1FWorker>> workers;
    std::vector<std::vector<double>> seg;
    std::vector<double> u3, u3t, ab;
    CMatrix tmp;
};
P1FScratch* p1f_scratch = nullptr;

P1FScratch& p1f_get_scratch() {
    if (!p1f_scratch) p1f_scratch = new P1FScratch;
    return *p1f_scratch;
}

int p1f_thread_count() {
    int t = vyn_1d_options.threads;
    if (t <= 0) {
        t = vyn_online_processors();
    }
    return t > kSegments ? kSegments : t;
}

// BLAS runs single-threaded while the workers run: every product is then
// computed by the same code whatever the worker count.
struct P1FBlasSingleThread {
    int saved;
    P1FBlasSingleThread() : saved(matrixmath_set_blas_threads(1)) {}
    ~P1FBlasSingleThread() { matrixmath_set_blas_threads(saved); }
};

// Below 128 states BLAS's own threads cost more than they bring (a 64 x 64 product is
// tens of microseconds): the serial parts of the fast path then run BLAS single-threaded
// too, whatever OPENBLAS_NUM_THREADS says.
struct P1FBlasSmall {
    int saved = -1;
    explicit P1FBlasSmall(int n) {
        if (n <= 128) saved = matrixmath_set_blas_threads(1);
    }
    ~P1FBlasSmall() {
        if (saved >= 0) matrixmath_set_blas_threads(saved);
    }
};

// Runs f(i, worker) for the tasks i = 0..tasks-1 on the workers (task i on
// worker i mod threads), BLAS single-threaded meanwhile.
template <class F>
void p1f_parallel(int tasks, F f) {
    P1FScratch& sc = p1f_get_scratch();
    const int threads = std::max(1, std::min(p1f_thread_count(), tasks));
    while (static_cast<int>(sc.workers.size()) < threads) sc.workers.emplace_back(new P1FWorker);
    P1FBlasSingleThread blas_guard;
    vyn_workers_for(threads, tasks, [&](int i, int w) { f(i, *sc.workers[w]); });
}

// Three planes of the transpose of the two-plane a.
void p1f_transpose_three(int n, const double* a, double* three) {
    const size_t nn = static_cast<size_t>(n) * n;
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) {
            const size_t k = static_cast<size_t>(r) * n + c, t = static_cast<size_t>(c) * n + r;
            three[k] = a[t];
            three[nn + k] = a[nn + t] - a[t];
            three[2 * nn + k] = a[t] + a[nn + t];
        }
}

// The chain of an interpolated plan: kSegments segments (one when the
// sector is short) on the workers, then (S0 S1)(S2 S3). A palindrome on one
// axis runs the first half A only: its factors are complex symmetric
// (exp of -i h times a real symmetric matrix), so the second half is A^T and
// P = R0 A [W_mid] A^T R0^dagger.
void p1f_chain(const P1FPlan& p, CMatrix& out) {
    P1FScratch& sc = p1f_get_scratch();
    const int n = p.n;
    const size_t nn = static_cast<size_t>(n) * n;
    const int len = p.half ? p.ap / 2 : p.ap;
    const int segs = len >= kSegmentMinSamples ? kSegments : 1;
    sc.seg.resize(kSegments);
    for (std::vector<double>& v : sc.seg) v.resize(2 * nn);
    p1f_parallel(segs, [&](int k, P1FWorker& wk) {
        p1f_segment(p, k * len / segs, (k + 1) * len / segs, sc.seg[k].data(), wk);
    });
    P1FBlasSingleThread blas_guard;
    sc.u3.resize(3 * nn);
    sc.ab.resize(2 * nn);
    double* ps = sc.workers[0]->ps.data();
    double* result = sc.seg[0].data();
    if (segs > 1) {
        p1f_three_planes(nn, sc.seg[1].data(), sc.u3.data());
        p1f_mult(n, sc.seg[0].data(), sc.u3.data(), sc.ab.data(), ps);  // S0 S1
        p1f_three_planes(nn, sc.seg[3].data(), sc.u3.data());
        p1f_mult(n, sc.seg[2].data(), sc.u3.data(), sc.seg[1].data(), ps);  // S2 S3
        p1f_three_planes(nn, sc.seg[1].data(), sc.u3.data());
        p1f_mult(n, sc.ab.data(), sc.u3.data(), sc.seg[0].data(), ps);
    }
    if (p.half) {
        sc.u3t.resize(3 * nn);
        p1f_transpose_three(n, result, sc.u3t.data());  // A^T
        if (p.ap % 2) {
            // A W_mid: the middle sample's factor from the nodes.
            P1FWorker& wk = *sc.workers[0];
            const int mid = p.ap / 2;
            vps_interp_weights(p.nodes, p.r > 0.0 ? (p.amp[mid] - p.c) / p.r : 0.0, wk.w.data());
            vps_combine(1, static_cast<int>(2 * nn), p.nodes, wk.w.data(), p.node.data(), wk.u2.data());
            p1f_three_planes(nn, wk.u2.data(), sc.u3.data());
            p1f_mult(n, result, sc.u3.data(), sc.ab.data(), ps);
            std::swap(sc.ab, sc.seg[0]);
            result = sc.seg[0].data();
        }
        p1f_mult(n, result, sc.u3t.data(), sc.seg[1].data(), ps);
        result = sc.seg[1].data();
    }
    std::vector<cd>& ph = sc.workers[0]->ph;
    for (int k = 0; k < n; ++k) ph[k] = p.on_axis ? std::polar(1.0, -p.phi0 * (*p.m)[k]) : cd(1.0, 0.0);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            out(r + 1, c + 1) =
                cd(result[static_cast<size_t>(r) * n + c], result[nn + static_cast<size_t>(r) * n + c]) *
                (ph[r] * std::conj(ph[c]));
}

// Amplitudes and phases of the samples; on one axis (every sample a signed
// multiple of (cos phi0, sin phi0), the first nonzero sample giving phi0)
// the amplitudes are signed and the phase is phi0 throughout.
void p1f_amplitudes(const VYN1DSector& s, P1FPlan& p) {
    p.amp.resize(s.ap);
    p.phi.resize(s.ap);
    p.phi0 = 0.0;
    for (int l = 0; l < s.ap; ++l)
        if (s.xb[l] != 0.0 || s.yb[l] != 0.0) {
            p.phi0 = std::atan2(s.yb[l], s.xb[l]);
            break;
        }
    const double cs = std::cos(p.phi0), sn = std::sin(p.phi0);
    p.on_axis = true;
    for (int l = 0; l < s.ap && p.on_axis; ++l)
        p.on_axis = std::fabs(s.xb[l] * sn - s.yb[l] * cs) <= 1e-15 * std::hypot(s.xb[l], s.yb[l]);
    p.half = p.on_axis && s.ap >= 2;
    for (int l = 0; l < s.ap; ++l) {
        p.amp[l] = p.on_axis ? s.xb[l] * cs + s.yb[l] * sn : std::hypot(s.xb[l], s.yb[l]);
        p.phi[l] = std::atan2(s.yb[l], s.xb[l]);
        if (s.xb[l] != s.xb[s.ap - 1 - l] || s.yb[l] != s.yb[s.ap - 1 - l]) p.half = false;
    }
}

// The plan of a shaped sector: amplitude range, degree and node factors.
// False when the degree bound exceeds the largest degree.
bool p1f_plan(const VYN1DSector& s, P1FPlan& p) {
    P1FScratch& sc = p1f_get_scratch();
    const int n = s.n;
    p1f_amplitudes(s, p);
    double lo = HUGE_VAL, hi = -HUGE_VAL, norm_x = 0.0;
    for (int l = 0; l < s.ap; ++l) {
        lo = std::fmin(lo, p.amp[l]);
        hi = std::fmax(hi, p.amp[l]);
    }
    for (int r = 1; r <= n; ++r) {
        double row = 0.0;
        for (int c = 1; c <= n; ++c) row += std::abs((*s.ops.ixtot)(r, c));
        norm_x = std::fmax(norm_x, row);
    }
    p.n = n;
    p.ap = s.ap;
    p.m = &sc.m;
    p.c = 0.5 * (lo + hi);
    p.r = 0.5 * (hi - lo);
    int d = 0;
    if (p.r > 0.0) {
        d = vps_interp_degree(p.r * std::fabs(s.h) * norm_x);
        if (d < 0) return false;
    }
    // Signed amplitudes of both signs: on [-R, R] the nodes come in pairs
    // b, -b, and U(-b) = Z U(b) Z with Z = diag((-1)^(m_k - m_1)) (Z ixtot Z =
    // -ixtot, Z commutes with hc and izgrad), so only the nodes with b >= 0
    // are formed. Taken when that forms fewer factors.
    bool mirror = false;
    if (p.on_axis && lo < 0.0 && hi > 0.0) {
        const double big = std::fmax(-lo, hi);
        const int ds = vps_interp_degree(big * std::fabs(s.h) * norm_x);
        if (ds > 0 && ds / 2 + 1 < d + 1) {
            mirror = true;
            d = ds;
            p.c = 0.0;
            p.r = big;
        }
    }
    p.nodes = d + 1;
    const size_t nn = static_cast<size_t>(n) * n;
    if (p.node.size() < p.nodes * 2 * nn) p.node.resize(p.nodes * 2 * nn);  // grows only: no zeroing per run
    const int formed = mirror ? d / 2 + 1 : p.nodes;
    // Node j: U(b_j) = exp(-i h H~(b_j)), below kSeriesMaxN by the real
    // cos / sin series (about a third of the cost of dsyevd at n = 64, the
    // same at n = 256), from there on as V e^{-i Lambda h} V^T from the
    // eigen-decomposition of H~(b_j).
    std::vector<char> ok(formed, 0);
    p1f_parallel(formed, [&](int j, P1FWorker& wk) {
        const double b = d == 0 ? p.c : p.c + p.r * std::cos(kPi * j / d);
        double* out = p.node.data() + j * 2 * nn;
        if (n <= kSeriesMaxN) {
            wk.hr.resize(nn);
            p1f_real_hamiltonian(s, b, sc.m, wk.hr.data());
            ok[j] = matrixmath_exp_real_sym(n, wk.hr.data(), s.h, out, out + nn, wk.texp) ? 1 : 0;
            return;
        }
        if (!p1f_eig_prepare(s, b, 0.0, sc.m, wk.eig)) return;
        p1f_eig_packed(wk.eig, s.h);
        for (size_t k = 0; k < nn; ++k) {
            out[k] = wk.eig.packed[k].real();
            out[nn + k] = wk.eig.packed[k].imag();
        }
        ok[j] = 1;
    });
    for (char f : ok)
        if (!f) return false;
    if (mirror) {
        // Node d - j (amplitude -b_j) from node j: entry (r, c) times z_r z_c.
        std::vector<double> z(n);
        for (int k = 0; k < n; ++k) z[k] = std::llround(sc.m[k] - sc.m[0]) % 2 ? -1.0 : 1.0;
        for (int j = formed; j <= d; ++j) {
            const double* from = p.node.data() + (d - j) * 2 * nn;
            double* to = p.node.data() + j * 2 * nn;
            for (int r = 0; r < n; ++r)
                for (int c = 0; c < n; ++c) {
                    const size_t k = static_cast<size_t>(r) * n + c;
                    to[k] = z[r] * z[c] * from[k];
                    to[nn + k] = z[r] * z[c] * from[nn + k];
                }
        }
        vyn_1d_stats.mirrored += p.nodes - formed;
    }
    vyn_1d_stats.nodes += formed;
    return true;
}

bool p1f_all_equal(const double* xb, const double* yb, int ap) {
    for (int l = 1; l < ap; ++l)
        if (xb[l] != xb[0] || yb[l] != yb[0]) return false;
    return true;
}

// ---------------------------------------------------------------------------
// Sharing: propagators of earlier sectors, keyed by the exact samples, the
// time step, the offset and the id of the operator set.
// ---------------------------------------------------------------------------
struct P1FCached {
    int n, ap;
    double h, offset;
    uint64_t ops;
    std::vector<double> xb, yb;
    std::vector<cd> P;
};
constexpr size_t kCacheEntries = 8;
// The entries keep their storage when the cache is cleared (a run clears it
// at its start): no allocation, and no page faults, per run.
std::vector<P1FCached> p1f_cache;
size_t p1f_cache_used = 0, p1f_cache_next = 0;

// The operator set the entries were formed with: a copy of the last set
// seen and its id; a set that differs in any bit gets a new id (an exact
// comparison, cheaper than hashing the matrices).
struct P1FOpsKey {
    int n = 0;
    uint64_t id = 0;
    std::vector<cd> ops;
    uint64_t structured_id = 0;  // id whose structure test is in structured / m
    bool structured = false;
    std::vector<double> m;
};
P1FOpsKey p1f_ops_key;

uint64_t p1f_ops_id(int n, const VYN1DOperators& o) {
    P1FOpsKey& k = p1f_ops_key;
    const CMatrix* ms[4] = {o.hc, o.izgrad, o.ixtot, o.iytot};
    const size_t row = sizeof(cd) * n;
    bool same = k.n == n && k.id != 0;
    for (int i = 0; i < 4 && same; ++i)
        for (int r = 1; r <= n && same; ++r)
            same = std::memcmp(&(*ms[i])(r, 1), k.ops.data() + (static_cast<size_t>(i) * n + r - 1) * n, row) == 0;
    if (same) return k.id;
    k.n = n;
    k.ops.resize(4 * static_cast<size_t>(n) * n);
    for (int i = 0; i < 4; ++i)
        for (int r = 1; r <= n; ++r)
            std::memcpy(k.ops.data() + (static_cast<size_t>(i) * n + r - 1) * n, &(*ms[i])(r, 1), row);
    return ++k.id;
}

// p1f_structured of the operator set id, tested once per set.
bool p1f_structured_once(int n, const VYN1DOperators& o, uint64_t id, std::vector<double>& m) {
    P1FOpsKey& k = p1f_ops_key;
    if (k.structured_id != id || id == 0) {
        k.structured = p1f_structured(n, o, k.m);
        k.structured_id = id;
    }
    m = k.m;
    return k.structured;
}

P1FCached* p1f_cache_find(int n, const double* xb, const double* yb, int ap, double h, double offset, uint64_t ops) {
    for (size_t i = 0; i < p1f_cache_used; ++i) {
        P1FCached& e = p1f_cache[i];
        if (e.n == n && e.ap == ap && e.h == h && e.offset == offset && e.ops == ops &&
            std::memcmp(e.xb.data(), xb, sizeof(double) * ap) == 0 &&
            std::memcmp(e.yb.data(), yb, sizeof(double) * ap) == 0)
            return &e;
    }
    return nullptr;
}

void p1f_cache_put(int n, const double* xb, const double* yb, int ap, double h, double offset, uint64_t ops,
                   const CMatrix& P) {
    if (p1f_cache.size() < kCacheEntries) p1f_cache.resize(kCacheEntries);
    size_t slot;
    if (p1f_cache_used < kCacheEntries) {
        slot = p1f_cache_used++;
    } else {
        slot = p1f_cache_next;
        p1f_cache_next = (p1f_cache_next + 1) % kCacheEntries;
    }
    P1FCached& e = p1f_cache[slot];
    e.n = n;
    e.ap = ap;
    e.h = h;
    e.offset = offset;
    e.ops = ops;
    e.xb.assign(xb, xb + ap);
    e.yb.assign(yb, yb + ap);
    e.P.resize(static_cast<size_t>(n) * n);
    for (int r = 1; r <= n; ++r) std::memcpy(e.P.data() + static_cast<size_t>(r - 1) * n, &P(r, 1), sizeof(cd) * n);
}

// The propagator of s (no sharing); ops: the id of its operator set.
void p1f_form(const VYN1DSector& s, uint64_t ops, CMatrix& out) {
    P1FScratch& sc = p1f_get_scratch();
    const bool structured = p1f_structured_once(s.n, s.ops, ops, sc.m);
    if (p1f_all_equal(s.xb, s.yb, s.ap)) {
        ++vyn_1d_stats.constant;
        const double t = s.ap * s.h;
        if (structured &&
            p1f_eig_prepare(s, std::hypot(s.xb[0], s.yb[0]), std::atan2(s.yb[0], s.xb[0]), sc.m, sc.eig)) {
            p1f_eig_factor(sc.eig, t, out);
            return;
        }
        vyn_fast_pulse_propagator(s.n, s.xb, s.yb, 1, t, s.offset, *s.ops.hc, *s.ops.izgrad, *s.ops.ixtot, *s.ops.iytot,
                                  out);
        return;
    }
    if (structured && p1f_plan(s, sc.plan)) {
        ++vyn_1d_stats.interpolated;
        if (sc.plan.half) ++vyn_1d_stats.halved;
        p1f_chain(sc.plan, out);
        return;
    }
    // No interpolation: one exact factor per sample on the spatial engine's path.
    vyn_1d_stats.sample_factors += s.ap;
    vyn_fast_pulse_propagator(s.n, s.xb, s.yb, s.ap, s.h, s.offset, *s.ops.hc, *s.ops.izgrad, *s.ops.ixtot,
                              *s.ops.iytot, out);
}
}  // namespace

void vyn_1d_cache_clear() {
    p1f_cache_used = 0;
    p1f_cache_next = 0;
}

void vyn_1d_sector_propagator(int n, const double* xb, const double* yb, int ap, double h, double offset,
                              const VYN1DOperators& ops, CMatrix& out) {
    if (ap < 1 || h == 0.0) {
        p1f_identity(n, out);
        return;
    }
    const double t0 = p1f_now();
    P1FBlasSmall blas_guard(n);
    ++vyn_1d_stats.sectors;
    const uint64_t fp = p1f_ops_id(n, ops);
    if (const P1FCached* e = p1f_cache_find(n, xb, yb, ap, h, offset, fp)) {
        ++vyn_1d_stats.shared;
        for (int r = 1; r <= n; ++r)
            std::memcpy(&out(r, 1), e->P.data() + static_cast<size_t>(r - 1) * n, sizeof(cd) * n);
    } else {
        p1f_form(VYN1DSector{n, ap, h, offset, false, xb, yb, ops}, fp, out);
        p1f_cache_put(n, xb, yb, ap, h, offset, fp, out);
    }
    vyn_1d_stats.seconds_prop += p1f_now() - t0;
}

// ---------------------------------------------------------------------------
// Rows of dm.bin.
// ---------------------------------------------------------------------------
namespace {
struct P1FRows {
    VYN1DSector s{};
    bool evo_eig = false;  // constant evolution sector: rows from one eigen-decomposition
    bool have_last = false;
    CMatrix Pm;                            // propagator of a normal sector (or of a shaped evolution row)
    std::vector<cd> P, last_in, last_out;  // packed: Pm, the last row of the previous batch before and after
    std::vector<unsigned char> shared;
};
P1FRows* p1f_rows = nullptr;

void p1f_pack(int n, const CMatrix& m, cd* out) {
    for (int r = 1; r <= n; ++r) std::memcpy(out + static_cast<size_t>(r - 1) * n, &m(r, 1), sizeof(cd) * n);
}

// Propagator of evolution row j >= 2 of a constant sector (packed):
// R V e^{-i Lambda t} V^T R^dagger, t = (j - 1) T; z is n x n scratch.
void p1f_evo_factor(const P1FEig& e, double t, cd* z, cd* P) {
    const int n = e.n;
    for (int k = 0; k < n; ++k) {
        const cd f = std::polar(1.0, -e.lam[k] * t);
        for (int j = 0; j < n; ++j) z[static_cast<size_t>(k) * n + j] = f * e.vt[static_cast<size_t>(k) * n + j];
    }
    matrixmath_packed_real_left(n, true, e.vt.data(), z, P);
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) P[static_cast<size_t>(r) * n + c] *= e.ph[r] * std::conj(e.ph[c]);
}

// Rows of a normal sector: a row holding the same matrix as the row before
// (inputs compared before anything moves) takes that row's result; the
// others are rotated on the workers.
void p1f_move_normal_rows(P1FRows& rw, int count, cd* mats) {
    const int n = rw.s.n;
    const size_t nn = static_cast<size_t>(n) * n;
    rw.shared.assign(count, 0);
    for (int i = 0; i < count; ++i) {
        const cd* prev = i > 0 ? mats + (i - 1) * nn : (rw.have_last ? rw.last_in.data() : nullptr);
        rw.shared[i] = prev && std::memcmp(prev, mats + i * nn, sizeof(cd) * nn) == 0;
    }
    rw.last_in.assign(mats + (count - 1) * nn, mats + count * nn);
    p1f_parallel(count, [&](int i, P1FWorker& wk) {
        if (rw.shared[i]) return;
        wk.rx.resize(nn);
        matrixmath_packed_rotate(n, rw.P.data(), mats + i * nn, wk.rx.data());
    });
    for (int i = 0; i < count; ++i) {
        if (!rw.shared[i]) continue;
        ++vyn_1d_stats.rows_shared;
        const cd* from = i > 0 ? mats + (i - 1) * nn : rw.last_out.data();
        std::memcpy(mats + i * nn, from, sizeof(cd) * nn);
    }
    rw.last_out.assign(mats + (count - 1) * nn, mats + count * nn);
    rw.have_last = true;
}
}  // namespace

void vyn_1d_sector_begin(const VYN1DSector& s) {
    if (!p1f_rows) p1f_rows = new P1FRows;
    P1FRows& rw = *p1f_rows;
    rw.s = s;
    rw.have_last = false;
    rw.evo_eig = false;
    if (!s.evolution) {
        vyn_1d_sector_propagator(s.n, s.xb, s.yb, s.ap, s.h, s.offset, s.ops, rw.Pm);
        rw.P.resize(static_cast<size_t>(s.n) * s.n);
        p1f_pack(s.n, rw.Pm, rw.P.data());
        return;
    }
    P1FScratch& sc = p1f_get_scratch();
    if (s.ap >= 1 && p1f_all_equal(s.xb, s.yb, s.ap) && p1f_structured_once(s.n, s.ops, p1f_ops_id(s.n, s.ops), sc.m))
        rw.evo_eig = p1f_eig_prepare(s, std::hypot(s.xb[0], s.yb[0]), std::atan2(s.yb[0], s.xb[0]), sc.m, sc.eig);
}

void vyn_1d_move_rows(int first, int count, std::complex<double>* mats) {
    P1FRows& rw = *p1f_rows;
    const VYN1DSector& s = rw.s;
    const int n = s.n;
    const size_t nn = static_cast<size_t>(n) * n;
    if (count < 1) return;
    const double t0 = p1f_now();
    P1FBlasSmall blas_guard(n);
    vyn_1d_stats.rows_rotated += count;
    if (!s.evolution) {
        p1f_move_normal_rows(rw, count, mats);
    } else if (rw.evo_eig) {
        // Row j: j - 1 times the sector (row 1 stays); rows on the workers.
        const P1FEig& e = p1f_get_scratch().eig;
        p1f_parallel(count, [&](int i, P1FWorker& wk) {
            const int j = first + i;
            if (j == 1) return;
            wk.rx.resize(nn);
            wk.rz.resize(nn);
            wk.rp.resize(nn);
            p1f_evo_factor(e, (j - 1) * s.h * s.ap, wk.rz.data(), wk.rp.data());
            matrixmath_packed_rotate(n, wk.rp.data(), mats + i * nn, wk.rx.data());
        });
    } else {
        // Shaped evolution sector: each row's propagator by the fast path (on
        // the workers itself), the rows one after the other.
        P1FBlasSingleThread blas_guard;
        std::vector<cd>& x = rw.last_out;
        x.resize(nn);
        for (int i = 0; i < count; ++i) {
            const int j = first + i;
            if (j == 1) continue;
            vyn_1d_sector_propagator(n, s.xb, s.yb, s.ap, (j - 1) * s.h, s.offset, s.ops, rw.Pm);
            rw.P.resize(nn);
            p1f_pack(n, rw.Pm, rw.P.data());
            matrixmath_packed_rotate(n, rw.P.data(), mats + i * nn, x.data());
        }
    }
    vyn_1d_stats.seconds_rot += p1f_now() - t0;
}
