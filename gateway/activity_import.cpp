/*
 * activity_import.cpp - ImportActivity: takes the fax server's activity
 * log (UTIL/DATA/ACTIVITY.LOG) over by renaming it to ACTIVITY.RD, turns
 * every "TX" line into a "Job Entry" note of the activity database and
 * deletes ACTIVITY.RD afterwards. A line marked final ("*" after its type)
 * overwrites the entry that "Pending by Job ID" holds for its job.
 *
 * A leftover ACTIVITY.RD (the open failed, a line could not be stored, or
 * the task ended between the rename and the delete) is imported first and
 * deleted; otherwise every later rename would fail and the log would never
 * be read again. Entries are committed in chunks together with the offset
 * reached in the file (see the progress note below), so a line is
 * imported exactly once: after a failure or a crash the import goes on at
 * the first line not stored.
 *
 * The fax server may append to ACTIVITY.LOG in place while it holds an
 * exclusive flock on it: the log is renamed only under that lock, and a
 * log held locked waits for the next cycle. A log or reading file that
 * cannot be used at all (a link, a folder, a FIFO, no permission) is
 * reported once, to the administrator too, and left alone.
 *
 * Reports through 13164, 13146, 13120, 13121, 13122, 13124, 13128, 13130.
 */
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "activity.h"

/* One activity log line: at most 255 characters and the terminator. */
#define ACT_LINE_SIZE 256
#define ACT_FINAL_MARK '*'
/* A chunk of the import: committed after this many entries or seconds. */
#define ACT_CHUNK_LINES 100
#define ACT_CHUNK_SECONDS 1
/* The progress note and its items. */
#define ACT_PROGRESS_TITLE "VortiqImport"
#define ACT_PROGRESS_FILE "VortiqFile"
#define ACT_PROGRESS_OFFSET "VortiqOffset"
#define ACT_FILE_ID_SIZE 64
/* The reading file is read in blocks of this size: a log of 10,000 lines
 * is some 750 KB, which the stream's default 4 KB would fetch in 190
 * reads. */
#define ACT_READ_BUFFER 65536

/* What a line stopped on: go on with the next line, or stop the file. */
enum { LINE_NEXT = 0, LINE_STOP = 1 };

/* ---- splitting a line into its columns ----
 * The columns are those of ACT_LINE_FORMAT (activity.h), read by hand with
 * exactly its rules: one conversion after the other until the line stops
 * matching. */

/* How a column is read. */
enum {
    COL_WORD = 0, /* "%Ns": skips blanks, then up to N non-blanks */
    COL_TEXT = 1, /* "%N[^\n]": up to N characters before the line end; fails on none */
    COL_CHAR = 2  /* "%c": any one character, into the final-entry marker */
};

/* One column: how it is read, whether a blank of the format comes before
 * it (which skips any run of blanks, none included), its width and the
 * value it fills (JE_ index; the marker for COL_CHAR). */
typedef struct {
    int Kind;
    int SkipBefore;
    int Width;
    int Item;
} ACTCOLUMN;

static const ACTCOLUMN ActColumns[] = {
    {COL_WORD, 0, 4, JE_JOBID},        /* %4s      */
    {COL_WORD, 1, 5, JE_DATE},         /* " %5s"   */
    {COL_WORD, 1, 5, JE_TIME},         /* " %5s"   */
    {COL_TEXT, 1, 2, JE_TYPE},         /* " %2[^\n]" */
    {COL_CHAR, 0, 1, -1},              /* %c       */
    {COL_WORD, 0, 2, JE_ATTEMPTS},     /* %2s      */
    {COL_TEXT, 1, 20, JE_TO},          /* " %20[^\n]" */
    {COL_TEXT, 1, 11, JE_FROM},        /* " %11[^\n]" */
    {COL_WORD, 1, 3, JE_PAGES},        /* " %3s"   */
    {COL_WORD, 1, 4, JE_CODE},         /* " %4s"   */
    {COL_TEXT, 0, 6, JE_EXPLANATION},  /* %6[^\n]  */
    {COL_WORD, 0, 4, JE_CONNECTION},   /* %4s      */
    {COL_WORD, 0, 1, JE_SPEED},        /* %1s      */
};
static_assert(sizeof ActColumns / sizeof ActColumns[0] == JOB_ENTRY_ITEMS + 1,
              "one column per value and the marker");

