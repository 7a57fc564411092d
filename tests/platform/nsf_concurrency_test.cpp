/*
 * nsf_concurrency_test.cpp - databases shared between processes: a note
 * saved by one process reads back exactly in another, a reader never sees
 * half of a concurrent update and nobody gets "database is locked", and a
 * writer killed in the middle of NSFNoteUpdate (kill -9, or the fault
 * seam's crash right after the commit) leaves a whole note behind.
 *
 * The second process is this test program itself, started again with a
 * filter that runs one of the NsfChild tests; those tests do nothing
 * unless VQ_NSF_CHILD is set in their environment.
 */
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "vq_nsf.h"
#include "vq_port.h"
#include "vq_runtime.h"

extern char **environ;

namespace {

/* ---- the generation note: every item says which save wrote it ---- */

constexpr int kGenItems = 8;
constexpr size_t kFillerSize = 256 * 1024;

STATUS WriteGeneration(DBHANDLE db, NOTEID id, int gen)
{
    NOTEHANDLE n = NULLHANDLE;
    STATUS s = NSFNoteOpen(db, id, 0, &n);
    if (s != NOERROR)
        return s;
    const std::string text = "gen-" + std::to_string(gen);
    for (int i = 0; i < kGenItems && s == NOERROR; ++i)
        s = NSFItemSetText(n, ("G" + std::to_string(i)).c_str(), text.c_str(), MAXWORD);
    NSFItemDelete(n, "Filler", 6);
    const std::string filler(kFillerSize, (char)('a' + gen % 26));
    if (s == NOERROR)
        s = NSFItemAppend(n, 0, "Filler", 6, TYPE_OBJECT, filler.data(), (DWORD)filler.size());
    NUMBER num = gen;
    if (s == NOERROR)
        s = NSFItemSetNumber(n, "Gen", &num);
    if (s == NOERROR)
        s = NSFNoteUpdate(n, 0);
    NSFNoteClose(n);
    return s;
}

/* The generation the note holds, or -1 when its items disagree. */
int ReadGeneration(DBHANDLE db, NOTEID id, STATUS *status)
{
    NOTEHANDLE n = NULLHANDLE;
    *status = NSFNoteOpen(db, id, 0, &n);
    if (*status != NOERROR)
        return -1;
    NUMBER num = -1;
    NSFItemGetNumber(n, "Gen", &num);
    const int gen = (int)num;
    const std::string text = "gen-" + std::to_string(gen);
    bool whole = gen >= 0;
    for (int i = 0; i < kGenItems && whole; ++i) {
        char buf[32];
        NSFItemGetText(n, ("G" + std::to_string(i)).c_str(), buf, sizeof buf);
        whole = text == buf;
    }
    BLOCKID item, value;
    WORD type = 0;
    DWORD len = 0;
    if (whole && gen > 0) {
        whole = NSFItemInfo(n, "Filler", 6, &item, &type, &value, &len) == NOERROR &&
                len == kFillerSize + sizeof(WORD);
        if (whole) {
            const char *p = OSLockBlock(char, value) + sizeof(WORD);
            const std::string want(kFillerSize, (char)('a' + gen % 26));
            whole = std::memcmp(p, want.data(), kFillerSize) == 0;
            OSUnlockBlock(value);
        }
    }
    NSFNoteClose(n);
    return whole ? gen : -1;
}

/* ---- child processes ---- */

pid_t Spawn(const std::string &test, const std::vector<std::string> &vars)
{
    std::vector<std::string> args = {"/proc/self/exe", "--gtest_filter=NsfChild." + test,
                                     "--gtest_brief=1"};
    std::vector<std::string> env(vars);
    env.push_back("VQ_NSF_CHILD=1");
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

/* Exit status of the child, or 128 + signal. */
int Wait(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool Exited(pid_t pid, int *code)
{
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid)
        return false;
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

std::string Env(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

bool IsChild()
{
    return !Env("VQ_NSF_CHILD").empty();
}

/* A child proves it ran (a filter that matches nothing also exits 0). */
void ReportDone(const std::string &what)
{
    if (!::testing::Test::HasFailure())
        vqtest::WriteFile(Env("VQ_NSF_RESULT"), what);
}

const std::string kBody("binary\0body\x80", 12);
const std::string kAttachment1(3 * 1024 * 1024, '\x5a');
const std::string kAttachment2("PK\x03\x04", 4);

TEST(NsfChild, ReadBackAndWrite)
{
    if (!IsChild())
        GTEST_SKIP() << "runs as a child process only";
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(Env("VQ_NSF_DB").c_str(), &db), NOERROR);
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, (NOTEID)std::atol(Env("VQ_NSF_NOTE").c_str()), 0, &n), NOERROR);
    char buf[256];
    NSFItemGetText(n, "Subject", buf, sizeof buf);
    EXPECT_STREQ(buf, "from the parent");
    EXPECT_EQ(NSFItemGetTextListEntries(n, "SendTo"), 2);
    NSFItemGetTextListEntry(n, "SendTo", 1, buf, sizeof buf - 1);
    EXPECT_STREQ(buf, "second");
    TIMEDATE t, want;
    VqTimeDateFromUnix(1111111111, 11, &want);
    EXPECT_TRUE(NSFItemGetTime(n, "PostedDate", &t));
    EXPECT_EQ(std::memcmp(&t, &want, sizeof t), 0);
    BLOCKID item, value;
    WORD type = 0;
    DWORD len = 0;
    const std::string *want_files[] = {&kAttachment1, &kAttachment2};
    ASSERT_EQ(NSFItemInfo(n, "$FILE", 5, &item, &type, &value, &len), NOERROR);
    for (int i = 0; i < 2; ++i) {
        if (i == 1) {
            ASSERT_EQ(NSFItemInfoNext(n, item, "$FILE", 5, &item, &type, &value, &len), NOERROR);
        }
        EXPECT_EQ(type, TYPE_OBJECT);
        ASSERT_EQ(len, want_files[i]->size() + sizeof(WORD));
        EXPECT_TRUE(std::memcmp(OSLockBlock(char, value) + sizeof(WORD), want_files[i]->data(),
                                want_files[i]->size()) == 0);
        OSUnlockBlock(value);
    }
    ASSERT_EQ(NSFItemInfo(n, "Body", 4, &item, &type, &value, &len), NOERROR);
    EXPECT_EQ(std::string(OSLockBlock(char, value) + sizeof(WORD), len - sizeof(WORD)), kBody);
    OSUnlockBlock(value);
    NSFNoteClose(n);

    ASSERT_EQ(NSFNoteCreate(db, &n), NOERROR);
    NSFItemSetText(n, "Subject", "from the child", MAXWORD);
    ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(n, _NOTE_ID, &id);
    NSFNoteClose(n);
    NSFDbClose(db);
    ReportDone(std::to_string(id));
}

TEST(NsfChild, WriteGenerations)
{
    if (!IsChild())
        GTEST_SKIP() << "runs as a child process only";
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(Env("VQ_NSF_DB").c_str(), &db), NOERROR);
    const NOTEID id = (NOTEID)std::atol(Env("VQ_NSF_NOTE").c_str());
    const int rounds = std::atoi(Env("VQ_NSF_ROUNDS").c_str());
    for (int gen = 1; rounds == 0 || gen <= rounds; ++gen) {
        ASSERT_EQ(WriteGeneration(db, id, gen), NOERROR) << "generation " << gen;
        NOTEHANDLE n = NULLHANDLE;
        ASSERT_EQ(NSFNoteCreate(db, &n), NOERROR);
        NSFItemSetText(n, "Form", "Child", MAXWORD);
        ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NSFNoteClose(n);
    }
    NSFDbClose(db);
    ReportDone("done");
}

