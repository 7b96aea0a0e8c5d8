// Pulse parameter arrays against closed-form Fourier coefficients, waveform
// files on disk, pulse CSV and plot script, and the gnuplot start without a
// shell.
#include "rfpulseparam.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "binaryfilehandling.h"
#include "datafiles_test_util.h"
#include "rfpulseplot.h"

namespace {

const double kPi = 3.14159265358979323846;

using datafiles_test::feed_stdin;
using datafiles_test::slurp;
using datafiles_test::slurp_text;
using RfPulseFiles = datafiles_test::TempDirTest;

// Sample k of a harmonic of order m, with time measured from index ap/2.
double cosm(int k, int m, int ap) { return std::cos(2.0 * kPi * m * (k - ap / 2) / ap); }
double sinm(int k, int m, int ap) { return std::sin(2.0 * kPi * m * (k - ap / 2) / ap); }

double xs[VYN_MAX_RF_POINTS], ys[VYN_MAX_RF_POINTS], xr[VYN_MAX_RF_POINTS], yr[VYN_MAX_RF_POINTS];

}  // namespace

TEST(RfPulseParam, ModeCount) {
    EXPECT_EQ(rfpulseparam_max_modes(8, 64), 2);
    EXPECT_EQ(rfpulseparam_max_modes(160, 8), 3);
    EXPECT_EQ(rfpulseparam_max_modes(160, 2), 0);
    EXPECT_EQ(rfpulseparam_max_modes(3, 64), 0);
    EXPECT_EQ(rfpulseparam_max_modes(160, 1), 0);
    EXPECT_EQ(rfpulseparam_max_modes(0, 0), 0);
    EXPECT_EQ(rfpulseparam_max_modes(160, 8192), 40);
}

TEST(RfPulseParam, AnalysisGivesClosedFormCoefficients) {
    // x = a + b cos(w t) + c sin(w t) + e sin(2 w t) with w the base harmonic:
    // forward coefficients (e^{+i...} convention) at +1: N/2 (b + i c), at +2: i N/2 e.
    const int ap = 64, npar = 12;  // 3 modes per channel
    const double a = 0.7, b = -1.3, c = 2.1, e = 0.4, f = 5.0;
    for (int k = 0; k < ap; ++k) {
        xs[k] = a + b * cosm(k, 1, ap) + c * sinm(k, 1, ap) + e * sinm(k, 2, ap);
        ys[k] = f * cosm(k, 2, ap);
    }
    double par[npar];
    for (double& p : par) p = 123.0;
    RFPulseToParArray(npar, ap, xs, ys, par);
    const double half = ap / 2.0;
    const double expect[npar] = {ap * a, half * c, half * b, half * e, 0.0,      0.0,  // x: modes 0..2
                                 0.0,    0.0,      0.0,      0.0,      half * f, 0.0};
    for (int i = 0; i < npar; ++i) EXPECT_NEAR(par[i], expect[i], 1e-10) << "entry " << i;
}

TEST(RfPulseParam, KeepingSynthesisInvertsAnalysis) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1e4, 1e4);
    for (int ap : {4, 64, 1024}) {
        for (int k = 0; k < ap; ++k) {
            xs[k] = xr[k] = u(rng);
            ys[k] = yr[k] = u(rng);
        }
        const int npar = 40;
        double par[npar];
        RFPulseToParArray(npar, ap, xs, ys, par);
        ParArrayToRFPulse(npar, ap, par, xr, yr);
        for (int k = 0; k < ap; ++k) {
            ASSERT_NEAR(xr[k], xs[k], 1e-8) << "ap=" << ap << " k=" << k;
            ASSERT_NEAR(yr[k], ys[k], 1e-8) << "ap=" << ap << " k=" << k;
        }
        // Changing one parameter changes exactly that harmonic.
        par[2] += ap / 2.0;  // x channel, real part at +1: adds cos(w t)
        ParArrayToRFPulse(npar, ap, par, xr, yr);
        if (rfpulseparam_max_modes(npar, ap) >= 2) {
            for (int k = 0; k < ap; ++k) ASSERT_NEAR(xr[k], xs[k] + cosm(k, 1, ap), 1e-8);
        }
    }
}

