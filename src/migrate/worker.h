// The process that works on one instance when the caller is root.
//
// Everything inside an instance belongs to its owner, who may plant links,
// FIFOs, huge files, NSS modules or a hostile schema push script.  A root
// caller therefore never does the work itself: RunWorker forks a worker
// that, before it touches the instance,
//   - leaves root's session and terminal (setsid), with standard input from
//     /dev/null and standard output and error going to pipes to the caller;
//   - takes the instance directory the caller opened as its working
//     directory and closes every other descriptor;
//   - sets resource limits (address space, file size, processes, open
//     files, no core file);
//   - takes the owner's group list (initgroups' list) and real, effective
//     and saved group and user ids, and checks that root cannot be taken
//     back;
//   - replaces its environment by PATH=/usr/bin:/bin, HOME (the owner's)
//     and LC_ALL=C (and the caller's HVDS_PUSH_TIMEOUT and absolute TMPDIR,
//     the administrator's settings for the work), and logs to its
//     standard error.
// The caller only reads the worker's output (each line escaped, at most
// kMaxRelayedBytes a stream), hands it on and waits for it with a time
// limit, after which the worker's whole session is killed.
//
// The worker is a fork without exec: the upgrade's phase 1 changes the
// configuration through the caller's directory in memory (the host's
// internal operations), which only a fork carries into the worker, and the
// library has no helper program of its own to find.  The fork happens
// before anything of the instance is opened but its directory; the callers
// (dshost, dsmigrate, a host calling upgrade_instance) run no other thread
// meanwhile, as upgrade_instance already requires.
#ifndef HV_MIGRATE_WORKER_H
#define HV_MIGRATE_WORKER_H

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace hv::migrate {

// What the caller hands on of one stream: at most this much, then a line
// saying the rest was dropped.
inline constexpr std::size_t kMaxRelayedBytes = std::size_t{1} << 20;

struct WorkerSpec {
    uid_t uid;
    gid_t gid;
    int dir_fd;          // the instance directory: the worker's working directory
    std::string what;    // the instance, for messages
    int time_limit = 0;  // seconds; 0 for WorkerTimeLimit()
};

// Receives one line of the worker's output, without its end, escaped.
using LineSink = std::function<void(const std::string &line)>;

// Whether work on an instance owned by uid must run in a worker: the
// process is root and the owner is not.
bool NeedsWorker(uid_t owner);

// Runs work in a worker as described above.  work's result (0..255) is the
// worker's exit status and the result here; a worker that cannot be
// started, could not become the owner (4), ends by a signal or is killed at
// its time limit (3) gives a message on err.
int RunWorker(const WorkerSpec &spec, const std::function<int()> &work, const LineSink &out, const LineSink &err);

// How long the schema push may run: HVDS_PUSH_TIMEOUT seconds (1 to
// 86400) from the environment, 300 by default.
int PushTimeLimit();
// How long a worker may run: twice the push's limit (the upgrade may push
// twice) and an hour.
int WorkerTimeLimit();

// The environment owner code gets: PATH=/usr/bin:/bin, HOME of uid ("/"
// when it has none) and LC_ALL=C.
std::vector<std::string> FixedEnvironment(uid_t uid);

// In a child process: says why it cannot go on (what and errno's text) on
// standard error and ends with status.  Async-signal-safe.
[[noreturn]] void ChildFails(const char *what, int status);

// In a child process: takes uid, gid and groups as real, effective and
// saved ids for good and checks that root cannot be taken back; on failure
// says why on standard error and ends the process with status 127.
void BecomeForGoodOrExit(uid_t uid, gid_t gid, const std::vector<gid_t> &groups);

}  // namespace hv::migrate

#endif  // HV_MIGRATE_WORKER_H
