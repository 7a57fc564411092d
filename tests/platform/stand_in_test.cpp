/*
 * stand_in_test.cpp - limits and corners of the stand-in that the
 * gateway's own tests never reach: the 64K text-list limit, the directory
 * lookup that follows every commit (also within one clock tick, also while
 * stamps are held), mail
 * that the router can deliver nowhere, not even as a report, routing in
 * groups, items that share a name, a body as wrapped plain text, and
 * local time across daylight-saving and zone changes.
 */
#include <sqlite3.h>

#include <cerrno>
#include <random>
#include <string>
#include <vector>

#include "notes_fixture.h"
#include "test_support.h"
#include "vq_mail.h"
#include "vq_port.h"
#include "vq_runtime.h"

namespace {

using vqtest::ItemText;

class StandInTest : public vqtest::PlatformTest {};

TEST_F(StandInTest, TextListStopsAtSixtyFourK)
{
    WORD size = 0;
    DHANDLE h = vqtest::MakeTextList({std::string(65000, 'a')}, TRUE, &size);
    /* 65006 used; 2 length bytes and 528 text bytes would pass 65535 */
    const std::string more(528, 'b'), fits(527, 'c');
    EXPECT_EQ(ListAddEntry(h, TRUE, &size, 1, more.data(), (WORD)more.size()), ERR_SEGMENT_TOO_BIG);
    EXPECT_EQ(size, 65006);
    EXPECT_EQ(ListAddEntry(h, TRUE, &size, 1, fits.data(), (WORD)fits.size()), NOERROR);
    EXPECT_EQ(size, 65535);
    EXPECT_EQ(vqtest::TextListOf(h), (std::vector<std::string>{std::string(65000, 'a'), fits}));
    EXPECT_EQ(OSMemFree(h), NOERROR);
}

std::string Lookup(const std::string &name, STATUS *s)
{
    char out[MAXRECIPIENTNAME + 1] = "";
    *s = MailLookupAddress(name.c_str(), out);
    return out;
}

// Held stamps (one fax's lookups) see every commit of this process at once, another's after the hold.
TEST_F(StandInTest, DirectoryLookupFollowsEveryCommitWithinOneClockTick)
{
    vqtest::CreateNamesDb();
    vqtest::SetClock(1700000000);
    VqDbHoldStamps(TRUE);
    const std::string ann = vqtest::AddPerson("Ann Lee", "alee", "");
    STATUS s = NOERROR;
    for (int i = 0; i < 2; ++i) // the second finds names.nsf unchanged: held
        EXPECT_EQ(Lookup("alee", &s), ann);
    const NOTEID twin = vqtest::AddDocument(
        "names.nsf", {{"Type", "Person"}, {"FullName", "CN=Al Lee/O=Acme"}, {"ShortName", "alee"}});
    Lookup("alee", &s);
    EXPECT_EQ(s, ERR_ROUTER_NOTUNIQUE);
    DBHANDLE db = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("names.nsf", &db), NOERROR);
    ASSERT_EQ(NSFNoteDelete(db, twin, 0), NOERROR);
    NSFDbClose(db);
    EXPECT_EQ(Lookup("alee", &s), ann);
    EXPECT_EQ(s, NOERROR);
    char before[512] = "", held[512] = "", after[512] = "";
    ASSERT_EQ(NSFDbOpen("names.nsf", &db), NOERROR);
    for (int i = 0; i < 2; ++i) // held again after the delete
        EXPECT_EQ(VqDbGetChangeStamp(db, before, sizeof before), NOERROR);
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open((data_.path() + "/names.nsf").c_str(), &other), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "UPDATE vq_meta SET value = value + 1 WHERE key = 'changes'", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    EXPECT_EQ(VqDbGetChangeStamp(db, held, sizeof held), NOERROR);
    EXPECT_STREQ(held, before);
    VqDbHoldStamps(FALSE);
    EXPECT_EQ(VqDbGetChangeStamp(db, after, sizeof after), NOERROR);
    EXPECT_STRNE(after, before);
    NSFDbClose(db);
    vqtest::UseRealClock();
}

/* A report that cannot reach its sender stays in mail.box as dead mail,
 * with the message: nothing is lost. */
