// Spectral model: FFT, vector operations, analytic lines and patterns.
#include "lineshape.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qfft.h"
#include "qmodel_test_support.h"
#include "qorvane_context.h"
#include "qspectrumio.h"
#include "qtest_files.h"

namespace {

using cd = std::complex<double>;
const double kPi = 3.14159265358979323846;

std::string temp_dir() { return qtest::temp_dir("ls"); }

// Reference DFT: X_m = sum_k x_k exp(sign * 2 pi i m k / n).
std::vector<cd> naive_dft(const std::vector<cd> &x, int sign) {
    const int n = static_cast<int>(x.size());
    std::vector<cd> out(n);
    for (int m = 0; m < n; ++m) {
        cd acc = 0.0;
        for (int k = 0; k < n; ++k) acc += x[k] * std::polar(1.0, sign * 2.0 * kPi * double((long long)m * k % n) / n);
        out[m] = acc;
    }
    return out;
}

// Sets up a context for `n` points with one line of the given type and
// parameters in internal units.
void one_line(QorvaneFitContext *ctx, int n, int type, double a, double f, double w1, double ph, double w2) {
    ctx->n_pnts = n;
    ctx->trunc = n;
    ctx->nLines = 1;
    ctx->pattrn = 0;
    ctx->lsf_start = 5;
    ctx->npar = 5;
    for (int j = 1; j <= 5; ++j) ctx->fixpar[j].type = type;
    double *p = ctx->par_vec;
    p[1] = a;
    p[2] = f;
    p[3] = w1;
    p[4] = ph;
    p[5] = w2;
}

double max_abs(const double *x, int n) {
    double m = 0.0;
    for (int i = 0; i < n; ++i) m = std::max(m, std::fabs(x[i]));
    return m;
}

// Full width at half height of a real peak around index `peak`, by linear interpolation.
double fwhh(const double *y, int n, int peak) {
    const double half = 0.5 * y[peak];
    int r = peak;
    while (r + 1 < n && y[r + 1] > half) ++r;
    int l = peak;
    while (l - 1 >= 0 && y[l - 1] > half) --l;
    double xr = r + (y[r] - half) / (y[r] - y[r + 1]);
    double xl = l - (y[l] - half) / (y[l] - y[l - 1]);
    return xr - xl;
}

}  // namespace

TEST(Fft, ForwardAndBackwardMatchReferenceDftWithAndWithoutCache) {
    // one cache built for the largest size serves every smaller transform
    QorvaneTwiddleCache tw;
    std::memset(&tw, 0, sizeof tw);
    ASSERT_EQ(qorvane_twiddle_prepare(&tw, QORVANE_MAX_POINTS), 0);
    for (int n : {2, 4, 64, 1024}) {
        std::vector<cd> x(n);
        for (int k = 0; k < n; ++k) x[k] = cd(std::sin(0.3 * k) + 0.1 * k, std::cos(1.7 * k) - 0.05 * k * k / n);
        for (int isign : {1, -1}) {
            std::vector<cd> ref = naive_dft(x, isign == 1 ? -1 : 1);
            std::vector<double> a(2 * n), b(2 * n);
            for (int k = 0; k < n; ++k) {
                a[2 * k] = b[2 * k] = x[k].real();
                a[2 * k + 1] = b[2 * k + 1] = x[k].imag();
            }
            four2(a.data(), &tw, n, isign);
            four2(b.data(), nullptr, n, isign);
            for (int m = 0; m < n; ++m) {
                ASSERT_NEAR(a[2 * m], ref[m].real(), 1e-10 * n) << "n " << n << " isign " << isign << " m " << m;
                ASSERT_NEAR(a[2 * m + 1], ref[m].imag(), 1e-10 * n) << "n " << n << " isign " << isign;
                ASSERT_NEAR(b[2 * m], a[2 * m], 1e-12 * n);
                ASSERT_NEAR(b[2 * m + 1], a[2 * m + 1], 1e-12 * n);
            }
        }
    }
    EXPECT_EQ(qorvane_twiddle_prepare(&tw, 48), -1);
    EXPECT_EQ(qorvane_twiddle_prepare(&tw, 2 * QORVANE_MAX_POINTS), -1);
}

