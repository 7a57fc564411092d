/*
 * outbound_pass_test.cpp - OutboundTask over a gateway mail file filled
 * through the router: a failed message among good ones, non-delivery
 * reports (forwarded, or about the administrator's own mail), and a
 * refused administrator mail that stops the task.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "outbound_fixture.h"

namespace {

using vqtest::ReadMessages;
using Names = std::vector<std::string>;

class OutboundPassTest : public vqtest::OutboundTest {
protected:
    void SetUp() override
    {
        OutboundTest::SetUp();
        ASSERT_EQ(MailOpenMessageFile("vortiq.box", &hMessageFile), NOERROR);
    }
    void TearDown() override
    {
        MailCloseMessageFile(hMessageFile);
        hMessageFile = NULLHANDLE;
        OutboundTest::TearDown();
    }
    void SendFax(const Names &to, const std::string &subject)
    {
        vqtest::Memo memo = FaxMemo(subject);
        memo.sendTo = to;
        memo.attachments = {{"one.txt", "first attachment"}};
        ASSERT_EQ(vqtest::SendMemo(memo), NOERROR);
    }
    /* A non-delivery report as the router leaves it in the gateway's file. */
    void SendReport(const std::string &intended)
    {
        vqtest::Memo memo;
        memo.form = "NonDelivery Report";
        memo.from = "Mail Router";
        memo.sendTo = {"VORTIQ@FAXGATE"};
        memo.textItems = {{"IntendedRecipient", intended}, {"FailureReason", "No route"}};
        ASSERT_EQ(vqtest::SendMemo(memo), NOERROR);
    }
    void RunPass()
    {
        vqtest::ClearLog();
        E_quit = 0;
        OutboundTask();
        EXPECT_TRUE(vqtest::DocumentIds("vortiq.box").empty()) << "every message is settled";
    }
    size_t Reports(const char *form) const { return ReadMessages("jsmith.nsf", form).size(); }
};

/* The first job file cannot be created: that message gets its
 * non-delivery report and error mail, the next one (two recipients) goes
 * with one delivery report per recipient. */
TEST_F(OutboundPassTest, FailedMessageDoesNotStopTheNextOne)
{
    SendFax({"Ann Fax@555.0100@FAXGATE"}, "First");
    SendFax({"Ann Fax@555.0100@FAXGATE", "Bob Fax@555.0199@FAXGATE"}, "Second");
    PortFaultArm(2, 1, EIO);
    RunPass();
    PortFaultArm(0, 0, 0);

    auto ndrs = ReadMessages("jsmith.nsf", "NonDelivery Report");
    ASSERT_EQ(ndrs.size(), 1u);
    EXPECT_NE(ndrs[0].subject.find("First"), std::string::npos) << ndrs[0].subject;
    EXPECT_EQ(ndrs[0].reason, "VORTIQ: Message Create Final error 13079.");
    auto drs = ReadMessages("jsmith.nsf", "Delivery Report");
    ASSERT_EQ(drs.size(), 2u);
    EXPECT_NE(drs[0].intended, drs[1].intended);
    EXPECT_EQ(Files(SPOOL_FAX_OUT), (Names{"00000000"}));
    EXPECT_EQ(ReadMessages("fadmin.nsf").at(0).AttachmentNames(), (Names{"ENVELOPE.BAD", "Attach.001"}));
    EXPECT_TRUE(Files(SPOOL_FAX_ERROR).empty());
    EXPECT_EQ(E_quit, 0);
}

/* A report about the administrator's own mail is not mailed to them (it
 * would come back for ever) and stops the task, but only when the name
 * matches letter for letter; a fax after it in the same pass still goes. */
TEST_F(OutboundPassTest, ReportAboutTheAdministratorStopsOnlyWhenLetterForLetter)
{
    struct Case {
        std::string intended;
        bool wantMail;
    } cases[] = {{admin_, false}, {"cn=fax admin/o=acme", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.intended);
        const size_t before = ReadMessages("fadmin.nsf").size(), reports = Reports("Delivery Report");
        SendReport(c.intended);
        SendFax({"Ann Fax@555.0100@FAXGATE"}, "After the report");
        RunPass();
        auto mails = ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + (c.wantMail ? 1 : 0));
        if (c.wantMail) {
            EXPECT_EQ(mails.back().body, (Names{"Message to:", c.intended, "was not delivered.", "No route"}));
        }
        EXPECT_EQ(vqtest::LogCount(VQM_DS0, "Non-Delivery is to admin"), c.wantMail ? 0 : 1);
        EXPECT_EQ(E_quit, c.wantMail ? 0 : 1);
        EXPECT_EQ(Reports("Delivery Report"), reports + 1);
    }
}

/* The error mail cannot go (no directory, or no mail.box): 13146 with
 * status 1, the error copy stays in FAX/ERROR with the reason at the end
 * of its envelope, and the task stops. */
TEST_F(OutboundPassTest, RefusedAdministratorMailStopsTheTask)
{
    for (const std::string away : {"names.nsf", "mail.box"}) {
        SCOPED_TRACE(away);
        ClearSpool();
        SendFax({"Ann Fax@555.0100@FAXGATE"}, "Quarterly");
        std::filesystem::remove_all(Spool(SPOOL_FAX_OUT));
        std::filesystem::rename(data_ / away, data_ / (away + ".away"));
        RunPass();
        std::filesystem::rename(data_ / (away + ".away"), data_ / away);
        vqtest::MakeDirs(Spool(SPOOL_FAX_OUT));

        EXPECT_EQ(vqtest::LogCount(VQM_DS0, "Can not route error message to Admin"), 1);
        EXPECT_EQ(E_quit, 1);
        STATUS why = 0;
        for (const auto &e : vqtest::LogEntries()) {
            if (e.id == VQM_DS0) {
                EXPECT_EQ(e.status, 1) << "always 1, whatever the mail call returned";
            }
            if (e.id == VQM_MAIL_NOT_TRANSFERRED)
                why = e.status;
        }
        ASSERT_EQ(ERR(why), ERR_NOEXIST);
        ASSERT_EQ(Files(SPOOL_FAX_ERROR), (Names{"00000000", "00000000.ENV"}));
        char text[MAXSPRINTF];
        AddInFormatError(text, why);
        const std::string note = "Can not Route to " + admin_ + ": " + text;
        const std::string envelope = vqtest::ReadFile(Spool(SPOOL_FAX_ERROR "/00000000.ENV"));
        ASSERT_GT(envelope.size(), note.size());
        EXPECT_EQ(envelope.substr(envelope.size() - note.size()), note);
    }
}

}  // namespace
