/*
 * nsf_note.cpp - notes of the stand-in: NSFNoteCreate, NSFNoteOpen,
 * NSFNoteClose, NSFNoteUpdate, NSFNoteDelete, NSFNoteGetInfo and
 * NSFNoteSetInfo.
 *
 * A note is read in one snapshot (so a reader never sees half of a
 * concurrent update) and saved whole in one write transaction: its row
 * with the record of its items, its long values, its keys and the
 * database's modified time commit together or not at all. A long value
 * read from the store and unchanged is not written again (an attachment
 * stays where it is when other items change). Note IDs are rowids that
 * are never handed out twice.
 */
#include <cstring>
#include <memory>
#include <new>
#include <random>

#include "nsf_internal.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace vq {
namespace nsf {

namespace {

/* Frees a value block; one the caller left locked is unlocked first, so
 * that the note's memory is released whatever the caller did (the free
 * reports the misuse once). */
void FreeBlock(DHANDLE h)
{
    if (h == NULLHANDLE)
        return;
    if (OSMemFree(h) == ERR_LOCKED) {
        for (int i = 0; i < 1024; ++i)
            OSUnlockObject(h);
        OSMemFree(h);
    }
}

/* A new revision mark: random, so that a note in memory read at one
 * revision never takes another save's for its own. */
int64_t NewRev()
{
    static std::mt19937_64 gen{[] {
        std::random_device rd;
        return ((uint64_t)rd() << 32) ^ rd();
    }()};
    return (int64_t)(gen() >> 1) | 1;
}

/* Runs a one-row statement bound to a note id; *changed gets the rows hit. */
STATUS StepById(Database &db, Sql which, NOTEID id, int *changed)
{
    StatementUse q(db.Stmt(which));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, id);
    int rc = sqlite3_step(q.get());
    if (rc != SQLITE_DONE)
        return StatusFromSqlite(rc);
    if (changed != nullptr)
        *changed = sqlite3_changes(db.db);
    return NOERROR;
}

/* What a save reads of the stored note it replaces. */
struct OldRow {
    OldRow() = default;
    OldRow(const OldRow &) = delete; /* items point into record */
    OldRow &operator=(const OldRow &) = delete;
    bool exists = false;
    WORD noteClass = 0;
    int64_t rev = 0;
    std::string record;
    std::vector<StoredItem> items; /* record, decoded once */
};

STATUS ReadOldRow(Database &db, NOTEID id, OldRow *old)
{
    RowMemo &m = db.rowMemo;
    if (m.id == id && MarkHolds(db, m.mark)) {
        /* read in this group, and nothing written since: the save about
         * to be made changes it, so the memo gives its record away */
        old->exists = true;
        old->noteClass = m.noteClass;
        old->rev = m.rev;
        const std::string_view was = m.record;
        old->record = std::move(m.record);
        m.id = 0;
        if (!m.decoded)
            return DecodeRecord(old->record, &old->items) ? NOERROR : ERR_DB_CORRUPT;
        /* the load's items, pointed at where the record is now (a short
         * record moves with its string) */
        old->items = std::move(m.items);
        m.decoded = false;
        const uintptr_t from = (uintptr_t)was.data(), end = from + was.size();
        const auto moved = [from, end, old](std::string_view v) {
            const uintptr_t at = (uintptr_t)v.data();
            return at >= from && at <= end ? std::string_view(old->record.data() + (at - from), v.size()) : v;
        };
        for (StoredItem &it : old->items) {
            it.name = moved(it.name);
            it.value = moved(it.value);
        }
        return NOERROR;
    }
    StatementUse q(db.Stmt(Sql::NoteRow));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, id);
    const int rc = sqlite3_step(q.get());
    if (rc == SQLITE_DONE)
        return NOERROR;
    if (rc != SQLITE_ROW)
        return StatusFromSqlite(rc);
    old->exists = true;
    old->noteClass = (WORD)sqlite3_column_int(q.get(), 0);
    old->rev = sqlite3_column_int64(q.get(), 1);
    old->record = std::string(RecordColumn(q.get(), 2));
    return DecodeRecord(old->record, &old->items) ? NOERROR : ERR_DB_CORRUPT;
}

