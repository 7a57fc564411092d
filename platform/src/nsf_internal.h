/*
 * nsf_internal.h - what the database files of the stand-in share: the
 * SQLite schema, RAII guards over connections and statements, the open
 * database and note objects behind their handles, write transactions that
 * pass the fault seam, item value encodings and the compiled formula.
 *
 * On disk a database is one SQLite file in WAL mode:
 *   vq_meta  (key, value)                 format mark, title, modified times,
 *                                          uid (random, set at creation) and
 *                                          changes (commits so far)
 *   vq_notes (id, class, mod0, mod1, rev, items)
 *                                          one row per note; ids never reused;
 *                                          items: the note's record (below);
 *                                          rev: random, new at every save
 *   vq_values (id, value)                  values too long to keep in the
 *                                          record, id = note << 24 | slot
 *   vq_keys (lname, lkey, note, ktext, has) the text of the first item of a
 *                                          name (lkey lower-cased), for the
 *                                          names in vq_keynames only
 *   vq_keynames (lname, whole)             names that views sort by (whole:
 *                                          every note has a key row, "" when
 *                                          it lacks the item) or that lookups
 *                                          find notes by
 * An item's value is stored without its type word. A note is one row, and
 * only the names that something looks notes up by are indexed, so a save
 * writes one record and a few keys instead of a row per item.
 */
#ifndef VQ_NSF_INTERNAL_H
#define VQ_NSF_INTERNAL_H

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "handles.h"
#include "nsf_stamp.h"
#include "vq_global.h"
#include "vq_textlist.h"

