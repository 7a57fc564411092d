/*
 * vq_mail.h - mail files, the directory lookup, the router, and the mail
 * gateway calls of the Notes stand-in.
 *
 * A mail file is a database of vq_nsf.h. Each delivered message keeps the
 * recipients it was delivered for ("$GatewayRecipients"); the message list
 * of a mail file shows those that are not yet done.
 */
#ifndef VQ_MAIL_H
#define VQ_MAIL_H

#include "vq_global.h"

/* ---- mail files ---- */
/* NULL FileName opens the server's mail.box. ERR_NOEXIST when missing. */
STATUS MailOpenMessageFile(const char *FileName, DBHANDLE *rethFile);
/* Template "mailbox.ntf" is known to the platform; Title NULL gives the
 * template's title. */
STATUS MailCreateMessageFile(const char *FileName, const char *TemplateFileName,
                             const char *Title, DBHANDLE *rethFile);
STATUS MailCloseMessageFile(DBHANDLE hFile);
STATUS MailPurgeMessageFile(DBHANDLE hFile);
STATUS MailGetMessageFileModifiedTime(DBHANDLE hFile, TIMEDATE *retModifiedTime);

/* ---- message lists ---- */
/* The list is a memory object, returned locked (OSUnlockObject and
 * OSMemFree release it). */
STATUS MailCreateMessageList(DBHANDLE hFile, DHANDLE *hMessageList, DARRAY **MessageList,
                             WORD *MessageCount);
STATUS MailFreeMessageList(DHANDLE hMessageList, DARRAY *MessageList);
STATUS MailGetMessageInfo(DARRAY *MessageList, WORD Message, WORD *RecipientCount,
                          WORD *Priority, WORD *Report);
STATUS MailGetMessageOriginator(DARRAY *MessageList, WORD Message, char *OriginatorName,
                                WORD OriginatorNameSize, WORD *OriginatorNameLength);
STATUS MailGetMessageRecipient(DARRAY *MessageList, WORD Message, WORD RecipientNum,
                               char *RecipientName, WORD RecipientNameSize,
                               WORD *RecipientNameLength);
/* User part and domain part, split at the last "@" (blanks around it
 * dropped). */
STATUS MailParseMailAddress(const char *MailAddress, WORD MailAddressLength, char *UserName,
                            WORD UserNameSize, WORD *UserNameLength, char *DomainName,
                            WORD DomainNameSize, WORD *DomainNameLength);
/* Marks the recipient done; numbers of the others do not change. */
STATUS MailDeleteMessageRecipient(DARRAY *MessageList, WORD Message, WORD RecipientNum);
STATUS MailSetMessageLastError(DARRAY *MessageList, WORD Message, const char *ErrorText);
/* Removes the message once none of its recipients remain, else saves
 * which are done. */
STATUS MailPurgeMessage(DARRAY *MessageList, WORD Message);
STATUS MailSendDeliveryReport(DARRAY *MessageList, WORD Message, WORD RecipientNums,
                              WORD *RecipientNumList);
STATUS MailSendNonDeliveryReport(DARRAY *MessageList, WORD Message, WORD RecipientNums,
                                 WORD *RecipientNumList, const char *ReasonText,
                                 WORD ReasonTextLength);

/* ---- reading messages (a message handle is a note handle) ---- */
STATUS MailOpenMessage(DARRAY *MessageList, WORD Message, DHANDLE *hMessage);
STATUS MailCloseMessage(DHANDLE hMessage);
BOOL MailIsNonDeliveryReport(DHANDLE hMessage);
/* Text of the item, a list joined with ", ", cut at StringSize - 1 and
 * terminated; "" for a non-text or missing item. */
STATUS MailGetMessageItem(DHANDLE hMessage, WORD ItemCode, char *retString, WORD StringSize,
                          WORD *retStringLength);
/* The value led by its type word (TYPE_TEXT, TYPE_TEXT_LIST, ...); the
 * block belongs to the message. */
STATUS MailGetMessageItemHandle(DHANDLE hMessage, WORD ItemCode, BLOCKID *retbhValue,
                                WORD *retValueType, DWORD *retValueLength);
STATUS MailGetMessageItemTimeDate(DHANDLE hMessage, WORD ItemCode, TIMEDATE *retTimeDate);
/* Writes the body as plain text to OutputFileName: lines end in
 * LineDelims, wrapped at LineLength (0: no wrap), tabs to blanks. */
STATUS MailGetMessageBodyText(DHANDLE hMessage, const char *ItemName, const char *LineDelims,
                              WORD LineLength, BOOL ConvertTabs, const char *OutputFileName,
                              DWORD *OutputFileSize);
/* Platform extras: the same text in memory, for a caller that would only
 * read the file back: a block of *retLength bytes (the caller frees it
 * with OSMemFree). */
