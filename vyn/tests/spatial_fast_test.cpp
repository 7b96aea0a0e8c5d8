// The shared spatial propagation against the literal per-voxel algorithm:
// random spin systems (spins-1/2 and spin-1, exact and weak coupling) on
// grids where shared and unshared voxels mix, exact detection of coinciding
// offset sequences, and identical dm.bin bytes whatever the thread count.
#include "prop_test_util.h"

using namespace proptest;

namespace {

struct SystemCase {
    const char* name;
    std::vector<int> twice_i;  // 2I per spin
    bool exact;
    unsigned seed;
};

class SpatialShared : public WorkDirTest {
  protected:
    void System(const SystemCase& c) { RandomSpinSystem(c.twice_i, c.exact, c.seed); }
    void Grid(int nx, int ny, int nz) {
        vyn_grid.ndx = nx, vyn_grid.ndy = ny, vyn_grid.ndz = nz;
        VYNSequenceState& q = vyn_sequence;
        q.x0 = -0.8, q.dx = 0.55, q.y0 = 0.3, q.dy = -0.4, q.z0 = -0.2, q.dz = 0.35;
        q.sequencetype = VYN_SEQTYPE_SPATIAL;
        q.resultflnm[0] = '\0';
    }
    // Sector s: ap samples of RF (amplitude rf, phase-modulated when phase)
    // and constant gradients (Hz/cm) on the axes given, static offset in Hz.
    void Sector(int s, int ap, double T, double rf_hz, bool phase, double gx_hz, double gy_hz, double gz_hz,
                double statoff_hz) {
        std::vector<double> xb(ap), yb(ap), gx(ap), gy(ap), gz(ap);
        for (int l = 0; l < ap; ++l) {
            const double env = std::sin(kPi * (l + 0.5) / ap);
            xb[l] = kTwoPi * rf_hz * env * (phase ? std::cos(0.9 * l) : 1.0);
            // even samples of a phase-modulated pulse lie on the x axis, some negative
            yb[l] = phase && l % 2 ? kTwoPi * rf_hz * env * std::sin(0.9 * l) : 0.0;
            gx[l] = kTwoPi * gx_hz * (1.0 + 0.1 * l);
            gy[l] = kTwoPi * gy_hz;
            gz[l] = kTwoPi * gz_hz * (l % 2 ? 1.0 : -0.5);
        }
        const std::string file = "s" + std::to_string(s) + ".bin";
        WriteSpatialWave(file.c_str(), xb, yb, gx, gy, gz);
        DefineSector(s, 1, ap, 1, T, statoff_hz, file.c_str(), "sector");
    }
    // Slice pulse on x, crusher on all axes with a static offset, a
    // phase-modulated pulse under y and z gradients (no sharing), a pulse
    // without gradients (one propagator), a y crusher.
    void Sequence() {
        Sector(1, 6, 1e-3, 700.0, false, 150.0, 0, 0, 0);
        Sector(2, 3, 2e-3, 0.0, false, 90.0, -60.0, 45.0, 25.0);
        Sector(3, 5, 8e-4, 500.0, true, 0, 120.0, -80.0, -40.0);
        Sector(4, 4, 5e-4, 900.0, true, 0, 0, 0, 60.0);
        Sector(5, 2, 1e-3, 0.0, false, 0, 70.0, 0, 0);
    }
    std::vector<unsigned char> Run(int method, int step_exp, int threads) {
        std::remove("dm.bin");
        vyn_spatial_options.method = method;
        vyn_spatial_options.step_exp = step_exp;
        vyn_spatial_options.eig_min_n = 1;  // the eigen path at every size
        vyn_spatial_options.threads = threads;
        SimulateLoadedPulseSequence();
        EXPECT_EQ(vyn_spin.calc, vyn_sequence.nos);
        return ReadBytes("dm.bin");
    }
};

const SystemCase kSystems[] = {
    {"three spins-1/2, exact coupling", {1, 1, 1}, true, 11},
    {"three spins-1/2, weak coupling", {1, 1, 1}, false, 12},
    {"spin-1 and spin-1/2, exact coupling", {2, 1}, true, 13},
    {"two spins-1, weak coupling", {2, 2}, false, 14},
};

TEST_F(SpatialShared, EveryPathAgreesWithTheLiteralAlgorithm) {
    for (const SystemCase& c : kSystems) {
        SCOPED_TRACE(c.name);
        System(c);
        Grid(3, 2, 4);
        Sequence();
        const auto literal = Run(VYN_SPATIAL_LITERAL, VYN_STEP_EXP_AUTO, 1);
        // The sequence moves the state far from equilibrium, differently per voxel.
        CMatrix &a = Scratch(0), &b = Scratch(1);
        MatrixOf(literal, vyn_spin.n, 1, a);
        MatrixOf(literal, vyn_spin.n, 24, b);
        ASSERT_GT(MaxDiff(vyn_spin.n, a, b), 1e-3);
        for (int step : {VYN_STEP_EXP_AUTO, VYN_STEP_EXP_PADE, VYN_STEP_EXP_TAYLOR}) {
            SCOPED_TRACE(step);
            EXPECT_LE(MaxDeviation(literal, Run(VYN_SPATIAL_SHARED, step, 2)), 1e-10);
        }
    }
}

// The plan of each kind of sector: what is shared and how often a rotation
// is formed (every voxel starts from the same matrix, so the rotations are
// one per distinct propagator).
TEST_F(SpatialShared, SectorsShareWhatTheirOffsetsAllow) {
    struct Case {
        const char* name;
        double rf, gx, gy, gz;
        int free, classes, rotations;
    };
    const Case cases[] = {
        {"slice on x", 700, 150, 0, 0, 0, 3, 3},
        {"slice on z", 700, 0, 0, 50, 0, 4, 4},
        {"no gradient", 700, 0, 0, 0, 0, 1, 1},
        {"RF under y and z gradients", 700, 0, 30, 50, 0, 8, 8},
        {"free precession under all gradients", 0, 20, 30, 50, 1, 1, 1},
    };
    System(kSystems[0]);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Grid(3, 2, 4);
        vyn_sequence.nos = 0;
        Sector(1, 4, 1e-3, c.rf, false, c.gx, c.gy, c.gz, 10.0);
        const auto literal = Run(VYN_SPATIAL_LITERAL, VYN_STEP_EXP_AUTO, 1);
        const auto shared = Run(VYN_SPATIAL_SHARED, VYN_STEP_EXP_AUTO, 2);
        EXPECT_EQ(vyn_spatial_stats.free_precession, c.free);
        EXPECT_EQ(vyn_spatial_stats.classes, c.classes);
        EXPECT_EQ(vyn_spatial_stats.rotations, c.rotations);
        EXPECT_EQ(vyn_spatial_stats.structured, 1);
        EXPECT_LE(MaxDeviation(literal, shared), 1e-10);
    }
}

