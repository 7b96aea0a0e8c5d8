// Sequence definition and propagation state of the vyn engine.
//
// State is kept in plain records with one module-level instance each:
//   vyn_sequence  - the pulse sequence as composed or bound from a model
//                   (sector arrays are 1-based, sectors 1..VYN_MAX_SECTORS)
//   vyn_prop      - propagation state of the current sector
// The RF and gradient sample arrays (xb, yb, gx, gy, gz) are the waveform
// state vyn_waveform of vyn_waveform_state.h.
#pragma once

#include "vyn_state.h"

constexpr int VYN_MAX_SECTORS = 20;
constexpr int VYN_MAX_SAMPLES = 8192;
constexpr int VYN_FNAME_LEN = 256;
constexpr int VYN_REMARK_LEN = 512;

// Sequence family values of VYNSequenceState::sequencetype.
constexpr int VYN_SEQTYPE_NONE = 0;
constexpr int VYN_SEQTYPE_SPATIAL = 1;
constexpr int VYN_SEQTYPE_2D = 2;

struct VYNSequenceState {
    int sequencetype;                                 // 0 none, 1 spatial, 2 1D/2D
    int nos;                                          // number of sectors 0..20
    int sector;                                       // sector being edited
    int sectype[VYN_MAX_SECTORS + 1];                 // 1 normal, 2 evolution
    int noti[VYN_MAX_SECTORS + 1];                    // time intervals of the sector
    int nevo[VYN_MAX_SECTORS + 1];                    // evolution rows (nevo[0] = 1)
    double sectdur[VYN_MAX_SECTORS + 1];              // sector duration, s
    double statoff[VYN_MAX_SECTORS + 1];              // static offset, Hz
    char fnames[VYN_MAX_SECTORS + 1][VYN_FNAME_LEN];  // waveform file per sector
    char remarks[VYN_MAX_SECTORS + 1][VYN_REMARK_LEN];
    double x0, y0, z0;                    // grid origin, cm
    double dx, dy, dz;                    // grid step, cm
    char resultflnm[VYN_FNAME_LEN];       // result file; empty = none
    int systemset, offsetset, sectorset;  // readiness flags
    double vyn_gui_b0_tesla;              // field of the run configuration
    double vyn_gui_receiver_carrier_ppm;  // receiver carrier, ppm
};

// Propagation state of the current sector. The pass counter `calc` and
// `pulseflag` live in the spin-system group (vyn_spin), the grid, `gs` and
// `ndw` in the grid group (vyn_grid) of vyn.h.
struct VYNPropagationState {
    int ap;                             // time intervals of the current sector
    double pt;                          // current sector duration, s
    double h;                           // time step, s
    double statoff_s;                   // current static offset, rad/s
    int spatial_progress_sector;        // sector now propagated (progress line)
    int spatial_progress_sector_count;  // sectors before the first acquisition sector
};

extern VYNSequenceState vyn_sequence;
extern VYNPropagationState vyn_prop;

// Resets the propagation state of the current sector to zero.
void VYNPropagationState_Reset();
// Clears the sequence definition (no sectors, nevo[0] = 1, result "result.bin").
void VYNSequenceState_Reset();

// Receiver parameters for a slow-band (sech) sector, handed to the signal
// generator for the multiplet-resolved export.
struct VYNSlowBandSplitConfig {
    int enabled;
    double pulse_center_offset_hz;
    double mu;
    double beta;
    double pulse_duration_s;
    double pulse_amplitude_hz;
    int pulse_samples;
    double pulse_phase_rad;
    double b0_tesla;
    double receiver_carrier_ppm;
};

// --- helpers shared by the propagators, observables and model layer -------
// True when the remark of sector s (1..nos) marks it as the acquisition sector.
bool vyn_sector_is_acquisition(int s);
bool vyn_remark_is_acquisition(const char* remark);
bool vyn_text_contains_ci(const char* text, const char* key);
bool vyn_parse_double_after_key(const char* text, const char* key, double* out);
bool vyn_parse_int_after_key(const char* text, const char* key, int* out);
bool vyn_is_power_of_two_int(int v);
// True when both paths name one existing file (same device and inode): an
// output opened for writing there would destroy the input being read.
bool vyn_is_same_file(const char* path_a, const char* path_b);
