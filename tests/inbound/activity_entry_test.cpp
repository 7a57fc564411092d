/*
 * activity_entry_test.cpp - the activity entries of a received fax: one
 * "Job Entry" per recipient, the "To" column reduced from the address,
 * and what happens when the activity database is missing.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "inbound.h"
#include "notes_fixture.h"
#include "test_support.h"

namespace {

const char *const kItems[ENTRY_ITEMS] = {"JobID", "Date",  "Time", "Type",        "Attempts",   "To",
                                         "From",  "Pages", "Code", "Explanation", "Connection", "Speed"};

/* A prefixed text list of the given entries, unlocked. */
DHANDLE MakeList(const std::vector<std::string> &entries)
{
    DHANDLE h = NULLHANDLE;
    LIST *p = nullptr;
    WORD size = 0;
    EXPECT_EQ(ListAllocate(0, 0, TRUE, &h, &p, &size), NOERROR);
    OSUnlockObject(h);
    for (size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(ListAddEntry(h, TRUE, &size, (WORD)i, entries[i].c_str(), (WORD)entries[i].size()),
                  NOERROR);
    return h;
}

/* What the caller does after the call: unlock once, free. */
void ReleaseList(DHANDLE h)
{
    OSUnlockObject(h);
    EXPECT_EQ(OSMemFree(h), NOERROR);
}

struct Columns {
    ENTRYCOL col[ENTRY_COLS];
    Columns()
    {
        std::memset(col, 0, sizeof col);
        const char *values[ENTRY_ITEMS] = {" ",  "03/05", "09:07", "RX",  "00", "",
                                           "+1 555 0199", "3", "0000", " ", "00:42", " "};
        for (int i = 0; i < ENTRY_ITEMS; ++i)
            VqCopy(col[i], ENTRY_COL_SIZE, values[i]);
    }
};

class ActivityEntryTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        VqCopy(ActLogNsf, sizeof ActLogNsf, "TMB_ACT.NSF");
        vqtest::CreateActivityDb();
        E_quit = 0;
    }
    std::vector<std::string> ToColumns()
    {
        std::vector<std::string> to;
        for (NOTEID id : vqtest::DocumentIds("TMB_ACT.NSF"))
            to.push_back(vqtest::ItemText("TMB_ACT.NSF", id, "To"));
        std::sort(to.begin(), to.end());
        return to;
    }
};

TEST_F(ActivityEntryTest, OneEntryPerRecipientIdenticalButForTo)
{
    const std::string longCn(40, 'c');
    const std::string longPlain(100, 'p');
    DHANDLE h = MakeList({"CN=Jane Roe/O=Acme@FAXGATE", "Fax Admin", "CN=" + longCn + "/O=Acme",
                          "CN=", longPlain});
    Columns cols;
    EXPECT_EQ(log_in_activity(cols.col, h), NOERROR);
    ReleaseList(h);

    std::vector<std::string> want = {"CN=", "Fax Admin", "Jane Roe", longCn.substr(0, 31),
                                     longPlain.substr(0, 63)};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(ToColumns(), want);
    /* the caller's column is left holding the last recipient */
    EXPECT_EQ(std::string(cols.col[ENTRY_TO]), longPlain.substr(0, 63));

    const Columns expect;
    for (NOTEID id : vqtest::DocumentIds("TMB_ACT.NSF")) {
        EXPECT_EQ(vqtest::ItemText("TMB_ACT.NSF", id, "FORM"), "Job Entry");
        for (int i = 0; i < ENTRY_ITEMS; ++i) {
            if (i == ENTRY_TO)
                continue;
            EXPECT_EQ(vqtest::ItemText("TMB_ACT.NSF", id, kItems[i]), expect.col[i]) << kItems[i];
        }
    }
    EXPECT_EQ(E_quit, 0);
}

TEST_F(ActivityEntryTest, EmptyListWritesNothing)
{
    DHANDLE h = MakeList({});
    Columns cols;
    EXPECT_EQ(log_in_activity(cols.col, h), NOERROR);
    ReleaseList(h);
    EXPECT_TRUE(vqtest::DocumentIds("TMB_ACT.NSF").empty());
}

TEST_F(ActivityEntryTest, MissingDatabaseStopsTheTask)
{
    VqCopy(ActLogNsf, sizeof ActLogNsf, "NOSUCH.NSF");
    DHANDLE h = MakeList({"CN=Jane Roe/O=Acme"});
    Columns cols;
    EXPECT_NE(log_in_activity(cols.col, h), NOERROR);
    ReleaseList(h);
    EXPECT_EQ(E_quit, 1);
    auto log = vqtest::LogEntries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].id, VQM_DS0);
    EXPECT_EQ(log[0].arg, "Error Opening DB");
    E_quit = 0;
}

}  // namespace
