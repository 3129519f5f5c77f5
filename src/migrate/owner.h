// Working as the instance owner.
//
// OwnerOfInstance takes the owner and group of the instance directory
// itself, as opened (never through a link): a file inside it could be a
// hard link to someone else's file and lend the run that file's ids.
// ScopedOwner switches the process to those ids for one instance: the
// owner's group list (initgroups' list for the owner's name, or the group
// alone for an id without a name), then the effective group id, then the
// effective user id; it restores root's ids and groups in the reverse order.
// The ids are process-wide: one instance at a time, from one thread.
#ifndef HV_MIGRATE_OWNER_H
#define HV_MIGRATE_OWNER_H

#include <sys/types.h>

#include <string>
#include <vector>

#include "common/dir.h"
#include "common/identity.h"

namespace hv::migrate {

// The ids an instance is worked on with: the owner and group of the
// opened instance directory.  Its "config/dse.ldif" must be a regular file
// of that owner with one link (a hard link to another file, or a file left
// behind by an editor run as root, is not the instance's configuration).
// An instance owned by root is refused unless allow_root.  0 with the ids;
// else an errno value and *why, a message naming the path: ENOENT (or
// another errno) when dse.ldif cannot be examined, ELOOP or kWrongType when
// it is a link or not a regular file, EPERM for the refusals above.
int OwnerOfInstance(const Dir &instance, bool allow_root, uid_t *uid, gid_t *gid, std::string *why);

// Whether the administrator allows work on root-owned instances as root:
// HVDS_ALLOW_ROOT_OWNED=1 in the environment.
bool RootOwnedAllowed();

class ScopedOwner {
  public:
    // Reports a failed call: its name ("setgroups", "setegid", "seteuid"),
    // the id it was given and errno.
    using Reporter = void (*)(const char *call, long id, int err);

    ScopedOwner(uid_t uid, gid_t gid, Reporter report);
    // Restores (a failure is reported).
    ~ScopedOwner();
    ScopedOwner(const ScopedOwner &) = delete;
    ScopedOwner &operator=(const ScopedOwner &) = delete;

    // Whether the switch succeeded (on failure nothing stays switched).
    bool ok() const { return ok_; }
    // Switches back now; false when a call failed (reported).  Idempotent.
    bool Restore();

  private:
    bool RestoreIds();
    Reporter report_;
    uid_t saved_uid_;
    gid_t saved_gid_;
    std::vector<gid_t> saved_groups_;
    bool groups_switched_ = false, gid_switched_ = false, uid_switched_ = false;
    bool ok_ = false;
    bool restore_tried_ = false, restored_ = true;
};

using hv::GroupsOf;

}  // namespace hv::migrate

#endif  // HV_MIGRATE_OWNER_H
