// Closed-form line spectra against the time signal + FFT reference.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "lineshape.h"
#include "lineshape_analytic.h"
#include "qfft.h"
#include "qmodel_test_support.h"
#include "qorvane_context.h"

namespace {

struct LineCase {
    const char *name;
    int n, type;
    double f, w1, ph, w2;  // internal units (points, degrees)
    double phi1;           // degrees: delay phi1 / 360 points
    int ignore, trunc;     // trunc 0: n
};

void configure(QorvaneFitContext *ctx, const LineCase &c, int mode) {
    ctx->n_pnts = c.n;
    ctx->trunc = c.trunc > 0 ? c.trunc : c.n;
    ctx->ignore = c.ignore;
    ctx->phi_1 = c.phi1;
    ctx->nLines = 1;
    ctx->npar = 5;
    ctx->lsf_start = 5;
    ctx->line_spectra = mode;
    for (int j = 1; j <= 5; ++j) ctx->fixpar[j].type = c.type;
    const double p[6] = {0.0, 3.7, c.f, c.w1, c.ph, c.w2};
    std::memcpy(ctx->par_vec, p, sizeof p);
    ASSERT_EQ(qorvane_twiddle_prepare(&ctx->twiddles, c.n), 0);
}

// Spectrum, unit spectrum and the three derivatives of line 1 in one mode.
struct Spectra {
    std::vector<double> v[2], u[2], d[3][2];
};

Spectra model(const LineCase &c, int mode, bool *analytic) {
    CtxHolder h;
    configure(h.ctx, c, mode);
    const int n = c.n;
    Spectra s;
    for (int k = 0; k < 2; ++k) {
        s.v[k].assign(n, 0.0);
        s.u[k].assign(n, 0.0);
        for (auto &d : s.d) d[k].assign(n, 0.0);
    }
    single_line_to_signal(h.ctx, h.ctx->par_vec, s.v[0].data(), s.v[1].data(), 1);
    std::vector<double> work(8 * n);
    double *dr[3] = {s.d[0][0].data(), s.d[1][0].data(), s.d[2][0].data()};
    double *di[3] = {s.d[0][1].data(), s.d[1][1].data(), s.d[2][1].data()};
    single_line_with_derivatives(h.ctx, h.ctx->par_vec, 1, 7, work.data(), s.u[0].data(), s.u[1].data(), dr, di);
    const double gauss = c.type == QORVANE_LINE_LORENTZ ? 0.0 : c.w1;
    const double lorentz = c.type == QORVANE_LINE_LORENTZ ? c.w1 : (c.type == QORVANE_LINE_VOIGT ? c.w2 : 0.0);
    *analytic = ls_analytic_applies(h.ctx, 1, gauss, lorentz);
    return s;
}

double peak(const std::vector<double> *x) {
    double m = 0.0;
    for (int k = 0; k < 2; ++k)
        for (double v : x[k]) m = std::fmax(m, std::fabs(v));
    return m;
}

// Largest difference relative to the larger array's peak.
double relative_difference(const std::vector<double> *a, const std::vector<double> *b) {
    double worst = 0.0;
    for (int k = 0; k < 2; ++k)
        for (size_t i = 0; i < a[k].size(); ++i) worst = std::fmax(worst, std::fabs(a[k][i] - b[k][i]));
    const double scale = std::fmax(peak(a), peak(b));
    return scale > 0.0 ? worst / scale : worst;
}

TEST(LineSpectra, ClosedFormAgreesWithTheFftPathToOneInTenToTheTen) {
    const LineCase cases[] = {
        {"Lorentzian on a grid point", 1024, QORVANE_LINE_LORENTZ, 100.0, 3.0, 0.0, 0.0, 0.0, 0, 0},
        {"Lorentzian between points, phased", 1024, QORVANE_LINE_LORENTZ, -211.37, 5.5, 33.0, 0.0, 0.0, 0, 0},
        {"beyond the Nyquist edge (wraps)", 512, QORVANE_LINE_LORENTZ, 300.25, 2.0, -70.0, 0.0, 0.0, 0, 0},
        {"truncated at 700 points", 1024, QORVANE_LINE_LORENTZ, 40.6, 4.0, 10.0, 0.0, 0.0, 0, 700},
        {"three ignored points, delay", 1024, QORVANE_LINE_LORENTZ, 12.3, 6.0, 5.0, 0.0, 90.0, 3, 0},
        {"delay, ignored and truncated", 256, QORVANE_LINE_LORENTZ, -50.8, 2.5, -15.0, 0.0, 250.0, 1, 200},
        {"negative width", 256, QORVANE_LINE_LORENTZ, 20.2, -3.0, 0.0, 0.0, 0.0, 0, 0},
        {"Voigt of zero Gaussian width", 1024, QORVANE_LINE_VOIGT, 77.7, 0.0, 12.0, 4.0, 45.0, 0, 0},
        {"narrow: 1 - |z| just above the limit", 1024, QORVANE_LINE_LORENTZ, 30.4, 0.033, 0.0, 0.0, 0.0, 0, 0},
        {"wide line, 4 points", 4, QORVANE_LINE_LORENTZ, 0.7, 1.5, 20.0, 0.0, 0.0, 0, 0},
        {"16384 points", 16384, QORVANE_LINE_LORENTZ, 4000.5, 8.0, -3.0, 0.0, 0.0, 0, 0},
    };
    for (const LineCase &c : cases) {
        SCOPED_TRACE(c.name);
        bool closed = false, fft_closed = true;
        const Spectra a = model(c, QORVANE_LINE_SPECTRA_ANALYTIC, &closed);
        const Spectra r = model(c, QORVANE_LINE_SPECTRA_FFT, &fft_closed);
        ASSERT_TRUE(closed) << "the closed form should apply";
        ASSERT_FALSE(fft_closed);
        EXPECT_GT(peak(r.v), 0.0);
        EXPECT_LT(relative_difference(a.v, r.v), 1e-10);
        EXPECT_LT(relative_difference(a.u, r.u), 1e-10);
        for (int q = 0; q < 3; ++q) EXPECT_LT(relative_difference(a.d[q], r.d[q]), 1e-10) << "derivative " << q;
        EXPECT_GT(peak(r.d[0]), 0.0);
        EXPECT_GT(peak(r.d[c.type == QORVANE_LINE_VOIGT ? 2 : 1]), 0.0);
    }
}

TEST(LineSpectra, LinesOutsideTheClosedFormTakeTheFftPathUnchanged) {
    const LineCase cases[] = {
        {"Gaussian line", 256, QORVANE_LINE_GAUSS, 40.2, 3.0, 0.0, 0.0, 0.0, 0, 0},
        {"Voigt with a Gaussian part", 256, QORVANE_LINE_VOIGT, 40.2, 1.0, 0.0, 3.0, 0.0, 0, 0},
        {"zero width (no decay)", 256, QORVANE_LINE_LORENTZ, 40.0, 0.0, 0.0, 0.0, 0.0, 0, 0},
        {"too narrow for the division", 1024, QORVANE_LINE_LORENTZ, 40.5, 0.03, 0.0, 0.0, 0.0, 0, 0},
        {"negative delay", 256, QORVANE_LINE_LORENTZ, 40.2, 3.0, 0.0, 0.0, -90.0, 0, 0},
        {"decay beyond the exponential's range", 256, QORVANE_LINE_LORENTZ, 40.2, 70000.0, 0.0, 0.0, 0.0, 0, 0},
    };
    for (const LineCase &c : cases) {
        SCOPED_TRACE(c.name);
        bool closed = true, unused = true;
        const Spectra a = model(c, QORVANE_LINE_SPECTRA_ANALYTIC, &closed);
        const Spectra r = model(c, QORVANE_LINE_SPECTRA_FFT, &unused);
        EXPECT_FALSE(closed);
        for (int k = 0; k < 2; ++k) {
            EXPECT_EQ(a.v[k], r.v[k]);
            EXPECT_EQ(a.u[k], r.u[k]);
            for (int q = 0; q < 3; ++q) EXPECT_EQ(a.d[q][k], r.d[q][k]);
        }
    }
    // A reference line shape or a line-shape function multiplies the time signal: no closed form.
    CtxHolder h;
    configure(h.ctx, cases[0], QORVANE_LINE_SPECTRA_ANALYTIC);
    EXPECT_TRUE(ls_analytic_applies(h.ctx, 1, 0.0, 3.0));
    h.ctx->ref_lineshape_on = 1;
    EXPECT_FALSE(ls_analytic_applies(h.ctx, 1, 0.0, 3.0));
    h.ctx->ref_lineshape_on = 0;
    h.ctx->lsffit[1] = 1;
    EXPECT_FALSE(ls_analytic_applies(h.ctx, 1, 0.0, 3.0));
    EXPECT_TRUE(ls_analytic_applies(h.ctx, 2, 0.0, 3.0));
}

}  // namespace
