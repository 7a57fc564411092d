// did_lookup_test.cpp - the DID lookup's Person and Group rules, and the activity entries per recipient.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "gateway_fixture.h"
#include "inbound.h"

namespace {

using namespace vqtest;
using Names = std::vector<std::string>;
using Bag = std::multiset<std::string>;

// CheckDID over an empty list: the names appended.
struct Lookup {
    RECITEMINFO rec{};
    Bag names;
    explicit Lookup(const char *did)
    {
        ClearLog();
        rec.hRecipientsItem = MakeTextList({}, TRUE, &rec.RecipientsItemSize);
        CheckDID(did, &rec);
        const Names got = TextListOf(rec.hRecipientsItem);
        names.insert(got.begin(), got.end());
        OSMemFree(rec.hRecipientsItem);
    }
};

class DidLookupTest : public GatewayTest {
protected:
    void SetUp() override { GatewayTest::SetUp(), CreateNamesDb(); }
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
    AddGroup("Extension Desk", {"Group Member"}, "VORTIQDID: EXT-9");
    AddGroup("No Marker", {"Lead Blank"}, "777-1000");
    struct Case { const char *did; Names want; } cases[] = {
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
        {"ext-9", {member}},    /* the number itself in any case */
        {"", {empty, member, member}}, /* empty DID: blank fax, any marker */
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("DID '") + c.did + "'");
        Lookup r(c.did);
        EXPECT_EQ(r.names, Bag(c.want.begin(), c.want.end()));
        EXPECT_EQ(r.rec.Recipients, c.want.size());
        EXPECT_EQ(r.rec.toAdmin, 0);
    }
}

// Each lookup sees the directory as it is now: a person added, a group added and deleted after an earlier lookup.
TEST_F(DidLookupTest, LookupFollowsDirectoryChanges)
{
    const std::string jane = AddPerson("Jane Roe", "jroe", "", "555-0100");
    const std::string john = AddPerson("John Doe", "jdoe", "");
    EXPECT_EQ(Lookup("555-0100").names, Bag{jane});
    const std::string mary = AddPerson("Mary Major", "mmajor", "", "555-0100");
    EXPECT_EQ(Lookup("555-0100").names, (Bag{jane, mary}));
    const NOTEID desk = AddGroup("Desk", {"John Doe"}, "VORTIQDID: 555-0100");
    EXPECT_EQ(Lookup("555-0100").names, (Bag{jane, mary, john}));
    DBHANDLE h = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("names.nsf", &h), NOERROR);
    EXPECT_EQ(NSFNoteDelete(h, desk, 0), NOERROR);
    NSFDbClose(h);
    EXPECT_EQ(Lookup("555-0100").names, (Bag{jane, mary}));
}

// Person and Group both matching add the user twice; an unknown member goes to the administrator; odd documents are reported.
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
    EXPECT_EQ(r.names, (Bag{jane, jane, john}));
    EXPECT_EQ(r.rec.Recipients, 4);
    EXPECT_EQ(r.rec.toAdmin, 1);
    EXPECT_EQ(LogCount(VQM_RECIPIENT_UNKNOWN, "Nobody Here"), 1);
    EXPECT_EQ(LogCount(VQM_ITEM_NOT_IN_NOTE, "No Type Field"), 1);
    EXPECT_EQ(LogCount(VQM_RECIPIENT_ITEM_TYPE), 2);

    VqCopy(szNameNsf, sizeof szNameNsf, "nosuch.nsf");
    Lookup none("555-0100");
    EXPECT_TRUE(none.names.empty());
    EXPECT_EQ(LogCount(VQM_DB_OPEN_ERROR, "nosuch.nsf"), 1);
}

// One entry per recipient, identical but for "To"; without the database the task is told to stop.
const std::vector<std::string> kColumns = {" ", "03/05", "09:07", "RX", "00", "", "+1 555 0199", "3", "0000", " ",
                                           "00:42", " "};

class ActivityEntryTest : public DidLookupTest {
protected:
    STATUS Log(const std::vector<std::string> &recipients)
    {
        ENTRYCOL col[ENTRY_COLS];
        std::memset(col, 0, sizeof col);
        for (int i = 0; i < ENTRY_ITEMS; ++i)
            VqCopy(col[i], ENTRY_COL_SIZE, kColumns[i].c_str());
        DHANDLE h = MakeTextList(recipients);
        STATUS s = log_in_activity(col, h);
        OSUnlockObject(h); // the call leaves the list locked
        EXPECT_EQ(OSMemFree(h), NOERROR);
        return s;
    }
};

TEST_F(ActivityEntryTest, OneEntryPerRecipientIdenticalButForTo)
{
    CreateActivityDb();
    const std::string cn(40, 'c'), plain(100, 'p');
    EXPECT_EQ(Log({"CN=Jane Roe/O=Acme@FAXGATE", "Fax Admin", "CN=" + cn + "/O=Acme", "CN=", plain}), NOERROR);
    Bag want = {"CN=", "Fax Admin", "Jane Roe", cn.substr(0, 31), plain.substr(0, 63)}, got;
    for (NOTEID id : DocumentIds(kActDb)) {
        auto entry = JobEntryOf(id);
        got.insert(entry["To"]);
        entry["To"] = "";
        EXPECT_EQ(entry, JobEntry(kColumns));
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(E_quit, 0);

    VqCopy(ActLogNsf, sizeof ActLogNsf, "NOSUCH.NSF");
    EXPECT_NE(Log({"CN=Jane Roe/O=Acme"}), NOERROR);
    EXPECT_EQ(E_quit, 0);
    EXPECT_EQ(LogSummary(), (std::vector<Logged>{{VQM_DS0, "Error Opening DB", true}}));
}

}  // namespace
