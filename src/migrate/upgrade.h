// The upgrade procedure from the baseline to level 2.
#ifndef HV_MIGRATE_UPGRADE_H
#define HV_MIGRATE_UPGRADE_H

int upgrade_DS_instance(int phase, const char *serverroot, const char *instancename, int level);
int upgrade_DS_from_TB1(int phase, const char *serverroot, const char *instancename);

#endif  // HV_MIGRATE_UPGRADE_H
