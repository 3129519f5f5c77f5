// LDIF parser and printer, the configuration block reader, and whole-buffer
// file reads and writes.
#include <gtest/gtest.h>
#include <prio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "hv/slapi-host.h"
#include "support/server_root.h"

namespace {

struct EntryDeleter {
    void operator()(Slapi_Entry *e) const { slapi_entry_free(e); }
};
using EntryPtr = std::unique_ptr<Slapi_Entry, EntryDeleter>;

EntryPtr Parse(std::string text) { return EntryPtr(slapi_str2entry(text.data(), SLAPI_STR2ENTRY_NO_ENTRYDN)); }

std::string Print(Slapi_Entry *e, int *len_out = nullptr) {
    int len = -1;
    char *s = slapi_entry2str(e, &len);
    std::string out(s);
    EXPECT_EQ(len, static_cast<int>(out.size()));
    if (len_out != nullptr) *len_out = len;
    slapi_ch_free_string(&s);
    return out;
}

// Values of type in order, as byte strings.
std::vector<std::string> Values(Slapi_Entry *e, const char *type) {
    std::vector<std::string> out;
    Slapi_Attr *a = nullptr;
    if (slapi_entry_attr_find(e, type, &a) != 0) return out;
    Slapi_Value *v = nullptr;
    for (int i = slapi_attr_first_value(a, &v); i != -1; i = slapi_attr_next_value(a, i, &v)) {
        const struct berval *bv = slapi_value_get_berval(v);
        out.emplace_back(bv->bv_val, bv->bv_len);
    }
    return out;
}

// Attribute types in order, then their values: the whole content.
std::vector<std::string> Content(Slapi_Entry *e) {
    std::vector<std::string> out{slapi_entry_get_dn(e)};
    Slapi_Attr *a = nullptr;
    for (int rc = slapi_entry_first_attr(e, &a); rc == 0; rc = slapi_entry_next_attr(e, a, &a)) {
        char *type = nullptr;
        slapi_attr_get_type(a, &type);
        out.push_back(std::string("type:") + type);
        for (const std::string &v : Values(e, type)) out.push_back(v);
    }
    return out;
}

void ExpectRoundTrip(Slapi_Entry *e) {
    EntryPtr again = Parse(Print(e));
    ASSERT_NE(again, nullptr) << Print(e);
    EXPECT_EQ(Content(again.get()), Content(e));
}

TEST(LdifParse, PlainRecordKeepsOrderAndCase) {
    EntryPtr e = Parse(
        "dn: cn=Foo , O=Example\n"
        "objectClass: top\n"
        "cn: Foo\n"
        "objectclass: person\n"
        "sn: Bar\n");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(slapi_entry_get_dn(e.get()), "cn=Foo , O=Example");
    EXPECT_STREQ(slapi_entry_get_ndn(e.get()), "cn=foo,o=example");
    EXPECT_EQ(Content(e.get()),
              (std::vector<std::string>{"cn=Foo , O=Example", "type:objectClass", "top", "person", "type:cn",
                                        "Foo", "type:sn", "Bar"}));
}

TEST(LdifParse, FoldingBase64CommentsEmptyValuesAndCrlf) {
    EntryPtr e = Parse(
        "version: 1\r\n"
        "# a comment\r\n"
        "#  that continues\r\n"
        " here\r\n"
        "dn: cn=folded,\r\n"
        " dc=example\r\n"
        "description: first part\r\n"
        "  second part\r\n"
        "cn:: IGxlYWRpbmcgc3BhY2U=\r\n"
        "seeAlso:\r\n"
        "mail:    x@example.com\r\n"
        "jpegPhoto:: AP8KDQ==\r\n");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(slapi_entry_get_dn(e.get()), "cn=folded,dc=example");
    EXPECT_EQ(Values(e.get(), "description"), std::vector<std::string>{"first part second part"});
    EXPECT_EQ(Values(e.get(), "cn"), std::vector<std::string>{" leading space"});
    EXPECT_EQ(Values(e.get(), "seeAlso"), std::vector<std::string>{""});
    EXPECT_EQ(Values(e.get(), "mail"), std::vector<std::string>{"x@example.com"});
    EXPECT_EQ(Values(e.get(), "jpegPhoto"), std::vector<std::string>{std::string("\0\xff\n\r", 4)});
    EntryPtr b64dn = Parse("dn:: Y249QmFzZTY0LGRjPXg=\n");
    ASSERT_NE(b64dn, nullptr);
    EXPECT_STREQ(slapi_entry_get_ndn(b64dn.get()), "cn=base64,dc=x");
}

TEST(LdifParse, RefusesWhatIsNotOneEntry) {
    EXPECT_EQ(Parse(""), nullptr);
    EXPECT_EQ(Parse("\n\n"), nullptr);
    EXPECT_EQ(Parse("# only a comment\n"), nullptr);
    EXPECT_EQ(Parse("cn: no dn\n"), nullptr);
    EXPECT_EQ(Parse("dn: cn=a\nno colon here\n"), nullptr);
    EXPECT_EQ(Parse("dn: cn=a\ncn:: !!!notbase64\n"), nullptr);
    EXPECT_EQ(Parse("dn: cn=a\ncn:: QQ=A\n"), nullptr);
    EXPECT_EQ(Parse("dn: not a dn\ncn: a\n"), nullptr);
    EXPECT_EQ(Parse("dn: cn=a\njpegPhoto:< file:///etc/passwd\n"), nullptr);
    EXPECT_EQ(Parse(" dn: cn=a\n"), nullptr);
    EXPECT_EQ(Parse("dn:: Y249YQBqdW5r\n"), nullptr);  // "cn=a", NUL, "junk"
    EXPECT_EQ(Parse("dn: cn=a\ncn: a\n\ndn: cn=b\ncn: b\n"), nullptr);
    EXPECT_EQ(Parse("dn: cn=a\ndn: cn=b\n"), nullptr);
    EXPECT_EQ(Parse("dn: cn=a\nchangetype: delete\n"), nullptr);
    EXPECT_EQ(slapi_str2entry(nullptr, 0), nullptr);
    // Trailing blank lines and flags other than 128 are fine.
    std::string text = "dn: cn=a\ncn: a\n\n\n";
    EntryPtr e(slapi_str2entry(text.data(), 0));
    ASSERT_NE(e, nullptr);
    Slapi_Attr *a = nullptr;
    EXPECT_NE(slapi_entry_attr_find(e.get(), "entrydn", &a), 0);
}

TEST(LdifPrint, FormatFoldingAndBase64) {
    EntryPtr e = Parse("dn: cn=printer,dc=example\ncn: printer\n");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Print(e.get()), "dn: cn=printer,dc=example\ncn: printer\n");
    std::string longval(200, 'x');
    slapi_entry_add_string(e.get(), "description", longval.c_str());
    slapi_entry_add_string(e.get(), "sn", " leading");
    slapi_entry_add_string(e.get(), "givenName", "trailing ");
    slapi_entry_add_string(e.get(), "title", ":colon");
    slapi_entry_add_string(e.get(), "ou", "<angle");
    slapi_entry_add_string(e.get(), "l", "Z\xc3\xbcrich");
    slapi_entry_add_string(e.get(), "street", "inner: colon < and space ok");
    slapi_entry_add_string(e.get(), "seeAlso", "");
    std::string text = Print(e.get());
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        EXPECT_LE(nl - pos, 78u) << text.substr(pos, nl - pos);
        pos = nl + 1;
    }
    EXPECT_NE(text.find("description: xxxx"), std::string::npos);
    EXPECT_NE(text.find("\n xxxx"), std::string::npos);
    EXPECT_NE(text.find("sn:: IGxlYWRpbmc=\n"), std::string::npos);
    EXPECT_NE(text.find("givenName:: dHJhaWxpbmcg\n"), std::string::npos);
    EXPECT_NE(text.find("title:: "), std::string::npos);
    EXPECT_NE(text.find("ou:: "), std::string::npos);
    EXPECT_NE(text.find("l:: "), std::string::npos);
    EXPECT_NE(text.find("street: inner: colon < and space ok\n"), std::string::npos);
    EXPECT_NE(text.find("seeAlso:\n"), std::string::npos);
    ExpectRoundTrip(e.get());
    EXPECT_EQ(slapi_entry2str(nullptr, nullptr), nullptr);
}

