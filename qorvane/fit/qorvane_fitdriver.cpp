#include "qorvane_fitdriver.h"

#include <sys/types.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "fitcontrol_new.h"
#include "lineshape.h"
#include "lineshape_analytic.h"
#include "qfft.h"
#include "qorvane_fit_scratch.h"
#include "qorvane_lm.h"
#include "qorvane_minimize.h"
#include "qorvane_reports.h"
#include "qorvane_single.h"
#include "qspectrumio.h"

static int qorvane_nlp(const QorvaneFitContext* ctx) { return ctx->nLines + ctx->pattrn; }

static void qorvane_banner() {
    static const char* const art[7] = {
        "***     @@@@     @@@@    @@@@@     @   @     @@@    @   @   @@@@@        ***",
        "***    @    @   @    @   @    @    @   @    @   @   @@  @   @            ***",
        "***    @    @   @    @   @    @    @   @   @     @  @ @ @   @            ***",
        "***    @    @   @    @   @@@@@     @   @   @@@@@@@  @  @@   @@@@         ***",
        "***    @  @ @   @    @   @   @      @ @    @     @  @   @   @            ***",
        "***    @   @@   @    @   @    @     @ @    @     @  @   @   @            ***",
        "***     @@@ @    @@@@    @     @     @     @     @  @   @   @@@@@        ***",
    };
    char stars[77];
    memset(stars, '*', 76);
    stars[76] = '\0';
    puts(stars);
    for (const char* l : art) puts(l);
    puts(stars);
    puts("***                 Windows version  3.0 - 28-12-2025                    ***");
    puts("***            Linux build: POSIX threads, in-process file copies        ***");
    puts(stars);
    puts("");
}

double print_fit_quality(int n, int cmplx, int fit_points, double sigma, double scale, int verbosity, const double* xre,
                         const double* xim, const double* yre, const double* yim, const double* wre,
                         const double* wim) {
    if (verbosity >= 1) {
        switch (cmplx) {
            case 0:
                printf("Absorption mode fit\n");
                break;
            case 1:
                printf("Dispersion mode fit\n");
                break;
            case 2:
                printf("Sum ( Absorption + Dispersion ) mode fit\n");
                break;
            case 3:
                printf("Magnitude spectrum  fit \n");
                break;
            case 4:
                printf("Power spectrum fit \n");
                break;
            default:
                printf("Illegal complex parameter value\n");
                break;
        }
    }
    double cre = 0.0, cim = 0.0;
    for (int i = 0; i < n; ++i) {
        if (wre[i] != 0.0) cre += wre[i] * (yre[i] - xre[i]) * (yre[i] - xre[i]);
        if (wim[i] != 0.0) cim += wim[i] * (yim[i] - xim[i]) * (yim[i] - xim[i]);
    }
    const double q = sqrt(((cre + cim) / 2.0) / fit_points) * scale / sigma;
    if (verbosity >= 2) printf("Fit quality number                          : %E\n", q);
    if (verbosity >= 3) {
        printf("Fit quality number absorption              : %E\n", sqrt(cre / fit_points) * scale / sigma);
        printf("Fit quality number dispersion              : %E\n", sqrt(cim / fit_points) * scale / sigma);
    }
    return q;
}

// Initial weights of the chi-square before the fit.
static void qorvane_initial_weights(QorvaneFitContext* ctx) {
    const int n = ctx->n_pnts;
    switch (ctx->wtype) {
        case 2:
            memcpy(ctx->wre, ctx->xre, sizeof(double) * n);
            memcpy(ctx->wim, ctx->xim, sizeof(double) * n);
            break;
        case 3:
        case 4:
            par_to_signal(ctx, ctx->par_vec, ctx->wre, ctx->wim);
            break;
        case 5:
        case 6: {
            for (int k = 0; k < n; ++k) ctx->wre[k] = ctx->wim[k] = 0.0;
            for (int i = 1; i <= ctx->nLines; ++i) {
                double w1 = ctx->par_vec[qorvane_par_index(i, QORVANE_PAR_WIDTH1)];
                double area = ctx->wtype == 5 ? 1.0 : (w1 != 0.0 ? 1.0 / w1 : 1.0);
                calculate_ifft_voigt_line(ctx, 0, area, ctx->par_vec[qorvane_par_index(i, QORVANE_PAR_FREQ)], w1, 0.0,
                                          0.0, ctx->line_re, ctx->line_im);
                for (int k = 0; k < n; ++k) {
                    ctx->wre[k] += ctx->line_re[k];
                    ctx->wim[k] += fabs(ctx->line_im[k]);
                }
            }
            break;
        }
        default:
            for (int k = 0; k < n; ++k) ctx->wre[k] = ctx->wim[k] = 1.0;
            break;
    }
}

