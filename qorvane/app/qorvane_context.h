// State of one running spectral fit.
//
// Every piece of mutable fit state lives in one QorvaneFitContext, allocated
// zero-filled per fit and reached only through the thread-local pointer
// g_qorvane_ctx, so that several fits can run at once on worker threads.
//
// Index conventions:
//   - spectra and time-domain signals are 0-based (point 0 is 0 Hz / t = 0);
//   - lines, patterns, strategy steps, intervals and parameters are 1-based
//     (index 0 is never used);
//   - line i (1..nLines+pattrn) owns parameters 5*(i-1)+1 .. 5*(i-1)+5 in the
//     order area, frequency, width1, phase, width2 (see QORVANE_PAR_*); the
//     2*lsfcfs line-shape coefficients follow from lsf_start+1 on.
#ifndef QORVANE_CONTEXT_H
#define QORVANE_CONTEXT_H

#include <cstddef>

// ---- capacities ---------------------------------------------------------
enum {
    QORVANE_MAX_LINES = 49,      // lines + patterns
    QORVANE_MAX_PARAMS = 350,    // 5*(lines+patterns) + 2*lsfcfs
    QORVANE_MAX_STEPS = 19,      // stored strategy steps
    QORVANE_MAX_INTERVALS = 10,  // frequency intervals per step
    QORVANE_MAX_POINTS = 16384,  // complex points of a spectrum (power of 2)
    QORVANE_MAX_LOG2_POINTS = 14,
    QORVANE_PATTERN_POINTS = 4096,    // pattern store: N <= 4096 with patterns
    QORVANE_PATTERN_PATH_SLOT = 200,  // bytes per pattern path (199 chars + NUL)
    QORVANE_PATH_MAX = 1024,          // any path or file name held in the context
    QORVANE_CMDLINE_MAX = 4352,       // command-line record (words + tabs)
    QORVANE_WORD_MAX = 32,            // data-format word
    QORVANE_STATUS_MESSAGE_MAX = 512,
    QORVANE_SAGE_TEXT = 64,              // text field of the sage_idl header
    QORVANE_SAGE_USER_FIELDS = 16,       // user fields kept from a header
    QORVANE_SAGE_MAX_USER_COUNT = 4096,  // most user fields a header may declare
    QORVANE_SAGE_DIMS = 4
};

// Offsets of the five parameters of a line (parameter index = 5*(i-1) + offset).
enum {
    QORVANE_PAR_AREA = 1,
    QORVANE_PAR_FREQ = 2,
    QORVANE_PAR_WIDTH1 = 3,  // primary width: Gaussian (types 1, 3), Lorentzian (type 2)
    QORVANE_PAR_PHASE = 4,
    QORVANE_PAR_WIDTH2 = 5  // Lorentzian part of a Voigt line (type 3)
};

// Line types (on a line's area record).
enum { QORVANE_LINE_GAUSS = 1, QORVANE_LINE_LORENTZ = 2, QORVANE_LINE_VOIGT = 3, QORVANE_LINE_PATTERN = 4 };

// Data-format codes of the sg_idl word.
enum { QORVANE_FORMAT_SAGE_IDL = 1, QORVANE_FORMAT_SAGE = 2, QORVANE_FORMAT_NONE = 3 };

// Outcome of a library operation that may meet a fatal condition. Library code
// never ends the process: it prints the fixed-wording lines where the condition
// is found, records it here (first fatal one wins) and returns to its caller;
// the program entry turns exit_code into the process exit code.
struct QorvaneStatus {
    int fatal;                                 // 0 = fine, 1 = the fit must stop
    int exit_code;                             // exit code the program entry should use
    char message[QORVANE_STATUS_MESSAGE_MAX];  // one-line description
};

// Exit code of a fit that stopped on errors in its fit-control file ("parameter-file read error").
enum { QORVANE_EXIT_FIT_CONTROL = 3 };

// Return codes of the status-returning functions of the fitter library.
enum { QORVANE_RC_OK = 0, QORVANE_RC_FATAL = -1 };

// Prior-knowledge record, one per parameter.
struct QorvaneFixPar {
    int type;      // line type 1..4 (the line's type is the one on its area record)
    int fixed_to;  // 0 = free; own line = fixed; other line p = tied to line p
    double value;  // starting value as given with the prior knowledge
    double min;    // range for random minimisation
    double max;
};

