// Complex matrix algebra: products on both paths, aliasing, element
// operations, similarity transforms and the matrix exponential.
#include "matrixmathlib.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "kernel_testutil.h"

namespace {

CMatrix A, B, C, D, E, F, G;
const std::complex<double> I1(0.0, 1.0);

// Reference product, summation order independent of the kernel's.
void ref_mult(int n, const CMatrix& a, const CMatrix& b, CMatrix& out) {
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) out(i, j) = 0.0;
    for (int i = 1; i <= n; ++i)
        for (int k = n; k >= 1; --k)
            for (int j = 1; j <= n; ++j) out(i, j) += a(i, k) * b(k, j);
}

// One spin-1/2 operators written out by hand.
void spin_half(CMatrix& ix, CMatrix& iy, CMatrix& iz) {
    CMatZero(2, ix);
    CMatZero(2, iy);
    CMatZero(2, iz);
    ix(1, 2) = ix(2, 1) = 0.5;
    iy(1, 2) = -0.5 * I1;
    iy(2, 1) = 0.5 * I1;
    iz(1, 1) = 0.5;
    iz(2, 2) = -0.5;
}

}  // namespace

TEST(CMatMult, PlainAndBlasAgreeWithReference) {
    for (int n : {1, 2, 7, 64, 256}) {
        SCOPED_TRACE(n);
        kt::fill_random(n, A, 11 + n);
        kt::fill_random(n, B, 97 + n);
        matrixmath_mult_plain(n, A, B, C);
        matrixmath_mult_blas(n, A, B, D);
        const double norm = kt::frob(n, C);
        ASSERT_GT(norm, 0.0);
        EXPECT_LE(kt::frob_diff(n, C, D) / norm, 1e-12);
        if (n <= 64) {
            ref_mult(n, A, B, E);
            EXPECT_LE(kt::frob_diff(n, C, E) / norm, 1e-12);
        }
        // The dispatcher gives the same product whichever path it picks.
        CMatMult(n, A, B, F);
        EXPECT_LE(kt::frob_diff(n, C, F) / norm, 1e-12);
    }
}

TEST(CMatMult, AliasedOutputsGiveTrueProducts) {
    for (int threshold : {1, MATRIXMATH_DIM + 1}) {  // all BLAS, all plain loop
        kt::IntSetting path(matrixmath_blas_min_n, threshold);
        for (int n : {3, 40}) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " threshold=" << threshold);
            kt::fill_random(n, A, 5);
            kt::fill_random(n, B, 6);
            ref_mult(n, A, B, E);  // P*Q
            ref_mult(n, B, A, F);  // Q*P
            ref_mult(n, A, A, G);  // P*P
            const double tol = 1e-12 * kt::frob(n, E);

            CopyCMatrix(n, A, C);
            CMatMult(n, C, B, C);  // P = P*Q
            EXPECT_LE(kt::frob_diff(n, C, E), tol);

            CopyCMatrix(n, A, C);
            CMatMult(n, B, C, C);  // P = Q*P
            EXPECT_LE(kt::frob_diff(n, C, F), tol);

            CopyCMatrix(n, A, C);
            CMatMult(n, C, C, C);  // P = P*P
            EXPECT_LE(kt::frob_diff(n, C, G), tol);
        }
    }
}

TEST(ElementOps, InPlaceForms) {
    const int n = 5;
    kt::fill_random(n, A, 1);
    kt::fill_random(n, B, 2);
    CopyCMatrix(n, A, C);
    CMatRMultAdd(n, C, 2.0, B, -3.0, C);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) EXPECT_NEAR(std::abs(C(r, c) - (2.0 * A(r, c) - 3.0 * B(r, c))), 0.0, 1e-15);

    Complex2 f = {{0.0, 0.25, -2.0}};
    CopyCMatrix(n, A, C);
    CMultCMat(n, f, C, C);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            EXPECT_NEAR(std::abs(C(r, c) - std::complex<double>(0.25, -2.0) * A(r, c)), 0.0, 1e-15);

    // Adjoint in place equals the adjoint into another matrix and is the conjugate transpose.
    CopyCMatrix(n, A, C);
    Adjungate(n, C, C);
    Adjungate(n, A, D);
    EXPECT_EQ(kt::frob_diff(n, C, D), 0.0);
    EXPECT_EQ(C(2, 4), std::conj(A(4, 2)));
}

