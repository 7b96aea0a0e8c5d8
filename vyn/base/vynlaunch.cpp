// Start of the outside plotting program gnuplot: PATH lookup and a spawn
// without a shell.
#include "vynlaunch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

constexpr std::size_t kMaxPath = 4096;

// Plotters started earlier; reaped when they have ended.
constexpr int kMaxPlotters = 32;
pid_t vyn_launch_children[kMaxPlotters];
int vyn_launch_nchildren = 0;

void vyn_launch_reap_finished() {
    int kept = 0;
    for (int i = 0; i < vyn_launch_nchildren; ++i) {
        const pid_t r = waitpid(vyn_launch_children[i], nullptr, WNOHANG);
        if (r == 0) vyn_launch_children[kept++] = vyn_launch_children[i];
    }
    vyn_launch_nchildren = kept;
}

}  // namespace

bool vyn_launch_find_on_path(const char* prog, char* out, std::size_t outsz) {
    if (!prog || !prog[0] || !out || outsz == 0 || std::strchr(prog, '/')) return false;
    const char* path = std::getenv("PATH");
    if (!path) path = "/usr/local/bin:/usr/bin:/bin";
    const char* p = path;
    for (;;) {
        const char* colon = std::strchr(p, ':');
        const std::size_t len = colon ? static_cast<std::size_t>(colon - p) : std::strlen(p);
        char cand[kMaxPath];
        int w;
        if (len == 0)
            w = std::snprintf(cand, sizeof cand, "./%s", prog);
        else
            w = std::snprintf(cand, sizeof cand, "%.*s/%s", static_cast<int>(len), p, prog);
        if (w > 0 && static_cast<std::size_t>(w) < sizeof cand) {
            struct stat sb;
            if (stat(cand, &sb) == 0 && S_ISREG(sb.st_mode) && access(cand, X_OK) == 0 &&
                static_cast<std::size_t>(w) < outsz) {
                std::memcpy(out, cand, static_cast<std::size_t>(w) + 1);
                return true;
            }
        }
        if (!colon) return false;
        p = colon + 1;
    }
}

pid_t vyn_launch_gnuplot_pid(const char* script) {
    if (!script || !script[0]) return -1;
    vyn_launch_reap_finished();
    char exe[kMaxPath];
    if (!vyn_launch_find_on_path("gnuplot", exe, sizeof exe)) {
        std::printf("[VYN] gnuplot not found on PATH; to plot, run: gnuplot -persist %s\n", script);
        return -1;
    }
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&fa) != 0) return -1;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return -1;
    }
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // Own process group: a Ctrl-C meant for vyn does not close the plot.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);

    char arg0[] = "gnuplot";
    char arg1[] = "-persist";
    char* argv[4] = {arg0, arg1, const_cast<char*>(script), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe, &fa, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        std::fprintf(stderr, "gnuplot: %s\n", std::strerror(rc));
        return -1;
    }
    if (vyn_launch_nchildren < kMaxPlotters) vyn_launch_children[vyn_launch_nchildren++] = pid;
    return pid;
}

bool vyn_launch_gnuplot(const char* script) { return vyn_launch_gnuplot_pid(script) > 0; }

bool vyn_launch_quotable(const char* text) {
    if (!text) return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
        if (*p < 0x20 || *p == 0x7f) return false;
    return true;
}

bool vyn_launch_put_quoted(FILE* f, const char* text) {
    if (!f || !vyn_launch_quotable(text)) return false;
    std::fputc('\'', f);
    for (const char* p = text; *p; ++p) {
        if (*p == '\'') std::fputc('\'', f);
        std::fputc(*p, f);
    }
    std::fputc('\'', f);
    return true;
}
