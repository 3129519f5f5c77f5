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
#include <string>
#include <string_view>

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

// Replaces the file with content.  The process's effective ids own the new
// file, which the upgrade has set to the instance owner's.
int ReplaceFile(const hv::migrate::Location &where, const std::string &content) {
    const char *file = where.path().c_str();
    hv::Dir::Step step = hv::Dir::Step::kCreate;
    int err = where.dir().ReplaceFile(where.rel(), content, 0600, ::geteuid(), ::getegid(), &step);
    if (err == 0) return kResultOk;
    if (hv::IsRefusal(err)) hv::migrate::ReportRefused(where.path());
    if (step == hv::Dir::Step::kWrite) {
        // Nothing of the new content reached the file: it keeps the old.
        std::fprintf(stderr, "Could only write %d bytes of %d bytes to config file %s\n", 0,
                     static_cast<int>(content.size()), file);
        return kResultBadMode;
    }
    std::fprintf(stderr, "The given config file %s could not be overwritten\n", file);
    return kResultFileError;
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
    HostString text(slapi_ch_strdup(read.c_str()));
    const std::size_t nread = read.size();
    const char *const text_end = text.p + nread;
    std::string().swap(read);  // the parser works on its own copy

    // The output is the file and one value: reserved once, so that it never
    // holds twice its size while growing.
    std::string out;
    out.reserve(static_cast<std::size_t>(nread) + (value != nullptr ? std::strlen(value) : 0) + 256);
    char *cursor = nullptr;
    for (char *block = dse_read_next_entry(text.p, &cursor); block != nullptr;
         block = dse_read_next_entry(text.p, &cursor)) {
        std::string copy(block);
        EntryHolder entry(slapi_str2entry(block, SLAPI_STR2ENTRY_NO_ENTRYDN));
        if (entry.e == nullptr) {
            std::fprintf(stderr, "The entry [%s] in the ldif_file %s was empty or could not be parsed\n",
                         copy.c_str(), file);
            // Carried over as read: dropping it would lose schema text.
            out.append(copy).append("\n\n");
            continue;
        }
        const char *ndn = slapi_entry_get_ndn(entry.e);
        if (ndn == nullptr || std::strcmp(ndn, dn) != 0) {
            out.append(copy).append("\n\n");
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
        out.append(printed.p, static_cast<std::size_t>(len)).append("\n\n");
        // The rest of the file, byte for byte.  The cursor may stand one past
        // the text when the target was the last block.
        if (cursor != nullptr && cursor < text_end)
            out.append(cursor, strnlen(cursor, static_cast<std::size_t>(text_end - cursor)));
        slapi_ch_free_string(&text.p);
        return ReplaceFile(where, out);
    }
    // No target in the file: it stays as it is.
    return kResultOk;
}
