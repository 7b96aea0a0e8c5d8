// Directory layout around the executable, scratch directories and the short model name.
#include "vynpaths.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "consuleutil.h"

char g_loaded_model_path[1024];
int g_loaded_model_path_valid = 0;
char g_current_model_short_name[128];
int g_current_model_short_name_valid = 0;

static char vynpaths_exe_override[VYN_PATH_CAP];
static int vynpaths_exe_override_set = 0;

void vyn_paths_override_executable_path(const char* path) {
    if (!path) {
        vynpaths_exe_override_set = 0;
        vynpaths_exe_override[0] = '\0';
        return;
    }
    snprintf(vynpaths_exe_override, sizeof(vynpaths_exe_override), "%s", path);
    vynpaths_exe_override_set = 1;
}

// Full path of the executable; 0 on failure or when it does not fit the limit.
static int vynpaths_executable_path(char* out, size_t outsz) {
    char buf[VYN_PATH_CAP];
    size_t len;
    if (vynpaths_exe_override_set) {
        len = strlen(vynpaths_exe_override);
        memcpy(buf, vynpaths_exe_override, len + 1);
    } else {
        ssize_t r = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
        if (r <= 0) return 0;
        buf[r] = '\0';
        len = (size_t)r;
    }
    if (len == 0 || len >= VYN_EXE_PATH_CAP || len + 1 > outsz) return 0;
    memcpy(out, buf, len + 1);
    return 1;
}

int VYN_GetExecutableDir(char* out, size_t outsz) {
    if (!out || outsz == 0) return 0;
    char exe[VYN_PATH_CAP];
    if (!vynpaths_executable_path(exe, sizeof(exe))) return 0;
    // The platform path uses '/' only; a '\' would be part of a name there.
    char* cut = strrchr(exe, '/');
    if (!cut) cut = strrchr(exe, '\\');
    if (!cut) return 0;
    size_t len = (size_t)(cut - exe);
    if (len == 0) len = 1;  // executable directly under "/"
    if (len + 1 > outsz) return 0;
    memcpy(out, exe, len);
    out[len] = '\0';
    return 1;
}

static int vynpaths_install_subdir(const char* leaf, char* out, size_t outsz) {
    if (!out || outsz == 0) return 0;
    char exedir[VYN_PATH_CAP];
    if (!VYN_GetExecutableDir(exedir, sizeof(exedir))) return 0;
    char* cut = strrchr(exedir, '/');
    char* bs = strrchr(exedir, '\\');
    if (bs && (!cut || bs > cut)) cut = bs;
    if (!cut) return 0;
    *cut = '\0';
    if (exedir[0] == '\0') snprintf(exedir, sizeof(exedir), "/");
    return VYN_BuildPath(out, outsz, exedir, leaf);
}

int VYN_GetDefaultModelsDir(char* out, size_t outsz) { return vynpaths_install_subdir("models", out, outsz); }

int VYN_GetDefaultRFOutputDir(char* out, size_t outsz) { return vynpaths_install_subdir("rf-output", out, outsz); }

