/*
 * inbound_pass.cpp - the inbound pass: every received-fax control file
 * "ST??????" in FAX/IN becomes a mail in mail.box, with the image from
 * FAX/IPARCEL attached as "RX.FAX", routed at once. Recipients come from
 * the "To:" lines, the DID lookup, the default recipient when nobody was
 * named, and the administrator when a name did not resolve.
 *
 * Before the hand-over each recipient that is a Person of the directory
 * is checked: one whose mail file is missing or cannot be opened is
 * logged and dropped, and the administrator gets the fax in its place
 * (one copy) and a mail that names it; a fax that the administrator's
 * mail file cannot take either waits in FAX/IN, untouched. After a
 * hand-over each Person must hold the fax: one whose mail file broke
 * meanwhile (the router reports that to the gateway and succeeds) is
 * logged, the fax stays in FAX/IN, and the next pass gives that copy to
 * the administrator.
 *
 * Faxes are handed over in chunks (up to a hundred, or a second): their
 * mail is routed in one group, committed at once, and only then is each
 * checked and its files removed, in order, with the log reading as if
 * each fax were done alone. A fax that fails ends the chunk before it and
 * is handled alone.
 *
 * On disk: a delivered control file and its image are deleted, and only
 * once the router's commit has the mail; the image only once the control
 * file is gone. A file that cannot be delivered gets the failure line appended
 * and is moved to FAX/ERROR as "<name>.BAD", its
 * image beside it as "<name>"; a name already taken there is never
 * replaced: the next free "<name>-N" is used. An image that is not there
 * fails its fax with "image not found". A control file is read under an exclusive flock: one that the
 * fax server holds locked (writing it in place) waits for a later pass;
 * one that cannot be opened for update at all (a link, a folder, no
 * permission) is reported once and left alone, and the pass goes on. The
 * body text is gathered in memory.
 */
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "inbound.h"

#define RX_ATTACHMENT_NAME "RX.FAX"
#define RX_FROM_NAME "VORTIQ"
#define RX_FROM_NAME_LEN 6
#define RX_ADMIN_ERROR_STRING "Inbound Message"
#define CONTROL_FILE_PATTERN "ST??????" /* letter case ignored */

/* The three spool directories of the pass (split form, no drive). */
typedef struct {
    char RecipientDir[VQ_FILE_PATH];
    char AttachmentDir[VQ_FILE_PATH];
    char ErrorDir[VQ_FILE_PATH];
} INDIRS;

/* State of one control file while it is handled. */
typedef struct {
    FILE *ControlFile;
    FILE *BodyFile;     /* the body text, written into memory */
    char *BodyText;     /* ... and what it holds once closed */
    size_t BodySize;
    DHANDLE hMessage;
    DHANDLE dupRecip;
    DHANDLE hSent;      /* the recipients handed to the router */
    RECITEMINFO Rec;
    int RxFile;
    char SubjectField[IN_SUBJECT_SIZE];
    char AttachmentName[VQ_FILE_PATH];
    char FailureText[MAXSPRINTF]; /* a failure with a text of its own */
    char Undelivered[IN_LINE_SIZE]; /* recipients whose mail file fails */
    int Hold;                       /* kept in FAX/IN for a later pass */
    int NothingToSend;              /* every recipient holds it already */
    char FaxId[VQ_FILE_PATH + 32];  /* name, size and checksum of the control file */
    ENTRYCOL EntryCol[ENTRY_COLS];
    /* kept from the hand-over to the end of its chunk */
    char FoundName[VQ_FILE_PATH];
    char ForeignFileName[VQ_FILE_PATH];
    int Routed;           /* the router took it whole: checked after the commit */
    int Handed;           /* routed, or saved in mail.box for the router */
    STATUS Waits;         /* why it is kept in FAX/IN: its mail did not commit */
    int Quiet;            /* ... said already for its chunk */
    STATUS RouterKeeps;   /* why its mail waits in mail.box for the router */
    int InBox;            /* after a failed commit: its mail is in mail.box */
    int Seen;             /* ... or each recipient was seen holding it */
    DWORD LogMark;        /* held log lines up to the end of its hand-over */
    RECITEMINFO Failed;   /* Persons found lacking it after the commit */
    STATUS EntryError;    /* its activity entry failed ... */
    const char *EntryWhat; /* ... at this step */
} INFAX;

/* Faxes handed over together: their mail is routed in one group and
 * committed at once (VqMailBeginBatch), then each is checked, their
 * activity entries are written in one group, and only then do their
 * spool files go. The log lines of their hand-overs are held meanwhile,
 * so that the log reads fax by fax as if each were done alone. A chunk
 * ends after IN_CHUNK_FAXES faxes or IN_CHUNK_MS, and before a fax
 * that fails, which is then handled alone. */
#define IN_CHUNK_FAXES 100
#define IN_CHUNK_MS 1000

typedef struct {
    INDIRS Dirs;
    DBHANDLE hMailboxFile;
    int Open;      /* a chunk is open: its log lines are held */
    int Batch;     /* ... and its routing group began */
    int Stop;      /* a commit found the disk full or a database busy */
    int Count;     /* faxes handed over in the open chunk */
    long long Start; /* when the chunk opened (ChunkClockMs) */
} INPASS;

/* The faxes of the open chunk (one pass at a time runs per process). */
static INFAX ChunkFaxes[IN_CHUNK_FAXES];

