// The certificate database step of the upgrade: conversion of the cert7
// database to cert8 (phase 0) and the configuration entry that names it
// (phase 1).  Results are procedure result codes (0, 3, 4); messages go to
// standard output, the refused modify to the host's log.  Single-threaded:
// NSS is initialised and shut down within each conversion.
#ifndef HV_MIGRATE_CERTDB_H
#define HV_MIGRATE_CERTDB_H

int upgrade_NSS334_to_NSS336(int phase, const char *serverroot, const char *instancename);
int upgrade_certdb(const char *serverroot, const char *instancename);
// Moves path aside to the first free path_bakN; 0, or -1 when not moved.
int renameFileAsBackup(const char *path);

#endif  // HV_MIGRATE_CERTDB_H
