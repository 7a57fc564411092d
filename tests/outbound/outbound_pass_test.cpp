// outbound_pass_test.cpp - SendAdminMessage and its error copy, and OutboundTask over the gateway mail file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "outbound_fixture.h"

namespace {

using namespace vqtest;
using Names = std::vector<std::string>;

// Entries of a message id with exactly that status.
int CountLog(WORD id, STATUS status)
{
    int n = 0;
    for (const auto &e : LogEntries())
        n += e.id == id && e.status == status;
    return n;
}

using AdminMailTest = OutboundTest;

// Subject (at most 229 characters of error text), the body lines with text, the header items.
TEST_F(AdminMailTest, SubjectBodyAndHeaderItems)
{
    const std::string x300(300, 'x');
    struct Case { const char *name; std::string error, intended, reason, wantSubject; Names wantBody; } cases[] = {
        {"reason only", "Inbound", "", "File I/O error", "Fax Gateway Error: Inbound", {"File I/O error"}},
        {"addressee only", "x", "Ann Other/Acme", "", "Fax Gateway Error: x", {"Message to:", "Ann Other/Acme", "was not delivered."}},
        {"neither", "x", "", "", "Fax Gateway Error: x", {}},
        {"long error text", x300, "", "", "Fax Gateway Error: " + x300.substr(0, 229), {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        const size_t before = ReadMessages("fadmin.nsf").size();
        ASSERT_EQ(SendAdminMessage(nullptr, c.error.c_str(), c.intended.c_str(), c.reason.c_str()), NOERROR);
        auto mails = ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + 1);
        const auto &m = mails.back();
        EXPECT_EQ(m.subject, c.wantSubject);
        EXPECT_EQ(m.body, c.wantBody);
        EXPECT_EQ(m.from + "@" + m.fromDomain, "VORTIQ@FAXGATE");
        EXPECT_EQ(m.sendTo, Names{admin_});
        EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), 1);
    }
}

// Sent whole: the error copy is attached and deleted; else every file is kept and the envelope notes why.
TEST_F(AdminMailTest, ErrorCopyIsAttachedAndDeletedOrKeptWithANote)
{
    // a path of exactly 259 characters: cutting a longer entry would attach this file instead
    std::string fits = Spool(SPOOL_FAX_ERROR "/");
    fits += std::string(259 - fits.size(), 'Z');
    WriteFile(fits, "not the named file");
    // an error copy: envelope and two attachments
    const std::string dir = Spool(SPOOL_FAX_ERROR "/"), envelope = std::string("\x03") + "\nSend-to: x\n\nbody line\n";
    const Names paths = {dir + "00000001.ENV", dir + "00000002", dir + "00000003"};
    const Names texts = {envelope, "first attachment", "second attachment"};
    // ioFault: the router's save fails; removed: a listed file deleted first; overlong: last entry 260 long
    struct Case { const char *name; bool ioFault; int removed; bool overlong, wantSent, wantMail; Names wantAttachments; };
    const Case cases[] = {
        {"sent whole", false, -1, false, true, true, {"ENVELOPE.BAD", "Attach.001", "Attach.002"}},
        {"router refuses the mail", true, -1, false, false, false, {}},
        {"attachment missing: sent with what came before", false, 1, false, false, true, {"ENVELOPE.BAD"}},
        {"overlong path refused, not cut", false, -1, true, false, true, {"ENVELOPE.BAD", "Attach.001"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        for (int i = 0; i < 3; i++)
            WriteFile(paths[i], texts[i]);
        Names listed = paths;
        if (c.removed >= 0)
            std::remove(paths[c.removed].c_str());
        if (c.overlong)
            listed[2] = fits + "Z";
        TextList list(listed);
        const size_t before = ReadMessages("fadmin.nsf").size();
        if (c.ioFault)
            PortFaultArm(2, 1, EIO);
        STATUS got = SendAdminMessage(list.Locked(), "VORTIQ: Message Create Final error 13079.", "", "");
        PortFaultArm(0, 0, 0);

        EXPECT_EQ(got == NOERROR, c.wantSent);
        auto mails = ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + (c.wantMail ? 1 : 0));
        if (c.wantMail) {
            EXPECT_EQ(mails.back().AttachmentNames(), c.wantAttachments);
            EXPECT_EQ(mails.back().attachments.back().second, texts[c.removed == 1 ? 0 : c.overlong ? 1 : 2]);
        }
        EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), c.wantMail ? 1 : 0);
        EXPECT_EQ(CountLog(VQM_MAIL_NOT_TRANSFERRED, got), c.wantSent ? 0 : 1);
        EXPECT_TRUE(DocumentIds("mail.box").empty()) << "nothing half-routed";
        for (int i = 0; i < 3; i++)
            EXPECT_EQ(FileExists(paths[i]), !c.wantSent && i != c.removed) << paths[i];
        char why[MAXSPRINTF];
        AddInFormatError(why, got);
        if (!c.wantSent) { // the note follows the envelope's last byte
            EXPECT_EQ(ReadFile(paths[0]), envelope + "Can not Route to " + admin_ + ": " + why);
        }
        EXPECT_EQ(ReadFile(fits), "not the named file");
    }
}

