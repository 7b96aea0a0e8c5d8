// The sector propagator takes its samples from the caller, writes into the
// caller's matrix, and the receiver operators are copies apart from the
// unnormalised totals.
#include "kernel_testutil.h"
#include "prop_test_util.h"
#include "vyn_prop_internal.h"

namespace {

using proptest::kTwoPi;

// H = hc + w Izgrad + bx Ixtot + by Iytot, built from the operators directly.
void hamiltonian(int n, const CMatrix& hc, double w, double bx, double by, CMatrix& h) {
    const VYNSpinState& s = vyn_spin;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) h(r, c) = hc(r, c) + w * s.Izgrad(r, c) + bx * s.Ixtot(r, c) + by * s.Iytot(r, c);
}

// exp(-i H tau) through the eigen-free series of the kernel: -H goes in.
void factor(int n, const CMatrix& h, double tau, CMatrix& u) {
    static CMatrix neg;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) neg(r, c) = -h(r, c);
    ExpMatrix(n, neg, tau, u);
}

class SectorPropagator : public proptest::WorkDirTest {
  protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        proptest::SetupSpinHalfSystem({120.0, -310.0}, {1.0, 0.7}, {9.0}, true);
        MakeGradientOperator();
        n_ = vyn_spin.n;
        CMatAdd(n_, vyn_spin.Izee, vyn_spin.Icoup, hc_);
    }
    int n_ = 0;
    static CMatrix hc_, out_, other_, ref_, u_, h_, tmp_;
};
CMatrix SectorPropagator::hc_, SectorPropagator::out_, SectorPropagator::other_, SectorPropagator::ref_,
    SectorPropagator::u_, SectorPropagator::h_, SectorPropagator::tmp_;

// Constant samples: the product of ap equal factors is one factor of the
// whole duration, for odd and even ap (the product ends in the caller's
// matrix either way), with and without gradient terms.
TEST_F(SectorPropagator, ConstantSamplesGiveOneFactorOfTheWholeDuration) {
    const double t = 2.0e-5, offset = kTwoPi * 40.0, x = 0.3, y = -0.2, z = 0.1;
    const double bx = kTwoPi * 900.0, by = kTwoPi * -350.0, gx = kTwoPi * 200.0, gy = kTwoPi * 50.0, gz = kTwoPi * 80.0;
    std::vector<double> xb(8, bx), yb(8, by), vx(8, gx), vy(8, gy), vz(8, gz);
    for (bool gradients : {false, true}) {
        for (int ap : {1, 2, 3, 4, 7}) {
            SCOPED_TRACE(::testing::Message() << "ap=" << ap << " gradients=" << gradients);
            VYNSectorSamples s{xb.data(),
                               yb.data(),
                               gradients ? vx.data() : nullptr,
                               gradients ? vy.data() : nullptr,
                               gradients ? vz.data() : nullptr,
                               ap};
            kt::fill_random(n_, out_, 7);  // stale content must not leak into the result
            vyn_prop_sector_propagator(n_, s, t, offset, x, y, z, hc_, out_);
            const double w = gradients ? offset + gx * x + gy * y + gz * z : offset;
            hamiltonian(n_, hc_, w, bx, by, h_);
            factor(n_, h_, ap * t, ref_);
            EXPECT_LT(kt::max_abs_diff(n_, out_, ref_), 1e-9);
        }
    }
}

// Distinct samples: P = U(0) U(1) ... in sample order, from the caller's
// arrays and not from the engine's waveform state.
TEST_F(SectorPropagator, DistinctSamplesMultiplyInOrderFromTheCallersArrays) {
    const double t = 5.0e-5, offset = kTwoPi * -25.0;
    const std::vector<double> xb = {kTwoPi * 1500.0, 0.0, kTwoPi * -700.0, kTwoPi * 300.0, 0.0};
    const std::vector<double> yb = {0.0, kTwoPi * 1100.0, kTwoPi * 400.0, 0.0, kTwoPi * -900.0};
    for (int i = 0; i < VYN_MAX_RF_POINTS; ++i) {
        vyn_waveform.xb[i] = 1.0e6;
        vyn_waveform.yb[i] = -1.0e6;
    }
    for (int ap : {2, 3, 5}) {
        SCOPED_TRACE(ap);
        VYNSectorSamples s{xb.data(), yb.data(), nullptr, nullptr, nullptr, ap};
        vyn_prop_sector_propagator(n_, s, t, offset, 0, 0, 0, hc_, out_);
        hamiltonian(n_, hc_, offset, xb[0], yb[0], h_);
        factor(n_, h_, t, ref_);
        for (int l = 1; l < ap; ++l) {
            hamiltonian(n_, hc_, offset, xb[l], yb[l], h_);
            factor(n_, h_, t, u_);
            CMatMult(n_, ref_, u_, tmp_);
            CopyCMatrix(n_, tmp_, ref_);
        }
        EXPECT_LT(kt::max_abs_diff(n_, out_, ref_), 1e-9);
        // The reversed order is a different matrix: the test sees the order.
        hamiltonian(n_, hc_, offset, xb[ap - 1], yb[ap - 1], h_);
        factor(n_, h_, t, tmp_);
        EXPECT_GT(kt::max_abs_diff(n_, out_, tmp_), 1e-3);
    }
}

