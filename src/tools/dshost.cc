// dshost: plays the directory server's part for the upgrade of an instance,
// so that an administrator can run it from the shell.
//
//   dshost upgrade <instance path>   file work (phase 0), then the
//                                    configuration entry through the host
//                                    directory loaded from config/dse.ldif
//                                    (phase 1), which records level 2
//   dshost status <server root>      each instance and its recorded levels
//
//   dshost --help | --version
//
// Exit status: 0 when every result was 0 or 8, 1 when one was not, 2 for a
// usage error.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/dir.h"
#include "hv/dsmigrate.h"
#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"

namespace {

constexpr char kEncryptionDn[] = "cn=encryption,cn=config";

void Usage(std::FILE *out, const char *prog) {
    std::fprintf(out,
                 "usage: %s upgrade <instance path>\n"
                 "       %s status <server root>\n"
                 "  upgrade  upgrades the instance (for example /srv/ds/slapd-main) to level 2\n"
                 "  status   lists the instances of the server root and their recorded levels\n",
                 prog, prog);
}

bool Exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The instance's files belong to its owner: a link or a FIFO there is not
// read (a FIFO would block), only a regular file.
bool ReadWhole(const std::string &path, std::string *out) {
    std::string::size_type slash = path.rfind('/');
    int err = 0;
    std::unique_ptr<hv::Dir> dir =
        hv::Dir::Open(hv::Env::Default(), slash == std::string::npos ? "." : path.substr(0, slash), &err);
    return dir != nullptr && dir->ReadFile(path.substr(slash + 1), out) == 0;
}

// A regular file, not a link.
bool IsRegularFile(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The levels recorded in the instance's version repository, in order; empty
// when the instance has none (never migrated, or back at the baseline).
std::vector<std::string> RecordedLevels(const std::string &instancepath) {
    std::string text;
    std::vector<std::string> levels;
    if (!ReadWhole(instancepath + "/upgrade/versions.conf", &text)) return levels;
    std::istringstream in(text);
    for (std::string tok; in >> tok;) levels.push_back(tok);
    return levels;
}

std::string DescribeLevels(const std::string &instancepath) {
    std::vector<std::string> levels = RecordedLevels(instancepath);
    if (levels.empty()) return "level 1 (baseline, no version repository)";
    std::string all;
    for (const std::string &l : levels) all += (all.empty() ? "" : " ") + l;
    return "level " + levels.back() + " (recorded: " + all + ")";
}

// The certificate database the configuration names, read from the file text
// (no need to load it for a listing).
std::string CertfileInText(const std::string &dse) {
    std::istringstream in(dse);
    for (std::string line; std::getline(in, line);) {
        if (line.size() > 11 && strncasecmp(line.c_str(), "hvCertfile:", 11) == 0) {
            std::string::size_type v = line.find_first_not_of(' ', 11);
            return v == std::string::npos ? "" : line.substr(v);
        }
    }
    return "(none)";
}

bool Succeeded(int rc) { return rc == 0 || rc == 8; }

// The upgrade writes the instance path into the administration scripts,
// which run from anywhere: a relative path must become an absolute one.
// Symbolic links are kept as named (no realpath), so a server root reached
// through a link stays reached through it.
bool MakeAbsolute(std::string *path) {
    if (path->empty() || path->front() == '/') return true;  // "" is refused below
    char *cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) {
        std::fprintf(stderr, "dshost: the current directory cannot be determined: %s\n", std::strerror(errno));
        return false;
    }
    std::string rel = *path;
    while (rel.rfind("./", 0) == 0) {
        rel.erase(0, 2);
        while (!rel.empty() && rel.front() == '/') rel.erase(0, 1);
    }
    if (rel == ".") rel.clear();
    *path = std::string(cwd) + (rel.empty() ? "" : "/" + rel);
    std::free(cwd);
    return true;
}

int Upgrade(std::string instancepath) {
    if (!MakeAbsolute(&instancepath)) return 1;
    const std::string dse = instancepath + "/config/dse.ldif";
    if (!IsDirectory(instancepath)) {
        std::fprintf(stderr, "dshost: %s is not an instance directory\n", instancepath.c_str());
        return 1;
    }
    if (!Exists(dse)) {
        std::fprintf(stderr, "dshost: %s is missing: not an instance, nothing done\n", dse.c_str());
        return 1;
    }
    if (!IsRegularFile(dse)) {
        std::fprintf(stderr, "dshost: %s is a link or not a regular file: refused, nothing done\n", dse.c_str());
        return 1;
    }
    std::printf("Upgrading %s\n", instancepath.c_str());
    int rc0 = upgrade_instance(0, instancepath.c_str());
    std::printf("phase 0 (certificate database, schema, scripts): result %d\n", rc0);
    if (rc0 == 8) {
        std::printf("already at level 2: nothing to do\n");
        std::printf("%s\n", DescribeLevels(instancepath).c_str());
        return 0;
    }
    // Recording level 2 after failed file work would hide the failure from
    // every later run: stop here so that the next run tries again.
    if (!Succeeded(rc0)) {
        std::printf("phase 0 failed: phase 1 not run, level not recorded\n");
        std::printf("%s\n", DescribeLevels(instancepath).c_str());
        return 1;
    }
    if (hv_dir_load_dse(dse.c_str()) != 0) {
        std::fprintf(stderr, "dshost: %s could not be loaded: phase 1 not run\n", dse.c_str());
        return 1;
    }
    // Every change phase 1 makes is written back to dse.ldif by the host.
    int rc1 = upgrade_instance(1, instancepath.c_str());
    std::printf("phase 1 (configuration entry, level): result %d\n", rc1);
    if (Slapi_Entry *e = hv_dir_get_entry(kEncryptionDn)) {
        char *cert = slapi_entry_attr_get_charptr(e, "hvCertfile");
        std::printf("hvCertfile: %s\n", cert != nullptr ? cert : "(none)");
        slapi_ch_free_string(&cert);
        slapi_entry_free(e);
    }
    std::printf("%s\n", DescribeLevels(instancepath).c_str());
    return Succeeded(rc1) ? 0 : 1;
}

int Status(const std::string &root) {
    DIR *d = ::opendir(root.c_str());
    if (d == nullptr) {
        std::fprintf(stderr, "dshost: server root %s cannot be read: %s\n", root.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<std::string> names;
    while (struct dirent *ent = ::readdir(d)) {
        if (std::strncmp(ent->d_name, "slapd-", 6) == 0 && IsDirectory(root + "/" + ent->d_name))
            names.push_back(ent->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    if (names.empty()) {
        std::fprintf(stderr, "dshost: no instance (slapd-*) found in %s\n", root.c_str());
        return 1;
    }
    for (const std::string &name : names) {
        const std::string inst = root + "/" + name;
        std::string dse;
        std::string cert = ReadWhole(inst + "/config/dse.ldif", &dse) ? CertfileInText(dse)
                                                                       : "(no config/dse.ldif)";
        std::printf("%s: %s, hvCertfile %s, cert8 database %s\n", name.c_str(), DescribeLevels(inst).c_str(),
                    cert.c_str(), Exists(root + "/alias/" + name + "-cert8.db") ? "present" : "absent");
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *prog = argc > 0 ? argv[0] : "dshost";
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        Usage(stdout, prog);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("dshost (hvds) %s\n", HV_VERSION);
        return 0;
    }
    if (argc != 3) {
        Usage(stderr, prog);
        return 2;
    }
    std::string path = argv[2];
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (std::strcmp(argv[1], "upgrade") == 0) return Upgrade(path);
    if (std::strcmp(argv[1], "status") == 0) return Status(path);
    std::fprintf(stderr, "%s: unknown command '%s'\n", prog, argv[1]);
    Usage(stderr, prog);
    return 2;
}
