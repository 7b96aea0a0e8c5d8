// Replays saved inputs through a harness without libFuzzer: every file named on the
// command line, and every file inside a named directory, is passed once to
// LLVMFuzzerTestOneInput. A harness ends the process on an accepted bad value, the
// sanitizers on a memory fault. A directory that does not exist is skipped; finding no
// input at all is an error (the seed corpus must be there).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    uint8_t buf[65536];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + got);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

void collect(const std::string& path, std::vector<std::string>* files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISREG(st.st_mode)) {
        files->push_back(path);
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;
    DIR* d = opendir(path.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) collect(path + "/" + n, files);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) collect(argv[i], &files);
    if (files.empty()) {
        std::fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    std::vector<uint8_t> data;
    for (const std::string& f : files) {
        if (!read_file(f, &data)) {
            std::fprintf(stderr, "replay: cannot read %s\n", f.c_str());
            return 1;
        }
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", f.c_str(), data.size());
        // a buffer of exactly the input's size, so that reads past its end are caught
        std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size() + (data.empty() ? 1 : 0)]);
        std::copy(data.begin(), data.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), data.size());
    }
    std::fprintf(stderr, "replay: %zu input(s) passed\n", files.size());
    return 0;
}
