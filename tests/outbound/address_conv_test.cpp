/*
 * address_conv_test.cpp - recipient address conversion (name-only part and
 * full fax address) and the listing of a message's send-to and copy-to
 * names, with messages routed into the gateway mail file.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "notes_fixture.h"
#include "outbound.h"
#include "test_support.h"

namespace {

struct Converted {
    STATUS status;
    std::string nameOnly;
    std::string full;
};

Converted Convert(const std::string &recipient, const std::string &moreAdd = "",
                  int length = -1)
{
    std::vector<char> full(CONV_FULLADDR_FIXED + moreAdd.size() + 1, '#');
    char nameOnly[CONV_NAMEONLY_SIZE];
    Converted c;
    c.status = ConvLotusNametoFaxName(recipient.data(), length < 0 ? (int)recipient.size() : length,
                                      nameOnly, sizeof nameOnly, full.data(), full.size(),
                                      moreAdd.c_str());
    c.nameOnly = nameOnly;
    c.full = full.data();
    return c;
}

TEST(ConvLotusNametoFaxName, Examples)
{
    const std::string q = "\"";
    struct Case {
        std::string recipient, moreAdd, wantName, wantFull;
    } cases[] = {
        {"Jane Roe@555.0100@FAXGATE", "", "Jane Roe", "- @ FAX {Jane Roe,555D0100 }"},
        {"Jane Roe|555,0100|Sales Dept.@FAXGATE", "", "Jane Roe",
         "- @ FAX {Jane Roe,555B0100,Sales Dept. }"},
        {"  " + q + "Roe, Jane" + q + "@FAXGATE", "", "Roe, Jane", "- @ FAX {Roe, Jane }"},
        {q + "Jane Roe|555.0100" + q + " trailing@FAXGATE", "", "Jane Roe",
         "- @ FAX {Jane Roe,555D0100 }"},
        {q + "Jane Roe@555.0100@FAXGATE", "", "Jane Roe", "- @ FAX {Jane Roe,555D0100 }"},
        {"Jane Roe", "", "Jane Roe", "- @ FAX {Jane Roe }"},
        {"|555.0100|Jane Roe@FAXGATE", "", ",555D0100", "- @ FAX {,555D0100,Jane Roe }"},
        {"Jane Roe @ 555.0100 @ FAXGATE", "", "Jane Roe ", "- @ FAX {Jane Roe , 555D0100  }"},
        {"@FAXGATE", "", "", "- @ FAX { }"},
        {"", "", "", "- @ FAX { }"},
        {"   ", "x", "", "- @ FAX { x}"},
        {"Jane, " + q + "JR" + q + " Roe@1@FAXGATE", "", "Jane, " + q + "JR" + q + " Roe",
         "- @ FAX {Jane, " + q + "JR" + q + " Roe,1 }"},
        {"Jane Roe@555.0100@FAXGATE", "x, y", "Jane Roe", "- @ FAX {Jane Roe,555D0100 x, y}"},
        /* only the second field spells "," and "." as B and D */
        {"a.b,c|1.2,3|4.5,6@G", "", "a.b,c", "- @ FAX {a.b,c,1D2B3,4.5,6 }"},
        /* leading blanks and control codes 1 to 32 go; UTF-8 letters stay */
        {"\t\x01 Jane@1@G", "", "Jane", "- @ FAX {Jane,1 }"},
        {"\xC3\x89mile Zola@555@FAXGATE", "", "\xC3\x89mile Zola", "- @ FAX {\xC3\x89mile Zola,555 }"},
        {"\xE5\xBC\xA0\xE4\xB8\x89", "", "\xE5\xBC\xA0\xE4\xB8\x89", "- @ FAX {\xE5\xBC\xA0\xE4\xB8\x89 }"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.recipient);
        Converted got = Convert(c.recipient, c.moreAdd);
        EXPECT_EQ(got.status, 0);
        EXPECT_EQ(got.nameOnly, c.wantName);
        EXPECT_EQ(got.full, c.wantFull);
    }
}