TEST(RfPulseParam, ZeroStartSynthesisKeepsListedModesOnly) {
    const int ap = 32, npar = 8;  // 2 modes: DC, re(+1), im(+1), im(+2)
    for (int k = 0; k < ap; ++k) {
        xs[k] = 2.0 + 3.0 * sinm(k, 2, ap) + 4.0 * cosm(k, 5, ap);  // harmonic 5 is not listed
        ys[k] = -1.0 * cosm(k, 1, ap);
    }
    double par[npar];
    RFPulseToParArray(npar, ap, xs, ys, par);
    ParArrayToRFPulseLowMode(npar, ap, par, xr, yr);
    for (int k = 0; k < ap; ++k) {
        EXPECT_NEAR(xr[k], 2.0 + 3.0 * sinm(k, 2, ap), 1e-12) << k;
        EXPECT_NEAR(yr[k], -cosm(k, 1, ap), 1e-12) << k;
    }

    // Random modes -> samples -> modes is the identity on the listed entries.
    std::mt19937 rng(9);
    std::uniform_real_distribution<double> u(-10, 10);
    const int ap2 = 256, npar2 = 160;
    double p_in[npar2], p_out[npar2];
    const int nm = rfpulseparam_max_modes(npar2, ap2);
    for (int i = 0; i < npar2; ++i) p_in[i] = (i % (npar2 / 2)) < 2 * nm ? u(rng) : 0.0;  // listed entries only
    ParArrayToRFPulseLowMode(npar2, ap2, p_in, xr, yr);
    RFPulseToParArray(npar2, ap2, xr, yr, p_out);
    for (int i = 0; i < npar2; ++i) EXPECT_NEAR(p_out[i], p_in[i], 1e-9) << i;
}

TEST(RfPulseParam, ConstantPulseAndDegenerateSizes) {
    const int ap = 16, npar = 8;
    for (int k = 0; k < ap; ++k) {
        xs[k] = xr[k] = 1500.0;
        ys[k] = yr[k] = -250.0;
    }
    double par[npar];
    RFPulseToParArray(npar, ap, xs, ys, par);
    EXPECT_NEAR(par[0], ap * 1500.0, 1e-9);
    EXPECT_NEAR(par[4], ap * -250.0, 1e-9);
    ParArrayToRFPulse(npar, ap, par, xr, yr);
    ParArrayToRFPulseLowMode(npar, ap, par, xs, ys);
    for (int k = 0; k < ap; ++k) {
        EXPECT_NEAR(xr[k], 1500.0, 1e-9);
        EXPECT_NEAR(yr[k], -250.0, 1e-9);
        EXPECT_NEAR(xs[k], 1500.0, 1e-9);
        EXPECT_NEAR(ys[k], -250.0, 1e-9);
    }

    // ap = 2: no modes; analysis clears, zero-start synthesis gives zeros.
    double p2[4] = {1, 2, 3, 4};
    double x2[2] = {5, 6}, y2[2] = {7, 8};
    RFPulseToParArray(4, 2, x2, y2, p2);
    for (double v : p2) EXPECT_EQ(v, 0.0);
    ParArrayToRFPulseLowMode(4, 2, p2, x2, y2);
    EXPECT_EQ(x2[0], 0.0);
    EXPECT_EQ(y2[1], 0.0);

    // Refused sizes leave everything untouched.
    double p3[4] = {1, 2, 3, 4};
    double x3[6] = {1, 2, 3, 4, 5, 6}, y3[6] = {6, 5, 4, 3, 2, 1};
    RFPulseToParArray(4, 6, x3, y3, p3);  // not a power of two
    EXPECT_EQ(p3[0], 1.0);
    ParArrayToRFPulse(4, 6, p3, x3, y3);
    ParArrayToRFPulseLowMode(0, 4, p3, x3, y3);  // npar < 1
    RFPulseToParArray(4, 1, x3, y3, p3);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(x3[k], k + 1.0);
        EXPECT_EQ(y3[k], 6.0 - k);
    }
    EXPECT_EQ(p3[3], 4.0);
}