// Header record of the ".shf" companion of a sage_idl data file.
struct QorvaneSageDimension {
    int number;
    char domain[QORVANE_SAGE_TEXT];       // Time, Space, Frequency, Kspace, None
    char orientation[QORVANE_SAGE_TEXT];  // RL, AP, SI, NA
    int npoints;
    float width;
    float zero_time;
    float zero_freq;
    float slice_location;
    float slice_thickness;
    float time_phase_correction;
    float freq_phase_correction;
};

struct QorvaneSageIdlHeader {
    // sagekey_datafiles
    char header_name[QORVANE_PATH_MAX];
    int n_data_files;
    char data_file_name[QORVANE_PATH_MAX];
    char file_type[QORVANE_SAGE_TEXT];
    char data_precision[QORVANE_SAGE_TEXT];  // Byte, 16 Bit, 32 Bit, Float
    int data_offset;
    // sagekey_patient
    char patient_site[QORVANE_SAGE_TEXT];
    char patient_id[QORVANE_SAGE_TEXT];
    char patient_name[QORVANE_SAGE_TEXT];
    char patient_age[QORVANE_SAGE_TEXT];
    char patient_sex[QORVANE_SAGE_TEXT];
    int study_number;
    int series_number;
    char time_acquired[QORVANE_SAGE_TEXT];
    char date_acquired[QORVANE_SAGE_TEXT];
    // sagekey_sequence
    char sequence_name[QORVANE_SAGE_TEXT];
    float release;
    float tr, te, ti, tm, tg;
    int r1, r2;
    // sagekey_display
    char display_type[4][QORVANE_SAGE_TEXT];  // Spectrum, Image, Grid, Stack, Data, None
    char display_channel[QORVANE_SAGE_TEXT];  // Real, Imaginary, Magnitude, Power, Phase
    // sagekey_datainfo
    char data_type[QORVANE_SAGE_TEXT];  // Real or Complex
    float centre_frequency_mhz;
    float ppm_offset;
    // sagekey_processing
    float phase0;
    float phase1;
    char lb_type[QORVANE_SAGE_TEXT];
    float lb1;
    float lb2;
    // sagekey_userinfo
    int n_user_fields;  // as in the file (may exceed the stored ones)
    char user_name[QORVANE_SAGE_USER_FIELDS][QORVANE_SAGE_TEXT];
    char user_value[QORVANE_SAGE_USER_FIELDS][QORVANE_SAGE_TEXT];
    // sagekey_dimension, dimensions 0..3
    QorvaneSageDimension dim[QORVANE_SAGE_DIMS];
};

// One strategy step ("@" line) of the fit-control file.
struct QorvaneStrategyStep {
    int algor;                              // 1 random search, 2 conjugate gradients
    int trunc;                              // time-domain truncation point 1..N
    int ampli, frequ, gauss, phase, loren;  // group switches 0/1
    int lsfft;                              // fit line-shape coefficients 0/1
    int wtype;                              // weighting type
    int convo;                              // convolution pre-step 0/1
    int niter;                              // iteration limit
    int cmplx;                              // spectrum mode 0..4
    int n_int;                              // number of intervals 1..10
    int min[QORVANE_MAX_INTERVALS + 1];     // 1-based interval bounds (point numbers)
    int max[QORVANE_MAX_INTERVALS + 1];
};

// FFT twiddle cache: for stage s = 1..stages (m = 2^s) the pair
// sin(theta/2), sin(theta) with theta = -2*pi/m (the forward direction).
struct QorvaneTwiddleCache {
    int stages;  // number of stages cached (0 = not built)
    double half_sin[QORVANE_MAX_LOG2_POINTS + 1];
    double sin_theta[QORVANE_MAX_LOG2_POINTS + 1];
};

struct QorvaneFitContext {
    QorvaneStatus status;  // first fatal condition of this fit

    // ---- set by the program entry --------------------------------------
    char data_path[QORVANE_PATH_MAX];       // work directory + "/"
    char input_name[QORVANE_PATH_MAX];      // spectrum file name (at most 255 chars)
    char parameter_file[QORVANE_PATH_MAX];  // fit-control path; renamed by the verbose writer
    char cmdline[QORVANE_CMDLINE_MAX];      // command-line words, each followed by a tab
    // Where the verbose fit-control file goes: "<verbose_stem>_verbose.par"; empty = beside
    // the parameter file ("<parameter file less .par>_verbose.par").
    char verbose_stem[QORVANE_PATH_MAX];

