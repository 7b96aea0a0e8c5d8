// Product basis and spin operator matrices.
#include "spinoperatorlib.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "kernel_testutil.h"

namespace {

SpinKet ket;
CMatrix P, M, X, Y, Zm, T1, T2, T3;
const std::complex<double> I1(0.0, 1.0);

void expect_matrix(int n, const CMatrix& m, std::initializer_list<std::complex<double>> rowmajor, double tol = 1e-15) {
    auto it = rowmajor.begin();
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c, ++it)
            EXPECT_NEAR(std::abs(m(r, c) - *it), 0.0, tol) << "(" << r << "," << c << ")";
}

}  // namespace

TEST(MakeKets, BasisOrderAndCounts) {
    SpinIList two = {0, 1, 1};
    MakeKets(ket, two);
    const int rows[4][2] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
    for (int s = 1; s <= 4; ++s) {
        EXPECT_EQ(ket[s][1], rows[s - 1][0]);
        EXPECT_EQ(ket[s][2], rows[s - 1][1]);
    }
    for (int k = 0; k <= SPINOP_MAX_SPINS; ++k) EXPECT_EQ(ket[0][k], 0);
    EXPECT_EQ(ket[5][1], 0);  // beyond the basis

    // Mixed spins: spin-1 then spin-1/2, first spin slowest.
    SpinIList mixed = {0, 2, 1};
    MakeKets(ket, mixed);
    EXPECT_EQ(spinop_count_states(mixed), 6);
    const int m1[6] = {2, 2, 0, 0, -2, -2}, m2[6] = {1, -1, 1, -1, 1, -1};
    for (int s = 1; s <= 6; ++s) {
        EXPECT_EQ(ket[s][1], m1[s - 1]);
        EXPECT_EQ(ket[s][2], m2[s - 1]);
    }

    SpinIList trailing_zero = {0, 1, 0};
    EXPECT_EQ(spinop_count_spins(trailing_zero), 1);
    EXPECT_EQ(spinop_count_states(trailing_zero), 2);
    SpinIList inner_zero = {0, 1, 0, 1};
    EXPECT_EQ(spinop_count_spins(inner_zero), 3);
    EXPECT_EQ(spinop_count_states(inner_zero), 4);
    MakeKets(ket, inner_zero);
    EXPECT_EQ(ket[2][1], 1);
    EXPECT_EQ(ket[2][2], 0);
    EXPECT_EQ(ket[2][3], -1);

    SpinIList eight = {0, 1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(spinop_count_states(eight), 256);
    MakeKets(ket, eight);
    EXPECT_EQ(ket[256][8], -1);
    EXPECT_EQ(ket[256][1], -1);
    EXPECT_EQ(ket[1][8], 1);

    MakeKets(nullptr, eight);  // absent arguments: nothing happens
    MakeKets(ket, nullptr);
    EXPECT_EQ(ket[256][8], -1);
}

TEST(MakeKets, RefusesMoreThan256States) {
    SpinIList too_many = {0, 2, 2, 2, 2, 2, 2, 2, 2};  // 3^8 = 6561
    SpinIList negative = {0, -3, 1};                   // a negative entry among the counted spins
    SpinIList huge = {0, 2000000000, 2000000000, 7};
    SpinIList largest = {0, 1, INT_MAX};
    for (const int* il : {too_many, negative, huge, largest}) {
        SpinIList ok = {0, 1};
        MakeKets(ket, ok);
        testing::internal::CaptureStderr();
        MakeKets(ket, il);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("MakeKets: too many states for Nspins="), std::string::npos);
        EXPECT_NE(err.find("(max 256)"), std::string::npos);
        for (int s = 0; s <= MATRIXMATH_DIM; ++s)
            for (int k = 0; k <= SPINOP_MAX_SPINS; ++k) ASSERT_EQ(ket[s][k], 0);
        EXPECT_EQ(spinop_count_states(il), 0);
    }
}

