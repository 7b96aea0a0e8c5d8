// Help topics of qorvane_pthreads (-h 0 .. -h 8) and the help overview.
#include <cstdio>
#include <cstring>

#include "qorvane_cli.h"

static void qorvane_help_lines(const char* const* lines) {
    for (; *lines != nullptr; ++lines) puts(*lines);
}

// Closing rule and a right-aligned trailer naming the topic and its last update.
static void qorvane_help_trailer(int topic) {
    char trailer[80];
    snprintf(trailer, sizeof trailer, "hlp_txt%d  updated 09-12-2026", topic);
    puts("---");
    printf("%71s\n", trailer);
}

static const char* const kTopic0[] = {"qorvane_pthreads  Unix Version 2.4",
                                      "",
                                      "qorvane fits in-vivo NMR spectra in the frequency domain with respect to",
                                      "time-domain parameters. The model is a sum of Voigt, Lorentzian and Gaussian",
                                      "lines and of patterns (measured or parametric multi-line spectra).",
                                      "Prior knowledge may tie areas (as ratios), frequencies, phases and widths",
                                      "(as differences) between lines and patterns, or fix a parameter.",
                                      "After the fit the Cramer-Rao minimum variance bounds can be computed.",
                                      "Minimisation is done by Levenberg-Marquardt least squares (strategy steps",
                                      "with algor 2) or by a parameter-domain constrained random search refined",
                                      "by Levenberg-Marquardt (algor 1); --minimizer classic selects the classic",
                                      "conjugate gradients and the random search alone. The bounds are reported",
                                      "as 2 SD (twice the Cramer-Rao standard deviation).",
                                      "",
                                      "Contact: the maintainers of this repository (see README).",
                                      nullptr};

static const char* const kTopic1[] = {"GENERAL PROGRAM CHARACTERISTICS",
                                      "",
                                      "* The model is built in the time domain and transformed by a radix-2 FFT;",
                                      "  the sum of squares is taken in the frequency domain. Spectra therefore",
                                      "  must have 2^n complex points.",
                                      "* Input data is always complex (real and imaginary part).",
                                      "* The first-order phase (acquisition delay) is given, never fitted.",
                                      "* The program runs in batch: all settings come from the fit control file.",
                                      "* Call:   qorvane  datapath$   datafnm$    strtvalfnm$",
                                      "* Arbitrary line shapes: a measured reference line shape (.ref file) or",
                                      "  a line-shape function described by Fourier coefficients.",
                                      "* Patterns enter the model like a line with at most 5 free parameters.",
                                      nullptr};

static const char* const kTopic2[] = {"INPUT DATA FILE FORMAT",
                                      "",
                                      "The spectrum is a headerless binary file of complex single-precision",
                                      "values, real and imaginary part interleaved: re[0] im[0] re[1] im[1] ...",
                                      "It holds N points, N being n_pnts of the fit control file (8*N bytes),",
                                      "little endian. Point 0 is 0 Hz. With sg_idl = sage_idl the data file is",
                                      "<name>.sdf and a text header <name>.shf (version 0.1) lies beside it.",
                                      nullptr};