/* Chooses where each long value of the note goes: the slot it is stored
 * under already when the note was read at the stored revision and the
 * value is unchanged, else a new slot. Writes the new values and deletes
 * the stored ones no item keeps. */
STATUS WriteValues(Database &db, NOTEID id, const Note &note, const OldRow &old,
                   std::vector<DWORD> *slots)
{
    slots->assign(note.items.size(), 0);
    std::vector<DWORD> oldSlots; /* slot of each stored value, 0 once kept */
    DWORD next = 1;
    for (const StoredItem &it : old.items)
        if (it.slot != 0) {
            oldSlots.push_back(it.slot);
            if (it.slot >= next)
                next = it.slot + 1;
        }
    const bool sameRev = old.exists && old.rev == note.rev;
    size_t fresh = 0;
    for (size_t i = 0; i < note.items.size(); ++i) {
        const Item &it = note.items[i];
        if (it.value.size() <= kInlineMax)
            continue;
        for (DWORD &o : oldSlots)
            if (sameRev && it.slot != 0 && o == it.slot) {
                (*slots)[i] = o;
                o = 0;
                break;
            }
        fresh += (*slots)[i] == 0;
    }
    STATUS s = NOERROR;
    if (next + fresh > kSlotMax) {
        /* slots used up: every long value is written anew from slot 1 */
        s = DropValues(db, id, 0);
        slots->assign(note.items.size(), 0);
        next = 1;
    } else {
        for (size_t i = 0; s == NOERROR && i < oldSlots.size(); ++i)
            if (oldSlots[i] != 0)
                s = DropValues(db, id, oldSlots[i]);
    }
    for (size_t i = 0; s == NOERROR && i < note.items.size(); ++i)
        if (note.items[i].value.size() > kInlineMax && (*slots)[i] == 0) {
            (*slots)[i] = next++;
            s = PutValue(db, id, (*slots)[i], note.items[i].value);
        }
    return s;
}

/* Writes the note's row, long values and keys, stamped with the write's
 * time (*when); *newId is the note's ID afterwards, *rev its revision and
 * slots where its long values went. */
STATUS SaveNote(Database &db, const Note &note, TIMEDATE *when, NOTEID *newId, int64_t *rev,
                std::vector<DWORD> *slots)
{
    NOTEID id = note.id;
    TIMEDATE now;
    STATUS stamped = StampDbModified(db, (note.noteClass & NOTE_CLASS_DOCUMENT) != 0, &now);
    if (stamped != NOERROR)
        return stamped;
    *when = now;
    *rev = NewRev();
    OldRow old;
    STATUS s = NOERROR;
    if (id == 0) {
        /* a new note's long values go to slots 1, 2, ...: its ID comes first */
        *slots = NewSlots(note.items);
        if ((s = NewNoteId(db, &id)) != NOERROR)
            return s;
        const std::string record = EncodeRecord(note.items, *slots);
        StatementUse q(db.Stmt(Sql::NoteInsert));
        if (!q)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        sqlite3_bind_int(q.get(), 1, note.noteClass);
        sqlite3_bind_int64(q.get(), 2, now.Innards[0]);
        sqlite3_bind_int64(q.get(), 3, now.Innards[1]);
        sqlite3_bind_int64(q.get(), 4, *rev);
        sqlite3_bind_blob64(q.get(), 5, record.data(), record.size(), SQLITE_STATIC);
        sqlite3_bind_int64(q.get(), 6, id);
        int rc = sqlite3_step(q.get());
        if (rc != SQLITE_DONE)
            return StatusFromSqlite(rc);
        for (size_t i = 0; s == NOERROR && i < note.items.size(); ++i)
            if ((*slots)[i] != 0)
                s = PutValue(db, id, (*slots)[i], note.items[i].value);
    } else {
        if ((s = ReadOldRow(db, id, &old)) != NOERROR)
            return s;
        /* Deleted meanwhile (by this or another process): saving would
         * bring back a note that someone removed on purpose. */
        if (!old.exists)
            return ERR_NOTE_DELETED;
        if ((s = WriteValues(db, id, note, old, slots)) != NOERROR)
            return s;
        const std::string record = EncodeRecord(note.items, *slots);
        StatementUse q(db.Stmt(Sql::NoteUpdateRow));
        if (!q)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        sqlite3_bind_int64(q.get(), 1, id);
        sqlite3_bind_int(q.get(), 2, note.noteClass);
        sqlite3_bind_int64(q.get(), 3, now.Innards[0]);
        sqlite3_bind_int64(q.get(), 4, now.Innards[1]);
        sqlite3_bind_int64(q.get(), 5, *rev);
        sqlite3_bind_blob64(q.get(), 6, record.data(), record.size(), SQLITE_STATIC);
        int rc = sqlite3_step(q.get());
        if (rc != SQLITE_DONE)
            return StatusFromSqlite(rc);
    }
    if (s == NOERROR)
        s = UpdateKeys(db, id, old.exists ? &old.items : nullptr, &note.items);
    if (s == NOERROR)
        *newId = id;
    return s;
}

}  // namespace

