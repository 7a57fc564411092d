/*
 * nif_view.cpp - views and collections: VqCreateView, NIFFindDesignNote,
 * NIFOpenCollection, NIFFindByName, NIFReadEntries, NIFCloseCollection.
 *
 * A view is a design note (class VIEW) with "$Title", "$Formula" (the
 * selection) and "$SortItem" (the item of its first sorted column). Its
 * entries are the documents the selection selects, in the order of their
 * key (the sort item's text, compared without case), then note ID; a
 * document without the item has the empty key and sorts first.
 *
 * A collection keeps no copy of the view: every lookup walks the key rows
 * of the sort item (indexed at the view's first open) from the wanted key
 * and tests the selection for the candidates only, so it always sees what
 * is committed and a lookup costs the same in a view of any size. Inside
 * a group commit, NIFFindByName keeps what it found (and whether an entry
 * follows it) for the read from its position, and the found note's row for
 * the open that follows, while nothing is written (see GroupMark).
 *
 * Positions: a position that NIFFindByName or NIFReadEntries returns
 * names its entry (Tumbler[0] the note ID, Tumbler[1] a tag, then the
 * key's length and bytes). A caller's own position without a tag is an
 * ordinal: Tumbler[0] = n is the n-th entry, 0 is before the first.
 *
 * Reads come in pages with SIGNAL_MORE_TO_DO, and the first read from a
 * found or ordinal position returns a short page: the usual caller finds a
 * key, reads "everything" from there and keeps the first note ID, and each
 * entry read costs a few index lookups. A read that goes on from where the
 * previous one ended (its position carries kReadTag) gets a full page.
 */
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nsf_internal.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace vq {
namespace nsf {
namespace {

constexpr DWORD kPositionTag = 0x56515053u; /* "VQPS": found by NIFFindByName */
constexpr DWORD kReadTag = 0x56515052u;     /* "VQPR": where a read ended */
/* Key bytes that fit in the tumblers after note ID, tag and length. */
constexpr size_t kPositionKeyMax = (MAXTUMBLERLEVELS - 3) * sizeof(DWORD);
constexpr DWORD kKeyNotStored = 0xFFFFFFFFu;
/* Entries one read returns at most; SIGNAL_MORE_TO_DO tells that more
 * follow (the caller goes on with NAVIGATE_NEXT, skip 1). retBufferLength
 * is a WORD, so 16383 IDs would be the most a buffer could hold; a smaller
 * page keeps the usual "find a key, read from there, take the first ID"
 * cheap in a large view, as each entry read costs a few microseconds. */
constexpr DWORD kMaxEntriesPerRead = 1024;
/* Entries the first read from a found or ordinal position returns at most. */
constexpr DWORD kFirstReadEntries = 1;
static_assert(kMaxEntriesPerRead * sizeof(NOTEID) <= 0xFFFFu, "buffer length fits a WORD");

/* What the last NIFFindByName in a group found: its first entry, and
 * whether the view has an entry after it. A read from that position in
 * the same group, with nothing written since, needs no query. */
struct Found {
    GroupMark mark;
    NOTEID id = 0;
    std::string key;
    bool after = false;
};

struct Collection : HandleObject {
    DBHANDLE hData = NULLHANDLE;
    std::string sortLower; /* lower-cased name of the sort item */
    Formula selection;
    Found found;
};

Collection *GetCollection(HCOLLECTION h, const char *call)
{
    return HandleGetAs<Collection>(h, vqtest::HandleKind::Collection, call);
}

/* An entry as a position names it: its note and its key (lower-cased). */
struct Entry {
    NOTEID id = 0;
    std::string key;
};

/* A candidate as the cursor's row holds it, valid until the cursor's next
 * step: no copy of its key, text or compared value is made unless a
 * caller keeps them. */
struct Candidate {
    NOTEID id = 0;
    std::string_view key; /* lower-cased */
    /* the item the selection compares */
    bool selPresent = false;
    WORD selType = 0;
    std::string_view selValue;
};

/* Walks the view's candidates in view order from (key, id) onwards, from
 * the sort item's key rows (a document without the item has the empty
 * key). Each comes with the item that the selection compares, read from
 * the note's record by the same query. */
class Cursor {
public:
    /* exact: the entries of key alone */
    Cursor(Database &db, const Collection &c, const std::string &key, NOTEID id, bool exact = false)
        : q_(db.Stmt(exact ? Sql::ViewKey : id == 0 ? Sql::ViewFromKey : Sql::ViewFrom)), db_(db),
          sel_(c.selection.all ? std::string() : c.selection.itemLower)
    {
        if (!q_)
            return;
        /* both outlive the cursor, which resets the statement when it ends */
        sqlite3_bind_text(q_.get(), 1, c.sortLower.data(), (int)c.sortLower.size(), SQLITE_STATIC);
        sqlite3_bind_text(q_.get(), 2, key.data(), (int)key.size(), SQLITE_STATIC);
        if (exact || id != 0)
            sqlite3_bind_int64(q_.get(), 3, id);
    }

    /* Next candidate; false at the end (status in *s when a step failed). */
    bool Next(Candidate *e, STATUS *s)
    {
        *s = NOERROR;
        if (!q_) {
            *s = StatusFromSqlite(sqlite3_errcode(db_.db));
            return false;
        }
        const int rc = sqlite3_step(q_.get());
        if (rc != SQLITE_ROW) {
            if (rc != SQLITE_DONE)
                *s = StatusFromSqlite(rc);
            return false;
        }
        sqlite3_stmt *st = q_.get();
        e->id = (NOTEID)sqlite3_column_int64(st, 0);
        e->key = RecordColumn(st, 1);
        StoredItem it;
        e->selPresent = !sel_.empty() && FindStored(RecordColumn(st, 3), sel_, &it);
        e->selType = e->selPresent ? it.type : 0;
        e->selValue = std::string_view();
        if (e->selPresent && it.slot == 0) {
            e->selValue = it.value;
        } else if (e->selPresent) {
            *s = StoredValue(db_, e->id, it, &selApart_);
            e->selValue = selApart_;
        }
        return *s == NOERROR;
    }

    /* The key as written of the candidate just stepped to (read only by a
     * lookup that minds case). */
    std::string_view Text() const { return RecordColumn(q_.get(), 2); }

    /* Keeps the note's row of the candidate just stepped to (db.rowMemo). */
    void KeepRow()
    {
        sqlite3_stmt *st = q_.get();
        TIMEDATE modified;
        modified.Innards[0] = (DWORD)sqlite3_column_int64(st, 5);
        modified.Innards[1] = (DWORD)sqlite3_column_int64(st, 6);
        ::vq::nsf::KeepRow(db_, (NOTEID)sqlite3_column_int64(st, 0), (WORD)sqlite3_column_int(st, 4),
                           modified, sqlite3_column_int64(st, 7), RecordColumn(st, 3));
    }

private:
    StatementUse q_;
    Database &db_;
    std::string sel_;
    std::string selApart_; /* a compared value kept apart, as last read */
};

/* Next entry of the view (a candidate the selection selects). */
bool NextEntry(const Collection &c, Cursor *cur, Candidate *e, STATUS *s)
{
    while (cur->Next(e, s))
        if (FormulaSelectsValue(c.selection, e->selPresent, e->selType, e->selValue))
            return true;
    return false;
}

void EncodePosition(const Entry &e, DWORD tag, COLLECTIONPOSITION *pos)
{
    std::memset(pos, 0, sizeof *pos);
    pos->Level = 0;
    pos->Tumbler[0] = e.id;
    pos->Tumbler[1] = tag;
    if (e.key.size() > kPositionKeyMax) {
        pos->Tumbler[2] = kKeyNotStored;
        return;
    }
    pos->Tumbler[2] = (DWORD)e.key.size();
    std::memcpy(&pos->Tumbler[3], e.key.data(), e.key.size());
}

/* The key of a note as the view sorts it (for a position whose key did
 * not fit into the tumblers). */
STATUS KeyOfNote(Database &db, const Collection &c, NOTEID id, std::string *key)
{
    key->clear();
    bool exists = false, present = false;
    WORD noteClass = 0, type = 0;
    TIMEDATE modified;
    std::string value, text;
    STATUS s = ReadNoteItem(db, id, c.sortLower, &exists, &noteClass, &modified, &present, &type,
                            &value);
    if (s == NOERROR && present && ItemText(type, value, &text))
        *key = Lower(text);
    return s;
}

/* Where a read starts: at (key, id), or an ordinal (0 = before the first). */
struct Start {
    bool ordinal = false;
    bool continued = false; /* the position is where a read ended */
    DWORD index = 0;
    std::string key;
    NOTEID id = 0;
};

STATUS DecodePosition(Database &db, const Collection &c, const COLLECTIONPOSITION &pos,
                      Start *start)
{
    if (pos.Tumbler[1] != kPositionTag && pos.Tumbler[1] != kReadTag) {
        start->ordinal = true;
        start->index = pos.Tumbler[0];
        return NOERROR;
    }
    start->continued = pos.Tumbler[1] == kReadTag;
    start->id = pos.Tumbler[0];
    DWORD len = pos.Tumbler[2];
    if (len == kKeyNotStored)
        return KeyOfNote(db, c, start->id, &start->key);
    if (len > kPositionKeyMax)
        return ERR_BAD_PARAM;
    start->key.assign((const char *)&pos.Tumbler[3], len);
    return NOERROR;
}

STATUS ValidateRead(WORD skipNav, WORD returnNav, DWORD mask)
{
    const WORD skip = skipNav & 0x7F, ret = returnNav & 0x7F;
    if (skip != NAVIGATE_CURRENT && skip != NAVIGATE_NEXT)
        return ERR_BAD_PARAM;
    if (ret != NAVIGATE_CURRENT && ret != NAVIGATE_NEXT)
        return ERR_BAD_PARAM;
    /* Only note IDs are kept in a read buffer. */
    if (mask != READ_MASK_NOTEID)
        return ERR_BAD_PARAM;
    return NOERROR;
}

/* Hands a read's note IDs to the caller, in a buffer of its own, with
 * the position of the last one (last) and SIGNAL_MORE_TO_DO when more
 * entries follow. */
STATUS ReturnEntries(const NOTEID *ids, size_t count, const Entry &last, bool more,
                     COLLECTIONPOSITION *IndexPos, DHANDLE *rethBuffer, WORD *retBufferLength,
                     DWORD *retNumEntriesSkipped, DWORD *retNumEntriesReturned,
                     WORD *retSignalFlags, DWORD skipped)
{
    if (count > 0) {
        DHANDLE h = NULLHANDLE;
        const DWORD bytes = (DWORD)(count * sizeof(NOTEID));
        if (STATUS s = OSMemAlloc(BLK_MEM_ALLOC, bytes, &h); s != NOERROR)
            return s;
        std::memcpy(OSLockObject(h), ids, bytes);
        OSUnlockObject(h);
        *rethBuffer = h;
        if (retBufferLength != nullptr)
            *retBufferLength = (WORD)bytes;
        EncodePosition(last, kReadTag, IndexPos);
    }
    if (retNumEntriesSkipped != nullptr)
        *retNumEntriesSkipped = skipped;
    if (retNumEntriesReturned != nullptr)
        *retNumEntriesReturned = (DWORD)count;
    if (retSignalFlags != nullptr && more)
        *retSignalFlags = SIGNAL_MORE_TO_DO;
    return NOERROR;
}

STATUS ViewItemText(const Note &view, const char *name, std::string *text)
{
    text->clear();
    for (const Item &it : view.items)
        if (EqualNoCase(it.name, name)) {
            ItemText(it.type, it.value, text);
            break;
        }
    return NOERROR;
}

}  // namespace
}  // namespace nsf
}  // namespace vq

