// RF pulse shapes, their definition dialogues and the optimiser start pulse.
#include "rfpulselib.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "consuleutil.h"
#include "rfpulseparam.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

// Scratch components of the summed 2D sinc shapes.
double rfl_scratch_x[VYN_MAX_RF_POINTS];
double rfl_scratch_y[VYN_MAX_RF_POINTS];
// Parameter vector of the start pulse.
double rfl_par[VYN_MAX_NPAR];

// Sample count of a shape dialogue, or -1 when it cannot be used.
int rfl_count(const int* ap, const double* ti, const double* xb, const double* yb) {
    if (!ap || !ti || !xb || !yb) return -1;
    if (*ap < 0 || *ap > VYN_MAX_RF_POINTS) return -1;
    return *ap;
}

// True when T = ap*ti is a usable positive duration.
bool rfl_duration_ok(int ap, double ti) {
    const double T = ap * ti;
    return ap >= 1 && T > 0.0 && std::isfinite(T);
}

bool rfl_ask(const char* prompt, double* v) { return scan_double_prompt(prompt, v); }

// Asks the prompts in order; false at end of input (nothing stored then).
bool rfl_ask_all(const char* const* prompts, double* values, int count) {
    for (int i = 0; i < count; ++i)
        if (!rfl_ask(prompts[i], &values[i])) return false;
    return true;
}

double rfl_sinc(double z) { return std::sin(z) / z; }

// k-space radius components; an exact zero becomes 1e-5 so sinc stays finite.
double rfl_nonzero(double v) { return v == 0.0 ? 1e-5 : v; }

// One sech-tanh sample at time t.
void rfl_sech_sample(double t, double phase, double w_hz, double b, double u, double* x, double* y) {
    const double S = 2.0 / (std::exp(b * t) + std::exp(-b * t));
    if (!(S > 0.0)) {  // far tail: the envelope is 0, ln S would be -inf
        *x = 0.0;
        *y = 0.0;
        return;
    }
    const double psi = kTwoPi * u * std::log(S) + phase;
    *x = kTwoPi * w_hz * S * std::cos(psi);
    *y = kTwoPi * w_hz * S * std::sin(psi);
}

// The off-centre 2D sinc dialogue: banner, eight prompts, samples.
bool rfl_offcentre_dialog(int ap, double ti, double* xb, double* yb) {
    std::puts("A 2D sinc pulse which excites a rectangular area");
    std::puts("with a shifted centre from (0,0) to (x0,y0)\n");
    std::puts("b1(t) = (a.A/T)*sinc(kx(t).dx/2)*sinc(ky(t).dy/2)");
    std::puts("        * exp(i kx(t).x0) * exp(i ky(t).y0) * f(t)");
    std::puts("f(t)  = sqrt((2*pi*n*(1-(t/T)))^2 + 1)");
    std::puts("kx(t) = B*(1-(t/T))*cos(2*pi*n*t/T)");
    std::puts("ky(t) = B*(1-(t/T))*sin(2*pi*n*t/T)\n");
    static const char* const prompts[8] = {
        "a     : ", "A     : ", "B     : ", "n     : ", "dx    : ", "dy    : ", "x0    : ", "y0    : "};
    double v[8];
    if (!rfl_ask_all(prompts, v, 8)) return false;
    compute_2d_sinc_offcentre(ap, ti, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], xb, yb);
    return true;
}

void rfl_zero(int ap, double* xb, double* yb) {
    for (int k = 0; k < ap; ++k) xb[k] = yb[k] = 0.0;
}

void rfl_add_scratch(int ap, double* xb, double* yb) {
    for (int k = 0; k < ap; ++k) {
        xb[k] += rfl_scratch_x[k];
        yb[k] += rfl_scratch_y[k];
    }
}

