/*
 * nsf_note.cpp - notes of the stand-in: NSFNoteCreate, NSFNoteOpen,
 * NSFNoteClose, NSFNoteUpdate, NSFNoteDelete, NSFNoteGetInfo and
 * NSFNoteSetInfo.
 *
 * A note is read whole by one query (so a reader never sees half of a
 * concurrent update) and saved whole in one write transaction: its row,
 * all of its items and the database's modified time commit together or
 * not at all (an update writes only the items that changed). Note IDs are rowids that are never handed out twice.
 */
#include <cstring>
#include <memory>
#include <new>

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

/* How an item is stored besides its own fields: the first item of each
 * name carries its text for the view key index. */
struct ItemRow {
    std::string lname, ktext, lkey;
    bool keyed = false;
};

std::vector<ItemRow> ItemRows(const Note &note)
{
    std::vector<ItemRow> rows(note.items.size());
    std::vector<std::string> seen;
    for (size_t i = 0; i < note.items.size(); ++i) {
        const Item &it = note.items[i];
        ItemRow &r = rows[i];
        r.lname = Lower(it.name);
        bool first = true;
        for (const auto &n : seen)
            if (n == r.lname) {
                first = false;
                break;
            }
        if (first) {
            seen.push_back(r.lname);
            /* Values without a text form sort with the empty key. */
            if (!ItemText(it.type, it.value, &r.ktext))
                r.ktext.clear();
            r.lkey = Lower(r.ktext);
            r.keyed = true;
        }
    }
    return rows;
}

STATUS InsertItem(Database &db, NOTEID id, size_t seq, const Item &it, const ItemRow &r)
{
    StatementUse q(db.Stmt(Sql::ItemInsert));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, id);
    sqlite3_bind_int64(q.get(), 2, (sqlite3_int64)seq);
    sqlite3_bind_text(q.get(), 3, it.name.data(), (int)it.name.size(), SQLITE_STATIC);
    sqlite3_bind_text(q.get(), 4, r.lname.data(), (int)r.lname.size(), SQLITE_STATIC);
    sqlite3_bind_int(q.get(), 5, it.flags);
    sqlite3_bind_int(q.get(), 6, it.type);
    sqlite3_bind_blob64(q.get(), 7, it.value.data(), it.value.size(), SQLITE_STATIC);
    if (r.keyed) {
        sqlite3_bind_text(q.get(), 8, r.ktext.data(), (int)r.ktext.size(), SQLITE_STATIC);
        sqlite3_bind_text(q.get(), 9, r.lkey.data(), (int)r.lkey.size(), SQLITE_STATIC);
    }
    int rc = sqlite3_step(q.get());
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

/* Writes every item of the note (the old ones are already deleted). */
STATUS InsertItems(Database &db, NOTEID id, const Note &note)
{
    std::vector<ItemRow> rows = ItemRows(note);
    STATUS s = NOERROR;
    for (size_t i = 0; i < note.items.size() && s == NOERROR; ++i)
        s = InsertItem(db, id, i, note.items[i], rows[i]);
    return s;
}

/* Whether column col of a result row holds exactly Bytes (a NULL only
 * when Null). */
bool ColumnIs(sqlite3_stmt *q, int col, const std::string &bytes, bool null = false)
{
    if (sqlite3_column_type(q, col) == SQLITE_NULL)
        return null;
    const void *p = sqlite3_column_blob(q, col);
    const size_t n = (size_t)sqlite3_column_bytes(q, col);
    return !null && n == bytes.size() && (n == 0 || std::memcmp(p, bytes.data(), n) == 0);
}

/* Saves the items of a note that is stored already: a stored row equal to
 * the one its item would be written as stays, every other row goes and
 * the items that differ are written. A note whose other items change
 * keeps its attachments without writing them again. */
