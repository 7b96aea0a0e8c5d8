// Receiver-signal files, the average spectrum, CSV / PV-WAVE / gnuplot
// exports and the 2D transform.
#include "observablespectrumcalculator.h"
#include "prop_test_util.h"
#include "rfpulseplot.h"

using namespace proptest;

namespace {

class Spectrum : public WorkDirTest {
  protected:
    // H0 = Izee + Icoup, normalised receiver totals, Iztot.
    void Operators() {
        VYNSpinState& s = vyn_spin;
        CMatAdd(s.n, s.Izee, s.Icoup, s.Istat);
        MakeTotalIx(s.n, s.Nspins, s.ket, s.Ilist, 1, s.Ixtot);
        MakeTotalIy(s.n, s.Nspins, s.ket, s.Ilist, 1, s.Iytot);
    }
    double Generate(int np, double acq, double f_off, const char* out) {
        VYNSpinState& s = vyn_spin;
        return SeparateSpectra_GenerateSignalWithParams(&s.n, np, acq, f_off, out, Scratch(5), s.Istat, s.Ixtot,
                                                        s.Iytot, s.Iztot, s.ket, s.Ilist);
    }
    double Average(int np, double acq, double f_off) {
        VYNSpinState& s = vyn_spin;
        return AverageSpectrum_WithParams(s.n, np, acq, f_off, Scratch(5), s.Istat, s.Ixtot, s.Iytot, s.Iztot);
    }
};

TEST_F(Spectrum, SignalFileSizesAndHeaders) {
    SetupSpinHalfSystem({10.0}, {1.0});
    Operators();
    CMatrix& m = Scratch(0);
    NormalisedSingle('x', 1, m);
    WriteDensityFile("dm.bin", 0, 2, {&m});
    EXPECT_DOUBLE_EQ(Generate(4, 0.01, 0.0, "one.bin"), 0.01);
    auto b = ReadBytes("one.bin");
    ASSERT_EQ(b.size(), 76u);
    EXPECT_EQ(HeaderOf(b).type, 1);
    EXPECT_EQ(HeaderOf(b).num1, 4);
    EXPECT_EQ(HeaderOf(b).num2, 1);

    WriteDensityFile("dm.bin", 0, 2, {&m, &m});
    EXPECT_GT(Generate(16, 0.01, 0.0, ""), 0.0);  // empty name: vynsign.bin
    b = ReadBytes("vynsign.bin");
    ASSERT_EQ(b.size(), 12u + 2 * 16 * 16);
    EXPECT_EQ(HeaderOf(b).num2, 2);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(BodyValue(b, k), BodyValue(b, 16 + k));  // identical traces
}

TEST_F(Spectrum, RefusesSignalTypeAndTruncatedFiles) {
    SetupSpinHalfSystem({10.0}, {1.0});
    Operators();
    CMatrix& m = Scratch(0);
    NormalisedSingle('x', 1, m);
    WriteDensityFile("dm.bin", 1, 2, {&m});
    testing::internal::CaptureStdout();
    EXPECT_EQ(Generate(8, 0.01, 0.0, "a.bin"), 0.0);
    EXPECT_EQ(Average(8, 0.01, 0.0), 0.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "dm.bin header mismatch: ftype=1 fn=2 expected n=2\n"
              "dm.bin header mismatch: ftype=1 fn=2 expected n=2\n");
    EXPECT_FALSE(FileExists("a.bin"));
    EXPECT_FALSE(FileExists("vynsign.bin"));

    WriteDensityFile("dm.bin", 0, 2, {&m}, 3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Generate(8, 0.01, 0.0, "a.bin"), 0.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">>> READ BINARY FILE ERROR (dm.bin) <<<\n");
    EXPECT_FALSE(FileExists("a.bin"));

    WriteDensityFile("dm.bin", 0, 2, {&m});
    // a signal named like its own input would truncate the matrices being read
    const auto saved = ReadBytes("dm.bin");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Generate(8, 0.01, 0.0, "./dm.bin"), 0.0);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadBytes("dm.bin"), saved);
    EXPECT_EQ(Generate(0, 0.01, 0.0, "a.bin"), 0.0);
    EXPECT_EQ(Generate(8, 0.0, 0.0, "a.bin"), 0.0);
    EXPECT_FALSE(FileExists("a.bin"));
}

