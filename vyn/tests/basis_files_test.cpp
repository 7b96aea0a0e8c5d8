// Basis-set writers: the pattern spectrum inverts to the signal the way the
// fitter's loader inverts it, bad signals are refused without leaving a file,
// and an existing file survives a failed write.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vyn_test_support.h"
#include "vynbasis_files.h"

namespace {

using cd = std::complex<double>;

VYNBasisSignal sample_signal(int n) {
    VYNBasisSignal s;
    s.name = "test";
    s.dwell_s = 5e-4;
    s.spectrometer_mhz = 127.7;
    for (int k = 0; k < n; ++k) {
        const double t = k * s.dwell_s;
        s.fid.push_back(std::polar(std::exp(-t / 0.05), 2 * M_PI * 37.0 * t) +
                        0.4 * std::polar(std::exp(-t / 0.08), -2 * M_PI * 210.0 * t + 0.3));
    }
    return s;
}

int entries(const std::string& dir) {
    int n = 0;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' || (std::string(e->d_name) != "." && std::string(e->d_name) != "..")) ++n;
    closedir(d);
    return n;
}

TEST(BasisFiles, PatternSpectrumInvertsLikeTheLoader) {
    // Loader: conjugate, rotate by N/2, forward transform (exp(-i...)), conjugate.
    for (int n : {8, 64, 1024}) {
        const VYNBasisSignal s = sample_signal(n);
        const std::vector<cd> spectrum = vyn_basis_pattern_spectrum(s.fid);
        double worst = 0.0;
        for (int k = 0; k < n; ++k) {
            cd acc = 0.0;
            for (int i = 0; i < n; ++i)
                acc += std::conj(spectrum[(i + n / 2) % n]) * std::polar(1.0, -2 * M_PI * double(i) * k / n);
            worst = std::max(worst, std::abs(std::conj(acc) - s.fid[k]));
        }
        EXPECT_LT(worst, 1e-9) << n;
    }
}

TEST(BasisFiles, ReceiverSignalIsConjugated) {
    const double re[2] = {1.0, 0.5}, im[2] = {0.25, -2.0};
    const std::vector<cd> z = vyn_basis_from_receiver(re, im, 2);
    ASSERT_EQ(z.size(), 2u);
    EXPECT_EQ(z[0], cd(1.0, -0.25));
    EXPECT_EQ(z[1], cd(0.5, 2.0));
}

TEST(BasisFiles, BadSignalsAreRefusedAndLeaveNothing) {
    struct Case {
        const char* what;
        void (*spoil)(VYNBasisSignal&);
        bool pattern_only;
    };
    const Case cases[] = {
        {"non-finite sample", [](VYNBasisSignal& s) { s.fid[3] = cd(NAN, 0.0); }, false},
        {"infinite sample", [](VYNBasisSignal& s) { s.fid[0] = cd(0.0, INFINITY); }, false},
        {"zero dwell", [](VYNBasisSignal& s) { s.dwell_s = 0.0; }, false},
        {"no field", [](VYNBasisSignal& s) { s.spectrometer_mhz = 0.0; }, false},
        {"empty", [](VYNBasisSignal& s) { s.fid.clear(); }, false},
        {"not a power of two", [](VYNBasisSignal& s) { s.fid.resize(12); }, true},
    };
    typedef bool (*Writer)(const char*, const VYNBasisSignal&, std::string*);
    const Writer writers[3] = {vyn_basis_write_nifti, vyn_basis_write_raw, vyn_basis_write_pattern};
    const char* names[3] = {"x.nii.gz", "x.RAW", "x.bin"};
    for (const Case& c : cases) {
        const std::string dir = vyntest::make_temp_dir();
        for (int w = 0; w < 3; ++w) {
            if (c.pattern_only && w != 2) continue;
            VYNBasisSignal s = sample_signal(16);
            c.spoil(s);
            std::string err;
            EXPECT_FALSE(writers[w]((dir + "/" + names[w]).c_str(), s, &err)) << c.what << " " << names[w];
            EXPECT_FALSE(err.empty()) << c.what;
        }
        EXPECT_EQ(entries(dir), 0) << c.what;
        rmdir(dir.c_str());
    }
}

TEST(BasisFiles, RawRoundTripAndFailedWriteKeepsOldFile) {
    const std::string dir = vyntest::make_temp_dir();
    const std::string path = dir + "/m.RAW";
    VYNBasisSignal s = sample_signal(32);
    s.name = "glu'tamate";
    std::string err;
    ASSERT_TRUE(vyn_basis_write_raw(path.c_str(), s, &err)) << err;
    std::ifstream f(path);
    std::stringstream text;
    text << f.rdbuf();
    const std::string all = text.str();
    EXPECT_NE(all.find("ID='glu_tamate'"), std::string::npos);
    const size_t nmid = all.find("$NMID");
    ASSERT_NE(nmid, std::string::npos);
    std::istringstream data(all.substr(all.find("$END", nmid) + 4));
    std::vector<cd> back;
    double a, b;
    while (data >> a >> b) back.emplace_back(a, b);
    ASSERT_EQ(back.size(), s.fid.size());
    for (size_t k = 0; k < back.size(); ++k) EXPECT_LT(std::abs(back[k] - s.fid[k]), 1e-8 * 1.5) << k;
    // A refused signal leaves the earlier file as it was.
    VYNBasisSignal bad = s;
    bad.fid[1] = cd(NAN, NAN);
    EXPECT_FALSE(vyn_basis_write_raw(path.c_str(), bad, &err));
    std::ifstream again(path);
    std::stringstream text2;
    text2 << again.rdbuf();
    EXPECT_EQ(text2.str(), all);
    EXPECT_EQ(entries(dir), 1);
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

}  // namespace
