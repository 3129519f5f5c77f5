// The command lines of dshost and hvtally, run as a user would: one
// convention for both (options anywhere, -h/--help and --version answer with
// 0, a usage error says what is wrong and exits 2), and faults seen before.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/server_root.h"

namespace hvtest {
namespace {

struct Case {
    std::string program;  // dshost or hvtally
    std::vector<std::string> args;
    int exit_status;
    std::string out;  // the beginning of standard output
    std::string err;  // the first line of standard error, without its newline
    bool usage = false;  // the usage text follows on standard error
};

// A substitute for a word that depends on the run.
constexpr char kRoot[] = "@ROOT";
constexpr char kLdif[] = "@LDIF";

const std::vector<std::string> kNode = {"nodetally", "counterAttribute=entryCount",
                                        "counterObjectClass=counterHolder",
                                        "requiredObjectClass=person"};

std::vector<std::string> Tally(const std::string &mode, std::vector<std::string> before,
                               std::vector<std::string> after) {
    std::vector<std::string> args = std::move(before);
    args.push_back(mode);
    args.insert(args.end(), kNode.begin(), kNode.end());
    args.insert(args.end(), after.begin(), after.end());
    return args;
}

TEST(ToolCommandLines, OneConventionForDshostAndHvtally) {
    ServerRoot root;
    root.AddInstance("slapd-a");
    const std::string ldif = root.Join("counters.ldif");
    WriteFile(ldif,
              "dn: dc=x\nobjectClass: domain\nobjectClass: counterHolder\ndc: x\nentryCount: 1\n\n"
              "dn: cn=a,dc=x\nobjectClass: person\ncn: a\nsn: a\n\n");
    const std::string json = "{\"server_root\": \"" + root.path() + "\"";
    const Case cases[] = {
        // Help and version anywhere, with 0 and the answer on standard output.
        {"dshost", {"-h"}, 0, "usage: dshost upgrade", ""},
        {"dshost", {"--help"}, 0, "usage: dshost upgrade", ""},
        {"dshost", {"status", kRoot, "-h"}, 0, "usage: dshost upgrade", ""},
        {"dshost", {"upgrade", "--version"}, 0, "dshost (hvds) " HV_VERSION "\n", ""},
        {"hvtally", {"-h"}, 0, "usage: hvtally check|repair", ""},
        {"hvtally", {"--help"}, 0, "usage: hvtally check|repair", ""},
        {"hvtally", Tally("check", {}, {"-f", kLdif, "-h"}), 0, "usage: hvtally check|repair", ""},
        {"hvtally", {"--version"}, 0, "hvtally (hvds) " HV_VERSION "\n", ""},
        // Options before, between or after the operands.
        {"dshost", {"status", kRoot, "--json"}, 0, json, ""},
        {"dshost", {"status", "--json", kRoot}, 0, json, ""},
        {"dshost", {"--json", "status", kRoot}, 0, json, ""},
        {"hvtally", Tally("check", {}, {"-f", kLdif}), 0, "checked 1 counters, 0 wrong\n", ""},
        {"hvtally", Tally("check", {"-f", kLdif}, {}), 0, "checked 1 counters, 0 wrong\n", ""},
        // "--" ends the options.
        {"dshost", {"status", "--", "--json"}, 1, "", "dshost: server root --json cannot be read: "
                                                      "No such file or directory"},
        // Usage errors: what is wrong, then the usage text, on standard error.
        {"dshost", {}, 2, "", "dshost: a command and a path are needed", true},
        {"dshost", {"status", kRoot, "-x"}, 2, "", "dshost: unknown option -x", true},
        {"dshost", {"upgrade", "--json", kRoot}, 2, "", "dshost: --json belongs to status", true},
        {"dshost", {"frobnicate", kRoot}, 2, "", "dshost: unknown command 'frobnicate'", true},
        {"hvtally", {}, 2, "", "hvtally: a mode and a plug-in are needed", true},
        {"hvtally", Tally("check", {}, {"-f", kLdif, "-z"}), 2, "", "hvtally: unknown option -z", true},
        {"hvtally", Tally("check", {}, {"-f"}), 2, "", "hvtally: option -f needs a value", true},
        // A file that cannot be opened is hvtally's message, not a log line.
        {"hvtally", Tally("check", {}, {"-f", "/nonexistent"}), 2, "",
         "hvtally: /nonexistent: cannot be read: No such file or directory"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args;
        for (const std::string &a : c.args) args.push_back(a == kRoot ? root.path() : a == kLdif ? ldif : a);
        SCOPED_TRACE(c.program + " " + testing::PrintToString(args));
        ProgramResult r = RunProgram(std::string(HV_BUILD_DIR) + "/bin/" + c.program, args);
        EXPECT_EQ(r.exit_status, c.exit_status) << r.out << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.out;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.err) << r.err;
        EXPECT_EQ(r.err.find("\nusage: " + c.program) != std::string::npos, c.usage) << r.err;
    }
}

}  // namespace
}  // namespace hvtest
