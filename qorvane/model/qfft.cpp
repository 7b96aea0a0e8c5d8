// Radix-2 FFT and spectrum vector operations of the fitter.
#include "qfft.h"

#include <cmath>
#include <cstring>

namespace {

const double kPi = 3.14159265358979323846;

bool qfft_is_pow2(int n) { return n > 0 && (n & (n - 1)) == 0; }

int qfft_log2(int n) {
    int s = 0;
    while ((1 << s) < n) ++s;
    return s;
}

// Reverses x[lo..hi] in place.
void qfft_reverse(double *x, int lo, int hi) {
    while (lo < hi) {
        double t = x[lo];
        x[lo] = x[hi];
        x[hi] = t;
        ++lo;
        --hi;
    }
}

// Interleaves (re, im) into data[0..2n-1].
void qfft_pack(int n, const double *re, const double *im, double *data) {
    for (int k = 0; k < n; ++k) {
        data[2 * k] = re[k];
        data[2 * k + 1] = im[k];
    }
}

void qfft_unpack(int n, const double *data, double scale, double *re, double *im) {
    for (int k = 0; k < n; ++k) {
        re[k] = data[2 * k] * scale;
        im[k] = data[2 * k + 1] * scale;
    }
}

}  // namespace

int qorvane_twiddle_prepare(QorvaneTwiddleCache *tw, int n) {
    if (!tw || !qfft_is_pow2(n) || n > QORVANE_MAX_POINTS) return -1;
    int stages = qfft_log2(n);
    for (int s = 1; s <= stages; ++s) {
        double theta = -2.0 * kPi / static_cast<double>(1 << s);
        tw->half_sin[s] = std::sin(0.5 * theta);
        tw->sin_theta[s] = std::sin(theta);
    }
    tw->stages = stages;
    return 0;
}

void four2(double *data, const QorvaneTwiddleCache *twiddles, int n, int isign) {
    if (!data || !qfft_is_pow2(n) || n < 2) return;
    const int nn = 2 * n;
    // bit-reversal reordering of the complex pairs
    int j = 0;
    for (int i = 0; i < nn; i += 2) {
        if (j > i) {
            double tr = data[j], ti = data[j + 1];
            data[j] = data[i];
            data[j + 1] = data[i + 1];
            data[i] = tr;
            data[i + 1] = ti;
        }
        int m = n;
        while (m >= 2 && j >= m) {
            j -= m;
            m >>= 1;
        }
        j += m;
    }
    // butterflies, stage s spans mmax = 2^s complex points (2*mmax doubles)
    const double dir = (isign == 1) ? 1.0 : -1.0;
    const bool cached = twiddles && twiddles->stages >= qfft_log2(n);
    int stage = 1;
    for (int mmax = 2; mmax < nn; mmax <<= 1, ++stage) {
        int istep = mmax << 1;
        double hs, st;
        if (cached) {
            hs = dir * twiddles->half_sin[stage];
            st = dir * twiddles->sin_theta[stage];
        } else {
            double theta = -dir * 2.0 * kPi / static_cast<double>(1 << stage);
            hs = std::sin(0.5 * theta);
            st = std::sin(theta);
        }
        double wpr = -2.0 * hs * hs;
        double wpi = st;
        double wr = 1.0, wi = 0.0;
        for (int m = 0; m < mmax; m += 2) {
            for (int i = m; i < nn; i += istep) {
                int k = i + mmax;
                double tr = wr * data[k] - wi * data[k + 1];
                double ti = wr * data[k + 1] + wi * data[k];
                data[k] = data[i] - tr;
                data[k + 1] = data[i + 1] - ti;
                data[i] += tr;
                data[i + 1] += ti;
            }
            double wtemp = wr;
            wr = wr * wpr - wi * wpi + wr;
            wi = wi * wpr + wtemp * wpi + wi;
        }
    }
}

void rotate_vector(int n, int shift, double *x) {
    if (!x || n <= 1) return;
    shift %= n;
    if (shift < 0) shift += n;
    if (shift == 0) return;
    // left rotation by three reversals, no scratch storage
    qfft_reverse(x, 0, shift - 1);
    qfft_reverse(x, shift, n - 1);
    qfft_reverse(x, 0, n - 1);
}

void truncate_vector(QorvaneFitContext *ctx, int n, int trunc, double *re, double *im) {
    if (!ctx || !re || !im || !qfft_is_pow2(n) || n > QORVANE_MAX_POINTS || trunc >= n) return;
    if (trunc < 0) trunc = 0;
    double *data = ctx->fft_work;
    qfft_pack(n, re, im, data);
    four2(data, &ctx->twiddles, n, -1);
    std::memset(data + 2 * trunc, 0, sizeof(double) * 2 * static_cast<size_t>(n - trunc));
    four2(data, &ctx->twiddles, n, 1);
    qfft_unpack(n, data, 1.0 / n, re, im);
}

void frequency_shift_vector(QorvaneFitContext *ctx, int n, double *re, double *im, double shift) {
    if (!ctx || !re || !im || !qfft_is_pow2(n) || n > QORVANE_MAX_POINTS || !std::isfinite(shift)) return;
    if (shift == 0.0) return;
    if (shift == std::floor(shift) && std::fabs(shift) < 1.0e9) {
        // point p moves to p + shift: a left rotation by -shift
        int s = static_cast<int>(std::fmod(shift, static_cast<double>(n)));
        rotate_vector(n, -s, re);
        rotate_vector(n, -s, im);
        return;
    }
    double *data = ctx->fft_work;
    qfft_pack(n, re, im, data);
    four2(data, &ctx->twiddles, n, -1);
    // exp(2 pi i shift k / n) by angle, not by recurrence: no drift over long signals
    double w = 2.0 * kPi * shift / n;
    for (int k = 0; k < n; ++k) {
        double c = std::cos(w * k), s = std::sin(w * k);
        double xr = data[2 * k], xi = data[2 * k + 1];
        data[2 * k] = xr * c - xi * s;
        data[2 * k + 1] = xr * s + xi * c;
    }
    four2(data, &ctx->twiddles, n, 1);
    qfft_unpack(n, data, 1.0 / n, re, im);
}