void rfl_sum_banner(bool from_file) {
    std::puts("*************************************************************");
    std::puts("** A sum of 2D sinc pulses which excite rectangular areas   **");
    std::puts("** with shifted centres from (0,0) to (x0,y0)               **");
    if (from_file) std::puts("** using pulse parameters read from a text file             **");
    std::puts("*************************************************************\n");
}

// The sech-tanh dialogues share four answers.
void rfl_sech_dialog(int kind, const int* ap, const double* ti, double* xb, double* yb, const char* const* banner,
                     int banner_lines, const char* const* prompts) {
    const int n = rfl_count(ap, ti, xb, yb);
    if (n < 0) return;
    for (int i = 0; i < banner_lines; ++i) std::puts(banner[i]);
    double v[4];
    if (!rfl_ask_all(prompts, v, 4)) return;
    rfpulse_sech_tanh(kind, n, *ti, v[0], v[1], v[2], v[3], xb, yb);
}

const char* const kSechPrompts[4] = {" pulse-phase (in degrees) : ", " w  [Hz]                  : ",
                                     " b (damping constant)     : ", " u (selectivity constant) : "};

double rfl_flip_along(int ap, double h, const double* xb, const double* yb, double phi) {
    double F = 0.0;
    for (int k = 0; k < ap; ++k) F += (xb[k] * std::cos(phi) + yb[k] * std::sin(phi)) * h;
    return F;
}

}  // namespace

bool scan_int_prompt(const char* prompt, int* out) { return read_int_prompt(prompt, out); }

bool scan_double_prompt(const char* prompt, double* out) { return read_double_prompt(prompt, out); }

int clamp_ap(int ap) {
    if (ap < 0) return 0;
    if (ap > VYN_MAX_RF_POINTS) {
        std::fprintf(stderr, "WARNING: ap=%d exceeds VYN_MAX_RF_POINTS=%d; clamping.\n", ap, VYN_MAX_RF_POINTS);
        return VYN_MAX_RF_POINTS;
    }
    return ap;
}

// --- hard pulses -------------------------------------------------------------

void hardpulseproc(int* ap, double phase, double factor, double* xb, double* yb) {
    if (!ap || !xb || !yb) return;
    *ap = 1;
    xb[0] = factor * 50000.0 * kPi * std::cos(phase);
    yb[0] = factor * 50000.0 * kPi * std::sin(phase);
}

void AMHardPulseDefinition(int* ap, double* ti, double* xb, double* yb) {
    if (!ap || !ti || !xb || !yb) return;
    *ti = 1e-5;
    std::printf("\nStandard Hard Pulses:\n\n");
    std::puts("   1. (pi/2) (x')            5. (pi) (x')");
    std::puts("   2. (pi/2) (y')            6. (pi) (y')");
    std::puts("   3. (pi/2) (-x')           7. (pi) (-x')");
    std::puts("   4. (pi/2) (-y')           8. (pi) (-y')\n");
    int choice = 0;
    if (!scan_int_prompt("Your choice is [1..8] : ", &choice)) return;
    if (choice < 1 || choice > 8) return;
    static const double phases[4] = {0.0, kPi / 2.0, kPi, -kPi / 2.0};
    const double factor = choice <= 4 ? 1.0 : 2.0;
    hardpulseproc(ap, phases[(choice - 1) % 4], factor, xb, yb);
}

// --- amplitude-modulated shapes ------------------------------------------------

void rfpulse_rectangular(int ap, double phase_deg, double ampl_hz, double* xb, double* yb) {
    if (!xb || !yb || ap < 0 || ap > VYN_MAX_RF_POINTS) return;
    const double phi = phase_deg * kPi / 180.0;
    for (int k = 0; k < ap; ++k) {
        xb[k] = kTwoPi * ampl_hz * std::cos(phi);
        yb[k] = kTwoPi * ampl_hz * std::sin(phi);
    }
}

