# Schema rewriting and steps, the upgrade procedure.
target_sources(migrate_core PRIVATE schema_rewrite.cc schema_steps.cc upgrade_procedure.cc)

hv_add_test(schema_rewrite_test SOURCES schema_rewrite_test.cc schema_steps_test.cc
  LIBS migrate_core hv_test_support LABELS upgrade)
# Power loss before each change of an upgrade and a downgrade of a sample
# instance (examples/make-server-root.sh, certutil).
hv_add_test(power_loss_test SOURCES power_loss_test.cc
  LIBS migrate_core hv_crash_env hv_test_support LABELS upgrade)
