// hvtally's live source: a server reached with libldap.  Entries are read
// with paged results (RFC 2696); each counter is written with a modify that
// replaces it under an assertion (RFC 4528) that it still holds the value
// read, so that a counted operation landing meanwhile is never overwritten.
#include <strings.h>
#include <sys/time.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hv/slapi-plugin.h"
#include "tools/tally_source.h"

namespace hv::tally {

namespace {

constexpr int kMaxAttempts = 50;  // fresh reads of one counter whose assertion keeps failing
constexpr std::chrono::milliseconds kSettle(100);  // between the two readings of a counter

struct LdapCloser {
    void operator()(LDAP *ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using LdapHandle = std::unique_ptr<LDAP, LdapCloser>;

struct MsgFree {
    void operator()(LDAPMessage *m) const { ldap_msgfree(m); }
};
using Message = std::unique_ptr<LDAPMessage, MsgFree>;

// Normalized, case-folded DN by the host library's rules, as the file
// source gets them.
std::string Normalized(const char *dn) {
    std::string copy(dn);
    slapi_dn_normalize_case(copy.data());
    return std::string(copy.c_str());
}

std::string EscapeFilterValue(const std::string &v) {
    struct berval in {v.size(), const_cast<char *>(v.data())};
    struct berval out {};
    if (ldap_bv2escaped_filter_value(&in, &out) != 0) return {};
    std::string s(out.bv_val, out.bv_len);
    ber_memfree(out.bv_val);
    return s;
}

class LdapSource : public Source {
  public:
    LdapSource(const Rule &rule, const LdapOptions &opt, LdapHandle ld)
        : rule_(rule), opt_(opt), ld_(std::move(ld)) {}

    bool Scan(Recount *recount, const ProgressTick &tick, std::string *error) override {
        long n = 0;
        return Search(opt_.base, LDAP_SCOPE_SUBTREE, rule_.Filter(),
                      [&](const EntryView &v) {
                          recount->Add(v);
                          if (tick) tick(++n);
                      },
                      error);
    }

    bool Repair(const std::vector<CounterState> &wrong, const ChangeReport &report,
                std::string *error) override {
        for (const CounterState &c : wrong) {
            if (!RepairOne(c, report, error)) return false;
        }
        return true;
    }

    bool Live() const override { return true; }

  private:
    std::string Diagnostic(int rc) const {
        std::string text = ldap_err2string(rc);
        char *diag = nullptr;
        if (ldap_get_option(ld_.get(), LDAP_OPT_DIAGNOSTIC_MESSAGE, &diag) == LDAP_OPT_SUCCESS &&
            diag != nullptr) {
            if (diag[0] != '\0') text += std::string(" (") + diag + ")";
            ldap_memfree(diag);
        }
        return text;
    }

    EntryView View(LDAPMessage *e) const {
        EntryView v;
        char *dn = ldap_get_dn(ld_.get(), e);
        if (dn != nullptr) {
            v.dn = dn;
            v.ndn = Normalized(dn);
            ldap_memfree(dn);
        }
        auto values = [&](const std::string &type, std::vector<std::string> *out) {
            struct berval **vals = ldap_get_values_len(ld_.get(), e, type.c_str());
            int n = 0;
            for (; vals != nullptr && vals[n] != nullptr; ++n) {
                if (out != nullptr) out->emplace_back(vals[n]->bv_val, vals[n]->bv_len);
            }
            ldap_value_free_len(vals);
            return n;
        };
        values("objectClass", &v.objectClasses);
        values(rule_.counterAttribute, &v.counter);
        if (rule_.plugin == Rule::Plugin::kAttrtally) {
            v.memberValues = values(rule_.memberAttribute, nullptr);
        }
        return v;
    }

    // Every entry in scope that matches filter, page by page.
    template <typename Visit>
    bool Search(const std::string &base, int scope, const std::string &filter, Visit visit,
                std::string *error) {
        std::vector<std::string> attrs = rule_.Attributes();
        std::vector<char *> list;
        for (std::string &a : attrs) list.push_back(a.data());
        list.push_back(nullptr);
        struct timeval timeout {opt_.timeoutSeconds, 0};
        struct berval cookie {};
        bool ok = true;
        do {
            LDAPControl *page = nullptr;
            int rc = ldap_create_page_control(ld_.get(), opt_.pageSize, &cookie, 0, &page);
            ber_memfree(cookie.bv_val);
            cookie = {};
            if (rc != LDAP_SUCCESS) {
                *error = "cannot make a paged results control: " + Diagnostic(rc);
                return false;
            }
            LDAPControl *controls[] = {page, nullptr};
            LDAPMessage *raw = nullptr;
            rc = ldap_search_ext_s(ld_.get(), base.c_str(), scope, filter.c_str(), list.data(), 0,
                                   controls, nullptr, &timeout, 0, &raw);
            ldap_control_free(page);
            Message res(raw);
            if (rc != LDAP_SUCCESS) {
                if (rc == LDAP_NO_SUCH_OBJECT && scope == LDAP_SCOPE_BASE) return true;
                *error = "search of \"" + base + "\" on " + opt_.uri + " failed: " + Diagnostic(rc);
                return false;
            }
            for (LDAPMessage *e = ldap_first_entry(ld_.get(), res.get()); e != nullptr;
                 e = ldap_next_entry(ld_.get(), e)) {
                visit(View(e));
            }
            LDAPControl **returned = nullptr;
            int result = LDAP_SUCCESS;
            rc = ldap_parse_result(ld_.get(), res.get(), &result, nullptr, nullptr, nullptr,
                                   &returned, 0);
            if (rc == LDAP_SUCCESS && returned != nullptr) {
                LDAPControl *answer = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, returned, nullptr);
                ber_int_t estimate = 0;
                if (answer != nullptr &&
                    ldap_parse_pageresponse_control(ld_.get(), answer, &estimate, &cookie) !=
                        LDAP_SUCCESS) {
                    cookie = {};
                }
            }
            ldap_controls_free(returned);
            if (rc != LDAP_SUCCESS) {
                *error = "cannot read the search result from " + opt_.uri + ": " + Diagnostic(rc);
                ok = false;
            }
        } while (ok && cookie.bv_len > 0);
        ber_memfree(cookie.bv_val);
        return ok;
    }

    // One reading of a counter: its stored values, then the count of its
    // subtree.  false with *error; *gone when it no longer carries a counter.
    struct Reading {
        std::vector<std::string> stored;
        CounterState state;  // stored as read first, computed from the count made after
        long Offset() const {
            return (state.stored ? std::atol(state.stored->c_str()) : 0) - state.computed;
        }
    };
    bool Read(const CounterState &c, Reading *out, bool *gone, std::string *error) {
        std::optional<EntryView> entry;
        if (!Search(c.dn, LDAP_SCOPE_BASE, "(objectClass=*)",
                    [&](const EntryView &v) { entry = v; }, error)) {
            return false;
        }
        *gone = !entry;
        if (*gone) return true;
        Recount below(rule_);
        if (!Search(c.dn, LDAP_SCOPE_SUBTREE, rule_.Filter(),
                    [&](const EntryView &v) { below.Add(v); }, error)) {
            return false;
        }
        *gone = true;
        for (const CounterState &s : below.Finish()) {
            if (s.ndn != entry->ndn) continue;
            *gone = false;
            out->state.dn = c.dn;
            out->state.computed = s.computed;
        }
        out->stored = entry->counter;
        out->state.storedValues = static_cast<int>(entry->counter.size());
        if (!entry->counter.empty()) out->state.stored = entry->counter.front();
        return true;
    }

    // The stored value is read before the subtree is counted, so that a
    // counted operation finishing in between changes the stored value and
    // fails the assertion; the next attempt then starts afresh.  An
    // operation that has changed its entry but not yet the counter makes the
    // counter look low for a moment: a counter is therefore written only
    // when two readings a moment apart find it off by the same amount.
    bool RepairOne(const CounterState &c, const ChangeReport &report, std::string *error) {
        for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
            Reading first, second;
            bool gone = false;
            if (!Read(c, &first, &gone, error)) return false;
            if (gone || first.state.Right(rule_)) return true;
            std::this_thread::sleep_for(kSettle);
            if (!Read(c, &second, &gone, error)) return false;
            if (gone || second.state.Right(rule_)) return true;
            if (first.Offset() != second.Offset() || first.stored.empty() != second.stored.empty()) {
                continue;
            }
            int rc = WriteUnderAssertion(c.dn, second.stored, second.state.computed);
            if (rc == LDAP_SUCCESS) {
                report(c.dn, second.state.StoredText(), second.state.computed);
                return true;
            }
            if (rc != LDAP_ASSERTION_FAILED) {
                *error = c.dn + ": cannot set " + rule_.counterAttribute + ": " + Diagnostic(rc);
                return false;
            }
        }
        *error = c.dn + ": the counter kept changing; " + std::to_string(kMaxAttempts) +
                 " attempts to repair it failed";
        return false;
    }