using vq::nsf::Collection;
using vq::nsf::Database;
using vq::nsf::MarkHolds;

STATUS VqCreateView(DBHANDLE hDB, const char *Title, const char *SelectionFormula,
                    const char *SortItem, NOTEID *retViewID)
{
    if (retViewID != nullptr)
        *retViewID = 0;
    if (Title == nullptr || *Title == '\0' || SelectionFormula == nullptr)
        return ERR_BAD_PARAM;
    vq::nsf::Formula f;
    vq::nsf::FormulaError err;
    if (!vq::nsf::ParseFormula(SelectionFormula, &f, &err))
        return ERR_FORMULA_COMPILATION;
    NOTEHANDLE hNote = NULLHANDLE;
    STATUS s = NSFNoteCreate(hDB, &hNote);
    if (s != NOERROR)
        return s;
    WORD viewClass = NOTE_CLASS_VIEW;
    NSFNoteSetInfo(hNote, _NOTE_CLASS, &viewClass);
    s = NSFItemSetText(hNote, "$Title", Title, MAXWORD);
    if (s == NOERROR)
        s = NSFItemSetText(hNote, "$Formula", SelectionFormula, MAXWORD);
    if (s == NOERROR)
        s = NSFItemSetText(hNote, "$SortItem", SortItem != nullptr ? SortItem : "", MAXWORD);
    if (s == NOERROR)
        s = NSFNoteUpdate(hNote, 0);
    if (s == NOERROR && retViewID != nullptr)
        NSFNoteGetInfo(hNote, _NOTE_ID, retViewID);
    NSFNoteClose(hNote);
    return s;
}

