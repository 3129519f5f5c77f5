// The instance administration scripts: their templates and their
// regeneration by the upgrade, with backups in upgrade/bak_patch2.
// Results are procedure result codes (0, 3, 5).  Messages go to standard
// error.  Single-threaded: called under the instance owner's effective ids,
// which are process-wide.
#ifndef HV_MIGRATE_SCRIPTS_H
#define HV_MIGRATE_SCRIPTS_H

#include <cstdarg>

int upgrade_scripts(int phase, const char *serverroot, const char *instancename);
int regenerate_scripts(const char *serverroot, const char *instancename);
int regenerate_script(const char *instancepath, const char *name, const char *tmpl, ...);
// regenerate_script with its values in a va_list.
int vregenerate_script(const char *instancepath, const char *name, const char *tmpl,
                       va_list values);
int backup_script(const char *instancepath, const char *name);
int check_backup_context(const char *instancepath);

#endif  // HV_MIGRATE_SCRIPTS_H
