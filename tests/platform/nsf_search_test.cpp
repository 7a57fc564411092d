/*
 * nsf_search_test.cpp - formulas and NSFSearch: what compiles and where
 * a bad formula is reported, the match flag, class masks, since-times,
 * an early stop from the routine, and routines that delete or update
 * notes while the search runs.
 */
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace {

struct Seen {
    NOTEID id;
    bool match;
    WORD noteClass;
};

STATUS Record(void *p, SEARCH_MATCH *m, ITEM_TABLE *summary)
{
    EXPECT_EQ(summary, nullptr);
    SEARCH_MATCH sm;
    std::memcpy(&sm, m, sizeof sm);
    static_cast<std::vector<Seen> *>(p)->push_back(
        {sm.ID.NoteID, (sm.SERetFlags & SE_FMATCH) != 0, sm.NoteClass});
    return NOERROR;
}

class NsfSearchTest : public vqtest::DbTest {
protected:
    /* A document with the item "Type" (none without a type). */
    NOTEID Add(const char *type)
    {
        if (type == nullptr)
            return vqtest::SaveNote(db_, {}, UPDATE_NOCOMMIT);
        return vqtest::SaveNote(db_, {{"Type", type}}, UPDATE_NOCOMMIT);
    }
    FORMULAHANDLE Compile(const char *text)
    {
        FORMULAHANDLE h = NULLHANDLE;
        WORD len = 0;
        STATUS err = 0;
        WORD line = 0, col = 0, off = 0, elen = 0;
        EXPECT_EQ(NSFFormulaCompile(nullptr, 0, text, (WORD)std::strlen(text), &h, &len, &err,
                                    &line, &col, &off, &elen),
                  NOERROR)
            << text;
        return h;
    }
    std::vector<Seen> Search(FORMULAHANDLE f, WORD mask, TIMEDATE *since = nullptr)
    {
        std::vector<Seen> seen;
        EXPECT_EQ(NSFSearch(db_, f, nullptr, SEARCH_SUMMARY, mask, since, Record, &seen, nullptr),
                  NOERROR);
        return seen;
    }
};

TEST(NsfFormula, AcceptedFormsCompile)
{
    const char *good[] = {
        "@All",
        "@all",
        "SELECT @All",
        "  select\n@All ;",
        "Form = \"Job Entry\"",
        "SELECT Form=\"Job Entry\"",
        "SELECT $Type = \"a \\\" quote\";",
        "Select = \"item named Select\"",
    };
    for (const char *text : good) {
        FORMULAHANDLE h = NULLHANDLE;
        WORD len = 0;
        STATUS err = 1;
        EXPECT_EQ(NSFFormulaCompile("n", 1, text, (WORD)std::strlen(text), &h, &len, &err, nullptr,
                                    nullptr, nullptr, nullptr),
                  NOERROR)
            << text;
        EXPECT_EQ(err, NOERROR) << text;
        EXPECT_NE(h, NULLHANDLE) << text;
        DWORD size = 0;
        OSMemGetSize(h, &size);
        EXPECT_EQ(size, len) << text;
        EXPECT_EQ(OSMemFree(h), NOERROR);
    }
    EXPECT_EQ(vqtest::HandleCountAll(), 0u);
}

TEST(NsfFormula, RejectedFormsReportWhereTheyFail)
{
    struct Case {
        const char *text;
        WORD line, column, offset, length;
    };
    const Case bad[] = {
        {"", 1, 1, 0, 0},
        {"@Nothing", 1, 1, 0, 1},
        {"Form = Job", 1, 8, 7, 3},
        {"Form == \"x\"", 1, 7, 6, 1},
        {"SELECT @All\n  Extra", 2, 3, 14, 5},
        {"Form = \"open", 1, 8, 7, 5},
        {"@All; @All", 1, 7, 6, 1},
    };
    for (const auto &c : bad) {
        FORMULAHANDLE h = 77;
        STATUS err = 0;
        WORD line = 0, col = 0, off = 0, len = 0;
        EXPECT_EQ(NSFFormulaCompile(nullptr, 0, c.text, (WORD)std::strlen(c.text), &h, nullptr,
                                    &err, &line, &col, &off, &len),
                  ERR_FORMULA_COMPILATION)
            << c.text;
        EXPECT_EQ(h, NULLHANDLE) << c.text;
        EXPECT_EQ(err, ERR_FORMULA_COMPILATION) << c.text;
        EXPECT_EQ(line, c.line) << c.text;
        EXPECT_EQ(col, c.column) << c.text;
        EXPECT_EQ(off, c.offset) << c.text;
        EXPECT_EQ(len, c.length) << c.text;
    }
    /* Every out-pointer may be NULL. */
    EXPECT_EQ(NSFFormulaCompile(nullptr, 0, "bad", 3, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr),
              ERR_FORMULA_COMPILATION);
}

TEST_F(NsfSearchTest, MatchFlagFollowsTheFormulaForEveryDocument)
{
    const NOTEID p1 = Add("Person");
    const NOTEID g = Add("Group");
    const NOTEID none = Add(nullptr);
    const NOTEID p2 = Add("person");
    NOTEID view = 0;
    ASSERT_EQ(VqCreateView(db_, "People", "Type = \"Person\"", "Type", &view), NOERROR);

    FORMULAHANDLE f = Compile("SELECT Type = \"PERSON\"");
    std::vector<Seen> seen = Search(f, NOTE_CLASS_DOCUMENT);
    ASSERT_EQ(seen.size(), 4u);
    const std::vector<std::pair<NOTEID, bool>> want = {{p1, true}, {g, false}, {none, false},
                                                       {p2, true}};
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(seen[i].id, want[i].first) << i;
        EXPECT_EQ(seen[i].match, want[i].second) << i;
        EXPECT_EQ(seen[i].noteClass, NOTE_CLASS_DOCUMENT);
    }
    OSMemFree(f);

    /* A missing item reads as "". */
    f = Compile("Type = \"\"");
    seen = Search(f, NOTE_CLASS_DOCUMENT);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_TRUE(seen[2].match);
    EXPECT_FALSE(seen[0].match);
    OSMemFree(f);

    /* NULLHANDLE is @All; the view shows up only when its class is asked for. */
    seen = Search(NULLHANDLE, NOTE_CLASS_ALL);
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[4].id, view);
    EXPECT_EQ(seen[4].noteClass, NOTE_CLASS_VIEW);
    EXPECT_TRUE(seen[4].match);
}

