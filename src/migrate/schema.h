// Rewriting one value of one entry of an LDIF configuration file, and the
// schema steps of the upgrade built on it.
#ifndef HV_MIGRATE_SCHEMA_H
#define HV_MIGRATE_SCHEMA_H

enum { ATTR_ADD = 0, ATTR_REMOVE = 1, ATTR_REPLACE = 2 };

int modify_attributeTypes_from_ldif(const char *file, int mode, const char *name, const char *value,
                                    const char *dn);
namespace hv {
class Dir;
}
// Whether a schema push failed and is still owed (the next upgrade's schema
// steps push again; level 2 is not recorded meanwhile).
bool SchemaPushPending(const hv::Dir &instance);

int upgrade_RetroChangeLog(int phase, const char *serverroot, const char *instancename);
int upgrade_Password_Policy(int phase, const char *serverroot, const char *instancename);
// Runs the program at path command, without a shell and without arguments,
// in a child process of its own session whose real, effective and saved ids
// and group list are the caller's effective ones (the instance owner's),
// with the fixed environment and the command's directory as working
// directory.  Its standard output and error go to the host's log.  0 on
// exit status 0; 3 when it fails, cannot start or runs longer than
// PushTimeLimit() seconds (it is then killed with its process group).
int cmdExec(const char *command);

#endif  // HV_MIGRATE_SCHEMA_H
