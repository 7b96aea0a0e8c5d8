// Dense complex matrix algebra: element operations, products, similarity
// transforms, the matrix exponential and printing.
#include "matrixmathlib.h"

#include <cblas.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

int matrixmath_blas_min_n = MATRIXMATH_BLAS_MIN_N_DEFAULT;
std::atomic<unsigned long> matrixmath_mult_count{0};

namespace {

// Scratch matrices, one set per operation and per thread (allocated on a
// thread's first use), so the operations may run on several threads at once;
// contents carry no meaning between calls.
struct MMScratch {
    CMatrix mult_tmp;
    CMatrix comm_ab, comm_ba;
    CMatrix trans_tmp;
    CMatrix adj_tmp;
    CMatrix rot_adj, rot_tmp;
    CMatrix exp_result, exp_term, exp_prod, exp_b;
};

MMScratch& mm_scratch() {
    thread_local std::unique_ptr<MMScratch> s;
    if (!s) s.reset(new MMScratch);
    return *s;
}

constexpr int LD = MATRIXMATH_DIM;

inline bool same(const CMatrix& a, const CMatrix& b) { return &a == &b; }

}  // namespace

void CMatZero(int n, CMatrix& out) {
    for (int r = 1; r <= n; ++r) {
        std::memset(static_cast<void*>(&out(r, 1)), 0, sizeof(std::complex<double>) * n);
    }
}

void CopyCMatrix(int n, const CMatrix& inmat, CMatrix& outmat) {
    if (same(inmat, outmat)) return;
    for (int r = 1; r <= n; ++r) {
        std::memcpy(static_cast<void*>(&outmat(r, 1)), &inmat(r, 1), sizeof(std::complex<double>) * n);
    }
}

void CMatAdd(int n, const CMatrix& inmat1, const CMatrix& inmat2, CMatrix& outmat) {
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) outmat(r, c) = inmat1(r, c) + inmat2(r, c);
}

void CMatRMultAdd(int n, const CMatrix& inmat1, double rfac1, const CMatrix& inmat2, double rfac2, CMatrix& outmat) {
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) outmat(r, c) = rfac1 * inmat1(r, c) + rfac2 * inmat2(r, c);
}

void RMultCMat(int n, double rfac, const CMatrix& inmat, CMatrix& outmat) {
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) outmat(r, c) = rfac * inmat(r, c);
}

void CMultCMat(int n, const Complex2& cfac, const CMatrix& inmat, CMatrix& outmat) {
    const std::complex<double> f(cfac[1], cfac[2]);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) outmat(r, c) = f * inmat(r, c);
}

// Plain triple loop: row i, column j, summation index k, separate sums.
void matrixmath_mult_plain(int n, const CMatrix& a, const CMatrix& b, CMatrix& out) {
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= n; ++j) {
            double re = 0.0, im = 0.0;
            for (int k = 1; k <= n; ++k) {
                const double ar = a.re(i, k), ai = a.im(i, k);
                const double br = b.re(k, j), bi = b.im(k, j);
                re += ar * br - ai * bi;
                im += ai * br + ar * bi;
            }
            out.re(i, j) = re;
            out.im(i, j) = im;
        }
    }
}

void matrixmath_mult_blas(int n, const CMatrix& a, const CMatrix& b, CMatrix& out) {
    const std::complex<double> one(1.0, 0.0), zero(0.0, 0.0);
    cblas_zgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, n, n, n, &one, a.e, LD, b.e, LD, &zero, out.e, LD);
}

void CMatMult(int n, const CMatrix& inmat1, const CMatrix& inmat2, CMatrix& outmat) {
    const bool alias = same(inmat1, outmat) || same(inmat2, outmat);
    CMatrix& dst = alias ? mm_scratch().mult_tmp : outmat;
    matrixmath_mult_count.fetch_add(1, std::memory_order_relaxed);
    if (n >= matrixmath_blas_min_n)
        matrixmath_mult_blas(n, inmat1, inmat2, dst);
    else
        matrixmath_mult_plain(n, inmat1, inmat2, dst);
    if (alias) CopyCMatrix(n, dst, outmat);
}

void CMatCommutator(int n, const CMatrix& a, const CMatrix& b, CMatrix& outmat) {
    MMScratch& s = mm_scratch();
    CMatMult(n, a, b, s.comm_ab);
    CMatMult(n, b, a, s.comm_ba);
    CMatRMultAdd(n, s.comm_ab, 1.0, s.comm_ba, -1.0, outmat);
}

void Transform(int n, const CMatrix& Ut, const CMatrix& H, const CMatrix& U, CMatrix& prod) {
    CMatrix& tmp = mm_scratch().trans_tmp;
    CMatMult(n, Ut, H, tmp);
    CMatMult(n, tmp, U, prod);
}

