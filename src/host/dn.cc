// DN handling.  A DN is parsed by the LDAP library (LDAPv3 string form, with
// the older quoted values accepted) and printed back from its parts: attribute types lower-cased, values kept
// (normalize) or ASCII lower-cased (the "ndn" forms), no blanks around the
// separators.  See docs/host.md, "DN normalization".
#include <cstring>

#include "common/export.h"
#include "host/entry_internal.h"

namespace {

void LowerBytes(struct berval *bv) {
    for (ber_len_t i = 0; i < bv->bv_len; ++i) {
        char &c = bv->bv_val[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    }
}

// RFC 4514 escaping of a value's bytes: the specials, a leading '#' or
// blank, a trailing blank, and control bytes as \XX.  Bytes above 127 (UTF-8)
// stay as they are.
void AppendEscaped(std::string *out, const struct berval &v) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (ber_len_t i = 0; i < v.bv_len; ++i) {
        unsigned char c = static_cast<unsigned char>(v.bv_val[i]);
        bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';' ||
                       (i == 0 && (c == '#' || c == ' ')) || (i + 1 == v.bv_len && c == ' ');
        if (c < 0x20 || c == 0x7F) {
            *out += '\\';
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else {
            if (special) *out += '\\';
            *out += static_cast<char>(c);
        }
    }
}

void AppendHex(std::string *out, const struct berval &v) {
    static constexpr char kHex[] = "0123456789abcdef";
    *out += '#';
    for (ber_len_t i = 0; i < v.bv_len; ++i) {
        unsigned char c = static_cast<unsigned char>(v.bv_val[i]);
        *out += kHex[c >> 4];
        *out += kHex[c & 15];
    }
}

// The library parses; the printing is ours, so that every spelling of one
// value (escaped, quoted, hex pairs) comes out the same.
bool Normalize(std::string_view in, bool fold, std::string *out) {
    if (in.find('\0') != std::string_view::npos) return false;  // would hide the rest from the parser
    std::string buf(in);
    LDAPDN dn = nullptr;
    if (ldap_str2dn(buf.c_str(), &dn, LDAP_DN_FORMAT_LDAP) != LDAP_SUCCESS) return false;
    out->clear();
    if (dn == nullptr) return true;  // the empty DN, the root
    for (LDAPRDN *rdn = dn; *rdn != nullptr; ++rdn) {
        if (rdn != dn) *out += ',';
        for (LDAPAVA **ava = *rdn; *ava != nullptr; ++ava) {
            if (ava != *rdn) *out += '+';
            LowerBytes(&(*ava)->la_attr);
            out->append((*ava)->la_attr.bv_val, (*ava)->la_attr.bv_len);
            *out += '=';
            // Hex-encoded (#...) values are BER and are not folded.
            if ((*ava)->la_flags & LDAP_AVA_BINARY) {
                AppendHex(out, (*ava)->la_value);
                continue;
            }
            if (fold) LowerBytes(&(*ava)->la_value);
            AppendEscaped(out, (*ava)->la_value);
        }
    }
    ldap_dnfree(dn);
    return true;
}

// Leading and trailing blanks removed in place; an escaped trailing blank
// ("cn=a\ ") stays.
void TrimInPlace(char *dn) {
    std::size_t len = std::strlen(dn);
    std::size_t b = 0;
    while (b < len && dn[b] == ' ') ++b;
    std::size_t e = len;
    while (e > b && dn[e - 1] == ' ') {
        std::size_t slashes = 0;
        while (e - 1 - slashes > b && dn[e - 2 - slashes] == '\\') ++slashes;
        if (slashes % 2 == 1) break;
        --e;
    }
    std::memmove(dn, dn + b, e - b);
    dn[e - b] = '\0';
}

char *NormalizeInPlace(char *dn, bool fold) {
    if (dn == nullptr) return nullptr;
    std::string out;
    std::size_t len = std::strlen(dn);
    if (Normalize(dn, fold, &out) && out.size() <= len) {
        std::memcpy(dn, out.c_str(), out.size() + 1);
        return dn;
    }
    TrimInPlace(dn);
    if (fold) {
        for (char *p = dn; *p != '\0'; ++p) {
            if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 32);
        }
    }
    return dn;
}

// Position of the first RDN separator: a ',' (or the older ';', which the
// parser takes as one too) that is neither escaped nor inside a quoted
// value; npos when there is none.
std::size_t FirstSeparator(std::string_view dn) {
    bool quoted = false;
    for (std::size_t i = 0; i < dn.size(); ++i) {
        char c = dn[i];
        if (c == '\\') {
            ++i;  // the escaped character (or the first of two hex digits) is plain
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && (c == ',' || c == ';')) {
            return i;
        }
    }
    return std::string_view::npos;
}

// True when the ',' at pos is a separator: not preceded by an odd number of
// backslashes.
bool IsUnescapedAt(std::string_view s, std::size_t pos) {
    std::size_t slashes = 0;
    while (pos > slashes && s[pos - 1 - slashes] == '\\') ++slashes;
    return slashes % 2 == 0;
}

}  // namespace

