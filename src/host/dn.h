// The host's DN parser: LDAPv3 string form (RFC 4514) with the older
// spellings still met in configuration files (';' between RDNs, quoted
// values, blanks around separators).  Attribute types are names or numeric
// OIDs; a value starting with '#' is hex-encoded BER when hex pairs follow
// up to the end of the value, else plain text.  Pure functions;
// thread-safe.
#ifndef HV_HOST_DN_H
#define HV_HOST_DN_H

#include <string>
#include <string_view>
#include <vector>

namespace hv {

struct DnAva {
    int rdn = 0;        // index of the RDN, 0 for the leftmost
    std::string type;   // in lower case
    std::string value;  // unescaped bytes; for a hex value the decoded bytes
    bool binary = false;
};

// The AVAs of dn in order; false when dn does not parse.  The empty DN (or
// blanks only) parses and has none.
bool ParseDn(std::string_view dn, std::vector<DnAva> *avas);

// *offset: where the parent's text begins, just after the separator that
// ends the first RDN (blanks not skipped), or npos for a DN of one RDN or
// none.  False when dn does not parse.
bool ParentOffset(std::string_view dn, std::size_t *offset);

// dn in normalised form (types lower-cased, values escaped one way), with
// the values' case folded too when fold.  False, *out empty, when dn does
// not parse.
bool NormalizeDn(std::string_view dn, bool fold, std::string *out);

}  // namespace hv

#endif  // HV_HOST_DN_H
