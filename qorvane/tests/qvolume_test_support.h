// Volume-mode test helpers: QORVVOL1 files built byte by byte, a volume job run through
// the program entry with its output captured, and the fixture's parameter file.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>

#include "qfit_test_support.h"
#include "qorvane_cli.h"
#include "qorvane_volume.h"

namespace qvol_test {

using namespace qfit_test;

struct Record {
    std::string id;
    std::vector<std::complex<double>> samples;
};

inline void put_u32(std::string& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back((char)((v >> (8 * i)) & 0xff));
}

inline std::string volume_bytes(uint32_t ap, uint32_t id_bytes, const std::vector<Record>& recs,
                                uint32_t sample_fmt = 1, uint32_t n3 = 1) {
    std::string b = "QORVVOL1";
    put_u32(b, ap);
    put_u32(b, (uint32_t)recs.size());
    put_u32(b, 1);
    put_u32(b, n3);
    put_u32(b, id_bytes);
    put_u32(b, sample_fmt);
    for (const Record& r : recs) {
        std::string id = r.id;
        id.resize(id_bytes, '\0');
        b += id;
        for (uint32_t k = 0; k < ap; ++k) {
            float v[2] = {(float)r.samples[k].real(), (float)r.samples[k].imag()};
            b.append(reinterpret_cast<const char*>(v), sizeof v);
        }
    }
    return b;
}

struct VolRun {
    int rc;
    std::string out, err;
};

// Runs the program with argv[1..] = args; captures both streams.
inline VolRun run_main(std::vector<std::string> args) {
    args.insert(args.begin(), "qorvane_pthreads.exe");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    VolRun r;
    r.rc = qorvane_main((int)args.size(), argv.data());
    fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

inline VolRun run_volume(const std::string& vol, const std::string& par, const std::string& out,
                         const std::string& work, int threads, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"--mode",           "volume", "--input-volume", vol,
                                     "--parameter-file", par,      "--output-dir",   out,
                                     "--work-dir",       work,     "--threads",      std::to_string(threads)};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_main(args);
}

// Names of the entries of a directory, sorted.
inline std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

constexpr int kN = 128;

inline ParFile voxel_par() {
    ParFile p;
    p.n = kN;
    p.clcerr = 1;
    p.noistr = 100;
    p.noistp = 126;
    p.start = {{2, 90.0, 40.0, 3.0, 0.0, 0.0}};
    Step s;
    s.loren = 0;
    s.niter = 60;
    s.intervals = {{10, 90}};
    p.steps = {s};
    return p;
}

inline std::vector<std::complex<double>> voxel_spectrum(double area, double freq, unsigned seed) {
    return make_spectrum(kN, {{2, area, freq, 3.0, 0.0, 0.0}}, 0.2, seed);
}

inline int count_lines(const std::string& s, const std::string& what) {
    int c = 0;
    for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++c;
    return c;
}

// Drops the creation-time line of a written fit-control file.
inline std::string without_stamp(const std::string& s) {
    size_t p = s.find("File created at");
    if (p == std::string::npos) return s;
    size_t e = s.find('\n', p);
    return s.substr(0, p) + (e == std::string::npos ? "" : s.substr(e));
}

struct VolumeFixture : ::testing::Test {
    std::string dir;
    void SetUp() override {
        dir = make_temp_dir("vol");
        mkdir((dir + "/work").c_str(), 0777);
        write_text(dir + "/start.par", compact_par(voxel_par()));
    }
    void TearDown() override { remove_tree(dir); }
};

}  // namespace qvol_test
