// Partial voxel sums of vyn --basis-set --voxel-range: an accepted part has a
// range inside its grid, states within the engine's bound, a full finite
// matrix, and merges with itself only as an overlap.
#include <vector>

#include "fuzz_support.h"
#include "matrixmathlib.h"
#include "vynbasis_part.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VYNBasisPart part;
    std::string err;
    if (!vyn_basis_parse_part(reinterpret_cast<const char*>(data), size, &part, &err)) {
        if (err.empty()) fuzz::fail("refused without a reason");
        return 0;
    }
    if (part.states < 1 || part.states > MATRIXMATH_DIM) fuzz::fail("accepted states %d", part.states);
    if (part.first < 1 || part.count < 1 || part.first + part.count - 1 > part.voxels())
        fuzz::fail("accepted range %lld:%lld of %lld voxels", part.first, part.count, part.voxels());
    if (part.sum.size() != static_cast<size_t>(part.states) * part.states) fuzz::fail("matrix of the wrong size");
    for (size_t i = 0; i < part.sum.size(); ++i) {
        fuzz::require_finite(part.sum[i].real(), "real part", static_cast<long>(i));
        fuzz::require_finite(part.sum[i].imag(), "imaginary part", static_cast<long>(i));
    }
    VYNBasisPart total;
    const std::vector<VYNBasisPart> twice = {part, part};
    if (vyn_basis_merge_parts(twice, {"a", "b"}, &total, &err)) fuzz::fail("a part merged with itself");
    const std::vector<VYNBasisPart> once = {part};
    const bool whole = part.first == 1 && part.count == part.voxels();
    if (vyn_basis_merge_parts(once, {"a"}, &total, &err) != whole) fuzz::fail("a single part merged wrongly");
    return 0;
}
