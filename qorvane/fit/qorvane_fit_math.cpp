#include "qorvane_fit_math.h"

#include <cmath>
#include <cstdio>

// Linear congruential generator of the classic rand(): state*214013 + 2531011, bits 16..30.
static thread_local unsigned t_qorvane_rand_state = 1u;

void qorvane_srand(unsigned seed) { t_qorvane_rand_state = seed; }

int qorvane_rand() {
    t_qorvane_rand_state = t_qorvane_rand_state * 214013u + 2531011u;
    return (int)((t_qorvane_rand_state >> 16) & 0x7fffu);
}

int gaussj(double* a, int n, int lda) {
    if (n < 1 || n > QORVANE_GAUSSJ_MAX) return 1;
    int indxc[QORVANE_GAUSSJ_MAX], indxr[QORVANE_GAUSSJ_MAX], ipiv[QORVANE_GAUSSJ_MAX];
    for (int j = 0; j < n; ++j) ipiv[j] = 0;
    int irow = 0, icol = 0;
    for (int i = 0; i < n; ++i) {
        double big = 0.0;
        for (int j = 0; j < n; ++j) {
            if (ipiv[j] == 1) continue;
            for (int k = 0; k < n; ++k) {
                if (ipiv[k] == 0) {
                    if (fabs(a[j * lda + k]) >= big) {
                        big = fabs(a[j * lda + k]);
                        irow = j;
                        icol = k;
                    }
                } else if (ipiv[k] > 1) {
                    printf("pause 1 in GAUSSJ - Singular matrix \n");
                    return 1;
                }
            }
        }
        ++ipiv[icol];
        if (irow != icol)
            for (int l = 0; l < n; ++l) {
                double t = a[irow * lda + l];
                a[irow * lda + l] = a[icol * lda + l];
                a[icol * lda + l] = t;
            }
        indxr[i] = irow;
        indxc[i] = icol;
        if (a[icol * lda + icol] == 0.0) {
            printf("pause 2 in GAUSSJ - Singular matrix \n");
            return 2;
        }
        double pivinv = 1.0 / a[icol * lda + icol];
        a[icol * lda + icol] = 1.0;
        for (int l = 0; l < n; ++l) a[icol * lda + l] *= pivinv;
        for (int ll = 0; ll < n; ++ll) {
            if (ll == icol) continue;
            double dum = a[ll * lda + icol];
            a[ll * lda + icol] = 0.0;
            for (int l = 0; l < n; ++l) a[ll * lda + l] -= a[icol * lda + l] * dum;
        }
    }
    for (int l = n - 1; l >= 0; --l) {
        if (indxr[l] == indxc[l]) continue;
        for (int k = 0; k < n; ++k) {
            double t = a[k * lda + indxr[l]];
            a[k * lda + indxr[l]] = a[k * lda + indxc[l]];
            a[k * lda + indxc[l]] = t;
        }
    }
    return 0;
}

static const double kGold = 1.618034;
static const double kGlimit = 100.0;
static const double kTiny = 1.0e-20;

void mnbrak(double* ax, double* bx, double* cx, double* fa, double* fb, double* fc, QorvaneLineFunction f, void* data) {
    *fa = f(*ax, data);
    *fb = f(*bx, data);
    if (*fb > *fa) {
        double t = *ax;
        *ax = *bx;
        *bx = t;
        t = *fb;
        *fb = *fa;
        *fa = t;
    }
    *cx = *bx + kGold * (*bx - *ax);
    *fc = f(*cx, data);
    // Bounded so that a function that keeps falling (or NaN) cannot hold the search forever.
    for (int guard = 0; *fb > *fc && guard < 1000; ++guard) {
        double r = (*bx - *ax) * (*fb - *fc);
        double q = (*bx - *cx) * (*fb - *fa);
        double d = fabs(q - r) > kTiny ? q - r : (q - r >= 0 ? kTiny : -kTiny);
        double u = *bx - ((*bx - *cx) * q - (*bx - *ax) * r) / (2.0 * d);
        double ulim = *bx + kGlimit * (*cx - *bx);
        double fu;
        if ((*bx - u) * (u - *cx) > 0.0) {
            fu = f(u, data);
            if (fu < *fc) {
                *ax = *bx;
                *bx = u;
                *fa = *fb;
                *fb = fu;
                return;
            } else if (fu > *fb) {
                *cx = u;
                *fc = fu;
                return;
            }
            u = *cx + kGold * (*cx - *bx);
            fu = f(u, data);
        } else if ((*cx - u) * (u - ulim) > 0.0) {
            fu = f(u, data);
            if (fu < *fc) {
                *bx = *cx;
                *cx = u;
                u = *cx + kGold * (*cx - *bx);
                *fb = *fc;
                *fc = fu;
                fu = f(u, data);
            }
        } else if ((u - ulim) * (ulim - *cx) >= 0.0) {
            u = ulim;
            fu = f(u, data);
        } else {
            u = *cx + kGold * (*cx - *bx);
            fu = f(u, data);
        }
        *ax = *bx;
        *bx = *cx;
        *cx = u;
        *fa = *fb;
        *fb = *fc;
        *fc = fu;
    }
}

double brent(double ax, double bx, double cx, QorvaneLineFunction f, void* data, double tol, int itmax, double* xmin,
             int* exceeded) {
    const double cgold = 0.381966;
    const double zeps = 1.0e-10;
    double d = 0.0, e = 0.0;
    double a = ax < cx ? ax : cx;
    double b = ax > cx ? ax : cx;
    double x = bx, w = bx, v = bx;
    double fx = f(x, data), fw = fx, fv = fx;
    *exceeded = 0;
    for (int iter = 1; iter <= itmax; ++iter) {
        double xm = 0.5 * (a + b);
        double tol1 = tol * fabs(x) + zeps;
        double tol2 = 2.0 * tol1;
        if (fabs(x - xm) <= (tol2 - 0.5 * (b - a))) {
            *xmin = x;
            return fx;
        }
        if (fabs(e) > tol1) {
            double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = 2.0 * (q - r);
            if (q > 0.0) p = -p;
            q = fabs(q);
            double etemp = e;
            e = d;
            if (fabs(p) >= fabs(0.5 * q * etemp) || p <= q * (a - x) || p >= q * (b - x)) {
                e = x >= xm ? a - x : b - x;
                d = cgold * e;
            } else {
                d = p / q;
                double u = x + d;
                if (u - a < tol2 || b - u < tol2) d = xm - x >= 0 ? fabs(tol1) : -fabs(tol1);
            }
        } else {
            e = x >= xm ? a - x : b - x;
            d = cgold * e;
        }
        double u = fabs(d) >= tol1 ? x + d : x + (d >= 0 ? fabs(tol1) : -fabs(tol1));
        double fu = f(u, data);
        if (fu <= fx) {
            if (u >= x)
                a = x;
            else
                b = x;
            v = w;
            w = x;
            x = u;
            fv = fw;
            fw = fx;
            fx = fu;
        } else {
            if (u < x)
                a = u;
            else
                b = u;
            if (fu <= fw || w == x) {
                v = w;
                w = u;
                fv = fw;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    *exceeded = 1;
    *xmin = x;
    return fx;
}
