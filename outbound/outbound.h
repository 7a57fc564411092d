/*
 * outbound.h - what the parts of the outbound subsystem share and nobody
 * else needs: the extended-fields flag and its marker, the recipient
 * address conversion, the options-file reader, the helpers that write
 * header values into a fax job file, and the widths of their fields; the
 * hand-over journal, and the job writer's two halves for jobs handed over
 * in chunks.
 */
#ifndef VQ_OUTBOUND_H
#define VQ_OUTBOUND_H

#include <stddef.h>
#include <stdio.h>

#include <string>

#include "vortiq.h"

/* ---- extended-fields marker ---- */
#define TAMBRI_SIG_LEN 37
/* 1 while the current job has the extended-fields recipient; cleared by
 * CreateForeignMessage at the start of every job, read by AddToItems. */
extern WORD IsTambriDll;
/* "$TAMBRI^_EXTENDED^_*FAX-FIELDS*_1.00$" (TAMBRI_SIG_LEN characters). */
extern const char TambriDllExtSig[TAMBRI_SIG_LEN + 1];

/* ---- address conversion ---- */
#define CONV_RECIPIENT_MAX 255  /* characters of an address that are looked at */
#define CONV_NAMEONLY_SIZE 256  /* a name-only part whole: 255 characters */
/* "- @ FAX {" + 255 characters of address + " " + "}": a full fax address
 * without its option text. A buffer for one needs this plus the length of
 * the option text plus the terminator. */
#define CONV_FULLADDR_FIXED 266
#define ADDTOITEMS_NAME_SIZE 128 /* a name in the Total-to/Copies-to lists: 127 */

/* Parses one Notes address into its name-only part (NameOnly, cut at
 * NameOnlySize - 1) and its full fax address "- @ FAX {address More_Add}"
 * (FullAddress). Either output may be null. The option text is never cut:
 * a FullAddress buffer smaller than CONV_FULLADDR_FIXED + strlen(More_Add)
 * + 1 is refused with ERR_BAD_PARAM and left untouched. Otherwise 0. */
STATUS ConvLotusNametoFaxName(const char *Recipient, int RecipientNameLength, char *NameOnly,
                              size_t NameOnlySize, char *FullAddress, size_t FullAddressSize,
                              const char *More_Add);

/* Appends the name-only part of every entry of recipient item ItemNum (0
 * send-to, 1 copy-to) of hMessage to the text list hToFieldList (data-type
 * prefix), advancing *pToFieldAmt. A missing item or one of another type
 * adds nothing. 0, or the status of a failed ListAddEntry (logged). */
STATUS AddToItems(DHANDLE hToFieldList, WORD *pToFieldListSize, WORD *pToFieldAmt,
                  DHANDLE hMessage, WORD ItemNum);

/* ---- options file ---- */
#define OPT_LINE_SIZE 1024     /* one read of the options file: 1023 characters */
#define OPT_NOT_OPTIONS 0xFFFF /* do_addconf: not an options file */
#define JOB_MOREBODY_SIZE 256  /* cover page message: 255 characters */
#define JOB_FROMNAME_SIZE 256  /* sender's display name: 255 characters */

/* Applies the options file ConfigFileName: appends to *More_Add, sets
 * More_Body, FromName and *pIncludeNames, and writes the sender lines into
 * the job file ForeignFile. 0 when it was an options file; OPT_NOT_OPTIONS
 * (nothing changed or written) when it cannot be opened or does not begin
 * with "[Fax Options]". */
WORD do_addconf(FILE *ForeignFile, const char *ConfigFileName, std::string *More_Add,
                char *More_Body, size_t More_BodySize, char *FromName, size_t FromNameSize,
                char *pIncludeNames);

/* ---- job file header values ----
 * A header line of the job file is one line: a value never carries a line
 * end into it, each CR or LF of a value is written as a blank, and so is
 * a CTRL+Z, which would end the job for a reader in text mode. */
void JobWriteValue(FILE *Stream, const char *Value, size_t Length);
/* Writes Head as it is, then Value as JobWriteValue does. */
void JobWriteLine(FILE *Stream, const char *Head, const char *Value);

/* ---- hand-over journal ----
 * A job's work name and final name are saved on its message (one commit)
 * before the rename; the entry leaves with the message. A message whose
 * entry names a work file that is gone was handed over; one whose work
 * file is still there was not. */
STATUS JournalHandOver(DHANDLE hMessage, const char *WorkName, const char *FinalName);
/* Drops the entry of a job that was not handed over. 0 or the status. */
STATUS JournalDrop(DHANDLE hMessage);

/* ---- jobs handed over in chunks ----
 * A job written and on disk under its working name, its hand-over left to
 * the caller: the journal entries of several jobs in one commit, then the
 * renames, then one fsync per folder. */
typedef struct {
    char WorkName[VQ_FILE_PATH];   /* the job file, NNNNNNNN.INC in FAX/OUT */
    char FinalName[VQ_FILE_PATH];  /* the name the fax server picks it up by */
    char ParcelName[VQ_FILE_PATH]; /* one of its attachment files, "" when none */
} JOBNAMES;
/* Writes and syncs the job of one message as CreateForeignMessage does,
 * without its journal entry and its rename; its final name is kept from
 * the other jobs of the pass until JobRenameIn. A job that failed left no
 * file. 0 or the status of the failure (logged). */
STATUS JobPrepare(DHANDLE hMessage, const char *OriginatorName, DARRAY *MessageList, WORD Msg,
                  WORD RecipientCount, DHANDLE hErrorFileList, LIST *ErrorFileList,
                  WORD *pErrorFileListSize, JOBNAMES *Names);
/* Renames a prepared job in (a final name taken meanwhile is passed over,
 * never replaced; FinalName says the one used), without the folder's
 * fsync. 0 or VQM_NO_RECIPIENT_FILE, not logged (the caller says it in
 * its place among the lines of its messages); the job is then as it was. */
STATUS JobRenameIn(JOBNAMES *Names);

#endif /* VQ_OUTBOUND_H */
