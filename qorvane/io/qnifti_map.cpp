// Parameter maps as NIfTI images through the NIfTI C library: write with a given geometry,
// read back, compare grids.
#include "qnifti_map.h"

#include <nifti/nifti2_io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qnifti_load.h"

int qorvane_nifti_map_write(const void* geometry, const std::string& dir, const std::string& name, int datatype,
                            const void* data, const std::string& description) {
    nifti_image* nim = nifti_copy_nim_info(static_cast<const nifti_image*>(geometry));
    const std::string final_path = dir + "/" + name + ".nii.gz";
    if (nim == nullptr) {
        fprintf(stderr, "Volume output error: cannot write the map %s\n", final_path.c_str());
        return 5;
    }
    nifti_free_extensions(nim);
    nim->ndim = nim->dim[0] = 3;
    for (int d = 4; d <= 7; ++d) nim->dim[d] = 1;
    nim->nt = nim->nu = nim->nv = nim->nw = 1;
    nim->nvox = (int64_t)nim->nx * nim->ny * nim->nz;
    nim->datatype = datatype;
    nifti_datatype_sizes(datatype, &nim->nbyper, &nim->swapsize);
    nim->scl_slope = 0.0;
    nim->scl_inter = 0.0;
    nim->cal_min = nim->cal_max = 0.0;
    memset(nim->intent_name, 0, sizeof nim->intent_name);
    if (!description.empty()) snprintf(nim->descrip, sizeof nim->descrip, "%s", description.c_str());
    nim->nifti_type =
        (nim->nx < 32768 && nim->ny < 32768 && nim->nz < 32768) ? NIFTI_FTYPE_NIFTI1_1 : NIFTI_FTYPE_NIFTI2_1;
    const std::string temp_path = dir + "/." + name + ".tmp.nii.gz";
    remove(temp_path.c_str());
    int rc = nifti_set_filenames(nim, temp_path.c_str(), 0, 1) == 0 ? 0 : 5;
    if (rc == 0) {
        nim->data = const_cast<void*>(data);
        nifti_image_write(nim);
        nim->data = nullptr;
        struct stat st;
        if (stat(temp_path.c_str(), &st) != 0 || st.st_size == 0 || rename(temp_path.c_str(), final_path.c_str()) != 0)
            rc = 5;
    }
    nifti_image_free(nim);
    if (rc != 0) {
        remove(temp_path.c_str());
        fprintf(stderr, "Volume output error: cannot write the map %s\n", final_path.c_str());
    }
    return rc;
}

int qorvane_nifti_map_read(const std::string& path, QorvaneNiftiMap* map, std::string* error) {
    qorvane_nifti_map_free(map);
    nifti_set_debug_level(0);
    nifti_image* nim = nifti_image_read(path.c_str(), 0);
    if (nim == nullptr || qorvane_nifti_load(nim) != 0 || nim->data == nullptr) {
        *error = "cannot read " + path;
        if (nim != nullptr) nifti_image_free(nim);
        return -1;
    }
    const size_t n = (size_t)nim->nvox;
    if (nim->dim[0] > 3 || (nim->datatype != NIFTI_TYPE_FLOAT32 && nim->datatype != NIFTI_TYPE_INT16)) {
        *error = path + " is not a float32 or int16 map of three dimensions";
        nifti_image_free(nim);
        return -1;
    }
    if (nim->datatype == NIFTI_TYPE_FLOAT32)
        map->values.assign(static_cast<const float*>(nim->data), static_cast<const float*>(nim->data) + n);
    else
        map->codes.assign(static_cast<const int16_t*>(nim->data), static_cast<const int16_t*>(nim->data) + n);
    free(nim->data);
    nim->data = nullptr;
    map->nim = nim;
    return 0;
}

void qorvane_nifti_map_free(QorvaneNiftiMap* map) {
    if (map->nim != nullptr) nifti_image_free(static_cast<nifti_image*>(map->nim));
    map->nim = nullptr;
    map->values.clear();
    map->codes.clear();
}

bool qorvane_nifti_map_same_grid(const QorvaneNiftiMap& a, const QorvaneNiftiMap& b) {
    const nifti_image* x = static_cast<const nifti_image*>(a.nim);
    const nifti_image* y = static_cast<const nifti_image*>(b.nim);
    if (x == nullptr || y == nullptr || x->nx != y->nx || x->ny != y->ny || x->nz != y->nz) return false;
    if (x->dx != y->dx || x->dy != y->dy || x->dz != y->dz || x->qform_code != y->qform_code ||
        x->sform_code != y->sform_code)
        return false;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            if (x->qto_xyz.m[i][j] != y->qto_xyz.m[i][j] || x->sto_xyz.m[i][j] != y->sto_xyz.m[i][j]) return false;
    return true;
}
