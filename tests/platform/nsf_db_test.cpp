/*
 * nsf_db_test.cpp - databases: open never creates, refuses files that are
 * not databases, create/force, paths below the data directory, title and
 * path, modified times seen through a second connection, a failed
 * commit that leaves nothing behind, and a create interrupted at any step.
 */
#include <cerrno>
#include <cstring>
#include <string>

#include "test_support.h"
#include "vq_nsf.h"
#include "vq_port.h"
#include "vq_runtime.h"

namespace {

class NsfDbTest : public vqtest::PlatformTest {
protected:
    void TearDown() override
    {
        PortFaultArm(0, 0, 0);
        vqtest::PlatformTest::TearDown();
    }
    /* Saves a document with one text item; returns its ID. */
    static NOTEID SaveDoc(DBHANDLE db, const char *text) { return vqtest::SaveNote(db, {{"Subject", text}}); }
};

TEST_F(NsfDbTest, OpenOfMissingFileIsNoExistAndCreatesNothing)
{
    DBHANDLE db = 123;
    EXPECT_EQ(NSFDbOpen("missing.nsf", &db), ERR_NOEXIST);
    EXPECT_EQ(ERR_NOEXIST, 259);
    EXPECT_EQ(db, NULLHANDLE);
    EXPECT_FALSE(vqtest::FileExists(data_ / "missing.nsf"));
    EXPECT_EQ(NSFDbOpen((data_ / "nofolder/x.nsf").c_str(), &db), ERR_NOEXIST);
}

TEST_F(NsfDbTest, FilesThatAreNotDatabasesAreRefused)
{
    struct Case {
        const char *name;
        std::string content;
    };
    const Case cases[] = {
        {"empty.nsf", ""},
        {"text.nsf", "this is not a database\n"},
        {"header.nsf", std::string("SQLite format 3\0", 16) + std::string(200, 'x')},
    };
    for (const auto &c : cases) {
        vqtest::WriteFile(data_ / c.name, c.content);
        DBHANDLE db = NULLHANDLE;
        STATUS got = NSFDbOpen(c.name, &db);
        EXPECT_TRUE(got == ERR_NOT_NSF || got == ERR_DB_CORRUPT) << c.name << " gave " << got;
        EXPECT_EQ(db, NULLHANDLE) << c.name;
    }
    vqtest::MakeDirs(data_ / "folder.nsf");
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen("folder.nsf", &db), ERR_NOT_NSF);
}

