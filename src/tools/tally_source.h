// Where hvtally reads and repairs counters: an LDIF file read one entry at
// a time (tally_file.cc), or a live server over LDAP.
//
// Thread-compatible: one source is used by one thread.
#ifndef HV_TOOLS_TALLY_SOURCE_H
#define HV_TOOLS_TALLY_SOURCE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/tally_count.h"

namespace hv::tally {

// Called for each counter written: its DN, the value it held (as
// CounterState::StoredText) and the value written.
using ChangeReport =
    std::function<void(const std::string &dn, const std::string &was, long now)>;

// Counts entries read, for the progress line.
using ProgressTick = std::function<void(long entries)>;

class Source {
  public:
    virtual ~Source() = default;
    // Feeds every entry the rule looks at into *recount.  false with *error.
    virtual bool Scan(Recount *recount, const ProgressTick &tick, std::string *error) = 0;
    // Makes each of the counters found wrong hold its computed value, and
    // reports every write.  A live server's counters are read and counted
    // again right before each write, so a counter that another writer fixed
    // or moved meanwhile is never overwritten.  false with *error.
    virtual bool Repair(const std::vector<CounterState> &wrong, const ChangeReport &report,
                        std::string *error) = 0;
    // Whether a second scan may find different counters (a live server).
    virtual bool Live() const = 0;
};

// Scan reads the file once; Repair copies it once into a new file that
// replaces it, changing only counter lines.  Run as root on a file of
// another user, the process becomes that user here, for good.  none with
// *error.
std::unique_ptr<Source> OpenFileSource(const Rule &rule, const std::string &path,
                                       std::string *error);

struct LdapOptions {
    std::string uri;
    std::string bindDn;    // empty: anonymous
    std::string password;
    std::string base;
    int pageSize = 1000;
    int timeoutSeconds = 30;  // per request and for connecting
};
std::unique_ptr<Source> OpenLdapSource(const Rule &rule, const LdapOptions &options,
                                       std::string *error);

}  // namespace hv::tally

#endif  // HV_TOOLS_TALLY_SOURCE_H
