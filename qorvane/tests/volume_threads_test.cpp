// Volume mode: QORVVOL1 reading, selection, extraction, per-voxel status, result copies,
// both tables, and identical results with one and with several worker threads.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "qvolume_test_support.h"

using namespace qvol_test;

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
    // One voxel (non-finite input) was not fitted: the job succeeds but does not say "successfully".
    EXPECT_TRUE(one.err.find("Volume mode: extracted-voxel fit completed; 1 selected voxel(s) not fitted.") !=
                std::string::npos);
    EXPECT_EQ(one.err.find("completed successfully"), std::string::npos);
    // Standard output: the options echo, the scan summary and the progress lines; the job's
    // other messages are on standard error.
    EXPECT_TRUE(one.out.find("QORVVOL records total: 9\nQORVVOL records fit=1: 7\nQORVVOL records fit=0: 2\n") !=
                std::string::npos);
    EXPECT_EQ(one.out.find("Volume mode"), std::string::npos);
    EXPECT_EQ(one.out.find("QORVVOL header"), std::string::npos);
    EXPECT_NE(one.err.find("Volume mode parsed successfully.\n"), std::string::npos);
    // Nothing is written beside the parameter file, and no private temporaries are left.
    EXPECT_FALSE(file_exists(dir + "/start_verbose.par"));
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
    // Intermediate files are removed, the skipped voxels' inputs too.
    EXPECT_TRUE(std::filesystem::is_empty(dir + "/work"));
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