// The data arrays are the untouched data divided by the area scale.
static void qorvane_restore_data(QorvaneFitContext* ctx) {
    const double s = ctx->engine->data_scale;
    for (int k = 0; k < ctx->n_pnts; ++k) {
        ctx->xre[k] = ctx->xre_copy[k] / s;
        ctx->xim[k] = ctx->xim_copy[k] / s;
    }
}

// Multiplies every area (value, record and bound) by f; pattern factors are also multiplied
// by their norm (norm_power > 0, scaling down) or divided by it (scaling back). A bound is a
// multiple of its parameter's derivative, so it follows the same factor.
static void qorvane_scale_areas(QorvaneFitContext* ctx, double f, int norm_power) {
    const int nl = qorvane_nlp(ctx);
    for (int i = 1; i <= nl; ++i) {
        int j = qorvane_par_index(i, QORVANE_PAR_AREA);
        double g = f;
        if (i > ctx->nLines) {
            double norm = ctx->pattern_norm[i - ctx->nLines];
            if (norm > 0.0 && std::isfinite(norm)) g *= norm_power > 0 ? norm : 1.0 / norm;
        }
        ctx->par_vec[j] *= g;
        ctx->errpar[j] *= g;
        ctx->fixpar[j].value *= g;
        ctx->fixpar[j].min *= g;
        ctx->fixpar[j].max *= g;
    }
}

static void qorvane_load_step_settings(QorvaneFitContext* ctx, int s) {
    const QorvaneStrategyStep* st = &ctx->step[s];
    ctx->cur_step = s;
    ctx->algor = st->algor;
    ctx->trunc = st->trunc;
    ctx->fit_ampli = st->ampli;
    ctx->fit_frequ = st->frequ;
    ctx->fit_gauss = st->gauss;
    ctx->fit_phase = st->phase;
    ctx->fit_loren = st->loren;
    ctx->lsfft = st->lsfft;
    ctx->wtype = st->wtype;
    ctx->convo = st->convo;
    ctx->niter = st->niter;
    ctx->cmplx = st->cmplx;
    int nint = st->n_int;
    if (nint < 0) nint = 0;
    if (nint > QORVANE_MAX_INTERVALS) nint = QORVANE_MAX_INTERVALS;
    ctx->n_int = nint;
    ctx->fit_range = 0;
    for (int k = 1; k <= nint; ++k) {
        ctx->int_min[k] = st->min[k];
        ctx->int_max[k] = st->max[k];
        ctx->fit_range += st->max[k] - st->min[k];
    }
}

void qorvane_set_interval_weights(QorvaneFitContext* ctx) {
    const int n = ctx->n_pnts;
    for (int k = 0; k < n; ++k) ctx->wre[k] = ctx->wim[k] = 0.0;
    for (int i = 1; i <= ctx->n_int; ++i) {
        // Bounds outside the spectrum are clipped to it.
        int lo = ctx->int_min[i] < 0 ? 0 : ctx->int_min[i];
        int hi = ctx->int_max[i] > n - 1 ? n - 1 : ctx->int_max[i];
        for (int k = lo; k <= hi; ++k) ctx->wre[k] = ctx->wim[k] = 1.0;
    }
}

int qorvane_convolution_shift(QorvaneFitContext* ctx) {
    const int n = ctx->n_pnts;
    double* xabs = ctx->xas;
    double* yabs = ctx->vec_re;
    for (int k = 0; k < n; ++k) xabs[k] = yabs[k] = 0.0;
    for (int i = 1; i <= ctx->n_int; ++i) {
        int lo = ctx->int_min[i] < 0 ? 0 : ctx->int_min[i];
        int hi = ctx->int_max[i] > n - 1 ? n - 1 : ctx->int_max[i];
        for (int k = lo; k <= hi; ++k) {
            xabs[k] = hypot(ctx->xre[k], ctx->xim[k]);
            yabs[k] = hypot(ctx->yre[k], ctx->yim[k]);
        }
    }
    double best = -1.0e+200;
    int best_m = n / 2;
    for (int m = 0; m < n; ++m) {
        double c = 0.0;
        for (int k = 0; k < n; ++k) {
            int idx = (k + m - n / 2) % n;
            if (idx < 0) idx += n;
            c += xabs[k] * yabs[idx];
        }
        if (c > best) {
            best = c;
            best_m = m;
        }
    }
    return n / 2 - best_m;
}