TEST(SpinOperators, SpinHalfAndSpinOne) {
    SpinIList half = {0, 1};
    MakeKets(ket, half);
    MakeMatrixIplus(half, ket, 2, 1, P);
    expect_matrix(2, P, {0, 1, 0, 0});
    MakeMatrixImin(half, ket, 2, 1, M);
    expect_matrix(2, M, {0, 0, 1, 0});
    MakeMatrixIx(half, ket, 2, 1, X);
    expect_matrix(2, X, {0, 0.5, 0.5, 0});
    MakeMatrixIy(half, ket, 2, 1, Y);
    expect_matrix(2, Y, {0, -0.5 * I1, 0.5 * I1, 0});
    MakeMatrixIz(half, ket, 2, 1, Zm);
    expect_matrix(2, Zm, {0.5, 0, 0, -0.5});

    SpinIList one = {0, 2};
    MakeKets(ket, one);
    const double r2 = std::sqrt(2.0);
    MakeMatrixIplus(one, ket, 3, 1, P);
    expect_matrix(3, P, {0, r2, 0, 0, 0, r2, 0, 0, 0});
    MakeMatrixIz(one, ket, 3, 1, Zm);
    expect_matrix(3, Zm, {1, 0, 0, 0, 0, 0, 0, 0, -1}, 1e-14);

    SpinIList two = {0, 1, 1};
    MakeKets(ket, two);
    MakeMatrixIz(two, ket, 4, 2, Zm);
    expect_matrix(4, Zm, {0.5, 0, 0, 0, 0, -0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, -0.5});
}

TEST(SpinOperators, LadderCoefficients) {
    SpinIList il = {0, 3};  // spin-3/2
    MakeKets(ket, il);
    static SpinKet out;
    double coef = -1.0;
    operateIplus(il, 2, 1, ket, out, &coef);  // m = 1/2 -> 3/2: sqrt((I-m)(I+m+1)) = sqrt(3)
    EXPECT_NEAR(coef, std::sqrt(3.0), 1e-15);
    EXPECT_EQ(out[2][1], 3);
    operateIplus(il, 1, 1, ket, out, &coef);  // m = I: annihilated, copy of the row
    EXPECT_EQ(coef, 0.0);
    EXPECT_EQ(out[1][1], 3);
    operateImin(il, 3, 1, ket, out, &coef);  // m = -1/2 -> -3/2: sqrt((I+m)(I-m+1)) = sqrt(3)
    EXPECT_NEAR(coef, std::sqrt(3.0), 1e-15);
    EXPECT_EQ(out[3][1], -3);
    operateImin(il, 4, 1, ket, out, &coef);
    EXPECT_EQ(coef, 0.0);
    operateImin(il, 2, 1, ket, out, &coef);  // m = 1/2 -> -1/2: sqrt(2*2) = 2
    EXPECT_NEAR(coef, 2.0, 1e-15);

    int a[9] = {0, 1, -1, 3}, b[9] = {0, 1, -1, 1};
    EXPECT_EQ(ket_equal(a, b, 2), 1);
    EXPECT_EQ(ket_equal(a, b, 3), 0);

    double e1 = -1, e2 = -1;
    InproductIplus(il, ket, 1, 2, 1, &e1, &e2);
    EXPECT_NEAR(e1, std::sqrt(3.0), 1e-15);
    EXPECT_EQ(e2, 0.0);
    InproductIplus(il, ket, 2, 1, 1, &e1, &e2);
    EXPECT_EQ(e1, 0.0);
    inproductImin(il, ket, 3, 2, 1, &e1, &e2);
    EXPECT_NEAR(e1, 2.0, 1e-15);
}

