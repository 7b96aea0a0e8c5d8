// Fit-control files: conversion to file units and the writers of both forms.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "fitcontrol_new.h"
#include "fitcontrol_new_common.h"
#include "qmemfile.h"

using namespace qorvane_fc;

void natural_frequency(QorvaneFitContext *ctx) {
    const int npar = ctx->npar < QORVANE_MAX_PARAMS ? ctx->npar : QORVANE_MAX_PARAMS;
    std::memset(ctx->o_par, 0, sizeof ctx->o_par);
    std::memset(ctx->o_errpar, 0, sizeof ctx->o_errpar);
    std::memset(ctx->o_fixpar, 0, sizeof ctx->o_fixpar);
    for (int p = 1; p <= npar; ++p) {
        ctx->o_par[p] = ctx->par_vec[p];
        ctx->o_errpar[p] = ctx->errpar[p];
        ctx->o_fixpar[p] = ctx->fixpar[p];
    }
    const int lines = fc_written_lines(ctx);
    for (int i = 1; i <= lines; ++i) {
        for (int j = QORVANE_PAR_FREQ; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            const double f = fc_to_file_factor(j, ctx->fixpar[idx].type, ctx->hz_p_p);
            ctx->o_par[idx] *= f;
            ctx->o_errpar[idx] *= f;
            ctx->o_fixpar[idx].value *= f;
            ctx->o_fixpar[idx].min *= f;
            ctx->o_fixpar[idx].max *= f;
        }
    }
}

namespace {

// File-unit value of parameter idx as written (width1 as magnitude).
double fc_out_value(const QorvaneFitContext *ctx, int j, int idx) {
    double v = ctx->o_par[idx];
    return j == QORVANE_PAR_WIDTH1 ? std::fabs(v) : v;
}

// Range written for a record: the stored one with ranges = 1 (a width1 range
// as magnitudes when abs_width1 is set and the value is non-zero), otherwise a
// default around the value (area_rel is the relative area half-width).
void fc_out_range(const QorvaneFitContext *ctx, int j, int idx, double area_rel, bool abs_width1, double *lo,
                  double *hi) {
    const double v = fc_out_value(ctx, j, idx);
    if (ctx->par_ranges == 1) {
        *lo = ctx->o_fixpar[idx].min;
        *hi = ctx->o_fixpar[idx].max;
        if (abs_width1 && j == QORVANE_PAR_WIDTH1 && v != 0.0) {
            *lo = std::fabs(*lo);
            *hi = std::fabs(*hi);
        }
        return;
    }
    double h;
    switch (j) {
        case QORVANE_PAR_AREA:
            h = area_rel * std::fabs(v) + 1E-8;
            break;
        case QORVANE_PAR_FREQ:
            h = 0.01 * std::fabs(v) + 1E-8;
            break;
        case QORVANE_PAR_PHASE:
            h = 20.0;
            break;
        default:
            h = 0.1 * std::fabs(v) + 1E-8;
            break;
    }
    *lo = v - h;
    *hi = v + h;
}

// Trailer of both written forms: a rule and the time the file was written.
void fc_write_created_at(FILE *fp) {
    char now[128];
    fc_format_now(now, sizeof now);
    std::fprintf(fp, "\n\n-----------------------------------------------------------\n");
    std::fprintf(fp, "File created at :  %s \n", now);
}

int fc_close_written(FILE *fp, int line) {
    int rc = 0;
    if (std::ferror(fp)) {
        fc_record(line, "fprintf", QORVANE_FCNTL_WRITE_ERROR, errno);
        rc = -1;
    }
    if (std::fclose(fp) != 0) {
        fc_record(line, "fclose", QORVANE_FCNTL_CLOSE_FAILURE, errno);
        rc = -1;
    }
    return rc;
}

}  // namespace

