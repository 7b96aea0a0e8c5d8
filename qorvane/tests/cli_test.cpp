// Command line of qorvane_pthreads: grammar, help, usage, option echo, exit codes, paths.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "lineshape_analytic.h"
#include "qfit_test_support.h"
#include "qorvane_cli.h"
#include "qorvane_lm.h"

namespace {

struct CliRun {
    int rc;
    std::string out, err;
};

CliRun run_cli(std::vector<std::string> args) {
    args.insert(args.begin(), "qorvane_pthreads.exe");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    CliRun r;
    r.rc = qorvane_main((int)args.size(), argv.data());
    fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

bool has(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

}  // namespace

TEST(Cli, NoArgumentsAsksForVolumeModeWithUsage) {
    CliRun r = run_cli({});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.err, "Missing required option: --mode volume\n"));
    EXPECT_TRUE(has(r.err, "Usage:\n"));
    EXPECT_TRUE(r.out.empty());
}

TEST(Cli, UsageTextIsCompleteOnEveryHelpSpelling) {
    for (const char* h : {"--help", "-h", "/?"}) {
        CliRun r = run_cli({h});
        EXPECT_EQ(r.rc, 0) << h;
        // the classic 1195-byte text, then the newer options
        EXPECT_EQ(r.out.find("  6 internal error\n") + strlen("  6 internal error\n"), 1195u) << h;
        EXPECT_EQ(r.out.rfind("Usage:\n\nLegacy single-spectrum mode:\n", 0), 0u);
        EXPECT_TRUE(has(r.out, "  qorvane_pthreads.exe --mode volume \\\n"));
        // everything after the classic text, line by line
        EXPECT_EQ(r.out.substr(1195),
                  "\n"
                  "Further options:\n"
                  "  --voxel-range FIRST:COUNT  Volume mode: fit only selected voxels FIRST..FIRST+COUNT-1.\n"
                  "  --minimizer lm|classic     Levenberg-Marquardt (lm, default) or the classic conjugate\n"
                  "                             gradients and random search; may lead any call, also\n"
                  "                             --minimizer classic <work_dir> <input_file> <parameter_file>.\n"
                  "  --line-spectra analytic|fft  Lorentzian lines (and Voigt lines of zero Gaussian width)\n"
                  "                             by their closed-form spectrum (analytic, default) or every\n"
                  "                             line by its time signal and an FFT (fft, the reference);\n"
                  "                             may lead any call like --minimizer.\n"
                  "\n"
                  "Merge mode (the shards of a job run with --voxel-range):\n"
                  "  qorvane_pthreads.exe --mode merge --output-dir <output-directory> <shard-dir>...\n"
                  "\n"
                  "NIfTI-MRS input (complex time-domain data, .nii or .nii.gz, NIfTI-1 or NIfTI-2):\n"
                  "  qorvane_pthreads.exe <work_dir> <file.nii.gz> <parameter_file>   one voxel (1 x 1 x 1 x N)\n"
                  "  --input-volume <file.nii.gz>  Volume mode: an MRSI (X x Y x Z x N); the parameter\n"
                  "                             maps go to <output-directory>/maps/.\n"
                  "  --mask <mask.nii.gz>       Volume mode, NIfTI-MRS input: fit only the voxels where the\n"
                  "                             mask (same grid) is non-zero; without it every voxel.\n"
                  "  --per-voxel-files          Volume mode, NIfTI-MRS input: also write the result files\n"
                  "                             of every voxel (QORVVOL1 jobs always write them).\n"
                  "\n"
                  "Long volume jobs:\n"
                  "  --resume                   Continue the job killed in this --output-dir from its journal\n"
                  "                             (same input, parameter file, mask and options); the finished\n"
                  "                             voxels are kept, the rest fitted.\n")
            << h;
    }
}

