/*
 * job_entry.cpp - the "Job Entry" document of the activity database: the
 * table of its items and the one routine that writes it, for the activity
 * import, the pending queue listing and the inbound activity entry.
 */
#include <cstring>

#include "vortiq.h"

const char *const JobEntryItems[JOB_ENTRY_ITEMS] = {
    "JobID", "Date",  "Time", "Type",        "Attempts",   "To",
    "From",  "Pages", "Code", "Explanation", "Connection", "Speed",
};

static const char *const StepText[] = {
    nullptr,                   /* JE_STEP_NONE */
    "Error Creating Note",     /* JE_STEP_CREATE */
    "Error Setting Form",      /* JE_STEP_FORM */
    "Error Setting Text Item", /* JE_STEP_ITEM */
    "Error With Note Update",  /* JE_STEP_UPDATE */
    "Error with Note Close",   /* JE_STEP_CLOSE */
};

const char *JobEntryStepText(int Step)
{
    if (Step < JE_STEP_NONE || Step > JE_STEP_CLOSE)
        return nullptr;
    return StepText[Step];
}

STATUS WriteJobEntry(DBHANDLE hDb, NOTEHANDLE hNote, const char *Values, size_t ValueSize,
                     JOBENTRYFAIL *Fail)
{
    STATUS error = NOERROR;
    const char *Value = nullptr;

    Fail->Step = JE_STEP_NONE;
    Fail->Item = 0;
    if (hNote == NULLHANDLE) {
        error = NSFNoteCreate(hDb, &hNote);
        if (error != NOERROR) {
            hNote = NULLHANDLE;
            Fail->Step = JE_STEP_CREATE;
            goto Close;
        }
    }
    error = NSFItemSetText(hNote, JOB_ENTRY_FORM_ITEM, JOB_ENTRY_FORM, MAXWORD);
    if (error != NOERROR) {
        Fail->Step = JE_STEP_FORM;
        goto Close;
    }
    for (int i = 0; i < JOB_ENTRY_ITEMS; i++) {
        Value = Values + (size_t)i * ValueSize;
        error = NSFItemSetText(hNote, JobEntryItems[i], Value, (WORD)strnlen(Value, ValueSize - 1));
        if (error != NOERROR) {
            Fail->Step = JE_STEP_ITEM;
            Fail->Item = i;
            goto Close;
        }
    }
    error = NSFNoteUpdate(hNote, 0);
    if (error != NOERROR) {
        Fail->Step = JE_STEP_UPDATE;
        goto Close;
    }
    error = NSFNoteClose(hNote);
    hNote = NULLHANDLE;
    if (error != NOERROR)
        Fail->Step = JE_STEP_CLOSE;

Close:
    /* A note that could not be filled or saved is closed unsaved. */
    if (hNote != NULLHANDLE)
        NSFNoteClose(hNote);
    return error;
}
