// Hermitian eigensolver and line spectra.
#include <gtest/gtest.h>

#include <vector>

#include "kernel_testutil.h"
#include "matrixmathlib.h"
#include "spinoperatorlib.h"

namespace {

CMatrix A, Z, T1, T2, T3;
double D[MATRIXMATH_DIM + 1];
const std::complex<double> I1(0.0, 1.0);
const double TWO_PI = 2.0 * 3.141592653589793;

// Residual ||A Z - Z D||_F / ||A||_F.
double residual(int n, const CMatrix& a, const CMatrix& z, const double* d) {
    CMatMult(n, a, z, T1);
    double s = 0.0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) s += std::norm(T1(r, c) - z(r, c) * d[c]);
    const double na = kt::frob(n, a);
    return std::sqrt(s) / (na > 0.0 ? na : 1.0);
}

// max |Z^dagger Z - 1|
double orthonormality_error(int n, const CMatrix& z) {
    Adjungate(n, z, T2);
    CMatMult(n, T2, z, T3);
    return kt::dist_identity(n, T3);
}

// Checks a full decomposition: residual, orthonormality, ascending order,
// and the invariants trace(A) = sum d and ||A||_F^2 = sum d^2.
void expect_decomposition(int n, const CMatrix& a, double tol) {
    hermit(n, a, Z, D);
    EXPECT_LE(residual(n, a, Z, D), tol);
    EXPECT_LE(orthonormality_error(n, Z), tol);
    double tr = 0.0, sum = 0.0, sum2 = 0.0;
    for (int j = 1; j <= n; ++j) {
        tr += a(j, j).real();
        sum += D[j];
        sum2 += D[j] * D[j];
        if (j > 1) {
            EXPECT_LE(D[j - 1], D[j]);
        }
    }
    const double nf = kt::frob(n, a);
    EXPECT_NEAR(sum, tr, tol * nf * n);
    EXPECT_NEAR(sum2, nf * nf, tol * nf * nf * n);
}

// Strongly, exactly coupled spin-1/2 system: offsets and couplings in Hz.
int coupled_hamiltonian(int nspins, const double* nu, double J, CMatrix& h) {
    static SpinKet ket;
    static CMatrix op1, op2, prod;
    SpinIList il = {0};
    for (int s = 1; s <= nspins; ++s) il[s] = 1;
    MakeKets(ket, il);
    const int n = 1 << nspins;
    CMatZero(n, h);
    for (int s = 1; s <= nspins; ++s) {
        MakeMatrixIz(il, ket, n, s, op1);
        CMatRMultAdd(n, h, 1.0, op1, TWO_PI * nu[s - 1], h);
    }
    typedef void (*Op)(const int*, const SpinKetRow*, int, int, CMatrix&);
    const Op ops[] = {MakeMatrixIx, MakeMatrixIy, MakeMatrixIz};
    for (int k = 1; k <= nspins; ++k)
        for (int l = k + 1; l <= nspins; ++l)
            for (Op op : ops) {
                op(il, ket, n, k, op1);
                op(il, ket, n, l, op2);
                CMatMult(n, op1, op2, prod);
                CMatRMultAdd(n, h, 1.0, prod, TWO_PI * J, h);
            }
    return n;
}

}  // namespace

TEST(Hermit, RandomMatricesBothPaths) {
    for (int n : {4, 32, 256}) {
        SCOPED_TRACE(n);
        kt::fill_hermitian(n, A, 100 + n, 3.0);
        expect_decomposition(n, A, 1e-11);
    }
    // The Jacobi path on sizes that otherwise go to LAPACK, and the reverse.
    {
        kt::IntSetting jacobi_all(matrixmath_eig_jacobi_max_n, 32);
        kt::fill_hermitian(32, A, 7, 1.0);
        expect_decomposition(32, A, 1e-11);
    }
    {
        kt::IntSetting lapack_all(matrixmath_eig_jacobi_max_n, 0);
        kt::fill_hermitian(4, A, 8, 1.0);
        expect_decomposition(4, A, 1e-12);
    }
}

