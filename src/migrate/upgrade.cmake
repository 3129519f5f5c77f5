# Schema rewriting and steps, the upgrade procedure.
target_sources(migrate_core PRIVATE schema_rewrite.cc schema_steps.cc upgrade_procedure.cc)

hv_add_test(schema_rewrite_test SOURCES schema_rewrite_test.cc schema_steps_test.cc
  LIBS migrate_core hv_test_support LABELS upgrade)
