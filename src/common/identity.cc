#include "common/identity.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>

namespace hv {

std::vector<gid_t> GroupsOf(uid_t uid, gid_t gid) {
    struct passwd pw {};
    struct passwd *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return {gid};
    std::vector<gid_t> groups(64);
    int n = static_cast<int>(groups.size());
    while (getgrouplist(found->pw_name, gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n) > groups.size() ? static_cast<std::size_t>(n)
                                                                   : groups.size() * 2);
        n = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(n));
    return groups;
}

int BecomeForGood(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, const char **failed) {
    auto fail = [&](const char *call) {
        *failed = call;
        return errno != 0 ? errno : EPERM;
    };
    // A caller with root's real id and the owner's effective one (switched
    // for an instance): the group list can only be set with root's
    // effective id.
    if (::getuid() == 0 && ::geteuid() != 0 && ::seteuid(0) != 0) return fail("seteuid(0)");
    if (::geteuid() == 0 && ::setgroups(groups.size(), groups.data()) != 0) return fail("setgroups");
    if (::setresgid(gid, gid, gid) != 0) return fail("setresgid");
    if (::setresuid(uid, uid, uid) != 0) return fail("setresuid");
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    errno = EPERM;
    if (::getresuid(&ru, &eu, &su) != 0 || ru != uid || eu != uid || su != uid) return fail("getresuid");
    if (::getresgid(&rg, &eg, &sg) != 0 || rg != gid || eg != gid || sg != gid) return fail("getresgid");
    if (uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0 || ::setgid(0) == 0 || ::setgroups(0, nullptr) == 0)) {
        errno = EPERM;
        return fail("root could be taken back");
    }
    return 0;
}

}  // namespace hv