/* A file that should have gone is still there: said once in the log. */
static void LogNotDeleted(const char *Path)
{
    char Text[IN_LINE_SIZE];

    VqFormat(Text, sizeof Text, "Can not delete %s", Path);
    AddInLogError(VQM_DS0, NOERROR, Text);
}

/* Header line: a recipient to look up. */
static STATUS AddNamedRecipient(INFAX *Fax, const char *Name)
{
    AddInLogError(VQM_IN_RECIPIENT_IS, NOERROR, Name);
    return AddRecipientName(&Fax->Rec, Name);
}

/* Header line: the image; only a plain name is joined below FAX/IPARCEL. */
static STATUS AttachImage(INFAX *Fax, const INDIRS *Dirs, const char *Name)
{
    if (!InImageNameIsPlain(Name)) {
        VqFormat(Fax->FailureText, sizeof Fax->FailureText,
                 "Attachment name is not a plain file name: %.200s", Name);
        return ERR_BAD_PARAM;
    }
    if (PortMakePath(Fax->AttachmentName, sizeof Fax->AttachmentName, GatewayDrive,
                     Dirs->AttachmentDir, Name, "") != 0) {
        Fax->AttachmentName[0] = '\0';
        return ERR_PATH_TOO_LONG;
    }
    if (!PortLexists(Fax->AttachmentName)) {
        Fax->AttachmentName[0] = '\0'; /* nothing to move with the control file */
        VqFormat(Fax->FailureText, sizeof Fax->FailureText, "image not found: %.200s", Name);
        return ERR_NOEXIST;
    }
    STATUS error = MailAddMessageAttachment(Fax->hMessage, Fax->AttachmentName, RX_ATTACHMENT_NAME);
    if (error == NOERROR)
        InAttachPdfCopy(Fax->hMessage, Fax->AttachmentName);
    return error;
}

/* Reads the header section and does what each line calls for; stops at
 * the first failing call. */
static STATUS ReadHeader(INFAX *Fax, const INDIRS *Dirs)
{
    char String[IN_LINE_SIZE];
    char Value[IN_LINE_SIZE];
    STATUS error = NOERROR;

    while (error == NOERROR && PortFgets(String, sizeof String, Fax->ControlFile) != nullptr) {
        if (InIsHeaderEnd(String))
            break;
        switch (InParseHeaderLine(String, Value, sizeof Value)) {
        case IN_HDR_RECIPIENT:
            error = AddNamedRecipient(Fax, Value);
            break;
        case IN_HDR_SUBJECT:
            VqCopy(Fax->SubjectField, sizeof Fax->SubjectField, Value);
            error = MailAddHeaderItem(Fax->hMessage, MAIL_SUBJECT_ITEM_NUM, Fax->SubjectField,
                                      (WORD)strlen(Fax->SubjectField));
            break;
        case IN_HDR_ATTACHMENT:
            error = AttachImage(Fax, Dirs, Value);
            break;
        default:
            break;
        }
    }
    return error;
}

/* Called for each "DID Received:" line of the information block. */
static void OnDIDLine(const char *DID, void *Context)
{
    INFAX *Fax = (INFAX *)Context;
    CheckDID(DID, &Fax->Rec);
    Fax->RxFile = 1;
}

/* Default recipient when nobody was named, the administrator once when a
 * name did not resolve. The appends are not examined: the recipients item
 * is written with what the list holds. */
static void CompleteRecipients(RECITEMINFO *Rec)
{
    if (Rec->Recipients == 0) {
        AddInLogError(VQM_SEND_TO_DEFAULT, NOERROR, DefRecipient);
        AddRecipientName(Rec, DefRecipient);
    }
    if (Rec->toAdmin) {
        AppendRecipient(Rec, FaxAdministrator);
        Rec->Recipients++;
    }
}

/* Keeps the recipients whose mail file takes the fax and does not hold it
 * yet (an earlier pass may have reached some); the administrator replaces
 * the others (once), and a fax that not even the administrator's mail
 * file takes is held. */
