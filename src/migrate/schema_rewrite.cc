// Changing one value of one entry of an LDIF configuration file in place.
//
// Each blank-line separated block is parsed with the server's own entry
// parser; only the changed entry takes the server's printed form, every
// other block keeps the text that was read, so comments, folding and the
// administrator's layout survive the upgrade.  The new content replaces the
// file atomically: a crash or a full disk never leaves the schema missing or
// half written.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "common/dir.h"
#include "common/path_format.h"
#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "migrate/instance.h"
#include "migrate/result_codes.h"
#include "migrate/schema.h"

namespace {

constexpr char kSchemaDn[] = "cn=schema";
constexpr char kAttributeTypes[] = "attributeTypes";
constexpr int kResultBadMode = 7;  // also a failed or short read or write

// Owners of host allocations, released on every path.
struct HostString {
    char *p = nullptr;
    HostString() = default;
    explicit HostString(char *s) : p(s) {}
    HostString(const HostString &) = delete;
    HostString &operator=(const HostString &) = delete;
    ~HostString() { slapi_ch_free_string(&p); }
};

struct EntryHolder {
    Slapi_Entry *e = nullptr;
    explicit EntryHolder(Slapi_Entry *entry) : e(entry) {}
    EntryHolder(const EntryHolder &) = delete;
    EntryHolder &operator=(const EntryHolder &) = delete;
    ~EntryHolder() {
        if (e != nullptr) slapi_entry_free(e);
    }
};

struct ValueHolder {
    Slapi_Value *v;
    explicit ValueHolder(const char *s) : v(slapi_value_new()) { slapi_value_init_string(v, s); }
    ValueHolder(const ValueHolder &) = delete;
    ValueHolder &operator=(const ValueHolder &) = delete;
    ~ValueHolder() { slapi_value_free(&v); }
};

// The C locale's white space.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char *skipWS(const char *p) {
    if (p == nullptr) return nullptr;
    while (*p != '\0' && IsSpace(*p)) ++p;
    return p;
}

// The token after the first occurrence of tag: a quoted name loses its
// quotes; a parenthesised NAME list yields "(" and so matches nothing.
char *get_tagged_oid(const char *tag, const char *definition) {
    const char *at = std::strstr(definition, tag);
    if (at == nullptr) return nullptr;
    const char *start = skipWS(at + std::strlen(tag));
    if (*start == '\'') start = skipWS(start + 1);
    const char *end = std::strchr(start, ' ');
    if (end == nullptr) end = std::strchr(start, ')');
    if (end == nullptr) {
        end = start + std::strlen(start);
    } else if (end > start && end[-1] == '\'') {
        --end;
    }
    std::string token(start, static_cast<std::size_t>(end - start));
    return slapi_ch_strdup(token.c_str());
}

int strcasecmp_attrTypeName(const char *definition, const char *name) {
    HostString oid(get_tagged_oid("NAME ", definition));
    if (oid.p == nullptr) return -1;
    return hv::strcmpi_fast(oid.p, name);
}

Slapi_Attr *FindAttr(Slapi_Entry *entry, const char *type) {
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_attr_find(entry, type, &attr) != 0) return nullptr;
    return attr;
}

const char *get_attrType_str(Slapi_Entry *entry, const char *name) {
    if (entry == nullptr || name == nullptr) return nullptr;
    Slapi_Attr *attr = FindAttr(entry, kAttributeTypes);
    if (attr == nullptr) return nullptr;
    Slapi_Value *v = nullptr;
    for (int i = slapi_attr_first_value(attr, &v); i != -1; i = slapi_attr_next_value(attr, i, &v)) {
        const char *s = v != nullptr ? slapi_value_get_string(v) : nullptr;
        if (s != nullptr && strcasecmp_attrTypeName(s, name) == 0) return s;
    }
    return nullptr;
}

const char *get_attr_str(Slapi_Entry *entry, const char *type) {
    if (entry == nullptr || type == nullptr) return nullptr;
    Slapi_Attr *attr = FindAttr(entry, type);
    if (attr == nullptr) return nullptr;
    Slapi_Value *v = nullptr;
    if (slapi_attr_first_value(attr, &v) == -1 || v == nullptr) return nullptr;
    return slapi_value_get_string(v);
}

// Never creates the attribute: a schema entry without attribute types is
// not one this tool should be extending.
int add_attr_str(Slapi_Entry *entry, const char *type, const char *str) {
    Slapi_Attr *attr = FindAttr(entry, type);
    if (attr == nullptr) return kResultFailed;
    ValueHolder value(str);
    slapi_attr_add_value(attr, value.v);
    return kResultOk;
}

