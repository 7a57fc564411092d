/*
 * unique_name.cpp - GetUniqueFileName: a fresh numbered file name
 * ("%.8d" plus an extension) in a spool directory, lowest number first.
 *
 * Only looks names up (never creates or opens a file); the caller creates
 * the file right after the call.
 */
#include "vortiq.h"
#include "unique_name.h"
#include "vq_port.h"

long VqUniqueNameLimit = VQ_UNIQUE_NAME_COUNT;

/* Returns 0 with FileName (VQ_FILE_PATH bytes) naming a file that did not
 * exist, or VQM_NO_UNIQUE_NAME with FileName empty when every number is
 * taken. A name that would not fit FileName is the same failure: a cut
 * path could name a file that is in use. */
STATUS GetUniqueFileName(const char *Drive, const char *Dir, const char *Ext, char *FileName)
{
    char szBase[16] = "";
    long lNumber = 0;

    for (lNumber = 0; lNumber < VqUniqueNameLimit && lNumber < VQ_UNIQUE_NAME_COUNT; lNumber++) {
        VqFormat(szBase, sizeof szBase, "%.8ld", lNumber);
        if (PortMakePath(FileName, VQ_FILE_PATH, Drive ? Drive : "", Dir ? Dir : "", szBase,
                         Ext ? Ext : "") != 0)
            goto done;
        /* Free only when nothing at all has the name: a read-only file, a
         * folder or a dangling link is taken as much as a job is. */
        if (!PortLexists(FileName))
            return NOERROR;
    }

done:
    FileName[0] = '\0';
    return VQM_NO_UNIQUE_NAME;
}
