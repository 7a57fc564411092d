/*
 * activity_view.cpp - the lookup of a job's entry through the view
 * "Pending by Job ID", shared by the log import and the queue listing.
 * It only finds and reads: what a failure means, and what is logged for
 * it, stays with each caller.
 */
#include <cstring>

#include "activity.h"

STATUS ActFindJobEntry(HCOLLECTION hcJobs, const char *JobID, NOTEID *idNote, BOOL *readFailed)
{
    COLLECTIONPOSITION cpPos;
    DWORD dwAmt = 0;
    DHANDLE hERBuffer = NULLHANDLE;
    DWORD dwNRet = 0;
    DWORD dwSkipped = 0;
    WORD wBufLen = 0;
    WORD wSignal = 0;
    NOTEID *pIds = nullptr;
    STATUS error = NOERROR;

    *idNote = 0;
    *readFailed = FALSE;
    std::memset(&cpPos, 0, sizeof cpPos);
    error = NIFFindByName(hcJobs, JobID, FIND_CASE_INSENSITIVE, &cpPos, &dwAmt);
    if (error != NOERROR)
        return error;
    error = NIFReadEntries(hcJobs, &cpPos, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT, MAXDWORD,
                           READ_MASK_NOTEID, &hERBuffer, &wBufLen, &dwSkipped, &dwNRet, &wSignal);
    if (error != NOERROR) {
        *readFailed = TRUE;
        return error;
    }
    if (hERBuffer == NULLHANDLE)
        return NOERROR; /* no entry to read: *idNote stays 0 */
    pIds = (NOTEID *)OSLockObject(hERBuffer);
    if (pIds != nullptr && dwNRet > 0)
        std::memcpy(idNote, pIds, sizeof *idNote);
    OSUnlockObject(hERBuffer);
    OSMemFree(hERBuffer);
    return NOERROR;
}
