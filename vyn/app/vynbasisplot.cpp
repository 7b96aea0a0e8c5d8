// Stacked basis spectra: gnuplot reads the float32 pattern files directly;
// point j lies at carrier + (j - N/2) / (N dwell) / f0 ppm.
#include "vynbasisplot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "vynlaunch.h"

extern char** environ;

namespace {

// Phase of the first FID point (the sum of the pattern spectrum) and the largest
// magnitude of a pattern file (float32 pairs); the plot shows re(S exp(-i phase)).
double peak_of(const std::string& path, double* phase) {
    *phase = 0.0;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0.0;
    float v[2];
    double peak = 0.0, sr = 0.0, si = 0.0;
    while (std::fread(v, sizeof(float), 2, f) == 2) {
        if (!std::isfinite(v[0]) || !std::isfinite(v[1])) continue;
        peak = std::fmax(peak, std::hypot(v[0], v[1]));
        sr += v[0];
        si += v[1];
    }
    std::fclose(f);
    *phase = std::atan2(si, sr);
    return peak;
}

bool write_script(FILE* f, const std::string& out_dir, const std::vector<VYNBasisPlotEntry>& entries,
                  const std::string& png) {
    std::fputs("set terminal pngcairo size 900,1200\nset output ", f);
    if (!vyn_launch_put_quoted(f, png.c_str())) return false;
    std::fputs("\nset xlabel 'chemical shift (ppm)'\nset xrange [4.5:0.5]\nunset ytics\nset key off\nset grid x\n", f);
    std::fputs("plot ", f);
    for (size_t i = 0; i < entries.size(); ++i) {
        const VYNBasisPlotEntry& e = entries[i];
        const std::string bin = out_dir + "/" + e.name + ".bin";
        double phase = 0.0;
        const double peak = peak_of(bin, &phase);
        const double scale = peak > 0.0 ? 0.9 / peak : 1.0;
        const double ppm_per_point = 1.0 / (e.points * e.dwell_s) / e.spectrometer_mhz;
        if (i) std::fputs(", \\\n     ", f);
        if (!vyn_launch_put_quoted(f, bin.c_str())) return false;
        std::fprintf(f,
                     " binary format='%%float32%%float32' using (%.12g + ($0 - %d) * %.12g):"
                     "(($1 * %.12g + $2 * %.12g) * %.12g + %zu) with lines",
                     e.carrier_ppm, e.points / 2, ppm_per_point, std::cos(phase), std::sin(phase), scale, i);
        std::fprintf(f, ", '' binary format='%%float32%%float32' every ::0::0 using (4.45):(%zu.3):(", i);
        if (!vyn_launch_put_quoted(f, e.name.c_str())) return false;
        std::fputs(") with labels left", f);
    }
    std::fputs("\n", f);
    return std::ferror(f) == 0;
}

}  // namespace

bool vyn_basis_plot(const std::string& out_dir, const std::vector<VYNBasisPlotEntry>& entries) {
    if (entries.empty()) return false;
    char exe[1024];
    if (!vyn_launch_find_on_path("gnuplot", exe, sizeof exe)) {
        std::printf("[VYN] gnuplot not found on PATH; no basis.png written.\n");
        return false;
    }
    const std::string tag = std::to_string(static_cast<long>(getpid()));
    const std::string script = out_dir + "/.basis.gp.tmp" + tag, png = out_dir + "/.basis.png.tmp" + tag;
    FILE* f = std::fopen(script.c_str(), "w");
    if (!f) return false;
    bool ok = write_script(f, out_dir, entries, png);
    if (std::fclose(f) != 0) ok = false;
    int status = -1;
    if (ok) {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        char arg0[] = "gnuplot";
        char* argv[3] = {arg0, const_cast<char*>(script.c_str()), nullptr};
        pid_t pid = -1;
        ok = posix_spawn(&pid, exe, &fa, nullptr, argv, environ) == 0 && waitpid(pid, &status, 0) == pid &&
             WIFEXITED(status) && WEXITSTATUS(status) == 0 && access(png.c_str(), F_OK) == 0;
        posix_spawn_file_actions_destroy(&fa);
    }
    std::remove(script.c_str());
    if (ok) ok = std::rename(png.c_str(), (out_dir + "/basis.png").c_str()) == 0;
    if (!ok) {
        std::remove(png.c_str());
        std::printf("[VYN] gnuplot could not draw basis.png; the basis files are complete.\n");
    }
    return ok;
}