TEST(Cli, HelpTopicsAndOverview) {
    const char* titles[9] = {"Unix Version 2.4",
                             "GENERAL PROGRAM CHARACTERISTICS",
                             "INPUT DATA FILE FORMAT",
                             "QORVANE FIT CONTROL & STARTING VALUE FILES",
                             "OUTPUT FILES 'compact.par' AND 'verbose.par'",
                             "THE '.exl' OUTPUT FILE",
                             "OUTPUT FILES",
                             "NON LINEAR LEAST SQUARE MINIMIZATION",
                             "PATTERNS AND PRIOR KNOWLEDGE"};
    for (int n = 0; n <= 8; ++n) {
        CliRun r = run_cli({"-h", std::to_string(n)});
        EXPECT_EQ(r.rc, 0) << n;
        EXPECT_TRUE(has(r.out, titles[n])) << n;
        EXPECT_TRUE(has(r.out, "\n---\n")) << n;
        EXPECT_TRUE(has(r.out, "hlp_txt" + std::to_string(n))) << n;
    }
    for (const char* bad : {"9", "-1", "abc"}) {
        CliRun r = run_cli({"-h", bad});
        // "abc" converts to 0: topic 0 is printed.
        if (std::string(bad) == "abc") {
            EXPECT_EQ(r.rc, 0);
            continue;
        }
        EXPECT_EQ(r.rc, 1) << bad;
        EXPECT_TRUE(has(r.out, "///////////////////////////qorvane help/////////////////////////////// ")) << bad;
        EXPECT_TRUE(has(r.out, "| {prompt} qorvane -h 8  |  description on the usage of patterns")) << bad;
    }
}

TEST(Cli, OptionErrorsExitWithOne) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"-x", "b", "c"}, "Unknown command-line option: -x\n"},
        {{"--mode", "single"}, "Unsupported --mode value: 'single'. Expected 'volume' or 'merge'.\n"},
        {{"--minimizer", "cg", "w", "i", "p"}, "Invalid value for --minimizer: 'cg'. Expected 'lm' or 'classic'.\n"},
        {{"--minimizer"}, "Missing value after --minimizer.\n"},
        {{"--line-spectra", "exact", "w", "i", "p"},
         "Invalid value for --line-spectra: 'exact'. Expected 'analytic' or 'fft'.\n"},
        {{"--mode"}, "Missing value after --mode.\n"},
        {{"--mode", "volume", "--threads", "0"}, "Invalid value for --threads: 0. Expected range is 1..1024.\n"},
        {{"--mode", "volume", "--threads", "1025"}, "Invalid value for --threads: 1025. Expected range is 1..1024.\n"},
        {{"--mode", "volume", "--threads", "4x"}, "Invalid integer for --threads: '4x'\n"},
        {{"--mode", "volume", "--threads", ""}, "Invalid integer for --threads: ''\n"},
        {{"--mode", "volume", "--max-voxels", "65537"},
         "Invalid value for --max-voxels: '65537'. Expected range is 1..65536.\n"},
        {{"--mode", "volume", "--max-voxels", "-1"},
         "Invalid value for --max-voxels: '-1'. Expected range is 1..65536.\n"},
        {{"--mode", "volume", "--max-voxels", "0"},
         "Invalid value for --max-voxels: '0'. Expected range is 1..65536.\n"},
        {{"--mode", "volume", "--output-dir", "--threads", "2"}, "Missing value after --output-dir.\n"},
        {{"--mode", "volume", "--parameter-file", "p", "--output-dir", "o"},
         "Missing required option: --input-volume <path>\n"},
        {{"--mode", "volume", "--input-volume", "v", "--output-dir", "o"},
         "Missing required option: --parameter-file <path>\n"},
        {{"--mode", "volume", "--input-volume", "v", "--parameter-file", "p"},
         "Missing required option: --output-dir <path>\n"},
        {{"--mode", "volume", "--input-volume", std::string(1024, 'v')},
         "Command-line argument too long for --input-volume. Maximum is 1023 characters.\n"},
        {{std::string(1024, 'w'), "in", "par"},
         "Command-line argument too long for legacy <work_dir>. Maximum is 1023 characters.\n"},
    };
    for (const Case& c : cases) {
        CliRun r = run_cli(c.args);
        EXPECT_EQ(r.rc, 1) << c.message;
        EXPECT_TRUE(has(r.err, c.message)) << "expected: " << c.message << "got: " << r.err;
    }
    // An unknown option also prints the usage text on standard error.
    EXPECT_TRUE(has(run_cli({"--bogus"}).err, "Usage:\n"));
}

TEST(Cli, MaxVoxelsUpperBoundAcceptedAndEchoed) {
    CliRun r = run_cli({"--mode", "volume", "--input-volume", "/nonexistent/v.qorvvol", "--parameter-file", "p",
                        "--output-dir", "/nonexistent/o", "--max-voxels", "65536", "--threads", "1024"});
    EXPECT_EQ(r.rc, 2);  // accepted; the volume cannot be opened
    EXPECT_TRUE(has(r.out, "  mode                    : volume\n"));
    EXPECT_TRUE(has(r.out, "  max_voxels              : 65536\n"));
    EXPECT_TRUE(has(r.out, "  threads                 : 1024\n"));
    EXPECT_TRUE(has(r.err, "QORVVOL read error: cannot open input volume: /nonexistent/v.qorvvol\n"));
}

