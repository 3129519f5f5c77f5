#include "support/server_root.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace hvtest {

TempDir::TempDir(const char *tag) {
    std::string tmpl = std::string("/tmp/") + tag + "XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp " << tmpl << ": " << std::strerror(errno);
        return;
    }
    path_ = tmpl;
    if (chmod(path_.c_str(), 0755) != 0) ADD_FAILURE() << "chmod " << path_;
}

TempDir::~TempDir() {
    if (!path_.empty()) RemoveTree(path_);
}

std::string TempDir::Join(std::string_view rel) const {
    std::string out = path_;
    out += '/';
    out += rel;
    return out;
}

PathInfo Inspect(const std::string &path) {
    PathInfo info;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return info;
    info.exists = true;
    info.is_dir = S_ISDIR(st.st_mode);
    info.is_link = S_ISLNK(st.st_mode);
    info.is_regular = S_ISREG(st.st_mode);
    info.mode = st.st_mode & 07777;
    info.uid = st.st_uid;
    info.gid = st.st_gid;
    return info;
}

void WriteFile(const std::string &path, std::string_view content, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path << ": " << std::strerror(errno);
        return;
    }
    while (!content.empty()) {
        ssize_t n = write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            ADD_FAILURE() << "write " << path << ": " << std::strerror(errno);
            break;
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    if (fchmod(fd, mode) != 0) ADD_FAILURE() << "fchmod " << path;
    close(fd);
}

std::string ReadFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "open " << path << ": " << std::strerror(errno);
        return "";
    }
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return out;
}

void MakeDirs(const std::string &path, mode_t mode) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), mode) == 0) {
            if (chmod(prefix.c_str(), mode) != 0) ADD_FAILURE() << "chmod " << prefix;
        } else if (errno != EEXIST) {
            ADD_FAILURE() << "mkdir " << prefix << ": " << std::strerror(errno);
            return;
        }
    }
}

std::vector<std::string> ListDir(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr) {
        ADD_FAILURE() << "opendir " << path << ": " << std::strerror(errno);
        return names;
    }
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

void ChownTree(const std::string &path, uid_t uid, gid_t gid, bool recursive) {
    if (lchown(path.c_str(), uid, gid) != 0) {
        ADD_FAILURE() << "lchown " << path << ": " << std::strerror(errno);
        return;
    }
    PathInfo info = Inspect(path);
    if (!recursive || !info.is_dir) return;
    for (const std::string &name : ListDir(path)) ChownTree(path + "/" + name, uid, gid, true);
}

void RemoveTree(const std::string &path) {
    PathInfo info = Inspect(path);
    if (!info.exists) return;
    if (info.is_dir) {
        // A test may have left the tree unreadable.
        chmod(path.c_str(), 0700);
        for (const std::string &name : ListDir(path)) RemoveTree(path + "/" + name);
        if (rmdir(path.c_str()) != 0) ADD_FAILURE() << "rmdir " << path << ": " << std::strerror(errno);
    } else if (unlink(path.c_str()) != 0) {
        ADD_FAILURE() << "unlink " << path << ": " << std::strerror(errno);
    }
}

std::string ServerRoot::AddInstance(const std::string &dir, uid_t uid, gid_t gid) {
    std::string inst = Join(dir);
    MakeDirs(inst + "/config");
    WriteFile(inst + "/config/dse.ldif", "dn: cn=config\nobjectclass: top\ncn: config\n\n", 0600);
    if (uid != static_cast<uid_t>(-1) || gid != static_cast<gid_t>(-1)) ChownTree(inst, uid, gid);
    return inst;
}

void ServerRoot::SetVersions(const std::string &dir, std::string_view content) {
    MakeDirs(UpgradeDir(dir));
    WriteFile(VersionsFile(dir), content, 0600);
}

void ServerRoot::AddScript(const std::string &dir, const std::string &name, std::string_view current,
                           std::string_view saved) {
    if (!current.empty()) WriteFile(Join(dir + "/" + name), current, 0755);
    if (!saved.empty()) {
        MakeDirs(BackupDir(dir));
        WriteFile(BackupDir(dir) + "/" + name, saved, 0755);
    }
}

}  // namespace hvtest
