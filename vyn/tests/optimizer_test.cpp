// RF pulse optimiser: the minimiser on functions with known minima, the
// gradient and stopping rules, the sector preparation and its carriers
// against a full run, and optimisation of a pulse on a spin system.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "prop_test_util.h"
#include "rfpulselib.h"
#include "vyn_prop_fast.h"
#include "vyn_test_support.h"
#include "vynoptdialog.h"
#include "vynoptseq.h"

namespace {
using namespace proptest;

// --- the minimiser on plain functions -------------------------------------

struct Recorder {
    std::vector<std::vector<double>> points;
    int n = 0;
};

double QuadraticBowl(const double* p, void*) {
    // Minimum 2 at (1, -2, 0.5) with unequal curvatures.
    return 3.0 * (p[0] - 1.0) * (p[0] - 1.0) + 0.5 * (p[1] + 2.0) * (p[1] + 2.0) + 10.0 * (p[2] - 0.5) * (p[2] - 0.5) +
           (p[0] - 1.0) * (p[1] + 2.0) + 2.0;
}

double Rosenbrock(const double* p, void*) {
    const double a = 1.0 - p[0], b = p[1] - p[0] * p[0];
    return a * a + 100.0 * b * b;
}

class Minimiser : public ::testing::Test {
  protected:
    void SetUp() override { VYN_SetSmokeCheckMode(1); }
    void TearDown() override {
        vyn_opt_set_objective(nullptr, nullptr);
        VYN_SetSmokeCheckMode(0);
    }
};

TEST_F(Minimiser, ConjugateGradientsFindKnownMinima) {
    struct Case {
        const char* name;
        double (*f)(const double*, void*);
        std::vector<double> start, minimum;
        double fmin, tol;
    };
    const Case cases[] = {
        {"quadratic", QuadraticBowl, {0, 0, 0}, {1, -2, 0.5}, 2.0, 1e-4},
        {"rosenbrock", Rosenbrock, {-1.2, 1.0}, {1, 1}, 0.0, 2e-3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vyn_opt_set_objective(c.f, nullptr);
        std::vector<double> p = c.start;
        int iter = 0;
        double fret = 1e300;
        frprmn(p.data(), static_cast<int>(p.size()), 1e-12, &iter, &fret);
        for (size_t i = 0; i < p.size(); ++i) EXPECT_NEAR(p[i], c.minimum[i], c.tol) << i;
        EXPECT_NEAR(fret, c.fmin, 1e-6);
        EXPECT_NEAR(fret, c.f(p.data(), nullptr), 1e-12);  // fret is the value at the returned point
        EXPECT_GE(iter, 1);
        EXPECT_LE(iter, 100);
    }
}

TEST_F(Minimiser, LineSearchBracketsAndFindsTheMinimumAlongADirection) {
    // f(x) = (x - 1)^2 along (1, 0) from the origin: brent must land on x = 1.
    vyn_opt_set_objective(QuadraticBowl, nullptr);
    double p[3] = {0, -2, 0.5};
    double xi[3] = {1, 0, 0};
    double fret = 0;
    linmin(p, xi, 3, &fret);
    EXPECT_NEAR(p[0], 1.0, 1e-4);
    EXPECT_NEAR(xi[0], p[0], 1e-15);  // xi becomes the step actually taken
    EXPECT_DOUBLE_EQ(p[1], -2.0);
    EXPECT_NEAR(fret, 2.0, 1e-8);
    // mnbrak leaves fb below fa and fc with b between a and c.
    vyn_opt.vyn_ncom = 3;
    for (int j = 0; j < 3; ++j) {
        vyn_opt.pcom[j] = j == 0 ? 5.0 : (j == 1 ? -2.0 : 0.5);
        vyn_opt.xicom[j] = j == 0 ? 1.0 : 0.0;
    }
    double ax = 0, bx = 1, cx = 2, fa, fb, fc;
    mnbrak(&ax, &bx, &cx, &fa, &fb, &fc);
    EXPECT_LE(fb, fa);
    EXPECT_LE(fb, fc);
    EXPECT_GT((bx - ax) * (cx - bx), 0.0);
    EXPECT_LT(std::min(ax, cx), -4.0);  // the minimum at x = -4 lies inside the bracket
    EXPECT_GT(std::max(ax, cx), -4.0);
}

double RecordLinear(const double* p, void* user) {
    auto* r = static_cast<Recorder*>(user);
    r->points.emplace_back(p, p + r->n);
    return 2.0 * p[0] - 5.0 * p[1] + 0.25 * p[2];
}

TEST_F(Minimiser, GradientStepsFollowTheParameter) {
    struct Case {
        double p, step;
    };
    const Case cases[] = {{0.0, 1e-7}, {-3.0, -3e-7}, {5.0, 5e-7}, {-0.0, 1e-7}};
    for (const Case& c : cases) EXPECT_EQ(vyn_opt_gradient_step(c.p), c.step) << c.p;

    Recorder rec;
    rec.n = 3;
    vyn_opt_set_objective(RecordLinear, &rec);
    const double p[3] = {0.0, -3.0, 8.0};
    double df[3] = {0, 0, 0};
    const double f = RecordLinear(p, &rec);
    rec.points.clear();
    dfnc(f, p, 3, df);
    ASSERT_EQ(rec.points.size(), 3u);
    const double steps[3] = {1e-7, -3e-7, 8e-7};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(rec.points[i][j], j == i ? p[j] + steps[j] : p[j]) << i << "," << j;
    const double slope[3] = {2.0, -5.0, 0.25};
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(df[i], slope[i], 1e-6) << i;
}

TEST_F(Minimiser, StoppingRuleAndSignHelpers) {
    struct Case {
        double fret, fp;
        bool stop;
    };
    const Case cases[] = {
        {1.0, 1.0 + 3.0e-5, true},                       // within 3e-5 relative
        {1.0, 1.0 + 3.1e-5, false},                      // just outside
        {-2.0, -2.0, true},         {0.0, 1e-15, true},  // the absolute term 1e-10 carries values at zero
        {0.0, 2e-15, false},
    };
    for (const Case& c : cases) EXPECT_EQ(vyn_opt_converged(c.fret, c.fp, 3e-5), c.stop) << c.fret << " " << c.fp;

    struct Sign {
        double a, b, r;
    };
    const Sign signs[] = {{2, -1, -2}, {-2, 3, 2}, {-2, 0, 2}, {3, -0.0, 3}, {-4, -7, -4}};
    for (const Sign& s : signs) EXPECT_EQ(sign_double(s.a, s.b), s.r) << s.a << " " << s.b;
    EXPECT_EQ(vyn_max(-1, 2), 2);
    EXPECT_EQ(vyn_max(3, 2), 3);

    // A flat function stops after the first line search.
    vyn_opt_set_objective([](const double*, void*) { return 4.0; }, nullptr);
    double p[2] = {1, 2};
    int iter = 0;
    double fret = 0;
    frprmn(p, 2, 3e-5, &iter, &fret);
    EXPECT_EQ(iter, 1);
    EXPECT_EQ(fret, 4.0);
}

// --- sector preparation and the objective on the spin system --------------

class SectorOpt : public WorkDirTest {
  protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        vyn_opt_set_objective(nullptr, nullptr);
        VYNOptimizationResetContext();
        std::memset(&vyn_opt, 0, sizeof vyn_opt);
    }
    void TearDown() override {
        VYNOptimizationResetContext();
        WorkDirTest::TearDown();
    }

    // Two coupled spins and three RF sectors of 16 samples with distinct
    // waveforms and offsets; O = I1y + 0.5 I2x into Istat.
    void ThreeSectorSequence() {
        SetupSpinHalfSystem({35.0, -60.0}, {1.0, 0.8}, {7.0}, true);
        VYNSequenceState& q = vyn_sequence;
        q.sequencetype = VYN_SEQTYPE_2D;
        q.systemset = q.sectorset = q.offsetset = 1;
        const double amp[3] = {900.0, -400.0, 650.0};
        for (int s = 1; s <= 3; ++s) {
            std::vector<double> x(16), y(16);
            for (int l = 0; l < 16; ++l) {
                x[l] = amp[s - 1] * std::sin(0.3 * (l + s));
                y[l] = 0.4 * amp[s - 1] * std::cos(0.2 * l * s);
            }
            char name[32];
            std::snprintf(name, sizeof name, "w%d.bin", s);
            Write2DWave(name, x, y);
            DefineSector(s, 1, 16, 1, 0.8e-3 * s, 15.0 * s - 20.0, name, "");
        }
        q.resultflnm[0] = '\0';
        DefineObservable();
    }
    void DefineObservable() {
        VYNSpinState& sp = vyn_spin;
        MakeMatrixIy(sp.Ilist, sp.ket, sp.n, 1, Scratch(0));
        MakeMatrixIx(sp.Ilist, sp.ket, sp.n, 2, Scratch(1));
        CMatRMultAdd(sp.n, Scratch(0), 1.0, Scratch(1), 0.5, sp.Istat);
        CopyCMatrix(sp.n, sp.Istat, Scratch(5));  // O, kept apart from Istat (a run rewrites Istat)
    }
};

TEST_F(SectorOpt, CarriersReproduceTheWholeSequenceForEverySector) {
    ThreeSectorSequence();
    ASSERT_TRUE(SimulateLoaded2DPulseSequence());
    const int n = vyn_spin.n;
    const std::vector<unsigned char> dm = ReadBytes("dm.bin");
    ASSERT_EQ(HeaderOf(dm).num2, 1);
    MatrixOf(dm, n, 1, Scratch(2));
    const std::complex<double> expected = Expect(n, Scratch(5), Scratch(2));
    ASSERT_GT(std::abs(expected), 1e-3);

    for (int k = 1; k <= 3; ++k) {
        SCOPED_TRACE(k);
        CopyCMatrix(n, Scratch(5), vyn_spin.Istat);
        vyntest::Capture out(1);
        ASSERT_EQ(VYNOptimizationPrepareCurrent2DSequenceSector(k, VYN_OPT_OBJECTIVE_RE_EXPECT), 1);
        const std::string text = out.finish();
        EXPECT_NE(text.find("  prefix sectors cached  : " + std::to_string(k - 1) + "\n"), std::string::npos) << text;
        EXPECT_NE(text.find("  suffix sectors cached  : " + std::to_string(3 - k) + "\n\n"), std::string::npos);
        EXPECT_NE(text.find("  objective mode         : Re <O>\n"), std::string::npos);
        ASSERT_TRUE(vyn_opt_context_active());
        EXPECT_DOUBLE_EQ(g_vyn_opt_ctx.sector_offset_rad, kTwoPi * (15.0 * k - 20.0));
        EXPECT_EQ(vyn_prop.ap, 16);
        EXPECT_DOUBLE_EQ(vyn_prop.h, 0.8e-3 * k / 16);
        // Carry the cached state through the chosen sector and measure the carried observable.
        if (k == 1) {
            EXPECT_EQ(MaxDiff(n, g_vyn_opt_ctx.rho_in, vyn_spin.densmat), 0.0);
        }
        if (k == 3) {
            EXPECT_EQ(MaxDiff(n, g_vyn_opt_ctx.obs_out, Scratch(5)), 0.0);
        }
        CopyCMatrix(n, g_vyn_opt_ctx.rho_in, Scratch(3));
        ASSERT_EQ(vynopt_apply_sector_forward_2d(k, Scratch(3)), 1);
        const std::complex<double> carried = Expect(n, g_vyn_opt_ctx.obs_out, Scratch(3));
        EXPECT_NEAR(carried.real(), expected.real(), 1e-12);
        EXPECT_NEAR(carried.imag(), expected.imag(), 1e-12);
        // The objective through the context at the sector's own pulse is the same value.
        vyn_opt.npar = 16;
        RFPulseToParArray(16, 16, vyn_waveform.xb, vyn_waveform.yb, vyn_opt.par);
        EXPECT_NEAR(-fnc(vyn_opt.par), expected.real(), 1e-10);
        VYNOptimizationSetObjectiveMode(VYN_OPT_OBJECTIVE_ABS_EXPECT);
        EXPECT_NEAR(-fnc(vyn_opt.par), std::abs(expected), 1e-10);
    }
}

TEST_F(SectorOpt, RefusalsChangeNothing) {
    struct Case {
        const char* name;
        void (*spoil)();
        int k;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"nevo",
         [] { vyn_sequence.nevo[2] = 2; },
         2,
         {"Sequence optimization: selected sector 2 has nevo=2.\n",
          "Stage 2 only supports optimizable sectors with nevo == 1.\n"}},
        {"samples", [] { vyn_sequence.noti[2] = 12; }, 2, {"the pulse has 12 samples", "power of two"}},
        {"index", [] {}, 4, {"Sequence optimization: invalid sector index 4 (nos=3)\n"}},
        {"ap", [] { vyn_sequence.noti[1] = 0; }, 1, {"Sequence optimization: invalid ap in selected sector 1\n"}},
        {"family",
         [] { vyn_sequence.sequencetype = 1; },
         1,
         {"Sequence optimization: stage 2 currently supports only the\n",
          "prepared 1D/2D sequence family (sequencetype == 2).\n"}},
        {"no spins",
         [] { vyn_sequence.systemset = 0; },
         1,
         {"Sequence optimization: no current prepared spin system.\n"}},
        {"no sectors",
         [] { vyn_sequence.nos = 0; },
         1,
         {"Sequence optimization: no current prepared pulse sequence.\n"}},
        {"suffix file",
         [] { std::remove("w3.bin"); },
         2,
         {"Sequence optimization: could not read waveform file for sector 3:\n", "  w3.bin\n",
          "Sequence optimization: failed while building suffix at sector 3\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThreeSectorSequence();
        c.spoil();
        for (int l = 0; l < 16; ++l) vyn_waveform.xb[l] = 100.0 + l;
        vyn_prop.ap = 7;
        VYNOptimizationResetContext();
        vyntest::Capture out(1);
        EXPECT_EQ(VYNOptimizationPrepareCurrent2DSequenceSector(c.k, 0), 0);
        const std::string text = out.finish();
        for (const std::string& line : c.lines) EXPECT_NE(text.find(line), std::string::npos) << line << "|" << text;
        EXPECT_EQ(text.find("Prepared current"), std::string::npos);
        EXPECT_FALSE(vyn_opt_context_active());
        EXPECT_EQ(vyn_prop.ap, 7);
        for (int l = 0; l < 16; ++l) EXPECT_EQ(vyn_waveform.xb[l], 100.0 + l);
    }
}

TEST_F(SectorOpt, WeakStartPulseReachesTheMaximumOfIy) {
    SetupSpinHalfSystem({40.0}, {1.0});
    VYNSpinState& sp = vyn_spin;
    MakeMatrixIy(sp.Ilist, sp.ket, sp.n, 1, sp.Istat);
    // Largest <Iy> a unitary can reach from rho: (r1 - r2)/2 with the eigenvalues of rho.
    const double a = sp.densmat.re(1, 1), d = sp.densmat.re(2, 2);
    const double off = std::abs(sp.densmat(1, 2));
    const double best = std::sqrt(0.25 * (a - d) * (a - d) + off * off);
    ASSERT_GT(best, 0.1);

    vyn_prop.ap = 64;
    vyn_prop.h = 1e-3 / 64;
    ASSERT_EQ(
        generate_optimization_start_pulse_core(64, vyn_prop.h, vyn_waveform.xb, vyn_waveform.yb, 8, 1000.0, 5.0, 0.0),
        1);
    vyn_opt.npar = 8;
    RFPulseToParArray(8, 64, vyn_waveform.xb, vyn_waveform.yb, vyn_opt.par);
    const double start = -fnc(vyn_opt.par);
    ASSERT_LT(start, 0.2 * best);  // the start pulse is weak

    vyntest::StdinFeed in("2\n");
    vyntest::Capture out(1);
    ASSERT_EQ(StartOptimization(), 1);
    const std::string text = out.finish();
    EXPECT_NE(text.find("Optimization finished.\nIterations          : "), std::string::npos) << text;
    EXPECT_NE(text.find("Write RF pulse to CSV file:\n  1. Write CSV file\n  2. Cancel\nYour choice [1..2] : "),
              std::string::npos);
    EXPECT_GE(-vyn_opt.last_minimum, 0.999 * best);
    EXPECT_LE(-vyn_opt.last_minimum, best * (1 + 1e-9));
    // The waveform left in xb/yb is the optimum: re-propagating it gives the reported value.
    CMatAdd(sp.n, sp.Izee, sp.Icoup, Scratch(1));
    vynopt_sector_product(sp.n, vyn_waveform.xb, vyn_waveform.yb, 64, vyn_prop.h, 0.0, Scratch(1), Scratch(2));
    CopyCMatrix(sp.n, sp.densmat, Scratch(3));
    DoRotation(sp.n, Scratch(2), Scratch(3));
    EXPECT_NEAR(Expect(sp.n, sp.Istat, Scratch(3)).real(), -vyn_opt.last_minimum, 1e-12);
}

TEST_F(SectorOpt, StartOptimizationRefusesUnsetParametersAndOddGrids) {
    SetupSpinHalfSystem({40.0}, {1.0});
    struct Case {
        int npar, ap;
        const char* err;
        const char* out;
    };
    const Case cases[] = {
        {0, 64, "StartOptimization: npar not set\n", ""},
        {8, 48, "", "the pulse has 48 samples"},
        {8, 1, "", "the pulse has 1 samples"},
    };
    for (const Case& c : cases) {
        vyn_opt.npar = c.npar;
        vyn_prop.ap = c.ap;
        vyntest::StdinFeed in("2\n");
        vyntest::Capture err(2);
        vyntest::Capture out(1);
        EXPECT_EQ(StartOptimization(), 0);
        const std::string o = out.finish(), e = err.finish();
        EXPECT_NE(e.find(c.err), std::string::npos) << e;
        EXPECT_NE(o.find(c.out), std::string::npos) << o;
        EXPECT_EQ(o.find("Optimization finished."), std::string::npos);
    }
}

// The fast pulse product against the literal series product: random pulses on
// systems with spin-1, exact and weak coupling, with and without offset, for
// every step exponential.
TEST_F(SectorOpt, FastPulseProductAgreesWithTheLiteralProduct) {
    struct Case {
        std::vector<int> twice_spin;
        bool exact;
        double offset_hz;
    };
    const Case cases[] = {{{1, 1}, true, 0.0}, {{2, 1}, true, 35.0}, {{1, 1, 1}, false, -80.0}, {{2, 2}, true, 12.0}};
    unsigned seed = 11;
    auto rnd = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return ((seed >> 8) & 0xffff) / 32768.0 - 1.0;
    };
    for (const Case& c : cases) {
        const int ns = static_cast<int>(c.twice_spin.size());
        std::vector<double> off, amp, j;
        for (int i = 0; i < ns; ++i) {
            off.push_back(300.0 * rnd());
            amp.push_back(1.0 + 0.2 * i);
        }
        for (int p = 0; p < ns * (ns - 1) / 2; ++p) j.push_back(15.0 * rnd());
        SetupSpinHalfSystem(off, amp, j, c.exact);
        for (int i = 1; i <= ns; ++i) vyn_spin.quantnum[i] = c.twice_spin[i - 1];
        ASSERT_EQ(BuildSpinSystemFromPulseSequenceGlobals(), 1);
        const int n = vyn_spin.n;
        std::vector<double> x(32), y(32);
        for (int l = 0; l < 32; ++l) {
            x[l] = kTwoPi * 1500.0 * rnd();
            y[l] = kTwoPi * 1500.0 * rnd();
        }
        CMatAdd(n, vyn_spin.Izee, vyn_spin.Icoup, Scratch(0));
        vyn_opt.literal_products = 1;
        vynopt_sector_product(n, x.data(), y.data(), 32, 2e-5, kTwoPi * c.offset_hz, Scratch(0), Scratch(1));
        vyn_opt.literal_products = 2;
        for (int method : {VYN_STEP_EXP_AUTO, VYN_STEP_EXP_PADE, VYN_STEP_EXP_EIG}) {
            SCOPED_TRACE(::testing::Message() << "n=" << n << " method=" << method);
            vyn_spatial_options.step_exp = method;
            vyn_spatial_options.eig_min_n = 1;
            vynopt_sector_product(n, x.data(), y.data(), 32, 2e-5, kTwoPi * c.offset_hz, Scratch(0), Scratch(2));
            EXPECT_LE(MaxDiff(n, Scratch(1), Scratch(2)), 1e-12);
        }
        VYNSpatialOptions_Reset();
    }
    vyn_opt.literal_products = 0;
}

// --- the dialogues ----------------------------------------------------------

class OptDialog : public SectorOpt {
  protected:
    void SetUp() override {
        SectorOpt::SetUp();
        VYN_SetSmokeCheckMode(1);  // no two lines per evaluation
    }
    void TearDown() override {
        VYN_SetSmokeCheckMode(0);
        SectorOpt::TearDown();
    }
    // <O> at the end of the whole sequence, from a run of the engine.
    double RunAndMeasure() {
        vyntest::Capture quiet(1);
        EXPECT_TRUE(SimulateLoaded2DPulseSequence());
        quiet.finish();
        const int n = vyn_spin.n;
        MatrixOf(ReadBytes("dm.bin"), n, 1, Scratch(2));
        return Expect(n, Scratch(4), Scratch(2)).real();
    }
    std::string Drive(const std::string& input, void (*dialogue)(), std::string* err = nullptr) {
        vyntest::StdinFeed in(input);
        vyntest::Capture e(2);
        vyntest::Capture out(1);
        dialogue();
        const std::string o = out.finish();
        const std::string es = e.finish();
        if (err) *err = es;
        return o;
    }
};

// Optimising the middle sector of three inside the sequence: <O> at the end of
// the sequence improves over the stored pulse, the waveform written back
// reproduces the reported optimum in a new run, the other sectors are untouched.
TEST_F(OptDialog, SectorOptimisationImprovesTheSequenceAndWritesTheSector) {
    ThreeSectorSequence();
    std::snprintf(vyn_sequence.remarks[2], VYN_REMARK_LEN, "refocus optimizeRf[targetMode=auto, productOperator=I1y]");
    VYNSpinState& sp = vyn_spin;
    MakeMatrixIy(sp.Ilist, sp.ket, sp.n, 1, Scratch(4));  // what the hint defines, kept for measuring
    const double before = RunAndMeasure();
    const auto w1 = ReadBytes("w1.bin"), w2 = ReadBytes("w2.bin"), w3 = ReadBytes("w3.bin");

    const std::string out = Drive("2\n1\n3\n1\n2\n1\n", VYNModel_OptimizePreparedSequenceSectorInteractive);
    EXPECT_NE(out.find(" idx   type   ap   nevo   duration[s]      statoff[Hz]   waveform file\n" +
                       std::string(74, '-') + "\n   1      1    16      1   0.0008         -5           w1.bin\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Using GUI-defined expectation operator: I1y\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  prefix sectors cached  : 1\n  suffix sectors cached  : 1\n"), std::string::npos);
    EXPECT_NE(out.find("Using npar = 12 total optimizer parameters\n"), std::string::npos);
    EXPECT_NE(out.find("Launching optimization for selected sequence sector 2 ...\n\n"), std::string::npos);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_NE(out.find("Updated selected sector waveform file:\n  " + std::string(cwd) + "/w2.bin\n"),
              std::string::npos)
        << out;
    const double optimum = -vyn_opt.last_minimum;
    EXPECT_GT(optimum, before + 0.05) << "before " << before;

    EXPECT_EQ(ReadBytes("w1.bin"), w1);
    EXPECT_EQ(ReadBytes("w3.bin"), w3);
    EXPECT_NE(ReadBytes("w2.bin"), w2);
    EXPECT_EQ(ReadBytes("w2.bin").size(), w2.size());
    EXPECT_NEAR(RunAndMeasure(), optimum, 1e-10);
}

// Every refusal ends the dialogue before anything is optimised or written;
// declining the write-back keeps the file; input that ends early returns.
TEST_F(OptDialog, RefusalsAndDeclinedWriteBackLeaveTheSectorFile) {
    struct Case {
        const char* name;
        void (*spoil)();
        std::string input, expect_err, expect_out;
    };
    const Case cases[] = {
        {"index range", [] {}, "4\n", "Sector index 4 is out of range [1..3]\n", ""},
        {"index text", [] {}, "two\n", "Invalid sector index entry\n", ""},
        {"nevo", [] { vyn_sequence.nevo[2] = 3; }, "2\n",
         "Selected sector 2 has nevo=3.\nThis stage supports only nevo == 1 sectors.\n", ""},
        {"ap", [] { vyn_sequence.noti[2] = 0; }, "2\n", "Selected sector 2 has invalid ap=0\n", ""},
        {"samples", [] { vyn_sequence.noti[2] = 12; }, "2\n", "", "the pulse has 12 samples"},
        {"mode", [] {}, "2\n3\n", "Invalid objective-mode choice\n", ""},
        {"npar", [] {}, "2\n1\n0\n", "Invalid npar=0\n", ""},
        {"start", [] {}, "2\n1\n2\n7\n", "Unknown start-pulse choice\n", ""},
        {"family", [] { vyn_sequence.sequencetype = 1; }, "2\n", "",
         "This optimization workflow currently supports only the\nprepared 1D/2D sequence family"},
        {"declined", [] {}, "2\n2\n1\n1\n2\n2\n", "", "Write optimized pulse back into selected sector waveform file?"},
        {"input ends", [] {}, "2\n1\n1\n", "", "Number of Fourier mode pairs per quadrature : "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ThreeSectorSequence();
        std::snprintf(vyn_sequence.remarks[2], VYN_REMARK_LEN, "optimizeRf[productOperator=I1y]");
        c.spoil();
        const auto w2 = ReadBytes("w2.bin");
        vyn_opt.last_iterations = -1;
        std::string err;
        const std::string out = Drive(c.input, VYNModel_OptimizePreparedSequenceSectorInteractive, &err);
        EXPECT_NE(err.find(c.expect_err), std::string::npos) << err;
        EXPECT_NE(out.find(c.expect_out), std::string::npos) << out;
        EXPECT_EQ(ReadBytes("w2.bin"), w2);
        EXPECT_EQ(out.find("Updated selected sector waveform file"), std::string::npos);
        if (std::string(c.name) != "declined") {
            EXPECT_EQ(out.find("Launching optimization"), std::string::npos);
        }
    }
}

// The main-menu pulse on the initial state of one spin-1/2: it reaches the
// largest <O> any unitary allows (eigenvalues of O and rho paired in order)
// and is written as a CSV table of its samples.
TEST_F(OptDialog, SpinStateSelectivePulseReachesTheBoundAndIsExported) {
    SetupSpinHalfSystem({40.0}, {1.0});
    vyn_sequence.systemset = 1;
    const std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", "", 1);  // no plot window from a test
    const std::string out =
        Drive("1\nIy\n64\n1\n2\n1000\n5\n0\n1\nopt.csv\n", VYNOptimizeSpinStateSelectivePulseInteractive);
    setenv("PATH", saved_path.c_str(), 1);
    const VYNSpinState& sp = vyn_spin;
    ASSERT_EQ(sp.n, 2);
    auto eig2 = [](const CMatrix& m, double* hi, double* lo) {
        const double a = m.re(1, 1), d = m.re(2, 2), off = std::abs(m(1, 2));
        const double mid = 0.5 * (a + d), r = std::sqrt(0.25 * (a - d) * (a - d) + off * off);
        *hi = mid + r;
        *lo = mid - r;
    };
    double o1, o2, r1, r2;
    eig2(sp.Istat, &o1, &o2);
    eig2(sp.densmat, &r1, &r2);
    const double bound = o1 * r1 + o2 * r2;
    ASSERT_GT(bound, 0.05);
    EXPECT_GE(-vyn_opt.last_minimum, 0.999 * bound) << out;
    EXPECT_LE(-vyn_opt.last_minimum, bound * (1 + 1e-9));
    EXPECT_NE(out.find("Optimized <O> after the pulse : "), std::string::npos) << out;
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_NE(out.find("RF pulse written to '" + std::string(cwd) + "/opt.csv'\n"), std::string::npos) << out;
    EXPECT_FALSE(vyn_opt_context_active());
    FILE* f = std::fopen("opt.csv", "r");
    ASSERT_NE(f, nullptr);
    int lines = 0;
    for (int ch; (ch = std::fgetc(f)) != EOF;)
        if (ch == '\n') ++lines;
    std::fclose(f);
    EXPECT_EQ(lines, 65);  // header and 64 samples
    EXPECT_TRUE(FileExists("opt.csv.gp"));

    // Refusals before any change: an unusable grid, no spin system.
    vyn_prop.ap = 5;
    std::string err;
    std::string o = Drive("1\nIy\n48\n", VYNOptimizeSpinStateSelectivePulseInteractive, &err);
    EXPECT_NE(o.find("the pulse has 48 samples"), std::string::npos) << o;
    EXPECT_EQ(vyn_prop.ap, 5);
    vyn_sequence.systemset = 0;
    o = Drive("", VYNOptimizeSpinStateSelectivePulseInteractive);
    EXPECT_NE(o.find("No current prepared spin system is available.\nDefine or load a model first.\n"),
              std::string::npos);
}

}  // namespace
