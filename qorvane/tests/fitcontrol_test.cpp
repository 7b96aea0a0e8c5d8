// Fit-control file: both forms, unit conversion, refusals and the checks.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fitcontrol_new.h"
#include "qorvane_context.h"
#include "qtest_files.h"

namespace {

std::string temp_dir() { return qtest::temp_dir("fc"); }
using qtest::read_text;
using qtest::write_text;

std::string replace(std::string s, const std::string &from, const std::string &to) {
    size_t p = s.find(from);
    if (p != std::string::npos) s.replace(p, from.size(), to);
    return s;
}

// Two lines: a Voigt line at 880 Hz (width1 1.67 Hz, width2 3 Hz) and a
// Lorentzian line whose frequency is tied to line 1.
std::string compact_text(const char *hz, int ranges, int verbos = 0) {
    std::ostringstream s;
    s << "version_3\n"
         "n_pnts 1024\nnoistr 1\nnoistp 25\nnLines 2\nlsfcfs 0\nphi__1 36.0\n"
      << "Hz_p_p " << hz << "\n"
      << "f__tol 1.0E-07\nfit_mo 1\n"
      << "verbos " << verbos << "\n"
      << "showli 1\nclcerr 1\nsg_idl none\n"
      << "ranges " << ranges << "\n"
      << "ignore 2\npattrn 0\n"
         "   algor trunc  ampli  frequ  width  phase  voigt  lsfft  wtype  convo  niter  cmplx   n_int   min   max\n"
         "@ 2 512 1 1 0 1 0 0 1 1 100 2 1 100 900\n"
         "@ 1 1024 1 1 1 1 1 0 7 0 20 0 2 100 400 500 900\n"
         "number       area          frequency      gausswidth        phase        lorentzwidth\n"
         "1  1.0E+03  880.0  1.67  10.0  3.0\n"
         "2  5.0E+02  300.0  4.0   -5.0  0.0\n"
         "#1\nlsffit 0\n"
         "3 0 1.0E+03 5.0E+02 1.5E+03\n"
         "3 0 880.0 870.0 890.0\n"
         "3 0 1.67 1.0 2.0\n"
         "3 0 10.0 -10.0 30.0\n"
         "3 0 3.0 1.0 5.0\n"
         "#2\nlsffit 1\n"
         "2 0 5.0E+02 1.0E+02 9.0E+02\n"
         "2 1 300.0 290.0 310.0\n"
         "2 0 4.0 2.0 6.0\n"
         "2 0 -5.0 -20.0 20.0\n"
         "2 0 0.0 0.0 0.0\n"
         "lsf_coefs\nend_of_lsf\n";
    return s.str();
}

// The same content with the min/max columns left out (ranges = 2).
std::string compact_text_no_ranges() {
    std::string t = compact_text("2.0", 2);
    const char *with[] = {
        "1.0E+03 5.0E+02 1.5E+03", "880.0 870.0 890.0", "1.67 1.0 2.0", "10.0 -10.0 30.0", "3.0 1.0 5.0",
        "5.0E+02 1.0E+02 9.0E+02", "300.0 290.0 310.0", "4.0 2.0 6.0",  "-5.0 -20.0 20.0", "0.0 0.0 0.0"};
    const char *without[] = {"1.0E+03", "880.0", "1.67", "10.0", "3.0", "5.0E+02", "300.0", "4.0", "-5.0", "0.0"};
    for (int i = 0; i < 10; ++i) t = replace(t, with[i], without[i]);
    return t;
}

struct Ctx {
    QorvaneFitContext *c;
    Ctx() : c(qorvane_context_create()) { qorvane_context_set_defaults(c); }
    ~Ctx() { qorvane_context_destroy(c); }
};

// Loads `path` into a fresh context; stdout is captured into *out when given.
int load(QorvaneFitContext *c, const std::string &path, std::string *out = nullptr) {
    std::snprintf(c->parameter_file, sizeof c->parameter_file, "%s", path.c_str());
    testing::internal::CaptureStdout();
    int rc = load_initial_value_file(c);
    std::string o = testing::internal::GetCapturedStdout();
    if (out) *out = o;
    return rc;
}

void expect_close(double a, double b, const char *what, int idx) {
    EXPECT_NEAR(a, b, 2e-6 * std::max(1.0, std::fabs(b))) << what << " " << idx;
}

void expect_same_context(const QorvaneFitContext *a, const QorvaneFitContext *b) {
    EXPECT_EQ(a->n_pnts, b->n_pnts);
    EXPECT_EQ(a->noistr, b->noistr);
    EXPECT_EQ(a->noistp, b->noistp);
    EXPECT_EQ(a->nLines, b->nLines);
    EXPECT_EQ(a->lsfcfs, b->lsfcfs);
    expect_close(a->phi_1, b->phi_1, "phi_1", 0);
    expect_close(a->hz_p_p, b->hz_p_p, "hz_p_p", 0);
    expect_close(a->f_tol, b->f_tol, "f_tol", 0);
    EXPECT_EQ(a->fit_mo, b->fit_mo);
    EXPECT_EQ(a->verbos, b->verbos);
    EXPECT_EQ(a->showli, b->showli);
    EXPECT_EQ(a->clcerr, b->clcerr);
    EXPECT_STREQ(a->sg_idl, b->sg_idl);
    EXPECT_EQ(a->data_format, b->data_format);
    EXPECT_EQ(a->par_ranges, b->par_ranges);
    EXPECT_EQ(a->ignore, b->ignore);
    EXPECT_EQ(a->pattrn, b->pattrn);
    EXPECT_EQ(a->npar, b->npar);
    EXPECT_EQ(a->lsf_start, b->lsf_start);
    ASSERT_EQ(a->nsteps, b->nsteps);
    for (int s = 1; s <= a->nsteps; ++s) {
        const QorvaneStrategyStep &x = a->step[s], &y = b->step[s];
        EXPECT_EQ(x.algor, y.algor);
        EXPECT_EQ(x.trunc, y.trunc);
        EXPECT_EQ(x.ampli, y.ampli);
        EXPECT_EQ(x.frequ, y.frequ);
        EXPECT_EQ(x.gauss, y.gauss);
        EXPECT_EQ(x.phase, y.phase);
        EXPECT_EQ(x.loren, y.loren);
        EXPECT_EQ(x.lsfft, y.lsfft);
        EXPECT_EQ(x.wtype, y.wtype);
        EXPECT_EQ(x.convo, y.convo);
        EXPECT_EQ(x.niter, y.niter);
        EXPECT_EQ(x.cmplx, y.cmplx);
        ASSERT_EQ(x.n_int, y.n_int);
        for (int k = 1; k <= x.n_int; ++k) {
            EXPECT_EQ(x.min[k], y.min[k]);
            EXPECT_EQ(x.max[k], y.max[k]);
        }
    }
    for (int p = 1; p <= a->npar; ++p) {
        expect_close(a->par_vec[p], b->par_vec[p], "par", p);
        EXPECT_EQ(a->fixpar[p].type, b->fixpar[p].type) << p;
        EXPECT_EQ(a->fixpar[p].fixed_to, b->fixpar[p].fixed_to) << p;
        expect_close(a->fixpar[p].value, b->fixpar[p].value, "value", p);
        expect_close(a->fixpar[p].min, b->fixpar[p].min, "min", p);
        expect_close(a->fixpar[p].max, b->fixpar[p].max, "max", p);
    }
    for (int i = 1; i <= a->nLines + a->pattrn; ++i) EXPECT_EQ(a->lsffit[i], b->lsffit[i]) << i;
}

}  // namespace

