/*
 * fuzz_regressions_test.cpp - faults the fuzz targets of fuzz/ found in
 * the outbound readers, each kept as a case named after it. The inputs
 * that found them are in fuzz/corpus/ as well.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "outbound.h"
#include "test_support.h"

namespace {

/* A raw text-list value (without its type word) from a WORD count, WORD
 * lengths and the text bytes. */
std::string RawList(WORD Count, const std::vector<WORD> &Lengths, const std::string &Texts)
{
    std::string v(reinterpret_cast<const char *>(&Count), sizeof Count);
    for (WORD l : Lengths)
        v.append(reinterpret_cast<const char *>(&l), sizeof l);
    return v + Texts;
}

class FuzzRegressionTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        vqtest::PlatformTest::SetUp();
        ASSERT_EQ(NSFDbCreate("items.nsf", DBCLASS_NOTEFILE, TRUE), NOERROR);
        ASSERT_EQ(NSFDbOpen("items.nsf", &db_), NOERROR);
        IsTambriDll = 0;
    }
    void TearDown() override
    {
        if (db_ != NULLHANDLE)
            NSFDbClose(db_);
        vqtest::PlatformTest::TearDown();
    }
    /* The names AddToItems lists for a message whose SendTo item is the
     * stored value Raw of type TYPE_TEXT_LIST. */
    std::vector<std::string> Listed(const std::string &Raw, STATUS *Status)
    {
        std::vector<std::string> names;
        NOTEHANDLE hNote = NULLHANDLE;
        DHANDLE hList = NULLHANDLE;
        LIST *list = nullptr;
        WORD size = 0, amt = 0;
        EXPECT_EQ(NSFNoteCreate(db_, &hNote), NOERROR);
        EXPECT_EQ(NSFItemAppend(hNote, 0, "SendTo", 6, TYPE_TEXT_LIST, Raw.data(), Raw.size()),
                  NOERROR);
        EXPECT_EQ(ListAllocate(0, 0, TRUE, &hList, &list, &size), NOERROR);
        OSUnlockObject(hList);
        *Status = AddToItems(hList, &size, &amt, hNote, MAIL_SENDTO_ITEM_NUM);
        list = (LIST *)OSLockObject(hList);
        EXPECT_EQ(ListGetNumEntries(list, TRUE), amt);
        for (WORD i = 0; i < amt; i++) {
            char *text = nullptr;
            WORD len = 0;
            EXPECT_EQ(ListGetText(list, TRUE, i, &text, &len), NOERROR);
            names.emplace_back(text, len);
        }
        OSUnlockObject(hList);
        OSMemFree(hList);
        NSFNoteClose(hNote);
        return names;
    }
    DBHANDLE db_ = NULLHANDLE;
};

/* A stored SendTo list whose header claims more entries or longer texts
 * than the value holds was read past its end (found by
 * recipient_items_fuzz). Such a list now lists nobody; a whole one still
 * lists every name. */
TEST_F(FuzzRegressionTest, AddToItemsDamagedListHeaderIsNotReadPastTheValue)
{
    struct Case {
        const char *name;
        std::string raw;
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"one byte, no count", std::string("\xb7", 1), {}},
        {"count beyond the lengths", RawList(3, {4}, "abcd"), {}},
        {"length beyond the texts", RawList(1, {1000}, "Jane Roe"), {}},
        {"second length beyond the texts", RawList(2, {8, 60000}, "Jane RoeAnn"), {}},
        {"whole list", RawList(2, {8, 24}, "Jane RoeAnn Lee@555.0100@FAXGATE"),
         {"Jane Roe", "Ann Lee"}},
        {"empty list", RawList(0, {}, ""), {}},
        {"trailing bytes after a whole list", RawList(1, {3}, "Bobxyz"), {"Bob"}},
    };
    for (const Case &c : cases) {
        STATUS status = 1;
        std::vector<std::string> got = Listed(c.raw, &status);
        EXPECT_EQ(status, NOERROR) << c.name;
        EXPECT_EQ(got, c.want) << c.name;
    }
}

}  // namespace
