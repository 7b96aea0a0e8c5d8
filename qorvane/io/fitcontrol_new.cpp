// Fit-control and starting-value file: readers, checks, unit conversion, writers.
//
// File units: frequencies and widths in Hz. Internal units: points.
// Gaussian widths (width1 of Gaussian and Voigt lines) are kept as G with a
// full width at half height of 1.67*G points.
#include "fitcontrol_new.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "lineshape.h"
#include "qfile.h"
#include "qmemfile.h"
#include "qparse.h"

namespace {

const char kSource[] = "src/fitcontrol_new";
const double kGaussHzToInternal = 0.5988023952095809;  // 1 / 1.67
const double kGaussInternalToHz = 1.67;

thread_local QorvaneFcntlError t_last_error;
// Path of the file being read on this thread, for the messages that name a bad value.
thread_local const char *t_reading = "";

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

// ---- token readers -----------------------------------------------------------

// A token that is not a valid value: named with the file, its line and the field.
// The caller records the format mismatch and refuses the file.
void fc_bad_value(FILE *fp, const char *token, const char *what) {
    std::fprintf(stderr, "fit-control file error : %s line %d : '%s' is not a valid value for %s\n", t_reading,
                 qorvane_stream_line(fp), token, what);
}

// Numbers are whole tokens: a decimal integer within lo .. hi, or a finite decimal real
// (read in single precision and widened). False at end of file or for a bad token.
bool fc_int(FILE *fp, int *v, const char *what, long lo = INT_MIN, long hi = INT_MAX) {
    char tok[256];
    if (std::fscanf(fp, "%255s", tok) != 1) return false;
    if (qorvane_parse_int(tok, lo, hi, v)) return true;
    fc_bad_value(fp, tok, what);
    return false;
}

bool fc_real(FILE *fp, double *v, const char *what) {
    char tok[256];
    if (std::fscanf(fp, "%255s", tok) != 1) return false;
    if (qorvane_parse_float(tok, v)) return true;
    fc_bad_value(fp, tok, what);
    return false;
}

// Field names of the messages: "<field> of <unit> <n>".
struct FcName {
    char text[96];
    FcName(const char *field, const char *unit, int n) {
        std::snprintf(text, sizeof text, "%s of %s %d", field, unit, n);
    }
};

const char *const kParNames[6] = {"", "area", "frequency", "width1", "phase", "width2"};

// Next non-blank character, left in the stream (EOF at end).
int fc_peek(FILE *fp) {
    int c;
    do {
        c = std::fgetc(fp);
    } while (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v');
    if (c != EOF) std::ungetc(c, fp);
    return c;
}

void fc_skip_line(FILE *fp) {
    int c;
    while ((c = std::fgetc(fp)) != EOF && c != '\n') {
    }
}

int fc_total(const QorvaneFitContext *ctx) { return ctx->nLines + ctx->pattrn; }

// Lines (analytic and pattern) that the writers convert and write: those before the
// line-shape coefficients, at most QORVANE_MAX_LINES.
int fc_written_lines(const QorvaneFitContext *ctx) {
    return ctx->lsf_start / 5 < QORVANE_MAX_LINES ? ctx->lsf_start / 5 : QORVANE_MAX_LINES;
}

void fc_set_format_word(QorvaneFitContext *ctx, const char *word) {
    if (std::strcmp(word, "sage") == 0) {
        ctx->data_format = QORVANE_FORMAT_SAGE;
        std::snprintf(ctx->sg_idl, sizeof ctx->sg_idl, "%s", "sage");
    } else if (std::strcmp(word, "none") == 0) {
        ctx->data_format = QORVANE_FORMAT_NONE;
        std::snprintf(ctx->sg_idl, sizeof ctx->sg_idl, "%s", "none");
    } else {
        ctx->data_format = QORVANE_FORMAT_SAGE_IDL;
        std::snprintf(ctx->sg_idl, sizeof ctx->sg_idl, "%s", "sage_idl");
    }
}

// Counts that decide the storage must fit it before anything is stored.
bool fc_sizes_ok(QorvaneFitContext *ctx) {
    const int n = ctx->n_pnts;
    if (n < 2 || n > QORVANE_MAX_POINTS || (n & (n - 1)) != 0) {
        fc_say("implementation restriction : ");
        fc_sayf("number of points n_pnts = %d must be a power of 2 between 2 and %d\n", n, QORVANE_MAX_POINTS);
        return false;
    }
    if (ctx->nLines < 0 || ctx->pattrn < 0) {
        fc_sayf("fit-control file error : negative number of lines (%d) or patterns (%d)\n", ctx->nLines, ctx->pattrn);
        return false;
    }
    const long long lines = static_cast<long long>(ctx->nLines) + ctx->pattrn;
    if (lines > QORVANE_MAX_LINES) {
        fc_say("implementation restriction : ");
        fc_sayf("%lld lines and patterns declared; at most %d can be read\n", lines, QORVANE_MAX_LINES);
        return false;
    }
    const long long params = 5 * lines + (ctx->lsfcfs > 0 ? 2LL * ctx->lsfcfs : 0LL);
    if (params > QORVANE_MAX_PARAMS) {
        fc_say("implementation restriction : ");
        fc_sayf("%lld model parameters declared; at most %d can be read\n", params, QORVANE_MAX_PARAMS);
        return false;
    }
    if (!(ctx->hz_p_p > 0.0) || !std::isfinite(ctx->hz_p_p)) {
        fc_sayf("fit-control file error : Hz per point must be positive (Hz_p_p = %E)\n", ctx->hz_p_p);
        return false;
    }
    return true;
}

// Switches and counts outside their ranges: the fit would run on what the file does not mean
// (an ignore count of N or more zeroes every point).
bool fc_values_ok(const QorvaneFitContext *ctx) {
    struct Range {
        const char *key;
        int value, lo, hi;
    } ranges[] = {{"fit_mo", ctx->fit_mo, 0, 3},
                  {"verbos", ctx->verbos, 0, 3},
                  {"clcerr", ctx->clcerr, 0, 1},
                  {"ranges", ctx->par_ranges, 0, 3},
                  {"ignore", ctx->ignore, 0, ctx->n_pnts - 1}};
    for (const Range &r : ranges) {
        if (r.value < r.lo || r.value > r.hi) {
            std::fprintf(stderr, "fit-control file error : %s : %s = %d must lie between %d and %d\n", t_reading, r.key,
                         r.value, r.lo, r.hi);
            return false;
        }
    }
    return true;
}

// Reads one pattern path into slot p; refuses paths that do not fit the slot.
bool fc_read_pattern_path(FILE *fp, QorvaneFitContext *ctx, int p) {
    char buf[1024];
    if (std::fscanf(fp, "%1023s", buf) != 1) {
        fc_record_scan(__LINE__, fp);
        return false;
    }
    if (std::strlen(buf) >= QORVANE_PATTERN_PATH_SLOT) {
        fc_say("implementation restriction : ");
        fc_sayf("pattern reference %d is longer than %d characters\n", p, QORVANE_PATTERN_PATH_SLOT - 1);
        return false;
    }
    std::snprintf(ctx->pattern_path[p], QORVANE_PATTERN_PATH_SLOT, "%s", buf);
    return true;
}

// Reads "@" steps while the next non-blank character is '@'.
// Returns 0, or -1 (format error or a step that does not fit the storage).
int fc_read_steps(FILE *fp, QorvaneFitContext *ctx) {
    while (fc_peek(fp) == '@') {
        std::fgetc(fp);
        if (ctx->nsteps >= QORVANE_MAX_STEPS) {
            fc_say("implementation restriction : ");
            fc_sayf("more than %d fit strategy steps\n", QORVANE_MAX_STEPS);
            return -1;
        }
        QorvaneStrategyStep st;
        std::memset(&st, 0, sizeof st);
        int *f[13] = {&st.algor, &st.trunc, &st.ampli, &st.frequ, &st.gauss, &st.phase, &st.loren,
                      &st.lsfft, &st.wtype, &st.convo, &st.niter, &st.cmplx, &st.n_int};
        static const char *const names[13] = {"algor", "trunc", "ampli", "frequ", "gauss", "phase", "loren",
                                              "lsfft", "wtype", "convo", "niter", "cmplx", "n_int"};
        for (int i = 0; i < 13; ++i) {
            if (!fc_int(fp, f[i], FcName(names[i], "fit strategy step", ctx->nsteps + 1).text)) {
                fc_record_scan(__LINE__, fp);
                return -1;
            }
        }
        if (st.n_int < 0 || st.n_int > QORVANE_MAX_INTERVALS) {
            fc_say("implementation restriction : ");
            fc_sayf("fit strategy step %d has %d intervals; allowed are 1 to %d\n", ctx->nsteps + 1, st.n_int,
                    QORVANE_MAX_INTERVALS);
            return -1;
        }
        for (int k = 1; k <= st.n_int; ++k) {
            const FcName where("interval bounds", "fit strategy step", ctx->nsteps + 1);
            if (!fc_int(fp, &st.min[k], where.text) || !fc_int(fp, &st.max[k], where.text)) {
                fc_record_scan(__LINE__, fp);
                return -1;
            }
        }
        ctx->step[++ctx->nsteps] = st;
    }
    return 0;
}

// Starting-value line of line i: index, then five reals.
bool fc_read_start_line(FILE *fp, QorvaneFitContext *ctx, int i) {
    int index;
    if (!fc_int(fp, &index, FcName("number", "starting-value line", i).text)) return false;
    for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j)
        if (!fc_real(fp, &ctx->par_vec[qorvane_par_index(i, j)],
                     FcName(kParNames[j], "starting values of line", i).text))
            return false;
    return true;
}

// Prior-knowledge record of parameter j of line i without its type: fixed-to, value, and
// unless ranges = 2 min and max.
bool fc_read_record_tail(FILE *fp, QorvaneFitContext *ctx, QorvaneFixPar *r, int i, int j) {
    const FcName where(kParNames[j], "prior knowledge of line", i);
    if (!fc_int(fp, &r->fixed_to, where.text) || !fc_real(fp, &r->value, where.text)) return false;
    if (ctx->par_ranges != 2) return fc_real(fp, &r->min, where.text) && fc_real(fp, &r->max, where.text);
    return true;
}

void fc_print_key_order() {
    fc_say("correct order of parameters are : \n");
    fc_say("n_pnts <integer>");
    fc_say("noistr <integer>");
    fc_say("noistp <integer>");
    fc_say("nLines <integer>");
    fc_say("lsfcfs <integer>");
    fc_say("phi__1 <real>");
    fc_say("Hz_p_p <real>");
    fc_say("fit_mo <integer>");
    fc_say("verbos <integer>");
    fc_say("showli <integer>");
    fc_say("clcerr <integer>");
    fc_say("sg_idl <word>");
    fc_say("ranges <integer>");
    fc_say("ignore <integer>");
    fc_say("pattrn <integer>\n\n");
}

// Compact form after "version_3". Returns QORVANE_RC_OK (possibly with the
// file marked faulty) or QORVANE_RC_FATAL for a corrupt key block.
// A fault in the compact form marks the file faulty and ends reading; callers go by
// that flag, so the read itself still returns success.
int fc_stop_faulty(QorvaneFitContext *ctx) {
    ctx->fcntl_faulty = 1;
    return QORVANE_RC_OK;
}

int fc_read_compact(FILE *fp, QorvaneFitContext *ctx, const char *path) {
    char word[32];
    bool ok = true;
    // each value follows its own key, in this order; another word is refused, not read by position
    auto key = [&](const char *name) {
        char tok[64];
        if (!ok || std::fscanf(fp, "%63s", tok) != 1) return ok = false;
        if (std::strcmp(tok, name) != 0) {
            std::fprintf(stderr, "fit-control file error : %s line %d : key '%s' found where '%s' belongs\n", path,
                         qorvane_stream_line(fp), tok, name);
            return ok = false;
        }
        return true;
    };
    auto key_int = [&](const char *name, int *v) { ok = key(name) && fc_int(fp, v, name); };
    auto key_real = [&](const char *name, double *v) { ok = key(name) && fc_real(fp, v, name); };
    key_int("n_pnts", &ctx->n_pnts);
    key_int("noistr", &ctx->noistr);
    key_int("noistp", &ctx->noistp);
    key_int("nLines", &ctx->nLines);
    key_int("lsfcfs", &ctx->lsfcfs);
    key_real("phi__1", &ctx->phi_1);
    key_real("Hz_p_p", &ctx->hz_p_p);
    key_real("f__tol", &ctx->f_tol);
    key_int("fit_mo", &ctx->fit_mo);
    key_int("verbos", &ctx->verbos);
    key_int("showli", &ctx->showli);
    key_int("clcerr", &ctx->clcerr);
    ok = key("sg_idl") && std::fscanf(fp, "%24s", word) == 1;
    key_int("ranges", &ctx->par_ranges);
    key_int("ignore", &ctx->ignore);
    key_int("pattrn", &ctx->pattrn);
    if (!ok) {
        fc_record_scan(__LINE__, fp);
        std::fprintf(stderr, "Parse error: fit-control file appears corrupt: %s\n", path);
        return qorvane_status_fail(&ctx->status, 1, "fit-control file appears corrupt: %s", path);
    }
    fc_set_format_word(ctx, word);
    if (!fc_sizes_ok(ctx)) {
        return fc_stop_faulty(ctx);
    }
    allocate_parameter_arrays(ctx);

    // 1. pattern references
    for (int p = 1; p <= ctx->pattrn; ++p) {
        if (!fc_read_pattern_path(fp, ctx, p)) {
            return fc_stop_faulty(ctx);
        }
    }
    if (ctx->pattrn > 0 && ctx->verbos > 0) {
        fc_say("fit uses following pattern references :");
        for (int p = 1; p <= ctx->pattrn; ++p) fc_sayf("%s\n", ctx->pattern_path[p]);
    }

    // 2. strategy header
    char tok[64] = "";
    if (std::fscanf(fp, "%5s", tok) != 1 || std::strcmp(tok, "algor") != 0) {
        fc_say("fatal error reading starting value / fit strategy file ");
        fc_say("reading terminated before eof was reached ");
        fc_say("file format error in line 2 to 16 ");
        fc_print_key_order();
        return fc_stop_faulty(ctx);
    }
    for (int i = 0; i < 14; ++i)
        if (std::fscanf(fp, "%*s") == EOF) break;

    // 3. steps, then the starting-value header
    const bool steps_ok = fc_read_steps(fp, ctx) == 0;
    tok[0] = '\0';
    if (!steps_ok || std::fscanf(fp, "%6s", tok) != 1 || std::strcmp(tok, "number") != 0) {
        fc_say("fatal error reading starting value / fit strategy file ");
        fc_say("reading terminated before eof was reached ");
        fc_say("file format error in fit strategy definition ");
        fc_say("example of one legal fit strategy step is : \n");
        fc_say("@  1 1024  1  1  1  1  1  0  1  0  550  2   1  470 55O\n");
        return fc_stop_faulty(ctx);
    }
    for (int i = 0; i < 5; ++i)
        if (std::fscanf(fp, "%*s") == EOF) break;

    // 4. starting values
    for (int i = 1; i <= fc_total(ctx); ++i) {
        if (!fc_read_start_line(fp, ctx, i)) {
            fc_record_scan(__LINE__, fp);
            return fc_stop_faulty(ctx);
        }
    }

    // 5. prior knowledge, "#1" ... "#n" blocks
    for (int i = 1; i <= fc_total(ctx); ++i) {
        char expect[16];
        std::snprintf(expect, sizeof expect, "#%d", i);
        if (std::fscanf(fp, "%63s", tok) != 1) tok[0] = '\0';
        if (i > 1 && std::strcmp(tok, expect) != 0) {
            // every block carries its own number: a missing or extra value shows here
            std::fprintf(stderr, "fit-control file error : %s line %d : '%s' found where '%s' belongs\n", path,
                         qorvane_stream_line(fp), tok, expect);
            return fc_stop_faulty(ctx);
        }
        if (i == 1 && std::strcmp(tok, expect) != 0) {
            fc_say("error in reading analytic lineshape parameters ");
            fc_sayf("expected string to read : %s\n", expect);
            fc_sayf("string found in file    : %s\n\n", tok);
            fc_say("example of legal definition analytic lineshape parameters : ");
            fc_say("number     area          frequency      gausswidth         phase        lorentzwidth ");
            fc_say("  1   1.81648529E+09  9.76587128E+02  7.99022544E-01  -5.15528738E+00 6.14323470E-01 ");
            return fc_stop_faulty(ctx);
        }
        char lsfword[16];
        if (std::fscanf(fp, "%15s", lsfword) != 1 || std::strcmp(lsfword, "lsffit") != 0) {
            std::fprintf(stderr, "fit-control file error : %s line %d : '%s' found where 'lsffit' belongs\n", path,
                         qorvane_stream_line(fp), lsfword);
            fc_record(__LINE__, "fscanf", QORVANE_FCNTL_FORMAT_MISMATCH, 0);
            return fc_stop_faulty(ctx);
        }
        if (!fc_int(fp, &ctx->lsffit[i], FcName("lsffit", "line", i).text, 0, 1)) {
            fc_record_scan(__LINE__, fp);
            return fc_stop_faulty(ctx);
        }
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            QorvaneFixPar *r = &ctx->fixpar[qorvane_par_index(i, j)];
            if (!fc_int(fp, &r->type, FcName(kParNames[j], "line type of line", i).text) ||
                !fc_read_record_tail(fp, ctx, r, i, j)) {
                fc_record_scan(__LINE__, fp);
                return fc_stop_faulty(ctx);
            }
        }
    }

