// RF pulse optimiser of the vyn engine and the sector-optimisation context.
//
// The pulse of the current sector (vyn_prop.ap samples of step vyn_prop.h in
// vyn_waveform.xb/yb) is described by npar Fourier-mode parameters
// (rfpulseparam.h). The objective is -Re<O> (or -|<O>|, see below) after the
// pulse has acted on a state; it is minimised by Polak-Ribiere conjugate
// gradients with a forward-difference gradient, a bracketing step and Brent's
// line search.
//
// Without a prepared sector the pulse acts on vyn_spin.densmat with the
// offset gs*x0_s and O = vyn_spin.Istat; the objective is -Re<O>. Once
// VYNOptimizationPrepareCurrent2DSequenceSector has stored a prefix state and
// a suffix observable in g_vyn_opt_ctx, every evaluation starts from rho_in,
// uses the sector's static offset, measures obs_out and applies the context's
// objective mode. Each evaluation reuses the engine's sector propagator and
// module scratch: no allocation, no file I/O.
#pragma once

#include "matrixmathlib.h"
#include "rfpulseparam.h"  // VYN_MAX_NPAR

enum VYNOptObjectiveMode {
    VYN_OPT_OBJECTIVE_RE_EXPECT = 0,   // objective -Re<O>
    VYN_OPT_OBJECTIVE_ABS_EXPECT = 1,  // objective -|<O>|
};

struct VYNOptContext {
    int initialized;  // 1 once set up
    int has_prefix_state;
    int has_suffix_observable;
    VYNOptObjectiveMode objective_mode;
    double sector_offset_rad;  // rad/s
    CMatrix rho_in;            // state entering the optimised sector
    CMatrix obs_out;           // observable as seen at the end of the optimised sector
};
extern VYNOptContext g_vyn_opt_ctx;

// Optimiser state: the parameter vector and the line-search vectors.
struct VYNOptimizerState {
    int npar;  // 1..VYN_MAX_NPAR
    double par[VYN_MAX_NPAR];
    double pcom[VYN_MAX_NPAR];
    double xicom[VYN_MAX_NPAR];
    int vyn_ncom;
    double xt[VYN_MAX_NPAR];  // gradient scratch (npar <= VYN_MAX_NPAR)
    int last_iterations;      // of the last StartOptimization
    double last_minimum;      // objective value it reached
    int literal_products;     // 0: per n the faster of the two (measured: the literal product below 32
                              //    states, the fast step factors from 32), 1: always the literal series
                              //    product (the reference), 2: always the fast step factors (agree to 1e-12)
};
extern VYNOptimizerState vyn_opt;

// --- objective and minimiser ----------------------------------------------
double fnc(const double* parvec);
void dfnc(double f, const double* parvec, int nn, double* df);
double func(double x);
void frprmn(double* parvec, int nn, double ftol, int* iter, double* fret);
void linmin(double* parvec, double* xi, int nn, double* fret);
void mnbrak(double* ax, double* bx, double* cx, double* fa, double* fb, double* fc);
double brent(double ax, double bx, double cx, double tol, double* xmin);
double sign_double(double a, double b);  // |a| with the sign of b (b >= 0 counts as positive)
double vyn_max(double a, double b);

// Gradient step of parameter p: p/1e7, or 1e-7 when p is exactly 0.
double vyn_opt_gradient_step(double p);
// Stopping rule of the conjugate gradients: 2|fret - fp| <= ftol (|fret| + |fp| + 1e-10).
bool vyn_opt_converged(double fret, double fp, double ftol);

// Replaces the spin objective by f(p, user) (nullptr restores it). Lets the
// minimiser be driven on any function of npar variables.
void vyn_opt_set_objective(double (*f)(const double* p, void* user), void* user);

// True when ap is a sample count the parameter conversions accept (a power of
// two in 2..VYN_MAX_RF_POINTS); otherwise prints why and returns false.
bool vyn_opt_check_sample_count(int ap);

// Runs the minimiser from vyn_opt.par (npar parameters), converts the result
// into xb/yb and offers to write it as a pulse CSV with a plot. Returns 1 when
// the minimiser ran, 0 when refused (npar not set, unusable sample count).
int StartOptimization();

// --- optimisation context -------------------------------------------------
void VYNOptContext_Init(VYNOptContext* ctx);
void VYNOptContext_SetObjectiveMode(VYNOptContext* ctx, VYNOptObjectiveMode mode);
void VYNOptContext_SetPrefixState(VYNOptContext* ctx, const CMatrix* rho);
void VYNOptContext_SetSuffixObservable(VYNOptContext* ctx, const CMatrix* obs);
void VYNOptContext_SetStaticSectorOffsetRad(VYNOptContext* ctx, double offset);
void VYNOptimizationResetContext();
void VYNOptimizationSetObjectiveMode(VYNOptObjectiveMode mode);
void VYNOptimizationSetPrefixState(const CMatrix* rho);
void VYNOptimizationSetSuffixObservable(const CMatrix* obs);
void VYNOptimizationSetStaticSectorOffsetRad(double offset);
// True once a prefix state and a suffix observable are stored (the objective
// then evaluates through the context).
bool vyn_opt_context_active();

// --- sector workflow (1D/2D sequences) ------------------------------------
// Each returns 1 on success, 0 on failure (with the messages printed).
int vynopt_load_waveform_xy(const char* path, int n, double* xb, double* yb);
int vynopt_build_sector_propagator_2d(int sector_index, CMatrix& U);
int vynopt_apply_sector_forward_2d(int sector_index, CMatrix& rho);
int vynopt_apply_sector_backward_to_observable_2d(int sector_index, CMatrix& obs);
int vynopt_load_selected_sector_into_runtime(int sector_index);
// Checks the sequence and sector k, carries the initial state forward through
// sectors 1..k-1 and vyn_spin.Istat backward through nos..k+1, loads sector k
// into the engine state and stores everything in g_vyn_opt_ctx.
int VYNOptimizationPrepareCurrent2DSequenceSector(int sector_index, int objective_mode);

// Engine-internal: the product of the interval factors of count samples x, y
// of step h with the static offset (rad/s) and hc = Izee + Icoup, into out
// (literal or fast step factors as vyn_opt.literal_products selects).
void vynopt_sector_product(int n, const double* x, const double* y, int count, double h, double offset,
                           const CMatrix& hc, CMatrix& out);