TEST(Hermit, JacobiAndLapackGiveSameSpectrum) {
    const int n = 12;
    kt::fill_hermitian(n, A, 9, 1e3);
    double d_jac[MATRIXMATH_DIM + 1], d_lap[MATRIXMATH_DIM + 1];
    {
        kt::IntSetting s(matrixmath_eig_jacobi_max_n, MATRIXMATH_DIM);
        hermit(n, A, Z, d_jac);
    }
    {
        kt::IntSetting s(matrixmath_eig_jacobi_max_n, 0);
        hermit(n, A, Z, d_lap);
    }
    for (int j = 1; j <= n; ++j) EXPECT_NEAR(d_jac[j], d_lap[j], 1e-9) << j;
}

TEST(Hermit, StronglyCoupledSpinsConverge) {
    // Couplings comparable to the offset differences; four spins need far
    // more than 60 Jacobi rotations to converge.
    const double nu[] = {100.0, 108.0, 115.0, 121.0};
    for (int nspins : {3, 4}) {
        SCOPED_TRACE(nspins);
        const int n = coupled_hamiltonian(nspins, nu, 9.0, A);
        kt::IntSetting jacobi(matrixmath_eig_jacobi_max_n, MATRIXMATH_DIM);
        expect_decomposition(n, A, 1e-12);

        static MatrixMathEigRow a[MATRIXMATH_EIG_DIM], v[MATRIXMATH_EIG_DIM];
        static double d[MATRIXMATH_EIG_DIM];
        const int N = 2 * n;
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) {
                a[r][c] = a[n + r][n + c] = A(r + 1, c + 1).real();
                a[r][n + c] = -A(r + 1, c + 1).imag();
                a[n + r][c] = A(r + 1, c + 1).imag();
            }
        const int rotations = jacobi_real_symmetric(N, a, d, v);
        if (nspins == 4) {
            EXPECT_GT(rotations, 60);
        }
        EXPECT_GT(rotations, 0);
        double max_off = 0.0;
        for (int i = 0; i < N; ++i)
            for (int j = i + 1; j < N; ++j) max_off = std::fmax(max_off, std::fabs(a[i][j]));
        EXPECT_LT(max_off, 1e-12);
    }
}

TEST(Hermit, SpecifiedSmallCases) {
    kt::IntSetting jacobi(matrixmath_eig_jacobi_max_n, MATRIXMATH_EIG_JACOBI_MAX_N_DEFAULT);
    // diag(3, 1): the real embedding and the tie rules give the second vector the phase i.
    CMatZero(2, A);
    A(1, 1) = 3.0;
    A(2, 2) = 1.0;
    hermit(2, A, Z, D);
    EXPECT_EQ(D[1], 1.0);
    EXPECT_EQ(D[2], 3.0);
    EXPECT_EQ(Z(1, 1), 0.0);
    EXPECT_EQ(Z(2, 1), 1.0);
    EXPECT_EQ(Z(1, 2), I1);
    EXPECT_EQ(Z(2, 2), 0.0);

    // [[0, 1], [1, 0]]: D = (-1, 1), vectors (1, -1)/sqrt2 and (1, 1)/sqrt2 up to phase.
    CMatZero(2, A);
    A(1, 2) = A(2, 1) = 1.0;
    hermit(2, A, Z, D);
    EXPECT_NEAR(D[1], -1.0, 1e-14);
    EXPECT_NEAR(D[2], 1.0, 1e-14);
    const double h = std::sqrt(0.5);
    EXPECT_NEAR(std::abs(Z(1, 1)), h, 1e-14);
    EXPECT_NEAR(std::abs(Z(1, 1) + Z(2, 1)), 0.0, 1e-14);
    EXPECT_NEAR(std::abs(Z(1, 2)), h, 1e-14);
    EXPECT_NEAR(std::abs(Z(1, 2) - Z(2, 2)), 0.0, 1e-14);

    // A diagonal matrix needs no rotation: sorted values, unit vectors.
    CMatZero(4, A);
    const double diag[] = {2.5, -1.0, 7.0, 0.5};
    for (int i = 1; i <= 4; ++i) A(i, i) = diag[i - 1];
    hermit(4, A, Z, D);
    const double sorted[] = {-1.0, 0.5, 2.5, 7.0};
    for (int j = 1; j <= 4; ++j) {
        EXPECT_EQ(D[j], sorted[j - 1]);
        int nonzero = 0;
        for (int i = 1; i <= 4; ++i)
            if (std::abs(Z(i, j)) != 0.0) {
                ++nonzero;
                EXPECT_EQ(std::abs(Z(i, j)), 1.0);
                EXPECT_EQ(A(i, i).real(), D[j]);
            }
        EXPECT_EQ(nonzero, 1);
    }
}