TEST_F(StandInTest, UndeliverableReportStaysAsDeadMail)
{
    ASSERT_EQ(OSSetEnvironmentVariable("Domain", "Acme"), NOERROR);
    vqtest::CreateMailFile("mail.box", "Mail Router Mailbox");
    vqtest::CreateNamesDb();
    const char *senders[] = {"CN=Stranger/O=Elsewhere", ""}; /* unknown, none */
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(senders[i]);
        vqtest::Memo m;
        m.from = senders[i];
        m.sendTo = {"nobody"};
        m.body = "precious";
        ASSERT_EQ(vqtest::SendMemo(m), NOERROR);
        const std::vector<NOTEID> ids = vqtest::DocumentIds("mail.box");
        ASSERT_EQ(ids.size(), 2 * i + 2) << "the message and its report, both dead";
        for (NOTEID id : ids)
            EXPECT_EQ(ItemText("mail.box", id, "RoutingState"), "DEAD");
        EXPECT_EQ(ItemText("mail.box", ids[2 * i], "Body"), "precious");
        EXPECT_EQ(ItemText("mail.box", ids[2 * i + 1], "Form"), "NonDelivery Report");
    }
    DWORD routed = 9; /* dead mail is not routed again: its report went once */
    EXPECT_EQ(VqRouteWaitingMail(&routed), NOERROR);
    EXPECT_EQ(routed, 0u);
    EXPECT_EQ(vqtest::DocumentIds("mail.box").size(), 4u);
}

/* Mail that a failed step or a killed sender left in mail.box is routed
 * by the next VqRouteWaitingMail, to each mail file once. */
TEST_F(StandInTest, MailLeftInMailBoxIsRoutedOnce)
{
    vqtest::CreateMailFile("mail.box", "Mail Router Mailbox");
    vqtest::CreateNamesDb();
    vqtest::AddPerson("Jane Roe", "jroe", "jroe.nsf");
    vqtest::AddPerson("John Doe", "jdoe", "jdoe.nsf");
    DWORD routed = 9;
    ASSERT_EQ(VqRouteWaitingMail(&routed), NOERROR); /* an empty box, seen */
    EXPECT_EQ(routed, 0u);
    vqtest::AddDocument("mail.box", {{"From", "jdoe"}, {"Recipients", "jroe"}, {"Body", "left"}});
    ASSERT_EQ(VqRouteWaitingMail(&routed), NOERROR);
    EXPECT_EQ(routed, 1u);
    EXPECT_EQ(vqtest::DocumentIds("jroe.nsf").size(), 1u);
    /* the commit that fails: 2 delivers, 3 removes; with "nobody" 3-5
     * route jdoe's report, 6 removes */
    const struct {
        long op;
        std::vector<std::string> to;
    } cases[] = {{2, {"jroe"}}, {3, {"jroe"}}, {6, {"jroe", "nobody"}}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.op);
        const size_t before = vqtest::DocumentIds("jroe.nsf").size();
        const size_t reports = vqtest::DocumentIds("jdoe.nsf").size() + c.to.size() - 1;
        vqtest::Memo m;
        m.from = "jdoe";
        m.sendTo = c.to;
        PortFaultArm(2, c.op, ENOSPC);
        EXPECT_EQ(vqtest::SendMemo(m), ERR_DISK_FULL);
        PortFaultArm(0, 0, 0);
        ASSERT_EQ(vqtest::DocumentIds("mail.box").size(), 1u);
        EXPECT_EQ(ItemText("mail.box", vqtest::DocumentIds("mail.box")[0], "RoutingState"), "");
        ASSERT_EQ(VqRouteWaitingMail(&routed), NOERROR);
        EXPECT_EQ(routed, 1u);
        EXPECT_TRUE(vqtest::DocumentIds("mail.box").empty());
        EXPECT_EQ(vqtest::DocumentIds("jroe.nsf").size(), before + 1);
        EXPECT_EQ(vqtest::DocumentIds("jdoe.nsf").size(), reports) << "one report per failure";
    }
}

