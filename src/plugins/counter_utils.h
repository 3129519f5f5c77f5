/*
 * Counter utilities shared by the counter plug-ins (nodetally, attrtally).
 *
 * Each plug-in file is built with its own copy of this module and exports
 * every function below under its plain name.  The plug-ins link with
 * -Bsymbolic, so a plug-in's own calls always reach its own copy and its own
 * locks, even when another plug-in exporting the same names was loaded
 * earlier with RTLD_GLOBAL.
 *
 * Ownership: a block returned by readPblockAndEntry, dnHasObjectClass or
 * dnHasAttribute belongs to the caller, who releases it with
 * slapi_free_search_results_internal and then slapi_pblock_destroy.  A key
 * handed to cacheAdd belongs to the list from then on (host allocator);
 * cacheRemove hands the key back to the caller.  Values are never freed.
 *
 * Thread-safety: every function may be called from several operation threads
 * at once, except initCounterLock, which runs during plug-in initialisation.
 * counterDnLock is always taken before counterLock.
 */
#ifndef HV_PLUGINS_COUNTER_UTILS_H
#define HV_PLUGINS_COUNTER_UTILS_H

#include <stdint.h>

#include "common/export.h"
#include "hv/slapi-plugin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One node of a string-keyed list; the head node has an empty key. */
typedef struct cache_node {
    char *key;
    intptr_t value;
    struct cache_node *next;
} CacheNode;

/* Logs "Internal error: <code>" under "utils"; always 1. */
HV_EXPORT int op_error(int code);
/* Creates the counter locks once; 0, or 200 when a lock cannot be made. */
HV_EXPORT int initCounterLock(void);

HV_EXPORT Slapi_PBlock *readPblockAndEntry(const char *baseDN, const char *filter,
                                                  char *attrs[]);
/* 1 when the entry holds the class among its objectclass values (ASCII case
 * ignored), else 0.  pb is not consulted. */
HV_EXPORT int entryHasObjectClass(Slapi_PBlock *pb, Slapi_Entry *e,
                                         const char *objectClass);
HV_EXPORT Slapi_PBlock *dnHasObjectClass(const char *baseDN, const char *objectClass);
HV_EXPORT Slapi_PBlock *dnHasAttribute(const char *baseDN, const char *attrName);

/* Counter writes: 0 success, 1 failure. */
HV_EXPORT int setCounter(Slapi_Entry *e, const char *attrName, int value);
HV_EXPORT int updateCounter(Slapi_Entry *e, const char *attrName, int increment);
HV_EXPORT int updateCounterByDN(const char *dn, const char *attrName, int increment);

HV_EXPORT CacheNode *cacheInit(void);
HV_EXPORT CacheNode *cacheAdd(CacheNode *head, char *key, intptr_t value);
HV_EXPORT char *cacheRemove(CacheNode *head, const char *key);
HV_EXPORT int cacheDelete(CacheNode *head, const char *key);
HV_EXPORT CacheNode *cacheFind(CacheNode *head, const char *key);

#ifdef __cplusplus
}

#include <optional>

namespace hv::plugins {

// Sets the counter of a counted entry to its own count, value, keeping what
// other operations added to the stored counter since the operation that
// left the entry as asLeft: value + (stored - counter in asLeft) is written,
// re-read and written under the counter locks.  A child's update of this
// entry that lands between its add (or its gaining the class) and this
// write is then not lost.  With adjustedBy the write is logged as
// updateCounter logs an adjustment by that amount.  Not exported.
// 0 success, 1 failure.
int SetOwnCounter(Slapi_Entry *asLeft, const char *attrName, int value,
                  std::optional<int> adjustedBy = std::nullopt);

}  // namespace hv::plugins
#endif

#endif /* HV_PLUGINS_COUNTER_UTILS_H */
