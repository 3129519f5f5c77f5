// Helpers for the tests of the script and certificate steps: a temporary
// directory removed at the end, whole-file reads and writes, and running a
// command line under /bin/sh with its output captured.
#ifndef HV_MIGRATE_UPGRADE_FILES_TEST_UTIL_H
#define HV_MIGRATE_UPGRADE_FILES_TEST_UTIL_H

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace hvtest {

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/hv-upgradefiles-XXXXXX";
        const char *p = mkdtemp(tmpl);
        if (p == nullptr) std::abort();
        path_ = p;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    chmod(path.c_str(), mode);
}

inline bool Exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline mode_t ModeOf(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

struct RunResult {
    int status = -1;  // exit status, or -1 when not exited normally
    std::string out;  // standard output and standard error
};

// Runs cmd through /bin/sh, output and error joined.
inline RunResult RunShell(const std::string &cmd) {
    RunResult r;
    std::FILE *p = popen(("exec 2>&1; " + cmd).c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Single-quotes s for the shell.
inline std::string Quote(const std::string &s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

inline std::string ReplaceAll(std::string s, const std::string &from, const std::string &to) {
    for (std::size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size()) {
        s.replace(pos, from.size(), to);
    }
    return s;
}

}  // namespace hvtest

#endif  // HV_MIGRATE_UPGRADE_FILES_TEST_UTIL_H