TEST_F(RfPulseFiles, WaveformFilesLayoutAndRoundTrip) {
    const int ap = 256;
    static double g[3][VYN_MAX_RF_POINTS];
    for (int k = 0; k < ap; ++k) {
        xs[k] = 1000.0 + k;
        ys[k] = -0.5 * k;
        g[0][k] = k * 1e-3;
        g[1][k] = -k * 1e-3;
        g[2][k] = 42.0;
    }
    ASSERT_TRUE(BinArrayOut2D(ap, xs, ys, path("w2d.bin").c_str()));
    ASSERT_TRUE(BinArrayOut(&ap, xs, ys, g[0], g[1], g[2], path("w3d.bin").c_str()));
    const auto b2 = slurp(path("w2d.bin"));
    const auto b3 = slurp(path("w3d.bin"));
    ASSERT_EQ(b2.size(), 4096u);
    ASSERT_EQ(b3.size(), 10240u);
    // First value 1000.0 = 0x408F400000000000, little-endian; yb starts at byte 8*ap.
    const std::vector<unsigned char> thousand = {0, 0, 0, 0, 0, 0x40, 0x8F, 0x40};
    EXPECT_EQ(std::vector<unsigned char>(b2.begin(), b2.begin() + 8), thousand);
    double y1;
    binfh_decode_doubles_le(&b2[8 * ap + 8], 1, &y1);
    EXPECT_EQ(y1, -0.5);
    double gz0;
    binfh_decode_doubles_le(&b3[8 * 4 * ap], 1, &gz0);
    EXPECT_EQ(gz0, 42.0);

    static double r[5][VYN_MAX_RF_POINTS];
    ASSERT_TRUE(BinArrayIn(ap, r[0], r[1], r[2], r[3], r[4], path("w3d.bin").c_str()));
    for (int k = 0; k < ap; ++k) {
        ASSERT_EQ(r[0][k], xs[k]);
        ASSERT_EQ(r[1][k], ys[k]);
        ASSERT_EQ(r[3][k], g[1][k]);
        ASSERT_EQ(r[4][k], 42.0);
    }
    ASSERT_TRUE(BinArrayIn2D(ap, xr, yr, path("w2d.bin").c_str()));
    for (int k = 0; k < ap; ++k) ASSERT_EQ(yr[k], ys[k]);

    // A short file is unusable and leaves the arrays unchanged.
    ASSERT_EQ(truncate(path("w2d.bin").c_str(), 4096 - 8), 0);
    for (int k = 0; k < ap; ++k) xr[k] = yr[k] = -9.0;
    EXPECT_FALSE(BinArrayIn2D(ap, xr, yr, path("w2d.bin").c_str()));
    for (int k = 0; k < ap; ++k) ASSERT_EQ(xr[k], -9.0);
    EXPECT_FALSE(BinArrayIn(ap, r[0], r[1], r[2], r[3], r[4], path("w2d.bin").c_str()));
    EXPECT_FALSE(BinArrayIn2D(ap, xr, yr, path("missing.bin").c_str()));

    // Out-of-range counts write nothing.
    const int big = VYN_MAX_RF_POINTS + 1;
    EXPECT_FALSE(BinArrayOut2D(0, xs, ys, path("zero.bin").c_str()));
    EXPECT_FALSE(BinArrayOut(&big, xs, ys, g[0], g[1], g[2], path("big.bin").c_str()));
    EXPECT_FALSE(BinArrayOut2D(4, xs, ys, path("no/dir.bin").c_str()));
    EXPECT_NE(access(path("zero.bin").c_str(), F_OK), 0);
    EXPECT_NE(access(path("big.bin").c_str(), F_OK), 0);
}

TEST(RfPulseParam, DefaultWaveformNames) {
    char buf[64];
    ASSERT_TRUE(rfpulseparam_default_waveform_name(buf, sizeof buf, "noe", 3, true));
    EXPECT_STREQ(buf, "noe_s03.bin");
    ASSERT_TRUE(rfpulseparam_default_waveform_name(buf, sizeof buf, "noe", 12, false));
    EXPECT_STREQ(buf, "noe_2d_s12.bin");
    ASSERT_TRUE(rfpulseparam_default_waveform_name(buf, sizeof buf, "", 7, true));
    EXPECT_STREQ(buf, "sector-07.bin");
    ASSERT_TRUE(rfpulseparam_default_waveform_name(buf, sizeof buf, nullptr, 20, false));
    EXPECT_STREQ(buf, "sector2d-20.bin");
    char tiny[8];
    EXPECT_FALSE(rfpulseparam_default_waveform_name(tiny, sizeof tiny, "longname", 1, true));
}

