#include "support/users.h"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace hvtest {
namespace {

bool Lookup(const std::string &name, SystemUser *user) {
    struct passwd pw {};
    struct passwd *found = nullptr;
    char buf[4096];
    if (getpwnam_r(name.c_str(), &pw, buf, sizeof buf, &found) != 0 || found == nullptr) return false;
    user->name = name;
    user->uid = found->pw_uid;
    user->gid = found->pw_gid;
    return true;
}

}  // namespace

bool EnsureSystemUser(const std::string &name, SystemUser *user) {
    if (Lookup(name, user)) return true;
    if (geteuid() != 0) return false;
    // Two test processes may race to create the same user: look again
    // whatever useradd says.
    std::string cmd = "useradd --system --no-create-home --shell /usr/sbin/nologin --user-group '" + name +
                      "' >/dev/null 2>&1";
    for (int attempt = 0; attempt < 10; ++attempt) {
        // useradd fails while another one holds the account files' lock.
        if (std::system(cmd.c_str()) == 0 || Lookup(name, user)) return Lookup(name, user);
        usleep(200 * 1000);
    }
    return Lookup(name, user);
}

ScopedEffectiveIds::ScopedEffectiveIds(uid_t uid, gid_t gid) : saved_uid_(geteuid()), saved_gid_(getegid()) {
    if (setegid(gid) != 0) {
        ADD_FAILURE() << "setegid(" << gid << ")";
        return;
    }
    if (seteuid(uid) != 0) {
        ADD_FAILURE() << "seteuid(" << uid << ")";
        if (setegid(saved_gid_) != 0) ADD_FAILURE() << "setegid back";
        return;
    }
    ok_ = true;
}

ScopedEffectiveIds::~ScopedEffectiveIds() {
    if (!ok_) return;
    if (seteuid(saved_uid_) != 0) ADD_FAILURE() << "seteuid back to " << saved_uid_;
    if (setegid(saved_gid_) != 0) ADD_FAILURE() << "setegid back to " << saved_gid_;
}

}  // namespace hvtest
