#include "texel_nifti.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <limits>

namespace {

// Converts the loaded data to doubles; 0 for a supported scalar type.
template <typename T>
void texel_widen(const void* data, int64_t n, double* out) {
    const T* p = (const T*)data;
    for (int64_t k = 0; k < n; ++k) out[k] = (double)p[k];
}

int texel_convert(const nifti_image* nim, double* out, int* integer) {
    const int64_t n = nim->nvox;
    *integer = 1;
    switch (nim->datatype) {
        case DT_UINT8:
            texel_widen<uint8_t>(nim->data, n, out);
            break;
        case DT_INT8:
            texel_widen<int8_t>(nim->data, n, out);
            break;
        case DT_INT16:
            texel_widen<int16_t>(nim->data, n, out);
            break;
        case DT_UINT16:
            texel_widen<uint16_t>(nim->data, n, out);
            break;
        case DT_INT32:
            texel_widen<int32_t>(nim->data, n, out);
            break;
        case DT_UINT32:
            texel_widen<uint32_t>(nim->data, n, out);
            break;
        case DT_INT64:
            texel_widen<int64_t>(nim->data, n, out);
            break;
        case DT_UINT64:
            texel_widen<uint64_t>(nim->data, n, out);
            break;
        case DT_FLOAT32:
            *integer = 0;
            texel_widen<float>(nim->data, n, out);
            break;
        case DT_FLOAT64:
            *integer = 0;
            texel_widen<double>(nim->data, n, out);
            break;
        default:
            return 1;
    }
    return 0;
}

bool texel_is_gz(const char* path) {
    const size_t n = strlen(path);
    return n >= 3 && strcmp(path + n - 3, ".gz") == 0;
}

// Checks the header before any data are read, so that a forged size allocates nothing.
int texel_check_header(const nifti_image* nim, int64_t max_voxels, const char* path, char* err, size_t errsz) {
    for (int k = 4; k <= 7; ++k)
        if (nim->dim[0] >= k && nim->dim[k] > 1) {
            snprintf(err, errsz, "%s has %lld entries along dimension %d; give one 3-D volume", path,
                     (long long)nim->dim[k], k);
            return 1;
        }
    if (nim->nx < 1 || nim->ny < 1 || nim->nz < 1 || nim->nx > INT32_MAX || nim->ny > INT32_MAX ||
        nim->nz > INT32_MAX) {
        snprintf(err, errsz, "%s has unusable dimensions %lld x %lld x %lld", path, (long long)nim->nx,
                 (long long)nim->ny, (long long)nim->nz);
        return 1;
    }
    if (nim->nx > max_voxels / nim->ny || nim->nx * nim->ny > max_voxels / nim->nz) {
        snprintf(err, errsz, "%s has more than %lld voxels", path, (long long)max_voxels);
        return 1;
    }
    const int dt = nim->datatype;
    if (!(dt == DT_UINT8 || dt == DT_INT8 || dt == DT_INT16 || dt == DT_UINT16 || dt == DT_INT32 || dt == DT_UINT32 ||
          dt == DT_INT64 || dt == DT_UINT64 || dt == DT_FLOAT32 || dt == DT_FLOAT64)) {
        snprintf(err, errsz, "%s: data type %s is not a supported real scalar type", path, nifti_datatype_string(dt));
        return 1;
    }
    if (!isfinite(nim->scl_slope) || !isfinite(nim->scl_inter)) {
        snprintf(err, errsz, "%s: scaling (scl_slope, scl_inter) is not finite", path);
        return 1;
    }
    // An uncompressed single file must hold all its data.
    if (nim->nifti_type != NIFTI_FTYPE_ANALYZE && nim->nifti_type != NIFTI_FTYPE_NIFTI1_2 &&
        nim->nifti_type != NIFTI_FTYPE_NIFTI2_2 && !texel_is_gz(nim->iname)) {
        struct stat st;
        const int64_t need = (int64_t)nim->iname_offset + (int64_t)nim->nvox * nim->nbyper;
        if (stat(nim->iname, &st) != 0 || (int64_t)st.st_size < need) {
            snprintf(err, errsz, "%s is truncated: %lld bytes of data expected", path, (long long)need);
            return 1;
        }
    }
    return 0;
}

// Reads the data of a header read without them, with the library's file layer: unlike
// nifti_image_load it keeps non-finite floats as they are (the loader sets them to 0), so
// that they can be refused. 0 when all nvox values are there.
int texel_load_raw(nifti_image* nim) {
    const size_t bytes = (size_t)nim->nvox * (size_t)nim->nbyper;
    void* buf = calloc(bytes ? bytes : 1, 1);
    if (!buf) return 1;
    znzFile fp = znzopen(nim->iname, "rb", nifti_is_gzfile(nim->iname));
    size_t got = 0;
    if (!znz_isnull(fp)) {
        if (znzseek(fp, (long)nim->iname_offset, SEEK_SET) >= 0) got = znzread(buf, 1, bytes, fp);
        znzclose(fp);
    }
    if (got != bytes) {
        free(buf);
        return 1;
    }
    if (nim->swapsize > 1 && nim->byteorder != nifti_short_order()) nifti_swap_Nbytes(nim->nvox, nim->swapsize, buf);
    nim->data = buf;
    return 0;
}

uint64_t texel_swap(uint64_t v, int bytes) {
    uint64_t r = 0;
    for (int k = 0; k < bytes; ++k) r = (r << 8) | ((v >> (8 * k)) & 0xffu);
    return r;
}

// Little-endian field of `bytes` bytes at `at`, swapped when the header is.
int64_t texel_field(const unsigned char* h, int at, int bytes, bool swap) {
    uint64_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) v = (v << 8) | h[at + k];
    if (swap) v = texel_swap(v, bytes);
    if (bytes < 8 && (v >> (8 * bytes - 1)) & 1u) v |= ~(uint64_t)0 << (8 * bytes);  // sign
    return (int64_t)v;
}

