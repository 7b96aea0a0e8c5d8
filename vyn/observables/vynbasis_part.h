// Partial voxel sums of a spatially resolved basis run (vyn --basis-set
// --voxel-range) and their merge. A part is a text file:
//   vyn-voxel-sum 1
//   model_name NAME
//   model_file /absolute/path/of/the/model.vynmodel
//   model_hash 16 hex digits (FNV-1a 64 of the model, spin-system, sequence and waveform files)
//   grid NDX NDY NDZ
//   range FIRST COUNT            voxels FIRST..FIRST+COUNT-1, 1-based, z fastest
//   states N
//   N*N lines "re im" (row-major, %.17g: every double exactly)
//   end
// The matrix is the sum over the range of the density matrices at the start
// of acquisition.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

struct VYNBasisPart {
    std::string model_name, model_file;
    uint64_t model_hash = 0;
    int grid[3] = {0, 0, 0};
    long long first = 0, count = 0;
    int states = 0;
    std::vector<std::complex<double>> sum;  // states x states, row-major
    long long voxels() const { return static_cast<long long>(grid[0]) * grid[1] * grid[2]; }
};

// FNV-1a 64 continued over the bytes of path (false when it cannot be read).
bool vyn_basis_hash_file(const char* path, uint64_t* hash);
constexpr uint64_t VYN_BASIS_HASH_START = 1469598103934665603ULL;

// Writes by temporary and rename; false with err on failure (nothing left).
bool vyn_basis_write_part(const char* path, const VYNBasisPart& part, std::string* err);
// Parses text (a whole part file); false with err on any fault. Refuses
// sizes outside the engine's limits and non-finite values.
bool vyn_basis_parse_part(const char* text, size_t length, VYNBasisPart* part, std::string* err);
bool vyn_basis_read_part(const char* path, VYNBasisPart* part, std::string* err);

// Adds parts of one model into total (range 1..voxels): refuses parts of
// different models, grids or state counts, overlaps and gaps, naming them in
// err. The parts are added in order of their first voxel.
bool vyn_basis_merge_parts(const std::vector<VYNBasisPart>& parts, const std::vector<std::string>& names,
                           VYNBasisPart* total, std::string* err);
