#include "migrate/script_templates.h"

#include <gtest/gtest.h>

#include <cstdio>
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

}  // namespace
