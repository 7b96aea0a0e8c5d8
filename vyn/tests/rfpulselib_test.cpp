// RF pulse shapes driven through their console dialogues, each checked
// against its closed form at a few samples, and the optimiser start pulse.
#include "rfpulselib.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <string>
#include <vector>

#include "rfpulseparam.h"
#include "vyn_test_support.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kSentinel = 777.0;

double deg(double d) { return d * kPi / 180.0; }

// Closed forms, written independently of the library's expressions.
std::complex<double> sech_tanh(double t, double phase_deg, double w, double b, double u) {
    const double S = 1.0 / std::cosh(b * t);
    return 2 * kPi * w * S * std::polar(1.0, 2 * kPi * u * std::log(S) + deg(phase_deg));
}
double sinc(double z) { return z == 0 ? 1.0 : std::sin(z) / z; }
std::complex<double> offcentre(int k, int ap, double h, const double* p) {  // p: a A B n dx dy x0 y0
    const double T = ap * h, t = k * h, r = 1 - t / T;
    std::complex<double> kv = p[2] * r * std::polar(1.0, 2 * kPi * p[3] * t / T);
    double kx = kv.real() == 0 ? 1e-5 : kv.real(), ky = kv.imag() == 0 ? 1e-5 : kv.imag();
    const double M = p[0] * p[1] * sinc(kx * p[4] / 2) * sinc(ky * p[5] / 2) * std::hypot(2 * kPi * p[3] * r, 1.0) / T;
    return M * std::exp(std::complex<double>(0, kx * p[6] + ky * p[7]));
}

struct Sample {
    int k;
    double x, y;
};

using Dialogue = std::function<void(int* ap, double* ti, double* xb, double* yb)>;

struct ShapeCase {
    const char* name;
    Dialogue run;
    int ap;
    double ti;
    std::string input;
    int written;  // samples 0..written-1 may change; the rest keep the sentinel
    std::vector<Sample> expect;
    const char* shown;  // a text the dialogue prints
    int ap_after;
    double ti_after;
};

Dialogue am() {
    return [](int* ap, double* ti, double* x, double* y) { AMPulseDefinition(ap, ti, x, y); };
}
Dialogue fm() {
    return [](int* ap, double* ti, double* x, double* y) { FMPulseDefinition(ap, ti, x, y); };
}
Dialogue hard() { return AMHardPulseDefinition; }

const double kOff1[8] = {1.0, 2.0, 3.0, 1.0, 0.5, 0.7, 0.2, -0.4};
const double kOff2[8] = {0.5, 1.5, 2.0, 2.0, 0.3, 0.9, -0.1, 0.6};
const std::string kOff1Text = "1\n2\n3\n1\n0.5\n0.7\n0.2\n-0.4\n";
const std::string kOff2Text = "0.5\n1.5\n2\n2\n0.3\n0.9\n-0.1\n0.6\n";