/* The item storage of the last note closed on this thread, for the next
 * note made or read: a long import makes or opens one note per line. */
static thread_local std::vector<Item> t_spareItems;

/* Gives a note without item storage the spare one, if there is one. */
static void TakeSpareItems(Note *note)
{
    if (note->items.capacity() == 0 && t_spareItems.capacity() != 0)
        note->items.swap(t_spareItems);
}

Note::~Note()
{
    for (Item &it : items)
        FreeBlock(it.block);
    for (DHANDLE h : retired)
        FreeBlock(h);
    /* a document's usual storage is kept; a note of very many items is not */
    if (items.capacity() >= 16 && items.capacity() <= 64 && t_spareItems.capacity() == 0) {
        items.clear();
        items.swap(t_spareItems);
    }
}

Note *GetNote(NOTEHANDLE hNote, const char *call)
{
    return HandleGetAs<Note>(hNote, vqtest::HandleKind::Note, call);
}

/* Is name one of only, without regard to case. */
static bool Wanted(std::string_view name, const std::vector<std::string_view> &only)
{
    for (std::string_view w : only)
        if (EqualNoCase(w, name))
            return true;
    return false;
}

/* Fills a note's items from its record, and its long values from
 * vq_values (in the caller's snapshot: a load reads them while its row's
 * statement is still open). With only, an item whose value is kept apart
 * is left out unless only names it. */
static STATUS LoadItems(Database &db, NOTEID id, const std::vector<StoredItem> &stored, Note *note,
                        const std::vector<std::string_view> *only)
{
    note->items.clear();
    note->names = Note::Names::Unknown;
    note->nextSet = 0;
    note->partial = false;
    TakeSpareItems(note);
    note->items.reserve(stored.size());
    std::vector<std::pair<const StoredItem *, size_t>> apart; /* and the item it fills */
    for (const StoredItem &si : stored) {
        if (si.slot != 0 && only != nullptr && !Wanted(si.name, *only)) {
            note->partial = true;
            continue;
        }
        if (si.slot != 0)
            apart.emplace_back(&si, note->items.size());
        Item &it = note->items.emplace_back();
        it.name.append(si.name.data(), si.name.size());
        it.flags = si.flags;
        it.type = si.type;
        it.slot = si.slot;
        if (si.slot == 0)
            it.value.append(si.value.data(), si.value.size());
    }
    if (apart.empty())
        return NOERROR;
    StatementUse v(db.Stmt(Sql::ValuesOfNote));
    if (!v)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(v.get(), 1, ValueId(id, 0));
    sqlite3_bind_int64(v.get(), 2, ValueId(id, kSlotMax));
    size_t found = 0;
    int rc;
    while ((rc = sqlite3_step(v.get())) == SQLITE_ROW) {
        const DWORD slot = (DWORD)sqlite3_column_int64(v.get(), 0);
        const std::string_view value = RecordColumn(v.get(), 1);
        for (const auto &[si, at] : apart)
            if (si->slot == slot && si->size == value.size()) {
                note->items[at].value.assign(value.data(), value.size());
                ++found;
            }
    }
    if (rc != SQLITE_DONE)
        return StatusFromSqlite(rc);
    return found == apart.size() ? NOERROR : ERR_DB_CORRUPT;
}

