// Interactive menus driven through standard input: import, run, export,
// preparation dialogues, the run driver's refusals and status printout.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vyn-entry.h"
#include "vyn.h"
#include "vyn_run.h"
#include "vyn_sequence.h"
#include "vyn_test_support.h"
#include "vynmenus.h"
#include "vynmodel.h"
#include "vynrunmenu.h"

namespace {

void write_doubles(const std::string& path, const std::vector<double>& v) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(v.data(), sizeof(double), v.size(), f);
    fclose(f);
}

struct Session {
    int rc;
    std::string out;
};

Session drive(const std::string& input, std::vector<std::string> args = {}) {
    args.insert(args.begin(), "vyn");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    vyntest::CwdGuard guard;
    vyntest::StdinFeed in(input);
    vyntest::Capture out(1);
    int rc = vyn_main((int)args.size(), argv.data());
    return {rc, out.finish()};
}

template <typename F>
std::string captured(const std::string& input, F f) {
    vyntest::StdinFeed in(input);
    vyntest::Capture out(1);
    f();
    return out.finish();
}

class Menus : public ::testing::Test {
  protected:
    vyntest::InstallTree tree;
    void SetUp() override {
        vyntest::mkdirs(tree.path("spin-systems"));
        vyntest::mkdirs(tree.path("sequences/pa"));
        write_doubles(tree.path("rf-output/hard.bin"), {1.5e5, 0.0});
        write_doubles(tree.path("rf-output/adc.bin"), std::vector<double>(32, 0.0));
        vyntest::write_file(tree.path("spin-systems/two.vynspin"),
                            "format_version: 1\nnspins: 2\nspin_quantum_numbers: 1 1\nrelative_intensities: 1 1\n"
                            "resonance_offsets_hz: 30 -20\ncoupling_mode: 1\njcoupling_hz: 1 2 5\n");
        vyntest::write_file(tree.path("sequences/pa/pa.vynseq"),
                            "format_version: 1\nsequence_type: 2\nnumber_of_sectors: 2\n"
                            "sector_type: 1 1\nsector_timepoints: 1 1\nsector_evolpoints: 1 1\n"
                            "sector_duration_s: 1 1e-5\nsector_pulsefile: 1 hard.bin\nsector_statoff_hz: 1 0\n"
                            "sector_type: 2 1\nsector_timepoints: 2 16\nsector_evolpoints: 2 1\n"
                            "sector_duration_s: 2 0.016\nsector_pulsefile: 2 adc.bin\nsector_statoff_hz: 2 0\n"
                            "sector_remark: 2 ADC\n");
        vyntest::write_file(tree.path("models/pa.vynmodel"),
                            "format_version: 1\nspin_system_file: ../spin-systems/two.vynspin\n"
                            "sequence_file: ../sequences/pa/pa.vynseq\nndx: 1\nndy: 1\nndz: 1\nx0_cm: 0\n"
                            "y0_cm: 0\nz0_cm: 0\ndx_cm: 0\ndy_cm: 0\ndz_cm: 0\nresult_file: pa-signal.bin\n");
        // Not offered by the import list: no split keys, or another extension.
        vyntest::write_file(tree.path("models/old-inline.vynmodel"), "format_version: 1\nnspins: 1\n");
        vyntest::write_file(tree.path("models/notes.txt"), "spin_system_file: sequence_file:\n");
    }
};

