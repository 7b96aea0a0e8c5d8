// Volume mode: the NIfTI-MRS source of voxel spectra. The scan reads the file by slabs of z
// planes (a bounded number of bytes at a time), turns each selected voxel's FID into the
// spectrum the model fits and appends it to an unlinked spill file in the work directory;
// the fits read their spectra from there by pread. Memory: one slab plus one byte of mask
// and eight bytes of spill index per voxel, whatever the size of the volume.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qnifti_mrs.h"
#include "qorvane_context.h"
#include "qorvane_nifti_input.h"
#include "qorvane_volume_job.h"

double g_qorvane_nifti_slab_bytes = 64.0 * 1024 * 1024;

namespace {

struct NiftiSource {
    std::string path, mask_path, parameter_file, spill_dir;
    QorvaneNiftiMrs m;
    std::vector<unsigned char> mask;  // empty: every voxel selected
    std::vector<double> slab;         // FIDs of planes slab_z0 .. slab_z0 + slab_planes - 1
    int64_t slab_z0 = -1, slab_planes = 0, planes_per_slab = 1;
    int spill_fd = -1;
    off_t spill_end = 0;
    std::vector<int64_t> spill_at;  // per voxel: offset of its spectrum in the spill file, or -1
};

NiftiSource* nifti_state(const QorvaneVoxelSource* source) { return static_cast<NiftiSource*>(source->state); }

int nifti_open_header(QorvaneVoxelSource* source) {
    NiftiSource* s = nifti_state(source);
    std::string error;
    int n_pnts = 0;
    double hz_p_p = 0.0;
    int rc = qorvane_nifti_mrs_open(s->path.c_str(), &s->m, &error);
    const int64_t n = s->m.points;
    if (rc == 0 && (n < 2 || n > QORVANE_MAX_POINTS || (n & (n - 1)) != 0)) {
        error = "spectra of " + std::to_string((long long)n) + " points: a power of 2 up to " +
                std::to_string((int)QORVANE_MAX_POINTS) + " is needed";
        rc = -1;
    }
    // An unreadable parameter file is reported by the job's own check.
    if (rc == 0 && qorvane_par_axis(s->parameter_file.c_str(), &n_pnts, &hz_p_p) == 0)
        rc = qorvane_nifti_mrs_check_axis(&s->m, n_pnts, hz_p_p, &error);
    if (rc == 0 && !s->mask_path.empty()) rc = qorvane_nifti_mask_read(s->mask_path.c_str(), &s->m, &s->mask, &error);
    if (rc != 0) {
        fprintf(stderr, "NIfTI-MRS input refused: %s: %s\n", s->path.c_str(), error.c_str());
        return 2;
    }
    fprintf(stderr,
            "NIfTI-MRS input: %s: NIfTI-%d, %lld x %lld x %lld voxels of %lld points, dwell %.9g s, %s at %.6f MHz, "
            "%s\n",
            s->path.c_str(), s->m.nifti_version, (long long)s->m.nx, (long long)s->m.ny, (long long)s->m.nz,
            (long long)n, s->m.dwell_s, s->m.nucleus.c_str(), s->m.spectrometer_mhz,
            qorvane_nifti_mrs_ppm_note(&s->m).c_str());
    source->points = (uint32_t)n;
    source->voxels = (unsigned long long)s->m.voxels();
    const double plane_bytes = 16.0 * (double)s->m.nx * (double)s->m.ny * (double)n;
    const double budget = g_qorvane_nifti_slab_bytes;
    s->planes_per_slab = plane_bytes >= budget ? 1 : (int64_t)(budget / plane_bytes);
    // Read by several slabs, a gzip stream would be inflated once per slab: inflate it once.
    if (s->planes_per_slab < s->m.nz && qorvane_nifti_mrs_is_gzip(&s->m)) {
        if (qorvane_nifti_mrs_unpack(&s->m, s->spill_dir, &error) != 0) {
            fprintf(stderr, "NIfTI-MRS input refused: %s: %s\n", s->path.c_str(), error.c_str());
            return 2;
        }
        fprintf(stderr, "NIfTI-MRS input: %s: read by %lld slabs, its data inflated once into %s\n", s->path.c_str(),
                (long long)((s->m.nz + s->planes_per_slab - 1) / s->planes_per_slab), s->spill_dir.c_str());
    }
    return 0;
}

int nifti_begin_scan(QorvaneVoxelSource* source) {
    NiftiSource* s = nifti_state(source);
    std::string tmpl = s->spill_dir + "/.qorvane_spectra_XXXXXX";
    s->spill_fd = mkstemp(&tmpl[0]);
    if (s->spill_fd < 0) {
        fprintf(stderr, "NIfTI-MRS volume error: cannot create the spectrum spill file in %s: %s\n",
                s->spill_dir.c_str(), strerror(errno));
        return 6;
    }
    unlink(tmpl.c_str());  // gone with the descriptor, also when the job is killed
    s->spill_at.assign((size_t)source->voxels, -1);
    return 0;
}

int nifti_scan_next(QorvaneVoxelSource* source, unsigned long long r, char* voxel_id, size_t id_size, bool* selected,
                    unsigned char* samples) {
    NiftiSource* s = nifti_state(source);
    const QorvaneNiftiMrs& m = s->m;
    const int64_t plane = m.nx * m.ny;
    const int64_t z = (int64_t)r / plane;
    std::string error;
    if (z < s->slab_z0 || z >= s->slab_z0 + s->slab_planes) {
        s->slab_z0 = z;
        s->slab_planes = std::min(s->planes_per_slab, m.nz - z);
        if (qorvane_nifti_mrs_read_slab(&m, z, s->slab_planes, &s->slab, &error) != 0) {
            fprintf(stderr, "NIfTI-MRS read error: %s: planes %lld..%lld: %s\n", s->path.c_str(), (long long)z,
                    (long long)(z + s->slab_planes - 1), error.c_str());
            return 2;
        }
    }
    const int64_t x = (int64_t)r % m.nx, y = ((int64_t)r / m.nx) % m.ny;
    snprintf(voxel_id, id_size, "x%lld_y%lld_z%lld", (long long)x, (long long)y, (long long)z);
    *selected = s->mask.empty() || s->mask[r] != 0;
    if (qorvane_nifti_voxel_spectrum(&m, s->slab.data(), (long long)r - s->slab_z0 * plane, samples, &error) != 0) {
        fprintf(stderr, "NIfTI-MRS read error: %s: voxel %s: %s\n", s->path.c_str(), voxel_id, error.c_str());
        return 2;
    }
    if (!*selected) return 0;
    const size_t bytes = (size_t)8 * m.points;
    size_t put = 0;
    while (put < bytes) {
        ssize_t w = pwrite(s->spill_fd, samples + put, bytes - put, s->spill_end + (off_t)put);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            fprintf(stderr, "NIfTI-MRS volume error: cannot write the spectrum spill file: %s\n", strerror(errno));
            return 5;
        }
        put += (size_t)w;
    }
    s->spill_at[r] = s->spill_end;
    s->spill_end += (off_t)bytes;
    return 0;
}

