#include <cstring>
#include <string>
#include <vector>

#include "host/directory.h"
#include "host/dse_file.h"
#include "host/operations.h"
#include "host/plugin_loader.h"

namespace hv {
namespace {

// What one finished operation hands to the post-operation handlers.
struct Finished {
    int handler_kind = 0;  // SLAPI_PLUGIN_POST_*_FN
    int rc = 0;
    int flags = 0;
    std::string_view target_dn;  // as the client gave it
    // Owned by the operation, which ends after the handlers have run.
    Slapi_Entry *add_entry = nullptr;
    Slapi_Entry *pre = nullptr;
    Slapi_Entry *post = nullptr;
    LDAPMod **mods = nullptr;
    const char *newrdn = nullptr;  // modify-RDN only
    int deleteoldrdn = 0;
    const char *newsuperior = nullptr;
};

bool AnyHandler(const std::vector<const hv_plugin *> &plugins, int kind) {
    for (const hv_plugin *p : plugins)
        if (p->handlers.count(kind) != 0) return true;
    return false;
}

// An entry every handler of one operation is shown.  The entry calls refuse
// to change it; the DN text, which slapi_entry_get_dn hands out writable
// (handlers normalise DNs in place), is put back after each handler.
class SharedEntry {
  public:
    explicit SharedEntry(Slapi_Entry *e) : e_(e) {
        if (e_ == nullptr) return;
        ShareEntry(e_);
        dn_ = e_->dn;
    }
    Slapi_Entry *get() const { return e_; }
    void Restore() const {
        if (e_ != nullptr && std::memcmp(e_->dn.data(), dn_.data(), dn_.size() + 1) != 0)
            std::memcpy(e_->dn.data(), dn_.data(), dn_.size() + 1);
    }

