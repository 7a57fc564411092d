/*
 * did_lookup_test.cpp - the DID lookup against a user directory: the
 * Person and Group match rules, documents of odd shape, and what is
 * appended to the recipients list and counted.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "inbound.h"

namespace {

using vqtest::AddDocument;
using vqtest::AddGroup;
using vqtest::AddPerson;
using Names = std::vector<std::string>;

/* CheckDID over an empty list: the names appended, sorted. */
struct Lookup {
    RECITEMINFO rec{};
    Names names;
    explicit Lookup(const char *did)
    {
        vqtest::ClearLog();
        rec.hRecipientsItem = vqtest::MakeTextList({}, TRUE, &rec.RecipientsItemSize);
        CheckDID(did, &rec);
        names = vqtest::TextListOf(rec.hRecipientsItem);
        std::sort(names.begin(), names.end());
        OSMemFree(rec.hRecipientsItem);
    }
};

Names Sorted(Names n)
{
    std::sort(n.begin(), n.end());
    return n;
}

class DidLookupTest : public vqtest::GatewayTest {
protected:
    void SetUp() override
    {
        GatewayTest::SetUp();
        vqtest::CreateNamesDb();
    }
};

TEST_F(DidLookupTest, PersonAndGroupMatchRules)
{
    const std::string lead = AddPerson("Lead Blank", "lead", "", "   555-0100");
    const std::string trail = AddPerson("Trail Blank", "trail", "", "555-0200 ");
    const std::string dash = AddPerson("Dash Number", "dash", "", "555-0300");
    const std::string letters = AddPerson("Letter Fax", "letters", "", "Fax-ABC");
    const std::string empty = AddPerson("Empty Fax", "emptyfax", "", "  ");
    AddPerson("No Fax", "nofax", "", "-");
    const std::string member = AddPerson("Group Member", "member", "");
    AddGroup("Sales", {"Group Member"}, "Sales line VORTIQDID:  777-1000 main desk");
    AddGroup("Wrong Case", {"Lead Blank"}, "vortiqdid: 777-2000");
    AddGroup("No Marker", {"Lead Blank"}, "777-1000");
    struct Case {
        const char *did;
        Names want;
    } cases[] = {
        {"555-0100", {lead}}, /* leading blanks are skipped */
        {"555-0200", {}},     /* a trailing blank counts */
        {"555-0200 ", {trail}},
        {"5550300", {}},      /* the dash counts */
        {"555-0300", {dash}},
        {"fax-abc", {letters}}, /* letter case does not */
        {"777-1000", {member}}, /* group: number after the marker */
        {"777", {member}},      /* the DID may be a prefix */
        {"777-10001", {}},      /* but not longer */
        {"777-2000", {}},       /* marker in other case: never */
        {"", {empty, member}},  /* empty DID: blank fax, any marker */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("DID '") + c.did + "'");
        Lookup r(c.did);
        EXPECT_EQ(r.names, Sorted(c.want));
        EXPECT_EQ(r.rec.Recipients, c.want.size());
        EXPECT_EQ(r.rec.toAdmin, 0);
    }
}

/* A Person and a Group both matching add the user twice; an unknown
 * member counts and sends to the administrator; documents without Type,
 * ShortName or Members are reported and the search goes on. */
TEST_F(DidLookupTest, OddDocumentsAndUnknownMembers)
{
    AddDocument("names.nsf", {{"Form", "Person"}, {"OfficeFaxPhoneNumber", "555-0100"}, {"ShortName", "ghost"}});
    AddPerson("Nameless", "", "", "555-0100");
    AddDocument("names.nsf", {{"Type", "Group"}, {"ListDescription", "VORTIQDID: 555-0100"}});
    AddGroup("Empty Group", {}, "VORTIQDID: 555-0100");
    const std::string jane = AddPerson("Jane Roe", "jroe", "", "555-0100");
    const std::string john = AddPerson("John Doe", "jdoe", "");
    AddGroup("Front Desk", {"Jane Roe", "Nobody Here", "John Doe"}, "VORTIQDID: 555-0100");

    Lookup r("555-0100");
    EXPECT_EQ(r.names, Sorted({jane, jane, john}));
    EXPECT_EQ(r.rec.Recipients, 4);
    EXPECT_EQ(r.rec.toAdmin, 1);
    EXPECT_EQ(vqtest::LogCount(VQM_RECIPIENT_UNKNOWN, "Nobody Here"), 1);
    EXPECT_EQ(vqtest::LogCount(VQM_ITEM_NOT_IN_NOTE, "No Type Field"), 1);
    EXPECT_EQ(vqtest::LogCount(VQM_RECIPIENT_ITEM_TYPE), 2);

    VqCopy(szNameNsf, sizeof szNameNsf, "nosuch.nsf");
    Lookup none("555-0100");
    EXPECT_TRUE(none.names.empty());
    EXPECT_EQ(vqtest::LogCount(VQM_DB_OPEN_ERROR, "nosuch.nsf"), 1);
}

}  // namespace
