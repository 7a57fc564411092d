/*
 * environment_test.cpp - the data directory and notes.ini: unset, empty
 * and set variables, the caller's length limit, changes made by another
 * writer, atomic replacement under a concurrent reader, failures and
 * crashes at each step of a write, and the start-up argument that names
 * notes.ini.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "test_support.h"
#include "vq_port.h"
#include "vq_runtime.h"

namespace {

using vqtest::ReadFile;
using vqtest::WriteFile;

class EnvironmentTest : public vqtest::PlatformTest {
protected:
    void TearDown() override
    {
        vqtest::SetDataDirectory(data_.path());
        PlatformTest::TearDown();
    }
    std::string Ini() const { return data_ / "notes.ini"; }
};

struct Got {
    bool set;
    std::string value;
};

Got Get(const char *name, WORD limit = MAXENVVALUE - 1)
{
    std::string buf(limit + 1u, '#');
    BOOL set = OSGetEnvironmentString(name, &buf[0], limit);
    return {set != FALSE, std::string(buf.c_str())};
}

TEST_F(EnvironmentTest, UnsetEmptyAndSet)
{
    WriteFile(Ini(), "VortiqDomain=FAXDOM\r\nEmpty=\nSpaced =  two words  \nnoequals\nNum=42abc\n"
                     "Interval=5\nNegative=-7\n");
    struct Case {
        const char *name;
        bool set;
        const char *value;
        long number;
    };
    const Case cases[] = {
        {"VortiqDomain", true, "FAXDOM", 0}, /* CR before LF dropped */
        {"VORTIQDOMAIN", true, "FAXDOM", 0}, /* keys compared without case */
        {"vortiqdomain", true, "FAXDOM", 0},
        {"Empty", true, "", 0},
        {"Spaced", true, "  two words  ", 0},
        {"noequals", false, "", 0},
        {"Missing", false, "", 0},
        {"Num", true, "42abc", 42},
        {"Interval", true, "5", 5},
        {"Negative", true, "-7", -7},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Got got = Get(c.name);
        EXPECT_EQ(got.set, c.set);
        EXPECT_EQ(got.value, c.value);
        EXPECT_EQ(OSGetEnvironmentLong(c.name), c.number);
    }
}

TEST_F(EnvironmentTest, ValueIsCutAtTheCallersLimit)
{
    WriteFile(Ini(), "Long=" + std::string(300, 'v') + "\n");
    struct Case {
        WORD limit;
        size_t want;
    };
    for (Case c : {Case{0, 0}, Case{1, 1}, Case{10, 10}, Case{255, 255}, Case{400, 300}}) {
        Got got = Get("Long", c.limit);
        EXPECT_TRUE(got.set);
        EXPECT_EQ(got.value, std::string(c.want, 'v')) << c.limit;
    }
}

TEST_F(EnvironmentTest, ChangesByAnotherWriterAreSeen)
{
    WriteFile(Ini(), "A=1\n");
    EXPECT_EQ(OSGetEnvironmentLong("A"), 1);
    WriteFile(Ini(), "A=2\n"); /* same size: the modification time tells */
    struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    times[1].tv_sec = 1000000000; /* force a different modification time */
    times[1].tv_nsec = 0;
    utimensat(AT_FDCWD, Ini().c_str(), times, 0);
    EXPECT_EQ(OSGetEnvironmentLong("A"), 2);
    unlink(Ini().c_str());
    EXPECT_FALSE(Get("A").set);
}

TEST_F(EnvironmentTest, SetterKeepsOtherLinesAndReplacesWhole)
{
    WriteFile(Ini(), "# comment line\r\nKeep=me\nvortiqpath=/old\nOther=x\n");
    ASSERT_EQ(OSSetEnvironmentVariable("VortiqPath", "/new/spool"), NOERROR);
    EXPECT_EQ(ReadFile(Ini()), "# comment line\nKeep=me\nVortiqPath=/new/spool\nOther=x\n");
    ASSERT_EQ(OSSetEnvironmentVariable("Added", ""), NOERROR);
    EXPECT_TRUE(Get("Added").set);
    ASSERT_EQ(OSSetEnvironmentVariable("KEEP", nullptr), NOERROR);
    EXPECT_FALSE(Get("Keep").set);
    EXPECT_EQ(ReadFile(Ini()), "# comment line\nVortiqPath=/new/spool\nOther=x\nAdded=\n");
    /* No temporary file is left behind. */
    EXPECT_EQ(vqtest::ListDir(data_.path()), (std::vector<std::string>{"notes.ini"}));
}

TEST_F(EnvironmentTest, SetterRefusesLineBreaksAndBadKeys)
{
    WriteFile(Ini(), "A=1\n");
    EXPECT_EQ(OSSetEnvironmentVariable("B", "x\nEvil=1"), ERR_BAD_PARAM);
    EXPECT_EQ(OSSetEnvironmentVariable("B=C", "x"), ERR_BAD_PARAM);
    EXPECT_EQ(OSSetEnvironmentVariable("", "x"), ERR_BAD_PARAM);
    EXPECT_EQ(OSSetEnvironmentVariable(nullptr, "x"), ERR_BAD_PARAM);
    EXPECT_EQ(ReadFile(Ini()), "A=1\n");
}

