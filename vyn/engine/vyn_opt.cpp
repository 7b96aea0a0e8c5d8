// RF pulse optimiser: objective, forward-difference gradient, Polak-Ribiere
// conjugate gradients with bracketing and Brent's line search.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "consuleutil.h"
#include "rfpulseplot.h"
#include "vyn.h"
#include "vyn_prop_fast.h"
#include "vyn_prop_internal.h"
#include "vyn_sequence.h"
#include "vynoptseq.h"

VYNOptimizerState vyn_opt;

namespace {
CMatrix vo_hc;   // Izee + Icoup
CMatrix vo_p;    // pulse propagator
CMatrix vo_rho;  // state after the pulse

double (*vo_user_objective)(const double*, void*) = nullptr;
void* vo_user_data = nullptr;

bool vo_quiet() { return VYN_GetSmokeCheckMode() != 0; }

// The objective of the spin system: the pulse of parvec acts on the start
// state, <O> is measured afterwards.
double vo_spin_objective(const double* parvec) {
    const VYNSpinState& sp = vyn_spin;
    const int n = sp.n;
    const int ap = vyn_prop.ap;
    ParArrayToRFPulse(vyn_opt.npar, ap, parvec, vyn_waveform.xb, vyn_waveform.yb);
    CMatAdd(n, sp.Izee, sp.Icoup, vo_hc);
    const bool ctx = vyn_opt_context_active();
    const double offset = ctx ? g_vyn_opt_ctx.sector_offset_rad : vyn_grid.gs * vyn_grid.x0_s;
    const CMatrix& start = ctx ? g_vyn_opt_ctx.rho_in : sp.densmat;
    const CMatrix& obs = ctx ? g_vyn_opt_ctx.obs_out : sp.Istat;
    const bool abs_mode = ctx && g_vyn_opt_ctx.objective_mode == VYN_OPT_OBJECTIVE_ABS_EXPECT;

    vynopt_sector_product(n, vyn_waveform.xb, vyn_waveform.yb, ap, vyn_prop.h, offset, vo_hc, vo_p);
    CopyCMatrix(n, start, vo_rho);
    DoRotation(n, vo_p, vo_rho);
    Complex2 e{};
    ExpectationValue(n, obs, vo_rho, e);
    const double objective = abs_mode ? -std::hypot(e[1], e[2]) : -e[1];
    if (!vo_quiet()) {
        // O is the typed operator scaled to unit norm; the value of the
        // operator as typed is shown beside it where the factor is known.
        const double scale = sp.Istat_typed_scale;
        std::printf("Expectation Value <O>        : %.12e + i %.12e  (O normalised to unit norm)\n", e[1], e[2]);
        if (scale > 0.0)
            std::printf("<O> of the operator as typed : %.12e + i %.12e  (= %.12g x <O>)\n", scale * e[1], scale * e[2],
                        scale);
        std::printf("Objective used by optimizer  : %.12e  (= %s)\n\n", objective, abs_mode ? "-|<O>|" : "-Re <O>");
    }
    return objective;
}
}  // namespace

void vyn_opt_set_objective(double (*f)(const double* p, void* user), void* user) {
    vo_user_objective = f;
    vo_user_data = user;
}

double fnc(const double* parvec) {
    if (vo_user_objective) return vo_user_objective(parvec, vo_user_data);
    return vo_spin_objective(parvec);
}

double vyn_opt_gradient_step(double p) { return p == 0.0 ? 1e-7 : p / 1e7; }

void dfnc(double f, const double* parvec, int nn, double* df) {
    if (nn < 1) return;
    double* scratch = vyn_opt.xt;
    if (nn > VYN_MAX_NPAR) {
        scratch = static_cast<double*>(std::malloc(sizeof(double) * static_cast<size_t>(nn)));
        if (!scratch) return;
    }
    for (int i = 0; i < nn; ++i) {
        const double step = vyn_opt_gradient_step(parvec[i]);
        for (int j = 0; j < nn; ++j) scratch[j] = parvec[j];
        scratch[i] += step;
        df[i] = (fnc(scratch) - f) / step;
    }
    if (scratch != vyn_opt.xt) std::free(scratch);
}

double func(double x) {
    const int nn = vyn_opt.vyn_ncom;
    if (nn < 1 || nn > VYN_MAX_NPAR) return fnc(vyn_opt.par);
    double* point = vyn_opt.xt;
    for (int j = 0; j < nn; ++j) point[j] = vyn_opt.pcom[j] + x * vyn_opt.xicom[j];
    return fnc(point);
}

double sign_double(double a, double b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }

double vyn_max(double a, double b) { return a > b ? a : b; }

bool vyn_opt_converged(double fret, double fp, double ftol) {
    return 2.0 * std::fabs(fret - fp) <= ftol * (std::fabs(fret) + std::fabs(fp) + 1e-10);
}