std::vector<ShapeCase> shape_cases(const std::string& parfile) {
    const double ti = 1e-4;
    std::vector<ShapeCase> c;
    c.push_back({"hard 180 y (choice 6)", hard(), 7, 0.3, "6\n", 1, {{0, 0.0, 100000 * kPi}}, "(pi) (y')", 1, 1e-5});
    c.push_back({"hard 90 -x (choice 3)", hard(), 7, 0.3, "3\n", 1, {{0, -50000 * kPi, 0.0}}, "(pi/2) (-x')", 1, 1e-5});
    c.push_back({"hard unknown choice", hard(), 7, 0.3, "9\n", 0, {}, "Your choice is [1..8] : ", 7, 1e-5});
    c.push_back({"rectangular, nan asked again",
                 am(),
                 6,
                 ti,
                 "1\nnan\n30\n100\n",
                 6,
                 {{0, 200 * kPi * std::cos(deg(30)), 200 * kPi * std::sin(deg(30))},
                  {5, 200 * kPi * std::cos(deg(30)), 200 * kPi * std::sin(deg(30))}},
                 "Please enter a numeric value.",
                 6,
                 ti});
    {
        const double q = kPi / 2, f = 1000, b = 2000;
        auto sg = [&](int k) {
            const double t = ti * (k - 4);
            return q * std::sin(2 * kPi * f * t) * std::exp(-b * b * t * t) / (kPi * t);
        };
        c.push_back({"sinc-Gauss, finite centre",
                     am(),
                     8,
                     ti,
                     "2\n90\n1.5707963267948966\n1000\n2000\n",
                     8,
                     {{4, 0.0, 2 * q * f}, {1, 0.0, sg(1)}, {7, 0.0, sg(7)}},
                     "q*sin(2*pi*f*t)",
                     8,
                     ti});
    }
    {
        auto g = [&](int k) {
            const double u = std::pow(1 - k / 8.0, 2);
            return 2 * 3 * std::exp(-0.25 * u) * std::sqrt(std::pow(2 * kPi * 1.5 * (1 - k / 8.0), 2) + 1) / 8e-4;
        };
        c.push_back({"2D Gauss",
                     am(),
                     8,
                     ti,
                     "3\n2\n3\n0.5\n1.5\n",
                     8,
                     {{0, g(0), 0}, {5, g(5), 0}},
                     "2D - GauB pulse",
                     8,
                     ti});
    }
    {
        const double p[8] = {2, 3, 4, 1, 0.8, 0.6, 0, 0};
        c.push_back({"2D sinc at the centre",
                     am(),
                     8,
                     ti,
                     "4\n2\n3\n4\n1\n0.8\n0.6\n",
                     8,
                     {{0, offcentre(0, 8, ti, p).real(), 0}, {3, offcentre(3, 8, ti, p).real(), 0}},
                     "bx(t) = (a.A/T)*sinc(kx(t).dx/2)*sinc(ky(t).dy/2).f(t)",
                     8,
                     ti});
    }
    c.push_back({"AM unknown choice", am(), 8, ti, "5\n", 0, {}, "Your Choice is [1..4] : ", 8, ti});
    c.push_back(
        {"end of input before the last answer", am(), 8, ti, "2\n0\n1\n", 0, {}, " f (pulse bandwidth)", 8, ti});
    {
        auto s = [&](double t) { return sech_tanh(t, 20, 500, 3000, 2); };
        c.push_back({"sech-tanh 180",
                     fm(),
                     8,
                     ti,
                     "1\n20\n500\n3000\n2\n",
                     8,
                     {{0, s(-4 * ti).real(), s(-4 * ti).imag()}, {4, s(0).real(), s(0).imag()}},
                     " 180 degree FM sech-tanh pulse (-T,T) :",
                     8,
                     ti});
        c.push_back({"sech-tanh 90 ends before the peak",
                     fm(),
                     4,
                     ti,
                     "2\n20\n500\n3000\n2\n",
                     4,
                     {{0, s(-4 * ti).real(), s(-4 * ti).imag()}, {3, s(-ti).real(), s(-ti).imag()}},
                     " 90 degree FM sech-tanh pulse (-T,0) :",
                     4,
                     ti});
        // ap = 5: p = 2 samples at t = ti (k - 1)/2, repeated once; sample 4 untouched.
        c.push_back({"sech-tanh 360, odd ap",
                     fm(),
                     5,
                     ti,
                     "3\n20\n500\n3000\n2\n",
                     4,
                     {{0, s(-ti / 2).real(), s(-ti / 2).imag()},
                      {1, s(0).real(), s(0).imag()},
                      {2, s(-ti / 2).real(), s(-ti / 2).imag()},
                      {3, s(0).real(), s(0).imag()}},
                     " 360 degree FM sech-tanh pulse 2*(-T,T) :",
                     5,
                     ti});
        // Far in the tail sech(b t) underflows: the sample is 0, not nan.
        c.push_back({"sech-tanh deep tail",
                     fm(),
                     8,
                     ti,
                     "1\n0\n500\n1e7\n2\n",
                     8,
                     {{0, 0, 0}, {4, 1000 * kPi, 0}},
                     " u (selectivity constant) : ",
                     8,
                     ti});
    }
    {
        auto o1 = [&](int k) { return offcentre(k, 8, ti, kOff1); };
        auto o2 = [&](int k) { return offcentre(k, 8, ti, kOff2); };
        c.push_back({"off-centre 2D sinc",
                     fm(),
                     8,
                     ti,
                     "4\n" + kOff1Text,
                     8,
                     {{0, o1(0).real(), o1(0).imag()}, {6, o1(6).real(), o1(6).imag()}},
                     "with a shifted centre from (0,0) to (x0,y0)",
                     8,
                     ti});
        const auto s2 = o1(2) + o2(2), s7 = o1(7) + o2(7);
        c.push_back({"sum of two off-centre sincs",
                     fm(),
                     8,
                     ti,
                     "5\n1\n" + kOff1Text + "1\n" + kOff2Text + "2\n",
                     8,
                     {{2, s2.real(), s2.imag()}, {7, s7.real(), s7.imag()}},
                     "    1. Add new 2D pulse",
                     8,
                     ti});
        c.push_back({"parameter file with a terminator line",
                     fm(),
                     8,
                     ti,
                     "6\n" + parfile + "\n",
                     8,
                     {{2, o1(2).real(), o1(2).imag()}, {5, o1(5).real(), o1(5).imag()}},
                     "** using pulse parameters read from a text file             **",
                     8,
                     ti});
        c.push_back({"missing parameter file",
                     fm(),
                     8,
                     ti,
                     "6\n" + parfile + ".none\n",
                     8,
                     {{3, 0, 0}},
                     "fopen(parameter file): No such file or directory",
                     8,
                     ti});
    }
    return c;
}

