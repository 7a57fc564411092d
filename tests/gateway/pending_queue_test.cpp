/*
 * pending_queue_test.cpp - AddPending: the queue file's signature and
 * records, the mapping of a record to a "Job Entry", the exclusive open
 * and its retry, and the entries created once and then overwritten.
 *
 * Not covered: a failed NSFNoteClose (13111). The stand-in's close, like
 * the real one, always succeeds for a valid handle and has no fault point,
 * so the case cannot be brought about without faking the platform.
 */
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "activity.h"
#include "notes_fixture.h"
#include "test_support.h"

namespace {

const char kActDb[] = "TMB_ACT.NSF";

/* A record as the fax server writes it. */
struct Job {
    int id;
    int month, day, hour, minute;
    int stat;
    int attempts;
    std::string from;
    std::string tel;
};

void PutWord(std::string &raw, size_t at, int v)
{
    raw[at] = (char)(v & 0xFF);
    raw[at + 1] = (char)((v >> 8) & 0xFF);
}

/* 384 bytes, little-endian; the fields the gateway does not read are
 * filled with non-zero bytes so that a misplaced read shows. */
std::string Record(const Job &j)
{
    std::string raw(QENTRY_SIZE, 'Z');
    PutWord(raw, QENTRY_ID, j.id);
    PutWord(raw, QENTRY_AID, 0x5A5A);
    raw[QENTRY_TIME + BTIME_MINUTE] = (char)j.minute;
    raw[QENTRY_TIME + BTIME_HOUR] = (char)j.hour;
    raw[QENTRY_TIME + BTIME_DAY] = (char)j.day;
    raw[QENTRY_TIME + BTIME_MONTH] = (char)j.month;
    PutWord(raw, QENTRY_TIME + BTIME_YEAR, 2024);
    PutWord(raw, QENTRY_STAT, j.stat);
    PutWord(raw, QENTRY_PRIORITY, 0x7777);
    PutWord(raw, QENTRY_ATTEMPTS, j.attempts);
    raw.replace(QENTRY_FROM, j.from.size(), j.from);
    if (j.from.size() < QENTRY_FROM_SIZE)
        raw[QENTRY_FROM + j.from.size()] = '\0';
    raw.replace(QENTRY_TEL, j.tel.size(), j.tel);
    if (j.tel.size() < QENTRY_TEL_SIZE)
        raw[QENTRY_TEL + j.tel.size()] = '\0';
    return raw;
}

std::string Queue(const std::vector<Job> &jobs, const std::string &tail = "")
{
    std::string q = QSIG_TEXT;
    for (const Job &j : jobs)
        q += Record(j);
    return q + tail;
}

const std::vector<Job> kThreeJobs = {
    {7, 3, 5, 9, 7, 0x0003, 2, "Anna Berg", "555-0007"},
    {42, 12, 31, 23, 59, 0x0001, 0, "Bo Carlsson", "555-0042"},
    /* szTel holds 48 characters and szFrom 128 (here filling its field,
     * without terminator); an item holds 31. */
    {12345, 1, 1, 0, 0, 0x0000, 11, std::string(100, 'f') + std::string(29, 'g'),
     std::string(48, '5')},
};

int gHookCalls = 0;
int gHolderFd = -1;

class AddPendingTest : public vqtest::PlatformTest {
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
        gHookCalls = 0;
        gHolderFd = -1;
        AddPendingRetryHook = nullptr;
    }
    void TearDown() override
    {
        AddPendingRetryHook = nullptr;
        if (gHolderFd >= 0)
            PortClose(gHolderFd);
        gHolderFd = -1;
        E_quit = 0;
        PlatformTest::TearDown();
    }
    std::string QueuePath() const { return root_ + "/PUBLIC/SVCQ"; }

    static std::map<std::string, std::string> EntryItems(NOTEID id)
    {
        std::map<std::string, std::string> got;
        got["FORM"] = vqtest::ItemText(kActDb, id, "FORM");
        for (int i = 0; i < ACT_FIELD_COUNT; i++)
            got[Fields[i]] = vqtest::ItemText(kActDb, id, Fields[i]);
        return got;
    }
    /* Job number -> note IDs of its entries. */
    static std::map<std::string, std::vector<NOTEID>> EntriesByJob()
    {
        std::map<std::string, std::vector<NOTEID>> out;
        for (NOTEID id : vqtest::DocumentIds(kActDb))
            out[vqtest::ItemText(kActDb, id, "JobID")].push_back(id);
        return out;
    }

