// Instance discovery: the "slapd-" directories of a server root, or the one
// instance the user named.
#include "migrate/discovery.h"

#include <prio.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hv/slapi-plugin.h"
#include "common/dir.h"
#include "migrate/instance.h"
#include "migrate/migrate_paths.h"

namespace {

constexpr const char kInstancePrefix[] = "slapd-";

// 0 when path exists and is not a regular file; else prints why and
// returns -1.
int CheckNotRegularFile(const char *path) {
    PRFileInfo info;
    PRStatus status = PR_GetFileInfo(path, &info);
    if (status != PR_SUCCESS) {
        std::fprintf(stderr, "%s could not be accessed, error %d\n", path, static_cast<int>(status));
        return -1;
    }
    if (info.type == PR_FILE_FILE) {
        std::fprintf(stderr, "%s is not a directory.\n", path);
        return -1;
    }
    return 0;
}

// 0 when name is a directory (not a link) in the server root; else prints
// why and returns -1.
int CheckEntry(const hv::Dir &root, const char *serverroot, const char *name) {
    std::string path;
    if (!hv::migrate::BuildPath(&path, "%s/%s", serverroot, name)) return -1;
    struct stat st {};
    if (root.Lstat(name, &st) != 0) {
        std::fprintf(stderr, "%s could not be accessed, error %d\n", path.c_str(), -1);
        return -1;
    }
    if (S_ISLNK(st.st_mode)) {
        hv::migrate::ReportRefused(path);
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        std::fprintf(stderr, "%s is not a directory.\n", path.c_str());
        return -1;
    }
    return 0;
}

}  // namespace

slapd_instance *create_slapd_instance(const char *name) {
    if (name == nullptr) return nullptr;
    auto *record = reinterpret_cast<slapd_instance *>(slapi_ch_malloc(sizeof(slapd_instance)));
    record->name = slapi_ch_strdup(name);
    record->next = nullptr;
    return record;
}

void free_slapd_instance(slapd_instance **head) {
    if (head == nullptr) return;
    slapd_instance *record = *head;
    while (record != nullptr) {
        slapd_instance *next = record->next;
        slapi_ch_free_string(&record->name);
        slapi_ch_free(reinterpret_cast<void **>(&record));
        record = next;
    }
    *head = nullptr;
}

bool ReduceInstanceName(const char *given, std::string *name) {
    std::string n(given);
    hv::migrate::TrimDirectorySuffix(&n);
    if (n.empty() || n == "." || n == ".." || n.find('/') != std::string::npos) return false;
    *name = n;
    return true;
}

slapd_instance *init_slapd_instance(const char *serverroot, const char *instancename) {
    if (serverroot == nullptr) return nullptr;
    // Every path below starts with the server root: refuse one that cannot
    // fit before anything else.
    std::string rootpath;
    if (!hv::migrate::BuildPath(&rootpath, "%s", serverroot)) return nullptr;
    if (CheckNotRegularFile(serverroot) != 0) return nullptr;
    int err = 0;
    std::unique_ptr<hv::Dir> root = hv::Dir::Open(hv::Env::Default(), rootpath, &err);
    if (root == nullptr) {
        std::fprintf(stderr, "%s could not be read.\n", serverroot);
        return nullptr;
    }

    if (instancename != nullptr) {
        // The name of an instance directory, never a path to another one.
        std::string name;
        if (!ReduceInstanceName(instancename, &name)) {
            std::fprintf(stderr, "%s does not name an instance directory of %s\n", instancename, serverroot);
            return nullptr;
        }
        if (CheckEntry(*root, serverroot, name.c_str()) != 0) return nullptr;
        return create_slapd_instance(name.c_str());
    }

    std::vector<std::string> names;
    if (root->List("", &names) != 0) {
        std::fprintf(stderr, "%s could not be read.\n", serverroot);
        return nullptr;
    }
    slapd_instance *head = nullptr;
    for (const std::string &name : names) {
        if (std::strncmp(name.c_str(), kInstancePrefix, sizeof kInstancePrefix - 1) != 0) continue;
        if (CheckEntry(*root, serverroot, name.c_str()) != 0) {
            free_slapd_instance(&head);
            return nullptr;
        }
        slapd_instance *record = create_slapd_instance(name.c_str());
        record->next = head;
        head = record;
    }
    return head;
}
