// Spin-system engine state: build route, Hamiltonians, reset and prompts.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "kernel_testutil.h"
#include "vyn.h"

namespace {

const double TWO_PI = 2.0 * 3.141592653589793;
CMatrix T1, T2, T3;

void clear_inputs() {
    VYNSpinState& S = vyn_spin;
    S.Nspins = 0;
    std::memset(S.quantnum, 0, sizeof S.quantnum);
    std::memset(S.relspinamp, 0, sizeof S.relspinamp);
    std::memset(S.resofreqs, 0, sizeof S.resofreqs);
    std::memset(S.couplings, 0, sizeof S.couplings);
    std::memset(S.jc, 0, sizeof S.jc);
    S.Jexact = 1;
    S.Jcount = 0;
}

void spin_halves(int nspins) {
    clear_inputs();
    vyn_spin.Nspins = nspins;
    for (int s = 1; s <= nspins && s <= VYN_MAX_SPINS; ++s) {
        vyn_spin.quantnum[s] = 1;
        vyn_spin.relspinamp[s] = 1.0;
    }
}

// Builds quietly.
int build() {
    VYN_SetSmokeCheckMode(1);
    const int r = BuildSpinSystemFromPulseSequenceGlobals();
    VYN_SetSmokeCheckMode(0);
    return r;
}

void expect_diag(int n, const CMatrix& m, std::initializer_list<double> d, double tol) {
    auto it = d.begin();
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) {
            const double want = (r == c) ? *(it + (r - 1)) : 0.0;
            EXPECT_NEAR(std::abs(m(r, c) - want), 0.0, tol) << "(" << r << "," << c << ")";
        }
}