int VYN_BuildPath(char* out, size_t outsz, const char* dir, const char* leaf) {
    if (!out || outsz == 0 || !dir || !leaf) return 0;
    size_t dl = strlen(dir);
    int need_sep = dl > 0 && dir[dl - 1] != '/' && dir[dl - 1] != '\\';
    int n = snprintf(out, outsz, "%s%s%s", dir, need_sep ? "/" : "", leaf);
    if (n < 0 || (size_t)n + 1 > outsz) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

int vyn_make_dir_one_level(const char* path) {
    if (!path || !path[0]) return 0;
    if (mkdir(path, 0777) == 0) return 1;
    if (errno == EEXIST) {
        struct stat st;
        return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
    }
    return 0;
}

void enter_runtime_work_dir() {
    char exedir[VYN_PATH_CAP];
    if (!VYN_GetExecutableDir(exedir, sizeof(exedir))) {
        printf("[VYN] Warning: could not determine executable directory; using current directory for scratch files.\n");
        return;
    }
    char runtime[VYN_PATH_CAP];
    if (!VYN_BuildPath(runtime, sizeof(runtime), exedir, "runtime")) {
        printf("[VYN] Warning: runtime directory path is too long; using current directory for scratch files.\n");
        return;
    }
    if (mkdir(runtime, 0777) != 0 && errno != EEXIST) {
        printf("[VYN] Warning: could not create runtime directory: %s\n", runtime);
        return;
    }
    if (chdir(runtime) != 0) printf("[VYN] Warning: could not enter runtime directory: %s\n", runtime);
}

// Takes the run directory's lock for the rest of the process (one directory
// at a time; the descriptor is not inherited by started programs).
static void vynpaths_hold_run_lock(const char* rundir) {
    static int held = -1;
    char lock[VYN_PATH_CAP];
    if (!VYN_BuildPath(lock, sizeof(lock), rundir, VYN_RUN_LOCK_NAME)) return;
    const int fd = open(lock, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return;
    }
    if (held >= 0) close(held);
    held = fd;
}

void enter_private_model_run_work_dir(const char* model_path) {
    char exedir[VYN_PATH_CAP];
    if (!VYN_GetExecutableDir(exedir, sizeof(exedir))) {
        printf(
            "[VYN] Warning: could not determine executable directory; using current directory for run scratch "
            "files.\n");
        return;
    }
    char runtime[VYN_PATH_CAP], runs[VYN_PATH_CAP];
    if (!VYN_BuildPath(runtime, sizeof(runtime), exedir, "runtime") ||
        !VYN_BuildPath(runs, sizeof(runs), runtime, "runs")) {
        printf("[VYN] Warning: run scratch path is too long; using current directory.\n");
        return;
    }
    char base[VYN_PATH_CAP], leaf[128];
    if (!model_path || !basename_without_extension(model_path, base, sizeof(base)) ||
        !sanitize_model_short_name(base, leaf, sizeof(leaf))) {
        snprintf(leaf, sizeof(leaf), "model");
    }
    mkdir(runtime, 0777);
    mkdir(runs, 0777);
    char dirname[128];
    snprintf(dirname, sizeof(dirname), "%.96s_%lu", leaf, (unsigned long)getpid());
    char rundir[VYN_PATH_CAP];
    if (!VYN_BuildPath(rundir, sizeof(rundir), runs, dirname)) {
        printf("[VYN] Warning: run scratch path is too long; using current directory.\n");
        return;
    }
    if (mkdir(rundir, 0777) != 0 && errno != EEXIST) {
        printf("[VYN] Warning: could not create run scratch directory: %s\n", rundir);
        return;
    }
    if (chdir(rundir) != 0) {
        printf("[VYN] Warning: could not enter run scratch directory: %s\n", rundir);
        return;
    }
    vynpaths_hold_run_lock(rundir);
}

int basename_without_extension(const char* path, char* out, size_t outsz) {
    if (!out || outsz == 0) return 0;
    out[0] = '\0';
    if (!path || !path[0]) return 0;
    const char* leaf = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') leaf = p + 1;
    size_t len = strlen(leaf);
    if (len == 0) return 0;
    const char* dot = strrchr(leaf, '.');
    if (dot && dot != leaf) len = (size_t)(dot - leaf);
    if (len == 0 || len + 1 > outsz) return 0;
    memcpy(out, leaf, len);
    out[len] = '\0';
    return 1;
}

int sanitize_model_short_name(const char* text, char* out, size_t outsz) {
    if (!out || outsz == 0) return 0;
    out[0] = '\0';
    if (!text) return 0;
    size_t len = 0;
    int last_sep = 0;
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p) {
        unsigned char c = *p;
        char add = 0;
        int sep = 0;
        if (c < 128 && isalnum(c)) {
            add = (char)tolower(c);
        } else if (c == '-' || c == '_') {
            if (len == 0 || last_sep) continue;
            add = (char)c;
            sep = 1;
        } else if (c == '.' || (c < 128 && isspace(c))) {
            if (len == 0 || last_sep) continue;
            add = '_';
            sep = 1;
        } else {
            continue;
        }
        if (len + 2 > outsz) {
            out[0] = '\0';
            return 0;
        }
        out[len++] = add;
        out[len] = '\0';
        last_sep = sep;
    }
    while (len > 0 && (out[len - 1] == '_' || out[len - 1] == '-')) out[--len] = '\0';
    return len > 0;
}