namespace vq {
namespace nsf {

/* Written into vq_meta at creation; an open refuses files without it. */
constexpr const char *kFormatMark = "vortiq-nsf 4";
/* The marks of earlier formats, converted at open: a row per item,
 * records whose numbers had fixed widths, and note IDs that SQLite gave
 * out (AUTOINCREMENT: a second table row written with every new note). */
constexpr const char *kFormatMarkV1 = "vortiq-nsf 1";
constexpr const char *kFormatMarkV2 = "vortiq-nsf 2";
constexpr const char *kFormatMarkV3 = "vortiq-nsf 3";
/* vq_notes as it is now; IDs are given out from vq_meta's "noteid", the
 * highest ever given, so that a deleted note's ID is never used again. */
#define VQ_NSF_NOTES_TABLE(name)                                                            \
    "CREATE TABLE " name "(id INTEGER PRIMARY KEY,"                                         \
    " class INTEGER NOT NULL, mod0 INTEGER NOT NULL, mod1 INTEGER NOT NULL,"                \
    " rev INTEGER NOT NULL DEFAULT 0, items BLOB NOT NULL DEFAULT x'');"
/* The tables besides vq_meta and vq_notes, and the name every database
 * indexes from the start (design notes are found by title). */
#define VQ_NSF_SCHEMA_V2_TABLES                                                              \
    "CREATE TABLE vq_values(id INTEGER PRIMARY KEY, value BLOB NOT NULL);"                  \
    "CREATE TABLE vq_keys(lname TEXT NOT NULL, lkey TEXT NOT NULL, note INTEGER NOT NULL,"  \
    " ktext TEXT NOT NULL, has INTEGER NOT NULL, PRIMARY KEY(lname, lkey, note))"           \
    " WITHOUT ROWID;"                                                                       \
    "CREATE TABLE vq_keynames(lname TEXT PRIMARY KEY, whole INTEGER NOT NULL) WITHOUT ROWID;" \
    "INSERT INTO vq_keynames(lname, whole) VALUES('$title', 0);"
/* Several processes share a database; a writer waits this long for another
 * writer's transaction before the call reports ERR_DB_BUSY. */
constexpr int kBusyTimeoutMs = 10000;

/* ---- SQLite guards ---- */

/* Owns a prepared statement (finalized at destruction). */
class Statement {
public:
    Statement() = default;
    explicit Statement(sqlite3_stmt *s) : stmt_(s) {}
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    Statement(Statement &&o) noexcept : stmt_(o.stmt_) { o.stmt_ = nullptr; }
    Statement &operator=(Statement &&o) noexcept
    {
        if (this != &o) {
            sqlite3_finalize(stmt_);
            stmt_ = o.stmt_;
            o.stmt_ = nullptr;
        }
        return *this;
    }
    sqlite3_stmt *get() const { return stmt_; }

private:
    sqlite3_stmt *stmt_ = nullptr;
};

/* Borrows a cached statement for one use: resets it and drops its
 * bindings when the use ends, so the next user starts clean. */
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt *s) : stmt_(s) {}
    ~StatementUse()
    {
        if (stmt_ != nullptr) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    StatementUse(const StatementUse &) = delete;
    StatementUse &operator=(const StatementUse &) = delete;
    sqlite3_stmt *get() const { return stmt_; }
    explicit operator bool() const { return stmt_ != nullptr; }

private:
    sqlite3_stmt *stmt_;
};

/* The statements every open database keeps prepared (see nsf_db.cpp). */
enum class Sql {
    NoteLoad,
    NoteRow,
    NoteInsert,
    NoteLastId,
    NoteUpdateRow,
    NoteDeleteRow,
    ValuesOfNote,
    ValueInsert,
    ValuesDelete,
    ValueDelete,
    ValueGet,
    MetaGet,
    MetaSet,
    MetaStamp,
    DesignFind,
    ViewFrom,
    ViewFromKey,
    ViewKey,
    SearchIds,
    SearchRow,
    CountChange,
    ItemFind,
    KeyInsert,
    KeyInsertMany,
    KeyDelete,
    KeyNames,
    KeyNameSet,
    KeyNameDrop,
    NotesAll,
    DataVersion,
    Count
};

/* Where a connection stood when something was read: the group commit
 * then open (by its number) and the rows the connection had changed. In
 * an open group no other connection can write the file, so what was read
 * is still what is stored while the group is the same and no row changed:
 * the next call may use it instead of reading it again. */
struct GroupMark {
    int64_t group = 0; /* 0: not in a group (never holds) */
    int64_t changes = 0;
};

/* An item as a note's record holds it (see "a note's record" below). */
struct StoredItem {
    std::string_view name;
    WORD flags = 0, type = 0;
    DWORD slot = 0;         /* 0: the value is in the record */
    std::string_view value; /* in the record (slot 0) */
    DWORD size = 0;         /* the value's length */
};

/* A note's row as a group read it (a view lookup or a load), for the next
 * load or save of that note in the same group (see GroupMark). */
struct RowMemo {
    GroupMark mark;
    NOTEID id = 0;
    WORD noteClass = 0;
    TIMEDATE modified = {{0, 0}};
    int64_t rev = 0;
    std::string record;
    /* record decoded by the load (views into record), for the save */
    bool decoded = false;
    std::vector<StoredItem> items;
};

/* A key row of a note saved in a group, written with the next statement
 * that reads or deletes key rows or at the group's commit, several rows
 * to one statement (see FlushPendingKeys). */
struct PendingKey {
    std::string lname, lkey, ktext;
    NOTEID note = 0;
    bool has = false;
};
/* The rows one KeyInsertMany writes. */
constexpr size_t kKeyRowsPerInsert = 32;

/* An open database: one SQLite connection with its statement cache. */
struct Database : HandleObject {
    ~Database() override;
    /* The cached statement, prepared at its first use; nullptr (and the
     * SQLite error kept in the connection) when it cannot be prepared. */
    sqlite3_stmt *Stmt(Sql which);

