// What an NSS certificate and key database holds, listed through NSS
// itself, so that the certificate step can tell whether a conversion kept
// every certificate and key.  Initialises and shuts down NSS for each
// listing: single-threaded, and not while NSS is open elsewhere in the
// process.
#ifndef HV_MIGRATE_CERTDB_LISTING_H
#define HV_MIGRATE_CERTDB_LISTING_H

#include <set>
#include <string>

namespace hv::migrate {

struct NssListing {
    std::set<std::string> certs;         // nickname, trust and DER of each certificate
    std::set<std::string> cert_key_ids;  // the key id of each certificate's public key
    std::set<std::string> keys;          // the key id of each private key
    bool keys_listed = false;            // false when the key database needs a password
};

// Opens the databases in configdir ("dbm:" and a directory) whose files
// begin with prefix, read-only or read-write, lists them and shuts NSS down.
// False with *why (NSS's error name) when NSS cannot open or list them.
bool ListNssDatabase(const std::string &configdir, const std::string &prefix, bool readonly,
                     NssListing *out, std::string *why);

// What after lacks or has more than before, for a message; "" when they
// hold the same.  Keys are compared only when both could be listed.
std::string CompareListings(const NssListing &before, const NssListing &after);

// Private keys of the listing that no certificate goes with.
std::size_t KeysWithoutCertificate(const NssListing &listing);

}  // namespace hv::migrate

#endif  // HV_MIGRATE_CERTDB_LISTING_H
