// Array data files: text layouts parsed back, partial reads, refusals, the
// PV-WAVE/IDL binary layout and the interactive reader menu.
#include "vyndatafileio.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "binaryfilehandling.h"
#include "datafiles_test_util.h"

namespace {

using datafiles_test::feed_stdin;
using datafiles_test::slurp;

class DataIO : public datafiles_test::TempDirTest {
  protected:
    void write_text(const char* name, const std::string& text) const { datafiles_test::spit_text(path(name), text); }
};

int32_t le32_at(const std::vector<unsigned char>& b, std::size_t off) { return binfh_decode_i32_le(&b[off]); }

}  // namespace

TEST_F(DataIO, AsciiWriteReadRoundTrip) {
    const std::vector<double> v = {1.0, -2.5, 3.14159265358979, 1e-300, -7.25e12, 0.0};
    ASSERT_EQ(AsciiOut_status(int(v.size()), v.data(), path("a.txt").c_str()), DATAIO_OK);
    // One value per line in "%1.12E" layout.
    FILE* f = std::fopen(path("a.txt").c_str(), "r");
    char line[64];
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "1.000000000000E+00\n");
    std::fclose(f);

    std::vector<double> back(v.size(), 99.0);
    const int n = int(v.size());
    ASSERT_EQ(AsciiIn_status(&n, back.data(), path("a.txt").c_str()), DATAIO_OK);
    EXPECT_EQ(dataio_last_status, DATAIO_OK);
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_NEAR(back[i], v[i], 1e-12 * std::fabs(v[i])) << i;
}

TEST_F(DataIO, AsciiAcceptsAnyWhitespaceLayoutAndStopsAtMissingItem) {
    write_text("free.txt", "  1 2.5e1\n\n-3\t4.0E-1 ");
    double a[4] = {0, 0, 0, 0};
    const int four = 4;
    ASSERT_EQ(AsciiIn_status(&four, a, path("free.txt").c_str()), DATAIO_OK);
    EXPECT_EQ(a[0], 1.0);
    EXPECT_EQ(a[1], 25.0);
    EXPECT_EQ(a[2], -3.0);
    EXPECT_EQ(a[3], 0.4);

    write_text("three.txt", "1\n2\n3\n");
    double b[4] = {-1, -1, -1, -1};
    EXPECT_EQ(AsciiIn_status(&four, b, path("three.txt").c_str()), DATAIO_ERR_IO);
    EXPECT_EQ(dataio_last_status, DATAIO_ERR_IO);
    EXPECT_EQ(b[0], 1.0);
    EXPECT_EQ(b[2], 3.0);
    EXPECT_EQ(b[3], -1.0);  // untouched

    write_text("junk.txt", "1\nabc\n3\n");
    double c[3] = {-1, -1, -1};
    const int three = 3;
    EXPECT_EQ(AsciiIn_status(&three, c, path("junk.txt").c_str()), DATAIO_ERR_IO);
    EXPECT_EQ(c[0], 1.0);
    EXPECT_EQ(c[1], -1.0);
}

TEST_F(DataIO, SgPlotLayoutParsedBack) {
    write_text("sg.txt", "1 0.0 1.0\n1 1.0 -2.0\n");
    double a[2] = {0, 0};
    const int two = 2;
    ASSERT_EQ(SGFileIn_status(&two, a, path("sg.txt").c_str()), DATAIO_OK);
    EXPECT_EQ(a[0], 1.0);
    EXPECT_EQ(a[1], -2.0);

    const std::vector<double> x = {0.5, 1.5, 2.5};
    const std::vector<double> v = {10.0, -20.0, 30.5};
    ASSERT_EQ(SGFileOut_status(3, x.data(), v.data(), path("out.sg").c_str()), DATAIO_OK);
    // Each line: curve 1, abscissa, value.
    FILE* f = std::fopen(path("out.sg").c_str(), "r");
    for (int i = 0; i < 3; ++i) {
        int curve = 0;
        double xi = 0, vi = 0;
        ASSERT_EQ(std::fscanf(f, "%d %lf %lf", &curve, &xi, &vi), 3);
        EXPECT_EQ(curve, 1);
        EXPECT_DOUBLE_EQ(xi, x[i]);
        EXPECT_DOUBLE_EQ(vi, v[i]);
    }
    std::fclose(f);
    double back[3] = {0, 0, 0};
    const int three = 3;
    ASSERT_EQ(SGFileIn_status(&three, back, path("out.sg").c_str()), DATAIO_OK);
    for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(back[i], v[i]);

    // Index as abscissa when none is given.
    ASSERT_EQ(SGFileOut_status(3, nullptr, v.data(), path("idx.sg").c_str()), DATAIO_OK);
    f = std::fopen(path("idx.sg").c_str(), "r");
    for (int i = 0; i < 3; ++i) {
        int curve;
        double xi, vi;
        ASSERT_EQ(std::fscanf(f, "%d %lf %lf", &curve, &xi, &vi), 3);
        EXPECT_EQ(xi, double(i));
    }
    std::fclose(f);

    // A line with only two columns stops the read there.
    write_text("bad.sg", "1 0 5\n1 1\n1 2 7\n");
    double c[3] = {-1, -1, -1};
    EXPECT_EQ(SGFileIn_status(&three, c, path("bad.sg").c_str()), DATAIO_ERR_IO);
    EXPECT_EQ(c[0], 5.0);
    EXPECT_NE(c[2], 7.0);
}

