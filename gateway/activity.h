/*
 * activity.h - what the three activity passes (log import, purge, pending
 * queue listing) share privately: the view that finds a "Job Entry", the
 * width of the values written into it, the byte layout of the fax
 * server's queue file, the purge's search routine and the seam through
 * which tests drive the queue file's retry without waiting.
 */
#ifndef VQ_ACTIVITY_H
#define VQ_ACTIVITY_H

#include "vortiq.h"

/* ---- "Job Entry" notes (their items: vortiq.h) ---- */
#define ACT_VIEW_NAME "Pending by Job ID"
/* Every value is built in its own buffer of this size, so an item holds
 * at most 31 characters; longer source values are cut there. Values are
 * indexed JE_JOBID ... JE_SPEED. */
#define ACT_VALUE_SIZE 32
static_assert(ACT_VALUE_SIZE <= JOB_ENTRY_VALUE_SIZE, "a value row fits the writer");

/* The columns of an activity log line, as a scanf format. Each width keeps
 * its value within ACT_VALUE_SIZE; the "%[^\n]" columns keep inner and
 * trailing blanks. */
#define ACT_LINE_FORMAT "%4s %5s %5s %2[^\n]%c%2s %20[^\n] %11[^\n] %3s %4s%6[^\n]%4s%1s"

/* Splits the activity log line szData into the values JE_JOBID ...
 * JE_SPEED of fData and the final-entry marker *cFinal, exactly as
 * sscanf(szData, ACT_LINE_FORMAT, ...) assigns them (in item order, the
 * marker after JE_TYPE) once each is cleared: what the line does not
 * supply stays empty. The number of columns assigned. */
int SplitActivityLine(const char *szData, char fData[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE], char *cFinal);

/* Looks JobID up in the open view "Pending by Job ID" without case and
 * gives the note ID of its first entry in *idNote (0 when the view read
 * none). The status of NIFFindByName (ERR_NOT_FOUND when no entry has the
 * key) or, with *readFailed TRUE, of NIFReadEntries. Logs nothing. */
STATUS ActFindJobEntry(HCOLLECTION hcJobs, const char *JobID, NOTEID *idNote, BOOL *readFailed);

/* ---- the fax server's queue file (little-endian throughout) ---- */
#define QSIG_TEXT "TMB_FAX_LANQUEUE3.00"
#define QSIG_LEN 20          /* signature bytes at the start, no terminator */
#define QSIG_BUF_SIZE 24     /* szQSig: the signature read, zero-filled */
#define QENTRY_SIZE 384      /* one record */
/* QENTRY field offsets */
#define QENTRY_ID 0          /* uwId, unsigned 16-bit: the job number */
#define QENTRY_AID 2         /* uwAId: the fax server's own */
#define QENTRY_TIME 4        /* btTime, a BTIME of 6 bytes */
#define QENTRY_STAT 10       /* uwStat, unsigned 16-bit */
#define QENTRY_PRIORITY 12   /* uwPriority: the fax server's own */
#define QENTRY_ATTEMPTS 14   /* uwAttempts, unsigned 16-bit */
#define QENTRY_FROM 16       /* szFrom, 129 bytes, zero-terminated */
#define QENTRY_FROM_SIZE 129
#define QENTRY_PO 145        /* szPO: the fax server's own */
#define QENTRY_TEL 274       /* szTel, 49 bytes, zero-terminated */
#define QENTRY_TEL_SIZE 49
#define QENTRY_RESERVED 323  /* 61 bytes, the fax server's own */
/* BTIME field offsets (signed 8-bit each, then the year) */
#define BTIME_MINUTE 0
#define BTIME_HOUR 1
#define BTIME_DAY 2
#define BTIME_MONTH 3
#define BTIME_YEAR 4         /* signed 16-bit, not read */
#define QSTAT_ACTIVE 0x0002  /* uwStat: the job is being sent now */

/* The queue file's open is retried for this long (seconds). */
#define QUEUE_OPEN_SECONDS 30
/* Pause between two attempts, so that the retry does not spin. */
#define QUEUE_RETRY_PAUSE_MS 20
/* Bound on the attempts as well, so that a clock that stands still or
 * steps back cannot keep the retry going for ever: the number of pauses
 * that fill the retry time. */
#define QUEUE_MAX_ATTEMPTS (QUEUE_OPEN_SECONDS * 1000 / QUEUE_RETRY_PAUSE_MS)

/* Called between two attempts to open the queue file, after the pause,
 * when set. Null in the gateway; tests set it to move their clock. */
extern void (*AddPendingRetryHook)(void);

/* ---- purge ---- */
#define ACT_MAX_AGE_SECONDS 604800L /* seven days */

/* NSFSearch's routine of DelActivity: deletes the matching note when it
 * was last modified more than seven days ago. ForDB points to the open
 * database handle. 0 goes on with the search. */
STATUS CheckTime(void *ForDB, SEARCH_MATCH *SearchMatch, ITEM_TABLE *SummaryBuffer);

#endif /* VQ_ACTIVITY_H */
