// The outside plotting program (gnuplot): quoting of names in its scripts and
// its start on a script vyn wrote.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

// Looks up an executable regular file named prog in the directories of PATH
// (an empty entry is the current directory). Writes its path into out.
bool vyn_launch_find_on_path(const char* prog, char* out, std::size_t outsz);

// Starts "gnuplot -persist <script>" in the background, without a shell, with
// standard input from /dev/null so it never competes with the console menus.
// Returns the process id, or -1 when gnuplot is not on PATH (a one-line hint
// how to plot by hand is printed) or could not be started.
pid_t vyn_launch_gnuplot_pid(const char* script);
bool vyn_launch_gnuplot(const char* script);

// True when a graphical display is there (DISPLAY or WAYLAND_DISPLAY set).
bool vyn_launch_have_display();
// The picture file of a plot beside its data: the data name with its
// extension replaced by ".png" (".png" appended when that would name the
// data itself). False when it does not fit.
bool vyn_launch_png_name(const char* data, char* out, std::size_t outsz);
// Shows the plot of a script vyn wrote: with a display, gnuplot opens its
// window (vyn_launch_gnuplot). Without one, gnuplot draws the script into
// png with its PNG terminal (pngcairo, or png where cairo is missing) and
// vyn waits for it; gnuplot's own messages are discarded, and vyn prints
// "[VYN] Plot written to '<png>'" (or why there is none). True when a window
// was started or the picture written.
bool vyn_launch_plot(const char* script, const char* png);

// Names and titles put into plot scripts: written as a gnuplot single-quoted
// string with every quote doubled, so a name can never end the string and
// add commands. Control characters (a line break would start a new command)
// cannot be quoted: vyn_launch_quotable is false for them and
// vyn_launch_put_quoted writes nothing and returns false.
bool vyn_launch_quotable(const char* text);
bool vyn_launch_put_quoted(FILE* f, const char* text);
