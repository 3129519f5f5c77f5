// dshost: plays the directory server's part for the upgrade of an instance,
// so that an administrator can run it from the shell.
//
//   dshost upgrade <instance path>   file work (phase 0), then the
//                                    configuration entry through the host
//                                    directory loaded from config/dse.ldif
//                                    (phase 1), which records level 2
//   dshost status [--json] <server root>
//                                    each instance: its level, what is
//                                    inconsistent in its repository, a
//                                    pending schema push, the certificate
//                                    database in use, the saved scripts
//
//   dshost --help | --version
//
// Options and operands in any order (tools/command_line.h).  Exit status: 0
// when every result was 0 or 8, 1 when one was not, 2 for a usage error.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/dir.h"
#include "common/string_format.h"
#include "hv/dsmigrate.h"
#include "hv/slapi-host.h"
#include "hv/slapi-plugin.h"
#include "migrate/instance.h"
#include "migrate/owner.h"
#include "migrate/version_repository.h"
#include "migrate/worker.h"
#include "tools/command_line.h"

namespace {

constexpr char kEncryptionDn[] = "cn=encryption,cn=config";

const char kUsage[] =
    "usage: dshost upgrade <instance path>\n"
    "       dshost status [--json] <server root>\n"
    "  upgrade  upgrades the instance (for example /srv/ds/slapd-main) to level 2\n"
    "  status   lists the instances of the server root: level, repository problems,\n"
    "           pending schema push, certificate database, saved scripts\n"
    "           (--json: as one JSON object)\n";

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
    if (dir == nullptr) {
        errno = err;
        return false;
    }
    err = dir->ReadFile(path.substr(slash + 1), out);
    errno = err;
    return err == 0;
}

// What the version repository of an instance records, read with the
// migration's own repository code.
struct Repository {
    bool present = false;         // upgrade/versions.conf exists
    std::vector<int> levels;      // as recorded
    int level = 1;                // the level the data is in sync with
    std::vector<std::string> problems;
};

Repository ReadRepository(const std::string &instancepath) {
    Repository repo;
    const std::string upgrade = instancepath + "/upgrade";
    const std::string file = upgrade + "/versions.conf";
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0) {
        if (IsDirectory(upgrade)) repo.problems.push_back("upgrade directory without versions.conf");
        return repo;
    }
    repo.present = true;
    if (!S_ISREG(st.st_mode)) {
        repo.problems.push_back("versions.conf is not a regular file");
        return repo;
    }
    char *text = nullptr;
    if (getVersions_versionRepository(file.c_str(), &text) != 0) {
        repo.problems.push_back("versions.conf cannot be read");
        return repo;
    }
    std::string content = text;
    ch_free_string(&text);
    std::istringstream in(content);
    for (std::string tok; in >> tok;) {
        char *end = nullptr;
        long v = std::strtol(tok.c_str(), &end, 10);
        if (*end != '\0' || v < 1 || v > 2) {
            repo.problems.push_back("unknown level \"" + tok + "\"");
            continue;
        }
        repo.levels.push_back(static_cast<int>(v));
    }
    if (repo.levels.empty()) {
        repo.problems.push_back("versions.conf records no level");
    } else {
        repo.level = repo.levels.back();
        if (repo.levels.front() != 1) repo.problems.push_back("the baseline (level 1) is not recorded first");
        for (std::size_t i = 1; i < repo.levels.size(); ++i)
            if (repo.levels[i] <= repo.levels[i - 1]) repo.problems.push_back("levels are not ascending");
        // "1" and a separator is what a downgrade writes just before it
        // removes the directory.
        if (repo.levels.size() == 1 && !content.empty() && std::strchr("\t\n\r ", content.back()) != nullptr)
            repo.problems.push_back("back at the baseline but the upgrade directory is left (interrupted downgrade)");
    }
    return repo;
}

