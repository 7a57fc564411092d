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

#include "outbound_fixture.h"

namespace {

using vqtest::ReadMessages;
using Names = std::vector<std::string>;

const char kFinal13079[] = "VORTIQ: Message Create Final error 13079.";
const char kNdr[] = "NonDelivery Report";
const char kDr[] = "Delivery Report";

std::vector<vqtest::LogEntry> LogOf(WORD id)
{
    std::vector<vqtest::LogEntry> out;
    for (const auto &e : vqtest::LogEntries())
        if (e.id == id)
            out.push_back(e);
    return out;
}

class OutboundPassTest : public vqtest::OutboundTest {
protected:
    void SetUp() override
    {
        OutboundTest::SetUp();
        ASSERT_EQ(MailOpenMessageFile("vortiq.box", &hMessageFile), NOERROR);
    }
    void TearDown() override
    {
        if (hMessageFile != NULLHANDLE)
            MailCloseMessageFile(hMessageFile);
        hMessageFile = NULLHANDLE;
        OutboundTest::TearDown();
    }

    void SendFax(const Names &to, const std::string &subject,
                 const std::vector<std::pair<std::string, std::string>> &attachments = {})
    {
        vqtest::Memo memo = FaxMemo(subject);
        memo.sendTo = to;
        memo.body = "Hello fax";
        memo.attachments = attachments;
        ASSERT_EQ(vqtest::SendMemo(memo), NOERROR);
    }
    /* A non-delivery report as the router leaves it in the gateway's file. */
    void SendReport(const std::string &intended, const std::string &reason)
    {
        vqtest::Memo memo;
        memo.form = kNdr;
        memo.from = "Mail Router";
        memo.sendTo = {"VORTIQ@FAXGATE"};
        memo.subject = "Delivery Failure Report";
        memo.textItems = {{"IntendedRecipient", intended}, {"FailureReason", reason}};
        ASSERT_EQ(vqtest::SendMemo(memo), NOERROR);
    }
    /* Runs the pass with log and status lines cleared first. */
    void RunPass()
    {
        vqtest::ClearLog();
        vqtest::ClearStatus();
        OutboundTask();
    }
    size_t Waiting() const { return vqtest::DocumentIds("vortiq.box").size(); }
    /* Job files that the fax server would take: names without extension. */
    size_t CompleteJobs() const
    {
        Names out = Files(SPOOL_FAX_OUT);
        return std::count_if(out.begin(), out.end(), [](const std::string &n) { return n.find('.') == n.npos; });
    }
};

TEST_F(OutboundPassTest, EmptyMailFileOnlyShowsStatus)
{
    RunPass();
    EXPECT_EQ(vqtest::StatusLines(), (Names{"Searching for outbound mail to transfer", "Idle 2.0.1"}));
    EXPECT_TRUE(vqtest::LogEntries().empty());
    EXPECT_EQ(E_quit, 0);
}

TEST_F(OutboundPassTest, TwoRecipientsTransferWithOneReportEach)
{
    SendFax({"Ann Fax@555.0100@FAXGATE", "Bob Fax@555.0199@FAXGATE"}, "Quarterly");
    ASSERT_EQ(Waiting(), 1u);
    RunPass();

    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(CompleteJobs(), 1u);
    Names named;
    for (const auto &r : ReadMessages("jsmith.nsf", kDr))
        named.push_back(r.intended);
    std::sort(named.begin(), named.end());
    ASSERT_EQ(named.size(), 2u) << "one report per recipient";
    EXPECT_NE(named[0].find("Ann Fax"), std::string::npos) << named[0];
    EXPECT_NE(named[1].find("Bob Fax"), std::string::npos) << named[1];
    EXPECT_EQ(named[0].find("Bob Fax"), std::string::npos) << "one recipient per report";

    auto delivered = LogOf(VQM_FAX_DELIVERED_TO_GATEWAY);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].status, 0);
    EXPECT_NE(delivered[0].arg.find("John Smith"), std::string::npos) << delivered[0].arg;
    EXPECT_TRUE(ReadMessages("jsmith.nsf", kNdr).empty());
    EXPECT_TRUE(ReadMessages("fadmin.nsf").empty());
    EXPECT_EQ(E_quit, 0);
    EXPECT_EQ(vqtest::StatusLines().back(), "Idle 2.0.1");
}

