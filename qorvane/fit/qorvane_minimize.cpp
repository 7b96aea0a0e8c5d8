#include "qorvane_minimize.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lineshape.h"
#include "qorvane_fit_math.h"
#include "qorvane_fit_scratch.h"
#include "qorvane_gram.h"

static int qorvane_nlp(const QorvaneFitContext* ctx) { return ctx->nLines + ctx->pattrn; }

// The model takes |width|, so a negative value fits as well as its opposite but reads as a
// line that grows in time; free widths are kept at 0 or above (a bound every minimiser
// meets here, since each evaluates its points through this function).
static void qorvane_clamp_widths(QorvaneFitContext* ctx, double* p, bool dependent) {
    const int nl = qorvane_nlp(ctx);
    for (int line = 1; line <= nl; ++line)
        for (int o = QORVANE_PAR_WIDTH1; o <= QORVANE_PAR_WIDTH2; o += QORVANE_PAR_WIDTH2 - QORVANE_PAR_WIDTH1) {
            const int j = qorvane_par_index(line, o);
            const int q = ctx->fixpar[j].fixed_to;
            const bool is_dependent = q != 0 && q != line && q >= 1 && q <= nl;
            if ((q == 0 || (dependent && is_dependent)) && p[j] < 0.0) p[j] = 0.0;
        }
}

int qorvane_width_param(int j) {
    const int o = (j - 1) % 5 + 1;
    return o == QORVANE_PAR_WIDTH1 || o == QORVANE_PAR_WIDTH2;
}

void qorvane_apply_prior_knowledge(QorvaneFitContext* ctx, double* p) {
    int nl = qorvane_nlp(ctx);
    qorvane_clamp_widths(ctx, p, false);
    for (int line = 1; line <= nl; ++line) {
        for (int o = QORVANE_PAR_AREA; o <= QORVANE_PAR_WIDTH2; ++o) {
            int j = qorvane_par_index(line, o);
            int q = ctx->fixpar[j].fixed_to;
            if (q == 0 || q == line || q < 1 || q > nl) continue;
            int r = qorvane_par_index(q, o);
            const double v_dep = ctx->fixpar[j].value;
            const double v_ref = ctx->fixpar[r].value;
            if (o == QORVANE_PAR_AREA)
                p[j] = v_ref != 0.0 ? p[r] * v_dep / v_ref : p[j];
            else
                p[j] = p[r] + (v_dep - v_ref);
        }
    }
    qorvane_clamp_widths(ctx, p, true);
}

int qorvane_check_prior_knowledge(QorvaneFitContext* ctx) {
    int nl = qorvane_nlp(ctx);
    for (int line = 1; line <= nl; ++line) {
        int j = qorvane_par_index(line, QORVANE_PAR_WIDTH1);
        int q = ctx->fixpar[j].fixed_to;
        if (q == 0 || q == line || q < 1 || q > nl) continue;
        int r = qorvane_par_index(q, QORVANE_PAR_WIDTH1);
        if (ctx->fixpar[j].value - ctx->fixpar[r].value < 0.0) {
            printf("program terminated due to prior knowledge inconsistency : \n");
            printf("gaussian linewidth of : \n");
            printf("fixed line %d < than linewidth %d \n ", line, q);
            printf("it depends on. Because this  M A Y  cause prior knowledge\n");
            printf("violation during minimization the fit is terminated.\n\n");
            printf("How to fix: \n Interchange dependent and free line prior knowledge \n");
            printf("Good luck ... \n");
            return qorvane_status_fail(
                &ctx->status, 1, "prior knowledge inconsistency: gaussian linewidth of line %d < linewidth of line %d",
                line, q);
        }
    }
    return QORVANE_RC_OK;
}

static void qorvane_sum_lines(QorvaneFitContext* ctx) {
    QorvaneFitEngineScratch* e = ctx->engine;
    int n = ctx->n_pnts, nl = qorvane_nlp(ctx);
    for (int k = 0; k < n; ++k) {
        double re = 0.0, im = 0.0;
        for (int i = 1; i <= nl; ++i) {
            re += e->line_re[i][k];
            im += e->line_im[i][k];
        }
        ctx->yre[k] = re;
        ctx->yim[k] = im;
    }
}

