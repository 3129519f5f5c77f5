// DN handling.  A DN is parsed here (see host/dn.h for the forms taken) and
// printed back from its parts: attribute types lower-cased, values kept
// (normalize) or ASCII lower-cased (the "ndn" forms), no blanks around the
// separators.  Parsing and printing are one pass without allocation beyond
// the output, since every internal operation normalizes its target.  See
// docs/host.md, "DN normalization".
#include "host/dn.h"

#include <cstring>

#include "common/export.h"
#include "host/entry_internal.h"

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
int HexDigit(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
bool EndsRdn(char c) { return c == ',' || c == ';'; }
bool EndsValue(char c) { return c == ',' || c == ';' || c == '+'; }

// Walks a DN's text and hands every AVA to the sink:
//   sink.Ava(int rdn, std::string_view type, const std::string &value, bool binary)
//   sink.RdnEnd(std::size_t offset just after the separator)
// false when the text does not parse; the sink may have seen a part by then.
template <typename Sink>
bool Scan(std::string_view in, Sink &sink) {
    if (in.find('\0') != std::string_view::npos) return false;  // C callers would see less
    std::size_t p = 0;
    const std::size_t n = in.size();
    auto skipBlanks = [&] {
        while (p < n && in[p] == ' ') ++p;
    };
    // The character an escape at p (just after its backslash) stands for:
    // two hex digits make a byte, any other character is itself.
    auto escaped = [&](char *c) {
        if (p == n) return false;
        if (p + 1 < n && HexDigit(in[p]) >= 0 && HexDigit(in[p + 1]) >= 0) {
            *c = static_cast<char>(HexDigit(in[p]) * 16 + HexDigit(in[p + 1]));
            p += 2;
        } else {
            *c = in[p++];
        }
        return true;
    };
    skipBlanks();
    if (p == n) return true;  // the empty DN, the root
    std::string value;
    int rdn = 0;
    for (;;) {
        // Attribute type: a name or a numeric OID.
        skipBlanks();
        const std::size_t t0 = p;
        if (p < n && IsAlpha(in[p])) {
            while (p < n && (IsAlpha(in[p]) || IsDigit(in[p]) || in[p] == '-')) ++p;
        } else if (p < n && IsDigit(in[p])) {
            for (;;) {
                while (p < n && IsDigit(in[p])) ++p;
                if (p + 1 < n && in[p] == '.' && IsDigit(in[p + 1])) {
                    ++p;
                    continue;
                }
                break;
            }
        } else {
            return false;
        }
        const std::string_view type = in.substr(t0, p - t0);
        skipBlanks();
        if (p == n || in[p] != '=') return false;
        ++p;
        skipBlanks();
        value.clear();
        bool binary = false;
        if (p < n && in[p] == '#') {
            // Hex pairs up to the end of the value make it BER; anything
            // else keeps the '#' as the first character of a text.
            std::size_t q = p + 1;
            while (q + 1 < n && HexDigit(in[q]) >= 0 && HexDigit(in[q + 1]) >= 0) {
                value += static_cast<char>(HexDigit(in[q]) * 16 + HexDigit(in[q + 1]));
                q += 2;
            }
            std::size_t r = q;
            while (r < n && in[r] == ' ') ++r;
            if (q > p + 1 && (r == n || EndsValue(in[r]))) {
                binary = true;
                p = r;
            } else {
                value.clear();
            }
        }
        if (!binary && p < n && in[p] == '"') {
            // The older quoted form: everything up to the closing quote.
            ++p;
            for (;;) {
                if (p == n) return false;
                char c = in[p++];
                if (c == '"') break;
                if (c == '\\' && !escaped(&c)) return false;
                value += c;
            }
            skipBlanks();
            if (p < n && !EndsValue(in[p])) return false;
        } else if (!binary) {
            // Unescaped blanks at the end do not belong to the value.
            std::size_t kept = 0;
            while (p < n && !EndsValue(in[p])) {
                char c = in[p++];
                if (c == '"') return false;
                if (c == '\\') {
                    if (!escaped(&c)) return false;
                    value += c;
                    kept = value.size();
                    continue;
                }
                value += c;
                if (c != ' ') kept = value.size();
            }
            value.resize(kept);
        }
        sink.Ava(rdn, type, value, binary);
        if (p == n) return true;
        const char sep = in[p++];
        if (EndsRdn(sep)) {
            ++rdn;
            sink.RdnEnd(p);
        }
        skipBlanks();
        if (p == n) return false;  // a separator must be followed by an AVA
    }
}

// RFC 4514 escaping of a value's bytes: the specials, a leading '#' or
// blank, a trailing blank, and control bytes as \XX.  Bytes above 127 (UTF-8)
// stay as they are.
void AppendEscaped(std::string *out, const std::string &v, bool fold) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < v.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(v[i]);
        bool special = c == ',' || c == '+' || c == '"' || c == '\\' || c == '<' || c == '>' || c == ';' ||
                       (i == 0 && (c == '#' || c == ' ')) || (i + 1 == v.size() && c == ' ');
        if (c < 0x20 || c == 0x7F) {
            *out += '\\';
            *out += kHex[c >> 4];
            *out += kHex[c & 15];
        } else {
            if (special) *out += '\\';
            *out += fold ? Lower(static_cast<char>(c)) : static_cast<char>(c);
        }
    }
}

