// Fit-control files: the helpers every part shares (last-error record, console output,
// counts, line-type words, unit factors) and the parameter storage.
//
// File units: frequencies and widths in Hz. Internal units: points.
// Gaussian widths (width1 of Gaussian and Voigt lines) are kept as G with a
// full width at half height of 1.67*G points.
#include "fitcontrol_new_common.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "fitcontrol_new.h"

namespace qorvane_fc {

namespace {

const char kSource[] = "src/fitcontrol_new";
const double kGaussHzToInternal = 0.5988023952095809;  // 1 / 1.67
const double kGaussInternalToHz = 1.67;

thread_local QorvaneFcntlError t_last_error;

}  // namespace

// ---- last-error record ------------------------------------------------------

const char *fc_error_text(int code) {
    switch (code) {
        case QORVANE_FCNTL_INVALID_ARGUMENT:
            return "invalid argument";
        case QORVANE_FCNTL_CLOSE_FAILURE:
            return "stream close error";
        case QORVANE_FCNTL_WRITE_ERROR:
            return "I/O write error";
        case QORVANE_FCNTL_FORMAT_MISMATCH:
            return "format mismatch";
        default:
            return "I/O read error";
    }
}

// Records the first I/O fault of this thread and prints it.
void fc_record(int line, const char *op, int code, int err) {
    if (t_last_error.code != 0) return;
    t_last_error.code = code;
    if (err != 0) {
        char ebuf[128];
        const char *etext = strerror_r(err, ebuf, sizeof ebuf);
        std::snprintf(t_last_error.message, sizeof t_last_error.message, "%s:%d: %s failed: %s (errno=%d: %s)", kSource,
                      line, op, fc_error_text(code), err, etext);
    } else {
        std::snprintf(t_last_error.message, sizeof t_last_error.message, "%s:%d: %s failed: %s", kSource, line, op,
                      fc_error_text(code));
    }
    std::fprintf(stderr, "==> %s\n", t_last_error.message);
}

// A failed fscanf: end of file / stream error is a read error, anything else a format mismatch.
void fc_record_scan(int line, FILE *fp) {
    if (std::ferror(fp))
        fc_record(line, "fscanf", QORVANE_FCNTL_READ_ERROR, errno);
    else if (std::feof(fp))
        fc_record(line, "fscanf", QORVANE_FCNTL_READ_ERROR, 0);
    else
        fc_record(line, "fscanf", QORVANE_FCNTL_FORMAT_MISMATCH, 0);
}

// ---- console helpers --------------------------------------------------------

// Prints a fixed text and ends the line unless the text ends one itself.
void fc_say(const char *text) {
    std::fputs(text, stdout);
    size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\n') std::fputc('\n', stdout);
}

void fc_sayf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void fc_sayf(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
}

void fc_format_now(char *buf, size_t n) {
    std::time_t t = std::time(nullptr);
    std::tm tmv;
    if (!localtime_r(&t, &tmv) || std::strftime(buf, n, "%H:%M:%S %Z %A %B %d 20%y", &tmv) == 0)
        std::snprintf(buf, n, "unknown");
}

int fc_total(const QorvaneFitContext *ctx) { return ctx->nLines + ctx->pattrn; }

// Lines (analytic and pattern) that the writers convert and write: those before the
// line-shape coefficients, at most QORVANE_MAX_LINES.
int fc_written_lines(const QorvaneFitContext *ctx) {
    return ctx->lsf_start / 5 < QORVANE_MAX_LINES ? ctx->lsf_start / 5 : QORVANE_MAX_LINES;
}

const char *fc_type_word(int type) {
    switch (type) {
        case QORVANE_LINE_GAUSS:
            return "  Gauss line ";
        case QORVANE_LINE_LORENTZ:
            return "Lorentz line ";
        case QORVANE_LINE_VOIGT:
            return "  Voigt line ";
        case QORVANE_LINE_PATTERN:
            return "  Pattern    ";
        default:
            return "  Unknown    ";
    }
}

// Factor from file units (Hz) to internal units for parameter offset j on a
// record of the given type; 1 where no conversion applies.
double fc_to_internal_factor(int j, int type, double hz) {
    switch (j) {
        case QORVANE_PAR_FREQ:
            return 1.0 / hz;
        case QORVANE_PAR_WIDTH1:
            if (type == QORVANE_LINE_LORENTZ) return 1.0 / hz;
            if (type == QORVANE_LINE_GAUSS || type == QORVANE_LINE_VOIGT) return kGaussHzToInternal / hz;
            return 1.0;
        case QORVANE_PAR_WIDTH2:
            return type == QORVANE_LINE_VOIGT ? 1.0 / hz : 1.0;
        default:
            return 1.0;
    }
}

double fc_to_file_factor(int j, int type, double hz) {
    switch (j) {
        case QORVANE_PAR_FREQ:
            return hz;
        case QORVANE_PAR_WIDTH1:
            if (type == QORVANE_LINE_LORENTZ) return hz;
            if (type == QORVANE_LINE_GAUSS || type == QORVANE_LINE_VOIGT) return kGaussInternalToHz * hz;
            return 1.0;
        case QORVANE_PAR_WIDTH2:
            return type == QORVANE_LINE_VOIGT ? hz : 1.0;
        default:
            return 1.0;
    }
}

}  // namespace qorvane_fc

using namespace qorvane_fc;

const QorvaneFcntlError *qorvane_fcntl_last_error() { return &t_last_error; }

void qorvane_fcntl_clear_last_error() { std::memset(&t_last_error, 0, sizeof t_last_error); }

void allocate_parameter_arrays(QorvaneFitContext *ctx) {
    std::memset(ctx->par_vec, 0, sizeof ctx->par_vec);
    std::memset(ctx->wpar, 0, sizeof ctx->wpar);
    std::memset(ctx->par_bu, 0, sizeof ctx->par_bu);
    std::memset(ctx->par_copy, 0, sizeof ctx->par_copy);
    std::memset(ctx->errpar, 0, sizeof ctx->errpar);
    std::memset(ctx->pcom, 0, sizeof ctx->pcom);
    std::memset(ctx->xicom, 0, sizeof ctx->xicom);
    std::memset(ctx->fixpar, 0, sizeof ctx->fixpar);
    std::memset(ctx->lsffit, 0, sizeof ctx->lsffit);
    static const char *const names[5] = {"area", "frequency", "width1", "phase", "width2"};
    for (int i = 1; i <= QORVANE_MAX_PARAMS; ++i) {
        if (i <= 5 * fc_total(ctx))
            std::snprintf(ctx->par_name[i], sizeof ctx->par_name[i], "%s", names[(i - 1) % 5]);
        else
            std::snprintf(ctx->par_name[i], sizeof ctx->par_name[i], "lsf");
    }
}
