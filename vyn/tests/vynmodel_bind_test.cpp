// Binding of model records to the engine state: activation and capture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "vyn.h"
#include "vyn_sequence.h"
#include "vyn_test_support.h"
#include "vynmodel.h"
#include "vynmodel_subgroups.h"

namespace {

struct Records {
    VYNSpinSystemDef spin;
    VYNPulseSequenceDef seq;
    VYNRunConfig cfg;
    char err[512] = "";
    Records() {
        VYNSpinSystemDef_Init(&spin);
        VYNPulseSequenceDef_Init(&seq);
        VYNRunConfig_Init(&cfg);
    }
};

// Three coupled spins (one spin-1), a two-sector 1D/2D sequence and a grid.
Records sample_model() {
    Records r;
    r.spin.nspins = 3;
    const int q[4] = {0, 1, 2, 1};
    for (int i = 1; i <= 3; ++i) {
        r.spin.spin_quantum_numbers[i] = q[i];
        r.spin.relative_intensities[i] = 0.5 * i;
        r.spin.resonance_offsets_hz[i] = 10.0 * i - 25.0;
    }
    r.spin.coupling_mode = 2;
    r.spin.j_hz[1][2] = r.spin.j_hz[2][1] = 7.0;
    r.spin.j_hz[1][3] = r.spin.j_hz[3][1] = -2.5;
    r.spin.j_hz[2][3] = r.spin.j_hz[3][2] = 11.0;
    r.spin.subgroup_count = 1;
    strcpy(r.spin.subgroup_labels[0], "CH3");
    r.spin.subgroup_spin_count[0] = 2;
    r.spin.subgroup_spins[0][0] = 1;
    r.spin.subgroup_spins[0][1] = 3;
    r.spin.subgroup_ppm_count[0] = 1;
    r.spin.subgroup_ppm[0] = 1.33;
    r.seq.sequence_type = 2;
    r.seq.sector_count = 2;
    r.seq.sectors[1] = {1, 16, 1, 1e-3, 5.0, "/w/a.bin", "pulse"};
    r.seq.sectors[2] = {2, 8, 4, 2e-3, -3.0, "/w/b.bin", "evolution"};
    r.cfg.ndx = 3;
    r.cfg.ndy = 2;
    r.cfg.x0_cm = -1.5;
    r.cfg.dx_cm = 0.75;
    r.cfg.dz_cm = 0.1;
    r.cfg.b0_tesla = 3.0;
    r.cfg.receiver_carrier_ppm = 4.7;
    strcpy(r.cfg.result_filename, "/r/out.bin");
    strcpy(r.cfg.model_name, "sample");
    return r;
}

class Binding : public ::testing::Test {
  protected:
    void SetUp() override { VYN_SetSmokeCheckMode(1); }
    void TearDown() override { VYN_SetSmokeCheckMode(0); }
};

TEST_F(Binding, ActivationFillsTheEngineState) {
    Records r = sample_model();
    ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&r.spin, &r.seq, &r.cfg, r.err, sizeof r.err), VYN_MODEL_OK) << r.err;
    EXPECT_EQ(vyn_spin.Nspins, 3);
    EXPECT_EQ(vyn_spin.n, 2 * 3 * 2);
    EXPECT_EQ(vyn_spin.Ilist[2], 2);
    EXPECT_EQ(vyn_spin.quantnum[2], 2);
    EXPECT_EQ(vyn_spin.Jexact, 2);
    // Pair order (1,2), (1,3), (2,3).
    EXPECT_EQ(vyn_spin.Jcount, 3);
    EXPECT_DOUBLE_EQ(vyn_spin.couplings[1], 7.0);
    EXPECT_DOUBLE_EQ(vyn_spin.couplings[2], -2.5);
    EXPECT_DOUBLE_EQ(vyn_spin.couplings[3], 11.0);
    EXPECT_DOUBLE_EQ(vyn_spin.jc[3][2], 11.0);
    EXPECT_EQ(vyn_sequence.sequencetype, 2);
    EXPECT_EQ(vyn_sequence.nos, 2);
    EXPECT_EQ(vyn_sequence.nevo[2], 4);
    EXPECT_STREQ(vyn_sequence.fnames[2], "/w/b.bin");
    EXPECT_STREQ(vyn_sequence.remarks[1], "pulse");
    EXPECT_EQ(vyn_grid.ndx, 3);
    EXPECT_DOUBLE_EQ(vyn_sequence.dx, 0.75);
    EXPECT_STREQ(vyn_sequence.resultflnm, "/r/out.bin");
    EXPECT_DOUBLE_EQ(vyn_sequence.vyn_gui_b0_tesla, 3.0);
    EXPECT_EQ(vyn_sequence.systemset, 1);
    EXPECT_EQ(vyn_sequence.sectorset, 1);
    EXPECT_EQ(vyn_sequence.offsetset, 1);
    EXPECT_EQ(vyn_spin.spinsystemdefined, 1);
    EXPECT_EQ(vyn_spin_subgroup_count, 1);
    EXPECT_STREQ(vyn_spin_subgroup_labels[0], "CH3");
    EXPECT_EQ(vyn_spin_subgroup_spins[0][1], 3);
    // The rebuilt Zeeman Hamiltonian carries the offsets in rad/s: state 1 has every spin at m = +I.
    const double expected = 2 * M_PI * (0.5 * -15.0 + 1.0 * -5.0 + 0.5 * 5.0);
    EXPECT_NEAR(vyn_spin.Izee.re(1, 1), expected, 1e-9);
}

