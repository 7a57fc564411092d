/*
 * activity_entry.cpp - records a delivered fax that carried a DID in the
 * activity database: one new "Job Entry" document per recipient, all with
 * the same columns but "To", which names the recipient (its common name
 * when the address is hierarchical, "CN=name/...").
 */
#include <cstdio>
#include <cstring>

#include "inbound.h"

#define ENTRY_FORM "Job Entry"
#define ENTRY_CN_PATTERN "CN=%31[^/@\n\r]"

static const char *const Fields[ENTRY_ITEMS] = {
    "JobID", "Date", "Time", "Type", "Attempts", "To",
    "From", "Pages", "Code", "Explanation", "Connection", "Speed",
};

/* Common name of a hierarchical address, else the whole entry, cut at the
 * column (63 characters). */
static void RecipientColumn(const char *szText, WORD TextSize, char *Column)
{
    char Entry[VQ_NAME_SIZE];

    Column[0] = '\0';
    VqCopyN(Entry, sizeof Entry, szText, TextSize);
    sscanf(Entry, ENTRY_CN_PATTERN, Column);
    if (Column[0] == '\0')
        VqCopyN(Column, ENTRY_COL_SIZE, szText, TextSize);
}

/* Writes one entry; on failure the note is closed unsaved and the text of
 * the failing step is in *pWhat. */
static STATUS WriteEntry(DBHANDLE db_handle, ENTRYCOL *fData, const char **pWhat)
{
    NOTEHANDLE note_handle = NULLHANDLE;
    STATUS error = NSFNoteCreate(db_handle, &note_handle);

    if (error != NOERROR) {
        *pWhat = "Error Creating Note";
        return error;
    }
    error = NSFItemSetText(note_handle, "FORM", ENTRY_FORM, MAXWORD);
    if (error != NOERROR) {
        *pWhat = "Error Setting Form";
        goto Close;
    }
    for (int j = 0; j < ENTRY_ITEMS; j++) {
        error = NSFItemSetText(note_handle, Fields[j], fData[j], MAXWORD);
        if (error != NOERROR) {
            *pWhat = "Error Setting Text Item";
            goto Close;
        }
    }
    error = NSFNoteUpdate(note_handle, 0);
    if (error != NOERROR) {
        *pWhat = "Error With Note Update";
        goto Close;
    }
    error = NSFNoteClose(note_handle);
    if (error != NOERROR)
        *pWhat = "Error with Note Close";
    return error;

Close:
    NSFNoteClose(note_handle);
    return error;
}

STATUS log_in_activity(ENTRYCOL *fData, DHANDLE hdupRecip)
{
    DBHANDLE db_handle = NULLHANDLE;
    void *dupRecip = nullptr;
    const char *What = nullptr;
    char *szText = nullptr;
    WORD TextSize = 0;
    WORD n = 0;
    STATUS error = NSFDbOpen(ActLogNsf, &db_handle);

    if (error != NOERROR) {
        AddInLogError(VQM_DS0, error, "Error Opening DB");
        E_quit = 1;
        return error;
    }
    dupRecip = hdupRecip != NULLHANDLE ? OSLockObject(hdupRecip) : nullptr;
    n = dupRecip != nullptr ? ListGetNumEntries(dupRecip, TRUE) : 0;
    for (WORD i = 0; i < n; i++) {
        fData[ENTRY_TO][0] = '\0';
        error = ListGetText(dupRecip, TRUE, i, &szText, &TextSize);
        if (error != NOERROR) {
            What = "Error Reading Recipient";
            break;
        }
        RecipientColumn(szText, TextSize, fData[ENTRY_TO]);
        error = WriteEntry(db_handle, fData, &What);
        if (error != NOERROR)
            break;
    }
    if (error != NOERROR) {
        /* the note is closed already; close the database before reporting */
        NSFDbClose(db_handle);
        AddInLogError(VQM_DS0, error, What);
        return error;
    }
    error = NSFDbClose(db_handle);
    if (error != NOERROR)
        AddInLogError(VQM_DS0, error, "Error closing DB");
    return error;
}
