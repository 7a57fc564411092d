/*
 * outbound_pass_test.cpp - OutboundTask driven directly over a gateway
 * mail file filled through the router: the four outcomes (transferred,
 * failed with an error copy, non-delivery report forwarded, non-delivery
 * report about the administrator's own mail), the reports the sender
 * finds, the administrator's mail, the stop flag, and the spool folders.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "notes_fixture.h"
#include "notesapi.h"
#include "test_support.h"
#include "vortiq.h"

namespace {

using vqtest::FileExists;
using vqtest::ListDir;
using vqtest::ReadFile;

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = nl + 1;
    }
    return lines;
}

/* One document of a mail file as its owner sees it. */
struct Mail {
    NOTEID id = 0;
    std::string form, subject, from, intended, reason;
    std::vector<std::string> body;
    std::vector<std::pair<std::string, std::string>> attachments; /* name, bytes */
};

std::vector<Mail> ReadMails(const std::string &db)
{
    std::vector<Mail> mails;
    vqtest::TempDir tmp;
    for (NOTEID id : vqtest::DocumentIds(db)) {
        Mail m;
        m.id = id;
        m.form = vqtest::ItemText(db, id, "Form");
        m.subject = vqtest::ItemText(db, id, "Subject");
        m.from = vqtest::ItemText(db, id, "From");
        m.intended = vqtest::ItemText(db, id, "IntendedRecipient");
        m.reason = vqtest::ItemText(db, id, "FailureReason");
        DBHANDLE hDb = NULLHANDLE;
        NOTEHANDLE hNote = NULLHANDLE;
        EXPECT_EQ(NSFDbOpen(db.c_str(), &hDb), NOERROR);
        EXPECT_EQ(NSFNoteOpen(hDb, id, 0, &hNote), NOERROR);
        std::string bodyFile = tmp / ("body" + std::to_string(id));
        DWORD size = 0;
        if (MailGetMessageBodyText(hNote, nullptr, "\n", 0, FALSE, bodyFile.c_str(), &size) ==
            NOERROR)
            m.body = SplitLines(ReadFile(bodyFile));
        for (WORD n = 0;; n++) {
            BLOCKID bh;
            char name[MAXPATH + 1] = "";
            if (!MailGetMessageAttachmentInfo(hNote, n, &bh, name, nullptr, nullptr, nullptr,
                                              nullptr, nullptr))
                break;
            std::string out = tmp / ("att" + std::to_string(id) + "_" + std::to_string(n));
            EXPECT_EQ(MailExtractMessageAttachment(hNote, bh, out.c_str()), NOERROR);
            m.attachments.emplace_back(name, ReadFile(out));
        }
        NSFNoteClose(hNote);
        NSFDbClose(hDb);
        mails.push_back(m);
    }
    return mails;
}

std::vector<Mail> OfForm(const std::vector<Mail> &mails, const std::string &form)
{
    std::vector<Mail> out;
    for (const auto &m : mails)
        if (m.form == form)
            out.push_back(m);
    return out;
}

std::vector<vqtest::LogEntry> LogOf(WORD id)
{
    std::vector<vqtest::LogEntry> out;
    for (const auto &e : vqtest::LogEntries())
        if (e.id == id)
            out.push_back(e);
    return out;
}

bool Logged(WORD id, const std::string &arg)
{
    for (const auto &e : vqtest::LogEntries())
        if (e.id == id && e.arg == arg)
            return true;
    return false;
}

/* Job files that the fax server would take: names without extension. */
std::vector<std::string> CompleteJobs(const std::string &dir)
{
    std::vector<std::string> out;
    for (const auto &n : ListDir(dir))
        if (n.find('.') == std::string::npos)
            out.push_back(n);
    return out;
}

const char *const kFinal13079 = "VORTIQ: Message Create Final error 13079.";

class OutboundPassTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        vqtest::CreateMailFile("mail.box", "Mail Router");
        admin_ = vqtest::AddPerson("Fax Admin", "fadmin", "fadmin.nsf");
        jane_ = vqtest::AddPerson("Jane Roe", "jroe", "jroe.nsf");
        vqtest::AddForeignDomain("FAXGATE", "vortiq.box");

        spool_ = data_ / "spool/TMBFAX";
        for (const char *d : {SPOOL_FAX_OUT, SPOOL_FAX_OPARCEL, SPOOL_FAX_ERROR})
            vqtest::MakeDirs(spool_ + d);
        VqCopy(GatewayPath, sizeof GatewayPath, spool_.c_str());
        GatewayDrive[0] = '\0';
        VqCopy(GatewayDomain, sizeof GatewayDomain, "FAXGATE");
        VqCopy(GatewayMsgfile, sizeof GatewayMsgfile, "vortiq.box");
        VqCopy(FaxAdministrator, sizeof FaxAdministrator, admin_.c_str());
        E_quit = 0;
        ASSERT_EQ(MailOpenMessageFile("vortiq.box", &hMessageFile), NOERROR);
    }
    void TearDown() override
    {
        PortFaultArm(0, 0, 0);
        if (hMessageFile != NULLHANDLE)
            MailCloseMessageFile(hMessageFile);
        hMessageFile = NULLHANDLE;
        E_quit = 0;
        PlatformTest::TearDown();
    }

    void SendFax(const std::vector<std::string> &to, const std::string &subject,
                 const std::vector<std::pair<std::string, std::string>> &attachments = {})
    {
        vqtest::Memo memo;
        memo.from = jane_;
        memo.sendTo = to;
        memo.subject = subject;
        memo.body = "Hello fax";
        memo.attachments = attachments;
        ASSERT_EQ(vqtest::SendMemo(memo), NOERROR);
    }
    /* A non-delivery report as the router leaves it in the gateway's file. */
    void SendReport(const std::string &intended, const std::string &reason)
    {
        vqtest::Memo memo;
        memo.form = "NonDelivery Report";
        memo.from = "Mail Router";
        memo.sendTo = {"VORTIQ@FAXGATE"};
        memo.subject = "Delivery Failure Report";
        memo.textItems = {{"IntendedRecipient", intended}, {"FailureReason", reason}};
        ASSERT_EQ(vqtest::SendMemo(memo), NOERROR);
    }
    size_t Waiting() { return vqtest::DocumentIds("vortiq.box").size(); }
    void StartClean()
    {
        vqtest::ClearLog();
        vqtest::ClearStatus();
    }
    void CheckRefusedAdminMail(const std::string &moveAway);

    std::string admin_, jane_, spool_;
};

TEST_F(OutboundPassTest, EmptyMailFileOnlyShowsStatus)
{
    StartClean();
    OutboundTask();
    EXPECT_EQ(vqtest::StatusLines(),
              (std::vector<std::string>{"Searching for outbound mail to transfer", "Idle 2.0.1"}));
    EXPECT_TRUE(vqtest::LogEntries().empty());
    EXPECT_EQ(E_quit, 0);
}

TEST_F(OutboundPassTest, TwoRecipientsTransferWithOneReportEach)
{
    SendFax({"Ann Fax@555.0100@FAXGATE", "Bob Fax@555.0199@FAXGATE"}, "Quarterly");
    ASSERT_EQ(Waiting(), 1u);
    StartClean();

    OutboundTask();

    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(CompleteJobs(spool_ + SPOOL_FAX_OUT).size(), 1u);
    auto reports = OfForm(ReadMails("jroe.nsf"), "Delivery Report");
    ASSERT_EQ(reports.size(), 2u);
    std::vector<std::string> named;
    for (const auto &r : reports)
        named.push_back(r.intended);
    std::sort(named.begin(), named.end());
    ASSERT_EQ(named.size(), 2u);
    EXPECT_NE(named[0].find("Ann Fax"), std::string::npos) << named[0];
    EXPECT_NE(named[1].find("Bob Fax"), std::string::npos) << named[1];
    EXPECT_EQ(named[0].find("Bob Fax"), std::string::npos) << "one recipient per report";

    auto delivered = LogOf(VQM_FAX_DELIVERED_TO_GATEWAY);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].status, 0);
    EXPECT_NE(delivered[0].arg.find("Jane Roe"), std::string::npos) << delivered[0].arg;
    EXPECT_TRUE(OfForm(ReadMails("jroe.nsf"), "NonDelivery Report").empty());
    EXPECT_TRUE(ReadMails("fadmin.nsf").empty());
    EXPECT_EQ(E_quit, 0);
    EXPECT_EQ(vqtest::StatusLines().back(), "Idle 2.0.1");
}

