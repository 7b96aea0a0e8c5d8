// Fourier transforms checked against the direct DFT sums they stand for.
#include "four3.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

using cd = std::complex<double>;
const double kPi = 3.14159265358979323846;

// Direct O(N^2) transform in the module's sign convention:
// forward X[k] = sum x[n] e^{+2 pi i nk/N}; inverse with e^{-...} and 1/N.
std::vector<cd> direct_dft(const std::vector<cd>& x, bool inverse) {
    const std::size_t n = x.size();
    std::vector<cd> out(n);
    const double sgn = inverse ? -1.0 : 1.0;
    for (std::size_t k = 0; k < n; ++k) {
        cd acc = 0.0;
        for (std::size_t j = 0; j < n; ++j)
            acc += x[j] * std::polar(1.0, sgn * 2.0 * kPi * double((j * k) % n) / double(n));
        out[k] = inverse ? acc / double(n) : acc;
    }
    return out;
}

std::vector<cd> random_signal(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<cd> x(n);
    for (auto& v : x) v = cd(u(rng), u(rng));
    return x;
}

std::vector<double> interleave(const std::vector<cd>& x) {
    std::vector<double> d(2 * x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        d[2 * i] = x[i].real();
        d[2 * i + 1] = x[i].imag();
    }
    return d;
}

double max_abs_diff(const std::vector<double>& d, const std::vector<cd>& ref) {
    double m = 0.0;
    for (std::size_t i = 0; i < ref.size(); ++i) m = std::max(m, std::abs(cd(d[2 * i], d[2 * i + 1]) - ref[i]));
    return m;
}

}  // namespace

TEST(Four3, PowerOfTwoPredicate) {
    EXPECT_FALSE(is_power_of_two(0));
    EXPECT_TRUE(is_power_of_two(1));
    EXPECT_TRUE(is_power_of_two(2));
    EXPECT_FALSE(is_power_of_two(6));
    EXPECT_TRUE(is_power_of_two(8192));
    EXPECT_FALSE(is_power_of_two(8191));
    EXPECT_TRUE(is_power_of_two(std::size_t(1) << 40));
}

TEST(Four3, MatchesDirectDftBothDirections) {
    for (std::size_t n = 1; n <= 1024; n *= 2) {
        const auto x = random_signal(n, static_cast<unsigned>(n));
        for (bool inverse : {false, true}) {
            auto d = interleave(x);
            ASSERT_EQ(four2_status(d.data(), n, inverse), FOUR3_OK);
            const auto ref = direct_dft(x, inverse);
            double scale = 0.0;
            for (const auto& v : ref) scale = std::max(scale, std::abs(v));
            EXPECT_LE(max_abs_diff(d, ref), 1e-12 * std::max(1.0, scale) * std::log2(double(n) + 1.0))
                << "n=" << n << " inverse=" << inverse;
        }
    }
}

TEST(Four3, ForwardThenInverseRestoresInput) {
    const std::size_t n = 4096;
    const auto x = random_signal(n, 7);
    auto d = interleave(x);
    four2(d.data(), n, 1);
    EXPECT_EQ(four3_last_status, FOUR3_OK);
    four2(d.data(), n, -1);
    EXPECT_EQ(four3_last_status, FOUR3_OK);
    EXPECT_LE(max_abs_diff(d, x), 1e-13);
}

TEST(Four3, SmallClosedForms) {
    double d1[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(four2_status(d1, 4, false), FOUR3_OK);
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(d1[2 * k], 1.0, 1e-15);
        EXPECT_NEAR(d1[2 * k + 1], 0.0, 1e-15);
    }
    // A unit at n = 1 gives exp(+2 pi i k / 4) = 1, i, -1, -i.
    double d2[8] = {0, 0, 1, 0, 0, 0, 0, 0};
    ASSERT_EQ(four2_status(d2, 4, false), FOUR3_OK);
    const double expect[8] = {1, 0, 0, 1, -1, 0, 0, -1};
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(d2[i], expect[i], 1e-15) << i;

    double one[2] = {3.5, -1.25};
    ASSERT_EQ(four2_status(one, 1, false), FOUR3_OK);
    EXPECT_EQ(one[0], 3.5);
    EXPECT_EQ(one[1], -1.25);
    ASSERT_EQ(four2_status(one, 1, true), FOUR3_OK);
    EXPECT_EQ(one[0], 3.5);
    EXPECT_EQ(one[1], -1.25);
}

