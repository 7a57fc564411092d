/*
 * job_writer.cpp - writes one outbound mail message as a fax job for the
 * fax server: the job file (header lines, cover message, body) in FAX/OUT
 * and one file per attachment in FAX/OPARCEL; in error mode the same job
 * goes to FAX/ERROR for the administrator.
 *
 * The job file is written under a working name (NNNNNNNN.INC), flushed and
 * fsynced together with its attachment files, and only then renamed to
 * its extension-less name, which is what the fax server picks up. A
 * rename never replaces a file, and one that fails is a failed job: the
 * fax server never sees a job that is incomplete or not on disk. The
 * outbound pass writes its plain mails' jobs with JobPrepare and renames
 * a chunk of them in with JobRenameIn, the folder fsynced once after.
 *
 * One job is one OUTJOB record, filled by one function per phase, in the
 * order the job file is written: names, options (the message's fax
 * settings, then the options file), addresses, attachments, header lines,
 * body, hand-over.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "outbound.h"
#include "unique_name.h"

WORD IsTambriDll = 0;
const char TambriDllExtSig[TAMBRI_SIG_LEN + 1] = "$TAMBRI^_EXTENDED^_*FAX-FIELDS*_1.00$";
static_assert(sizeof TambriDllExtSig == TAMBRI_SIG_LEN + 1, "marker is 37 characters");

namespace {

/* ---- widths of the writer's fields (terminator included) ---- */
const size_t kSubjectSize = 256;    /* SubjectField */
const size_t kSenderNameSize = 257; /* SenderName */
const size_t kSenderDomainSize = 33;/* SenderDomain: 32 characters */
const size_t kItemTextSize = 32;    /* szSendAt, szCoverPg, szRetStat, szRes */
const size_t kRecipientSize = 257;  /* RecipientName, UserName */
const size_t kDomainSize = 33;      /* DomainName */
const size_t kOneSendToSize = 512;  /* OneSendTo at the least, OneToField */
const size_t kStringSize = 256;     /* String: one extended-fields line */
/* A list entry's length is a WORD, and a list must stay below 64K. */
const size_t kMaxListEntry = 60000;
/* Final names tried when the one chosen was taken before the rename. */
const int kHandOverTries = 8;
const char kCtrlZ = 0x1A; /* ends a file read in text mode */

const BYTE kEnvSig = 3;
const char kAttachmentHead[] = "\nAttachment: ";
const char kAttachmentNameHead[] = "\nAttachment-name: ";

/* A text list with data-type prefix, kept unlocked between uses. */
typedef struct {
    DHANDLE hList; /* NULLHANDLE while none is held */
    WORD Size;     /* kept up to date by every ListAddEntry */
    WORD Amt;      /* entries added so far */
} JOBLIST;

/* State of one job while it is written. */
typedef struct {
    /* the message, and the caller's list of the files the job is made of */
    DHANDLE hMessage;
    const char *OriginatorName;
    DARRAY *MessageList;
    WORD Msg;
    WORD RecipientCount;
    DHANDLE hErrorFileList;
    LIST *ErrorFileList;
    WORD *pErrorFileListSize;
    WORD ErrorFiles;
    int ErrorFlag;
    /* names */
    char RecipientDir[VQ_FILE_PATH];
    char AttachmentDir[VQ_FILE_PATH];
    char FileName[VQ_FILE_PATH];  /* the working name */
    char NameNoExt[VQ_FILE_PATH]; /* the name the fax server picks up */
    /* A file this job made that is not (yet) on the error file list: in
     * normal mode a failure removes it too, so nothing is left behind. */
    char PendingFile[VQ_FILE_PATH];
    char AttachmentFileName[VQ_FILE_PATH]; /* the attachment last extracted */
    FILE *ForeignFile;                     /* the job file while open */
    /* what the header lines say */
    JOBLIST SendTo;
    JOBLIST ToField;
    /* The option text grows as it needs: cutting it would drop options
     * without a word. */
    std::string More_Add;
    char More_Body[JOB_MOREBODY_SIZE];
    char FromName[JOB_FROMNAME_SIZE];
    char SubjectField[kSubjectSize];
    char IncludeNames;
    int OptionsUsed; /* attachment 0 was an options file and is used up */
    int OptionsKept; /* attachment 0 is extracted already and is faxed */
    int ParcelsMade; /* a file was extracted into the attachment folder */
    int Named;       /* the job file was made: a failure has files to remove */
} OUTJOB;

/* A byte that must not reach a header value as it is: a line end, or a
 * CTRL+Z, which would end the job for a reader in text mode. */