    // 6. line-shape coefficients
    tok[0] = '\0';
    if (std::fscanf(fp, "%63s", tok) != 1 || std::strcmp(tok, "lsf_coefs") != 0) {
        fc_say("error reading prior knowledge information ");
        fc_sayf("expected string to read : %s\n", "lsf_coefs");
        fc_sayf("string found in file    : %s\n\n", tok);
        return fc_stop_faulty(ctx);
    }
    const int start = 5 * fc_total(ctx);
    for (int j = 1; j <= 2 * ctx->lsfcfs; ++j) {
        if (!fc_real(fp, &ctx->par_vec[start + j], FcName("value", "line-shape coefficient", j).text)) {
            fc_record_scan(__LINE__, fp);
            fc_say("error reading lsf fourier coefficients ");
            return fc_stop_faulty(ctx);
        }
    }
    if (std::fscanf(fp, "%63s", tok) != 1 || std::strcmp(tok, "end_of_lsf") != 0) {
        fc_say("error reading lsf fourier coefficients ");
        return fc_stop_faulty(ctx);
    }
    return QORVANE_RC_OK;
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

// Common end of both readers: prior-knowledge values follow the starting
// values, units become internal, the coefficient block is located.
void fc_finish_read(QorvaneFitContext *ctx) {
    const int total = fc_total(ctx);
    for (int i = 1; i <= total; ++i) {
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            if (ctx->fixpar[idx].value != ctx->par_vec[idx]) {
                if (ctx->verbos > 2) {
                    fc_sayf(
                        "warning read initial value file inconsistency in %s%d parameter %d : error corrected "
                        "automatically\n",
                        fc_type_word(ctx->fixpar[qorvane_par_index(i, QORVANE_PAR_AREA)].type), i, j);
                }
                ctx->fixpar[idx].value = ctx->par_vec[idx];
            }
        }
    }
    for (int i = 1; i <= total; ++i) {
        for (int j = QORVANE_PAR_FREQ; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            const double f = fc_to_internal_factor(j, ctx->fixpar[idx].type, ctx->hz_p_p);
            ctx->par_vec[idx] *= f;
            ctx->fixpar[idx].value *= f;
            ctx->fixpar[idx].min *= f;
            ctx->fixpar[idx].max *= f;
        }
    }
    ctx->lsf_start = 5 * total;
    ctx->npar = ctx->lsf_start + 2 * (ctx->lsfcfs > 0 ? ctx->lsfcfs : 0);
    std::memcpy(ctx->par_copy, ctx->par_vec, sizeof ctx->par_copy);
    std::memcpy(ctx->wpar, ctx->par_vec, sizeof ctx->wpar);
}

