// Test helpers for the fit engine: synthetic spectra built independently of the model
// code (plain DFT of the time-domain lines), fit-control files and result readers.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qtest_files.h"

namespace qfit_test {

struct Line {
    int type;       // 1 Gaussian, 2 Lorentzian, 3 Voigt
    double area;    // a.u.
    double freq;    // Hz (Hz_p_p = 1: points)
    double width1;  // Hz: Gaussian FWHM (types 1, 3) or Lorentzian FWHM (type 2)
    double phase;   // degrees
    double width2;  // Hz: Lorentzian FWHM of a Voigt line
};

// Spectrum of one line, phi__1 = 0, ignore = 0, no truncation: X[j] = e^{i phase} *
// sum_k a_k e^{2 pi i (f - j) k / N}, a_k = A exp(-(pi L t + (pi G t)^2)), t = k/N, a_0 halved.
inline void add_line(std::vector<std::complex<double>>& x, const Line& l) {
    const int n = (int)x.size();
    const double g = (l.type == 2) ? 0.0 : l.width1 / 1.67;  // internal Gaussian width
    const double lw = (l.type == 2) ? l.width1 : (l.type == 3 ? l.width2 : 0.0);
    std::vector<double> a(n);
    for (int k = 0; k < n; ++k) {
        const double t = (double)k / n;
        a[k] = l.area * std::exp(-(M_PI * std::fabs(lw) * t + std::pow(M_PI * std::fabs(g) * t, 2)));
    }
    a[0] *= 0.5;
    const std::complex<double> ph = std::polar(1.0, l.phase * M_PI / 180.0);
    for (int j = 0; j < n; ++j) {
        std::complex<double> s = 0.0;
        for (int k = 0; k < n; ++k) s += a[k] * std::polar(1.0, 2.0 * M_PI * (l.freq - j) * k / n);
        x[j] += s * ph;
    }
}

inline std::vector<std::complex<double>> make_spectrum(int n, const std::vector<Line>& lines, double noise_sd = 0.0,
                                                       unsigned seed = 1) {
    std::vector<std::complex<double>> x(n, 0.0);
    for (const Line& l : lines) add_line(x, l);
    if (noise_sd > 0.0) {
        std::mt19937 gen(seed);
        std::normal_distribution<double> nd(0.0, noise_sd);
        for (auto& v : x) v += std::complex<double>(nd(gen), nd(gen));
    }
    return x;
}

// Lines given in Hz (Hz_p_p = hzpp) expressed in points, as make_spectrum takes them.
inline std::vector<Line> lines_in_points(std::vector<Line> lines, double hzpp) {
    for (Line& l : lines) {
        l.freq /= hzpp;
        l.width1 /= hzpp;
        l.width2 /= hzpp;
    }
    return lines;
}

inline void write_spectrum(const std::string& path, const std::vector<std::complex<double>>& x) {
    FILE* f = fopen(path.c_str(), "wb");
    for (const auto& v : x) {
        float p[2] = {(float)v.real(), (float)v.imag()};
        fwrite(p, sizeof(float), 2, f);
    }
    fclose(f);
}

inline std::vector<std::complex<double>> read_spectrum(const std::string& path) {
    std::vector<std::complex<double>> x;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return x;
    float p[2];
    while (fread(p, sizeof(float), 2, f) == 2) x.emplace_back(p[0], p[1]);
    fclose(f);
    return x;
}

struct Step {
    int algor = 2, trunc = 0, ampli = 1, frequ = 1, gauss = 1, phase = 1, loren = 1, lsfft = 0, wtype = 1, convo = 0,
        niter = 200, cmplx = 2;
    std::vector<std::pair<int, int>> intervals;
};

// One prior-knowledge record: fixed-to line and range (value = the starting value).
struct Prior {
    int fixed_to = 0;
    double min = 0.0, max = 0.0;
};

struct ParFile {
    int n = 256, noistr = 0, noistp = 0, verbos = 0, showli = 1, clcerr = 1, ranges = 1, ignore = 0;
    double phi1 = 0.0;
    double hzpp = 1.0;                  // Hz per point
    std::vector<std::string> patterns;  // pattern references; their lines (type 4) follow the analytic ones
    double ftol = 1.0e-07;
    std::vector<Line> start;
    std::vector<std::vector<Prior>> prior;  // per line, 5 records; empty = free with wide ranges
    std::vector<Step> steps;
};

inline std::string compact_par(const ParFile& p) {
    std::ostringstream o;
    o.precision(10);
    o << std::scientific;
    o << "version_3\n"
      << "n_pnts " << p.n << "\nnoistr " << p.noistr << "\nnoistp " << p.noistp << "\nnLines "
      << p.start.size() - p.patterns.size() << "\nlsfcfs 0\nphi__1 " << p.phi1 << "\nHz_p_p " << p.hzpp << "\nf__tol "
      << p.ftol << "\nfit_mo 1\nverbos " << p.verbos << "\nshowli " << p.showli << "\nclcerr " << p.clcerr
      << "\nsg_idl none\nranges " << p.ranges << "\nignore " << p.ignore << "\npattrn " << p.patterns.size() << "\n";
    for (const std::string& path : p.patterns) o << path << "\n";
    o << "   algor trunc  ampli  frequ  width  phase  voigt  lsfft  wtype  convo  niter  cmplx   n_int   min   max\n";
    for (const Step& s : p.steps) {
        o << "@ " << s.algor << " " << (s.trunc > 0 ? s.trunc : p.n) << " " << s.ampli << " " << s.frequ << " "
          << s.gauss << " " << s.phase << " " << s.loren << " " << s.lsfft << " " << s.wtype << " " << s.convo << " "
          << s.niter << " " << s.cmplx << " " << s.intervals.size();
        for (auto& iv : s.intervals) o << " " << iv.first << " " << iv.second;
        o << "\n";
    }
    o << "number       area          frequency      gausswidth        phase        lorentzwidth \n";
    for (size_t i = 0; i < p.start.size(); ++i) {
        const Line& l = p.start[i];
        o << i + 1 << "\t" << l.area << "\t" << l.freq << "\t" << l.width1 << "\t" << l.phase << "\t" << l.width2
          << "\t\n";
    }
    for (size_t i = 0; i < p.start.size(); ++i) {
        const Line& l = p.start[i];
        const double v[5] = {l.area, l.freq, l.width1, l.phase, l.width2};
        const double span[5] = {0.5 * std::fabs(l.area) + 1e-8, 10.0, 0.5 * std::fabs(l.width1) + 1e-8, 40.0,
                                0.5 * std::fabs(l.width2) + 1e-8};
        o << "#" << i + 1 << " lsffit 0\n";
        for (int r = 0; r < 5; ++r) {
            Prior pr;
            pr.min = v[r] - span[r];
            pr.max = v[r] + span[r];
            if (i < p.prior.size() && !p.prior[i].empty()) pr = p.prior[i][r];
            o << l.type << "\t" << pr.fixed_to << "\t" << v[r] << "\t" << pr.min << "\t" << pr.max << "\n";
        }
    }
    o << "lsf_coefs\nend_of_lsf\n";
    return o.str();
}

// Where make_temp_dir creates its directories: $TMPDIR, default /tmp.
inline std::string temp_base() {
    const char* base = getenv("TMPDIR");
    return base != nullptr && base[0] != '\0' ? base : "/tmp";
}

// A fresh directory under temp_base().
inline std::string make_temp_dir(const char* tag) {
    std::string templ = temp_base() + "/qfit_" + tag + "_XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    char* d = mkdtemp(buf.data());
    return d ? std::string(d) : std::string();
}

using qtest::read_text;
using qtest::write_text;

// Rows of a .mat/.err file: area, frequency, |width1|, phase, width2 per line.
inline std::vector<std::vector<double>> read_matrix(const std::string& path) {
    std::vector<std::vector<double>> rows;
    std::ifstream f(path);
    std::string line;
    while (std::getline(f, line)) {
        std::istringstream s(line);
        std::vector<double> r;
        double v;
        while (s >> v) r.push_back(v);
        if (!r.empty()) rows.push_back(r);
    }
    return rows;
}

inline bool file_exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

inline void remove_tree(const std::string& dir) {
    std::error_code ec;
    if (dir.rfind(temp_base() + "/qfit_", 0) == 0) std::filesystem::remove_all(dir, ec);
}

}  // namespace qfit_test
