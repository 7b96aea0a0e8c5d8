// Fits of synthetic spectra through the program entry: parameter recovery, Cramer-Rao
// bounds, prior knowledge, corrected output, random search and the result files.
#include <gtest/gtest.h>

#include <thread>

#include "fitcontrol_new.h"
#include "lineshape.h"
#include "qfft.h"
#include "qfit_test_support.h"
#include "qorvane_cli.h"
#include "qorvane_context.h"
#include "qorvane_fit_math.h"
#include "qorvane_fit_scratch.h"
#include "qorvane_fitdriver.h"
#include "qorvane_minimize.h"
#include "qorvane_single.h"

using namespace qfit_test;

namespace {

struct FitRun {
    int rc = 0;
    std::string dir;
    std::vector<std::vector<double>> mat, err;
    QorvaneSingleFitOutcome outcome{};
    std::string out;  // console output of the fit
};

// Writes the spectrum and the .par file into a fresh directory and fits it.
FitRun run_fit(const char* tag, const std::vector<std::complex<double>>& x, const ParFile& p) {
    FitRun r;
    r.dir = make_temp_dir(tag);
    write_spectrum(r.dir + "/data.bin", x);
    write_text(r.dir + "/start.par", compact_par(p));
    std::string par = r.dir + "/start.par";
    testing::internal::CaptureStdout();
    r.rc = qorvane_single_fit_run(r.dir.c_str(), "data.bin", par.c_str(), "qorvane_pthreads\t", &r.outcome);
    r.out = testing::internal::GetCapturedStdout();
    r.mat = read_matrix(r.dir + "/data.mat");
    r.err = read_matrix(r.dir + "/data.err");
    return r;
}

// Numbers of the fourth line of an .exl file: six reals, three integers, one real.
std::vector<double> exl_numbers(const std::string& path) {
    std::istringstream exl(read_text(path));
    std::string line;
    for (int i = 0; i < 4; ++i) std::getline(exl, line);
    std::istringstream nums(line);
    std::vector<double> v;
    std::string field;
    while (std::getline(nums, field, '\t'))  // strtod: a zero noise level gives "inf" numbers
        if (!field.empty()) v.push_back(std::strtod(field.c_str(), nullptr));
    return v;
}

Step full_step(int n) {
    Step s;
    s.intervals = {{2, n - 3}};
    return s;
}

// A context loaded from a .par file and attached to this thread, with engine scratch
// and twiddles for its points; released, with its directory, at scope end.
struct LoadedEngine {
    QorvaneFitContext* ctx = nullptr;
    std::string dir;
    ~LoadedEngine() {
        if (ctx != nullptr) {
            qorvane_engine_free(ctx->engine);
            ctx->engine = nullptr;
            qorvane_context_destroy(ctx);
            g_qorvane_ctx = nullptr;
        }
        if (!dir.empty()) remove_tree(dir);
    }
};

void load_engine(LoadedEngine& e, const char* tag, const ParFile& p) {
    e.dir = make_temp_dir(tag);
    write_text(e.dir + "/start.par", compact_par(p));
    e.ctx = qorvane_context_create();
    QorvaneFitContext* ctx = e.ctx;
    g_qorvane_ctx = ctx;
    qorvane_context_set_defaults(ctx);
    snprintf(ctx->parameter_file, sizeof ctx->parameter_file, "%s/start.par", e.dir.c_str());
    ASSERT_EQ(load_initial_value_file(ctx), QORVANE_RC_OK);
    ctx->engine = static_cast<QorvaneFitEngineScratch*>(calloc(1, sizeof(QorvaneFitEngineScratch)));
    ASSERT_EQ(qorvane_twiddle_prepare(&ctx->twiddles, p.n), 0);
    ctx->trunc = p.n;
}

}  // namespace

TEST(FitRecovery, NoiseFreeLinesOfEveryShapeAreRecovered) {
    const int n = 256;
    std::vector<Line> truth = {
        {2, 1000.0, 60.0, 4.0, 10.0, 0.0}, {1, 800.0, 120.0, 6.0, -20.0, 0.0}, {3, 600.0, 190.0, 5.0, 5.0, 3.0}};
    ParFile p;
    p.n = n;
    p.noistr = 0;
    p.noistp = 0;
    p.clcerr = 0;
    p.start = {{2, 900.0, 60.8, 4.5, 4.0, 0.0}, {1, 880.0, 119.4, 5.4, -14.0, 0.0}, {3, 540.0, 190.6, 5.5, 9.0, 3.4}};
    // Forward-difference gradients of an ill-conditioned problem (areas of order 1/N next to
    // phases in degrees) need many iterations and a tolerance that does not stop them early.
    p.ftol = 1e-15;
    Step s = full_step(n);
    s.niter = 3000;
    p.steps = {s};
    FitRun r = run_fit("clean", make_spectrum(n, truth), p);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.mat.size(), 3u);
    for (size_t i = 0; i < truth.size(); ++i) {
        ASSERT_EQ(r.mat[i].size(), 5u);
        EXPECT_NEAR(r.mat[i][0], truth[i].area, 1e-4 * truth[i].area) << "line " << i + 1;
        EXPECT_NEAR(r.mat[i][1], truth[i].freq, 2e-3) << "line " << i + 1;
        EXPECT_NEAR(r.mat[i][2], truth[i].width1, 2e-4 * truth[i].width1) << "line " << i + 1;
        EXPECT_NEAR(r.mat[i][3], truth[i].phase, 0.05) << "line " << i + 1;
        if (truth[i].type == 3) {
            EXPECT_NEAR(r.mat[i][4], truth[i].width2, 5e-4 * truth[i].width2);
        }
    }
    remove_tree(r.dir);
}

