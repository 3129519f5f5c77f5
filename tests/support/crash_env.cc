#include "support/crash_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

namespace hvtest {
namespace {

std::vector<std::string> Names(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    ::closedir(d);
    return names;
}

bool Slurp(const std::string &path, std::string *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

void ReadInto(const std::string &root, const std::string &rel, Tree *tree) {
    for (const std::string &name : Names(rel.empty() ? root : root + "/" + rel)) {
        std::string r = rel.empty() ? name : rel + "/" + name;
        struct stat st {};
        if (::lstat((root + "/" + r).c_str(), &st) != 0) continue;
        TreeNode node;
        node.mode = st.st_mode & 07777;
        node.uid = st.st_uid;
        node.gid = st.st_gid;
        if (S_ISDIR(st.st_mode)) {
            node.dir = true;
            (*tree)[r] = node;
            ReadInto(root, r, tree);
        } else if (S_ISREG(st.st_mode)) {
            Slurp(root + "/" + r, &node.content);
            (*tree)[r] = node;
        }
    }
}

}  // namespace

Tree ReadTree(const std::string &root) {
    Tree tree;
    ReadInto(root, "", &tree);
    return tree;
}

void WriteTree(const Tree &tree, const std::string &dest) {
    // Parents come before their children in the map's order.
    for (const auto &[rel, node] : tree) {
        std::string path = dest + "/" + rel;
        if (node.dir) {
            ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path << ": " << std::strerror(errno);
        } else {
            std::ofstream out(path, std::ios::binary);
            out << node.content;
            ASSERT_TRUE(out.good()) << path;
        }
    }
    // Modes and owners last, deepest first: a directory closed to others
    // must not stop the creation beneath it.
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
        std::string path = dest + "/" + it->first;
        if (::geteuid() == 0 && it->second.uid != static_cast<uid_t>(-1))
            (void)!::lchown(path.c_str(), it->second.uid, it->second.gid);
        ::chmod(path.c_str(), it->second.mode);
    }
}

CrashEnv::CrashEnv(std::string root, int crash_at) : root_(std::move(root)), crash_at_(crash_at) {
    struct stat st {};
    if (::stat(root_.c_str(), &st) != 0) {
        ADD_FAILURE() << root_ << ": " << std::strerror(errno);
        return;
    }
    root_ino_ = {st.st_dev, st.st_ino};
    Record(root_ino_, "", true);
    // Everything there at the start is on the disk.
    std::vector<std::pair<Ino, std::string>> dirs = {{root_ino_, ""}};
    while (!dirs.empty()) {
        auto [ino, rel] = dirs.back();
        dirs.pop_back();
        for (const auto &[name, entry] : entries_[ino]) {
            std::string r = rel.empty() ? name : rel + "/" + name;
            Record(entry.ino, r, entry.dir);
            if (entry.dir) dirs.push_back({entry.ino, r});
        }
    }
}

// Takes what is on the disk now for ino, at rel: a directory's names, a
// file's content.
void CrashEnv::Record(const Ino &ino, const std::string &rel, bool dir) {
    const std::string path = rel.empty() ? root_ : root_ + "/" + rel;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    TreeNode &meta = meta_[ino];
    meta.dir = dir;
    meta.mode = st.st_mode & 07777;
    meta.uid = st.st_uid;
    meta.gid = st.st_gid;
    if (!dir) {
        Slurp(path, &data_[ino]);
        return;
    }
    std::map<std::string, Entry> names;
    for (const std::string &name : Names(path)) {
        struct stat cs {};
        if (::lstat((path + "/" + name).c_str(), &cs) != 0) continue;
        if (!S_ISDIR(cs.st_mode) && !S_ISREG(cs.st_mode)) continue;
        names[name] = Entry{{cs.st_dev, cs.st_ino}, S_ISDIR(cs.st_mode)};
        if (meta_.count({cs.st_dev, cs.st_ino}) == 0) {
            TreeNode &m = meta_[{cs.st_dev, cs.st_ino}];
            m.dir = S_ISDIR(cs.st_mode);
            m.mode = cs.st_mode & 07777;
            m.uid = cs.st_uid;
            m.gid = cs.st_gid;
        }
    }
    entries_[ino] = std::move(names);
}

bool CrashEnv::Find(const Ino &ino, std::string *rel) const {
    if (ino == root_ino_) {
        rel->clear();
        return true;
    }
    std::vector<std::string> dirs = {""};
    while (!dirs.empty()) {
        std::string d = dirs.back();
        dirs.pop_back();
        for (const std::string &name : Names(d.empty() ? root_ : root_ + "/" + d)) {
            std::string r = d.empty() ? name : d + "/" + name;
            struct stat st {};
            if (::lstat((root_ + "/" + r).c_str(), &st) != 0) continue;
            if (st.st_dev == ino.first && st.st_ino == ino.second) {
                *rel = r;
                return true;
            }
            if (S_ISDIR(st.st_mode)) dirs.push_back(r);
        }
    }
    return false;
}

void CrashEnv::AddToHistory() {
    for (const auto &[rel, node] : ReadTree(root_))
        if (!node.dir) history_[rel].insert(node.content);
}

bool CrashEnv::Fail(const char *, const char *) {
    if (record_history_) AddToHistory();
    if (!crashed_ && ++seen_ == crash_at_) Crash();
    if (!crashed_) return false;
    errno = EIO;
    return true;
}

int CrashEnv::OpenAt(int dirfd, const char *name, int flags, mode_t mode) {
    int fd = FaultEnv::OpenAt(dirfd, name, flags, mode);
    struct stat st {};
    // A new file holds nothing durable yet (its inode may be an old one's).
    if (fd >= 0 && (flags & O_CREAT) != 0 && ::fstat(fd, &st) == 0) {
        Ino ino{st.st_dev, st.st_ino};
        data_[ino].clear();
        meta_[ino] = TreeNode{false, "", static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
    }
    return fd;
}

int CrashEnv::MkdirAt(int dirfd, const char *name, mode_t mode) {
    int rc = FaultEnv::MkdirAt(dirfd, name, mode);
    struct stat st {};
    if (rc == 0 && ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        Ino ino{st.st_dev, st.st_ino};
        entries_[ino].clear();
        meta_[ino] = TreeNode{true, "", static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid};
    }
    return rc;
}

int CrashEnv::Fsync(int fd) {
    // The model decides what is durable: the real disk need not be asked.
    int rc = Fail("fsync", nullptr) ? -1 : 0;
    struct stat st {};
    std::string rel;
    if (rc == 0 && ::fstat(fd, &st) == 0 && Find({st.st_dev, st.st_ino}, &rel))
        Record({st.st_dev, st.st_ino}, rel, S_ISDIR(st.st_mode));
    return rc;
}

void CrashEnv::Crash() {
    crashed_ = true;
    if (!trusted_.empty()) {
        const std::regex re(trusted_);
        for (const auto &[rel, node] : ReadTree(root_)) {
            struct stat st {};
            if (node.dir || !std::regex_match(rel, re) || ::lstat((root_ + "/" + rel).c_str(), &st) != 0) continue;
            // As it is, whatever the model kept for its inode: the inode may
            // be a removed file's, reused by that code's new file.
            data_[{st.st_dev, st.st_ino}] = node.content;
            // Its name too, which that code has synced in its directory.
            std::string::size_type slash = rel.rfind('/');
            struct stat ps {};
            std::string parent = slash == std::string::npos ? root_ : root_ + "/" + rel.substr(0, slash);
            if (::stat(parent.c_str(), &ps) == 0)
                entries_[{ps.st_dev, ps.st_ino}][rel.substr(slash + 1)] = Entry{{st.st_dev, st.st_ino}, false};
        }
    }
    // Ordered: today's names, each file with its synced data.
    ordered_ = ReadTree(root_);
    for (auto &[rel, node] : ordered_) {
        if (node.dir) continue;
        struct stat st {};
        if (::lstat((root_ + "/" + rel).c_str(), &st) != 0) continue;
        auto it = data_.find({st.st_dev, st.st_ino});
        node.content = it != data_.end() ? it->second : "";
    }
    // POSIX: each directory as last synced, from the root down.
    posix_.clear();
    Rebuild(root_ino_, "", 0);
}

void CrashEnv::Rebuild(const Ino &dir, const std::string &prefix, int depth) {
    auto it = entries_.find(dir);
    if (it == entries_.end() || depth > 64) return;
    for (const auto &[name, entry] : it->second) {
        std::string r = prefix.empty() ? name : prefix + "/" + name;
        TreeNode node = meta_[entry.ino];
        node.dir = entry.dir;
        if (entry.dir) {
            posix_[r] = node;
            Rebuild(entry.ino, r, depth + 1);
        } else {
            auto d = data_.find(entry.ino);
            node.content = d != data_.end() ? d->second : "";
            posix_[r] = node;
        }
    }
}

}  // namespace hvtest