// A z-gradient sector is one-axis only while x and y carry no gradient at
// all: one nonzero x sample that changes an offset, however little, makes
// every (x, z) distinct.
TEST_F(SpatialShared, OneNonzeroSampleOnASecondAxisBreaksTheSharing) {
    const int ap = 8, nx = 3, ny = 2, nz = 4;
    std::vector<double> xb(ap, 2000.0), yb(ap, 0.0), gx(ap, 0.0), gy(ap, 0.0), gz(ap, kTwoPi * 80.0);
    VYNSpatialSector s{};
    s.n = 2, s.ap = ap, s.h = 1e-4, s.offset = 3.0;
    s.xb = xb.data(), s.yb = yb.data(), s.gx = gx.data(), s.gy = gy.data(), s.gz = gz.data();
    s.ndx = nx, s.ndy = ny, s.ndz = nz;
    s.x0 = -0.8, s.dx = 0.55, s.y0 = 0.3, s.dy = -0.4, s.z0 = -0.2, s.dz = 0.35;
    std::vector<int> cls(nx * ny * nz);
    struct Case {
        int sample;
        double value;
        int classes;
    };
    const Case cases[] = {{-1, 0.0, nz}, {5, kTwoPi * 300.0, nx * nz}, {ap - 1, 1e-9, nx * nz}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        std::fill(gx.begin(), gx.end(), 0.0);
        if (c.sample >= 0) gx[c.sample] = c.value;
        EXPECT_EQ(vyn_spatial_offset_classes(s, cls.data()), c.classes);
        // voxels differing only in y always share; in x only with no x sample
        EXPECT_EQ(cls[0], cls[nz]);
        EXPECT_EQ(cls[0] == cls[ny * nz], c.sample < 0);
    }

    // The same sector through the engine: the x sample changes the result.
    System(kSystems[0]);
    Grid(nx, ny, nz);
    std::fill(gx.begin(), gx.end(), 0.0);
    gx[5] = kTwoPi * 300.0;
    WriteSpatialWave("w.bin", xb, yb, gx, gy, gz);
    DefineSector(1, 1, ap, 1, ap * 1e-4, 0.5, "w.bin", "z slice with one x sample");
    const auto literal = Run(VYN_SPATIAL_LITERAL, VYN_STEP_EXP_AUTO, 1);
    const auto shared = Run(VYN_SPATIAL_SHARED, VYN_STEP_EXP_AUTO, 2);
    EXPECT_EQ(vyn_spatial_stats.classes, nx * nz);
    EXPECT_LE(MaxDeviation(literal, shared), 1e-10);
}

