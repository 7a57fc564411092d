/*
 * inbound.h - the inbound side of the gateway: the recipients of a message
 * while it is built (RECITEMINFO), the DID lookup in the user directory,
 * the activity entry of a received fax, and the small readers of the
 * received-fax control files that the inbound pass is made of.
 */
#ifndef VQ_INBOUND_H
#define VQ_INBOUND_H

#include <stdio.h>
#include <stddef.h>

#include "vortiq.h"

/* ---- widths (buffer sizes, terminator included) ---- */
#define IN_LINE_SIZE 258      /* String: one read of a control file line */
#define IN_SUBJECT_SIZE 64    /* SubjectField: a longer subject is cut at 63 */
#define IN_DID_SIZE 64        /* DID_digits: a longer DID is cut at 63 */
#define IN_COLON_SIZE 16      /* ColonField: a longer colon run is cut at 15 */
#define IN_RECIPIENT_SIZE 256 /* "To: %255[^\n]" */
#define IN_FIELD_TEXT_SIZE 1024 /* field_text: directory item texts */
#define ENTRY_COL_SIZE 64     /* one activity column (63 characters) */
#define ENTRY_COLS 16         /* EntryCol holds 16; the first 12 are written */
#define ENTRY_ITEMS JOB_ENTRY_ITEMS
static_assert(ENTRY_COL_SIZE <= JOB_ENTRY_VALUE_SIZE, "a column fits the Job Entry writer");

/* EntryCol indexes, in the order of the "Job Entry" items. */
enum {
    ENTRY_JOBID = JE_JOBID, ENTRY_DATE = JE_DATE, ENTRY_TIME = JE_TIME, ENTRY_TYPE = JE_TYPE,
    ENTRY_ATTEMPTS = JE_ATTEMPTS, ENTRY_TO = JE_TO, ENTRY_FROM = JE_FROM, ENTRY_PAGES = JE_PAGES,
    ENTRY_CODE = JE_CODE, ENTRY_EXPLANATION = JE_EXPLANATION, ENTRY_CONNECTION = JE_CONNECTION,
    ENTRY_SPEED = JE_SPEED
};

typedef char ENTRYCOL[ENTRY_COL_SIZE];

/* The recipients of one inbound message while it is built. The list is a
 * prefixed text list; RecipientsItem is only valid while it is locked. */
typedef struct {
    DHANDLE hRecipientsItem;   /* NULLHANDLE when no list is held */
    LIST *RecipientsItem;      /* the list while locked, else nullptr */
    WORD RecipientsItemSize;   /* kept up to date by every ListAddEntry */
    WORD Recipients;           /* names met so far, resolved or not */
    int toAdmin;               /* a name did not resolve: add the admin */
} RECITEMINFO;

/* What the DID search and the enumeration of its matches share. */
typedef struct {
    DBHANDLE NameDB;
    DHANDLE hNoteIDTable;
    const char *DID;
    RECITEMINFO *Rec;
} SEARCHPARMS;

/* ---- recipients (did_lookup.cpp) ---- */
/* Appends Address as the new last entry of Rec's list. */
STATUS AppendRecipient(RECITEMINFO *Rec, const char *Address);
/* Looks Name up and appends its mail address; an unknown name sets
 * toAdmin and logs 13101. Counts the name either way. Returns the status
 * of the append (0 when the name did not resolve). */
STATUS AddRecipientName(RECITEMINFO *Rec, const char *Name);

/* ---- DID lookup (did_lookup.cpp) ---- */
STATUS CheckDID(const char *DID_no, RECITEMINFO *Rec);
/* The item of a received fax's mail that carries the fax's identity. */
#define IN_FAX_ID_ITEM "VortiqFaxId"
/* What a recipient's mail file says to a fax (RecipientMailFile). */
#define IN_MAILFILE_TAKES 0 /* also: not a Person (groups are the router's) */
#define IN_MAILFILE_FAILS 1 /* a Person whose mail file is missing or unusable */
#define IN_MAILFILE_HOLDS 2 /* it holds a mail with the fax's identity already */
#define IN_MAILFILE_BUSY 3  /* busy or on a full disk: a later pass may do */
#define IN_MAILFILE_LACKS 4 /* a Person whose mail file opens and lacks the fax */
/* A Person whose mail file failed to take FaxId at delivery counts as
 * FAILS from then on in this process, even when it opens. */
