// Console input helpers: line, number and token readers, pauses and screen clearing.
#include "consuleutil.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kNumberLineCap = 256;  // 255 characters and the terminator

bool consule_is_blank(const char* p) {
    while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
    return *p == '\0';
}

// True while a token read has left the rest of its line (at least its
// newline) unread.
bool consule_line_pending = false;

bool consule_parse_int(const char* text, int* out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || v < INT_MIN || v > INT_MAX || !consule_is_blank(end)) return false;
    *out = static_cast<int>(v);
    return true;
}

bool consule_parse_double(const char* text, double* out) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || !std::isfinite(v) || !consule_is_blank(end)) return false;
    *out = v;
    return true;
}

template <typename T>
bool consule_prompt_number(const char* prompt, T* out, bool (*parse)(const char*, T*), const char* repeat) {
    for (;;) {
        if (prompt) std::fputs(prompt, stdout);
        std::fflush(stdout);
        char line[kNumberLineCap];
        bool too_long = false;
        if (!consule_read_line(line, kNumberLineCap, &too_long)) return false;
        T v{};
        if (!too_long && parse(line, &v)) {
            if (out) *out = v;
            return true;
        }
        std::printf("%s\n", repeat);
    }
}

}  // namespace

bool consule_read_line(char* buffer, int size, bool* truncated) {
    if (truncated) *truncated = false;
    if (!buffer || size < 1) return false;
    consule_line_pending = false;
    int len = 0;
    int c;
    bool any = false;
    while ((c = std::getchar()) != EOF && c != '\n') {
        any = true;
        if (c == '\r') continue;
        if (len < size - 1)
            buffer[len++] = static_cast<char>(c);
        else if (truncated)
            *truncated = true;
    }
    buffer[len] = '\0';
    if (c == EOF && (!any || std::ferror(stdin))) return false;
    return true;
}

bool read_legacy_line(char* buffer, int size) { return consule_read_line(buffer, size, nullptr); }

bool read_filename_stdin(char* buffer, int size) {
    if (!read_legacy_line(buffer, size)) return false;
    for (char* p = buffer; *p; ++p) {
        const unsigned char ch = static_cast<unsigned char>(*p);
        if (!std::isalnum(ch) && ch != '.' && ch != '_' && ch != '-') *p = '_';
    }
    return true;
}

bool read_int_prompt(const char* prompt, int* out) {
    return consule_prompt_number<int>(prompt, out, consule_parse_int, "Please enter a whole number.");
}

bool read_double_prompt(const char* prompt, double* out) {
    return consule_prompt_number<double>(prompt, out, consule_parse_double, "Please enter a numeric value.");
}

void ConsoleClearHome() {
    if (!isatty(STDOUT_FILENO)) return;
    fputs("\033[2J\033[H", stdout);
    fflush(stdout);
}

void ScreenMode(int mode) {
    if (mode == 3) ConsoleClearHome();
}

// Token reads: formatted input leaves the rest of the line (its newline at
// least) behind; the pause at a terminal drops it before it waits.
int consule_read_int(int* out) {
    int v = 0;
    const int r = std::scanf("%d", &v);
    if (r == EOF) return -1;
    consule_line_pending = true;
    if (r != 1) return 0;
    if (out) *out = v;
    return 1;
}

int consule_read_double(double* out) {
    double v = 0.0;
    const int r = std::scanf("%lf", &v);
    if (r == EOF) return -1;
    consule_line_pending = true;
    if (r != 1) return 0;
    if (out) *out = v;
    return 1;
}

int consule_read_word(char* buf, int cap) {
    if (!buf || cap < 2) return 0;
    char fmt[32];
    std::snprintf(fmt, sizeof fmt, "%%%ds", cap - 1);
    const int r = std::scanf(fmt, buf);
    if (r == EOF) return -1;
    consule_line_pending = true;
    return r == 1 ? 1 : 0;
}

bool consule_skip_char() {
    const int c = std::getchar();
    if (c == '\n') consule_line_pending = false;
    return c != EOF;
}

void consule_discard_line() {
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
    consule_line_pending = false;
}

bool consule_at_end() { return std::feof(stdin) != 0; }

bool consule_read_menu_choice(int* choice) {
    const int r = consule_read_int(choice);
    if (r >= 0) consule_discard_line();
    return r == 1;
}

int consule_ask_yes_no(const char* prompt) {
    std::printf("%s", prompt);
    std::fflush(stdout);
    int v = 0;
    const int r = consule_read_int(&v);
    if (r >= 0) consule_discard_line();
    return r == 1 && v != 0;
}

void consule_pause(const char* prompt) {
    std::printf("%s", prompt);
    std::fflush(stdout);
    if (!isatty(STDIN_FILENO)) {
        if (std::getchar() == '\n') consule_line_pending = false;
        return;
    }
    if (consule_line_pending) consule_discard_line();
    consule_discard_line();
}

void vyn_wait_enter_if_tty() {
    std::fflush(stdout);
    if (!isatty(STDIN_FILENO)) return;
    if (consule_line_pending) consule_discard_line();
    consule_discard_line();
}
