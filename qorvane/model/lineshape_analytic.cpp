// Closed-form spectra of lines without Gaussian decay (see the header).
#include "lineshape_analytic.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "qorvane_simd.h"

namespace {

const double kPi = 3.14159265358979323846;
const double kMaxExponent = 745.0;  // the FFT path zeroes points whose decay exponent exceeds this
const double kMinGap = 1.0e-4;      // smallest 1 - |z| taken in closed form

std::atomic<int> g_line_spectra{QORVANE_LINE_SPECTRA_ANALYTIC};

bool la_is_pow2(int n) { return n >= 2 && (n & (n - 1)) == 0 && n <= QORVANE_MAX_POINTS; }

// exp(-2 pi i m / N) for m = 0 .. N-1 into the context, from a quarter period of sines
// and cosines and the quarter-turn symmetries (exact there, and 4 times fewer calls).
void la_roots(QorvaneFitContext *ctx, int n) {
    if (ctx->roots_n == n) return;
    const int q = n / 4;
    double *re = ctx->root_re, *im = ctx->root_im;
    for (int m = 0; m <= q && m < n; ++m) {
        const double t = 2.0 * kPi * m / n;
        const double c = std::cos(t), s = std::sin(t);
        re[m] = c;
        im[m] = -s;
        if (q == 0) continue;  // n = 2: only m = 0 and m = 1 below
        if (m + q < n) re[m + q] = -s, im[m + q] = -c;
        if (m + 2 * q < n) re[m + 2 * q] = -c, im[m + 2 * q] = s;
        if (m + 3 * q < n) re[m + 3 * q] = s, im[m + 3 * q] = c;
    }
    if (q == 0) re[1] = -1.0, im[1] = 0.0;
    ctx->roots_n = n;
}

// z^p for the line's z = exp(-a + i w): exp(-a p) at the angle w p reduced mod 2 pi,
// with w = 2 pi r / N, so w p = 2 pi (r p mod N) / N.
void la_power(double a, double r, int n, long p, double *pr, double *pi) {
    const double mag = std::exp(-a * static_cast<double>(p));
    const double turns = std::fmod(r * static_cast<double>(p), static_cast<double>(n));
    const double t = 2.0 * kPi * turns / n;
    *pr = mag * std::cos(t);
    *pi = mag * std::sin(t);
}

// One line's constants for the per-point sums.
struct LaLine {
    int n, kmax, k0;
    double d, half;
    double zr, zi, zkr, zki, z0r, z0i;  // z, z^K, z^k0
    double pr, pi;                      // c0 exp(i psi)
    double wl, wf;                      // derivative factors of width and frequency
    const double *wre, *wim;            // exp(-2 pi i m / N)
};

struct LaOut {
    double *re, *im, *fre, *fim, *lre, *lim;
};

// Points j0 <= j < j1 of the spectrum (written at j + off), with kDeriv both derivatives.
// kPlain: all points kept (K = N, k0 = 0), so u^K = z^K and u^k0 = 1 need no table lookups.
template <bool kPlain, bool kDeriv>
QORVANE_SIMD_INLINE void la_points(const LaLine &L, const LaOut &o, int j0, int j1, int off) {
    const int mask = L.n - 1;
    const double *__restrict wre = L.wre;
    const double *__restrict wim = L.wim;
    double *__restrict ore = o.re + off;
    double *__restrict oim = o.im + off;
    double *__restrict fre = o.fre + off;
    double *__restrict fim = o.fim + off;
    double *__restrict lre = o.lre + off;
    double *__restrict lim = o.lim + off;
    // the constants as locals: the compiler need not reload them after every store
    const double zr = L.zr, zi = L.zi, zkr = L.zkr, zki = L.zki, z0r = L.z0r, z0i = L.z0i;
    const double half = L.half, pr = L.pr, pi = L.pi, wf = L.wf, wl = L.wl, d = L.d;
    const int k0 = L.k0, kmax = L.kmax, n = L.n;
    for (int j = j0; j < j1; ++j) {
        const double ur = zr * wre[j] - zi * wim[j], ui = zr * wim[j] + zi * wre[j];
        double akr = zkr, aki = zki, a0r = 1.0, a0i = 0.0;  // u^K, u^k0
        if (!kPlain) {
            if (kmax != n) {
                const int m = static_cast<int>((static_cast<long>(j) * kmax) & mask);
                akr = zkr * wre[m] - zki * wim[m];
                aki = zkr * wim[m] + zki * wre[m];
            }
            if (k0 > 0) {
                const int m = static_cast<int>((static_cast<long>(j) * k0) & mask);
                a0r = z0r * wre[m] - z0i * wim[m];
                a0i = z0r * wim[m] + z0i * wre[m];
            }
        }
        const double er = 1.0 - ur, ei = -ui;  // 1 - u
        const double inv = 1.0 / (er * er + ei * ei);
        const double nr = a0r - akr, ni = a0i - aki;  // u^k0 - u^K
        const double gr = (nr * er + ni * ei) * inv, gi = (ni * er - nr * ei) * inv;
        const double vr = gr - half, vi = gi;
        ore[j] = vr * pr - vi * pi;
        oim[j] = vr * pi + vi * pr;
        if (!kDeriv) continue;
        // sum_k k u^k = [(k0 u^k0 - K u^K)(1 - u) + u (u^k0 - u^K)] / (1 - u)^2
        const double tr = k0 * a0r - kmax * akr, ti = k0 * a0i - kmax * aki;
        const double sr0 = tr * er - ti * ei + (ur * nr - ui * ni);
        const double si0 = tr * ei + ti * er + (ur * ni + ui * nr);
        const double qr = (sr0 * er + si0 * ei) * inv, qi = (si0 * er - sr0 * ei) * inv;
        const double sr = (qr * er + qi * ei) * inv, si = (qi * er - qr * ei) * inv;
        {  // i wf sum k u^k
            const double xr = -wf * si, xi = wf * sr;
            fre[j] = xr * pr - xi * pi;
            fim[j] = xr * pi + xi * pr;
        }
        {  // wl sum (k + d) u^k, the halved first point at k = 0
            const double xr = wl * (sr + d * vr), xi = wl * (si + d * vi);
            lre[j] = xr * pr - xi * pi;
            lim[j] = xr * pi + xi * pr;
        }
    }
}

// Every point: X_j lands on point (j + N/2) mod N, so two runs with a plain offset each.
QORVANE_SIMD_INLINE void la_all_points(const LaLine &L, const LaOut &o, bool plain, bool deriv) {
    const int n = L.n, h = n / 2;
    for (int part = 0; part < 2; ++part) {
        const int j0 = part == 0 ? 0 : h, j1 = part == 0 ? h : n, off = part == 0 ? h : -h;
        if (plain && !deriv)
            la_points<true, false>(L, o, j0, j1, off);
        else if (plain)
            la_points<true, true>(L, o, j0, j1, off);
        else if (!deriv)
            la_points<false, false>(L, o, j0, j1, off);
        else
            la_points<false, true>(L, o, j0, j1, off);
    }
}

QORVANE_TARGET_AVX2 void la_all_points_avx2(const LaLine &L, const LaOut &o, bool plain, bool deriv) {
    la_all_points(L, o, plain, deriv);
}

void la_all_points_plain(const LaLine &L, const LaOut &o, bool plain, bool deriv) { la_all_points(L, o, plain, deriv); }

}  // namespace

