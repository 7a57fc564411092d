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
 */
#include <cstring>
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

/* The note's current class and modified time; *exists false once it is gone. */
STATUS NoteRow(Database &db, NOTEID id, bool *exists, WORD *noteClass, TIMEDATE *modified)
{
    StatementUse q(db.Stmt(Sql::NoteRow));
    if (!q)
        return StatusFromSqlite(sqlite3_errcode(db.db));
    sqlite3_bind_int64(q.get(), 1, id);
    int rc = sqlite3_step(q.get());
    *exists = rc == SQLITE_ROW;
    if (rc == SQLITE_ROW) {
        *noteClass = (WORD)sqlite3_column_int(q.get(), 0);
        modified->Innards[0] = (DWORD)sqlite3_column_int64(q.get(), 1);
        modified->Innards[1] = (DWORD)sqlite3_column_int64(q.get(), 2);
        return NOERROR;
    }
    return rc == SQLITE_DONE ? NOERROR : StatusFromSqlite(rc);
}

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
    std::vector<NOTEID> ids;
    if ((s = vq::nsf::SnapshotIds(*db, NoteClassMask, &ids)) != NOERROR)
        return s;
    for (NOTEID id : ids) {
        /* The routine may have closed the database: look it up each time. */
        db = vq::nsf::GetDatabase(hDB, "NSFSearch");
        if (db == nullptr)
            return ERR_INVALID_HANDLE;
        bool exists = false, selects = false;
        WORD noteClass = 0;
        TIMEDATE modified = {{0, 0}};
        if ((s = vq::nsf::NoteRow(*db, id, &exists, &noteClass, &modified)) != NOERROR)
            return s;
        if (!exists || (noteClass & NoteClassMask) == 0)
            continue;
        if (Since != nullptr && TimeDateCompare(&modified, Since) < 0)
            continue;
        if ((s = vq::nsf::FormulaSelects(*db, formula, id, &selects)) != NOERROR)
            return s;
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
