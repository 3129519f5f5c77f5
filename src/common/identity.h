// Taking another user's identity for good.
//
// A process that works on files an untrusted user controls, or runs that
// user's code, first becomes that user entirely: group list, real,
// effective and saved group and user ids, and then checks that root cannot
// be taken back.  Shared by the migration's worker and the schema push, and
// by hvtally working on a file as its owner.
#ifndef HV_COMMON_IDENTITY_H
#define HV_COMMON_IDENTITY_H

#include <sys/types.h>

#include <vector>

namespace hv {

// The supplementary groups of uid as its owner would have them: the list
// of its name with gid, or gid alone when uid has no name.  Reads the user
// and group databases (not async-signal-safe: call it before a fork).
std::vector<gid_t> GroupsOf(uid_t uid, gid_t gid);

// Becomes uid with gid and groups as real, effective and saved ids and
// checks that root cannot be taken back.  0, or an errno value with *failed
// naming the call that failed (a static string).  Makes only system calls,
// so a forked child of a threaded process may call it.
int BecomeForGood(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, const char **failed);

}  // namespace hv

#endif  // HV_COMMON_IDENTITY_H
