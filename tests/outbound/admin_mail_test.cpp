/*
 * admin_mail_test.cpp - SendAdminMessage on its own: the mail the
 * administrator finds in their mail file (items, body lines, attachments
 * and their names), and what becomes of the error files when the mail
 * goes out, when it is built only in part, and when it cannot go at all.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "outbound_fixture.h"

namespace {

using vqtest::FileExists;
using vqtest::ReadFile;
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
    const std::string x300(300, 'x'), y229(229, 'y');
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
        {"error text of 229", y229, "", "", "Fax Gateway Error: " + y229, {}},
        {"no error text", "", "", "", "Fax Gateway Error: ", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        vqtest::ClearStatus();
        const size_t before = vqtest::ReadMessages("fadmin.nsf").size();
        ASSERT_EQ(SendAdminMessage(nullptr, c.error.c_str(), c.intended.c_str(), c.reason.c_str()), NOERROR);
        auto mails = vqtest::ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + 1);
        const auto &m = mails.back();
        EXPECT_EQ(m.subject, c.wantSubject);
        EXPECT_EQ(m.body, c.wantBody);
        EXPECT_EQ(m.from, "VORTIQ");
        EXPECT_EQ(m.fromDomain, "FAXGATE");
        EXPECT_EQ(m.sendTo, Names{admin_});
        EXPECT_TRUE(m.attachments.empty());
        EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), 1);
        auto status = vqtest::StatusLines();
        ASSERT_FALSE(status.empty());
        EXPECT_EQ(status.front(), "VORTIQ: Sending Error Message to the Admin");
    }
    EXPECT_EQ(E_quit, 0);
}

TEST_F(AdminMailTest, ErrorCopyIsAttachedUnderItsNamesAndThenDeleted)
{
    Names paths = ErrorCopy();
    vqtest::TextList list(paths);
    ASSERT_EQ(SendAdminMessage(list.Locked(), "VORTIQ: Message Create Final error 13079.", "", ""), NOERROR);
    auto mails = vqtest::ReadMessages("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    std::vector<std::pair<std::string, std::string>> want = {
        {"ENVELOPE.BAD", envelope_}, {"Attach.001", "first attachment"}, {"Attach.002", "second attachment"}};
    EXPECT_EQ(mails[0].attachments, want);
    EXPECT_TRUE(mails[0].body.empty());
    for (const auto &p : paths)
        EXPECT_FALSE(FileExists(p)) << p;
    EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), 1);
    EXPECT_EQ(vqtest::LogCount(VQM_MAIL_NOT_TRANSFERRED), 0);
}

TEST_F(AdminMailTest, NullAndEmptyListBehaveAlike)
{
    Names paths = ErrorCopy();
    vqtest::TextList empty;
    for (LIST *l : {(LIST *)nullptr, empty.Locked()})
        ASSERT_EQ(SendAdminMessage(l, "Inbound Message", "", ""), NOERROR);
    auto mails = vqtest::ReadMessages("fadmin.nsf");
    ASSERT_EQ(mails.size(), 2u);
    for (const auto &m : mails)
        EXPECT_TRUE(m.attachments.empty());
    /* files of the folder that the list does not name are none of its business */
    for (const auto &p : paths)
        EXPECT_TRUE(FileExists(p)) << p;
    EXPECT_EQ(ReadFile(paths[0]), envelope_);
}

/* A mail that cannot go, or goes without all its files: every listed file
 * is kept and the envelope notes why, directly after its last byte. */
TEST_F(AdminMailTest, FailuresKeepTheFilesAndNoteWhyInTheEnvelope)
{
    /* a file whose path fills the 259 characters exactly: cutting a longer
     * entry would attach it in place of the named file */
    std::string fits = Spool(SPOOL_FAX_ERROR "/");
    fits += std::string(259 - fits.size(), 'Z');
    struct Case {
        const char *name;
        bool noMailBox, ioFault; /* mail.box moved away; the router's save fails */
        int removed;             /* a listed file deleted before the call */
        bool overlong;           /* the last entry longer than a path */
        STATUS wantErr;          /* 0: any failure */
        bool wantMail;
        Names wantAttachments;
    } cases[] = {
        {"mail.box missing", true, false, -1, false, ERR_NOEXIST, false, {}},
        {"router refuses the mail", false, true, -1, false, ERR_IO, false, {}},
        {"attachment missing: sent with what came before", false, false, 1, false, 0, true, {"ENVELOPE.BAD"}},
        {"overlong path refused, not cut", false, false, -1, true, 0, true, {"ENVELOPE.BAD", "Attach.001"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        Names paths = ErrorCopy();
        Names listed = paths;
        if (c.removed >= 0) {
            ASSERT_EQ(std::remove(paths[c.removed].c_str()), 0);
        }
        if (c.overlong) {
            vqtest::WriteFile(fits, "not the named file");
            listed[2] = fits + "Z";
        }
        vqtest::TextList list(listed);
        const size_t before = vqtest::ReadMessages("fadmin.nsf").size();
        if (c.noMailBox) {
            ASSERT_EQ(std::rename((data_ / "mail.box").c_str(), (data_ / "mail.box.away").c_str()), 0);
        }
        if (c.ioFault)
            PortFaultArm(2, 1, EIO); /* the first durable step: saving into mail.box */

        STATUS got = SendAdminMessage(list.Locked(), "VORTIQ: Message Create Final error 13079.", "", "");

        PortFaultArm(0, 0, 0);
        if (c.noMailBox) {
            ASSERT_EQ(std::rename((data_ / "mail.box.away").c_str(), (data_ / "mail.box").c_str()), 0);
        }
        EXPECT_NE(got, NOERROR);
        if (c.wantErr != 0) {
            EXPECT_EQ(ERR(got), c.wantErr);
        }
        auto mails = vqtest::ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + (c.wantMail ? 1 : 0));
        if (c.wantMail) {
            EXPECT_EQ(mails.back().AttachmentNames(), c.wantAttachments);
        }
        EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), c.wantMail ? 1 : 0);
        EXPECT_EQ(CountLog(VQM_MAIL_NOT_TRANSFERRED, got), 1);
        EXPECT_EQ(vqtest::LogCount(VQM_MAIL_NOT_TRANSFERRED), 1);
        EXPECT_EQ(vqtest::LogCount(VQM_API_CALL_ERROR, "MailAddMessageAttachment"), c.wantMail ? 1 : 0);
        EXPECT_TRUE(vqtest::DocumentIds("mail.box").empty()) << "nothing half-routed";
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(FileExists(paths[i]), i != c.removed) << paths[i];
        EXPECT_EQ(ReadFile(paths[0]), NotedEnvelope(got));
        EXPECT_EQ(ReadFile(paths[2]), "second attachment");
        if (c.overlong) {
            EXPECT_EQ(ReadFile(fits), "not the named file");
        }
    }
}

TEST_F(AdminMailTest, RefusalWithoutAnEnvelopeFileWritesNothing)
{
    const std::string missing = Spool(SPOOL_FAX_ERROR "/00000009.ENV");
    vqtest::TextList list({missing});
    ASSERT_EQ(std::rename((data_ / "mail.box").c_str(), (data_ / "mail.box.away").c_str()), 0);
    EXPECT_NE(SendAdminMessage(list.Locked(), "x", "", ""), NOERROR);
    EXPECT_FALSE(FileExists(missing)) << "the note never creates the file";
    EXPECT_TRUE(Files(SPOOL_FAX_ERROR).empty());
}

}  // namespace
