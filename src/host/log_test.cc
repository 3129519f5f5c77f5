// The error log: level filter, line format, positional arguments, whole
// lines from many threads.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <errno.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hv/slapi-host.h"
#include "support/server_root.h"

namespace {

class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(hv_log_open(path_.c_str()), 0);
    }
    void TearDown() override {
        hv_log_open(nullptr);
        hv_log_enable(SLAPI_LOG_PLUGIN, 0);
    }
    std::vector<std::string> Lines() {
        std::ifstream in(path_);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    hvtest::TempDir tmp_{"hv_log_test_"};
    std::string path_ = tmp_.Join("errors");
};

const std::regex kStamp(R"(^\[\d\d/(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] )");

TEST_F(LogFile, PluginLinesOnlyWhenSwitchedOn) {
    char sub[] = "utils";
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_PLUGIN), 0);
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_FATAL), 1);
    slapi_log_error(SLAPI_LOG_PLUGIN, sub, const_cast<char *>("hidden %d\n"), 1);
    hv_log_enable(SLAPI_LOG_PLUGIN, 1);
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_PLUGIN), 1);
    slapi_log_error(SLAPI_LOG_PLUGIN, sub, const_cast<char *>("Internal error: %d\n"), 34);
    slapi_log_error(SLAPI_LOG_CONFIG, sub, const_cast<char *>("config lines stay off\n"));
    slapi_log_error(SLAPI_LOG_FATAL, sub, const_cast<char *>("no newline given"));
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_search(lines[0], kStamp)) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].find("] ") + 2), "utils - Internal error: 34");
    EXPECT_EQ(lines[1].substr(lines[1].find("] ") + 2), "utils - no newline given");
}

TEST_F(LogFile, ExLinesPositionalArgumentsAndLongMessages) {
    slapi_log_warning_ex(39169, -1, -1, -1, 0, "Operation ",
                         "Cannot upgrade encryption, error %1$d on entry '%2$s'\n", 65, "cn=encryption,cn=config");
    slapi_log_info_ex(16384, 0, -1, -1, 0, "upgrade", "%s done\n", "phase 1");
    std::string big(10000, 'z');
    hv_log_enable(SLAPI_LOG_PLUGIN, 1);
    char sub[] = "HVAttrtally";
    slapi_log_error(SLAPI_LOG_PLUGIN, sub, const_cast<char *>("plugin loaded with arguments %s\n"), big.c_str());
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("] Operation  - WARNING [msgid 39169 conn -1 op -1 errid -1 flags 0] "
                            "Cannot upgrade encryption, error 65 on entry 'cn=encryption,cn=config'"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("] upgrade - INFO [area 16384 level 0 conn -1 op -1 msgid 0] phase 1 done"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[2].find(big), std::string::npos);
    EXPECT_STREQ(slapd_system_strerror(ENOENT), "No such file or directory");
    EXPECT_NE(slapd_system_strerror(99999), nullptr);
}

TEST_F(LogFile, LinesOfManyThreadsStayWhole) {
    hv_log_enable(SLAPI_LOG_PLUGIN, 1);
    constexpr int kThreads = 8, kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string pad(100 + t * 37, static_cast<char>('a' + t));
            char sub[] = "worker";
            for (int i = 0; i < kLines; ++i) {
                slapi_log_error(SLAPI_LOG_PLUGIN, sub, const_cast<char *>("t%d i%d %s\n"), t, i, pad.c_str());
            }
        });
    }
    for (auto &th : threads) th.join();
    std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    const std::regex whole(R"(\] worker - t(\d) i\d+ ([a-z])+$)");
    for (const std::string &line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, whole)) << line;
        int t = std::stoi(m[1]);
        std::string pad = line.substr(line.rfind(' ') + 1);
        EXPECT_EQ(pad, std::string(100 + t * 37, static_cast<char>('a' + t)));
    }
}

// The level test takes no lock: switching levels while other threads log
// must still be race-free (ThreadSanitizer runs this), and a severity's
// switch does not touch another's.
TEST_F(LogFile, LevelsSwitchWhileThreadsLog) {
    hv_log_enable(SLAPI_LOG_CONFIG, 1);
    std::thread switcher([] {
        for (int i = 0; i < 2000; ++i) hv_log_enable(SLAPI_LOG_PLUGIN, (i + 1) % 2);
    });
    std::vector<std::thread> loggers;
    for (int t = 0; t < 2; ++t) {
        loggers.emplace_back([] {
            char sub[] = "x";
            for (int i = 0; i < 500; ++i) {
                slapi_log_error(SLAPI_LOG_PLUGIN, sub, const_cast<char *>("plugin\n"));
                slapi_log_error(SLAPI_LOG_CONFIG, sub, const_cast<char *>("config\n"));
                EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_CONFIG), 1);
            }
        });
    }
    switcher.join();
    for (auto &th : loggers) th.join();
    hv_log_enable(SLAPI_LOG_CONFIG, 0);
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_PLUGIN), 0);  // the last switch was off
    EXPECT_EQ(slapi_is_loglevel_set(SLAPI_LOG_CONFIG), 0);
}

TEST(LogOpen, RefusesAnUnwritablePath) {
    EXPECT_EQ(hv_log_open("/nonexistent-dir/errors"), -1);
}

}  // namespace
