// Bad values in the text and binary inputs of the fitter: every numeric field must be a
// whole finite number of its kind, counts must fit, and a fit that stops on its input
// ends with a non-zero exit code. Grouped per reader; each row is one refused input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fitcontrol_new.h"
#include "lineshape.h"
#include "qfit_test_support.h"
#include "qorvane_context.h"
#include "qorvane_single.h"
#include "qspectrumio.h"

using namespace qfit_test;

namespace {

std::string replace_once(std::string s, const std::string& from, const std::string& to) {
    const size_t p = s.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    if (p != std::string::npos) s.replace(p, from.size(), to);
    return s;
}

// One Voigt line and one Lorentzian line, both forms of the file share these values.
ParFile two_lines() {
    ParFile p;
    p.n = 256;
    p.noistr = 200;
    p.noistp = 250;
    p.phi1 = 12.0;
    p.start = {{3, 900.0, 80.0, 4.5, 0.0, 2.0}, {2, 450.0, 150.0, 6.5, 10.0, 0.0}};
    Step s;
    s.intervals = {{30, 190}};
    p.steps = {s};
    return p;
}

struct Loaded {
    int rc, faulty, exit_code;
    std::string out, err;
};

Loaded load_text(const std::string& path, const std::string& text) {
    write_text(path, text);
    QorvaneFitContext* c = qorvane_context_create();
    qorvane_context_set_defaults(c);
    std::snprintf(c->parameter_file, sizeof c->parameter_file, "%s", path.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Loaded l;
    l.rc = load_initial_value_file(c);
    l.out = testing::internal::GetCapturedStdout();
    l.err = testing::internal::GetCapturedStderr();
    l.faulty = c->fcntl_faulty;
    l.exit_code = c->status.fatal ? c->status.exit_code : 0;
    qorvane_context_destroy(c);
    return l;
}

// The verbose form of two_lines(), as the writer makes it.
std::string verbose_text(const std::string& dir) {
    write_text(dir + "/c.par", compact_par(two_lines()));
    QorvaneFitContext* c = qorvane_context_create();
    qorvane_context_set_defaults(c);
    std::snprintf(c->parameter_file, sizeof c->parameter_file, "%s", (dir + "/c.par").c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(load_initial_value_file(c), QORVANE_RC_OK);
    EXPECT_EQ(write_qorvane_strtval_file((dir + "/v.par").c_str(), c), 0);
    testing::internal::GetCapturedStdout();
    qorvane_context_destroy(c);
    return read_text(dir + "/v_verbose.par");
}

}  // namespace

TEST(FitControlRefusals, EveryNumberIsAWholeFiniteTokenInTheCompactForm) {
    const std::string dir = make_temp_dir("strict");
    const std::string good = compact_par(two_lines());
    ASSERT_EQ(load_text(dir + "/good.par", good).faulty, 0);
    struct Case {
        const char *from, *to;
        int exit_code;        // 1: the key block is corrupt; 0: the file is marked faulty
        const char* message;  // names the line and the field
    } cases[] = {
        {"phi__1 1.2000000000e+01", "phi__1 nan", 1, "line 7 : 'nan' is not a valid value for phi__1"},
        {"phi__1 1.2000000000e+01", "phi__1 inf", 1, "line 7 : 'inf' is not a valid value for phi__1"},
        {"phi__1 1.2000000000e+01", "phi__1 1e39", 1, "line 7 : '1e39' is not a valid value for phi__1"},
        {"Hz_p_p 1.0000000000e+00", "Hz_p_p nan", 1, "line 8 : 'nan' is not a valid value for Hz_p_p"},
        {"f__tol 1.0000000000e-07", "f__tol 0x1p-20", 1, "'0x1p-20' is not a valid value for f__tol"},
        {"noistr 200", "noistr 4.9", 1, "line 3 : '4.9' is not a valid value for noistr"},
        {"noistp 250", "noistp 2147483648", 1, "'2147483648' is not a valid value for noistp"},
        {"1\t9.0000000000e+02", "1\tNaN", 0, "'NaN' is not a valid value for area of starting values of line 1"},
        {"\t4.5000000000e+00\t0", "\t-inf\t0", 0,
         "'-inf' is not a valid value for width1 of starting values of line 1"},
        {"@ 2 256", "@ 2 256ms", 0, "'256ms' is not a valid value for trunc of fit strategy step 1"},
        {"3\t0\t9.0000000000e+02\t4.4999999999e+02", "3\t0\t9.0000000000e+02\t1e39", 0,
         "'1e39' is not a valid value for area of prior knowledge of line 1"},
        {"#2 lsffit 0", "#2 lsffit 2", 0, "'2' is not a valid value for lsffit of line 2"},
    };
    for (const Case& c : cases) {
        Loaded l = load_text(dir + "/bad.par", replace_once(good, c.from, c.to));
        EXPECT_NE(l.err.find(c.message), std::string::npos) << c.to << "\n" << l.err;
        EXPECT_NE(l.err.find(dir + "/bad.par"), std::string::npos) << l.err;
        if (c.exit_code == 1) {
            EXPECT_EQ(l.rc, QORVANE_RC_FATAL) << c.to;
            EXPECT_EQ(l.exit_code, 1) << c.to;
        } else {
            EXPECT_EQ(l.faulty, 1) << c.to;
        }
    }
}

TEST(FitControlRefusals, EveryNumberIsAWholeFiniteTokenInTheVerboseForm) {
    const std::string dir = make_temp_dir("strict");
    const std::string good = verbose_text(dir);
    ASSERT_EQ(load_text(dir + "/good.par", good).faulty, 0) << good;
    // values as the verbose writer formats them
    struct Case {
        const char *from, *to, *message;
    } cases[] = {
        {"1.2000000000E+01\n", "nan\n", "'nan' is not a valid value for phi__1"},
        {"1.2000000000E+01\n", "1e39\n", "'1e39' is not a valid value for phi__1"},
        {"1.0000000000E+00\n", "inf\n", "'inf' is not a valid value for Hz_p_p"},
        {"9.000000E+02   ", "nan   ", "'nan' is not a valid value for area of starting values of line 1"},
        {"4.500000E+00   ", "4.5e+400   ", "'4.5e+400' is not a valid value for width1 of starting values of line 1"},
        {"qorvane_fit_control\n1\n", "qorvane_fit_control\n1.5\n", "'1.5' is not a valid value for fit_mo"},
    };
    for (const Case& c : cases) {
        Loaded l = load_text(dir + "/bad.par", replace_once(good, c.from, c.to));
        EXPECT_EQ(l.faulty, 1) << c.to;
        EXPECT_NE(l.err.find(c.message), std::string::npos) << c.to << "\n" << l.err;
        EXPECT_NE(l.err.find(" line "), std::string::npos) << l.err;
    }
}

TEST(FitControlRefusals, CompactKeysAreCheckedByName) {
    const std::string dir = make_temp_dir("strict");
    const std::string good = compact_par(two_lines());
    struct Case {
        const char *from, *to, *message;
    } cases[] = {
        {"showli 1", "foobar 1", "line 12 : key 'foobar' found where 'showli' belongs"},
        // swapped keys were assigned by position
        {"noistr 200\nnoistp 250", "noistp 250\nnoistr 200", "line 3 : key 'noistp' found where 'noistr' belongs"},
        {"pattrn 0", "patter 0", "key 'patter' found where 'pattrn' belongs"},
        {"#1 lsffit 0", "#1 lsffix 0", "'lsffix' found where 'lsffit' belongs"},
        {"#2 lsffit", "#3 lsffit", "'#3' found where '#2' belongs"},
    };
    for (const Case& c : cases) {
        Loaded l = load_text(dir + "/keys.par", replace_once(good, c.from, c.to));
        EXPECT_TRUE(l.rc == QORVANE_RC_FATAL || l.faulty) << c.to;
        EXPECT_NE(l.err.find(c.message), std::string::npos) << c.to << "\n" << l.err;
    }
}

TEST(FitControlRefusals, FitControlErrorsEndTheRunWithANonZeroCode) {
    const std::string dir = make_temp_dir("strict");
    ParFile p = two_lines();
    p.start = {{2, 900.0, 80.0, 4.5, 0.0, 0.0}};
    const std::string good = compact_par(p);
    std::vector<std::complex<double>> spectrum = make_spectrum(256, {Line{2, 900.0, 80.0, 4.5, 0.0, 0.0}});
    write_spectrum(dir + "/s.bin", spectrum);
    struct Case {
        const char *from, *to;
        int rc;
    } cases[] = {
        {"Hz_p_p 1.0000000000e+00", "Hz_p_p nan", 1},
        {"nLines 1", "nLines 2147483647", QORVANE_EXIT_FIT_CONTROL},
        {"pattrn 0", "pattrn -1", QORVANE_EXIT_FIT_CONTROL},
        {"n_pnts 256", "n_pnts 32768", QORVANE_EXIT_FIT_CONTROL},
        {"ignore 0", "ignore 2147483647", QORVANE_EXIT_FIT_CONTROL},
        {"@ 2 256 1 1 1 1 1 0 1 0 200 2 1 ", "@ 2 256 1 1 1 1 1 0 1 0 200 2 11 ", QORVANE_EXIT_FIT_CONTROL},
        {"version_3", "version_2", QORVANE_EXIT_FIT_CONTROL},  // unsupported form
        {"@ 2 256", "@ 3 256", QORVANE_EXIT_FIT_CONTROL},      // a fatal check
    };
    ASSERT_NE(good.find("@ 2 256 1 1 1 1 1 0 1 0 200 2 1 "), std::string::npos) << good;
    for (const Case& c : cases) {
        write_text(dir + "/f.par", replace_once(good, c.from, c.to));
        std::remove((dir + "/s.mat").c_str());
        QorvaneSingleFitOutcome o;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int rc = qorvane_single_fit_run(dir.c_str(), "s.bin", (dir + "/f.par").c_str(), "t\t", &o);
        testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, c.rc) << c.to;
        EXPECT_FALSE(file_exists(dir + "/s.mat")) << c.to;
    }
    // the unchanged file fits and succeeds
    write_text(dir + "/f.par", good);
    QorvaneSingleFitOutcome o;
    testing::internal::CaptureStdout();
    EXPECT_EQ(qorvane_single_fit_run(dir.c_str(), "s.bin", (dir + "/f.par").c_str(), "t\t", &o), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(file_exists(dir + "/s.mat"));
}

TEST(SageHeaderRefusals, BadValuesAndRunawayCountsAreRefusedWithTheirLine) {
    const std::string dir = make_temp_dir("strict");
    const std::string good = read_text(std::string(QORVANE_EXAMPLES_DIR) + "/single/example.shf");
    ASSERT_FALSE(good.empty());
    QorvaneSageIdlHeader h;
    std::memset(&h, 0, sizeof h);
    QorvaneStatus st;
    qorvane_status_clear(&st);
    write_text(dir + "/good.shf", good);
    testing::internal::CaptureStdout();
    ASSERT_EQ(read_sageidl_header((dir + "/good.shf").c_str(), &h, &st), QORVANE_RC_OK);
    testing::internal::GetCapturedStdout();
    struct Case {
        std::string from, to;
        const char* message;
    } cases[] = {
        {"sagekey_sequence\n\nPRESS\n", "sagekey_sequence\n\nPRESS\nnan\n", "is not a valid value for release"},
        {"sagekey_datainfo\n\nComplex\n", "sagekey_datainfo\n\nComplex\ninf\n",
         "'inf' is not a valid value for the centre frequency"},
        {"sagekey_datainfo\n\nComplex\n", "sagekey_datainfo\n\nComplex\n1e39\n",
         "'1e39' is not a valid value for the centre frequency"},
        {"sagekey_userinfo\n\n", "sagekey_userinfo\n\n2147483647\n",
         "'2147483647' is not a valid value for the number of user fields"},
        // a count larger than the fields that follow runs into the next section
        {"sagekey_userinfo\n\n", "sagekey_userinfo\n\n40\n", "'sagekey_dimension' is not a valid value for"},
        {"sagekey_dimension\n\n0\n", "sagekey_dimension\n\n0x1\n",
         "'0x1' is not a valid value for the dimension number"},
    };
    for (const Case& c : cases) {
        std::string text = good;
        // each insertion goes before the section's own fields, which then read one off
        const size_t p = text.find(c.from);
        ASSERT_NE(p, std::string::npos) << c.from;
        text.replace(p, c.from.size(), c.to);
        write_text(dir + "/bad.shf", text);
        std::memset(&h, 0, sizeof h);
        qorvane_status_clear(&st);
        testing::internal::CaptureStdout();
        EXPECT_EQ(read_sageidl_header((dir + "/bad.shf").c_str(), &h, &st), QORVANE_RC_FATAL) << c.to;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.message), std::string::npos) << c.to << "\n" << out;
        EXPECT_NE(out.find("sage headerfile : " + dir + "/bad.shf line "), std::string::npos) << out;
        EXPECT_EQ(st.exit_code, -1);
    }
}