TEST_F(NsfSearchTest, ListItemsMatchOnAnyEntry)
{
    NOTEHANDLE n = NULLHANDLE;
    NSFNoteCreate(db_, &n);
    NSFItemCreateTextList(n, "Members", "Alice", MAXWORD);
    NSFItemAppendTextList(n, "Members", "Bob", MAXWORD, TRUE);
    NSFNoteUpdate(n, 0);
    NSFNoteClose(n);
    FORMULAHANDLE f = Compile("Members = \"bob\"");
    std::vector<Seen> seen = Search(f, NOTE_CLASS_DOCUMENT);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].match);
    OSMemFree(f);
}

TEST_F(NsfSearchTest, EarlyStopIsHandedBack)
{
    for (int i = 0; i < 5; ++i)
        Add("Person");
    struct Stop {
        int calls = 0;
    } stop;
    auto routine = [](void *p, SEARCH_MATCH *, ITEM_TABLE *) -> STATUS {
        return ++static_cast<Stop *>(p)->calls == 2 ? ERR_ROUTER_NOTUNIQUE : NOERROR;
    };
    EXPECT_EQ(NSFSearch(db_, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, routine, &stop,
                        nullptr),
              ERR_ROUTER_NOTUNIQUE);
    EXPECT_EQ(stop.calls, 2);
}

TEST_F(NsfSearchTest, DeletedNotesAreNotYieldedEvenWhenDeletedDuringTheSearch)
{
    const NOTEID a = Add("x");
    const NOTEID gone = Add("x");
    const NOTEID b = Add("x");
    const NOTEID c = Add("x");
    const NOTEID d = Add("x");
    ASSERT_EQ(NSFNoteDelete(db_, gone, 0), NOERROR);
    struct Ctx {
        DBHANDLE db;
        NOTEID deleteWhenAt, victim;
        std::vector<NOTEID> seen;
    } ctx{db_, b, d, {}};
    auto routine = [](void *p, SEARCH_MATCH *m, ITEM_TABLE *) -> STATUS {
        Ctx *c = static_cast<Ctx *>(p);
        SEARCH_MATCH sm;
        std::memcpy(&sm, m, sizeof sm);
        c->seen.push_back(sm.ID.NoteID);
        /* Rewrite the note being looked at, and delete one not yet reached. */
        NOTEHANDLE n = NULLHANDLE;
        EXPECT_EQ(NSFNoteOpen(c->db, sm.ID.NoteID, 0, &n), NOERROR);
        NSFItemSetText(n, "Seen", "yes", MAXWORD);
        EXPECT_EQ(NSFNoteUpdate(n, 0), NOERROR);
        NSFNoteClose(n);
        if (sm.ID.NoteID == c->deleteWhenAt) {
            EXPECT_EQ(NSFNoteDelete(c->db, c->victim, 0), NOERROR);
        }
        return NOERROR;
    };
    TIMEDATE until = {{0, 0}};
    ASSERT_EQ(NSFSearch(db_, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, routine, &ctx,
                        &until),
              NOERROR);
    EXPECT_EQ(ctx.seen, (std::vector<NOTEID>{a, b, c}));
    EXPECT_NE(until.Innards[1], 0u) << "retUntil is filled";
}

TEST_F(NsfSearchTest, SinceTimeSkipsNotesModifiedBefore)
{
    vqtest::SetClock(1700000000);
    Add("old");
    TIMEDATE since;
    VqTimeDateFromUnix(1700000100, 0, &since);
    vqtest::SetClock(1700000100);
    const NOTEID fresh = Add("new");
    vqtest::SetClock(1700000200);
    const NOTEID fresher = Add("newer");
    std::vector<Seen> seen = Search(NULLHANDLE, NOTE_CLASS_DOCUMENT, &since);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].id, fresh);
    EXPECT_EQ(seen[1].id, fresher);
}

TEST_F(NsfSearchTest, AFormulaHandleThatIsNotOneIsRefused)
{
    DHANDLE junk = NULLHANDLE;
    ASSERT_EQ(OSMemAlloc(BLK_MEM_ALLOC, 16, &junk), NOERROR);
    std::vector<Seen> seen;
    EXPECT_EQ(NSFSearch(db_, junk, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, Record, &seen,
                        nullptr),
              ERR_BAD_PARAM);
    OSMemFree(junk);
}

}  // namespace
