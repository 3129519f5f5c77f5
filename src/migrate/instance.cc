#include "migrate/instance.h"

#include "migrate/gates.h"
#include "migrate/migrate_paths.h"
#include "migrate/script_templates.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace hv::migrate {
namespace {

const Instance *g_current = nullptr;
int g_lock_wait_millis = 10 * 1000;

// The rest of path below base, or false when path does not lie there.
bool Below(const std::string &path, const std::string &base, std::string *rel) {
    if (path.compare(0, base.size(), base) != 0) return false;
    if (path.size() == base.size()) {
        rel->clear();
        return true;
    }
    if (path[base.size()] != '/') return false;
    *rel = path.substr(base.size() + 1);
    return true;
}

}  // namespace

std::unique_ptr<Instance> Instance::Open(Env *env, const std::string &serverroot, const std::string &name,
                                         int *err) {
    std::unique_ptr<Dir> root = Dir::Open(env, serverroot, err);
    if (root == nullptr) return nullptr;
    std::unique_ptr<Dir> dir = root->OpenSubdir(name, err);
    if (dir == nullptr) return nullptr;
    return std::unique_ptr<Instance>(new Instance(std::move(root), std::move(dir)));
}

std::unique_ptr<Instance> Instance::OpenCurrent(Env *env, const std::string &serverroot, const std::string &name,
                                                int *err) {
    std::unique_ptr<Dir> root = Dir::Open(env, serverroot, err);
    if (root == nullptr) return nullptr;
    std::unique_ptr<Dir> dir = Dir::OpenCurrent(env, root->PathOf(name), err);
    if (dir == nullptr) return nullptr;
    return std::unique_ptr<Instance>(new Instance(std::move(root), std::move(dir)));
}

std::unique_ptr<Instance> Instance::OpenPath(Env *env, const std::string &path, int *err) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return Open(env, ".", path, err);
    return Open(env, slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1), err);
}

int LockWaitMillis() { return g_lock_wait_millis; }
void SetLockWaitMillisForTesting(int millis) { g_lock_wait_millis = millis; }

