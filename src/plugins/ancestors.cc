#include "plugins/ancestors.h"

#include "plugins/counter_utils.h"

namespace hv::plugins {

void ForEachAncestor(const char *dn, const char *objectClass,
                     const std::function<void(const char *ancestor, bool has_class)> &visit) {
    char *ancestor = slapi_dn_parent(dn);
    while (ancestor != nullptr) {
        Slapi_PBlock *found = dnHasObjectClass(ancestor, objectClass);
        if (found != nullptr) {
            slapi_free_search_results_internal(found);
            slapi_pblock_destroy(found);
        }
        visit(ancestor, found != nullptr);
        char *next = slapi_dn_parent(ancestor);
        slapi_ch_free_string(&ancestor);
        ancestor = next;
    }
}

}  // namespace hv::plugins
