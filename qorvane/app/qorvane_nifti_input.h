// NIfTI-MRS input of qorvane_pthreads: the parameter file's axis, the FID -> spectrum
// conversion of a voxel, and single-spectrum mode on a 1 x 1 x 1 x N file.
#pragma once
#include <string>

#include "qnifti_mrs.h"

// n_pnts and Hz_p_p of a fit-control file (and, when `lines` is given, its number of lines and
// patterns); 0, or -1 when it cannot be read (the fit itself then reports why).
int qorvane_par_axis(const char* path, int* n_pnts, double* hz_p_p, int* lines = nullptr);

// Voxel v of a slab read by qorvane_nifti_mrs_read_slab as the spectrum bytes a fit reads
// (n little-endian float32 pairs), through the model's FID rule (qorvane_fid_to_spectrum).
// 0, or -1 when a converted value is not finite as a float32.
int qorvane_nifti_voxel_spectrum(const QorvaneNiftiMrs* m, const double* slab_fid, long long v, unsigned char* out,
                                 std::string* error);

// Single-spectrum mode on <work_dir>/<input>, a NIfTI-MRS file of one voxel: checks the file
// against the parameter file, then fits its spectrum as a spectrum file would be fitted
// (results named after <input>). Returns the exit code (2: the file was refused, nothing
// written).
int qorvane_nifti_single_fit(const char* work_dir, const char* input, const char* parameter_file, const char* record);
