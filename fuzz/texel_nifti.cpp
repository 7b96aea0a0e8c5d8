// The NIfTI reader of texel-maps: any bytes as a .nii file (as .nii.gz when they start
// with the gzip magic), then the discretisation of what was accepted. An accepted image
// must have positive sizes and exactly X*Y*Z values; an accepted discretisation only
// levels 0 .. L-1 (or the outside mark) and 1 <= L <= 256.
#include "texel_nifti.h"

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "texel_levels.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nifti_set_debug_level(0);
    const bool gz = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    const std::string path = fuzz::write_input(data, size, gz ? "in.nii.gz" : "in.nii");
    TexelVolume vol;
    char err[512];
    // A small cap keeps each input fast; the header checks run before any allocation.
    if (texel_nifti_read(path.c_str(), 1 << 16, &vol, err, sizeof err) != 0) {
        if (err[0] == '\0') fuzz::fail("refused without a message");
        return 0;
    }
    const size_t n = vol.values.size();
    if (vol.X < 1 || vol.Y < 1 || vol.Z < 1 || n != (size_t)vol.X * vol.Y * vol.Z || !vol.nim)
        fuzz::fail("accepted %d x %d x %d with %zu values", vol.X, vol.Y, vol.Z, n);
    // Every other voxel inside: the mask path of the discretisation.
    std::vector<uint8_t> inside(n);
    for (size_t k = 0; k < n; ++k) inside[k] = (uint8_t)(k % 2 == 0);
    std::vector<int32_t> lev(n);
    TexelLevelsInfo info;
    int64_t bad;
    const double width = 1.0 + (double)(size % 7);
    for (int pass = 0; pass < 2; ++pass) {
        if (texel_discretise(vol.values.data(), pass ? inside.data() : nullptr, (int64_t)n, vol.integer_data,
                             pass ? 0 : 16, pass ? width : 0.0, lev.data(), &info, &bad, err, sizeof err) != 0)
            continue;
        if (info.L < 1 || info.L > TEXEL_MAX_LEVELS) fuzz::fail("accepted %d levels", info.L);
        fuzz::require_finite(info.min, "minimum");
        fuzz::require_finite(info.max, "maximum");
        for (size_t k = 0; k < n; ++k) {
            const bool out = pass && !inside[k];
            if (out ? lev[k] != -1 : (lev[k] < 0 || lev[k] >= info.L))
                fuzz::fail("level %d at %zu with L = %d", lev[k], k, info.L);
        }
    }
    texel_nifti_release(&vol);
    return 0;
}
