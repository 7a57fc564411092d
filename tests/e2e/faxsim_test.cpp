/*
 * faxsim_test.cpp - the stand-in fax server never writes the queue file
 * while the gateway holds its lock.
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

}  // namespace
