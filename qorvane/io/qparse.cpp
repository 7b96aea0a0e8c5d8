#include "qparse.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// [+-]digits[.digits][(e|E)[+-]digits] with at least one mantissa digit, nothing else.
bool qp_decimal_real(const char* s) {
    if (*s == '+' || *s == '-') ++s;
    int digits = 0;
    while (*s >= '0' && *s <= '9') ++s, ++digits;
    if (*s == '.') {
        ++s;
        while (*s >= '0' && *s <= '9') ++s, ++digits;
    }
    if (digits == 0) return false;
    if (*s == 'e' || *s == 'E') {
        ++s;
        if (*s == '+' || *s == '-') ++s;
        if (!(*s >= '0' && *s <= '9')) return false;
        while (*s >= '0' && *s <= '9') ++s;
    }
    return *s == '\0';
}

}  // namespace

bool qorvane_parse_int(const char* token, long lo, long hi, int* value) {
    if (token == nullptr) return false;
    const char* s = token;
    if (*s == '+' || *s == '-') ++s;
    if (!(*s >= '0' && *s <= '9')) return false;
    for (const char* c = s; *c; ++c)
        if (!(*c >= '0' && *c <= '9')) return false;
    errno = 0;
    const long long v = std::strtoll(token, nullptr, 10);
    if (errno == ERANGE || v < lo || v > hi) return false;
    *value = static_cast<int>(v);
    return true;
}

bool qorvane_parse_float(const char* token, double* value) {
    if (token == nullptr || !qp_decimal_real(token)) return false;
    const float f = std::strtof(token, nullptr);  // underflow to a denormal or zero is a value
    if (!std::isfinite(f)) return false;
    *value = f;
    return true;
}

bool qorvane_parse_double(const char* token, double* value) {
    if (token == nullptr || !qp_decimal_real(token)) return false;
    const double d = std::strtod(token, nullptr);
    if (!std::isfinite(d)) return false;
    *value = d;
    return true;
}

int qorvane_stream_line(FILE* fp) {
    const long pos = std::ftell(fp);
    if (pos < 0 || std::fseek(fp, 0, SEEK_SET) != 0) return 0;
    int line = 1;
    for (long i = 0; i < pos; ++i) {
        const int c = std::fgetc(fp);
        if (c == EOF) break;
        if (c == '\n') ++line;
    }
    std::fseek(fp, pos, SEEK_SET);
    return line;
}