// A group commit keeps its writes only when committed: an abort, a failed commit and a close drop them all; the
// fault seam sees one commit per group, not per write.
TEST_F(StandInTest, GroupCommitAllOrNothing)
{
    vqtest::CreateActivityDb("group.nsf");
    // HalfWritten: the second save fails after its first row is written (its long value is refused)
    enum End { Commit, Abort, FailedCommit, Close, HalfWritten };
    const struct { End end; size_t kept; } cases[] = {{Commit, 3}, {Abort, 0}, {FailedCommit, 0}, {Close, 0}, {HalfWritten, 0}};
    size_t total = 0;
    const std::string file = data_.path() + "/group.nsf", big(2000, 'b');
    for (const auto &c : cases) {
        SCOPED_TRACE(c.end);
        sqlite3 *raw = nullptr;
        sqlite3_open(file.c_str(), &raw);
        EXPECT_EQ(sqlite3_exec(raw, c.end == HalfWritten ? "CREATE TRIGGER refuse BEFORE INSERT ON vq_values BEGIN SELECT RAISE(ABORT, 'refused'); END"
                                                         : "DROP TRIGGER IF EXISTS refuse", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(raw);
        DBHANDLE h = NULLHANDLE;
        ASSERT_EQ(NSFDbOpen("group.nsf", &h), NOERROR);
        ASSERT_EQ(VqDbBeginBatch(h), NOERROR);
        PortFaultArm(c.end == FailedCommit ? 2 : 0, 1, EIO);
        for (int i = 0; i < 3; ++i) {
            NOTEHANDLE n = NULLHANDLE;
            ASSERT_EQ(NSFNoteCreate(h, &n), NOERROR);
            NSFItemSetText(n, "Form", "Entry", MAXWORD);
            if (i == 1)
                NSFItemSetText(n, "Big", big.c_str(), MAXWORD);
            EXPECT_EQ(NSFNoteUpdate(n, 0), c.end != HalfWritten || i == 0 ? NOERROR : i == 1 ? ERR_IO : ERR_DB_BUSY);
            NSFNoteClose(n);
        }
        EXPECT_EQ(PortFaultCount(), 0) << "a write inside a group is no commit of its own";
        if (c.end == Abort) {
            VqDbAbortBatch(h);
        } else if (c.end != Close) {
            EXPECT_EQ(VqDbCommitBatch(h), c.end == Commit ? NOERROR : ERR_IO);
        }
        PortFaultArm(0, 0, 0);
        NSFDbClose(h);
        total += c.kept;
        EXPECT_EQ(vqtest::DocumentIds("group.nsf").size(), total);
    }
    // the ID of the note deleted last is not given out again, in a group or outside one
    DBHANDLE h = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("group.nsf", &h), NOERROR);
    NOTEID highest = vqtest::DocumentIds("group.nsf").back();
    ASSERT_EQ(NSFNoteDelete(h, highest, 0), NOERROR);
    for (bool group : {true, false}) {
        EXPECT_TRUE(!group || VqDbBeginBatch(h) == NOERROR);
        NOTEHANDLE n = NULLHANDLE;
        NOTEID id = 0;
        ASSERT_EQ(NSFNoteCreate(h, &n), NOERROR);
        EXPECT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NSFNoteGetInfo(n, _NOTE_ID, &id);
        NSFNoteClose(n);
        EXPECT_TRUE(!group || VqDbCommitBatch(h) == NOERROR);
        EXPECT_EQ(id, highest + 1) << (group ? "in a group" : "alone");
        highest = id;
    }
    NSFDbClose(h);
}

/* Routing in a group: one commit per mail file and one for mail.box; a
 * message whose copy failed its commit, or whose file sits in a group of
 * its own (which must not stall the router), waits in mail.box and is
 * routed again later, never twice. */
TEST_F(StandInTest, RoutingGroupKeepsMessagesUntilTheirCopiesCommit)
{
    vqtest::CreateMailFile("mail.box", "Mail Router Mailbox");
    vqtest::CreateNamesDb();
    vqtest::AddPerson("Jane Roe", "jroe", "jroe.nsf");
    vqtest::AddPerson("John Doe", "jdoe", "jdoe.nsf");
    enum Case { Commit, JroeCommitFails, JroeInOwnGroup };
    size_t jroe = 0, jdoe = 0;
    for (Case c : {Commit, JroeCommitFails, JroeInOwnGroup}) {
        SCOPED_TRACE(c);
        DBHANDLE own = NULLHANDLE;
        if (c == JroeInOwnGroup) {
            ASSERT_EQ(NSFDbOpen("jroe.nsf", &own), NOERROR);
            ASSERT_EQ(VqDbBeginBatch(own), NOERROR);
        }
        ASSERT_EQ(VqMailBeginBatch(), NOERROR);
        for (const char *to : {"jroe", "jdoe", "jroe"}) {
            vqtest::Memo m;
            m.from = "jdoe";
            m.sendTo = {to};
            EXPECT_EQ(vqtest::SendMemo(m), NOERROR);
        }
        PortFaultArm(c == JroeCommitFails ? 2 : 0, 1, EIO); /* jroe.nsf commits first */
        EXPECT_EQ(VqMailCommitBatch(), c == JroeCommitFails ? ERR_IO : NOERROR);
        if (c == Commit) {
            EXPECT_EQ(PortFaultCount(), 3) << "jroe.nsf, jdoe.nsf, mail.box";
        }
        PortFaultArm(0, 0, 0);
        if (own != NULLHANDLE) {
            EXPECT_EQ(VqDbCommitBatch(own), NOERROR);
            NSFDbClose(own);
        }
        const size_t left = c == Commit ? 0 : 2;
        EXPECT_EQ(vqtest::DocumentIds("mail.box").size(), left) << "the two messages to jroe";
        DWORD routed = 0;
        ASSERT_EQ(VqRouteWaitingMail(&routed), NOERROR);
        EXPECT_EQ(routed, left);
        EXPECT_TRUE(vqtest::DocumentIds("mail.box").empty());
        EXPECT_EQ(vqtest::DocumentIds("jroe.nsf").size(), jroe += 2);
        EXPECT_EQ(vqtest::DocumentIds("jdoe.nsf").size(), jdoe += 1);
    }
}

// Setting an item of a name that several items share (appended, in any case) leaves one item of the name with the
// new text, in a note built in memory and in one read back from the file; the other items stay as they were.
TEST_F(StandInTest, SettingASharedNameLeavesOneItem)
{
    DBHANDLE h = NULLHANDLE;
    ASSERT_EQ(NSFDbCreate("items.nsf", 0, FALSE), NOERROR);
    ASSERT_EQ(NSFDbOpen("items.nsf", &h), NOERROR);
    for (bool readBack : {false, true}) {
        SCOPED_TRACE(readBack ? "read back" : "in memory");
        NOTEHANDLE n = NULLHANDLE;
        NOTEID id = 0;
        ASSERT_EQ(NSFNoteCreate(h, &n), NOERROR);
        NSFItemSetText(n, "Other", "x", MAXWORD);
        NSFItemAppend(n, 0, "Code", 4, TYPE_TEXT, "old", 3);
        NSFItemAppend(n, 0, "CODE", 4, TYPE_TEXT, "old", 3);
        if (readBack) {
            ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
            NSFNoteGetInfo(n, _NOTE_ID, &id);
            NSFNoteClose(n);
            ASSERT_EQ(NSFNoteOpen(h, id, 0, &n), NOERROR);
        }
        NSFItemSetText(n, "Other", "y", MAXWORD);
        NSFItemSetText(n, "code", "new", MAXWORD);
        ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NSFNoteGetInfo(n, _NOTE_ID, &id);
        NSFNoteClose(n);
        vqop::Document doc;
        ASSERT_TRUE(vqop::ReadDocument("items.nsf", id, &doc));
        std::string seen;
        for (const auto &it : doc.items)
            seen += it.name + "=" + it.text + ";";
        EXPECT_EQ(seen, "Other=y;code=new;");
    }
    NSFDbClose(h);
}

// A body as plain text: lines cut at the last blank that fits (the blank dropped) or hard, tabs to stops of 8, each
// line ended by the delimiter asked for.
TEST_F(StandInTest, BodyTextWrapsAndExpandsTabs)
{
    DBHANDLE h = NULLHANDLE;
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFDbCreate("body.nsf", 0, FALSE), NOERROR);
    ASSERT_EQ(NSFDbOpen("body.nsf", &h), NOERROR);
    ASSERT_EQ(NSFNoteCreate(h, &n), NOERROR);
    NSFItemSetText(n, "Body", "alpha beta gamma\n\tx\nabcdefghij", MAXWORD);
    const struct { WORD width; BOOL tabs; const char *delim, *text; } cases[] = {
        {0, FALSE, "\r\n", "alpha beta gamma\r\n\tx\r\nabcdefghij\r\n"},
        {10, TRUE, "\n", "alpha beta\ngamma\n        x\nabcdefghij\n"},
        {4, FALSE, "|", "alph|a|beta|gamm|a|\tx|abcd|efgh|ij|"}};
    for (const auto &c : cases) {
        DHANDLE text = NULLHANDLE;
        DWORD len = 0;
        ASSERT_EQ(VqMailGetMessageBodyBlock(n, "Body", c.delim, c.width, c.tabs, &text, &len), NOERROR);
        EXPECT_EQ(std::string((const char *)OSLockObject(text), len), c.text) << c.width;
        OSUnlockObject(text);
        OSMemFree(text);
    }
    NSFNoteClose(n);
    NSFDbClose(h);
}

