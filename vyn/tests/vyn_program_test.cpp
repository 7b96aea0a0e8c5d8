// vyn as a person or a script uses it: the built program in a temporary
// installation tree, standard input from a pipe, no display. Mistyped
// options, scratch directories of ended runs, plots without a display, the
// paths in messages and the optimiser's report of the operator as typed.
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "observablespectrumcalculator.h"
#include "vyn_test_support.h"
#include "vynlaunch.h"
#include "vynrundirs.h"

namespace {

std::string find_built_vyn() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    std::string top = dir.substr(0, dir.rfind('/'));
    struct stat st;
    const std::string exe = top + "/vyn";
    return stat(exe.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? exe : "";
}

struct Result {
    int rc;
    std::string out, err;
};

void write_doubles(const std::string& path, const std::vector<double>& values) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(values.data(), sizeof(double), values.size(), f);
    fclose(f);
}

long long tree_bytes = 0;
int add_file_bytes(const char*, const struct stat* st, int type, struct FTW*) {
    if (type == FTW_F && S_ISREG(st->st_mode)) tree_bytes += st->st_size;
    return 0;
}
// Sizes of the regular files below dir.
long long file_bytes(const std::string& dir) {
    tree_bytes = 0;
    nftw(dir.c_str(), add_file_bytes, 8, FTW_PHYS);
    return tree_bytes;
}

// Pid of a process that has ended and been reaped.
pid_t ended_pid() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    int st = 0;
    waitpid(pid, &st, 0);
    return pid;
}

// An installation tree with the built vyn in build/ and one model of two
// uncoupled spin-1/2 nuclei (hard pulse, then a receiver window).
class Program : public ::testing::Test {
  protected:
    vyntest::InstallTree tree;
    std::string exe;
    void SetUp() override {
        const std::string built = find_built_vyn();
        if (built.empty()) GTEST_SKIP() << "vyn executable not built next to the tests";
        vyn_paths_override_executable_path(nullptr);
        exe = tree.path("build/vyn");
        ASSERT_EQ(std::system(("cp '" + built + "' '" + exe + "'").c_str()), 0);
        vyntest::mkdirs(tree.path("spin-systems"));
        vyntest::mkdirs(tree.path("sequences/two"));
        const double b1 = (M_PI / 2) / 1e-5;
        write_doubles(tree.path("rf-output/hard.bin"), {b1, b1, b1, b1, 0, 0, 0, 0});
        write_doubles(tree.path("rf-output/adc.bin"), std::vector<double>(2 * 16, 0.0));
        vyntest::write_file(tree.path("spin-systems/two.vynspin"),
                            "format_version: 1\nnspins: 2\nspin_quantum_numbers: 1 1\nrelative_intensities: 1 1\n"
                            "resonance_offsets_hz: 0 300\ncoupling_mode: 1\njcoupling_hz: 1 2 0\n");
        vyntest::write_file(tree.path("sequences/two/two.vynseq"),
                            "format_version: 1\nsequence_type: 2\nnumber_of_sectors: 2\n"
                            "sector_type: 1 1\nsector_timepoints: 1 4\nsector_evolpoints: 1 1\n"
                            "sector_duration_s: 1 1e-5\nsector_pulsefile: 1 ../../rf-output/hard.bin\n"
                            "sector_statoff_hz: 1 0\nsector_type: 2 1\nsector_timepoints: 2 16\n"
                            "sector_evolpoints: 2 1\nsector_duration_s: 2 0.016\n"
                            "sector_pulsefile: 2 ../../rf-output/adc.bin\nsector_statoff_hz: 2 0\n"
                            "sector_remark: 2 ADC\n");
        vyntest::write_file(tree.path("models/two.vynmodel"),
                            "format_version: 1\nspin_system_file: ../spin-systems/two.vynspin\n"
                            "sequence_file: ../sequences/two/two.vynseq\nndx: 1\nndy: 1\nndz: 1\nx0_cm: 0\n"
                            "y0_cm: 0\nz0_cm: 0\ndx_cm: 0\ndy_cm: 0\ndz_cm: 0\nresult_file: two.bin\n");
    }
    // Runs vyn from the tree's root with args (already quoted for the shell),
    // the input text through a pipe and no display.
    Result run(const std::string& args, const std::string& input = "") {
        const std::string in = tree.path("in.txt"), out = tree.path("out.txt"), err = tree.path("err.txt");
        vyntest::write_file(in, input);
        const std::string cmd = "cd '" + tree.root + "' && cat '" + in + "' | env -u DISPLAY -u WAYLAND_DISPLAY '" +
                                exe + "' " + args + " >'" + out + "' 2>'" + err + "'";
        const int st = std::system(cmd.c_str());
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, vyntest::read_file(out), vyntest::read_file(err)};
    }
    std::string runs() const { return tree.path("build/runtime/runs"); }
};

