#include "support/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char **environ;

namespace hvtest {
namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() {
        for (int f : fd)
            if (f >= 0) close(f);
    }
    bool Open() { return pipe2(fd, O_CLOEXEC) == 0; }
};

}  // namespace

ProgramResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                         const std::vector<std::string> &extra_env) {
    ProgramResult result;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(program.c_str()));
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    // An extra entry replaces the inherited one of its name: with both, the
    // program would see whichever its C library finds first.
    auto overridden = [&extra_env](const char *inherited) {
        for (const std::string &e : extra_env) {
            std::size_t eq = e.find('=');
            if (eq != std::string::npos && std::strncmp(inherited, e.c_str(), eq + 1) == 0) return true;
        }
        return false;
    };
    for (char **e = environ; *e != nullptr; ++e)
        if (!overridden(*e)) envp.push_back(*e);
    for (const std::string &e : extra_env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    Pipe out, err;
    if (!out.Open() || !err.Open()) {
        result.err = std::string("pipe: ") + std::strerror(errno);
        return result;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        result.err = std::string("fork: ") + std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(out.fd[1], 1);
        dup2(err.fd[1], 2);
        execve(program.c_str(), argv.data(), envp.data());
        dprintf(2, "cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        _exit(127);
    }
    close(out.fd[1]);
    out.fd[1] = -1;
    close(err.fd[1]);
    err.fd[1] = -1;

    struct pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
    return result;
}

}  // namespace hvtest
