/*
 * activity_purge_test.cpp - DelActivity and CheckTime: the seven-day age
 * limit measured from each document's last modification, for documents of
 * every form, and the entries the queue listing keeps rewriting.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "activity.h"
#include "notes_fixture.h"
#include "test_support.h"

namespace {

const char kActDb[] = "TMB_ACT.NSF";
const int64_t kStart = 1700000000; /* a fixed "now" for the test clock */
const long kDay = 24L * 3600L;

class DelActivityTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        root_ = spool_ / "TMBFAX";
        vqtest::MakeDirs(root_ + "/UTIL/DATA");
        vqtest::MakeDirs(root_ + "/PUBLIC");
        VqCopy(GatewayPath, sizeof GatewayPath, root_.c_str());
        GatewayDrive[0] = '\0';
        VqCopy(ActLogNsf, sizeof ActLogNsf, kActDb);
        E_quit = 0;
        vqtest::SetClock(kStart);
    }
    void TearDown() override
    {
        E_quit = 0;
        PlatformTest::TearDown();
    }
    static bool Has(NOTEID id)
    {
        std::vector<NOTEID> ids = vqtest::DocumentIds(kActDb);
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    }
    static NOTEID JobEntry(const std::string &job)
    {
        return vqtest::AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", job}, {"Type", "TX"}});
    }

    vqtest::TempDir spool_;
    std::string root_;
};

TEST_F(DelActivityTest, AgeLimitIsStrict)
{
    vqtest::CreateActivityDb(kActDb);
    NOTEID older = JobEntry("0001");
    vqtest::AdvanceClock(100); /* one second later */
    NOTEID limit = JobEntry("0002");
    /* Saved three days later; its "Date" and "Time" are texts that claim
     * an old job, and are never judged. */
    vqtest::SetClock(kStart + 3 * kDay);
    NOTEID young = vqtest::AddDocument(
        kActDb, {{"FORM", "Job Entry"}, {"JobID", "0003"}, {"Date", "01/01"}, {"Time", "00:00"}});
    vqtest::SetClock(kStart + 1 + ACT_MAX_AGE_SECONDS);

    EXPECT_EQ(DelActivity(), NOERROR);

    EXPECT_FALSE(Has(older)); /* 604,801 seconds */
    EXPECT_TRUE(Has(limit));  /* exactly 604,800 seconds */
    EXPECT_TRUE(Has(young));
    EXPECT_TRUE(vqtest::LogEntries().empty());

    /* One second later the limit entry goes too. */
    vqtest::AdvanceClock(100);
    DelActivity();
    EXPECT_FALSE(Has(limit));
    EXPECT_EQ(vqtest::DocumentIds(kActDb), std::vector<NOTEID>{young});
}

TEST_F(DelActivityTest, DocumentsOfEveryFormAreAged)
{
    vqtest::CreateActivityDb(kActDb);
    NOTEID memo = vqtest::AddDocument(kActDb, {{"Form", "Memo"}, {"Subject", "old"}});
    NOTEID bare = vqtest::AddDocument(kActDb, {{"Subject", "no form at all"}});
    vqtest::SetClock(kStart + 8 * kDay);
    NOTEID fresh = vqtest::AddDocument(kActDb, {{"Form", "Memo"}, {"Subject", "new"}});

    DelActivity();

    EXPECT_FALSE(Has(memo));
    EXPECT_FALSE(Has(bare));
    EXPECT_TRUE(Has(fresh));
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

/* A job that waits eight days: its entry is rewritten by every listing and
 * so never ages; the entry of a job that left the queue does. */
TEST_F(DelActivityTest, EntryRewrittenByTheQueueListingStays)
{
    vqtest::CreateActivityDb(kActDb);
    std::string queue = QSIG_TEXT;
    std::string rec(QENTRY_SIZE, '\0');
    rec[QENTRY_ID] = 7;
    rec[QENTRY_TIME + BTIME_MONTH] = 3;
    rec[QENTRY_TIME + BTIME_DAY] = 5;
    queue += rec;
    vqtest::WriteFile(root_ + "/PUBLIC/SVCQ", queue);

    AddPending();
    NOTEID gone = JobEntry("0099");
    std::vector<NOTEID> ids = vqtest::DocumentIds(kActDb);
    ASSERT_EQ(ids.size(), 2u);
    NOTEID waiting = ids[0] == gone ? ids[1] : ids[0];

    vqtest::SetClock(kStart + 7 * kDay);
    AddPending(); /* yesterday's cycle, seen from day 8 */
    vqtest::SetClock(kStart + 8 * kDay);
    DelActivity();

    EXPECT_TRUE(Has(waiting));
    EXPECT_EQ(vqtest::ItemText(kActDb, waiting, "JobID"), "0007");
    EXPECT_FALSE(Has(gone));
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

TEST_F(DelActivityTest, EmptyDatabaseIsQuiet)
{
    vqtest::CreateActivityDb(kActDb);
    EXPECT_EQ(DelActivity(), NOERROR);
    EXPECT_TRUE(vqtest::LogEntries().empty());
    EXPECT_EQ(E_quit, 0);
}

TEST_F(DelActivityTest, MissingDatabaseStopsTheTask)
{
    EXPECT_NE(DelActivity(), NOERROR);
    EXPECT_EQ(E_quit, 1);
    std::vector<vqtest::LogEntry> log = vqtest::LogEntries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].id, VQM_DB_OPEN_ERROR);
    EXPECT_EQ(log[0].arg, kActDb);
    EXPECT_NE(log[0].status, NOERROR);
}

/* CheckTime on its own: a record that the formula did not select is left
 * alone, whatever its age. */
TEST_F(DelActivityTest, CheckTimeSkipsNonMatchingRecords)
{
    vqtest::CreateActivityDb(kActDb);
    NOTEID old = JobEntry("0001");
    vqtest::SetClock(kStart + 8 * kDay);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen(kActDb, &db), NOERROR);
    SEARCH_MATCH match = {};
    match.ID.NoteID = old;
    match.SERetFlags = SE_FNOMATCH;
    EXPECT_EQ(CheckTime(&db, &match, nullptr), NOERROR);
    EXPECT_TRUE(Has(old));
    match.SERetFlags = SE_FMATCH;
    EXPECT_EQ(CheckTime(&db, &match, nullptr), NOERROR);
    EXPECT_FALSE(Has(old));
    /* A note that is not there ends the search with its status. */
    EXPECT_NE(CheckTime(&db, &match, nullptr), NOERROR);
    NSFDbClose(db);
    std::vector<vqtest::LogEntry> log = vqtest::LogEntries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].id, VQM_NOTE_OPEN_ERROR);
}

}  // namespace
