// Fit timings: one single-spectrum fit (1024 points, 10 Voigt lines, two strategy steps) and
// a 16 x 16 x 1 volume fitted with 1 and 2 worker threads.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "../qorvane/tests/qfit_test_support.h"
#include "qorvane_cli.h"
#include "qorvane_single.h"

using namespace qfit_test;

namespace {

// Sends standard output to /dev/null while a fit talks.
struct QuietStdout {
    int saved;
    QuietStdout() {
        fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }
};

void BM_SingleSpectrumTenVoigtLines(benchmark::State& state) {
    const int n = 1024;
    std::vector<Line> truth, start;
    for (int i = 0; i < 10; ++i) {
        double f = 150.0 + 70.0 * i;
        truth.push_back({3, 1000.0 + 100.0 * i, f, 6.0, 5.0, 3.0});
        start.push_back({3, 900.0 + 100.0 * i, f + 0.7, 6.6, 0.0, 3.3});
    }
    ParFile p;
    p.n = n;
    p.noistr = 900;
    p.noistp = 1000;
    p.start = start;
    Step s1;
    s1.trunc = 256;
    s1.gauss = s1.loren = 0;
    s1.niter = 30;
    s1.intervals = {{100, 850}};
    Step s2;
    s2.niter = 60;
    s2.intervals = {{100, 850}};
    p.steps = {s1, s2};
    std::string dir = make_temp_dir("bench_single");
    write_spectrum(dir + "/data.bin", make_spectrum(n, truth, 5.0, 3));
    write_text(dir + "/start.par", compact_par(p));
    std::string par = dir + "/start.par";
    for (auto _ : state) {
        QuietStdout quiet;
        QorvaneSingleFitOutcome o;
        int rc = qorvane_single_fit_run(dir.c_str(), "data.bin", par.c_str(), "bench\t", &o);
        benchmark::DoNotOptimize(rc);
    }
    remove_tree(dir);
}
BENCHMARK(BM_SingleSpectrumTenVoigtLines)->Unit(benchmark::kMillisecond);

void put_u32(std::string& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((char)((v >> (8 * i)) & 0xff));
}

void BM_Volume16x16(benchmark::State& state) {
    const int n = 256;
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
    std::vector<std::string> args = {"qorvane_pthreads.exe",
                                     "--mode",
                                     "volume",
                                     "--input-volume",
                                     dir + "/in.qorvvol",
                                     "--parameter-file",
                                     dir + "/start.par",
                                     "--output-dir",
                                     dir + "/out",
                                     "--work-dir",
                                     dir + "/work",
                                     "--threads",
                                     std::to_string(state.range(0))};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    for (auto _ : state) {
        QuietStdout quiet;
        int saved_err = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        close(null);
        int rc = qorvane_main((int)argv.size(), argv.data());
        dup2(saved_err, 2);
        close(saved_err);
        if (rc != 0) state.SkipWithError("volume job failed");
    }
    remove_tree(dir);
}
BENCHMARK(BM_Volume16x16)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
