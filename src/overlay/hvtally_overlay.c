/* hvtally: a slapd overlay that serves the counters of nodetally and
 * attrtally computed from the database itself, whenever a search returns a
 * counter.
 *
 * Each server derives its counters from its own entries, replicated ones
 * included, and never stores or replicates them: with several providers
 * taking writes at once there is no counter value that replication could
 * overwrite or apply twice, and once the servers hold the same entries they
 * serve the same counters.  The rule is hvtally's (tally_core.h), so that
 * `hvtally check` on any server finds every counter right.
 *
 *   moduleload /usr/lib/hvds/slapd/hvtally_overlay.so
 *   database mdb
 *   ...
 *   overlay hvtally
 *   hvtally nodetally counterAttribute=hvEntryCount counterObjectClass=hvCounterHolder requiredObjectClass=hvCounted
 *   hvtally attrtally memberAttribute=hvMember counterAttribute=hvMemberCount requiredObjectClass=hvGroup updateParents=true
 *
 * Cost: each counter returned is one subtree search below its entry, run as
 * the database's root DN straight on the backend (below every overlay). */
#include "portable.h"

#include <stdio.h>

#include <ac/string.h>

#include "slap.h"
#include "slap-config.h"

#include "overlay/tally_core.h"

#define HV_EXPORT __attribute__((visibility("default")))

typedef struct hvtally_rule {
    struct hvtally_rule *next;
    hv_tally_rule *rule;
    struct berval text; /* as configured, for cn=config */
    AttributeDescription *counter_ad;
    AttributeDescription *member_ad; /* NULL for nodetally */
    ObjectClass *holder_oc;
} hvtally_rule;

static void rule_free(hvtally_rule *r) {
    hv_tally_rule_free(r->rule);
    ch_free(r->text.bv_val);
    ch_free(r);
}

static int hvtally_cf(ConfigArgs *c);

static ConfigTable hvtally_cfg[] = {
    {"hvtally", "plugin> <name=value", 3, 0, 0, ARG_MAGIC, hvtally_cf,
     "( 1.3.6.1.4.1.55555.3.1 NAME 'hvTallyRule' "
     "DESC 'A counter: nodetally or attrtally and its arguments' "
     "EQUALITY caseIgnoreMatch "
     "SYNTAX OMsDirectoryString )",
     NULL, NULL},
    {NULL, NULL, 0, 0, 0, ARG_IGNORED}};

static ConfigOCs hvtally_ocs[] = {{"( 1.3.6.1.4.1.55555.3.2 "
                                   "NAME 'hvTallyConfig' "
                                   "DESC 'Counters computed from the database' "
                                   "SUP olcOverlayConfig "
                                   "MAY hvTallyRule )",
                                   Cft_Overlay, hvtally_cfg},
                                  {NULL, 0, NULL}};

static int config_error(ConfigArgs *c, const char *what, const char *detail) {
    snprintf(c->cr_msg, sizeof(c->cr_msg), "%s: %s%s%s", c->argv[0], what, detail ? ": " : "",
             detail ? detail : "");
    Debug(LDAP_DEBUG_CONFIG | LDAP_DEBUG_NONE, "%s: %s\n", c->log, c->cr_msg);
    return ARG_BAD_CONF;
}

static int hvtally_add(ConfigArgs *c, slap_overinst *on) {
    char why[256];
    hvtally_rule *r, **tail;
    const char *text = NULL, *member;
    struct berval joined;
    size_t len = 0;
    int i;

    r = ch_calloc(1, sizeof(*r));
    r->rule = hv_tally_rule_parse(c->argc - 1, c->argv + 1, why, sizeof(why));
    if (r->rule == NULL) {
        ch_free(r);
        return config_error(c, "not a counter", why);
    }
    if (slap_str2ad(hv_tally_rule_counter(r->rule), &r->counter_ad, &text) != LDAP_SUCCESS) {
        rule_free(r);
        return config_error(c, "unknown counter attribute", text);
    }
    member = hv_tally_rule_member(r->rule);
    if (member != NULL && slap_str2ad(member, &r->member_ad, &text) != LDAP_SUCCESS) {
        rule_free(r);
        return config_error(c, "unknown member attribute", text);
    }
    r->holder_oc = oc_find(hv_tally_rule_holder_class(r->rule));
    if (r->holder_oc == NULL) {
        rule_free(r);
        return config_error(c, "unknown object class", hv_tally_rule_holder_class(r->rule));
    }
    for (i = 1; i < c->argc; i++) len += strlen(c->argv[i]) + 1;
    joined.bv_val = ch_malloc(len);
    joined.bv_len = 0;
    for (i = 1; i < c->argc; i++) {
        size_t n = strlen(c->argv[i]);
        if (i > 1) joined.bv_val[joined.bv_len++] = ' ';
        memcpy(joined.bv_val + joined.bv_len, c->argv[i], n);
        joined.bv_len += n;
    }
    joined.bv_val[joined.bv_len] = '\0';
    r->text = joined;
    for (tail = (hvtally_rule **)&on->on_bi.bi_private; *tail != NULL; tail = &(*tail)->next) {
    }
    *tail = r;
    return 0;
}

