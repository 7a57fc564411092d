/*
 * unique_name_test.cpp - GetUniqueFileName: lowest free number first,
 * path joining, names that count as free, exhaustion and paths too long.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"
#include "unique_name.h"
#include "vortiq.h"

namespace {

class UniqueNameTest : public ::testing::Test {
protected:
    void TearDown() override { VqUniqueNameLimit = VQ_UNIQUE_NAME_COUNT; }

    void Touch(const std::vector<std::string> &names)
    {
        for (const auto &n : names)
            vqtest::WriteFile(dir_ / n, "");
    }
    /* The name handed out; the call's status in *status, else expected 0. */
    std::string Get(const std::string &drive, const std::string &dir, const std::string &ext,
                    STATUS *status = nullptr)
    {
        char name[VQ_FILE_PATH];
        std::fill(name, name + sizeof name, 'x');
        STATUS s = GetUniqueFileName(drive.c_str(), dir.c_str(), ext.c_str(), name);
        if (status)
            *status = s;
        else
            EXPECT_EQ(s, NOERROR);
        return name;
    }

    vqtest::TempDir dir_;
};

TEST_F(UniqueNameTest, LowestFreeNumber)
{
    struct Case {
        const char *name;
        std::vector<std::string> present;
        std::string ext, want; /* below the folder */
        bool slash = false;    /* the folder given with a trailing "/" */
    };
    const std::vector<Case> cases = {
        {"empty folder", {}, "INC", "00000000.INC"},
        {"a trailing slash is not doubled", {}, "INC", "00000000.INC", true},
        {"gap is reused", {"00000000.INC", "00000002.INC"}, "INC", "00000001.INC"},
        {"other extensions do not count", {"00000000", "00000000.TMP"}, "INC", "00000000.INC"},
        {"no extension, no dot", {"00000000.INC"}, "", "00000000"},
        {"no extension, taken", {"00000000", "00000001"}, "", "00000002"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::TempDir dir;
        for (const auto &n : c.present)
            vqtest::WriteFile(dir / n, "");
        std::string got = Get("", dir.path() + (c.slash ? "/" : ""), c.ext);
        EXPECT_EQ(got, dir / c.want);
        EXPECT_FALSE(vqtest::FileExists(got)) << "the name is not created";
    }
}

TEST_F(UniqueNameTest, EmptyDirectoryNamesAFileInTheCurrentDirectory)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    Touch({"00000000.TMP"});
    std::string got = Get("", "", "TMP");
    std::string withDrive = Get("C:", "", "TMP");
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(got, "00000001.TMP");
    /* The drive goes in front of a relative name as it stands. */
    EXPECT_EQ(withDrive, "C:00000000.TMP");
}

/* A name that cannot be opened for update (a directory; a read-only file
 * where permissions apply) is free: only a file the writer can take counts. */
TEST_F(UniqueNameTest, NamesThatCannotBeOpenedForUpdateCountAsFree)
{
    ASSERT_EQ(mkdir((dir_ / "00000000.INC").c_str(), 0755), 0);
    EXPECT_EQ(Get("", dir_.path(), "INC"), dir_ / "00000000.INC");
    if (geteuid() == 0)
        return; /* permissions do not stop root's open */
    Touch({"00000000.TMP"});
    ASSERT_EQ(chmod((dir_ / "00000000.TMP").c_str(), 0444), 0);
    EXPECT_EQ(Get("", dir_.path(), "TMP"), dir_ / "00000000.TMP");
}

/* No free number, or a path longer than its 260 bytes: 13078 and an
 * empty name, never a cut path; one less and the name is handed out. */
TEST_F(UniqueNameTest, ExhaustionAndLongPathsGiveTheMessageAndAnEmptyName)
{
    VqUniqueNameLimit = 3;
    Touch({"00000000.INC", "00000001.INC", "00000002.INC"});
    /* 250 + "/" + 12 = 263 characters do not fit; 246 + "/" + 12 and the
     * terminator do */
    const std::string tooLong = "/" + std::string(249, 'd'), fits = "/" + std::string(245, 'd');
    for (const std::string &dir : {dir_.path(), tooLong}) {
        SCOPED_TRACE(dir.substr(0, 20));
        STATUS status = NOERROR;
        EXPECT_EQ(Get("", dir, "INC", &status), "");
        EXPECT_EQ(status, VQM_NO_UNIQUE_NAME);
    }
    ASSERT_EQ(unlink((dir_ / "00000002.INC").c_str()), 0);
    EXPECT_EQ(Get("", dir_.path(), "INC"), dir_ / "00000002.INC");
    EXPECT_EQ(Get("", fits, "INC"), fits + "/00000000.INC");
}

}  // namespace
