// Strict number parsing for the text readers: the whole token must be a decimal number
// of the expected kind (no hex, no "nan" or "inf", no trailing text) and finite.
#pragma once
#include <cstdio>

// Decimal integer [+-]digits within lo .. hi.
bool qorvane_parse_int(const char* token, long lo, long hi, int* value);

// Decimal real [+-]digits[.digits][e[+-]digits] that is finite in single precision; the
// value is the single-precision reading widened (how these files have always been read).
bool qorvane_parse_float(const char* token, double* value);

// The same in double precision.
bool qorvane_parse_double(const char* token, double* value);

// Line number (1-based) of the current position of `fp` (counts the newlines before it).
int qorvane_stream_line(FILE* fp);
