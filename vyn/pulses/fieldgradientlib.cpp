// Gradient waveforms: constant gradient and the cosine / sine spirals.
#include "fieldgradientlib.h"

#include <cmath>
#include <cstdio>

#include "consuleutil.h"

fieldgrad_status fieldgrad_last_status = FIELDGRAD_OK;

namespace {
constexpr double kTwoPi = 2.0 * 3.141592653589793;
// Length of the engine's gradient arrays gx, gy, gz: more samples would
// write past them.
constexpr int kMaxSamples = 8192;

fieldgrad_status fieldgrad_store(fieldgrad_status st) {
    fieldgrad_last_status = st;
    return st;
}

// Checks shared by both spirals; T is the total time on success.
fieldgrad_status fieldgrad_check_spiral(int ap, double h, const double* gs, double* T) {
    if (!gs) return FIELDGRAD_ERR_NULLPTR;
    if (ap == 0) return FIELDGRAD_ERR_BADLEN;
    if (ap < 0 || ap > kMaxSamples || !(h > 0.0)) return FIELDGRAD_ERR_BADARG;
    *T = ap * h;
    if (!(*T > 0.0) || !std::isfinite(*T)) return FIELDGRAD_ERR_BADARG;
    return FIELDGRAD_OK;
}

// Samples of the cosine spiral (sine == false) or the sine spiral.
fieldgrad_status fieldgrad_spiral(int ap, double h, double* gs, double A, double n, bool sine) {
    double T = 0.0;
    fieldgrad_status st = fieldgrad_check_spiral(ap, h, gs, &T);
    if (st != FIELDGRAD_OK) return st;
    for (int i = 0; i < ap; ++i) {
        const double t = i * h;
        const double theta = kTwoPi * n * t / T;
        const double r = 1.0 - t / T;
        gs[i] = sine ? A * (kTwoPi * n * r * std::cos(theta) - std::sin(theta)) / T
                     : -A * (std::cos(theta) + kTwoPi * n * r * std::sin(theta)) / T;
    }
    return FIELDGRAD_OK;
}

// Prints the prompt and reads one number (a whole line, asked again until it
// is a finite number), then ends the answer's line; false (and
// FIELDGRAD_ERR_IO kept) at the end of input.
bool fieldgrad_ask_double(const char* prompt, double* v) {
    if (!read_double_prompt(prompt, v)) {
        fieldgrad_store(FIELDGRAD_ERR_IO);
        return false;
    }
    std::printf("\n");
    return true;
}

// Console form of a spiral: shows its formula, asks for A and n, computes.
void fieldgrad_spiral_dialog(const int* ap, const double* h, double* gs, const char* formula, const char* f_line,
                             const char* prompt_a, const char* prompt_n,
                             fieldgrad_status (*compute)(int, double, double*, double, double)) {
    if (!ap || !h || !gs) {
        fieldgrad_store(FIELDGRAD_ERR_NULLPTR);
        return;
    }
    std::puts(formula);
    std::puts(f_line);
    double A = 0.0, n = 0.0;
    if (!fieldgrad_ask_double(prompt_a, &A) || !fieldgrad_ask_double(prompt_n, &n)) return;
    compute(*ap, *h, gs, A, n);
}
}  // namespace

fieldgrad_status gradproc1_compute(int ap, double /*h*/, double* gs, double strength_hz_per_cm) {
    if (!gs) return fieldgrad_store(FIELDGRAD_ERR_NULLPTR);
    if (ap == 0) return fieldgrad_store(FIELDGRAD_ERR_BADLEN);
    if (ap < 0 || ap > kMaxSamples) return fieldgrad_store(FIELDGRAD_ERR_BADARG);
    const double g = kTwoPi * strength_hz_per_cm;
    for (int i = 0; i < ap; ++i) gs[i] = g;
    return fieldgrad_store(FIELDGRAD_OK);
}

fieldgrad_status gradproc2_compute(int ap, double h, double* gs, double A, double n) {
    return fieldgrad_store(fieldgrad_spiral(ap, h, gs, A, n, false));
}

fieldgrad_status gradproc3_compute(int ap, double h, double* gs, double A, double n) {
    return fieldgrad_store(fieldgrad_spiral(ap, h, gs, A, n, true));
}

void gradproc1(const int* ap, const double* h, double* gs) {
    if (!ap || !h || !gs) {
        fieldgrad_store(FIELDGRAD_ERR_NULLPTR);
        return;
    }
    double g = 0.0;
    if (!read_double_prompt(" Constant gradient strength [Hz/cm] : ", &g)) {
        fieldgrad_store(FIELDGRAD_ERR_IO);
        return;
    }
    gradproc1_compute(*ap, *h, gs, g);
}

void gradproc2(const int* ap, const double* h, double* gs) {
    fieldgrad_spiral_dialog(ap, h, gs, "g(t) = -(A/T)*(2*pi*n*(1-(t/T))*((sin(2*pi*n*t/T)+f(t))",
                            "f(t) = cos(2*pi*n*t/T)", "A    : ", "n    : ", gradproc2_compute);
}

void gradproc3(const int* ap, const double* h, double* gs) {
    fieldgrad_spiral_dialog(ap, h, gs, "g(t) = (A/T)*(2*pi*n*(1-(t/T))*((cos(2*pi*n*t/T)+f(t))",
                            "f(t) = -sin(2*pi*n*t/T)", "A : ", "n : ", gradproc3_compute);
}

void CalcGrad(const int* ap, const double* h, double* gs) {
    std::puts("Possible gradient modulation types:");
    std::puts("   1.  Constant gradient ");
    std::puts("   2.  cosine spiral (2D excitation)");
    std::puts("   3.  sine spiral   (2D excitation)");
    int choice = 0;
    if (!read_int_prompt("Your choice [1..3] : ", &choice)) {
        fieldgrad_store(FIELDGRAD_ERR_IO);
        return;
    }
    switch (choice) {
        case 1:
            gradproc1(ap, h, gs);
            break;
        case 2:
            gradproc2(ap, h, gs);
            break;
        case 3:
            gradproc3(ap, h, gs);
            break;
        default:
            fieldgrad_store(FIELDGRAD_ERR_BADARG);
            break;
    }
}
