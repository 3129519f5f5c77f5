/*
 * A post-operation plug-in that only reports what a host hands it: for each
 * add, modify and delete one line in a report file, naming the parameters it
 * could read and the results of the internal calls the counter plug-ins
 * rely on.  It lets the interoperability test state exactly which parts of
 * the published interface another server implements.
 *
 * Arguments: "report=<file>" (required), "attr=<attribute>" (optional: after
 * an add, the probe writes "1" into that attribute of the new entry with an
 * internal modify), "above=<dn>" (optional: a base searched on every add
 * whose result code is reported, for instance a DN above the suffix),
 * "modrdn=1" (optional: also one line for each modify-RDN, so that a test
 * can wait for the handlers of a move; off by default, so that the tests
 * that count add, modify and delete lines count only those).
 * They are copied at initialisation, because a host need not hand them to
 * each operation again.
 *
 * Built with PROBE_CALL_UNPROVIDED, it also calls slapi_entry_get_ndn and
 * slapi_is_loglevel_set, which a host may lack; loading it then shows how the
 * host reports a call it does not provide.
 *
 * Thread-safety: the settings are written once during initialisation; each
 * report line is one write() on an O_APPEND descriptor.
 */
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "hv/slapi-plugin.h"

#define PROBE_EXPORT __attribute__((visibility("default")))

static char *g_report;
static char *g_attr;
static char *g_above;
static char *g_modrdn;
static Slapi_Mutex *g_mutex;

static Slapi_PluginDesc g_desc = {"probe", "hv", "1", "Reports what the host hands to plug-ins"};

/* Appends to a bounded line; output that does not fit is cut, never overrun. */
struct line {
    char buf[4096];
    size_t len;
};

