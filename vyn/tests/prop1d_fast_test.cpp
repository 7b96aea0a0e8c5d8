// The fast exact 1D/2D propagation and the eigenbasis receiver signal
// against the literal algorithms: random spin systems (spins-1/2 and spin-1,
// exact and weak coupling, static offsets) per sector kind, sharing that a
// changed sample must break, and identical bytes whatever the thread count.
#include "observablespectrumcalculator.h"
#include "prop_test_util.h"
#include "vyn_prop1d_fast.h"
#include "vynsignal_eig.h"

using namespace proptest;

namespace {

struct SystemCase {
    const char* name;
    std::vector<int> twice_i;
    bool exact;
    unsigned seed;
};

const SystemCase kSystems[] = {
    {"three spins-1/2, exact coupling", {1, 1, 1}, true, 21},
    {"three spins-1/2, weak coupling", {1, 1, 1}, false, 22},
    {"spin-1 and spin-1/2, exact coupling", {2, 1}, true, 23},
    {"two spins-1, weak coupling", {2, 2}, false, 24},
};

class Prop1DFast : public WorkDirTest {
  protected:
    void SetUp() override {
        WorkDirTest::SetUp();
        VYN1DOptions_Reset();
        VYNSignalOptions_Reset();
        vyn_1d_cache_clear();
    }
    void TearDown() override {
        VYN1DOptions_Reset();
        VYNSignalOptions_Reset();
        WorkDirTest::TearDown();
    }

