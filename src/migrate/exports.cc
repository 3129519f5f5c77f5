// libdsmigrate.so is built from migrate_core; the C entries it exports are
// defined there with default visibility.  This file only gives the shared
// library a source of its own.
