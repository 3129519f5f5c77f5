// Loading the directory from an instance's configuration file and writing
// every change back to it without ever leaving it missing or half written.
#include "host/dse_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "host/directory.h"

#include "host/log_message.h"

#define HV_EXPORT __attribute__((visibility("default")))

namespace {

const char kSubsystem[] = "dse";

std::mutex g_write_mu;  // serializes write-backs; taken before g_path_mu
std::mutex g_path_mu;
std::string g_path;  // the loaded file, empty when none

std::string LoadedPath() {
    std::lock_guard lock(g_path_mu);
    return g_path;
}

bool ReadWhole(const char *path, std::string *out) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        if (n == 0) break;
        out->append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

// True when the block holds something besides blank lines, comments and the
// LDIF version line.
bool HasRecord(std::string_view block) {
    std::size_t at = 0;
    while (at < block.size()) {
        std::size_t end = block.find('\n', at);
        if (end == std::string_view::npos) end = block.size();
        std::string_view line = block.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ' ') continue;
        if (line.substr(0, 8) == "version:") continue;
        return true;
    }
    return false;
}

// The block without a leading "version:" line, which only a file's first
// record may carry.
std::string WithoutVersion(std::string block) {
    std::size_t start = 0;
    while (start < block.size()) {
        std::size_t end = block.find('\n', start);
        if (end == std::string::npos) end = block.size();
        std::string_view line(block.data() + start, end - start);
        if (line.substr(0, 8) == "version:") return block.erase(start, end + 1 - start);
        if (line.empty() || line[0] != '#') break;
        start = end + 1;
    }
    return block;
}

// "dn: ..." of a block for messages, else its first line.
std::string Describe(std::string_view block) {
    std::size_t dn = block.find("dn:");
    std::size_t start = dn == std::string_view::npos ? 0 : dn;
    std::size_t end = block.find('\n', start);
    std::string_view line = block.substr(start, end == std::string_view::npos ? block.size() - start
                                                                               : end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line.substr(0, 200));
}

int SaveLocked(const std::string &path) {
    std::string content = hv::Directory::Instance().ToLdif();
    struct stat st {};
    mode_t mode = 0600;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    if (::stat(path.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
        uid = st.st_uid;
        gid = st.st_gid;
    }
    if (hv::RewriteFile(path.c_str(), content, mode, uid, gid) != hv::RewriteStatus::kOk) {
        int err = errno;
        hv::LogFatal(kSubsystem, "cannot write configuration file %s: %s\n",
                        path.c_str(), slapd_system_strerror(err));
        return -1;
    }
    return 0;
}

}  // namespace

namespace hv {

void WriteBackDse() {
    std::lock_guard write(g_write_mu);
    std::string path = LoadedPath();
    if (!path.empty()) SaveLocked(path);
}

void ForgetDse() {
    std::lock_guard write(g_write_mu);
    std::lock_guard lock(g_path_mu);
    g_path.clear();
}

}  // namespace hv

extern "C" {

HV_EXPORT int hv_dir_load_dse(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        hv::LogFatal(kSubsystem, "no configuration file named\n");
        return -1;
    }
    std::string text;
    if (!ReadWhole(path, &text)) {
        int err = errno;
        hv::LogFatal(kSubsystem, "cannot read configuration file %s: %s\n",
                        path, slapd_system_strerror(err));
        return -1;
    }
    const std::string original = text;
    std::vector<std::unique_ptr<Slapi_Entry>> entries;
    char *last = nullptr;
    bool first = true;
    // Line numbers for messages, counted on from the previous block.
    long line = 1;
    std::size_t counted = 0;
    for (char *block = dse_read_next_entry(text.data(), &last); block != nullptr;
         block = dse_read_next_entry(text.data(), &last)) {
        std::string record = first ? WithoutVersion(block) : std::string(block);
        first = false;
        if (!HasRecord(record)) continue;
        std::size_t offset = static_cast<std::size_t>(block - text.data());
        line += std::count(original.begin() + static_cast<long>(counted), original.begin() + static_cast<long>(offset),
                           '\n');
        counted = offset;
        std::string what = Describe(record);
        Slapi_Entry *e = slapi_str2entry(record.data(), SLAPI_STR2ENTRY_NO_ENTRYDN);
        if (e == nullptr) {
            hv::LogFatal(kSubsystem, "configuration file %s: the entry at line %ld (%s) does not parse\n",
                            path, line, what.c_str());
            return -1;
        }
        entries.emplace_back(e);
    }
    std::string fault;
    int rc = hv::Directory::Instance().Load(std::move(entries), &fault);
    if (rc != LDAP_SUCCESS) {
        hv::LogFatal(kSubsystem, "configuration file %s: entry \"%s\" cannot be loaded: %s\n", path,
                        fault.c_str(), ldap_err2string(rc));
        return -1;
    }
    std::lock_guard write(g_write_mu);
    std::lock_guard lock(g_path_mu);
    g_path = path;
    return 0;
}

HV_EXPORT int hv_dir_save_dse(void) {
    std::lock_guard write(g_write_mu);
    std::string path = LoadedPath();
    if (path.empty()) {
        hv::LogFatal(kSubsystem, "no configuration file is loaded\n");
        return -1;
    }
    return SaveLocked(path);
}

}  // extern "C"
