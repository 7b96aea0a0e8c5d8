// Export of an RF pulse as CSV table and gnuplot script, and the start of
// gnuplot on such a script.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

// CSV: header "# t[s], B1x[Hz], B1y[Hz], |B1|, phase[rad]", then per sample
// "t, xb, yb, |B1|, phase" with t = k*h, the stored values unchanged and the
// phase in [0, 2*pi); where |B1| < 1e-12 the last defined phase is repeated
// (0 before the first). Prints "WritePulseCSV: cannot open %s" on failure.
bool WritePulseCSV(const char* filename, int ap, double h, const double* xb, const double* yb);
// Names and titles put into plot scripts: written as a gnuplot single-quoted
// string with every quote doubled, so a name can never end the string and
// add commands. Control characters (a line break would start a new command)
// cannot be quoted: rfpulseplot_quotable is false for them and
// rfpulseplot_put_quoted writes nothing and returns false.
bool rfpulseplot_quotable(const char* text);
bool rfpulseplot_put_quoted(FILE* f, const char* text);

// Plot script for the CSV (four curves: B1x, B1y, |B1|, phase).
bool WriteGnuplotPulseScript(const char* gp_name, const char* csv_name);

// Looks up an executable regular file named prog in the directories of PATH
// (an empty entry is the current directory). Writes its path into out.
bool rfpulseplot_find_on_path(const char* prog, char* out, std::size_t outsz);

// Starts "gnuplot -persist <script>" in the background, without a shell, with
// standard input from /dev/null so it never competes with the console menus.
// Returns the process id, or -1 when gnuplot is not on PATH (a one-line hint
// how to plot by hand is printed) or could not be started.
pid_t rfpulseplot_start_gnuplot_pid(const char* script);
bool rfpulseplot_start_gnuplot(const char* script);

// Export dialogue after an optimisation: asks "Enter output CSV filename: ",
// writes the CSV, the script "<csv>.gp" and starts gnuplot on it. Each step
// runs only when the one before succeeded.
bool rfpulseplot_export_pulse_interactive(int ap, double h, const double* xb, const double* yb);
