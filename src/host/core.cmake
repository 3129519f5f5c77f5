# Allocator, log, locks, entries, LDIF, DNs, parameter blocks.
target_sources(hvhost PRIVATE alloc.cc log.cc mutex.cc value.cc attr.cc entry.cc dn.cc ldif.cc pblock.cc)

hv_add_test(host_dn_test SOURCES dn_test.cc LIBS hvhost hv_headers)