// The average spectrum (analytic line list of the summed state) must agree
// with the sum of the directly propagated traces at the same instants. The
// average samples t = k acq'/(np-1), the direct one t = k acq/np.
TEST_F(Spectrum, AverageSpectrumMatchesDirectPropagation) {
    SetupSpinHalfSystem({60.0, -25.0}, {1.0, 0.5}, {7.0}, true);
    Operators();
    const int n = vyn_spin.n, np = 32;
    CMatrix &a = Scratch(0), &b = Scratch(1), &t = Scratch(2);
    NormalisedSingle('x', 1, a);
    NormalisedSingle('y', 2, t);
    CMatRMultAdd(n, a, 0.8, t, 0.3, a);
    NormalisedSingle('x', 2, b);
    WriteDensityFile("dm.bin", 0, n, {&a, &b});
    const double acq = 0.05, f_off = 12.0;
    ASSERT_GT(Generate(np, acq, f_off, "direct.bin"), 0.0);
    ASSERT_GT(Average(np, acq * (np - 1) / np, f_off), 0.0);
    const auto direct = ReadBytes("direct.bin");
    const auto avg = ReadBytes("vynsign.bin");
    ASSERT_EQ(avg.size(), 12u + 16u * np);
    EXPECT_EQ(HeaderOf(avg).num2, 1);
    for (int k = 0; k < np; ++k) {
        const std::complex<double> sum = BodyValue(direct, k) + BodyValue(direct, np + k);
        EXPECT_LT(std::abs(BodyValue(avg, k) - sum), 1e-9) << k;
    }
}

// Above 64 states: seven uncoupled spins, rho = Ixtot/|Ixtot|, detected with
// the sum of normalised Ix(s): Re s(t) = sum_s cos(w_s t)/sqrt(7).
TEST_F(Spectrum, AverageSpectrumWorksAbove64States) {
    const std::vector<double> nu = {-300, -170, -40, 35, 120, 260, 410};
    SetupSpinHalfSystem(nu, std::vector<double>(7, 1.0));
    Operators();
    const int n = vyn_spin.n;
    ASSERT_EQ(n, 128);
    CMatrix& rho = Scratch(0);
    MakeTotalIx(n, 7, vyn_spin.ket, vyn_spin.Ilist, 0, rho);
    NormCMatrix(n, rho);
    WriteDensityFile("dm.bin", 0, n, {&rho});
    const int np = 16;
    const double acq = 0.01;
    ASSERT_GT(Average(np, acq, 0.0), 0.0);
    const auto b = ReadBytes("vynsign.bin");
    ASSERT_EQ(b.size(), 12u + 16u * np);
    for (int k = 0; k < np; ++k) {
        const double t = k * acq / (np - 1);
        double re = 0, im = 0;
        for (double f : nu) {
            re += std::cos(kTwoPi * f * t) / std::sqrt(7.0);
            im -= std::sin(kTwoPi * f * t) / std::sqrt(7.0);
        }
        EXPECT_NEAR(BodyValue(b, k).real(), re, 1e-9) << k;
        EXPECT_NEAR(BodyValue(b, k).imag(), im, 1e-9) << k;
    }
}

void WriteSignalFile(const char* path, int n1, int n2, const std::vector<std::complex<double>>& v) {
    FILE* f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    int32_t h[3] = {1, n1, n2};
    std::fwrite(h, 4, 3, f);
    for (auto c : v) {
        double d[2] = {c.real(), c.imag()};
        std::fwrite(d, 8, 2, f);
    }
    std::fclose(f);
}

std::vector<std::vector<double>> CsvRows(const char* path, std::string* header) {
    std::ifstream f(path);
    std::getline(f, *header);
    std::vector<std::vector<double>> rows;
    for (std::string l; std::getline(f, l);) {
        std::vector<double> r;
        size_t pos = 0;
        while (pos <= l.size()) {
            size_t c = l.find(',', pos);
            r.push_back(std::stod(l.substr(pos, c - pos)));
            if (c == std::string::npos) break;
            pos = c + 1;
        }
        rows.push_back(r);
    }
    return rows;
}

