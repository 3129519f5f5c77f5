// A sample server root made by the bundled examples/make-server-root.sh:
// instances at the baseline with a real cert7 database (certutil), a core
// schema file, dse.ldif with the encryption entry, the nine pre-patch
// scripts and a schema push script.  As root the tree is handed to a real
// non-root system user, so that the upgrade's switch of effective ids is
// exercised.  Not thread-safe.
#ifndef HV_TESTS_UPGRADE_SAMPLE_ROOT_H
#define HV_TESTS_UPGRADE_SAMPLE_ROOT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/server_root.h"
#include "support/users.h"

namespace hvtest {

inline const std::vector<std::string> &RestoredScripts() {
    static const std::vector<std::string> names = {"saveconfig", "restoreconfig", "ldif2db",
                                                   "db2ldif",    "vlvindex",      "db2bak",
                                                   "bak2db",     "suffix2instance"};
    return names;
}

// LDIF text with folded lines joined, for searching a printed entry.
inline std::string Unfold(const std::string &text) {
    std::string out;
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && i + 1 < text.size() && text[i + 1] == ' ')
            ++i;
        else
            out += text[i];
    }
    return out;
}

class SampleRoot : public ServerRoot {
  public:
    // Makes instances slapd-<name> for each name; false with a test failure
    // when the generator fails.
    bool Make(const std::vector<std::string> &names) {
        std::vector<std::string> args;
        if (::geteuid() == 0) {
            if (!EnsureSystemUser("hvdsowner", &owner_)) {
                ADD_FAILURE() << "no system user hvdsowner";
                return false;
            }
            args = {"-o", owner_.name};
        }
        args.push_back(path());
        args.insert(args.end(), names.begin(), names.end());
        ProgramResult r = RunProgram(std::string(HV_SOURCE_DIR) + "/examples/make-server-root.sh", args);
        if (r.exit_status != 0) {
            ADD_FAILURE() << "make-server-root.sh failed: " << r.out << r.err;
            return false;
        }
        return true;
    }
    bool has_owner() const { return owner_.uid != static_cast<uid_t>(-1); }
    const SystemUser &owner() const { return owner_; }

    std::string Dse(const std::string &dir) const { return Join(dir + "/config/dse.ldif"); }
    std::string Schema(const std::string &dir) const { return Join(dir + "/config/schema/00core.ldif"); }
    std::string Cert7Path(const std::string &dir) const { return Join("alias/" + dir + "-cert7.db"); }

    // Reverts the certificate database as an administrator would before a
    // downgrade: the cert8 file goes, hvCertfile names cert7 again.
    void RevertCertificates(const std::string &dir) {
        RemoveTree(Cert8Path(dir));
        std::string dse = ReadFile(Dse(dir));
        const std::string from = "alias/" + dir + "-cert8.db", to = "alias/" + dir + "-cert7.db";
        std::string::size_type at = dse.find(from);
        if (at == std::string::npos) {
            ADD_FAILURE() << "hvCertfile does not name " << from << " in " << dse;
            return;
        }
        dse.replace(at, from.size(), to);
        PathInfo info = Inspect(Dse(dir));
        WriteFile(Dse(dir), dse, info.mode);
        ChownTree(Dse(dir), info.uid, info.gid, false);
    }

  private:
    SystemUser owner_;
};

}  // namespace hvtest

#endif  // HV_TESTS_UPGRADE_SAMPLE_ROOT_H