class OutboundPassTest : public OutboundTest {
protected:
    void SetUp() override
    {
        OutboundTest::SetUp();
        ASSERT_EQ(MailOpenMessageFile("vortiq.box", &hMessageFile), NOERROR);
    }
    void TearDown() override { MailCloseMessageFile(hMessageFile), hMessageFile = NULLHANDLE, OutboundTest::TearDown(); }
    void SendFax()
    {
        Memo memo = FaxMemo("Quarterly");
        memo.sendTo = {"Ann Fax@555.0100@FAXGATE"}, memo.attachments = {{"one.txt", "first attachment"}};
        ASSERT_EQ(vqtest::SendMemo(memo), NOERROR);
    }
    void RunPass()
    {
        ClearLog();
        E_quit = 0;
        OutboundTask();
        EXPECT_TRUE(DocumentIds("vortiq.box").empty()) << "every message is settled";
    }
};

// A report about the administrator's own mail is held, unmailed, only when the name matches exactly; nothing stops.
TEST_F(OutboundPassTest, ReportAboutTheAdministratorIsHeldOnlyWhenLetterForLetter)
{
    struct Case { std::string intended; bool wantMail; } cases[] = {{admin_, false}, {"cn=fax admin/o=acme", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.intended);
        const size_t before = ReadMessages("fadmin.nsf").size(), reports = ReadMessages("jsmith.nsf", "Delivery Report").size();
        Memo report; // as the router leaves it in the gateway's file
        report.form = "NonDelivery Report", report.from = "Mail Router", report.sendTo = {"VORTIQ@FAXGATE"};
        report.textItems = {{"IntendedRecipient", c.intended}, {"FailureReason", "No route"}};
        ASSERT_EQ(vqtest::SendMemo(report), NOERROR);
        SendFax();
        ClearLog(), E_quit = 0, OutboundTask(), OutboundTask();
        auto mails = ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + (c.wantMail ? 1 : 0));
        if (c.wantMail) { EXPECT_EQ(mails.back().body, (Names{"Message to:", c.intended, "was not delivered.", "No route"})); }
        EXPECT_EQ(LogCount(VQM_DS0, "Non-Delivery is to admin"), c.wantMail ? 0 : 1);
        EXPECT_EQ(E_quit, 0);
        EXPECT_EQ(DocumentIds("vortiq.box").size(), 1u) << "the first case's report, held";
        EXPECT_EQ(ItemText("vortiq.box", DocumentIds("vortiq.box").at(0), "VortiqHeld"), "Non-Delivery is to admin: No route");
        EXPECT_EQ(ReadMessages("jsmith.nsf", "Delivery Report").size(), reports + 1);
    }
}