void qorvane_model_all(QorvaneFitContext* ctx, const double* p) {
    QorvaneFitEngineScratch* e = ctx->engine;
    if (ctx->lsfcfs > 0 && ctx->fit_mo == 3) parameter_array_2_line_shape_function(ctx, const_cast<double*>(p));
    int nl = qorvane_nlp(ctx);
    for (int i = 1; i <= nl; ++i) single_line_to_signal(ctx, p, e->line_re[i], e->line_im[i], i);
    qorvane_sum_lines(ctx);
}

// Unweighted squared residual of point i in the modulus modes: the difference of the
// magnitudes (cmplx 3) or of the squared magnitudes (cmplx 4) of data and model.
static double qorvane_modulus_residual2(const QorvaneFitContext* ctx, int i) {
    double d;
    if (ctx->cmplx == 3)
        d = hypot(ctx->xre[i], ctx->xim[i]) - hypot(ctx->yre[i], ctx->yim[i]);
    else
        d = (ctx->xre[i] * ctx->xre[i] + ctx->xim[i] * ctx->xim[i]) -
            (ctx->yre[i] * ctx->yre[i] + ctx->yim[i] * ctx->yim[i]);
    return d * d;
}

double qorvane_chi2(QorvaneFitContext* ctx) {
    const int n = ctx->n_pnts;
    double chi = 0.0;
    if (ctx->wtype == 3) {
        memcpy(ctx->wre, ctx->yre, sizeof(double) * n);
        memcpy(ctx->wim, ctx->yim, sizeof(double) * n);
    }
    for (int i = 0; i < n; ++i) {
        const double wr = ctx->wre[i], wi = ctx->wim[i];
        if (wr + wi == 0.0) continue;
        const double dr = ctx->xre[i] - ctx->yre[i], di = ctx->xim[i] - ctx->yim[i];
        if (ctx->wtype == 7) {
            const double d = 1.0 + ctx->xre[i] * ctx->xre[i] + ctx->xim[i] * ctx->xim[i];
            chi += wr * dr * dr / d;
            if (ctx->cmplx == 2) chi += wi * di * di / d;
            continue;
        }
        switch (ctx->cmplx) {
            case 0:
                chi += wr * dr * dr;
                break;
            case 1:
                chi += wi * di * di;
                break;
            case 2:
                chi += wr * dr * dr + wi * di * di;
                break;
            case 3:
            case 4:
                chi += qorvane_modulus_residual2(ctx, i);
                break;
            default:
                printf("illegal complex value\n");
                break;
        }
    }
    return chi;
}

double qorvane_chi2_unweighted(QorvaneFitContext* ctx) {
    const int n = ctx->n_pnts;
    double chi = 0.0;
    for (int i = 0; i < n; ++i) {
        if (ctx->wre[i] + ctx->wim[i] == 0.0) continue;
        const double dr = ctx->xre[i] - ctx->yre[i], di = ctx->xim[i] - ctx->yim[i];
        switch (ctx->cmplx) {
            case 0:
                chi += dr * dr;
                break;
            case 1:
                chi += di * di;
                break;
            case 2:
                chi += dr * dr + di * di;
                break;
            case 3:
            case 4:
                chi += qorvane_modulus_residual2(ctx, i);
                break;
            default:
                break;
        }
    }
    return chi;
}

int qorvane_param_fitted(const QorvaneFitContext* ctx, int j) {
    int nl = qorvane_nlp(ctx);
    if (j < 1 || j > ctx->npar) return 0;
    if (j > 5 * nl) return ctx->engine->lsf_pass;
    if (ctx->fixpar[j].fixed_to != 0) return 0;
    switch ((j - 1) % 5 + 1) {
        case QORVANE_PAR_AREA:
            return ctx->fit_ampli;
        case QORVANE_PAR_FREQ:
            return ctx->fit_frequ;
        case QORVANE_PAR_WIDTH1:
            return ctx->fit_gauss;
        case QORVANE_PAR_PHASE:
            return ctx->fit_phase;
        default:
            return ctx->fit_loren;
    }
}

double fnc(QorvaneFitContext* ctx, double* p) {
    qorvane_apply_prior_knowledge(ctx, p);
    qorvane_model_all(ctx, p);
    return qorvane_chi2(ctx);
}