int write_f_cntl(const char *path, QorvaneFitContext *ctx, const char *user, const char *host, const char *domain) {
    FILE *fp = (path && ctx) ? qorvane_output_fopen(path, "w") : nullptr;
    if (!fp) {
        fc_record(__LINE__, "fopen", path ? QORVANE_FCNTL_OPEN_FAILURE : QORVANE_FCNTL_INVALID_ARGUMENT,
                  path ? errno : 0);
        std::printf(" error_hs : file not opened\n ");
        return -1;
    }
    natural_frequency(ctx);
    const int total = fc_written_lines(ctx);
    std::fprintf(fp, "version_3\n");
    std::fprintf(fp, "n_pnts %3d\n", ctx->n_pnts);
    std::fprintf(fp, "noistr %3d\n", ctx->noistr);
    std::fprintf(fp, "noistp %3d\n", ctx->noistp);
    std::fprintf(fp, "nLines %3d\n", ctx->nLines);
    std::fprintf(fp, "lsfcfs %3d\n", ctx->lsfcfs);
    std::fprintf(fp, "phi__1 %1.10E\n", ctx->phi_1);
    std::fprintf(fp, "Hz_p_p %1.10E\n", ctx->hz_p_p);
    std::fprintf(fp, "f__tol %1.10E\n", ctx->f_tol);
    std::fprintf(fp, "fit_mo %3d\n", ctx->fit_mo);
    std::fprintf(fp, "verbos %3d\n", ctx->verbos);
    std::fprintf(fp, "showli %3d\n", ctx->showli);
    std::fprintf(fp, "clcerr %3d\n", ctx->clcerr);
    std::fprintf(fp, "sg_idl %s\n", ctx->sg_idl);
    std::fprintf(fp, "ranges %3d\n", ctx->par_ranges);
    std::fprintf(fp, "ignore %3d\n", ctx->ignore);
    std::fprintf(fp, "pattrn %3d\n", ctx->pattrn);
    for (int p = 1; p <= ctx->pattrn && p <= QORVANE_MAX_LINES; ++p) std::fprintf(fp, "%s\n", ctx->pattern_path[p]);
    std::fprintf(fp, "   algor trunc  ampli  frequ  width  phase  ");
    std::fprintf(fp, "voigt  lsfft  wtype  convo  niter  cmplx   n_int   min   max\n");
    for (int s = 1; s <= ctx->nsteps && s <= QORVANE_MAX_STEPS; ++s) {
        const QorvaneStrategyStep *st = &ctx->step[s];
        const int v[13] = {st->algor, st->trunc, st->ampli, st->frequ, st->gauss, st->phase, st->loren,
                           st->lsfft, st->wtype, st->convo, st->niter, st->cmplx, st->n_int};
        std::fprintf(fp, "@ ");
        for (int i = 0; i < 13; ++i) std::fprintf(fp, "%4d   ", v[i]);
        for (int k = 1; k <= st->n_int && k <= QORVANE_MAX_INTERVALS; ++k)
            std::fprintf(fp, "%4d   %4d   ", st->min[k], st->max[k]);
        std::fprintf(fp, "\n");
    }
    std::fprintf(fp, "number       area          frequency      gausswidth        phase        lorentzwidth \n");
    for (int i = 1; i <= total; ++i) {
        std::fprintf(fp, "%d\t", i);
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j)
            std::fprintf(fp, "%1.8E\t", fc_out_value(ctx, j, qorvane_par_index(i, j)));
        std::fprintf(fp, "\n");
    }
    for (int i = 1; i <= total; ++i) {
        std::fprintf(fp, "#%d\n", i);
        std::fprintf(fp, "lsffit %d\n", ctx->lsffit[i]);
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            std::fprintf(fp, "%d\t%d\t%1.8E\t", ctx->o_fixpar[idx].type, ctx->o_fixpar[idx].fixed_to,
                         fc_out_value(ctx, j, idx));
            // without ranges (ranges = 2) none are written, so the file reads back
            if (ctx->par_ranges != 2) {
                double lo, hi;
                fc_out_range(ctx, j, idx, 0.5, true, &lo, &hi);
                std::fprintf(fp, "%1.8E\t%1.8E\t", lo, hi);
            }
            std::fprintf(fp, "\n");
        }
    }
    std::fprintf(fp, "lsf_coefs\n");
    for (int j = 1; j <= 2 * ctx->lsfcfs && ctx->lsf_start + j <= QORVANE_MAX_PARAMS; ++j)
        std::fprintf(fp, "%1.8E\n", ctx->o_par[ctx->lsf_start + j]);
    std::fprintf(fp, "end_of_lsf\n");
    fc_write_created_at(fp);
    std::fprintf(fp, "User            :  %s \n", user ? user : "");
    std::fprintf(fp, "Host            :  %s \n", host ? host : "");
    std::fprintf(fp, "Domain          :  %s \n", domain ? domain : "");
    std::fprintf(fp, "-----------------------------------------------------------\n");
    return fc_close_written(fp, __LINE__);
}

