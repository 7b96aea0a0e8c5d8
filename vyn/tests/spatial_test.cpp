// Spatially resolved propagation: equivalence with the 1D run, voxel order,
// gradient phase winding, progress lines and refusals.
#include "fieldgradientlib.h"
#include "prop_test_util.h"

using namespace proptest;

namespace {

class Spatial : public WorkDirTest {
  protected:
    void Grid(int nx, int ny, int nz, double x0, double dx, double y0, double dy, double z0, double dz) {
        vyn_grid.ndx = nx;
        vyn_grid.ndy = ny;
        vyn_grid.ndz = nz;
        VYNSequenceState& q = vyn_sequence;
        q.x0 = x0, q.dx = dx, q.y0 = y0, q.dy = dy, q.z0 = z0, q.dz = dz;
        q.sequencetype = VYN_SEQTYPE_SPATIAL;
        q.resultflnm[0] = '\0';
    }
    // Hard 90x sector (one sample, no gradient) as sector s.
    void PulseSector(int s) {
        const double tau = 1e-5;
        WriteSpatialWave("p90.bin", {kPi / 2 / tau}, {0}, {0}, {0}, {0});
        DefineSector(s, 1, 1, 1, tau, 0, "p90.bin", "hard 90 x");
    }
    // Free precession of duration T under constant gradients (Hz/cm).
    void GradientSector(int s, double T, double gx_hz, double gy_hz, double gz_hz, int ap = 4) {
        std::vector<double> zero(ap, 0.0), gx(ap), gy(ap), gz(ap);
        ASSERT_EQ(gradproc1_compute(ap, T / ap, gx.data(), gx_hz), FIELDGRAD_OK);
        ASSERT_EQ(gradproc1_compute(ap, T / ap, gy.data(), gy_hz), FIELDGRAD_OK);
        ASSERT_EQ(gradproc1_compute(ap, T / ap, gz.data(), gz_hz), FIELDGRAD_OK);
        WriteSpatialWave("grad.bin", zero, zero, gx, gy, gz);
        DefineSector(s, 1, ap, 1, T, 0, "grad.bin", "gradient");
    }
    // Transverse phase of a voxel matrix: after the 90x the state is
    // sqrt(2)(Iy cos phi + Ix sin phi), so phi = atan2(<Ix>, <Iy>).
    double PhaseOf(const CMatrix& rho) {
        CMatrix &x = Scratch(4), &y = Scratch(5);
        NormalisedSingle('x', 1, x);
        NormalisedSingle('y', 1, y);
        return std::atan2(Expect(2, x, rho).real(), Expect(2, y, rho).real());
    }
};

// A 1x1x1 grid at the origin with zero gradients is the 1D normal sector.
TEST_F(Spatial, SingleVoxelEqualsOneDimensionalRun) {
    SetupSpinHalfSystem({30.0, -70.0}, {1.0, 0.6}, {8.0}, true);
    const int ap = 16;
    std::vector<double> xb(ap), yb(ap), zero(ap, 0.0);
    for (int l = 0; l < ap; ++l) {
        xb[l] = 2000.0 * std::sin(0.3 * l + 0.1);
        yb[l] = 1500.0 * std::cos(0.7 * l);
    }
    WriteSpatialWave("sp.bin", xb, yb, zero, zero, zero);
    Write2DWave("2d.bin", xb, yb);

    Grid(1, 1, 1, 0, 0, 0, 0, 0, 0);
    DefineSector(1, 1, ap, 1, 2e-3, 45.0, "sp.bin", "shaped");
    SimulateLoadedPulseSequence();
    const auto spatial = ReadBytes("dm.bin");

    std::remove("dm.bin");
    vyn_sequence.sequencetype = VYN_SEQTYPE_2D;
    DefineSector(1, 1, ap, 1, 2e-3, 45.0, "2d.bin", "shaped");
    SimulateLoaded2DPulseSequence();
    const auto oned = ReadBytes("dm.bin");

    ASSERT_EQ(spatial.size(), 12u + 16 * 16);
    ASSERT_EQ(oned.size(), spatial.size());
    CMatrix &a = Scratch(0), &b = Scratch(1), &init = Scratch(2);
    MatrixOf(spatial, 4, 1, a);
    MatrixOf(oned, 4, 1, b);
    EXPECT_LT(MaxDiff(4, a, b), 1e-13);
    // and the pulse did act on the state
    BuildSpinSystemFromPulseSequenceGlobals();
    CopyCMatrix(4, vyn_spin.densmat, init);
    EXPECT_GT(MaxDiff(4, a, init), 0.1);
}

// Voxel (kx, ky, kz) is matrix kz + ((ky-1) + ndy (kx-1)) ndz and sees the
// phase 2 pi (Gx x + Gy y + Gz z) T of its position.
TEST_F(Spatial, VoxelOrderOfThreeByTwoByTwoGrid) {
    SetupSpinHalfSystem({0.0}, {1.0});
    Grid(3, 2, 2, -1.0, 0.5, 0.2, 0.3, 1.0, -0.4);
    PulseSector(1);
    const double T = 1e-3, Gx = 100, Gy = 37, Gz = 11;
    GradientSector(2, T, Gx, Gy, Gz);
    SimulateLoadedPulseSequence();
    const auto b = ReadBytes("dm.bin");
    ASSERT_EQ(b.size(), 12u + 12 * 64);
    const Header h = HeaderOf(b);
    EXPECT_EQ(h.type, 0);
    EXPECT_EQ(h.num1, 2);
    EXPECT_EQ(h.num2, 12);
    CMatrix& rho = Scratch(0);
    int k = 0;
    for (int kx = 1; kx <= 3; ++kx)
        for (int ky = 1; ky <= 2; ++ky)
            for (int kz = 1; kz <= 2; ++kz) {
                ++k;  // file order (1,1,1), (1,1,2), (1,2,1), ...
                const double x = -1.0 + (kx - 1) * 0.5, y = 0.2 + (ky - 1) * 0.3, z = 1.0 - (kz - 1) * 0.4;
                const double phi = kTwoPi * (Gx * x + Gy * y + Gz * z) * T;
                MatrixOf(b, 2, k, rho);
                const double got = PhaseOf(rho);
                EXPECT_NEAR(std::remainder(got - phi, kTwoPi), 0.0, 1e-10) << kx << ky << kz;
            }
}

// A constant x-gradient G (Hz/cm) for time T winds the transverse phase by
// 2 pi G T radians per cm (the pulse sector carries no gradient, so every
// voxel starts from the same state; only exponential round-off remains).
TEST_F(Spatial, ConstantXGradientWindsPhasePerCm) {
    SetupSpinHalfSystem({0.0}, {1.0});
    const int nx = 9;
    const double dx = 0.25, G = 40.0, T = 2e-3;
    Grid(nx, 1, 1, -1.0, dx, 0, 0, 0, 0);
    PulseSector(1);
    GradientSector(2, T, G, 0, 0, 8);
    DefineSector(3, 1, 64, 1, 0.01, 0, "none.bin", "ADC");
    testing::internal::CaptureStdout();
    SimulateLoadedPulseSequence();
    testing::internal::GetCapturedStdout();
    const auto b = ReadBytes("dm.bin");
    ASSERT_EQ(HeaderOf(b).num2, nx);
    CMatrix& rho = Scratch(0);
    std::vector<double> phase(nx);
    for (int k = 1; k <= nx; ++k) {
        MatrixOf(b, 2, k, rho);
        phase[k - 1] = PhaseOf(rho);
    }
    const double per_cm = kTwoPi * G * T;  // 0.503 rad/cm
    for (int k = 1; k < nx; ++k) {
        const double step = std::remainder(phase[k] - phase[k - 1], kTwoPi);
        EXPECT_NEAR(step / dx, per_cm, 1e-9) << k;
    }
    EXPECT_NEAR(std::remainder(phase[4], kTwoPi), 0.0, 1e-9);  // voxel at x = 0
}

std::vector<std::string> ProgressLines(const std::string& out) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while ((pos = out.find("[VYN_PROGRESS]", pos)) != std::string::npos) {
        size_t end = out.find('\n', pos);
        lines.push_back(out.substr(pos, end - pos));
        pos = end;
    }
    return lines;
}