static STATUS LoadNoteItems(Database &db, NOTEID id, Note *note,
                            const std::vector<std::string_view> *only)
{
    if (id == 0)
        return ERR_INVALID_NOTE;
    RowMemo &m = db.rowMemo;
    if (m.id == id && MarkHolds(db, m.mark)) {
        note->id = id;
        note->noteClass = m.noteClass;
        note->modified = m.modified;
        note->rev = m.rev;
        if (!m.decoded && !(m.decoded = DecodeRecord(m.record, &m.items)))
            return ERR_DB_CORRUPT;
        return LoadItems(db, id, m.items, note, only);
    }
    StatementUse q(db.Stmt(Sql::NoteLoad));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, id);
    int rc = sqlite3_step(q.get());
    if (rc == SQLITE_DONE)
        return ERR_INVALID_NOTE;
    if (rc != SQLITE_ROW)
        return StatusFromSqlite(rc);
    sqlite3_stmt *st = q.get();
    note->id = id;
    note->noteClass = (WORD)sqlite3_column_int(st, 0);
    note->modified.Innards[0] = (DWORD)sqlite3_column_int64(st, 1);
    note->modified.Innards[1] = (DWORD)sqlite3_column_int64(st, 2);
    note->rev = sqlite3_column_int64(st, 3);
    const std::string_view record = RecordColumn(st, 4);
    /* in a group, the save that usually follows need not read it again */
    KeepRow(db, id, note->noteClass, note->modified, note->rev, record);
    std::vector<StoredItem> stored;
    if (!DecodeRecord(record, &stored))
        return ERR_DB_CORRUPT;
    return LoadItems(db, id, stored, note, only);
}

STATUS LoadNote(Database &db, NOTEID id, Note *note)
{
    return LoadNoteItems(db, id, note, nullptr);
}

}  // namespace nsf
}  // namespace vq

using vq::nsf::Database;
using vq::nsf::Note;

STATUS NSFNoteCreate(DBHANDLE hDB, NOTEHANDLE *rethNote)
{
    if (rethNote == nullptr)
        return ERR_BAD_PARAM;
    *rethNote = NULLHANDLE;
    if (vq::nsf::GetDatabase(hDB, "NSFNoteCreate") == nullptr)
        return ERR_INVALID_HANDLE;
    auto note = std::make_unique<Note>();
    note->hDB = hDB;
    TakeSpareItems(note.get());
    note->items.reserve(16); /* a document's usual items, without growing */
    note->names = Note::Names::Distinct;
    NOTEHANDLE h = vq::HandleAdd(vqtest::HandleKind::Note, std::move(note));
    if (h == NULLHANDLE)
        return ERR_MEMORY;
    *rethNote = h;
    return NOERROR;
}

namespace {

STATUS OpenNote(DBHANDLE hDB, NOTEID NoteID, const std::vector<std::string_view> *only,
                NOTEHANDLE *rethNote, const char *call)
{
    if (rethNote == nullptr)
        return ERR_BAD_PARAM;
    *rethNote = NULLHANDLE;
    Database *db = vq::nsf::GetDatabase(hDB, call);
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    auto note = std::make_unique<Note>();
    note->hDB = hDB;
    STATUS s;
    try {
        s = vq::nsf::LoadNoteItems(*db, NoteID, note.get(), only);
    } catch (const std::bad_alloc &) {
        s = ERR_MEMORY; /* a note too large for this process */
    }
    if (s != NOERROR)
        return s;
    NOTEHANDLE h = vq::HandleAdd(vqtest::HandleKind::Note, std::move(note));
    if (h == NULLHANDLE)
        return ERR_MEMORY;
    *rethNote = h;
    return NOERROR;
}

}  // namespace

STATUS vq::nsf::OpenNoteItems(DBHANDLE hDB, NOTEID id, const std::vector<std::string_view> &only,
                              NOTEHANDLE *rethNote)
{
    return OpenNote(hDB, id, &only, rethNote, "OpenNoteItems");
}

STATUS NSFNoteOpen(DBHANDLE hDB, NOTEID NoteID, WORD OpenFlags, NOTEHANDLE *rethNote)
{
    (void)OpenFlags; /* the whole note is always read */
    return OpenNote(hDB, NoteID, nullptr, rethNote, "NSFNoteOpen");
}

STATUS NSFNoteClose(NOTEHANDLE hNote)
{
    auto obj = vq::HandleRemove(hNote, vqtest::HandleKind::Note, "NSFNoteClose");
    return obj ? NOERROR : ERR_INVALID_HANDLE;
}