int write_qorvane_strtval_file(const char *parameter_path, QorvaneFitContext *ctx) {
    if (!parameter_path || !ctx) {
        fc_record(__LINE__, "fopen", QORVANE_FCNTL_INVALID_ARGUMENT, 0);
        return -1;
    }
    char name[QORVANE_PATH_MAX];
    size_t len = std::strlen(parameter_path);
    size_t keep = len > 4 ? len - 4 : len;
    int w = std::snprintf(name, sizeof name, "%.*s_verbose.par", static_cast<int>(keep), parameter_path);
    if (w < 0 || w >= static_cast<int>(sizeof name)) {
        fc_record(__LINE__, "fopen", QORVANE_FCNTL_INVALID_ARGUMENT, 0);
        return -1;
    }
    std::memcpy(ctx->parameter_file, name, static_cast<size_t>(w) + 1);
    FILE *fp = qorvane_output_fopen(name, "w");
    if (!fp) {
        fc_record(__LINE__, "fopen", QORVANE_FCNTL_OPEN_FAILURE, errno);
        std::printf(" error_hs : file not opened\n ");
        return -1;
    }
    natural_frequency(ctx);
    const int total = fc_written_lines(ctx);
    std::fprintf(fp, "qorvane_begin_of_file\n\n");
    std::fprintf(fp, "##########################################################################\n");
    std::fprintf(fp, "# QORVANE  FIT CONTROL & STARTING VALUE FILE\n");
    std::fprintf(fp, "#\n# Revision Information\n# QORVANE Version 2.4 \n#      28 - 01 - 1999\n");
    std::fprintf(fp, "##########################################################################\n#\n");
    std::fprintf(fp,
                 "# Spectrum information, one value per line:\n"
                 "#   number of complex points N (a power of 2)\n"
                 "#   first and last point number of the noise interval\n"
                 "#   number of analytic lines\n"
                 "#   number of complex Fourier coefficients of the arbitrary line shape\n"
                 "#   first-order phase in degrees (acquisition delay, not fitted)\n"
                 "#   Hz per point (point 0 is 0 Hz)\n"
                 "#   stop tolerance of the conjugate-gradient minimiser\n"
                 "#   number of leading time-domain points set to zero\n"
                 "#   number of patterns\n#\n");
    std::fprintf(fp, "qorvane_spectrum_information\n");
    std::fprintf(fp, "%3d\n%3d\n%3d\n%3d\n%3d\n", ctx->n_pnts, ctx->noistr, ctx->noistp, ctx->nLines, ctx->lsfcfs);
    std::fprintf(fp, "%1.10E\n%1.10E\n%1.10E\n", ctx->phi_1, ctx->hz_p_p, ctx->f_tol);
    std::fprintf(fp, "%3d\n%3d\n\n", ctx->ignore, ctx->pattrn);
    std::fprintf(fp,
                 "# Pattern references, one path per line: a .bin file holds a measured\n"
                 "# spectrum, a .pat file a list of lines that make up the pattern.\n#\n");
    std::fprintf(fp, "qorvane_pattern_references\n");
    for (int p = 1; p <= ctx->pattrn && p <= QORVANE_MAX_LINES; ++p) std::fprintf(fp, "%s\n", ctx->pattern_path[p]);
    std::fprintf(fp,
                 "\n# Fit control: fit mode (1 plain, 2 reference line shape, 3 line-shape\n"
                 "# coefficients), console detail 0..3, line shown in detail, error bounds 0/1,\n"
                 "# data format word, ranges 0..3, then one strategy step per line:\n"
                 "#   algorithm trunc area frequency width1 phase width2 lsf weighting\n"
                 "#   convolution iterations spectrum-mode intervals, then min max per interval\n#\n");
    std::fprintf(fp, "qorvane_fit_control\n");
    std::fprintf(fp, "%d\n%d\n%d\n%d\n%s\n%d\n", ctx->fit_mo, ctx->verbos, ctx->showli, ctx->clcerr, ctx->sg_idl,
                 ctx->par_ranges);
    for (int s = 1; s <= ctx->nsteps && s <= QORVANE_MAX_STEPS; ++s) {
        const QorvaneStrategyStep *st = &ctx->step[s];
        const int v[10] = {st->algor, st->trunc, st->ampli, st->frequ, st->gauss,
                           st->phase, st->loren, st->lsfft, st->wtype, st->convo};
        std::fprintf(fp, "@  ");
        for (int i = 0; i < 10; ++i) std::fprintf(fp, "%3d  ", v[i]);
        std::fprintf(fp, "%4d  %4d  %4d  ", st->niter, st->cmplx, st->n_int);
        for (int k = 1; k <= st->n_int && k <= QORVANE_MAX_INTERVALS; ++k)
            std::fprintf(fp, "%4d  %4d  ", st->min[k], st->max[k]);
        std::fprintf(fp, "\n");
    }
    std::fprintf(fp,
                 "\n# Starting values, one line per line and pattern (patterns give a factor\n"
                 "# and differences)\n#\n");
    std::fprintf(fp, "# number      area          frequency       width1          phase          width2 \n");
    std::fprintf(fp, "#  [--]       [--]            [Hz]           [Hz]         [degrees]         [Hz]  \n");
    std::fprintf(fp, "qorvane_starting_values \n");
    for (int i = 1; i <= total; ++i) {
        std::fprintf(fp, i < 10 ? "     %d     " : "     %d    ", i);
        for (int j = QORVANE_PAR_AREA; j < QORVANE_PAR_WIDTH2; ++j)
            std::fprintf(fp, "%1.6E   ", fc_out_value(ctx, j, qorvane_par_index(i, j)));
        std::fprintf(fp, "%1.6E\n", fc_out_value(ctx, QORVANE_PAR_WIDTH2, qorvane_par_index(i, QORVANE_PAR_WIDTH2)));
    }
    std::fprintf(fp,
                 "\n# Prior knowledge, per line: line number, line-shape function switch,\n"
                 "# line type (1 Gaussian, 2 Lorentzian, 3 Voigt, 4 pattern), then for area,\n"
                 "# frequency, width1, phase and width2: fixed-to line, value, minimum, maximum\n#\n");
    std::fprintf(fp, "qorvane_prior_knowledge\n");
    for (int i = 1; i <= total; ++i) {
        std::fprintf(fp, "%d\n%d\n%d\n", i, ctx->lsffit[i], ctx->o_fixpar[qorvane_par_index(i, QORVANE_PAR_AREA)].type);
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            std::fprintf(fp, "%d\t", ctx->o_fixpar[idx].fixed_to);
            std::fprintf(fp, "%1.6E\t", fc_out_value(ctx, j, idx));
            double lo, hi;
            fc_out_range(ctx, j, idx, 0.1, false, &lo, &hi);
            if (ctx->par_ranges == 1)
                std::fprintf(fp, "%1.6E\t%1.6E\n", lo, hi);
            else if (ctx->par_ranges == 2)
                std::fprintf(fp, "\n");
            else
                std::fprintf(fp, "%1.8E\t%1.8E\t\n", lo, hi);
        }
    }
    std::fprintf(fp, "\n# Line-shape function: 2 x number of coefficients values (real, imaginary)\n#\n");
    std::fprintf(fp, "qorvane_line_shape_function\n");
    for (int j = 1; j <= 2 * ctx->lsfcfs && ctx->lsf_start + j <= QORVANE_MAX_PARAMS; ++j)
        std::fprintf(fp, "%1.6E\n", ctx->o_par[ctx->lsf_start + j]);
    std::fprintf(fp, "\nqorvane_end_of_file\n");
    fc_write_created_at(fp);
    return fc_close_written(fp, __LINE__);
}
