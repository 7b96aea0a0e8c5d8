#include "qorvane_transforms.h"

#include "qfft.h"

void qorvane_spectrum_to_time(QorvaneFitContext* ctx, int n, double* re, double* im) {
    rotate_vector(n, n / 2, re);
    rotate_vector(n, n / 2, im);
    double* w = ctx->fft_work;
    for (int k = 0; k < n; ++k) {
        w[2 * k] = re[k];
        w[2 * k + 1] = im[k];
    }
    four2(w, &ctx->twiddles, n, -1);
    for (int k = 0; k < n; ++k) {
        re[k] = w[2 * k] / n;
        im[k] = w[2 * k + 1] / n;
    }
}

void qorvane_time_to_spectrum(QorvaneFitContext* ctx, int n, double* re, double* im) {
    double* w = ctx->fft_work;
    for (int k = 0; k < n; ++k) {
        w[2 * k] = re[k];
        w[2 * k + 1] = im[k];
    }
    four2(w, &ctx->twiddles, n, 1);
    for (int k = 0; k < n; ++k) {
        re[k] = w[2 * k];
        im[k] = w[2 * k + 1];
    }
    rotate_vector(n, n / 2, re);
    rotate_vector(n, n / 2, im);
}

void qorvane_fid_to_spectrum(int n, const double* fid, double* work, double* re, double* im) {
    for (int k = 0; k < 2 * n; ++k) work[k] = fid[k];
    work[0] *= 0.5;
    work[1] *= 0.5;
    four2(work, nullptr, n, 1);
    for (int k = 0; k < n; ++k) {
        re[k] = work[2 * k];
        im[k] = work[2 * k + 1];
    }
    rotate_vector(n, n / 2, re);
    rotate_vector(n, n / 2, im);
}
