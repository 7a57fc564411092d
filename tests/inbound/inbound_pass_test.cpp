/* inbound_pass_test.cpp - DoInboundTask over a spool tree and a small Notes
 * server, for what the end-to-end roads do not show: recipient order, the
 * default recipient, two faxes in one pass, and the error folder. */
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "inbound.h"

namespace {

using vqtest::ListDir;
using vqtest::LogCount;
using vqtest::MailIn;
using vqtest::ReadFile;
using Names = std::vector<std::string>;

/* An image with the bytes a text-mode copy would damage. */
std::string ImageBytes(char tag)
{
    std::string s("II*\0\r\n\x1a\n\r", 9);
    for (int i = 0; i < 600; ++i)
        s.push_back((char)(i * 7 + tag));
    return s;
}

const std::string kFax = "To: Jane Roe\r\nSubject: Test fax\r\nAttachment: RX000001\r\n\r\n"
                         "Receive Time: 03/05/26 09:07\r\nPages Received: 2\r\n";

class InboundPassTest : public vqtest::GatewayTest {
protected:
    vqtest::TempDir work_; /* current directory of the pass (body files) */
    std::string in_, iparcel_, error_, jane_, john_, admin_;

    void SetUp() override
    {
        GatewayTest::SetUp();
        in_ = Spool(SPOOL_FAX_IN);
        iparcel_ = Spool(SPOOL_FAX_IPARCEL);
        error_ = Spool(SPOOL_FAX_ERROR);
        vqtest::MakeDirs(data_ / "mail");
        admin_ = vqtest::AddPerson("Fax Admin", "fadmin", "mail/admin.nsf");
        jane_ = vqtest::AddPerson("Jane Roe", "jroe", "mail/jroe.nsf", "555-0100");
        john_ = vqtest::AddPerson("John Doe", "jdoe", "mail/jdoe.nsf");
        vqtest::CreateMailFile("mail.box");
        vqtest::CreateActivityDb();
        VqCopy(DefRecipient, sizeof DefRecipient, "Jane Roe");
        ASSERT_EQ(MailLookupAddress("Fax Admin", FaxAdministrator), NOERROR);
    }
    /* Written under another name and renamed in, as the fax server does. */
    void Drop(const std::string &name, const std::string &content)
    {
        vqtest::WriteFile(in_ + "/.tmp-" + name, content);
        std::filesystem::rename(in_ + "/.tmp-" + name, in_ + "/" + name);
    }
    void Image(const std::string &name, const std::string &bytes) { vqtest::WriteFile(iparcel_ + "/" + name, bytes); }
    void RunPass()
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        ASSERT_EQ(chdir(work_.path().c_str()), 0);
        DoInboundTask();
        ASSERT_EQ(chdir(cwd), 0);
    }
    static Names ActivityTo()
    {
        Names to;
        for (NOTEID id : vqtest::DocumentIds(vqtest::kActDb))
            to.push_back(vqtest::ItemText(vqtest::kActDb, id, "To"));
        std::sort(to.begin(), to.end());
        return to;
    }
};

/* Named recipients in order, the administrator once for any unknown name;
 * one activity entry per recipient for a fax with a DID. */
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
    EXPECT_EQ(ActivityTo(), (Names{"Fax Admin", "Jane Roe", "John Doe"}));
    const NOTEID first = vqtest::DocumentIds(vqtest::kActDb).at(0);
    EXPECT_EQ(vqtest::ItemText(vqtest::kActDb, first, "From"), "+1 555 0199");
    EXPECT_EQ(vqtest::ItemText(vqtest::kActDb, first, "Type"), "RX");
}

/* Nobody named (a DID that matches nobody either): the default recipient;
 * an unknown default recipient: the administrator. */