static int hvtally_cf(ConfigArgs *c) {
    slap_overinst *on = (slap_overinst *)c->bi;
    hvtally_rule *r, **link;
    int i;

    switch (c->op) {
    case SLAP_CONFIG_EMIT:
        for (r = on->on_bi.bi_private; r != NULL; r = r->next) {
            struct berval bv;
            ber_dupbv(&bv, &r->text);
            ber_bvarray_add(&c->rvalue_vals, &bv);
        }
        return 0;
    case LDAP_MOD_DELETE:
        link = (hvtally_rule **)&on->on_bi.bi_private;
        for (i = 0; *link != NULL;) {
            r = *link;
            if (c->valx == -1 || i == c->valx) {
                *link = r->next;
                rule_free(r);
            } else {
                link = &r->next;
            }
            i++;
        }
        return 0;
    case SLAP_CONFIG_ADD:
    case LDAP_MOD_ADD:
        return hvtally_add(c, on);
    }
    return 1;
}

static int hvtally_db_destroy(BackendDB *be, ConfigReply *cr) {
    slap_overinst *on = (slap_overinst *)be->bd_info;
    hvtally_rule *r;
    (void)cr;
    while ((r = on->on_bi.bi_private) != NULL) {
        on->on_bi.bi_private = r->next;
        rule_free(r);
    }
    return 0;
}

typedef struct {
    hv_tally_count *count;
    AttributeDescription *member_ad;
    int failed;
} collect_state;

static hv_tally_text text_of(struct berval *bv) {
    hv_tally_text t;
    t.ptr = bv->bv_val;
    t.len = bv->bv_len;
    return t;
}

/* Each entry of the internal search goes into the recount; nothing is sent. */
static int hvtally_collect(Operation *op, SlapReply *rs) {
    collect_state *st = op->o_callback->sc_private;
    Attribute *oc, *member;
    hv_tally_text *classes = NULL;
    unsigned n = 0, i;
    long members = 0;

    if (rs->sr_type != REP_SEARCH || rs->sr_entry == NULL || st->failed) return 0;
    oc = attr_find(rs->sr_entry->e_attrs, slap_schema.si_ad_objectClass);
    if (oc != NULL && oc->a_numvals > 0) {
        n = oc->a_numvals;
        classes = op->o_tmpalloc(n * sizeof(*classes), op->o_tmpmemctx);
        for (i = 0; i < n; i++) classes[i] = text_of(&oc->a_vals[i]);
    }
    if (st->member_ad != NULL) {
        member = attr_find(rs->sr_entry->e_attrs, st->member_ad);
        if (member != NULL) members = member->a_numvals;
    }
    if (hv_tally_count_add(st->count, text_of(&rs->sr_entry->e_nname), classes, n, members) != 0) st->failed = 1;
    if (classes != NULL) op->o_tmpfree(classes, op->o_tmpmemctx);
    return 0;
}

/* The counter of holder under rule r, recounted now from the backend; -1 on
 * failure. */
