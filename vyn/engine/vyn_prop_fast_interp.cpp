// Offset interpolation of the class propagators of a group of classes.
#include <algorithm>
#include <cmath>

#include "vyn_prop_fast_internal.h"

namespace {
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
// count and the tile are; with AVX2 and FMA where the processor has them.
namespace {
// The loops of vps_combine, compiled once for the baseline and once with
// AVX2 and FMA (chosen at run time).
inline __attribute__((always_inline)) void vps_combine_body(int count, int len, int q, const double* weights,
                                                            const double* nodes, double* out) {
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

void vps_combine_plain(int count, int len, int q, const double* weights, const double* nodes, double* out) {
    vps_combine_body(count, len, q, weights, nodes, out);
}

__attribute__((target("avx2,fma"))) void vps_combine_avx2(int count, int len, int q, const double* weights,
                                                          const double* nodes, double* out) {
    vps_combine_body(count, len, q, weights, nodes, out);
}

const bool vps_have_avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}  // namespace

void vps_combine(int count, int len, int q, const double* weights, const double* nodes, double* out) {
    (vps_have_avx2 ? vps_combine_avx2 : vps_combine_plain)(count, len, q, weights, nodes, out);
}

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
