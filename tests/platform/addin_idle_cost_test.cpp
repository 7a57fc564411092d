/*
 * addin_idle_cost_test.cpp - what a long-running task must not pay for at
 * every turn: the status file is rewritten only when its line changes (or
 * the file went away), and log entries and status lines are kept in
 * memory only in a process that used a test control.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"
#include "vq_runtime.h"

namespace {

using vqtest::ReadFile;

const VQ_RESOURCE_STRING kTable[] = {
    {13100, "Idle 2.0.1"},
    {13146, "VORTIQ: DS0 %s"},
    {13158, "Receiving inbound fax from %s"},
};

HMODULE TestModule()
{
    static const HMODULE h = OSRegisterModuleStrings(kTable, sizeof kTable / sizeof kTable[0]);
    return h;
}

/* Inode of a file, 0 when it does not exist: every write of the status
 * file renames a new file into place, so a new inode means a rewrite. */
ino_t InodeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class StatusFileTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        vqtest::SetActiveModule(TestModule());
    }
    void TearDown() override
    {
        vqtest::SetActiveModule(0);
        PlatformTest::TearDown();
    }
    std::string Tasks(const std::string &name) const { return data_ / ("tasks/" + name); }
};

/* Each step changes something (or nothing) and sets a status line; the
 * file named must then hold that line, and must have been rewritten
 * exactly when the step says. */
TEST_F(StatusFileTest, RewrittenOnlyWhenTheLineChangesOrTheFileWentAway)
{
    vqtest::TempDir other;
    struct Step {
        const char *what;
        std::function<void()> before;
        STATUS id;
        const char *arg;
        std::string file;
        std::string want;
        bool rewritten;
    };
    const std::string idle = "Idle 2.0.1\n", receiving = "Receiving inbound fax from 555\n";
    const std::vector<Step> steps = {
        {"first line", nullptr, 13100, nullptr, "vortiq.status", idle, true},
        {"same line", nullptr, 13100, nullptr, "vortiq.status", idle, false},
        {"same line again", nullptr, 13100, nullptr, "vortiq.status", idle, false},
        {"new line", nullptr, 13158, "555", "vortiq.status", receiving, true},
        {"same new line", nullptr, 13158, "555", "vortiq.status", receiving, false},
        {"back to idle", nullptr, 13100, nullptr, "vortiq.status", idle, true},
        {"file removed from outside", [&] { unlink(Tasks("vortiq.status").c_str()); }, 13100,
         nullptr, "vortiq.status", idle, true},
        {"task ended", [] { EXPECT_EQ(AddInSDKTerm(NOERROR), NOERROR); }, 13100, nullptr,
         "vortiq.status", idle, true},
        {"other task name", [] { AddInSetTaskName("faxtwo"); }, 13100, nullptr, "faxtwo.status",
         idle, true},
        {"other task, same line", nullptr, 13100, nullptr, "faxtwo.status", idle, false},
    };
    for (const Step &s : steps) {
        if (s.before)
            s.before();
        const std::string path = Tasks(s.file);
        const ino_t before = InodeOf(path); /* 0 when the step removed it */
        AddInSetStatus(s.id, s.arg);
        EXPECT_EQ(ReadFile(path), s.want) << s.what;
        const ino_t after = InodeOf(path);
        EXPECT_NE(after, (ino_t)0) << s.what;
        EXPECT_EQ(after != before, s.rewritten) << s.what;
    }
    /* Every call is still a status line for whoever watches them. */
    EXPECT_EQ(vqtest::StatusLines().size(), steps.size());

    /* The same line in another data directory is that directory's first. */
    vqtest::EnterDataDirectory(other);
    AddInSetStatus(13100);
    EXPECT_EQ(ReadFile(other / "tasks/faxtwo.status"), idle);
    vqtest::ResetIdle();
}

/* A server process never calls a test control, so nothing it logs or
 * shows stays in memory. Run in a process of its own (re-executed), where
 * no other test has used a control yet. */
TEST(LogCaptureTest, KeptOnlyFromTheFirstTestControlOn)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto run = [] {
        vqtest::TempDir dir;
        vqtest::EnterDataDirectory(dir);
        vqtest::SetActiveModule(TestModule());
        /* Logged and shown before any control: kept on disk only. */
        AddInLogError(13146, NOERROR, "before");
        AddInSetStatus(13100);
        const bool onDisk =
            ReadFile(dir / "server.log").find("VORTIQ: DS0 before") != std::string::npos &&
            ReadFile(dir / "tasks/vortiq.status") == "Idle 2.0.1\n";
        const bool noneKept = vqtest::LogEntries().empty() && vqtest::StatusLines().empty();
        /* The reads above were controls: from here on, entries are kept. */
        AddInLogError(13146, NOERROR, "after");
        AddInSetStatus(13158, "555");
        const bool afterKept =
            vqtest::LogTexts() == std::vector<std::string>{"VORTIQ: DS0 after"} &&
            vqtest::StatusLines() == std::vector<std::string>{"Receiving inbound fax from 555"};
        return onDisk && noneKept && afterKept;
    };
    EXPECT_EXIT(std::_Exit(run() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

}  // namespace