// Whether this pass runs the least-squares minimiser: selected for the fit and the pass's
// chi-square is a sum of squares it handles (otherwise the classic scheme runs).
static int qorvane_local_refinement(const QorvaneFitContext* ctx) {
    return ctx->engine->minimizer == QORVANE_MINIMIZER_LM && qorvane_lm_applicable(ctx);
}

void fit_strategy_step(QorvaneFitContext* ctx, int s) {
    QorvaneFitEngineScratch* e = ctx->engine;
    const int n = ctx->n_pnts;
    const int nl = qorvane_nlp(ctx);
    qorvane_load_step_settings(ctx, s);
    int groups = ctx->fit_ampli + ctx->fit_frequ + ctx->fit_gauss + ctx->fit_phase + ctx->fit_loren;
    int lsf_groups = (ctx->lsfcfs >= 1 && ctx->lsfft == 1) ? 1 : 0;
    if (ctx->verbos > 1) printf("weighting_type = %d\n", ctx->wtype);

    if (ctx->convo == 1) {
        qorvane_apply_prior_knowledge(ctx, ctx->par_vec);
        qorvane_model_all(ctx, ctx->par_vec);
        int shift = qorvane_convolution_shift(ctx);
        for (int i = 1; i <= nl; ++i) {
            int j = qorvane_par_index(i, QORVANE_PAR_FREQ);
            ctx->par_vec[j] += shift;
            ctx->fixpar[j].value += shift;
            ctx->fixpar[j].min += shift;
            ctx->fixpar[j].max += shift;
        }
        if (ctx->verbos > 0) printf("Convolution pre-step frequency shift [pnts]  : %d\n", shift);
    }
    truncate_vector(ctx, n, ctx->trunc, ctx->xre, ctx->xim);
    if (groups + lsf_groups == 0) return;

    qorvane_set_interval_weights(ctx);
    if (ctx->verbos > 0) {
        printf("\nStarting next fit step ... \n");
        printf("amplitude fit :  %s\n", ctx->fit_ampli ? " yes " : " no  ");
        printf("frequency fit :  %s\n", ctx->fit_frequ ? " yes " : " no  ");
        printf("width     fit :  %s\n", ctx->fit_gauss ? " yes " : " no  ");
        printf("phase     fit :  %s\n", ctx->fit_phase ? " yes " : " no  ");
        printf("voigt     fit :  %s\n", ctx->fit_loren ? " yes " : " no  ");
    }
    int iter = 0;
    double fret = 0.0;
    int converged = 1;
    e->lsf_pass = 0;
    if (groups > 0) {
        if (ctx->algor == 1) {
            if (ctx->verbos > 0) printf("Performing random fit step ... \n");
            int pop = 50 / nl + (3 * 5 * nl) / 2;
            if (random_maximum_likelihood_minimizer(ctx, ctx->par_vec, pop, ctx->niter) != QORVANE_RC_OK) return;
            iter = ctx->niter > 20 ? 20 : ctx->niter;
            converged = e->last_converged;
            if (qorvane_local_refinement(ctx)) {
                // The search finds the basin; a bounded least-squares refinement reaches its bottom.
                int lm_iter = 0;
                converged = qorvane_lm_minimize(ctx, ctx->par_vec, ctx->niter, ctx->f_tol, ctx->par_min, ctx->par_max,
                                                &lm_iter, &fret);
                if (ctx->verbos > 0) printf("Random search refined in %d least-squares iterations\n", lm_iter);
            }
        } else if (qorvane_local_refinement(ctx)) {
            converged = qorvane_lm_minimize(ctx, ctx->par_vec, ctx->niter, ctx->f_tol, nullptr, nullptr, &iter, &fret);
        } else {
            frprmn(ctx, ctx->npar, ctx->f_tol, &iter, &fret, ctx->par_vec);
            converged = e->last_converged;
        }
        if (ctx->verbos > 0) printf("\nFit step performed no line shape function \n");
    }
    if (lsf_groups) {
        e->lsf_pass = 1;
        if (ctx->algor == 1) {
            if (ctx->verbos > 0) printf("\nStarting next random fit step ... \n");
            int pop = (5 * nl + ctx->lsfcfs) * 3 / 2;
            if (random_maximum_likelihood_minimizer(ctx, ctx->par_vec, pop, ctx->niter) != QORVANE_RC_OK) return;
        } else {
            frprmn(ctx, ctx->npar, ctx->f_tol, &iter, &fret, ctx->par_vec);
        }
        converged = converged && e->last_converged;
        e->lsf_pass = 0;
        if (ctx->verbos > 0) printf("\nFit step performed with line shape function \n");
    }
    ctx->iterations = iter;
    ctx->step_converged = converged;
    if (!converged) {
        if (ctx->unconverged_steps++ == 0) ctx->first_unconverged_step = s;
        printf("Warning: fit step %d stopped at its iteration limit (niter %d) without meeting its tolerance\n", s,
               ctx->niter);
    }
}