TEST(SpinOperators, AngularMomentumAlgebraForMixedSpins) {
    // Spins 3/2, 1 and 1/2: [Ix, Iy] = i Iz, Ix^2 + Iy^2 + Iz^2 = I(I+1),
    // and operators of different spins commute.
    SpinIList il = {0, 3, 2, 1};
    MakeKets(ket, il);
    const int n = spinop_count_states(il);
    ASSERT_EQ(n, 24);
    static CMatrix X2;
    for (int s = 1; s <= 3; ++s) {
        SCOPED_TRACE(s);
        MakeMatrixIx(il, ket, n, s, X);
        MakeMatrixIy(il, ket, n, s, Y);
        MakeMatrixIz(il, ket, n, s, Zm);
        CMatCommutator(n, X, Y, T1);
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c) ASSERT_NEAR(std::abs(T1(r, c) - I1 * Zm(r, c)), 0.0, 1e-13);
        CMatMult(n, X, X, T1);
        CMatMult(n, Y, Y, T2);
        CMatMult(n, Zm, Zm, T3);
        CMatAdd(n, T1, T2, T1);
        CMatAdd(n, T1, T3, T1);
        const double I = il[s] / 2.0;
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c) ASSERT_NEAR(std::abs(T1(r, c) - (r == c ? I * (I + 1) : 0.0)), 0.0, 1e-13);
        const int other = s % 3 + 1;
        MakeMatrixIx(il, ket, n, other, X2);
        CMatCommutator(n, X, X2, T1);
        CMatCommutator(n, Zm, X2, T2);
        EXPECT_LE(kt::frob(n, T1), 1e-14);
        EXPECT_LE(kt::frob(n, T2), 1e-14);
    }
}

TEST(SpinOperators, TotalsAndNormalisation) {
    SpinIList two = {0, 1, 1};
    MakeKets(ket, two);
    MakeTotalIz(4, 2, ket, two, 1, T1);
    MakeTotalIz(4, 2, ket, two, 0, T2);
    EXPECT_LE(kt::max_abs_diff(4, T1, T2), 1e-15);  // each term already has norm 1
    expect_matrix(4, T2, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1});

    SpinIList three = {0, 1, 1, 1};
    MakeKets(ket, three);
    MakeTotalIz(8, 3, ket, three, 1, T1);
    MakeTotalIz(8, 3, ket, three, 0, T2);
    RMultCMat(8, 1.0 / std::sqrt(2.0), T2, T3);
    EXPECT_LE(kt::max_abs_diff(8, T1, T3), 1e-15);

    // Unnormalised Ix total of three spins: Frobenius norm sqrt(3 * 8/4).
    MakeTotalIx(8, 3, ket, three, 0, T1);
    EXPECT_NEAR(kt::frob(8, T1), std::sqrt(6.0), 1e-14);
}

TEST(SpinOperators, EightSpinsFullSize) {
    SpinIList eight = {0, 1, 1, 1, 1, 1, 1, 1, 1};
    MakeKets(ket, eight);
    MakeMatrixIz(eight, ket, 256, 8, Zm);
    for (int s = 1; s <= 256; ++s) ASSERT_EQ(Zm(s, s).real(), (s % 2 == 1) ? 0.5 : -0.5);
    MakeMatrixIx(eight, ket, 256, 1, X);
    EXPECT_EQ(X(1, 129).real(), 0.5);  // spin 1 flips between the two halves
    EXPECT_EQ(X(1, 2).real(), 0.0);
    EXPECT_NEAR(kt::frob(256, X), 0.5 * std::sqrt(256.0), 1e-12);
}

TEST(SpinOperators, DimensionOutsideRangeWritesNothing) {
    SpinIList il = {0, 1};
    MakeKets(ket, il);
    Zm(1, 1) = 9.0;
    for (int bad : {0, -1, MATRIXMATH_DIM + 1, 100000}) {
        MakeMatrixIz(il, ket, bad, 1, Zm);
        MakeMatrixIplus(il, ket, bad, 1, Zm);
        MakeTotalIx(bad, 1, ket, il, 1, Zm);
        EXPECT_EQ(Zm(1, 1), 9.0);
    }
}

