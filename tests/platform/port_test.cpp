/*
 * port_test.cpp - the POSIX port's habits the gateway relies on but that
 * no gateway test reaches: text-mode reads, renames that never replace,
 * and every durable operation passing the fault seam.
 */
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "test_support.h"
#include "vq_port.h"

namespace {

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

/* CR LF is one line end, a lone CR is text, CTRL+Z ends the file for
 * good (or reads as a blank for PortFgetsLine); a short buffer splits a
 * line; a CR LF split between two fills of a small stream buffer and a NUL
 * byte are read as any other. */
TEST_F(PortTest, TextModeReads)
{
    struct Case {
        std::string bytes;
        int bufSize;
        std::vector<std::string> lines;
        std::string whole; /* PortFreadText of the same bytes */
        size_t streamBuf = 0; /* setvbuf size, 0: the default */
        bool blank = false;   /* PortFgetsLine */
    } cases[] = {
        {"one\r\ntwo\rstill\nthree\r\n\r\nlast\x1A" "after\n", 64,
         {"one\n", "two\rstill\n", "three\n", "\n", "last"}, "one\ntwo\rstill\nthree\n\nlast"},
        {"abcdef\r\ngh\r\n", 4, {"abc", "def", "\n", "gh\n"}, "abcdef\ngh\n"},
        {std::string("ab\r\nc\0d\r\n\r\x1A\r\n", 13), 4, {"ab\n", "c", "\n", "\r"},
         std::string("ab\nc\0d\n\r", 8), 3},
        {std::string("ab\r\nc\0d\r\n\r\x1A\r\n", 13), 4, {"ab\n", "c", "\n", "\r \n"},
         std::string("ab\nc\0d\n\r", 8), 3, true},
    };
    for (const Case &c : cases) {
        WriteFile(P("t.txt"), c.bytes);
        FILE *f = PortFopen(P("t.txt").c_str(), "rt");
        ASSERT_NE(f, nullptr);
        if (c.streamBuf != 0)
            setvbuf(f, nullptr, _IOFBF, c.streamBuf);
        auto *read = c.blank ? PortFgetsLine : PortFgets;
        std::vector<std::string> lines;
        char buf[64];
        while (read(buf, c.bufSize, f) != nullptr)
            lines.push_back(buf);
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(read(buf, c.bufSize, f), nullptr) << "the end stays the end";
        PortFclose(f);
        f = PortFopen(P("t.txt").c_str(), "rb");
        const size_t n = PortFreadText(buf, sizeof buf, f);
        EXPECT_EQ(std::string(buf, n), c.whole);
        PortFclose(f);
    }
}

TEST_F(PortTest, RenameNeverReplaces)
{
    WriteFile(P("new"), "new");
    WriteFile(P("held"), "held by the fax server");
    EXPECT_EQ(PortRename(P("new").c_str(), P("held").c_str()), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadFile(P("held")), "held by the fax server");
    EXPECT_EQ(PortRename(P("new").c_str(), P("free").c_str()), 0);
    EXPECT_EQ(ReadFile(P("free")), "new");
    EXPECT_FALSE(vqtest::FileExists(P("new")));
    /* nor does an exclusive create */
    EXPECT_EQ(PortFopen(P("held").c_str(), "wbx"), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(ReadFile(P("held")), "held by the fax server");
}

/* The crash sweeps count on create, write, fsync, rename and unlink each
 * passing the seam: an operation that bypasses it is never swept. */
TEST_F(PortTest, EveryDurableOperationCanBeFailed)
{
    for (long n = 1; n <= 5; ++n) {
        SCOPED_TRACE(n);
        PortFaultArm(2, n, EIO);
        bool failed = false;
        FILE *f = PortFopen(P("a.txt").c_str(), "w");
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
        PortFaultArm(0, 0, 0);
        unlink(P("a.txt").c_str());
        unlink(P("b.txt").c_str());
    }
}

}  // namespace
