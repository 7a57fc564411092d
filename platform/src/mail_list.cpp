/*
 * mail_list.cpp - the message list of a mail file and the calls that
 * dispose of its messages: recipients (as delivered, with those done
 * already left out), last error, purge, delivery and non-delivery reports.
 *
 * The list is one memory object: a header naming the database (its handle
 * and its path), then one entry per message with a snapshot of its
 * recipients. Marking a recipient done changes only the list; the purge
 * writes it into the message ("$RecipientsDone", indexes into
 * "$GatewayRecipients") and deletes the message once all are done.
 */
#include <algorithm>
#include <cstring>
#include <set>

#include "handles.h"
#include "mail_internal.h"
#include "nsf_internal.h"
#include "vq_mail.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

using namespace vq::mail;

struct DARRAY_tag {
    char Magic[8];
    DBHANDLE hDb;
    DWORD Count;
    DWORD EntriesOffset;
    DWORD TotalSize;
    char Path[MAXPATH * 4];
};

namespace {

const char kListMagic[8] = {'V', 'Q', 'M', 'L', 'I', 'S', 'T', '1'};

struct ListEntry {
    NOTEID NoteId;
    WORD RecipientCount;
    WORD Priority;
    WORD Report;
    WORD Pad;
    DWORD OriginatorOffset;
    DWORD OriginatorLength;
    DWORD RecipientsOffset; /* ListRecipient[RecipientCount] */
};

struct ListRecipient {
    DWORD TextOffset;
    DWORD TextLength;
    DWORD Index; /* position in "$GatewayRecipients" */
    DWORD Done;
};

struct Snapshot {
    NOTEID id = 0;
    WORD priority = 1;
    WORD report = 0;
    std::string originator;
    std::vector<std::pair<std::string, DWORD>> recipients;
};

/* The recipient numbers of a done list, added to done. */
void AddDone(const std::vector<std::string> &texts, std::set<DWORD> *done)
{
    for (const auto &t : texts) {
        char *end = nullptr;
        unsigned long v = std::strtoul(t.c_str(), &end, 10);
        if (end != t.c_str())
            done->insert((DWORD)v);
    }
}

std::set<DWORD> DoneIndexes(NOTEHANDLE h)
{
    std::set<DWORD> done;
    AddDone(ItemList(h, VQ_ITEM_RECIPIENTS_DONE), &done);
    return done;
}

WORD PriorityOf(const std::string &p)
{
    if (!p.empty() && (p[0] == 'H' || p[0] == 'h'))
        return 2;
    if (!p.empty() && (p[0] == 'L' || p[0] == 'l'))
        return 0;
    return 1;
}

WORD ReportOf(const std::string &r)
{
    switch (r.empty() ? 'N' : r[0]) {
    case 'B': case 'b': return 1;
    case 'C': case 'c': return 2;
    case 'T': case 't': return 3;
    default: return 0;
    }
}

size_t Align8(size_t n)
{
    return (n + 7) & ~(size_t)7;
}

/* Lays the snapshots out as one object. */
std::string Serialize(DBHANDLE hDb, const std::string &path, const std::vector<Snapshot> &msgs)
{
    size_t entriesOff = Align8(sizeof(DARRAY));
    size_t off = Align8(entriesOff + msgs.size() * sizeof(ListEntry));
    std::vector<ListEntry> entries(msgs.size());
    std::string tail;
    for (size_t i = 0; i < msgs.size(); ++i) {
        ListEntry &e = entries[i];
        std::memset(&e, 0, sizeof e);
        e.NoteId = msgs[i].id;
        e.RecipientCount = (WORD)msgs[i].recipients.size();
        e.Priority = msgs[i].priority;
        e.Report = msgs[i].report;
        std::vector<ListRecipient> rs(msgs[i].recipients.size());
        e.RecipientsOffset = (DWORD)(off + tail.size());
        tail.append(rs.size() * sizeof(ListRecipient), '\0');
        for (size_t r = 0; r < rs.size(); ++r) {
            rs[r].TextOffset = (DWORD)(off + tail.size());
            rs[r].TextLength = (DWORD)msgs[i].recipients[r].first.size();
            rs[r].Index = msgs[i].recipients[r].second;
            rs[r].Done = 0;
            tail += msgs[i].recipients[r].first;
        }
        if (!rs.empty())
            std::memcpy(&tail[e.RecipientsOffset - off], rs.data(), rs.size() * sizeof(ListRecipient));
        e.OriginatorOffset = (DWORD)(off + tail.size());
        e.OriginatorLength = (DWORD)msgs[i].originator.size();
        tail += msgs[i].originator;
        tail.resize(Align8(off + tail.size()) - off, '\0');
    }
    std::string out(off, '\0');
    DARRAY hdr;
    std::memset(&hdr, 0, sizeof hdr);
    std::memcpy(hdr.Magic, kListMagic, sizeof kListMagic);
    hdr.hDb = hDb;
    hdr.Count = (DWORD)msgs.size();
    hdr.EntriesOffset = (DWORD)entriesOff;
    hdr.TotalSize = (DWORD)(off + tail.size());
    std::strncpy(hdr.Path, path.c_str(), sizeof hdr.Path - 1);
    std::memcpy(&out[0], &hdr, sizeof hdr);
    if (!entries.empty())
        std::memcpy(&out[entriesOff], entries.data(), entries.size() * sizeof(ListEntry));
    return out + tail;
}

bool ValidList(const DARRAY *list)
{
    return list != nullptr && std::memcmp(list->Magic, kListMagic, sizeof kListMagic) == 0;
}

/* The entry of message Msg, or nullptr when the list or number is bad. */
ListEntry *EntryOf(DARRAY *list, WORD msg)
{
    if (!ValidList(list) || msg >= list->Count)
        return nullptr;
    return reinterpret_cast<ListEntry *>((char *)list + list->EntriesOffset) + msg;
}

ListRecipient *RecipientOf(DARRAY *list, ListEntry *e, WORD n)
{
    if (n >= e->RecipientCount)
        return nullptr;
    return reinterpret_cast<ListRecipient *>((char *)list + e->RecipientsOffset) + n;
}

std::string TextAt(const DARRAY *list, DWORD off, DWORD len)
{
    if ((size_t)off + len > list->TotalSize)
        return "";
    return std::string((const char *)list + off, len);
}

/* The list's database: its own handle while that is open, else the file
 * opened again by path for the length of one call. */
class ListDb {
public:
    explicit ListDb(const DARRAY *list)
    {
        if (vq::HandlePeek(list->hDb, vq::HandleKind::Database) != nullptr) {
            h_ = list->hDb;
            return;
        }
        status_ = NSFDbOpen(list->Path, &h_);
        owned_ = status_ == NOERROR;
    }
    ~ListDb()
    {
        if (owned_)
            NSFDbClose(h_);
    }
    ListDb(const ListDb &) = delete;
    ListDb &operator=(const ListDb &) = delete;
    STATUS status() const { return status_; }
    DBHANDLE handle() const { return h_; }
    bool owned() const { return owned_; }

private:
    DBHANDLE h_ = NULLHANDLE;
    STATUS status_ = NOERROR;
    bool owned_ = false;
};

/* An open note that closes itself. */
class NoteGuard {
public:
    NoteGuard(DBHANDLE db, NOTEID id) { status_ = NSFNoteOpen(db, id, 0, &h_); }
    /* Only the items named, of those kept apart from the note's record. */
    NoteGuard(DBHANDLE db, NOTEID id, const std::vector<std::string_view> &only)
    {
        status_ = vq::nsf::OpenNoteItems(db, id, only, &h_);
    }
    ~NoteGuard()
    {
        if (h_ != NULLHANDLE)
            NSFNoteClose(h_);
    }
    NoteGuard(const NoteGuard &) = delete;
    NoteGuard &operator=(const NoteGuard &) = delete;
    STATUS status() const { return status_; }
    NOTEHANDLE handle() const { return h_; }

private:
    NOTEHANDLE h_ = NULLHANDLE;
    STATUS status_ = NOERROR;
};

STATUS SendListReport(DARRAY *list, WORD msg, WORD count, const WORD *nums, bool nonDelivery,
                      const std::string &reason)
{
    ListEntry *e = EntryOf(list, msg);
    if (e == nullptr)
        return ERR_MAIL_NO_MESSAGE;
    if (count > 0 && nums == nullptr)
        return ERR_BAD_PARAM;
    Report r;
    r.nonDelivery = nonDelivery;
    r.reason = reason;
    r.originator = TextAt(list, e->OriginatorOffset, e->OriginatorLength);
    for (WORD i = 0; i < count; ++i) {
        ListRecipient *rc = RecipientOf(list, e, nums[i]);
        if (rc == nullptr)
            return ERR_MAIL_NO_RECIPIENT;
        r.recipients.push_back(TextAt(list, rc->TextOffset, rc->TextLength));
    }
    if (r.recipients.empty())
        return NOERROR;
    ListDb db(list);
    if (db.status() != NOERROR)
        return db.status();
    bool dead = false;
    if (!nonDelivery) {
        /* a delivery report names only the subject: the message (and
         * its attachments) is not read whole for it */
        if (vq::nsf::FirstItemText(db.handle(), e->NoteId, "subject", &r.subject) != NOERROR)
            r.subject.clear();
        return SendReport(NULLHANDLE, r, &dead);
    }
    NoteGuard note(db.handle(), e->NoteId);
    return SendReport(note.status() == NOERROR ? note.handle() : NULLHANDLE, r, &dead);
}

}  // namespace

