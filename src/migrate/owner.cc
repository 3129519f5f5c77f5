#include "migrate/owner.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace hv::migrate {

int OwnerOfInstance(const Dir &instance, bool allow_root, uid_t *uid, gid_t *gid, std::string *why) {
    constexpr char kDse[] = "config/dse.ldif";
    struct stat dir {};
    if (int err = instance.Lstat("", &dir)) {
        *why = instance.path() + " cannot be examined: " + std::strerror(err);
        return err;
    }
    if (dir.st_uid == 0 && !allow_root) {
        *why = instance.path() +
               ": refused, the instance directory belongs to root (set HVDS_ALLOW_ROOT_OWNED=1 to work on it "
               "as root); nothing done";
        return EPERM;
    }
    struct stat st {};
    const std::string dse = instance.PathOf(kDse);
    if (int err = instance.Lstat(kDse, &st)) {
        *why = dse + " cannot be examined: " + std::strerror(err);
        return err;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = dse + ": refused, a symbolic link or not the kind of file expected";
        return S_ISLNK(st.st_mode) ? ELOOP : kWrongType;
    }
    if (st.st_uid != dir.st_uid) {
        *why = dse + ": refused, it belongs to uid " + std::to_string(st.st_uid) +
               ", not to the owner of the instance directory (uid " + std::to_string(dir.st_uid) + "); nothing done";
        return EPERM;
    }
    if (st.st_nlink != 1) {
        *why = dse + ": refused, it has " + std::to_string(st.st_nlink) +
               " hard links (another file's name can lend it); nothing done";
        return EPERM;
    }
    *uid = dir.st_uid;
    *gid = dir.st_gid;
    return 0;
}

bool RootOwnedAllowed() {
    const char *v = std::getenv("HVDS_ALLOW_ROOT_OWNED");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

ScopedOwner::ScopedOwner(uid_t uid, gid_t gid, Reporter report)
    : report_(report), saved_uid_(::geteuid()), saved_gid_(::getegid()) {
    // Root's own groups must not follow it into the owner's work; only root
    // can change them, and only root needs to.
    if (saved_uid_ == 0 && uid != 0) {
        int n = ::getgroups(0, nullptr);
        saved_groups_.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        if (n > 0 && ::getgroups(n, saved_groups_.data()) < 0) saved_groups_.clear();
        std::vector<gid_t> groups = GroupsOf(uid, gid);
        if (::setgroups(groups.size(), groups.data()) != 0) {
            report_("setgroups", static_cast<long>(gid), errno);
            return;
        }
        groups_switched_ = true;
    }
    // The group first: once the user id is no longer root the group can no
    // longer be changed.
    if (saved_gid_ != gid) {
        if (::setegid(gid) != 0) {
            report_("setegid", static_cast<long>(gid), errno);
            RestoreIds();
            return;
        }
        gid_switched_ = true;
    }
    if (saved_uid_ != uid) {
        if (::seteuid(uid) != 0) {
            report_("seteuid", static_cast<long>(uid), errno);
            RestoreIds();
            return;
        }
        uid_switched_ = true;
    }
    ok_ = true;
}

ScopedOwner::~ScopedOwner() {
    if (!restore_tried_) Restore();
}

bool ScopedOwner::Restore() {
    if (restore_tried_) return restored_;
    restore_tried_ = true;
    restored_ = RestoreIds();
    return restored_;
}

bool ScopedOwner::RestoreIds() {
    bool restored = true;
    if (uid_switched_) {
        if (::seteuid(saved_uid_) != 0) {
            report_("seteuid", static_cast<long>(saved_uid_), errno);
            // Without root's user id nothing else can be put back.
            return false;
        }
        uid_switched_ = false;
    }
    if (gid_switched_) {
        if (::setegid(saved_gid_) != 0) {
            report_("setegid", static_cast<long>(saved_gid_), errno);
            restored = false;
        } else {
            gid_switched_ = false;
        }
    }
    if (groups_switched_) {
        if (::setgroups(saved_groups_.size(), saved_groups_.data()) != 0) {
            report_("setgroups", static_cast<long>(saved_gid_), errno);
            restored = false;
        } else {
            groups_switched_ = false;
        }
    }
    return restored;
}

}  // namespace hv::migrate
