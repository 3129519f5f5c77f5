// The version repository file: reading, tokenising and rewriting
// "versions.conf".
#include "migrate/version_repository.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/dir.h"
#include "migrate/instance.h"

uid_t instancepath_userid = static_cast<uid_t>(-1);
gid_t instancepath_groupid = static_cast<gid_t>(-1);

void ch_free(void **ptr) {
    if (ptr == nullptr) return;
    std::free(*ptr);
    *ptr = nullptr;
}

void ch_free_string(char **s) { ch_free(reinterpret_cast<void **>(s)); }

namespace {

constexpr const char kDelimiters[] = "\n\r \t";

// The content of a repository file, freed on scope exit.
struct Content {
    char *text = nullptr;
    ~Content() { ch_free_string(&text); }
};

// Splits text in place into its level tokens.
std::vector<const char *> Tokenize(char *text) {
    std::vector<const char *> tokens;
    char *save = nullptr;
    for (char *tok = strtok_r(text, kDelimiters, &save); tok != nullptr;
         tok = strtok_r(nullptr, kDelimiters, &save))
        tokens.push_back(tok);
    return tokens;
}

// Appends s to the malloc'ed text *buf of length *len; false when out of
// memory (*buf is then still valid and owned by the caller).
bool Append(char **buf, std::size_t *len, const char *s) {
    std::size_t n = std::strlen(s);
    char *grown = static_cast<char *>(std::realloc(*buf, *len + n + 1));
    if (grown == nullptr) return false;
    std::memcpy(grown + *len, s, n + 1);
    *buf = grown;
    *len += n;
    return true;
}

int OutOfMemory() {
    std::fprintf(stderr, "Memory Allocation failure\n");
    return 5;
}

}  // namespace

int getVersions_versionRepository(const char *file, char **buffer) {
    *buffer = nullptr;
    hv::migrate::Location where(file);
    std::string text;
    int err = where.error() != 0 ? where.error() : where.dir().ReadFile(where.rel(), &text);
    if (err != 0) {
        if (hv::IsRefusal(err))
            hv::migrate::ReportRefused(file);
        else if (err == EFBIG)
            hv::migrate::ReportTooLarge(file);
        else if (err == ENOENT)
            std::fprintf(stderr, "Could not access the configuration file %s\n", file);
        else
            std::fprintf(stderr, "%s could not be accessed\n", file);
        return 4;
    }
    char *buf = static_cast<char *>(std::malloc(text.size() + 1));
    if (buf == nullptr) return OutOfMemory();
    std::memcpy(buf, text.c_str(), text.size() + 1);
    *buffer = buf;
    return 0;
}

int getInSyncVersion_versionRepository(const char *file, int *level, int *count) {
    Content content;
    int rc = getVersions_versionRepository(file, &content.text);
    if (rc != 0) return rc;
    std::vector<const char *> tokens = Tokenize(content.text);
    int found = tokens.empty() ? 1 : std::atoi(tokens.back());
    rc = 0;
    if (found < 1)
        rc = 2;
    else
        *level = found;
    if (count != nullptr) *count = static_cast<int>(tokens.size());
    return rc;
}

int getPreviousSyncVersion_versionRepository(const char *file, int *level) {
    Content content;
    int rc = getVersions_versionRepository(file, &content.text);
    if (rc != 0) return rc;
    std::vector<const char *> tokens = Tokenize(content.text);
    int previous = tokens.size() < 2 ? 1 : std::atoi(tokens[tokens.size() - 2]);
    if (previous < 1) return 2;
    *level = previous;
    return 0;
}

int addVersion_versionRepository(const char *file, int level) {
    Content content;
    int rc = getVersions_versionRepository(file, &content.text);
    if (rc != 0) return rc;
    char number[16];
    std::snprintf(number, sizeof number, "%d", level);
    std::size_t len = std::strlen(content.text);
    // A repository that lost its content still stands on the baseline.
    if (Tokenize(std::string(content.text).data()).empty()) {
        content.text[0] = '\0';
        len = 0;
        if (!Append(&content.text, &len, "1")) return OutOfMemory();
    }
    if (!Append(&content.text, &len, "\t") || !Append(&content.text, &len, number)) return OutOfMemory();
    return flushVersions_versionRepository(file, content.text);
}

int removeVersion_versionRepository(const char *file) {
    int level = 0;
    int count = 0;
    int rc = getInSyncVersion_versionRepository(file, &level, &count);
    if (rc != 0) return rc;
    if (count == 0) return 2;
    if (count == 1) return clear_versionRepository(file);

    Content content;
    rc = getVersions_versionRepository(file, &content.text);
    if (rc != 0) return rc;
    std::vector<const char *> tokens = Tokenize(content.text);
    // The file may have changed since it was counted: keep all but the last
    // of what is there now.
    if (tokens.empty()) return 2;
    Content rebuilt;
    std::size_t len = 0;
    rebuilt.text = static_cast<char *>(std::calloc(1, 1));
    if (rebuilt.text == nullptr) return OutOfMemory();
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
        if (!Append(&rebuilt.text, &len, tokens[i]) || !Append(&rebuilt.text, &len, "\t"))
            return OutOfMemory();
    }
    return flushVersions_versionRepository(file, rebuilt.text);
}

int create_versionRepository(const char *file, int *level) {
    // Called only when the file does not exist; it is created exclusively,
    // so nothing in its place (a link included) is followed.
    hv::migrate::Location where(file);
    hv::Dir::Step step = hv::Dir::Step::kCreate;
    int err = where.error() != 0 ? where.error()
                                 : where.dir().CreateFile(where.rel(), "1", 0600, instancepath_userid,
                                                          instancepath_groupid, &step);
    if (err != 0) {
        if (err == ELOOP || err == hv::kWrongType) hv::migrate::ReportRefused(file);
        switch (step) {
            case hv::Dir::Step::kWrite:
                std::fprintf(stderr, "%s could not be initialized\n", file);
                return 5;
            case hv::Dir::Step::kOwner:
                return 4;
            default:
                std::fprintf(stderr, "%s could not be created\n", file);
                return 4;
        }
    }
    *level = 1;
    return 0;
}

int clear_versionRepository(const char *file) { return flushVersions_versionRepository(file, "1"); }

int flushVersions_versionRepository(const char *file, const char *content) {
    hv::migrate::Location where(file);
    if (where.error() != 0) return 2;
    struct stat st {};
    if (where.dir().Lstat(where.rel(), &st) != 0) return 2;
    if (!S_ISREG(st.st_mode)) {
        hv::migrate::ReportRefused(file);
        return 4;
    }
    // Replaced through a temporary file and a rename, so that a failure or a
    // crash leaves the old or the new content, never a missing or partly
    // written repository.
    hv::Dir::Step step = hv::Dir::Step::kCreate;
    if (where.dir().ReplaceFile(where.rel(), content, 0600, st.st_uid, st.st_gid, &step) == 0) return 0;
    switch (step) {
        case hv::Dir::Step::kCreate:
            std::fprintf(stderr, "Could not open %s for writing\n", file);
            return 4;
        case hv::Dir::Step::kWrite:
            std::fprintf(stderr, "%s could not be updated\n", file);
            return 5;
        case hv::Dir::Step::kOwner:
            return 4;
        case hv::Dir::Step::kBackup:
        case hv::Dir::Step::kRename:
            std::fprintf(stderr, "%s could not be replaced\n", file);
            return 4;
    }
    return 4;
}
