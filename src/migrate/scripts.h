// The instance administration scripts: their templates and their
// regeneration by the upgrade, with backups in upgrade/bak_patch2.
#ifndef HV_MIGRATE_SCRIPTS_H
#define HV_MIGRATE_SCRIPTS_H

int upgrade_scripts(int phase, const char *serverroot, const char *instancename);
int regenerate_scripts(const char *serverroot, const char *instancename);
int regenerate_script(const char *instancepath, const char *name, const char *tmpl, ...);
int backup_script(const char *instancepath, const char *name);
int check_backup_context(const char *instancepath);

#endif  // HV_MIGRATE_SCRIPTS_H