TEST(VectorOps, RotateIsCyclicLeftRotationAndNegativeCountsFromEnd) {
    const int n = 10;
    double x[n], y[n];
    for (int i = 0; i < n; ++i) x[i] = y[i] = i;
    rotate_vector(n, 3, x);
    for (int i = 0; i < n; ++i) EXPECT_EQ(x[i], (i + 3) % n);
    rotate_vector(n, -3, y);
    for (int i = 0; i < n; ++i) EXPECT_EQ(y[i], (i + 7) % n);
    rotate_vector(n, -3, x);  // undoes the first rotation
    for (int i = 0; i < n; ++i) EXPECT_EQ(x[i], i);
    rotate_vector(n, 23, x);  // counts beyond n wrap
    EXPECT_EQ(x[0], 3);
}

TEST(AnalyticLine, UnitLineGivesNMinusHalfAtItsPointAndMinusHalfElsewhere) {
    CtxHolder h;
    const int n = 256, f = 37;
    one_line(h.ctx, n, QORVANE_LINE_VOIGT, 1.0, f, 0.0, 0.0, 0.0);
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    for (int i = 0; i < n; ++i) {
        EXPECT_NEAR(h.ctx->yre[i], i == f ? n - 0.5 : -0.5, 1e-9) << i;
        EXPECT_NEAR(h.ctx->yim[i], 0.0, 1e-9) << i;
    }
}

TEST(AnalyticLine, LorentzianMatchesDiscreteClosedFormAndAnalyticHeightAndWidth) {
    CtxHolder h;
    const int n = 1024, f = 300;
    const double L = 8.0, A = 2.5;
    // type 2: width1 is the Lorentzian width, width2 is not used
    one_line(h.ctx, n, QORVANE_LINE_LORENTZ, A, f, L, 0.0, 99.0);
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    const double g = kPi * L / n;
    for (int j = 0; j < n; ++j) {
        cd r = std::exp(-g) * std::polar(1.0, 2.0 * kPi * (f - j) / n);
        cd x = A * ((1.0 - std::exp(-g * n)) / (1.0 - r) - 0.5);
        ASSERT_NEAR(h.ctx->yre[j], x.real(), 1e-8 * A * n) << j;
        ASSERT_NEAR(h.ctx->yim[j], x.imag(), 1e-8 * A * n) << j;
    }
    // continuous Lorentzian: height A*N/(pi*L), full width at half height L points
    EXPECT_NEAR(h.ctx->yre[f], A * n / (kPi * L), 0.01 * A * n / (kPi * L));
    EXPECT_NEAR(fwhh(h.ctx->yre, n, f), L, 0.02 * L);
}

TEST(AnalyticLine, GaussianWidthIsOnePointSixSevenTimesG) {
    CtxHolder h;
    const int n = 1024, f = 512;
    const double G = 12.0;
    one_line(h.ctx, n, QORVANE_LINE_GAUSS, 1.0, f, G, 0.0, 50.0);  // width2 ignored for type 1
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    EXPECT_NEAR(fwhh(h.ctx->yre, n, f), 2.0 * std::sqrt(std::log(2.0)) * G, 1e-3 * G);
    EXPECT_NEAR(fwhh(h.ctx->yre, n, f), 1.67 * G, 0.01 * G);
    // one-sided time signal with halved first point: height = half the Gaussian's integral
    EXPECT_NEAR(h.ctx->yre[f], n / (2.0 * std::sqrt(kPi) * G), 1e-9 * n);
}

TEST(AnalyticLine, VoigtWithDelayMatchesReferenceDftOfItsTimeSignal) {
    CtxHolder h;
    const int n = 128;
    const double A = 3.0, f = 20.25, G = 3.0, ph = 30.0, L = 2.0;
    one_line(h.ctx, n, QORVANE_LINE_VOIGT, A, f, G, ph, L);
    h.ctx->phi_1 = 72.0;  // d = 0.2 points
    h.ctx->ignore = 2;
    h.ctx->trunc = 100;
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    const double d = 0.2;
    std::vector<cd> s(n, 0.0);
    for (int k = 0; k < 100; ++k) {
        double t = (k + d) / n;
        s[k] =
            A * std::exp(-(kPi * L * t + std::pow(kPi * G * t, 2))) * std::polar(1.0, 2.0 * kPi * (f + n / 2) * k / n);
    }
    s[0] *= 0.5;
    s[0] = s[1] = 0.0;
    std::vector<cd> X = naive_dft(s, -1);
    // zero-order phase plus the first-order phase 2 pi f d / N
    cd rot = std::polar(1.0, ph * kPi / 180.0 + 2.0 * kPi * f * d / n);
    for (int j = 0; j < n; ++j) {
        cd want = X[(j + n / 2) % n] * rot;
        EXPECT_NEAR(h.ctx->yre[j], want.real(), 1e-9) << j;
        EXPECT_NEAR(h.ctx->yim[j], want.imag(), 1e-9) << j;
    }
}

