// Fit-control files: the checks of a read file's values (fit_check_message lines).
#include <cstdio>

#include "fitcontrol_new.h"
#include "fitcontrol_new_common.h"

using namespace qorvane_fc;

namespace {

void fc_fatal(QorvaneFitContext *ctx) {
    fc_say("fit_check_message -> fatal error :");
    ctx->init_ok = 0;
}
void fc_warning() { fc_say("fit_check_message -> warning :"); }
void fc_note() { fc_say("fit_check_message -> note :"); }

// Counts, noise interval, phase and the number of steps.
void fc_check_counts(QorvaneFitContext *ctx, long long total_ll, int total) {
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
}

// Each strategy step, then the parameter groups that no step fits.
void fc_check_steps(QorvaneFitContext *ctx, int nsteps) {
    const int n = ctx->n_pnts;
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
}

// Prior-knowledge records of the first `lines` lines: types, ties, line-shape groups
// against the steps, and starting values against the records.
void fc_check_records(QorvaneFitContext *ctx, int lines, int nsteps) {
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
}

}  // namespace

void test_init_value_file(QorvaneFitContext *ctx) {
    // counts come from a file: summed in 64 bits, clamped for the loops below
    const long long total_ll = static_cast<long long>(ctx->nLines) + ctx->pattrn;
    const int total =
        total_ll > QORVANE_MAX_PARAMS ? QORVANE_MAX_PARAMS + 1 : (total_ll < -1 ? -1 : static_cast<int>(total_ll));
    fc_check_counts(ctx, total_ll, total);
    const int nsteps = ctx->nsteps < QORVANE_MAX_STEPS ? ctx->nsteps : QORVANE_MAX_STEPS;
    fc_check_steps(ctx, nsteps);

    // prior-knowledge records (only lines that fit the storage are looked at)
    const int lines = total < QORVANE_MAX_LINES ? (total > 0 ? total : 0) : QORVANE_MAX_LINES;
    fc_check_records(ctx, lines, nsteps);
    if (ctx->verbos > 0) fc_say("testing input parameter values             : done ");
}