  public:
    // Sector s of type (1 normal, 2 evolution) with nevo rows; the samples
    // come from the sample function f(l) -> (xb, yb) in Hz.
    template <class F>
    void Sector(int s, int type, int ap, int nevo, double T, double statoff_hz, F f, const char* remark = "sector") {
        std::vector<double> xb(ap), yb(ap);
        for (int l = 0; l < ap; ++l) {
            const std::pair<double, double> v = f(l);
            xb[l] = kTwoPi * v.first;
            yb[l] = kTwoPi * v.second;
        }
        const std::string file = "s" + std::to_string(s) + ".bin";
        Write2DWave(file.c_str(), xb, yb);
        DefineSector(s, type, ap, nevo, T, statoff_hz, file.c_str(), remark);
    }
    // Phase-modulated shaped pulse of ap samples (some samples on the
    // negative x axis, some with y components).
    void Shaped(int s, int ap, int nevo, double rf_hz, double statoff_hz, int type = 1) {
        Sector(s, type, ap, nevo, 1e-3, statoff_hz, [&](int l) {
            const double env = rf_hz * std::sin(kPi * (l + 0.5) / ap);
            return l % 3 ? std::make_pair(env * std::cos(0.7 * l), env * std::sin(0.7 * l)) : std::make_pair(-env, 0.0);
        });
    }
    void Constant(int s, int ap, int nevo, double T, double x_hz, double y_hz, double statoff_hz, int type = 1,
                  const char* remark = "sector") {
        Sector(
            s, type, ap, nevo, T, statoff_hz, [&](int) { return std::make_pair(x_hz, y_hz); }, remark);
    }
    // Runs the sequence; returns the result file (dm.bin or the signal).
    std::vector<unsigned char> Run(int method, int threads, const char* result = "") {
        std::remove("dm.bin");
        std::remove("result.bin");
        vyn_1d_options.method = method;
        vyn_1d_options.threads = threads;
        vyn_signal_options.threads = threads;
        vyn_signal_options.method = method == VYN_1D_FAST ? VYN_SIGNAL_EIGEN : VYN_SIGNAL_LITERAL;
        vyn_1d_cache_clear();
        std::memset(&vyn_1d_stats, 0, sizeof vyn_1d_stats);
        std::memset(&vyn_signal_stats, 0, sizeof vyn_signal_stats);
        std::snprintf(vyn_sequence.resultflnm, sizeof vyn_sequence.resultflnm, "%s", result);
        EXPECT_TRUE(SimulateLoaded2DPulseSequence());
        return ReadBytes(*result ? result : "dm.bin");
    }
    // Fast against literal; the result must differ from the starting state
    // (an identity propagation would agree trivially).
    void ExpectAgreement(const char* result = "") {
        const auto literal = Run(VYN_1D_LITERAL, 1, result);
        const VYN1DStats literal_stats = vyn_1d_stats;
        EXPECT_EQ(literal_stats.sectors, 0) << "the literal path ran the fast code";
        const auto fast = Run(VYN_1D_FAST, 2, result);
        ASSERT_GT(literal.size(), 12u);
        EXPECT_LE(MaxDeviation(literal, fast), 1e-10);
        double largest = 0.0;
        for (size_t k = 0; k < (literal.size() - 12) / 16; ++k)
            largest = std::max(largest, std::abs(BodyValue(literal, k)));
        EXPECT_GT(largest, 1e-3);
    }
};

// Each sector kind on each system: the fast path must agree and must have
// taken the route meant for the kind (not a silent fall-back).
TEST_F(Prop1DFast, EverySectorKindAgreesWithTheLiteralAlgorithm) {
    struct Kind {
        const char* name;
        void (*define)(Prop1DFast&);
        const char* result;
        bool (*route)(const VYN1DStats&);
    };
    const Kind kinds[] = {
        {"shaped pulse, 70 samples (chain segments)", [](Prop1DFast& t) { t.Shaped(1, 70, 1, 900.0, 35.0); }, "",
         [](const VYN1DStats& s) { return s.interpolated == 1 && s.nodes > 1; }},
        {"palindromes on the y axis (even, with negative lobes) and the x axis (odd): half chains",
         [](Prop1DFast& t) {
             t.Sector(1, 1, 66, 1, 1e-3, 15.0, [](int l) {
                 const double u = (l - 32.5) / 6.0;
                 return std::make_pair(0.0, 900.0 * std::cos(u) * std::exp(-u * u / 8.0));
             });
             t.Sector(2, 1, 9, 1, 6e-4, -25.0,
                      [](int l) { return std::make_pair(-400.0 - 30.0 * (l - 4) * (l - 4), 0.0); });
         },
         "", [](const VYN1DStats& s) { return s.interpolated == 2 && s.halved == 2; }},
        {"pulse on x with amplitudes of both signs: nodes of negative amplitude mirrored",
         [](Prop1DFast& t) {
             t.Sector(1, 1, 40, 1, 1e-3, 20.0, [](int l) { return std::make_pair(1500.0 * std::cos(0.24 * l), 0.0); });
         },
         "", [](const VYN1DStats& s) { return s.interpolated == 1 && s.mirrored > 0 && s.mirrored <= s.nodes; }},
        {"hard pulse and delay with offsets",
         [](Prop1DFast& t) {
             t.Constant(1, 5, 1, 2.5e-4, 600.0, -450.0, -20.0);
             t.Constant(2, 9, 1, 3e-3, 0.0, 0.0, 55.0);
         },
         "", [](const VYN1DStats& s) { return s.constant == 2 && s.interpolated == 0; }},
        {"pulse then acquisition window with receiver offset",
         [](Prop1DFast& t) {
             t.Shaped(1, 12, 1, 700.0, 0.0);
             t.Constant(2, 64, 1, 0.05, 0.0, 0.0, 17.0, 1, "acquisition");
         },
         "result.bin", [](const VYN1DStats& s) { return s.interpolated == 1; }},
        {"2D: pulse, constant and shaped evolution, pulse, acquisition",
         [](Prop1DFast& t) {
             t.Shaped(1, 16, 4, 800.0, 10.0);
             t.Constant(2, 3, 4, 2e-3, 0.0, 0.0, 40.0, 2);
             t.Shaped(3, 6, 4, 300.0, -30.0, 2);
             t.Shaped(4, 10, 4, 1200.0, 0.0);
             t.Constant(5, 32, 1, 0.02, 0.0, 0.0, 0.0, 1, "adc");
         },
         "result.bin", [](const VYN1DStats& s) { return s.rows_shared == 3 && s.interpolated >= 2; }},
    };
    for (const SystemCase& c : kSystems) {
        SCOPED_TRACE(c.name);
        RandomSpinSystem(c.twice_i, c.exact, c.seed);
        for (const Kind& k : kinds) {
            SCOPED_TRACE(k.name);
            VYNSequenceState_Reset();
            vyn_sequence.sequencetype = 2;
            k.define(*this);
            ExpectAgreement(k.result);
            const VYN1DStats& st = vyn_1d_stats;
            EXPECT_TRUE(k.route(st)) << "sectors " << st.sectors << " shared " << st.shared << " constant "
                                     << st.constant << " interpolated " << st.interpolated << " nodes " << st.nodes
                                     << " mirrored " << st.mirrored << " per-sample factors " << st.sample_factors
                                     << " rows shared " << st.rows_shared;
        }
    }
}

// Three sectors: a hard pulse, the same with one sample changed, the same
// as the first again. Only the third shares the first's propagator, and the
// changed sample shows in the result.
TEST_F(Prop1DFast, OneChangedSampleBreaksTheSharing) {
    RandomSpinSystem({1, 1, 2}, true, 31);
    vyn_sequence.sequencetype = 2;
    auto define = [&](double changed_hz) {
        Constant(1, 8, 1, 4e-4, 500.0, 200.0, 12.0);
        Sector(2, 1, 8, 1, 4e-4, 12.0, [&](int l) { return std::make_pair(l == 5 ? changed_hz : 500.0, 200.0); });
        Constant(3, 8, 1, 4e-4, 500.0, 200.0, 12.0);
    };
    define(500.0);
    const auto fast_same = Run(VYN_1D_FAST, 1);
    EXPECT_EQ(vyn_1d_stats.shared, 2);
    define(520.0);
    const auto literal = Run(VYN_1D_LITERAL, 1);
    const auto fast = Run(VYN_1D_FAST, 1);
    EXPECT_EQ(vyn_1d_stats.shared, 1);
    EXPECT_EQ(vyn_1d_stats.constant, 1);
    EXPECT_LE(MaxDeviation(literal, fast), 1e-10);
    EXPECT_GT(MaxDeviation(fast_same, fast), 1e-4);
}

TEST_F(Prop1DFast, BytesDoNotDependOnTheThreadCount) {
    RandomSpinSystem({1, 1, 1, 1}, true, 41);
    vyn_sequence.sequencetype = 2;
    Shaped(1, 96, 1, 1100.0, 25.0);
    Constant(2, 4, 1, 1e-3, 0.0, 0.0, 5.0);
    Shaped(3, 80, 1, 600.0, -15.0);
    const auto one = Run(VYN_1D_FAST, 1);
    for (int threads : {2, 3}) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(one, Run(VYN_1D_FAST, threads));
    }
    // 2D: the evolution rows (constant and shaped evolution sectors) and the
    // rows of the normal sectors after them move on the workers.
    VYNSequenceState_Reset();
    vyn_sequence.sequencetype = 2;
    Shaped(1, 20, 7, 900.0, 10.0);
    Constant(2, 2, 7, 1.5e-3, 0.0, 0.0, 30.0, 2);
    Shaped(3, 5, 7, 250.0, -20.0, 2);
    Shaped(4, 12, 7, 1000.0, 0.0);
    const auto rows_one = Run(VYN_1D_FAST, 1);
    EXPECT_EQ(vyn_1d_stats.rows_shared, 6);  // the rows of sector 1 all start equal
    EXPECT_EQ(vyn_1d_stats.rows_rotated, 28);
    for (int threads : {2, 3}) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(rows_one, Run(VYN_1D_FAST, threads));
    }
    // The same with an acquisition: the 7 signal traces run on the workers.
    // Each trace must match the trace-by-trace literal signal of its own row
    // (rows swapped or written over one another fail), the bytes must not
    // depend on the thread count, and the rows must differ (else a mix-up
    // could not show).
    Constant(5, 32, 1, 0.02, 0.0, 0.0, 9.0, 1, "adc");
    const auto literal = Run(VYN_1D_LITERAL, 1, "result.bin");
    const auto sig_one = Run(VYN_1D_FAST, 1, "result.bin");
    ASSERT_EQ(sig_one.size(), 12u + 7u * 32u * 16u);
    EXPECT_EQ(vyn_signal_stats.traces, 7);
    EXPECT_LE(MaxDeviation(literal, sig_one), 1e-10);
    for (int j = 1; j < 7; ++j) {
        double diff = 0.0;
        for (size_t k = 0; k < 32; ++k)
            diff = std::max(diff, std::abs(BodyValue(sig_one, j * 32 + k) - BodyValue(sig_one, (j - 1) * 32 + k)));
        EXPECT_GT(diff, 1e-4) << "rows " << j - 1 << " and " << j << " hold the same trace";
    }
    for (int threads : {2, 3, 8}) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(sig_one, Run(VYN_1D_FAST, threads, "result.bin"));
    }
}

