// Receiver signal from the eigen-decomposition of the precession operator.
#include "vynsignal_eig.h"

#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "matrixmathexp.h"

VYNSignalOptions vyn_signal_options;

void VYNSignalOptions_Reset() { vyn_signal_options.method = VYN_SIGNAL_EIGEN; }

namespace {
using cd = std::complex<double>;

struct vse_options_initialiser {
    vse_options_initialiser() { VYNSignalOptions_Reset(); }
} vse_options_init_instance;

struct VSEScratch {
    std::vector<double> vt, lam;
    std::vector<cd> a, b, mx, my, e, y;
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

// m[a * n + b] = (V^T O V)_ba rho~_ab for the packed rho~ in the eigenbasis.
void vse_transition_weights(int n, const CMatrix& O, const double* vt, const cd* rho_t, VSEScratch& s, cd* m) {
    vse_pack(n, O, s.a.data());
    vse_similarity(n, false, vt, s.a.data(), s.b.data());
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b)
            m[static_cast<size_t>(a) * n + b] =
                s.a[static_cast<size_t>(b) * n + a] * rho_t[static_cast<size_t>(a) * n + b];
}

// sum_ab m_ab e_a conj(e_b), e_a = exp(-i lambda_a t).
double vse_sample(int n, const cd* m, const cd* e) {
    cd total = 0.0;
    for (int a = 0; a < n; ++a) {
        const cd* row = m + static_cast<size_t>(a) * n;
        cd acc = 0.0;
        for (int b = 0; b < n; ++b) acc += row[b] * std::conj(e[b]);
        total += e[a] * acc;
    }
    return total.real();
}
}  // namespace

bool vyn_signal_eigen(int n, int np, double acq, CMatrix& rho, const CMatrix& Hprime, const CMatrix& Ox,
                      const CMatrix& Oy, double* re_out, double* im_out) {
    if (n < 1 || n > MATRIXMATH_DIM || np < 1 || !re_out || !im_out || !vse_real_symmetric(n, Hprime)) return false;
    if (!vse_scratch) vse_scratch = new VSEScratch;
    VSEScratch& s = *vse_scratch;
    const size_t nn = static_cast<size_t>(n) * n;
    s.vt.resize(nn);
    s.lam.resize(n);
    for (auto* v : {&s.a, &s.b, &s.mx, &s.my}) v->resize(nn);
    s.e.resize(n);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) s.vt[static_cast<size_t>(r - 1) * n + c - 1] = Hprime(r, c).real();
    if (!matrixmath_sym_eig(n, s.vt.data(), n, s.lam.data(), s.eig)) return false;  // vt = V^T
    // rho~ = V^T rho V, kept in y.
    s.y.resize(nn);
    vse_pack(n, rho, s.y.data());
    vse_similarity(n, false, s.vt.data(), s.y.data(), s.b.data());
    vse_transition_weights(n, Ox, s.vt.data(), s.y.data(), s, s.mx.data());
    vse_transition_weights(n, Oy, s.vt.data(), s.y.data(), s, s.my.data());
    const double dt = acq / np;
    for (int k = 0; k < np; ++k) {
        for (int a = 0; a < n; ++a) s.e[a] = std::polar(1.0, -s.lam[a] * k * dt);
        re_out[k] = vse_sample(n, s.mx.data(), s.e.data());
        im_out[k] = vse_sample(n, s.my.data(), s.e.data());
    }
    // rho <- V e^{-i Lambda t} rho~ e^{i Lambda t} V^T at the last sample.
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b) s.y[static_cast<size_t>(a) * n + b] *= s.e[a] * std::conj(s.e[b]);
    vse_similarity(n, true, s.vt.data(), s.y.data(), s.b.data());
    for (int r = 1; r <= n; ++r) std::memcpy(&rho(r, 1), s.y.data() + static_cast<size_t>(r - 1) * n, sizeof(cd) * n);
    return true;
}