// ---- verbose form --------------------------------------------------------------

bool fc_verbose_fit_control(FILE *fp, QorvaneFitContext *ctx) {
    char word[32];
    if (!fc_int(fp, &ctx->fit_mo, "fit_mo") || !fc_int(fp, &ctx->verbos, "verbos") ||
        !fc_int(fp, &ctx->showli, "showli") || !fc_int(fp, &ctx->clcerr, "clcerr") ||
        std::fscanf(fp, "%24s", word) != 1 || !fc_int(fp, &ctx->par_ranges, "ranges")) {
        fc_record_scan(__LINE__, fp);
        return false;
    }
    fc_set_format_word(ctx, word);
    return fc_read_steps(fp, ctx) == 0;
}

bool fc_verbose_prior_knowledge(FILE *fp, QorvaneFitContext *ctx) {
    for (int i = 1; i <= fc_total(ctx); ++i) {
        int number, type;
        if (!fc_int(fp, &number, FcName("number", "prior knowledge of line", i).text) ||
            !fc_int(fp, &ctx->lsffit[i], FcName("lsffit", "line", i).text, 0, 1) ||
            !fc_int(fp, &type, FcName("line type", "line", i).text)) {
            fc_record_scan(__LINE__, fp);
            return false;
        }
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            QorvaneFixPar *r = &ctx->fixpar[qorvane_par_index(i, j)];
            r->type = type;
            if (!fc_read_record_tail(fp, ctx, r, i, j)) {
                fc_record_scan(__LINE__, fp);
                return false;
            }
        }
    }
    return true;
}

}  // namespace

