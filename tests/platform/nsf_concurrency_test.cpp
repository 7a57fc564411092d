/*
 * nsf_concurrency_test.cpp - a database shared by two processes: while
 * both write, neither fails ("database is locked") and a reader never sees
 * half of the other's update; a process that dies at the commit leaves
 * the old note when the commit failed and the new one, whole, when it
 * crashed right after it; a message routed while another process holds a
 * routing group goes through once the group commits; every commit, made
 * with or without waiting for the disk, is in the file at once for any
 * other connection.
 *
 * The second process is this program again, run with a filter for one of
 * the NsfChild tests, which do nothing unless VQ_NSF_CHILD is set.
 */
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "notes_fixture.h"
#include "test_support.h"
#include "vq_mail.h"
#include "vq_nsf.h"
#include "vq_port.h"
#include "vq_runtime.h"
#include "vq_testhooks.h"

namespace {

/* The generation note: every item says which save wrote it. */
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
    bool whole = gen >= 0;
    for (int i = 0; i < kGenItems && whole; ++i) {
        char buf[32];
        NSFItemGetText(n, ("G" + std::to_string(i)).c_str(), buf, sizeof buf);
        whole = "gen-" + std::to_string(gen) == buf;
    }
    BLOCKID item, value;
    WORD type = 0;
    DWORD len = 0;
    whole = whole && NSFItemInfo(n, "Filler", 6, &item, &type, &value, &len) == NOERROR &&
            len == kFillerSize + sizeof(WORD);
    if (whole) {
        const char *p = OSLockBlock(char, value) + sizeof(WORD);
        whole = std::string(p, kFillerSize) == std::string(kFillerSize, (char)('a' + gen % 26));
        OSUnlockBlock(value);
    }
    NSFNoteClose(n);
    return whole ? gen : -1;
}

std::string Env(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

NOTEID ChildNote()
{
    return (NOTEID)std::atol(Env("VQ_NSF_NOTE").c_str());
}

TEST(NsfChild, WriteGenerations)
{
    if (Env("VQ_NSF_CHILD").empty())
        GTEST_SKIP() << "runs as a child process only";
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(Env("VQ_NSF_DB").c_str(), &db), NOERROR);
    /* each generation waits for one of the parent's, so that the two
     * really write in turns however the machine schedules them */
    const NOTEID peer = (NOTEID)std::atol(Env("VQ_NSF_PEER").c_str());
    for (int gen = 1; gen <= 40; ++gen) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int seen = 0; seen < gen; PortSleepMs(1)) {
            STATUS s = NOERROR;
            seen = ReadGeneration(db, peer, &s);
            ASSERT_EQ(s, NOERROR);
            ASSERT_GE(seen, 0) << "half of the parent's note";
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the parent wrote nothing for a minute";
        }
        ASSERT_EQ(WriteGeneration(db, ChildNote(), gen), NOERROR) << "generation " << gen;
        ASSERT_NE(vqtest::SaveNote(db, {{"Form", "Child"}}), 0u);
    }
    NSFDbClose(db);
    vqtest::WriteFile(Env("VQ_NSF_RESULT"), "done"); /* an empty filter also exits 0 */
}

TEST(NsfChild, DieAtTheCommit)
{
    if (Env("VQ_NSF_CHILD").empty())
        GTEST_SKIP() << "runs as a child process only";
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(Env("VQ_NSF_DB").c_str(), &db), NOERROR);
    /* the update's first durable operation is its commit */
    PortFaultArm(Env("VQ_NSF_MODE") == "crash" ? 1 : 2, 1, EIO);
    const STATUS s = WriteGeneration(db, ChildNote(), 2);
    _exit(s == ERR_IO ? 3 : 4); /* as abruptly as the crash */
}

/* Routes a memo in a routing group that it opened before the parent's
 * routing began, and holds the group meanwhile. */
TEST(NsfChild, RouteInAGroup)
{
    if (Env("VQ_NSF_CHILD").empty())
        GTEST_SKIP() << "runs as a child process only";
    vqtest::SetDataDirectory(Env("VQ_NSF_DATA"));
    vqtest::SetLogEcho(false);
    ASSERT_EQ(VqMailBeginBatch(), NOERROR);
    vqtest::WriteFile(Env("VQ_NSF_RESULT"), "open");
    PortSleepMs(500); /* the parent routes meanwhile */
    vqtest::Memo m;
    m.from = "jdoe";
    m.sendTo = {"jroe"};
    const STATUS s = vqtest::SendMemo(m);
    _exit(VqMailCommitBatch() == NOERROR && s == NOERROR ? 0 : 3);
}

class NsfConcurrencyTest : public vqtest::DbTest {
protected:
    NOTEID NewGenerationNote()
    {
        const NOTEID id = vqtest::SaveNote(db_, {});
        EXPECT_EQ(WriteGeneration(db_, id, 0), NOERROR);
        return id;
    }
    pid_t Spawn(const std::string &test, NOTEID id, const std::string &mode = "", NOTEID peer = 0)
    {
        return vqtest::SpawnSelf("NsfChild." + test,
                                 {"VQ_NSF_CHILD=1", "VQ_NSF_DB=" + (data_ / "test.nsf"),
                                  "VQ_NSF_NOTE=" + std::to_string(id), "VQ_NSF_PEER=" + std::to_string(peer),
                                  "VQ_NSF_RESULT=" + (data_ / "result"), "VQ_NSF_MODE=" + mode});
    }
};

