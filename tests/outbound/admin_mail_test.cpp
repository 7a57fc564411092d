/*
 * admin_mail_test.cpp - SendAdminMessage on its own: the mail the
 * administrator finds in their mail file (items, body lines, attachments
 * and their names), and what becomes of the error files when the mail
 * goes out, when it is built only in part, and when it cannot go at all.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "notes_fixture.h"
#include "notesapi.h"
#include "test_support.h"
#include "vortiq.h"

namespace {

using vqtest::FileExists;
using vqtest::ReadFile;
using vqtest::WriteFile;

/* One mail as its recipient sees it. */
struct AdminMail {
    std::string subject, from, fromDomain;
    std::vector<std::string> sendTo;
    std::vector<std::string> body;                                /* lines */
    std::vector<std::pair<std::string, std::string>> attachments; /* name, bytes */
};

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

/* Every mail of a mail file, read through the public mail calls. */
std::vector<AdminMail> ReadMails(const std::string &db)
{
    std::vector<AdminMail> mails;
    vqtest::TempDir tmp;
    for (NOTEID id : vqtest::DocumentIds(db)) {
        AdminMail m;
        m.subject = vqtest::ItemText(db, id, "Subject");
        m.from = vqtest::ItemText(db, id, "From");
        m.fromDomain = vqtest::ItemText(db, id, "FromDomain");
        m.sendTo = vqtest::ItemList(db, id, "SendTo");
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

/* A prefixed text list of paths, as the outbound pass hands it over. */
class PathList {
public:
    explicit PathList(const std::vector<std::string> &paths)
    {
        LIST *p = nullptr;
        EXPECT_EQ(ListAllocate(0, 0, TRUE, &h_, &p, &size_), NOERROR);
        OSUnlockObject(h_);
        for (size_t i = 0; i < paths.size(); ++i)
            EXPECT_EQ(ListAddEntry(h_, TRUE, &size_, (WORD)i, paths[i].c_str(),
                                   (WORD)paths[i].size()),
                      NOERROR);
        list_ = (LIST *)OSLockObject(h_);
    }
    ~PathList()
    {
        OSUnlockObject(h_);
        OSMemFree(h_);
    }
    PathList(const PathList &) = delete;
    PathList &operator=(const PathList &) = delete;
    LIST *get() const { return list_; }

private:
    DHANDLE h_ = NULLHANDLE;
    WORD size_ = 0;
    LIST *list_ = nullptr;
};

std::string StatusText(STATUS s)
{
    char buf[MAXSPRINTF];
    AddInFormatError(buf, s);
    return buf;
}

int CountLog(WORD id, STATUS status = 0xFFFF)
{
    int n = 0;
    for (const auto &e : vqtest::LogEntries())
        if (e.id == id && (status == 0xFFFF || e.status == status))
            n++;
    return n;
}

class AdminMailTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        vqtest::CreateMailFile("mail.box", "Mail Router");
        admin_ = vqtest::AddPerson("Fax Admin", "fadmin", "fadmin.nsf");
        VqCopy(FaxAdministrator, sizeof FaxAdministrator, admin_.c_str());
        VqCopy(GatewayDomain, sizeof GatewayDomain, "FAXGATE");
        errDir_ = data_ / "spool/TMBFAX/FAX/ERROR";
        vqtest::MakeDirs(errDir_);
        E_quit = 0;
    }
    void TearDown() override
    {
        PortFaultArm(0, 0, 0);
        PlatformTest::TearDown();
    }
    /* The three files of an error copy: envelope and two attachments. */
    std::vector<std::string> ErrorCopy()
    {
        std::vector<std::string> paths = {errDir_ + "/00000001.ENV", errDir_ + "/00000002",
                                          errDir_ + "/00000003"};
        WriteFile(paths[0], envelope_);
        WriteFile(paths[1], "first attachment");
        WriteFile(paths[2], "second attachment");
        return paths;
    }
    std::string admin_;
    std::string errDir_;
    const std::string envelope_ = std::string("\x03") + "\nSend-to: x\n\nbody line\n";
};

