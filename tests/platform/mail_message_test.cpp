/*
 * mail_message_test.cpp - building and reading one message: header items
 * by mail item number, the recipients item, plain-text bodies through
 * files (line delimiters, wrapping, tabs), attachments byte for byte, and
 * the mail file calls themselves.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "notes_fixture.h"
#include "notesapi.h"
#include "vq_port.h"
#include "test_support.h"

namespace {

using vqtest::ReadFile;
using vqtest::WriteFile;

class MailMessageTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        ASSERT_EQ(OSSetEnvironmentVariable("Domain", "Acme"), NOERROR);
        ASSERT_EQ(MailCreateMessageFile("mail.box", "mailbox.ntf", nullptr, &hBox_), NOERROR);
        ASSERT_EQ(MailCreateMessage(hBox_, &hMsg_), NOERROR);
    }
    void TearDown() override
    {
        if (hMsg_ != NULLHANDLE)
            MailCloseMessage(hMsg_);
        if (hBox_ != NULLHANDLE)
            MailCloseMessageFile(hBox_);
        PlatformTest::TearDown();
    }

    /* Body from a file with the gateway's delimiters, back out as text. */
    std::string RoundTrip(const std::string &in, WORD width, BOOL tabs,
                          const char *delims = "\r\n\x1a")
    {
        WriteFile(tmp_ / "in.txt", in);
        EXPECT_EQ(MailAddMessageBodyText(hMsg_, nullptr, (tmp_ / "in.txt").c_str(), 0, delims, 0,
                                         nullptr),
                  NOERROR);
        DWORD size = 0;
        EXPECT_EQ(MailGetMessageBodyText(hMsg_, nullptr, "\r\n", width, tabs,
                                         (tmp_ / "out.txt").c_str(), &size),
                  NOERROR);
        std::string out = ReadFile(tmp_ / "out.txt");
        EXPECT_EQ(size, out.size());
        return out;
    }

    std::string Item(WORD code, WORD size = 256)
    {
        std::vector<char> buf(size + 1, 'x');
        WORD len = 0;
        EXPECT_EQ(MailGetMessageItem(hMsg_, code, buf.data(), size, &len), NOERROR);
        EXPECT_EQ(std::strlen(buf.data()), len);
        return std::string(buf.data(), len);
    }

    vqtest::TempDir tmp_;
    DBHANDLE hBox_ = NULLHANDLE;
    DHANDLE hMsg_ = NULLHANDLE;
};