static void line_add(struct line *l, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
static void line_add(struct line *l, const char *fmt, ...) {
    size_t room = sizeof l->buf - l->len;
    if (room <= 1) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(l->buf + l->len, room, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    l->len += (size_t)n < room ? (size_t)n : room - 1;
}

static void line_emit(struct line *l) {
    if (g_report == NULL) return;
    if (l->len > sizeof l->buf - 2) l->len = sizeof l->buf - 2;
    l->buf[l->len++] = '\n';
    int fd = open(g_report, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t w = write(fd, l->buf, l->len);
    (void)w;
    close(fd);
}

/* "name=value" with value taken when name matches; the copy is ours. */
static void take_arg(const char *arg, const char *name, char **out) {
    size_t n = strlen(name);
    if (strncmp(arg, name, n) == 0 && arg[n] == '=') {
        free(*out);
        *out = strdup(arg + n + 1);
    }
}

static void report_int(struct line *l, Slapi_PBlock *pb, const char *name, int param) {
    int v = -12345;
    int rc = slapi_pblock_get(pb, param, &v);
    if (rc != 0)
        line_add(l, " %s=getfail(%d)", name, rc);
    else
        line_add(l, " %s=%d", name, v);
}

static void report_ptr(struct line *l, Slapi_PBlock *pb, const char *name, int param) {
    void *p = NULL;
    int rc = slapi_pblock_get(pb, param, &p);
    if (rc != 0)
        line_add(l, " %s=getfail(%d)", name, rc);
    else
        line_add(l, " %s=%s", name, p ? "yes" : "none");
}

/* Internal base search; reports result code and the number of entries, and
 * whether the first entry carries `want` (when given). */
static void report_search(struct line *l, const char *label, const char *base, const char *want) {
    char filter[] = "objectclass=*";
    char *attrs[2] = {want ? (char *)want : NULL, NULL};
    Slapi_PBlock *res =
        slapi_search_internal((char *)base, LDAP_SCOPE_BASE, filter, NULL, want ? attrs : NULL, 0);
    if (res == NULL) {
        line_add(l, " %s=noblock", label);
        return;
    }
    int rc = -1;
    Slapi_Entry **entries = NULL;
    int grc = slapi_pblock_get(res, SLAPI_PLUGIN_INTOP_RESULT, &rc);
    int gen = slapi_pblock_get(res, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries);
    int n = 0;
    while (entries != NULL && entries[n] != NULL) n++;
    line_add(l, " %s=rc:%d%s,n:%d%s", label, rc, grc ? "(getfail)" : "", n, gen ? "(getfail)" : "");
    if (want != NULL && n > 0) {
        char *v = slapi_entry_attr_get_charptr(entries[0], want);
        line_add(l, ",%s:%s", want, v ? v : "absent");
        slapi_ch_free_string(&v);
    }
    slapi_free_search_results_internal(res);
    slapi_pblock_destroy(res);
}

static void report_modify(struct line *l, const char *dn, const char *attr) {
    char value[] = "1";
    char *vals[2] = {value, NULL};
    LDAPMod mod = {LDAP_MOD_REPLACE, (char *)attr, {vals}};
    LDAPMod *mods[2] = {&mod, NULL};
    Slapi_PBlock *res = slapi_modify_internal((char *)dn, mods, NULL, 1);
    if (res == NULL) {
        line_add(l, " modify=noblock");
        return;
    }
    int rc = -1;
    int grc = slapi_pblock_get(res, SLAPI_PLUGIN_INTOP_RESULT, &rc);
    line_add(l, " modify=rc:%d%s", rc, grc ? "(getfail)" : "");
    slapi_pblock_destroy(res);
}

static void report_common(struct line *l, Slapi_PBlock *pb, const char *op, char **dn_out) {
    line_add(l, "op=%s", op);
    report_int(l, pb, "argc", SLAPI_PLUGIN_ARGC);
    report_int(l, pb, "oprc", SLAPI_PLUGIN_OPRETURN);
    report_int(l, pb, "repl", SLAPI_IS_REPLICATED_OPERATION);
    char *dn = NULL;
    int rc = slapi_pblock_get(pb, SLAPI_TARGET_DN, &dn);
    line_add(l, " target=%s", rc != 0 ? "getfail" : dn ? dn : "none");
    *dn_out = rc == 0 ? dn : NULL;
    report_ptr(l, pb, "pre", SLAPI_ENTRY_PRE_OP);
    report_ptr(l, pb, "post", SLAPI_ENTRY_POST_OP);
}

static int probe_add(Slapi_PBlock *pb) {
    struct line l = {.len = 0};
    char *dn = NULL;
    report_common(&l, pb, "add", &dn);
    report_ptr(&l, pb, "addentry", SLAPI_ADD_ENTRY);
    if (dn != NULL) {
        char *parent = slapi_dn_parent(dn);
        line_add(&l, " parent=%s", parent ? parent : "none");
        slapi_ch_free_string(&parent);
        if (g_attr != NULL) {
            slapi_lock_mutex(g_mutex);
            report_modify(&l, dn, g_attr);
            slapi_unlock_mutex(g_mutex);
        }
        report_search(&l, "base", dn, g_attr);
    }
    if (g_above != NULL) report_search(&l, "above", g_above, NULL);
#ifdef PROBE_CALL_UNPROVIDED
    Slapi_Entry *added = NULL;
    if (slapi_is_loglevel_set(SLAPI_LOG_PLUGIN) && slapi_pblock_get(pb, SLAPI_ADD_ENTRY, &added) == 0 &&
        added != NULL)
        line_add(&l, " ndn=%s", slapi_entry_get_ndn(added));
#endif
    slapi_log_error(SLAPI_LOG_PLUGIN, "probe", "probe saw add of %s\n", dn ? dn : "(none)");
    line_emit(&l);
    return 0;
}

static int probe_modify(Slapi_PBlock *pb) {
    struct line l = {.len = 0};
    char *dn = NULL;
    report_common(&l, pb, "modify", &dn);
    LDAPMod **mods = NULL;
    int rc = slapi_pblock_get(pb, SLAPI_MODIFY_MODS, &mods);
    if (rc != 0) {
        line_add(&l, " mods=getfail");
    } else {
        line_add(&l, " mods=");
        for (int i = 0; mods != NULL && mods[i] != NULL; i++)
            line_add(&l, "%s%d:%s", i ? "," : "", mods[i]->mod_op, mods[i]->mod_type);
    }
    line_emit(&l);
    return 0;
}

static int probe_delete(Slapi_PBlock *pb) {
    struct line l = {.len = 0};
    char *dn = NULL;
    report_common(&l, pb, "delete", &dn);
    line_emit(&l);
    return 0;
}

static int probe_modrdn(Slapi_PBlock *pb) {
    struct line l = {.len = 0};
    char *dn = NULL;
    report_common(&l, pb, "modrdn", &dn);
    char *sup = NULL;
    int rc = slapi_pblock_get(pb, SLAPI_MODRDN_NEWSUPERIOR, &sup);
    line_add(&l, " newsuperior=%s", rc != 0 ? "getfail" : sup ? sup : "none");
    line_emit(&l);
    return 0;
}

PROBE_EXPORT int probe_init(Slapi_PBlock *pb) {
    int argc = 0;
    char **argv = NULL;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, &argc) != 0 ||
        slapi_pblock_get(pb, SLAPI_PLUGIN_ARGV, &argv) != 0)
        return -1;
    for (int i = 0; i < argc && argv != NULL; i++) {
        take_arg(argv[i], "report", &g_report);
        take_arg(argv[i], "attr", &g_attr);
        take_arg(argv[i], "above", &g_above);
        take_arg(argv[i], "modrdn", &g_modrdn);
    }
    if (g_report == NULL) return -1;
    g_mutex = slapi_new_mutex();
    if (g_mutex == NULL) return -1;

    struct line l = {.len = 0};
    line_add(&l, "op=init argc=%d", argc);
    line_add(&l, " version=%d", slapi_pblock_set(pb, SLAPI_PLUGIN_VERSION, SLAPI_PLUGIN_VERSION_01));
    line_add(&l, " desc=%d", slapi_pblock_set(pb, SLAPI_PLUGIN_DESCRIPTION, &g_desc));
    line_add(&l, " addfn=%d", slapi_pblock_set(pb, SLAPI_PLUGIN_POST_ADD_FN, (void *)probe_add));
    line_add(&l, " modfn=%d", slapi_pblock_set(pb, SLAPI_PLUGIN_POST_MODIFY_FN, (void *)probe_modify));
    line_add(&l, " delfn=%d", slapi_pblock_set(pb, SLAPI_PLUGIN_POST_DELETE_FN, (void *)probe_delete));
    if (g_modrdn != NULL)
        line_add(&l, " modrdnfn=%d", slapi_pblock_set(pb, SLAPI_PLUGIN_POST_MODRDN_FN, (void *)probe_modrdn));
    line_emit(&l);
    slapi_log_error(SLAPI_LOG_PLUGIN, "probe", "probe loaded\n");
    return 0;
}
