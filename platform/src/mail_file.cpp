/*
 * mail_file.cpp - mail files: a mail file is a database of its own with a
 * title; the server's mail box is "mail.box" in the data directory.
 */
#include "mail_internal.h"
#include "vq_mail.h"
#include "vq_nsf.h"

using namespace vq::mail;

namespace {

/* The one template the stand-in knows, and the title it gives. */
const char *const kMailboxTemplate = "mailbox.ntf";
const char *const kMailboxTitle = "Mail";

}  // namespace

STATUS MailOpenMessageFile(const char *FileName, DBHANDLE *rethFile)
{
    if (rethFile == nullptr)
        return ERR_BAD_PARAM;
    *rethFile = NULLHANDLE;
    const char *name = (FileName == nullptr || *FileName == '\0') ? VQ_MAILBOX_NAME : FileName;
    return NSFDbOpen(name, rethFile);
}

STATUS MailCreateMessageFile(const char *FileName, const char *TemplateFileName,
                             const char *Title, DBHANDLE *rethFile)
{
    if (FileName == nullptr || *FileName == '\0' || rethFile == nullptr)
        return ERR_BAD_PARAM;
    *rethFile = NULLHANDLE;
    if (TemplateFileName != nullptr && *TemplateFileName != '\0' &&
        !IEquals(TemplateFileName, kMailboxTemplate))
        return ERR_MAIL_TEMPLATE;
    STATUS s = NSFDbCreate(FileName, DBCLASS_NOTEFILE, FALSE);
    if (s != NOERROR)
        return s;
    DBHANDLE h = NULLHANDLE;
    s = NSFDbOpen(FileName, &h);
    if (s != NOERROR)
        return s;
    s = VqDbSetTitle(h, (Title != nullptr && *Title != '\0') ? Title : kMailboxTitle);
    if (s != NOERROR) {
        NSFDbClose(h);
        return s;
    }
    *rethFile = h;
    return NOERROR;
}

STATUS MailCloseMessageFile(DBHANDLE hFile)
{
    return NSFDbClose(hFile);
}

/* Deleted messages leave nothing behind in a SQLite file, so there is
 * nothing to compact. */
STATUS MailPurgeMessageFile(DBHANDLE)
{
    return NOERROR;
}

STATUS MailGetMessageFileModifiedTime(DBHANDLE hFile, TIMEDATE *retModifiedTime)
{
    if (retModifiedTime == nullptr)
        return ERR_BAD_PARAM;
    TIMEDATE nonData;
    return NSFDbModifiedTime(hFile, retModifiedTime, &nonData);
}