// Checks the dimension fields of the raw header before the library converts it: the
// library trusts dim[0] of a NIfTI-2 header and overruns its stack on a forged one.
int texel_check_raw_header(const char* path, char* err, size_t errsz) {
    char* hname = nifti_findhdrname(path);
    unsigned char h[540];
    size_t got = 0;
    if (hname) {
        znzFile fp = znzopen(hname, "rb", nifti_is_gzfile(hname));
        if (!znz_isnull(fp)) {
            got = znzread(h, 1, sizeof h, fp);
            znzclose(fp);
        }
        free(hname);
    }
    const int64_t size = got >= 4 ? texel_field(h, 0, 4, false) : 0;
    const bool swap = size != 348 && size != 540;
    const int64_t sz = swap && got >= 4 ? texel_field(h, 0, 4, true) : size;
    const bool v2 = sz == 540;
    if ((sz != 348 && sz != 540) || got < (size_t)sz) {
        snprintf(err, errsz, "cannot read %s as a NIfTI image", path);
        return 1;
    }
    const int at = v2 ? 16 : 40, bytes = v2 ? 8 : 2;
    const int64_t ndim = texel_field(h, at, bytes, swap);
    bool ok = ndim >= 1 && ndim <= 7;
    for (int k = 1; ok && k <= ndim; ++k) ok = texel_field(h, at + k * bytes, bytes, swap) >= 1;
    if (!ok) {
        snprintf(err, errsz, "cannot read %s: its header has invalid dimensions", path);
        return 1;
    }
    return 0;
}

}  // namespace

