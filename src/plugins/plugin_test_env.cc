#include "plugins/plugin_test_env.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace hv::plugins::testing {

std::string PluginPath(const std::string &name) { return std::string(HV_BUILD_DIR) + "/lib/" + name + ".so"; }

void PluginHostTest::SetUp() {
    hv_host_reset();
    std::string tmpl = (std::filesystem::temp_directory_path() / "hvplugins.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    log_path_ = dir_ + "/errors";
    ASSERT_EQ(hv_log_open(log_path_.c_str()), 0);
    hv_log_enable(SLAPI_LOG_PLUGIN, 1);
}

void PluginHostTest::TearDown() {
    hv_host_reset();
    hv_log_open(nullptr);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

hv_plugin *PluginHostTest::Load(const std::string &name, const char *initfn,
                                const std::vector<std::string> &args, int rtld_flags) {
    std::vector<std::string> copy = args;
    std::vector<char *> argv;
    for (std::string &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    hv_plugin *p = nullptr;
    const std::string path = PluginPath(name);
    EXPECT_EQ(hv_plugin_load(path.c_str(), initfn, static_cast<int>(copy.size()), argv.data(),
                             rtld_flags, &p),
              0)
        << path << " " << initfn << "\n"
        << LogText();
    return p;
}

int PluginHostTest::Add(const std::string &ldif, int flags, hv_op_result *res) {
    return hv_op_add_ldif(ldif.c_str(), flags, res);
}

int PluginHostTest::Modify(const std::string &dn, const std::vector<Mod> &mods, int flags,
                           hv_op_result *res) {
    // Storage for the records and their value arrays, alive during the call.
    std::vector<std::vector<std::string>> texts;
    std::vector<std::vector<char *>> values;
    std::vector<std::string> types;
    std::vector<LDAPMod> records(mods.size());
    texts.reserve(mods.size());
    values.reserve(mods.size());
    types.reserve(mods.size());
    std::vector<LDAPMod *> list;
    for (std::size_t i = 0; i < mods.size(); ++i) {
        texts.push_back(mods[i].values);
        values.emplace_back();
        for (std::string &t : texts.back()) values.back().push_back(t.data());
        values.back().push_back(nullptr);
        types.push_back(mods[i].type);
        records[i].mod_op = mods[i].op;
        records[i].mod_type = types.back().data();
        records[i].mod_values = values.back().data();
        list.push_back(&records[i]);
    }
    list.push_back(nullptr);
    return hv_op_modify(dn.c_str(), list.data(), flags, res);
}

int PluginHostTest::Delete(const std::string &dn, int flags, hv_op_result *res) {
    return hv_op_delete(dn.c_str(), flags, res);
}

namespace {
struct EntryFree {
    void operator()(Slapi_Entry *e) const { slapi_entry_free(e); }
};
}  // namespace

std::string PluginHostTest::Value(const std::string &dn, const std::string &attr) {
    std::unique_ptr<Slapi_Entry, EntryFree> e(hv_dir_get_entry(dn.c_str()));
    if (e == nullptr) return "<no entry>";
    Slapi_Attr *a = nullptr;
    Slapi_Value *v = nullptr;
    if (slapi_entry_attr_find(e.get(), attr.c_str(), &a) != 0 || slapi_attr_first_value(a, &v) == -1) {
        return "<absent>";
    }
    return slapi_value_get_string(v);
}

int PluginHostTest::NumValues(const std::string &dn, const std::string &attr) {
    std::unique_ptr<Slapi_Entry, EntryFree> e(hv_dir_get_entry(dn.c_str()));
    Slapi_Attr *a = nullptr;
    int n = 0;
    if (e != nullptr && slapi_entry_attr_find(e.get(), attr.c_str(), &a) == 0) slapi_attr_get_numvalues(a, &n);
    return n;
}

std::string PluginHostTest::LogText() const {
    std::ifstream in(log_path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> PluginHostTest::LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(LogText());
    std::string line;
    while (std::getline(in, line)) {
        std::size_t stamp = line.find("] ");
        lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
    }
    return lines;
}

bool PluginHostTest::Logged(const std::string &line) const { return CountLogged(line) > 0; }

int PluginHostTest::CountLogged(const std::string &line) const {
    std::vector<std::string> lines = LogLines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

int PluginHostTest::CountContaining(const std::string &part) const {
    int n = 0;
    for (const std::string &l : LogLines()) n += l.find(part) != std::string::npos ? 1 : 0;
    return n;
}

void PluginHostTest::ClearLog() const {
    if (::truncate(log_path_.c_str(), 0) != 0) ADD_FAILURE() << "cannot empty " << log_path_;
}

}  // namespace hv::plugins::testing
