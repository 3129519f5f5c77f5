// The upgrade and downgrade gates, the recording of a migration in the
// version repository, and the removal of the "upgrade" directory.
#include "migrate/gates.h"

#include <dirent.h>
#include <fcntl.h>
#include <prio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

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

// Removes what the directory open as fd (named path in messages) holds, depth
// first.  Entries are examined with lstat semantics and opened relative to
// their parent with O_NOFOLLOW, so a symbolic link is removed as a link and
// nothing outside the tree is reached, even if the tree changes meanwhile.
// Takes ownership of fd.
int RemoveContents(int fd, const std::string &path) {
    DIR *dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        std::fprintf(stderr, "%s could not be read.\n", path.c_str());
        return 4;
    }
    int rc = 0;
    while (rc == 0) {
        errno = 0;
        dirent *entry = readdir(dir);
        if (entry == nullptr) break;
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        std::string entry_path;
        if (!BuildPath(&entry_path, "%s/%s", path.c_str(), name)) {
            rc = 4;
            break;
        }
        struct stat st {};
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            std::fprintf(stderr, "%s could not be accessed, error %d\n", entry_path.c_str(), -1);
            rc = 4;
        } else if (S_ISDIR(st.st_mode)) {
            int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0) {
                std::fprintf(stderr, "%s could not be read.\n", entry_path.c_str());
                rc = 4;
            } else {
                rc = RemoveContents(child, entry_path);
                if (rc == 0 && unlinkat(dirfd(dir), name, AT_REMOVEDIR) != 0) rc = 4;
            }
        } else if (unlinkat(dirfd(dir), name, 0) != 0) {
            std::fprintf(stderr, "%s could not be deleted, error %d\n", entry_path.c_str(), -1);
            rc = 4;
        }
    }
    closedir(dir);
    return rc;
}

}  // namespace

int check_instancepath(const char *instancepath) {
    PRFileInfo info;
    PRStatus status = PR_GetFileInfo(instancepath, &info);
    if (status != PR_SUCCESS) {
        std::fprintf(stderr, "%s could not be accessed, error %d\n", instancepath, static_cast<int>(status));
        return 4;
    }
    if (info.type == PR_FILE_FILE) {
        std::fprintf(stderr, "%s is not a directory.\n", instancepath);
        return 4;
    }
    return 0;
}

int get_instancepath_ownership(const char *instancepath) {
    struct stat st {};
    if (stat(instancepath, &st) != 0) return 2;
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

    PRFileInfo info;
    if (PR_GetFileInfo(paths.upgrade_dir.c_str(), &info) == PR_SUCCESS) {
        if (PR_Access(paths.file.c_str(), PR_ACCESS_EXISTS) != PR_SUCCESS)
            return create_versionRepository(paths.file.c_str(), outlevel);
        // The tool runs as root with the instance owner's effective ids;
        // access() (and PR_Access) would test the real ids, which can write
        // anything.  The rewrite is done under the effective ids.
        if (faccessat(AT_FDCWD, paths.file.c_str(), W_OK, AT_EACCESS) == 0) return 0;
        std::fprintf(stderr, "Could not write to %s\n", paths.file.c_str());
        return 4;
    }
    if (PR_MkDir(paths.upgrade_dir.c_str(), 0755) != PR_SUCCESS) {
        std::fprintf(stderr, "%s cannot be created\n", paths.upgrade_dir.c_str());
        return 4;
    }
    if (chown(paths.upgrade_dir.c_str(), instancepath_userid, instancepath_groupid) != 0) return 4;
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

int checkVersion_versionRepository(const char *upgradedir, const char *file) {
    int level = 0;
    int count = 0;
    int rc = getInSyncVersion_versionRepository(file, &level, &count);
    if (rc != 0) return rc;
    if (count == 1 && level == 1) return remove_upgradeDirectory(upgradedir);
    return 0;
}

int remove_upgradeDirectory(const char *dir) {
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        // The directory itself may be a link to somewhere else: remove the
        // link, not what it points to.
        struct stat st {};
        if (lstat(dir, &st) == 0 && S_ISLNK(st.st_mode)) {
            if (unlink(dir) == 0) return 0;
            std::fprintf(stderr, "%s could not be deleted, error %d\n", dir, -1);
            return 4;
        }
        std::fprintf(stderr, "%s could not be read.\n", dir);
        return 4;
    }
    int rc = RemoveContents(fd, dir);
    if (rc != 0) return rc;
    return PR_RmDir(dir) == PR_SUCCESS ? 0 : 4;
}
