/*
 * address_conv_test.cpp - recipient address conversion (name-only part and
 * full fax address) and the listing of a message's send-to and copy-to
 * names, with messages routed into the gateway mail file.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "outbound_fixture.h"

namespace {

TEST(ConvLotusNametoFaxName, Examples)
{
    const std::string q = "\"", a255(255, 'a'), code = ", S, cover:, #" + std::string(2000, '9');
    struct Case {
        std::string recipient, moreAdd, wantName, wantFull;
        int length = -1; /* the length passed; -1: the recipient's size */
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
        /* only the first 255 characters are looked at: the domain is beyond */
        {std::string(300, 'a') + "@555@FAXGATE", "", a255, "- @ FAX {" + a255 + " }"},
        /* the given length, or an embedded terminator, ends an address */
        {"Jane Roe@555@FAXGATE", "", "Jane Roe", "- @ FAX {Jane Roe }", 8},
        {std::string("Jane\0Roe@1@G", 12), "", "Jane", "- @ FAX {Jane }"},
        /* the option text is never cut */
        {std::string(300, 'a') + "@1@FAXGATE", code, a255, "- @ FAX {" + a255 + " " + code + "}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.recipient.substr(0, 40));
        std::vector<char> full(CONV_FULLADDR_FIXED + c.moreAdd.size() + 1, '#');
        char name[CONV_NAMEONLY_SIZE];
        EXPECT_EQ(ConvLotusNametoFaxName(c.recipient.data(), c.length < 0 ? (int)c.recipient.size() : c.length,
                                         name, sizeof name, full.data(), full.size(), c.moreAdd.c_str()),
                  0);
        EXPECT_EQ(std::string(name), c.wantName);
        EXPECT_EQ(std::string(full.data()), c.wantFull);
    }
}

TEST(ConvLotusNametoFaxName, OutputBuffers)
{
    /* either output may be missing; the name-only part is cut at its buffer */
    char name[ADDTOITEMS_NAME_SIZE];
    const std::string longName(200, 'n');
    EXPECT_EQ(ConvLotusNametoFaxName(longName.c_str(), (int)longName.size(), name, sizeof name, nullptr, 0, ""), 0);
    EXPECT_EQ(std::string(name), std::string(127, 'n'));

    /* a buffer that cannot hold the whole address is refused, not filled */
    char small[CONV_FULLADDR_FIXED + 4];
    std::memset(small, '#', sizeof small);
    EXPECT_NE(ConvLotusNametoFaxName("Jane@1@G", 8, nullptr, 0, small, sizeof small, "12345"), 0);
    EXPECT_EQ(small[0], '#');
    EXPECT_EQ(ConvLotusNametoFaxName("Jane@1@G", 8, nullptr, 0, small, sizeof small, "123"), 0);
    EXPECT_STREQ(small, "- @ FAX {Jane,1 123}");
}

/* AddToItems over messages routed into the gateway mail file. */
class AddToItemsTest : public vqtest::OutboundTest {};

TEST_F(AddToItemsTest, ListsTheNames)
{
    const std::string marker = std::string(TambriDllExtSig) + "@FAXGATE";
    const std::vector<std::string> three = {"Jane Roe@555.0100@FAXGATE", "Ann Lee/Sales@HOME", "", marker};
    struct Case {
        const char *name;
        std::vector<std::string> sendTo, copyTo;
        std::string sendToText; /* a single text item instead of a list */
        WORD flag, itemNum;
        std::vector<std::string> already, want;
    } cases[] = {
        {"flag set skips the marker", three, {}, "", 1, MAIL_SENDTO_ITEM_NUM, {}, {"Jane Roe", "Ann Lee/Sales"}},
        {"flag clear lists the marker", three, {}, "", 0, MAIL_SENDTO_ITEM_NUM, {},
         {"Jane Roe", "Ann Lee/Sales", TambriDllExtSig}},
        {"after entries already there", {three[0]}, {}, "", 0, MAIL_SENDTO_ITEM_NUM, {"5551234"},
         {"5551234", "Jane Roe"}},
        {"single text item", {}, {}, three[0], 0, MAIL_SENDTO_ITEM_NUM, {}, {"Jane Roe"}},
        {"missing copy-to item", {three[0]}, {}, "", 0, MAIL_COPYTO_ITEM_NUM, {"x"}, {"x"}},
        {"copy-to names cut at their field", {three[0]},
         {std::string(200, 'c') + "@1@FAXGATE", "\"Roe, Jane\"@FAXGATE"}, "", 0, MAIL_COPYTO_ITEM_NUM, {},
         {std::string(127, 'c'), "Roe, Jane"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        vqtest::Memo memo = FaxMemo(c.name);
        memo.recipients = memo.sendTo; /* routed to the gateway whatever the items hold */
        memo.sendTo = c.sendTo;
        memo.copyTo = c.copyTo;
        if (!c.sendToText.empty())
            memo.textItems = {{"SendTo", c.sendToText}};
        ASSERT_EQ(vqtest::SendMemo(memo), 0);
        vqtest::ListedMessage m("vortiq.box");
        ASSERT_TRUE(m.ok());
        vqtest::TextList list(c.already);
        IsTambriDll = c.flag;
        EXPECT_EQ(AddToItems(list.h, &list.size, &list.count, m.hMessage, c.itemNum), 0);
        EXPECT_EQ(list.Entries(), c.want);
        EXPECT_EQ(list.count, c.want.size());
        EXPECT_TRUE(vqtest::LogEntries().empty());
    }
}

}  // namespace
