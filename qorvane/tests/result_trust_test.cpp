// What a single fit promises about its numbers and its exit code: result files written
// completely or not at all, inputs never overwritten, bounds only with a noise level, widths
// never negative, peak-area bounds in the area's own unit and the .fitres bound columns.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "qfit_test_support.h"
#include "qorvane_cli.h"
#include "qorvane_context.h"
#include "qorvane_lm.h"
#include "qorvane_reports.h"
#include "qorvane_single.h"

using namespace qfit_test;

namespace {

struct FitOutcome {
    int rc = 0;
    QorvaneSingleFitOutcome outcome{};
    std::string out;
};

// A noisy Voigt line with a signal-free tail for the noise level, fitted with bounds.
ParFile noisy_par(int n = 256) {
    ParFile p;
    p.n = n;
    p.noistr = 200;
    p.noistp = 250;
    p.start = {{3, 900.0, 61.0, 6.5, 5.0, 4.5}};
    Step s;
    s.intervals = {{20, 120}};
    s.niter = 60;
    p.steps = {s};
    return p;
}

std::vector<std::complex<double>> noisy_data(int n = 256, unsigned seed = 3) {
    return make_spectrum(n, {{3, 1000.0, 60.0, 6.0, 10.0, 4.0}}, 2.0, seed);
}

FitOutcome fit_in(const std::string& dir, const std::string& par) {
    FitOutcome r;
    testing::internal::CaptureStdout();
    r.rc = qorvane_single_fit_run(dir.c_str(), "data.bin", par.c_str(), "t\t", &r.outcome);
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> v;
    for (const auto& e : std::filesystem::directory_iterator(dir)) v.push_back(e.path().filename().string());
    return v;
}

const char* const kResults[] = {"data.org",    "data.cor",  "data.fit",         "data.fit0",
                                "data.res",    "data.nln0", "data.mat",         "data.err",
                                "data.fitres", "data.exl",  "data.compact.par", "start_verbose.par"};

}  // namespace

