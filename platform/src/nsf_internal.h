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
 *   vq_notes (id, class, mod0, mod1)       one row per note; ids never reused
 *   vq_items (note, seq, name, lname, flags, type, value, ktext, lkey)
 * An item's value is stored without its type word. ktext/lkey hold the text
 * of the first item of each name (lkey lower-cased) so that views can find
 * documents by key through an index instead of reading every note.
 */
#ifndef VQ_NSF_INTERNAL_H
#define VQ_NSF_INTERNAL_H

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
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
constexpr const char *kFormatMark = "vortiq-nsf 1";
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
    NoteUpdateRow,
    NoteDeleteRow,
    ItemsDelete,
    ItemInsert,
    ItemFirst,
    MetaGet,
    MetaSet,
    DesignFind,
    ViewFrom,
    ViewMissingKey,
    SearchIds,
    SearchRow,
    CountChange,
    ItemFind,
    ItemsOfNote,
    ItemDelete,
    Count
};

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
     * holds one write transaction, each write is a savepoint in it, and
     * only the outermost VqDbCommitBatch commits and flushes. */
    int batch = 0;
};

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

/* Maps a SQLite result code to a platform status. */
STATUS StatusFromSqlite(int rc);

/* Steps a bound lookup whose first column is a note id: the first row's
 * id into *retNoteID (may be null), ERR_NOT_FOUND when no row answers. */
STATUS FirstNoteId(const StatementUse &q, NOTEID *retNoteID);

/* A write transaction: BEGIN IMMEDIATE (waits for other writers up to the
 * busy timeout), rolled back at destruction unless committed. The commit
 * passes the fault seam ("commit"). A transaction that is not durable
 * commits without waiting for the disk (UPDATE_NOCOMMIT). Inside a group
 * commit it is a savepoint: whole or not at all within the group, durable
 * with the group's commit. */
class WriteTxn {
public:
    WriteTxn(Database &db, bool durable) : db_(db), durable_(durable) {}
    ~WriteTxn();
    WriteTxn(const WriteTxn &) = delete;
    WriteTxn &operator=(const WriteTxn &) = delete;
    STATUS Begin();
    STATUS Commit();

private:
    void Rollback();
    Database &db_;
    bool durable_;
    bool open_ = false;
};

/* Runs one statement without results (schema, pragmas). */
int ExecSql(sqlite3 *db, const char *sql);

/* Sets *t to now and keeps it as the database's data or non-data modified
 * time (vq_meta); inside a write transaction, so the time is taken once
 * the write lock is held. Never earlier than the time kept before: a
 * writer that waited, or a clock set back, does not move it backwards. */
STATUS StampDbModified(Database &db, bool data, TIMEDATE *t);

/* DbStamp and ReadStamp: nsf_stamp.h. */

/* ---- notes and items ---- */

struct Item {
    std::string name;
    WORD flags = 0;
    WORD type = TYPE_INVALID_OR_UNKNOWN;
    std::string value;        /* without the type word */
    DHANDLE block = NULLHANDLE; /* value block handed out by NSFItemInfo */
};

/* A note in memory. Value blocks handed out stay valid until the note is
 * closed, also when their item is replaced (they move to retired). */
struct Note : HandleObject {
    ~Note() override;
    DBHANDLE hDB = NULLHANDLE;
    NOTEID id = 0;
    WORD noteClass = NOTE_CLASS_DOCUMENT;
    TIMEDATE modified = {{0, 0}};
    std::vector<Item> items;
    std::vector<DHANDLE> retired;
};

Note *GetNote(NOTEHANDLE hNote, const char *call);

/* Loads a saved note into *note (class, modified time, items in order).
 * ERR_INVALID_NOTE when there is no such note. */
STATUS LoadNote(Database &db, NOTEID id, Note *note);

/* ASCII lower-casing: item names and view keys compare without case. */
std::string Lower(std::string_view s);
bool EqualNoCase(std::string_view a, std::string_view b);

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