bool IsBlanked(char c)
{
    return c == '\r' || c == '\n' || c == kCtrlZ;
}

/* Appends Value to a header line under construction, IsBlanked bytes as
 * blanks. */
void AppendValue(std::string *Line, const char *Value)
{
    for (const char *p = Value; *p; p++)
        Line->push_back(IsBlanked(*p) ? ' ' : *p);
}

/* The file-name part of a path. */
const char *BaseName(const char *Path)
{
    const char *Base = Path;
    for (const char *p = Path; *p; p++)
        if (*p == '/' || *p == '\\')
            Base = p + 1;
    return Base;
}

/* Writes a list as one header line: Head, then its entries separated by
 * ", ". Locks the list anew (it may have moved while it grew). 0 or the
 * status of a failed ListGetText (logged with What). */
STATUS WriteListLine(FILE *ForeignFile, const JOBLIST *List, const char *Head, const char *What)
{
    STATUS error = NOERROR;
    LIST *pList = (LIST *)OSLockObject(List->hList);
    WORD Entries = ListGetNumEntries(pList, TRUE);
    char *Text = nullptr;
    WORD TextLength = 0;

    for (WORD i = 0; i < Entries; i++) {
        error = ListGetText(pList, TRUE, i, &Text, &TextLength);
        if (error != NOERROR) {
            AddInLogError(VQM_LIST_ALLOC_ERROR, error, What);
            break;
        }
        PortFwrite(i == 0 ? Head : ", ", 1, std::strlen(i == 0 ? Head : ", "), ForeignFile);
        JobWriteValue(ForeignFile, Text, TextLength);
    }
    OSUnlockObject(List->hList);
    return error;
}

/* Adds one text to a list at index *pAmt and advances *pAmt; a failure is
 * logged with What. */
STATUS AddListEntry(DHANDLE hList, WORD *pListSize, WORD *pAmt, const char *Text,
                    const char *What)
{
    STATUS error = NOERROR;
    size_t Length = std::strlen(Text);

    if (Length > kMaxListEntry)
        error = ERR_SEGMENT_TOO_BIG;
    else
        error = ListAddEntry(hList, TRUE, pListSize, *pAmt, Text, (WORD)Length);
    if (error != NOERROR) {
        AddInLogError(VQM_LIST_ALLOC_ERROR, error, What);
        return error;
    }
    (*pAmt)++;
    return NOERROR;
}

/* Makes an empty list, left unlocked. */
STATUS NewList(JOBLIST *List, const char *What)
{
    LIST *pList = nullptr;
    STATUS error = ListAllocate(0, 0, TRUE, &List->hList, &pList, &List->Size);

    List->Amt = 0;
    if (error != NOERROR) {
        List->hList = NULLHANDLE;
        AddInLogError(VQM_LIST_ALLOC_ERROR, error, What);
        return error;
    }
    OSUnlockObject(List->hList);
    return NOERROR;
}

void FreeList(JOBLIST *List)
{
    if (List->hList == NULLHANDLE)
        return;
    OSUnlockObject(List->hList);
    OSMemFree(List->hList);
    List->hList = NULLHANDLE;
}

/* Adds a file of the job to the error file list; it is no longer pending. */
STATUS ListJobFile(OUTJOB *Job, const char *Path)
{
    STATUS error = AddListEntry(Job->hErrorFileList, Job->pErrorFileListSize, &Job->ErrorFiles,
                                Path, "ListAddEntry() ErrorFiles");

    if (error == NOERROR)
        Job->PendingFile[0] = '\0';
    return error;
}

/* Extracts an attachment under a new unique name of the attachment
 * directory into Job->AttachmentFileName. The name is kept as pending
 * before the extraction starts, so that a failure removes a file left
 * half-written; the failure is logged with that name. */
STATUS ExtractAttachment(OUTJOB *Job, BLOCKID bhAttachment)
{
    STATUS error = GetUniqueFileName(GatewayDrive, Job->AttachmentDir, "", Job->AttachmentFileName);

    if (error == NOERROR) {
        VqCopy(Job->PendingFile, sizeof Job->PendingFile, Job->AttachmentFileName);
        error = MailExtractMessageAttachment(Job->hMessage, bhAttachment, Job->AttachmentFileName);
        Job->ParcelsMade = 1;
        if (error == NOERROR)
            VqUniqueNameHold(Job->AttachmentFileName, 1); /* made: no need to look it up again */
    }
    if (error != NOERROR)
        AddInLogError(VQM_ATTACHMENT_FILE, error, Job->AttachmentFileName);
    return error;
}

/* ---- phase 1: names ---- */

