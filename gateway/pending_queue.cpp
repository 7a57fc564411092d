/*
 * pending_queue.cpp - AddPending: lists the fax server's queue of waiting
 * jobs (PUBLIC/SVCQ) into the activity database, one "Job Entry" per job,
 * created when the job has none yet and overwritten when it has.
 *
 * The queue file is opened exclusively (an advisory lock that the fax
 * server takes too), retried for 30 seconds, and held for the whole
 * listing. The gateway only reads it: never writes, truncates or deletes.
 * Records are decoded byte by byte (little-endian), never by casting.
 *
 * Reports through 13112, 13119, 13120, 13121, 13122, 13123, 13124 to
 * 13130, 13111, 13146.
 */
#include <cerrno>
#include <cstring>

#include "activity.h"

#define ERR_DISPLAY_SIZE 128 /* szErrDisplay */

void (*AddPendingRetryHook)(void) = nullptr;

/* Records stored per group commit. */
#define QUEUE_CHUNK 100

/* One queue record, decoded; only the fields the gateway reads. */
typedef struct {
    WORD uwId;
    signed char cMinute;
    signed char cHour;
    signed char cDay;
    signed char cMonth;
    WORD uwStat;
    WORD uwAttempts;
    char szFrom[QENTRY_FROM_SIZE];
    char szTel[QENTRY_TEL_SIZE];
} QENTRY;

static WORD GetWordLE(const unsigned char *p)
{
    return (WORD)(p[0] | (p[1] << 8));
}

/* Decodes a 384-byte record. The texts stop at their terminator or at
 * the end of their field, whichever comes first. */
static void DecodeQEntry(const unsigned char *Raw, QENTRY *Qentry)
{
    const unsigned char *bt = Raw + QENTRY_TIME;

    Qentry->uwId = GetWordLE(Raw + QENTRY_ID);
    Qentry->cMinute = (signed char)bt[BTIME_MINUTE];
    Qentry->cHour = (signed char)bt[BTIME_HOUR];
    Qentry->cDay = (signed char)bt[BTIME_DAY];
    Qentry->cMonth = (signed char)bt[BTIME_MONTH];
    Qentry->uwStat = GetWordLE(Raw + QENTRY_STAT);
    Qentry->uwAttempts = GetWordLE(Raw + QENTRY_ATTEMPTS);
    VqCopyN(Qentry->szFrom, sizeof Qentry->szFrom, (const char *)Raw + QENTRY_FROM,
            QENTRY_FROM_SIZE);
    VqCopyN(Qentry->szTel, sizeof Qentry->szTel, (const char *)Raw + QENTRY_TEL, QENTRY_TEL_SIZE);
}

/* The twelve item values of a record, each cut at ACT_VALUE_SIZE - 1. */
static void FormatQEntry(const QENTRY *Qentry, char szFData[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE])
{
    VqFormat(szFData[JE_JOBID], ACT_VALUE_SIZE, "%.4d", (int)Qentry->uwId);
    VqFormat(szFData[JE_DATE], ACT_VALUE_SIZE, "%.2d/%.2d", (int)Qentry->cMonth,
             (int)Qentry->cDay);
    VqFormat(szFData[JE_TIME], ACT_VALUE_SIZE, "%.2d:%.2d", (int)Qentry->cHour,
             (int)Qentry->cMinute);
    VqCopy(szFData[JE_TYPE], ACT_VALUE_SIZE, "TX");
    VqFormat(szFData[JE_ATTEMPTS], ACT_VALUE_SIZE, "%.2d", (int)Qentry->uwAttempts);
    VqCopy(szFData[JE_TO], ACT_VALUE_SIZE, Qentry->szTel);
    VqCopy(szFData[JE_FROM], ACT_VALUE_SIZE, Qentry->szFrom);
    VqCopy(szFData[JE_PAGES], ACT_VALUE_SIZE, " ");
    VqCopy(szFData[JE_CODE], ACT_VALUE_SIZE, " ");
    VqCopy(szFData[JE_EXPLANATION], ACT_VALUE_SIZE,
           (Qentry->uwStat & QSTAT_ACTIVE) ? "Active" : "Pending");
    VqCopy(szFData[JE_CONNECTION], ACT_VALUE_SIZE, " ");
    VqCopy(szFData[JE_SPEED], ACT_VALUE_SIZE, " ");
}

static void LogErrno(int Errno)
{
    char szErrDisplay[ERR_DISPLAY_SIZE];

    VqFormat(szErrDisplay, sizeof szErrDisplay, "Errno = %d ", Errno);
    AddInLogError(VQM_DS0, NOERROR, szErrDisplay);
}

/* Reads up to Size bytes, going on after short reads; the count read
 * (less than Size only at the end of the file), or -1 on a read error. */