    int WriteUnderAssertion(const std::string &dn, const std::vector<std::string> &was, long value) {
        const std::string &a = rule_.counterAttribute;
        std::string assertion;
        if (was.empty()) {
            assertion = "(!(" + a + "=*))";
        } else {
            for (const std::string &v : was) assertion += "(" + a + "=" + EscapeFilterValue(v) + ")";
            if (was.size() > 1) assertion = "(&" + assertion + ")";
        }
        LDAPControl *assert = nullptr;
        int rc = ldap_create_assertion_control(ld_.get(), assertion.data(), 1, &assert);
        if (rc != LDAP_SUCCESS) return rc;
        std::string text = std::to_string(value);
        struct berval bv {text.size(), text.data()};
        struct berval *vals[] = {&bv, nullptr};
        std::string type = a;
        LDAPMod mod{};
        mod.mod_op = LDAP_MOD_REPLACE | LDAP_MOD_BVALUES;
        mod.mod_type = type.data();
        mod.mod_bvalues = vals;
        LDAPMod *mods[] = {&mod, nullptr};
        LDAPControl *controls[] = {assert, nullptr};
        rc = ldap_modify_ext_s(ld_.get(), dn.c_str(), mods, controls, nullptr);
        ldap_control_free(assert);
        return rc;
    }

