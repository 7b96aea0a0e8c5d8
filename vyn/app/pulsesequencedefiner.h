// Interactive pulse-sequence composer: sequence family, the spatial and the
// 1D/2D editors, their sector dialogues and the spin-system dialogue. It works
// on the sequence state (vyn_sequence), the spin inputs (vyn_spin), the grid
// counts (vyn_grid) and the waveform arrays (vyn_waveform), and writes one
// waveform file per sector into the default RF output directory.
//
// Every question is asked again until its answer is valid; at the end of
// input each dialogue returns. A sector changes only once its waveform file
// is written (file and sector state always agree).
#pragma once

// Empty sequence: no sectors, nevo[0] = 1, flags 0, Nspins 0, grid 1 x 1 x 1,
// result "result.bin".
void Initialize();
// Family menu, then one of the two editors.
void ComposePulseSequence();
void EditPulseSequence();
void Edit2DPulseSequence();
// Sector dialogues; true when sector s was (re)defined.
bool DefineSeqSector(int s);
bool Define2DSeqSector(int s);
// Spin-system dialogue (at most 6 spins, 64 states); true when complete.
bool PS_DefineSpinSystem();
// Writes xb, yb of the first `samples` samples as sector s's 2D waveform file
// (default RF output directory, name asked) and stores its path in fnames[s]
// (cleared when refused; unchanged at the end of input); true when written.
bool ps_write_2d_sector_waveform_file(int s, int samples);
// Asks prompt until an integer in lo..hi is given (hint after each other
// answer); false at the end of input.
bool ps_ask_positive_int(const char* prompt, int* out, int lo, int hi, const char* hint);
// Defined-sector rule of the spatial overview.
bool ps_spatial_sector_defined(int s);
