// The host allocator.  Running out of memory ends the process with a
// message, as the server does: callers use the results without a test.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/export.h"
#include "host/host_impl.h"

namespace {

[[noreturn]] void OutOfMemory(unsigned long size) {
    std::fprintf(stderr, "slapi_ch: out of memory allocating %lu bytes; exiting\n", size);
    std::abort();
}

}  // namespace

extern "C" {

HV_EXPORT char *slapi_ch_malloc(unsigned long size) {
    void *p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) OutOfMemory(size);
    return static_cast<char *>(p);
}

HV_EXPORT char *slapi_ch_calloc(unsigned long nelem, unsigned long size) {
    void *p = std::calloc(nelem == 0 ? 1 : nelem, size == 0 ? 1 : size);
    if (p == nullptr) OutOfMemory(nelem * size);
    return static_cast<char *>(p);
}

HV_EXPORT char *slapi_ch_realloc(char *block, unsigned long size) {
    void *p = std::realloc(block, size == 0 ? 1 : size);
    if (p == nullptr) OutOfMemory(size);
    return static_cast<char *>(p);
}

HV_EXPORT char *slapi_ch_strdup(const char *s) {
    if (s == nullptr) return nullptr;
    std::size_t n = std::strlen(s) + 1;
    char *p = slapi_ch_malloc(n);
    std::memcpy(p, s, n);
    return p;
}

HV_EXPORT void slapi_ch_free(void **ptr) {
    if (ptr == nullptr) return;
    std::free(*ptr);
    *ptr = nullptr;
}

HV_EXPORT void slapi_ch_free_string(char **s) {
    slapi_ch_free(reinterpret_cast<void **>(s));
}

}  // extern "C"

namespace hv {

char *HostStrdup(std::string_view s) {
    char *p = slapi_ch_malloc(s.size() + 1);
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

}  // namespace hv
