// Export of an RF pulse as CSV table and gnuplot script, and the start of
// gnuplot on such a script.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

#include "vynlaunch.h"

// CSV: header "# t[s], B1x[Hz], B1y[Hz], |B1|, phase[rad]", then per sample
// "t, xb, yb, |B1|, phase" with t = k*h, the stored values unchanged and the
// phase in [0, 2*pi); where |B1| < 1e-12 the last defined phase is repeated
// (0 before the first). Prints "WritePulseCSV: cannot open %s" on failure.
bool WritePulseCSV(const char* filename, int ap, double h, const double* xb, const double* yb);
// Quoting of names in plot scripts (vyn_launch_quotable / vyn_launch_put_quoted).
inline bool rfpulseplot_quotable(const char* text) { return vyn_launch_quotable(text); }
inline bool rfpulseplot_put_quoted(FILE* f, const char* text) { return vyn_launch_put_quoted(f, text); }

// Plot script for the CSV (four curves: B1x, B1y, |B1|, phase).
bool WriteGnuplotPulseScript(const char* gp_name, const char* csv_name);

// The launcher itself is vynlaunch.h; these are its names in the plotter's
// interface.
inline bool rfpulseplot_find_on_path(const char* prog, char* out, std::size_t outsz) {
    return vyn_launch_find_on_path(prog, out, outsz);
}
inline pid_t rfpulseplot_start_gnuplot_pid(const char* script) { return vyn_launch_gnuplot_pid(script); }
inline bool rfpulseplot_start_gnuplot(const char* script) { return vyn_launch_gnuplot(script); }

// Export dialogue after an optimisation: asks "Enter output CSV filename: ",
// writes the CSV, the script "<csv>.gp" and starts gnuplot on it. Each step
// runs only when the one before succeeded.
bool rfpulseplot_export_pulse_interactive(int ap, double h, const double* xb, const double* yb);
