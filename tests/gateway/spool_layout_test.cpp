/*
 * spool_layout_test.cpp - paths into the spool tree in the whole and the
 * split form, with and without a drive part, and paths too long to build.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vortiq.h"
#include "vq_port.h"

namespace {

/* GatewayPath is a plain global; each test sets it and leaves it empty. */
class SpoolLayoutTest : public ::testing::Test {
protected:
    void TearDown() override { GatewayPath[0] = '\0'; }
    static void SetRoot(const std::string &root) { VqCopy(GatewayPath, sizeof GatewayPath, root.c_str()); }
};

TEST_F(SpoolLayoutTest, WholeAndSplitForms)
{
    struct Case {
        std::string root, suffix;
        std::string wantWhole, wantDrive, wantSplitDir;
    };
    const std::vector<Case> cases = {
        {"/srv/fax/TMBFAX", SPOOL_FAX_OUT, "/srv/fax/TMBFAX/FAX/OUT", "", "/srv/fax/TMBFAX/FAX/OUT"},
        {"/srv/fax/TMBFAX", SPOOL_ACTIVITY_LOG, "/srv/fax/TMBFAX/UTIL/DATA/ACTIVITY.LOG", "",
         "/srv/fax/TMBFAX/UTIL/DATA/ACTIVITY.LOG"},
        {"/TMBFAX", SPOOL_SVCQ, "/TMBFAX/PUBLIC/SVCQ", "", "/TMBFAX/PUBLIC/SVCQ"},
        /* Only a letter and a colon make a drive part. */
        {"D:/FAX/TMBFAX", SPOOL_FAX_IN, "D:/FAX/TMBFAX/FAX/IN", "D:", "/FAX/TMBFAX/FAX/IN"},
        {"1:/x/TMBFAX", SPOOL_FAX_IN, "1:/x/TMBFAX/FAX/IN", "", "1:/x/TMBFAX/FAX/IN"},
        {"fax/TMBFAX", "", "fax/TMBFAX", "", "fax/TMBFAX"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.root + " + " + c.suffix);
        SetRoot(c.root);
        char whole[VQ_FILE_PATH] = "x";
        char dir[VQ_FILE_PATH] = "x";
        char drive[VQ_DRIVE_SIZE] = "x";
        ASSERT_EQ(SpoolWholePath(whole, sizeof whole, c.suffix.c_str()), 0);
        ASSERT_EQ(SpoolSplitDir(dir, sizeof dir, c.suffix.c_str()), 0);
        PortDrivePart(GatewayPath, drive, sizeof drive);
        EXPECT_EQ(std::string(whole), c.wantWhole);
        EXPECT_EQ(std::string(drive), c.wantDrive);
        EXPECT_EQ(std::string(dir), c.wantSplitDir);

        /* Drive and split directory joined again give the whole path. */
        char joined[VQ_FILE_PATH] = "";
        ASSERT_EQ(PortMakePath(joined, sizeof joined, drive, dir, "00000001", "INC"), 0);
        EXPECT_EQ(std::string(joined), c.wantWhole + "/00000001.INC");
    }
}

TEST_F(SpoolLayoutTest, PathThatDoesNotFitIsRefusedNotCut)
{
    /* 250 characters of root: the 261-byte buffer takes it with a short
     * suffix, not with a long one. */
    SetRoot("/" + std::string(242, 'r') + "/TMBFAX");
    ASSERT_EQ(std::string(GatewayPath).size(), 250u);
    char path[VQ_PATH_SIZE] = "x";

    EXPECT_EQ(SpoolWholePath(path, sizeof path, SPOOL_FAX_IN), 0);
    EXPECT_EQ(std::string(path).size(), 257u);

    EXPECT_EQ(SpoolWholePath(path, sizeof path, SPOOL_ACTIVITY_LOG), -1);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(SpoolSplitDir(path, sizeof path, SPOOL_ACTIVITY_LOG), -1);
    EXPECT_STREQ(path, "");

    /* Exactly full (260 characters and the terminator) still fits. */
    SetRoot(std::string(260 - 7, 'r'));
    EXPECT_EQ(SpoolWholePath(path, sizeof path, SPOOL_FAX_IN), 0);
    EXPECT_EQ(std::string(path).size(), 260u);
    SetRoot(std::string(261 - 7, 'r'));
    EXPECT_EQ(SpoolWholePath(path, sizeof path, SPOOL_FAX_IN), -1);
    EXPECT_STREQ(path, "");
}

}  // namespace
