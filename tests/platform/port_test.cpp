/*
 * port_test.cpp - the POSIX port of the gateway's file habits: path
 * joining, text-mode reads, renames that never replace, pattern search,
 * exclusive opens, and the fault seam (injected failures and crashes).
 */
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"
#include "vq_port.h"

namespace {

using vqtest::FileExists;
using vqtest::ReadFile;
using vqtest::WriteFile;

class PortTest : public vqtest::PlatformTest {
protected:
    void TearDown() override
    {
        PortFaultArm(0, 0, 0);
        PlatformTest::TearDown();
    }
    std::string P(const std::string &name) const { return data_ / name; }
};

TEST_F(PortTest, MakePath)
{
    struct Case {
        const char *drive, *dir, *fname, *ext;
        const char *want;
    };
    const Case cases[] = {
        {"", "/spool/FAX/OUT", "JOB1", "", "/spool/FAX/OUT/JOB1"},
        {"", "/spool/FAX/OUT/", "JOB1", "TMP", "/spool/FAX/OUT/JOB1.TMP"},
        {"", "C:\\FAX\\", "A", ".txt", "C:\\FAX\\A.txt"},
        {"C:", "/fax", "x", "y", "C:/fax/x.y"},
        {nullptr, nullptr, "name", nullptr, "name"},
        {"", "", "name", "ext", "name.ext"},
        {"", "dir", "", "", "dir/"},
    };
    for (const Case &c : cases) {
        char buf[PORT_MAX_PATH];
        EXPECT_EQ(PortMakePath(buf, sizeof buf, c.drive, c.dir, c.fname, c.ext), 0);
        EXPECT_STREQ(buf, c.want);
    }
    char small[8] = "junk";
    EXPECT_EQ(PortMakePath(small, sizeof small, "", "/long/dir", "name", "ext"), -1);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(PortMakePath(small, sizeof small, "", "", "1234567", ""), 0); /* exactly fits */
    EXPECT_EQ(PortMakePath(small, sizeof small, "", "", "12345678", ""), -1);
}

TEST_F(PortTest, DrivePart)
{
    struct Case {
        const char *path;
        const char *want;
    };
    const Case cases[] = {{"C:\\FAX", "C:"}, {"d:/x", "d:"}, {"/spool", ""}, {"1:/x", ""}, {"C", ""}, {"", ""}};
    for (const Case &c : cases) {
        char drive[8] = "zz";
        PortDrivePart(c.path, drive, sizeof drive);
        EXPECT_STREQ(drive, c.want) << c.path;
    }
}

TEST_F(PortTest, TextModeLines)
{
    WriteFile(P("t.txt"), std::string("one\r\ntwo\rstill\nthree\r\n\r\nlast") + "\x1A" + "after\n");
    FILE *f = PortFopen(P("t.txt").c_str(), "rt");
    ASSERT_NE(f, nullptr);
    std::vector<std::string> lines;
    char buf[64];
    while (PortFgets(buf, sizeof buf, f) != nullptr)
        lines.push_back(buf);
    EXPECT_EQ(lines, (std::vector<std::string>{"one\n", "two\rstill\n", "three\n", "\n", "last"}));
    /* The end marker keeps being the end. */
    EXPECT_EQ(PortFgets(buf, sizeof buf, f), nullptr);
    EXPECT_EQ(PortFreadText(buf, sizeof buf, f), 0u);
    PortFclose(f);
}

TEST_F(PortTest, TextModeShortBufferAndRead)
{
    WriteFile(P("t.txt"), "abcdef\r\ngh\r\n");
    FILE *f = PortFopen(P("t.txt").c_str(), "r");
    char buf[4];
    std::vector<std::string> parts;
    while (PortFgets(buf, sizeof buf, f) != nullptr)
        parts.push_back(buf);
    EXPECT_EQ(parts, (std::vector<std::string>{"abc", "def", "\n", "gh\n"}));
    PortFclose(f);

    f = PortFopen(P("t.txt").c_str(), "rb");
    char all[32];
    size_t n = PortFreadText(all, sizeof all, f);
    EXPECT_EQ(std::string(all, n), "abcdef\ngh\n");
    PortFclose(f);
}

TEST_F(PortTest, InjectedWriteFailureShowsAsStreamError)
{
    FILE *f = PortFopen(P("w.txt").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    PortFaultArm(2, 2, ENOSPC); /* the second operation from here fails */
    EXPECT_EQ(PortFwrite("abc", 1, 3, f), 3u);
    EXPECT_FALSE(PortFerror(f));
    EXPECT_LT(PortFprintf(f, "%s", "lost"), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(PortFerror(f));
    EXPECT_EQ(PortFprintf(f, "%d", 7), 1);
    EXPECT_TRUE(PortFerror(f)); /* the mark lasts until the close */
    EXPECT_EQ(PortFaultCount(), 3);
    EXPECT_EQ(PortFclose(f), 0);
    EXPECT_EQ(ReadFile(P("w.txt")), "abc7");

    PortFaultArm(2, 1, EIO);
    EXPECT_EQ(PortFopen(P("never.txt").c_str(), "w"), nullptr);
    EXPECT_EQ(errno, EIO);
    EXPECT_FALSE(FileExists(P("never.txt")));
}

TEST_F(PortTest, EveryDurableOperationPassesTheSeam)
{
    PortFaultArm(0, 0, 0);
    FILE *f = PortFopen(P("a.txt").c_str(), "w"); /* create */
    PortFwrite("x", 1, 1, f);                       /* write */
    PortFsync(f);                                   /* fsync */
    PortFclose(f);
    FILE *r = PortFopen(P("a.txt").c_str(), "r"); /* reads do not count */
    PortFclose(r);
    PortRename(P("a.txt").c_str(), P("b.txt").c_str()); /* rename */
    PortUnlink(P("b.txt").c_str());                      /* unlink */
    EXPECT_EQ(PortFaultCount(), 5);

    for (long n = 1; n <= 5; ++n) {
        SCOPED_TRACE(n);
        PortFaultArm(2, n, EIO);
        bool failed = false;
        f = PortFopen(P("a.txt").c_str(), "w");
        if (f == nullptr) {
            failed = true;
        } else {
            failed |= PortFwrite("x", 1, 1, f) != 1;
            failed |= PortFsync(f) != 0;
            PortFclose(f);
            failed |= PortRename(P("a.txt").c_str(), P("b.txt").c_str()) != 0;
            failed |= PortUnlink(P("b.txt").c_str()) != 0;
        }
        EXPECT_TRUE(failed);
        unlink(P("a.txt").c_str());
        unlink(P("b.txt").c_str());
    }
}

TEST_F(PortTest, CrashRightAfterTheOperation)
{
    /* The child is forked ("fast" style), so it works on this test's folder. */
    GTEST_FLAG_SET(death_test_style, "fast");
    const std::string from = P("job.tmp"), to = P("JOB");
    WriteFile(from, "data");
    EXPECT_EXIT(
        {
            PortFaultArm(1, 1, 0);
            PortRename(from.c_str(), to.c_str());
            std::_Exit(0);
        },
        testing::ExitedWithCode(PORT_CRASH_EXIT), "");
    /* The crash came after the rename had happened. */
    EXPECT_TRUE(FileExists(to));
    EXPECT_FALSE(FileExists(from));
}

/* Sets a variable for the test's lifetime, keeping a value inherited from
 * the parent of a death test's child. */
struct EnvVar {
    EnvVar(const char *name, const std::string &value) : name_(name)
    {
        if (std::getenv(name) == nullptr)
            setenv(name, value.c_str(), 1);
    }
    ~EnvVar() { unsetenv(name_); }
    const char *name_;
};

TEST_F(PortTest, ArmedFromTheEnvironment)
{
    /* A re-executed child reads the variables at its first operation. */
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string log = P("fault.log");
    {
        EnvVar fault("VORTIQ_FAULT", "fail:2:ENOSPC");
        EnvVar faultLog("VORTIQ_FAULT_LOG", log);
        EXPECT_EXIT(
            {
                const int first = PortFaultBefore("create");
                const int second = PortFaultBefore("write");
                const int third = PortFaultBefore("rename");
                std::_Exit(first == 0 && second == ENOSPC && third == 0 ? 3 : 4);
            },
            testing::ExitedWithCode(3), "");
        EXPECT_EQ(ReadFile(log), "1 create\n2 write\n3 rename\n");
    }
    {
        EnvVar fault("VORTIQ_FAULT", "crash:2");
        EXPECT_EXIT(
            {
                PortFaultBefore("write");
                PortFaultAfter();
                PortFaultBefore("fsync");
                PortFaultAfter();
                std::_Exit(0);
            },
            testing::ExitedWithCode(PORT_CRASH_EXIT), "");
    }
}

TEST_F(PortTest, RenameNeverReplaces)
{
    WriteFile(P("new"), "new");
    WriteFile(P("held"), "held by the fax server");
    EXPECT_EQ(PortRename(P("new").c_str(), P("held").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadFile(P("held")), "held by the fax server");
    EXPECT_EQ(ReadFile(P("new")), "new");

    EXPECT_EQ(PortRename(P("new").c_str(), P("free").c_str()), 0);
    EXPECT_EQ(ReadFile(P("free")), "new");
    EXPECT_FALSE(FileExists(P("new")));
    EXPECT_EQ(PortRename(P("missing").c_str(), P("x").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

std::vector<std::string> Find(const std::string &pattern)
{
    std::vector<std::string> names;
    char name[PORT_MAX_PATH];
    intptr_t h = PortFindFirst(pattern.c_str(), name, sizeof name);
    if (h < 0)
        return names;
    do
        names.push_back(name);
    while (PortFindNext(h, name, sizeof name) == 0);
    EXPECT_EQ(PortFindClose(h), 0);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(PortTest, FindByPattern)
{
    vqtest::MakeDirs(P("in/STDIR001"));
    for (const char *n : {"ST000001", "ST000002", "ST00001", "ST0000012", "st000003", "XX000001", ".ST000004"})
        WriteFile(P(std::string("in/") + n), "");
    struct Case {
        const char *pattern;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"in/ST??????", {"ST000001", "ST000002"}}, /* '?' is exactly one character; no folders */
        {"in/ST*", {"ST000001", "ST0000012", "ST000002", "ST00001"}},
        {"in/*", {".ST000004", "ST000001", "ST0000012", "ST000002", "ST00001", "XX000001", "st000003"}},
        {"in/nothing*", {}},
        {"missing/*", {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Find(P(c.pattern)), c.want) << c.pattern;
    EXPECT_EQ(PortFindNext(12345, nullptr, 0), -1);
}

TEST_F(PortTest, ExclusiveOpen)
{
    WriteFile(P("SVCQ"), "queue");
    int a = PortSopenExclusive(P("SVCQ").c_str());
    ASSERT_GE(a, 0);
    int b = PortSopenExclusive(P("SVCQ").c_str());
    EXPECT_EQ(b, -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    char buf[8];
    EXPECT_EQ(PortRead(a, buf, sizeof buf), 5);
    EXPECT_EQ(PortClose(a), 0);
    b = PortSopenExclusive(P("SVCQ").c_str());
    EXPECT_GE(b, 0);
    PortClose(b);

    EXPECT_EQ(PortSopenExclusive(P("none").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(FileExists(P("none"))); /* never created */

    int w = open(P("SVCQ").c_str(), O_RDWR);
    EXPECT_EQ(PortLockExclusiveWait(w), 0);
    EXPECT_EQ(PortSopenExclusive(P("SVCQ").c_str()), -1);
    PortClose(w);
}

TEST_F(PortTest, AccessAndSyncDir)
{
    WriteFile(P("here"), "");
    EXPECT_EQ(PortAccess(P("here").c_str()), 0);
    EXPECT_EQ(PortAccess(P("gone").c_str()), -1);
    EXPECT_EQ(PortSyncDir(P("here").c_str()), 0);
    EXPECT_EQ(PortSyncDir(P("nodir/x").c_str()), -1);
}

}  // namespace
