/*
 * nsf_reuse_test.cpp - what the process keeps between calls must never be
 * stale: a database file replaced behind a closed handle (removed and
 * created again, forced over, overwritten in place) is read as the new
 * file; a reopened database sees what another connection or process
 * committed; the directory copy behind MailLookupAddress follows every
 * commit, also with a frozen clock and from another process; and view
 * reads in pages give the same entries as reading one at a time.
 *
 * The second process is this program again, run with a filter for one of
 * the ReuseChild tests, which do nothing unless VQ_REUSE_CHILD is set.
 */
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "notes_fixture.h"
#include "test_support.h"
#include "vq_mail.h"
#include "vq_nsf.h"
#include "vq_runtime.h"
#include "vq_testhooks.h"

extern char **environ;

namespace {

std::string Env(const char *name)
{
    const char *v = std::getenv(name);
    return v != nullptr ? v : "";
}

/* Runs ReuseChild.<test> in a process of its own; its exit code. */
int RunChild(const std::string &test, const std::string &dataDir, const std::string &arg)
{
    return vqtest::WaitChild(vqtest::SpawnSelf(
        "ReuseChild." + test, {"VQ_REUSE_CHILD=" + dataDir, "VQ_REUSE_ARG=" + arg}));
}

/* Note IDs of every document of the database. */
std::vector<NOTEID> Documents(const char *name)
{
    return vqtest::DocumentIds(name);
}

NOTEID SaveIn(const char *name, const std::string &marker)
{
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(name, &db), NOERROR);
    NOTEID id = vqtest::SaveNote(db, {{"Marker", marker}});
    NSFDbClose(db);
    return id;
}

std::string Lookup(const std::string &name, STATUS *s)
{
    char out[MAXRECIPIENTNAME + 1] = "";
    *s = MailLookupAddress(name.c_str(), out);
    return out;
}

class ReuseTest : public vqtest::PlatformTest {};

TEST_F(ReuseTest, AReplacedFileIsReadAsTheNewFile)
{
    struct Case {
        const char *how;
        std::function<void(const std::string &path)> replace;
        STATUS wantOpen;
    };
    const std::vector<Case> cases = {
        {"removed and created again",
         [](const std::string &path) {
             for (const char *suffix : {"", "-wal", "-shm"})
                 std::remove((path + suffix).c_str());
             ASSERT_EQ(NSFDbCreate("r.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
         },
         NOERROR},
        {"created again by force",
         [](const std::string &) {
             ASSERT_EQ(NSFDbCreate("r.nsf", DBCLASS_NOTEFILE, TRUE), NOERROR);
         },
         NOERROR},
        {"overwritten in place",
         [](const std::string &path) {
             FILE *f = std::fopen(path.c_str(), "r+b");
             ASSERT_NE(f, nullptr);
             const std::string junk(4096, 'x');
             std::fwrite(junk.data(), 1, junk.size(), f);
             std::fclose(f);
         },
         ERR_NOT_NSF},
        {"emptied by another connection through the WAL",
         [](const std::string &path) {
             sqlite3 *raw = nullptr;
             ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
             EXPECT_EQ(sqlite3_exec(raw, "DROP TABLE vq_meta", nullptr, nullptr, nullptr),
                       SQLITE_OK);
             sqlite3_close(raw);
         },
         ERR_NOT_NSF},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.how);
        std::remove((data_ / "r.nsf").c_str());
        ASSERT_EQ(NSFDbCreate("r.nsf", DBCLASS_NOTEFILE, TRUE), NOERROR);
        const NOTEID old = SaveIn("r.nsf", "old");
        ASSERT_NE(old, 0u);
        ASSERT_EQ(Documents("r.nsf"), std::vector<NOTEID>{old});

        c.replace(data_ / "r.nsf");

        DBHANDLE db = NULLHANDLE;
        ASSERT_EQ(NSFDbOpen("r.nsf", &db), c.wantOpen);
        if (c.wantOpen != NOERROR)
            continue;
        NOTEHANDLE n = NULLHANDLE;
        EXPECT_EQ(NSFNoteOpen(db, old, 0, &n), ERR_INVALID_NOTE);
        if (n != NULLHANDLE)
            NSFNoteClose(n);
        const NOTEID fresh = vqtest::SaveNote(db, {{"Marker", "new"}});
        NSFDbClose(db);
        EXPECT_EQ(Documents("r.nsf"), std::vector<NOTEID>{fresh});
        EXPECT_EQ(vqtest::ItemText("r.nsf", fresh, "Marker"), "new");
    }
}

TEST_F(ReuseTest, AReopenedDatabaseSeesOtherWritersCommits)
{
    ASSERT_EQ(NSFDbCreate("w.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    const NOTEID first = SaveIn("w.nsf", "first");
    /* Two handles at once, each written through the other read. */
    DBHANDLE a = NULLHANDLE, b = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("w.nsf", &a), NOERROR);
    ASSERT_EQ(NSFDbOpen("w.nsf", &b), NOERROR);
    const NOTEID viaB = vqtest::SaveNote(b, {{"Marker", "b"}});
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(a, viaB, 0, &n), NOERROR);
    NSFNoteClose(n);
    NSFDbClose(b);
    NSFDbClose(a);
    /* Another process writes while this one holds nothing open. */
    ASSERT_EQ(RunChild("SaveNote", data_.path(), "w.nsf"), 0);
    const std::vector<NOTEID> ids = Documents("w.nsf");
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(ids[0], first);
    EXPECT_EQ(ids[1], viaB);
    EXPECT_EQ(vqtest::ItemText("w.nsf", ids[2], "Marker"), "child");
}

TEST_F(ReuseTest, DirectoryLookupFollowsEveryCommitWithAFrozenClock)
{
    vqtest::CreateNamesDb();
    vqtest::SetClock(1700000000);
    const std::string ann = vqtest::AddPerson("Ann Lee", "alee", "");
    STATUS s = NOERROR;
    EXPECT_EQ(Lookup("alee", &s), ann);
    EXPECT_EQ(s, NOERROR);

    /* Each step changes the directory within the same clock tick. */
    const NOTEID twin = vqtest::AddDocument(
        "names.nsf", {{"Type", "Person"}, {"FullName", "CN=Al Lee/O=Acme"}, {"ShortName", "alee"}});
    Lookup("alee", &s);
    EXPECT_EQ(s, ERR_ROUTER_NOTUNIQUE);

    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("names.nsf", &db), NOERROR);
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db, twin, 0, &n), NOERROR);
    ASSERT_EQ(NSFItemSetText(n, "ShortName", "allee", MAXWORD), NOERROR);
    ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
    NSFNoteClose(n);
    NSFDbClose(db);
    EXPECT_EQ(Lookup("alee", &s), ann);
    EXPECT_EQ(Lookup("allee", &s), "CN=Al Lee/O=Acme");

    ASSERT_EQ(NSFDbOpen("names.nsf", &db), NOERROR);
    ASSERT_EQ(NSFNoteDelete(db, twin, 0), NOERROR);
    NSFDbClose(db);
    Lookup("allee", &s);
    EXPECT_EQ(s, ERR_ROUTER_NOSUCHUSER);

    /* Another process adds a person: found at the next lookup. */
    ASSERT_EQ(RunChild("AddPerson", data_.path(), "Cy Dee"), 0);
    EXPECT_EQ(Lookup("Cy Dee", &s), "CN=Cy Dee/O=Acme");
    EXPECT_EQ(s, NOERROR);
    vqtest::UseRealClock();
}