int Instance::Lock() const {
    constexpr int kStepMillis = 50;
    for (int waited = 0;; waited += kStepMillis) {
        if (::flock(dir_->fd(), LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EWOULDBLOCK && errno != EINTR) return errno;
        if (waited >= g_lock_wait_millis) return EWOULDBLOCK;
        ::usleep(kStepMillis * 1000);
    }
}

namespace {

// Whether name is "<something>.tmp" and six lowercase hex digits.
bool IsTemporaryName(const std::string &name) {
    constexpr std::size_t kSuffix = 4 + 6;
    if (name.size() <= kSuffix || name.compare(name.size() - kSuffix, 4, ".tmp") != 0) return false;
    for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
        char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

void RemoveTemporariesIn(const Dir &dir, const std::string &sub, const std::string &prefix) {
    std::vector<std::string> names;
    if (dir.List(sub, &names) != 0) return;  // absent or unreadable: nothing of ours there
    for (const std::string &name : names) {
        if (!IsTemporaryName(name) || name.compare(0, prefix.size(), prefix) != 0) continue;
        std::string rel = sub.empty() ? name : sub + "/" + name;
        struct stat st {};
        if (dir.Lstat(rel, &st) != 0 || !S_ISREG(st.st_mode)) continue;
        int err = dir.Remove(rel);
        if (err == 0)
            std::fprintf(stderr, "%s: removed, a temporary file left by an interrupted run\n", dir.PathOf(rel).c_str());
        else
            std::fprintf(stderr, "%s: a temporary file left by an interrupted run cannot be removed: %s\n",
                         dir.PathOf(rel).c_str(), std::strerror(err));
    }
}

}  // namespace

bool RemoveStaleTemporaries(const Instance &instance, const std::string &name) {
    for (const char *sub : {"", "config", "config/schema", "upgrade"}) RemoveTemporariesIn(instance.dir(), sub, "");
    RemoveTemporariesIn(instance.root(), "alias", name + "-");
    const std::string doomed = std::string("upgrade") + kRemovedSuffix;
    struct stat st {};
    if (instance.dir().Lstat(doomed, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    // Only a downgrade that had put every script back renames the directory
    // for removal; saved copies found in it are the only ones left.
    if (CheckNoSavedScriptLeft(instance.dir(), doomed) != 0) {
        std::fprintf(stderr, "%s: left by an interrupted downgrade, kept\n", instance.dir().PathOf(doomed).c_str());
        return false;
    }
    std::string failed;
    if (instance.dir().RemoveTree(doomed, &failed) == 0) {
        std::fprintf(stderr, "%s: removed, left by an interrupted downgrade\n", instance.dir().PathOf(doomed).c_str());
        return true;
    }
    std::fprintf(stderr, "%s: left by an interrupted downgrade, cannot be removed\n", failed.c_str());
    return false;
}

ScopedInstance::ScopedInstance(const Instance *instance) : saved_(g_current) { g_current = instance; }
ScopedInstance::~ScopedInstance() { g_current = saved_; }

Location::Location(const std::string &path) : path_(path) {
    if (g_current != nullptr) {
        if (Below(path, g_current->path(), &rel_)) {
            dir_ = &g_current->dir();
            return;
        }
        if (Below(path, g_current->root().path(), &rel_)) {
            dir_ = &g_current->root();
            return;
        }
    }
    std::string::size_type slash = path.rfind('/');
    std::string anchor = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    rel_ = slash == std::string::npos ? path : path.substr(slash + 1);
    own_ = Dir::Open(Env::Default(), anchor, &error_);
    dir_ = own_.get();
}

DirRef::DirRef(const std::string &path) : where_(path) {
    if (where_.error() != 0) {
        error_ = where_.error();
        return;
    }
    if (where_.rel().empty()) {
        dir_ = &where_.dir();
        return;
    }
    own_ = where_.dir().OpenSubdir(where_.rel(), &error_);
    dir_ = own_.get();
}

bool MigrationPathsFit(const char *serverroot, const char *name) {
    std::string path;
    for (const char *fmt : {"%s/%s/config/dse.ldif", "%s/%s/config/schema/00core.ldif", "%s/%s/schema_push.pl",
                            "%s/%s/upgrade/versions.conf", "%s/alias/%s-cert8.db_bak9999", "%s/alias/%s-key3.db",
                            "dbm:%s/alias/%s-"}) {
        if (!BuildPath(&path, fmt, serverroot, name)) return false;
    }
    if (!BuildPath(&path, "%s/bin/slapd/server", serverroot)) return false;
    for (const hv::ScriptTemplate &t : hv::ScriptTemplates()) {
        if (!BuildPath(&path, "%s/%s/upgrade/bak_patch2/%s", serverroot, name, t.name)) return false;
    }
    return true;
}

int EnsureDirectory(const std::string &path) {
    Location where(path);
    struct stat st {};
    int err = where.error() != 0 ? where.error() : where.dir().Lstat(where.rel(), &st);
    if (err == 0 && S_ISLNK(st.st_mode)) err = ELOOP;
    if (err == 0) return 0;
    if (err == ENOENT && where.error() == 0)
        err = where.dir().MakeDir(where.rel(), 0755, static_cast<uid_t>(-1), static_cast<gid_t>(-1));
    if (err == 0) return 0;
    if (IsRefusal(err)) ReportRefused(path);
    std::fprintf(stderr, "%s cannot be created\n", path.c_str());
    return 5;
}

void ReportRefused(const std::string &path) {
    std::fprintf(stderr, "%s: refused, a symbolic link or not the kind of file expected\n", path.c_str());
}

void ReportTooLarge(const std::string &path) {
    std::fprintf(stderr, "%s is larger than %zu bytes: refused\n", path.c_str(), hv::kMaxFileBytes);
}

}  // namespace hv::migrate
