// Fit-control and starting-value file (".par"): compact ("version_3") and
// verbose ("qorvane_begin_of_file") readers and writers, unit conversion and checks
// (fitcontrol_new.cpp reads, _check.cpp checks, _write.cpp writes, _common.cpp shares).
#ifndef QORVANE_FITCONTROL_NEW_H
#define QORVANE_FITCONTROL_NEW_H

#include <cstdio>

#include "qorvane_context.h"

// Codes of the thread-local last-error record of the fit-control I/O.
enum {
    QORVANE_FCNTL_OK = 0,
    QORVANE_FCNTL_INVALID_ARGUMENT = 1,
    QORVANE_FCNTL_OPEN_FAILURE = 2,
    QORVANE_FCNTL_CLOSE_FAILURE = 3,
    QORVANE_FCNTL_READ_ERROR = 4,
    QORVANE_FCNTL_WRITE_ERROR = 5,
    QORVANE_FCNTL_FORMAT_MISMATCH = 6
};

struct QorvaneFcntlError {
    int code;           // QORVANE_FCNTL_*; 0 = none recorded
    char message[512];  // "src/fitcontrol_new:<line>: <op> failed: <what>[ (errno=..)]"
};

// First I/O fault recorded on the calling thread since the last clear.
const QorvaneFcntlError *qorvane_fcntl_last_error();
void qorvane_fcntl_clear_last_error();

// Reads the fit-control file named by ctx->parameter_file into ctx (either form),
// reconciles prior knowledge with the starting values, converts to internal
// units and loads the patterns. Returns QORVANE_RC_OK, or QORVANE_RC_FATAL with
// ctx->status holding the exit code (-1 unopenable/unreadable, 1 corrupt compact
// file). An unsupported or inconsistent file is not fatal: it sets
// ctx->fcntl_faulty and the fit ends without fitting.
int load_initial_value_file(QorvaneFitContext *ctx);

// Reads the verbose form after its first token; returns QORVANE_RC_OK or sets
// ctx->fcntl_faulty (and records the I/O fault) and returns QORVANE_RC_FATAL.
int read_qorvane_strtval_file(FILE *fp, QorvaneFitContext *ctx);
// Reads the values after "qorvane_spectrum_information".
int read_qorvane_spectrum_information(FILE *fp, QorvaneFitContext *ctx);

// Clears the parameter arrays for the counts in ctx (fixed storage).
void allocate_parameter_arrays(QorvaneFitContext *ctx);

// Checks the values; prints the check messages; clears ctx->init_ok on each fatal finding.
void test_init_value_file(QorvaneFitContext *ctx);

// Fills ctx->o_par, ctx->o_errpar and ctx->o_fixpar with par_vec, errpar and
// fixpar converted to file units (Hz).
void natural_frequency(QorvaneFitContext *ctx);

// Writes the compact form. Returns 0, or -1 when the file cannot be written.
int write_f_cntl(const char *path, QorvaneFitContext *ctx, const char *user, const char *host, const char *domain);

// Writes the verbose form next to parameter_path ("<path less 4 chars>_verbose.par")
// and stores that name in ctx->parameter_file. Returns 0 or -1.
int write_qorvane_strtval_file(const char *parameter_path, QorvaneFitContext *ctx);

#endif
