// Helpers shared by the propagation, spectrum and expectation tests: a
// private working directory per test, spin systems and sequences set up
// directly in the engine state, and raw file readers.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "matrixmathlib.h"
#include "rfpulseparam.h"
#include "spinoperatorlib.h"
#include "vyn.h"
#include "vyn_prop_fast.h"
#include "vyn_sequence.h"

namespace proptest {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

// Runs each test in a fresh temporary directory (dm.bin and store live in
// the working directory, and ctest may run tests side by side).
class WorkDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vynproptest-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        VYN_SetSmokeCheckMode(1);
        init();
        VYNSequenceState_Reset();
        VYNPropagationState_Reset();
        VYNSpatialOptions_Reset();
        std::memset(&vyn_waveform, 0, sizeof vyn_waveform);
    }
    void TearDown() override {
        VYN_SetSmokeCheckMode(0);
        VYNSpatialOptions_Reset();
        if (!old_cwd_.empty()) (void)chdir(old_cwd_.c_str());
        if (!dir_.empty()) {
            std::string cmd = "rm -rf '" + dir_ + "'";
            (void)std::system(cmd.c_str());
        }
    }
    std::string dir_, old_cwd_;
};

// Spin system of spins-1/2 with offsets (Hz), intensities and one coupling
// value per pair in pair order; exact = true selects the full J term.
inline void SetupSpinHalfSystem(const std::vector<double>& offsets_hz, const std::vector<double>& amps,
                                const std::vector<double>& pair_j_hz = {}, bool exact = false) {
    VYNSpinState& s = vyn_spin;
    s.Nspins = static_cast<int>(offsets_hz.size());
    for (int i = 0; i <= 8; ++i) {
        s.quantnum[i] = 0;
        s.relspinamp[i] = 0;
        s.resofreqs[i] = 0;
        for (int k = 0; k <= 8; ++k) s.jc[i][k] = 0;
    }
    for (int i = 1; i <= s.Nspins; ++i) {
        s.quantnum[i] = 1;
        s.resofreqs[i] = offsets_hz[i - 1];
        s.relspinamp[i] = amps[i - 1];
    }
    s.Jexact = exact ? 2 : 1;
    s.Jcount = static_cast<int>(pair_j_hz.size());
    for (int p = 0; p <= 28; ++p) s.couplings[p] = 0;
    for (size_t p = 0; p < pair_j_hz.size(); ++p) s.couplings[p + 1] = pair_j_hz[p];
    ASSERT_EQ(BuildSpinSystemFromPulseSequenceGlobals(), 1);
}

// Random spin system: 2I per spin, offsets within +-300 Hz, intensities
// 0.7..1.3, couplings within +-12 Hz on every pair; exact or weak coupling.
inline void RandomSpinSystem(const std::vector<int>& twice_i, bool exact, unsigned seed) {
    VYNSpinState& s = vyn_spin;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    s.Nspins = static_cast<int>(twice_i.size());
    for (int i = 0; i <= 8; ++i) {
        s.quantnum[i] = 0, s.relspinamp[i] = 0, s.resofreqs[i] = 0;
        for (int k = 0; k <= 8; ++k) s.jc[i][k] = 0;
    }
    for (int i = 1; i <= s.Nspins; ++i) {
        s.quantnum[i] = twice_i[i - 1];
        s.resofreqs[i] = 300.0 * u(rng);
        s.relspinamp[i] = 1.0 + 0.3 * u(rng);
    }
    s.Jexact = exact ? 2 : 1;
    s.Jcount = s.Nspins * (s.Nspins - 1) / 2;
    for (int p = 0; p <= 28; ++p) s.couplings[p] = 0;
    for (int p = 1; p <= s.Jcount; ++p) s.couplings[p] = 12.0 * u(rng);
    ASSERT_EQ(BuildSpinSystemFromPulseSequenceGlobals(), 1);
}

inline CMatrix& Scratch(int i) {
    static CMatrix pool[6];
    return pool[i];
}

// Single-spin operator scaled to unit Frobenius norm.
inline void NormalisedSingle(char comp, int spin, CMatrix& out) {
    const VYNSpinState& s = vyn_spin;
    if (comp == 'x') MakeMatrixIx(s.Ilist, s.ket, s.n, spin, out);
    if (comp == 'y') MakeMatrixIy(s.Ilist, s.ket, s.n, spin, out);
    if (comp == 'z') MakeMatrixIz(s.Ilist, s.ket, s.n, spin, out);
    NormCMatrix(s.n, out);
}