int nifti_end_scan(QorvaneVoxelSource* source, bool) {
    NiftiSource* s = nifti_state(source);
    std::vector<double>().swap(s->slab);
    qorvane_nifti_mrs_close(&s->m);
    return 0;
}

int nifti_read_spectrum(const QorvaneVoxelSource* source, unsigned long long index, unsigned char* samples) {
    const NiftiSource* s = nifti_state(source);
    if (s->spill_fd < 0 || index >= s->spill_at.size() || s->spill_at[index] < 0) return 2;
    const size_t want = (size_t)8 * source->points;
    size_t got = 0;
    while (got < want) {
        ssize_t r = pread(s->spill_fd, samples + got, want - got, (off_t)s->spill_at[index] + (off_t)got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return 2;
        got += (size_t)r;
    }
    return 0;
}

void nifti_close(QorvaneVoxelSource* source) {
    NiftiSource* s = nifti_state(source);
    if (s == nullptr) return;
    qorvane_nifti_mrs_close(&s->m);
    if (s->spill_fd >= 0) close(s->spill_fd);
    delete s;
    source->state = nullptr;
}

}  // namespace

int qorvane_volume_source_open_nifti(QorvaneVoxelSource* source, const QorvaneCliOptions* o) {
    *source = QorvaneVoxelSource{
        nullptr,    0, 0, nifti_open_header, nifti_begin_scan, nifti_scan_next, nifti_end_scan, nifti_read_spectrum,
        nifti_close};
    NiftiSource* s = new NiftiSource();
    source->state = s;
    s->path = o->input;
    s->mask_path = o->mask;
    s->parameter_file = o->parameter_file;
    s->spill_dir = o->work_dir[0] != '\0' ? o->work_dir : o->output_dir;
    fprintf(stderr, "Opening NIfTI-MRS input: %s\n", o->input);
    return 0;
}
