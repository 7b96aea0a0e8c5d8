// Model spectrum of analytic lines and patterns.
//
// Every line is built as a decaying, rotating time-domain signal, multiplied by
// the optional reference line shape and line-shape function, first point
// halved, leading points zeroed, transformed with the forward FFT, rotated by
// N/2 and phased. A line rotating at f + N/2 points lands on point f.
#include "lineshape.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "lineshape_analytic.h"
#include "qfft.h"
#include "qfile.h"
#include "qparse.h"
#include "qspectrumio.h"

namespace {

const double kPi = 3.14159265358979323846;
const double kGaussHzToInternal = 0.5988023952095809;  // 1 / 1.67
const int kMaxPatternLines = 4096;                     // lines of one parametric pattern
const double kMaxExponent = 745.0;                     // exp(-745) underflows to 0

bool ls_is_pow2(int n) { return n > 0 && (n & (n - 1)) == 0; }

int ls_points(const QorvaneFitContext *ctx) {
    int n = ctx->n_pnts;
    if (!ls_is_pow2(n) || n < 2 || n > QORVANE_MAX_POINTS) return 0;
    return n;
}

double ls_delay_points(const QorvaneFitContext *ctx) { return ctx->phi_1 / 360.0; }

// Steps after the time-domain signal (interleaved in data): reference line
// shape, line-shape function, halved first point, ignored points, FFT,
// rotation by N/2 into out, and the phase exp(i psi).
void ls_finish(QorvaneFitContext *ctx, int line, double *data, double rotation, double phase_deg, double *out_re,
               double *out_im) {
    const int n = ls_points(ctx);
    const double d = ls_delay_points(ctx);
    if (ctx->ref_lineshape_on) {
        for (int k = 0; k < n; ++k) {
            double sr = data[2 * k], si = data[2 * k + 1];
            data[2 * k] = sr * ctx->re_ref[k] - si * ctx->im_ref[k];
            data[2 * k + 1] = sr * ctx->im_ref[k] + si * ctx->re_ref[k];
        }
    }
    if (line >= 1 && line <= QORVANE_MAX_LINES && ctx->lsffit[line] == 1) {
        for (int k = 0; k < n; ++k) {
            double sr = data[2 * k], si = data[2 * k + 1];
            data[2 * k] = sr * ctx->r_lsf[k] - si * ctx->i_lsf[k];
            data[2 * k + 1] = sr * ctx->i_lsf[k] + si * ctx->r_lsf[k];
        }
    }
    data[0] *= 0.5;
    data[1] *= 0.5;
    int ign = ctx->ignore < 0 ? 0 : (ctx->ignore > n ? n : ctx->ignore);
    std::memset(data, 0, sizeof(double) * 2 * static_cast<size_t>(ign));
    four2(data, &ctx->twiddles, n, 1);
    // psi = phase - phi_1/2 + 2 pi (f + N/2) d / N  ==  phase + 2 pi f d / N
    double psi = phase_deg * kPi / 180.0 - ctx->phi_1 * kPi / 360.0 + 2.0 * kPi * (rotation + n / 2) * d / n;
    double c = std::cos(psi), s = std::sin(psi);
    const int half = n / 2;
    for (int i = 0; i < n; ++i) {
        int src = (i + half) & (n - 1);
        double re = data[2 * src], im = data[2 * src + 1];
        out_re[i] = re * c - im * s;
        out_im[i] = re * s + im * c;
    }
}

// Multiplies the interleaved time signal by pattern slot `pattern`'s stored signal.
void ls_times_pattern(const QorvaneFitContext *ctx, int pattern, int n, double *data) {
    const double *pre = ctx->pattern_store[pattern];
    const double *pim = pre + QORVANE_PATTERN_POINTS;
    for (int k = 0; k < n; ++k) {
        double sr = data[2 * k], si = data[2 * k + 1];
        data[2 * k] = sr * pre[k] - si * pim[k];
        data[2 * k + 1] = sr * pim[k] + si * pre[k];
    }
}

// Decaying rotating signal written interleaved into data[0..2n-1].
void ls_time_signal_interleaved(int n, int trunc, double d, double area, double rotation, double gauss, double lorentz,
                                double *data) {
    std::memset(data, 0, sizeof(double) * 2 * static_cast<size_t>(n));
    int kmax = trunc < n ? trunc : n;
    if (kmax <= 0) return;
    const double omega = 2.0 * kPi * rotation / n;
    const double cw = std::cos(omega), sw = std::sin(omega);
    const double pl = kPi * std::fabs(lorentz), pg = kPi * std::fabs(gauss);
    double c = 1.0, s = 0.0;
    for (int k = 0; k < kmax; ++k) {
        if (k == 1) {
            c = cw;
            s = sw;
        } else if (k >= 2) {
            double ct = c * cw - s * sw;
            s = s * cw + c * sw;
            c = ct;
        }
        double t = std::fabs((k + d) / n);
        double g = pg * t;
        double e = pl * t + g * g;
        if (e > kMaxExponent) {
            // the decay only grows from here on (t >= 0): the rest stays zero
            if (k + d >= 0.0) break;
            continue;
        }
        double a = area * std::exp(-e);
        data[2 * k] = a * c;
        data[2 * k + 1] = a * s;
    }
}

int ls_pattern_fail(QorvaneFitContext *ctx, int exit_code, const char *what, const char *path) {
    return qorvane_status_fail(&ctx->status, exit_code, "pattern %s: %s", path, what);
}

// Reads one whitespace-delimited token of at most 255 characters.
bool ls_token(FILE *fp, char *buf) { return std::fscanf(fp, "%255s", buf) == 1; }

int ls_load_bin_pattern(QorvaneFitContext *ctx, int slot, const char *path, int n) {
    double *store = ctx->pattern_store[slot];
    double *re = store, *im = store + QORVANE_PATTERN_POINTS;
    if (ctx->verbos > 0) std::printf("opening : %s \n", path);
    long got = qorvane_read_complex_file(path, n, re, im);
    if (got < 0) {
        std::printf("ERROR in filename '%s', can't open !\n", path);
        return ls_pattern_fail(ctx, 1, "cannot open measured pattern", path);
    }
    if (got < n) {
        std::printf("... error reading data ... exit...\n");
        std::printf("cnt  %d %d \n", static_cast<int>(got), n);
    }
    for (int k = 0; k < n; ++k) {
        if (!std::isfinite(re[k]) || !std::isfinite(im[k])) {
            std::printf("fatal error reading pattern file : %s\npoint %d is not a finite number\n", path, k);
            return ls_pattern_fail(ctx, -1, "non-finite pattern point", path);
        }
    }
    // time-domain signal: conjugate, rotate by N/2, forward FFT, conjugate
    double *data = ctx->fft_work;
    const int half = n / 2;
    for (int i = 0; i < n; ++i) {
        int src = (i + half) & (n - 1);
        data[2 * i] = re[src];
        data[2 * i + 1] = -im[src];
    }
    four2(data, &ctx->twiddles, n, 1);
    for (int k = 0; k < n; ++k) {
        re[k] = data[2 * k];
        im[k] = -data[2 * k + 1];
    }
    return QORVANE_RC_OK;
}

int ls_pat_format_error(QorvaneFitContext *ctx, const char *path, const char *what) {
    return ls_pattern_fail(ctx, -1, what, path);
}

int ls_load_pat_pattern(QorvaneFitContext *ctx, int slot, const char *path, int n) {
    double *store = ctx->pattern_store[slot];
    double *re = store, *im = store + QORVANE_PATTERN_POINTS;
    std::memset(store, 0, sizeof(double) * 2 * QORVANE_PATTERN_POINTS);
    FILE *fp = qorvane_fopen_regular(path, "r");
    if (!fp) {
        std::printf(" I/O-error : pattern file could not be opened : \n ");
        std::printf(" check existence of : %s \n ", path);
        return ls_pattern_fail(ctx, -1, "pattern file could not be opened", path);
    }
    char tok[256];
    int rc = QORVANE_RC_OK;
    int nlines = 0;
    if (!ls_token(fp, tok) || std::strcmp(tok, "start_pattern") != 0) {
        std::printf("fatal error reading pattern file : %s\n", path);
        std::puts("illegal pattern file-format : file starts with : start_pattern ");
        rc = ls_pat_format_error(ctx, path, "file does not start with start_pattern");
    } else if (!ls_token(fp, tok) || std::strcmp(tok, "number_of_lines") != 0) {
        std::printf("fatal error reading pattern file line 6: %s\n", path);
        std::puts("illegal pattern file-format : fifth expected attribute  spectral_resolution ");
        rc = ls_pat_format_error(ctx, path, "number_of_lines expected");
    } else if (!ls_token(fp, tok) || !qorvane_parse_int(tok, 0, kMaxPatternLines, &nlines)) {
        std::printf("fatal error reading pattern file : %s\n", path);
        std::printf("line %d : '%s' is not a valid value for number_of_lines (0 .. %d)\n", qorvane_stream_line(fp), tok,
                    kMaxPatternLines);
        rc = ls_pat_format_error(ctx, path, "number of lines missing or out of range");
    }
    if (rc == QORVANE_RC_OK) {
        bool header = false;
        while (ls_token(fp, tok)) {
            if (std::strcmp(tok, "lorentz_width") == 0) {
                header = true;
                break;
            }
        }
        if (!header) {
            std::puts("illegal file-terminator (end_of_pattern) ");
            rc = ls_pat_format_error(ctx, path, "column header missing");
        }
    }
    const double d = ls_delay_points(ctx);
    double *line = ctx->fft_work;
    for (int l = 0; rc == QORVANE_RC_OK && l < nlines; ++l) {
        char name[256], type[256];
        double v[5];  // area, frequency, gauss_width, zero_phase, lorentz_width
        static const char *const fields[5] = {"area", "frequency", "gauss_width", "zero_phase", "lorentz_width"};
        if (!ls_token(fp, name) || !ls_token(fp, type)) {
            std::puts("illegal file-terminator (end_of_pattern) ");
            rc = ls_pat_format_error(ctx, path, "pattern line incomplete");
            break;
        }
        for (int f = 0; f < 5 && rc == QORVANE_RC_OK; ++f) {
            tok[0] = '\0';
            if (!ls_token(fp, tok) || !qorvane_parse_double(tok, &v[f])) {
                std::printf("fatal error reading pattern file : %s\n", path);
                std::printf("line %d : '%s' is not a valid value for %s of pattern line %d\n", qorvane_stream_line(fp),
                            tok, fields[f], l + 1);
                rc = ls_pat_format_error(ctx, path, "pattern line value not a finite number");
            }
        }
        if (rc != QORVANE_RC_OK) break;
        const double area = v[0], freq = v[1], gw = v[2], ph = v[3], lw = v[4];
        double g, lo;
        if (std::strcmp(type, "voigt") == 0) {
            g = gw * kGaussHzToInternal / ctx->hz_p_p;
            lo = lw / ctx->hz_p_p;
        } else if (std::strcmp(type, "lorentz") == 0) {
            g = 0.0;
            lo = lw / ctx->hz_p_p;
        } else if (std::strcmp(type, "gauss") == 0) {
            g = gw * kGaussHzToInternal / ctx->hz_p_p;
            lo = 0.0;
        } else {
            std::puts("fatal error : illegal lineshape encountered ...");
            rc = ls_pat_format_error(ctx, path, "illegal lineshape");
            break;
        }
        if (ctx->verbos > 0) std::printf("calculating %s line %s %s \n", type, name, path);
        double f = freq / ctx->hz_p_p;
        ls_time_signal_interleaved(n, n, d, area, f + n / 2, g, lo, line);
        // the line's own zero-order and first-order phase travel with the pattern
        double psi = ph * kPi / 180.0 + 2.0 * kPi * f * d / n;
        double c = std::cos(psi), s = std::sin(psi);
        for (int k = 0; k < n; ++k) {
            re[k] += line[2 * k] * c - line[2 * k + 1] * s;
            im[k] += line[2 * k] * s + line[2 * k + 1] * c;
        }
    }
    if (rc == QORVANE_RC_OK && (!ls_token(fp, tok) || std::strcmp(tok, "end_of_pattern") != 0)) {
        std::puts("illegal file-terminator (end_of_pattern) ");
        rc = ls_pat_format_error(ctx, path, "end_of_pattern missing");
    }
    std::fclose(fp);
    return rc;
}

// single_line_with_derivatives by the time signal and one FFT per spectrum.
void ls_fft_with_derivatives(QorvaneFitContext *ctx, int line, int type, int need, const int uses[3], double rotation,
                             double gauss, double lorentz, double f, double ph, double *work, double *unit_re,
                             double *unit_im, double *const d_re[3], double *const d_im[3]) {
    const int n = ls_points(ctx);
    const int pattern = line - ctx->nLines;
    const double d = ls_delay_points(ctx);
    double *s = work;  // unit-area time signal, then the derivative signals after it
    ls_time_signal_interleaved(n, ctx->trunc, d, 1.0, rotation, gauss, lorentz, s);
    if (type == QORVANE_LINE_PATTERN) ls_times_pattern(ctx, pattern, n, s);
    // d/df: the rotation exp(i k 2 pi f / N) gives i 2 pi k / N; d/dG and d/dL act on the decay
    // exp(-(pi |L| t + (pi G t)^2)) with t = |k + d| / N.
    for (int q = 0; q < 3; ++q) {
        if (!(need & (1 << q))) continue;
        double *ds = work + 2 * (q + 1) * static_cast<size_t>(n);
        const bool lorentz_part = (q == 2) || (q == 1 && type == QORVANE_LINE_LORENTZ);
        for (int k = 0; k < n; ++k) {
            const double t = std::fabs((k + d) / n);
            double fr = 0.0, fi = 0.0;  // complex factor of s_k
            if (!uses[q]) {
            } else if (q == 0) {
                fi = 2.0 * kPi * k / n;
            } else if (lorentz_part) {
                fr = -kPi * (lorentz > 0.0 ? 1.0 : (lorentz < 0.0 ? -1.0 : 0.0)) * t;
            } else {
                fr = -2.0 * kPi * kPi * gauss * t * t;
            }
            const double sr = s[2 * k], si = s[2 * k + 1];
            ds[2 * k] = fr * sr - fi * si;
            ds[2 * k + 1] = fr * si + fi * sr;
        }
    }
    for (int q = 0; q < 3; ++q) {
        if (!(need & (1 << q))) continue;
        ls_finish(ctx, line, work + 2 * (q + 1) * static_cast<size_t>(n), f, ph, d_re[q], d_im[q]);
    }
    ls_finish(ctx, line, s, f, ph, unit_re, unit_im);
}

// single_line_with_derivatives by the closed form: a Lorentzian line, or a Voigt line of
// zero Gaussian width (whose Gaussian-width derivative is then zero).
void ls_analytic_with_derivatives(QorvaneFitContext *ctx, int type, int need, double f, double lorentz, double ph,
                                  double *unit_re, double *unit_im, double *const d_re[3], double *const d_im[3]) {
    const int ql = type == QORVANE_LINE_LORENTZ ? 1 : 2;  // the parameter holding the Lorentzian width
    const bool want_f = (need & 1) != 0, want_l = (need & (1 << ql)) != 0;
    ls_analytic_line(ctx, 1.0, f, lorentz, ph, unit_re, unit_im, want_f ? d_re[0] : nullptr, want_f ? d_im[0] : nullptr,
                     want_l ? d_re[ql] : nullptr, want_l ? d_im[ql] : nullptr);
    const size_t bytes = sizeof(double) * static_cast<size_t>(ctx->n_pnts);
    for (int q = 1; q < 3; ++q)
        if (q != ql && (need & (1 << q))) {
            std::memset(d_re[q], 0, bytes);
            std::memset(d_im[q], 0, bytes);
        }
}

}  // namespace

