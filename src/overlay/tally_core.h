/* The counters' rule for the slapd overlay, in C: the overlay is written
 * against slapd's C headers, the rule is the C++ one that hvtally recounts
 * with (tools/tally_count.h), so that the overlay's values and hvtally's
 * recount cannot differ.
 *
 * Thread-safety: a rule is immutable once parsed and may be shared; a count
 * belongs to one thread.  No function lets an exception out. */
#ifndef HV_OVERLAY_TALLY_CORE_H
#define HV_OVERLAY_TALLY_CORE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct hv_tally_rule hv_tally_rule;
typedef struct hv_tally_count hv_tally_count;

typedef struct hv_tally_text {
    const char *ptr;
    size_t len;
} hv_tally_text;

/* argv[0] is "nodetally" or "attrtally", the rest the plug-in's arguments
 * ("name=value"), read as the plug-in and hvtally read them.  Returns the
 * rule (free with hv_tally_rule_free), or NULL with a message in error
 * (NUL-terminated, cut to error_size). */
hv_tally_rule *hv_tally_rule_parse(int argc, char **argv, char *error, size_t error_size);
void hv_tally_rule_free(hv_tally_rule *rule);

/* Names the rule uses; owned by the rule.  member is NULL for nodetally. */
const char *hv_tally_rule_counter(const hv_tally_rule *rule);
const char *hv_tally_rule_holder_class(const hv_tally_rule *rule);
const char *hv_tally_rule_member(const hv_tally_rule *rule);
/* An LDAP filter selecting at least every entry the rule looks at. */
const char *hv_tally_rule_filter(const hv_tally_rule *rule);

/* A recount of one subtree.  NULL when out of memory. */
hv_tally_count *hv_tally_count_new(const hv_tally_rule *rule);
/* One entry of the subtree: its normalized DN, its object classes and its
 * number of member values.  0, or -1 when out of memory (the count is then
 * unusable). */
int hv_tally_count_add(hv_tally_count *count, hv_tally_text ndn, const hv_tally_text *classes,
                       size_t nclasses, long member_values);
/* The value of the counter the entry ndn carries, counted over the entries
 * added; -1 when ndn was not added, carries no counter, or on failure.
 * Ends the count: call it once, then only hv_tally_count_free. */
long hv_tally_count_value(hv_tally_count *count, hv_tally_text ndn);
void hv_tally_count_free(hv_tally_count *count);

#ifdef __cplusplus
}
#endif

#endif /* HV_OVERLAY_TALLY_CORE_H */