void qorvane_corrected_output(QorvaneFitContext* ctx) {
    const int n = ctx->n_pnts;
    const int nl = qorvane_nlp(ctx);
    int show = ctx->showli;
    if (show < 1 || show > nl) show = 1;
    const int jf = qorvane_par_index(show, QORVANE_PAR_FREQ);
    const double shift = ctx->par_vec[jf] - ctx->engine->start_par[jf];
    ctx->freq_shift_applied = shift;
    if (ctx->verbos > 0) printf("Frequency shift applied on  spectrum [pnts] : %e\n", shift);
    // The data's line sits at the fitted frequency; moving it by -shift puts it back.
    frequency_shift_vector(ctx, n, ctx->shifted_xre, ctx->shifted_xim, -shift);
    const double phi0 = ctx->par_vec[qorvane_par_index(show, QORVANE_PAR_PHASE)];
    if (ctx->verbos > 0) {
        printf("Correcting zero  order phase [degrees]      : %E \n", phi0);
        printf("Correcting first order phase [degrees]      : %E \n", ctx->phi_1);
    }
    for (int k = 0; k < n; ++k) {
        const double th = -phi0 * M_PI / 180.0 - M_PI / 2.0 - ((double)k / n) * ctx->phi_1 * M_PI / 180.0;
        const double c = cos(th), s = sin(th);
        const double re = ctx->shifted_xre[k], im = ctx->shifted_xim[k];
        ctx->shifted_xre[k] = re * c - im * s;
        ctx->shifted_xim[k] = re * s + im * c;
    }
}

// Output names and line-shape options of a fit (steps 1 and 2 of fit_spectrum); false
// when the fit ends (status set).
static bool qorvane_fit_prepare(QorvaneFitContext* ctx) {
    const int n = ctx->n_pnts;
    const int nl = qorvane_nlp(ctx);

    // 1. output names
    if (ctx->data_format != QORVANE_FORMAT_SAGE_IDL) {
        size_t l = strlen(ctx->input_name);
        if (l > 4 && strcmp(ctx->input_name + l - 4, ".bin") == 0) ctx->input_name[l - 4] = '\0';
    }
    if (snprintf(ctx->out_stem, sizeof ctx->out_stem, "%s%s", ctx->data_path, ctx->input_name) >=
        (int)sizeof ctx->out_stem) {
        qorvane_status_fail(&ctx->status, 1, "output name too long: %s%s", ctx->data_path, ctx->input_name);
        return false;
    }
    if (qorvane_check_outputs_spare_inputs(ctx) != 0) return false;
    if (ctx->verbos > 0) {
        printf("Fitting will be performed on               : %s%s\n", ctx->data_path, ctx->data_name);
        printf("using start value / fitting condition file : %s\n", ctx->parameter_file);
    }

    // 2. line-shape options
    if (ctx->fit_mo == 1 || ctx->fit_mo == 2) {
        ctx->lsfcfs = 0;
        ctx->npar = 5 * nl;
    }
    if (ctx->fit_mo == 2) {
        char ref[2 * QORVANE_PATH_MAX + 8];
        snprintf(ref, sizeof ref, "%s%s.ref", ctx->data_path, ctx->data_name);
        if (ctx->verbos > 0) printf("using reference line file                  : %s\n", ref);
        long got = qorvane_read_complex_file(ref, n, ctx->re_ref, ctx->im_ref);
        if (got < 0) {
            printf("ERROR in filename '%s', can't open !\n", ref);
            qorvane_status_fail(&ctx->status, 1, "cannot open reference line shape file %s", ref);
            return false;
        }
        if (got < n) {
            printf("... error reading data ... exit...\n");
            printf("cnt  %ld %d \n", got, n);
        }
        for (int k = 0; k < n; ++k) {
            if (!std::isfinite(ctx->re_ref[k]) || !std::isfinite(ctx->im_ref[k])) {
                printf("reference line shape %s : point %d is not a finite number\n", ref, k);
                qorvane_status_fail(&ctx->status, 1, "reference line shape %s holds a non-finite point", ref);
                return false;
            }
        }
        ctx->ref_lineshape_on = 1;
    }
    return true;
}

