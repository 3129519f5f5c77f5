// LDIF records (RFC 2849) to entries and back, the block reader of
// configuration files, and whole-buffer reads and writes on NSPR files.
//
// The parser takes one record: an optional "version: 1", a "dn:" line, then
// "type: value", "type:: base64" lines; lines beginning with one space
// continue the line before; "#" lines (and their continuations) are
// comments; CRLF line ends are accepted.  URL values ("type:< url") are
// refused rather than fetched: a configuration text must not make the server
// read arbitrary files.  entrydn is never stored in the entry, whatever the
// flags: the normalized DN is kept beside the entry (slapi_entry_get_ndn).
#include <prio.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/base64.h"
#include "common/export.h"
#include "host/entry_internal.h"

namespace {

constexpr std::size_t kFoldColumn = 78;
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Strict decoding: only the alphabet, '=' padding at the end only, whole
// groups of four (a missing final padding is tolerated).
bool DecodeBase64(std::string_view in, std::string *out) {
    out->clear();
    std::size_t pad = 0;
    while (!in.empty() && in.back() == '=' && pad < 2) {
        in.remove_suffix(1);
        ++pad;
    }
    if (in.size() % 4 == 1) return false;
    if (pad > 0 && (in.size() + pad) % 4 != 0) return false;
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char c : in) {
        int d = hv::Base64Digit(c);
        if (d < 0) return false;
        acc = (acc << 6) | static_cast<unsigned>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out->push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return true;
}

std::string EncodeBase64(std::string_view in) {
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned n = (static_cast<unsigned char>(in[i]) << 16) | (static_cast<unsigned char>(in[i + 1]) << 8) |
                     static_cast<unsigned char>(in[i + 2]);
        out += kB64[(n >> 18) & 63];
        out += kB64[(n >> 12) & 63];
        out += kB64[(n >> 6) & 63];
        out += kB64[n & 63];
    }
    std::size_t rest = in.size() - i;
    if (rest > 0) {
        unsigned n = static_cast<unsigned char>(in[i]) << 16;
        if (rest == 2) n |= static_cast<unsigned char>(in[i + 1]) << 8;
        out += kB64[(n >> 18) & 63];
        out += kB64[(n >> 12) & 63];
        out += rest == 2 ? kB64[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool ValidType(std::string_view t) {
    if (t.empty()) return false;
    for (char c : t) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                  c == ';' || c == '.' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// One unfolded line into its type and value.
bool ParseLine(std::string_view line, std::string_view *type, std::string *value) {
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    *type = line.substr(0, colon);
    if (!ValidType(*type)) return false;
    std::string_view rest = line.substr(colon + 1);
    bool b64 = false;
    if (!rest.empty() && rest.front() == ':') {
        b64 = true;
        rest.remove_prefix(1);
    } else if (!rest.empty() && rest.front() == '<') {
        return false;
    }
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (!b64) {
        value->assign(rest.data(), rest.size());
        return true;
    }
    while (!rest.empty() && rest.back() == ' ') rest.remove_suffix(1);
    return DecodeBase64(rest, value);
}

// Physical lines into logical ones; false when the text is not one record.
bool Unfold(std::string_view text, std::vector<std::string> *lines) {
    bool in_comment = false;
    bool ended = false;  // a blank line followed the record
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {
            if (!lines->empty()) ended = true;
            in_comment = false;
            continue;
        }
        if (line.front() == ' ') {
            if (in_comment) continue;
            if (lines->empty() || ended) return false;
            lines->back().append(line.substr(1));
            continue;
        }
        if (line.front() == '#') {
            in_comment = true;
            continue;
        }
        if (ended) return false;
        in_comment = false;
        lines->emplace_back(line);
    }
    return true;
}

std::unique_ptr<Slapi_Entry> ParseRecord(std::string_view text) {
    std::vector<std::string> lines;
    if (!Unfold(text, &lines) || lines.empty()) return nullptr;
    std::size_t i = 0;
    std::string_view type;
    std::string value;
    if (!ParseLine(lines[0], &type, &value)) return nullptr;
    if (hv::AsciiIEquals(type, "version")) {
        if (value != "1" || lines.size() < 2) return nullptr;
        i = 1;
        if (!ParseLine(lines[1], &type, &value)) return nullptr;
    }
    if (!hv::AsciiIEquals(type, "dn")) return nullptr;
    std::string ndn;
    if (!hv::NormalizeDn(value, &ndn)) return nullptr;
    auto e = std::make_unique<Slapi_Entry>();
    e->dn = value;
    e->ndn = std::move(ndn);
    for (++i; i < lines.size(); ++i) {
        if (!ParseLine(lines[i], &type, &value)) return nullptr;
        if (hv::AsciiIEquals(type, "dn")) return nullptr;
        if (hv::AsciiIEquals(type, "changetype")) {
            if (!hv::AsciiIEquals(value, "add")) return nullptr;
            continue;
        }
        slapi_attr *a = hv::FindAttr(e.get(), type);
        if (a == nullptr) a = hv::AppendAttr(e.get(), type);
        a->values.push_back(hv::NewValue(value));
    }
    return e;
}

// RFC 2849: a value that is not a SAFE-STRING, or ends with a space, goes
// out in base64.
bool NeedsBase64(std::string_view v) {
    if (v.empty()) return false;
    unsigned char first = static_cast<unsigned char>(v.front());
    if (first == ' ' || first == ':' || first == '<') return true;
    if (v.back() == ' ') return true;
    for (unsigned char c : v) {
        if (c == '\0' || c == '\n' || c == '\r' || c > 127) return true;
    }
    return false;
}

// type and value as one line, folded: no line longer than kFoldColumn
// bytes, continuation lines begin with one space.
void AppendAttrLine(std::string *out, std::string_view type, std::string_view value) {
    std::string line(type);
    if (NeedsBase64(value)) {
        line += ":: ";
        line += EncodeBase64(value);
    } else {
        line += ':';
        if (!value.empty()) {
            line += ' ';
            line.append(value);
        }
    }
    std::string_view rest(line);
    std::size_t take = std::min(rest.size(), kFoldColumn);
    out->append(rest.substr(0, take));
    rest.remove_prefix(take);
    while (!rest.empty()) {
        take = std::min(rest.size(), kFoldColumn - 1);
        *out += "\n ";
        out->append(rest.substr(0, take));
        rest.remove_prefix(take);
    }
    *out += '\n';
}

bool IsBlankLine(const char *p) { return *p == '\n' || (*p == '\r' && p[1] == '\n'); }

}  // namespace

extern "C" {

HV_EXPORT Slapi_Entry *slapi_str2entry(char *s, int /*flags*/) {
    if (s == nullptr) return nullptr;
    return ParseRecord(s).release();
}

HV_EXPORT char *slapi_entry2str(Slapi_Entry *e, int *len) {
    if (e == nullptr) {
        if (len != nullptr) *len = 0;
        return nullptr;
    }
    std::string out;
    AppendAttrLine(&out, "dn", e->dn);
    for (const auto &a : e->attrs) {
        for (const auto &v : a->values) AppendAttrLine(&out, a->type, v->data);
    }
    if (len != nullptr) *len = static_cast<int>(out.size());
    return hv::HostStrdup(out);
}

// Blank lines ("" or "\r" before the LF) before a block are skipped.  The
// block ends at the next blank line or at the end of the text; the NUL
// replaces the line end (LF, or the CR of a CRLF) of the block's last line,
// so the block holds its lines without a trailing line end.  *lastp is left
// just after the blank line that ended the block (or at the end of the
// text), so *lastp .. end is the rest of the text byte for byte, and
// "block \n\n rest" rebuilds a text whose blocks are separated by single
// blank lines.
HV_EXPORT char *dse_read_next_entry(char *buf, char **lastp) {
    // Walks each byte once: the end of the text is found by its NUL as the
    // walk reaches it, never measured ahead, so a file of many blocks is
    // read in time proportional to its size.
    if (lastp == nullptr) return nullptr;
    char *p = *lastp != nullptr ? *lastp : buf;
    if (p == nullptr) return nullptr;
    while (IsBlankLine(p)) p += *p == '\n' ? 1 : 2;
    if (*p == '\0') {
        *lastp = p;
        return nullptr;
    }
    char *start = p;
    while (true) {
        char *nl = std::strchr(p, '\n');
        if (nl == nullptr) {  // last line, no line end
            *lastp = p + std::strlen(p);
            return start;
        }
        char *line_end = (nl > p && nl[-1] == '\r') ? nl - 1 : nl;
        char *next = nl + 1;
        if (*next == '\0') {  // the text ends with this line's line end
            *line_end = '\0';
            *lastp = next;
            return start;
        }
        if (IsBlankLine(next)) {
            *line_end = '\0';
            *lastp = next + (*next == '\n' ? 1 : 2);
            return start;
        }
        if (*next == '\r' && next[1] == '\0') {  // a final "\r" alone ends the block too
            *line_end = '\0';
            *lastp = next + 1;
            return start;
        }
        p = next;
    }
}

HV_EXPORT int slapi_read_buffer(PRFileDesc *fd, void *buf, PRInt32 amount) {
    if (fd == nullptr || buf == nullptr || amount < 0) return -1;
    char *p = static_cast<char *>(buf);
    PRInt32 done = 0;
    while (done < amount) {
        PRInt32 n = PR_Read(fd, p + done, amount - done);
        if (n < 0) return -1;
        if (n == 0) break;
        done += n;
    }
    return done;
}

HV_EXPORT int slapi_write_buffer(PRFileDesc *fd, void *buf, PRInt32 amount) {
    if (fd == nullptr || buf == nullptr || amount < 0) return -1;
    const char *p = static_cast<const char *>(buf);
    PRInt32 done = 0;
    while (done < amount) {
        PRInt32 n = PR_Write(fd, p + done, amount - done);
        if (n <= 0) return -1;
        done += n;
    }
    return done;
}

}  // extern "C"
