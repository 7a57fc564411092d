/*
 * vq_nsf.h - databases, notes and items, views, formulas, search and ID
 * tables of the Notes stand-in. Each database is a SQLite file below the
 * data directory; notes are saved whole in one transaction.
 */
#ifndef VQ_NSF_H
#define VQ_NSF_H

#include "vq_global.h"

/* ---- databases ---- */
/* Relative paths are taken below the data directory. A missing file is
 * ERR_NOEXIST; a database is never created by an open. */
STATUS NSFDbOpen(const char *PathName, DBHANDLE *rethDB);
STATUS NSFDbClose(DBHANDLE hDB);
/* Creates an empty database (folders must exist). ERR_DB_EXISTS when the
 * file is there and ForceCreation is FALSE. */
#define DBCLASS_NOTEFILE 0xFF00
STATUS NSFDbCreate(const char *PathName, WORD DbClass, BOOL ForceCreation);
/* Time of the last change of any note (by any process). */
STATUS NSFDbModifiedTime(DBHANDLE hDB, TIMEDATE *retDataModified, TIMEDATE *retNonDataModified);
/* Platform extras: title and full path of an open database. */
STATUS VqDbSetTitle(DBHANDLE hDB, const char *Title);
STATUS VqDbGetTitle(DBHANDLE hDB, char *retTitle, WORD BufferLength);
STATUS VqDbGetPath(DBHANDLE hDB, char *retPath, WORD BufferLength);
/* Platform extra: a text naming the database file and how many commits it
 * has seen (by any process); equal texts mean equal contents. */
STATUS VqDbGetChangeStamp(DBHANDLE hDB, char *retStamp, WORD BufferLength);
/* Platform extra: stamps held. From VqDbHoldStamps(TRUE) to
 * VqDbHoldStamps(FALSE) (nested pairs count; per thread), a database found
 * unchanged since its stamp was last read is taken as unchanged again
 * without looking, until this process commits to any database. The
 * repeated lookups of one item so do not look at the directory each time;
 * what another process changes meanwhile is seen once the hold ends. */
void VqDbHoldStamps(BOOL Hold);
/* Platform extras: group commit. From VqDbBeginBatch to VqDbCommitBatch
 * every write through hDB (note saves and deletes) joins one transaction:
 * each write still applies whole or not at all, they become durable
 * together with one disk flush, and a crash before the commit loses them
 * all. Other writers of the database wait meanwhile, so a group is kept
 * short (a hundred items or a second). Nested pairs count; the outermost
 * commit commits. A failed commit and VqDbAbortBatch drop the group; so
 * does NSFDbClose of a handle whose group is open. */
STATUS VqDbBeginBatch(DBHANDLE hDB);
STATUS VqDbCommitBatch(DBHANDLE hDB);
void VqDbAbortBatch(DBHANDLE hDB);

/* ---- notes ---- */
STATUS NSFNoteCreate(DBHANDLE hDB, NOTEHANDLE *rethNote);
STATUS NSFNoteOpen(DBHANDLE hDB, NOTEID NoteID, WORD OpenFlags, NOTEHANDLE *rethNote);
STATUS NSFNoteClose(NOTEHANDLE hNote);
/* Saves the note whole or not at all; stamps its last-modified time. */
STATUS NSFNoteUpdate(NOTEHANDLE hNote, WORD UpdateFlags);
STATUS NSFNoteDelete(DBHANDLE hDB, NOTEID NoteID, WORD UpdateFlags);
/* _NOTE_ID (NOTEID), _NOTE_CLASS (WORD), _NOTE_MODIFIED (TIMEDATE),
 * _NOTE_DB (DBHANDLE). */
void NSFNoteGetInfo(NOTEHANDLE hNote, WORD Type, void *retValue);
/* _NOTE_CLASS only (for design notes made by the tools). */
void NSFNoteSetInfo(NOTEHANDLE hNote, WORD Type, const void *Value);