// ---- public interface ----------------------------------------------------------

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

int read_qorvane_spectrum_information(FILE *fp, QorvaneFitContext *ctx) {
    if (!fc_int(fp, &ctx->n_pnts, "n_pnts") || !fc_int(fp, &ctx->noistr, "noistr") ||
        !fc_int(fp, &ctx->noistp, "noistp") || !fc_int(fp, &ctx->nLines, "nLines") ||
        !fc_int(fp, &ctx->lsfcfs, "lsfcfs") || !fc_real(fp, &ctx->phi_1, "phi__1") ||
        !fc_real(fp, &ctx->hz_p_p, "Hz_p_p") || !fc_real(fp, &ctx->f_tol, "f__tol") ||
        !fc_int(fp, &ctx->ignore, "ignore") || !fc_int(fp, &ctx->pattrn, "pattrn")) {
        fc_record_scan(__LINE__, fp);
        return QORVANE_RC_FATAL;
    }
    if (!fc_sizes_ok(ctx)) return QORVANE_RC_FATAL;
    allocate_parameter_arrays(ctx);
    return QORVANE_RC_OK;
}

int read_qorvane_strtval_file(FILE *fp, QorvaneFitContext *ctx) {
    if (!fp || !ctx) {
        fc_record(__LINE__, "fscanf", QORVANE_FCNTL_INVALID_ARGUMENT, 0);
        if (ctx) ctx->fcntl_faulty = 1;
        return QORVANE_RC_FATAL;
    }
    t_reading = ctx->parameter_file;
    char tok[1024];
    bool sizes_known = false;
    for (;;) {
        if (std::fscanf(fp, "%1023s", tok) != 1) {
            // the file ended before its end marker
            fc_record_scan(__LINE__, fp);
            ctx->fcntl_faulty = 1;
            return QORVANE_RC_FATAL;
        }
        bool ok = true;
        if (tok[0] == '#') {
            fc_skip_line(fp);
        } else if (std::strcmp(tok, "qorvane_end_of_file") == 0) {
            break;
        } else if (std::strcmp(tok, "qorvane_spectrum_information") == 0) {
            ok = read_qorvane_spectrum_information(fp, ctx) == QORVANE_RC_OK;
            sizes_known = ok;
        } else if (std::strcmp(tok, "qorvane_pattern_references") == 0) {
            for (int p = 1; ok && p <= ctx->pattrn; ++p) ok = sizes_known && fc_read_pattern_path(fp, ctx, p);
        } else if (std::strcmp(tok, "qorvane_fit_control") == 0) {
            ok = fc_verbose_fit_control(fp, ctx);
        } else if (std::strcmp(tok, "qorvane_starting_values") == 0) {
            for (int i = 1; ok && i <= fc_total(ctx); ++i) {
                ok = sizes_known && fc_read_start_line(fp, ctx, i);
                if (!ok) fc_record_scan(__LINE__, fp);
            }
        } else if (std::strcmp(tok, "qorvane_prior_knowledge") == 0) {
            ok = sizes_known && fc_verbose_prior_knowledge(fp, ctx);
        } else if (std::strcmp(tok, "qorvane_line_shape_function") == 0) {
            const int start = 5 * fc_total(ctx);
            for (int j = 1; ok && j <= 2 * ctx->lsfcfs; ++j) {
                ok = sizes_known &&
                     fc_real(fp, &ctx->par_vec[start + j], FcName("value", "line-shape coefficient", j).text);
                if (!ok) fc_record_scan(__LINE__, fp);
            }
        }
        if (!ok) {
            ctx->fcntl_faulty = 1;
            return QORVANE_RC_FATAL;
        }
    }
    if (!sizes_known) {
        fc_say("fit-control file error : section qorvane_spectrum_information missing");
        ctx->fcntl_faulty = 1;
        return QORVANE_RC_FATAL;
    }
    return QORVANE_RC_OK;
}

int load_initial_value_file(QorvaneFitContext *ctx) {
    if (!ctx) return QORVANE_RC_FATAL;
    // the file defines the whole strategy: steps of an earlier reading do not carry over
    ctx->nsteps = 0;
    ctx->fcntl_faulty = 0;
    const char *path = ctx->parameter_file;
    t_reading = path;
    FILE *fp = qorvane_fopen_regular(path, "r");
    if (!fp) {
        fc_record(__LINE__, "fopen", QORVANE_FCNTL_OPEN_FAILURE, errno);
        fc_sayf("I/O error: cannot open starting value file: %s\n\n", path);
        return qorvane_status_fail(&ctx->status, -1, "cannot open starting value file: %s", path);
    }
    char tok[64];
    if (std::fscanf(fp, "%63s", tok) != 1) {
        fc_record_scan(__LINE__, fp);
        std::fclose(fp);
        fc_sayf("I/O error: cannot read header token from: %s\n\n", path);
        return qorvane_status_fail(&ctx->status, -1, "cannot read header token from: %s", path);
    }
    int rc = QORVANE_RC_OK;
    if (std::strcmp(tok, "qorvane_begin_of_file") == 0) {
        read_qorvane_strtval_file(fp, ctx);  // faults mark the file faulty
    } else if (std::strcmp(tok, "version_3") == 0) {
        rc = fc_read_compact(fp, ctx, path);
    } else {
        fc_sayf("Unsupported/corrupt startval file: %s\n", path);
        fc_sayf("First token was: '%s'\n", tok);
        ctx->fcntl_faulty = 1;
    }
    if (std::fclose(fp) != 0) fc_record(__LINE__, "fclose", QORVANE_FCNTL_CLOSE_FAILURE, errno);
    if (rc == QORVANE_RC_OK && !ctx->fcntl_faulty && !fc_values_ok(ctx)) ctx->fcntl_faulty = 1;
    if (rc != QORVANE_RC_OK || ctx->fcntl_faulty) return rc;
    fc_finish_read(ctx);
    return fetch_patterns(ctx);
}

// ---- checks -----------------------------------------------------------------------

