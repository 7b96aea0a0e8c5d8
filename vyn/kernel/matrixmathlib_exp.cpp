// Pade exponential and the LAPACK symmetric eigensolver with caller-owned
// workspaces.
#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <utility>

#include "matrixmathexp.h"

extern "C" void dsyevd_(const char* jobz, const char* uplo, const int* n, double* a, const int* lda, double* w,
                        double* work, const int* lwork, int* iwork, const int* liwork, int* info, std::size_t jobz_len,
                        std::size_t uplo_len);
extern "C" void zgesv_(const int* n, const int* nrhs, std::complex<double>* a, const int* lda, int* ipiv,
                       std::complex<double>* b, const int* ldb, int* info);

namespace {
constexpr int LD = MATRIXMATH_DIM;
using cd = std::complex<double>;

void mx_mult(int n, const CMatrix& a, const CMatrix& b, CMatrix& out) {
    const cd one(1.0, 0.0), zero(0.0, 0.0);
    cblas_zgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, &one, a.e, LD, b.e, LD, &zero, out.e, LD);
}

// Coefficients of the diagonal Pade approximants and the 1-norm bounds up to
// which each degree reaches double precision (Higham, SIAM J. Matrix Anal.
// Appl. 26 (2005) 1179).
constexpr double kB3[] = {120.0, 60.0, 12.0, 1.0};
constexpr double kB5[] = {30240.0, 15120.0, 3360.0, 420.0, 30.0, 1.0};
constexpr double kB7[] = {17297280.0, 8648640.0, 1995840.0, 277200.0, 25200.0, 1512.0, 56.0, 1.0};
constexpr double kB9[] = {17643225600.0, 8821612800.0, 2075673600.0, 302702400.0, 30270240.0,
                          2162160.0,     110880.0,     3960.0,       90.0,        1.0};
constexpr double kB13[] = {64764752532480000.0,
                           32382376266240000.0,
                           7771770303897600.0,
                           1187353796428800.0,
                           129060195264000.0,
                           10559470521600.0,
                           670442572800.0,
                           33522128640.0,
                           1323241920.0,
                           40840800.0,
                           960960.0,
                           16380.0,
                           182.0,
                           1.0};
constexpr double kTheta3 = 1.495585217958292e-2;
constexpr double kTheta5 = 2.539398330063230e-1;
constexpr double kTheta7 = 9.504178996162932e-1;
constexpr double kTheta9 = 2.097847961257068e0;
constexpr double kTheta13 = 5.371920351148152e0;

// out = c0 I + c1 X1 + c2 X2 + c3 X3 (X may be null for c = 0).
void mx_comb(int n, CMatrix& out, double c0, double c1, const CMatrix* x1, double c2, const CMatrix* x2, double c3,
             const CMatrix* x3) {
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            cd s = (r == c) ? cd(c0, 0.0) : cd(0.0, 0.0);
            if (x1) s += c1 * (*x1)(r, c);
            if (x2) s += c2 * (*x2)(r, c);
            if (x3) s += c3 * (*x3)(r, c);
            out(r, c) = s;
        }
}
}  // namespace