TEST_F(NsfDbTest, CreateRefusesExistingUnlessForcedAndForceEmptiesIt)
{
    ASSERT_EQ(NSFDbCreate("a.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    EXPECT_EQ(NSFDbCreate("a.nsf", DBCLASS_NOTEFILE, FALSE), ERR_DB_EXISTS);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("a.nsf", &db), NOERROR);
    NOTEID id = SaveDoc(db, "old");
    ASSERT_EQ(NSFDbClose(db), NOERROR);

    ASSERT_EQ(NSFDbCreate("a.nsf", DBCLASS_NOTEFILE, TRUE), NOERROR);
    ASSERT_EQ(NSFDbOpen("a.nsf", &db), NOERROR);
    NOTEHANDLE n = NULLHANDLE;
    EXPECT_EQ(NSFNoteOpen(db, id, 0, &n), ERR_INVALID_NOTE);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    /* A file that is not a database is "there" as well. */
    vqtest::WriteFile(data_ / "junk.nsf", "junk");
    EXPECT_EQ(NSFDbCreate("junk.nsf", DBCLASS_NOTEFILE, FALSE), ERR_DB_EXISTS);
    EXPECT_EQ(vqtest::ReadFile(data_ / "junk.nsf"), "junk");
}

TEST_F(NsfDbTest, CreateInMissingFolderFails)
{
    EXPECT_EQ(NSFDbCreate("nofolder/a.nsf", DBCLASS_NOTEFILE, FALSE), ERR_DIRECTORY);
    EXPECT_FALSE(vqtest::FileExists(data_ / "nofolder"));
}

TEST_F(NsfDbTest, PathsAreRelativeToDataDirectoryAndNamesCompareWithoutCase)
{
    vqtest::MakeDirs(data_ / "mail");
    ASSERT_EQ(NSFDbCreate("mail/User.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    EXPECT_TRUE(vqtest::FileExists(data_ / "mail/User.nsf"));
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen("mail/User", &db), ERR_NOEXIST); /* no ".nsf" added */
    /* "NAMES.NSF" finds names.nsf: the file name, not its folder, is matched without case */
    ASSERT_EQ(NSFDbOpen("mail/USER.NSF", &db), NOERROR);
    char path[MAXPATH];
    ASSERT_EQ(VqDbGetPath(db, path, sizeof path), NOERROR);
    EXPECT_EQ(std::string(path), data_ / "mail/User.nsf");
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    EXPECT_EQ(NSFDbOpen("MAIL/User.nsf", &db), ERR_NOEXIST);
    /* two names that differ only by case: only the exact one opens */
    ASSERT_EQ(NSFDbCreate("mail/user.NSF", DBCLASS_NOTEFILE, FALSE), NOERROR);
    EXPECT_EQ(NSFDbOpen("mail/USER.nsf", &db), ERR_NOEXIST);
    ASSERT_EQ(NSFDbOpen((data_ / "mail/User.nsf").c_str(), &db), NOERROR);
    char small[8];
    EXPECT_EQ(VqDbGetPath(db, small, sizeof small), ERR_PATH_TOO_LONG);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    EXPECT_EQ(NSFDbOpen(("x" + std::string(MAXPATH, 'y')).c_str(), &db), ERR_PATH_TOO_LONG);
}

TEST_F(NsfDbTest, TitleIsKeptAndCutToTheBuffer)
{
    ASSERT_EQ(NSFDbCreate("t.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("t.nsf", &db), NOERROR);
    char title[64] = "x";
    EXPECT_EQ(VqDbGetTitle(db, title, sizeof title), NOERROR);
    EXPECT_STREQ(title, "");
    ASSERT_EQ(VqDbSetTitle(db, "Fax Activity"), NOERROR);
    NSFDbClose(db);
    ASSERT_EQ(NSFDbOpen("t.nsf", &db), NOERROR);
    EXPECT_EQ(VqDbGetTitle(db, title, sizeof title), NOERROR);
    EXPECT_STREQ(title, "Fax Activity");
    char small[4];
    EXPECT_EQ(VqDbGetTitle(db, small, sizeof small), NOERROR);
    EXPECT_STREQ(small, "Fax");
    NSFDbClose(db);
}

TEST_F(NsfDbTest, ModifiedTimeFollowsUpdatesAndDeletesThroughAnotherConnection)
{
    ASSERT_EQ(NSFDbCreate("m.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    DBHANDLE writer = NULLHANDLE, reader = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("m.nsf", &writer), NOERROR);
    ASSERT_EQ(NSFDbOpen("m.nsf", &reader), NOERROR);

    vqtest::SetClock(1700000000);
    NOTEID id = SaveDoc(writer, "one");
    TIMEDATE want, data, nondata;
    VqTimeDateFromUnix(1700000000, 0, &want);
    ASSERT_EQ(NSFDbModifiedTime(reader, &data, &nondata), NOERROR);
    EXPECT_EQ(TimeDateCompare(&data, &want), 0);

    /* A design note changes the non-data time only. */
    vqtest::SetClock(1700000100);
    NOTEID view = 0;
    ASSERT_EQ(VqCreateView(writer, "V", "@All", "Subject", &view), NOERROR);
    TIMEDATE data2, nondata2, viewTime;
    VqTimeDateFromUnix(1700000100, 0, &viewTime);
    ASSERT_EQ(NSFDbModifiedTime(reader, &data2, &nondata2), NOERROR);
    EXPECT_EQ(TimeDateCompare(&data2, &want), 0);
    EXPECT_EQ(TimeDateCompare(&nondata2, &viewTime), 0);

    vqtest::SetClock(1700000200);
    ASSERT_EQ(NSFNoteDelete(writer, id, UPDATE_NOSTUB), NOERROR);
    VqTimeDateFromUnix(1700000200, 0, &want);
    ASSERT_EQ(NSFDbModifiedTime(reader, &data, nullptr), NOERROR);
    EXPECT_EQ(TimeDateCompare(&data, &want), 0);
    NSFDbClose(reader);
    NSFDbClose(writer);
}

TEST_F(NsfDbTest, FailedCommitLeavesNoNoteAndReportsTheCause)
{
    ASSERT_EQ(NSFDbCreate("f.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("f.nsf", &db), NOERROR);
    struct Case {
        int err;
        STATUS want;
    };
    for (const Case &c : {Case{EIO, ERR_IO}, Case{ENOSPC, ERR_DISK_FULL}}) {
        NOTEHANDLE n = NULLHANDLE;
        ASSERT_EQ(NSFNoteCreate(db, &n), NOERROR);
        NSFItemSetText(n, "Subject", "lost", MAXWORD);
        PortFaultArm(2, 1, c.err);
        EXPECT_EQ(NSFNoteUpdate(n, 0), c.want);
        PortFaultArm(0, 0, 0);
        NOTEID id = 1;
        NSFNoteGetInfo(n, _NOTE_ID, &id);
        EXPECT_EQ(id, 0u) << "a failed save must not give the note an ID";
        NSFNoteClose(n);
    }
    int notes = 0;
    auto count = [](void *p, SEARCH_MATCH *, ITEM_TABLE *) -> STATUS {
        ++*static_cast<int *>(p);
        return NOERROR;
    };
    ASSERT_EQ(NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_ALL, nullptr, count, &notes, nullptr),
              NOERROR);
    EXPECT_EQ(notes, 0);
    /* The connection is usable after the rollback. */
    EXPECT_NE(SaveDoc(db, "kept"), 0u);
    NSFDbClose(db);
}

/* A create wrote its schema into a file made under the database's own
 * name: a crash before the commit left a file that no open accepted
 * (ERR_NOT_NSF) and no create replaced (ERR_DB_EXISTS), so a gateway that
 * was creating its mail file could never start again. After a failure or
 * a crash at any step the database either opens or can be created anew. */
TEST_F(NsfDbTest, CreateInterruptedAtAnyStepLeavesNoUnusableFile)
{
    PortFaultArm(0, 0, 0);
    ASSERT_EQ(NSFDbCreate("probe.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    const long steps = PortFaultCount();
    ASSERT_EQ(steps, 3) << "create, commit, rename";

    auto usable = [](const char *name) {
        DBHANDLE db = NULLHANDLE;
        STATUS s = NSFDbOpen(name, &db);
        if (s == ERR_NOEXIST)
            s = NSFDbCreate(name, DBCLASS_NOTEFILE, FALSE);
        else if (s == NOERROR)
            NSFDbClose(db);
        return s;
    };
    GTEST_FLAG_SET(death_test_style, "fast");
    for (long n = 1; n <= steps; ++n) {
        SCOPED_TRACE(n);
        const std::string name = "crash" + std::to_string(n) + ".nsf";
        EXPECT_EXIT(
            {
                PortFaultArm(1, n, 0);
                NSFDbCreate(name.c_str(), DBCLASS_NOTEFILE, FALSE);
                std::_Exit(0);
            },
            testing::ExitedWithCode(PORT_CRASH_EXIT), "");
        EXPECT_EQ(usable(name.c_str()), NOERROR);

        const std::string failed = "fail" + std::to_string(n) + ".nsf";
        PortFaultArm(2, n, ENOSPC);
        EXPECT_EQ(NSFDbCreate(failed.c_str(), DBCLASS_NOTEFILE, FALSE), ERR_DISK_FULL);
        PortFaultArm(0, 0, 0);
        EXPECT_FALSE(vqtest::FileExists(data_ / failed));
        EXPECT_EQ(usable(failed.c_str()), NOERROR);
    }
    /* Only the crashes' unfinished files stay behind, under names of
     * their own (besides the WAL companions of databases this process
     * still holds a connection to). */
    auto isCompanion = [&](const std::string &f) {
        const size_t n = f.size();
        return n > 4 && (f.compare(n - 4, 4, "-wal") == 0 || f.compare(n - 4, 4, "-shm") == 0) &&
               vqtest::FileExists(data_ / f.substr(0, n - 4));
    };
    for (const std::string &f : vqtest::ListDir(data_.path()))
        EXPECT_TRUE(f == "notes.ini" || f.compare(f.size() - 4, 4, ".nsf") == 0 ||
                    f.find(".nsf.new.") != std::string::npos || isCompanion(f))
            << f;
}

TEST_F(NsfDbTest, StaleHandlesAreRefusedAndReported)
{
    ASSERT_EQ(NSFDbCreate("s.nsf", DBCLASS_NOTEFILE, FALSE), NOERROR);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("s.nsf", &db), NOERROR);
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Database), 1u);
    ASSERT_EQ(NSFDbClose(db), NOERROR);
    EXPECT_EQ(NSFDbClose(db), ERR_INVALID_HANDLE);
    NOTEHANDLE n = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db, &n), ERR_INVALID_HANDLE);
    EXPECT_EQ(n, NULLHANDLE);
    ExpectMisuses(2);
}

}  // namespace