TEST_F(NsfConcurrencyTest, TwoWritersNeitherFailNorShowHalfANote)
{
    const NOTEID theirs = NewGenerationNote(), mine = NewGenerationNote();
    const pid_t child = Spawn("WriteGenerations", theirs, "", mine);
    int reads = 0, lastGen = 0, myGen = 0, status = 0;
    while (waitpid(child, &status, WNOHANG) != child) {
        STATUS s = NOERROR;
        const int gen = ReadGeneration(db_, theirs, &s);
        ASSERT_EQ(s, NOERROR) << "read " << reads;
        ASSERT_GE(gen, lastGen) << "half a note, or an older one, after read " << reads;
        lastGen = gen;
        ++reads;
        ASSERT_EQ(WriteGeneration(db_, mine, ++myGen), NOERROR);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(vqtest::ReadFile(data_ / "result"), "done");
    STATUS s = NOERROR;
    EXPECT_EQ(ReadGeneration(db_, theirs, &s), 40);
    EXPECT_EQ(ReadGeneration(db_, mine, &s), myGen);
    EXPECT_GE(myGen, 40) << "the child waits for a generation of mine before each of its own";
}

TEST_F(NsfConcurrencyTest, DeathAtTheCommitKeepsTheOldOrTheWholeNewNote)
{
    const NOTEID id = NewGenerationNote();
    ASSERT_EQ(WriteGeneration(db_, id, 1), NOERROR);
    struct Case {
        const char *mode;
        int exit, gen;
    } cases[] = {{"fail", 3, 1}, {"crash", PORT_CRASH_EXIT, 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(vqtest::WaitChild(Spawn("DieAtTheCommit", id, c.mode)), c.exit);
        DBHANDLE fresh = NULLHANDLE;
        ASSERT_EQ(NSFDbOpen((data_ / "test.nsf").c_str(), &fresh), NOERROR);
        STATUS s = NOERROR;
        EXPECT_EQ(ReadGeneration(fresh, id, &s), c.gen);
        EXPECT_EQ(s, NOERROR);
        NSFDbClose(fresh);
    }
}

// A message routed while another process holds a routing group waits for the group and goes through, whichever of
// the two gets to the router first: both take the router's lock before mail.box's.
TEST_F(NsfConcurrencyTest, RoutingBesideAnotherProcessesGroupWaitsItsTurn)
{
    vqtest::CreateMailFile("mail.box", "Mail Router Mailbox");
    vqtest::CreateNamesDb();
    vqtest::AddPerson("Jane Roe", "jroe", "jroe.nsf");
    vqtest::AddPerson("John Doe", "jdoe", "jdoe.nsf");
    const pid_t child = vqtest::SpawnSelf("NsfChild.RouteInAGroup",
                                          {"VQ_NSF_CHILD=1", "VQ_NSF_DATA=" + data_.path(),
                                           "VQ_NSF_RESULT=" + (data_ / "result")});
    for (int i = 0; i < 60000 && vqtest::ReadFile(data_ / "result") != "open"; ++i)
        PortSleepMs(1);
    vqtest::Memo m;
    m.from = "jdoe";
    m.sendTo = {"jroe"};
    EXPECT_EQ(vqtest::SendMemo(m), NOERROR);
    EXPECT_EQ(vqtest::WaitChild(child), 0);
    EXPECT_EQ(vqtest::DocumentIds("jroe.nsf").size(), 2u);
    EXPECT_TRUE(vqtest::DocumentIds("mail.box").empty());
}

// What a save commits, with or without waiting for the disk, another connection reads at once from the file itself: in
// a new log, and in one that starts again after a checkpoint.
TEST_F(NsfConcurrencyTest, EveryCommitIsInTheFileForAnotherConnection)
{
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open((data_ / "test.nsf").c_str(), &other), SQLITE_OK);
    sqlite3_stmt *q = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(other, "SELECT items FROM vq_notes WHERE id = ?", -1, &q, nullptr), SQLITE_OK);
    for (int i = 0; i < 24; ++i) {
        SCOPED_TRACE(i);
        if (i == 12) {
            ASSERT_EQ(sqlite3_wal_checkpoint_v2(other, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr), SQLITE_OK);
        }
        const std::string text = "commit-" + std::to_string(i) + std::string((size_t)i * 40, 'x');
        const NOTEID id = vqtest::SaveNote(db_, {{"Text", text}}, i % 2 != 0 ? UPDATE_NOCOMMIT : 0);
        ASSERT_NE(id, 0u);
        sqlite3_bind_int64(q, 1, id);
        ASSERT_EQ(sqlite3_step(q), SQLITE_ROW);
        const std::string record((const char *)sqlite3_column_blob(q, 0), (size_t)sqlite3_column_bytes(q, 0));
        EXPECT_NE(record.find(text), std::string::npos);
        sqlite3_reset(q);
    }
    sqlite3_finalize(q);
    sqlite3_close(other);
}

}  // namespace
