// Binary spectrum files and the sage_idl ".shf" header.
#include "qspectrumio.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

bool sio_is_pow2(int n) { return n > 0 && (n & (n - 1)) == 0; }

float sio_float_le(const unsigned char *b) {
    uint32_t u = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                 (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
    float f;
    std::memcpy(&f, &u, sizeof f);
    return f;
}

void sio_put_float_le(unsigned char *b, float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    b[0] = static_cast<unsigned char>(u);
    b[1] = static_cast<unsigned char>(u >> 8);
    b[2] = static_cast<unsigned char>(u >> 16);
    b[3] = static_cast<unsigned char>(u >> 24);
}

// Reads the next complex point; false at end of file or on a read error.
bool sio_read_point(FILE *fp, double *re, double *im) {
    unsigned char b[8];
    if (std::fread(b, 1, 8, fp) != 8) return false;
    *re = sio_float_le(b);
    *im = sio_float_le(b + 4);
    return true;
}

// Mean and population standard deviation of one channel over the noise points
// first .. first+count-1 of the file (points beyond its end are not data and are left out).
void sio_noise(FILE *fp, long first, long count, double *sigma_re, double *sigma_im) {
    *sigma_re = 0.0;
    *sigma_im = 0.0;
    if (count < 2 || first < 0) return;
    double sr = 0.0, si = 0.0;
    long used = 0;
    if (std::fseek(fp, first * 8L, SEEK_SET) != 0) return;
    double re, im;
    while (used < count && sio_read_point(fp, &re, &im)) {
        sr += re;
        si += im;
        ++used;
    }
    if (used < 2) return;
    const double mr = sr / used, mi = si / used;
    double qr = 0.0, qi = 0.0;
    if (std::fseek(fp, first * 8L, SEEK_SET) != 0) return;
    for (long k = 0; k < used && sio_read_point(fp, &re, &im); ++k) {
        qr += (re - mr) * (re - mr);
        qi += (im - mi) * (im - mi);
    }
    *sigma_re = std::sqrt(qr / used);
    *sigma_im = std::sqrt(qi / used);
}

// sage_idl text fields are single words: whitespace becomes '_', an empty text "None".
void sio_put_word(FILE *fp, const char *text) {
    if (!text || !text[0]) {
        std::fputs("None\n", fp);
        return;
    }
    for (const char *c = text; *c; ++c)
        std::fputc((*c == ' ' || *c == '\t' || *c == '\n' || *c == '\r') ? '_' : *c, fp);
    std::fputc('\n', fp);
}

bool sio_get_text(FILE *fp, char *dst)  // dst holds QORVANE_SAGE_TEXT bytes
{
    char buf[1024];
    if (std::fscanf(fp, "%1023s", buf) != 1) return false;
    size_t len = std::strlen(buf);
    if (len >= QORVANE_SAGE_TEXT) len = QORVANE_SAGE_TEXT - 1;  // over-long words are cut to the field
    std::memcpy(dst, buf, len);
    dst[len] = '\0';
    return true;
}

bool sio_get_name(FILE *fp, char *dst)  // dst holds QORVANE_PATH_MAX bytes
{
    return std::fscanf(fp, "%1023s", dst) == 1;
}

bool sio_get_int(FILE *fp, int *v) { return std::fscanf(fp, "%d", v) == 1; }
bool sio_get_float(FILE *fp, float *v) { return std::fscanf(fp, "%f", v) == 1; }

void sio_read_dimension(FILE *fp, QorvaneSageDimension *d) {
    sio_get_int(fp, &d->number) && sio_get_text(fp, d->domain) && sio_get_text(fp, d->orientation) &&
        sio_get_int(fp, &d->npoints) && sio_get_float(fp, &d->width) && sio_get_float(fp, &d->zero_time) &&
        sio_get_float(fp, &d->zero_freq) && sio_get_float(fp, &d->slice_location) &&
        sio_get_float(fp, &d->slice_thickness) && sio_get_float(fp, &d->time_phase_correction) &&
        sio_get_float(fp, &d->freq_phase_correction);
}

void sio_read_sections(FILE *fp, QorvaneSageIdlHeader *h) {
    char tok[1024];
    int ndim = 0;
    while (std::fscanf(fp, "%1023s", tok) == 1) {
        if (std::strcmp(tok, "sagekey_endfile") == 0) break;
        if (std::strcmp(tok, "sagekey_datafiles") == 0) {
            sio_get_name(fp, h->header_name) && sio_get_int(fp, &h->n_data_files) &&
                sio_get_name(fp, h->data_file_name) && sio_get_text(fp, h->file_type) &&
                sio_get_text(fp, h->data_precision) && sio_get_int(fp, &h->data_offset);
        } else if (std::strcmp(tok, "sagekey_patient") == 0) {
            sio_get_text(fp, h->patient_site) && sio_get_text(fp, h->patient_id) && sio_get_text(fp, h->patient_name) &&
                sio_get_text(fp, h->patient_age) && sio_get_text(fp, h->patient_sex) &&
                sio_get_int(fp, &h->study_number) && sio_get_int(fp, &h->series_number) &&
                sio_get_text(fp, h->time_acquired) && sio_get_text(fp, h->date_acquired);
        } else if (std::strcmp(tok, "sagekey_sequence") == 0) {
            sio_get_text(fp, h->sequence_name) && sio_get_float(fp, &h->release) && sio_get_float(fp, &h->tr) &&
                sio_get_float(fp, &h->te) && sio_get_float(fp, &h->ti) && sio_get_float(fp, &h->tm) &&
                sio_get_float(fp, &h->tg) && sio_get_int(fp, &h->r1) && sio_get_int(fp, &h->r2);
        } else if (std::strcmp(tok, "sagekey_display") == 0) {
            sio_get_text(fp, h->display_type[0]) && sio_get_text(fp, h->display_type[1]) &&
                sio_get_text(fp, h->display_type[2]) && sio_get_text(fp, h->display_type[3]) &&
                sio_get_text(fp, h->display_channel);
        } else if (std::strcmp(tok, "sagekey_datainfo") == 0) {
            sio_get_text(fp, h->data_type) && sio_get_float(fp, &h->centre_frequency_mhz) &&
                sio_get_float(fp, &h->ppm_offset);
        } else if (std::strcmp(tok, "sagekey_processing") == 0) {
            sio_get_float(fp, &h->phase0) && sio_get_float(fp, &h->phase1) && sio_get_text(fp, h->lb_type) &&
                sio_get_float(fp, &h->lb1) && sio_get_float(fp, &h->lb2);
        } else if (std::strcmp(tok, "sagekey_userinfo") == 0) {
            int count = 0;
            if (!sio_get_int(fp, &count)) continue;
            h->n_user_fields = count < 0 ? 0 : count;
            // the first fields are kept; any beyond the capacity are read and dropped
            char skip[QORVANE_SAGE_TEXT];
            for (int i = 0; i < h->n_user_fields; ++i) {
                bool ok = (i < QORVANE_SAGE_USER_FIELDS)
                              ? sio_get_text(fp, h->user_name[i]) && sio_get_text(fp, h->user_value[i])
                              : sio_get_text(fp, skip) && sio_get_text(fp, skip);
                if (!ok) break;
            }
            if (h->n_user_fields > QORVANE_SAGE_USER_FIELDS) h->n_user_fields = QORVANE_SAGE_USER_FIELDS;
        } else if (std::strcmp(tok, "sagekey_dimension") == 0) {
            if (ndim < QORVANE_SAGE_DIMS) sio_read_dimension(fp, &h->dim[ndim++]);
        }
    }
}

}  // namespace