void rfpulse_sinc_gauss(int ap, double ti, double phase_deg, double q, double f, double b, double* xb, double* yb) {
    if (!xb || !yb || ap < 0 || ap > VYN_MAX_RF_POINTS) return;
    const double phi = phase_deg * kPi / 180.0;
    for (int k = 0; k < ap; ++k) {
        double t = ti * (k - ap / 2.0);
        if (t == 0.0) t = 1e-9;
        const double s = q * std::sin(kTwoPi * f * t) * std::exp(-(b * b * t * t)) / (kPi * t);
        xb[k] = s * std::cos(phi);
        yb[k] = s * std::sin(phi);
    }
}

void rfpulse_gauss_2d(int ap, double ti, double a, double A, double B, double n, double* xb, double* yb) {
    if (!xb || !yb || ap < 0 || ap > VYN_MAX_RF_POINTS || !rfl_duration_ok(ap, ti)) return;
    const double T = ti * ap;
    for (int k = 0; k < ap; ++k) {
        const double t = ti * k;
        const double u = (1.0 - t / T) * (1.0 - t / T);
        xb[k] = a * A * std::exp(-B * B * u) * std::sqrt(4.0 * kPi * kPi * n * n * u + 1.0) / T;
        yb[k] = 0.0;
    }
}

void rfpulse_sinc_2d(int ap, double ti, double a, double A, double B, double n, double dx, double dy, double* xb,
                     double* yb) {
    if (!xb || !yb || ap < 0 || ap > VYN_MAX_RF_POINTS || !rfl_duration_ok(ap, ti)) return;
    const double T = ti * ap;
    for (int k = 0; k < ap; ++k) {
        const double t = ti * k;
        const double r = 1.0 - t / T;
        const double theta = kTwoPi * n * t / T;
        const double kx = rfl_nonzero(B * r * std::cos(theta));
        const double ky = rfl_nonzero(B * r * std::sin(theta));
        xb[k] = a * A * rfl_sinc(kx * dx / 2.0) * rfl_sinc(ky * dy / 2.0) *
                std::sqrt(4.0 * kPi * kPi * n * n * r * r + 1.0) / T;
        yb[k] = 0.0;
    }
}

void ampulseproc1(const int* ap, const double* ti, double* xb, double* yb) {
    const int n = rfl_count(ap, ti, xb, yb);
    if (n < 0) return;
    std::puts(" Rectangular pulse or hard pulse");
    static const char* const prompts[2] = {" pulse-phase (in degrees) : ", " pulse amplitude [Hz]     : "};
    double v[2];
    if (!rfl_ask_all(prompts, v, 2)) return;
    rfpulse_rectangular(n, v[0], v[1], xb, yb);
}

void ampulseproc2(const int* ap, const double* ti, double* xb, double* yb) {
    const int n = rfl_count(ap, ti, xb, yb);
    if (n < 0) return;
    std::puts(" sinc Gauss - AM-pulse shape :\n");
    std::puts(" q*sin(2*pi*f*t)*exp(-(b*b*t*t))/ (pi*t)");
    static const char* const prompts[4] = {" pulse-phase (in degrees) : ", " q  (teta = q*180/pi)     : ",
                                           " f (pulse bandwidth)      : ", " b (damping constant)     : "};
    double v[4];
    if (!rfl_ask_all(prompts, v, 4)) return;
    rfpulse_sinc_gauss(n, *ti, v[0], v[1], v[2], v[3], xb, yb);
}

void ampulseproc3(const int* ap, const double* ti, double* xb, double* yb) {
    const int n = rfl_count(ap, ti, xb, yb);
    if (n < 0) return;
    std::puts("bx(t) = (a.A/T)*exp(-(B*(1-t/T))^2)*sqrt(f(t))");
    std::puts("With : f(t) = ((2*pi*n(1-(t/T))^2)+1\n");
    static const char* const prompts[4] = {"a   : ", "A   : ", "B   : ", "n   : "};
    double v[4];
    if (!rfl_ask_all(prompts, v, 4)) return;
    rfpulse_gauss_2d(n, *ti, v[0], v[1], v[2], v[3], xb, yb);
}

