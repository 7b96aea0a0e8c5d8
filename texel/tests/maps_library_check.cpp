// texel-maps as a program against the library: an integer image already in 0 .. L-1 with
// --levels L gives, voxel for voxel and bit for bit, the maps of the library's CPU path
// (NaN where no window fits), on one and on several threads, for several integer types.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "texel_cpu.h"
#include "texel_nifti.h"
#include "texel_test_util.h"

namespace {

const char* const kNames[10] = {"contrast",        "dissimilarity", "homogeneity", "asm",         "energy",
                                "max_probability", "entropy",       "glcm_mean",   "correlation", "glcm_variance"};

std::string temp_dir() {
    char tmpl[] = "/tmp/texel-maps-check-XXXXXX";
    const char* d = mkdtemp(tmpl);
    return d ? d : "";
}

// Writes `img` as a NIfTI-1 file of data type `dt` with a sheared sform.
void write_image(const std::string& path, const std::vector<int32_t>& img, int X, int Y, int Z, int dt) {
    const int64_t dims[8] = {3, X, Y, Z, 1, 1, 1, 1};
    nifti_image* nim = nifti_make_new_nim(dims, dt, 1);
    ASSERT_NE(nullptr, nim);
    for (size_t k = 0; k < img.size(); ++k) {
        if (dt == DT_UINT8)
            ((uint8_t*)nim->data)[k] = (uint8_t)img[k];
        else if (dt == DT_INT16)
            ((int16_t*)nim->data)[k] = (int16_t)img[k];
        else
            ((int32_t*)nim->data)[k] = img[k];
    }
    nim->sform_code = 2;
    nim->sto_xyz.m[0][0] = 0.8;
    nim->sto_xyz.m[0][1] = 0.1;
    nim->sto_xyz.m[1][1] = 0.9;
    nim->sto_xyz.m[2][2] = 3.0;
    nim->sto_xyz.m[3][3] = 1.0;
    ASSERT_EQ(0, nifti_set_filenames(nim, path.c_str(), 0, 1));
    nifti_image_write(nim);
    nifti_image_free(nim);
}

struct Case {
    int X, Y, Z, P, Q, L, dt, threads;
};

TEST(TexelMapsProgram, IntegerImageGivesTheLibraryMapsBitForBit) {
    const Case cases[] = {{29, 23, 4, 2, 1, 8, DT_INT16, 1},
                          {29, 23, 4, 2, 1, 8, DT_INT16, 3},
                          {17, 31, 3, 1, 3, 256, DT_INT32, 2},
                          {12, 9, 2, 5, 4, 2, DT_UINT8, 2}};
    nifti_set_debug_level(0);
    for (const Case& c : cases) {
        const size_t n = (size_t)c.X * c.Y * c.Z;
        const auto img = texel_random_volume(c.X * 131 + c.L, n, 0, c.L - 1);
        TexelMaps lib(n, 0.0f);
        testing::internal::CaptureStderr();
        ASSERT_EQ(0, pComputeAllCooccurenceMatricesImageLevel(img.data(), c.X, c.Y, c.Z, c.P, c.Q, c.L, lib.ptr, 2));
        testing::internal::GetCapturedStderr();

        const std::string dir = temp_dir();
        ASSERT_FALSE(dir.empty());
        write_image(dir + "/in.nii", img, c.X, c.Y, c.Z, c.dt);
        const std::string cmd = std::string(TEXEL_MAPS_EXE) + " " + dir + "/in.nii " + dir + "/maps --window " +
                                std::to_string(c.P) + "," + std::to_string(c.Q) + " --levels " + std::to_string(c.L) +
                                " --gpu off --threads " + std::to_string(c.threads) + " > " + dir + "/log 2>&1";
        ASSERT_EQ(0, system(cmd.c_str())) << cmd;
        for (int f = 0; f < 10; ++f) {
            TexelVolume v;
            char err[256];
            const std::string path = dir + "/maps/" + kNames[f] + ".nii.gz";
            ASSERT_EQ(0, texel_nifti_read(path.c_str(), 1 << 24, &v, err, sizeof err)) << err;
            ASSERT_EQ(n, v.values.size());
            for (int z = 0; z < c.Z; ++z)
                for (int y = 0; y < c.Y; ++y)
                    for (int x = 0; x < c.X; ++x) {
                        const int64_t i = texel_index(x, y, z, c.X, c.Y);
                        const float got = (float)v.values[(size_t)i];
                        if (texel_is_interior(x, y, c.X, c.Y, c.P, c.Q))
                            ASSERT_EQ(texel_bits(lib.ptr[f][i]), texel_bits(got))
                                << kNames[f] << " at " << x << "," << y << "," << z << " L=" << c.L;
                        else
                            ASSERT_TRUE(std::isnan(got)) << kNames[f] << " border voxel " << x << "," << y;
                    }
            texel_nifti_release(&v);
        }
        system(("rm -rf " + dir).c_str());
    }
}

}  // namespace
