/*
 * lists_test.cpp - text lists in the Notes layout: round trips with and
 * without the data-type prefix, the gateway's own list habits, growth
 * through the handle, the 64K limit, and lookups of missing entries.
 */
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "vq_runtime.h"

namespace {

using Texts = std::vector<std::string>;

class ListsTest : public vqtest::PlatformTest {};

/* The gateway's list habit: allocate empty, unlock, add at the count. */
const auto BuildList = vqtest::MakeTextList;
const auto ReadList = vqtest::ReadTextList;

void FreeList(DHANDLE h)
{
    OSUnlockObject(h);
    EXPECT_EQ(OSMemFree(h), NOERROR);
}

TEST_F(ListsTest, RoundTripThroughEveryCall)
{
    const Texts cases[] = {
        {},
        {""},
        {"", "", ""},
        {"Jane Doe @ FAXDOM", "", "x"},
        {std::string("a\0b", 3), "second"},
        {std::string(65000, 'z')},
    };
    for (BOOL prefix : {TRUE, FALSE}) {
        for (const Texts &want : cases) {
            SCOPED_TRACE(testing::Message() << "prefix " << prefix << ", " << want.size() << " entries");
            WORD size = 0;
            DHANDLE h = BuildList(want, prefix, &size);
            /* Unlock-then-lock for a fresh pointer, as the callers do. */
            void *p = OSLockObject(h);
            ASSERT_NE(p, nullptr);
            size_t textBytes = 0;
            for (const auto &t : want)
                textBytes += t.size();
            EXPECT_EQ(size, (prefix ? 2u : 0u) + 2u + 2u * want.size() + textBytes);
            EXPECT_EQ(ListGetSize(p, prefix), size);
            EXPECT_EQ(ReadList(p, prefix), want);

            DHANDLE copy = NULLHANDLE;
            ASSERT_EQ(ListDuplicate(static_cast<LIST *>(p), prefix, &copy), NOERROR);
            /* The copy comes back unlocked: a plain free must succeed. */
            void *q = OSLockObject(copy);
            EXPECT_EQ(std::memcmp(p, q, size), 0);
            EXPECT_EQ(ReadList(q, prefix), want);
            FreeList(copy);
            FreeList(h);
        }
    }
}

TEST_F(ListsTest, BinaryLayout)
{
    WORD size = 0;
    DHANDLE h = BuildList({"ab", "", "cde"}, TRUE, &size);
    auto *p = static_cast<const unsigned char *>(OSLockObject(h));
    const unsigned char want[] = {0x01, 0x05, 3, 0, 2, 0, 0, 0, 3, 0, 'a', 'b', 'c', 'd', 'e'};
    ASSERT_EQ(size, sizeof want);
    EXPECT_EQ(std::memcmp(p, want, sizeof want), 0);
    FreeList(h);

    h = BuildList({"ab"}, FALSE, &size);
    p = static_cast<const unsigned char *>(OSLockObject(h));
    const unsigned char bare[] = {1, 0, 2, 0, 'a', 'b'};
    ASSERT_EQ(size, sizeof bare);
    EXPECT_EQ(std::memcmp(p, bare, sizeof bare), 0);
    FreeList(h);
}

TEST_F(ListsTest, AllocateWithEmptyEntriesAndInsertInTheMiddle)
{
    DHANDLE h = NULLHANDLE;
    void *p = nullptr;
    WORD size = 0;
    ASSERT_EQ(ListAllocate(2, 10, TRUE, &h, &p, &size), NOERROR);
    EXPECT_EQ(ListGetNumEntries(p, TRUE), 2);
    EXPECT_EQ(ReadList(p, TRUE), (Texts{"", ""}));
    OSUnlockObject(h);

    ASSERT_EQ(ListAddEntry(h, TRUE, &size, 2, "last", 4), NOERROR);
    ASSERT_EQ(ListAddEntry(h, TRUE, &size, 0, "first", 5), NOERROR);
    ASSERT_EQ(ListAddEntry(h, TRUE, &size, 2, "mid", 3), NOERROR);
    p = OSLockObject(h);
    EXPECT_EQ(ReadList(p, TRUE), (Texts{"first", "", "mid", "", "last"}));
    EXPECT_EQ(size, ListGetSize(p, TRUE));
    OSUnlockObject(h);

    /* Past the count is refused and the list stays as it was. */
    EXPECT_NE(ListAddEntry(h, TRUE, &size, 9, "x", 1), NOERROR);
    p = OSLockObject(h);
    EXPECT_EQ(ListGetNumEntries(p, TRUE), 5);
    FreeList(h);
}

TEST_F(ListsTest, MissingEntryIsAnError)
{
    WORD size = 0;
    DHANDLE h = BuildList({"only"}, TRUE, &size);
    void *p = OSLockObject(h);
    char *text = nullptr;
    WORD len = 99;
    EXPECT_EQ(ListGetText(p, TRUE, 1, &text, &len), ERR_ODS_NO_SUCH_ENTRY);
    EXPECT_EQ(ListGetText(p, TRUE, 0xFFFF, &text, &len), ERR_ODS_NO_SUCH_ENTRY);
    FreeList(h);

    h = BuildList({}, FALSE, &size);
    p = OSLockObject(h);
    EXPECT_EQ(ListGetText(p, FALSE, 0, &text, &len), ERR_ODS_NO_SUCH_ENTRY);
    FreeList(h);
}

TEST_F(ListsTest, SixtyFourKLimit)
{
    WORD size = 0;
    DHANDLE h = BuildList({std::string(65000, 'a')}, TRUE, &size);
    /* 65006 used; 2 more length bytes and 528 text bytes would pass 65535. */
    const std::string more(528, 'b');
    EXPECT_EQ(ListAddEntry(h, TRUE, &size, 1, more.data(), (WORD)more.size()), ERR_SEGMENT_TOO_BIG);
    EXPECT_EQ(size, 65006);
    const std::string fits(527, 'c');
    EXPECT_EQ(ListAddEntry(h, TRUE, &size, 1, fits.data(), (WORD)fits.size()), NOERROR);
    EXPECT_EQ(size, 65535);
    void *p = OSLockObject(h);
    EXPECT_EQ(ReadList(p, TRUE), (Texts{std::string(65000, 'a'), fits}));
    FreeList(h);
}

/* A list handed around by handle: the callee grows it many times. */
void AddMany(DHANDLE h, WORD *size, int n)
{
    for (int i = 0; i < n; ++i) {
        void *p = OSLockObject(h);
        const WORD count = ListGetNumEntries(p, TRUE);
        OSUnlockObject(h);
        const std::string t = "entry " + std::to_string(i);
        ASSERT_EQ(ListAddEntry(h, TRUE, size, count, t.data(), (WORD)t.size()), NOERROR);
    }
}

TEST_F(ListsTest, ListHandedAroundByHandleSurvivesGrowth)
{
    WORD size = 0;
    DHANDLE h = BuildList({"head"}, TRUE, &size);
    AddMany(h, &size, 2000);
    void *p = OSLockObject(h);
    Texts got = ReadList(p, TRUE);
    ASSERT_EQ(got.size(), 2001u);
    EXPECT_EQ(got[0], "head");
    EXPECT_EQ(got[1], "entry 0");
    EXPECT_EQ(got[2000], "entry 1999");
    EXPECT_EQ(ListGetSize(p, TRUE), size);
    FreeList(h);
}

TEST_F(ListsTest, EntryCopiedFromTheListItself)
{
    WORD size = 0;
    DHANDLE h = BuildList({"alpha", "beta"}, FALSE, &size);
    char *text = nullptr;
    WORD len = 0;
    void *p = OSLockObject(h);
    ASSERT_EQ(ListGetText(p, FALSE, 1, &text, &len), NOERROR);
    /* The text lies inside the very list the call reallocates. */
    ASSERT_EQ(ListAddEntry(h, FALSE, &size, 0, text, len), NOERROR);
    OSUnlockObject(h);
    p = OSLockObject(h);
    EXPECT_EQ(ReadList(p, FALSE), (Texts{"beta", "alpha", "beta"}));
    FreeList(h);
}

}  // namespace
