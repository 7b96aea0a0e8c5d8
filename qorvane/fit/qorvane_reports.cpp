#include "qorvane_reports.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fitcontrol_new.h"
#include "lineshape.h"
#include "qmemfile.h"
#include "qorvane_fit_scratch.h"
#include "qorvane_minimize.h"
#include "qorvane_transforms.h"
#include "qspectrumio.h"

static int qorvane_nlp(const QorvaneFitContext* ctx) { return ctx->nLines + ctx->pattrn; }

static int qorvane_line_type(const QorvaneFitContext* ctx, int line) {
    return ctx->fixpar[qorvane_par_index(line, QORVANE_PAR_AREA)].type;
}

// Reports a result file that could not be written completely.
static void qorvane_report_write_failure(const char* path, int err) {
    printf("ERROR: result file %s could not be written completely: %s\n", path, strerror(err != 0 ? err : EIO));
}

int write_parameter_matrix(const char* path, const char* name, int nLines, int pattrn, const double* values) {
    char full[2 * QORVANE_PATH_MAX], temp[2 * QORVANE_PATH_MAX + 64];
    snprintf(full, sizeof full, "%s%s", path, name);
    FILE* f = qorvane_output_temp_name(full, temp, sizeof temp) == 0 ? qorvane_output_fopen(temp, "w") : nullptr;
    if (f == nullptr) {
        printf("Could not open output file : %s\n", full);
        return -1;
    }
    for (int i = 1; i <= nLines + pattrn; ++i) {
        int j = qorvane_par_index(i, 1);
        fprintf(f, "%1.8E\t%1.8E\t%1.8E\t%1.8E\t%1.8E\n", values[j], values[j + 1], fabs(values[j + 2]), values[j + 3],
                values[j + 4]);
    }
    if (qorvane_output_close_commit(f, temp, full, 1) != 0) {
        qorvane_report_write_failure(full, errno);
        return -1;
    }
    return 0;
}

// Writes `points` complex values as little-endian float pairs, a block of them per write.
static int qorvane_write_floats(FILE* f, int points, const double* re, const double* im) {
    enum { kBlock = 512 };
    float v[2 * kBlock];
    for (int k0 = 0; k0 < points; k0 += kBlock) {
        const int count = points - k0 < kBlock ? points - k0 : kBlock;
        for (int k = 0; k < count; ++k) {
            v[2 * k] = (float)re[k0 + k];
            v[2 * k + 1] = (float)im[k0 + k];
        }
        if (fwrite(v, sizeof(float), 2 * (size_t)count, f) != 2 * (size_t)count) return -1;
    }
    return 0;
}

int qorvane_write_output_spectrum(QorvaneFitContext* ctx, const char* ext, int points, const double* re,
                                  const double* im) {
    char path[2 * QORVANE_PATH_MAX], temp[2 * QORVANE_PATH_MAX + 64];
    const bool idl = ctx->data_format == QORVANE_FORMAT_SAGE_IDL;
    snprintf(path, sizeof path, "%s%s%s", ctx->out_stem, ext, idl ? ".sdf" : "");
    int failed = 0;
    if (idl) {
        char header[2 * QORVANE_PATH_MAX];
        snprintf(header, sizeof header, "%s%s.shf", ctx->out_stem, ext);
        int rc = qorvane_output_temp_name(header, temp, sizeof temp) == 0 ? write_sageidl_header(temp, &ctx->idl) : -1;
        if (qorvane_output_commit(rc, temp, header) != 0) {
            qorvane_report_write_failure(header, errno);
            failed = 1;
        }
    }
    FILE* f = qorvane_output_temp_name(path, temp, sizeof temp) == 0 ? qorvane_output_fopen(temp, "wb") : nullptr;
    if (f == nullptr) {
        // The named result is missing either way; the fall-back file only keeps the numbers.
        printf("ERROR in filename '%s' (zero length ?), using temp.con\n", path);
        qorvane_report_write_failure(path, errno);
        snprintf(path, sizeof path, "%stemp.con", ctx->data_path);
        f = qorvane_output_temp_name(path, temp, sizeof temp) == 0 ? qorvane_output_fopen(temp, "wb") : nullptr;
        if (f == nullptr) {
            printf("ERROR: can't open output file ... exiting\n");
            return -1;
        }
        failed = 1;
    }
    const int ok = qorvane_write_floats(f, points, re, im) == 0;
    if (qorvane_output_close_commit(f, temp, path, ok) != 0) {
        printf("... error writing data ... exit...\n");
        qorvane_report_write_failure(path, errno);
        return -1;
    }
    return failed ? -1 : 0;
}

