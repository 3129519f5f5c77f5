// Whether an instance may be upgraded or downgraded, and the recording of
// the outcome in its version repository.  Results are gate codes; callers
// map them with MapGateCode.  Single-threaded.
#ifndef HV_MIGRATE_GATES_H
#define HV_MIGRATE_GATES_H

int check_instancepath(const char *instancepath);
int get_instancepath_ownership(const char *instancepath);
int common_checks(int level, const char *instancepath, int *outlevel);
int is_upgrade_needed(int target, const char *instancepath, int *current);
int is_downgrade_possible(int target, const char *instancepath, int *level);
int upgradeVersionRepository(int target, const char *instancepath);
int downgradeVersionRepository(const char *instancepath);
int checkVersion_versionRepository(const char *upgradedir, const char *file);
// Removes the tree depth first; never follows a symbolic link.
int remove_upgradeDirectory(const char *dir);

#endif  // HV_MIGRATE_GATES_H