// The eigenbasis signal against the propagation sample by sample, with a
// receiver offset, on states with coherences of every order.
TEST_F(Prop1DFast, EigenbasisSignalAgreesWithDirectPropagation) {
    for (const SystemCase& c : kSystems) {
        SCOPED_TRACE(c.name);
        RandomSpinSystem(c.twice_i, c.exact, c.seed + 100);
        const VYNSpinState& sp = vyn_spin;
        const int n = sp.n, np = 128;
        CMatrix &h = Scratch(0), &rho = Scratch(1), &rho2 = Scratch(2);
        std::mt19937 rng(c.seed);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        CMatRMultAdd(n, sp.Izee, -1.0, sp.Icoup, -1.0, h);
        CMatRMultAdd(n, h, 1.0, sp.Iztot, -kTwoPi * 23.0, h);
        std::vector<double> re(np), im(np), re2(np), im2(np);
        // A density matrix, then a matrix that is not Hermitian (the
        // receiver channels take the real parts of the traces).
        for (bool hermitian : {false, true}) {
            SCOPED_TRACE(hermitian ? "Hermitian" : "not Hermitian");
            for (int r = 1; r <= n; ++r)
                for (int col = r; col <= n; ++col) {
                    rho(r, col) = {u(rng), r == col ? 0.0 : u(rng)};
                    rho(col, r) = hermitian ? std::conj(rho(r, col)) : std::complex<double>(u(rng), u(rng));
                }
            CopyCMatrix(n, rho, rho2);
            vyn_signal_options.method = VYN_SIGNAL_LITERAL;
            build_direct_observable_signal(n, np, 0.08, rho, h, sp.Ixtot, sp.Iytot, re.data(), im.data());
            ASSERT_TRUE(vyn_signal_eigen(n, np, 0.08, rho2, h, sp.Ixtot, sp.Iytot, re2.data(), im2.data()));
            double d = 0.0, largest = 0.0;
            for (int k = 0; k < np; ++k) {
                d = std::max({d, std::fabs(re[k] - re2[k]), std::fabs(im[k] - im2[k])});
                largest = std::max({largest, std::fabs(re[k]), std::fabs(im[k])});
            }
            EXPECT_LE(d, 1e-10);
            EXPECT_GT(largest, 1e-2);
            // Both leave the last propagated state.
            EXPECT_LE(MaxDiff(n, rho, rho2), 1e-10);
        }
        // Traces with the operators of the call above reuse its decomposition;
        // another receiver offset forms a new one.
        std::memset(&vyn_signal_stats, 0, sizeof vyn_signal_stats);
        std::vector<double> re3(np), im3(np);
        CMatrix& rho3 = Scratch(3);
        for (double f_hz : {23.0, 23.0, -40.0}) {
            CMatRMultAdd(n, sp.Izee, -1.0, sp.Icoup, -1.0, h);
            CMatRMultAdd(n, h, 1.0, sp.Iztot, -kTwoPi * f_hz, h);
            CopyCMatrix(n, rho2, rho3);
            ASSERT_TRUE(vyn_signal_eigen(n, np, 0.08, rho3, h, sp.Ixtot, sp.Iytot, re3.data(), im3.data()));
        }
        EXPECT_EQ(vyn_signal_stats.traces, 3);
        EXPECT_EQ(vyn_signal_stats.decompositions, 1);
    }
}

}  // namespace
