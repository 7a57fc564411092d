/*
 * outbound_pass.cpp - the outbound transfer pass: empties the gateway mail
 * file into fax jobs. Each waiting message is handed to the job writer;
 * then the sender gets delivery reports (job in FAX/OUT) or non-delivery
 * reports (job refused, error copy in FAX/ERROR mailed to the
 * administrator), and non-delivery reports that reach the gateway are
 * forwarded to the administrator. A message leaves the mail file only
 * through MailPurgeMessage after all its recipients were deleted, and its
 * recipients are deleted only once the writer has renamed the job into
 * place. Before the rename the message carries the job's work and final
 * names (the hand-over journal); at start-up, before the leftovers go, an
 * entry whose work file is gone is a job handed over (the message is
 * finished without a new one) and one whose work file is still there is
 * done again: across a crash the fax server gets each mail exactly once.
 * Plain mails are handed over in chunks (one journal commit, one fsync
 * per spool folder, one routing group and one purge commit per chunk);
 * any other message hands the chunk over first, so that everything comes
 * in the order of one message at a time.
 *
 * Nothing here stops the gateway but a spool folder that is missing,
 * read-only or not ours. A full disk or a busy database leaves the
 * message for the next pass (until RetryMaxHours); a message of its own
 * fault is held (VortiqHeld); an administrator mail that cannot go stays
 * due on the message (VortiqAdminDue) for the next pass. Each mark is
 * saved before the reports it stands for, so a crash never sends a
 * sender's report twice.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "outbound.h"
#include "vortiq.h"

/* Items the pass keeps on a message of the gateway mail file. */
#define OB_HELD_ITEM "VortiqHeld"               /* held: the reason */
#define OB_ADMIN_DUE_ITEM "VortiqAdminDue"      /* an administrator mail still due: subject */
#define OB_ADMIN_TEXT_ITEM "VortiqAdminDueText" /* ... and its text */
#define OB_DELAY_ITEM "VortiqDelayNotice"       /* the sender was told of a delay */
#define OB_WORK_ITEM "VortiqHandOver"           /* journal: the job's work name */
#define OB_FINAL_ITEM "VortiqHandOverTo"        /* ... and its final name */
#define OB_HANDED_OVER "*"                      /* journal: the job is the fax server's */
#define OB_HELD_SUBJECT "Message held"          /* the administrator mail of a hold */
#define OB_DELAY_SECONDS 3600L                  /* a waiting mail's sender is told after this */
#define OB_SECONDS_PER_HOUR 3600L

/* widths of the per-message texts (terminator included) */
#define OB_ORIGINATOR_SIZE VQ_NAME_SIZE /* Originator: 256 characters */
#define OB_STRING_SIZE MAXSPRINTF       /* String: error text, AddInFormatError's buffer */
#define OB_INTENDED_SIZE VQ_NAME_SIZE   /* IntendedRecip */
#define OB_REASON_SIZE 256              /* FailureReason */

/* What the spool and the gateway's work folder say to a file: it takes
 * it, it may at a later pass (full), or it never will (broken). */
enum { OB_DISK_FINE = 0, OB_DISK_FULL, OB_DISK_BROKEN };

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

/* Removes a file of the pass's own; one that stays is said. */
static void RemoveFile(const char *Path)
{
    char Text[VQ_FILE_PATH + 32];

    if (PortUnlink(Path) == 0)
        return;
    VqFormat(Text, sizeof Text, "Can not delete %s", Path);
    AddInLogError(VQM_DS0, NOERROR, Text);
}

/* A full disk (or quota) or a database busy past its timeout: a later
 * pass may well succeed. */
static int IsRetryable(STATUS error)
{
    return ERR(error) == ERR_DISK_FULL || ERR(error) == ERR_DB_BUSY;
}

/* Creates, writes, syncs and removes one file in Dir, through the fault
 * seam. OB_DISK_BROKEN when the folder is missing, read-only or not ours,
 * OB_DISK_FULL on any other failure (ENOSPC, EDQUOT, EIO). */
static int ProbeFolder(const char *Drive, const char *Dir, const char *Ext)
{
    char Probe[VQ_FILE_PATH];
    int Fine = 0;
    int e = 0;

    if (GetUniqueFileName(Drive, Dir, Ext, Probe) != NOERROR)
        return OB_DISK_BROKEN;
    FILE *fp = PortFopen(Probe, "wb");
    if (fp == nullptr) {
        e = errno;
    } else {
        Fine = PortFwrite("x", 1, 1, fp) == 1 && PortFsync(fp) == 0;
        e = errno;
        if (PortFclose(fp) != 0 && Fine) {
            Fine = 0;
            e = errno;
        }
        RemoveFile(Probe);
    }
    if (Fine)
        return OB_DISK_FINE;
    VqFormat(Probe, sizeof Probe, "Can not write in %s: %s", Dir, strerror(e));
    AddInLogError(VQM_DS0, NOERROR, Probe);
    /* only a folder missing, read-only or not ours is broken; any other
     * failure (a full disk, an I/O error) a later pass may clear */
    return e == ENOENT || e == ENOTDIR || e == EROFS || e == EACCES || e == EPERM
               ? OB_DISK_BROKEN
               : OB_DISK_FULL;
}

/* Whether the folders a job or an error copy is made in take a file now:
 * FAX/OUT, FAX/OPARCEL, FAX/ERROR and the gateway's work folder in the
 * data directory. The first that does not decides. */
static int DiskState(void)
{
    const char *Suffixes[] = {SPOOL_FAX_OUT, SPOOL_FAX_OPARCEL, SPOOL_FAX_ERROR};
    char Dir[VQ_FILE_PATH];
    int State = OB_DISK_FINE;

    for (const char *Suffix : Suffixes) {
        if (SpoolSplitDir(Dir, sizeof Dir, Suffix) != 0)
            return OB_DISK_BROKEN;
        State = ProbeFolder(GatewayDrive, Dir, "INC");
        if (State != OB_DISK_FINE)
            return State;
    }
    if (VqTempFolder() == nullptr)
        return OB_DISK_BROKEN;
    return ProbeFolder("", VqTempFolder(), "TMP");
}

