// Raw access to dm.bin-family files for the propagators and observables:
// 12-byte header of three little-endian int32 (type, num1, num2) and bodies
// of complex doubles (matrices row by row, signals trace by trace).
#pragma once

#include <cstdio>

#include "matrixmathlib.h"

bool vyn_dm_write_header(FILE* f, int type, int num1, int num2);
bool vyn_dm_read_header(FILE* f, int* type, int* num1, int* num2);
// One matrix of dimension n (1..MATRIXMATH_DIM), rows 1..n, one write/read per row.
bool vyn_dm_write_matrix(FILE* f, int n, const CMatrix& m);
bool vyn_dm_read_matrix(FILE* f, int n, CMatrix& m);
// Bytes from the current position to the end of the file (-1 when unknown).
long long vyn_dm_bytes_left(FILE* f);
// True when at least count records of record_bytes each follow the current position.
bool vyn_dm_body_holds(FILE* f, long long count, long long record_bytes);
