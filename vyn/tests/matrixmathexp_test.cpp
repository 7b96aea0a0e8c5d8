// Pade exponential against the reference series, and the symmetric
// eigensolver by reconstruction.
#include "matrixmathexp.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "kernel_testutil.h"

namespace {

// Each norm selects another Pade degree (3, 5, 7, 9, 13) or adds squarings.
TEST(PadeExp, AgreesWithTheSeriesAtEverySizeAndNorm) {
    static CMatrix h, ref, got, in_place;
    std::unique_ptr<MatrixExpWork> w(new MatrixExpWork);
    const int sizes[] = {1, 2, 4, 16, 64};
    const double norms[] = {0.01, 0.2, 0.9, 2.0, 5.0, 40.0, 900.0};
    for (int n : sizes)
        for (double target : norms) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " norm=" << target);
            kt::fill_hermitian(n, h, 100 + n, 1.0);
            double norm1 = 0.0;
            for (int c = 1; c <= n; ++c) {
                double s = 0.0;
                for (int r = 1; r <= n; ++r) s += std::abs(h(r, c));
                norm1 = std::fmax(norm1, s);
            }
            const double tau = target / norm1;
            ExpMatrix(n, h, tau, ref);
            matrixmath_exp_pade(n, h, tau, got, *w);
            EXPECT_LE(kt::frob_diff(n, ref, got), 1e-12 * kt::frob(n, ref));
            // and a general (non-Hermitian) argument, in place, where its growth stays finite
            if (target > 5.0) continue;
            kt::fill_random(n, in_place, 7 + n, 1.0);
            CopyCMatrix(n, in_place, h);
            ExpMatrix(n, h, tau, ref);
            matrixmath_exp_pade(n, in_place, tau, in_place, *w);
            EXPECT_LE(kt::frob_diff(n, ref, in_place), 1e-12 * kt::frob(n, ref));
        }
}

TEST(SymEig, ReconstructsTheMatrixWithOrthonormalVectors) {
    std::unique_ptr<MatrixSymEigWork> w(new MatrixSymEigWork);
    for (int n : {1, 3, 16, 100}) {
        SCOPED_TRACE(n);
        std::vector<double> a(n * n), v(n * n), lam(n);
        unsigned s = 5;
        for (int r = 0; r < n; ++r)
            for (int c = r; c < n; ++c) {
                s = s * 1103515245u + 12345u;
                a[r * n + c] = a[c * n + r] = static_cast<double>(s % 2001) / 1000.0 - 1.0;
            }
        v = a;
        ASSERT_TRUE(matrixmath_sym_eig(n, v.data(), n, lam.data(), *w));
        double rec = 0.0, orth = 0.0;
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) {
                double sum = 0.0, dot = 0.0;
                for (int k = 0; k < n; ++k) {
                    sum += v[k * n + r] * lam[k] * v[k * n + c];  // rows of v are eigenvectors
                    dot += v[r * n + k] * v[c * n + k];
                }
                rec = std::fmax(rec, std::fabs(sum - a[r * n + c]));
                orth = std::fmax(orth, std::fabs(dot - (r == c ? 1.0 : 0.0)));
            }
        EXPECT_LE(rec, 1e-12 * n);
        EXPECT_LE(orth, 1e-12 * n);
        for (int k = 1; k < n; ++k) EXPECT_LE(lam[k - 1], lam[k]);
    }
    double one = 1.0, lam = 0.0;
    EXPECT_FALSE(matrixmath_sym_eig(0, &one, 1, &lam, *w));
    EXPECT_FALSE(matrixmath_sym_eig(2, &one, 1, &lam, *w));  // leading dimension below n
}

}  // namespace

// exp(-i t A) of a real symmetric A as cos / -sin planes against the reference
// series ExpMatrix (exp(i tau H) with H = A, tau = -t), at norms that need no
// doubling, a few and many; non-finite input is refused.
TEST(RealSymExp, AgreesWithTheSeriesAtEveryNorm) {
    static CMatrix h, ref;
    MatrixRealExpWork w;
    const int sizes[] = {1, 3, 16, 64};
    const double norms[] = {0.01, 0.45, 0.6, 3.0, 40.0, 700.0};
    for (int n : sizes)
        for (double target : norms) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " norm=" << target);
            std::vector<double> a(static_cast<size_t>(n) * n), re(a.size()), im(a.size());
            kt::fill_hermitian(n, h, 300 + n, 1.0);
            double norm1 = 0.0;
            for (int r = 1; r <= n; ++r) {
                double s = 0.0;
                for (int c = 1; c <= n; ++c) {
                    // the real part of a Hermitian matrix is real symmetric
                    a[static_cast<size_t>(r - 1) * n + c - 1] = h(r, c).real();
                    h(r, c) = h(r, c).real();
                    s += std::fabs(h(r, c).real());
                }
                norm1 = std::fmax(norm1, s);
            }
            const double t = target / norm1;
            ExpMatrix(n, h, -t, ref);
            ASSERT_TRUE(matrixmath_exp_real_sym(n, a.data(), t, re.data(), im.data(), w));
            double err = 0.0;
            for (int r = 1; r <= n; ++r)
                for (int c = 1; c <= n; ++c) {
                    const size_t k = static_cast<size_t>(r - 1) * n + c - 1;
                    err = std::fmax(err, std::abs(ref(r, c) - std::complex<double>(re[k], im[k])));
                }
            EXPECT_LE(err, 1e-13 * std::fmax(1.0, target));
        }
    std::vector<double> bad = {1.0, HUGE_VAL, HUGE_VAL, 0.0}, re(4), im(4);
    EXPECT_FALSE(matrixmath_exp_real_sym(2, bad.data(), 1.0, re.data(), im.data(), w));
}
