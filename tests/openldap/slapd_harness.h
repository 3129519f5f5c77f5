// Runs Debian's OpenLDAP slapd as a plug-in host for the tests: a private
// configuration and database in a temporary directory, a free port on
// 127.0.0.1, and the command-line clients (ldapadd, ldapsearch, ...) to talk
// to it.  Every wait is bounded; the server is stopped by its pid when the
// harness is destroyed, and killed by the kernel if the test process dies.
//
// Ownership: the harness owns its temporary directory (removed on
// destruction unless HV_KEEP_SLAPD_DIR is set) and the server process.
// Thread-safety: Start, Stop and Running belong to one thread; the client
// calls (Add, Modify, Delete, Values, Counter) may run from several threads
// at once while the server runs.
#ifndef HV_TESTS_OPENLDAP_SLAPD_HARNESS_H
#define HV_TESTS_OPENLDAP_SLAPD_HARNESS_H

#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace hvtest {

inline constexpr const char *kSlapdPath = "/usr/sbin/slapd";
inline constexpr const char *kSuffix = "dc=example,dc=com";
inline constexpr const char *kRootDn = "cn=admin,dc=example,dc=com";
inline constexpr const char *kRootPw = "secret";

struct CommandResult {
    int status = -1;  // exit status, or 128 + signal, or -1 when it could not run
    std::string output;  // standard output and error, interleaved
};

// Runs argv[0] (a path) with the arguments, standard input from /dev/null,
// at most timeout_s seconds (then it is killed and status is -1).
CommandResult RunCommand(const std::vector<std::string> &argv, int timeout_s = 15);

bool SlapdInstalled();
std::string ReadFile(const std::string &path);
bool WriteFile(const std::string &path, const std::string &text);

// One `plugin postoperation` line of slapd.conf.
struct PluginLine {
    std::string path;
    std::string init;
    std::vector<std::string> args;
};

class SlapdServer {
  public:
    SlapdServer();
    ~SlapdServer();
    SlapdServer(const SlapdServer &) = delete;
    SlapdServer &operator=(const SlapdServer &) = delete;

    // Writes the configuration and starts the server; false with a reason in
    // error() when it cannot be started or does not answer in time.
    bool Start(const std::vector<PluginLine> &plugins, const std::string &loglevel = "stats");
    void Stop();
    // Bind every plug-in symbol at load (the default), or lazily as slapd
    // normally does.
    void set_bind_now(bool on) { bind_now_ = on; }
    // Entries loaded offline with slapadd before the server starts (so no
    // plug-in sees them); empty for none.
    void set_offline_ldif(std::string ldif) { offline_ldif_ = std::move(ldif); }
    // Replication set-ups: `global` goes before the database, `database`
    // after its own lines and before the plug-in lines.  With them set, the
    // port chosen by ReservePort (or the first start) and the database are
    // kept across restarts.
    void set_extra_config(std::string global, std::string database) {
        extra_global_ = std::move(global);
        extra_database_ = std::move(database);
    }
    // Picks the port now, so that peers can name url() before Start.
    bool ReservePort();
    // Whether the server process is still there (waits up to timeout_ms for
    // it to end).
    bool Running(int timeout_ms = 0);

    const std::string &dir() const { return dir_; }
    const std::string &error() const { return error_; }
    std::string conf_path() const { return dir_ + "/slapd.conf"; }
    std::string plugin_log_path() const { return dir_ + "/plugin.log"; }
    std::string server_log_path() const { return dir_ + "/slapd.out"; }
    std::string PluginLog() const { return ReadFile(plugin_log_path()); }
    // ldap://127.0.0.1:<port>/
    std::string url() const;

    // ldapadd / ldapmodify / ldapdelete bound as the root DN.
    CommandResult Add(const std::string &ldif);
    CommandResult Modify(const std::string &ldif);
    CommandResult Delete(const std::string &dn);
    // One ldapmodify -c run over an LDIF of changes (changetype records) on
    // one connection: it goes on after refused changes.
    CommandResult Changes(const std::string &ldif, int timeout_s = 60);
    // Subtree search below base: the LDIF of every entry with the attributes.
    CommandResult Subtree(const std::string &base, const std::vector<std::string> &attrs);
    // Base search of dn for one attribute: its values as the server returns them.
    std::vector<std::string> Values(const std::string &dn, const std::string &attr);
    // The first value read as a counter; none when the attribute is absent.
    std::optional<int> Counter(const std::string &dn, const std::string &attr);
    // Waits (bounded) until the server has written `text` into the plug-in log.
    bool WaitForPluginLog(const std::string &text, int timeout_ms = 5000) const;

  private:
    bool StartOnce(const std::vector<PluginLine> &plugins, const std::string &loglevel);
    bool WaitUntilAnswering();
    bool LogSaysStopped() const;
    CommandResult Client(const std::string &tool, std::vector<std::string> args, int timeout_s = 20);
    // The LDIF goes to a file of the server's directory, given with -f.
    CommandResult ClientWithLdif(const std::string &tool, const std::string &ldif, std::vector<std::string> args,
                                 int timeout_s);

    std::string dir_;
    std::string error_;
    int port_ = 0;
    pid_t pid_ = -1;
    std::atomic<int> ldif_seq_{0};
    bool bind_now_ = true;
    std::string offline_ldif_;
    std::string extra_global_, extra_database_;
};

// Waits (bounded) until the probe plug-in's report file holds at least n
// operation lines.  slapd answers the client before it runs post-operation
// plug-ins, so this is how a test knows the handlers are done.
bool WaitForProbeOperations(const std::string &report, int n, int timeout_ms = 10000);

// Number of records (lines starting with "dn:") in an LDIF text.
int LdifRecords(const std::string &ldif);

// Parses `attr: value` lines of ldapsearch -LLL output (no wrapping).
std::vector<std::string> LdifValues(const std::string &ldif, const std::string &attr);

}  // namespace hvtest

#endif  // HV_TESTS_OPENLDAP_SLAPD_HARNESS_H
