// Scratch directories and whole-file text helpers shared by the qorvane tests.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace qtest {

// Fresh directory /tmp/qorvane_<tag>_XXXXXX, removed with everything in it when the
// test program ends; "/tmp" when none can be made.
inline std::string temp_dir(const char *tag) {
    struct Dirs {
        std::vector<std::string> list;
        ~Dirs() {
            for (const std::string &d : list) {
                std::error_code ec;
                std::filesystem::remove_all(d, ec);
            }
        }
    };
    static Dirs dirs;
    std::string tmpl = std::string("/tmp/qorvane_") + tag + "_XXXXXX";
    const char *d = mkdtemp(&tmpl[0]);
    if (!d) return std::string("/tmp");
    dirs.list.push_back(d);
    return std::string(d);
}

inline void write_text(const std::string &path, const std::string &text) {
    std::ofstream f(path);
    f << text;
}

inline std::string read_text(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace qtest