// The fitted values (and their bounds when computed) on the console.
static void qorvane_print_console_results(const QorvaneFitContext* ctx) {
    const int nl = qorvane_nlp(ctx);
    if (ctx->verbos > 0) {
        printf("\n values \n    area        frequency    gausswidth       phase    lorentzwidth  \n");
        printf("    a.u             Hz           Hz          degrees         Hz  \n");
        for (int i = 1; i <= nl; ++i) {
            int j = qorvane_par_index(i, 1);
            printf("%d  %1.6E %1.6E %1.6E %1.6E %1.6E\n", i, ctx->o_par[j], ctx->o_par[j + 1], fabs(ctx->o_par[j + 2]),
                   ctx->o_par[j + 3], ctx->o_par[j + 4]);
        }
        for (int j = 5 * nl + 1; j <= ctx->npar; ++j) printf("lsf %1.6E\n", ctx->par_vec[j]);
        if (ctx->clcerr == 1) {
            printf("\n error values \n    area        frequency    gausswidth       phase    lorentzwidth  \n");
            printf("    a.u             Hz           Hz          degrees         Hz  \n");
            for (int i = 1; i <= nl; ++i) {
                int j = qorvane_par_index(i, 1);
                printf("%d  %1.6E %1.6E %1.6E %1.6E %1.6E\n", i, ctx->o_errpar[j], ctx->o_errpar[j + 1],
                       fabs(ctx->o_errpar[j + 2]), ctx->o_errpar[j + 3], ctx->o_errpar[j + 4]);
            }
        }
    }
}