TEST(FitControlCompact, ReadsValuesAndConvertsHzToPoints) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", compact_text("2.0", 1));
    Ctx a;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    ASSERT_EQ(a.c->fcntl_faulty, 0);
    EXPECT_EQ(a.c->n_pnts, 1024);
    EXPECT_EQ(a.c->noistp, 25);
    EXPECT_EQ(a.c->data_format, QORVANE_FORMAT_NONE);
    EXPECT_EQ(a.c->nsteps, 2);
    EXPECT_EQ(a.c->step[2].n_int, 2);
    EXPECT_EQ(a.c->step[2].max[2], 900);
    EXPECT_EQ(a.c->step[1].convo, 1);
    EXPECT_EQ(a.c->lsf_start, 10);
    EXPECT_EQ(a.c->npar, 10);
    EXPECT_EQ(a.c->lsffit[2], 1);
    // frequency 880 Hz at 2 Hz per point is kept as 440 points, its range as well
    EXPECT_EQ(a.c->par_vec[2], 440.0);
    EXPECT_EQ(a.c->fixpar[2].value, 440.0);
    EXPECT_EQ(a.c->fixpar[2].min, 435.0);
    EXPECT_EQ(a.c->fixpar[2].max, 445.0);
    // Voigt width1: Hz / (1.67 Hz_p_p); width2: Hz / Hz_p_p
    EXPECT_NEAR(a.c->par_vec[3], 0.5, 1e-7);
    EXPECT_NEAR(a.c->fixpar[3].max, 2.0 / (1.67 * 2.0), 1e-7);
    EXPECT_EQ(a.c->par_vec[5], 1.5);
    // Lorentzian width1: Hz / Hz_p_p; its width2 is not converted
    EXPECT_EQ(a.c->par_vec[8], 2.0);
    EXPECT_EQ(a.c->fixpar[8].min, 1.0);
    // area and phase are not converted
    EXPECT_EQ(a.c->par_vec[1], 1000.0);
    EXPECT_EQ(a.c->par_vec[9], -5.0);
    EXPECT_EQ(a.c->fixpar[9].max, 20.0);
    EXPECT_EQ(a.c->fixpar[7].fixed_to, 1);
    // reading the file again gives the same strategy, not one appended to the last
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    EXPECT_EQ(a.c->nsteps, 2);
    EXPECT_EQ(a.c->par_vec[2], 440.0);
}

