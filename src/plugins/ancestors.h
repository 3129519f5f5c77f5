// The walk from an entry's parent up to the top of its DN that both counter
// plug-ins make to find the entries whose counters receive a change.
//
// Thread-safety: reentrant; it holds no lock while it calls visit.
#ifndef HV_PLUGINS_ANCESTORS_H
#define HV_PLUGINS_ANCESTORS_H

#include <functional>

namespace hv::plugins {

// Calls visit(dn, has_class) for every ancestor of dn, nearest first, where
// has_class tells whether the stored ancestor carries objectClass (an
// ancestor the server does not hold has not).  The DN texts are the host's
// and released after each call.
void ForEachAncestor(const char *dn, const char *objectClass,
                     const std::function<void(const char *ancestor, bool has_class)> &visit);

}  // namespace hv::plugins

#endif  // HV_PLUGINS_ANCESTORS_H
