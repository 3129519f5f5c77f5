// The error log.  Each line is formatted in full first and written with one
// write(2) under the log's mutex, so lines of different threads never mix
// and a line is never cut by another writer of the same file.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "common/export.h"
#include "common/string_format.h"
#include "host/host_impl.h"

namespace {

constexpr int kMaxSeverity = 64;

// The severity switches are read on every call, most often to drop a line:
// an atomic word, so that the test takes no lock.
struct LogState {
    std::mutex mu;  // guards fd and each line's write
    int fd = -1;    // -1: standard error
    std::atomic<std::uint64_t> enabled{0};
};

std::uint64_t Bit(int severity) { return std::uint64_t{1} << severity; }

// Reads HV_LOG_LEVELS ("14,7") once, at first use.
LogState &State() {
    static LogState *state = [] {
        auto *s = new LogState();
        if (const char *env = std::getenv("HV_LOG_LEVELS")) {
            std::string levels(env);
            std::size_t pos = 0;
            while (pos <= levels.size()) {
                std::size_t comma = levels.find(',', pos);
                std::string item = levels.substr(pos, comma == std::string::npos ? comma : comma - pos);
                char *end = nullptr;
                long n = std::strtol(item.c_str(), &end, 10);
                if (end != item.c_str() && n >= 0 && n < kMaxSeverity) s->enabled |= Bit(static_cast<int>(n));
                if (comma == std::string::npos) break;
                pos = comma + 1;
            }
        }
        return s;
    }();
    return *state;
}

bool Enabled(LogState &s, int severity) {
    if (severity == SLAPI_LOG_FATAL) return true;
    if (severity < 0 || severity >= kMaxSeverity) return false;
    return (s.enabled.load(std::memory_order_relaxed) & Bit(severity)) != 0;
}

// "[dd/Mon/yyyy:HH:MM:SS +zzzz]" in local time; month names fixed, not
// taken from the locale.
std::string TimeStamp() {
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t now = time(nullptr);
    struct tm tm {};
    localtime_r(&now, &tm);
    long off = tm.tm_gmtoff / 60;
    char sign = off < 0 ? '-' : '+';
    if (off < 0) off = -off;
    char buf[64];
    std::snprintf(buf, sizeof buf, "[%02d/%s/%04d:%02d:%02d:%02d %c%02ld%02ld]", tm.tm_mday,
                  kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, sign,
                  off / 60, off % 60);
    return buf;
}

int WriteWhole(std::string line);

int WriteLine(const char *subsystem, const std::string &prefix, const char *fmt, va_list ap) {
    std::string line = TimeStamp();
    line += ' ';
    line += subsystem == nullptr ? "" : subsystem;
    line += " - ";
    line += prefix;
    if (fmt != nullptr) hv::AppendFormatV(&line, fmt, ap);
    return WriteWhole(std::move(line));
}

// Writes line, ended by a newline, with one write under the log's mutex.
int WriteWhole(std::string line) {
    if (line.empty() || line.back() != '\n') line += '\n';
    LogState &s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    int fd = s.fd < 0 ? STDERR_FILENO : s.fd;
    const char *p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        p += w;
        left -= static_cast<std::size_t>(w);
    }
    return 0;
}

}  // namespace

extern "C" {

HV_EXPORT int hv_log_open(const char *path) {
    int fd = -1;
    if (path != nullptr) {
        fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
    }
    LogState &s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.fd >= 0) ::close(s.fd);
    s.fd = fd;
    return 0;
}

HV_EXPORT int hv_log_line(const char *line) { return line == nullptr ? -1 : WriteWhole(line); }

HV_EXPORT void hv_log_enable(int severity, int on) {
    if (severity < 0 || severity >= kMaxSeverity) return;
    LogState &s = State();
    if (on != 0) {
        s.enabled.fetch_or(Bit(severity));
    } else {
        s.enabled.fetch_and(~Bit(severity));
    }
}

HV_EXPORT int slapi_is_loglevel_set(const int loglevel) { return Enabled(State(), loglevel) ? 1 : 0; }

HV_EXPORT int slapi_log_error(int severity, char *subsystem, char *fmt, ...) {
    if (!Enabled(State(), severity)) return 0;
    va_list ap;
    va_start(ap, fmt);
    int rc = WriteLine(subsystem, "", fmt, ap);
    va_end(ap);
    return rc;
}

HV_EXPORT int slapi_log_info_ex(long area, long level, long connid, long opid, long msgid,
                                const char *subsystem, const char *fmt, ...) {
    char prefix[160];
    std::snprintf(prefix, sizeof prefix, "INFO [area %ld level %ld conn %ld op %ld msgid %ld] ", area, level,
                  connid, opid, msgid);
    va_list ap;
    va_start(ap, fmt);
    int rc = WriteLine(subsystem, prefix, fmt, ap);
    va_end(ap);
    return rc;
}

HV_EXPORT int slapi_log_warning_ex(long msgid, long connid, long opid, long errid, long flags,
                                   const char *subsystem, const char *fmt, ...) {
    char prefix[160];
    std::snprintf(prefix, sizeof prefix, "WARNING [msgid %ld conn %ld op %ld errid %ld flags %ld] ", msgid,
                  connid, opid, errid, flags);
    va_list ap;
    va_start(ap, fmt);
    int rc = WriteLine(subsystem, prefix, fmt, ap);
    va_end(ap);
    return rc;
}

HV_EXPORT const char *slapd_system_strerror(const int syserrno) {
    const char *s = strerrordesc_np(syserrno);
    return s == nullptr ? "Unknown error" : s;
}

}  // extern "C"
