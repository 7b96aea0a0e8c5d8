// Volume mode: parameter maps of a NIfTI-MRS job. Each fitted voxel's values go into float
// maps on the input's grid (NaN where no fit left results); at the end every map is written
// as maps/<name>.nii.gz with the input's qform and sform, each through a temporary + rename.
//
// Per line or pattern k of the .par: L<k>_area, L<k>_area_sd (one Cramer-Rao standard
// deviation), L<k>_frequency_hz (relative frequency nu = F - SW/2), L<k>_width1_hz,
// L<k>_width2_hz, L<k>_phase_deg; and status (int16, codes below) and chi2 (weighted chi-square
// after the fit). Status codes: 0 not fitted (outside the mask or the job's range), 1 FIT_OK,
// 2 FIT_NOT_CONVERGED (values written), 3 all-zero spectrum skipped, 4 fit failed.
#include <nifti/nifti2_io.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "qmemfile.h"
#include "qnifti_map.h"
#include "qnifti_mrs.h"
#include "qorvane_nifti_input.h"
#include "qorvane_volume_job.h"
#include "qpath.h"

namespace {

const char* const kLineMaps[6] = {"area", "area_sd", "frequency_hz", "width1_hz", "width2_hz", "phase_deg"};

struct MapsSink {
    std::string input, parameter_file, dir;
    QorvaneNiftiMrs file;
    nifti_image* header = nullptr;  // the input's header (file.nim): geometry of the maps
    int lines = 0;
    double half_sw = 0.0;
    size_t voxels = 0;
    std::vector<std::vector<float>> maps;  // 6 per line, then chi2
    std::vector<int16_t> status;
};

MapsSink* maps_state(QorvaneVolumeSink* sink) { return static_cast<MapsSink*>(sink->state); }

int maps_begin(QorvaneVolumeSink* sink, QorvaneVolumeJob* job) {
    MapsSink* m = maps_state(sink);
    int n_pnts = 0;
    double hz_p_p = 0.0;
    std::string error;
    // An unreadable input or parameter file is reported by the source and the job's check.
    if (qorvane_nifti_mrs_open(m->input.c_str(), &m->file, &error) != 0 ||
        qorvane_par_axis(m->parameter_file.c_str(), &n_pnts, &hz_p_p, &m->lines) != 0)
        return 0;
    m->header = static_cast<nifti_image*>(m->file.nim);
    m->half_sw = 0.5 / m->file.dwell_s;  // SW = 1/dwell, exact from the file
    m->voxels = (size_t)m->file.voxels();
    m->maps.assign((size_t)6 * m->lines + 1, std::vector<float>(m->voxels, NAN));
    m->status.assign(m->voxels, 0);
    m->dir = std::string(job->options->output_dir) + "/maps";
    return 0;
}

// Whitespace-separated rows of a result file kept in memory (or on disk).
std::vector<std::vector<double>> rows_of(const QorvaneVoxelResults* r, const QorvaneVolumeJob* job, const char* ext) {
    const std::string name = std::string(r->stem) + "." + ext;
    std::string text;
    if (r->memory != nullptr) {
        const QorvaneMemoryFile* f = r->memory->find_name(name.c_str());
        if (f != nullptr) text.assign(f->data, f->size);
    } else {
        char path[1024];
        if (qorvane_join_path(path, job->options->work_dir, name.c_str()) == 0) {
            FILE* in = fopen(path, "rb");
            if (in != nullptr) {
                char buf[4096];
                size_t got;
                while ((got = fread(buf, 1, sizeof buf, in)) > 0) text.append(buf, got);
                fclose(in);
            }
        }
    }
    std::vector<std::vector<double>> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // strtod: the files print "inf" and "nan" where a noise level is zero.
        std::vector<double> row;
        const char* p = line.c_str();
        for (;;) {
            char* end = nullptr;
            const double v = strtod(p, &end);
            if (end == p) break;
            row.push_back(v);
            p = end;
        }
        rows.push_back(row);
    }
    return rows;
}