/* The spool directories and the job file's names; opens the job file
 * under its working name. Nothing is left to undo when it fails. */
STATUS JobNames(OUTJOB *Job)
{
    STATUS error = NOERROR;

    if (SpoolSplitDir(Job->RecipientDir, sizeof Job->RecipientDir,
                      Job->ErrorFlag ? SPOOL_FAX_ERROR : SPOOL_FAX_OUT) != 0 ||
        SpoolSplitDir(Job->AttachmentDir, sizeof Job->AttachmentDir,
                      Job->ErrorFlag ? SPOOL_FAX_ERROR : SPOOL_FAX_OPARCEL) != 0)
        return VQM_NO_UNIQUE_NAME;
    /* Created only where nothing has the name: one taken since the lookup
     * (by anyone) is looked up again. */
    for (int Try = 0; Try < kHandOverTries && Job->ForeignFile == nullptr; Try++) {
        error = GetUniqueFileName(GatewayDrive, Job->RecipientDir,
                                  Job->ErrorFlag ? "ENV" : "INC", Job->FileName);
        if (error == NOERROR && !Job->ErrorFlag)
            error = GetUniqueFileName(GatewayDrive, Job->RecipientDir, "", Job->NameNoExt);
        if (error != NOERROR)
            return error;
        Job->ForeignFile = PortFopen(Job->FileName, "wbx");
        if (Job->ForeignFile == nullptr && errno != EEXIST)
            break;
    }
    if (Job->ForeignFile == nullptr) {
        AddInLogError(VQM_NO_RECIPIENT_FILE, NOERROR, Job->FileName);
        return VQM_NO_RECIPIENT_FILE;
    }
    VqUniqueNameHold(Job->FileName, 1); /* made: no need to look it up again */
    VqCopy(Job->PendingFile, sizeof Job->PendingFile, Job->FileName);
    Job->Named = 1;
    return NOERROR;
}

/* ---- phase 2: options ---- */

/* Send time: only a time more than a minute ahead delays the fax. */
void GetSendAt(DHANDLE hMessage, char *szSendAt, size_t SendAtSize)
{
    TIMEDATE tdFax;
    TIMEDATE tdNow;
    TIME tFaxTime;
    LONG lTimeDiff = 0;

    if (!NSFItemGetTime(hMessage, "FaxTime", &tdFax))
        return;
    OSCurrentTIMEDATE(&tdNow);
    lTimeDiff = TimeDateDifference(&tdFax, &tdNow);
    if (lTimeDiff <= 60)
        return;
    std::memset(&tFaxTime, 0, sizeof tFaxTime);
    tFaxTime.GM = tdFax;
    TimeGMToLocal(&tFaxTime);
    VqFormat(szSendAt, SendAtSize, ", at %d:%d+%d", tFaxTime.hour, tFaxTime.minute,
             (int)(lTimeDiff / 86400));
}

/* The job file heads the error file list and starts with its signature
 * byte. Then the sender's display name, the subject, and the option text
 * of every fax address, from the message's fax settings. */
STATUS JobOptions(OUTJOB *Job)
{
    char szSendAt[kItemTextSize] = "";
    char szCoverPg[kItemTextSize] = "";
    char szRetStat[kItemTextSize] = "";
    char szRes[kItemTextSize] = "";
    WORD Length = 0;
    STATUS error = ListJobFile(Job, Job->FileName);

    if (error != NOERROR)
        return error;
    PortFwrite(&kEnvSig, 1, 1, Job->ForeignFile);
    if (std::sscanf(Job->OriginatorName, "CN=%64[^/@\n\r]", Job->FromName) != 1)
        Job->FromName[0] = '\0';
    VqCutUtf8(Job->FromName);
    error = MailGetMessageItem(Job->hMessage, MAIL_SUBJECT_ITEM_NUM, Job->SubjectField,
                               sizeof Job->SubjectField, &Length);
    if (error != NOERROR)
        return error;
    Job->SubjectField[Length < kSubjectSize ? Length : kSubjectSize - 1] = '\0';
    VqCutUtf8(Job->SubjectField);

    GetSendAt(Job->hMessage, szSendAt, sizeof szSendAt);
    NSFItemGetText(Job->hMessage, "CoverPage", szCoverPg, sizeof szCoverPg);
    NSFItemGetText(Job->hMessage, "ReturnStatus", szRetStat, sizeof szRetStat);
    NSFItemGetText(Job->hMessage, "FaxRes", szRes, sizeof szRes);
    VqCopy(szRes, sizeof szRes, VqStricmp(szRes, "High") == 0 ? "D" : "S");
    Job->More_Add = std::string(szSendAt) + ", " + szRes + ", cover:" + szCoverPg;

    /* The fax server confirms delivery unless the message says not to */
    if (VqStricmp(szRetStat, "No") == 0)
        JobWriteLine(Job->ForeignFile, "\nReturn_Good: NO", "");
    return NOERROR;
}

