// Spectrum files with noise levels and the sage_idl header.
#include "qspectrumio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qorvane_context.h"
#include "qtest_files.h"

namespace {

std::string temp_dir() { return qtest::temp_dir("sio"); }

struct Attached {
    QorvaneFitContext *ctx;
    Attached() : ctx(qorvane_context_create()) {
        qorvane_context_set_defaults(ctx);
        ctx->verbos = 0;
        g_qorvane_ctx = ctx;
    }
    ~Attached() { qorvane_context_destroy(ctx); }
};

// Real channel alternates +a/-a over the noise points, imaginary channel is constant:
// population standard deviations a and 0.
void write_spectrum(const std::string &path, int points, int noise_from, double a) {
    std::vector<double> re(points), im(points);
    for (int k = 0; k < points; ++k) {
        re[k] = k < noise_from ? 100.0 + k : ((k % 2) ? a : -a);
        im[k] = k < noise_from ? -3.0 * k : 7.0;
    }
    ASSERT_EQ(qorvane_write_complex_file(path.c_str(), points, re.data(), im.data()), 0);
}

long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

}  // namespace

TEST(SpectrumFile, PointsAreInterleavedFloat32AndNoiseUsesPointsNoistrToNoistpMinusOne) {
    const std::string dir = temp_dir() + "/";
    write_spectrum(dir + "s.bin", 1024, 1, 0.5);
    EXPECT_EQ(file_size(dir + "s.bin"), 8192);
    Attached a;
    ASSERT_EQ(_InputSpectrumToFit(1024, 1, 25, dir.c_str(), "s.bin"), QORVANE_RC_OK);
    EXPECT_DOUBLE_EQ(a.ctx->sigma_abs, 0.5);  // 24 points alternating -0.5/+0.5
    EXPECT_DOUBLE_EQ(a.ctx->sigma_disp, 0.0);
    EXPECT_EQ(a.ctx->xre[0], 100.0);
    EXPECT_EQ(a.ctx->xim[0], 0.0);
    EXPECT_EQ(a.ctx->xre[3], 0.5);
    EXPECT_EQ(a.ctx->xre_copy[3], 0.5);
    EXPECT_EQ(a.ctx->shifted_xre[3], 0.5);
    EXPECT_EQ(a.ctx->xim_copy[1023], 7.0);

    // an odd interval (noistr = 2, 23 points: 12 of -a, 11 of +a) has a mean off zero
    ASSERT_EQ(_InputSpectrumToFit(1024, 2, 25, dir.c_str(), "s.bin"), QORVANE_RC_OK);
    const double m = (11.0 * 0.5 - 12.0 * 0.5) / 23.0;
    const double var = (11.0 * (0.5 - m) * (0.5 - m) + 12.0 * (-0.5 - m) * (-0.5 - m)) / 23.0;
    EXPECT_NEAR(a.ctx->sigma_abs, std::sqrt(var), 1e-15);

    // noistr = noistp: no noise point, sigma stays 0
    ASSERT_EQ(_InputSpectrumToFit(1024, 5, 5, dir.c_str(), "s.bin"), QORVANE_RC_OK);
    EXPECT_EQ(a.ctx->sigma_abs, 0.0);
    EXPECT_EQ(a.ctx->sigma_disp, 0.0);
}

