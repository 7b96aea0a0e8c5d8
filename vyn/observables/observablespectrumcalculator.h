// Receiver signals (free-induction decays) and spectra of stored density
// matrices: per-matrix signals by direct propagation, the average spectrum
// from the analytic line list, the 2D transform, and the CSV / gnuplot /
// PV-WAVE exports. All matrices are CMatrix values of the active dimension n.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "matrixmathlib.h"
#include "spinoperatorlib.h"
#include "vyn_sequence_state.h"  // VYNSlowBandSplitConfig
#include "vyn_state.h"           // VYN_GetSmokeCheckMode

// x, or 0 when x is not finite (written samples are always finite).
inline double finite_or_zero(double x) { return std::isfinite(x) ? x : 0.0; }

// Direct propagation of rho under Hprime (already negated Hamiltonian, rad/s):
// re[k] = Re Tr(Ox rho_k), im[k] = Re Tr(Oy rho_k), rho_k at time k*acq/np.
// rho is used as working storage and ends as the last propagated state.
void build_direct_observable_signal(int n, int np, double acq, CMatrix& rho, const CMatrix& Hprime, const CMatrix& Ox,
                                    const CMatrix& Oy, double* re_out, double* im_out);

// Sum of cosine and sine lines (line lists as DoSpectrum writes them:
// [1][k] amplitude, [2][k] frequency in Hz) sampled at t = k*acq/(np-1).
void build_scalar_signal_from_spectrum(int np, double acq, const double cos_list[3][257], int ncos,
                                       const double sin_list[3][257], int nsin, double* out);

double SeparateSpectra_GenerateSignalWithParamsAndSlowSplit(const int* n, int np, double acq, double f_off,
                                                            const char* output_name,
                                                            const VYNSlowBandSplitConfig* slow_cfg, CMatrix& scratch,
                                                            const CMatrix& H0, const CMatrix& Ox, const CMatrix& Oy,
                                                            const CMatrix& Oz, const SpinKet& ket,
                                                            const SpinIList& Ilist);
double SeparateSpectra_GenerateSignalWithParams(const int* n, int np, double acq, double f_off, const char* output_name,
                                                CMatrix& scratch, const CMatrix& H0, const CMatrix& Ox,
                                                const CMatrix& Oy, const CMatrix& Oz, const SpinKet& ket,
                                                const SpinIList& Ilist);
double SeparateSpectra_GenerateSignal(const int* n, int* np, CMatrix& scratch, const CMatrix& H0, const CMatrix& Ox,
                                      const CMatrix& Oy, const CMatrix& Oz, const SpinKet& ket, const SpinIList& Ilist);
void SeparateSpectra(const int* n, int* np, CMatrix& scratch, const CMatrix& H0, const CMatrix& Ox, const CMatrix& Oy,
                     const CMatrix& Oz, const SpinKet& ket, const SpinIList& Ilist);
// Returns the acquisition time of the written average signal, 0 on failure.
double AverageSpectrum(const int* n, int* np, CMatrix& accumulator, const CMatrix& H0, const CMatrix& Ox,
                       const CMatrix& Oy, const CMatrix& Oz, const SpinKet& ket, const SpinIList& Ilist);
// Non-interactive core of the average spectrum: sums dm.bin, builds the line
// lists and writes "vynsign.bin". Returns acq on success, 0 on failure.
double AverageSpectrum_WithParams(int n, int np, double acq, double f_off, CMatrix& accumulator, const CMatrix& H0,
                                  const CMatrix& Ox, const CMatrix& Oy, const CMatrix& Oz);
void Determine2DSpectrum(const int* n, int* np, CMatrix& scratch, const CMatrix& H0, const CMatrix& Ox,
                         const CMatrix& Oy, const CMatrix& Oz, const SpinKet& ket, const SpinIList& Ilist);

// --- multiplet-resolved export of a slow-band single-matrix signal ---------
constexpr double VYN_MULTIPLET_CLUSTER_TOLERANCE_HZ = 7.0;
constexpr double VYN_PROTON_GAMMA_MHZ_PER_T = 42.57747892;
constexpr int VYN_MULTIPLET_MAX_CLUSTERS = 64;
constexpr size_t VYN_MULTIPLET_NAME_MAX = 1024;

struct VYNMultipletCluster {
    double center_hz;    // running mean of the member offsets, Hz
    double weight;       // number of member spins
    uint32_t spin_mask;  // bit s for member spin s
    int has_metadata_ppm;
    double metadata_ppm;
    double* sig_re;  // np samples, owned while the export runs
    double* sig_im;
};

// Writes np (re, im) pairs, non-finite values as 0. False on a write error.
bool write_signal_trace(FILE* f, int np, const double* re, const double* im);
// Groups the existing spins (Ilist[s] > 0) inside the spectral window by
// offset: a spin joins the nearest cluster within 7.0 Hz (the later one on a
// tie), else opens a new one. Returns the number of clusters (at most 64).
int vyn_cluster_spins_by_offset(const double* resofreqs, const SpinIList& Ilist, int np, double acq,
                                VYNMultipletCluster* clusters);
// Gives a cluster the chemical shift of every spin subgroup it contains whole.
void vyn_label_clusters_from_subgroups(VYNMultipletCluster* clusters, int count);
// Name of a cluster's file: the signal name (ending "_td.bin") with
// "-[x.xxxppm]" or "-[x.xHz]" before "_slow_"/"_SLOW_" or "_td.bin".
bool slow_multiplet_output_filename(const char* signal_name, double center_hz, const VYNSlowBandSplitConfig* cfg,
                                    int has_metadata_ppm, double metadata_ppm, char* out, size_t size);
// Splits the receiver signal Tr((Ox + i Oy) rho(t)) of one matrix by cluster,
// transition by transition in the eigenbasis of Hprime (n up to 256), and
// writes one file per cluster. Returns the number of files written.
int write_slow_multiplet_outputs(const char* signal_name, int n, int np, int traces, double acq, const CMatrix& rho,
                                 const CMatrix& Hprime, const CMatrix& Ox, const CMatrix& Oy,
                                 const VYNSlowBandSplitConfig* cfg, const SpinIList& Ilist);

void SpectrumOutputMenu(double acq);
bool Create_CSV_Files(double acq, char* fd_name_out, size_t fd_name_size);
// Writes "<base>_td.csv" and "<base>_fd.csv" from "vynsign.bin" without asking.
bool Create_CSV_Files_Named(double acq, const char* base, char* fd_name_out, size_t fd_name_size);
bool WriteGnuplotSpectrumScript(const char* script_name, const char* data_name, const char* title);
bool AskOpenPlotNow();
void Create_PV_WAVE_File();
bool Create_PV_WAVE_File_Named(const char* output_name);
void Calc2Dfft();
void TransposeDataMatrix(const char* in_name, const char* out_name);
