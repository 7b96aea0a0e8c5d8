// Line readers of the pulse dialogues.
#include "rfpulselib_input.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool rfl_blank_rest(const char* p) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    return *p == '\0';
}

bool rfl_prompt_line(const char* prompt, char* line, int size) {
    std::printf("%s", prompt);
    std::fflush(stdout);
    return rfl_read_line(line, size);
}

}  // namespace

bool rfl_read_line(char* buffer, int size) {
    if (!buffer || size < 1) return false;
    int c;
    do {
        c = std::getchar();
    } while (c == '\r');
    if (c == EOF) return false;
    int len = 0;
    while (c != EOF && c != '\n') {
        if (c != '\r' && len < size - 1) buffer[len++] = (char)c;
        c = std::getchar();
    }
    buffer[len] = '\0';
    return true;
}

bool rfl_read_int_prompt(const char* prompt, int* out) {
    char line[256];
    for (;;) {
        if (!rfl_prompt_line(prompt, line, sizeof line)) return false;
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(line, &end, 10);
        if (end != line && errno == 0 && v >= INT_MIN && v <= INT_MAX && rfl_blank_rest(end)) {
            if (out) *out = (int)v;
            return true;
        }
        std::puts("Please enter a whole number.");
    }
}

bool rfl_read_double_prompt(const char* prompt, double* out) {
    char line[256];
    for (;;) {
        if (!rfl_prompt_line(prompt, line, sizeof line)) return false;
        char* end = nullptr;
        const double v = std::strtod(line, &end);
        if (end != line && std::isfinite(v) && rfl_blank_rest(end)) {
            if (out) *out = v;
            return true;
        }
        std::puts("Please enter a numeric value.");
    }
}
