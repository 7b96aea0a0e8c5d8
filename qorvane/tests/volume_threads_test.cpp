// Volume mode: QORVVOL1 reading, selection, extraction, per-voxel status, result copies,
// both tables, and identical results with one and with several worker threads.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "qfit_test_support.h"
#include "qorvane_cli.h"
#include "qorvane_volume.h"

using namespace qfit_test;

namespace {

struct Record {
    std::string id;
    std::vector<std::complex<double>> samples;
};

void put_u32(std::string& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((char)((v >> (8 * i)) & 0xff));
}

std::string volume_bytes(uint32_t ap, uint32_t id_bytes, const std::vector<Record>& recs, uint32_t sample_fmt = 1,
                         uint32_t n3 = 1) {
    std::string b = "QORVVOL1";
    put_u32(b, ap);
    put_u32(b, (uint32_t)recs.size());
    put_u32(b, 1);
    put_u32(b, n3);
    put_u32(b, id_bytes);
    put_u32(b, sample_fmt);
    for (const Record& r : recs) {
        std::string id = r.id;
        id.resize(id_bytes, '\0');
        b += id;
        for (uint32_t k = 0; k < ap; ++k) {
            float v[2] = {(float)r.samples[k].real(), (float)r.samples[k].imag()};
            b.append(reinterpret_cast<const char*>(v), sizeof v);
        }
    }
    return b;
}

struct VolRun {
    int rc;
    std::string out, err;
};

VolRun run_volume(const std::string& vol, const std::string& par, const std::string& out, const std::string& work,
                  int threads, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"qorvane_pthreads.exe",
                                     "--mode",
                                     "volume",
                                     "--input-volume",
                                     vol,
                                     "--parameter-file",
                                     par,
                                     "--output-dir",
                                     out,
                                     "--work-dir",
                                     work,
                                     "--threads",
                                     std::to_string(threads)};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    VolRun r;
    r.rc = qorvane_main((int)args.size(), argv.data());
    fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

const int kN = 128;

ParFile voxel_par() {
    ParFile p;
    p.n = kN;
    p.clcerr = 1;
    p.noistr = 100;
    p.noistp = 126;
    p.start = {{2, 90.0, 40.0, 3.0, 0.0, 0.0}};
    Step s;
    s.loren = 0;
    s.niter = 60;
    s.intervals = {{10, 90}};
    p.steps = {s};
    return p;
}

std::vector<std::complex<double>> voxel_spectrum(double area, double freq, unsigned seed) {
    return make_spectrum(kN, {{2, area, freq, 3.0, 0.0, 0.0}}, 0.2, seed);
}

int count_lines(const std::string& s, const std::string& what) {
    int c = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++c;
    return c;
}

// Drops the creation-time line of a written fit-control file.
std::string without_stamp(const std::string& s) {
    size_t p = s.find("File created at");
    if (p == std::string::npos) return s;
    size_t e = s.find('\n', p);
    return s.substr(0, p) + (e == std::string::npos ? "" : s.substr(e));
}

struct VolumeFixture : ::testing::Test {
    std::string dir;
    void SetUp() override {
        dir = make_temp_dir("vol");
        mkdir((dir + "/work").c_str(), 0777);
        write_text(dir + "/start.par", compact_par(voxel_par()));
    }
    void TearDown() override { remove_tree(dir); }
};

}  // namespace

