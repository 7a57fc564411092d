/*
 * nif_view_test.cpp - views: finding the view by title, key lookups with
 * and without case, several entries of one key in note-ID order, missing
 * keys (0x0404), empty views, entries that move when their key changes,
 * reading entries in view order with continuation, and the selection.
 */
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace {

class NifViewTest : public vqtest::DbTest {
protected:
    void SetUp() override
    {
        vqtest::DbTest::SetUp();
        ASSERT_EQ(VqCreateView(db_, "Pending by Job ID", "SELECT Form = \"Job Entry\"", "JobID",
                               &view_),
                  NOERROR);
    }
    void TearDown() override
    {
        if (coll_ != 0)
            NIFCloseCollection(coll_);
        vqtest::DbTest::TearDown();
    }
    /* A document of the form; without a job number it has no "JobID". */
    NOTEID Add(const char *form, const char *job)
    {
        if (job == nullptr)
            return vqtest::SaveNote(db_, {{"Form", form}}, UPDATE_NOCOMMIT);
        return vqtest::SaveNote(db_, {{"Form", form}, {"JobID", job}}, UPDATE_NOCOMMIT);
    }
    NOTEID Job(const char *job) { return Add("Job Entry", job); }
    void Open()
    {
        ASSERT_EQ(NIFOpenCollection(db_, db_, view_, OPEN_REBUILD_INDEX, NULLHANDLE, &coll_,
                                    nullptr, nullptr, nullptr, nullptr),
                  NOERROR);
    }
    /* Reads note IDs from pos as the gateway does; updates pos. */
    std::vector<NOTEID> Read(COLLECTIONPOSITION *pos, WORD skipNav, DWORD skip, DWORD count,
                             WORD *signal = nullptr)
    {
        DHANDLE buf = NULLHANDLE;
        WORD len = 0, flags = 0;
        DWORD skipped = 0, returned = 0;
        EXPECT_EQ(NIFReadEntries(coll_, pos, skipNav, skip, NAVIGATE_NEXT, count,
                                 READ_MASK_NOTEID, &buf, &len, &skipped, &returned, &flags),
                  NOERROR);
        std::vector<NOTEID> ids;
        if (buf != NULLHANDLE) {
            EXPECT_EQ(len, returned * sizeof(NOTEID));
            NOTEID *p = static_cast<NOTEID *>(OSLockObject(buf));
            ids.assign(p, p + returned);
            OSUnlockObject(buf);
            OSMemFree(buf);
        } else {
            EXPECT_EQ(returned, 0u);
        }
        if (signal != nullptr)
            *signal = flags;
        return ids;
    }
    /* All entries from the key's first entry to the end of the view. */
    std::vector<NOTEID> Lookup(const char *key, WORD flags, DWORD *matches, STATUS *status)
    {
        COLLECTIONPOSITION pos;
        std::memset(&pos, 0, sizeof pos);
        *status = NIFFindByName(coll_, key, flags, &pos, matches);
        if (*status != NOERROR)
            return {};
        return Read(&pos, NAVIGATE_CURRENT, 0, 0xFFFFFFFFu);
    }
    NOTEID view_ = 0;
    HCOLLECTION coll_ = 0;
};

TEST_F(NifViewTest, FindsTheViewByTitleWithoutCase)
{
    NOTEID id = 0;
    EXPECT_EQ(NIFFindDesignNote(db_, "pending BY job id", NOTE_CLASS_VIEW, &id), NOERROR);
    EXPECT_EQ(id, view_);
    EXPECT_EQ(NIFFindDesignNote(db_, "Pending", NOTE_CLASS_VIEW, &id), ERR_NOT_FOUND);
    EXPECT_EQ(NIFFindDesignNote(db_, "Pending by Job ID", NOTE_CLASS_FORM, &id), ERR_NOT_FOUND);
    /* A document with a "$Title" item is not a view. */
    vqtest::SaveNote(db_, {{"$Title", "Fake"}});
    EXPECT_EQ(NIFFindDesignNote(db_, "Fake", NOTE_CLASS_VIEW, &id), ERR_NOT_FOUND);
}

TEST_F(NifViewTest, KeyLookupsInViewOrder)
{
    const NOTEID a1 = Job("AB12");
    const NOTEID b = Job("0002");
    const NOTEID a2 = Job("ab12");
    Add("Memo", "AB12"); /* not selected by the view */
    const NOTEID c = Job("0003");
    const NOTEID a3 = Job("AB12");
    Open();
    struct Case {
        const char *key;
        WORD flags;
        DWORD wantMatches;
        std::vector<NOTEID> wantIds;
    };
    const std::vector<Case> cases = {
        {"0002", FIND_CASE_INSENSITIVE, 1, {b, c, a1, a2, a3}},
        {"0003", FIND_CASE_INSENSITIVE, 1, {c, a1, a2, a3}},
        {"Ab12", FIND_CASE_INSENSITIVE, 3, {a1, a2, a3}},
        {"ab12", 0, 1, {a2, a3}},
        {"AB12", 0, 2, {a1, a2, a3}},
        {"Ab12", 0, 0, {}},
        {"0004", FIND_CASE_INSENSITIVE, 0, {}},
        {"", FIND_CASE_INSENSITIVE, 0, {}},
    };
    for (const auto &tc : cases) {
        DWORD matches = 99;
        STATUS s = NOERROR;
        std::vector<NOTEID> got = Lookup(tc.key, tc.flags, &matches, &s);
        EXPECT_EQ(s, tc.wantMatches == 0 ? ERR_NOT_FOUND : NOERROR) << tc.key;
        EXPECT_EQ(matches, tc.wantMatches) << tc.key;
        EXPECT_EQ(got, tc.wantIds) << tc.key << " flags " << tc.flags;
    }
}

TEST_F(NifViewTest, EmptyViewFindsNothingAndReadsNoBuffer)
{
    Add("Memo", "0001");
    Open();
    DWORD matches = 5;
    COLLECTIONPOSITION pos;
    std::memset(&pos, 0, sizeof pos);
    EXPECT_EQ(NIFFindByName(coll_, "0001", FIND_CASE_INSENSITIVE, &pos, &matches), ERR_NOT_FOUND);
    EXPECT_EQ(ERR_NOT_FOUND, 0x0404);
    EXPECT_EQ(matches, 0u);
    std::memset(&pos, 0, sizeof pos);
    EXPECT_TRUE(Read(&pos, NAVIGATE_NEXT, 1, 0xFFFFFFFFu).empty());
}

TEST_F(NifViewTest, EntryFollowsItsKeyAfterUpdateAndSeesChangesAfterOpen)
{
    const NOTEID id = Job("0100");
    Open();
    NOTEHANDLE n = NULLHANDLE;
    ASSERT_EQ(NSFNoteOpen(db_, id, 0, &n), NOERROR);
    NSFItemSetText(n, "JobID", "0200", MAXWORD);
    ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
    NSFNoteClose(n);
    const NOTEID later = Job("0100");
    DWORD matches = 0;
    STATUS s = NOERROR;
    EXPECT_EQ(Lookup("0200", FIND_CASE_INSENSITIVE, &matches, &s), std::vector<NOTEID>{id});
    EXPECT_EQ(Lookup("0100", FIND_CASE_INSENSITIVE, &matches, &s), (std::vector<NOTEID>{later, id}));
    EXPECT_EQ(matches, 1u);
    /* A document that leaves the selection leaves the view. */
    ASSERT_EQ(NSFNoteOpen(db_, id, 0, &n), NOERROR);
    NSFItemSetText(n, "Form", "Memo", MAXWORD);
    ASSERT_EQ(NSFNoteUpdate(n, 0), NOERROR);
    NSFNoteClose(n);
    Lookup("0200", FIND_CASE_INSENSITIVE, &matches, &s);
    EXPECT_EQ(s, ERR_NOT_FOUND);
    ASSERT_EQ(NSFNoteDelete(db_, later, 0), NOERROR);
    Lookup("0100", FIND_CASE_INSENSITIVE, &matches, &s);
    EXPECT_EQ(s, ERR_NOT_FOUND);
}

TEST_F(NifViewTest, DocumentsWithoutTheSortItemComeFirstWithAnEmptyKey)
{
    const NOTEID keyed = Job("0001");
    const NOTEID bare1 = Job(nullptr);
    const NOTEID blank = Job("");
    const NOTEID bare2 = Job(nullptr);
    Open();
    COLLECTIONPOSITION pos;
    std::memset(&pos, 0, sizeof pos); /* before the first entry */
    EXPECT_EQ(Read(&pos, NAVIGATE_NEXT, 1, 0xFFFFFFFFu),
              (std::vector<NOTEID>{bare1, blank, bare2, keyed}));
}

TEST_F(NifViewTest, ReadingInPiecesContinuesFromTheUpdatedPosition)
{
    std::vector<NOTEID> want;
    for (const char *job : {"0005", "0001", "0003", "0002", "0004"})
        Job(job);
    Open();
    for (const char *job : {"0001", "0002", "0003", "0004", "0005"}) {
        COLLECTIONPOSITION p;
        DWORD m = 0;
        ASSERT_EQ(NIFFindByName(coll_, job, 0, &p, &m), NOERROR);
        want.push_back(p.Tumbler[0]);
    }
    COLLECTIONPOSITION pos;
    std::memset(&pos, 0, sizeof pos);
    std::vector<NOTEID> got;
    WORD signal = 0;
    std::vector<NOTEID> piece = Read(&pos, NAVIGATE_NEXT, 1, 2, &signal);
    while (!piece.empty()) {
        got.insert(got.end(), piece.begin(), piece.end());
        piece = Read(&pos, NAVIGATE_NEXT, 1, 2, &signal);
    }
    EXPECT_EQ(got, want);
    /* An ordinal position counts entries from 1. */
    std::memset(&pos, 0, sizeof pos);
    pos.Tumbler[0] = 4;
    EXPECT_EQ(Read(&pos, NAVIGATE_CURRENT, 0, 0xFFFFFFFFu),
              (std::vector<NOTEID>{want[3], want[4]}));
}

TEST_F(NifViewTest, ALongReadSignalsMoreAndContinues)
{
    const int total = 1100; /* more than one read returns */
    for (int i = 0; i < total; ++i)
        Job(i % 2 ? "0001" : "0002");
    Open();
    COLLECTIONPOSITION pos;
    DWORD matches = 0;
    ASSERT_EQ(NIFFindByName(coll_, "0001", FIND_CASE_INSENSITIVE, &pos, &matches), NOERROR);
    EXPECT_EQ(matches, (DWORD)total / 2);
    std::vector<NOTEID> all;
    WORD signal = 0;
    std::vector<NOTEID> piece = Read(&pos, NAVIGATE_CURRENT, 0, 0xFFFFFFFFu, &signal);
    int reads = 1;
    all.insert(all.end(), piece.begin(), piece.end());
    while (signal & SIGNAL_MORE_TO_DO) {
        piece = Read(&pos, NAVIGATE_NEXT, 1, 0xFFFFFFFFu, &signal);
        ASSERT_FALSE(piece.empty());
        all.insert(all.end(), piece.begin(), piece.end());
        ++reads;
    }
    EXPECT_GT(reads, 1);
    ASSERT_EQ(all.size(), (size_t)total);
    /* Key "0001" first, then "0002"; note-ID order inside each key. */
    for (size_t i = 1; i < all.size(); ++i) {
        if (i != (size_t)total / 2) {
            ASSERT_LT(all[i - 1], all[i]) << i;
        }
    }
    EXPECT_GT(all[total / 2 - 1], all[total / 2]);
}

TEST_F(NifViewTest, BadRequestsAreRefused)
{
    Job("0001");
    Open();
    COLLECTIONPOSITION pos;
    DWORD m = 0;
    ASSERT_EQ(NIFFindByName(coll_, "0001", 0, &pos, &m), NOERROR);
    DHANDLE buf = NULLHANDLE;
    EXPECT_EQ(NIFReadEntries(coll_, &pos, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT, 1, 0x8000, &buf,
                             nullptr, nullptr, nullptr, nullptr),
              ERR_BAD_PARAM);
    EXPECT_EQ(buf, NULLHANDLE);
    EXPECT_EQ(NIFReadEntries(coll_, &pos, NAVIGATE_PREV, 1, NAVIGATE_NEXT, 1, READ_MASK_NOTEID,
                             &buf, nullptr, nullptr, nullptr, nullptr),
              ERR_BAD_PARAM);

    NOTEID doc = Job("0002");
    HCOLLECTION other = 0;
    EXPECT_EQ(NIFOpenCollection(db_, db_, doc, 0, NULLHANDLE, &other, nullptr, nullptr, nullptr,
                                nullptr),
              ERR_VIEW_NOT_VIEW);
    EXPECT_EQ(NIFOpenCollection(db_, db_, 4242, 0, NULLHANDLE, &other, nullptr, nullptr, nullptr,
                                nullptr),
              ERR_INVALID_NOTE);
    EXPECT_EQ(other, 0);
    NOTEID bad = 0;
    EXPECT_EQ(VqCreateView(db_, "Bad", "Form == \"x\"", "JobID", &bad), ERR_FORMULA_COMPILATION);
    EXPECT_EQ(bad, 0u);
}

TEST_F(NifViewTest, CollectionHandlesAreNarrowAndTheViewNoteCanBeReturned)
{
    NOTEHANDLE viewNote = NULLHANDLE;
    ASSERT_EQ(NIFOpenCollection(db_, db_, view_, 0, NULLHANDLE, &coll_, &viewNote, nullptr,
                                nullptr, nullptr),
              NOERROR);
    EXPECT_NE(coll_, 0);
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Collection), 1u);
    char title[64];
    NSFItemGetText(viewNote, "$Title", title, sizeof title);
    EXPECT_STREQ(title, "Pending by Job ID");
    NSFNoteClose(viewNote);
    EXPECT_EQ(NIFCloseCollection(coll_), NOERROR);
    coll_ = 0;
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Collection), 0u);
}

}  // namespace