TEST(Hermit, DegenerateEigenvaluesGiveOrthonormalVectors) {
    // Multiples of the identity: every preferred column pair of the embedding
    // stands for one complex vector; the group must still yield n vectors.
    for (int path : {MATRIXMATH_DIM, 0}) {
        kt::IntSetting s(matrixmath_eig_jacobi_max_n, path);
        for (int n : {2, 3, 6}) {
            SCOPED_TRACE(testing::Message() << "n=" << n << " jacobi_max=" << path);
            CMatZero(n, A);
            for (int i = 1; i <= n; ++i) A(i, i) = 2.0;
            expect_decomposition(n, A, 1e-13);
            for (int j = 1; j <= n; ++j) EXPECT_EQ(D[j], 2.0);
        }
    }
    // Hidden degeneracy: U diag(1, 1, 2, 5, 5, 5) U^dagger with a random unitary U.
    const int n = 6;
    static CMatrix H, U, Ud, Dg;
    kt::fill_hermitian(n, H, 77, 1.0);
    ExpMatrix(n, H, 1.3, U);
    Adjungate(n, U, Ud);
    CMatZero(n, Dg);
    const double ev[] = {1.0, 1.0, 2.0, 5.0, 5.0, 5.0};
    for (int i = 1; i <= n; ++i) Dg(i, i) = ev[i - 1];
    Transform(n, U, Dg, Ud, A);
    for (int path : {MATRIXMATH_DIM, 0}) {
        kt::IntSetting s(matrixmath_eig_jacobi_max_n, path);
        expect_decomposition(n, A, 1e-12);
        for (int j = 1; j <= n; ++j) EXPECT_NEAR(D[j], ev[j - 1], 1e-12);
    }
}

TEST(SortSpectrum, MergesSortsAndDrops) {
    static SpectrumLineList spc;
    zero_spectrum(spc);
    int np = 4;
    const double f[] = {30.0, 10.0, 10.04, 10.06};
    const double a[] = {1.0, 2.0, 0.5, 0.25};
    for (int k = 1; k <= 4; ++k) {
        spc[1][k] = a[k - 1];
        spc[2][k] = f[k - 1];
    }
    SortSpectrum(&np, spc);
    ASSERT_EQ(np, 3);
    EXPECT_EQ(spc[2][1], 10.0);  // 10.04 merged into 10.00, frequency kept
    EXPECT_EQ(spc[1][1], 2.5);
    EXPECT_EQ(spc[2][2], 10.06);
    EXPECT_EQ(spc[1][2], 0.25);
    EXPECT_EQ(spc[2][3], 30.0);
    EXPECT_EQ(spc[1][3], 1.0);
    EXPECT_EQ(spc[1][4], 0.0);  // freed slot cleared
    EXPECT_EQ(spc[2][4], 0.0);

    np = 1;
    spc[1][1] = 4.0;
    spc[2][1] = 99.0;
    SortSpectrum(&np, spc);
    EXPECT_EQ(np, 1);
    EXPECT_EQ(spc[2][1], 99.0);
    SortSpectrum(nullptr, spc);  // absent count: nothing happens

    // A count beyond the list capacity is read as a full list, never beyond it.
    for (int k = 1; k <= MATRIXMATH_MAX_LINES; ++k) {
        spc[1][k] = 1.0;
        spc[2][k] = MATRIXMATH_MAX_LINES - k;  // 1 Hz apart, descending
    }
    np = 100000;
    SortSpectrum(&np, spc);
    ASSERT_EQ(np, MATRIXMATH_MAX_LINES);
    for (int k = 1; k <= MATRIXMATH_MAX_LINES; ++k) EXPECT_EQ(spc[2][k], k - 1.0);
}