TEST_F(AdminMailTest, BodyHoldsOnlyTheLinesThatHaveText)
{
    struct Case {
        const char *name, *intended, *reason;
        std::vector<std::string> want;
    } cases[] = {
        {"both", "Ann Other/Acme", "No route found",
         {"Message to:", "Ann Other/Acme", "was not delivered.", "No route found"}},
        {"reason only (inbound)", "", "File I/O error", {"File I/O error"}},
        {"addressee only", "Ann Other/Acme", "",
         {"Message to:", "Ann Other/Acme", "was not delivered."}},
        {"neither", "", "", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        size_t before = ReadMails("fadmin.nsf").size();
        ASSERT_EQ(SendAdminMessage(nullptr, "Non-Delivery Report", c.intended, c.reason), NOERROR);
        auto mails = ReadMails("fadmin.nsf");
        ASSERT_EQ(mails.size(), before + 1);
        bool found = false;
        for (const auto &m : mails)
            if (m.body == c.want)
                found = true;
        EXPECT_TRUE(found);
        EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), 1);
    }
    EXPECT_EQ(E_quit, 0);
}

TEST_F(AdminMailTest, HeaderItemsNameTheAdministratorAndTheGateway)
{
    ASSERT_EQ(SendAdminMessage(nullptr, "Inbound Message", "", "reason"), NOERROR);
    auto mails = ReadMails("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].subject, "Fax Gateway Error: Inbound Message");
    EXPECT_EQ(mails[0].from, "VORTIQ");
    EXPECT_EQ(mails[0].fromDomain, "FAXGATE");
    EXPECT_EQ(mails[0].sendTo, std::vector<std::string>{admin_});
    EXPECT_TRUE(mails[0].attachments.empty());
    auto status = vqtest::StatusLines();
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.front(), "VORTIQ: Sending Error Message to the Admin");
}

TEST_F(AdminMailTest, SubjectTakesAtMost229CharactersOfTheErrorText)
{
    struct Case {
        std::string error, want;
    } cases[] = {
        {std::string(300, 'x'), "Fax Gateway Error: " + std::string(229, 'x')},
        {std::string(229, 'y'), "Fax Gateway Error: " + std::string(229, 'y')},
        {"short", "Fax Gateway Error: short"},
        {"", "Fax Gateway Error: "},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(SendAdminMessage(nullptr, c.error.c_str(), "", ""), NOERROR);
    }
    std::vector<std::string> got;
    for (const auto &m : ReadMails("fadmin.nsf"))
        got.push_back(m.subject);
    for (const auto &c : cases)
        EXPECT_NE(std::find(got.begin(), got.end(), c.want), got.end()) << c.want.substr(0, 40);
}

TEST_F(AdminMailTest, ErrorCopyIsAttachedUnderItsNamesAndThenDeleted)
{
    auto paths = ErrorCopy();
    PathList list(paths);
    ASSERT_EQ(SendAdminMessage(list.get(), "VORTIQ: Message Create Final error 13079.", "", ""),
              NOERROR);
    auto mails = ReadMails("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    std::vector<std::pair<std::string, std::string>> want = {
        {"ENVELOPE.BAD", envelope_},
        {"Attach.001", "first attachment"},
        {"Attach.002", "second attachment"},
    };
    EXPECT_EQ(mails[0].attachments, want);
    EXPECT_TRUE(mails[0].body.empty());
    for (const auto &p : paths)
        EXPECT_FALSE(FileExists(p)) << p;
    EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), 1);
    EXPECT_EQ(CountLog(VQM_MAIL_NOT_TRANSFERRED), 0);
}

TEST_F(AdminMailTest, NullAndEmptyListBehaveAlike)
{
    auto paths = ErrorCopy();
    PathList empty({});
    LIST *lists[] = {nullptr, empty.get()};
    for (LIST *l : lists) {
        ASSERT_EQ(SendAdminMessage(l, "Inbound Message", "", ""), NOERROR);
    }
    auto mails = ReadMails("fadmin.nsf");
    ASSERT_EQ(mails.size(), 2u);
    for (const auto &m : mails)
        EXPECT_TRUE(m.attachments.empty());
    /* files of the folder that the list does not name are none of its business */
    for (const auto &p : paths)
        EXPECT_TRUE(FileExists(p)) << p;
    EXPECT_EQ(ReadFile(paths[0]), envelope_);
}

TEST_F(AdminMailTest, MissingMailBoxKeepsFilesAndNotesWhyInTheEnvelope)
{
    auto paths = ErrorCopy();
    PathList list(paths);
    ASSERT_EQ(std::rename((data_ / "mail.box").c_str(), (data_ / "mail.box.away").c_str()), 0);

    STATUS got = SendAdminMessage(list.get(), "VORTIQ: Message Create Final error 13079.", "", "");

    EXPECT_EQ(ERR(got), ERR_NOEXIST);
    EXPECT_EQ(CountLog(VQM_MAIL_NOT_TRANSFERRED, got), 1);
    EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL), 0);
    for (const auto &p : paths)
        EXPECT_TRUE(FileExists(p)) << p;
    EXPECT_EQ(ReadFile(paths[0]), envelope_ + "Can not Route to " + admin_ + ": " + StatusText(got));
    EXPECT_EQ(ReadFile(paths[1]), "first attachment");
}

