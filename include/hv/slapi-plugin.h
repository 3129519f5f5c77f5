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
#define SLAPI_MODRDN_NEWSUPERIOR 102        /* char *, none when the parent stays */
#define SLAPI_OPERATION 132                 /* the host's operation object (opaque) */
#define SLAPI_IS_REPLICATED_OPERATION 142   /* int      */
#define SLAPI_RESULT_CODE 881               /* int: the operation's LDAP result */
#define SLAPI_PLUGIN_PRE_MODIFY_FN 405      /* Slapi_PluginFunc */
#define SLAPI_PLUGIN_PRE_MODRDN_FN 406      /* Slapi_PluginFunc */
#define SLAPI_PLUGIN_PRE_ADD_FN 407         /* Slapi_PluginFunc */
#define SLAPI_PLUGIN_PRE_DELETE_FN 408      /* Slapi_PluginFunc */
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

/* ---- Entries, attributes, values ---------------------------------------
 * Calls that change an entry check their whole value list first: a refused
 * call leaves the entry as it was.  Results: 0 on success, -1 for a missing
 * argument, else the LDAP result code named.
 * The entries a post-operation handler gets from its block (SLAPI_ADD_ENTRY,
 * SLAPI_ENTRY_PRE_OP, SLAPI_ENTRY_POST_OP) are one copy shared by every
 * handler of the operation and read-only: the calls that would change them,
 * their attributes or values return -1 (slapi_entry_set_dn does nothing,
 * slapi_value_init_string returns none), and their DN text is put back after
 * each handler.  slapi_entry_dup gives a copy the handler may change. */
Slapi_Entry *slapi_entry_alloc(void);                 /* empty entry; caller frees */
Slapi_Entry *slapi_entry_dup(const Slapi_Entry *e);   /* deep copy (none for none); caller frees */
void slapi_entry_free(Slapi_Entry *e);                /* none is allowed */
/* Parses one LDIF record; none for a block that holds no entry or does not
 * parse.  The text may be changed by the parse. */
Slapi_Entry *slapi_str2entry(char *s, int flags);
/* Prints the entry as LDIF (new string), its length in *len. */
char *slapi_entry2str(Slapi_Entry *e, int *len);
char *slapi_entry_get_dn(Slapi_Entry *e);             /* reference */
const char *slapi_entry_get_ndn(Slapi_Entry *e);      /* reference, normalized, case-folded */
void slapi_entry_set_dn(Slapi_Entry *e, char *dn);    /* takes ownership of dn */
int slapi_entry_attr_find(const Slapi_Entry *e, const char *type, Slapi_Attr **attr); /* 0 when present */
/* Attributes in the order read; *attr is a reference into the entry, valid
 * until the entry changes.  0, or -1 (and *attr none) past the last one. */
int slapi_entry_first_attr(const Slapi_Entry *e, Slapi_Attr **attr);
int slapi_entry_next_attr(const Slapi_Entry *e, Slapi_Attr *prevattr, Slapi_Attr **attr);
/* 1 when the attribute holds the value (compared without regard to ASCII
 * case), else 0. */
int slapi_entry_attr_hasvalue(Slapi_Entry *e, const char *type, const char *value);
char *slapi_entry_attr_get_charptr(const Slapi_Entry *e, const char *type); /* first value: new string or none */
/* Adds one value (copied); LDAP_TYPE_OR_VALUE_EXISTS when it is there. */
int slapi_entry_add_string(Slapi_Entry *e, const char *type, const char *value);
/* Adds the values (copied; vals stays the caller's); LDAP_TYPE_OR_VALUE_EXISTS
 * when one is present or given twice. */
int slapi_entry_add_values_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals);
/* Replaces all values by copies of vals; none or an empty list removes the
 * attribute.  LDAP_TYPE_OR_VALUE_EXISTS when vals repeats a value. */
int slapi_entry_attr_replace_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals);
/* Deletes the values; none or an empty list deletes the attribute.
 * LDAP_NO_SUCH_ATTRIBUTE when the attribute or one of the values is absent. */
int slapi_entry_delete_values_sv(Slapi_Entry *e, const char *type, Slapi_Value **vals);
/* 0 when deleted, 1 when the entry has no such attribute. */
int slapi_entry_attr_delete(Slapi_Entry *e, const char *type);

int slapi_attr_get_type(Slapi_Attr *attr, char **type);          /* reference; 0 or -1 */
/* Values by index: the index of *v, or -1 (and *v none) at the end.  *v is a
 * reference into the attribute. */
int slapi_attr_first_value(Slapi_Attr *a, Slapi_Value **v);
int slapi_attr_next_value(Slapi_Attr *a, int hint, Slapi_Value **v);
int slapi_attr_add_value(Slapi_Attr *a, const Slapi_Value *v);   /* copies v; 0 or -1 */
int slapi_attr_get_numvalues(const Slapi_Attr *a, int *numValues); /* 0, or -1 and 0 values */
/* 0 when the types match under opt (SLAPI_TYPE_CMP_*), else 1; letter case
 * never counts. */
int slapi_attr_type_cmp(const char *t1, const char *t2, int opt);

/* New values belong to the caller, who frees them with slapi_value_free. */
Slapi_Value *slapi_value_new(void);
Slapi_Value *slapi_value_new_string(const char *s);
Slapi_Value *slapi_value_init_string(Slapi_Value *v, const char *s); /* keeps its own copy */
void slapi_value_free(Slapi_Value **value);                 /* sets *value to none */
const char *slapi_value_get_string(const Slapi_Value *value); /* reference */
const struct berval *slapi_value_get_berval(const Slapi_Value *value); /* reference */