TEST_F(SpatialShared, DmBinBytesDoNotDependOnTheThreadCount) {
    System({"four spins-1/2", {1, 1, 1, 1}, true, 21});
    Grid(3, 3, 3);
    Sequence();
    for (int step : {VYN_STEP_EXP_AUTO, VYN_STEP_EXP_PADE}) {
        const auto one = Run(VYN_SPATIAL_SHARED, step, 1);
        ASSERT_EQ(one.size(), 12u + 27u * 16 * 16 * 16);
        EXPECT_EQ(Run(VYN_SPATIAL_SHARED, step, 2), one);
        EXPECT_EQ(Run(VYN_SPATIAL_SHARED, step, 3), one);
    }
}

// Offset interpolation, forced wherever a group has two classes (the
// automatic choice takes it only where it pays): every system, each step
// exponential for the nodes, against the literal algorithm; and the same
// bytes whatever the thread count.
TEST_F(SpatialShared, OffsetInterpolationAgreesWithTheLiteralAlgorithm) {
    for (const SystemCase& c : kSystems) {
        SCOPED_TRACE(c.name);
        System(c);
        Grid(6, 6, 1);
        Sequence();
        // a strongly phase-modulated pulse under x and y: the widest offset range
        Sector(6, 24, 3e-3, 800.0, true, 220.0, -170.0, 0, 35.0);
        vyn_spatial_options.interp = VYN_INTERP_OFF;
        const auto literal = Run(VYN_SPATIAL_LITERAL, VYN_STEP_EXP_AUTO, 1);
        vyn_spatial_options.interp = VYN_INTERP_ON;
        for (int step : {VYN_STEP_EXP_AUTO, VYN_STEP_EXP_PADE}) {
            SCOPED_TRACE(step);
            std::memset(&vyn_spatial_totals, 0, sizeof vyn_spatial_totals);
            const auto one = Run(VYN_SPATIAL_SHARED, step, 1);
            // the last sector: every (x, y) its own class, fewer nodes than factors
            EXPECT_EQ(vyn_spatial_stats.interpolated, 36);
            EXPECT_LT(vyn_spatial_stats.interp_nodes, 36 * 24 / 2);
            EXPECT_LE(MaxDeviation(literal, one), 1e-10);
            EXPECT_EQ(Run(VYN_SPATIAL_SHARED, step, 3), one);
        }
    }
}

