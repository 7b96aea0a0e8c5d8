#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace fuzz {
namespace {

struct Scratch {
    std::string dir;
    std::set<std::string> files;
    ~Scratch() {
        for (const std::string& f : files) unlink(f.c_str());
        if (!dir.empty()) rmdir(dir.c_str());
    }
};

Scratch& scratch() {
    static Scratch s;
    if (s.dir.empty()) {
        // a memory file system where there is one: a disk-backed /tmp costs most of the run time
        const char* tmp = getenv("TMPDIR");
        std::string base = tmp && tmp[0] ? tmp : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        std::string tmpl = base + "/suite_fuzz_XXXXXX";
        if (!mkdtemp(&tmpl[0])) {
            perror("fuzz scratch directory");
            abort();
        }
        s.dir = tmpl;
    }
    return s;
}

}  // namespace

std::string scratch_path(const char* name) {
    Scratch& s = scratch();
    std::string path = s.dir + "/" + name;
    s.files.insert(path);
    return path;
}

std::string write_input(const uint8_t* data, size_t size, const char* name) {
    std::string path = scratch_path(name);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
    return path;
}

void silence_stdout() {
    static bool done = false;
    if (done) return;
    done = true;
    std::fflush(stdout);
    if (!std::freopen("/dev/null", "w", stdout)) perror("/dev/null");
}

void fail(const char* fmt, ...) {
    std::fflush(stdout);
    std::fputs("accepted bad value: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    abort();
}

void require_finite(double v, const char* what, long index) {
    if (std::isfinite(v)) return;
    if (index >= 0)
        fail("%s[%ld] = %g", what, index, v);
    else
        fail("%s = %g", what, v);
}

}  // namespace fuzz
