/*
 * server_log_test.cpp - server.log stays open between lines, yet a line
 * always goes to the file the path names when it is written.
 */
#include <cstdio>
#include <string>

#include "test_support.h"
#include "vq_runtime.h"

namespace {

class ServerLogTest : public vqtest::PlatformTest {};

/* The log removed or moved aside (as a log rotator does) between two
 * lines: the second line is in a new server.log, not lost or aside. */
TEST_F(ServerLogTest, ALineFollowsThePathAfterTheFileIsMovedOrRemoved)
{
    for (const bool moveAside : {false, true}) {
        const std::string log = data_ / "server.log", aside = data_ / "server.log.old";
        AddInLogError(0x7FFF, NOERROR, "first line");
        ASSERT_EQ(moveAside ? std::rename(log.c_str(), aside.c_str()) : std::remove(log.c_str()), 0);
        AddInLogError(0x7FFF, NOERROR, "second line");
        const std::string now = vqtest::ReadFile(log);
        EXPECT_NE(now.find("second line"), std::string::npos) << moveAside;
        EXPECT_EQ(now.find("first line"), std::string::npos) << moveAside;
        if (moveAside) {
            EXPECT_NE(vqtest::ReadFile(aside).find("first line"), std::string::npos);
            EXPECT_EQ(vqtest::ReadFile(aside).find("second line"), std::string::npos);
        }
        std::remove(log.c_str());
    }
}

}  // namespace