void ampulseproc4(const int* ap, const double* ti, double* xb, double* yb) {
    const int n = rfl_count(ap, ti, xb, yb);
    if (n < 0) return;
    std::puts("bx(t) = (a.A/T)*sinc(kx(t).dx/2)*sinc(ky(t).dy/2).f(t)");
    std::puts("f(t)  = sqrt((2*pi*n*(1-(t/T)))^2 + 1)");
    std::puts("kx(t) = B*(1-(t/T))*cos(2*pi*n*t/T)");
    std::puts("ky(t) = B*(1-(t/T))*sin(2*pi*n*t/T)");
    static const char* const prompts[6] = {"a     : ", "A     : ", "B     : ", "n     : ", "dx    : ", "dy    : "};
    double v[6];
    if (!rfl_ask_all(prompts, v, 6)) return;
    rfpulse_sinc_2d(n, *ti, v[0], v[1], v[2], v[3], v[4], v[5], xb, yb);
}

void AMPulseDefinition(const int* ap, const double* ti, double* xb, double* yb) {
    if (rfl_count(ap, ti, xb, yb) < 0) return;
    std::puts("What Amplitude Modulated Pulse-shape is to be used\n");
    std::puts("   1. rectangular or hard-pulse");
    std::puts("   2. sinc-Gauss pulse");
    std::puts("   3. 2D - GauB pulse");
    std::puts("   4. 2D - sinc-Pulse (centre (x,y) = (0,0)\n");
    int choice = 0;
    if (!scan_int_prompt("Your Choice is [1..4] : ", &choice)) return;
    switch (choice) {
        case 1:
            ampulseproc1(ap, ti, xb, yb);
            break;
        case 2:
            ampulseproc2(ap, ti, xb, yb);
            break;
        case 3:
            ampulseproc3(ap, ti, xb, yb);
            break;
        case 4:
            ampulseproc4(ap, ti, xb, yb);
            break;
        default:
            break;
    }
}

// --- frequency-modulated shapes ------------------------------------------------

void rfpulse_sech_tanh(int kind, int ap, double ti, double phase_deg, double w_hz, double b, double u, double* xb,
                       double* yb) {
    if (!xb || !yb || ap < 0 || ap > VYN_MAX_RF_POINTS) return;
    const double phi = phase_deg * kPi / 180.0;
    if (kind == 3) {
        const int p = ap / 2;
        for (int k = 0; k < p; ++k) rfl_sech_sample(ti * (k - p / 2.0) / 2.0, phi, w_hz, b, u, &xb[k], &yb[k]);
        for (int k = 0; k < p; ++k) {
            xb[p + k] = xb[k];
            yb[p + k] = yb[k];
        }
        return;
    }
    for (int k = 0; k < ap; ++k) {
        const double t = kind == 2 ? ti * (k - ap) : ti * (k - ap / 2.0);
        rfl_sech_sample(t, phi, w_hz, b, u, &xb[k], &yb[k]);
    }
}

void compute_2d_sinc_offcentre(int ap, double h, double a, double A, double B, double n, double dx, double dy,
                               double x0, double y0, double* xb, double* yb) {
    if (!xb || !yb || ap < 0 || ap > VYN_MAX_RF_POINTS || !rfl_duration_ok(ap, h)) return;
    const double T = ap * h;
    for (int k = 0; k < ap; ++k) {
        const double t = k * h;
        const double r = 1.0 - t / T;
        const double theta = kTwoPi * n * t / T;
        const double kx = rfl_nonzero(r * B * std::cos(theta));
        const double ky = rfl_nonzero(r * B * std::sin(theta));
        const double M = a * A * rfl_sinc(kx * dx / 2.0) * rfl_sinc(ky * dy / 2.0) *
                         std::sqrt(4.0 * kPi * kPi * n * n * r * r + 1.0) / T;
        const double cx = std::cos(kx * x0), sx = std::sin(kx * x0);
        const double cy = std::cos(ky * y0), sy = std::sin(ky * y0);
        xb[k] = M * (cx * cy - sx * sy);
        yb[k] = M * (sx * cy + cx * sy);
    }
}