namespace {

void fc_fatal(QorvaneFitContext *ctx) {
    fc_say("fit_check_message -> fatal error :");
    ctx->init_ok = 0;
}
void fc_warning() { fc_say("fit_check_message -> warning :"); }
void fc_note() { fc_say("fit_check_message -> note :"); }

}  // namespace

void test_init_value_file(QorvaneFitContext *ctx) {
    // counts come from a file: summed in 64 bits, clamped for the loops below
    const long long total_ll = static_cast<long long>(ctx->nLines) + ctx->pattrn;
    const int total =
        total_ll > QORVANE_MAX_PARAMS ? QORVANE_MAX_PARAMS + 1 : (total_ll < -1 ? -1 : static_cast<int>(total_ll));
    const int n = ctx->n_pnts;
    if (total < 1) {
        fc_fatal(ctx);
        fc_say("\tprogram cannot fit less than one line");
    }
    if (total > QORVANE_MAX_LINES) {
        fc_fatal(ctx);
        fc_say("\tprogram cannot fit more than 49 lines and patterns");
    }
    if (ctx->lsfcfs < 0) {
        fc_fatal(ctx);
        fc_say("\tprogram cannot fit a negative number of lineshape coefficients ");
    }
    if (5 * total_ll + 2LL * ctx->lsfcfs > QORVANE_MAX_PARAMS) {
        fc_fatal(ctx);
        fc_say("\t total number of model parameters exceeds maximum 350");
        fc_sayf(" # line     parameters : %lld\n", 5LL * ctx->nLines);
        fc_sayf(" # pattern  parameters : %lld\n", 5LL * ctx->pattrn);
        fc_sayf(" # lsf      parameters : %lld\n", 2LL * ctx->lsfcfs);
        fc_say(">> reduce number of lines to fit or \n   reduce number of lineshape coefficients ");
    }
    if (ctx->noistp < 0) {
        fc_fatal(ctx);
        fc_say("spectral point number end of noise interval < 0 \n ");
        fc_say(">> enter a positiv number ");
    }
    if (ctx->noistr < 0) {
        fc_fatal(ctx);
        fc_say("spectral point number start of noise interval < 0 ");
        fc_say(">> enter a positiv number ");
    }
    if (ctx->noistr > ctx->noistp) {
        fc_fatal(ctx);
        fc_say("starting spectral point number of noise region is higher than ending point number");
        fc_say(">> interchange starting and ending point");
    }
    if (ctx->phi_1 < 0.0) {
        fc_warning();
        fc_say("the first order phase due to acquisition  d e l a y  is a  positive number");
        fc_sayf("acquisition delay %E : degrees which means that acquisition start before t=0 \n", ctx->phi_1);
        fc_say(">> is this wanted ? ");
    }
    if (ctx->nsteps < 1) {
        fc_fatal(ctx);
        fc_say("number of fit strategy steps should at least be 1");
        fc_say(">> add at least one line starting with @ ");
        fc_say("   e.g.: ");
        fc_say("   @ 2 1024  1  1  1  1  1  0  1  0  550   2  1  1 1023 ");
    }
    const int nsteps = ctx->nsteps < QORVANE_MAX_STEPS ? ctx->nsteps : QORVANE_MAX_STEPS;
    int lsf_steps = 0, convo_steps = 0;
    int group_steps[5] = {0, 0, 0, 0, 0};
    for (int s = 1; s <= nsteps; ++s) {
        const QorvaneStrategyStep *st = &ctx->step[s];
        if (st->trunc < 0) {
            fc_fatal(ctx);
            fc_sayf("fit strategy error in step %d\n", s);
            fc_say("spectrum cannot be truncated after a negative number of points");
            fc_say(">> choose a positive number ");
        }
        if (st->trunc > n) {
            fc_fatal(ctx);
            fc_sayf("fit strategy error in step %d\n", s);
            fc_say("spectrum cannot be truncated after a point number \n  bigger than");
            fc_sayf(" the number of points sampled : (%d)\n", n);
            fc_sayf(">> choose a number between 1 and %d \n", n);
        }
        if (st->algor != 1 && st->algor != 2) {
            fc_fatal(ctx);
            fc_say("illegal minimization method");
            fc_say(">> two possibilities : 1: random minimization ");
            fc_say("                       2: Levenberg-Marquardt (conjugate gradients with --minimizer classic) ");
        }
        if (st->algor == 1 && ctx->verbos >= 3) {
            fc_note();
            fc_say("maximum number of iterations is limited");
            fc_sayf("in random fit strategy step %d by software to 20\n", s);
        }
        long long range = 0;
        const int nint = st->n_int < QORVANE_MAX_INTERVALS ? st->n_int : QORVANE_MAX_INTERVALS;
        for (int k = 1; k <= nint; ++k) range += static_cast<long long>(st->max[k]) - st->min[k];
        if (range < 0 || range > n) {
            fc_fatal(ctx);
            fc_sayf("illegal fit range (i.e. total # of fd points) : %lld\n", range);
            fc_say(">> value is sum over sub ranges and its value");
            fc_sayf("   should be between 1 and %d\n", n);
        }
        // interval bounds address spectral points: a bound outside 0 .. N is refused
        for (int k = 1; k <= nint; ++k) {
            if (st->min[k] < 0 || st->max[k] < 0 || st->min[k] > n || st->max[k] > n) {
                fc_fatal(ctx);
                fc_sayf("fit strategy error in step %d\n", s);
                fc_sayf("interval %d (%d .. %d) lies outside the spectral points 0 .. %d\n", k, st->min[k], st->max[k],
                        n);
            }
        }
        if (st->lsfft == 1) ++lsf_steps;
        if (st->convo > 1) {
            fc_fatal(ctx);
            fc_say("range error in convolution/no convolution ");
            fc_sayf("choice in fit strategy step %d \n", s);
            fc_say(">> value is either 1 (convolution before fit)");
            fc_say("                or 0 (no convolution before fit)");
        }
        if (st->convo == 1) ++convo_steps;
        if (st->niter < 1) {
            fc_fatal(ctx);
            fc_sayf("illegal number of iterations in fit strategy step %d  \n", s);
        }
        if (st->niter >= 201 && ctx->verbos > 2) {
            fc_warning();
            fc_sayf("number of iterations allowed in fit strategy step %d", s);
            fc_sayf(" is very large namely : %d \n", st->niter);
        }
        if (st->cmplx >= 5) {
            fc_fatal(ctx);
            fc_sayf("illegal spectrum mode fit is wanted in fit strategy step %d  \n", s);
            fc_say(">> allowed spectrum mode fits : 0 = absorption spectrum fit");
            fc_say("                                1 = dispersion spectrum fit");
            fc_say("                                2 = complex    spectrum fit");
            fc_say("                                3 = magnitude  spectrum fit");
            fc_say("                                4 = power      spectrum fit");
        }
        const int sw[5] = {st->ampli, st->frequ, st->gauss, st->phase, st->loren};
        for (int g = 0; g < 5; ++g)
            if (sw[g]) ++group_steps[g];
    }
    if (lsf_steps == 0 && ctx->verbos > 2) {
        fc_warning();
        fc_say("lsf parameters will not be  fitted ");
    }
    if (convo_steps > 1 && ctx->verbos > 2) {
        fc_warning();
        fc_say("convolution is used in more than one fit strategy step ");
    }
    static const char *const group_text[5] = {
        "area parameters will not be fitted ", "frequency parameters will not be fitted ",
        "gaussian linewidth  parameters will not be fitted ", "zero order phase parameters will not be fitted ",
        "lorentzian decay parameters will not be fitted "};
    for (int g = 0; g < 5; ++g) {
        if (group_steps[g] == 0 && (g == 0 || ctx->verbos > 2)) {
            fc_warning();
            fc_say(group_text[g]);
        }
    }

    // prior-knowledge records (only lines that fit the storage are looked at)
    const int lines = total < QORVANE_MAX_LINES ? (total > 0 ? total : 0) : QORVANE_MAX_LINES;
    bool all_lorentz = lines > 0, all_gauss = lines > 0;
    for (int i = 1; i <= lines; ++i) {
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            const QorvaneFixPar *r = &ctx->fixpar[qorvane_par_index(i, j)];
            if (r->type < QORVANE_LINE_GAUSS || r->type > QORVANE_LINE_PATTERN) {
                fc_fatal(ctx);
                fc_sayf("line %d ", i);
                fc_say(" has an unknown lineshape type : ");
                fc_sayf("%d\n", r->type);
                fc_say(">> available analytic lineshape types : 1 = Gaussian   ");
                fc_say("                                        2 = Lorentzian ");
                fc_say("                                        3 = Voigt      ");
                fc_say("                                        4 = Pattern    ");
            }
            // a tie must name an existing line: the fit indexes parameters by it
            if (r->fixed_to < 0 || r->fixed_to > lines) {
                fc_fatal(ctx);
                fc_sayf("line %d parameter %d is fixed to line %d, which does not exist (lines 1 .. %d)\n", i, j,
                        r->fixed_to, lines);
            }
        }
        const int type = ctx->fixpar[qorvane_par_index(i, QORVANE_PAR_AREA)].type;
        if (type != QORVANE_LINE_LORENTZ) all_lorentz = false;
        if (type != QORVANE_LINE_GAUSS) all_gauss = false;
    }
    if (all_lorentz) {
        bool any = false;
        for (int s = 1; s <= nsteps; ++s) any = any || ctx->step[s].gauss;
        if (any) {
            fc_warning();
            fc_say("only lorentzian lineshapes in model :");
            fc_say("Gaussian decay time constant fit wanted in ");
            std::fputs(" fit strategy step(s) : ", stdout);
            for (int s = 1; s <= nsteps; ++s)
                if (ctx->step[s].gauss) fc_sayf("%d ", s);
            fc_say("");
        }
    }
    if (all_gauss && ctx->verbos > 2) {
        bool any = false;
        for (int s = 1; s <= nsteps; ++s) any = any || ctx->step[s].loren;
        if (any) {
            fc_warning();
            fc_say("only Gaussian lineshapes in model :");
            fc_say("Lorentzian decay time constant fit wanted in ");
            std::fputs(" fit strategy step(s) : ", stdout);
            for (int s = 1; s <= nsteps; ++s)
                if (ctx->step[s].loren) fc_sayf("%d ", s);
            fc_say("");
        }
    }
    for (int i = 1; i <= lines; ++i) {
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            if (ctx->fixpar[idx].value != ctx->par_vec[idx]) {
                fc_warning();
                fc_say("WARNING tsts  initial value file inconsistency in ");
                fc_sayf("%s%d ", fc_type_word(ctx->fixpar[qorvane_par_index(i, QORVANE_PAR_AREA)].type), i);
                fc_sayf("parameter %d\n", j);
            }
        }
    }
    for (int k = 1; k <= lines; ++k) {
        const int w1 = qorvane_par_index(k, QORVANE_PAR_WIDTH1);
        const int w2 = qorvane_par_index(k, QORVANE_PAR_WIDTH2);
        const int j1 = ctx->fixpar[w1].fixed_to;
        if (j1 >= 1 && j1 <= lines && j1 != k &&
            ctx->fixpar[qorvane_par_index(j1, QORVANE_PAR_WIDTH1)].type != ctx->fixpar[w1].type) {
            fc_fatal(ctx);
            fc_sayf("illegal linewidth prior knowledge line %d and line %d : linetype mismatch\n", k, j1);
        }
        const int j2 = ctx->fixpar[w2].fixed_to;
        if (j2 >= 1 && j2 <= lines && j2 != k &&
            ctx->fixpar[qorvane_par_index(j2, QORVANE_PAR_WIDTH2)].type != ctx->fixpar[w2].type) {
            fc_fatal(ctx);
            fc_sayf("illegal linewidth prior knowledge line %d and line %d  : linetype mismatch\n", k, j2);
        }
    }
    if (ctx->verbos > 0) fc_say("testing input parameter values             : done ");
}

