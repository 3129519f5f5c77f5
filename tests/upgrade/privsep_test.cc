// Root runs the tools over an instance whose owner is not trusted: the work
// runs in a process that holds nothing of root (ids, groups, session,
// terminal, environment, descriptors), the owner cannot lend the run other
// ids or make it load code, run for ever or take the host's memory.  The
// real dshost and dsmigrate and the upgrade entry on sample server roots
// handed to a real non-root owner.  Needs root.
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hv/dsmigrate.h"
#include "hv/slapi-host.h"
#include "support/run_program.h"
#include "upgrade/sample_root.h"

namespace {

using hvtest::Inspect;
using hvtest::ProgramResult;
using hvtest::ReadFile;
using hvtest::RunProgram;
using hvtest::WriteFile;

constexpr char kInst[] = "slapd-a";

std::string Bin(const std::string &name) { return std::string(HV_BUILD_DIR) + "/bin/" + name; }

class PrivilegeSeparation : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to run over another user's instance";
        Remake();
    }
    // A fresh sample root, at the baseline.
    void Remake() {
        root_.reset();
        root_ = std::make_unique<hvtest::SampleRoot>();
        ASSERT_TRUE(root_->Make({"a"}));
        owner_ = root_->owner();
        inst_ = root_->InstancePath(kInst);
    }
    // A file of the owner's in the instance.
    void OwnersFile(const std::string &rel, const std::string &content, mode_t mode = 0644) {
        WriteFile(inst_ + "/" + rel, content, mode);
        hvtest::ChownTree(inst_ + "/" + rel, owner_.uid, owner_.gid, false);
    }
    ProgramResult Upgrade(const std::vector<std::string> &env = {}) {
        return RunProgram(Bin("dshost"), {"upgrade", inst_}, env);
    }
    std::string Real(const std::string &path) {
        char buf[PATH_MAX];
        return realpath(path.c_str(), buf) != nullptr ? buf : path;
    }
    std::unique_ptr<hvtest::SampleRoot> root_;
    hvtest::SystemUser owner_;
    std::string inst_;
};