static STATUS SettleRecipients(INFAX *Fax)
{
    RECITEMINFO Kept;
    char Name[IN_LINE_SIZE];
    char *Text = nullptr;
    WORD TextSize = 0;
    WORD n = 0;
    int HasAdmin = 0;
    int Check = IN_MAILFILE_TAKES;
    int KeptCount = 0;
    STATUS error = ListAllocate(0, 0, TRUE, &Kept.hRecipientsItem, &Kept.RecipientsItem,
                                &Kept.RecipientsItemSize);

    if (error != NOERROR)
        return error;
    OSUnlockObject(Kept.hRecipientsItem);
    Fax->Rec.RecipientsItem = (LIST *)OSLockObject(Fax->Rec.hRecipientsItem);
    n = Fax->Rec.RecipientsItem != nullptr ? ListGetNumEntries(Fax->Rec.RecipientsItem, TRUE) : 0;
    for (WORD i = 0; i < n && error == NOERROR; i++) {
        error = ListGetText(Fax->Rec.RecipientsItem, TRUE, i, &Text, &TextSize);
        if (error != NOERROR)
            break;
        VqCopyN(Name, sizeof Name, Text, TextSize);
        Check = RecipientMailFile(Name, Fax->FaxId);
        if (Check == IN_MAILFILE_BUSY) {
            error = ERR_DB_BUSY; /* the whole fax waits */
            break;
        }
        if (Check == IN_MAILFILE_FAILS) {
            AddInLogError(VQM_IN_RECIPIENT_FAILED, NOERROR, Name);
            VqFormat(Fax->Undelivered + strlen(Fax->Undelivered),
                     sizeof Fax->Undelivered - strlen(Fax->Undelivered), "%s%s",
                     Fax->Undelivered[0] != '\0' ? ", " : "", Name);
            continue;
        }
        HasAdmin |= VqStricmp(Name, FaxAdministrator) == 0;
        if (Check == IN_MAILFILE_TAKES || Check == IN_MAILFILE_LACKS) {
            error = AppendRecipient(&Kept, Name);
            KeptCount++;
        }
    }
    OSUnlockObject(Fax->Rec.hRecipientsItem);
    Fax->Rec.RecipientsItem = nullptr;
    if (error == NOERROR && Fax->Undelivered[0] != '\0' && !HasAdmin) {
        Check = RecipientMailFile(FaxAdministrator, Fax->FaxId);
        if (Check == IN_MAILFILE_BUSY) {
            error = ERR_DB_BUSY;
        } else if (Check == IN_MAILFILE_FAILS) {
            AddInLogError(VQM_IN_RECIPIENT_FAILED, NOERROR, FaxAdministrator);
            Fax->Hold = 1;
            error = ERR_ROUTER_NOMAILFILE;
        } else if (Check == IN_MAILFILE_TAKES || Check == IN_MAILFILE_LACKS) {
            error = AppendRecipient(&Kept, FaxAdministrator);
            KeptCount++;
        }
    }
    Fax->NothingToSend = KeptCount == 0;
    if (error != NOERROR) {
        OSMemFree(Kept.hRecipientsItem);
        return error;
    }
    OSMemFree(Fax->Rec.hRecipientsItem);
    Fax->Rec.hRecipientsItem = Kept.hRecipientsItem;
    Fax->Rec.RecipientsItemSize = Kept.RecipientsItemSize;
    return NOERROR;
}

/* Copy of the recipients list (for the activity entry, for the check
 * after the hand-over). */
static STATUS DuplicateRecipients(INFAX *Fax, DHANDLE *phCopy)
{
    STATUS error = NOERROR;
    Fax->Rec.RecipientsItem = (LIST *)OSLockObject(Fax->Rec.hRecipientsItem);
    if (Fax->Rec.RecipientsItem == nullptr)
        return ERR_INVALID_HANDLE;
    error = ListDuplicate(Fax->Rec.RecipientsItem, TRUE, phCopy);
    OSUnlockObject(Fax->Rec.hRecipientsItem);
    Fax->Rec.RecipientsItem = nullptr;
    if (error != NOERROR)
        *phCopy = NULLHANDLE;
    return error;
}

/* After its chunk committed, for a hand-over the router reported whole:
 * each Person among the recipients must now hold the fax. One whose mail
 * file failed or lacks it joins Fax->Failed (logged when the fax is
 * finished), and the fax is held in FAX/IN: the next pass skips the
 * recipients that hold it and gives that one's copy to the
 * administrator. After a commit that failed (CommitError) nobody is
 * blamed: a fax that some recipient lacks waits as it is. Held, the
 * activity list keeps only the recipients that got it. */
static STATUS CheckDelivered(INFAX *Fax, STATUS CommitError)
{
    const int Committed = CommitError == NOERROR;
    RECITEMINFO Got;
    char Name[IN_LINE_SIZE];
    char *Text = nullptr;
    WORD TextSize = 0;
    LIST *Sent = (LIST *)OSLockObject(Fax->hSent);
    const WORD n = Sent != nullptr ? ListGetNumEntries(Sent, TRUE) : 0;
    STATUS error = ListAllocate(0, 0, TRUE, &Got.hRecipientsItem, &Got.RecipientsItem,
                                &Got.RecipientsItemSize);

    if (error != NOERROR) {
        OSUnlockObject(Fax->hSent);
        return error;
    }
    OSUnlockObject(Got.hRecipientsItem);
    for (WORD i = 0; i < n && error == NOERROR; i++) {
        error = ListGetText(Sent, TRUE, i, &Text, &TextSize);
        if (error != NOERROR)
            break;
        VqCopyN(Name, sizeof Name, Text, TextSize);
        const int Check = RecipientMailFile(Name, Fax->FaxId);
        /* after a failed commit only a Person seen holding it counts */
        if (Check == IN_MAILFILE_HOLDS || (Committed && Check == IN_MAILFILE_TAKES)) {
            error = AppendRecipient(&Got, Name);
            continue;
        }
        Fax->Hold = 1;
        if (!Committed)
            Fax->Waits = CommitError;
        if (Check == IN_MAILFILE_BUSY || !Committed)
            continue; /* cannot tell yet: the next pass looks again */
        /* the administrator has nobody to hand over to: tried again */
        if (VqStricmp(Name, FaxAdministrator) != 0)
            MarkDeliveryFailed(Name, Fax->FaxId);
        if (Fax->Failed.hRecipientsItem == NULLHANDLE) {
            error = ListAllocate(0, 0, TRUE, &Fax->Failed.hRecipientsItem,
                                 &Fax->Failed.RecipientsItem, &Fax->Failed.RecipientsItemSize);
            if (error != NOERROR) {
                Fax->Failed.hRecipientsItem = NULLHANDLE;
                break;
            }
            OSUnlockObject(Fax->Failed.hRecipientsItem);
        }
        error = AppendRecipient(&Fax->Failed, Name);
    }
    OSUnlockObject(Fax->hSent);
    if (error == NOERROR && Fax->Hold && Fax->dupRecip != NULLHANDLE) {
        OSMemFree(Fax->dupRecip);
        Fax->dupRecip = Got.hRecipientsItem;
        Got.hRecipientsItem = NULLHANDLE;
    }
    if (Got.hRecipientsItem != NULLHANDLE)
        OSMemFree(Got.hRecipientsItem);
    return error;
}