double func(double x, void* data) {
    QorvaneFitContext* ctx = static_cast<QorvaneFitContext*>(data);
    for (int j = 1; j <= ctx->ncom; ++j) ctx->xt[j] = ctx->pcom[j] + x * ctx->xicom[j];
    return fnc(ctx, ctx->xt);
}

// Marks the lines whose spectrum depends on parameter j (its own and every line tied
// to it); returns 0 when the whole model must be rebuilt (line-shape coefficients).
static int qorvane_affected_lines(const QorvaneFitContext* ctx, int j, int* mark) {
    int nl = qorvane_nlp(ctx);
    if (j > 5 * nl) return 0;
    int q = (j - 1) / 5 + 1;
    for (int i = 1; i <= nl; ++i) {
        mark[i] = (i == q);
        for (int o = 1; o <= 5 && !mark[i]; ++o) mark[i] = ctx->fixpar[qorvane_par_index(i, o)].fixed_to == q;
    }
    return 1;
}

// Model at p' where only parameter j changed from the p last modelled; the affected lines
// are kept in keep_* so that qorvane_restore_after_perturbation can undo it.
static void qorvane_model_perturbed(QorvaneFitContext* ctx, const double* p, const int* mark, int partial) {
    QorvaneFitEngineScratch* e = ctx->engine;
    int n = ctx->n_pnts, nl = qorvane_nlp(ctx);
    if (!partial) {
        for (int i = 1; i <= nl; ++i) {
            memcpy(e->keep_re[i], e->line_re[i], sizeof(double) * n);
            memcpy(e->keep_im[i], e->line_im[i], sizeof(double) * n);
        }
        qorvane_model_all(ctx, p);
        return;
    }
    for (int i = 1; i <= nl; ++i) {
        if (!mark[i]) continue;
        memcpy(e->keep_re[i], e->line_re[i], sizeof(double) * n);
        memcpy(e->keep_im[i], e->line_im[i], sizeof(double) * n);
        single_line_to_signal(ctx, p, e->line_re[i], e->line_im[i], i);
    }
    qorvane_sum_lines(ctx);
}

static void qorvane_restore_lines(QorvaneFitContext* ctx, const int* mark, int partial) {
    QorvaneFitEngineScratch* e = ctx->engine;
    int n = ctx->n_pnts, nl = qorvane_nlp(ctx);
    for (int i = 1; i <= nl; ++i) {
        if (partial && !mark[i]) continue;
        memcpy(e->line_re[i], e->keep_re[i], sizeof(double) * n);
        memcpy(e->line_im[i], e->keep_im[i], sizeof(double) * n);
    }
}

void dfnc(QorvaneFitContext* ctx, double* p, double* grad) {
    QorvaneFitEngineScratch* e = ctx->engine;
    const int npar = ctx->npar;
    const double chi0 = fnc(ctx, p);
    int mark[QORVANE_MAX_LINES + 1];
    for (int j = 1; j <= npar; ++j) {
        grad[j] = 0.0;
        if (!qorvane_param_fitted(ctx, j)) continue;
        memcpy(e->keep_par, p, sizeof(double) * (npar + 1));
        int partial = qorvane_affected_lines(ctx, j, mark);
        double h;
        if (fabs(p[j]) > 1.0e-07) {
            h = p[j] / 1.0e+07;
            p[j] += h;
        } else {
            p[j] = 1.0e-07;
            h = 1.0e-07;
        }
        qorvane_apply_prior_knowledge(ctx, p);
        qorvane_model_perturbed(ctx, p, mark, partial);
        double chi = qorvane_chi2(ctx);
        grad[j] = (chi - chi0) / h;
        memcpy(p, e->keep_par, sizeof(double) * (npar + 1));
        qorvane_restore_lines(ctx, mark, partial);
    }
    qorvane_sum_lines(ctx);
    if (ctx->verbos >= 3 && ctx->showli >= 1 && ctx->showli <= qorvane_nlp(ctx)) {
        static const char* const labels[5] = {"| Amplitude        : %1.5E  a.u.\n", "| Frequency        : %1.5E  Hz\n",
                                              "| Gaussian width   : %1.5E  i.u.\n",
                                              "| Phase            : %1.5E  degrees\n",
                                              "| Lorentzian width : %1.5E  i.u.\n"};
        for (int o = 1; o <= 5; ++o) {
            int j = qorvane_par_index(ctx->showli, o);
            printf("Gradient # %d : %1.3E  \t", j, grad[j]);
            printf(labels[o - 1], p[j]);
        }
        printf("scaled chi-sqr                              : %1.16e\n", chi0);
    }
}

