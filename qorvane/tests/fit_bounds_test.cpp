// The reported bounds against the spread of fits over seeded noise draws: a single line, a
// tied doublet and a parametric pattern (whose factor the fit scales by the pattern's norm).
#include <gtest/gtest.h>

#include <cmath>

#include "qfit_test_support.h"
#include "qorvane_lm.h"
#include "qorvane_single.h"

using namespace qfit_test;

namespace {

// Two Lorentzian lines of large area, so that the pattern's norm (|first time point|, about 141)
// is far from 1.
const char* kPattern =
    "start_pattern\nnumber_of_lines 2\nparameters name line_type area frequency gauss_width zero_phase "
    "lorentz_width\nA lorentz 100.0 100.0 0.0 0.0 5.0\nB lorentz 50.0 112.0 0.0 30.0 5.0\nend_of_pattern\n";

struct BoundCase {
    const char* name;
    std::vector<Line> truth;  // a type-4 entry: factor, shift, width1, phase, width2 of kPattern
    std::vector<std::vector<Prior>> prior;
};

Prior tied(int line) {
    Prior p;
    p.fixed_to = line;
    p.min = -1e9;
    p.max = 1e9;
    return p;
}

Prior free_par() {
    Prior p;
    p.min = -1e9;
    p.max = 1e9;
    return p;
}

// Spectrum lines of the truth (a pattern becomes its two Voigt lines).
std::vector<Line> data_lines(const std::vector<Line>& truth) {
    std::vector<Line> out;
    for (const Line& t : truth) {
        if (t.type != 4) {
            out.push_back(t);
            continue;
        }
        out.push_back({3, t.area * 100.0, 100.0 + t.freq, 1.67 * t.width1, t.phase, 5.0 + t.width2});
        out.push_back({3, t.area * 50.0, 112.0 + t.freq, 1.67 * t.width1, 30.0 + t.phase, 5.0 + t.width2});
    }
    return out;
}

}  // namespace

// Over 60 seeded draws the standard deviation of each fitted parameter equals half the
// reported bound (the bound is two standard deviations) within 25 %.
TEST(FitBounds, ReportedBoundsMatchTheSpreadOfFits) {
    const std::vector<BoundCase> cases = {
        {"one Voigt line", {{3, 1000.0, 60.0, 6.0, 10.0, 4.0}}, {}},
        {"doublet, frequency and area of line 2 tied to line 1",
         {{3, 1000.0, 60.0, 6.0, 10.0, 4.0}, {3, 500.0, 67.0, 6.5, -5.0, 4.5}},
         {{}, {tied(1), tied(1), free_par(), free_par(), free_par()}}},
        {"pattern beside a line, its phase tied to the line",
         {{3, 800.0, 40.0, 6.0, 5.0, 4.0}, {4, 6.0, 0.8, 3.0, 5.0, 2.0}},
         {{}, {free_par(), free_par(), free_par(), tied(1), free_par()}}},
    };
    const int n = 256, draws = 60, extra = 512;
    const char* names[5] = {"area", "frequency", "width1", "phase", "width2"};
    for (const BoundCase& c : cases) {
        SCOPED_TRACE(c.name);
        ParFile p;
        p.n = n;
        p.noistr = n;
        p.noistp = n + extra;
        p.clcerr = 1;
        p.prior = c.prior;
        for (const Line& t : c.truth)
            p.start.push_back({t.type, 0.9 * t.area, t.freq + 0.5, 1.1 * t.width1, t.phase + 3.0, 1.1 * t.width2});
        bool pattern = false;
        for (const Line& t : c.truth) pattern = pattern || t.type == 4;
        if (pattern) p.patterns = {"pattern.pat"};
        Step s;
        s.intervals = {{10, 160}};
        s.niter = 80;
        p.steps = {s};
        auto clean = make_spectrum(n, data_lines(c.truth));
        clean.resize(n + extra, 0.0);
        const size_t nl = c.truth.size();
        std::vector<std::vector<double>> sum(nl, std::vector<double>(5, 0.0)), sum2 = sum, bound = sum;
        for (int d = 0; d < draws; ++d) {
            std::mt19937 gen(7000 + d);
            std::normal_distribution<double> noise(0.0, 4.0);
            auto x = clean;
            for (auto& v : x) v += std::complex<double>(noise(gen), noise(gen));
            std::string dir = make_temp_dir("bounds");
            write_spectrum(dir + "/data.bin", x);
            write_text(dir + "/pattern.pat", kPattern);
            ParFile q = p;
            for (std::string& path : q.patterns) path = dir + "/" + path;
            write_text(dir + "/start.par", compact_par(q));
            QorvaneSingleFitOutcome outcome;
            testing::internal::CaptureStdout();
            int rc = qorvane_single_fit_run(dir.c_str(), "data.bin", (dir + "/start.par").c_str(), "q\t", &outcome);
            std::string out = testing::internal::GetCapturedStdout();
            auto mat = read_matrix(dir + "/data.mat"), err = read_matrix(dir + "/data.err");
            const auto res = read_spectrum(dir + "/data.res");
            remove_tree(dir);
            ASSERT_EQ(rc, 0) << out;
            ASSERT_EQ(mat.size(), nl);
            ASSERT_EQ(err.size(), nl);
            // The residual file is the data less the fitted model: noise only.
            ASSERT_EQ(res.size(), (size_t)n);
            double rr = 0.0;
            for (int k = 10; k <= 160; ++k) rr += std::norm(res[k]);
            const double rms = std::sqrt(rr / (2.0 * 151));
            EXPECT_LT(rms, 1.5 * 4.0) << "draw " << d;
            for (size_t i = 0; i < nl; ++i)
                for (int o = 0; o < 5; ++o) {
                    sum[i][o] += mat[i][o];
                    sum2[i][o] += mat[i][o] * mat[i][o];
                    bound[i][o] += err[i][o];
                }
        }
        for (size_t i = 0; i < nl; ++i)
            for (int o = 0; o < 5; ++o) {
                const double mean = sum[i][o] / draws;
                const double sd = std::sqrt(std::max(0.0, (sum2[i][o] - draws * mean * mean) / (draws - 1)));
                const double half = 0.5 * bound[i][o] / draws;
                ASSERT_GT(half, 0.0) << "line " << i + 1 << " " << names[o];
                const double ratio = sd / half;
                std::printf("%-52s line %zu %-9s spread/(bound/2) = %.3f\n", c.name, i + 1, names[o], ratio);
                EXPECT_NEAR(ratio, 1.0, 0.25)
                    << "line " << i + 1 << " " << names[o] << ": spread " << sd << ", bound/2 " << half;
            }
    }
}