void calculate_ifft_voigt_line(QorvaneFitContext *ctx, int line, double area, double freq, double gauss, double phase,
                               double lorentz, double *out_re, double *out_im) {
    const int n = ls_points(ctx);
    if (n == 0) return;
    if (ls_analytic_applies(ctx, line, gauss, lorentz)) {
        ls_analytic_line(ctx, area, freq, lorentz, phase, out_re, out_im, nullptr, nullptr, nullptr, nullptr);
        return;
    }
    double *data = ctx->fft_work;
    ls_time_signal_interleaved(n, ctx->trunc, ls_delay_points(ctx), area, freq + n / 2, gauss, lorentz, data);
    ls_finish(ctx, line, data, freq, phase, out_re, out_im);
}

void calculate_frequency_domain_pattern(QorvaneFitContext *ctx, int line, int pattern, const double *par,
                                        double *out_re, double *out_im) {
    const int n = ls_points(ctx);
    if (n == 0) return;
    if (pattern < 1 || pattern > ctx->pattrn || pattern > QORVANE_MAX_LINES || n > QORVANE_PATTERN_POINTS) {
        std::memset(out_re, 0, sizeof(double) * static_cast<size_t>(n));
        std::memset(out_im, 0, sizeof(double) * static_cast<size_t>(n));
        return;
    }
    const double area = par[qorvane_par_index(line, QORVANE_PAR_AREA)];
    const double df = par[qorvane_par_index(line, QORVANE_PAR_FREQ)];
    const double dg = par[qorvane_par_index(line, QORVANE_PAR_WIDTH1)];
    const double dphi = par[qorvane_par_index(line, QORVANE_PAR_PHASE)];
    const double dl = par[qorvane_par_index(line, QORVANE_PAR_WIDTH2)];
    double *data = ctx->fft_work;
    // The stored signal already rotates like a line (its spectrum sits at its
    // own points after the N/2 rotation), so the attribute signal rotates by
    // the frequency difference alone.
    ls_time_signal_interleaved(n, ctx->trunc, ls_delay_points(ctx), area, df, dg, dl, data);
    ls_times_pattern(ctx, pattern, n, data);
    ls_finish(ctx, line, data, df, dphi, out_re, out_im);
}