TEST_F(EnvironmentTest, ConcurrentWriterAndReaderNeverSeeATornFile)
{
    /* Two whole states alternate; anything else read is a torn file. */
    const std::string a(3000, 'a'), b(2000, 'b');
    WriteFile(Ini(), "Head=1\n");
    ASSERT_EQ(OSSetEnvironmentVariable("Big", a.c_str()), NOERROR);
    ASSERT_EQ(OSSetEnvironmentVariable("Tail", "2"), NOERROR);
    const std::string stateA = "Head=1\nBig=" + a + "\nTail=2\n";
    const std::string stateB = "Head=1\nBig=" + b + "\nTail=2\n";
    ASSERT_EQ(ReadFile(Ini()), stateA);

    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i)
            OSSetEnvironmentVariable("Big", (i % 2 == 0 ? b : a).c_str());
        done = true;
    });
    int reads = 0, torn = 0, badValue = 0;
    while (!done || reads < 10) {
        const std::string content = ReadFile(Ini());
        if (content != stateA && content != stateB)
            ++torn;
        Got big = Get("Big", 4000);
        if (!big.set || (big.value != a && big.value != b) || !Get("Tail").set)
            ++badValue;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << reads;
    EXPECT_EQ(badValue, 0) << "of " << reads;
}

/* Writing notes.ini bypassed the fault seam, so no sweep could fail or
 * crash it at its create, write, fsync or rename. Each of the four steps
 * fails with its errno as a status, keeps the old file whole and leaves no
 * temporary file; a crash after each leaves the old file or the new one. */
TEST_F(EnvironmentTest, NotesIniWritePassesTheFaultSeamAtEveryStep)
{
    const std::string before = "Keep=1\nMode=old\n";
    WriteFile(Ini(), before);
    PortFaultArm(0, 0, 0);
    ASSERT_EQ(OSSetEnvironmentVariable("Mode", "probe"), NOERROR);
    ASSERT_EQ(PortFaultCount(), 4) << "create, write, fsync, rename";

    struct Case {
        int err;
        STATUS want;
    };
    for (long n = 1; n <= 4; ++n) {
        for (const Case &c : {Case{EIO, ERR_IO}, Case{ENOSPC, ERR_DISK_FULL}}) {
            SCOPED_TRACE(testing::Message() << "operation " << n << " errno " << c.err);
            WriteFile(Ini(), before);
            PortFaultArm(2, n, c.err);
            EXPECT_EQ(OSSetEnvironmentVariable("Mode", "new"), c.want);
            PortFaultArm(0, 0, 0);
            EXPECT_EQ(ReadFile(Ini()), before);
            EXPECT_EQ(Get("Mode").value, "old");
            EXPECT_EQ(vqtest::ListDir(data_.path()), (std::vector<std::string>{"notes.ini"}));
        }
    }

    GTEST_FLAG_SET(death_test_style, "fast");
    for (long n = 1; n <= 4; ++n) {
        SCOPED_TRACE(n);
        WriteFile(Ini(), before);
        EXPECT_EXIT(
            {
                PortFaultArm(1, n, 0);
                OSSetEnvironmentVariable("Mode", "new");
                std::_Exit(0);
            },
            testing::ExitedWithCode(PORT_CRASH_EXIT), "");
        EXPECT_EQ(ReadFile(Ini()), n < 4 ? before : std::string("Keep=1\nMode=new\n"));
    }
}

TEST_F(EnvironmentTest, StartUpArgumentNamesNotesIni)
{
    vqtest::TempDir other;
    const std::string ini = other / "server.ini";
    std::string arg = "=" + ini;
    char prog[] = "vortiq";
    char *argv[] = {prog, &arg[0], nullptr};
    ASSERT_EQ(NotesInitExtended(2, argv), NOERROR);
    EXPECT_EQ(std::string(OSGetDataDirectory()), other.path());
    EXPECT_TRUE(vqtest::FileExists(ini)); /* created empty */
    EXPECT_EQ(ReadFile(ini), "");
    ASSERT_EQ(OSSetEnvironmentVariable("Where", "other"), NOERROR);
    EXPECT_EQ(ReadFile(ini), "Where=other\n");

    std::string bad = "=" + (other / "no/such/dir/notes.ini");
    char *argvBad[] = {prog, &bad[0], nullptr};
    EXPECT_EQ(NotesInitExtended(2, argvBad), ERR_NOEXIST);
}

TEST_F(EnvironmentTest, NotesDataAndTestDirectory)
{
    vqtest::TempDir other;
    {
        vqtest::EnvGuard notesData("NOTES_DATA", (other.path() + "/").c_str());
        char prog[] = "vortiq";
        char *argv[] = {prog, nullptr};
        EXPECT_EQ(NotesInitExtended(1, argv), NOERROR);
        EXPECT_EQ(std::string(OSGetDataDirectory()), other.path());
    }

    vqtest::SetDataDirectory(data_.path() + "/");
    EXPECT_EQ(std::string(OSGetDataDirectory()), data_.path());
    WriteFile(Ini(), "Here=yes\n");
    EXPECT_TRUE(Get("Here").set);
}

}  // namespace
