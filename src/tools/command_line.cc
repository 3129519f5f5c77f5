#include "tools/command_line.h"

#include <algorithm>
#include <cstdio>

namespace hv::tools {

namespace {

bool Among(const std::vector<std::string> &list, const std::string &word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

}  // namespace

CommandLine ParseCommandLine(int argc, char **argv, const std::vector<std::string> &flags,
                             const std::vector<std::string> &valued) {
    CommandLine line;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!options || word.size() < 2 || word[0] != '-') {
            line.operands.push_back(word);
        } else if (word == "--") {
            options = false;
        } else if (word == "-h" || word == "--help") {
            line.help = true;
        } else if (word == "--version") {
            line.version = true;
        } else if (Among(flags, word)) {
            line.options.emplace_back(word, "");
        } else if (!Among(valued, word)) {
            // The first fault is the one reported; help may still come later.
            if (line.error.empty()) line.error = "unknown option " + word;
        } else if (i + 1 < argc) {
            line.options.emplace_back(word, argv[++i]);
        } else if (line.error.empty()) {
            line.error = "option " + word + " needs a value";
        }
    }
    return line;
}

int UsageError(const char *name, const char *usage, const std::string &message) {
    std::fprintf(stderr, "%s: %s\n%s", name, message.c_str(), usage);
    return kExitUsage;
}

int AnswerOrRefuse(const CommandLine &line, const char *name, const char *usage) {
    if (line.help) {
        std::fputs(usage, stdout);
        return 0;
    }
    if (line.version) {
        std::printf("%s (hvds) %s\n", name, HV_VERSION);
        return 0;
    }
    if (!line.error.empty()) return UsageError(name, usage, line.error);
    return -1;
}

}  // namespace hv::tools
