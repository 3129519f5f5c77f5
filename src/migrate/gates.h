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
// Finishes a downgrade that stopped after its repository went back to the
// baseline ("1" and the separator the removal leaves) but before the
// "upgrade" directory was removed: removes it now.  0 when there was nothing
// to finish or it was finished, else a gate code.
int finishStoppedDowngrade(const char *instancepath);
// Removes the tree depth first; never follows a symbolic link.
int remove_upgradeDirectory(const char *dir);

#endif  // HV_MIGRATE_GATES_H