TEST(PatternRefusals, EveryPatternValueIsAFiniteNumber) {
    const std::string dir = make_temp_dir("strict");
    const std::string good =
        "start_pattern\nnumber_of_lines 2\n"
        "parameters name line_type area frequency gauss_width zero_phase lorentz_width\n"
        "NAA voigt 2.0 120.0 6.0 10.0 4.0\n"
        "Cr lorentz 1.5 200.0 0.0 -20.0 6.0\n"
        "end_of_pattern\n";
    struct Case {
        const char *from, *to, *message;
    } cases[] = {
        {"6.0 10.0", "inf 10.0", "line 4 : 'inf' is not a valid value for gauss_width of pattern line 1"},
        {"2.0 120.0", "nan 120.0", "line 4 : 'nan' is not a valid value for area of pattern line 1"},
        {"200.0", "1e400", "line 5 : '1e400' is not a valid value for frequency of pattern line 2"},
        {"-20.0", "-20deg", "'-20deg' is not a valid value for zero_phase of pattern line 2"},
        {"6.0\nend", "0x6p0\nend", "'0x6p0' is not a valid value for lorentz_width of pattern line 2"},
        {"number_of_lines 2", "number_of_lines 2147483647", "'2147483647' is not a valid value for number_of_lines"},
        {"number_of_lines 2", "number_of_lines 2.5", "'2.5' is not a valid value for number_of_lines"},
    };
    auto run = [&](const std::string& text, std::string* out) {
        write_text(dir + "/p.pat", text);
        QorvaneFitContext* c = qorvane_context_create();
        qorvane_context_set_defaults(c);
        c->n_pnts = 512;
        c->verbos = 0;
        c->pattrn = 1;
        std::snprintf(c->pattern_path[1], sizeof c->pattern_path[1], "%s", (dir + "/p.pat").c_str());
        testing::internal::CaptureStdout();
        const int rc = fetch_patterns(c);
        *out = testing::internal::GetCapturedStdout();
        const int code = c->status.exit_code;
        qorvane_context_destroy(c);
        return rc == QORVANE_RC_OK ? 0 : code;
    };
    std::string out;
    ASSERT_EQ(run(good, &out), 0) << out;
    for (const Case& c : cases) {
        EXPECT_EQ(run(replace_once(good, c.from, c.to), &out), -1) << c.to;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.to << "\n" << out;
        EXPECT_NE(out.find("fatal error reading pattern file : " + dir + "/p.pat"), std::string::npos) << out;
        EXPECT_EQ(out.find("zero first time-domain point"), std::string::npos) << out;
    }
}

