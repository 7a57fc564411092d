/*
 * faxsim_test.cpp - the stand-in fax server's share of the two files the
 * gateway and it touch at the same time: the queue file is never written
 * while the gateway holds its lock, and a received fax's control file only
 * ever appears in FAX/IN whole, by rename.
 */
#include <gtest/gtest.h>

#include <sys/inotify.h>

#include "e2e_support.h"
#include "test_support.h"
#include "vq_port.h"

namespace {

TEST(FaxsimTest, QueueWaitsForTheLockAndControlFilesArriveWhole)
{
    vqtest::TempDir tmp;
    const std::string bin = vqe2e::kBin + "/faxsim", svcq = tmp / "TMBFAX/PUBLIC/SVCQ";
    ASSERT_EQ(vqe2e::Run({bin, "init", tmp.path()}).code, 0);
    ASSERT_EQ(vqe2e::Run({bin, "queue", tmp.path()}).code, 0);
    vqtest::WriteFile(tmp / "TMBFAX/FAX/OUT/00000004", "\x03\nSend-to: - @ FAX {Bob,555D0100 , S, cover:}\n\n");

    const int held = PortSopenExclusive(svcq.c_str()); /* as the gateway opens it */
    ASSERT_GE(held, 0);
    const pid_t pid = vqe2e::Spawn({bin, "queue", tmp.path()}, tmp / "out");
    const int early = vqe2e::WaitUntil(pid, vqe2e::Clock::now() + std::chrono::milliseconds(500));
    const std::string whileHeld = vqtest::ReadFile(svcq);
    PortClose(held);
    EXPECT_EQ(early, -1) << "faxsim queue went on under the gateway's lock";
    EXPECT_EQ(whileHeld, "TMB_FAX_LANQUEUE3.00");
    EXPECT_EQ(vqe2e::WaitUntil(pid, vqe2e::Clock::now() + std::chrono::seconds(10), true), 0);
    EXPECT_EQ(vqtest::ReadFile(svcq).size(), 20u + 384u) << "the signature and one record";

    const int in = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(in, (tmp / "TMBFAX/FAX/IN").c_str(), IN_CREATE | IN_MOVED_TO | IN_MODIFY), 0);
    vqe2e::Result r = vqe2e::Run({bin, "receive", tmp.path(), "--to", "Jane Roe"});
    ASSERT_EQ(r.code, 0) << r.out;
    uint32_t mask = 0;
    alignas(struct inotify_event) char buf[4096];
    for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
        for (char *p = buf; p < buf + n; p += sizeof(struct inotify_event) + ((inotify_event *)p)->len)
            if (r.out == std::string(((inotify_event *)p)->name) + "\n")
                mask |= ((inotify_event *)p)->mask;
    close(in);
    EXPECT_EQ(mask, (uint32_t)IN_MOVED_TO) << r.out;
}

}  // namespace