TEST_F(VolumeFixture, InconsistentPriorKnowledgeIsRefusedBeforeAnyVoxel) {
    // Gaussian width of line 2 tied to line 1 with a smaller value: the parameter file is
    // refused once, before any voxel is extracted; the job fails with the fit-control code.
    ParFile p = voxel_par();
    p.start = {{1, 90.0, 40.0, 8.0, 0.0, 0.0}, {1, 50.0, 60.0, 5.0, 0.0, 0.0}};
    p.prior.resize(2);
    p.prior[0] = {Prior{0, 0, 200}, Prior{0, 30, 50}, Prior{0, 1, 20}, Prior{0, -40, 40}, Prior{0, 0, 1}};
    p.prior[1] = {Prior{0, 0, 200}, Prior{0, 50, 70}, Prior{1, 1, 20}, Prior{0, -40, 40}, Prior{0, 0, 1}};
    write_text(dir + "/bad.par", compact_par(p));
    std::vector<Record> recs = {{"a|1", voxel_spectrum(100, 40, 1)}, {"b|1", voxel_spectrum(100, 40, 2)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    VolRun r = run_volume(dir + "/in.qorvvol", dir + "/bad.par", dir + "/out", dir + "/work", 2);
    EXPECT_EQ(r.rc, 3) << r.err;
    std::string status = read_text(dir + "/out/fit_status.tsv");
    EXPECT_EQ(count_lines(status, "\tFIT_ERROR\tnot fitted: parameter file refused: prior knowledge inconsistency"), 2)
        << status;
    EXPECT_EQ(count_lines(r.out, "QORVANE_PROGRESS"), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir + "/work"));
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

TEST_F(VolumeFixture, UnsupportedParameterFileEndsTheJobWithItsStatusTable) {
    // An unsupported fit-control file could not fit any voxel: the job ends with the
    // fit-control code 3 and a status table of every slot, without starting a fit.
    write_text(dir + "/old.par", "version_2\n");
    std::vector<Record> recs;
    for (int i = 0; i < 4; ++i) recs.push_back({"r" + std::to_string(i) + "|1", voxel_spectrum(100.0, 40.0, 30 + i)});
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 8, recs));
    for (int threads : {1, 3}) {
        std::string out = dir + "/out" + std::to_string(threads);
        VolRun r = run_volume(dir + "/in.qorvvol", dir + "/old.par", out, dir + "/work", threads);
        EXPECT_EQ(r.rc, 3) << threads;
        EXPECT_NE(r.err.find("Volume mode error: parameter file refused: " + dir +
                             "/old.par: unsupported or corrupt fit-control file\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(count_lines(read_text(out + "/fit_status.tsv"), "\tFIT_ERROR\t"), 4);
        EXPECT_EQ(count_lines(r.out, "QORVANE_PROGRESS"), 0);
        EXPECT_TRUE(std::filesystem::is_empty(dir + "/work"));
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
    EXPECT_EQ(r.rc, 4) << r.err;  // no voxel was fitted
    const std::string status = read_text(dir + "/out/fit_status.tsv");
    EXPECT_EQ(status.rfind("slot\tvoxel_id\tinput_file\tfit_status\tmessage\n", 0), 0u) << status;
    EXPECT_NE(status.find("\n1\ta\tvolume_voxel_001.bin\tFIT_NUMERIC_FAILURE\t"), std::string::npos) << status;
    EXPECT_NE(status.find("\n2\tb\tvolume_voxel_002.bin\tFIT_NUMERIC_FAILURE\t"), std::string::npos) << status;
    EXPECT_EQ(count_lines(status, " non-finite fitted float(s)\n"), 2) << status;
    EXPECT_EQ(count_lines(status, "\n"), 3) << status;
    EXPECT_NE(r.err.find("Volume mode error: no selected voxel was fitted (2 not fitted, 0 all-zero)"),
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

// Every output file of a job, whatever the thread count and whether the spectra and results
// go through memory (the default) or through the work directory (--keep-intermediate-files),
// and the same voxel fitted alone in single-spectrum mode.
TEST_F(VolumeFixture, OutputsAreIdenticalInMemoryOrThroughFilesWithOneOrTwoThreads) {
    std::vector<std::complex<double>> zero(kN, 0.0);
    auto bad = voxel_spectrum(100.0, 40.0, 9);
    bad[3] = std::complex<double>(std::numeric_limits<double>::infinity(), 0.0);
    std::vector<Record> recs = {{"v0|1", voxel_spectrum(100.0, 40.0, 1)},
                                {"a/b|1", voxel_spectrum(80.0, 41.0, 3)},
                                {"a_b|1", voxel_spectrum(120.0, 39.5, 4)},
                                {"off|0", voxel_spectrum(90.0, 40.0, 2)},
                                {"zero|1", zero},
                                {"inf|1", bad},
                                {"w|1", voxel_spectrum(95.0, 40.5, 5)},
                                {"z|1", voxel_spectrum(110.0, 40.2, 7)}};
    write_text(dir + "/in.qorvvol", volume_bytes(kN, 16, recs));
    struct Case {
        const char* out;
        int threads;
        bool keep;
    };
    const Case cases[] = {{"/mem1", 1, false}, {"/mem2", 2, false}, {"/files1", 1, true}, {"/files2", 2, true}};
    for (const Case& c : cases) {
        VolRun r =
            run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + c.out, dir + "/work", c.threads,
                       c.keep ? std::vector<std::string>{"--keep-intermediate-files"} : std::vector<std::string>{});
        ASSERT_EQ(r.rc, 0) << c.out << "\n" << r.err;
        // In memory nothing is written to the work directory.
        if (!c.keep) EXPECT_TRUE(std::filesystem::is_empty(dir + "/work")) << c.out;
    }
    const std::vector<std::string> names = list_dir(dir + "/mem1");
    EXPECT_EQ(names.size(), 2u + 5u * 11u);  // both tables, 11 result files of the 5 fitted voxels
    for (const Case& c : cases) {
        EXPECT_EQ(list_dir(dir + c.out), names) << c.out;
        for (const std::string& name : names)
            EXPECT_EQ(without_stamp(read_text(dir + c.out + "/" + name)),
                      without_stamp(read_text(dir + "/mem1/" + name)))
                << c.out << "/" << name;
    }
    EXPECT_NE(read_text(dir + "/mem1/fit_status.tsv").find("\n3\ta_b\tvolume_voxel_003.bin\tFIT_OK\t"),
              std::string::npos);
    EXPECT_TRUE(file_exists(dir + "/mem1/voxel_a_b~3.fitres"));

    // Voxel 2 ("a/b") fitted by itself from the spectrum the last job extracted.
    VolRun single = run_main({dir + "/work", "volume_voxel_002.bin", dir + "/start.par"});
    ASSERT_EQ(single.rc, 0) << single.err;
    for (const char* ext : {"fit", "res", "cor", "err", "fit0", "org", "mat", "nln0", "exl", "fitres", "compact.par"})
        EXPECT_EQ(without_stamp(read_text(dir + "/work/volume_voxel_002." + ext)),
                  without_stamp(read_text(dir + "/mem1/voxel_a_b." + ext)))
            << ext;
}