// A second call writes only its own output: the first result stays valid.
TEST_F(SectorPropagator, EachCallWritesOnlyTheCallersMatrix) {
    const std::vector<double> a = {kTwoPi * 800.0, kTwoPi * 200.0, kTwoPi * -100.0};
    const std::vector<double> b = {kTwoPi * -600.0, kTwoPi * 50.0, kTwoPi * 700.0};
    vyn_prop_sector_propagator(n_, VYNSectorSamples{a.data(), b.data(), nullptr, nullptr, nullptr, 3}, 3e-5, 0.0, 0, 0,
                               0, hc_, out_);
    CopyCMatrix(n_, out_, ref_);
    for (int ap : {1, 2, 3}) {
        vyn_prop_sector_propagator(n_, VYNSectorSamples{b.data(), a.data(), nullptr, nullptr, nullptr, ap}, 4e-5, 10.0,
                                   0, 0, 0, hc_, other_);
        EXPECT_EQ(kt::max_abs_diff(n_, out_, ref_), 0.0) << ap;
    }
}

// No interval or zero step: the identity, whatever the matrix held before.
TEST_F(SectorPropagator, NoIntervalOrZeroStepGivesTheIdentity) {
    const std::vector<double> xb = {kTwoPi * 800.0};
    const struct {
        int ap;
        double t;
    } cases[] = {{0, 1e-5}, {1, 0.0}};
    for (const auto& c : cases) {
        kt::fill_random(n_, out_, 3);
        vyn_prop_sector_propagator(n_, VYNSectorSamples{xb.data(), xb.data(), nullptr, nullptr, nullptr, c.ap}, c.t,
                                   5.0, 0, 0, 0, hc_, out_);
        EXPECT_LT(kt::dist_identity(n_, out_), 1e-15) << c.ap << " " << c.t;
    }
}

// The engine's samples for the current sector: gradients only when asked,
// count clamped to the arrays.
TEST_F(SectorPropagator, WaveformSamplesPointAtTheEngineArrays) {
    VYNSectorSamples s = vyn_prop_waveform_samples(16, false);
    EXPECT_EQ(s.xb, vyn_waveform.xb);
    EXPECT_EQ(s.yb, vyn_waveform.yb);
    EXPECT_EQ(s.gx, nullptr);
    EXPECT_EQ(s.count, 16);
    s = vyn_prop_waveform_samples(VYN_MAX_RF_POINTS + 5, true);
    EXPECT_EQ(s.gz, vyn_waveform.gz);
    EXPECT_EQ(s.count, VYN_MAX_RF_POINTS);
    EXPECT_EQ(vyn_prop_waveform_samples(-3, true).count, 0);
}

// The receiver operators are normalised copies; the totals the propagators
// use stay unnormalised, before and after a signal is written.
TEST_F(SectorPropagator, ReceiversAreNormalisedCopiesAndTotalsStayPlain) {
    // One spin-1/2: Ix has norm 1/sqrt(2), so normalising changes it.
    proptest::SetupSpinHalfSystem({50.0}, {1.0});
    n_ = vyn_spin.n;
    static CMatrix sum, single;
    CMatZero(n_, sum);
    for (int s = 1; s <= vyn_spin.Nspins; ++s) {
        MakeMatrixIx(vyn_spin.Ilist, vyn_spin.ket, n_, s, single);
        CMatAdd(n_, sum, single, sum);
    }
    CopyCMatrix(n_, vyn_spin.Ixtot, ref_);
    EXPECT_LT(kt::max_abs_diff(n_, ref_, sum), 1e-15);

    VYN_BuildNormalisedReceivers();
    static CMatrix norm_sum;
    CMatZero(n_, norm_sum);
    for (int s = 1; s <= vyn_spin.Nspins; ++s) {
        proptest::NormalisedSingle('x', s, single);
        CMatAdd(n_, norm_sum, single, norm_sum);
    }
    EXPECT_LT(kt::max_abs_diff(n_, vyn_receivers.Ix, norm_sum), 1e-15);
    EXPECT_GT(kt::max_abs_diff(n_, vyn_receivers.Ix, vyn_spin.Ixtot), 1e-3);
    EXPECT_EQ(kt::max_abs_diff(n_, vyn_spin.Ixtot, ref_), 0.0);

    // A pulse-acquire run writes its receiver signal with the receivers and
    // leaves the totals as they were.
    CopyCMatrix(n_, vyn_spin.Iytot, other_);
    const int ap = 4;
    std::vector<double> wave(2 * ap, 0.0);
    for (int i = 0; i < ap; ++i) wave[i] = kTwoPi * 2500.0;
    proptest::WriteDoubles("pulse.bin", wave);
    proptest::DefineSector(1, 1, ap, 1, 1e-4, 0.0, "pulse.bin", "pulse");
    proptest::DefineSector(2, 1, 64, 1, 0.064, 0.0, "none.bin", "ADC acquisition");
    vyn_sequence.sequencetype = VYN_SEQTYPE_2D;
    std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", "fid.bin");
    SimulateLoaded2DPulseSequence();
    EXPECT_EQ(proptest::ReadBytes("fid.bin").size(), 12u + 16u * 64);
    EXPECT_EQ(kt::max_abs_diff(n_, vyn_spin.Ixtot, ref_), 0.0);
    EXPECT_EQ(kt::max_abs_diff(n_, vyn_spin.Iytot, other_), 0.0);
}

}  // namespace
