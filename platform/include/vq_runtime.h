/*
 * vq_runtime.h - runtime services of the Notes stand-in: start-up and
 * termination, add-in task services (log, status line, idle), the
 * server environment (notes.ini), memory handles, time and text lists.
 */
#ifndef VQ_RUNTIME_H
#define VQ_RUNTIME_H

#include "vq_global.h"

/* ---- start-up ---- */

/* Reads "=PATH" arguments (a notes.ini, whose folder becomes the data
 * directory); without one the data directory is the current directory
 * (or NOTES_DATA when set). */
STATUS NotesInitExtended(int argc, char **argv);
void NotesTerm(void);
/* Gives the handle of the program's resource module (its message table). */
void NotesInitModule(HMODULE *rethModule, HMODULE *rethInstance, HMODULE *rethPrevInstance);

/* SDK start-up helpers. */
STATUS NotesSDKMAINInit(int (*MainFunc)(int, char **), int argc, char **argv,
                        HMODULE hInstance, HMODULE hPrevInstance);
/* Put the text of a start-up failure into Buffer (at most BufferLength
 * characters and a terminator); returns the exit value to use. */
int NotesSDKMAINInitError(STATUS status, char *Buffer, WORD BufferLength);
int NotesSDKMAINError(STATUS status, char *Buffer, WORD BufferLength);
/* AddInSDKInit takes the task's instance lock (tasks/<task>.lock in the
 * data directory, held until the process ends) and drops stop requests
 * left from before; a second instance gets ERR_TASK_RUNNING (logged, with
 * STS_DISPLAYED set). AddInSDKTerm removes the status line. */
STATUS AddInSDKInit(int argc, char **argv);
STATUS AddInSDKTerm(STATUS AddInMainResult);
/* Stand-in extension for the console: TRUE while a process holds the
 * task's instance lock in the data directory; *Pid (when not NULL) is
 * that process's id, 0 when unknown. A task is alive exactly while it
 * holds its lock, so a status or stop request left by a dead one is stale. */
BOOL VqTaskRunning(const char *TaskName, DWORD *Pid);
/* Stand-in extension: when the process runs as root, gives a file or
 * folder it created in the data directory the directory's owner and group,
 * so that a console run as root never leaves files the service's own user
 * cannot write. Does nothing otherwise. */
void VqAdoptDataOwner(const char *Path);

/* ---- resource modules (message tables) ----
 * A program's message table registers itself (a static constructor in
 * resources/); NotesInitModule hands out the handle of the first module
 * registered. Text NULL: the identifier exists but has no text. */
typedef struct {
    WORD Id;
    const char *Text;
} VQ_RESOURCE_STRING;
HMODULE OSRegisterModuleStrings(const VQ_RESOURCE_STRING *Table, WORD Count);
/* Copies the text of StringCode (at most BufferLength - 1 characters, always
 * terminated); returns its length, 0 when the module has no such text. */
WORD OSLoadString(HMODULE hModule, STATUS StringCode, char *retBuffer, WORD BufferLength);

/* ---- add-in services ---- */

/* One argument of a message: a text or a number. The variadic templates
 * below turn their arguments into these, so a pattern is only ever filled
 * from what the caller passed (a missing argument reads as "" or 0). */
typedef struct {
    int IsText;
    const char *Text;
    long Number;
} VQARG;

void AddInSetStatusV(STATUS StringID, int nargs, const VQARG *args);
/* Writes one log entry: time stamp, the text of StringID with Arg in its
 * %s, and ": " plus the text of AdditionalErrorCode when that is not 0. */
void AddInLogError(STATUS StringID, STATUS AdditionalErrorCode, const char *Arg);
/* Platform extras: held log lines, for a caller that works in groups and
 * wants each item's lines kept together in the order of the items. While
 * VqLogHold(TRUE) is in force AddInLogError keeps its lines in memory, in
 * order, instead of writing them; VqLogHold(FALSE) writes new lines again
 * and leaves the held ones held. VqLogHeldCount tells how many are held;
 * VqLogReleaseHeld(Count) writes the first Count of them (all when fewer
 * are held) and drops them. */
void VqLogHold(BOOL Hold);
DWORD VqLogHeldCount(void);
void VqLogReleaseHeld(DWORD Count);
/* Text of a message identifier (module table) or of a status code
 * (platform table), arguments filled in, into retString (MAXSPRINTF bytes). */
void AddInFormatErrorV(char *retString, STATUS StringID, int nargs, const VQARG *args);
/* TRUE once the task must stop (signal, stop request, test control);
 * paces the caller with a short sleep. */
BOOL AddInIdle(void);
/* TRUE at the first call and then once per calendar day. */
BOOL AddInDayHasElapsed(void);

/* The task name under which status lines, stop requests and log entries
 * are kept (default "vortiq"). */
void AddInSetTaskName(const char *Name);

/* ---- environment ---- */
/* TRUE when the variable is set; copies at most BufferLength characters
 * and always terminates (the buffer holds BufferLength + 1 bytes). */
