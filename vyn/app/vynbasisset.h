// vyn --basis-set OUT_DIR MODEL.vynmodel ...: one basis signal per model, as
// NIfTI-MRS, LCModel .RAW and fitter pattern .bin, plus OUT_DIR/basis.tsv.
#pragma once

// Runs one model exactly as --run-model does; 0 on success.
typedef int (*VYNRunModelFn)(const char* model_path);

struct VYNBasisRunners {
    VYNRunModelFn run_model;      // runs a model as --run-model does
    VYNRunModelFn prepare_model;  // the same load, checks and activation, without the run
};

// args: [--voxel-range FIRST:COUNT] OUT_DIR MODEL...; relative paths are
// taken from start_dir. A spatially resolved model gives the signal of its
// voxel sum (no dm.bin); with --voxel-range each model writes only the partial
// sum OUT_DIR/<name>.part-FIRST-COUNT.vynsum. Returns the process exit code
// (0 when every model was written).
int vyn_basis_set_main(int count, char** args, const char* start_dir, const VYNBasisRunners& runners);
// args: OUT_DIR PART...: adds the parts of each model (all its voxels, once)
// and writes its basis files as --basis-set does.
int vyn_basis_merge_main(int count, char** args, const char* start_dir, const VYNBasisRunners& runners);