// Dead-time corrected area and its bound. The bound is propagated in relative terms: the
// relative bounds of the factors add in quadrature (their correlation is not known here, so
// they are taken as independent), which keeps the result in the area's own unit.
void qorvane_dead_time_area(const QorvaneFitContext* ctx, int line, double* area, double* error) {
    const int j = qorvane_par_index(line, 1);
    const double a = ctx->o_par[j];
    const double ea = fabs(ctx->o_errpar[j]);
    const double w1 = fabs(ctx->o_par[j + 2]);
    const double ew1 = fabs(ctx->o_errpar[j + 2]);
    const double rel_a = a != 0.0 ? ea / fabs(a) : 0.0;
    switch (qorvane_line_type(ctx, line)) {
        case QORVANE_LINE_GAUSS:
        case QORVANE_LINE_LORENTZ: {
            const double rel_w = w1 > 0.0 ? ew1 / w1 : 0.0;
            *area = (qorvane_line_type(ctx, line) == QORVANE_LINE_GAUSS ? sqrt(M_PI) : M_PI) * w1 * a;
            *error = fabs(*area) * sqrt(rel_a * rel_a + rel_w * rel_w);
            break;
        }
        case QORVANE_LINE_VOIGT: {
            // Back-extrapolation over the acquisition delay d = phi__1/360 points (t = d/N):
            // area * exp(x), x = pi L |t| + (pi G t)^2 (internal widths in points), so the
            // relative bound adds dx = sqrt((pi |t| dL)^2 + (2 pi^2 G t^2 dG)^2).
            const double t = (ctx->phi_1 / 360.0) / ctx->n_pnts;
            const double g = fabs(ctx->par_vec[j + 2]), l = fabs(ctx->par_vec[j + 4]);
            const double x = M_PI * l * fabs(t) + (M_PI * g * t) * (M_PI * g * t);
            const double dx_l = M_PI * fabs(t) * fabs(ctx->errpar[j + 4]);
            const double dx_g = 2.0 * M_PI * M_PI * g * t * t * fabs(ctx->errpar[j + 2]);
            *area = a * exp(x > 745.0 ? 745.0 : x);
            *error = fabs(*area) * sqrt(rel_a * rel_a + dx_l * dx_l + dx_g * dx_g);
            break;
        }
        default:
            *area = a;
            *error = ea;
            break;
    }
}

static const char* qorvane_mode_word(int cmplx) {
    switch (cmplx) {
        case 0:
            return "absorption mode fit";
        case 1:
            return "dispersion mode fit";
        case 2:
            return "absorption + dispersion mode fit";
        case 3:
            return "magnitude mode fit";
        case 4:
            return "power mode fit";
        default:
            return "illegal mode fit";
    }
}

int WriteEXCELFitResults(QorvaneFitContext* ctx, const char* path) {
    char temp[2 * QORVANE_PATH_MAX + 64];
    FILE* f = qorvane_output_temp_name(path, temp, sizeof temp) == 0 ? qorvane_output_fopen(temp, "w") : nullptr;
    if (f == nullptr) {
        printf(" error_hs : file not opened\n ");
        return -1;
    }
    fprintf(f, "%s\n", ctx->cmdline);
    fprintf(f, "\n%s\n", qorvane_mode_word(ctx->cmplx));
    // The chi-square values before and after the fit are both those of the scaled problem
    // (data and areas divided by the scale factor), so that they compare.
    const double reals[6] = {ctx->fit_quality_after,  ctx->sigma_abs,  ctx->sigma_disp,
                             ctx->chi2_before_scaled, ctx->chi2_after, ctx->chi2_after_unweighted};
    for (double r : reals) fprintf(f, "%e\t", r);
    fprintf(f, "%d\t%d\t%d\t", ctx->iterations, ctx->wtype, ctx->n_fitted);
    fprintf(f, "%e\n\n", sqrt(reals[5] / (2.0 * ctx->fit_range)) * ctx->scale_factor / ctx->sigma_abs);
    for (int i = 1; i <= qorvane_nlp(ctx); ++i) {
        int t = qorvane_line_type(ctx, i);
        fprintf(f, "%d\t", i);
        fputs(t == 2 ? " Lorentzian\t" : t == 1 ? "  Gaussian\t" : t == 3 ? "     Voigt\t" : "   Pattern\t", f);
        for (int o = 1; o <= 5; ++o) {
            int j = qorvane_par_index(i, o);
            double v = ctx->o_par[j], e = ctx->o_errpar[j];
            if (o == QORVANE_PAR_WIDTH1) {
                v = fabs(v);
                e = fabs(e);
            }
            fprintf(f, "%e\t%e\t%d\t", v, e, ctx->o_fixpar[j].fixed_to);
        }
        double a, ea;
        qorvane_dead_time_area(ctx, i, &a, &ea);
        fprintf(f, "%e\t%e\n", a, ea);
    }
    // Trailing key line (after the per-line rows, so the columns above are unchanged):
    // 1 when every strategy step met its tolerance, 0 and the first step that did not.
    fprintf(f, "converged\t%d\t%d\n", ctx->unconverged_steps == 0 ? 1 : 0, ctx->first_unconverged_step);
    if (qorvane_output_close_commit(f, temp, path, 1) != 0) {
        qorvane_report_write_failure(path, errno);
        return -1;
    }
    return 0;
}

