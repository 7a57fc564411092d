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
 * fax server never sees a job that is incomplete or not on disk.
 */
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "outbound.h"

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
const size_t kBodyBlock = 256;      /* the body is copied in blocks of this */
/* A list entry's length is a WORD, and a list must stay below 64K. */
const size_t kMaxListEntry = 60000;

const BYTE kEnvSig = 3;
const char kAttachmentHead[] = "\nAttachment: ";
const char kAttachmentNameHead[] = "\nAttachment-name: ";

/* Appends Value to a header line under construction, line ends as blanks. */
void AppendValue(std::string *Line, const char *Value)
{
    for (const char *p = Value; *p; p++)
        Line->push_back(*p == '\r' || *p == '\n' ? ' ' : *p);
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
 * ", ". Refreshes *pList from hList first (it may have moved while it
 * grew). 0 or the status of a failed ListGetText (logged with What). */
STATUS WriteListLine(FILE *ForeignFile, DHANDLE hList, LIST **pList, const char *Head,
                     const char *What)
{
    STATUS error = NOERROR;
    WORD Entries = 0;
    WORD i = 0;
    char *Text = nullptr;
    WORD TextLength = 0;

    OSUnlockObject(hList);
    *pList = (LIST *)OSLockObject(hList);
    Entries = ListGetNumEntries(*pList, TRUE);
    for (i = 0; i < Entries; i++) {
        error = ListGetText(*pList, TRUE, i, &Text, &TextLength);
        if (error != NOERROR) {
            AddInLogError(VQM_LIST_ALLOC_ERROR, error, What);
            break;
        }
        PortFwrite(i == 0 ? Head : ", ", 1, std::strlen(i == 0 ? Head : ", "), ForeignFile);
        JobWriteValue(ForeignFile, Text, TextLength);
    }
    OSUnlockObject(hList);
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

/* Makes an empty text list with data-type prefix, left unlocked. */
STATUS NewList(DHANDLE *phList, LIST **pList, WORD *pListSize, const char *What)
{
    STATUS error = ListAllocate(0, 0, TRUE, phList, pList, pListSize);
    if (error != NOERROR) {
        *phList = NULLHANDLE;
        AddInLogError(VQM_LIST_ALLOC_ERROR, error, What);
        return error;
    }
    OSUnlockObject(*phList);
    return NOERROR;
}

void FreeList(DHANDLE *phList)
{
    if (*phList == NULLHANDLE)
        return;
    OSUnlockObject(*phList);
    OSMemFree(*phList);
    *phList = NULLHANDLE;
}

/* Extracts an attachment under a new unique name of AttachmentDir into
 * AttachmentFileName (VQ_FILE_PATH bytes). The name is kept as pending
 * before the extraction starts, so that a failure removes a file left
 * half-written; the failure is logged with that name. */
STATUS ExtractAttachment(DHANDLE hMessage, BLOCKID bhAttachment, const char *AttachmentDir,
                         char *AttachmentFileName, char *PendingFile, size_t PendingFileSize)
{
    STATUS error = GetUniqueFileName(GatewayDrive, AttachmentDir, "", AttachmentFileName);

    if (error == NOERROR) {
        VqCopy(PendingFile, PendingFileSize, AttachmentFileName);
        error = MailExtractMessageAttachment(hMessage, bhAttachment, AttachmentFileName);
    }
    if (error != NOERROR)
        AddInLogError(VQM_ATTACHMENT_FILE, error, AttachmentFileName);
    return error;
}

/* Reads an extended-fields file: Send-to lines become fax addresses (and
 * their numbers entries of the To-field list), From-name and Subject lines
 * replace the sender's name and the subject, every other line goes into
 * the job file header as it is. */
STATUS ReadExtendedFields(FILE *ExtFile, FILE *ForeignFile, DHANDLE hSendToList,
                          WORD *pSendToListSize, WORD *pSendToAmt, DHANDLE hToFieldList,
                          WORD *pToFieldListSize, WORD *pToFieldAmt, char *FromName,
                          size_t FromNameSize, char *SubjectField, size_t SubjectSize)
{
    STATUS error = NOERROR;
    char String[kStringSize];
    char OneSendTo[kOneSendToSize];
    char OneToField[kOneSendToSize];
    char Value[kStringSize];
    size_t Length = 0;

    /* A line longer than String comes in pieces, each taken as a line. */
    while (PortFgets(String, sizeof String, ExtFile) != nullptr) {
        if (std::sscanf(String, " Send-to: %255[^\n]", OneSendTo) == 1) {
            error = AddListEntry(hSendToList, pSendToListSize, pSendToAmt, OneSendTo,
                                 "ListAddEntry() Send-to(xt)");
            if (error != NOERROR)
                break;
            /* A Send-to line from which no number can be taken still gets
             * its To-field entry, an empty one. */
            if (std::sscanf(OneSendTo, " - @ fax { %64[^,}\r\n]", OneToField) != 1 &&
                std::sscanf(String, " Send-to: - @ fax| { %64[^|\r\n}]", OneToField) != 1)
                OneToField[0] = '\0';
            error = AddListEntry(hToFieldList, pToFieldListSize, pToFieldAmt, OneToField,
                                 "ListAddEntry() Total-to(xt)");
            if (error != NOERROR)
                break;
        } else if (std::sscanf(String, " From-name: %64[^\n]", Value) == 1) {
            VqCopy(FromName, FromNameSize, Value);
        } else if (std::sscanf(String, " Subject: %255[^\n]", Value) == 1) {
            VqCopy(SubjectField, SubjectSize, Value);
        } else {
            Length = std::strlen(String);
            if (Length > 0 && String[Length - 1] == '\n')
                Length--;
            PortFwrite("\n", 1, 1, ForeignFile);
            JobWriteValue(ForeignFile, String, Length);
        }
    }
    return error;
}

}  // namespace

void JobWriteValue(FILE *Stream, const char *Value, size_t Length)
{
    size_t Start = 0;
    size_t i = 0;

    for (i = 0; i < Length; i++) {
        if (Value[i] != '\r' && Value[i] != '\n')
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

STATUS CreateForeignMessage(DHANDLE hMessage, const char *OriginatorName, DARRAY *MessageList,
                            WORD Msg, WORD RecipientCount, DHANDLE hErrorFileList,
                            LIST *ErrorFileList, WORD *pErrorFileListSize, int ErrorFlag)
{
    STATUS error = NOERROR;
    STATUS RecError = NOERROR;
    FILE *ForeignFile = nullptr;
    FILE *ExtFile = nullptr;
    FILE *BodyFile = nullptr;
    DHANDLE hSendToList = NULLHANDLE;
    LIST *SendToList = nullptr;
    WORD SendToAmt = 0;
    WORD SendToListSize = 0;
    DHANDLE hToFieldList = NULLHANDLE;
    LIST *ToFieldList = nullptr;
    WORD ToFieldAmt = 0;
    WORD ToFieldListSize = 0;
    WORD ErrorFiles = 0;
    WORD Rec = 0;
    WORD Att = 0;
    WORD i = 0;
    WORD StringLength = 0;
    WORD RecipientNameLength = 0;
    WORD UserNameLength = 0;
    WORD DomainNameLength = 0;
    DWORD BodyFileSize = 0;
    BLOCKID bhAttachment;
    TIMEDATE tdFax;
    TIMEDATE tdNow;
    TIMEDATE Time;
    TIME tFaxTime;
    LONG lTimeDiff = 0;
    LONG tDays = 0;
    int OptionsUsed = 0; /* attachment 0 was an options file and is used up */
    int OptionsKept = 0; /* attachment 0 is extracted already and is faxed */
    size_t Got = 0;
    char *Text = nullptr;
    WORD TextLength = 0;
    char IncludeNames = 'Y';
    char FileName[VQ_FILE_PATH] = "";
    char NameNoExt[VQ_FILE_PATH] = "";
    char AttachmentFileName[VQ_FILE_PATH] = "";
    char OriginalFileName[MAXPATH + 1] = "";
    char BodyFileName[VQ_FILE_PATH] = "";
    char RecipientDir[VQ_FILE_PATH] = "";
    char AttachmentDir[VQ_FILE_PATH] = "";
    /* A file this call made that is not (yet) on the error file list: in
     * normal mode a failure removes it too, so nothing is left behind. */
    char PendingFile[VQ_FILE_PATH] = "";
    char DeletePath[VQ_FILE_PATH] = "";
    char SubjectField[kSubjectSize] = "";
    char FromName[JOB_FROMNAME_SIZE] = "";
    char SenderName[kSenderNameSize] = "";
    char SenderDomain[kSenderDomainSize] = "";
    char szSendAt[kItemTextSize] = "";
    char szCoverPg[kItemTextSize] = "";
    char szRetStat[kItemTextSize] = "";
    char szRes[kItemTextSize] = "";
    char More_Body[JOB_MOREBODY_SIZE] = "";
    char RecipientName[kRecipientSize] = "";
    char UserName[kRecipientSize] = "";
    char DomainName[kDomainSize] = "";
    char String[kStringSize] = "";
    /* The option text and the attachment lines grow as they need: cutting
     * them would drop options or attachments without a word. */
    std::string More_Add;
    std::string AttachmentList;
    std::string AttachmentNameList;
    std::vector<char> OneSendTo;

    IsTambriDll = 0;

    /* Names */
    if (SpoolSplitDir(RecipientDir, sizeof RecipientDir,
                      ErrorFlag ? SPOOL_FAX_ERROR : SPOOL_FAX_OUT) != 0 ||
        SpoolSplitDir(AttachmentDir, sizeof AttachmentDir,
                      ErrorFlag ? SPOOL_FAX_ERROR : SPOOL_FAX_OPARCEL) != 0)
        return VQM_NO_UNIQUE_NAME;
    error = GetUniqueFileName(GatewayDrive, RecipientDir, ErrorFlag ? "ENV" : "INC", FileName);
    if (error != NOERROR)
        return error;
    if (!ErrorFlag) {
        error = GetUniqueFileName(GatewayDrive, RecipientDir, "", NameNoExt);
        if (error != NOERROR)
            return error;
    }

    /* The job file */
    ForeignFile = PortFopen(FileName, "wb");
    if (ForeignFile == nullptr) {
        AddInLogError(VQM_NO_RECIPIENT_FILE, NOERROR, FileName);
        return VQM_NO_RECIPIENT_FILE;
    }
    VqCopy(PendingFile, sizeof PendingFile, FileName);

    /* The job file heads the error file list */
    error = AddListEntry(hErrorFileList, pErrorFileListSize, &ErrorFiles, FileName,
                         "ListAddEntry() ErrorFiles");
    if (error != NOERROR)
        goto Close;
    PendingFile[0] = '\0';

    /* Signature byte */
    PortFwrite(&kEnvSig, 1, 1, ForeignFile);

    /* Sender's display name from the originator */
    if (std::sscanf(OriginatorName, "CN=%64[^/@\n\r]", FromName) != 1)
        FromName[0] = '\0';

    /* Subject */
    error = MailGetMessageItem(hMessage, MAIL_SUBJECT_ITEM_NUM, SubjectField, sizeof SubjectField,
                               &StringLength);
    if (error != NOERROR)
        goto Close;
    SubjectField[StringLength < sizeof SubjectField ? StringLength : sizeof SubjectField - 1] = '\0';

    /* Send time: only a time more than a minute ahead delays the fax */
    if (NSFItemGetTime(hMessage, "FaxTime", &tdFax)) {
        OSCurrentTIMEDATE(&tdNow);
        lTimeDiff = TimeDateDifference(&tdFax, &tdNow);
        if (lTimeDiff > 60) {
            tDays = lTimeDiff / 86400;
            std::memset(&tFaxTime, 0, sizeof tFaxTime);
            tFaxTime.GM = tdFax;
            TimeGMToLocal(&tFaxTime);
            VqFormat(szSendAt, sizeof szSendAt, ", at %d:%d+%d", tFaxTime.hour, tFaxTime.minute,
                     (int)tDays);
        }
    }

    /* Fax settings of the message */
    NSFItemGetText(hMessage, "CoverPage", szCoverPg, sizeof szCoverPg);
    NSFItemGetText(hMessage, "ReturnStatus", szRetStat, sizeof szRetStat);
    NSFItemGetText(hMessage, "FaxRes", szRes, sizeof szRes);
    VqCopy(szRes, sizeof szRes, VqStricmp(szRes, "High") == 0 ? "D" : "S");

    /* Option text of every fax address */
    More_Add = std::string(szSendAt) + ", " + szRes + ", cover:" + szCoverPg;

    /* The fax server confirms delivery unless the message says not to */
    if (VqStricmp(szRetStat, "No") == 0)
        JobWriteLine(ForeignFile, "\nReturn_Good: NO", "");

    /* Lists */
    error = NewList(&hSendToList, &SendToList, &SendToListSize, "ListAllocate() Send-to");
    if (error != NOERROR)
        goto Close;
    error = NewList(&hToFieldList, &ToFieldList, &ToFieldListSize, "ListAllocate() Total-to");
    if (error != NOERROR)
        goto Close;

    /* Options file: read before any fax address is made, so that what
     * it adds to the option text reaches every address */
    if (MailGetMessageAttachmentInfo(hMessage, 0, &bhAttachment, OriginalFileName, nullptr, nullptr,
                                     nullptr, nullptr, nullptr) &&
        VqStricmp(OriginalFileName, "faxsvr.fof") == 0) {
        error = ExtractAttachment(hMessage, bhAttachment, AttachmentDir, AttachmentFileName,
                                  PendingFile, sizeof PendingFile);
        if (error != NOERROR)
            goto Close;
        if (do_addconf(ForeignFile, AttachmentFileName, &More_Add, More_Body, sizeof More_Body,
                       FromName, sizeof FromName, &IncludeNames) == NOERROR) {
            PortUnlink(AttachmentFileName);
            PendingFile[0] = '\0';
            OptionsUsed = 1;
        } else {
            OptionsKept = 1;
        }
    }

    /* Recipients. The address buffer holds the whole option text. */
    OneSendTo.assign(CONV_FULLADDR_FIXED + More_Add.size() + 1 > kOneSendToSize
                         ? CONV_FULLADDR_FIXED + More_Add.size() + 1
                         : kOneSendToSize,
                     '\0');
    for (Rec = 0; Rec < RecipientCount; Rec++) {
        RecError = MailGetMessageRecipient(MessageList, Msg, Rec, RecipientName,
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
                                       OneSendTo.data(), OneSendTo.size(), More_Add.c_str());
        if (error != NOERROR)
            goto Close;
        AddInLogError(VQM_OUT_RECIPIENT_IS, NOERROR, OneSendTo.data());
        error = AddListEntry(hSendToList, &SendToListSize, &SendToAmt, OneSendTo.data(),
                             "ListAddEntry() Send-to");
        if (error != NOERROR)
            goto Close;
        AddInSetStatus(VQM_STATUS_TRANSFERRING, UserName);
    }

    /* Attachments */
    AttachmentList = kAttachmentHead;
    AttachmentNameList = kAttachmentNameHead;
    for (Att = 0; MailGetMessageAttachmentInfo(hMessage, Att, &bhAttachment, OriginalFileName,
                                               nullptr, nullptr, nullptr, nullptr, nullptr);
         Att++) {
        if (Att == 0 && OptionsUsed)
            continue;
        if (!(Att == 0 && OptionsKept)) {
            error = ExtractAttachment(hMessage, bhAttachment, AttachmentDir, AttachmentFileName,
                                      PendingFile, sizeof PendingFile);
            if (error != NOERROR)
                goto Close;
        }

        if (IsTambriDll && std::strncmp(OriginalFileName, TambriDllExtSig, TAMBRI_SIG_LEN) == 0) {
            ExtFile = PortFopen(AttachmentFileName, "r");
            if (ExtFile == nullptr) {
                AddInLogError(VQM_BODY_FILE_ERROR, NOERROR, AttachmentFileName);
                error = VQM_BODY_FILE_ERROR;
                goto Close;
            }
            error = ReadExtendedFields(ExtFile, ForeignFile, hSendToList, &SendToListSize,
                                       &SendToAmt, hToFieldList, &ToFieldListSize, &ToFieldAmt,
                                       FromName, sizeof FromName, SubjectField,
                                       sizeof SubjectField);
            if (error != NOERROR)
                goto Close;
            PortFclose(ExtFile);
            ExtFile = nullptr;
            PortUnlink(AttachmentFileName);
            PendingFile[0] = '\0';
            continue;
        }

        AttachmentList.append(BaseName(AttachmentFileName));
        AttachmentList.append(", ");
        AppendValue(&AttachmentNameList, OriginalFileName);
        AttachmentNameList.append(", ");
        error = AddListEntry(hErrorFileList, pErrorFileListSize, &ErrorFiles, AttachmentFileName,
                             "ListAddEntry() ErrorFiles");
        if (error != NOERROR)
            goto Close;
        PendingFile[0] = '\0';
    }

    /* Attachment lines, without the last separator */
    if (AttachmentList.size() > sizeof kAttachmentHead - 1) {
        PortFwrite(AttachmentList.data(), 1, AttachmentList.size() - 2, ForeignFile);
        PortFwrite(AttachmentNameList.data(), 1, AttachmentNameList.size() - 2, ForeignFile);
    }

    /* Send-to line */
    error = WriteListLine(ForeignFile, hSendToList, &SendToList, "\nSend-to: ",
                          "ListGetText() Send-to");
    if (error != NOERROR)
        goto Close;

    /* The addressees, when the cover page is to name them */
    if (IncludeNames == 'Y') {
        error = AddToItems(hToFieldList, &ToFieldListSize, &ToFieldAmt, hMessage,
                           MAIL_SENDTO_ITEM_NUM);
        if (error != NOERROR)
            goto Close;
        error = WriteListLine(ForeignFile, hToFieldList, &ToFieldList, "\nTotal-to: ",
                              "ListGetText() Total-to");
        if (error != NOERROR)
            goto Close;
        FreeList(&hToFieldList);
        ToFieldAmt = 0;
        error = NewList(&hToFieldList, &ToFieldList, &ToFieldListSize, "ListAllocate() Total-to.");
        if (error != NOERROR)
            goto Close;
        error = AddToItems(hToFieldList, &ToFieldListSize, &ToFieldAmt, hMessage,
                           MAIL_COPYTO_ITEM_NUM);
        if (error != NOERROR)
            goto Close;
        error = WriteListLine(ForeignFile, hToFieldList, &ToFieldList, "\nCopies-to: ",
                              "ListGetText() Copies-to");
        if (error != NOERROR)
            goto Close;
    }

    /* Sender lines */
    if (std::sscanf(OriginatorName, "CN=%256[^/]%32[^@]", SenderName, SenderDomain) < 1)
        SenderName[0] = '\0';
    JobWriteLine(ForeignFile, "\nSender: ", SenderName);
    JobWriteLine(ForeignFile, " @ ", SenderDomain);
    JobWriteLine(ForeignFile, "\nFrom-name: ", FromName);
    JobWriteLine(ForeignFile, "\nSubject: ", SubjectField);

    /* Date line */
    error = MailGetMessageItemTimeDate(hMessage, MAIL_POSTEDDATE_ITEM_NUM, &Time);
    if (error != NOERROR)
        goto Close;
    StringLength = 0;
    if (ConvertTIMEDATEToText(nullptr, nullptr, &Time, String, sizeof String - 1, &StringLength) !=
        NOERROR)
        StringLength = 0;
    String[StringLength < sizeof String ? StringLength : sizeof String - 1] = '\0';
    JobWriteLine(ForeignFile, "\nDate: ", String);

    /* Body, read back as text so that its lines end in a single LF */
    error = GetUniqueFileName(GatewayDrive, RecipientDir, "TMP", BodyFileName);
    if (error == NOERROR) {
        VqCopy(PendingFile, sizeof PendingFile, BodyFileName);
        error = MailGetMessageBodyText(hMessage, nullptr, "\r\n", 80, TRUE, BodyFileName,
                                       &BodyFileSize);
    }
    if (error == NOERROR) {
        BodyFile = PortFopen(BodyFileName, "r");
        if (BodyFile == nullptr) {
            AddInLogError(VQM_BODY_FILE_ERROR, NOERROR, BodyFileName);
            error = VQM_BODY_FILE_ERROR;
            goto Close;
        }
    }
    if (error != NOERROR) {
        AddInLogError(VQM_BODY_FILE_ERROR, error, BodyFileName);
        goto Close;
    }
    PortFwrite("\n\n", 1, 2, ForeignFile);
    if (More_Body[0] != '\0') {
        PortFwrite(More_Body, 1, std::strlen(More_Body), ForeignFile);
        PortFwrite("\r\n\r\n", 1, 4, ForeignFile);
    }
    do {
        Got = PortFreadText(String, kBodyBlock, BodyFile);
    } while (Got > 0 && PortFwrite(String, 1, Got, ForeignFile) > 0);
    PortFclose(BodyFile);
    BodyFile = nullptr;
    /* a leftover ".TMP" does no harm to the job, but is said */
    if (PortUnlink(BodyFileName) != 0) {
        VqFormat(String, sizeof String, "Can not delete %s", BodyFileName);
        AddInLogError(VQM_DS0, NOERROR, String);
    }
    PendingFile[0] = '\0';

    /* Write check; the job must be on disk before it can be handed over */
    if (PortFerror(ForeignFile) || PortFsync(ForeignFile) != 0) {
        error = VQM_WRITER_TEXT;
        goto Close;
    }
    if (PortFclose(ForeignFile) != 0) {
        ForeignFile = nullptr;
        error = VQM_WRITER_TEXT;
        goto Close;
    }
    ForeignFile = nullptr;

Close:
    if (error != NOERROR)
        AddInLogError(VQM_DS0, error, "Create Fax Message");
    FreeList(&hToFieldList);
    FreeList(&hSendToList);
    if (BodyFile != nullptr)
        PortFclose(BodyFile);
    if (ExtFile != nullptr)
        PortFclose(ExtFile);
    if (ForeignFile != nullptr)
        PortFclose(ForeignFile);

    if (!ErrorFlag && error == NOERROR) {
        /* The hand-over. A rename that fails leaves a job the fax server
         * never saw: the job has failed and its files go. */
        if (PortRename(FileName, NameNoExt) != 0) {
            AddInLogError(VQM_NO_RECIPIENT_FILE, NOERROR, NameNoExt);
            error = VQM_NO_RECIPIENT_FILE;
            /* a rename that reported failure after all moved the file: a
             * job reported as failed must never be faxed as well */
            if (PortAccess(FileName) != 0 && PortAccess(NameNoExt) == 0)
                PortUnlink(NameNoExt);
        }
    }

    if (!ErrorFlag && error != NOERROR) {
        OSUnlockObject(hErrorFileList);
        ErrorFileList = (LIST *)OSLockObject(hErrorFileList);
        if (ErrorFileList != nullptr) {
            for (i = 0; i < ListGetNumEntries(ErrorFileList, TRUE); i++) {
                if (ListGetText(ErrorFileList, TRUE, i, &Text, &TextLength) != NOERROR)
                    continue;
                VqCopyN(DeletePath, sizeof DeletePath, Text, TextLength);
                PortUnlink(DeletePath);
            }
            OSUnlockObject(hErrorFileList);
        }
        if (PendingFile[0] != '\0')
            PortUnlink(PendingFile);
    }
    return error;
}
