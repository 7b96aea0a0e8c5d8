// Fit-control and starting-value file: the readers of the compact and the verbose form,
// and the reconciling of what was read (prior knowledge, internal units, patterns).
// The checks, the writers and the shared helpers are in fitcontrol_new_*.cpp.
#include "fitcontrol_new.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include "fitcontrol_new_common.h"
#include "lineshape.h"
#include "qfile.h"
#include "qmemfile.h"
#include "qparse.h"

using namespace qorvane_fc;

namespace {

// Path of the file being read on this thread, for the messages that name a bad value.
thread_local const char *t_reading = "";

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

// Prior-knowledge blocks "#1" ... "#n" of the compact form; false when the file is faulty.
bool fc_read_compact_prior_knowledge(FILE *fp, QorvaneFitContext *ctx, const char *path) {
    char tok[64] = "";
    for (int i = 1; i <= fc_total(ctx); ++i) {
        char expect[16];
        std::snprintf(expect, sizeof expect, "#%d", i);
        if (std::fscanf(fp, "%63s", tok) != 1) tok[0] = '\0';
        if (i > 1 && std::strcmp(tok, expect) != 0) {
            // every block carries its own number: a missing or extra value shows here
            std::fprintf(stderr, "fit-control file error : %s line %d : '%s' found where '%s' belongs\n", path,
                         qorvane_stream_line(fp), tok, expect);
            return false;
        }
        if (i == 1 && std::strcmp(tok, expect) != 0) {
            fc_say("error in reading analytic lineshape parameters ");
            fc_sayf("expected string to read : %s\n", expect);
            fc_sayf("string found in file    : %s\n\n", tok);
            fc_say("example of legal definition analytic lineshape parameters : ");
            fc_say("number     area          frequency      gausswidth         phase        lorentzwidth ");
            fc_say("  1   1.81648529E+09  9.76587128E+02  7.99022544E-01  -5.15528738E+00 6.14323470E-01 ");
            return false;
        }
        char lsfword[16] = "";
        if (std::fscanf(fp, "%15s", lsfword) != 1 || std::strcmp(lsfword, "lsffit") != 0) {
            std::fprintf(stderr, "fit-control file error : %s line %d : '%s' found where 'lsffit' belongs\n", path,
                         qorvane_stream_line(fp), lsfword);
            fc_record(__LINE__, "fscanf", QORVANE_FCNTL_FORMAT_MISMATCH, 0);
            return false;
        }
        if (!fc_int(fp, &ctx->lsffit[i], FcName("lsffit", "line", i).text, 0, 1)) {
            fc_record_scan(__LINE__, fp);
            return false;
        }
        for (int j = QORVANE_PAR_AREA; j <= QORVANE_PAR_WIDTH2; ++j) {
            QorvaneFixPar *r = &ctx->fixpar[qorvane_par_index(i, j)];
            if (!fc_int(fp, &r->type, FcName(kParNames[j], "line type of line", i).text) ||
                !fc_read_record_tail(fp, ctx, r, i, j)) {
                fc_record_scan(__LINE__, fp);
                return false;
            }
        }
    }
    return true;
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
    if (!fc_read_compact_prior_knowledge(fp, ctx, path)) return fc_stop_faulty(ctx);

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
