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

    /* Creates (empty) files in the test folder. */
    void Touch(const std::vector<std::string> &names)
    {
        for (const auto &n : names)
            vqtest::WriteFile(dir_ / n, "");
    }
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

TEST_F(UniqueNameTest, LowestFreeNumberWithExtension)
{
    struct Case {
        const char *name;
        std::vector<std::string> present;
        std::string ext;
        std::string want; /* below the folder */
    };
    const std::vector<Case> cases = {
        {"empty folder", {}, "INC", "00000000.INC"},
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

        std::string got = Get("", dir.path(), c.ext);

        EXPECT_EQ(got, dir / c.want);
        EXPECT_FALSE(vqtest::FileExists(got)) << "the name is not created";
    }
}

TEST_F(UniqueNameTest, DirectoryIsJoinedWithOneSlash)
{
    EXPECT_EQ(Get("", dir_.path(), "INC"), dir_.path() + "/00000000.INC");
    EXPECT_EQ(Get("", dir_.path() + "/", "INC"), dir_.path() + "/00000000.INC");
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

TEST_F(UniqueNameTest, NameThatCannotBeOpenedForUpdateCountsAsFree)
{
    /* A directory of that name never opens for reading and writing. */
    ASSERT_EQ(mkdir((dir_ / "00000000.INC").c_str(), 0755), 0);
    EXPECT_EQ(Get("", dir_.path(), "INC"), dir_ / "00000000.INC");
}

TEST_F(UniqueNameTest, ReadOnlyFileCountsAsFree)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: permissions do not stop the open";
    Touch({"00000000.INC"});
    ASSERT_EQ(chmod((dir_ / "00000000.INC").c_str(), 0444), 0);
    EXPECT_EQ(Get("", dir_.path(), "INC"), dir_ / "00000000.INC");
}

TEST_F(UniqueNameTest, ExhaustionGivesTheMessageAndAnEmptyName)
{
    VqUniqueNameLimit = 3;
    Touch({"00000000.INC", "00000001.INC", "00000002.INC"});

    STATUS status = NOERROR;
    std::string got = Get("", dir_.path(), "INC", &status);
    EXPECT_EQ(status, VQM_NO_UNIQUE_NAME);
    EXPECT_EQ(got, "");

    /* One number fewer taken: the last candidate is handed out. */
    ASSERT_EQ(unlink((dir_ / "00000002.INC").c_str()), 0);
    EXPECT_EQ(Get("", dir_.path(), "INC"), dir_ / "00000002.INC");
}

TEST_F(UniqueNameTest, PathTooLongGivesTheMessageAndAnEmptyName)
{
    /* 250 + "/" + 12 = 263 characters do not fit 260 bytes. */
    std::string dir = "/" + std::string(249, 'd');
    STATUS status = NOERROR;
    std::string got = Get("", dir, "INC", &status);
    EXPECT_EQ(status, VQM_NO_UNIQUE_NAME);
    EXPECT_EQ(got, "");

    /* 246 + "/" + 12 = 259 characters and the terminator fit. */
    dir = "/" + std::string(245, 'd');
    got = Get("", dir, "INC", &status);
    EXPECT_EQ(status, NOERROR);
    EXPECT_EQ(got, dir + "/00000000.INC");
}

}  // namespace