STATUS NSFNoteUpdate(NOTEHANDLE hNote, WORD UpdateFlags)
{
    Note *note = vq::nsf::GetNote(hNote, "NSFNoteUpdate");
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    Database *db = vq::nsf::GetDatabase(note->hDB, "NSFNoteUpdate");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (note->partial)
        return ERR_BAD_PARAM; /* saving it would drop the values left out */
    TIMEDATE now;
    vq::nsf::WriteTxn txn(*db, (UpdateFlags & UPDATE_NOCOMMIT) == 0);
    NOTEID id = 0;
    int64_t rev = 0;
    std::vector<DWORD> slots;
    STATUS s = txn.Begin();
    if (s == NOERROR)
        s = vq::nsf::SaveNote(*db, *note, &now, &id, &rev, &slots);
    if (s == NOERROR)
        s = txn.Commit();
    if (s != NOERROR)
        return s;
    /* Only a committed save changes the note in memory. */
    note->id = id;
    note->modified = now;
    note->rev = rev;
    for (size_t i = 0; i < note->items.size() && i < slots.size(); ++i)
        note->items[i].slot = slots[i];
    return NOERROR;
}

STATUS NSFNoteDelete(DBHANDLE hDB, NOTEID NoteID, WORD UpdateFlags)
{
    /* No deletion stubs are kept, with or without UPDATE_NOSTUB. */
    Database *db = vq::nsf::GetDatabase(hDB, "NSFNoteDelete");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (NoteID == 0)
        return ERR_INVALID_NOTE;
    TIMEDATE now;
    vq::nsf::WriteTxn txn(*db, (UpdateFlags & UPDATE_NOCOMMIT) == 0);
    int changed = 0;
    vq::nsf::OldRow old;
    STATUS s = txn.Begin();
    if (s == NOERROR && (s = vq::nsf::ReadOldRow(*db, NoteID, &old)) == NOERROR && !old.exists)
        return ERR_INVALID_NOTE;
    if (s == NOERROR)
        s = vq::nsf::UpdateKeys(*db, NoteID, &old.items, nullptr);
    if (s == NOERROR)
        s = vq::nsf::DropValues(*db, NoteID, 0);
    if (s == NOERROR)
        s = vq::nsf::StepById(*db, vq::nsf::Sql::NoteDeleteRow, NoteID, &changed);
    if (s == NOERROR && changed == 0)
        s = ERR_INVALID_NOTE;
    if (s == NOERROR)
        s = vq::nsf::StampDbModified(*db, (old.noteClass & NOTE_CLASS_DOCUMENT) != 0, &now);
    if (s == NOERROR)
        s = txn.Commit();
    return s;
}

void NSFNoteGetInfo(NOTEHANDLE hNote, WORD Type, void *retValue)
{
    Note *note = vq::nsf::GetNote(hNote, "NSFNoteGetInfo");
    if (note == nullptr || retValue == nullptr)
        return;
    switch (Type) {
    case _NOTE_DB: std::memcpy(retValue, &note->hDB, sizeof(DBHANDLE)); break;
    case _NOTE_ID: std::memcpy(retValue, &note->id, sizeof(NOTEID)); break;
    case _NOTE_CLASS: std::memcpy(retValue, &note->noteClass, sizeof(WORD)); break;
    case _NOTE_MODIFIED:
    case _NOTE_ACCESSED: std::memcpy(retValue, &note->modified, sizeof(TIMEDATE)); break;
    case _NOTE_FLAGS: {
        WORD flags = 0;
        std::memcpy(retValue, &flags, sizeof flags);
        break;
    }
    case _NOTE_OID: {
        ORIGINATORID oid;
        std::memset(&oid, 0, sizeof oid);
        oid.Note = note->modified;
        oid.Sequence = 1;
        oid.SequenceTime = note->modified;
        std::memcpy(retValue, &oid, sizeof oid);
        break;
    }
    default: break;
    }
}

void NSFNoteSetInfo(NOTEHANDLE hNote, WORD Type, const void *Value)
{
    Note *note = vq::nsf::GetNote(hNote, "NSFNoteSetInfo");
    if (note == nullptr || Value == nullptr)
        return;
    if (Type == _NOTE_CLASS)
        std::memcpy(&note->noteClass, Value, sizeof(WORD));
}