TEST(FitRecovery, NoisyFitsLieWithinBoundsThatScaleWithNoise) {
    const int n = 512;
    // Gaussian lines: their absorption tails vanish, so the noise interval holds only noise.
    std::vector<Line> truth = {{1, 2000.0, 80.0, 8.0, 0.0, 0.0}, {1, 1500.0, 140.0, 10.0, 0.0, 0.0}};
    ParFile p;
    p.n = n;
    p.noistr = 300;
    p.noistp = 500;
    p.start = {{1, 1900.0, 80.5, 8.6, 3.0, 0.0}, {1, 1600.0, 139.6, 9.5, -3.0, 0.0}};
    p.ftol = 1e-11;
    // The Lorentzian width of non-Voigt lines is not a model parameter: keep its group off.
    Step s;
    s.loren = 0;
    s.cmplx = 0;
    s.intervals = {{20, 220}};
    s.niter = 2000;
    p.steps = {s};
    // Spectral peaks are about 1e5: noise of 250 and 1000 gives a signal-to-noise of 400 and 100.
    std::vector<double> sigma_levels = {250.0, 1000.0};
    std::vector<std::vector<std::vector<double>>> errs;
    for (double sd : sigma_levels) {
        FitRun r = run_fit("noisy", make_spectrum(n, truth, sd, 12345), p);
        ASSERT_EQ(r.rc, 0);
        ASSERT_EQ(r.mat.size(), 2u);
        ASSERT_EQ(r.err.size(), 2u);
        for (size_t i = 0; i < truth.size(); ++i) {
            const double t[4] = {truth[i].area, truth[i].freq, truth[i].width1, truth[i].phase};
            for (int c = 0; c < 4; ++c) {
                EXPECT_GT(r.err[i][c], 0.0) << "line " << i + 1 << " column " << c;
                // The bound is two standard deviations; allow three bounds.
                EXPECT_LT(std::fabs(r.mat[i][c] - t[c]), 3.0 * r.err[i][c])
                    << "sd " << sd << " line " << i + 1 << " col " << c;
            }
        }
        errs.push_back(r.err);
        remove_tree(r.dir);
    }
    // Bounds are proportional to the noise level (same Fisher matrix, noise 4x larger).
    for (size_t i = 0; i < truth.size(); ++i)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(errs[1][i][c] / errs[0][i][c], 4.0, 0.4) << "line " << i + 1 << " col " << c;
}

TEST(FitRecovery, AmplitudeBoundMatchesClosedForm) {
    // With only the area fitted the model is linear in it: bound = 2 sigma / sqrt(sum |u|^2),
    // u being the line of unit area over the fitted points (complex mode).
    const int n = 256;
    Line l{2, 500.0, 70.0, 6.0, 15.0, 0.0};
    ParFile p;
    p.n = n;
    p.noistr = 180;
    p.noistp = 250;
    p.start = {{2, 450.0, 70.0, 6.0, 15.0, 0.0}};
    Step s;
    s.frequ = s.gauss = s.phase = s.loren = 0;
    s.intervals = {{30, 110}};
    p.steps = {s};
    FitRun r = run_fit("ampl", make_spectrum(n, {l}, 1.0, 7), p);
    ASSERT_EQ(r.rc, 0);
    // sigma as the program measured it: second number of the .exl result line.
    const std::vector<double> exl = exl_numbers(r.dir + "/data.exl");
    const double sigma = exl.size() > 1 ? exl[1] : 0.0;
    ASSERT_GT(sigma, 0.5);
    Line unit = l;
    unit.area = 1.0;
    auto u = make_spectrum(n, {unit});
    double sum = 0.0;
    for (int j = 30; j <= 110; ++j) sum += std::norm(u[j]);
    ASSERT_EQ(r.err.size(), 1u);
    EXPECT_NEAR(r.err[0][0], 2.0 * sigma / std::sqrt(sum), 1e-3 * r.err[0][0]);
    EXPECT_EQ(r.err[0][1], 0.0);  // frequency not fitted: no bound
    remove_tree(r.dir);
}

TEST(PriorKnowledge, TiedAreaFrequencyAndFixedLineHold) {
    const int n = 256;
    // Data: line 2 has 0.4 of line 1's area and lies 25 points above it; line 3 sits at 200
    // but is fixed at 196 in the fit.
    std::vector<Line> truth = {
        {2, 1000.0, 60.0, 4.0, 0.0, 0.0}, {2, 400.0, 85.0, 4.0, 0.0, 0.0}, {2, 300.0, 200.0, 5.0, 0.0, 0.0}};
    ParFile p;
    p.n = n;
    p.clcerr = 1;
    p.noistr = 236;  // signal-free tail: the noise level of the bounds
    p.noistp = 256;
    p.start = {{2, 900.0, 61.0, 4.4, 0.0, 0.0}, {2, 360.0, 86.0, 4.4, 0.0, 0.0}, {2, 300.0, 196.0, 5.0, 0.0, 0.0}};
    p.ftol = 1e-15;
    auto free_rec = [](double v, double span) { return Prior{0, v - span, v + span}; };
    p.prior.resize(3);
    p.prior[0] = {free_rec(900, 500), free_rec(61, 10), free_rec(4.4, 2), free_rec(0, 40), free_rec(0, 1)};
    p.prior[1] = {Prior{1, 0, 1000}, Prior{1, 70, 100}, free_rec(4.4, 2), free_rec(0, 40), free_rec(0, 1)};
    p.prior[2] = {free_rec(300, 200), Prior{3, 190, 210}, free_rec(5, 2), free_rec(0, 40), free_rec(0, 1)};
    Step s;
    s.loren = 0;
    s.intervals = {{20, 230}};
    p.steps = {s};
    FitRun r = run_fit("prior", make_spectrum(n, truth, 0.5, 17), p);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.mat.size(), 3u);
    EXPECT_NEAR(r.mat[1][0] / r.mat[0][0], 360.0 / 900.0, 1e-6);  // ratio of the starting values
    EXPECT_NEAR(r.mat[1][1] - r.mat[0][1], 25.0, 1e-5);           // difference of the starting values
    EXPECT_NEAR(r.mat[0][1], 60.0, 0.05);                         // the free line moved to the data
    EXPECT_NEAR(r.mat[2][1], 196.0, 1e-5);                        // fixed line stays put
    // Errors of dependent parameters follow the parameter they are tied to.
    ASSERT_EQ(r.err.size(), 3u);
    ASSERT_GT(r.err[0][0], 0.0);
    ASSERT_GT(r.err[0][1], 0.0);
    EXPECT_NEAR(r.err[1][0], r.err[0][0] * 0.4, 1e-6 * (1.0 + r.err[0][0]));
    EXPECT_EQ(r.err[1][1], r.err[0][1]);
    EXPECT_EQ(r.err[2][1], 0.0);
    remove_tree(r.dir);
}