// An update writes only the items that changed: after edits that keep, change, shift and add items, the note reads
// back as saved, its unchanged large item whole, and a lookup finds it by each key's new text and no longer by the old.
TEST_F(StandInTest, UpdateOfSomeItemsReadsBackWhole)
{
    vqtest::CreateActivityDb("upd.nsf");
    const std::string big(50000, 'z');
    DBHANDLE h = NULLHANDLE;
    NOTEHANDLE n = NULLHANDLE;
    NOTEID id = 0;
    ASSERT_EQ(NSFDbOpen("upd.nsf", &h), NOERROR);
    ASSERT_EQ(NSFNoteCreate(h, &n), NOERROR);
    for (const char *item : {"Gone", "Key", "Other"})
        NSFItemSetText(n, item, item, MAXWORD);
    NSFItemAppend(n, 0, "Big", 3, TYPE_TEXT, big.data(), (DWORD)big.size());
    NSFItemAppend(n, 0, "Big2", 4, TYPE_TEXT, big.data(), (DWORD)big.size());
    ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
    NSFNoteGetInfo(n, _NOTE_ID, &id);
    // each edit, then what the lookup by "Key" must find for the key text before it
    // (a number whose text form stays the same: only its bytes tell the change)
    struct Edit { const char *name, *text, *oldKey; STATUS oldFound; } edits[] = {
        {"Key", "second", "Key", ERR_NOT_FOUND}, {"Gone", nullptr, "second", NOERROR}, {"Num", "", "second", NOERROR},
        {"New", "added", "second", NOERROR}, {"Key", "third", "second", ERR_NOT_FOUND}};
    NUMBER num = 1.0000001;
    NSFItemSetNumber(n, "Num", &num);
    for (const Edit &e : edits) {
        SCOPED_TRACE(e.name);
        num += std::string(e.name) == "Num" ? 1e-7 : 0;
        if (std::string(e.name) == "New") { // another writer drops Big2, then saves its own: the last save wins whole
            NOTEHANDLE other = NULLHANDLE;
            ASSERT_EQ(NSFNoteOpen(h, id, 0, &other), NOERROR);
            const std::string theirs(50000, 'y');
            NSFItemDelete(other, "Big2", 4);
            EXPECT_EQ(NSFNoteUpdate(other, 0), NOERROR);
            NSFItemAppend(other, 0, "Big2", 4, TYPE_TEXT, theirs.data(), (DWORD)theirs.size());
            EXPECT_EQ(NSFNoteUpdate(other, 0), NOERROR);
            NSFNoteClose(other);
        }
        if (std::string(e.name) == "Num")
            NSFItemSetNumber(n, e.name, &num);
        else if (e.text != nullptr)
            NSFItemSetText(n, e.name, e.text, MAXWORD);
        else
            NSFItemDelete(n, e.name, (WORD)strlen(e.name));
        ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NOTEHANDLE fresh = NULLHANDLE;
        NUMBER stored = 0;
        ASSERT_EQ(NSFNoteOpen(h, id, 0, &fresh), NOERROR);
        EXPECT_TRUE(NSFItemGetNumber(fresh, "Num", &stored) && stored == num);
        NSFNoteClose(fresh);
        NOTEID found = 0;
        EXPECT_EQ(e.text == nullptr || *e.text == '\0' || (VqNSFDbFindByItem(h, e.name, e.text, &found) == NOERROR && found == id), true);
        EXPECT_EQ(VqNSFDbFindByItem(h, "Key", e.oldKey, &found), e.oldFound);
        for (const char *item : {"Gone", "Key", "Other", "New"}) {
            char want[64] = "";
            NSFItemGetText(n, item, want, sizeof want);
            EXPECT_EQ(ItemText("upd.nsf", id, item), want) << item;
        }
        EXPECT_EQ(ItemText("upd.nsf", id, "Big"), big);
        EXPECT_EQ(ItemText("upd.nsf", id, "Big2"), big);
    }
    NSFNoteClose(n);
    NSFDbClose(h);
}

