/* Preloaded into a program under test: kills it with SIGKILL just before
 * its Nth call that changes the file system (a creating open, fsync, a
 * rename, a removal, a new directory), N taken from HV_KILL_AT.  With
 * HV_KILL_AT=0 nothing is killed and the number of such calls is written to
 * the file named by HV_KILL_COUNT at exit.  The count is shared with the
 * processes the program forks (its workers), so that a change a worker makes
 * counts and is killed there.  Programs the killed one starts do not inherit
 * the shim. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static long kill_at = -1;
static long *calls; /* shared across fork */
static pid_t main_pid;
static char count_file[4096];

__attribute__((constructor)) static void start(void) {
    const char *at = getenv("HV_KILL_AT");
    const char *count = getenv("HV_KILL_COUNT");
    if (at != NULL) kill_at = atol(at);
    if (count != NULL) snprintf(count_file, sizeof count_file, "%s", count);
    calls = mmap(NULL, sizeof *calls, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (calls == MAP_FAILED) abort();
    main_pid = getpid();
    unsetenv("LD_PRELOAD");
    unsetenv("HV_KILL_AT");
    unsetenv("HV_KILL_COUNT");
}

__attribute__((destructor)) static void finish(void) {
    if (count_file[0] == '\0' || getpid() != main_pid) return;
    FILE *f = fopen(count_file, "w");
    if (f == NULL) return;
    fprintf(f, "%ld\n", __atomic_load_n(calls, __ATOMIC_SEQ_CST));
    fclose(f);
}

static void point(void) {
    if (kill_at > 0 && __atomic_add_fetch(calls, 1, __ATOMIC_SEQ_CST) == kill_at) raise(SIGKILL);
    if (kill_at <= 0) __atomic_add_fetch(calls, 1, __ATOMIC_SEQ_CST);
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int creating(int flags) { return (flags & (O_CREAT | O_WRONLY | O_RDWR | O_TRUNC)) != 0; }

/* The mode argument, present when a file may be created. */
#define MODE_OF(flags)                                                  \
    mode_t mode = 0;                                                    \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                              \
        va_list ap;                                                     \
        va_start(ap, flags);                                            \
        mode = va_arg(ap, mode_t);                                      \
        va_end(ap);                                                     \
    }                                                                   \
    if (creating(flags)) point();

#define OPEN_AT(name)                                                   \
    int name(int dirfd, const char *path, int flags, ...) {            \
        MODE_OF(flags)                                                  \
        return NEXT(name)(dirfd, path, flags, mode);                    \
    }
OPEN_AT(openat)
OPEN_AT(openat64)

#define OPEN(name)                                                      \
    int name(const char *path, int flags, ...) {                       \
        MODE_OF(flags)                                                  \
        return NEXT(name)(path, flags, mode);                           \
    }
OPEN(open)
OPEN(open64)

int fsync(int fd) { point(); return NEXT(fsync)(fd); }
int rename(const char *from, const char *to) { point(); return NEXT(rename)(from, to); }
int linkat(int fd, const char *from, int tofd, const char *to, int flags) {
    point();
    return NEXT(linkat)(fd, from, tofd, to, flags);
}
int renameat(int fd, const char *from, int tofd, const char *to) { point(); return NEXT(renameat)(fd, from, tofd, to); }
int unlink(const char *path) { point(); return NEXT(unlink)(path); }
int unlinkat(int fd, const char *path, int flags) { point(); return NEXT(unlinkat)(fd, path, flags); }
int rmdir(const char *path) { point(); return NEXT(rmdir)(path); }
int mkdir(const char *path, mode_t mode) { point(); return NEXT(mkdir)(path, mode); }
int mkdirat(int fd, const char *path, mode_t mode) { point(); return NEXT(mkdirat)(fd, path, mode); }