void linmin(QorvaneFitContext* ctx, double* p, double* xi, int n, double* fret) {
    ctx->ncom = n;
    for (int j = 1; j <= n; ++j) {
        ctx->pcom[j] = p[j];
        ctx->xicom[j] = xi[j];
    }
    double ax = 0.0, xx = 0.01, bx = 0.0, fa, fx, fb;
    mnbrak(&ax, &xx, &bx, &fa, &fx, &fb, func, ctx);
    double xmin = 0.0;
    int exceeded = 0;
    *fret = brent(ax, xx, bx, func, ctx, 2.0e-04, ctx->brent_itmax > 0 ? ctx->brent_itmax : 100, &xmin, &exceeded);
    if (exceeded) printf("Too many iterations in double brent\n");
    for (int j = 1; j <= n; ++j) {
        xi[j] *= xmin;
        p[j] += xi[j];
    }
    qorvane_apply_prior_knowledge(ctx, p);
}

void frprmn(QorvaneFitContext* ctx, int n, double ftol, int* iter, double* fret, double* p) {
    QorvaneFitEngineScratch* e = ctx->engine;
    double* g = e->g;
    double* h = e->h;
    double* xi = e->xi;
    const int itmax = ctx->niter;
    double fp = fnc(ctx, p);
    dfnc(ctx, p, xi);
    for (int j = 1; j <= n; ++j) {
        g[j] = -xi[j];
        xi[j] = h[j] = g[j];
    }
    *fret = fp;
    for (int its = 1; its <= itmax; ++its) {
        *iter = its;
        if (ctx->verbos > 0) printf("\nfrprmn iteration step %d of maximum %d allowed steps \n", its, itmax);
        linmin(ctx, p, xi, n, fret);
        if (2.0 * fabs(*fret - fp) <= ftol * (fabs(*fret) + fabs(fp) + 1.0e-10)) {
            e->last_converged = 1;
            return;
        }
        // A NaN cost cannot improve; stop instead of wandering for itmax iterations.
        if (std::isnan(*fret)) {
            e->last_converged = 0;
            return;
        }
        fp = *fret;
        dfnc(ctx, p, xi);
        double gg = 0.0, dgg = 0.0;
        for (int j = 1; j <= n; ++j) {
            gg += g[j] * g[j];
            dgg += (xi[j] + g[j]) * xi[j];
        }
        if (gg == 0.0) {
            e->last_converged = 1;
            return;
        }
        double gam = dgg / gg;
        for (int j = 1; j <= n; ++j) {
            g[j] = -xi[j];
            xi[j] = h[j] = g[j] + gam * h[j];
        }
    }
    e->last_converged = 0;
    if (ctx->verbos >= 2) printf("pause in void frprmn: too many iterations \n");
}

// Uniform draws of the random search: u in [-0.5, 1.5), v in [0, 2).
static double qorvane_draw_u() { return 2.0 * qorvane_rand() / 32768.0 - 0.5; }
static double qorvane_draw_v() { return 2.0 * qorvane_rand() / 32768.0; }

// A parameter the random search may move: fitted in this pass, free, with a real range.
static int qorvane_random_movable(const QorvaneFitContext* ctx, int j) {
    return qorvane_param_fitted(ctx, j) && ctx->par_min[j] < ctx->par_max[j];
}

