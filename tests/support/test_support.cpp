/*
 * test_support.cpp - shared test helpers (see test_support.h).
 */
#include "test_support.h"

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "vq_runtime.h"

namespace vqtest {

std::ostream &operator<<(std::ostream &out, const Logged &l)
{
    return out << "{" << l.id << ", \"" << l.arg << "\", " << (l.failed ? "failed" : "ok") << "}";
}

std::vector<Logged> LogSummary()
{
    std::vector<Logged> out;
    for (const auto &e : LogEntries())
        out.push_back({e.id, e.arg, e.status != 0});
    return out;
}

void EnterDataDirectory(const TempDir &dir)
{
    WriteFile(dir / "notes.ini", "");
    SetDataDirectory(dir.path());
}

EnvGuard::EnvGuard(const char *name, const char *value) : name_(name)
{
    const char *old = std::getenv(name);
    had_ = old != nullptr;
    saved_ = had_ ? old : "";
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
    tzset();
}

EnvGuard::~EnvGuard()
{
    if (had_)
        setenv(name_.c_str(), saved_.c_str(), 1);
    else
        unsetenv(name_.c_str());
    tzset();
}

void PlatformTest::SetUp()
{
    EnterDataDirectory(data_);
    SetLogEcho(false);
    ClearLog();
    ClearStatus();
    UseRealClock();
    ResetIdle();
    SetIdlePaceMs(0);
    misuses_at_start_ = MisuseCount();
}

void PlatformTest::TearDown()
{
    EXPECT_EQ(HandleCountAll(), 0u) << DescribeHandles();
    EXPECT_EQ(MisuseCount(), misuses_at_start_);
}

void PlatformTest::ExpectMisuses(std::size_t n)
{
    EXPECT_EQ(MisuseCount(), misuses_at_start_ + n);
    misuses_at_start_ = MisuseCount();
}

void DbTest::SetUp()
{
    PlatformTest::SetUp();
    ASSERT_EQ(NSFDbCreate("test.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    ASSERT_EQ(NSFDbOpen("test.nsf", &db_), NOERROR);
}

void DbTest::TearDown()
{
    if (db_ != NULLHANDLE)
        NSFDbClose(db_);
    db_ = NULLHANDLE;
    PlatformTest::TearDown();
}

void DbTest::Reopen()
{
    NSFDbClose(db_);
    db_ = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("test.nsf", &db_), NOERROR);
}

NOTEID SaveNote(DBHANDLE db, const std::vector<std::pair<std::string, std::string>> &items,
                WORD updateFlags)
{
    NOTEHANDLE n = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db, &n), NOERROR);
    if (n == NULLHANDLE)
        return 0;
    for (const auto &it : items)
        EXPECT_EQ(NSFItemSetText(n, it.first.c_str(), it.second.c_str(), (WORD)it.second.size()), NOERROR);
    NOTEID id = 0;
    if (NSFNoteUpdate(n, updateFlags) == NOERROR)
        NSFNoteGetInfo(n, _NOTE_ID, &id);
    NSFNoteClose(n);
    return id;
}

int SpawnSelf(const std::string &Filter, const std::vector<std::string> &Env)
{
    std::vector<std::string> args = {"/proc/self/exe", "--gtest_filter=" + Filter, "--gtest_brief=1"};
    std::vector<std::string> env(Env);
    for (char **e = environ; *e != nullptr; ++e)
        env.push_back(*e);
    std::vector<char *> argv, envp;
    for (auto &a : args)
        argv.push_back(&a[0]);
    for (auto &e : env)
        envp.push_back(&e[0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execve("/proc/self/exe", argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

int WaitChild(int Pid)
{
    int status = 0;
    while (waitpid(Pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace vqtest
