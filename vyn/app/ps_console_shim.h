// TEMPORARY: line readers until the console-input module lands.
#pragma once
#include <cstring>

#include "rfpulselib_input.h"
inline bool read_int_prompt(const char* p, int* o) { return rfl_read_int_prompt(p, o); }
inline bool read_double_prompt(const char* p, double* o) { return rfl_read_double_prompt(p, o); }
inline bool read_legacy_line(char* b, int n) { return rfl_read_line(b, n); }
inline bool read_filename_stdin(char* b, int n) {
    if (!rfl_read_line(b, n)) return false;
    for (char* c = b; *c; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '.' ||
              *c == '_' || *c == '-'))
            *c = '_';
    return true;
}
