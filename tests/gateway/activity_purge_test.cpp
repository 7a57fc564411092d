/*
 * activity_purge_test.cpp - DelActivity: documents of any form older than
 * seven days since their last change go, so an entry the queue listing
 * keeps rewriting waits with its job. And how each activity pass stops
 * the task without its database or view.
 */
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "activity.h"
#include "gateway_fixture.h"

namespace {

using vqtest::kActDb;

const int64_t kStart = 1700000000;
const long kDay = 24L * 3600L;

class DelActivityTest : public vqtest::GatewayTest {
protected:
    void SetUp() override
    {
        GatewayTest::SetUp();
        vqtest::SetClock(kStart);
        vqtest::CreateActivityDb(kActDb);
    }
    static NOTEID Entry(const std::string &job) { return vqtest::AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", job}}); }
};

TEST_F(DelActivityTest, AgeLimitIsStrictAndCountsFromTheLastChange)
{
    Entry("0001"); /* 604,801 seconds: goes */
    vqtest::AddDocument(kActDb, {{"Subject", "no form at all"}});
    vqtest::AdvanceClock(100);
    NOTEID limit = Entry("0002"); /* exactly 604,800: stays */
    vqtest::SetClock(kStart + 3 * kDay);
    /* its texts claim an old job; only the note's own time counts */
    NOTEID young = vqtest::AddDocument(kActDb, {{"FORM", "Job Entry"}, {"Date", "01/01"}, {"Time", "00:00"}});
    vqtest::SetClock(kStart + 1 + ACT_MAX_AGE_SECONDS);

    EXPECT_EQ(DelActivity(), NOERROR);
    EXPECT_EQ(vqtest::DocumentIds(kActDb), (std::vector<NOTEID>{limit, young}));
    vqtest::AdvanceClock(100);
    DelActivity();
    EXPECT_EQ(vqtest::DocumentIds(kActDb), std::vector<NOTEID>{young});
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

/* A job waiting eight days keeps its entry; one that left the queue not. */
TEST_F(DelActivityTest, EntryRewrittenByTheQueueListingWaits)
{
    std::string rec(QENTRY_SIZE, '\0');
    rec[QENTRY_ID] = 7;
    vqtest::WriteFile(Spool(SPOOL_SVCQ), QSIG_TEXT + rec);
    AddPending();
    NOTEID gone = Entry("0099");
    vqtest::SetClock(kStart + 7 * kDay);
    AddPending();
    vqtest::SetClock(kStart + 8 * kDay);
    DelActivity();
    auto ids = vqtest::DocumentIds(kActDb);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_NE(ids[0], gone);
    EXPECT_EQ(vqtest::ItemText(kActDb, ids[0], "JobID"), "0007");
}

/* One message, the task told to stop, the input file unchanged and free. */
TEST_F(DelActivityTest, EachPassStopsWithoutItsDatabaseOrView)
{
    const std::string svcq = Spool(SPOOL_SVCQ), log = Spool(SPOOL_ACTIVITY_LOG);
    const std::string queue = std::string(QSIG_TEXT) + std::string(QENTRY_SIZE, '\0');
    const std::string line = "0001 03/05 09:07 TX 01 555\n";
    const auto listing = [] { return (STATUS)AddPending(); };
    struct Case {
        std::function<STATUS()> pass;
        bool createDb;
        std::string input, content;
        vqtest::Logged want;
    } cases[] = {
        {ImportActivity, false, log, line, {VQM_DS0, "Error Opening Acticity DB", true}},
        {ImportActivity, true, log, line, {VQM_VIEW_NOT_FOUND, "Pending by Job ID", true}},
        {listing, false, svcq, queue, {VQM_DB_OPEN_ERROR, kActDb, true}},
        {listing, true, svcq, queue, {VQM_VIEW_NOT_FOUND, "Pending by Job ID", true}},
        {DelActivity, false, "", "", {VQM_DB_OPEN_ERROR, kActDb, true}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want.arg + (c.input.empty() ? " purge" : " " + c.input));
        vqtest::TempDir data;
        vqtest::EnterDataDirectory(data);
        if (c.createDb)
            ASSERT_EQ(NSFDbCreate(kActDb, DBCLASS_NOTEFILE, FALSE), NOERROR);
        if (!c.input.empty())
            vqtest::WriteFile(c.input, c.content);
        vqtest::ClearLog();
        E_quit = 0;
        EXPECT_NE(c.pass(), NOERROR);
        EXPECT_EQ(E_quit, 1);
        EXPECT_EQ(vqtest::LogSummary(), std::vector<vqtest::Logged>{c.want});
        EXPECT_FALSE(vqtest::FileExists(Spool(SPOOL_ACTIVITY_RD)));
        if (c.input.empty())
            continue;
        EXPECT_EQ(vqtest::ReadFile(c.input), c.content);
        const int fd = PortSopenExclusive(c.input.c_str());
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            PortClose(fd);
    }
}

}  // namespace