TEST_F(Menus, ImportRunExportAndLeaveAtEndOfInput) {
    const std::string input =
        "3\n1\n\n"          // import the first listed model, pause
        "2\n2\n\n7\n"       // run menu: run, pause, back
        "4\nexported\n\n";  // export to a bare name, pause; then end of input
    Session s = drive(input);
    EXPECT_EQ(s.rc, 0);
    EXPECT_NE(s.out.find("[VYN] Available model files in:\n      " + tree.path("models") + "\n\n    1) pa.vynmodel\n"),
              std::string::npos)
        << s.out;
    EXPECT_EQ(s.out.find("old-inline"), std::string::npos);
    EXPECT_EQ(s.out.find("notes.txt"), std::string::npos);
    EXPECT_NE(s.out.find("[VYN] Import successful."), std::string::npos);
    EXPECT_NE(s.out.find(" Loaded model : " + tree.path("models/pa.vynmodel")), std::string::npos);
    EXPECT_NE(s.out.find("  run status       : ready"), std::string::npos);
    EXPECT_NE(s.out.find("Wrote complex receiver signal to " + tree.path("build/runtime/results/pa-signal.bin")),
              std::string::npos);
    EXPECT_TRUE(vyntest::exists(tree.path("build/runtime/results/pa-signal.bin")));
    EXPECT_TRUE(vyntest::exists(tree.path("build/runtime/dm.bin")));  // the menu runs in the runtime directory
    const std::string exported = tree.path("models/exported.vynmodel");
    EXPECT_NE(s.out.find("[VYN] Exported current state to " + exported), std::string::npos);
    EXPECT_EQ(s.out.substr(s.out.size() - 16), "\n[VYN] Exiting.\n");
    EXPECT_EQ(s.out.find("\033["), std::string::npos);  // no clearing escapes when output is not a terminal
    EXPECT_STREQ(g_loaded_model_path, exported.c_str());

    VYNSpinSystemDef spin;
    VYNPulseSequenceDef seq;
    VYNRunConfig cfg;
    char err[512];
    ASSERT_EQ(VYNModel_LoadText(exported.c_str(), &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_OK) << err;
    EXPECT_EQ(spin.nspins, 2);
    EXPECT_EQ(spin.j_hz[1][2], 5.0);
    EXPECT_EQ(seq.sector_count, 2);
    EXPECT_STREQ(seq.sectors[2].remark, "ADC");
    EXPECT_EQ(std::string(cfg.result_filename), tree.path("build/runtime/results/pa-signal.bin"));
}

// The import list holds split model files only, sorted by name; with more files
// than slots it keeps the first names, whatever order the directory gives.
TEST_F(Menus, ImportListIsSortedAndBounded) {
    const std::string dir = tree.path("models");
    for (const char* leaf : {"e.vynmodel", "b.VYNMODEL", "d.vynmodel", "a.vynmodel", "c.vynmodel"})
        vyntest::write_file(dir + "/" + leaf, "spin_system_file: x\nsequence_file: y\n");
    vyntest::mkdirs(dir + "/0dir.vynmodel");
    ASSERT_EQ(mkfifo((dir + "/0pipe.vynmodel").c_str(), 0600), 0);  // must not block the listing
    char names[3][260];
    ASSERT_EQ(collect_model_files(dir.c_str(), names, 3), 3);
    EXPECT_STREQ(names[0], "a.vynmodel");
    EXPECT_STREQ(names[1], "b.VYNMODEL");
    EXPECT_STREQ(names[2], "c.vynmodel");
    char all[16][260];
    // pa.vynmodel from the fixture is split too; old-inline.vynmodel and notes.txt are not.
    ASSERT_EQ(collect_model_files(dir.c_str(), all, 16), 6);
    EXPECT_STREQ(all[4], "e.vynmodel");
    EXPECT_STREQ(all[5], "pa.vynmodel");
    EXPECT_EQ(collect_model_files(tree.path("nowhere").c_str(), all, 16), 0);
}

TEST_F(Menus, ExportOverwriteQuestionAndCancels) {
    {
        VYNSpinSystemDef spin;
        VYNPulseSequenceDef seq;
        VYNRunConfig cfg;
        char err[512];
        ASSERT_EQ(VYNModel_LoadText(tree.path("models/pa.vynmodel").c_str(), &spin, &seq, &cfg, err, sizeof err),
                  VYN_MODEL_OK);
        VYN_SetSmokeCheckMode(1);
        ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&spin, &seq, &cfg, err, sizeof err), VYN_MODEL_OK);
        VYN_SetSmokeCheckMode(0);
    }
    vyntest::write_file(tree.path("models/keep.vynmodel"), "original");
    // An extension in any case is kept; file names differing in case are different files here.
    Session s = drive("4\nkeep.VYNMODEL\n\n");
    EXPECT_EQ(s.out.find("[VYN] File already exists:"), std::string::npos);
    EXPECT_NE(s.out.find("[VYN] Exported current state to " + tree.path("models/keep.VYNMODEL")), std::string::npos)
        << s.out;
    EXPECT_TRUE(vyntest::exists(tree.path("sequences/keep/keep.vynseq")));
    s = drive("4\nkeep\n0\n\n");
    EXPECT_NE(s.out.find("[VYN] File already exists:\n      " + tree.path("models/keep.vynmodel")), std::string::npos);
    EXPECT_NE(s.out.find("Overwrite? [1=yes, 0=no]: "), std::string::npos);
    EXPECT_NE(s.out.find("[VYN] Export cancelled."), std::string::npos);
    EXPECT_EQ(vyntest::read_file(tree.path("models/keep.vynmodel")), "original");
    // An empty name cancels silently; end of input leaves the program.
    s = drive("4\n\n");
    EXPECT_EQ(s.rc, 0);
    EXPECT_EQ(s.out.find("Export failed"), std::string::npos);
    // Nothing to export after start-up (no spin system).
    vyn_spin.Nspins = 0;
    s = drive("4\nfresh\n\n");
    EXPECT_NE(s.out.find("[VYN] No current model is available to export yet.\n"
                         "[VYN] Load, import, or define a spin system first, then export it."),
              std::string::npos)
        << s.out;
    EXPECT_FALSE(vyntest::exists(tree.path("models/fresh.vynmodel")));
}