void set_current_model_short_name(const char* name) {
    if (!name || !name[0]) {
        clear_current_model_short_name();
        return;
    }
    snprintf(g_current_model_short_name, sizeof(g_current_model_short_name), "%s", name);
    g_current_model_short_name_valid = 1;
}

void clear_current_model_short_name() {
    g_current_model_short_name[0] = '\0';
    g_current_model_short_name_valid = 0;
}

void seed_current_model_short_name_from_path(const char* path) {
    char base[VYN_PATH_CAP], name[128];
    if (!basename_without_extension(path, base, sizeof(base))) return;
    if (!sanitize_model_short_name(base, name, sizeof(name))) return;
    set_current_model_short_name(name);
}

int VYNEnsureCurrentModelShortName(char* out, size_t outsz) {
    if (!out || outsz == 0) return 0;
    if (!g_current_model_short_name_valid && g_loaded_model_path_valid)
        seed_current_model_short_name_from_path(g_loaded_model_path);
    while (!g_current_model_short_name_valid) {
        printf("\nShort model name / file prefix\n(used for default sector waveform filenames)\n: ");
        fflush(stdout);
        char line[256];
        if (!read_legacy_line(line, sizeof(line))) return 0;
        if (line[0] == '\0') {
            printf("Please enter a short name, for example: lac_press or gaba_mega\n");
            continue;
        }
        char name[128];
        if (!sanitize_model_short_name(line, name, sizeof(name))) {
            printf(
                "Could not derive a usable file prefix from that text.\nUse letters, numbers, spaces, '-' or '_'.\n");
            continue;
        }
        set_current_model_short_name(name);
        printf("Using model prefix : %s\n", name);
    }
    snprintf(out, outsz, "%s", g_current_model_short_name);
    return 1;
}

FILE* vyn_fopen_regular(const char* path, const char* mode) {
    if (!path || !path[0] || !mode || mode[0] != 'r' || strchr(mode, '+')) {
        errno = EINVAL;
        return nullptr;
    }
    // O_NONBLOCK keeps the open of a pipe without writer from waiting; the
    // descriptor is switched back to blocking once it is known to be a file.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        const int err = !known ? errno : (S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        close(fd);
        errno = err;
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    FILE* f = fdopen(fd, mode);
    if (!f) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}

int vyn_same_file(const char* path_a, const char* path_b) {
    if (!path_a || !path_b || !path_a[0] || !path_b[0]) return 0;
    struct stat a, b;
    if (stat(path_a, &a) != 0 || stat(path_b, &b) != 0) return 0;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

const char* vyn_output_names_an_input(const char* output, const char* const* inputs, int count) {
    if (!output || !inputs) return nullptr;
    for (int i = 0; i < count; ++i)
        if (inputs[i] && vyn_same_file(output, inputs[i])) return inputs[i];
    return nullptr;
}

const char* vyn_path_for_message(const char* path, char* out, size_t outsz) {
    if (!path || !out || outsz == 0) return path;
    if (path[0] == '/' || path[0] == '\0') return path;
    char cwd[VYN_PATH_CAP];
    if (!getcwd(cwd, sizeof(cwd))) return path;
    const char* rel = path;
    while (rel[0] == '.' && rel[1] == '/') {
        rel += 2;
        while (*rel == '/') ++rel;
    }
    if (strcmp(rel, ".") == 0) rel = "";
    if (!VYN_BuildPath(out, outsz, cwd, rel)) return path;
    return out;
}
