// Receiver signal from the eigen-decomposition of the precession operator.
#include "vynsignal_eig.h"

#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "matrixmathexp.h"

VYNSignalOptions vyn_signal_options;
VYNSignalStats vyn_signal_stats;

void VYNSignalOptions_Reset() { vyn_signal_options.method = VYN_SIGNAL_EIGEN; }

namespace {
using cd = std::complex<double>;

double vse_now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct vse_options_initialiser {
    vse_options_initialiser() { VYNSignalOptions_Reset(); }
} vse_options_init_instance;

// The decomposition, the operators in the eigenbasis and the time factors
// are kept for the next trace with the same operators and sampling (every
// row of a 2D run).
struct VSEScratch {
    int n = 0, np = 0;
    double acq = 0.0;
    std::vector<cd> key;  // Hprime, Ox, Oy of the kept decomposition
    std::vector<double> vt, lam;
    std::vector<cd> a, b, ox, oy, y;
    std::vector<double> m, er, ei, yr, yi;  // planes: [Mx; My] (2n x n), E (n x np), Y (2n x np)
    MatrixSymEigWork eig;
};
VSEScratch* vse_scratch = nullptr;

void vse_pack(int n, const CMatrix& m, cd* out) {
    for (int r = 1; r <= n; ++r) std::memcpy(out + static_cast<size_t>(r - 1) * n, &m(r, 1), sizeof(cd) * n);
}

void vse_transpose(int n, const cd* in, cd* out) {
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c) out[static_cast<size_t>(c) * n + r] = in[static_cast<size_t>(r) * n + c];
}

// a <- op(W) a op(W)^T for the real row-major W (op = transpose when
// transpose), through b: op(W) (op(W) a)^T = (op(W) a op(W)^T)^T.
void vse_similarity(int n, bool transpose, const double* w, cd* a, cd* b) {
    matrixmath_packed_real_left(n, transpose, w, a, b);
    vse_transpose(n, b, a);
    matrixmath_packed_real_left(n, transpose, w, a, b);
    vse_transpose(n, b, a);
}

bool vse_real_symmetric(int n, const CMatrix& h) {
    double scale = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) scale = std::fmax(scale, std::abs(h(r, c)));
    const double tol = 1e-13 * (scale > 0.0 ? scale : 1.0);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            if (std::fabs(h(r, c).imag()) > tol || std::fabs(h(r, c).real() - h(c, r).real()) > tol) return false;
    return true;
}

bool vse_same_key(int n, const CMatrix* const* ops, const std::vector<cd>& key) {
    if (key.size() != 3 * static_cast<size_t>(n) * n) return false;
    for (int i = 0; i < 3; ++i)
        for (int r = 1; r <= n; ++r)
            if (std::memcmp(&(*ops[i])(r, 1), key.data() + (static_cast<size_t>(i) * n + r - 1) * n, sizeof(cd) * n) !=
                0)
                return false;
    return true;
}

// Decomposes Hprime, moves Ox and Oy into its eigenbasis and tabulates the
// time factors E_ak = exp(-i lambda_a k dt) as two planes.
bool vse_prepare(int n, int np, double acq, const CMatrix& Hprime, const CMatrix& Ox, const CMatrix& Oy,
                 VSEScratch& s) {
    const CMatrix* ops[3] = {&Hprime, &Ox, &Oy};
    if (s.n == n && s.np == np && s.acq == acq && vse_same_key(n, ops, s.key)) return true;
    s.n = 0;
    const size_t nn = static_cast<size_t>(n) * n;
    s.key.resize(3 * nn);
    for (int i = 0; i < 3; ++i) vse_pack(n, *ops[i], s.key.data() + i * nn);
    s.vt.resize(nn);
    s.lam.resize(n);
    for (auto* v : {&s.a, &s.b, &s.ox, &s.oy, &s.y}) v->resize(nn);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) s.vt[static_cast<size_t>(r - 1) * n + c - 1] = Hprime(r, c).real();
    if (!matrixmath_sym_eig(n, s.vt.data(), n, s.lam.data(), s.eig)) return false;  // vt = V^T
    vse_pack(n, Ox, s.ox.data());
    vse_similarity(n, false, s.vt.data(), s.ox.data(), s.b.data());
    vse_pack(n, Oy, s.oy.data());
    vse_similarity(n, false, s.vt.data(), s.oy.data(), s.b.data());
    const size_t ne = static_cast<size_t>(n) * np;
    s.er.resize(ne);
    s.ei.resize(ne);
    const double dt = acq / np;
    for (int a = 0; a < n; ++a)
        for (int k = 0; k < np; ++k) {
            const cd e = std::polar(1.0, -s.lam[a] * k * dt);
            s.er[static_cast<size_t>(a) * np + k] = e.real();
            s.ei[static_cast<size_t>(a) * np + k] = e.imag();
        }
    s.n = n;
    s.np = np;
    s.acq = acq;
    ++vyn_signal_stats.decompositions;
    return true;
}