/* Options file: read before any fax address is made, so that what it
 * adds to the option text reaches every address. Used up, it goes; one
 * that is not an options file stays extracted and is faxed. */
STATUS JobOptionsFile(OUTJOB *Job)
{
    BLOCKID bhAttachment;
    char OriginalFileName[MAXPATH + 1] = "";
    STATUS error = NOERROR;

    if (!MailGetMessageAttachmentInfo(Job->hMessage, 0, &bhAttachment, OriginalFileName, nullptr,
                                      nullptr, nullptr, nullptr, nullptr) ||
        VqStricmp(OriginalFileName, "faxsvr.fof") != 0)
        return NOERROR;
    error = ExtractAttachment(Job, bhAttachment);
    if (error != NOERROR)
        return error;
    if (do_addconf(Job->ForeignFile, Job->AttachmentFileName, &Job->More_Add, Job->More_Body,
                   sizeof Job->More_Body, Job->FromName, sizeof Job->FromName,
                   &Job->IncludeNames) == NOERROR) {
        PortUnlink(Job->AttachmentFileName);
        Job->PendingFile[0] = '\0';
        Job->OptionsUsed = 1;
    } else {
        Job->OptionsKept = 1;
    }
    return NOERROR;
}

/* ---- phase 3: addresses ---- */

/* One fax address per recipient on the Send-to list; the extended-fields
 * recipient only sets IsTambriDll. A recipient that cannot be read or
 * parsed ends the list (logged) without failing the job. */
STATUS JobAddresses(OUTJOB *Job)
{
    STATUS error = NOERROR;
    STATUS RecError = NOERROR;
    char RecipientName[kRecipientSize] = "";
    char UserName[kRecipientSize] = "";
    char DomainName[kDomainSize] = "";
    WORD RecipientNameLength = 0;
    WORD UserNameLength = 0;
    WORD DomainNameLength = 0;
    /* The address buffer holds the whole option text. */
    size_t Need = CONV_FULLADDR_FIXED + Job->More_Add.size() + 1;
    std::vector<char> OneSendTo(Need > kOneSendToSize ? Need : kOneSendToSize, '\0');

    for (WORD Rec = 0; Rec < Job->RecipientCount; Rec++) {
        RecError = MailGetMessageRecipient(Job->MessageList, Job->Msg, Rec, RecipientName,
                                           sizeof RecipientName, &RecipientNameLength);
        if (RecError != NOERROR) {
            AddInLogError(VQM_API_CALL_ERROR, RecError, "MailGetMessageRecipient");
            break;
        }
        RecError = MailParseMailAddress(RecipientName, RecipientNameLength, UserName,
                                        sizeof UserName, &UserNameLength, DomainName,
                                        sizeof DomainName, &DomainNameLength);
        if (RecError != NOERROR) {
            AddInLogError(VQM_API_CALL_ERROR, RecError, "MailParseMailAddress");
            break;
        }
        if (std::strncmp(RecipientName, TambriDllExtSig, TAMBRI_SIG_LEN) == 0) {
            IsTambriDll = 1;
            continue;
        }
        error = ConvLotusNametoFaxName(RecipientName, RecipientNameLength, nullptr, 0,
                                       OneSendTo.data(), OneSendTo.size(), Job->More_Add.c_str());
        if (error != NOERROR)
            break;
        AddInLogError(VQM_OUT_RECIPIENT_IS, NOERROR, OneSendTo.data());
        error = AddListEntry(Job->SendTo.hList, &Job->SendTo.Size, &Job->SendTo.Amt,
                             OneSendTo.data(), "ListAddEntry() Send-to");
        if (error != NOERROR)
            break;
        AddInSetStatus(VQM_STATUS_TRANSFERRING, UserName);
    }
    return error;
}

/* ---- phase 4: attachments ---- */

/* Reads an extended-fields file: Send-to lines become fax addresses (and
 * their numbers entries of the To-field list), From-name and Subject lines
 * replace the sender's name and the subject, every other line goes into
 * the job file header as it is. */
