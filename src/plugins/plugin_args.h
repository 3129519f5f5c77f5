// Argument texts of a counter plug-in: the copy taken at initialisation, the
// texts an operation runs with, and the load message.
//
// The server hands the plug-in its configuration's argument texts at
// initialisation; some servers do not hand them to each operation again, so
// the plug-in keeps its own copy and falls back to it.
//
// Thread-safety: Remember runs during initialisation, before any operation;
// Get may then be called from many operation threads at once.
#ifndef HV_PLUGINS_PLUGIN_ARGS_H
#define HV_PLUGINS_PLUGIN_ARGS_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hv/slapi-plugin.h"

namespace hv::plugins {

class InitArgs {
  public:
    // Copies argc texts of argv (none counts as empty).  Earlier copies stay
    // alive, so texts handed out before a second initialisation stay valid.
    void Remember(int argc, char **argv);
    int argc() const;
    char **argv() const;

  private:
    struct Copy {
        std::vector<std::string> texts;
        std::vector<char *> pointers;
    };
    std::vector<std::unique_ptr<Copy>> copies_;
};

// Reads the operation's argument count and texts from pb.  Returns 10 or 11
// (after op_error) when a read fails, else 0 with *argc/*argv set, taken from
// init when the block carries none.
int GetOperationArgs(Slapi_PBlock *pb, const InitArgs &init, int *argc, char ***argv);

// The arguments from index first on, each as "\"arg\" ", cut to fit the
// server's 10240-byte message buffer.
std::string JoinArgumentsForLog(int argc, char **argv, int first);

}  // namespace hv::plugins

#endif  // HV_PLUGINS_PLUGIN_ARGS_H
