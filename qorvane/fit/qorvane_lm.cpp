#include "qorvane_lm.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lineshape.h"
#include "qorvane_fit_scratch.h"
#include "qorvane_gram.h"
#include "qorvane_minimize.h"

static std::atomic<int> g_qorvane_minimizer{QORVANE_MINIMIZER_LM};

void qorvane_minimizer_select(int which) {
    g_qorvane_minimizer.store(which == QORVANE_MINIMIZER_REFERENCE ? QORVANE_MINIMIZER_REFERENCE
                                                                   : QORVANE_MINIMIZER_LM);
}

int qorvane_minimizer_selected() { return g_qorvane_minimizer.load(); }

static int qlm_nlp(const QorvaneFitContext* ctx) { return ctx->nLines + ctx->pattrn; }

int qorvane_lm_applicable(const QorvaneFitContext* ctx) {
    if (ctx->engine == nullptr || ctx->engine->lsf_pass) return 0;
    if (ctx->wtype == 3 || ctx->cmplx < 0 || ctx->cmplx > 4) return 0;
    for (int i = 0; i < ctx->n_pnts; ++i)
        if (ctx->wre[i] < 0.0 || ctx->wim[i] < 0.0) return 0;
    // With nothing free to fit the classic scheme's single line minimisation is kept.
    const int nl = qlm_nlp(ctx);
    for (int j = 1; j <= 5 * nl && j <= ctx->npar; ++j)
        if (qorvane_param_fitted(ctx, j)) return 1;
    return 0;
}

// Residual of point i in each channel; `which` selects the value (0) or, for a model
// derivative (dre, dim) at the model (yre, yim), the derivative of the residual (1).
// Returns the number of entries written (0..2) in the order the chi-square sums them.
static int qlm_point(const QorvaneFitContext* ctx, int i, const double* yre, const double* yim, const double* dre,
                     const double* dim, double* out) {
    const double wr = ctx->wre[i], wi = ctx->wim[i];
    const bool deriv = dre != nullptr;
    if (ctx->wtype == 7) {
        const double d = 1.0 + ctx->xre[i] * ctx->xre[i] + ctx->xim[i] * ctx->xim[i];
        out[0] = sqrt(wr / d) * (deriv ? -dre[i] : ctx->xre[i] - yre[i]);
        if (ctx->cmplx != 2) return 1;
        out[1] = sqrt(wi / d) * (deriv ? -dim[i] : ctx->xim[i] - yim[i]);
        return 2;
    }
    switch (ctx->cmplx) {
        case 0:
            out[0] = sqrt(wr) * (deriv ? -dre[i] : ctx->xre[i] - yre[i]);
            return 1;
        case 1:
            out[0] = sqrt(wi) * (deriv ? -dim[i] : ctx->xim[i] - yim[i]);
            return 1;
        case 2:
            out[0] = sqrt(wr) * (deriv ? -dre[i] : ctx->xre[i] - yre[i]);
            out[1] = sqrt(wi) * (deriv ? -dim[i] : ctx->xim[i] - yim[i]);
            return 2;
        case 3: {
            const double ym = hypot(yre[i], yim[i]);
            if (deriv)
                out[0] = ym > 0.0 ? -(yre[i] * dre[i] + yim[i] * dim[i]) / ym : 0.0;
            else
                out[0] = hypot(ctx->xre[i], ctx->xim[i]) - ym;
            return 1;
        }
        default: {
            if (deriv)
                out[0] = -2.0 * (yre[i] * dre[i] + yim[i] * dim[i]);
            else
                out[0] = (ctx->xre[i] * ctx->xre[i] + ctx->xim[i] * ctx->xim[i]) - (yre[i] * yre[i] + yim[i] * yim[i]);
            return 1;
        }
    }
}

static int qlm_map(const QorvaneFitContext* ctx, const double* yre, const double* yim, const double* dre,
                   const double* dim, double* r) {
    int m = 0;
    for (int i = 0; i < ctx->n_pnts; ++i) {
        if (ctx->wre[i] + ctx->wim[i] == 0.0) continue;
        m += qlm_point(ctx, i, yre, yim, dre, dim, r + m);
    }
    return m;
}

