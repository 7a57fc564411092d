/*
 * mail_list_test.cpp - the gateway's view of its foreign-domain mail
 * file: the message list, recipients as routed, address parsing, marking
 * recipients done, purging, last error, and reports back to the sender
 * (also to the gateway itself, "VORTIQ@FAXGATE").
 */
#include <gtest/gtest.h>

#include <cstring>

#include "notes_fixture.h"
#include "notesapi.h"
#include "test_support.h"

namespace {

using vqtest::DocumentIds;
using vqtest::ItemText;
using vqtest::Memo;

const char *const kGate = "mail/faxgate.nsf";

class MailListTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        ASSERT_EQ(OSSetEnvironmentVariable("Domain", "Acme"), NOERROR);
        vqtest::MakeDirs(data_ / "mail");
        vqtest::CreateMailFile("mail.box");
        jane_ = vqtest::AddPerson("Jane Roe", "jroe", "mail/jroe.nsf");
        vqtest::AddForeignDomain("FAXGATE", kGate);
    }
    void TearDown() override
    {
        if (hList_ != NULLHANDLE)
            MailFreeMessageList(hList_, list_);
        if (hFile_ != NULLHANDLE)
            MailCloseMessageFile(hFile_);
        PlatformTest::TearDown();
    }

    void SendFax(const std::vector<std::string> &to, const std::string &subject = "fax")
    {
        Memo m;
        m.from = jane_;
        m.sendTo = to;
        m.subject = subject;
        m.body = "Dear Ann";
        ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
    }

    /* Opens the gateway file (once) and makes a fresh list. */
    WORD List()
    {
        if (hList_ != NULLHANDLE)
            MailFreeMessageList(hList_, list_);
        hList_ = NULLHANDLE;
        if (hFile_ == NULLHANDLE) {
            EXPECT_EQ(MailOpenMessageFile(kGate, &hFile_), NOERROR);
        }
        WORD count = 0;
        EXPECT_EQ(MailCreateMessageList(hFile_, &hList_, &list_, &count), NOERROR);
        return count;
    }

    std::string Recipient(WORD msg, WORD n)
    {
        char buf[MAXRECIPIENTNAME + 1];
        WORD len = 0;
        EXPECT_EQ(MailGetMessageRecipient(list_, msg, n, buf, sizeof buf, &len), NOERROR);
        return std::string(buf, len);
    }

    WORD Count(WORD msg)
    {
        WORD n = 0xFFFF;
        EXPECT_EQ(MailGetMessageInfo(list_, msg, &n, nullptr, nullptr), NOERROR);
        return n;
    }

    std::string jane_;
    DBHANDLE hFile_ = NULLHANDLE;
    DHANDLE hList_ = NULLHANDLE;
    DARRAY *list_ = nullptr;
};

TEST_F(MailListTest, RecipientsAreDoneOneByOneAndPurgeWaitsForAll)
{
    SendFax({"Ann Lee@555.0100@FAXGATE", "Bob Ray@555.0101@FAXGATE"}, "first");
    SendFax({"Cy Fox@555.0102@FAXGATE"}, "second");
    ASSERT_EQ(List(), 2);
    EXPECT_EQ(Count(0), 2);
    EXPECT_EQ(Recipient(0, 0), "Ann Lee@555.0100@FAXGATE");
    EXPECT_EQ(Recipient(0, 1), "Bob Ray@555.0101@FAXGATE");
    EXPECT_EQ(Recipient(1, 0), "Cy Fox@555.0102@FAXGATE");
    char who[MAXUSERNAME + 1];
    WORD len = 0;
    ASSERT_EQ(MailGetMessageOriginator(list_, 0, who, sizeof who, &len), NOERROR);
    EXPECT_EQ(std::string(who, len), jane_);

    /* Deleting one does not renumber the other. */
    ASSERT_EQ(MailDeleteMessageRecipient(list_, 0, 0), NOERROR);
    EXPECT_EQ(Recipient(0, 1), "Bob Ray@555.0101@FAXGATE");
    ASSERT_EQ(MailPurgeMessage(list_, 0), NOERROR);
    ASSERT_EQ(MailPurgeMessage(list_, 1), NOERROR); /* nothing done: stays */
    EXPECT_EQ(DocumentIds(kGate).size(), 2u);

    ASSERT_EQ(List(), 2);
    EXPECT_EQ(Count(0), 1);
    EXPECT_EQ(Recipient(0, 0), "Bob Ray@555.0101@FAXGATE");
    ASSERT_EQ(MailDeleteMessageRecipient(list_, 0, 0), NOERROR);
    ASSERT_EQ(MailPurgeMessage(list_, 0), NOERROR);
    std::vector<NOTEID> left = DocumentIds(kGate);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(ItemText(kGate, left[0], "Subject"), "second");

    ASSERT_EQ(List(), 1);
    EXPECT_EQ(Recipient(0, 0), "Cy Fox@555.0102@FAXGATE");
}