// Random-search ranges of every parameter (the free ones from their limits, the others fixed at
// their start); true when every start value lies inside its range.
static bool qorvane_random_ranges(QorvaneFitContext* ctx, const double* p) {
    const int npar = ctx->npar;
    const int nl = qorvane_nlp(ctx);
    const int talk = ctx->verbos > 1;
    for (int j = 1; j <= npar; ++j) {
        if (j <= 5 * nl) {
            ctx->par_min[j] = ctx->fixpar[j].min;
            ctx->par_max[j] = ctx->fixpar[j].max;
        } else {
            ctx->par_min[j] = ctx->par_max[j] = p[j];
        }
        if (talk) printf("parameter[%d] - minpar = %e  maxpar = %e \n", j, ctx->par_min[j], ctx->par_max[j]);
    }
    if (talk) printf("Check the parameter ranges ...\n");
    int bad = 0;
    for (int j = 1; j <= 5 * nl; ++j) {
        bool inside = p[j] >= ctx->par_min[j] && p[j] <= ctx->par_max[j];
        if (inside) continue;
        if (ctx->fixpar[j].fixed_to == 0) {
            printf("i n d e p e n d e n t  parameter %d  not ok startvalue = %e  ; min-value =  %e max-value = %e\n", j,
                   p[j], ctx->par_min[j], ctx->par_max[j]);
            bad = 1;
        } else if (ctx->par_ranges != 3) {
            printf("d e p e n d e n t  parameter %d  not ok startvalue = %e  ; min-value =  %e max-value = %e\n", j,
                   p[j], ctx->par_min[j], ctx->par_max[j]);
            bad = 1;
        }
    }
    return !bad;
}

// The first population drawn over the whole ranges; e->best keeps the best, whose cost is returned.
static double qorvane_random_population(QorvaneFitContext* ctx, const double* p, int population) {
    QorvaneFitEngineScratch* e = ctx->engine;
    const int npar = ctx->npar;
    const int talk = ctx->verbos > 1;
    memcpy(e->best, p, sizeof(double) * (npar + 1));
    double f_best = fnc(ctx, e->best);
    if (talk) printf("Initial function value = %e\n", f_best);
    for (int m = 0; m < population; ++m) {
        memcpy(e->trial, e->best, sizeof(double) * (npar + 1));
        for (int j = 1; j <= npar; ++j) {
            if (!qorvane_random_movable(ctx, j)) {
                e->trial[j] = p[j];
                continue;
            }
            e->trial[j] =
                0.5 * (ctx->par_min[j] + ctx->par_max[j]) + qorvane_draw_u() * (ctx->par_max[j] - ctx->par_min[j]);
        }
        double f = fnc(ctx, e->trial);
        if (f < f_best) {
            f_best = f;
            memcpy(e->best, e->trial, sizeof(double) * (npar + 1));
            if (talk) printf("Minimizing function value = %e\n", f_best);
        }
    }
    return f_best;
}

// The narrowing search around e->best from cost f_best; returns the final cost and sets
// e->last_converged when the search ended by its own schedule.
static double qorvane_random_narrow(QorvaneFitContext* ctx, int population, int niter, double f_best) {
    QorvaneFitEngineScratch* e = ctx->engine;
    const int npar = ctx->npar;
    const int talk = ctx->verbos > 1;
    const int kmax = niter > 20 ? 20 : niter;
    // The improvement test can keep k unchanged for a long time; the iteration count is
    // bounded as well so that a search always ends.
    const int max_iterations = 1000 * (kmax > 0 ? kmax : 1);
    int k = 1;
    int it = 0;
    for (; k <= kmax && it < max_iterations; ++it) {
        const double f_start = f_best;
        memcpy(e->start, e->best, sizeof(double) * (npar + 1));
        for (int m = 0; m < population; ++m) {
            memcpy(e->trial, e->best, sizeof(double) * (npar + 1));
            for (int j = 1; j <= npar; ++j) {
                if (!qorvane_random_movable(ctx, j)) continue;
                const double range = ctx->par_max[j] - ctx->par_min[j];
                double value = e->best[j];
                bool found = false;
                // A step can round back onto a bound; such draws are repeated, a bounded number of times.
                for (int redraw = 0; redraw < 10000 && !found; ++redraw) {
                    const double u = qorvane_draw_u();
                    const double v = qorvane_draw_v();
                    const double s = v < 0.5 ? -1.0 : 1.0;
                    value = e->best[j] + range * s * exp(-2.0 * fabs(u) * (double)k * (double)k);
                    found = value > ctx->par_min[j] && value < ctx->par_max[j];
                }
                if (!found) {
                    value = e->best[j];
                    if (!(value > ctx->par_min[j] && value < ctx->par_max[j]))
                        value = 0.5 * (ctx->par_min[j] + ctx->par_max[j]);
                }
                e->trial[j] = value;
            }
            double f = fnc(ctx, e->trial);
            if (f < f_best) {
                f_best = f;
                memcpy(e->best, e->trial, sizeof(double) * (npar + 1));
            }
        }
        // A start value of 0 (perfect fit) or a non-finite one counts as no improvement.
        double rel = (f_start > 0.0 && std::isfinite(f_start)) ? (f_start - f_best) / f_start : 0.0;
        if (talk) printf("k-value  %d  normal improvement %E \n", k, rel);
        if (rel > 0.001) {
            const double f_before = f_best;
            for (int j = 1; j <= npar; ++j) {
                if (!qorvane_random_movable(ctx, j)) continue;
                memcpy(e->trial, e->best, sizeof(double) * (npar + 1));
                e->trial[j] = e->start[j];
                double f = fnc(ctx, e->trial);
                if (f < f_best) {
                    f_best = f;
                    memcpy(e->best, e->trial, sizeof(double) * (npar + 1));
                }
            }
            if (talk) printf("Secondary improvement : %E\n", f_before > 0.0 ? (f_before - f_best) / f_before : 0.0);
            rel = (f_start - f_best) / f_start;
        }
        if (!(rel >= 0.0005)) ++k;
        if (talk) printf("Iteration end.. \n");
    }
    // The search ends by its own schedule (k past its limit); only the safety bound is a cut-off.
    e->last_converged = k > kmax;
    return f_best;
}

