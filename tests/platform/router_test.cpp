/*
 * router_test.cpp - routing through MailTransferMessageLocal: people,
 * groups, foreign domains, unknown recipients and missing mail files, and
 * what stays in mail.box when a report cannot go anywhere.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "notes_fixture.h"
#include "notesapi.h"
#include "test_support.h"

namespace {

using vqtest::DocumentIds;
using vqtest::ItemList;
using vqtest::ItemText;
using vqtest::Memo;

class RouterTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        ASSERT_EQ(OSSetEnvironmentVariable("Domain", "Acme"), NOERROR);
        vqtest::MakeDirs(data_ / "mail");
        vqtest::CreateMailFile("mail.box", "Mail Router Mailbox");
        jane_ = vqtest::AddPerson("Jane Roe", "jroe", "mail/jroe.nsf");
        john_ = vqtest::AddPerson("John Doe", "jdoe", "mail/jdoe.nsf");
        vqtest::AddForeignDomain("FAXGATE", "mail/faxgate.nsf");
    }

    /* Documents of a mail file with the item's first entry. */
    std::vector<std::string> Column(const std::string &db, const std::string &item)
    {
        std::vector<std::string> out;
        for (NOTEID id : DocumentIds(db))
            out.push_back(ItemText(db, id, item));
        return out;
    }

    std::string jane_, john_;
};

TEST_F(RouterTest, DeliversToPersonByAnyName)
{
    for (const char *to : {"Jane Roe", "jroe", "CN=Jane Roe/O=Acme", "jane roe/acme", "Jane Roe@Acme"}) {
        Memo m;
        m.from = john_;
        m.sendTo = {to};
        m.subject = std::string("to ") + to;
        m.body = "line one\nline two";
        ASSERT_EQ(vqtest::SendMemo(m), NOERROR) << to;
    }
    std::vector<NOTEID> ids = DocumentIds("mail/jroe.nsf");
    ASSERT_EQ(ids.size(), 5u);
    EXPECT_EQ(ItemText("mail/jroe.nsf", ids[0], "Subject"), "to Jane Roe");
    EXPECT_EQ(ItemText("mail/jroe.nsf", ids[0], "Body"), "line one\nline two");
    EXPECT_EQ(ItemText("mail/jroe.nsf", ids[0], "From"), john_);
    EXPECT_EQ(ItemList("mail/jroe.nsf", ids[4], "$GatewayRecipients"),
              std::vector<std::string>{"Jane Roe@Acme"});
    /* every copy is stamped; mail.box is empty again; nobody got a report */
    DBHANDLE h = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("mail/jroe.nsf", &h), NOERROR);
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(h, ids[0], 0, &n), NOERROR);
    TIMEDATE t;
    EXPECT_TRUE(NSFItemGetTime(n, "DeliveredDate", &t));
    NSFNoteClose(n);
    NSFDbClose(h);
    EXPECT_TRUE(DocumentIds("mail.box").empty());
    EXPECT_TRUE(DocumentIds("mail/jdoe.nsf").empty());
}

TEST_F(RouterTest, GroupReachesEveryMemberOnceEvenWithLoops)
{
    vqtest::AddGroup("Sales", {"jroe", "Managers", "Jane Roe"});
    vqtest::AddGroup("Managers", {"John Doe", "Sales"}); /* loops back */
    Memo m;
    m.from = john_;
    m.sendTo = {"Sales"};
    m.subject = "quarterly";
    ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
    EXPECT_EQ(Column("mail/jroe.nsf", "Subject"), std::vector<std::string>{"quarterly"});
    EXPECT_EQ(Column("mail/jdoe.nsf", "Subject"), std::vector<std::string>{"quarterly"});
    std::vector<NOTEID> ids = DocumentIds("mail/jroe.nsf");
    /* one copy per mail file, carrying each name it was reached by */
    EXPECT_EQ(ItemList("mail/jroe.nsf", ids[0], "$GatewayRecipients"),
              (std::vector<std::string>{"jroe", "Jane Roe"}));
    EXPECT_TRUE(DocumentIds("mail.box").empty());
}

TEST_F(RouterTest, ForeignDomainLandsInDomainMailFileWithItsRecipients)
{
    Memo m;
    m.from = jane_;
    m.sendTo = {"Ann Lee@555.0100@FAXGATE", "Bob Ray|555.0101 @ faxgate"};
    m.copyTo = {"jdoe"};
    m.subject = "fax";
    ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
    std::vector<NOTEID> ids = DocumentIds("mail/faxgate.nsf");
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ItemList("mail/faxgate.nsf", ids[0], "$GatewayRecipients"),
              (std::vector<std::string>{"Ann Lee@555.0100@FAXGATE", "Bob Ray|555.0101 @ faxgate"}));
    EXPECT_EQ(ItemList("mail/faxgate.nsf", ids[0], "SendTo"), m.sendTo);
    EXPECT_EQ(DocumentIds("mail/jdoe.nsf").size(), 1u);
}