/* ---- items (names compare without case) ---- */
/* Replaces the item by a text; TextLength MAXWORD means zero-terminated. */
STATUS NSFItemSetText(NOTEHANDLE hNote, const char *ItemName, const char *Text, WORD TextLength);
STATUS NSFItemCreateTextList(NOTEHANDLE hNote, const char *ItemName, const char *Text, WORD TextLength);
STATUS NSFItemAppendTextList(NOTEHANDLE hNote, const char *ItemName, const char *Text,
                             WORD TextLength, BOOL fAllowDuplicates);
STATUS NSFItemSetTime(NOTEHANDLE hNote, const char *ItemName, const TIMEDATE *Time);
STATUS NSFItemSetNumber(NOTEHANDLE hNote, const char *ItemName, const NUMBER *Number);
/* Appends an item of any type (Value without its type word). Several
 * items of one name may exist (attachments "$FILE"). */
STATUS NSFItemAppend(NOTEHANDLE hNote, WORD ItemFlags, const char *Name, WORD NameLength,
                     WORD DataType, const void *Value, DWORD ValueLength);
/* Removes every item of that name. */
STATUS NSFItemDelete(NOTEHANDLE hNote, const char *Name, WORD NameLength);
BOOL NSFItemIsPresent(NOTEHANDLE hNote, const char *Name, WORD NameLength);
/* Text of a text item, or the first entry of a list, cut at
 * BufferLength - 1 and terminated; returns the length. 0 when missing. */
WORD NSFItemGetText(NOTEHANDLE hNote, const char *ItemName, char *retBuffer, WORD BufferLength);
/* Value block begins with the type WORD; the length includes it. The
 * blocks belong to the note (released by NSFNoteClose). Missing item:
 * ERR_ITEM_NOT_FOUND and type 0. A NULL Name gives the first item. */
STATUS NSFItemInfo(NOTEHANDLE hNote, const char *Name, WORD NameLength, BLOCKID *retbhItem,
                   WORD *retDataType, BLOCKID *retbhValue, DWORD *retValueLength);
/* The next item of the name after PrevItem (ERR_ITEM_NOT_FOUND at the end). */
STATUS NSFItemInfoNext(NOTEHANDLE hNote, BLOCKID PrevItem, const char *Name, WORD NameLength,
                       BLOCKID *retbhItem, WORD *retDataType, BLOCKID *retbhValue,
                       DWORD *retValueLength);
WORD NSFItemGetTextListEntries(NOTEHANDLE hNote, const char *ItemName);
/* BufferLength is the size - 1 (as in Notes); always terminated. */
WORD NSFItemGetTextListEntry(NOTEHANDLE hNote, const char *ItemName, WORD EntryPos,
                             char *retBuffer, WORD BufferLength);
BOOL NSFItemGetTime(NOTEHANDLE hNote, const char *ItemName, TIMEDATE *retTime);
BOOL NSFItemGetNumber(NOTEHANDLE hNote, const char *ItemName, NUMBER *retNumber);
/* Calls the routine for every item in order; Value begins with the type
 * WORD. A non-zero return ends the scan and is returned. */
typedef STATUS (*NSFITEMSCANPROC)(WORD Spare, WORD ItemFlags, char *Name, WORD NameLength,
                                  void *Value, DWORD ValueLength, void *RoutineParameter);
STATUS NSFItemScan(NOTEHANDLE hNote, NSFITEMSCANPROC ActionRoutine, void *RoutineParameter);

/* ---- views ---- */
STATUS NIFFindDesignNote(DBHANDLE hFile, const char *Name, WORD Class, NOTEID *retNoteID);
STATUS NIFOpenCollection(DBHANDLE hViewDB, DBHANDLE hDataDB, NOTEID ViewNoteID, WORD OpenFlags,
                         DHANDLE hUnreadList, HCOLLECTION *rethCollection,
                         NOTEHANDLE *rethViewNote, UNID *retViewUNID,
                         DHANDLE *rethCollapsedList, DHANDLE *rethSelectedList);
/* Key on the view's first sorted column; FIND_CASE_INSENSITIVE compares
 * without case. ERR_NOT_FOUND when nothing matches. */
