// Writers of the basis-set files (see vynbasis_files.h).
#include "vynbasis_files.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

extern "C" {
#include <nifti2_io.h>
}

namespace {

constexpr double kTwoPi = 2.0 * 3.141592653589793238462643;
// Voxel edge of an unlocalised dimension (10 m), in mm.
constexpr double kUnlocalisedMm = 10000.0;

std::string temp_name(const char* path, const char* suffix) {
    return std::string(path) + ".tmp" + std::to_string(static_cast<long>(getpid())) + suffix;
}

bool fail(std::string* err, const std::string& what) {
    if (err) *err = what;
    return false;
}

bool signal_ok(const VYNBasisSignal& sig, std::string* err) {
    if (sig.fid.empty()) return fail(err, "empty signal");
    if (!(sig.dwell_s > 0.0) || !std::isfinite(sig.dwell_s)) return fail(err, "dwell time must be positive");
    if (!(sig.spectrometer_mhz > 0.0) || !std::isfinite(sig.spectrometer_mhz))
        return fail(err, "spectrometer frequency must be positive");
    for (const auto& z : sig.fid)
        if (!std::isfinite(z.real()) || !std::isfinite(z.imag())) return fail(err, "non-finite signal sample");
    return true;
}

bool commit(const std::string& tmp, const char* path, std::string* err) {
    if (std::rename(tmp.c_str(), path) != 0) {
        std::remove(tmp.c_str());
        return fail(err, std::string("could not rename the temporary to ") + path + ": " + std::strerror(errno));
    }
    return true;
}

// Closes a text/binary temporary and moves it into place.
bool close_and_commit(FILE* f, bool ok, const std::string& tmp, const char* path, std::string* err) {
    if (std::fclose(f) != 0) ok = false;
    if (!ok) {
        std::remove(tmp.c_str());
        return fail(err, std::string("could not write ") + path + ": " + std::strerror(errno));
    }
    return commit(tmp, path, err);
}

std::string mrs_json(const VYNBasisSignal& sig) {
    nlohmann::json j;
    j["SpectrometerFrequency"] = {sig.spectrometer_mhz};
    j["ResonantNucleus"] = {"1H"};
    j["ConversionMethod"] = "vyn --basis-set";
    if (!sig.model_path.empty()) j["OriginalFile"] = {sig.model_path};
    if (!sig.sequence_name.empty()) j["SequenceName"] = sig.sequence_name;
    j["vyn_model_name"] = sig.name;
    j["vyn_receiver_carrier_ppm"] = sig.carrier_ppm;
    return j.dump();
}

}  // namespace

std::vector<std::complex<double>> vyn_basis_from_receiver(const double* re, const double* im, int n) {
    std::vector<std::complex<double>> out(n > 0 ? n : 0);
    for (int k = 0; k < n; ++k) out[k] = {re[k], -im[k]};
    return out;
}

bool vyn_basis_write_nifti(const char* path, const VYNBasisSignal& sig, std::string* err) {
    if (!signal_ok(sig, err)) return false;
    const int64_t n = static_cast<int64_t>(sig.fid.size());
    int64_t dims[8] = {4, 1, 1, 1, n, 1, 1, 1};
    nifti_image* nim = nifti_make_new_nim(dims, DT_COMPLEX64, 1);
    if (!nim) return fail(err, "could not allocate the NIfTI image");
    // NIfTI-1 single file: the standard accepts it, and every reader has it.
    nim->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    nim->dx = nim->dy = nim->dz = kUnlocalisedMm;
    nim->dt = sig.dwell_s;
    nim->pixdim[0] = 1.0;
    nim->pixdim[1] = nim->pixdim[2] = nim->pixdim[3] = kUnlocalisedMm;
    nim->pixdim[4] = sig.dwell_s;
    nim->xyz_units = NIFTI_UNITS_MM;
    nim->time_units = NIFTI_UNITS_SEC;
    nim->qform_code = 0;
    nim->sform_code = 0;
    std::snprintf(nim->intent_name, sizeof nim->intent_name, "%s", "mrs_v0_3");
    float* data = static_cast<float*>(nim->data);
    for (int64_t k = 0; k < n; ++k) {
        data[2 * k] = static_cast<float>(sig.fid[k].real());
        data[2 * k + 1] = static_cast<float>(sig.fid[k].imag());
    }
    const std::string json = mrs_json(sig);
    const std::string tmp = temp_name(path, ".nii.gz");
    bool ok = nifti_add_extension(nim, json.c_str(), static_cast<int>(json.size()), NIFTI_ECODE_MRS) == 0 &&
              nifti_set_filenames(nim, tmp.c_str(), 0, 1) == 0;
    if (ok) nifti_image_write(nim);
    nifti_image_free(nim);
    // The library reports write errors only on the console: read the header back.
    if (ok) {
        nifti_image* back = nifti_image_read(tmp.c_str(), 0);
        ok = back && back->nt == n && back->datatype == DT_COMPLEX64 && back->num_ext == 1;
        if (back) nifti_image_free(back);
    }
    if (!ok) {
        std::remove(tmp.c_str());
        return fail(err, std::string("could not write NIfTI-MRS file ") + path);
    }
    return commit(tmp, path, err);
}

