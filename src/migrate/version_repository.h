// The version repository: "versions.conf" in an instance's "upgrade"
// directory, the list of data levels applied to the instance.  The last
// level is the one the data is in sync with.  Results are gate codes
// (0 done, 2 inconsistent, 4 file cannot be examined/opened/created or owner
// not set, 5 out of memory or a read/write failed).  Single-threaded.
#ifndef HV_MIGRATE_VERSION_REPOSITORY_H
#define HV_MIGRATE_VERSION_REPOSITORY_H

#include <sys/types.h>

// Owner of the instance directory; given to every file and directory the
// repository creates.  Set by get_instancepath_ownership; -1 until then.
extern uid_t instancepath_userid;
extern gid_t instancepath_groupid;

// Release C-library allocations and set the pointer to none.
void ch_free(void **ptr);
void ch_free_string(char **s);

// *buffer: the whole content, NUL-terminated (release with ch_free_string).
int getVersions_versionRepository(const char *file, char **buffer);
// count may be none.
int getInSyncVersion_versionRepository(const char *file, int *level, int *count);
int getPreviousSyncVersion_versionRepository(const char *file, int *level);
int addVersion_versionRepository(const char *file, int level);
int removeVersion_versionRepository(const char *file);
int create_versionRepository(const char *file, int *level);
int clear_versionRepository(const char *file);
int flushVersions_versionRepository(const char *file, const char *content);

#endif  // HV_MIGRATE_VERSION_REPOSITORY_H