void fit_spectrum(QorvaneFitContext* ctx) {
    QorvaneFitEngineScratch* e = ctx->engine;
    const int n = ctx->n_pnts;
    const int nl = qorvane_nlp(ctx);

    // 1. output names, 2. line-shape options
    if (!qorvane_fit_prepare(ctx)) return;

    // 3. checks
    test_init_value_file(ctx);

    // 4. line-shape function
    if (ctx->lsfcfs > 0) {
        if (ctx->verbos > 0) printf("Fourier coefficient lineshape function fit active \n");
        parameter_array_2_line_shape_function(ctx, ctx->par_vec);
    }
    if (ctx->status.fatal) return;

    // 5. chi-square at the starting values, with the first step's settings
    if (ctx->nsteps >= 1) {
        ctx->trunc = ctx->step[1].trunc;
        ctx->cmplx = ctx->step[1].cmplx;
    }
    // The first cost evaluation meets a Gaussian-width tie that would shrink a width and
    // ends the fit, whether or not the other checks passed.
    if (qorvane_check_prior_knowledge(ctx) != QORVANE_RC_OK) return;
    ctx->chi2_before = fnc(ctx, ctx->par_vec);

    // 6. area scale
    double sum = 0.0;
    for (int k = 0; k < n; ++k) sum += hypot(ctx->xre_copy[k], ctx->xim_copy[k]);
    double scale = nl > 0 ? sum / (2.0 * nl) : 1.0;
    // An all-zero (or non-finite) spectrum would make every area infinite.
    if (!(scale > 0.0) || !std::isfinite(scale)) scale = 1.0;
    ctx->scale_factor = scale;
    if (ctx->verbos > 0) printf("Computed scalefactor for better amp gradients : %1.16e\n", scale);

    // 7. failed checks
    if (!ctx->init_ok) {
        printf("**********************************************\n");
        printf("*   Spectrum is not fitted due to errors in  *\n");
        printf("*           * initial value file             *\n");
        printf("*           * or command line                *\n");
        printf("**********************************************\n");
        qorvane_status_fail(&ctx->status, QORVANE_EXIT_FIT_CONTROL, "errors in initial value file %s",
                            ctx->parameter_file);
        return;
    }
    qorvane_scale_areas(ctx, 1.0 / scale, +1);
    e->data_scale = scale;
    qorvane_restore_data(ctx);

    // 8. chi-square with the scaled areas
    ctx->chi2_before_scaled = fnc(ctx, ctx->par_vec);
    if (ctx->verbos > 0) {
        printf("Chi-square before minimization             : %1.16e\n", ctx->chi2_before);
        printf("Scaled chi-square before minimization      : %1.16e\n", ctx->chi2_before_scaled);
    }
    int fr = ctx->nsteps >= 1 ? 0 : 1;
    for (int k = 1; ctx->nsteps >= 1 && k <= ctx->step[1].n_int && k <= QORVANE_MAX_INTERVALS; ++k)
        fr += ctx->step[1].max[k] - ctx->step[1].min[k];
    ctx->fit_quality_before = print_fit_quality(n, ctx->cmplx, fr, ctx->sigma_abs, scale, ctx->verbos, ctx->xre,
                                                ctx->xim, ctx->yre, ctx->yim, ctx->wre, ctx->wim);

    // 9. steps
    if (ctx->verbos > 0) printf("calculating parameters                   ...\n");
    for (int s = 1; s <= ctx->nsteps && s <= QORVANE_MAX_STEPS; ++s) {
        fit_strategy_step(ctx, s);
        qorvane_restore_data(ctx);
        if (ctx->status.fatal) return;
    }

    // Free parameters of the groups the last step fitted (reported with the results).
    e->lsf_pass = ctx->lsfcfs >= 1 && ctx->lsfft == 1;
    ctx->n_fitted = 0;
    for (int j = 1; j <= ctx->npar; ++j) ctx->n_fitted += qorvane_param_fitted(ctx, j) ? 1 : 0;
    e->lsf_pass = 0;

    // 10. chi-square and quality after the fit, on the last step's truncation
    truncate_vector(ctx, n, ctx->trunc, ctx->xre, ctx->xim);
    ctx->chi2_after = fnc(ctx, ctx->par_vec);
    ctx->chi2_after_unweighted = qorvane_chi2_unweighted(ctx);
    ctx->fit_quality_after = print_fit_quality(n, ctx->cmplx, ctx->fit_range, ctx->sigma_abs, scale, ctx->verbos,
                                               ctx->xre, ctx->xim, ctx->yre, ctx->yim, ctx->wre, ctx->wim);
    if (ctx->verbos > 0) printf("Fit Quality Factor : %e\n", ctx->fit_quality_after);

    // 11. corrected data
    qorvane_corrected_output(ctx);

    // 12. errors, then scale back. The bounds are computed where the model was fitted (areas
    // divided by S, pattern factors times their norm, since the stored patterns are
    // normalised) and carried to the user's scale with the areas; evaluated at the scaled-back
    // values the model of a pattern would be off by its norm, and so would every derivative.
    qorvane_restore_data(ctx);
    truncate_vector(ctx, n, ctx->trunc, ctx->xre, ctx->xim);
    if (ctx->clcerr == 1) ncr_mvb(ctx);
    qorvane_scale_areas(ctx, scale, -1);
    e->data_scale = 1.0;
    qorvane_restore_data(ctx);
    truncate_vector(ctx, n, ctx->trunc, ctx->xre, ctx->xim);

    // 13. console results
    natural_frequency(ctx);
    qorvane_print_console_results(ctx);

    // 14. outputs
    qorvane_write_results(ctx);
}

