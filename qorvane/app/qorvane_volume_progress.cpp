// Volume mode: the progress line on standard error while the voxels are fitted: voxels done of
// the job's total, the rate of this run's fits and the time left. On a terminal the line is
// rewritten in place ('\r') at most four times a second and ended by a newline when the fit
// ends; elsewhere (a log file) it is a line of its own every interval_s seconds and at the end.
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "qorvane_volume_job.h"

static double qorvane_seconds_since(const struct timespec* t0) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - t0->tv_sec) + 1e-9 * (double)(now.tv_nsec - t0->tv_nsec);
}

static void qorvane_format_duration(char* out, size_t size, double seconds) {
    unsigned long s = seconds > 0.0 ? (unsigned long)(seconds + 0.5) : 0;
    if (s >= 3600)
        snprintf(out, size, "%luh%02lum%02lus", s / 3600, (s / 60) % 60, s % 60);
    else if (s >= 60)
        snprintf(out, size, "%lum%02lus", s / 60, s % 60);
    else
        snprintf(out, size, "%lus", s);
}

void qorvane_volume_progress_start(QorvaneVolumeProgress* progress, uint32_t already_done) {
    clock_gettime(CLOCK_MONOTONIC, &progress->start);
    progress->last = 0.0;
    progress->base = already_done;
    progress->shown = 0;
    progress->terminal = isatty(fileno(stderr)) == 1;
}

void qorvane_volume_progress_note(QorvaneVolumeProgress* progress, uint32_t done, uint32_t total) {
    const double elapsed = qorvane_seconds_since(&progress->start);
    const double interval = progress->terminal && progress->interval_s > 0.25 ? 0.25 : progress->interval_s;
    if (done < total && elapsed - progress->last < interval) return;
    progress->last = elapsed;
    // The rate counts this run's fits only (not the voxels a resumed job restored).
    const uint32_t fitted = done > progress->base ? done - progress->base : 0;
    const double rate = elapsed > 0.0 ? fitted / elapsed : 0.0;
    const double left = rate > 0.0 ? (double)(total - done) / rate : 0.0;
    char e[32], l[32], line[160];
    qorvane_format_duration(e, sizeof e, elapsed);
    qorvane_format_duration(l, sizeof l, left);
    int n = snprintf(line, sizeof line,
                     "Volume progress: %u of %u voxel(s) done, %.1f voxel(s)/s, %s elapsed, about %s left", done, total,
                     rate, e, l);
    if (n < 0) return;
    if (!progress->terminal) {
        fprintf(stderr, "%s\n", line);
        return;
    }
    // Pads over the rest of a longer earlier line.
    const int pad = progress->shown > n ? progress->shown - n : 0;
    fprintf(stderr, "\r%s%*s", line, pad, "");
    fflush(stderr);
    progress->shown = n;
}

void qorvane_volume_progress_end(QorvaneVolumeProgress* progress) {
    if (progress->terminal && progress->shown > 0) fputc('\n', stderr);
    progress->shown = 0;
}