// Handles freed in any order leave every other handle live and its own: hundreds live at a time while thousands come
// and go, so that handle numbers run far past the table's size and share its slots, and the table moves entries back as
// it frees.
TEST_F(StandInTest, HandlesFreedInAnyOrderLeaveTheOthersLive)
{
    std::vector<std::pair<DHANDLE, DWORD>> live;
    std::minstd_rand pick(7);
    for (DWORD n = 0; n < 20000; ++n) {
        if (live.size() < 64 || (live.size() < 400 && pick() % 2 == 0)) {
            DHANDLE h = NULLHANDLE;
            ASSERT_EQ(OSMemAlloc(0, sizeof(DWORD), &h), NOERROR);
            *(DWORD *)OSLockObject(h) = n;
            OSUnlockObject(h);
            live.emplace_back(h, n);
        } else {
            const size_t at = pick() % live.size();
            ASSERT_EQ(OSMemFree(live[at].first), NOERROR) << n;
            live[at] = live.back();
            live.pop_back();
        }
        for (size_t i = n % 8; i < live.size(); i += 8) {
            const void *p = OSLockObject(live[i].first);
            ASSERT_NE(p, nullptr) << n;
            ASSERT_EQ(*(const DWORD *)p, live[i].second) << n;
            OSUnlockObject(live[i].first);
        }
    }
    for (const auto &[held, value] : live)
        EXPECT_EQ(OSMemFree(held), NOERROR) << value;
}

