#include "migrate/discovery.h"

#include <dirent.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/server_root.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

// The names of a list, from its head; frees it.
std::vector<std::string> Drain(slapd_instance *head) {
    std::vector<std::string> names;
    for (slapd_instance *r = head; r != nullptr; r = r->next) names.emplace_back(r->name);
    free_slapd_instance(&head);
    EXPECT_EQ(head, nullptr);
    return names;
}

// What the scan should give: "slapd-" entries in the reverse of the listing
// order.
std::vector<std::string> ExpectedOrder(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = readdir(d))
        if (std::strncmp(e->d_name, "slapd-", 6) == 0) names.insert(names.begin(), e->d_name);
    closedir(d);
    return names;
}

TEST(Discovery, ScanFindsInstanceDirectoriesInReverseListingOrder) {
    hvtest::ServerRoot root;
    for (const char *name : {"slapd-a", "slapd-b", "slapd-c", "SLAPD-upper", "hv-admin"})
        root.AddInstance(name);
    hvtest::WriteFile(root.Join("readme"), "x");
    CaptureStderr();
    std::vector<std::string> names = Drain(init_slapd_instance(root.path().c_str(), nullptr));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(names.size(), 3u);
    EXPECT_EQ(names, ExpectedOrder(root.path()));
}

TEST(Discovery, NamedInstanceNeedNotCarryThePrefix) {
    hvtest::ServerRoot root;
    root.AddInstance("custom");
    EXPECT_EQ(Drain(init_slapd_instance(root.path().c_str(), "custom")), std::vector<std::string>{"custom"});
}

TEST(Discovery, FailuresNameThePathAndGiveNoList) {
    hvtest::ServerRoot root;
    CaptureStderr();
    EXPECT_EQ(init_slapd_instance(root.path().c_str(), nullptr), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");

    CaptureStderr();
    EXPECT_EQ(init_slapd_instance(root.path().c_str(), "slapd-none"), nullptr);
    EXPECT_EQ(GetCapturedStderr(), root.Join("slapd-none") + " could not be accessed, error -1\n");

    root.AddInstance("slapd-a");
    hvtest::WriteFile(root.Join("slapd-file"), "x");
    CaptureStderr();
    EXPECT_EQ(init_slapd_instance(root.path().c_str(), nullptr), nullptr);
    EXPECT_EQ(GetCapturedStderr(), root.Join("slapd-file") + " is not a directory.\n");

    CaptureStderr();
    EXPECT_EQ(init_slapd_instance(root.Join("slapd-file").c_str(), nullptr), nullptr);
    EXPECT_EQ(GetCapturedStderr(), root.Join("slapd-file") + " is not a directory.\n");

    std::string too_long(1024, 'r');
    CaptureStderr();
    EXPECT_EQ(init_slapd_instance(too_long.c_str(), nullptr), nullptr);
    EXPECT_EQ(GetCapturedStderr(), too_long + ": path too long, at most 1023 bytes\n");

    CaptureStderr();
    EXPECT_EQ(init_slapd_instance(root.path().c_str(), std::string(1024, 'i').c_str()), nullptr);
    EXPECT_NE(GetCapturedStderr().find("path too long"), std::string::npos);
}

TEST(Discovery, RecordsCopyTheirName) {
    EXPECT_EQ(create_slapd_instance(nullptr), nullptr);
    std::string name = "slapd-x";
    slapd_instance *r = create_slapd_instance(name.c_str());
    name[0] = 'X';
    EXPECT_STREQ(r->name, "slapd-x");
    EXPECT_EQ(r->next, nullptr);
    free_slapd_instance(&r);
    free_slapd_instance(nullptr);
}

}  // namespace