long qorvane_read_complex_file(const char *path, int n, double *re, double *im) {
    if (!path || n < 0) return -1;
    FILE *fp = std::fopen(path, "rb");
    if (!fp) return -1;
    long got = 0;
    for (; got < n; ++got)
        if (!sio_read_point(fp, &re[got], &im[got])) break;
    for (long k = got; k < n; ++k) {
        re[k] = 0.0;
        im[k] = 0.0;
    }
    std::fclose(fp);
    return got;
}

int qorvane_write_complex_file(const char *path, int n, const double *re, const double *im) {
    FILE *fp = path ? std::fopen(path, "wb") : nullptr;
    if (!fp) return -1;
    bool ok = true;
    for (int k = 0; k < n && ok; ++k) {
        unsigned char b[8];
        sio_put_float_le(b, static_cast<float>(re[k]));
        sio_put_float_le(b + 4, static_cast<float>(im[k]));
        ok = std::fwrite(b, 1, 8, fp) == 8;
    }
    if (std::fclose(fp) != 0) ok = false;
    return ok ? 0 : -1;
}

int _InputSpectrumToFit(int n, int noistr, int noistp, const char *data_path, const char *data_name) {
    QorvaneFitContext *ctx = g_qorvane_ctx;
    if (!ctx) {
        std::fprintf(stderr, "_InputSpectrumToFit error: no TLS context attached.\n");
        return QORVANE_RC_FATAL;
    }
    if (!sio_is_pow2(n) || n > QORVANE_MAX_POINTS)
        return qorvane_status_fail(&ctx->status, 1, "unsupported number of points %d", n);
    if (ctx->verbos > 0) {
        std::printf("Number of complex data  points             : %d\n", n);
        std::printf("Number of complex noise points             : %lld\n", static_cast<long long>(noistp) - noistr);
    }
    char path[QORVANE_PATH_MAX];
    int len = std::snprintf(path, sizeof path, "%s%s", data_path ? data_path : "", data_name ? data_name : "");
    FILE *fp = (len > 0 && len < static_cast<int>(sizeof path)) ? std::fopen(path, "rb") : nullptr;
    if (!fp) {
        std::printf("ERROR in filename '%s', can't open !\n", path);
        return qorvane_status_fail(&ctx->status, 1, "cannot open spectrum %s", path);
    }
    long got = 0;
    for (; got < n; ++got)
        if (!sio_read_point(fp, &ctx->xre[got], &ctx->xim[got])) break;
    for (long k = got; k < n; ++k) {
        ctx->xre[k] = 0.0;
        ctx->xim[k] = 0.0;
    }
    // a file may carry extra noise points beyond N
    long expected = noistp > n ? noistp : n;
    if (got == n && expected > n) {
        double re, im;
        while (got < expected && sio_read_point(fp, &re, &im)) ++got;
    }
    if (got < expected) {
        std::printf("... error reading data ... exit...\n");
        std::printf("cnt  %d %d \n", static_cast<int>(got), static_cast<int>(expected));
    }
    sio_noise(fp, noistr, static_cast<long>(noistp) - noistr, &ctx->sigma_abs, &ctx->sigma_disp);
    std::fclose(fp);
    if (ctx->verbos > 0) {
        std::printf("standard deviation absorption              : %e\n", ctx->sigma_abs);
        std::printf("standard deviation dispersion              : %e\n", ctx->sigma_disp);
    }
    const size_t bytes = sizeof(double) * static_cast<size_t>(n);
    std::memcpy(ctx->xre_copy, ctx->xre, bytes);
    std::memcpy(ctx->xim_copy, ctx->xim, bytes);
    std::memcpy(ctx->shifted_xre, ctx->xre, bytes);
    std::memcpy(ctx->shifted_xim, ctx->xim, bytes);
    return QORVANE_RC_OK;
}

