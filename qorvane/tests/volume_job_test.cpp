// Volume jobs as users run them: the parameter file checked against the volume, jobs
// that fit nothing, intermediate files, ids in tables and file names, failed table
// writes, progress on standard error, voxel ranges and the merge of their tables.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "qvolume_test_support.h"

using namespace qvol_test;

namespace {

std::string replaced(std::string s, const std::string& from, const std::string& to) {
    size_t p = s.find(from);
    if (p != std::string::npos) s.replace(p, from.size(), to);
    return s;
}

bool has(const std::string& s, const std::string& what) { return s.find(what) != std::string::npos; }

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

}  // namespace

TEST_F(VolumeFixture, ParameterFileIsCheckedOnceAgainstTheVolume) {
    const std::string good = compact_par(voxel_par());
    ParFile wide = voxel_par();
    wide.n = 256;
    struct Case {
        const char* name;
        std::string par;  // empty: the file does not exist
        const char* reason;
    } cases[] = {
        {"missing", "", "cannot open starting value file"},
        {"sage_idl", replaced(good, "sg_idl none", "sg_idl sage_idl"), "sg_idl sage_idl reads .sdf/.shf spectra"},
        {"points", compact_par(wide), "n_pnts 256 differs from the volume's 128 points per spectrum"},
        {"reference", replaced(good, "fit_mo 1", "fit_mo 2"), "fit_mo 2 needs a reference line-shape file"},
        {"corrupt", "version_2\n", "unsupported or corrupt fit-control file"},
    };
    std::vector<Record> recs = {
        {"a|1", voxel_spectrum(100, 40, 1)}, {"b|0", voxel_spectrum(100, 40, 2)}, {"c|1", voxel_spectrum(100, 40, 3)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    for (const Case& c : cases) {
        std::string par = dir + "/" + c.name + ".par";
        if (!c.par.empty()) write_text(par, c.par);
        std::string out = dir + "/out_" + c.name;
        VolRun r = run_volume(dir + "/in.qorvvol", par, out, dir + "/work", 2);
        EXPECT_EQ(r.rc, 3) << c.name << r.err;
        EXPECT_TRUE(has(r.err, "Volume mode error: parameter file refused: " + par + ": " + c.reason)) << r.err;
        EXPECT_EQ(count_lines(r.out, "QORVANE_PROGRESS"), 0) << c.name;
        // Both tables describe what was done; nothing was extracted.
        EXPECT_EQ(count_lines(read_text(out + "/fit_results.tsv"), "\n"), 4) << c.name;
        std::string status = read_text(out + "/fit_status.tsv");
        EXPECT_EQ(count_lines(status, "\tFIT_ERROR\tnot fitted: parameter file refused: "), 2) << status;
        EXPECT_TRUE(list_dir(dir + "/work").empty()) << c.name;
    }
}

TEST_F(VolumeFixture, JobThatFitsNoVoxelFailsAndLeavesNoIntermediates) {
    std::vector<std::complex<double>> zero(kN, 0.0);
    auto nan = voxel_spectrum(100.0, 40.0, 9);
    nan[3] = std::complex<double>(std::numeric_limits<double>::infinity(), 0.0);
    struct Case {
        const char* name;
        std::vector<Record> recs;
        int rc;
        const char* message;
    } cases[] = {
        {"all invalid", {{"a", nan}, {"b", nan}}, 4, "no selected voxel was fitted (2 not fitted, 0 all-zero)"},
        {"zero and invalid", {{"a", zero}, {"b", nan}}, 4, "no selected voxel was fitted (1 not fitted, 1 all-zero)"},
        {"all zero", {{"a", zero}, {"b", zero}}, 0, "Volume mode: extracted-voxel fit completed successfully."},
        {"one fitted", {{"a", voxel_spectrum(100, 40, 1)}, {"b", nan}}, 0, "1 selected voxel(s) not fitted"},
    };
    for (const Case& c : cases) {
        write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, c.recs));
        std::string out = dir + "/out_" + std::to_string(&c - cases);
        VolRun r = run_volume(dir + "/in.qorvvol", dir + "/start.par", out, dir + "/work", 1);
        EXPECT_EQ(r.rc, c.rc) << c.name << r.err;
        EXPECT_TRUE(has(r.err, c.message)) << c.name << r.err;
        if (c.rc != 0) EXPECT_FALSE(has(r.err, "completed successfully")) << c.name;
        EXPECT_EQ(count_lines(read_text(out + "/fit_status.tsv"), "\n"), 3) << c.name;
        EXPECT_TRUE(list_dir(dir + "/work").empty()) << c.name;
    }
}