void mnbrak(double* ax, double* bx, double* cx, double* fa, double* fb, double* fc) {
    constexpr double kGold = 1.618034, kGlimit = 100.0, kTiny = 1e-20;
    *fa = func(*ax);
    *fb = func(*bx);
    if (*fb > *fa) {
        double t = *ax;
        *ax = *bx;
        *bx = t;
        t = *fa;
        *fa = *fb;
        *fb = t;
    }
    *cx = *bx + kGold * (*bx - *ax);
    *fc = func(*cx);
    if (*fb < *fc) return;
    do {
        const double r = (*bx - *ax) * (*fb - *fc);
        const double q = (*bx - *cx) * (*fb - *fa);
        double u =
            *bx - ((*bx - *cx) * q - (*bx - *ax) * r) / (2.0 * sign_double(vyn_max(std::fabs(q - r), kTiny), q - r));
        const double ulim = *bx + kGlimit * (*cx - *bx);
        double fu = 0.0;
        if ((*bx - u) * (u - *cx) > 0.0) {
            fu = func(u);
            if (fu < *fc) {
                *ax = *bx;
                *bx = u;
                *fa = *fb;
                *fb = fu;
                return;
            }
            if (fu > *fb) {
                *cx = u;
                *fc = fu;
                return;
            }
            u = *cx + kGold * (*cx - *bx);
            fu = func(u);
        } else if ((*cx - u) * (u - ulim) > 0.0) {
            fu = func(u);
            if (fu < *fc) {
                *bx = *cx;
                *cx = u;
                u = *cx + kGold * (*cx - *bx);
                *fb = *fc;
                *fc = fu;
                fu = func(u);
            }
        } else if ((u - ulim) * (ulim - *cx) >= 0.0) {
            u = ulim;
            fu = func(u);
        } else {
            u = *cx + kGold * (*cx - *bx);
            fu = func(u);
        }
        *ax = *bx;
        *bx = *cx;
        *cx = u;
        *fa = *fb;
        *fb = *fc;
        *fc = fu;
    } while (*fb > *fc);
}