STATUS NIFFindDesignNote(DBHANDLE hFile, const char *Name, WORD Class, NOTEID *retNoteID)
{
    if (retNoteID != nullptr)
        *retNoteID = 0;
    Database *db = vq::nsf::GetDatabase(hFile, "NIFFindDesignNote");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (Name == nullptr)
        return ERR_BAD_PARAM;
    const std::string key = vq::nsf::Lower(Name);
    STATUS s = vq::nsf::EnsureKeyed(*db, "$title", false);
    if (s != NOERROR)
        return s;
    vq::nsf::StatementUse q(db->Stmt(vq::nsf::Sql::DesignFind));
    if (!q)
        return vq::nsf::StatusFromSqlite(sqlite3_errcode(db->db));
    sqlite3_bind_text(q.get(), 1, key.data(), (int)key.size(), SQLITE_STATIC);
    sqlite3_bind_int(q.get(), 2, Class);
    return vq::nsf::FirstNoteId(q, retNoteID);
}

STATUS NIFOpenCollection(DBHANDLE hViewDB, DBHANDLE hDataDB, NOTEID ViewNoteID, WORD OpenFlags,
                         DHANDLE hUnreadList, HCOLLECTION *rethCollection,
                         NOTEHANDLE *rethViewNote, UNID *retViewUNID,
                         DHANDLE *rethCollapsedList, DHANDLE *rethSelectedList)
{
    /* The index is always current (see the file comment), so the open
     * flags change nothing; no unread, collapsed or selected lists exist. */
    (void)OpenFlags;
    (void)hUnreadList;
    if (rethCollection != nullptr)
        *rethCollection = 0;
    if (rethViewNote != nullptr)
        *rethViewNote = NULLHANDLE;
    if (rethCollapsedList != nullptr)
        *rethCollapsedList = NULLHANDLE;
    if (rethSelectedList != nullptr)
        *rethSelectedList = NULLHANDLE;
    if (rethCollection == nullptr)
        return ERR_BAD_PARAM;
    Database *viewDb = vq::nsf::GetDatabase(hViewDB, "NIFOpenCollection");
    Database *dataDb = vq::nsf::GetDatabase(hDataDB, "NIFOpenCollection");
    if (viewDb == nullptr || dataDb == nullptr)
        return ERR_INVALID_HANDLE;
    auto view = std::make_unique<vq::nsf::Note>();
    view->hDB = hViewDB;
    STATUS s = vq::nsf::LoadNote(*viewDb, ViewNoteID, view.get());
    if (s != NOERROR)
        return s;
    if ((view->noteClass & NOTE_CLASS_VIEW) == 0)
        return ERR_VIEW_NOT_VIEW;
    std::string formula, sortItem;
    vq::nsf::ViewItemText(*view, "$Formula", &formula);
    vq::nsf::ViewItemText(*view, "$SortItem", &sortItem);
    auto coll = std::make_unique<Collection>();
    coll->hData = hDataDB;
    coll->sortLower = vq::nsf::Lower(sortItem);
    vq::nsf::FormulaError err;
    if (!vq::nsf::ParseFormula(formula, &coll->selection, &err))
        return ERR_COLLECTION_NOT_CREATED;
    /* the first open of a view indexes its sort item in every document */
    if ((s = vq::nsf::EnsureKeyed(*dataDb, coll->sortLower, true)) != NOERROR)
        return s;
    if (retViewUNID != nullptr) {
        std::memset(retViewUNID, 0, sizeof *retViewUNID);
        retViewUNID->Note = view->modified;
    }
    DHANDLE hc = vq::HandleAdd(vqtest::HandleKind::Collection, std::move(coll));
    if (hc == NULLHANDLE)
        return ERR_MEMORY;
    if (rethViewNote != nullptr) {
        NOTEHANDLE hn = vq::HandleAdd(vqtest::HandleKind::Note, std::move(view));
        if (hn == NULLHANDLE) {
            vq::HandleRemove(hc, vqtest::HandleKind::Collection, "NIFOpenCollection");
            return ERR_MEMORY;
        }
        *rethViewNote = hn;
    }
    *rethCollection = (HCOLLECTION)hc;
    return NOERROR;
}