TEST_F(Program, UnknownOptionsEndWithTheUsage) {
    const std::string model = "models/two.vynmodel";
    const char* const unknown[] = {
        "--run-modle "
        "models/two.vynmodel",
        "-x",
        "--RUN-MODEL models/two.vynmodel",
        "--helpx",
        "-",
        "--run-model models/two.vynmodel --verbose",
        "-H"};
    for (const char* args : unknown) {
        const Result r = run(args, "1\n");
        EXPECT_EQ(r.rc, 1) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(r.err.rfind("Usage:\n", 0), 0u) << args << r.err;
        EXPECT_NE(r.err.find("vyn --run-model MODEL.vynmodel"), std::string::npos) << args;
        EXPECT_FALSE(vyntest::exists(tree.path("build/runtime"))) << args;  // nothing was started
    }
    // The bare program, and lists of known words, still open the menus.
    for (const char* args : {"", "--help x", "--version --help", "models/two.vynmodel"}) {
        const Result r = run(args, "");
        EXPECT_EQ(r.rc, 0) << args;
        EXPECT_NE(r.out.find(" VYN Main Menu"), std::string::npos) << args;
        EXPECT_EQ(r.err, "") << args;
    }
    // Values of a command are no options: a negative voxel number is refused as a value.
    const Result r = run("--voxel-signal " + model + " d.bin -3 o.bin");
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "[VYN] Voxel signal point index must be a positive integer.\n");
}

// Scratch directories of ended processes go at the next start; those of live
// ones, and everything not of vyn's naming, stay.
TEST_F(Program, RunDirectoriesOfEndedProcessesAreRemoved) {
    // A finished run leaves its directory, named for a process now gone.
    Result r = run("--run-model models/two.vynmodel");
    ASSERT_EQ(r.rc, 0) << r.err;
    ASSERT_TRUE(vyntest::exists(tree.path("build/runtime/results/two.bin")));
    std::string finished;
    {
        DIR* d = opendir(runs().c_str());
        ASSERT_NE(d, nullptr);
        for (struct dirent* e; (e = readdir(d)) != nullptr;)
            if (std::string(e->d_name).rfind("two_", 0) == 0) finished = e->d_name;
        closedir(d);
    }
    ASSERT_FALSE(finished.empty());
    const long long finished_bytes = file_bytes(runs() + "/" + finished);
    EXPECT_GT(finished_bytes, 0);

    const std::string dead = std::to_string(ended_pid()), live = std::to_string(getpid());
    const std::string outside = tree.path("outside");
    vyntest::mkdirs(outside);
    vyntest::write_file(outside + "/keep.txt", "kept");
    struct Plant {
        std::string name;
        bool dir, lock_file;
        long long bytes;
        bool removed;
    } plants[] = {
        {"killed_" + dead, true, false, 3072, true},   // process gone
        {"reused_" + live, true, true, 2048, true},    // id in use again, lock free: owner gone
        {"held_" + live, true, true, 100, false},      // lock held by a live process
        {"nolock_" + live, true, false, 100, false},   // live process, no lock file: cannot tell
        {"Upper_" + dead, true, false, 100, false},    // not a short-name leaf
        {"file_" + dead, false, false, 100, false},    // not a directory
        {"x_" + dead + "y", true, false, 100, false},  // not an id
    };
    for (const Plant& p : plants) {
        const std::string path = runs() + "/" + p.name;
        if (!p.dir) {
            vyntest::write_file(path, std::string(p.bytes, 'f'));
            continue;
        }
        vyntest::mkdirs(path + "/sub");
        vyntest::write_file(path + "/sub/data", std::string(p.bytes, 'd'));
        if (p.lock_file) vyntest::write_file(path + "/" + VYN_RUN_LOCK_NAME, "");
        ASSERT_EQ(symlink(outside.c_str(), (path + "/link").c_str()), 0);  // removed, never followed
    }
    ASSERT_EQ(symlink(outside.c_str(), (runs() + "/ln_" + dead).c_str()), 0);
    const int held = open((runs() + "/held_" + live + "/" + VYN_RUN_LOCK_NAME).c_str(), O_RDWR);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    r = run("", "");
    close(held);
    ASSERT_EQ(r.rc, 0) << r.err;
    long long freed = finished_bytes;
    int removed = 1;
    for (const Plant& p : plants) {
        EXPECT_EQ(vyntest::exists(runs() + "/" + p.name), !p.removed) << p.name;
        if (p.removed) freed += p.bytes, ++removed;
    }
    EXPECT_FALSE(vyntest::exists(runs() + "/" + finished));
    EXPECT_TRUE(vyntest::exists(runs() + "/ln_" + dead));
    EXPECT_EQ(vyntest::read_file(outside + "/keep.txt"), "kept");
    // One line says how much went; the sizes are those planted.
    const std::string head =
        "[VYN] Removed " + std::to_string(removed) + " run directories of ended processes from " + runs() + " (";
    const size_t at = r.out.find(head);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string shown = r.out.substr(at + head.size(), r.out.find(')', at) - at - head.size());
    char expect[32];
    std::snprintf(expect, sizeof expect, "%.1f KiB freed", freed / 1024.0);
    EXPECT_EQ(shown, expect);
    EXPECT_EQ(r.out.find("[VYN] Removed", at + 1), std::string::npos);

    // The lock let go (its holder ended), the directory goes at the next start;
    // after that there is nothing to remove and no line at all.
    r = run("", "");
    EXPECT_EQ(
        r.out.rfind("[VYN] Removed 1 run directory of ended processes from " + runs() + " (100 bytes freed).\n", 0), 0u)
        << r.out;
    EXPECT_FALSE(vyntest::exists(runs() + "/held_" + live));
    EXPECT_TRUE(vyntest::exists(runs() + "/nolock_" + live));
    r = run("", "");
    EXPECT_EQ(r.out.find("[VYN] Removed"), std::string::npos) << r.out;
}