TEST(ConvLotusNametoFaxName, LengthLimitsTheAddress)
{
    /* only the first 255 characters are looked at: the domain is beyond */
    const std::string longName(300, 'a');
    Converted got = Convert(longName + "@555@FAXGATE");
    EXPECT_EQ(got.nameOnly, std::string(255, 'a'));
    EXPECT_EQ(got.full, "- @ FAX {" + std::string(255, 'a') + " }");

    /* the given length, not the terminator, ends an address */
    got = Convert("Jane Roe@555@FAXGATE", "", 8);
    EXPECT_EQ(got.full, "- @ FAX {Jane Roe }");
    /* an embedded terminator ends it earlier */
    got = Convert(std::string("Jane\0Roe@1@G", 12));
    EXPECT_EQ(got.nameOnly, "Jane");
}

TEST(ConvLotusNametoFaxName, OptionTextIsNeverCut)
{
    const std::string code = ", S, cover:, #" + std::string(2000, '9');
    Converted got = Convert(std::string(300, 'b') + "@1@FAXGATE", code);
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.full, "- @ FAX {" + std::string(255, 'b') + " " + code + "}");

    /* a buffer that cannot hold the whole address is refused, not filled */
    char small[CONV_FULLADDR_FIXED + 4];
    std::memset(small, '#', sizeof small);
    EXPECT_NE(ConvLotusNametoFaxName("Jane@1@G", 8, nullptr, 0, small, sizeof small, "12345"), 0);
    EXPECT_EQ(small[0], '#');
    EXPECT_EQ(ConvLotusNametoFaxName("Jane@1@G", 8, nullptr, 0, small, sizeof small, "123"), 0);
    EXPECT_STREQ(small, "- @ FAX {Jane,1 123}");
}

TEST(ConvLotusNametoFaxName, EitherOutputMayBeMissing)
{
    char name[ADDTOITEMS_NAME_SIZE];
    EXPECT_EQ(ConvLotusNametoFaxName("Jane Roe@1@G", 12, name, sizeof name, nullptr, 0, ""), 0);
    EXPECT_STREQ(name, "Jane Roe");
    /* a long name-only part is cut at its buffer */
    const std::string longName(200, 'n');
    EXPECT_EQ(ConvLotusNametoFaxName(longName.c_str(), (int)longName.size(), name, sizeof name,
                                     nullptr, 0, ""),
              0);
    EXPECT_EQ(std::string(name), std::string(127, 'n'));
}

/* ---- AddToItems on routed messages ---- */

class AddToItemsTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        vqtest::PlatformTest::SetUp();
        vqtest::CreateMailFile("mail.box", "Mail Router");
        vqtest::CreateNamesDb();
        vqtest::AddForeignDomain("FAXGATE", "vortiq.box");
        from_ = vqtest::AddPerson("John Smith", "jsmith", "jsmith.nsf");
        IsTambriDll = 0;
    }
    void TearDown() override
    {
        IsTambriDll = 0;
        vqtest::PlatformTest::TearDown();
    }

    /* Sends memo to the gateway and lists item itemNum of the message that
     * arrived into a list that already holds `already`. */
    std::vector<std::string> List(vqtest::Memo memo, WORD itemNum, STATUS *status, WORD *amt,
                                  const std::vector<std::string> &already = {})
    {
        std::vector<std::string> out;
        memo.from = from_;
        if (memo.recipients.empty())
            memo.recipients = {"Jane Roe@555.0100@FAXGATE"};
        EXPECT_EQ(vqtest::SendMemo(memo), 0);
        DBHANDLE hFile = NULLHANDLE;
        DHANDLE hMessageList = NULLHANDLE, hMessage = NULLHANDLE, hList = NULLHANDLE;
        DARRAY *messageList = nullptr;
        WORD count = 0, size = 0;
        LIST *list = nullptr;
        EXPECT_EQ(MailOpenMessageFile("vortiq.box", &hFile), 0);
        EXPECT_EQ(MailCreateMessageList(hFile, &hMessageList, &messageList, &count), 0);
        /* the memo just sent is the last message */
        EXPECT_GE(count, 1);
        EXPECT_EQ(MailOpenMessage(messageList, (WORD)(count - 1), &hMessage), 0);
        EXPECT_EQ(ListAllocate(0, 0, TRUE, &hList, &list, &size), 0);
        OSUnlockObject(hList);
        *amt = 0;
        for (const std::string &s : already) {
            EXPECT_EQ(ListAddEntry(hList, TRUE, &size, *amt, s.c_str(), (WORD)s.size()), 0);
            (*amt)++;
        }
        *status = AddToItems(hList, &size, amt, hMessage, itemNum);
        list = (LIST *)OSLockObject(hList);
        EXPECT_EQ(ListGetNumEntries(list, TRUE), *amt);
        for (WORD i = 0; i < ListGetNumEntries(list, TRUE); i++) {
            char *text = nullptr;
            WORD len = 0;
            EXPECT_EQ(ListGetText(list, TRUE, i, &text, &len), 0);
            out.emplace_back(text, len);
        }
        OSUnlockObject(hList);
        OSMemFree(hList);
        MailCloseMessage(hMessage);
        OSUnlockObject(hMessageList);
        OSMemFree(hMessageList);
        MailCloseMessageFile(hFile);
        return out;
    }
    std::string from_;
};

TEST_F(AddToItemsTest, Items)
{
    const std::string marker = std::string(TambriDllExtSig) + "@FAXGATE";
    const std::vector<std::string> three = {"Jane Roe@555.0100@FAXGATE", "Ann Lee/Sales@HOME", "",
                                            marker};
    struct Case {
        const char *name;
        std::vector<std::string> sendTo, copyTo;
        std::string sendToText; /* a single text item instead of a list */
        WORD flag, itemNum;
        std::vector<std::string> already, want;
    } cases[] = {
        {"flag set skips the marker", three, {}, "", 1, MAIL_SENDTO_ITEM_NUM, {},
         {"Jane Roe", "Ann Lee/Sales"}},
        {"flag clear lists the marker", three, {}, "", 0, MAIL_SENDTO_ITEM_NUM, {},
         {"Jane Roe", "Ann Lee/Sales", TambriDllExtSig}},
        {"after entries already there", {three[0]}, {}, "", 0, MAIL_SENDTO_ITEM_NUM, {"5551234"},
         {"5551234", "Jane Roe"}},
        {"single text item", {}, {}, three[0], 0, MAIL_SENDTO_ITEM_NUM, {}, {"Jane Roe"}},
        {"missing copy-to item", {three[0]}, {}, "", 0, MAIL_COPYTO_ITEM_NUM, {"x"}, {"x"}},
        {"copy-to names cut at their field", {three[0]},
         {std::string(200, 'c') + "@1@FAXGATE", "\"Roe, Jane\"@FAXGATE"}, "", 0,
         MAIL_COPYTO_ITEM_NUM, {}, {std::string(127, 'c'), "Roe, Jane"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        vqtest::Memo memo;
        memo.subject = c.name;
        memo.sendTo = c.sendTo;
        memo.copyTo = c.copyTo;
        if (!c.sendToText.empty())
            memo.textItems = {{"SendTo", c.sendToText}};
        IsTambriDll = c.flag;
        STATUS status = 1;
        WORD amt = 0;
        std::vector<std::string> got = List(memo, c.itemNum, &status, &amt, c.already);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(got, c.want);
        EXPECT_EQ(amt, c.want.size());
        EXPECT_TRUE(vqtest::LogEntries().empty());
    }
}

}  // namespace