// The error mail cannot go (no directory or no mail.box): logged, the copy kept, no stop; the next pass tells the administrator once.
TEST_F(OutboundPassTest, RefusedAdministratorMailIsRetriedAtTheNextPass)
{
    for (const std::string away : {"names.nsf", "mail.box"}) {
        SCOPED_TRACE(away);
        ClearSpool();
        const size_t admin = ReadMessages("fadmin.nsf").size();
        SendFax();
        std::filesystem::remove_all(Spool(SPOOL_FAX_OUT));
        std::filesystem::rename(data_ / away, data_ / (away + ".away"));
        ClearLog(), E_quit = 0, OutboundTask();
        std::filesystem::rename(data_ / (away + ".away"), data_ / away);
        EXPECT_EQ(CountLog(VQM_DS0, 1), 1) << "always 1, whatever the mail call returned";
        EXPECT_EQ(LogCount(VQM_DS0, "Can not route error message to Admin"), 1);
        EXPECT_EQ(E_quit, 0);
        EXPECT_EQ(Files(SPOOL_FAX_ERROR), (Names{"00000000", "00000000.ENV"}));
        EXPECT_EQ(DocumentIds("vortiq.box").size(), 1u) << "kept until the administrator is told";
        RunPass();
        MakeDirs(Spool(SPOOL_FAX_OUT));
        const auto mails = ReadMessages("fadmin.nsf");
        ASSERT_EQ(mails.size(), admin + 1);
        EXPECT_EQ(mails.back().subject, "Fax Gateway Error: VORTIQ: Message Create Final error 13079.");
        EXPECT_NE(mails.back().body.at(0).find("00000000.ENV"), std::string::npos);
        EXPECT_EQ(E_quit, 0);
    }
}