STATUS MailCreateMessageList(DBHANDLE hFile, DHANDLE *hMessageList, DARRAY **MessageList,
                             WORD *MessageCount)
{
    if (hMessageList == nullptr || MessageList == nullptr || MessageCount == nullptr)
        return ERR_BAD_PARAM;
    *hMessageList = NULLHANDLE;
    *MessageList = nullptr;
    *MessageCount = 0;
    char path[sizeof(DARRAY::Path)] = "";
    STATUS s = VqDbGetPath(hFile, path, (WORD)sizeof path);
    if (s != NOERROR)
        return s;
    std::vector<NOTEID> ids;
    s = DocumentIds(hFile, &ids);
    if (s != NOERROR)
        return s;
    std::sort(ids.begin(), ids.end());
    std::vector<Snapshot> msgs;
    /* what the list holds of a message: its body and attachments are not read */
    static const std::vector<std::string_view> listed = {
        VQ_ITEM_GATEWAY_RECIPIENTS, VQ_ITEM_RECIPIENTS_DONE, "From", "FromDomain",
        "DeliveryPriority", "DeliveryReport"};
    for (NOTEID id : ids) {
        if (msgs.size() >= MAXWORD)
            break; /* the rest waits for the next list */
        NoteGuard note(hFile, id, listed);
        if (note.status() == ERR_INVALID_NOTE || note.status() == ERR_NOTE_DELETED)
            continue; /* removed by another process since the search */
        if (note.status() != NOERROR)
            return note.status();
        std::vector<std::string> all = ItemList(note.handle(), VQ_ITEM_GATEWAY_RECIPIENTS);
        std::set<DWORD> done = DoneIndexes(note.handle());
        Snapshot m;
        m.id = id;
        for (DWORD i = 0; i < all.size() && m.recipients.size() < MAXWORD; ++i)
            if (done.count(i) == 0)
                m.recipients.emplace_back(all[i], i);
        if (m.recipients.empty())
            continue;
        m.originator = Originator(note.handle());
        m.priority = PriorityOf(ItemText(note.handle(), "DeliveryPriority"));
        m.report = ReportOf(ItemText(note.handle(), "DeliveryReport"));
        msgs.push_back(std::move(m));
    }
    std::string blob = Serialize(hFile, path, msgs);
    DHANDLE h = NULLHANDLE;
    s = OSMemAlloc(BLK_MEM_ALLOC, (DWORD)blob.size(), &h);
    if (s != NOERROR)
        return s;
    void *p = OSLockObject(h);
    if (p == nullptr) {
        OSMemFree(h);
        return ERR_MEMORY;
    }
    std::memcpy(p, blob.data(), blob.size());
    *hMessageList = h;
    *MessageList = static_cast<DARRAY *>(p);
    *MessageCount = (WORD)msgs.size();
    return NOERROR;
}