TEST(SpectrumFile, NoisePointsBeyondNAreReadAndAFileOfAnotherSizeIsRefused) {
    const std::string dir = temp_dir() + "/";
    // 1100 points: the last 76 (1024..1099) carry noise of 2.0
    write_spectrum(dir + "long.bin", 1100, 1024, 2.0);
    Attached a;
    testing::internal::CaptureStdout();
    ASSERT_EQ(_InputSpectrumToFit(1024, 1024, 1100, dir.c_str(), "long.bin"), QORVANE_RC_OK);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("error reading data"), std::string::npos) << out;
    EXPECT_DOUBLE_EQ(a.ctx->sigma_abs, 2.0);
    EXPECT_EQ(a.ctx->xre[1023], 1123.0);

    // A file whose size is not what n_pnts (and noistp beyond it) announce is another
    // spectrum: refused with both sizes, never padded or cut.
    struct Case {
        const char *name;
        int points_in_file, n, noistr, noistp;
        const char *sizes;
    } cases[] = {
        {"short_noise.bin", 1024, 1024, 1000, 1100, "holds 8192 bytes; n_pnts 1024 and noistp 1100 need 8800 bytes"},
        {"tiny.bin", 10, 16, 0, 0, "holds 80 bytes; n_pnts 16 and noistp 0 need 128 bytes"},
        {"long_for_n.bin", 1100, 1024, 0, 100, "holds 8800 bytes; n_pnts 1024 and noistp 100 need 8192 bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        write_spectrum(dir + c.name, c.points_in_file, c.points_in_file, 1.0);
        a.ctx->status = QorvaneStatus{};
        testing::internal::CaptureStdout();
        EXPECT_EQ(_InputSpectrumToFit(c.n, c.noistr, c.noistp, dir.c_str(), c.name), QORVANE_RC_FATAL);
        out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("... error reading data ... exit..."), std::string::npos) << out;
        EXPECT_NE(out.find(c.sizes), std::string::npos) << out;
        EXPECT_EQ(a.ctx->status.fatal, 1);
        EXPECT_EQ(a.ctx->status.exit_code, 1);
    }
}

TEST(SpectrumFile, MissingFileAndMissingContextAreFatalWithoutEndingTheProcess) {
    const std::string dir = temp_dir() + "/";
    {
        Attached a;
        testing::internal::CaptureStdout();
        EXPECT_EQ(_InputSpectrumToFit(1024, 0, 0, dir.c_str(), "absent.bin"), QORVANE_RC_FATAL);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("ERROR in filename '" + dir + "absent.bin', can't open !"), std::string::npos) << out;
        EXPECT_EQ(a.ctx->status.fatal, 1);
        EXPECT_EQ(a.ctx->status.exit_code, 1);
    }
    g_qorvane_ctx = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(_InputSpectrumToFit(1024, 0, 0, dir.c_str(), "absent.bin"), QORVANE_RC_FATAL);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("_InputSpectrumToFit error: no TLS context attached."),
              std::string::npos);
}

namespace {

void fill_header(QorvaneSageIdlHeader *h) {
    std::memset(h, 0, sizeof *h);
    h->n_data_files = 1;
    std::snprintf(h->data_file_name, sizeof h->data_file_name, "data.sdf");
    std::snprintf(h->file_type, sizeof h->file_type, "Spectrum");
    std::snprintf(h->data_precision, sizeof h->data_precision, "Float");
    h->data_offset = 16;
    std::snprintf(h->patient_site, sizeof h->patient_site, "Site");
    std::snprintf(h->patient_id, sizeof h->patient_id, "P01");
    std::snprintf(h->patient_name, sizeof h->patient_name, "Doe");
    std::snprintf(h->patient_age, sizeof h->patient_age, "42");
    std::snprintf(h->patient_sex, sizeof h->patient_sex, "F");
    h->study_number = 7;
    h->series_number = 3;
    std::snprintf(h->time_acquired, sizeof h->time_acquired, "12:00:01");
    std::snprintf(h->date_acquired, sizeof h->date_acquired, "01-02-1999");
    std::snprintf(h->sequence_name, sizeof h->sequence_name, "PRESS");
    h->release = 5.5f;
    h->tr = 2000.0f;
    h->te = 30.0f;
    h->ti = 0.25f;
    h->tm = 10.0f;
    h->tg = 1.5f;
    h->r1 = 4;
    h->r2 = 9;
    const char *disp[4] = {"Spectrum", "Image", "Grid", "None"};
    for (int i = 0; i < 4; ++i) std::snprintf(h->display_type[i], sizeof h->display_type[i], "%s", disp[i]);
    std::snprintf(h->display_channel, sizeof h->display_channel, "Real");
    std::snprintf(h->data_type, sizeof h->data_type, "Complex");
    h->centre_frequency_mhz = 63.86f;
    h->ppm_offset = 4.7f;
    h->phase0 = -12.5f;
    h->phase1 = 180.0f;
    std::snprintf(h->lb_type, sizeof h->lb_type, "Gaussian");
    h->lb1 = 2.0f;
    h->lb2 = 0.5f;
    h->n_user_fields = 2;
    std::snprintf(h->user_name[0], sizeof h->user_name[0], "coil");
    std::snprintf(h->user_value[0], sizeof h->user_value[0], "head");
    std::snprintf(h->user_name[1], sizeof h->user_name[1], "voxel");
    std::snprintf(h->user_value[1], sizeof h->user_value[1], "8cc");
    const char *dom[4] = {"Frequency", "Space", "Space", "None"};
    const char *ori[4] = {"NA", "RL", "AP", "SI"};
    for (int i = 0; i < 4; ++i) {
        QorvaneSageDimension *d = &h->dim[i];
        d->number = i;
        std::snprintf(d->domain, sizeof d->domain, "%s", dom[i]);
        std::snprintf(d->orientation, sizeof d->orientation, "%s", ori[i]);
        d->npoints = i == 0 ? 1024 : 1;
        d->width = 2000.0f + i;
        d->zero_time = 0.5f * i;
        d->zero_freq = 0.25f * i;
        d->slice_location = -3.0f + i;
        d->slice_thickness = 10.0f;
        d->time_phase_correction = 0.125f * i;
        d->freq_phase_correction = 1.0f + i;
    }
}

}  // namespace