TEST(FitControlCompact, WrittenFileCarriesHzAndReadsBackToTheSameContext) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", compact_text("2.0", 1));
    Ctx a, b;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    ASSERT_EQ(write_f_cntl((dir + "/b.par").c_str(), a.c, "", "", ""), 0);
    const std::string text = read_text(dir + "/b.par");
    EXPECT_EQ(text.rfind("version_3\nn_pnts 1024\n", 0), 0u) << text;
    EXPECT_NE(text.find("Hz_p_p 2.0000000000E+00\n"), std::string::npos);
    EXPECT_NE(text.find("1\t1.00000000E+03\t8.80000000E+02\t"), std::string::npos) << text;
    EXPECT_NE(text.find("3\t0\t8.80000000E+02\t8.70000000E+02\t8.90000000E+02\t"), std::string::npos);
    EXPECT_NE(text.find("@    2    512      1"), std::string::npos);
    EXPECT_NE(text.find("User            :   \n"), std::string::npos);
    ASSERT_EQ(load(b.c, dir + "/b.par"), QORVANE_RC_OK);
    ASSERT_EQ(b.c->fcntl_faulty, 0);
    expect_same_context(a.c, b.c);
}

TEST(FitControlCompact, VoigtWidthOf1p67HzIsOnePointAndIsWrittenBackAs1p67) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", compact_text("1.0", 1));
    Ctx a, b;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    EXPECT_NEAR(a.c->par_vec[3], 1.0, 1e-7);
    ASSERT_EQ(write_f_cntl((dir + "/b.par").c_str(), a.c, "", "", ""), 0);
    // the starting-value line of line 1: index, area, frequency, width1, ...
    const std::string text = read_text(dir + "/b.par");
    size_t p = text.find("\n1\t");
    ASSERT_NE(p, std::string::npos);
    double idx, area, freq, width1;
    ASSERT_EQ(std::sscanf(text.c_str() + p, "%lf %lf %lf %lf", &idx, &area, &freq, &width1), 4);
    EXPECT_NEAR(width1, 1.67, 1e-7);
    EXPECT_EQ(freq, 880.0);
    ASSERT_EQ(load(b.c, dir + "/b.par"), QORVANE_RC_OK);
    EXPECT_EQ(b.c->par_vec[3], a.c->par_vec[3]);  // stable over the round trip
}

TEST(FitControlVerbose, BothFormsOfTheSameContentReadToTheSameContext) {
    const std::string dir = temp_dir();
    const std::string compact = dir + "/start.par";
    write_text(compact, compact_text("2.0", 1));
    Ctx a, b;
    ASSERT_EQ(load(a.c, compact), QORVANE_RC_OK);
    ASSERT_EQ(write_qorvane_strtval_file(compact.c_str(), a.c), 0);
    const std::string verbose = dir + "/start_verbose.par";
    EXPECT_STREQ(a.c->parameter_file, verbose.c_str());
    const std::string text = read_text(verbose);
    EXPECT_EQ(text.rfind("qorvane_begin_of_file\n", 0), 0u);
    EXPECT_NE(text.find("# QORVANE  FIT CONTROL & STARTING VALUE FILE"), std::string::npos);
    EXPECT_NE(text.find("8.800000E+02"), std::string::npos);
    EXPECT_NE(text.find("File created at :  "), std::string::npos);
    // fixed columns: step values up to convo "%3d  ", then "%4d  "; index "     %d     "
    EXPECT_NE(text.find("\n@    2  512    1    1    0    1    0    0    1    1   100     2     1   100   900  \n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n     1     1.000000E+03   8.800000E+02   1.670000E+00   1.000000E+01   3.000000E+00\n"),
              std::string::npos);
    EXPECT_NE(text.find("qorvane_spectrum_information\n1024\n  1\n 25\n  2\n  0\n3.6000000000E+01\n"),
              std::string::npos);
    std::string out;
    ASSERT_EQ(load(b.c, verbose, &out), QORVANE_RC_OK);
    ASSERT_EQ(b.c->fcntl_faulty, 0) << out;
    expect_same_context(a.c, b.c);
}

TEST(FitControlVerbose, FitControlSectionMayComeFirst) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", compact_text("2.0", 1));
    Ctx a, b;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    ASSERT_EQ(write_qorvane_strtval_file((dir + "/a.par").c_str(), a.c), 0);
    std::string text = read_text(dir + "/a_verbose.par");
    const size_t from = text.find("qorvane_fit_control\n");
    const size_t to = text.find("\n#", from);
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    const std::string section = text.substr(from, to + 1 - from);
    text.erase(from, to + 1 - from);
    text.insert(std::strlen("qorvane_begin_of_file\n"), section);
    write_text(dir + "/moved.par", text);
    std::string out;
    ASSERT_EQ(load(b.c, dir + "/moved.par", &out), QORVANE_RC_OK);
    ASSERT_EQ(b.c->fcntl_faulty, 0) << out << text;
    expect_same_context(a.c, b.c);
}