STATUS UpdateItems(Database &db, NOTEID id, const Note &note)
{
    const std::vector<ItemRow> rows = ItemRows(note);
    std::vector<bool> keep(rows.size(), false);
    std::vector<sqlite3_int64> drop;
    int rc = SQLITE_OK;
    {
        StatementUse use(db.Stmt(Sql::ItemsOfNote));
        sqlite3_stmt *q = use.get();
        if (q == nullptr)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        sqlite3_bind_int64(q, 1, id);
        while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
            const sqlite3_int64 seq = sqlite3_column_int64(q, 0);
            const bool same =
                seq >= 0 && (size_t)seq < rows.size() && !keep[(size_t)seq] &&
                ColumnIs(q, 1, note.items[(size_t)seq].name) &&
                sqlite3_column_int(q, 2) == note.items[(size_t)seq].flags &&
                sqlite3_column_int(q, 3) == note.items[(size_t)seq].type &&
                ColumnIs(q, 4, note.items[(size_t)seq].value) &&
                ColumnIs(q, 5, rows[(size_t)seq].ktext, !rows[(size_t)seq].keyed) &&
                ColumnIs(q, 6, rows[(size_t)seq].lkey, !rows[(size_t)seq].keyed);
            if (same)
                keep[(size_t)seq] = true;
            else
                drop.push_back(seq);
        }
    }
    if (rc == SQLITE_DONE)
        rc = SQLITE_OK;
    for (size_t i = 0; rc == SQLITE_OK && i < drop.size(); ++i) {
        StatementUse del(db.Stmt(Sql::ItemDelete));
        if (!del)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        sqlite3_bind_int64(del.get(), 1, id);
        sqlite3_bind_int64(del.get(), 2, drop[i]);
        rc = sqlite3_step(del.get()) == SQLITE_DONE ? SQLITE_OK : sqlite3_errcode(db.db);
    }
    if (rc != SQLITE_OK)
        return StatusFromSqlite(rc);
    STATUS s = NOERROR;
    for (size_t i = 0; i < rows.size() && s == NOERROR; ++i)
        if (!keep[i])
            s = InsertItem(db, id, i, note.items[i], rows[i]);
    return s;
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

/* Writes the note's row and items, stamped with the write's time (*when);
 * *newId is the note's ID afterwards. */
STATUS SaveNote(Database &db, const Note &note, TIMEDATE *when, NOTEID *newId)
{
    NOTEID id = note.id;
    TIMEDATE now;
    STATUS stamped = StampDbModified(db, (note.noteClass & NOTE_CLASS_DOCUMENT) != 0, &now);
    if (stamped != NOERROR)
        return stamped;
    *when = now;
    if (id == 0) {
        StatementUse q(db.Stmt(Sql::NoteInsert));
        if (!q)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        sqlite3_bind_int(q.get(), 1, note.noteClass);
        sqlite3_bind_int64(q.get(), 2, now.Innards[0]);
        sqlite3_bind_int64(q.get(), 3, now.Innards[1]);
        int rc = sqlite3_step(q.get());
        if (rc != SQLITE_DONE)
            return StatusFromSqlite(rc);
        id = (NOTEID)sqlite3_last_insert_rowid(db.db);
    } else {
        StatementUse q(db.Stmt(Sql::NoteUpdateRow));
        if (!q)
            return StatusFromSqlite(sqlite3_errcode(db.db));
        sqlite3_bind_int64(q.get(), 1, id);
        sqlite3_bind_int(q.get(), 2, note.noteClass);
        sqlite3_bind_int64(q.get(), 3, now.Innards[0]);
        sqlite3_bind_int64(q.get(), 4, now.Innards[1]);
        int rc = sqlite3_step(q.get());
        if (rc != SQLITE_DONE)
            return StatusFromSqlite(rc);
        /* Deleted meanwhile (by this or another process): saving would
         * bring back a note that someone removed on purpose. */
        if (sqlite3_changes(db.db) == 0)
            return ERR_NOTE_DELETED;
    }
    STATUS s = note.id == 0 ? InsertItems(db, id, note) : UpdateItems(db, id, note);
    if (s == NOERROR)
        *newId = id;
    return s;
}

}  // namespace

Note::~Note()
{
    for (Item &it : items)
        FreeBlock(it.block);
    for (DHANDLE h : retired)
        FreeBlock(h);
}

Note *GetNote(NOTEHANDLE hNote, const char *call)
{
    return HandleGetAs<Note>(hNote, vqtest::HandleKind::Note, call);
}

