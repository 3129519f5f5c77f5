// Argument handling common to both counter plug-ins.
#include "plugins/plugin_args.h"

#include <cstring>

#include "plugins/counter_utils.h"

namespace hv::plugins {

namespace {
constexpr std::size_t kLoadMessageLimit = 10240 - 1;  // bytes before the NUL
}  // namespace

void InitArgs::Remember(int argc, char **argv) {
    auto copy = std::make_unique<Copy>();
    for (int i = 0; argv != nullptr && i < argc; ++i) {
        copy->texts.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }
    for (std::string &t : copy->texts) copy->pointers.push_back(t.data());
    copy->pointers.push_back(nullptr);
    copies_.push_back(std::move(copy));
}

int InitArgs::argc() const {
    return copies_.empty() ? 0 : static_cast<int>(copies_.back()->texts.size());
}

char **InitArgs::argv() const {
    return copies_.empty() ? nullptr : copies_.back()->pointers.data();
}

int GetOperationArgs(Slapi_PBlock *pb, const InitArgs &init, int *argc, char ***argv) {
    *argc = 0;
    *argv = nullptr;
    if (slapi_pblock_get(pb, SLAPI_PLUGIN_ARGC, argc) != 0) {
        op_error(10);
        return 10;
    }
    // A block that counts no arguments may not answer for the texts at all.
    if (*argc > 0 && slapi_pblock_get(pb, SLAPI_PLUGIN_ARGV, argv) != 0) {
        op_error(11);
        return 11;
    }
    if (*argc <= 0 || *argv == nullptr) {
        *argc = init.argc();
        *argv = init.argv();
    }
    return 0;
}

std::string JoinArgumentsForLog(int argc, char **argv, int first) {
    std::string joined;
    for (int i = first; argv != nullptr && i < argc; ++i) {
        joined += '"';
        joined += argv[i] != nullptr ? argv[i] : "";
        joined += "\" ";
        if (joined.size() >= kLoadMessageLimit) {
            joined.resize(kLoadMessageLimit);
            break;
        }
    }
    return joined;
}

}  // namespace hv::plugins
