// The three commands end to end in a temporary installation tree: exit codes,
// files written, messages on standard error and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "vyn-entry.h"
#include "vyn_test_support.h"

namespace {

void write_doubles(const std::string& path, const std::vector<std::vector<double>>& blocks) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    for (const auto& b : blocks) fwrite(b.data(), sizeof(double), b.size(), f);
    fclose(f);
}

struct VynRun {
    int rc;
    std::string out, err;
};

VynRun run_vyn(std::vector<std::string> args, const std::string& input = "") {
    std::vector<char*> argv;
    args.insert(args.begin(), "vyn");
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    vyntest::CwdGuard guard;
    vyntest::StdinFeed in(input);
    vyntest::Capture out(1), err(2);
    int rc = vyn_main((int)args.size(), argv.data());
    return {rc, out.finish(), err.finish()};
}

// Installation tree with a one-spin pulse-acquire model and a spatial model on 4 voxels.
class Commands : public ::testing::Test {
  protected:
    vyntest::InstallTree tree;
    static constexpr double kOffsetHz = 50.0;
    static constexpr int kSamples = 64;
    static constexpr double kAcq = 0.032;  // dwell 0.5 ms
    void SetUp() override {
        vyntest::mkdirs(tree.path("spin-systems"));
        vyntest::mkdirs(tree.path("sequences/pa"));
        vyntest::mkdirs(tree.path("sequences/sp"));
        const double b1 = (M_PI / 2) / 1e-5;  // 90 degrees in 10 us
        write_doubles(tree.path("rf-output/hard.bin"), {std::vector<double>(4, b1), std::vector<double>(4, 0.0)});
        write_doubles(tree.path("rf-output/adc.bin"), {std::vector<double>(2 * kSamples, 0.0)});
        vyntest::write_file(tree.path("spin-systems/one.vynspin"),
                            "format_version: 1\nnspins: 1\nspin_quantum_numbers: 1\nrelative_intensities: 1\n"
                            "resonance_offsets_hz: " +
                                std::to_string(kOffsetHz) + "\ncoupling_mode: 1\n");
        vyntest::write_file(tree.path("sequences/pa/pa.vynseq"),
                            "format_version: 1\nsequence_type: 2\nnumber_of_sectors: 2\n"
                            "sector_type: 1 1\nsector_timepoints: 1 4\nsector_evolpoints: 1 1\n"
                            "sector_duration_s: 1 1e-5\nsector_pulsefile: 1 hard.bin\nsector_statoff_hz: 1 0\n"
                            "sector_type: 2 1\nsector_timepoints: 2 " +
                                std::to_string(kSamples) + "\nsector_evolpoints: 2 1\nsector_duration_s: 2 " +
                                std::to_string(kAcq) +
                                "\nsector_pulsefile: 2 adc.bin\nsector_statoff_hz: 2 0\nsector_remark: 2 ADC\n");
        vyntest::write_file(tree.path("models/pa.vynmodel"),
                            model_text("../sequences/pa/pa.vynseq", "1", "0", "pa-signal.bin"));
        // Spatial: hard 90 degree pulse, then a gradient of 100 Hz/cm for 2.5 ms (a quarter turn per cm).
        const double g = 2 * M_PI * 100.0;
        write_doubles(tree.path("sequences/sp/pulse.bin"),
                      {std::vector<double>(4, b1), std::vector<double>(4 * 4, 0.0)});
        write_doubles(tree.path("sequences/sp/grad.bin"),
                      {std::vector<double>(2 * 8, 0.0), std::vector<double>(8, g), std::vector<double>(16, 0.0)});
        write_doubles(tree.path("sequences/sp/adc.bin"), {std::vector<double>(5 * 16, 0.0)});
        vyntest::write_file(tree.path("sequences/sp/sp.vynseq"),
                            "format_version: 1\nsequence_type: 1\nnumber_of_sectors: 3\n"
                            "sector_type: 1 1\nsector_timepoints: 1 4\nsector_evolpoints: 1 1\n"
                            "sector_duration_s: 1 1e-5\nsector_pulsefile: 1 pulse.bin\nsector_statoff_hz: 1 0\n"
                            "sector_type: 2 1\nsector_timepoints: 2 8\nsector_evolpoints: 2 1\n"
                            "sector_duration_s: 2 0.0025\nsector_pulsefile: 2 grad.bin\nsector_statoff_hz: 2 0\n"
                            "sector_type: 3 1\nsector_timepoints: 3 16\nsector_evolpoints: 3 1\n"
                            "sector_duration_s: 3 0.016\nsector_pulsefile: 3 adc.bin\nsector_statoff_hz: 3 0\n"
                            "sector_remark: 3 acquisition\n");
        std::string sp = model_text("../sequences/sp/sp.vynseq", "4", "1", "sp-result.bin");
        vyntest::write_file(tree.path("models/sp.vynmodel"), sp);
        vyntest::write_file(tree.path("spin-systems/zero.vynspin"),
                            "format_version: 1\nnspins: 1\nspin_quantum_numbers: 1\nrelative_intensities: 1\n"
                            "resonance_offsets_hz: 0\ncoupling_mode: 1\n");
        std::string text = vyntest::read_file(tree.path("models/sp.vynmodel"));
        text.replace(text.find("one.vynspin"), 11, "zero.vynspin");
        vyntest::write_file(tree.path("models/sp.vynmodel"), text);
    }
    static std::string model_text(const std::string& seq, const std::string& ndx, const std::string& dx,
                                  const std::string& result) {
        return "format_version: 1\nspin_system_file: ../spin-systems/one.vynspin\nsequence_file: " + seq +
               "\nndx: " + ndx + "\nndy: 1\nndz: 1\nx0_cm: 0\ny0_cm: 0\nz0_cm: 0\ndx_cm: " + dx +
               "\ndy_cm: 0\ndz_cm: 0\nresult_file: " + result + "\n";
    }
    std::string results(const std::string& leaf) const { return tree.path("build/runtime/results/" + leaf); }
    std::string runs_dir() const { return tree.path("build/runtime/runs"); }
};

