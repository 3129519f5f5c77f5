// The upgrade and downgrade gates, the recording of a migration in the
// version repository, and the removal of the "upgrade" directory.
#include "migrate/gates.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "common/dir.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"
#include "migrate/version_repository.h"

namespace {

using hv::migrate::BuildPath;

struct RepositoryPaths {
    std::string upgrade_dir;
    std::string file;
};

bool BuildRepositoryPaths(const char *instancepath, RepositoryPaths *paths) {
    return BuildPath(&paths->upgrade_dir, "%s/%s", instancepath, "upgrade") &&
           BuildPath(&paths->file, "%s/%s/%s", instancepath, "upgrade", "versions.conf");
}

}  // namespace

int check_instancepath(const char *instancepath) {
    hv::migrate::Location where(instancepath);
    struct stat st {};
    int err = where.error() != 0 ? where.error() : where.dir().Lstat(where.rel(), &st);
    if (err != 0) {
        std::fprintf(stderr, "%s could not be accessed, error %d\n", instancepath, -1);
        return 4;
    }
    if (S_ISLNK(st.st_mode)) {
        hv::migrate::ReportRefused(instancepath);
        return 4;
    }
    if (!S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s is not a directory.\n", instancepath);
        return 4;
    }
    return 0;
}

int get_instancepath_ownership(const char *instancepath) {
    hv::migrate::Location where(instancepath);
    struct stat st {};
    if (where.error() != 0 || where.dir().Lstat(where.rel(), &st) != 0) return 2;
    instancepath_userid = st.st_uid;
    instancepath_groupid = st.st_gid;
    return 0;
}