TEST_F(MailListTest, OutOfRangeNumbersAreRefused)
{
    SendFax({"Ann Lee@555.0100@FAXGATE"});
    ASSERT_EQ(List(), 1);
    char buf[64];
    WORD len = 0, n = 0;
    DHANDLE h = NULLHANDLE;
    WORD bad = 3;
    EXPECT_EQ(MailGetMessageInfo(list_, 1, &n, nullptr, nullptr), ERR_MAIL_NO_MESSAGE);
    EXPECT_EQ(MailGetMessageOriginator(list_, 1, buf, sizeof buf, &len), ERR_MAIL_NO_MESSAGE);
    EXPECT_EQ(MailGetMessageRecipient(list_, 0, 1, buf, sizeof buf, &len), ERR_MAIL_NO_RECIPIENT);
    EXPECT_EQ(MailGetMessageRecipient(list_, 5, 0, buf, sizeof buf, &len), ERR_MAIL_NO_MESSAGE);
    EXPECT_EQ(MailDeleteMessageRecipient(list_, 0, 1), ERR_MAIL_NO_RECIPIENT);
    EXPECT_EQ(MailPurgeMessage(list_, 1), ERR_MAIL_NO_MESSAGE);
    EXPECT_EQ(MailOpenMessage(list_, 1, &h), ERR_MAIL_NO_MESSAGE);
    EXPECT_EQ(MailSendNonDeliveryReport(list_, 0, 1, &bad, "x", 1), ERR_MAIL_NO_RECIPIENT);
    EXPECT_EQ(MailSetMessageLastError(list_, 9, "x"), ERR_MAIL_NO_MESSAGE);
    EXPECT_TRUE(DocumentIds("mail/jroe.nsf").empty()); /* no report went out */

    /* names are cut to the buffer and always terminated */
    std::memset(buf, 'x', sizeof buf);
    ASSERT_EQ(MailGetMessageRecipient(list_, 0, 0, buf, 8, &len), NOERROR);
    EXPECT_EQ(len, 7);
    EXPECT_STREQ(buf, "Ann Lee");
}

TEST_F(MailListTest, ParseSplitsAtTheLastAt)
{
    struct Case {
        const char *address;
        WORD length, domainSize;
        const char *user, *domain;
    } cases[] = {
        {"Jane Roe@555.0100@FAXGATE", 200, 33, "Jane Roe@555.0100", "FAXGATE"},
        {"Jane Roe @ 555.0100 @ FAXGATE", 200, 33, "Jane Roe @ 555.0100", "FAXGATE"},
        {"Jane Roe", 200, 33, "Jane Roe", ""},
        {"@FAXGATE", 200, 33, "", "FAXGATE"},
        {"a@b@c", 3, 33, "a", "b"},
        {"x@FAXGATE", 200, 4, "x", "FAX"},
    };
    for (const auto &c : cases) {
        char user[MAXUSERNAME + 1], domain[64];
        WORD ul = 99, dl = 99;
        ASSERT_EQ(MailParseMailAddress(c.address, c.length, user, sizeof user, &ul, domain,
                                       c.domainSize, &dl),
                  NOERROR);
        EXPECT_EQ(std::string(user, ul), c.user) << c.address;
        EXPECT_STREQ(user, c.user) << c.address;
        EXPECT_EQ(std::string(domain, dl), c.domain) << c.address;
        EXPECT_STREQ(domain, c.domain) << c.address;
    }
}

TEST_F(MailListTest, ReportsReachTheOriginatorsMailFile)
{
    SendFax({"Ann Lee@555.0100@FAXGATE", "Bob Ray@555.0101@FAXGATE"}, "Quote");
    ASSERT_EQ(List(), 1);
    WORD first = 0, second = 1;
    ASSERT_EQ(MailSendDeliveryReport(list_, 0, 1, &first), NOERROR);
    const char reason[] = "VORTIQ: Message Create Final error 13079.";
    ASSERT_EQ(MailSendNonDeliveryReport(list_, 0, 1, &second, reason, (WORD)std::strlen(reason)),
              NOERROR);
    ASSERT_EQ(MailSetMessageLastError(list_, 0, reason), NOERROR);
    EXPECT_EQ(ItemText(kGate, DocumentIds(kGate)[0], "$LastError"), reason);

    std::vector<NOTEID> ids = DocumentIds("mail/jroe.nsf");
    ASSERT_EQ(ids.size(), 2u);
    const std::string db = "mail/jroe.nsf";
    EXPECT_EQ(ItemText(db, ids[0], "Form"), "Delivery Report");
    EXPECT_EQ(ItemText(db, ids[0], "IntendedRecipient"), "Ann Lee@555.0100@FAXGATE");
    EXPECT_NE(ItemText(db, ids[0], "Subject").find("Quote"), std::string::npos);
    EXPECT_EQ(ItemText(db, ids[1], "Form"), "NonDelivery Report");
    EXPECT_EQ(ItemText(db, ids[1], "IntendedRecipient"), "Bob Ray@555.0101@FAXGATE");
    EXPECT_EQ(ItemText(db, ids[1], "FailureReason"), reason);

    /* the sender's copy of a report reads as one through the mail calls */
    DBHANDLE hJane = NULLHANDLE;
    ASSERT_EQ(MailOpenMessageFile("mail/jroe.nsf", &hJane), NOERROR);
    for (size_t i = 0; i < 2; ++i) {
        NOTEHANDLE n = NULLHANDLE;
        ASSERT_EQ(NSFNoteOpen(hJane, ids[i], 0, &n), NOERROR);
        EXPECT_EQ(MailIsNonDeliveryReport(n), i == 1 ? TRUE : FALSE);
        NSFNoteClose(n);
    }
    MailCloseMessageFile(hJane);
}