TEST(PriorKnowledge, GaussianWidthNarrowerThanItsReferenceIsFatal) {
    const int n = 128;
    ParFile p;
    p.n = n;
    p.clcerr = 0;
    p.start = {{1, 100.0, 40.0, 8.0, 0.0, 0.0}, {1, 50.0, 60.0, 5.0, 0.0, 0.0}};
    p.prior.resize(2);
    p.prior[0] = {Prior{0, 0, 200}, Prior{0, 30, 50}, Prior{0, 1, 20}, Prior{0, -40, 40}, Prior{0, 0, 1}};
    p.prior[1] = {Prior{0, 0, 200}, Prior{0, 50, 70}, Prior{1, 1, 20}, Prior{0, -40, 40}, Prior{0, 0, 1}};
    p.steps = {full_step(n)};
    FitRun r = run_fit("gauss_pk", make_spectrum(n, {{1, 100.0, 40.0, 8.0, 0.0, 0.0}}), p);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.outcome.fatal, 1);
    EXPECT_NE(std::string(r.outcome.message).find("prior knowledge"), std::string::npos);
    EXPECT_FALSE(file_exists(r.dir + "/data.fit"));
    remove_tree(r.dir);
}

TEST(CorrectedOutput, ShowLineReturnsToItsStartingFrequencyAndIsPhased) {
    const int n = 256;
    Line data{2, 1000.0, 100.0, 3.0, 30.0, 0.0};
    ParFile p;
    p.n = n;
    p.showli = 1;
    p.clcerr = 0;                                   // noise-free data: no noise level for bounds
    p.start = {{2, 1000.0, 95.0, 3.0, 30.0, 0.0}};  // the fit moves the line 5 points up
    p.ftol = 1e-15;
    Step s;
    s.niter = 2000;
    s.loren = 0;
    s.intervals = {{60, 140}};
    p.steps = {s};
    FitRun r = run_fit("cor", make_spectrum(n, {data}), p);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.mat.size(), 1u);
    ASSERT_NEAR(r.mat[0][1], 100.0, 0.02);
    ASSERT_NEAR(r.mat[0][3], 30.0, 0.5);
    auto cor = read_spectrum(r.dir + "/data.cor");
    ASSERT_EQ((int)cor.size(), n);
    // Expected: the data line moved by the fitted shift back to the starting frequency and
    // turned by the fitted phase and a further -90 degrees.
    Line expect = data;
    expect.freq = 100.0 - (r.mat[0][1] - 95.0);
    expect.phase = 30.0 - r.mat[0][3] - 90.0;
    auto e = make_spectrum(n, {expect});
    double peak = 0.0, maxdiff = 0.0;
    for (int j = 0; j < n; ++j) {
        peak = std::max(peak, std::abs(e[j]));
        maxdiff = std::max(maxdiff, std::abs(cor[j] - e[j]));
    }
    EXPECT_LT(maxdiff, 1e-3 * peak);
    int argmax = 0;
    for (int j = 0; j < n; ++j)
        if (std::abs(cor[j]) > std::abs(cor[argmax])) argmax = j;
    EXPECT_EQ(argmax, 95);
    remove_tree(r.dir);
}

TEST(FitDriver, ConvolutionStepBringsAFarStartIntoReach) {
    const int n = 256;
    std::vector<Line> truth = {{2, 1000.0, 100.0, 4.0, 0.0, 0.0}, {2, 500.0, 130.0, 4.0, 0.0, 0.0}};
    ParFile p;
    p.n = n;
    p.clcerr = 0;
    p.start = {{2, 1000.0, 88.0, 4.0, 0.0, 0.0}, {2, 500.0, 118.0, 4.0, 0.0, 0.0}};  // 12 points low
    Step s1;
    s1.trunc = 64;
    s1.convo = 1;
    s1.ampli = 1;
    s1.frequ = s1.gauss = s1.phase = s1.loren = 0;
    s1.intervals = {{40, 200}};
    Step s2;
    s2.loren = 0;
    s2.intervals = {{40, 200}};
    p.steps = {s1, s2};
    FitRun r = run_fit("convo", make_spectrum(n, truth), p);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.mat.size(), 2u);
    EXPECT_NEAR(r.mat[0][1], 100.0, 1e-3);
    EXPECT_NEAR(r.mat[1][1], 130.0, 1e-3);
    EXPECT_NEAR(r.mat[0][0], 1000.0, 0.1);
    remove_tree(r.dir);
}

