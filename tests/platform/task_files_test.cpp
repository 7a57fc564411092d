/*
 * task_files_test.cpp - the task's files kept open or made once: a line
 * still goes to the file the path names when it is written, a status
 * line still finds its folder.
 */
#include <cstdio>
#include <filesystem>
#include <string>

#include "test_support.h"
#include "vq_runtime.h"

namespace {

class TaskFilesTest : public vqtest::PlatformTest {};

/* The log removed or moved aside (as a log rotator does) between two
 * lines: the second line is in a new server.log, not lost or aside. */
TEST_F(TaskFilesTest, ALineFollowsThePathAfterTheFileIsMovedOrRemoved)
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

/* The tasks folder is made once; removed from outside, it is made again
 * for the next status line. */
TEST_F(TaskFilesTest, AStatusLineRemakesARemovedTasksFolder)
{
    AddInSetStatus(0x3FFE);
    std::filesystem::remove_all(data_ / "tasks");
    AddInSetStatus(0x3FFF);
    EXPECT_NE(vqtest::ReadFile(data_ / "tasks/vortiq.status").find("16383"), std::string::npos);
}

}  // namespace