// Two passes under a fault, then one without: a retryable fault waits (one line a pass, no report, no stop) and is faxed later;
// past VortiqRetryMaxHours it is held and reported; a broken spool stops the gateway with the recipients kept.
TEST_F(OutboundPassTest, FaultsWaitFailOrStop)
{
    struct Row { const char *name; std::string scope; int err, hours; bool spoolGone; int wantWaits, wantNdr, wantNotices; bool wantQuit, wantFaxed; } rows[] = {
        {"spool full", spool_, ENOSPC, 0, false, 2, 0, 0, false, true},
        {"data directory full", "!" + spool_, EDQUOT, 0, false, 2, 0, 0, false, true},
        {"gateway mail file busy: no job before its journal entry, never a second", data_ / "vortiq.box", EBUSY, 0, false, 2, 0, 0, false, true},
        {"waited two hours: one delay notice", spool_, ENOSPC, 2, false, 2, 0, 1, false, true},
        {"job and error copy fail, spool folders gone: recipients kept", "", 0, 0, true, 0, 0, 0, true, true},
        {"full past the maximum age: held, reported", spool_, ENOSPC, 25, false, 0, 1, 0, false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ClearSpool();
        auto notices = [&] { size_t n = 0; for (const auto &m : ReadMessages("jsmith.nsf")) n += m.subject == "Delayed fax"; return n; };
        const size_t ndr = ReadMessages("jsmith.nsf", "NonDelivery Report").size(), told = notices();
        SendFax();
        vqtest::SetClock((int64_t)std::time(nullptr) + row.hours * 3600);
        if (row.spoolGone)
            for (const char *d : {SPOOL_FAX_OUT, SPOOL_FAX_ERROR})
                std::filesystem::remove_all(Spool(d));
        ClearLog(), E_quit = 0, PortFaultScope(row.scope.c_str()), PortFaultArm(row.err != 0 ? 3 : 0, 1, row.err);
        OutboundTask(), OutboundTask();
        PortFaultArm(0, 0, 0), PortFaultScope(nullptr), vqtest::UseRealClock();
        MakeDirs(Spool(SPOOL_FAX_OUT)), MakeDirs(Spool(SPOOL_FAX_ERROR));
        EXPECT_EQ(E_quit, row.wantQuit ? 1 : 0);
        EXPECT_EQ(LogCount(VQM_OUT_MAIL_WAITS), row.wantWaits);
        EXPECT_EQ(ReadMessages("jsmith.nsf", "NonDelivery Report").size(), ndr + row.wantNdr);
        EXPECT_EQ(notices(), told + row.wantNotices);
        EXPECT_EQ(DocumentIds("vortiq.box").size(), 1u) << "the mail is kept";
        ClearLog(), E_quit = 0;
        OutboundTask();
        EXPECT_EQ(Files(SPOOL_FAX_OUT).size(), row.wantFaxed ? 1u : 0u);
        EXPECT_EQ(DocumentIds("vortiq.box").size(), row.wantFaxed ? 0u : 1u); // the held row comes last
    }
}

// A mail that cannot become a job nor an error copy is held: one report, one admin mail naming it, the next mail faxed, no stop.
TEST_F(OutboundPassTest, PoisonMailIsHeldOnceAndTheNextIsFaxed)
{
    Memo poison = FaxMemo("Poison");
    poison.textItems = {{"PostedDate", "yesterday"}};
    ASSERT_EQ(vqtest::SendMemo(poison), NOERROR);
    SendFax();
    for (int pass = 0; pass < 2; pass++) {
        ClearLog(), E_quit = 0;
        OutboundTask();
        EXPECT_EQ(E_quit, 0);
    }
    const auto held = DocumentIds("vortiq.box");
    ASSERT_EQ(held.size(), 1u) << "only the poison mail stays";
    const std::string reason = ItemText("vortiq.box", held[0], "VortiqHeld");
    EXPECT_NE(reason, "");
    EXPECT_EQ(ReadMessages("jsmith.nsf", "NonDelivery Report").size(), 1u);
    EXPECT_EQ(ReadMessages("jsmith.nsf", "Delivery Report").size(), 1u) << "the normal mail";
    const auto mails = ReadMessages("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    char id[32];
    std::snprintf(id, sizeof id, "note id %lX", (unsigned long)held[0]);
    ASSERT_EQ(mails[0].body.size(), 1u);
    for (const std::string &part : {std::string(id), sender_, std::string("\"Poison\""), reason})
        EXPECT_NE(mails[0].body[0].find(part), std::string::npos) << part;
    EXPECT_EQ(Files(SPOOL_FAX_OUT).size(), 1u);
    EXPECT_TRUE(Files(SPOOL_FAX_ERROR).empty());
}

// Plain mails go in chunks of up to 100; a poison mail among them hands the chunk over first. The result is one mail at a
// time's: jobs named in the mails' order, each mail's recipient line just before its delivered line, one report each.
TEST_F(OutboundPassTest, ChunksKeepTheOrderOfOneMailAtATime)
{
    const int kMails = 203, kPoison = 150;
    std::string want, got;
    for (int i = 0; i < kMails; i++) {
        const std::string n = std::to_string(i);
        Memo m = FaxMemo("Fax " + n, "Fax " + n + "@555." + std::to_string(1000 + i) + "@FAXGATE");
        if (i == kPoison)
            m.textItems = {{"PostedDate", "yesterday"}};
        ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
        want += n + (i == kPoison ? " " + n + " " : " D ");  // the poison: its job, then its error copy
    }
    ClearLog();
    OutboundTask();
    for (const auto &e : LogEntries()) {
        if (e.id == VQM_OUT_RECIPIENT_IS)
            got += e.text.substr(e.text.find("{Fax ") + 5, e.text.find(',') - e.text.find("{Fax ") - 5) + " ";
        got += e.id == VQM_FAX_DELIVERED_TO_GATEWAY ? "D " : "";
    }
    EXPECT_EQ(got, want);
    const Names jobs = Files(SPOOL_FAX_OUT);
    ASSERT_EQ(jobs.size(), (size_t)kMails - 1);
    for (int i = 0, job = 0; i < kMails; i++)
        if (i != kPoison) {
            EXPECT_NE(ReadFile(Spool(SPOOL_FAX_OUT "/") + jobs[job++]).find("\nSubject: Fax " + std::to_string(i) + "\n"), std::string::npos) << i;
        }
    EXPECT_EQ(ReadMessages("jsmith.nsf", "Delivery Report").size(), (size_t)kMails - 1);
    EXPECT_EQ(DocumentIds("vortiq.box").size(), 1u) << "only the poison mail stays";
}

}  // namespace