/* Blanks as the scanner of the C library knows them in the "C" locale,
 * which the gateway never changes: blank, tab, line feed, vertical tab,
 * form feed, carriage return. */
static int ActIsBlank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/* Reads one column at *pszAt into Value (or *cFinal), copying as it
 * scans, and moves *pszAt past it. 0 when the line does not supply it
 * (the value is then untouched). */
static inline int ReadActColumn(const ACTCOLUMN *Column, const char **pszAt, char *Value,
                                char *cFinal)
{
    const char *At = *pszAt;
    int n = 0;

    if (Column->SkipBefore || Column->Kind == COL_WORD)
        while (ActIsBlank(*At))
            At++;
    if (*At == '\0')
        return 0;
    if (Column->Kind == COL_CHAR) {
        *cFinal = *At;
        *pszAt = At + 1;
        return 1;
    }
    /* A character above the blank range goes on in either kind: one test
     * for most of them. */
    if (Column->Kind == COL_WORD)
        for (unsigned char c = (unsigned char)At[0];
             n < Column->Width && (c > ' ' || (c != '\0' && !ActIsBlank((char)c)));
             c = (unsigned char)At[++n])
            Value[n] = (char)c;
    else
        for (unsigned char c = (unsigned char)At[0];
             n < Column->Width && (c > '\n' || (c != '\0' && c != '\n'));
             c = (unsigned char)At[++n])
            Value[n] = (char)c;
    if (n == 0)
        return 0;
    Value[n] = '\0';
    *pszAt = At + n;
    return 1;
}

/* Splits one line into the twelve values and the final-entry marker.
 * Whatever the line does not supply is emptied, once the line stops
 * matching. */
int SplitActivityLine(const char *szData, char fData[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE], char *cFinal)
{
    const int Columns = (int)(sizeof ActColumns / sizeof ActColumns[0]);
    const char *At = szData;
    int Assigned = 0;

    /* Unrolled, so that each column is read by code made for its kind
     * and width. */
#pragma GCC unroll 16
    for (int i = 0; i < Columns; i++) {
        const ACTCOLUMN *Column = &ActColumns[i];
        char *Value = Column->Kind == COL_CHAR ? nullptr : fData[Column->Item];
        if (!ReadActColumn(Column, &At, Value, cFinal))
            break;
        Assigned++;
    }
    for (int i = Assigned; i < Columns; i++) {
        /* The marker too: a line that ends right after its type must not
         * inherit the marker of the line before it. */
        if (ActColumns[i].Kind == COL_CHAR)
            *cFinal = '\0';
        else
            fData[ActColumns[i].Item][0] = '\0';
    }
    return Assigned;
}

/* Opens the entry that "Pending by Job ID" holds for JobID into
 * *note_handle, or leaves it none when there is no such entry. LINE_STOP
 * (logged) when the lookup fails. */
static int FindFinalEntry(DBHANDLE db_handle, HCOLLECTION hcJobs, const char *JobID,
                          NOTEHANDLE *note_handle)
{
    NOTEID idNote = 0;
    BOOL readFailed = FALSE;
    STATUS error = ActFindJobEntry(hcJobs, JobID, &idNote, &readFailed);

    if (!readFailed && ERR(error) == ERR_NOT_FOUND)
        return LINE_NEXT;
    if (error != NOERROR) {
        if (readFailed)
            AddInLogError(VQM_ENTRY_ERROR, error, nullptr);
        else
            AddInLogError(VQM_ENTRY_SEARCH_ERROR, error, JobID);
        return LINE_STOP;
    }
    if (idNote == 0)
        return LINE_NEXT; /* as if the job had not been found */
    error = NSFNoteOpen(db_handle, idNote, 0, note_handle);
    if (error != NOERROR) {
        *note_handle = NULLHANDLE;
        AddInLogError(VQM_NOTE_NOT_OPENED, error, nullptr);
        return LINE_STOP;
    }
    return LINE_NEXT;
}

/* Writes one split "TX" line into its entry: the found one for a final
 * line, else a new one. LINE_STOP (logged) on any failure. */