TEST(AnalyticLine, IgnoredPointsRemoveTheirTimeDomainContribution) {
    CtxHolder full, ign;
    const int n = 256, f = 90;
    const double L = 5.0;
    one_line(full.ctx, n, QORVANE_LINE_LORENTZ, 1.0, f, L, 0.0, 0.0);
    one_line(ign.ctx, n, QORVANE_LINE_LORENTZ, 1.0, f, L, 0.0, 0.0);
    ign.ctx->ignore = 3;
    par_to_signal(full.ctx, full.ctx->par_vec, full.ctx->yre, full.ctx->yim);
    par_to_signal(ign.ctx, ign.ctx->par_vec, ign.ctx->yre, ign.ctx->yim);
    const double g = kPi * L / n;
    double sum_re = 0.0;
    for (int j = 0; j < n; ++j) {
        // the three removed points: a_0/2, a_1, a_2 rotating at f - j
        cd e = std::polar(1.0, 2.0 * kPi * (f - j) / n);
        cd removed = 0.5 + std::exp(-g) * e + std::exp(-2.0 * g) * e * e;
        EXPECT_NEAR(full.ctx->yre[j] - ign.ctx->yre[j], removed.real(), 1e-9) << j;
        EXPECT_NEAR(full.ctx->yim[j] - ign.ctx->yim[j], removed.imag(), 1e-9) << j;
        sum_re += ign.ctx->yre[j];
    }
    // the spectrum's integral is N times the first time-domain point, now zero
    EXPECT_NEAR(sum_re, 0.0, 1e-8);
}

TEST(AnalyticLine, TruncOneKeepsOnlyTheHalvedFirstPoint) {
    CtxHolder h;
    const int n = 64;
    one_line(h.ctx, n, QORVANE_LINE_VOIGT, 4.0, 10.0, 2.0, 0.0, 1.0);
    h.ctx->trunc = 1;
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    for (int j = 0; j < n; ++j) {
        EXPECT_NEAR(h.ctx->yre[j], 2.0, 1e-12);
        EXPECT_NEAR(h.ctx->yim[j], 0.0, 1e-12);
    }
}

TEST(AnalyticLine, HugeDecayExponentContributesZeroNotNan) {
    CtxHolder h;
    const int n = 64;
    one_line(h.ctx, n, QORVANE_LINE_LORENTZ, 1.0, 5.0, 1.0e6, 0.0, 0.0);
    h.ctx->phi_1 = 360.0;  // d = 1: exponent pi*1e6/64 > 745 already at k = 0
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    for (int j = 0; j < n; ++j) {
        EXPECT_EQ(h.ctx->yre[j], 0.0);
        EXPECT_EQ(h.ctx->yim[j], 0.0);
    }
}

