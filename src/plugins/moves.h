// What both counter plug-ins need to follow an entry that moves, with its
// subtree, to a new parent (countMoves=true): the share of the subtree in
// the counts above it, and the ancestors that lose or gain that share.
//
// Thread-safety: reentrant; no lock is held while visit runs.
#ifndef HV_PLUGINS_MOVES_H
#define HV_PLUGINS_MOVES_H

#include <functional>

#include "hv/slapi-plugin.h"

namespace hv::plugins {

// One internal subtree search at dn: the number of entries of objectClass
// in it (dn included) when memberAttribute is none, else the sum of their
// numbers of memberAttribute values.  false when the search fails (logged).
bool CountSubtree(const char *dn, const char *objectClass, const char *memberAttribute,
                  long *total);

// The ancestors of oldDn that are not ancestors of newDn (side -1), then
// the ancestors of newDn (side +1, or 0 for one above both), each nearest
// first, with whether the stored ancestor carries objectClass.
void ForEachMovedAncestor(const char *oldDn, const char *newDn, const char *objectClass,
                          const std::function<void(const char *dn, bool has_class, int side)> &visit);

// The entry before and after a modify-RDN (none when the host gives none).
// false, after op_error(53), when the block cannot be read.
bool MovedEntry(Slapi_PBlock *pb, Slapi_Entry **pre, Slapi_Entry **post);

// Whether the two DNs have the same parent (normalized, case ignored).
bool SameParent(const char *oldDn, const char *newDn);

}  // namespace hv::plugins

#endif  // HV_PLUGINS_MOVES_H