// With ranges mode 3 the range of each tied parameter is re-centred on its fitted value.
static void qorvane_random_recentre_ranges(QorvaneFitContext* ctx, const double* p) {
    const int nl = qorvane_nlp(ctx);
    const int talk = ctx->verbos > 1;
    if (ctx->par_ranges == 3) {
        if (talk) printf("Changing ranges ...\n");
        for (int line = 1; line <= nl; ++line)
            for (int o = 1; o <= 5; ++o) {
                int j = qorvane_par_index(line, o);
                int q = ctx->fixpar[j].fixed_to;
                if (q == 0 || q == line || q < 1 || q > nl) continue;
                int r = qorvane_par_index(q, o);
                double half = 0.5 * fabs(ctx->fixpar[r].max - ctx->fixpar[r].min);
                ctx->fixpar[j].min = p[j] - half;
                ctx->fixpar[j].max = p[j] + half;
            }
    } else if (talk) {
        printf("Ranges not changed ... ranges = %d \n", ctx->par_ranges);
    }
}

int random_maximum_likelihood_minimizer(QorvaneFitContext* ctx, double* p, int population, int niter) {
    QorvaneFitEngineScratch* e = ctx->engine;
    const int npar = ctx->npar;
    const int talk = ctx->verbos > 1;
    if (talk) {
        printf("Success: Memory requested to store par_max[] and par_min[] in Ran_ML_Minimize() is available!\n");
        printf("Initialize parameter ranges for random fit...\n");
    }
    if (!qorvane_random_ranges(ctx, p)) {
        printf(" *** Corrupt initial parameter array : \n");
        printf(" Initial parameter values do not satisfy the parameter boundary conditions \n");
        printf(" program terminates ...\n");
        return qorvane_status_fail(&ctx->status, 1, "initial parameter values outside their random-search ranges");
    }
    if (talk) printf("All initial parameters are O.K. \n");

    qorvane_srand((unsigned)ctx->nLines);
    if (talk) {
        printf("Calling InitRandomSearch ...\n");
        printf("InitRandomSearch npar      = %d \n", npar);
        printf("InitRandomSearch lsf_coefs = %d \n", ctx->lsfcfs);
        printf("InitRandomSearch ap        = %d \n", population);
        printf("InitRandomSearch nLines    = %d \n", ctx->nLines);
        printf("InitRandomSearch N         = %d \n", ctx->n_pnts);
    }
    double f_best = qorvane_random_population(ctx, p, population);
    if (talk) {
        printf("Vector containing minimizing parameters : \n");
        for (int j = 1; j <= npar; ++j) printf("%e\n", e->best[j]);
        printf("Minimum function-value : %e\n", f_best);
        printf("Calling Random_Minimize ...\n");
    }

    qorvane_random_narrow(ctx, population, niter, f_best);
    memcpy(p, e->best, sizeof(double) * (npar + 1));
    qorvane_apply_prior_knowledge(ctx, p);
    double f_final = fnc(ctx, p);
    if (talk) {
        printf("Obtained minimum : \n");
        printf("  Vector containing minimizing parameters : \n");
        for (int j = 1; j <= npar; ++j) printf("%e\n", p[j]);
        printf("  Minimum function-value : %e\n", f_final);
        printf("Finished Random_Minimize ...\n");
    }
    qorvane_random_recentre_ranges(ctx, p);
    return QORVANE_RC_OK;
}