static long ReadFull(int hFile, unsigned char *Buffer, size_t Size)
{
    size_t got = 0;
    long n = 0;

    while (got < Size) {
        n = PortRead(hFile, Buffer + got, Size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += (size_t)n;
    }
    return (long)got;
}

/* Opens the queue file exclusively, retrying while another process holds
 * it, for QUEUE_OPEN_SECONDS. The handle, or -1 with *pErrno set. */
static int OpenQueueFile(const char *szSvcq, int *pErrno)
{
    int hSvcq = -1;
    int64_t tBeg = VqTimeSeconds();
    int64_t tNow = tBeg;
    long attempts = 0;

    for (;;) {
        hSvcq = PortSopenExclusive(szSvcq);
        if (hSvcq >= 0)
            return hSvcq;
        *pErrno = errno;
        /* a link or a special file stays what it is: not waited for */
        if (*pErrno == ELOOP || *pErrno == EISDIR || *pErrno == ENXIO || tNow - tBeg >= QUEUE_OPEN_SECONDS || ++attempts >= QUEUE_MAX_ATTEMPTS)
            return -1;
        /* A short pause lets the fax server finish its write instead of
         * spinning against its lock. */
        PortSleepMs(QUEUE_RETRY_PAUSE_MS);
        if (AddPendingRetryHook != nullptr)
            AddPendingRetryHook();
        tNow = VqTimeSeconds();
    }
}

/* Opens the entry "Pending by Job ID" holds for the job, or a new note,
 * into *hnNote. FALSE (logged) when the listing must stop. */
static BOOL OpenJobEntry(DBHANDLE NameDB, HCOLLECTION hcJobs, const char *szJobID,
                         NOTEHANDLE *hnNote)
{
    NOTEID idNote = 0;
    BOOL readFailed = FALSE;
    STATUS NotesErr = NOERROR;

    *hnNote = NULLHANDLE;
    NotesErr = ActFindJobEntry(hcJobs, szJobID, &idNote, &readFailed);
    if (!readFailed && ERR(NotesErr) == ERR_NOT_FOUND) {
        NotesErr = NSFNoteCreate(NameDB, hnNote);
        if (NotesErr != NOERROR) {
            *hnNote = NULLHANDLE;
            AddInLogError(VQM_NOTE_CREATE_ERROR, NotesErr, nullptr);
            return FALSE;
        }
        return TRUE;
    }
    if (NotesErr != NOERROR) {
        if (readFailed)
            AddInLogError(VQM_ENTRY_ERROR, NotesErr, nullptr);
        else
            AddInLogError(VQM_ENTRY_SEARCH_ERROR, NotesErr, szJobID);
        return FALSE;
    }
    if (idNote == 0) {
        AddInLogError(VQM_ENTRY_NOT_FOUND, NOERROR, nullptr);
        return FALSE;
    }
    NotesErr = NSFNoteOpen(NameDB, idNote, 0, hnNote);
    if (NotesErr != NOERROR) {
        *hnNote = NULLHANDLE;
        AddInLogError(VQM_NOTE_NOT_OPENED, NotesErr, nullptr);
        return FALSE;
    }
    return TRUE;
}

/* Writes one record into its entry. FALSE (logged) when the listing must
 * stop; a failed close alone is logged and the listing goes on. */
static BOOL StoreQEntry(DBHANDLE NameDB, HCOLLECTION hcJobs, const QENTRY *Qentry)
{
    char szFData[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE];
    NOTEHANDLE hnNote = NULLHANDLE;
    JOBENTRYFAIL Fail;
    STATUS NotesErr = NOERROR;

    FormatQEntry(Qentry, szFData);
    if (!OpenJobEntry(NameDB, hcJobs, szFData[JE_JOBID], &hnNote))
        return FALSE;
    NotesErr = WriteJobEntry(NameDB, hnNote, szFData[0], ACT_VALUE_SIZE, &Fail);
    switch (Fail.Step) {
    case JE_STEP_NONE:
        return TRUE;
    case JE_STEP_CLOSE:
        AddInLogError(VQM_NOTE_CLOSE_ERROR, NotesErr, nullptr);
        return TRUE;
    case JE_STEP_FORM:
        AddInLogError(VQM_ITEM_SET_ERROR, NotesErr, JobEntryStepText(Fail.Step));
        return FALSE;
    case JE_STEP_ITEM:
        AddInLogError(VQM_ITEM_SET_ERROR, NotesErr, JobEntryItems[Fail.Item]);
        return FALSE;
    case JE_STEP_UPDATE:
    default: /* hnNote is open: WriteJobEntry creates none */
        AddInLogError(VQM_NOTE_UPDATE_ERROR, NotesErr, nullptr);
        return FALSE;
    }
}

/* Commits a chunk of the listing; a failure is logged. */
static void CommitQueueChunk(DBHANDLE NameDB)
{
    STATUS NotesErr = VqDbCommitBatch(NameDB);

    if (NotesErr != NOERROR)
        AddInLogError(VQM_NOTE_UPDATE_ERROR, NotesErr, nullptr);
}

/* The pending queue listing pass. Returns 0, or the status that made the
 * database, view or collection unusable (E_quit is then set). */
int AddPending(void)
{
    DBHANDLE NameDB = NULLHANDLE;
    int hSvcq = -1;
    char szSvcq[VQ_PATH_SIZE];
    char szQSig[QSIG_BUF_SIZE];
    unsigned char Raw[QENTRY_SIZE];
    QENTRY Qentry;
    NOTEID idView = 0;
    HCOLLECTION hcJobs = 0;
    STATUS NotesErr = NOERROR;
    STATUS closeErr = NOERROR;
    int openErrno = 0;
    long n = 0;
    char szErrDisplay[ERR_DISPLAY_SIZE];
    int Batch = 0;
    int Chunk = 0;

    NotesErr = NSFDbOpen(ActLogNsf, &NameDB);
    if (NotesErr != NOERROR) {
        E_quit = 1;
        AddInLogError(VQM_DB_OPEN_ERROR, NotesErr, ActLogNsf);
        return NotesErr;
    }
    NotesErr = NOERROR;

    if (SpoolWholePath(szSvcq, sizeof szSvcq, SPOOL_SVCQ) != 0) {
        AddInLogError(VQM_QUEUE_NOT_OPENED, NOERROR, szSvcq);
        LogErrno(ENAMETOOLONG);
        goto EndAddPending;
    }
    hSvcq = OpenQueueFile(szSvcq, &openErrno);
    if (hSvcq < 0) {
        AddInLogError(VQM_QUEUE_NOT_OPENED, NOERROR, szSvcq);
        LogErrno(openErrno);
        goto EndAddPending;
    }

    std::memset(szQSig, 0, sizeof szQSig);
    if (ReadFull(hSvcq, (unsigned char *)szQSig, QSIG_LEN) < 0)
        LogErrno(errno);
    /* strncmp stops at a zero byte: a short signature is a mismatch. */
    if (std::strncmp(szQSig, QSIG_TEXT, QSIG_LEN) != 0) {
        AddInLogError(VQM_BAD_SIGNATURE, NOERROR, szQSig);
        goto EndAddPending;
    }

    NotesErr = NIFFindDesignNote(NameDB, ACT_VIEW_NAME, NOTE_CLASS_VIEW, &idView);
    if (NotesErr != NOERROR) {
        E_quit = 1;
        AddInLogError(VQM_VIEW_NOT_FOUND, NotesErr, ACT_VIEW_NAME);
        goto EndAddPending;
    }
    NotesErr = NIFOpenCollection(NameDB, NameDB, idView, OPEN_REBUILD_INDEX, NULLHANDLE, &hcJobs,
                                 nullptr, nullptr, nullptr, nullptr);
    if (NotesErr != NOERROR) {
        hcJobs = 0;
        E_quit = 1;
        AddInLogError(VQM_COLLECTION_ERROR, NotesErr, ACT_VIEW_NAME);
        goto EndAddPending;
    }
    if (hcJobs == 0)
        goto EndAddPending;

    /* Stored in group commits of QUEUE_CHUNK records: the listing is
     * written again at every cycle, so a chunk lost to a failed commit
     * comes back with the next one. */
    Batch = VqDbBeginBatch(NameDB) == NOERROR;
    for (;;) {
        if (Batch && ++Chunk > QUEUE_CHUNK) {
            CommitQueueChunk(NameDB);
            Batch = VqDbBeginBatch(NameDB) == NOERROR;
            Chunk = 1;
        }
        n = ReadFull(hSvcq, Raw, sizeof Raw);
        if (n < (long)sizeof Raw) {
            if (n < 0)
                LogErrno(errno);
            if (n != 0) {
                VqFormat(szErrDisplay, sizeof szErrDisplay, "%ld left over bytes in SVCQ", n);
                AddInLogError(VQM_DS0, NOERROR, szErrDisplay);
            }
            break;
        }
        DecodeQEntry(Raw, &Qentry);
        if (!StoreQEntry(NameDB, hcJobs, &Qentry))
            break;
    }
    if (Batch)
        CommitQueueChunk(NameDB);

    closeErr = NIFCloseCollection(hcJobs);
    if (closeErr != NOERROR)
        AddInLogError(VQM_VIEW_CLOSE_ERROR, closeErr, ACT_VIEW_NAME);

EndAddPending:
    if (hSvcq >= 0 && PortClose(hSvcq) != 0)
        LogErrno(errno);
    closeErr = NSFDbClose(NameDB);
    if (closeErr != NOERROR)
        AddInLogError(VQM_DS0, closeErr, " ");
    return NotesErr;
}