// Both channels at every sample: with M_ab = O~_ba rho~_ab (rows of Ox
// above those of Oy), Y = M conj(E) and signal_k = Re sum_a E_ak Y_ak.
void vse_signals(int n, int np, const cd* rho_t, VSEScratch& s, double* re_out, double* im_out) {
    const size_t nn = static_cast<size_t>(n) * n;
    s.m.resize(4 * nn);
    double* mr = s.m.data();   // 2n x n
    double* mi = mr + 2 * nn;  // 2n x n
    for (int ch = 0; ch < 2; ++ch) {
        const cd* o = ch == 0 ? s.ox.data() : s.oy.data();
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) {
                const cd v = o[static_cast<size_t>(b) * n + a] * rho_t[static_cast<size_t>(a) * n + b];
                mr[ch * nn + static_cast<size_t>(a) * n + b] = v.real();
                mi[ch * nn + static_cast<size_t>(a) * n + b] = v.imag();
            }
    }
    const size_t ny = 2 * static_cast<size_t>(n) * np;
    s.yr.resize(ny);
    s.yi.resize(ny);
    // Yr = Mr Er + Mi Ei, Yi = Mi Er - Mr Ei.
    matrixmath_real_gemm(2 * n, np, n, 1.0, mr, n, s.er.data(), np, 0.0, s.yr.data(), np);
    matrixmath_real_gemm(2 * n, np, n, 1.0, mi, n, s.ei.data(), np, 1.0, s.yr.data(), np);
    matrixmath_real_gemm(2 * n, np, n, 1.0, mi, n, s.er.data(), np, 0.0, s.yi.data(), np);
    matrixmath_real_gemm(2 * n, np, n, -1.0, mr, n, s.ei.data(), np, 1.0, s.yi.data(), np);
    for (int ch = 0; ch < 2; ++ch) {
        double* out = ch == 0 ? re_out : im_out;
        for (int k = 0; k < np; ++k) out[k] = 0.0;
        for (int a = 0; a < n; ++a) {
            const double* er = s.er.data() + static_cast<size_t>(a) * np;
            const double* ei = s.ei.data() + static_cast<size_t>(a) * np;
            const double* yr = s.yr.data() + (static_cast<size_t>(ch) * n + a) * np;
            const double* yi = s.yi.data() + (static_cast<size_t>(ch) * n + a) * np;
            for (int k = 0; k < np; ++k) out[k] += er[k] * yr[k] - ei[k] * yi[k];
        }
    }
}
}  // namespace

void vyn_signal_cache_clear() {
    if (vse_scratch) vse_scratch->n = 0;
}

bool vyn_signal_eigen(int n, int np, double acq, CMatrix& rho, const CMatrix& Hprime, const CMatrix& Ox,
                      const CMatrix& Oy, double* re_out, double* im_out) {
    if (n < 1 || n > MATRIXMATH_DIM || np < 1 || !re_out || !im_out || !vse_real_symmetric(n, Hprime)) return false;
    if (!vse_scratch) vse_scratch = new VSEScratch;
    VSEScratch& s = *vse_scratch;
    const double t0 = vse_now();
    if (!vse_prepare(n, np, acq, Hprime, Ox, Oy, s)) return false;
    const double t1 = vse_now();
    // rho~ = V^T rho V, kept in y.
    vse_pack(n, rho, s.y.data());
    vse_similarity(n, false, s.vt.data(), s.y.data(), s.b.data());
    vse_signals(n, np, s.y.data(), s, re_out, im_out);
    // rho <- V e^{-i Lambda t} rho~ e^{i Lambda t} V^T at the last sample.
    for (int a = 0; a < n; ++a) {
        const cd ea(s.er[static_cast<size_t>(a) * np + np - 1], s.ei[static_cast<size_t>(a) * np + np - 1]);
        for (int b = 0; b < n; ++b) {
            const cd eb(s.er[static_cast<size_t>(b) * np + np - 1], s.ei[static_cast<size_t>(b) * np + np - 1]);
            s.y[static_cast<size_t>(a) * n + b] *= ea * std::conj(eb);
        }
    }
    vse_similarity(n, true, s.vt.data(), s.y.data(), s.b.data());
    for (int r = 1; r <= n; ++r) std::memcpy(&rho(r, 1), s.y.data() + static_cast<size_t>(r - 1) * n, sizeof(cd) * n);
    ++vyn_signal_stats.traces;
    vyn_signal_stats.seconds_decompose += t1 - t0;
    vyn_signal_stats.seconds_sum += vse_now() - t1;
    return true;
}
