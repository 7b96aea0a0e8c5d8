// NIfTI-MRS reader: header, JSON extension and slabs of FIDs through the NIfTI C library.
#include "qnifti_mrs.h"

#include <nifti/nifti2_io.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "qnifti_load.h"

namespace {

bool ends_with(const std::string& s, const char* tail) {
    const size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// The tag of an optional dimension 5..7: the header's dim_<d> key, else the default.
std::string dim_tag(const nlohmann::json& j, int d) {
    const std::string key = "dim_" + std::to_string(d);
    auto it = j.find(key);
    if (it != j.end() && it->is_string()) return it->get<std::string>();
    static const char* const kDefault[] = {"DIM_COIL", "DIM_DYN", "DIM_INDIRECT_0"};
    return kDefault[d - 5];
}

// The ecode-44 extension as JSON; false with the reason when absent or malformed.
bool mrs_json(const nifti_image* nim, nlohmann::json* j, std::string* error) {
    for (int i = 0; i < nim->num_ext; ++i) {
        const nifti1_extension& e = nim->ext_list[i];
        if (e.ecode != NIFTI_ECODE_MRS) continue;
        if (e.edata == nullptr || e.esize <= 8) {
            *error = "NIfTI-MRS header extension (ecode 44) is empty";
            return false;
        }
        std::string text(e.edata, (size_t)e.esize - 8);
        text.resize(strnlen(text.c_str(), text.size()));  // padding after the JSON text
        *j = nlohmann::json::parse(text, nullptr, false);
        if (j->is_discarded() || !j->is_object()) {
            *error = "NIfTI-MRS header extension (ecode 44) is not a JSON object";
            return false;
        }
        return true;
    }
    *error = "no NIfTI-MRS header extension (ecode 44): not a NIfTI-MRS file";
    return false;
}

// SpectrometerFrequency and ResonantNucleus: non-empty arrays, first values used.
bool mrs_required_keys(const nlohmann::json& j, QorvaneNiftiMrs* m, std::string* error) {
    auto f = j.find("SpectrometerFrequency");
    if (f == j.end()) {
        *error = "NIfTI-MRS header lacks the required key SpectrometerFrequency";
        return false;
    }
    if (!f->is_array() || f->empty() || !(*f)[0].is_number() || !std::isfinite((*f)[0].get<double>()) ||
        (*f)[0].get<double>() <= 0.0) {
        *error = "NIfTI-MRS SpectrometerFrequency must be an array of positive numbers (MHz)";
        return false;
    }
    auto n = j.find("ResonantNucleus");
    if (n == j.end()) {
        *error = "NIfTI-MRS header lacks the required key ResonantNucleus";
        return false;
    }
    if (!n->is_array() || n->empty() || !(*n)[0].is_string()) {
        *error = "NIfTI-MRS ResonantNucleus must be an array of strings";
        return false;
    }
    m->spectrometer_mhz = (*f)[0].get<double>();
    m->nucleus = (*n)[0].get<std::string>();
    return true;
}

// The optional ChemicalShiftReference (ppm): a finite number or an array whose first value is
// one; false with the reason when present in another form.
bool mrs_ppm_reference(const nlohmann::json& j, QorvaneNiftiMrs* m, std::string* error) {
    auto r = j.find("ChemicalShiftReference");
    if (r == j.end() || r->is_null()) return true;
    const nlohmann::json& v = r->is_array() && !r->empty() ? (*r)[0] : *r;
    if (!v.is_number() || !std::isfinite(v.get<double>())) {
        *error = "NIfTI-MRS ChemicalShiftReference must be a number (ppm) or an array of numbers";
        return false;
    }
    m->ppm_reference = v.get<double>();
    m->ppm_from_header = true;
    return true;
}

// Dwell time in seconds from pixdim[4] and the time units; false with the reason.
bool mrs_dwell(const nifti_image* nim, double* dwell, std::string* error) {
    double scale = 0.0;
    switch (nim->time_units) {
        case NIFTI_UNITS_SEC:
            scale = 1.0;
            break;
        case NIFTI_UNITS_MSEC:
            scale = 1e-3;
            break;
        case NIFTI_UNITS_USEC:
            scale = 1e-6;
            break;
        default:
            *error = "NIfTI-MRS time units (xyzt_units) must be seconds, milliseconds or microseconds";
            return false;
    }
    const double d = nim->pixdim[4] * scale;
    if (!std::isfinite(d) || d <= 0.0) {
        *error = "NIfTI-MRS dwell time (pixdim[4]) must be a positive finite number";
        return false;
    }
    *dwell = d;
    return true;
}

bool mrs_shape(const nifti_image* nim, const nlohmann::json& j, QorvaneNiftiMrs* m, std::string* error) {
    if (nim->datatype != NIFTI_TYPE_COMPLEX64 && nim->datatype != NIFTI_TYPE_COMPLEX128) {
        *error = std::string("NIfTI-MRS data must be complex (complex64 or complex128), not ") +
                 nifti_datatype_string(nim->datatype);
        return false;
    }
    m->complex128 = nim->datatype == NIFTI_TYPE_COMPLEX128;
    if (nim->dim[0] < 4 || nim->dim[0] > 7) {
        *error = "NIfTI-MRS data must have 4 to 7 dimensions (x, y, z, time, ...)";
        return false;
    }
    for (int d = 5; d <= nim->dim[0]; ++d) {
        if (nim->dim[d] > 1) {
            const std::string tag = dim_tag(j, d);
            *error = "NIfTI-MRS dimension " + std::to_string(d) + " (" + tag + ") has " + std::to_string(nim->dim[d]) +
                     " entries; only one spectrum per voxel is fitted: combine or average " + tag + " first";
            return false;
        }
    }
    for (int d = 1; d <= 4; ++d) {
        if (nim->dim[d] < 1) {
            *error = "NIfTI-MRS dimension " + std::to_string(d) + " is empty";
            return false;
        }
    }
    // A header may declare any size; what a compressed file holds is known only when read.
    const double samples = (double)nim->dim[1] * nim->dim[2] * nim->dim[3] * nim->dim[4];
    if (samples > 4.0e9 || (double)nim->dim[1] * nim->dim[2] * nim->dim[3] > 1.0e8) {
        *error = "NIfTI-MRS dimensions too large (more than 1e8 voxels or 4e9 samples)";
        return false;
    }
    m->nx = nim->dim[1];
    m->ny = nim->dim[2];
    m->nz = nim->dim[3];
    m->points = nim->dim[4];
    return true;
}

// An uncompressed file must hold all its data.
bool mrs_size_ok(const nifti_image* nim, std::string* error) {
    if (nim->iname == nullptr || ends_with(nim->iname, ".gz")) return true;
    struct stat st;
    if (stat(nim->iname, &st) != 0) {
        *error = std::string("cannot stat the NIfTI data file ") + nim->iname;
        return false;
    }
    const double need = (double)nim->iname_offset + (double)nim->nvox * nim->nbyper;
    if ((double)st.st_size < need) {
        *error = "NIfTI-MRS file is truncated: " + std::to_string((long long)st.st_size) + " bytes, the header needs " +
                 std::to_string((long long)need);
        return false;
    }
    return true;
}

// 1 or 2 from sizeof_hdr (either byte order; gzip read transparently), 0 when neither or
// when the header's dim[] is out of range: dim[0] outside 1..7 or a negative size. The NIfTI
// library trusts dim[0] of a NIfTI-2 header and overruns its stack on a huge one, so the raw
// header is checked before the library reads it.
int header_version(const char* path) {
    gzFile f = gzopen(path, "rb");
    if (f == nullptr) return 0;
    unsigned char h[80];
    const int got = gzread(f, h, sizeof h);
    gzclose(f);
    if (got != (int)sizeof h) return 0;
    uint32_t size;
    memcpy(&size, h, 4);
    const bool swap = size == __builtin_bswap32(348u) || size == __builtin_bswap32(540u);
    if (swap) size = __builtin_bswap32(size);
    int version = size == 348u ? 1 : size == 540u ? 2 : 0;
    int64_t dim[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int d = 0; d < 8 && version != 0; ++d) {
        if (version == 1) {
            uint16_t v;
            memcpy(&v, h + 40 + 2 * d, 2);
            dim[d] = (int16_t)(swap ? __builtin_bswap16(v) : v);
        } else {
            uint64_t v;
            memcpy(&v, h + 16 + 8 * d, 8);
            dim[d] = (int64_t)(swap ? __builtin_bswap64(v) : v);
        }
    }
    if (version == 0 || dim[0] < 1 || dim[0] > 7) return 0;
    for (int d = 1; d <= dim[0]; ++d)
        if (dim[d] < 0) return 0;
    return version;
}

nifti_image* image_of(const QorvaneNiftiMrs* m) { return static_cast<nifti_image*>(m->nim); }

}  // namespace

bool qorvane_is_nifti_path(const char* path) {
    const std::string p(path);
    if (ends_with(p, ".nii") || ends_with(p, ".nii.gz")) return true;
    // Only a regular file is looked into: opening a FIFO would wait for its writer.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return false;
    unsigned char b[4] = {0, 0, 0, 0};
    const size_t got = fread(b, 1, 4, f);
    fclose(f);
    if (got < 2) return false;
    if (b[0] == 0x1f && b[1] == 0x8b) return true;  // gzip
    if (got < 4) return false;
    int32_t size;
    memcpy(&size, b, 4);
    return size == 348 || size == 540 || __builtin_bswap32((uint32_t)size) == 348u ||
           __builtin_bswap32((uint32_t)size) == 540u;
}

int qorvane_nifti_mrs_open(const char* path, QorvaneNiftiMrs* m, std::string* error) {
    *m = QorvaneNiftiMrs();
    nifti_set_debug_level(0);
    const int version = header_version(path);
    nifti_image* nim = version != 0 ? nifti_image_read(path, 0) : nullptr;
    if (nim == nullptr) {
        *error = std::string("cannot read a NIfTI header from ") + path + " (missing, truncated or corrupt file)";
        return -1;
    }
    nlohmann::json j;
    m->nifti_version = version;
    bool ok = nim->nifti_type != NIFTI_FTYPE_ANALYZE && nim->nifti_type != NIFTI_FTYPE_ASCII;
    if (!ok) *error = std::string(path) + " is not a NIfTI-1 or NIfTI-2 file";
    ok = ok && mrs_json(nim, &j, error) && mrs_required_keys(j, m, error) && mrs_ppm_reference(j, m, error) &&
         mrs_shape(nim, j, m, error) && mrs_dwell(nim, &m->dwell_s, error) && mrs_size_ok(nim, error);
    if (!ok) {
        nifti_image_free(nim);
        *m = QorvaneNiftiMrs();
        return -1;
    }
    m->nim = nim;
    return 0;
}

void qorvane_nifti_mrs_close(QorvaneNiftiMrs* m) {
    if (m->nim != nullptr) nifti_image_free(image_of(m));
    m->nim = nullptr;
    if (m->plain_fd >= 0) close(m->plain_fd);
    m->plain_fd = -1;
}

bool qorvane_nifti_mrs_is_gzip(const QorvaneNiftiMrs* m) {
    return m->nim != nullptr && nifti_is_gzfile(image_of(m)->iname) != 0;
}

// Inflates what the stream holds after its first `skip` bytes into fd (`left` bytes). 0, 1 when
// the stream ends early, 2 when the copy cannot be written.
static int inflate_to(gzFile in, int64_t skip, int64_t left, int fd) {
    std::vector<char> buf((size_t)1 << 20);
    off_t at = 0;
    while (skip + left > 0) {
        const int64_t part = std::min<int64_t>(skip > 0 ? skip : left, (int64_t)buf.size());
        const int got = gzread(in, buf.data(), (unsigned)part);
        if (got <= 0) return 1;
        if (skip > 0) {
            skip -= got;
            continue;
        }
        for (int put = 0; put < got;) {
            const ssize_t w = pwrite(fd, buf.data() + put, (size_t)(got - put), at);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return 2;
            put += (int)w;
            at += w;
        }
        left -= got;
    }
    return 0;
}

int qorvane_nifti_mrs_unpack(QorvaneNiftiMrs* m, const std::string& dir, std::string* error) {
    const nifti_image* nim = image_of(m);
    std::string name = dir + "/.qorvane_nifti_XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd < 0) {
        *error = "cannot create an uncompressed copy of the data in " + dir + ": " + strerror(errno);
        return -1;
    }
    unlink(name.c_str());  // gone with the descriptor, also when the job is killed
    gzFile in = gzopen(nim->iname, "rb");
    const int rc = in == nullptr ? 1 : inflate_to(in, nim->iname_offset, (int64_t)nim->nvox * nim->nbyper, fd);
    if (in != nullptr) gzclose(in);
    if (rc != 0) {
        *error = rc == 1 ? "NIfTI-MRS data cannot be read in full (truncated or corrupt file)"
                         : "cannot write the uncompressed copy of the data in " + dir + ": " + strerror(errno);
        close(fd);
        return -1;
    }
    m->plain_fd = fd;
    return 0;
}

