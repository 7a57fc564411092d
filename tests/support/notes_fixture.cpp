/*
 * notes_fixture.cpp - builds directory, activity database, mail files and
 * memos for tests (see notes_fixture.h).
 */
#include "notes_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "notesapi.h"
#include "test_support.h"

namespace vqtest {
namespace {

void Check(STATUS s, const char *what)
{
    if (s != NOERROR)
        throw std::runtime_error(std::string(what) + " failed with status " + std::to_string(s));
}

struct Db {
    DBHANDLE h = NULLHANDLE;
    explicit Db(const std::string &path) { Check(NSFDbOpen(path.c_str(), &h), "NSFDbOpen"); }
    ~Db() { if (h) NSFDbClose(h); }
};

struct Note {
    NOTEHANDLE h = NULLHANDLE;
    explicit Note(DBHANDLE db) { Check(NSFNoteCreate(db, &h), "NSFNoteCreate"); }
    Note(DBHANDLE db, NOTEID id) { Check(NSFNoteOpen(db, id, 0, &h), "NSFNoteOpen"); }
    ~Note() { if (h) NSFNoteClose(h); }
    void text(const std::string &item, const std::string &value)
    {
        Check(NSFItemSetText(h, item.c_str(), value.c_str(), (WORD)value.size()), "NSFItemSetText");
    }
    void list(const std::string &item, const std::vector<std::string> &values)
    {
        NSFItemDelete(h, item.c_str(), (WORD)item.size());
        if (values.empty()) {
            /* a list of no entries: its value is the entry count 0 */
            WORD zero = 0;
            Check(NSFItemAppend(h, ITEM_SUMMARY, item.c_str(), (WORD)item.size(), TYPE_TEXT_LIST,
                                &zero, sizeof zero),
                  "NSFItemAppend");
            return;
        }
        Check(NSFItemCreateTextList(h, item.c_str(), values[0].c_str(), (WORD)values[0].size()),
              "NSFItemCreateTextList");
        for (size_t i = 1; i < values.size(); ++i)
            Check(NSFItemAppendTextList(h, item.c_str(), values[i].c_str(), (WORD)values[i].size(),
                                        TRUE),
                  "NSFItemAppendTextList");
    }
    NOTEID save()
    {
        Check(NSFNoteUpdate(h, 0), "NSFNoteUpdate");
        NOTEID id = 0;
        NSFNoteGetInfo(h, _NOTE_ID, &id);
        return id;
    }
};

bool Exists(const std::string &db)
{
    std::string p = db[0] == '/' ? db : std::string(OSGetDataDirectory()) + "/" + db;
    return FileExists(p);
}

}  // namespace

void CreateNamesDb(const std::string &path)
{
    if (!Exists(path))
        Check(NSFDbCreate(path.c_str(), DBCLASS_NOTEFILE, FALSE), "NSFDbCreate names");
}

std::string AddPerson(const std::string &name, const std::string &shortName,
                      const std::string &mailFile, const std::string &faxNumber,
                      const std::string &org, const std::string &namesDb)
{
    CreateNamesDb(namesDb);
    if (!mailFile.empty())
        CreateMailFile(mailFile, name);
    std::string canonical = "CN=" + name + "/O=" + org;
    Db db(namesDb);
    Note n(db.h);
    n.text("Form", "Person");
    n.text("Type", "Person");
    n.list("FullName", {canonical, name + "/" + org, name});
    if (!shortName.empty())
        n.text("ShortName", shortName);
    n.text("MailFile", mailFile);
    if (faxNumber != "-")
        n.text("OfficeFaxPhoneNumber", faxNumber);
    n.save();
    return canonical;
}

NOTEID AddGroup(const std::string &name, const std::vector<std::string> &members,
                const std::string &description, const std::string &namesDb)
{
    CreateNamesDb(namesDb);
    Db db(namesDb);
    Note n(db.h);
    n.text("Form", "Group");
    n.text("Type", "Group");
    n.text("ListName", name);
    n.list("Members", members);
    n.text("ListDescription", description);
    return n.save();
}

NOTEID AddDocument(const std::string &dbPath, const std::vector<std::pair<std::string, std::string>> &items)
{
    Db db(dbPath);
    Note n(db.h);
    for (const auto &it : items)
        n.text(it.first, it.second);
    return n.save();
}

void AddForeignDomain(const std::string &domain, const std::string &mailFile,
                      const std::string &namesDb)
{
    CreateNamesDb(namesDb);
    CreateMailFile(mailFile, domain);
    Db db(namesDb);
    Note n(db.h);
    n.text("Form", "Domain");
    n.text("Type", "Domain");
    n.text("Domain", domain);
    n.text("MailFile", mailFile);
    n.save();
}

void CreateMailFile(const std::string &path, const std::string &title)
{
    if (Exists(path))
        return;
    DBHANDLE h = NULLHANDLE;
    Check(MailCreateMessageFile(path.c_str(), "mailbox.ntf", title.c_str(), &h),
          "MailCreateMessageFile");
    MailCloseMessageFile(h);
}

void CreateActivityDb(const std::string &path)
{
    if (!Exists(path))
        Check(NSFDbCreate(path.c_str(), DBCLASS_NOTEFILE, FALSE), "NSFDbCreate activity");
    Db db(path);
    NOTEID view = 0;
    if (NIFFindDesignNote(db.h, "Pending by Job ID", NOTE_CLASS_VIEW, &view) != NOERROR)
        Check(VqCreateView(db.h, "Pending by Job ID", "SELECT Form = \"Job Entry\"", "JobID", &view),
              "VqCreateView");
}

STATUS SendMemo(const Memo &memo)
{
    DBHANDLE box = NULLHANDLE;
    STATUS s = MailOpenMessageFile(nullptr, &box);
    if (s)
        return s;
    DHANDLE msg = NULLHANDLE;
    s = MailCreateMessage(box, &msg);
    if (s) {
        MailCloseMessageFile(box);
        return s;
    }
    auto text = [&](const std::string &item, const std::string &v) {
        NSFItemSetText(msg, item.c_str(), v.c_str(), (WORD)v.size());
    };
    auto list = [&](const std::string &item, const std::vector<std::string> &vals) {
        if (vals.empty())
            return;
        NSFItemCreateTextList(msg, item.c_str(), vals[0].c_str(), (WORD)vals[0].size());
        for (size_t i = 1; i < vals.size(); ++i)
            NSFItemAppendTextList(msg, item.c_str(), vals[i].c_str(), (WORD)vals[i].size(), TRUE);
    };
    text("Form", memo.form);
    text("From", memo.from);
    text("Subject", memo.subject);
    list("SendTo", memo.sendTo);
    list("CopyTo", memo.copyTo);
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    NSFItemSetTime(msg, "PostedDate", &now);
    for (const auto &it : memo.textItems)
        text(it.first, it.second);
    for (const auto &it : memo.timeItems) {
        TIMEDATE t = now;
        TimeDateIncrement(&t, (LONG)(it.second * 100));
        NSFItemSetTime(msg, it.first.c_str(), &t);
    }
    /* body */
    DHANDLE body = NULLHANDLE;
    DWORD bodyLen = 0;
    MailCreateBodyItem(&body, &bodyLen);
    size_t start = 0;
    while (start <= memo.body.size() && !memo.body.empty()) {
        size_t nl = memo.body.find('\n', start);
        std::string line = memo.body.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        MailAppendBodyItemLine(body, &bodyLen, line.c_str(), (WORD)line.size());
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    MailAddBodyItem(msg, body, bodyLen, nullptr);
    /* attachments go through files */
    TempDir tmp;
    for (const auto &a : memo.attachments) {
        std::string f = tmp / ("att" + std::to_string(&a - &memo.attachments[0]));
        WriteFile(f, a.second);
        MailAddMessageAttachment(msg, f.c_str(), a.first.c_str());
    }
    /* routing list */
    std::vector<std::string> rcpts = memo.recipients;
    if (rcpts.empty()) {
        rcpts = memo.sendTo;
        rcpts.insert(rcpts.end(), memo.copyTo.begin(), memo.copyTo.end());
    }
    DHANDLE hList = NULLHANDLE;
    LIST *pList = nullptr;
    WORD size = 0;
    s = ListAllocate(0, 0, TRUE, &hList, &pList, &size);
    if (s == NOERROR) {
        OSUnlockObject(hList);
        for (size_t i = 0; i < rcpts.size(); ++i)
            ListAddEntry(hList, TRUE, &size, (WORD)i, rcpts[i].c_str(), (WORD)rcpts[i].size());
        s = MailAddRecipientsItem(msg, hList, size);
    }
    if (s == NOERROR)
        s = MailTransferMessageLocal(msg);
    MailCloseMessage(msg);
    OSMemFree(body);
    MailCloseMessageFile(box);
    return s;
}

std::vector<NOTEID> DocumentIds(const std::string &dbPath)
{
    std::vector<NOTEID> ids;
    Db db(dbPath);
    auto cb = [](void *p, SEARCH_MATCH *m, ITEM_TABLE *) -> STATUS {
        SEARCH_MATCH sm;
        std::memcpy(&sm, m, sizeof sm);
        if (sm.SERetFlags & SE_FMATCH)
            static_cast<std::vector<NOTEID> *>(p)->push_back(sm.ID.NoteID);
        return NOERROR;
    };
    Check(NSFSearch(db.h, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, cb, &ids, nullptr),
          "NSFSearch");
    return ids;
}

std::string ItemText(const std::string &dbPath, NOTEID id, const std::string &item)
{
    Db db(dbPath);
    Note n(db.h, id);
    char buf[4096];
    WORD len = NSFItemGetText(n.h, item.c_str(), buf, sizeof buf);
    return std::string(buf, len);
}

std::vector<std::string> ItemList(const std::string &dbPath, NOTEID id, const std::string &item)
{
    Db db(dbPath);
    Note n(db.h, id);
    std::vector<std::string> out;
    WORD count = NSFItemGetTextListEntries(n.h, item.c_str());
    for (WORD i = 0; i < count; ++i) {
        char buf[4096];
        WORD len = NSFItemGetTextListEntry(n.h, item.c_str(), i, buf, sizeof buf - 1);
        out.emplace_back(buf, len);
    }
    return out;
}

std::map<std::string, std::string> ItemTexts(const std::string &dbPath, NOTEID id,
                                             const std::vector<std::string> &items)
{
    std::map<std::string, std::string> out;
    for (const auto &item : items)
        out[item] = ItemText(dbPath, id, item);
    return out;
}

std::vector<MailDoc> MailIn(const std::string &dbPath)
{
    std::vector<MailDoc> out;
    TempDir tmp;
    for (NOTEID id : DocumentIds(dbPath)) {
        MailDoc m;
        m.subject = ItemText(dbPath, id, "Subject");
        m.from = ItemText(dbPath, id, "From");
        m.fromDomain = ItemText(dbPath, id, "FromDomain");
        m.body = ItemText(dbPath, id, "Body");
        m.recipients = ItemList(dbPath, id, "Recipients");
        Db db(dbPath);
        Note n(db.h, id);
        BLOCKID bh;
        char name[MAXPATH + 1];
        for (WORD i = 0;
             MailGetMessageAttachmentInfo(n.h, i, &bh, name, nullptr, nullptr, nullptr, nullptr, nullptr);
             ++i) {
            std::string file = tmp / ("a" + std::to_string(i));
            Check(MailExtractMessageAttachment(n.h, bh, file.c_str()), "MailExtractMessageAttachment");
            m.attachments.emplace_back(name, ReadFile(file));
        }
        out.push_back(m);
    }
    return out;
}

}  // namespace vqtest
