// NIfTI-MRS input: the parameter file's axis, a voxel's spectrum and single-spectrum mode.
#include "qorvane_nifti_input.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fitcontrol_new.h"
#include "qorvane_context.h"
#include "qorvane_single.h"
#include "qorvane_transforms.h"

int qorvane_par_axis(const char* path, int* n_pnts, double* hz_p_p, int* lines) {
    QorvaneFitContext* saved = g_qorvane_ctx;
    QorvaneFitContext* ctx = qorvane_context_create();
    if (ctx == nullptr) return -1;
    g_qorvane_ctx = ctx;
    qorvane_context_set_defaults(ctx);
    int rc = -1;
    if (strlen(path) < sizeof ctx->parameter_file) {
        snprintf(ctx->parameter_file, sizeof ctx->parameter_file, "%s", path);
        if (load_initial_value_file(ctx) == QORVANE_RC_OK && !ctx->status.fatal && !ctx->fcntl_faulty) {
            *n_pnts = ctx->n_pnts;
            *hz_p_p = ctx->hz_p_p;
            if (lines != nullptr) *lines = ctx->nLines + ctx->pattrn;
            rc = 0;
        }
    }
    qorvane_context_destroy(ctx);
    g_qorvane_ctx = saved;
    return rc;
}

int qorvane_nifti_voxel_spectrum(const QorvaneNiftiMrs* m, const double* slab_fid, long long v, unsigned char* out,
                                 std::string* error) {
    const int n = (int)m->points;
    std::vector<double> work((size_t)2 * n), re((size_t)n), im((size_t)n);
    qorvane_fid_to_spectrum(n, slab_fid + (size_t)v * 2 * n, work.data(), re.data(), im.data());
    for (int k = 0; k < n; ++k) {
        const float pair[2] = {(float)re[k], (float)im[k]};
        if (!std::isfinite(pair[0]) || !std::isfinite(pair[1])) {
            *error = "NIfTI-MRS spectrum exceeds the float32 range";
            return -1;
        }
        memcpy(out + (size_t)8 * k, pair, 8);  // the build machines are little-endian
    }
    return 0;
}

int qorvane_nifti_single_fit(const char* work_dir, const char* input, const char* parameter_file, const char* record) {
    std::string path = work_dir[0] != '\0' ? std::string(work_dir) + "/" + input : std::string(input);
    QorvaneNiftiMrs m;
    std::string error;
    int n_pnts = 0;
    double hz_p_p = 0.0;
    std::vector<double> fid;
    std::vector<unsigned char> bytes;
    int rc = qorvane_nifti_mrs_open(path.c_str(), &m, &error);
    if (rc == 0 && m.voxels() != 1) {
        error = "NIfTI-MRS file holds " + std::to_string((long long)m.voxels()) +
                " voxels; single-spectrum mode fits one (use --mode volume)";
        rc = -1;
    }
    if (rc == 0 && (m.points < 2 || m.points > QORVANE_MAX_POINTS || (m.points & (m.points - 1)) != 0)) {
        error = "NIfTI-MRS spectra of " + std::to_string((long long)m.points) + " points: a power of 2 up to " +
                std::to_string((int)QORVANE_MAX_POINTS) + " is needed";
        rc = -1;
    }
    if (rc == 0 && qorvane_par_axis(parameter_file, &n_pnts, &hz_p_p) == 0)
        rc = qorvane_nifti_mrs_check_axis(&m, n_pnts, hz_p_p, &error);
    if (rc == 0) rc = qorvane_nifti_mrs_read_slab(&m, 0, 1, &fid, &error);
    if (rc == 0) {
        bytes.resize((size_t)8 * m.points);
        rc = qorvane_nifti_voxel_spectrum(&m, fid.data(), 0, bytes.data(), &error);
    }
    if (rc != 0) {
        fprintf(stderr, "NIfTI-MRS input refused: %s: %s\n", path.c_str(), error.c_str());
        qorvane_nifti_mrs_close(&m);
        return 2;
    }
    fprintf(stderr, "NIfTI-MRS input: %s: NIfTI-%d, %lld points, dwell %.9g s, %s at %.6f MHz, %s\n", path.c_str(),
            m.nifti_version, (long long)m.points, m.dwell_s, m.nucleus.c_str(), m.spectrometer_mhz,
            qorvane_nifti_mrs_ppm_note(&m).c_str());
    qorvane_nifti_mrs_close(&m);
    // Results are named after the file less its extension, as a spectrum's are less ".bin".
    std::string stem(input);
    for (const char* ext : {".nii.gz", ".nii"})
        if (stem.size() > strlen(ext) && stem.compare(stem.size() - strlen(ext), strlen(ext), ext) == 0) {
            stem.resize(stem.size() - strlen(ext));
            break;
        }
    QorvaneFitMemoryIo io{bytes.data(), bytes.size(), nullptr};
    QorvaneSingleFitOutcome outcome;
    return qorvane_single_fit_run_memory(work_dir, stem.c_str(), parameter_file, record, nullptr, &io, &outcome);
}