// What the push finds out about itself, checked from inside it: dshost run
// from a terminal (script(1) gives it one) and the upgrade entry called by
// this root process.
TEST_F(PrivilegeSeparation, ThePushHoldsNothingOfRoot) {
    auto script = [](const std::string &report) {
        return "#!/bin/sh\n{\n"
               "  grep -E '^(Uid|Gid):' /proc/$$/status | tr -s '\\t' ' '\n"
               "  echo \"groups $(id -G)\"\n"
               "  echo \"session $$ $(cut -d' ' -f6 /proc/$$/stat)\"\n"
               "  if (exec 3</dev/tty) 2>/dev/null; then echo 'tty opened'; else echo 'tty refused'; fi\n"
               "  echo \"cwd $(pwd -P)\"\n"
               "  echo \"limits $(ulimit -Hn) $(ulimit -Hp)\"\n"
               "  env | sort | sed 's/^/env /'\n"
               "} > " + report + " 2>&1\n";
    };
    struct passwd *pw = getpwuid(owner_.uid);
    ASSERT_NE(pw, nullptr);
    const std::string home = pw->pw_dir != nullptr && pw->pw_dir[0] == '/' ? pw->pw_dir : "/";
    int n = 64;
    std::vector<gid_t> list(64);
    ASSERT_GE(getgrouplist(owner_.name.c_str(), owner_.gid, list.data(), &n), 0);
    std::set<std::string> groups;
    for (int i = 0; i < n; ++i) groups.insert(std::to_string(list[static_cast<std::size_t>(i)]));

    const struct {
        const char *route;
        bool terminal;
    } routes[] = {{"dshost upgrade from a terminal", true}, {"upgrade_instance in this process", false}};
    for (const auto &route : routes) {
        SCOPED_TRACE(route.route);
        if (!route.terminal) Remake();
        const std::string report = inst_ + "/push.report";
        OwnersFile("schema_push.pl", script(report), 0755);
        if (route.terminal) {
            ProgramResult r = RunProgram("/usr/bin/script", {"-qefc", Bin("dshost") + " upgrade " + inst_, "/dev/null"},
                                         {"HV_SECRET=root's"});
            ASSERT_EQ(r.exit_status, 0) << r.out << r.err;
        } else {
            ASSERT_EQ(setenv("HV_SECRET", "root's", 1), 0);
            EXPECT_EQ(upgrade_instance(0, inst_.c_str()), 0);
            unsetenv("HV_SECRET");
        }
        std::istringstream in(ReadFile(report));
        std::set<std::string> env_names;
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line);
            std::string key;
            words >> key;
            if (key == "Uid:" || key == "Gid:") {
                const std::string id = std::to_string(key == "Uid:" ? owner_.uid : owner_.gid);
                EXPECT_EQ(line, key + " " + id + " " + id + " " + id + " " + id) << "real, effective, saved, fs";
            } else if (key == "groups") {
                std::set<std::string> seen;
                for (std::string g; words >> g;) seen.insert(g);
                EXPECT_EQ(seen, groups) << line;
            } else if (key == "session") {
                std::string pid, sid;
                words >> pid >> sid;
                EXPECT_EQ(sid, pid) << "the push leads a session of its own";
                EXPECT_NE(sid, std::to_string(getsid(0)));
            } else if (key == "tty") {
                EXPECT_EQ(line, "tty refused");
            } else if (key == "limits") {
                long files = 0, procs = 0;
                words >> files >> procs;
                EXPECT_TRUE(files > 0 && files <= 1024 && procs > 0 && procs <= 1024) << line;
            } else if (key == "cwd") {
                EXPECT_EQ(line, "cwd " + Real(inst_));
            } else if (key == "env") {
                std::string entry = line.substr(4);
                env_names.insert(entry.substr(0, entry.find('=')));
                const std::string name = entry.substr(0, entry.find('='));
                if (name == "PATH" || name == "HOME" || name == "LC_ALL") {
                    EXPECT_EQ(entry, name == "PATH" ? "PATH=/usr/bin:/bin" : name == "HOME" ? "HOME=" + home : "LC_ALL=C");
                }
            } else {
                ADD_FAILURE() << "unexpected line: " << line;
            }
        }
        // The shell adds PWD (and may add SHLVL and OLDPWD); nothing else
        // of the caller's comes through.
        for (const std::string &name : env_names)
            EXPECT_TRUE(name == "PATH" || name == "HOME" || name == "LC_ALL" || name == "PWD" || name == "SHLVL" ||
                        name == "OLDPWD")
                << name;
        EXPECT_EQ(env_names.count("PATH") + env_names.count("HOME") + env_names.count("LC_ALL"), 3u);
    }
}

