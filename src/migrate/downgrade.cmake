# Repository, gates, discovery, downgrade steps and the command line.
target_sources(migrate_core PRIVATE version_repository.cc)