static const char* const kTopic3[] = {"QORVANE FIT CONTROL & STARTING VALUE FILES",
                                      "",
                                      "The compact file has seven blocks:",
                                      "1 version indicator : the first word is  version_3",
                                      "2 spectrum information, one key and value per line:",
                                      "    n_pnts  number of complex points (2^n)          e.g. n_pnts 1024",
                                      "    noistr  first point of the noise interval        e.g. noistr 900",
                                      "    noistp  last point of the noise interval         e.g. noistp 1000",
                                      "    nLines  number of analytic lines                 e.g. nLines 3",
                                      "    lsfcfs  number of line-shape coefficients        e.g. lsfcfs 0",
                                      "    phi__1  first-order phase [degrees]              e.g. phi__1 0.0",
                                      "    Hz_p_p  Hz per point                             e.g. Hz_p_p 1.0",
                                      "    f__tol  relative chi-square stop tolerance        e.g. f__tol 1.0E-07",
                                      "    fit_mo  1 plain, 2 reference line, 3 lsf fit      e.g. fit_mo 1",
                                      "    verbos  console detail 0..3                      e.g. verbos 1",
                                      "    showli  line shown in detail                     e.g. showli 1",
                                      "    clcerr  1 = Cramer-Rao bounds                    e.g. clcerr 1",
                                      "    sg_idl  data format sage_idl, sage or none       e.g. sg_idl none",
                                      "    ranges  parameter ranges 0..3                    e.g. ranges 1",
                                      "    ignore  leading time points set to zero          e.g. ignore 0",
                                      "    pattrn  number of patterns                       e.g. pattrn 0",
                                      "3 pattern references: one .bin or .pat path per pattern",
                                      "4 fit strategy: a header line starting with 'algor', then one line per step:",
                                      "    @ algor trunc ampli frequ width phase voigt lsfft wtype convo niter",
                                      "      cmplx n_int min max [min max ...]",
                                      "    algor 1 random search (then Levenberg-Marquardt), 2 Levenberg-Marquardt",
                                      "    (conjugate gradients with --minimizer classic); trunc time-domain",
                                      "    truncation point; the five 0/1 group switches; lsfft 0/1; wtype 1 or 7;",
                                      "    convo 0/1 frequency pre-alignment; niter iterations; cmplx 0 absorption,",
                                      "    1 dispersion, 2 complex, 3 magnitude, 4 power; n_int intervals.",
                                      "    e.g. @ 2 1024  1  1  1  1  1  0  1  0  550  2  1  1 1023",
                                      "5 starting values: header line starting with 'number', then per line",
                                      "    index area frequency[Hz] gausswidth[Hz] phase[deg] lorentzwidth[Hz]",
                                      "6 prior knowledge with ranges: per line '#i lsffit <0/1>' and five records",
                                      "    type fixed-to value min max   (type 1 Gauss, 2 Lorentz, 3 Voigt, 4 pattern;",
                                      "    fixed-to 0 free, own line fixed, other line tied)",
                                      "7 line-shape coefficients between 'lsf_coefs' and 'end_of_lsf'",
                                      nullptr};

static const char* const kTopic4[] = {"OUTPUT FILES 'compact.par' AND 'verbose.par'",
                                      "",
                                      "After a fit both forms of the fit control file are written again with the",
                                      "fitted values as starting values, so that they can start the next fit.",
                                      "<input>.compact.par lies beside the data and is overwritten on each",
                                      "successful run; <parameter file>_verbose.par carries comments on each item.",
                                      nullptr};

static const char* const kTopic5[] = {"THE '.exl' OUTPUT FILE",
                                      "",
                                      "A tab-separated file for spreadsheets:",
                                      "line 1 : the call of the program",
                                      "line 3 : the fit mode of the last step",
                                      "line 4 : 9 numbers: fit quality, noise sd absorption and dispersion,",
                                      "         chi-square before and after (weighted, unweighted), iterations,",
                                      "         weighting type, number of fitted parameters, and the",
                                      "         normalised chi-square",
                                      "then one line of 19 numbers per line or pattern: number, type, and value,",
                                      "error and fixed-to line of the five parameters, and the dead-time corrected",
                                      "area with its error.",
                                      nullptr};

static const char* const kTopic6[] = {"OUTPUT FILES",
                                      "",
                                      "binary (same layout as the input spectrum):",
                                      "  .org     measured spectrum, ignored points zeroed",
                                      "  .cororg  measured spectrum, frequency-shifted and phase-corrected",
                                      "           (.cor without sage_idl)",
                                      "  .fit     fitted model, overlays .org",
                                      "  .fit0    fitted model extrapolated to t = 0",
                                      "  .res     residual .org - .fit",
                                      "  .nln     every line of the model separately (.nln0)",
                                      "text:",
                                      "  .exl     spreadsheet results",
                                      "  .fitres  result tables",
                                      "  .mat     parameter matrix (.err: its errors)",
                                      nullptr};