TEST(FitDriver, StepWithoutGroupsLeavesParametersAndResultFilesAreConsistent) {
    const int n = 128;
    ParFile p;
    p.n = n;
    p.clcerr = 0;
    p.start = {{2, 100.0, 40.0, 3.0, 10.0, 0.0}, {1, 50.0, 70.0, 4.0, 0.0, 0.0}, {3, 70.0, 90.0, 3.0, 0.0, 2.0}};
    Step s;
    s.ampli = s.frequ = s.gauss = s.phase = s.loren = 0;
    s.intervals = {{2, 120}};
    p.steps = {s};
    FitRun r = run_fit("nogroup", make_spectrum(n, {{2, 120.0, 42.0, 3.0, 0.0, 0.0}}), p);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.mat.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(r.mat[i].size(), 5u);
        EXPECT_NEAR(r.mat[i][0], p.start[i].area, 1e-6 * p.start[i].area);
        EXPECT_NEAR(r.mat[i][1], p.start[i].freq, 1e-6);
        EXPECT_NEAR(r.mat[i][2], p.start[i].width1, 1e-6);
    }
    for (const char* ext :
         {".org", ".cor", ".fit", ".fit0", ".res", ".nln0", ".mat", ".err", ".fitres", ".exl", ".compact.par"})
        EXPECT_TRUE(file_exists(r.dir + "/data" + ext)) << ext;
    EXPECT_TRUE(file_exists(r.dir + "/start_verbose.par"));
    auto org = read_spectrum(r.dir + "/data.org");
    auto fit = read_spectrum(r.dir + "/data.fit");
    auto res = read_spectrum(r.dir + "/data.res");
    auto nln = read_spectrum(r.dir + "/data.nln0");
    ASSERT_EQ((int)org.size(), n);
    ASSERT_EQ((int)fit.size(), n);
    ASSERT_EQ((int)res.size(), n);
    ASSERT_EQ((int)nln.size(), 3 * n);
    // The fit is the model at the (unchanged) starting values; lines add up to it.
    auto model = make_spectrum(n, p.start);
    for (int j = 0; j < n; ++j) {
        EXPECT_NEAR(std::abs(fit[j] - model[j]), 0.0, 1e-3 * (1.0 + std::abs(model[j])));
        EXPECT_NEAR(std::abs(res[j] - (org[j] - fit[j])), 0.0, 1e-3);
        EXPECT_NEAR(std::abs(nln[j] + nln[n + j] + nln[2 * n + j] - fit[j]), 0.0, 1e-3 * (1.0 + std::abs(fit[j])));
    }
    // The compact file written back starts a new fit with the same values.
    std::string again = read_text(r.dir + "/data.compact.par");
    EXPECT_EQ(again.rfind("version_3", 0), 0u);
    remove_tree(r.dir);
}

TEST(RandomSearch, RepeatsExactlyOnAnyThreadAndImproves) {
    const int n = 128;
    std::vector<Line> truth = {{2, 500.0, 50.0, 4.0, 0.0, 0.0}};
    ParFile p;
    p.n = n;
    p.clcerr = 0;
    p.start = {{2, 400.0, 52.0, 5.0, 0.0, 0.0}};
    p.prior.resize(1);
    // Phase and Lorentzian-width ranges are empty (min == max): they stay fixed.
    p.prior[0] = {Prior{0, 100, 900}, Prior{0, 44, 56}, Prior{0, 1, 9}, Prior{0, 0, 0}, Prior{0, 0, 0}};
    Step s;
    s.algor = 1;
    s.niter = 6;
    s.intervals = {{10, 100}};
    p.steps = {s};
    auto x = make_spectrum(n, truth);
    FitRun a = run_fit("rand_a", x, p);
    FitRun b;
    std::thread t([&] { b = run_fit("rand_b", x, p); });
    t.join();
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(a.mat.size(), 1u);
    EXPECT_EQ(a.mat, b.mat);
    EXPECT_LT(std::fabs(a.mat[0][1] - 50.0), 2.0);
    EXPECT_LT(std::fabs(a.mat[0][0] - 500.0), 100.0);
    EXPECT_EQ(a.mat[0][3], 0.0);
    remove_tree(a.dir);
    remove_tree(b.dir);
}

TEST(RandomSearch, StartOutsideItsRangeIsFatal) {
    const int n = 64;
    ParFile p;
    p.n = n;
    p.clcerr = 0;  // noise-free data: no noise level for bounds
    p.start = {{2, 100.0, 20.0, 3.0, 0.0, 0.0}};
    p.prior.resize(1);
    p.prior[0] = {Prior{0, 150, 300}, Prior{0, 10, 30}, Prior{0, 1, 5}, Prior{0, -10, 10}, Prior{0, 0, 1}};
    Step s;
    s.algor = 1;
    s.intervals = {{2, 60}};
    p.steps = {s};
    FitRun r = run_fit("rand_bad", make_spectrum(n, {p.start[0]}), p);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.outcome.fatal, 1);
    remove_tree(r.dir);
}

TEST(RandomGenerator, ClassicSequenceAndPerThreadState) {
    qorvane_srand(1);
    // The well-known first values of the classic 0..32767 generator seeded with 1.
    const int expected[5] = {41, 18467, 6334, 26500, 19169};
    int got[5];
    for (int& g : got) g = qorvane_rand();
    EXPECT_TRUE(std::equal(got, got + 5, expected));
    qorvane_srand(7);
    int first = qorvane_rand();
    std::thread t([] {
        qorvane_srand(12345);
        for (int i = 0; i < 100; ++i) qorvane_rand();
    });
    t.join();
    qorvane_srand(7);
    EXPECT_EQ(qorvane_rand(), first);
    for (int i = 0; i < 1000; ++i) {
        int v = qorvane_rand();
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
    }
}

