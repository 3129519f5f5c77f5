# Script templates and regeneration, certificate database.
target_sources(migrate_core PRIVATE
  script_templates.cc script_regeneration.cc certdb.cc certdb_listing.cc)

hv_add_test(script_templates_test SOURCES script_templates_test.cc LIBS migrate_core hv_test_support)
hv_add_test(script_run_test SOURCES script_run_test.cc LIBS migrate_core hv_test_support)
hv_add_test(script_regeneration_test SOURCES script_regeneration_test.cc LIBS migrate_core hv_test_support)
hv_add_test(certdb_test SOURCES certdb_test.cc LIBS migrate_core hv_test_support)