int qorvane_lm_residuals(const QorvaneFitContext* ctx, double* r) {
    return qlm_map(ctx, ctx->yre, ctx->yim, nullptr, nullptr, r);
}

namespace {

// Unit-area spectra of every line and their frequency / width derivatives at one point p.
struct QlmLines {
    double* unit_re;  // [line][N], line 1 first
    double* unit_im;
    double* d_re[3];  // [line][N] per derivative
    double* d_im[3];
};

struct QlmState {
    QorvaneFitContext* ctx;
    int n, nl, nf, m;
    int free_index[QORVANE_MAX_PARAMS + 1];  // parameter of each free column
    int need[QORVANE_MAX_LINES + 1];         // derivative bits each line needs
    double* work;                            // 8 N transform scratch
    QlmLines lines[2];                       // current point and trial
    double* jac;                             // m x nf, column-major
    double* r;                               // residuals at the current point
    double* dre;                             // one model derivative
    double* dim;
    // Residuals linear in the model (weighting types other than 3, spectrum modes 0..2): entry e
    // of a residual vector is w[e] * (data - model) of point pt[e] in channel `im` (or, with
    // `pairs`, the real and then the imaginary channel of each point, weights w and w2).
    int linear, pairs, im, npt;
    int* pt;
    double* w;
    double* w2;
    double* a;    // nf x nf normal matrix J^T J
    double* g;    // J^T r
    double* mat;  // damped scaled matrix, factorised in place
    double* z;
};

size_t qlm_line_slot(const QlmState& s, int line) { return (size_t)(line - 1) * (size_t)s.n; }

// Lines whose parameter with offset o follows (is tied to) line q, and the factor of the tie.
double qlm_tie_factor(const QorvaneFitContext* ctx, int i, int q, int o) {
    const int j = qorvane_par_index(i, o);
    if (i == q) return 1.0;
    if (ctx->fixpar[j].fixed_to != q) return 0.0;
    if (o != QORVANE_PAR_AREA) return 1.0;
    const double v_ref = ctx->fixpar[qorvane_par_index(q, o)].value;
    return v_ref != 0.0 ? ctx->fixpar[j].value / v_ref : 0.0;
}

// Model at p (prior knowledge applied) into yre/yim and the lines' spectra into L; returns chi-square.
double qlm_evaluate(QlmState& s, double* p, QlmLines& L) {
    QorvaneFitContext* ctx = s.ctx;
    qorvane_apply_prior_knowledge(ctx, p);
    const int n = s.n;
    memset(ctx->yre, 0, sizeof(double) * n);
    memset(ctx->yim, 0, sizeof(double) * n);
    for (int i = 1; i <= s.nl; ++i) {
        const size_t off = qlm_line_slot(s, i);
        double* dr[3] = {L.d_re[0] + off, L.d_re[1] + off, L.d_re[2] + off};
        double* di[3] = {L.d_im[0] + off, L.d_im[1] + off, L.d_im[2] + off};
        single_line_with_derivatives(ctx, p, i, s.need[i], s.work, L.unit_re + off, L.unit_im + off, dr, di);
        const double area = p[qorvane_par_index(i, QORVANE_PAR_AREA)];
        const double* ur = L.unit_re + off;
        const double* ui = L.unit_im + off;
        for (int k = 0; k < n; ++k) {
            ctx->yre[k] += area * ur[k];
            ctx->yim[k] += area * ui[k];
        }
    }
    return qorvane_chi2(ctx);
}

// Sets up the linear residual map when the step's chi-square is one (see QlmState).
void qlm_prepare_map(QlmState& s) {
    const QorvaneFitContext* ctx = s.ctx;
    s.linear = ctx->wtype != 3 && ctx->cmplx >= 0 && ctx->cmplx <= 2;
    if (!s.linear) return;
    s.pairs = ctx->cmplx == 2;
    s.im = ctx->wtype != 7 && ctx->cmplx == 1;
    s.npt = 0;
    for (int i = 0; i < s.n; ++i) {
        const double wr = ctx->wre[i], wi = ctx->wim[i];
        if (wr + wi == 0.0) continue;
        const double d = ctx->wtype == 7 ? 1.0 + ctx->xre[i] * ctx->xre[i] + ctx->xim[i] * ctx->xim[i] : 1.0;
        s.pt[s.npt] = i;
        s.w[s.npt] = sqrt((s.im ? wi : wr) / d);
        s.w2[s.npt] = sqrt(wi / d);
        ++s.npt;
    }
}

// qlm_map through the linear map when there is one: residuals (dre == nullptr) or the
// derivative of the residuals for the model derivative (dre, dim).
int qlm_map_state(const QlmState& s, const double* dre, const double* dim, double* r) {
    const QorvaneFitContext* ctx = s.ctx;
    if (!s.linear) return qlm_map(ctx, ctx->yre, ctx->yim, dre, dim, r);
    const double* xr = ctx->xre;
    const double* xi = ctx->xim;
    const double* yr = ctx->yre;
    const double* yi = ctx->yim;
    if (s.pairs) {
        if (dre != nullptr)
            for (int e = 0; e < s.npt; ++e) {
                r[2 * e] = -s.w[e] * dre[s.pt[e]];
                r[2 * e + 1] = -s.w2[e] * dim[s.pt[e]];
            }
        else
            for (int e = 0; e < s.npt; ++e) {
                r[2 * e] = s.w[e] * (xr[s.pt[e]] - yr[s.pt[e]]);
                r[2 * e + 1] = s.w2[e] * (xi[s.pt[e]] - yi[s.pt[e]]);
            }
        return 2 * s.npt;
    }
    const double* d = s.im ? dim : dre;
    const double* x = s.im ? xi : xr;
    const double* y = s.im ? yi : yr;
    if (dre != nullptr)
        for (int e = 0; e < s.npt; ++e) r[e] = -s.w[e] * d[s.pt[e]];
    else
        for (int e = 0; e < s.npt; ++e) r[e] = s.w[e] * (x[s.pt[e]] - y[s.pt[e]]);
    return s.npt;
}

// Jacobian column of parameter offset o of line q straight from the line's spectra when no
// other line follows that parameter and the residuals are linear: -w * (derivative of the
// model) at the fitted points, the same numbers as building the model derivative first.
// False when the general path must build it.
bool qlm_column_direct(const QlmState& s, const double* p, const QlmLines& L, int q, int o, double* col) {
    if (!s.linear) return false;
    for (int i = 1; i <= s.nl; ++i)
        if (i != q && qlm_tie_factor(s.ctx, i, q, o) != 0.0) return false;
    const size_t off = qlm_line_slot(s, q);
    const double area = p[qorvane_par_index(q, QORVANE_PAR_AREA)];
    const double *sr = L.unit_re + off, *si = L.unit_im + off;
    double f = 1.0;
    bool rotate = false;  // the phase derivative is i times the spectrum
    if (o == QORVANE_PAR_PHASE) {
        f = area * M_PI / 180.0;
        rotate = true;
    } else if (o != QORVANE_PAR_AREA) {
        const int qd = o == QORVANE_PAR_FREQ ? 0 : (o == QORVANE_PAR_WIDTH1 ? 1 : 2);
        sr = L.d_re[qd] + off;
        si = L.d_im[qd] + off;
        f = area;
    }
    const int* pt = s.pt;
    if (s.pairs) {
        for (int e = 0; e < s.npt; ++e) {
            const int k = pt[e];
            col[2 * e] = -s.w[e] * (rotate ? -(f * si[k]) : f * sr[k]);
            col[2 * e + 1] = -s.w2[e] * (rotate ? f * sr[k] : f * si[k]);
        }
        return true;
    }
    const bool im = s.im;
    for (int e = 0; e < s.npt; ++e) {
        const int k = pt[e];
        const double d = im ? (rotate ? f * sr[k] : f * si[k]) : (rotate ? -(f * si[k]) : f * sr[k]);
        col[e] = -s.w[e] * d;
    }
    return true;
}

// Jacobian of the residuals at the point whose lines are in L (model in yre/yim), with
// J^T J and J^T r.
void qlm_jacobian(QlmState& s, const double* p, const QlmLines& L) {
    QorvaneFitContext* ctx = s.ctx;
    const int n = s.n;
    for (int a = 0; a < s.nf; ++a) {
        const int j = s.free_index[a];
        const int q = (j - 1) / 5 + 1;
        const int o = (j - 1) % 5 + 1;
        if (qlm_column_direct(s, p, L, q, o, s.jac + (size_t)a * s.m)) continue;
        memset(s.dre, 0, sizeof(double) * n);
        memset(s.dim, 0, sizeof(double) * n);
        for (int i = 1; i <= s.nl; ++i) {
            const double c = qlm_tie_factor(ctx, i, q, o);
            if (c == 0.0) continue;
            const size_t off = qlm_line_slot(s, i);
            const double area = p[qorvane_par_index(i, QORVANE_PAR_AREA)];
            const double* ur = L.unit_re + off;
            const double* ui = L.unit_im + off;
            if (o == QORVANE_PAR_AREA) {
                for (int k = 0; k < n; ++k) {
                    s.dre[k] += c * ur[k];
                    s.dim[k] += c * ui[k];
                }
            } else if (o == QORVANE_PAR_PHASE) {
                const double f = c * area * M_PI / 180.0;
                for (int k = 0; k < n; ++k) {
                    s.dre[k] -= f * ui[k];
                    s.dim[k] += f * ur[k];
                }
            } else {
                const int qd = o == QORVANE_PAR_FREQ ? 0 : (o == QORVANE_PAR_WIDTH1 ? 1 : 2);
                const double* dr = L.d_re[qd] + off;
                const double* di = L.d_im[qd] + off;
                const double f = c * area;
                for (int k = 0; k < n; ++k) {
                    s.dre[k] += f * dr[k];
                    s.dim[k] += f * di[k];
                }
            }
        }
        qlm_map_state(s, s.dre, s.dim, s.jac + (size_t)a * s.m);
    }
    qlm_map_state(s, nullptr, nullptr, s.r);
    qorvane_gram(s.jac, (size_t)s.m, s.nf, s.m, s.r, s.a, s.g);
}

// Cholesky factorisation of the nf x nf matrix in place (lower triangle); 0 on success.
int qlm_cholesky(double* a, int nf) {
    for (int j = 0; j < nf; ++j) {
        double d = a[j * nf + j];
        for (int k = 0; k < j; ++k) d -= a[j * nf + k] * a[j * nf + k];
        if (!(d > 0.0)) return 1;
        d = sqrt(d);
        a[j * nf + j] = d;
        for (int i = j + 1; i < nf; ++i) {
            double v = a[i * nf + j];
            for (int k = 0; k < j; ++k) v -= a[i * nf + k] * a[j * nf + k];
            a[i * nf + j] = v / d;
        }
    }
    return 0;
}

void qlm_solve(const double* l, int nf, double* x) {
    for (int i = 0; i < nf; ++i) {
        double v = x[i];
        for (int k = 0; k < i; ++k) v -= l[i * nf + k] * x[k];
        x[i] = v / l[i * nf + i];
    }
    for (int i = nf - 1; i >= 0; --i) {
        double v = x[i];
        for (int k = i + 1; k < nf; ++k) v -= l[k * nf + i] * x[k];
        x[i] = v / l[i * nf + i];
    }
}

// Bit q of the derivatives line i needs: its own free parameter or a free one it follows.
int qlm_line_needs(const QorvaneFitContext* ctx, int i) {
    static const int offsets[3] = {QORVANE_PAR_FREQ, QORVANE_PAR_WIDTH1, QORVANE_PAR_WIDTH2};
    int need = 0;
    for (int q = 0; q < 3; ++q) {
        const int j = qorvane_par_index(i, offsets[q]);
        const int to = ctx->fixpar[j].fixed_to;
        int used;
        if (to == 0)
            used = qorvane_param_fitted(ctx, j);
        else if (to == i || to < 1 || to > qlm_nlp(ctx))
            used = 0;
        else
            used = qorvane_param_fitted(ctx, qorvane_par_index(to, offsets[q]));
        if (used) need |= 1 << q;
    }
    return need;
}

// Lays out the line spectra, the Jacobian and the normal equations in the engine's working
// memory; nullptr when the memory is not there. *scale is the Marquardt scale vector.
double* qlm_allocate(QlmState& s, double** scale) {
    const size_t n = (size_t)s.n, nl = (size_t)s.nl, nf = (size_t)s.nf, m = (size_t)s.m;
    const size_t line_block = 8 * nl * n;  // unit re/im and three derivatives re/im
    const size_t total = 8 * n + 2 * line_block + m * nf + m + 2 * n + 2 * nf * nf + 3 * nf + 3 * n;
    double* buf = qorvane_engine_work(s.ctx->engine, total);
    if (buf == nullptr) return nullptr;
    double* next = buf;
    auto take = [&next](size_t count) {
        double* q = next;
        next += count;
        return q;
    };
    s.work = take(8 * n);
    for (QlmLines& L : s.lines) {
        L.unit_re = take(nl * n);
        L.unit_im = take(nl * n);
        for (int q = 0; q < 3; ++q) {
            L.d_re[q] = take(nl * n);
            L.d_im[q] = take(nl * n);
        }
    }
    s.jac = take(m * nf);
    s.r = take(m);
    s.dre = take(n);
    s.dim = take(n);
    s.a = take(nf * nf);
    s.mat = take(nf * nf);
    s.g = take(nf);
    s.z = take(nf);
    *scale = take(nf);
    s.w = take(n);
    s.w2 = take(n);
    s.pt = reinterpret_cast<int*>(take(n));  // n ints fit in n doubles
    return buf;
}

// Solves the scaled normal equations damped by lambda and forms the trial parameters with the
// bounds applied and widths kept >= 0; s.z is then the step actually taken. False when the damped
// matrix is not positive definite.
bool qlm_trial(QlmState& s, const double* p, const double* scale, double lambda, const double* lo, const double* hi,
               double* trial_p) {
    const QorvaneFitContext* ctx = s.ctx;
    for (int a = 0; a < s.nf; ++a) {
        for (int b = 0; b < s.nf; ++b) {
            const double den = scale[a] * scale[b];
            s.mat[a * s.nf + b] = den > 0.0 ? s.a[a * s.nf + b] / den : 0.0;
        }
        s.mat[a * s.nf + a] = 1.0 + lambda;  // a parameter without effect keeps a zero step
        s.z[a] = scale[a] > 0.0 ? -s.g[a] / scale[a] : 0.0;
    }
    if (qlm_cholesky(s.mat, s.nf) != 0) return false;
    qlm_solve(s.mat, s.nf, s.z);
    memcpy(trial_p, p, sizeof(double) * (ctx->npar + 1));
    for (int a = 0; a < s.nf; ++a) {
        const int j = s.free_index[a];
        double v = p[j] + (scale[a] > 0.0 ? s.z[a] / scale[a] : 0.0);
        if (lo != nullptr && v < lo[j]) v = lo[j];
        if (hi != nullptr && v > hi[j]) v = hi[j];
        if (v < 0.0 && j <= 5 * s.nl && qorvane_width_param(j)) v = 0.0;  // widths stay >= 0
        s.z[a] = v - p[j];                                                // the step actually taken
        trial_p[j] = v;
    }
    return true;
}

// Chi-square decrease the linear model predicts for the step s.z: -(2 dz.g + dz.A.dz).
double qlm_predicted_decrease(const QlmState& s) {
    double pred = 0.0;
    for (int a = 0; a < s.nf; ++a) {
        double ad = 0.0;
        for (int b = 0; b < s.nf; ++b) ad += s.a[a * s.nf + b] * s.z[b];
        pred -= 2.0 * s.z[a] * s.g[a] + s.z[a] * ad;
    }
    return pred;
}

}  // namespace