// Defines sector s of the sequence state with a waveform file.
inline void DefineSector(int s, int type, int noti, int nevo, double dur_s, double statoff_hz, const char* file,
                         const char* remark) {
    VYNSequenceState& q = vyn_sequence;
    if (q.nos < s) q.nos = s;
    q.sectype[s] = type;
    q.noti[s] = noti;
    q.nevo[s] = nevo;
    q.sectdur[s] = dur_s;
    q.statoff[s] = statoff_hz;
    std::snprintf(q.fnames[s], sizeof q.fnames[s], "%s", file);
    std::snprintf(q.remarks[s], sizeof q.remarks[s], "%s", remark);
}

inline void WriteDoubles(const char* path, const std::vector<double>& v) {
    FILE* f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    if (!v.empty()) {
        ASSERT_EQ(std::fwrite(v.data(), sizeof(double), v.size(), f), v.size());
    }
    std::fclose(f);
}

// 2D waveform: ap samples of xb then of yb.
inline void Write2DWave(const char* path, const std::vector<double>& xb, const std::vector<double>& yb) {
    std::vector<double> all(xb);
    all.insert(all.end(), yb.begin(), yb.end());
    WriteDoubles(path, all);
}

// Spatial waveform: xb, yb, gx, gy, gz blocks.
inline void WriteSpatialWave(const char* path, const std::vector<double>& xb, const std::vector<double>& yb,
                             const std::vector<double>& gx, const std::vector<double>& gy,
                             const std::vector<double>& gz) {
    std::vector<double> all;
    for (const auto* b : {&xb, &yb, &gx, &gy, &gz}) all.insert(all.end(), b->begin(), b->end());
    WriteDoubles(path, all);
}

inline std::vector<unsigned char> ReadBytes(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline bool FileExists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

struct Header {
    int32_t type, num1, num2;
};

inline Header HeaderOf(const std::vector<unsigned char>& b) {
    Header h{-1, -1, -1};
    if (b.size() >= 12) std::memcpy(&h, b.data(), 12);
    return h;
}

// Complex value number idx (0-based) of the body.
inline std::complex<double> BodyValue(const std::vector<unsigned char>& b, size_t idx) {
    double v[2];
    std::memcpy(v, b.data() + 12 + 16 * idx, 16);
    return {v[0], v[1]};
}

// Largest deviation between the bodies of two files of complex values
// (1e9 when their sizes differ).
inline double MaxDeviation(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    EXPECT_EQ(a.size(), b.size());
    if (a.size() != b.size() || a.size() < 12) return 1e9;
    double d = 0.0;
    for (size_t k = 0; k < (a.size() - 12) / 16; ++k) d = std::max(d, std::abs(BodyValue(a, k) - BodyValue(b, k)));
    return d;
}

// Matrix number k (1-based) of a type-0 file into m.
inline void MatrixOf(const std::vector<unsigned char>& b, int n, int k, CMatrix& m) {
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c)
            m(r, c) = BodyValue(b, static_cast<size_t>(k - 1) * n * n + static_cast<size_t>(r - 1) * n + (c - 1));
}

inline void WriteDensityFile(const char* path, int type, int n, const std::vector<const CMatrix*>& mats,
                             int announced = -1) {
    FILE* f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    int32_t h[3] = {type, n, announced >= 0 ? announced : static_cast<int32_t>(mats.size())};
    std::fwrite(h, 4, 3, f);
    for (const CMatrix* m : mats)
        for (int r = 1; r <= n; ++r)
            for (int c = 1; c <= n; ++c) {
                double v[2] = {(*m)(r, c).real(), (*m)(r, c).imag()};
                std::fwrite(v, 8, 2, f);
            }
    std::fclose(f);
}

// Limits the size of files this process writes (writes beyond it fail with
// EFBIG instead of raising SIGXFSZ) for the lifetime of the object: a disk
// that fills up in the middle of a write.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lim = old_;
        lim.rlim_cur = bytes;
        ok_ = setrlimit(RLIMIT_FSIZE, &lim) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }
    bool ok() const { return ok_; }

  private:
    rlimit old_{};
    void (*old_handler_)(int) = SIG_DFL;
    bool ok_ = false;
};

inline double MaxDiff(int n, const CMatrix& a, const CMatrix& b) {
    double d = 0;
    for (int r = 1; r <= n; ++r)
        for (int c = 1; c <= n; ++c) d = std::max(d, std::abs(a(r, c) - b(r, c)));
    return d;
}

inline std::complex<double> Expect(int n, const CMatrix& op, const CMatrix& rho) {
    Complex2 e{};
    ExpectationValue(n, op, rho, e);
    return {e[1], e[2]};
}

}  // namespace proptest