TEST(LdifPrint, RoundTripOfBinaryAndLongValues) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
    // Every byte value once, in base64, folded as a writer would.
    static const char kAllBytes[] =
        "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEyMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiY2RlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKDhIWGh4iJiouMjY6PkJGSk5SVlpeYmZqbnJ2en6ChoqOkpaanqKmqq6ytrq+wsbKztLW2t7i5uru8vb6/wMHCw8TFxsfIycrLzM3Oz9DR0tPU1dbX2Nna29zd3t/g4eLj5OXm5+jp6uvs7e7v8PHy8/T19vf4+fr7/P3+/w==";
    std::string text = "dn: cn=bin,dc=example\nuserCertificate;binary:: ";
    for (std::size_t i = 0; i < sizeof kAllBytes - 1; i += 70) {
        if (i > 0) text += "\n ";
        text += std::string(kAllBytes + i, std::min<std::size_t>(70, sizeof kAllBytes - 1 - i));
    }
    text += "\n";
    EntryPtr e = Parse(text);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Values(e.get(), "usercertificate;binary").at(0), bytes);
    slapi_entry_add_string(e.get(), "description", std::string(1000, 'a').append("\nline two").c_str());
    ExpectRoundTrip(e.get());
}

// A core schema file as a real server ships it: header comment block, then
// the schema entry with many folded attributeTypes values.
std::string SchemaFile() {
    std::string s =
        "#\n"
        "# Core schema: the attribute types and object classes every\n"
        "# directory server instance needs.\n"
        "#\n"
        "\n"
        "dn: cn=schema\n"
        "objectClass: top\n"
        "objectClass: subschema\n"
        "cn: schema\n";
    for (int i = 0; i < 60; ++i) {
        s += "attributeTypes: ( 2.5.4." + std::to_string(i) + " NAME 'attr" + std::to_string(i) +
             "' DESC 'a long description that the writer folded over more than one line of the file' SYNTAX "
             "1.3.6.1.4.1.1466.115.121.1.15 X-ORIGIN 'RFC 4519' )\n";
    }
    s += "objectClasses: ( 2.5.6.0 NAME 'top' ABSTRACT MUST objectClass X-ORIGIN 'RFC 4512' )\n";
    return s;
}