void single_line_to_signal(QorvaneFitContext *ctx, const double *par, double *out_re, double *out_im, int line) {
    const int n = ls_points(ctx);
    if (n == 0) return;
    std::memset(out_re, 0, sizeof(double) * static_cast<size_t>(n));
    std::memset(out_im, 0, sizeof(double) * static_cast<size_t>(n));
    if (line < 1 || line > QORVANE_MAX_LINES || qorvane_par_index(line, QORVANE_PAR_WIDTH2) > QORVANE_MAX_PARAMS)
        return;
    const int ia = qorvane_par_index(line, QORVANE_PAR_AREA);
    const double a = par[ia];
    const double f = par[ia + 1];
    const double g = par[ia + 2];
    const double ph = par[ia + 3];
    const double l = par[ia + 4];
    switch (ctx->fixpar[ia].type) {
        case QORVANE_LINE_PATTERN:
            calculate_frequency_domain_pattern(ctx, line, line - ctx->nLines, par, out_re, out_im);
            break;
        case QORVANE_LINE_VOIGT:
            calculate_ifft_voigt_line(ctx, line, a, f, g, ph, l, out_re, out_im);
            break;
        case QORVANE_LINE_LORENTZ:
            // width1 is a Lorentzian line's width
            calculate_ifft_voigt_line(ctx, line, a, f, 0.0, ph, g, out_re, out_im);
            break;
        case QORVANE_LINE_GAUSS:
            calculate_ifft_voigt_line(ctx, line, a, f, g, ph, 0.0, out_re, out_im);
            break;
        default:
            break;
    }
}