    sqlite3 *db = nullptr;
    std::string path;
    sqlite3_stmt *cache[static_cast<int>(Sql::Count)] = {};
    /* A search holds a read transaction open over its notes (see
     * nsf_search.cpp); a write on the connection ends it first. */
    bool searchRead = false;
    /* Open group commits (VqDbBeginBatch): while above 0 the connection
     * holds one write transaction that each write joins (see
     * groupBroken), and only the outermost VqDbCommitBatch commits and
     * flushes. */
    int batch = 0;
    /* The indexed names (vq_keynames: lower-cased name, whole), as read
     * when the file's data version was keysVersion; keysLoaded false when
     * they must be read again (a write rolled back). */
    std::vector<std::pair<std::string, bool>> keyNames;
    int64_t keysVersion = -1;
    bool keysLoaded = false;
    /* In a group: the commits counted and the modified times (non-data,
     * data; 0: none) of its writes so far, and of the write under way,
     * stored into vq_meta once, at the group's commit or before they are
     * read (FlushGroupMeta). */
    int64_t uid = 0; /* the file's uid once read (0: not yet) */
    /* A write in the group failed after it had changed rows (with this
     * status): every later write fails as busy (to be done again, like a
     * file locked too long), and the group's commit fails with this status
     * and rolls it back whole (a savepoint per write cost as much as the
     * write itself). */
    STATUS groupBroken = NOERROR;
    /* The number of the open group (0: none), the last one given out, and
     * the last note row read in it. */
    int64_t group = 0;
    int64_t groupsOpened = 0;
    RowMemo rowMemo;
    int64_t groupChanges = 0;
    /* the highest note ID given out in the group (0: not read yet) */
    int64_t groupNoteId = 0;
    int64_t groupStamp[2] = {0, 0};
    int64_t txnStamp[2] = {0, 0};
    /* Key rows of the group's saves not yet written: a statement costs
     * about as much again as the row it writes, so they are written
     * together before anything reads or deletes key rows (Stmt) and
     * before the group commits. */
    std::vector<PendingKey> pendingKeys;
};

/* The connection's group and changes now; does a mark still hold? */
GroupMark MarkNow(const Database &db);
/* The number of a group being opened. */
int64_t NewGroupNumber();
bool MarkHolds(const Database &db, const GroupMark &mark);
/* Keeps a note's row read in a group as db.rowMemo (nothing outside one). */
void KeepRow(Database &db, NOTEID id, WORD noteClass, const TIMEDATE &modified, int64_t rev,
             std::string_view record);

/* Commits made by this process so far, on any connection. */
uint64_t ProcessCommits();
void CountProcessCommit();

/* The live database behind a handle, or nullptr (reported as a misuse).
 * While another handle of this process holds a group commit on the same
 * file (VqDbBeginBatch), that handle's connection: two connections of one
 * process writing one file would wait for each other. */
Database *GetDatabase(DBHANDLE hDB, const char *call);
/* The same without a misuse report (nullptr for a dead handle). */
Database *PeekDatabase(DBHANDLE hDB);
/* How many group commits are open on the connection a handle writes
 * through (0: each write commits). */
int BatchDepth(DBHANDLE hDB);
/* The type and value of a note's first item of that name (lower-case),
 * read alone (not the whole note); type 0 and "" when it is missing. */
STATUS FirstItemValue(DBHANDLE hDB, NOTEID id, const std::string &lname, WORD *type,
                      std::string *value);
/* Its text ("" when missing or no text). */
STATUS FirstItemText(DBHANDLE hDB, NOTEID id, const std::string &lname, std::string *text);

/* Full path of a database name (below the data directory unless it is
 * absolute); ERR_PATH_TOO_LONG when it cannot be one. */
STATUS ResolvePath(const char *name, std::string *full);

/* The name of the SQLite file layer that gathers a WAL's writes
 * (nsf_wal_vfs.cpp); nullptr when it could not be set up (the system's). */
const char *GatheringVfs();

/* Maps a SQLite result code to a platform status. */
STATUS StatusFromSqlite(int rc);

/* Steps a bound lookup whose first column is a note id: the first row's
 * id into *retNoteID (may be null), ERR_NOT_FOUND when no row answers. */
STATUS FirstNoteId(const StatementUse &q, NOTEID *retNoteID);

/* A write transaction: BEGIN IMMEDIATE (waits for other writers up to the
 * busy timeout), rolled back at destruction unless committed. The commit
 * passes the fault seam ("commit"). A transaction that is not durable
 * commits without waiting for the disk (UPDATE_NOCOMMIT). Inside a group
 * commit it writes into the group's transaction, durable with the group's
 * commit; one that fails after it wrote breaks the group (see
 * Database::groupBroken), so nothing half-written is ever committed. */
class WriteTxn {
public:
    WriteTxn(Database &db, bool durable) : db_(db), durable_(durable) {}
    /* counted false: a write of the store's own (an index built), which
     * neither counts as a change nor passes the fault seam */
    WriteTxn(Database &db, bool durable, bool counted)
        : db_(db), durable_(durable), counted_(counted)
    {
    }
    ~WriteTxn();
    WriteTxn(const WriteTxn &) = delete;
    WriteTxn &operator=(const WriteTxn &) = delete;
    STATUS Begin();
    STATUS Commit();

private:
    void Rollback();
    Database &db_;
    bool durable_;
    bool counted_ = true;
    bool open_ = false;
    int64_t changes0_ = 0; /* rows changed on the connection at Begin */
};

/* Runs one statement without results (schema, pragmas). */
int ExecSql(sqlite3 *db, const char *sql);

/* Sets *t to now and keeps it as the database's data or non-data modified
 * time (vq_meta); inside a write transaction, so the time is taken once
 * the write lock is held. Never earlier than the time kept before: a
 * writer that waited, or a clock set back, does not move it backwards. */
STATUS StampDbModified(Database &db, bool data, TIMEDATE *t);

/* The first column of the first row of a cached statement without
 * parameters (an error when it has no row). */
STATUS QueryInt(Database &db, Sql which, int64_t *value);

/* The ID of a note about to be inserted: one above the highest ever given
 * out, kept in vq_meta ("noteid"); in a write transaction. A group reads
 * the highest once and stores it at its commit. */
STATUS NewNoteId(Database &db, NOTEID *id);

/* Stores a group's counted commits, highest note ID and modified times
 * (see Database). */
STATUS FlushGroupMeta(Database &db);

/* DbStamp, ReadStamp and KnownStamp: nsf_stamp.h. */

/* The stamp last read of the file at path (st: its stat now) if no commit
 * was made to it since (nsf_change_watch.cpp); *header gets the change
 * mark read now ("" when there is none) for KeepStamp. */
bool StampUnchanged(const std::string &path, const struct stat &st, DbStamp *stamp,
                    std::string *header);
/* Keeps a stamp just read with the change mark read before it. */
void KeepStamp(const DbStamp &stamp, const std::string &header);
/* The stamp of the file at path while this thread holds stamps
 * (VqDbHoldStamps) and found it unchanged, with no local commit since. */
bool HeldStamp(const std::string &path, DbStamp *stamp);
/* Called before this process commits a write to any database. */
void CountLocalCommit();

/* ---- notes and items ---- */

/* An item's value. Copies of a long value share its bytes: a message
 * copied into a note for each of its destinations holds its attachment
 * once, instead of once per copy. A shared value is never changed in
 * place: the holder that changes it gets bytes of its own, so the others
 * keep theirs. Short values are plain strings, copied as before. */
class Value {
public:
    Value() = default;
    Value(std::string &&s) { *this = std::move(s); }
    size_t size() const { return long_ ? long_->size() : short_.size(); }
    bool empty() const { return size() == 0; }
    const char *data() const { return long_ ? long_->data() : short_.data(); }
    operator std::string_view() const { return {data(), size()}; }
    bool operator==(const Value &o) const { return std::string_view(*this) == std::string_view(o); }
    /* The bytes given, in the buffer held alone if there is one. */
    void assign(const char *p, size_t n)
    {
        if (n <= kShortMax) {
            short_.assign(p, n);
            long_.reset();
        } else if (Alone()) {
            long_->assign(p, n);
        } else {
            long_ = std::make_shared<std::string>(p, n);
        }
    }
    void append(const char *p, size_t n)
    {
        if (long_ == nullptr && short_.size() + n <= kShortMax) {
            short_.append(p, n);
            return;
        }
        if (!Alone())
            long_ = std::make_shared<std::string>(data(), size());
        long_->append(p, n);
        short_.clear();
    }
    Value &operator=(std::string &&s)
    {
        if (s.size() <= kShortMax) {
            short_ = std::move(s);
            long_.reset();
        } else if (Alone()) {
            *long_ = std::move(s);
        } else {
            long_ = std::make_shared<std::string>(std::move(s));
        }
        return *this;
    }

private:
    /* Longer values are shared by copies; a count costs less than a copy
     * above this. */
    static constexpr size_t kShortMax = 256;
    bool Alone() const { return long_ != nullptr && long_.use_count() == 1; }
    std::string short_;
    std::shared_ptr<std::string> long_;
};

struct Item {
    std::string name;
    WORD flags = 0;
    WORD type = TYPE_INVALID_OR_UNKNOWN;
    Value value;              /* without the type word */
    DHANDLE block = NULLHANDLE; /* value block handed out by NSFItemInfo */
    /* Not 0: the value is the one stored under this slot of vq_values at
     * the note's rev, so a save need not write it again. Whatever changes
     * the value sets it to 0. */
    DWORD slot = 0;
};

/* A note in memory. Value blocks handed out stay valid until the note is
 * closed, also when their item is replaced (they move to retired). */
struct Note : HandleObject {
    ~Note() override;
    DBHANDLE hDB = NULLHANDLE;
    NOTEID id = 0;
    WORD noteClass = NOTE_CLASS_DOCUMENT;
    TIMEDATE modified = {{0, 0}};
    int64_t rev = 0; /* the stored revision the items were read at */
    std::vector<Item> items;
    std::vector<DHANDLE> retired;
    /* Whether no two items share a name (without regard to case): known
     * so, known not (or not looked at), or to be looked at when an item
     * is next set; and where the search for the next item set starts
     * (items are usually set in the order they have). */
    enum class Names : unsigned char { Distinct, Repeated, Unknown };
    Names names = Names::Repeated;
    size_t nextSet = 0;
    /* Read with some long values left out (OpenNoteItems): never saved. */
    bool partial = false;
};

Note *GetNote(NOTEHANDLE hNote, const char *call);

/* Appends to hTo a copy of every item of hFrom (another note) whose name
 * is none of skip (without regard to case), in order, as NSFItemAppend of
 * each would, but copying each value once. */
STATUS AppendItemsOf(NOTEHANDLE hFrom, NOTEHANDLE hTo, const std::vector<std::string> &skip);
/* NSFItemAppend of a value the note takes over (not copied). */
STATUS AppendItemValue(NOTEHANDLE hNote, WORD flags, std::string_view name, WORD type, std::string &&value);

/* Loads a saved note into *note (class, modified time, items in order).
 * ERR_INVALID_NOTE when there is no such note. */
STATUS LoadNote(Database &db, NOTEID id, Note *note);
/* NSFNoteOpen for reading a few items: a value kept apart is read only
 * for the items named in only (any case); the note lacks the others and
 * cannot be saved. Listing the messages of a mail file reads no bodies or
 * attachments this way. */
STATUS OpenNoteItems(DBHANDLE hDB, NOTEID id, const std::vector<std::string_view> &only,
                     NOTEHANDLE *rethNote);

/* ---- a note's record and keys (nsf_record.cpp) ----
 * The record is the note's items in order, each as its name's length, the
 * name, flags, type, then the value's length times 2 plus 1 if the value
 * is kept apart in vq_values, and either the slot it is kept under or the
 * value itself. Numbers are unsigned LEB128 varints of at most 32 bits, so
 * an item of a short name and value takes five bytes besides them. */

/* Values longer than this are kept in vq_values, so that reading one item
 * of a note with attachments does not read the attachments. */
constexpr size_t kInlineMax = 1024;
/* The highest slot of a note; a save past it writes all its values anew. */
constexpr DWORD kSlotMax = 0xFFFFFF;

/* Splits a record; false when it is damaged. */
bool DecodeRecord(std::string_view record, std::vector<StoredItem> *items);
/* The first item whose lower-cased name is lname; false when none (or the
 * record is damaged). */
bool FindStored(std::string_view record, std::string_view lname, StoredItem *item);
/* The value of a stored item of note id (from vq_values for a slot). */
STATUS StoredValue(Database &db, NOTEID id, const StoredItem &item, std::string *value);
/* The record of a note's row column (col) of a stepped statement. */
std::string_view RecordColumn(sqlite3_stmt *q, int col);

/* The record of items, with slots[i] the slot of each value kept apart
 * (0 for those in the record). */
std::string EncodeRecord(const std::vector<Item> &items, const std::vector<DWORD> &slots);
/* Slots 1, 2, ... for the long values of a note written afresh. */
std::vector<DWORD> NewSlots(const std::vector<Item> &items);
/* The row of vq_values of slot of note id. */
inline int64_t ValueId(NOTEID id, DWORD slot)
{
    return (int64_t)id << 24 | slot;
}
/* Writes a long value of note id under slot. */
STATUS PutValue(Database &db, NOTEID id, DWORD slot, std::string_view value);
/* Deletes the long value under slot, or all of note id's (slot 0). */
STATUS DropValues(Database &db, NOTEID id, DWORD slot);

/* Makes sure the keys of lname are stored (whole: for every note, so a
 * view can sort by it); the first use of a name indexes every note. */
STATUS EnsureKeyed(Database &db, const std::string &lname, bool whole);
/* Reads the indexed names again if another connection may have changed
 * them (called at the start of every write transaction). */
STATUS RefreshKeyNames(Database &db);
/* Writes the key rows of note id for its new items (nullptr: the note is
 * deleted), replacing those of its stored items (nullptr: a new note).
 * In a group the new rows wait in db.pendingKeys. */
STATUS UpdateKeys(Database &db, NOTEID id, const std::vector<StoredItem> *old,
                  const std::vector<Item> *newItems);
/* Writes the key rows waiting in db.pendingKeys. On a failure the group
 * is broken (see Database::groupBroken) and the rows are dropped with it. */
STATUS FlushPendingKeys(Database &db);
/* Reads note id's class and modified time, and its first item of lname
 * (none for an empty lname); *exists false when there is no such note. */
STATUS ReadNoteItem(Database &db, NOTEID id, const std::string &lname, bool *exists,
                    WORD *noteClass, TIMEDATE *modified, bool *present, WORD *type,
                    std::string *value);
/* Converts a database of an earlier format in place (one transaction). */
STATUS ConvertEarlierFormat(Database &db);

/* ASCII lower-casing: item names and view keys compare without case. */
std::string Lower(std::string_view s);
/* Inline: every item lookup compares a name with each of a note's. */
inline bool EqualNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (x == y)
            continue;
        if (x >= 'A' && x <= 'Z')
            x = (unsigned char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (unsigned char)(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

/* Text-list values: the one reader of vq_textlist.h. */
using vq::BuildTextList;
using vq::ParseTextList;

/* The text an item reads as (NSFItemGetText, view keys): the text, the
 * first entry of a list, a number with %g, a time as text. false for
 * values that have no text form. */
bool ItemText(WORD type, std::string_view value, std::string *text);

/* ---- formulas (nsf_formula.cpp) ---- */

/* The compiled selection: everything, or one item compared with a text. */
struct Formula {
    bool all = true;
    std::string itemLower; /* item name, lower-cased */
    std::string text;      /* compared without case */
};

struct FormulaError {
    WORD line = 0, column = 0, offset = 0, length = 0;
};

/* Parses a selection formula; false with *err filled when it is not one
 * of the accepted forms. */
bool ParseFormula(std::string_view text, Formula *out, FormulaError *err);
/* The bytes of the compiled form kept in a formula memory handle. */
std::string SerializeFormula(const Formula &f);
bool DeserializeFormula(const void *data, std::size_t size, Formula *out);
/* Does the formula select a note whose compared item is this one
 * (present false: the note has no such item)? */
bool FormulaSelectsValue(const Formula &f, bool present, WORD type, std::string_view value);
/* Does the formula select the saved note id? (Reads the compared item.) */
STATUS FormulaSelects(Database &db, const Formula &f, NOTEID id, bool *selects);

}  // namespace nsf
}  // namespace vq

#endif /* VQ_NSF_INTERNAL_H */