static int StoreActivityLine(DBHANDLE db_handle, HCOLLECTION hcJobs,
                             char fData[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE], char cFinal)
{
    NOTEHANDLE note_handle = NULLHANDLE;
    JOBENTRYFAIL Fail;
    STATUS error = NOERROR;

    if (cFinal == ACT_FINAL_MARK &&
        FindFinalEntry(db_handle, hcJobs, fData[JE_JOBID], &note_handle) == LINE_STOP)
        return LINE_STOP;
    error = WriteJobEntry(db_handle, note_handle, fData[0], ACT_VALUE_SIZE, &Fail);
    if (error != NOERROR) {
        AddInLogError(VQM_DS0, error, JobEntryStepText(Fail.Step));
        return LINE_STOP;
    }
    return LINE_NEXT;
}

/* ---- where the import of a reading file stands ----
 * One note of the activity database (class INFO, so no search, view or
 * purge of documents meets it) names the reading file by its identity and
 * the offset up to which its lines are stored. It is written in the same
 * group commit as the entries of those lines, so after a stop or a crash
 * the import goes on at exactly the first line not stored. */

/* Text of an item of the progress note, "" when missing. */
static void ProgressText(NOTEHANDLE hNote, const char *Item, char *Text, WORD TextSize)
{
    Text[0] = '\0';
    NSFItemGetText(hNote, Item, Text, TextSize);
}

/* The offset stored for the file FileId; 0 when the note names another
 * file, or there is none. */
static long ReadImportOffset(DBHANDLE db_handle, const char *FileId)
{
    NOTEID idNote = 0;
    NOTEHANDLE hNote = NULLHANDLE;
    char Stored[ACT_FILE_ID_SIZE];
    char Offset[ACT_FILE_ID_SIZE];
    long Result = 0;

    if (NIFFindDesignNote(db_handle, ACT_PROGRESS_TITLE, NOTE_CLASS_INFO, &idNote) != NOERROR ||
        NSFNoteOpen(db_handle, idNote, 0, &hNote) != NOERROR)
        return 0;
    ProgressText(hNote, ACT_PROGRESS_FILE, Stored, sizeof Stored);
    ProgressText(hNote, ACT_PROGRESS_OFFSET, Offset, sizeof Offset);
    if (std::strcmp(Stored, FileId) == 0)
        Result = std::atol(Offset);
    NSFNoteClose(hNote);
    return Result < 0 ? 0 : Result;
}

/* Stores FileId and Offset in the progress note (made when missing). */
static STATUS WriteImportOffset(DBHANDLE db_handle, const char *FileId, long Offset)
{
    NOTEID idNote = 0;
    NOTEHANDLE hNote = NULLHANDLE;
    char Text[ACT_FILE_ID_SIZE];
    const WORD InfoClass = NOTE_CLASS_INFO;
    STATUS error = NOERROR;

    if (NIFFindDesignNote(db_handle, ACT_PROGRESS_TITLE, NOTE_CLASS_INFO, &idNote) == NOERROR)
        error = NSFNoteOpen(db_handle, idNote, 0, &hNote);
    else
        error = NSFNoteCreate(db_handle, &hNote);
    if (error != NOERROR)
        return error;
    NSFNoteSetInfo(hNote, _NOTE_CLASS, &InfoClass);
    VqFormat(Text, sizeof Text, "%ld", Offset);
    error = NSFItemSetText(hNote, "$TITLE", ACT_PROGRESS_TITLE, MAXWORD);
    if (error == NOERROR)
        error = NSFItemSetText(hNote, ACT_PROGRESS_FILE, FileId, MAXWORD);
    if (error == NOERROR)
        error = NSFItemSetText(hNote, ACT_PROGRESS_OFFSET, Text, MAXWORD);
    if (error == NOERROR)
        error = NSFNoteUpdate(hNote, 0);
    NSFNoteClose(hNote);
    return error;
}

/* Ends a chunk: the offset reached joins the chunk's entries, and all of
 * it is committed at once. LINE_STOP (logged) when it could not be. */
static int CommitChunk(DBHANDLE db_handle, const char *FileId, long Offset)
{
    STATUS error = WriteImportOffset(db_handle, FileId, Offset);

    if (error != NOERROR) {
        VqDbAbortBatch(db_handle);
        AddInLogError(VQM_DS0, error, "Error storing the activity import offset");
        return LINE_STOP;
    }
    error = VqDbCommitBatch(db_handle);
    if (error != NOERROR) {
        AddInLogError(VQM_DS0, error, "Error committing activity entries");
        return LINE_STOP;
    }
    return LINE_NEXT;
}

