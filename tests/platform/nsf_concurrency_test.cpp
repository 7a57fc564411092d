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

#include "notes_fixture.h"
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
    std::vector<std::string> env(vars);
    env.push_back("VQ_NSF_CHILD=1");
    return vqtest::SpawnSelf("NsfChild." + test, env);
}

/* Exit status of the child, or 128 + signal. */
int Wait(pid_t pid)
{
    return vqtest::WaitChild(pid);
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

/* Every item of a note as one text: name, flags, type and value bytes,
 * in item order; "<no note>" when it cannot be opened. */
std::string Dump(DBHANDLE db, NOTEID id)
{
    NOTEHANDLE n = NULLHANDLE;
    if (NSFNoteOpen(db, id, 0, &n) != NOERROR)
        return "<no note>";
    std::string out;
    auto add = [](WORD, WORD flags, char *name, WORD nameLen, void *value, DWORD valueLen,
                  void *p) -> STATUS {
        std::string &o = *static_cast<std::string *>(p);
        o += std::string(name, nameLen) + " " + std::to_string(flags) + " " + std::to_string(valueLen) + ":";
        o.append(static_cast<const char *>(value), valueLen);
        o += "\n";
        return NOERROR;
    };
    EXPECT_EQ(NSFItemScan(n, add, &out), NOERROR);
    NSFNoteClose(n);
    return out;
}

/* Reports the parent's note as this process reads it, then saves a note
 * of its own: "<its ID>\n<dump>". */
TEST(NsfChild, ReadBackAndWrite)
{
    if (!IsChild())
        GTEST_SKIP() << "runs as a child process only";
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(Env("VQ_NSF_DB").c_str(), &db), NOERROR);
    const std::string dump = Dump(db, (NOTEID)std::atol(Env("VQ_NSF_NOTE").c_str()));
    const NOTEID id = vqtest::SaveNote(db, {{"Subject", "from the child"}});
    NSFDbClose(db);
    ReportDone(std::to_string(id) + "\n" + dump);
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

class NsfConcurrencyTest : public vqtest::DbTest {
protected:
    void SetUp() override
    {
        vqtest::DbTest::SetUp();
        path_ = data_ / "test.nsf";
        result_ = data_ / "result";
    }
    NOTEID NewGenerationNote()
    {
        const NOTEID id = vqtest::SaveNote(db_, {});
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
};

TEST_F(NsfConcurrencyTest, SecondProcessReadsTheNoteExactlyAndWritesOneBack)
{
    const std::string body("binary\0body\x80", 12);
    const std::string attachment1(3 * 1024 * 1024, '\x5a');
    const std::string attachment2("PK\x03\x04", 4);
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db_, &n), NOERROR);
    NSFItemSetText(n, "Subject", "from the parent", MAXWORD);
    NSFItemCreateTextList(n, "SendTo", "first", MAXWORD);
    NSFItemAppendTextList(n, "SendTo", "second", MAXWORD, TRUE);
    TIMEDATE t;
    VqTimeDateFromUnix(1111111111, 11, &t);
    NSFItemSetTime(n, "PostedDate", &t);
    NSFItemAppend(n, 0, "Body", 4, TYPE_COMPOSITE, body.data(), (DWORD)body.size());
    NSFItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, attachment1.data(), (DWORD)attachment1.size());
    NSFItemAppend(n, 0, "$FILE", 5, TYPE_OBJECT, attachment2.data(), (DWORD)attachment2.size());
    ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(n, _NOTE_ID, &id);
    NSFNoteClose(n);
    const std::string mine = Dump(db_, id);
    ASSERT_GT(mine.size(), attachment1.size());
    TIMEDATE before;
    ASSERT_EQ(NSFDbModifiedTime(db_, &before, nullptr), NOERROR);

    ASSERT_EQ(Wait(Spawn("ReadBackAndWrite", ChildEnv(id))), 0);
    const std::string result = vqtest::ReadFile(result_);
    const size_t nl = result.find('\n');
    ASSERT_NE(nl, std::string::npos) << "the child did not run to its end";
    EXPECT_TRUE(result.substr(nl + 1) == mine) << "the child read the note otherwise";
    EXPECT_EQ(vqtest::ItemText(path_, (NOTEID)std::stoul(result.substr(0, nl)), "Subject"), "from the child");
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
