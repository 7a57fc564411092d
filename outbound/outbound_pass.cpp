/*
 * outbound_pass.cpp - the outbound transfer pass: empties the gateway mail
 * file into fax jobs. Each waiting message is handed to the job writer;
 * then the sender gets delivery reports (job in FAX/OUT) or non-delivery
 * reports (job refused, error copy in FAX/ERROR mailed to the
 * administrator), and non-delivery reports that reach the gateway are
 * forwarded to the administrator. A message leaves the mail file only
 * through MailPurgeMessage after all its recipients were deleted, and its
 * recipients are deleted only once the writer has renamed the job into
 * place: a crash in between can give the fax server one job twice, never
 * lose a message.
 */
#include <cstdio>
#include <cstring>

#include "vortiq.h"

/* The item that marks a message held, its value the reason. */
#define OB_HELD_ITEM "VortiqHeld"

/* widths of the per-message texts (terminator included) */
#define OB_ORIGINATOR_SIZE VQ_NAME_SIZE /* Originator: 256 characters */
#define OB_STRING_SIZE MAXSPRINTF       /* String: error text, AddInFormatError's buffer */
#define OB_INTENDED_SIZE VQ_NAME_SIZE   /* IntendedRecip */
#define OB_REASON_SIZE 256              /* FailureReason */

/* Deletes every recipient of a message. The mail file keeps numbering
 * the rest as before, so a plain index loop is right. */
static void DeleteAllRecipients(DARRAY *MessageList, WORD Msg, WORD RecipientCount)
{
    for (WORD Rec = 0; Rec < RecipientCount; Rec++)
        MailDeleteMessageRecipient(MessageList, Msg, Rec);
}

/* A report or a purge that failed is not worth stopping for, but it
 * must not go unnoticed. */
static void LogIfFailed(STATUS error, const char *Call)
{
    if (error != NOERROR)
        AddInLogError(VQM_API_CALL_ERROR, error, Call);
}

/* Releases an error file list, whatever its lock state. */
static void FreeErrorFileList(DHANDLE *phErrorFileList)
{
    if (*phErrorFileList != NULLHANDLE) {
        OSUnlockObject(*phErrorFileList);
        OSMemFree(*phErrorFileList);
        *phErrorFileList = NULLHANDLE;
    }
}

/* 1 when both spool folders a job or an error copy goes to take a
 * file now: one is created, written, synced and removed in each, through
 * the fault seam. A missing, read-only or full folder gives 0. */
static int SpoolTakesFiles(void)
{
    const char *Suffixes[] = {SPOOL_FAX_OUT, SPOOL_FAX_ERROR};
    char Dir[VQ_FILE_PATH];
    char Probe[VQ_FILE_PATH];

    for (const char *Suffix : Suffixes) {
        if (SpoolSplitDir(Dir, sizeof Dir, Suffix) != 0 ||
            GetUniqueFileName(GatewayDrive, Dir, "INC", Probe) != NOERROR)
            return 0;
        FILE *fp = PortFopen(Probe, "wb");
        if (fp == nullptr)
            return 0;
        int Fine = PortFwrite("x", 1, 1, fp) == 1 && PortFsync(fp) == 0;
        if (PortFclose(fp) != 0)
            Fine = 0;
        PortUnlink(Probe);
        if (!Fine)
            return 0;
    }
    return 1;
}

/* Marks a message that cannot become a job or an error copy by its own
 * fault as held, with Reason, and mails the administrator once, naming
 * it. Its recipients stay; the pass skips it from now on. 0, or the
 * status of the mark or of the mail. */
static STATUS HoldMessage(DHANDLE hMessage, const char *Originator, LIST *ErrorFileList,
                          const char *Reason)
{
    char Subject[OB_REASON_SIZE] = "";
    char Text[OB_STRING_SIZE] = "";
    WORD Length = 0;
    NOTEID NoteId = 0;

    STATUS error = NSFItemSetText(hMessage, OB_HELD_ITEM, Reason, (WORD)strlen(Reason));
    if (error == NOERROR)
        error = NSFNoteUpdate(hMessage, 0);
    if (error != NOERROR) {
        AddInLogError(VQM_API_CALL_ERROR, error, "NSFNoteUpdate: " OB_HELD_ITEM);
        return error;
    }
    if (MailGetMessageItem(hMessage, MAIL_SUBJECT_ITEM_NUM, Subject, sizeof Subject, &Length) !=
        NOERROR)
        Subject[0] = '\0';
    NSFNoteGetInfo(hMessage, _NOTE_ID, &NoteId);
    VqFormat(Text, sizeof Text, "Message held (note id %lX, from %s, subject \"%s\"): %s",
             (unsigned long)NoteId, Originator, Subject, Reason);
    AddInLogError(VQM_TEXT, NOERROR, Text);
    return SendAdminMessage(ErrorFileList, "Message held", "", Text);
}