TEST_F(VolumeFixture, TablesStatusesAndSafeNamesWithOneAndThreeThreads) {
    std::vector<std::complex<double>> zero(kN, 0.0);
    auto bad = voxel_spectrum(100.0, 40.0, 9);
    bad[7] = std::complex<double>(std::numeric_limits<double>::quiet_NaN(), 0.0);
    std::vector<Record> recs = {{"v0|1", voxel_spectrum(100.0, 40.0, 1)},
                                {"skip|0", voxel_spectrum(100.0, 40.0, 2)},
                                {"a/b|1", voxel_spectrum(80.0, 41.0, 3)},
                                {"..|1", voxel_spectrum(120.0, 39.5, 4)},
                                {"zero|1", zero},
                                {"nan|1", bad},
                                {"x|00", voxel_spectrum(95.0, 40.5, 5)},
                                {"a|b|0", voxel_spectrum(1.0, 40.0, 6)},
                                {"plain", voxel_spectrum(110.0, 40.2, 7)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 16, recs));

    VolRun one = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out1", dir + "/work", 1);
    VolRun three = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out3", dir + "/work", 3);
    ASSERT_EQ(one.rc, 0) << one.err;
    ASSERT_EQ(three.rc, 0) << three.err;

    std::string results = read_text(dir + "/out1/fit_results.tsv");
    EXPECT_EQ(results,
              "linear_index\tvoxel_id\tfit\tstatus\tmessage\n"
              "0\tv0\t1\tSELECTED\tselected for fitting\n"
              "1\tskip\t0\tSKIPPED\tfit flag is 0\n"
              "2\ta/b\t1\tSELECTED\tselected for fitting\n"
              "3\t..\t1\tSELECTED\tselected for fitting\n"
              "4\tzero\t1\tSELECTED\tselected for fitting\n"
              "5\tnan\t1\tSELECTED\tselected for fitting\n"
              "6\tx\t1\tSELECTED\tselected for fitting\n"
              "7\ta|b\t0\tSKIPPED\tfit flag is 0\n"
              "8\tplain\t1\tSELECTED\tselected for fitting\n");
    EXPECT_EQ(read_text(dir + "/out3/fit_results.tsv"), results);

    std::string status = read_text(dir + "/out1/fit_status.tsv");
    EXPECT_EQ(status,
              "slot\tvoxel_id\tinput_file\tfit_status\tmessage\n"
              "1\tv0\tvolume_voxel_001.bin\tFIT_OK\tfit imported artifacts written\n"
              "2\ta/b\tvolume_voxel_002.bin\tFIT_OK\tfit imported artifacts written\n"
              "3\t..\tvolume_voxel_003.bin\tFIT_OK\tfit imported artifacts written\n"
              "4\tzero\tvolume_voxel_004.bin\tFIT_SKIPPED_ZERO_INPUT\tnot fitted: input spectrum contains only "
              "zero-valued samples\n"
              "5\tnan\tvolume_voxel_005.bin\tFIT_INVALID_INPUT\t1 non-finite input float(s)\n"
              "6\tx\tvolume_voxel_006.bin\tFIT_OK\tfit imported artifacts written\n"
              "7\tplain\tvolume_voxel_007.bin\tFIT_OK\tfit imported artifacts written\n");
    EXPECT_EQ(read_text(dir + "/out3/fit_status.tsv"), status);

    // Ids with path separators or dots stay inside the output directory.
    EXPECT_TRUE(file_exists(dir + "/out1/voxel_a_b.fit"));
    EXPECT_TRUE(file_exists(dir + "/out1/voxel_...mat"));
    EXPECT_FALSE(file_exists(dir + "/out1/voxel_a"));
    EXPECT_FALSE(file_exists(dir + "/voxel_.mat"));
    // Every copied extension, identical per voxel for 1 and 3 threads.
    for (const char* id : {"v0", "a_b", "..", "x", "plain"})
        for (const char* ext :
             {"fit", "res", "cor", "err", "fit0", "org", "mat", "nln0", "exl", "fitres", "compact.par"}) {
            std::string name = std::string("/voxel_") + id + "." + ext;
            ASSERT_TRUE(file_exists(dir + "/out1" + name)) << name;
            if (std::string(ext) == "exl") continue;  // carries the work directory of the run only
            EXPECT_EQ(without_stamp(read_text(dir + "/out1" + name)), without_stamp(read_text(dir + "/out3" + name)))
                << name;
        }
    // The fits found the lines.
    auto m = read_matrix(dir + "/out1/voxel_a_b.mat");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NEAR(m[0][1], 41.0, 0.05);
    EXPECT_NEAR(m[0][0], 80.0, 2.0);

    // Progress: one line per slot; with threads they count completions 1..7.
    EXPECT_EQ(count_lines(one.out, "QORVANE_PROGRESS\tfit\t"), 7);
    EXPECT_EQ(count_lines(three.out, "QORVANE_PROGRESS\tfit\t"), 7);
    for (int k = 1; k <= 7; ++k)
        EXPECT_EQ(count_lines(three.out, "QORVANE_PROGRESS\tfit\t" + std::to_string(k) + "\t7\t"), 1);
    EXPECT_TRUE(three.err.find("with 3 pthread worker(s)") != std::string::npos);
    EXPECT_TRUE(one.err.find("Volume mode: extracted-voxel fit completed successfully.") != std::string::npos);
    // Standard output: the options echo, the scan summary and the progress lines; the job's
    // other messages are on standard error.
    EXPECT_TRUE(one.out.find("QORVVOL records total: 9\nQORVVOL records fit=1: 7\nQORVVOL records fit=0: 2\n") !=
                std::string::npos);
    EXPECT_EQ(one.out.find("Volume mode"), std::string::npos);
    EXPECT_EQ(one.out.find("QORVVOL header"), std::string::npos);
    EXPECT_NE(one.err.find("Volume mode parsed successfully.\n"), std::string::npos);
    // Fits sharing one parameter file leave one whole verbose file and no private temporaries.
    std::string verbose = read_text(dir + "/start_verbose.par");
    EXPECT_EQ(verbose.rfind("qorvane_begin_of_file", 0), 0u);
    EXPECT_EQ(count_lines(verbose, "qorvane_end_of_file"), 1);
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    // Intermediate files are removed, except the skipped voxels' inputs.
    EXPECT_FALSE(file_exists(dir + "/work/volume_voxel_001.bin"));
    EXPECT_FALSE(file_exists(dir + "/work/volume_voxel_001.fit"));
    EXPECT_TRUE(file_exists(dir + "/work/volume_voxel_004.bin"));
}

