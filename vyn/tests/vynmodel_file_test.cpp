// Model file: reader rules, result paths, the split-layout writer and round trips.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "vyn_test_support.h"
#include "vynmodel.h"

namespace {

class ModelFile : public ::testing::Test {
  protected:
    vyntest::InstallTree tree;
    VYNSpinSystemDef spin;
    VYNPulseSequenceDef seq;
    VYNRunConfig cfg;
    char err[1024];
    std::string model;
    void SetUp() override {
        vyntest::mkdirs(tree.path("spin-systems"));
        vyntest::mkdirs(tree.path("sequences/s/waveforms"));
        vyntest::write_file(tree.path("spin-systems/x.vynspin"),
                            "format_version: 1\nnspins: 2\nspin_quantum_numbers: 1 1\nrelative_intensities: 1 1\n"
                            "resonance_offsets_hz: 100 -40\ncoupling_mode: 1\njcoupling_hz: 1 2 12\n");
        vyntest::write_file(tree.path("sequences/s/waveforms/Wave1.bin"), "w");
        vyntest::write_file(tree.path("sequences/s/s.vynseq"),
                            "format_version: 1\nsequence_type: 1\nnumber_of_sectors: 1\nsector_type: 1 1\n"
                            "sector_timepoints: 1 1\nsector_evolpoints: 1 1\nsector_duration_s: 1 1e-05\n"
                            "sector_pulsefile: 1 waveforms/Wave1.bin\nsector_statoff_hz: 1 0\n"
                            "sector_remark: 1 test\n");
        model = tree.path("models/m.vynmodel");
    }
    static std::string body(const std::string& skip = "", const std::string& extra = "") {
        const char* lines[] = {"format_version: 1",
                               "spin_system_file: ../spin-systems/x.vynspin",
                               "sequence_file: ../sequences/s/s.vynseq",
                               "ndx: 5",
                               "ndy: 1",
                               "ndz: 1",
                               "x0_cm: -10",
                               "y0_cm: 0",
                               "z0_cm: 0",
                               "dx_cm: 5",
                               "dy_cm: 0",
                               "dz_cm: 0",
                               "result_file: result.bin"};
        std::string out;
        for (const char* l : lines)
            if (skip.empty() || std::string(l).compare(0, skip.size() + 1, skip + ":") != 0)
                out += std::string(l) + "\n";
        return out + extra;
    }
    VYNModelStatus load(const std::string& text) {
        vyntest::write_file(model, text);
        err[0] = '\0';
        return VYNModel_LoadText(model.c_str(), &spin, &seq, &cfg, err, sizeof err);
    }
    std::string results_dir() const { return tree.path("build/runtime/results"); }
};

TEST_F(ModelFile, LoadsSplitModelAndResolvesPaths) {
    ASSERT_EQ(load(body()), VYN_MODEL_OK) << err;
    EXPECT_EQ(spin.nspins, 2);
    EXPECT_DOUBLE_EQ(spin.j_hz[1][2], 12.0);
    EXPECT_EQ(seq.sector_count, 1);
    EXPECT_EQ(cfg.ndx, 5);
    EXPECT_DOUBLE_EQ(cfg.x0_cm, -10.0);
    EXPECT_STREQ(cfg.model_name, "m");  // derived from the file name
    EXPECT_EQ(std::string(cfg.result_filename), results_dir() + "/result.bin");
    EXPECT_TRUE(vyntest::exists(results_dir()));  // created on resolution
    EXPECT_TRUE(vyn_file_exists_local(seq.sectors[1].pulse_filename));
    EXPECT_NE(std::string(seq.sectors[1].pulse_filename).find("waveforms/Wave1.bin"), std::string::npos);
    // An absolute result file is kept as it is.
    ASSERT_EQ(load(body("result_file", "result_file: /tmp/abs-result.bin\nmodel_name: Named\n")), VYN_MODEL_OK);
    EXPECT_STREQ(cfg.result_filename, "/tmp/abs-result.bin");
    EXPECT_STREQ(cfg.model_name, "Named");
}

TEST_F(ModelFile, MissingKeysInTheirFixedOrder) {
    const char* order[] = {"format_version",
                           "spin_system_file",
                           "sequence_file",
                           "ndx",
                           "ndy",
                           "ndz",
                           "x0_cm",
                           "y0_cm",
                           "z0_cm",
                           "dx_cm",
                           "dy_cm",
                           "dz_cm",
                           "result_file"};
    for (const char* key : order) {
        EXPECT_EQ(load(body(key)), VYN_MODEL_ERR_PARSE) << key;
        EXPECT_EQ(std::string(err), std::string("missing required key '") + key + "'");
    }
    // With several missing, the earliest in the order is named.
    EXPECT_EQ(load("format_version: 1\nresult_file: r.bin\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "missing required key 'spin_system_file'");
}

TEST_F(ModelFile, InlineKeysDuplicatesAndUnknownKeys) {
    EXPECT_EQ(load(body("", "nspins: 1\n")), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err,
                 "line 14: inline spin-system/sequence keys are no longer supported in .vynmodel; use "
                 "spin_system_file and sequence_file");
    EXPECT_EQ(load("sector_pulsefile: 1 x\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_EQ(load(body("", "spin_system_file: ../spin-systems/x.vynspin\n")), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 14: duplicate key 'spin_system_file'");
    EXPECT_EQ(load(body("", "ndx: 3\n")), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 14: duplicate key 'ndx'");
    EXPECT_EQ(load(body("", "colour: blue\n")), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 14: unknown key");
    EXPECT_EQ(load(body("ndy", "ndy: 1.5\n")), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 13: bad ndy");
    EXPECT_EQ(load(body("dz_cm", "dz_cm: abc\n")), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 13: bad dz_cm");
    // Metadata lines may repeat and are ignored.
    EXPECT_EQ(load(body("", "quelder_reference: a\nquelder_reference: b\nresonance_group: c\n")), VYN_MODEL_OK) << err;
    // Errors of the referenced files come through with their own line numbers.
    vyntest::write_file(tree.path("spin-systems/bad.vynspin"), "format_version: 1\n\nnspins: x\n");
    EXPECT_EQ(load(body("spin_system_file", "spin_system_file: ../spin-systems/bad.vynspin\n")), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: bad nspins");
    EXPECT_EQ(load(body("sequence_file", "sequence_file: ../sequences/none.vynseq\n")), VYN_MODEL_ERR_IO);
    EXPECT_EQ(std::string(err), "could not open pulse sequence '" + tree.path("models/../sequences/none.vynseq") + "'");
    EXPECT_EQ(VYNModel_LoadText(tree.path("models/none.vynmodel").c_str(), &spin, &seq, &cfg, err, sizeof err),
              VYN_MODEL_ERR_IO);
}

TEST_F(ModelFile, FieldAndCarrierCommentLines) {
    ASSERT_EQ(load(body("", "# vyn_gui_b0_tesla: 3\n  # vyn_gui_receiver_carrier_ppm : 4.7\n")), VYN_MODEL_OK) << err;
    EXPECT_DOUBLE_EQ(cfg.b0_tesla, 3.0);
    EXPECT_DOUBLE_EQ(cfg.receiver_carrier_ppm, 4.7);
    ASSERT_EQ(load(body("", "# vyn_gui_b0_tesla: 7\n# vyn_gui_b0_tesla: strong\n")), VYN_MODEL_OK) << err;
    EXPECT_DOUBLE_EQ(cfg.b0_tesla, 7.0);  // the last good value wins
    ASSERT_EQ(load(body("", "# vyn_gui_b0_tesla: strong\n")), VYN_MODEL_OK) << err;
    EXPECT_DOUBLE_EQ(cfg.b0_tesla, 0.0);
}

TEST_F(ModelFile, ResultPaths) {
    char out[1024];
    std::string rd = results_dir();
    vyntest::mkdirs(rd);
    ASSERT_TRUE(vyn_make_portable_result_path(model.c_str(), (rd + "/Result.bin").c_str(), out, sizeof out));
    EXPECT_STREQ(out, "Result.bin");
    ASSERT_TRUE(vyn_make_portable_result_path(model.c_str(), (rd + "/sub/r.bin").c_str(), out, sizeof out));
    EXPECT_STREQ(out, "../build/runtime/results/sub/r.bin");
    ASSERT_TRUE(vyn_make_portable_result_path(model.c_str(), tree.path("models/Out.bin").c_str(), out, sizeof out));
    EXPECT_STREQ(out, "Out.bin");
    ASSERT_TRUE(vyn_make_portable_result_path(model.c_str(), "/srv/r.bin", out, sizeof out));
    EXPECT_STREQ(out, "/srv/r.bin");
    ASSERT_TRUE(vyn_make_portable_result_path(model.c_str(), "rel\\r.bin", out, sizeof out));
    EXPECT_STREQ(out, "rel/r.bin");
    ASSERT_TRUE(vyn_resolve_result_path(model.c_str(), "r.bin", out, sizeof out));
    EXPECT_EQ(std::string(out), rd + "/r.bin");
    ASSERT_TRUE(vyn_resolve_model_relative_path("m.vynmodel", "x.vynspin", out, sizeof out));
    EXPECT_STREQ(out, "x.vynspin");
    ASSERT_TRUE(vyn_resolve_model_relative_path("/r/models/m.vynmodel", "../s\\x.vynspin", out, sizeof out));
    EXPECT_STREQ(out, "/r/models/../s/x.vynspin");
    // A resolved result path that does not fit the record is refused, not cut.
    std::string longname(300, 'r');
    EXPECT_EQ(load(body("result_file", "result_file: " + longname + "\n")), VYN_MODEL_ERR_IO);
    EXPECT_STREQ(err, "line 13: could not resolve result_file");
}

TEST_F(ModelFile, SaveThenLoadGivesSameRecords) {
    ASSERT_EQ(load(body("", "quelder_subgroup: x\n")), VYN_MODEL_OK) << err;
    VYNSpinSystemDef spin0 = spin;
    VYNPulseSequenceDef seq0 = seq;
    VYNRunConfig cfg0 = cfg;
    snprintf(cfg0.model_name, sizeof cfg0.model_name, "Copy One");
    std::string out = tree.path("models/copy.vynmodel");
    ASSERT_EQ(VYNModel_SaveText(out.c_str(), &spin0, &seq0, &cfg0, err, sizeof err), VYN_MODEL_OK) << err;
    EXPECT_TRUE(vyntest::exists(tree.path("spin-systems/Copy One.vynspin")));
    EXPECT_TRUE(vyntest::exists(tree.path("sequences/Copy One/Copy One.vynseq")));
    std::string text = vyntest::read_file(out);
    EXPECT_EQ(text,
              "format_version: 1\nmodel_name: Copy One\n\n"
              "spin_system_file: ../spin-systems/Copy One.vynspin\n"
              "sequence_file: ../sequences/Copy One/Copy One.vynseq\n\n"
              "ndx: 5\nndy: 1\nndz: 1\nx0_cm: -10\ny0_cm: 0\nz0_cm: 0\ndx_cm: 5\ndy_cm: 0\ndz_cm: 0\n"
              "result_file: result.bin\n");
    EXPECT_NE(vyntest::read_file(tree.path("sequences/Copy One/Copy One.vynseq"))
                  .find("sector_pulsefile: 1 ../s/waveforms/Wave1.bin"),
              std::string::npos);

    ASSERT_EQ(VYNModel_LoadText(out.c_str(), &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_OK) << err;
    EXPECT_EQ(spin.nspins, spin0.nspins);
    for (int i = 1; i <= spin.nspins; ++i) {
        EXPECT_EQ(spin.spin_quantum_numbers[i], spin0.spin_quantum_numbers[i]);
        EXPECT_DOUBLE_EQ(spin.relative_intensities[i], spin0.relative_intensities[i]);
        EXPECT_DOUBLE_EQ(spin.resonance_offsets_hz[i], spin0.resonance_offsets_hz[i]);
        for (int k = 1; k <= spin.nspins; ++k) EXPECT_DOUBLE_EQ(spin.j_hz[i][k], spin0.j_hz[i][k]);
    }
    EXPECT_EQ(spin.coupling_mode, spin0.coupling_mode);
    EXPECT_EQ(seq.sequence_type, seq0.sequence_type);
    EXPECT_EQ(seq.sector_count, seq0.sector_count);
    EXPECT_EQ(seq.sectors[1].number_of_timepoints, seq0.sectors[1].number_of_timepoints);
    EXPECT_DOUBLE_EQ(seq.sectors[1].total_duration_s, seq0.sectors[1].total_duration_s);
    EXPECT_STREQ(seq.sectors[1].remark, seq0.sectors[1].remark);
    EXPECT_EQ(vyntest::read_file(seq.sectors[1].pulse_filename), "w");
    EXPECT_EQ(cfg.ndx, cfg0.ndx);
    EXPECT_DOUBLE_EQ(cfg.x0_cm, cfg0.x0_cm);
    EXPECT_DOUBLE_EQ(cfg.dx_cm, cfg0.dx_cm);
    EXPECT_STREQ(cfg.result_filename, cfg0.result_filename);
    EXPECT_STREQ(cfg.model_name, "Copy One");
}

TEST_F(ModelFile, SaveRefusals) {
    ASSERT_EQ(load(body()), VYN_MODEL_OK) << err;
    // Names that would leave the project directories.
    const char* bad[] = {"../escape", "a/b", "a\\b", ".", ".."};
    for (const char* name : bad) {
        snprintf(cfg.model_name, sizeof cfg.model_name, "%s", name);
        EXPECT_EQ(VYNModel_SaveText(model.c_str(), &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_ERR_IO) << name;
        EXPECT_NE(std::string(err).find("cannot be used as a file name"), std::string::npos) << err;
    }
    EXPECT_FALSE(vyntest::exists(tree.path("escape.vynspin")));
    // A file name alone gives no project root.
    cfg.model_name[0] = '\0';
    EXPECT_EQ(VYNModel_SaveText("plain.vynmodel", &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_ERR_IO);
    EXPECT_STREQ(err, "could not derive split output directories for 'plain.vynmodel'");
    // Invalid records write nothing.
    seq.sector_count = 0;
    std::string other = tree.path("models/other.vynmodel");
    EXPECT_EQ(VYNModel_SaveText(other.c_str(), &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_ERR_RANGE);
    EXPECT_FALSE(vyntest::exists(other));
    EXPECT_FALSE(vyntest::exists(tree.path("spin-systems/other.vynspin")));
    EXPECT_EQ(VYNModel_SaveText(nullptr, &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_ERR_NULLPTR);
    EXPECT_STREQ(err, "save arguments must be non-null");
}

// Grid sizes are whole integers, origins and steps finite decimal reals.
TEST_F(ModelFile, RefusesNonFiniteAndMalformedGridNumbers) {
    const char* cases[][2] = {
        {"x0_cm", "nan"}, {"y0_cm", "inf"},   {"z0_cm", "-inf"}, {"dx_cm", "0x10"},
        {"dy_cm", "1cm"}, {"dz_cm", "1e999"}, {"ndx", "4.9"},    {"ndz", "0x2"},
    };
    for (const auto& c : cases) {
        const std::string key = c[0];
        EXPECT_EQ(load(body(key, key + ": " + c[1] + "\n")), VYN_MODEL_ERR_PARSE) << key << " " << c[1];
        EXPECT_EQ(std::string(err), "line 13: bad " + key) << c[1];
    }
    // The setting comment lines ignore a non-finite value like any other unreadable one.
    ASSERT_EQ(load(body("", "# vyn_gui_b0_tesla: inf\n")), VYN_MODEL_OK) << err;
    EXPECT_EQ(cfg.b0_tesla, 0.0);
}

TEST_F(ModelFile, OverLongLinesAndNonRegularFilesAreRefused) {
    EXPECT_EQ(load("# " + std::string(2100, '-') + "\n" + body()), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 1: line is longer than 2047 characters");
    alarm(10);  // a reader that waits for a writer ends the test
    const std::string fifo = tree.path("models/pipe.vynmodel");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(VYNModel_LoadText(fifo.c_str(), &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_ERR_IO);
    EXPECT_EQ(std::string(err), "could not open '" + fifo + "' for reading");
    const std::string models = tree.path("models");
    EXPECT_EQ(VYNModel_LoadText(models.c_str(), &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_ERR_IO);
    // A spin-system file that is a pipe fails the load the same way.
    ASSERT_EQ(mkfifo(tree.path("spin-systems/pipe.vynspin").c_str(), 0600), 0);
    EXPECT_EQ(load(body("spin_system_file", "spin_system_file: ../spin-systems/pipe.vynspin\n")), VYN_MODEL_ERR_IO);
    alarm(0);
}

// The repository root seen from the test's working directory (the build tree lies inside it).
std::string repository_root() {
    std::string up;
    for (int i = 0; i < 6; ++i, up += "../")
        if (vyntest::exists(up + "models/pulse-acquire.vynmodel")) return up.empty() ? "." : up;
    return "";
}

// The shipped models keep reading with their values.
TEST(ShippedModels, LoadWithTheirValues) {
    const std::string root = repository_root();
    ASSERT_FALSE(root.empty());
    struct Case {
        const char* model;
        int nspins, sectors, ndx;
        double offset1_hz, x0_cm, dx_cm, last_duration_s;
    } cases[] = {{"coupled-shaped", 3, 2, 1, 120, 0, 0, 0.512},
                 {"pulse-acquire", 1, 2, 1, 50, 0, 0, 0.512},
                 {"spatial-slice", 1, 3, 32, 0, -4, 0.25, 0.256}};
    for (const Case& c : cases) {
        VYNSpinSystemDef spin;
        VYNPulseSequenceDef seq;
        VYNRunConfig cfg;
        char err[1024] = "";
        const std::string path = root + "/models/" + c.model + ".vynmodel";
        ASSERT_EQ(VYNModel_LoadText(path.c_str(), &spin, &seq, &cfg, err, sizeof err), VYN_MODEL_OK)
            << c.model << ": " << err;
        EXPECT_EQ(spin.nspins, c.nspins) << c.model;
        EXPECT_EQ(seq.sector_count, c.sectors) << c.model;
        EXPECT_EQ(cfg.ndx, c.ndx) << c.model;
        EXPECT_EQ(spin.resonance_offsets_hz[1], c.offset1_hz) << c.model;
        EXPECT_EQ(cfg.x0_cm, c.x0_cm) << c.model;
        EXPECT_EQ(cfg.dx_cm, c.dx_cm) << c.model;
        EXPECT_EQ(seq.sectors[c.sectors].total_duration_s, c.last_duration_s) << c.model;
    }
}

}  // namespace
