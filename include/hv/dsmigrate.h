/*
 * Entries exported by libdsmigrate.
 *
 * Both change process-wide state (the effective user and group ids and the
 * group list) for the length of the call: call them from one thread, one at
 * a time.  Run as root, they work on each instance as its owner and trust
 * nothing inside the instance directory (see docs/migration.md).
 */
#ifndef HV_DSMIGRATE_H
#define HV_DSMIGRATE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Upgrades one instance (server root and instance directory joined by "/")
 * from the baseline to level 2.  Phase 0 does the file work, phase 1 the
 * configuration entry through the host's internal operations and records
 * the level; any other phase does nothing.  Returns 0, 8 (nothing to do),
 * or 3, 4, 5 and the steps' own codes on failure; 4 without touching
 * anything for a path the generated scripts cannot carry (a blank, a quote
 * or another byte a shell would interpret).  Reports through the host's
 * log. */
int upgrade_instance(int phase, const char *instancepath);

/* The dsmigrate command line (the downgrade); returns the exit status. */
int dsmigrate_main(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* HV_DSMIGRATE_H */
