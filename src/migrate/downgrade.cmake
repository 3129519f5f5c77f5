# Repository, gates, discovery, downgrade steps and the command line.
target_sources(migrate_core PRIVATE
  migrate_paths.cc instance.cc owner.cc worker.cc version_repository.cc gates.cc discovery.cc downgrade_steps.cc downgrade_driver.cc)

hv_add_test(migrate_downgrade_test
  SOURCES version_repository_test.cc gates_test.cc discovery_test.cc downgrade_steps_test.cc downgrade_driver_test.cc
    fault_injection_test.cc owner_test.cc
  LIBS migrate_core hv_test_support
  # Run as root, these tests work on instances root made for itself.
  ENVIRONMENT HVDS_ALLOW_ROOT_OWNED=1)