TEST_F(RfPulseFiles, PulseCsvPhaseAndMagnitude) {
    // Samples: +x, +y, zero, zero, -y, zero.
    const double x[6] = {3.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    const double y[6] = {0.0, 2.0, 0.0, 0.0, -5.0, 0.0};
    const double h = 1e-5;
    ASSERT_TRUE(WritePulseCSV(path("p.csv").c_str(), 6, h, x, y));
    FILE* f = std::fopen(path("p.csv").c_str(), "r");
    char line[256];
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "# t[s], B1x[Hz], B1y[Hz], |B1|, phase[rad]\n");
    const double expect_phase[6] = {0.0, kPi / 2, kPi / 2, kPi / 2, 1.5 * kPi, 1.5 * kPi};
    for (int k = 0; k < 6; ++k) {
        double t, bx, by, m, ph;
        ASSERT_EQ(std::fscanf(f, "%lf, %lf, %lf, %lf, %lf", &t, &bx, &by, &m, &ph), 5) << k;
        EXPECT_NEAR(t, k * h, 1e-12);
        EXPECT_EQ(bx, x[k]);
        EXPECT_EQ(by, y[k]);
        EXPECT_NEAR(m, std::hypot(x[k], y[k]), 1e-5);
        EXPECT_NEAR(ph, expect_phase[k], 1e-5) << k;
        EXPECT_GE(ph, 0.0);
        EXPECT_LT(ph, 2 * kPi);
    }
    std::fclose(f);

    // Zero before the first defined sample gives phase 0.
    const double z[2] = {0.0, 0.0}, w[2] = {0.0, -1.0};
    ASSERT_TRUE(WritePulseCSV(path("z.csv").c_str(), 2, h, z, w));
    const std::string txt = slurp_text(path("z.csv"));
    EXPECT_NE(txt.find("\n0, 0, 0, 0, 0\n"), std::string::npos) << txt;

    EXPECT_FALSE(WritePulseCSV(path("no/dir.csv").c_str(), 2, h, z, w));
}

TEST_F(RfPulseFiles, PlotScriptTextAndQuoting) {
    ASSERT_TRUE(WriteGnuplotPulseScript(path("p.gp").c_str(), "pulse.csv"));
    const std::string expect =
        "set title 'Optimized RF Pulse'\nset xlabel 'Time (s)'\nset ylabel 'Amplitude / Phase'\nset grid\n"
        "set key left top\n\nplot \\\n"
        "  'pulse.csv' using 1:2 with lines title 'B1x', \\\n"
        "  'pulse.csv' using 1:3 with lines title 'B1y', \\\n"
        "  'pulse.csv' using 1:4 with lines title '|B1|', \\\n"
        "  'pulse.csv' using 1:5 with lines title 'phase'\n\npause -1\n";
    EXPECT_EQ(slurp_text(path("p.gp")), expect);

    // A quote in the name is doubled so it cannot close the string.
    ASSERT_TRUE(WriteGnuplotPulseScript(path("q.gp").c_str(), "a'; system('x"));
    const std::string q = slurp_text(path("q.gp"));
    EXPECT_NE(q.find("  'a''; system(''x' using 1:2"), std::string::npos) << q;
    EXPECT_FALSE(WriteGnuplotPulseScript(path("no/dir.gp").c_str(), "x"));
}

