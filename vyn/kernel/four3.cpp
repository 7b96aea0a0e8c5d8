#include "four3.h"

#include <cmath>
#include <cstdlib>

four3_status four3_last_status = FOUR3_OK;

bool is_power_of_two(std::size_t n) { return n >= 1 && (n & (n - 1)) == 0; }

four3_status four2_status(double* data, std::size_t nn, bool inverse) {
    if (!data) return FOUR3_ERR_NULLPTR;
    if (!is_power_of_two(nn)) return FOUR3_ERR_BADLEN;

    // Bit-reversal permutation of the complex elements.
    std::size_t j = 0;
    for (std::size_t i = 0; i < nn; ++i) {
        if (i < j) {
            double tr = data[2 * i], ti = data[2 * i + 1];
            data[2 * i] = data[2 * j];
            data[2 * i + 1] = data[2 * j + 1];
            data[2 * j] = tr;
            data[2 * j + 1] = ti;
        }
        std::size_t m = nn / 2;
        while (m > 0 && j >= m) {
            j -= m;
            m /= 2;
        }
        j += m;
    }

    // Danielson-Lanczos butterflies with the trigonometric recurrence for w.
    const double two_pi = 6.283185307179586;
    for (std::size_t mmax = 1; mmax < nn; mmax *= 2) {
        const std::size_t istep = 2 * mmax;
        double theta = two_pi / static_cast<double>(istep);
        if (inverse) theta = -theta;
        const double s = std::sin(0.5 * theta);
        const double wpr = -2.0 * s * s;
        const double wpi = std::sin(theta);
        double wr = 1.0, wi = 0.0;
        for (std::size_t m = 0; m < mmax; ++m) {
            for (std::size_t i = m; i < nn; i += istep) {
                const std::size_t k = i + mmax;
                const double tr = wr * data[2 * k] - wi * data[2 * k + 1];
                const double ti = wr * data[2 * k + 1] + wi * data[2 * k];
                data[2 * k] = data[2 * i] - tr;
                data[2 * k + 1] = data[2 * i + 1] - ti;
                data[2 * i] += tr;
                data[2 * i + 1] += ti;
            }
            const double wr_old = wr;
            wr = wr + wr * wpr - wi * wpi;
            wi = wi + wr_old * wpi + wi * wpr;
        }
    }

    if (inverse) {
        const double scale = 1.0 / static_cast<double>(nn);
        for (std::size_t i = 0; i < 2 * nn; ++i) data[i] *= scale;
    }
    return FOUR3_OK;
}

void four2(double* data, std::size_t nn, int isign) { four3_last_status = four2_status(data, nn, isign < 0); }

four3_status fft_status(int ap, double* real, double* imag, bool inverse) {
    if (!real || !imag) return FOUR3_ERR_NULLPTR;
    if (ap < 2 || !is_power_of_two(static_cast<std::size_t>(ap))) return FOUR3_ERR_BADLEN;
    const std::size_t n = static_cast<std::size_t>(ap);
    const std::size_t hap = n / 2;

    double* buf = static_cast<double*>(std::malloc(2 * n * sizeof(double)));
    if (!buf) return FOUR3_ERR_BADLEN;

    // Swap halves so that index hap (zero) lands at buffer index 0.
    for (std::size_t i = 0; i < hap; ++i) {
        buf[2 * i] = real[hap + i];
        buf[2 * i + 1] = imag[hap + i];
        buf[2 * (hap + i)] = real[i];
        buf[2 * (hap + i) + 1] = imag[i];
    }
    const four3_status st = four2_status(buf, n, inverse);
    if (st != FOUR3_OK) {
        std::free(buf);
        return st;
    }
    for (std::size_t i = 0; i < hap; ++i) {
        real[i] = buf[2 * (hap + i)];
        imag[i] = buf[2 * (hap + i) + 1];
        real[hap + i] = buf[2 * i];
        imag[hap + i] = buf[2 * i + 1];
    }
    std::free(buf);
    return FOUR3_OK;
}

void fft(int ap, double* real, double* imag, int boole1) {
    four3_last_status = fft_status(ap, real, imag, boole1 != 0);
}
