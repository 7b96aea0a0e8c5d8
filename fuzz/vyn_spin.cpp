// Spin-system files (".vynspin"): an accepted file holds 1..8 spins with finite
// intensities, offsets and couplings.
#include "fuzz_support.h"
#include "vyn_fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    const std::string path = fuzz::write_input(data, size, "s.vynspin");
    static VYNSpinSystemDef spin;
    char err[512];
    if (vyn_load_spin_system_text(path.c_str(), &spin, err, sizeof err) == VYN_MODEL_OK) fuzz::vyn_check_spin(spin);
    return 0;
}
