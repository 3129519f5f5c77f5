// How the hvds tools (dshost, hvtally) read their command lines, so that
// both behave alike:
//   - options and operands may come in any order; "--" ends the options;
//   - an option that takes a value takes the next word, whatever it is;
//   - -h or --help anywhere before "--" prints the usage text on standard
//     output and exits 0, --version prints "NAME (hvds) VERSION" and exits 0;
//   - a usage error prints "NAME: message" and the usage text on standard
//     error and exits 2.
// dsmigrate keeps its own long-standing command line.
#ifndef HV_TOOLS_COMMAND_LINE_H
#define HV_TOOLS_COMMAND_LINE_H

#include <string>
#include <utility>
#include <vector>

namespace hv::tools {

constexpr int kExitUsage = 2;

struct CommandLine {
    // Options in the order given, each with its value ("" for a flag).
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> operands;
    bool help = false;
    bool version = false;
    std::string error;  // a usage error; "" when the line parsed
};

// flags are the options without a value, valued those that take one (both
// spelled as on the command line, "-f" or "--json").
CommandLine ParseCommandLine(int argc, char **argv, const std::vector<std::string> &flags,
                             const std::vector<std::string> &valued);

// Prints "name: message" and the usage text on standard error; returns
// kExitUsage.
int UsageError(const char *name, const char *usage, const std::string &message);

// Answers --help and --version and reports a parse error.  Returns -1 when
// the program goes on, else its exit status.
int AnswerOrRefuse(const CommandLine &line, const char *name, const char *usage);

}  // namespace hv::tools

#endif  // HV_TOOLS_COMMAND_LINE_H
