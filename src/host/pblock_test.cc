// Parameter blocks: every parameter number, ownership, caller-held blocks.
// (host_impl.h only for the host-private parameter numbers.)
#include <gtest/gtest.h>

#include <string>

#include "host/host_impl.h"
#include "hv/slapi-host.h"

namespace {

int Handler(Slapi_PBlock *) { return 0; }

TEST(PBlock, IntParameters) {
    Slapi_PBlock *pb = slapi_pblock_new();
    for (int arg : {SLAPI_PLUGIN_ARGC, SLAPI_PLUGIN_OPRETURN, SLAPI_PLUGIN_INTOP_RESULT,
                    SLAPI_IS_REPLICATED_OPERATION, int(hv::kPbResultSent), int(hv::kPbResultCode)}) {
        int v = -7;
        EXPECT_EQ(slapi_pblock_get(pb, arg, &v), 0) << arg;
        EXPECT_EQ(v, 0) << arg;
        int set = arg * 3 + 1;
        EXPECT_EQ(slapi_pblock_set(pb, arg, &set), 0) << arg;
        EXPECT_EQ(slapi_pblock_get(pb, arg, &v), 0);
        EXPECT_EQ(v, set) << arg;
    }
    slapi_pblock_destroy(pb);
}

TEST(PBlock, PointerParametersAreReferences) {
    Slapi_PBlock *pb = slapi_pblock_new();
    char dn[] = "cn=x,dc=example";
    char *argv[] = {dn, nullptr};
    Slapi_PluginDesc desc{};
    Slapi_Entry *e = slapi_entry_alloc();
    Slapi_Entry *entries[] = {e, nullptr};
    LDAPMod *mods[] = {nullptr};
    char version[] = SLAPI_PLUGIN_VERSION_01;
    struct {
        int arg;
        void *value;
    } cases[] = {{SLAPI_PLUGIN_ARGV, argv},
                 {SLAPI_PLUGIN_VERSION, version},
                 {SLAPI_PLUGIN_DESCRIPTION, &desc},
                 {SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, entries},
                 {SLAPI_TARGET_DN, dn},
                 {SLAPI_ENTRY_PRE_OP, e},
                 {SLAPI_ENTRY_POST_OP, e},
                 {SLAPI_ADD_ENTRY, e},
                 {SLAPI_MODIFY_MODS, mods}};
    for (const auto &c : cases) {
        void *got = &got;
        EXPECT_EQ(slapi_pblock_get(pb, c.arg, &got), 0) << c.arg;
        EXPECT_EQ(got, nullptr) << c.arg;
        EXPECT_EQ(slapi_pblock_set(pb, c.arg, c.value), 0) << c.arg;
        EXPECT_EQ(slapi_pblock_get(pb, c.arg, &got), 0);
        EXPECT_EQ(got, c.value) << c.arg;
    }
    // Destroying the block frees none of them (the sanitizer run would
    // report a double free of e below otherwise).
    slapi_pblock_destroy(pb);
    slapi_entry_free(e);
    EXPECT_STREQ(dn, "cn=x,dc=example");
}

TEST(PBlock, FunctionsUnknownNumbersAndNullBlocks) {
    Slapi_PBlock *pb = slapi_pblock_new();
    for (int arg : {SLAPI_PLUGIN_POST_ADD_FN, SLAPI_PLUGIN_POST_MODIFY_FN, SLAPI_PLUGIN_POST_DELETE_FN}) {
        Slapi_PluginFunc f = Handler;
        EXPECT_EQ(slapi_pblock_get(pb, arg, &f), 0);
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(slapi_pblock_set(pb, arg, reinterpret_cast<void *>(Handler)), 0);
        EXPECT_EQ(slapi_pblock_get(pb, arg, &f), 0);
        EXPECT_EQ(f, Handler);
    }
    int v = 0;
    EXPECT_EQ(slapi_pblock_get(pb, 4242, &v), -1);
    EXPECT_EQ(slapi_pblock_set(pb, 4242, &v), -1);
    EXPECT_EQ(slapi_pblock_set(pb, SLAPI_PLUGIN_ARGC, nullptr), -1);
    EXPECT_EQ(slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, nullptr), -1);
    EXPECT_EQ(slapi_pblock_get(nullptr, SLAPI_PLUGIN_ARGC, &v), -1);
    EXPECT_EQ(slapi_pblock_set(nullptr, SLAPI_PLUGIN_ARGC, &v), -1);
    slapi_pblock_destroy(pb);
    slapi_pblock_destroy(nullptr);
}

TEST(PBlock, ResultTextIsCopied) {
    Slapi_PBlock *pb = slapi_pblock_new();
    std::string text = "counter write refused";
    EXPECT_EQ(slapi_pblock_set(pb, hv::kPbResultText, text.data()), 0);
    text.assign("changed");
    char *got = nullptr;
    EXPECT_EQ(slapi_pblock_get(pb, hv::kPbResultText, &got), 0);
    EXPECT_STREQ(got, "counter write refused");
    slapi_pblock_destroy(pb);
}

TEST(PBlock, CallerHeldBlock) {
    Slapi_PBlock pb;
    pblock_init(&pb);
    int rc = 32;
    EXPECT_EQ(slapi_pblock_set(&pb, SLAPI_PLUGIN_INTOP_RESULT, &rc), 0);
    int got = 0;
    EXPECT_EQ(slapi_pblock_get(&pb, SLAPI_PLUGIN_INTOP_RESULT, &got), 0);
    EXPECT_EQ(got, 32);
    pblock_done(&pb);
    EXPECT_EQ(pb.pb_impl, nullptr);
    EXPECT_EQ(slapi_pblock_get(&pb, SLAPI_PLUGIN_INTOP_RESULT, &got), -1);
    pblock_done(&pb);  // twice is harmless
}

}  // namespace