TEST_F(OutboundPassTest, FailedTransferReportsToSenderAndMailsTheErrorCopy)
{
    SendFax({"Ann Fax@555.0100@FAXGATE", "Bob Fax@555.0199@FAXGATE"}, "Quarterly",
            {{"one.txt", "first attachment"}, {"two.txt", "second attachment"}});
    /* without FAX/OUT the job cannot be written (permissions would not stop root) */
    std::filesystem::remove_all(spool_ + SPOOL_FAX_OUT);
    StartClean();

    OutboundTask();

    /* the sender: one non-delivery report per recipient, with the reason */
    auto ndrs = OfForm(ReadMails("jroe.nsf"), "NonDelivery Report");
    ASSERT_EQ(ndrs.size(), 2u);
    for (const auto &r : ndrs)
        EXPECT_EQ(r.reason, kFinal13079);
    EXPECT_TRUE(OfForm(ReadMails("jroe.nsf"), "Delivery Report").empty());

    /* the log: the text passed through "VORTIQ: %s", then the mail went */
    auto texts = LogOf(VQM_TEXT);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, std::string("VORTIQ: ") + kFinal13079);
    EXPECT_EQ(texts[0].status, 0);
    EXPECT_EQ(LogOf(VQM_SENDING_ADMIN_MAIL).size(), 1u);
    EXPECT_TRUE(LogOf(VQM_FAX_DELIVERED_TO_GATEWAY).empty());

    /* the administrator: subject, empty body, from the gateway, three files */
    auto mails = ReadMails("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].subject, std::string("Fax Gateway Error: ") + kFinal13079);
    EXPECT_TRUE(mails[0].body.empty());
    EXPECT_EQ(mails[0].from, "VORTIQ");
    ASSERT_EQ(mails[0].attachments.size(), 3u);
    EXPECT_EQ(mails[0].attachments[0].first, "ENVELOPE.BAD");
    EXPECT_EQ(mails[0].attachments[1].first, "Attach.001");
    EXPECT_EQ(mails[0].attachments[2].first, "Attach.002");
    EXPECT_EQ(mails[0].attachments[0].second.substr(0, 1), "\x03");
    EXPECT_EQ(mails[0].attachments[1].second, "first attachment");
    EXPECT_EQ(mails[0].attachments[2].second, "second attachment");

    /* the error copy went out with the mail; the message is settled */
    EXPECT_TRUE(ListDir(spool_ + SPOOL_FAX_ERROR).empty());
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(E_quit, 0);
}

