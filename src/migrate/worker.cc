#include "migrate/worker.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "common/string_format.h"
#include "hv/slapi-host.h"
#include "migrate/owner.h"
#include "migrate/result_codes.h"

namespace hv::migrate {
namespace {

constexpr char kPushTimeoutVariable[] = "HVDS_PUSH_TIMEOUT";

void CloseFrom(int first) {
    if (::close_range(static_cast<unsigned>(first), ~0U, 0) != 0) {
        for (int fd = first; fd < 65536; ++fd) ::close(fd);
    }
}

// Lowers a limit (never raises it).
void Limit(int resource, rlim_t value) {
    struct rlimit rl {};
    if (::getrlimit(resource, &rl) != 0) return;
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < value) value = rl.rlim_max;
    rl.rlim_cur = value;
    rl.rlim_max = value;
    ::setrlimit(resource, &rl);
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kReservesAddressSpace = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kReservesAddressSpace = true;
#else
constexpr bool kReservesAddressSpace = false;
#endif
#else
constexpr bool kReservesAddressSpace = false;
#endif

// 4 GiB of address space (NSS and a 64 MiB file read twice fit easily;
// AddressSanitizer's shadow memory does not, so not under it), 1 GiB per
// file written, 1024 processes of the owner, 1024 open files, no core file
// of what the worker read.
void SetLimits() {
    if (!kReservesAddressSpace) Limit(RLIMIT_AS, rlim_t{4} << 30);
    Limit(RLIMIT_FSIZE, rlim_t{1} << 30);
    Limit(RLIMIT_NPROC, 1024);
    Limit(RLIMIT_NOFILE, 1024);
    Limit(RLIMIT_CORE, 0);
    // A write beyond the file size limit fails with EFBIG instead of
    // ending the worker.
    ::signal(SIGXFSZ, SIG_IGN);
}

// One output stream of the worker, cut into escaped lines.
struct Stream {
    int fd;
    const LineSink *sink;
    std::string pending;
    std::size_t relayed = 0;
    bool dropped = false;

    void Emit(std::string line) {
        if (dropped) return;
        relayed += line.size() + 1;
        if (relayed > kMaxRelayedBytes) {
            dropped = true;
            (*sink)("(further output dropped: more than " + std::to_string(kMaxRelayedBytes) + " bytes)");
            return;
        }
        (*sink)(EscapeControl(line));
    }
    void Take(const char *data, std::size_t n) {
        pending.append(data, n);
        std::size_t start = 0;
        for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1)
            Emit(pending.substr(start, nl - start));
        pending.erase(0, start);
        // A line without end is handed on in pieces rather than kept.
        if (pending.size() >= 4096) {
            Emit(pending);
            pending.clear();
        }
    }
    void Finish() {
        if (!pending.empty()) Emit(pending);
        pending.clear();
    }
};

std::string Text(const char *what, int err) { return std::string(what) + ": " + std::strerror(err); }

}  // namespace

void ChildFails(const char *what, int status) {
    const char *text = ::strerrordesc_np(errno);
    if (text == nullptr) text = "unknown error";
    (void)!::write(2, what, std::strlen(what));
    (void)!::write(2, ": ", 2);
    (void)!::write(2, text, std::strlen(text));
    (void)!::write(2, "\n", 1);
    ::_exit(status);
}

bool NeedsWorker(uid_t owner) { return ::geteuid() == 0 && owner != 0; }

int PushTimeLimit() {
    const char *v = std::getenv(kPushTimeoutVariable);
    if (v == nullptr) return 300;
    char *end = nullptr;
    long n = std::strtol(v, &end, 10);
    return end != v && *end == '\0' && n >= 1 && n <= 86400 ? static_cast<int>(n) : 300;
}

int WorkerTimeLimit() { return 2 * PushTimeLimit() + 3600; }

std::vector<std::string> FixedEnvironment(uid_t uid) {
    std::string home = "/";
    struct passwd pw {};
    struct passwd *found = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr && found->pw_dir != nullptr &&
        found->pw_dir[0] == '/')
        home = found->pw_dir;
    return {"PATH=/usr/bin:/bin", "HOME=" + home, "LC_ALL=C"};
}