TEST_F(Spatial, ProgressLinesAndAcquisitionStop) {
    SetupSpinHalfSystem({0.0}, {1.0});
    Grid(5, 10, 1, 0, 0.1, 0, 0.1, 0, 0);
    PulseSector(1);
    GradientSector(2, 1e-3, 10, 0, 0, 1);
    DefineSector(3, 1, 16, 1, 0.01, 0, "missing-file.bin", "adc");
    DefineSector(4, 1, 1, 1, 1e-3, 0, "missing-file.bin", "never propagated");
    VYN_SetSmokeCheckMode(0);
    testing::internal::CaptureStdout();
    SimulateLoadedPulseSequence();
    const std::string out = testing::internal::GetCapturedStdout();
    VYN_SetSmokeCheckMode(1);
    const auto lines = ProgressLines(out);
    ASSERT_EQ(lines.size(), 100u);  // 50 voxels: every voxel, two sectors
    EXPECT_EQ(lines[0], "[VYN_PROGRESS] sector=1 sectors=2 voxel=1 voxels=50 percent=1");
    EXPECT_EQ(lines[49], "[VYN_PROGRESS] sector=1 sectors=2 voxel=50 voxels=50 percent=50");
    EXPECT_EQ(lines[99], "[VYN_PROGRESS] sector=2 sectors=2 voxel=50 voxels=50 percent=100");
    EXPECT_NE(out.find("# x-direction : 5  # y-direction : 10  # z-direction : 1\n"), std::string::npos);
    EXPECT_NE(out.find("\nSpatial propagation stops at acquisition sector 3.\n"), std::string::npos);
    EXPECT_EQ(out.find("Error reading pulse file"), std::string::npos);
    EXPECT_EQ(vyn_spin.calc, 2);
}

