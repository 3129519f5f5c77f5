// The certificate database step of the upgrade: conversion of the cert7
// database to cert8 (phase 0) and the configuration entry that names it
// (phase 1).  Results are procedure result codes (0, 3, 4).  The
// conversion is verified: the old cert7 and key3 files are read first (and
// put back if NSS changes them), and the new cert8 database must list the
// same certificates and keys through NSS as the old one; otherwise the new
// file is moved aside.  The historical messages go to standard output, the
// step's own (naming it, the file and the reason) to standard error, the
// refused modify to the host's log.  Single-threaded: NSS is initialised
// and shut down within each listing and conversion.
#ifndef HV_MIGRATE_CERTDB_H
#define HV_MIGRATE_CERTDB_H

int upgrade_NSS334_to_NSS336(int phase, const char *serverroot, const char *instancename);
int upgrade_certdb(const char *serverroot, const char *instancename);
// Moves path aside to the first free path_bakN; 0, or -1 when not moved.
int renameFileAsBackup(const char *path);

#endif  // HV_MIGRATE_CERTDB_H