TEST(Cli, LegacyModeEchoAndPathLengthRestriction) {
    std::string dir = qfit_test::make_temp_dir("cli");
    std::string w116 = dir + "/" + std::string(116 - dir.size() - 1, 'd');
    ASSERT_EQ(w116.size(), 116u);
    CliRun r = run_cli({w116, "data.bin", "start.par"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.out, "implementation restriction : \n"));
    EXPECT_TRUE(has(r.out, "length of path (first) argument exceeds 115 characters : reduce size\n"));
    EXPECT_TRUE(has(r.out, "  mode                    : legacy-single\n"));
    EXPECT_TRUE(has(r.out, "  output_dir              : \n"));
    EXPECT_TRUE(has(r.out, "  threads                 : 1\n"));
    EXPECT_TRUE(has(r.out, "  max_voxels              : 65536\n"));
    EXPECT_TRUE(has(r.out, "  keep_intermediate_files : 0\n"));

    // 115 characters pass the check; the missing parameter file then stops the fit.
    std::string w115 = w116.substr(0, 115);
    r = run_cli({w115, "data.bin", dir + "/missing.par"});
    EXPECT_FALSE(has(r.out, "implementation restriction"));
    EXPECT_NE(r.rc, 0);
    EXPECT_TRUE(has(r.out + r.err, "cannot open starting value file"));

    r = run_cli({dir, std::string(256, 'i'), "p.par"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.out, "length of file (second) argument exceeds 255 characters : reduce size\n"));
    r = run_cli({dir, "data.bin", std::string(256, 'p')});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(has(r.out, "(third) argument exceeds 255 characters : reduce size\n"));
    qfit_test::remove_tree(dir);
}

