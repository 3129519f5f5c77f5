// Composing the paths of the upgrade steps with the 1024-byte limit of the
// stored layout, and saying so when a path does not fit.  Thread-compatible.
#ifndef HV_MIGRATE_COMPOSE_PATH_H
#define HV_MIGRATE_COMPOSE_PATH_H

#include <string>

namespace hv {

// Formats like snprintf into *out.  When the result does not fit
// kPathBufferSize bytes with its NUL, prints "Path too long (more than 1023
// bytes): <path>\n" to standard error and returns false with *out empty.
bool ComposePath(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace hv

#endif  // HV_MIGRATE_COMPOSE_PATH_H
