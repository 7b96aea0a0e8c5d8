// NIfTI input and output of texel-maps through the NIfTI C library: one scalar volume in,
// float32 maps out on the same grid, with the input's qform and sform.
#ifndef TEXEL_NIFTI_H
#define TEXEL_NIFTI_H

#include <nifti2_io.h>
#include <stddef.h>
#include <stdint.h>

#include <vector>

struct TexelVolume {
    nifti_image* nim = nullptr;  // header (the data are released after conversion)
    int X = 0, Y = 0, Z = 0;
    std::vector<double> values;  // intensities after the header's scaling, x fastest
    int integer_data = 0;        // integer data type without scaling
};

// Reads one 3-D scalar volume (a 4-D file must hold a single volume) of at most
// `max_voxels` voxels. Returns 0, or 1 with a message in err (unreadable or truncated
// file, unsupported data type, too many voxels or dimensions, non-finite scaling).
int texel_nifti_read(const char* path, int64_t max_voxels, TexelVolume* vol, char* err, size_t errsz);
void texel_nifti_release(TexelVolume* vol);

// 0 when `b` lies on the grid of `a` (same dimensions, same qform and sform codes and
// matrices to 1e-4), else 1 with a message.
int texel_nifti_same_grid(const nifti_image* a, const nifti_image* b, char* err, size_t errsz);

// Most voxels along one axis of an output image (NIfTI-1).
enum { TEXEL_NIFTI_MAX_AXIS = 32767 };

// Writes X*Y*Z floats as a NIfTI-1 float32 image with the geometry of `like` to `path`
// (which ends in .nii.gz), then reads it back to make sure it is complete. 0 or 1 with a
// message.
int texel_nifti_write_float(const nifti_image* like, const float* data, const char* description, const char* path,
                            char* err, size_t errsz);

#endif