TEST(LdifParse, RealSchemaEntryWithManyValues) {
    std::string file = SchemaFile();
    char *last = nullptr;
    char *block = dse_read_next_entry(file.data(), &last);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(Parse(block), nullptr);  // the comment block holds no entry
    block = dse_read_next_entry(file.data(), &last);
    ASSERT_NE(block, nullptr);
    EntryPtr e = Parse(block);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(slapi_entry_get_ndn(e.get()), "cn=schema");
    std::vector<std::string> types = Values(e.get(), "attributetypes");
    ASSERT_EQ(types.size(), 60u);
    EXPECT_EQ(types[59].substr(0, 28), "( 2.5.4.59 NAME 'attr59' DES");
    ExpectRoundTrip(e.get());
    EXPECT_EQ(dse_read_next_entry(file.data(), &last), nullptr);
}

TEST(DseReadNextEntry, SplitsBlocksAndLeavesTheRestIntact) {
    const std::string original =
        "\n\n"
        "dn: cn=config\n"
        "cn: config\n"
        "\n"
        "# comment before the second block\n"
        "dn: cn=encryption,cn=config\n"
        "hvCertfile: alias/slapd-a-cert7.db\n"
        "\n\n"
        "dn: cn=last\n"
        " continued\n";
    std::string text = original;
    char *last = nullptr;
    char *b1 = dse_read_next_entry(text.data(), &last);
    ASSERT_NE(b1, nullptr);
    EXPECT_STREQ(b1, "dn: cn=config\ncn: config");
    EXPECT_EQ(std::string(last), original.substr(original.find("# comment")));
    char *b2 = dse_read_next_entry(text.data(), &last);
    EXPECT_STREQ(b2, "# comment before the second block\ndn: cn=encryption,cn=config\n"
                     "hvCertfile: alias/slapd-a-cert7.db");
    // The rest, byte for byte, after the single blank line that ended b2.
    EXPECT_EQ(std::string(last), "\ndn: cn=last\n continued\n");
    // Rebuilding as the schema rewriter does: block, "\n\n", rest.
    std::string rebuilt = std::string(b1) + "\n\n" + b2 + "\n\n" + last;
    EXPECT_EQ(rebuilt, original.substr(2));
    char *b3 = dse_read_next_entry(text.data(), &last);
    EXPECT_STREQ(b3, "dn: cn=last\n continued");
    EXPECT_EQ(*last, '\0');
    EXPECT_EQ(dse_read_next_entry(text.data(), &last), nullptr);
    EXPECT_EQ(dse_read_next_entry(text.data(), &last), nullptr);
}