STATUS MailFreeMessageList(DHANDLE hMessageList, DARRAY *)
{
    OSUnlockObject(hMessageList);
    return OSMemFree(hMessageList);
}

STATUS MailGetMessageInfo(DARRAY *MessageList, WORD Message, WORD *RecipientCount,
                          WORD *Priority, WORD *Report)
{
    ListEntry *e = EntryOf(MessageList, Message);
    if (e == nullptr)
        return ERR_MAIL_NO_MESSAGE;
    if (RecipientCount)
        *RecipientCount = e->RecipientCount;
    if (Priority)
        *Priority = e->Priority;
    if (Report)
        *Report = e->Report;
    return NOERROR;
}

STATUS MailGetMessageOriginator(DARRAY *MessageList, WORD Message, char *OriginatorName,
                                WORD OriginatorNameSize, WORD *OriginatorNameLength)
{
    ListEntry *e = EntryOf(MessageList, Message);
    if (e == nullptr)
        return ERR_MAIL_NO_MESSAGE;
    CopyOut(TextAt(MessageList, e->OriginatorOffset, e->OriginatorLength), OriginatorName,
            OriginatorNameSize, OriginatorNameLength);
    return NOERROR;
}

STATUS MailGetMessageRecipient(DARRAY *MessageList, WORD Message, WORD RecipientNum,
                               char *RecipientName, WORD RecipientNameSize,
                               WORD *RecipientNameLength)
{
    ListEntry *e = EntryOf(MessageList, Message);
    if (e == nullptr)
        return ERR_MAIL_NO_MESSAGE;
    ListRecipient *r = RecipientOf(MessageList, e, RecipientNum);
    if (r == nullptr)
        return ERR_MAIL_NO_RECIPIENT;
    CopyOut(TextAt(MessageList, r->TextOffset, r->TextLength), RecipientName, RecipientNameSize,
            RecipientNameLength);
    return NOERROR;
}