int remove_attr_str(Slapi_Entry *entry, const char *type, const char *str) {
    if (!slapi_entry_attr_hasvalue(entry, type, str)) return kResultNothingToDo;
    ValueHolder value(str);
    Slapi_Value *vals[2] = {value.v, nullptr};
    return slapi_entry_delete_values_sv(entry, type, vals) == 0 ? kResultOk : kResultFailed;
}

int replace_attr_str(Slapi_Entry *entry, const char *type, const char *str) {
    ValueHolder value(str);
    Slapi_Value *vals[2] = {value.v, nullptr};
    return slapi_entry_attr_replace_sv(entry, type, vals) == 0 ? kResultOk : kResultFailed;
}

// The change asked for, on the entry that carries the target DN.
int ChangeTarget(Slapi_Entry *entry, int mode, const char *name, const char *value) {
    if (std::strcmp(slapi_entry_get_ndn(entry), kSchemaDn) == 0) {
        const char *found = get_attrType_str(entry, name);
        switch (mode) {
            case ATTR_ADD:
                return found != nullptr ? kResultNothingToDo : add_attr_str(entry, kAttributeTypes, value);
            case ATTR_REMOVE: {
                if (found == nullptr) return kResultNothingToDo;
                // The value belongs to the entry, which the removal changes.
                std::string definition(found);
                return remove_attr_str(entry, kAttributeTypes, definition.c_str());
            }
            default:
                return kResultBadMode;
        }
    }
    if (mode != ATTR_REPLACE) return kResultBadMode;
    const char *current = get_attr_str(entry, name);
    if (current == nullptr) return kResultNothingToDo;
    if (hv::strcmpi_fast(current, value) == 0) return kResultNothingToDo;
    return replace_attr_str(entry, name, value);
}

// The output of a rewrite, streamed to the new file: the blocks before the
// target as read, each followed by a blank line, the changed entry as
// printed, and the rest of the text byte for byte.
struct Output {
    std::vector<std::string_view> blocks;
    std::deque<std::string> copies;  // blocks the parser may have changed
    std::string_view printed, rest;
    std::size_t size() const {
        std::size_t n = printed.size() + 2 + rest.size();
        for (std::string_view b : blocks) n += b.size() + 2;
        return n;
    }
};

// Writes out through write in pieces of about 64 KiB.
int WriteOutput(const Output &out, const hv::Dir::Writer &write) {
    constexpr std::size_t kChunk = 64 * 1024;
    std::string chunk;
    chunk.reserve(kChunk);
    auto put = [&](std::string_view piece) {
        if (chunk.size() + piece.size() > kChunk && !chunk.empty()) {
            if (int e = write(chunk)) return e;
            chunk.clear();
        }
        if (piece.size() >= kChunk) return write(piece);
        chunk.append(piece);
        return 0;
    };
    for (std::string_view b : out.blocks) {
        if (int e = put(b)) return e;
        if (int e = put("\n\n")) return e;
    }
    if (int e = put(out.printed)) return e;
    if (int e = put("\n\n")) return e;
    if (int e = put(out.rest)) return e;
    return chunk.empty() ? 0 : write(chunk);
}

// Replaces the file with out.  The process's effective ids own the new
// file, which the upgrade has set to the instance owner's.
int ReplaceFile(const hv::migrate::Location &where, const Output &out) {
    const char *file = where.path().c_str();
    hv::Dir::Step step = hv::Dir::Step::kCreate;
    int err = where.dir().ReplaceFileWith(
        where.rel(), [&out](const hv::Dir::Writer &write) { return WriteOutput(out, write); }, 0600, ::geteuid(),
        ::getegid(), &step);
    if (err == 0) return kResultOk;
    if (hv::IsRefusal(err)) hv::migrate::ReportRefused(where.path());
    if (step == hv::Dir::Step::kWrite) {
        // Nothing of the new content reached the file: it keeps the old.
        std::fprintf(stderr, "Could only write %d bytes of %d bytes to config file %s\n", 0,
                     static_cast<int>(out.size()), file);
        return kResultBadMode;
    }
    std::fprintf(stderr, "The given config file %s could not be overwritten\n", file);
    return kResultFileError;
}

// A DN reduced for a cheap comparison: ASCII letters lowered, blanks
// dropped.  False when it holds what only the server's normalization can
// judge (escapes, quotes, multi-valued RDNs, bytes beyond ASCII).
bool Reduce(std::string_view dn, std::string *out) {
    out->clear();
    for (char c : dn) {
        if (c == ' ' || c == '\t') continue;
        if (static_cast<unsigned char>(c) >= 0x80 || std::strchr("\\\"#+;<>", c) != nullptr) return false;
        out->push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
    }
    return true;
}

