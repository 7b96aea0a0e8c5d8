// Volume jobs: no --work-dir needed, progress lines that stay six fields whatever the ids,
// and parameter files whose noise interval the volume cannot serve refused up front.
#include "qvolume_test_support.h"

using namespace qvol_test;

namespace {

std::vector<Record> three_voxels(const std::vector<std::string>& ids) {
    std::vector<Record> recs;
    for (size_t i = 0; i < ids.size(); ++i) recs.push_back({ids[i], voxel_spectrum(100.0 + 10 * i, 40.0, 5 + i)});
    return recs;
}

std::vector<std::string> lines_starting(const std::string& text, const std::string& head) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(head, 0) == 0) out.push_back(line);
    return out;
}

}  // namespace

// Without --work-dir the job runs: nothing is written outside the output directory unless
// intermediate files are kept, and then they go into a private temporary directory that the
// job names. The result files are those of a job with a work directory, up to the name of
// the input they record.
TEST_F(VolumeFixture, RunsWithoutWorkDirectory) {
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 16, three_voxels({"a|1", "b|1", "c|1"})));
    const std::string tmp = dir + "/tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    const char* given = getenv("TMPDIR");
    const std::string saved = given != nullptr ? given : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    struct Case {
        const char* name;
        bool keep;
    } cases[] = {{"results in memory", false}, {"intermediate files kept", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir + "/out_" + std::to_string(c.keep);
        std::vector<std::string> args = {"--mode",           "volume",
                                         "--input-volume",   dir + "/in.qorvvol",
                                         "--parameter-file", dir + "/start.par",
                                         "--output-dir",     out,
                                         "--threads",        "2"};
        if (c.keep) args.push_back("--keep-intermediate-files");
        const auto before = list_dir(dir);
        VolRun r = run_main(args);
        EXPECT_EQ(r.rc, 0) << r.err;
        EXPECT_EQ(count_lines(read_text(out + "/fit_status.tsv"), "\tFIT_OK\t"), 3) << r.err;
        EXPECT_TRUE(file_exists(out + "/voxel_b.mat"));
        auto after = list_dir(dir);
        after.erase(std::remove(after.begin(), after.end(), "out_" + std::to_string(c.keep)), after.end());
        EXPECT_EQ(after, before);  // nothing beside the output directory
        const auto temps = list_dir(tmp);
        if (c.keep) {
            ASSERT_EQ(temps.size(), 1u);
            EXPECT_NE(r.err.find("intermediate files are kept in " + tmp + "/" + temps[0]), std::string::npos) << r.err;
            EXPECT_TRUE(file_exists(tmp + "/" + temps[0] + "/volume_voxel_002.bin"));
        } else {
            EXPECT_TRUE(temps.empty());
        }
    }
    if (given != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    // the same fits as a job with a work directory
    VolRun w = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out_w", dir + "/work", 1);
    ASSERT_EQ(w.rc, 0);
    EXPECT_EQ(read_text(dir + "/out_w/voxel_a.mat"), read_text(dir + "/out_0/voxel_a.mat"));
    EXPECT_EQ(read_text(dir + "/out_w/voxel_c.err"), read_text(dir + "/out_0/voxel_c.err"));
}

// Progress lines escape voxel ids as the tables do, so each stays one line of six fields,
// with one worker and with several.
TEST_F(VolumeFixture, ProgressLinesEscapeVoxelIds) {
    const std::vector<std::string> ids = {"tab\there|1", "new\nline|1", "back\\slash|1"};
    const std::vector<std::string> escaped = {"tab\\there", "new\\nline", "back\\\\slash"};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 16, three_voxels(ids)));
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        const std::string out = dir + "/out" + std::to_string(threads);
        VolRun r = run_volume(dir + "/in.qorvvol", dir + "/start.par", out, dir + "/work", threads);
        ASSERT_EQ(r.rc, 0) << r.err;
        const auto lines = lines_starting(r.out, "QORVANE_PROGRESS\t");
        ASSERT_EQ(lines.size(), 3u) << r.out;
        std::vector<std::string> seen;
        for (const std::string& l : lines) {
            std::vector<std::string> fields;
            std::istringstream f(l);
            std::string t;
            while (std::getline(f, t, '\t')) fields.push_back(t);
            ASSERT_EQ(fields.size(), 6u) << l;
            EXPECT_EQ(fields[5], "FIT_OK");
            seen.push_back(fields[4]);
        }
        std::sort(seen.begin(), seen.end());
        std::vector<std::string> want = escaped;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(seen, want);
        // the status table writes them the same way
        for (const std::string& e : escaped) EXPECT_NE(read_text(out + "/fit_status.tsv").find(e), std::string::npos);
    }
}

// A parameter file whose noise interval the volume's spectra cannot serve is refused before
// any voxel is fitted (exit 3), naming noistr / noistp.
TEST_F(VolumeFixture, NoiseIntervalTheVolumeCannotServeIsRefused) {
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 16, three_voxels({"a|1", "b|1", "c|1"})));
    struct Case {
        const char* name;
        int clcerr, noistr, noistp;
        const char* says;
    } cases[] = {
        {"beyond the spectra", 1, 100, kN + 20, "noistp 148 lies beyond the volume's 128 points per spectrum"},
        {"empty with bounds", 1, 100, 100, "need a noise interval of at least 2 points (noistr 100 .. noistp 100)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ParFile p = voxel_par();
        p.clcerr = c.clcerr;
        p.noistr = c.noistr;
        p.noistp = c.noistp;
        write_text(dir + "/bad.par", compact_par(p));
        VolRun r = run_volume(dir + "/in.qorvvol", dir + "/bad.par", dir + "/out_bad", dir + "/work", 1);
        EXPECT_EQ(r.rc, 3) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}
