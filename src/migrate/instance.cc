#include "migrate/instance.h"

#include "migrate/migrate_paths.h"
#include "migrate/script_templates.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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

}  // namespace hv::migrate
