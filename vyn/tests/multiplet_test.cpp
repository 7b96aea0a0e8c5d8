// Multiplet-resolved export of slow-band signals: spin clustering, labels,
// file names, and the split of the receiver signal by transition.
#include <dirent.h>

#include "observablespectrumcalculator.h"
#include "prop_test_util.h"
#include "vynmodel_subgroups.h"

using namespace proptest;

namespace {

const SpinIList& SpinsPresent(int count) {
    static SpinIList il;
    for (int s = 0; s <= 8; ++s) il[s] = s >= 1 && s <= count ? 1 : 0;
    return il;
}

TEST(MultipletClusters, ToleranceWindowAndTies) {
    struct Case {
        const char* what;
        std::vector<double> offsets;
        int np;
        double acq;
        std::vector<double> centers;
        std::vector<uint32_t> masks;
    };
    const Case cases[] = {
        {"5 Hz apart: one cluster", {100, 105}, 1024, 0.5, {102.5}, {0x6}},
        {"8 Hz apart: two clusters", {100, 108}, 1024, 0.5, {100, 108}, {0x2, 0x4}},
        {"exactly 7.0 Hz joins", {100, 107}, 1024, 0.5, {103.5}, {0x6}},
        {"outside the window ignored", {6000, 100}, 1024, 0.5, {100}, {0x4}},
        {"no acquisition: no window", {6000, 100}, 1024, 0.0, {6000, 100}, {0x2, 0x4}},
        {"equal distance: later cluster wins", {0, 14, 7}, 1024, 0.5, {0, 10.5}, {0x2, 0xC}},
        {"running mean moves the centre", {100, 106, 110}, 1024, 0.5, {316.0 / 3}, {0xE}},
    };
    for (const Case& c : cases) {
        double offs[9] = {};
        for (size_t i = 0; i < c.offsets.size(); ++i) offs[i + 1] = c.offsets[i];
        VYNMultipletCluster cl[VYN_MULTIPLET_MAX_CLUSTERS];
        const int count =
            vyn_cluster_spins_by_offset(offs, SpinsPresent(static_cast<int>(c.offsets.size())), c.np, c.acq, cl);
        ASSERT_EQ(count, static_cast<int>(c.centers.size())) << c.what;
        for (int k = 0; k < count; ++k) {
            EXPECT_NEAR(cl[k].center_hz, c.centers[k], 1e-12) << c.what;
            EXPECT_EQ(cl[k].spin_mask, c.masks[k]) << c.what;
            EXPECT_EQ(cl[k].has_metadata_ppm, 0) << c.what;
        }
    }
    // spins with 2I = 0 do not exist
    double offs[9] = {0, 100, 300};
    SpinIList il{};
    il[2] = 1;
    VYNMultipletCluster cl[VYN_MULTIPLET_MAX_CLUSTERS];
    ASSERT_EQ(vyn_cluster_spins_by_offset(offs, il, 1024, 0.5, cl), 1);
    EXPECT_EQ(cl[0].center_hz, 300);
}

TEST(MultipletClusters, SubgroupLabelsNeedTheWholeGroup) {
    double offs[9] = {0, 100, 104, -200};
    VYNMultipletCluster cl[VYN_MULTIPLET_MAX_CLUSTERS];
    ASSERT_EQ(vyn_cluster_spins_by_offset(offs, SpinsPresent(3), 1024, 0.5, cl), 2);
    vyn_spin_subgroup_count = 3;
    const int spins[3][2] = {{1, 3}, {1, 2}, {3, 0}};  // {1,3} spans two clusters: no label
    const int counts[3] = {2, 2, 1};
    const double ppm[3] = {9.0, 2.35, 1.3};
    for (int g = 0; g < 3; ++g) {
        vyn_spin_subgroup_spin_count[g] = counts[g];
        vyn_spin_subgroup_ppm_count[g] = 1;
        vyn_spin_subgroup_ppm[g] = ppm[g];
        for (int j = 0; j < 9; ++j) vyn_spin_subgroup_spins[g][j] = j < 2 ? spins[g][j] : 0;
    }
    vyn_label_clusters_from_subgroups(cl, 2);
    EXPECT_EQ(cl[0].has_metadata_ppm, 1);
    EXPECT_EQ(cl[0].metadata_ppm, 2.35);
    EXPECT_EQ(cl[1].has_metadata_ppm, 1);
    EXPECT_EQ(cl[1].metadata_ppm, 1.3);
    // a group without a ppm value labels nothing
    ASSERT_EQ(vyn_cluster_spins_by_offset(offs, SpinsPresent(3), 1024, 0.5, cl), 2);
    vyn_spin_subgroup_ppm_count[1] = 0;
    vyn_spin_subgroup_ppm_count[2] = 0;
    vyn_label_clusters_from_subgroups(cl, 2);
    EXPECT_EQ(cl[0].has_metadata_ppm + cl[1].has_metadata_ppm, 0);
    vyn_spin_subgroup_count = 0;
}

TEST(MultipletNames, TagPlacementAndUnits) {
    struct Case {
        const char* signal;
        double center_hz, b0, carrier;
        int labelled;
        double ppm;
        const char* expected;  // nullptr: no name
    };
    const Case cases[] = {
        {"result.bin", 102.5, 0, 0, 0, 0, nullptr},
        {"x_td.bin", 102.5, 0, 0, 0, 0, "x-[102.5Hz]_td.bin"},
        {"glu_slow_td.bin", 102.5, 0, 0, 1, 2.35, "glu-[2.350ppm]_slow_td.bin"},
        {"dir/a_SLOW_x_td.bin", 0, 3.0, 4.7, 0, 0, "dir/a-[4.700ppm]_SLOW_x_td.bin"},
        // 127.73243676 Hz at 3 T is 1 ppm above the carrier
        {"m_td.bin", 3 * 42.57747892, 3.0, 4.7, 0, 0, "m-[5.700ppm]_td.bin"},
        {"m_td.bin", -20, 3.0, 0.0, 0, 0, "m-[-20.0Hz]_td.bin"},  // no carrier: Hz
        {"m_td.bin", -20, 0.0, 4.7, 0, 0, "m-[-20.0Hz]_td.bin"},  // no field: Hz
        {"a_slow_b_slow_td.bin", 5, 0, 0, 0, 0, "a-[5.0Hz]_slow_b_slow_td.bin"},
        {"_td.bin", 5, 0, 0, 0, 0, "-[5.0Hz]_td.bin"},
        {"x_td.bin.old", 5, 0, 0, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        VYNSlowBandSplitConfig cfg{};
        cfg.enabled = 1;
        cfg.b0_tesla = c.b0;
        cfg.receiver_carrier_ppm = c.carrier;
        char out[VYN_MULTIPLET_NAME_MAX];
        const bool ok = slow_multiplet_output_filename(c.signal, c.center_hz, &cfg, c.labelled, c.ppm, out, sizeof out);
        EXPECT_EQ(ok, c.expected != nullptr) << c.signal;
        if (c.expected) {
            EXPECT_STREQ(out, c.expected) << c.signal;
        }
    }
    VYNSlowBandSplitConfig cfg{};
    char small[12];
    EXPECT_FALSE(slow_multiplet_output_filename("x_td.bin", 1, &cfg, 0, 0, small, sizeof small));
    const std::string longname = std::string(1010, 'a') + "_td.bin";
    char out[2048];
    EXPECT_FALSE(slow_multiplet_output_filename(longname.c_str(), 1, &cfg, 0, 0, out, sizeof out));
}

class Multiplet : public WorkDirTest {
  protected:
    // Receiver signal of one stored matrix with the slow-band split.
    double Generate(int np, double acq, const char* name, const VYNSlowBandSplitConfig& cfg) {
        VYNSpinState& s = vyn_spin;
        return SeparateSpectra_GenerateSignalWithParamsAndSlowSplit(&s.n, np, acq, 0.0, name, &cfg, Scratch(5), s.Istat,
                                                                    s.Ixtot, s.Iytot, s.Iztot, s.ket, s.Ilist);
    }
    void Operators() {
        VYNSpinState& s = vyn_spin;
        CMatAdd(s.n, s.Izee, s.Icoup, s.Istat);
        MakeTotalIx(s.n, s.Nspins, s.ket, s.Ilist, 1, s.Ixtot);
        MakeTotalIy(s.n, s.Nspins, s.ket, s.Ilist, 1, s.Iytot);
    }
    static std::vector<std::string> Files() {
        std::vector<std::string> names;
        DIR* d = opendir(".");
        while (dirent* e = d ? readdir(d) : nullptr)
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        if (d) closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Hann-windowed magnitude of a trace at frequency f (Hz).
double ToneMagnitude(const std::vector<unsigned char>& b, int np, double dt, double f) {
    std::complex<double> acc = 0;
    for (int k = 0; k < np; ++k) {
        const double w = 0.5 - 0.5 * std::cos(kTwoPi * k / (np - 1));
        acc += w * BodyValue(b, k) * std::polar(1.0, -kTwoPi * f * k * dt);
    }
    return std::abs(acc) / np;
}

// Well separated multiplets: the files add up to the complete signal and each
// holds only the lines of its own spins (a transition at f belongs to the
// spins at offset -f). Eight spins exercise the full 256-state eigenbasis.
TEST_F(Multiplet, FilesAddUpToTheCompleteSignalAndHoldOnlyTheirLines) {
    struct Case {
        std::vector<double> offsets, j;
        std::vector<double> centers;  // clusters expected, in order of creation
        int np;                       // 1024 Hz sampling rate in both
        bool check_lines;
    };
    const Case cases[] = {
        {{100, 103, 300, -250}, {7.0, 0, 0, 0, 0, 0}, {101.5, 300, -250}, 128, true},
        {{-420, -300, -180, -60, 60, 180, 300, 420}, {}, {-420, -300, -180, -60, 60, 180, 300, 420}, 32, false},
    };
    for (const Case& c : cases) {
        SetupSpinHalfSystem(c.offsets, std::vector<double>(c.offsets.size(), 1.0), c.j);
        Operators();
        const int n = vyn_spin.n, np = c.np;
        const double acq = np / 1024.0, dt = acq / np;
        CMatrix& rho = Scratch(0);
        CopyCMatrix(n, vyn_spin.Ixtot, rho);  // x magnetisation of every spin
        WriteDensityFile("dm.bin", 0, n, {&rho});
        VYNSlowBandSplitConfig cfg{};
        cfg.enabled = 1;
        ASSERT_GT(Generate(np, acq, "sys_slow_td.bin", cfg), 0.0);
        const auto full = ReadBytes("sys_slow_td.bin");
        ASSERT_EQ(full.size(), 12u + 16u * np);
        std::vector<std::complex<double>> sum(np);
        std::vector<std::vector<unsigned char>> parts;
        for (double center : c.centers) {
            char name[VYN_MULTIPLET_NAME_MAX];
            ASSERT_TRUE(slow_multiplet_output_filename("sys_slow_td.bin", center, &cfg, 0, 0, name, sizeof name));
            ASSERT_TRUE(FileExists(name)) << name;
            parts.push_back(ReadBytes(name));
            const auto& b = parts.back();
            ASSERT_EQ(b.size(), 12u + 16u * np);
            EXPECT_EQ(HeaderOf(b).type, 1);
            EXPECT_EQ(HeaderOf(b).num1, np);
            EXPECT_EQ(HeaderOf(b).num2, 1);
            for (int k = 0; k < np; ++k) sum[k] += BodyValue(b, k);
        }
        EXPECT_EQ(Files().size(), c.centers.size() + 2) << "dm.bin, the signal and one file per cluster";
        for (int k = 0; k < np; ++k) EXPECT_LT(std::abs(sum[k] - BodyValue(full, k)), 1e-12) << k;
        for (size_t p = 0; c.check_lines && p < parts.size(); ++p) {
            const double own = ToneMagnitude(parts[p], np, dt, -c.centers[p]);
            EXPECT_GT(own, 0.01) << c.centers[p];
            for (size_t q = 0; q < parts.size(); ++q) {
                if (q == p) continue;
                for (double d = -10; d <= 10; d += 2.5)
                    EXPECT_LT(ToneMagnitude(parts[p], np, dt, -c.centers[q] + d), 1e-4 * own)
                        << "cluster " << c.centers[p] << " has a line near " << c.centers[q];
            }
        }
        for (const auto& f : Files()) std::remove(f.c_str());
    }
}

TEST_F(Multiplet, ExportConditionsAndMessages) {
    SetupSpinHalfSystem({100, 105, -200}, {1, 1, 1});
    Operators();
    const int n = vyn_spin.n, np = 64;
    CMatrix& rho = Scratch(0);
    CopyCMatrix(n, vyn_spin.Ixtot, rho);
    VYNSlowBandSplitConfig cfg{};
    cfg.enabled = 1;
    cfg.b0_tesla = 3.0;
    cfg.receiver_carrier_ppm = 4.7;

    // two stored matrices: the complete signal only, with the notice
    WriteDensityFile("dm.bin", 0, n, {&rho, &rho});
    VYN_SetSmokeCheckMode(0);
    testing::internal::CaptureStdout();
    ASSERT_GT(Generate(np, 0.1, "two_td.bin", cfg), 0.0);
    const std::string two = testing::internal::GetCapturedStdout();
    EXPECT_NE(two.find("SLOW multiplet-resolved export skipped for 2 traces; complete receiver signal is still "
                       "written.\n"),
              std::string::npos);
    EXPECT_EQ(Files(), (std::vector<std::string>{"dm.bin", "two_td.bin"}));

    // one matrix: the listing with ppm values, the first cluster labelled
    vyn_spin_subgroup_count = 1;
    vyn_spin_subgroup_spin_count[0] = 2;
    vyn_spin_subgroup_spins[0][0] = 1;
    vyn_spin_subgroup_spins[0][1] = 2;
    vyn_spin_subgroup_ppm_count[0] = 1;
    vyn_spin_subgroup_ppm[0] = 5.5;
    WriteDensityFile("dm.bin", 0, n, {&rho});
    testing::internal::CaptureStdout();
    ASSERT_GT(Generate(np, 0.1, "one_td.bin", cfg), 0.0);
    const std::string one = testing::internal::GetCapturedStdout();
    // The files are named by their full paths.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    char line[8192 + 256];
    std::snprintf(line, sizeof line,
                  "SLOW multiplet-resolved files:\n  multiplet 5.500 ppm -> %s/one-[5.500ppm]_td.bin\n"
                  "  multiplet %.3f ppm -> %s/one-[%.3fppm]_td.bin\n",
                  cwd, -200 / (3 * 42.57747892) + 4.7, cwd, -200 / (3 * 42.57747892) + 4.7);
    EXPECT_NE(one.find(line), std::string::npos) << one;
    EXPECT_TRUE(FileExists("one-[5.500ppm]_td.bin"));
    vyn_spin_subgroup_count = 0;

    // without field strength: Hz; the smoke-check mode prints nothing
    cfg.b0_tesla = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_slow_multiplet_outputs("hz_td.bin", n, np, 1, 0.1, rho, vyn_spin.Istat, vyn_spin.Ixtot,
                                           vyn_spin.Iytot, &cfg, vyn_spin.Ilist),
              2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "SLOW multiplet-resolved files:\n  multiplet 102.500 Hz -> " + std::string(cwd) +
                  "/hz-[102.5Hz]_td.bin\n  multiplet -200.000 Hz -> " + std::string(cwd) + "/hz-[-200.0Hz]_td.bin\n");
    VYN_SetSmokeCheckMode(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_slow_multiplet_outputs("q_td.bin", n, np, 1, 0.1, rho, vyn_spin.Istat, vyn_spin.Ixtot,
                                           vyn_spin.Iytot, &cfg, vyn_spin.Ilist),
              2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // preconditions: a name ending otherwise, disabled, several traces
    const auto before = Files();
    EXPECT_EQ(write_slow_multiplet_outputs("result.bin", n, np, 1, 0.1, rho, vyn_spin.Istat, vyn_spin.Ixtot,
                                           vyn_spin.Iytot, &cfg, vyn_spin.Ilist),
              0);
    EXPECT_EQ(write_slow_multiplet_outputs("q_td.bin", n, np, 2, 0.1, rho, vyn_spin.Istat, vyn_spin.Ixtot,
                                           vyn_spin.Iytot, &cfg, vyn_spin.Ilist),
              0);
    cfg.enabled = 0;
    EXPECT_EQ(write_slow_multiplet_outputs("r_td.bin", n, np, 1, 0.1, rho, vyn_spin.Istat, vyn_spin.Ixtot,
                                           vyn_spin.Iytot, &cfg, vyn_spin.Ilist),
              0);
    EXPECT_EQ(Files(), before);
}

TEST_F(Multiplet, AFailedClusterFileLeavesNoPartialFile) {
    SetupSpinHalfSystem({100, -200}, {1, 1});
    Operators();
    const int n = vyn_spin.n, np = 32;
    CMatrix& rho = Scratch(0);
    CopyCMatrix(n, vyn_spin.Ixtot, rho);
    VYNSlowBandSplitConfig cfg{};
    cfg.enabled = 1;
    ASSERT_EQ(mkdir("f-[100.0Hz]_td.bin", 0777), 0);  // the first cluster's name is taken by a directory
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_slow_multiplet_outputs("f_td.bin", n, np, 1, 0.05, rho, vyn_spin.Istat, vyn_spin.Ixtot,
                                           vyn_spin.Iytot, &cfg, vyn_spin.Ilist),
              1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("SLOW multiplet output"), std::string::npos);
    EXPECT_EQ(Files(), (std::vector<std::string>{"f-[-200.0Hz]_td.bin", "f-[100.0Hz]_td.bin"}));
    struct stat st;
    ASSERT_EQ(stat("f-[100.0Hz]_td.bin", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
