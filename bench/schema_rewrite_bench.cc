// How the schema rewrite of the upgrade scales with the file: a core schema
// file of many blocks (8 MB by default) gets one attribute type added to
// its cn=schema entry, which stands last, so every block is read.  Compared
// with the time `cp` takes to copy the same file, and its peak memory with
// the file's size; each run is a fresh process (this program re-executed),
// timed by the parent and measured with wait4's resource usage.
//
//   schema_rewrite_bench [megabytes...]     default: 1 4 8
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "migrate/schema.h"

namespace {

// The memory of a process that does nothing but start (the libraries'
// share), to be told apart from what the rewrite holds.
// Entries of about 250 bytes, with folded lines and comments, then the
// schema entry.
std::string SchemaText(std::size_t bytes) {
    std::string text = "# generated schema\n";
    for (long n = 0; text.size() < bytes; ++n) {
        std::string id = std::to_string(n);
        text += "# block " + id + "\ndn: cn=block" + id + ",cn=generated\nobjectclass: top\ncn: block" + id +
                "\ndescription: a description long enough that a printer would fold it onto another\n"
                " line of the file, as administrators' files often are\n\n";
    }
    text += "dn: cn=schema\nobjectclass: top\nattributeTypes: ( 1.1 NAME 'first' )\n";
    return text;
}

struct Run {
    double seconds = -1;
    double cpu = -1;  // user and system time
    long maxrss_kb = -1;
    int status = -1;
};

Run Spawn(const std::vector<std::string> &argv) {
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    Run run;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(args[0], args.data());
        _exit(127);
    }
    struct rusage ru {};
    int status = 0;
    if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid) return run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.maxrss_kb = ru.ru_maxrss;
    run.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
              static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

bool WriteText(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--idle") == 0) return 0;
    if (argc == 3 && std::strcmp(argv[1], "--rewrite") == 0) {
        return modify_attributeTypes_from_ldif(argv[2], ATTR_ADD, "second", "( 1.2 NAME 'second' )",
                                               "cn=schema");
    }
    std::vector<long> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::atol(argv[i]));
    if (sizes.empty()) sizes = {1, 4, 8};

    char dir[] = "/tmp/hvschemabench.XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string self = "/proc/self/exe";
    char exe[4096];
    ssize_t n = ::readlink(self.c_str(), exe, sizeof exe - 1);
    if (n <= 0) return 1;
    exe[n] = '\0';

    std::printf("%8s %7s %10s %8s %7s %10s %8s %11s %8s %7s %12s %11s %6s\n", "size MB", "blocks", "rewrite s",
                "cp s", "time x", "cp+sync s", "x sync", "rewrite cpu", "cp cpu", "cpu x", "peak RSS MB", "above idle",
                "x size");
    int rc = 0;
    for (long mb : sizes) {
        const std::string file = std::string(dir) + "/00core.ldif", copy = std::string(dir) + "/copy.ldif";
        std::string text = SchemaText(static_cast<std::size_t>(mb) << 20);
        long blocks = 0;
        for (std::size_t at = 0; (at = text.find("\ndn: ", at)) != std::string::npos; ++at) ++blocks;
        const double size_mb = static_cast<double>(text.size()) / (1 << 20);
        if (!WriteText(file, text)) return 1;
        text.clear();
        text.shrink_to_fit();
        Run cp = Spawn({"/bin/cp", file, copy});
        // The rewrite syncs its file (and directory) before it is done: cp
        // and then a sync of the copy is the same work made durable.
        Run cp_sync = Spawn({"/bin/sh", "-c", "cp \"$0\" \"$1\" && sync \"$1\" \"$(dirname \"$1\")\"", file,
                             copy + ".2"});
        Run idle = Spawn({exe, "--idle"});
        Run rewrite = Spawn({exe, "--rewrite", file});
        if (rewrite.status != 0 || cp.status != 0) {
            std::fprintf(stderr, "rewrite gave %d, cp gave %d\n", rewrite.status, cp.status);
            rc = 1;
        }
        const double above = (rewrite.maxrss_kb - idle.maxrss_kb) / 1024.0;
        std::printf("%8.1f %7ld %10.3f %8.3f %7.2f %10.3f %8.2f %11.3f %8.3f %7.2f %12.1f %11.1f %6.2f\n", size_mb,
                    blocks, rewrite.seconds, cp.seconds, rewrite.seconds / cp.seconds, cp_sync.seconds,
                    rewrite.seconds / cp_sync.seconds, rewrite.cpu, cp.cpu, rewrite.cpu / cp.cpu,
                    rewrite.maxrss_kb / 1024.0, above, above / size_mb);
        ::unlink((copy + ".2").c_str());
        ::unlink(file.c_str());
        ::unlink(copy.c_str());
    }
    ::rmdir(dir);
    // The rewrite also flushes the file and its directory to disk, which cp
    // does not; on a busy machine compare the CPU columns.
    std::printf("target: rewrite time at most 3x cp's (made durable: x sync), memory above an idle start at most 2x "
                "the file's size\n");
    return rc;
}