TEST(SageIdlHeader, WrittenHeaderReadsBackFieldForField) {
    const std::string dir = temp_dir();
    const std::string path = dir + "/data.shf";
    QorvaneSageIdlHeader w, r;
    fill_header(&w);
    ASSERT_EQ(write_sageidl_header(path.c_str(), &w), 0);
    std::memset(&r, 0, sizeof r);
    QorvaneStatus st;
    qorvane_status_clear(&st);
    ASSERT_EQ(read_sageidl_header(path.c_str(), &r, &st), QORVANE_RC_OK);
    EXPECT_EQ(st.fatal, 0);
    EXPECT_STREQ(r.header_name, path.c_str());  // the name written is the header's own path
    EXPECT_EQ(r.n_data_files, 1);
    EXPECT_STREQ(r.data_file_name, "data.sdf");
    EXPECT_STREQ(r.data_precision, "Float");
    EXPECT_EQ(r.data_offset, 16);
    EXPECT_STREQ(r.patient_name, "Doe");
    EXPECT_EQ(r.series_number, 3);
    EXPECT_STREQ(r.date_acquired, "01-02-1999");
    EXPECT_STREQ(r.sequence_name, "PRESS");
    EXPECT_FLOAT_EQ(r.tr, 2000.0f);
    EXPECT_FLOAT_EQ(r.tg, 1.5f);
    EXPECT_EQ(r.r2, 9);
    EXPECT_STREQ(r.display_type[3], "None");
    EXPECT_STREQ(r.display_channel, "Real");
    EXPECT_STREQ(r.data_type, "Complex");
    EXPECT_NEAR(r.centre_frequency_mhz, 63.86f, 1e-5);
    EXPECT_FLOAT_EQ(r.phase0, -12.5f);
    EXPECT_STREQ(r.lb_type, "Gaussian");
    EXPECT_FLOAT_EQ(r.lb2, 0.5f);
    EXPECT_EQ(r.n_user_fields, 2);
    EXPECT_STREQ(r.user_value[1], "8cc");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(r.dim[i].number, i);
        EXPECT_STREQ(r.dim[i].domain, w.dim[i].domain);
        EXPECT_STREQ(r.dim[i].orientation, w.dim[i].orientation);
        EXPECT_EQ(r.dim[i].npoints, w.dim[i].npoints);
        EXPECT_FLOAT_EQ(r.dim[i].width, w.dim[i].width);
        EXPECT_FLOAT_EQ(r.dim[i].slice_location, w.dim[i].slice_location);
        EXPECT_FLOAT_EQ(r.dim[i].freq_phase_correction, w.dim[i].freq_phase_correction);
    }
}