void matrixmath_exp_pade(int n, const CMatrix& inm, double tau, CMatrix& outm, MatrixExpWork& w) {
    // A = i tau inm and its 1-norm (largest column sum).
    double norm1 = 0.0;
    for (int c = 1; c <= n; ++c) {
        double s = 0.0;
        for (int r = 1; r <= n; ++r) s += std::abs(inm(r, c));
        if (s > norm1) norm1 = s;
    }
    norm1 *= std::fabs(tau);
    int squarings = 0;
    int m = 13;
    if (norm1 <= kTheta3)
        m = 3;
    else if (norm1 <= kTheta5)
        m = 5;
    else if (norm1 <= kTheta7)
        m = 7;
    else if (norm1 <= kTheta9)
        m = 9;
    else if (norm1 > kTheta13)
        squarings = static_cast<int>(std::ceil(std::log2(norm1 / kTheta13)));
    const double scale = tau / std::ldexp(1.0, squarings);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) w.a(r, c) = cd(0.0, scale) * inm(r, c);

    // U (odd part, times A) into w.u, V (even part) into w.v.
    mx_mult(n, w.a, w.a, w.a2);
    if (m == 3 || m == 5) {
        const double* b = (m == 3) ? kB3 : kB5;
        if (m == 5) mx_mult(n, w.a2, w.a2, w.a4);
        const CMatrix* a4 = (m == 5) ? &w.a4 : nullptr;
        mx_comb(n, w.t, b[1], b[3], &w.a2, m == 5 ? b[5] : 0.0, a4, 0.0, nullptr);
        mx_comb(n, w.v, b[0], b[2], &w.a2, m == 5 ? b[4] : 0.0, a4, 0.0, nullptr);
    } else if (m == 7 || m == 9) {
        const double* b = (m == 7) ? kB7 : kB9;
        mx_mult(n, w.a2, w.a2, w.a4);
        mx_mult(n, w.a4, w.a2, w.a6);
        if (m == 7) {
            mx_comb(n, w.t, b[1], b[3], &w.a2, b[5], &w.a4, b[7], &w.a6);
            mx_comb(n, w.v, b[0], b[2], &w.a2, b[4], &w.a4, b[6], &w.a6);
        } else {
            // A8 = A4 A4 goes to w.u until the combinations are formed.
            mx_mult(n, w.a4, w.a4, w.u);
            mx_comb(n, w.t, b[1], b[3], &w.a2, b[5], &w.a4, b[7], &w.a6);
            mx_comb(n, w.v, b[0], b[2], &w.a2, b[4], &w.a4, b[6], &w.a6);
            for (int r = 1; r <= n; ++r)
                for (int c = 1; c <= n; ++c) {
                    w.t(r, c) += b[9] * w.u(r, c);
                    w.v(r, c) += b[8] * w.u(r, c);
                }
        }
    } else {
        const double* b = kB13;
        mx_mult(n, w.a2, w.a2, w.a4);
        mx_mult(n, w.a4, w.a2, w.a6);
        // t = A6 (b13 A6 + b11 A4 + b9 A2) + b7 A6 + b5 A4 + b3 A2 + b1 I
        mx_comb(n, w.u, 0.0, b[13], &w.a6, b[11], &w.a4, b[9], &w.a2);
        mx_mult(n, w.a6, w.u, w.t);
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c)
                w.t(r, c) += b[7] * w.a6(r, c) + b[5] * w.a4(r, c) + b[3] * w.a2(r, c) + (r == c ? b[1] : 0.0);
        // v = A6 (b12 A6 + b10 A4 + b8 A2) + b6 A6 + b4 A4 + b2 A2 + b0 I
        mx_comb(n, w.u, 0.0, b[12], &w.a6, b[10], &w.a4, b[8], &w.a2);
        mx_mult(n, w.a6, w.u, w.v);
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c)
                w.v(r, c) += b[6] * w.a6(r, c) + b[4] * w.a4(r, c) + b[2] * w.a2(r, c) + (r == c ? b[0] : 0.0);
    }
    mx_mult(n, w.a, w.t, w.u);  // U = A t

    // exp(A) ~ (V - U)^-1 (V + U). U and V are polynomials in A and commute,
    // so (V + U)(V - U)^-1 is the same matrix: that is what LAPACK solves on
    // the row-major storage, which it reads as the transposes.
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            const cd u = w.u(r, c), v = w.v(r, c);
            w.t(r, c) = v - u;
            w.a(r, c) = v + u;
        }
    int info = 0;
    const int ld = LD;
    zgesv_(&n, &n, w.t.e, &ld, w.ipiv, w.a.e, &ld, &info);

    CMatrix* cur = &w.a;
    CMatrix* spare = &w.u;
    for (int k = 0; k < squarings; ++k) {
        mx_mult(n, *cur, *cur, *spare);
        CMatrix* t = cur;
        cur = spare;
        spare = t;
    }
    CopyCMatrix(n, *cur, outm);
}

namespace {
// out = c[0] I + c[1] x1 + c[2] x2 + c[3] x3 (+ out when add), n x n, row-major.
void mx_real_poly(size_t n, const double* c, const double* x1, const double* x2, const double* x3, bool add,
                  double* out) {
    const size_t nn = n * n;
    for (size_t k = 0; k < nn; ++k) out[k] = (add ? out[k] : 0.0) + c[1] * x1[k] + c[2] * x2[k] + c[3] * x3[k];
    for (size_t k = 0; k < n; ++k) out[k * n + k] += c[0];
}

void mx_real_mult(int n, const double* a, const double* b, double* out) {
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 1.0, a, n, b, n, 0.0, out, n);
}
}  // namespace