STATUS LoadNote(Database &db, NOTEID id, Note *note)
{
    if (id == 0)
        return ERR_INVALID_NOTE;
    StatementUse q(db.Stmt(Sql::NoteLoad));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, id);
    int rc = sqlite3_step(q.get());
    if (rc == SQLITE_DONE)
        return ERR_INVALID_NOTE;
    note->id = id;
    note->items.clear();
    for (; rc == SQLITE_ROW; rc = sqlite3_step(q.get())) {
        sqlite3_stmt *st = q.get();
        note->noteClass = (WORD)sqlite3_column_int(st, 0);
        note->modified.Innards[0] = (DWORD)sqlite3_column_int64(st, 1);
        note->modified.Innards[1] = (DWORD)sqlite3_column_int64(st, 2);
        if (sqlite3_column_type(st, 3) == SQLITE_NULL)
            continue; /* a note without items */
        Item it;
        const unsigned char *name = sqlite3_column_text(st, 3);
        it.name.assign((const char *)name, (size_t)sqlite3_column_bytes(st, 3));
        it.flags = (WORD)sqlite3_column_int(st, 4);
        it.type = (WORD)sqlite3_column_int(st, 5);
        const void *v = sqlite3_column_blob(st, 6);
        it.value.assign(v != nullptr ? (const char *)v : "", (size_t)sqlite3_column_bytes(st, 6));
        note->items.push_back(std::move(it));
    }
    if (rc != SQLITE_DONE)
        return StatusFromSqlite(rc);
    return NOERROR;
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
    NOTEHANDLE h = vq::HandleAdd(vqtest::HandleKind::Note, std::move(note));
    if (h == NULLHANDLE)
        return ERR_MEMORY;
    *rethNote = h;
    return NOERROR;
}

STATUS NSFNoteOpen(DBHANDLE hDB, NOTEID NoteID, WORD OpenFlags, NOTEHANDLE *rethNote)
{
    (void)OpenFlags; /* the whole note is always read */
    if (rethNote == nullptr)
        return ERR_BAD_PARAM;
    *rethNote = NULLHANDLE;
    Database *db = vq::nsf::GetDatabase(hDB, "NSFNoteOpen");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    auto note = std::make_unique<Note>();
    note->hDB = hDB;
    STATUS s;
    try {
        s = vq::nsf::LoadNote(*db, NoteID, note.get());
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
    TIMEDATE now;
    vq::nsf::WriteTxn txn(*db, (UpdateFlags & UPDATE_NOCOMMIT) == 0);
    NOTEID id = 0;
    STATUS s = txn.Begin();
    if (s == NOERROR)
        s = vq::nsf::SaveNote(*db, *note, &now, &id);
    if (s == NOERROR)
        s = txn.Commit();
    if (s != NOERROR)
        return s;
    /* Only a committed save changes the note in memory. */
    note->id = id;
    note->modified = now;
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
    WORD noteClass = NOTE_CLASS_DOCUMENT;
    STATUS s = txn.Begin();
    if (s == NOERROR) {
        vq::nsf::StatementUse q(db->Stmt(vq::nsf::Sql::NoteRow));
        if (!q)
            return vq::nsf::StatusFromSqlite(sqlite3_errcode(db->db));
        sqlite3_bind_int64(q.get(), 1, NoteID);
        int rc = sqlite3_step(q.get());
        if (rc == SQLITE_DONE)
            return ERR_INVALID_NOTE;
        if (rc != SQLITE_ROW)
            return vq::nsf::StatusFromSqlite(rc);
        noteClass = (WORD)sqlite3_column_int(q.get(), 0);
    }
    if (s == NOERROR)
        s = vq::nsf::StepById(*db, vq::nsf::Sql::ItemsDelete, NoteID, nullptr);
    if (s == NOERROR)
        s = vq::nsf::StepById(*db, vq::nsf::Sql::NoteDeleteRow, NoteID, &changed);
    if (s == NOERROR && changed == 0)
        s = ERR_INVALID_NOTE;
    if (s == NOERROR)
        s = vq::nsf::StampDbModified(*db, (noteClass & NOTE_CLASS_DOCUMENT) != 0, &now);
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
