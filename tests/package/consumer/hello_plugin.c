/* A plug-in as an outside author writes it against an installed hvds: the
 * published declarations only, no library of ours linked.  Its post-add
 * handler answers the client with the text given as its first argument. */
#include <hv/slapi-plugin.h>

static char *g_text = "";

static int hello_post_add(Slapi_PBlock *pb) {
    slapi_send_ldap_result(pb, LDAP_SUCCESS, NULL, g_text, 0, NULL);
    return 0;
}

__attribute__((visibility("default"))) int hello_init(Slapi_PBlock *pb) {
    int argc = 0;
    char **argv = NULL;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, &argc) != 0 ||
        slapi_pblock_get(pb, SLAPI_PLUGIN_ARGV, &argv) != 0 || argc < 1)
        return -1;
    g_text = slapi_ch_strdup(argv[0]);
    return slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, (void *)SLAPI_PLUGIN_VERSION_01) ||
           slapi_pblock_set(pb, SLAPI_PLUGIN_POST_ADD_FN, (void *)hello_post_add);
}