TEST(NsfChild, CrashRightAfterCommit)
{
    if (!IsChild())
        GTEST_SKIP() << "runs as a child process only";
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(Env("VQ_NSF_DB").c_str(), &db), NOERROR);
    const NOTEID id = (NOTEID)std::atol(Env("VQ_NSF_NOTE").c_str());
    PortFaultArm(Env("VQ_NSF_MODE") == "crash" ? 1 : 2, 1, EIO);
    STATUS s = WriteGeneration(db, id, 2);
    /* Only the failing mode gets here: end as abruptly as the crash. */
    _exit(s == ERR_IO ? 3 : 4);
}

class NsfConcurrencyTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        vqtest::PlatformTest::SetUp();
        path_ = data_ / "shared.nsf";
        result_ = data_ / "result";
        ASSERT_EQ(NSFDbCreate(path_.c_str(), DBCLASS_NOTEFILE, FALSE), NOERROR);
        ASSERT_EQ(NSFDbOpen(path_.c_str(), &db_), NOERROR);
    }
    void TearDown() override
    {
        if (db_ != NULLHANDLE)
            NSFDbClose(db_);
        vqtest::PlatformTest::TearDown();
    }
    NOTEID NewGenerationNote()
    {
        NOTEHANDLE n = NULLHANDLE;
        EXPECT_EQ(NSFNoteCreate(db_, &n), NOERROR);
        NOTEID id = 0;
        EXPECT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NSFNoteGetInfo(n, _NOTE_ID, &id);
        NSFNoteClose(n);
        EXPECT_EQ(WriteGeneration(db_, id, 0), NOERROR);
        return id;
    }
    std::vector<std::string> ChildEnv(NOTEID id, const std::string &extra = "")
    {
        std::vector<std::string> env = {"VQ_NSF_DB=" + path_, "VQ_NSF_NOTE=" + std::to_string(id),
                                        "VQ_NSF_RESULT=" + result_};
        if (!extra.empty())
            env.push_back(extra);
        return env;
    }
    std::string path_, result_;
    DBHANDLE db_ = NULLHANDLE;
};