STATUS NIFFindByName(HCOLLECTION hCollection, const char *Name, WORD FindFlags,
                     COLLECTIONPOSITION *retIndexPos, DWORD *retNumMatches);
/* READ_MASK_NOTEID: the buffer (a memory handle, caller frees) holds the
 * note IDs of the entries, in view order (same key: note-ID order). */
STATUS NIFReadEntries(HCOLLECTION hCollection, COLLECTIONPOSITION *IndexPos,
                      WORD SkipNavigator, DWORD SkipCount, WORD ReturnNavigator,
                      DWORD ReturnCount, DWORD ReturnMask, DHANDLE *rethBuffer,
                      WORD *retBufferLength, DWORD *retNumEntriesSkipped,
                      DWORD *retNumEntriesReturned, WORD *retSignalFlags);
STATUS NIFCloseCollection(HCOLLECTION hCollection);
/* Platform call for the tools: a view design note with its title, its
 * selection formula and the item of its first sorted column. */
STATUS VqCreateView(DBHANDLE hDB, const char *Title, const char *SelectionFormula,
                    const char *SortItem, NOTEID *retViewID);

/* ---- formulas and search ---- */
/* Accepts "@All", "SELECT @All" and Item = "text" (optionally after
 * SELECT); anything else is ERR_FORMULA_COMPILATION with the diagnostics
 * filled in. The result is a memory handle (OSMemFree). */
STATUS NSFFormulaCompile(const char *FormulaName, WORD FormulaNameLength,
                         const char *FormulaText, WORD FormulaTextLength,
                         FORMULAHANDLE *rethFormula, WORD *retFormulaLength,
                         STATUS *retCompileError, WORD *retCompileErrorLine,
                         WORD *retCompileErrorColumn, WORD *retCompileErrorOffset,
                         WORD *retCompileErrorLength);
typedef STATUS (*NSFSEARCHPROC)(void *EnumRoutineParameter, SEARCH_MATCH *SearchMatch,
                                ITEM_TABLE *SummaryBuffer);
/* Calls the routine once per note of the class mask; SE_FMATCH set when
 * the formula selects it (NULLHANDLE formula: all). A non-zero return
 * ends the search and is returned. Since NULL: every note. */
STATUS NSFSearch(DBHANDLE hDB, FORMULAHANDLE hFormula, const char *ViewTitle, WORD SearchFlags,
                 WORD NoteClassMask, TIMEDATE *Since, NSFSEARCHPROC EnumRoutine,
                 void *EnumRoutineParameter, TIMEDATE *retUntil);

/* The stamp of every note of the class mask in one read: its ID and its
 * last-modified time, in note-ID order, one call of the routine each (a
 * non-zero return ends the walk and is returned). A reader that keeps
 * its own copy of a database's notes compares these stamps with its copy
 * and reads only the notes that changed, came or went. */
typedef STATUS (*VQNOTESTAMPPROC)(void *Parameter, NOTEID NoteID, const TIMEDATE *Modified);
STATUS VqNSFDbNoteStamps(DBHANDLE hDB, WORD NoteClassMask, VQNOTESTAMPPROC Routine, void *Parameter);

/* The first document (lowest note ID) whose item ItemName has the text
 * Value, compared without regard to case as a selection formula
 * `ItemName = "Value"` compares a text item: one probe of the item index,
 * O(log n) in the database's size. ERR_NOT_FOUND when none has it. */
STATUS VqNSFDbFindByItem(DBHANDLE hDB, const char *ItemName, const char *Value, NOTEID *retNoteID);

/* ---- ID tables ---- */
typedef STATUS (*IDENUMERATEPROC)(void *Parameter, DWORD id);
STATUS IDCreateTable(DWORD Alignment, DHANDLE *rethTable);
STATUS IDInsert(DHANDLE hTable, DWORD id, BOOL *retfInserted);
STATUS IDEnumerate(DHANDLE hTable, IDENUMERATEPROC Routine, void *Parameter);
DWORD IDEntries(DHANDLE hTable);
STATUS IDDestroyTable(DHANDLE hTable);

#endif /* VQ_NSF_H */
