// Entries as the directory stores them: packed and unpacked again, byte for
// byte, and only entries without an indexed attribute packed at all.
#include "host/packed_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/entry_change.h"
#include "host/entry_internal.h"

namespace {

std::unique_ptr<Slapi_Entry> Entry(const std::string &dn) {
    auto e = std::make_unique<Slapi_Entry>();
    e->dn = dn;
    return e;
}

void Add(Slapi_Entry *e, const std::string &type, const std::vector<std::string> &values) {
    slapi_attr *a = hv::AppendAttr(e, type);
    for (const std::string &v : values) a->values.push_back(hv::NewValue(v));
}

std::vector<std::string> Dump(const Slapi_Entry &e) {
    std::vector<std::string> out{e.dn, e.ndn};
    for (const auto &a : e.attrs) {
        out.push_back("type " + a->type);
        for (const slapi_value *v : a->values) {
            out.push_back(v->data);
            EXPECT_EQ(v->bv.bv_len, v->data.size());  // the berval follows its bytes
        }
    }
    return out;
}

TEST(PackedEntryTest, UnpacksEveryByteInOrder) {
    auto e = Entry("CN=Ann Smith,  ou=People,dc=Example,dc=com");
    Add(e.get(), "objectClass", {"top", "person"});
    Add(e.get(), "cn", {"Ann Smith"});
    Add(e.get(), "description", {std::string(200, 'd'), std::string(20000, 'e'), ""});  // lengths of 2 and 3 bytes
    Add(e.get(), "jpegPhoto", {std::string("\0\x80\xff\n", 4)});
    Add(e.get(), "emptyAttr", {});
    const std::string ndn = "cn=ann smith,ou=people,dc=example,dc=com";
    hv::PackedEntry packed(*e);
    EXPECT_EQ(packed.dn(), e->dn);
    std::unique_ptr<Slapi_Entry> back = packed.Unpack(ndn);
    e->ndn = ndn;
    EXPECT_EQ(Dump(*back), Dump(*e));
    // A packed entry holds about what its text needs.
    EXPECT_FALSE(packed.empty());
}

TEST(PackedEntryTest, UnpacksOnlyTheTypesAsked) {
    auto e = Entry("cn=a,dc=x");
    Add(e.get(), "objectClass", {"top"});
    Add(e.get(), "CN", {"a"});
    Add(e.get(), "sn", {"b"});
    hv::PackedEntry packed(*e);
    std::vector<std::string_view> types = {"cn", "missing"};
    std::unique_ptr<Slapi_Entry> some = packed.Unpack("cn=a,dc=x", &types);
    EXPECT_EQ(Dump(*some), (std::vector<std::string>{"cn=a,dc=x", "cn=a,dc=x", "type CN", "a"}));
    std::vector<std::string_view> none;
    EXPECT_TRUE(packed.Unpack("cn=a,dc=x", &none)->attrs.empty());
}

TEST(PackedEntryTest, AnAttributeThatWouldBeIndexedKeepsTheEntryUnpacked) {
    auto e = Entry("cn=g,dc=x");
    std::vector<std::string> members;
    for (std::size_t i = 0; i + 1 < hv::ValueIndex::kMinValues; ++i) members.push_back("uid=" + std::to_string(i));
    Add(e.get(), "member", members);
    EXPECT_TRUE(hv::Packable(*e));
    e->attrs[0]->values.push_back(hv::NewValue("uid=last"));
    EXPECT_FALSE(hv::Packable(*e));
}

}  // namespace