static const char* const kTopic7[] = {"NON LINEAR LEAST SQUARE MINIMIZATION",
                                      "",
                                      "The program minimises  sum_i Q(i)*(M(w(i),p)-O(w(i)))^2  over the frequency",
                                      "points w(i) of the fit intervals, M being the model for parameters p, O the",
                                      "observed spectrum and Q(i) the weight.",
                                      "Levenberg-Marquardt (algor 2) works on the residuals themselves, with",
                                      "analytic model derivatives and Marquardt scaling; it converges fast and",
                                      "to the minimum from reasonable starting values. The constrained random",
                                      "search (algor 1) explores the parameter ranges of the prior-knowledge",
                                      "block without derivatives and is then refined by Levenberg-Marquardt.",
                                      "--minimizer classic runs the classic scheme instead: conjugate gradients",
                                      "(Polak-Ribiere, Brent line search) and the random search alone; they are",
                                      "also used for weighting type 3 and for line-shape coefficient passes.",
                                      "The spectrum of a line without Gaussian decay is a geometric sum and is",
                                      "evaluated in closed form (no FFT, no exponential per point); --line-spectra",
                                      "fft builds every line from its time signal and an FFT instead.",
                                      nullptr};

static const char* const kTopic8[] = {"PATTERNS AND PRIOR KNOWLEDGE",
                                      "",
                                      "A pattern is a complex array with 5 attributes: an area FACTOR and the",
                                      "DIFFERENCES of frequency, Gaussian width, phase and Lorentzian width.",
                                      "A .bin pattern is a measured spectrum of N complex floats; a .pat pattern",
                                      "lists its lines, e.g.:",
                                      "  start_pattern",
                                      "  number_of_lines 2",
                                      "  parameters name line_type area frequency gauss_width zero_phase lorentz_width",
                                      "  NAA1 voigt 1.0 200.0 2.0 0.0 1.0",
                                      "  NAA2 lorentz 0.5 210.0 0.0 0.0 1.0",
                                      "  end_of_pattern",
                                      "Prior knowledge ties a parameter to the same parameter of another line:",
                                      "areas keep their ratio, the other parameters their difference.",
                                      nullptr};

// Topic 3: the fit-control file's blocks, keywords and examples.
void help_text_3() {
    qorvane_help_lines(kTopic3);
    qorvane_help_trailer(3);
}

int qorvane_print_help_topic(unsigned n) {
    static const char* const* const topics[] = {kTopic0, kTopic1, kTopic2, kTopic3, kTopic4,
                                                kTopic5, kTopic6, kTopic7, kTopic8};
    if (n > 8) {
        qorvane_print_help_overview();
        return 1;
    }
    if (n == 3) {
        help_text_3();
        return 0;
    }
    qorvane_help_lines(topics[n]);
    qorvane_help_trailer((int)n);
    return 0;
}

void qorvane_print_help_overview() {
    static const char* const desc[] = {"about qorvane",
                                       "general program characteristics",
                                       "input data file format",
                                       "starting value and fitcontrol file format",
                                       "description of output compact.par file",
                                       "description of output .exl file",
                                       "description of all binary output files",
                                       "description of used minimization routines",
                                       "description on the usage of patterns"};
    char rule[72];
    memset(rule, '-', 71);
    rule[71] = '\0';
    puts(rule);
    puts("///////////////////////////qorvane help/////////////////////////////// ");
    puts("Overview help: ");
    puts(rule);
    for (int i = 0; i < 9; ++i) printf("| {prompt} qorvane -h %d  |  %-42s|\n", i, desc[i]);
    puts(rule);
}