TEST_F(RouterTest, UnknownRecipientsBringTheSenderReports)
{
    Memo m;
    m.from = jane_;
    m.sendTo = {"Nobody Here", "x@NOWHERE", "John Doe"};
    m.subject = "hello";
    m.body = "the text";
    ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
    EXPECT_EQ(DocumentIds("mail/jdoe.nsf").size(), 1u);
    std::vector<NOTEID> ids = DocumentIds("mail/jroe.nsf");
    ASSERT_EQ(ids.size(), 2u);
    struct Want {
        std::string intended, reason;
    } want[] = {
        {"Nobody Here", "User not listed in the directory"},
        {"x@NOWHERE", "Domain not known to the router"},
    };
    for (size_t i = 0; i < 2; ++i) {
        const std::string db = "mail/jroe.nsf";
        EXPECT_EQ(ItemText(db, ids[i], "Form"), "NonDelivery Report");
        EXPECT_EQ(ItemText(db, ids[i], "IntendedRecipient"), want[i].intended);
        EXPECT_EQ(ItemText(db, ids[i], "FailureReason"), want[i].reason);
        std::string body = ItemText(db, ids[i], "Body");
        EXPECT_NE(body.find(want[i].intended), std::string::npos) << body;
        EXPECT_NE(body.find("the text"), std::string::npos) << body;
        EXPECT_NE(ItemText(db, ids[i], "Subject").find("hello"), std::string::npos);
    }
    EXPECT_TRUE(DocumentIds("mail.box").empty());
}

TEST_F(RouterTest, MissingMailFileGivesReportAndLosesNothing)
{
    vqtest::AddPerson("Gone Away", "gone", ""); /* no mail file at all */
    vqtest::AddDocument("names.nsf", {{"Type", "Person"}, {"FullName", "CN=Lost Soul/O=Acme"},
                                      {"MailFile", "mail/lost.nsf"}});
    Memo m;
    m.from = jane_;
    m.sendTo = {"Lost Soul", "gone"};
    m.body = "keep me";
    ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
    /* one report per recipient, each carrying the message's text */
    std::vector<std::string> intended = Column("mail/jroe.nsf", "IntendedRecipient");
    std::sort(intended.begin(), intended.end());
    EXPECT_EQ(intended, (std::vector<std::string>{"Lost Soul", "gone"}));
    for (NOTEID id : DocumentIds("mail/jroe.nsf")) {
        EXPECT_EQ(ItemText("mail/jroe.nsf", id, "FailureReason"),
                  "Recipient's mail file could not be opened");
        EXPECT_NE(ItemText("mail/jroe.nsf", id, "Body").find("keep me"), std::string::npos);
    }
    EXPECT_TRUE(DocumentIds("mail.box").empty());
}

TEST_F(RouterTest, UndeliverableReportStaysAsDeadMail)
{
    Memo m;
    m.from = "CN=Stranger/O=Elsewhere"; /* not in the directory */
    m.sendTo = {"nobody"};
    m.body = "precious";
    ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
    std::vector<NOTEID> ids = DocumentIds("mail.box");
    ASSERT_EQ(ids.size(), 2u); /* the message and its report, both dead */
    for (NOTEID id : ids)
        EXPECT_EQ(ItemText("mail.box", id, "RoutingState"), "DEAD");
    EXPECT_EQ(ItemText("mail.box", ids[0], "Body"), "precious");
    EXPECT_EQ(ItemText("mail.box", ids[1], "Form"), "NonDelivery Report");
}

TEST_F(RouterTest, MessageWithoutSenderOrRecipients)
{
    Memo m;
    m.sendTo = {};
    EXPECT_EQ(vqtest::SendMemo(m), ERR_MAIL_NO_RECIPIENTS);
    EXPECT_TRUE(DocumentIds("mail.box").empty());

    Memo anon;
    anon.sendTo = {"nobody"}; /* no From: the report has nowhere to go */
    ASSERT_EQ(vqtest::SendMemo(anon), NOERROR);
    EXPECT_EQ(DocumentIds("mail.box").size(), 2u);
}

TEST_F(RouterTest, MissingDirectoryRoutesNothing)
{
    std::remove((data_ / "names.nsf").c_str());
    Memo m;
    m.from = jane_;
    m.sendTo = {"jroe"};
    EXPECT_EQ(vqtest::SendMemo(m), ERR_NOEXIST);
    EXPECT_TRUE(DocumentIds("mail.box").empty());
    EXPECT_TRUE(DocumentIds("mail/jroe.nsf").empty());
}

TEST_F(RouterTest, AttachmentsTravelWithTheCopy)
{
    Memo m;
    m.from = jane_;
    m.sendTo = {"jdoe"};
    m.attachments = {{"a.txt", "alpha"}, {"b.bin", std::string("\0\1\2", 3)}};
    ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
    DBHANDLE h = NULLHANDLE;
    ASSERT_EQ(MailOpenMessageFile("mail/jdoe.nsf", &h), NOERROR);
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(h, DocumentIds("mail/jdoe.nsf")[0], 0, &n), NOERROR);
    char name[MAXPATH + 1];
    DWORD size = 0;
    BLOCKID bh;
    ASSERT_TRUE(MailGetMessageAttachmentInfo(n, 1, &bh, name, &size, nullptr, nullptr, nullptr, nullptr));
    EXPECT_STREQ(name, "b.bin");
    EXPECT_EQ(size, 3u);
    EXPECT_FALSE(MailGetMessageAttachmentInfo(n, 2, &bh, name, &size, nullptr, nullptr, nullptr, nullptr));
    NSFNoteClose(n);
    MailCloseMessageFile(h);
}

}  // namespace
