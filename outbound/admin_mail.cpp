/*
 * admin_mail.cpp - the administrator error mail. Builds one mail to
 * FaxAdministrator in mail.box with the error files of a failed job
 * attached and hands it to the router. The files in FAX/ERROR are deleted
 * only once the router took the mail; when anything failed they stay, and
 * the first of them (the envelope) gets a note appended saying why.
 * The same mail, to a sender instead, carries the gateway's notices
 * (a fax that waits).
 */
#include <cstdio>
#include <cstring>

#include "vortiq.h"

/* widths (terminator included) */
#define AM_STRING_SIZE MAXSPRINTF      /* subject text; AddInFormatError's buffer */
#define AM_SUBJECT_CUT 229             /* characters of ErrorString in the subject */
#define AM_PATH_SIZE VQ_FILE_PATH      /* AttachmentName, FreindlyName */
#define AM_FROM_NAME "VORTIQ"

/* Full path of entry n of a prefixed error file list into Path. 0, or a
 * status when the entry is missing or would not fit (never a cut path). */
static STATUS ErrorFilePath(LIST *ErrorFileList, WORD n, char *Path, size_t PathSize)
{
    char *pText = nullptr;
    WORD Length = 0;
    STATUS error = ListGetText(ErrorFileList, TRUE, n, &pText, &Length);
    Path[0] = '\0';
    if (error != NOERROR)
        return error;
    if ((size_t)Length >= PathSize)
        return ERR_PATH_TOO_LONG;
    VqCopyN(Path, PathSize, pText, Length);
    return NOERROR;
}

/* Appends one line to the body under construction. */
static void AppendBodyLine(DHANDLE hBodyItem, DWORD *pBodySize, const char *Text)
{
    MailAppendBodyItemLine(hBodyItem, pBodySize, Text, (WORD)strlen(Text));
}

/* Attaches every file of the list: entry 0 as "ENVELOPE.BAD", entry n as
 * "Attach.NNN". Stops at the first failure, which is logged. */
static STATUS AttachErrorFiles(DHANDLE hAdminMessage, LIST *ErrorFileList)
{
    char AttachmentName[AM_PATH_SIZE];
    char FreindlyName[AM_PATH_SIZE];
    STATUS error = NOERROR;
    WORD Entries = ListGetNumEntries(ErrorFileList, TRUE);

    for (WORD n = 0; n < Entries; n++) {
        error = ErrorFilePath(ErrorFileList, n, AttachmentName, sizeof AttachmentName);
        if (error == NOERROR) {
            if (n == 0)
                VqCopy(FreindlyName, sizeof FreindlyName, "ENVELOPE.BAD");
            else
                VqFormat(FreindlyName, sizeof FreindlyName, "Attach.%3.3d", (int)n);
            error = MailAddMessageAttachment(hAdminMessage, AttachmentName, FreindlyName);
        }
        if (error != NOERROR) {
            AddInLogError(VQM_API_CALL_ERROR, error, "MailAddMessageAttachment");
            break;
        }
    }
    return error;
}

/* Appends "Can not Route to ADMIN: REASON" to the envelope file, right
 * after its last byte, so the administrator finds why the files stayed. */
static void NoteRoutingFailure(LIST *ErrorFileList, const char *Reason)
{
    char Envelope[AM_PATH_SIZE];
    FILE *fp = nullptr;

    if (ErrorFileList == nullptr || ListGetNumEntries(ErrorFileList, TRUE) == 0)
        return;
    if (ErrorFilePath(ErrorFileList, 0, Envelope, sizeof Envelope) != NOERROR)
        return;
    fp = PortFopen(Envelope, "rb+");
    if (fp == nullptr)
        return;
    if (fseek(fp, 0L, SEEK_END) == 0) {
        PortFprintf(fp, "Can not Route to %s: %s", FaxAdministrator, Reason);
        PortFsync(fp);
    }
    PortFclose(fp);
}

/* Deletes the error files once the mail carrying them is on its way. */
static void DeleteErrorFiles(LIST *ErrorFileList)
{
    char AttachmentName[AM_PATH_SIZE];

    if (ErrorFileList == nullptr)
        return;
    WORD Entries = ListGetNumEntries(ErrorFileList, TRUE);
    for (WORD n = 0; n < Entries; n++)
        if (ErrorFilePath(ErrorFileList, n, AttachmentName, sizeof AttachmentName) == NOERROR)
            PortUnlink(AttachmentName);
}