namespace hv {

bool NormalizeDn(std::string_view dn, std::string *ndn) { return Normalize(dn, true, ndn); }

}  // namespace hv

extern "C" {

HV_EXPORT char *slapi_dn_normalize(char *dn) { return NormalizeInPlace(dn, false); }

HV_EXPORT char *slapi_dn_normalize_case(char *dn) { return NormalizeInPlace(dn, true); }

// The parent keeps the spelling of the input: the text after the first
// separator, leading blanks skipped.
HV_EXPORT char *slapi_dn_parent(const char *dn) {
    if (dn == nullptr) return nullptr;
    std::string_view s(dn);
    std::size_t sep = FirstSeparator(s);
    if (sep == std::string_view::npos) return nullptr;
    std::string_view rest = s.substr(sep + 1);
    std::size_t b = rest.find_first_not_of(' ');
    if (b == std::string_view::npos) return nullptr;
    return hv::HostStrdup(rest.substr(b));
}

// 1 when dn is suffix or lies below it, compared in normalized, case-folded
// form and on RDN boundaries.
HV_EXPORT int slapi_dn_issuffix(const char *dn, const char *suffix) {
    if (dn == nullptr || suffix == nullptr) return 0;
    std::string ndn, nsuffix;
    if (!hv::NormalizeDn(dn, &ndn)) ndn = hv::AsciiLower(dn);
    if (!hv::NormalizeDn(suffix, &nsuffix)) nsuffix = hv::AsciiLower(suffix);
    if (nsuffix.empty()) return 1;
    if (ndn == nsuffix) return 1;
    if (ndn.size() <= nsuffix.size()) return 0;
    std::size_t pos = ndn.size() - nsuffix.size() - 1;
    if (ndn[pos] != ',' || !IsUnescapedAt(ndn, pos)) return 0;
    return ndn.compare(pos + 1, std::string::npos, nsuffix) == 0 ? 1 : 0;
}

HV_EXPORT Slapi_DN *slapi_sdn_new(void) { return new slapi_dn(); }

HV_EXPORT Slapi_DN *slapi_sdn_new_dn_byval(const char *dn) {
    auto *sdn = new slapi_dn();
    if (dn != nullptr) {
        sdn->dn = dn;
        if (!hv::NormalizeDn(dn, &sdn->ndn)) sdn->ndn = hv::AsciiLower(dn);
    }
    return sdn;
}

// The host keeps its own copy in either case: nothing depends on the
// caller's string living on.
HV_EXPORT Slapi_DN *slapi_sdn_new_dn_byref(const char *dn) { return slapi_sdn_new_dn_byval(dn); }

HV_EXPORT void slapi_sdn_free(Slapi_DN **sdn) {
    if (sdn == nullptr) return;
    delete *sdn;
    *sdn = nullptr;
}

HV_EXPORT const char *slapi_sdn_get_dn(const Slapi_DN *sdn) {
    return sdn == nullptr ? nullptr : sdn->dn.c_str();
}

HV_EXPORT const char *slapi_sdn_get_ndn(const Slapi_DN *sdn) {
    return sdn == nullptr ? nullptr : sdn->ndn.c_str();
}

HV_EXPORT int slapi_sdn_compare(const Slapi_DN *sdn1, const Slapi_DN *sdn2) {
    if (sdn1 == nullptr || sdn2 == nullptr) return sdn1 == sdn2 ? 0 : (sdn1 == nullptr ? -1 : 1);
    int c = sdn1->ndn.compare(sdn2->ndn);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // extern "C"
