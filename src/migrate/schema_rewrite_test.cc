// modify_attributeTypes_from_ldif on real files: which definitions count as
// the same name, what the rewritten file holds byte for byte, and that a
// failing rewrite at any step leaves the old content in place.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/dir.h"
#include "migrate/instance.h"
#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "migrate/schema.h"
#include "support/server_root.h"

namespace {

using hvtest::ReadFile;
using hvtest::WriteFile;

constexpr char kConfigBlock[] = "dn: cn=config\nobjectclass: top\ncn: config\n";
constexpr char kSchemaBlock[] =
    "dn: cn=schema\n"
    "objectclass: top\n"
    "objectclass: subschema\n"
    "cn: schema\n"
    "attributeTypes: ( 2.5.4.0 NAME 'objectClass' SYNTAX 1.3.6.1.4.1.1466.115.121.1.38 )\n"
    "attributeTypes: ( 2.5.4.41 NAME 'name' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 )\n";
// Comments and folding after the target must survive untouched.
constexpr char kTail[] =
    "# kept as written\n"
    "dn: cn=other,cn=config\n"
    "objectclass: top\n"
    "description: a long text that the administrator\n"
    "  folded by hand\n"
    "cn: other\n";

constexpr char kPwdName[] = "pwdChangedTime";
constexpr char kPwdDef[] =
    "( 1.3.6.1.4.1.63299.2.27.8.1.16 NAME 'pwdChangedTime' DESC 'test' SYNTAX "
    "1.3.6.1.4.1.1466.115.121.1.24 SINGLE-VALUE )";

std::string Standard() { return std::string(kConfigBlock) + "\n" + kSchemaBlock + "\n" + kTail; }

// The blocks the host's reader cuts out of text, and for each the untouched
// rest after it.
struct Cut {
    std::string block;
    std::string rest;
};
std::vector<Cut> CutBlocks(const std::string &text) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    const char *end = buf.data() + text.size();
    std::vector<Cut> cuts;
    char *cursor = nullptr;
    for (char *b = dse_read_next_entry(buf.data(), &cursor); b != nullptr;
         b = dse_read_next_entry(buf.data(), &cursor)) {
        std::string rest = (cursor != nullptr && cursor < end) ? std::string(cursor) : std::string();
        cuts.push_back({b, rest});
    }
    return cuts;
}

// Values of type in the entry printed in text (parsed by the host).
std::vector<std::string> ValuesOf(const std::string &ldif, const char *type) {
    std::vector<char> buf(ldif.begin(), ldif.end());
    buf.push_back('\0');
    std::vector<std::string> values;
    Slapi_Entry *e = slapi_str2entry(buf.data(), SLAPI_STR2ENTRY_NO_ENTRYDN);
    if (e == nullptr) {
        ADD_FAILURE() << "does not parse: " << ldif;
        return values;
    }
    Slapi_Attr *a = nullptr;
    if (slapi_entry_attr_find(e, type, &a) == 0) {
        Slapi_Value *v = nullptr;
        for (int i = slapi_attr_first_value(a, &v); i != -1; i = slapi_attr_next_value(a, i, &v))
            values.push_back(slapi_value_get_string(v));
    }
    slapi_entry_free(e);
    return values;
}

class SchemaRewrite : public ::testing::Test {
  protected:
    hvtest::TempDir dir_{"schemarewrite"};
    std::string file_ = dir_.Join("00core.ldif");

    int Modify(int mode, const char *name, const char *value, const char *dn = "cn=schema") {
        return modify_attributeTypes_from_ldif(file_.c_str(), mode, name, value, dn);
    }
    // The target's printed form in the rewritten file, after checking that
    // what stands before and after it is exact.
    std::string TargetText(const std::string &before, const std::string &after) {
        std::string out = ReadFile(file_);
        EXPECT_EQ(out.find('\0'), std::string::npos);
        if (out.size() < before.size() + after.size()) {
            ADD_FAILURE() << "rewritten file too short: " << out;
            return "";
        }
        EXPECT_EQ(out.substr(0, before.size()), before);
        EXPECT_EQ(out.substr(out.size() - after.size()), after);
        return out.substr(before.size(), out.size() - before.size() - after.size());
    }
    // No temporary file left beside the schema file.
    void ExpectOnlyFile() { EXPECT_EQ(hvtest::ListDir(dir_.path()), std::vector<std::string>{"00core.ldif"}); }
};

TEST_F(SchemaRewrite, AddKeepsOtherBlocksAndPrintsOnlyTheTarget) {
    const std::string text = Standard();
    WriteFile(file_, text, 0644);
    ASSERT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 0);

    std::vector<Cut> cuts = CutBlocks(text);
    ASSERT_GE(cuts.size(), 2u);
    std::string target = TargetText(cuts[0].block + "\n\n", cuts[1].rest);
    ASSERT_GE(target.size(), 2u);
    EXPECT_EQ(target.substr(target.size() - 2), "\n\n");
    std::vector<std::string> types = ValuesOf(target, "attributeTypes");
    ASSERT_EQ(types.size(), 3u);
    EXPECT_EQ(types[2], kPwdDef);
    EXPECT_EQ(ValuesOf(target, "cn"), std::vector<std::string>{"schema"});

    EXPECT_EQ(hvtest::Inspect(file_).mode, 0600u);
    ExpectOnlyFile();
    // What was written is read back: the same add has nothing left to do.
    std::string once = ReadFile(file_);
    EXPECT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 8);
    EXPECT_EQ(ReadFile(file_), once);
}