static void FlushChunk(INPASS *Pass);

/* Longest line of a body item. */
#define RX_BODY_LINE_MAX 0xFFFF

/* The body text into the message, read as a text file is: CR, LF or a CR
 * LF pair ends a line, 0x1A ends the text. A line longer than a body line
 * holds goes on in the next. */
static STATUS AddBodyText(DHANDLE hMessage, const char *Text, size_t Size)
{
    DHANDLE hBody = NULLHANDLE;
    DWORD BodyLength = 0;
    size_t Start = 0;
    size_t i = 0;
    STATUS error = MailCreateBodyItem(&hBody, &BodyLength);

    if (error != NOERROR)
        return error;
    for (i = 0; i < Size && Text[i] != 0x1A && error == NOERROR; i++) {
        if (Text[i] != '\r' && Text[i] != '\n') {
            if (i - Start == RX_BODY_LINE_MAX) {
                error = MailAppendBodyItemLine(hBody, &BodyLength, Text + Start, RX_BODY_LINE_MAX);
                Start = i;
            }
            continue;
        }
        error = MailAppendBodyItemLine(hBody, &BodyLength, Text + Start, (WORD)(i - Start));
        if (Text[i] == '\r' && i + 1 < Size && Text[i + 1] == '\n')
            i++;
        Start = i + 1;
    }
    if (error == NOERROR && i > Start)
        error = MailAppendBodyItemLine(hBody, &BodyLength, Text + Start, (WORD)(i - Start));
    if (error == NOERROR)
        error = MailAddBodyItem(hMessage, hBody, BodyLength, nullptr);
    OSMemFree(hBody);
    return error;
}

/* Whether the fax's mail is in mail.box, saved for the router. */
static int InMailbox(INPASS *Pass, const INFAX *Fax)
{
    NOTEID Found = 0;

    return Pass->hMailboxFile != NULLHANDLE &&
           VqNSFDbFindByItem(Pass->hMailboxFile, IN_FAX_ID_ITEM, Fax->FaxId, &Found) == NOERROR;
}

/* Builds the message of one opened control file and routes it (in the
 * chunk's group). On a failure every resource but the control file is
 * released before it returns; a fax handed over keeps its body file and
 * the list of its recipients (hSent) for the end of its chunk. */
static STATUS BuildAndRoute(INFAX *Fax, INPASS *Pass)
{
    STATUS error = NOERROR;

    if (Pass->hMailboxFile == NULLHANDLE) {
        error = MailOpenMessageFile(nullptr, &Pass->hMailboxFile);
        if (error != NOERROR) {
            Pass->hMailboxFile = NULLHANDLE; /* the next file tries again */
            goto done;
        }
    }
    error = MailCreateMessage(Pass->hMailboxFile, &Fax->hMessage);
    if (error != NOERROR) {
        Fax->hMessage = NULLHANDLE;
        goto done;
    }
    error = NSFItemSetText(Fax->hMessage, IN_FAX_ID_ITEM, Fax->FaxId, (WORD)strlen(Fax->FaxId));
    if (error != NOERROR)
        goto done;
    error = ListAllocate(0, 0, TRUE, &Fax->Rec.hRecipientsItem, &Fax->Rec.RecipientsItem,
                         &Fax->Rec.RecipientsItemSize);
    if (error != NOERROR) {
        Fax->Rec.hRecipientsItem = NULLHANDLE;
        goto done;
    }
    OSUnlockObject(Fax->Rec.hRecipientsItem);
    Fax->Rec.RecipientsItem = nullptr;

    Fax->BodyFile = PortOpenMemory(&Fax->BodyText, &Fax->BodySize);
    if (Fax->BodyFile == nullptr) {
        error = ERR_MEMORY;
        AddInLogError(VQM_NO_BODY_FILE, NOERROR, "(memory)");
        goto done;
    }

    error = ReadHeader(Fax, &Pass->Dirs);
    if (error != NOERROR)
        goto done;
    if (InIsAdminLog(Fax->SubjectField)) {
        if (InCopyAdminLog(Fax->ControlFile, Fax->BodyFile) != 0)
            error = ERR_IO;
    } else if (InCopyInfoBlock(Fax->ControlFile, Fax->BodyFile, Fax->EntryCol, OnDIDLine, Fax) != 0) {
        error = ERR_IO;
    }
    if (error != NOERROR)
        goto done;

    error = MailAddHeaderItem(Fax->hMessage, MAIL_FROM_ITEM_NUM, RX_FROM_NAME, RX_FROM_NAME_LEN);
    if (error != NOERROR)
        goto done;
    error = MailAddHeaderItem(Fax->hMessage, MAIL_FROMDOMAIN_ITEM_NUM, GatewayDomain,
                              (WORD)strlen(GatewayDomain));
    if (error != NOERROR)
        goto done;
    CompleteRecipients(&Fax->Rec);
    error = SettleRecipients(Fax);
    /* the administrator's copy: the fax is done alone, after the chunk */
    if (Fax->Undelivered[0] != '\0')
        FlushChunk(Pass);
    if (error != NOERROR || Fax->NothingToSend)
        goto done;

    /* The copy is taken before the message takes the list over, so it
     * never depends on a handle that the message owns. */
    if (Fax->RxFile) {
        error = DuplicateRecipients(Fax, &Fax->dupRecip);
        if (error != NOERROR)
            goto done;
    }
    error = DuplicateRecipients(Fax, &Fax->hSent);
    if (error != NOERROR)
        goto done;
    error = MailAddRecipientsItem(Fax->hMessage, Fax->Rec.hRecipientsItem,
                                  Fax->Rec.RecipientsItemSize);
    if (error != NOERROR)
        goto done;
    Fax->Rec.hRecipientsItem = NULLHANDLE; /* the message owns it now */

    /* a body that was not written whole is a failure, not a mail */
    {
        int CloseResult = PortFclose(Fax->BodyFile);
        Fax->BodyFile = nullptr;
        if (CloseResult != 0) {
            error = ERR_MEMORY;
            goto done;
        }
    }
    error = AddBodyText(Fax->hMessage, Fax->BodyText, Fax->BodySize);
    if (error != NOERROR)
        goto done;
    error = MailTransferMessageLocal(Fax->hMessage);
    if (error == NOERROR) {
        /* a mail file that breaks after the check above: the router
         * reports to the gateway itself and succeeds; seen once the
         * chunk committed */
        Fax->Routed = 1;
    } else {
        /* Saved in mail.box, the mail is the router's: it waits there for
         * the mail file that failed (busy, a full disk) and is routed
         * again; the fax must not be sent a second time. */
        NOTEID Saved = 0;
        NSFNoteGetInfo(Fax->hMessage, _NOTE_ID, &Saved);
        if (Saved != 0 || InMailbox(Pass, Fax)) { /* in a group the router saves a copy */
            AddInLogError(VQM_IN_FAX_WAITS, error, "in mail.box, for the router");
            error = NOERROR;
        }
    }
    Fax->Handed = error == NOERROR;

done:
    if (Fax->BodyFile != nullptr) {
        PortFclose(Fax->BodyFile);
        Fax->BodyFile = nullptr;
    }
    PortFreeMemory(Fax->BodyText);
    Fax->BodyText = nullptr;
    if (Fax->hMessage != NULLHANDLE) {
        MailCloseMessage(Fax->hMessage);
        Fax->hMessage = NULLHANDLE;
    }
    if (Fax->Rec.hRecipientsItem != NULLHANDLE) {
        OSUnlockObject(Fax->Rec.hRecipientsItem);
        OSMemFree(Fax->Rec.hRecipientsItem);
        Fax->Rec.hRecipientsItem = NULLHANDLE;
    }
    if (error != NOERROR && Fax->hSent != NULLHANDLE) {
        OSMemFree(Fax->hSent);
        Fax->hSent = NULLHANDLE;
    }
    return error;
}