// The slab's bytes from the uncompressed copy: for each time point the slab's voxels are one
// run of bytes. True when all were read; swapped to the CPU's byte order.
static bool read_plain_slab(const QorvaneNiftiMrs* m, int64_t z0, int64_t slab_voxels, void** data) {
    const nifti_image* nim = image_of(m);
    const int64_t run = slab_voxels * nim->nbyper, volume = m->nx * m->ny * m->nz;
    char* bytes = static_cast<char*>(malloc((size_t)(run * m->points)));
    if (bytes == nullptr) return false;
    for (int64_t t = 0; t < m->points; ++t) {
        const off_t from = (off_t)((t * volume + z0 * m->nx * m->ny) * nim->nbyper);
        for (int64_t got = 0; got < run;) {
            const ssize_t r = pread(m->plain_fd, bytes + t * run + got, (size_t)(run - got), from + (off_t)got);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                free(bytes);
                return false;
            }
            got += r;
        }
    }
    if (nim->byteorder != nifti_short_order()) nifti_swap_Nbytes(slab_voxels * m->points * 2, nim->nbyper / 2, bytes);
    *data = bytes;
    return true;
}

// The slab's bytes straight from the gzip stream (skipping forward to each time point's run).
// Not through the NIfTI library's reader: with a plain "x.nii" beside "x.nii.gz" its data reads
// of the gzip file fail. True when all were read; swapped to the CPU's byte order.
static bool read_gz_slab(const QorvaneNiftiMrs* m, int64_t z0, int64_t slab_voxels, void** data) {
    const nifti_image* nim = image_of(m);
    const int64_t run = slab_voxels * nim->nbyper, volume = m->nx * m->ny * m->nz;
    gzFile in = gzopen(nim->iname, "rb");
    char* bytes = in != nullptr ? static_cast<char*>(malloc((size_t)(run * m->points))) : nullptr;
    bool ok = bytes != nullptr;
    if (ok) gzbuffer(in, 1 << 20);
    for (int64_t t = 0; ok && t < m->points; ++t) {
        const int64_t from = nim->iname_offset + (t * volume + z0 * m->nx * m->ny) * nim->nbyper;
        ok = gzseek(in, (z_off_t)from, SEEK_SET) == (z_off_t)from;
        for (int64_t got = 0; ok && got < run;) {
            const int r = gzread(in, bytes + t * run + got, (unsigned)std::min<int64_t>(run - got, 1 << 30));
            ok = r > 0;
            got += r > 0 ? r : 0;
        }
    }
    if (in != nullptr) gzclose(in);
    if (!ok) {
        free(bytes);
        return false;
    }
    if (nim->byteorder != nifti_short_order()) nifti_swap_Nbytes(slab_voxels * m->points * 2, nim->nbyper / 2, bytes);
    *data = bytes;
    return true;
}