TEST_F(Menus, MainMenuChoicesAndEmptyModelsDirectory) {
    Session s = drive("9\nabc\n");
    EXPECT_NE(s.out.find("Invalid choice. Please enter 1, 2, 3, 4, 5, 6 or 7."), std::string::npos);
    EXPECT_EQ(s.rc, 0);
    // Import with an empty models directory says so and pauses.
    vyntest::remove_tree(tree.root);
    vyntest::mkdirs(tree.path("build"));
    vyntest::mkdirs(tree.path("models"));
    s = drive("3\n\n");
    EXPECT_NE(s.out.find("[VYN] No .vynmodel files found in:\n      " + tree.path("models")), std::string::npos);
    EXPECT_NE(s.out.find("Press Enter to return to the menu..."), std::string::npos);
    // Invalid selections are asked again; Enter cancels without a message.
    vyntest::write_file(tree.path("models/a.vynmodel"), "spin_system_file: x\nsequence_file: y\n");
    s = drive("3\n7\nx\n\n");
    EXPECT_NE(s.out.find("[VYN] Invalid selection.\n\nSelect model file [1-1] (Enter cancels): [VYN] Invalid"),
              std::string::npos)
        << s.out;
    EXPECT_EQ(s.out.find("Import failed"), std::string::npos);
    // A listed model that fails to load reports why.
    s = drive("3\n1\n\n");
    EXPECT_NE(s.out.find("[VYN] Import failed: i/o error (could not open spin system '"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("[VYN] Path used: " + tree.path("models/a.vynmodel")), std::string::npos);
}

TEST_F(Menus, PreparationMenu) {
    vyn_spin.Nspins = 0;
    Session s = drive("1\n9\n\n3\n\nq\n");
    EXPECT_NE(s.out.find(" Prepare / Edit Current Model"), std::string::npos);
    EXPECT_NE(s.out.find("  spin system      : <none prepared>"), std::string::npos);
    EXPECT_NE(s.out.find("Unknown choice.\nPress Enter to continue..."), std::string::npos);
    EXPECT_NE(s.out.find("No spin system is currently prepared.\nDefine or import a model first."), std::string::npos);
    // The letter left the preparation menu; end of input then ends the program.
    EXPECT_EQ(s.rc, 0);
    EXPECT_NE(s.out.find("[VYN] Exiting."), std::string::npos);
}

TEST_F(Menus, SpatialDomainDialogue) {
    vyn_spin.spinsystemdefined = 1;
    vyn_sequence.offsetset = 0;
    std::string out = captured("1\n0\n0\n0\n5\n1\n0\n4\n2\n3\n", DefineSpatialSimulationDomain);
    EXPECT_EQ(vyn_grid.ndx, 5);
    EXPECT_EQ(vyn_grid.ndy, 1);
    EXPECT_EQ(vyn_grid.ndz, 1);  // 0 becomes 1
    EXPECT_DOUBLE_EQ(vyn_sequence.x0, -2.0);
    EXPECT_DOUBLE_EQ(vyn_sequence.dx, 1.0);
    EXPECT_DOUBLE_EQ(vyn_sequence.y0, 0.0);  // one point: the centre, no step
    EXPECT_DOUBLE_EQ(vyn_sequence.dy, 0.0);
    EXPECT_EQ(vyn_sequence.offsetset, 1);
    EXPECT_NE(out.find("Spatial simulation domain defined.\n  ndx=5  ndy=1  ndz=1\n"), std::string::npos) << out;

    out = captured("0\n-3\n2\n1\n1.5\n-1\n0\n0.25\n0.5\n7\n", DefineSpatialSimulationDomain);
    EXPECT_EQ(vyn_grid.ndx, 1);
    EXPECT_EQ(vyn_grid.ndy, 2);
    EXPECT_DOUBLE_EQ(vyn_sequence.x0, 1.5);
    EXPECT_DOUBLE_EQ(vyn_sequence.dx, 0.0);  // single point along x
    EXPECT_DOUBLE_EQ(vyn_sequence.dy, 0.5);
    EXPECT_DOUBLE_EQ(vyn_sequence.dz, 0.0);

    // Unreadable input ends the dialogue; values before it stay, flags are not set.
    vyn_sequence.offsetset = 0;
    vyn_spin.offsetsdefined = 0;
    out = captured("0\n4\nx\n", DefineSpatialSimulationDomain);
    EXPECT_EQ(vyn_grid.ndx, 4);
    EXPECT_EQ(vyn_sequence.offsetset, 0);
    EXPECT_EQ(out.find("Spatial simulation domain defined."), std::string::npos);

    vyn_spin.spinsystemdefined = 0;
    out = captured("", DefineSpatialSimulationDomain);
    EXPECT_NE(out.find(">>>> No spin system is defined. Define spins first. <<<<"), std::string::npos);
}

TEST_F(Menus, LabelsAndSummary) {
    EXPECT_STREQ(SequenceTypeLabel(2), "1D/2D NMR");
    EXPECT_STREQ(SequenceTypeLabel(3), "<unknown>");
    EXPECT_STREQ(SectorTypeLabel(6), "waiting time / free precession");
    EXPECT_STREQ(SectorTypeLabel(-1), "<unknown>");
    vyn_spin.Nspins = 1;
    vyn_sequence.sequencetype = 1;
    vyn_sequence.nos = 0;
    vyn_grid.ndx = 3;
    vyn_sequence.x0 = -1;
    vyn_sequence.dx = 0.5;
    std::string out = captured("", PrintCurrentModelSummary);
    EXPECT_NE(out.find("  coupling mode    : no couplings\n"), std::string::npos);
    EXPECT_NE(out.find("  ndx              : 3\n  ndy"), std::string::npos);
    EXPECT_NE(out.find("  x0 [cm]          : -1\n  dx [cm]          : 0.5\n  y0 [cm]"), std::string::npos) << out;
    EXPECT_NE(out.find("  <no sectors defined>"), std::string::npos);
    vyn_sequence.sequencetype = 2;
    out = captured("", PrintCurrentModelSummary);
    EXPECT_EQ(out.find("Spatial grid:"), std::string::npos);
}

// The receiver offset entered in the spectrum dialogue must move the line by
// exactly that frequency, whatever the number of spins (one spin-1/2 here,
// where a normalised offset operator would move it by sqrt(2) times as much).
TEST_F(Menus, SpectraShiftTheLineByExactlyTheReceiverOffset) {
    vyntest::write_file(tree.path("spin-systems/one.vynspin"),
                        "format_version: 1\nnspins: 1\nspin_quantum_numbers: 1\nrelative_intensities: 1\n"
                        "resonance_offsets_hz: 0\ncoupling_mode: 1\n");
    vyntest::write_file(tree.path("models/one.vynmodel"),
                        "format_version: 1\nspin_system_file: ../spin-systems/one.vynspin\n"
                        "sequence_file: ../sequences/pa/pa.vynseq\nndx: 1\nndy: 1\nndz: 1\nx0_cm: 0\n"
                        "y0_cm: 0\nz0_cm: 0\ndx_cm: 0\ndy_cm: 0\ndz_cm: 0\nresult_file: one-signal.bin\n");
    vyntest::CwdGuard guard;
    const std::string runtime = tree.path("build/runtime");
    vyntest::mkdirs(runtime);
    ASSERT_EQ(chdir(runtime.c_str()), 0);
    VYNSpinSystemDef spin;
    VYNPulseSequenceDef seq;
    VYNRunConfig cfg;
    char err[512];
    VYN_SetSmokeCheckMode(1);
    ASSERT_EQ(VYNModel_LoadText(tree.path("models/one.vynmodel").c_str(), &spin, &seq, &cfg, err, sizeof err),
              VYN_MODEL_OK)
        << err;
    ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&spin, &seq, &cfg, err, sizeof err), VYN_MODEL_OK) << err;
    captured("", RunCurrentPreparedModel);
    VYN_SetSmokeCheckMode(0);
    ASSERT_TRUE(vyntest::exists("dm.bin"));

    const double f_off = 10.0, acq = 0.1;
    const int np = 16;
    for (int choice : {1, 2}) {  // average spectrum, then the separate spectra
        remove("vynsign.bin");
        const std::string input = "4\n" + std::to_string(choice) + "\n16\n0.1\n10\n3\n\n7\n";
        std::string out = captured(input, LiouvilleNonInteractive);
        const std::string sig = vyntest::read_file("vynsign.bin");
        ASSERT_EQ(sig.size(), 12u + np * 16u) << "choice " << choice << "\n" << out;
        int32_t hdr[3];
        memcpy(hdr, sig.data(), sizeof hdr);
        EXPECT_EQ(hdr[0], 1);
        EXPECT_EQ(hdr[1], np);
        std::vector<double> v(2 * np);
        memcpy(v.data(), sig.data() + 12, v.size() * sizeof(double));
        // The average spectrum samples t = k*acq/(np-1), the direct propagation t = k*acq/np.
        const double dt = choice == 1 ? acq / (np - 1) : acq / np;
        const double m0 = std::hypot(v[0], v[1]);
        ASSERT_GT(m0, 0.1);
        for (int k = 1; k < np; ++k) {
            // cos of the phase advance since t = 0, independent of the sense of rotation
            const double re = v[2 * k] * v[0] + v[2 * k + 1] * v[1];
            const double mk = std::hypot(v[2 * k], v[2 * k + 1]);
            EXPECT_NEAR(mk, m0, 1e-6 * m0) << "choice " << choice << " k " << k;
            EXPECT_NEAR(re / (mk * m0), std::cos(2 * M_PI * f_off * k * dt), 1e-6) << "choice " << choice << " k " << k;
        }
    }
    // The engine's totals are back to the plain sums afterwards.
    EXPECT_NEAR(vyn_spin.Iztot.re(1, 1), 0.5, 1e-12);
    EXPECT_NEAR(vyn_spin.Ixtot.re(1, 2), 0.5, 1e-12);
}

