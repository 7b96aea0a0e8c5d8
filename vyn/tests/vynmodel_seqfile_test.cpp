// Pulse-sequence text file: reader rules, waveform resolution and portable paths.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "vyn_test_support.h"
#include "vynmodel.h"

namespace {

class SeqFile : public ::testing::Test {
  protected:
    vyntest::InstallTree tree;
    std::string seqdir, seqpath;
    VYNPulseSequenceDef seq;
    char err[1024];
    void SetUp() override {
        seqdir = tree.path("sequences/m");
        vyntest::mkdirs(seqdir + "/waveforms");
        seqpath = seqdir + "/m.vynseq";
        vyntest::write_file(seqdir + "/w1.bin", "x");
    }
    VYNModelStatus load(const std::string& text) {
        vyntest::write_file(seqpath, text);
        err[0] = '\0';
        return vyn_load_pulse_sequence_text(seqpath.c_str(), &seq, err, sizeof err);
    }
    static std::string sector(int s, const std::string& file, const std::string& skip = "") {
        std::string i = std::to_string(s);
        std::string out;
        if (skip != "type") out += "sector_type: " + i + " 1\n";
        if (skip != "tp") out += "sector_timepoints: " + i + " 4\n";
        if (skip != "ev") out += "sector_evolpoints: " + i + " 1\n";
        if (skip != "dur") out += "sector_duration_s: " + i + " 0.002\n";
        if (skip != "file") out += "sector_pulsefile: " + i + " " + file + "\n";
        if (skip != "off") out += "sector_statoff_hz: " + i + " 12.5\n";
        return out;
    }
};

const std::string kHead2 = "format_version: 1\nsequence_name: m\n\nsequence_type: 2\nnumber_of_sectors: 2\n";

TEST_F(SeqFile, ReadsInterleavedSectors) {
    std::string body =
        kHead2 + sector(2, "w1.bin") + "sector_remark: 1 water suppression # cut here\n" + sector(1, "w1.bin");
    ASSERT_EQ(load(body), VYN_MODEL_OK) << err;
    EXPECT_EQ(seq.sequence_type, 2);
    EXPECT_EQ(seq.sector_count, 2);
    EXPECT_EQ(seq.sectors[2].number_of_timepoints, 4);
    EXPECT_DOUBLE_EQ(seq.sectors[1].offset_frequency_hz, 12.5);
    EXPECT_STREQ(seq.sectors[1].remark, "water suppression");
    EXPECT_EQ(std::string(seq.sectors[1].pulse_filename), seqdir + "/w1.bin");
}

TEST_F(SeqFile, OrderingIndicesAndDuplicates) {
    EXPECT_EQ(load("format_version: 1\nnumber_of_sectors: 1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 2: key 'sequence_type' must appear before 'number_of_sectors'");
    EXPECT_EQ(load("format_version: 1\nsequence_type: 2\nsector_timepoints: 1 4\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: key 'number_of_sectors' must appear before 'sector_timepoints'");
    EXPECT_EQ(load(kHead2 + "sector_type: 3 1\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 6: bad sector_type");
    EXPECT_EQ(load("format_version: 1\nsequence_type: 2\nnumber_of_sectors: 21\nsector_type: 21 1\n"),
              VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 4: bad sector_type");
    EXPECT_EQ(load("format_version: 1\nsequence_type: 2\nnumber_of_sectors: 22\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: number_of_sectors out of range");
    EXPECT_EQ(load(kHead2 + "sector_duration_s: 2 1\nsector_duration_s: 1 1\nsector_duration_s: 2 3\n"),
              VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 8: duplicate key 'sector_duration_s' for sector 2");
    EXPECT_EQ(load(kHead2 + "sector_remark: 1 a\nsector_remark: 1 b\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 7: duplicate key 'sector_remark' for sector 1");
    EXPECT_EQ(load(kHead2 + "sector_remark: x\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 6: bad sector_remark index");
    EXPECT_EQ(load(kHead2 + "sequence_type: 2\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 6: duplicate key 'sequence_type'");
    EXPECT_EQ(load(kHead2 + "sector_count: 2\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 6: unknown sequence key");
}

// Index and value of every sector key are whole numbers of their kind; reals are finite.
TEST_F(SeqFile, RefusesNonFiniteAndMalformedSectorNumbers) {
    const std::string long_path(300, 'w');
    struct Case {
        std::string line, err;
    } cases[] = {
        {"sector_duration_s: 1 1e-05ms", "line 6: bad sector_duration_s"},
        {"sector_duration_s: 1 inf", "line 6: bad sector_duration_s"},
        {"sector_duration_s: 1 nan", "line 6: bad sector_duration_s"},
        {"sector_duration_s: 1 0x1p-10", "line 6: bad sector_duration_s"},
        {"sector_statoff_hz: 1 nan", "line 6: bad sector_statoff_hz"},
        {"sector_statoff_hz: 1 -inf", "line 6: bad sector_statoff_hz"},
        {"sector_statoff_hz: 1 12.5 Hz", "line 6: bad sector_statoff_hz"},
        {"sector_timepoints: 1 4.9", "line 6: bad sector_timepoints"},
        {"sector_evolpoints: 1 1 2", "line 6: bad sector_evolpoints"},
        {"sector_type: 1x 1", "line 6: bad sector_type"},
        {"sector_type: 0x1 1", "line 6: bad sector_type"},
        {"sector_remark: 1x water", "line 6: bad sector_remark index"},
        {"sector_pulsefile: 1.5 w1.bin", "line 6: bad sector_pulsefile"},
        {"sector_pulsefile: 1 " + long_path, "line 6: bad sector_pulsefile"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(load(kHead2 + c.line + "\n"), VYN_MODEL_ERR_PARSE) << c.line;
        EXPECT_EQ(std::string(err), c.err) << c.line;
    }
    EXPECT_EQ(load("format_version: 1\nsequence_type: 2\nnumber_of_sectors: 2.0\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 3: bad number_of_sectors");
    // What the writer produces and plain decimal forms still read.
    ASSERT_EQ(load(kHead2 + sector(1, "w1.bin") + sector(2, "w1.bin") + "sector_duration_s: 1 +2.5E-3\n"),
              VYN_MODEL_ERR_PARSE);  // duplicate, but parsed
    EXPECT_STREQ(err, "line 18: duplicate key 'sector_duration_s' for sector 1");
}

TEST_F(SeqFile, OverLongLinesAndNonRegularFilesAreRefused) {
    std::string body = kHead2 + "#" + std::string(2100, ' ') + "sector_type: 1 2\n" + sector(1, "w1.bin");
    EXPECT_EQ(load(body), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 6: line is longer than 2047 characters");

    alarm(10);  // a reader that waits for a writer ends the test
    const std::string fifo = seqdir + "/pipe.vynseq";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(vyn_load_pulse_sequence_text(fifo.c_str(), &seq, err, sizeof err), VYN_MODEL_ERR_IO);
    EXPECT_EQ(std::string(err), "could not open pulse sequence '" + fifo + "'");
    // A waveform that is a pipe does not count as an existing file.
    ASSERT_EQ(mkfifo((seqdir + "/wpipe.bin").c_str(), 0600), 0);
    EXPECT_EQ(load(kHead2 + sector(1, "wpipe.bin")), VYN_MODEL_ERR_PARSE);
    EXPECT_NE(std::string(err).find("sector_pulsefile for sector 1 not found"), std::string::npos) << err;
    alarm(0);
}

TEST_F(SeqFile, MissingKeys) {
    EXPECT_EQ(load("format_version: 1\nsequence_type: 2\n"), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "sequence file is missing one or more required sequence keys");
    EXPECT_EQ(load(kHead2 + sector(1, "w1.bin") + sector(2, "w1.bin", "off")), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "sequence file is missing one or more required sector keys for sector 2");
    // 21 declared sectors always end at sector 21.
    std::string body = "format_version: 1\nsequence_type: 2\nnumber_of_sectors: 21\n";
    for (int s = 1; s <= 20; ++s) body += sector(s, "w1.bin");
    EXPECT_EQ(load(body), VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "sequence file is missing one or more required sector keys for sector 21");
    // The remark is optional; validation runs last.
    EXPECT_EQ(load("format_version: 1\nsequence_type: 2\nnumber_of_sectors: 1\n" + sector(1, "w1.bin") +
                   "sector_type: 1 7\n"),
              VYN_MODEL_ERR_PARSE);  // duplicate sector_type
    std::string bad = "format_version: 1\nsequence_type: 2\nnumber_of_sectors: 1\n" + sector(1, "w1.bin", "type") +
                      "sector_type: 1 7\n";
    EXPECT_EQ(load(bad), VYN_MODEL_ERR_RANGE);
    EXPECT_STREQ(err, "sector 1 has invalid sector_type=7");
}

TEST_F(SeqFile, WaveformResolutionOrder) {
    // The same leaf in waveforms/ and in the RF output directory: waveforms/ wins.
    vyntest::write_file(seqdir + "/waveforms/shape.bin", "a");
    vyntest::write_file(tree.path("rf-output/shape.bin"), "b");
    vyntest::write_file(tree.path("rf-output/only-rf.bin"), "c");
    char out[1024];
    ASSERT_TRUE(vyn_resolve_sector_pulse_path(seqpath.c_str(), "shape.bin", out, sizeof out));
    EXPECT_EQ(std::string(out), seqdir + "/waveforms/shape.bin");
    ASSERT_TRUE(vyn_resolve_sector_pulse_path(seqpath.c_str(), "only-rf.bin", out, sizeof out));
    EXPECT_EQ(std::string(out), tree.path("rf-output/only-rf.bin"));
    // The sequence directory itself comes first.
    ASSERT_TRUE(vyn_resolve_sector_pulse_path(seqpath.c_str(), "w1.bin", out, sizeof out));
    EXPECT_EQ(std::string(out), seqdir + "/w1.bin");
    // Separators of either kind, relative to the sequence file.
    ASSERT_TRUE(vyn_resolve_sector_pulse_path(seqpath.c_str(), "..\\..\\rf-output\\only-rf.bin", out, sizeof out));
    EXPECT_TRUE(vyn_file_exists_local(out)) << out;
    ASSERT_TRUE(vyn_resolve_sector_pulse_path(seqpath.c_str(), "", out, sizeof out));
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(vyn_resolve_sector_pulse_path(nullptr, "x", out, sizeof out));

    ASSERT_EQ(load("format_version: 1\nsequence_type: 2\nnumber_of_sectors: 1\n" + sector(1, "shape.bin")),
              VYN_MODEL_OK)
        << err;
    EXPECT_EQ(std::string(seq.sectors[1].pulse_filename), seqdir + "/waveforms/shape.bin");
    // A named pipe is no waveform: refused at once instead of waiting for a writer.
    ASSERT_EQ(mkfifo((seqdir + "/pipe.bin").c_str(), 0600), 0);
    EXPECT_EQ(load("format_version: 1\nsequence_type: 2\nnumber_of_sectors: 1\n" + sector(1, "pipe.bin")),
              VYN_MODEL_ERR_PARSE);
    EXPECT_NE(std::string(err).find("sector_pulsefile for sector 1 not found"), std::string::npos) << err;
}

TEST_F(SeqFile, WaveformNotFoundMessages) {
    const std::string head = "format_version: 1\nsequence_type: 2\nnumber_of_sectors: 1\n";
    EXPECT_EQ(load(head + sector(1, "missing.bin")), VYN_MODEL_ERR_PARSE);
    EXPECT_EQ(std::string(err),
              "line 8: sector_pulsefile for sector 1 not found; stored leafname 'missing.bin'; "
              "tried model-relative '" +
                  seqdir + "/missing.bin' and RF-output '" + tree.path("rf-output/missing.bin") + "'");
    EXPECT_EQ(load(head + sector(1, "sub/missing.bin")), VYN_MODEL_ERR_PARSE);
    EXPECT_EQ(std::string(err),
              "line 8: sector_pulsefile for sector 1 not found; stored relative path 'sub/missing.bin'; tried "
              "model-relative '" +
                  seqdir + "/sub/missing.bin'");
    std::string abs = tree.path("nowhere/x.bin");
    EXPECT_EQ(load(head + sector(1, abs)), VYN_MODEL_ERR_PARSE);
    EXPECT_EQ(std::string(err),
              "line 8: sector_pulsefile for sector 1 not found; stored absolute path '" + abs + "' does not exist");
    // A directory is not a waveform file.
    vyntest::mkdirs(seqdir + "/adir");
    EXPECT_EQ(load(head + sector(1, "adir")), VYN_MODEL_ERR_PARSE);
    vyn_set_sector_pulse_resolution_error(seqpath.c_str(), 3, "", 7, err, sizeof err);
    EXPECT_STREQ(err, "line 7: sector_pulsefile for sector 3 is empty");
}

TEST_F(SeqFile, OverlongResolvedWaveformPathIsRefusedNotCut) {
    std::string deep = seqdir;
    std::string rel;
    for (int i = 0; i < 2; ++i) {  // the stored token fits its 255 characters, the resolved path does not
        std::string part(112, (char)('a' + i));
        deep += "/" + part;
        rel += part + "/";
        vyntest::mkdirs(deep);
    }
    vyntest::write_file(deep + "/w.bin", "x");
    ASSERT_GT((deep + "/w.bin").size(), 255u);
    EXPECT_EQ(load("format_version: 1\nsequence_type: 2\nnumber_of_sectors: 1\n" + sector(1, rel + "w.bin")),
              VYN_MODEL_ERR_PARSE);
    EXPECT_STREQ(err, "line 8: resolved sector_pulsefile for sector 1 is longer than 255 characters");
}

TEST_F(SeqFile, PortablePathsKeepCase) {
    char out[1024];
    ASSERT_TRUE(
        vyn_make_portable_sector_pulse_path(seqpath.c_str(), (seqdir + "/WAVES/A.BIN").c_str(), out, sizeof out));
    EXPECT_STREQ(out, "WAVES/A.BIN");
    ASSERT_TRUE(vyn_make_portable_sector_pulse_path(seqpath.c_str(), tree.path("sequences/Other.bin").c_str(), out,
                                                    sizeof out));
    EXPECT_STREQ(out, "../Other.bin");
    ASSERT_TRUE(vyn_make_portable_sector_pulse_path(seqpath.c_str(), "/elsewhere/Dir\\X.bin", out, sizeof out));
    EXPECT_STREQ(out, "/elsewhere/Dir/X.bin");
    // A directory that differs only in case is another directory.
    ASSERT_TRUE(
        vyn_make_portable_sector_pulse_path(seqpath.c_str(), tree.path("sequences/M/a.bin").c_str(), out, sizeof out));
    EXPECT_STREQ(out, "../M/a.bin");
    ASSERT_TRUE(vyn_make_portable_sector_pulse_path(seqpath.c_str(), "leaf.bin", out, sizeof out));
    EXPECT_STREQ(out, "leaf.bin");
    char tiny[8];
    EXPECT_FALSE(vyn_make_portable_sector_pulse_path(seqpath.c_str(), tree.path("sequences/long-name.bin").c_str(),
                                                     tiny, sizeof tiny));
}

TEST_F(SeqFile, WriteThenReadGivesSameSectors) {
    vyntest::mkdirs(seqdir + "/Shapes");
    vyntest::write_file(seqdir + "/Shapes/Sinc.BIN", "s");
    vyntest::write_file(tree.path("rf-output/Hard90.bin"), "h");
    VYNPulseSequenceDef in;
    VYNPulseSequenceDef_Init(&in);
    in.sequence_type = 2;
    in.sector_count = 2;
    in.sectors[1] = {1, 256, 1, 0.001, -30.5, "", "excite\nwith line break"};
    snprintf(in.sectors[1].pulse_filename, 256, "%s", tree.path("rf-output/Hard90.bin").c_str());
    in.sectors[2] = {2, 8, 16, 2.5e-4, 0.0, "", ""};
    snprintf(in.sectors[2].pulse_filename, 256, "%s", (seqdir + "/Shapes/Sinc.BIN").c_str());
    ASSERT_EQ(vyn_write_pulse_sequence_text(seqpath.c_str(), "m", &in, err, sizeof err), VYN_MODEL_OK) << err;
    std::string text = vyntest::read_file(seqpath);
    EXPECT_NE(text.find("sector_pulsefile: 2 Shapes/Sinc.BIN\n"), std::string::npos) << text;
    // Two levels up is no longer "near" the sequence file: the absolute path stays.
    EXPECT_NE(text.find("sector_pulsefile: 1 " + tree.path("rf-output/Hard90.bin") + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("sector_remark: 2 \n"), std::string::npos);
    ASSERT_EQ(vyn_load_pulse_sequence_text(seqpath.c_str(), &seq, err, sizeof err), VYN_MODEL_OK) << err;
    EXPECT_EQ(seq.sector_count, 2);
    for (int s = 1; s <= 2; ++s) {
        EXPECT_EQ(seq.sectors[s].sector_type, in.sectors[s].sector_type);
        EXPECT_EQ(seq.sectors[s].number_of_timepoints, in.sectors[s].number_of_timepoints);
        EXPECT_EQ(seq.sectors[s].number_of_evolpoints, in.sectors[s].number_of_evolpoints);
        EXPECT_DOUBLE_EQ(seq.sectors[s].total_duration_s, in.sectors[s].total_duration_s);
        EXPECT_DOUBLE_EQ(seq.sectors[s].offset_frequency_hz, in.sectors[s].offset_frequency_hz);
        EXPECT_TRUE(vyn_file_exists_local(seq.sectors[s].pulse_filename)) << seq.sectors[s].pulse_filename;
    }
    EXPECT_STREQ(seq.sectors[1].remark, "excite with line break");
    EXPECT_EQ(vyntest::read_file(seq.sectors[2].pulse_filename), "s");
    EXPECT_EQ(vyntest::read_file(seq.sectors[1].pulse_filename), "h");
}

TEST(VynModelPaths, Helpers) {
    EXPECT_TRUE(vyn_path_is_absolute("C:\\x"));
    EXPECT_TRUE(vyn_path_is_absolute("z:/x"));
    EXPECT_TRUE(vyn_path_is_absolute("\\\\server\\share"));
    EXPECT_TRUE(vyn_path_is_absolute("/usr/x"));
    EXPECT_FALSE(vyn_path_is_absolute("\\x"));
    EXPECT_FALSE(vyn_path_is_absolute("C:x"));
    EXPECT_FALSE(vyn_path_is_absolute("rel/x"));
    char out[64];
    ASSERT_TRUE(vyn_join_path(out, sizeof out, "a\\", "b"));
    EXPECT_STREQ(out, "a\\b");
    ASSERT_TRUE(vyn_join_path(out, sizeof out, "a", "b"));
    EXPECT_STREQ(out, "a/b");
    ASSERT_TRUE(vyn_join_path(out, sizeof out, "", "b"));
    EXPECT_STREQ(out, "b");
    EXPECT_FALSE(vyn_join_path(out, 4, "ab", "c"));  // "ab/c" needs 5
    ASSERT_TRUE(vyn_dirname_copy("a/b\\c.txt", out, sizeof out));
    EXPECT_STREQ(out, "a/b");
    EXPECT_FALSE(vyn_dirname_copy("c.txt", out, sizeof out));
    ASSERT_TRUE(vyn_parent_dir_copy("r/models/m.vynmodel", out, sizeof out));
    EXPECT_STREQ(out, "r");
    EXPECT_FALSE(vyn_parent_dir_copy("models/m.vynmodel", out, sizeof out));
    ASSERT_TRUE(vyn_tail_after_prefix("/a/b//C/d", "/a/b", out, sizeof out));
    EXPECT_STREQ(out, "C/d");
    EXPECT_FALSE(vyn_tail_after_prefix("/a/bc/d", "/a/b", out, sizeof out));
    ASSERT_TRUE(vyn_copy_basename_without_extension_local("dir/.vynmodel", out, sizeof out));
    EXPECT_STREQ(out, ".vynmodel");
    ASSERT_TRUE(vyn_copy_basename_without_extension_local("C:\\x\\Lac.v1.vynmodel", out, sizeof out));
    EXPECT_STREQ(out, "Lac.v1");
    EXPECT_FALSE(vyn_copy_basename_without_extension_local("dir/", out, sizeof out));
    char p[64] = "/r/models/../sequences/./s//w.bin";
    vyn_collapse_dot_segments(p);
    EXPECT_STREQ(p, "/r/sequences/s/w.bin");
    char q[64] = "/../a/..";
    vyn_collapse_dot_segments(q);
    EXPECT_STREQ(q, "/");
    char r[64] = "rel/../x";  // relative paths are left alone
    vyn_collapse_dot_segments(r);
    EXPECT_STREQ(r, "rel/../x");
    EXPECT_STREQ(out, "");
}

}  // namespace