// Reads a type-1 signal file into complex samples.
std::vector<std::complex<double>> read_signal(const std::string& path, int32_t header[3]) {
    std::string bytes = vyntest::read_file(path);
    std::vector<std::complex<double>> out;
    if (bytes.size() < 12) return out;
    memcpy(header, bytes.data(), 12);
    size_t count = (bytes.size() - 12) / 16;
    for (size_t k = 0; k < count; ++k) {
        double re, im;
        memcpy(&re, bytes.data() + 12 + 16 * k, 8);
        memcpy(&im, bytes.data() + 12 + 16 * k + 8, 8);
        out.emplace_back(re, im);
    }
    return out;
}

TEST_F(Commands, RunModelWritesTheReceiverSignal) {
    VynRun r = run_vyn({"--run-model", tree.path("models/pa.vynmodel")});
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[VYN] Loaded model: " + tree.path("models/pa.vynmodel")), std::string::npos);
    EXPECT_NE(r.out.find("  result file = " + results("pa-signal.bin")), std::string::npos);
    EXPECT_NE(r.out.find("Running current prepared 1D / 2D NMR model..."), std::string::npos);
    // The run worked in its own scratch directory.
    EXPECT_TRUE(vyntest::exists(runs_dir() + "/pa_" + std::to_string(getpid()) + "/dm.bin"));
    int32_t h[3] = {0, 0, 0};
    auto s = read_signal(results("pa-signal.bin"), h);
    ASSERT_EQ(h[0], 1);
    ASSERT_EQ(h[1], kSamples);
    ASSERT_EQ(h[2], 1);
    ASSERT_EQ((int)s.size(), kSamples);
    // Free precession after a 90 degree pulse: unit magnitude, phase advancing 2 pi f dwell per sample.
    const double step = 2 * M_PI * kOffsetHz * (kAcq / kSamples);
    for (int k = 0; k < kSamples; ++k) EXPECT_NEAR(std::abs(s[k]), 1.0, 1e-5) << k;
    for (int k = 1; k < kSamples; ++k) {
        double d = std::arg(s[k] / s[k - 1]);
        EXPECT_NEAR(std::fabs(d), step, 1e-6) << k;
    }
    EXPECT_EQ(g_loaded_model_path_valid, 1);
}

