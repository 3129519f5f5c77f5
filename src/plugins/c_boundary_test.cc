// No C++ exception leaves a plug-in for the C server that called it.
#include "plugins/c_boundary.h"

#include <new>
#include <stdexcept>

#include "plugins/plugin_test_env.h"

namespace hv::plugins {
namespace {

constexpr char kSubsystem[] = "boundary";

int Throws(Slapi_PBlock *) { throw std::bad_alloc(); }
int Answers(Slapi_PBlock *) { return 7; }

class CBoundaryTest : public testing::PluginHostTest {};

TEST_F(CBoundaryTest, ExceptionsBecomeALoggedFailure) {
    EXPECT_EQ(CallFromC(kSubsystem, -1, [] { return 3; }), 3);
    EXPECT_EQ(LogLines().size(), 0u);

    EXPECT_EQ(CallFromC(kSubsystem, -1, []() -> int { throw std::runtime_error("no counter"); }), -1);
    EXPECT_TRUE(Logged("boundary - unexpected failure: no counter")) << LogText();
    EXPECT_EQ(CallFromC<const char *>(kSubsystem, nullptr, []() -> const char * { throw 42; }), nullptr);
    EXPECT_TRUE(Logged("boundary - unexpected failure")) << LogText();

    // What the server calls: a plain C function pointer that never throws.
    Slapi_PluginFunc handler = &GuardedHandler<kSubsystem, Throws>;
    EXPECT_EQ(handler(nullptr), -1);
    EXPECT_EQ(CountContaining("unexpected failure: std::bad_alloc"), 1) << LogText();
    handler = &GuardedHandler<kSubsystem, Answers>;
    EXPECT_EQ(handler(nullptr), 7);
}

}  // namespace
}  // namespace hv::plugins
