# Allocator, log, locks, entries, LDIF, DNs, parameter blocks.
target_sources(hvhost PRIVATE alloc.cc log.cc mutex.cc value.cc attr.cc entry.cc dn.cc ldif.cc pblock.cc)

hv_add_test(host_dn_test SOURCES dn_test.cc LIBS hvhost hv_headers)
hv_add_test(host_ldif_test SOURCES ldif_test.cc LIBS hvhost hv_headers PkgConfig::NSPR)
hv_add_test(host_entry_test SOURCES entry_test.cc pblock_test.cc LIBS hvhost hv_headers)