int maps_voxel(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, const QorvaneVoxelResults* r) {
    MapsSink* m = maps_state(sink);
    if (m->maps.empty()) return 0;
    const size_t v = (size_t)job->slots[r->slot].record;
    if (v >= m->voxels) return 0;
    const auto mat = rows_of(r, job, "mat");
    const auto err = rows_of(r, job, "err");
    for (int k = 0; k < m->lines && k < (int)mat.size(); ++k) {
        const std::vector<double>& p = mat[k];
        if (p.size() < 5) continue;
        m->maps[6 * k + 0][v] = (float)p[0];
        m->maps[6 * k + 2][v] = (float)(p[1] - m->half_sw);
        m->maps[6 * k + 3][v] = (float)std::fabs(p[2]);
        m->maps[6 * k + 4][v] = (float)p[4];
        m->maps[6 * k + 5][v] = (float)p[3];
        if (k < (int)err.size() && !err[k].empty()) m->maps[6 * k + 1][v] = (float)err[k][0];
    }
    // The .exl number line (after the command line, an empty line and the mode word): the
    // weighted chi-square after the fit is its fifth value.
    const auto exl = rows_of(r, job, "exl");
    for (size_t i = 3; i < exl.size(); ++i)
        if (exl[i].size() >= 5) {
            m->maps[(size_t)6 * m->lines][v] = (float)exl[i][4];
            break;
        }
    return 0;
}

int status_code(const char* status) {
    if (strcmp(status, "FIT_OK") == 0) return 1;
    if (strcmp(status, "FIT_NOT_CONVERGED") == 0) return 2;
    if (strcmp(status, "FIT_SKIPPED_ZERO_INPUT") == 0) return 3;
    return 4;
}

int maps_finish(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, uint32_t first, uint32_t end) {
    MapsSink* m = maps_state(sink);
    if (m->maps.empty()) return 0;
    for (uint32_t s = first; s < end; ++s) {
        const size_t v = (size_t)job->slots[s].record;
        if (v < m->voxels) m->status[v] = (int16_t)status_code(job->slots[s].status);
    }
    if (qorvane_make_dir(m->dir.c_str()) != 0) {
        fprintf(stderr, "Volume output error: cannot create the maps directory: %s\n", m->dir.c_str());
        return 5;
    }
    int rc = 0;
    for (int k = 0; k < m->lines && rc == 0; ++k)
        for (int q = 0; q < 6 && rc == 0; ++q)
            rc = qorvane_nifti_map_write(m->header, m->dir, "L" + std::to_string(k + 1) + "_" + kLineMaps[q],
                                         NIFTI_TYPE_FLOAT32, m->maps[(size_t)6 * k + q].data(),
                                         q == 2 ? "nu Hz; " + qorvane_nifti_mrs_ppm_rule(&m->file) : std::string());
    if (rc == 0)
        rc = qorvane_nifti_map_write(m->header, m->dir, "chi2", NIFTI_TYPE_FLOAT32,
                                     m->maps[(size_t)6 * m->lines].data());
    if (rc == 0) rc = qorvane_nifti_map_write(m->header, m->dir, "status", NIFTI_TYPE_INT16, m->status.data());
    if (rc == 0) fprintf(stderr, "Volume mode: parameter maps written: %s\n", m->dir.c_str());
    return rc;
}

// A finished voxel's values (every map but status, which follows the slot's status) for the journal.
void maps_journal_save(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, uint32_t slot, std::string* blob) {
    MapsSink* m = maps_state(sink);
    const size_t v = (size_t)job->slots[slot].record;
    if (m->maps.empty() || v >= m->voxels) return;
    for (const std::vector<float>& map : m->maps) blob->append(reinterpret_cast<const char*>(&map[v]), sizeof(float));
}

void maps_journal_load(QorvaneVolumeSink* sink, QorvaneVolumeJob* job, uint32_t slot, const char* data, size_t size) {
    MapsSink* m = maps_state(sink);
    const size_t v = (size_t)job->slots[slot].record;
    if (m->maps.empty() || v >= m->voxels || size != m->maps.size() * sizeof(float)) return;
    for (size_t i = 0; i < m->maps.size(); ++i) memcpy(&m->maps[i][v], data + i * sizeof(float), sizeof(float));
}

void maps_release(QorvaneVolumeSink* sink) {
    MapsSink* m = maps_state(sink);
    if (m == nullptr) return;
    qorvane_nifti_mrs_close(&m->file);
    delete m;
    sink->state = nullptr;
}

}  // namespace

void qorvane_volume_maps_sink(QorvaneVolumeSink* sink, const QorvaneCliOptions* o) {
    *sink = QorvaneVolumeSink{nullptr,     maps_begin,   nullptr,           nullptr,          maps_voxel,
                              maps_finish, maps_release, maps_journal_save, maps_journal_load};
    MapsSink* m = new MapsSink();
    m->input = o->input;
    m->parameter_file = o->parameter_file;
    sink->state = m;
}