void cf_non_int_main_legacy_single() {
    QorvaneFitContext* ctx = g_qorvane_ctx;
    if (ctx == nullptr) return;
    qorvane_context_set_defaults(ctx);
    if (load_initial_value_file(ctx) != QORVANE_RC_OK || ctx->status.fatal) return;
    if (ctx->verbos > 0) qorvane_banner();
    if (ctx->fcntl_faulty) {
        printf("Program termination status : \n");
        printf("          data file: %s  not fitted due to \n", ctx->input_name);
        printf("          errors in fit control file :  %s\n\n\n\n", ctx->parameter_file);
        // a run that fits nothing does not end as a success
        qorvane_status_fail(&ctx->status, QORVANE_EXIT_FIT_CONTROL, "errors in fit control file %s",
                            ctx->parameter_file);
        return;
    }
    const int n = ctx->n_pnts;
    if (n < 2 || n > QORVANE_MAX_POINTS || (n & (n - 1)) != 0 || qorvane_twiddle_prepare(&ctx->twiddles, n) != 0) {
        printf("implementation restriction : \n");
        printf("number of points %d is not a power of 2 between 2 and %d\n", n, (int)QORVANE_MAX_POINTS);
        qorvane_status_fail(&ctx->status, 1, "unsupported number of points %d", n);
        return;
    }
    QorvaneFitEngineScratch* e = ctx->engine;
    e->data_scale = 1.0;
    e->minimizer = qorvane_minimizer_selected();
    if (ctx->verbos > 0)
        printf("minimiser (--minimizer)                    : %s\n",
               e->minimizer == QORVANE_MINIMIZER_REFERENCE
                   ? "classic: conjugate gradients (Polak-Ribiere, Brent line search), random search"
                   : "lm: Levenberg-Marquardt (random search refined by it)");
    ctx->line_spectra = qorvane_line_spectra_selected();
    if (ctx->verbos > 0)
        printf("line spectra (--line-spectra)              : %s\n",
               ctx->line_spectra == QORVANE_LINE_SPECTRA_FFT
                   ? "fft: time signal and FFT for every line"
                   : "analytic: closed form for lines without Gaussian decay");
    memcpy(e->start_par, ctx->par_vec, sizeof(double) * (QORVANE_MAX_PARAMS + 1));

    // model at the starting values
    par_to_signal(ctx, ctx->par_vec, ctx->yre, ctx->yim);

    if (ctx->data_format == QORVANE_FORMAT_SAGE_IDL) {
        if (snprintf(ctx->header_name, sizeof ctx->header_name, "%s.shf", ctx->input_name) >=
                (int)sizeof ctx->header_name ||
            snprintf(ctx->data_name, sizeof ctx->data_name, "%s.sdf", ctx->input_name) >= (int)sizeof ctx->data_name) {
            qorvane_status_fail(&ctx->status, 1, "input name too long: %s", ctx->input_name);
            return;
        }
        char path[2 * QORVANE_PATH_MAX];
        snprintf(path, sizeof path, "%s%s", ctx->data_path, ctx->header_name);
        if (read_sageidl_header(path, &ctx->idl, &ctx->status) != QORVANE_RC_OK || ctx->status.fatal) return;
    } else {
        snprintf(ctx->data_name, sizeof ctx->data_name, "%s", ctx->input_name);
    }
    if (_InputSpectrumToFit(n, ctx->noistr, ctx->noistp, ctx->data_path, ctx->data_name) != QORVANE_RC_OK ||
        ctx->status.fatal)
        return;
    qorvane_initial_weights(ctx);
    fit_spectrum(ctx);
}

int qorvane_single_fit_run(const char* work_dir, const char* input, const char* parameter_file, const char* record,
                           QorvaneSingleFitOutcome* outcome) {
    return qorvane_single_fit_run_at(work_dir, input, parameter_file, record, nullptr, outcome);
}

namespace {

// The fit context and engine scratch of the calling thread, allocated by its first fit and
// kept for the next ones (a volume worker allocates them once); released at thread exit.
struct QorvaneThreadFitStorage {
    QorvaneFitContext* ctx = nullptr;
    QorvaneFitEngineScratch* engine = nullptr;
    ~QorvaneThreadFitStorage() {
        qorvane_engine_free(engine);
        if (ctx != nullptr) qorvane_context_destroy(ctx);
    }
};
thread_local QorvaneThreadFitStorage t_fit_storage;

// Clears what a fit left in the engine scratch (see the layout comment there).
void qorvane_engine_clear_used(QorvaneFitEngineScratch* e) {
    char* base = reinterpret_cast<char*>(e);
    const size_t from = offsetof(QorvaneFitEngineScratch, lsf_pass);
    const size_t to = offsetof(QorvaneFitEngineScratch, fisher);
    memset(base + from, 0, to - from);
    memset(e->fitted_index, 0, sizeof e->fitted_index);
}

}  // namespace

