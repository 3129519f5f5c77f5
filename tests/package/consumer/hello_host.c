/* A program that plays the server's part, built against an installed
 * hvds.  Exit status 0 when the plug-in did its work:
 *
 *   hello_host PLUGIN               loads hello_plugin.so, adds an entry and
 *                                   checks that the handler answered
 *   hello_host --nodetally PLUGIN   loads the installed nodetally.so, adds a
 *                                   holder and an entry below it and checks
 *                                   the holder's count */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <hv/slapi-host.h>

static int Add(const char *ldif, hv_op_result *res) {
    if (hv_op_add_ldif(ldif, 0, res) == 0) return 0;
    fprintf(stderr, "the add failed:\n%s", ldif);
    return 1;
}

static int Hello(const char *path) {
    char text[] = "hello from the plug-in";
    char *args[] = {text, NULL};
    if (hv_plugin_load(path, "hello_init", 1, args, RTLD_LOCAL, NULL) != 0) return 1;
    hv_op_result res;
    if (Add("dn: dc=example\nobjectclass: domain\ndc: example\n", &res) != 0) return 1;
    if (!res.sent || strcmp(res.text, text) != 0) {
        fprintf(stderr, "the plug-in did not answer (sent %d, text '%s')\n", res.sent, res.text);
        return 1;
    }
    printf("%s\n", res.text);
    return 0;
}

static int Nodetally(const char *path) {
    char a0[] = "counterAttribute=description", a1[] = "counterObjectClass=domain",
         a2[] = "requiredObjectClass=person";
    char *args[] = {a0, a1, a2, NULL};
    if (hv_plugin_load(path, "HVSubtreeEntryCounterPostOp_Init", 3, args, RTLD_LOCAL, NULL) != 0)
        return 1;
    if (Add("dn: dc=example\nobjectclass: domain\ndc: example\n", NULL) != 0 ||
        Add("dn: cn=a,dc=example\nobjectclass: person\ncn: a\nsn: a\n", NULL) != 0)
        return 1;
    Slapi_Entry *holder = hv_dir_get_entry("dc=example");
    char *count = holder == NULL ? NULL : slapi_entry_attr_get_charptr(holder, "description");
    int ok = count != NULL && strcmp(count, "1") == 0;
    printf("dc=example counts %s\n", count == NULL ? "nothing" : count);
    slapi_ch_free_string(&count);
    slapi_entry_free(holder);
    return ok ? 0 : 1;
}

int main(int argc, char **argv) {
    if (hv_dir_add_suffix("dc=example") != 0) return 1;
    if (argc == 2) return Hello(argv[1]);
    if (argc == 3 && strcmp(argv[1], "--nodetally") == 0) return Nodetally(argv[2]);
    fprintf(stderr, "usage: %s PLUGIN | --nodetally PLUGIN\n", argv[0]);
    return 2;
}