void fmpulseproc1(const int* ap, const double* ti, double* xb, double* yb) {
    static const char* const banner[3] = {" 180 degree FM sech-tanh pulse (-T,T) :\n",
                                          " x  : w*sech(b*t)*cos(2*pi*u*ln(sech(bt)))",
                                          " y  : w*sech(b*t)*sin(2*pi*u*ln(sech(bt)))"};
    rfl_sech_dialog(1, ap, ti, xb, yb, banner, 3, kSechPrompts);
}

void fmpulseproc2(const int* ap, const double* ti, double* xb, double* yb) {
    static const char* const banner[3] = {" 90 degree FM sech-tanh pulse (-T,0) :\n",
                                          " x : w*sech(b*t)*cos(2*pi*u*ln(sech(bt)))",
                                          " y : w*sech(b*t)*sin(2*pi*u*ln(sech(bt)))"};
    rfl_sech_dialog(2, ap, ti, xb, yb, banner, 3, kSechPrompts);
}

void fmpulseproc3(const int* ap, const double* ti, double* xb, double* yb) {
    static const char* const banner[3] = {" 360 degree FM sech-tanh pulse 2*(-T,T) :\n",
                                          " x  : w*sech(b*t)*cos(2*pi*u*ln(sech(bt)))",
                                          " y  : w*sech(b*t)*sin(2*pi*u*ln(sech(bt)))\n"};
    static const char* const prompts[4] = {" pulse-phase (in degrees)  : ", " w                    [Hz] : ",
                                           " b (damping constant)      : ", " u (selectivity constant)  : "};
    rfl_sech_dialog(3, ap, ti, xb, yb, banner, 3, prompts);
}

void fmpulseproc4(const int* ap, const double* ti, double* xb, double* yb) {
    const int n = rfl_count(ap, ti, xb, yb);
    if (n < 0) return;
    rfl_offcentre_dialog(n, *ti, xb, yb);
}

void fmpulseproc5(const int* ap, const double* ti, double* xb, double* yb) {
    const int n = rfl_count(ap, ti, xb, yb);
    if (n < 0) return;
    rfl_sum_banner(false);
    rfl_zero(n, xb, yb);
    for (;;) {
        std::puts("    1. Add new 2D pulse");
        std::puts("    2. Exit");
        int choice = 0;
        if (!scan_int_prompt("Your choice [1,2] : ", &choice) || choice != 1) return;
        // A component starts from zero so that a refused shape adds nothing.
        rfl_zero(n, rfl_scratch_x, rfl_scratch_y);
        if (!rfl_offcentre_dialog(n, *ti, rfl_scratch_x, rfl_scratch_y)) return;
        rfl_add_scratch(n, xb, yb);
    }
}

int rfpulse_add_parameter_file(const char* path, int ap, double h, double* xb, double* yb) {
    if (!path || !xb || !yb || ap < 0 || ap > VYN_MAX_RF_POINTS) return -1;
    errno = 0;
    FILE* f = std::fopen(path, "r");
    if (!f) {
        std::fprintf(stderr, "fopen(parameter file): %s\n", std::strerror(errno ? errno : ENOENT));
        return -1;
    }
    int added = 0;
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
        double v[8];
        if (std::sscanf(line, "%lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6],
                        &v[7]) != 8)
            break;
        bool finite = true;
        for (double x : v) finite = finite && std::isfinite(x);
        if (!finite) {
            std::fprintf(stderr, "Pulse parameter file: line %d holds a non-finite number; reading stopped.\n",
                         added + 1);
            break;
        }
        if (v[0] == 0.0) break;  // terminator line
        rfl_zero(ap, rfl_scratch_x, rfl_scratch_y);
        compute_2d_sinc_offcentre(ap, h, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], rfl_scratch_x, rfl_scratch_y);
        rfl_add_scratch(ap, xb, yb);
        ++added;
        // A line longer than the buffer: drop its rest so it is not read as a component.
        if (!std::strchr(line, '\n')) {
            int c;
            while ((c = std::fgetc(f)) != EOF && c != '\n') {
            }
        }
    }
    std::fclose(f);
    return added;
}

