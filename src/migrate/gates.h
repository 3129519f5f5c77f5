// Whether an instance may be upgraded or downgraded, and the recording of
// the outcome in its version repository.  Results are gate codes; callers
// map them with MapGateCode.  Single-threaded.
#ifndef HV_MIGRATE_GATES_H
#define HV_MIGRATE_GATES_H

#include <string>

int check_instancepath(const char *instancepath);
int get_instancepath_ownership(const char *instancepath);
int common_checks(int level, const char *instancepath, int *outlevel);
int is_upgrade_needed(int target, const char *instancepath, int *current);
int is_downgrade_possible(int target, const char *instancepath, int *level);
int upgradeVersionRepository(int target, const char *instancepath);
int downgradeVersionRepository(const char *instancepath);
int checkVersion_versionRepository(const char *upgradedir, const char *file);
// Whether a downgrade stopped after its repository went back to the
// baseline ("1" and the separator the removal leaves) but before the
// "upgrade" directory was removed.
bool downgradeStopped(const char *instancepath);
// Finishes such a downgrade: removes the "upgrade" directory now, once no
// saved script is left in it.  0 when there was nothing to finish or it was
// finished, else a gate code.
int finishStoppedDowngrade(const char *instancepath);
// Removes the tree depth first; never follows a symbolic link.  Refuses
// (4) while its "bak_patch2" holds a saved script or cannot be read.
int remove_upgradeDirectory(const char *dir);

namespace hv {
class Dir;
}
// 0 when the backup directory "bak_patch2" of the upgrade directory
// upgrade_rel beneath dir is absent or empty: no saved script would be lost
// with it.  Else 4, after naming on standard error the saved copy still
// there or the directory that cannot be read.
int CheckNoSavedScriptLeft(const hv::Dir &dir, const std::string &upgrade_rel);

#endif  // HV_MIGRATE_GATES_H
