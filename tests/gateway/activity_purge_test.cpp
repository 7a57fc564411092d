/*
 * activity_purge_test.cpp - DelActivity and CheckTime: the seven-day age
 * limit measured from each document's last modification, for documents of
 * every form, and the entries the queue listing keeps rewriting. Also how
 * each of the three activity passes stops the task when the activity
 * database or its view is missing.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "activity.h"
#include "gateway_fixture.h"

namespace {

using vqtest::kActDb;

const int64_t kStart = 1700000000; /* a fixed "now" for the test clock */
const long kDay = 24L * 3600L;

class DelActivityTest : public vqtest::GatewayTest {
protected:
    void SetUp() override
    {
        GatewayTest::SetUp();
        vqtest::SetClock(kStart);
        vqtest::CreateActivityDb(kActDb);
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
};

TEST_F(DelActivityTest, AgeLimitIsStrict)
{
    EXPECT_EQ(DelActivity(), NOERROR); /* an empty database is quiet */
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

    /* One second later the limit entry goes too. */
    vqtest::AdvanceClock(100);
    DelActivity();
    EXPECT_EQ(vqtest::DocumentIds(kActDb), std::vector<NOTEID>{young});
    EXPECT_TRUE(vqtest::LogEntries().empty());
    EXPECT_EQ(E_quit, 0);
}

TEST_F(DelActivityTest, DocumentsOfEveryFormAreAged)
{
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
    std::string rec(QENTRY_SIZE, '\0');
    rec[QENTRY_ID] = 7;
    rec[QENTRY_TIME + BTIME_MONTH] = 3;
    rec[QENTRY_TIME + BTIME_DAY] = 5;
    vqtest::WriteFile(Spool("/PUBLIC/SVCQ"), QSIG_TEXT + rec);

    AddPending();
    NOTEID gone = JobEntry("0099");
    NOTEID waiting = vqtest::EntriesByJob()["0007"].at(0);

    vqtest::SetClock(kStart + 7 * kDay);
    AddPending(); /* yesterday's cycle, seen from day 8 */
    vqtest::SetClock(kStart + 8 * kDay);
    DelActivity();

    EXPECT_TRUE(Has(waiting));
    EXPECT_FALSE(Has(gone));
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

/* CheckTime on its own: a record that the formula did not select is left
 * alone, whatever its age; a note that is gone ends the search. */
TEST_F(DelActivityTest, CheckTimeSkipsNonMatchingRecords)
{
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
    EXPECT_NE(CheckTime(&db, &match, nullptr), NOERROR);
    NSFDbClose(db);
    EXPECT_EQ(vqtest::LogIds(), std::vector<WORD>{VQM_NOTE_OPEN_ERROR});
}

/* Each activity pass, without its database or view: one message, the
 * task told to stop, and its input file left as it was and free again. */
class ActivityPassTest : public vqtest::GatewayTest {};

TEST_F(ActivityPassTest, EachStopsWithoutItsDatabaseOrView)
{
    const std::string svcq = Spool("/PUBLIC/SVCQ");
    const std::string log = Spool("/UTIL/DATA/ACTIVITY.LOG");
    const std::string queue = std::string(QSIG_TEXT) + std::string(QENTRY_SIZE, '\0');
    const std::string line = "0001 03/05 09:07 TX 01 555-0001             Sales       001 0000 OK    0010 9\n";
    struct Case {
        std::string name;
        std::function<STATUS()> pass;
        bool createDb;
        std::string input, content; /* the pass's input file; empty: none */
        vqtest::Logged want;
    };
    const auto listing = [] { return (STATUS)AddPending(); };
    const std::vector<Case> cases = {
        {"import, database missing", ImportActivity, false, log, line,
         {VQM_DS0, "Error Opening Acticity DB", true}},
        {"import, view missing", ImportActivity, true, log, line,
         {VQM_VIEW_NOT_FOUND, "Pending by Job ID", true}},
        {"queue, database missing", listing, false, svcq, queue, {VQM_DB_OPEN_ERROR, kActDb, true}},
        {"queue, view missing", listing, true, svcq, queue,
         {VQM_VIEW_NOT_FOUND, "Pending by Job ID", true}},
        {"purge, database missing", DelActivity, false, "", "", {VQM_DB_OPEN_ERROR, kActDb, true}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::TempDir data;
        vqtest::EnterDataDirectory(data);
        if (c.createDb) {
            ASSERT_EQ(NSFDbCreate(kActDb, DBCLASS_NOTEFILE, FALSE), NOERROR);
        }
        if (!c.input.empty())
            vqtest::WriteFile(c.input, c.content);
        vqtest::ClearLog();
        E_quit = 0;

        EXPECT_NE(c.pass(), NOERROR);

        EXPECT_EQ(E_quit, 1);
        EXPECT_EQ(vqtest::LogSummary(), std::vector<vqtest::Logged>{c.want});
        EXPECT_FALSE(vqtest::FileExists(Spool("/UTIL/DATA/ACTIVITY.RD")));
        if (c.input.empty())
            continue;
        EXPECT_EQ(vqtest::ReadFile(c.input), c.content);
        int fd = PortSopenExclusive(c.input.c_str());
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            PortClose(fd);
    }
}

}  // namespace
