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
#include <cstring>

#include "vortiq.h"

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

    if (error != NOERROR)
        E_quit = 1; /* no error copy: the recipients stay for a later start */
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
    for (WORD Msg = 0; Msg < MessageCount; Msg++)
        HandleMessage(MessageList, Msg);

    OSUnlockObject(hMessageList);
    OSMemFree(hMessageList);
    AddInSetStatus(VQM_STATUS_IDLE);
}
