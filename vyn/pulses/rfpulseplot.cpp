#include "rfpulseplot.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vyndatafileio.h"

extern char** environ;

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr std::size_t kMaxPath = 4096;

// Plotters started earlier; reaped when they have ended.
constexpr int kMaxPlotters = 32;
pid_t rfplot_children[kMaxPlotters];
int rfplot_nchildren = 0;

void rfplot_reap_finished() {
    int kept = 0;
    for (int i = 0; i < rfplot_nchildren; ++i) {
        const pid_t r = waitpid(rfplot_children[i], nullptr, WNOHANG);
        if (r == 0) rfplot_children[kept++] = rfplot_children[i];
    }
    rfplot_nchildren = kept;
}

}  // namespace

bool rfpulseplot_quotable(const char* text) {
    if (!text) return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if (*p < 0x20 || *p == 0x7f) return false;
    return true;
}

bool rfpulseplot_put_quoted(FILE* f, const char* text) {
    if (!f || !rfpulseplot_quotable(text)) return false;
    std::fputc('\'', f);
    for (const char* p = text; *p; ++p) {
        if (*p == '\'') std::fputc('\'', f);
        std::fputc(*p, f);
    }
    std::fputc('\'', f);
    return true;
}

bool WritePulseCSV(const char* filename, int ap, double h, const double* xb, const double* yb) {
    if (!filename || !xb || !yb || ap < 0) return false;
    FILE* f = std::fopen(filename, "w");
    if (!f) {
        std::fprintf(stderr, "WritePulseCSV: cannot open %s\n", filename);
        return false;
    }
    bool ok = std::fputs("# t[s], B1x[Hz], B1y[Hz], |B1|, phase[rad]\n", f) >= 0;
    double last_phase = 0.0;
    for (int k = 0; k < ap && ok; ++k) {
        const double m = std::sqrt(xb[k] * xb[k] + yb[k] * yb[k]);
        double phase = last_phase;
        if (m >= 1e-12) {
            phase = std::atan2(yb[k], xb[k]);
            if (phase < 0.0) phase += kTwoPi;
            last_phase = phase;
        }
        ok = std::fprintf(f, "%g, %g, %g, %g, %g\n", k * h, xb[k], yb[k], m, phase) > 0;
    }
    if (std::fclose(f) != 0) ok = false;
    if (!ok) std::fprintf(stderr, "WritePulseCSV: write error on %s\n", filename);
    return ok;
}

bool WriteGnuplotPulseScript(const char* gp_name, const char* csv_name) {
    if (!gp_name || !csv_name) return false;
    if (!rfpulseplot_quotable(csv_name)) {
        std::fprintf(stderr, "WriteGnuplotPulseScript: file name %s cannot be put into a plot script\n", csv_name);
        return false;
    }
    FILE* f = std::fopen(gp_name, "w");
    if (!f) {
        std::fprintf(stderr, "WriteGnuplotPulseScript: cannot open %s\n", gp_name);
        return false;
    }
    std::fputs(
        "set title 'Optimized RF Pulse'\nset xlabel 'Time (s)'\nset ylabel 'Amplitude / Phase'\n"
        "set grid\nset key left top\n\nplot \\\n",
        f);
    static const char* const curves[4] = {
        " using 1:2 with lines title 'B1x', \\\n", " using 1:3 with lines title 'B1y', \\\n",
        " using 1:4 with lines title '|B1|', \\\n", " using 1:5 with lines title 'phase'\n"};
    for (int i = 0; i < 4; ++i) {
        std::fputs("  ", f);
        rfpulseplot_put_quoted(f, csv_name);
        std::fputs(curves[i], f);
    }
    std::fputs("\npause -1\n", f);
    const bool ok = !std::ferror(f);
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "WriteGnuplotPulseScript: write error on %s\n", gp_name);
        return false;
    }
    return true;
}

bool rfpulseplot_find_on_path(const char* prog, char* out, std::size_t outsz) {
    if (!prog || !prog[0] || !out || outsz == 0 || std::strchr(prog, '/')) return false;
    const char* path = std::getenv("PATH");
    if (!path) path = "/usr/local/bin:/usr/bin:/bin";
    const char* p = path;
    for (;;) {
        const char* colon = std::strchr(p, ':');
        const std::size_t len = colon ? static_cast<std::size_t>(colon - p) : std::strlen(p);
        char cand[kMaxPath];
        int w;
        if (len == 0)
            w = std::snprintf(cand, sizeof cand, "./%s", prog);
        else
            w = std::snprintf(cand, sizeof cand, "%.*s/%s", static_cast<int>(len), p, prog);
        if (w > 0 && static_cast<std::size_t>(w) < sizeof cand) {
            struct stat sb;
            if (stat(cand, &sb) == 0 && S_ISREG(sb.st_mode) && access(cand, X_OK) == 0 &&
                static_cast<std::size_t>(w) < outsz) {
                std::memcpy(out, cand, static_cast<std::size_t>(w) + 1);
                return true;
            }
        }
        if (!colon) return false;
        p = colon + 1;
    }
}

pid_t rfpulseplot_start_gnuplot_pid(const char* script) {
    if (!script || !script[0]) return -1;
    rfplot_reap_finished();
    char exe[kMaxPath];
    if (!rfpulseplot_find_on_path("gnuplot", exe, sizeof exe)) {
        std::printf("[VYN] gnuplot not found on PATH; to plot, run: gnuplot -persist %s\n", script);
        return -1;
    }
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&fa) != 0) return -1;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return -1;
    }
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Own process group: a Ctrl-C meant for vyn does not close the plot.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);

    char arg0[] = "gnuplot";
    char arg1[] = "-persist";
    char* argv[4] = {arg0, arg1, const_cast<char*>(script), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe, &fa, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        std::fprintf(stderr, "gnuplot: %s\n", std::strerror(rc));
        return -1;
    }
    if (rfplot_nchildren < kMaxPlotters) rfplot_children[rfplot_nchildren++] = pid;
    return pid;
}

bool rfpulseplot_start_gnuplot(const char* script) { return rfpulseplot_start_gnuplot_pid(script) > 0; }

bool rfpulseplot_export_pulse_interactive(int ap, double h, const double* xb, const double* yb) {
    std::fputs("Enter output CSV filename: ", stdout);
    std::fflush(stdout);
    char csv[DATAIO_MAX_FILENAME + 1];
    if (!dataio_read_word(csv, DATAIO_MAX_FILENAME)) {
        std::fputs("Invalid filename\n", stderr);
        return false;
    }
    if (!WritePulseCSV(csv, ap, h, xb, yb)) return false;
    std::printf("RF pulse written to '%s'\n", csv);
    char gp[DATAIO_MAX_FILENAME + 4];
    std::snprintf(gp, sizeof gp, "%s.gp", csv);
    if (!WriteGnuplotPulseScript(gp, csv)) return false;
    return rfpulseplot_start_gnuplot(gp);
}