// The spin-state selective pulse for I1x + I2z, driven through a pipe: the
// objective lines show <O> of the normalised operator and of the operator as
// typed, the pulse CSV is named by its full path and, without a display,
// its plot is a PNG beside it with none of gnuplot's messages in the dialogue.
TEST_F(Program, OptimiserAtAPipeReportsTheTypedOperatorAndLeavesAPng) {
    const std::string input =
        "3\n1\n\n"                        // import the model
        "7\n2\n"                          // optimiser, operator built by hand
        "1\n1\n3\n1\n2\n2\n5\n1\n3\n5\n"  // OP1 = I1x, OP2 = I2z, OP1 := OP1 + OP2, use it
        "8\n1\n1\n500\n90\n0\n"           // 8 samples, 1 ms, one mode pair, start pulse
        "1\nopt.csv\n\n";                 // write the CSV (and its plot)
    const Result r = run("", input);
    ASSERT_EQ(r.rc, 0) << r.err;
    // I1x and I2z have unit norm for two spins; their sum has norm sqrt(2).
    const double scale = std::sqrt(2.0);
    int lines = 0;
    for (size_t at = r.out.find("Expectation Value <O>        : "); at != std::string::npos;
         at = r.out.find("Expectation Value <O>        : ", at + 1)) {
        double re = 0, im = 0, tre = 0, tim = 0, shown = 0;
        ASSERT_EQ(std::sscanf(r.out.c_str() + at,
                              "Expectation Value <O>        : %lf + i %lf  (O normalised to unit norm)\n"
                              "<O> of the operator as typed : %lf + i %lf  (= %lf x <O>)",
                              &re, &im, &tre, &tim, &shown),
                  5)
            << r.out.substr(at, 300);
        EXPECT_NEAR(shown, scale, 1e-10);
        EXPECT_NEAR(tre, scale * re, 1e-10 * (1 + std::fabs(tre)));
        EXPECT_NEAR(tim, scale * im, 1e-12);
        ++lines;
    }
    EXPECT_GT(lines, 10);
    double minimum = 0, typed = 0;
    const size_t m = r.out.find("Minimum             : ");
    ASSERT_NE(m, std::string::npos);
    ASSERT_EQ(std::sscanf(r.out.c_str() + m,
                          "Minimum             : %lf  (O normalised to unit norm)\n"
                          "Re <O> as typed     : %lf",
                          &minimum, &typed),
              2)
        << r.out.substr(m, 200);
    EXPECT_NEAR(typed, -minimum * scale, 1e-9);
    // The best value of I1x + I2z on I1z + I2z is 2 (spin 1 turned to x, spin 2 left along z).
    EXPECT_GT(typed, 1.9);
    EXPECT_LE(typed, 2.0 + 1e-9);

    const std::string csv = tree.path("build/runtime/opt.csv"), png = tree.path("build/runtime/opt.png");
    EXPECT_NE(r.out.find("RF pulse written to '" + csv + "'\n"), std::string::npos);
    EXPECT_NE(r.out.find("[VYN] No display: plot written to '" + png + "'\n"), std::string::npos) << r.out;
    EXPECT_EQ(vyntest::read_file(png).substr(0, 8), "\x89PNG\r\n\x1a\n");
    for (const std::string& text : {r.out, r.err}) {
        EXPECT_EQ(text.find("WARNING"), std::string::npos) << text;
        EXPECT_EQ(text.find("terminal"), std::string::npos) << text;
    }
    EXPECT_FALSE(vyntest::exists(tree.path("build/runtime/opt.csv.png")));
}