TEST(GaussJordan, InvertsAndReportsSingularMatrices) {
    double a[9] = {4, 7, 2, 3, 6, 1, 2, 5, 3};
    double m[9];
    std::copy(a, a + 9, m);
    testing::internal::CaptureStdout();
    ASSERT_EQ(gaussj(m, 3, 3), 0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0.0;
            for (int k = 0; k < 3; ++k) s += a[i * 3 + k] * m[k * 3 + j];
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 1e-12);
        }
    double sing[4] = {1, 2, 2, 4};
    EXPECT_NE(gaussj(sing, 2, 2), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Singular matrix"), std::string::npos);
}

namespace {
struct CtxHolder {
    QorvaneFitContext* ctx;
    CtxHolder(int n) {
        ctx = qorvane_context_create();
        qorvane_context_set_defaults(ctx);
        ctx->engine = static_cast<QorvaneFitEngineScratch*>(calloc(1, sizeof(QorvaneFitEngineScratch)));
        ctx->n_pnts = n;
    }
    ~CtxHolder() {
        qorvane_engine_free(ctx->engine);
        qorvane_context_destroy(ctx);
    }
};
}  // namespace

TEST(CostFunction, ModesWeightsAndSkippedPoints) {
    CtxHolder h(4);
    QorvaneFitContext* c = h.ctx;
    const double xr[4] = {1, 2, 3, 4}, xi[4] = {0, 1, -1, 2}, yr[4] = {0, 2, 1, 4}, yi[4] = {1, 0, 0, 2};
    for (int k = 0; k < 4; ++k) {
        c->xre[k] = xr[k], c->xim[k] = xi[k], c->yre[k] = yr[k], c->yim[k] = yi[k];
        c->wre[k] = c->wim[k] = 1.0;
    }
    c->wre[0] = c->wim[0] = 0.0;  // point 0 skipped in every mode
    c->wtype = 1;
    c->cmplx = 0;
    EXPECT_DOUBLE_EQ(qorvane_chi2(c), 0 + 4 + 0);
    c->cmplx = 1;
    EXPECT_DOUBLE_EQ(qorvane_chi2(c), 1 + 1 + 0);
    c->cmplx = 2;
    EXPECT_DOUBLE_EQ(qorvane_chi2(c), 4 + 2);
    // Magnitude mode: a model equal in magnitude but not in phase fits perfectly.
    for (int k = 0; k < 4; ++k) {
        c->yre[k] = -c->xim[k];
        c->yim[k] = c->xre[k];
    }
    c->cmplx = 3;
    EXPECT_NEAR(qorvane_chi2(c), 0.0, 1e-12);
    c->cmplx = 4;
    EXPECT_NEAR(qorvane_chi2(c), 0.0, 1e-12);
    // Weighting 7 in dispersion mode sums only the absorption term, divided by 1 + |x|^2.
    for (int k = 0; k < 4; ++k) c->yre[k] = yr[k], c->yim[k] = yi[k] + 5.0;
    c->wtype = 7;
    c->cmplx = 1;
    double expect = 0.0;
    for (int k = 1; k < 4; ++k) expect += (xr[k] - yr[k]) * (xr[k] - yr[k]) / (1.0 + xr[k] * xr[k] + xi[k] * xi[k]);
    EXPECT_NEAR(qorvane_chi2(c), expect, 1e-12);
}

TEST(FitDriverUnits, OverlappingIntervalsGiveWeightOneAndBoundsAreClipped) {
    CtxHolder h(32);
    QorvaneFitContext* c = h.ctx;
    c->n_int = 3;
    c->int_min[1] = 4, c->int_max[1] = 10;
    c->int_min[2] = 8, c->int_max[2] = 12;
    c->int_min[3] = 28, c->int_max[3] = 5000;  // beyond the spectrum
    qorvane_set_interval_weights(c);
    for (int k = 0; k < 32; ++k) {
        double w = ((k >= 4 && k <= 12) || k >= 28) ? 1.0 : 0.0;
        EXPECT_EQ(c->wre[k], w) << k;
        EXPECT_EQ(c->wim[k], w) << k;
    }
}

TEST(FitDriver, IgnoredPointsAreZeroedInOrgAndFitButNotInFit0) {
    // Sum over a spectrum = N * first time-domain point: zero once that point is ignored,
    // N * A / 2 * e^{i phase} for the extrapolated model (first point halved).
    const int n = 128;
    ParFile p;
    p.n = n;
    p.clcerr = 0;
    p.ignore = 3;
    Line l{2, 100.0, 40.0, 3.0, 20.0, 0.0};
    p.start = {l};
    Step s;
    s.ampli = s.frequ = s.gauss = s.phase = s.loren = 0;
    s.intervals = {{2, 120}};
    p.steps = {s};
    FitRun r = run_fit("ignore", make_spectrum(n, {l}), p);
    ASSERT_EQ(r.rc, 0);
    auto sum = [](const std::vector<std::complex<double>>& v) {
        std::complex<double> s = 0.0;
        for (auto& c : v) s += c;
        return s;
    };
    auto org = read_spectrum(r.dir + "/data.org");
    auto fit = read_spectrum(r.dir + "/data.fit");
    auto fit0 = read_spectrum(r.dir + "/data.fit0");
    ASSERT_EQ((int)fit0.size(), n);
    const double scale = n * l.area / 2.0;
    EXPECT_LT(std::abs(sum(org)), 1e-4 * scale);
    EXPECT_LT(std::abs(sum(fit)), 1e-4 * scale);
    EXPECT_LT(std::abs(sum(fit0) - std::polar(scale, l.phase * M_PI / 180.0)), 1e-4 * scale);
    remove_tree(r.dir);
}

