/*
 * control_file.cpp - reading the received-fax control files that the fax
 * server leaves in FAX/IN: the header lines (recipients, subject, image),
 * the information block and the administrator activity table that become
 * the mail body, the activity columns of a received fax, and the failure
 * line appended to a file that could not be delivered.
 *
 * Lines come from PortFgets (text mode: CR LF is one line end, CTRL+Z ends
 * the file) through a buffer of IN_LINE_SIZE bytes; a longer line arrives
 * in pieces and each piece counts as a line. Every value is cut at the
 * buffer that holds it.
 */
#include <cstdio>
#include <cstring>

#include "inbound.h"

#define ROUTING_KEYWORD "TMB_LOTUS_ROUTE"
#define ROUTING_KEYWORD_LEN 15
#define ADMIN_LOG_SUBJECT "Administrator"
#define ADMIN_LOG_SUBJECT_LEN 13
#define KEY_TAB_BELOW 8            /* keys shorter than this get a second tab */
#define ADMIN_COL_SIZE 32          /* the widest admin column is 20 */
#define FAILURE_REASON_FORMAT "BFailure reason: %s\r\n"

int InIsHeaderEnd(const char *Line)
{
    return strlen(Line) <= 1;
}

int InRecipientName(const char *ToValue, char *Name, size_t NameSize)
{
    char *pAt = nullptr;
    size_t Length = 0;

    if (strncmp(ToValue, ROUTING_KEYWORD, ROUTING_KEYWORD_LEN) == 0)
        return 0;
    VqCopy(Name, NameSize, ToValue);
    /* a value with two "@" keeps what stands before the last one */
    pAt = strrchr(Name, '@');
    if (pAt != nullptr)
        *pAt = '\0';
    Length = strlen(Name);
    while (Length > 0 && Name[Length - 1] == ' ')
        Name[--Length] = '\0';
    return 1;
}

int InParseHeaderLine(const char *Line, char *Value, size_t ValueSize)
{
    char ToValue[IN_RECIPIENT_SIZE] = "";
    char Text[IN_LINE_SIZE] = "";

    Value[0] = '\0';
    if (sscanf(Line, "To: %255[^\n]", ToValue) == 1)
        return InRecipientName(ToValue, Value, ValueSize) ? IN_HDR_RECIPIENT : IN_HDR_NONE;
    if (sscanf(Line, "Subject: %257[^\n]", Text) == 1) {
        VqCopy(Value, ValueSize, Text);
        return IN_HDR_SUBJECT;
    }
    if (sscanf(Line, "Attachment: %257s", Text) == 1) {
        VqCopy(Value, ValueSize, Text);
        return IN_HDR_ATTACHMENT;
    }
    return IN_HDR_NONE;
}

/* The name is joined below FAX/IPARCEL and later deleted or moved: only a
 * plain name may stay inside that directory. */
int InImageNameIsPlain(const char *Name)
{
    if (Name[0] == '\0' || strcmp(Name, ".") == 0 || strcmp(Name, "..") == 0)
        return 0;
    return strpbrk(Name, "/\\") == nullptr;
}

int InIsAdminLog(const char *Subject)
{
    return strncmp(Subject, ADMIN_LOG_SUBJECT, ADMIN_LOG_SUBJECT_LEN) == 0;
}

WORD InDeliveredMessage(const char *Subject)
{
    if (strncmp(Subject, "Fax:", 4) == 0)
        return VQM_RETURN_STATUS_DELIVERED;
    if (strncmp(Subject, "Admin", 5) == 0)
        return VQM_ADMIN_LOG_DELIVERED;
    return VQM_FAX_RECEIVED;
}

void InSplitInfoLine(const char *Line, char *Key, size_t KeySize, char *Value, size_t ValueSize)
{
    char HeaderField[IN_LINE_SIZE] = "";
    char ColonField[IN_COLON_SIZE] = "";
    char InfoField[IN_LINE_SIZE] = "";

    /* a line that begins with a colon leaves all three empty */
    sscanf(Line, "%257[^:\n]%15[:] %257[^\n]", HeaderField, ColonField, InfoField);
    VqCopy(Key, KeySize, HeaderField);
    VqAppend(Key, KeySize, ColonField);
    if (strlen(Key) < KEY_TAB_BELOW)
        VqAppend(Key, KeySize, "\t");
    VqCopy(Value, ValueSize, InfoField);
}