class RunDriver : public Menus {
  protected:
    std::string runtime;
    vyntest::CwdGuard guard;
    void SetUp() override {
        Menus::SetUp();
        runtime = tree.path("build/runtime");
        vyntest::mkdirs(runtime);
        ASSERT_EQ(chdir(runtime.c_str()), 0);
        VYNSpinSystemDef spin;
        VYNPulseSequenceDef seq;
        VYNRunConfig cfg;
        char err[512];
        VYN_SetSmokeCheckMode(1);
        ASSERT_EQ(VYNModel_LoadText(tree.path("models/pa.vynmodel").c_str(), &spin, &seq, &cfg, err, sizeof err),
                  VYN_MODEL_OK);
        ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&spin, &seq, &cfg, err, sizeof err), VYN_MODEL_OK);
        VYN_SetSmokeCheckMode(0);
        for (const char* f : {"dm.bin", "store", "vynsign.bin", "spectra.bin"}) vyntest::write_file(f, "old");
    }
    bool any_result_left() {
        for (const char* f : {"dm.bin", "store", "vynsign.bin", "spectra.bin"})
            if (vyntest::exists(f)) return true;
        return false;
    }
};

TEST_F(RunDriver, RefusalsKeepOrRemoveResultFiles) {
    vyn_sequence.sectorset = 0;
    std::string out = captured("", RunCurrentPreparedModel);
    EXPECT_EQ(out,
              "No pulse sequence is currently prepared.\n"
              "Compose or import a model with at least one sector first.\n");
    EXPECT_EQ(vyntest::read_file("dm.bin"), "old");

    vyn_sequence.sectorset = 1;
    vyn_sequence.sequencetype = 5;
    out = captured("", RunCurrentPreparedModel);
    EXPECT_EQ(out, "Unknown sequence type (5).\nChoose a valid sequence family and verify the current model.\n");
    EXPECT_FALSE(any_result_left());

    for (const char* f : {"dm.bin", "vynsign.bin"}) vyntest::write_file(f, "old");
    vyn_sequence.sequencetype = 1;
    vyn_grid.ndz = 0;
    out = captured("", RunCurrentPreparedModel);
    EXPECT_EQ(out,
              "The current model is spatially resolved, but the spatial grid\nis not fully defined yet.\n"
              "Define the spatial simulation domain first.\n");
    EXPECT_FALSE(any_result_left());

    vyn_sequence.sequencetype = 0;
    out = captured("", RunCurrentPreparedModel);
    EXPECT_NE(out.find("No sequence family is currently selected."), std::string::npos);
    vyn_sequence.systemset = 0;
    out = captured("", RunCurrentPreparedModel);
    EXPECT_EQ(out, "No spin system is currently prepared.\nImport or define a model first.\n");
}

