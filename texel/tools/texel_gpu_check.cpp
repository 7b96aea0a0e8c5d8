// Runs the GPU path against the CPU path on volumes with L = 8, 64, 256 (and 16) and
// P = Q = 1, 2, 4: every map must agree bit for bit (NaN with NaN), the entropy within
// kEntropyUlps units in the last place (the device's logarithm is correctly rounded, the
// C library's logf is not always). Prints voxels per second of both paths.
// Usage: texel_gpu_check [X Y Z]. Exit status 0 all agree, 1 a difference, 2 no CUDA
// device, 3 the GPU path failed.
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "texel_cpu.h"
#include "texel_glcm.h"
#include "texel_gpu.h"

namespace {

const int kEntropyUlps = 2;

// Standard error of the library goes to a log file while a path runs.
struct QuietStderr {
    int saved = -1;
    explicit QuietStderr(const char* log) {
        fflush(stderr);
        saved = dup(2);
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 2);
            close(fd);
        }
    }
    ~QuietStderr() {
        fflush(stderr);
        if (saved >= 0) {
            dup2(saved, 2);
            close(saved);
        }
    }
};

struct Maps {
    std::vector<float> data;
    float* ptr[TEXEL_NUM_FEATURES];
    explicit Maps(size_t n) : data(n * TEXEL_NUM_FEATURES) {
        for (int f = 0; f < TEXEL_NUM_FEATURES; ++f) ptr[f] = data.data() + (size_t)f * n;
    }
};

// Uniform grey levels with 1 % of values outside 0 .. L-1 and a constant square per
// slice (zero variances: NaN correlations).
std::vector<int32_t> make_volume(int X, int Y, int Z, int L, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> grey(0, L - 1), odd(0, 99);
    std::vector<int32_t> v((size_t)X * Y * Z);
    for (int z = 0; z < Z; ++z)
        for (int y = 0; y < Y; ++y)
            for (int x = 0; x < X; ++x) {
                int g = grey(rng);
                const int o = odd(rng);
                if (o == 0) g = -1;
                if (o == 1) g = L;
                if (x >= 40 && x < 80 && y >= 30 && y < 70) g = (z * 7) % L;
                v[(size_t)x + (size_t)X * ((size_t)y + (size_t)Y * z)] = g;
            }
    return v;
}

uint32_t bits(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}

// Units in the last place between two finite floats (large when the signs differ).
int64_t ulps(float a, float b) {
    const int64_t ia = bits(a), ib = bits(b);
    if ((ia >> 31) != (ib >> 31)) return (a == b) ? 0 : INT64_MAX;
    return ia > ib ? ia - ib : ib - ia;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void print_log_tail(const char* log) {
    FILE* f = fopen(log, "r");
    if (!f) return;
    std::string text;
    char buf[4096];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
    fclose(f);
    if (text.size() > 2000) text = text.substr(text.size() - 2000);
    fprintf(stderr, "--- library messages (tail of %s) ---\n%s", log, text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    int X = 509, Y = 500, Z = 17;
    if (argc == 4) {
        X = atoi(argv[1]);
        Y = atoi(argv[2]);
        Z = atoi(argv[3]);
    }
    if (X < 1 || Y < 1 || Z < 1 || (argc != 1 && argc != 4)) {
        fprintf(stderr, "usage: texel_gpu_check [X Y Z]\n");
        return 2;
    }
    char device[256];
    if (texel_gpu_device_name(device, sizeof device) != 0) {
        fprintf(stderr, "texel_gpu_check: no CUDA device available\n");
        return 2;
    }
    const char* log = "texel_gpu_check.log";
    remove(log);
    const int cores = texel_processor_count();
    const size_t n = (size_t)X * Y * Z;
    printf("GPU: %s\nCPU path: %d threads\nVolume %d x %d x %d (%zu voxels); rates are whole calls, copies included\n",
           device, cores, X, Y, Z, n);

    // The first call pays for the device context; keep it out of the rates.
    int warm;
    {
        const std::vector<int32_t> small = make_volume(64, 64, 1, 8, 1);
        Maps m(small.size());
        QuietStderr quiet(log);
        warm = texel_gpu_compute_all(small.data(), 64, 64, 1, 1, 1, 8, m.ptr);
    }
    if (warm != 0) {
        printf("texel_gpu_check: the GPU path failed on a 64 x 64 warm-up volume\n");
        print_log_tail(log);
        return 3;
    }

    struct Case {
        int L, PQ;
    } cases[] = {{8, 1}, {8, 2}, {8, 4}, {16, 2}, {64, 1}, {64, 2}, {64, 4}, {256, 1}, {256, 2}, {256, 4}};
    int failures = 0;
    for (const Case& c : cases) {
        const std::vector<int32_t> img = make_volume(X, Y, Z, c.L, 1000u + (uint32_t)c.L * 10u + (uint32_t)c.PQ);
        Maps cpu(n), gpu(n);
        double t_cpu, t_gpu = 1e300;
        {
            QuietStderr quiet(log);
            auto t0 = std::chrono::steady_clock::now();
            pComputeAllCooccurenceMatricesImageLevel(img.data(), X, Y, Z, c.PQ, c.PQ, c.L, cpu.ptr, cores);
            t_cpu = seconds_since(t0);
        }
        int status = 0;
        for (int run = 0; run < 2 && status == 0; ++run) {
            QuietStderr quiet(log);
            auto t0 = std::chrono::steady_clock::now();
            status = texel_gpu_compute_all(img.data(), X, Y, Z, c.PQ, c.PQ, c.L, gpu.ptr);
            const double t = seconds_since(t0);
            if (t < t_gpu) t_gpu = t;
        }
        if (status != 0) {
            printf("L=%3d P=Q=%d  the GPU path failed\n", c.L, c.PQ);
            print_log_tail(log);
            return 3;
        }
        int64_t mismatches = 0, entropy_differ = 0, entropy_max = 0;
        for (int f = 0; f < TEXEL_NUM_FEATURES; ++f)
            for (size_t i = 0; i < n; ++i) {
                const float w = cpu.ptr[f][i], g = gpu.ptr[f][i];
                if (bits(w) == bits(g) || (isnan(w) && isnan(g))) continue;
                if (f == TEXEL_ENTROPY && isfinite(w) && isfinite(g)) {
                    const int64_t u = ulps(w, g);
                    ++entropy_differ;
                    if (u > entropy_max) entropy_max = u;
                    if (u <= kEntropyUlps) continue;
                }
                if (mismatches++ < 5)
                    printf("  mismatch: feature %d voxel %zu (x %zu, y %zu, z %zu): CPU %.9g GPU %.9g\n", f, i,
                           i % (size_t)X, i / (size_t)X % (size_t)Y, i / ((size_t)X * Y), (double)w, (double)g);
            }
        const double gpu_rate = (double)n / t_gpu, cpu_rate = (double)n / t_cpu;
        printf(
            "L=%3d P=Q=%d  GPU %9.2f M voxels/s  CPU %7.3f M voxels/s  GPU/CPU %7.1fx  entropy: %lld differ, max %lld "
            "ulp  %s\n",
            c.L, c.PQ, gpu_rate / 1e6, cpu_rate / 1e6, gpu_rate / cpu_rate, (long long)entropy_differ,
            (long long)entropy_max, mismatches ? "FAIL" : "ok");
        fflush(stdout);
        if (mismatches) ++failures;
    }
    if (failures) {
        printf("texel_gpu_check: %d of %zu cases differ\n", failures, sizeof cases / sizeof cases[0]);
        return 1;
    }
    printf("texel_gpu_check: all cases agree\n");
    return 0;
}