void Adjungate(int n, const CMatrix& P, CMatrix& Q) {
    CMatrix& dst = same(P, Q) ? mm_scratch().adj_tmp : Q;
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) dst(i, j) = std::conj(P(j, i));
    if (same(P, Q)) CopyCMatrix(n, dst, Q);
}

void DoRotation(int n, const CMatrix& romat, CMatrix& densmat) {
    MMScratch& s = mm_scratch();
    Adjungate(n, romat, s.rot_adj);
    Transform(n, s.rot_adj, densmat, romat, s.rot_tmp);
    CopyCMatrix(n, s.rot_tmp, densmat);
}

void ExpMatrix(int n, const CMatrix& inm, double tau, CMatrix& outm) {
    // Row-sum norm of the input decides the number of squarings.
    double max_row_sum = 0.0;
    for (int r = 1; r <= n; ++r) {
        double s = 0.0;
        for (int c = 1; c <= n; ++c) s += std::fabs(inm.re(r, c)) + std::fabs(inm.im(r, c));
        if (s > max_row_sum) max_row_sum = s;
    }
    double scaled_norm = std::fabs(tau) * max_row_sum;
    int squarings = 0;
    while (scaled_norm > 0.5 && squarings < 24) {
        scaled_norm *= 0.5;
        ++squarings;
    }
    const double scale = tau / std::ldexp(1.0, squarings);

    // B = i * scale * inm; the working matrices never alias inm or outm.
    MMScratch& s = mm_scratch();
    CMatrix& B = s.exp_b;
    CMatrix& result = s.exp_result;
    CMatrix& term = s.exp_term;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            B.re(r, c) = -scale * inm.im(r, c);
            B.im(r, c) = scale * inm.re(r, c);
        }
    CMatZero(n, result);
    CMatZero(n, term);
    for (int i = 1; i <= n; ++i) {
        result(i, i) = 1.0;
        term(i, i) = 1.0;
    }

    for (int k = 1; k <= 80; ++k) {
        // The first term is identity·B = B: its product is skipped.
        const CMatrix* prod = &B;
        if (k > 1) {
            CMatMult(n, term, B, s.exp_prod);
            prod = &s.exp_prod;
        }
        const double inv_k = 1.0 / k;
        double max_term = 0.0;
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c) {
                const std::complex<double> t = (*prod)(r, c) * inv_k;
                term(r, c) = t;
                result(r, c) += t;
                const double m = std::fabs(t.real()) + std::fabs(t.imag());
                if (m > max_term) max_term = m;
            }
        if (max_term < 1e-14) break;
    }

    // Squarings alternate between two matrices, so no product needs a copy-back.
    CMatrix* cur = &result;
    CMatrix* spare = &s.exp_prod;
    for (int k = 0; k < squarings; ++k) {
        CMatMult(n, *cur, *cur, *spare);
        std::swap(cur, spare);
    }

    CopyCMatrix(n, *cur, outm);
}

void ExpectationValue(int n, const CMatrix& inmat, const CMatrix& dmat, Complex2& Eval) {
    double re = 0.0, im = 0.0;
    for (int k = 1; k <= n; ++k)
        for (int l = 1; l <= n; ++l) {
            const double ar = inmat.re(k, l), ai = inmat.im(k, l);
            const double br = dmat.re(l, k), bi = dmat.im(l, k);
            re += ar * br - ai * bi;
            im += ar * bi + ai * br;
        }
    Eval[0] = 0.0;
    Eval[1] = re;
    Eval[2] = im;
}

void NormCMatrix(int n, CMatrix& mat) {
    double sum = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) sum += mat.re(r, c) * mat.re(r, c) + mat.im(r, c) * mat.im(r, c);
    if (sum > 0.0) RMultCMat(n, 1.0 / std::sqrt(sum), mat, mat);
}

double sign(double p, double q) { return q >= 0.0 ? std::fabs(p) : -std::fabs(p); }

double pi_val() { return 3.141592653589793; }

namespace {
void mm_show_part(int n, const CMatrix& m, bool imag_part) {
    std::puts("\n====================================================");
    std::printf(imag_part ? "IMAGINARY PART (n = %d)\n" : "REAL PART (n = %d)\n", n);
    std::puts("====================================================\n");
    std::printf("        ");
    for (int c = 1; c <= n; ++c) std::printf("   %3d        ", c);
    std::printf("\n");
    for (int r = 1; r <= n; ++r) {
        std::printf(" %3d  ", r);
        for (int c = 1; c <= n; ++c) std::printf(" %8.1E ", imag_part ? m.im(r, c) : m.re(r, c));
        std::printf("\n");
    }
}
}  // namespace

void ShowCMatElements(int n, const CMatrix& inmat) {
    mm_show_part(n, inmat, false);
    mm_show_part(n, inmat, true);
    std::printf("\n");
}