TEST(FitControlWriters, DefaultRangesAroundTheValuesWhenRangesAreNotUsed) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", compact_text("2.0", 0));
    Ctx a, b, c;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    ASSERT_EQ(write_f_cntl((dir + "/b.par").c_str(), a.c, "", "", ""), 0);
    ASSERT_EQ(write_qorvane_strtval_file((dir + "/a.par").c_str(), a.c), 0);
    ASSERT_EQ(load(b.c, dir + "/b.par"), QORVANE_RC_OK);
    ASSERT_EQ(load(c.c, dir + "/a_verbose.par"), QORVANE_RC_OK);
    // compact: area +-(0.5|v| + 1e-8); verbose: area +-(0.1|v| + 1e-8)
    EXPECT_NEAR(b.c->fixpar[1].min, 500.0, 1e-4);
    EXPECT_NEAR(b.c->fixpar[1].max, 1500.0, 1e-4);
    EXPECT_NEAR(c.c->fixpar[1].min, 900.0, 1e-4);
    EXPECT_NEAR(c.c->fixpar[1].max, 1100.0, 1e-4);
    for (const Ctx *x : {&b, &c}) {
        // frequency +-1 % in Hz (871.2 .. 888.8 Hz), phase +-20, widths +-10 %
        EXPECT_NEAR(x->c->fixpar[2].min, 871.2 / 2.0, 1e-4);
        EXPECT_NEAR(x->c->fixpar[2].max, 888.8 / 2.0, 1e-4);
        EXPECT_NEAR(x->c->fixpar[4].min, -10.0, 1e-5);
        EXPECT_NEAR(x->c->fixpar[4].max, 30.0, 1e-5);
        EXPECT_NEAR(x->c->fixpar[5].min, 0.9 * 1.5, 1e-6);
        EXPECT_NEAR(x->c->fixpar[8].max, 1.1 * 2.0, 1e-6);
    }
}

TEST(FitControlWriters, StoredWidth1RangeIsWrittenAsMagnitudesInTheCompactFormOnly) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", replace(compact_text("1.0", 1), "3 0 1.67 1.0 2.0", "3 0 1.67 -1.67 3.34"));
    Ctx a;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    ASSERT_EQ(write_f_cntl((dir + "/b.par").c_str(), a.c, "", "", ""), 0);
    ASSERT_EQ(write_qorvane_strtval_file((dir + "/b.par").c_str(), a.c), 0);
    EXPECT_NE(read_text(dir + "/b.par").find("3\t0\t1.66999996E+00\t1.66999996E+00\t3.33999991E+00\t\n"),
              std::string::npos)
        << read_text(dir + "/b.par");
    EXPECT_NE(read_text(dir + "/b_verbose.par").find("0\t1.670000E+00\t-1.670000E+00\t3.340000E+00\n"),
              std::string::npos)
        << read_text(dir + "/b_verbose.par");
}

TEST(FitControlWriters, FileWithoutRangesIsWrittenWithoutRangesAndReadsBack) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", compact_text_no_ranges());
    Ctx a, b, c;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    ASSERT_EQ(a.c->fcntl_faulty, 0);
    EXPECT_EQ(a.c->par_vec[2], 440.0);
    ASSERT_EQ(write_f_cntl((dir + "/b.par").c_str(), a.c, "", "", ""), 0);
    ASSERT_EQ(write_qorvane_strtval_file((dir + "/b.par").c_str(), a.c), 0);
    std::string out;
    ASSERT_EQ(load(b.c, dir + "/b.par", &out), QORVANE_RC_OK);
    EXPECT_EQ(b.c->fcntl_faulty, 0) << out;
    expect_same_context(a.c, b.c);
    ASSERT_EQ(load(c.c, dir + "/b_verbose.par", &out), QORVANE_RC_OK);
    EXPECT_EQ(c.c->fcntl_faulty, 0) << out;
    expect_same_context(a.c, c.c);
}

TEST(FitControlCompact, PriorKnowledgeValueFollowsTheStartingValue) {
    const std::string dir = temp_dir();
    const std::string t = replace(compact_text("2.0", 1, 3), "3 0 880.0 870.0 890.0", "3 0 875.0 870.0 890.0");
    write_text(dir + "/loud.par", t);
    write_text(dir + "/quiet.par", replace(t, "verbos 3", "verbos 0"));
    Ctx a, b;
    std::string out;
    ASSERT_EQ(load(a.c, dir + "/loud.par", &out), QORVANE_RC_OK);
    EXPECT_EQ(a.c->fixpar[2].value, 440.0);
    EXPECT_NE(out.find("warning read initial value file inconsistency in   Voigt line 1"), std::string::npos) << out;
    EXPECT_NE(out.find("parameter 2 : error corrected automatically"), std::string::npos);
    ASSERT_EQ(load(b.c, dir + "/quiet.par", &out), QORVANE_RC_OK);
    EXPECT_EQ(b.c->fixpar[2].value, 440.0);
    EXPECT_EQ(out.find("inconsistency"), std::string::npos) << out;
}

