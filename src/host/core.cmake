# Allocator, log, locks, entries, LDIF, DNs, parameter blocks.
target_sources(hvhost PRIVATE alloc.cc log.cc mutex.cc value.cc attr.cc entry.cc dn.cc ldif.cc pblock.cc)
