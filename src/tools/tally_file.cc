// hvtally's file source.  The file is read in passes, one entry at a time
// (tools/tally_ldif.h): the scan keeps only what the counting rule needs of
// each entry, and the repair copies the file byte for byte into a new one
// beside it, changing only the counter lines of the entries found wrong,
// which then replaces the old one (flushed, owner and mode kept, renamed).
//
// Everything goes through the directory that holds the file, opened once:
// whatever is renamed or linked in its place later, the file read and the
// file replaced are in that directory.  Run as root on a file of another
// user, hvtally becomes that user before it opens the file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/dir.h"
#include "common/identity.h"
#include "hv/slapi-host.h"
#include "tools/tally_ldif.h"
#include "tools/tally_source.h"

namespace hv::tally {

namespace {

constexpr std::size_t kWriteChunk = std::size_t{1} << 20;

// The normalized DN, or false with *error naming the line.
bool Normalized(const LdifReader &reader, const LdifBlock &b, std::string *ndn, std::string *error) {
    char *out = nullptr;
    std::size_t len = 0;
    if (hv_dn_normalize(b.dn.data(), b.dn.size(), &out, &len) != 0) {
        *error = reader.name() + ":" + std::to_string(b.dnLine) + ": \"" + EscapeControl(b.dn) + "\" is not a DN";
        return false;
    }
    ndn->assign(out, len);
    slapi_ch_free_string(&out);
    if (ndn->empty()) {
        *error = reader.name() + ":" + std::to_string(b.dnLine) +
                 ": an entry with the empty DN (the root DSE), which a server never takes as an entry";
        return false;
    }
    return true;
}

// The line end the text has just before end: "\r\n", "\n" or none.
std::string_view LineEndBefore(const std::string &text, std::size_t end) {
    if (end >= 2 && text.compare(end - 2, 2, "\r\n") == 0) return "\r\n";
    if (end >= 1 && text[end - 1] == '\n') return "\n";
    return "";
}

// The block with its counter lines made one line holding value; a missing
// counter goes after the entry's last line.  Every other byte is kept.
void AppendRepaired(const LdifBlock &b, const std::string &counterType, long value, std::string *out) {
    const std::string &t = b.text;
    const std::string number = std::to_string(value);
    std::size_t at = 0;
    bool written = false;
    for (const LdifAttr &a : b.attrs) {
        if (!SameType(a.type, counterType)) continue;
        out->append(t, at, a.begin - at);
        if (!written) {
            *out += a.type + ": " + number;
            out->append(LineEndBefore(t, a.end));
            written = true;
        }
        at = a.end;
    }
    if (!written) {
        out->append(t, 0, b.body);
        std::string_view eol = LineEndBefore(t, b.body);
        if (eol.empty()) {  // the file ends without a line end: so does the new line
            const std::size_t first = t.find('\n');
            out->append(first == std::string::npos ? "\n" : LineEndBefore(t, first + 1));
            *out += counterType + ": " + number;
        } else {
            *out += counterType + ": " + number;
            out->append(eol);
        }
        at = b.body;
    }
    out->append(t, at);
}

// Becomes uid (with gid and the user's groups) for good; false with *error.
bool BecomeOwner(uid_t uid, gid_t gid, const std::string &path, std::string *error) {
    const char *failed = "";
    if (int err = BecomeForGood(uid, gid, GroupsOf(uid, gid), &failed)) {
        *error = path + ": cannot work as its owner (uid " + std::to_string(uid) + "): " + failed + ": " +
                 std::strerror(err);
        return false;
    }
    return true;
}

std::string OpenError(const std::string &path, int err) {
    if (err == ELOOP) return path + ": a symbolic link, refused";
    if (err == kWrongType) return path + ": not a regular file, refused";
    return path + ": cannot be read: " + std::strerror(err);
}

class FileSource : public Source {
  public:
    FileSource(const Rule &rule, std::string path, std::unique_ptr<Dir> dir, std::string leaf, int fd,
               const struct stat &st)
        : rule_(rule), path_(std::move(path)), dir_(std::move(dir)), leaf_(std::move(leaf)), fd_(fd), st_(st) {}
    ~FileSource() override { ::close(fd_); }

    bool Scan(Recount *recount, const ProgressTick &tick, std::string *error) override {
        LdifReader reader(fd_, path_, {"objectClass", rule_.counterAttribute});
        std::unordered_map<std::string, long> lines;  // of every entry by normalized DN
        const bool members = rule_.plugin == Rule::Plugin::kAttrtally;
        LdifBlock b;
        long n = 0;
        while (reader.Next(&b, error)) {
            if (!b.record) continue;
            EntryView v;
            if (!Normalized(reader, b, &v.ndn, error)) return false;
            auto [it, fresh] = lines.emplace(v.ndn, b.dnLine);
            if (!fresh) {
                *error = path_ + ":" + std::to_string(b.dnLine) + ": the entry of line " + std::to_string(it->second) +
                         " again (\"" + EscapeControl(b.dn) + "\"); a server takes each DN once";
                return false;
            }
            v.dn = std::move(b.dn);
            for (LdifAttr &a : b.attrs) {
                if (SameType(a.type, "objectClass")) {
                    v.objectClasses.push_back(std::move(a.value));
                } else if (SameType(a.type, rule_.counterAttribute)) {
                    v.counter.push_back(std::move(a.value));
                } else if (members && SameType(a.type, rule_.memberAttribute)) {
                    ++v.memberValues;
                }
            }
            recount->Add(v);
            if (tick) tick(++n);
        }
        return error->empty();
    }

