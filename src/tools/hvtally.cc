// hvtally: checks and repairs the counters that nodetally and attrtally
// keep, by computing each of them again from the directory's content.
//
//   hvtally check|repair nodetally|attrtally ARGUMENT... SOURCE
//
// The arguments are the plug-in's own argument texts.  SOURCE is an LDIF
// file (-f) or a live server (-H, -D, -w or -y, -b).  Exit status: 0 every
// counter right (after repair: afterwards), 1 some wrong, 2 usage,
// connection or input error.  See docs/man/hvtally.1.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/command_line.h"
#include "tools/tally_count.h"
#include "tools/tally_ldif.h"
#include "tools/tally_source.h"

namespace {

using hv::tally::CounterState;
using hv::tally::Rule;

constexpr int kExitRight = 0;
constexpr int kExitWrong = 1;
constexpr int kExitError = 2;
// Rounds of re-reading repaired counters on a live server (see Repair).
constexpr int kVerifyRounds = 5;
// The largest password file read (-y).
constexpr std::size_t kMaxPasswordBytes = 64 * 1024;

const char kUsage[] =
    "usage: hvtally check|repair nodetally counterAttribute=A counterObjectClass=H\n"
    "                                      requiredObjectClass=C SOURCE\n"
    "       hvtally check|repair attrtally memberAttribute=M counterAttribute=A\n"
    "                                      requiredObjectClass=G [updateParents=true] SOURCE\n"
    "SOURCE:  -f FILE                 an LDIF file, for example an instance's config/dse.ldif\n"
    "         -H URI [-D binddn (-w password | -y file)] -b base\n"
    "                                 a live LDAP server (ldap://, ldapi://)\n"
    "check   prints \"DN: stored S, computed T\" for each wrong counter and\n"
    "        \"checked N counters, M wrong\"; exit 0 none wrong, 1 some, 2 error\n"
    "repair  writes the computed values and prints each change; exit 0 when every\n"
    "        counter is right afterwards\n";

int UsageError(const std::string &message) { return hv::tools::UsageError("hvtally", kUsage, message); }

int Fail(const std::string &message) {
    std::fprintf(stderr, "hvtally: %s\n", message.c_str());
    return kExitError;
}

// The password file's whole content, as ldapsearch -y reads it.  Refuses
// links and anything but a regular file.
bool ReadPasswordFile(const std::string &path, std::string *out, std::string *error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "cannot read the password file " + path + ": " +
                 (fd < 0 ? std::strerror(errno) : "not a regular file");
        if (fd >= 0) ::close(fd);
        return false;
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 && out->size() <= kMaxPasswordBytes) {
        out->append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (out->size() > kMaxPasswordBytes) {
        *error = "the password file " + path + " is larger than 64 KiB";
        return false;
    }
    if (n < 0) {
        *error = "cannot read the password file " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// A progress line on standard error, only when it is a terminal and the
// run has taken more than a few seconds.
class Progress {
  public:
    Progress() : on_(::isatty(2) == 1), start_(Clock::now()), last_(start_) {}
    ~Progress() {
        if (shown_) std::fputc('\n', stderr);
    }
    void Tick(long entries) {
        if (!on_ || (entries & 255) != 0) return;
        auto now = Clock::now();
        if (now - start_ < std::chrono::seconds(3) || now - last_ < std::chrono::milliseconds(500)) {
            return;
        }
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "\rhvtally: %ld entries read", entries);
        std::fflush(stderr);
    }

  private:
    using Clock = std::chrono::steady_clock;
    bool on_;
    bool shown_ = false;
    Clock::time_point start_, last_;
};

std::vector<CounterState> Wrong(const Rule &rule, const std::vector<CounterState> &all) {
    std::vector<CounterState> wrong;
    for (const CounterState &c : all) {
        if (!c.Right(rule)) wrong.push_back(c);
    }
    return wrong;
}

struct Options {
    bool repair = false;
    std::string plugin;
    std::vector<std::string> pluginArgs;
    std::string file;
    hv::tally::LdapOptions ldap;
    std::string passwordFile;
    bool havePassword = false;
};

// -1 when the run goes on, else the exit status (0 for --help and
// --version).  The words that are not options are the mode, the plug-in and
// the plug-in's arguments, in that order.
int ParseCommandLine(int argc, char **argv, Options *o) {
    const hv::tools::CommandLine line =
        hv::tools::ParseCommandLine(argc, argv, {}, {"-f", "-H", "-D", "-w", "-y", "-b"});
    if (int status = hv::tools::AnswerOrRefuse(line, "hvtally", kUsage); status != -1) return status;
    const std::vector<std::string> &words = line.operands;
    if (words.size() < 2) return UsageError("a mode and a plug-in are needed");
    if (words[0] == "check") {
        o->repair = false;
    } else if (words[0] == "repair") {
        o->repair = true;
    } else {
        return UsageError("unknown mode \"" + words[0] + "\" (check or repair)");
    }
    o->plugin = words[1];
    o->pluginArgs.assign(words.begin() + 2, words.end());
    for (const auto &[option, value] : line.options) {
        switch (option[1]) {
            case 'f': o->file = value; break;
            case 'H': o->ldap.uri = value; break;
            case 'D': o->ldap.bindDn = value; break;
            case 'w': o->ldap.password = value; o->havePassword = true; break;
            case 'y': o->passwordFile = value; break;
            case 'b': o->ldap.base = value; break;
        }
    }
    if (o->file.empty() == o->ldap.uri.empty()) {
        return UsageError("give exactly one source: -f FILE or -H URI");
    }
    if (!o->file.empty() && (!o->ldap.bindDn.empty() || o->havePassword ||
                             !o->passwordFile.empty() || !o->ldap.base.empty())) {
        return UsageError("-D, -w, -y and -b belong to a live server (-H)");
    }
    if (!o->ldap.uri.empty()) {
        if (o->ldap.uri.rfind("ldap://", 0) != 0 && o->ldap.uri.rfind("ldapi://", 0) != 0) {
            return UsageError("the URI must begin with ldap:// or ldapi://");
        }
        if (o->ldap.base.empty()) return UsageError("-H needs -b base");
        if (o->havePassword && !o->passwordFile.empty()) return UsageError("give -w or -y, not both");
        if ((o->havePassword || !o->passwordFile.empty()) && o->ldap.bindDn.empty()) {
            return UsageError("a password needs -D binddn");
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    if (int status = ParseCommandLine(argc, argv, &o); status != -1) return status;
    Rule rule;
    std::string error;
    if (!hv::tally::ParseRule(o.plugin, o.pluginArgs, &rule, &error)) return UsageError(error);
    if (!o.passwordFile.empty() && !ReadPasswordFile(o.passwordFile, &o.ldap.password, &error)) {
        return Fail(error);
    }

    std::unique_ptr<hv::tally::Source> source =
        o.file.empty() ? hv::tally::OpenLdapSource(rule, o.ldap, &error)
                       : hv::tally::OpenFileSource(rule, o.file, &error);
    if (source == nullptr) return Fail(error);

    hv::tally::Recount recount(rule);
    {
        Progress progress;
        if (!source->Scan(&recount, [&](long n) { progress.Tick(n); }, &error)) return Fail(error);
    }
    const std::vector<CounterState> all = recount.Finish();
    std::vector<CounterState> wrong = Wrong(rule, all);

    if (!o.repair) {
        for (const CounterState &c : wrong) {
            std::printf("%s: stored %s, computed %ld\n", hv::EscapeControl(c.dn).c_str(),
                        hv::EscapeControl(c.StoredText()).c_str(), c.computed);
        }
        std::printf("checked %zu counters, %zu wrong\n", all.size(), wrong.size());
        return wrong.empty() ? kExitRight : kExitWrong;
    }

    std::printf("checked %zu counters, %zu wrong\n", all.size(), wrong.size());
    std::vector<CounterState> written;
    auto report = [&](const std::string &dn, const std::string &was, long now) {
        std::printf("%s: stored %s, set to %ld\n", hv::EscapeControl(dn).c_str(), hv::EscapeControl(was).c_str(),
                    now);
        for (const CounterState &c : wrong) {
            if (c.dn == dn) written.push_back(c);
        }
    };
    if (!source->Repair(wrong, report, &error)) return Fail(error);
    // On a live server a counted operation that had changed its entries but
    // not yet its counters when the repair read and wrote may still add its
    // change on top of the repaired value.  The repaired counters are
    // therefore read and counted again until a round finds nothing to write.
    bool settled = !source->Live() || written.empty();
    for (int round = 0; !settled && round < kVerifyRounds; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::vector<CounterState> again;
        again.swap(written);
        if (!source->Repair(again, report, &error)) return Fail(error);
        settled = written.empty();
    }
    std::fflush(stdout);
    if (!settled) {
        std::fprintf(stderr, "hvtally: counters kept changing while they were repaired; "
                             "run hvtally check again when the server is quieter\n");
        return kExitWrong;
    }
    return kExitRight;
}