TEST_F(OutboundPassTest, FailedTransferReportsToSenderAndMailsTheErrorCopy)
{
    SendFax({"Ann Fax@555.0100@FAXGATE", "Bob Fax@555.0199@FAXGATE"}, "Quarterly",
            {{"one.txt", "first attachment"}, {"two.txt", "second attachment"}});
    /* without FAX/OUT the job cannot be written (permissions would not stop root) */
    std::filesystem::remove_all(Spool(SPOOL_FAX_OUT));
    RunPass();

    /* the sender: one non-delivery report per recipient, with the reason */
    auto ndrs = ReadMessages("jsmith.nsf", kNdr);
    ASSERT_EQ(ndrs.size(), 2u);
    for (const auto &r : ndrs)
        EXPECT_EQ(r.reason, kFinal13079);
    EXPECT_TRUE(ReadMessages("jsmith.nsf", kDr).empty());

    /* the log: the text passed through "VORTIQ: %s", then the mail went */
    auto texts = LogOf(VQM_TEXT);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, std::string("VORTIQ: ") + kFinal13079);
    EXPECT_EQ(texts[0].status, 0);
    EXPECT_EQ(vqtest::LogCount(VQM_SENDING_ADMIN_MAIL), 1);
    EXPECT_EQ(vqtest::LogCount(VQM_FAX_DELIVERED_TO_GATEWAY), 0);

    /* the administrator: subject, empty body, from the gateway, three files */
    auto mails = ReadMessages("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].subject, std::string("Fax Gateway Error: ") + kFinal13079);
    EXPECT_TRUE(mails[0].body.empty());
    EXPECT_EQ(mails[0].from, "VORTIQ");
    ASSERT_EQ(mails[0].AttachmentNames(), (Names{"ENVELOPE.BAD", "Attach.001", "Attach.002"}));
    EXPECT_EQ(mails[0].attachments[0].second.substr(0, 1), "\x03");
    EXPECT_EQ(mails[0].attachments[1].second, "first attachment");
    EXPECT_EQ(mails[0].attachments[2].second, "second attachment");

    /* the error copy went out with the mail; the message is settled */
    EXPECT_TRUE(Files(SPOOL_FAX_ERROR).empty());
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(E_quit, 0);
}

