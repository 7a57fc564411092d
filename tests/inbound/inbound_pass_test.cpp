// inbound_pass_test.cpp - DoInboundTask for what the end-to-end roads do not show.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>

#include "gateway_fixture.h"
#include "inbound.h"
#include "sandbox.h"

namespace {

using namespace vqtest;
using Names = std::vector<std::string>;

// An image with the bytes a text-mode copy would damage.
std::string ImageBytes(char tag)
{
    std::string s("II*\0\r\n\x1a\n\r", 9);
    for (int i = 0; i < 600; ++i)
        s.push_back((char)(i * 7 + tag));
    return s;
}

const std::string kFax = "To: Jane Roe\r\nSubject: Test fax\r\nAttachment: RX000001\r\n\r\n"
                         "Receive Time: 03/05/26 09:07\r\nPages Received: 2\r\n";

class InboundPassTest : public GatewayTest {
protected:
    TempDir work_; // current directory of the pass (body files)
    std::string in_, iparcel_, error_, jane_, john_, admin_;

    void SetUp() override
    {
        GatewayTest::SetUp();
        in_ = Spool(SPOOL_FAX_IN), iparcel_ = Spool(SPOOL_FAX_IPARCEL), error_ = Spool(SPOOL_FAX_ERROR);
        MakeDirs(data_ / "mail");
        admin_ = AddPerson("Fax Admin", "fadmin", "mail/admin.nsf");
        jane_ = AddPerson("Jane Roe", "jroe", "mail/jroe.nsf", "555-0100");
        john_ = AddPerson("John Doe", "jdoe", "mail/jdoe.nsf");
        CreateMailFile("mail.box");
        CreateActivityDb();
        VqCopy(DefRecipient, sizeof DefRecipient, "Jane Roe");
        ASSERT_EQ(MailLookupAddress("Fax Admin", FaxAdministrator), NOERROR);
    }
    // Written under another name and renamed in, as the fax server does.
    void Drop(const std::string &name, const std::string &content)
    {
        WriteFile(in_ + "/.tmp-" + name, content);
        std::filesystem::rename(in_ + "/.tmp-" + name, in_ + "/" + name);
    }
    void Image(const std::string &name, char tag) { WriteFile(iparcel_ + "/" + name, ImageBytes(tag)); }
    void RunPass()
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        ASSERT_EQ(chdir(work_.path().c_str()), 0);
        DoInboundTask();
        ASSERT_EQ(chdir(cwd), 0);
    }
};

