// Volume mode: progress lines on standard error while the voxels are fitted.
#include <time.h>

#include <cstdio>

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

void qorvane_volume_progress_start(QorvaneVolumeProgress* progress) {
    clock_gettime(CLOCK_MONOTONIC, &progress->start);
    progress->last = 0.0;
}

void qorvane_volume_progress_note(QorvaneVolumeProgress* progress, uint32_t done, uint32_t total) {
    double elapsed = qorvane_seconds_since(&progress->start);
    if (done < total && elapsed - progress->last < progress->interval_s) return;
    progress->last = elapsed;
    double left = done > 0 ? elapsed / done * (double)(total - done) : 0.0;
    char e[32], l[32];
    qorvane_format_duration(e, sizeof e, elapsed);
    qorvane_format_duration(l, sizeof l, left);
    fprintf(stderr, "Volume progress: %u of %u voxel(s) done, %s elapsed, about %s left\n", done, total, e, l);
}