// ---- writers ----------------------------------------------------------------------

void natural_frequency(QorvaneFitContext *ctx) {
    const int npar = ctx->npar < QORVANE_MAX_PARAMS ? ctx->npar : QORVANE_MAX_PARAMS;
    std::memset(ctx->o_par, 0, sizeof ctx->o_par);
    std::memset(ctx->o_errpar, 0, sizeof ctx->o_errpar);
    std::memset(ctx->o_fixpar, 0, sizeof ctx->o_fixpar);
    for (int p = 1; p <= npar; ++p) {
        ctx->o_par[p] = ctx->par_vec[p];
        ctx->o_errpar[p] = ctx->errpar[p];
        ctx->o_fixpar[p] = ctx->fixpar[p];
    }
    const int lines = fc_written_lines(ctx);
    for (int i = 1; i <= lines; ++i) {
        for (int j = QORVANE_PAR_FREQ; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            const double f = fc_to_file_factor(j, ctx->fixpar[idx].type, ctx->hz_p_p);
            ctx->o_par[idx] *= f;
            ctx->o_errpar[idx] *= f;
            ctx->o_fixpar[idx].value *= f;
            ctx->o_fixpar[idx].min *= f;
            ctx->o_fixpar[idx].max *= f;
        }
    }
}

namespace {

// File-unit value of parameter idx as written (width1 as magnitude).
double fc_out_value(const QorvaneFitContext *ctx, int j, int idx) {
    double v = ctx->o_par[idx];
    return j == QORVANE_PAR_WIDTH1 ? std::fabs(v) : v;
}

// Range written for a record: the stored one with ranges = 1 (a width1 range
// as magnitudes when abs_width1 is set and the value is non-zero), otherwise a
// default around the value (area_rel is the relative area half-width).
void fc_out_range(const QorvaneFitContext *ctx, int j, int idx, double area_rel, bool abs_width1, double *lo,
                  double *hi) {
    const double v = fc_out_value(ctx, j, idx);
    if (ctx->par_ranges == 1) {
        *lo = ctx->o_fixpar[idx].min;
        *hi = ctx->o_fixpar[idx].max;
        if (abs_width1 && j == QORVANE_PAR_WIDTH1 && v != 0.0) {
            *lo = std::fabs(*lo);
            *hi = std::fabs(*hi);
        }
        return;
    }
    double h;
    switch (j) {
        case QORVANE_PAR_AREA:
            h = area_rel * std::fabs(v) + 1E-8;
            break;
        case QORVANE_PAR_FREQ:
            h = 0.01 * std::fabs(v) + 1E-8;
            break;
        case QORVANE_PAR_PHASE:
            h = 20.0;
            break;
        default:
            h = 0.1 * std::fabs(v) + 1E-8;
            break;
    }
    *lo = v - h;
    *hi = v + h;
}

// Trailer of both written forms: a rule and the time the file was written.
void fc_write_created_at(FILE *fp) {
    char now[128];
    fc_format_now(now, sizeof now);
    std::fprintf(fp, "\n\n-----------------------------------------------------------\n");
    std::fprintf(fp, "File created at :  %s \n", now);
}

int fc_close_written(FILE *fp, int line) {
    int rc = 0;
    if (std::ferror(fp)) {
        fc_record(line, "fprintf", QORVANE_FCNTL_WRITE_ERROR, errno);
        rc = -1;
    }
    if (std::fclose(fp) != 0) {
        fc_record(line, "fclose", QORVANE_FCNTL_CLOSE_FAILURE, errno);
        rc = -1;
    }
    return rc;
}

}  // namespace

