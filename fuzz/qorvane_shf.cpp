// sage_idl ".shf" headers: an accepted header holds finite reals and counts that fit
// its record.
#include <cstring>

#include "fuzz_support.h"
#include "qspectrumio.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::silence_stdout();
    const std::string path = fuzz::write_input(data, size, "header.shf");
    static QorvaneSageIdlHeader h;
    std::memset(&h, 0, sizeof h);
    QorvaneStatus status;
    std::memset(&status, 0, sizeof status);
    if (read_sageidl_header(path.c_str(), &h, &status) != QORVANE_RC_OK || status.fatal) return 0;
    const float reals[] = {h.release,    h.tr,     h.te,     h.ti,  h.tm, h.tg, h.centre_frequency_mhz,
                           h.ppm_offset, h.phase0, h.phase1, h.lb1, h.lb2};
    for (size_t i = 0; i < sizeof reals / sizeof reals[0]; ++i) fuzz::require_finite(reals[i], "header real", (long)i);
    for (int d = 0; d < QORVANE_SAGE_DIMS; ++d) {
        const QorvaneSageDimension& m = h.dim[d];
        const float dr[] = {m.width,
                            m.zero_time,
                            m.zero_freq,
                            m.slice_location,
                            m.slice_thickness,
                            m.time_phase_correction,
                            m.freq_phase_correction};
        for (size_t i = 0; i < sizeof dr / sizeof dr[0]; ++i) fuzz::require_finite(dr[i], "dimension real", (long)i);
    }
    if (h.n_user_fields < 0 || h.n_user_fields > QORVANE_SAGE_USER_FIELDS)
        fuzz::fail("n_user_fields = %d", h.n_user_fields);
    // every text field is terminated inside its slot
    if (strnlen(h.header_name, sizeof h.header_name) == sizeof h.header_name ||
        strnlen(h.data_file_name, sizeof h.data_file_name) == sizeof h.data_file_name)
        fuzz::fail("unterminated file name");
    return 0;
}