STATUS ReadExtendedFields(FILE *ExtFile, OUTJOB *Job)
{
    STATUS error = NOERROR;
    char String[kStringSize];
    char OneSendTo[kOneSendToSize];
    char OneToField[kOneSendToSize];
    char Value[kStringSize];
    size_t Length = 0;

    /* A line longer than String comes in pieces, each taken as a line. */
    while (error == NOERROR && PortFgetsLine(String, sizeof String, ExtFile) != nullptr) {
        if (std::sscanf(String, " Send-to: %255[^\n]", OneSendTo) == 1) {
            error = AddListEntry(Job->SendTo.hList, &Job->SendTo.Size, &Job->SendTo.Amt,
                                 OneSendTo, "ListAddEntry() Send-to(xt)");
            if (error != NOERROR)
                break;
            /* A Send-to line from which no number can be taken still gets
             * its To-field entry, an empty one. */
            if (std::sscanf(OneSendTo, " - @ fax { %64[^,}\r\n]", OneToField) != 1 &&
                std::sscanf(String, " Send-to: - @ fax| { %64[^|\r\n}]", OneToField) != 1)
                OneToField[0] = '\0';
            error = AddListEntry(Job->ToField.hList, &Job->ToField.Size, &Job->ToField.Amt,
                                 OneToField, "ListAddEntry() Total-to(xt)");
        } else if (std::sscanf(String, " From-name: %64[^\n]", Value) == 1) {
            VqCopy(Job->FromName, sizeof Job->FromName, Value);
            VqCutUtf8(Job->FromName);
        } else if (std::sscanf(String, " Subject: %255[^\n]", Value) == 1) {
            VqCopy(Job->SubjectField, sizeof Job->SubjectField, Value);
            VqCutUtf8(Job->SubjectField);
        } else {
            Length = std::strlen(String);
            if (Length > 0 && String[Length - 1] == '\n')
                Length--;
            /* an empty line would end the job's header there */
            if (Length == 0)
                continue;
            PortFwrite("\n", 1, 1, Job->ForeignFile);
            JobWriteValue(Job->ForeignFile, String, Length);
        }
    }
    return error;
}

/* The extended-fields attachment just extracted: read, then removed. */
STATUS JobExtendedFields(OUTJOB *Job)
{
    STATUS error = NOERROR;
    FILE *ExtFile = PortFopen(Job->AttachmentFileName, "r");

    if (ExtFile == nullptr) {
        AddInLogError(VQM_BODY_FILE_ERROR, NOERROR, Job->AttachmentFileName);
        return VQM_BODY_FILE_ERROR;
    }
    error = ReadExtendedFields(ExtFile, Job);
    PortFclose(ExtFile);
    if (error == NOERROR) {
        PortUnlink(Job->AttachmentFileName);
        Job->PendingFile[0] = '\0';
    }
    return error;
}

/* Every attachment but a used options file is extracted and goes on the
 * error file list and the attachment lines; with the extended-fields
 * recipient, the extended-fields attachment is read instead. */
STATUS JobAttachments(OUTJOB *Job)
{
    STATUS error = NOERROR;
    BLOCKID bhAttachment;
    char OriginalFileName[MAXPATH + 1] = "";
    /* The attachment lines grow as they need: cutting them would drop
     * attachments without a word. */
    std::string AttachmentList = kAttachmentHead;
    std::string AttachmentNameList = kAttachmentNameHead;

    for (WORD Att = 0; error == NOERROR &&
                       MailGetMessageAttachmentInfo(Job->hMessage, Att, &bhAttachment,
                                                    OriginalFileName, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr);
         Att++) {
        if (Att == 0 && Job->OptionsUsed)
            continue;
        if (!(Att == 0 && Job->OptionsKept)) {
            error = ExtractAttachment(Job, bhAttachment);
            if (error != NOERROR)
                break;
        }
        if (IsTambriDll && std::strncmp(OriginalFileName, TambriDllExtSig, TAMBRI_SIG_LEN) == 0) {
            error = JobExtendedFields(Job);
            continue;
        }
        AttachmentList.append(BaseName(Job->AttachmentFileName));
        AttachmentList.append(", ");
        AppendValue(&AttachmentNameList, OriginalFileName);
        AttachmentNameList.append(", ");
        error = ListJobFile(Job, Job->AttachmentFileName);
    }

    /* Attachment lines, without the last separator */
    if (error == NOERROR && AttachmentList.size() > sizeof kAttachmentHead - 1) {
        PortFwrite(AttachmentList.data(), 1, AttachmentList.size() - 2, Job->ForeignFile);
        PortFwrite(AttachmentNameList.data(), 1, AttachmentNameList.size() - 2, Job->ForeignFile);
    }
    return error;
}

/* ---- phase 5: header lines ---- */