TEST_F(Spatial, ProgressIsThinnedForLargeGrids) {
    SetupSpinHalfSystem({0.0}, {1.0});
    Grid(10, 10, 10, 0, 0.1, 0, 0.1, 0, 0.1);
    PulseSector(1);
    VYN_SetSmokeCheckMode(0);
    testing::internal::CaptureStdout();
    SimulateLoadedPulseSequence();
    const auto lines = ProgressLines(testing::internal::GetCapturedStdout());
    VYN_SetSmokeCheckMode(1);
    ASSERT_EQ(lines.size(), 101u);  // voxels 1, 10, 20, ..., 1000
    EXPECT_EQ(lines[1], "[VYN_PROGRESS] sector=1 sectors=1 voxel=10 voxels=1000 percent=1");
    EXPECT_EQ(lines[100], "[VYN_PROGRESS] sector=1 sectors=1 voxel=1000 voxels=1000 percent=100");
}

TEST_F(Spatial, BadSampleEndsRunBeforeDmBin) {
    SetupSpinHalfSystem({0.0}, {1.0});
    Grid(2, 1, 1, 0, 1, 0, 0, 0, 0);
    WriteSpatialWave("bad.bin", {0.0}, {0.0}, {0.0}, {0.0}, {std::nan("")});
    DefineSector(1, 1, 1, 1, 1e-3, 0, "bad.bin", "");
    testing::internal::CaptureStdout();
    SimulateLoadedPulseSequence();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Bad pulse sample at l=0: xb=0 yb=0 gx=0 gy=0 gz=nan\n");
    EXPECT_FALSE(FileExists("dm.bin"));

    WriteDoubles("short.bin", {0, 0, 0, 0});  // 4 of the 5 blocks
    DefineSector(1, 1, 1, 1, 1e-3, 0, "short.bin", "");
    testing::internal::CaptureStdout();
    SimulateLoadedPulseSequence();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading pulse file short.bin\n");
    EXPECT_FALSE(FileExists("dm.bin"));
}