/* Highest suffix tried for a free name in FAX/ERROR. */
#define RX_ERROR_NAME_TRIES 999

/* First base name in FAX/ERROR under which neither "<base>.BAD" nor
 * "<base>" exists: the control file's name, then "<name>-1", "<name>-2"...
 * 0 when one was found. */
static int FreeErrorName(const INDIRS *Dirs, const char *FoundName, char *Base, size_t BaseSize)
{
    char Bad[VQ_FILE_PATH];
    char Plain[VQ_FILE_PATH];

    for (int n = 0; n <= RX_ERROR_NAME_TRIES; ++n) {
        if (n == 0)
            VqCopy(Base, BaseSize, FoundName);
        else
            VqFormat(Base, BaseSize, "%s-%d", FoundName, n);
        if (PortMakePath(Bad, sizeof Bad, GatewayDrive, Dirs->ErrorDir, Base, "BAD") != 0 ||
            PortMakePath(Plain, sizeof Plain, GatewayDrive, Dirs->ErrorDir, Base, "") != 0)
            return -1;
        if (!PortLexists(Bad) && !PortLexists(Plain))
            return 0;
    }
    return -1;
}

/* Moves one file of a failed fax into FAX/ERROR under Base. A folder that
 * is missing, read-only or not ours stops the gateway; any other failure
 * leaves the file where it was for a later pass. 0 when it moved. */
static int BackUpRxFile(const char *From, const INDIRS *Dirs, const char *Base, const char *Ext)
{
    char Target[VQ_FILE_PATH];
    char Folder[VQ_FILE_PATH];
    int e = 0;

    if (PortMakePath(Target, sizeof Target, GatewayDrive, Dirs->ErrorDir, Base, Ext) == 0 &&
        PortRename(From, Target) == 0)
        return 0;
    e = errno;
    AddInLogError(VQM_DS0, 1, "Could not Back up Rx File.");
    if (PortMakePath(Folder, sizeof Folder, GatewayDrive, Dirs->ErrorDir, "", "") != 0 ||
        PortAccess(Folder) != 0 || e == EROFS || e == EACCES)
        E_quit = 1;
    return -1;
}

/* The failure road: report, tell the administrator, append the reason,
 * move the control file and its image into FAX/ERROR. */
