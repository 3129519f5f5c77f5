/* A program that plays the server's part, built against an installed
 * hvds: loads the plug-in named on its command line, adds an entry and
 * checks that the plug-in's handler answered.  Exit status 0 when it did. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <hv/slapi-host.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PLUGIN\n", argv[0]);
        return 2;
    }
    char text[] = "hello from the plug-in";
    char *args[] = {text, NULL};
    hv_plugin *p = NULL;
    if (hv_plugin_load(argv[1], "hello_init", 1, args, RTLD_LOCAL, &p) != 0) return 1;
    hv_op_result res;
    if (hv_dir_add_suffix("dc=example") != 0 ||
        hv_op_add_ldif("dn: dc=example\nobjectclass: top\nobjectclass: domain\ndc: example\n", 0,
                       &res) != 0) {
        fprintf(stderr, "the add failed\n");
        return 1;
    }
    if (!res.sent || strcmp(res.text, text) != 0) {
        fprintf(stderr, "the plug-in did not answer (sent %d, text '%s')\n", res.sent, res.text);
        return 1;
    }
    printf("%s\n", res.text);
    return 0;
}