bool Gone(pid_t pid) {
    for (int i = 0; i < 300; ++i) {
        if (kill(pid, 0) != 0 && errno == ESRCH) return true;
        std::string stat = Inspect("/proc/" + std::to_string(pid) + "/stat").exists
                               ? ReadFile("/proc/" + std::to_string(pid) + "/stat")
                               : "";
        std::string::size_type close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A push that leaves a process behind (holding its output) does not keep the
// run waiting: the process goes with the push.  A push that does not end is
// killed with its group at the limit and counts as failed, and still owed.
TEST_F(PrivilegeSeparation, ThePushIsCutOffAtItsLimit) {
    const std::string pidfile_rel = "left.pid";
    const struct {
        const char *what;
        std::string script;
        const char *limit;
        int status;
    } cases[] = {
        {"leaves a process behind", "#!/bin/sh\nsleep 100 &\necho $! > " + pidfile_rel + "\nexit 0\n", "60", 0},
        {"does not end", "#!/bin/sh\necho $$ > " + pidfile_rel + "\nexec sleep 100\n", "2", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string pidfile = inst_ + "/" + pidfile_rel;
        OwnersFile("schema_push.pl", c.script, 0755);
        const auto start = std::chrono::steady_clock::now();
        ProgramResult r = Upgrade({std::string("HVDS_PUSH_TIMEOUT=") + c.limit});
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(r.exit_status, c.status) << r.out << r.err;
        EXPECT_LT(took, std::chrono::seconds(20));
        const pid_t left = static_cast<pid_t>(std::atol(ReadFile(pidfile).c_str()));
        ASSERT_GT(left, 0);
        EXPECT_TRUE(Gone(left));
        if (!Gone(left)) kill(left, SIGKILL);
        if (c.status != 0) {
            EXPECT_NE(r.err.find("did not end within 2 seconds (HVDS_PUSH_TIMEOUT)"), std::string::npos) << r.err;
            EXPECT_TRUE(Inspect(inst_ + "/upgrade/schema_push.pending").exists);
        }
        Remake();
    }
}

// A PKCS#11 module the owner registers in the server root's alias/secmod.db
// would be loaded by NSS into the process that converts the database.
TEST_F(PrivilegeSeparation, AModuleInTheModuleDatabaseIsNotLoaded) {
    const std::string module = inst_ + "/probe.so";
    const std::string marker = module + ".ran";
    ASSERT_EQ(RunProgram("/bin/cp", {HV_PKCS11_PROBE, module}).exit_status, 0);
    hvtest::ChownTree(module, owner_.uid, owner_.gid, false);
    hvtest::TempDir scratch;
    ProgramResult made = RunProgram("/usr/bin/certutil", {"-N", "-d", "dbm:" + scratch.path(), "--empty-password"});
    ASSERT_EQ(made.exit_status, 0) << made.err;
    made = RunProgram("/usr/bin/modutil",
                      {"-dbdir", "dbm:" + scratch.path(), "-add", "probe", "-libfile", module, "-force"});
    ASSERT_EQ(made.exit_status, 0) << made.out << made.err;
    ASSERT_TRUE(Inspect(marker).exists) << "modutil loads the module: the probe works";
    hvtest::RemoveTree(marker);
    const std::string secmod = root_->Join("alias/secmod.db");
    WriteFile(secmod, ReadFile(scratch.Join("secmod.db")), 0600);
    hvtest::ChownTree(secmod, owner_.uid, owner_.gid, false);

    ProgramResult r = Upgrade();
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_TRUE(Inspect(root_->Cert8Path(kInst)).exists);
    EXPECT_FALSE(Inspect(marker).exists) << ReadFile(marker);
}

// The run's ids come from the instance directory; a dse.ldif that is not the
// owner's own (a hard link to root's file, a file left root's, a second
// name) and an instance of root's are refused before anything changes.
TEST_F(PrivilegeSeparation, ForeignConfigurationFilesAndRootsInstancesAreRefused) {
    hvtest::TempDir outside("hvoutside");
    const std::string precious = outside.Join("precious");
    const std::string dse = root_->Dse(kInst);
    const std::string saved = ReadFile(dse);
    const struct {
        const char *what;
        void (*plant)(const std::string &dse, const std::string &inst, const std::string &precious);
        const char *env;
        const char *message;
    } cases[] = {
        {"a hard link to root's file",
         [](const std::string &d, const std::string &, const std::string &p) {
             WriteFile(p, ReadFile(d), 0666);
             ASSERT_EQ(unlink(d.c_str()), 0);
             ASSERT_EQ(link(p.c_str(), d.c_str()), 0);
         },
         "", ": refused, it belongs to uid 0, not to the owner of the instance directory"},
        {"left root's by an editor",
         [](const std::string &d, const std::string &, const std::string &) { ASSERT_EQ(chown(d.c_str(), 0, 0), 0); },
         "", ": refused, it belongs to uid 0"},
        {"a second name",
         [](const std::string &d, const std::string &i, const std::string &) {
             ASSERT_EQ(link(d.c_str(), (i + "/config/other.ldif").c_str()), 0);
         },
         "", ": refused, it has 2 hard links"},
        {"an instance of root's",
         [](const std::string &, const std::string &i, const std::string &) { hvtest::ChownTree(i, 0, 0); }, "",
         ": refused, the instance directory belongs to root (set HVDS_ALLOW_ROOT_OWNED=1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        c.plant(dse, inst_, precious);
        const std::string precious_before = Inspect(precious).exists ? ReadFile(precious) : "";
        ProgramResult r = Upgrade();
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(Inspect(root_->UpgradeDir(kInst)).exists);
        EXPECT_FALSE(Inspect(root_->Cert8Path(kInst)).exists);
        if (!precious_before.empty()) {
            EXPECT_EQ(ReadFile(precious), precious_before);
        }
        ProgramResult d = RunProgram(Bin("dsmigrate"), {"-downgrade", "-s", root_->path()});
        EXPECT_EQ(d.exit_status, 1);
        EXPECT_NE(d.err.find(c.message), std::string::npos) << d.err;
        // Back to the owner's instance.
        hvtest::RemoveTree(inst_ + "/config/other.ldif");
        hvtest::RemoveTree(dse);
        WriteFile(dse, saved, 0600);
        hvtest::ChownTree(inst_, owner_.uid, owner_.gid);
        hvtest::RemoveTree(precious);
    }
    // The administrator may take an instance of root's on, as root.
    hvtest::ChownTree(inst_, 0, 0);
    ProgramResult r = Upgrade({"HVDS_ALLOW_ROOT_OWNED=1"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
}

// An 8 GB sparse file where the tools read one: a message naming the file,
// no crash, and no memory taken.
TEST_F(PrivilegeSeparation, HugeSparseFilesAreRefusedWithAMessage) {
    const off_t kHuge = off_t{8} << 30;
    const std::string dse = root_->Dse(kInst), versions = root_->VersionsFile(kInst);
    const std::string saved = ReadFile(dse);
    const struct {
        const char *what;
        const std::string *file;
        std::vector<std::string> program;
        int status;
        const char *expected;
    } cases[] = {
        {"dse.ldif, dshost upgrade", &dse, {Bin("dshost"), "upgrade", inst_}, 1, "File too large"},
        {"dse.ldif, dshost status", &dse, {Bin("dshost"), "status", root_->path()}, 0, "File too large"},
        {"versions.conf, dshost status", &versions, {Bin("dshost"), "status", root_->path()}, 0,
         "versions.conf cannot be read"},
        {"versions.conf, dsmigrate", &versions, {Bin("dsmigrate"), "-downgrade", "-s", root_->path()}, 1,
         "larger than 67108864 bytes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        hvtest::RemoveTree(root_->UpgradeDir(kInst));
        if (c.file == &versions) hvtest::MakeDirs(root_->UpgradeDir(kInst));
        WriteFile(dse, saved, 0600);
        WriteFile(*c.file, "1\n", 0600);
        ASSERT_EQ(truncate(c.file->c_str(), kHuge), 0);
        hvtest::ChownTree(inst_, owner_.uid, owner_.gid);
        ProgramResult r = RunProgram(c.program[0], {c.program.begin() + 1, c.program.end()});
        EXPECT_EQ(r.term_signal, 0);
        EXPECT_EQ(r.exit_status, c.status) << r.out << r.err;
        const std::string all = r.out + r.err;
        EXPECT_NE(all.find(c.expected), std::string::npos) << all;
        if (c.status != 0) {
            EXPECT_NE(all.find(*c.file), std::string::npos) << all;
        }
    }
}

// dshost status reads as the owner: a link the owner plants does not list a
// directory only root can read, and what it prints of the owner's files
// comes with control bytes escaped.
TEST_F(PrivilegeSeparation, StatusReadsAsTheOwnerAndEscapesWhatItPrints) {
    hvtest::TempDir secret("hvsecret");
    hvtest::MakeDirs(secret.Join("bak_patch2"), 0700);
    WriteFile(secret.Join("bak_patch2/root-only-name"), "", 0600);
    ASSERT_EQ(chmod(secret.path().c_str(), 0700), 0);
    ASSERT_EQ(symlink(secret.path().c_str(), root_->UpgradeDir(kInst).c_str()), 0);
    ASSERT_EQ(lchown(root_->UpgradeDir(kInst).c_str(), owner_.uid, owner_.gid), 0);
    std::string dse = ReadFile(root_->Dse(kInst));
    const std::string from = "alias/slapd-a-cert7.db";
    ASSERT_NE(dse.find(from), std::string::npos);
    dse.replace(dse.find(from), from.size(), "alias/\x1b]0;owned\x07");
    WriteFile(root_->Dse(kInst), dse, 0600);
    hvtest::ChownTree(root_->Dse(kInst), owner_.uid, owner_.gid, false);

    ProgramResult r = RunProgram(Bin("dshost"), {"status", root_->path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.find("root-only-name"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("certificate database: alias/\\x1b]0;owned\\x07"), std::string::npos) << r.out;
}

}  // namespace