static void FailControlFile(INFAX *Fax, STATUS error, const char *ForeignFileName,
                            const INDIRS *Dirs, const char *FoundName)
{
    char String[IN_LINE_SIZE];
    char Base[VQ_FILE_PATH];

    AddInLogError(VQM_MAIL_NOT_TRANSFERRED, error, nullptr);
    if (Fax->FailureText[0] != '\0')
        VqCopy(String, sizeof String, Fax->FailureText);
    else
        AddInFormatError(String, error);
    AddInLogError(VQM_TEXT, NOERROR, String);
    /* an administrator who was not told keeps the fax waiting, untouched,
     * for the next pass */
    if (SendAdminMessage(nullptr, RX_ADMIN_ERROR_STRING, "", String) != NOERROR) {
        AddInLogError(VQM_DS0, 1, "Can not route error message to Admin");
        PortFclose(Fax->ControlFile);
        Fax->ControlFile = nullptr;
        return;
    }
    if (InWriteFailureLine(Fax->ControlFile, String) != 0)
        AddInLogError(VQM_DS0, NOERROR, "Could not write the failure reason to the Rx File.");
    PortFclose(Fax->ControlFile);
    Fax->ControlFile = nullptr;
    if (FreeErrorName(Dirs, FoundName, Base, sizeof Base) != 0) {
        AddInLogError(VQM_DS0, 1, "Could not Back up Rx File.");
        return;
    }
    /* a fax that named no image has nothing to move */
    if (BackUpRxFile(ForeignFileName, Dirs, Base, "BAD") == 0 && Fax->AttachmentName[0] != '\0')
        BackUpRxFile(Fax->AttachmentName, Dirs, Base, "");
}

/* Opens a control file for update under an exclusive lock into
 * Fax->ControlFile. 0 when it is open; else it is left for a later pass,
 * and one that no pass could open is reported once. */
static int OpenControlFile(INFAX *Fax, const char *ForeignFileName)
{
    int fd = PortSopenExclusive(ForeignFileName);

    if (fd < 0) {
        const int e = errno;
        if (e != EWOULDBLOCK && e != ENOENT)
            VqReportOnce(ForeignFileName, strerror(e), 1);
        return -1;
    }
    Fax->ControlFile = PortFdopen(fd, "r+");
    if (Fax->ControlFile == nullptr) {
        PortClose(fd);
        AddInLogError(VQM_NO_CONTROL_FILE, NOERROR, ForeignFileName);
        return -1;
    }
    return 0;
}

/* The fax's identity: its control file's name, size and checksum, so that
 * a fax dropped again with other content is another fax. The file is
 * read whole and rewound. */
static void FaxIdentity(INFAX *Fax, const char *FoundName)
{
    char Buffer[IN_LINE_SIZE];
    unsigned long Hash = 2166136261UL;
    unsigned long Size = 0;
    size_t Got = 0;

    while ((Got = PortFreadText(Buffer, sizeof Buffer, Fax->ControlFile)) > 0) {
        for (size_t i = 0; i < Got; i++)
            Hash = ((Hash ^ (unsigned char)Buffer[i]) * 16777619UL) & 0xffffffffUL;
        Size += (unsigned long)Got;
    }
    rewind(Fax->ControlFile);
    VqFormat(Fax->FaxId, sizeof Fax->FaxId, "%s-%lu-%08lx", FoundName, Size, Hash);
}

/* Milliseconds of a steady clock. */
static long long ChunkClockMs(void)
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

/* Opens a chunk, when none is: its routing group begins and the log is
 * held. A group that cannot begin leaves each routing to commit alone. */
static void OpenChunk(INPASS *Pass)
{
    if (Pass->Open)
        return;
    Pass->Open = 1;
    Pass->Count = 0;
    Pass->Start = ChunkClockMs();
    VqLogHold(TRUE);
    Pass->Batch = VqMailBeginBatch() == NOERROR;
}

/* The activity entries of the chunk's faxes that carried a DID, written in
 * one group on the activity database and committed before any of their
 * spool files go. A failure is kept on its fax and logged when the fax
 * is finished, where its line stood when each fax was done alone. */
static void WriteChunkEntries(INPASS *Pass)
{
    DBHANDLE hDb = NULLHANDLE;
    int Batch = 0;
    STATUS error = NOERROR;

    for (int i = 0; i < Pass->Count; i++) {
        INFAX *Fax = &ChunkFaxes[i];
        if (!Fax->RxFile)
            continue;
        if (hDb == NULLHANDLE) {
            error = NSFDbOpen(ActLogNsf, &hDb);
            if (error != NOERROR) {
                hDb = NULLHANDLE; /* the next fax tries again */
                Fax->EntryError = error;
                Fax->EntryWhat = "Error Opening DB";
                continue;
            }
            Batch = VqDbBeginBatch(hDb) == NOERROR;
        }
        Fax->EntryError = WriteActivityEntries(hDb, Fax->EntryCol, Fax->dupRecip, Fax->FaxId,
                                               &Fax->EntryWhat);
    }
    if (hDb == NULLHANDLE)
        return;
    error = Batch ? VqDbCommitBatch(hDb) : NOERROR;
    for (int i = 0; i < Pass->Count && error != NOERROR; i++)
        if (ChunkFaxes[i].RxFile && ChunkFaxes[i].EntryError == NOERROR) {
            ChunkFaxes[i].EntryError = error;
            ChunkFaxes[i].EntryWhat = JobEntryStepText(JE_STEP_UPDATE);
        }
    error = NSFDbClose(hDb);
    for (int i = 0; i < Pass->Count && error != NOERROR; i++)
        if (ChunkFaxes[i].RxFile && ChunkFaxes[i].EntryError == NOERROR) {
            ChunkFaxes[i].EntryError = error;
            ChunkFaxes[i].EntryWhat = "Error closing DB";
        }
}

/* Finishes a fax of the committed chunk as it was finished alone: the
 * recipients found lacking it, the delivered line, then its files go
 * (only when it is not held), its activity entry's failure, the
 * administrator's notice of recipients that could not have it. */