    vqtest::TempDir spool_;
    std::string root_;
};

TEST_F(AddPendingTest, SignatureOnlyYieldsNothing)
{
    vqtest::CreateActivityDb(kActDb);
    vqtest::WriteFile(QueuePath(), Queue({}));
    EXPECT_EQ(AddPending(), 0);
    EXPECT_TRUE(vqtest::DocumentIds(kActDb).empty());
    EXPECT_TRUE(vqtest::LogEntries().empty());
    EXPECT_EQ(E_quit, 0);
}

TEST_F(AddPendingTest, RecordsMapToEntries)
{
    vqtest::CreateActivityDb(kActDb);
    const std::string queue = Queue(kThreeJobs);
    vqtest::WriteFile(QueuePath(), queue);

    AddPending();

    std::map<std::string, std::vector<NOTEID>> got = EntriesByJob();
    ASSERT_EQ(got.size(), 3u);
    ASSERT_EQ(got["0007"].size(), 1u);
    const std::map<std::string, std::string> want7 = {
        {"FORM", "Job Entry"}, {"JobID", "0007"}, {"Date", "03/05"}, {"Time", "09:07"},
        {"Type", "TX"}, {"Attempts", "02"}, {"To", "555-0007"}, {"From", "Anna Berg"},
        {"Pages", " "}, {"Code", " "}, {"Explanation", "Active"}, {"Connection", " "},
        {"Speed", " "}};
    EXPECT_EQ(EntryItems(got["0007"][0]), want7);

    struct Want {
        std::string job, item, value;
    };
    const std::vector<Want> wants = {
        {"0042", "Date", "12/31"},   {"0042", "Time", "23:59"},
        {"0042", "Attempts", "00"},  {"0042", "Explanation", "Pending"},
        {"12345", "Date", "01/01"},  {"12345", "Time", "00:00"},
        {"12345", "Explanation", "Pending"},
        {"12345", "To", std::string(31, '5')}, {"12345", "From", std::string(31, 'f')},
    };
    for (const Want &w : wants) {
        ASSERT_EQ(got[w.job].size(), 1u) << w.job;
        EXPECT_EQ(vqtest::ItemText(kActDb, got[w.job][0], w.item), w.value) << w.job << " " << w.item;
    }
    EXPECT_TRUE(vqtest::LogEntries().empty());
    /* The gateway only reads the queue. */
    EXPECT_EQ(vqtest::ReadFile(QueuePath()), queue);
}

TEST_F(AddPendingTest, BytesAfterTheLastRecordAreReported)
{
    vqtest::CreateActivityDb(kActDb);
    vqtest::WriteFile(QueuePath(), Queue(kThreeJobs, std::string(100, 'x')));
    AddPending();
    EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), 3u);
    std::vector<vqtest::LogEntry> log = vqtest::LogEntries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].id, VQM_DS0);
    EXPECT_EQ(log[0].arg, "100 left over bytes in SVCQ");
}

TEST_F(AddPendingTest, WrongSignatureIsNotReadFurther)
{
    struct Case {
        std::string name;
        std::string head;
        std::string wantArg;
    };
    const std::vector<Case> cases = {
        {"other case", "tmb_fax_lanqueue3.00", "tmb_fax_lanqueue3.00"},
        {"other version", "TMB_FAX_LANQUEUE2.00", "TMB_FAX_LANQUEUE2.00"},
        {"zero byte inside", std::string("TMB_FAX_LANQUEUE3.0") + '\0', "TMB_FAX_LANQUEUE3.0"},
        {"file shorter than the signature", "TMB_FAX", "TMB_FAX"},
    };
    vqtest::CreateActivityDb(kActDb);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        const std::string file = c.head + (c.head.size() == QSIG_LEN ? Record(kThreeJobs[0]) : "");
        vqtest::WriteFile(QueuePath(), file);

        AddPending();

        EXPECT_TRUE(vqtest::DocumentIds(kActDb).empty());
        std::vector<vqtest::LogEntry> log = vqtest::LogEntries();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].id, VQM_BAD_SIGNATURE);
        EXPECT_EQ(log[0].arg, c.wantArg);
        EXPECT_EQ(log[0].status, NOERROR);
        EXPECT_EQ(vqtest::ReadFile(QueuePath()), file);
    }
    EXPECT_EQ(E_quit, 0);
}

/* The retry runs for 30 seconds of the (test) clock, which the seam moves
 * by 10 seconds per attempt. */
