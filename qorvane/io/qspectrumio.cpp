// Binary spectrum files and the sage_idl ".shf" header.
#include "qspectrumio.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qfile.h"
#include "qmemfile.h"
#include "qparse.h"

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

// Field reader of one header: the first bad or missing field is reported (file, line,
// field) and refuses the header; later reads do nothing.
struct SioIn {
    FILE *fp;
    const char *path;
    bool ok;

    bool token(char *buf, const char *what) {  // buf holds 1024 bytes
        if (!ok) return false;
        if (std::fscanf(fp, "%1023s", buf) != 1) {
            std::printf("sage headerfile : %s : the header ends before %s \n", path, what);
            return ok = false;
        }
        // a section key inside a section: a count or field is missing
        if (std::strncmp(buf, "sagekey_", 8) == 0) return bad(buf, what);
        return true;
    }
    bool bad(const char *tok, const char *what) {
        std::printf("sage headerfile : %s line %d : '%s' is not a valid value for %s \n", path, qorvane_stream_line(fp),
                    tok, what);
        return ok = false;
    }
    // sage_idl text fields are single words; over-long words are cut to the field
    void text(char *dst, const char *what) {  // dst holds QORVANE_SAGE_TEXT bytes
        char buf[1024];
        if (!token(buf, what)) return;
        size_t len = std::strlen(buf);
        if (len >= QORVANE_SAGE_TEXT) len = QORVANE_SAGE_TEXT - 1;
        std::memcpy(dst, buf, len);
        dst[len] = '\0';
    }
    void name(char *dst, const char *what) {  // dst holds QORVANE_PATH_MAX bytes
        char buf[1024];
        if (token(buf, what)) std::memcpy(dst, buf, std::strlen(buf) + 1);
    }
    void integer(int *v, const char *what, long lo = INT_MIN, long hi = INT_MAX) {
        char buf[1024];
        if (token(buf, what) && !qorvane_parse_int(buf, lo, hi, v)) bad(buf, what);
    }
    void real(float *v, const char *what) {
        char buf[1024];
        double d;
        if (!token(buf, what)) return;
        if (qorvane_parse_float(buf, &d))
            *v = static_cast<float>(d);
        else
            bad(buf, what);
    }
};

void sio_read_dimension(SioIn &in, QorvaneSageDimension *d) {
    in.integer(&d->number, "the dimension number");
    in.text(d->domain, "the dimension domain");
    in.text(d->orientation, "the dimension orientation");
    in.integer(&d->npoints, "the number of points");
    in.real(&d->width, "width");
    in.real(&d->zero_time, "zero_time");
    in.real(&d->zero_freq, "zero_freq");
    in.real(&d->slice_location, "slice location");
    in.real(&d->slice_thickness, "slice thickness");
    in.real(&d->time_phase_correction, "time phase correction");
    in.real(&d->freq_phase_correction, "freq phase correction");
}