// Results that cannot be written end the fit with exit 5 and a message naming them; no
// temporary or partial file stays, and a result from an earlier run that could not be
// replaced is kept as it was.
TEST(ResultWrites, UnwritableResultsFailTheFitAndLeaveNoPartialFile) {
    struct Case {
        const char* name;
        std::vector<std::string> blocked;  // result names made directories
        long fsize_limit;                  // RLIMIT_FSIZE of the fitting process (0: none)
        int rc;
    } cases[] = {
        {"every result writable", {}, 0, 0},
        {"two result names are directories", {"data.fitres", "data.mat"}, 0, 5},
        {"every result name is a directory", std::vector<std::string>(std::begin(kResults), std::end(kResults)), 0, 5},
        // 1024 points: every binary result (8 KiB) is larger than the limit, as on a full disk
        {"the disk fills up", {}, 4096, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int n = c.fsize_limit > 0 ? 1024 : 256;
        const std::string dir = make_temp_dir("writes");
        write_spectrum(dir + "/data.bin", noisy_data(n));
        ParFile p = noisy_par(n);
        p.noistr = n - 60;
        p.noistp = n - 10;
        write_text(dir + "/start.par", compact_par(p));
        for (const std::string& b : c.blocked) ASSERT_EQ(mkdir((dir + "/" + b).c_str(), 0700), 0);
        write_text(dir + "/data.fit", "an earlier result\n");
        int rc;
        std::string out;
        if (c.fsize_limit > 0) {
            // The limit applies to the fitting child alone; it reports its exit code.
            fflush(stdout);
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                signal(SIGXFSZ, SIG_IGN);
                struct rlimit lim = {(rlim_t)c.fsize_limit, (rlim_t)c.fsize_limit};
                setrlimit(RLIMIT_FSIZE, &lim);
                if (freopen("/dev/null", "w", stdout) == nullptr) _exit(99);
                QorvaneSingleFitOutcome o;
                _exit(qorvane_single_fit_run(dir.c_str(), "data.bin", (dir + "/start.par").c_str(), "t\t", &o));
            }
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFEXITED(status));
            rc = WEXITSTATUS(status);
        } else {
            FitOutcome r = fit_in(dir, dir + "/start.par");
            rc = r.rc;
            out = r.out;
            if (c.rc != 0) {
                EXPECT_NE(out.find("ERROR: result file " + dir + "/" + c.blocked[0] + " could not be written"),
                          std::string::npos)
                    << out;
                EXPECT_EQ(r.outcome.code, 5);
            }
        }
        EXPECT_EQ(rc, c.rc) << out;
        for (const std::string& name : names_in(dir)) {
            EXPECT_EQ(name.find(".part"), std::string::npos) << name;
            struct stat st;
            ASSERT_EQ(stat((dir + "/" + name).c_str(), &st), 0);
            if (S_ISREG(st.st_mode)) {
                EXPECT_GT(st.st_size, 0) << name << " is empty";
            }
        }
        const std::string fit = read_text(dir + "/data.fit");
        const bool fit_blocked = std::find(c.blocked.begin(), c.blocked.end(), "data.fit") != c.blocked.end();
        if (fit_blocked) {
            EXPECT_TRUE(std::filesystem::is_directory(dir + "/data.fit"));
        } else if (c.fsize_limit > 0) {
            EXPECT_EQ(fit, "an earlier result\n");
            // the small text results did fit under the limit and are complete
            EXPECT_NE(read_text(dir + "/data.exl").find("\nconverged\t"), std::string::npos);
        } else {
            EXPECT_EQ(fit.size(), (size_t)8 * n);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}

// A result name that is one of the fit's inputs (by device and inode: the same name, a
// hard link or a symbolic link) is refused before fitting; the input stays as it was.
TEST(ResultWrites, ResultNamesThatAreInputsAreRefused) {
    struct Case {
        const char* name;
        const char* par_name;  // parameter file name in the directory
        const char* result;    // result name linked to an input (empty: the input itself)
        const char* input;     // the input it is linked to
        bool symbolic;
        const char* what;
    } cases[] = {
        {"the compact result as parameter file", "data.compact.par", "", "", false, "parameter file"},
        {"the .mat result a hard link of the parameter file", "start.par", "data.mat", "start.par", false,
         "parameter file"},
        {"the .exl result a symbolic link to the spectrum", "start.par", "data.exl", "data.bin", true, "spectrum"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = make_temp_dir("inputs");
        write_spectrum(dir + "/data.bin", noisy_data());
        const std::string par = dir + "/" + c.par_name;
        write_text(par, compact_par(noisy_par()));
        if (c.result[0] != '\0') {
            const std::string from = dir + "/" + c.input, to = dir + "/" + c.result;
            ASSERT_EQ(c.symbolic ? symlink(from.c_str(), to.c_str()) : link(from.c_str(), to.c_str()), 0);
        }
        const std::string par_before = read_text(par), data_before = read_text(dir + "/data.bin");
        FitOutcome r = fit_in(dir, par);
        EXPECT_EQ(r.rc, 1) << r.out;
        EXPECT_NE(r.out.find(std::string("is the ") + c.what), std::string::npos) << r.out;
        EXPECT_EQ(read_text(par), par_before);
        EXPECT_EQ(read_text(dir + "/data.bin"), data_before);
        EXPECT_FALSE(file_exists(dir + "/data.fit"));
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}

// Bounds need the noise level: an interval of fewer than two points or without variance is
// refused before fitting (naming noistr and noistp; exit 3 for an interval too short, 1 for
// a spectrum whose noise region is flat); without bounds it is no error.
TEST(NoiseInterval, BoundsWithoutANoiseLevelAreRefusedBeforeFitting) {
    struct Case {
        const char* name;
        int clcerr, noistr, noistp;
        bool zero_tail;  // the noise region holds exact zeros
        int rc;
        const char* says;
    } cases[] = {
        {"empty interval", 1, 100, 100, false, 3, "noistr 100 .. noistp 100 holds fewer than 2 points"},
        {"one point", 1, 100, 101, false, 3, "noistr 100 .. noistp 101 holds fewer than 2 points"},
        {"no variance", 1, 256, 300, true, 1, "noistr 256 .. noistp 300 has zero variance"},
        {"no bounds requested", 0, 100, 100, false, 0, nullptr},
        {"a usable interval", 1, 200, 250, false, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = make_temp_dir("noise");
        auto x = noisy_data();
        if (c.zero_tail) x.resize(c.noistp, 0.0);
        write_spectrum(dir + "/data.bin", x);
        ParFile p = noisy_par();
        p.clcerr = c.clcerr;
        p.noistr = c.noistr;
        p.noistp = c.noistp;
        write_text(dir + "/start.par", compact_par(p));
        FitOutcome r = fit_in(dir, dir + "/start.par");
        EXPECT_EQ(r.rc, c.rc) << r.out;
        if (c.says != nullptr) {
            EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
            EXPECT_FALSE(file_exists(dir + "/data.fit"));
        } else {
            const auto err = read_matrix(dir + "/data.err");
            ASSERT_EQ(err.size(), 1u);
            if (c.clcerr == 1) {
                EXPECT_GT(err[0][0], 0.0);
            }
        }
        remove_tree(dir);
    }
}

// No minimiser reports a negative width: a Voigt model fitted to Gaussian lines (true
// Lorentzian width 0) and a Lorentzian width started negative, over several noise draws.
TEST(Widths, StayNonNegativeInEveryMinimiser) {
    struct Case {
        const char* name;
        int which, algor;
    } cases[] = {{"least squares", QORVANE_MINIMIZER_LM, 2},
                 {"classic conjugate gradients", QORVANE_MINIMIZER_REFERENCE, 2},
                 {"random search", QORVANE_MINIMIZER_REFERENCE, 1},
                 {"random search refined", QORVANE_MINIMIZER_LM, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (unsigned seed = 1; seed <= 6; ++seed) {
            const std::string dir = make_temp_dir("widths");
            write_spectrum(dir + "/data.bin", make_spectrum(256, {{1, 1000.0, 60.0, 6.0, 0.0, 0.0}}, 3.0, seed));
            ParFile p = noisy_par();
            p.start = {{3, 1000.0, 60.0, 6.0, 0.0, seed % 2 ? 0.3 : -0.3}};
            p.prior = {{Prior{0, 500, 1500}, Prior{0, 55, 65}, Prior{0, 3, 9}, Prior{0, -20, 20}, Prior{0, -1, 1}}};
            p.steps[0].algor = c.algor;
            p.steps[0].niter = c.algor == 1 ? 10 : 60;
            write_text(dir + "/start.par", compact_par(p));
            qorvane_minimizer_select(c.which);
            FitOutcome r = fit_in(dir, dir + "/start.par");
            qorvane_minimizer_select(QORVANE_MINIMIZER_LM);
            ASSERT_EQ(r.rc, 0) << r.out;
            const auto mat = read_matrix(dir + "/data.mat");
            ASSERT_EQ(mat.size(), 1u);
            EXPECT_GE(mat[0][4], 0.0) << "seed " << seed;
            remove_tree(dir);
        }
    }
}

// Dead-time corrected areas carry bounds in their own unit: relative bounds of area and
// width add in quadrature; an extrapolation factor changes the area, not its relative bound.
TEST(PeakArea, BoundsArePropagatedInRelativeTerms) {
    struct Case {
        const char* name;
        int type;
        double area, area_bound, width, width_bound, phi1, relative;
    } cases[] = {
        {"Gaussian", 1, 100.0, 6.0, 10.0, 0.8, 0.0, 0.10},   // 6 % and 8 % make 10 %
        {"Lorentzian", 2, 200.0, 6.0, 5.0, 0.2, 0.0, 0.05},  // 3 % and 4 % make 5 %
        {"Voigt, no delay", 3, 100.0, 7.0, 10.0, 0.0, 0.0, 0.07},
        {"Voigt, extrapolated over a delay", 3, 100.0, 7.0, 10.0, 0.0, 3600.0, 0.07},
    };
    QorvaneFitContext* ctx = qorvane_context_create();
    ASSERT_NE(ctx, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ctx->nLines = 1;
        ctx->n_pnts = 256;
        ctx->phi_1 = c.phi1;
        for (int j = 1; j <= 5; ++j) ctx->fixpar[j].type = ctx->o_fixpar[j].type = c.type;
        ctx->o_par[1] = c.area;
        ctx->o_errpar[1] = c.area_bound;
        ctx->o_par[3] = c.width;
        ctx->o_errpar[3] = c.width_bound;
        ctx->par_vec[3] = c.width;  // internal widths (Hz_p_p 1)
        ctx->par_vec[5] = 4.0;
        double a = 0.0, e = 0.0;
        qorvane_dead_time_area(ctx, 1, &a, &e);
        ASSERT_GT(a, 0.0);
        EXPECT_NEAR(e / a, c.relative, 1e-12);
        if (c.phi1 > 0.0) {
            EXPECT_GT(a, c.area);  // the extrapolation did change the area
        }
    }
    qorvane_context_destroy(ctx);
}

// The .fitres file says what its bound columns hold, and its area table ends with the %SD
// of every area (half the bound, relative), the columns before it unchanged.
TEST(FitresReport, StatesTwoSdBoundsAndEndsTheAreaTableWithPercentSd) {
    const std::string dir = make_temp_dir("fitres");
    write_spectrum(dir + "/data.bin", noisy_data());
    write_text(dir + "/start.par", compact_par(noisy_par()));
    FitOutcome r = fit_in(dir, dir + "/start.par");
    ASSERT_EQ(r.rc, 0) << r.out;
    const std::string text = read_text(dir + "/data.fitres");
    EXPECT_NE(text.find("abs. err. = 2 SD (twice the Cramer-Rao standard deviation)"), std::string::npos) << text;
    const auto mat = read_matrix(dir + "/data.mat"), err = read_matrix(dir + "/data.err");
    ASSERT_EQ(mat.size(), 1u);
    std::istringstream in(text);
    std::string line, table;
    std::vector<std::vector<std::string>> rows;  // rows of the area table and of the first other one
    while (std::getline(in, line)) {
        if (line.rfind("|#line", 0) == 0) table = line;
        if (line.rfind("| 1 ", 0) != 0 || rows.size() >= 2) continue;
        std::vector<std::string> fields;
        std::istringstream f(line.substr(1));
        std::string t;
        while (std::getline(f, t, '|'))
            if (t.find_first_not_of(' ') != std::string::npos) fields.push_back(t);
        rows.push_back(fields);
    }
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[0].size(), 4u);  // line, area, abs. err., %SD
    EXPECT_NEAR(std::stod(rows[0][1]), mat[0][0], 1e-6 * mat[0][0]);
    EXPECT_NEAR(std::stod(rows[0][2]), err[0][0], 1e-6 * err[0][0]);
    EXPECT_NEAR(std::stod(rows[0][3]), 100.0 * 0.5 * err[0][0] / mat[0][0], 1e-5);
    EXPECT_EQ(rows[1].size(), 3u);  // the other tables keep their three columns
    remove_tree(dir);
}