TEST_F(Binding, CaptureGivesBackTheBoundFields) {
    Records r = sample_model();
    ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&r.spin, &r.seq, &r.cfg, r.err, sizeof r.err), VYN_MODEL_OK);
    Records c;
    ASSERT_EQ(VYNModel_CaptureFromLegacyGlobals(&c.spin, &c.seq, &c.cfg, c.err, sizeof c.err), VYN_MODEL_OK) << c.err;
    EXPECT_EQ(c.spin.nspins, r.spin.nspins);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(c.spin.spin_quantum_numbers[i], r.spin.spin_quantum_numbers[i]);
        EXPECT_EQ(c.spin.relative_intensities[i], r.spin.relative_intensities[i]);
        EXPECT_EQ(c.spin.resonance_offsets_hz[i], r.spin.resonance_offsets_hz[i]);
        for (int k = 1; k <= 3; ++k) EXPECT_EQ(c.spin.j_hz[i][k], r.spin.j_hz[i][k]) << i << k;
    }
    EXPECT_EQ(c.spin.coupling_mode, 2);
    EXPECT_EQ(c.seq.sequence_type, 2);
    EXPECT_EQ(c.seq.sector_count, 2);
    for (int s = 1; s <= 2; ++s) {
        EXPECT_EQ(c.seq.sectors[s].sector_type, r.seq.sectors[s].sector_type);
        EXPECT_EQ(c.seq.sectors[s].number_of_timepoints, r.seq.sectors[s].number_of_timepoints);
        EXPECT_EQ(c.seq.sectors[s].number_of_evolpoints, r.seq.sectors[s].number_of_evolpoints);
        EXPECT_EQ(c.seq.sectors[s].total_duration_s, r.seq.sectors[s].total_duration_s);
        EXPECT_EQ(c.seq.sectors[s].offset_frequency_hz, r.seq.sectors[s].offset_frequency_hz);
        EXPECT_STREQ(c.seq.sectors[s].pulse_filename, r.seq.sectors[s].pulse_filename);
        EXPECT_STREQ(c.seq.sectors[s].remark, r.seq.sectors[s].remark);
    }
    EXPECT_EQ(c.cfg.ndx, 3);
    EXPECT_EQ(c.cfg.ndy, 2);
    EXPECT_EQ(c.cfg.x0_cm, -1.5);
    EXPECT_EQ(c.cfg.dz_cm, 0.1);
    EXPECT_STREQ(c.cfg.result_filename, "/r/out.bin");
    // Not bound: name, subgroups, field and carrier.
    EXPECT_STREQ(c.cfg.model_name, "");
    EXPECT_EQ(c.spin.subgroup_count, 0);
    EXPECT_EQ(c.cfg.b0_tesla, 0.0);
    EXPECT_EQ(c.cfg.receiver_carrier_ppm, 0.0);
}

TEST_F(Binding, FailedActivationLeavesTheEngineAlone) {
    Records good = sample_model();
    ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&good.spin, &good.seq, &good.cfg, good.err, sizeof good.err),
              VYN_MODEL_OK);
    Records bad = sample_model();
    bad.seq.sequence_type = 1;  // spatial family with an evolution sector
    EXPECT_EQ(VYNModel_ActivateInLegacyRuntime(&bad.spin, &bad.seq, &bad.cfg, bad.err, sizeof bad.err),
              VYN_MODEL_ERR_INCOMPATIBLE);
    EXPECT_STREQ(bad.err, "spatial sequence sector 2 has invalid sector_type=2; expected 1");
    EXPECT_EQ(vyn_spin.Nspins, 3);
    EXPECT_EQ(vyn_sequence.sequencetype, 2);
    EXPECT_EQ(VYNModel_ActivateInLegacyRuntime(nullptr, &bad.seq, &bad.cfg, bad.err, sizeof bad.err),
              VYN_MODEL_ERR_NULLPTR);
    EXPECT_STREQ(bad.err, "activate arguments must be non-null");
}

