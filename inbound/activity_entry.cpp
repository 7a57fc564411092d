/*
 * activity_entry.cpp - records a delivered fax that carried a DID in the
 * activity database: one new "Job Entry" document per recipient, all with
 * the same columns but "To", which names the recipient (its common name
 * when the address is hierarchical, "CN=name/..."). With the fax's identity
 * given, each entry also carries it (item VortiqFaxId), as the delivered
 * mail does: the link from the entry to the mail and its image.
 */
#include <cstdio>
#include <cstring>

#include "inbound.h"

#define ENTRY_CN_PATTERN "CN=%31[^/@\n\r]"

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

STATUS log_in_activity(ENTRYCOL *fData, DHANDLE hdupRecip)
{
    return log_in_activity_fax(fData, hdupRecip, nullptr);
}

/* A new entry carrying the fax's identity (when given): the delivered
 * mail carries the same item, so the entry leads to it. */
static STATUS CreateLinkedEntry(DBHANDLE db_handle, const char *FaxId, NOTEHANDLE *phNote,
                                JOBENTRYFAIL *Fail)
{
    STATUS error = NOERROR;

    *phNote = NULLHANDLE;
    if (FaxId != nullptr && FaxId[0] != '\0') {
        error = NSFNoteCreate(db_handle, phNote);
        if (error != NOERROR) {
            *phNote = NULLHANDLE;
            Fail->Step = JE_STEP_CREATE;
        } else {
            error = NSFItemSetText(*phNote, ENTRY_FAX_ID_ITEM, FaxId, (WORD)strlen(FaxId));
            if (error != NOERROR) {
                NSFNoteClose(*phNote);
                *phNote = NULLHANDLE;
                Fail->Step = JE_STEP_ITEM;
            }
        }
    }
    return error;
}

STATUS WriteActivityEntries(DBHANDLE db_handle, ENTRYCOL *fData, DHANDLE hdupRecip,
                            const char *FaxId, const char **What)
{
    NOTEHANDLE note_handle = NULLHANDLE;
    void *dupRecip = hdupRecip != NULLHANDLE ? OSLockObject(hdupRecip) : nullptr;
    const WORD n = dupRecip != nullptr ? ListGetNumEntries(dupRecip, TRUE) : 0;
    JOBENTRYFAIL Fail;
    char *szText = nullptr;
    WORD TextSize = 0;
    STATUS error = NOERROR;

    *What = nullptr;
    for (WORD i = 0; i < n; i++) {
        fData[ENTRY_TO][0] = '\0';
        error = ListGetText(dupRecip, TRUE, i, &szText, &TextSize);
        if (error != NOERROR) {
            *What = "Error Reading Recipient";
            break;
        }
        RecipientColumn(szText, TextSize, fData[ENTRY_TO]);
        error = CreateLinkedEntry(db_handle, FaxId, &note_handle, &Fail);
        if (error == NOERROR)
            error = WriteJobEntry(db_handle, note_handle, fData[0], ENTRY_COL_SIZE, &Fail);
        if (error != NOERROR) {
            *What = JobEntryStepText(Fail.Step);
            break;
        }
    }
    return error;
}

STATUS log_in_activity_fax(ENTRYCOL *fData, DHANDLE hdupRecip, const char *FaxId)
{
    DBHANDLE db_handle = NULLHANDLE;
    const char *What = nullptr;
    STATUS error = NSFDbOpen(ActLogNsf, &db_handle);

    if (error != NOERROR) {
        AddInLogError(VQM_DS0, error, "Error Opening DB");
        return error;
    }
    error = WriteActivityEntries(db_handle, fData, hdupRecip, FaxId, &What);
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
