// Directory layout around the vyn executable and the short model name.
//
// E is the directory holding the executable, P the directory above it:
//   E/runtime                 working directory after start-up
//   E/runtime/runs/<leaf>_<pid> per-process scratch of --run-model / --voxel-signal
//   E/runtime/results         default place of result files (model layer)
//   P/models, P/rf-output     default model and waveform directories
// Path builders insert '/'; readers accept '/' and '\'.
#pragma once

#include <cstddef>
#include <cstdio>

constexpr size_t VYN_PATH_CAP = 1024;
// The executable path itself must be shorter than this.
constexpr size_t VYN_EXE_PATH_CAP = 260;

// The model file the current state came from (set by loading and saving).
extern char g_loaded_model_path[1024];
extern int g_loaded_model_path_valid;

extern char g_current_model_short_name[128];
extern int g_current_model_short_name_valid;

int VYN_GetExecutableDir(char* out, size_t outsz);
int VYN_GetDefaultModelsDir(char* out, size_t outsz);
int VYN_GetDefaultRFOutputDir(char* out, size_t outsz);
int VYN_BuildPath(char* out, size_t outsz, const char* dir, const char* leaf);

void enter_runtime_work_dir();
void enter_private_model_run_work_dir(const char* model_path);
// Lock file inside a run scratch directory: the process that entered the
// directory holds an flock on it until it ends, so a directory whose lock can
// be taken belongs to no live process (even when its id has been reused).
constexpr const char* VYN_RUN_LOCK_NAME = ".vyn-run.lock";

int basename_without_extension(const char* path, char* out, size_t outsz);
int sanitize_model_short_name(const char* text, char* out, size_t outsz);
void set_current_model_short_name(const char* name);
void clear_current_model_short_name();
void seed_current_model_short_name_from_path(const char* path);
int VYNEnsureCurrentModelShortName(char* out, size_t outsz);

// Creates one directory level; 1 when created or already present.
int vyn_make_dir_one_level(const char* path);

// Replaces the executable path reported by the platform (tests use it to
// simulate an installation tree). A null path restores the platform answer.
void vyn_paths_override_executable_path(const char* path);

// ---- files named by the user ----

// Opens path with the read mode given (for example "r" or "rb") only when it
// names a regular file. Pipes, devices, sockets and directories are refused
// without blocking (null, errno EINVAL, or EISDIR for a directory); a missing
// or unreadable file gives null with the system's errno.
FILE* vyn_fopen_regular(const char* path, const char* mode);
// 1 when both paths name one existing file (same device and inode).
int vyn_same_file(const char* path_a, const char* path_b);
// The first of the count input paths that names the same file as output, or
// null when none does (null entries and missing files never match). Every
// command that writes a file checks its output with this before writing.
const char* vyn_output_names_an_input(const char* output, const char* const* inputs, int count);

// A written file's path as a message shows it: a relative path is joined to
// the working directory (without "./" steps), so that the user can open the
// file from anywhere. An absolute path, or one that does not fit, is copied.
const char* vyn_path_for_message(const char* path, char* out, size_t outsz);
