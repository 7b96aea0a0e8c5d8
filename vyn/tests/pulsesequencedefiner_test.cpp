// The pulse-sequence composer driven through standard input: composed
// sequences saved, reloaded and run, and the refusals of its dialogues.
#include "pulsesequencedefiner.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "rfpulseparam.h"
#include "vyn-entry.h"
#include "vyn.h"
#include "vyn_run.h"
#include "vyn_sequence.h"
#include "vyn_test_support.h"
#include "vynmodel.h"

namespace {

// Repository root: from this file's path when it is absolute, else from the
// test executable (<root>/<build>/vyn-targets/<test>).
std::string repo_root() {
    const std::string here = __FILE__;
    if (!here.empty() && here[0] == '/') return here.substr(0, here.rfind("/vyn/tests/"));
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return ".";
    std::string p(exe, (size_t)n);
    for (int up = 0; up < 3; ++up) p = p.substr(0, p.rfind('/'));
    return p;
}

// Answer lines for standard input; within one group '|' separates lines.
std::string lines(std::initializer_list<const char*> groups) {
    std::string s;
    for (const char* g : groups) {
        for (const char* p = g; *p; ++p) s += *p == '|' ? '\n' : *p;
        s += '\n';
    }
    return s;
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
    vyntest::Capture err(2), out(1);
    int rc = vyn_main((int)args.size(), argv.data());
    return {rc, err.finish() + out.finish()};
}

// Output (stdout then stderr) of f with the given answers on standard input.
template <typename F>
std::string run(const std::string& input, F f) {
    vyntest::StdinFeed in(input);
    vyntest::Capture err(2), out(1);
    f();
    std::string o = out.finish();
    return o + err.finish();
}

// Complex samples of a receiver-signal file (12-byte header, then re, im pairs).
std::vector<double> signal_samples(const std::string& path) {
    const std::string bytes = vyntest::read_file(path);
    std::vector<double> v;
    if (bytes.size() < 12) return v;
    v.resize((bytes.size() - 12) / 8);
    std::memcpy(v.data(), bytes.data() + 12, v.size() * 8);
    return v;
}

long file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.' || std::strlen(e->d_name) > 2) names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

void copy_file(const std::string& from, const std::string& to) { vyntest::write_file(to, vyntest::read_file(from)); }

class Composer : public ::testing::Test {
  protected:
    vyntest::InstallTree tree;
    std::string rf(const std::string& leaf) const { return tree.path("rf-output/" + leaf); }
    void SetUp() override {
        init();
        VYNSequenceState_Reset();
        Initialize();
        clear_loaded_model_path();
    }
    // A prepared one-spin state for calling the dialogues directly.
    void one_spin(int family) {
        vyn_spin.Nspins = 1;
        vyn_spin.quantnum[1] = 1;
        vyn_sequence.sequencetype = family;
        set_current_model_short_name("t");
    }
};

// Answers for the 1D/2D editor: pulse-acquire composed from a hard 90 x pulse
// and a 1024-sample receiver window, saved as "composed".
const std::string kPulseAcquire = lines({
    "2|1",                     // main menu: run/analyze; run menu: compose
    "2|2",                     // 1D/2D family, new sequence
    "2|1|1|1|50",              // spin system: 1 spin-1/2, intensity 1, 50 Hz
    "1|1|1|1|1",               // sector 1: normal, hard pulse, 90 x
    "composed||0|hard 90",     // short name, default file, offset, note
    "1|2|1|2|1024|512|1|0|0",  // sector 2: AM rectangular of 0 Hz
    "|0|ADC receiver window",  // default file, offset, note
    "3|composed-signal.bin",   // result file name
    "4|composed|",             // save as models/composed.vynmodel, pause
    "5|",                      // back to the run menu, pause
    "7|6",                     // leave
});

TEST_F(Composer, HardPulseAcquireMatchesShippedModel) {
    for (const char* f :
         {"models/pulse-acquire.vynmodel", "spin-systems/pulse-acquire.vynspin",
          "sequences/pulse-acquire/pulse-acquire.vynseq", "rf-output/hard90_4.bin", "rf-output/adc_1024.bin"}) {
        vyntest::mkdirs(tree.path(f).substr(0, tree.path(f).rfind('/')));
        copy_file(repo_root() + "/" + f, tree.path(f));
    }
    Session s = drive(kPulseAcquire);
    ASSERT_EQ(s.rc, 0);
    EXPECT_NE(s.out.find("Sector waveform file written to : " + rf("composed_2d_s01.bin")), std::string::npos) << s.out;
    EXPECT_EQ(file_size(rf("composed_2d_s01.bin")), 16);
    EXPECT_EQ(file_size(rf("composed_2d_s02.bin")), 16 * 1024);
    EXPECT_NE(s.out.find("[VYN] Exported current state to " + tree.path("models/composed.vynmodel")),
              std::string::npos);

    // Both models run through the command line; the receivers agree.
    const std::string composed_model = tree.path("models/composed.vynmodel");
    ASSERT_EQ(drive("", {"--run-model", composed_model}).rc, 0);
    Session shipped = drive("", {"--run-model", tree.path("models/pulse-acquire.vynmodel")});
    ASSERT_EQ(shipped.rc, 0) << shipped.out;
    const auto a = signal_samples(tree.path("build/runtime/results/composed-signal.bin"));
    const auto b = signal_samples(tree.path("build/runtime/results/pulse-acquire-signal.bin"));
    ASSERT_EQ(a.size(), 2048u);
    ASSERT_EQ(b.size(), a.size());
    double worst = 0.0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    EXPECT_LT(worst, 1e-12);
    EXPECT_NEAR(std::hypot(a[0], a[1]), 1.0, 1e-4);  // a 90 degree pulse tips all magnetisation

    VYNSpinSystemDef spin;
    VYNPulseSequenceDef seq;
    VYNRunConfig cfg;
    char err[512];
    ASSERT_EQ(VYNModel_LoadText(composed_model.c_str(), &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_OK) << err;
    EXPECT_EQ(spin.nspins, 1);
    EXPECT_EQ(spin.resonance_offsets_hz[1], 50.0);
    EXPECT_EQ(seq.sequence_type, 2);
    ASSERT_EQ(seq.sector_count, 2);
    EXPECT_EQ(seq.sectors[1].number_of_timepoints, 1);
    EXPECT_EQ(seq.sectors[1].total_duration_s, 1e-5);
    EXPECT_STREQ(seq.sectors[1].remark, "hard 90");
    EXPECT_EQ(seq.sectors[2].number_of_timepoints, 1024);
    EXPECT_DOUBLE_EQ(seq.sectors[2].total_duration_s, 0.512);
}

// Spatial: a sinc-Gauss 90 degree pulse under a 1 kHz/cm x gradient selects
// |x| < 1 cm; a 1 ms waiting time under -1 kHz/cm rephases it.
TEST_F(Composer, SpatialSliceComposedSavedReloadedAndRun) {
    const std::string answers = lines({
        "2|1",                               // main menu: run/analyze; run menu: compose
        "1|2",                               // spatial family, new sequence
        "2|1|1|1|0",                         // spin system: 1 spin-1/2 on resonance
        "3|33|-4|0.25|1|0|0|1|0|0",          // grid: 33 x points from -4 cm, step 0.25 cm
        "1|1|2|128|2",                       // sector 1: AM, 128 intervals over 2 ms
        "2|0|1.5707963267948966|1000|1000",  // sinc-Gauss: phase, q, f, b
        "0",                                 // static offset
        "1|1000|1|0|1|0",                    // gx = 1 kHz/cm, gy = gz = 0
        "slice||sinc 90 slice",              // short name, default file, note
        "1|2|5|1|0",                         // sector 2: waiting time 1 ms, offset 0
        "1|-1000|1|0|1|0",                   // rephasing gradient
        "|rephase",                          // default file, note
        "4|slice-result.bin",                // result name
        "5|slice|",                          // save as models/slice.vynmodel, pause
        "6||7|6",                            // back, pause, leave both menus
    });
    Session s = drive(answers);
    ASSERT_EQ(s.rc, 0);
    EXPECT_NE(s.out.find("Defined sectors : 1 2\nMissing sectors : <none>\nNext suggested sector number : 3\n"),
              std::string::npos)
        << s.out;
    EXPECT_EQ(file_size(rf("slice_s01.bin")), 40 * 128);
    EXPECT_EQ(file_size(rf("slice_s02.bin")), 40);
    const std::string model = tree.path("models/slice.vynmodel");
    ASSERT_TRUE(vyntest::exists(model)) << s.out;

    Session r = drive("", {"--run-model", model});
    ASSERT_EQ(r.rc, 0) << r.out;
    const std::string result = tree.path("build/runtime/results/slice-result.bin");
    const std::string csv = tree.path("profile.csv");
    ASSERT_EQ(drive("", {"--expectation-profile", model, result, "Iy", csv}).rc, 0);
    // CSV rows: index, x, y, z, re, im.
    const std::string text = vyntest::read_file(csv);
    std::vector<double> x, iy;
    size_t pos = text.find('\n') + 1;
    while (pos < text.size()) {
        int idx;
        double xv, yv, zv, re, im;
        if (sscanf(text.c_str() + pos, "%d,%lf,%lf,%lf,%lf,%lf", &idx, &xv, &yv, &zv, &re, &im) == 6) {
            x.push_back(xv);
            iy.push_back(re);
        }
        pos = text.find('\n', pos) + 1;
        if (pos == 0) break;
    }
    ASSERT_EQ(x.size(), 33u) << text;
    for (size_t i = 0; i < x.size(); ++i) {
        SCOPED_TRACE(x[i]);
        if (std::fabs(x[i]) < 0.3) {
            EXPECT_GT(std::fabs(iy[i]), 0.9);  // inside the slice: rephased, about 90 degrees
        }
        if (std::fabs(x[i]) > 2.4) {
            EXPECT_LT(std::fabs(iy[i]), 0.1);  // well outside: untouched
        }
    }
}

// 1D/2D: a sector after an evolution sector inherits its steps; a second
// evolution sector is refused; time intervals are clamped to 8192; the 2D run
// writes one trace per step.
TEST_F(Composer, TwoDimensionalSequenceWithEvolutionSector) {
    one_spin(2);
    vyn_spin.resofreqs[1] = 30.0;
    vyn_sequence.systemset = 1;
    const std::string answers = lines({
        "1|1|1|1|1||0|",                  // sector 1: normal, hard 90 x, default file, offset, note
        "1|2|2|0.5|16||0|",               // sector 2: evolution, 0.5 ms, 16 steps
        "1|3|2|",                         // sector 3: evolution again: refused, Enter
        "1|3|1|1|1||0|",                  // sector 3: hard 90 x
        "1|4|1|2|10000|32|1|0|0||0|ADC",  // sector 4: receiver window, 10000 intervals asked
        "5",
    });
    std::string out = run(answers, Edit2DPulseSequence);
    EXPECT_NE(out.find("A 3D experiment is not allowed.\nPress <enter> to continue"), std::string::npos) << out;
    const VYNSequenceState& Q = vyn_sequence;
    ASSERT_EQ(Q.nos, 4);
    EXPECT_EQ(Q.sectype[2], 2);
    EXPECT_EQ(Q.nevo[2], 16);
    EXPECT_DOUBLE_EQ(Q.sectdur[2], 0.5e-3);
    EXPECT_EQ(Q.sectype[3], 1);
    EXPECT_EQ(Q.nevo[3], 16);
    EXPECT_EQ(Q.nevo[4], 16);
    EXPECT_EQ(Q.noti[4], 8192);  // clamped like a spatial sector
    EXPECT_NE(out.find("WARNING: ap=10000 exceeds VYN_MAX_RF_POINTS=8192; clamping."), std::string::npos);
    EXPECT_EQ(file_size(rf("t_2d_s04.bin")), 16 * 8192);
    EXPECT_EQ(file_size(rf("t_2d_s02.bin")), 16);
    EXPECT_NE(out.find("  evolution steps       : 16\n  pulse file            : " + rf("t_2d_s02.bin")),
              std::string::npos);
    vyntest::CwdGuard guard;
    ASSERT_EQ(chdir(tree.root.c_str()), 0);
    out = run("", RunCurrentPreparedModel);
    EXPECT_NE(
        out.find("Wrote 2D complex receiver signal to " + tree.root + "/result.bin (samples=8192, evolution rows=16"),
        std::string::npos)
        << out;
    EXPECT_EQ(file_size(tree.path("result.bin")), 12 + 16 * 8192 * 16);
}

TEST_F(Composer, SpatialEditorRefusalsAndOverview) {
    one_spin(1);
    vyn_sequence.systemset = 1;
    vyn_sequence.offsetset = 1;
    // Sector 5 of an empty sequence: waiting time with zero gradients.
    const std::string wait5 = lines({
        "1|5|5|1",        // sector 5: waiting time of 1 ms
        "0|1|0|1|0|1|0",  // offset; zero gradients
        "|",              // default file, no note
    });
    std::string out = run(wait5 + "6\n", EditPulseSequence);
    EXPECT_EQ(vyn_sequence.nos, 5);
    EXPECT_EQ(vyn_sequence.noti[5], 1);
    EXPECT_DOUBLE_EQ(vyn_sequence.sectdur[5], 1e-3);
    EXPECT_NE(out.find("Defined sectors : 5\nMissing sectors : 1 2 3 4\nNext suggested sector number : 1\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Suggested next step:\nDefine sector 1 first.\n"), std::string::npos);

    // 10000 intervals are clamped with the warning; nan and a sector number out of range are asked again.
    const std::string clamp = lines({
        "1|21",               // out of range
        "1|1|2|10000|nan|4",  // sector 1: AM, 10000 intervals, nan then 4 ms
        "1|0|100|0",          // rectangular 100 Hz, offset
        "1|0|1|0|1|0||",      // zero gradients, default file, no note
        "6",
    });
    out = run(clamp, EditPulseSequence);
    EXPECT_NE(out.find("Invalid sector number. Allowed range is 1..20."), std::string::npos);
    EXPECT_NE(out.find("WARNING: ap=10000 exceeds VYN_MAX_RF_POINTS=8192; clamping."), std::string::npos);
    EXPECT_NE(out.find("Please enter a numeric value."), std::string::npos);
    EXPECT_EQ(vyn_sequence.noti[1], 8192);
    EXPECT_DOUBLE_EQ(vyn_sequence.sectdur[1], 4e-3);
    EXPECT_EQ(file_size(rf("t_s01.bin")), 40 * 8192);
    EXPECT_DOUBLE_EQ(vyn_waveform.xb[8191], 2 * 3.141592653589793 * 100);

    // A typed name is sanitised and stays in the default directory; no temporary is left.
    const std::string named = lines({
        "1|2|1|1|0|1|0|1|0|1|0",  // sector 2: hard 90 x, offset, zero gradients
        "../x y.bin|",            // typed name, no note
        "6",
    });
    run(named, EditPulseSequence);
    EXPECT_STREQ(vyn_sequence.fnames[2], rf(".._x_y.bin").c_str());
    EXPECT_EQ(file_size(rf(".._x_y.bin")), 40);
    EXPECT_FALSE(vyntest::exists(tree.path("x y.bin")));
    EXPECT_FALSE(vyntest::exists(tree.path("x_y.bin")));
    for (const std::string& leaf : list_dir(tree.path("rf-output")))
        EXPECT_EQ(leaf.find(".part"), std::string::npos) << leaf;

    // Sector 3 typed with sector 1's file: asked first; "no" asks for another name.
    const long size1 = file_size(rf("t_s01.bin"));
    const std::string taken = lines({
        "1|3|1|1|0|1|0|1|0|1|0",  // sector 3: hard 90 x, offset, zero gradients
        "t_s01.bin|0",            // sector 1's file: do not overwrite
        "own.bin||6",             // another name, no note
    });
    out = run(taken, EditPulseSequence);
    EXPECT_NE(out.find("This file belongs to sector 1: " + rf("t_s01.bin")), std::string::npos) << out;
    EXPECT_EQ(file_size(rf("t_s01.bin")), size1);
    EXPECT_STREQ(vyn_sequence.fnames[3], rf("own.bin").c_str());
    EXPECT_STREQ(vyn_sequence.fnames[1], rf("t_s01.bin").c_str());

    // End of input in the middle of a sector: nothing of it is stored or written.
    const int noti4 = vyn_sequence.noti[4];
    out = run(lines({"1|4|2|64|3"}), EditPulseSequence);
    EXPECT_EQ(vyn_sequence.noti[4], noti4);
    EXPECT_FALSE(vyntest::exists(rf("t_s04.bin")));
    EXPECT_EQ(vyn_sequence.nos, 5);
}

struct SpinCase {
    const char* name;
    std::string input;
    bool complete;
    int nspins;
    int n;
    const char* shown;
};

TEST_F(Composer, SpinSystemDialogueLimits) {
    const std::vector<SpinCase> cases = {
        {"six spin-1/2 give 64 states",
         lines({"6|1|1|1|1|1|1",                            // six spins-1/2
                "1|1|1|1|1|1|0|10|20|30|40|50",             // intensities, offsets
                "2|1|2|3|4|5|6|7|8|9|10|11|12|13|14|15"}),  // exact coupling, 15 pairs
         true, 6, 64, "n = 64\n"},
        {"seven spins asked again", lines({"7|1|1|1|0"}), true, 1, 2,
         "At most 6 spins can be defined here.\nNumber of Spins = "},
        {"x = 64 restarts the definition", lines({"1|64|1|3|2|1"}), true, 1, 4,
         "exceeds 64 states; please define the spin system again.\nNumber of Spins = "},
        {"end of input keeps the old system", lines({"2|1|1|1"}), false, 3, 0, "Relative Intensity"},
    };
    for (const SpinCase& c : cases) {
        SCOPED_TRACE(c.name);
        vyn_spin.Nspins = 3;
        bool ok = false;
        std::string out = run(c.input, [&] {
            VYN_SetSmokeCheckMode(1);
            ok = PS_DefineSpinSystem();
            VYN_SetSmokeCheckMode(0);
        });
        EXPECT_EQ(ok, c.complete);
        EXPECT_NE(out.find(c.shown), std::string::npos) << out;
        EXPECT_EQ(vyn_spin.Nspins, c.nspins);
        if (c.complete) {
            EXPECT_EQ(vyn_spin.n, c.n);
        }
    }
    // The last complete case (one spin 3/2, x = 3) was built into the engine.
    vyn_spin.Nspins = 0;
    run(lines({"2|1|1|1|1|5|-5|2|7.5"}), [] {
        VYN_SetSmokeCheckMode(1);
        PS_DefineSpinSystem();
        VYN_SetSmokeCheckMode(0);
    });
    EXPECT_EQ(vyn_spin.Jexact, 2);
    EXPECT_EQ(vyn_spin.Jcount, 1);
    EXPECT_EQ(vyn_spin.couplings[1], 7.5);
    EXPECT_EQ(vyn_spin.jc[1][2], 7.5);
    EXPECT_EQ(vyn_spin.jc[2][1], 7.5);
    EXPECT_EQ(vyn_spin.resofreqs[2], -5.0);
}

TEST_F(Composer, FamilyMenuRules) {
    one_spin(1);
    vyn_sequence.nos = 2;
    // Continuing as 1D/2D is refused while a spatial sequence with sectors is in memory.
    std::string out = run(lines({"2|1|3|3"}), ComposePulseSequence);
    EXPECT_NE(out.find("Selected sequence family: 1D or 2D NMR pulse sequence\n"), std::string::npos) << out;
    EXPECT_NE(out.find("A different sequence family is already prepared in memory.\n"
                       "Start a new 1D or 2D NMR sequence instead.\n"),
              std::string::npos);
    EXPECT_EQ(vyn_sequence.sequencetype, 1);
    // A new sequence switches the family and empties it; the editor opens.
    out = run(lines({"2|2|5"}), ComposePulseSequence);
    EXPECT_EQ(vyn_sequence.sequencetype, 2);
    EXPECT_EQ(vyn_sequence.nos, 0);
    EXPECT_EQ(vyn_sequence.sectorset, 0);
    EXPECT_EQ(vyn_sequence.systemset, 1);
    EXPECT_EQ(vyn_sequence.offsetset, 0);
    EXPECT_NE(out.find("***      Edit Current 1D / 2D NMR Model        ***"), std::string::npos);
    out = run(lines({"9|4"}), ComposePulseSequence);
    EXPECT_NE(out.find("Unknown choice."), std::string::npos);
}

}  // namespace
