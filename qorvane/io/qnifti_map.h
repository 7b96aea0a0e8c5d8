// Parameter maps as NIfTI images: a 3D image on the grid of a given header (its dimensions 1
// to 3, qform and sform), written through a temporary name and a rename; and such a map read
// back (the merge of shard jobs joins their maps).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Writes `data` (voxels of `datatype`, a NIFTI_TYPE_* code) as dir/name.nii.gz with the
// geometry of `geometry` (a nifti_image*; its extensions, scaling and intent name are not
// copied). NIfTI-1 when the grid allows, else NIfTI-2. 0, or 5 after the message.
// A non-empty `description` replaces the header's descrip (at most 79 characters kept).
int qorvane_nifti_map_write(const void* geometry, const std::string& dir, const std::string& name, int datatype,
                            const void* data, const std::string& description = std::string());

// A map read back: its header (a nifti_image*, owned; free with qorvane_nifti_map_free) and
// its values as float (float32 maps) or int16 (int16 maps).
struct QorvaneNiftiMap {
    void* nim = nullptr;
    std::vector<float> values;
    std::vector<int16_t> codes;
};
// Reads path (float32 or int16, three dimensions). 0, or -1 with the reason in *error.
int qorvane_nifti_map_read(const std::string& path, QorvaneNiftiMap* map, std::string* error);
void qorvane_nifti_map_free(QorvaneNiftiMap* map);
// True when both maps lie on the same grid: dimensions, voxel sizes, qform and sform.
bool qorvane_nifti_map_same_grid(const QorvaneNiftiMap& a, const QorvaneNiftiMap& b);
