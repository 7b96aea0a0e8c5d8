// NIfTI-MRS files (NIfTI-1/NIfTI-2, plain or gzip): header, JSON extension and data as the
// fitter reads them. An accepted file has a usable axis and shape, and every sample read
// from it is finite; a file whose data cannot be read in full is refused, not read short.
// Gzip data read through the once-inflated copy give the same planes as the direct reads.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qnifti_mrs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool gz = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    const std::string path = fuzz::write_input(data, size, gz ? "input.nii.gz" : "input.nii");
    QorvaneNiftiMrs m;
    std::string error;
    if (qorvane_nifti_mrs_open(path.c_str(), &m, &error) != 0) {
        if (error.empty()) fuzz::fail("refusal without a reason");
        return 0;
    }
    if (m.nx < 1 || m.ny < 1 || m.nz < 1 || m.points < 1) fuzz::fail("empty dimension accepted");
    if (!(m.dwell_s > 0.0) || !std::isfinite(m.dwell_s)) fuzz::fail("dwell %g accepted", m.dwell_s);
    if (!(m.spectrometer_mhz > 0.0) || !std::isfinite(m.spectrometer_mhz))
        fuzz::fail("spectrometer frequency %g accepted", m.spectrometer_mhz);
    if (m.nifti_version != 1 && m.nifti_version != 2) fuzz::fail("NIfTI version %d", m.nifti_version);
    // Read plane by plane while a plane stays small (a header may declare a huge grid). Volume
    // jobs read gzip data directly only as one slab of the whole volume, else through a copy
    // inflated once; that copy, read plane by plane, must give the same values and refuse
    // exactly where the direct read refuses.
    const double plane = (double)m.nx * (double)m.ny * (double)m.points;
    if (plane <= 1 << 20 && m.nz <= 64) {
        std::vector<double> fid, whole;
        const bool direct_ok = !gz || qorvane_nifti_mrs_read_slab(&m, 0, m.nz, &whole, &error) == 0;
        if (gz && direct_ok && whole.size() != (size_t)(2 * plane * m.nz))
            fuzz::fail("volume of %zu values", whole.size());
        const std::string dir = path.substr(0, path.rfind('/'));  // the copy is unlinked at once
        const bool unpacked = gz && qorvane_nifti_mrs_unpack(&m, dir, &error) == 0;
        if (gz && !unpacked && error.empty()) fuzz::fail("unpack refused without a reason");
        bool all = true;
        for (int64_t z = 0; z < m.nz && (!gz || unpacked); ++z) {
            if (qorvane_nifti_mrs_read_slab(&m, z, 1, &fid, &error) != 0) {
                all = false;
                break;
            }
            if (fid.size() != (size_t)(2 * plane)) fuzz::fail("slab of %zu values", fid.size());
            for (size_t i = 0; i < fid.size(); ++i) fuzz::require_finite(fid[i], "sample", (long)i);
            if (gz && direct_ok && !std::equal(fid.begin(), fid.end(), whole.begin() + (size_t)(z * 2 * plane)))
                fuzz::fail("plane %lld of the inflated copy differs from the direct read", (long long)z);
        }
        if (unpacked && all != direct_ok)
            fuzz::fail("the inflated copy %s where the direct read %s", all ? "reads" : "refuses",
                       direct_ok ? "reads" : "refuses");
    }
    qorvane_nifti_mrs_close(&m);
    return 0;
}
