#include "host/packed_entry.h"

#include <cstring>
#include <string>

#include "host/entry_change.h"
#include "host/entry_internal.h"

namespace hv {
namespace {

// Lengths and counts as base-128 varints: one byte below 128.
void PutLength(std::string *out, std::size_t n) {
    while (n >= 0x80) {
        out->push_back(static_cast<char>((n & 0x7f) | 0x80));
        n >>= 7;
    }
    out->push_back(static_cast<char>(n));
}

void PutBytes(std::string *out, std::string_view s) {
    PutLength(out, s.size());
    out->append(s);
}

// Reads what PutLength and PutBytes wrote; the buffer is our own, so it is
// trusted to be well formed.
class Reader {
  public:
    explicit Reader(const char *p) : p_(p) {}
    std::size_t Length() {
        std::size_t n = 0;
        for (int shift = 0;; shift += 7) {
            const auto b = static_cast<unsigned char>(*p_++);
            n |= static_cast<std::size_t>(b & 0x7f) << shift;
            if ((b & 0x80) == 0) return n;
        }
    }
    std::string_view Bytes() {
        const std::size_t n = Length();
        std::string_view s(p_, n);
        p_ += n;
        return s;
    }

  private:
    const char *p_;
};

bool Wanted(const std::vector<std::string_view> *types, std::string_view type) {
    if (types == nullptr) return true;
    for (std::string_view t : *types)
        if (TypeEquals(t, type)) return true;
    return false;
}

}  // namespace

PackedEntry::PackedEntry(const Slapi_Entry &e) {
    std::string out;
    PutBytes(&out, e.dn);
    PutLength(&out, e.attrs.size());
    for (const auto &a : e.attrs) {
        PutBytes(&out, a->type);
        PutLength(&out, a->values.size());
        for (const slapi_value *v : a->values) PutBytes(&out, v->data);
    }
    data_ = std::make_unique_for_overwrite<char[]>(out.size());
    std::memcpy(data_.get(), out.data(), out.size());
}

std::string_view PackedEntry::dn() const { return Reader(data_.get()).Bytes(); }

std::unique_ptr<Slapi_Entry> PackedEntry::Unpack(std::string_view ndn,
                                                 const std::vector<std::string_view> *types) const {
    auto e = std::make_unique<Slapi_Entry>();
    Reader r(data_.get());
    const std::string_view dn = r.Bytes();
    e->dn.assign(dn.data(), dn.size());
    e->ndn.assign(ndn.data(), ndn.size());
    const std::size_t attrs = r.Length();
    e->attrs.reserve(types == nullptr ? attrs : types->size());
    for (std::size_t i = 0; i < attrs; ++i) {
        const std::string_view type = r.Bytes();
        const std::size_t values = r.Length();
        slapi_attr *a = Wanted(types, type) ? AppendAttr(e.get(), type) : nullptr;
        for (std::size_t j = 0; j < values; ++j) {
            const std::string_view v = r.Bytes();
            if (a != nullptr) a->values.push_back(NewValue(v));
        }
    }
    return e;
}

bool Packable(const Slapi_Entry &e) {
    for (const auto &a : e.attrs)
        if (a->values.size() >= ValueIndex::kMinValues) return false;
    return true;
}

}  // namespace hv