TEST_F(OutboundPassTest, NonDeliveryReportIsForwardedWithFourBodyLines)
{
    SendReport("Ann Other/Acme", "No route found to domain ELSEWHERE");
    ASSERT_EQ(Waiting(), 1u);
    StartClean();

    OutboundTask();

    auto mails = ReadMails("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].subject, "Fax Gateway Error: Non-Delivery Report");
    EXPECT_EQ(mails[0].body,
              (std::vector<std::string>{"Message to:", "Ann Other/Acme", "was not delivered.",
                                        "No route found to domain ELSEWHERE"}));
    EXPECT_TRUE(mails[0].attachments.empty());
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_TRUE(ListDir(spool_ + SPOOL_FAX_OUT).empty()) << "a report is no fax";
    EXPECT_TRUE(LogOf(VQM_TEXT).empty());
    EXPECT_EQ(E_quit, 0);
}

TEST_F(OutboundPassTest, ReportAboutTheAdministratorStopsOnlyWhenLetterForLetter)
{
    struct Case {
        const char *name;
        std::string intended;
        bool wantMail;
        int wantQuit;
    } cases[] = {
        {"exact", admin_, false, 1},
        {"other case", "cn=fax admin/o=acme", true, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        E_quit = 0;
        size_t before = ReadMails("fadmin.nsf").size();
        SendReport(c.intended, "User's mail file could not be opened");
        StartClean();

        OutboundTask();

        EXPECT_EQ(ReadMails("fadmin.nsf").size(), before + (c.wantMail ? 1 : 0));
        EXPECT_EQ(Logged(VQM_DS0, "Non-Delivery is to admin"), !c.wantMail);
        EXPECT_EQ(E_quit, c.wantQuit);
        EXPECT_EQ(Waiting(), 0u) << "the report is removed either way";
    }
}

TEST_F(OutboundPassTest, LaterMessagesAreHandledAfterTheStopFlagWasSet)
{
    SendReport(admin_, "User's mail file could not be opened");
    SendFax({"Ann Fax@555.0100@FAXGATE"}, "After the report");
    ASSERT_EQ(Waiting(), 2u);
    StartClean();

    OutboundTask();

    EXPECT_EQ(E_quit, 1);
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(CompleteJobs(spool_ + SPOOL_FAX_OUT).size(), 1u);
    EXPECT_EQ(OfForm(ReadMails("jroe.nsf"), "Delivery Report").size(), 1u);
    EXPECT_EQ(LogOf(VQM_FAX_DELIVERED_TO_GATEWAY).size(), 1u);
}

TEST_F(OutboundPassTest, FailedMessageDoesNotStopTheNextOne)
{
    SendFax({"Ann Fax@555.0100@FAXGATE"}, "First");
    SendFax({"Bob Fax@555.0199@FAXGATE"}, "Second");
    ASSERT_EQ(Waiting(), 2u);
    StartClean();
    /* the pass's first durable step is the creation of the first job file */
    PortFaultArm(2, 1, EIO);

    OutboundTask();
    PortFaultArm(0, 0, 0);

    auto mails = ReadMails("jroe.nsf");
    auto ndrs = OfForm(mails, "NonDelivery Report");
    auto drs = OfForm(mails, "Delivery Report");
    ASSERT_EQ(ndrs.size(), 1u);
    ASSERT_EQ(drs.size(), 1u);
    EXPECT_NE(ndrs[0].subject.find("First"), std::string::npos) << ndrs[0].subject;
    EXPECT_NE(drs[0].subject.find("Second"), std::string::npos) << drs[0].subject;
    EXPECT_EQ(CompleteJobs(spool_ + SPOOL_FAX_OUT).size(), 1u);
    EXPECT_EQ(ReadMails("fadmin.nsf").size(), 1u) << "the error copy of the first";
    EXPECT_TRUE(ListDir(spool_ + SPOOL_FAX_ERROR).empty());
    EXPECT_EQ(LogOf(VQM_FAX_DELIVERED_TO_GATEWAY).size(), 1u);
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(E_quit, 0);
}

/* A failed transfer whose error mail cannot go: the error copy stays in
 * FAX/ERROR with the reason appended to its envelope, and the task stops. */
void OutboundPassTest::CheckRefusedAdminMail(const std::string &moveAway)
{
    SendFax({"Ann Fax@555.0100@FAXGATE"}, "Quarterly", {{"one.txt", "first attachment"}});
    std::filesystem::remove_all(spool_ + SPOOL_FAX_OUT);
    ASSERT_EQ(std::rename((data_ / moveAway).c_str(), (data_ / (moveAway + ".away")).c_str()), 0);
    StartClean();

    OutboundTask();

    auto refused = LogOf(VQM_DS0);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].arg, "Can not route error message to Admin");
    EXPECT_EQ(refused[0].status, 1) << "always 1, whatever the mail call returned";
    EXPECT_EQ(E_quit, 1);
    auto notSent = LogOf(VQM_MAIL_NOT_TRANSFERRED);
    ASSERT_EQ(notSent.size(), 1u);
    EXPECT_EQ(ERR(notSent[0].status), ERR_NOEXIST);
    EXPECT_TRUE(LogOf(VQM_SENDING_ADMIN_MAIL).empty());

    auto kept = ListDir(spool_ + SPOOL_FAX_ERROR);
    ASSERT_EQ(kept.size(), 2u) << "envelope and attachment stay";
    std::string envelope, attachment;
    for (const auto &n : kept) {
        std::string bytes = ReadFile(spool_ + SPOOL_FAX_ERROR + "/" + n);
        if (n.size() > 4 && n.substr(n.size() - 4) == ".ENV")
            envelope = bytes;
        else
            attachment = bytes;
    }
    EXPECT_EQ(attachment, "first attachment");
    char why[MAXSPRINTF];
    AddInFormatError(why, notSent[0].status);
    std::string note = "Can not Route to " + admin_ + ": " + why;
    ASSERT_GT(envelope.size(), note.size()) << envelope;
    EXPECT_EQ(envelope.substr(envelope.size() - note.size()), note);
    std::string job = envelope.substr(0, envelope.size() - note.size());
    EXPECT_EQ(job.substr(0, 1), "\x03");
    EXPECT_NE(job.find("Hello fax"), std::string::npos) << "the job is whole before the note";
    EXPECT_EQ(job.find("Can not Route"), std::string::npos) << "one note only";
}

TEST_F(OutboundPassTest, RouterThatCannotResolveTheAdministratorStopsTheTask)
{
    /* the router reads the directory for every transfer: without it the
     * administrator mail is refused after it was built completely */
    CheckRefusedAdminMail("names.nsf");
}

TEST_F(OutboundPassTest, MissingMailBoxStopsTheTaskLikeARefusal)
{
    CheckRefusedAdminMail("mail.box");
}

}  // namespace
