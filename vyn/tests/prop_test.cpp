// 1D/2D propagation: sector rotations, evolution rows, the dm.bin protocol,
// pulse-acquire signals and line lists of coupled two-spin systems.
#include "observablespectrumcalculator.h"
#include "prop_test_util.h"

using namespace proptest;

namespace {

class Prop2D : public WorkDirTest {
  protected:
    // One spin-1/2 without Zeeman or coupling terms, rho = Ix/|Ix|, zero RF.
    void PrepareSingleSpinIx() {
        SetupSpinHalfSystem({0.0}, {1.0});
        NormalisedSingle('x', 1, vyn_spin.densmat);
        vyn_spin.calc = 0;
        vyn_spin.pulseflag = 1;
    }
};

// rho <- exp(+i theta Iz) rho exp(-i theta Iz) with theta = 2 pi 100 Hz * 2.5 ms = pi/2
// turns Ix/|Ix| into -Iy/|Iy|.
TEST_F(Prop2D, NormalSectorRotatesIxIntoMinusIy) {
    PrepareSingleSpinIx();
    vyn_prop.ap = 10;
    vyn_grid.ndw = 1;
    Rotate2D_internal(1, 0.25e-3, kTwoPi * 100.0);
    EXPECT_EQ(vyn_spin.calc, 1);
    EXPECT_FALSE(FileExists("store"));
    const auto b = ReadBytes("dm.bin");
    ASSERT_EQ(b.size(), 76u);  // header + 2x2 complex
    const Header h = HeaderOf(b);
    EXPECT_EQ(h.type, 0);
    EXPECT_EQ(h.num1, 2);
    EXPECT_EQ(h.num2, 1);
    CMatrix &got = Scratch(0), &want = Scratch(1);
    MatrixOf(b, 2, 1, got);
    NormalisedSingle('y', 1, want);
    RMultCMat(2, -1.0, want, want);
    // ten Taylor exponentials (1e-14 each) and products on 2x2: 1e-12 is ample
    EXPECT_LT(MaxDiff(2, got, want), 1e-12);
}

// Row j of an evolution sector is moved by (j-1) times the sector.
TEST_F(Prop2D, EvolutionRowsMoveByMultiplesOfTheSector) {
    PrepareSingleSpinIx();
    const double theta = kPi / 7;  // rotation of one sector
    vyn_prop.ap = 3;
    vyn_grid.ndw = 4;
    const double h = 1e-4;
    Rotate2D_internal(2, h, theta / (3 * h));
    const auto b = ReadBytes("dm.bin");
    ASSERT_EQ(b.size(), 12u + 4 * 64);
    EXPECT_EQ(HeaderOf(b).num2, 4);
    CMatrix &got = Scratch(0), &x = Scratch(1), &y = Scratch(2), &want = Scratch(3);
    NormalisedSingle('x', 1, x);
    NormalisedSingle('y', 1, y);
    for (int j = 1; j <= 4; ++j) {
        MatrixOf(b, 2, j, got);
        const double a = (j - 1) * theta;
        CMatRMultAdd(2, x, std::cos(a), y, -std::sin(a), want);
        EXPECT_LT(MaxDiff(2, got, want), 1e-12) << "row " << j;
    }
}

TEST_F(Prop2D, LaterSectorResizesToItsEvolutionCount) {
    PrepareSingleSpinIx();
    vyn_prop.ap = 1;
    vyn_grid.ndw = 1;
    Rotate2D_internal(1, 1e-3, kTwoPi * 250.0);  // Ix -> -Iy (quarter turn)
    ASSERT_EQ(vyn_spin.calc, 1);
    vyn_grid.ndw = 3;
    Rotate2D_internal(1, 1e-3, kTwoPi * 250.0);  // three copies, each -Iy -> -Ix
    ASSERT_EQ(vyn_spin.calc, 2);
    const auto b = ReadBytes("dm.bin");
    ASSERT_EQ(b.size(), 12u + 3 * 64);
    CMatrix &got = Scratch(0), &want = Scratch(1);
    NormalisedSingle('x', 1, want);
    RMultCMat(2, -1.0, want, want);
    for (int j = 1; j <= 3; ++j) {
        MatrixOf(b, 2, j, got);
        EXPECT_LT(MaxDiff(2, got, want), 1e-12);
    }
}

TEST_F(Prop2D, MismatchedAndTruncatedFilesAreRefusedUntouched) {
    PrepareSingleSpinIx();
    vyn_prop.ap = 2;
    vyn_grid.ndw = 2;
    vyn_spin.calc = 1;
    CMatrix& m = Scratch(0);
    NormalisedSingle('x', 1, m);
    // dimension 4 in a 2-state system
    WriteDensityFile("dm.bin", 0, 2, {&m, &m});
    {
        auto b = ReadBytes("dm.bin");
        b[4] = 4;
        FILE* f = std::fopen("dm.bin", "wb");
        std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
    }
    auto before = ReadBytes("dm.bin");
    testing::internal::CaptureStdout();
    Rotate2D_internal(1, 1e-3, 1.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Rotate2D: dm.bin dimensions mismatch (type=0 n=4 ndw=2), expected (0 2 2)\n");
    EXPECT_EQ(ReadBytes("dm.bin"), before);
    EXPECT_EQ(vyn_spin.calc, 1);
    EXPECT_FALSE(FileExists("store"));

    // header announces two matrices, the file holds one
    WriteDensityFile("dm.bin", 0, 2, {&m}, 2);
    before = ReadBytes("dm.bin");
    testing::internal::CaptureStdout();
    Rotate2D_internal(1, 1e-3, 1.0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Rotate2D: read error from dm.bin\n");
    EXPECT_EQ(ReadBytes("dm.bin"), before);
    EXPECT_EQ(vyn_spin.calc, 1);
    EXPECT_FALSE(FileExists("store"));
}

// A store that cannot be written completely (the disk fills up half-way)
// leaves dm.bin as the last completed sector left it.
TEST_F(Prop2D, FailedStoreWriteKeepsThePreviousState) {
    PrepareSingleSpinIx();
    vyn_prop.ap = 1;
    vyn_grid.ndw = 300;  // 12 + 300 * 64 bytes, beyond the stream buffer
    Rotate2D_internal(1, 1e-3, kTwoPi * 250.0);
    ASSERT_EQ(vyn_spin.calc, 1);
    const auto before = ReadBytes("dm.bin");
    ASSERT_EQ(before.size(), 12u + 300 * 64);
    {
        FileSizeLimit limit(before.size() / 2);
        ASSERT_TRUE(limit.ok());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Rotate2D_internal(1, 1e-3, kTwoPi * 250.0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Rotate2D: write error to store\n");
        testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(ReadBytes("dm.bin"), before);
    EXPECT_FALSE(FileExists("store"));
    EXPECT_EQ(vyn_spin.calc, 1);

    // a store that cannot be created at all
    ASSERT_EQ(mkdir("store", 0700), 0);
    testing::internal::CaptureStderr();
    Rotate2D_internal(1, 1e-3, kTwoPi * 250.0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("store: "), std::string::npos);
    EXPECT_EQ(ReadBytes("dm.bin"), before);
    EXPECT_EQ(vyn_spin.calc, 1);
    ASSERT_EQ(rmdir("store"), 0);

    // and the next sector goes on from the kept state: -Iy -> -Ix
    Rotate2D_internal(1, 1e-3, kTwoPi * 250.0);
    EXPECT_EQ(vyn_spin.calc, 2);
    const auto after = ReadBytes("dm.bin");
    CMatrix &got = Scratch(0), &want = Scratch(1);
    NormalisedSingle('x', 1, want);
    RMultCMat(2, -1.0, want, want);
    MatrixOf(after, 2, 300, got);
    EXPECT_LT(MaxDiff(2, got, want), 1e-12);
}

class Prop2DRun : public WorkDirTest {
  protected:
    // Hard 90-degree x pulse of length tau as a one-sample sector.
    void HardPulseSector(int s, double tau) {
        Write2DWave("p90.bin", {kPi / 2 / tau}, {0.0});
        DefineSector(s, 1, 1, 1, tau, 0.0, "p90.bin", "hard 90 x");
    }
    void RunAndReadSignal(int np, std::vector<unsigned char>* sig) {
        vyn_sequence.sequencetype = VYN_SEQTYPE_2D;
        std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", "fid.bin");
        SimulateLoaded2DPulseSequence();
        *sig = ReadBytes("fid.bin");
        ASSERT_EQ(sig->size(), 12u + 16u * np);
        const Header h = HeaderOf(*sig);
        EXPECT_EQ(h.type, 1);
        EXPECT_EQ(h.num1, np);
        EXPECT_EQ(h.num2, 1);
    }
};

// On resonance a hard 90x turns sqrt(2)*a*Iz into sqrt(2)*a*Iy; free precession
// at the receiver offset f gives s_k = i a exp(-2 pi i f t_k), t_k = k acq/np.
TEST_F(Prop2DRun, PulseAcquireIsComplexExponentialAtOffset) {
    const double amp = 0.7, f = 37.5, acq = 0.08;
    const int np = 64;
    SetupSpinHalfSystem({0.0}, {amp});
    HardPulseSector(1, 1e-5);
    DefineSector(2, 1, np, 1, acq, f, "none.bin", "ADC acquisition");
    EXPECT_EQ(vyn_current_sequence_is_pulse_acquire_fid(), 1);
    std::vector<unsigned char> sig;
    RunAndReadSignal(np, &sig);
    for (int k = 0; k < np; ++k) {
        const std::complex<double> want = std::complex<double>(0, amp) * std::polar(1.0, -kTwoPi * f * k * acq / np);
        EXPECT_LT(std::abs(BodyValue(sig, k) - want), 1e-11) << k;
    }
}

// The same with the frequency carried by the spin's own offset instead of the
// receiver: the pulse then sees an off-resonance term 2 pi 40 Hz against
// w1 = 2 pi 25 kHz, a phase error of about (dw/w1) ~ 2e-3 rad at most.
TEST_F(Prop2DRun, PulseAcquireFollowsSpinOffset) {
    const double nu = 40.0, acq = 0.05;
    const int np = 32;
    SetupSpinHalfSystem({nu}, {1.0});
    HardPulseSector(1, 1e-5);
    DefineSector(2, 1, np, 1, acq, 0.0, "none.bin", "adc");
    std::vector<unsigned char> sig;
    RunAndReadSignal(np, &sig);
    for (int k = 0; k < np; ++k) {
        const std::complex<double> s = BodyValue(sig, k);
        EXPECT_NEAR(std::abs(s), 1.0, 1e-5);
        if (k > 0) {
            const double dphi = std::arg(s / BodyValue(sig, k - 1));
            EXPECT_NEAR(dphi, -kTwoPi * nu * acq / np, 1e-9);
        }
    }
}

// Line list of the state after the pulse, from the stored density matrix:
// (frequency, magnitude) pairs sorted by frequency.
std::vector<std::pair<double, double>> LinesAfterPulse() {
    const VYNSpinState& s = vyn_spin;
    static SpectrumLineList cs, ss;
    CMatrix &rho = Scratch(0), &hp = Scratch(1), &oy = Scratch(2);
    const auto b = ReadBytes("res.bin");
    MatrixOf(b, s.n, 1, rho);
    CMatAdd(s.n, s.Izee, s.Icoup, hp);
    RMultCMat(s.n, -1.0, hp, hp);
    MakeTotalIy(s.n, s.Nspins, s.ket, s.Ilist, 1, oy);
    int nc = 0, ns = 0;
    DoSpectrum(s.n, rho, hp, oy, cs, ss, &nc, &ns);
    std::vector<std::pair<double, double>> lines;
    for (int k = 1; k <= nc; ++k) lines.push_back({cs[2][k], cs[1][k]});
    for (int k = 1; k <= ns; ++k) lines.push_back({ss[2][k], ss[1][k]});
    // merge cosine and sine parts of one frequency into a magnitude
    std::sort(lines.begin(), lines.end());
    std::vector<std::pair<double, double>> merged;
    for (auto& l : lines) {
        if (std::fabs(l.second) < 1e-9) continue;
        if (!merged.empty() && std::fabs(merged.back().first - l.first) < 0.05)
            merged.back().second = std::hypot(merged.back().second, l.second);
        else
            merged.push_back({l.first, std::fabs(l.second)});
    }
    return merged;
}

void RunPulseOnTwoSpins(double nu1, double nu2, double J, bool exact) {
    SetupSpinHalfSystem({nu1, nu2}, {1.0, 1.0}, {J}, exact);
    Write2DWave("p90.bin", {kPi / 2 / 1e-7}, {0.0});
    DefineSector(1, 1, 1, 1, 1e-7, 0.0, "p90.bin", "hard 90");
    vyn_sequence.sequencetype = VYN_SEQTYPE_2D;
    std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", "res.bin");
    SimulateLoaded2DPulseSequence();
}

// Weak coupling: four lines of equal intensity at nu1 +- J/2 and nu2 +- J/2.
TEST_F(Prop2DRun, WeakCouplingGivesFourLines) {
    RunPulseOnTwoSpins(100.0, 250.0, 10.0, false);
    const auto lines = LinesAfterPulse();
    ASSERT_EQ(lines.size(), 4u);
    const double want[4] = {95.0, 105.0, 245.0, 255.0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(lines[i].first, want[i], 1e-6);
        // the 100 ns pulse is ideal to (2 pi 255 Hz * 1e-7 s)^2 ~ 1e-8
        EXPECT_NEAR(lines[i].second / lines[0].second, 1.0, 1e-6);
    }
}

// Exact coupling, dnu = J = 10 Hz: AB quartet at nu0 +- D/2 +- J/2 with
// D = sqrt(dnu^2 + J^2); inner/outer intensity (1 + J/D)/(1 - J/D).
TEST_F(Prop2DRun, StrongCouplingGivesABQuartetWithRoofEffect) {
    const double nu1 = 100.0, nu2 = 110.0, J = 10.0;
    RunPulseOnTwoSpins(nu1, nu2, J, true);
    const auto lines = LinesAfterPulse();
    ASSERT_EQ(lines.size(), 4u);
    const double nu0 = 0.5 * (nu1 + nu2), D = std::hypot(nu2 - nu1, J);
    const double want[4] = {nu0 - D / 2 - J / 2, nu0 - D / 2 + J / 2, nu0 + D / 2 - J / 2, nu0 + D / 2 + J / 2};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(lines[i].first, want[i], 1e-6) << i;
    const double roof = (1 + J / D) / (1 - J / D);
    EXPECT_NEAR(lines[1].second / lines[0].second, roof, 1e-5);
    EXPECT_NEAR(lines[2].second / lines[3].second, roof, 1e-5);
    EXPECT_NEAR(lines[1].second / lines[2].second, 1.0, 1e-6);
}

TEST_F(Prop2DRun, AdcCountNotPowerOfTwoWritesNothing) {
    SetupSpinHalfSystem({0.0}, {1.0});
    HardPulseSector(1, 1e-5);
    DefineSector(2, 1, 1000, 1, 0.1, 0.0, "none.bin", "ADC");
    std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", "fid.bin");
    testing::internal::CaptureStdout();
    SimulateLoaded2DPulseSequence();
    EXPECT_NE(testing::internal::GetCapturedStdout().find(
                  "ADC sample count 1000 is not a power of two; not writing receiver signal.\n"),
              std::string::npos);
    EXPECT_FALSE(FileExists("fid.bin"));
}

TEST_F(Prop2DRun, BadSectorsEndTheRunBeforeAnyFile) {
    SetupSpinHalfSystem({0.0}, {1.0});
    struct Case {
        int type, noti, nevo;
        const char* msg;
    } cases[] = {{3, 1, 1, "Invalid 1D/2D sector type in sector 1 : 3\n"},
                 {1, 0, 1, "Invalid number of time intervals in sector 1 : 0\n"},
                 {1, 9000, 1, "Invalid number of time intervals in sector 1 : 9000\n"},
                 {1, 1, 0, "Invalid number of evolution intervals in sector 1 : 0\n"}};
    Write2DWave("w.bin", {1.0}, {0.0});
    for (const Case& c : cases) {
        DefineSector(1, c.type, c.noti, c.nevo, 1e-3, 0, "w.bin", "");
        testing::internal::CaptureStdout();
        SimulateLoaded2DPulseSequence();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.msg);
        EXPECT_FALSE(FileExists("dm.bin"));
    }
    // waveform shorter than 2*ap doubles
    Write2DWave("short.bin", {1.0, 2.0}, {0.0});
    DefineSector(1, 1, 2, 1, 1e-3, 0, "short.bin", "");
    testing::internal::CaptureStdout();
    SimulateLoaded2DPulseSequence();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading pulse file short.bin\n");
    EXPECT_FALSE(FileExists("dm.bin"));
    // NaN in yb[7]
    std::vector<double> xb(8, 0.0), yb(8, 0.0);
    yb[7] = std::nan("");
    Write2DWave("nan.bin", xb, yb);
    DefineSector(1, 1, 8, 1, 1e-3, 0, "nan.bin", "");
    testing::internal::CaptureStdout();
    SimulateLoaded2DPulseSequence();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Bad pulse sample at l=7: xb=0 yb=nan\n");
    EXPECT_FALSE(FileExists("dm.bin"));
}

TEST_F(Prop2DRun, WithoutResultOrEvolutionOnlyDmBinRemains) {
    SetupSpinHalfSystem({0.0}, {1.0});
    HardPulseSector(1, 1e-5);
    vyn_sequence.resultflnm[0] = '\0';
    SimulateLoaded2DPulseSequence();
    EXPECT_TRUE(FileExists("dm.bin"));
    EXPECT_FALSE(FileExists("store"));
    EXPECT_FALSE(FileExists("vynsign.bin"));
    EXPECT_EQ(ReadBytes("dm.bin").size(), 76u);
}

// A 2D run (evolution sector) without a result file ends in the 2D spectrum
// routine; in smoke-check mode it asks nothing and writes vynsign.bin with one
// trace per evolution row, each trace a precession started (j - 1) sectors later.
TEST_F(Prop2DRun, EvolutionRunWithoutResultWritesSignalPerRow) {
    const double f = 100.0, tau = 1e-3;  // pi/20 of precession per evolution step
    SetupSpinHalfSystem({f}, {1.0});
    HardPulseSector(1, 1e-7);
    Write2DWave("evo.bin", {0.0}, {0.0});
    DefineSector(2, 2, 1, 4, tau / 4, 0.0, "evo.bin", "t1 evolution");
    vyn_sequence.resultflnm[0] = '\0';
    SimulateLoaded2DPulseSequence();
    const auto sig = ReadBytes("vynsign.bin");
    const int np = 1;  // the last sector's sample count
    ASSERT_EQ(sig.size(), 12u + 16u * np * 4);
    const Header h = HeaderOf(sig);
    EXPECT_EQ(h.type, 1);
    EXPECT_EQ(h.num1, np);
    EXPECT_EQ(h.num2, 4);
    // row j has precessed for (j - 1) sector durations more than row 1; the
    // 100 ns pulse is ideal to 2 pi f * 1e-7 ~ 1e-4 rad, common to all rows
    const std::complex<double> s1 = BodyValue(sig, 0);
    EXPECT_NEAR(std::abs(s1), 1.0, 1e-6);
    for (int j = 2; j <= 4; ++j) {
        const std::complex<double> sj = BodyValue(sig, static_cast<size_t>(j - 1) * np);
        EXPECT_NEAR(std::arg(sj / s1), -kTwoPi * f * (j - 1) * tau / 4, 1e-6) << j;
    }
}

TEST(RemarkKeys, SlowBandDefaultsAndParsing) {
    VYNSequenceState_Reset();
    DefineSector(1, 1, 300, 1, 0.02, 0, "pulse.bin", "x");
    DefineSector(2, 1, 300, 1, 0.02, 0, "pulse.bin", "slowEdit[sech offsetHz=120, mu=5 beta = 800]");
    VYN_SetSmokeCheckMode(1);
    VYNSlowBandSplitConfig cfg;
    ASSERT_EQ(vyn_try_slow_band_split_config(&cfg), 1);
    EXPECT_EQ(cfg.enabled, 1);
    EXPECT_DOUBLE_EQ(cfg.pulse_center_offset_hz, 120);
    EXPECT_DOUBLE_EQ(cfg.mu, 5);
    EXPECT_DOUBLE_EQ(cfg.beta, 800);
    EXPECT_DOUBLE_EQ(cfg.pulse_duration_s, 0.02);
    EXPECT_DOUBLE_EQ(cfg.pulse_amplitude_hz, 1000);
    EXPECT_EQ(cfg.pulse_samples, 300);
    EXPECT_DOUBLE_EQ(cfg.pulse_phase_rad, 0);
    // a sech remark missing beta is not a slow-band sector
    std::snprintf(vyn_sequence.remarks[2], VYN_REMARK_LEN, "%s", "slowEdit[sech offsetHz=1 mu=2]");
    EXPECT_EQ(vyn_try_slow_band_split_config(&cfg), 0);
    // optional keys over the defaults, marker in the file name
    std::snprintf(vyn_sequence.fnames[2], VYN_FNAME_LEN, "%s", "my_slow_pulse.bin");
    std::snprintf(vyn_sequence.remarks[2], VYN_REMARK_LEN, "%s",
                  "sech offsetHz=-3.5 mu=4 beta=100 durationMs=12 amplitudeHz=250 samples=63.5 phaseDeg=90");
    ASSERT_EQ(vyn_try_slow_band_split_config(&cfg), 1);
    EXPECT_DOUBLE_EQ(cfg.pulse_duration_s, 0.012);
    EXPECT_DOUBLE_EQ(cfg.pulse_amplitude_hz, 250);
    EXPECT_EQ(cfg.pulse_samples, 64);  // rounded half away from zero
    EXPECT_NEAR(cfg.pulse_phase_rad, kPi / 2, 1e-15);
    VYN_SetSmokeCheckMode(0);

    int v = 0;
    EXPECT_TRUE(vyn_parse_int_after_key("n = -2.5", "N", &v));
    EXPECT_EQ(v, -3);
    double d = 7;
    EXPECT_FALSE(vyn_parse_double_after_key("mu=inf", "mu", &d));
    EXPECT_FALSE(vyn_parse_double_after_key("mu=", "mu", &d));
    EXPECT_EQ(d, 7);
    EXPECT_TRUE(vyn_remark_is_acquisition("start of ACQUISITION"));
    EXPECT_TRUE(vyn_remark_is_acquisition("Adc"));
    EXPECT_FALSE(vyn_remark_is_acquisition("acq"));
    EXPECT_TRUE(vyn_is_power_of_two_int(1));
    EXPECT_FALSE(vyn_is_power_of_two_int(0));
    EXPECT_FALSE(vyn_is_power_of_two_int(1000));
}

}  // namespace