// Non-finite numbers are not data: both readers refuse them; a pipe is refused unopened.
TEST_F(DataIO, NonFiniteValuesAndPipesAreRefused) {
    const int two = 2;
    struct Case {
        const char* ascii;
        const char* sg;
    } cases[] = {
        {"1 nan\n", "1 0 1\n1 1 nan\n"},
        {"inf 1\n", "1 0 inf\n1 1 2\n"},
        {"1 -INFINITY\n", "1 0 1\n1 1 -inf\n"},
        {"1e999 1\n", "1 0 1e999\n1 1 1\n"},
    };
    for (const Case& c : cases) {
        double a[2] = {7, 7};
        write_text("bad.txt", c.ascii);
        testing::internal::CaptureStderr();
        EXPECT_EQ(AsciiIn_status(&two, a, path("bad.txt").c_str()), DATAIO_ERR_IO) << c.ascii;
        write_text("bad.sg", c.sg);
        EXPECT_EQ(SGFileIn_status(&two, a, path("bad.sg").c_str()), DATAIO_ERR_IO) << c.sg;
        testing::internal::GetCapturedStderr();
    }
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0600), 0);
    alarm(10);  // a reader that waits for a writer ends the test
    double a[2];
    testing::internal::CaptureStderr();
    EXPECT_EQ(AsciiIn_status(&two, a, path("pipe").c_str()), DATAIO_ERR_IO);
    testing::internal::GetCapturedStderr();
    alarm(0);
}

TEST_F(DataIO, RefusalsOpenNothing) {
    double a[2];
    const int two = 2, neg = -1;
    EXPECT_EQ(AsciiIn_status(nullptr, a, "x"), DATAIO_ERR_NULLPTR);
    EXPECT_EQ(AsciiIn_status(&two, nullptr, "x"), DATAIO_ERR_NULLPTR);
    EXPECT_EQ(SGFileIn_status(&two, a, nullptr), DATAIO_ERR_NULLPTR);
    EXPECT_EQ(dataio_last_status, DATAIO_ERR_NULLPTR);
    EXPECT_EQ(AsciiIn_status(&neg, a, path("a").c_str()), DATAIO_ERR_BADARG);
    EXPECT_EQ(AsciiIn_status(&two, a, path("missing.txt").c_str()), DATAIO_ERR_IO);
    EXPECT_EQ(SGFileIn_status(&two, a, path("missing.txt").c_str()), DATAIO_ERR_IO);
    EXPECT_EQ(AsciiOut_status(-1, a, path("o").c_str()), DATAIO_ERR_BADARG);
    EXPECT_EQ(AsciiOut_status(1, a, path("no/dir/o").c_str()), DATAIO_ERR_IO);
    EXPECT_NE(access(path("o").c_str(), F_OK), 0);
}

TEST_F(DataIO, PvWaveLayoutFromSignalFile) {
    // Signal of 256 samples, 1 trace: 1024 + 4096 bytes.
    const int np = 256;
    FILE* f = std::fopen(path("sig.bin").c_str(), "wb");
    ASSERT_EQ(WriteBinFileHeader_status(f, 1, np, 1), BINFH_OK);
    std::vector<double> body(2 * np);
    for (int k = 0; k < np; ++k) {
        body[2 * k] = std::cos(0.1 * k);
        body[2 * k + 1] = -std::sin(0.1 * k);
    }
    std::vector<unsigned char> enc(body.size() * 8);
    binfh_encode_doubles_le(body.data(), body.size(), enc.data());
    ASSERT_EQ(std::fwrite(enc.data(), 1, enc.size(), f), enc.size());
    std::fclose(f);

    ASSERT_EQ(dataio_signal_to_pvwave_status(path("sig.bin").c_str(), path("out.pvw").c_str()), DATAIO_OK);
    const auto out = slurp(path("out.pvw"));
    ASSERT_EQ(out.size(), 1024u + 4096u);
    const int32_t expect_head[15] = {3, 0, 0, 2, np, 1, 0, 0, 1, 0, 0, 0, 0, 0, 2};
    for (int i = 0; i < 15; ++i) EXPECT_EQ(le32_at(out, 4 * i), expect_head[i]) << "word " << i;
    for (int i = 15; i < 256; ++i) EXPECT_EQ(le32_at(out, 4 * i), 0) << "word " << i;
    EXPECT_TRUE(std::equal(enc.begin(), enc.end(), out.begin() + 1024));

    // Two traces of 4: header carries both dimensions.
    f = std::fopen(path("sig2.bin").c_str(), "wb");
    ASSERT_EQ(WriteBinFileHeader_status(f, 1, 4, 2), BINFH_OK);
    std::vector<unsigned char> zeros(16 * 8, 0);
    std::fwrite(zeros.data(), 1, zeros.size(), f);
    std::fclose(f);
    ASSERT_EQ(dataio_signal_to_pvwave_status(path("sig2.bin").c_str(), path("out2.pvw").c_str()), DATAIO_OK);
    const auto out2 = slurp(path("out2.pvw"));
    EXPECT_EQ(out2.size(), 1024u + 128u);
    EXPECT_EQ(le32_at(out2, 16), 4);
    EXPECT_EQ(le32_at(out2, 20), 2);
}

