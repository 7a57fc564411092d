/* outbound_pass_test.cpp - SendAdminMessage (the administrator's mail and
 * the error copy it takes or keeps), and OutboundTask over a gateway mail
 * file: a failed message among good ones, reports about the administrator,
 * and a refused administrator mail that stops the task. */
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "outbound_fixture.h"

namespace {

using vqtest::FileExists;
using vqtest::ReadFile;
using vqtest::ReadMessages;
using Names = std::vector<std::string>;

/* Entries of a message id with exactly that status. */
int CountLog(WORD id, STATUS status)
{
    int n = 0;
    for (const auto &e : vqtest::LogEntries())
        n += e.id == id && e.status == status;
    return n;
}

class AdminMailTest : public vqtest::OutboundTest {
protected:
    /* The three files of an error copy: envelope and two attachments. */
    Names ErrorCopy() const
    {
        const std::string dir = Spool(SPOOL_FAX_ERROR "/");
        Names paths = {dir + "00000001.ENV", dir + "00000002", dir + "00000003"};
        vqtest::WriteFile(paths[0], envelope_);
        vqtest::WriteFile(paths[1], "first attachment");
        vqtest::WriteFile(paths[2], "second attachment");
        return paths;
    }
    /* The envelope after a failed send: the note follows its last byte. */
    std::string NotedEnvelope(STATUS why) const
    {
        char text[MAXSPRINTF];
        AddInFormatError(text, why);
        return envelope_ + "Can not Route to " + admin_ + ": " + text;
    }
    const std::string envelope_ = std::string("\x03") + "\nSend-to: x\n\nbody line\n";
};

/* Subject (at most 229 characters of the error text) and the body lines
 * that have text; the header items name the administrator and the gateway. */
TEST_F(AdminMailTest, SubjectBodyAndHeaderItems)
{
    const std::string x300(300, 'x');
    const Names notDelivered = {"Message to:", "Ann Other/Acme", "was not delivered."};
    struct Case {
        const char *name;
        std::string error, intended, reason, wantSubject;
        Names wantBody;
    } cases[] = {
        {"both", "Non-Delivery Report", "Ann Other/Acme", "No route found",
         "Fax Gateway Error: Non-Delivery Report",
         {"Message to:", "Ann Other/Acme", "was not delivered.", "No route found"}},
        {"reason only (inbound)", "Inbound Message", "", "File I/O error", "Fax Gateway Error: Inbound Message",
         {"File I/O error"}},
        {"addressee only", "x", "Ann Other/Acme", "", "Fax Gateway Error: x", notDelivered},
        {"neither", "x", "", "", "Fax Gateway Error: x", {}},
        {"long error text", x300, "", "", "Fax Gateway Error: " + x300.substr(0, 229), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        const size_t before = vqtest::ReadMessages("fadmin.nsf").size();
        ASSERT_EQ(SendAdminMessage(nullptr, c.error.c_str(), c.intended.c_str(), c.reason.c_str()), NOERROR);
        auto mails = vqtest::ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + 1);
        const auto &m = mails.back();
        EXPECT_EQ(m.subject, c.wantSubject);
        EXPECT_EQ(m.body, c.wantBody);
        EXPECT_EQ(m.from + "@" + m.fromDomain, "VORTIQ@FAXGATE");
        EXPECT_EQ(m.sendTo, Names{admin_});
        EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), 1);
    }
}

/* Sent whole: the error copy is attached under its names and deleted.
 * Sent in part or not at all: every listed file is kept and the envelope
 * notes why, directly after its last byte. */
TEST_F(AdminMailTest, ErrorCopyIsAttachedAndDeletedOrKeptWithANote)
{
    /* a path of exactly 259 characters: cutting a longer entry would
     * attach this file in place of the named one */
    std::string fits = Spool(SPOOL_FAX_ERROR "/");
    fits += std::string(259 - fits.size(), 'Z');
    vqtest::WriteFile(fits, "not the named file");
    struct Case {
        const char *name;
        bool ioFault;  /* the router's save into mail.box fails */
        int removed;   /* a listed file deleted before the call */
        bool overlong; /* the last entry one byte longer than a path */
        bool wantSent, wantMail;
        Names wantAttachments;
    } cases[] = {
        {"sent whole", false, -1, false, true, true, {"ENVELOPE.BAD", "Attach.001", "Attach.002"}},
        {"router refuses the mail", true, -1, false, false, false, {}},
        {"attachment missing: sent with what came before", false, 1, false, false, true, {"ENVELOPE.BAD"}},
        {"overlong path refused, not cut", false, -1, true, false, true, {"ENVELOPE.BAD", "Attach.001"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        Names paths = ErrorCopy(), listed = paths;
        if (c.removed >= 0)
            std::remove(paths[c.removed].c_str());
        if (c.overlong)
            listed[2] = fits + "Z";
        vqtest::TextList list(listed);
        const size_t before = vqtest::ReadMessages("fadmin.nsf").size();
        if (c.ioFault)
            PortFaultArm(2, 1, EIO);
        STATUS got = SendAdminMessage(list.Locked(), "VORTIQ: Message Create Final error 13079.", "", "");
        PortFaultArm(0, 0, 0);

        EXPECT_EQ(got == NOERROR, c.wantSent);
        auto mails = vqtest::ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + (c.wantMail ? 1 : 0));
        if (c.wantMail) {
            EXPECT_EQ(mails.back().AttachmentNames(), c.wantAttachments);
            EXPECT_EQ(mails.back().attachments.back().second, c.removed == 1 ? envelope_ : c.overlong ? "first attachment" : "second attachment");
        }
        EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), c.wantMail ? 1 : 0);
        EXPECT_EQ(CountLog(VQM_MAIL_NOT_TRANSFERRED, got), c.wantSent ? 0 : 1);
        EXPECT_TRUE(vqtest::DocumentIds("mail.box").empty()) << "nothing half-routed";
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(FileExists(paths[i]), !c.wantSent && i != c.removed) << paths[i];
        if (!c.wantSent) {
            EXPECT_EQ(ReadFile(paths[0]), NotedEnvelope(got));
        }
        EXPECT_EQ(ReadFile(fits), "not the named file");
    }
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
