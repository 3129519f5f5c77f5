// hvtally's file source: the LDIF file is loaded into the host library's
// directory (its parser and DN rules), counters are read with an internal
// search, repaired with internal modifies, and the file is rewritten once
// (temporary file, flush, owner and mode kept, rename).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "tools/tally_source.h"

namespace hv::tally {

namespace {

std::vector<std::string> Values(Slapi_Entry *e, const std::string &type) {
    std::vector<std::string> out;
    Slapi_Attr *attr = nullptr;
    if (slapi_entry_attr_find(e, type.c_str(), &attr) != 0 || attr == nullptr) return out;
    Slapi_Value *v = nullptr;
    for (int i = slapi_attr_first_value(attr, &v); i != -1; i = slapi_attr_next_value(attr, i, &v)) {
        const struct berval *bv = slapi_value_get_berval(v);
        out.emplace_back(bv->bv_val, bv->bv_len);
    }
    return out;
}

class FileSource : public Source {
  public:
    FileSource(const Rule &rule, std::string path) : rule_(rule), path_(std::move(path)) {}

    bool Scan(Recount *recount, const ProgressTick &tick, std::string *error) override {
        std::vector<std::string> attrs = rule_.Attributes();
        std::vector<char *> list;
        for (std::string &a : attrs) list.push_back(a.data());
        list.push_back(nullptr);
        char base[] = "";
        char filter[] = "(objectclass=*)";
        Slapi_PBlock *pb = slapi_search_internal(base, LDAP_SCOPE_SUBTREE, filter, nullptr,
                                                 list.data(), 0);
        int rc = -1;
        slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
        Slapi_Entry **entries = nullptr;
        slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_SEARCH_ENTRIES, &entries);
        bool ok = rc == LDAP_SUCCESS;
        if (!ok) *error = path_ + ": cannot read the entries: " + ldap_err2string(rc);
        for (long i = 0; ok && entries != nullptr && entries[i] != nullptr; ++i) {
            Slapi_Entry *e = entries[i];
            EntryView v;
            v.dn = slapi_entry_get_dn(e);
            v.ndn = slapi_entry_get_ndn(e);
            v.objectClasses = Values(e, "objectClass");
            v.counter = Values(e, rule_.counterAttribute);
            if (rule_.plugin == Rule::Plugin::kAttrtally) {
                v.memberValues = static_cast<int>(Values(e, rule_.memberAttribute).size());
            }
            recount->Add(v);
            if (tick) tick(i + 1);
        }
        slapi_free_search_results_internal(pb);
        slapi_pblock_destroy(pb);
        return ok;
    }

    bool Repair(const std::vector<CounterState> &wrong, const ChangeReport &report,
                std::string *error) override {
        if (wrong.empty()) return true;
        for (const CounterState &c : wrong) {
            std::string value = std::to_string(c.computed);
            char *vals[] = {value.data(), nullptr};
            std::string type = rule_.counterAttribute;
            LDAPMod mod{};
            mod.mod_op = LDAP_MOD_REPLACE;
            mod.mod_type = type.data();
            mod.mod_values = vals;
            LDAPMod *mods[] = {&mod, nullptr};
            std::string dn = c.dn;
            Slapi_PBlock *pb = slapi_modify_internal(dn.data(), mods, nullptr, 0);
            int rc = -1;
            slapi_pblock_get(pb, SLAPI_PLUGIN_INTOP_RESULT, &rc);
            slapi_pblock_destroy(pb);
            if (rc != LDAP_SUCCESS) {
                *error = c.dn + ": cannot set " + rule_.counterAttribute + ": " + ldap_err2string(rc) +
                         " (" + path_ + " left unchanged)";
                return false;
            }
        }
        if (hv_dir_write_ldif(path_.c_str()) != 0) {
            *error = path_ + ": cannot be rewritten; it is left unchanged";
            return false;
        }
        for (const CounterState &c : wrong) report(c.dn, c.StoredText(), c.computed);
        return true;
    }

    bool Live() const override { return false; }

  private:
    Rule rule_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Source> OpenFileSource(const Rule &rule, const std::string &path,
                                       std::string *error) {
    // The loader reports in the host's log, which is for what a file holds:
    // a file that cannot be opened at all is said in hvtally's own words.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = path + (fd < 0 && errno == ELOOP ? ": a symbolic link, refused"
                         : fd < 0                ? std::string(": cannot be read: ") + std::strerror(errno)
                                                 : ": not a regular file, refused");
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    ::close(fd);
    if (hv_dir_load_ldif(path.c_str()) != 0) {
        *error = path + ": cannot be loaded (see the message above)";
        return nullptr;
    }
    return std::make_unique<FileSource>(rule, path);
}

}  // namespace hv::tally