void AppendHex(std::string *out, const std::string &v) {
    static constexpr char kHex[] = "0123456789abcdef";
    *out += '#';
    for (char ch : v) {
        unsigned char c = static_cast<unsigned char>(ch);
        *out += kHex[c >> 4];
        *out += kHex[c & 15];
    }
}

struct Printer {
    std::string *out;
    bool fold;
    int last_rdn = -1;
    void Ava(int rdn, std::string_view type, const std::string &value, bool binary) {
        if (last_rdn >= 0) *out += rdn != last_rdn ? ',' : '+';
        last_rdn = rdn;
        for (char c : type) *out += Lower(c);
        *out += '=';
        // Hex-encoded (#...) values are BER and are not folded.
        if (binary) {
            AppendHex(out, value);
        } else {
            AppendEscaped(out, value, fold);
        }
    }
    void RdnEnd(std::size_t) {}
};

bool Normalize(std::string_view in, bool fold, std::string *out) {
    out->clear();
    Printer printer{out, fold};
    if (Scan(in, printer)) return true;
    out->clear();
    return false;
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

bool ParseDn(std::string_view dn, std::vector<DnAva> *avas) {
    struct Collector {
        std::vector<DnAva> *avas;
        void Ava(int rdn, std::string_view type, const std::string &value, bool binary) {
            avas->push_back(DnAva{rdn, AsciiLower(type), value, binary});
        }
        void RdnEnd(std::size_t) {}
    } collector{avas};
    avas->clear();
    return Scan(dn, collector);
}

bool ParentOffset(std::string_view dn, std::size_t *offset) {
    struct FirstEnd {
        std::size_t at = std::string_view::npos;
        void Ava(int, std::string_view, const std::string &, bool) {}
        void RdnEnd(std::size_t after) {
            if (at == std::string_view::npos) at = after;
        }
    } first;
    if (!Scan(dn, first)) return false;
    *offset = first.at;
    return true;
}

bool NormalizeDn(std::string_view dn, std::string *ndn) { return Normalize(dn, true, ndn); }

bool NormalizeDn(std::string_view dn, bool fold, std::string *out) { return Normalize(dn, fold, out); }

}  // namespace hv

extern "C" {

HV_EXPORT int hv_dn_normalize(const char *dn, size_t len, char **ndn, size_t *ndn_len) {
    if (ndn == nullptr) return -1;
    *ndn = nullptr;
    std::string out;
    if ((dn == nullptr && len != 0) || !Normalize(std::string_view(dn == nullptr ? "" : dn, len), true, &out))
        return -1;
    if (ndn_len != nullptr) *ndn_len = out.size();
    *ndn = hv::HostStrdup(out);
    return 0;
}

HV_EXPORT char *slapi_dn_normalize(char *dn) { return NormalizeInPlace(dn, false); }

HV_EXPORT char *slapi_dn_normalize_case(char *dn) { return NormalizeInPlace(dn, true); }

// The parent keeps the spelling of the input: the text after the separator
// that ends the first RDN, leading blanks skipped.  A DN that does not parse
// is cut at its first unescaped, unquoted separator.
HV_EXPORT char *slapi_dn_parent(const char *dn) {
    if (dn == nullptr) return nullptr;
    std::string_view s(dn);
    std::size_t start = std::string_view::npos;
    if (!hv::ParentOffset(s, &start)) {
        std::size_t sep = FirstSeparator(s);
        if (sep != std::string_view::npos) start = sep + 1;
    }
    if (start == std::string_view::npos) return nullptr;
    std::string_view rest = s.substr(start);
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
