/*
 * vortiq_run_test.cpp - the real vortiq program on a data directory made
 * by scripts/setup-data.sh: it starts, logs its start message, and stops
 * cleanly on SIGTERM and on "notesctl quit vortiq". Every wait is bounded;
 * a program that does not stop in time is killed and the test fails.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

const std::string kBin = VQ_BIN_DIR;
const std::string kSetup = std::string(VQ_SOURCE_DIR) + "/scripts/setup-data.sh";
const char kStarted[] = "VORTIQ: Fax gateway started";
const char kShutdown[] = "VORTIQ: Fax gateway shutdown";
const auto kDeadline = std::chrono::seconds(20);

std::string Quote(const std::string &s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int Shell(const std::string &cmd)
{
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

size_t Count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

class VortiqRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        data_ = tmp_ / "data";
        ASSERT_EQ(Shell(Quote(kSetup) + " " + Quote(kBin) + " " + Quote(data_) + " >/dev/null"), 0);
        /* Quick answers to stop requests. */
        ASSERT_EQ(Notesctl("set-config AddInIdlePaceMs=50"), 0);
    }
    void TearDown() override
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    int Notesctl(const std::string &args)
    {
        return Shell(Quote(kBin + "/notesctl") + " -d " + Quote(data_) + " " + args + " >/dev/null");
    }

    /* Starts vortiq in the data directory, its output into console.txt. */
    void Start()
    {
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            int fd = open((data_ + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd < 0 || chdir(data_.c_str()) != 0)
                _exit(127);
            dup2(fd, 1);
            dup2(fd, 2);
            std::string ini = "=" + data_ + "/notes.ini";
            std::string prog = kBin + "/vortiq";
            execl(prog.c_str(), prog.c_str(), ini.c_str(), (char *)nullptr);
            _exit(127);
        }
    }

    /* What the task logged: the server log, or its console. */
    std::string Log() const
    {
        std::string log = vqtest::ReadFile(data_ + "/server.log");
        return log.empty() ? vqtest::ReadFile(data_ + "/console.txt") : log;
    }

    /* Waits until the log holds `count` copies of `what`. */
    bool WaitForLog(const std::string &what, size_t count)
    {
        auto end = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < end) {
            if (Count(Log(), what) >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    /* Waits for the program to end; its exit code, or -1 after killing it. */
    int WaitForExit()
    {
        auto end = std::chrono::steady_clock::now() + kDeadline;
        int status = 0;
        while (std::chrono::steady_clock::now() < end) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }

    vqtest::TempDir tmp_;
    std::string data_;
    pid_t pid_ = -1;
};

TEST_F(VortiqRunTest, StartsAndStopsOnSigtermAndOnQuitRequest)
{
    Start();
    ASSERT_TRUE(WaitForLog(kStarted, 1)) << Log();
    kill(pid_, SIGTERM);
    EXPECT_EQ(WaitForExit(), 0) << Log();
    EXPECT_EQ(Count(Log(), kShutdown), 1u) << Log();

    /* Started again on the same data, stopped by the operator's request. */
    Start();
    ASSERT_TRUE(WaitForLog(kStarted, 2)) << Log();
    ASSERT_EQ(Notesctl("quit vortiq"), 0);
    EXPECT_EQ(WaitForExit(), 0) << Log();
    EXPECT_EQ(Count(Log(), kShutdown), 2u) << Log();

    /* Neither start met a problem with its configuration or mail file. */
    const std::string log = Log();
    EXPECT_EQ(Count(log, "does not exist"), 0u) << log;
    EXPECT_EQ(Count(log, " set; use SET CONFIG"), 0u) << log;
    EXPECT_EQ(Count(log, "Error opening message file"), 0u) << log;
}

/* The program's own ends, without a prepared server. */
TEST(VortiqProgramTest, ExitCodesAndTexts)
{
    struct Case {
        const char *name;
        std::string ini; /* the "=PATH" argument */
        int wantExit;
        std::vector<std::string> wantOutput;
    };
    vqtest::TempDir tmp;
    const std::vector<Case> cases = {
        /* Unconfigured: the task logs why and ends normally. */
        {"no configuration", tmp / "notes.ini", 0,
         {kStarted, "VORTIQ: No VORTIQDOMAIN set", kShutdown}},
        /* A notes.ini that cannot be made: the start-up call's text, and
         * the value NotesSDKMAINInitError gave. */
        {"no data directory", tmp / "missing/notes.ini", 1, {"File does not exist"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = tmp / "out.txt";
        int rc = Shell("cd " + Quote(tmp.path()) + " && timeout 20 " + Quote(kBin + "/vortiq") + " " +
                       Quote("=" + c.ini) + " >" + Quote(out) + " 2>&1");
        const std::string text = vqtest::ReadFile(out);
        EXPECT_EQ(rc, c.wantExit) << text;
        for (const auto &want : c.wantOutput)
            EXPECT_NE(text.find(want), std::string::npos) << want << " in:\n" << text;
    }
}

TEST_F(VortiqRunTest, SetupIsSafeToRunAgain)
{
    const std::string before = vqtest::ReadFile(data_ + "/notes.ini");
    ASSERT_EQ(Notesctl("set-config VortiqInterval=7"), 0);
    const std::string changed = vqtest::ReadFile(data_ + "/notes.ini");
    ASSERT_NE(changed, before);

    /* A prepared directory is left as it is, keys changed since included. */
    EXPECT_EQ(Shell(Quote(kSetup) + " " + Quote(kBin) + " " + Quote(data_) + " >/dev/null"), 0);
    EXPECT_EQ(vqtest::ReadFile(data_ + "/notes.ini"), changed);
    EXPECT_TRUE(vqtest::FileExists(data_ + "/spool/TMBFAX/FAX/OUT"));

    /* A folder with foreign content is refused. */
    vqtest::TempDir other;
    vqtest::WriteFile(other / "keep.txt", "mine");
    EXPECT_NE(Shell(Quote(kSetup) + " " + Quote(kBin) + " " + Quote(other.path()) + " 2>/dev/null"), 0);
    EXPECT_EQ(vqtest::ReadFile(other / "keep.txt"), "mine");
}

}  // namespace