TEST(SageIdlHeader, TextsWithBlanksStaySingleWordsSoLaterFieldsStayAligned) {
    const std::string dir = temp_dir();
    const std::string path = dir + "/blank.shf";
    QorvaneSageIdlHeader w, r;
    fill_header(&w);
    std::snprintf(w.data_precision, sizeof w.data_precision, "16 Bit");
    w.patient_name[0] = '\0';
    ASSERT_EQ(write_sageidl_header(path.c_str(), &w), 0);
    std::memset(&r, 0, sizeof r);
    ASSERT_EQ(read_sageidl_header(path.c_str(), &r, nullptr), QORVANE_RC_OK);
    EXPECT_STREQ(r.data_precision, "16_Bit");
    EXPECT_EQ(r.data_offset, 16);
    EXPECT_STREQ(r.patient_name, "None");
    EXPECT_STREQ(r.patient_age, "42");
}

TEST(SageIdlHeader, UserFieldsBeyondCapacityAreSkippedNotOverrun) {
    const std::string dir = temp_dir();
    const std::string path = dir + "/many.shf";
    FILE *fp = std::fopen(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    std::fprintf(fp,
                 "# Sage/IDL Data Header\n# ====================\n\n\n# Revision Information\n"
                 "# --------------------\nSage/IDL Header Version 0.1 \n\nsagekey_userinfo\n%d\n",
                 QORVANE_SAGE_USER_FIELDS + 5);
    for (int i = 0; i < QORVANE_SAGE_USER_FIELDS + 5; ++i) std::fprintf(fp, "name%d value%d\n", i, i);
    std::fprintf(fp, "sagekey_datainfo\nReal 127.7 0.0\nsagekey_endfile\n");
    std::fclose(fp);
    QorvaneSageIdlHeader r;
    std::memset(&r, 0, sizeof r);
    ASSERT_EQ(read_sageidl_header(path.c_str(), &r, nullptr), QORVANE_RC_OK);
    EXPECT_EQ(r.n_user_fields, QORVANE_SAGE_USER_FIELDS);
    EXPECT_STREQ(r.user_value[QORVANE_SAGE_USER_FIELDS - 1], "value15");
    EXPECT_STREQ(r.data_type, "Real");
    EXPECT_NEAR(r.centre_frequency_mhz, 127.7f, 1e-4);
}

TEST(SageIdlHeader, WrongVersionIsFatalAndUnopenableHeaderLeavesRecordUnchanged) {
    const std::string dir = temp_dir();
    const std::string path = dir + "/v02.shf";
    FILE *fp = std::fopen(path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    std::fprintf(fp,
                 "# Sage/IDL Data Header\n# ====================\n\n\n# Revision Information\n"
                 "# --------------------\nSage/IDL Header Version 0.2 \n");
    std::fclose(fp);
    QorvaneSageIdlHeader r;
    fill_header(&r);
    QorvaneStatus st;
    qorvane_status_clear(&st);
    testing::internal::CaptureStdout();
    EXPECT_EQ(read_sageidl_header(path.c_str(), &r, &st), QORVANE_RC_FATAL);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("unexpected header file: \n----------------------------- \nsage headerfile : " + path +
                       " is not of 0.1 format \nprogram terminates ... \n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("program terminates ..."), std::string::npos);
    EXPECT_EQ(st.fatal, 1);
    EXPECT_EQ(st.exit_code, -1);

    testing::internal::CaptureStdout();
    EXPECT_EQ(read_sageidl_header((dir + "/absent.shf").c_str(), &r, &st), QORVANE_RC_OK);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("==> .shf file could not be opened"), std::string::npos);
    EXPECT_STREQ(r.sequence_name, "PRESS");

    testing::internal::CaptureStdout();
    EXPECT_EQ(write_sageidl_header((dir + "/no/such/dir.shf").c_str(), &r), -1);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("cannot write sage header file"), std::string::npos);
}
