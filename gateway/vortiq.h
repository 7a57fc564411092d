/*
 * vortiq.h - what the parts of the gateway share: the configuration
 * globals, the stop flag, the spool layout, the passes the loop calls, the
 * routines one subsystem offers another, and the bounded text helpers.
 */
#ifndef VORTIQ_H
#define VORTIQ_H

#include <stddef.h>

#include "notesapi.h"
#include "vq_port.h"
#include "vqmsg.h"

/* ---- field widths (buffer sizes, terminator included) ---- */
#define VQ_DOMAIN_SIZE 33    /* GatewayDomain */
#define VQ_PATH_SIZE 261     /* GatewayPath and the other file names */
#define VQ_DRIVE_SIZE 8      /* GatewayDrive */
#define VQ_NAME_SIZE 257     /* user names and mail addresses */
#define VQ_FILE_PATH 260     /* a joined path (PORT_MAX_PATH) */

/* ---- configuration globals: written once by AddInMain ---- */
extern char GatewayDomain[VQ_DOMAIN_SIZE];
extern char GatewayPath[VQ_PATH_SIZE];
extern char GatewayDrive[VQ_DRIVE_SIZE];
extern char GatewayMsgfile[VQ_PATH_SIZE];
extern char FaxAdministrator[VQ_NAME_SIZE];
extern char DefRecipient[VQ_NAME_SIZE];
extern char ActLogNsf[VQ_PATH_SIZE];
extern char szNameNsf[VQ_PATH_SIZE];
extern DBHANDLE hMessageFile;
extern HMODULE hModule;
/* Set to 1 by a pass that found the environment broken; the loop ends
 * the task at its next turn. */
extern int E_quit;
/* Hours a retryable fault (a full disk, a busy database) may last before
 * it counts as permanent: notes.ini VortiqRetryMaxHours, default 24. */
#define VQ_DEFAULT_RETRY_MAX_HOURS 24L
extern long RetryMaxHours;

/* ---- spool layout below GatewayPath ---- */
#define SPOOL_ROOT_NAME "TMBFAX"
#define SPOOL_FAX_IN "/FAX/IN"
#define SPOOL_FAX_IPARCEL "/FAX/IPARCEL"
#define SPOOL_FAX_OUT "/FAX/OUT"
#define SPOOL_FAX_OPARCEL "/FAX/OPARCEL"
#define SPOOL_FAX_ERROR "/FAX/ERROR"
#define SPOOL_SVCQ "/PUBLIC/SVCQ"
#define SPOOL_ACTIVITY_LOG "/UTIL/DATA/ACTIVITY.LOG"
#define SPOOL_ACTIVITY_RD "/UTIL/DATA/ACTIVITY.RD"

/* Whole form: GatewayPath followed by Suffix. 0, or -1 when it would not
 * fit Size (Out is then empty). */
int SpoolWholePath(char *Out, size_t Size, const char *Suffix);
/* Split form's directory: GatewayPath after its drive part, followed by
 * Suffix. 0 or -1 as above. */
int SpoolSplitDir(char *Out, size_t Size, const char *Suffix);

/* A fresh file name "%.8d" + Ext in Dir on Drive (not created).
 * 0, or VQM_NO_UNIQUE_NAME (13078) with FileName empty. FileName holds
 * VQ_FILE_PATH bytes. A name that does not fit is also 13078. */
STATUS GetUniqueFileName(const char *Drive, const char *Dir, const char *Ext, char *FileName);
/* A pass's names: each folder is listed once after Begin, and the calls
 * until End answer from that listing (the same names, one lstat each). */
void VqUniqueNamesBeginPass(void);
void VqUniqueNamesEndPass(void);

/* ---- the gateway's own files and the spool entries it cannot use
 * (spool_guard.cpp) ---- */
/* The gateway's folder for its work files, "<data>/vortiq.tmp", made when
 * missing; NULL when it cannot be made or is no folder. */
const char *VqTempFolder(void);
/* Logs "Path: Reason" once for the task's life; with TellAdmin, mails
 * the administrator the same once. */
void VqReportOnce(const char *Path, const char *Reason, int TellAdmin);
/* Forgets what was reported and routes refused spool entries (links,
 * special files) into VqReportOnce; called at start-up. */
void VqGuardStart(void);
/* Removes the gateway's own leftovers of an earlier run: ".INC" jobs in
 * FAX/OUT, the parcels such a job names, the files of VqTempFolder. Logs
 * one line with the counts when it removed anything. Needs the spool lock. */
void VqRemoveLeftovers(void);

