/*
 * inbound_e2e_test.cpp - fax to mail with the real gateway on the files a
 * fax server leaves, written here byte for byte rather than by faxsim (so
 * a mistake that faxsim and the gateway's reader share cannot hide): the
 * image, then the control file renamed into FAX/IN when complete. The fax
 * names its user and carries that user's DID; it reaches the user's mail
 * file with the image as "RX.FAX" and the information block in the body,
 * the spool is emptied and the activity database has the entry.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "e2e_support.h"
#include "test_support.h"

namespace {

using vqe2e::Item;
using vqe2e::Json;
using vqtest::ListDir;

TEST(InboundEndToEnd, DroppedFaxReachesTheUserWithItsImage)
{
    vqtest::TempDir tmp;
    const std::string data = tmp / "data", spool = data + "/spool/TMBFAX/FAX/";
    std::string why;
    ASSERT_TRUE(vqe2e::SetUpData(data, &why)) << why;

    std::string image("II*\0\r\n\x1a\n", 8);
    for (int i = 0; i < 4096; ++i)
        image.push_back((char)(i * 31 + 7));
    vqtest::WriteFile(spool + "IPARCEL/RX000001", image);
    vqtest::WriteFile(spool + "IN/RX.TMP",
                      "To: Jane Roe\r\nSubject: Test fax\r\nAttachment: RX000001\r\n\r\n"
                      "Receive Time: 03/05/26 09:07\r\nTSI Received: +1 555 0199\r\n"
                      "Pages Received: 1\r\nDID Received: 555-0100\r\n");
    ASSERT_EQ(std::rename((spool + "IN/RX.TMP").c_str(), (spool + "IN/ST000001").c_str()), 0);

    vqe2e::Gateway gw(data);
    ASSERT_TRUE(gw.Start()) << gw.Console();
    Json fax, entries;
    const bool done = vqe2e::Eventually(
        [&] {
            Json faxes = vqe2e::Where(vqe2e::Documents(data, "mail/jroe.nsf"), "Subject", "Test fax");
            fax = faxes.empty() ? Json() : faxes[0];
            entries = vqe2e::Where(vqe2e::Documents(data, "TMB_ACT.NSF", false), "Type", "RX");
            return !fax.is_null() && !entries.empty() && ListDir(spool + "IN").empty() &&
                   ListDir(spool + "IPARCEL").empty();
        },
        40);
    ASSERT_TRUE(done) << "mail: " << fax.dump() << "\nentries: " << entries.dump() << "\n" << gw.Log();

    EXPECT_EQ(vqe2e::AttachmentNames(fax), std::vector<std::string>{"RX.FAX"});
    const std::string id = std::to_string(fax["noteid"].get<unsigned long>());
    const std::string extracted = tmp / "extracted";
    vqe2e::Result x = vqe2e::Notesctl(data, {"mail", "extract", "mail/jroe.nsf", id, "RX.FAX", extracted});
    ASSERT_EQ(x.code, 0) << x.Describe();
    EXPECT_TRUE(vqtest::ReadFile(extracted) == image) << "RX.FAX differs from the image";
    const Json shown = vqe2e::NotesctlJson(data, {"mail", "show", "mail/jroe.nsf", id, "--json"});
    ASSERT_TRUE(shown.is_object());
    const std::string body = shown.value("body", "");
    EXPECT_NE(body.find("Receive Time:\t03/05/26 09:07"), std::string::npos) << body;
    EXPECT_NE(body.find("TSI Received:\t+1 555 0199"), std::string::npos) << body;
    EXPECT_TRUE(ListDir(spool + "ERROR").empty());
    for (const auto &e : entries)
        EXPECT_EQ(Item(e, "To"), "Jane Roe") << e.dump();
    EXPECT_EQ(gw.Quit(), 0) << gw.Log();
    for (const auto &n : ListDir(data))
        EXPECT_EQ(n.find(".TMP"), std::string::npos) << "body file left behind: " << n;
}

}  // namespace