TEST(FitControlRead, UnopenableEmptyAndCorruptFilesGiveTheirStatuses) {
    const std::string dir = temp_dir();
    {
        Ctx a;
        qorvane_fcntl_clear_last_error();
        std::string out;
        EXPECT_EQ(load(a.c, dir + "/absent.par", &out), QORVANE_RC_FATAL);
        EXPECT_NE(out.find("I/O error: cannot open starting value file: " + dir + "/absent.par"), std::string::npos);
        EXPECT_EQ(a.c->status.exit_code, -1);
        const QorvaneFcntlError *e = qorvane_fcntl_last_error();
        EXPECT_EQ(e->code, QORVANE_FCNTL_OPEN_FAILURE);
        EXPECT_EQ(std::string(e->message).rfind("src/fitcontrol_new:", 0), 0u) << e->message;
        EXPECT_NE(std::string(e->message).find(": fopen failed: I/O read error (errno=2: "), std::string::npos)
            << e->message;
    }
    {
        write_text(dir + "/empty.par", "   \n");
        Ctx a;
        std::string out;
        EXPECT_EQ(load(a.c, dir + "/empty.par", &out), QORVANE_RC_FATAL);
        EXPECT_NE(out.find("I/O error: cannot read header token from: "), std::string::npos);
        EXPECT_EQ(a.c->status.exit_code, -1);
    }
    {
        write_text(dir + "/v2.par", replace(compact_text("2.0", 1), "version_3", "version_2"));
        Ctx a;
        std::string out;
        EXPECT_EQ(load(a.c, dir + "/v2.par", &out), QORVANE_RC_OK);
        EXPECT_EQ(a.c->fcntl_faulty, 1);
        EXPECT_EQ(a.c->status.fatal, 0);
        EXPECT_NE(out.find("Unsupported/corrupt startval file: " + dir + "/v2.par\n"), std::string::npos);
        EXPECT_NE(out.find("First token was: 'version_2'\n"), std::string::npos);
    }
    {
        write_text(dir + "/keys.par", replace(compact_text("2.0", 1), "noistp 25", "noistp x25"));
        Ctx a;
        testing::internal::CaptureStderr();
        EXPECT_EQ(load(a.c, dir + "/keys.par"), QORVANE_RC_FATAL);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("Parse error: fit-control file appears corrupt: " + dir + "/keys.par\n"), std::string::npos)
            << err;
        EXPECT_EQ(a.c->status.exit_code, 1);
    }
}

TEST(FitControlRead, MisplacedSectionsMarkTheFileFaultyWithTheirMessages) {
    const std::string dir = temp_dir();
    const std::string base = compact_text("2.0", 1);
    struct Case {
        std::string text;
        const char *message;
    };
    const Case cases[] = {
        {replace(base, "   algor", "   algo"), "file format error in line 2 to 16 "},
        {replace(base, "   algor", "   algor"), nullptr},  // control: the base file reads
        {replace(base, "@ 1 1024", "@ 1 x1024"), "file format error in fit strategy definition "},
        {replace(base, "number       area", "nunber       area"), "file format error in fit strategy definition "},
        {replace(base, "#1\n", "#one\n"), "string found in file    : #one"},
        {replace(base, "lsf_coefs", "lsf_coef"), "error reading prior knowledge information "},
        {replace(base, "end_of_lsf", "end_lsf"), "error reading lsf fourier coefficients "},
    };
    for (const Case &c : cases) {
        write_text(dir + "/x.par", c.text);
        Ctx a;
        std::string out;
        EXPECT_EQ(load(a.c, dir + "/x.par", &out), QORVANE_RC_OK);
        EXPECT_EQ(a.c->status.fatal, 0);
        if (!c.message) {
            EXPECT_EQ(a.c->fcntl_faulty, 0) << out;
            continue;
        }
        EXPECT_EQ(a.c->fcntl_faulty, 1) << c.message;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.message << "\n" << out;
    }
}