// Named recipients in order, the administrator once for unknown names; one activity entry per recipient.
TEST_F(InboundPassTest, RecipientsInOrderWithTheAdministratorOnce)
{
    Drop("ST000001", "To: John Doe\r\nTo: Nobody Known @ FAXGATE\r\nTo: Someone Else   \r\n\r\n"
                     "Receive Time: 03/05/26 09:07\r\nTSI Received: +1 555 0199\r\nDID Received: 555-0100\r\n");
    RunPass();
    auto mails = MailIn("mail/jdoe.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].recipients, (Names{john_, jane_, admin_}));
    EXPECT_EQ(MailIn("mail/jroe.nsf").size(), 1u);
    EXPECT_EQ(MailIn("mail/admin.nsf").size(), 1u);
    EXPECT_EQ(LogCount(VQM_RECIPIENT_UNKNOWN, "Nobody Known"), 1);
    EXPECT_EQ(LogCount(VQM_RECIPIENT_UNKNOWN, "Someone Else"), 1);
    EXPECT_EQ(LogCount(VQM_SEND_TO_DEFAULT), 0);
    Names to;
    const std::string faxId = ItemText("mail/jdoe.nsf", mails[0].id, IN_FAX_ID_ITEM);
    ASSERT_FALSE(faxId.empty());
    for (NOTEID id : DocumentIds(kActDb)) {
        to.push_back(ItemText(kActDb, id, "To"));
        EXPECT_EQ(ItemText(kActDb, id, ENTRY_FAX_ID_ITEM), faxId) << "each entry leads to the delivered mail";
    }
    std::sort(to.begin(), to.end());
    EXPECT_EQ(to, (Names{"Fax Admin", "Jane Roe", "John Doe"}));
    const NOTEID first = DocumentIds(kActDb).at(0);
    EXPECT_EQ(ItemText(kActDb, first, "From"), "+1 555 0199");
    EXPECT_EQ(ItemText(kActDb, first, "Type"), "RX");
}

// Nothing of the first fax reaches the second; two images both attached, only the second removed.
TEST_F(InboundPassTest, NothingCarriesOverFromOneFaxToTheNext)
{
    Image("RXA", 'a');
    Image("RXB", 'b');
    Drop("ST000001", "To: Nobody Known\r\nSubject: First\r\nAttachment: RXA\r\nAttachment: RXB\r\n\r\nPages: 1\r\n");
    Drop("ST000002", "To: John Doe\r\n\r\nPages: 2\r\n");
    RunPass();

    auto admin = MailIn("mail/admin.nsf");
    ASSERT_EQ(admin.size(), 1u);
    EXPECT_EQ(admin[0].subject, "First");
    ASSERT_EQ(admin[0].attachments.size(), 2u);
    EXPECT_TRUE(admin[0].attachments[0].second == ImageBytes('a'));
    EXPECT_TRUE(admin[0].attachments[1].second == ImageBytes('b'));
    auto john = MailIn("mail/jdoe.nsf");
    ASSERT_EQ(john.size(), 1u);
    EXPECT_EQ(john[0].subject, "");
    EXPECT_TRUE(john[0].attachments.empty());
    EXPECT_EQ(john[0].recipients, Names{john_});
    EXPECT_TRUE(ListDir(in_).empty());
    EXPECT_EQ(ListDir(iparcel_), Names{"RXA"});
}

// An administrator who cannot be told: the fax waits untouched, the gateway runs, the next pass delivers it.
TEST_F(InboundPassTest, FailedFaxWaitsUntilTheAdministratorIsTold)
{
    Image("RX000001", 'd');
    Drop("ST000001", kFax);
    std::filesystem::rename(data_ / "names.nsf", data_ / "names.away");
    RunPass();
    std::filesystem::rename(data_ / "names.away", data_ / "names.nsf");
    EXPECT_EQ(ReadFile(in_ + "/ST000001"), kFax);
    EXPECT_EQ(ListDir(iparcel_), Names{"RX000001"});
    EXPECT_TRUE(ListDir(work_.path()).empty());
    EXPECT_TRUE(ListDir(error_).empty());
    EXPECT_EQ(LogCount(VQM_DS0, "Can not route error message to Admin"), 1);
    EXPECT_EQ(E_quit, 0);
    RunPass();
    EXPECT_TRUE(ListDir(in_).empty());
    ASSERT_EQ(MailIn("mail/jroe.nsf").size(), 1u);
    EXPECT_TRUE(MailIn("mail/jroe.nsf")[0].attachments.at(0).second == ImageBytes('d'));
}

// A fax's own fault fails that fax into FAX/ERROR, never over a taken name; the gateway runs on.
TEST_F(InboundPassTest, OneFaxFaultFailsOnlyThatFax)
{
    struct Row {
        const char *name, *content, *reason, *bad;
        Names taken, error; /* FAX/ERROR before and after */
    } rows[] = {
        {"taken names", "To: Jane Roe\r\nAttachment: ../x\r\n\r\n", "Attachment name is not a plain file name: ../x", "ST000001-2.BAD",
         {"ST000001.BAD", "ST000001-1"}, {"ST000001-1", "ST000001-2.BAD", "ST000001.BAD"}},
        {"missing image", kFax.c_str(), "image not found: RX000001", "ST000001.BAD", {}, {"ST000001.BAD"}},
        {"missing image, taken name", kFax.c_str(), "image not found: RX000001", "ST000001-1.BAD", {"ST000001"},
         {"ST000001", "ST000001-1.BAD"}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(error_), MakeDirs(error_);
        for (const std::string &t : row.taken)
            WriteFile(error_ + "/" + t, "an earlier failed fax");
        Drop("ST000001", row.content);
        E_quit = 0;
        RunPass();
        EXPECT_EQ(E_quit, 0);
        EXPECT_TRUE(ListDir(in_).empty());
        EXPECT_EQ(ListDir(error_), row.error);
        for (const std::string &t : row.taken)
            EXPECT_EQ(ReadFile(error_ + "/" + t), "an earlier failed fax");
        EXPECT_EQ(ReadFile(error_ + "/" + row.bad), row.content + std::string("BFailure reason: ") + row.reason + "\r\n");
    }
    EXPECT_EQ(MailIn("mail/admin.nsf").size(), 3u);
}

// A recipient whose mail file is gone, or breaks at delivery: the administrator holds the fax with its image, else the fax waits.
TEST_F(InboundPassTest, FaxLeavesOnlyWhenEveryRecipientHoldsIt)
{
    struct Row { const char *name; bool adminGone, breaksAtDelivery; int failedLogs; Names adminFaxTo; } rows[] = {
        {"John's mail file gone", false, false, 1, {jane_, admin_}},
        {"the administrator's too: the fax waits", true, false, 1, {}},
        {"John's mail file fails its commits: kept, then the administrator's copy", false, true, 2, {admin_}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string fax = "To: John Doe\r\nTo: Jane Roe\r\nAttachment: RX000001\r\n\r\nPages: 1\r\n" +
                                std::string(row.name) + "\r\n"; // a fax of its own in each row
        ClearLog();
        const size_t jane = MailIn("mail/jroe.nsf").size(), admin0 = MailIn("mail/admin.nsf").size();
        std::filesystem::remove(data_ / "mail/jdoe.nsf");
        if (row.breaksAtDelivery)
            CreateMailFile("mail/jdoe.nsf"), PortFaultScope((data_ / "mail/jdoe.nsf").c_str()), PortFaultArm(3, 1, EIO);
        if (row.adminGone)
            std::filesystem::rename(data_ / "mail/admin.nsf", data_ / "admin.away");
        Image("RX000001", 'e');
        Drop("ST000001", fax);
        RunPass();
        EXPECT_EQ(E_quit, 0);
        if (row.adminGone || row.breaksAtDelivery) {
            EXPECT_EQ(ReadFile(in_ + "/ST000001"), fax);
            EXPECT_EQ(ListDir(iparcel_), Names{"RX000001"});
        }
        if (row.adminGone) {
            EXPECT_EQ(LogCount(VQM_IN_RECIPIENT_FAILED, john_), row.failedLogs);
            std::filesystem::rename(data_ / "admin.away", data_ / "mail/admin.nsf");
            continue;
        }
        RunPass();
        PortFaultArm(0, 0, 0), PortFaultScope(nullptr);
        EXPECT_EQ(LogCount(VQM_IN_RECIPIENT_FAILED, john_), row.failedLogs);
        EXPECT_TRUE(ListDir(in_).empty());
        EXPECT_TRUE(ListDir(iparcel_).empty());
        EXPECT_EQ(MailIn("mail/jroe.nsf").size(), jane + 1);
        auto admin = MailIn("mail/admin.nsf");
        ASSERT_EQ(admin.size(), admin0 + 2); /* the fax and the report naming John */
        EXPECT_EQ(admin[admin0].recipients, row.adminFaxTo);
        EXPECT_TRUE(admin[admin0].attachments.at(0).second == ImageBytes('e'));
        EXPECT_NE(admin[admin0].body.find("Pages:"), std::string::npos);
        EXPECT_NE(admin[admin0 + 1].body.find(john_), std::string::npos);
    }
}

// A full disk or a busy mail file: nothing goes to FAX/ERROR, nobody is told of a failure, and once it clears every fax is delivered once.
TEST_F(InboundPassTest, FullDiskOrBusyMailFileDeliversLater)
{
    struct Row { const char *name; std::string scope; int err; int wantWaits; size_t wantLeft; } rows[] = {
        {"disk full everywhere but the databases' disk: the spool is only read", "", ENOSPC, 0, 0},
        {"spool full", spool_, ENOSPC, 0, 0},
        {"data directory full", "!" + spool_, ENOSPC, 1, 2},
        {"Jane's mail file locked past the timeout: the router keeps her copy", data_ / "mail/jroe.nsf", EBUSY, 1, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const size_t jane = MailIn("mail/jroe.nsf").size(), john = MailIn("mail/jdoe.nsf").size();
        Image("RX000001", 'f');
        Drop("ST000001", kFax + row.name + "\r\n"); // a fax of its own in each row
        Drop("ST000002", "To: John Doe\r\n\r\nPages: 1\r\n" + std::string(row.name) + "\r\n");
        ClearLog(), PortFaultScope(row.scope.c_str()), PortFaultArm(3, 1, row.err);
        RunPass();
        PortFaultArm(0, 0, 0), PortFaultScope(nullptr);
        EXPECT_EQ(E_quit, 0);
        EXPECT_EQ(LogCount(VQM_IN_FAX_WAITS), row.wantWaits);
        EXPECT_EQ(ListDir(in_).size(), row.wantLeft);
        EXPECT_TRUE(ListDir(error_).empty());
        VqRouteWaitingMail(nullptr);
        RunPass();
        EXPECT_TRUE(ListDir(in_).empty());
        EXPECT_EQ(MailIn("mail/jroe.nsf").size(), jane + 1);
        EXPECT_EQ(MailIn("mail/jdoe.nsf").size(), john + 1);
        EXPECT_TRUE(MailIn("mail/admin.nsf").empty()) << "nothing was reported failed";
    }
    // The same fax again reaches nobody twice; other content under the same name is another fax.
    for (int again = 0; again < 2; again++) {
        Drop("ST000002", "To: John Doe\r\nTo: Jane Roe\r\n\r\nPages: 1\r\n");
        RunPass();
    }
    EXPECT_TRUE(ListDir(in_).empty());
    EXPECT_EQ(MailIn("mail/jroe.nsf").size(), 5u);
    EXPECT_EQ(MailIn("mail/jdoe.nsf").size(), 5u);
}

// Faxes handed over together read in the log, reach the mail files and
// write activity entries exactly as when each is handled by a pass of its
// own, across a failing fax, an administrator's copy and a chunk's end.
TEST_F(InboundPassTest, FaxesTogetherAsEachAlone)
{
    AddPerson("Gone Person", "gone", "mail/gone.nsf");
    std::filesystem::remove(data_ / "mail/gone.nsf");
    const std::string did = "\r\nReceive Time: 03/05/26 09:07\r\nDID Received: 555-0100\r\n";
    Names mix = {"To: John Doe\r\nSubject: a\r\nAttachment: RX1" + did,
                 "To: Jane Roe\r\nSubject: b\r\nAttachment: ../x\r\n\r\n",
                 "To: Nobody Known\r\nSubject: c\r\nAttachment: RX3\r\n\r\nPages: 1\r\n",
                 "To: Gone Person\r\nTo: John Doe\r\nSubject: d" + did,
                 "Subject: e\r\nAttachment: RX5" + did};
    Names many;
    for (int i = 0; i < 101; i++)
        many.push_back("To: John Doe\r\nSubject: m" + std::to_string(i) + "\r\n\r\nPages: 1\r\n");
    for (const Names *faxes : {&mix, &many}) {
        SCOPED_TRACE(faxes->size());
        std::vector<Names> logs(2), mails(2), entries(2);
        Names order; // the pass's order (the folder's), kept by the faxes alone
        for (int together = 1; together >= 0; together--) {
            const size_t seen = DocumentIds(kActDb).size();
            std::map<std::string, size_t> had;
            for (const char *db : {"mail/jroe.nsf", "mail/jdoe.nsf", "mail/admin.nsf"})
                had[db] = MailIn(db).size();
            ClearLog();
            for (size_t i = 0; i < faxes->size(); i++) {
                const std::string name = together ? "ST" + std::to_string(100000 + i) : order[i];
                const size_t k = std::stoul(name.substr(2)) - 100000;
                Image("RX" + std::to_string(k + 1), 'g');
                Drop(name, (*faxes)[k] + "Run: " + std::to_string(together) + "\r\n");
                if (!together)
                    RunPass();
            }
            char found[64];
            const intptr_t h = together ? PortFindFirst((in_ + "/ST*").c_str(), found, sizeof found) : -1;
            for (int more = h != -1; more; more = PortFindNext(h, found, sizeof found) == 0)
                order.push_back(found);
            if (h != -1)
                PortFindClose(h), RunPass();
            EXPECT_TRUE(ListDir(in_).empty());
            logs[together] = LogTexts();
            for (auto &db : had) {
                const auto now = MailIn(db.first);
                for (size_t m = db.second; m < now.size(); m++)
                    mails[together].push_back(db.first + ": " + now[m].subject);
            }
            const auto ids = DocumentIds(kActDb);
            for (size_t e = seen; e < ids.size(); e++)
                entries[together].push_back(ItemText(kActDb, ids[e], "To"));
        }
        EXPECT_EQ(logs[1], logs[0]);
        EXPECT_EQ(mails[1], mails[0]);
        EXPECT_EQ(entries[1], entries[0]);
    }
}

// VortiqAttachPdf=1 adds RX.PDF made from the image; an image tiff2pdf cannot read goes out as RX.FAX alone.
struct PdfRow {
    const char *setting;
    bool realImage;
    Names want;
};
class InboundPdfCopy : public InboundPassTest, public ::testing::WithParamInterface<PdfRow> {};

TEST_P(InboundPdfCopy, OnlyWhenAskedAndOnlyWhenTheImageConverts)
{
    const PdfRow &row = GetParam();
    ASSERT_EQ(OSSetEnvironmentVariable("VortiqAttachPdf", row.setting), NOERROR);
    Image("RX000001", 'p');
    const std::string pbm = iparcel_ + "/page.pbm", tif = iparcel_ + "/RX000001";
    WriteFile(pbm, "P1\n8 2\n0 1 1 0 0 1 1 0\n1 0 0 1 1 0 0 1\n");
    if (row.realImage) {
        ASSERT_TRUE(faxrender::RunLimited({"pamtotiff", "-g4", pbm}, iparcel_, {}, "", tif).ok);
    }
    std::filesystem::remove(pbm);
    Drop("ST000001", kFax);
    RunPass();
    const auto mails = MailIn("mail/jroe.nsf");
    ASSERT_EQ(mails.size(), 1u);
    Names got;
    for (const auto &a : mails[0].attachments)
        got.push_back(a.first);
    EXPECT_EQ(got, row.want);
    if (got.size() == 2) {
        EXPECT_EQ(mails[0].attachments[1].second.substr(0, 5), "%PDF-");
    }
    EXPECT_EQ(LogArg(VQM_DS0).rfind("Can not attach RX.PDF for " + tif + ": tiff2pdf failed", 0) == 0,
              row.setting[0] == '1' && !row.realImage)
        << LogArg(VQM_DS0);
}
INSTANTIATE_TEST_SUITE_P(Settings, InboundPdfCopy,
                         ::testing::Values(PdfRow{"0", true, {"RX.FAX"}}, PdfRow{"1", true, {"RX.FAX", "RX.PDF"}},
                                           PdfRow{"1", false, {"RX.FAX"}}));

}  // namespace
