/*
 * Host-side interface of the directory server library: calls that the
 * server's own programs use (the migration tool, our host command, tests),
 * and the control interface with which a program plays the server's part:
 * a directory of entries, client operations, plug-in loading and the log.
 *
 * Plug-ins must not include this header; they use "hv/slapi-plugin.h" only.
 *
 * Thread-safety: the directory and the log may be used from many threads at
 * once.  hv_host_reset, hv_dir_load_dse and hv_plugin_load are meant for
 * start-up and tear-down, while no operation runs.
 */
#ifndef HV_SLAPI_HOST_H
#define HV_SLAPI_HOST_H

#include <prio.h> /* NSPR PRFileDesc, PRInt32 */

#include "hv/slapi-plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A parameter block held by the caller: pblock_init gives it contents,
 * pblock_done releases them.  The pointer belongs to the host. */
struct slapi_pblock {
    void *pb_impl;
};
void pblock_init(Slapi_PBlock *pb);
void pblock_done(Slapi_PBlock *pb);

/* Identity of the server itself for internal operations; a reference that
 * stays valid for the life of the process. */
Slapi_ComponentId *plugin_get_default_component_id(void);

/* Fetches a copy of the entry at dn (attrlist: none for all attributes).
 * 0 and *ret_entry set (caller frees with slapi_entry_free), or an LDAP
 * result code (32 when there is no such entry) and *ret_entry none. */
int slapi_search_internal_get_entry(Slapi_DN *dn, char **attrlist, Slapi_Entry **ret_entry,
                                    void *caller_identity);
/* Prepares pb for slapi_modify_internal_pb: the DN is copied into the block,
 * mods stay the caller's and must live until the modify has run. */
void slapi_modify_internal_set_pb(Slapi_PBlock *pb, const char *dn, LDAPMod **mods,
                                  LDAPControl **controls, const char *uniqueid,
                                  Slapi_ComponentId *plugin_identity, int operation_flags);
/* Runs the modify the block was set up for; result under
 * SLAPI_PLUGIN_INTOP_RESULT.  Returns 0 when it ran (whatever its result). */
int slapi_modify_internal_pb(Slapi_PBlock *pb);

/* Configuration file text.  dse_read_next_entry cuts the next block
 * separated by blank lines out of buf in place: it writes a NUL at the end
 * of the block and leaves *lastp at the first byte after that NUL, so
 * *lastp .. end is the untouched rest of the text.  Start with *lastp none;
 * none comes back when no block is left. */
char *dse_read_next_entry(char *buf, char **lastp);
/* Byte count, negative on failure. */
int slapi_read_buffer(PRFileDesc *fd, void *buf, PRInt32 amount);
int slapi_write_buffer(PRFileDesc *fd, void *buf, PRInt32 amount);

/* Logging with message identifiers.  Each writes one line to the error log;
 * the numbers are recorded in the line, the subsystem is its prefix. */
int slapi_log_info_ex(long area, long level, long connid, long opid, long msgid,
                      const char *subsystem, const char *fmt, ...) HV_PRINTF(7, 8);
int slapi_log_warning_ex(long msgid, long connid, long opid, long errid, long flags,
                         const char *subsystem, const char *fmt, ...) HV_PRINTF(7, 8);
/* Text of an errno value; a static string. */
const char *slapd_system_strerror(const int syserrno);

/* ---- Error log ---------------------------------------------------------- */
/* Log to a file (appended, created 0600) instead of standard error; none
 * goes back to standard error.  0, or -1 when the file cannot be opened. */
int hv_log_open(const char *path);
/* Severity filter: lines of SLAPI_LOG_FATAL are always written; a line of
 * another severity only when that severity is switched on. */
void hv_log_enable(int severity, int on);
/* Writes a line that is already formatted (a line of the log of a worker
 * process of ours) as it is, a newline added when missing.  0, or -1. */
int hv_log_line(const char *line);

/* ---- Directory ---------------------------------------------------------- */
/* Empties the directory, forgets suffixes, refused attributes, the dse file
 * and loaded plug-ins' handlers (the shared objects stay loaded). */
void hv_host_reset(void);
/* Declares a naming context: an entry at a suffix may be added without a
 * parent.  0, or an LDAP result code. */
int hv_dir_add_suffix(const char *suffix);
/* Refuses an attribute type in every entry, as a schema would: an add or a
 * modify that would leave a value of it fails with 65 (object class
 * violation).  on=0 lifts the refusal. */
