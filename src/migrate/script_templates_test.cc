#include "migrate/script_templates.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "support/server_root.h"

namespace {

const char kRoot[] = "/srv/ds";
const char kInstance[] = "/srv/ds/slapd-a";
const char kBin[] = "/srv/ds/bin/slapd/server";
const char kPrologue[] = "#!/bin/sh\n\nunset LD_LIBRARY_PATH\n";

std::string Render(const hv::ScriptTemplate &t) {
    const char *v[hv::kMaxScriptValues] = {"", "", "", "", "", ""};
    for (std::size_t i = 0; i < t.value_count; ++i) {
        switch (t.values[i]) {
            case hv::ScriptValue::kInstancePath: v[i] = kInstance; break;
            case hv::ScriptValue::kServerRoot: v[i] = kRoot; break;
            case hv::ScriptValue::kServerBinDir: v[i] = kBin; break;
            case hv::ScriptValue::kConfigSuffix: v[i] = hv::kConfigSuffix; break;
        }
    }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
    int n = std::snprintf(nullptr, 0, t.text, v[0], v[1], v[2], v[3], v[4], v[5]);
    std::string out(static_cast<std::size_t>(n), '\0');
    std::snprintf(out.data(), out.size() + 1, t.text, v[0], v[1], v[2], v[3], v[4], v[5]);
#pragma GCC diagnostic pop
    return out;
}

std::string Expected(const std::string &name) {
    std::string text =
        hvtest::ReadFile(std::string(HV_SOURCE_DIR) + "/src/migrate/testdata/scripts/" + name);
    EXPECT_EQ(text.rfind(kPrologue, 0), 0u) << name;
    return text.substr(sizeof kPrologue - 1);
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    return lines;
}

TEST(ScriptTemplates, NineScriptsInWritingOrder) {
    std::vector<std::string> names;
    for (const auto &t : hv::ScriptTemplates()) names.push_back(t.name);
    EXPECT_EQ(names, (std::vector<std::string>{"saveconfig", "restoreconfig", "ldif2db", "db2ldif",
                                               "vlvindex", "db2bak", "bak2db", "suffix2instance",
                                               "get-clusterinfo-slapd"}));
}

// Only "%s" and "%%" may occur, and there must be exactly one value per
// "%s": a stray conversion would read past the values handed over.
TEST(ScriptTemplates, ConversionsMatchTheValueList) {
    for (const auto &t : hv::ScriptTemplates()) {
        std::size_t count = 0;
        for (const char *p = t.text; *p != '\0'; ++p) {
            if (*p != '%') continue;
            ++p;
            ASSERT_TRUE(*p == 's' || *p == '%') << t.name << ": %" << *p;
            if (*p == 's') ++count;
        }
        EXPECT_EQ(count, t.value_count) << t.name;
    }
}

TEST(ScriptTemplates, EachTextByteForByte) {
    for (const auto &t : hv::ScriptTemplates()) {
        EXPECT_EQ(Render(t), Expected(t.name)) << t.name;
    }
}

TEST(ScriptTemplates, KeyLines) {
    std::set<std::string> seen;
    for (const auto &t : hv::ScriptTemplates()) {
        std::string text = Render(t);
        std::vector<std::string> lines = Lines(text);
        ASSERT_EQ(text.back(), '\n') << t.name;
        const std::string name = t.name;
        if (name == "get-clusterinfo-slapd") {
            EXPECT_EQ(text.substr(0, 2), "\n#");
            EXPECT_EQ(text.substr(text.size() - 8), "exit 0\n\n");
            EXPECT_EQ(text.find("STARTED_FROM_KEL_CLUSTER"), std::string::npos);
            EXPECT_NE(text.find("\ninstance=\"/srv/ds/slapd-a\"\n"), std::string::npos);
            continue;
        }
        ASSERT_GE(lines.size(), 17u) << name;
        EXPECT_EQ(lines[0], "if [ \"STARTED_FROM_KEL_CLUSTER\" != \"$1\" ];") << name;
        EXPECT_EQ(lines[2], "    CLUSTERINFO=`/srv/ds/slapd-a/get-clusterinfo-slapd`") << name;
        EXPECT_EQ(lines[14], "    shift") << name;
        EXPECT_EQ(lines[15], "fi") << name;
        std::size_t switches = 0;
        for (const auto &l : lines) {
            if (l == "[ -x ./64/hv-slapd ] && [ \"`/usr/bin/getconf LONG_BIT 2> /dev/null`\" = 64 "
                     "] && cd ./64") {
                ++switches;
            }
        }
        EXPECT_EQ(switches, 1u) << name;
        EXPECT_NE(text.find("\ncd /srv/ds/bin/slapd/server\n"), std::string::npos) << name;
        EXPECT_EQ(text.find("%%"), std::string::npos) << name;
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 8u);
    std::string save = Render(hv::ScriptTemplates()[0]);
    EXPECT_NE(save.find("\nif [ \"$?\" -ge 1 ] \nthen\n"), std::string::npos);
    EXPECT_NE(save.find("/confbak/`date +%Y_%m_%d_%H%M%S`.ldif\n"), std::string::npos);
}

}  // namespace
