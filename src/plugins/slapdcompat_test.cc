// slapdcompat.so in our own host, which needs it not: the host offers no
// operation extension, so the plug-in refuses to load, saying why; its
// arguments are checked before that.  Its work in OpenLDAP slapd is tested
// in tests/openldap/compat_test.cc.
#include "plugins/plugin_test_env.h"

namespace hv::plugins::testing {
namespace {

class SlapdCompatTest : public PluginHostTest {
  protected:
    int LoadCompat(std::vector<std::string> args) {
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        hv_plugin *p = nullptr;
        return hv_plugin_load(PluginPath("slapdcompat").c_str(), "SlapdCompat_Init", static_cast<int>(args.size()),
                              argv.data(), 0, &p);
    }
};

TEST_F(SlapdCompatTest, ArgumentsAreCheckedAndThisHostOffersNoOperationExtension) {
    EXPECT_EQ(LoadCompat({"lockTimeout=10"}), -1);
    EXPECT_TRUE(Logged("SlapdCompat_Init - cannot register the operation extension")) << LogText();
    ClearLog();
    EXPECT_EQ(LoadCompat({"lockTimeout=10s"}), -1);
    EXPECT_TRUE(Logged("SlapdCompat_Init - lockTimeout must be a number of seconds from 0 to 86400, not \"10s\""))
        << LogText();
    ClearLog();
    EXPECT_EQ(LoadCompat({"lockTimeout=-1"}), -1);
    EXPECT_EQ(CountContaining("lockTimeout must be"), 1) << LogText();
    ClearLog();
    EXPECT_EQ(LoadCompat({"stopTimeout=soon"}), -1);
    EXPECT_TRUE(Logged("SlapdCompat_Init - stopTimeout must be a number of seconds from 0 to 86400, not \"soon\""))
        << LogText();
    ClearLog();
    EXPECT_EQ(LoadCompat({"timeout=5"}), -1);
    EXPECT_TRUE(Logged("SlapdCompat_Init - unknown argument \"timeout=5\"")) << LogText();
    EXPECT_EQ(CountContaining("operation extension"), 0) << LogText();
}

}  // namespace
}  // namespace hv::plugins::testing