double xb[VYN_MAX_RF_POINTS], yb[VYN_MAX_RF_POINTS];

TEST(RfPulseShapes, DialoguesMatchClosedForms) {
    vyntest::InstallTree tree;
    const std::string parfile = tree.path("components.txt");
    // Second line starts with a = 0: it ends the list, the third line is never read.
    vyntest::write_file(parfile, "1 2 3 1 0.5 0.7 0.2 -0.4\n0 1 1 1 1 1 1 1\n0.5 1.5 2 2 0.3 0.9 -0.1 0.6\n");
    for (const ShapeCase& c : shape_cases(parfile)) {
        SCOPED_TRACE(c.name);
        for (int k = 0; k < 16; ++k) xb[k] = yb[k] = kSentinel;
        int ap = c.ap;
        double ti = c.ti;
        std::string out;
        {
            vyntest::StdinFeed in(c.input);
            vyntest::Capture o(1), e(2);
            c.run(&ap, &ti, xb, yb);
            out = e.finish() + o.finish();
        }
        EXPECT_NE(out.find(c.shown), std::string::npos) << out;
        EXPECT_EQ(ap, c.ap_after);
        EXPECT_EQ(ti, c.ti_after);
        for (const Sample& s : c.expect) {
            const double tol = 1e-9 * (1.0 + std::fabs(s.x) + std::fabs(s.y));
            EXPECT_NEAR(xb[s.k], s.x, tol) << "xb[" << s.k << "]";
            EXPECT_NEAR(yb[s.k], s.y, tol) << "yb[" << s.k << "]";
        }
        for (int k = c.written; k < 16; ++k) {
            EXPECT_EQ(xb[k], kSentinel) << "xb[" << k << "] changed";
            EXPECT_EQ(yb[k], kSentinel) << "yb[" << k << "] changed";
        }
    }
}

TEST(RfPulseShapes, ClampAndMissingPointers) {
    std::string err;
    {
        vyntest::Capture e(2);
        EXPECT_EQ(clamp_ap(10000), 8192);
        EXPECT_EQ(clamp_ap(-3), 0);
        EXPECT_EQ(clamp_ap(0), 0);
        EXPECT_EQ(clamp_ap(8192), 8192);
        err = e.finish();
    }
    EXPECT_EQ(err, "WARNING: ap=10000 exceeds VYN_MAX_RF_POINTS=8192; clamping.\n");
    // A missing pointer or an oversized count: nothing read, nothing written.
    int ap = 9000;
    double ti = 1e-4;
    xb[0] = kSentinel;
    vyntest::StdinFeed in("1\n0\n100\n");
    vyntest::Capture o(1);
    AMPulseDefinition(&ap, &ti, xb, yb);
    AMPulseDefinition(nullptr, &ti, xb, yb);
    EXPECT_EQ(o.finish(), "");
    EXPECT_EQ(xb[0], kSentinel);
}

