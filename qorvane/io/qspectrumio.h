// Binary spectrum files (interleaved little-endian float32 complex points) and
// the sage_idl ".shf" text header.
#ifndef QORVANE_SPECTRUMIO_H
#define QORVANE_SPECTRUMIO_H

#include <cstddef>

#include "qorvane_context.h"

// Reads the spectrum data_path + data_name into the context attached to the
// calling thread (xre/xim, the kept copy and the corrected-output copy) and
// computes the noise standard deviations over points noistr .. noistp-1.
// Returns QORVANE_RC_OK, or QORVANE_RC_FATAL (no context; unopenable file:
// exit code 1 in the context's status). A short file is reported and used as read.
// With ctx->memory_spectrum set, those bytes are read instead of the file (the name is
// still the one messages and result files carry).
int _InputSpectrumToFit(int n, int noistr, int noistp, const char *data_path, const char *data_name);

// Reads up to n complex points from a binary spectrum file into re/im (the rest
// zero-filled). Returns the number of points read, or -1 when it cannot be opened.
long qorvane_read_complex_file(const char *path, int n, double *re, double *im);

// Writes n complex points as float32 pairs. Returns 0, or -1 on failure.
int qorvane_write_complex_file(const char *path, int n, const double *re, const double *im);

// Reads a ".shf" header. Returns QORVANE_RC_OK; QORVANE_RC_FATAL with exit code -1
// in *status for a header that is not version 0.1; a file that cannot be opened
// is reported and leaves the record unchanged (QORVANE_RC_OK).
int read_sageidl_header(const char *path, QorvaneSageIdlHeader *header, QorvaneStatus *status);

// Writes a ".shf" header; the header name written is `path`. Returns 0 or -1.
int write_sageidl_header(const char *path, const QorvaneSageIdlHeader *header);

#endif
