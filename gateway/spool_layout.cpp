/*
 * spool_layout.cpp - full paths into the fax server's spool tree below
 * GatewayPath, in the two forms the passes use: whole (root and suffix in
 * one text) and split (the directory part that PortMakePath joins with
 * GatewayDrive and a file name).
 *
 * A path that does not fit its buffer is refused, never cut: a cut path
 * could name another file of the tree.
 */
#include <string.h>

#include "vortiq.h"
#include "vq_port.h"

/* GatewayPath followed by Suffix; -1 and an empty Out when it does not fit. */
int SpoolWholePath(char *Out, size_t Size, const char *Suffix)
{
    int len = 0;

    if (Out == nullptr || Size == 0)
        return -1;
    len = VqFormat(Out, Size, "%s%s", GatewayPath, Suffix ? Suffix : "");
    if (len < 0 || (size_t)len >= Size) {
        Out[0] = '\0';
        return -1;
    }
    return 0;
}

/* GatewayPath without its drive part, followed by Suffix; -1 and an empty
 * Out when it does not fit. The drive part is taken from GatewayPath
 * itself, so the two halves always belong to the same path. */
int SpoolSplitDir(char *Out, size_t Size, const char *Suffix)
{
    char szDrive[VQ_DRIVE_SIZE] = "";
    int len = 0;

    if (Out == nullptr || Size == 0)
        return -1;
    PortDrivePart(GatewayPath, szDrive, sizeof szDrive);
    len = VqFormat(Out, Size, "%s%s", GatewayPath + strlen(szDrive), Suffix ? Suffix : "");
    if (len < 0 || (size_t)len >= Size) {
        Out[0] = '\0';
        return -1;
    }
    return 0;
}