TEST(SpectrumRefusals, EmptyNonFiniteAndNonRegularDataFailTheFit) {
    const std::string dir = make_temp_dir("strict");
    ParFile p = two_lines();
    p.start = {{2, 900.0, 80.0, 4.5, 0.0, 0.0}};
    p.noistp = 270;
    write_text(dir + "/f.par", compact_par(p));
    std::vector<std::complex<double>> spectrum = make_spectrum(256, {Line{2, 900.0, 80.0, 4.5, 0.0, 0.0}});
    std::vector<std::complex<double>> nan_point = spectrum, nan_noise = spectrum;
    nan_point.resize(270);  // the file holds what noistp 270 needs
    nan_point[17] = {std::nan(""), 0.0};
    nan_noise.resize(270);  // noise points beyond N (noistp 270)
    nan_noise[258] = {0.0, INFINITY};
    write_text(dir + "/empty.bin", "");
    write_spectrum(dir + "/nan.bin", nan_point);
    write_spectrum(dir + "/noise.bin", nan_noise);
    mkdir((dir + "/dir.bin").c_str(), 0700);
    ASSERT_EQ(mkfifo((dir + "/fifo.bin").c_str(), 0600), 0);
    struct Case {
        const char *name, *message;
    } cases[] = {
        {"empty.bin", "holds 0 bytes, n_pnts 256 and noistp 270 need 2160"},
        {"nan.bin", "holds a non-finite point 17"},
        {"noise.bin", "holds non-finite noise points"},
        {"dir.bin", "cannot open spectrum"},
        {"fifo.bin", "cannot open spectrum"},  // refused at once: opening a pipe would wait for a writer
    };
    for (const Case& c : cases) {
        QorvaneSingleFitOutcome o;
        testing::internal::CaptureStdout();
        const int rc = qorvane_single_fit_run(dir.c_str(), c.name, (dir + "/f.par").c_str(), "t\t", &o);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 1) << c.name;
        EXPECT_NE(std::string(o.message).find(c.message), std::string::npos) << c.name << ": " << o.message;
    }
    // a pipe as fit-control file is refused the same way, without blocking
    ASSERT_EQ(mkfifo((dir + "/fifo.par").c_str(), 0600), 0);
    QorvaneSingleFitOutcome o;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(qorvane_single_fit_run(dir.c_str(), "empty.bin", (dir + "/fifo.par").c_str(), "t\t", &o), -1);
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
}