TEST_F(RunDriver, StatusPrintout) {
    std::string out = captured("", PrintNonInteractiveStatus);
    EXPECT_NE(out.find("  sequence family  : 1D/2D NMR (2)\n  sequence sectors : 2\n"
                       "  first sector     : normal sector (1)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("  run status       : ready\n"), std::string::npos);
    // The first incomplete sector is named even when a later one is fine.
    vyn_sequence.nos = 3;
    vyn_sequence.sectype[3] = 1;
    vyn_sequence.noti[3] = 1;
    vyn_sequence.nevo[3] = 1;
    snprintf(vyn_sequence.fnames[3], VYN_FNAME_LEN, "x.bin");
    vyn_sequence.nevo[2] = 0;
    out = captured("", PrintNonInteractiveStatus);
    EXPECT_NE(out.find("  run status       : incomplete (sector 2 is incomplete)\n"), std::string::npos) << out;
    vyn_sequence.sequencetype = 1;
    vyn_sequence.sectype[1] = 6;
    vyn_sequence.nevo[2] = 1;
    vyn_sequence.statoff[3] = NAN;
    out = captured("", PrintNonInteractiveStatus);
    EXPECT_NE(out.find("  first sector     : waiting time / free precession (6)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("  run status       : incomplete (sector 3 is incomplete)\n"), std::string::npos);
    vyn_sequence.statoff[3] = 0;
    vyn_grid.ndy = 0;
    out = captured("", PrintNonInteractiveStatus);
    EXPECT_NE(out.find("  run status       : incomplete (spatial grid missing)\n"), std::string::npos);
    vyn_spin.Nspins = 0;
    out = captured("", PrintNonInteractiveStatus);
    EXPECT_NE(out.find("  run status       : incomplete (spin system missing)\n"), std::string::npos);
    EXPECT_NE(out.find("  spin system      : <none prepared>\n"), std::string::npos);
}

TEST_F(RunDriver, RunMenuLeavesOnLetterAndUnknownChoice) {
    std::string out = captured("8\n\n5\n\nz\n", LiouvilleNonInteractive);
    EXPECT_NE(out.find("***         Run / Analyze Current Model         ***"), std::string::npos);
    EXPECT_NE(out.find("Unknown choice.\n\nPress Enter to continue..."), std::string::npos) << out;
    EXPECT_NE(out.find("Current prepared 1D/2D sequence sectors:"), std::string::npos) << out;
    EXPECT_NE(out.find("Choose the optimizable sector index : "), std::string::npos);
    // End of input also leaves the menu.
    out = captured("", LiouvilleNonInteractive);
    EXPECT_NE(out.find("Your choice [1..7] : "), std::string::npos);
}

}  // namespace

#include <fcntl.h>
#include <poll.h>

#include "consuleutil.h"

namespace {

TEST(Console, ClearsOnlyATerminal) {
    {
        vyntest::Capture out(1);
        ScreenMode(3);
        EXPECT_EQ(out.finish(), "");
    }
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pseudo terminal";
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    fflush(stdout);
    int saved = dup(1);
    dup2(slave, 1);
    ScreenMode(3);
    ScreenMode(1);  // other modes do nothing
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string got;
    struct pollfd p = {master, POLLIN, 0};
    char buf[64];
    while (poll(&p, 1, 200) > 0) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, (size_t)n);
    }
    close(slave);
    close(master);
    EXPECT_EQ(got, "\033[2J\033[H");
}

}  // namespace