/* The router's answer to a mail: a failure after the mail was saved in
 * mail.box leaves it waiting there, routed again by the gateway's idle
 * turns; sending it again would give it twice. Such a mail is on its way
 * (logged, 0). */
static STATUS TransferOnce(DHANDLE hMail)
{
    NOTEID NoteId = 0;
    STATUS error = MailTransferMessageLocal(hMail);

    if (error == NOERROR)
        return NOERROR;
    NSFNoteGetInfo(hMail, _NOTE_ID, &NoteId);
    if (NoteId == 0)
        return error;
    AddInLogError(VQM_DS0, error, "Mail waits in mail.box for the router");
    return NOERROR;
}

/* Releases what a mail being built holds, in reverse order of taking. */
static void ReleaseMail(DHANDLE hMail, DHANDLE hBodyItem, DHANDLE hRecipientsItem,
                        DBHANDLE hMailboxFile)
{
    if (hMail != NULLHANDLE)
        MailCloseMessage(hMail);
    if (hBodyItem != NULLHANDLE)
        OSMemFree(hBodyItem);
    if (hRecipientsItem != NULLHANDLE) {
        OSUnlockObject(hRecipientsItem);
        OSMemFree(hRecipientsItem);
    }
    if (hMailboxFile != NULLHANDLE)
        MailCloseMessageFile(hMailboxFile);
}

/* The first steps of every mail the gateway sends: mail.box opened, a
 * mail created and addressed to Recipient alone (recipients list and
 * SendTo). What was taken is in the handles, for ReleaseMail, even when
 * a step fails. */
static STATUS BeginMailTo(const char *Recipient, DBHANDLE *phMailboxFile, DHANDLE *phMail,
                          DHANDLE *phRecipientsItem)
{
    LIST *RecipientsItem = nullptr;
    WORD RecipientsItemSize = 0;
    STATUS error = MailOpenMessageFile(nullptr, phMailboxFile);

    if (error != NOERROR) {
        *phMailboxFile = NULLHANDLE;
        goto done;
    }
    error = MailCreateMessage(*phMailboxFile, phMail);
    if (error != NOERROR) {
        *phMail = NULLHANDLE;
        goto done;
    }
    error = ListAllocate(0, 0, TRUE, phRecipientsItem, &RecipientsItem, &RecipientsItemSize);
    if (error != NOERROR) {
        *phRecipientsItem = NULLHANDLE;
        goto done;
    }
    OSUnlockObject(*phRecipientsItem);
    error = ListAddEntry(*phRecipientsItem, TRUE, &RecipientsItemSize, 0, Recipient,
                         (WORD)strlen(Recipient));
    if (error == NOERROR)
        error = MailAddRecipientsItem(*phMail, *phRecipientsItem, RecipientsItemSize);
    if (error != NOERROR)
        goto done;
    *phRecipientsItem = NULLHANDLE; /* the mail owns the list now */
    error = MailAddHeaderItem(*phMail, MAIL_SENDTO_ITEM_NUM, Recipient, (WORD)strlen(Recipient));

done:
    return error;
}

/* Mails the administrator. 0 when the mail was built completely and
 * routed; else the first building or attaching status, else the
 * router's. ErrorFileList (may be null) belongs to the caller. */