TEST(DseReadNextEntry, CrlfTextsAndEdges) {
    std::string text = "\r\ndn: cn=a\r\ncn: a\r\n\r\ndn: cn=b\r\ncn: b";
    char *last = nullptr;
    char *b1 = dse_read_next_entry(text.data(), &last);
    EXPECT_STREQ(b1, "dn: cn=a\r\ncn: a");
    EXPECT_STREQ(last, "dn: cn=b\r\ncn: b");
    EntryPtr e = Parse(b1);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(Values(e.get(), "cn"), std::vector<std::string>{"a"});
    EXPECT_STREQ(dse_read_next_entry(text.data(), &last), "dn: cn=b\r\ncn: b");
    EXPECT_EQ(dse_read_next_entry(text.data(), &last), nullptr);

    std::string empty;
    last = nullptr;
    EXPECT_EQ(dse_read_next_entry(empty.data(), &last), nullptr);
    std::string blanks = "\n\r\n\n";
    last = nullptr;
    EXPECT_EQ(dse_read_next_entry(blanks.data(), &last), nullptr);
    EXPECT_EQ(dse_read_next_entry(nullptr, nullptr), nullptr);
}

class BufferFile : public ::testing::Test {
protected:
    hvtest::TempDir tmp_{"hv_ldif_test_"};
    std::string path_ = tmp_.Join("dse.ldif");
};

TEST_F(BufferFile, WritesAndReadsWholeBuffers) {
    std::string data(300000, 'q');
    data += "end";
    PRFileDesc *fd = PR_Open(path_.c_str(), PR_WRONLY | PR_CREATE_FILE | PR_TRUNCATE, 0600);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(slapi_write_buffer(fd, data.data(), static_cast<PRInt32>(data.size())),
              static_cast<int>(data.size()));
    PR_Close(fd);
    fd = PR_Open(path_.c_str(), PR_RDONLY, 0);
    ASSERT_NE(fd, nullptr);
    std::string back(data.size() + 10, '\0');
    // Asking for more than the file holds gives the count there was.
    EXPECT_EQ(slapi_read_buffer(fd, back.data(), static_cast<PRInt32>(back.size())),
              static_cast<int>(data.size()));
    back.resize(data.size());
    EXPECT_EQ(back, data);
    PR_Close(fd);
    // Reading from a file opened for writing only fails.
    fd = PR_Open(path_.c_str(), PR_WRONLY, 0);
    ASSERT_NE(fd, nullptr);
    char c;
    EXPECT_LT(slapi_read_buffer(fd, &c, 1), 0);
    PR_Close(fd);
    EXPECT_LT(slapi_write_buffer(nullptr, data.data(), 1), 0);
}

}  // namespace