TEST_F(AdminMailTest, RouterRefusalKeepsFilesAndNotesTheRefusal)
{
    auto paths = ErrorCopy();
    PathList list(paths);
    /* the first durable step of the call is the router saving the mail
     * into mail.box */
    PortFaultArm(2, 1, EIO);

    STATUS got = SendAdminMessage(list.get(), "VORTIQ: Message Create Final error 13079.", "", "");
    PortFaultArm(0, 0, 0);

    EXPECT_EQ(ERR(got), ERR_IO);
    EXPECT_EQ(CountLog(VQM_MAIL_NOT_TRANSFERRED, got), 1);
    EXPECT_EQ(CountLog(VQM_MAIL_NOT_TRANSFERRED), 1) << "building went well";
    EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL), 0);
    EXPECT_TRUE(ReadMails("fadmin.nsf").empty());
    EXPECT_TRUE(vqtest::DocumentIds("mail.box").empty()) << "nothing half-routed";
    for (const auto &p : paths)
        EXPECT_TRUE(FileExists(p)) << p;
    EXPECT_EQ(ReadFile(paths[0]), envelope_ + "Can not Route to " + admin_ + ": " + StatusText(got));
    EXPECT_EQ(ReadFile(paths[2]), "second attachment");
}

TEST_F(AdminMailTest, RefusalWithoutAnEnvelopeFileWritesNothing)
{
    std::string missing = errDir_ + "/00000009.ENV";
    PathList list({missing});
    ASSERT_EQ(std::rename((data_ / "mail.box").c_str(), (data_ / "mail.box.away").c_str()), 0);

    EXPECT_NE(SendAdminMessage(list.get(), "x", "", ""), NOERROR);

    EXPECT_FALSE(FileExists(missing)) << "the note never creates the file";
    EXPECT_TRUE(vqtest::ListDir(errDir_).empty());
}

TEST_F(AdminMailTest, MissingAttachmentSendsWhatCameBeforeAndKeepsTheFiles)
{
    auto paths = ErrorCopy();
    ASSERT_EQ(std::remove(paths[1].c_str()), 0);
    PathList list(paths);

    STATUS got = SendAdminMessage(list.get(), "VORTIQ: Message Create Final error 13079.", "", "");

    EXPECT_NE(got, NOERROR);
    auto mails = ReadMails("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u) << "the mail goes out without the rest";
    ASSERT_EQ(mails[0].attachments.size(), 1u);
    EXPECT_EQ(mails[0].attachments[0].first, "ENVELOPE.BAD");
    int attachErrors = 0;
    for (const auto &e : vqtest::LogEntries())
        if (e.id == VQM_API_CALL_ERROR && e.arg == "MailAddMessageAttachment")
            attachErrors++;
    EXPECT_EQ(attachErrors, 1);
    EXPECT_EQ(CountLog(VQM_SENDING_ADMIN_MAIL, 0), 1);
    EXPECT_EQ(CountLog(VQM_MAIL_NOT_TRANSFERRED, got), 1);
    EXPECT_TRUE(FileExists(paths[0]));
    EXPECT_TRUE(FileExists(paths[2]));
    EXPECT_EQ(ReadFile(paths[0]), envelope_ + "Can not Route to " + admin_ + ": " + StatusText(got));
}

TEST_F(AdminMailTest, OverlongPathIsRefusedNotCut)
{
    auto paths = ErrorCopy();
    /* a file whose path fills the 259 characters exactly: cutting the
     * longer entry below would attach it in place of the named file */
    std::string fits = errDir_ + "/";
    fits += std::string(259 - fits.size(), 'Z');
    WriteFile(fits, "not the named file");
    ASSERT_TRUE(FileExists(fits));
    PathList list({paths[0], paths[1], fits + "Z"});

    STATUS got = SendAdminMessage(list.get(), "x", "", "");

    EXPECT_NE(got, NOERROR);
    auto mails = ReadMails("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    ASSERT_EQ(mails[0].attachments.size(), 2u);
    EXPECT_EQ(mails[0].attachments[1].first, "Attach.001");
    for (const auto &p : paths)
        EXPECT_TRUE(FileExists(p)) << p;
    EXPECT_TRUE(FileExists(fits));
}

}  // namespace
