# Directory, filters, operations, dse file, plug-in loading.
target_sources(hvhost PRIVATE
  directory.cc directory_modrdn.cc entry_change.cc filter.cc packed_entry.cc operations.cc operations_dispatch.cc
  operations_host.cc operation_order.cc extension.cc
  dse_file.cc plugin_loader.cc)

if(HV_BUILD_TESTS)
  # A small plug-in that records what its handlers saw.  Not linked against
  # hvhost: its slapi_* references bind to the test program's copy, as a real
  # plug-in's bind to the server's.
  add_library(hv_probe_plugin MODULE testdata/probe_plugin.cc)
  target_link_libraries(hv_probe_plugin PRIVATE hv_headers)
  set_target_properties(hv_probe_plugin PROPERTIES PREFIX "" OUTPUT_NAME probe_plugin
    CXX_VISIBILITY_PRESET hidden)

  hv_add_test(host_directory_test
    SOURCES directory_test.cc filter_test.cc search_test.cc
    LIBS hvhost hv_headers)
  hv_add_test(host_plugin_test
    SOURCES plugin_dispatch_test.cc dse_file_test.cc
    LIBS hvhost hv_headers hv_test_support ${CMAKE_DL_LIBS})
  add_dependencies(host_plugin_test hv_probe_plugin)
  hv_add_test(host_modrdn_test
    SOURCES modrdn_test.cc
    LIBS hvhost hv_headers hv_test_support ${CMAKE_DL_LIBS})
  add_dependencies(host_modrdn_test hv_probe_plugin)
  hv_add_test(host_concurrency_test
    SOURCES directory_concurrency_test.cc
    LIBS hvhost hv_headers hv_test_support ${CMAKE_DL_LIBS}
    LABELS concurrency)
  add_dependencies(host_concurrency_test hv_probe_plugin)
endif()
