/*
 * did_lookup_test.cpp - the DID lookup against a user directory built
 * through the stand-in: Person and Group match rules, documents of odd
 * shape, and what is appended to the recipients list.
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

/* A RECITEMINFO with an empty list, freed at the end. */
struct Recipients {
    RECITEMINFO rec{};
    Recipients() { rec.hRecipientsItem = vqtest::MakeTextList({}, TRUE, &rec.RecipientsItemSize); }
    ~Recipients() { OSMemFree(rec.hRecipientsItem); }
    std::vector<std::string> sorted() const
    {
        std::vector<std::string> out = vqtest::TextListOf(rec.hRecipientsItem);
        std::sort(out.begin(), out.end());
        return out;
    }
};

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
        std::vector<std::string> want;
    };
    const std::vector<Case> cases = {
        {"555-0100", {lead}},               /* leading blanks are skipped */
        {"555-0200", {}},                   /* a trailing blank counts */
        {"555-0200 ", {trail}},
        {"5550300", {}},                    /* the dash counts */
        {"555-0300", {dash}},
        {"fax-abc", {letters}},             /* letter case does not */
        {"777-1000", {member}},             /* group: number after the marker */
        {"777", {member}},                  /* the DID may be a prefix */
        {"777-10001", {}},                  /* but not longer */
        {"777-2000", {}},                   /* marker in other case: never */
        {"", {empty, member}},              /* empty DID: blank fax, any marker */
    };
    for (const auto &c : cases) {
        Recipients r;
        vqtest::ClearLog();
        CheckDID(c.did, &r.rec);
        std::vector<std::string> want = c.want;
        std::sort(want.begin(), want.end());
        EXPECT_EQ(r.sorted(), want) << "DID '" << c.did << "'";
        EXPECT_EQ(r.rec.Recipients, want.size()) << "DID '" << c.did << "'";
        EXPECT_EQ(r.rec.toAdmin, 0);
    }
}

TEST_F(DidLookupTest, DocumentWithoutTypeIsReportedAndTheSearchGoesOn)
{
    AddDocument("names.nsf", {{"Form", "Person"}, {"OfficeFaxPhoneNumber", "555-0100"},
                              {"ShortName", "ghost"}});
    const std::string jane = AddPerson("Jane Roe", "jroe", "", "555-0100");
    Recipients r;
    CheckDID("555-0100", &r.rec);
    EXPECT_EQ(r.sorted(), std::vector<std::string>{jane});
    EXPECT_EQ(vqtest::LogCount(VQM_ITEM_NOT_IN_NOTE, "No Type Field"), 1);
}

TEST_F(DidLookupTest, MatchWithoutShortNameOrMembersAddsNobody)
{
    AddPerson("Nameless", "", "", "555-0100"); /* no ShortName item */
    AddDocument("names.nsf", {{"Type", "Group"}, {"ListDescription", "VORTIQDID: 555-0100"}});
    AddGroup("Empty Group", {}, "VORTIQDID: 555-0100");
    Recipients r;
    CheckDID("555-0100", &r.rec);
    EXPECT_TRUE(r.sorted().empty());
    EXPECT_EQ(r.rec.Recipients, 0);
    /* the nameless Person and the memberless document */
    EXPECT_EQ(vqtest::LogCount(VQM_RECIPIENT_ITEM_TYPE), 2);
}

TEST_F(DidLookupTest, PersonAndGroupBothMatchingAddTheUserTwice)
{
    const std::string jane = AddPerson("Jane Roe", "jroe", "", "555-0100");
    const std::string john = AddPerson("John Doe", "jdoe", "");
    AddGroup("Front Desk", {"Jane Roe", "Nobody Here", "John Doe"}, "VORTIQDID: 555-0100");
    Recipients r;
    CheckDID("555-0100", &r.rec);
    std::vector<std::string> want = {jane, jane, john};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(r.sorted(), want);
    EXPECT_EQ(r.rec.Recipients, 4); /* the unresolved member counts too */
    EXPECT_EQ(r.rec.toAdmin, 1);
    EXPECT_EQ(vqtest::LogCount(VQM_RECIPIENT_UNKNOWN, "Nobody Here"), 1);
    EXPECT_EQ(vqtest::LogCount(VQM_IN_RECIPIENT_IS, "jroe"), 1);
    EXPECT_EQ(vqtest::LogCount(VQM_IN_RECIPIENT_IS, "Jane Roe"), 1);
}

TEST_F(DidLookupTest, MissingDirectoryAddsNothing)
{
    VqCopy(szNameNsf, sizeof szNameNsf, "nosuch.nsf");
    Recipients r;
    CheckDID("555-0100", &r.rec);
    EXPECT_TRUE(r.sorted().empty());
    EXPECT_EQ(vqtest::LogCount(VQM_DB_OPEN_ERROR, "nosuch.nsf"), 1);
}

}  // namespace