TEST_F(OutboundPassTest, NonDeliveryReportIsForwardedWithFourBodyLines)
{
    SendReport("Ann Other/Acme", "No route found to domain ELSEWHERE");
    RunPass();

    auto mails = ReadMessages("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].subject, "Fax Gateway Error: Non-Delivery Report");
    EXPECT_EQ(mails[0].body, (Names{"Message to:", "Ann Other/Acme", "was not delivered.",
                                    "No route found to domain ELSEWHERE"}));
    EXPECT_TRUE(mails[0].attachments.empty());
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_TRUE(Files(SPOOL_FAX_OUT).empty()) << "a report is no fax";
    EXPECT_TRUE(LogOf(VQM_TEXT).empty());
    EXPECT_EQ(E_quit, 0);
}

/* A report about the administrator's own mail is not mailed to them
 * (it would come back for ever) and stops the task, but only when the
 * name matches letter for letter. Later messages of the same pass are
 * still handled. */
TEST_F(OutboundPassTest, ReportAboutTheAdministratorStopsOnlyWhenLetterForLetter)
{
    struct Case {
        const char *name;
        std::string intended;
        bool wantMail;
    } cases[] = {
        {"exact", admin_, false},
        {"other case", "cn=fax admin/o=acme", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        E_quit = 0;
        const size_t before = ReadMessages("fadmin.nsf").size();
        const size_t reports = ReadMessages("jsmith.nsf", kDr).size();
        SendReport(c.intended, "User's mail file could not be opened");
        SendFax({"Ann Fax@555.0100@FAXGATE"}, std::string("After the report, ") + c.name);
        RunPass();

        EXPECT_EQ(ReadMessages("fadmin.nsf").size(), before + (c.wantMail ? 1 : 0));
        EXPECT_EQ(vqtest::LogCount(VQM_DS0, "Non-Delivery is to admin"), c.wantMail ? 0 : 1);
        EXPECT_EQ(E_quit, c.wantMail ? 0 : 1);
        EXPECT_EQ(Waiting(), 0u) << "the report is removed either way";
        EXPECT_EQ(ReadMessages("jsmith.nsf", kDr).size(), reports + 1) << "the fax after it went";
        EXPECT_EQ(vqtest::LogCount(VQM_FAX_DELIVERED_TO_GATEWAY), 1);
    }
    EXPECT_EQ(CompleteJobs(), 2u);
}

TEST_F(OutboundPassTest, FailedMessageDoesNotStopTheNextOne)
{
    SendFax({"Ann Fax@555.0100@FAXGATE"}, "First");
    SendFax({"Bob Fax@555.0199@FAXGATE"}, "Second");
    ASSERT_EQ(Waiting(), 2u);
    /* the pass's first durable step is the creation of the first job file */
    PortFaultArm(2, 1, EIO);
    RunPass();
    PortFaultArm(0, 0, 0);

    auto ndrs = ReadMessages("jsmith.nsf", kNdr);
    auto drs = ReadMessages("jsmith.nsf", kDr);
    ASSERT_EQ(ndrs.size(), 1u);
    ASSERT_EQ(drs.size(), 1u);
    EXPECT_NE(ndrs[0].subject.find("First"), std::string::npos) << ndrs[0].subject;
    EXPECT_NE(drs[0].subject.find("Second"), std::string::npos) << drs[0].subject;
    EXPECT_EQ(CompleteJobs(), 1u);
    EXPECT_EQ(ReadMessages("fadmin.nsf").size(), 1u) << "the error copy of the first";
    EXPECT_TRUE(Files(SPOOL_FAX_ERROR).empty());
    EXPECT_EQ(vqtest::LogCount(VQM_FAX_DELIVERED_TO_GATEWAY), 1);
    EXPECT_EQ(Waiting(), 0u);
    EXPECT_EQ(E_quit, 0);
}

/* A failed transfer whose error mail cannot go (no directory to resolve
 * the administrator in, or no mail.box): 13146 with status 1, the error
 * copy stays in FAX/ERROR with the reason noted at the end of its
 * envelope, and the task stops. */
TEST_F(OutboundPassTest, RefusedAdministratorMailStopsTheTask)
{
    for (const std::string moveAway : {"names.nsf", "mail.box"}) {
        SCOPED_TRACE(moveAway);
        E_quit = 0;
        ClearSpool();
        SendFax({"Ann Fax@555.0100@FAXGATE"}, "Quarterly", {{"one.txt", "first attachment"}});
        std::filesystem::remove_all(Spool(SPOOL_FAX_OUT));
        ASSERT_EQ(std::rename((data_ / moveAway).c_str(), (data_ / (moveAway + ".away")).c_str()), 0);
        RunPass();
        ASSERT_EQ(std::rename((data_ / (moveAway + ".away")).c_str(), (data_ / moveAway).c_str()), 0);
        vqtest::MakeDirs(Spool(SPOOL_FAX_OUT));

        auto refused = LogOf(VQM_DS0);
        ASSERT_EQ(refused.size(), 1u);
        EXPECT_EQ(refused[0].arg, "Can not route error message to Admin");
        EXPECT_EQ(refused[0].status, 1) << "always 1, whatever the mail call returned";
        EXPECT_EQ(E_quit, 1);
        auto notSent = LogOf(VQM_MAIL_NOT_TRANSFERRED);
        ASSERT_EQ(notSent.size(), 1u);
        EXPECT_EQ(ERR(notSent[0].status), ERR_NOEXIST);
        EXPECT_EQ(vqtest::LogCount(VQM_SENDING_ADMIN_MAIL), 0);

        Names kept = Files(SPOOL_FAX_ERROR);
        ASSERT_EQ(kept, (Names{"00000000", "00000000.ENV"})) << "envelope and attachment stay";
        EXPECT_EQ(vqtest::ReadFile(Spool(SPOOL_FAX_ERROR "/00000000")), "first attachment");
        char why[MAXSPRINTF];
        AddInFormatError(why, notSent[0].status);
        const std::string note = "Can not Route to " + admin_ + ": " + why;
        const std::string envelope = vqtest::ReadFile(Spool(SPOOL_FAX_ERROR "/00000000.ENV"));
        ASSERT_GT(envelope.size(), note.size()) << envelope;
        EXPECT_EQ(envelope.substr(envelope.size() - note.size()), note);
        EXPECT_NE(envelope.find("Hello fax"), std::string::npos) << "the job is whole before the note";
    }
}

}  // namespace
