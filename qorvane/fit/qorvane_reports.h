// Result files of a fit: binary spectra, parameter and error matrices, .fitres and .exl.
#pragma once
#include "qorvane_context.h"

// One line per line and pattern: area, frequency, |width1|, phase, width2 (1-based values).
int write_parameter_matrix(const char* path, const char* name, int nLines, int pattrn, const double* values);
int WriteFitResults(QorvaneFitContext* ctx, const char* path);
int WriteEXCELFitResults(QorvaneFitContext* ctx, const char* path);
// Writes out_stem + ext as a binary spectrum of `points` complex values (with a .sdf/.shf
// pair for sage_idl). Falls back to temp.con beside the data when the file cannot be made.
int qorvane_write_output_spectrum(QorvaneFitContext* ctx, const char* ext, int points, const double* re,
                                  const double* im);
// Dead-time corrected area and its error of line i (file units in ctx->o_par / o_errpar).
void qorvane_dead_time_area(const QorvaneFitContext* ctx, int line, double* area, double* error);
// Refuses (status 1, message naming both) a fit whose result files would overwrite one of
// its inputs (same device and inode: links and other spellings of a name included); 0 or -1.
int qorvane_check_outputs_spare_inputs(QorvaneFitContext* ctx);
// Writes every result file after a successful fit.
void qorvane_write_results(QorvaneFitContext* ctx);
