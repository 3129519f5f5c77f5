#include "migrate/certdb_listing.h"

#include <cert.h>
#include <certdb.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>
#include <prinit.h>

#include <memory>

namespace hv::migrate {
namespace {

std::string ItemBytes(const SECItem *item) {
    return item == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char *>(item->data), item->len);
}

struct ItemFree {
    void operator()(SECItem *i) const { SECITEM_FreeItem(i, PR_TRUE); }
};
using Item = std::unique_ptr<SECItem, ItemFree>;
struct CertListFree {
    void operator()(CERTCertList *l) const { CERT_DestroyCertList(l); }
};
struct KeyListFree {
    void operator()(SECKEYPrivateKeyList *l) const { SECKEY_DestroyPrivateKeyList(l); }
};
struct SlotFree {
    void operator()(PK11SlotInfo *s) const { PK11_FreeSlot(s); }
};

std::string ErrorName() {
    const char *name = PR_ErrorToName(PR_GetError());
    return name != nullptr ? name : "error " + std::to_string(PR_GetError());
}

bool List(NssListing *out, std::string *why) {
    std::unique_ptr<CERTCertList, CertListFree> certs(PK11_ListCerts(PK11CertListAll, nullptr));
    if (certs == nullptr) {
        *why = "certificates cannot be listed: " + ErrorName();
        return false;
    }
    for (CERTCertListNode *n = CERT_LIST_HEAD(certs.get()); !CERT_LIST_END(n, certs.get()); n = CERT_LIST_NEXT(n)) {
        CERTCertTrust trust{};
        std::string flags = "-";
        if (CERT_GetCertTrust(n->cert, &trust) == SECSuccess) {
            flags = std::to_string(trust.sslFlags) + "," + std::to_string(trust.emailFlags) + "," +
                    std::to_string(trust.objectSigningFlags);
        }
        std::string nick = n->cert->nickname != nullptr ? n->cert->nickname : "";
        out->certs.insert(nick + "\n" + flags + "\n" + ItemBytes(&n->cert->derCert));
        Item id(PK11_GetLowLevelKeyIDForCert(nullptr, n->cert, nullptr));
        if (id != nullptr) out->cert_key_ids.insert(ItemBytes(id.get()));
    }
    std::unique_ptr<PK11SlotInfo, SlotFree> slot(PK11_GetInternalKeySlot());
    if (slot == nullptr) {
        *why = "the key database cannot be reached: " + ErrorName();
        return false;
    }
    // Private keys are listed only where no password guards them.
    if (PK11_NeedLogin(slot.get()) && !PK11_IsLoggedIn(slot.get(), nullptr)) return true;
    out->keys_listed = true;
    std::unique_ptr<SECKEYPrivateKeyList, KeyListFree> keys(PK11_ListPrivKeysInSlot(slot.get(), nullptr, nullptr));
    if (keys == nullptr) return true;  // none
    for (SECKEYPrivateKeyListNode *k = PRIVKEY_LIST_HEAD(keys.get()); !PRIVKEY_LIST_END(k, keys.get());
         k = PRIVKEY_LIST_NEXT(k)) {
        Item id(PK11_GetLowLevelKeyIDForPrivateKey(k->key));
        out->keys.insert(id != nullptr ? ItemBytes(id.get()) : std::string());
    }
    return true;
}

std::string Nickname(const std::string &entry) { return entry.substr(0, entry.find('\n')); }

}  // namespace

bool ListNssDatabase(const std::string &configdir, const std::string &prefix, bool readonly,
                     NssListing *out, std::string *why) {
    *out = NssListing();
    PR_Init(PR_USER_THREAD, PR_PRIORITY_NORMAL, 0);
    if (NSS_IsInitialized()) {
        *why = "the security library is already open in this process";
        return false;
    }
    // No module database: a PKCS#11 module the owner registered there would
    // be loaded into this process.
    if (NSS_Initialize(configdir.c_str(), prefix.c_str(), prefix.c_str(), "secmod.db",
                       NSS_INIT_NOMODDB | (readonly ? NSS_INIT_READONLY : 0)) != SECSuccess) {
        *why = "NSS cannot open it: " + ErrorName();
        return false;
    }
    bool ok = List(out, why);
    if (NSS_Shutdown() != SECSuccess && ok) {
        *why = "NSS cannot close it: " + ErrorName();
        ok = false;
    }
    return ok;
}

std::string CompareListings(const NssListing &before, const NssListing &after) {
    std::string diff;
    auto note = [&diff](const std::string &what) { diff += (diff.empty() ? "" : "; ") + what; };
    for (const std::string &c : before.certs)
        if (after.certs.count(c) == 0) note("certificate \"" + Nickname(c) + "\" missing");
    for (const std::string &c : after.certs)
        if (before.certs.count(c) == 0) note("certificate \"" + Nickname(c) + "\" not in the old database");
    if (before.keys_listed && after.keys_listed && before.keys != after.keys)
        note(std::to_string(before.keys.size()) + " private keys before, " + std::to_string(after.keys.size()) +
             " after");
    return diff;
}

std::size_t KeysWithoutCertificate(const NssListing &listing) {
    std::size_t n = 0;
    for (const std::string &k : listing.keys) n += listing.cert_key_ids.count(k) == 0 ? 1 : 0;
    return n;
}

}  // namespace hv::migrate