TEST(DoSpectrum, SingleSpinHalf) {
    static SpinKet ket;
    static CMatrix ix, iz, h, rho;
    static SpectrumLineList csp, ssp;
    SpinIList il = {0, 1};
    MakeKets(ket, il);
    MakeMatrixIx(il, ket, 2, 1, ix);
    MakeMatrixIz(il, ket, 2, 1, iz);
    RMultCMat(2, TWO_PI * 100.0, iz, h);
    CopyCMatrix(2, iz, rho);
    NormCMatrix(2, rho);
    int nc = -1, ns = -1;
    DoSpectrum(2, rho, h, ix, csp, ssp, &nc, &ns);
    EXPECT_EQ(nc, 0);  // no coherence, no line
    EXPECT_EQ(ns, 0);

    DoSpectrum(2, ix, h, ix, csp, ssp, &nc, &ns);
    ASSERT_EQ(nc, 1);
    EXPECT_NEAR(csp[2][1], 100.0, 1e-10);
    EXPECT_NEAR(csp[1][1], 0.5, 1e-14);
    EXPECT_EQ(ns, 0);
    // Without counts the lists are the same merged lists.
    DoSpectrum(2, ix, h, ix, csp, ssp, nullptr, nullptr);
    EXPECT_NEAR(csp[1][1], 0.5, 1e-14);
    EXPECT_NEAR(csp[2][1], 100.0, 1e-10);
    EXPECT_EQ(csp[1][2], 0.0);
    EXPECT_EQ(csp[2][2], 0.0);
}

TEST(DoSpectrum, TwoSpinLinePositionsAndRoofEffect) {
    static SpinKet ket;
    static CMatrix ixtot, h, op1, op2, prod;
    static SpectrumLineList csp, ssp;
    SpinIList il = {0, 1, 1};
    MakeKets(ket, il);
    MakeTotalIx(4, 2, ket, il, 0, ixtot);
    const double nu1 = 100.0, J = 7.0;
    for (double nu2 : {300.0, 110.0}) {  // weakly coupled AX, then strongly coupled AB
        SCOPED_TRACE(nu2);
        CMatZero(4, h);
        MakeMatrixIz(il, ket, 4, 1, op1);
        MakeMatrixIz(il, ket, 4, 2, op2);
        CMatRMultAdd(4, op1, TWO_PI * nu1, op2, TWO_PI * nu2, h);
        typedef void (*Op)(const int*, const SpinKetRow*, int, int, CMatrix&);
        for (Op op : {MakeMatrixIx, MakeMatrixIy, MakeMatrixIz}) {
            op(il, ket, 4, 1, op1);
            op(il, ket, 4, 2, op2);
            CMatMult(4, op1, op2, prod);
            CMatRMultAdd(4, h, 1.0, prod, TWO_PI * J, h);
        }
        int nc = 0, ns = 0;
        DoSpectrum(4, ixtot, h, ixtot, csp, ssp, &nc, &ns);
        ASSERT_EQ(nc, 4);
        EXPECT_EQ(ns, 0);
        // AB quartet: lines at centre +-J/2 +-Q/2, Q = sqrt(dnu^2 + J^2);
        // inner lines (1 + J/Q)/2, outer (1 - J/Q)/2.
        const double centre = 0.5 * (nu1 + nu2), Q = std::sqrt((nu2 - nu1) * (nu2 - nu1) + J * J);
        const double fexp[] = {centre - J / 2 - Q / 2, centre + J / 2 - Q / 2, centre - J / 2 + Q / 2,
                               centre + J / 2 + Q / 2};
        const double aexp[] = {(1 - J / Q) / 2, (1 + J / Q) / 2, (1 + J / Q) / 2, (1 - J / Q) / 2};
        for (int k = 1; k <= 4; ++k) {
            EXPECT_NEAR(csp[2][k], fexp[k - 1], 1e-9) << k;
            EXPECT_NEAR(csp[1][k], aexp[k - 1], 1e-12) << k;
        }
    }
}