    // ---- fit-control values (compact keys) ------------------------------
    int n_pnts;                     // N complex points (power of 2)
    int noistr;                     // first point of the noise interval
    int noistp;                     // last point (exclusive) of the noise interval
    int nLines;                     // analytic lines
    int lsfcfs;                     // complex line-shape coefficients
    double phi_1;                   // first-order phase in degrees (acquisition delay)
    double hz_p_p;                  // Hz per point
    double f_tol;                   // conjugate-gradient stop tolerance
    int fit_mo;                     // 1 plain, 2 reference line shape, 3 fitted line-shape coefficients
    int verbos;                     // console detail 0..3
    int showli;                     // line printed at verbosity 2 and 3
    int clcerr;                     // 1 = Cramer-Rao bounds after the fit
    char sg_idl[QORVANE_WORD_MAX];  // "sage_idl", "sage" or "none"
    int data_format;                // QORVANE_FORMAT_*
    int par_ranges;                 // "ranges" key, 0..3
    int ignore;                     // leading time-domain points set to zero
    int pattrn;                     // number of patterns
    int ref_lineshape_on;           // fit_mo 2: reference line shape multiplies every line

    // pattern references, slots 1..pattrn
    char pattern_path[QORVANE_MAX_LINES + 1][QORVANE_PATTERN_PATH_SLOT];

    // fit strategy, steps 1..nsteps
    int nsteps;
    QorvaneStrategyStep step[QORVANE_MAX_STEPS + 1];

    // parameters (1-based), internal units: frequencies and widths in points
    int npar;                                 // 5*(nLines+pattrn) + 2*lsfcfs
    int lsf_start;                            // coefficients occupy lsf_start+1 .. lsf_start+2*lsfcfs
    double par_vec[QORVANE_MAX_PARAMS + 1];   // current parameter vector
    double wpar[QORVANE_MAX_PARAMS + 1];      // working parameter vector
    double par_bu[QORVANE_MAX_PARAMS + 1];    // backup of a parameter vector
    double par_copy[QORVANE_MAX_PARAMS + 1];  // starting values as read
    double errpar[QORVANE_MAX_PARAMS + 1];    // Cramer-Rao errors
    double pcom[QORVANE_MAX_PARAMS + 1];      // line-minimisation origin
    double xicom[QORVANE_MAX_PARAMS + 1];     // line-minimisation direction
    double xt[QORVANE_MAX_PARAMS + 1];        // scratch vector of the line function
    int ncom;                                 // dimension of the line minimisation
    QorvaneFixPar fixpar[QORVANE_MAX_PARAMS + 1];
    char par_name[QORVANE_MAX_PARAMS + 1][16];
    int lsffit[QORVANE_MAX_LINES + 1];       // per line: multiply by the line-shape function
    double par_min[QORVANE_MAX_PARAMS + 1];  // random-search ranges
    double par_max[QORVANE_MAX_PARAMS + 1];

    // output copies in file units (natural_frequency)
    double o_par[QORVANE_MAX_PARAMS + 1];
    double o_errpar[QORVANE_MAX_PARAMS + 1];
    QorvaneFixPar o_fixpar[QORVANE_MAX_PARAMS + 1];

    // reader / checker outcome
    int fcntl_faulty;  // fit-control file unsupported or corrupt: fit ends without fitting
    int init_ok;       // cleared by each fatal check of test_init_value_file

    // ---- spectrum data (0-based, N points) ---------------------------------
    char data_name[QORVANE_PATH_MAX];    // input name, + ".sdf" for sage_idl
    char header_name[QORVANE_PATH_MAX];  // input name + ".shf" for sage_idl
    QorvaneSageIdlHeader idl;
    double sigma_abs;   // noise standard deviation, absorption (real) channel
    double sigma_disp;  // noise standard deviation, dispersion (imaginary) channel
    double xre[QORVANE_MAX_POINTS], xim[QORVANE_MAX_POINTS];                  // data as fitted now
    double shifted_xre[QORVANE_MAX_POINTS], shifted_xim[QORVANE_MAX_POINTS];  // for corrected output
    double xre_copy[QORVANE_MAX_POINTS], xim_copy[QORVANE_MAX_POINTS];        // untouched data
    double yre[QORVANE_MAX_POINTS], yim[QORVANE_MAX_POINTS];                  // model
    double wre[QORVANE_MAX_POINTS], wim[QORVANE_MAX_POINTS];                  // weights
    double w_bre[QORVANE_MAX_POINTS], w_bim[QORVANE_MAX_POINTS];              // working arrays
    double xas[QORVANE_MAX_POINTS];
    double re_ref[QORVANE_MAX_POINTS], im_ref[QORVANE_MAX_POINTS];  // reference line shape (time domain)
    double r_lsf[QORVANE_MAX_POINTS], i_lsf[QORVANE_MAX_POINTS];    // line-shape function (time domain)

