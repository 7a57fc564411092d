/*
 * activity_entry_test.cpp - the activity entries of a received fax: one
 * "Job Entry" per recipient, the "To" column reduced from the address,
 * and what happens without recipients or without the activity database.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "inbound.h"

namespace {

const std::vector<std::string> kColumns = {" ",  "03/05",       "09:07", "RX",   "00",    "",
                                           "+1 555 0199", "3", "0000", " ", "00:42", " "};

class ActivityEntryTest : public vqtest::GatewayTest {
protected:
    /* Runs log_in_activity over the recipients with kColumns; returns its
     * status and leaves the caller's "To" column in lastTo_. */
    STATUS Log(const std::vector<std::string> &recipients)
    {
        ENTRYCOL col[ENTRY_COLS];
        std::memset(col, 0, sizeof col);
        for (int i = 0; i < ENTRY_ITEMS; ++i)
            VqCopy(col[i], ENTRY_COL_SIZE, kColumns[i].c_str());
        DHANDLE h = vqtest::MakeTextList(recipients);
        STATUS s = log_in_activity(col, h);
        OSUnlockObject(h); /* what the caller does after the call */
        EXPECT_EQ(OSMemFree(h), NOERROR);
        lastTo_ = col[ENTRY_TO];
        return s;
    }
    std::string lastTo_;
};

TEST_F(ActivityEntryTest, OneEntryPerRecipientIdenticalButForTo)
{
    vqtest::CreateActivityDb();
    const std::string longCn(40, 'c');
    const std::string longPlain(100, 'p');
    EXPECT_EQ(Log({"CN=Jane Roe/O=Acme@FAXGATE", "Fax Admin", "CN=" + longCn + "/O=Acme", "CN=", longPlain}),
              NOERROR);

    std::vector<std::string> want = {"CN=", "Fax Admin", "Jane Roe", longCn.substr(0, 31),
                                     longPlain.substr(0, 63)};
    std::vector<std::string> got;
    for (NOTEID id : vqtest::DocumentIds(vqtest::kActDb)) {
        std::map<std::string, std::string> entry = vqtest::JobEntryOf(id);
        got.push_back(entry["To"]);
        entry["To"] = "";
        EXPECT_EQ(entry, vqtest::JobEntry(kColumns));
    }
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    /* the caller's column is left holding the last recipient */
    EXPECT_EQ(lastTo_, longPlain.substr(0, 63));
    EXPECT_EQ(E_quit, 0);
}

TEST_F(ActivityEntryTest, NoRecipientsOrNoDatabase)
{
    vqtest::CreateActivityDb();
    EXPECT_EQ(Log({}), NOERROR);
    EXPECT_TRUE(vqtest::DocumentIds(vqtest::kActDb).empty());
    EXPECT_TRUE(vqtest::LogEntries().empty());

    VqCopy(ActLogNsf, sizeof ActLogNsf, "NOSUCH.NSF");
    EXPECT_NE(Log({"CN=Jane Roe/O=Acme"}), NOERROR);
    EXPECT_EQ(E_quit, 1);
    EXPECT_EQ(vqtest::LogSummary(), (std::vector<vqtest::Logged>{{VQM_DS0, "Error Opening DB", true}}));
}

}  // namespace