int qorvane_nifti_mrs_read_slab(const QorvaneNiftiMrs* m, int64_t z0, int64_t planes, std::vector<double>* fid,
                                std::string* error) {
    if (m->nim == nullptr || z0 < 0 || planes < 1 || z0 + planes > m->nz) {
        *error = "NIfTI-MRS slab outside the volume";
        return -1;
    }
    int64_t start[8] = {0, 0, z0, 0, 0, 0, 0, 0};
    int64_t size[8] = {m->nx, m->ny, planes, m->points, 1, 1, 1, 1};
    void* data = nullptr;
    const int64_t slab_voxels = m->nx * m->ny * planes;
    const int64_t want = slab_voxels * m->points * image_of(m)->nbyper;
    int64_t got;
    if (m->plain_fd >= 0)
        got = read_plain_slab(m, z0, slab_voxels, &data) ? want : -1;
    else if (qorvane_nifti_mrs_is_gzip(m))
        got = read_gz_slab(m, z0, slab_voxels, &data) ? want : -1;
    else
        got = nifti_read_subregion_image(image_of(m), start, size, &data);
    if (got != want || data == nullptr) {
        free(data);
        *error = "NIfTI-MRS data cannot be read in full (truncated or corrupt file)";
        return -1;
    }
    fid->resize((size_t)(slab_voxels * m->points * 2));  // every element is written below
    const int64_t n = m->points;
    int64_t bad = 0;
    // The file holds time-major data (voxels vary fastest), the fit wants each voxel's FID in
    // one run: a transpose, done in bands of 16 time points so both sides stay in the cache.
    double* out = fid->data();
    for (int64_t t0 = 0; t0 < n; t0 += 16) {
        const int64_t t1 = t0 + 16 < n ? t0 + 16 : n;
        for (int64_t v = 0; v < slab_voxels; ++v) {
            for (int64_t t = t0; t < t1; ++t) {
                const int64_t at = v + slab_voxels * t;
                double re, im;
                if (m->complex128) {
                    re = static_cast<const double*>(data)[2 * at];
                    im = static_cast<const double*>(data)[2 * at + 1];
                } else {
                    re = static_cast<const float*>(data)[2 * at];
                    im = static_cast<const float*>(data)[2 * at + 1];
                }
                if (!std::isfinite(re) || !std::isfinite(im)) ++bad;
                out[(v * n + t) * 2] = re;
                out[(v * n + t) * 2 + 1] = im;
            }
        }
    }
    free(data);
    if (bad > 0) {
        *error = "NIfTI-MRS data hold " + std::to_string((long long)bad) + " non-finite sample(s)";
        return -1;
    }
    return 0;
}

