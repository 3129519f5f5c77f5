// The upgrade procedure from the baseline to level 2.
#ifndef HV_MIGRATE_UPGRADE_H
#define HV_MIGRATE_UPGRADE_H

// The upgrade reports through the host's log, as the server's own
// administration entries do.
#define UPGRADE_LOG(...) slapi_log_info_ex(16384, 0, -1, -1, -1, "", __VA_ARGS__)

int upgrade_DS_instance(int phase, const char *serverroot, const char *instancename, int level);
int upgrade_DS_from_TB1(int phase, const char *serverroot, const char *instancename);
// upgrade_instance with its file work done through env (tests inject faults
// with it).
namespace hv {
class Env;
}
int UpgradeInstanceWith(hv::Env *env, int phase, const char *instancepath);

#endif  // HV_MIGRATE_UPGRADE_H