    bool Repair(const std::vector<CounterState> &wrong, const ChangeReport &report,
                std::string *error) override {
        if (wrong.empty()) return true;
        std::unordered_map<std::string, long> values;
        for (const CounterState &c : wrong) values.emplace(c.ndn, c.computed);
        std::string fault;
        auto copy = [&](const std::function<int(std::string_view)> &write) -> int {
            if (Changed(&fault)) return EAGAIN;
            LdifReader reader(fd_, path_, {rule_.counterAttribute});
            std::string out;
            LdifBlock b;
            std::string ndn;
            while (reader.Next(&b, &fault)) {
                auto it = values.end();
                if (b.record) {
                    if (!Normalized(reader, b, &ndn, &fault)) return EINVAL;
                    it = values.find(ndn);
                }
                if (it == values.end()) {
                    out += b.text;
                } else {
                    AppendRepaired(b, rule_.counterAttribute, it->second, &out);
                }
                if (out.size() >= kWriteChunk) {
                    if (int err = write(out)) return err;
                    out.clear();
                }
            }
            if (!fault.empty()) return EINVAL;
            if (int err = write(out)) return err;
            // A change made meanwhile by someone else must not be lost.
            return Changed(&fault) ? EAGAIN : 0;
        };
        // The owner stays: as root the file's, else the group too when it
        // is not the one a new file gets.
        const bool root = ::geteuid() == 0;
        const uid_t uid = root || ::geteuid() != st_.st_uid ? st_.st_uid : static_cast<uid_t>(-1);
        const gid_t gid = root || ::getegid() != st_.st_gid ? st_.st_gid : static_cast<gid_t>(-1);
        Dir::Step step = Dir::Step::kCreate;
        const int err = dir_->ReplaceFileWith(leaf_, copy, st_.st_mode & 07777, uid, gid, &step);
        if (err != 0) {
            if (fault.empty()) {
                fault = path_ + ": cannot be rewritten";
                if (step == Dir::Step::kOwner) fault += " with its owner and mode";
                fault += std::string(": ") + std::strerror(err);
            }
            *error = fault + " (the file is left unchanged)";
            return false;
        }
        for (const CounterState &c : wrong) report(c.dn, c.StoredText(), c.computed);
        return true;
    }

    bool Live() const override { return false; }

  private:
    // Whether the file was written since it was opened.
    bool Changed(std::string *fault) const {
        struct stat now {};
        if (::fstat(fd_, &now) == 0 && now.st_size == st_.st_size && now.st_mtim.tv_sec == st_.st_mtim.tv_sec &&
            now.st_mtim.tv_nsec == st_.st_mtim.tv_nsec) {
            return false;
        }
        *fault = path_ + ": changed while hvtally read it; run hvtally again";
        return true;
    }

    Rule rule_;
    std::string path_;
    std::unique_ptr<Dir> dir_;
    std::string leaf_;
    int fd_;
    struct stat st_;
};

}  // namespace

std::unique_ptr<Source> OpenFileSource(const Rule &rule, const std::string &path, std::string *error) {
    const std::size_t slash = path.find_last_of('/');
    const std::string dirPath = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
    int err = 0;
    std::unique_ptr<Dir> dir = Dir::Open(Env::Default(), dirPath, &err);
    if (dir == nullptr) {
        *error = path + ": cannot open its directory: " + std::strerror(err);
        return nullptr;
    }
    struct stat before {};
    const bool root = ::geteuid() == 0;
    if (root) {
        // The file's owner does the work; root looks at nothing inside.
        err = dir->Lstat(leaf, &before);
        if (err == 0 && !S_ISREG(before.st_mode)) err = S_ISLNK(before.st_mode) ? ELOOP : kWrongType;
        if (err != 0) {
            *error = OpenError(path, err);
            return nullptr;
        }
        if (before.st_nlink != 1) {
            *error = path + ": has " + std::to_string(before.st_nlink) +
                     " names (hard links); run as root, hvtally takes only a file with one";
            return nullptr;
        }
        if (before.st_uid != 0 && !BecomeOwner(before.st_uid, before.st_gid, path, error)) return nullptr;
    }
    int fd = -1;
    struct stat st {};
    if ((err = dir->OpenForReading(leaf, &fd, &st)) != 0) {
        *error = OpenError(path, err);
        return nullptr;
    }
    if (root && (st.st_ino != before.st_ino || st.st_dev != before.st_dev || st.st_uid != before.st_uid)) {
        ::close(fd);
        *error = path + ": was replaced while hvtally opened it; run hvtally again";
        return nullptr;
    }
    return std::make_unique<FileSource>(rule, path, std::move(dir), leaf, fd, st);
}

}  // namespace hv::tally