void single_line_with_derivatives(QorvaneFitContext *ctx, const double *par, int line, int need, double *work,
                                  double *unit_re, double *unit_im, double *const d_re[3], double *const d_im[3]) {
    const int n = ls_points(ctx);
    if (n == 0) return;
    const int ia = qorvane_par_index(line, QORVANE_PAR_AREA);
    const int type = ctx->fixpar[ia].type;
    const double f = par[ia + 1], w1 = par[ia + 2], ph = par[ia + 3], w2 = par[ia + 4];
    double gauss = 0.0, lorentz = 0.0, rotation = f + n / 2;
    int uses[3] = {1, 1, 1};  // frequency, width1, width2
    switch (type) {
        case QORVANE_LINE_VOIGT:
            gauss = w1;
            lorentz = w2;
            break;
        case QORVANE_LINE_LORENTZ:
            lorentz = w1;
            uses[2] = 0;
            break;
        case QORVANE_LINE_GAUSS:
            gauss = w1;
            uses[2] = 0;
            break;
        case QORVANE_LINE_PATTERN:
            gauss = w1;
            lorentz = w2;
            rotation = f;
            break;
        default:
            uses[0] = uses[1] = uses[2] = 0;
            break;
    }
    const size_t bytes = sizeof(double) * static_cast<size_t>(n);
    const int pattern = line - ctx->nLines;
    const bool pattern_ok = type == QORVANE_LINE_PATTERN && pattern >= 1 && pattern <= ctx->pattrn &&
                            pattern <= QORVANE_MAX_LINES && n <= QORVANE_PATTERN_POINTS;
    if ((type < QORVANE_LINE_GAUSS || type > QORVANE_LINE_PATTERN) || (type == QORVANE_LINE_PATTERN && !pattern_ok)) {
        std::memset(unit_re, 0, bytes);
        std::memset(unit_im, 0, bytes);
        for (int q = 0; q < 3; ++q)
            if (need & (1 << q)) {
                std::memset(d_re[q], 0, bytes);
                std::memset(d_im[q], 0, bytes);
            }
        return;
    }
    if (type != QORVANE_LINE_PATTERN && ls_analytic_applies(ctx, line, gauss, lorentz))
        ls_analytic_with_derivatives(ctx, type, need, f, lorentz, ph, unit_re, unit_im, d_re, d_im);
    else
        ls_fft_with_derivatives(ctx, line, type, need, uses, rotation, gauss, lorentz, f, ph, work, unit_re, unit_im,
                                d_re, d_im);
    if (need & 1) {
        // the first-order phase 2 pi f d / N moves with the frequency
        const double c = uses[0] ? 2.0 * kPi * ls_delay_points(ctx) / n : 0.0;
        for (int i = 0; i < n; ++i) {
            d_re[0][i] -= c * unit_im[i];
            d_im[0][i] += c * unit_re[i];
        }
    }
}

