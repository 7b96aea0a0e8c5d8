// RF pulses as Fourier-mode parameter vectors and as sector waveform files.
//
// Mode vector par[0..npar-1]: entries 0..npar/2-1 describe the x channel,
// entries from npar/2 on the y channel. Within a channel (base b), mode j
// holds in par[b+2j] the real part of the spectral coefficient at frequency
// index +j and in par[b+2j+1] the imaginary part of the coefficient at index
// +(j+1); mode 0 is the constant term. The spectrum of a channel is the
// centred transform fft of its ap real samples (forward, no scaling) with
// zero frequency at index ap/2.
//
// Sector waveform files are raw little-endian binary64 arrays of ap values:
//   spatial sector: xb, yb, gx, gy, gz  (40*ap bytes)
//   2D sector:      xb, yb              (16*ap bytes)
#pragma once

#include <cstddef>

#include "vyn_waveform_state.h"

constexpr int VYN_MAX_NPAR = 160;  // capacity of the optimiser's mode vector

// Number of modes per channel: min(max(ap/2, 1) - 1, npar/4), never negative.
int rfpulseparam_max_modes(int npar_local, int ap_local);

// The conversions do nothing unless npar >= 1 and ap is a power of two in
// 2..VYN_MAX_RF_POINTS.
// Samples -> modes: clears par_out[0..npar-1], then analyses both channels.
void RFPulseToParArray(int npar_local, int ap_local, const double* xb_in, const double* yb_in, double* par_out);
// Modes -> samples, keeping the unlisted (higher) modes of the current samples.
void ParArrayToRFPulse(int npar_local, int ap_local, const double* par_in, double* xb_io, double* yb_io);
// Modes -> samples from the listed modes alone (all other frequencies zero).
void ParArrayToRFPulseLowMode(int npar_local, int ap_local, const double* par_in, double* xb_out, double* yb_out);

// Waveform writers: each block of ap doubles goes out with one write; a short
// block prints " >>> WRITE TO BINARY FILE ERROR (<name>) <<< " and writing
// goes on with the next block. True when everything was written. ap must lie
// in 1..VYN_MAX_RF_POINTS.
bool BinArrayOut(const int* ap, const double* xb, const double* yb, const double* gx, const double* gy,
                 const double* gz, const char* filename);
bool BinArrayOut2D(int ap, const double* xb, const double* yb, const char* filename);
// Replaces the waveform file path as a whole: the blocks (xb, yb and, when gx
// is given, gx, gy, gz) go to a temporary beside path, which is renamed over
// path only when everything was written. On failure path keeps its content.
bool rfpulseparam_replace_waveform_file(const char* path, int ap, const double* xb, const double* yb, const double* gx,
                                        const double* gy, const double* gz);

// Waveform readers: read exactly the blocks for ap samples. A file that cannot
// be opened (system error printed with its path) or is too short is unusable:
// false, and the output arrays are left unchanged.
bool BinArrayIn(int ap, double* xb, double* yb, double* gx, double* gy, double* gz, const char* filename);
bool BinArrayIn2D(int ap, double* xb, double* yb, const char* filename);

// Default sector waveform file name: "<short>_s%02d.bin" / "<short>_2d_s%02d.bin"
// with a model short name, else "sector-%02d.bin" / "sector2d-%02d.bin".
// False when the name does not fit into buf.
bool rfpulseparam_default_waveform_name(char* buf, std::size_t bufsz, const char* shortname, int sector, bool spatial);

// Interactive import of Bx(t) and By(t) from two array files (ASCII or
// SG-plot) and a multiplication factor (2*pi turns Hz into rad/s). *ap samples
// are read (0..VYN_MAX_RF_POINTS); the factor is applied to what was read.
// False when a file could not be read, or when the console input ended before
// a factor was given (the samples are then left as read).
bool ReadBxByPulse(const int* ap, double* xb, double* yb);