TEST_F(Spectrum, CsvExportAxesAndTransform) {
    const int N1 = 8;
    const double acq = 0.007;  // dt = acq/(N1-1) = 1 ms, df = 125 Hz
    std::vector<std::complex<double>> v;
    for (int k = 0; k < N1; ++k) v.push_back(std::polar(1.0, kTwoPi * 3 * k / N1));
    WriteSignalFile("vynsign.bin", N1, 1, v);
    char fd[300];
    testing::internal::CaptureStdout();
    ASSERT_TRUE(Create_CSV_Files_Named(acq, "spectra", fd, sizeof fd));
    // Named by their full paths: the user's working directory is not vyn's.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Wrote " + std::string(cwd) + "/spectra_td.csv and " + std::string(cwd) + "/spectra_fd.csv\n");
    EXPECT_STREQ(fd, "spectra_fd.csv");
    std::string hdr;
    auto td = CsvRows("spectra_td.csv", &hdr);
    EXPECT_EQ(hdr, "t_s,f2_index,re,im,mag");
    ASSERT_EQ(td.size(), 8u);
    EXPECT_NEAR(td[7][0], 0.007, 1e-15);
    EXPECT_NEAR(td[3][4], 1.0, 1e-15);
    auto fdr = CsvRows("spectra_fd.csv", &hdr);
    EXPECT_EQ(hdr, "f1_hz,f2_hz,re,im,re_ph,im_ph,re_ph1,im_ph1,mag");
    ASSERT_EQ(fdr.size(), 8u);
    const double df = 1.0 / (N1 * 0.001);
    EXPECT_NEAR(fdr.front()[0], -4 * df, 1e-9);
    EXPECT_NEAR(fdr.back()[0], 3 * df, 1e-9);
    // X[m] = sum x[k] exp(-2 pi i m k/N): all weight in m = 3, row j = 7 (f1 = 3 df)
    for (int j = 0; j < N1; ++j) {
        EXPECT_NEAR(fdr[j][8], j == 7 ? 8.0 : 0.0, 1e-12) << j;
        EXPECT_EQ(fdr[j][2], fdr[j][4]);
        EXPECT_EQ(fdr[j][3], fdr[j][7]);
    }
    // header announcing more than the file holds
    WriteSignalFile("vynsign.bin", N1, 3, v);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(Create_CSV_Files_Named(acq, "bad", fd, sizeof fd));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ">>> READ BINARY FILE ERROR (vynsign.bin) <<<\n");
    EXPECT_FALSE(FileExists("bad_td.csv"));
}

TEST_F(Spectrum, PvWaveLayoutAndPlotScript) {
    std::vector<std::complex<double>> v;
    for (int k = 0; k < 256; ++k) v.push_back({0.5 * k, -1.0 * k});
    WriteSignalFile("vynsign.bin", 256, 1, v);
    ASSERT_TRUE(Create_PV_WAVE_File_Named("out.dat"));
    const auto b = ReadBytes("out.dat");
    ASSERT_EQ(b.size(), 1024u + 4096u);
    int32_t h[256];
    std::memcpy(h, b.data(), 1024);
    const int32_t want[15] = {3, 0, 0, 2, 256, 1, 0, 0, 1, 0, 0, 0, 0, 0, 2};
    for (int i = 0; i < 15; ++i) EXPECT_EQ(h[i], want[i]) << i;
    for (int i = 15; i < 256; ++i) EXPECT_EQ(h[i], 0);
    const auto src = ReadBytes("vynsign.bin");
    EXPECT_TRUE(std::equal(src.begin() + 12, src.end(), b.begin() + 1024));

    ASSERT_TRUE(WriteGnuplotSpectrumScript("s.gp", "spectra_fd.csv", nullptr));
    std::ifstream f("s.gp");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text,
              "set terminal qt\nset datafile separator \",\"\nset key right top\nset grid\n"
              "set xlabel \"Frequency (Hz)\"\nset ylabel \"Intensity\"\nset xrange [*:*] reverse\n"
              "set title 'VYN Spectrum'\n"
              "plot 'spectra_fd.csv' using 1:3 with lines title \"re\", \\\n"
              "     'spectra_fd.csv' using 1:9 with lines title \"mag\"\npause mouse close\n");
}