    // ---- spectral model -----------------------------------------------------
    int trunc;  // current step's truncation point
    // pattern store: per pattern 4096 real parts then 4096 imaginary parts
    double pattern_store[QORVANE_MAX_LINES + 1][2 * QORVANE_PATTERN_POINTS];
    double pattern_norm[QORVANE_MAX_LINES + 1];                       // |s_0| of each pattern before normalisation
    QorvaneTwiddleCache twiddles;                                     // FFT twiddle cache
    double fft_work[2 * QORVANE_MAX_POINTS];                          // interleaved complex scratch
    double line_re[QORVANE_MAX_POINTS], line_im[QORVANE_MAX_POINTS];  // one line's spectrum
    double vec_re[QORVANE_MAX_POINTS], vec_im[QORVANE_MAX_POINTS];    // vector-operation scratch
    // closed-form line spectra: QORVANE_LINE_SPECTRA_* of this fit, and exp(-2 pi i m / N) for
    // m < roots_n (0 = not built yet)
    int line_spectra;
    int roots_n;
    double root_re[QORVANE_MAX_POINTS], root_im[QORVANE_MAX_POINTS];

    // ---- current strategy step ---------------------------------------------
    int cur_step;
    int fit_ampli, fit_frequ, fit_gauss, fit_phase, fit_loren;
    int lsfft;
    int wtype;  // weighting type (default 1)
    int convo;
    int niter;        // default 100
    int brent_itmax;  // default 100
    int cmplx;
    int n_int;
    int int_min[QORVANE_MAX_INTERVALS + 1];
    int int_max[QORVANE_MAX_INTERVALS + 1];
    int fit_range;            // sum over intervals of (max - min)
    int algor;                // algorithm code (default 2)
    double grad_step_factor;  // 1.0E+07
    double tiny_tol;          // 1.0E-10

    // ---- fit results ---------------------------------------------------------
    double scale_factor;  // area scale S
    double chi2_before;
    double chi2_before_scaled;
    double chi2_after;  // weighted
    double chi2_after_unweighted;
    int iterations;              // of the last step
    int step_converged;          // 1 when the last minimisation met its tolerance
    int unconverged_steps;       // steps stopped by their iteration limit
    int first_unconverged_step;  // the first of them (0 = none)
    int n_fitted;                // number of fitted parameters
    double fit_quality_before;
    double fit_quality_after;
    double freq_shift_applied;  // points, corrected output
    unsigned int random_state;  // random search generator state (seeded per call)

    // output names
    char out_stem[QORVANE_PATH_MAX];  // data path + stem

    // ===================================================================
    // fit engine scratch
    // (owned by the fit engine; appended there, not used by io/ or model/)
    // ===================================================================
    struct QorvaneFitEngineScratch *engine;  // allocated and freed with the fit

    // Volume mode hands a voxel's spectrum in memory (interleaved little-endian float32
    // pairs, read instead of data_path + data_name) and keeps the result files in memory
    // (qmemfile.h); both null for a fit of files.
    const unsigned char *memory_spectrum;
    size_t memory_spectrum_bytes;
    struct QorvaneMemoryFiles *memory_outputs;
};

// The fit context of the calling thread (null when no fit runs on it).
// Defined here with its constant initialiser so that every user accesses it
// directly rather than through a thread-local wrapper function.
inline thread_local QorvaneFitContext *g_qorvane_ctx = nullptr;

// Allocates a zero-filled context (null on memory shortage); frees one.
QorvaneFitContext *qorvane_context_create();
void qorvane_context_destroy(QorvaneFitContext *ctx);

// Returns a context after a fit to the all-zero state of a fresh one, clearing the per-point
// arrays only as far as that fit's n_pnts (and its pattern slots) reached.
void qorvane_context_clear_used(QorvaneFitContext *ctx);

// Sets the defaults that hold before a fit-control file is read.
void qorvane_context_set_defaults(QorvaneFitContext *ctx);

// Records a fatal condition (only the first one is kept) and returns QORVANE_RC_FATAL.
int qorvane_status_fail(QorvaneStatus *status, int exit_code, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void qorvane_status_clear(QorvaneStatus *status);

// Parameter index of parameter `offset` (QORVANE_PAR_*) of line `line` (1-based).
inline int qorvane_par_index(int line, int offset) { return 5 * (line - 1) + offset; }

// Bounded copy; returns 0, or -1 with an empty destination when the text does not fit.
int qorvane_copy_text(char *dst, size_t dstsz, const char *src);

#endif
