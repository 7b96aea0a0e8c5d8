// Gradient waveforms: sample values, k-space integrals, refusals and the
// console dialogue.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "fieldgradientlib.h"

namespace {
constexpr double kPi = 3.141592653589793;

TEST(Gradient, ConstantIsTwoPiTimesStrength) {
    std::vector<double> g(16, -1.0);
    EXPECT_EQ(gradproc1_compute(16, 1e-5, g.data(), 100.0), FIELDGRAD_OK);
    EXPECT_EQ(fieldgrad_last_status, FIELDGRAD_OK);
    for (double v : g) EXPECT_DOUBLE_EQ(v, 200.0 * kPi);
    // the interval is not used by the constant waveform
    EXPECT_EQ(gradproc1_compute(4, 0.0, g.data(), -3.0), FIELDGRAD_OK);
    EXPECT_DOUBLE_EQ(g[3], -6.0 * kPi);
    EXPECT_DOUBLE_EQ(g[4], 200.0 * kPi);  // beyond ap untouched
}

TEST(Gradient, SpiralSampleValues) {
    std::vector<double> g(8);
    ASSERT_EQ(gradproc2_compute(4, 0.25, g.data(), 1.0, 1.0), FIELDGRAD_OK);
    EXPECT_NEAR(g[0], -1.0, 1e-12);  // theta = 0, r = 1
    EXPECT_NEAR(g[2], 1.0, 1e-12);   // theta = pi, r = 0.5: -(-1 + pi*0)
    // sine spiral: sample 0 is 2 pi n A / T
    ASSERT_EQ(gradproc3_compute(8, 0.5, g.data(), 3.0, 2.0), FIELDGRAD_OK);
    EXPECT_NEAR(g[0], 2.0 * kPi * 2.0 * 3.0 / 4.0, 1e-12);
}

// The spirals are the time derivatives of A r cos(theta) and A r sin(theta):
// integrating the samples must trace the k-space spiral from radius A inward.
TEST(Gradient, SpiralIntegralsTraceKSpace) {
    const int ap = 8192;  // the most samples a sector holds
    const double T = 0.02, h = T / ap, A = 2.5, n = 3.0;
    std::vector<double> gc(ap), gsn(ap);
    ASSERT_EQ(gradproc2_compute(ap, h, gc.data(), A, n), FIELDGRAD_OK);
    ASSERT_EQ(gradproc3_compute(ap, h, gsn.data(), A, n), FIELDGRAD_OK);
    double kx = A, ky = 0.0;  // values at t = 0
    double worst = 0.0;
    for (int i = 1; i < ap; ++i) {
        kx += 0.5 * h * (gc[i - 1] + gc[i]);
        ky += 0.5 * h * (gsn[i - 1] + gsn[i]);
        const double t = i * h, th = 2 * kPi * n * t / T, r = 1 - t / T;
        worst = std::max(worst, std::hypot(kx - A * r * std::cos(th), ky - A * r * std::sin(th)));
    }
    // trapezoid error ~ T h^2 max|g''| / 12 ~ A (2 pi n)^3 (h/T)^2 / 12 ~ 2e-5 here
    EXPECT_LT(worst, 1e-4);
}

TEST(Gradient, RefusalsLeaveArrayUnchanged) {
    std::vector<double> g(4, 7.0);
    EXPECT_EQ(gradproc1_compute(0, 1e-3, g.data(), 10), FIELDGRAD_ERR_BADLEN);
    EXPECT_EQ(gradproc2_compute(0, 1e-3, g.data(), 1, 1), FIELDGRAD_ERR_BADLEN);
    EXPECT_EQ(gradproc3_compute(0, 1e-3, g.data(), 1, 1), FIELDGRAD_ERR_BADLEN);
    EXPECT_EQ(fieldgrad_last_status, FIELDGRAD_ERR_BADLEN);
    EXPECT_EQ(gradproc1_compute(4, 1e-3, nullptr, 10), FIELDGRAD_ERR_NULLPTR);
    EXPECT_EQ(gradproc2_compute(4, 0.0, g.data(), 1, 1), FIELDGRAD_ERR_BADARG);
    EXPECT_EQ(gradproc3_compute(4, -1e-3, g.data(), 1, 1), FIELDGRAD_ERR_BADARG);
    // more samples than the engine's arrays hold are refused before any write
    EXPECT_EQ(gradproc1_compute(8193, 1e-3, g.data(), 10), FIELDGRAD_ERR_BADARG);
    EXPECT_EQ(gradproc2_compute(8193, 1e-3, g.data(), 1, 1), FIELDGRAD_ERR_BADARG);
    EXPECT_EQ(gradproc3_compute(8193, 1e-3, g.data(), 1, 1), FIELDGRAD_ERR_BADARG);
    for (double v : g) EXPECT_EQ(v, 7.0);
}

class GradientDialogue : public ::testing::Test {
  protected:
    void Feed(const std::string& text) {
        path_ = ::testing::TempDir() + "grad_dialogue_input.txt";
        FILE* f = std::fopen(path_.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text.c_str(), f);
        std::fclose(f);
        ASSERT_NE(std::freopen(path_.c_str(), "r", stdin), nullptr);
    }
    void TearDown() override { std::remove(path_.c_str()); }
    std::string path_;
};

TEST_F(GradientDialogue, ChoicesAndUnreadableAnswers) {
    std::vector<double> g(8, 1.0);
    const int ap = 8;
    const double h = 1e-4;
    Feed("1\n50\n");
    CalcGrad(&ap, &h, g.data());
    EXPECT_EQ(fieldgrad_last_status, FIELDGRAD_OK);
    EXPECT_DOUBLE_EQ(g[7], 100.0 * kPi);

    Feed("7\n");
    CalcGrad(&ap, &h, g.data());
    EXPECT_EQ(fieldgrad_last_status, FIELDGRAD_ERR_BADARG);

    Feed("2\nabc\n");
    CalcGrad(&ap, &h, g.data());
    EXPECT_EQ(fieldgrad_last_status, FIELDGRAD_ERR_IO);
    EXPECT_DOUBLE_EQ(g[0], 100.0 * kPi);  // unchanged

    Feed("");
    CalcGrad(&ap, &h, g.data());
    EXPECT_EQ(fieldgrad_last_status, FIELDGRAD_ERR_IO);

    Feed("3\n1\n1\n");
    CalcGrad(&ap, &h, g.data());
    EXPECT_EQ(fieldgrad_last_status, FIELDGRAD_OK);
    EXPECT_NEAR(g[0], 2.0 * kPi / (ap * h), 1e-9);
}
}  // namespace
