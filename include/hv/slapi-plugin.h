/*
 * The directory server's published plug-in interface, as this project uses it.
 *
 * Plug-ins (nodetally, attrtally) and the migration tool are compiled against
 * these declarations only.  The names, parameter numbers and C signatures are
 * those of the published interface, so a plug-in built here also loads into
 * another server that implements the same interface.  Everything the host
 * offers beyond the published calls lives in "hv/slapi-host.h".
 *
 * Ownership: strings and records handed out by the host are allocated with
 * the host allocator unless a call says it returns a reference; the caller
 * releases them with slapi_ch_free / slapi_ch_free_string (which take the
 * pointer's address and set it to none).
 *
 * Thread-safety: every call may be made from several operation threads at
 * once, except that one Slapi_Entry, Slapi_Attr, Slapi_Value or Slapi_PBlock
 * must not be changed by one thread while another uses it.
 */
#ifndef HV_SLAPI_PLUGIN_H
#define HV_SLAPI_PLUGIN_H

#include <ldap.h> /* LDAPMod, struct berval, LDAPControl, LDAP_MOD_*, LDAP_SCOPE_* */

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define HV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define HV_PRINTF(fmt, args)
#endif

/* Opaque handles. */
typedef struct slapi_pblock Slapi_PBlock;
typedef struct slapi_entry Slapi_Entry;
typedef struct slapi_attr Slapi_Attr;
typedef struct slapi_value Slapi_Value;
typedef struct slapi_dn Slapi_DN;
typedef struct slapi_mutex Slapi_Mutex;
typedef struct slapi_componentid Slapi_ComponentId;

/* Description record a plug-in registers under SLAPI_PLUGIN_DESCRIPTION.
 * The strings stay the plug-in's; the host keeps the pointer. */
typedef struct slapi_plugindesc {
    char *spd_id;
    char *spd_vendor;
    char *spd_version;
    char *spd_description;
} Slapi_PluginDesc;

/* Post-operation handler: gets the finished operation's parameter block. */
typedef int (*Slapi_PluginFunc)(Slapi_PBlock *pb);

/* ---- Parameter numbers ------------------------------------------------ */
#define SLAPI_PLUGIN_ARGV 6                 /* char **  */
#define SLAPI_PLUGIN_ARGC 7                 /* int      */
#define SLAPI_PLUGIN_VERSION 8              /* char *   */
#define SLAPI_PLUGIN_OPRETURN 9             /* int      */
#define SLAPI_PLUGIN_DESCRIPTION 12         /* Slapi_PluginDesc * */
#define SLAPI_PLUGIN_INTOP_RESULT 15        /* int      */
#define SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES 16 /* Slapi_Entry **, ended by none */
#define SLAPI_TARGET_DN 50                  /* char *   */
#define SLAPI_ADD_TARGET SLAPI_TARGET_DN
#define SLAPI_DELETE_TARGET SLAPI_TARGET_DN
#define SLAPI_MODIFY_TARGET SLAPI_TARGET_DN
#define SLAPI_ENTRY_PRE_OP 52               /* Slapi_Entry * */
#define SLAPI_ENTRY_POST_OP 53              /* Slapi_Entry * */
#define SLAPI_ADD_ENTRY 60                  /* Slapi_Entry * */
#define SLAPI_MODIFY_MODS 90                /* LDAPMod ** */
#define SLAPI_MODRDN_TARGET SLAPI_TARGET_DN
#define SLAPI_MODRDN_NEWRDN 100             /* char *   */
#define SLAPI_MODRDN_DELOLDRDN 101          /* int      */
#define SLAPI_MODRDN_NEWSUPERIOR 102        /* char *, none when the entry keeps its parent */
#define SLAPI_IS_REPLICATED_OPERATION 142   /* int      */
#define SLAPI_PLUGIN_POST_MODIFY_FN 505     /* Slapi_PluginFunc */
#define SLAPI_PLUGIN_POST_MODRDN_FN 506     /* Slapi_PluginFunc */
#define SLAPI_PLUGIN_POST_ADD_FN 507        /* Slapi_PluginFunc */
#define SLAPI_PLUGIN_POST_DELETE_FN 508     /* Slapi_PluginFunc */

#define SLAPI_PLUGIN_VERSION_01 "01"

/* ---- Other constants --------------------------------------------------- */
#define SLAPI_LOG_FATAL 0
#define SLAPI_LOG_TRACE 1
#define SLAPI_LOG_CONFIG 7
#define SLAPI_LOG_PLUGIN 14

#define SLAPI_TYPE_CMP_EXACT 0
#define SLAPI_TYPE_CMP_BASE 1
#define SLAPI_TYPE_CMP_SUBTYPE 2

/* slapi_str2entry flag: do not add a computed entrydn attribute. */
#define SLAPI_STR2ENTRY_NO_ENTRYDN 128

/* ---- Allocator ---------------------------------------------------------
 * Out of memory ends the process with a message: results need no test. */
char *slapi_ch_malloc(unsigned long size);
char *slapi_ch_calloc(unsigned long nelem, unsigned long size);
char *slapi_ch_realloc(char *block, unsigned long size);
char *slapi_ch_strdup(const char *s);
void slapi_ch_free(void **ptr);
void slapi_ch_free_string(char **s);

/* ---- Entries, attributes, values --------------------------------------- */
Slapi_Entry *slapi_entry_alloc(void);
Slapi_Entry *slapi_entry_dup(const Slapi_Entry *e);
void slapi_entry_free(Slapi_Entry *e);
/* Parses one LDIF record; none for a block that holds no entry or does not
 * parse.  The text may be changed by the parse. */