int write_f_cntl(const char *path, QorvaneFitContext *ctx, const char *user, const char *host, const char *domain) {
    FILE *fp = (path && ctx) ? qorvane_output_fopen(path, "w") : nullptr;
    if (!fp) {
        fc_record(__LINE__, "fopen", path ? QORVANE_FCNTL_OPEN_FAILURE : QORVANE_FCNTL_INVALID_ARGUMENT,
                  path ? errno : 0);
        std::printf(" error_hs : file not opened\n ");
        return -1;
    }
    natural_frequency(ctx);
    const int total = fc_written_lines(ctx);
    std::fprintf(fp, "version_3\n");
    std::fprintf(fp, "n_pnts %3d\n", ctx->n_pnts);
    std::fprintf(fp, "noistr %3d\n", ctx->noistr);
    std::fprintf(fp, "noistp %3d\n", ctx->noistp);
    std::fprintf(fp, "nLines %3d\n", ctx->nLines);
    std::fprintf(fp, "lsfcfs %3d\n", ctx->lsfcfs);
    std::fprintf(fp, "phi__1 %1.10E\n", ctx->phi_1);
    std::fprintf(fp, "Hz_p_p %1.10E\n", ctx->hz_p_p);
    std::fprintf(fp, "f__tol %1.10E\n", ctx->f_tol);
    std::fprintf(fp, "fit_mo %3d\n", ctx->fit_mo);
    std::fprintf(fp, "verbos %3d\n", ctx->verbos);
    std::fprintf(fp, "showli %3d\n", ctx->showli);
    std::fprintf(fp, "clcerr %3d\n", ctx->clcerr);
    std::fprintf(fp, "sg_idl %s\n", ctx->sg_idl);
    std::fprintf(fp, "ranges %3d\n", ctx->par_ranges);
    std::fprintf(fp, "ignore %3d\n", ctx->ignore);
    std::fprintf(fp, "pattrn %3d\n", ctx->pattrn);
    for (int p = 1; p <= ctx->pattrn && p <= QORVANE_MAX_LINES; ++p) std::fprintf(fp, "%s\n", ctx->pattern_path[p]);
    std::fprintf(fp, "   algor trunc  ampli  frequ  width  phase  ");
    std::fprintf(fp, "voigt  lsfft  wtype  convo  niter  cmplx   n_int   min   max\n");
    for (int s = 1; s <= ctx->nsteps && s <= QORVANE_MAX_STEPS; ++s) {
        const QorvaneStrategyStep *st = &ctx->step[s];
        const int v[13] = {st->algor, st->trunc, st->ampli, st->frequ, st->gauss, st->phase, st->loren,
                           st->lsfft, st->wtype, st->convo, st->niter, st->cmplx, st->n_int};
        std::fprintf(fp, "@ ");
        for (int i = 0; i < 13; ++i) std::fprintf(fp, "%4d   ", v[i]);
        for (int k = 1; k <= st->n_int && k <= QORVANE_MAX_INTERVALS; ++k)
            std::fprintf(fp, "%4d   %4d   ", st->min[k], st->max[k]);
        std::fprintf(fp, "\n");
    }
    std::fprintf(fp, "number       area          frequency      gausswidth        phase        lorentzwidth \n");
    for (int i = 1; i <= total; ++i) {
        std::fprintf(fp, "%d\t", i);
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j)
            std::fprintf(fp, "%1.8E\t", fc_out_value(ctx, j, qorvane_par_index(i, j)));
        std::fprintf(fp, "\n");
    }
    for (int i = 1; i <= total; ++i) {
        std::fprintf(fp, "#%d\n", i);
        std::fprintf(fp, "lsffit %d\n", ctx->lsffit[i]);
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            std::fprintf(fp, "%d\t%d\t%1.8E\t", ctx->o_fixpar[idx].type, ctx->o_fixpar[idx].fixed_to,
                         fc_out_value(ctx, j, idx));
            // without ranges (ranges = 2) none are written, so the file reads back
            if (ctx->par_ranges != 2) {
                double lo, hi;
                fc_out_range(ctx, j, idx, 0.5, true, &lo, &hi);
                std::fprintf(fp, "%1.8E\t%1.8E\t", lo, hi);
            }
            std::fprintf(fp, "\n");
        }
    }
    std::fprintf(fp, "lsf_coefs\n");
    for (int j = 1; j <= 2 * ctx->lsfcfs && ctx->lsf_start + j <= QORVANE_MAX_PARAMS; ++j)
        std::fprintf(fp, "%1.8E\n", ctx->o_par[ctx->lsf_start + j]);
    std::fprintf(fp, "end_of_lsf\n");
    fc_write_created_at(fp);
    std::fprintf(fp, "User            :  %s \n", user ? user : "");
    std::fprintf(fp, "Host            :  %s \n", host ? host : "");
    std::fprintf(fp, "Domain          :  %s \n", domain ? domain : "");
    std::fprintf(fp, "-----------------------------------------------------------\n");
    return fc_close_written(fp, __LINE__);
}

