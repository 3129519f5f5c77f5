/*
 * Entries exported by libdsmigrate.
 *
 * Both change process-wide state (the effective user and group ids and the
 * group list) for the length of the call: call them from one thread, one at
 * a time.  Run as root over an instance of another owner, they do all work
 * on the instance in a forked worker process that is that owner and nothing
 * else (no root ids, groups, session, terminal, environment or
 * descriptors), and only relay its output and wait for it; no other thread
 * may run in the process meanwhile.  An instance owned by root is worked on
 * only with HVDS_ALLOW_ROOT_OWNED=1 in the environment.  Nothing inside the
 * instance directory is trusted (see docs/migration.md, "Trust model").
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
 * or another byte a shell would interpret); 4 for an instance refused by
 * its identity (see above).  Reports through the host's log.  In a worker,
 * phase 1 changes the worker's copy of the host directory and writes
 * dse.ldif back as the owner: the caller's directory in memory does not
 * see the change, the file does. */
int upgrade_instance(int phase, const char *instancepath);

/* The dsmigrate command line (the downgrade); returns the exit status. */
int dsmigrate_main(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif /* HV_DSMIGRATE_H */