Slapi_Entry *slapi_str2entry(char *s, int flags);
/* Prints the entry as LDIF (new string), its length in *len. */
char *slapi_entry2str(Slapi_Entry *e, int *len);
char *slapi_entry_get_dn(Slapi_Entry *e);             /* reference */
const char *slapi_entry_get_ndn(Slapi_Entry *e);      /* reference, normalized, case-folded */
void slapi_entry_set_dn(Slapi_Entry *e, char *dn);    /* takes ownership of dn */
int slapi_entry_attr_find(const Slapi_Entry *e, const char *type, Slapi_Attr **attr); /* 0 when present */
int slapi_entry_first_attr(const Slapi_Entry *e, Slapi_Attr **attr);
int slapi_entry_next_attr(const Slapi_Entry *e, Slapi_Attr *prevattr, Slapi_Attr **attr);
int slapi_entry_attr_hasvalue(Slapi_Entry *e, const char *type, const char *value);
char *slapi_entry_attr_get_charptr(const Slapi_Entry *e, const char *type); /* new string or none */
int slapi_entry_add_string(Slapi_Entry *e, const char *type, const char *value);
int slapi_entry_add_values_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals);
int slapi_entry_attr_replace_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals);
int slapi_entry_delete_values_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals);
int slapi_entry_attr_delete(Slapi_Entry *e, const char *type);

int slapi_attr_get_type(Slapi_Attr *attr, char **type);          /* reference */
int slapi_attr_first_value(Slapi_Attr *a, Slapi_Value **v);     /* index, -1 at the end */
int slapi_attr_next_value(Slapi_Attr *a, int hint, Slapi_Value **v);
int slapi_attr_add_value(Slapi_Attr *a, const Slapi_Value *v);   /* copies v */
int slapi_attr_get_numvalues(const Slapi_Attr *a, int *numValues);
int slapi_attr_type_cmp(const char *t1, const char *t2, int opt);

Slapi_Value *slapi_value_new(void);
Slapi_Value *slapi_value_new_string(const char *s);
Slapi_Value *slapi_value_init_string(Slapi_Value *v, const char *s); /* keeps its own copy */
void slapi_value_free(Slapi_Value **value);
const char *slapi_value_get_string(const Slapi_Value *value);
const struct berval *slapi_value_get_berval(const Slapi_Value *value);

/* ---- DNs --------------------------------------------------------------- */
char *slapi_dn_normalize(char *dn);       /* in place; returns dn */
char *slapi_dn_normalize_case(char *dn);  /* in place, also case-folded */
char *slapi_dn_parent(const char *dn);    /* new string; none at the top */
int slapi_dn_issuffix(const char *dn, const char *suffix);

Slapi_DN *slapi_sdn_new(void);
Slapi_DN *slapi_sdn_new_dn_byval(const char *dn);
Slapi_DN *slapi_sdn_new_dn_byref(const char *dn);
void slapi_sdn_free(Slapi_DN **sdn);
const char *slapi_sdn_get_dn(const Slapi_DN *sdn);
const char *slapi_sdn_get_ndn(const Slapi_DN *sdn);
int slapi_sdn_compare(const Slapi_DN *sdn1, const Slapi_DN *sdn2);

/* ---- Parameter blocks -------------------------------------------------- */
Slapi_PBlock *slapi_pblock_new(void);
void slapi_pblock_destroy(Slapi_PBlock *pb);
/* 0 on success, -1 for a parameter the block cannot hold. */
int slapi_pblock_get(Slapi_PBlock *pb, int arg, void *value);
int slapi_pblock_set(Slapi_PBlock *pb, int arg, void *value);

/* ---- Internal operations ----------------------------------------------- */
Slapi_PBlock *slapi_search_internal(char *base, int scope, char *filter, LDAPControl **controls,
                                    char **attrs, int attrsonly);
void slapi_free_search_results_internal(Slapi_PBlock *pb);
Slapi_PBlock *slapi_modify_internal(char *dn, LDAPMod **mods, LDAPControl **controls, int log_change);
Slapi_PBlock *slapi_add_entry_internal(Slapi_Entry *e, LDAPControl **controls, int log_change);
Slapi_PBlock *slapi_delete_internal(char *dn, LDAPControl **controls, int log_change);
/* Renames the entry at dn to newrdn, below newsuperior when that is not none
 * (the entry's subtree moves along); deloldrdn non-zero removes the old RDN's
 * values.  Result under SLAPI_PLUGIN_INTOP_RESULT. */
Slapi_PBlock *slapi_rename_internal(const char *dn, const char *newrdn, const char *newsuperior,
                                    int deloldrdn, LDAPControl **controls, int log_change);
void slapi_send_ldap_result(Slapi_PBlock *pb, int err, char *matched, char *text, int nentries,
                            struct berval **urls);

/* ---- Locks ------------------------------------------------------------- */
Slapi_Mutex *slapi_new_mutex(void);
void slapi_destroy_mutex(Slapi_Mutex *mutex);
void slapi_lock_mutex(Slapi_Mutex *mutex);
int slapi_unlock_mutex(Slapi_Mutex *mutex);

/* ---- Logging ----------------------------------------------------------- */
int slapi_log_error(int severity, char *subsystem, char *fmt, ...) HV_PRINTF(3, 4);
int slapi_is_loglevel_set(const int loglevel);

#ifdef __cplusplus
}
#endif

#endif /* HV_SLAPI_PLUGIN_H */
