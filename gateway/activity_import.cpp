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
 * be read again. A line is thus imported at least once, never lost: after
 * a failure the lines before it are imported a second time.
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
#include <cstring>

#include "activity.h"

/* One activity log line: at most 255 characters and the terminator. */
#define ACT_LINE_SIZE 256
/* The columns of a line. Each width keeps its value within ACT_VALUE_SIZE;
 * the "%[^\n]" columns keep inner and trailing blanks. */
static const char ActLineFormat[] =
    "%4s %5s %5s %2[^\n]%c%2s %20[^\n] %11[^\n] %3s %4s%6[^\n]%4s%1s";
#define ACT_FINAL_MARK '*'

/* What a line stopped on: go on with the next line, or stop the file. */
enum { LINE_NEXT = 0, LINE_STOP = 1 };

/* Splits one line into the twelve values and the final-entry marker.
 * Whatever the line does not supply stays empty. */
static void SplitActivityLine(const char *szData, char fData[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE],
                              char *cFinal)
{
    for (int i = 0; i < JOB_ENTRY_ITEMS; i++)
        fData[i][0] = '\0';
    /* Cleared as well: a line that ends right after its type must not
     * inherit the marker of the line before it. */
    *cFinal = '\0';
    (void)std::sscanf(szData, ActLineFormat, fData[JE_JOBID], fData[JE_DATE], fData[JE_TIME],
                      fData[JE_TYPE], cFinal, fData[JE_ATTEMPTS], fData[JE_TO],
                      fData[JE_FROM], fData[JE_PAGES], fData[JE_CODE],
                      fData[JE_EXPLANATION], fData[JE_CONNECTION], fData[JE_SPEED]);
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

/* Imports ACTIVITY.RD (ActivityRead) line by line, then closes it and
 * deletes it once every line is stored. LINE_STOP when the file could not
 * be opened or a line stopped the import; ACTIVITY.RD then stays on disk
 * for the next cycle, since deleting it would lose the lines not yet
 * stored. */
static int ImportActivityRead(DBHANDLE db_handle, HCOLLECTION hcJobs, const char *ActivityRead)
{
    FILE *ActivityFile = nullptr;
    char szData[ACT_LINE_SIZE];
    char fData[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE];
    char cFinal = '\0';
    int result = LINE_NEXT;

    ActivityFile = PortFopen(ActivityRead, "r+");
    if (ActivityFile == nullptr) {
        VqReportOnce(ActivityRead, std::strerror(errno), 1);
        return LINE_STOP;
    }
    while (PortFgets(szData, (int)sizeof szData, ActivityFile) != nullptr) {
        SplitActivityLine(szData, fData, &cFinal);
        if (std::strncmp(fData[JE_TYPE], "TX", 2) != 0)
            continue;
        result = StoreActivityLine(db_handle, hcJobs, fData, cFinal);
        if (result == LINE_STOP)
            break;
    }
    PortFclose(ActivityFile);
    if (result == LINE_STOP) {
        AddInLogError(VQM_DS0, NOERROR, "Activity.rd kept for the next cycle");
        return result;
    }
    /* A file left behind would be imported a second time next cycle. */
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
