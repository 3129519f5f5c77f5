# Allocator, log, locks, entries, LDIF, DNs, parameter blocks.
target_sources(hvhost PRIVATE alloc.cc)