STATUS SendAdminMessage(LIST *ErrorFileList, const char *ErrorString, const char *IntendedRecip,
                        const char *FailureReason)
{
    DBHANDLE hMailboxFile = NULLHANDLE;
    DHANDLE hAdminMessage = NULLHANDLE;
    DHANDLE hRecipientsItem = NULLHANDLE;
    DHANDLE hBodyItem = NULLHANDLE;
    DWORD BodySize = 0;
    char String[AM_STRING_SIZE] = "";
    STATUS error = NOERROR;
    STATUS error_mt = NOERROR; /* 0 until the transfer is tried */

    if (IntendedRecip == nullptr)
        IntendedRecip = "";
    if (FailureReason == nullptr)
        FailureReason = "";

    AddInSetStatus(VQM_SENDING_ADMIN_MAIL);

    /* build: any failure here means no mail at all */
    error = BeginMailTo(FaxAdministrator, &hMailboxFile, &hAdminMessage, &hRecipientsItem);
    if (error != NOERROR)
        goto Close;
    VqFormat(String, sizeof String, "Fax Gateway Error: %.*s", AM_SUBJECT_CUT,
             ErrorString ? ErrorString : "");
    error = MailAddHeaderItem(hAdminMessage, MAIL_SUBJECT_ITEM_NUM, String, (WORD)strlen(String));
    if (error != NOERROR)
        goto Close;

    error = MailCreateBodyItem(&hBodyItem, &BodySize);
    if (error != NOERROR) {
        hBodyItem = NULLHANDLE;
        goto Close;
    }
    if (IntendedRecip[0] != '\0') {
        AppendBodyLine(hBodyItem, &BodySize, "Message to:");
        AppendBodyLine(hBodyItem, &BodySize, IntendedRecip);
        AppendBodyLine(hBodyItem, &BodySize, "was not delivered.");
    }
    if (FailureReason[0] != '\0')
        AppendBodyLine(hBodyItem, &BodySize, FailureReason);
    error = MailAddBodyItem(hAdminMessage, hBodyItem, BodySize, nullptr);
    if (error != NOERROR)
        goto Close;

    /* complete: a failure is logged and the mail goes without the rest */
    error = MailAddHeaderItem(hAdminMessage, MAIL_FROM_ITEM_NUM, AM_FROM_NAME,
                              (WORD)strlen(AM_FROM_NAME));
    if (error != NOERROR) {
        AddInLogError(VQM_API_CALL_ERROR, error, "MailAddHeaderItem: FROM");
        goto Send_anyways;
    }
    error = MailAddHeaderItem(hAdminMessage, MAIL_FROMDOMAIN_ITEM_NUM, GatewayDomain,
                              (WORD)strlen(GatewayDomain));
    if (error != NOERROR) {
        AddInLogError(VQM_API_CALL_ERROR, error, "MailAddHeaderItem: DOMAIN");
        goto Send_anyways;
    }
    if (ErrorFileList != nullptr)
        error = AttachErrorFiles(hAdminMessage, ErrorFileList);

Send_anyways:
    error_mt = TransferOnce(hAdminMessage);
    if (error_mt == NOERROR)
        AddInLogError(VQM_SENDING_ADMIN_MAIL, NOERROR, nullptr);

Close:
    ReleaseMail(hAdminMessage, hBodyItem, hRecipientsItem, hMailboxFile);

    if (error == NOERROR && error_mt == NOERROR) {
        DeleteErrorFiles(ErrorFileList);
        return NOERROR;
    }
    if (error != NOERROR)
        AddInLogError(VQM_MAIL_NOT_TRANSFERRED, error, nullptr);
    if (error_mt != NOERROR)
        AddInLogError(VQM_MAIL_NOT_TRANSFERRED, error_mt, nullptr);
    AddInFormatError(String, error != NOERROR ? error : error_mt);
    NoteRoutingFailure(ErrorFileList, String);
    return error != NOERROR ? error : error_mt;
}

/* A notice from the gateway to a sender: one mail in mail.box, routed. */
STATUS SendSenderNotice(const char *Recipient, const char *Subject, const char *Text)
{
    DBHANDLE hMailboxFile = NULLHANDLE;
    DHANDLE hNotice = NULLHANDLE;
    DHANDLE hRecipientsItem = NULLHANDLE;
    DHANDLE hBodyItem = NULLHANDLE;
    DWORD BodySize = 0;
    STATUS error = BeginMailTo(Recipient, &hMailboxFile, &hNotice, &hRecipientsItem);

    if (error == NOERROR)
        error = MailAddHeaderItem(hNotice, MAIL_SUBJECT_ITEM_NUM, Subject, (WORD)strlen(Subject));
    if (error == NOERROR)
        error = MailAddHeaderItem(hNotice, MAIL_FROM_ITEM_NUM, AM_FROM_NAME,
                                  (WORD)strlen(AM_FROM_NAME));
    if (error == NOERROR)
        error = MailAddHeaderItem(hNotice, MAIL_FROMDOMAIN_ITEM_NUM, GatewayDomain,
                                  (WORD)strlen(GatewayDomain));
    if (error == NOERROR)
        error = MailCreateBodyItem(&hBodyItem, &BodySize);
    if (error != NOERROR) {
        hBodyItem = NULLHANDLE;
        goto Close;
    }
    AppendBodyLine(hBodyItem, &BodySize, Text);
    error = MailAddBodyItem(hNotice, hBodyItem, BodySize, nullptr);
    if (error == NOERROR)
        error = TransferOnce(hNotice);

Close:
    ReleaseMail(hNotice, hBodyItem, hRecipientsItem, hMailboxFile);
    if (error != NOERROR)
        AddInLogError(VQM_MAIL_NOT_TRANSFERRED, error, nullptr);
    return error;
}