static long hvtally_compute(Operation *op, slap_overinst *on, hvtally_rule *r, Entry *holder) {
    Operation op2 = *op;
    SlapReply rs2 = {REP_RESULT};
    slap_callback cb = {0};
    BackendDB db = *op->o_bd;
    collect_state st = {0};
    long value = -1;
    int rc;

    st.count = hv_tally_count_new(r->rule);
    if (st.count == NULL) return -1;
    st.member_ad = r->member_ad;
    cb.sc_response = hvtally_collect;
    cb.sc_private = &st;

    db.bd_info = on->on_info->oi_orig;
    op2.o_bd = &db;
    op2.o_tag = LDAP_REQ_SEARCH;
    op2.o_callback = &cb;
    op2.o_dn = op->o_bd->be_rootdn;
    op2.o_ndn = op->o_bd->be_rootndn;
    op2.o_req_dn = holder->e_name;
    op2.o_req_ndn = holder->e_nname;
    op2.ors_scope = LDAP_SCOPE_SUBTREE;
    op2.ors_deref = LDAP_DEREF_NEVER;
    op2.ors_attrs = NULL;
    op2.ors_attrsonly = 0;
    op2.ors_limit = NULL;
    op2.ors_slimit = SLAP_NO_LIMIT;
    op2.ors_tlimit = SLAP_NO_LIMIT;
    op2.o_do_not_cache = 1;
    /* None of the client's controls (paged results, assertion, ...) apply. */
    memset(op2.o_ctrlflag, 0, sizeof(op2.o_ctrlflag));
    ber_str2bv(hv_tally_rule_filter(r->rule), 0, 0, &op2.ors_filterstr);
    op2.ors_filter = str2filter_x(op, op2.ors_filterstr.bv_val);
    if (op2.ors_filter != NULL) {
        rc = db.bd_info->bi_op_search(&op2, &rs2);
        if (rc == LDAP_SUCCESS && rs2.sr_err == LDAP_SUCCESS && !st.failed)
            value = hv_tally_count_value(st.count, text_of(&holder->e_nname));
        filter_free_x(op, op2.ors_filter, 1);
    }
    hv_tally_count_free(st.count);
    return value;
}

/* Whether the client asked for the attribute (by name, or all of its kind). */
static int requested(AttributeDescription *ad, SlapReply *rs) {
    if (rs->sr_attrs == NULL) return !is_at_operational(ad->ad_type);
    if (ad_inlist(ad, rs->sr_attrs)) return 1;
    if (is_at_operational(ad->ad_type)) return an_find(rs->sr_attrs, slap_bv_all_operational_attrs);
    return an_find(rs->sr_attrs, slap_bv_all_user_attrs);
}

static int hvtally_response(Operation *op, SlapReply *rs) {
    slap_overinst *on = (slap_overinst *)op->o_bd->bd_info;
    hvtally_rule *r;

    /* Replication carries entries, never counters: each server computes its
     * own.  Neither the entries a provider sends (o_sync) nor those a
     * consumer reads back before applying a change (its searches run on the
     * syncrepl connection) get a counter: the consumer would take the
     * computed value for stored data and try to remove it. */
    if (rs->sr_type != REP_SEARCH || rs->sr_entry == NULL || op->o_sync != SLAP_CONTROL_NONE ||
        SLAPD_SYNC_IS_SYNCCONN(op->o_connid))
        return SLAP_CB_CONTINUE;
    for (r = on->on_bi.bi_private; r != NULL; r = r->next) {
        char buf[32];
        struct berval bv;
        long value;

        if (!is_entry_objectclass(rs->sr_entry, r->holder_oc, 0) || !requested(r->counter_ad, rs)) continue;
        value = hvtally_compute(op, on, r, rs->sr_entry);
        rs_entry2modifiable(op, rs, on);
        /* A stored value (written by the plug-ins, or by hand) is never
         * served: the computed one replaces it. */
        attr_delete(&rs->sr_entry->e_attrs, r->counter_ad);
        if (value < 0) {
            Debug(LDAP_DEBUG_ANY, "hvtally: cannot count %s below \"%s\"; the counter is left out\n",
                  r->counter_ad->ad_cname.bv_val, rs->sr_entry->e_name.bv_val);
            continue;
        }
        bv.bv_val = buf;
        bv.bv_len = (ber_len_t)snprintf(buf, sizeof(buf), "%ld", value);
        attr_merge_one(rs->sr_entry, r->counter_ad, &bv, NULL);
    }
    return SLAP_CB_CONTINUE;
}

static slap_overinst hvtally;

HV_EXPORT int init_module(int argc, char *argv[]) {
    int rc;
    (void)argc;
    (void)argv;
    hvtally.on_bi.bi_type = "hvtally";
    hvtally.on_bi.bi_flags = SLAPO_BFLAG_SINGLE;
    hvtally.on_bi.bi_db_destroy = hvtally_db_destroy;
    hvtally.on_bi.bi_cf_ocs = hvtally_ocs;
    hvtally.on_response = hvtally_response;
    rc = config_register_schema(hvtally_cfg, hvtally_ocs);
    if (rc != 0) return rc;
    return overlay_register(&hvtally);
}