TEST_F(ReuseTest, ANewDirectoryWithTheSameHistoryIsReadAfresh)
{
    /* Two directories made by the same steps: equal commit counts. */
    vqtest::CreateNamesDb();
    vqtest::AddPerson("Ann Lee", "alee", "");
    STATUS s = NOERROR;
    Lookup("alee", &s);
    ASSERT_EQ(s, NOERROR);
    for (const char *suffix : {"", "-wal", "-shm"})
        std::remove((data_ / (std::string("names.nsf") + suffix)).c_str());
    vqtest::CreateNamesDb();
    vqtest::AddPerson("Bo Lee", "blee", "");
    Lookup("alee", &s);
    EXPECT_EQ(s, ERR_ROUTER_NOSUCHUSER);
    EXPECT_EQ(Lookup("blee", &s), "CN=Bo Lee/O=Acme");
}

/* ---- view reads in pages ---- */

class PagedReadTest : public vqtest::DbTest {
protected:
    void SetUp() override
    {
        vqtest::DbTest::SetUp();
        ASSERT_EQ(VqCreateView(db_, "Jobs", "SELECT Form = \"Job Entry\"", "JobID", &view_),
                  NOERROR);
    }
    void TearDown() override
    {
        if (coll_ != 0)
            NIFCloseCollection(coll_);
        vqtest::DbTest::TearDown();
    }
    void Open()
    {
        ASSERT_EQ(NIFOpenCollection(db_, db_, view_, 0, NULLHANDLE, &coll_, nullptr, nullptr,
                                    nullptr, nullptr),
                  NOERROR);
    }
    /* One read; appends the IDs; returns the signal flags. */
    WORD ReadOnce(COLLECTIONPOSITION *pos, WORD skipNav, DWORD skip, DWORD count,
                  std::vector<NOTEID> *out)
    {
        DHANDLE buf = NULLHANDLE;
        WORD len = 0, flags = 0;
        DWORD skipped = 0, returned = 0;
        EXPECT_EQ(NIFReadEntries(coll_, pos, skipNav, skip, NAVIGATE_NEXT, count,
                                 READ_MASK_NOTEID, &buf, &len, &skipped, &returned, &flags),
                  NOERROR);
        if (buf != NULLHANDLE) {
            EXPECT_EQ(len, returned * sizeof(NOTEID));
            const NOTEID *p = static_cast<const NOTEID *>(OSLockObject(buf));
            out->insert(out->end(), p, p + returned);
            OSUnlockObject(buf);
            OSMemFree(buf);
        } else {
            EXPECT_EQ(returned, 0u);
        }
        return flags;
    }
    /* Everything from pos as a caller that follows SIGNAL_MORE_TO_DO. */
    std::vector<NOTEID> ReadPaged(COLLECTIONPOSITION pos, WORD skipNav, DWORD skip)
    {
        std::vector<NOTEID> ids;
        WORD flags = ReadOnce(&pos, skipNav, skip, 0xFFFFFFFFu, &ids);
        for (int guard = 0; (flags & SIGNAL_MORE_TO_DO) && guard < 1000; ++guard)
            flags = ReadOnce(&pos, NAVIGATE_NEXT, 1, 0xFFFFFFFFu, &ids);
        return ids;
    }
    /* Everything from pos, one entry per read. */
    std::vector<NOTEID> ReadSingly(COLLECTIONPOSITION pos, WORD skipNav, DWORD skip)
    {
        std::vector<NOTEID> ids;
        ReadOnce(&pos, skipNav, skip, 1, &ids);
        for (size_t before = 0; ids.size() > before && ids.size() < 10000;) {
            before = ids.size();
            ReadOnce(&pos, NAVIGATE_NEXT, 1, 1, &ids);
        }
        return ids;
    }
    NOTEID view_ = 0;
    HCOLLECTION coll_ = 0;
};