/* How long the message has waited in the gateway mail file, in seconds
 * (0 when the router left no delivery time). */
static long MessageAge(DHANDLE hMessage)
{
    TIMEDATE Delivered;
    TIMEDATE Now;

    if (!NSFItemGetTime(hMessage, "DeliveredDate", &Delivered))
        return 0;
    OSCurrentTIMEDATE(&Now);
    return (long)TimeDateDifference(&Now, &Delivered);
}

/* A retryable fault older than this counts as permanent. */
static int RetryExpired(long Age)
{
    return Age >= RetryMaxHours * OB_SECONDS_PER_HOUR;
}

/* Writes the pass's items on the message and saves it: Name = Value for
 * each pair with a Name (a null Value removes the item). 0 or the status
 * of the failing call (logged). */
static STATUS MarkMessage(DHANDLE hMessage, const char *Name1, const char *Value1,
                          const char *Name2, const char *Value2, const char *Name3,
                          const char *Value3)
{
    const char *Names[] = {Name1, Name2, Name3};
    const char *Values[] = {Value1, Value2, Value3};
    STATUS error = NOERROR;

    for (int i = 0; i < 3 && error == NOERROR; i++) {
        if (Names[i] == nullptr)
            continue;
        if (Values[i] != nullptr)
            error = NSFItemSetText(hMessage, Names[i], Values[i], (WORD)strlen(Values[i]));
        else if (NSFItemIsPresent(hMessage, Names[i], (WORD)strlen(Names[i])))
            error = NSFItemDelete(hMessage, Names[i], (WORD)strlen(Names[i]));
    }
    if (error == NOERROR)
        error = NSFNoteUpdate(hMessage, 0);
    if (error != NOERROR)
        AddInLogError(VQM_API_CALL_ERROR, error, "NSFNoteUpdate");
    return error;
}

STATUS JournalHandOver(DHANDLE hMessage, const char *WorkName, const char *FinalName)
{
    const STATUS error = MarkMessage(hMessage, OB_WORK_ITEM, WorkName, OB_FINAL_ITEM, FinalName,
                                     nullptr, nullptr);

    /* an entry that was not saved must not ride along with a later save
     * of the message: its job is removed, and the entry would read as
     * handed over */
    if (error != NOERROR)
        for (const char *Item : {OB_WORK_ITEM, OB_FINAL_ITEM})
            if (NSFItemIsPresent(hMessage, Item, (WORD)strlen(Item)))
                NSFItemDelete(hMessage, Item, (WORD)strlen(Item));
    return error;
}

STATUS JournalDrop(DHANDLE hMessage)
{
    return MarkMessage(hMessage, OB_WORK_ITEM, nullptr, OB_FINAL_ITEM, nullptr, nullptr, nullptr);
}

/* What the journal says of a message's job. */
enum { OB_NO_ENTRY = 0, OB_NOT_HANDED, OB_HANDED };

/* A work name still there was never renamed in; one gone was, whether or
 * not the fax server has taken the job since. */
static int HandOverState(DHANDLE hMessage)
{
    char WorkName[VQ_FILE_PATH] = "";

    if (!NSFItemIsPresent(hMessage, OB_WORK_ITEM, (WORD)strlen(OB_WORK_ITEM)))
        return OB_NO_ENTRY;
    NSFItemGetText(hMessage, OB_WORK_ITEM, WorkName, sizeof WorkName);
    if (strcmp(WorkName, OB_HANDED_OVER) == 0)
        return OB_HANDED;
    return PortLexists(WorkName) ? OB_NOT_HANDED : OB_HANDED;
}

/* Jobs are renamed in a chunk at a time and their folder fsynced after
 * the last: a crash in between leaves names that a power loss could still
 * undo. Before the first job read as handed over is settled (and its
 * message may go), FAX/OPARCEL and FAX/OUT are fsynced, once. */
static void SyncSpoolFolders(int *Synced)
{
    const char *Suffixes[] = {SPOOL_FAX_OPARCEL, SPOOL_FAX_OUT};
    char Dir[VQ_FILE_PATH];
    char Path[VQ_FILE_PATH];

    for (const char *Suffix : Suffixes)
        if (!*Synced && SpoolSplitDir(Dir, sizeof Dir, Suffix) == 0 &&
            PortMakePath(Path, sizeof Path, GatewayDrive, Dir, "x", "") == 0)
            PortSyncDir(Path);
    *Synced = 1;
}

/* Settles one message's entry at start-up: a job handed over is marked
 * so (its work name may be reused from now on), one not handed over loses
 * its entry and is done again. 0 or the status of a failed save. */
static STATUS RecoverMessage(DARRAY *MessageList, WORD Msg, int *Synced)
{
    DHANDLE hMessage = NULLHANDLE;
    char WorkName[VQ_FILE_PATH] = "";
    STATUS error = MailOpenMessage(MessageList, Msg, &hMessage);

    if (error != NOERROR)
        return error;
    NSFItemGetText(hMessage, OB_WORK_ITEM, WorkName, sizeof WorkName);
    switch (HandOverState(hMessage)) {
    case OB_NOT_HANDED:
        error = JournalDrop(hMessage);
        break;
    case OB_HANDED:
        if (strcmp(WorkName, OB_HANDED_OVER) != 0) {
            SyncSpoolFolders(Synced);
            error = MarkMessage(hMessage, OB_WORK_ITEM, OB_HANDED_OVER, nullptr, nullptr,
                                nullptr, nullptr);
        }
        break;
    default:
        break;
    }
    MailCloseMessage(hMessage);
    return error;
}

