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

#include <string>
#include <vector>

#include "activity.h"
#include "gateway_fixture.h"

namespace {

using vqtest::kActDb;

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

class AddPendingTest : public vqtest::GatewayTest {
protected:
    void SetUp() override
    {
        GatewayTest::SetUp();
        vqtest::CreateActivityDb(kActDb);
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
        GatewayTest::TearDown();
    }
    std::string QueuePath() const { return Spool("/PUBLIC/SVCQ"); }
};

/* Files that yield no entry or end early: what is listed and logged; the
 * gateway never changes the file. */
TEST_F(AddPendingTest, QueueFileShapes)
{
    struct Case {
        std::string name;
        std::string file;
        size_t wantEntries;
        std::vector<vqtest::Logged> wantLog;
    };
    const std::string bad = Record(kThreeJobs[0]);
    const std::vector<Case> cases = {
        {"signature only", Queue({}), 0, {}},
        {"three records and 100 bytes", Queue(kThreeJobs, std::string(100, 'x')), 3,
         {{VQM_DS0, "100 left over bytes in SVCQ", false}}},
        /* A wrong signature: the message shows the 20 characters read. */
        {"other case", "tmb_fax_lanqueue3.00" + bad, 0,
         {{VQM_BAD_SIGNATURE, "tmb_fax_lanqueue3.00", false}}},
        {"other version", "TMB_FAX_LANQUEUE2.00" + bad, 0,
         {{VQM_BAD_SIGNATURE, "TMB_FAX_LANQUEUE2.00", false}}},
        {"zero byte inside", std::string("TMB_FAX_LANQUEUE3.0") + '\0' + bad, 0,
         {{VQM_BAD_SIGNATURE, "TMB_FAX_LANQUEUE3.0", false}}},
        {"file shorter than the signature", "TMB_FAX", 0, {{VQM_BAD_SIGNATURE, "TMB_FAX", false}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::TempDir data;
        vqtest::EnterDataDirectory(data);
        vqtest::CreateActivityDb(kActDb);
        vqtest::WriteFile(QueuePath(), c.file);
        vqtest::ClearLog();

        EXPECT_EQ(AddPending(), 0);

        EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), c.wantEntries);
        EXPECT_EQ(vqtest::LogSummary(), c.wantLog);
        EXPECT_EQ(vqtest::ReadFile(QueuePath()), c.file);
        EXPECT_EQ(E_quit, 0);
    }
}

TEST_F(AddPendingTest, RecordsMapToEntries)
{
    vqtest::WriteFile(QueuePath(), Queue(kThreeJobs));

    AddPending();

    auto got = vqtest::EntriesByJob();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(vqtest::JobEntryOf(got["0007"].at(0)),
              vqtest::JobEntry({"0007", "03/05", "09:07", "TX", "02", "555-0007", "Anna Berg", " ", " ",
                                "Active", " ", " "}));
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
}

/* The retry runs for 30 seconds of the (test) clock, which the seam moves
 * by 10 seconds per attempt. */
TEST_F(AddPendingTest, MissingQueueFileIsGivenUpAfterThirtySeconds)
{
    vqtest::SetClock(1700000000);
    AddPendingRetryHook = [] {
        gHookCalls++;
        vqtest::AdvanceClock(1000);
    };

    AddPending();

    EXPECT_EQ(gHookCalls, 3);
    EXPECT_EQ(vqtest::LogSummary(), (std::vector<vqtest::Logged>{{VQM_QUEUE_NOT_OPENED, QueuePath(), false},
                                                                 {VQM_DS0, "Errno = 2 ", false}}));
    EXPECT_FALSE(vqtest::FileExists(QueuePath()));
    EXPECT_TRUE(vqtest::DocumentIds(kActDb).empty());
    EXPECT_EQ(E_quit, 0);
}

/* While the fax server holds its lock the open is retried; once released
 * the listing goes ahead. */
TEST_F(AddPendingTest, LockedQueueFileIsWaitedFor)
{
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
    vqtest::WriteFile(QueuePath(), Queue(kThreeJobs));
    AddPending();
    auto first = vqtest::EntriesByJob();

    /* The job became active and was tried once more. */
    std::vector<Job> later = kThreeJobs;
    later[1].stat = 0x0002;
    later[1].attempts = 1;
    vqtest::WriteFile(QueuePath(), Queue(later));
    AddPending();

    auto second = vqtest::EntriesByJob();
    EXPECT_EQ(second, first);
    ASSERT_EQ(second["0042"].size(), 1u);
    EXPECT_EQ(vqtest::ItemText(kActDb, second["0042"][0], "Explanation"), "Active");
    EXPECT_EQ(vqtest::ItemText(kActDb, second["0042"][0], "Attempts"), "01");
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

}  // namespace