// A continuing sector (calc > 0) refuses a dm.bin of the wrong grid or one
// shorter than its header, leaving it as it was.
TEST_F(Spatial, MismatchedOrTruncatedDmBinIsRefused) {
    SetupSpinHalfSystem({0.0}, {1.0});
    vyn_grid.ndx = 3;
    vyn_grid.ndy = vyn_grid.ndz = 1;
    vyn_spin.calc = 1;
    vyn_spin.pulseflag = 1;
    vyn_prop.ap = 1;
    vyn_prop.h = 1e-3;
    CMatrix& m = Scratch(0);
    NormalisedSingle('x', 1, m);
    WriteDensityFile("dm.bin", 0, 2, {&m, &m});
    auto before = ReadBytes("dm.bin");
    testing::internal::CaptureStdout();
    Rotate3D();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Rotate3D: dm.bin dimensions mismatch (type=0 n=2 ndw=2), expected (0 2 3)\n");
    EXPECT_EQ(ReadBytes("dm.bin"), before);

    WriteDensityFile("dm.bin", 0, 2, {&m, &m}, 3);
    before = ReadBytes("dm.bin");
    testing::internal::CaptureStdout();
    Rotate3D();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Rotate3D: read error from dm.bin\n");
    EXPECT_EQ(ReadBytes("dm.bin"), before);
    EXPECT_FALSE(FileExists("store"));
    EXPECT_EQ(vyn_spin.calc, 1);

    // a grid beyond 256 points per axis is refused outright
    vyn_grid.ndx = 300;
    testing::internal::CaptureStdout();
    Rotate3D();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ReadBytes("dm.bin"), before);
}