// Where interpolation is taken: never when off; automatically on the eigen
// path where the nodes are at most half the factors (not for two classes, not
// on the Pade path); forced whatever it costs, with Pade nodes too; and not at
// all when a sample's offsets lie too far apart for the largest degree. The
// result agrees with the literal algorithm in every case.
TEST_F(SpatialShared, InterpolationIsTakenWhereTheRulesSay) {
    struct Case {
        const char* name;
        int interp, step;
        double gradient_scale;
        int nx, ny, interpolated;
    };
    const Case cases[] = {
        {"off", VYN_INTERP_OFF, VYN_STEP_EXP_AUTO, 1.0, 6, 6, 0},
        {"auto, eigen path", VYN_INTERP_AUTO, VYN_STEP_EXP_AUTO, 1.0, 6, 6, 36},
        {"auto, eigen path, two classes", VYN_INTERP_AUTO, VYN_STEP_EXP_AUTO, 1.0, 2, 1, 0},
        {"auto, Pade path", VYN_INTERP_AUTO, VYN_STEP_EXP_PADE, 1.0, 6, 6, 0},
        {"on, two classes", VYN_INTERP_ON, VYN_STEP_EXP_AUTO, 1.0, 2, 1, 2},
        {"on, Pade nodes", VYN_INTERP_ON, VYN_STEP_EXP_PADE, 1.0, 6, 6, 36},
        {"on, offsets beyond the largest degree", VYN_INTERP_ON, VYN_STEP_EXP_AUTO, 100.0, 6, 6, 0},
    };
    System(kSystems[1]);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Grid(c.nx, c.ny, 1);
        vyn_sequence.nos = 0;
        Sector(1, 24, 3e-3, 800.0, true, 220.0 * c.gradient_scale, -170.0 * c.gradient_scale, 0, 35.0);
        const auto literal = Run(VYN_SPATIAL_LITERAL, VYN_STEP_EXP_AUTO, 1);
        vyn_spatial_options.interp = c.interp;
        const auto shared = Run(VYN_SPATIAL_SHARED, c.step, 2);
        EXPECT_EQ(vyn_spatial_stats.classes, c.nx * c.ny);
        EXPECT_EQ(vyn_spatial_stats.interpolated, c.interpolated);
        EXPECT_EQ(vyn_spatial_stats.interp_nodes > 0, c.interpolated > 0);
        EXPECT_LE(MaxDeviation(literal, shared), 1e-10);
    }
}

// Small batches and a cache of one propagator force evictions and
// recomputation; the result stays the same bytes (each class on its own:
// with interpolation the groups, and so the last bits, follow the cache).
TEST_F(SpatialShared, BoundedCacheAndBatchesGiveTheSameBytes) {
    System(kSystems[2]);
    Grid(3, 2, 4);
    Sequence();
    vyn_spatial_options.interp = VYN_INTERP_OFF;
    const auto roomy = Run(VYN_SPATIAL_SHARED, VYN_STEP_EXP_AUTO, 2);
    vyn_spatial_options.cache_bytes = 1;
    vyn_spatial_options.batch_bytes = 1;
    std::remove("dm.bin");
    vyn_spatial_options.threads = 2;
    SimulateLoadedPulseSequence();
    EXPECT_EQ(ReadBytes("dm.bin"), roomy);
}