TEST_F(NsfConcurrencyTest, SecondProcessReadsTheNoteExactlyAndWritesOneBack)
{
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db_, &n), NOERROR);
    NSFItemSetText(n, "Subject", "from the parent", MAXWORD);
    NSFItemCreateTextList(n, "SendTo", "first", MAXWORD);
    NSFItemAppendTextList(n, "SendTo", "second", MAXWORD, TRUE);
    TIMEDATE t;
    VqTimeDateFromUnix(1111111111, 11, &t);
    NSFItemSetTime(n, "PostedDate", &t);
    NSFItemAppend(n, 0, "Body", 4, TYPE_COMPOSITE, kBody.data(), (DWORD)kBody.size());
    NSFItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, kAttachment1.data(), (DWORD)kAttachment1.size());
    NSFItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, kAttachment2.data(), (DWORD)kAttachment2.size());
    ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(n, _NOTE_ID, &id);
    NSFNoteClose(n);
    TIMEDATE before;
    ASSERT_EQ(NSFDbModifiedTime(db_, &before, nullptr), NOERROR);

    ASSERT_EQ(Wait(Spawn("ReadBackAndWrite", ChildEnv(id))), 0);
    const std::string childNote = vqtest::ReadFile(result_);
    ASSERT_FALSE(childNote.empty()) << "the child did not run to its end";
    ASSERT_EQ(NSFNoteOpen(db_, (NOTEID)std::stoul(childNote), 0, &n), NOERROR);
    char buf[64];
    NSFItemGetText(n, "Subject", buf, sizeof buf);
    EXPECT_STREQ(buf, "from the child");
    NSFNoteClose(n);
    TIMEDATE after;
    ASSERT_EQ(NSFDbModifiedTime(db_, &after, nullptr), NOERROR);
    EXPECT_GE(TimeDateCompare(&after, &before), 0);
}

TEST_F(NsfConcurrencyTest, ReaderNeverSeesHalfANoteWhileAnotherProcessWrites)
{
    const NOTEID id = NewGenerationNote();
    const NOTEID mine = NewGenerationNote();
    pid_t child = Spawn("WriteGenerations", ChildEnv(id, "VQ_NSF_ROUNDS=40"));
    int exitCode = -1, reads = 0, lastGen = 0, myGen = 0;
    while (!Exited(child, &exitCode)) {
        STATUS s = NOERROR;
        int gen = ReadGeneration(db_, id, &s);
        ASSERT_EQ(s, NOERROR) << "read " << reads;
        ASSERT_GE(gen, lastGen) << "half a note, or an older one, after read " << reads;
        lastGen = gen;
        ++reads;
        /* This process writes too, so both queue for the write lock. */
        ASSERT_EQ(WriteGeneration(db_, mine, ++myGen), NOERROR);
    }
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(vqtest::ReadFile(result_), "done");
    STATUS s = NOERROR;
    EXPECT_EQ(ReadGeneration(db_, id, &s), 40);
    EXPECT_EQ(ReadGeneration(db_, mine, &s), myGen);
    EXPECT_GT(reads, 1);
}

TEST_F(NsfConcurrencyTest, WriterKilledDuringUpdatesLeavesAWholeNote)
{
    const NOTEID id = NewGenerationNote();
    for (int round = 0; round < 3; ++round) {
        pid_t child = Spawn("WriteGenerations", ChildEnv(id, "VQ_NSF_ROUNDS=0"));
        /* Wait until it is writing, then kill it at some point of a save. */
        STATUS s = NOERROR;
        int seen = 0;
        for (int i = 0; i < 2000 && seen < 2; ++i) {
            seen = ReadGeneration(db_, id, &s);
            ASSERT_EQ(s, NOERROR);
            PortSleepMs(5);
        }
        ASSERT_GE(seen, 2) << "the writer did not get going";
        PortSleepMs(3 + 7 * round);
        kill(child, SIGKILL);
        EXPECT_EQ(Wait(child), 128 + SIGKILL);

        DBHANDLE fresh = NULLHANDLE;
        ASSERT_EQ(NSFDbOpen(path_.c_str(), &fresh), NOERROR);
        const int gen = ReadGeneration(fresh, id, &s);
        EXPECT_EQ(s, NOERROR);
        EXPECT_GE(gen, seen) << "round " << round;
        /* Whatever the writer held is released: this process can write. */
        EXPECT_EQ(WriteGeneration(fresh, id, 0), NOERROR);
        NSFDbClose(fresh);
    }
}

TEST_F(NsfConcurrencyTest, CrashAtTheCommitKeepsEitherTheNewOrTheOldNote)
{
    const NOTEID id = NewGenerationNote();
    ASSERT_EQ(WriteGeneration(db_, id, 1), NOERROR);
    STATUS s = NOERROR;
    /* Failing commit, then the process dies: the old note stays. */
    EXPECT_EQ(Wait(Spawn("CrashRightAfterCommit", ChildEnv(id, "VQ_NSF_MODE=fail"))), 3);
    EXPECT_EQ(ReadGeneration(db_, id, &s), 1);
    /* Crash right after the commit: the new note is there, whole. */
    EXPECT_EQ(Wait(Spawn("CrashRightAfterCommit", ChildEnv(id, "VQ_NSF_MODE=crash"))),
              PORT_CRASH_EXIT);
    EXPECT_EQ(ReadGeneration(db_, id, &s), 2);
    EXPECT_EQ(s, NOERROR);
}

}  // namespace