TEST(FitDriver, SageIdlFormReadsHeaderAndWritesPairs) {
    const std::string examples = QORVANE_EXAMPLES_DIR;
    const int n = 128;
    Line l{2, 200.0, 50.0, 4.0, 0.0, 0.0};
    ParFile p;
    p.n = n;
    p.clcerr = 0;
    p.start = {{2, 180.0, 50.5, 4.4, 0.0, 0.0}};
    p.ftol = 1e-12;
    Step s;
    s.loren = 0;
    s.niter = 500;
    s.intervals = {{10, 110}};
    p.steps = {s};
    std::string dir = make_temp_dir("sage");
    write_spectrum(dir + "/data.sdf", make_spectrum(n, {l}));
    write_text(dir + "/data.shf", read_text(examples + "/single/example.shf"));
    std::string par = compact_par(p);
    par.replace(par.find("sg_idl none"), 11, "sg_idl sage_idl");
    write_text(dir + "/start.par", par);
    QorvaneSingleFitOutcome o;
    testing::internal::CaptureStdout();
    int rc = qorvane_single_fit_run(dir.c_str(), "data", (dir + "/start.par").c_str(), "t\t", &o);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(rc, 0) << o.message;
    for (const char* ext : {".org", ".cororg", ".fit", ".fit0", ".res", ".nln0"}) {
        EXPECT_TRUE(file_exists(dir + "/data" + ext + ".sdf")) << ext;
        EXPECT_TRUE(file_exists(dir + "/data" + ext + ".shf")) << ext;
    }
    auto m = read_matrix(dir + "/data.mat");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NEAR(m[0][1], 50.0, 0.05);
    remove_tree(dir);
}

TEST(RandomSearch, PerfectStartEndsTheSearch) {
    // Zero data and a line of zero area: chi-square is exactly 0 at the start, so the
    // relative improvement is undefined; it must count as none and the search must end.
    const int n = 64;
    ParFile p;
    p.n = n;
    p.clcerr = 0;
    p.start = {{2, 0.0, 20.0, 3.0, 0.0, 0.0}};
    p.prior.resize(1);
    p.prior[0] = {Prior{0, -1, 1}, Prior{0, 15, 25}, Prior{0, 1, 5}, Prior{0, -10, 10}, Prior{0, 0, 1}};
    Step s;
    s.algor = 1;
    s.niter = 20;
    s.intervals = {{2, 60}};
    p.steps = {s};
    FitRun r = run_fit("rand_zero", std::vector<std::complex<double>>(n, 0.0), p);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.mat.size(), 1u);
    EXPECT_EQ(r.mat[0][0], 0.0);  // no trial beats a perfect start
    remove_tree(r.dir);
}

TEST(CramerRao, ParametersTheModelIgnoresGetNoBoundAndDoNotSpoilTheOthers) {
    // Lorentzian line with every group fitted: its width2 is not a model parameter.
    const int n = 256;
    Line l{2, 500.0, 70.0, 6.0, 15.0, 0.0};
    ParFile p;
    p.n = n;
    p.noistr = 180;
    p.noistp = 250;
    p.ftol = 1e-12;
    p.start = {{2, 480.0, 70.3, 6.2, 12.0, 0.0}};
    Step s;
    s.niter = 500;
    s.intervals = {{30, 110}};
    p.steps = {s};
    FitRun r = run_fit("crb_zero", make_spectrum(n, {l}, 1.0, 3), p);
    ASSERT_EQ(r.rc, 0);
    ASSERT_EQ(r.err.size(), 1u);
    for (int c = 0; c < 4; ++c) EXPECT_GT(r.err[0][c], 0.0) << c;
    EXPECT_EQ(r.err[0][4], 0.0);
    remove_tree(r.dir);
}

TEST(FitDriver, AllZeroSpectrumGivesFiniteResults) {
    const int n = 64;
    ParFile p;
    p.n = n;
    p.clcerr = 0;  // an all-zero spectrum has no noise level for bounds
    p.start = {{2, 100.0, 20.0, 3.0, 0.0, 0.0}};
    Step s;
    s.loren = 0;
    s.niter = 20;
    s.intervals = {{2, 60}};
    p.steps = {s};
    FitRun r = run_fit("zero", std::vector<std::complex<double>>(n, 0.0), p);
    ASSERT_EQ(r.rc, 0);
    auto fit = read_spectrum(r.dir + "/data.fit");
    ASSERT_EQ((int)fit.size(), n);
    for (auto& c : fit) {
        ASSERT_TRUE(std::isfinite(c.real()));
        ASSERT_TRUE(std::isfinite(c.imag()));
    }
    ASSERT_EQ(r.mat.size(), 1u);
    for (double v : r.mat[0]) EXPECT_TRUE(std::isfinite(v));
    remove_tree(r.dir);
}

