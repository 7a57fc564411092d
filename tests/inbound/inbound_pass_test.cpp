/*
 * inbound_pass_test.cpp - the inbound pass driven directly over a spool
 * tree and a small Notes server: what reaches the users' mail files, the
 * order of recipients, the three success messages, what becomes of the
 * spool files on success and on failure, and the activity entries.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "inbound.h"

extern char **environ;

namespace {

using vqtest::FileExists;
using vqtest::ListDir;
using vqtest::ReadFile;
using vqtest::WriteFile;

using vqtest::LogArg;
using vqtest::LogCount;
using vqtest::MailIn;

/* An image with the bytes a text-mode copy would damage. */
std::string ImageBytes(char tag)
{
    std::string s("II*\0\r\n\x1a\n\r", 9);
    for (int i = 0; i < 600; ++i)
        s.push_back((char)(i * 7 + tag));
    return s;
}

class InboundPassTest : public vqtest::GatewayTest {
protected:
    vqtest::TempDir work_; /* current directory of the passes (body files) */
    std::string in_, iparcel_, error_;
    std::string jane_, john_, admin_;

    void SetUp() override
    {
        GatewayTest::SetUp();
        in_ = Spool("/FAX/IN");
        iparcel_ = Spool("/FAX/IPARCEL");
        error_ = Spool("/FAX/ERROR");
        vqtest::MakeDirs(data_ / "mail");
        admin_ = vqtest::AddPerson("Fax Admin", "fadmin", "mail/admin.nsf");
        jane_ = vqtest::AddPerson("Jane Roe", "jroe", "mail/jroe.nsf", "555-0100");
        john_ = vqtest::AddPerson("John Doe", "jdoe", "mail/jdoe.nsf");
        vqtest::CreateMailFile("mail.box");
        vqtest::CreateActivityDb();
        VqCopy(DefRecipient, sizeof DefRecipient, "Jane Roe");
        ASSERT_EQ(MailLookupAddress("Fax Admin", FaxAdministrator), NOERROR);
    }

    void Drop(const std::string &name, const std::string &content)
    {
        /* written under another name and renamed in, as the fax server does */
        WriteFile(in_ + "/.tmp-" + name, content);
        std::filesystem::rename(in_ + "/.tmp-" + name, in_ + "/" + name);
    }
    void Image(const std::string &name, const std::string &bytes) { WriteFile(iparcel_ + "/" + name, bytes); }

    void RunPass()
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        ASSERT_EQ(chdir(work_.path().c_str()), 0);
        DoInboundTask();
        ASSERT_EQ(chdir(cwd), 0);
    }
};

const std::string kFax =
    "To: Jane Roe\r\nSubject: Test fax\r\nAttachment: RX000001\r\n\r\n"
    "Receive Time: 03/05/26 09:07\r\nPages Received: 2\r\n";