TEST_F(RfPulseFiles, GnuplotStartsWithoutShellOrHintsWhenMissing) {
    const std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ASSERT_EQ(mkdir(path("bin").c_str(), 0700), 0);
    // Stand-in gnuplot: records its arguments, one per line, and its stdin.
    const std::string fake = path("bin/gnuplot");
    FILE* f = std::fopen(fake.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f,
                 "#!/bin/sh\nfor a in \"$@\"; do printf '%%s\\n' \"$a\"; done > '%s/args.tmp'\n"
                 "/bin/cat > '%s/stdin.txt'\n/bin/mv '%s/args.tmp' '%s/args.txt'\n",
                 dir.c_str(), dir.c_str(), dir.c_str(), dir.c_str());
    std::fclose(f);
    ASSERT_EQ(chmod(fake.c_str(), 0700), 0);

    // An empty PATH entry must not be needed: use the bin dir only.
    setenv("PATH", path("bin").c_str(), 1);
    char found[4096];
    ASSERT_TRUE(rfpulseplot_find_on_path("gnuplot", found, sizeof found));
    EXPECT_EQ(std::string(found), fake);

    const std::string script = path("my plot; echo $(id) `x` & \"q\".gp");
    feed_stdin(path("console"), "CONSOLE INPUT\n");  // must not reach the plotter
    const pid_t pid = rfpulseplot_start_gnuplot_pid(script.c_str());
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(slurp_text(path("args.txt")), "-persist\n" + script + "\n");
    EXPECT_EQ(slurp_text(path("stdin.txt")), "");  // stdin is /dev/null, not the console

    // Not on PATH: no process, a hint instead.
    setenv("PATH", path("nowhere").c_str(), 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(rfpulseplot_start_gnuplot_pid("x.gp"), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("gnuplot -persist x.gp"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);

    // A non-executable file named gnuplot does not count.
    ASSERT_EQ(chmod(fake.c_str(), 0600), 0);
    setenv("PATH", path("bin").c_str(), 1);
    EXPECT_FALSE(rfpulseplot_find_on_path("gnuplot", found, sizeof found));
    setenv("PATH", saved_path.c_str(), 1);
}

TEST_F(RfPulseFiles, ExportDialogueWritesCsvAndScript) {
    const std::string saved_path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", path("nowhere").c_str(), 1);  // plotting itself is not under test here
    const double x[4] = {1, 2, 3, 4}, y[4] = {0, 0, 0, 0};
    feed_stdin(path("in"), path("out.csv") + "\n");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(rfpulseplot_export_pulse_interactive(4, 0.5, x, y));  // false: no gnuplot to start
    const std::string out = testing::internal::GetCapturedStdout();
    setenv("PATH", saved_path.c_str(), 1);
    EXPECT_NE(out.find("RF pulse written to '" + path("out.csv") + "'"), std::string::npos) << out;
    EXPECT_EQ(slurp_text(path("out.csv")).substr(0, 10), "# t[s], B1");
    EXPECT_NE(slurp_text(path("out.csv.gp")).find("'" + path("out.csv") + "' using 1:5"), std::string::npos);

    feed_stdin(path("in2"), "");
    EXPECT_FALSE(rfpulseplot_export_pulse_interactive(4, 0.5, x, y));
}

TEST_F(RfPulseFiles, ReadBxByPulseAppliesFactor) {
    {
        FILE* f = std::fopen(path("bx.txt").c_str(), "w");
        std::fputs("1 2 3\n", f);
        std::fclose(f);
        f = std::fopen(path("by.sg").c_str(), "w");
        std::fputs("1 0 -1\n1 1 -2\n1 2 -3\n", f);
        std::fclose(f);
    }
    const int ap = 3;
    double x[3] = {0, 0, 0}, y[3] = {0, 0, 0};
    feed_stdin(path("in"), "1\n" + path("bx.txt") + "\n2\n" + path("by.sg") + "\nabc\n2 3\n\n6.283185307179586\n");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ReadBxByPulse(&ap, x, y));
    const std::string out = testing::internal::GetCapturedStdout();
    // "abc", "2 3" and the empty line are each refused once.
    std::size_t count = 0;
    for (std::size_t p = out.find("Please enter a numeric value."); p != std::string::npos;
         p = out.find("Please enter a numeric value.", p + 1))
        ++count;
    EXPECT_EQ(count, 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(x[k], 2 * kPi * (k + 1), 1e-12);
        EXPECT_NEAR(y[k], -2 * kPi * (k + 1), 1e-12);
    }

    // Input ends at the factor question: samples kept as read, failure reported.
    feed_stdin(path("in2"), "1\n" + path("bx.txt") + "\n3\n");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadBxByPulse(&ap, x, y));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(x[2], 3.0);
    EXPECT_EQ(y[2], 0.0);  // choice 3 cleared By

    const int too_many = VYN_MAX_RF_POINTS + 1;
    EXPECT_FALSE(ReadBxByPulse(&too_many, x, y));
}