void hv_dir_refuse_attribute(const char *type, int on);
/* Loads an LDIF file (an instance's config/dse.ldif) into the directory.
 * Every top entry becomes a suffix.  From then on each change made to the
 * directory is written back to that file, safely (temporary file, flush,
 * owner and mode kept, rename).  0, or -1 with a message naming the file
 * and the entry at fault. */
int hv_dir_load_dse(const char *path);
/* Writes the directory to the loaded dse file now.  0, or -1 with a message. */
int hv_dir_save_dse(void);
/* Loads an LDIF file as hv_dir_load_dse does, but remembers no file:
 * changes are not written back.  A link or anything but a regular file at
 * path is refused.  0, or -1 with a message. */
int hv_dir_load_ldif(const char *path);
/* Writes the directory to path once, safely as above (an existing file
 * keeps its owner and mode).  0, or -1 with a message. */
int hv_dir_write_ldif(const char *path);
/* Copy of the stored entry (caller frees), or none. */
Slapi_Entry *hv_dir_get_entry(const char *dn);
/* Number of entries stored. */
int hv_dir_entry_count(void);
/* The normalized, case-folded form (as slapi_sdn_get_ndn gives it) of the
 * len bytes at dn, which may hold any byte, NUL included.  0 with *ndn a
 * new string of *ndn_len bytes (slapi_ch_free_string), or -1 when dn does
 * not parse (*ndn none).  The empty DN parses.  Thread-safe. */
int hv_dn_normalize(const char *dn, size_t len, char **ndn, size_t *ndn_len);

/* ---- Client operations -------------------------------------------------- */
#define HV_OP_REPLICATED 1 /* the operation came from a replica */

/* What the operation's client saw.  rc is the operation's LDAP result, or
 * the code a plug-in sent with slapi_send_ldap_result (sent is then 1). */
typedef struct hv_op_result {
    int rc;
    int sent;
    char text[256]; /* text sent with the result, cut to fit */
} hv_op_result;

/* Each runs one operation atomically, then the registered post-operation
 * handlers in load order, and returns the operation's own LDAP result code.
 * Operations on one DN (normalized) run one after the other, each with its
 * handlers; a handler must not start a client operation itself.
 * res may be none.  hv_op_add takes ownership of e. */
int hv_op_add(Slapi_Entry *e, int flags, hv_op_result *res);
int hv_op_add_ldif(const char *ldif, int flags, hv_op_result *res);
int hv_op_delete(const char *dn, int flags, hv_op_result *res);
int hv_op_modify(const char *dn, LDAPMod **mods, int flags, hv_op_result *res);
/* Modify-RDN: renames the entry at dn to newrdn, below newsuperior when that
 * is not none, moving its whole subtree along; deleteoldrdn non-zero removes
 * the old RDN's values.  Atomic.  0, 32 (no entry or no new superior), 68
 * (the new DN exists), 34 (bad DN or RDN), 53 (a move below itself, or the
 * rename of a top entry), 65 (refused attribute).  The post-modify-RDN
 * handlers get the entry before and after as SLAPI_ENTRY_PRE_OP/POST_OP. */
int hv_op_modrdn(const char *dn, const char *newrdn, int deleteoldrdn, const char *newsuperior,
                 int flags, hv_op_result *res);

/* ---- Plug-ins ----------------------------------------------------------- */
typedef struct hv_plugin hv_plugin;
/* dlopen()s path with RTLD_NOW and rtld_flags (for example RTLD_GLOBAL),
 * calls initfn with a block that carries argc and argv (copied), and
 * registers the plug-in's handlers.  0 and *out set, or -1 with a message
 * naming the file and function. */
int hv_plugin_load(const char *path, const char *initfn, int argc, char **argv, int rtld_flags,
                   hv_plugin **out);
/* Reads a plug-in configuration entry (attributes hvPluginPath,
 * hvPluginInitFunction, hvPluginArg0, 1, ..., hvPluginLoadGlobal; see
 * docs/host.md) and loads it as hv_plugin_load does.  The entry stays the
 * caller's.  0 and *out set, or -1 with a message naming the entry. */
int hv_plugin_load_entry(Slapi_Entry *config, hv_plugin **out);
/* What the plug-in registered (references, valid until exit), or none. */
const Slapi_PluginDesc *hv_plugin_description(const hv_plugin *p);
const char *hv_plugin_version(const hv_plugin *p);

#ifdef __cplusplus
}
#endif

#endif /* HV_SLAPI_HOST_H */