/* The Total-to and Copies-to lines, for a cover page that names the
 * addressees; the To-field list is made anew for the second. */
STATUS JobAddressees(OUTJOB *Job)
{
    STATUS error = AddToItems(Job->ToField.hList, &Job->ToField.Size, &Job->ToField.Amt,
                              Job->hMessage, MAIL_SENDTO_ITEM_NUM);

    if (error == NOERROR)
        error = WriteListLine(Job->ForeignFile, &Job->ToField, "\nTotal-to: ",
                              "ListGetText() Total-to");
    if (error != NOERROR)
        return error;
    FreeList(&Job->ToField);
    error = NewList(&Job->ToField, "ListAllocate() Total-to.");
    if (error == NOERROR)
        error = AddToItems(Job->ToField.hList, &Job->ToField.Size, &Job->ToField.Amt,
                           Job->hMessage, MAIL_COPYTO_ITEM_NUM);
    if (error == NOERROR)
        error = WriteListLine(Job->ForeignFile, &Job->ToField, "\nCopies-to: ",
                              "ListGetText() Copies-to");
    return error;
}

/* Send-to, the addressees, sender, From-name, Subject and Date lines. */
STATUS JobHeader(OUTJOB *Job)
{
    char SenderName[kSenderNameSize] = "";
    char SenderDomain[kSenderDomainSize] = "";
    char String[kStringSize] = "";
    WORD Length = 0;
    TIMEDATE Time;
    STATUS error = WriteListLine(Job->ForeignFile, &Job->SendTo, "\nSend-to: ",
                                 "ListGetText() Send-to");

    if (error == NOERROR && Job->IncludeNames == 'Y')
        error = JobAddressees(Job);
    if (error != NOERROR)
        return error;

    if (std::sscanf(Job->OriginatorName, "CN=%256[^/]%32[^@]", SenderName, SenderDomain) < 1)
        SenderName[0] = '\0';
    VqCutUtf8(SenderName);
    VqCutUtf8(SenderDomain);
    JobWriteLine(Job->ForeignFile, "\nSender: ", SenderName);
    JobWriteLine(Job->ForeignFile, " @ ", SenderDomain);
    JobWriteLine(Job->ForeignFile, "\nFrom-name: ", Job->FromName);
    JobWriteLine(Job->ForeignFile, "\nSubject: ", Job->SubjectField);

    error = MailGetMessageItemTimeDate(Job->hMessage, MAIL_POSTEDDATE_ITEM_NUM, &Time);
    if (error != NOERROR)
        return error;
    if (ConvertTIMEDATEToText(nullptr, nullptr, &Time, String, sizeof String - 1, &Length) !=
        NOERROR)
        Length = 0;
    String[Length < sizeof String ? Length : sizeof String - 1] = '\0';
    JobWriteLine(Job->ForeignFile, "\nDate: ", String);
    return NOERROR;
}

/* ---- phase 6: body ---- */

/* Copies the body text into the job: CR LF as LF, and a CTRL+Z as a
 * blank rather than the end of the body. */
void CopyBodyText(const char *Body, size_t Length, FILE *ForeignFile)
{
    std::string Out;
    bool Cr = false;

    Out.reserve(Length);
    for (size_t i = 0; i < Length; i++) {
        if (Cr && Body[i] != '\n')
            Out.push_back('\r');
        Cr = Body[i] == '\r';
        if (!Cr)
            Out.push_back(Body[i] == kCtrlZ ? ' ' : Body[i]);
    }
    if (Cr)
        Out.push_back('\r');
    if (!Out.empty())
        PortFwrite(Out.data(), 1, Out.size(), ForeignFile);
}

/* The cover message and the body, whose text is taken in memory. */
STATUS JobBody(OUTJOB *Job)
{
    DHANDLE hBody = NULLHANDLE;
    DWORD BodyLength = 0;
    STATUS error = VqMailGetMessageBodyBlock(Job->hMessage, nullptr, "\r\n", 80, TRUE, &hBody,
                                             &BodyLength);

    if (error != NOERROR) {
        AddInLogError(VQM_BODY_FILE_ERROR, error, "Body");
        return error;
    }
    PortFwrite("\n\n", 1, 2, Job->ForeignFile);
    if (Job->More_Body[0] != '\0') {
        JobWriteValue(Job->ForeignFile, Job->More_Body, std::strlen(Job->More_Body));
        PortFwrite("\r\n\r\n", 1, 4, Job->ForeignFile);
    }
    CopyBodyText((const char *)OSLockObject(hBody), BodyLength, Job->ForeignFile);
    OSUnlockObject(hBody);
    OSMemFree(hBody);
    return NOERROR;
}