int qorvane_nifti_mrs_check_axis(const QorvaneNiftiMrs* m, int n_pnts, double hz_p_p, std::string* error) {
    char text[256];
    if ((int64_t)n_pnts != m->points) {
        snprintf(text, sizeof text, "n_pnts %d of the parameter file differs from the NIfTI-MRS file's %lld points",
                 n_pnts, (long long)m->points);
        *error = text;
        return -1;
    }
    const double expect = 1.0 / ((double)m->points * m->dwell_s);
    if (!std::isfinite(hz_p_p) || std::fabs(hz_p_p - expect) > 1e-6 * expect) {
        snprintf(text, sizeof text,
                 "Hz_p_p %.9g of the parameter file differs from the NIfTI-MRS file's 1/(N dwell) = %.9g Hz", hz_p_p,
                 expect);
        *error = text;
        return -1;
    }
    return 0;
}

int qorvane_nifti_mask_read(const char* path, const QorvaneNiftiMrs* m, std::vector<unsigned char>* mask,
                            std::string* error) {
    nifti_set_debug_level(0);
    // The header first: the data are loaded only for a mask of the input's grid.
    nifti_image* nim = header_version(path) != 0 ? nifti_image_read(path, 0) : nullptr;
    if (nim == nullptr) {
        *error = std::string("cannot read the mask ") + path + " (missing, truncated or corrupt file)";
        return -1;
    }
    bool same = nim->nx == m->nx && nim->ny == m->ny && nim->nz == m->nz && nim->nvox == m->voxels();
    for (int d = 1; d <= 3 && same; ++d)
        if (std::fabs(nim->pixdim[d] - image_of(m)->pixdim[d]) > 1e-4 * std::fabs(image_of(m)->pixdim[d])) same = false;
    if (!same) {
        *error = "the mask's grid differs from the input volume's (" + std::to_string((long long)nim->nx) + " x " +
                 std::to_string((long long)nim->ny) + " x " + std::to_string((long long)nim->nz) + " for " +
                 std::to_string((long long)m->nx) + " x " + std::to_string((long long)m->ny) + " x " +
                 std::to_string((long long)m->nz) + ")";
        nifti_image_free(nim);
        return -1;
    }
    if (qorvane_nifti_load(nim) != 0 || nim->data == nullptr) {
        nifti_image_free(nim);
        *error = std::string("cannot read the mask ") + path + " (truncated or corrupt data)";
        return -1;
    }
    mask->assign((size_t)nim->nvox, 0);
    bool known = true;
    for (int64_t v = 0; v < nim->nvox && known; ++v) {
        double x = 0.0;
        switch (nim->datatype) {
            case NIFTI_TYPE_UINT8:
                x = static_cast<const uint8_t*>(nim->data)[v];
                break;
            case NIFTI_TYPE_INT8:
                x = static_cast<const int8_t*>(nim->data)[v];
                break;
            case NIFTI_TYPE_INT16:
                x = static_cast<const int16_t*>(nim->data)[v];
                break;
            case NIFTI_TYPE_UINT16:
                x = static_cast<const uint16_t*>(nim->data)[v];
                break;
            case NIFTI_TYPE_INT32:
                x = static_cast<const int32_t*>(nim->data)[v];
                break;
            case NIFTI_TYPE_FLOAT32:
                x = static_cast<const float*>(nim->data)[v];
                break;
            case NIFTI_TYPE_FLOAT64:
                x = static_cast<const double*>(nim->data)[v];
                break;
            default:
                known = false;
        }
        (*mask)[(size_t)v] = x != 0.0 ? 1 : 0;
    }
    if (!known) *error = std::string("mask datatype ") + nifti_datatype_string(nim->datatype) + " is not supported";
    nifti_image_free(nim);
    return known ? 0 : -1;
}

std::string qorvane_nifti_mrs_ppm_rule(const QorvaneNiftiMrs* m) {
    char text[96];
    snprintf(text, sizeof text, "ppm = %.10g + nu / %.10g MHz", m->ppm_reference, m->spectrometer_mhz);
    return text;
}

std::string qorvane_nifti_mrs_ppm_note(const QorvaneNiftiMrs* m) {
    return qorvane_nifti_mrs_ppm_rule(m) +
           (m->ppm_from_header ? " (ChemicalShiftReference of the header)" : " (no reference in the header: 4.65)");
}