/* Imports ACTIVITY.RD (ActivityRead) from the first line not yet stored,
 * in chunks of ACT_CHUNK_LINES entries or ACT_CHUNK_SECONDS, then closes
 * it and deletes it once every line is stored. LINE_STOP when the file
 * could not be opened or a line stopped the import; ACTIVITY.RD then
 * stays on disk for the next cycle, which goes on after the last line
 * stored. */
static int ImportActivityRead(DBHANDLE db_handle, HCOLLECTION hcJobs, const char *ActivityRead)
{
    FILE *ActivityFile = nullptr;
    char *ReadBuffer = nullptr;
    char szData[ACT_LINE_SIZE];
    char fData[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE];
    char FileId[ACT_FILE_ID_SIZE];
    char cFinal = '\0';
    int result = LINE_NEXT;
    long Offset = 0;
    int ChunkLines = 0;
    int Batch = 0; /* 1 while a chunk is open */
    time_t ChunkStart = 0;
    STATUS error = NOERROR;

    ActivityFile = PortFopen(ActivityRead, "r+");
    if (ActivityFile == nullptr) {
        VqReportOnce(ActivityRead, std::strerror(errno), 1);
        return LINE_STOP;
    }
    /* Given before the first read, as the stream requires; the C library
     * would size its own by the file system's block. When the memory
     * cannot be had, the stream keeps its own buffer. */
    ReadBuffer = (char *)std::malloc(ACT_READ_BUFFER);
    if (ReadBuffer != nullptr && std::setvbuf(ActivityFile, ReadBuffer, _IOFBF, ACT_READ_BUFFER) != 0) {
        std::free(ReadBuffer);
        ReadBuffer = nullptr;
    }
    if (PortFileIdentity(ActivityRead, FileId, sizeof FileId) != 0)
        FileId[0] = '\0';
    Offset = FileId[0] != '\0' ? ReadImportOffset(db_handle, FileId) : 0;
    /* Sought even to 0: a stream opened on a descriptor does not know its
     * position until then, and every ftell below would ask the system. */
    if (std::fseek(ActivityFile, Offset, SEEK_SET) != 0) {
        Offset = 0;
        std::rewind(ActivityFile);
    }
    error = VqDbBeginBatch(db_handle);
    if (error != NOERROR) {
        AddInLogError(VQM_DS0, error, "Error committing activity entries");
        result = LINE_STOP;
    }
    Batch = error == NOERROR;
    ChunkStart = std::time(nullptr);
    while (result == LINE_NEXT &&
           PortFgets(szData, (int)sizeof szData, ActivityFile) != nullptr) {
        (void)SplitActivityLine(szData, fData, &cFinal);
        if (std::strncmp(fData[JE_TYPE], "TX", 2) == 0) {
            result = StoreActivityLine(db_handle, hcJobs, fData, cFinal);
            if (result == LINE_STOP)
                break;
            ChunkLines++;
        }
        Offset = std::ftell(ActivityFile);
        if (ChunkLines >= ACT_CHUNK_LINES || std::time(nullptr) - ChunkStart >= ACT_CHUNK_SECONDS) {
            result = CommitChunk(db_handle, FileId, Offset);
            Batch = 0;
            if (result == LINE_NEXT && (error = VqDbBeginBatch(db_handle)) != NOERROR) {
                AddInLogError(VQM_DS0, error, "Error committing activity entries");
                result = LINE_STOP;
            }
            Batch = result == LINE_NEXT;
            ChunkLines = 0;
            ChunkStart = std::time(nullptr);
        }
    }
    /* The lines stored before a stop are kept, with the offset after them. */
    if (Batch && CommitChunk(db_handle, FileId, Offset) == LINE_STOP)
        result = LINE_STOP;
    PortFclose(ActivityFile);
    std::free(ReadBuffer);
    if (result == LINE_STOP) {
        AddInLogError(VQM_DS0, NOERROR, "Activity.rd kept for the next cycle");
        return result;
    }
    /* A file left behind would be read again next cycle (from its end). */
    if (PortUnlink(ActivityRead) != 0)
        AddInLogError(VQM_DS0, NOERROR, "Can not delete Activity.rd");
    return result;
}