int common_checks(int level, const char *instancepath, int *outlevel) {
    if (level < 1) return 2;
    if (outlevel == nullptr || instancepath == nullptr) return 3;
    int rc = check_instancepath(instancepath);
    if (rc != 0) return rc;
    if (get_instancepath_ownership(instancepath) != 0) return 2;
    RepositoryPaths paths;
    if (!BuildRepositoryPaths(instancepath, &paths)) return 4;

    hv::migrate::Location upgrade(paths.upgrade_dir);
    if (upgrade.error() != 0) return 4;
    struct stat st {};
    if (upgrade.dir().Lstat(upgrade.rel(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            // Never create or hand over anything through a link.
            hv::migrate::ReportRefused(paths.upgrade_dir);
            return 4;
        }
        hv::migrate::Location file(paths.file);
        int err = file.error() != 0 ? file.error() : file.dir().Lstat(file.rel(), &st);
        // Something other than a directory under "upgrade" fails the creation.
        if (err == ENOENT || err == ENOTDIR) return create_versionRepository(paths.file.c_str(), outlevel);
        if (err == 0 && !S_ISREG(st.st_mode)) err = S_ISLNK(st.st_mode) ? ELOOP : hv::kWrongType;
        if (hv::IsRefusal(err)) {
            hv::migrate::ReportRefused(paths.file);
            return 4;
        }
        // The tool runs as root with the instance owner's effective ids;
        // access() would test the real ids, which can write anything.
        if (err == 0 && file.dir().Access(file.rel(), W_OK) == 0) return 0;
        std::fprintf(stderr, "Could not write to %s\n", paths.file.c_str());
        return 4;
    }
    int err = upgrade.dir().MakeDir(upgrade.rel(), 0755, instancepath_userid, instancepath_groupid);
    if (err != 0) {
        if (hv::IsRefusal(err)) hv::migrate::ReportRefused(paths.upgrade_dir);
        std::fprintf(stderr, "%s cannot be created\n", paths.upgrade_dir.c_str());
        return 4;
    }
    return create_versionRepository(paths.file.c_str(), outlevel);
}

namespace {

// The in-sync level after the common checks; 0 or the failing gate code.
int CheckedInSyncLevel(int level, const char *instancepath, int *current) {
    int created = 0;
    int rc = common_checks(level, instancepath, &created);
    if (rc != 0) return rc;
    RepositoryPaths paths;
    if (!BuildRepositoryPaths(instancepath, &paths)) return 4;
    return getInSyncVersion_versionRepository(paths.file.c_str(), current, nullptr);
}

}  // namespace

int is_upgrade_needed(int target, const char *instancepath, int *current) {
    if (current == nullptr) return 3;
    *current = 0;
    int rc = CheckedInSyncLevel(target, instancepath, current);
    if (rc != 0) return rc;
    if (*current == target) return 1;
    return *current < target ? 0 : 2;
}

int is_downgrade_possible(int target, const char *instancepath, int *level) {
    if (level == nullptr) return 3;
    *level = 0;
    int current = 0;
    int rc = CheckedInSyncLevel(target, instancepath, &current);
    if (rc != 0) return rc;
    if (current < target) {
        *level = current;
        return 1;
    }
    if (current > target) return 2;
    RepositoryPaths paths;
    if (!BuildRepositoryPaths(instancepath, &paths)) return 4;
    int previous = 0;
    rc = getPreviousSyncVersion_versionRepository(paths.file.c_str(), &previous);
    if (rc != 0) return rc;
    if (previous > current) return 2;
    *level = previous;
    return previous < current ? 0 : 1;
}

int upgradeVersionRepository(int target, const char *instancepath) {
    int current = 0;
    int rc = CheckedInSyncLevel(target, instancepath, &current);
    if (rc != 0) return rc;
    if (current == target) return 1;
    if (current > target) return 2;
    RepositoryPaths paths;
    if (!BuildRepositoryPaths(instancepath, &paths)) return 4;
    return addVersion_versionRepository(paths.file.c_str(), target);
}

int downgradeVersionRepository(const char *instancepath) {
    int created = 0;
    int rc = common_checks(1, instancepath, &created);
    if (rc != 0) return rc;
    RepositoryPaths paths;
    if (!BuildRepositoryPaths(instancepath, &paths)) return 4;
    rc = removeVersion_versionRepository(paths.file.c_str());
    if (rc != 0) return rc;
    return checkVersion_versionRepository(paths.upgrade_dir.c_str(), paths.file.c_str());
}

bool downgradeStopped(const char *instancepath) {
    RepositoryPaths paths;
    if (!BuildRepositoryPaths(instancepath, &paths)) return false;
    hv::migrate::Location where(paths.file);
    std::string text;
    if (where.error() != 0 || where.dir().ReadFile(where.rel(), &text) != 0) return false;
    // The baseline and a separator is what removeVersion_versionRepository
    // leaves (dshost status reads it the same way); a bare "1" is a
    // repository the gates made, and an upgrade directory beside it may
    // hold the only copies of the pre-patch scripts.
    int level = 0, count = 0;
    return !text.empty() && std::strchr("\t\n\r ", text.back()) != nullptr &&
           getInSyncVersion_versionRepository(paths.file.c_str(), &level, &count) == 0 && count == 1 && level == 1;
}

int finishStoppedDowngrade(const char *instancepath) {
    if (!downgradeStopped(instancepath)) return 0;
    RepositoryPaths paths;
    if (!BuildRepositoryPaths(instancepath, &paths)) return 4;
    std::fprintf(stderr, "%s: a downgrade stopped before removing it; removing it now\n", paths.upgrade_dir.c_str());
    return remove_upgradeDirectory(paths.upgrade_dir.c_str());
}

int checkVersion_versionRepository(const char *upgradedir, const char *file) {
    int level = 0;
    int count = 0;
    int rc = getInSyncVersion_versionRepository(file, &level, &count);
    if (rc != 0) return rc;
    if (count == 1 && level == 1) return remove_upgradeDirectory(upgradedir);
    return 0;
}

int CheckNoSavedScriptLeft(const hv::Dir &dir, const std::string &upgrade_rel) {
    const std::string backup = upgrade_rel + "/bak_patch2";
    std::vector<std::string> names;
    int err = dir.List(backup, &names);
    // Absent: nothing was saved.  Anything else that keeps us from looking
    // keeps the copies.
    if (err == ENOENT) return 0;
    if (err != 0) {
        std::fprintf(stderr, "%s cannot be read (%s): the saved scripts in it are kept, and the level\n",
                     dir.PathOf(backup).c_str(), std::strerror(err));
        return 4;
    }
    if (names.empty()) return 0;
    std::sort(names.begin(), names.end());
    std::fprintf(stderr, "%s was saved by the upgrade and is not back in the instance: it is kept, and the level\n",
                 dir.PathOf(backup + "/" + names.front()).c_str());
    return 4;
}

int remove_upgradeDirectory(const char *dir) {
    hv::migrate::Location where(dir);
    struct stat st {};
    if (where.error() != 0 || where.dir().Lstat(where.rel(), &st) != 0) {
        std::fprintf(stderr, "%s could not be read.\n", dir);
        return 4;
    }
    if (S_ISDIR(st.st_mode) && CheckNoSavedScriptLeft(where.dir(), where.rel()) != 0) return 4;
    // Renamed first and then emptied: a run stopped half-way leaves the
    // whole directory or none of it under its name; what was renamed is
    // removed by the next run (RemoveStaleTemporaries).
    std::string doomed = where.rel() + hv::migrate::kRemovedSuffix;
    std::string failed;
    struct stat old {};
    if (where.dir().Lstat(doomed, &old) == 0 &&
        (CheckNoSavedScriptLeft(where.dir(), doomed) != 0 || where.dir().RemoveTree(doomed, &failed) != 0)) {
        std::fprintf(stderr, "%s could not be deleted, error %d\n", failed.c_str(), -1);
        return 4;
    }
    if (where.dir().Rename(where.rel(), doomed) != 0) {
        std::fprintf(stderr, "%s could not be deleted, error %d\n", dir, -1);
        return 4;
    }
    if (where.dir().RemoveTree(doomed, &failed) == 0) return 0;
    std::fprintf(stderr, "%s could not be deleted, error %d\n", failed.c_str(), -1);
    return 4;
}
