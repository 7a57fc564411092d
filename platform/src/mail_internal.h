/*
 * mail_internal.h - what the mail files of the stand-in share: item
 * readers and writers over the public note calls, address splitting, the
 * in-memory copy of the directory, the router and the report builder.
 *
 * Everything here is built on vq_nsf.h, vq_runtime.h and vq_textlist.h;
 * of the database internals the mail half uses only the stamp of
 * nsf_stamp.h (the directory cache), never nsf_internal.h.
 */
#ifndef VQ_MAIL_INTERNAL_H
#define VQ_MAIL_INTERNAL_H

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "vq_global.h"

namespace vq {
namespace mail {

/* Item names the mail half reads and writes. */
#define VQ_ITEM_GATEWAY_RECIPIENTS "$GatewayRecipients"
#define VQ_ITEM_RECIPIENTS_DONE "$RecipientsDone"
#define VQ_ITEM_LAST_ERROR "$LastError"
#define VQ_ITEM_FILE "$FILE"
#define VQ_ITEM_DEAD_REASON "DeadFailureReason"
#define VQ_FORM_NDR "NonDelivery Report"
#define VQ_FORM_DR "Delivery Report"
#define VQ_MAILBOX_NAME "mail.box"
#define VQ_NAMES_NAME "names.nsf"
/* Groups inside groups deeper than this are treated as a loop. */
#define VQ_GROUP_DEPTH_MAX 16

/* ---- text helpers (mail_util.cpp) ---- */
std::string Trim(const std::string &s);
bool IEquals(const std::string &a, const std::string &b);
std::string Lower(const std::string &s);
/* Splits at the last "@", blanks next to it dropped; hasDomain tells
 * whether there was one. */
void SplitAddress(const std::string &address, std::string *user, std::string *domain,
                  bool *hasDomain);
/* Copies into a caller's buffer of Size bytes: cut at Size - 1, always
 * terminated (nothing written when Size is 0); *outLen gets the length. */
void CopyOut(const std::string &s, char *buf, WORD size, WORD *outLen);
/* Text of a status for reports ("Unknown error" when there is none). */
std::string StatusString(STATUS s);
/* notes.ini "Domain" (empty when unset). */
std::string OwnDomain();

/* ---- items (mail_util.cpp) ---- */
/* Raw value of the first item of that name, without its type word. */
bool ItemValue(NOTEHANDLE h, const char *name, WORD *type, std::string *value);
/* Text of a text item or the first entry of a list ("" when missing). */
std::string ItemText(NOTEHANDLE h, const char *name);
/* Entries of a list, or the one text of a text item. */
/* The entries of a stored text or text list value (none for another type). */
std::vector<std::string> ListOfValue(WORD type, const std::string &value);
std::vector<std::string> ItemList(NOTEHANDLE h, const char *name);
/* The body as plain text (MailGetMessageBodyText). */
std::string BodyText(DHANDLE hMessage, const char *ItemName, const char *LineDelims,
                     WORD LineLength, BOOL ConvertTabs);
/* Entries of a list value (without its type word); false when damaged
 * (vq::ParseTextList of vq_textlist.h, copied out). */
bool ParseTextList(const std::string &value, std::vector<std::string> *out);
/* Replaces the item by a text of any length. */
STATUS SetText(NOTEHANDLE h, const char *name, const std::string &text, WORD flags);
/* Replaces the item by a text list. */
STATUS SetTextList(NOTEHANDLE h, const char *name, const std::vector<std::string> &entries,
                   WORD flags);
/* Text list value without its type word. */
std::string EncodeTextList(const std::vector<std::string> &entries);
/* Appends every item of src to dst but those named in skip. */
STATUS CopyItems(NOTEHANDLE src, NOTEHANDLE dst, const std::vector<std::string> &skip);
/* Note IDs of every document of the database, in the order a search
 * lists them. */
STATUS DocumentIds(DBHANDLE h, std::vector<NOTEID> *ids);
/* Item name of a mail item number, nullptr when unknown. */
const char *MailItemName(WORD code);
/* Originator of a message: From, plus "@" FromDomain when that is set and
 * not the own domain. */
std::string Originator(NOTEHANDLE h);
bool IsReportForm(const std::string &form);

/* ---- files through the fault seam (mail_util.cpp) ---- */
/* Creates the file with these bytes: create, write, fsync (unless not
 * durable: a file only to be read back), close; a partial file is removed. */
STATUS WriteWholeFile(const char *path, const char *data, size_t size, bool durable = true);
STATUS ReadWholeFile(const char *path, std::string *out);
/* The same, appended to what *out holds. */
STATUS AppendWholeFile(const char *path, std::string *out);

/* ---- directory (mail_directory.cpp) ---- */
struct DirPerson {
    std::vector<std::string> fullNames; /* first: the canonical name */
    std::vector<std::string> shortNames;
    std::string mailFile;
};
struct DirGroup {
    std::string name;
    std::vector<std::string> members;
};
struct DirDomain {
    std::string name;
    std::string mailFile;
};
/* One match: a person (index into persons) or a group. */
struct DirMatch {
    bool isGroup = false;
    size_t index = 0;
};
struct Directory {
    std::vector<DirPerson> persons;
    std::vector<DirGroup> groups;
    std::vector<DirDomain> domains;
    /* Every name a person or group is found by, lower-cased, with its
     * matches: persons in document order, then groups. */
    std::unordered_map<std::string, std::vector<DirMatch>> byName;
};
/* The directory as names.nsf of the data directory holds it now. Read
 * whole only when the database changed since the last read of this
 * process (its commit count, see nsf_stamp.h); the copy is shared and
 * never changed afterwards. */
STATUS LoadDirectory(std::shared_ptr<const Directory> *dir);
/* Finds a Person or Group by any of its names; NOSUCHUSER / NOTUNIQUE. */
STATUS FindName(const Directory &dir, const std::string &name, DirMatch *match);
/* Mail file of a foreign domain; false when unknown. */
bool FindDomain(const Directory &dir, const std::string &domain, std::string *mailFile);
/* "CN=Jane Roe/O=Acme" -> "Jane Roe/Acme". */
std::string Abbreviate(const std::string &canonical);

/* ---- messages (mail_build.cpp) ---- */
/* Value of a "$FILE" item after its type word: this header, the name,
 * then the bytes. */
#define VQ_FILE_MAGIC 0x31465156u
struct FileObjectHeader {
    DWORD Magic;
    DWORD NameLength;
    DWORD DataLength;
    DWORD Reserved;
    TIMEDATE Created;
    TIMEDATE Modified;
};

/* ---- router (mail_router.cpp) ---- */
/* Builds a report about original (may be NULLHANDLE) to originator and
 * routes it; a report that cannot be delivered stays as dead mail. */
struct Report {
    bool nonDelivery = true;
    std::string originator;
    std::vector<std::string> recipients;
    std::string reason;
    std::string key; /* what it reports on, kept in the report (may be empty) */
    std::string subject; /* the message's, when no note of it is given */
};
STATUS SendReport(NOTEHANDLE original, const Report &report, bool *dead);

}  // namespace mail
}  // namespace vq

#endif /* VQ_MAIL_INTERNAL_H */
