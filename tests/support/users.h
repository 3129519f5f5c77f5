// Real system users and effective-id switching for tests that run as root.
//
// EnsureSystemUser creates a system user without home directory or login
// shell when it does not exist yet (useradd --system), so tests can hand an
// instance to a real non-root owner.  ScopedEffectiveIds switches the
// effective group, then user id, and switches back (user, then group) when it
// goes out of scope.  The effective ids are process-wide: use from one thread.
#ifndef HV_TESTS_SUPPORT_USERS_H
#define HV_TESTS_SUPPORT_USERS_H

#include <sys/types.h>

#include <string>

namespace hvtest {

struct SystemUser {
    std::string name;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);  // the user's primary group
};

// Looks the user up, creating it first when missing (needs root).  False when
// it neither exists nor can be created.
bool EnsureSystemUser(const std::string &name, SystemUser *user);

class ScopedEffectiveIds {
  public:
    ScopedEffectiveIds(uid_t uid, gid_t gid);
    ~ScopedEffectiveIds();
    ScopedEffectiveIds(const ScopedEffectiveIds &) = delete;
    ScopedEffectiveIds &operator=(const ScopedEffectiveIds &) = delete;
    bool ok() const { return ok_; }

  private:
    uid_t saved_uid_;
    gid_t saved_gid_;
    bool ok_ = false;
};

}  // namespace hvtest

#endif  // HV_TESTS_SUPPORT_USERS_H