int WriteFitResults(QorvaneFitContext* ctx, const char* path) {
    char temp[2 * QORVANE_PATH_MAX + 64];
    FILE* f = qorvane_output_temp_name(path, temp, sizeof temp) == 0 ? qorvane_output_fopen(temp, "w") : nullptr;
    if (f == nullptr) {
        printf(" error_hs : file not opened\n ");
        return -1;
    }
    const int nl = qorvane_nlp(ctx);
    fprintf(f, "File name            : %s%s\n", ctx->data_path, ctx->data_name);
    fprintf(f, "acquisition date     : %s\n", ctx->idl.date_acquired);
    fprintf(f, "time acquired        : %s\n", ctx->idl.time_acquired);
    // The bound columns keep their names; what they hold is said once here.
    fprintf(f,
            "bounds               : abs. err. = 2 SD (twice the Cramer-Rao standard deviation); "
            "%%SD = 100 * SD / |area|\n\n");
    static const char* const heads[5] = {
        "|#line  |  area        | abs. err.area | ", "|#line  |  frequency     | abs. err.frq.|",
        "|#line  | gausswidth     | abs. err. wid.|", "|#line  |  phase       | abs. err. phase|",
        "|#line  |  l_width     |abs. err.l_width|"};
    static const int order[5] = {QORVANE_PAR_AREA, QORVANE_PAR_WIDTH1, QORVANE_PAR_FREQ, QORVANE_PAR_PHASE,
                                 QORVANE_PAR_WIDTH2};
    static const int head_of[5] = {0, 2, 1, 3, 4};
    for (int t = 0; t < 5; ++t) {
        const int o = order[t];
        fprintf(f, "_________________________________________________\n");
        // The area table ends with one more column, the relative standard deviation.
        const bool area = o == QORVANE_PAR_AREA;
        fprintf(f, "%s%s\n", heads[head_of[t]], area ? "   %SD area  |" : "");
        fprintf(f, "_________________________________________________\n");
        for (int i = 1; i <= nl; ++i) {
            int j = qorvane_par_index(i, o);
            double v = ctx->o_par[j], e = ctx->o_errpar[j];
            if (o == QORVANE_PAR_WIDTH1) v = fabs(v), e = fabs(e);
            if (area)
                fprintf(f, "| %-6d| %7e | %5e | %11e |\n", i, v, e, v != 0.0 ? 100.0 * 0.5 * fabs(e / v) : 0.0);
            else
                fprintf(f, "| %-6d| %7e | %5e |\n", i, v, e);
        }
        fprintf(f, "_________________________________________________\n\n");
    }
    fprintf(f, "|\tline type & number\t\t|     peakarea   \t|   perc. error      |\n");
    for (int i = 1; i <= nl; ++i) {
        int type = qorvane_line_type(ctx, i);
        double a, ea;
        qorvane_dead_time_area(ctx, i, &a, &ea);
        double perc = a != 0.0 ? 100.0 * fabs(ea / a) : 0.0;
        fprintf(f, "%s| peak area %s %3d\t\t%11e\t%7e\n", perc > 10.0 ? "* " : "  ",
                type == 1   ? "Gaussian line  "
                : type == 2 ? "Lorentzian line"
                : type == 3 ? "Voigt      line"
                            : "Pattern    line",
                i, a, perc);
    }
    fprintf(f, "* = error in estimate > 10.0 percent \n\n");
    fprintf(f, "Fitting conditions : \n");
    fprintf(f, "|    para #      |  model type  | fixed to line | initial values|   parameter changes   |\n");
    for (int i = 1; i <= nl; ++i)
        for (int o = 1; o <= 5; ++o) {
            int j = qorvane_par_index(i, o);
            int type = ctx->o_fixpar[j].type;
            const char* tw = type == 1 ? "Gaussian" : type == 2 ? "Lorentzian" : type == 3 ? "Voigt" : "Pattern";
            fprintf(f, "| Parameter # %3d | %-12s | %13d | %13e | %21e |\n", j, tw, ctx->o_fixpar[j].fixed_to,
                    ctx->o_fixpar[j].value, ctx->o_par[j] - ctx->o_fixpar[j].value);
        }
    fprintf(f, "\nFit quality number after fit                    : %e\n", ctx->fit_quality_after);
    fprintf(f, "Chi-square before (weighted) least square fit   : %e\n", ctx->chi2_before_scaled);
    fprintf(f, "Chi-square after  (weighted) least square fit   : %e\n", ctx->chi2_after);
    fprintf(f, "Chi-square after  (UNWEIGHTED) least square fit : %e\n", ctx->chi2_after_unweighted);
    fprintf(f, "standard deviation          : %e\n", ctx->sigma_abs);
    fprintf(f, "Number of iterations        : %d\n", ctx->iterations);
    fprintf(f, "Chi-square weighting type   : %d\n", ctx->wtype);
    fprintf(f, "Number of parameters fitted : %d\n", ctx->n_fitted);
    if (ctx->unconverged_steps == 0)
        fprintf(f, "Converged                   : yes\n");
    else
        fprintf(f, "Converged                   : no (%d step(s) stopped at their iteration limit, first step %d)\n",
                ctx->unconverged_steps, ctx->first_unconverged_step);
    if (qorvane_output_close_commit(f, temp, path, 1) != 0) {
        qorvane_report_write_failure(path, errno);
        return -1;
    }
    return 0;
}

