// Helpers for vyn tests: temporary installation trees, small files, captured output.
#pragma once

#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "vynpaths.h"

namespace vyntest {

inline std::string make_temp_dir() {
    char tmpl[] = "/tmp/vyntest-XXXXXX";
    char* d = mkdtemp(tmpl);
    if (!d) ADD_FAILURE() << "mkdtemp failed";
    return d ? std::string(d) : std::string("/tmp");
}

inline void mkdirs(const std::string& path) {
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/') cur = "";
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        cur += "/" + part;
        mkdir(cur.c_str(), 0777);
    }
}

inline void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary);
    f << text;
    ASSERT_TRUE(f.good()) << path;
}

inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline void remove_tree(const std::string& path) {
    if (path.size() < 14 || path.compare(0, 13, "/tmp/vyntest-") != 0) return;
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
}

// A temporary installation root R with the executable pretended to live in R/build.
struct InstallTree {
    std::string root;
    InstallTree() {
        root = make_temp_dir();
        mkdirs(root + "/build");
        mkdirs(root + "/models");
        mkdirs(root + "/rf-output");
        std::string exe = root + "/build/vyn";
        vyn_paths_override_executable_path(exe.c_str());
    }
    ~InstallTree() {
        vyn_paths_override_executable_path(nullptr);
        remove_tree(root);
    }
    std::string path(const std::string& rel) const { return root + "/" + rel; }
};

// Restores the working directory on scope exit.
struct CwdGuard {
    char saved[4096];
    CwdGuard() {
        if (!getcwd(saved, sizeof(saved))) saved[0] = '\0';
    }
    ~CwdGuard() {
        if (saved[0] && chdir(saved) != 0) ADD_FAILURE() << "could not restore cwd";
    }
};

// Redirects a standard stream (fd 1 or 2) into a temporary file while alive.
struct Capture {
    int fd;
    int saved;
    std::string file;
    FILE* stream;
    explicit Capture(int which) : fd(which) {
        stream = which == 1 ? stdout : stderr;
        char tmpl[] = "/tmp/vyncap-XXXXXX";
        int t = mkstemp(tmpl);
        file = tmpl;
        fflush(stream);
        saved = dup(fd);
        dup2(t, fd);
        close(t);
    }
    std::string finish() {
        if (saved >= 0) {
            fflush(stream);
            dup2(saved, fd);
            close(saved);
            saved = -1;
        }
        std::string s = read_file(file);
        unlink(file.c_str());
        return s;
    }
    ~Capture() { finish(); }
};

// Feeds text to stdin while alive.
struct StdinFeed {
    int saved;
    std::string file;
    explicit StdinFeed(const std::string& text) {
        char tmpl[] = "/tmp/vynin-XXXXXX";
        int t = mkstemp(tmpl);
        file = tmpl;
        if (write(t, text.data(), text.size()) != (ssize_t)text.size()) ADD_FAILURE() << "stdin feed";
        lseek(t, 0, SEEK_SET);
        saved = dup(0);
        dup2(t, 0);
        close(t);
        __fpurge(stdin);  // stale buffered bytes of an earlier feed must not be read again
        clearerr(stdin);
    }
    ~StdinFeed() {
        dup2(saved, 0);
        close(saved);
        __fpurge(stdin);
        clearerr(stdin);
        unlink(file.c_str());
    }
};

}  // namespace vyntest