void BecomeForGoodOrExit(uid_t uid, gid_t gid, const std::vector<gid_t> &groups) {
    const char *failed = "";
    if (int err = hv::BecomeForGood(uid, gid, groups, &failed)) {
        errno = err;
        ChildFails(failed, 127);
    }
}

int RunWorker(const WorkerSpec &spec, const std::function<int()> &work, const LineSink &out, const LineSink &err) {
    // Everything that needs the caller's identity or environment is looked
    // up before the fork.
    const std::vector<gid_t> groups = GroupsOf(spec.uid, spec.gid);
    std::vector<std::string> env = FixedEnvironment(spec.uid);
    // The administrator's setting for the push goes with the work.
    if (const char *v = std::getenv(kPushTimeoutVariable)) env.push_back(std::string(kPushTimeoutVariable) + "=" + v);
    // So does where the certificate step's scratch directories go.
    if (const char *v = std::getenv("TMPDIR"); v != nullptr && v[0] == '/') env.push_back(std::string("TMPDIR=") + v);
    const int limit = spec.time_limit > 0 ? spec.time_limit : WorkerTimeLimit();
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        err(Text("no pipe for the worker", errno));
        return kResultFailed;
    }
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        err(Text("no pipe for the worker", errno));
        ::close(out_pipe[0]);
        ::close(out_pipe[1]);
        return kResultFailed;
    }
    std::fflush(nullptr);
    const pid_t caller = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (devnull < 0 || ::dup2(devnull, 0) < 0 || ::dup2(out_pipe[1], 1) < 0 || ::dup2(err_pipe[1], 2) < 0)
            ::_exit(kResultNotPossible);
        if (::fchdir(spec.dir_fd) != 0) ChildFails("the instance directory cannot be entered", kResultNotPossible);
        CloseFrom(3);
        SetLimits();
        BecomeForGoodOrExit(spec.uid, spec.gid, groups);
        // A worker whose caller is gone has no one to report to.  Set after
        // the change of ids, which clears it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != caller) ::_exit(kResultFailed);
        ::clearenv();
        for (const std::string &e : env) ::putenv(const_cast<char *>(e.c_str()));
        hv_log_open(nullptr);  // the log goes to standard error, the pipe
        int rc;
        try {
            rc = work();
        } catch (const std::bad_alloc &) {
            std::fprintf(stderr, "%s: out of memory\n", spec.what.c_str());
            rc = kResultFailed;
        } catch (const std::exception &e) {
            std::fprintf(stderr, "%s: %s\n", spec.what.c_str(), e.what());
            rc = kResultFailed;
        }
        std::fflush(nullptr);
        ::_exit(rc & 0xff);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (pid < 0) {
        err(Text("the worker cannot be started", errno));
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        return kResultFailed;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit);
    Stream streams[2] = {{out_pipe[0], &out, {}, 0, false}, {err_pipe[0], &err, {}, 0, false}};
    bool killed = false;
    int status = 0;
    bool reaped = false;
    for (;;) {
        pollfd fds[2];
        Stream *polled[2];
        nfds_t n = 0;
        for (Stream &s : streams) {
            if (s.fd < 0) continue;
            polled[n] = &s;
            fds[n++] = {s.fd, POLLIN, 0};
        }
        if (n == 0) {
            // Both pipes closed: the worker has ended or is about to.
            pid_t w = ::waitpid(pid, &status, WNOHANG);
            if (w == pid) {
                reaped = true;
                break;
            }
            if (w < 0 && errno != EINTR) break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(-pid, SIGKILL);  // the worker leads its own session and group
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        if (n == 0) {
            ::usleep(10 * 1000);
            continue;
        }
        if (::poll(fds, n, static_cast<int>(std::min<long long>(left.count(), 1000))) < 0 && errno != EINTR) break;
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            Stream &s = *polled[i];
            char buf[8192];
            ssize_t got = ::read(s.fd, buf, sizeof buf);
            if (got > 0) {
                s.Take(buf, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                s.Finish();
                ::close(s.fd);
                s.fd = -1;
            }
        }
    }
    for (Stream &s : streams) {
        s.Finish();
        if (s.fd >= 0) ::close(s.fd);
    }
    while (!reaped && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (killed) {
        err(spec.what + ": the work did not end within " + std::to_string(limit) + " seconds and was killed");
        return kResultFailed;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    err(spec.what + ": the work ended by signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0));
    return kResultFailed;
}

}  // namespace hv::migrate
