// Merge of shard jobs on NIfTI-MRS input: the parameter maps of the whole job. Each shard wrote
// maps on the input's grid holding its own range (status 0 and NaN elsewhere), so the merge
// needs no input file: a voxel's values come from the one shard whose status map fitted it,
// and the merged maps keep the shards' geometry (which must be the same for all).
#include <dirent.h>
#include <nifti/nifti2_io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "qnifti_map.h"
#include "qorvane_volume.h"
#include "qpath.h"

namespace {

// The map names (less ".nii.gz") in dir/maps, sorted; false when there is no status map.
bool map_names(const std::string& dir, std::vector<std::string>* names) {
    names->clear();
    DIR* d = opendir((dir + "/maps").c_str());
    if (d == nullptr) return false;
    for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d)) {
        const std::string n = e->d_name;
        if (n.size() > 7 && n[0] != '.' && n.compare(n.size() - 7, 7, ".nii.gz") == 0)
            names->push_back(n.substr(0, n.size() - 7));
    }
    closedir(d);
    std::sort(names->begin(), names->end());
    return std::find(names->begin(), names->end(), "status") != names->end();
}

// Reads shard i's map `name` on the grid of `grid` (when given). 0, or 2 after the message.
int read_shard_map(const char* shard, const std::string& name, const QorvaneNiftiMap* grid, QorvaneNiftiMap* map) {
    std::string error;
    const std::string path = std::string(shard) + "/maps/" + name + ".nii.gz";
    if (qorvane_nifti_map_read(path, map, &error) != 0) {
        fprintf(stderr, "Merge error: %s.\n", error.c_str());
        return 2;
    }
    if (grid != nullptr && !qorvane_nifti_map_same_grid(*grid, *map)) {
        fprintf(stderr, "Merge error: %s is not on the grid of the other shards' maps.\n", path.c_str());
        return 2;
    }
    return 0;
}

// owner[v]: the shard whose status map fitted voxel v, or -1. 0, 1 (two shards) or 2.
int voxel_owners(const char* const* dirs, int n, QorvaneNiftiMap* status, std::vector<int>* owner,
                 std::vector<int16_t>* merged) {
    int rc = read_shard_map(dirs[0], "status", nullptr, status);
    if (rc != 0) return rc;
    const size_t voxels = status->codes.size();
    owner->assign(voxels, -1);
    merged->assign(voxels, 0);
    QorvaneNiftiMap other;
    for (int i = 0; i < n && rc == 0; ++i) {
        const QorvaneNiftiMap* m = status;
        if (i > 0) {
            rc = read_shard_map(dirs[i], "status", status, &other);
            m = &other;
        }
        for (size_t v = 0; v < voxels && rc == 0; ++v) {
            if (m->codes[v] == 0) continue;
            if ((*owner)[v] >= 0) {
                fprintf(stderr, "Merge error: voxel %zu is fitted in the maps of both %s and %s.\n", v,
                        dirs[(*owner)[v]], dirs[i]);
                rc = 1;
            }
            (*owner)[v] = i;
            (*merged)[v] = m->codes[v];
        }
    }
    qorvane_nifti_map_free(&other);
    return rc;
}

}  // namespace

int qorvane_volume_merge_maps(const char* const* dirs, int n, const char* output_dir) {
    std::vector<std::string> names, other;
    const bool with_maps = map_names(dirs[0], &names);
    for (int i = 1; i < n; ++i)
        if (map_names(dirs[i], &other) != with_maps || (with_maps && other != names)) {
            fprintf(stderr, "Merge error: shards %s and %s do not hold the same parameter maps.\n", dirs[0], dirs[i]);
            return 1;
        }
    if (!with_maps) return 0;
    QorvaneNiftiMap status, map;
    std::vector<int> owner;
    std::vector<int16_t> codes;
    int rc = voxel_owners(dirs, n, &status, &owner, &codes);
    const std::string out = std::string(output_dir) + "/maps";
    if (rc == 0 && qorvane_make_dir(out.c_str()) != 0) {
        fprintf(stderr, "Volume output error: cannot create the maps directory: %s\n", out.c_str());
        rc = 5;
    }
    std::vector<float> merged;
    for (const std::string& name : names) {
        if (rc != 0 || name == "status") continue;
        merged.assign(owner.size(), NAN);
        for (int i = 0; i < n && rc == 0; ++i) {
            rc = read_shard_map(dirs[i], name, &status, &map);
            if (rc == 0 && map.values.size() != merged.size()) {
                fprintf(stderr, "Merge error: %s/maps/%s.nii.gz is not a float32 map.\n", dirs[i], name.c_str());
                rc = 2;
            }
            for (size_t v = 0; rc == 0 && v < merged.size(); ++v)
                if (owner[v] == i) merged[v] = map.values[v];
        }
        // each map keeps its own header (a frequency map's description), on the checked grid
        if (rc == 0) rc = qorvane_nifti_map_write(map.nim, out, name, NIFTI_TYPE_FLOAT32, merged.data());
    }
    if (rc == 0) rc = qorvane_nifti_map_write(status.nim, out, "status", NIFTI_TYPE_INT16, codes.data());
    if (rc == 0) fprintf(stderr, "Merge mode: parameter maps written: %s\n", out.c_str());
    qorvane_nifti_map_free(&status);
    qorvane_nifti_map_free(&map);
    return rc;
}