STATUS VqMailGetMessageBodyBlock(DHANDLE hMessage, const char *ItemName, const char *LineDelims,
                                 WORD LineLength, BOOL ConvertTabs, DHANDLE *rethText,
                                 DWORD *retLength);
/* FALSE when there is no attachment Num. FileName holds MAXPATH + 1. */
BOOL MailGetMessageAttachmentInfo(DHANDLE hMessage, WORD Num, BLOCKID *bhItem, char *FileName,
                                  DWORD *FileSize, WORD *FileAttributes, WORD *FileHostType,
                                  TIMEDATE *FileCreated, TIMEDATE *FileModified);
/* Writes the attachment to FileName (created, written, fsynced). */
STATUS MailExtractMessageAttachment(DHANDLE hMessage, BLOCKID bhItem, const char *FileName);

/* ---- building messages ---- */
STATUS MailCreateMessage(DBHANDLE hFile, DHANDLE *rethMessage);
STATUS MailAddHeaderItem(DHANDLE hMessage, WORD ItemCode, const void *Value, WORD ValueLength);
/* The list must have its data-type prefix; the message takes it over. */
STATUS MailAddRecipientsItem(DHANDLE hMessage, DHANDLE hRecipientsItem, WORD RecipientsLength);
/* Body from a text file: each of the characters of LineDelim ends a line
 * (a CR LF pair counts once; 0x1A ends the text). */
STATUS MailAddMessageBodyText(DHANDLE hMessage, const char *ItemName, const char *InputFileName,
                              DWORD FontID, const char *LineDelim, WORD ParaDelim,
                              const char *CTFName);
STATUS MailCreateBodyItem(DHANDLE *rethBodyItem, DWORD *retBodyLength);
STATUS MailAppendBodyItemLine(DHANDLE hBodyItem, DWORD *BodyLength, const char *Text,
                              WORD TextLength);
STATUS MailAddBodyItem(DHANDLE hMessage, DHANDLE hBodyItem, DWORD BodyLength,
                       const char *CTFName);
/* Stores the file's bytes in the message under OriginalFileName. */
STATUS MailAddMessageAttachment(DHANDLE hMessage, const char *FileName,
                                const char *OriginalFileName);
/* Saves the message into mail.box and routes it at once. A failure of
 * any step after the save is returned; the message then stays in
 * mail.box for VqRouteWaitingMail (a full disk or a busy mail file on a
 * delivery: unreported until then). A message made in mail.box has a
 * non-zero _NOTE_ID once saved: with a failure, it waits there and must
 * not be sent again. Mail that can be neither delivered nor reported
 * stays as dead mail (NOERROR: the router keeps it). */
STATUS MailTransferMessageLocal(DHANDLE hMessage);
/* Platform extension, no Notes call: routes every document left in
 * mail.box that is neither routed nor dead mail (a sender killed after
 * the save, a step that failed after it). *Routed (may be NULL) gets the
 * number routed. Cheap when mail.box has not changed since a call left
 * nothing waiting; gives up at once (NOERROR, 0) while another process
 * routes. Returns the first failure; the others are still tried. */
STATUS VqRouteWaitingMail(DWORD *Routed);
/* Platform extras: routing in groups. From VqMailBeginBatch to
 * VqMailCommitBatch this process's routing (MailTransferMessageLocal,
 * delivery and non-delivery reports) saves into mail.box and into the
 * mail files inside one group commit per database (VqDbBeginBatch).
 * A message routed in a group is held in memory instead of being saved
 * into mail.box first (a message that goes through is written once, into
 * its mail files). VqMailCommitBatch commits the mail files first, then
 * saves into mail.box every message a copy of which did not commit, and
 * commits mail.box last: such a message waits there for
 * VqRouteWaitingMail, which skips the mail files that hold it already. A
 * message that meets a passing fault while routed (a busy mail file) is
 * saved into mail.box in the group at once, as outside a group, and so is
 * dead mail.
 * Until the commit nothing of the group is seen by other connections or
 * processes: a caller that checks a mail file does so after the commit.
 * While a database is in a group, every other NSFDbOpen of it in this
 * process shares the group's connection (no self-deadlock). A group is
 * kept short (a hundred messages or a second). VqMailAbortBatch drops the
 * whole group. The status of VqMailCommitBatch is the first failed
 * commit; NOERROR when no group is open. Nested pairs count. */
STATUS VqMailBeginBatch(void);
STATUS VqMailCommitBatch(void);
void VqMailAbortBatch(void);

/* ---- directory ---- */
/* Finds a Person or Group of names.nsf by any of its names, without case;
 * MailAddress (MAXRECIPIENTNAME + 1) gets the Person's canonical name or
 * the Group's name. ERR_ROUTER_NOSUCHUSER / ERR_ROUTER_NOTUNIQUE. */
STATUS MailLookupAddress(const char *UserName, char *MailAddress);

#endif /* VQ_MAIL_H */
