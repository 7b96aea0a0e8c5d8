#include "qnifti_load.h"

#include <nifti/nifti2_io.h>

#include <cmath>
#include <cstdlib>

int qorvane_nifti_load(void* image) {
    nifti_image* nim = static_cast<nifti_image*>(image);
    const size_t bytes = (size_t)nim->nvox * (size_t)nim->nbyper;
    void* buf = calloc(bytes > 0 ? bytes : 1, 1);
    if (buf == nullptr) return -1;
    znzFile fp = znzopen(nim->iname, "rb", nifti_is_gzfile(nim->iname));
    size_t got = 0;
    if (!znz_isnull(fp)) {
        if (znzseek(fp, (long)nim->iname_offset, SEEK_SET) >= 0) got = znzread(buf, 1, bytes, fp);
        znzclose(fp);
    }
    if (got != bytes) {
        free(buf);
        return -1;
    }
    if (nim->swapsize > 1 && nim->byteorder != nifti_short_order()) nifti_swap_Nbytes(nim->nvox, nim->swapsize, buf);
    if (nim->datatype == NIFTI_TYPE_FLOAT32) {
        float* v = static_cast<float*>(buf);
        for (int64_t i = 0; i < nim->nvox; ++i)
            if (!std::isfinite(v[i])) v[i] = 0.0f;
    } else if (nim->datatype == NIFTI_TYPE_FLOAT64) {
        double* v = static_cast<double*>(buf);
        for (int64_t i = 0; i < nim->nvox; ++i)
            if (!std::isfinite(v[i])) v[i] = 0.0;
    }
    free(nim->data);
    nim->data = buf;
    return 0;
}
