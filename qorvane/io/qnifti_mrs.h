// NIfTI-MRS input: time-domain complex data (NIfTI-1 or NIfTI-2, .nii or .nii.gz) with its
// JSON header extension (ecode 44). The header is read and checked once; the data are read
// by slabs of z planes, so that memory stays bounded for any volume.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct QorvaneNiftiMrs {
    void* nim = nullptr;  // the library's nifti_image: header and extensions, no data
    int64_t nx = 0, ny = 0, nz = 0;
    int64_t points = 0;             // N, the time-domain length (dimension 4)
    double dwell_s = 0.0;           // pixdim[4] in seconds
    double spectrometer_mhz = 0.0;  // first SpectrometerFrequency
    std::string nucleus;            // first ResonantNucleus
    // Chemical shift (ppm) of relative frequency 0: ChemicalShiftReference when the header
    // names it (a number, or the first of an array), else the 1H water convention 4.65.
    double ppm_reference = 4.65;
    bool ppm_from_header = false;
    int nifti_version = 0;    // 1 or 2
    bool complex128 = false;  // else complex64
    // An unlinked uncompressed copy of the data (qorvane_nifti_mrs_unpack), read by slabs
    // instead of the gzip stream; -1 when there is none.
    int plain_fd = -1;

    int64_t voxels() const { return nx * ny * nz; }
};

// True when `path` ends in .nii or .nii.gz, or starts with a NIfTI-1/NIfTI-2 header or a
// gzip stream.
bool qorvane_is_nifti_path(const char* path);

// Reads and checks the header and the ecode-44 JSON extension of `path`. 0, or -1 with the
// reason in *error (nothing kept).
int qorvane_nifti_mrs_open(const char* path, QorvaneNiftiMrs* m, std::string* error);
void qorvane_nifti_mrs_close(QorvaneNiftiMrs* m);

// Gzip input read by several slabs: each slab of z planes spans the whole file (time is the
// slowest dimension), so every slab would inflate the whole stream again. This inflates the data
// once into an unlinked file in `dir`, which the slab reads use from then on. 0, or -1 with the
// reason (cannot create or write the copy; data that end early).
int qorvane_nifti_mrs_unpack(QorvaneNiftiMrs* m, const std::string& dir, std::string* error);
// True when the file's data are a gzip stream.
bool qorvane_nifti_mrs_is_gzip(const QorvaneNiftiMrs* m);

// Reads the FIDs of z planes z0 .. z0+planes-1: fid[(v * N + k) * 2 + {0,1}] is point k of
// the slab's voxel v (x fastest, then y, then z). 0, or -1 with the reason (truncated or
// corrupt data, non-finite samples) in *error.
int qorvane_nifti_mrs_read_slab(const QorvaneNiftiMrs* m, int64_t z0, int64_t planes, std::vector<double>* fid,
                                std::string* error);

// "ppm = R + nu / F MHz": the chemical shift of relative frequency nu (Hz) in this file.
std::string qorvane_nifti_mrs_ppm_rule(const QorvaneNiftiMrs* m);
// The rule followed by where its reference comes from, for the input's report line.
std::string qorvane_nifti_mrs_ppm_note(const QorvaneNiftiMrs* m);

// Checks the fit-control axis against the file: n_pnts equal to N and hz_p_p equal to
// 1 / (N dwell) within 1e-6 relative. 0, or -1 with the reason.
int qorvane_nifti_mrs_check_axis(const QorvaneNiftiMrs* m, int n_pnts, double hz_p_p, std::string* error);

// Reads a mask of the same grid (any real datatype; non-zero = selected) into mask[v], v as
// in read_slab over the whole volume. 0, or -1 with the reason.
int qorvane_nifti_mask_read(const char* path, const QorvaneNiftiMrs* m, std::vector<unsigned char>* mask,
                            std::string* error);
