/*
 * test_support.cpp - shared test helpers (see test_support.h).
 */
#include "test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "vq_runtime.h"

namespace vqtest {

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vqtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void MakeDirs(const std::string &path)
{
    std::filesystem::create_directories(path);
}

std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(path, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> LogTexts()
{
    std::vector<std::string> out;
    for (const auto &e : LogEntries())
        out.push_back(e.text);
    return out;
}

std::vector<WORD> LogIds()
{
    std::vector<WORD> out;
    for (const auto &e : LogEntries())
        out.push_back(e.id);
    return out;
}

int LogCount(WORD id)
{
    int n = 0;
    for (const auto &e : LogEntries())
        n += e.id == id;
    return n;
}

int LogCount(WORD id, const std::string &arg)
{
    int n = 0;
    for (const auto &e : LogEntries())
        n += e.id == id && e.arg == arg;
    return n;
}

std::string LogArg(WORD id)
{
    for (const auto &e : LogEntries())
        if (e.id == id)
            return e.arg;
    return "<none>";
}

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

DHANDLE MakeTextList(const std::vector<std::string> &entries, BOOL prefix, WORD *size)
{
    DHANDLE h = NULLHANDLE;
    void *p = nullptr;
    WORD own = 0;
    WORD *sz = size != nullptr ? size : &own;
    EXPECT_EQ(ListAllocate(0, 0, prefix, &h, &p, sz), NOERROR);
    OSUnlockObject(h);
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(ListAddEntry(h, prefix, sz, (WORD)i, entries[i].data(), (WORD)entries[i].size()),
                  NOERROR);
    return h;
}

std::vector<std::string> ReadTextList(const void *list, BOOL prefix)
{
    std::vector<std::string> out;
    const WORD n = ListGetNumEntries(list, prefix);
    for (WORD i = 0; i < n; ++i) {
        char *text = nullptr;
        WORD len = 0;
        EXPECT_EQ(ListGetText(list, prefix, i, &text, &len), NOERROR);
        out.emplace_back(text, len);
    }
    return out;
}

std::vector<std::string> TextListOf(DHANDLE h, BOOL prefix)
{
    std::vector<std::string> out = ReadTextList(OSLockObject(h), prefix);
    OSUnlockObject(h);
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
    if (had_)
        saved_ = old;
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
    argv.push_back(nullptr);
    for (auto &e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    pid_t pid = fork();
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

void PlatformTest::SetUp()
{
    WriteFile(data_ / "notes.ini", "");
    SetDataDirectory(data_.path());
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

}  // namespace vqtest