TEST(FitControlRead, CountsBeyondTheStorageAreRefusedNotWrittenPastArrays) {
    const std::string dir = temp_dir();
    const std::string base = compact_text("2.0", 1);
    std::string many_steps = base;
    {
        std::string steps;
        for (int s = 0; s < 20; ++s) steps += "@ 2 512 1 1 0 1 0 0 1 0 100 2 1 100 900\n";
        many_steps = replace(base, "@ 2 512 1 1 0 1 0 0 1 1 100 2 1 100 900\n", steps);
    }
    struct Case {
        std::string text;
        const char *message;
    };
    const Case cases[] = {
        {many_steps, "more than 19 fit strategy steps"},
        {replace(base, "nLines 2", "nLines 50"), "50 lines and patterns declared; at most 49"},
        {replace(base, "nLines 2", "nLines 40\nlsfcfs 80"), "360 model parameters declared; at most 350"},
        {replace(base, "nLines 2", "nLines -1"), "negative number of lines"},
        {replace(base, "n_pnts 1024", "n_pnts 1000"), "must be a power of 2"},
        {replace(base, "n_pnts 1024", "n_pnts 1048576"), "must be a power of 2"},
        {replace(base, "Hz_p_p 2.0", "Hz_p_p 0.0"), "Hz per point must be positive"},
        {replace(base, "@ 2 512 1 1 0 1 0 0 1 1 100 2 1 100 900",
                 "@ 2 512 1 1 0 1 0 0 1 1 100 2 11 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22"),
         "has 11 intervals"},
        {replace(base, "pattrn 0\n", "pattrn 1\n/" + std::string(250, 'p') + ".pat\n"), "longer than 199 characters"},
    };
    for (const Case &c : cases) {
        std::string text = c.text;
        // the inserted "lsfcfs 80" replaces the original key
        size_t p = text.find("lsfcfs 80\nlsfcfs 0\n");
        if (p != std::string::npos) text.replace(p, 19, "lsfcfs 80\n");
        write_text(dir + "/x.par", text);
        Ctx a;
        std::string out;
        EXPECT_EQ(load(a.c, dir + "/x.par", &out), QORVANE_RC_OK) << c.message;
        EXPECT_EQ(a.c->fcntl_faulty, 1) << c.message;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.message << "\n" << out;
        EXPECT_LE(a.c->nsteps, QORVANE_MAX_STEPS);
    }
}

TEST(FitControlVerbose, TruncatedAndMistypedFilesRecordTheFirstFault) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", compact_text("2.0", 1));
    Ctx a;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    ASSERT_EQ(write_qorvane_strtval_file((dir + "/a.par").c_str(), a.c), 0);
    const std::string good = read_text(dir + "/a_verbose.par");

    // cut before the prior knowledge is complete: a read error
    write_text(dir + "/cut.par", good.substr(0, good.find("qorvane_prior_knowledge") + 40));
    qorvane_fcntl_clear_last_error();
    Ctx b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(b.c, dir + "/cut.par"), QORVANE_RC_OK);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(b.c->fcntl_faulty, 1);
    EXPECT_EQ(qorvane_fcntl_last_error()->code, QORVANE_FCNTL_READ_ERROR);
    EXPECT_NE(std::string(qorvane_fcntl_last_error()->message).find("fscanf failed: I/O read error"),
              std::string::npos);
    EXPECT_NE(err.find("==> src/fitcontrol_new:"), std::string::npos) << err;

    // a word where a number belongs: a format mismatch; a later fault does not replace it
    size_t p = good.find("qorvane_fit_control\n");
    ASSERT_NE(p, std::string::npos);
    std::string bad = good;
    bad.replace(p + std::strlen("qorvane_fit_control\n"), 1, "x");
    write_text(dir + "/bad.par", bad);
    qorvane_fcntl_clear_last_error();
    Ctx c, d;
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(c.c, dir + "/bad.par"), QORVANE_RC_OK);
    EXPECT_EQ(c.c->fcntl_faulty, 1);
    EXPECT_EQ(load(d.c, dir + "/cut.par"), QORVANE_RC_OK);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(qorvane_fcntl_last_error()->code, QORVANE_FCNTL_FORMAT_MISMATCH);
    EXPECT_NE(std::string(qorvane_fcntl_last_error()->message).find("fscanf failed: format mismatch"),
              std::string::npos);
}

TEST(FitControlWriters, UnwritableTargetIsReportedAndWritesNothing) {
    const std::string dir = temp_dir();
    write_text(dir + "/a.par", compact_text("2.0", 1));
    Ctx a;
    ASSERT_EQ(load(a.c, dir + "/a.par"), QORVANE_RC_OK);
    qorvane_fcntl_clear_last_error();
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_f_cntl((dir + "/missing/dir.par").c_str(), a.c, "", "", ""), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" error_hs : file not opened"), std::string::npos);
    EXPECT_EQ(qorvane_fcntl_last_error()->code, QORVANE_FCNTL_OPEN_FAILURE);
    EXPECT_EQ(access((dir + "/missing/dir.par").c_str(), F_OK), -1);
}

// ---- checks ------------------------------------------------------------------------------

