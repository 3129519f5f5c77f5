#include "common/string_format.h"

#include <gtest/gtest.h>

#include <string>

namespace hv {
namespace {

std::string AppendTo(std::string start, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
std::string AppendTo(std::string start, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    EXPECT_TRUE(AppendFormatV(&start, fmt, ap));
    va_end(ap);
    return start;
}

// Short texts take the stack buffer, long ones the second pass: both must
// give every byte, appended after what was there.
TEST(StringFormat, ShortAndLongTextsAppendInFull) {
    EXPECT_EQ(Format("%s=%d", "count", 42), "count=42");
    EXPECT_EQ(Format("%s", ""), "");
    EXPECT_EQ(AppendTo("line: ", "%d %s", 7, "x"), "line: 7 x");
    for (std::size_t n : {254u, 255u, 256u, 257u, 5000u}) {
        const std::string big(n, 'a');
        EXPECT_EQ(Format("%s", big.c_str()), big) << n;
        EXPECT_EQ(AppendTo("<", "%s>", big.c_str()), "<" + big + ">") << n;
    }
    // A NUL byte written by %c is part of the text.
    EXPECT_EQ(Format("a%cb", 0), std::string("a\0b", 3));
}

}  // namespace
}  // namespace hv