std::string DescribeLevels(const Repository &repo) {
    if (!repo.present) return "level 1 (baseline, no version repository)";
    std::string all;
    for (int l : repo.levels) all += (all.empty() ? "" : " ") + std::to_string(l);
    return "level " + std::to_string(repo.level) + " (recorded: " + all + ")";
}

// hvCertfile of the encryption entry as the file on disk holds it, read
// with the host's LDIF parser.  False with *why when the file cannot be
// read; *value is "" when the entry or attribute is missing.
bool CertfileOnDisk(const std::string &dse, std::string *value, std::string *why) {
    std::string text;
    value->clear();
    if (!ReadWhole(dse, &text)) {
        *why = dse + " cannot be read: " + std::strerror(errno);
        return false;
    }
    char *cursor = nullptr;
    for (char *block = dse_read_next_entry(text.data(), &cursor); block != nullptr;
         block = dse_read_next_entry(text.data(), &cursor)) {
        Slapi_Entry *e = slapi_str2entry(block, SLAPI_STR2ENTRY_NO_ENTRYDN);
        if (e == nullptr) continue;  // comments, or what the server would refuse to load
        if (std::strcmp(slapi_entry_get_ndn(e), kEncryptionDn) == 0) {
            char *cert = slapi_entry_attr_get_charptr(e, "hvCertfile");
            if (cert != nullptr) *value = cert;
            slapi_ch_free_string(&cert);
        }
        slapi_entry_free(e);
        if (!value->empty()) break;
    }
    return true;
}