TEST(AnalyticLine, ReferenceShapeAndLineShapeFunctionMultiplyTheTimeSignal) {
    CtxHolder h;
    const int n = 128, f = 40;
    one_line(h.ctx, n, QORVANE_LINE_LORENTZ, 1.0, f, 3.0, 0.0, 0.0);
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->xre, h.ctx->xim);

    // a constant reference of 2 doubles the spectrum
    h.ctx->ref_lineshape_on = 1;
    for (int k = 0; k < n; ++k) {
        h.ctx->re_ref[k] = 2.0;
        h.ctx->im_ref[k] = 0.0;
    }
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    for (int j = 0; j < n; ++j) EXPECT_NEAR(h.ctx->yre[j], 2.0 * h.ctx->xre[j], 1e-9);
    h.ctx->ref_lineshape_on = 0;

    // three coefficients: (2,0) at frequency 0 and (0.5,0) at +1 give
    // f_k = (2 + 0.5 exp(2 pi i k / N)) / 2.5 after normalisation
    h.ctx->lsfcfs = 3;
    h.ctx->npar = 11;
    double *p = h.ctx->par_vec;
    p[6] = 0.0;
    p[7] = 0.0;  // frequency -1
    p[8] = 2.0;
    p[9] = 0.0;  // frequency 0
    p[10] = 0.5;
    p[11] = 0.0;  // frequency +1
    ASSERT_EQ(parameter_array_2_line_shape_function(h.ctx, p), QORVANE_RC_OK);
    for (int k = 0; k < n; ++k) {
        cd want = (2.0 + 0.5 * std::polar(1.0, 2.0 * kPi * k / n)) / 2.5;
        EXPECT_NEAR(h.ctx->r_lsf[k], want.real(), 1e-12) << k;
        EXPECT_NEAR(h.ctx->i_lsf[k], want.imag(), 1e-12) << k;
    }
    EXPECT_NEAR(p[8], 2.0 / (n * 2.5), 1e-15);
    EXPECT_NEAR(p[10], 0.5 / (n * 2.5), 1e-15);

    // the function only acts on lines whose lsffit switch is on: (2 + 0.5 e^{+1}) / 2.5
    // turns the line into 0.8 of itself plus 0.2 of itself one point higher
    h.ctx->lsffit[1] = 1;
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    for (int j = 1; j < n; ++j) {
        EXPECT_NEAR(h.ctx->yre[j], 0.8 * h.ctx->xre[j] + 0.2 * h.ctx->xre[j - 1], 1e-9) << j;
        EXPECT_NEAR(h.ctx->yim[j], 0.8 * h.ctx->xim[j] + 0.2 * h.ctx->xim[j - 1], 1e-9) << j;
    }
}

TEST(VectorOps, TruncateMatchesModelBuiltWithTruncAndLeavesFullSpectrumUnchanged) {
    CtxHolder h;
    const int n = 256;
    one_line(h.ctx, n, QORVANE_LINE_VOIGT, 1.0, 70.3, 4.0, 25.0, 2.0);
    h.ctx->phi_1 = 40.0;
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->xre, h.ctx->xim);
    std::vector<double> re(h.ctx->xre, h.ctx->xre + n), im(h.ctx->xim, h.ctx->xim + n);
    truncate_vector(h.ctx, n, n, re.data(), im.data());
    for (int j = 0; j < n; ++j) {
        EXPECT_EQ(re[j], h.ctx->xre[j]);
        EXPECT_EQ(im[j], h.ctx->xim[j]);
    }
    truncate_vector(h.ctx, n, 40, re.data(), im.data());
    h.ctx->trunc = 40;
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    for (int j = 0; j < n; ++j) {
        EXPECT_NEAR(re[j], h.ctx->yre[j], 1e-9) << j;
        EXPECT_NEAR(im[j], h.ctx->yim[j], 1e-9) << j;
    }
}

TEST(VectorOps, FrequencyShiftZeroWholeAndFractional) {
    CtxHolder h;
    const int n = 256;
    one_line(h.ctx, n, QORVANE_LINE_LORENTZ, 1.0, 100.0, 3.0, 0.0, 0.0);
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->xre, h.ctx->xim);
    std::vector<double> re(h.ctx->xre, h.ctx->xre + n), im(h.ctx->xim, h.ctx->xim + n);

    frequency_shift_vector(h.ctx, n, re.data(), im.data(), 0.0);
    for (int j = 0; j < n; ++j) EXPECT_EQ(re[j], h.ctx->xre[j]);

    frequency_shift_vector(h.ctx, n, re.data(), im.data(), 5.0);
    for (int j = 0; j < n; ++j) {  // exact cyclic rotation, wrapping at the end
        EXPECT_EQ(re[j], h.ctx->xre[(j - 5 + n) % n]);
        EXPECT_EQ(im[j], h.ctx->xim[(j - 5 + n) % n]);
    }
    frequency_shift_vector(h.ctx, n, re.data(), im.data(), -5.0);
    for (int j = 0; j < n; ++j) EXPECT_EQ(re[j], h.ctx->xre[j]);

    // half a point moves the line to 100.5 exactly as the model builds it there
    frequency_shift_vector(h.ctx, n, re.data(), im.data(), 0.5);
    h.ctx->par_vec[2] = 100.5;
    par_to_signal(h.ctx, h.ctx->par_vec, h.ctx->yre, h.ctx->yim);
    for (int j = 0; j < n; ++j) {
        EXPECT_NEAR(re[j], h.ctx->yre[j], 1e-9) << j;
        EXPECT_NEAR(im[j], h.ctx->yim[j], 1e-9) << j;
    }
}