TEST_F(InboundPassTest, EmptyInboxOpensNothingAndSetsNoStatus)
{
    RunPass();
    EXPECT_TRUE(vqtest::StatusLines().empty());
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

TEST_F(InboundPassTest, DeliversTheFaxAndThenRemovesItsFiles)
{
    const std::string image = ImageBytes('a');
    Image("RX000001", image);
    Drop("ST000001", kFax);
    RunPass();

    auto mails = MailIn("mail/jroe.nsf");
    ASSERT_EQ(mails.size(), 1u);
    const vqtest::MailDoc &m = mails[0];
    EXPECT_EQ(m.subject, "Test fax");
    EXPECT_EQ(m.from, "VORTIQ");
    EXPECT_EQ(m.fromDomain, "FAXGATE");
    EXPECT_EQ(m.recipients, std::vector<std::string>{jane_});
    EXPECT_EQ(m.body, "Receive Time:\t03/05/26 09:07\nPages Received:\t2");
    ASSERT_EQ(m.attachments.size(), 1u);
    EXPECT_EQ(m.attachments[0].first, "RX.FAX");
    EXPECT_TRUE(m.attachments[0].second == image) << "attachment differs from the image";

    EXPECT_TRUE(ListDir(in_).empty());
    EXPECT_TRUE(ListDir(iparcel_).empty());
    EXPECT_TRUE(ListDir(error_).empty());
    EXPECT_TRUE(ListDir(work_.path()).empty()) << "the body file was left behind";
    EXPECT_EQ(vqtest::LogIds(), (std::vector<WORD>{VQM_IN_RECIPIENT_IS, VQM_FAX_RECEIVED}));
    EXPECT_EQ(LogArg(VQM_IN_RECIPIENT_IS), "Jane Roe");
    EXPECT_EQ(vqtest::StatusLines(),
              (std::vector<std::string>{"Receiving inbound fax from " + in_ + "/ST000001",
                                        "Idle 2.0.1"}));
    EXPECT_TRUE(vqtest::DocumentIds(vqtest::kActDb).empty()) << "no DID, no activity entry";
    EXPECT_EQ(E_quit, 0);
}

TEST_F(InboundPassTest, SubjectChoosesBodyAndSuccessMessage)
{
    struct Case {
        std::string header, body;
        WORD want;
        std::string wantBody; /* empty: not compared */
        std::string bodyHas;
    };
    const std::vector<Case> cases = {
        {"Subject: Fax: job 0012 sent\r\n", "Status: sent\r\n", VQM_RETURN_STATUS_DELIVERED,
         "Status:\t\tsent", ""},
        {"Subject:Administrator Log\r\n",
         "Report\r\n------\r\n0013 03/05 09:10\r\nDID Received: 555-0100\r\n",
         VQM_ADMIN_LOG_DELIVERED, "", "-----------Administrator Activity Log-----------"},
        {"Subject: Admin notes\r\n", "Pages: 1\r\n", VQM_ADMIN_LOG_DELIVERED, "Pages:\t\t1", ""},
        {"", "Pages: 1\r\n", VQM_FAX_RECEIVED, "Pages:\t\t1", ""},
    };
    size_t delivered = 0;
    for (const auto &c : cases) {
        vqtest::ClearLog();
        Drop("ST000001", "To: Jane Roe\r\n" + c.header + "\r\n" + c.body);
        RunPass();
        EXPECT_EQ(vqtest::LogIds().back(), c.want) << c.header;
        auto mails = MailIn("mail/jroe.nsf");
        ASSERT_EQ(mails.size(), ++delivered);
        const std::string body = mails.back().body; /* documents come in creation order */
        if (!c.wantBody.empty()) {
            EXPECT_EQ(body, c.wantBody) << c.header;
        }
        if (!c.bodyHas.empty()) {
            EXPECT_NE(body.find(c.bodyHas), std::string::npos) << body;
            EXPECT_NE(body.find("0013\t03/05\t09:10"), std::string::npos) << body;
        }
    }
    /* an administrator log is never recorded, even with a DID line */
    EXPECT_TRUE(vqtest::DocumentIds(vqtest::kActDb).empty());
}

TEST_F(InboundPassTest, RecipientsInOrderWithTheAdministratorOnce)
{
    Drop("ST000001",
         "To: John Doe\r\nTo: Nobody Known @ FAXGATE\r\nTo: Someone Else   \r\n\r\n"
         "Receive Time: 03/05/26 09:07\r\nDID Received: 555-0100\r\n");
    RunPass();

    auto mails = MailIn("mail/jdoe.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].recipients, (std::vector<std::string>{john_, jane_, admin_}));
    EXPECT_EQ(MailIn("mail/jroe.nsf").size(), 1u);
    EXPECT_EQ(MailIn("mail/admin.nsf").size(), 1u);
    EXPECT_EQ(LogCount(VQM_RECIPIENT_UNKNOWN, "Nobody Known"), 1);
    EXPECT_EQ(LogCount(VQM_RECIPIENT_UNKNOWN, "Someone Else"), 1);
    EXPECT_EQ(LogCount(VQM_SEND_TO_DEFAULT), 0);

    /* one activity entry per recipient, each named by its common name */
    std::vector<std::string> to;
    for (NOTEID id : vqtest::DocumentIds(vqtest::kActDb))
        to.push_back(vqtest::ItemText(vqtest::kActDb, id, "To"));
    std::sort(to.begin(), to.end());
    EXPECT_EQ(to, (std::vector<std::string>{"Fax Admin", "Jane Roe", "John Doe"}));
}

TEST_F(InboundPassTest, NobodyNamedGoesToTheDefaultRecipient)
{
    const std::vector<std::string> headers = {
        "Subject: no recipient line\r\n",
        "To: TMB_LOTUS_ROUTE\r\n",
        "To:     TMB_LOTUS_ROUTE Somebody\r\n",
        "To: John Doe\r\nTo: TMB_LOTUS_ROUTE\r\n", /* control: a named user */
    };
    for (size_t i = 0; i < headers.size(); ++i) {
        vqtest::ClearLog();
        Drop("ST000001", headers[i] + "\r\nDID Received: 999-9999\r\n");
        RunPass();
        const bool named = i == 3;
        EXPECT_EQ(LogCount(VQM_SEND_TO_DEFAULT, "Jane Roe"), named ? 0 : 1) << headers[i];
        EXPECT_EQ(MailIn("mail/jroe.nsf").size(), named ? 3u : i + 1) << headers[i];
    }
    EXPECT_EQ(MailIn("mail/jdoe.nsf").size(), 1u);
    EXPECT_TRUE(MailIn("mail/admin.nsf").empty());
}

TEST_F(InboundPassTest, UnknownDefaultRecipientSendsToTheAdministrator)
{
    VqCopy(DefRecipient, sizeof DefRecipient, "Nobody Known");
    Drop("ST000001", "Subject: x\r\n\r\nPages: 1\r\n");
    RunPass();
    auto mails = MailIn("mail/admin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].recipients, std::vector<std::string>{admin_});
    EXPECT_EQ(LogCount(VQM_SEND_TO_DEFAULT, "Nobody Known"), 1);
    EXPECT_EQ(LogCount(VQM_RECIPIENT_UNKNOWN, "Nobody Known"), 1);
}

TEST_F(InboundPassTest, NothingCarriesOverFromOneFaxToTheNext)
{
    Image("RXA", ImageBytes('a'));
    Drop("ST000001", "To: Nobody Known\r\nSubject: First\r\nAttachment: RXA\r\n\r\nPages: 1\r\n");
    Drop("ST000002", "To: John Doe\r\n\r\nPages: 2\r\n");
    RunPass();

    auto admin = MailIn("mail/admin.nsf");
    ASSERT_EQ(admin.size(), 1u);
    EXPECT_EQ(admin[0].subject, "First");
    auto john = MailIn("mail/jdoe.nsf");
    ASSERT_EQ(john.size(), 1u);
    EXPECT_EQ(john[0].subject, "");
    EXPECT_TRUE(john[0].attachments.empty());
    EXPECT_EQ(john[0].recipients, std::vector<std::string>{john_});
    EXPECT_TRUE(ListDir(in_).empty());
    EXPECT_TRUE(ListDir(iparcel_).empty());
    EXPECT_EQ(LogCount(VQM_FAX_RECEIVED), 2);
}

TEST_F(InboundPassTest, TwoImagesAreBothAttachedButOnlyTheSecondRemoved)
{
    Image("RXA", ImageBytes('a'));
    Image("RXB", ImageBytes('b'));
    Drop("ST000001", "To: Jane Roe\r\nAttachment: RXA\r\nAttachment: RXB\r\n\r\n");
    RunPass();
    auto mails = MailIn("mail/jroe.nsf");
    ASSERT_EQ(mails.size(), 1u);
    ASSERT_EQ(mails[0].attachments.size(), 2u);
    EXPECT_EQ(mails[0].attachments[0].first, "RX.FAX");
    EXPECT_EQ(mails[0].attachments[1].first, "RX.FAX");
    EXPECT_TRUE(mails[0].attachments[0].second == ImageBytes('a'));
    EXPECT_TRUE(mails[0].attachments[1].second == ImageBytes('b'));
    EXPECT_EQ(ListDir(iparcel_), std::vector<std::string>{"RXA"});
}

TEST_F(InboundPassTest, FileWithoutEmptyLineIsAllHeader)
{
    /* the last line, one character without a line feed, also ends it */
    Drop("ST000001", "To: Jane Roe\r\nDID Received: 555-0100\r\nx");
    RunPass();
    auto mails = MailIn("mail/jroe.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].body, "");
    EXPECT_TRUE(vqtest::DocumentIds(vqtest::kActDb).empty());
}

TEST_F(InboundPassTest, ReceivedFaxWithDIDIsRecorded)
{
    Image("RX000001", ImageBytes('c'));
    Drop("ST000001",
         "Subject: Incoming\r\nAttachment: RX000001\r\n\r\nReceive Time: 03/05/26 09:07\r\n"
         "TSI Received: +1 555 0199\r\nPages Received: 3\r\nConnect Time: 00:42\r\n"
         "DID Received: 555-0100\r\n");
    RunPass();
    ASSERT_EQ(MailIn("mail/jroe.nsf").size(), 1u);
    EXPECT_EQ(LogCount(VQM_SEND_TO_DEFAULT), 0) << "the DID named Jane";

    auto ids = vqtest::DocumentIds(vqtest::kActDb);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(vqtest::JobEntryOf(ids[0]),
              vqtest::JobEntry({" ", "03/05", "09:07", "RX", "00", "Jane Roe", "+1 555 0199", "3", "0000", " ",
                                "00:42", " "}));
}

TEST_F(InboundPassTest, FailedFaxGoesToTheErrorDirectoryWithItsImage)
{
    const std::string image = ImageBytes('d');
    Image("RX000001", image);
    Drop("ST000001", kFax);
    /* without the directory the router cannot route: the transfer fails */
    std::filesystem::rename(data_ / "names.nsf", data_ / "names.away");
    RunPass();
    std::filesystem::rename(data_ / "names.away", data_ / "names.nsf");

    EXPECT_TRUE(ListDir(in_).empty());
    EXPECT_TRUE(ListDir(iparcel_).empty());
    EXPECT_EQ(ListDir(error_), (std::vector<std::string>{"ST000001", "ST000001.BAD"}));
    EXPECT_TRUE(ReadFile(error_ + "/ST000001") == image);
    const std::string reason = LogArg(VQM_TEXT);
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(ReadFile(error_ + "/ST000001.BAD"), kFax + "BFailure reason: " + reason + "\r\n");
    /* the pass reports the failing status, then its text */
    auto log = vqtest::LogEntries();
    auto first = std::find_if(log.begin(), log.end(),
                              [](const vqtest::LogEntry &e) { return e.id == VQM_MAIL_NOT_TRANSFERRED; });
    ASSERT_TRUE(first != log.end() && first + 1 != log.end());
    EXPECT_NE(first->status, 0);
    EXPECT_EQ((first + 1)->id, VQM_TEXT);
    EXPECT_TRUE(MailIn("mail/jroe.nsf").empty());
    EXPECT_TRUE(ListDir(work_.path()).empty());
    /* the error mail cannot be routed either: the task is told to stop */
    EXPECT_EQ(LogCount(VQM_DS0, "Can not route error message to Admin"), 1);
    EXPECT_EQ(E_quit, 1);
    EXPECT_EQ(LogCount(VQM_DS0, "Could not Back up Rx File."), 0);
}

TEST_F(InboundPassTest, FailedFaxWithoutImageDoesNotStopTheGateway)
{
    Drop("ST000001", "To: Jane Roe\r\n\r\nPages: 1\r\n");
    /* a current directory that is gone: the body file cannot be created */
    const std::string gone = work_ / "gone";
    vqtest::MakeDirs(gone);
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    DoInboundTask();
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(LogCount(VQM_NO_BODY_FILE), 1);
    EXPECT_EQ(ListDir(error_), std::vector<std::string>{"ST000001.BAD"});
    EXPECT_EQ(LogCount(VQM_DS0, "Could not Back up Rx File."), 0);
    EXPECT_EQ(E_quit, 0);
    auto admin = MailIn("mail/admin.nsf");
    ASSERT_EQ(admin.size(), 1u);
    EXPECT_NE(admin[0].subject.find("Inbound Message"), std::string::npos);
}

TEST_F(InboundPassTest, ImageNameThatIsNotPlainFailsTheFaxAndTouchesNothing)
{
    WriteFile(Spool("/secret.txt"), "keep me");
    const std::vector<std::string> names = {"../../secret.txt", Spool("/secret.txt"), ".."};
    for (size_t i = 0; i < names.size(); ++i) {
        vqtest::ClearLog();
        const std::string bad = "ST00000" + std::to_string(i + 1);
        const std::string content = "To: Jane Roe\r\nAttachment: " + names[i] + "\r\n\r\nPages: 1\r\n";
        Drop(bad, content);
        Drop("ST000009", "To: John Doe\r\n\r\nPages: 1\r\n"); /* handled all the same */
        RunPass();

        const std::string reason = "Attachment name is not a plain file name: " + names[i];
        EXPECT_EQ(ReadFile(error_ + "/" + bad + ".BAD"), content + "BFailure reason: " + reason + "\r\n");
        EXPECT_FALSE(FileExists(error_ + "/" + bad));
        EXPECT_EQ(LogArg(VQM_TEXT), reason);
        EXPECT_EQ(LogCount(VQM_FAX_RECEIVED), 1);
        EXPECT_EQ(E_quit, 0);
    }
    EXPECT_EQ(ReadFile(Spool("/secret.txt")), "keep me");
    EXPECT_TRUE(MailIn("mail/jroe.nsf").empty());
    EXPECT_EQ(MailIn("mail/jdoe.nsf").size(), names.size());
    auto admin = MailIn("mail/admin.nsf");
    ASSERT_EQ(admin.size(), names.size());
    EXPECT_NE(admin[0].body.find("not a plain file name"), std::string::npos) << admin[0].body;
}

TEST_F(InboundPassTest, TakenNameInTheErrorDirectoryIsNeverReplaced)
{
    WriteFile(error_ + "/ST000001.BAD", "an earlier failed fax");
    const std::string content = "To: Jane Roe\r\nAttachment: ../x\r\n\r\n";
    Drop("ST000001", content);
    RunPass();
    EXPECT_EQ(ReadFile(error_ + "/ST000001.BAD"), "an earlier failed fax");
    EXPECT_EQ(LogCount(VQM_DS0, "Could not Back up Rx File."), 1);
    EXPECT_EQ(E_quit, 1);
    /* the file stays where it was, its failure line appended */
    const std::string left = ReadFile(in_ + "/ST000001");
    EXPECT_EQ(left.substr(0, content.size()), content);
    EXPECT_EQ(left.substr(left.size() - 2), "\r\n");
    EXPECT_NE(left.find("BFailure reason: "), std::string::npos);
}

TEST_F(InboundPassTest, ControlFileThatCannotBeOpenedEndsThePass)
{
    /* A program that runs cannot be opened for update, even by root. */
    const std::string busy = in_ + "/ST000001";
    std::filesystem::copy_file("/bin/sleep", busy);
    chmod(busy.c_str(), 0755);
    pid_t pid = -1;
    char arg0[] = "ST000001", arg1[] = "30";
    char *argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(posix_spawn(&pid, busy.c_str(), nullptr, nullptr, argv, environ), 0);
    for (int i = 0; i < 200 && access(("/proc/" + std::to_string(pid) + "/exe").c_str(), F_OK) != 0; ++i)
        usleep(10000);
    usleep(100000);
    Drop("ST000002", kFax.substr(0, kFax.find("Attachment")) + "\r\nPages: 1\r\n");

    RunPass();
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    EXPECT_EQ(LogCount(VQM_NO_CONTROL_FILE, busy), 1);
    EXPECT_TRUE(FileExists(busy));
    EXPECT_TRUE(ListDir(error_).empty());
    EXPECT_EQ(LogCount(VQM_MAIL_NOT_TRANSFERRED), 0);
    /* files after the unopened one wait for the next pass */
    auto ids = vqtest::LogIds();
    auto opened = std::find(ids.begin(), ids.end(), VQM_NO_CONTROL_FILE);
    auto received = std::find(ids.begin(), ids.end(), VQM_FAX_RECEIVED);
    if (received == ids.end() || received > opened) {
        EXPECT_TRUE(received == ids.end());
        EXPECT_TRUE(FileExists(in_ + "/ST000002"));
        EXPECT_TRUE(MailIn("mail/jroe.nsf").empty());
    } else {
        EXPECT_FALSE(FileExists(in_ + "/ST000002"));
    }
    EXPECT_EQ(vqtest::StatusLines().back(), "Idle 2.0.1");
    EXPECT_EQ(E_quit, 0);
}

}  // namespace
