// vyn --basis-set OUT_DIR MODEL.vynmodel ...: one basis signal per model, as
// NIfTI-MRS, LCModel .RAW and fitter pattern .bin, plus OUT_DIR/basis.tsv.
#pragma once

// Runs one model exactly as --run-model does; 0 on success.
typedef int (*VYNRunModelFn)(const char* model_path);

// args[0] is OUT_DIR, args[1..count-1] the models; relative paths are taken
// from start_dir. Returns the process exit code (0 when every model was written).
int vyn_basis_set_main(int count, char** args, const char* start_dir, VYNRunModelFn run_model);
