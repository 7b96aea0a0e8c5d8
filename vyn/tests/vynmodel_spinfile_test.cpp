// Spin-system text file: reader rules, messages and the writer round trip.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "vyn_test_support.h"
#include "vynmodel.h"

namespace {

class SpinFile : public ::testing::Test {
  protected:
    std::string dir;
    VYNSpinSystemDef spin;
    char err[512];
    void SetUp() override { dir = vyntest::make_temp_dir(); }
    void TearDown() override { vyntest::remove_tree(dir); }
    VYNModelStatus load(const std::string& text) {
        std::string p = dir + "/s.vynspin";
        vyntest::write_file(p, text);
        err[0] = '\0';
        return vyn_load_spin_system_text(p.c_str(), &spin, err, sizeof err);
    }
};

const char* kTwoSpins =
    "format_version: 1\n"
    "spin_system_name: lactate\n\n"
    "nspins: 2\n"
    "spin_quantum_numbers: 1 1\n"
    "relative_intensities: 3 1\n"
    "resonance_offsets_hz: -42.5 290.1\n"
    "coupling_mode: 1\n"
    "jcoupling_hz: 1 2 6.93\n";

TEST_F(SpinFile, ReadsAWellFormedFile) {
    ASSERT_EQ(load(kTwoSpins), VYN_MODEL_OK) << err;
    EXPECT_EQ(spin.nspins, 2);
    EXPECT_EQ(spin.spin_quantum_numbers[2], 1);
    EXPECT_DOUBLE_EQ(spin.relative_intensities[1], 3.0);
    EXPECT_DOUBLE_EQ(spin.resonance_offsets_hz[2], 290.1);
    EXPECT_DOUBLE_EQ(spin.j_hz[1][2], 6.93);
    EXPECT_DOUBLE_EQ(spin.j_hz[2][1], 6.93);
}

TEST_F(SpinFile, KeyOrderingAndSyntax) {
    EXPECT_EQ(load("format_version: 1\nspin_quantum_numbers: 1 1\nnspins: 2\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 2: key 'nspins' must appear before 'spin_quantum_numbers'");
    EXPECT_EQ(load("format_version: 1\njcoupling_hz: 1 2 3\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 2: key 'nspins' must appear before 'jcoupling_hz'");
    // Blank before the colon, no blank after it, trailing comments: all fine.
    ASSERT_EQ(load("format_version:1\nnspins : 2 # two protons\nspin_quantum_numbers:1 1\n"
                   "relative_intensities: 1 1\nresonance_offsets_hz: 0 0\ncoupling_mode: 2\n"),
              VYN_MODEL_OK)
        << err;
    EXPECT_EQ(spin.coupling_mode, 2);
    // A longer key name is not the key.
    EXPECT_EQ(load("format_version: 1\nnspins_total: 3\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 2: unknown spin-system key");
}

TEST_F(SpinFile, ListLengthMessages) {
    const std::string head = "format_version: 1\nnspins: 2\n";
    EXPECT_EQ(load(head + "spin_quantum_numbers: 1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: key 'spin_quantum_numbers' has too few values (expected 2, got 1)");
    EXPECT_EQ(load(head + "spin_quantum_numbers: 1 1 1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: key 'spin_quantum_numbers' has too many values (expected 2, got 3)");
    EXPECT_EQ(load(head + "relative_intensities: 1 x\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: key 'relative_intensities' contains malformed numeric data");
    EXPECT_EQ(load(head + "resonance_offsets_hz: 1e999 0\n"), VYN_MODEL_ERR_PARSE);  // overflow
    EXPECT_STREQ(err, "line 3: key 'resonance_offsets_hz' contains malformed numeric data");
    // More spins than the record holds: refused at the list, nothing stored past index 8.
    EXPECT_EQ(load("format_version: 1\nnspins: 12\nspin_quantum_numbers: 1 1 1 1 1 1 1 1 1 1 1 1\n"),
              VYN_MODEL_ERR_PARSE);
    EXPECT_NE(std::string(err).find("line 3:"), std::string::npos);
}

TEST_F(SpinFile, DuplicatesVersionsAndCouplingIndices) {
    std::string base = kTwoSpins;
    EXPECT_EQ(load(base + "coupling_mode: 1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 10: duplicate key 'coupling_mode'");
    EXPECT_EQ(load("format_version: 1.0\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 1: unsupported format_version");
    EXPECT_EQ(load("format_version: 2\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_EQ(load(base + "jcoupling_hz: 1 9 5\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 10: jcoupling indices out of range");
    EXPECT_EQ(load(base + "jcoupling_hz: 2 2 5\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_EQ(load(base + "jcoupling_hz: 1 2\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 10: bad jcoupling_hz entry");
    // Indices beyond nspins but within 8 are accepted; a later line overwrites.
    ASSERT_EQ(load(base + "jcoupling_hz: 1 3 5\njcoupling_hz: 2 1 4.5\n"), VYN_MODEL_OK) << err;
    EXPECT_DOUBLE_EQ(spin.j_hz[3][1], 5.0);
    EXPECT_DOUBLE_EQ(spin.j_hz[1][2], 4.5);
}

TEST_F(SpinFile, MissingKeysAndFinalValidation) {
    EXPECT_EQ(load("nspins: 1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "missing required key 'format_version'");
    EXPECT_EQ(load("format_version: 1\nnspins: 1\nspin_quantum_numbers: 1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "spin-system file is missing one or more required spin keys");
    EXPECT_EQ(load("format_version: 1\nnspins: 1\nspin_quantum_numbers: 0\nrelative_intensities: 1\n"
                   "resonance_offsets_hz: 0\ncoupling_mode: 1\n"),
              VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(err, "spin_quantum_numbers[1]=0 must be >= 1 (legacy stores 2I)");
    EXPECT_EQ(vyn_load_spin_system_text((dir + "/nope.vynspin").c_str(), &spin, err, sizeof err), VYN_MODEL_ERR_IO);
    EXPECT_EQ(std::string(err), "could not open spin system '" + dir + "/nope.vynspin'");
}

TEST_F(SpinFile, SubgroupRecords) {
    std::string base = kTwoSpins;
    ASSERT_EQ(load(base + "quelder_subgroup: label=NAA_CH3 spins=1,2, ppm=2.0,2.02 extra\n"
                          "quelder_subgroup: spins=not_modeled ppm=none\n"),
              VYN_MODEL_OK)
        << err;
    ASSERT_EQ(spin.subgroup_count, 2);
    EXPECT_STREQ(spin.subgroup_labels[0], "NAA_CH3");
    EXPECT_EQ(spin.subgroup_spin_count[0], 2);
    EXPECT_EQ(spin.subgroup_spins[0][1], 2);
    EXPECT_EQ(spin.subgroup_ppm_count[0], 2);
    EXPECT_NEAR(spin.subgroup_ppm[0], 2.01, 1e-12);
    EXPECT_EQ(spin.subgroup_spin_count[1], 0);
    EXPECT_STREQ(spin.subgroup_labels[1], "");

    EXPECT_EQ(load(base + "quelder_subgroup: spins=0 ppm=1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 10: bad quelder_subgroup spins field");
    EXPECT_EQ(load(base + "quelder_subgroup: spins=1,9 ppm=1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_EQ(load(base + "quelder_subgroup: myspins=1 ppm=1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_EQ(load(base + "quelder_subgroup: spins=1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 10: bad quelder_subgroup ppm field");
    // A subgroup naming a spin beyond nspins is caught by the final validation.
    EXPECT_EQ(load(base + "quelder_subgroup: spins=3 ppm=1\n"), VYN_MODEL_ERR_RANGE);

    std::string many = base;
    for (int i = 0; i < 33; ++i) many += "quelder_subgroup: spins=1 ppm=1\n";
    EXPECT_EQ(load(many), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 42: too many quelder_subgroup records");
}

TEST_F(SpinFile, WriterRoundTrip) {
    VYNSpinSystemDef in;
    VYNSpinSystemDef_Init(&in);
    in.nspins = 3;
    const int q[4] = {0, 1, 2, 1};
    for (int i = 1; i <= 3; ++i) {
        in.spin_quantum_numbers[i] = q[i];
        in.relative_intensities[i] = 1.0 / (i + 2);
        in.resonance_offsets_hz[i] = -123.456789012345 * i;
    }
    in.coupling_mode = 2;
    in.j_hz[1][2] = in.j_hz[2][1] = 6.93;
    in.j_hz[2][3] = in.j_hz[3][2] = -1.25e-3;
    std::string p = dir + "/w.vynspin";
    ASSERT_EQ(vyn_write_spin_system_text(p.c_str(), "triple", &in, err, sizeof err), VYN_MODEL_OK);
    std::string text = vyntest::read_file(p);
    EXPECT_NE(text.find("spin_system_name: triple\n\nnspins: 3\n"), std::string::npos);
    EXPECT_EQ(text.find("jcoupling_hz: 1 3"), std::string::npos);  // zero couplings are not written
    ASSERT_EQ(vyn_load_spin_system_text(p.c_str(), &spin, err, sizeof err), VYN_MODEL_OK) << err;
    EXPECT_EQ(spin.nspins, 3);
    EXPECT_EQ(spin.coupling_mode, 2);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(spin.spin_quantum_numbers[i], q[i]);
        EXPECT_NEAR(spin.relative_intensities[i], in.relative_intensities[i], 1e-14);
        EXPECT_NEAR(spin.resonance_offsets_hz[i], in.resonance_offsets_hz[i], 1e-11);
        for (int k = 1; k <= 3; ++k) EXPECT_NEAR(spin.j_hz[i][k], in.j_hz[i][k], 1e-15) << i << "," << k;
    }
}

// Every number of the file is a whole token of the expected kind and finite.
TEST_F(SpinFile, RefusesNonFiniteAndMalformedNumbers) {
    struct Case {
        const char* line;  // replaces the line of the same key in the two-spin file
        const char* err;
    } cases[] = {
        {"relative_intensities: nan 1", "line 6: key 'relative_intensities' contains malformed numeric data"},
        {"relative_intensities: 3 inf", "line 6: key 'relative_intensities' contains malformed numeric data"},
        {"resonance_offsets_hz: -inf 290.1", "line 7: key 'resonance_offsets_hz' contains malformed numeric data"},
        {"resonance_offsets_hz: 0x1p4 290.1", "line 7: key 'resonance_offsets_hz' contains malformed numeric data"},
        {"resonance_offsets_hz: 1-2", "line 7: key 'resonance_offsets_hz' has too few values (expected 2, got 1)"},
        {"spin_quantum_numbers: 1 1.0", "line 5: key 'spin_quantum_numbers' contains malformed numeric data"},
        {"jcoupling_hz: 1 2 nan", "line 9: bad jcoupling_hz entry"},
        {"jcoupling_hz: 1 2 -inf", "line 9: bad jcoupling_hz entry"},
        {"jcoupling_hz: 1 2 6.93Hz", "line 9: bad jcoupling_hz entry"},
        {"jcoupling_hz: 1 2 6.93 7", "line 9: bad jcoupling_hz entry"},
        {"jcoupling_hz: 1 2.5 6.93", "line 9: bad jcoupling_hz entry"},
        {"jcoupling_hz: 1 2 0x7", "line 9: bad jcoupling_hz entry"},
        {"coupling_mode: 1.0", "line 8: bad coupling_mode"},
        {"coupling_mode: 3", "coupling_mode=3 is outside 1..2"},
        {"nspins: 2x", "line 4: bad nspins"},
    };
    for (const Case& c : cases) {
        std::string text = kTwoSpins;
        const std::string key = std::string(c.line).substr(0, std::string(c.line).find(':') + 1);
        const size_t at = text.find(key);
        ASSERT_NE(at, std::string::npos) << key;
        text.replace(at, text.find('\n', at) - at, c.line);
        EXPECT_NE(load(text), VYN_MODEL_OK) << c.line;
        EXPECT_STREQ(err, c.err) << c.line;
    }
    // Decimal forms that were always read keep being read.
    std::string text = kTwoSpins;
    text.replace(text.find("resonance_offsets_hz"), std::string("resonance_offsets_hz: -42.5 290.1").size(),
                 "resonance_offsets_hz: +.5 -1E-3");
    ASSERT_EQ(load(text), VYN_MODEL_OK) << err;
    EXPECT_DOUBLE_EQ(spin.resonance_offsets_hz[1], 0.5);
    EXPECT_DOUBLE_EQ(spin.resonance_offsets_hz[2], -1e-3);
}

TEST_F(SpinFile, NegativeSpinCountIsNamedAsSuch) {
    EXPECT_EQ(load("format_version: 1\nnspins: -1\nspin_quantum_numbers: 1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: key 'spin_quantum_numbers' cannot be read while nspins=-1 is outside 1..8");
    EXPECT_EQ(load("format_version: 1\nnspins: 0\nrelative_intensities:\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: key 'relative_intensities' cannot be read while nspins=0 is outside 1..8");
}

// A line longer than 2047 characters is refused, never read in pieces.
TEST_F(SpinFile, OverLongLinesAreRefused) {
    const std::string comment = "# " + std::string(2100, 'x') + " coupling_mode: 2\n";
    std::string text = kTwoSpins;
    text.insert(text.find("nspins"), comment);
    EXPECT_EQ(load(text), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 4: line is longer than 2047 characters");
    // 2047 characters and the line break still make one line.
    text = kTwoSpins;
    text.insert(text.find("nspins"), "#" + std::string(2046, 'y') + "\n");
    EXPECT_EQ(load(text), VYN_MODEL_OK) << err;
    text = kTwoSpins;
    text.insert(text.find("nspins"), "#" + std::string(2047, 'y') + "\n");
    EXPECT_EQ(load(text), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 4: line is longer than 2047 characters");
}

// A named pipe or a directory is refused at once instead of blocking or reading as empty.
TEST_F(SpinFile, NonRegularFilesAreRefusedWithoutBlocking) {
    const std::string fifo = dir + "/pipe.vynspin";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    alarm(10);  // a reader that waits for a writer ends the test
    EXPECT_EQ(vyn_load_spin_system_text(fifo.c_str(), &spin, err, sizeof err), VYN_MODEL_ERR_IO);
    EXPECT_EQ(std::string(err), "could not open spin system '" + fifo + "'");
    EXPECT_EQ(vyn_load_spin_system_text(dir.c_str(), &spin, err, sizeof err), VYN_MODEL_ERR_IO);
    alarm(0);
}

TEST(VynModelParsers, StrictNumbers) {
    int i;
    double d;
    EXPECT_TRUE(parse_int_strict(" -42  ", &i));
    EXPECT_EQ(i, -42);
    EXPECT_FALSE(parse_int_strict("42x", &i));
    EXPECT_FALSE(parse_int_strict("", &i));
    EXPECT_FALSE(parse_int_strict("2147483648", &i));
    EXPECT_TRUE(parse_int_strict("2147483647", &i));
    EXPECT_TRUE(parse_double_strict("1e-3", &d));
    EXPECT_DOUBLE_EQ(d, 1e-3);
    EXPECT_FALSE(parse_double_strict("nan", &d));     // non-finite numbers are refused
    EXPECT_FALSE(parse_double_strict("1e-400", &d));  // underflow
    EXPECT_FALSE(parse_double_strict("1.5 2", &d));
    for (const char* bad : {"inf", "-inf", "infinity", "NaN", "0x10", "0x1p3", "1e", "e5", ".", "1e-05ms", "--1"})
        EXPECT_FALSE(parse_double_strict(bad, &d)) << bad;
    for (const char* bad : {"4.9", "0x10", "1e3", "12abc", "+", ""}) EXPECT_FALSE(parse_int_strict(bad, &i)) << bad;
    int list[4];
    EXPECT_TRUE(parse_int_list("", 0, list));
    EXPECT_FALSE(parse_int_list("1", 0, list));
    EXPECT_FALSE(parse_int_list("", -1, list));
    EXPECT_TRUE(parse_int_list(" 3\t4 5 ", 3, list));
    EXPECT_EQ(list[3], 5);
    const char* v = nullptr;
    EXPECT_TRUE(starts_with_key("ndx :  5", "ndx", &v));
    EXPECT_STREQ(v, "5");
    EXPECT_FALSE(starts_with_key("ndx5: 5", "ndx", &v));
    EXPECT_FALSE(starts_with_key("ndx 5", "ndx", &v));
}

}  // namespace