int qorvane_thread_fit_context_is_clear() {
    const QorvaneThreadFitStorage& store = t_fit_storage;
    if (store.ctx == nullptr) return 1;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(store.ctx);
    for (size_t i = 0; i < sizeof *store.ctx; ++i)
        if (b[i] != 0) return 0;
    if (store.engine != nullptr) {
        const unsigned char* e = reinterpret_cast<const unsigned char*>(store.engine);
        for (size_t i = offsetof(QorvaneFitEngineScratch, lsf_pass); i < offsetof(QorvaneFitEngineScratch, fisher); ++i)
            if (e[i] != 0) return 0;
    }
    return 1;
}

int qorvane_single_fit_run_at(const char* work_dir, const char* input, const char* parameter_file, const char* record,
                              const char* verbose_stem, QorvaneSingleFitOutcome* outcome) {
    return qorvane_single_fit_run_memory(work_dir, input, parameter_file, record, verbose_stem, nullptr, outcome);
}

int qorvane_single_fit_run_memory(const char* work_dir, const char* input, const char* parameter_file,
                                  const char* record, const char* verbose_stem, const QorvaneFitMemoryIo* io,
                                  QorvaneSingleFitOutcome* outcome) {
    memset(outcome, 0, sizeof *outcome);
    QorvaneThreadFitStorage& store = t_fit_storage;
    if (store.ctx == nullptr) store.ctx = qorvane_context_create();
    if (store.ctx == nullptr) return 6;
    QorvaneFitContext* ctx = store.ctx;
    g_qorvane_ctx = ctx;
    int rc = 0;
    char stamp[128];
    time_t now = time(nullptr);
    struct tm tmv;
    if (localtime_r(&now, &tmv) == nullptr || strftime(stamp, sizeof stamp, "%H:%M:%S %Z %A %B %d 20%y", &tmv) == 0) {
        rc = 6;
    } else if (strlen(work_dir) > 115) {
        printf("implementation restriction : \n");
        printf("length of path (first) argument exceeds 115 characters : reduce size\n");
        rc = 1;
    } else if (strlen(input) > 255) {
        printf("implementation restriction : \n");
        printf("length of file (second) argument exceeds 255 characters : reduce size\n");
        rc = 1;
    } else if (strlen(parameter_file) > 255) {
        printf("implementation restriction : \n");
        printf("length of <path + starting value file> (third) argument exceeds 255 characters : reduce size\n");
        rc = 1;
    } else {
        // An empty work directory is the current one, not the file-system root.
        snprintf(ctx->data_path, sizeof ctx->data_path, "%s%s", work_dir, work_dir[0] != '\0' ? "/" : "");
        snprintf(ctx->input_name, sizeof ctx->input_name, "%s", input);
        snprintf(ctx->parameter_file, sizeof ctx->parameter_file, "%s", parameter_file);
        snprintf(ctx->cmdline, sizeof ctx->cmdline, "%s", record);
        if (verbose_stem != nullptr) snprintf(ctx->verbose_stem, sizeof ctx->verbose_stem, "%s", verbose_stem);
        if (io != nullptr) {
            ctx->memory_spectrum = io->spectrum;
            ctx->memory_spectrum_bytes = io->spectrum_bytes;
            ctx->memory_outputs = io->outputs;
        }
        if (store.engine == nullptr)
            store.engine = static_cast<QorvaneFitEngineScratch*>(calloc(1, sizeof(QorvaneFitEngineScratch)));
        ctx->engine = store.engine;
        if (ctx->engine == nullptr) {
            rc = 6;
        } else {
            cf_non_int_main_legacy_single();
            outcome->not_converged = ctx->unconverged_steps > 0;
            if (ctx->status.fatal) {
                outcome->fatal = 1;
                outcome->code = ctx->status.exit_code;
                snprintf(outcome->message, sizeof outcome->message, "%s", ctx->status.message);
                rc = ctx->status.exit_code;
            }
        }
    }
    if (store.engine != nullptr) qorvane_engine_clear_used(store.engine);
    qorvane_context_clear_used(ctx);
    g_qorvane_ctx = nullptr;
    return rc;
}
