// Receiver signal from the eigen-decomposition of the precession operator.
#include "vynsignal_eig.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <vector>

#include "matrixmathexp.h"
#include "vynworkers.h"

VYNSignalOptions vyn_signal_options;
VYNSignalStats vyn_signal_stats;

void VYNSignalOptions_Reset() {
    vyn_signal_options.method = VYN_SIGNAL_EIGEN;
    vyn_signal_options.threads = 0;
}

namespace {
using cd = std::complex<double>;

double vse_now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

struct vse_options_initialiser {
    vse_options_initialiser() { VYNSignalOptions_Reset(); }
} vse_options_init_instance;

// The decomposition, the operators in the eigenbasis and the time factors
// are kept for the next trace with the same operators and sampling (every
// row of a 2D run); they are only read while traces are computed.
struct VSETrace {  // one trace's scratch (one per worker)
    std::vector<cd> y, b;
    std::vector<double> m, yr, yi;  // planes: M (n x n), Y (n x np)
};
struct VSEScratch {
    int n = 0, np = 0;
    double acq = 0.0;
    std::vector<cd> key;  // Hprime, Ox, Oy of the kept decomposition
    std::vector<double> vt, lam;
    std::vector<cd> op, oy;      // O+ = Ox + i Oy in the eigenbasis; Oy~ (scratch)
    std::vector<double> er, ei;  // planes of E (n x np)
    MatrixSymEigWork eig;
    std::vector<VSETrace> traces;  // per worker (traces[0] also the single trace's)
    std::vector<cd> rho;           // the single trace's state, packed
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
    s.op.resize(nn);
    s.oy.resize(nn);
    if (s.traces.empty()) s.traces.resize(1);
    std::vector<cd>& b = s.traces[0].b;
    b.resize(nn);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) s.vt[static_cast<size_t>(r - 1) * n + c - 1] = Hprime(r, c).real();
    if (!matrixmath_sym_eig(n, s.vt.data(), n, s.lam.data(), s.eig)) return false;  // vt = V^T
    vse_pack(n, Ox, s.op.data());
    vse_similarity(n, false, s.vt.data(), s.op.data(), b.data());
    vse_pack(n, Oy, s.oy.data());
    vse_similarity(n, false, s.vt.data(), s.oy.data(), b.data());
    for (size_t k = 0; k < nn; ++k) s.op[k] += cd(0.0, 1.0) * s.oy[k];  // O+~ = Ox~ + i Oy~
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

// Both channels at once. Re Tr(O rho) = Tr(O rho_h) for Hermitian O and the
// Hermitian part rho_h = (rho + rho^dagger) / 2, so with O+ = Ox + i Oy
//   Tr(Ox rho_k) + i Tr(Oy rho_k) = Tr(O+ rho_h,k) = sum_a E_ak Y_ak,
// Y = M conj(E), M_ab = O+~_ba rho~_h,ab: one n x n transition sum for both.
void vse_signals(int n, int np, const cd* rho_t, const VSEScratch& s, VSETrace& t, double* re_out, double* im_out) {
    const size_t nn = static_cast<size_t>(n) * n;
    t.m.resize(2 * nn);
    double* mr = t.m.data();
    double* mi = mr + nn;
    for (int a = 0; a < n; ++a)
        for (int b = 0; b < n; ++b) {
            const cd h =
                0.5 * (rho_t[static_cast<size_t>(a) * n + b] + std::conj(rho_t[static_cast<size_t>(b) * n + a]));
            const cd v = s.op[static_cast<size_t>(b) * n + a] * h;
            mr[static_cast<size_t>(a) * n + b] = v.real();
            mi[static_cast<size_t>(a) * n + b] = v.imag();
        }
    const size_t ny = static_cast<size_t>(n) * np;
    t.yr.resize(ny);
    t.yi.resize(ny);
    // Yr = Mr Er + Mi Ei, Yi = Mi Er - Mr Ei.
    matrixmath_real_gemm(n, np, n, 1.0, mr, n, s.er.data(), np, 0.0, t.yr.data(), np);
    matrixmath_real_gemm(n, np, n, 1.0, mi, n, s.ei.data(), np, 1.0, t.yr.data(), np);
    matrixmath_real_gemm(n, np, n, 1.0, mi, n, s.er.data(), np, 0.0, t.yi.data(), np);
    matrixmath_real_gemm(n, np, n, -1.0, mr, n, s.ei.data(), np, 1.0, t.yi.data(), np);
    for (int k = 0; k < np; ++k) re_out[k] = im_out[k] = 0.0;
    for (int a = 0; a < n; ++a) {
        const double* er = s.er.data() + static_cast<size_t>(a) * np;
        const double* ei = s.ei.data() + static_cast<size_t>(a) * np;
        const double* yr = t.yr.data() + static_cast<size_t>(a) * np;
        const double* yi = t.yi.data() + static_cast<size_t>(a) * np;
        for (int k = 0; k < np; ++k) {
            re_out[k] += er[k] * yr[k] - ei[k] * yi[k];
            im_out[k] += er[k] * yi[k] + ei[k] * yr[k];
        }
    }
}

// The signals of the packed rho (n x n); with fin, rho <- rho_{np-1} into fin.
void vse_trace(int n, int np, const VSEScratch& s, VSETrace& t, const cd* rho, double* re_out, double* im_out,
               cd* fin) {
    const size_t nn = static_cast<size_t>(n) * n;
    t.y.resize(nn);
    t.b.resize(nn);
    // rho~ = V^T rho V, kept in y.
    std::memcpy(t.y.data(), rho, sizeof(cd) * nn);
    vse_similarity(n, false, s.vt.data(), t.y.data(), t.b.data());
    vse_signals(n, np, t.y.data(), s, t, re_out, im_out);
    if (!fin) return;
    // rho <- V e^{-i Lambda t} rho~ e^{i Lambda t} V^T at the last sample.
    for (int a = 0; a < n; ++a) {
        const cd ea(s.er[static_cast<size_t>(a) * np + np - 1], s.ei[static_cast<size_t>(a) * np + np - 1]);
        for (int b = 0; b < n; ++b) {
            const cd eb(s.er[static_cast<size_t>(b) * np + np - 1], s.ei[static_cast<size_t>(b) * np + np - 1]);
            t.y[static_cast<size_t>(a) * n + b] *= ea * std::conj(eb);
        }
    }
    vse_similarity(n, true, s.vt.data(), t.y.data(), t.b.data());
    std::memcpy(fin, t.y.data(), sizeof(cd) * nn);
}

int vse_thread_count(int tasks) {
    int t = vyn_signal_options.threads;
    if (t <= 0) t = vyn_online_processors();
    return std::max(1, std::min(t, tasks));
}

VSEScratch& vse_get() {
    if (!vse_scratch) vse_scratch = new VSEScratch;
    return *vse_scratch;
}

bool vse_usable(int n, int np, const CMatrix& Hprime) {
    return n >= 1 && n <= MATRIXMATH_DIM && np >= 1 && vse_real_symmetric(n, Hprime);
}
}  // namespace

