#include "rfpulseplot.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vyndatafileio.h"
#include "vynlaunch.h"
#include "vynpaths.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

}  // namespace

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
    if (!vyn_launch_quotable(csv_name)) {
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
        vyn_launch_put_quoted(f, csv_name);
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

bool rfpulseplot_export_pulse_interactive(int ap, double h, const double* xb, const double* yb) {
    std::fputs("Enter output CSV filename: ", stdout);
    std::fflush(stdout);
    char csv[DATAIO_MAX_FILENAME + 1];
    if (!dataio_read_word(csv, DATAIO_MAX_FILENAME)) {
        std::fputs("Invalid filename\n", stderr);
        return false;
    }
    if (!WritePulseCSV(csv, ap, h, xb, yb)) return false;
    char shown[VYN_PATH_CAP];
    std::printf("RF pulse written to '%s'\n", vyn_path_for_message(csv, shown, sizeof shown));
    char gp[DATAIO_MAX_FILENAME + 4], png[DATAIO_MAX_FILENAME + 8];
    std::snprintf(gp, sizeof gp, "%s.gp", csv);
    if (!WriteGnuplotPulseScript(gp, csv)) return false;
    return vyn_launch_plot(gp, vyn_launch_png_name(csv, png, sizeof png) ? png : nullptr);
}
