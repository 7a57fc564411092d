/*
 * nsf_search.cpp - NSFSearch: calls an action routine once per note of a
 * class mask, in note-ID order, telling it whether the formula selects
 * the note.
 *
 * The IDs are taken first and each note is looked at again just before
 * its call, so a routine may update or delete notes (also ones not yet
 * reached) without upsetting the search; a note deleted before its turn
 * is not yielded. No deletion stubs exist, so none are yielded even with
 * a since-time. The routine's SummaryBuffer is always NULL (the summary
 * of SEARCH_SUMMARY is not built); ID.File of the match is zero; a view
 * title is not used.
 *
 * The search reads inside one read transaction as long as nothing is
 * written: a note open in the routine then costs no locking of its own.
 * A commit by this process (through this connection or another) ends that
 * transaction before the next note, so the routine's own changes are
 * always seen; another process's commits are seen from the next renewal,
 * as if they had come a little later.
 */
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "nsf_internal.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace vq {
namespace nsf {
namespace {

/* The compiled formula behind a formula handle. */
STATUS ReadFormula(FORMULAHANDLE h, Formula *f)
{
    if (h == NULLHANDLE) {
        f->all = true;
        return NOERROR;
    }
    DWORD size = 0;
    if (OSMemGetSize(h, &size) != NOERROR)
        return ERR_INVALID_HANDLE;
    const void *p = OSLockObject(h);
    bool ok = p != nullptr && DeserializeFormula(p, size, f);
    OSUnlockObject(h);
    return ok ? NOERROR : ERR_BAD_PARAM;
}

STATUS SnapshotIds(Database &db, WORD classMask, std::vector<NOTEID> *ids)
{
    StatementUse q(db.Stmt(Sql::SearchIds));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int(q.get(), 1, classMask);
    int rc;
    while ((rc = sqlite3_step(q.get())) == SQLITE_ROW)
        ids->push_back((NOTEID)sqlite3_column_int64(q.get(), 0));
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

/* The note's current class and modified time, and whether the formula
 * selects it, read together; *exists false once the note is gone. */
STATUS NoteRow(Database &db, const Formula &f, NOTEID id, bool *exists, WORD *noteClass,
               TIMEDATE *modified, bool *selects)
{
    bool present = false;
    WORD type = 0;
    std::string value;
    STATUS s = ReadNoteItem(db, id, f.all ? std::string() : f.itemLower, exists, noteClass,
                            modified, &present, &type, &value);
    if (s == NOERROR && *exists)
        *selects = FormulaSelectsValue(f, present, type, value);
    return s;
}

/* The read transaction a search holds on its connection. */
class SearchRead {
public:
    explicit SearchRead(DBHANDLE h) : h_(h) {}
    ~SearchRead() { End(); }
    SearchRead(const SearchRead &) = delete;
    SearchRead &operator=(const SearchRead &) = delete;

    /* Before each note: keeps the transaction while this process has not
     * committed since it began, else begins a new one. */
    void Renew()
    {
        Database *db = Live();
        if (db == nullptr)
            return;
        if (owned_ && db->searchRead && ProcessCommits() == commits_)
            return;
        End();
        /* Inside a transaction of someone else (an outer search): read in it. */
        if (db->searchRead || sqlite3_get_autocommit(db->db) == 0)
            return;
        commits_ = ProcessCommits();
        if (ExecSql(db->db, "BEGIN") == SQLITE_OK) {
            db->searchRead = true;
            owned_ = true;
        }
    }

    void End()
    {
        Database *db = owned_ ? Live() : nullptr;
        if (db != nullptr && db->searchRead) {
            ExecSql(db->db, "COMMIT");
            db->searchRead = false;
        }
        owned_ = false;
    }

private:
    /* The routine may have closed the database (its connection went with
     * its transaction): looked up each time, without a misuse report. */
    Database *Live() const
    {
        return PeekDatabase(h_);
    }
    DBHANDLE h_;
    bool owned_ = false;
    uint64_t commits_ = 0;
};

}  // namespace
}  // namespace nsf
}  // namespace vq