void qorvane_line_spectra_select(int which) {
    g_line_spectra.store(which == QORVANE_LINE_SPECTRA_FFT ? QORVANE_LINE_SPECTRA_FFT : QORVANE_LINE_SPECTRA_ANALYTIC);
}

int qorvane_line_spectra_selected() { return g_line_spectra.load(); }

bool ls_analytic_applies(const QorvaneFitContext *ctx, int line, double gauss, double lorentz) {
    const int n = ctx->n_pnts;
    if (ctx->line_spectra != QORVANE_LINE_SPECTRA_ANALYTIC || !la_is_pow2(n)) return false;
    if (gauss != 0.0 || !std::isfinite(lorentz) || ctx->ref_lineshape_on) return false;
    if (line >= 1 && line <= QORVANE_MAX_LINES && ctx->lsffit[line] == 1) return false;
    const double d = ctx->phi_1 / 360.0;
    if (!(d >= 0.0) || !std::isfinite(d)) return false;
    const int kmax = ctx->trunc < n ? ctx->trunc : n;
    const double a = kPi * std::fabs(lorentz) / n;
    if (kmax > 0 && a * (kmax - 1 + d) > kMaxExponent) return false;
    return -std::expm1(-a) >= kMinGap;
}

void ls_analytic_line(QorvaneFitContext *ctx, double area, double f, double lorentz, double phase_deg, double *out_re,
                      double *out_im, double *d_freq_re, double *d_freq_im, double *d_width_re, double *d_width_im) {
    const int n = ctx->n_pnts;
    const size_t bytes = sizeof(double) * static_cast<size_t>(n);
    const int kmax = ctx->trunc < n ? ctx->trunc : n;
    const int k0 = ctx->ignore < 0 ? 0 : ctx->ignore;
    if (kmax <= 0 || k0 >= kmax) {
        std::memset(out_re, 0, bytes), std::memset(out_im, 0, bytes);
        if (d_freq_re) std::memset(d_freq_re, 0, bytes), std::memset(d_freq_im, 0, bytes);
        if (d_width_re) std::memset(d_width_re, 0, bytes), std::memset(d_width_im, 0, bytes);
        return;
    }
    la_roots(ctx, n);
    LaLine L;
    L.n = n;
    L.kmax = kmax;
    L.k0 = k0;
    L.d = ctx->phi_1 / 360.0;
    const double r = f + n / 2;  // rotation in points: the line lands on point f after the N/2 rotation
    const double a = kPi * std::fabs(lorentz) / n;
    la_power(a, r, n, 1, &L.zr, &L.zi);
    la_power(a, r, n, kmax, &L.zkr, &L.zki);
    L.z0r = 1.0, L.z0i = 0.0;
    if (k0 > 0) la_power(a, r, n, k0, &L.z0r, &L.z0i);
    L.half = k0 == 0 ? 0.5 : 0.0;
    const double c0 = area * std::exp(-a * L.d);
    // the FFT path's phase: psi = phase - phi_1/2 + 2 pi (f + N/2) d / N
    const double psi = phase_deg * kPi / 180.0 - ctx->phi_1 * kPi / 360.0 + 2.0 * kPi * r * L.d / n;
    L.pr = c0 * std::cos(psi), L.pi = c0 * std::sin(psi);
    const double sgn = lorentz > 0.0 ? 1.0 : (lorentz < 0.0 ? -1.0 : 0.0);
    L.wl = -kPi * sgn / n;  // d/dL of the decay per point
    L.wf = 2.0 * kPi / n;   // d/df of the rotation per point (times i)
    L.wre = ctx->root_re, L.wim = ctx->root_im;
    // A derivative not asked for goes to the (otherwise unused) transform scratch: the kernel
    // writes both without a test per point.
    double *sink = ctx->fft_work;
    LaOut o = {out_re,
               out_im,
               d_freq_re ? d_freq_re : sink,
               d_freq_im ? d_freq_im : sink + n,
               d_width_re ? d_width_re : sink,
               d_width_im ? d_width_im : sink + n};
    const bool plain = kmax == n && k0 == 0, deriv = d_freq_re != nullptr || d_width_re != nullptr;
    if (qorvane_cpu_has_avx2())
        la_all_points_avx2(L, o, plain, deriv);
    else
        la_all_points_plain(L, o, plain, deriv);
}
