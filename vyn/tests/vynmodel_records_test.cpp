// Model records: defaults and the validation rules with their messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "vynmodel.h"

namespace {

struct Model {
    VYNSpinSystemDef spin;
    VYNPulseSequenceDef seq;
    VYNRunConfig cfg;
    char err[512];
    Model() {
        VYNSpinSystemDef_Init(&spin);
        VYNPulseSequenceDef_Init(&seq);
        VYNRunConfig_Init(&cfg);
        strcpy(err, "untouched");
    }
    void one_sector() {
        seq.sequence_type = 2;
        seq.sector_count = 1;
        seq.sectors[1].total_duration_s = 1e-3;
        strcpy(seq.sectors[1].pulse_filename, "/tmp/w.bin");
    }
    VYNModelStatus all() { return VYNModel_ValidateAll(&spin, &seq, &cfg, err, sizeof err); }
};

TEST(VynModelRecords, FreshRecordsNeedASector) {
    Model m;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_OK);
    EXPECT_EQ(VYNRunConfig_Validate(&m.cfg, m.err, sizeof m.err), VYN_MODEL_OK);
    EXPECT_STREQ(m.err, "untouched");  // success leaves the buffer alone
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "sector_count=0 is invalid; at least one sector is required");
    m.one_sector();
    EXPECT_EQ(m.all(), VYN_MODEL_OK);
    EXPECT_STREQ(m.cfg.result_filename, "result.bin");
    EXPECT_EQ(m.seq.sectors[20].number_of_evolpoints, 1);
}

TEST(VynModelRecords, HilbertDimensionAndSpinCount) {
    Model m;
    m.spin.nspins = 8;
    for (int i = 1; i <= 8; ++i) m.spin.spin_quantum_numbers[i] = 1;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_OK);
    m.spin.nspins = 9;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "nspins=9 is outside 1..8");

    m.spin.nspins = 4;
    for (int i = 1; i <= 4; ++i) m.spin.spin_quantum_numbers[i] = 3;  // four spin-3/2: 4^4 = 256
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_OK);
    m.spin.nspins = 5;
    m.spin.spin_quantum_numbers[5] = 1;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_ERR_DIMENSION);
    EXPECT_STREQ(m.err, "Hilbert dimension 512 exceeds VYN_MAX_STATES=256");

    m.spin.spin_quantum_numbers[2] = 0;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "spin_quantum_numbers[2]=0 must be >= 1 (legacy stores 2I)");
}

TEST(VynModelRecords, CouplingMatrixChecks) {
    Model m;
    m.spin.nspins = 2;
    m.spin.spin_quantum_numbers[2] = 1;
    m.spin.j_hz[1][2] = 7.0;
    m.spin.j_hz[2][1] = 7.0000001;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "j_hz matrix is not symmetric at (1,2) and (2,1)");
    m.spin.j_hz[1][2] = m.spin.j_hz[2][1] = NAN;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_ERR_RANGE);
    m.spin.j_hz[1][2] = m.spin.j_hz[2][1] = 7.0;
    m.spin.j_hz[2][2] = 1.0;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "j_hz[2][2] must be zero on the diagonal");
}

TEST(VynModelRecords, SubgroupChecks) {
    Model m;
    m.spin.subgroup_count = 1;
    m.spin.subgroup_spin_count[0] = 1;
    m.spin.subgroup_spins[0][0] = 2;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "subgroup 1 references spin 2 outside 1..1");
    m.spin.subgroup_count = 33;
    EXPECT_EQ(VYNSpinSystemDef_Validate(&m.spin, m.err, sizeof m.err), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "subgroup_count=33 is outside 0..32");
}

TEST(VynModelRecords, SectorAndGridChecks) {
    Model m;
    m.one_sector();
    m.seq.sectors[1].total_duration_s = 0.0;
    EXPECT_EQ(VYNPulseSequenceDef_Validate(&m.seq, m.err, sizeof m.err), VYN_MODEL_OK);
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "sector 1 total_duration_s=0 must be > 0");
    m.seq.sectors[1].total_duration_s = NAN;
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    m.seq.sectors[1].total_duration_s = 1e-3;
    m.seq.sectors[1].number_of_timepoints = 8193;
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "sector 1 number_of_timepoints=8193 is outside 1..8192");
    m.seq.sectors[1].number_of_timepoints = 8192;

    m.cfg.dx_cm = -0.0;
    EXPECT_EQ(m.all(), VYN_MODEL_OK);
    m.cfg.dx_cm = NAN;
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "grid origin and steps must be finite numbers");
    m.cfg.dx_cm = 0;
    m.cfg.dy_cm = -1e-9;
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "dx_cm/dy_cm/dz_cm must be >= 0");
    m.cfg.dy_cm = 0;
    m.cfg.ndz = 257;
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "ndz=257 is outside 1..256");
    m.cfg.ndz = 1;
    m.cfg.result_filename[0] = '\0';
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "result_filename is required");
}

TEST(VynModelRecords, FamilySpecificSectorRules) {
    Model m;
    m.one_sector();
    m.seq.sequence_type = 1;
    m.seq.sectors[1].sector_type = 2;
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_INCOMPATIBLE);
    EXPECT_STREQ(m.err, "spatial sequence sector 1 has invalid sector_type=2; expected 1");
    m.seq.sectors[1].sector_type = 1;
    m.seq.sectors[1].number_of_evolpoints = 4;
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_INCOMPATIBLE);
    EXPECT_STREQ(m.err, "spatial sequence sector 1 has number_of_evolpoints=4; expected 1");
    m.seq.sequence_type = 2;
    EXPECT_EQ(m.all(), VYN_MODEL_OK);
    m.seq.sequence_type = 9;
    EXPECT_EQ(m.all(), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(m.err, "sequence_type=9 is invalid; expected 1 (spatial) or 2 (1D/2D NMR)");
}

TEST(VynModelRecords, StatusTextsAndNullRecords) {
    EXPECT_STREQ(VYNModelStatusString(VYN_MODEL_ERR_INCOMPATIBLE), "incompatible with legacy globals");
    EXPECT_STREQ(VYNModelStatusString(7), "unknown error");
    EXPECT_STREQ(VYNModelStatusString(-1), "unknown error");
    char err[64];
    EXPECT_EQ(VYNRunConfig_Validate(nullptr, err, sizeof err), VYN_MODEL_ERR_NULLPTR);
    EXPECT_STREQ(err, "run configuration is null");
    // A zero-sized buffer is never written.
    EXPECT_EQ(VYNSpinSystemDef_Validate(nullptr, err, 0), VYN_MODEL_ERR_NULLPTR);
    EXPECT_STREQ(err, "run configuration is null");
    VYNSpinSystemDef_Init(nullptr);  // ignored, must not crash
}

}  // namespace