static void FinishFax(INFAX *Fax)
{
    char *Text = nullptr;
    WORD TextSize = 0;
    char Name[IN_LINE_SIZE];
    LIST *Failed = Fax->Failed.hRecipientsItem != NULLHANDLE
                       ? (LIST *)OSLockObject(Fax->Failed.hRecipientsItem)
                       : nullptr;
    const WORD n = Failed != nullptr ? ListGetNumEntries(Failed, TRUE) : 0;

    for (WORD i = 0; i < n; i++)
        if (ListGetText(Failed, TRUE, i, &Text, &TextSize) == NOERROR) {
            VqCopyN(Name, sizeof Name, Text, TextSize);
            AddInLogError(VQM_IN_RECIPIENT_FAILED, NOERROR, Name);
        }
    if (Fax->Waits != NOERROR && !Fax->Quiet)
        AddInLogError(VQM_IN_FAX_WAITS, Fax->Waits, Fax->ForeignFileName);
    if (Fax->RouterKeeps != NOERROR)
        AddInLogError(VQM_IN_FAX_WAITS, Fax->RouterKeeps, "in mail.box, for the router");
    if (Fax->Handed && !Fax->Hold)
        AddInLogError(InDeliveredMessage(Fax->SubjectField), NOERROR, nullptr);
    PortFclose(Fax->ControlFile);
    Fax->ControlFile = nullptr;
    if (!Fax->Hold) {
        /* the router has the mail, or every recipient held it already:
         * only now may its files go */
        if (Fax->NothingToSend || Fax->Seen)
            PortFaultNote("held", Fax->ForeignFileName);
        /* A control file that stays keeps its image: the next pass finds
         * its recipients holding it and removes both. */
        if (PortUnlink(Fax->ForeignFileName) != 0)
            LogNotDeleted(Fax->ForeignFileName);
        else if (Fax->AttachmentName[0] != '\0' && PortUnlink(Fax->AttachmentName) != 0)
            LogNotDeleted(Fax->AttachmentName);
    }
    if (Fax->RxFile && Fax->EntryError != NOERROR)
        AddInLogError(VQM_DS0, Fax->EntryError, Fax->EntryWhat);
    if (!Fax->Hold && Fax->Undelivered[0] != '\0') {
        char Notice[IN_LINE_SIZE + VQ_FILE_PATH];
        VqFormat(Notice, sizeof Notice, "Received fax %s could not reach %s; your copy holds it",
                 Fax->FoundName, Fax->Undelivered);
        SendAdminMessage(nullptr, RX_ADMIN_ERROR_STRING, "", Notice);
    }
    if (Failed != nullptr)
        OSUnlockObject(Fax->Failed.hRecipientsItem);
    if (Fax->Failed.hRecipientsItem != NULLHANDLE)
        OSMemFree(Fax->Failed.hRecipientsItem);
    Fax->Failed.hRecipientsItem = NULLHANDLE;
}

/* Releases what a fax kept for the end of its chunk. */
static void ReleaseFax(INFAX *Fax)
{
    if (Fax->dupRecip != NULLHANDLE) {
        OSUnlockObject(Fax->dupRecip);
        OSMemFree(Fax->dupRecip);
        Fax->dupRecip = NULLHANDLE;
    }
    if (Fax->hSent != NULLHANDLE) {
        OSMemFree(Fax->hSent);
        Fax->hSent = NULLHANDLE;
    }
}

/* Ends the open chunk: its mail commits (mail files first, mail.box
 * last), each fax is checked, their activity entries commit, then each
 * fax is finished in order, after the log lines of its hand-over. */
static void FlushChunk(INPASS *Pass)
{
    STATUS CommitError = NOERROR;
    int Transient = 0;
    int MailboxKept = 0; /* a fax's mail waits in mail.box after a failed commit */
    int Said = 0;        /* a fax the commit left waiting was logged */
    DWORD Released = 0;

    if (Pass->Open) {
        Pass->Open = 0;
        VqLogHold(FALSE);
        if (Pass->Batch)
            CommitError = VqMailCommitBatch();
        Pass->Batch = 0;
    }
    Transient = CommitError == ERR_DB_BUSY || CommitError == ERR_DISK_FULL;
    for (int i = 0; i < Pass->Count && CommitError != NOERROR; i++) {
        ChunkFaxes[i].InBox = ChunkFaxes[i].Handed && InMailbox(Pass, &ChunkFaxes[i]);
        MailboxKept |= ChunkFaxes[i].InBox;
    }
    VqDbHoldStamps(TRUE); /* the chunk's checks see one state of the directory */
    for (int i = 0; i < Pass->Count; i++) {
        INFAX *Fax = &ChunkFaxes[i];
        STATUS error = NOERROR;
        /* A failed commit that kept nothing in mail.box was mail.box's
         * own: only the recipients seen holding the fax have it. Else a
         * copy that did not commit, busy or on a full disk, left the mail
         * in mail.box: the router's, as when its delivery failed so at
         * once; any other copy that did not commit is a mail file that
         * broke at delivery. */
        if (CommitError != NOERROR && Fax->Handed && !MailboxKept) {
            error = CheckDelivered(Fax, CommitError);
            Fax->Seen = !Fax->Hold;
        } else if (Fax->Routed && Transient && Fax->InBox) {
            Fax->RouterKeeps = CommitError;
        } else if (Fax->Routed) {
            error = CheckDelivered(Fax, NOERROR);
        }
        if (error != NOERROR)
            Fax->Hold = 1, Fax->Waits = error;
        /* what the commit left waiting is said once, and a full disk or
         * a busy database ends the pass */
        if (Fax->Waits != NOERROR && Fax->Waits == CommitError) {
            Fax->Quiet = Said;
            Said = 1;
            Pass->Stop |= Transient;
        }
    }
    VqDbHoldStamps(FALSE);
    WriteChunkEntries(Pass);
    for (int i = 0; i < Pass->Count; i++) {
        VqLogReleaseHeld(ChunkFaxes[i].LogMark - Released);
        Released = ChunkFaxes[i].LogMark;
        FinishFax(&ChunkFaxes[i]);
        ReleaseFax(&ChunkFaxes[i]);
    }
    VqLogReleaseHeld(VqLogHeldCount());
    if (CommitError != NOERROR && !Said)
        AddInLogError(VQM_DS0, CommitError, "Received faxes: their mail did not commit whole");
    Pass->Count = 0;
}

