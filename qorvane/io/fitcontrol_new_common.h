// Helpers shared by the fit-control readers, checks and writers: the thread-local
// last-error record, console output, line counts, line-type words and unit factors.
#pragma once
#include <cstddef>
#include <cstdio>

#include "qorvane_context.h"

namespace qorvane_fc {

// Records the first I/O fault of this thread and prints it.
void fc_record(int line, const char *op, int code, int err);
// A failed fscanf: end of file / stream error is a read error, anything else a format mismatch.
void fc_record_scan(int line, FILE *fp);
// Prints a fixed text and ends the line unless the text ends one itself.
void fc_say(const char *text);
void fc_sayf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void fc_format_now(char *buf, size_t n);

int fc_total(const QorvaneFitContext *ctx);
// Lines (analytic and pattern) that the writers convert and write: those before the
// line-shape coefficients, at most QORVANE_MAX_LINES.
int fc_written_lines(const QorvaneFitContext *ctx);
const char *fc_type_word(int type);
// Factor from file units (Hz) to internal units for parameter offset j on a
// record of the given type; 1 where no conversion applies.
double fc_to_internal_factor(int j, int type, double hz);
double fc_to_file_factor(int j, int type, double hz);

}  // namespace qorvane_fc