namespace {

// A consistent context: one Voigt line, one conjugate-gradient step.
void baseline(QorvaneFitContext *c) {
    std::memset(c, 0, sizeof *c);
    qorvane_context_set_defaults(c);
    c->verbos = 0;
    c->nLines = 1;
    c->noistr = 1;
    c->noistp = 25;
    c->nsteps = 1;
    QorvaneStrategyStep &s = c->step[1];
    s.algor = 2;
    s.trunc = 512;
    s.ampli = s.frequ = s.gauss = s.phase = s.loren = 1;
    s.wtype = 1;
    s.niter = 100;
    s.cmplx = 2;
    s.n_int = 1;
    s.min[1] = 100;
    s.max[1] = 900;
    for (int j = 1; j <= 5; ++j) {
        c->fixpar[j].type = QORVANE_LINE_VOIGT;
        c->par_vec[j] = c->fixpar[j].value = j;
    }
}

std::string run_checks(QorvaneFitContext *c) {
    testing::internal::CaptureStdout();
    test_init_value_file(c);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(FitControlChecks, EachFatalConditionClearsTheOkFlagWithItsMessage) {
    Ctx h;
    QorvaneFitContext *c = h.c;
    baseline(c);
    std::string out = run_checks(c);
    ASSERT_EQ(c->init_ok, 1) << out;
    EXPECT_EQ(out.find("fatal"), std::string::npos) << out;

    struct Case {
        void (*mutate)(QorvaneFitContext *);
        const char *message;
    };
    const Case cases[] = {
        {[](QorvaneFitContext *x) { x->nLines = 0; }, "\tprogram cannot fit less than one line"},
        {[](QorvaneFitContext *x) { x->nLines = 50; }, "\tprogram cannot fit more than 49 lines and patterns"},
        {[](QorvaneFitContext *x) { x->lsfcfs = -1; }, "negative number of lineshape coefficients"},
        {[](QorvaneFitContext *x) {
             x->nLines = 40;
             x->lsfcfs = 76;
         },
         " # lsf      parameters : 152"},
        {[](QorvaneFitContext *x) {
             x->noistp = -1;
             x->noistr = -2;
         },
         "end of noise interval < 0"},
        {[](QorvaneFitContext *x) { x->noistr = -1; }, "start of noise interval < 0"},
        {[](QorvaneFitContext *x) { x->noistr = 30; }, "noise region is higher than ending point number"},
        {[](QorvaneFitContext *x) { x->nsteps = 0; }, "number of fit strategy steps should at least be 1"},
        {[](QorvaneFitContext *x) { x->step[1].trunc = -1; }, "truncated after a negative number of points"},
        {[](QorvaneFitContext *x) { x->step[1].trunc = 1025; }, ">> choose a number between 1 and 1024"},
        {[](QorvaneFitContext *x) { x->step[1].algor = 3; }, "illegal minimization method"},
        {[](QorvaneFitContext *x) {
             x->step[1].n_int = 2;
             x->step[1].min[2] = 0;
             x->step[1].max[2] = 1000;
         },
         "illegal fit range (i.e. total # of fd points) : 1800"},
        {[](QorvaneFitContext *x) { x->step[1].max[1] = 1025; }, "lies outside the spectral points 0 .. 1024"},
        {[](QorvaneFitContext *x) { x->step[1].min[1] = -1; }, "interval 1 (-1 .. 900) lies outside"},
        {[](QorvaneFitContext *x) { x->step[1].convo = 2; }, "choice in fit strategy step 1"},
        {[](QorvaneFitContext *x) { x->step[1].niter = 0; }, "illegal number of iterations in fit strategy step 1"},
        {[](QorvaneFitContext *x) { x->step[1].cmplx = 5; }, "illegal spectrum mode fit is wanted"},
        {[](QorvaneFitContext *x) { x->fixpar[3].type = 5; }, " has an unknown lineshape type : "},
        {[](QorvaneFitContext *x) { x->fixpar[2].fixed_to = 7; }, "which does not exist"},
        {[](QorvaneFitContext *x) {
             x->nLines = 2;
             for (int j = 6; j <= 10; ++j) x->fixpar[j].type = QORVANE_LINE_LORENTZ;
             x->fixpar[8].fixed_to = 1;
         },
         "illegal linewidth prior knowledge line 2 and line 1 : linetype mismatch"},
        {[](QorvaneFitContext *x) {
             x->nLines = 2;
             for (int j = 6; j <= 10; ++j) x->fixpar[j].type = QORVANE_LINE_LORENTZ;
             x->fixpar[10].fixed_to = 1;
         },
         "illegal linewidth prior knowledge line 2 and line 1  : linetype mismatch"},
    };
    for (const Case &k : cases) {
        baseline(c);
        k.mutate(c);
        out = run_checks(c);
        EXPECT_EQ(c->init_ok, 0) << k.message << "\n" << out;
        EXPECT_NE(out.find("fit_check_message -> fatal error :"), std::string::npos) << k.message;
        EXPECT_NE(out.find(k.message), std::string::npos) << k.message << "\n" << out;
    }
}

TEST(FitControlChecks, LineAndParameterLimits) {
    Ctx h;
    QorvaneFitContext *c = h.c;
    baseline(c);
    c->nLines = 45;
    c->pattrn = 4;  // 49 lines and patterns pass
    for (int i = 1; i <= 49; ++i)
        for (int j = 1; j <= 5; ++j)
            c->fixpar[qorvane_par_index(i, j)].type = i > 45 ? QORVANE_LINE_PATTERN : QORVANE_LINE_VOIGT;
    for (int p = 1; p <= 245; ++p) c->par_vec[p] = c->fixpar[p].value;
    std::string out = run_checks(c);
    EXPECT_EQ(c->init_ok, 1) << out;
    c->pattrn = 5;  // 50 fail
    out = run_checks(c);
    EXPECT_EQ(c->init_ok, 0);
    EXPECT_NE(out.find("more than 49 lines and patterns"), std::string::npos);

    // 70 lines make 350 parameters: only the line limit complains
    baseline(c);
    c->nLines = 70;
    out = run_checks(c);
    EXPECT_EQ(c->init_ok, 0);
    EXPECT_NE(out.find("more than 49 lines"), std::string::npos);
    EXPECT_EQ(out.find("exceeds maximum 350"), std::string::npos) << out;
    c->lsfcfs = 1;  // one coefficient pair more: 352
    out = run_checks(c);
    EXPECT_NE(out.find("\t total number of model parameters exceeds maximum 350"), std::string::npos);
    EXPECT_NE(out.find(" # line     parameters : 350"), std::string::npos);

    // absurd counts and bounds from a hand-edited file are reported, not overflowed
    baseline(c);
    c->nLines = 2147483647;
    c->pattrn = 2147483647;
    c->lsfcfs = 2147483647;
    c->step[1].max[1] = 2147483647;
    c->step[1].min[1] = -2147483647;
    out = run_checks(c);
    EXPECT_EQ(c->init_ok, 0);
    EXPECT_NE(out.find(" # lsf      parameters : 4294967294"), std::string::npos) << out;
    EXPECT_NE(out.find("illegal fit range (i.e. total # of fd points) : 4294967294"), std::string::npos);
}

TEST(FitControlChecks, WarningsAndNotesLeaveTheOkFlagSet) {
    Ctx h;
    QorvaneFitContext *c = h.c;
    struct Case {
        void (*mutate)(QorvaneFitContext *);
        const char *message;  // expected text
        const char *absent;   // text that must not appear (or null)
    };
    const Case cases[] = {
        {[](QorvaneFitContext *x) { x->phi_1 = -10.0; }, "acquisition start before t=0", nullptr},
        {[](QorvaneFitContext *x) {
             x->step[1].algor = 1;
             x->step[1].niter = 50;
             x->verbos = 3;
         },
         "in random fit strategy step 1 by software to 20", nullptr},
        {[](QorvaneFitContext *x) {
             x->step[1].algor = 1;
             x->verbos = 2;
         },
         "", "by software to 20"},
        {[](QorvaneFitContext *x) { x->step[1].ampli = 0; }, "area parameters will not be fitted ",
         "frequency parameters will not be fitted"},
        {[](QorvaneFitContext *x) {
             x->step[1].frequ = 0;
             x->verbos = 3;
         },
         "frequency parameters will not be fitted ", nullptr},
        {[](QorvaneFitContext *x) {
             x->step[1].niter = 300;
             x->verbos = 3;
         },
         " is very large namely : 300", nullptr},
        {[](QorvaneFitContext *x) {
             for (int j = 1; j <= 5; ++j) x->fixpar[j].type = QORVANE_LINE_LORENTZ;
         },
         "only lorentzian lineshapes in model :", nullptr},
        {[](QorvaneFitContext *x) { x->fixpar[4].value = 9.0; }, "WARNING tsts  initial value file inconsistency in ",
         nullptr},
        {[](QorvaneFitContext *x) { x->verbos = 3; }, "lsf parameters will not be  fitted ", nullptr},
        {[](QorvaneFitContext *x) { x->verbos = 1; }, "testing input parameter values             : done ", nullptr},
        // an interval may end at point N (total range N) and a line shown in detail
        // need not exist: neither is a finding
        {[](QorvaneFitContext *x) {
             x->step[1].min[1] = 0;
             x->step[1].max[1] = 1024;
             x->showli = 9;
         },
         "", "fit_check_message"},
    };
    for (const Case &k : cases) {
        baseline(c);
        k.mutate(c);
        std::string out = run_checks(c);
        EXPECT_EQ(c->init_ok, 1) << k.message << "\n" << out;
        EXPECT_NE(out.find(k.message), std::string::npos) << k.message << "\n" << out;
        if (k.absent) {
            EXPECT_EQ(out.find(k.absent), std::string::npos) << k.absent << "\n" << out;
        }
    }
}
