// Fit timings: single fits of 4 and 10 overlapping Voigt lines at 1024 and 2048 points, with the
// least-squares minimiser and with the classic conjugate gradients; a 16 x 16 x 1 volume with
// 1 and 2 worker threads; the shipped 4 x 4 volume example, alone and tiled to 32 x 32.
// Temporary directories go under $TMPDIR (default /tmp).
//
// Each single-fit case reports its accuracy against the truth (counters), and when
// QORVANE_BENCH_CASES names a directory the case's data and starts are written there
// (case_<lines>_<points>.bin / .txt) for bench/qorvane_scipy_fit.py.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "../qorvane/tests/qfit_test_support.h"
#include "qorvane_cli.h"
#include "qorvane_lm.h"
#include "qorvane_single.h"

using namespace qfit_test;

namespace {

// Sends standard output (and optionally standard error) to /dev/null while a fit talks.
struct Quiet {
    int saved_out, saved_err = -1;
    explicit Quiet(bool err = false) {
        fflush(stdout);
        saved_out = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        if (err) {
            saved_err = dup(2);
            dup2(null, 2);
        }
        close(null);
    }
    ~Quiet() {
        fflush(stdout);
        dup2(saved_out, 1);
        close(saved_out);
        if (saved_err >= 0) {
            dup2(saved_err, 2);
            close(saved_err);
        }
    }
};

// 4 or 10 Voigt lines about one width apart (2048 Hz wide spectrum: 1024 points at 2 Hz or
// 2048 points at 1 Hz per point); starts 20 % off in area, 25 % in both widths, 1.5 Hz, 6 deg.
struct VoigtCase {
    int n, lines;
    double hzpp;
    std::vector<Line> truth, start;
};

VoigtCase voigt_case(int lines, int n) {
    VoigtCase c;
    c.n = n;
    c.lines = lines;
    c.hzpp = 2048.0 / n;
    const double area[5] = {1000.0, 700.0, 500.0, 800.0, 600.0};
    const double phase[5] = {10.0, -5.0, 20.0, 0.0, -15.0};
    for (int i = 0; i < lines; ++i) {
        Line t{
            3, area[i % 5], 600.0 + 15.0 * i + 2.0 * (i % 3), 8.0 + 0.5 * (i % 4), phase[i % 5], 6.0 - 0.5 * (i % 3)};
        c.truth.push_back(t);
        c.start.push_back({3, 0.8 * t.area, t.freq + 1.5, 1.25 * t.width1, t.phase + 6.0, 1.25 * t.width2});
    }
    return c;
}

ParFile voigt_par(const VoigtCase& c) {
    ParFile p;
    p.n = c.n;
    p.hzpp = c.hzpp;
    p.clcerr = 0;
    p.start = c.start;
    Step s;
    s.niter = 200;
    s.intervals = {{2, c.n - 3}};
    p.steps = {s};
    return p;
}

// Writes the case for the SciPy comparison: the spectrum, and a text file with the points,
// Hz per point, fitted interval and one "truth"/"start" row per line (file units).
void export_case(const VoigtCase& c, const std::vector<std::complex<double>>& x) {
    const char* dir = getenv("QORVANE_BENCH_CASES");
    if (dir == nullptr || dir[0] == '\0') return;
    const std::string stem = std::string(dir) + "/case_" + std::to_string(c.lines) + "_" + std::to_string(c.n);
    write_spectrum(stem + ".bin", x);
    std::ostringstream o;
    o.precision(17);
    o << "n " << c.n << "\nhzpp " << c.hzpp << "\ninterval 2 " << c.n - 3 << "\n";
    for (size_t i = 0; i < c.truth.size(); ++i) {
        const Line& t = c.truth[i];
        const Line& s = c.start[i];
        o << "truth " << t.area << " " << t.freq << " " << t.width1 << " " << t.phase << " " << t.width2 << "\n";
        o << "start " << s.area << " " << s.freq << " " << s.width1 << " " << s.phase << " " << s.width2 << "\n";
    }
    write_text(stem + ".txt", o.str());
}

void BM_VoigtFit(benchmark::State& state) {
    const int lines = (int)state.range(0), n = (int)state.range(1);
    const int which = (int)state.range(2) == 0 ? QORVANE_MINIMIZER_LM : QORVANE_MINIMIZER_REFERENCE;
    const VoigtCase c = voigt_case(lines, n);
    const auto x = make_spectrum(n, lines_in_points(c.truth, c.hzpp));
    export_case(c, x);
    std::string dir = make_temp_dir("bench_voigt");
    write_spectrum(dir + "/data.bin", x);
    write_text(dir + "/start.par", compact_par(voigt_par(c)));
    const std::string par = dir + "/start.par";
    qorvane_minimizer_select(which);
    QorvaneSingleFitOutcome o{};
    for (auto _ : state) {
        Quiet quiet;
        int rc = qorvane_single_fit_run(dir.c_str(), "data.bin", par.c_str(), "bench\t", &o);
        if (rc != 0) state.SkipWithError("fit failed");
    }
    qorvane_minimizer_select(QORVANE_MINIMIZER_LM);
    // Accuracy of the last fit against the truth.
    const auto mat = read_matrix(dir + "/data.mat");
    double area = 0, freq = 0, width = 0, phase = 0;
    for (size_t i = 0; i < mat.size() && i < c.truth.size(); ++i) {
        const Line& t = c.truth[i];
        area = std::max(area, std::fabs(mat[i][0] / t.area - 1.0));
        freq = std::max(freq, std::fabs(mat[i][1] - t.freq));
        width =
            std::max({width, std::fabs(mat[i][2] / t.width1 - 1.0), std::fabs(std::fabs(mat[i][4]) / t.width2 - 1.0)});
        phase = std::max(phase, std::fabs(mat[i][3] - t.phase));
    }
    state.counters["area_rel"] = area;
    state.counters["freq_Hz"] = freq;
    state.counters["width_rel"] = width;
    state.counters["phase_deg"] = phase;
    state.counters["converged"] = o.not_converged ? 0 : 1;
    state.SetLabel(which == QORVANE_MINIMIZER_LM ? "least-squares" : "reference");
    remove_tree(dir);
}
// lines, points, minimiser (0 least squares, 1 classic conjugate gradients)
BENCHMARK(BM_VoigtFit)->ArgsProduct({{4, 10}, {1024, 2048}, {0, 1}})->Unit(benchmark::kMillisecond)->MinTime(0.5);

void put_u32(std::string& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((char)((v >> (8 * i)) & 0xff));
}

int run_volume(const std::string& vol, const std::string& par, const std::string& out, const std::string& work,
               int threads) {
    std::vector<std::string> args = {"qorvane_pthreads.exe",
                                     "--mode",
                                     "volume",
                                     "--input-volume",
                                     vol,
                                     "--parameter-file",
                                     par,
                                     "--output-dir",
                                     out,
                                     "--work-dir",
                                     work,
                                     "--threads",
                                     std::to_string(threads)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    Quiet quiet(true);
    return qorvane_main((int)argv.size(), argv.data());
}

// 16 x 16 x 1 volume, 256 points, 2 lines per voxel; args: threads, minimiser.
void BM_Volume16x16(benchmark::State& state) {
    const int n = 256;
    const int which = (int)state.range(1) == 0 ? QORVANE_MINIMIZER_LM : QORVANE_MINIMIZER_REFERENCE;
    ParFile p;
    p.n = n;
    p.noistr = 200;
    p.noistp = 250;
    p.start = {{2, 900.0, 60.0, 4.0, 0.0, 0.0}, {1, 500.0, 120.0, 6.0, 0.0, 0.0}};
    Step s;
    s.loren = 0;
    s.niter = 40;
    s.intervals = {{20, 180}};
    p.steps = {s};
    std::string dir = make_temp_dir("bench_vol");
    mkdir((dir + "/work").c_str(), 0777);
    write_text(dir + "/start.par", compact_par(p));
    std::string vol = "QORVVOL1";
    for (uint32_t v : {(uint32_t)n, 16u, 16u, 1u, 16u, 1u}) put_u32(vol, v);
    for (int i = 0; i < 256; ++i) {
        std::string id = "x" + std::to_string(i % 16) + "y" + std::to_string(i / 16) + "|1";
        id.resize(16, '\0');
        vol += id;
        auto x = make_spectrum(n, {{2, 1000.0 + i, 60.0 + 0.01 * i, 4.0, 0.0, 0.0}, {1, 450.0, 120.0, 6.0, 0.0, 0.0}},
                               2.0, (unsigned)i + 1);
        for (auto& c : x) {
            float f[2] = {(float)c.real(), (float)c.imag()};
            vol.append(reinterpret_cast<const char*>(f), sizeof f);
        }
    }
    write_text(dir + "/in.qorvvol", vol);
    qorvane_minimizer_select(which);
    for (auto _ : state) {
        if (run_volume(dir + "/in.qorvvol", dir + "/start.par", dir + "/out", dir + "/work", (int)state.range(0)) != 0)
            state.SkipWithError("volume job failed");
    }
    qorvane_minimizer_select(QORVANE_MINIMIZER_LM);
    const std::string status = read_text(dir + "/out/fit_status.tsv");
    int unconverged = 0;
    for (size_t at = status.find("FIT_NOT_CONVERGED"); at != std::string::npos;
         at = status.find("FIT_NOT_CONVERGED", at + 1))
        ++unconverged;
    state.counters["not_converged"] = unconverged;
    state.counters["spectra_per_s"] = benchmark::Counter(256.0, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(which == QORVANE_MINIMIZER_LM ? "least-squares" : "reference");
    remove_tree(dir);
}
BENCHMARK(BM_Volume16x16)->ArgsProduct({{1, 2}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

// The shipped example volume (4 x 4 x 1, 15 selected voxels) with its own parameter file.
void BM_ShippedExampleVolume(benchmark::State& state) {
    const std::string ex = std::string(QORVANE_BENCH_EXAMPLES_DIR) + "/volume";
    std::string dir = make_temp_dir("bench_example");
    mkdir((dir + "/work").c_str(), 0777);
    const int which = (int)state.range(1) == 0 ? QORVANE_MINIMIZER_LM : QORVANE_MINIMIZER_REFERENCE;
    write_text(dir + "/voxel.par", read_text(ex + "/voxel.par"));
    qorvane_minimizer_select(which);
    for (auto _ : state) {
        if (run_volume(ex + "/example.qorvvol", dir + "/voxel.par", dir + "/out", dir + "/work", (int)state.range(0)) !=
            0)
            state.SkipWithError("volume job failed");
    }
    qorvane_minimizer_select(QORVANE_MINIMIZER_LM);
    const std::string status = read_text(dir + "/out/fit_status.tsv");
    int unconverged = 0, rows = -1;
    for (char ch : status) rows += ch == '\n';
    for (size_t at = status.find("FIT_NOT_CONVERGED"); at != std::string::npos;
         at = status.find("FIT_NOT_CONVERGED", at + 1))
        ++unconverged;
    state.counters["voxels"] = rows;
    state.counters["not_converged"] = unconverged;
    state.counters["spectra_per_s"] = benchmark::Counter(rows, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(which == QORVANE_MINIMIZER_LM ? "least-squares" : "reference");
    remove_tree(dir);
}
BENCHMARK(BM_ShippedExampleVolume)->ArgsProduct({{1, 2}, {0, 1}})->Unit(benchmark::kMillisecond)->UseRealTime();

// The shipped example tiled to side x side voxels (each tile keeps the example's records and
// fit flags; ids get the tile number), for the thread scaling of volume mode; args: side, threads.
std::string tiled_example(const std::string& example, int side) {
    const std::string src = read_text(example);
    auto u32 = [&](size_t at) {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= (uint32_t)(unsigned char)src[at + i] << (8 * i);
        return v;
    };
    const uint32_t ap = u32(8), n1 = u32(12), n2 = u32(16), id_bytes = u32(24);
    const size_t record = id_bytes + 8 * (size_t)ap;
    const uint32_t out_id = id_bytes + 16;
    std::string vol = "QORVVOL1";
    for (uint32_t v : {ap, (uint32_t)side, (uint32_t)side, 1u, out_id, 1u}) put_u32(vol, v);
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            const size_t r = (size_t)(y % n2) * n1 + (size_t)(x % n1);
            const size_t at = 32 + r * record;
            std::string id(src.c_str() + at, strnlen(src.c_str() + at, id_bytes));
            const size_t bar = id.rfind('|');
            const std::string tile = "_t" + std::to_string((y / n2) * ((side + n1 - 1) / n1) + x / n1);
            id = bar == std::string::npos ? id + tile : id.substr(0, bar) + tile + id.substr(bar);
            id.resize(out_id, '\0');
            vol += id;
            vol.append(src, at + id_bytes, 8 * (size_t)ap);
        }
    return vol;
}

void BM_TiledExampleVolume(benchmark::State& state) {
    const std::string ex = std::string(QORVANE_BENCH_EXAMPLES_DIR) + "/volume";
    std::string dir = make_temp_dir("bench_tiled");
    mkdir((dir + "/work").c_str(), 0777);
    write_text(dir + "/voxel.par", read_text(ex + "/voxel.par"));
    write_text(dir + "/in.qorvvol", tiled_example(ex + "/example.qorvvol", (int)state.range(0)));
    for (auto _ : state) {
        // A fresh output directory each time: the job creates every result file.
        state.PauseTiming();
        remove_tree(dir + "/out");
        state.ResumeTiming();
        if (run_volume(dir + "/in.qorvvol", dir + "/voxel.par", dir + "/out", dir + "/work", (int)state.range(1)) != 0)
            state.SkipWithError("volume job failed");
    }
    const std::string status = read_text(dir + "/out/fit_status.tsv");
    int rows = -1;
    for (char ch : status) rows += ch == '\n';
    state.counters["voxels"] = rows;
    state.counters["spectra_per_s"] = benchmark::Counter(rows, benchmark::Counter::kIsIterationInvariantRate);
    remove_tree(dir);
}
BENCHMARK(BM_TiledExampleVolume)->ArgsProduct({{32}, {1, 2}})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