STATUS NSFSearch(DBHANDLE hDB, FORMULAHANDLE hFormula, const char *ViewTitle, WORD SearchFlags,
                 WORD NoteClassMask, TIMEDATE *Since, NSFSEARCHPROC EnumRoutine,
                 void *EnumRoutineParameter, TIMEDATE *retUntil)
{
    (void)ViewTitle;
    (void)SearchFlags;
    vq::nsf::Database *db = vq::nsf::GetDatabase(hDB, "NSFSearch");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (EnumRoutine == nullptr)
        return ERR_BAD_PARAM;
    vq::nsf::Formula formula;
    STATUS s = vq::nsf::ReadFormula(hFormula, &formula);
    if (s != NOERROR)
        return s;
    /* Taken before the scan: a change made during it is seen again by a
     * search that starts from this time. */
    TIMEDATE until;
    OSCurrentTIMEDATE(&until);
    vq::nsf::SearchRead read(hDB);
    read.Renew();
    std::vector<NOTEID> ids;
    if ((s = vq::nsf::SnapshotIds(*db, NoteClassMask, &ids)) != NOERROR)
        return s;
    for (NOTEID id : ids) {
        /* The routine may have closed the database: look it up each time. */
        db = vq::nsf::GetDatabase(hDB, "NSFSearch");
        if (db == nullptr)
            return ERR_INVALID_HANDLE;
        read.Renew();
        bool exists = false, selects = false;
        WORD noteClass = 0;
        TIMEDATE modified = {{0, 0}};
        if ((s = vq::nsf::NoteRow(*db, formula, id, &exists, &noteClass, &modified, &selects)) !=
            NOERROR)
            return s;
        if (!exists || (noteClass & NoteClassMask) == 0)
            continue;
        if (Since != nullptr && TimeDateCompare(&modified, Since) < 0)
            continue;
        SEARCH_MATCH match;
        std::memset(&match, 0, sizeof match);
        match.ID.NoteID = id;
        match.ID.Note = modified;
        match.OriginatorID.Note = modified;
        match.OriginatorID.Sequence = 1;
        match.OriginatorID.SequenceTime = modified;
        match.NoteClass = noteClass;
        match.SERetFlags = selects ? SE_FMATCH : SE_FNOMATCH;
        if ((s = EnumRoutine(EnumRoutineParameter, &match, nullptr)) != NOERROR)
            return s;
    }
    if (retUntil != nullptr)
        *retUntil = until;
    return NOERROR;
}

STATUS VqNSFDbNoteStamps(DBHANDLE hDB, WORD NoteClassMask, VQNOTESTAMPPROC Routine, void *Parameter)
{
    vq::nsf::Database *db = vq::nsf::GetDatabase(hDB, "VqNSFDbNoteStamps");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (Routine == nullptr)
        return ERR_BAD_PARAM;
    /* The rows are copied out first: the routine may use the database. */
    std::vector<std::pair<NOTEID, TIMEDATE>> rows;
    {
        vq::nsf::SearchRead read(hDB);
        read.Renew();
        sqlite3_stmt *q = nullptr;
        int rc = sqlite3_prepare_v2(db->db,
                                    "SELECT id, mod0, mod1 FROM vq_notes WHERE (class & ?1) != 0 ORDER BY id",
                                    -1, &q, nullptr);
        if (rc != SQLITE_OK)
            return vq::nsf::StatusFromSqlite(rc);
        sqlite3_bind_int(q, 1, NoteClassMask);
        while ((rc = sqlite3_step(q)) == SQLITE_ROW) {
            TIMEDATE t;
            t.Innards[0] = (DWORD)sqlite3_column_int64(q, 1);
            t.Innards[1] = (DWORD)sqlite3_column_int64(q, 2);
            rows.emplace_back((NOTEID)sqlite3_column_int64(q, 0), t);
        }
        sqlite3_finalize(q);
        if (rc != SQLITE_DONE)
            return vq::nsf::StatusFromSqlite(rc);
    }
    for (const auto &r : rows)
        if (STATUS s = Routine(Parameter, r.first, &r.second); s != NOERROR)
            return s;
    return NOERROR;
}

STATUS VqNSFDbFindByItem(DBHANDLE hDB, const char *ItemName, const char *Value, NOTEID *retNoteID)
{
    if (retNoteID != nullptr)
        *retNoteID = 0;
    vq::nsf::Database *db = vq::nsf::GetDatabase(hDB, "VqNSFDbFindByItem");
    if (db == nullptr)
        return ERR_INVALID_HANDLE;
    if (ItemName == nullptr || Value == nullptr)
        return ERR_BAD_PARAM;
    const std::string name = vq::nsf::Lower(ItemName);
    const std::string key = vq::nsf::Lower(Value);
    /* the first lookup by a name indexes it in every note */
    STATUS s = vq::nsf::EnsureKeyed(*db, name, false);
    if (s != NOERROR)
        return s;
    vq::nsf::StatementUse q(db->Stmt(vq::nsf::Sql::ItemFind));
    if (!q)
        return vq::nsf::StatusFromSqlite(sqlite3_errcode(db->db));
    sqlite3_bind_text(q.get(), 1, name.data(), (int)name.size(), SQLITE_STATIC);
    sqlite3_bind_text(q.get(), 2, key.data(), (int)key.size(), SQLITE_STATIC);
    return vq::nsf::FirstNoteId(q, retNoteID);
}