TEST_F(VolumeFixture, KeptIntermediatesStayInTheWorkDirectoryAndNothingBesideTheParameterFile) {
    mkdir((dir + "/pars").c_str(), 0777);
    write_text(dir + "/pars/start.par", compact_par(voxel_par()));
    std::vector<std::complex<double>> zero(kN, 0.0);
    std::vector<Record> recs = {{"ok", voxel_spectrum(100, 40, 1)}, {"zero", zero}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    // A work directory that does not exist yet is created like the output directory.
    const std::string work = dir + "/fresh-work";
    VolRun r =
        run_volume(dir + "/in.qorvvol", dir + "/pars/start.par", dir + "/out", work, 2, {"--keep-intermediate-files"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(list_dir(dir + "/pars"), std::vector<std::string>{"start.par"});
    std::vector<std::string> kept = list_dir(work);
    for (const char* name : {"volume_voxel_001.bin", "volume_voxel_001.fit", "volume_voxel_001_verbose.par",
                             "volume_voxel_001.compact.par", "volume_voxel_002.bin"})
        EXPECT_NE(std::find(kept.begin(), kept.end(), name), kept.end()) << name;
    EXPECT_EQ(read_text(work + "/volume_voxel_001_verbose.par").rfind("qorvane_begin_of_file", 0), 0u);
}

TEST_F(VolumeFixture, IdsAreEscapedInTablesAndResultNamesStayUnique) {
    // Areas tell the voxels' results apart.
    std::vector<Record> recs = {{"tab\there|1", voxel_spectrum(60, 40, 1)}, {"new\nline", voxel_spectrum(70, 40, 2)},
                                {"back\\slash", voxel_spectrum(80, 40, 3)}, {"a/b", voxel_spectrum(90, 40, 4)},
                                {"a_b", voxel_spectrum(100, 40, 5)},        {"dup", voxel_spectrum(110, 40, 6)},
                                {"dup", voxel_spectrum(120, 40, 7)},        {"c\x01~|0", voxel_spectrum(1, 40, 8)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 16, recs));
    VolRun r = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", 3);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(read_text(dir + "/out/fit_results.tsv"),
              "linear_index\tvoxel_id\tfit\tstatus\tmessage\n"
              "0\ttab\\there\t1\tSELECTED\tselected for fitting\n"
              "1\tnew\\nline\t1\tSELECTED\tselected for fitting\n"
              "2\tback\\\\slash\t1\tSELECTED\tselected for fitting\n"
              "3\ta/b\t1\tSELECTED\tselected for fitting\n"
              "4\ta_b\t1\tSELECTED\tselected for fitting\n"
              "5\tdup\t1\tSELECTED\tselected for fitting\n"
              "6\tdup\t1\tSELECTED\tselected for fitting\n"
              "7\tc\\x01~\t0\tSKIPPED\tfit flag is 0\n");
    std::vector<std::string> status = lines_of(read_text(dir + "/out/fit_status.tsv"));
    ASSERT_EQ(status.size(), 8u);
    EXPECT_EQ(status[1], "1\ttab\\there\tvolume_voxel_001.bin\tFIT_OK\tfit imported artifacts written");
    EXPECT_EQ(status[2], "2\tnew\\nline\tvolume_voxel_002.bin\tFIT_OK\tfit imported artifacts written");
    struct Named {
        const char* file;
        double area;
    } named[] = {{"voxel_tab_here", 60}, {"voxel_new_line", 70}, {"voxel_back_slash", 80}, {"voxel_a_b", 90},
                 {"voxel_a_b~5", 100},   {"voxel_dup", 110},     {"voxel_dup~7", 120}};
    for (const Named& n : named) {
        auto m = read_matrix(dir + "/out/" + n.file + ".mat");
        ASSERT_EQ(m.size(), 1u) << n.file;
        EXPECT_NEAR(m[0][0], n.area, 0.03 * n.area) << n.file;
    }
    EXPECT_EQ(list_dir(dir + "/out").size(), 7u * 11u + 2u);
}

TEST_F(VolumeFixture, EmptyIdsAreFittedLikeAnyOther) {
    std::vector<Record> recs = {
        {"", voxel_spectrum(60, 40, 1)}, {"|1", voxel_spectrum(90, 40, 2)}, {"x", voxel_spectrum(120, 40, 3)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    VolRun r = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", 1);
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(count_lines(read_text(dir + "/out/fit_status.tsv"), "\tFIT_OK\t"), 3);
    for (auto [file, area] : {std::pair{"voxel_", 60.0}, {"voxel_~2", 90.0}, {"voxel_x", 120.0}}) {
        auto m = read_matrix(dir + "/out/" + file + ".mat");
        ASSERT_EQ(m.size(), 1u) << file;
        EXPECT_NEAR(m[0][0], area, 0.03 * area) << file;
    }
}

TEST(VolumeHelpers, TableEscapesAndFileIds) {
    struct Esc {
        const char* in;
        const char* out;
    } esc[] = {{"plain id", "plain id"}, {"a\tb", "a\\tb"},          {"a\nb\r", "a\\nb\\r"},
               {"back\\", "back\\\\"},   {"\x01\x7f", "\\x01\\x7F"}, {"\xc3\xa9t\xc3\xa9", "\xc3\xa9t\xc3\xa9"}};
    for (const Esc& e : esc) {
        char buf[64];
        qorvane_tsv_escape(buf, sizeof buf, e.in);
        EXPECT_STREQ(buf, e.out) << e.in;
    }
    char small[4];
    qorvane_tsv_escape(small, sizeof small, "\t\t");  // never a cut escape sequence
    EXPECT_STREQ(small, "\\t");

    const std::string long_id(300, 'x');
    const char* ids[] = {"a/b", "a_b", "a~b", "a_b", "", long_id.c_str(), "x"};
    const std::string expected[] = {"a_b", "a_b~2", "a_b~3", "a_b~4", "", std::string(200, 'x'), "x"};
    const uint32_t n = sizeof ids / sizeof ids[0];
    QorvaneVolumeJob job;
    job.slots.resize(n);
    for (uint32_t s = 0; s < n; ++s) snprintf(job.slots[s].voxel_id, QORVANE_VOXEL_ID_SIZE, "%s", ids[s]);
    testing::internal::CaptureStderr();
    qorvane_volume_assign_file_ids(&job, n);
    std::string err = testing::internal::GetCapturedStderr();
    for (uint32_t s = 0; s < n; ++s) EXPECT_EQ(job.slots[s].file_id, expected[s]) << s;
    EXPECT_EQ(count_lines(err, "shares its cleaned voxel id"), 3);
}

// Runs a volume job in a child process whose files may not grow beyond `limit` bytes (as
// on a full disk or quota); returns its exit code.
static int run_volume_with_file_limit(const std::string& vol, const std::string& par, const std::string& out,
                                      const std::string& work, rlim_t limit) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        if (freopen("/dev/null", "w", stdout) == nullptr || freopen("/dev/null", "w", stderr) == nullptr) _exit(100);
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(101);
        std::vector<std::string> args = {"q", "--mode",       "volume", "--input-volume", vol, "--parameter-file",
                                         par, "--output-dir", out,      "--work-dir",     work};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        _exit(qorvane_main((int)args.size(), argv.data()));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(VolumeFixture, FailedTableWritesFailTheJob) {
    // Long ids make the tables, not the voxels' files, meet the size limit: the results table
    // with many deselected records, the status table (longer rows) with selected all-zero ones.
    std::vector<std::complex<double>> zero(kN, 0.0);
    const std::string pad(100, 'p');
    std::vector<Record> many_skipped, many_zero;
    for (int i = 0; i < 300; ++i) many_skipped.push_back({pad + std::to_string(i) + "|0", zero});
    many_skipped.push_back({"one", voxel_spectrum(100, 40, 1)});
    for (int i = 0; i < 120; ++i) many_zero.push_back({pad + std::to_string(i), zero});
    struct Case {
        const char* name;
        std::vector<Record> recs;
    } cases[] = {{"results table", many_skipped}, {"status table", many_zero}};
    for (const Case& c : cases) {
        write_text(dir + "/in.qorvvol", volume_bytes(kN, 128, c.recs));
        std::string out = dir + "/out_" + std::to_string(&c - cases);
        EXPECT_EQ(run_volume_with_file_limit(dir + "/in.qorvvol", dir + "/start.par", out, dir + "/work", 20000), 5)
            << c.name;
        EXPECT_TRUE(list_dir(dir + "/work").empty()) << c.name;
        // Without the limit the same job succeeds.
        EXPECT_EQ(
            run_volume_with_file_limit(dir + "/in.qorvvol", dir + "/start.par", out, dir + "/work", RLIM_INFINITY), 0)
            << c.name;
    }
}

TEST_F(VolumeFixture, ProgressOnStandardErrorCountsVoxelsAndEstimatesTheRest) {
    std::vector<Record> recs;
    for (int i = 0; i < 4; ++i) recs.push_back({"p" + std::to_string(i), voxel_spectrum(100, 40, 40 + i)});
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    const double saved = g_volume_progress_interval_s;
    for (double interval : {0.0, 3600.0}) {
        g_volume_progress_interval_s = interval;
        VolRun r = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", 2);
        ASSERT_EQ(r.rc, 0) << r.err;
        // Every voxel with no interval, only the last one with a long interval.
        EXPECT_EQ(count_lines(r.err, "Volume progress: "), interval == 0.0 ? 4 : 1);
        EXPECT_TRUE(has(r.err, "Volume progress: 4 of 4 voxel(s) done, ")) << r.err;
        EXPECT_TRUE(has(r.err, " elapsed, about 0s left\n")) << r.err;
        EXPECT_EQ(count_lines(r.out, "Volume progress"), 0);  // standard output keeps its lines
        EXPECT_EQ(count_lines(r.out, "QORVANE_PROGRESS\tfit\t"), 4);
    }
    g_volume_progress_interval_s = saved;
}

TEST(VolumeCli, VoxelRangeValues) {
    struct Case {
        const char* value;
        bool ok;
        uint32_t first, count;
    } cases[] = {{"0:5", true, 0, 5},   {"12:1", true, 12, 1}, {"65535:65536", true, 65535, 65536},
                 {"5", false, 0, 0},    {":3", false, 0, 0},   {"3:", false, 0, 0},
                 {"3:0", false, 0, 0},  {"a:1", false, 0, 0},  {"65536:1", false, 0, 0},
                 {"1:2x", false, 0, 0}, {"-1:2", false, 0, 0}, {"1:2:3", false, 0, 0}};
    for (const Case& c : cases) {
        std::vector<std::string> args = {"q", "--mode",       "volume", "--input-volume", "v",    "--parameter-file",
                                         "p", "--output-dir", "o",      "--voxel-range",  c.value};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        QorvaneCliOptions o;
        testing::internal::CaptureStderr();
        int rc = qorvane_cli_parse((int)args.size(), argv.data(), &o);
        std::string err = testing::internal::GetCapturedStderr();
        if (!c.ok) {
            EXPECT_EQ(rc, 1) << c.value;
            EXPECT_TRUE(has(err, "Invalid value for --voxel-range: '" + std::string(c.value) + "'")) << err;
            continue;
        }
        ASSERT_EQ(rc, -1) << c.value << err;
        EXPECT_TRUE(o.has_voxel_range);
        EXPECT_EQ(o.range_first, c.first);
        EXPECT_EQ(o.range_count, c.count);
    }
}

struct ShardFixture : VolumeFixture {
    void SetUp() override {
        VolumeFixture::SetUp();
        std::vector<Record> recs;
        for (int i = 0; i < 7; ++i)
            recs.push_back({"s" + std::to_string(i) + (i == 3 ? "|0" : ""), voxel_spectrum(80 + 5 * i, 40, 60 + i)});
        recs[5].samples.assign(kN, 0.0);  // one all-zero voxel
        recs[1].id = "";                  // results named voxel_.<ext>
        write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    }
    VolRun shard(const std::string& name, const std::string& range, const std::string& par = "") {
        return run_volume(dir + "/in.qorvvol", par.empty() ? dir + "/start.par" : par, dir + "/" + name, dir + "/work",
                          2, {"--voxel-range", range});
    }
    VolRun merge(std::vector<std::string> shards, const std::string& out) {
        std::vector<std::string> args = {"--mode", "merge", "--output-dir", dir + "/" + out};
        for (const std::string& s : shards) args.push_back(dir + "/" + s);
        return run_main(args);
    }
};

TEST_F(ShardFixture, RangesGiveTheRowsAndResultsOfTheFullJob) {
    VolRun full = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/full", dir + "/work", 1);
    ASSERT_EQ(full.rc, 0) << full.err;
    // Six selected voxels: 0:2, 2:2 and 4:10 (cut at the end), plus a range past the end.
    for (auto [name, range] : {std::pair{"a", "0:2"}, {"b", "2:2"}, {"c", "4:10"}, {"d", "6:3"}}) {
        VolRun r = shard(name, range);
        ASSERT_EQ(r.rc, 0) << name << r.err;
        EXPECT_EQ(read_text(dir + "/" + name + "/fit_results.tsv"), read_text(dir + "/full/fit_results.tsv"));
    }
    EXPECT_EQ(read_text(dir + "/c/shard_range.tsv")
                  .rfind("qorvane_shard\t1\nfirst\t4\ncount\t2\nslots\t6\nrecords\t7\ncomplete\t1\nexit_code\t0\n", 0),
              0u);
    std::vector<std::string> rows = lines_of(read_text(dir + "/full/fit_status.tsv"));
    std::vector<std::string> joined = {rows[0]};
    for (const char* name : {"a", "b", "c", "d"}) {
        std::vector<std::string> part = lines_of(read_text(dir + "/" + name + "/fit_status.tsv"));
        ASSERT_FALSE(part.empty());
        EXPECT_EQ(part[0], rows[0]);
        joined.insert(joined.end(), part.begin() + 1, part.end());
    }
    EXPECT_EQ(joined, rows);

    VolRun m = merge({"c", "d", "a", "b"}, "merged");
    ASSERT_EQ(m.rc, 0) << m.err;
    EXPECT_EQ(read_text(dir + "/merged/fit_results.tsv"), read_text(dir + "/full/fit_results.tsv"));
    EXPECT_EQ(read_text(dir + "/merged/fit_status.tsv"), read_text(dir + "/full/fit_status.tsv"));
    std::vector<std::string> files = list_dir(dir + "/full");
    EXPECT_EQ(list_dir(dir + "/merged"), files);
    for (const std::string& f : files)
        if (f.size() > 4 && f.compare(f.size() - 4, 4, ".mat") == 0)
            EXPECT_EQ(read_text(dir + "/merged/" + f), read_text(dir + "/full/" + f)) << f;
}

TEST_F(ShardFixture, MergeRefusesRangesThatDoNotMakeOneJob) {
    ASSERT_EQ(shard("a", "0:2").rc, 0);
    ASSERT_EQ(shard("b", "2:2").rc, 0);
    ASSERT_EQ(shard("c", "4:2").rc, 0);
    ASSERT_EQ(shard("ab", "1:2").rc, 0);
    ASSERT_EQ(run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/full", dir + "/work", 1).rc, 0);
    write_text(dir + "/old.par", "version_2\n");
    ASSERT_EQ(shard("refused", "2:2", dir + "/old.par").rc, 3);
    // The same slot count from another volume (other ids).
    std::vector<Record> other;
    for (int i = 0; i < 7; ++i)
        other.push_back({"o" + std::to_string(i) + (i == 3 ? "|0" : ""), voxel_spectrum(90, 40, i)});
    write_text(dir + "/other.qorvvol", volume_bytes(kN, 8, other));
    ASSERT_EQ(
        run_volume(dir + "/other.qorvvol", dir + "/start.par", dir + "/x", dir + "/work", 1, {"--voxel-range", "2:2"})
            .rc,
        0);
    struct Case {
        std::vector<std::string> shards;
        std::string out;
        int rc;
        std::string message;
    } cases[] = {
        {{"a", "c"}, "m1", 1, "voxels 2:2 are in no shard given"},
        {{"b", "a"}, "m2", 1, "voxels 4:2 are in no shard given"},
        {{"a", "b", "c", "ab"}, "m3", 1, "overlaps shard"},
        {{"a", "full", "c"}, "m4", 2, "has no shard_range.tsv"},
        {{"a", "refused", "c"}, "m5", 1, "did not finish its range (exit code 3)"},
        {{"a", "x", "c"}, "m6", 1, "(shards of different volumes or selections)"},
        {{"a", "b", "c"}, "c", 1, "is shard " + dir + "/c itself"},
    };
    for (const Case& c : cases) {
        VolRun r = merge(c.shards, c.out);
        EXPECT_EQ(r.rc, c.rc) << c.message << r.err;
        EXPECT_TRUE(has(r.err, c.message)) << c.message << " got " << r.err;
        if (c.out != "c") EXPECT_FALSE(file_exists(dir + "/" + c.out + "/fit_status.tsv")) << c.message;
    }
    // The complete set merges.
    EXPECT_EQ(merge({"a", "b", "c"}, "ok").rc, 0);
}