int RecipientMailFile(const char *Name, const char *FaxId);
/* From InHoldMailFiles(TRUE) to InHoldMailFiles(FALSE) (a pass)
 * RecipientMailFile keeps the directory and each mail file it opened
 * open, so that a pass opens each once. */
void InHoldMailFiles(BOOL Hold);
/* Notes that Name's mail file opened but did not take FaxId when the
 * router delivered it. */
void MarkDeliveryFailed(const char *Name, const char *FaxId);
STATUS GetRecipientIDs(void *SearchParms, SEARCH_MATCH *SearchMatch, ITEM_TABLE *SummaryBuffer);
STATUS AddDIDRecipients(void *SearchParms, DWORD NoteID);

/* ---- activity entry (activity_entry.cpp) ---- */
/* One "Job Entry" per entry of the prefixed list hdupRecip, columns from
 * fData, "To" from the entry. Locks the list and leaves it locked. */
STATUS log_in_activity(ENTRYCOL *fData, DHANDLE hdupRecip);
/* The same; each entry also carries FaxId (when not null) in the item
 * ENTRY_FAX_ID_ITEM, the identity the delivered mail carries too. */
#define ENTRY_FAX_ID_ITEM IN_FAX_ID_ITEM
STATUS log_in_activity_fax(ENTRYCOL *fData, DHANDLE hdupRecip, const char *FaxId);
/* The entries of log_in_activity_fax written through db_handle, an open
 * handle of the activity database (the caller's group); nothing is
 * logged: on a failure *What gets the text of the step that failed. Locks
 * the list and leaves it locked. */
STATUS WriteActivityEntries(DBHANDLE db_handle, ENTRYCOL *fData, DHANDLE hdupRecip,
                            const char *FaxId, const char **What);

/* ---- control file reading (control_file.cpp) ---- */
enum { IN_HDR_NONE = 0, IN_HDR_RECIPIENT, IN_HDR_SUBJECT, IN_HDR_ATTACHMENT };

/* The first line of at most one character ends the header. */
int InIsHeaderEnd(const char *Line);
/* Kind of a header line and its value: the recipient name (routing
 * keyword, "@domain" and trailing blanks handled), the subject (cut at
 * ValueSize - 1) or the image file name (first word). */
int InParseHeaderLine(const char *Line, char *Value, size_t ValueSize);
/* Recipient name of a "To:" value; 0 when the value names nobody. */
int InRecipientName(const char *ToValue, char *Name, size_t NameSize);
/* The image name of an "Attachment:" line is a plain file name. */
int InImageNameIsPlain(const char *Name);
/* Subject prefixes that decide the kind of file and the success message. */
int InIsAdminLog(const char *Subject);
WORD InDeliveredMessage(const char *Subject);

/* Information block: key (colons and maybe a tab appended) and value. */
void InSplitInfoLine(const char *Line, char *Key, size_t KeySize, char *Value, size_t ValueSize);
/* Sets the activity columns a key fills; 1 for a "DID Received:" key,
 * whose value then is in DID. */
int InApplyInfoKey(const char *Key, const char *Value, ENTRYCOL *EntryCol, char *DID, size_t DIDSize);
/* Writes the body text of the information block; for each DID line calls
 * OnDID(DID, Context). Returns 0, or -1 when the body file reports a
 * write error. */
int InCopyInfoBlock(FILE *ControlFile, FILE *BodyFile, ENTRYCOL *EntryCol,
                    void (*OnDID)(const char *DID, void *Context), void *Context);

/* Administrator log: the fixed head and one reformatted row. */
extern const char *const InAdminLogHead[4];
void InFormatAdminRow(const char *Line, char *Out, size_t OutSize);
int InCopyAdminLog(FILE *ControlFile, FILE *BodyFile);

/* Appends "BFailure reason: <Text>" CR LF at the end of the control file
 * and syncs it. 0 or -1. */
int InWriteFailureLine(FILE *ControlFile, const char *Text);

/* With notes.ini VortiqAttachPdf=1, attaches a PDF copy of the image at
 * ImagePath as "RX.PDF"; a failure is logged and the fax goes on
 * (rx_pdf.cpp). */
void InAttachPdfCopy(DHANDLE hMessage, const char *ImagePath);

#endif /* VQ_INBOUND_H */