/* ---- phase 7: hand-over ---- */

/* Write check: the job must be on disk before it can be handed over. */
STATUS JobSync(OUTJOB *Job)
{
    STATUS error = NOERROR;

    if (PortFerror(Job->ForeignFile) || PortFsync(Job->ForeignFile) != 0)
        return VQM_WRITER_TEXT;
    if (PortFclose(Job->ForeignFile) != 0)
        error = VQM_WRITER_TEXT;
    Job->ForeignFile = nullptr;
    return error;
}

/* The rename that the fax server picks the job up by. A final name taken
 * since it was chosen (another writer) is never replaced: the next free
 * name is tried, a bounded number of times. A rename that fails leaves a
 * job the fax server never saw (PortRename never moves the file when it
 * fails): the job has failed, and nothing under a final name is removed,
 * since that name is someone else's job. The folder is fsynced here when
 * Sync, else by the caller once for all the jobs it renames. Not logged. */
STATUS RenameJob(const char *WorkName, char *FinalName, const char *Dir, int Sync)
{
    for (int Try = 0; Try < kHandOverTries; Try++) {
        if ((Sync ? PortRename(WorkName, FinalName) : PortRenameNoSync(WorkName, FinalName)) == 0)
            return NOERROR;
        if (errno != EEXIST || GetUniqueFileName(GatewayDrive, Dir, "", FinalName) != NOERROR)
            break;
    }
    return VQM_NO_RECIPIENT_FILE;
}

STATUS JobHandOver(OUTJOB *Job)
{
    const STATUS error = RenameJob(Job->FileName, Job->NameNoExt, Job->RecipientDir, 1);

    if (error != NOERROR)
        AddInLogError(VQM_NO_RECIPIENT_FILE, NOERROR, Job->NameNoExt);
    else
        VqUniqueNameHold(Job->NameNoExt, 1); /* the job has it now */
    return error;
}

/* A failed job in normal mode: its files on the error file list, and the
 * one still pending, go. */
void JobRemoveFiles(OUTJOB *Job)
{
    char DeletePath[VQ_FILE_PATH] = "";
    char *Text = nullptr;
    WORD TextLength = 0;

    OSUnlockObject(Job->hErrorFileList);
    Job->ErrorFileList = (LIST *)OSLockObject(Job->hErrorFileList);
    if (Job->ErrorFileList != nullptr) {
        for (WORD i = 0; i < ListGetNumEntries(Job->ErrorFileList, TRUE); i++) {
            if (ListGetText(Job->ErrorFileList, TRUE, i, &Text, &TextLength) != NOERROR)
                continue;
            VqCopyN(DeletePath, sizeof DeletePath, Text, TextLength);
            if (PortUnlink(DeletePath) != 0) {
                char String[kStringSize + VQ_FILE_PATH];
                VqFormat(String, sizeof String, "Can not delete %s", DeletePath);
                AddInLogError(VQM_DS0, NOERROR, String);
            }
        }
        OSUnlockObject(Job->hErrorFileList);
    }
    if (Job->PendingFile[0] != '\0')
        PortUnlink(Job->PendingFile);
}

}  // namespace

void JobWriteValue(FILE *Stream, const char *Value, size_t Length)
{
    size_t Start = 0;
    size_t i = 0;

    for (i = 0; i < Length; i++) {
        if (!IsBlanked(Value[i]))
            continue;
        if (i > Start)
            PortFwrite(Value + Start, 1, i - Start, Stream);
        PortFwrite(" ", 1, 1, Stream);
        Start = i + 1;
    }
    if (Length > Start)
        PortFwrite(Value + Start, 1, Length - Start, Stream);
}

void JobWriteLine(FILE *Stream, const char *Head, const char *Value)
{
    PortFwrite(Head, 1, std::strlen(Head), Stream);
    JobWriteValue(Stream, Value, std::strlen(Value));
}