// Model at p (prior knowledge applied) into yre/yim and its copy w_bre/w_bim: the base that
// qorvane_model_derivative differences against.
static void qorvane_model_base(QorvaneFitContext* ctx, double* p) {
    const int n = ctx->n_pnts;
    qorvane_apply_prior_knowledge(ctx, p);
    qorvane_model_all(ctx, p);
    memcpy(ctx->w_bre, ctx->yre, sizeof(double) * n);
    memcpy(ctx->w_bim, ctx->yim, sizeof(double) * n);
}

// Forward-difference derivative of the model with respect to parameter j against the base
// modelled at p; p, the lines and yre/yim are restored afterwards. Returns 1 when the base is
// intact for the next parameter, 0 when modelling also rewrites state the restore does not
// cover (with a line-shape function, every model rebuilds it and renormalises p's coefficients).
static int qorvane_model_derivative(QorvaneFitContext* ctx, int j, double* p, double* dre, double* dim) {
    QorvaneFitEngineScratch* e = ctx->engine;
    const int n = ctx->n_pnts;
    int mark[QORVANE_MAX_LINES + 1];
    memcpy(e->keep_par, p, sizeof(double) * (ctx->npar + 1));
    int partial = qorvane_affected_lines(ctx, j, mark);
    double h;
    if (p[j] != 0.0) {
        h = p[j] * 1.0e-07;
        p[j] = p[j] * 1.0000001;
    } else {
        h = 1.0e-07;
        p[j] = 1.0e-07;
    }
    qorvane_apply_prior_knowledge(ctx, p);
    qorvane_model_perturbed(ctx, p, mark, partial);
    for (int k = 0; k < n; ++k) {
        dre[k] = (ctx->yre[k] - ctx->w_bre[k]) / h;
        dim[k] = (ctx->yim[k] - ctx->w_bim[k]) / h;
    }
    memcpy(p, e->keep_par, sizeof(double) * (ctx->npar + 1));
    qorvane_restore_lines(ctx, mark, partial);
    qorvane_sum_lines(ctx);
    return !(ctx->lsfcfs > 0 && ctx->fit_mo == 3);
}

void f_new_complex_select(QorvaneFitContext* ctx, int j, double* p, double* dre, double* dim) {
    qorvane_model_base(ctx, p);
    qorvane_model_derivative(ctx, j, p, dre, dim);
}

// Fisher matrix F_ab = sum over the fitted points (wre + wim != 0) of gre_a gre_b (modes 0, 2
// and above 2) plus gim_a gim_b (modes 1 and 2), for the nf derivative columns of n points.
// The derivatives at those points are first packed into one dense column each (packed: 2 n nf
// doubles, pt: n ints), so that the sums run without a test per point.
static void qorvane_fisher(const QorvaneFitContext* ctx, const double* gre, const double* gim, int nf, double* packed,
                           int* pt, double* fisher) {
    const int n = ctx->n_pnts, mode = ctx->cmplx;
    const bool use_re = mode != 1;
    const bool use_im = mode == 1 || mode == 2;
    int np = 0;
    for (int i = 0; i < n; ++i)
        if (ctx->wre[i] + ctx->wim[i] != 0.0) pt[np++] = i;
    const int m = np * ((use_re ? 1 : 0) + (use_im ? 1 : 0));
    for (int a = 0; a < nf; ++a) {
        double* col = packed + (size_t)a * m;
        const double* ra = gre + (size_t)a * n;
        const double* ia = gim + (size_t)a * n;
        int e = 0;
        for (int t = 0; t < np; ++t) {
            if (use_re) col[e++] = ra[pt[t]];
            if (use_im) col[e++] = ia[pt[t]];
        }
    }
    qorvane_gram(packed, (size_t)m, nf, m, nullptr, fisher, nullptr);
}