// In a group, a read from the position a lookup found, and the open of the entry found, show what a write made after the
// lookup (through another handle, which writes in the same group) and not what the lookup saw.
TEST_F(StandInTest, LookupInAGroupSeesWritesMadeAfterIt)
{
    vqtest::CreateActivityDb("look.nsf");
    DBHANDLE h = NULLHANDLE, other = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("look.nsf", &h), NOERROR);
    ASSERT_EQ(NSFDbOpen("look.nsf", &other), NOERROR);
    NOTEID view = 0;
    HCOLLECTION coll = 0;
    ASSERT_EQ(NIFFindDesignNote(h, "Pending by Job ID", NOTE_CLASS_VIEW, &view), NOERROR);
    ASSERT_EQ(NIFOpenCollection(h, h, view, 0, NULLHANDLE, &coll, nullptr, nullptr, nullptr, nullptr), NOERROR);
    const auto save = [](DBHANDLE db, NOTEID id, const char *form, const char *code) {
        NOTEHANDLE n = NULLHANDLE;
        EXPECT_EQ(id != 0 ? NSFNoteOpen(db, id, 0, &n) : NSFNoteCreate(db, &n), NOERROR);
        NSFItemSetText(n, "Form", form, MAXWORD);
        NSFItemSetText(n, "Code", code, MAXWORD);
        if (id == 0)
            NSFItemSetText(n, "JobID", "0001", MAXWORD);
        EXPECT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NSFNoteGetInfo(n, _NOTE_ID, &id);
        NSFNoteClose(n);
        return id;
    };
    // between the lookup and the read: nothing, an update, a second entry of the key, the entry no longer selected
    enum Between { Nothing, Update, Second, Unselect };
    const struct { Between between; bool first, more; const char *code; } cases[] = {
        {Nothing, true, false, "1"}, {Update, true, false, "2"}, {Second, true, true, "2"}, {Unselect, false, false, ""}};
    ASSERT_EQ(VqDbBeginBatch(h), NOERROR);
    const NOTEID id = save(h, 0, "Job Entry", "1");
    NOTEID second = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.between);
        COLLECTIONPOSITION pos;
        DWORD matches = 0;
        ASSERT_EQ(NIFFindByName(coll, "0001", FIND_CASE_INSENSITIVE, &pos, &matches), NOERROR);
        if (c.between == Update)
            save(other, id, "Job Entry", "2");
        else if (c.between == Second)
            second = save(other, 0, "Job Entry", "3");
        else if (c.between == Unselect)
            save(other, id, "Other", "4");
        DHANDLE buf = NULLHANDLE;
        WORD len = 0, signal = 0;
        DWORD skipped = 0, returned = 0;
        ASSERT_EQ(NIFReadEntries(coll, &pos, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT, MAXDWORD, READ_MASK_NOTEID, &buf, &len,
                                 &skipped, &returned, &signal), NOERROR);
        ASSERT_EQ(returned, 1u);
        NOTEID got = *(NOTEID *)OSLockObject(buf);
        OSUnlockObject(buf);
        OSMemFree(buf);
        EXPECT_EQ(got, c.first ? id : second);
        EXPECT_EQ((signal & SIGNAL_MORE_TO_DO) != 0, c.more);
        if (c.first) {
            EXPECT_EQ(ItemText("look.nsf", id, "Code"), c.code);
        }
        NOTEHANDLE n = NULLHANDLE;
        ASSERT_EQ(NSFNoteOpen(h, id, 0, &n), NOERROR);
        char code[8] = "";
        NSFItemGetText(n, "Code", code, sizeof code);
        EXPECT_STREQ(code, c.first ? c.code : "4");
        NSFNoteClose(n);
    }
    EXPECT_EQ(VqDbCommitBatch(h), NOERROR);
    NIFCloseCollection(coll);
    NSFDbClose(other);
    NSFDbClose(h);
}

