// The downgrade from level 2 to the baseline: the command line driver with
// its switch of effective ids, and the patch level's downgrade steps.
#ifndef HV_MIGRATE_DOWNGRADE_H
#define HV_MIGRATE_DOWNGRADE_H

// Driver.
void usage(const char *progname);
void upgrade_log(const char *level, const char *text);
int downgrade_instances(const char *serverroot, const char *instancename);
int downgrade_instance(const char *serverroot, const char *instancename);
int downgrade_DS_instance(const char *serverroot, const char *instancename, int level);
// downgrade_instance with its file work done through env (tests inject
// faults with it).
namespace hv {
class Env;
}
int DowngradeInstanceWith(hv::Env *env, const char *serverroot, const char *instancename);

// Steps.
extern const char *const scripts[];  // ends with none
int downgrade_DS_to_TB1(const char *serverroot, const char *instancename);
int downgrade_NSS336_to_NSS334(const char *serverroot, const char *instancename);
int backout_scripts(const char *serverroot, const char *instancename, const char *const *names);
// Puts back every saved script (the table's and get-clusterinfo-slapd),
// then verifies that none is left in the backup directory: 0, or 3 after
// naming what is left or cannot be examined.
int restore_saved_scripts(const char *serverroot, const char *instancename);

#endif  // HV_MIGRATE_DOWNGRADE_H
