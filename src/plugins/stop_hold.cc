#include "plugins/stop_hold.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "plugins/plugin_log.h"

namespace hv::plugins {

namespace {

constexpr char kSubsystem[] = "slapdcompat";
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

std::mutex mu;
std::condition_variable ended;
int underWay = 0;       // changes begun and not ended
bool stopping = false;  // a stop signal came: no new change begins
std::once_flag installed;
int wakeFd[2] = {-1, -1};
struct sigaction previous[sizeof kSignals / sizeof kSignals[0]];

// Async-signal-safe: only hands the signal's number to the waiting thread.
void OnSignal(int sig) {
    const int saved = errno;
    const unsigned char c = static_cast<unsigned char>(sig);
    if (::write(wakeFd[1], &c, 1) < 0) {
        // Nothing more can be done in a signal handler.
    }
    errno = saved;
}

}  // namespace

StopHold &StopHold::Instance() {
    static StopHold *hold = new StopHold;  // never destroyed: the thread may outlive exit
    return *hold;
}

bool StopHold::Begin() {
    if (limit_.count() > 0) std::call_once(installed, [this] { Install(); });
    std::lock_guard lock(mu);
    if (stopping) return false;
    ++underWay;
    return true;
}

void StopHold::End() {
    std::lock_guard lock(mu);
    if (--underWay == 0) ended.notify_all();
}

void StopHold::Install() {
    if (::pipe2(wakeFd, O_CLOEXEC) != 0) {
        Log(kSubsystem, "cannot hold stops: no pipe\n");
        return;
    }
    bool any = false;
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        struct sigaction now {};
        if (::sigaction(kSignals[i], nullptr, &now) != 0) continue;
        const bool handled = (now.sa_flags & SA_SIGINFO) != 0 ||
                             (now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN);
        if (!handled) continue;
        previous[i] = now;
        struct sigaction hold {};
        hold.sa_handler = OnSignal;
        sigemptyset(&hold.sa_mask);
        hold.sa_flags = SA_RESTART;
        if (::sigaction(kSignals[i], &hold, nullptr) == 0) any = true;
    }
    if (!any) return;
    std::thread([this] {
        unsigned char c = 0;
        ssize_t n;
        do {
            n = ::read(wakeFd[0], &c, 1);
        } while (n < 0 && errno == EINTR);
        Wait(n == 1 ? c : SIGTERM);
    }).detach();
}

// Refuses new changes, waits for those under way, then gives every held
// signal back to the server and sends it the one that came.
void StopHold::Wait(int sig) {
    {
        std::unique_lock lock(mu);
        stopping = true;
        Log(kSubsystem, "stop requested: new changes are refused; waiting for %d under way\n", underWay);
        if (!ended.wait_for(lock, limit_, [] { return underWay == 0; })) {
            Log(kSubsystem, "%d changes still under way after %lld s; the server stops now and their "
                            "counters may be left unwritten (run hvtally check)\n",
                underWay, static_cast<long long>(limit_.count()));
        }
    }
    for (std::size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        if (previous[i].sa_handler != nullptr || (previous[i].sa_flags & SA_SIGINFO) != 0) {
            ::sigaction(kSignals[i], &previous[i], nullptr);
        }
    }
    ::kill(::getpid(), sig);
}

}  // namespace hv::plugins