TEST_F(SchemaRewrite, TargetAsLastBlockWithoutFinalNewline) {
    const std::string text = std::string(kConfigBlock) + "\n" + "dn: cn=schema\ncn: schema\n" +
                             "attributeTypes: ( 2.5.4.41 NAME 'name' )";
    WriteFile(file_, text);
    ASSERT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 0);
    std::string target = TargetText(CutBlocks(text)[0].block + "\n\n", "");
    EXPECT_EQ(ValuesOf(target, "attributeTypes").size(), 2u);
}

// Which definitions carry the name: first "NAME " only, quoted or not, a
// list in parentheses never, letter case ignored.
TEST_F(SchemaRewrite, NameMatchingRules) {
    struct Case {
        const char *existing;
        int expected;
    } cases[] = {
        {"( 1.1 NAME 'PWDCHANGEDTIME' SYNTAX 1.2 )", 8},
        {"( 1.1 NAME 'pwdChangedTime')", 8},
        {"( 1.1 NAME pwdchangedtime SYNTAX 1.2 )", 8},
        {"( 1.1 NAME   '  pwdChangedTime' )", 8},
        {"( 1.1 NAME ( 'pwdChangedTime' 'pct' ) SYNTAX 1.2 )", 0},
        {"( 1.1 NAME 'other' DESC 'see NAME pwdChangedTime' )", 0},
        {"( 1.1 DESC 'no name at all pwdChangedTime' )", 0},
        {"( 1.1 NAME 'pwdChangedTimeX' )", 0},
        {"( 1.1 name 'pwdChangedTime' )", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.existing);
        const std::string text = std::string("dn: cn=schema\ncn: schema\nattributeTypes: ") + c.existing + "\n";
        WriteFile(file_, text, 0644);
        EXPECT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), c.expected);
        if (c.expected == 8) {
            EXPECT_EQ(ReadFile(file_), text);
            EXPECT_EQ(hvtest::Inspect(file_).mode, 0644u);
        } else {
            std::vector<std::string> types = ValuesOf(ReadFile(file_), "attributeTypes");
            EXPECT_EQ(types, (std::vector<std::string>{c.existing, kPwdDef}));
        }
    }
}

TEST_F(SchemaRewrite, OnlyTheFirstTargetBlockIsChanged) {
    const std::string second = "dn: cn=schema\ncn: schema\nattributeTypes: ( 9.9 NAME 'second' )\n";
    const std::string text = std::string(kSchemaBlock) + "\n" + second;
    WriteFile(file_, text);
    ASSERT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 0);
    std::string target = TargetText("", CutBlocks(text)[0].rest);
    EXPECT_EQ(ValuesOf(target, "attributeTypes").size(), 3u);
    EXPECT_NE(ReadFile(file_).find(second), std::string::npos);

    // A definition present only in the second block does not count.
    WriteFile(file_, text);
    EXPECT_EQ(Modify(ATTR_ADD, "second", "( 9.8 NAME 'second' )"), 0);
}

TEST_F(SchemaRewrite, NoTargetLeavesTheFileAlone) {
    for (const std::string &text : {std::string(), std::string(kConfigBlock) + "\n" + kTail}) {
        WriteFile(file_, text, 0640);
        EXPECT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 0);
        EXPECT_EQ(Modify(5, kPwdName, kPwdDef), 0);
        EXPECT_EQ(ReadFile(file_), text);
        EXPECT_EQ(hvtest::Inspect(file_).mode, 0640u);
    }
}

TEST_F(SchemaRewrite, BlockThatDoesNotParseIsCarriedOver) {
    const std::string junk = "this is not an entry\nat all";
    const std::string text = junk + "\n\n" + kSchemaBlock;
    WriteFile(file_, text);
    testing::internal::CaptureStderr();
    int rc = Modify(ATTR_ADD, kPwdName, kPwdDef);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(rc, 0);
    std::string block = CutBlocks(text)[0].block;
    EXPECT_EQ(err, "The entry [" + block + "] in the ldif_file " + file_ +
                       " was empty or could not be parsed\n");
    std::string target = TargetText(block + "\n\n", "");
    EXPECT_EQ(ValuesOf(target, "attributeTypes").size(), 3u);
}