TEST_F(MailListTest, GatewaySeesReportsOfItsOwnMail)
{
    /* Mail the gateway sends carries From VORTIQ and its foreign domain;
     * a recipient that fails must come back into the gateway's file. */
    Memo m;
    m.from = "VORTIQ";
    m.textItems = {{"FromDomain", "FAXGATE"}};
    m.sendTo = {"Nobody Known"};
    m.subject = "Received fax";
    ASSERT_EQ(vqtest::SendMemo(m), NOERROR);

    ASSERT_EQ(List(), 1);
    EXPECT_EQ(Recipient(0, 0), "VORTIQ@FAXGATE");
    DHANDLE h = NULLHANDLE;
    ASSERT_EQ(MailOpenMessage(list_, 0, &h), NOERROR);
    EXPECT_TRUE(MailIsNonDeliveryReport(h));
    char buf[MAXRECIPIENTNAME + 1];
    WORD len = 0;
    ASSERT_EQ(MailGetMessageItem(h, MAIL_INTENDEDRECIPIENT_ITEM_NUM, buf, sizeof buf, &len), NOERROR);
    EXPECT_STREQ(buf, "Nobody Known");
    ASSERT_EQ(MailGetMessageItem(h, MAIL_FAILUREREASON_ITEM_NUM, buf, sizeof buf, &len), NOERROR);
    EXPECT_STREQ(buf, "User not listed in the directory");
    MailCloseMessage(h);

    /* disposing of the report empties the file; no report about it */
    ASSERT_EQ(MailDeleteMessageRecipient(list_, 0, 0), NOERROR);
    ASSERT_EQ(MailPurgeMessage(list_, 0), NOERROR);
    EXPECT_TRUE(DocumentIds(kGate).empty());
    EXPECT_TRUE(DocumentIds("mail.box").empty());
}

TEST_F(MailListTest, PriorityReportFlagsAndModifiedTime)
{
    ASSERT_EQ(MailOpenMessageFile(kGate, &hFile_), NOERROR);
    TIMEDATE before, after;
    ASSERT_EQ(MailGetMessageFileModifiedTime(hFile_, &before), NOERROR);
    vqtest::SetClock(VqTimeSeconds() + 5);
    Memo m;
    m.from = jane_;
    m.sendTo = {"Ann@1@FAXGATE"};
    m.textItems = {{"DeliveryPriority", "High"}, {"DeliveryReport", "C"}};
    ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
    ASSERT_EQ(MailGetMessageFileModifiedTime(hFile_, &after), NOERROR);
    EXPECT_GT(TimeDateCompare(&after, &before), 0);

    ASSERT_EQ(List(), 1);
    WORD count = 0, prio = 9, report = 9;
    ASSERT_EQ(MailGetMessageInfo(list_, 0, &count, &prio, &report), NOERROR);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(prio, 2);
    EXPECT_EQ(report, 2);
    EXPECT_EQ(MailPurgeMessageFile(hFile_), NOERROR);
}

TEST_F(MailListTest, EmptyFileGivesEmptyLockedList)
{
    ASSERT_EQ(MailOpenMessageFile(kGate, &hFile_), NOERROR);
    DHANDLE h = NULLHANDLE;
    DARRAY *list = nullptr;
    WORD count = 7;
    ASSERT_EQ(MailCreateMessageList(hFile_, &h, &list, &count), NOERROR);
    EXPECT_EQ(count, 0);
    ASSERT_NE(list, nullptr);
    WORD n = 0;
    EXPECT_EQ(MailGetMessageInfo(list, 0, &n, nullptr, nullptr), ERR_MAIL_NO_MESSAGE);
    /* released the way the gateway does it */
    OSUnlockObject(h);
    EXPECT_EQ(OSMemFree(h), NOERROR);
}

}  // namespace
