// Instance discovery: the "slapd-" directories of a server root, or the one
// instance the user named.
#include "migrate/discovery.h"

#include <prio.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "hv/slapi-plugin.h"
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

// Same check for "<serverroot>/<name>".
int CheckEntry(const char *serverroot, const char *name) {
    std::string path;
    if (!hv::migrate::BuildPath(&path, "%s/%s", serverroot, name)) return -1;
    return CheckNotRegularFile(path.c_str());
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

slapd_instance *init_slapd_instance(const char *serverroot, const char *instancename) {
    if (serverroot == nullptr) return nullptr;
    // Every path below starts with the server root: refuse one that cannot
    // fit before anything else.
    std::string root;
    if (!hv::migrate::BuildPath(&root, "%s", serverroot)) return nullptr;
    if (CheckNotRegularFile(serverroot) != 0) return nullptr;

    if (instancename != nullptr) {
        if (CheckEntry(serverroot, instancename) != 0) return nullptr;
        return create_slapd_instance(instancename);
    }

    hv::migrate::PrDirHandle dir(PR_OpenDir(serverroot));
    if (!dir) {
        std::fprintf(stderr, "%s could not be read.\n", serverroot);
        return nullptr;
    }
    slapd_instance *head = nullptr;
    while (PRDirEntry *entry = PR_ReadDir(dir.get(), PR_SKIP_BOTH)) {
        if (std::strncmp(entry->name, kInstancePrefix, sizeof kInstancePrefix - 1) != 0) continue;
        if (CheckEntry(serverroot, entry->name) != 0) {
            free_slapd_instance(&head);
            return nullptr;
        }
        slapd_instance *record = create_slapd_instance(entry->name);
        record->next = head;
        head = record;
    }
    return head;
}