// Reads the sections after the version check; false when a field is bad or missing.
bool sio_read_sections(FILE *fp, const char *path, QorvaneSageIdlHeader *h) {
    SioIn in{fp, path, true};
    char tok[1024];
    int ndim = 0;
    while (in.ok && std::fscanf(fp, "%1023s", tok) == 1) {
        if (std::strcmp(tok, "sagekey_endfile") == 0) break;
        if (std::strcmp(tok, "sagekey_datafiles") == 0) {
            in.name(h->header_name, "the header name");
            in.integer(&h->n_data_files, "the number of data files");
            in.name(h->data_file_name, "the data file name");
            in.text(h->file_type, "the file type");
            in.text(h->data_precision, "the data precision");
            in.integer(&h->data_offset, "the data offset");
        } else if (std::strcmp(tok, "sagekey_patient") == 0) {
            in.text(h->patient_site, "the patient site");
            in.text(h->patient_id, "the patient ID");
            in.text(h->patient_name, "the patient name");
            in.text(h->patient_age, "the patient age");
            in.text(h->patient_sex, "the patient sex");
            in.integer(&h->study_number, "the study number");
            in.integer(&h->series_number, "the series number");
            in.text(h->time_acquired, "the time acquired");
            in.text(h->date_acquired, "the date acquired");
        } else if (std::strcmp(tok, "sagekey_sequence") == 0) {
            in.text(h->sequence_name, "the sequence name");
            in.real(&h->release, "release");
            in.real(&h->tr, "TR");
            in.real(&h->te, "TE");
            in.real(&h->ti, "TI");
            in.real(&h->tm, "TM");
            in.real(&h->tg, "TG");
            in.integer(&h->r1, "R1");
            in.integer(&h->r2, "R2");
        } else if (std::strcmp(tok, "sagekey_display") == 0) {
            for (int i = 0; i < 4; ++i) in.text(h->display_type[i], "a display type");
            in.text(h->display_channel, "the display channel");
        } else if (std::strcmp(tok, "sagekey_datainfo") == 0) {
            in.text(h->data_type, "the data type");
            in.real(&h->centre_frequency_mhz, "the centre frequency");
            in.real(&h->ppm_offset, "the ppm offset");
        } else if (std::strcmp(tok, "sagekey_processing") == 0) {
            in.real(&h->phase0, "the zero-order phase");
            in.real(&h->phase1, "the first-order phase");
            in.text(h->lb_type, "the line-broadening type");
            in.real(&h->lb1, "the first line-broadening amount");
            in.real(&h->lb2, "the second line-broadening amount");
        } else if (std::strcmp(tok, "sagekey_userinfo") == 0) {
            // the first fields are kept; the rest (up to the bound) are read and dropped
            int count = 0;
            in.integer(&count, "the number of user fields", 0, QORVANE_SAGE_MAX_USER_COUNT);
            char skip[QORVANE_SAGE_TEXT];
            for (int i = 0; in.ok && i < count; ++i) {
                const bool keep = i < QORVANE_SAGE_USER_FIELDS;
                in.text(keep ? h->user_name[i] : skip, "a user field name");
                in.text(keep ? h->user_value[i] : skip, "a user field value");
            }
            h->n_user_fields = count > QORVANE_SAGE_USER_FIELDS ? QORVANE_SAGE_USER_FIELDS : count;
        } else if (std::strcmp(tok, "sagekey_dimension") == 0) {
            if (ndim < QORVANE_SAGE_DIMS) sio_read_dimension(in, &h->dim[ndim++]);
        }
    }
    return in.ok;
}

}  // namespace

