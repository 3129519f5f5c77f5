// The configuration file the directory was loaded from, and its write-back.
//
// A write-back keeps the file's text wherever the directory did not change:
// blocks of untouched entries, comments, folding, blank lines and order stay
// byte for byte; a changed entry's block takes the printed entry (its
// leading comment lines kept), a deleted entry's block goes, added entries
// follow at the end.  The first write-back after a load first keeps the file
// as it was in "<file>.bak".
//
// Thread-safety: changes of a directory that has a file are serialized with
// their write-back (DseChange), so the file always holds exactly the changes
// that succeeded.
#ifndef HV_HOST_DSE_FILE_H
#define HV_HOST_DSE_FILE_H

#include <mutex>
#include <string>

namespace hv {

// Held around one change of the directory.  When a file is loaded, no other
// change or write-back runs until it goes out of scope.
class DseChange {
  public:
    DseChange();
    DseChange(const DseChange &) = delete;
    DseChange &operator=(const DseChange &) = delete;

    // True when the directory has a file to write back to.
    bool loaded() const { return !path_.empty(); }
    // After the change succeeded in memory: writes the file back.  False,
    // with a message naming the file and the reason in the log, when it
    // could not be written; the caller then undoes the change.
    bool Commit();

  private:
    std::unique_lock<std::mutex> lock_;
    std::string path_;
};

// Forgets the loaded file (nothing is written any more).
void ForgetDse();

}  // namespace hv

#endif  // HV_HOST_DSE_FILE_H
