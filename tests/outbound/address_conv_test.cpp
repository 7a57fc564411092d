// address_conv_test.cpp - address conversion and the names AddToItems lists (damaged lists from the fuzz corpus).
#include <gtest/gtest.h>

#include <cstring>

#include "mail_reading.h"
#include "outbound.h"
#include "test_support.h"

namespace {

using Names = std::vector<std::string>;

TEST(ConvLotusNametoFaxName, Examples)
{
    const std::string q = "\"", a255(255, 'a'), code = ", S, cover:, #" + std::string(2000, '9');
    // length: the length passed, -1 for the recipient's size
    struct Case { std::string recipient, moreAdd, wantName, wantFull; int length = -1; } cases[] = {
        {"Jane Roe@555.0100@FAXGATE", "x, y", "Jane Roe", "- @ FAX {Jane Roe,555D0100 x, y}"},
        {"Jane Roe|555,0100|Sales Dept.@FAXGATE", "", "Jane Roe", "- @ FAX {Jane Roe,555B0100,Sales Dept. }"},
        {"  " + q + "Roe, Jane" + q + "@FAXGATE", "", "Roe, Jane", "- @ FAX {Roe, Jane }"},
        {q + "Jane Roe|555.0100" + q + " trailing@FAXGATE", "", "Jane Roe", "- @ FAX {Jane Roe,555D0100 }"},
        {q + "Jane Roe@555.0100@FAXGATE", "", "Jane Roe", "- @ FAX {Jane Roe,555D0100 }"},
        {"Jane Roe", "", "Jane Roe", "- @ FAX {Jane Roe }"},
        {"|555.0100|Jane Roe@FAXGATE", "", ",555D0100", "- @ FAX {,555D0100,Jane Roe }"},
        {"Jane Roe @ 555.0100 @ FAXGATE", "", "Jane Roe ", "- @ FAX {Jane Roe , 555D0100  }"},
        {"@FAXGATE", "", "", "- @ FAX { }"}, {"   ", "x", "", "- @ FAX { x}"},
        {"Jane, " + q + "JR" + q + " Roe@1@G", "", "Jane, " + q + "JR" + q + " Roe", "- @ FAX {Jane, \"JR\" Roe,1 }"},
        // only the second field spells "," and "." as B and D
        {"a.b,c|1.2,3|4.5,6@G", "", "a.b,c", "- @ FAX {a.b,c,1D2B3,4.5,6 }"},
        // leading blanks and control codes 1 to 32 go; UTF-8 letters stay
        {"\t\x01 Jane@1@G", "", "Jane", "- @ FAX {Jane,1 }"},
        {"\xC3\x89mile@555@G", "", "\xC3\x89mile", "- @ FAX {\xC3\x89mile,555 }"},
        // only the first 255 characters are looked at: the domain is beyond
        {std::string(300, 'a') + "@555@FAXGATE", "", a255, "- @ FAX {" + a255 + " }"},
        // the given length, or an embedded terminator, ends an address
        {"Jane Roe@555@FAXGATE", "", "Jane Roe", "- @ FAX {Jane Roe }", 8},
        {std::string("Jane\0Roe@1@G", 12), "", "Jane", "- @ FAX {Jane }"},
        // the option text is never cut
        {std::string(300, 'a') + "@1@FAXGATE", code, a255, "- @ FAX {" + a255 + " " + code + "}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.recipient.substr(0, 40));
        std::vector<char> full(CONV_FULLADDR_FIXED + c.moreAdd.size() + 1, '#');
        char name[CONV_NAMEONLY_SIZE];
        EXPECT_EQ(ConvLotusNametoFaxName(c.recipient.data(), c.length < 0 ? (int)c.recipient.size() : c.length, name,
                                         sizeof name, full.data(), full.size(), c.moreAdd.c_str()), 0);
        EXPECT_EQ(std::string(name), c.wantName);
        EXPECT_EQ(std::string(full.data()), c.wantFull);
    }
}

TEST(ConvLotusNametoFaxName, OutputBuffers)
{
    // either output may be missing; the name is cut at its buffer; a too small full buffer is left untouched
    char name[ADDTOITEMS_NAME_SIZE];
    const std::string longName(200, 'n');
    EXPECT_EQ(ConvLotusNametoFaxName(longName.c_str(), (int)longName.size(), name, sizeof name, nullptr, 0, ""), 0);
    EXPECT_EQ(std::string(name), std::string(127, 'n'));
    char small[CONV_FULLADDR_FIXED + 4];
    std::memset(small, '#', sizeof small);
    EXPECT_NE(ConvLotusNametoFaxName("Jane@1@G", 8, nullptr, 0, small, sizeof small, "12345"), 0);
    EXPECT_EQ(small[0], '#');
    EXPECT_EQ(ConvLotusNametoFaxName("Jane@1@G", 8, nullptr, 0, small, sizeof small, "123"), 0);
    EXPECT_STREQ(small, "- @ FAX {Jane,1 123}");
}

// A stored text-list value: WORD count, WORD lengths, the texts.
std::string RawList(WORD count, const std::vector<WORD> &lengths, const std::string &texts)
{
    std::string v(reinterpret_cast<const char *>(&count), sizeof count);
    for (WORD l : lengths)
        v.append(reinterpret_cast<const char *>(&l), sizeof l);
    return v + texts;
}

std::string List(const Names &names)
{
    std::vector<WORD> lengths;
    std::string texts;
    for (const auto &n : names)
        lengths.push_back((WORD)n.size()), texts += n;
    return RawList((WORD)names.size(), lengths, texts);
}

class AddToItemsTest : public vqtest::PlatformTest {};

TEST_F(AddToItemsTest, ListsTheNames)
{
    const std::string marker = std::string(TambriDllExtSig) + "@FAXGATE";
    const Names three = {"Jane Roe@555.0100@FAXGATE", "Ann Lee/Sales@HOME", "", marker};
    // raw: the stored value, as CopyTo when itemNum is 2, else as SendTo
    struct Case { const char *name; WORD type; std::string raw; WORD flag, itemNum; Names already, want; } cases[] = {
        {"flag set skips the marker", TYPE_TEXT_LIST, List(three), 1, 0, {}, {"Jane Roe", "Ann Lee/Sales"}},
        {"flag clear lists it", TYPE_TEXT_LIST, List(three), 0, 0, {}, {"Jane Roe", "Ann Lee/Sales", TambriDllExtSig}},
        {"after entries already there", TYPE_TEXT_LIST, List({three[0]}), 0, 0, {"5551234"}, {"5551234", "Jane Roe"}},
        {"single text item", TYPE_TEXT, three[0], 0, 0, {}, {"Jane Roe"}},
        {"item of another type", TYPE_NUMBER, "12345678", 0, 0, {"x"}, {"x"}},
        {"copy-to missing", TYPE_TEXT_LIST, List({three[0]}), 0, MAIL_COPYTO_ITEM_NUM, {"x"}, {"x"}},
        {"copy-to names cut at their field", TYPE_TEXT_LIST,
         List({std::string(200, 'c') + "@1@FAXGATE", "\"Roe, Jane\"@FAXGATE"}), 0, 2, {},
         {std::string(127, 'c'), "Roe, Jane"}},
        // damaged headers list nobody instead of reading past the value
        {"one byte, no count", TYPE_TEXT_LIST, std::string("\xb7", 1), 0, 0, {}, {}},
        {"count beyond the lengths", TYPE_TEXT_LIST, RawList(3, {4}, "abcd"), 0, 0, {}, {}},
        {"length beyond the texts", TYPE_TEXT_LIST, RawList(1, {1000}, "Jane Roe"), 0, 0, {}, {}},
        {"second length beyond", TYPE_TEXT_LIST, RawList(2, {8, 60000}, "Jane RoeAnn"), 0, 0, {}, {}},
        {"trailing bytes after a whole list", TYPE_TEXT_LIST, RawList(1, {3}, "Bobxyz"), 0, 0, {}, {"Bob"}},
    };
    ASSERT_EQ(NSFDbCreate("items.nsf", DBCLASS_NOTEFILE, TRUE), NOERROR);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("items.nsf", &db), NOERROR);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::ClearLog();
        NOTEHANDLE note = NULLHANDLE;
        ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
        const char *item = c.itemNum == 2 ? "CopyTo" : "SendTo";
        ASSERT_EQ(NSFItemAppend(note, 0, item, (WORD)std::strlen(item), c.type, c.raw.data(), c.raw.size()), NOERROR);
        vqtest::TextList list(c.already);
        IsTambriDll = c.flag;
        EXPECT_EQ(AddToItems(list.h, &list.size, &list.count, note, c.itemNum == 2 ? MAIL_COPYTO_ITEM_NUM : c.itemNum), 0);
        EXPECT_EQ(list.Entries(), c.want);
        EXPECT_EQ(list.count, c.want.size());
        EXPECT_TRUE(vqtest::LogEntries().empty());
        NSFNoteClose(note);
    }
    IsTambriDll = 0;
    NSFDbClose(db);
}

}  // namespace
