#include "migrate/script_templates.h"

namespace hv {
namespace {

// Refuses to run on a cluster node where the instance's resource is not
// online; "STARTED_FROM_KEL_CLUSTER" as first argument (the cluster agent
// itself) skips the check and is removed.
#define HV_GUARD                                                                        \
    "if [ \"STARTED_FROM_KEL_CLUSTER\" != \"$1\" ];\n"                                   \
    "then\n"                                                                             \
    "    CLUSTERINFO=`%s/get-clusterinfo-slapd`\n"                                       \
    "    if [ \"X$CLUSTERINFO\" != \"X\" ];\n"                                           \
    "    then\n"                                                                         \
    "        CLUSTERROOTPATH=`" HV_CLUSTER_PACKAGE_QUERY " 2> /dev/null`\n"              \
    "        active=`$CLUSTERROOTPATH" HV_CLUSTER_STATUS                                 \
    " | awk \"/Resource.*$CLUSTERINFO.*Online/ {print \"'$3}'`\n"                        \
    "        if [ -n \"$active\" -a `uname -n` != \"$active\" ];\n"                      \
    "            then\n"                                                                 \
    "            echo \"Please run this command on the current active node: $active\"\n" \
    "            exit 4\n"                                                               \
    "        fi\n"                                                                       \
    "    fi\n"                                                                           \
    "else\n"                                                                             \
    "    shift\n"                                                                        \
    "fi\n"

// Runs the 64-bit server program when there is one and the system is 64-bit.
#define HV_SWITCH_64                                                              \
    "[ -x ./64/hv-slapd ] && [ \"`" HV_BIT_WIDTH_QUERY " 2> /dev/null`\" = 64 ] " \
    "&& cd ./64\n"

#define HV_SERVER_ROOT_EXPORT \
    "PELORIN_ROOT=%s\n"       \
    "export PELORIN_ROOT\n"

constexpr char kSaveconfig[] =
    HV_GUARD
    HV_SERVER_ROOT_EXPORT
    "cd %s\n"
    "echo saving configuration ...\n"
    "conf_ldif=%s/confbak/`date +%%Y_%%m_%%d_%%H%%M%%S`.ldif\n"
    HV_SWITCH_64
    "./hv-slapd db2ldif -N -D %s -s \"%s\" -a $conf_ldif -n HalvoranRoot 2>&1\n"
    "if [ \"$?\" -ge 1 ] \n"
    "then\n"
    "    echo Error occurred while saving configuration\n"
    "    exit 1\n"
    "fi\n"
    "exit 0\n";

constexpr char kRestoreconfig[] =
    HV_GUARD
    HV_SERVER_ROOT_EXPORT
    "cd %s\n"
    "conf_ldif=`ls -1t %s/confbak/*.ldif | head -1`\n"
    "if [ -z \"$conf_ldif\" ]\n"
    "then\n"
    "    echo No configuration to restore in %s/confbak ; exit 1\n"
    "fi\n"
    "echo Restoring $conf_ldif\n"
    HV_SWITCH_64
    "./hv-slapd ldif2db -D %s -i $conf_ldif -n HalvoranRoot 2>&1\n"
    "exit $?\n";

constexpr char kLdif2db[] =
    HV_GUARD
    HV_SERVER_ROOT_EXPORT
    "cd %s\n"
    "if [ $# -lt 4 ]\n"
    "then\n"
    "\techo \"Usage: ldif2db -n backend_instance | {-s includesuffix}* [{-x excludesuffix}*] "
    "[-Y keydb-pwd] [-y keydb-pwd-file]\"\n"
    "\techo \"               {-i ldiffile}* [-O]\"\n"
    "\techo \"Note: either \\\"-n backend_instance\\\" or \\\"-s includesuffix\\\" and "
    "\\\"-i ldiffile\\\" are required.\"\n"
    "\texit 1\n"
    "fi\n"
    "\n"
    "echo importing data ...\n"
    HV_SWITCH_64
    "./hv-slapd ldif2db -D %s \"$@\" 2>&1\n"
    "exit $?\n";

constexpr char kDb2ldif[] =
    HV_GUARD
    HV_SERVER_ROOT_EXPORT
    "cd %s\n"
    "if [ \"$#\" -lt 2 ];\n"
    "then\n"
    "\techo \"Usage: db2ldif {-n backend_instance}* | {-s includesuffix}*\"\n"
    "\techo \"               [{-x excludesuffix}*] [-a outputfile]\"\n"
    "\techo \"               [-N] [-r] [-C] [-u] [-U] [-m] [-M] [-1] [-Y keydb-pwd] "
    "[-y keydb-pwd-file]\"\n"
    "\techo \"Note: either \\\"-n backend_instance\\\" or \\\"-s includesuffix\\\" is "
    "required.\"\n"
    "\texit 1\n"
    "fi\n"
    "\n"
    "set_ldif=0\n"
    "ldif_file=\"mydummy\"\n"
    "for arg in \"$@\"\n"
    "do\n"
    "\tif [ \"$arg\" = '-a' ];\n"
    "\tthen\n"
    "\t\tset_ldif=1\n"
    "\telif [ $set_ldif -eq 1 ];\n"
    "\tthen\n"
    "\t\tldif_file=$arg\n"
    "\t\tset_ldif=2\n"
    "\tfi\n"
    "done\n"
    "if [ $ldif_file = \"mydummy\" ]\n"
    "then\n"
    "\tldif_file=%s/ldif/`date +%%Y_%%m_%%d_%%H%%M%%S`.ldif\n"
    "fi\n"
    HV_SWITCH_64
    "if [ $set_ldif -eq 2 ]\n"
    "then\n"
    "./hv-slapd db2ldif -D %s \"$@\"\n"
    "else\n"
    "./hv-slapd db2ldif -D %s -a $ldif_file \"$@\"\n"
    "fi\n";

constexpr char kVlvindex[] =
    HV_GUARD
    "cd %s\n"
    "if [ $# -lt 4 ]\n"
    "then\n"
    "\techo \"Usage: vlvindex -n backend_instance | {-s includesuffix}* -T attribute\"\n"
    "\techo Note: either \\\"-n backend_instance\\\" or \\\"-s includesuffix\\\" are "
    "required.\n"
    "\texit 1\n"
    "fi\n"
    "\n"
    HV_SWITCH_64
    "./hv-slapd db2index -D %s \"$@\"\n";

// Option parsing shared by db2bak and bak2db, after "cd" and USAGE.
#define HV_HELP_OPTION     \
    "while getopts h c\n"  \
    "do\n"                 \
    "    case $c in\n"     \
    "\t\\? | h) echo $USAGE\n" \
    "\t\texit 2;;\n"       \
    "    esac\n"           \
    "done\n"               \
    "shift `expr $OPTIND - 1`\n"

constexpr char kDb2bak[] =
    HV_GUARD
    "cd %s\n"
    "USAGE=\"Usage: db2bak [backup_directory]\"\n"
    HV_HELP_OPTION
    "if [ \"$#\" -gt 1 ]; then\n"
    "    echo $USAGE\n"
    "    exit 2\n"
    "fi\n"
    "if [ \"$#\" -eq 1 ]\n"
    "then\n"
    "\tbak_dir=$1\n"
    "else\n"
    "\tbak_dir=%s/bak/`date +%%Y_%%m_%%d_%%H_%%M_%%S`\n"
    "fi\n"
    "\n"
    "echo \"Backup to $bak_dir\"\n"
    HV_SWITCH_64
    "./hv-slapd db2archive -D %s -a $bak_dir\n";

constexpr char kBak2db[] =
    HV_GUARD
    "cd %s\n"
    "USAGE=\"Usage: bak2db backup_directory\"\n"
    HV_HELP_OPTION
    "if [ \"$#\" -ne 1 ]; then\n"
    "    echo $USAGE\n"
    "    exit 2\n"
    "fi\n"
    HV_SWITCH_64
    "./hv-slapd archive2db -D %s -a $1\n";

constexpr char kSuffix2instance[] =
    HV_GUARD
    "cd %s\n"
    "if [ $# -lt 2 ]\n"
    "then\n"
    "\techo Usage: suffix2instance {-s includesuffix}*\n"
    "\texit 1\n"
    "fi\n"
    "\n"
    HV_SWITCH_64
    "./hv-slapd suffix2instance -D %s \"$@\" 2>&1\n";

constexpr char kGetClusterinfo[] =
    "\n"
    "# Detect if the slapd instance is configured within kel cluster\n"
    "# exit startus:\n"
    "#    0: if not clusterized\n"
    "#    1: if clusterized\n"
    "# output:\n"
    "#    the cluster ressource name when the instance is clusterized\n"
    "#    nothing is instance is not clusterized\n"
    "# \n"
    "CLUSTERROOTPATH=`" HV_CLUSTER_PACKAGE_QUERY " 2> /dev/null`\n"
    "if [ $? -eq 1 ]\n"
    "then\n"
    "  # " HV_CLUSTER_PACKAGE " not installed on the machine so the instance is not running \n"
    "  # under cluster \n"
    "  exit 0\n"
    "fi\n"
    "PATH=$PATH:$CLUSTERROOTPATH" HV_CLUSTER_BIN_DIR "\n"
    "export PATH\n"
    "instance=\"%s\"\n"
    "upd_instance=`echo $instance | sed s#//*#/#g`\n"
    "for i in `" HV_CLUSTER_RESOURCE_LIST " | awk '{ print $3 }'`\n"
    "do\n"
    "  name=`" HV_CLUSTER_RESOURCE_PROPS " | awk '{ print $5 }'`\n"
    "  bname=`/usr/bin/basename $name`\n"
    "  dname=`/usr/bin/dirname $name | sed s#//*#/#g`\n"
    "  name=$dname'/'$bname\n"
    "  if [ \"$name\" = \"$upd_instance\" ]\n"
    "  then\n"
    "    echo $i\n"
    "    exit 1\n"
    "  fi\n"
    "done\n"
    "exit 0\n"
    "\n";

using V = ScriptValue;
constexpr V kInst = V::kInstancePath;
constexpr V kRoot = V::kServerRoot;
constexpr V kBin = V::kServerBinDir;

constexpr ScriptTemplate kTemplates[] = {
    {"saveconfig", kSaveconfig, {kInst, kRoot, kBin, kInst, kInst, V::kConfigSuffix}, 6},
    {"restoreconfig", kRestoreconfig, {kInst, kRoot, kBin, kInst, kInst, kInst}, 6},
    {"ldif2db", kLdif2db, {kInst, kRoot, kBin, kInst}, 4},
    {"db2ldif", kDb2ldif, {kInst, kRoot, kBin, kInst, kInst, kInst}, 6},
    {"vlvindex", kVlvindex, {kInst, kBin, kInst}, 3},
    {"db2bak", kDb2bak, {kInst, kBin, kInst, kInst}, 4},
    {"bak2db", kBak2db, {kInst, kBin, kInst}, 3},
    {"suffix2instance", kSuffix2instance, {kInst, kBin, kInst}, 3},
    {"get-clusterinfo-slapd", kGetClusterinfo, {kInst}, 1},
};

}  // namespace

std::span<const ScriptTemplate> ScriptTemplates() { return kTemplates; }

bool CanCarryInScript(std::string_view path) {
    for (unsigned char c : path) {
        if (c < 0x20 || c == 0x7f) return false;
        if (std::string_view(" '\"`$;&|<>()\\*?[#~").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
    }
    return true;
}

}  // namespace hv