// Copies a file in-process; a missing source is reported, not fatal (returns 0), a copy
// that cannot be written completely returns -1.
static int qorvane_copy_companion(const char* src, const char* dst) {
    FILE* in = fopen(src, "rb");
    if (in == nullptr) {
        printf("companion file not found : %s\n", src);
        return 0;
    }
    char temp[2 * QORVANE_PATH_MAX + 64];
    FILE* out = qorvane_output_temp_name(dst, temp, sizeof temp) == 0 ? qorvane_output_fopen(temp, "wb") : nullptr;
    if (out == nullptr) {
        printf("cannot write companion file : %s\n", dst);
        fclose(in);
        return -1;
    }
    char buf[8192];
    size_t got;
    int ok = 1;
    while (ok && (got = fread(buf, 1, sizeof buf, in)) > 0)
        if (fwrite(buf, 1, got, out) != got) ok = 0;
    if (ferror(in)) ok = 0;
    fclose(in);
    if (qorvane_output_close_commit(out, temp, dst, ok) != 0) {
        qorvane_report_write_failure(dst, errno);
        return -1;
    }
    return 0;
}

// Writes the verbose fit-control file under a private name first and renames it, so that
// fits running at once with the same parameter file never interleave their writes. Its
// place is beside the parameter file, or "<verbose_stem>_verbose.par" when that is set.
static int qorvane_write_verbose_file(QorvaneFitContext* ctx) {
    char final_path[QORVANE_PATH_MAX];
    int w = ctx->verbose_stem[0] != '\0' ? snprintf(final_path, sizeof final_path, "%s.par", ctx->verbose_stem)
                                         : snprintf(final_path, sizeof final_path, "%s", ctx->parameter_file);
    if (w < 0 || w >= (int)sizeof final_path) {
        printf(" error_hs : file not opened\n ");
        return -1;
    }
    size_t l = strlen(final_path);
    if (l <= 4) return write_qorvane_strtval_file(final_path, ctx) == 0 ? 0 : -1;
    char base[QORVANE_PATH_MAX];
    memcpy(base, final_path, l - 4);
    base[l - 4] = '\0';
    // Process id and context address name the temporary uniquely among running fits.
    const unsigned long id = (unsigned long)(uintptr_t)ctx;
    char temp_param[QORVANE_PATH_MAX + 64];
    snprintf(temp_param, sizeof temp_param, "%s.tmp%ld_%lx.par", base, (long)getpid(), id);
    char temp_out[QORVANE_PATH_MAX + 80], dest[QORVANE_PATH_MAX];
    snprintf(temp_out, sizeof temp_out, "%s.tmp%ld_%lx_verbose.par", base, (long)getpid(), id);
    if (snprintf(dest, sizeof dest, "%s_verbose.par", base) >= (int)sizeof dest) {
        printf(" error_hs : file not opened\n ");
        return -1;
    }
    int rc = write_qorvane_strtval_file(temp_param, ctx) == 0 ? 0 : -1;
    if (qorvane_output_commit(rc, temp_out, dest) != 0) {
        qorvane_report_write_failure(dest, errno);
        rc = -1;
    }
    memcpy(ctx->parameter_file, dest, sizeof dest);
    return rc;
}