// The voxel sum (batch by batch through every sector, nothing on disk)
// against the sum of the matrices of dm.bin, over the whole grid and over
// ranges; its bytes do not depend on the thread count.
TEST_F(SpatialShared, VoxelSumIsTheSumOfTheVoxelMatrices) {
    struct Case {
        const char* name;
        int interp;
        long long batch_bytes;
        int tail;  // 1: ends with a pulse and a delay without gradients (applied to the sum);
                   // 2: ends with a pulse under gradients (class sums); 3: both
        long long cache_bytes;
    };
    const long long roomy = 256LL << 20;
    const Case cases[] = {{"default batches", VYN_INTERP_AUTO, 64LL << 20, 0, roomy},
                          {"forced interpolation", VYN_INTERP_ON, 64LL << 20, 0, roomy},
                          {"batches of one voxel", VYN_INTERP_OFF, 1, 0, roomy},
                          {"trailing pulse and delay without gradients", VYN_INTERP_AUTO, 64LL << 20, 1, roomy},
                          {"last pulse under gradients", VYN_INTERP_AUTO, 64LL << 20, 2, roomy},
                          {"last pulse under gradients, then a delay", VYN_INTERP_OFF, 1, 3, roomy},
                          {"class sums beyond the cache bound", VYN_INTERP_AUTO, 64LL << 20, 2, 1}};
    System(kSystems[0]);
    const int n = vyn_spin.n;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Grid(3, 2, 4);
        Sequence();
        if (c.tail & 2) Sector(vyn_sequence.nos + 1, 5, 8e-4, 500.0, true, 40.0, 120.0, -80.0, -40.0);
        if (c.tail & 1) {
            Sector(vyn_sequence.nos + 1, 4, 5e-4, 800.0, true, 0, 0, 0, 35.0);
            Sector(vyn_sequence.nos + 1, 3, 2e-3, 0.0, false, 0, 0, 0, 20.0);
        }
        vyn_spatial_options.interp = c.interp;
        vyn_spatial_options.cache_bytes = c.cache_bytes;
        vyn_spatial_options.batch_bytes = c.batch_bytes;
        const auto dm = Run(VYN_SPATIAL_SHARED, VYN_STEP_EXP_AUTO, 2);
        struct Range {
            int first, count;
        };
        for (const Range r : {Range{1, 24}, Range{5, 7}, Range{24, 1}}) {
            CMatrix &expected = Scratch(0), &voxel = Scratch(1), &sum = Scratch(2), &again = Scratch(3);
            CMatZero(n, expected);
            for (int v = r.first; v < r.first + r.count; ++v) {
                MatrixOf(dm, n, v, voxel);
                CMatAdd(n, expected, voxel, expected);
            }
            vyn_spatial_options.threads = 1;
            ASSERT_TRUE(SimulateLoadedPulseSequenceVoxelSum(r.first, r.count, sum));
            EXPECT_LE(MaxDiff(n, sum, expected), 1e-12 * r.count);
            for (int threads : {2, 3}) {
                vyn_spatial_options.threads = threads;
                ASSERT_TRUE(SimulateLoadedPulseSequenceVoxelSum(r.first, r.count, again));
                for (int row = 1; row <= n; ++row)
                    EXPECT_EQ(std::memcmp(&sum(row, 1), &again(row, 1), sizeof(sum(row, 1)) * n), 0) << threads;
            }
        }
        // A range must lie within the grid.
        EXPECT_FALSE(SimulateLoadedPulseSequenceVoxelSum(0, 3, Scratch(2)));
        EXPECT_FALSE(SimulateLoadedPulseSequenceVoxelSum(20, 6, Scratch(2)));
    }
}

}  // namespace