// Without a display the spectrum script (which asks for the qt terminal and
// waits for the mouse) is drawn into a PNG; whatever gnuplot says stays out
// of vyn's output, and only a picture drawn now counts as written.
TEST(PlotWithoutDisplay, PngBesideTheDataAndGnuplotKeptQuiet) {
    vyntest::CwdGuard guard;
    const std::string dir = vyntest::make_temp_dir();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    const char* saved_display = std::getenv("DISPLAY");
    const std::string display = saved_display ? saved_display : "", path = std::getenv("PATH");
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    vyntest::write_file("spec_fd.csv",
                        "f1_hz,f2_hz,re,im,re_ph,im_ph,re_ph1,im_ph1,mag\n-1,0,1,0,1,0,1,0,1\n"
                        "0,0,3,0,3,0,3,0,3\n1,0,2,0,2,0,2,0,2\n");
    ASSERT_TRUE(WriteGnuplotSpectrumScript("spec_fd.csv.gp", "spec_fd.csv", "VYN Spectrum"));
    vyntest::mkdirs(dir + "/bin");
    // A gnuplot that only complains, on both of its output streams.
    vyntest::write_file(dir + "/bin/gnuplot",
                        "#!/bin/sh\necho \"WARNING: Plotting with an 'unknown' terminal.\"\n"
                        "echo \"WARNING: Plotting with an 'unknown' terminal.\" >&2\nexit ${FAKE_RC:-0}\n");
    ASSERT_EQ(chmod((dir + "/bin/gnuplot").c_str(), 0700), 0);
    const std::string png = dir + "/spec_fd.png";
    char real[4096];
    const bool have_gnuplot = vyn_launch_find_on_path("gnuplot", real, sizeof real);
    struct Case {
        const char* what;
        std::string path;
        const char* fake_rc;
        bool stale_png;
        bool drawn;
        std::string says;
    } cases[] = {
        {"complaining gnuplot", dir + "/bin", "0", false, false, "could not draw the picture " + png},
        {"failing gnuplot", dir + "/bin", "1", false, false, "could not draw the picture " + png},
        {"an old picture is no new one", dir + "/bin", "0", true, false, "could not draw the picture " + png},
        {"no gnuplot", dir + "/nowhere", "0", false, false, "gnuplot not found on PATH"},
        {"the installed gnuplot", path, "0", true, true, "[VYN] No display: plot written to '" + png + "'\n"},
    };
    for (const Case& c : cases) {
        if (c.drawn && !have_gnuplot) continue;
        unlink(png.c_str());
        if (c.stale_png) {
            vyntest::write_file(png, "old picture");
            const struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
            utimensat(AT_FDCWD, png.c_str(), old, 0);
        }
        setenv("PATH", c.path.c_str(), 1);
        setenv("FAKE_RC", c.fake_rc, 1);
        vyntest::Capture out(1), err(2);
        const bool ok = vyn_launch_plot("spec_fd.csv.gp", "spec_fd.png");
        const std::string o = out.finish(), e = err.finish();
        setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(ok, c.drawn) << c.what;
        EXPECT_NE(o.find(c.says), std::string::npos) << c.what << ": " << o;
        EXPECT_EQ(std::count(o.begin(), o.end(), '\n'), 1) << c.what << ": " << o;
        EXPECT_EQ(o.find("WARNING"), std::string::npos) << c.what;
        EXPECT_EQ(e, "") << c.what;
        if (c.drawn) EXPECT_EQ(vyntest::read_file(png).substr(0, 4), "\x89PNG") << c.what;
    }
    unsetenv("FAKE_RC");
    // The script itself is left as written, for a later look with a display.
    const std::string script = vyntest::read_file("spec_fd.csv.gp");
    EXPECT_EQ(script.rfind("set terminal qt\n", 0), 0u);
    EXPECT_NE(script.find("pause mouse close\n"), std::string::npos);
    if (saved_display) setenv("DISPLAY", display.c_str(), 1);
    vyntest::remove_tree(dir);
}

