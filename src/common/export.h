// Marks a definition as part of a shared object's interface.  Our shared
// objects are built with hidden visibility, so only what carries this mark
// is exported: the published C entries, never the C++ inside.
#ifndef HV_COMMON_EXPORT_H
#define HV_COMMON_EXPORT_H

#define HV_EXPORT __attribute__((visibility("default")))

#endif  // HV_COMMON_EXPORT_H