TEST_F(Binding, CaptureRefusalsAndRepairs) {
    Records r = sample_model();
    ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&r.spin, &r.seq, &r.cfg, r.err, sizeof r.err), VYN_MODEL_OK);
    Records c;
    // A spatial sequence composed with type 0 and no evolution count comes back as 1 and 1.
    vyn_sequence.sequencetype = 1;
    vyn_sequence.sectype[1] = 0;
    vyn_sequence.nevo[1] = 0;
    vyn_sequence.nos = 1;
    vyn_sequence.resultflnm[0] = '\0';
    ASSERT_EQ(VYNModel_CaptureFromLegacyGlobals(&c.spin, &c.seq, &c.cfg, c.err, sizeof c.err), VYN_MODEL_OK) << c.err;
    EXPECT_EQ(c.seq.sectors[1].sector_type, 1);
    EXPECT_EQ(c.seq.sectors[1].number_of_evolpoints, 1);
    EXPECT_STREQ(c.cfg.result_filename, "unnamed_result.bin");
    // Couplings beyond Jcount come from jc.
    vyn_spin.Jcount = 1;
    vyn_spin.jc[2][3] = vyn_spin.jc[3][2] = 4.25;
    ASSERT_EQ(VYNModel_CaptureFromLegacyGlobals(&c.spin, &c.seq, &c.cfg, c.err, sizeof c.err), VYN_MODEL_OK);
    EXPECT_EQ(c.spin.j_hz[1][2], 7.0);
    EXPECT_EQ(c.spin.j_hz[3][2], 4.25);

    vyn_sequence.nos = 0;
    EXPECT_EQ(VYNModel_CaptureFromLegacyGlobals(&c.spin, &c.seq, &c.cfg, c.err, sizeof c.err), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(c.err, "sector_count=0 is invalid; at least one sector is required");
    vyn_sequence.nos = 21;
    EXPECT_EQ(VYNModel_CaptureFromLegacyGlobals(&c.spin, &c.seq, &c.cfg, c.err, sizeof c.err),
              VYN_MODEL_ERR_INCOMPATIBLE);
    EXPECT_STREQ(c.err, "legacy pulse sequence is not captureable: nos=21 outside 0..20");
    vyn_spin.Nspins = 0;
    EXPECT_EQ(VYNModel_CaptureFromLegacyGlobals(&c.spin, &c.seq, &c.cfg, c.err, sizeof c.err),
              VYN_MODEL_ERR_INCOMPATIBLE);
    EXPECT_STREQ(c.err, "legacy spin system is not captureable: Nspins=0 outside 1..8");
    EXPECT_EQ(VYNModel_SaveCurrentLegacyStateToText("/tmp/x.vynmodel", c.err, sizeof c.err),
              VYN_MODEL_ERR_INCOMPATIBLE);
    EXPECT_EQ(VYNModel_SaveCurrentLegacyStateToText("", c.err, sizeof c.err), VYN_MODEL_ERR_NULLPTR);
    EXPECT_STREQ(c.err, "output path must be non-empty");
}

TEST_F(Binding, SaveCurrentStateWritesALoadableModel) {
    vyntest::InstallTree tree;
    std::string wave = tree.path("rf-output/a.bin");
    vyntest::write_file(wave, std::string(16 * 16, '\0'));
    Records r = sample_model();
    r.seq.sector_count = 1;
    strcpy(r.seq.sectors[1].pulse_filename, wave.c_str());
    ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&r.spin, &r.seq, &r.cfg, r.err, sizeof r.err), VYN_MODEL_OK);
    std::string model = tree.path("models/current.vynmodel");
    ASSERT_EQ(VYNModel_SaveCurrentLegacyStateToText(model.c_str(), r.err, sizeof r.err), VYN_MODEL_OK) << r.err;
    Records l;
    ASSERT_EQ(VYNModel_LoadText(model.c_str(), &l.spin, &l.seq, &l.cfg, l.err, sizeof l.err), VYN_MODEL_OK) << l.err;
    EXPECT_STREQ(l.cfg.model_name, "current");
    EXPECT_EQ(l.spin.nspins, 3);
    EXPECT_EQ(l.spin.j_hz[1][3], -2.5);
    EXPECT_EQ(l.seq.sectors[1].number_of_timepoints, 16);
    EXPECT_EQ(vyntest::read_file(l.seq.sectors[1].pulse_filename).size(), 256u);
}

}  // namespace