TEST(Cli, JoinPathAndCopyBounds) {
    char buf[1024];
    ASSERT_EQ(qorvane_join_path(buf, "out", "a.tsv"), 0);
    EXPECT_STREQ(buf, "out/a.tsv");
    ASSERT_EQ(qorvane_join_path(buf, "out/", "a.tsv"), 0);
    EXPECT_STREQ(buf, "out/a.tsv");
    ASSERT_EQ(qorvane_join_path(buf, "C:\\data\\", "a.tsv"), 0);
    EXPECT_STREQ(buf, "C:\\data\\a.tsv");
    EXPECT_EQ(qorvane_join_path(buf, "", "a"), -1);
    std::string dir(1000, 'd');
    EXPECT_EQ(qorvane_join_path(buf, dir.c_str(), std::string(22, 'n').c_str()), 0);   // 1023 characters
    EXPECT_EQ(qorvane_join_path(buf, dir.c_str(), std::string(23, 'n').c_str()), -1);  // 1024 would not fit

    testing::internal::CaptureStderr();
    EXPECT_EQ(qorvane_cli_copy(buf, std::string(1023, 'x').c_str(), "l"), 0);
    EXPECT_EQ(qorvane_cli_copy(buf, std::string(1024, 'x').c_str(), "l"), 1);
    EXPECT_EQ(qorvane_cli_copy(buf, nullptr, "l"), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(has(err, "Internal CLI parser error.\n"));
}

TEST(Cli, EmptyWorkDirectoryIsTheCurrentOneNotTheRoot) {
    using namespace qfit_test;
    std::string dir = make_temp_dir("cli_cwd");
    ParFile p;
    p.n = 64;
    p.clcerr = 0;
    p.start = {{2, 100.0, 20.0, 3.0, 0.0, 0.0}};
    Step s;
    s.niter = 5;
    s.intervals = {{2, 60}};
    p.steps = {s};
    write_spectrum(dir + "/data.bin", make_spectrum(64, {{2, 110.0, 20.5, 3.0, 0.0, 0.0}}));
    write_text(dir + "/start.par", compact_par(p));
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    CliRun r = run_cli({"", "data.bin", "start.par"});
    ASSERT_EQ(chdir(old_cwd), 0);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(file_exists(dir + "/data.mat"));
    EXPECT_TRUE(file_exists(dir + "/data.fit"));
    // The .exl file starts with the command-line record: every word followed by a tab.
    std::string exl = read_text(dir + "/data.exl");
    EXPECT_EQ(exl.substr(0, exl.find('\n')), "qorvane_pthreads.exe\t\tdata.bin\tstart.par\t");
    remove_tree(dir);
}

// The help topics on the program, the fit-control file and the minimisers describe the
// minimiser that runs by default, and name the classic one as the alternative.
TEST(Cli, HelpTopicsDescribeTheMinimiserThatRuns) {
    for (int n : {0, 3, 7}) {
        CliRun r = run_cli({"-h", std::to_string(n)});
        EXPECT_EQ(r.rc, 0) << n;
        EXPECT_TRUE(has(r.out, "Levenberg-Marquardt")) << n << "\n" << r.out;
        EXPECT_TRUE(has(r.out, "--minimizer classic")) << n;
    }
}

// The classic minimiser is selected on the command line, before the three single-spectrum
// words or among the volume options, and runs end to end on the shipped example.
TEST(Cli, MinimiserIsSelectedOnTheCommandLine) {
    const std::string examples = QORVANE_EXAMPLES_DIR;
    struct Case {
        const char* word;  // value of --minimizer, or null for none
        const char* named;
    } cases[] = {{"classic", "minimiser (--minimizer)                    : classic: conjugate gradients"},
                 {"lm", "minimiser (--minimizer)                    : lm: Levenberg-Marquardt"},
                 {nullptr, "minimiser (--minimizer)                    : lm: Levenberg-Marquardt"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word != nullptr ? c.word : "default");
        const std::string dir = qfit_test::make_temp_dir("minimizer");
        for (const char* f : {"example.par", "example.sdf", "example.shf"})
            qfit_test::write_text(dir + "/" + f, qfit_test::read_text(examples + "/single/" + f));
        std::vector<std::string> args;
        if (c.word != nullptr) args = {"--minimizer", c.word};
        for (const std::string& a : {dir, std::string("example"), dir + "/example.par"}) args.push_back(a);
        CliRun r = run_cli(args);
        EXPECT_EQ(r.rc, 0) << r.out << r.err;
        EXPECT_TRUE(has(r.out, c.named)) << r.out;
        EXPECT_TRUE(has(r.out, "  mode                    : legacy-single\n"));
        const auto mat = qfit_test::read_matrix(dir + "/example.mat");
        ASSERT_EQ(mat.size(), 4u);
        for (const auto& row : mat)
            for (double v : row) EXPECT_TRUE(std::isfinite(v));
        // the call as given is the .exl record
        const std::string exl = qfit_test::read_text(dir + "/example.exl");
        EXPECT_EQ(exl.rfind(std::string("qorvane_pthreads.exe\t") + (c.word ? "--minimizer\t" : ""), 0), 0u) << exl;
        qfit_test::remove_tree(dir);
    }
    qorvane_minimizer_select(QORVANE_MINIMIZER_LM);
    // among the volume options
    QorvaneCliOptions o;
    std::vector<std::string> words = {"q", "--mode",       "volume", "--input-volume", "v",      "--parameter-file",
                                      "p", "--output-dir", "o",      "--minimizer",    "classic"};
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    EXPECT_EQ(qorvane_cli_parse((int)argv.size(), argv.data(), &o), -1);
    EXPECT_EQ(o.minimizer, QORVANE_MINIMIZER_REFERENCE + 1);
    EXPECT_EQ(o.line_spectra, 0);
    // both leading options before the three single-spectrum words, in either order
    for (const auto& lead : {std::vector<std::string>{"--line-spectra", "fft", "--minimizer", "classic"},
                             std::vector<std::string>{"--minimizer", "classic", "--line-spectra", "fft"}}) {
        std::vector<std::string> w = {"q"};
        w.insert(w.end(), lead.begin(), lead.end());
        for (const char* a : {"w", "i", "p"}) w.push_back(a);
        std::vector<char*> v;
        for (auto& x : w) v.push_back(x.data());
        QorvaneCliOptions lo;
        EXPECT_EQ(qorvane_cli_parse((int)v.size(), v.data(), &lo), -1);
        EXPECT_EQ(lo.minimizer, QORVANE_MINIMIZER_REFERENCE + 1);
        EXPECT_EQ(lo.line_spectra, QORVANE_LINE_SPECTRA_FFT + 1);
        EXPECT_EQ(lo.mode, QORVANE_MODE_LEGACY_SINGLE);
    }
}