// A store that cannot be written completely leaves every voxel as it was.
TEST_F(Spatial, FailedStoreWriteKeepsThePreviousState) {
    SetupSpinHalfSystem({0.0}, {1.0});
    Grid(20, 5, 3, 0, 1, 0, 1, 0, 1);  // 300 voxels, 12 + 300 * 64 bytes
    PulseSector(1);
    SimulateLoadedPulseSequence();
    ASSERT_EQ(vyn_spin.calc, 1);
    const auto before = ReadBytes("dm.bin");
    ASSERT_EQ(before.size(), 12u + 300 * 64);
    {
        FileSizeLimit limit(before.size() / 2);
        ASSERT_TRUE(limit.ok());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        Rotate3D();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Rotate3D: write error to store\n");
        testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(ReadBytes("dm.bin"), before);
    EXPECT_FALSE(FileExists("store"));
    EXPECT_EQ(vyn_spin.calc, 1);
}

// On the literal path each interval of a voxel costs one exponential and one
// product (none for the first interval), plus the rotation of the voxel's
// matrix: nothing is formed twice. The exponentials' own products are counted
// by calling ExpMatrix on the same Hamiltonians.
TEST_F(Spatial, OneExponentialAndOneProductPerInterval) {
    vyn_spatial_options.method = VYN_SPATIAL_LITERAL;
    SetupSpinHalfSystem({20.0, -35.0}, {1.0, 1.0}, {6.0}, true);
    const int ap = 6;
    const double T = 1e-3, x = 0.5;
    std::vector<double> xb(ap), yb(ap), gx(ap), zero(ap, 0.0);
    for (int l = 0; l < ap; ++l) {
        xb[l] = 3000.0 * std::sin(0.4 * l + 0.2);
        yb[l] = 800.0 * l;
        gx[l] = kTwoPi * 200.0 * (l % 3);
    }
    WriteSpatialWave("w.bin", xb, yb, gx, zero, zero);
    Grid(1, 1, 1, x, 0, 0, 0, 0, 0);
    DefineSector(1, 1, ap, 1, T, 15.0, "w.bin", "shaped");
    vyn_sequence.nos = 1;

    const VYNSpinState& sp = vyn_spin;
    const int n = sp.n;
    CMatrix &hneg = Scratch(0), &u = Scratch(1), &rho = Scratch(2);
    unsigned long expected = 0;
    for (int l = 0; l < ap; ++l) {
        const double w = gx[l] * x + kTwoPi * 15.0;
        CMatAdd(n, sp.Izee, sp.Icoup, hneg);
        CMatRMultAdd(n, hneg, -1.0, sp.Izgrad, -w, hneg);
        CMatRMultAdd(n, hneg, 1.0, sp.Ixtot, -xb[l], hneg);
        CMatRMultAdd(n, hneg, 1.0, sp.Iytot, -yb[l], hneg);
        const unsigned long c0 = matrixmath_mult_count;
        ExpMatrix(n, hneg, T / ap, u);
        expected += matrixmath_mult_count - c0;
    }
    expected += ap - 1;
    CopyCMatrix(n, sp.densmat, rho);
    const unsigned long c0 = matrixmath_mult_count;
    DoRotation(n, u, rho);
    expected += matrixmath_mult_count - c0;

    // the run rebuilds the spin system first
    unsigned long c1 = matrixmath_mult_count;
    ASSERT_EQ(BuildSpinSystemFromPulseSequenceGlobals(), 1);
    expected += matrixmath_mult_count - c1;

    const unsigned long before = matrixmath_mult_count;
    SimulateLoadedPulseSequence();
    ASSERT_EQ(vyn_spin.calc, 1);
    EXPECT_EQ(matrixmath_mult_count - before, expected);
}

TEST_F(Spatial, ResultCopyIsWritten) {
    SetupSpinHalfSystem({0.0}, {1.0});
    Grid(2, 1, 1, 0, 1, 0, 0, 0, 0);
    PulseSector(1);
    std::snprintf(vyn_sequence.resultflnm, VYN_FNAME_LEN, "%s", "spatial-result.bin");
    testing::internal::CaptureStdout();
    SimulateLoadedPulseSequence();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Copied spatial density-matrix result to spatial-result.bin\n");
    EXPECT_EQ(ReadBytes("spatial-result.bin"), ReadBytes("dm.bin"));
    EXPECT_EQ(ReadBytes("dm.bin").size(), 12u + 2 * 64);
}

// A store whose header cannot be written is reported as such; dm.bin keeps its state.
TEST_F(Spatial, FailedStoreHeaderIsReported) {
    SetupSpinHalfSystem({0.0}, {1.0});
    Grid(2, 1, 1, 0, 1, 0, 0, 0, 0);
    PulseSector(1);
    ASSERT_TRUE(SimulateLoadedPulseSequence());
    const auto before = ReadBytes("dm.bin");
    ASSERT_EQ(symlink("/dev/full", "store"), 0);  // a device that takes no data
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Rotate3D();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Rotate3D: failed to write store header\n");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(vyn_spin.calc, 1);
    EXPECT_EQ(ReadBytes("dm.bin"), before);
    EXPECT_FALSE(FileExists("store"));
}

// A sector that fails stops the run: the later sectors are not applied to a
// stale or missing state and no result is copied.
TEST_F(Spatial, FailedSectorStopsTheRunWithoutResult) {
    SetupSpinHalfSystem({0.0}, {1.0});
    Grid(2, 1, 1, 0, 1, 0, 0, 0, 0);  // dm.bin of 12 + 2 * 64 bytes
    PulseSector(1);
    PulseSector(2);
    PulseSector(3);
    std::snprintf(vyn_sequence.resultflnm, VYN_FNAME_LEN, "%s", "spatial-result.bin");
    bool ok;
    std::string out;
    {
        FileSizeLimit limit(100);  // dm.bin cannot be written completely
        ASSERT_TRUE(limit.ok());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        ok = SimulateLoadedPulseSequence();
        out = testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
    }
    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("Rotate3D: "), std::string::npos) << out;
    EXPECT_EQ(out.find("Copied spatial"), std::string::npos) << out;
    EXPECT_FALSE(FileExists("spatial-result.bin"));
    EXPECT_EQ(vyn_spin.calc, 0);
}

}  // namespace
