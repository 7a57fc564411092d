// activity_test.cpp - ImportActivity, AddPending and DelActivity over the activity database.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "activity.h"
#include "gateway_fixture.h"

namespace {

using namespace vqtest;
using Log = std::vector<Logged>;

const int64_t kStart = 1700000000;
const long kDay = 24L * 3600L;

class ActivityTest : public GatewayTest {
protected:
    void SetUp() override { GatewayTest::SetUp(), SetClock(kStart), CreateActivityDb(kActDb); }
    void TearDown() override { AddPendingRetryHook = nullptr, GatewayTest::TearDown(); }
    std::string LogPath() const { return Spool(SPOOL_ACTIVITY_LOG); }
    std::string ReadPath() const { return Spool(SPOOL_ACTIVITY_RD); }
    std::string QueuePath() const { return Spool(SPOOL_SVCQ); }
    static void Fresh(TempDir &d) { EnterDataDirectory(d), CreateActivityDb(kActDb); }
    static NOTEID Entry(const std::string &job) { return AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", job}}); }
};

// Nobody holds the file: an exclusive open succeeds.
bool Free(const std::string &path)
{
    const int fd = PortSopenExclusive(path.c_str());
    return fd >= 0 && PortClose(fd) == 0;
}

struct Job { int id, month, day, hour, minute, stat, attempts; std::string from, tel; };

void PutWord(std::string &raw, size_t at, int v) { raw[at] = (char)(v & 0xFF), raw[at + 1] = (char)((v >> 8) & 0xFF); }

// A record as the fax server writes it; unread fields hold 'Z' so a misplaced read shows.
std::string Record(const Job &j)
{
    std::string raw(QENTRY_SIZE, 'Z');
    PutWord(raw, QENTRY_ID, j.id);
    raw[QENTRY_TIME] = (char)j.minute, raw[QENTRY_TIME + 1] = (char)j.hour;
    raw[QENTRY_TIME + 2] = (char)j.day, raw[QENTRY_TIME + 3] = (char)j.month;
    PutWord(raw, QENTRY_STAT, j.stat), PutWord(raw, QENTRY_ATTEMPTS, j.attempts);
    const size_t from = std::min<size_t>(j.from.size() + 1, QENTRY_FROM_SIZE);
    raw.replace(QENTRY_FROM, from, j.from.c_str(), from);
    raw.replace(QENTRY_TEL, j.tel.size() + 1, j.tel.c_str(), j.tel.size() + 1);
    return raw;
}

std::string Queue(const std::vector<Job> &jobs, const std::string &tail = "")
{
    std::string q = QSIG_TEXT;
    for (const Job &j : jobs)
        q += Record(j);
    return q + tail;
}

const std::vector<Job> kJobs = {
    {7, 3, 5, 9, 7, 0x0003, 2, "Anna Berg", "555-0007"},
    // szFrom filling its 129 bytes without terminator; items hold 31
    {12345, 12, 31, 23, 59, 0x0001, 11, std::string(129, 'f'), std::string(48, '5')},
};

// What each file yields and logs; the gateway never changes the file.
TEST_F(ActivityTest, QueueFileShapes)
{
    const std::string rec = Record(kJobs[0]), other = Record({99, 1, 1, 1, 1, 0, 0, "x", "y"});
    struct Case { std::string name, file; size_t wantEntries; Log wantLog; } cases[] = {
        {"signature only", Queue({}), 0, {}},
        {"100 bytes left over", Queue(kJobs, std::string(100, 'x')), 2, {{VQM_DS0, "100 left over bytes in SVCQ", false}}},
        // a record one byte short is never decoded
        {"383 bytes left over", Queue(kJobs, other.substr(0, QENTRY_SIZE - 1)), 2,
         {{VQM_DS0, "383 left over bytes in SVCQ", false}}},
        {"other case", "tmb_fax_lanqueue3.00" + rec, 0, {{VQM_BAD_SIGNATURE, "tmb_fax_lanqueue3.00", false}}},
        {"zero byte inside", std::string("TMB_FAX_LANQUEUE3.0\0", 20) + rec, 0,
         {{VQM_BAD_SIGNATURE, "TMB_FAX_LANQUEUE3.0", false}}},
        {"shorter than the signature", "TMB_FAX", 0, {{VQM_BAD_SIGNATURE, "TMB_FAX", false}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempDir data;
        Fresh(data);
        WriteFile(QueuePath(), c.file);
        ClearLog();
        EXPECT_EQ(AddPending(), 0);
        EXPECT_EQ(DocumentIds(kActDb).size(), c.wantEntries);
        EXPECT_EQ(EntriesByJob().count("0099"), 0u);
        EXPECT_EQ(LogSummary(), c.wantLog);
        EXPECT_EQ(ReadFile(QueuePath()), c.file);
        EXPECT_EQ(E_quit, 0);
    }
}

// Every item of a record; listed again, the entry is overwritten in place.
TEST_F(ActivityTest, RecordsMapToEntriesOverwrittenInPlace)
{
    WriteFile(QueuePath(), Queue(kJobs));
    AddPending();
    auto first = EntriesByJob();
    std::vector<Job> later = kJobs;
    later[0].stat = 0x0001, later[1].stat = 0x0002, later[1].attempts = 1;
    WriteFile(QueuePath(), Queue(later));
    AddPending();

    auto got = EntriesByJob();
    ASSERT_EQ(got, first);
    ASSERT_EQ(got["0007"].size(), 1u);
    ASSERT_EQ(got["12345"].size(), 1u);
    EXPECT_EQ(JobEntryOf(got["0007"][0]), JobEntry({"0007", "03/05", "09:07", "TX", "02", "555-0007",
                                                                    "Anna Berg", " ", " ", "Pending", " ", " "}));
    EXPECT_EQ(JobEntryOf(got["12345"][0]),
              JobEntry({"12345", "12/31", "23:59", "TX", "01", std::string(31, '5'), std::string(31, 'f'),
                                " ", " ", "Active", " ", " "}));
    EXPECT_TRUE(LogEntries().empty());
}

int gHookCalls = 0, gHolder = -1;

// Missing: given up after 30 s (10 s per attempt here); locked: waited for, listed, let go.
TEST_F(ActivityTest, OpenIsRetriedForThirtySeconds)
{
    gHookCalls = 0;
    AddPendingRetryHook = [] { gHookCalls++, AdvanceClock(1000); };
    AddPending();
    EXPECT_EQ(gHookCalls, 3);
    EXPECT_EQ(LogSummary(), (Log{{VQM_QUEUE_NOT_OPENED, QueuePath(), false}, {VQM_DS0, "Errno = 2 ", false}}));

    ClearLog();
    WriteFile(QueuePath(), Queue(kJobs));
    gHolder = PortSopenExclusive(QueuePath().c_str());
    ASSERT_GE(gHolder, 0);
    gHookCalls = 0;
    AddPendingRetryHook = [] { if (++gHookCalls == 3) PortClose(gHolder); };
    AddPending();
    EXPECT_EQ(gHookCalls, 3);
    EXPECT_EQ(DocumentIds(kActDb).size(), 2u);
    EXPECT_TRUE(LogEntries().empty());
    EXPECT_TRUE(Free(QueuePath()));
}

// One line each; an empty want: no entry. Both files are gone after.
TEST_F(ActivityTest, LinesSplitIntoColumns)
{
    struct Case { const char *line; std::vector<std::string> want; } cases[] = { // line nullptr: no log file
        {nullptr, {}},
        // inner and trailing blanks kept
        {"0001 03/05 09:07 TX 02 555-1234 ext 9       Sales Dept  003 0000 OK    0120 9\n",
         {"0001", "03/05", "09:07", "TX", "02", "555-1234 ext 9      ", "Sales Dept ", "003", "0000", " OK   ", "0120", "9"}},
        {"0002 03/05 09:08 TX 01 12345678901234567890 ACME Corp.x 001 0003 BUSY  0000 4\n",
         {"0002", "03/05", "09:08", "TX", "01", "12345678901234567890", "ACME Corp.x", "001", "0003", " BUSY ", "0000", "4"}},
        {"0003 03/05 09:09 TX\n", {"0003", "03/05", "09:09", "TX", "", "", "", "", "", "", "", ""}},
        {"0004 03/05 09:10 TX 01 555\r\n", {"0004", "03/05", "09:10", "TX", "01", "555", "", "", "", "", "", ""}},
        {"0005 03/05 09:11 RX 01 555-1234             Sales Dept  003 0000 OK    0120 9\n", {}},
        {"0006 03/05 09:12 tx 01 555\n", {}}, {"0007 03/05\n", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line ? c.line : "no log file");
        TempDir data;
        Fresh(data);
        if (c.line)
            WriteFile(LogPath(), c.line);
        EXPECT_EQ(ImportActivity(), NOERROR);
        std::vector<NOTEID> ids = DocumentIds(kActDb);
        ASSERT_EQ(ids.size(), c.want.empty() ? 0u : 1u);
        if (!c.want.empty()) { EXPECT_EQ(JobEntryOf(ids[0]), JobEntry(c.want)); }
        EXPECT_TRUE(LogEntries().empty());
        EXPECT_FALSE(FileExists(LogPath()));
        EXPECT_FALSE(FileExists(ReadPath()));
    }
}

// "TX*" overwrites the job's entry (any case); other lines create one; a cut last line keeps no old "*".
TEST_F(ActivityTest, FinalLinesOverwriteTheEntryOthersCreate)
{
    NOTEID pending = AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", "a123"}, {"Type", "TX"}});
    NOTEID waiting = AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", "0042"}, {"Explanation", "Pending"}});
    WriteFile(LogPath(), "A123 03/05 09:07 TX*02 555-1234             Sales Dept  003 0000 OK    0120 9\n"
              "0042 03/05 09:07 TX 01 555                  Sales       001 0003 BUSY  0000 4\n"
              "0042 03/05 09:09 TX*01 555                  Sales       001 0000 OK    0010 9\n"
              "0042 03/05 09:10 TX");
    ImportActivity();

    auto jobs = EntriesByJob();
    EXPECT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs["A123"], std::vector<NOTEID>{pending});
    EXPECT_EQ(JobEntryOf(pending), JobEntry({"A123", "03/05", "09:07", "TX", "02", "555-1234            ",
                                             "Sales Dept ", "003", "0000", " OK   ", "0120", "9"}));
    ASSERT_EQ(jobs["0042"].size(), 3u);
    EXPECT_EQ(jobs["0042"][0], waiting);
    EXPECT_EQ(ItemText(kActDb, waiting, "Time"), "09:09");
    EXPECT_EQ(ItemText(kActDb, jobs["0042"][1], "Explanation"), " BUSY ");
    EXPECT_EQ(ItemText(kActDb, jobs["0042"][2], "Time"), "09:10");
    EXPECT_TRUE(LogEntries().empty());
}

TEST_F(ActivityTest, AgeLimitIsStrictAndCountsFromTheLastChange)
{
    Entry("0001"); /* 604,801 seconds: goes */
    AddDocument(kActDb, {{"Subject", "no form at all"}});
    AdvanceClock(100);
    NOTEID limit = Entry("0002"); /* exactly 604,800: stays */
    SetClock(kStart + 3 * kDay);
    /* its texts claim an old job; only the note's own time counts */
    NOTEID young = AddDocument(kActDb, {{"FORM", "Job Entry"}, {"Date", "01/01"}, {"Time", "00:00"}});
    SetClock(kStart + 1 + ACT_MAX_AGE_SECONDS);

    EXPECT_EQ(DelActivity(), NOERROR);
    EXPECT_EQ(DocumentIds(kActDb), (std::vector<NOTEID>{limit, young}));
    AdvanceClock(100);
    DelActivity();
    EXPECT_EQ(DocumentIds(kActDb), std::vector<NOTEID>{young});
    EXPECT_TRUE(LogEntries().empty());
}

// A job waiting eight days keeps its entry; one that left the queue not.
TEST_F(ActivityTest, EntryRewrittenByTheQueueListingWaits)
{
    std::string rec(QENTRY_SIZE, '\0');
    rec[QENTRY_ID] = 7;
    WriteFile(Spool(SPOOL_SVCQ), QSIG_TEXT + rec);
    AddPending();
    NOTEID gone = Entry("0099");
    SetClock(kStart + 7 * kDay);
    AddPending();
    SetClock(kStart + 8 * kDay);
    DelActivity();
    auto ids = DocumentIds(kActDb);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_NE(ids[0], gone);
    EXPECT_EQ(ItemText(kActDb, ids[0], "JobID"), "0007");
}

// One message, the task told to stop, the input file unchanged and free.
TEST_F(ActivityTest, EachPassStopsWithoutItsDatabaseOrView)
{
    const std::string svcq = Spool(SPOOL_SVCQ), log = Spool(SPOOL_ACTIVITY_LOG);
    const std::string queue = std::string(QSIG_TEXT) + std::string(QENTRY_SIZE, '\0');
    const std::string line = "0001 03/05 09:07 TX 01 555\n";
    const auto listing = [] { return (STATUS)AddPending(); };
    struct Case { std::function<STATUS()> pass; bool createDb; std::string input, content; Logged want; } cases[] = {
        {ImportActivity, false, log, line, {VQM_DS0, "Error Opening Acticity DB", true}},
        {ImportActivity, true, log, line, {VQM_VIEW_NOT_FOUND, "Pending by Job ID", true}},
        {listing, false, svcq, queue, {VQM_DB_OPEN_ERROR, kActDb, true}},
        {listing, true, svcq, queue, {VQM_VIEW_NOT_FOUND, "Pending by Job ID", true}},
        {DelActivity, false, "", "", {VQM_DB_OPEN_ERROR, kActDb, true}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want.arg + (c.input.empty() ? " purge" : " " + c.input));
        TempDir data;
        EnterDataDirectory(data);
        if (c.createDb) { ASSERT_EQ(NSFDbCreate(kActDb, DBCLASS_NOTEFILE, FALSE), NOERROR); }
        if (!c.input.empty())
            WriteFile(c.input, c.content);
        ClearLog();
        E_quit = 0;
        EXPECT_NE(c.pass(), NOERROR);
        EXPECT_EQ(E_quit, 1);
        EXPECT_EQ(LogSummary(), std::vector<Logged>{c.want});
        EXPECT_FALSE(FileExists(Spool(SPOOL_ACTIVITY_RD)));
        if (c.input.empty())
            continue;
        EXPECT_EQ(ReadFile(c.input), c.content);
        EXPECT_TRUE(Free(c.input));
    }
}

}  // namespace