// A database written before a note became one record opens converted, its long values, views and lookups whole.
TEST_F(StandInTest, EarlierFormatOpensConverted)
{
    const std::string big(5000, 'q');
    // a record of the layout before varints: per item name length (2), name, flags (2), type (2), then 0, the length (4)
    // and the value, or 1, the slot (4) and the length (4) of a value kept apart
    const auto fixedRecord = [](const std::vector<std::pair<std::string, std::string>> &items) {
        std::string r;
        const auto put = [&r](size_t v, int n) { for (int b = 0; b < n; ++b) r += (char)(v >> 8 * b); };
        for (const auto &[name, value] : items) {
            const bool apart = value.size() > 1024;
            put(name.size(), 2), r += name, put(0, 2), put(TYPE_TEXT, 2), r += (char)apart;
            apart ? (put(1, 4), put(value.size(), 4)) : (put(value.size(), 4), r += value, void());
        }
        return r;
    };
    const char *const meta = "INSERT INTO vq_meta VALUES('title', 'Old'), ('class', 0), ('uid', 7), ('created', 1),"
                             " ('data_modified', 1), ('nondata_modified', 1);";
    for (const char *format : {"vortiq-nsf 1", "vortiq-nsf 2"}) {
        SCOPED_TRACE(format);
        const std::string file = std::string("old") + format[11] + ".nsf";
        sqlite3 *raw = nullptr;
        ASSERT_EQ(sqlite3_open((data_.path() + "/" + file).c_str(), &raw), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(raw, (std::string("PRAGMA journal_mode=WAL;"
            "CREATE TABLE vq_meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;") + meta +
            "INSERT INTO vq_meta VALUES('format', '" + format + "');").c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        if (format[11] == '1') {
            ASSERT_EQ(sqlite3_exec(raw,
                "CREATE TABLE vq_notes(id INTEGER PRIMARY KEY AUTOINCREMENT, class INTEGER NOT NULL, mod0 INTEGER NOT NULL, mod1 INTEGER NOT NULL);"
                "CREATE TABLE vq_items(note INTEGER NOT NULL, seq INTEGER NOT NULL, name TEXT NOT NULL, lname TEXT NOT NULL,"
                " flags INTEGER NOT NULL, type INTEGER NOT NULL, value BLOB NOT NULL, ktext TEXT, lkey TEXT);"
                "INSERT INTO vq_notes VALUES(1, 8, 1, 1), (2, 1, 1, 1), (3, 1, 1, 1);"
                "INSERT INTO vq_items(note, seq, name, lname, flags, type, value) VALUES"
                " (1, 0, '$Title', '$title', 0, 1280, CAST('By Key' AS BLOB)), (1, 1, '$Formula', '$formula', 0, 1280, CAST('SELECT Form = \"Doc\"' AS BLOB)),"
                " (1, 2, '$SortItem', '$sortitem', 0, 1280, CAST('Key' AS BLOB)),"
                " (2, 0, 'Form', 'form', 0, 1280, CAST('Doc' AS BLOB)), (2, 1, 'Key', 'key', 0, 1280, CAST('Beta' AS BLOB)),"
                " (2, 2, 'Big', 'big', 0, 1280, CAST(printf('%.*c', 5000, 'q') AS BLOB)),"
                " (3, 0, 'Form', 'form', 0, 1280, CAST('Doc' AS BLOB)), (3, 1, 'Key', 'key', 0, 1280, CAST('alpha' AS BLOB));",
                nullptr, nullptr, nullptr), SQLITE_OK);
        } else {
            ASSERT_EQ(sqlite3_exec(raw,
                "CREATE TABLE vq_notes(id INTEGER PRIMARY KEY AUTOINCREMENT, class INTEGER NOT NULL, mod0 INTEGER NOT NULL,"
                " mod1 INTEGER NOT NULL, rev INTEGER NOT NULL DEFAULT 0, items BLOB NOT NULL DEFAULT x'');"
                "CREATE TABLE vq_values(id INTEGER PRIMARY KEY, value BLOB NOT NULL);"
                "CREATE TABLE vq_keys(lname TEXT NOT NULL, lkey TEXT NOT NULL, note INTEGER NOT NULL, ktext TEXT NOT NULL,"
                " has INTEGER NOT NULL, PRIMARY KEY(lname, lkey, note)) WITHOUT ROWID;"
                "CREATE TABLE vq_keynames(lname TEXT PRIMARY KEY, whole INTEGER NOT NULL) WITHOUT ROWID;"
                "INSERT INTO vq_keynames VALUES('$title', 0); INSERT INTO vq_keys VALUES('$title', 'by key', 1, 'By Key', 1);"
                "INSERT INTO vq_values VALUES(2 << 24 | 1, CAST(printf('%.*c', 5000, 'q') AS BLOB));",
                nullptr, nullptr, nullptr), SQLITE_OK);
            const std::vector<std::pair<std::string, std::string>> notes[] = {
                {{"$Title", "By Key"}, {"$Formula", "SELECT Form = \"Doc\""}, {"$SortItem", "Key"}},
                {{"Form", "Doc"}, {"Key", "Beta"}, {"Big", big}}, {{"Form", "Doc"}, {"Key", "alpha"}}};
            for (int id = 1; id <= 3; ++id) {
                const std::string r = fixedRecord(notes[id - 1]);
                sqlite3_stmt *put = nullptr;
                sqlite3_prepare_v2(raw, "INSERT INTO vq_notes VALUES(?1, ?2, 1, 1, 1, ?3)", -1, &put, nullptr);
                sqlite3_bind_int(put, 1, id), sqlite3_bind_int(put, 2, id == 1 ? 8 : 1);
                sqlite3_bind_blob(put, 3, r.data(), (int)r.size(), SQLITE_STATIC);
                EXPECT_EQ(sqlite3_step(put), SQLITE_DONE);
                sqlite3_finalize(put);
            }
        }
        sqlite3_close(raw);
        DBHANDLE h = NULLHANDLE;
        ASSERT_EQ(NSFDbOpen(file.c_str(), &h), NOERROR);
        EXPECT_EQ(ItemText(file, 2, "Big"), big);
        EXPECT_EQ(ItemText(file, 3, "Key"), "alpha");
        NOTEID view = 0, found = 0;
        EXPECT_EQ(NIFFindDesignNote(h, "by key", NOTE_CLASS_VIEW, &view), NOERROR);
        EXPECT_EQ(view, 1u);
        HCOLLECTION coll = 0;
        ASSERT_EQ(NIFOpenCollection(h, h, view, 0, NULLHANDLE, &coll, nullptr, nullptr, nullptr, nullptr), NOERROR);
        COLLECTIONPOSITION pos = {};
        DWORD matches = 0;
        EXPECT_EQ(NIFFindByName(coll, "ALPHA", FIND_CASE_INSENSITIVE, &pos, &matches), NOERROR);
        EXPECT_EQ(pos.Tumbler[0], 3u);
        NIFCloseCollection(coll);
        EXPECT_EQ(VqNSFDbFindByItem(h, "key", "beta", &found), NOERROR);
        EXPECT_EQ(found, 2u);
        // the IDs given out go on above the highest the file ever held
        NOTEHANDLE n = NULLHANDLE;
        ASSERT_EQ(NSFNoteDelete(h, 3, 0), NOERROR);
        ASSERT_EQ(NSFNoteCreate(h, &n), NOERROR);
        EXPECT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NSFNoteGetInfo(n, _NOTE_ID, &found);
        EXPECT_EQ(found, 4u);
        NSFNoteClose(n);
        NSFDbClose(h);
    }
}

// Zone bits and local hour on both sides of the 2026 spring changes, with
// TZ switched faster than once a second, and kept across a change (the
// last second converted must not answer for the next).
TEST_F(StandInTest, LocalTimeFollowsTheZoneAcrossDaylightChanges)
{
    const struct { const char *tz; int64_t unix; DWORD zoneAndHour; } rows[] = {
        {"Europe/Berlin", 1774745999, 0xC1000001u}, {"Europe/Berlin", 1774746000, 0xC1000003u},
        {"America/New_York", 1772953199, 0x85000001u}, {"America/New_York", 1772953200, 0x85000003u},
        {"Europe/Berlin", 1774745999, 0xC1000001u}, {"Asia/Kolkata", 1774746000, 0x65000006u},
        {"UTC", 1774746000, 0x00000001u}};
    for (const auto &r : rows) {
        vqtest::EnvGuard tz("TZ", r.tz);
        TIME t = {};
        VqTimeDateFromUnix(r.unix, 0, &t.GM);
        EXPECT_FALSE(TimeGMToLocal(&t));
        EXPECT_EQ((t.GM.Innards[1] & 0xFF000000u) | (DWORD)t.hour, r.zoneAndHour) << r.tz << " " << r.unix;
    }
}

}  // namespace