/* The activity log import pass. Returns 0, or the status that made the
 * database, view or collection unusable (E_quit is then set). */
STATUS ImportActivity(void)
{
    DBHANDLE db_handle = NULLHANDLE;
    NOTEID idView = 0;
    HCOLLECTION hcJobs = 0;
    STATUS error = NOERROR;
    STATUS closeErr = NOERROR;
    char ActivityLog[VQ_PATH_SIZE];
    char ActivityRead[VQ_PATH_SIZE];
    char FileId[ACT_FILE_ID_SIZE];
    int hLog = -1;
    int renamed = 0;

    error = NSFDbOpen(ActLogNsf, &db_handle);
    if (error != NOERROR) {
        db_handle = NULLHANDLE;
        AddInLogError(VQM_DS0, error, "Error Opening Acticity DB");
        E_quit = 1;
        return error;
    }
    error = NIFFindDesignNote(db_handle, ACT_VIEW_NAME, NOTE_CLASS_VIEW, &idView);
    if (error != NOERROR) {
        E_quit = 1;
        AddInLogError(VQM_VIEW_NOT_FOUND, error, ACT_VIEW_NAME);
        goto EndImportActivity;
    }
    error = NIFOpenCollection(db_handle, db_handle, idView, OPEN_REBUILD_INDEX, NULLHANDLE,
                              &hcJobs, nullptr, nullptr, nullptr, nullptr);
    if (error != NOERROR) {
        hcJobs = 0;
        E_quit = 1;
        AddInLogError(VQM_COLLECTION_ERROR, error, ACT_VIEW_NAME);
        goto EndImportActivity;
    }

    /* Paths that do not fit are treated as missing files: nothing is
     * renamed or read under a cut name. */
    if (SpoolWholePath(ActivityLog, sizeof ActivityLog, SPOOL_ACTIVITY_LOG) != 0 ||
        SpoolWholePath(ActivityRead, sizeof ActivityRead, SPOOL_ACTIVITY_RD) != 0)
        goto CloseCollImportActivity;

    /* A leftover from an earlier cycle first. When it could not be read to
     * its end, ACTIVITY.LOG waits for the next cycle rather than meet the
     * same failure and lose its lines too. */
    if (PortLexists(ActivityRead) &&
        ImportActivityRead(db_handle, hcJobs, ActivityRead) == LINE_STOP)
        goto CloseCollImportActivity;

    if (!PortLexists(ActivityLog))
        goto CloseCollImportActivity;
    /* Renamed under the writer's lock, so no line is appended to the file
     * once it has its reading name. */
    hLog = PortSopenExclusive(ActivityLog);
    if (hLog < 0) {
        if (errno != EWOULDBLOCK && errno != ENOENT)
            VqReportOnce(ActivityLog, std::strerror(errno), 1);
        goto CloseCollImportActivity;
    }
    /* A new reading file starts at its first line: said before the rename,
     * so that a file that reuses an old one's identity never resumes at
     * the old one's offset. */
    if (PortFileIdentity(ActivityLog, FileId, sizeof FileId) != 0 ||
        WriteImportOffset(db_handle, FileId, 0) != NOERROR) {
        PortClose(hLog);
        AddInLogError(VQM_DS0, NOERROR, "Can not create Activity.rd");
        goto CloseCollImportActivity;
    }
    /* Never replaces: the fax server appends to ACTIVITY.LOG only, and a
     * file already under the reading name is someone else's. */
    renamed = PortRename(ActivityLog, ActivityRead) == 0;
    PortClose(hLog);
    if (!renamed) {
        AddInLogError(VQM_DS0, NOERROR, "Can not create Activity.rd");
        goto CloseCollImportActivity;
    }
    (void)ImportActivityRead(db_handle, hcJobs, ActivityRead);

CloseCollImportActivity:
    error = NIFCloseCollection(hcJobs);
    if (error != NOERROR)
        AddInLogError(VQM_VIEW_CLOSE_ERROR, error, ACT_VIEW_NAME);
    error = NOERROR;

EndImportActivity:
    closeErr = NSFDbClose(db_handle);
    if (closeErr != NOERROR)
        AddInLogError(VQM_DS0, closeErr, "Error closing DB");
    return error;
}
