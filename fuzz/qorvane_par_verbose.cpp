// Verbose fit-control files ("qorvane_begin_of_file" form).
#include "qorvane_fit_control_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::fuzz_fit_control("qorvane_begin_of_file", data, size);
}
