/*
 * pending_queue_test.cpp - AddPending: the queue file's signature, its
 * 384-byte records and a partial record at its end, the mapping of a
 * record to a "Job Entry" written once and then overwritten, and the
 * exclusive open retried for 30 seconds.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "activity.h"
#include "gateway_fixture.h"

namespace {

using vqtest::kActDb;
using Log = std::vector<vqtest::Logged>;

struct Job {
    int id, month, day, hour, minute, stat, attempts;
    std::string from, tel;
};

void PutWord(std::string &raw, size_t at, int v)
{
    raw[at] = (char)(v & 0xFF);
    raw[at + 1] = (char)((v >> 8) & 0xFF);
}

/* A record as the fax server writes it; the fields the gateway does not
 * read hold non-zero bytes, so a misplaced read shows. */
std::string Record(const Job &j)
{
    std::string raw(QENTRY_SIZE, 'Z');
    PutWord(raw, QENTRY_ID, j.id);
    const int bt[] = {j.minute, j.hour, j.day, j.month};
    for (int i = 0; i < 4; i++)
        raw[QENTRY_TIME + i] = (char)bt[i];
    PutWord(raw, QENTRY_STAT, j.stat);
    PutWord(raw, QENTRY_ATTEMPTS, j.attempts);
    /* texts with their terminator when they leave room for it */
    raw.replace(QENTRY_FROM, std::min<size_t>(j.from.size() + 1, QENTRY_FROM_SIZE), j.from.c_str(),
                std::min<size_t>(j.from.size() + 1, QENTRY_FROM_SIZE));
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
    /* szFrom filling its 129 bytes without terminator; items hold 31 */
    {12345, 12, 31, 23, 59, 0x0001, 11, std::string(129, 'f'), std::string(48, '5')},
};

class AddPendingTest : public vqtest::GatewayTest {
protected:
    void SetUp() override
    {
        GatewayTest::SetUp();
        vqtest::CreateActivityDb(kActDb);
    }
    void TearDown() override
    {
        AddPendingRetryHook = nullptr;
        GatewayTest::TearDown();
    }
    std::string QueuePath() const { return Spool(SPOOL_SVCQ); }
};

/* What each file yields and logs; the gateway never changes the file. */
TEST_F(AddPendingTest, QueueFileShapes)
{
    const std::string rec = Record(kJobs[0]), other = Record({99, 1, 1, 1, 1, 0, 0, "x", "y"});
    struct Case {
        std::string name, file;
        size_t wantEntries;
        Log wantLog;
    } cases[] = {
        {"signature only", Queue({}), 0, {}},
        {"100 bytes left over", Queue(kJobs, std::string(100, 'x')), 2, {{VQM_DS0, "100 left over bytes in SVCQ", false}}},
        /* a record one byte short is never decoded */
        {"383 bytes left over", Queue(kJobs, other.substr(0, QENTRY_SIZE - 1)), 2,
         {{VQM_DS0, "383 left over bytes in SVCQ", false}}},
        {"other case", "tmb_fax_lanqueue3.00" + rec, 0, {{VQM_BAD_SIGNATURE, "tmb_fax_lanqueue3.00", false}}},
        {"zero byte inside", std::string("TMB_FAX_LANQUEUE3.0\0", 20) + rec, 0,
         {{VQM_BAD_SIGNATURE, "TMB_FAX_LANQUEUE3.0", false}}},
        {"shorter than the signature", "TMB_FAX", 0, {{VQM_BAD_SIGNATURE, "TMB_FAX", false}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::TempDir data;
        vqtest::EnterDataDirectory(data);
        vqtest::CreateActivityDb(kActDb);
        vqtest::WriteFile(QueuePath(), c.file);
        vqtest::ClearLog();
        EXPECT_EQ(AddPending(), 0);
        EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), c.wantEntries);
        EXPECT_EQ(vqtest::EntriesByJob().count("0099"), 0u);
        EXPECT_EQ(vqtest::LogSummary(), c.wantLog);
        EXPECT_EQ(vqtest::ReadFile(QueuePath()), c.file);
        EXPECT_EQ(E_quit, 0);
    }
}

/* Every item of a record; listed again, the entry is overwritten in place. */
TEST_F(AddPendingTest, RecordsMapToEntriesOverwrittenInPlace)
{
    vqtest::WriteFile(QueuePath(), Queue(kJobs));
    AddPending();
    auto first = vqtest::EntriesByJob();
    std::vector<Job> later = kJobs;
    later[1].stat = 0x0002;
    later[1].attempts = 1;
    vqtest::WriteFile(QueuePath(), Queue(later));
    AddPending();

    auto got = vqtest::EntriesByJob();
    ASSERT_EQ(got, first);
    ASSERT_EQ(got["0007"].size(), 1u);
    ASSERT_EQ(got["12345"].size(), 1u);
    EXPECT_EQ(vqtest::JobEntryOf(got["0007"][0]), vqtest::JobEntry({"0007", "03/05", "09:07", "TX", "02", "555-0007",
                                                                    "Anna Berg", " ", " ", "Active", " ", " "}));
    EXPECT_EQ(vqtest::JobEntryOf(got["12345"][0]),
              vqtest::JobEntry({"12345", "12/31", "23:59", "TX", "01", std::string(31, '5'), std::string(31, 'f'),
                                " ", " ", "Active", " ", " "}));
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

int gHookCalls = 0;
int gHolder = -1;

/* Missing: given up after 30 s of the clock (10 s per attempt here).
 * Locked by the fax server: waited for, then listed and let go. */
TEST_F(AddPendingTest, OpenIsRetriedForThirtySeconds)
{
    vqtest::SetClock(1700000000);
    gHookCalls = 0;
    AddPendingRetryHook = [] {
        gHookCalls++;
        vqtest::AdvanceClock(1000);
    };
    AddPending();
    EXPECT_EQ(gHookCalls, 3);
    EXPECT_EQ(vqtest::LogSummary(), (Log{{VQM_QUEUE_NOT_OPENED, QueuePath(), false}, {VQM_DS0, "Errno = 2 ", false}}));

    vqtest::ClearLog();
    vqtest::WriteFile(QueuePath(), Queue(kJobs));
    gHolder = PortSopenExclusive(QueuePath().c_str());
    ASSERT_GE(gHolder, 0);
    gHookCalls = 0;
    AddPendingRetryHook = [] {
        if (++gHookCalls == 3)
            PortClose(gHolder);
    };
    AddPending();
    EXPECT_EQ(gHookCalls, 3);
    EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), 2u);
    EXPECT_TRUE(vqtest::LogEntries().empty());
    const int fd = PortSopenExclusive(QueuePath().c_str());
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        PortClose(fd);
}

}  // namespace
