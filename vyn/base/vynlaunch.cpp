// Start of the outside plotting program gnuplot: PATH lookup and a spawn
// without a shell.
#include "vynlaunch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vynpaths.h"

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

bool vyn_launch_have_display() {
    const char* x = std::getenv("DISPLAY");
    const char* w = std::getenv("WAYLAND_DISPLAY");
    return (x && x[0]) || (w && w[0]);
}

bool vyn_launch_png_name(const char* data, char* out, std::size_t outsz) {
    if (!data || !data[0] || !out || outsz == 0) return false;
    const char* leaf = std::strrchr(data, '/');
    leaf = leaf ? leaf + 1 : data;
    const char* dot = std::strrchr(leaf, '.');
    std::size_t stem = (dot && dot != leaf) ? static_cast<std::size_t>(dot - data) : std::strlen(data);
    if (std::strcmp(data + stem, ".png") == 0) stem = std::strlen(data);
    const int w = std::snprintf(out, outsz, "%.*s.png", static_cast<int>(stem), data);
    return w > 0 && static_cast<std::size_t>(w) < outsz;
}

namespace {

// The script for drawing into png: the PNG terminal first, then the script's
// own lines without those that choose a terminal or output or wait for the
// viewer. False when the script cannot be read or the copy not written.
bool vyn_launch_write_png_script(FILE* to, const char* script, const char* png) {
    FILE* in = std::fopen(script, "r");
    if (!in) return false;
    std::fputs(
        "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) { set terminal pngcairo size 1000,700 } "
        "else { set terminal png size 1000,700 }\nset output ",
        to);
    vyn_launch_put_quoted(to, png);
    std::fputc('\n', to);
    char line[4096];
    while (std::fgets(line, sizeof line, in)) {
        const char* p = line;
        while (*p == ' ' || *p == '\t') ++p;
        if (std::strncmp(p, "set term", 8) == 0 || std::strncmp(p, "set output", 10) == 0 ||
            std::strncmp(p, "pause", 5) == 0)
            continue;
        std::fputs(line, to);
    }
    std::fclose(in);
    std::fputs("\nset output\n", to);
    return std::fflush(to) == 0 && !std::ferror(to);
}

// Runs "gnuplot file" with every standard stream on /dev/null and waits for
// it; true on exit status 0.
bool vyn_launch_run_quietly(const char* exe, const char* file) {
    posix_spawn_file_actions_t fa;
    if (posix_spawn_file_actions_init(&fa) != 0) return false;
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char arg0[] = "gnuplot";
    char* argv[3] = {arg0, const_cast<char*>(file), nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe, &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool vyn_launch_plot(const char* script, const char* png) {
    if (!script || !script[0]) return false;
    if (vyn_launch_have_display() || !png || !png[0]) return vyn_launch_gnuplot(script);
    char exe[kMaxPath];
    if (!vyn_launch_find_on_path("gnuplot", exe, sizeof exe)) {
        std::printf("[VYN] gnuplot not found on PATH; no picture was drawn (script: %s)\n", script);
        return false;
    }
    char shown[kMaxPath];
    const char* where = vyn_path_for_message(png, shown, sizeof shown);
    if (!vyn_launch_quotable(png)) {
        std::printf("[VYN] No display, and the picture name %s cannot be given to gnuplot.\n", where);
        return false;
    }
    const char* tmpdir = std::getenv("TMPDIR");
    char tmp[kMaxPath];
    std::snprintf(tmp, sizeof tmp, "%s/vyn-plot-XXXXXX", tmpdir && tmpdir[0] ? tmpdir : "/tmp");
    const int fd = mkstemp(tmp);
    FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (!f) {
        if (fd >= 0) {
            close(fd);
            unlink(tmp);
        }
        std::printf("[VYN] No display, and no temporary file for the picture script (%s).\n", std::strerror(errno));
        return false;
    }
    const bool written = vyn_launch_write_png_script(f, script, png);
    std::fclose(f);
    struct stat before;
    const bool had = stat(png, &before) == 0;
    bool ok = written && vyn_launch_run_quietly(exe, tmp);
    unlink(tmp);
    struct stat st;
    ok = ok && stat(png, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
         (!had || st.st_mtim.tv_sec != before.st_mtim.tv_sec || st.st_mtim.tv_nsec != before.st_mtim.tv_nsec);
    if (ok)
        std::printf("[VYN] No display: plot written to '%s'\n", where);
    else
        std::printf("[VYN] No display, and gnuplot could not draw the picture %s (script: %s).\n", where, script);
    return ok;
}