TEST_F(VolumeFixture, MaxVoxelsLimitsExtraction) {
    std::vector<Record> recs;
    for (int i = 0; i < 5; ++i) recs.push_back({"r" + std::to_string(i) + "|1", voxel_spectrum(100.0, 40.0, 20 + i)});
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    VolRun r = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", 8,
                          {"--max-voxels", "2", "--keep-intermediate-files"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(r.err.find("fitting 2 selected voxel(s) with 2 pthread worker(s)") != std::string::npos);  // not 8
    EXPECT_EQ(count_lines(read_text(dir + "/out/fit_results.tsv"), "\tSELECTED\t"), 5);
    EXPECT_TRUE(r.out.find("QORVVOL records fit=1: 5\n") != std::string::npos);
    EXPECT_TRUE(file_exists(dir + "/work/volume_voxel_001.bin"));
    EXPECT_TRUE(file_exists(dir + "/work/volume_voxel_002.bin"));
    EXPECT_FALSE(file_exists(dir + "/work/volume_voxel_003.bin"));
    EXPECT_TRUE(file_exists(dir + "/work/volume_voxel_001.fit"));  // kept
    EXPECT_EQ(count_lines(read_text(dir + "/out/fit_status.tsv"), "\tFIT_OK\t"), 2);
}

TEST_F(VolumeFixture, NothingSelectedWritesNoStatusTable) {
    std::vector<Record> recs = {{"a|0", voxel_spectrum(1, 40, 1)}, {"b|0", voxel_spectrum(1, 40, 2)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    VolRun r = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", 1);
    EXPECT_EQ(r.rc, 0);
    EXPECT_TRUE(r.err.find("Volume mode: no selected voxel found; no fit performed.\n") != std::string::npos);
    EXPECT_EQ(count_lines(read_text(dir + "/out/fit_results.tsv"), "\tSKIPPED\t"), 2);
    EXPECT_FALSE(file_exists(dir + "/out/fit_status.tsv"));
}

TEST_F(VolumeFixture, BadHeadersExitWithTwo) {
    std::vector<Record> recs = {{"a|1", voxel_spectrum(1, 40, 1)}};
    struct Case {
        std::string bytes;
        const char* message;
    } cases[] = {
        {volume_bytes(kN, 4097, recs), "QORVVOL read error: invalid id_bytes=4097.\n"},
        {volume_bytes(kN, 8, recs, 2), "QORVVOL read error: unsupported sample_fmt=2.\n"},
        {volume_bytes(kN, 8, recs, 1, 0), "QORVVOL read error: invalid dimensions ap=128 n1=1 n2=1 n3=0.\n"},
        {"QORVVOL2" + volume_bytes(kN, 8, recs).substr(8), "QORVVOL read error: bad magic. Expected QORVVOL1.\n"},
        {"QORV", "QORVVOL read error: cannot read magic.\n"},
        {volume_bytes(kN, 8, recs).substr(0, 20), "QORVVOL read error: incomplete header.\n"},
        // a file shorter than its header says is refused before anything is allocated
        {volume_bytes(kN, 8, recs).substr(0, 32 + 8 + 100),
         "QORVVOL read error: file holds 108 bytes of records; the header asks for 1 records of 1032 bytes.\n"},
    };
    for (const Case& c : cases) {
        write_text(dir + "/bad.qorvvol", c.bytes);
        VolRun r = run_volume(dir + "/bad.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", 1);
        EXPECT_EQ(r.rc, 2) << c.message;
        EXPECT_TRUE(r.err.find(c.message) != std::string::npos) << c.message << " got " << r.err;
        EXPECT_EQ(read_text(dir + "/out/fit_results.tsv"), "linear_index\tvoxel_id\tfit\tstatus\tmessage\n");
    }
}

TEST_F(VolumeFixture, FatalFitConditionEndsOnlyItsVoxels) {
    // Gaussian width of line 2 tied to line 1 with a smaller value: every fit stops, the job goes on.
    ParFile p = voxel_par();
    p.start = {{1, 90.0, 40.0, 8.0, 0.0, 0.0}, {1, 50.0, 60.0, 5.0, 0.0, 0.0}};
    p.prior.resize(2);
    p.prior[0] = {Prior{0, 0, 200}, Prior{0, 30, 50}, Prior{0, 1, 20}, Prior{0, -40, 40}, Prior{0, 0, 1}};
    p.prior[1] = {Prior{0, 0, 200}, Prior{0, 50, 70}, Prior{1, 1, 20}, Prior{0, -40, 40}, Prior{0, 0, 1}};
    write_text(dir + "/bad.par", compact_par(p));
    std::vector<Record> recs = {{"a|1", voxel_spectrum(100, 40, 1)}, {"b|1", voxel_spectrum(100, 40, 2)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    VolRun r = run_volume(dir + "/in.qorvvol", dir + "/bad.par", dir + "/out", dir + "/work", 2);
    EXPECT_EQ(r.rc, 0) << r.err;
    std::string status = read_text(dir + "/out/fit_status.tsv");
    EXPECT_EQ(count_lines(status, "\tFIT_ERROR\tlegacy fit returned rc=1: prior knowledge inconsistency"), 2) << status;
}

TEST(VolumeHelpers, SafeIdsAndLittleEndianReads) {
    char buf[64];
    qorvane_volume_file_safe_id(buf, sizeof buf, "../a\\b/c");
    EXPECT_STREQ(buf, ".._a_b_c");
    FILE* f = tmpfile();
    const unsigned char bytes[6] = {0x78, 0x56, 0x34, 0x12, 0xff, 0x01};
    fwrite(bytes, 1, 6, f);
    rewind(f);
    uint32_t v = 0;
    ASSERT_EQ(qorvvol_read_u32_le(f, &v), 0);
    EXPECT_EQ(v, 0x12345678u);
    EXPECT_EQ(qorvvol_read_u32_le(f, &v), -1);  // only two bytes left
    fclose(f);
}

TEST_F(VolumeFixture, VoxelFailureEndsTheJobWithItsStatus) {
    // An unsupported fit-control file fails every voxel alike: the first fit ends the job
    // with the fit-control error code, without a status table.
    write_text(dir + "/old.par", "version_2\n");
    std::vector<Record> recs;
    for (int i = 0; i < 4; ++i) recs.push_back({"r" + std::to_string(i) + "|1", voxel_spectrum(100.0, 40.0, 30 + i)});
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    for (int threads : {1, 3}) {
        std::string out = dir + "/out" + std::to_string(threads);
        VolRun r = run_volume(dir + "/in.qorvvol", dir + "/old.par", out, dir + "/work", threads);
        EXPECT_EQ(r.rc, 3) << threads;
        EXPECT_TRUE(r.err.find("Volume mode error: extracted-voxel fit failed with status 3.\n") != std::string::npos);
        EXPECT_FALSE(file_exists(out + "/fit_status.tsv"));
        if (threads == 1) {
            EXPECT_TRUE(r.err.find("Volume fit error: sequential fit failed for slot=0 status=3.\n") !=
                        std::string::npos);
            EXPECT_EQ(count_lines(r.out, "QORVANE_PROGRESS"), 1);  // stopped at the first voxel
        } else {
            EXPECT_TRUE(r.err.find("parallel selected-voxel fit failed with status 3.\n") != std::string::npos);
        }
    }
}

TEST_F(VolumeFixture, NonFiniteFitsAreCountedAndLeaveNoArtifacts) {
    // A fixed area at the top of single precision (finite in the file) gives a fitted
    // spectrum whose points overflow single precision in every voxel.
    ParFile p = voxel_par();
    p.start[0].area = 3.0e38;
    p.prior = {{Prior{0, 1.0e38, 3.3e38}, Prior{0, 30, 50}, Prior{0, 1.5, 4.5}, Prior{0, -40, 40}, Prior{0, 0, 0}}};
    Step& st = p.steps[0];
    st.ampli = st.frequ = st.gauss = st.loren = 0;  // only the phase moves: the line keeps its height
    write_text(dir + "/nan.par", compact_par(p));
    std::vector<Record> recs = {
        {"a|1", voxel_spectrum(100, 40, 1)}, {"b|1", voxel_spectrum(100, 40, 2)}, {"c|0", voxel_spectrum(100, 40, 3)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    VolRun r = run_volume(dir + "/in.qorvvol", dir + "/nan.par", dir + "/out", dir + "/work", 2);
    EXPECT_EQ(r.rc, 0) << r.err;
    const std::string status = read_text(dir + "/out/fit_status.tsv");
    EXPECT_EQ(status.rfind("slot\tvoxel_id\tinput_file\tfit_status\tmessage\n", 0), 0u) << status;
    EXPECT_NE(status.find("\n1\ta\tvolume_voxel_001.bin\tFIT_NUMERIC_FAILURE\t"), std::string::npos) << status;
    EXPECT_NE(status.find("\n2\tb\tvolume_voxel_002.bin\tFIT_NUMERIC_FAILURE\t"), std::string::npos) << status;
    EXPECT_EQ(count_lines(status, " non-finite fitted float(s)\n"), 2) << status;
    EXPECT_EQ(count_lines(status, "\n"), 3) << status;
    EXPECT_NE(r.err.find("Volume mode: extracted-voxel fit completed with 2 numerical failure(s).\n"),
              std::string::npos);
    EXPECT_FALSE(file_exists(dir + "/out/voxel_a.fit"));
    EXPECT_FALSE(file_exists(dir + "/work/volume_voxel_001.fit"));
    EXPECT_FALSE(file_exists(dir + "/work/volume_voxel_002.bin"));

    // The counter starts from zero for the next job.
    write_text(dir + "/in2.qorvvol", volume_bytes(kN, 8, {{"d|1", voxel_spectrum(100, 40, 4)}}));
    r = run_volume(dir + "/in2.qorvvol", dir + "/start.par", dir + "/out2", dir + "/work", 1);
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.err.find("Volume mode: extracted-voxel fit completed successfully.\n"), std::string::npos);
}

TEST_F(VolumeFixture, HeaderCountsAreCheckedAgainstTheFileBeforeAllocation) {
    // Header only: (ap, n1, n2, n3). None of these may allocate what the file does not hold.
    struct Case {
        uint32_t ap, n1, n2, n3;
        const char* message;
    } cases[] = {
        {0xFFFFFFFFu, 1, 1, 1, "QORVVOL read error: ap=4294967295 exceeds the limit of 1048576 complex points"},
        {0x10000000u, 1, 1, 1, "QORVVOL read error: ap=268435456 exceeds the limit of 1048576 complex points"},
        {1u << 20, 1, 1, 1, "file holds 0 bytes of records; the header asks for 1 records of 8388616 bytes.\n"},
        {128, 1000, 1000, 1000,
         "file holds 1032 bytes of records; the header asks for 1000000000 records of 1032 bytes.\n"},
        {128, 0xFFFFFFFFu, 0xFFFFFFFFu, 2, "QORVVOL read error: invalid computed volume size.\n"},
    };
    for (const Case& c : cases) {
        std::string b = "QORVVOL1";
        for (uint32_t v : {c.ap, c.n1, c.n2, c.n3, 8u, 1u}) put_u32(b, v);
        if (c.ap == 128) b += volume_bytes(kN, 8, {{"a|1", voxel_spectrum(1, 40, 1)}}).substr(32);
        write_text(dir + "/big.qorvvol", b);
        VolRun r = run_volume(dir + "/big.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", 1);
        EXPECT_EQ(r.rc, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.message << "\n" << r.err;
        EXPECT_EQ(r.err.find("cannot allocate"), std::string::npos) << r.err;
    }
}

TEST_F(VolumeFixture, NonFiniteSamplesAreReportedWithTheVoxelId) {
    std::vector<std::complex<double>> bad = voxel_spectrum(100, 40, 2);
    bad[5] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()};
    std::vector<Record> recs = {{"a|1", voxel_spectrum(100, 40, 1)}, {"b|1", bad}, {"c|0", bad}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    VolRun r = run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", 1);
    EXPECT_NE(r.err.find("QORVVOL read warning: record 1 voxel_id=b holds 2 non-finite sample float(s).\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("QORVVOL read warning: record 2 voxel_id=c holds 2 non-finite sample float(s).\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("voxel_id=a holds"), std::string::npos) << r.err;
    EXPECT_NE(read_text(dir + "/out/fit_status.tsv").find("\tb\tvolume_voxel_002.bin\tFIT_INVALID_INPUT\t"),
              std::string::npos);
}

TEST_F(VolumeFixture, PipesAndDirectoriesAreRefusedWithoutBlocking) {
    const std::string fifo = dir + "/pipe.qorvvol";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& input : {fifo, dir}) {
        VolRun r = run_volume(input, dir + "/start.par", dir + "/out", dir + "/work", 1);
        EXPECT_EQ(r.rc, 2) << input;
        EXPECT_NE(r.err.find("QORVVOL read error: cannot open input volume: " + input + "\n"), std::string::npos)
            << r.err;
    }
}
