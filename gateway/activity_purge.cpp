/*
 * activity_purge.cpp - DelActivity and its search routine CheckTime:
 * deletes every document of the activity database that was last modified
 * more than seven days ago, whatever its form. Entries of jobs that still
 * wait are rewritten by the queue listing at every cycle and so stay.
 *
 * Reports through 13112, 13113, 13115, 13109, 13111, 13146.
 */
#include <cstring>

#include "activity.h"

#define FORMULA_NAME "ActivityEntries"
#define FORMULA_NAME_LEN 15
#define FORMULA_SIZE 256    /* FormulaString */
#define ERR_STRING_SIZE 128 /* ErrString */

/* One note of the search: deleted when older than ACT_MAX_AGE_SECONDS.
 * A non-zero result ends the search and comes back from NSFSearch. */
STATUS CheckTime(void *ForDB, SEARCH_MATCH *SearchMatch, ITEM_TABLE *SummaryBuffer)
{
    SEARCH_MATCH Search_Results;
    DBHANDLE TheDB = NULLHANDLE;
    NOTEHANDLE note_handle = NULLHANDLE;
    TIMEDATE NoteTime;
    TIMEDATE CurrTime;
    STATUS error = NOERROR;

    (void)SummaryBuffer;
    /* The match record may lie unaligned in the search's buffer. */
    std::memcpy(&Search_Results, SearchMatch, sizeof Search_Results);
    std::memcpy(&TheDB, ForDB, sizeof TheDB);
    if ((Search_Results.SERetFlags & SE_FMATCH) == 0)
        return NOERROR;

    error = NSFNoteOpen(TheDB, Search_Results.ID.NoteID, 0, &note_handle);
    if (error != NOERROR) {
        AddInLogError(VQM_NOTE_OPEN_ERROR, error, nullptr);
        return error;
    }
    OSCurrentTIMEDATE(&CurrTime);
    NoteTime = CurrTime;
    NSFNoteGetInfo(note_handle, _NOTE_MODIFIED, &NoteTime);
    error = NSFNoteClose(note_handle);
    if (error != NOERROR) {
        AddInLogError(VQM_NOTE_CLOSE_ERROR, error, nullptr);
        return error;
    }

    /* Only an age strictly above the limit deletes: a note modified
     * exactly seven days ago stays for one more cycle. */
    if (TimeDateDifference(&CurrTime, &NoteTime) > ACT_MAX_AGE_SECONDS) {
        error = NSFNoteDelete(TheDB, Search_Results.ID.NoteID, UPDATE_NOSTUB);
        if (error != NOERROR)
            AddInLogError(VQM_DS0, error, "Error Deleting Activity Log Entry.");
    }
    return error;
}

/* The activity purge pass. Returns 0 or the status of the failing step;
 * sets E_quit when the database cannot be opened. */
STATUS DelActivity(void)
{
    DBHANDLE NameDB = NULLHANDLE;
    FORMULAHANDLE theFormula = NULLHANDLE;
    WORD theFormulaLength = 0;
    char FormulaString[FORMULA_SIZE];
    STATUS FunErr = NOERROR;
    STATUS CompErr = NOERROR;
    WORD ErrLine = 0;
    WORD ErrCol = 0;
    WORD ErrOff = 0;
    WORD ErrLen = 0;
    char ErrString[ERR_STRING_SIZE];
    STATUS closeErr = NOERROR;

    FunErr = NSFDbOpen(ActLogNsf, &NameDB);
    if (FunErr != NOERROR) {
        NameDB = NULLHANDLE;
        E_quit = 1;
        AddInLogError(VQM_DB_OPEN_ERROR, FunErr, ActLogNsf);
        return FunErr;
    }

    VqCopy(FormulaString, sizeof FormulaString, "@All");
    FunErr = NSFFormulaCompile(FORMULA_NAME, FORMULA_NAME_LEN, FormulaString,
                               (WORD)std::strlen(FormulaString), &theFormula, &theFormulaLength,
                               &CompErr, &ErrLine, &ErrCol, &ErrOff, &ErrLen);
    if (FunErr != NOERROR) {
        theFormula = NULLHANDLE;
        VqFormat(ErrString, sizeof ErrString,
                 "NSFFormulaCompile returned Err: %d Line: %d Col: %d Off: %d Len: %d for %s",
                 (int)CompErr, (int)ErrLine, (int)ErrCol, (int)ErrOff, (int)ErrLen, FormulaString);
        AddInLogError(VQM_FORMULA_ERROR, FunErr, ErrString);
        goto done;
    }

    /* Documents only, every one of them whatever its age: the age test is
     * CheckTime's, not the formula's. */
    FunErr = NSFSearch(NameDB, theFormula, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                       CheckTime, &NameDB, nullptr);
    if (FunErr != NOERROR)
        AddInLogError(VQM_SEARCH_ERROR, FunErr, nullptr);

done:
    if (theFormula != NULLHANDLE)
        OSMemFree(theFormula);
    closeErr = NSFDbClose(NameDB);
    if (closeErr != NOERROR) {
        VqFormat(ErrString, sizeof ErrString, "NSFDbClose returned %d", (int)closeErr);
        AddInLogError(VQM_DS0, NOERROR, ErrString);
    }
    return FunErr;
}
