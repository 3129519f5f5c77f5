// The upgrade's schema steps: the retro change log's and the password
// policy's attribute types go into the instance's core schema file, and the
// instance's schema push script makes the running server take them up.
#include <cstdlib>
#include <string>

#include "migrate/migrate_paths.h"
#include "migrate/result_codes.h"
#include "migrate/schema.h"

namespace {

struct AttributeTypeDef {
    const char *name;
    const char *definition;
};

constexpr AttributeTypeDef kRetroChangeLogTypes[2] = {
    {"deletedEntryAttrs",
     "( 1.3.6.1.4.1.63299.2.27.9.1.595 NAME 'deletedEntryAttrs' DESC 'RetroChangelog attribute type' "
     "SYNTAX 1.3.6.1.4.1.1466.115.121.1.5 SINGLE-VALUE NO-USER-MODIFICATION USAGE directoryOperation "
     "X-ORIGIN 'Kel Directory Server' )"},
    {"targetUniqueId",
     "( 1.3.6.1.4.1.63299.2.27.9.1.596 NAME 'targetUniqueId' DESC 'RetroChangelog attribute type' "
     "SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE NO-USER-MODIFICATION USAGE directoryOperation "
     "X-ORIGIN 'Kel Directory Server' )"},
};

constexpr AttributeTypeDef kPasswordPolicyTypes[2] = {
    {"pwdChangedTime",
     "( 1.3.6.1.4.1.63299.2.27.8.1.16 NAME 'pwdChangedTime' DESC 'Directory Server defined password "
     "policy attribute type' SYNTAX 1.3.6.1.4.1.1466.115.121.1.24 SINGLE-VALUE USAGE directoryOperation "
     "X-DS-USE 'internal' X-ORIGIN 'Kel Directory Server' )"},
    {"usePwdChangedTime",
     "( 1.3.6.1.4.1.63299.2.27.9.1.597 NAME 'usePwdChangedTime' DESC 'Directory Server defined attribute "
     "type' SYNTAX 1.3.6.1.4.1.1466.115.121.1.15 SINGLE-VALUE X-DS-USE 'internal' X-ORIGIN 'Kel Directory "
     "Server' )"},
};

// Adds both definitions, then pushes the schema when the file changed.
int AddSchemaTypes(int phase, const char *root, const char *instance, const AttributeTypeDef (&defs)[2]) {
    if (phase != 0) return kResultOk;
    std::string instancedir, schemafile, pushscript;
    if (!hv::migrate::BuildPath(&instancedir, "%s/%s", root, instance) ||
        !hv::migrate::BuildPath(&schemafile, "%s/config/schema/00core.ldif", instancedir.c_str()) ||
        !hv::migrate::BuildPath(&pushscript, "%s/schema_push.pl", instancedir.c_str()))
        return kResultFileError;
    bool changed = false;
    int rc = kResultOk;
    for (const AttributeTypeDef &def : defs) {
        rc = modify_attributeTypes_from_ldif(schemafile.c_str(), ATTR_ADD, def.name, def.definition,
                                             "cn=schema");
        if (rc == kResultOk) changed = true;
        if (!IsSuccess(rc)) return rc;  // a later run adds what is missing
    }
    if (changed) return cmdExec(pushscript.c_str());
    return rc;
}

}  // namespace

int upgrade_RetroChangeLog(int phase, const char *serverroot, const char *instancename) {
    return AddSchemaTypes(phase, serverroot, instancename, kRetroChangeLogTypes);
}

int upgrade_Password_Policy(int phase, const char *serverroot, const char *instancename) {
    return AddSchemaTypes(phase, serverroot, instancename, kPasswordPolicyTypes);
}

// The command is one path: quoted for the shell, so that blanks or shell
// characters in a server root are neither split nor run.
int cmdExec(const char *command) {
    std::string quoted = "'";
    for (const char *p = command; *p != '\0'; ++p) {
        if (*p == '\'')
            quoted += "'\\''";
        else
            quoted += *p;
    }
    quoted += '\'';
    std::string line;
    if (!hv::migrate::BuildPath(&line, "%s > /dev/null 2>&1", quoted.c_str())) return kResultFailed;
    return std::system(line.c_str()) == 0 ? kResultOk : kResultFailed;
}