TEST_F(DataIO, PvWaveRefusesTruncatedOrWrongSource) {
    FILE* f = std::fopen(path("sig.bin").c_str(), "wb");
    ASSERT_EQ(WriteBinFileHeader_status(f, 1, 64, 2), BINFH_OK);
    std::vector<unsigned char> partial(16 * 64 + 8, 0);
    std::fwrite(partial.data(), 1, partial.size(), f);
    std::fclose(f);
    EXPECT_NE(dataio_signal_to_pvwave_status(path("sig.bin").c_str(), path("out.pvw").c_str()), DATAIO_OK);
    EXPECT_NE(access(path("out.pvw").c_str(), F_OK), 0);

    f = std::fopen(path("dm.bin").c_str(), "wb");
    ASSERT_EQ(WriteBinFileHeader_status(f, 0, 1, 1), BINFH_OK);
    std::fwrite(partial.data(), 1, 16, f);
    std::fclose(f);
    EXPECT_EQ(dataio_signal_to_pvwave_status(path("dm.bin").c_str(), path("out.pvw").c_str()), DATAIO_ERR_BADARG);
    EXPECT_NE(access(path("out.pvw").c_str(), F_OK), 0);
    EXPECT_EQ(dataio_signal_to_pvwave_status(path("none.bin").c_str(), path("out.pvw").c_str()), DATAIO_ERR_IO);
}

TEST_F(DataIO, PvWaveFailedWriteKeepsOlderExportAndLeavesNoPart) {
    const int np = 256;  // 1024 + 4096 bytes of output
    FILE* f = std::fopen(path("sig.bin").c_str(), "wb");
    ASSERT_EQ(WriteBinFileHeader_status(f, 1, np, 1), BINFH_OK);
    std::vector<unsigned char> body(16 * np, 0x3f);
    ASSERT_EQ(std::fwrite(body.data(), 1, body.size(), f), body.size());
    std::fclose(f);
    write_text("out.pvw", "older export");

    // A file-size limit below the export's size makes its writes fail.
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*old_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = saved;
    lim.rlim_cur = 2048;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    const dataio_status st = dataio_signal_to_pvwave_status(path("sig.bin").c_str(), path("out.pvw").c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(st, DATAIO_ERR_IO);
    EXPECT_EQ(dataio_last_status, DATAIO_ERR_IO);
    const auto old = slurp(path("out.pvw"));
    EXPECT_EQ(std::string(old.begin(), old.end()), "older export");
    auto names = entries();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"out.pvw", "sig.bin"}));

    // Without the limit the same export replaces the older file.
    ASSERT_EQ(dataio_signal_to_pvwave_status(path("sig.bin").c_str(), path("out.pvw").c_str()), DATAIO_OK);
    EXPECT_EQ(slurp(path("out.pvw")).size(), 1024u + 16u * np);
    EXPECT_EQ(entries().size(), 2u);
}

TEST_F(DataIO, RealArrayInMenuThroughConsole) {
    write_text("vals.txt", "4 5 6\n");
    write_text("vals.sg", "1 0 -4\n1 1 -5\n1 2 -6\n");
    double a[3] = {9, 9, 9};
    const int three = 3;

    feed_stdin(path("in1"), "1\n" + path("vals.txt") + "\n");
    EXPECT_EQ(RealArrayIn(&three, a), DATAIO_OK);
    EXPECT_EQ(a[0], 4.0);
    EXPECT_EQ(a[2], 6.0);

    // Empty lines before the answers are skipped like white space.
    feed_stdin(path("in2"), "\n2\n\n" + path("vals.sg") + "\n");
    EXPECT_EQ(RealArrayIn(&three, a), DATAIO_OK);
    EXPECT_EQ(a[1], -5.0);

    feed_stdin(path("in3"), "3\n");
    EXPECT_EQ(RealArrayIn(&three, a), DATAIO_OK);
    EXPECT_EQ(a[0], 0.0);
    EXPECT_EQ(a[2], 0.0);

    a[0] = 1.0;
    feed_stdin(path("in4"), "x\n");
    EXPECT_EQ(RealArrayIn(&three, a), DATAIO_ERR_IO);
    EXPECT_EQ(a[0], 1.0);

    feed_stdin(path("in5"), "1\n");  // input ends before the file name
    EXPECT_EQ(RealArrayIn(&three, a), DATAIO_ERR_IO);

    feed_stdin(path("in6"), "1\n" + std::string(300, 'a') + "\n");  // name too long
    EXPECT_EQ(RealArrayIn(&three, a), DATAIO_ERR_IO);
    EXPECT_EQ(a[0], 1.0);

    EXPECT_EQ(RealArrayIn(nullptr, a), DATAIO_ERR_NULLPTR);
}