/* ---- DNs --------------------------------------------------------------- */
char *slapi_dn_normalize(char *dn);       /* in place; returns dn */
char *slapi_dn_normalize_case(char *dn);  /* in place, also case-folded */
char *slapi_dn_parent(const char *dn);    /* new string; none at the top */
/* 1 when dn is suffix or lies below it (normalized, ASCII case folded),
 * else 0. */
int slapi_dn_issuffix(const char *dn, const char *suffix);

/* A Slapi_DN belongs to the caller, who frees it with slapi_sdn_free (which
 * sets the pointer to none).  This host copies the DN in both _new_dn_ calls. */
Slapi_DN *slapi_sdn_new(void);
Slapi_DN *slapi_sdn_new_dn_byval(const char *dn);
Slapi_DN *slapi_sdn_new_dn_byref(const char *dn);
void slapi_sdn_free(Slapi_DN **sdn);
const char *slapi_sdn_get_dn(const Slapi_DN *sdn);   /* reference */
const char *slapi_sdn_get_ndn(const Slapi_DN *sdn);  /* reference, normalized, case-folded */
int slapi_sdn_compare(const Slapi_DN *sdn1, const Slapi_DN *sdn2); /* -1, 0 or 1 by normalized DN */

/* ---- Parameter blocks -------------------------------------------------- */
Slapi_PBlock *slapi_pblock_new(void);
void slapi_pblock_destroy(Slapi_PBlock *pb);
/* 0 on success, -1 for a parameter the block cannot hold. */
int slapi_pblock_get(Slapi_PBlock *pb, int arg, void *value);
int slapi_pblock_set(Slapi_PBlock *pb, int arg, void *value);

/* ---- Internal operations -----------------------------------------------
 * Each returns a new block holding the LDAP result under
 * SLAPI_PLUGIN_INTOP_RESULT (a search also its entries, copies, under
 * SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES); the caller releases it with
 * slapi_pblock_destroy, after slapi_free_search_results_internal for a
 * search.  Internal operations run the post-operation handlers too; the
 * arguments stay the caller's, except the entry of an add. */
Slapi_PBlock *slapi_search_internal(char *base, int scope, char *filter, LDAPControl **controls,
                                    char **attrs, int attrsonly);
void slapi_free_search_results_internal(Slapi_PBlock *pb);
Slapi_PBlock *slapi_modify_internal(char *dn, LDAPMod **mods, LDAPControl **controls, int log_change);
Slapi_PBlock *slapi_add_entry_internal(Slapi_Entry *e, LDAPControl **controls, int log_change); /* takes e */
Slapi_PBlock *slapi_delete_internal(char *dn, LDAPControl **controls, int log_change);
/* Renames the entry at dn to newrdn, below newsuperior when that is not none
 * (the entry's subtree moves along); deloldrdn non-zero removes the old RDN's
 * values.  Result under SLAPI_PLUGIN_INTOP_RESULT. */
Slapi_PBlock *slapi_rename_internal(const char *dn, const char *newrdn, const char *newsuperior,
                                    int deloldrdn, LDAPControl **controls, int log_change);
/* From a handler: the result code and text (copied) the client is sent. */
void slapi_send_ldap_result(Slapi_PBlock *pb, int err, char *matched, char *text, int nentries,
                            struct berval **urls);

/* ---- Locks -------------------------------------------------------------
 * Not recursive: the thread that holds a mutex must not lock it again. */
Slapi_Mutex *slapi_new_mutex(void);             /* caller frees with slapi_destroy_mutex */
void slapi_destroy_mutex(Slapi_Mutex *mutex);
void slapi_lock_mutex(Slapi_Mutex *mutex);
int slapi_unlock_mutex(Slapi_Mutex *mutex);     /* 1 when unlocked, 0 for none */

/* ---- Object extensions -----------------------------------------------
 * A plug-in attaches its own state to each host object of a kind (objectname
 * "Operation": one per client operation).  The host calls constructor when
 * the object is made and destructor when it goes, after every handler of
 * the operation, also when an operation was stopped before its
 * post-operation handlers.  Register during plug-in initialisation; 0 and
 * *objecttype, *extensionhandle set, or non-zero. */
typedef void *(*slapi_extension_constructor_fnptr)(void *object, void *parent);
typedef void (*slapi_extension_destructor_fnptr)(void *extension, void *object, void *parent);
int slapi_register_object_extension(const char *pluginname, const char *objectname,
                                    slapi_extension_constructor_fnptr constructor,
                                    slapi_extension_destructor_fnptr destructor, int *objecttype,
                                    int *extensionhandle);
/* The extension the constructor made for object (reference), or none. */
void *slapi_get_object_extension(int objecttype, void *object, int extensionhandle);

/* ---- Logging -----------------------------------------------------------
 * One line to the error log when the severity is switched on; 0, or -1 when
 * the line could not be written. */
int slapi_log_error(int severity, char *subsystem, char *fmt, ...) HV_PRINTF(3, 4);
int slapi_is_loglevel_set(const int loglevel);  /* 1 when switched on, else 0 */

#ifdef __cplusplus
}
#endif

#endif /* HV_SLAPI_PLUGIN_H */