TEST(Patterns, ParametricPatternEqualsTheSameLinesBuiltDirectly) {
    const std::string dir = temp_dir();
    const std::string pat = dir + "/three.pat";
    FILE *fp = std::fopen(pat.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    std::fprintf(fp,
                 "start_pattern\nnumber_of_lines 3\n"
                 "parameters name line_type area frequency gauss_width zero_phase lorentz_width\n"
                 "NAA voigt 2.0 120.0 6.0 10.0 4.0\n"
                 "Cr lorentz 1.5 200.0 0.0 -20.0 6.0\n"
                 "Cho gauss 1.0 260.0 8.35 0.0 0.0\n"
                 "end_of_pattern\n");
    std::fclose(fp);

    const int n = 512;
    const double hz = 2.0;
    CtxHolder pc, lc;
    for (QorvaneFitContext *c : {pc.ctx, lc.ctx}) {
        c->n_pnts = n;
        c->trunc = 300;
        c->hz_p_p = hz;
        c->phi_1 = 50.0;
        c->ignore = 1;
    }
    // pattern model: one pattern, factor = its norm, no differences
    pc.ctx->nLines = 0;
    pc.ctx->pattrn = 1;
    std::snprintf(pc.ctx->pattern_path[1], QORVANE_PATTERN_PATH_SLOT, "%s", pat.c_str());
    ASSERT_EQ(fetch_patterns(pc.ctx), QORVANE_RC_OK);
    ASSERT_GT(pc.ctx->pattern_norm[1], 0.0);
    for (int j = 1; j <= 5; ++j) pc.ctx->fixpar[j].type = QORVANE_LINE_PATTERN;
    double *pp = pc.ctx->par_vec;
    pp[1] = pc.ctx->pattern_norm[1];
    par_to_signal(pc.ctx, pp, pc.ctx->yre, pc.ctx->yim);

    // the same three lines as analytic lines, converted by hand to points
    const double g = 0.5988023952095809;
    const double lines[3][6] = {{QORVANE_LINE_VOIGT, 2.0, 120.0 / hz, 6.0 * g / hz, 10.0, 4.0 / hz},
                                {QORVANE_LINE_LORENTZ, 1.5, 200.0 / hz, 6.0 / hz, -20.0, 0.0},
                                {QORVANE_LINE_GAUSS, 1.0, 260.0 / hz, 8.35 * g / hz, 0.0, 0.0}};
    lc.ctx->nLines = 3;
    for (int i = 1; i <= 3; ++i) {
        for (int j = 1; j <= 5; ++j) {
            lc.ctx->fixpar[qorvane_par_index(i, j)].type = static_cast<int>(lines[i - 1][0]);
            lc.ctx->par_vec[qorvane_par_index(i, j)] = lines[i - 1][j];
        }
    }
    par_to_signal(lc.ctx, lc.ctx->par_vec, lc.ctx->yre, lc.ctx->yim);
    const double scale = max_abs(lc.ctx->yre, n);
    ASSERT_GT(scale, 1.0);
    for (int j = 0; j < n; ++j) {
        EXPECT_NEAR(pc.ctx->yre[j], lc.ctx->yre[j], 1e-9 * scale) << j;
        EXPECT_NEAR(pc.ctx->yim[j], lc.ctx->yim[j], 1e-9 * scale) << j;
    }

    // a whole-point frequency difference moves every line of the pattern
    pp[2] = 7.0;
    par_to_signal(pc.ctx, pp, pc.ctx->yre, pc.ctx->yim);
    for (int i = 1; i <= 3; ++i) lc.ctx->par_vec[qorvane_par_index(i, QORVANE_PAR_FREQ)] += 7.0;
    par_to_signal(lc.ctx, lc.ctx->par_vec, lc.ctx->yre, lc.ctx->yim);
    for (int j = 0; j < n; ++j) {
        EXPECT_NEAR(pc.ctx->yre[j], lc.ctx->yre[j], 1e-9 * scale) << j;
        EXPECT_NEAR(pc.ctx->yim[j], lc.ctx->yim[j], 1e-9 * scale) << j;
    }
}

TEST(Patterns, MeasuredPatternIsConjugateRotateTransformOfTheSpectrum) {
    const std::string dir = temp_dir();
    const std::string bin = dir + "/meas.bin";
    const int n = 64;
    std::vector<double> xr(n), xi(n);
    for (int j = 0; j < n; ++j) {  // values exact in single precision
        xr[j] = (j % 7) - 2.5 + (j == 20 ? 40.0 : 0.0);
        xi[j] = ((j * 3) % 5) * 0.25;
    }
    ASSERT_EQ(qorvane_write_complex_file(bin.c_str(), n, xr.data(), xi.data()), 0);
    CtxHolder h;
    h.ctx->n_pnts = n;
    h.ctx->trunc = n;
    h.ctx->pattrn = 1;
    std::snprintf(h.ctx->pattern_path[1], QORVANE_PATTERN_PATH_SLOT, "%s", bin.c_str());
    ASSERT_EQ(fetch_patterns(h.ctx), QORVANE_RC_OK);

    // time signal x_k = sum_m X[(m + N/2) mod N] exp(+2 pi i m k / N)
    std::vector<cd> rotated(n);
    for (int m = 0; m < n; ++m) rotated[m] = cd(xr[(m + n / 2) % n], xi[(m + n / 2) % n]);
    std::vector<cd> t = naive_dft(rotated, +1);
    const double norm = std::abs(t[0]);
    EXPECT_NEAR(h.ctx->pattern_norm[1], norm, 1e-9 * norm);
    const double *re = h.ctx->pattern_store[1];
    const double *im = re + QORVANE_PATTERN_POINTS;
    for (int k = 0; k < n; ++k) {
        EXPECT_NEAR(re[k] * norm, t[k].real(), 1e-9 * norm) << k;
        EXPECT_NEAR(im[k] * norm, t[k].imag(), 1e-9 * norm) << k;
    }
    // and back: forward FFT and N/2 rotation give N times the measured spectrum
    std::vector<double> data(2 * n);
    for (int k = 0; k < n; ++k) {
        data[2 * k] = re[k] * norm;
        data[2 * k + 1] = im[k] * norm;
    }
    four2(data.data(), nullptr, n, 1);
    for (int j = 0; j < n; ++j) {
        int src = (j + n / 2) % n;
        EXPECT_NEAR(data[2 * src] / n, xr[j], 1e-9) << j;
        EXPECT_NEAR(data[2 * src + 1] / n, xi[j], 1e-9) << j;
    }
}

TEST(Patterns, MeasuredPatternInTheModelSitsAtItsOwnPointsAndMovesWithItsAttributes) {
    const std::string dir = temp_dir();
    const std::string bin = dir + "/peaks.bin";
    const int n = 64;
    std::vector<double> xr(n, 0.0), xi(n, 0.0);
    xr[10] = 5.0;  // two peaks, one with a dispersive part, and a small baseline
    xr[41] = 2.0;
    xi[41] = -1.5;
    for (int j = 0; j < n; ++j) xr[j] += 0.125;
    ASSERT_EQ(qorvane_write_complex_file(bin.c_str(), n, xr.data(), xi.data()), 0);
    CtxHolder h;
    QorvaneFitContext *c = h.ctx;
    c->n_pnts = n;
    c->trunc = n;
    c->nLines = 0;
    c->pattrn = 1;
    std::snprintf(c->pattern_path[1], QORVANE_PATTERN_PATH_SLOT, "%s", bin.c_str());
    ASSERT_EQ(fetch_patterns(c), QORVANE_RC_OK);
    for (int j = 1; j <= 5; ++j) c->fixpar[j].type = QORVANE_LINE_PATTERN;
    // factor = norm restores the stored time signal; the halved first time point
    // s_0 = sum of the spectrum takes s_0 / 2 off every point
    cd s0 = 0.0;
    for (int j = 0; j < n; ++j) s0 += cd(xr[j], xi[j]);
    double *p = c->par_vec;
    p[1] = c->pattern_norm[1];
    par_to_signal(c, p, c->yre, c->yim);
    for (int j = 0; j < n; ++j) {
        cd want = double(n) * cd(xr[j], xi[j]) - 0.5 * s0;
        EXPECT_NEAR(c->yre[j], want.real(), 1e-9 * n) << j;
        EXPECT_NEAR(c->yim[j], want.imag(), 1e-9 * n) << j;
    }
    // a frequency difference of 3 points and a phase difference of 90 degrees
    p[2] = 3.0;
    p[4] = 90.0;
    par_to_signal(c, p, c->yre, c->yim);
    for (int j = 0; j < n; ++j) {
        const int src = (j - 3 + n) % n;
        cd want = cd(0.0, 1.0) * (double(n) * cd(xr[src], xi[src]) - 0.5 * s0);
        EXPECT_NEAR(c->yre[j], want.real(), 1e-9 * n) << j;
        EXPECT_NEAR(c->yim[j], want.imag(), 1e-9 * n) << j;
    }
}

TEST(Patterns, BadReferencesAreRefusedWithTheirExitCodes) {
    const std::string dir = temp_dir();
    struct Case {
        const char *name;
        const char *content;  // null: the file is not created
        int exit_code;
        const char *text;
    };
    const Case cases[] = {
        {"noext.txt", "start_pattern\n", -1,
         "no valid file extension\nonly .bin (binary file) or .pat (ascii file)\nare allowed \n"},
        {"missing.pat", nullptr, -1, "pattern file could not be opened"},
        {"missing.bin", nullptr, 1, "can't open"},
        {"first.pat", "begin_pattern number_of_lines 0 lorentz_width end_of_pattern\n", -1,
         "illegal pattern file-format : file starts with : start_pattern"},
        {"second.pat", "start_pattern lines 0 lorentz_width end_of_pattern\n", -1,
         "fifth expected attribute  spectral_resolution"},
        {"type.pat",
         "start_pattern number_of_lines 1 parameters name line_type area frequency gauss_width zero_phase "
         "lorentz_width X sinc 1 2 3 4 5 end_of_pattern\n",
         -1, "illegal lineshape encountered"},
        {"term.pat",
         "start_pattern number_of_lines 1 parameters name line_type area frequency gauss_width zero_phase "
         "lorentz_width X gauss 1 2 3 4 5\n",
         -1, "illegal file-terminator (end_of_pattern) \n"},
        {"short.pat",
         "start_pattern number_of_lines 2 parameters name line_type area frequency gauss_width zero_phase "
         "lorentz_width X gauss 1 2 3 4 5 end_of_pattern\n",
         -1, "illegal file-terminator (end_of_pattern)"},
    };
    for (const Case &c : cases) {
        const std::string path = dir + "/" + c.name;
        if (c.content) {
            FILE *fp = std::fopen(path.c_str(), "w");
            ASSERT_NE(fp, nullptr);
            std::fputs(c.content, fp);
            std::fclose(fp);
        }
        CtxHolder h;
        h.ctx->n_pnts = 64;
        h.ctx->pattrn = 1;
        std::snprintf(h.ctx->pattern_path[1], QORVANE_PATTERN_PATH_SLOT, "%s", path.c_str());
        testing::internal::CaptureStdout();
        int rc = fetch_patterns(h.ctx);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, QORVANE_RC_FATAL) << c.name;
        EXPECT_EQ(h.ctx->status.fatal, 1) << c.name;
        EXPECT_EQ(h.ctx->status.exit_code, c.exit_code) << c.name;
        EXPECT_NE(out.find(c.text), std::string::npos) << c.name << ": " << out;
    }
    // a pattern or line-shape function whose first time-domain point is zero
    // cannot be normalised: refused rather than divided by zero
    const std::string zero = dir + "/zero.bin";
    std::vector<double> zr(64, 0.0), zi(64, 0.0);
    ASSERT_EQ(qorvane_write_complex_file(zero.c_str(), 64, zr.data(), zi.data()), 0);
    CtxHolder z;
    z.ctx->n_pnts = 64;
    z.ctx->pattrn = 1;
    std::snprintf(z.ctx->pattern_path[1], QORVANE_PATTERN_PATH_SLOT, "%s", zero.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(fetch_patterns(z.ctx), QORVANE_RC_FATAL);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot be normalised"), std::string::npos);
    CtxHolder lsf;
    lsf.ctx->n_pnts = 64;
    lsf.ctx->lsfcfs = 2;
    lsf.ctx->lsf_start = 5;
    EXPECT_EQ(parameter_array_2_line_shape_function(lsf.ctx, lsf.ctx->par_vec), QORVANE_RC_FATAL);
    EXPECT_EQ(lsf.ctx->status.fatal, 1);

    // patterns need N <= 4096 (one 65536-byte buffer each)
    CtxHolder big;
    big.ctx->n_pnts = 8192;
    big.ctx->pattrn = 1;
    std::snprintf(big.ctx->pattern_path[1], QORVANE_PATTERN_PATH_SLOT, "%s", (dir + "/x.pat").c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(fetch_patterns(big.ctx), QORVANE_RC_FATAL);
    testing::internal::GetCapturedStdout();
}

// The analytic derivatives of a line's unit-area spectrum agree with central differences
// of the model itself, for every line type, with an acquisition delay, ignored points and
// truncation; the unit spectrum times the area is the line's spectrum.
TEST(LineDerivatives, AgreeWithCentralDifferencesOfTheModel) {
    struct Case {
        const char *name;
        int type;
        double f, w1, ph, w2;
        double phi1;
        int ignore, trunc;
    };
    const Case cases[] = {
        {"Voigt", 3, 40.3, 5.0, 20.0, 3.0, 0.0, 0, 128},
        {"Voigt with delay and ignored points", 3, 52.7, 4.0, -30.0, 2.5, 90.0, 2, 128},
        {"Gaussian", 1, 61.2, 6.0, 10.0, 0.0, 45.0, 0, 128},
        {"Lorentzian", 2, 70.9, 3.0, -5.0, 0.0, 45.0, 1, 128},
        {"negative widths, truncated", 3, 33.1, -4.0, 0.0, -2.0, 0.0, 0, 48},
    };
    const int n = 128;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CtxHolder h;
        QorvaneFitContext *ctx = h.ctx;
        one_line(ctx, n, c.type, 2.5, c.f, c.w1, c.ph, c.w2);
        ctx->phi_1 = c.phi1;
        ctx->ignore = c.ignore;
        ctx->trunc = c.trunc;
        ASSERT_EQ(qorvane_twiddle_prepare(&ctx->twiddles, n), 0);
        std::vector<double> work(8 * n), ur(n), ui(n), dre(3 * n), dim(3 * n), yr(n), yi(n), pr(n), pi(n), mr(n), mi(n);
        double *dr[3] = {&dre[0], &dre[n], &dre[2 * n]};
        double *di[3] = {&dim[0], &dim[n], &dim[2 * n]};
        single_line_with_derivatives(ctx, ctx->par_vec, 1, 7, work.data(), ur.data(), ui.data(), dr, di);
        single_line_to_signal(ctx, ctx->par_vec, yr.data(), yi.data(), 1);
        const double scale = max_abs(yr.data(), n) + max_abs(yi.data(), n);
        for (int k = 0; k < n; ++k) {
            EXPECT_NEAR(2.5 * ur[k], yr[k], 1e-12 * scale);
            EXPECT_NEAR(2.5 * ui[k], yi[k], 1e-12 * scale);
        }
        const int index[3] = {2, 3, 5};
        for (int q = 0; q < 3; ++q) {
            double *p = ctx->par_vec;
            const double keep = p[index[q]], step = 1e-5;
            p[index[q]] = keep + step;
            single_line_to_signal(ctx, p, pr.data(), pi.data(), 1);
            p[index[q]] = keep - step;
            single_line_to_signal(ctx, p, mr.data(), mi.data(), 1);
            p[index[q]] = keep;
            const bool used = !(q == 2 && c.type != 3);
            double worst = 0.0, size = 0.0;
            for (int k = 0; k < n; ++k) {
                const double nr = (pr[k] - mr[k]) / (2 * step), ni = (pi[k] - mi[k]) / (2 * step);
                worst = std::max(worst, std::fabs(2.5 * dr[q][k] - nr) + std::fabs(2.5 * di[q][k] - ni));
                size = std::max(size, std::fabs(nr) + std::fabs(ni));
            }
            if (used) {
                EXPECT_GT(size, 1e-3 * scale) << "parameter " << index[q];
                EXPECT_LT(worst, 1e-6 * size) << "parameter " << index[q];
            } else {
                EXPECT_EQ(worst, 0.0) << "an unused width has a zero derivative";
            }
        }
    }
}
