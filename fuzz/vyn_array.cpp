// ASCII and SG-plot array files: an accepted file gives finite values only.
#include "fuzz_support.h"
#include "vyndatafileio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::write_input(data, size, "array.txt");
    static double values[16];
    static const int kAscii = 16, kSg = 8;
    if (AsciiIn_status(&kAscii, values, path.c_str()) == DATAIO_OK)
        for (int i = 0; i < kAscii; ++i) fuzz::require_finite(values[i], "ascii value", i);
    if (SGFileIn_status(&kSg, values, path.c_str()) == DATAIO_OK)
        for (int i = 0; i < kSg; ++i) fuzz::require_finite(values[i], "sg value", i);
    return 0;
}