/* Writes the job of one message into FAX/OUT (ErrorFlag 0) or its error
 * copy into FAX/ERROR (ErrorFlag 1) with a fresh, empty error file list.
 * The list stays allocated (unlocked) for the caller to read and free. */
static STATUS WriteJob(DHANDLE hMessage, const char *Originator, DARRAY *MessageList, WORD Msg,
                       WORD RecipientCount, int ErrorFlag, DHANDLE *phErrorFileList)
{
    LIST *ErrorFileList = nullptr;
    WORD ErrorFileListSize = 0;
    STATUS error = ListAllocate(0, 0, TRUE, phErrorFileList, &ErrorFileList, &ErrorFileListSize);
    if (error != NOERROR) {
        *phErrorFileList = NULLHANDLE;
        return error;
    }
    /* the writer grows the list through its handle, which needs it unlocked */
    OSUnlockObject(*phErrorFileList);
    return CreateForeignMessage(hMessage, Originator, MessageList, Msg, RecipientCount,
                                *phErrorFileList, ErrorFileList, &ErrorFileListSize, ErrorFlag);
}

/* Outcome 1 attempt: the transfer itself, with delivery reports when it
 * worked. Returns the transfer's status. */
static STATUS TransferMessage(DHANDLE hMessage, const char *Originator, DARRAY *MessageList,
                              WORD Msg, WORD RecipientCount)
{
    DHANDLE hErrorFileList = NULLHANDLE;
    STATUS error = WriteJob(hMessage, Originator, MessageList, Msg, RecipientCount, 0,
                            &hErrorFileList);
    if (error == NOERROR) {
        for (WORD Rec = 0; Rec < RecipientCount; Rec++)
            LogIfFailed(MailSendDeliveryReport(MessageList, Msg, 1, &Rec),
                        "MailSendDeliveryReport");
        AddInLogError(VQM_FAX_DELIVERED_TO_GATEWAY, NOERROR, Originator);
    }
    FreeErrorFileList(&hErrorFileList);
    return error;
}

/* Outcomes 2 to 4: a failed transfer (TransferStatus not 0) or a
 * non-delivery report that reached the gateway. */
static void ReportFailure(DHANDLE hMessage, const char *Originator, DARRAY *MessageList,
                          WORD Msg, WORD RecipientCount, STATUS TransferStatus)
{
    char String[OB_STRING_SIZE] = "";
    char IntendedRecip[OB_INTENDED_SIZE] = "";
    char FailureReason[OB_REASON_SIZE] = "";
    DHANDLE hErrorFileList = NULLHANDLE;
    LIST *ErrorFileList = nullptr;
    WORD Length = 0;
    STATUS error = TransferStatus;

    if (error != NOERROR) {
        AddInFormatError(String, VQM_CREATE_FINAL_ERROR, (int)error);
        AddInLogError(VQM_TEXT, NOERROR, String);
        MailSetMessageLastError(MessageList, Msg, String);
        for (WORD Rec = 0; Rec < RecipientCount; Rec++)
            LogIfFailed(MailSendNonDeliveryReport(MessageList, Msg, 1, &Rec, String,
                                                  (WORD)strlen(String)),
                        "MailSendNonDeliveryReport");
        error = WriteJob(hMessage, Originator, MessageList, Msg, RecipientCount, 1, &hErrorFileList);
        if (hErrorFileList != NULLHANDLE)
            ErrorFileList = (LIST *)OSLockObject(hErrorFileList);
    } else {
        VqCopy(String, sizeof String, "Non-Delivery Report");
        /* unreadable items leave their texts empty; the mail goes all the same */
        if (MailGetMessageItem(hMessage, MAIL_INTENDEDRECIPIENT_ITEM_NUM, IntendedRecip,
                               sizeof IntendedRecip, &Length) != NOERROR)
            IntendedRecip[0] = '\0';
        if (MailGetMessageItem(hMessage, MAIL_FAILUREREASON_ITEM_NUM, FailureReason,
                               sizeof FailureReason, &Length) != NOERROR)
            FailureReason[0] = '\0';
    }

    if (error != NOERROR && TransferStatus != NOERROR && SpoolTakesFiles()) {
        /* no error copy with the spool fine: the message's own fault */
        char Reason[OB_STRING_SIZE] = "";
        AddInFormatError(Reason, error);
        if (HoldMessage(hMessage, Originator, ErrorFileList, Reason) != NOERROR)
            E_quit = 1;
        FreeErrorFileList(&hErrorFileList);
        return;
    }
    if (error != NOERROR)
        E_quit = 1; /* no error copy, spool broken: the recipients stay for a later start */
    else if (TransferStatus != NOERROR)
        DeleteAllRecipients(MessageList, Msg, RecipientCount);

    /* A report's content lives only in the report: it leaves the mail
     * file once the administrator's mail is on its way, not before. */
    if (strcmp(IntendedRecip, FaxAdministrator) == 0) {
        /* our own error mail bounced: forwarding it would bounce again */
        AddInLogError(VQM_DS0, NOERROR, "Non-Delivery is to admin");
        E_quit = 1;
        if (TransferStatus == NOERROR)
            DeleteAllRecipients(MessageList, Msg, RecipientCount);
    } else if (SendAdminMessage(ErrorFileList, String, IntendedRecip, FailureReason) != NOERROR) {
        AddInLogError(VQM_DS0, 1, "Can not route error message to Admin");
        E_quit = 1;
    } else if (TransferStatus == NOERROR) {
        DeleteAllRecipients(MessageList, Msg, RecipientCount);
    }
    FreeErrorFileList(&hErrorFileList);
}

