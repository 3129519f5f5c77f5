// The configuration file the directory was loaded from, and its write-back.
//
// Thread-safety: write-backs are serialized; each one writes the directory
// as it is when the write starts, so a later write never loses a change an
// earlier one saw.
#ifndef HV_HOST_DSE_FILE_H
#define HV_HOST_DSE_FILE_H

namespace hv {

// After a successful change: rewrites the loaded file, if any.  A failure is
// logged with the file name and the system's reason; the change stands.
void WriteBackDse();
// Forgets the loaded file (nothing is written any more).
void ForgetDse();

}  // namespace hv

#endif  // HV_HOST_DSE_FILE_H