// Name of the verbose fit-control file the results will include (see below).
static int qorvane_verbose_file_name(const QorvaneFitContext* ctx, char* dest, size_t size) {
    char final_path[QORVANE_PATH_MAX];
    int w = ctx->verbose_stem[0] != '\0' ? snprintf(final_path, sizeof final_path, "%s.par", ctx->verbose_stem)
                                         : snprintf(final_path, sizeof final_path, "%s", ctx->parameter_file);
    if (w < 0 || w >= (int)sizeof final_path) return -1;
    size_t l = strlen(final_path);
    if (l <= 4) return snprintf(dest, size, "%s", final_path) < (int)size ? 0 : -1;
    return snprintf(dest, size, "%.*s_verbose.par", (int)(l - 4), final_path) < (int)size ? 0 : -1;
}

int qorvane_check_outputs_spare_inputs(QorvaneFitContext* ctx) {
    if (ctx->memory_outputs != nullptr) return 0;  // results kept in memory touch no file
    struct Input {
        const char* what;
        char path[3 * QORVANE_PATH_MAX];
        struct stat st;
        bool present;
    };
    static thread_local Input inputs[4 + QORVANE_MAX_LINES];
    int ni = 0;
    auto add_input = [&](const char* what, const char* a, const char* b) {
        Input& in = inputs[ni];
        in.what = what;
        snprintf(in.path, sizeof in.path, "%s%s", a, b);
        in.present = stat(in.path, &in.st) == 0;
        if (in.present) ++ni;
    };
    add_input("parameter file", ctx->parameter_file, "");
    add_input("spectrum", ctx->data_path, ctx->data_name);
    if (ctx->data_format == QORVANE_FORMAT_SAGE_IDL) add_input("header", ctx->data_path, ctx->header_name);
    char ref[QORVANE_PATH_MAX + 8];
    snprintf(ref, sizeof ref, "%s.ref", ctx->data_name);
    if (ctx->fit_mo == 2) add_input("reference line shape", ctx->data_path, ref);
    for (int p = 1; p <= ctx->pattrn && p <= QORVANE_MAX_LINES; ++p) add_input("pattern", ctx->pattern_path[p], "");
    const bool idl = ctx->data_format == QORVANE_FORMAT_SAGE_IDL;
    static const char* const spectra[] = {".org", ".cor", ".fit", ".res", ".fit0", ".nln0"};
    char out[3 * QORVANE_PATH_MAX];
    auto check = [&](const char* path) -> int {
        struct stat st;
        if (stat(path, &st) != 0) return 0;
        for (int i = 0; i < ni; ++i)
            if (st.st_dev == inputs[i].st.st_dev && st.st_ino == inputs[i].st.st_ino) {
                printf("ERROR: result file %s is the %s %s; refusing to write the results over an input\n", path,
                       inputs[i].what, inputs[i].path);
                return qorvane_status_fail(&ctx->status, 1, "result file %s is the %s %s", path, inputs[i].what,
                                           inputs[i].path);
            }
        return 0;
    };
    for (const char* ext : spectra) {
        const char* e = idl && strcmp(ext, ".cor") == 0 ? ".cororg" : ext;
        snprintf(out, sizeof out, "%s%s%s", ctx->out_stem, e, idl ? ".sdf" : "");
        if (check(out) != 0) return -1;
        if (idl) {
            snprintf(out, sizeof out, "%s%s.shf", ctx->out_stem, e);
            if (check(out) != 0) return -1;
        }
    }
    static const char* const texts[] = {".mat", ".err", ".fitres", ".exl", ".compact.par"};
    for (const char* ext : texts) {
        snprintf(out, sizeof out, "%s%s", ctx->out_stem, ext);
        if (check(out) != 0) return -1;
    }
    if (ctx->data_format == QORVANE_FORMAT_SAGE) {
        for (const char* ext : {".org.ddd", ".fit.ddd", ".res.ddd"}) {
            snprintf(out, sizeof out, "%s%s", ctx->out_stem, ext);
            if (check(out) != 0) return -1;
        }
    }
    if (qorvane_verbose_file_name(ctx, out, sizeof out) == 0 && check(out) != 0) return -1;
    return 0;
}

