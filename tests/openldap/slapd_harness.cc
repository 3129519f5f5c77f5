#include "openldap/slapd_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#ifndef HV_SLAPD_PRELOAD
#define HV_SLAPD_PRELOAD ""
#endif

namespace hvtest {
namespace {

using Clock = std::chrono::steady_clock;

int DecodeStatus(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

// Waits for pid until the deadline; true and *status when it ended.
bool WaitPid(pid_t pid, Clock::time_point deadline, int *status) {
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) {
            *status = DecodeStatus(st);
            return true;
        }
        if (r < 0 && errno != EINTR) {
            *status = -1;
            return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<char *> ArgvOf(const std::vector<std::string> &args) {
    std::vector<char *> v;
    for (const auto &a : args) v.push_back(const_cast<char *>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

// A port that was free a moment ago; slapd binds it right after.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

std::string Tail(const std::string &s, size_t n) { return s.size() <= n ? s : s.substr(s.size() - n); }

}  // namespace

CommandResult RunCommand(const std::vector<std::string> &argv, int timeout_s) {
    CommandResult res;
    int fds[2];
    if (argv.empty() || pipe2(fds, O_CLOEXEC) != 0) return res;
    std::vector<char *> v = ArgvOf(argv);  // no allocation after fork: other threads may hold malloc's lock
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return res;
    }
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        if (in >= 0) dup2(in, 0);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execv(v[0], v.data());
        _exit(127);
    }
    close(fds[1]);
    auto deadline = Clock::now() + std::chrono::seconds(timeout_s);
    char buf[4096];
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) break;
        pollfd p{fds[0], POLLIN, 0};
        int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        res.output.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = -1;
    if (!WaitPid(pid, deadline + std::chrono::milliseconds(200), &status)) {
        kill(pid, SIGKILL);
        WaitPid(pid, Clock::now() + std::chrono::seconds(5), &status);
        res.output += "\n[killed after timeout]";
        status = -1;
    }
    res.status = status;
    return res;
}

bool SlapdInstalled() { return access(kSlapdPath, X_OK) == 0; }

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool WriteFile(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

std::vector<std::string> LdifValues(const std::string &ldif, const std::string &attr) {
    std::vector<std::string> out;
    std::istringstream in(ldif);
    std::string line;
    const std::string prefix = attr + ": ";
    while (std::getline(in, line)) {
        if (line.size() >= prefix.size() && strncasecmp(line.c_str(), prefix.c_str(), prefix.size()) == 0)
            out.push_back(line.substr(prefix.size()));
    }
    return out;
}

bool WaitForProbeOperations(const std::string &report, int n, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::istringstream in(ReadFile(report));
        std::string line;
        int ops = 0;
        while (std::getline(in, line))
            if (line.rfind("op=", 0) == 0 && line.rfind("op=init", 0) != 0) ops++;
        if (ops >= n) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int LdifRecords(const std::string &ldif) {
    std::istringstream in(ldif);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (line.rfind("dn:", 0) == 0) n++;
    return n;
}

SlapdServer::SlapdServer() {
    const char *tmp = getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/hv-slapd-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) dir_ = buf.data();
}

SlapdServer::~SlapdServer() {
    Stop();
    if (!dir_.empty() && getenv("HV_KEEP_SLAPD_DIR") == nullptr) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

bool SlapdServer::ReservePort() {
    port_ = FreePort();
    return port_ != 0;
}

std::string SlapdServer::url() const { return "ldap://127.0.0.1:" + std::to_string(port_) + "/"; }

bool SlapdServer::Start(const std::vector<PluginLine> &plugins, const std::string &loglevel) {
    if (dir_.empty()) {
        error_ = "cannot create a temporary directory";
        return false;
    }
    // The port may be taken between our probe and slapd's bind: try again.
    for (int attempt = 0; attempt < 3; attempt++) {
        if (StartOnce(plugins, loglevel)) return true;
        if (ReadFile(server_log_path()).find("Address already in use") == std::string::npos) return false;
    }
    return false;
}

bool SlapdServer::StartOnce(const std::vector<PluginLine> &plugins, const std::string &loglevel) {
    Stop();
    const bool keep = !extra_global_.empty() || !extra_database_.empty();
    if (!keep || port_ == 0) port_ = FreePort();
    if (port_ == 0) {
        error_ = "no free port on 127.0.0.1";
        return false;
    }
    std::error_code ec;
    if (!keep) std::filesystem::remove_all(dir_ + "/db", ec);
    std::filesystem::create_directories(dir_ + "/db", ec);

    std::string conf;
    conf += "include /etc/ldap/schema/core.schema\n";
    conf += "include " HV_SOURCE_DIR "/tests/openldap/counters.schema\n";
    conf += "pidfile " + dir_ + "/slapd.pid\n";
    conf += "argsfile " + dir_ + "/slapd.args\n";
    conf += "pluginlog " + plugin_log_path() + "\n";
    conf += "loglevel " + loglevel + "\n";
    conf += "modulepath /usr/lib/ldap\n";
    conf += "moduleload back_mdb\n";
    conf += extra_global_;
    conf += "database mdb\n";
    conf += "maxsize 10485760\n";
    conf += std::string("suffix \"") + kSuffix + "\"\n";
    conf += std::string("rootdn \"") + kRootDn + "\"\n";
    conf += std::string("rootpw ") + kRootPw + "\n";
    conf += "directory " + dir_ + "/db\n";
    conf += extra_database_;
    // slapadd reads the database part only: the plug-ins are not run offline.
    const std::string offline_conf = dir_ + "/slapadd.conf";
    if (!offline_ldif_.empty() && !WriteFile(offline_conf, conf)) {
        error_ = "cannot write " + offline_conf;
        return false;
    }
    for (const auto &p : plugins) {
        conf += "plugin postoperation " + p.path + " " + p.init;
        for (const auto &a : p.args) conf += " " + a;
        conf += "\n";
    }
    if (!WriteFile(conf_path(), conf)) {
        error_ = "cannot write " + conf_path();
        return false;
    }

    if (!offline_ldif_.empty()) {
        const std::string ldif = dir_ + "/offline.ldif";
        CommandResult added;
        if (WriteFile(ldif, offline_ldif_)) {
            added = RunCommand({"/usr/sbin/slapadd", "-f", offline_conf, "-l", ldif}, 60);
        }
        if (added.status != 0) {
            error_ = "slapadd failed: " + added.output;
            return false;
        }
    }

    std::string out = server_log_path();
    // A restart must not read the last run's "slapd stopped." as its own.
    std::filesystem::remove(out, ec);
    std::string preload = HV_SLAPD_PRELOAD;
    std::vector<std::string> args = {kSlapdPath, "-f", conf_path(), "-h", url(), "-d", "256"};
    // Environment: ours, plus every plug-in symbol bound at load, so that a
    // call the server does not provide fails the load instead of crashing
    // the server on first use; sanitized plug-ins need their runtime loaded
    // first in the uninstrumented server, whose own exit-time leaks are not
    // ours to report.
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        std::string_view kv(*e);
        if (kv.starts_with("LD_BIND_NOW=") || kv.starts_with("LD_PRELOAD=") || kv.starts_with("ASAN_OPTIONS="))
            continue;
        env.emplace_back(kv);
    }
    if (bind_now_) env.emplace_back("LD_BIND_NOW=1");
    if (!preload.empty()) {
        env.push_back("LD_PRELOAD=" + preload);
        env.emplace_back("ASAN_OPTIONS=detect_leaks=0");
    }
    std::vector<char *> v = ArgvOf(args), envp = ArgvOf(env);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        error_ = std::string("fork: ") + strerror(errno);
        return false;
    }
    if (pid == 0) {
        // Never outlive the test process, whatever way it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (in >= 0) dup2(in, 0);
        execve(v[0], v.data(), envp.data());
        _exit(127);
    }
    pid_ = pid;
    if (WaitUntilAnswering()) return true;
    Stop();
    return false;
}

bool SlapdServer::WaitUntilAnswering() {
    auto deadline = Clock::now() + std::chrono::seconds(15);
    CommandResult last;
    while (Clock::now() < deadline) {
        int status = 0;
        if (WaitPid(pid_, Clock::now(), &status)) {
            pid_ = -1;
            error_ = "slapd exited with status " + std::to_string(status) + ":\n" +
                     Tail(ReadFile(server_log_path()), 3000);
            return false;
        }
        if (LogSaysStopped()) {
            error_ = "slapd stopped during start-up:\n" + Tail(ReadFile(server_log_path()), 3000);
            return false;
        }
        last = RunCommand({"/usr/bin/ldapsearch", "-x", "-H", url(), "-o", "nettimeout=2", "-b", "",
                           "-s", "base", "-LLL", "(objectClass=*)", "namingContexts"},
                          5);
        if (last.status == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    error_ = "slapd did not answer within 15 s: " + last.output + "\n" +
             Tail(ReadFile(server_log_path()), 3000);
    return false;
}

bool SlapdServer::Running(int timeout_ms) {
    if (pid_ <= 0) return false;
    int status = 0;
    if (!WaitPid(pid_, Clock::now() + std::chrono::milliseconds(timeout_ms), &status)) return true;
    pid_ = -1;
    return false;
}

bool SlapdServer::LogSaysStopped() const {
    return ReadFile(server_log_path()).find("slapd stopped.") != std::string::npos;
}

void SlapdServer::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    // Once slapd has logged its shutdown only process exit is left, which can
    // hang in library destructors when a sanitizer runtime is preloaded:
    // give it a second, then kill it.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    std::optional<Clock::time_point> stopped_at;
    int status = 0;
    while (!WaitPid(pid_, std::min(deadline, Clock::now() + std::chrono::milliseconds(100)), &status)) {
        if (!stopped_at && LogSaysStopped()) stopped_at = Clock::now();
        if (Clock::now() >= deadline || (stopped_at && Clock::now() - *stopped_at > std::chrono::seconds(1))) {
            kill(pid_, SIGKILL);
            WaitPid(pid_, Clock::now() + std::chrono::seconds(5), &status);
            break;
        }
    }
    pid_ = -1;
}

CommandResult SlapdServer::Client(const std::string &tool, std::vector<std::string> args, int timeout_s) {
    std::vector<std::string> argv = {"/usr/bin/" + tool, "-x", "-H", url(), "-o", "nettimeout=5",
                                     "-D", kRootDn, "-w", kRootPw};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv, timeout_s);
}

CommandResult SlapdServer::ClientWithLdif(const std::string &tool, const std::string &ldif,
                                          std::vector<std::string> args, int timeout_s) {
    std::string f = dir_ + "/in" + std::to_string(++ldif_seq_) + ".ldif";  // atomic: clients run from several threads
    if (!WriteFile(f, ldif)) return {};
    args.push_back("-f");
    args.push_back(f);
    return Client(tool, std::move(args), timeout_s);
}

CommandResult SlapdServer::Add(const std::string &ldif) { return ClientWithLdif("ldapadd", ldif, {}, 20); }

CommandResult SlapdServer::Modify(const std::string &ldif) { return ClientWithLdif("ldapmodify", ldif, {}, 20); }

CommandResult SlapdServer::Delete(const std::string &dn) { return Client("ldapdelete", {dn}); }

CommandResult SlapdServer::Changes(const std::string &ldif, int timeout_s) {
    return ClientWithLdif("ldapmodify", ldif, {"-c"}, timeout_s);
}

CommandResult SlapdServer::Subtree(const std::string &base, const std::vector<std::string> &attrs) {
    std::vector<std::string> args = {"-LLL", "-o", "ldif-wrap=no", "-b", base, "-s", "sub", "(objectClass=*)"};
    args.insert(args.end(), attrs.begin(), attrs.end());
    return Client("ldapsearch", args);
}

std::vector<std::string> SlapdServer::Values(const std::string &dn, const std::string &attr) {
    CommandResult r = Client("ldapsearch", {"-LLL", "-o", "ldif-wrap=no", "-b", dn, "-s", "base",
                                            "(objectClass=*)", attr});
    if (r.status != 0) return {};
    return LdifValues(r.output, attr);
}

std::optional<int> SlapdServer::Counter(const std::string &dn, const std::string &attr) {
    std::vector<std::string> v = Values(dn, attr);
    if (v.empty()) return std::nullopt;
    char *end = nullptr;
    long n = strtol(v[0].c_str(), &end, 10);
    if (end == v[0].c_str() || *end != '\0') return std::nullopt;
    return static_cast<int>(n);
}

bool SlapdServer::WaitForPluginLog(const std::string &text, int timeout_ms) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (PluginLog().find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace hvtest