long qorvane_read_complex_file(const char *path, int n, double *re, double *im) {
    if (!path || n < 0) return -1;
    FILE *fp = qorvane_fopen_regular(path, "rb");
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
    FILE *fp = nullptr;
    if (len > 0 && len < static_cast<int>(sizeof path)) {
        // A spectrum handed in memory is read through the same stream code as a file.
        if (ctx->memory_spectrum != nullptr && ctx->memory_spectrum_bytes > 0)
            fp = fmemopen(const_cast<unsigned char *>(ctx->memory_spectrum), ctx->memory_spectrum_bytes, "rb");
        else
            fp = qorvane_fopen_regular(path, "rb");
    }
    if (!fp) {
        std::printf("ERROR in filename '%s', can't open !\n", path);
        return qorvane_status_fail(&ctx->status, 1, "cannot open spectrum %s", path);
    }
    // The file must hold exactly the points the fit-control file announces: N, or noistp
    // when the noise interval reaches beyond the spectrum. Anything else is another spectrum
    // (or a truncated one), not something to pad or cut.
    const long expected = noistp > n ? noistp : n;
    long long size = -1;
    if (ctx->memory_spectrum != nullptr && ctx->memory_spectrum_bytes > 0) {
        size = static_cast<long long>(ctx->memory_spectrum_bytes);
    } else {
        struct stat st;
        if (fstat(fileno(fp), &st) == 0) size = static_cast<long long>(st.st_size);
    }
    if (size != 8LL * expected) {
        std::printf("... error reading data ... exit...\n");
        std::printf("cnt  %d %d \n", size >= 0 ? static_cast<int>(size / 8) : -1, static_cast<int>(expected));
        std::printf("spectrum %s holds %lld bytes; n_pnts %d and noistp %d need %lld bytes (%ld complex points)\n",
                    path, size, n, noistp, 8LL * expected, expected);
        std::fclose(fp);
        return qorvane_status_fail(&ctx->status, 1, "spectrum %s holds %lld bytes, n_pnts %d and noistp %d need %lld",
                                   path, size, n, noistp, 8LL * expected);
    }
    long got = 0;
    for (; got < n; ++got)
        if (!sio_read_point(fp, &ctx->xre[got], &ctx->xim[got])) break;
    for (long k = got; k < n; ++k) {
        ctx->xre[k] = 0.0;
        ctx->xim[k] = 0.0;
    }
    // a file may carry extra noise points beyond N
    if (got == n && expected > n) {
        double re, im;
        while (got < expected && sio_read_point(fp, &re, &im)) ++got;
    }
    if (got < expected) {
        std::printf("... error reading data ... exit...\n");
        std::printf("cnt  %d %d \n", static_cast<int>(got), static_cast<int>(expected));
    }
    // a short file is fitted as read; one without a single point has nothing to fit
    if (got == 0) {
        std::fclose(fp);
        return qorvane_status_fail(&ctx->status, 1, "spectrum %s holds no data point", path);
    }
    for (long k = 0; k < n; ++k) {
        if (!std::isfinite(ctx->xre[k]) || !std::isfinite(ctx->xim[k])) {
            std::printf("spectrum %s : point %ld is not a finite number\n", path, k);
            std::fclose(fp);
            return qorvane_status_fail(&ctx->status, 1, "spectrum %s holds a non-finite point %ld", path, k);
        }
    }
    sio_noise(fp, noistr, static_cast<long>(noistp) - noistr, &ctx->sigma_abs, &ctx->sigma_disp);
    std::fclose(fp);
    if (!std::isfinite(ctx->sigma_abs) || !std::isfinite(ctx->sigma_disp)) {  // noise points beyond N
        std::printf("spectrum %s : the noise points are not all finite numbers\n", path);
        return qorvane_status_fail(&ctx->status, 1, "spectrum %s holds non-finite noise points", path);
    }
    if (ctx->verbos > 0) {
        std::printf("standard deviation absorption              : %e\n", ctx->sigma_abs);
        std::printf("standard deviation dispersion              : %e\n", ctx->sigma_disp);
    }
    // Bounds scale with the noise level: without one they would all be 0 and the fit quality
    // infinite, so a request for bounds needs a noise interval of at least 2 varying points.
    if (ctx->clcerr == 1 && (static_cast<long>(noistp) - noistr < 2 || !(ctx->sigma_abs > 0.0))) {
        const bool empty = static_cast<long>(noistp) - noistr < 2;
        std::printf("fit_check_message -> fatal error :\n");
        std::printf(
            "Cramer-Rao bounds (clcerr 1) need the noise level, but the noise interval "
            "noistr %d .. noistp %d %s\n",
            noistr, noistp, empty ? "holds fewer than 2 points" : "has zero variance (absorption channel)");
        std::printf(">> choose noistr and noistp around a signal-free region, or set clcerr 0\n");
        // An interval too short is the fit-control file's fault (the same for every spectrum it
        // serves); a flat noise region is this spectrum's.
        return qorvane_status_fail(&ctx->status, empty ? QORVANE_EXIT_FIT_CONTROL : 1,
                                   "noise interval noistr %d .. noistp %d %s; bounds (clcerr 1) need a noise level",
                                   noistr, noistp, empty ? "holds fewer than 2 points" : "has zero variance");
    }
    const size_t bytes = sizeof(double) * static_cast<size_t>(n);
    std::memcpy(ctx->xre_copy, ctx->xre, bytes);
    std::memcpy(ctx->xim_copy, ctx->xim, bytes);
    std::memcpy(ctx->shifted_xre, ctx->xre, bytes);
    std::memcpy(ctx->shifted_xim, ctx->xim, bytes);
    return QORVANE_RC_OK;
}

int read_sageidl_header(const char *path, QorvaneSageIdlHeader *header, QorvaneStatus *status) {
    FILE *fp = (path && header) ? qorvane_fopen_regular(path, "r") : nullptr;
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
    const bool ok = sio_read_sections(fp, path, header);
    std::fclose(fp);
    if (!ok) {
        std::printf("program terminates ... \n");
        return qorvane_status_fail(status, -1, "sage headerfile %s holds a bad or missing value", path);
    }
    return QORVANE_RC_OK;
}

int write_sageidl_header(const char *path, const QorvaneSageIdlHeader *h) {
    FILE *fp = (path && h) ? qorvane_output_fopen(path, "w") : nullptr;
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