// The ladder matrices are built by applying the operator once per state: every
// element must still be the one the element functions give, and Iz (sparse
// products) the same bytes as the dense commutator [I+, I-] / 2 — on
// spin-1/2, spin-1, spin-3/2 and mixed systems, every spin.
TEST(SpinOperators, LadderMatricesMatchElementsAndDenseCommutator) {
    const std::vector<std::vector<int>> systems = {{1}, {1, 1, 1}, {2, 1}, {1, 2, 3}, {2, 2, 1, 1}, {1, 1, 1, 1, 1, 1}};
    for (const std::vector<int>& sys : systems) {
        SpinIList il = {0};
        for (size_t s = 0; s < sys.size(); ++s) il[s + 1] = sys[s];
        MakeKets(ket, il);
        const int n = spinop_count_states(il);
        for (int x = 1; x <= static_cast<int>(sys.size()); ++x) {
            MakeMatrixIplus(il, ket, n, x, P);
            MakeMatrixImin(il, ket, n, x, M);
            for (int k = 1; k <= n; ++k)
                for (int l = 1; l <= n; ++l) {
                    double p1, p2, m1, m2;
                    InproductIplus(il, ket, k, l, x, &p1, &p2);
                    inproductImin(il, ket, k, l, x, &m1, &m2);
                    ASSERT_EQ(P(k, l), std::complex<double>(p1, p2)) << "n=" << n << " spin " << x;
                    ASSERT_EQ(M(k, l), std::complex<double>(m1, m2)) << "n=" << n << " spin " << x;
                }
            CMatCommutator(n, P, M, T1);
            RMultCMat(n, 0.5, T1, T1);
            MakeMatrixIz(il, ket, n, x, Zm);
            for (int r = 1; r <= n; ++r)
                ASSERT_EQ(std::memcmp(&T1(r, 1), &Zm(r, 1), sizeof(std::complex<double>) * n), 0)
                    << "n=" << n << " spin " << x << " row " << r;
        }
    }
}

// The sparse product-and-add that builds the coupling terms must give the
// bits of the dense route (product, then CMatRMultAdd with factor 1 on the
// accumulator), on an accumulator that already holds terms of both signs.
TEST(SpinOperators, SparseProductAddMatchesProductThenAdd) {
    typedef void (*Op)(const int*, const SpinKetRow*, int, int, CMatrix&);
    const std::vector<std::vector<int>> systems = {{1, 1}, {2, 1, 3}, {2, 2, 1}, {1, 1, 1, 1, 1, 1}};
    static CMatrix acc, want, prod;
    for (const std::vector<int>& sys : systems) {
        SpinIList il = {0};
        for (size_t s = 0; s < sys.size(); ++s) il[s + 1] = sys[s];
        MakeKets(ket, il);
        const int n = spinop_count_states(il), ns = static_cast<int>(sys.size());
        CMatZero(n, acc);
        CMatZero(n, want);
        double factor = 0.37;
        for (int k = 1; k <= ns; ++k)
            for (int l = k + 1; l <= ns; ++l)
                for (Op op : {MakeMatrixIx, MakeMatrixIy, MakeMatrixIz}) {
                    op(il, ket, n, k, P);
                    op(il, ket, n, l, M);
                    factor = -1.7 * factor + 0.11 * k;  // both signs, never zero here
                    spinop_sparse_mult(n, P, M, prod);
                    CMatRMultAdd(n, want, 1.0, prod, factor, want);
                    spinop_sparse_mult_add(n, P, M, factor, acc);
                    // Dense reference for the product itself.
                    CMatMult(n, P, M, T1);
                    EXPECT_LE(kt::max_abs_diff(n, T1, prod), 1e-14) << "n=" << n;
                }
        double largest = 0.0;
        for (int r = 1; r <= n; ++r) {
            ASSERT_EQ(std::memcmp(&acc(r, 1), &want(r, 1), sizeof(std::complex<double>) * n), 0)
                << "n=" << n << " row " << r;
            for (int c = 1; c <= n; ++c) largest = std::max(largest, std::abs(acc(r, c)));
        }
        EXPECT_GT(largest, 0.1) << "n=" << n;
    }
}