TEST(DoSpectrum, MoreThan256CandidatesLoseNoLine) {
    // Six weakly coupled spins-1/2 at 100, 200, ..., 3200 Hz with J = 7 Hz:
    // Ix_tot detected on Ix_tot gives 6 * 64 = 384 candidate lines (ordered
    // single-quantum pairs, 0.25 each) that merge into 36 lines. Spin s shows
    // lines at nu_s + J (k - 5/2), k = 0..5, of amplitude 0.5 C(5, k); the sum
    // of all amplitudes is tr(Ix_tot^2) = 6 * 64 / 4 = 96.
    const int nspins = 6;
    static SpinKet ket;
    static CMatrix h, ixtot, op1, op2, prod;
    static SpectrumLineList csp, ssp;
    SpinIList il = {0};
    for (int s = 1; s <= nspins; ++s) il[s] = 1;
    MakeKets(ket, il);
    const int n = 64;
    const double J = 7.0;
    double nu[nspins];
    CMatZero(n, h);
    for (int s = 1; s <= nspins; ++s) {
        nu[s - 1] = 100.0 * (1 << (s - 1));
        MakeMatrixIz(il, ket, n, s, op1);
        CMatRMultAdd(n, h, 1.0, op1, TWO_PI * nu[s - 1], h);
    }
    for (int k = 1; k <= nspins; ++k)
        for (int l = k + 1; l <= nspins; ++l) {
            MakeMatrixIz(il, ket, n, k, op1);
            MakeMatrixIz(il, ket, n, l, op2);
            CMatMult(n, op1, op2, prod);
            CMatRMultAdd(n, h, 1.0, prod, TWO_PI * J, h);
        }
    MakeTotalIx(n, nspins, ket, il, 0, ixtot);
    int nc = -1, ns = -1;
    DoSpectrum(n, ixtot, h, ixtot, csp, ssp, &nc, &ns);
    EXPECT_EQ(ns, 0);
    ASSERT_EQ(nc, 36);
    const int binom[] = {1, 5, 10, 10, 5, 1};
    double total = 0.0;
    int line = 1;
    for (int s = 1; s <= nspins; ++s)
        for (int k = 0; k <= 5; ++k, ++line) {
            SCOPED_TRACE(testing::Message() << "spin " << s << " k " << k);
            EXPECT_NEAR(csp[2][line], nu[s - 1] + J * (k - 2.5), 1e-8);
            EXPECT_NEAR(csp[1][line], 0.5 * binom[k], 1e-12);
            total += csp[1][line];
        }
    EXPECT_NEAR(total, 96.0, 1e-10);
}

TEST(DoSpectrum, LineListStopsAt256DistinctLines) {
    // 32 states with dense coherences give 992 candidate lines at 496
    // distinct frequencies: the list fills up with 256 distinct lines.
    const int n = 32;
    static CMatrix h, rho, coh;
    static SpectrumLineList csp, ssp;
    kt::fill_hermitian(n, h, 3, 1e4);
    kt::fill_random(n, rho, 4);
    kt::fill_random(n, coh, 5);
    int nc = -1, ns = -1;
    DoSpectrum(n, rho, h, coh, csp, ssp, &nc, &ns);
    EXPECT_EQ(nc, MATRIXMATH_MAX_LINES);
    EXPECT_EQ(ns, MATRIXMATH_MAX_LINES);
    for (int k = 2; k <= nc; ++k) EXPECT_GT(csp[2][k] - csp[2][k - 1], 0.05);
    for (int k = 2; k <= ns; ++k) EXPECT_GT(ssp[2][k] - ssp[2][k - 1], 0.05);
}

TEST(DoSpectrum, DimensionOutsideRangeGivesEmptyLists) {
    static CMatrix h, rho;
    static SpectrumLineList csp, ssp;
    kt::fill_hermitian(4, h, 1, 10.0);
    kt::fill_random(4, rho, 2);
    int nc = 0, ns = 0;
    DoSpectrum(4, rho, h, rho, csp, ssp, &nc, &ns);
    ASSERT_GT(nc, 0);
    for (int bad : {0, -3, MATRIXMATH_DIM + 1}) {
        DoSpectrum(bad, rho, h, rho, csp, ssp, &nc, &ns);
        EXPECT_EQ(nc, 0);
        EXPECT_EQ(ns, 0);
        EXPECT_EQ(csp[1][1], 0.0);
        EXPECT_EQ(csp[2][1], 0.0);
    }
}