TEST_F(InboundPassTest, NobodyNamedGoesToTheDefaultRecipient)
{
    struct Case {
        std::string header, defaultRecipient, wantMailFile;
        int wantDefault;
    } cases[] = {
        {"Subject: no recipient line\r\n", "Jane Roe", "mail/jroe.nsf", 1},
        {"To: TMB_LOTUS_ROUTE\r\n", "Jane Roe", "mail/jroe.nsf", 1},
        {"To:     TMB_LOTUS_ROUTE Somebody\r\n", "Jane Roe", "mail/jroe.nsf", 1},
        {"To: John Doe\r\nTo: TMB_LOTUS_ROUTE\r\n", "Jane Roe", "mail/jdoe.nsf", 0},
        {"Subject: x\r\n", "Nobody Known", "mail/admin.nsf", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.header + c.defaultRecipient);
        vqtest::ClearLog();
        VqCopy(DefRecipient, sizeof DefRecipient, c.defaultRecipient.c_str());
        const size_t before = MailIn(c.wantMailFile).size();
        Drop("ST000001", c.header + "\r\nDID Received: 999-9999\r\n");
        RunPass();
        EXPECT_EQ(LogCount(VQM_SEND_TO_DEFAULT, c.defaultRecipient), c.wantDefault);
        EXPECT_EQ(MailIn(c.wantMailFile).size(), before + 1);
    }
    EXPECT_EQ(MailIn("mail/jroe.nsf").size(), 3u);
    EXPECT_EQ(MailIn("mail/admin.nsf").size(), 1u);
}

/* Two faxes in one pass: nothing of the first (subject, unknown name,
 * images) reaches the second; two images are both attached, only the
 * second removed. */
TEST_F(InboundPassTest, NothingCarriesOverFromOneFaxToTheNext)
{
    Image("RXA", ImageBytes('a'));
    Image("RXB", ImageBytes('b'));
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

/* A fax that cannot be routed: control file and image go to FAX/ERROR,
 * the control file with its failure line; the error mail cannot go
 * either, so the task is told to stop. */
TEST_F(InboundPassTest, FailedFaxGoesToTheErrorDirectoryWithItsImage)
{
    Image("RX000001", ImageBytes('d'));
    Drop("ST000001", kFax);
    std::filesystem::rename(data_ / "names.nsf", data_ / "names.away");
    RunPass();
    std::filesystem::rename(data_ / "names.away", data_ / "names.nsf");

    EXPECT_TRUE(ListDir(in_).empty());
    EXPECT_TRUE(ListDir(iparcel_).empty());
    EXPECT_TRUE(ListDir(work_.path()).empty());
    EXPECT_EQ(ListDir(error_), (Names{"ST000001", "ST000001.BAD"}));
    EXPECT_TRUE(ReadFile(error_ + "/ST000001") == ImageBytes('d'));
    const std::string reason = vqtest::LogArg(VQM_TEXT);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(ReadFile(error_ + "/ST000001.BAD"), kFax + "BFailure reason: " + reason + "\r\n");
    EXPECT_EQ(LogCount(VQM_DS0, "Can not route error message to Admin"), 1);
    EXPECT_EQ(E_quit, 1);
}

/* A taken name in FAX/ERROR is never replaced: the file stays in FAX/IN
 * with its failure line, and the task is told to stop. */
TEST_F(InboundPassTest, TakenNameInTheErrorDirectoryIsNeverReplaced)
{
    vqtest::WriteFile(error_ + "/ST000001.BAD", "an earlier failed fax");
    const std::string content = "To: Jane Roe\r\nAttachment: ../x\r\n\r\n";
    Drop("ST000001", content);
    RunPass();
    EXPECT_EQ(ReadFile(error_ + "/ST000001.BAD"), "an earlier failed fax");
    EXPECT_EQ(LogCount(VQM_DS0, "Could not Back up Rx File."), 1);
    EXPECT_EQ(E_quit, 1);
    EXPECT_EQ(ReadFile(in_ + "/ST000001"),
              content + "BFailure reason: Attachment name is not a plain file name: ../x\r\n");
}

}  // namespace
