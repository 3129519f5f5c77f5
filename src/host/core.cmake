# Allocator, log, locks, entries, LDIF, DNs, parameter blocks.
target_sources(hvhost PRIVATE alloc.cc log.cc mutex.cc value.cc attr.cc entry.cc dn.cc ldif.cc pblock.cc)

hv_add_test(host_dn_test SOURCES dn_test.cc LIBS hvhost hv_headers)
hv_add_test(host_ldif_test SOURCES ldif_test.cc LIBS hvhost hv_headers PkgConfig::NSPR hv_test_support)
hv_add_test(host_entry_test SOURCES entry_test.cc pblock_test.cc LIBS hvhost hv_headers)
hv_add_test(host_log_test SOURCES log_test.cc LIBS hvhost hv_headers hv_test_support LABELS concurrency)
hv_add_test(host_log_env_test SOURCES log_env_test.cc LIBS hvhost hv_headers)

# libFuzzer target for the LDIF parser (clang): the library is instrumented
# for coverage too, so that the fuzzer sees into the parser.
if(HV_FUZZ)
  target_compile_options(hvhost PRIVATE -fsanitize=fuzzer-no-link,address)
  target_link_options(hvhost PRIVATE -fsanitize=address)
  add_executable(ldif_fuzz ldif_fuzz.cc)
  target_link_libraries(ldif_fuzz PRIVATE hvhost hv_headers)
  target_compile_options(ldif_fuzz PRIVATE -fsanitize=fuzzer,address)
  target_link_options(ldif_fuzz PRIVATE -fsanitize=fuzzer,address)
endif()