void ncr_mvb(QorvaneFitContext* ctx) {
    QorvaneFitEngineScratch* e = ctx->engine;
    const int n = ctx->n_pnts;
    const int npar = ctx->npar;
    const int nl = qorvane_nlp(ctx);
    const int mode = ctx->cmplx;
    if (ctx->verbos > 0) {
        if (mode == 1)
            printf("calculating errors for dispersion channal case ...\n");
        else if (mode == 2)
            printf("calculating errors for complex case ...\n");
        else
            printf("calculating errors for absorption channal case ...\n");
    }

    // The noise level on the scale of the data arrays (they hold data / data_scale).
    const double sigma = ctx->sigma_abs / (e->data_scale > 0.0 ? e->data_scale : 1.0);
    int nf = 0;
    for (int j = 1; j <= npar; ++j) {
        ctx->errpar[j] = 0.0;
        if (qorvane_param_fitted(ctx, j)) e->fitted_index[nf++] = j;
    }
    if (nf > QORVANE_GAUSSJ_MAX) nf = QORVANE_GAUSSJ_MAX;
    // derivatives gre and gim (n per parameter each), their packed copy (2 n per parameter) and
    // the fitted points' indices, in the engine's working memory
    const size_t per = (size_t)n * (size_t)(nf > 0 ? nf : 1);
    double* block = qorvane_engine_work(e, 4 * per + (size_t)n);
    double* gre = block;
    double* gim = block != nullptr ? block + per : nullptr;
    if (gre == nullptr) printf(" Memory requested to store gr_l_re[] in cr_mvb() is not available\n");
    if (gim == nullptr) printf(" Memory requested to store gr_l_im[] in cr_mvb() is not available\n");
    if (gre != nullptr && gim != nullptr && nf > 0) {
        // The base model is the same for every parameter: built once, and again only after a
        // perturbation that the restore does not undo.
        bool base_ok = false;
        for (int a = 0; a < nf; ++a) {
            if (!base_ok) qorvane_model_base(ctx, ctx->par_vec);
            base_ok = qorvane_model_derivative(ctx, e->fitted_index[a], ctx->par_vec, gre + (size_t)a * n,
                                               gim + (size_t)a * n) != 0;
        }
        qorvane_fisher(ctx, gre, gim, nf, block + 2 * per, reinterpret_cast<int*>(block + 4 * per), e->fisher);
        // A parameter the model does not depend on inside the fitted points (the Lorentzian
        // width of a pure Gaussian line, a line outside every interval) has a zero row; it
        // would make the whole matrix singular, so it is left out and gets no bound.
        int keep[QORVANE_MAX_PARAMS];
        int nk = 0;
        for (int a = 0; a < nf; ++a)
            if (e->fisher[a * nf + a] > 0.0) keep[nk++] = a;
        if (nk < nf) {
            for (int a = 0; a < nk; ++a)
                for (int b = 0; b < nk; ++b) e->fisher[a * nk + b] = e->fisher[keep[a] * nf + keep[b]];
        }
        if (nk > 0 && gaussj(e->fisher, nk, nk) == 0) {
            for (int a = 0; a < nk; ++a) {
                double v = e->fisher[a * nk + a];
                ctx->errpar[e->fitted_index[keep[a]]] = 2.0 * sigma * sqrt(fabs(v));
            }
        }
    }
    // Dependent parameters take the error of the parameter they follow.
    for (int line = 1; line <= nl; ++line)
        for (int o = 1; o <= 5; ++o) {
            int j = qorvane_par_index(line, o);
            int q = ctx->fixpar[j].fixed_to;
            if (q == 0) continue;
            if (q == line || q < 1 || q > nl) {
                ctx->errpar[j] = 0.0;
                continue;
            }
            int r = qorvane_par_index(q, o);
            if (o == QORVANE_PAR_AREA)
                ctx->errpar[j] =
                    ctx->fixpar[r].value != 0.0 ? ctx->errpar[r] * ctx->fixpar[j].value / ctx->fixpar[r].value : 0.0;
            else
                ctx->errpar[j] = ctx->errpar[r];
        }
    if (ctx->verbos > 0) printf("number of parameters fitted                 : %5d\n", nf);
}