/* Handles one control file: a fax handed over joins the open chunk; one
 * that fails is handled alone once the chunk before it is finished. 0
 * when its path does not fit, or the disk is full or a database busy:
 * the pass ends there. */
static int HandleControlFile(const char *FoundName, INPASS *Pass)
{
    INFAX *Fax = &ChunkFaxes[Pass->Count];
    STATUS error = NOERROR;
    int Done = 1;

    memset(Fax, 0, sizeof *Fax);
    VqCopy(Fax->FoundName, sizeof Fax->FoundName, FoundName);
    if (PortMakePath(Fax->ForeignFileName, sizeof Fax->ForeignFileName, GatewayDrive,
                     Pass->Dirs.RecipientDir, FoundName, "") != 0) {
        AddInLogError(VQM_NO_CONTROL_FILE, NOERROR, FoundName);
        return 0;
    }
    AddInSetStatus(VQM_STATUS_RECEIVING, Fax->ForeignFileName);
    OpenChunk(Pass);
    if (OpenControlFile(Fax, Fax->ForeignFileName) != 0)
        return 1;
    PortFaultNote("read", Fax->ForeignFileName);
    FaxIdentity(Fax, FoundName);
    /* the fax's lookups see one state of the directory */
    VqDbHoldStamps(TRUE);
    error = BuildAndRoute(Fax, Pass);
    VqDbHoldStamps(FALSE);
    if (error == NOERROR) {
        /* one done alone ended the chunk before it and is finished at once */
        if (Fax != &ChunkFaxes[Pass->Count])
            ChunkFaxes[Pass->Count] = *Fax;
        ChunkFaxes[Pass->Count].LogMark = VqLogHeldCount();
        if (++Pass->Count >= IN_CHUNK_FAXES || !Pass->Open ||
            ChunkClockMs() - Pass->Start >= IN_CHUNK_MS)
            FlushChunk(Pass);
        return !Pass->Stop;
    }
    FlushChunk(Pass);
    if (Fax->Hold || error == ERR_DISK_FULL || error == ERR_DB_BUSY) {
        /* nobody can take it yet: the fax waits as it is; a full disk or
         * a busy database ends the pass, said once */
        PortFclose(Fax->ControlFile);
        Fax->ControlFile = nullptr;
        if (!Fax->Hold) {
            AddInLogError(VQM_IN_FAX_WAITS, error, Fax->ForeignFileName);
            Done = 0;
        }
    } else {
        FailControlFile(Fax, error, Fax->ForeignFileName, &Pass->Dirs, FoundName);
    }
    ReleaseFax(Fax);
    return Done && !Pass->Stop;
}

void DoInboundTask(void)
{
    INPASS Pass;
    char Pattern[VQ_FILE_PATH];
    char FoundName[VQ_FILE_PATH];
    intptr_t hFind = -1;

    memset(&Pass, 0, sizeof Pass);
    if (SpoolSplitDir(Pass.Dirs.RecipientDir, sizeof Pass.Dirs.RecipientDir, SPOOL_FAX_IN) != 0 ||
        SpoolSplitDir(Pass.Dirs.AttachmentDir, sizeof Pass.Dirs.AttachmentDir,
                      SPOOL_FAX_IPARCEL) != 0 ||
        SpoolSplitDir(Pass.Dirs.ErrorDir, sizeof Pass.Dirs.ErrorDir, SPOOL_FAX_ERROR) != 0 ||
        PortMakePath(Pattern, sizeof Pattern, GatewayDrive, Pass.Dirs.RecipientDir,
                     CONTROL_FILE_PATTERN, "") != 0) {
        /* a spool path that does not fit: no file could ever be handled */
        AddInLogError(VQM_DS0, NOERROR, "Inbound spool path too long");
        E_quit = 1;
        return;
    }
    hFind = PortFindFirst(Pattern, FoundName, sizeof FoundName);
    if (hFind == -1)
        return;
    InHoldMailFiles(TRUE);
    do {
        /* exactly "ST" and six characters, none of them a dot */
        if (strlen(FoundName) != 8 || strchr(FoundName, '.') != nullptr)
            continue;
        if (!HandleControlFile(FoundName, &Pass))
            break;
    } while (PortFindNext(hFind, FoundName, sizeof FoundName) == 0);
    FlushChunk(&Pass);
    InHoldMailFiles(FALSE);
    PortFindClose(hFind);
    if (Pass.hMailboxFile != NULLHANDLE)
        MailCloseMessageFile(Pass.hMailboxFile);
    AddInSetStatus(VQM_STATUS_IDLE);
}