void par_to_signal(QorvaneFitContext *ctx, const double *par, double *out_re, double *out_im) {
    const int n = ls_points(ctx);
    if (n == 0) return;
    std::memset(out_re, 0, sizeof(double) * static_cast<size_t>(n));
    std::memset(out_im, 0, sizeof(double) * static_cast<size_t>(n));
    int total = ctx->nLines + ctx->pattrn;
    if (total > QORVANE_MAX_LINES) total = QORVANE_MAX_LINES;
    for (int i = 1; i <= total; ++i) {
        single_line_to_signal(ctx, par, ctx->line_re, ctx->line_im, i);
        for (int k = 0; k < n; ++k) {
            out_re[k] += ctx->line_re[k];
            out_im[k] += ctx->line_im[k];
        }
    }
}

int fetch_patterns(QorvaneFitContext *ctx) {
    if (ctx->pattrn <= 0) return QORVANE_RC_OK;
    const int n = ls_points(ctx);
    if (ctx->pattrn > QORVANE_MAX_LINES)
        return qorvane_status_fail(&ctx->status, -1, "more than %d patterns", QORVANE_MAX_LINES);
    if (n == 0 || n > QORVANE_PATTERN_POINTS) {
        std::printf("implementation restriction : patterns need a power of 2 of at most %d points (n_pnts = %d)\n",
                    QORVANE_PATTERN_POINTS, ctx->n_pnts);
        return qorvane_status_fail(&ctx->status, -1, "patterns need at most %d points", QORVANE_PATTERN_POINTS);
    }
    qorvane_twiddle_prepare(&ctx->twiddles, n);
    for (int p = 1; p <= ctx->pattrn; ++p) {
        const char *path = ctx->pattern_path[p];
        int rc;
        if (std::strstr(path, ".bin")) {
            rc = ls_load_bin_pattern(ctx, p, path, n);
        } else if (std::strstr(path, ".pat")) {
            rc = ls_load_pat_pattern(ctx, p, path, n);
        } else {
            std::printf(" fatal error : \n");
            std::printf("file  :  %s \n\nno valid file extension\n", path);
            std::puts("only .bin (binary file) or .pat (ascii file)");
            std::puts("are allowed ");
            rc = ls_pattern_fail(ctx, -1, "no valid file extension", path);
        }
        if (rc != QORVANE_RC_OK) return rc;
        double *re = ctx->pattern_store[p];
        double *im = re + QORVANE_PATTERN_POINTS;
        double norm = std::sqrt(re[0] * re[0] + im[0] * im[0]);
        if (!(norm > 0.0) || !std::isfinite(norm)) {
            std::printf(" fatal error : \npattern %s has a zero first time-domain point and cannot be normalised\n",
                        path);
            return ls_pattern_fail(ctx, -1, "zero first time-domain point", path);
        }
        for (int k = 0; k < n; ++k) {
            re[k] /= norm;
            im[k] /= norm;
        }
        ctx->pattern_norm[p] = norm;
    }
    return QORVANE_RC_OK;
}

