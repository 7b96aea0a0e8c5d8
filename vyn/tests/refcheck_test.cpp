// Developer reference checks: all cases pass in an installation tree, again on
// a second run, leave everything outside their work directory alone, restore
// the current model, and fail only the split case away from a build directory.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "vyn-entry.h"
#include "vyn.h"
#include "vyn_sequence_state.h"
#include "vyn_test_support.h"
#include "vynmodel.h"
#include "vynmodel_subgroups.h"

namespace {

const char* const kPassLines[] = {
    "PASS          spin-operator-reference\n",          "PASS          hamiltonian-reference\n",
    "PASS          weak-two-spin-spectrum-reference\n", "PASS          spatial-gradient-reference\n",
    "PASS          split-composition-reference\n",      "PASS          malformed-duplicate-key\n",
    "PASS          malformed-invalid-sequence-type\n",
};

struct Outcome {
    int rc;
    std::string out;
};

Outcome run_command(const std::string& input = "") {
    std::vector<std::string> args = {"vyn", "--reference-checks"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    vyntest::CwdGuard guard;
    vyntest::StdinFeed in(input);
    vyntest::Capture out(1), err(2);
    const int rc = vyn_main(2, argv.data());
    return {rc, out.finish()};
}

// Regular files under root (relative path -> contents), skipping one subtree.
void collect_files(const std::string& root, const std::string& rel, const std::string& skip,
                   std::map<std::string, std::string>& files) {
    DIR* d = opendir((root + "/" + rel).c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string r = rel.empty() ? name : rel + "/" + name;
        if (r == skip) continue;
        struct stat st;
        if (stat((root + "/" + r).c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode))
            collect_files(root, r, skip, files);
        else
            files[r] = vyntest::read_file(root + "/" + r);
    }
    closedir(d);
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

class ReferenceChecks : public ::testing::Test {
  protected:
    vyntest::InstallTree tree;
};

TEST_F(ReferenceChecks, AllPassTwiceAndTouchNothingOutsideTheirWorkDirectory) {
    // Files a careless battery would replace: run files in the runtime
    // directory and results named like the fixtures' results.
    vyntest::mkdirs(tree.path("build/runtime/results"));
    for (const char* f : {"build/runtime/dm.bin", "build/runtime/store", "build/runtime/vynsign.bin",
                          "build/runtime/results/spatial-gradient-result.bin",
                          "build/runtime/results/split-composition-result.bin", "build/runtime/results/dup.bin"})
        vyntest::write_file(tree.path(f), std::string("keep ") + f);
    std::map<std::string, std::string> before, after;
    collect_files(tree.root, "", "build/runtime/vyn-refcheck-work", before);
    for (int round = 1; round <= 2; ++round) {
        const Outcome r = run_command("5\n6\n");
        EXPECT_EQ(r.rc, 0) << "round " << round << "\n" << r.out;
        size_t at = 0;
        for (const char* line : kPassLines) {
            const size_t p = r.out.find(line, at);
            ASSERT_NE(p, std::string::npos) << "round " << round << " missing or out of order: " << line << r.out;
            at = p;
        }
        EXPECT_EQ(count_of(r.out, "FAIL"), 0u) << r.out;
        EXPECT_NE(r.out.find("All vynmodel smoke/reference checks passed.\n"), std::string::npos);
        EXPECT_EQ(r.out.find("VYN Main Menu"), std::string::npos) << "the command reads no menu input";
        EXPECT_TRUE(vyntest::exists(
            tree.path("build/runtime/vyn-refcheck-work/spatial-gradient/models/spatial-gradient-result.bin")));
    }
    collect_files(tree.root, "", "build/runtime/vyn-refcheck-work", after);
    EXPECT_EQ(after, before);
}

TEST_F(ReferenceChecks, OnlyTheSplitCaseFailsAwayFromABuildDirectory) {
    vyntest::mkdirs(tree.path("bin"));
    const std::string exe = tree.path("bin/vyn");
    vyn_paths_override_executable_path(exe.c_str());
    const Outcome r = run_command();
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(count_of(r.out, "FAIL"), 1u) << r.out;
    EXPECT_NE(r.out.find("FAIL split     relative result_file did not resolve under build runtime results: " +
                         tree.path("bin/runtime/results/split-composition-result.bin") + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("PASS          split-composition-reference"), std::string::npos);
    EXPECT_EQ(count_of(r.out, "PASS "), 6u) << r.out;
    EXPECT_NE(r.out.find("One or more vynmodel smoke/reference checks failed.\n"), std::string::npos);
}

TEST_F(ReferenceChecks, MainMenuItemRunsTheChecks) {
    std::vector<std::string> args = {"vyn"};
    char* argv[] = {&args[0][0], nullptr};
    vyntest::CwdGuard guard;
    vyntest::StdinFeed in("5\n\n6\n");
    vyntest::Capture out(1), err(2);
    EXPECT_EQ(vyn_main(1, argv), 0);
    const std::string text = out.finish();
    EXPECT_NE(text.find("[VYN] Running developer smoke/reference checks...\n\nPASS          spin-operator-reference\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("All vynmodel smoke/reference checks passed.\n"), std::string::npos);
}

// An eight-spin current model (every spin, all 28 couplings, subgroups, field
// and carrier) is the same after the checks, with its operators rebuilt.
TEST_F(ReferenceChecks, RestoreAnEightSpinModelExactly) {
    vyntest::CwdGuard guard;
    ASSERT_EQ(chdir(tree.root.c_str()), 0);
    VYN_SetSmokeCheckMode(1);
    init();
    VYNSequenceState_Reset();
    VYNSpinState& S = vyn_spin;
    VYNSequenceState& Q = vyn_sequence;
    S.Nspins = 8;
    S.Jexact = 2;
    S.Jcount = 28;
    for (int s = 1; s <= 8; ++s) {
        S.quantnum[s] = 1;
        S.relspinamp[s] = 0.5 + s;
        S.resofreqs[s] = -300.0 + 77.0 * s;
    }
    for (int p = 1; p <= 28; ++p) S.couplings[p] = 0.25 * p;
    std::memset(S.jc, 0, sizeof S.jc);
    Q.systemset = 1;
    Q.sequencetype = VYN_SEQTYPE_2D;
    Q.nos = 20;
    Q.sectorset = 1;
    for (int s = 1; s <= 20; ++s) {
        Q.sectype[s] = 1 + s % 2;
        Q.noti[s] = 10 + s;
        Q.nevo[s] = s;
        Q.sectdur[s] = 1e-3 * s;
        Q.statoff[s] = 3.0 * s;
        std::snprintf(Q.fnames[s], sizeof Q.fnames[s], "wave%d.bin", s);
        std::snprintf(Q.remarks[s], sizeof Q.remarks[s], "sector %d", s);
    }
    Q.x0 = 1.5;
    Q.dz = 0.25;
    std::snprintf(Q.resultflnm, sizeof Q.resultflnm, "%s", "eight.bin");
    Q.vyn_gui_b0_tesla = 7.0;
    Q.vyn_gui_receiver_carrier_ppm = 4.7;
    vyn_spin_subgroup_count = 2;
    std::snprintf(vyn_spin_subgroup_labels[1], 64, "%s", "CH3");
    vyn_spin_subgroup_spin_count[1] = 3;
    vyn_spin_subgroup_spins[1][0] = 6;
    vyn_spin_subgroup_ppm_count[1] = 1;
    vyn_spin_subgroup_ppm[1] = 1.33;
    ASSERT_EQ(VYN_RebuildSpinSystemFromPulseSequenceGlobals(), 1);
    ASSERT_EQ(S.n, 256);
    VYN_SetSmokeCheckMode(0);

    static VYNSpinState spin_before;
    static VYNSequenceState seq_before;
    std::memcpy(&spin_before, &S, sizeof S);
    std::memcpy(&seq_before, &Q, sizeof Q);
    const VYNGridState grid_before = vyn_grid;
    int sub_count = vyn_spin_subgroup_count;
    char label[64];
    std::memcpy(label, vyn_spin_subgroup_labels[1], sizeof label);

    {
        vyntest::Capture out(1), err(2);
        EXPECT_EQ(VYNModel_RunReferenceChecks(), 1) << out.finish();
    }
    EXPECT_EQ(std::memcmp(&Q, &seq_before, sizeof Q), 0) << "sequence state";
    EXPECT_EQ(std::memcmp(&vyn_grid, &grid_before, sizeof vyn_grid), 0) << "grid state";
    EXPECT_EQ(S.Nspins, 8);
    EXPECT_EQ(S.n, 256);
    EXPECT_EQ(std::memcmp(S.quantnum, spin_before.quantnum, sizeof S.quantnum), 0);
    EXPECT_EQ(std::memcmp(S.relspinamp, spin_before.relspinamp, sizeof S.relspinamp), 0);
    EXPECT_EQ(std::memcmp(S.resofreqs, spin_before.resofreqs, sizeof S.resofreqs), 0);
    EXPECT_EQ(std::memcmp(S.couplings, spin_before.couplings, sizeof S.couplings), 0);
    EXPECT_EQ(std::memcmp(S.jc, spin_before.jc, sizeof S.jc), 0);
    EXPECT_EQ(std::memcmp(S.Ilist, spin_before.Ilist, sizeof S.Ilist), 0);
    EXPECT_EQ(S.Jexact, 2);
    EXPECT_EQ(S.Jcount, 28);
    for (const auto& m :
         {std::make_pair(&S.Izee, &spin_before.Izee), std::make_pair(&S.Icoup, &spin_before.Icoup),
          std::make_pair(&S.Ixtot, &spin_before.Ixtot), std::make_pair(&S.densmat, &spin_before.densmat)})
        for (int r = 1; r <= 256; ++r)
            for (int c = 1; c <= 256; ++c) ASSERT_EQ((*m.first)(r, c), (*m.second)(r, c)) << r << "," << c;
    EXPECT_EQ(vyn_spin_subgroup_count, sub_count);
    EXPECT_STREQ(vyn_spin_subgroup_labels[1], label);
    EXPECT_EQ(vyn_spin_subgroup_ppm[1], 1.33);
    vyn_spin_subgroup_count = 0;
}

}  // namespace