/* One message of the list: settles its outcome and purges it. A message
 * that cannot be opened or whose originator cannot be read stays as it is. */
static void HandleMessage(DARRAY *MessageList, WORD Msg)
{
    DHANDLE hMessage = NULLHANDLE;
    char Originator[OB_ORIGINATOR_SIZE] = "";
    WORD OriginatorLength = 0;
    WORD RecipientCount = 0;
    STATUS error = NOERROR;
    BOOL IsReport = FALSE;

    error = MailOpenMessage(MessageList, Msg, &hMessage);
    if (error != NOERROR) {
        AddInLogError(VQM_API_CALL_ERROR, error, "MailOpenMessage");
        return;
    }
    error = MailGetMessageOriginator(MessageList, Msg, Originator, sizeof Originator,
                                     &OriginatorLength);
    if (error != NOERROR) {
        AddInLogError(VQM_API_CALL_ERROR, error, "MailGetMessageOriginator");
        MailCloseMessage(hMessage);
        return;
    }
    if (NSFItemIsPresent(hMessage, OB_HELD_ITEM, (WORD)strlen(OB_HELD_ITEM))) {
        MailCloseMessage(hMessage); /* held: waits for the operator */
        return;
    }
    /* an unreadable count leaves 0: no reports, no deletions */
    if (MailGetMessageInfo(MessageList, Msg, &RecipientCount, nullptr, nullptr) != NOERROR)
        RecipientCount = 0;

    IsReport = MailIsNonDeliveryReport(hMessage);
    if (!IsReport)
        error = TransferMessage(hMessage, Originator, MessageList, Msg, RecipientCount);

    if (error == NOERROR && !IsReport)
        DeleteAllRecipients(MessageList, Msg, RecipientCount);
    else
        ReportFailure(hMessage, Originator, MessageList, Msg, RecipientCount, error);

    /* the writer and the error mail change the status line */
    AddInSetStatus(VQM_STATUS_SEARCHING);
    MailCloseMessage(hMessage);
    /* removes the message only once none of its recipients remain; one
     * that stays is written again by the next pass */
    LogIfFailed(MailPurgeMessage(MessageList, Msg), "MailPurgeMessage");
}

/* The pass: every message the gateway mail file holds when it starts. */
void OutboundTask(void)
{
    DHANDLE hMessageList = NULLHANDLE;
    DARRAY *MessageList = nullptr;
    WORD MessageCount = 0;
    STATUS error = NOERROR;

    AddInSetStatus(VQM_STATUS_SEARCHING);
    error = MailCreateMessageList(hMessageFile, &hMessageList, &MessageList, &MessageCount);
    if (error != NOERROR) {
        AddInLogError(VQM_NO_MESSAGE_LIST, error, GatewayMsgfile);
        return;
    }
    VqUniqueNamesBeginPass();
    for (WORD Msg = 0; Msg < MessageCount; Msg++)
        HandleMessage(MessageList, Msg);
    VqUniqueNamesEndPass();

    OSUnlockObject(hMessageList);
    OSMemFree(hMessageList);
    AddInSetStatus(VQM_STATUS_IDLE);
}
