// The texts of the instance administration scripts that the upgrade writes,
// with the order of the values each one takes, and the outside commands they
// call (cluster software, instruction-set query).  Everything here is a
// constant: safe to read from any thread.
#ifndef HV_MIGRATE_SCRIPT_TEMPLATES_H
#define HV_MIGRATE_SCRIPT_TEMPLATES_H

#include <cstddef>
#include <span>
#include <string_view>

namespace hv {

// Outside commands used by the generated scripts, spelled as macros so that
// the templates can embed them at compile time.  The package query is looked
// up through PATH, so that an administrator (or a test) can put a
// site-specific one in front; it prints the installation directory of the
// cluster package and exits 1 when the package is absent.  Below that
// directory lie the cluster's command directory and its status command (one
// line per resource: "Resource NAME NODE STATE").  The resource listing
// prints lines "Resource Name: NAME", the properties of one resource lines
// "NAME property PROPERTY value VALUE".  docs/scripts.md has the contract.
#define HV_CLUSTER_PACKAGE "hvcluster"
#define HV_CLUSTER_PACKAGE_QUERY "hvclu-pkginfo -d " HV_CLUSTER_PACKAGE
#define HV_CLUSTER_BIN_DIR "/bin"
#define HV_CLUSTER_STATUS HV_CLUSTER_BIN_DIR "/hvclu-status"
#define HV_CLUSTER_RESOURCE_LIST "hvclu-res -l 2> /dev/null | grep '^Resource Name: '"
#define HV_CLUSTER_RESOURCE_PROPS \
    "hvclu-res -p $i 2> /dev/null | grep ' property Confdir_list value '"
#define HV_BIT_WIDTH_QUERY "/usr/bin/getconf LONG_BIT"

// Shell interpreter and prologue of every written script.
inline constexpr const char kScriptInterpreter[] = "/bin/sh";
inline constexpr const char kScriptInterpreterLine[] = "#!%s\n\n";
inline constexpr const char kScriptPrologue[] = "unset LD_LIBRARY_PATH\n";

// Suffix of the configuration backend exported by saveconfig.
inline constexpr const char kConfigSuffix[] = "o=HalvoranRoot";

// What fills a template's placeholders.
enum class ScriptValue {
    kInstancePath,   // "%s/%s" of server root and instance name
    kServerRoot,     // the server root as given
    kServerBinDir,   // "%s/bin/slapd/server" of the server root
    kConfigSuffix,   // kConfigSuffix
};

inline constexpr std::size_t kMaxScriptValues = 6;

struct ScriptTemplate {
    const char *name;  // file name in the instance directory
    const char *text;  // printf format: "%s" per value, "%%" for "%"
    ScriptValue values[kMaxScriptValues];
    std::size_t value_count;
};

// Whether path can be pasted into a template as it is: the scripts are shell
// text, so a byte the shell would split on or interpret (blank, quote,
// backquote, $ ; & | < > ( ) \\ * ? [ # ~, newline, any control byte) would
// break them or run something else.
bool CanCarryInScript(std::string_view path);

// The nine scripts, in the order in which the upgrade writes them.
std::span<const ScriptTemplate> ScriptTemplates();

}  // namespace hv

#endif  // HV_MIGRATE_SCRIPT_TEMPLATES_H