STATUS OutboundRecoverHandOvers(void)
{
    DBHANDLE hFile = NULLHANDLE;
    DHANDLE hMessageList = NULLHANDLE;
    DARRAY *MessageList = nullptr;
    WORD MessageCount = 0;
    int Synced = 0;
    STATUS error = MailOpenMessageFile(GatewayMsgfile, &hFile);

    if (ERR(error) == ERR_NOEXIST)
        return NOERROR; /* no mail file: no journal */
    if (error != NOERROR)
        return error; /* said by the start-up's own open, which follows */
    error = MailCreateMessageList(hFile, &hMessageList, &MessageList, &MessageCount);
    for (WORD Msg = 0; error == NOERROR && Msg < MessageCount; Msg++)
        error = RecoverMessage(MessageList, Msg, &Synced);
    if (hMessageList != NULLHANDLE) {
        OSUnlockObject(hMessageList);
        OSMemFree(hMessageList);
    }
    MailCloseMessageFile(hFile);
    if (error != NOERROR)
        AddInLogError(VQM_API_CALL_ERROR, error, "Hand-over journal");
    return error;
}

/* One non-delivery report per recipient, with String as the reason. */
static void SendNonDeliveryReports(DARRAY *MessageList, WORD Msg, WORD RecipientCount,
                                   const char *String)
{
    LogIfFailed(MailSetMessageLastError(MessageList, Msg, String), "MailSetMessageLastError");
    for (WORD Rec = 0; Rec < RecipientCount; Rec++)
        LogIfFailed(MailSendNonDeliveryReport(MessageList, Msg, 1, &Rec, String,
                                              (WORD)strlen(String)),
                    "MailSendNonDeliveryReport");
}

/* Mails the administrator; a mail that cannot go is logged and stays due
 * on the message (its items), for the next pass. 0 when it went. */
static STATUS TellAdministrator(LIST *ErrorFileList, const char *Subject,
                                const char *IntendedRecip, const char *Text)
{
    if (SendAdminMessage(ErrorFileList, Subject, IntendedRecip, Text) == NOERROR)
        return NOERROR;
    /* not a stop: the message keeps the mail due and the next pass
     * tries again */
    AddInLogError(VQM_DS0, 1, "Can not route error message to Admin");
    return ERR_ROUTER_REFUSED;
}

/* Marks a message held with Reason and the administrator's mail due,
 * before anything else: a crash after the mark never sends the reports
 * twice. Then the senders' reports (ReportText), then the mail naming
 * the message. Its recipients stay; the pass skips it from now on. */
static void HoldMessage(DHANDLE hMessage, const char *Originator, DARRAY *MessageList, WORD Msg,
                        WORD RecipientCount, const char *Reason, const char *ReportText)
{
    char Subject[OB_REASON_SIZE] = "";
    char Text[OB_STRING_SIZE] = "";
    WORD Length = 0;
    NOTEID NoteId = 0;

    if (MailGetMessageItem(hMessage, MAIL_SUBJECT_ITEM_NUM, Subject, sizeof Subject, &Length) !=
        NOERROR)
        Subject[0] = '\0';
    NSFNoteGetInfo(hMessage, _NOTE_ID, &NoteId);
    VqFormat(Text, sizeof Text, "Message held (note id %lX, from %s, subject \"%s\"): %s",
             (unsigned long)NoteId, Originator, Subject, Reason);
    if (MarkMessage(hMessage, OB_HELD_ITEM, Reason, OB_ADMIN_DUE_ITEM, OB_HELD_SUBJECT,
                    OB_ADMIN_TEXT_ITEM, Text) != NOERROR)
        return; /* not held: the next pass meets it as it was */
    AddInLogError(VQM_TEXT, NOERROR, Text);
    SendNonDeliveryReports(MessageList, Msg, RecipientCount, ReportText);
    if (TellAdministrator(nullptr, OB_HELD_SUBJECT, "", Text) == NOERROR)
        MarkMessage(hMessage, OB_ADMIN_DUE_ITEM, nullptr, OB_ADMIN_TEXT_ITEM, nullptr, nullptr,
                    nullptr);
}

/* Tells the sender once that the mail waits (a mail that waited an
 * hour). The mark comes first, so a crash never sends two; a notice that
 * cannot go takes the mark back for the next pass. */
static void NoticeDelay(DHANDLE hMessage, const char *Originator, const char *Reason)
{
    char Subject[OB_REASON_SIZE] = "";
    char Text[OB_STRING_SIZE] = "";
    WORD Length = 0;

    if (NSFItemIsPresent(hMessage, OB_DELAY_ITEM, (WORD)strlen(OB_DELAY_ITEM)) ||
        MarkMessage(hMessage, OB_DELAY_ITEM, "1", nullptr, nullptr, nullptr, nullptr) != NOERROR)
        return;
    if (MailGetMessageItem(hMessage, MAIL_SUBJECT_ITEM_NUM, Subject, sizeof Subject, &Length) !=
        NOERROR)
        Subject[0] = '\0';
    VqFormat(Text, sizeof Text,
             "Your fax \"%.100s\" has not been sent yet (%s). The gateway keeps trying for %ld "
             "hours; you need do nothing.",
             Subject, Reason, RetryMaxHours);
    if (SendSenderNotice(Originator, "Delayed fax", Text) != NOERROR)
        MarkMessage(hMessage, OB_DELAY_ITEM, nullptr, nullptr, nullptr, nullptr, nullptr);
}

/* A retryable fault: the message stays as it is for the next pass, said
 * in one line; its sender hears of it once after an hour. */