void fmpulseproc6(const int* ap, const double* ti, double* xb, double* yb) {
    const int n = rfl_count(ap, ti, xb, yb);
    if (n < 0) return;
    rfl_sum_banner(true);
    rfl_zero(n, xb, yb);
    std::printf("Pulse parameter file name: ");
    std::fflush(stdout);
    char line[256];
    if (!read_legacy_line(line, sizeof line)) return;
    char word[256];
    if (std::sscanf(line, "%255s", word) != 1) word[0] = '\0';
    rfpulse_add_parameter_file(word, n, *ti, xb, yb);
}

void FMPulseDefinition(const int* ap, const double* ti, double* xb, double* yb) {
    if (rfl_count(ap, ti, xb, yb) < 0) return;
    std::puts("What Frequency Modulated Pulse-shape is to be used\n");
    std::puts("      1. 180 sech-tanh (-T,T)");
    std::puts("      2. 90  sech-tanh (-T,0)");
    std::puts("      3. 360 sech-tanh 2*(-T,T)");
    std::puts("      4. 2D - sinc-Pulses off centre");
    std::puts("      5. Sum of off centre 2D-sinc-Pulses");
    std::puts("      6. Sum of off centre 2D-sinc-Pulses using file parameters\n");
    int choice = 0;
    if (!scan_int_prompt("Your choice is [1..6] : ", &choice)) return;
    switch (choice) {
        case 1:
            fmpulseproc1(ap, ti, xb, yb);
            break;
        case 2:
            fmpulseproc2(ap, ti, xb, yb);
            break;
        case 3:
            fmpulseproc3(ap, ti, xb, yb);
            break;
        case 4:
            fmpulseproc4(ap, ti, xb, yb);
            break;
        case 5:
            fmpulseproc5(ap, ti, xb, yb);
            break;
        case 6:
            fmpulseproc6(ap, ti, xb, yb);
            break;
        default:
            break;
    }
}

// --- optimiser start pulse -----------------------------------------------------