TEST(ElementOps, DimensionOneTouchesOnlyFirstElement) {
    const std::complex<double> sentinel(7.25, -3.5);
    CMatrix* mats[] = {&A, &B, &C};
    for (CMatrix* m : mats)
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 4; ++c) (*m)(r, c) = sentinel;
    A(1, 1) = std::complex<double>(0.5, 0.25);
    B(1, 1) = std::complex<double>(-1.0, 2.0);
    Complex2 f = {{0.0, 1.0, 1.0}};
    Complex2 ev;
    CMatAdd(1, A, B, C);
    CMatRMultAdd(1, A, 1.0, B, 2.0, C);
    RMultCMat(1, 3.0, C, C);
    CMultCMat(1, f, C, C);
    CMatMult(1, A, B, C);
    CMatCommutator(1, A, B, C);
    Transform(1, A, B, A, C);
    Adjungate(1, C, C);
    DoRotation(1, A, C);
    ExpMatrix(1, B, 0.3, C);
    NormCMatrix(1, C);
    ExpectationValue(1, A, B, ev);
    CMatZero(1, C);
    for (CMatrix* m : mats)
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 4; ++c)
                if (r != 1 || c != 1) {
                    EXPECT_EQ((*m)(r, c), sentinel) << r << "," << c;
                }
    EXPECT_EQ(C(1, 1), 0.0);
    EXPECT_NEAR(ev[1], (A(1, 1) * B(1, 1)).real(), 1e-15);
    EXPECT_NEAR(ev[2], (A(1, 1) * B(1, 1)).imag(), 1e-15);
}

TEST(ElementOps, NormExpectationSignPi) {
    const int n = 6;
    CMatZero(n, A);
    NormCMatrix(n, A);
    EXPECT_EQ(kt::frob(n, A), 0.0);
    kt::fill_random(n, A, 3, 40.0);
    NormCMatrix(n, A);
    EXPECT_NEAR(kt::frob(n, A), 1.0, 1e-14);

    kt::fill_random(n, B, 4);
    kt::identity(n, C);
    Complex2 ev;
    ExpectationValue(n, C, B, ev);
    std::complex<double> tr = 0.0;
    for (int i = 1; i <= n; ++i) tr += B(i, i);
    EXPECT_NEAR(ev[1], tr.real(), 1e-14);
    EXPECT_NEAR(ev[2], tr.imag(), 1e-14);
    // trace(A*B) against the reference product
    ref_mult(n, A, B, D);
    tr = 0.0;
    for (int i = 1; i <= n; ++i) tr += D(i, i);
    ExpectationValue(n, A, B, ev);
    EXPECT_NEAR(ev[1], tr.real(), 1e-13);
    EXPECT_NEAR(ev[2], tr.imag(), 1e-13);

    EXPECT_EQ(sign(3.0, 0.0), 3.0);
    EXPECT_EQ(sign(-3.0, 2.0), 3.0);
    EXPECT_EQ(sign(3.0, -1e-300), -3.0);
    EXPECT_DOUBLE_EQ(pi_val(), std::acos(-1.0));
}

TEST(Commutator, SpinHalfAlgebra) {
    spin_half(A, B, C);
    CMatCommutator(2, A, B, D);  // [Ix, Iy] = i Iz
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 2; ++c) EXPECT_NEAR(std::abs(D(r, c) - I1 * C(r, c)), 0.0, 1e-15);
    CopyCMatrix(2, B, D);
    CMatCommutator(2, D, C, D);  // [Iy, Iz] = i Ix, output aliases input
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 2; ++c) EXPECT_NEAR(std::abs(D(r, c) - I1 * A(r, c)), 0.0, 1e-15);
}

TEST(Rotation, IdentityTraceAndSpinHalfClosedForm) {
    const int n = 16;
    kt::fill_hermitian(n, A, 21);
    CopyCMatrix(n, A, B);
    kt::identity(n, C);
    DoRotation(n, C, B);
    EXPECT_LE(kt::max_abs_diff(n, A, B), 1e-15);

    kt::fill_hermitian(n, D, 22, 3.0);
    ExpMatrix(n, D, -0.7, E);  // unitary
    kt::fill_random(n, B, 23);
    std::complex<double> tr0 = 0.0, tr1 = 0.0;
    for (int i = 1; i <= n; ++i) tr0 += B(i, i);
    DoRotation(n, E, B);
    for (int i = 1; i <= n; ++i) tr1 += B(i, i);
    EXPECT_NEAR(std::abs(tr1 - tr0), 0.0, 1e-12);

    // densmat <- U^dagger rho U with U = exp(-i theta Ix): Iz -> Iz cos(theta) + Iy sin(theta)
    const double theta = 0.9;
    spin_half(A, B, C);
    ExpMatrix(2, A, -theta, D);
    CopyCMatrix(2, C, E);
    DoRotation(2, D, E);
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 2; ++c)
            EXPECT_NEAR(std::abs(E(r, c) - (std::cos(theta) * C(r, c) + std::sin(theta) * B(r, c))), 0.0, 1e-14);

    // Transform with aliasing prod == H
    kt::fill_random(3, A, 31);
    kt::fill_random(3, B, 32);
    kt::fill_random(3, C, 33);
    ref_mult(3, A, B, F);
    ref_mult(3, F, C, G);
    Transform(3, A, B, C, B);
    EXPECT_LE(kt::max_abs_diff(3, B, G), 1e-14);
}

