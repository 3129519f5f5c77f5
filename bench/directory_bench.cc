// Rates of the host directory's operations: adds, modifies of one counter
// attribute (as the counter plug-ins write) and base and subtree searches.
#include <benchmark/benchmark.h>

#include <string>

#include "hv/slapi-host.h"

namespace {

void Populate(int n) {
    hv_host_reset();
    hv_dir_add_suffix("dc=example,dc=com");
    hv_op_add_ldif("dn: dc=example,dc=com\nobjectclass: top\n", 0, nullptr);
    for (int i = 0; i < n; ++i) {
        std::string ldif = "dn: cn=e" + std::to_string(i) +
                           ",dc=example,dc=com\nobjectclass: person\ncn: e" + std::to_string(i) +
                           "\nentryCount: 0\n";
        hv_op_add_ldif(ldif.c_str(), 0, nullptr);
    }
}

void BM_Add(benchmark::State &state) {
    Populate(0);
    long i = 0;
    for (auto _ : state) {
        std::string ldif = "dn: cn=a" + std::to_string(i++) + ",dc=example,dc=com\nobjectclass: person\n";
        benchmark::DoNotOptimize(hv_op_add_ldif(ldif.c_str(), 0, nullptr));
    }
    state.SetItemsProcessed(state.iterations());
    hv_host_reset();
}
BENCHMARK(BM_Add);

void BM_ModifyCounter(benchmark::State &state) {
    Populate(static_cast<int>(state.range(0)));
    char type[] = "entryCount";
    std::string value;
    char *values[] = {nullptr, nullptr};
    LDAPMod mod{};
    mod.mod_op = LDAP_MOD_REPLACE;
    mod.mod_type = type;
    mod.mod_values = values;
    LDAPMod *mods[] = {&mod, nullptr};
    char dn[] = "cn=e0,dc=example,dc=com";
    int n = 0;
    for (auto _ : state) {
        value = std::to_string(n++);
        values[0] = value.data();
        Slapi_PBlock *pb = slapi_modify_internal(dn, mods, nullptr, 1);
        slapi_pblock_destroy(pb);
    }
    state.SetItemsProcessed(state.iterations());
    hv_host_reset();
}
BENCHMARK(BM_ModifyCounter)->Arg(10)->Arg(10000);

void BM_SearchBase(benchmark::State &state) {
    Populate(static_cast<int>(state.range(0)));
    char base[] = "cn=e1,dc=example,dc=com";
    char filter[] = "objectclass=person";
    char attr[] = "entryCount";
    char *attrs[] = {attr, nullptr};
    for (auto _ : state) {
        Slapi_PBlock *pb = slapi_search_internal(base, LDAP_SCOPE_BASE, filter, nullptr, attrs, 0);
        slapi_free_search_results_internal(pb);
        slapi_pblock_destroy(pb);
    }
    state.SetItemsProcessed(state.iterations());
    hv_host_reset();
}
BENCHMARK(BM_SearchBase)->Arg(10)->Arg(10000);

void BM_SearchSubtree(benchmark::State &state) {
    Populate(static_cast<int>(state.range(0)));
    char base[] = "dc=example,dc=com";
    char filter[] = "(&(objectclass=person)(cn=e1*))";
    for (auto _ : state) {
        Slapi_PBlock *pb = slapi_search_internal(base, LDAP_SCOPE_SUBTREE, filter, nullptr, nullptr, 0);
        slapi_free_search_results_internal(pb);
        slapi_pblock_destroy(pb);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    hv_host_reset();
}
BENCHMARK(BM_SearchSubtree)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
