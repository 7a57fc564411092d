/*
 * vortiq_run_test.cpp - the real vortiq program on a data directory made
 * by scripts/setup-data.sh: it starts, logs its start message, and stops
 * cleanly on SIGTERM and on "notesctl quit vortiq". Every wait is bounded;
 * a program that does not stop in time is killed and the test fails.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_support.h"
#include "test_support.h"

namespace {

using vqe2e::BinDir;

const char kStarted[] = "VORTIQ: Fax gateway started";
const char kShutdown[] = "VORTIQ: Fax gateway shutdown";
const std::string kSetup = vqe2e::SourceDir() + "/scripts/setup-data.sh";

/* A started vortiq that is killed at destruction unless it has ended. */
struct Child {
    pid_t pid;
    ~Child()
    {
        if (pid > 0 && vqe2e::WaitUntil(pid, vqe2e::Clock::now()) == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    /* Sends sig; the exit code, or -1 when it did not end within 20 s. */
    int Stop(int sig)
    {
        kill(pid, sig);
        int code = vqe2e::WaitUntil(pid, vqe2e::Clock::now() + std::chrono::seconds(20));
        if (code != -1)
            pid = -1;
        return code;
    }
};

class VortiqRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        ASSERT_TRUE(vqe2e::SetUpData(data_, &why)) << why;
    }
    vqtest::TempDir tmp_;
    const std::string data_ = tmp_ / "data";
};

TEST_F(VortiqRunTest, StartsAndStopsOnSigtermAndOnQuitRequest)
{
    vqe2e::Gateway gw(data_);
    {
        const std::string console = data_ + "/vortiq.console";
        Child child{vqe2e::Spawn({BinDir() + "/vortiq", "=" + data_ + "/notes.ini"}, console, console, data_)};
        ASSERT_TRUE(vqe2e::Eventually([&] { return gw.CountInLog(kStarted) == 1; }, 20)) << gw.Console();
        EXPECT_EQ(child.Stop(SIGTERM), 0) << gw.Log();
    }
    EXPECT_EQ(gw.CountInLog(kShutdown), 1u) << gw.Log();

    /* Started again on the same data, stopped by the operator's request. */
    ASSERT_TRUE(gw.Start()) << gw.Log();
    EXPECT_EQ(gw.Quit(), 0) << gw.Log();
    EXPECT_EQ(gw.CountInLog(kShutdown), 2u) << gw.Log();

    /* Neither start met a problem with its configuration or mail file. */
    for (const char *problem : {"does not exist", " set; use SET CONFIG", "Error opening message file"})
        EXPECT_EQ(gw.CountInLog(problem), 0u) << gw.Log();
}

/* The program's own ends, without a prepared server. */
TEST(VortiqProgramTest, ExitCodesAndTexts)
{
    vqtest::TempDir tmp;
    struct Case {
        const char *name;
        std::string ini; /* the "=PATH" argument */
        int wantExit;
        std::vector<std::string> wantOutput;
    } cases[] = {
        /* Unconfigured: the task logs why and ends normally. */
        {"no configuration", tmp / "notes.ini", 0, {kStarted, "VORTIQ: No VORTIQDOMAIN set", kShutdown}},
        /* A notes.ini that cannot be made: the start-up call's text, and
         * the value NotesSDKMAINInitError gave. */
        {"no data directory", tmp / "missing/notes.ini", 1, {"File does not exist"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqe2e::Result r = vqe2e::Run({BinDir() + "/vortiq", "=" + c.ini}, 20, tmp.path());
        EXPECT_EQ(r.code, c.wantExit) << r.Describe();
        for (const auto &want : c.wantOutput)
            EXPECT_NE((r.out + r.err).find(want), std::string::npos) << want << " in:\n" << r.Describe();
    }
}

TEST_F(VortiqRunTest, SetupIsSafeToRunAgain)
{
    const std::string before = vqtest::ReadFile(data_ + "/notes.ini");
    ASSERT_EQ(vqe2e::Notesctl(data_, {"set-config", "VortiqInterval=7"}).code, 0);
    const std::string changed = vqtest::ReadFile(data_ + "/notes.ini");
    ASSERT_NE(changed, before);

    /* A prepared directory is left as it is, keys changed since included. */
    EXPECT_EQ(vqe2e::Run({"/bin/sh", kSetup, BinDir(), data_}).code, 0);
    EXPECT_EQ(vqtest::ReadFile(data_ + "/notes.ini"), changed);
    EXPECT_TRUE(vqtest::FileExists(data_ + "/spool/TMBFAX/FAX/OUT"));

    /* A folder with foreign content is refused. */
    vqtest::TempDir other;
    vqtest::WriteFile(other / "keep.txt", "mine");
    EXPECT_NE(vqe2e::Run({"/bin/sh", kSetup, BinDir(), other.path()}).code, 0);
    EXPECT_EQ(vqtest::ReadFile(other / "keep.txt"), "mine");
}

}  // namespace