static void LeaveForNextPass(DHANDLE hMessage, const char *Originator, STATUS error, long Age)
{
    char Reason[OB_STRING_SIZE] = "";
    char Text[OB_STRING_SIZE + OB_ORIGINATOR_SIZE] = "";

    AddInFormatError(Reason, error != NOERROR ? error : ERR_DISK_FULL);
    VqFormat(Text, sizeof Text, "from %s: %s", Originator, Reason);
    AddInLogError(VQM_OUT_MAIL_WAITS, NOERROR, Text);
    if (Age >= OB_DELAY_SECONDS)
        NoticeDelay(hMessage, Originator, Reason);
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

/* Outcome 1: the job is the fax server's. Its sender's delivery reports,
 * then the line that says so. */
static void SendDeliveryReports(DARRAY *MessageList, WORD Msg, WORD RecipientCount,
                                const char *Originator)
{
    for (WORD Rec = 0; Rec < RecipientCount; Rec++)
        LogIfFailed(MailSendDeliveryReport(MessageList, Msg, 1, &Rec), "MailSendDeliveryReport");
    AddInLogError(VQM_FAX_DELIVERED_TO_GATEWAY, NOERROR, Originator);
}

/* Removes the files of an error copy that will not be mailed now (the
 * next pass makes a new one). */
static void RemoveErrorCopy(LIST *ErrorFileList)
{
    char Path[VQ_FILE_PATH];
    char *Text = nullptr;
    WORD Length = 0;

    for (WORD n = 0; ErrorFileList != nullptr && n < ListGetNumEntries(ErrorFileList, TRUE); n++)
        if (ListGetText(ErrorFileList, TRUE, n, &Text, &Length) == NOERROR) {
            VqCopyN(Path, sizeof Path, Text, Length);
            RemoveFile(Path);
        }
}

/* Outcome 2: a failed transfer (TransferStatus). The error copy is
 * written first; with it, the administrator's mail is marked due before
 * the reports go, so a crash never sends them twice, and the recipients
 * go once the mail is on its way. Without it: a broken spool stops the
 * gateway with every recipient kept, a full one leaves the message for
 * the next pass (until Expired), anything else holds it. 0 to go on
 * with the pass, 1 to end it (a retryable fault). */
static int FailTransfer(DHANDLE hMessage, const char *Originator, DARRAY *MessageList, WORD Msg,
                        WORD RecipientCount, STATUS TransferStatus, int Expired, long Age)
{
    char String[OB_STRING_SIZE] = "";
    char Reason[OB_STRING_SIZE] = "";
    DHANDLE hErrorFileList = NULLHANDLE;
    LIST *ErrorFileList = nullptr;
    int State = OB_DISK_FINE;
    int EndPass = 0;
    STATUS error = NOERROR;

    AddInFormatError(String, VQM_CREATE_FINAL_ERROR, (int)TransferStatus);
    AddInLogError(VQM_TEXT, NOERROR, String);
    PortDiskFullTake();
    error = WriteJob(hMessage, Originator, MessageList, Msg, RecipientCount, 1, &hErrorFileList);
    if (hErrorFileList != NULLHANDLE)
        ErrorFileList = (LIST *)OSLockObject(hErrorFileList);

    if (error == NOERROR) {
        /* a mail sent again later names the copy it could not carry */
        char *Envelope = nullptr;
        WORD Length = 0;
        if (ErrorFileList != nullptr && ListGetNumEntries(ErrorFileList, TRUE) > 0 &&
            ListGetText(ErrorFileList, TRUE, 0, &Envelope, &Length) == NOERROR)
            VqFormat(Reason, sizeof Reason, "The error copy stays in %.*s", (int)Length, Envelope);
        if (MarkMessage(hMessage, OB_ADMIN_DUE_ITEM, String, OB_ADMIN_TEXT_ITEM, Reason, nullptr,
                        nullptr) != NOERROR) {
            RemoveErrorCopy(ErrorFileList); /* the next pass starts afresh */
        } else {
            SendNonDeliveryReports(MessageList, Msg, RecipientCount, String);
            if (TellAdministrator(ErrorFileList, String, "", "") == NOERROR)
                DeleteAllRecipients(MessageList, Msg, RecipientCount);
        }
        FreeErrorFileList(&hErrorFileList);
        return 0;
    }
    /* a copy that failed half-way is of no use to anybody: the message
     * itself stays, and a later pass writes a whole one */
    RemoveErrorCopy(ErrorFileList);
    State = IsRetryable(error) || PortDiskFullTake() ? OB_DISK_FULL : DiskState();
    if (State == OB_DISK_BROKEN) {
        /* a spool folder missing, read-only or not ours: the environment */
        AddInLogError(VQM_DS0, 1, "Can not write the error copy; the message waits");
        E_quit = 1;
    } else if (State == OB_DISK_FULL && !Expired) {
        LeaveForNextPass(hMessage, Originator, error, Age);
        EndPass = 1;
    } else {
        /* the message's own fault, or a fault that outlived its time */
        if (State == OB_DISK_FULL)
            VqFormat(Reason, sizeof Reason, "still failing after %ld hours: ", RetryMaxHours);
        AddInFormatError(Reason + strlen(Reason), error);
        HoldMessage(hMessage, Originator, MessageList, Msg, RecipientCount, Reason, String);
    }
    FreeErrorFileList(&hErrorFileList);
    return EndPass;
}

/* Outcomes 3 and 4: a non-delivery report that reached the gateway. It
 * is forwarded to the administrator and leaves once the mail is on its
 * way; one that cannot go waits for the next pass. A report about the
 * administrator's own mail is held: forwarding it would only bounce
 * again. */
static void ForwardReport(DHANDLE hMessage, DARRAY *MessageList, WORD Msg, WORD RecipientCount)
{
    char IntendedRecip[OB_INTENDED_SIZE] = "";
    char FailureReason[OB_REASON_SIZE] = "";
    char Reason[OB_STRING_SIZE] = "";
    WORD Length = 0;

    /* unreadable items leave their texts empty; the mail goes all the same */
    if (MailGetMessageItem(hMessage, MAIL_INTENDEDRECIPIENT_ITEM_NUM, IntendedRecip,
                           sizeof IntendedRecip, &Length) != NOERROR)
        IntendedRecip[0] = '\0';
    if (MailGetMessageItem(hMessage, MAIL_FAILUREREASON_ITEM_NUM, FailureReason,
                           sizeof FailureReason, &Length) != NOERROR)
        FailureReason[0] = '\0';

    if (strcmp(IntendedRecip, FaxAdministrator) == 0) {
        AddInLogError(VQM_DS0, NOERROR, "Non-Delivery is to admin");
        VqFormat(Reason, sizeof Reason, "Non-Delivery is to admin: %s", FailureReason);
        MarkMessage(hMessage, OB_HELD_ITEM, Reason, nullptr, nullptr, nullptr, nullptr);
        return;
    }
    if (TellAdministrator(nullptr, "Non-Delivery Report", IntendedRecip,
                          FailureReason) == NOERROR)
        DeleteAllRecipients(MessageList, Msg, RecipientCount);
}

/* A message whose administrator mail is still due: the mail again, and
 * once it went, a failed transfer is settled; a held message stays as it
 * is (one released meanwhile is tried again by the next pass). */
static void RetryAdministratorMail(DHANDLE hMessage, DARRAY *MessageList, WORD Msg,
                                   WORD RecipientCount, BOOL Held)
{
    char Subject[OB_STRING_SIZE] = "";
    char Text[OB_STRING_SIZE] = "";

    NSFItemGetText(hMessage, OB_ADMIN_DUE_ITEM, Subject, sizeof Subject);
    NSFItemGetText(hMessage, OB_ADMIN_TEXT_ITEM, Text, sizeof Text);
    if (TellAdministrator(nullptr, Subject, "", Text) != NOERROR)
        return;
    if (Held || strcmp(Subject, OB_HELD_SUBJECT) == 0)
        MarkMessage(hMessage, OB_ADMIN_DUE_ITEM, nullptr, OB_ADMIN_TEXT_ITEM, nullptr, nullptr,
                    nullptr);
    else
        DeleteAllRecipients(MessageList, Msg, RecipientCount);
}

/* Messages whose job went out but whose purge failed (a busy or full
 * gateway mail file): the next passes only purge them again, never
 * write a second job. A message is known by its note ID and the time
 * the router delivered it, so a later message under a reused ID is
 * never taken for it. Its journal entry is marked handed over, so a
 * restart finishes it without a second job too. */
#define OB_UNPURGED_MAX 64
typedef struct {
    NOTEID NoteId;
    TIMEDATE Delivered;
} UNPURGED;
static UNPURGED Unpurged[OB_UNPURGED_MAX];
static int UnpurgedCount = 0;

/* Fills the identity of an opened message. */
static void MessageIdentity(DHANDLE hMessage, UNPURGED *Id)
{
    memset(Id, 0, sizeof *Id);
    NSFNoteGetInfo(hMessage, _NOTE_ID, &Id->NoteId);
    if (!NSFItemGetTime(hMessage, "DeliveredDate", &Id->Delivered))
        memset(&Id->Delivered, 0, sizeof Id->Delivered);
}

/* The slot of a message in Unpurged, or -1. */
static int UnpurgedSlot(const UNPURGED *Id)
{
    for (int i = 0; i < UnpurgedCount; i++)
        if (Unpurged[i].NoteId == Id->NoteId &&
            TimeDateCompare(&Unpurged[i].Delivered, &Id->Delivered) == 0)
            return i;
    return -1;
}

/* A message whose job went out but that stays in the file: its entry
 * is marked handed over (its work name is free for the next job and
 * must no longer name it) and it is remembered, for the next passes to
 * purge it only. */
static void RememberUnpurged(DARRAY *MessageList, WORD Msg, const UNPURGED *Id)
{
    DHANDLE hMessage = NULLHANDLE;

    if (MailOpenMessage(MessageList, Msg, &hMessage) == NOERROR) {
        if (HandOverState(hMessage) != OB_NO_ENTRY)
            MarkMessage(hMessage, OB_WORK_ITEM, OB_HANDED_OVER, nullptr, nullptr, nullptr,
                        nullptr);
        MailCloseMessage(hMessage);
    }
    if (UnpurgedSlot(Id) < 0 && UnpurgedCount < OB_UNPURGED_MAX)
        Unpurged[UnpurgedCount++] = *Id;
}

/* Purges a message; one whose job went out and that stays is
 * remembered (Sent), one remembered that went is forgotten. */
static void PurgeMessage(DARRAY *MessageList, WORD Msg, const UNPURGED *Id, int Sent)
{
    const STATUS error = MailPurgeMessage(MessageList, Msg);
    const int Slot = UnpurgedSlot(Id);

    LogIfFailed(error, "MailPurgeMessage");
    if (error == NOERROR && Slot >= 0)
        Unpurged[Slot] = Unpurged[--UnpurgedCount];
    else if (error != NOERROR && Sent)
        RememberUnpurged(MessageList, Msg, Id);
}

/* A transfer that failed with TransferStatus (Full: on a full disk): an
 * error copy, a wait for the next pass, or a hold. 1 when the pass ends. */
static int TransferFailed(DHANDLE hMessage, const char *Originator, DARRAY *MessageList, WORD Msg,
                          WORD RecipientCount, STATUS TransferStatus, int Full)
{
    const long Age = MessageAge(hMessage);

    if (!(Full || DiskState() == OB_DISK_FULL))
        return FailTransfer(hMessage, Originator, MessageList, Msg, RecipientCount,
                            TransferStatus, 0, Age);
    if (RetryExpired(Age))
        return FailTransfer(hMessage, Originator, MessageList, Msg, RecipientCount,
                            TransferStatus, 1, Age);
    LeaveForNextPass(hMessage, Originator, TransferStatus, Age);
    return 1;
}

/* ---- plain messages in chunks ----
 * A message that needs nothing but its job (not held, no mail due, no
 * journal entry, not a report) is prepared: its job written and on disk
 * under its working name, its log lines held. Up to OB_CHUNK_MAX of them
 * in a row, or those of about OB_CHUNK_MS, are then handed over
 * together: their journal entries in one commit; FAX/OPARCEL fsynced, the
 * jobs renamed in, FAX/OUT fsynced; then message by message its log
 * lines, its reports, its line and its purge, the reports in one routing
 * group and the purges in one commit after it. Any other message hands
 * the chunk over first, so jobs, reports, mails and log lines come in the
 * order of one message at a time. */
#define OB_CHUNK_MAX 100
#define OB_CHUNK_MS 1000L

typedef struct {
    WORD Msg;
    DHANDLE hMessage;       /* open until its journal entry is saved */
    DHANDLE hErrorFileList; /* the job's files, the job file first */
    char Originator[OB_ORIGINATOR_SIZE];
    WORD RecipientCount;
    UNPURGED Id;
    DWORD LogLines; /* its log lines, held until it is finished */
    JOBNAMES Names;
    STATUS Status; /* why its rename failed, else NOERROR */
    int Full;      /* ... on a full disk */
} CHUNKITEM;

typedef struct {
    DARRAY *MessageList;
    int Count;
    long Started; /* NowMs when its first message was prepared */
    int MailGrouped; /* a routing group is open */
    int FileGrouped; /* a group on the gateway mail file is open */
    CHUNKITEM Items[OB_CHUNK_MAX];
} CHUNK;

static CHUNK PassChunk; /* the pass's, reused by every pass */

/* Milliseconds of a clock that never goes back. */
static long NowMs(void)
{
    struct timespec Now;

    clock_gettime(CLOCK_MONOTONIC, &Now);
    return (long)Now.tv_sec * 1000L + Now.tv_nsec / 1000000L;
}

/* The files of a chunk's job that was not handed over. */
static void RemoveJobFiles(CHUNKITEM *Item)
{
    if (Item->hErrorFileList == NULLHANDLE)
        return;
    RemoveErrorCopy((LIST *)OSLockObject(Item->hErrorFileList));
    OSUnlockObject(Item->hErrorFileList);
}

/* The chunk's journal entries in one commit; every message is closed
 * after it. 0 or the status of the failure. */
static STATUS ChunkJournal(CHUNK *Chunk)
{
    STATUS error = VqDbBeginBatch(hMessageFile);
    const int Grouped = error == NOERROR;

    for (int i = 0; i < Chunk->Count && error == NOERROR; i++)
        error = JournalHandOver(Chunk->Items[i].hMessage, Chunk->Items[i].Names.WorkName,
                                Chunk->Items[i].Names.FinalName);
    if (Grouped && error == NOERROR)
        error = VqDbCommitBatch(hMessageFile);
    else if (Grouped)
        VqDbAbortBatch(hMessageFile);
    for (int i = 0; i < Chunk->Count; i++) {
        MailCloseMessage(Chunk->Items[i].hMessage);
        Chunk->Items[i].hMessage = NULLHANDLE;
    }
    return error;
}

/* The parcels' names on disk before the jobs that name them; then the
 * renames, and the jobs' names on disk before anything relies on them. */
static void ChunkRenameIn(CHUNK *Chunk)
{
    const char *Parcel = nullptr;
    const char *Job = nullptr;

    for (int i = 0; i < Chunk->Count; i++)
        if (Chunk->Items[i].Names.ParcelName[0] != '\0')
            Parcel = Chunk->Items[i].Names.ParcelName;
    if (Parcel != nullptr)
        PortSyncDir(Parcel);
    for (int i = 0; i < Chunk->Count; i++) {
        CHUNKITEM *Item = &Chunk->Items[i];
        PortDiskFullTake();
        Item->Status = JobRenameIn(&Item->Names);
        if (Item->Status != NOERROR)
            Item->Full = PortDiskFullTake();
        else
            Job = Item->Names.FinalName;
    }
    if (Job != nullptr)
        PortSyncDir(Job);
}

/* A chunk's message whose job was not handed over (its journal entry
 * saved: Journaled): its lines, the failure's, the entry dropped before
 * the files go, then the failure as one message at a time has it. 1
 * when the pass ends. */
static int FailItem(CHUNK *Chunk, CHUNKITEM *Item, STATUS error, int Full, int Journaled)
{
    DHANDLE hMessage = NULLHANDLE;
    STATUS OpenError = MailOpenMessage(Chunk->MessageList, Item->Msg, &hMessage);
    int EndPass = 0;

    VqLogReleaseHeld(Item->LogLines);
    if (Journaled)
        AddInLogError(VQM_NO_RECIPIENT_FILE, NOERROR, Item->Names.FinalName);
    else
        AddInLogError(VQM_API_CALL_ERROR, error, "Hand-over journal");
    /* an entry that cannot be dropped keeps its work file, so that it
     * still reads as not handed over */
    if (!Journaled || (OpenError == NOERROR && JournalDrop(hMessage) == NOERROR))
        RemoveJobFiles(Item);
    if (OpenError != NOERROR) {
        AddInLogError(VQM_API_CALL_ERROR, OpenError, "MailOpenMessage");
        EndPass = 1;
    } else {
        EndPass = TransferFailed(hMessage, Item->Originator, Chunk->MessageList, Item->Msg,
                                 Item->RecipientCount, error, Full);
        AddInSetStatus(VQM_STATUS_SEARCHING);
        MailCloseMessage(hMessage);
        PurgeMessage(Chunk->MessageList, Item->Msg, &Item->Id, 0);
    }
    return EndPass;
}

/* Opens the groups of the messages finished next. */
static void ChunkGroupsBegin(CHUNK *Chunk)
{
    Chunk->MailGrouped = VqMailBeginBatch() == NOERROR;
    Chunk->FileGrouped = VqDbBeginBatch(hMessageFile) == NOERROR;
}

/* Commits the groups of the messages First to End - 1: the reports
 * first, then the purges. Messages whose purge did not commit are
 * remembered. */
static void ChunkGroupsCommit(CHUNK *Chunk, int First, int End)
{
    STATUS error = NOERROR;

    if (Chunk->MailGrouped)
        LogIfFailed(VqMailCommitBatch(), "VqMailCommitBatch");
    if (Chunk->FileGrouped)
        error = VqDbCommitBatch(hMessageFile);
    Chunk->MailGrouped = Chunk->FileGrouped = 0;
    LogIfFailed(error, "MailPurgeMessage");
    for (int i = First; error != NOERROR && i < End; i++)
        if (Chunk->Items[i].Status == NOERROR)
            RememberUnpurged(Chunk->MessageList, Chunk->Items[i].Msg, &Chunk->Items[i].Id);
}

/* Every message of a chunk whose journal entries are saved and whose
 * jobs were renamed in, in order. 1 when the pass ends. */
static int ChunkFinish(CHUNK *Chunk)
{
    int First = -1; /* the first message of the open groups */
    int EndPass = 0;

    for (int i = 0; i < Chunk->Count; i++) {
        CHUNKITEM *Item = &Chunk->Items[i];
        if (Item->Status != NOERROR) {
            if (First >= 0)
                ChunkGroupsCommit(Chunk, First, i);
            First = -1;
            EndPass |= FailItem(Chunk, Item, Item->Status,
                                IsRetryable(Item->Status) || Item->Full, 1);
            continue;
        }
        if (First < 0) {
            ChunkGroupsBegin(Chunk);
            First = i;
        }
        VqLogReleaseHeld(Item->LogLines);
        SendDeliveryReports(Chunk->MessageList, Item->Msg, Item->RecipientCount, Item->Originator);
        DeleteAllRecipients(Chunk->MessageList, Item->Msg, Item->RecipientCount);
        AddInSetStatus(VQM_STATUS_SEARCHING);
        PurgeMessage(Chunk->MessageList, Item->Msg, &Item->Id, 1);
    }
    if (First >= 0)
        ChunkGroupsCommit(Chunk, First, Chunk->Count);
    return EndPass;
}

/* Hands the prepared messages over (none is fine). A journal that cannot
 * be saved undoes the chunk: the first message meets the failure as one
 * message at a time would, the others wait for the next pass. 1 when the
 * pass ends. */
static int FlushChunk(CHUNK *Chunk)
{
    STATUS error = NOERROR;
    int EndPass = 0;

    VqLogHold(FALSE);
    PortDiskFullTake();
    if (Chunk->Count > 0)
        error = ChunkJournal(Chunk);
    if (Chunk->Count == 0) {
        VqLogReleaseHeld(VqLogHeldCount()); /* none is held without a message */
    } else if (error == NOERROR) {
        ChunkRenameIn(Chunk);
        EndPass = ChunkFinish(Chunk);
    } else {
        const int Full = IsRetryable(error) || PortDiskFullTake();
        FailItem(Chunk, &Chunk->Items[0], error, Full, 0);
        for (int i = 1; i < Chunk->Count; i++)
            RemoveJobFiles(&Chunk->Items[i]);
        VqLogReleaseHeld(VqLogHeldCount());
        EndPass = 1;
    }
    for (int i = 0; i < Chunk->Count; i++)
        FreeErrorFileList(&Chunk->Items[i].hErrorFileList);
    Chunk->Count = 0;
    return EndPass;
}

/* A plain message whose job failed (error; its files are gone): the
 * chunk is handed over first, then its lines, then its failure. 1 when
 * the pass ends. */
static int PrepareFailed(CHUNK *Chunk, DHANDLE hMessage, WORD Msg, const char *Originator,
                         WORD RecipientCount, const UNPURGED *Id, STATUS error)
{
    const int Full = IsRetryable(error) || PortDiskFullTake();
    int EndPass = FlushChunk(Chunk);

    VqLogReleaseHeld(VqLogHeldCount()); /* its own lines */
    if (!EndPass)
        EndPass = TransferFailed(hMessage, Originator, Chunk->MessageList, Msg, RecipientCount,
                                 error, Full);
    AddInSetStatus(VQM_STATUS_SEARCHING);
    MailCloseMessage(hMessage);
    PurgeMessage(Chunk->MessageList, Msg, Id, 0);
    return EndPass;
}

/* A plain message: its job written and on disk, the message kept open in
 * the chunk, which is handed over once full. 1 when the pass ends. */
static int PrepareMessage(CHUNK *Chunk, DHANDLE hMessage, WORD Msg, const char *Originator,
                          WORD RecipientCount, const UNPURGED *Id)
{
    CHUNKITEM *Item = &Chunk->Items[Chunk->Count];
    LIST *ErrorFileList = nullptr;
    WORD ErrorFileListSize = 0;
    const DWORD HeldBefore = VqLogHeldCount();
    STATUS error = NOERROR;
    int EndPass = 0;

    memset(Item, 0, sizeof *Item);
    if (Chunk->Count == 0)
        Chunk->Started = NowMs();
    VqLogHold(TRUE);
    PortDiskFullTake();
    error = ListAllocate(0, 0, TRUE, &Item->hErrorFileList, &ErrorFileList, &ErrorFileListSize);
    if (error == NOERROR) {
        /* the writer grows the list through its handle, which needs it unlocked */
        OSUnlockObject(Item->hErrorFileList);
        error = JobPrepare(hMessage, Originator, Chunk->MessageList, Msg, RecipientCount,
                           Item->hErrorFileList, ErrorFileList, &ErrorFileListSize, &Item->Names);
    } else {
        Item->hErrorFileList = NULLHANDLE;
    }
    if (error == NOERROR) {
        Item->Msg = Msg;
        Item->hMessage = hMessage;
        VqCopy(Item->Originator, sizeof Item->Originator, Originator);
        Item->RecipientCount = RecipientCount;
        Item->Id = *Id;
        Item->LogLines = VqLogHeldCount() - HeldBefore;
        Chunk->Count++;
        if (Chunk->Count >= OB_CHUNK_MAX || NowMs() - Chunk->Started >= OB_CHUNK_MS)
            EndPass = FlushChunk(Chunk);
    } else {
        FreeErrorFileList(&Item->hErrorFileList);
        EndPass = PrepareFailed(Chunk, hMessage, Msg, Originator, RecipientCount, Id, error);
    }
    return EndPass;
}

/* One message of the list: a plain one joins the chunk; any other hands
 * the chunk over first, then settles its outcome and purges it. A message
 * that cannot be opened or whose originator cannot be read stays as it
 * is. 1 when a retryable fault ends the pass. */
static int HandleMessage(CHUNK *Chunk, WORD Msg)
{
    DARRAY *MessageList = Chunk->MessageList;
    DHANDLE hMessage = NULLHANDLE;
    char Originator[OB_ORIGINATOR_SIZE] = "";
    WORD OriginatorLength = 0;
    WORD RecipientCount = 0;
    STATUS error = NOERROR;
    BOOL Held = FALSE;
    BOOL AdminDue = FALSE;
    int EndPass = 0;
    int Sent = 0;
    int HandOver = OB_NO_ENTRY;
    UNPURGED Id;

    error = MailOpenMessage(MessageList, Msg, &hMessage);
    if (error == NOERROR)
        error = MailGetMessageOriginator(MessageList, Msg, Originator, sizeof Originator,
                                         &OriginatorLength);
    if (error != NOERROR) {
        EndPass = FlushChunk(Chunk);
        AddInLogError(VQM_API_CALL_ERROR, error,
                      hMessage == NULLHANDLE ? "MailOpenMessage" : "MailGetMessageOriginator");
        if (hMessage != NULLHANDLE)
            MailCloseMessage(hMessage);
        return EndPass || IsRetryable(error);
    }
    /* an unreadable count leaves 0: no reports, no deletions */
    if (MailGetMessageInfo(MessageList, Msg, &RecipientCount, nullptr, nullptr) != NOERROR)
        RecipientCount = 0;
    Held = NSFItemIsPresent(hMessage, OB_HELD_ITEM, (WORD)strlen(OB_HELD_ITEM));
    AdminDue = NSFItemIsPresent(hMessage, OB_ADMIN_DUE_ITEM, (WORD)strlen(OB_ADMIN_DUE_ITEM));
    MessageIdentity(hMessage, &Id);
    HandOver = HandOverState(hMessage);

    if (UnpurgedSlot(&Id) < 0 && HandOver == OB_NO_ENTRY && !AdminDue && !Held &&
        !MailIsNonDeliveryReport(hMessage))
        return PrepareMessage(Chunk, hMessage, Msg, Originator, RecipientCount, &Id);

    EndPass = FlushChunk(Chunk);
    if (EndPass) {
        /* the rest waits for the next pass */
    } else if (UnpurgedSlot(&Id) >= 0) {
        Sent = 1; /* its job is out: only the purge is left */
        DeleteAllRecipients(MessageList, Msg, RecipientCount);
    } else if (HandOver == OB_HANDED) {
        /* handed over before a crash: finished without a new job; its
         * sender's reports may not have gone */
        Sent = 1;
        SendDeliveryReports(MessageList, Msg, RecipientCount, Originator);
        DeleteAllRecipients(MessageList, Msg, RecipientCount);
    } else if (HandOver == OB_NOT_HANDED && JournalDrop(hMessage) != NOERROR) {
        EndPass = 1; /* the entry stays: a later pass judges it again */
    } else if (AdminDue) {
        RetryAdministratorMail(hMessage, MessageList, Msg, RecipientCount, Held);
    } else if (Held) {
        /* waits for the operator */
    } else if (MailIsNonDeliveryReport(hMessage)) {
        ForwardReport(hMessage, MessageList, Msg, RecipientCount);
    } else {
        /* its entry dropped: its job is made again, one message at a time */
        EndPass = PrepareMessage(Chunk, hMessage, Msg, Originator, RecipientCount, &Id);
        if (!EndPass)
            EndPass = FlushChunk(Chunk);
        return EndPass;
    }

    /* the writer and the error mail change the status line */
    AddInSetStatus(VQM_STATUS_SEARCHING);
    MailCloseMessage(hMessage);
    /* removes the message only once none of its recipients remain; one
     * that stays is met again by the next pass */
    PurgeMessage(MessageList, Msg, &Id, Sent);
    return EndPass;
}

/* The pass: every message the gateway mail file holds when it starts,
 * until a full disk or a busy database ends it (the rest waits). */
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
    PassChunk.MessageList = MessageList;
    PassChunk.Count = 0;
    for (WORD Msg = 0; Msg < MessageCount; Msg++) {
        if (HandleMessage(&PassChunk, Msg))
            break;
    }
    FlushChunk(&PassChunk);
    VqUniqueNamesEndPass();

    OSUnlockObject(hMessageList);
    OSMemFree(hMessageList);
    AddInSetStatus(VQM_STATUS_IDLE);
}
