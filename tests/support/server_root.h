// Temporary directories and server roots for tests that work on real files.
//
// TempDir makes a fresh directory under /tmp (mode 0755, so that a non-root
// instance owner can traverse it) and removes it with everything in it when
// it goes out of scope, without following symbolic links.  ServerRoot is a
// TempDir laid out as a directory server's server root: AddInstance creates
// "slapd-<name>/config/dse.ldif"; the version repository and the script
// backups of an instance can be seeded directly.
//
// The file helpers report failures through GoogleTest (ADD_FAILURE) and
// return empty or false results, so a test goes on and shows every fault.
// Not thread-safe; use one fixture per test.
#ifndef HV_TESTS_SUPPORT_SERVER_ROOT_H
#define HV_TESTS_SUPPORT_SERVER_ROOT_H

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace hvtest {

class TempDir {
  public:
    explicit TempDir(const char *tag = "hvtest");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + rel
    std::string Join(std::string_view rel) const;

  private:
    std::string path_;
};

// What lstat says about a path; exists is false when lstat fails.
struct PathInfo {
    bool exists = false;
    bool is_dir = false;
    bool is_link = false;
    bool is_regular = false;
    mode_t mode = 0;  // permission bits only (07777)
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
};
PathInfo Inspect(const std::string &path);

// Creates or truncates path with content; mode is applied with chmod, so the
// umask does not matter.
void WriteFile(const std::string &path, std::string_view content, mode_t mode = 0644);
// The whole content; "" with a test failure when it cannot be read.
std::string ReadFile(const std::string &path);
// Like mkdir -p, each created directory with mode.
void MakeDirs(const std::string &path, mode_t mode = 0755);
// lchown of path and, when recursive, everything below it.
void ChownTree(const std::string &path, uid_t uid, gid_t gid, bool recursive = true);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string &path);
// Removes a tree without following symbolic links; missing is fine.
void RemoveTree(const std::string &path);

class ServerRoot : public TempDir {
  public:
    ServerRoot() : TempDir("hvserverroot") {}

    // Creates "<dir>/config/dse.ldif" (dir is the instance directory name,
    // for example "slapd-a") and returns the instance path.  With ids given,
    // the whole instance tree is handed to that owner.
    std::string AddInstance(const std::string &dir, uid_t uid = static_cast<uid_t>(-1),
                            gid_t gid = static_cast<gid_t>(-1));
    std::string InstancePath(const std::string &dir) const { return Join(dir); }
    std::string UpgradeDir(const std::string &dir) const { return Join(dir + "/upgrade"); }
    std::string VersionsFile(const std::string &dir) const {
        return Join(dir + "/upgrade/versions.conf");
    }
    std::string BackupDir(const std::string &dir) const {
        return Join(dir + "/upgrade/bak_patch2");
    }
    // Creates "upgrade/" (0755) and "versions.conf" (0600) with content.
    void SetVersions(const std::string &dir, std::string_view content);
    // Writes the instance script and/or its saved copy in upgrade/bak_patch2
    // (mode 0755); an empty text skips that file.
    void AddScript(const std::string &dir, const std::string &name, std::string_view current,
                   std::string_view saved);
    // "<server root>/alias/<dir>-cert8.db"
    std::string Cert8Path(const std::string &dir) const {
        return Join("alias/" + dir + "-cert8.db");
    }
};

}  // namespace hvtest

#endif  // HV_TESTS_SUPPORT_SERVER_ROOT_H
