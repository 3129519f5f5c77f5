# Allocator, log, locks, entries, LDIF, DNs, parameter blocks.
target_sources(hvhost PRIVATE alloc.cc log.cc mutex.cc value.cc value_list.cc attr.cc entry.cc dn.cc ldif.cc pblock.cc)

hv_add_test(host_dn_test SOURCES dn_test.cc LIBS hvhost hv_headers)
hv_add_test(host_ldif_test SOURCES ldif_test.cc LIBS hvhost hv_headers PkgConfig::NSPR hv_test_support)
hv_add_test(host_entry_test SOURCES entry_test.cc pblock_test.cc LIBS hvhost hv_headers)
# Value lists, snapshots and packed entries are the library's inside: the
# test builds in the entry code it checks.
hv_add_test(host_value_list_test
  SOURCES value_list_test.cc packed_entry_test.cc value_list.cc packed_entry.cc value.cc attr.cc entry.cc
    entry_change.cc filter.cc dn.cc alloc.cc
  LIBS hv_headers PkgConfig::NSPR)
hv_add_test(host_log_test SOURCES log_test.cc LIBS hvhost hv_headers hv_test_support LABELS concurrency)
hv_add_test(host_log_env_test SOURCES log_env_test.cc LIBS hvhost hv_headers)

# libFuzzer targets for the LDIF parser and DNs (clang): the library is instrumented
# for coverage too, so that the fuzzer sees into the parser.
if(HV_FUZZ)
  target_compile_options(hvhost PRIVATE -fsanitize=fuzzer-no-link,address)
  target_link_options(hvhost PRIVATE -fsanitize=address)
  add_executable(ldif_fuzz ldif_fuzz.cc)
  target_link_libraries(ldif_fuzz PRIVATE hvhost hv_headers)
  target_compile_options(ldif_fuzz PRIVATE -fsanitize=fuzzer,address)
  target_link_options(ldif_fuzz PRIVATE -fsanitize=fuzzer,address)
  # The DN fuzzer checks the parser's own view of a DN, which the library
  # does not export: it builds the DN code in.
  add_executable(dn_fuzz dn_fuzz.cc dn.cc value.cc alloc.cc)
  target_include_directories(dn_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(dn_fuzz PRIVATE hv_headers PkgConfig::NSPR)
  target_compile_options(dn_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(dn_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
endif()