TEST_F(PagedReadTest, PagesGiveTheSameEntriesAsSingleReads)
{
    /* 70 entries over 7 keys, with unselected documents in between and
     * documents without the key, so pages end inside keys and next to
     * documents the selection skips. */
    std::vector<NOTEID> keyed05;
    for (int i = 0; i < 70; ++i) {
        char key[8];
        std::snprintf(key, sizeof key, "%02d", (i * 3) % 7);
        const NOTEID id =
            vqtest::SaveNote(db_, {{"Form", "Job Entry"}, {"JobID", key}}, UPDATE_NOCOMMIT);
        if (std::strcmp(key, "05") == 0)
            keyed05.push_back(id);
        if (i % 4 == 0)
            vqtest::SaveNote(db_, {{"Form", "Memo"}, {"JobID", key}}, UPDATE_NOCOMMIT);
        if (i % 9 == 0)
            vqtest::SaveNote(db_, {{"Form", "Job Entry"}}, UPDATE_NOCOMMIT);
    }
    Open();
    COLLECTIONPOSITION found;
    DWORD matches = 0;
    ASSERT_EQ(NIFFindByName(coll_, "05", FIND_CASE_INSENSITIVE, &found, &matches), NOERROR);
    EXPECT_EQ(matches, keyed05.size());
    COLLECTIONPOSITION before;
    std::memset(&before, 0, sizeof before);
    COLLECTIONPOSITION ordinal = before;
    ordinal.Tumbler[0] = 20;
    struct Case {
        const char *from;
        COLLECTIONPOSITION pos;
        WORD skipNav;
        DWORD skip;
        size_t wantCount;
    };
    const std::vector<Case> cases = {
        {"before the first", before, NAVIGATE_NEXT, 1, 70 + 8},
        {"found key", found, NAVIGATE_CURRENT, 0, keyed05.size() + 10},
        {"found key, skip 3", found, NAVIGATE_NEXT, 3, keyed05.size() + 7},
        {"20th entry", ordinal, NAVIGATE_CURRENT, 0, 70 + 8 - 19},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.from);
        const std::vector<NOTEID> paged = ReadPaged(c.pos, c.skipNav, c.skip);
        EXPECT_EQ(paged, ReadSingly(c.pos, c.skipNav, c.skip));
        EXPECT_EQ(paged.size(), c.wantCount);
    }
    /* The gateway's use: the first ID of a read from the found key. */
    std::vector<NOTEID> first;
    COLLECTIONPOSITION pos = found;
    ReadOnce(&pos, NAVIGATE_CURRENT, 0, 0xFFFFFFFFu, &first);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first[0], keyed05[0]);
}

/* ---- child processes ---- */

void EnterChildDataDirectory()
{
    vqtest::SetDataDirectory(Env("VQ_REUSE_CHILD"));
}

TEST(ReuseChild, SaveNote)
{
    if (Env("VQ_REUSE_CHILD").empty())
        GTEST_SKIP() << "runs as a child process only";
    EnterChildDataDirectory();
    EXPECT_NE(SaveIn(Env("VQ_REUSE_ARG").c_str(), "child"), 0u);
}

TEST(ReuseChild, AddPerson)
{
    if (Env("VQ_REUSE_CHILD").empty())
        GTEST_SKIP() << "runs as a child process only";
    EnterChildDataDirectory();
    vqtest::AddPerson(Env("VQ_REUSE_ARG"), "", "");
}

}  // namespace
