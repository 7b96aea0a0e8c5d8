// Basis-set files of one simulated receiver signal: NIfTI-MRS, LCModel .RAW
// and the fitter's measured-pattern .bin. Every writer works on a temporary
// beside the target and renames it into place, so a failure leaves nothing.
#pragma once

#include <complex>
#include <string>
#include <vector>

// One basis signal in the standard MRS convention: a line at relative
// frequency +nu rotates as exp(+i 2 pi nu t); sample k lies at k * dwell_s.
struct VYNBasisSignal {
    std::string name;  // metabolite / model name (LCModel ID)
    std::vector<std::complex<double>> fid;
    double dwell_s = 0.0;
    double spectrometer_mhz = 0.0;  // 1H frequency at the field
    double carrier_ppm = 0.0;       // receiver carrier (0 Hz) in ppm
    std::string model_path;         // recorded as the original file
    std::string sequence_name;
};

// vyn's receiver signal rotates the other way (a spin at +nu Hz rotates as
// exp(-i 2 pi nu t)); this gives the standard-convention FID.
std::vector<std::complex<double>> vyn_basis_from_receiver(const double* re, const double* im, int n);

// Each returns true on success; on failure err holds the reason and no file
// was created or replaced.
bool vyn_basis_write_nifti(const char* path, const VYNBasisSignal& sig, std::string* err);
bool vyn_basis_write_raw(const char* path, const VYNBasisSignal& sig, std::string* err);
bool vyn_basis_write_pattern(const char* path, const VYNBasisSignal& sig, std::string* err);

// The pattern spectrum: S[j] = (1/N) sum_k fid[k] exp(-2 pi i (j - N/2) k / N),
// zero frequency at index N/2 (N a power of two).
std::vector<std::complex<double>> vyn_basis_pattern_spectrum(const std::vector<std::complex<double>>& fid);