double brent(double ax, double bx, double cx, double tol, double* xmin) {
    constexpr int kItmax = 100;
    constexpr double kCgold = 0.381966, kZeps = 1e-10;
    double a = ax < cx ? ax : cx;
    double b = ax > cx ? ax : cx;
    double v = bx, w = bx, x = bx;
    double d = 0.0, e = 0.0;
    double fx = func(x);
    double fv = fx, fw = fx;
    for (int iter = 1; iter <= kItmax; ++iter) {
        const double xm = 0.5 * (a + b);
        const double tol1 = tol * std::fabs(x) + kZeps;
        const double tol2 = 2.0 * tol1;
        if (std::fabs(x - xm) <= tol2 - 0.5 * (b - a)) break;
        bool golden = true;
        if (std::fabs(e) > tol1) {
            const double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0) p = -p;
            q = std::fabs(q);
            const double etemp = e;
            e = d;
            if (!(std::fabs(p) >= std::fabs(0.5 * q * etemp) || p <= q * (a - x) || p >= q * (b - x))) {
                golden = false;
                d = p / q;
                const double u = x + d;
                if (u - a < tol2 || b - u < tol2) d = sign_double(tol1, xm - x);
            }
        }
        if (golden) {
            e = x >= xm ? a - x : b - x;
            d = kCgold * e;
        }
        const double u = std::fabs(d) >= tol1 ? x + d : x + sign_double(tol1, d);
        const double fu = func(u);
        if (fu <= fx) {
            if (u >= x)
                a = x;
            else
                b = x;
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    *xmin = x;
    return fx;
}

void linmin(double* parvec, double* xi, int nn, double* fret) {
    constexpr double kTol = 0.0001;
    if (nn < 1 || nn > VYN_MAX_NPAR) return;
    vyn_opt.vyn_ncom = nn;
    for (int j = 0; j < nn; ++j) {
        vyn_opt.pcom[j] = parvec[j];
        vyn_opt.xicom[j] = xi[j];
    }
    double ax = 0.0, xx = 1.0, bx = 2.0, fa = 0.0, fx = 0.0, fb = 0.0, xmin = 0.0;
    mnbrak(&ax, &xx, &bx, &fa, &fx, &fb);
    *fret = brent(ax, xx, bx, kTol, &xmin);
    for (int j = 0; j < nn; ++j) {
        xi[j] *= xmin;
        parvec[j] += xi[j];
    }
}

void frprmn(double* parvec, int nn, double ftol, int* iter, double* fret) {
    constexpr int kItmax = 100;
    if (nn < 1) return;
    const size_t bytes = sizeof(double) * static_cast<size_t>(nn);
    double* g = static_cast<double*>(std::calloc(1, bytes));
    double* h = static_cast<double*>(std::calloc(1, bytes));
    double* xi = static_cast<double*>(std::calloc(1, bytes));
    if (!g || !h || !xi) {
        std::free(g);
        std::free(h);
        std::free(xi);
        return;
    }
    double fp = fnc(parvec);
    dfnc(fp, parvec, nn, xi);
    for (int j = 0; j < nn; ++j) {
        g[j] = -xi[j];
        xi[j] = h[j] = g[j];
    }
    for (int its = 1; its <= kItmax; ++its) {
        *iter = its;
        linmin(parvec, xi, nn, fret);
        if (vyn_opt_converged(*fret, fp, ftol)) break;
        fp = fnc(parvec);
        dfnc(fp, parvec, nn, xi);
        double gg = 0.0, dgg = 0.0;
        for (int j = 0; j < nn; ++j) {
            gg += g[j] * g[j];
            dgg += (xi[j] + g[j]) * xi[j];
        }
        if (gg == 0.0) break;
        const double gam = dgg / gg;
        for (int j = 0; j < nn; ++j) {
            g[j] = -xi[j];
            xi[j] = h[j] = g[j] + gam * h[j];
        }
    }
    std::free(g);
    std::free(h);
    std::free(xi);
}

// The pulse product of one evaluation, also used by the sector preparation.
void vynopt_sector_product(int n, const double* x, const double* y, int count, double h, double offset,
                           const CMatrix& hc, CMatrix& out) {
    // At small n the series needs few terms and the fast path's set-up outweighs its gain.
    constexpr int kFastFromStates = 32;
    const int mode = vyn_opt.literal_products;
    if (mode == 2 || (mode == 0 && n >= kFastFromStates)) {
        const VYNSpinState& sp = vyn_spin;
        vyn_fast_pulse_propagator(n, x, y, count, h, offset, hc, sp.Izgrad, sp.Ixtot, sp.Iytot, out);
        return;
    }
    const VYNSectorSamples samples{x, y, nullptr, nullptr, nullptr, count};
    vyn_prop_sector_propagator(n, samples, h, offset, 0, 0, 0, hc, out);
}

bool vyn_opt_check_sample_count(int ap) {
    if (vyn_is_power_of_two_int(ap) && ap >= 2 && ap <= VYN_MAX_RF_POINTS) return true;
    std::printf(
        "[VYN] Optimization: the pulse has %d samples; the Fourier-mode parameters need a power of two in "
        "2..%d.\n",
        ap, VYN_MAX_RF_POINTS);
    return false;
}

int StartOptimization() {
    const VYNSpinState& sp = vyn_spin;
    const bool quiet = vo_quiet();
    if (!quiet) {
        std::puts("\nOptimization start density matrix:");
        ShowCMatElements(sp.n, vyn_opt_context_active() ? g_vyn_opt_ctx.rho_in : sp.densmat);
    }
    if (vyn_opt.npar <= 0) {
        std::fputs("StartOptimization: npar not set\n", stderr);
        return 0;
    }
    if (vyn_opt.npar > VYN_MAX_NPAR) vyn_opt.npar = VYN_MAX_NPAR;
    if (!vo_user_objective && !vyn_opt_check_sample_count(vyn_prop.ap)) return 0;
    int niter = 0;
    double minimum = 0.0;
    frprmn(vyn_opt.par, vyn_opt.npar, 3e-5, &niter, &minimum);
    if (!vo_user_objective) ParArrayToRFPulse(vyn_opt.npar, vyn_prop.ap, vyn_opt.par, vyn_waveform.xb, vyn_waveform.yb);
    vyn_opt.last_iterations = niter;
    vyn_opt.last_minimum = minimum;
    std::puts("Optimization finished.");
    std::printf("Iterations          : %d\n", niter);
    std::printf("Minimum             : %.12g  (O normalised to unit norm)\n", minimum);
    if (!vo_user_objective && sp.Istat_typed_scale > 0.0) {
        const bool abs_mode = vyn_opt_context_active() && g_vyn_opt_ctx.objective_mode == VYN_OPT_OBJECTIVE_ABS_EXPECT;
        std::printf("%s as typed     : %.12g  (at the minimum; = %.12g x %s)\n", abs_mode ? "|<O>| " : "Re <O>",
                    -minimum * sp.Istat_typed_scale, sp.Istat_typed_scale, abs_mode ? "|<O>|" : "Re <O>");
    }
    std::printf("\n");
    std::puts("Write RF pulse to CSV file:");
    std::puts("  1. Write CSV file");
    std::puts("  2. Cancel");
    std::fputs("Your choice [1..2] : ", stdout);
    std::fflush(stdout);
    int choice = 0;
    if (consule_read_menu_choice(&choice) && choice == 1)
        (void)rfpulseplot_export_pulse_interactive(vyn_prop.ap, vyn_prop.h, vyn_waveform.xb, vyn_waveform.yb);
    return 1;
}
