/*
 * faxsim_test.cpp - the stand-in fax server waits for the gateway's queue
 * lock, numbers jobs of one file name apart, and lets concurrent runs land.
 */
#include <gtest/gtest.h>

#include "e2e_support.h"
#include "vq_port.h"

namespace {

TEST(FaxsimTest, QueueWaitsForTheGatewaysLock)
{
    vqtest::TempDir tmp;
    const std::string bin = vqe2e::kBin + "/faxsim", svcq = tmp / "TMBFAX/PUBLIC/SVCQ";
    ASSERT_EQ(vqe2e::Run({bin, "init", tmp.path()}).code, 0);
    ASSERT_EQ(vqe2e::Run({bin, "queue", tmp.path()}).code, 0);
    vqtest::WriteFile(tmp / "TMBFAX/FAX/OUT/00000004", "\x03\nSend-to: - @ FAX {Bob,555D0100 , S, cover:}\n\n");

    const int held = PortSopenExclusive(svcq.c_str()); /* as the gateway opens it */
    ASSERT_GE(held, 0);
    const pid_t pid = vqe2e::Spawn({bin, "queue", tmp.path()}, tmp / "out");
    const int early = vqe2e::WaitUntil(pid, std::chrono::milliseconds(500));
    const std::string whileHeld = vqtest::ReadFile(svcq);
    PortClose(held);
    EXPECT_EQ(early, -1) << "faxsim queue went on under the gateway's lock";
    EXPECT_EQ(whileHeld, "TMB_FAX_LANQUEUE3.00");
    EXPECT_EQ(vqe2e::WaitUntil(pid, std::chrono::seconds(10), true), 0);
    EXPECT_EQ(vqtest::ReadFile(svcq).size(), 20u + 384u) << "the signature and one record";
}

TEST(FaxsimTest, JobsOfOneNameSentOneAtATimeGetTheirOwnNumbers)
{
    vqtest::TempDir tmp;
    const std::string bin = vqe2e::kBin + "/faxsim";
    ASSERT_EQ(vqe2e::Run({bin, "init", tmp.path()}).code, 0);
    std::string ids;
    for (const std::string parcel : {"first", "second"}) { /* the gateway reuses both names */
        vqtest::WriteFile(tmp / "TMBFAX/FAX/OUT/00000000",
                          "\x03\nSend-to: - @ FAX {Bob,555D0100 , S, cover:}\nAttachment: 00000000\n\n");
        vqtest::WriteFile(tmp / "TMBFAX/FAX/OPARCEL/00000000", parcel);
        ASSERT_EQ(vqe2e::Run({bin, "queue", tmp.path()}).code, 0);
        ids += vqtest::ReadFile(tmp / "TMBFAX/PUBLIC/SVCQ").substr(20, 2);
        ASSERT_EQ(vqe2e::Run({bin, "send", tmp.path(), parcel == "first" ? "--hold=0" : "--in-place"}).code, 0);
    }
    const std::string log = vqtest::ReadFile(tmp / "TMBFAX/UTIL/DATA/ACTIVITY.LOG");
    EXPECT_EQ(log.substr(0, 5) + log.substr(log.rfind("\n", log.size() - 2) + 1, 5), "0001 0002 ") << log;
    EXPECT_EQ(ids, std::string("\x01\0\x02\0", 4)) << "queue ids";
    EXPECT_EQ(vqtest::ReadFile(tmp / "sent/0002/OPARCEL/00000000"), "second");
    EXPECT_NE(vqtest::ReadFile(tmp / "sent/0001/job"), "first") << "a parcel took the job's copy";
}

/* The gateway imports the log and then lists the queue: a job still queued
 * once its final line is in the log would be listed as "Pending" again. */
TEST(FaxsimTest, ASentJobLeavesTheQueueBeforeItsLinesAreLogged)
{
    vqtest::TempDir tmp;
    const std::string bin = vqe2e::kBin + "/faxsim", svcq = tmp / "TMBFAX/PUBLIC/SVCQ";
    ASSERT_EQ(vqe2e::Run({bin, "init", tmp.path()}).code, 0);
    vqtest::WriteFile(tmp / "TMBFAX/FAX/OUT/00000001", "\x03\nSend-to: - @ FAX {Bob,555D0100 , S, cover:}\n\n");
    ASSERT_EQ(vqe2e::Run({bin, "queue", tmp.path()}).code, 0);
    ASSERT_EQ(vqtest::ReadFile(svcq).size(), 20u + 384u);
    const pid_t pid = vqe2e::Spawn({bin, "send", tmp.path(), "--no-render", "--in-place", "--hold=2000"}, tmp / "out");
    EXPECT_TRUE(vqe2e::Eventually([&] { return !vqtest::ReadFile(tmp / "TMBFAX/UTIL/DATA/ACTIVITY.LOG").empty(); }, 30));
    EXPECT_EQ(vqtest::ReadFile(svcq).size(), 20u) << "the job is still queued while its lines are logged";
    EXPECT_EQ(vqe2e::WaitUntil(pid, std::chrono::seconds(30), true), 0) << vqtest::ReadFile(tmp / "out");
}

TEST(FaxsimTest, ConcurrentReceivesAllLand)
{
    vqtest::TempDir tmp;
    const std::string bin = vqe2e::kBin + "/faxsim";
    ASSERT_EQ(vqe2e::Run({bin, "init", tmp.path()}).code, 0);
    std::vector<pid_t> runs;
    for (int i = 0; i < 40; ++i)
        runs.push_back(vqe2e::Spawn({bin, "receive", tmp.path(), i % 2 ? "--in-place" : "--did=1"}, tmp / "out"));
    for (pid_t pid : runs)
        EXPECT_EQ(vqe2e::WaitUntil(pid, std::chrono::seconds(30), true), 0) << vqtest::ReadFile(tmp / "out");
    for (const auto &name : vqtest::ListDir(tmp / "TMBFAX/FAX/IN"))
        EXPECT_NE(vqtest::ReadFile(tmp / ("TMBFAX/FAX/IN/" + name)).find("Attachment: RX" + name.substr(2)),
                  std::string::npos);
    EXPECT_EQ(vqtest::ListDir(tmp / "TMBFAX/FAX/IN").size() + vqtest::ListDir(tmp / "TMBFAX/FAX/IPARCEL").size(), 80u);
}

}  // namespace
