/* A PKCS#11 module that an instance owner could register in the server
 * root's alias/secmod.db: just enough of the interface for modutil to
 * register it, and a constructor that leaves "<its path>.ran" (with the ids
 * it ran under) when anything loads it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

typedef unsigned long CK_RV;
typedef struct {
    unsigned char major, minor;
} CK_VERSION;
typedef struct {
    CK_VERSION cryptokiVersion;
    unsigned char manufacturerID[32];
    unsigned long flags;
    unsigned char libraryDescription[32];
    CK_VERSION libraryVersion;
} CK_INFO;

__attribute__((constructor)) static void loaded(void) {
    Dl_info info;
    if (dladdr((void *)loaded, &info) == 0 || info.dli_fname == NULL) return;
    char path[4096];
    snprintf(path, sizeof path, "%s.ran", info.dli_fname);
    FILE *f = fopen(path, "w");
    if (f == NULL) return;
    fprintf(f, "uid %d euid %d\n", (int)getuid(), (int)geteuid());
    fclose(f);
}

static CK_RV Ok(void) { return 0; }
static CK_RV Unsupported(void) { return 0x54; /* CKR_FUNCTION_NOT_SUPPORTED */ }
static CK_RV GetInfo(CK_INFO *info) {
    memset(info, ' ', sizeof *info);
    info->cryptokiVersion.major = 2;
    info->cryptokiVersion.minor = 20;
    info->flags = 0;
    info->libraryVersion.major = 1;
    info->libraryVersion.minor = 0;
    return 0;
}
static CK_RV GetSlotList(unsigned char present, unsigned long *slots, unsigned long *count) {
    (void)present;
    (void)slots;
    *count = 0;
    return 0;
}

/* The version and the 68 entries of CK_FUNCTION_LIST, in order. */
static struct {
    CK_VERSION version;
    void *fn[68];
} functions;

CK_RV C_GetFunctionList(void **list) {
    functions.version.major = 2;
    functions.version.minor = 20;
    for (int i = 0; i < 68; ++i) functions.fn[i] = (void *)Unsupported;
    functions.fn[0] = (void *)Ok;                  /* C_Initialize */
    functions.fn[1] = (void *)Ok;                  /* C_Finalize */
    functions.fn[2] = (void *)GetInfo;             /* C_GetInfo */
    functions.fn[3] = (void *)C_GetFunctionList;   /* C_GetFunctionList */
    functions.fn[4] = (void *)GetSlotList;         /* C_GetSlotList */
    *list = &functions;
    return 0;
}
