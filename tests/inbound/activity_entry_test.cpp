/*
 * activity_entry_test.cpp - the activity entries of a received fax: one
 * "Job Entry" per recipient, identical but for "To", which is reduced
 * from the address; and the task stopped without the activity database.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "inbound.h"

namespace {

const std::vector<std::string> kColumns = {" ", "03/05", "09:07", "RX", "00", "", "+1 555 0199", "3", "0000", " ",
                                           "00:42", " "};

class ActivityEntryTest : public vqtest::GatewayTest {
protected:
    STATUS Log(const std::vector<std::string> &recipients)
    {
        ENTRYCOL col[ENTRY_COLS];
        std::memset(col, 0, sizeof col);
        for (int i = 0; i < ENTRY_ITEMS; ++i)
            VqCopy(col[i], ENTRY_COL_SIZE, kColumns[i].c_str());
        DHANDLE h = vqtest::MakeTextList(recipients);
        STATUS s = log_in_activity(col, h);
        OSUnlockObject(h); /* the call leaves the list locked */
        EXPECT_EQ(OSMemFree(h), NOERROR);
        return s;
    }
};

TEST_F(ActivityEntryTest, OneEntryPerRecipientIdenticalButForTo)
{
    vqtest::CreateActivityDb();
    const std::string cn(40, 'c'), plain(100, 'p');
    EXPECT_EQ(Log({"CN=Jane Roe/O=Acme@FAXGATE", "Fax Admin", "CN=" + cn + "/O=Acme", "CN=", plain}), NOERROR);
    std::vector<std::string> want = {"CN=", "Fax Admin", "Jane Roe", cn.substr(0, 31), plain.substr(0, 63)}, got;
    for (NOTEID id : vqtest::DocumentIds(vqtest::kActDb)) {
        auto entry = vqtest::JobEntryOf(id);
        got.push_back(entry["To"]);
        entry["To"] = "";
        EXPECT_EQ(entry, vqtest::JobEntry(kColumns));
    }
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(E_quit, 0);

    VqCopy(ActLogNsf, sizeof ActLogNsf, "NOSUCH.NSF");
    EXPECT_NE(Log({"CN=Jane Roe/O=Acme"}), NOERROR);
    EXPECT_EQ(E_quit, 1);
    EXPECT_EQ(vqtest::LogSummary(), (std::vector<vqtest::Logged>{{VQM_DS0, "Error Opening DB", true}}));
}

}  // namespace