TEST_F(AddPendingTest, MissingQueueFileIsGivenUpAfterThirtySeconds)
{
    vqtest::CreateActivityDb(kActDb);
    vqtest::SetClock(1700000000);
    AddPendingRetryHook = [] {
        gHookCalls++;
        vqtest::AdvanceClock(1000);
    };

    AddPending();

    EXPECT_EQ(gHookCalls, 3);
    std::vector<vqtest::LogEntry> log = vqtest::LogEntries();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].id, VQM_QUEUE_NOT_OPENED);
    EXPECT_EQ(log[0].arg, QueuePath());
    EXPECT_EQ(log[0].status, NOERROR);
    EXPECT_EQ(log[1].id, VQM_DS0);
    EXPECT_EQ(log[1].arg, "Errno = 2 ");
    EXPECT_FALSE(vqtest::FileExists(QueuePath()));
    EXPECT_TRUE(vqtest::DocumentIds(kActDb).empty());
    EXPECT_EQ(E_quit, 0);
}

/* While the fax server holds its lock the open is retried; once released
 * the listing goes ahead. */
TEST_F(AddPendingTest, LockedQueueFileIsWaitedFor)
{
    vqtest::CreateActivityDb(kActDb);
    vqtest::WriteFile(QueuePath(), Queue(kThreeJobs));
    gHolderFd = PortSopenExclusive(QueuePath().c_str());
    ASSERT_GE(gHolderFd, 0);
    AddPendingRetryHook = [] {
        if (++gHookCalls == 3 && gHolderFd >= 0) {
            PortClose(gHolderFd);
            gHolderFd = -1;
        }
    };

    AddPending();

    EXPECT_EQ(gHookCalls, 3);
    EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), 3u);
    EXPECT_TRUE(vqtest::LogEntries().empty());
    /* And the gateway has let go of it again. */
    int fd = PortSopenExclusive(QueuePath().c_str());
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        PortClose(fd);
}

TEST_F(AddPendingTest, ListingTwiceOverwritesWithoutDuplicates)
{
    vqtest::CreateActivityDb(kActDb);
    vqtest::WriteFile(QueuePath(), Queue(kThreeJobs));
    AddPending();
    std::map<std::string, std::vector<NOTEID>> first = EntriesByJob();

    /* The job became active and was tried once more. */
    std::vector<Job> later = kThreeJobs;
    later[1].stat = 0x0002;
    later[1].attempts = 1;
    vqtest::WriteFile(QueuePath(), Queue(later));
    AddPending();

    std::map<std::string, std::vector<NOTEID>> second = EntriesByJob();
    EXPECT_EQ(second, first);
    ASSERT_EQ(second["0042"].size(), 1u);
    EXPECT_EQ(vqtest::ItemText(kActDb, second["0042"][0], "Explanation"), "Active");
    EXPECT_EQ(vqtest::ItemText(kActDb, second["0042"][0], "Attempts"), "01");
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

TEST_F(AddPendingTest, MissingDatabaseOrViewStopsTheTask)
{
    struct Case {
        std::string name;
        bool createDb;
        WORD wantId;
        std::string wantArg;
    };
    const std::vector<Case> cases = {
        {"database missing", false, VQM_DB_OPEN_ERROR, kActDb},
        {"view missing", true, VQM_VIEW_NOT_FOUND, "Pending by Job ID"},
    };
    const std::string queue = Queue(kThreeJobs);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::TempDir data;
        vqtest::WriteFile(data / "notes.ini", "");
        vqtest::SetDataDirectory(data.path());
        if (c.createDb) {
            ASSERT_EQ(NSFDbCreate(kActDb, DBCLASS_NOTEFILE, FALSE), NOERROR);
        }
        vqtest::WriteFile(QueuePath(), queue);
        vqtest::ClearLog();
        E_quit = 0;

        AddPending();

        EXPECT_EQ(E_quit, 1);
        std::vector<vqtest::LogEntry> log = vqtest::LogEntries();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].id, c.wantId);
        EXPECT_EQ(log[0].arg, c.wantArg);
        EXPECT_NE(log[0].status, NOERROR);
        EXPECT_EQ(vqtest::ReadFile(QueuePath()), queue);
        /* The queue file is free again for the fax server. */
        int fd = PortSopenExclusive(QueuePath().c_str());
        EXPECT_GE(fd, 0);
        if (fd >= 0)
            PortClose(fd);
    }
}

}  // namespace
