// Paths and small texts of the migration tool are limited to what fits a
// 1024-byte buffer with its terminating NUL, as the stored layout and the
// administrators' scripts assume.  These helpers format into std::string and
// refuse, rather than cut, anything longer.
#ifndef HV_COMMON_PATH_FORMAT_H
#define HV_COMMON_PATH_FORMAT_H

#include <cstddef>
#include <string>

namespace hv {

inline constexpr std::size_t kPathBufferSize = 1024;

// Formats like snprintf into *out.  False (and *out empty) when the result
// would not fit kPathBufferSize bytes including the terminating NUL.
bool FormatPath(std::string *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Compares two NUL-terminated byte strings, folding only ASCII 'A'..'Z';
// 0 means equal without regard to ASCII case.  No locale is consulted.
int strcmpi_fast(const char *a, const char *b);

}  // namespace hv

#endif  // HV_COMMON_PATH_FORMAT_H