int qorvane_lm_minimize(QorvaneFitContext* ctx, double* p, int niter, double ftol, const double* lo, const double* hi,
                        int* iter, double* fret) {
    QlmState s;
    memset(&s, 0, sizeof s);
    s.ctx = ctx;
    s.n = ctx->n_pnts;
    s.nl = qlm_nlp(ctx);
    *iter = 0;
    for (int j = 1; j <= 5 * s.nl && j <= ctx->npar; ++j)
        if (qorvane_param_fitted(ctx, j)) s.free_index[s.nf++] = j;
    for (int i = 1; i <= s.nl; ++i) s.need[i] = qlm_line_needs(ctx, i);
    s.m = 0;
    for (int i = 0; i < s.n; ++i) {
        if (ctx->wre[i] + ctx->wim[i] == 0.0) continue;
        s.m += (ctx->cmplx == 2) ? 2 : 1;
    }
    if (s.nf == 0 || s.m == 0) {
        *fret = fnc(ctx, p);
        return 1;
    }
    double* scale = nullptr;
    double* buf = qlm_allocate(s, &scale);
    if (buf == nullptr) {
        printf(" Memory requested to store the Jacobian in the Levenberg-Marquardt step is not available\n");
        *fret = fnc(ctx, p);
        return 0;
    }
    double* trial_p = ctx->xt;  // scratch vector of the line function, unused here
    qlm_prepare_map(s);

    int cur = 0;
    double chi = qlm_evaluate(s, p, s.lines[cur]);
    int converged = 0;
    // Damping relative to the scaled curvatures. A start of 1e-2 rather than 1e-3 keeps the first
    // steps from jumping across neighbouring lines (four overlapping Voigt lines started 20-25 %
    // off fell into a wrong valley with 1e-3 and converged with 1e-2 .. 10).
    double lambda = 1.0e-2, nu = 2.0;
    int its = 0;
    while (!converged && its < niter && std::isfinite(chi)) {
        ++its;
        qlm_jacobian(s, p, s.lines[cur]);
        if (chi == 0.0) {
            converged = 1;
            break;
        }
        // Marquardt scaling: every parameter measured in units of its own curvature.
        double gmax = 0.0;
        for (int a = 0; a < s.nf; ++a) {
            scale[a] = sqrt(s.a[a * s.nf + a]);
            if (scale[a] > 0.0) gmax = fmax(gmax, fabs(s.g[a]) / scale[a]);
        }
        if (gmax <= 1.0e-14 * sqrt(chi)) {
            converged = 1;
            break;
        }
        bool accepted = false;
        while (!accepted) {
            if (!qlm_trial(s, p, scale, lambda, lo, hi, trial_p)) {
                lambda *= nu;
                nu *= 2.0;
                if (lambda > 1.0e20) break;
                continue;
            }
            const double pred = qlm_predicted_decrease(s);
            const int other = 1 - cur;
            const double chi_new = qlm_evaluate(s, trial_p, s.lines[other]);
            if (std::isfinite(chi_new) && chi_new < chi) {
                const double rho = pred > 0.0 ? (chi - chi_new) / pred : 0.0;
                const double t = 2.0 * rho - 1.0;
                lambda *= fmax(1.0 / 3.0, 1.0 - t * t * t);
                nu = 2.0;
                const double drop = chi - chi_new;
                memcpy(p, trial_p, sizeof(double) * (ctx->npar + 1));
                cur = other;
                chi = chi_new;
                accepted = true;
                if (2.0 * drop <= ftol * (chi + chi_new + drop) && pred <= ftol * (chi + drop)) converged = 1;
            } else {
                lambda *= nu;
                nu *= 2.0;
                // No step along any damped direction lowers chi-square any more: p is a
                // minimum to working precision.
                if (lambda > 1.0e16) {
                    converged = 1;
                    break;
                }
            }
        }
        if (!accepted && !converged) break;
    }
    // Leave the model (and the kept line spectra of the gradient code) at the final p.
    *fret = fnc(ctx, p);
    *iter = its;
    return converged;
}
