/*
 * environment_test.cpp - notes.ini as operators and other processes leave
 * it: CR LF lines and keys in any case, changes made by another writer,
 * and writes that are atomic under a concurrent reader and at every
 * failing or crashing step.
 */
#include <fcntl.h>
#include <sys/stat.h>

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
    std::string Ini() const { return data_ / "notes.ini"; }
};

/* A value as read with a limit; "<unset>" when the key is missing. */
std::string Get(const char *name, WORD limit = MAXENVVALUE - 1)
{
    std::string buf(limit + 1u, '#');
    if (!OSGetEnvironmentString(name, &buf[0], limit))
        return "<unset>";
    return buf.c_str();
}

TEST_F(EnvironmentTest, LinesAsAnEditorLeavesThem)
{
    WriteFile(Ini(), "VortiqDomain=FAXDOM\r\nEmpty=\nSpaced =  two words  \nnoequals\n");
    const std::pair<const char *, const char *> cases[] = {
        {"VortiqDomain", "FAXDOM"}, {"VORTIQDOMAIN", "FAXDOM"}, {"Empty", ""},
        {"Spaced", "two words"}, {"noequals", "<unset>"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Get(c.first), c.second) << c.first;

    /* another writer, same size: the modification time tells */
    WriteFile(Ini(), "VortiqDomain=OTHERS\r\n");
    struct timespec times[2] = {{0, UTIME_NOW}, {1000000000, 0}};
    utimensat(AT_FDCWD, Ini().c_str(), times, 0);
    EXPECT_EQ(Get("VortiqDomain"), "OTHERS");
}

TEST_F(EnvironmentTest, ConcurrentWriterAndReaderNeverSeeATornFile)
{
    /* Two whole states alternate; anything else read is a torn file. */
    const std::string a(3000, 'a'), b(2000, 'b');
    WriteFile(Ini(), "Head=1\nBig=" + a + "\nTail=2\n");
    const std::string stateA = ReadFile(Ini()), stateB = "Head=1\nBig=" + b + "\nTail=2\n";
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i)
            OSSetEnvironmentVariable("Big", (i % 2 == 0 ? b : a).c_str());
        done = true;
    });
    int reads = 0, torn = 0;
    while (!done || reads < 10) {
        const std::string content = ReadFile(Ini());
        const std::string big = Get("Big", 4000);
        torn += (content != stateA && content != stateB) || (big != a && big != b) ||
                Get("Tail") != "2";
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << reads;
}

/* Each of the write's four steps (create, write, fsync, rename) fails with
 * its errno as a status, keeps the old file and leaves no temporary file;
 * a crash after each leaves the old file or the new one. */
TEST_F(EnvironmentTest, WriteIsAtomicAtEveryFailingOrCrashingStep)
{
    const std::string before = "Keep=1\nMode=old\n";
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
            EXPECT_EQ(Get("Mode"), "old");
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

}  // namespace