void vyn_signal_cache_clear() {
    if (vse_scratch) vse_scratch->n = 0;
}

bool vyn_signal_eigen(int n, int np, double acq, CMatrix& rho, const CMatrix& Hprime, const CMatrix& Ox,
                      const CMatrix& Oy, double* re_out, double* im_out) {
    if (!re_out || !im_out || !vse_usable(n, np, Hprime)) return false;
    VSEScratch& s = vse_get();
    const double t0 = vse_now();
    if (!vse_prepare(n, np, acq, Hprime, Ox, Oy, s)) return false;
    const double t1 = vse_now();
    std::vector<cd>& in = s.rho;
    in.resize(static_cast<size_t>(n) * n);
    for (int r = 1; r <= n; ++r) std::memcpy(in.data() + static_cast<size_t>(r - 1) * n, &rho(r, 1), sizeof(cd) * n);
    vse_trace(n, np, s, s.traces[0], in.data(), re_out, im_out, in.data());
    for (int r = 1; r <= n; ++r) std::memcpy(&rho(r, 1), in.data() + static_cast<size_t>(r - 1) * n, sizeof(cd) * n);
    ++vyn_signal_stats.traces;
    vyn_signal_stats.seconds_decompose += t1 - t0;
    vyn_signal_stats.seconds_sum += vse_now() - t1;
    return true;
}

bool vyn_signal_eigen_prepare(int n, int np, double acq, const CMatrix& Hprime, const CMatrix& Ox, const CMatrix& Oy) {
    if (!vse_usable(n, np, Hprime)) return false;
    const double t0 = vse_now();
    const bool ok = vse_prepare(n, np, acq, Hprime, Ox, Oy, vse_get());
    vyn_signal_stats.seconds_decompose += vse_now() - t0;
    return ok;
}

void vyn_signal_eigen_traces(int count, const std::complex<double>* rhos, double* re, double* im,
                             std::complex<double>* last) {
    VSEScratch& s = vse_get();
    const int n = s.n, np = s.np;
    if (count < 1 || n < 1) return;
    const size_t nn = static_cast<size_t>(n) * n;
    const double t0 = vse_now();
    const int threads = vse_thread_count(count);
    if (static_cast<int>(s.traces.size()) < threads) s.traces.resize(threads);
    // Trace j on worker j mod threads, each by the same single-threaded code:
    // the bytes do not depend on the thread count.
    const int saved = matrixmath_set_blas_threads(1);
    vyn_workers_for(threads, count, [&](int j, int w) {
        vse_trace(n, np, s, s.traces[w], rhos + j * nn, re + static_cast<size_t>(j) * np,
                  im + static_cast<size_t>(j) * np, j == count - 1 ? last : nullptr);
    });
    matrixmath_set_blas_threads(saved);
    vyn_signal_stats.traces += count;
    vyn_signal_stats.seconds_sum += vse_now() - t0;
}