STATUS NIFFindByName(HCOLLECTION hCollection, const char *Name, WORD FindFlags,
                     COLLECTIONPOSITION *retIndexPos, DWORD *retNumMatches)
{
    if (retNumMatches != nullptr)
        *retNumMatches = 0;
    Collection *c = vq::nsf::GetCollection(hCollection, "NIFFindByName");
    if (c == nullptr)
        return ERR_INVALID_HANDLE;
    if (Name == nullptr)
        return ERR_BAD_PARAM;
    Database *db = vq::nsf::GetDatabase(c->hData, "NIFFindByName");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    const std::string_view name = Name;
    const std::string key = vq::nsf::Lower(name);
    const bool partial = (FindFlags & FIND_PARTIAL) != 0;
    const bool anyCase = (FindFlags & FIND_CASE_INSENSITIVE) != 0;
    /* In a group the walk goes on to the entry after the key's, so that
     * the read that usually follows knows without a query of its own
     * whether more entries follow the one found. */
    const bool group = db->batch > 0;
    vq::nsf::Cursor cur(*db, *c, key, 0, !partial && !group);
    vq::nsf::Candidate e;
    vq::nsf::Entry first;
    DWORD matches = 0;
    bool after = false; /* an entry follows the first match */
    STATUS s = NOERROR;
    c->found = vq::nsf::Found();
    while (vq::nsf::NextEntry(*c, &cur, &e, &s)) {
        after = after || matches > 0;
        /* Entries of one key (or prefix) are contiguous: stop past them. */
        if (partial ? e.key.compare(0, key.size(), key) != 0 : e.key != key)
            break;
        if (!anyCase && (partial ? cur.Text().compare(0, name.size(), name) != 0 : cur.Text() != name))
            continue;
        if (matches++ == 0) {
            first.id = e.id;
            first.key.assign(e.key.data(), e.key.size());
            cur.KeepRow();
        }
    }
    if (s != NOERROR)
        return s;
    if (matches == 0)
        return ERR_NOT_FOUND;
    if (group) {
        c->found.mark = vq::nsf::MarkNow(*db);
        c->found.id = first.id;
        c->found.key = first.key;
        c->found.after = after;
    }
    if (retIndexPos != nullptr)
        vq::nsf::EncodePosition(first, vq::nsf::kPositionTag, retIndexPos);
    if (retNumMatches != nullptr)
        *retNumMatches = matches;
    return NOERROR;
}