std::string ReadText(const char* path) {
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// Names put into the spectrum and the pulse plot scripts are quoted by one
// rule: a quote inside is doubled, so no name can end its string; names with
// control characters are refused by both writers.
TEST_F(Spectrum, PlotScriptsQuoteNamesTheSameWay) {
    struct Case {
        std::string name, quoted;
    } cases[] = {
        {"plain_fd.csv", "'plain_fd.csv'"},
        {"a\"b.csv", "'a\"b.csv'"},
        {"it's.csv", "'it''s.csv'"},
        {"x'; system('rm -rf /')", "'x''; system(''rm -rf /'')'"},
        {"back\\slash.csv", "'back\\slash.csv'"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(WriteGnuplotSpectrumScript("s.gp", c.name.c_str(), c.name.c_str())) << c.name;
        const std::string spectrum = ReadText("s.gp");
        EXPECT_NE(spectrum.find("set title " + c.quoted + "\n"), std::string::npos) << spectrum;
        EXPECT_NE(spectrum.find("plot " + c.quoted + " using 1:3"), std::string::npos) << spectrum;
        EXPECT_NE(spectrum.find("     " + c.quoted + " using 1:9"), std::string::npos) << spectrum;
        ASSERT_TRUE(WriteGnuplotPulseScript("p.gp", c.name.c_str())) << c.name;
        EXPECT_NE(ReadText("p.gp").find("  " + c.quoted + " using 1:2"), std::string::npos) << ReadText("p.gp");
    }
    for (const char* bad : {"two\nlines.csv", "cr\r.csv", "tab\t.csv"}) {
        std::remove("s.gp");
        std::remove("p.gp");
        testing::internal::CaptureStderr();
        EXPECT_FALSE(WriteGnuplotSpectrumScript("s.gp", bad, nullptr)) << bad;
        EXPECT_FALSE(WriteGnuplotSpectrumScript("s.gp", "ok.csv", bad)) << bad;
        EXPECT_FALSE(WriteGnuplotPulseScript("p.gp", bad)) << bad;
        testing::internal::GetCapturedStderr();
        EXPECT_FALSE(FileExists("s.gp"));
        EXPECT_FALSE(FileExists("p.gp"));
    }
}

TEST_F(Spectrum, TransposeAndTwoDimensionalTransform) {
    // 3 traces of 2 samples: value = 10*trace + sample
    std::vector<std::complex<double>> v;
    for (int tr = 0; tr < 3; ++tr)
        for (int k = 0; k < 2; ++k) v.push_back({10.0 * tr + k, -(10.0 * tr + k)});
    WriteSignalFile("in.bin", 2, 3, v);
    TransposeDataMatrix("in.bin", "out.bin");
    auto b = ReadBytes("out.bin");
    ASSERT_EQ(b.size(), 12u + 6 * 16);
    EXPECT_EQ(HeaderOf(b).num1, 3);
    EXPECT_EQ(HeaderOf(b).num2, 2);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(BodyValue(b, r * 3 + c).real(), 10.0 * c + r);

    // A 2D exponential exp(i(a k + b j)) with a = -2*2pi/N1, b = -1*2pi/N2 peaks,
    // for the forward exp(+2 pi i ...) transform, at direct bin 2 and indirect
    // bin 1; the half swap moves bin m to m + N/2 (mod N).
    const int N1 = 16, N2 = 8;
    v.clear();
    for (int j = 0; j < N2; ++j)
        for (int k = 0; k < N1; ++k) v.push_back(std::polar(1.0, -kTwoPi * (2.0 * k / N1 + 1.0 * j / N2)));
    WriteSignalFile("vynsign.bin", N1, N2, v);
    Calc2Dfft();
    b = ReadBytes("sort.bin");
    ASSERT_EQ(b.size(), 12u + 16u * N1 * N2);
    EXPECT_EQ(HeaderOf(b).num1, N1);
    EXPECT_EQ(HeaderOf(b).num2, N2);
    int best = -1;
    double best_mag = -1;
    for (int i = 0; i < N1 * N2; ++i)
        if (std::abs(BodyValue(b, i)) > best_mag) best_mag = std::abs(BodyValue(b, i)), best = i;
    EXPECT_EQ(best / N1, 1 + N2 / 2);  // row: indirect frequency
    EXPECT_EQ(best % N1, 2 + N1 / 2);  // column: direct frequency
    EXPECT_TRUE(FileExists("spectra.bin"));
}

}  // namespace
