// Writes a synthetic NIfTI volume and an ellipsoid mask for texel-maps: smooth structure
// plus noise, stored as int16 with scl_slope 0.25 and scl_inter -100 (so the intensities
// are real valued), qform and a sheared sform; the mask (uint8) covers about 30 % of the
// voxels (semi-axes 0.83 of the half sizes). Used by the demo and scripts/gpu-check.
//   texel-maps-phantom IMAGE.nii[.gz] MASK.nii[.gz] X Y Z [SEED]
#include <math.h>
#include <nifti2_io.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>

static int write_volume(const char* path, int dt, const void* src, int X, int Y, int Z, double slope, double inter) {
    const int64_t dims[8] = {3, X, Y, Z, 1, 1, 1, 1};
    nifti_image* nim = nifti_make_new_nim(dims, dt, 0);
    if (!nim) return 1;
    nim->data = (void*)src;
    nim->scl_slope = slope;
    nim->scl_inter = inter;
    nim->pixdim[1] = nim->dx = 0.9;
    nim->pixdim[2] = nim->dy = 0.9;
    nim->pixdim[3] = nim->dz = 2.5;
    nim->qform_code = 1;
    nim->quatern_b = nim->quatern_c = nim->quatern_d = 0.0;
    nim->qoffset_x = -0.45 * X;
    nim->qoffset_y = -0.45 * Y;
    nim->qoffset_z = -1.25 * Z;
    nim->qfac = 1.0;
    nim->sform_code = 2;
    const double s[3][4] = {{0.9, 0.05, 0.0, -0.45 * X}, {0.0, 0.9, 0.1, -0.45 * Y}, {0.0, 0.0, 2.5, -1.25 * Z}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) nim->sto_xyz.m[r][c] = s[r][c];
    nim->sto_xyz.m[3][3] = 1.0;
    int rc = nifti_set_filenames(nim, path, 0, 1);
    if (rc == 0) nifti_image_write(nim);
    nim->data = nullptr;
    nifti_image_free(nim);
    return rc;
}

int main(int argc, char** argv) {
    if (argc < 6 || argc > 7) {
        fprintf(stderr, "usage: texel-maps-phantom IMAGE.nii[.gz] MASK.nii[.gz] X Y Z [SEED]\n");
        return 2;
    }
    const int X = atoi(argv[3]), Y = atoi(argv[4]), Z = atoi(argv[5]);
    if (X < 1 || Y < 1 || Z < 1 || (double)X * Y * Z > 1e9) {
        fprintf(stderr, "texel-maps-phantom: sizes must be positive (and the volume below 1e9 voxels)\n");
        return 2;
    }
    std::mt19937 rng(argc == 7 ? (unsigned)atoi(argv[6]) : 30u);
    std::normal_distribution<double> noise(0.0, 40.0);
    const size_t n = (size_t)X * Y * Z;
    int16_t* img = (int16_t*)malloc(n * sizeof(int16_t));
    uint8_t* mask = (uint8_t*)malloc(n);
    if (!img || !mask) return 1;
    for (int z = 0; z < Z; ++z)
        for (int y = 0; y < Y; ++y)
            for (int x = 0; x < X; ++x) {
                const size_t i = (size_t)x + (size_t)X * ((size_t)y + (size_t)Y * z);
                // stripes, a blob of finer texture and a slow trend in z
                const double r = hypot(x - 0.35 * X, y - 0.6 * Y);
                double v = 400 + 150 * sin(x / 5.0) * cos(y / 7.0) + 3 * z + noise(rng);
                if (r < 0.18 * X) v += 120 * ((x / 2 + y / 2) % 2);
                const double k = floor((v + 100.0) / 0.25);  // stored value of v on the 0.25 grid
                img[i] = (int16_t)(k < -32768 ? -32768 : (k > 32767 ? 32767 : k));
                const double ex = (x - (X - 1) / 2.0) / (0.83 * X / 2.0), ey = (y - (Y - 1) / 2.0) / (0.83 * Y / 2.0),
                             ez = Z > 1 ? (z - (Z - 1) / 2.0) / (0.83 * Z / 2.0) : 0.0;
                mask[i] = ex * ex + ey * ey + ez * ez <= 1.0;
            }
    nifti_set_debug_level(0);
    const int rc = write_volume(argv[1], DT_INT16, img, X, Y, Z, 0.25, -100.0) ||
                   write_volume(argv[2], DT_UINT8, mask, X, Y, Z, 0.0, 0.0);
    free(img);
    free(mask);
    if (rc) fprintf(stderr, "texel-maps-phantom: cannot write %s or %s\n", argv[1], argv[2]);
    return rc ? 1 : 0;
}
