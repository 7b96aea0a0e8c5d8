// Helpers shared by the data-file tests: a private temporary directory per
// test, whole-file reads and writes, and console input from a file.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace datafiles_test {

inline void remove_tree(const std::string& d) {
    if (DIR* h = opendir(d.c_str())) {
        while (dirent* e = readdir(h)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string p = d + "/" + name;
            struct stat sb;
            if (lstat(p.c_str(), &sb) == 0 && S_ISDIR(sb.st_mode))
                remove_tree(p);
            else
                std::remove(p.c_str());
        }
        closedir(h);
    }
    rmdir(d.c_str());
}

// Each test gets its own directory: ctest runs tests in parallel.
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vyn_datafiles_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { remove_tree(dir); }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::vector<std::string> entries() const {
        std::vector<std::string> out;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") out.push_back(name);
            }
            closedir(d);
        }
        return out;
    }
    std::string dir;
};

inline std::vector<unsigned char> slurp(const std::string& p) {
    std::vector<unsigned char> v;
    FILE* f = std::fopen(p.c_str(), "rb");
    if (!f) return v;
    int c;
    while ((c = std::fgetc(f)) != EOF) v.push_back(static_cast<unsigned char>(c));
    std::fclose(f);
    return v;
}

inline std::string slurp_text(const std::string& p) {
    const auto v = slurp(p);
    return std::string(v.begin(), v.end());
}

inline void spit(const std::string& p, const std::vector<unsigned char>& v) {
    FILE* f = std::fopen(p.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!v.empty()) {
        ASSERT_EQ(std::fwrite(v.data(), 1, v.size(), f), v.size());
    }
    std::fclose(f);
}

inline void spit_text(const std::string& p, const std::string& text) {
    spit(p, std::vector<unsigned char>(text.begin(), text.end()));
}

// Makes the console readers read text (through the file p).
inline void feed_stdin(const std::string& p, const std::string& text) {
    spit_text(p, text);
    ASSERT_NE(std::freopen(p.c_str(), "r", stdin), nullptr);
}

}  // namespace datafiles_test