struct StartCase {
    const char* name;
    int ap;
    double h;
    int npar;
    std::string input;
    int result;
    const char* shown;
    double phase_deg;  // direction of the flip angle
    double flip_deg;   // expected flip along it; 0: not checked
    double peak_hz;    // expected peak |B1|; 0: not checked
};

TEST(RfPulseShapes, OptimizationStartPulse) {
    const std::vector<StartCase> cases = {
        {"one mode: constant pulse", 8, 1e-5, 4, "1e6\n90\n30\n", 1, "  retained modes/ch    = 1\n", 30, 90,
         90.0 / 360.0 / 8e-5},
        {"amplitude limit clips", 8, 1e-5, 4, "1000\n90\n30\n", 1, "  NOTE: start pulse was rescaled", 30, 28.8, 1000},
        {"tapered modes", 64, 1e-5, 40, "1e6\n45\n0\n", 1, "  actual flip angle    = 45 deg\n", 0, 45, 0},
        {"grid of one sample", 1, 1e-5, 8, "", 0, "FixedGridInteractive: invalid ap/h\n", 0, 0, 0},
        {"npar unset", 8, 1e-5, 0, "", 0, "FixedGridInteractive: npar not initialized\n", 0, 0, 0},
        {"no usable mode", 2, 1e-5, 8, "1e6\n90\n0\n", 0, "StartPulse: no usable Fourier modes\n", 0, 0, 0},
        {"non-positive flip", 8, 1e-5, 8, "1e6\n0\n0\n", 0, "invalid RF amplitude or flip angle\n", 0, 0, 0},
        {"grid not a power of two", 12, 1e-5, 8, "1e6\n90\n0\n", 0, "StartPulse: invalid ap/h/npar\n", 0, 0, 0},
        {"end of input", 8, 1e-5, 8, "1e6\n", 0, "Target flip angle", 0, 0, 0},
    };
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (int k = 0; k < 80; ++k) xb[k] = yb[k] = kSentinel;
        std::string out;
        int r;
        {
            vyntest::StdinFeed in(c.input);
            vyntest::Capture o(1), e(2);
            r = GenerateOptimizationStartPulseFixedGridInteractive(c.ap, c.h, xb, yb, c.npar);
            out = e.finish() + o.finish();
        }
        EXPECT_EQ(r, c.result);
        EXPECT_NE(out.find(c.shown), std::string::npos) << out;
        EXPECT_EQ(xb[c.ap], kSentinel);  // nothing beyond the grid
        if (r == 0) {
            EXPECT_EQ(xb[0], kSentinel);
            continue;
        }
        double flip = 0, peak = 0;
        for (int k = 0; k < c.ap; ++k) {
            flip += (xb[k] * std::cos(deg(c.phase_deg)) + yb[k] * std::sin(deg(c.phase_deg))) * c.h;
            // no component across the phase direction
            EXPECT_NEAR(-xb[k] * std::sin(deg(c.phase_deg)) + yb[k] * std::cos(deg(c.phase_deg)), 0.0, 1e-6);
            peak = std::max(peak, std::hypot(xb[k], yb[k]));
        }
        // A clipped pulse keeps its shape: its flip shrinks by limit/peak.
        if (c.flip_deg > 0) {
            EXPECT_NEAR(flip, deg(c.flip_deg), 1e-9);
        }
        if (c.peak_hz > 0) {
            EXPECT_NEAR(peak, 2 * kPi * c.peak_hz, 1e-9 * peak);
        }
        if (c.npar == 4) {  // DC only: every sample equals the peak
            for (int k = 0; k < c.ap; ++k) EXPECT_NEAR(std::hypot(xb[k], yb[k]), peak, 1e-9 * peak);
        } else {  // a real, symmetric spectrum: the pulse is symmetric about ap/2 and peaks there
            const int h = c.ap / 2;
            for (int m = 1; m < h; ++m) EXPECT_NEAR(xb[h + m], xb[h - m], 1e-9 * peak);
            EXPECT_NEAR(xb[h], peak, 1e-9 * peak);
        }
    }
}

}  // namespace