TEST(Gradient, KeptLineSpectraGiveTheSameGradientAsFullRebuilds) {
    // Ties make a parameter reach other lines; the kept-spectrum gradient must see that.
    const int n = 128;
    ParFile p;
    p.n = n;
    p.start = {{2, 100.0, 30.0, 3.0, 10.0, 0.0}, {1, 60.0, 50.0, 5.0, -5.0, 0.0}, {3, 40.0, 80.0, 4.0, 0.0, 2.0}};
    auto rec = [](double v, double s) { return Prior{0, v - s, v + s}; };
    p.prior.resize(3);
    p.prior[0] = {rec(100, 50), rec(30, 5), rec(3, 1), rec(10, 20), rec(0, 1)};
    p.prior[1] = {rec(60, 30), Prior{1, 40, 60}, rec(5, 2), Prior{1, -40, 40}, rec(0, 1)};
    p.prior[2] = {Prior{1, 0, 100}, rec(80, 5), rec(4, 2), rec(0, 20), rec(2, 1)};
    p.steps = {full_step(n)};
    LoadedEngine e;
    ASSERT_NO_FATAL_FAILURE(load_engine(e, "grad", p));
    QorvaneFitContext* ctx = e.ctx;
    ctx->cmplx = 2;
    ctx->wtype = 1;
    ctx->fit_ampli = ctx->fit_frequ = ctx->fit_gauss = ctx->fit_phase = ctx->fit_loren = 1;
    auto data = make_spectrum(n, {{2, 110.0, 30.4, 3.3, 12.0, 0.0}, {1, 50.0, 50.2, 5.5, -2.0, 0.0}}, 0.0);
    for (int k = 0; k < n; ++k) {
        ctx->xre[k] = data[k].real() * 1e-3;
        ctx->xim[k] = data[k].imag() * 1e-3;
        ctx->wre[k] = ctx->wim[k] = (k >= 5 && k < 120) ? 1.0 : 0.0;
    }
    const int npar = ctx->npar;
    ASSERT_EQ(npar, 15);
    std::vector<double> par(ctx->par_vec, ctx->par_vec + npar + 1), grad(npar + 1);
    for (int j = 1; j <= npar; ++j)
        if (j % 5 == 1) par[j] *= 1e-3;  // areas of the order of the scaled data
    std::vector<double> work = par;
    dfnc(ctx, work.data(), grad.data());

    // Reference: every evaluation rebuilds the whole model.
    auto chi_full = [&](std::vector<double> q) {
        qorvane_apply_prior_knowledge(ctx, q.data());
        par_to_signal(ctx, q.data(), ctx->yre, ctx->yim);
        return qorvane_chi2(ctx);
    };
    std::vector<double> base = par;
    qorvane_apply_prior_knowledge(ctx, base.data());
    const double chi0 = chi_full(base);
    int compared = 0;
    for (int j = 1; j <= npar; ++j) {
        if (!qorvane_param_fitted(ctx, j)) {
            EXPECT_EQ(grad[j], 0.0) << j;
            continue;
        }
        std::vector<double> q = base;
        double h;
        if (std::fabs(q[j]) > 1e-7) {
            h = q[j] / 1e7;
            q[j] += h;
        } else {
            q[j] = 1e-7;
            h = 1e-7;
        }
        const double g_ref = (chi_full(q) - chi0) / h;
        EXPECT_NEAR(grad[j], g_ref, 1e-6 * (std::fabs(g_ref) + 1e-3)) << "parameter " << j;
        ++compared;
    }
    EXPECT_EQ(compared, 12);  // 15 less the tied frequency and phase of line 2 and area of line 3
}

TEST(FitQuality, ClosedFormAndSilentAtVerbosityZero) {
    const double xre[4] = {1, 2, 3, 4}, xim[4] = {0, 0, 0, 0}, yre[4] = {1, 1, 3, 2}, yim[4] = {1, 0, 0, 0};
    const double wre[4] = {1, 1, 0, 1}, wim[4] = {1, 1, 0, 0};
    // chi_re = 0 + 1 + 4 (point 2 has no weight), chi_im = 1 + 0: Q = sqrt((6/2)/n) * S / sigma.
    testing::internal::CaptureStdout();
    double q = print_fit_quality(4, 2, 3, 0.5, 2.0, 0, xre, xim, yre, yim, wre, wim);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(out.empty());
    EXPECT_NEAR(q, std::sqrt(3.0 / 3.0) * 2.0 / 0.5, 1e-12);
    testing::internal::CaptureStdout();
    print_fit_quality(4, 3, 3, 0.5, 2.0, 3, xre, xim, yre, yim, wre, wim);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Magnitude spectrum  fit \n"), std::string::npos);
    EXPECT_NE(out.find("Fit quality number absorption"), std::string::npos);
}

TEST(ResultFiles, ExlCountsFittedParametersAndScaleFactorIsHalfTheMagnitudeSumPerLine) {
    const int n = 256;
    std::vector<Line> truth = {{2, 1000.0, 60.0, 4.0, 0.0, 0.0}, {1, 600.0, 150.0, 6.0, 0.0, 0.0}};
    ParFile p;
    p.n = n;
    p.clcerr = 0;  // the count must not depend on the error computation
    p.verbos = 1;
    p.start = {{2, 950.0, 60.3, 4.2, 2.0, 0.0}, {1, 600.0, 150.0, 6.0, 0.0, 0.0}};
    auto rec = [](double v, double s) { return Prior{0, v - s, v + s}; };
    p.prior.resize(2);
    p.prior[0] = {rec(950, 500), rec(60.3, 5), rec(4.2, 2), rec(2, 20), rec(0, 1)};
    p.prior[1] = {Prior{2, 0, 1000}, rec(150, 5), rec(6, 2), rec(0, 20), rec(0, 1)};  // area fixed
    Step s;
    s.loren = 0;
    s.niter = 50;
    s.intervals = {{20, 230}};
    p.steps = {s};
    auto x = make_spectrum(n, truth);
    FitRun r = run_fit("exl", x, p);
    ASSERT_EQ(r.rc, 0);
    std::vector<double> v = exl_numbers(r.dir + "/data.exl");
    ASSERT_EQ(v.size(), 10u);
    EXPECT_EQ(v[7], 1.0);  // weighting type of the last step
    EXPECT_EQ(v[8], 7.0);  // 2 lines x 4 groups, less the fixed area
    // Scale factor: sum of |x| over the spectrum as stored (float) / (2 * lines).
    double sum = 0.0;
    for (auto& c : x) sum += std::abs(std::complex<double>((float)c.real(), (float)c.imag()));
    const std::string key = "Computed scalefactor for better amp gradients : ";
    size_t at = r.out.find(key);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(std::stod(r.out.substr(at + key.size())), sum / 4.0, 1e-9 * sum);
    // Chi-square before and after the fit are on the same (scaled) footing.
    const std::string before = "Scaled chi-square before minimization      : ";
    at = r.out.find(before);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NEAR(v[3], std::stod(r.out.substr(at + before.size())), 1e-6 * v[3]);
    EXPECT_LT(v[4], 0.1 * v[3]);
    EXPECT_NE(read_text(r.dir + "/data.fitres").find("Chi-square after  (weighted) least square fit   : "),
              std::string::npos);
    remove_tree(r.dir);

    // A step whose only fitted group has no free parameter has a gradient of exactly zero:
    // the conjugate gradients end after their first line minimisation.
    p.prior[0][0] = Prior{1, 0, 2000};
    p.prior[1][0] = Prior{2, 0, 2000};
    s.frequ = s.gauss = s.phase = 0;
    p.steps = {s};
    r = run_fit("exl_zero", x, p);
    ASSERT_EQ(r.rc, 0);
    v = exl_numbers(r.dir + "/data.exl");
    ASSERT_EQ(v.size(), 10u);
    EXPECT_EQ(v[6], 1.0);  // iterations
    EXPECT_EQ(v[8], 0.0);  // nothing free was fitted
    ASSERT_EQ(r.mat.size(), 2u);
    EXPECT_DOUBLE_EQ(r.mat[0][0], 950.0);
    remove_tree(r.dir);
}