STATUS NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION *IndexPos,
                      WORD SkipNavigator, DWORD SkipCount, WORD ReturnNavigator,
                      DWORD ReturnCount, DWORD ReturnMask, DHANDLE *rethBuffer,
                      WORD *retBufferLength, DWORD *retNumEntriesSkipped,
                      DWORD *retNumEntriesReturned, WORD *retSignalFlags)
{
    if (rethBuffer != nullptr)
        *rethBuffer = NULLHANDLE;
    if (retBufferLength != nullptr)
        *retBufferLength = 0;
    if (retNumEntriesSkipped != nullptr)
        *retNumEntriesSkipped = 0;
    if (retNumEntriesReturned != nullptr)
        *retNumEntriesReturned = 0;
    if (retSignalFlags != nullptr)
        *retSignalFlags = 0;
    Collection *c = vq::nsf::GetCollection(hCollection, "NIFReadEntries");
    if (c == nullptr)
        return ERR_INVALID_HANDLE;
    if (IndexPos == nullptr || rethBuffer == nullptr)
        return ERR_BAD_PARAM;
    STATUS s = vq::nsf::ValidateRead(SkipNavigator, ReturnNavigator, ReturnMask);
    if (s != NOERROR)
        return s;
    Database *db = vq::nsf::GetDatabase(c->hData, "NIFReadEntries");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    vq::nsf::Start start;
    if ((s = vq::nsf::DecodePosition(*db, *c, *IndexPos, &start)) != NOERROR)
        return s;
    DWORD want = (ReturnNavigator & 0x7F) == NAVIGATE_CURRENT ? 1 : ReturnCount;
    const vq::nsf::Found &found = c->found;
    if (!start.ordinal && !start.continued && (SkipNavigator & 0x7F) == NAVIGATE_CURRENT &&
        want > 0 && found.id == start.id && found.key == start.key && MarkHolds(*db, found.mark)) {
        /* the entry NIFFindByName just found, in a page of its own */
        const vq::nsf::Entry one{found.id, found.key};
        return vq::nsf::ReturnEntries(&one.id, 1, one, want > 1 && found.after, IndexPos, rethBuffer,
                                      retBufferLength, retNumEntriesSkipped, retNumEntriesReturned,
                                      retSignalFlags, 0);
    }
    vq::nsf::Cursor cur(*db, *c, start.key, start.id);
    vq::nsf::Candidate e;
    /* Entries to pass over before the first one returned: an ordinal
     * position n starts at the n-th entry, before-the-first needs one
     * NAVIGATE_NEXT step to reach the first. */
    DWORD skip = 0, skipped = 0;
    if ((SkipNavigator & 0x7F) == NAVIGATE_NEXT)
        skip = SkipCount;
    if (start.ordinal) {
        DWORD lead = start.index > 0 ? start.index - 1 : 0;
        if (start.index == 0 && skip > 0)
            --skip;
        for (DWORD i = 0; i < lead; ++i)
            if (!vq::nsf::NextEntry(*c, &cur, &e, &s))
                return s;
    }
    for (; skipped < skip; ++skipped)
        if (!vq::nsf::NextEntry(*c, &cur, &e, &s))
            break;
    if (s != NOERROR)
        return s;
    const DWORD page =
        start.continued ? vq::nsf::kMaxEntriesPerRead : vq::nsf::kFirstReadEntries;
    DWORD limit = want < page ? want : page;
    std::vector<NOTEID> ids;
    vq::nsf::Entry last;
    while (ids.size() < limit && vq::nsf::NextEntry(*c, &cur, &e, &s)) {
        ids.push_back(e.id);
        last.id = e.id;
        last.key.assign(e.key.data(), e.key.size());
    }
    if (s != NOERROR)
        return s;
    bool more = false;
    if (ids.size() == limit && want > limit) {
        more = vq::nsf::NextEntry(*c, &cur, &e, &s);
        if (s != NOERROR)
            return s;
    }
    return vq::nsf::ReturnEntries(ids.data(), ids.size(), last, more, IndexPos, rethBuffer, retBufferLength,
                                  retNumEntriesSkipped, retNumEntriesReturned, retSignalFlags,
                                  skipped);
}

STATUS NIFCloseCollection(HCOLLECTION hCollection)
{
    auto obj = vq::HandleRemove(hCollection, vqtest::HandleKind::Collection, "NIFCloseCollection");
    return obj ? NOERROR : ERR_INVALID_HANDLE;
}