int texel_nifti_read(const char* path, int64_t max_voxels, TexelVolume* vol, char* err, size_t errsz) {
    texel_nifti_release(vol);
    if (errsz) err[0] = '\0';
    if (texel_check_raw_header(path, err, errsz)) return 1;
    nifti_image* nim = nifti_image_read(path, 0);
    if (!nim) {
        snprintf(err, errsz, "cannot read %s as a NIfTI image", path);
        return 1;
    }
    if (texel_check_header(nim, max_voxels, path, err, errsz) != 0) {
        nifti_image_free(nim);
        return 1;
    }
    if (texel_load_raw(nim) != 0) {
        snprintf(err, errsz, "%s is truncated or its data cannot be read", path);
        nifti_image_free(nim);
        return 1;
    }
    vol->X = (int)nim->nx;
    vol->Y = (int)nim->ny;
    vol->Z = (int)nim->nz;
    vol->values.resize((size_t)nim->nvox);
    texel_convert(nim, vol->values.data(), &vol->integer_data);
    const double a = nim->scl_slope, b = nim->scl_inter;
    if (a != 0.0 && (a != 1.0 || b != 0.0)) {
        vol->integer_data = 0;
        for (double& v : vol->values) v = a * v + b;
    }
    nifti_image_unload(nim);
    vol->nim = nim;
    return 0;
}

void texel_nifti_release(TexelVolume* vol) {
    if (vol->nim) nifti_image_free(vol->nim);
    vol->nim = nullptr;
    vol->values.clear();
}

static int texel_same_matrix(const nifti_dmat44& a, const nifti_dmat44& b) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            if (!(fabs(a.m[r][c] - b.m[r][c]) <= 1e-4 * (1.0 + fabs(a.m[r][c])))) return 0;
    return 1;
}

int texel_nifti_same_grid(const nifti_image* a, const nifti_image* b, char* err, size_t errsz) {
    if (a->nx != b->nx || a->ny != b->ny || a->nz != b->nz) {
        snprintf(err, errsz, "the mask's grid %lld x %lld x %lld differs from the image's %lld x %lld x %lld",
                 (long long)b->nx, (long long)b->ny, (long long)b->nz, (long long)a->nx, (long long)a->ny,
                 (long long)a->nz);
        return 1;
    }
    const bool q = a->qform_code > 0 && b->qform_code > 0 && !texel_same_matrix(a->qto_xyz, b->qto_xyz);
    const bool s = a->sform_code > 0 && b->sform_code > 0 && !texel_same_matrix(a->sto_xyz, b->sto_xyz);
    if (q || s) {
        snprintf(err, errsz, "the mask's %s differs from the image's: not the same grid", q ? "qform" : "sform");
        return 1;
    }
    return 0;
}

int texel_nifti_write_float(const nifti_image* like, const float* data, const char* description, const char* path,
                            char* err, size_t errsz) {
    nifti_image* out = nifti_copy_nim_info(like);
    if (!out) {
        snprintf(err, errsz, "out of memory for the header of %s", path);
        return 1;
    }
    nifti_free_extensions(out);
    for (int k = 4; k < 8; ++k) out->dim[k] = 1;
    out->dim[0] = 3;
    nifti_update_dims_from_array(out);
    out->datatype = DT_FLOAT32;
    out->nbyper = 4;
    out->swapsize = 4;
    out->scl_slope = 1.0;
    out->scl_inter = 0.0;
    out->cal_min = out->cal_max = 0.0;
    out->intent_code = 0;
    snprintf(out->descrip, sizeof out->descrip, "%s", description);
    // NIfTI-1 whatever the input's version: holds every grid of up to 32767 voxels an axis,
    // and a NIfTI-2 type set after the file names came out without its header here.
    out->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    int status = nifti_set_filenames(out, path, 0, 1);
    if (status == 0) {
        out->data = (void*)data;
        nifti_image_write(out);
        out->data = nullptr;
        // nifti_image_write reports no status: read the file back.
        nifti_image* back = nifti_image_read(path, 0);
        status = !back || back->nvox != out->nvox || back->datatype != DT_FLOAT32 || texel_load_raw(back) != 0 ||
                 memcmp(back->data, data, (size_t)out->nvox * 4) != 0;
        if (back) nifti_image_free(back);
    }
    nifti_image_free(out);
    if (status) snprintf(err, errsz, "cannot write %s", path);
    return status;
}