int generate_optimization_start_pulse_core(int ap, double h, double* xb, double* yb, int npar, double rf_ampl_hz,
                                           double flip_deg, double phase_deg) {
    if (!xb || !yb) {
        std::fprintf(stderr, "GenerateOptimizationStartPulse: null pulse arrays\n");
        return 0;
    }
    // The synthesis works on power-of-two grids only; any other count would
    // leave the old samples in place and scale those.
    const bool grid_ok = ap > 1 && ap <= VYN_MAX_RF_POINTS && (ap & (ap - 1)) == 0;
    if (!grid_ok || !(h > 0.0) || !std::isfinite(h) || npar <= 0 || npar > VYN_MAX_NPAR) {
        std::fprintf(stderr, "GenerateOptimizationStartPulse: invalid ap/h/npar\n");
        return 0;
    }
    if (!(rf_ampl_hz > 0.0) || !(flip_deg > 0.0) || !std::isfinite(rf_ampl_hz) || !std::isfinite(flip_deg) ||
        !std::isfinite(phase_deg)) {
        std::fprintf(stderr, "GenerateOptimizationStartPulse: invalid RF amplitude or flip angle\n");
        return 0;
    }
    const int nfreq = npar / 4;
    int hap = ap / 2;
    if (hap < 1) hap = 1;
    const int nmodes = nfreq < hap - 1 ? nfreq : hap - 1;
    if (nmodes < 1) {
        std::fprintf(stderr, "GenerateOptimizationStartPulse: no usable Fourier modes\n");
        return 0;
    }
    const double phi0 = phase_deg * kPi / 180.0;
    for (int i = 0; i < npar; ++i) rfl_par[i] = 0.0;
    const int ybase = npar / 2;
    for (int j = 0; j < nmodes; ++j) {
        const double w = nmodes == 1 ? 1.0 : 0.5 * (1.0 + std::cos(kPi * j / (nmodes - 1)));
        rfl_par[2 * j] = w * std::cos(phi0);
        rfl_par[ybase + 2 * j] = w * std::sin(phi0);
    }
    ParArrayToRFPulseLowMode(npar, ap, rfl_par, xb, yb);

    const double F = rfl_flip_along(ap, h, xb, yb, phi0);
    if (std::fabs(F) < 1e-15) {
        std::fprintf(stderr, "GenerateOptimizationStartPulse: initial flip angle is zero\n");
        return 0;
    }
    const double scale = (flip_deg * kPi / 180.0) / F;
    double peak = 0.0;
    for (int k = 0; k < ap; ++k) {
        xb[k] *= scale;
        yb[k] *= scale;
        const double m = std::sqrt(xb[k] * xb[k] + yb[k] * yb[k]);
        if (m > peak) peak = m;
    }
    const double limit = kTwoPi * rf_ampl_hz;
    bool rescaled = false;
    if (peak > limit) {
        const double s = limit / peak;
        for (int k = 0; k < ap; ++k) {
            xb[k] *= s;
            yb[k] *= s;
        }
        peak = limit;
        rescaled = true;
    }
    const double actual = rfl_flip_along(ap, h, xb, yb, phi0) * 180.0 / kPi;
    std::puts("\nOptimization start pulse generated (direct Fourier-domain):");
    std::printf("  ap                   = %d\n", ap);
    std::printf("  h                    = %.6g s\n", h);
    std::printf("  retained modes/ch    = %d\n", nmodes);
    std::printf("  initial phase        = %.6g deg\n", phase_deg);
    std::printf("  target flip angle    = %.6g deg\n", flip_deg);
    std::printf("  actual flip angle    = %.6g deg\n", actual);
    std::printf("  max amplitude limit  = %.6g Hz\n", rf_ampl_hz);
    std::printf("  peak |B1| (internal) = %.6g rad/s\n", peak);
    std::printf("  peak |B1|            = %.6g Hz\n", peak / kTwoPi);
    if (rescaled) std::puts("  NOTE: start pulse was rescaled to satisfy the RF amplitude limit.");
    return 1;
}

int GenerateOptimizationStartPulseFixedGridInteractive(int ap, double h, double* xb, double* yb, int npar) {
    if (ap <= 1 || !(h > 0.0)) {
        std::fprintf(stderr, "GenerateOptimizationStartPulseFixedGridInteractive: invalid ap/h\n");
        return 0;
    }
    if (npar < 1) {
        std::fprintf(stderr, "GenerateOptimizationStartPulseFixedGridInteractive: npar not initialized\n");
        return 0;
    }
    std::puts("Selected sector grid is fixed:");
    std::printf("  ap = %d\n", ap);
    std::printf("  h  = %.12g s  (%.6g ms)\n", h, h * 1e3);
    double ampl = 0.0, flip = 0.0, phase = 0.0;
    if (!scan_double_prompt("Maximum RF amplitude [Hz] : ", &ampl) ||
        !scan_double_prompt("Target flip angle [deg]   : ", &flip) ||
        !scan_double_prompt("Initial phase [deg]       : ", &phase))
        return 0;
    return generate_optimization_start_pulse_core(ap, h, xb, yb, npar, ampl, flip, phase);
}
