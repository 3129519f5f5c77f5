// Instance discovery: the "slapd-" directories of a server root, or the one
// instance named by the user.  Messages go to standard error.
#ifndef HV_MIGRATE_DISCOVERY_H
#define HV_MIGRATE_DISCOVERY_H

#include <string>

struct slapd_instance {
    char *name;  // owned, host allocator
    slapd_instance *next;
};

// Head of a new list (caller frees with free_slapd_instance), or none.
slapd_instance *init_slapd_instance(const char *serverroot, const char *instancename);
// The directory's own name in an instance name given by the user: trailing
// "/" and "/." go.  False for a name of another directory ("..", a path).
bool ReduceInstanceName(const char *given, std::string *name);
slapd_instance *create_slapd_instance(const char *name);
void free_slapd_instance(slapd_instance **head);

#endif  // HV_MIGRATE_DISCOVERY_H