bool matrixmath_exp_real_sym(int n, const double* a, double t, double* re, double* im, MatrixRealExpWork& w) {
    if (n < 1 || n > MATRIXMATH_DIM) return false;
    const size_t nn = static_cast<size_t>(n) * n;
    double norm = 0.0;
    for (int r = 0; r < n; ++r) {
        double row = 0.0;
        for (int c = 0; c < n; ++c) row += std::fabs(a[static_cast<size_t>(r) * n + c]);
        norm = std::fmax(norm, row);
    }
    norm *= std::fabs(t);
    if (!std::isfinite(norm)) return false;
    int doublings = 0;
    double scale = t;
    while (norm > 0.5) {
        if (++doublings > 40) return false;
        norm *= 0.5;
        scale *= 0.5;
    }
    w.buf.resize(8 * nn);
    double *b = w.buf.data(), *x = b + nn, *x2 = x + nn, *x3 = x2 + nn, *x4 = x3 + nn, *p = x4 + nn, *q = p + nn,
           *u = q + nn;
    for (size_t k = 0; k < nn; ++k) b[k] = scale * a[k];
    mx_real_mult(n, b, b, x);
    mx_real_mult(n, x, x, x2);
    mx_real_mult(n, x2, x, x3);
    mx_real_mult(n, x2, x2, x4);
    // cos B = sum_j (-1)^j X^j / (2j)!, sin B = B sum_j (-1)^j X^j / (2j + 1)!, j = 0..7.
    double cc[8], sc[8], f = 1.0;
    for (int j = 0; j < 8; ++j) {
        cc[j] = (j % 2 ? -1.0 : 1.0) / f;
        f *= 2 * j + 1;
        sc[j] = (j % 2 ? -1.0 : 1.0) / f;
        f *= 2 * j + 2;
    }
    double *c = re, *s = im;
    mx_real_poly(n, cc + 4, x, x2, x3, false, p);
    mx_real_mult(n, x4, p, c);
    mx_real_poly(n, cc, x, x2, x3, true, c);
    mx_real_poly(n, sc + 4, x, x2, x3, false, p);
    mx_real_mult(n, x4, p, q);
    mx_real_poly(n, sc, x, x2, x3, true, q);
    mx_real_mult(n, b, q, s);
    // cos 2B = (C - S)(C + S), sin 2B = 2 S C (C and S commute).
    for (int k = 0; k < doublings; ++k) {
        for (size_t i = 0; i < nn; ++i) {
            p[i] = c[i] - s[i];
            q[i] = c[i] + s[i];
        }
        cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, 2.0, s, n, c, n, 0.0, u, n);
        mx_real_mult(n, p, q, c);
        std::swap(s, u);
    }
    if (s != im) std::copy(s, s + nn, im);
    for (size_t k = 0; k < nn; ++k) im[k] = -im[k];
    return true;
}

bool matrixmath_sym_eig(int n, double* a, int lda, double* w, MatrixSymEigWork& work) {
    if (n < 1 || n > MATRIXMATH_DIM || lda < n) return false;
    // Row-major symmetric storage reads the same column-major; the eigenvector
    // columns LAPACK returns are rows of the row-major view.
    const char jobz = 'V', uplo = 'U';
    const int lwork = 1 + 6 * n + 2 * n * n, liwork = 3 + 5 * n;
    int info = 0;
    dsyevd_(&jobz, &uplo, &n, a, &lda, w, work.work, &lwork, work.iwork, &liwork, &info, 1, 1);
    return info == 0;
}

void matrixmath_packed_rotate(int n, const cd* P, cd* rho, cd* x) {
    const cd one(1.0, 0.0), zero(0.0, 0.0);
    cblas_zgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, &one, rho, n, P, n, &zero, x, n);
    cblas_zgemm(CblasRowMajor, CblasConjTrans, CblasNoTrans, n, n, n, &one, P, n, x, n, &zero, rho, n);
}

void matrixmath_packed_real_left(int n, bool transpose, const double* a, const cd* b, cd* out) {
    cblas_dgemm(CblasRowMajor, transpose ? CblasTrans : CblasNoTrans, CblasNoTrans, n, 2 * n, n, 1.0, a, n,
                reinterpret_cast<const double*>(b), 2 * n, 0.0, reinterpret_cast<double*>(out), 2 * n);
}

void matrixmath_real_mult_bt(int n, const double* a, const double* b, double* out) {
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, n, n, n, 1.0, a, n, b, n, 0.0, out, n);
}

void matrixmath_real_gemm(int m, int n, int k, double alpha, const double* a, int lda, const double* b, int ldb,
                          double beta, double* c, int ldc) {
    cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

int matrixmath_set_blas_threads(int threads) {
    const int previous = openblas_get_num_threads();
    openblas_set_num_threads(threads < 1 ? 1 : threads);
    return previous;
}