  private:
    Slapi_Entry *e_;
    std::string dn_;
};

void Dispatch(const std::vector<const hv_plugin *> &plugins, const Finished &op, SentResult *sent) {
    // One read-only view of the entries for all plug-ins, made only when a
    // plug-in has a handler for this operation.
    if (!AnyHandler(plugins, op.handler_kind)) return;
    const SharedEntry add(op.add_entry), pre(op.pre), post(op.post);
    for (const hv_plugin *plugin : plugins) {
        auto fn = plugin->handlers.find(op.handler_kind);
        if (fn == plugin->handlers.end()) continue;
        // Every plug-in gets its own block and DN text: it may normalise
        // the DN in place.
        std::vector<char> dn(op.target_dn.begin(), op.target_dn.end());
        dn.push_back('\0');
        Slapi_PBlock *pb = slapi_pblock_new();
        PBlockImpl *b = Impl(pb);
        b->opreturn = op.rc;
        b->is_replicated = (op.flags & HV_OP_REPLICATED) != 0 ? 1 : 0;
        b->target_dn = dn.data();
        b->add_entry = add.get();
        b->pre_op = pre.get();
        b->post_op = post.get();
        b->mods = op.mods;
        b->newrdn = const_cast<char *>(op.newrdn);
        b->deleteoldrdn = op.deleteoldrdn;
        b->newsuperior = const_cast<char *>(op.newsuperior);
        b->argc = static_cast<int>(plugin->args.size());
        b->argv = const_cast<char **>(plugin->argv.data());
        fn->second(pb);
        for (const SharedEntry *e : {&add, &pre, &post}) e->Restore();
        if (sent != nullptr && !sent->sent && b->result_sent != 0) {
            sent->sent = true;
            sent->code = b->result_code;
            sent->text = b->result_text;
        }
        // The block refers to what the operation owns.
        b->target_dn = nullptr;
        b->add_entry = b->pre_op = b->post_op = nullptr;
        b->mods = nullptr;
        b->newrdn = b->newsuperior = nullptr;
        b->argv = nullptr;
        slapi_pblock_destroy(pb);
    }
}

// Moves the entry (and its subtree) back from where post says it went to
// where pre says it was, and puts back its attributes as they were.
void UndoModRdn(const Slapi_Entry &pre, const Slapi_Entry &post) {
    const std::string was = pre.dn;
    char *parent = slapi_dn_parent(was.c_str());
    const std::size_t parent_len = parent != nullptr ? std::strlen(parent) : 0;
    const std::string rdn = parent_len > 0 ? was.substr(0, was.size() - parent_len - 1) : was;
    Directory::Instance().ModRdn(post.dn, rdn, true, parent, nullptr, nullptr);
    slapi_ch_free_string(&parent);
    Directory::Instance().Restore(CopyEntry(pre));
}

}  // namespace

// The directory change of each operation, made together with its
// write-back: a change the configuration file cannot take is undone and
// fails with LDAP_OPERATIONS_ERROR, so the file and the directory agree.

int ApplyAdd(std::unique_ptr<Slapi_Entry> e) {
    if (e == nullptr) return LDAP_PROTOCOL_ERROR;
    std::string dn = e->dn;
    DseChange change;
    int rc = Directory::Instance().Add(std::move(e));
    if (rc == LDAP_SUCCESS && !change.Commit()) {
        Directory::Instance().Delete(dn, nullptr);
        rc = LDAP_OPERATIONS_ERROR;
    }
    return rc;
}

int ApplyDelete(std::string_view dn, std::unique_ptr<Slapi_Entry> *pre) {
    DseChange change;
    // The entry as it was is needed to undo a change the file cannot take.
    std::unique_ptr<Slapi_Entry> was;
    const bool keep = pre != nullptr || change.loaded();
    int rc = Directory::Instance().Delete(dn, keep ? &was : nullptr);
    if (rc == LDAP_SUCCESS && !change.Commit()) {
        Directory::Instance().Add(CopyEntry(*was));
        rc = LDAP_OPERATIONS_ERROR;
    }
    if (pre != nullptr) *pre = std::move(was);
    return rc;
}

int ApplyModify(std::string_view dn, LDAPMod **mods, std::unique_ptr<Slapi_Entry> *pre,
                std::unique_ptr<Slapi_Entry> *post) {
    DseChange change;
    // The entry as it was is needed to undo a change the file cannot take.
    std::unique_ptr<Slapi_Entry> was;
    const bool keep = pre != nullptr || change.loaded();
    int rc = Directory::Instance().Modify(dn, mods, keep ? &was : nullptr, post);
    if (rc == LDAP_SUCCESS && !change.Commit()) {
        Directory::Instance().Restore(CopyEntry(*was));
        if (post != nullptr) *post = SnapshotEntry(*was);
        rc = LDAP_OPERATIONS_ERROR;
    }
    if (pre != nullptr) *pre = std::move(was);
    return rc;
}

int ApplyModRdn(std::string_view dn, std::string_view newrdn, bool deleteoldrdn, const char *newsuperior,
                std::unique_ptr<Slapi_Entry> *pre, std::unique_ptr<Slapi_Entry> *post) {
    DseChange change;
    // Undoing a change the file cannot take needs both entries.
    std::unique_ptr<Slapi_Entry> was, now;
    const bool keep = pre != nullptr || post != nullptr || change.loaded();
    int rc = Directory::Instance().ModRdn(dn, newrdn, deleteoldrdn, newsuperior, keep ? &was : nullptr,
                                          keep ? &now : nullptr);
    if (rc == LDAP_SUCCESS && !change.Commit()) {
        UndoModRdn(*was, *now);
        now = SnapshotEntry(*was);
        rc = LDAP_OPERATIONS_ERROR;
    }
    if (pre != nullptr) *pre = std::move(was);
    if (post != nullptr) *post = std::move(now);
    return rc;
}

int RunAdd(std::unique_ptr<Slapi_Entry> e, int flags, SentResult *sent) {
    if (e == nullptr) return LDAP_PROTOCOL_ERROR;
    std::vector<const hv_plugin *> plugins = RegisteredPlugins();
    std::string dn = e->dn;
    // The directory takes the entry; handlers see a copy of what was asked.
    std::unique_ptr<Slapi_Entry> shown =
        AnyHandler(plugins, SLAPI_PLUGIN_POST_ADD_FN) ? SnapshotEntry(*e) : nullptr;
    int rc = ApplyAdd(std::move(e));
    Dispatch(plugins, Finished{.handler_kind = SLAPI_PLUGIN_POST_ADD_FN, .rc = rc, .flags = flags,
                               .target_dn = dn, .add_entry = shown.get()},
             sent);
    return rc;
}

int RunDelete(std::string_view dn, int flags, SentResult *sent) {
    std::vector<const hv_plugin *> plugins = RegisteredPlugins();
    std::unique_ptr<Slapi_Entry> pre;
    int rc = ApplyDelete(dn, AnyHandler(plugins, SLAPI_PLUGIN_POST_DELETE_FN) ? &pre : nullptr);
    Dispatch(plugins, Finished{.handler_kind = SLAPI_PLUGIN_POST_DELETE_FN, .rc = rc, .flags = flags,
                               .target_dn = dn, .pre = pre.get()},
             sent);
    return rc;
}

int RunModify(std::string_view dn, LDAPMod **mods, int flags, SentResult *sent) {
    std::vector<const hv_plugin *> plugins = RegisteredPlugins();
    bool shown = AnyHandler(plugins, SLAPI_PLUGIN_POST_MODIFY_FN);
    std::unique_ptr<Slapi_Entry> pre, post;
    int rc = ApplyModify(dn, mods, shown ? &pre : nullptr, shown ? &post : nullptr);
    Dispatch(plugins, Finished{.handler_kind = SLAPI_PLUGIN_POST_MODIFY_FN, .rc = rc, .flags = flags,
                               .target_dn = dn, .pre = pre.get(), .post = post.get(), .mods = mods},
             sent);
    return rc;
}

int RunModRdn(std::string_view dn, std::string_view newrdn, bool deleteoldrdn,
              const char *newsuperior, int flags, SentResult *sent) {
    std::vector<const hv_plugin *> plugins = RegisteredPlugins();
    bool shown = AnyHandler(plugins, SLAPI_PLUGIN_POST_MODRDN_FN);
    std::unique_ptr<Slapi_Entry> pre, post;
    int rc = ApplyModRdn(dn, newrdn, deleteoldrdn, newsuperior, shown ? &pre : nullptr,
                         shown ? &post : nullptr);
    const std::string rdn(newrdn);
    Dispatch(plugins, Finished{.handler_kind = SLAPI_PLUGIN_POST_MODRDN_FN, .rc = rc, .flags = flags,
                               .target_dn = dn, .pre = pre.get(), .post = post.get(), .newrdn = rdn.c_str(),
                               .deleteoldrdn = deleteoldrdn ? 1 : 0, .newsuperior = newsuperior},
             sent);
    return rc;
}

}  // namespace hv