// A run keeps the matrices between sectors (in memory, or with a memory
// budget of one byte in the scratch file, moved in place) and writes dm.bin
// once: the same bytes as rewriting dm.bin after every sector, with 1 and 2
// threads, and no scratch file is left.
TEST_F(SpatialShared, HeldStateGivesThePerSectorBytes) {
    System(kSystems[2]);
    Grid(3, 2, 4);
    Sequence();
    vyn_spatial_options.hold = 0;
    const auto per_sector = Run(VYN_SPATIAL_SHARED, VYN_STEP_EXP_AUTO, 1);
    ASSERT_EQ(vyn_spatial_totals.held, 0);
    struct Case {
        const char* name;
        long long resident_bytes;
        int threads, held;
    };
    const Case cases[] = {
        {"memory, 1 thread", -1, 1, 1},
        {"memory, 2 threads", -1, 2, 1},
        {"scratch file, 1 thread", 1, 1, 2},
        {"scratch file, 2 threads", 1, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vyn_spatial_options.hold = 1;
        vyn_spatial_options.resident_bytes = c.resident_bytes;
        vyn_spatial_options.batch_bytes = 1;  // several batches per sector in place
        std::memset(&vyn_spatial_totals, 0, sizeof vyn_spatial_totals);
        EXPECT_EQ(Run(VYN_SPATIAL_SHARED, VYN_STEP_EXP_AUTO, c.threads), per_sector);
        EXPECT_EQ(vyn_spatial_totals.held, c.held);
        EXPECT_FALSE(FileExists("store"));
    }
}

// A run that stops between sectors (a pulse file is missing) leaves the state
// of the last completed sector in dm.bin, as the per-sector rewrite does; a
// held state that cannot be written at the end leaves the starting state
// (calc 0) and the run fails without a result copy.
TEST_F(SpatialShared, StoppedRunLeavesItsLastWrittenState) {
    System(kSystems[0]);
    Grid(3, 2, 4);
    Sector(1, 6, 1e-3, 700.0, false, 150.0, 0, 0, 0);
    Sector(2, 3, 2e-3, 0.0, false, 90.0, -60.0, 45.0, 25.0);
    vyn_spatial_options.hold = 0;
    const auto two = Run(VYN_SPATIAL_SHARED, VYN_STEP_EXP_AUTO, 2);
    DefineSector(3, 1, 4, 1, 1e-3, 0, "missing.bin", "pulse file not there");
    Sector(4, 4, 5e-4, 900.0, true, 0, 0, 0, 60.0);
    std::snprintf(vyn_sequence.resultflnm, VYN_FNAME_LEN, "%s", "result.bin");
    for (long long budget : {-1LL, 1LL}) {
        SCOPED_TRACE(budget);
        vyn_spatial_options.hold = 1;
        vyn_spatial_options.resident_bytes = budget;
        std::remove("dm.bin");
        testing::internal::CaptureStdout();
        EXPECT_FALSE(SimulateLoadedPulseSequence());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error reading pulse file missing.bin\n");
        EXPECT_EQ(vyn_spin.calc, 2);
        EXPECT_EQ(ReadBytes("dm.bin"), two);
        EXPECT_FALSE(FileExists("store"));
        EXPECT_FALSE(FileExists("result.bin"));
    }

    vyn_sequence.nos = 1;
    DefineSector(1, 1, 0, 1, 0.0, 0, "none.bin", "no samples: the starting state");
    vyn_spatial_options.hold = 0;
    vyn_sequence.resultflnm[0] = '\0';
    const auto start = Run(VYN_SPATIAL_SHARED, VYN_STEP_EXP_AUTO, 2);
    std::snprintf(vyn_sequence.resultflnm, VYN_FNAME_LEN, "%s", "result.bin");
    Sector(1, 6, 1e-3, 700.0, false, 150.0, 0, 0, 0);
    vyn_spatial_options.hold = 1;
    vyn_spatial_options.resident_bytes = -1;
    std::remove("dm.bin");
    ASSERT_EQ(symlink("/dev/full", "store"), 0);  // takes no data
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(SimulateLoadedPulseSequence());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Rotate3D: failed to write store header\n");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(vyn_spin.calc, 0);
    EXPECT_EQ(ReadBytes("dm.bin"), start);
    EXPECT_FALSE(FileExists("store"));
    EXPECT_FALSE(FileExists("result.bin"));
}

namespace {
// A held state lost half-way through a later sector (its scratch file cut
// short after five voxels) is gone: the sector and the run's end fail,
// dm.bin keeps the starting bytes, no scratch file is left, and the next run
// starts from dm.bin again.
struct CutStore {
    long long keep_bytes;
    int cut_after, last = 0;
};
void CutStoreAfter(int v, void* ctx) {
    CutStore& c = *static_cast<CutStore*>(ctx);
    c.last = v;
    if (v == c.cut_after) {
        ASSERT_EQ(truncate("store", c.keep_bytes), 0);
    }
}

TEST_F(SpatialShared, HeldStateLostHalfWayThroughALaterSector) {
    System(kSystems[0]);
    const int n = vyn_spin.n, voxels = 24;
    std::vector<double> xb(6), yb(6, 0.0), gx(6, kTwoPi * 150.0), gy(6, kTwoPi * 40.0), gz(6, 0.0);
    for (int l = 0; l < 6; ++l) xb[l] = kTwoPi * 700.0 * std::sin(kPi * (l + 0.5) / 6);
    static CMatrix hc;
    CMatAdd(n, vyn_spin.Izee, vyn_spin.Icoup, hc);
    VYNSpatialSector s{};
    s.n = n, s.ap = 6, s.h = 1e-3 / 6, s.offset = 0.0;
    s.xb = xb.data(), s.yb = yb.data(), s.gx = gx.data(), s.gy = gy.data(), s.gz = gz.data();
    s.ndx = 3, s.ndy = 2, s.ndz = 4;
    s.x0 = -0.8, s.dx = 0.55, s.y0 = 0.3, s.dy = -0.4, s.z0 = -0.2, s.dz = 0.35;
    s.hc = &hc, s.izgrad = &vyn_spin.Izgrad, s.ixtot = &vyn_spin.Ixtot, s.iytot = &vyn_spin.Iytot;
    std::vector<const CMatrix*> start(voxels, &vyn_spin.Izgrad);
    WriteDensityFile("dm.bin", BINFH_TYPE_DENSITY, n, start);
    const auto start_bytes = ReadBytes("dm.bin");
    const long long mat = 16LL * n * n;
    vyn_spatial_options.resident_bytes = 1;  // held in the scratch file
    vyn_spatial_options.batch_bytes = 1;     // one voxel per batch
    vyn_spatial_options.threads = 1;
    binfh_rewrite_stage stage;
    vyn_spatial_run_begin();
    ASSERT_EQ(vyn_spatial_rewrite_status("dm.bin", "store", s, nullptr, nullptr, &stage, nullptr, nullptr, nullptr),
              BINFH_OK);
    ASSERT_TRUE(FileExists("store"));
    CutStore cut{BINFH_HEADER_BYTES + 5 * mat, 5};
    testing::internal::CaptureStderr();
    EXPECT_NE(vyn_spatial_rewrite_status("dm.bin", "store", s, CutStoreAfter, &cut, &stage, nullptr, nullptr, nullptr),
              BINFH_OK);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(cut.last, 5);  // five voxels were moved on, the sixth could not be read
    EXPECT_EQ(stage, BINFH_STAGE_READ_MATRIX);
    // a further sector of the same run refuses, the end reports the loss
    EXPECT_NE(vyn_spatial_rewrite_status("dm.bin", "store", s, nullptr, nullptr, &stage, nullptr, nullptr, nullptr),
              BINFH_OK);
    EXPECT_FALSE(vyn_spatial_run_end(&stage));
    EXPECT_EQ(ReadBytes("dm.bin"), start_bytes);
    EXPECT_FALSE(FileExists("store"));

    // The next run: two sectors held equal two sectors rewritten one by one.
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(vyn_spatial_rewrite_status("dm.bin", "store", s, nullptr, nullptr, &stage, nullptr, nullptr, nullptr),
                  BINFH_OK);
    const auto per_sector = ReadBytes("dm.bin");
    ASSERT_NE(per_sector, start_bytes);
    WriteDensityFile("dm.bin", BINFH_TYPE_DENSITY, n, start);
    vyn_spatial_run_begin();
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(vyn_spatial_rewrite_status("dm.bin", "store", s, nullptr, nullptr, &stage, nullptr, nullptr, nullptr),
                  BINFH_OK);
    EXPECT_EQ(ReadBytes("dm.bin"), start_bytes);  // nothing written before the end
    EXPECT_TRUE(vyn_spatial_run_end(&stage));
    EXPECT_EQ(ReadBytes("dm.bin"), per_sector);
    EXPECT_FALSE(FileExists("store"));
}
}  // namespace
