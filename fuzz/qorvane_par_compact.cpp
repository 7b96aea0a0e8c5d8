// Compact fit-control files ("version_3" form).
#include "qorvane_fit_control_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::fuzz_fit_control("version_3", data, size);
}