int InApplyInfoKey(const char *Key, const char *Value, ENTRYCOL *EntryCol, char *DID, size_t DIDSize)
{
    if (VqStricmp(Key, "Receive Time:") == 0) {
        /* date in characters 1-5, time in 10-14 */
        VqFormat(EntryCol[ENTRY_DATE], ENTRY_COL_SIZE, "%.5s", Value);
        if (strlen(Value) >= 10)
            VqFormat(EntryCol[ENTRY_TIME], ENTRY_COL_SIZE, "%.5s", Value + 9);
        else
            EntryCol[ENTRY_TIME][0] = '\0';
    } else if (VqStricmp(Key, "TSI Received:") == 0) {
        VqFormat(EntryCol[ENTRY_FROM], ENTRY_COL_SIZE, "%.31s", Value);
    } else if (VqStricmp(Key, "Pages Received:") == 0) {
        VqFormat(EntryCol[ENTRY_PAGES], ENTRY_COL_SIZE, "%.31s", Value);
    } else if (VqStricmp(Key, "Connect Time:") == 0) {
        VqFormat(EntryCol[ENTRY_CONNECTION], ENTRY_COL_SIZE, "%.31s", Value);
    } else if (VqStricmp(Key, "DID Received:") == 0) {
        VqCopy(DID, DIDSize, Value);
        VqCopy(EntryCol[ENTRY_JOBID], ENTRY_COL_SIZE, " ");
        VqCopy(EntryCol[ENTRY_TYPE], ENTRY_COL_SIZE, "RX");
        VqCopy(EntryCol[ENTRY_ATTEMPTS], ENTRY_COL_SIZE, "00");
        VqCopy(EntryCol[ENTRY_CODE], ENTRY_COL_SIZE, "0000");
        VqCopy(EntryCol[ENTRY_EXPLANATION], ENTRY_COL_SIZE, " ");
        VqCopy(EntryCol[ENTRY_SPEED], ENTRY_COL_SIZE, " ");
        return 1;
    }
    return 0;
}

int InCopyInfoBlock(FILE *ControlFile, FILE *BodyFile, ENTRYCOL *EntryCol,
                    void (*OnDID)(const char *DID, void *Context), void *Context)
{
    char String[IN_LINE_SIZE];
    char Key[IN_LINE_SIZE + IN_COLON_SIZE + 1];
    char Value[IN_LINE_SIZE];
    char DID_digits[IN_DID_SIZE];

    while (PortFgets(String, sizeof String, ControlFile) != nullptr) {
        InSplitInfoLine(String, Key, sizeof Key, Value, sizeof Value);
        PortFprintf(BodyFile, "%s\t%s\n", Key, Value);
        if (InApplyInfoKey(Key, Value, EntryCol, DID_digits, sizeof DID_digits) && OnDID != nullptr)
            OnDID(DID_digits, Context);
    }
    return PortFerror(BodyFile) ? -1 : 0;
}

const char *const InAdminLogHead[4] = {
    "\n\n-----------Administrator Activity Log-----------\n\n",
    "JOB \tDATE \tTIME \tTY RC ",
    "TO                  \tFROM       \t",
    "PG  CODE EXPL CONN\n",
};

void InFormatAdminRow(const char *Line, char *Out, size_t OutSize)
{
    char Job[ADMIN_COL_SIZE] = "", Date[ADMIN_COL_SIZE] = "", Time[ADMIN_COL_SIZE] = "";
    char Ty[ADMIN_COL_SIZE] = "", Rc[ADMIN_COL_SIZE] = "", To[ADMIN_COL_SIZE] = "";
    char From[ADMIN_COL_SIZE] = "", Pg[ADMIN_COL_SIZE] = "", Code[ADMIN_COL_SIZE] = "";
    char Expl[ADMIN_COL_SIZE] = "", Conn[ADMIN_COL_SIZE] = "";

    /* a column layout: the widths are those of the fax server's log */
    sscanf(Line, "%4s %5s %5s %3[^\n]%2s %20[^\n] %11[^\n] %3s %4s%6[^\n]%4s", Job, Date, Time,
           Ty, Rc, To, From, Pg, Code, Expl, Conn);
    VqFormat(Out, OutSize, "%s\t%s\t%s\t%s%s %s\t%s\t%s %s  %s  %s\n", Job, Date, Time, Ty, Rc,
             To, From, Pg, Code, Expl, Conn);
}

int InCopyAdminLog(FILE *ControlFile, FILE *BodyFile)
{
    char String[IN_LINE_SIZE];
    char Row[2 * IN_LINE_SIZE];
    int InTable = 0;

    for (int i = 0; i < 4; i++)
        PortFprintf(BodyFile, "%s", InAdminLogHead[i]);
    while (PortFgets(String, sizeof String, ControlFile) != nullptr) {
        if (!InTable) {
            InTable = strncmp(String, "---", 3) == 0;
            continue;
        }
        InFormatAdminRow(String, Row, sizeof Row);
        PortFprintf(BodyFile, "%s", Row);
    }
    return PortFerror(BodyFile) ? -1 : 0;
}

/* The file goes to the administrator as it is: the line must be on disk
 * before the file is moved. */
int InWriteFailureLine(FILE *ControlFile, const char *Text)
{
    if (fseek(ControlFile, 0, SEEK_END) != 0)
        return -1;
    PortFprintf(ControlFile, FAILURE_REASON_FORMAT, Text);
    if (PortFerror(ControlFile))
        return -1;
    return PortFsync(ControlFile) == 0 ? 0 : -1;
}