namespace {

/* The record of one job, before its first phase. */
void JobStart(OUTJOB *Job, DHANDLE hMessage, const char *OriginatorName, DARRAY *MessageList,
              WORD Msg, WORD RecipientCount, DHANDLE hErrorFileList, LIST *ErrorFileList,
              WORD *pErrorFileListSize, int ErrorFlag)
{
    IsTambriDll = 0;
    Job->hMessage = hMessage;
    Job->OriginatorName = OriginatorName;
    Job->MessageList = MessageList;
    Job->Msg = Msg;
    Job->RecipientCount = RecipientCount;
    Job->hErrorFileList = hErrorFileList;
    Job->ErrorFileList = ErrorFileList;
    Job->pErrorFileListSize = pErrorFileListSize;
    Job->ErrorFlag = ErrorFlag;
    Job->IncludeNames = 'Y';
}

/* Phases 1 to 7 but the rename: every file of the job written and on
 * disk, the job file still under its working name. */
STATUS JobWrite(OUTJOB *Job)
{
    STATUS error = JobNames(Job);

    if (error != NOERROR)
        return error; /* nothing made yet */
    error = JobOptions(Job);
    if (error == NOERROR)
        error = NewList(&Job->SendTo, "ListAllocate() Send-to");
    if (error == NOERROR)
        error = NewList(&Job->ToField, "ListAllocate() Total-to");
    if (error == NOERROR)
        error = JobOptionsFile(Job);
    if (error == NOERROR)
        error = JobAddresses(Job);
    if (error == NOERROR)
        error = JobAttachments(Job);
    if (error == NOERROR)
        error = JobHeader(Job);
    if (error == NOERROR)
        error = JobBody(Job);
    if (error == NOERROR)
        error = JobSync(Job);

    if (error != NOERROR)
        AddInLogError(VQM_DS0, error, "Create Fax Message");
    FreeList(&Job->ToField);
    FreeList(&Job->SendTo);
    if (Job->ForeignFile != nullptr)
        PortFclose(Job->ForeignFile);
    Job->ForeignFile = nullptr;
    return error;
}

}  // namespace

STATUS CreateForeignMessage(DHANDLE hMessage, const char *OriginatorName, DARRAY *MessageList,
                            WORD Msg, WORD RecipientCount, DHANDLE hErrorFileList,
                            LIST *ErrorFileList, WORD *pErrorFileListSize, int ErrorFlag)
{
    OUTJOB Job = {};
    STATUS error = NOERROR;
    int Journaled = 0;

    JobStart(&Job, hMessage, OriginatorName, MessageList, Msg, RecipientCount, hErrorFileList,
             ErrorFileList, pErrorFileListSize, ErrorFlag);
    error = JobWrite(&Job);
    if (!Job.Named)
        return error; /* nothing made */
    /* the parcels' names are on disk before the job that names them */
    if (!ErrorFlag && error == NOERROR && Job.ParcelsMade)
        PortSyncDir(Job.AttachmentFileName);
    /* the journal names the job before the fax server can see it: after
     * a crash, a work file still there was never handed over */
    if (!ErrorFlag && error == NOERROR) {
        error = JournalHandOver(hMessage, Job.FileName, Job.NameNoExt);
        Journaled = error == NOERROR;
    }
    if (Journaled)
        error = JobHandOver(&Job);
    /* an entry that cannot be dropped keeps its work file, so that it
     * still reads as not handed over */
    if (!ErrorFlag && error != NOERROR && !(Journaled && JournalDrop(hMessage) != NOERROR))
        JobRemoveFiles(&Job);
    return error;
}

STATUS JobPrepare(DHANDLE hMessage, const char *OriginatorName, DARRAY *MessageList, WORD Msg,
                  WORD RecipientCount, DHANDLE hErrorFileList, LIST *ErrorFileList,
                  WORD *pErrorFileListSize, JOBNAMES *Names)
{
    OUTJOB Job = {};
    STATUS error = NOERROR;

    JobStart(&Job, hMessage, OriginatorName, MessageList, Msg, RecipientCount, hErrorFileList,
             ErrorFileList, pErrorFileListSize, 0);
    error = JobWrite(&Job);
    if (error != NOERROR && Job.Named)
        JobRemoveFiles(&Job);
    if (error != NOERROR)
        return error;
    VqCopy(Names->WorkName, sizeof Names->WorkName, Job.FileName);
    VqCopy(Names->FinalName, sizeof Names->FinalName, Job.NameNoExt);
    VqCopy(Names->ParcelName, sizeof Names->ParcelName,
           Job.ParcelsMade ? Job.AttachmentFileName : "");
    VqUniqueNameHold(Names->FinalName, 1);
    return NOERROR;
}

STATUS JobRenameIn(JOBNAMES *Names)
{
    char Dir[VQ_FILE_PATH] = "";
    STATUS error = NOERROR;

    VqUniqueNameHold(Names->FinalName, 0);
    if (SpoolSplitDir(Dir, sizeof Dir, SPOOL_FAX_OUT) != 0)
        return VQM_NO_RECIPIENT_FILE;
    error = RenameJob(Names->WorkName, Names->FinalName, Dir, 0);
    if (error == NOERROR)
        VqUniqueNameHold(Names->FinalName, 1); /* the job has it now */
    return error;
}