// Whether block may carry the target DN (reduced, or "" when it cannot be
// reduced): a block whose plain "dn:" line reduces to something else
// cannot, and is not parsed.  Anything unusual is left to the parser.
bool MayBeTarget(std::string_view block, const std::string &target) {
    if (target.empty()) return true;
    std::size_t at = 0;
    // Comments (and their continuations) and a version line come first.
    while (at < block.size() && (block[at] == '#' || block[at] == ' ' || block.compare(at, 8, "version:") == 0)) {
        std::size_t nl = block.find('\n', at);
        if (nl == std::string_view::npos) return true;
        at = nl + 1;
    }
    if (block.size() - at < 3 || (block[at] | 0x20) != 'd' || (block[at + 1] | 0x20) != 'n' || block[at + 2] != ':')
        return true;
    at += 3;
    std::size_t nl = block.find('\n', at);
    std::size_t end = nl == std::string_view::npos ? block.size() : nl;
    if (at < end && block[at] == ':') return true;                             // base64
    if (nl != std::string_view::npos && nl + 1 < block.size() && block[nl + 1] == ' ') return true;  // folded
    std::string_view value = block.substr(at, end - at);
    if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
    std::string reduced;
    return !Reduce(value, &reduced) || reduced == target;
}

}  // namespace

int modify_attributeTypes_from_ldif(const char *file, int mode, const char *name, const char *value,
                                    const char *dn) {
    hv::migrate::Location where(file);
    std::string read;
    int err = where.error() != 0 ? where.error() : where.dir().ReadFile(where.rel(), &read);
    if (err != 0) {
        if (hv::IsRefusal(err)) {
            hv::migrate::ReportRefused(file);
            std::fprintf(stderr, "The given config file %s could not be read\n", file);
        } else if (err == EFBIG) {
            hv::migrate::ReportTooLarge(file);
        } else {
            std::fprintf(stderr, "The given config file %s could not be accessed, error %d\n", file, -1);
        }
        return kResultFileError;
    }
    // The parser stops at a NUL byte: what follows it would be lost.
    if (read.find('\0') != std::string::npos) {
        std::fprintf(stderr, "The given config file %s holds a NUL byte and is left as it is\n", file);
        return kResultFileError;
    }
    // The text is held once: the block reader cuts blocks in place, a block
    // that is not parsed is written from there, and the output is streamed
    // to the new file (a file's worth of memory, not three).
    char *const text = read.data();
    const char *const text_end = text + read.size();
    std::string target;
    if (!Reduce(dn, &target)) target.clear();

    Output out;
    char *cursor = nullptr;
    for (char *block = dse_read_next_entry(text, &cursor); block != nullptr;
         block = dse_read_next_entry(text, &cursor)) {
        std::string_view view(block);
        // Only a block that may carry the target is parsed: most of a large
        // file is carried over without the parser's cost.
        if (!MayBeTarget(view, target)) {
            out.blocks.push_back(view);
            continue;
        }
        const std::string &copy = out.copies.emplace_back(view);
        EntryHolder entry(slapi_str2entry(block, SLAPI_STR2ENTRY_NO_ENTRYDN));
        if (entry.e == nullptr) {
            std::fprintf(stderr, "The entry [%s] in the ldif_file %s was empty or could not be parsed\n",
                         copy.c_str(), file);
            // Carried over as read: dropping it would lose schema text.
            out.blocks.push_back(copy);
            continue;
        }
        const char *ndn = slapi_entry_get_ndn(entry.e);
        if (ndn == nullptr || std::strcmp(ndn, dn) != 0) {
            out.blocks.push_back(copy);
            continue;
        }
        // The first block with the target DN decides, whatever follows.
        int rc = ChangeTarget(entry.e, mode, name, value);
        if (rc != kResultOk) return rc;
        int len = 0;
        HostString printed(slapi_entry2str(entry.e, &len));
        if (printed.p == nullptr || len < 0) {
            std::fprintf(stderr, "The entry %s in config file %s could not be printed\n", ndn, file);
            return kResultFailed;
        }
        out.printed = std::string_view(printed.p, static_cast<std::size_t>(len));
        // The rest of the file, byte for byte.  The cursor may stand one past
        // the text when the target was the last block.
        if (cursor != nullptr && cursor < text_end) out.rest = std::string_view(cursor, text_end - cursor);
        return ReplaceFile(where, out);
    }
    // No target in the file: it stays as it is.
    return kResultOk;
}