int write_qorvane_strtval_file(const char *parameter_path, QorvaneFitContext *ctx) {
    if (!parameter_path || !ctx) {
        fc_record(__LINE__, "fopen", QORVANE_FCNTL_INVALID_ARGUMENT, 0);
        return -1;
    }
    char name[QORVANE_PATH_MAX];
    size_t len = std::strlen(parameter_path);
    size_t keep = len > 4 ? len - 4 : len;
    int w = std::snprintf(name, sizeof name, "%.*s_verbose.par", static_cast<int>(keep), parameter_path);
    if (w < 0 || w >= static_cast<int>(sizeof name)) {
        fc_record(__LINE__, "fopen", QORVANE_FCNTL_INVALID_ARGUMENT, 0);
        return -1;
    }
    std::memcpy(ctx->parameter_file, name, static_cast<size_t>(w) + 1);
    FILE *fp = qorvane_output_fopen(name, "w");
    if (!fp) {
        fc_record(__LINE__, "fopen", QORVANE_FCNTL_OPEN_FAILURE, errno);
        std::printf(" error_hs : file not opened\n ");
        return -1;
    }
    natural_frequency(ctx);
    const int total = fc_written_lines(ctx);
    std::fprintf(fp, "qorvane_begin_of_file\n\n");
    std::fprintf(fp, "##########################################################################\n");
    std::fprintf(fp, "# QORVANE  FIT CONTROL & STARTING VALUE FILE\n");
    std::fprintf(fp, "#\n# Revision Information\n# QORVANE Version 2.4 \n#      28 - 01 - 1999\n");
    std::fprintf(fp, "##########################################################################\n#\n");
    std::fprintf(fp,
                 "# Spectrum information, one value per line:\n"
                 "#   number of complex points N (a power of 2)\n"
                 "#   first and last point number of the noise interval\n"
                 "#   number of analytic lines\n"
                 "#   number of complex Fourier coefficients of the arbitrary line shape\n"
                 "#   first-order phase in degrees (acquisition delay, not fitted)\n"
                 "#   Hz per point (point 0 is 0 Hz)\n"
                 "#   stop tolerance of the conjugate-gradient minimiser\n"
                 "#   number of leading time-domain points set to zero\n"
                 "#   number of patterns\n#\n");
    std::fprintf(fp, "qorvane_spectrum_information\n");
    std::fprintf(fp, "%3d\n%3d\n%3d\n%3d\n%3d\n", ctx->n_pnts, ctx->noistr, ctx->noistp, ctx->nLines, ctx->lsfcfs);
    std::fprintf(fp, "%1.10E\n%1.10E\n%1.10E\n", ctx->phi_1, ctx->hz_p_p, ctx->f_tol);
    std::fprintf(fp, "%3d\n%3d\n\n", ctx->ignore, ctx->pattrn);
    std::fprintf(fp,
                 "# Pattern references, one path per line: a .bin file holds a measured\n"
                 "# spectrum, a .pat file a list of lines that make up the pattern.\n#\n");
    std::fprintf(fp, "qorvane_pattern_references\n");
    for (int p = 1; p <= ctx->pattrn && p <= QORVANE_MAX_LINES; ++p) std::fprintf(fp, "%s\n", ctx->pattern_path[p]);
    std::fprintf(fp,
                 "\n# Fit control: fit mode (1 plain, 2 reference line shape, 3 line-shape\n"
                 "# coefficients), console detail 0..3, line shown in detail, error bounds 0/1,\n"
                 "# data format word, ranges 0..3, then one strategy step per line:\n"
                 "#   algorithm trunc area frequency width1 phase width2 lsf weighting\n"
                 "#   convolution iterations spectrum-mode intervals, then min max per interval\n#\n");
    std::fprintf(fp, "qorvane_fit_control\n");
    std::fprintf(fp, "%d\n%d\n%d\n%d\n%s\n%d\n", ctx->fit_mo, ctx->verbos, ctx->showli, ctx->clcerr, ctx->sg_idl,
                 ctx->par_ranges);
    for (int s = 1; s <= ctx->nsteps && s <= QORVANE_MAX_STEPS; ++s) {
        const QorvaneStrategyStep *st = &ctx->step[s];
        const int v[10] = {st->algor, st->trunc, st->ampli, st->frequ, st->gauss,
                           st->phase, st->loren, st->lsfft, st->wtype, st->convo};
        std::fprintf(fp, "@  ");
        for (int i = 0; i < 10; ++i) std::fprintf(fp, "%3d  ", v[i]);
        std::fprintf(fp, "%4d  %4d  %4d  ", st->niter, st->cmplx, st->n_int);
        for (int k = 1; k <= st->n_int && k <= QORVANE_MAX_INTERVALS; ++k)
            std::fprintf(fp, "%4d  %4d  ", st->min[k], st->max[k]);
        std::fprintf(fp, "\n");
    }
    std::fprintf(fp,
                 "\n# Starting values, one line per line and pattern (patterns give a factor\n"
                 "# and differences)\n#\n");
    std::fprintf(fp, "# number      area          frequency       width1          phase          width2 \n");
    std::fprintf(fp, "#  [--]       [--]            [Hz]           [Hz]         [degrees]         [Hz]  \n");
    std::fprintf(fp, "qorvane_starting_values \n");
    for (int i = 1; i <= total; ++i) {
        std::fprintf(fp, i < 10 ? "     %d     " : "     %d    ", i);
        for (int j = QORVANE_PAR_AREA; j < QORVANE_PAR_WIDTH2; ++j)
            std::fprintf(fp, "%1.6E   ", fc_out_value(ctx, j, qorvane_par_index(i, j)));
        std::fprintf(fp, "%1.6E\n", fc_out_value(ctx, QORVANE_PAR_WIDTH2, qorvane_par_index(i, QORVANE_PAR_WIDTH2)));
    }
    std::fprintf(fp,
                 "\n# Prior knowledge, per line: line number, line-shape function switch,\n"
                 "# line type (1 Gaussian, 2 Lorentzian, 3 Voigt, 4 pattern), then for area,\n"
                 "# frequency, width1, phase and width2: fixed-to line, value, minimum, maximum\n#\n");
    std::fprintf(fp, "qorvane_prior_knowledge\n");
    for (int i = 1; i <= total; ++i) {
        std::fprintf(fp, "%d\n%d\n%d\n", i, ctx->lsffit[i], ctx->o_fixpar[qorvane_par_index(i, QORVANE_PAR_AREA)].type);
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            const int idx = qorvane_par_index(i, j);
            std::fprintf(fp, "%d\t", ctx->o_fixpar[idx].fixed_to);
            std::fprintf(fp, "%1.6E\t", fc_out_value(ctx, j, idx));
            double lo, hi;
            fc_out_range(ctx, j, idx, 0.1, false, &lo, &hi);
            if (ctx->par_ranges == 1)
                std::fprintf(fp, "%1.6E\t%1.6E\n", lo, hi);
            else if (ctx->par_ranges == 2)
                std::fprintf(fp, "\n");
            else
                std::fprintf(fp, "%1.8E\t%1.8E\t\n", lo, hi);
        }
    }
    std::fprintf(fp, "\n# Line-shape function: 2 x number of coefficients values (real, imaginary)\n#\n");
    std::fprintf(fp, "qorvane_line_shape_function\n");
    for (int j = 1; j <= 2 * ctx->lsfcfs && ctx->lsf_start + j <= QORVANE_MAX_PARAMS; ++j)
        std::fprintf(fp, "%1.6E\n", ctx->o_par[ctx->lsf_start + j]);
    std::fprintf(fp, "\nqorvane_end_of_file\n");
    fc_write_created_at(fp);
    return fc_close_written(fp, __LINE__);
}