TEST(Four3, RefusesBadLengthAndMissingDataWithoutTouchingData) {
    double d[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<double> before(d, d + 12);
    EXPECT_EQ(four2_status(d, 6, false), FOUR3_ERR_BADLEN);
    EXPECT_EQ(four2_status(d, 0, false), FOUR3_ERR_BADLEN);
    EXPECT_EQ(std::vector<double>(d, d + 12), before);
    EXPECT_EQ(four2_status(nullptr, 4, false), FOUR3_ERR_NULLPTR);

    four2(d, 6, 1);
    EXPECT_EQ(four3_last_status, FOUR3_ERR_BADLEN);
    four2(nullptr, 8, 1);
    EXPECT_EQ(four3_last_status, FOUR3_ERR_NULLPTR);
    EXPECT_EQ(std::vector<double>(d, d + 12), before);
}

TEST(Four3, CentredTransformPutsZeroAtHalfLength) {
    // Unit value at index hap (time zero): a flat spectrum.
    double re[4] = {0, 0, 1, 0}, im[4] = {0, 0, 0, 0};
    ASSERT_EQ(fft_status(4, re, im, false), FOUR3_OK);
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(re[k], 1.0, 1e-15);
        EXPECT_NEAR(im[k], 0.0, 1e-15);
    }

    // General case: X[hap+f] = sum_k x[k] exp(+2 pi i (k-hap) f / N).
    const int n = 64, hap = n / 2;
    const auto x = random_signal(n, 11);
    std::vector<double> r(n), i(n);
    for (int k = 0; k < n; ++k) {
        r[k] = x[k].real();
        i[k] = x[k].imag();
    }
    ASSERT_EQ(fft_status(n, r.data(), i.data(), false), FOUR3_OK);
    for (int idx = 0; idx < n; ++idx) {
        const int f = idx - hap;
        cd acc = 0.0;
        for (int k = 0; k < n; ++k) acc += x[k] * std::polar(1.0, 2.0 * kPi * double((k - hap) * f) / n);
        EXPECT_NEAR(r[idx], acc.real(), 1e-12);
        EXPECT_NEAR(i[idx], acc.imag(), 1e-12);
    }

    fft(n, r.data(), i.data(), 1);
    EXPECT_EQ(four3_last_status, FOUR3_OK);
    for (int k = 0; k < n; ++k) {
        EXPECT_NEAR(r[k], x[k].real(), 1e-14);
        EXPECT_NEAR(i[k], x[k].imag(), 1e-14);
    }
}

TEST(Four3, CentredTransformRefusals) {
    double re[6] = {1, 2, 3, 4, 5, 6}, im[6] = {6, 5, 4, 3, 2, 1};
    EXPECT_EQ(fft_status(1, re, im, false), FOUR3_ERR_BADLEN);
    EXPECT_EQ(fft_status(6, re, im, false), FOUR3_ERR_BADLEN);
    EXPECT_EQ(fft_status(-4, re, im, false), FOUR3_ERR_BADLEN);
    EXPECT_EQ(fft_status(4, nullptr, im, false), FOUR3_ERR_NULLPTR);
    EXPECT_EQ(fft_status(4, re, nullptr, false), FOUR3_ERR_NULLPTR);
    fft(6, re, im, 0);
    EXPECT_EQ(four3_last_status, FOUR3_ERR_BADLEN);
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(re[k], k + 1.0);
        EXPECT_EQ(im[k], 6.0 - k);
    }
}
