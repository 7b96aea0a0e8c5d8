// Console helpers: screen clearing, integer input and pause prompts.
#include "consuleutil.h"

#include <unistd.h>

#include <cstdio>

void ConsoleClearHome() {
    if (!isatty(STDOUT_FILENO)) return;
    fputs("\033[2J\033[H", stdout);
    fflush(stdout);
}

void ScreenMode(int mode) {
    if (mode == 3) ConsoleClearHome();
}

int consule_read_int(int* out) {
    int v = 0;
    int r = scanf("%d", &v);
    if (r == EOF) return -1;
    if (r != 1) return 0;
    if (out) *out = v;
    return 1;
}

int consule_read_double(double* out) {
    double v = 0.0;
    int r = scanf("%lf", &v);
    if (r == EOF) return -1;
    if (r != 1) return 0;
    if (out) *out = v;
    return 1;
}

void consule_discard_line() {
    int c;
    while ((c = getchar()) != EOF && c != '\n') {
    }
}

bool consule_read_menu_choice(int* choice) {
    const int r = consule_read_int(choice);
    if (r >= 0) consule_discard_line();
    return r == 1;
}

int consule_ask_yes_no(const char* prompt) {
    printf("%s", prompt);
    fflush(stdout);
    int v = 0;
    int r = consule_read_int(&v);
    if (r >= 0) consule_discard_line();
    return r == 1 && v != 0;
}

void consule_pause(const char* prompt) {
    printf("%s", prompt);
    fflush(stdout);
    (void)getchar();
}