// ".nln0": every line separately, one spectrum after the other (model parameters in
// `model`); returns the number of files that could not be written completely.
static int qorvane_write_lines_file(QorvaneFitContext* ctx, const double* model) {
    const int n = ctx->n_pnts;
    const int nl = qorvane_nlp(ctx);
    int failed = 0;
    char path[3 * QORVANE_PATH_MAX];
    const bool idl = ctx->data_format == QORVANE_FORMAT_SAGE_IDL;
    snprintf(path, sizeof path, "%s.nln0%s", ctx->out_stem, idl ? ".sdf" : "");
    char temp[3 * QORVANE_PATH_MAX + 64];
    if (idl) {
        char header[2 * QORVANE_PATH_MAX];
        snprintf(header, sizeof header, "%s.nln0.shf", ctx->out_stem);
        int rc = qorvane_output_temp_name(header, temp, sizeof temp) == 0 ? write_sageidl_header(temp, &ctx->idl) : -1;
        if (qorvane_output_commit(rc, temp, header) != 0) {
            qorvane_report_write_failure(header, errno);
            ++failed;
        }
    }
    FILE* f = qorvane_output_temp_name(path, temp, sizeof temp) == 0 ? qorvane_output_fopen(temp, "wb") : nullptr;
    if (f == nullptr) {
        printf("ERROR in filename '%s' (zero length ?), using temp.con\n", path);
        qorvane_report_write_failure(path, errno);
        ++failed;
    } else {
        bool ok = true;
        for (int i = 1; i <= nl && ok; ++i) {
            single_line_to_signal(ctx, model, ctx->vec_re, ctx->vec_im, i);
            ok = qorvane_write_floats(f, n, ctx->vec_re, ctx->vec_im) == 0;
        }
        if (qorvane_output_close_commit(f, temp, path, ok) != 0) {
            printf("... error writing data ... exit...\n");
            qorvane_report_write_failure(path, errno);
            ++failed;
        }
    }
    return failed;
}