STATUS MailParseMailAddress(const char *MailAddress, WORD MailAddressLength, char *UserName,
                            WORD UserNameSize, WORD *UserNameLength, char *DomainName,
                            WORD DomainNameSize, WORD *DomainNameLength)
{
    if (MailAddress == nullptr)
        return ERR_BAD_PARAM;
    std::string addr(MailAddress, strnlen(MailAddress, MailAddressLength));
    std::string user, domain;
    bool hasDomain = false;
    SplitAddress(addr, &user, &domain, &hasDomain);
    CopyOut(user, UserName, UserNameSize, UserNameLength);
    CopyOut(domain, DomainName, DomainNameSize, DomainNameLength);
    return NOERROR;
}

STATUS MailDeleteMessageRecipient(DARRAY *MessageList, WORD Message, WORD RecipientNum)
{
    ListEntry *e = EntryOf(MessageList, Message);
    if (e == nullptr)
        return ERR_MAIL_NO_MESSAGE;
    ListRecipient *r = RecipientOf(MessageList, e, RecipientNum);
    if (r == nullptr)
        return ERR_MAIL_NO_RECIPIENT;
    r->Done = 1;
    return NOERROR;
}

STATUS MailSetMessageLastError(DARRAY *MessageList, WORD Message, const char *ErrorText)
{
    ListEntry *e = EntryOf(MessageList, Message);
    if (e == nullptr)
        return ERR_MAIL_NO_MESSAGE;
    ListDb db(MessageList);
    if (db.status() != NOERROR)
        return db.status();
    NoteGuard note(db.handle(), e->NoteId);
    if (note.status() != NOERROR)
        return note.status();
    STATUS s = SetText(note.handle(), VQ_ITEM_LAST_ERROR, ErrorText ? ErrorText : "", ITEM_SUMMARY);
    return s != NOERROR ? s : NSFNoteUpdate(note.handle(), 0);
}

/* A stored item as ItemList reads it from a note. */
static std::vector<std::string> StoredList(DBHANDLE h, NOTEID id, const std::string &lname)
{
    WORD type = 0;
    std::string v;
    if (vq::nsf::FirstItemValue(h, id, lname, &type, &v) != NOERROR)
        return {};
    return vq::mail::ListOfValue(type, v);
}