TEST_F(MailMessageTest, BodyTextRoundTrips)
{
    struct Case {
        const char *name;
        std::string in;
        WORD width;
        BOOL tabs;
        std::string want;
    } cases[] = {
        {"crlf", "one\r\ntwo\r\n\r\nfour\r\n", 80, FALSE, "one\r\ntwo\r\n\r\nfour\r\n"},
        {"bare lf and no last delimiter", "one\ntwo", 80, FALSE, "one\r\ntwo\r\n"},
        {"ctrl-z ends the text", "one\r\ntwo\x1aignored\r\n", 80, FALSE, "one\r\ntwo\r\n"},
        {"wrap at a blank", "aaaa bbbb cccc", 9, FALSE, "aaaa bbbb\r\ncccc\r\n"},
        {"hard wrap without blank", "abcdefghij", 4, FALSE, "abcd\r\nefgh\r\nij\r\n"},
        {"exact width stays", "abcd", 4, FALSE, "abcd\r\n"},
        {"no wrap at width 0", std::string(300, 'x'), 0, FALSE, std::string(300, 'x') + "\r\n"},
        {"tabs to the next stop", "a\tb\r\n\tc", 80, TRUE, "a       b\r\n        c\r\n"},
        {"tabs kept when not asked", "a\tb", 80, FALSE, "a\tb\r\n"},
        {"empty file", "", 80, FALSE, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RoundTrip(c.in, c.width, c.tabs), c.want) << c.name;
}

TEST_F(MailMessageTest, BodyFromLinesAndMissingBody)
{
    DWORD size = 0;
    /* no body at all: an empty file */
    ASSERT_EQ(MailGetMessageBodyText(hMsg_, nullptr, "\n", 80, FALSE, (tmp_ / "o").c_str(), &size),
              NOERROR);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(ReadFile(tmp_ / "o"), "");

    DHANDLE hBody = NULLHANDLE;
    DWORD len = 0;
    ASSERT_EQ(MailCreateBodyItem(&hBody, &len), NOERROR);
    for (const char *line : {"Message to:", "CN=Jane Roe/O=Acme", "", "was not delivered."})
        ASSERT_EQ(MailAppendBodyItemLine(hBody, &len, line, (WORD)std::strlen(line)), NOERROR);
    ASSERT_EQ(MailAddBodyItem(hMsg_, hBody, len, nullptr), NOERROR);
    EXPECT_EQ(OSMemFree(hBody), NOERROR);
    ASSERT_EQ(MailGetMessageBodyText(hMsg_, nullptr, "|", 0, FALSE, (tmp_ / "o").c_str(), &size),
              NOERROR);
    EXPECT_EQ(ReadFile(tmp_ / "o"), "Message to:|CN=Jane Roe/O=Acme||was not delivered.|");
    /* a folder that does not exist fails; nothing is left behind */
    EXPECT_NE(MailGetMessageBodyText(hMsg_, nullptr, "\n", 0, FALSE, (tmp_ / "no/o").c_str(), &size),
              NOERROR);
}

TEST_F(MailMessageTest, HeaderItemsByNumber)
{
    ASSERT_EQ(MailAddHeaderItem(hMsg_, MAIL_FROM_ITEM_NUM, "VORTIQ", 6), NOERROR);
    ASSERT_EQ(MailAddHeaderItem(hMsg_, MAIL_SUBJECT_ITEM_NUM, "Fax Gateway Error: x", 20), NOERROR);
    ASSERT_EQ(MailAddHeaderItem(hMsg_, MAIL_FROMDOMAIN_ITEM_NUM, "FAXGATE", 7), NOERROR);
    EXPECT_EQ(MailAddHeaderItem(hMsg_, MAIL_ITEMS, "x", 1), ERR_MAIL_BAD_ITEM_NUM);
    ASSERT_EQ(NSFItemCreateTextList(hMsg_, "SendTo", "Ann@1@FAXGATE", MAXWORD), NOERROR);
    ASSERT_EQ(NSFItemAppendTextList(hMsg_, "SendTo", "Bob@2@FAXGATE", MAXWORD, TRUE), NOERROR);

    EXPECT_EQ(Item(MAIL_FROM_ITEM_NUM), "VORTIQ");
    EXPECT_EQ(Item(MAIL_FROMDOMAIN_ITEM_NUM), "FAXGATE");
    EXPECT_EQ(Item(MAIL_SENDTO_ITEM_NUM), "Ann@1@FAXGATE, Bob@2@FAXGATE");
    EXPECT_EQ(Item(MAIL_SUBJECT_ITEM_NUM, 4), "Fax");
    EXPECT_EQ(Item(MAIL_FORM_ITEM_NUM), "Memo");

    char buf[16] = "junk";
    WORD len = 5;
    EXPECT_EQ(MailGetMessageItem(hMsg_, MAIL_COPYTO_ITEM_NUM, buf, sizeof buf, &len), NOERROR);
    EXPECT_EQ(len, 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(MailGetMessageItem(hMsg_, 200, buf, sizeof buf, &len), ERR_MAIL_BAD_ITEM_NUM);

    /* value blocks led by their type word */
    struct Case {
        WORD code, type;
    } cases[] = {{MAIL_FROM_ITEM_NUM, TYPE_TEXT}, {MAIL_SENDTO_ITEM_NUM, TYPE_TEXT_LIST}};
    for (const auto &c : cases) {
        BLOCKID bh;
        WORD type = 0;
        DWORD vlen = 0;
        ASSERT_EQ(MailGetMessageItemHandle(hMsg_, c.code, &bh, &type, &vlen), NOERROR);
        EXPECT_EQ(type, c.type);
        WORD lead = 0;
        std::memcpy(&lead, OSLockBlock(char, bh), sizeof lead);
        OSUnlockBlock(bh);
        EXPECT_EQ(lead, c.type);
    }
    BLOCKID bh;
    WORD type;
    DWORD vlen;
    EXPECT_EQ(MailGetMessageItemHandle(hMsg_, MAIL_COPYTO_ITEM_NUM, &bh, &type, &vlen), ERR_MAIL_NO_ITEM);

    TIMEDATE t, got;
    OSCurrentTIMEDATE(&t);
    ASSERT_EQ(NSFItemSetTime(hMsg_, "PostedDate", &t), NOERROR);
    ASSERT_EQ(MailGetMessageItemTimeDate(hMsg_, MAIL_POSTEDDATE_ITEM_NUM, &got), NOERROR);
    EXPECT_EQ(TimeDateCompare(&t, &got), 0);
    EXPECT_EQ(MailGetMessageItemTimeDate(hMsg_, MAIL_DELIVEREDDATE_ITEM_NUM, &got), ERR_MAIL_NO_ITEM);
    EXPECT_EQ(MailGetMessageItemTimeDate(hMsg_, MAIL_SUBJECT_ITEM_NUM, &got), ERR_MAIL_BAD_ITEM_NUM);
}

TEST_F(MailMessageTest, AttachmentsExtractByteForByte)
{
    std::string big(10 * 1024 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i * 131 + (i >> 13));
    struct Att {
        std::string name, bytes;
    } atts[] = {{"empty.dat", ""}, {"RX.FAX", big}, {"faxsvr.fof", "[Fax Options]\r\n\x1a tail"}};
    for (const auto &a : atts) {
        WriteFile(tmp_ / "src", a.bytes);
        ASSERT_EQ(MailAddMessageAttachment(hMsg_, (tmp_ / "src").c_str(), a.name.c_str()), NOERROR);
    }
    EXPECT_EQ(MailAddMessageAttachment(hMsg_, (tmp_ / "missing").c_str(), "x"), ERR_NOEXIST);
    for (WORD i = 0; i < 3; ++i) {
        BLOCKID bh;
        char name[MAXPATH + 1];
        DWORD size = 1;
        ASSERT_TRUE(MailGetMessageAttachmentInfo(hMsg_, i, &bh, name, &size, nullptr, nullptr,
                                                 nullptr, nullptr));
        EXPECT_EQ(name, atts[i].name);
        EXPECT_EQ(size, atts[i].bytes.size());
        std::string dest = tmp_ / ("out" + std::to_string(i));
        ASSERT_EQ(MailExtractMessageAttachment(hMsg_, bh, dest.c_str()), NOERROR);
        EXPECT_TRUE(ReadFile(dest) == atts[i].bytes) << atts[i].name;
    }
    BLOCKID bh;
    EXPECT_FALSE(MailGetMessageAttachmentInfo(hMsg_, 3, &bh, nullptr, nullptr, nullptr, nullptr,
                                              nullptr, nullptr));
    /* after a save and a fresh open, too */
    ASSERT_EQ(NSFNoteUpdate(hMsg_, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(hMsg_, _NOTE_ID, &id);
    NOTEHANDLE again = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(hBox_, id, 0, &again), NOERROR);
    ASSERT_TRUE(MailGetMessageAttachmentInfo(again, 1, &bh, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr));
    ASSERT_EQ(MailExtractMessageAttachment(again, bh, (tmp_ / "again").c_str()), NOERROR);
    EXPECT_TRUE(ReadFile(tmp_ / "again") == big);
    NSFNoteClose(again);
}

TEST_F(MailMessageTest, FailedExtractLeavesNoPartialFile)
{
    WriteFile(tmp_ / "src", "fax image bytes");
    ASSERT_EQ(MailAddMessageAttachment(hMsg_, (tmp_ / "src").c_str(), "RX.FAX"), NOERROR);
    BLOCKID bh;
    ASSERT_TRUE(MailGetMessageAttachmentInfo(hMsg_, 0, &bh, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr));
    /* the create, the write and the fsync each fail once in turn */
    for (long op = 1; op <= 3; ++op) {
        std::string dest = tmp_ / ("x" + std::to_string(op));
        PortFaultArm(2, op, ENOSPC);
        STATUS s = MailExtractMessageAttachment(hMsg_, bh, dest.c_str());
        PortFaultArm(0, 0, 0);
        EXPECT_NE(s, NOERROR) << "operation " << op;
        EXPECT_FALSE(vqtest::FileExists(dest)) << "operation " << op;
    }
    BLOCKID bogus = bh;
    bogus.block = 1; /* not the start of an attachment */
    EXPECT_EQ(MailExtractMessageAttachment(hMsg_, bogus, (tmp_ / "y").c_str()), ERR_MAIL_NO_ATTACHMENT);
}

TEST_F(MailMessageTest, RecipientsListBelongsToTheMessage)
{
    DHANDLE hList = NULLHANDLE;
    LIST *pList = nullptr;
    WORD size = 0;
    ASSERT_EQ(ListAllocate(0, 0, TRUE, &hList, &pList, &size), NOERROR);
    OSUnlockObject(hList);
    ASSERT_EQ(ListAddEntry(hList, TRUE, &size, 0, "Jane Roe", 8), NOERROR);
    ASSERT_EQ(ListAddEntry(hList, TRUE, &size, 1, "Ann@1@FAXGATE", 13), NOERROR);
    ASSERT_EQ(MailAddRecipientsItem(hMsg_, hList, size), NOERROR);
    /* still readable after it was handed over, as the inbound pass copies it */
    void *p = OSLockObject(hList);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(ListGetNumEntries(p, TRUE), 2);
    OSUnlockObject(hList);
    EXPECT_EQ(Item(MAIL_RECIPIENTS_ITEM_NUM), "Jane Roe, Ann@1@FAXGATE");
    /* closing the message frees it: the teardown finds no handle left */
    MailCloseMessage(hMsg_);
    hMsg_ = NULLHANDLE;
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Memory), 0u);

    /* a list without its data-type prefix is refused and stays the caller's */
    ASSERT_EQ(MailCreateMessage(hBox_, &hMsg_), NOERROR);
    ASSERT_EQ(ListAllocate(0, 0, FALSE, &hList, &pList, &size), NOERROR);
    OSUnlockObject(hList);
    EXPECT_EQ(MailAddRecipientsItem(hMsg_, hList, size), ERR_BAD_PARAM);
    EXPECT_EQ(OSMemFree(hList), NOERROR);
}

TEST_F(MailMessageTest, MailFilesOpenAndCreateForRealReasonsOnly)
{
    DBHANDLE h = NULLHANDLE;
    EXPECT_EQ(MailOpenMessageFile("nothere.nsf", &h), ERR_NOEXIST);
    EXPECT_EQ(MailCreateMessageFile("x.nsf", "other.ntf", "X", &h), ERR_MAIL_TEMPLATE);
    EXPECT_FALSE(vqtest::FileExists(data_ / "x.nsf"));
    EXPECT_EQ(MailCreateMessageFile("mail.box", "MAILBOX.NTF", "X", &h), ERR_DB_EXISTS);
    EXPECT_NE(MailCreateMessageFile("nodir/gw.nsf", "mailbox.ntf", "X", &h), NOERROR);

    ASSERT_EQ(MailCreateMessageFile("gw.nsf", "MailBox.ntf", "VORTIQ Fax Gateway", &h), NOERROR);
    char title[64];
    ASSERT_EQ(VqDbGetTitle(h, title, sizeof title), NOERROR);
    EXPECT_STREQ(title, "VORTIQ Fax Gateway");
    MailCloseMessageFile(h);
    ASSERT_EQ(MailOpenMessageFile(nullptr, &h), NOERROR);
    char path[MAXPATH];
    ASSERT_EQ(VqDbGetPath(h, path, sizeof path), NOERROR);
    EXPECT_EQ(std::string(path), data_ / "mail.box");
    MailCloseMessageFile(h);
}

}  // namespace