TEST(ResultFiles, PeakAreaTableMarksErrorsAboveTenPercent) {
    // Areas only (a linear fit): the strong line's bound is far below 10 %, the weak one's above.
    const int n = 256;
    std::vector<Line> truth = {{2, 1000.0, 60.0, 4.0, 0.0, 0.0}, {2, 2.0, 140.0, 4.0, 0.0, 0.0}};
    ParFile p;
    p.n = n;
    p.noistr = 190;
    p.noistp = 250;
    p.start = truth;
    Step s;
    s.frequ = s.gauss = s.phase = s.loren = 0;
    s.intervals = {{20, 180}};
    p.steps = {s};
    FitRun r = run_fit("mark", make_spectrum(n, truth, 300.0, 11), p);
    ASSERT_EQ(r.rc, 0);
    // Dead-time corrected areas and their errors: the last two fields of each .exl line row.
    std::istringstream exl(read_text(r.dir + "/data.exl"));
    std::string line;
    std::vector<double> perc;
    int row = 0;
    while (std::getline(exl, line)) {
        if (++row <= 5 || line.empty() || line.rfind("converged\t", 0) == 0) continue;  // trailing key line
        std::istringstream f(line);
        std::vector<std::string> fields;
        std::string t;
        while (std::getline(f, t, '\t')) fields.push_back(t);
        ASSERT_EQ(fields.size(), 19u) << line;
        perc.push_back(100.0 * std::fabs(std::stod(fields[18]) / std::stod(fields[17])));
    }
    ASSERT_EQ(perc.size(), 2u);
    EXPECT_LT(perc[0], 10.0);
    EXPECT_GT(perc[1], 10.0);
    std::istringstream fitres(read_text(r.dir + "/data.fitres"));
    std::vector<std::string> rows;
    while (std::getline(fitres, line))
        if (line.find("| peak area ") != std::string::npos) rows.push_back(line);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[0].rfind("* ", 0), 0u) << rows[0];
    EXPECT_EQ(rows[1].rfind("* ", 0), 0u) << rows[1];
    // The printed percentage is the one of the .exl numbers.
    EXPECT_NEAR(std::stod(rows[1].substr(rows[1].rfind('\t') + 1)), perc[1], 1e-4 * perc[1]);
    EXPECT_NE(read_text(r.dir + "/data.fitres").find("* = error in estimate > 10.0 percent "), std::string::npos);
    remove_tree(r.dir);
}

TEST(ModelDerivative, ZeroParameterIsPerturbedToOneTenMillionth) {
    // d y / d phase = i pi/180 y (phase in degrees); d y / d area = y / area.
    const int n = 128;
    ParFile p;
    p.n = n;
    p.start = {{2, 100.0, 40.0, 3.0, 0.0, 0.0}};
    p.steps = {full_step(n)};
    LoadedEngine e;
    ASSERT_NO_FATAL_FAILURE(load_engine(e, "deriv", p));
    QorvaneFitContext* ctx = e.ctx;
    std::vector<double> par(ctx->par_vec, ctx->par_vec + ctx->npar + 1);
    ASSERT_EQ(par[4], 0.0);
    std::vector<double> y_re(n), y_im(n), d_re(n), d_im(n);
    par_to_signal(ctx, par.data(), y_re.data(), y_im.data());
    double peak = 0.0;
    for (int k = 0; k < n; ++k) peak = std::max(peak, std::hypot(y_re[k], y_im[k]));
    f_new_complex_select(ctx, 4, par.data(), d_re.data(), d_im.data());
    EXPECT_EQ(par[4], 0.0);  // restored
    const double c = M_PI / 180.0;
    for (int k = 0; k < n; ++k) {
        ASSERT_NEAR(d_re[k], -c * y_im[k], 1e-5 * c * peak) << k;
        ASSERT_NEAR(d_im[k], c * y_re[k], 1e-5 * c * peak) << k;
    }
    f_new_complex_select(ctx, 1, par.data(), d_re.data(), d_im.data());
    for (int k = 0; k < n; ++k) {
        ASSERT_NEAR(d_re[k], y_re[k] / 100.0, 1e-5 * peak / 100.0) << k;
        ASSERT_NEAR(d_im[k], y_im[k] / 100.0, 1e-5 * peak / 100.0) << k;
    }
}