/* Whether every recipient of the stored message is done, the newly done
 * ones with them (read from its stored items alone). */
static bool StoredAllDone(DBHANDLE h, NOTEID id, const std::set<DWORD> &newlyDone)
{
    std::string gateway = VQ_ITEM_GATEWAY_RECIPIENTS, doneItem = VQ_ITEM_RECIPIENTS_DONE;
    for (auto *n : {&gateway, &doneItem})
        for (auto &c : *n)
            c = (char)std::tolower((unsigned char)c);
    const size_t total = StoredList(h, id, gateway).size();
    std::set<DWORD> done = newlyDone;
    AddDone(StoredList(h, id, doneItem), &done);
    for (DWORD i = 0; i < total; ++i)
        if (done.count(i) == 0)
            return false;
    return true;
}

STATUS MailPurgeMessage(DARRAY *MessageList, WORD Message)
{
    ListEntry *e = EntryOf(MessageList, Message);
    if (e == nullptr)
        return ERR_MAIL_NO_MESSAGE;
    std::set<DWORD> newlyDone;
    for (WORD n = 0; n < e->RecipientCount; ++n) {
        ListRecipient *r = RecipientOf(MessageList, e, n);
        if (r->Done)
            newlyDone.insert(r->Index);
    }
    if (newlyDone.empty())
        return NOERROR; /* nothing changed: the file stays as it was */
    ListDb db(MessageList);
    if (db.status() != NOERROR)
        return db.status();
    STATUS s = NOERROR;
    bool allDone = StoredAllDone(db.handle(), e->NoteId, newlyDone);
    /* a message that stays is read whole to save which are done; one
     * that goes is deleted without reading it (nor its attachments) */
    if (!allDone) {
        NoteGuard note(db.handle(), e->NoteId);
        if (note.status() != NOERROR)
            return note.status();
        size_t total = ItemList(note.handle(), VQ_ITEM_GATEWAY_RECIPIENTS).size();
        std::set<DWORD> done = DoneIndexes(note.handle());
        done.insert(newlyDone.begin(), newlyDone.end());
        allDone = true;
        for (DWORD i = 0; i < total; ++i)
            if (done.count(i) == 0)
                allDone = false;
        if (!allDone) {
            std::vector<std::string> texts;
            for (DWORD i : done)
                texts.push_back(std::to_string(i));
            s = SetTextList(note.handle(), VQ_ITEM_RECIPIENTS_DONE, texts, ITEM_SUMMARY);
            if (s == NOERROR)
                s = NSFNoteUpdate(note.handle(), 0);
        }
    }
    if (allDone)
        s = NSFNoteDelete(db.handle(), e->NoteId, UPDATE_NOSTUB);
    return s;
}

STATUS MailSendDeliveryReport(DARRAY *MessageList, WORD Message, WORD RecipientNums,
                              WORD *RecipientNumList)
{
    return SendListReport(MessageList, Message, RecipientNums, RecipientNumList, false, "");
}

STATUS MailSendNonDeliveryReport(DARRAY *MessageList, WORD Message, WORD RecipientNums,
                                 WORD *RecipientNumList, const char *ReasonText,
                                 WORD ReasonTextLength)
{
    std::string reason = ReasonText ? std::string(ReasonText, strnlen(ReasonText, ReasonTextLength))
                                    : std::string();
    return SendListReport(MessageList, Message, RecipientNums, RecipientNumList, true, reason);
}

STATUS MailOpenMessage(DARRAY *MessageList, WORD Message, DHANDLE *hMessage)
{
    if (hMessage == nullptr)
        return ERR_BAD_PARAM;
    *hMessage = NULLHANDLE;
    ListEntry *e = EntryOf(MessageList, Message);
    if (e == nullptr)
        return ERR_MAIL_NO_MESSAGE;
    /* The message needs its database open as long as it is: only the
     * list's own handle will do. */
    if (vq::HandlePeek(MessageList->hDb, vq::HandleKind::Database) == nullptr)
        return ERR_INVALID_HANDLE;
    return NSFNoteOpen(MessageList->hDb, e->NoteId, 0, hMessage);
}
