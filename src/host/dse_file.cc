// Loading the directory from an instance's configuration file and writing
// every change back to it without ever leaving it missing or half written,
// and without touching the text of what did not change.
#include "host/dse_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/atomic_file.h"
#include "common/export.h"
#include "common/read_file.h"
#include "host/directory.h"

#include "host/log_message.h"

namespace {

const char kSubsystem[] = "dse";

// One blank-line separated block of the file as it stands now.
struct Segment {
    std::string text;     // the block, then the line end and blank lines after it
    std::size_t lead = 0;  // bytes before the entry's first line (comments, version)
    std::size_t body = 0;  // bytes of the block without what follows its last line
    std::string ndn;       // the entry's DN; empty for a block without entry
    std::string printed;   // the entry as last written: equal means unchanged
};

struct LoadedFile {
    std::string path;  // empty when none
    std::string head;  // what precedes the first block
    std::vector<Segment> segments;
    bool kept = false;  // the copy of the file as loaded has been made
};

std::mutex g_mu;  // guards g_file; held across a change and its write-back
LoadedFile g_file;
std::atomic<bool> g_loaded{false};  // g_file has a path; set and cleared under g_mu

// A link or a FIFO planted where the file should be is refused rather than
// followed or waited on, and a file beyond kMaxFileBytes is not read, since
// the programs that load it may run as root over an instance another user
// owns.
bool ReadWhole(const char *path, std::string *out) { return hv::ReadRegularFile(path, out); }

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

// Bytes of the lines before the entry's "dn" line: comments, their
// continuations and a version line.
std::size_t LeadLength(std::string_view block) {
    std::size_t at = 0;
    while (at < block.size()) {
        std::size_t end = block.find('\n', at);
        std::string_view line = block.substr(at, end == std::string_view::npos ? block.npos : end - at);
        if (!(line.empty() || line[0] == '#' || line[0] == ' ' || line[0] == '\r' ||
              line.substr(0, 8) == "version:"))
            return at;
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    return block.size();
}

std::string Print(Slapi_Entry *e) {
    int len = 0;
    char *text = slapi_entry2str(e, &len);
    std::string out = text != nullptr ? std::string(text, static_cast<std::size_t>(len)) : "";
    slapi_ch_free_string(&text);
    if (!out.empty() && out.back() != '\n') out += '\n';
    return out;
}

bool EndsWithBlankLine(const std::string &s) {
    return s.size() >= 2 && s.back() == '\n' &&
           (s[s.size() - 2] == '\n' || (s.size() >= 3 && s[s.size() - 2] == '\r' && s[s.size() - 3] == '\n'));
}

bool WriteLike(const std::string &path, const std::string &like, const std::string &content) {
    struct stat st {};
    mode_t mode = 0600;
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    if (::lstat(like.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 07777;
        uid = st.st_uid;
        gid = st.st_gid;
    }
    return hv::RewriteFile(path.c_str(), content, mode, uid, gid) == hv::RewriteStatus::kOk;
}

// Writes the directory back to the loaded file; g_mu held.  Blocks of
// unchanged entries keep their text; the first write keeps the file as it
// was in "<file>.bak".
int SaveLocked() {
    const std::string &path = g_file.path;
    std::vector<hv::Directory::Printed> now = hv::Directory::Instance().PrintAll();
    std::unordered_map<std::string_view, std::size_t> index;
    for (std::size_t i = 0; i < now.size(); ++i) index.emplace(now[i].ndn, i);
    std::vector<bool> written(now.size(), false);

    std::string head = g_file.head;
    std::vector<Segment> next;
    for (const Segment &seg : g_file.segments) {
        if (seg.ndn.empty()) {
            next.push_back(seg);
            continue;
        }
        auto it = index.find(seg.ndn);
        if (it == index.end()) continue;  // deleted: its block goes
        written[it->second] = true;
        const std::string &ldif = now[it->second].ldif;
        Segment s = seg;
        if (ldif != seg.printed) {
            std::string body = seg.text.substr(0, seg.lead) + ldif.substr(0, ldif.size() - 1);
            s.text = body + seg.text.substr(seg.body);
            s.body = body.size();
            s.printed = ldif;
        }
        next.push_back(std::move(s));
    }
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (written[i]) continue;
        // A new block needs a blank line before it.
        std::string &before = next.empty() ? head : next.back().text;
        if (!before.empty() || !next.empty()) {
            if (before.back() != '\n') before += '\n';
            if (!EndsWithBlankLine(before)) before += '\n';
        }
        Segment s;
        s.text = now[i].ldif;
        s.body = s.text.size() - 1;
        s.ndn = now[i].ndn;
        s.printed = now[i].ldif;
        next.push_back(std::move(s));
    }
    std::string content = head;
    for (const Segment &seg : next) content += seg.text;

    if (!g_file.kept) {
        const std::string copy = path + ".bak";
        std::string was;
        if (!ReadWhole(path.c_str(), &was) || !WriteLike(copy, path, was)) {
            int err = errno;
            hv::LogFatal(kSubsystem, "cannot keep a copy of configuration file %s as %s: %s\n",
                         path.c_str(), copy.c_str(), slapd_system_strerror(err));
            return -1;
        }
        g_file.kept = true;
    }
    if (!WriteLike(path, path, content)) {
        int err = errno;
        hv::LogFatal(kSubsystem, "cannot write configuration file %s: %s\n", path.c_str(),
                     slapd_system_strerror(err));
        return -1;
    }
    g_file.head = std::move(head);
    g_file.segments = std::move(next);
    return 0;
}

// Parses the file and loads its entries into the directory; *file receives
// its blocks for a later write-back.  0, or -1 with a message naming the
// file and the entry at fault.
int LoadFile(const char *path, LoadedFile *loaded) {
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
    LoadedFile file;
    file.path = path;
    std::vector<std::size_t> starts;  // of each block in the text
    std::vector<std::unique_ptr<Slapi_Entry>> entries;
    char *last = nullptr;
    long line = 1;
    std::size_t counted = 0;  // text before this offset has line-1 line ends
    for (char *block = dse_read_next_entry(text.data(), &last); block != nullptr;
         block = dse_read_next_entry(text.data(), &last)) {
        const std::size_t offset = static_cast<std::size_t>(block - text.data());
        Segment seg;
        seg.body = std::strlen(block);
        std::string record = starts.empty() ? WithoutVersion(block) : std::string(block);
        starts.push_back(offset);
        if (HasRecord(record)) {
            seg.lead = LeadLength(std::string_view(block, seg.body));
            line += std::count(original.begin() + static_cast<long>(counted),
                               original.begin() + static_cast<long>(offset), '\n');
            counted = offset;
            std::string what = Describe(record);
            Slapi_Entry *e = slapi_str2entry(record.data(), SLAPI_STR2ENTRY_NO_ENTRYDN);
            if (e == nullptr) {
                hv::LogFatal(kSubsystem, "configuration file %s: the entry at line %ld (%s) does not parse\n",
                             path, line, what.c_str());
                return -1;
            }
            seg.ndn = slapi_entry_get_ndn(e);
            seg.printed = Print(e);
            entries.emplace_back(e);
        }
        file.segments.push_back(std::move(seg));
    }
    // Each block's text runs to the start of the next one.
    file.head = original.substr(0, starts.empty() ? original.size() : starts[0]);
    for (std::size_t i = 0; i < starts.size(); ++i) {
        std::size_t end = i + 1 < starts.size() ? starts[i + 1] : original.size();
        file.segments[i].text = original.substr(starts[i], end - starts[i]);
    }
    std::string fault;
    int rc = hv::Directory::Instance().Load(std::move(entries), &fault);
    if (rc != LDAP_SUCCESS) {
        hv::LogFatal(kSubsystem, "configuration file %s: entry \"%s\" cannot be loaded: %s\n", path,
                     fault.c_str(), ldap_err2string(rc));
        return -1;
    }
    *loaded = std::move(file);
    return 0;
}

}  // namespace

namespace hv {

DseChange::DseChange() {
    // Without a file, changes run freely: no lock shared by every operation.
    if (!g_loaded.load(std::memory_order_acquire)) return;
    lock_ = std::unique_lock(g_mu);
    path_ = g_file.path;
    if (path_.empty()) lock_.unlock();
}

bool DseChange::Commit() { return path_.empty() || SaveLocked() == 0; }

void ForgetDse() {
    std::lock_guard lock(g_mu);
    g_file = LoadedFile();
    g_loaded = false;
}

}  // namespace hv

extern "C" {

HV_EXPORT int hv_dir_load_dse(const char *path) {
    LoadedFile file;
    if (LoadFile(path, &file) != 0) return -1;
    std::lock_guard lock(g_mu);
    g_file = std::move(file);
    g_loaded = true;
    return 0;
}

HV_EXPORT int hv_dir_load_ldif(const char *path) {
    LoadedFile unused;
    return LoadFile(path, &unused);
}

HV_EXPORT int hv_dir_write_ldif(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        hv::LogFatal(kSubsystem, "no file named\n");
        return -1;
    }
    if (!WriteLike(path, path, hv::Directory::Instance().ToLdif())) {
        int err = errno;
        hv::LogFatal(kSubsystem, "cannot write %s: %s\n", path, slapd_system_strerror(err));
        return -1;
    }
    return 0;
}

HV_EXPORT int hv_dir_save_dse(void) {
    std::lock_guard lock(g_mu);
    if (g_file.path.empty()) {
        hv::LogFatal(kSubsystem, "no configuration file is loaded\n");
        return -1;
    }
    return SaveLocked();
}

}  // extern "C"