    Rule rule_;
    LdapOptions opt_;
    LdapHandle ld_;
};

}  // namespace

std::unique_ptr<Source> OpenLdapSource(const Rule &rule, const LdapOptions &opt,
                                       std::string *error) {
    LDAP *raw = nullptr;
    int rc = ldap_initialize(&raw, opt.uri.c_str());
    if (rc != LDAP_SUCCESS || raw == nullptr) {
        *error = "cannot use the URI \"" + opt.uri + "\": " + ldap_err2string(rc);
        return nullptr;
    }
    LdapHandle ld(raw);
    int version = LDAP_VERSION3;
    struct timeval timeout {opt.timeoutSeconds, 0};
    ldap_set_option(raw, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(raw, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
    ldap_set_option(raw, LDAP_OPT_TIMEOUT, &timeout);
    ldap_set_option(raw, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    std::string password = opt.password;
    struct berval cred {password.size(), password.data()};
    rc = ldap_sasl_bind_s(raw, opt.bindDn.empty() ? nullptr : opt.bindDn.c_str(), LDAP_SASL_SIMPLE,
                          &cred, nullptr, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        *error = "cannot bind to " + opt.uri +
                 (opt.bindDn.empty() ? std::string(" anonymously") : " as \"" + opt.bindDn + "\"") +
                 ": " + ldap_err2string(rc);
        return nullptr;
    }
    return std::make_unique<LdapSource>(rule, opt, std::move(ld));
}

}  // namespace hv::tally