// Blocks are carried over unparsed when their DN line cannot name the
// target; every way of writing the target that the server's normalization
// accepts is still found, and only the first block that names it changes.
TEST_F(SchemaRewrite, TheTargetIsFoundWhateverFormItsDnTakes) {
    const std::string body = "objectclass: top\ncn: schema\nattributeTypes: ( 2.5.4.41 NAME 'name' )\n";
    for (const std::string dn_line : {"dn: CN=Schema", "DN: cn = schema", "dn:  cn=schema ", "dn:: Y249c2NoZW1h",
                                      "dn: cn=sche\n ma", "# comment\n continued\ndn: cn=schema"}) {
        SCOPED_TRACE(dn_line);
        const std::string other = "dn: cn=schema2\nobjectclass: top\ncn: schema2\n";
        const std::string text = other + "\n" + dn_line + "\n" + body;
        WriteFile(file_, text);
        ASSERT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 0);
        std::string out = ReadFile(file_);
        EXPECT_EQ(out.rfind(other + "\n", 0), 0u) << out;
        EXPECT_EQ(ValuesOf(out.substr(other.size() + 1), "attributeTypes").size(), 2u) << out;
    }
}

TEST_F(SchemaRewrite, RefusedAndMisfittingChanges) {
    const std::string noTypes = "dn: cn=schema\nobjectclass: top\ncn: schema\n";
    WriteFile(file_, noTypes);
    EXPECT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 3);
    EXPECT_EQ(ReadFile(file_), noTypes);

    const std::string text = Standard();
    WriteFile(file_, text);
    EXPECT_EQ(Modify(5, kPwdName, kPwdDef), 7);
    EXPECT_EQ(Modify(ATTR_REPLACE, "cn", "x"), 7);
    EXPECT_EQ(Modify(ATTR_ADD, "cn", "x", "cn=config"), 7);
    EXPECT_EQ(Modify(ATTR_REMOVE, "cn", "x", "cn=config"), 7);
    EXPECT_EQ(Modify(ATTR_REMOVE, kPwdName, nullptr), 8);
    EXPECT_EQ(ReadFile(file_), text);
}

TEST_F(SchemaRewrite, RemoveAndReplace) {
    WriteFile(file_, Standard());
    ASSERT_EQ(Modify(ATTR_REMOVE, "nosuch", nullptr), 8);
    ASSERT_EQ(Modify(ATTR_REMOVE, "Name", nullptr), 0);
    std::vector<std::string> types = ValuesOf(CutBlocks(ReadFile(file_))[1].block, "attributeTypes");
    EXPECT_EQ(types, std::vector<std::string>{"( 2.5.4.0 NAME 'objectClass' SYNTAX 1.3.6.1.4.1.1466.115.121.1.38 )"});

    WriteFile(file_, Standard());
    EXPECT_EQ(Modify(ATTR_REPLACE, "cn", "CONFIG", "cn=config"), 8);
    EXPECT_EQ(Modify(ATTR_REPLACE, "description", "x", "cn=config"), 8);
    ASSERT_EQ(Modify(ATTR_REPLACE, "objectclass", "extensibleObject", "cn=config"), 0);
    std::vector<Cut> cuts = CutBlocks(Standard());
    std::string target = TargetText("", cuts[0].rest);
    EXPECT_EQ(ValuesOf(target, "objectclass"), std::vector<std::string>{"extensibleObject"});
}

TEST_F(SchemaRewrite, UnreadableFile) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "The given config file " + file_ + " could not be accessed, error -1\n");
}

// Each step of the rewrite failing in turn: the file keeps its old content,
// no temporary file stays, and the next run does the change.
TEST_F(SchemaRewrite, FailedRewriteKeepsTheOldContent) {
    const std::string text = Standard();
    struct Case {
        int expected;
        const char *message;
    } cases[] = {
        {5, "could not be overwritten"},     // create the temporary file
        {7, "Could only write 0 bytes of"},  // write
        {7, "Could only write 0 bytes of"},  // flush
        {5, "could not be overwritten"},     // mode
        {5, "could not be overwritten"},     // owner
        {5, "could not be overwritten"},     // rename
    };
    int fail_at = 0;
    for (const Case &c : cases) {
        WriteFile(file_, text, 0644);
        hv::FaultEnv env(++fail_at);
        int err = 0;
        std::string dir = file_.substr(0, file_.rfind('/'));
        auto instance = hv::migrate::Instance::OpenPath(&env, dir, &err);
        ASSERT_NE(instance, nullptr);
        testing::internal::CaptureStderr();
        int rc;
        {
            hv::migrate::ScopedInstance current(instance.get());
            rc = Modify(ATTR_ADD, kPwdName, kPwdDef);
        }
        std::string out = testing::internal::GetCapturedStderr();
        SCOPED_TRACE(env.failed());
        EXPECT_EQ(rc, c.expected);
        EXPECT_NE(out.find(c.message), std::string::npos) << out;
        EXPECT_NE(out.find(file_), std::string::npos) << out;
        EXPECT_EQ(ReadFile(file_), text);
        EXPECT_EQ(hvtest::Inspect(file_).mode, 0644u);
        ExpectOnlyFile();
        EXPECT_EQ(Modify(ATTR_ADD, kPwdName, kPwdDef), 0);
        EXPECT_EQ(ValuesOf(CutBlocks(ReadFile(file_))[1].block, "attributeTypes").size(), 3u);
    }
}

}  // namespace