// The scripts that have a saved pre-patch copy in rel (upgrade/bak_patch2);
// *err is the errno of a directory that is there but cannot be read.
std::vector<std::string> SavedScripts(const std::string &instancepath, int *err,
                                      const char *rel = "upgrade/bak_patch2") {
    std::vector<std::string> names;
    const std::string dir = instancepath + "/" + rel;
    *err = 0;
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        if (errno != ENOENT) *err = errno;
        return names;
    }
    while (struct dirent *ent = ::readdir(d)) {
        struct stat st;
        if (ent->d_name[0] != '.' && ::lstat((dir + "/" + ent->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(ent->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
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

void PrintOut(const std::string &line) { std::printf("%s\n", line.c_str()); }
void PrintErr(const std::string &line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// The opened instance and the ids to work on it with; false after a
// message.
bool Identify(const std::string &instancepath, std::unique_ptr<hv::migrate::Instance> *instance, uid_t *uid,
              gid_t *gid) {
    int err = 0;
    *instance = hv::migrate::Instance::OpenPath(hv::Env::Default(), instancepath, &err);
    if (*instance == nullptr) {
        std::fprintf(stderr, "dshost: %s is not an instance directory\n", hv::EscapeControl(instancepath).c_str());
        return false;
    }
    std::string why;
    err = hv::migrate::OwnerOfInstance((*instance)->dir(), hv::migrate::RootOwnedAllowed(), uid, gid, &why);
    const std::string dse = hv::EscapeControl(instancepath + "/config/dse.ldif");
    if (err == ENOENT)
        std::fprintf(stderr, "dshost: %s is missing: not an instance, nothing done\n", dse.c_str());
    else if (hv::IsRefusal(err))
        std::fprintf(stderr, "dshost: %s is a link or not a regular file: refused, nothing done\n", dse.c_str());
    else if (err != 0)
        std::fprintf(stderr, "dshost: %s\n", hv::EscapeControl(why).c_str());
    return err == 0;
}

int UpgradeWork(const std::string &instancepath);

// As root on an instance of another owner the whole upgrade, the load of
// dse.ldif and what is printed of the instance's files run in a worker
// that is that owner (see migrate/worker.h); this process only relays.
int Upgrade(std::string instancepath) {
    if (!MakeAbsolute(&instancepath)) return 1;
    std::unique_ptr<hv::migrate::Instance> instance;
    uid_t uid = 0;
    gid_t gid = 0;
    if (!Identify(instancepath, &instance, &uid, &gid)) return 1;
    if (!hv::migrate::NeedsWorker(uid)) return UpgradeWork(instancepath);
    hv::migrate::WorkerSpec spec{uid, gid, instance->dir().fd(), instancepath};
    int rc = hv::migrate::RunWorker(spec, [&] { return UpgradeWork(instancepath); }, PrintOut, PrintErr);
    return rc == 0 ? 0 : 1;
}

int UpgradeWork(const std::string &instancepath) {
    const std::string dse = instancepath + "/config/dse.ldif";
    std::printf("Upgrading %s\n", instancepath.c_str());
    int rc0 = upgrade_instance(0, instancepath.c_str());
    std::printf("phase 0 (certificate database, schema, scripts): result %d\n", rc0);
    if (rc0 == 8) {
        std::printf("already at level 2: nothing to do\n");
        std::printf("%s\n", DescribeLevels(ReadRepository(instancepath)).c_str());
        return 0;
    }
    // Recording level 2 after failed file work would hide the failure from
    // every later run: stop here so that the next run tries again.
    if (!Succeeded(rc0)) {
        std::printf("phase 0 failed: phase 1 not run, level not recorded\n");
        std::printf("%s\n", DescribeLevels(ReadRepository(instancepath)).c_str());
        return 1;
    }
    if (hv_dir_load_dse(dse.c_str()) != 0) {
        std::fprintf(stderr, "dshost: %s could not be loaded: phase 1 not run\n", dse.c_str());
        return 1;
    }
    // Every change phase 1 makes is written back to dse.ldif by the host.
    int rc1 = upgrade_instance(1, instancepath.c_str());
    std::printf("phase 1 (configuration entry, level): result %d\n", rc1);
    // What a restarted server would read: the file, not the directory in
    // memory.
    std::string cert, why;
    if (CertfileOnDisk(dse, &cert, &why))
        std::printf("hvCertfile in %s: %s\n", dse.c_str(), cert.empty() ? "(none)" : cert.c_str());
    else
        std::fprintf(stderr, "dshost: %s\n", why.c_str());
    std::printf("%s\n", DescribeLevels(ReadRepository(instancepath)).c_str());
    if (!Succeeded(rc1)) {
        std::printf("phase 1 failed: level not recorded; see the log for the step, the file and the reason\n");
        return 1;
    }
    return 0;
}

// A JSON string literal.
std::string Json(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonList(const std::vector<std::string> &items, bool quoted = true) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + (quoted ? Json(items[i]) : items[i]);
    return out + "]";
}

struct InstanceStatus {
    std::string name;
    Repository repo;
    bool push_pending = false;
    std::string certfile;  // "" when not named
    std::string certfile_problem;
    std::vector<std::string> saved_scripts;
};

InstanceStatus Examine(const std::string &root, const std::string &name) {
    InstanceStatus st;
    st.name = name;
    const std::string inst = root + "/" + name;
    st.repo = ReadRepository(inst);
    struct stat sb;
    st.push_pending = ::lstat((inst + "/upgrade/schema_push.pending").c_str(), &sb) == 0;
    if (!CertfileOnDisk(inst + "/config/dse.ldif", &st.certfile, &st.certfile_problem)) st.certfile.clear();
    int err = 0;
    st.saved_scripts = SavedScripts(inst, &err);
    if (err != 0)
        st.repo.problems.push_back(std::string("upgrade/bak_patch2 cannot be read (") + std::strerror(err) +
                                   "): the saved scripts in it cannot be checked");
    const bool cert7 = Exists(root + "/alias/" + name + "-cert7.db");
    if (st.repo.present && st.repo.level == 2 && st.certfile != "alias/" + name + "-cert8.db" &&
        st.certfile_problem.empty() && cert7)
        st.repo.problems.push_back("level 2 recorded but hvCertfile does not name the cert8 database");
    // What the recorded level claims must be on the disk: level 2 a usable
    // cert8 database (when there was a cert7 one to convert), level 1 every
    // saved script back in place.
    const std::string cert8 = "alias/" + name + "-cert8.db";
    struct stat sb8;
    if (st.repo.present && st.repo.level == 2 && cert7) {
        if (::lstat((root + "/" + cert8).c_str(), &sb8) != 0)
            st.repo.problems.push_back("level 2 recorded but " + cert8 + " is missing");
        else if (!S_ISREG(sb8.st_mode) || sb8.st_size == 0 || ::access((root + "/" + cert8).c_str(), R_OK) != 0)
            st.repo.problems.push_back("level 2 recorded but " + cert8 +
                                       " is not a usable database (empty, unreadable or not a regular file)");
    }
    if (st.repo.level == 1 && !st.saved_scripts.empty())
        st.repo.problems.push_back("level 1 but saved scripts are left in upgrade/bak_patch2 (an upgrade without "
                                   "its phase 1, or a downgrade that did not put them back)");
    std::vector<std::string> doomed = SavedScripts(inst, &err, "upgrade.removed/bak_patch2");
    if (!doomed.empty() || err != 0)
        st.repo.problems.push_back("upgrade.removed holds saved scripts the downgrade did not put back");
    return st;
}

// The status of an instance as lines "key value" (value with "\\" and
// newlines escaped), for the worker to hand to this process.
std::string EscapeValue(const std::string &v) {
    std::string out;
    for (char c : v) {
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string UnescapeValue(const std::string &v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '\\' && i + 1 < v.size() && (v[i + 1] == '\\' || v[i + 1] == 'n')) {
            out += v[i + 1] == 'n' ? '\n' : '\\';
            ++i;
        } else {
            out += v[i];
        }
    }
    return out;
}

std::string Serialize(const InstanceStatus &st) {
    std::string out = std::string("present ") + (st.repo.present ? "1" : "0") + "\nlevel " +
                      std::to_string(st.repo.level) + "\npending " + (st.push_pending ? "1" : "0") + "\n";
    for (int l : st.repo.levels) out += "recorded " + std::to_string(l) + "\n";
    for (const std::string &p : st.repo.problems) out += "problem " + EscapeValue(p) + "\n";
    if (!st.certfile.empty()) out += "certfile " + EscapeValue(st.certfile) + "\n";
    if (!st.certfile_problem.empty()) out += "certproblem " + EscapeValue(st.certfile_problem) + "\n";
    for (const std::string &n : st.saved_scripts) out += "script " + EscapeValue(n) + "\n";
    return out;
}

void TakeLine(InstanceStatus *st, const std::string &line) {
    std::string::size_type sp = line.find(' ');
    const std::string key = line.substr(0, sp);
    const std::string value = sp == std::string::npos ? "" : UnescapeValue(line.substr(sp + 1));
    if (key == "present") st->repo.present = value == "1";
    else if (key == "level") st->repo.level = std::atoi(value.c_str());
    else if (key == "pending") st->push_pending = value == "1";
    else if (key == "recorded") st->repo.levels.push_back(std::atoi(value.c_str()));
    else if (key == "problem") st->repo.problems.push_back(value);
    else if (key == "certfile") st->certfile = value;
    else if (key == "certproblem") st->certfile_problem = value;
    else if (key == "script") st->saved_scripts.push_back(value);
}

// Examine as the instance owner: in a worker when this process is root
// (the parent reads nothing of the instance but its owner), else here.
InstanceStatus ExamineAsOwner(const std::string &root, const std::string &name) {
    const std::string inst = root + "/" + name;
    InstanceStatus st;
    st.name = name;
    int err = 0;
    std::unique_ptr<hv::migrate::Instance> instance = hv::migrate::Instance::Open(hv::Env::Default(), root, name, &err);
    uid_t uid = 0;
    gid_t gid = 0;
    std::string why = inst + " cannot be opened: " + std::strerror(err);
    if (instance != nullptr)
        err = hv::migrate::OwnerOfInstance(instance->dir(), hv::migrate::RootOwnedAllowed(), &uid, &gid, &why);
    if (err != 0) {
        st.repo.problems.push_back("not examined: " + why);
        return st;
    }
    if (!hv::migrate::NeedsWorker(uid)) return Examine(root, name);
    hv::migrate::WorkerSpec spec{uid, gid, instance->dir().fd(), inst};
    int rc = hv::migrate::RunWorker(
        spec,
        [&] {
            std::fputs(Serialize(Examine(root, name)).c_str(), stdout);
            return 0;
        },
        [&](const std::string &line) { TakeLine(&st, line); }, PrintErr);
    if (rc != 0) st.repo.problems.push_back("the examination failed");
    return st;
}

int Status(const std::string &root, bool json) {
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
    std::string out = json ? "{\"server_root\": " + Json(root) + ", \"instances\": [" : "";
    for (std::size_t i = 0; i < names.size(); ++i) {
        InstanceStatus st = ExamineAsOwner(root, names[i]);
        const std::string cert = !st.certfile_problem.empty() ? "(" + st.certfile_problem + ")"
                                 : st.certfile.empty()         ? "(none)"
                                                               : st.certfile;
        if (json) {
            std::vector<std::string> levels;
            for (int l : st.repo.levels) levels.push_back(std::to_string(l));
            out += std::string(i ? ", " : "") + "{\"name\": " + Json(st.name) +
                   ", \"level\": " + std::to_string(st.repo.level) +
                   ", \"recorded\": " + (st.repo.present ? JsonList(levels, false) : "null") +
                   ", \"problems\": " + JsonList(st.repo.problems) +
                   ", \"schema_push_pending\": " + (st.push_pending ? "true" : "false") +
                   ", \"certificate_database\": " + (st.certfile.empty() ? "null" : Json(st.certfile)) +
                   (st.certfile_problem.empty() ? "" : ", \"certificate_database_problem\": " + Json(st.certfile_problem)) +
                   ", \"saved_scripts\": " + JsonList(st.saved_scripts) + "}";
            continue;
        }
        std::string saved;
        for (const std::string &s : st.saved_scripts) saved += (saved.empty() ? "" : " ") + s;
        std::string problems;
        for (const std::string &p : st.repo.problems) problems += (problems.empty() ? "" : "; ") + p;
        // Names and values the owner chose reach the terminal escaped.
        out += hv::EscapeControl(st.name) + ":\n  " + DescribeLevels(st.repo) +
               "\n  repository: " + (problems.empty() ? "consistent" : hv::EscapeControl(problems)) +
               "\n  schema push pending: " + (st.push_pending ? "yes" : "no") +
               "\n  certificate database: " + hv::EscapeControl(cert) +
               "\n  saved scripts: " + (saved.empty() ? "(none)" : hv::EscapeControl(saved)) + "\n";
    }
    if (json) out += "]}\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}

}  // namespace

namespace {

int Main(int argc, char **argv) {
    const hv::tools::CommandLine line = hv::tools::ParseCommandLine(argc, argv, {"--json"}, {});
    if (int status = hv::tools::AnswerOrRefuse(line, "dshost", kUsage); status != -1) return status;
    const bool json = !line.options.empty();  // --json is the only option
    if (line.operands.size() != 2) {
        return hv::tools::UsageError("dshost", kUsage, "a command and a path are needed");
    }
    const std::string &command = line.operands[0];
    std::string path = line.operands[1];
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (command == "status") return Status(path, json);
    if (command != "upgrade") return hv::tools::UsageError("dshost", kUsage, "unknown command '" + command + "'");
    if (json) return hv::tools::UsageError("dshost", kUsage, "--json belongs to status");
    return Upgrade(path);
}

}  // namespace

int main(int argc, char **argv) {
    // No exception reaches main: a bounded read or an allocation that fails
    // becomes a message and status 1.
    try {
        return Main(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "dshost: stopped: %s\n", e.what());
        return 1;
    }
}