namespace {

TEST(OptimizerHints, RemarkValues) {
    char v[64];
    const char* r = "prep optimizeRf[targetMode=manual,  productOperator = 2*I1z , manualRecipe=I1x+I2x] tail";
    // The key must be followed directly by '='.
    EXPECT_FALSE(vynmodel_metadata_value(r, "optimizeRf", "productOperator", v, sizeof v));
    ASSERT_TRUE(vynmodel_metadata_value("optimizeRf[ productOperator=  2*I1z ,x=1]", "optimizeRf", "productOperator", v,
                                        sizeof v));
    EXPECT_STREQ(v, "2*I1z");
    ASSERT_TRUE(vynmodel_metadata_value(r, "optimizeRf", "manualRecipe", v, sizeof v));
    EXPECT_STREQ(v, "I1x+I2x");
    EXPECT_FALSE(vynmodel_metadata_value(r, "optimizeRf", "Recipe", v, sizeof v));
    EXPECT_FALSE(vynmodel_metadata_value(r, "optimizeRf", "manualRecipe", v, 4));  // does not fit: absent
    EXPECT_FALSE(vynmodel_metadata_value("optimizeRf targetMode=manual", "optimizeRf", "targetMode", v, sizeof v));
    ASSERT_TRUE(vynmodel_metadata_value("optimizeRf[targetMode=auto", "optimizeRf", "targetMode", v, sizeof v));
    EXPECT_STREQ(v, "auto");  // an unclosed block runs to the end

    char t[256];
    ASSERT_TRUE(vynmodel_choose_optimizer_target_from_remark(
        "optimizeRf[targetMode=auto, productOperator=not defined, manualRecipe=I1x]", t, sizeof t));
    EXPECT_STREQ(t, "I1x");
    ASSERT_TRUE(vynmodel_choose_optimizer_target_from_remark(
        "optimizeRf[targetMode=manual, productOperator=IzSz, manualRecipe=Not Defined]", t, sizeof t));
    EXPECT_STREQ(t, "IzSz");
    ASSERT_TRUE(vynmodel_choose_optimizer_target_from_remark(
        "optimizeRf[targetMode=manual, productOperator=IzSz, manualRecipe=Ix+Sx]", t, sizeof t));
    EXPECT_STREQ(t, "Ix+Sx");
    ASSERT_TRUE(vynmodel_choose_optimizer_target_from_remark(
        "optimizeRf[targetMode=auto, productOperator=IzSz, manualRecipe=Ix+Sx]", t, sizeof t));
    EXPECT_STREQ(t, "IzSz");
    EXPECT_FALSE(vynmodel_choose_optimizer_target_from_remark("optimizeRf[productOperator=  ]", t, sizeof t));
    EXPECT_FALSE(vynmodel_choose_optimizer_target_from_remark("water suppression", t, sizeof t));
}

TEST_F(Binding, RemarkHintsDefineTheObservable) {
    Records r = sample_model();
    for (int i = 1; i <= 3; ++i) r.spin.spin_quantum_numbers[i] = 1;
    snprintf(r.seq.sectors[1].remark, sizeof r.seq.sectors[1].remark, "optimizeRf[productOperator=Iz]");
    snprintf(r.seq.sectors[2].remark, sizeof r.seq.sectors[2].remark, "optimizeRf[productOperator=Qz]");
    ASSERT_EQ(VYNModel_ActivateInLegacyRuntime(&r.spin, &r.seq, &r.cfg, r.err, sizeof r.err), VYN_MODEL_OK);
    vyntest::Capture out(1), err(2);
    EXPECT_TRUE(vynmodel_try_define_optimizer_operator_from_sector_remark(1));
    EXPECT_FALSE(vynmodel_try_define_optimizer_operator_from_sector_remark(2));
    EXPECT_FALSE(vynmodel_try_define_optimizer_operator_from_sector_remark(21));
    out.finish();
    EXPECT_NE(err.finish().find("Could not parse GUI-defined optimization target operator 'Qz'."), std::string::npos);
    // Iz of spin 1 normalised: +1/(2*sqrt(2)) on the first diagonal element of the 8 states.
    EXPECT_NEAR(vyn_spin.Istat.re(1, 1), 0.5 / std::sqrt(2.0), 1e-12);
}

}  // namespace