void qorvane_write_results(QorvaneFitContext* ctx) {
    const int n = ctx->n_pnts;
    const int nl = qorvane_nlp(ctx);
    char path[3 * QORVANE_PATH_MAX];
    const char* stem = ctx->input_name;

    // Every result is attempted; any that could not be written completely fails the fit.
    int failed = 0;
    char name[QORVANE_PATH_MAX + 8];
    snprintf(name, sizeof name, "%s.mat", stem);
    failed += write_parameter_matrix(ctx->data_path, name, ctx->nLines, ctx->pattrn, ctx->o_par) != 0;
    snprintf(name, sizeof name, "%s.err", stem);
    failed += write_parameter_matrix(ctx->data_path, name, ctx->nLines, ctx->pattrn, ctx->o_errpar) != 0;

    for (int i = 1; i <= nl; ++i) {
        double a, ea;
        qorvane_dead_time_area(ctx, i, &a, &ea);
        int j = qorvane_par_index(i, 1);
        int type = qorvane_line_type(ctx, i);
        bool bad = (type == 1 || type == 2) ? !(fabs(ctx->o_par[j + 2]) > 0.0)
                   : type == 3              ? !(fabs(ctx->par_vec[j + 2]) > 0.0 || fabs(ctx->par_vec[j + 4]) > 0.0)
                                            : false;
        if (ctx->verbos > 0) {
            if (bad) printf(">>> Caution !!! Decay constant <= 0.0 !! =>Wrong correction  for this line !!! \n");
            printf("Dead_time corrected area[%d] = %E\n", i, a);
        }
    }
    if (ctx->verbos > 0) {
        printf("\nWeighted chi-square after minimization     : %1.16e\n", ctx->chi2_after);
        printf("Non weighted chi-square after minimization : %1.16e\n", ctx->chi2_after_unweighted);
        printf("Fit quality number after fit               : %f\n", ctx->fit_quality_after);
    }

    // Spectra: the data (untruncated), the model over the whole time range.
    double* org_re = ctx->w_bre;
    double* org_im = ctx->w_bim;
    memcpy(org_re, ctx->xre_copy, sizeof(double) * n);
    memcpy(org_im, ctx->xim_copy, sizeof(double) * n);
    if (ctx->ignore > 0) {
        qorvane_spectrum_to_time(ctx, n, org_re, org_im);
        for (int k = 0; k < ctx->ignore && k < n; ++k) org_re[k] = org_im[k] = 0.0;
        qorvane_time_to_spectrum(ctx, n, org_re, org_im);
    }
    ctx->trunc = n;
    qorvane_apply_prior_knowledge(ctx, ctx->par_vec);
    // The stored patterns are normalised: the model of a reported pattern factor A is
    // A times the pattern's norm times the stored signal.
    double* model = ctx->xt;
    memcpy(model, ctx->par_vec, sizeof ctx->xt);
    for (int i = ctx->nLines + 1; i <= nl; ++i) {
        const double norm = ctx->pattern_norm[i - ctx->nLines];
        if (norm > 0.0 && std::isfinite(norm)) model[qorvane_par_index(i, QORVANE_PAR_AREA)] *= norm;
    }
    par_to_signal(ctx, model, ctx->yre, ctx->yim);
    failed += qorvane_write_output_spectrum(ctx, ".org", n, org_re, org_im) != 0;
    failed += qorvane_write_output_spectrum(ctx, ctx->data_format == QORVANE_FORMAT_SAGE_IDL ? ".cororg" : ".cor", n,
                                            ctx->shifted_xre, ctx->shifted_xim) != 0;
    failed += qorvane_write_output_spectrum(ctx, ".fit", n, ctx->yre, ctx->yim) != 0;
    for (int k = 0; k < n; ++k) {
        ctx->vec_re[k] = org_re[k] - ctx->yre[k];
        ctx->vec_im[k] = org_im[k] - ctx->yim[k];
    }
    failed += qorvane_write_output_spectrum(ctx, ".res", n, ctx->vec_re, ctx->vec_im) != 0;
    const int ignore = ctx->ignore;
    ctx->ignore = 0;
    par_to_signal(ctx, model, ctx->vec_re, ctx->vec_im);
    failed += qorvane_write_output_spectrum(ctx, ".fit0", n, ctx->vec_re, ctx->vec_im) != 0;
    failed += qorvane_write_lines_file(ctx, model);
    ctx->ignore = ignore;

    failed += qorvane_write_verbose_file(ctx) != 0;
    snprintf(path, sizeof path, "%s%s.compact.par", ctx->data_path, stem);
    {
        char temp[3 * QORVANE_PATH_MAX + 64];
        int rc = qorvane_output_temp_name(path, temp, sizeof temp) == 0 ? write_f_cntl(temp, ctx, "", "", "") : -1;
        if (qorvane_output_commit(rc, temp, path) != 0) {
            qorvane_report_write_failure(path, errno);
            ++failed;
        }
    }
    snprintf(path, sizeof path, "%s.fitres", ctx->out_stem);
    failed += WriteFitResults(ctx, path) != 0;
    snprintf(path, sizeof path, "%s.exl", ctx->out_stem);
    failed += WriteEXCELFitResults(ctx, path) != 0;

    if (ctx->data_format == QORVANE_FORMAT_SAGE) {
        char src[2 * QORVANE_PATH_MAX];
        snprintf(src, sizeof src, "%s.ddd", ctx->out_stem);
        static const char* const exts[3] = {".org.ddd", ".fit.ddd", ".res.ddd"};
        for (const char* ext : exts) {
            snprintf(path, sizeof path, "%s%s", ctx->out_stem, ext);
            failed += qorvane_copy_companion(src, path) != 0;
        }
    }
    if (failed > 0) {
        printf("ERROR: %d result file(s) of %s could not be written completely\n", failed, ctx->out_stem);
        qorvane_status_fail(&ctx->status, 5, "%d result file(s) of %s could not be written completely", failed,
                            ctx->out_stem);
    }
}