// Feeds `text` to standard input for the prompt functions; prompts are captured.
struct StdinFeed {
    std::string path;
    explicit StdinFeed(const std::string& text) {
        char tmpl[] = "/tmp/vyn_stdin_XXXXXX";
        const int fd = mkstemp(tmpl);
        path = tmpl;
        FILE* f = fdopen(fd, "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
        EXPECT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
        testing::internal::CaptureStdout();
    }
    std::string finish() {
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    ~StdinFeed() { std::remove(path.c_str()); }
};

}  // namespace

TEST(BuildRoute, OneSpinHalf) {
    init();
    spin_halves(1);
    ASSERT_EQ(build(), 1);
    const VYNSpinState& S = vyn_spin;
    EXPECT_EQ(S.n, 2);
    const double h = std::sqrt(0.5);
    expect_diag(2, S.densmat, {h, -h}, 1e-15);
    expect_diag(2, S.Izee, {0, 0}, 0.0);
    expect_diag(2, S.Icoup, {0, 0}, 0.0);
    expect_diag(2, S.Izgrad, {0.5, -0.5}, 0.0);
    EXPECT_EQ(S.spinsystemdefined, 1);
    EXPECT_EQ(S.rfpulsedefined, 1);
    EXPECT_EQ(S.offsetsdefined, 1);
}

TEST(BuildRoute, ZeemanOffsetsAndIntensities) {
    spin_halves(2);
    vyn_spin.resofreqs[1] = 100.0;
    vyn_spin.resofreqs[2] = -50.0;
    vyn_spin.relspinamp[2] = 3.0;
    ASSERT_EQ(build(), 1);
    const VYNSpinState& S = vyn_spin;
    EXPECT_EQ(S.n, 4);
    expect_diag(4, S.Izee, {TWO_PI * 25, TWO_PI * 75, -TWO_PI * 75, -TWO_PI * 25}, 1e-12);
    // Iz(s)/||Iz(s)|| = Iz(s) for two spins-1/2; intensities 1 and 3.
    expect_diag(4, S.densmat, {0.5 + 1.5, 0.5 - 1.5, -0.5 + 1.5, -0.5 - 1.5}, 1e-15);
    expect_diag(4, S.Iztot, {1, 0, 0, -1}, 0.0);
    EXPECT_EQ(S.Ixtot(1, 2).real(), 0.5);
    EXPECT_EQ(S.Ixtot(1, 3).real(), 0.5);
    EXPECT_EQ(S.Iytot(1, 2).imag(), -0.5);
}

TEST(BuildRoute, WeakAndExactCoupling) {
    for (int mode : {1, 2, 0}) {
        SCOPED_TRACE(mode);
        spin_halves(2);
        vyn_spin.Jexact = mode;
        vyn_spin.Jcount = 1;
        vyn_spin.couplings[1] = 7.0;
        ASSERT_EQ(build(), 1);
        const CMatrix& H = vyn_spin.Icoup;
        const double q = TWO_PI * 7.0 / 4.0;
        const double flip = (mode == 1) ? 0.0 : TWO_PI * 7.0 / 2.0;
        for (int r = 1; r <= 4; ++r)
            for (int c = 1; c <= 4; ++c) {
                double want = 0.0;
                if (r == c) want = (r == 1 || r == 4) ? q : -q;
                if ((r == 2 && c == 3) || (r == 3 && c == 2)) want = flip;
                EXPECT_NEAR(std::abs(H(r, c) - want), 0.0, 1e-12) << r << "," << c;
            }
        EXPECT_EQ(vyn_spin.jc[1][2], 7.0);
        EXPECT_EQ(vyn_spin.jc[2][1], 7.0);
        EXPECT_EQ(vyn_spin.Jexact, mode);  // inputs left as they were
        EXPECT_EQ(vyn_spin.Jcount, 1);
    }
}

TEST(BuildRoute, CouplingSourcePriority) {
    // All-zero jc: couplings in pair order (1,2), (1,3), (2,3); pairs beyond Jcount get 0.
    spin_halves(3);
    vyn_spin.Jcount = 2;
    vyn_spin.couplings[1] = 5.0;
    vyn_spin.couplings[2] = 6.0;
    vyn_spin.couplings[3] = 99.0;  // beyond Jcount: ignored
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(vyn_spin.jc[1][2], 5.0);
    EXPECT_EQ(vyn_spin.jc[1][3], 6.0);
    EXPECT_EQ(vyn_spin.jc[2][3], 0.0);
    EXPECT_EQ(vyn_spin.jc[3][2], 0.0);
    // Diagonal of the weak coupling term: 2 pi sum J_kl m_k m_l.
    EXPECT_NEAR(vyn_spin.Icoup(1, 1).real(), TWO_PI * (5.0 + 6.0) / 4.0, 1e-12);
    EXPECT_NEAR(vyn_spin.Icoup(2, 2).real(), TWO_PI * (5.0 - 6.0) / 4.0, 1e-12);

    // Non-zero jc: couplings ignored entirely.
    spin_halves(3);
    vyn_spin.Jcount = 3;
    vyn_spin.couplings[1] = vyn_spin.couplings[2] = vyn_spin.couplings[3] = 40.0;
    vyn_spin.jc[2][3] = vyn_spin.jc[3][2] = -3.0;
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(vyn_spin.jc[1][2], 0.0);
    EXPECT_EQ(vyn_spin.jc[1][3], 0.0);
    EXPECT_EQ(vyn_spin.jc[2][3], -3.0);
    EXPECT_NEAR(vyn_spin.Icoup(1, 1).real(), TWO_PI * -3.0 / 4.0, 1e-12);
}

TEST(BuildRoute, DimensionsAndSpinZero) {
    clear_inputs();
    vyn_spin.Nspins = 2;
    vyn_spin.quantnum[1] = 2;
    vyn_spin.quantnum[2] = 1;
    vyn_spin.relspinamp[1] = 1.0;
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(vyn_spin.n, 6);
    // spin-1 Iz = diag(1,0,-1) x 1, Frobenius norm 2: densmat = Iz(1)/2
    expect_diag(6, vyn_spin.densmat, {0.5, 0.5, 0, 0, -0.5, -0.5}, 1e-15);

    // A spin-0 contributes a factor 1 and nothing to any operator.
    clear_inputs();
    vyn_spin.Nspins = 2;
    vyn_spin.quantnum[1] = 1;
    vyn_spin.quantnum[2] = 0;
    vyn_spin.relspinamp[1] = vyn_spin.relspinamp[2] = 1.0;
    vyn_spin.resofreqs[2] = 500.0;
    vyn_spin.Jcount = 1;
    vyn_spin.couplings[1] = 10.0;
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(vyn_spin.n, 2);
    const double h = std::sqrt(0.5);
    expect_diag(2, vyn_spin.densmat, {h, -h}, 1e-15);
    expect_diag(2, vyn_spin.Izee, {0, 0}, 0.0);
    expect_diag(2, vyn_spin.Icoup, {0, 0}, 0.0);

    // Negative quantum numbers are raised to 0; Nspins is clamped into 1..8.
    clear_inputs();
    vyn_spin.Nspins = 9;
    for (int s = 1; s <= 8; ++s) vyn_spin.quantnum[s] = 1;
    vyn_spin.quantnum[3] = -5;
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(vyn_spin.Nspins, 8);
    EXPECT_EQ(vyn_spin.Ilist[3], 0);
    EXPECT_EQ(vyn_spin.n, 128);
}

TEST(BuildRoute, EightSpinsAndRefusalAbove256) {
    spin_halves(9);
    ASSERT_EQ(build(), 1);
    EXPECT_EQ(vyn_spin.Nspins, 8);
    EXPECT_EQ(vyn_spin.n, 256);
    EXPECT_EQ(vyn_spin.Izgrad(256, 256).real(), -4.0);

    // Eight spins-1 would need 6561 states: refused, state left as it was.
    clear_inputs();
    vyn_spin.Nspins = 8;
    for (int s = 1; s <= 8; ++s) vyn_spin.quantnum[s] = 2;
    testing::internal::CaptureStderr();
    EXPECT_EQ(build(), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("6561"), std::string::npos) << err;
    EXPECT_EQ(vyn_spin.spinsystemdefined, 0);
    EXPECT_EQ(vyn_spin.n, 256);
    EXPECT_EQ(vyn_spin.Ilist[1], 1);
}

TEST(BuildRoute, ReportUnlessSmokeCheck) {
    spin_halves(1);
    vyn_spin.resofreqs[1] = 12.5;
    testing::internal::CaptureStdout();
    BuildSpinSystemFromPulseSequenceGlobals();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\nBuildSpinSystemFromPulseSequenceGlobals()\n  Nspins = 1\n  n      = 2\n"), std::string::npos);
    EXPECT_NE(out.find("  spin 1: quantnum=1  Ilist=1  relspinamp=1  resofreq=12.5 Hz\n\n"), std::string::npos);
    testing::internal::CaptureStdout();
    VYN_SetSmokeCheckMode(1);
    VYN_RebuildSpinSystemFromPulseSequenceGlobals();
    VYN_SetSmokeCheckMode(0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(Init, ResetsFlagsGridAndMatrices) {
    spin_halves(2);
    ASSERT_EQ(build(), 1);
    vyn_spin.calc = 5;
    vyn_spin.pulseflag = 1;
    vyn_grid.ndx = 7;
    vyn_grid.dz_s = 0.3;
    vyn_grid.gs = 2.0;
    vyn_grid.ndw = 16;
    vyn_spin.Istat(1, 1) = 3.0;
    init();
    EXPECT_EQ(vyn_spin.spinsystemdefined, 0);
    EXPECT_EQ(vyn_spin.rfpulsedefined, 0);
    EXPECT_EQ(vyn_spin.offsetsdefined, 0);
    EXPECT_EQ(vyn_spin.calc, 0);
    EXPECT_EQ(vyn_spin.pulseflag, 2);
    EXPECT_EQ(vyn_grid.ndx, 1);
    EXPECT_EQ(vyn_grid.ndy, 1);
    EXPECT_EQ(vyn_grid.ndz, 1);
    EXPECT_EQ(vyn_grid.dz_s, 0.0);
    EXPECT_EQ(vyn_grid.gs, 0.0);
    EXPECT_EQ(vyn_grid.ndw, 1);
    const CMatrix* mats[] = {&vyn_spin.densmat, &vyn_spin.Izee,  &vyn_spin.Icoup, &vyn_spin.Izgrad,
                             &vyn_spin.Ixtot,   &vyn_spin.Iytot, &vyn_spin.Iztot, &vyn_spin.Istat};
    for (const CMatrix* m : mats) EXPECT_EQ(kt::frob(4, *m), 0.0);
}

TEST(GradientOperator, RefusesWithoutSpinSystem) {
    spin_halves(2);
    ASSERT_EQ(build(), 1);
    const int saved_n = vyn_spin.n;
    vyn_spin.n = 0;
    CopyCMatrix(4, vyn_spin.Izgrad, T1);
    testing::internal::CaptureStderr();
    MakeGradientOperator();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "MakeGradientOperator: spin system not set up (n=0, Nspins=2)\n");
    EXPECT_EQ(kt::max_abs_diff(4, T1, vyn_spin.Izgrad), 0.0);
    vyn_spin.n = saved_n;

    CMatZero(4, T2);
    kt::identity(4, T3);
    AccumulateCMat(4, T3, T2);
    AccumulateCMat(4, T3, T2);
    EXPECT_EQ(T2(3, 3), 2.0);
    EXPECT_EQ(T2(3, 2), 0.0);
}

TEST(Prompts, InteractiveDefinitionMatchesBuildRoute) {
    // Retries on a bad token, an out-of-range count and too many states.
    {
        StdinFeed in("abc\n9\n8\n2 2 2 2 2 2 2 2\n2\n1\n1\n");
        SetupSpins();
        const std::string out = in.finish();
        EXPECT_NE(out.find("Too many states (n=6561 > 256). Redefine spins."), std::string::npos);
        EXPECT_NE(out.find("Number of states n = 4"), std::string::npos);
    }
    EXPECT_EQ(vyn_spin.spinsystemdefined, 1);
    EXPECT_EQ(vyn_spin.Nspins, 2);
    EXPECT_EQ(vyn_spin.n, 4);
    {
        StdinFeed in("1\nx\n100 -50\n2\n7\n");
        MakeBoltzmann();
        MakeZeeman();
        SpinSpinCoupling();
        const std::string out = in.finish();
        EXPECT_NE(out.find("Calculating coupling term for (1,2)"), std::string::npos);
        EXPECT_NE(out.find("Hamiltonian term: 2\u03c0 J(i,j)"), std::string::npos);
    }
    EXPECT_EQ(vyn_spin.relspinamp[1], 1.0);
    EXPECT_EQ(vyn_spin.relspinamp[2], 0.0);  // unreadable value counts as 0
    EXPECT_EQ(vyn_spin.Jexact, 2);
    EXPECT_EQ(vyn_spin.Jcount, 1);
    EXPECT_EQ(vyn_spin.couplings[1], 7.0);
    static CMatrix dens, zee, coup;
    CopyCMatrix(4, vyn_spin.densmat, dens);
    CopyCMatrix(4, vyn_spin.Izee, zee);
    CopyCMatrix(4, vyn_spin.Icoup, coup);

    // The build route from the same inputs gives the same matrices.
    ASSERT_EQ(build(), 1);
    EXPECT_LE(kt::max_abs_diff(4, dens, vyn_spin.densmat), 1e-15);
    EXPECT_LE(kt::max_abs_diff(4, zee, vyn_spin.Izee), 1e-12);
    EXPECT_LE(kt::max_abs_diff(4, coup, vyn_spin.Icoup), 1e-12);
    EXPECT_NEAR(vyn_spin.Icoup(2, 3).real(), TWO_PI * 3.5, 1e-12);
}

TEST(Prompts, EndOfInputStopsEveryPrompt) {
    spin_halves(2);
    ASSERT_EQ(build(), 1);
    {
        StdinFeed in("2\n1\n");  // input ends before the second quantum number
        SetupSpins();
        in.finish();
    }
    EXPECT_EQ(vyn_spin.spinsystemdefined, 0);
    {
        StdinFeed in("");
        SetupSpins();
        in.finish();
    }
    EXPECT_EQ(vyn_spin.spinsystemdefined, 0);
    {
        StdinFeed in("junk");  // unreadable and then end of input
        EXPECT_EQ(Ispins(), 0);
        in.finish();
    }
    // Value prompts at end of input take 0 (coupling choice 1) and return.
    spin_halves(2);
    vyn_spin.relspinamp[1] = 5.0;
    ASSERT_EQ(build(), 1);
    {
        StdinFeed in("");
        MakeBoltzmann();
        MakeZeeman();
        SpinSpinCoupling();
        in.finish();
    }
    EXPECT_EQ(vyn_spin.relspinamp[1], 0.0);
    EXPECT_EQ(kt::frob(4, vyn_spin.densmat), 0.0);
    EXPECT_EQ(kt::frob(4, vyn_spin.Izee), 0.0);
    EXPECT_EQ(kt::frob(4, vyn_spin.Icoup), 0.0);
    EXPECT_EQ(vyn_spin.Jexact, 1);
    EXPECT_EQ(vyn_spin.Jcount, 1);
}

TEST(Prompts, SingleSpinSkipsCouplingDialogue) {
    spin_halves(1);
    vyn_spin.Jexact = 2;
    ASSERT_EQ(build(), 1);
    {
        StdinFeed in("7\n");
        SpinSpinCoupling();
        EXPECT_EQ(in.finish(), "");
    }
    EXPECT_EQ(vyn_spin.Jexact, 1);
    EXPECT_EQ(vyn_spin.Jcount, 0);
    EXPECT_EQ(kt::frob(2, vyn_spin.Icoup), 0.0);
}

TEST(BuildRoute, ExactCouplingOfMixedSpinsMatchesDenseProducts) {
    // Spins 1, 1/2 and 3/2: the coupling Hamiltonian against dense operator products.
    clear_inputs();
    vyn_spin.Nspins = 3;
    vyn_spin.quantnum[1] = 2;
    vyn_spin.quantnum[2] = 1;
    vyn_spin.quantnum[3] = 3;
    vyn_spin.Jexact = 2;
    vyn_spin.Jcount = 3;
    vyn_spin.couplings[1] = 4.0;
    vyn_spin.couplings[2] = -2.5;
    vyn_spin.couplings[3] = 11.0;
    ASSERT_EQ(build(), 1);
    const int n = vyn_spin.n;
    ASSERT_EQ(n, 24);
    static CMatrix want, a, b, prod;
    CMatZero(n, want);
    typedef void (*Op)(const int*, const SpinKetRow*, int, int, CMatrix&);
    const int pairs[3][2] = {{1, 2}, {1, 3}, {2, 3}};
    for (int p = 0; p < 3; ++p)
        for (Op op : {MakeMatrixIx, MakeMatrixIy, MakeMatrixIz}) {
            op(vyn_spin.Ilist, vyn_spin.ket, n, pairs[p][0], a);
            op(vyn_spin.Ilist, vyn_spin.ket, n, pairs[p][1], b);
            CMatMult(n, a, b, prod);
            CMatRMultAdd(n, want, 1.0, prod, TWO_PI * vyn_spin.couplings[p + 1], want);
        }
    EXPECT_LE(kt::max_abs_diff(n, want, vyn_spin.Icoup), 1e-12);
    // The gradient operator is the total Iz, bit for bit.
    MakeTotalIz(n, 3, vyn_spin.ket, vyn_spin.Ilist, 0, prod);
    for (int r = 1; r <= n; ++r)
        ASSERT_EQ(std::memcmp(&prod(r, 1), &vyn_spin.Izgrad(r, 1), sizeof(std::complex<double>) * n), 0) << r;
    // The exact coupling conserves total Iz.
    CMatCommutator(n, vyn_spin.Icoup, vyn_spin.Iztot, prod);
    EXPECT_LE(kt::frob(n, prod), 1e-11);
    EXPECT_GT(kt::frob(n, vyn_spin.Icoup), 1.0);
}
