#include "common/path_format.h"

#include <gtest/gtest.h>

#include <string>

namespace hv {
namespace {

TEST(FormatPath, RefusesWhatDoesNotFitTheBuffer) {
    std::string out;
    std::string longest(kPathBufferSize - 1, 'a');
    EXPECT_TRUE(FormatPath(&out, "%s", longest.c_str()));
    EXPECT_EQ(out, longest);
    std::string too_long(kPathBufferSize, 'a');
    EXPECT_FALSE(FormatPath(&out, "%s", too_long.c_str()));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(FormatPath(&out, "%s/%s", longest.c_str(), "x"));
}

TEST(StrcmpiFast, FoldsAsciiLettersOnly) {
    EXPECT_EQ(strcmpi_fast("-DownGrade", "-downgrade"), 0);
    EXPECT_EQ(strcmpi_fast("", ""), 0);
    EXPECT_LT(strcmpi_fast("abc", "abd"), 0);
    EXPECT_GT(strcmpi_fast("abc", "ab"), 0);
    EXPECT_LT(strcmpi_fast("ab", "abc"), 0);
    // Bytes above 127 are compared unsigned and never folded.
    EXPECT_NE(strcmpi_fast("\xc3\x84", "\xc3\xa4"), 0);
    EXPECT_GT(strcmpi_fast("\xff", "a"), 0);
    // '[' (91) is not folded to '{' (123).
    EXPECT_NE(strcmpi_fast("[", "{"), 0);
}

}  // namespace
}  // namespace hv