TEST(ProgramNames, RunDirectoryNamesAndPictureNames) {
    struct Name {
        const char* name;
        int ok;
        pid_t pid;
    } names[] = {
        {"pa_123", 1, 123},
        {"lac_press-2_7", 1, 7},
        {"model_2147483647", 1, 2147483647},
        {"pa_2147483648", 0, 0},
        {"pa_0", 0, 0},
        {"_123", 0, 0},
        {"Pa_123", 0, 0},
        {"pa_12x", 0, 0},
        {"pa_", 0, 0},
        {"pa.x_12", 0, 0},
        {"-pa_12", 0, 0},
        {"123", 0, 0},
        {"pa_00000000001", 0, 0},
        {"", 0, 0},
    };
    for (const Name& n : names) {
        pid_t pid = 0;
        EXPECT_EQ(vyn_rundirs_parse_name(n.name, &pid), n.ok) << n.name;
        if (n.ok) EXPECT_EQ(pid, n.pid) << n.name;
    }
    const std::string leaf97(97, 'a');
    EXPECT_EQ(vyn_rundirs_parse_name((leaf97 + "_5").c_str(), nullptr), 0);
    EXPECT_EQ(vyn_rundirs_parse_name((leaf97.substr(1) + "_5").c_str(), nullptr), 1);

    struct Png {
        const char* data;
        const char* png;
    } pngs[] = {{"spec_fd.csv", "spec_fd.png"}, {"/a.b/opt", "/a.b/opt.png"}, {"run.1/x.csv", "run.1/x.png"},
                {"x.png", "x.png.png"},         {".hidden", ".hidden.png"},   {"dir/.csv", "dir/.csv.png"}};
    for (const Png& p : pngs) {
        char out[64];
        ASSERT_TRUE(vyn_launch_png_name(p.data, out, sizeof out)) << p.data;
        EXPECT_STREQ(out, p.png) << p.data;
    }
    char small[8];
    EXPECT_FALSE(vyn_launch_png_name("long_name.csv", small, sizeof small));
}

TEST(ProgramNames, PathsInMessagesAreAbsolute) {
    vyntest::CwdGuard guard;
    const std::string dir = vyntest::make_temp_dir();
    ASSERT_EQ(chdir(dir.c_str()), 0);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    const std::string here(cwd);
    struct Case {
        const char* path;
        std::string shown;
    } cases[] = {{"a.csv", here + "/a.csv"}, {"./a.csv", here + "/a.csv"}, {".//sub/b", here + "/sub/b"},
                 {"../x", here + "/../x"},   {"/abs/y", "/abs/y"},         {"", ""}};
    for (const Case& c : cases) {
        char out[4096];
        EXPECT_EQ(std::string(vyn_path_for_message(c.path, out, sizeof out)), c.shown) << c.path;
    }
    char tiny[4];
    EXPECT_STREQ(vyn_path_for_message("a.csv", tiny, sizeof tiny), "a.csv");  // does not fit: as given
    vyntest::remove_tree(dir);
}

}  // namespace