int read_sageidl_header(const char *path, QorvaneSageIdlHeader *header, QorvaneStatus *status) {
    FILE *fp = (path && header) ? std::fopen(path, "r") : nullptr;
    if (!fp) {
        std::printf("==> .shf file could not be opened\n");
        return QORVANE_RC_OK;
    }
    char tok[1024] = "";
    int count = 0;
    while (count < 15 && std::fscanf(fp, "%1023s", tok) == 1) ++count;
    if (count < 15 || std::strcmp(tok, "0.1") != 0) {
        std::fclose(fp);
        std::puts("\n\n\nunexpected header file: ");
        std::puts("----------------------------- ");
        std::printf("sage headerfile : %s is not of 0.1 format \n", path);
        std::printf("program terminates ... \n");
        return qorvane_status_fail(status, -1, "sage headerfile %s is not of 0.1 format", path);
    }
    std::rewind(fp);
    sio_read_sections(fp, header);
    std::fclose(fp);
    return QORVANE_RC_OK;
}

int write_sageidl_header(const char *path, const QorvaneSageIdlHeader *h) {
    FILE *fp = (path && h) ? std::fopen(path, "w") : nullptr;
    if (!fp) {
        std::printf("cannot write sage header file %s \n", path ? path : "");
        return -1;
    }
    std::fprintf(fp, "# Sage/IDL Data Header\n# ====================\n\n\n");
    std::fprintf(fp, "# Revision Information\n# --------------------\nSage/IDL Header Version 0.1 \n\n");

    std::fprintf(fp,
                 "# Data files\n# ----------\n# header name, number of associated data files, data file name,\n"
                 "# type of file, data precision (Byte, 16_Bit, 32_Bit, Float), offset to the data in bytes\n");
    std::fprintf(fp, "sagekey_datafiles\n\n");
    sio_put_word(fp, path);
    std::fprintf(fp, "%d\n", h->n_data_files);
    sio_put_word(fp, h->data_file_name);
    sio_put_word(fp, h->file_type);
    sio_put_word(fp, h->data_precision);
    std::fprintf(fp, "%d\n\n\n", h->data_offset);

    std::fprintf(fp,
                 "# Patient\n# -------\n# site, ID, name, age, sex, study number, series number,\n"
                 "# time acquired, date acquired\n");
    std::fprintf(fp, "sagekey_patient\n\n");
    sio_put_word(fp, h->patient_site);
    sio_put_word(fp, h->patient_id);
    sio_put_word(fp, h->patient_name);
    sio_put_word(fp, h->patient_age);
    sio_put_word(fp, h->patient_sex);
    std::fprintf(fp, "%d\n%d\n", h->study_number, h->series_number);
    sio_put_word(fp, h->time_acquired);
    sio_put_word(fp, h->date_acquired);
    std::fprintf(fp, "\n\n");

    std::fprintf(fp, "# Sequence\n# --------\n# name, release, TR, TE, TI, TM, TG, R1, R2\n");
    std::fprintf(fp, "sagekey_sequence\n\n");
    sio_put_word(fp, h->sequence_name);
    std::fprintf(fp, "%f\n%f\n%f\n%f\n%f\n%f\n%d\n%d\n\n\n", h->release, h->tr, h->te, h->ti, h->tm, h->tg, h->r1,
                 h->r2);

    std::fprintf(fp,
                 "# Display\n# -------\n# four display types (Spectrum, Image, Grid, Stack, Data, None),\n"
                 "# display channel (Real, Imaginary, Magnitude, Power, Phase)\n");
    std::fprintf(fp, "sagekey_display\n\n");
    for (int i = 0; i < 4; ++i) sio_put_word(fp, h->display_type[i]);
    sio_put_word(fp, h->display_channel);
    std::fprintf(fp, "\n\n");

    std::fprintf(fp,
                 "# Data information\n# ----------------\n# data type (Real or Complex), centre frequency [MHz],\n"
                 "# ppm offset from 0 Hz\n");
    std::fprintf(fp, "sagekey_datainfo\n\n");
    sio_put_word(fp, h->data_type);
    std::fprintf(fp, "%f\n%f\n\n\n", h->centre_frequency_mhz, h->ppm_offset);

    std::fprintf(fp,
                 "# Processing\n# ----------\n# applied zero-order and first-order phase, type of line broadening,\n"
                 "# two line-broadening amounts\n");
    std::fprintf(fp, "sagekey_processing\n\n");
    std::fprintf(fp, "%f\n%f\n", h->phase0, h->phase1);
    sio_put_word(fp, h->lb_type);
    std::fprintf(fp, "%f\n%f\n\n\n", h->lb1, h->lb2);

    std::fprintf(fp,
                 "# User information\n# ----------------\n# number of user fields, then name and value per field\n");
    std::fprintf(fp, "sagekey_userinfo\n\n");
    int nuser = h->n_user_fields < 0 ? 0 : h->n_user_fields;
    if (nuser > QORVANE_SAGE_USER_FIELDS) nuser = QORVANE_SAGE_USER_FIELDS;
    std::fprintf(fp, "%d\n", nuser);
    for (int i = 0; i < nuser; ++i) {
        sio_put_word(fp, h->user_name[i]);
        sio_put_word(fp, h->user_value[i]);
    }
    std::fprintf(fp, "\n\n");

    for (int i = 0; i < QORVANE_SAGE_DIMS; ++i) {
        const QorvaneSageDimension *d = &h->dim[i];
        std::fprintf(fp,
                     "# Dimension\n# ---------\n# dimension number, domain (Time, Space, Frequency, Kspace, None),\n"
                     "# orientation (RL, AP, SI, NA), number of points, width, zero_time, zero_freq,\n"
                     "# slice location, slice thickness, time phase correction, freq phase correction\n");
        std::fprintf(fp, "sagekey_dimension\n\n");
        std::fprintf(fp, "%d\n", d->number);
        sio_put_word(fp, d->domain);
        sio_put_word(fp, d->orientation);
        std::fprintf(fp, "%d\n%f\n%f\n%f\n%f\n%f\n%f\n%f\n\n\n", d->npoints, d->width, d->zero_time, d->zero_freq,
                     d->slice_location, d->slice_thickness, d->time_phase_correction, d->freq_phase_correction);
    }
    std::fprintf(fp, "# End of File Tag\n# ---------------\nsagekey_endfile\n");
    int rc = std::ferror(fp) ? -1 : 0;
    if (std::fclose(fp) != 0) rc = -1;
    return rc;
}