BOOL OSGetEnvironmentString(const char *VariableName, char *retValueBuffer, WORD BufferLength);
long OSGetEnvironmentLong(const char *VariableName);
/* Writes notes.ini atomically; a NULL value removes the variable. */
STATUS OSSetEnvironmentVariable(const char *VariableName, const char *Value);
/* The data directory (no trailing "/"). */
const char *OSGetDataDirectory(void);

/* ---- memory ---- */
#define BLK_MEM_ALLOC 0
STATUS OSMemAlloc(WORD BlkType, DWORD dwSize, DHANDLE *retHandle);
STATUS OSMemRealloc(DHANDLE Handle, DWORD NewSize);
STATUS OSMemGetSize(DHANDLE Handle, DWORD *retSize);
/* Lock counts are kept; NULL (and a reported misuse) for a bad handle. */
void *OSLockObject(DHANDLE Handle);
/* Unlocking an object that is not locked does nothing. */
BOOL OSUnlockObject(DHANDLE Handle);
/* Refuses (ERR_LOCKED) a locked object and reports it; ERR_INVALID_HANDLE
 * for a handle that is not allocated (double free). */
STATUS OSMemFree(DHANDLE Handle);

#define OSLockBlock(type, blockid) ((type *)((char *)OSLockObject((blockid).pool) + (blockid).block))
#define OSUnlockBlock(blockid) OSUnlockObject((blockid).pool)

/* ---- time ---- */
void OSCurrentTIMEDATE(TIMEDATE *retTimeDate);
void TimeConstant(WORD TimeConstantType, TIMEDATE *retTimeDate);
STATUS TimeDateIncrement(TIMEDATE *Time, LONG Interval); /* hundredths */
int TimeDateCompare(const TIMEDATE *t1, const TIMEDATE *t2);
LONG TimeDateDifference(const TIMEDATE *t1, const TIMEDATE *t2); /* t1 - t2, seconds */
BOOL TimeGMToLocal(TIME *Time);   /* FALSE on success */
BOOL TimeLocalToGM(TIME *Time);   /* FALSE on success */
/* NULL formats: "YYYY-MM-DD HH:MM:SS" in local time. Not terminated by the
 * API; this implementation terminates when there is room. */
STATUS ConvertTIMEDATEToText(const void *IntlFormat, const void *TextFormat,
                             const TIMEDATE *InputTime, char *retTextBuffer,
                             WORD TextBufferLength, WORD *retTextLength);
/* Platform helpers for the tools and tests. */
void VqTimeDateFromUnix(int64_t Seconds, int Hundredths, TIMEDATE *retTimeDate);
int64_t VqTimeDateToUnix(const TIMEDATE *Time);
/* Current time in seconds, following the test clock (replaces time()). */
int64_t VqTimeSeconds(void);

/* ---- text lists ---- */
/* Returns the list locked; retpList is really a void**. */
STATUS ListAllocate(WORD ListEntries, WORD TextSize, BOOL fPrefixDataType,
                    DHANDLE *rethList, void *retpList, WORD *retListSize);
/* Grows the list through its handle (re-lock afterwards). EntryNumber must
 * be the current entry count. */
STATUS ListAddEntry(DHANDLE hList, BOOL fPrefixDataType, WORD *pListSize,
                    WORD EntryNumber, const char *Text, WORD TextSize);
STATUS ListGetText(const void *pList, BOOL fPrefixDataType, WORD EntryNumber,
                   char **retTextPointer, WORD *retTextLength);
WORD ListGetNumEntries(const void *vList, BOOL NoteItem);
WORD ListGetSize(const void *pList, BOOL fPrefixDataType);
/* The copy keeps the layout of the input (prefix when fNoteItem); it is
 * returned unlocked. */
STATUS ListDuplicate(LIST *pInList, BOOL fNoteItem, DHANDLE *phOutList);

#ifdef __cplusplus
/* Typed front ends for the variadic add-in calls. */
inline VQARG VqArg(const char *s) { VQARG a = {1, s ? s : "", 0}; return a; }
inline VQARG VqArg(char *s) { VQARG a = {1, s ? s : "", 0}; return a; }
inline VQARG VqArg(int n) { VQARG a = {0, "", n}; return a; }
inline VQARG VqArg(unsigned n) { VQARG a = {0, "", (long)n}; return a; }
inline VQARG VqArg(long n) { VQARG a = {0, "", n}; return a; }
inline VQARG VqArg(unsigned long n) { VQARG a = {0, "", (long)n}; return a; }
inline VQARG VqArg(unsigned short n) { VQARG a = {0, "", (long)n}; return a; }
inline VQARG VqArg(short n) { VQARG a = {0, "", (long)n}; return a; }

template <typename... A>
inline void AddInSetStatus(STATUS StringID, A... args)
{
    VQARG a[sizeof...(A) + 1] = {VqArg(args)...};
    AddInSetStatusV(StringID, (int)sizeof...(A), a);
}
template <typename... A>
inline void AddInFormatError(char *retString, STATUS StringID, A... args)
{
    VQARG a[sizeof...(A) + 1] = {VqArg(args)...};
    AddInFormatErrorV(retString, StringID, (int)sizeof...(A), a);
}
#endif

/* The gateway's entry point, defined by the add-in program. */
STATUS AddInMain(HMODULE hResourceModule, int argc, char *argv[]);

#endif /* VQ_RUNTIME_H */