TEST_F(Commands, RunModelRefusals) {
    VynRun r = run_vyn({"--run-model", ""});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "[VYN] --run-model requires a .vynmodel path\n");
    r = run_vyn({"--run-model", tree.path("models/none.vynmodel")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err, "[VYN] Load failed: i/o error (could not open '" + tree.path("models/none.vynmodel") +
                         "' for reading)\n[VYN] Path used: " + tree.path("models/none.vynmodel") + "\n");
    vyntest::write_file(tree.path("models/bad.vynmodel"), "format_version: 1\nnspins: 1\n");
    r = run_vyn({"--run-model", tree.path("models/bad.vynmodel")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("[VYN] Load failed: parse error (line 2: inline spin-system/sequence keys"),
              std::string::npos);
    // Wrong argument counts start the menu, which ends at end of input.
    r = run_vyn({"--run-model"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find(" VYN Main Menu"), std::string::npos);
    EXPECT_NE(r.out.find("[VYN] Exiting."), std::string::npos);
    r = run_vyn({"--run-model", tree.path("models/pa.vynmodel"), "extra"});
    EXPECT_EQ(r.rc, 0);
    EXPECT_NE(r.out.find("Select [1-7]: "), std::string::npos);
    EXPECT_FALSE(vyntest::exists(results("pa-signal.bin")));
    // Options are matched case-sensitively: another spelling is an unknown
    // option, answered with the usage and exit code 1.
    r = run_vyn({"--RUN-MODEL", tree.path("models/pa.vynmodel")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.out.find(" VYN Main Menu"), std::string::npos);
    EXPECT_EQ(r.err.rfind("Usage:\n", 0), 0u) << r.err;
    EXPECT_FALSE(vyntest::exists(results("pa-signal.bin")));
}

TEST_F(Commands, SpatialRunThenProfileAndVoxelSignal) {
    VynRun r = run_vyn({"--run-model", tree.path("models/sp.vynmodel")});
    ASSERT_EQ(r.rc, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[VYN_PROGRESS] sector=2 sectors=2 voxel=4 voxels=4 percent=100"), std::string::npos);
    ASSERT_TRUE(vyntest::exists(results("sp-result.bin")));

    std::string csv = results("profile.csv");
    r = run_vyn({"--expectation-profile", tree.path("models/sp.vynmodel"), results("sp-result.bin"), "Ix", csv});
    ASSERT_EQ(r.rc, 0) << r.err;
    std::string text = vyntest::read_file(csv);
    ASSERT_EQ(text.compare(0, 52, "# index,x_cm,y_cm,z_cm,expectation_re,expectation_im"), 0) << text;
    // Voxel k at x = k-1 cm precessed by a quarter turn per cm: <Ix> and <Iy> trade places.
    double re[4], im[4], x[4];
    size_t pos = text.find('\n') + 1;
    for (int k = 0; k < 4; ++k) {
        int idx;
        double y, z;
        ASSERT_EQ(sscanf(text.c_str() + pos, "%d,%lf,%lf,%lf,%lf,%lf", &idx, &x[k], &y, &z, &re[k], &im[k]), 6);
        EXPECT_EQ(idx, k + 1);
        EXPECT_DOUBLE_EQ(x[k], k);
        pos = text.find('\n', pos) + 1;
    }
    r = run_vyn({"--expectation-profile", tree.path("models/sp.vynmodel"), results("sp-result.bin"), "Iy",
                 results("profile-y.csv")});
    ASSERT_EQ(r.rc, 0);
    std::string ty = vyntest::read_file(results("profile-y.csv"));
    double ry[4];
    pos = ty.find('\n') + 1;
    for (int k = 0; k < 4; ++k) {
        int idx;
        double a, b, c, d;
        ASSERT_EQ(sscanf(ty.c_str() + pos, "%d,%lf,%lf,%lf,%lf,%lf", &idx, &a, &b, &c, &ry[k], &d), 6);
        pos = ty.find('\n', pos) + 1;
    }
    for (int k = 0; k < 4; ++k) {
        // Transverse magnitude stays 1 (normalised operators), its phase turns by pi/2 per voxel.
        EXPECT_NEAR(std::hypot(re[k], ry[k]), 1.0, 1e-6) << k;
        EXPECT_NEAR(im[k], 0.0, 1e-12);
    }
    for (int k = 1; k < 4; ++k) {
        double d = std::remainder(std::atan2(ry[k], re[k]) - std::atan2(ry[k - 1], re[k - 1]), 2 * M_PI);
        EXPECT_NEAR(std::fabs(d), M_PI / 2, 1e-6) << k;
    }

    r = run_vyn(
        {"--voxel-signal", tree.path("models/sp.vynmodel"), results("sp-result.bin"), "3", results("voxel3.bin")});
    ASSERT_EQ(r.rc, 0) << r.err;
    int32_t h[3];
    auto s = read_signal(results("voxel3.bin"), h);
    EXPECT_EQ(h[0], 1);
    EXPECT_EQ(h[1], 16);
    ASSERT_EQ(s.size(), 16u);
    EXPECT_NEAR(std::abs(s[0]), 1.0, 1e-6);  // zero offset: constant signal
    EXPECT_NEAR(std::abs(s[15] - s[0]), 0.0, 1e-9);

    // Refusals: bad expression, voxel out of range.
    r = run_vyn(
        {"--expectation-profile", tree.path("models/sp.vynmodel"), results("sp-result.bin"), "Qx", results("bad.csv")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("Expectation profile: invalid operator expression 'Qx'."), std::string::npos);
    r = run_vyn({"--voxel-signal", tree.path("models/sp.vynmodel"), results("sp-result.bin"), "5", results("v5.bin")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_FALSE(vyntest::exists(results("v5.bin")));
    r = run_vyn({"--expectation-profile", tree.path("models/none.vynmodel"), "x", "Ix", results("n.csv")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.err.rfind("[VYN] Expectation profile model load failed: i/o error (could not open", 0), 0u) << r.err;
}

// Relative path arguments name files as seen from the caller's directory, even
// though vyn works in its runtime and run scratch directories.
TEST_F(Commands, RelativeArgumentsAreTakenFromTheCallersDirectory) {
    vyntest::CwdGuard guard;
    ASSERT_EQ(chdir(tree.root.c_str()), 0);
    VynRun r = run_vyn({"--run-model", "models/sp.vynmodel"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("[VYN] Loaded model: " + tree.path("models/sp.vynmodel")), std::string::npos) << r.out;
    ASSERT_TRUE(vyntest::exists(results("sp-result.bin")));

    vyntest::mkdirs(tree.path("out"));
    r = run_vyn({"--expectation-profile", "./models/sp.vynmodel", "build/runtime/results/sp-result.bin", "Ix",
                 "out/profile.csv"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(vyntest::read_file(tree.path("out/profile.csv")).rfind("# index,x_cm", 0), 0u);
    EXPECT_FALSE(vyntest::exists(tree.path("build/runtime/out")));

    r = run_vyn({"--voxel-signal", "models/sp.vynmodel", "build/runtime/results/sp-result.bin", "2", "out/voxel2.bin"});
    ASSERT_EQ(r.rc, 0) << r.err;
    int32_t h[3] = {0, 0, 0};
    EXPECT_EQ(read_signal(tree.path("out/voxel2.bin"), h).size(), 16u);

    // A relative path that names nothing is reported as the place that was looked at.
    r = run_vyn({"--run-model", "models/none.vynmodel"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("[VYN] Path used: " + tree.path("models/none.vynmodel") + "\n"), std::string::npos) << r.err;
    // The caller's directory is left as it was.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    EXPECT_EQ(std::string(cwd), tree.root);
}

TEST_F(Commands, VoxelSignalPointIndexIsCheckedFirst) {
    for (const char* bad : {"0", "-3", "7x", "", " ", "x7"}) {
        VynRun r = run_vyn({"--voxel-signal", tree.path("models/sp.vynmodel"), "d.bin", bad, "o.bin"});
        EXPECT_EQ(r.rc, 1) << bad;
        EXPECT_EQ(r.err, "[VYN] Voxel signal point index must be a positive integer.\n") << bad;
    }
    EXPECT_FALSE(vyntest::exists(runs_dir()));  // refused before any scratch directory
    VynRun r = run_vyn({"--voxel-signal", tree.path("models/sp.vynmodel"), "missing.bin", "7", "o.bin"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_TRUE(vyntest::exists(runs_dir()));
    EXPECT_EQ(r.err.find("[VYN] Voxel signal point index"), std::string::npos);
    EXPECT_NE(r.err.find("Voxel signal: input density file"), std::string::npos) << r.err;
}

}  // namespace

namespace {

TEST(CommandInput, CommandsNeverReadStandardInput) {
    vyntest::InstallTree tree;
    vyntest::CwdGuard guard;
    vyntest::StdinFeed in("2\n\n");
    vyntest::Capture out(1), err(2);
    std::string a0 = "vyn", a1 = "--voxel-signal", a2 = tree.path("models/none.vynmodel"), a3 = "d.bin", a4 = "1",
                a5 = "o.bin";
    char* argv[] = {&a0[0], &a1[0], &a2[0], &a3[0], &a4[0], &a5[0], nullptr};
    int rc = vyn_main(6, argv);
    int next = getchar();  // the pending console input is no longer reachable
    std::string e = err.finish();
    out.finish();
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(next, EOF);
    EXPECT_NE(e.find("[VYN] Voxel signal model load failed: i/o error"), std::string::npos) << e;
}

}  // namespace

#include <sys/wait.h>

namespace {

// The built program itself, copied into a temporary installation tree, so that
// its directories come from /proc/self/exe as in real use.
std::string find_built_vyn() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));              // .../build/vyn
    std::string top = dir.substr(0, dir.rfind('/'));  // .../build
    for (const std::string& c : {top + "/vyn", top + "/bin/vyn"}) {
        struct stat st;
        if (stat(c.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR)) return c;
    }
    return "";
}

int shell(const std::string& cmd) {
    int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Help and version are answered on standard output without starting anything.
TEST_F(Commands, HelpAndVersionReadNothing) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> shown;
    } cases[] = {
        {{"--help"},
         {"--run-model", "--expectation-profile", "--voxel-signal", "interactive menus", "runtime/results"}},
        {{"-h"}, {"--run-model", "--voxel-signal", "runtime/runs"}},
        {{"--version"}, {"vyn "}},
    };
    for (const Case& c : cases) {
        VynRun r = run_vyn(c.args, "1\n");
        EXPECT_EQ(r.rc, 0) << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
        for (const std::string& text : c.shown) EXPECT_NE(r.out.find(text), std::string::npos) << c.args[0] << r.out;
        EXPECT_EQ(r.out.find("VYN Main Menu"), std::string::npos) << c.args[0];
        EXPECT_FALSE(vyntest::exists(tree.path("build/runtime"))) << c.args[0];
    }
    // A list of known words that is no command still starts the menu.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help", "x"}, {"--version", "--help"}}) {
        VynRun r = run_vyn(args, "");
        EXPECT_EQ(r.rc, 0) << args[0];
        EXPECT_NE(r.out.find("VYN Main Menu"), std::string::npos) << args[0];
    }
    // An unknown option gets the usage on standard error and exit code 1.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--helpx"}, {"-H"}}) {
        VynRun r = run_vyn(args, "");
        EXPECT_EQ(r.rc, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err.rfind("Usage:\n", 0), 0u) << args[0] << r.err;
    }
}

// A run that writes no result says so and exits with 1.
TEST_F(Commands, RunWithoutResultExitsNonZero) {
    const double b1 = (M_PI / 2) / 1e-5;
    struct Case {
        const char* what;
        std::vector<std::vector<double>> wave;
    } cases[] = {
        {"NaN sample", {{b1, b1, NAN, b1}, std::vector<double>(4, 0.0)}},
        {"infinite sample", {std::vector<double>(4, b1), {0, 0, 0, -INFINITY}}},
        {"too short", {{b1, b1, b1}}},
    };
    for (const Case& c : cases) {
        write_doubles(tree.path("rf-output/hard.bin"), c.wave);
        VynRun r = run_vyn({"--run-model", tree.path("models/pa.vynmodel")});
        EXPECT_EQ(r.rc, 1) << c.what << r.out;
        EXPECT_NE(r.err.find("[VYN] Run failed: no result was written to " + results("pa-signal.bin")),
                  std::string::npos)
            << c.what << r.err;
        EXPECT_FALSE(vyntest::exists(results("pa-signal.bin"))) << c.what;
    }
}

// A density file with a non-finite element gives no profile and no signal.
TEST_F(Commands, NonFiniteDensityElementsAreRefused) {
    VynRun r = run_vyn({"--run-model", tree.path("models/sp.vynmodel")});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string good = vyntest::read_file(results("sp-result.bin"));
    ASSERT_EQ(good.size(), 12u + 4 * 64);
    const double bad_values[] = {NAN, INFINITY, -INFINITY};
    for (double bad : bad_values) {
        std::string bytes = good;
        memcpy(&bytes[12 + 64 + 8], &bad, 8);  // voxel 2, element (1,1), imaginary part
        vyntest::write_file(results("bad.bin"), bytes);
        r = run_vyn(
            {"--expectation-profile", tree.path("models/sp.vynmodel"), results("bad.bin"), "Ix", results("bad.csv")});
        EXPECT_EQ(r.rc, 1) << bad;
        EXPECT_NE(r.err.find("point 2 holds a non-finite value"), std::string::npos) << r.err;
        EXPECT_FALSE(vyntest::exists(results("bad.csv"))) << bad;
        r = run_vyn({"--voxel-signal", tree.path("models/sp.vynmodel"), results("bad.bin"), "2", results("v2.bin")});
        EXPECT_EQ(r.rc, 1) << bad;
        EXPECT_NE(r.err.find("point 2 holds a non-finite value"), std::string::npos) << r.err;
        EXPECT_FALSE(vyntest::exists(results("v2.bin"))) << bad;
    }
}

// No command writes over one of the files it reads.
TEST_F(Commands, OutputThatIsAnInputIsRefused) {
    VynRun r = run_vyn({"--run-model", tree.path("models/sp.vynmodel")});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string model = tree.path("models/sp.vynmodel"), density = results("sp-result.bin");
    const std::string model_text = vyntest::read_file(model), density_bytes = vyntest::read_file(density);
    struct Case {
        std::vector<std::string> args;
    } cases[] = {
        {{"--voxel-signal", model, density, "2", density}},
        {{"--voxel-signal", model, density, "2", model}},
        {{"--expectation-profile", model, density, "Ix", density}},
        {{"--expectation-profile", model, density, "Ix", model}},
        {{"--expectation-profile", model, density, "Ix", tree.path("spin-systems/zero.vynspin")}},
        {{"--voxel-signal", model, density, "1", tree.path("sequences/sp/sp.vynseq")}},
    };
    for (const Case& c : cases) {
        const std::string target_before = vyntest::read_file(c.args[4]);
        r = run_vyn(c.args);
        EXPECT_EQ(r.rc, 1) << c.args[0] << " " << c.args[4];
        EXPECT_EQ(vyntest::read_file(c.args[4]), target_before) << c.args[4];
        EXPECT_NE(r.err.find("is one of the command's inputs"), std::string::npos) << r.err;
        EXPECT_EQ(vyntest::read_file(model), model_text);
        EXPECT_EQ(vyntest::read_file(density), density_bytes);
    }
    // A model whose result file is the model itself, or one of its waveforms.
    for (const std::string& target : {tree.path("models/self.vynmodel"), tree.path("sequences/sp/pulse.bin"),
                                      tree.path("sequences/sp/sp.vynseq"), tree.path("spin-systems/zero.vynspin")}) {
        std::string text = model_text;
        text.replace(text.find("result_file: sp-result.bin"), 26, "result_file: " + target);
        vyntest::write_file(tree.path("models/self.vynmodel"), text);
        const std::string before = vyntest::read_file(target);
        r = run_vyn({"--run-model", tree.path("models/self.vynmodel")});
        EXPECT_EQ(r.rc, 1) << target;
        EXPECT_NE(r.err.find("is one of the command's inputs"), std::string::npos) << r.err;
        EXPECT_EQ(vyntest::read_file(target), before);
    }
}

// Expressions over 511 characters are refused, not cut; leading blanks do not make one undefined.
TEST_F(Commands, OperatorExpressionLimits) {
    VynRun r = run_vyn({"--run-model", tree.path("models/sp.vynmodel")});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string model = tree.path("models/sp.vynmodel"), density = results("sp-result.bin");
    r = run_vyn({"--expectation-profile", model, density, "Iy", results("iy.csv")});
    ASSERT_EQ(r.rc, 0) << r.err;
    const std::string iy = vyntest::read_file(results("iy.csv"));
    r = run_vyn({"--expectation-profile", model, density, "Iy" + std::string(508, ' ') + "+Ix", results("cut.csv")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_FALSE(vyntest::exists(results("cut.csv")));
    r = run_vyn({"--expectation-profile", model, density, std::string(100, ' ') + "Iy", results("lead.csv")});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(vyntest::read_file(results("lead.csv")), iy);
    // 511 characters are still read whole.
    r = run_vyn({"--expectation-profile", model, density, "Iy" + std::string(509, ' '), results("max.csv")});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(vyntest::read_file(results("max.csv")), iy);
}

// A named pipe as density file is refused at once.
TEST_F(Commands, PipeAsDensityFileIsRefused) {
    const std::string fifo = tree.path("dm.pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    alarm(20);  // a command that waits for a writer ends the test
    VynRun r = run_vyn({"--expectation-profile", tree.path("models/sp.vynmodel"), fifo, "Ix", results("p.csv")});
    EXPECT_EQ(r.rc, 1);
    r = run_vyn({"--voxel-signal", tree.path("models/sp.vynmodel"), fifo, "1", results("p.bin")});
    EXPECT_EQ(r.rc, 1);
    alarm(0);
    EXPECT_FALSE(vyntest::exists(results("p.csv")));
    EXPECT_FALSE(vyntest::exists(results("p.bin")));
}

TEST_F(Commands, BuiltProgramInAnInstallationTree) {
    std::string built = find_built_vyn();
    if (built.empty()) GTEST_SKIP() << "vyn executable not built next to the tests";
    std::string exe = tree.path("build/vyn");
    ASSERT_EQ(shell("cp '" + built + "' '" + exe + "'"), 0);
    vyn_paths_override_executable_path(nullptr);  // the child finds its own place
    const std::string out = tree.path("out.txt"), err = tree.path("err.txt");
    const std::string redirect = " </dev/null >'" + out + "' 2>'" + err + "'";
    EXPECT_EQ(shell("cd / && '" + exe + "' --run-model '" + tree.path("models/pa.vynmodel") + "'" + redirect), 0)
        << vyntest::read_file(err);
    EXPECT_TRUE(vyntest::exists(results("pa-signal.bin")));
    EXPECT_TRUE(vyntest::exists(tree.path("build/runtime/runs")));

    // Called from the installation root with paths relative to it.
    ASSERT_EQ(unlink(results("pa-signal.bin").c_str()), 0);
    EXPECT_EQ(shell("cd '" + tree.root + "' && build/vyn --run-model models/pa.vynmodel" + redirect), 0)
        << vyntest::read_file(err);
    EXPECT_TRUE(vyntest::exists(results("pa-signal.bin")));

    EXPECT_EQ(shell("cd / && '" + exe + "' --run-model ''" + redirect), 1);
    EXPECT_EQ(vyntest::read_file(err), "[VYN] --run-model requires a .vynmodel path\n");
    EXPECT_EQ(shell("cd / && '" + exe + "' --voxel-signal m d 0 o" + redirect), 1);
    EXPECT_EQ(vyntest::read_file(err), "[VYN] Voxel signal point index must be a positive integer.\n");

    // The menu, driven by a script: import, run, leave at end of input.
    EXPECT_EQ(shell("cd / && printf '3\\n1\\n\\n2\\n2\\n\\n7\\n' | '" + exe + "' >'" + out + "' 2>'" + err + "'"), 0);
    std::string text = vyntest::read_file(out);
    EXPECT_NE(text.find("[VYN] Import successful."), std::string::npos) << text;
    EXPECT_NE(text.find("Wrote complex receiver signal to " + results("pa-signal.bin")), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 16), "\n[VYN] Exiting.\n");
}

}  // namespace