bool vyn_basis_write_raw(const char* path, const VYNBasisSignal& sig, std::string* err) {
    if (!signal_ok(sig, err)) return false;
    const std::string tmp = temp_name(path, "");
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return fail(err, std::string("could not open ") + tmp + ": " + std::strerror(errno));
    // LCModel reads the namelist and then FMTDAT-formatted pairs (real, imaginary).
    std::string id = sig.name.substr(0, 60);
    for (char& c : id)
        if (c == '\'') c = '_';
    bool ok = std::fprintf(f, " $SEQPAR\n HZPPPM=%.10g\n SEQ='%s'\n $END\n", sig.spectrometer_mhz,
                           sig.sequence_name.empty() ? "vyn" : sig.sequence_name.c_str()) > 0 &&
              std::fprintf(f, " $NMID\n ID='%s'\n FMTDAT='(2E17.9)'\n VOLUME=1.\n TRAMP=1.\n $END\n", id.c_str()) > 0;
    for (size_t k = 0; ok && k < sig.fid.size(); ++k)
        ok = std::fprintf(f, "%17.9E%17.9E\n", sig.fid[k].real(), sig.fid[k].imag()) > 0;
    return close_and_commit(f, ok, tmp, path, err);
}

std::vector<std::complex<double>> vyn_basis_pattern_spectrum(const std::vector<std::complex<double>>& fid) {
    const size_t n = fid.size();
    std::vector<std::complex<double>> out(n);
    if (n == 0) return out;
    // Exact twiddles by index (j*k mod N): no drift over long signals.
    std::vector<std::complex<double>> w(n);
    for (size_t m = 0; m < n; ++m) w[m] = std::polar(1.0, -kTwoPi * static_cast<double>(m) / n);
    const size_t half = n / 2;
    for (size_t j = 0; j < n; ++j) {
        const size_t freq = (j + n - half) % n;
        std::complex<double> acc = 0.0;
        size_t idx = 0;
        for (size_t k = 0; k < n; ++k) {
            acc += fid[k] * w[idx];
            idx += freq;
            if (idx >= n) idx -= n;
        }
        out[j] = acc / static_cast<double>(n);
    }
    return out;
}

bool vyn_basis_write_pattern(const char* path, const VYNBasisSignal& sig, std::string* err) {
    if (!signal_ok(sig, err)) return false;
    const size_t n = sig.fid.size();
    if (n < 2 || (n & (n - 1)) != 0) return fail(err, "a pattern needs a power of two of samples");
    const auto spectrum = vyn_basis_pattern_spectrum(sig.fid);
    const std::string tmp = temp_name(path, "");
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (!f) return fail(err, std::string("could not open ") + tmp + ": " + std::strerror(errno));
    bool ok = true;
    for (size_t k = 0; ok && k < n; ++k) {
        float v[2] = {static_cast<float>(spectrum[k].real()), static_cast<float>(spectrum[k].imag())};
        unsigned char b[8];
        for (int c = 0; c < 2; ++c) {
            uint32_t u;
            std::memcpy(&u, &v[c], 4);
            for (int i = 0; i < 4; ++i) b[4 * c + i] = static_cast<unsigned char>(u >> (8 * i));
        }
        ok = std::fwrite(b, 1, 8, f) == 8;
    }
    return close_and_commit(f, ok, tmp, path, err);
}