TEST(ExpMatrix, ZeroTauIsIdentity) {
    kt::fill_hermitian(8, A, 41, 100.0);
    ExpMatrix(8, A, 0.0, B);
    EXPECT_EQ(kt::dist_identity(8, B), 0.0);
}

TEST(ExpMatrix, SpinHalfClosedForms) {
    spin_half(A, B, C);
    ExpMatrix(2, C, pi_val(), D);  // exp(i pi Iz)
    EXPECT_NEAR(std::abs(D(1, 1) - std::exp(I1 * (pi_val() / 2))), 0.0, 1e-14);
    EXPECT_NEAR(std::abs(D(2, 2) - std::exp(-I1 * (pi_val() / 2))), 0.0, 1e-14);
    EXPECT_EQ(D(1, 2), 0.0);
    EXPECT_EQ(D(2, 1), 0.0);

    // exp(i theta Ix) = cos(theta/2) 1 + 2i sin(theta/2) Ix, for angles that need squarings
    for (double theta : {0.3, 2.0, 37.0, 1.0e4}) {
        SCOPED_TRACE(theta);
        ExpMatrix(2, A, theta, D);
        const double c = std::cos(theta / 2), s = std::sin(theta / 2);
        const double tol = 1e-14 * std::fmax(1.0, theta);
        EXPECT_NEAR(std::abs(D(1, 1) - c), 0.0, tol);
        EXPECT_NEAR(std::abs(D(2, 2) - c), 0.0, tol);
        EXPECT_NEAR(std::abs(D(1, 2) - I1 * s), 0.0, tol);
        EXPECT_NEAR(std::abs(D(2, 1) - I1 * s), 0.0, tol);
    }
}

TEST(ExpMatrix, InPlaceMatchesSeparateOutput) {
    const int n = 20;
    kt::fill_hermitian(n, A, 51, 50.0);
    ExpMatrix(n, A, 1e-3, B);
    ExpMatrix(n, A, 1e-3, A);
    EXPECT_EQ(kt::max_abs_diff(n, A, B), 0.0);
}

TEST(ExpMatrix, UnitaryAndInverseAtFullSize) {
    // Realistic propagation step: Hamiltonian of a few kHz (rad/s), dt = 10 us.
    const int n = 256;
    const double dt = 1e-5;
    kt::fill_hermitian(n, A, 61, 2.0 * pi_val() * 50.0);
    ExpMatrix(n, A, dt, B);
    ExpMatrix(n, A, -dt, C);
    CMatMult(n, B, C, D);
    EXPECT_LE(kt::dist_identity(n, D), 1e-12);
    Adjungate(n, B, E);
    CMatMult(n, E, B, F);
    EXPECT_LE(kt::dist_identity(n, F), 1e-12);
}

TEST(ExpMatrix, AgreesWithEigenDecomposition) {
    // exp(i tau A) = Z diag(exp(i tau d)) Z^dagger, computed from the eigensolver.
    const int n = 32;
    const double tau = 0.37;
    kt::fill_hermitian(n, A, 71, 4.0);
    double d[MATRIXMATH_DIM + 1];
    hermit(n, A, B, d);
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) C(r, c) = B(r, c) * std::exp(I1 * (tau * d[c]));
    Adjungate(n, B, D);
    ref_mult(n, C, D, E);
    ExpMatrix(n, A, tau, F);
    EXPECT_LE(kt::max_abs_diff(n, E, F), 1e-11);
}

TEST(ShowCMatElements, PrintsBothTables) {
    CMatZero(2, A);
    A(1, 2) = std::complex<double>(1500.0, -0.25);
    std::fflush(stdout);
    char path[] = "/tmp/vyn_show_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const int saved = dup(1);
    dup2(fd, 1);
    ShowCMatElements(2, A);
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(fd);
    std::string out;
    if (FILE* f = std::fopen(path, "r")) {
        char buf[4096];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, got);
        std::fclose(f);
    }
    std::remove(path);
    EXPECT_NE(out.find("REAL PART (n = 2)"), std::string::npos);
    EXPECT_NE(out.find("IMAGINARY PART (n = 2)"), std::string::npos);
    EXPECT_NE(out.find("   1    0.0E+00   1.5E+03 \n"), std::string::npos) << out;
    EXPECT_NE(out.find("-2.5E-01"), std::string::npos);
    EXPECT_LT(out.find("1.5E+03"), out.find("IMAGINARY"));
}