int parameter_array_2_line_shape_function(QorvaneFitContext *ctx, double *par) {
    const int n = ls_points(ctx);
    const int m = ctx->lsfcfs;
    if (n == 0 || m <= 0 || ctx->lsf_start + 2 * m > QORVANE_MAX_PARAMS || m > n) return QORVANE_RC_OK;
    double *data = ctx->fft_work;
    std::memset(data, 0, sizeof(double) * 2 * static_cast<size_t>(n));
    for (int j = 0; j < m; ++j) {
        int idx = (-(m / 2) + j) % n;
        if (idx < 0) idx += n;
        data[2 * idx] = par[ctx->lsf_start + 2 * j + 1];
        data[2 * idx + 1] = par[ctx->lsf_start + 2 * j + 2];
    }
    qorvane_twiddle_prepare(&ctx->twiddles, n);
    four2(data, &ctx->twiddles, n, -1);
    double f0 = std::sqrt(data[0] * data[0] + data[1] * data[1]);
    if (!(f0 > 0.0) || !std::isfinite(f0))
        return qorvane_status_fail(&ctx->status, 1, "line-shape function has a zero first point");
    for (int k = 0; k < n; ++k) {
        ctx->r_lsf[k] = data[2 * k] / f0;
        ctx->i_lsf[k] = data[2 * k + 1] / f0;
    }
    const double scale = 1.0 / (n * f0);
    for (int j = 1; j <= 2 * m; ++j) par[ctx->lsf_start + j] *= scale;
    return QORVANE_RC_OK;
}