/* ---- the passes, in the order the loop runs them ---- */
void OutboundTask(void);
/* Start-up, before the leftovers go: settles the hand-over journal of the
 * gateway mail file (a job renamed in is finished without a new one, one
 * that was not is done again). 0, or the failure (logged): the work files
 * must then stay for the passes to judge. */
STATUS OutboundRecoverHandOvers(void);
STATUS ImportActivity(void);
STATUS DelActivity(void);
int AddPending(void);
void DoInboundTask(void);

/* ---- between subsystems ---- */
/* Writes the fax job of one outbound message (ErrorFlag 0) or its error
 * copy in FAX/ERROR (ErrorFlag non-zero); see outbound/job_writer.cpp. */
STATUS CreateForeignMessage(DHANDLE hMessage, const char *OriginatorName, DARRAY *MessageList,
                            WORD Msg, WORD RecipientCount, DHANDLE hErrorFileList,
                            LIST *ErrorFileList, WORD *pErrorFileListSize, int ErrorFlag);
/* Mails the administrator; 0 when the mail went to the router. */
STATUS SendAdminMessage(LIST *ErrorFileList, const char *ErrorString, const char *IntendedRecip,
                        const char *FailureReason);

/* Mails Recipient (a sender) a short notice from the gateway: Subject and
 * one line of Text. 0 when it went to the router. */
STATUS SendSenderNotice(const char *Recipient, const char *Subject, const char *Text);

/* ---- the "Job Entry" document of the activity database (job_entry.cpp) ----
 * Written by the activity import, the pending queue listing and the
 * inbound activity entry: "FORM" then twelve text items, in this order. */
#define JOB_ENTRY_FORM_ITEM "FORM"
#define JOB_ENTRY_FORM "Job Entry"
#define JOB_ENTRY_ITEMS 12 /* items after "FORM" */
/* The widest value a writer hands over: 63 characters and the terminator
 * (the import and the queue listing build theirs in 32 bytes). */
#define JOB_ENTRY_VALUE_SIZE 64
/* Item indexes, in the order the items are set. */
enum {
    JE_JOBID = 0, JE_DATE, JE_TIME, JE_TYPE, JE_ATTEMPTS, JE_TO,
    JE_FROM, JE_PAGES, JE_CODE, JE_EXPLANATION, JE_CONNECTION, JE_SPEED
};
/* The item names, by index. */
extern const char *const JobEntryItems[JOB_ENTRY_ITEMS];

/* The step of WriteJobEntry that failed. */
enum { JE_STEP_NONE = 0, JE_STEP_CREATE, JE_STEP_FORM, JE_STEP_ITEM, JE_STEP_UPDATE, JE_STEP_CLOSE };
typedef struct {
    int Step; /* JE_STEP_NONE when the entry was written */
    int Item; /* for JE_STEP_ITEM, the index of the item */
} JOBENTRYFAIL;

/* Writes a "Job Entry" into hNote (a new note of hDb when NULLHANDLE):
 * "FORM", then item i from the value at Values + i * ValueSize (a table
 * of rows of ValueSize bytes, 1 to JOB_ENTRY_VALUE_SIZE; at most
 * ValueSize - 1 characters of a row are taken), then saves and closes the
 * note. A note that cannot be filled or saved is closed unsaved. 0, or
 * the status of the failed call with the step in *Fail. Logs nothing. */
STATUS WriteJobEntry(DBHANDLE hDb, NOTEHANDLE hNote, const char *Values, size_t ValueSize,
                     JOBENTRYFAIL *Fail);
/* What the activity import and the inbound entry log for a failed step. */
const char *JobEntryStepText(int Step);

/* ---- bounded text ---- */
/* Copies at most Size - 1 bytes and always terminates; returns the
 * length of Src (a result >= Size means it was cut). */
size_t VqCopy(char *Dst, size_t Size, const char *Src);
/* Copies at most Len bytes of Src (stops at a zero byte), cut at Size - 1. */
size_t VqCopyN(char *Dst, size_t Size, const char *Src, size_t Len);
/* Appends, cut at Size - 1; returns the length it would have had. */
size_t VqAppend(char *Dst, size_t Size, const char *Src);
/* snprintf that always terminates; returns what snprintf returns. */
int VqFormat(char *Dst, size_t Size, const char *Format, ...) __attribute__((format(printf, 3, 4)));
/* Drops a last UTF-8 character that a cut left incomplete. */
void VqCutUtf8(char *Text);
/* Case-insensitive comparisons (stricmp, strnicmp). */
int VqStricmp(const char *a, const char *b);
int VqStrnicmp(const char *a, const char *b, size_t n);

#endif /* VORTIQ_H */
