/*
 * vq_operator.cpp - the operator library (see vq_operator.h), over the
 * stand-in's public calls.
 */
#include "vq_operator.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "vq_textlist.h"

namespace fs = std::filesystem;

namespace vqop {
namespace {

void Check(STATUS s, const std::string &step)
{
    if (s != NOERROR)
        throw Error(s, step);
}

/* An open database, closed at destruction. */
class Db {
public:
    explicit Db(const std::string &path) { Check(NSFDbOpen(path.c_str(), &h_), "cannot open " + path); }
    ~Db() { NSFDbClose(h_); }
    Db(const Db &) = delete;
    Db &operator=(const Db &) = delete;
    DBHANDLE get() const { return h_; }

private:
    DBHANDLE h_ = NULLHANDLE;
};

/* A note (or message) in memory, closed at destruction; nothing reaches
 * the file before Save(). */
class Note {
public:
    using Closer = STATUS (*)(DHANDLE);
    /* Takes over an open note (closed with close). */
    explicit Note(NOTEHANDLE h, Closer close = NSFNoteClose) : h_(h), close_(close) {}
    /* A new document of the database. */
    static NOTEHANDLE Create(DBHANDLE db)
    {
        NOTEHANDLE h = NULLHANDLE;
        Check(NSFNoteCreate(db, &h), "cannot create a document");
        return h;
    }
    ~Note()
    {
        if (h_ != NULLHANDLE)
            close_(h_);
    }
    Note(const Note &) = delete;
    Note &operator=(const Note &) = delete;
    NOTEHANDLE get() const { return h_; }
    void Text(const std::string &item, const std::string &v)
    {
        Check(NSFItemSetText(h_, item.c_str(), v.c_str(), (WORD)v.size()), "cannot set " + item);
    }
    void List(const std::string &item, const std::vector<std::string> &v)
    {
        NSFItemDelete(h_, item.c_str(), (WORD)item.size());
        if (v.empty()) {
            const std::string none = vq::BuildTextList({});
            Check(NSFItemAppend(h_, ITEM_SUMMARY, item.c_str(), (WORD)item.size(), TYPE_TEXT_LIST,
                                none.data(), (DWORD)none.size()),
                  "cannot set " + item);
            return;
        }
        for (size_t i = 0; i < v.size(); ++i)
            Check(i == 0 ? NSFItemCreateTextList(h_, item.c_str(), v[0].c_str(), (WORD)v[0].size())
                         : NSFItemAppendTextList(h_, item.c_str(), v[i].c_str(), (WORD)v[i].size(), TRUE),
                  "cannot set " + item);
    }
    NOTEID Save()
    {
        Check(NSFNoteUpdate(h_, 0), "cannot save the document");
        NOTEID id = 0;
        NSFNoteGetInfo(h_, _NOTE_ID, &id);
        return id;
    }

private:
    NOTEHANDLE h_ = NULLHANDLE;
    Closer close_;
};

/* A memory object freed at destruction unless released. */
struct Memory {
    DHANDLE h = NULLHANDLE;
    ~Memory()
    {
        if (h != NULLHANDLE)
            OSMemFree(h);
    }
};

std::string NoteText(NOTEHANDLE h, const std::string &item)
{
    std::vector<char> buf(MAXWORD);
    WORD len = NSFItemGetText(h, item.c_str(), buf.data(), MAXWORD);
    return std::string(buf.data(), len);
}

std::vector<std::string> NoteList(NOTEHANDLE h, const std::string &item)
{
    std::vector<std::string> out;
    std::vector<char> buf(MAXWORD);
    const WORD count = NSFItemGetTextListEntries(h, item.c_str());
    for (WORD i = 0; i < count; ++i)
        out.emplace_back(buf.data(), NSFItemGetTextListEntry(h, item.c_str(), i, buf.data(), MAXWORD - 1));
    return out;
}

STATUS ScanItem(WORD, WORD, char *name, WORD nameLen, void *value, DWORD valueLen, void *param)
{
    auto &items = *static_cast<std::vector<Item> *>(param);
    Item it;
    it.name.assign(name, nameLen);
    if (it.name == "$FILE" || valueLen < sizeof(WORD))
        return NOERROR;
    std::memcpy(&it.type, value, sizeof it.type);
    const std::string_view v((const char *)value + sizeof(WORD), valueLen - sizeof(WORD));
    switch (it.type) {
    case TYPE_TEXT:
        it.text.assign(v.data(), v.size());
        break;
    case TYPE_TEXT_LIST: {
        std::vector<std::string_view> entries;
        it.complete = vq::ParseTextList(v, &entries);
        it.list.assign(entries.begin(), entries.end());
        break;
    }
    case TYPE_TIME:
        it.complete = v.size() >= sizeof(TIMEDATE);
        if (it.complete)
            std::memcpy(&it.time, v.data(), sizeof it.time);
        break;
    case TYPE_NUMBER:
        it.complete = v.size() >= sizeof(NUMBER);
        if (it.complete)
            std::memcpy(&it.number, v.data(), sizeof it.number);
        break;
    default:
        break;
    }
    items.push_back(std::move(it));
    return NOERROR;
}

}  // namespace

Error::Error(STATUS status, const std::string &step)
    : std::runtime_error(step + " (status " + std::to_string(status) + ")"), status_(status), step_(step)
{
}

/* ---- files and folders ---- */

ScratchDir::ScratchDir(const std::string &tag)
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + tag + ".XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr)
        throw Error(ERR_NOEXIST, "cannot make a folder like " + tmpl);
    path_ = tmpl;
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    if (!keep_)
        fs::remove_all(path_, ec);
}

std::string ScratchDir::Release()
{
    keep_ = true;
    return path_;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool FileExists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

/* Each folder made is given the data directory's owner when run as root. */
void MakeDirs(const std::string &path)
{
    std::error_code ec;
    if (path.empty() || fs::is_directory(path, ec))
        return;
    const std::string parent = fs::path(path).parent_path().string();
    if (parent != path)
        MakeDirs(parent);
    if (!fs::create_directory(path, ec) && ec)
        throw Error(ERR_NOEXIST, "cannot create folder " + path + ": " + ec.message());
    VqAdoptDataOwner(path.c_str());
}

std::vector<std::string> ListDir(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(path, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

/* ---- data directory and spool ---- */

void CreateDataDirectory(const std::string &dir)
{
    MakeDirs(dir);
    if (!FileExists(dir + "/notes.ini"))
        WriteFile(dir + "/notes.ini", "");
}

const char *const kSpoolRoot = "/spool/TMBFAX";

const std::vector<std::string> &SpoolFolders()
{
    static const std::vector<std::string> folders = {"/FAX/IN",    "/FAX/IPARCEL", "/FAX/OUT",
                                                     "/FAX/OPARCEL", "/FAX/ERROR", "/PUBLIC",
                                                     "/UTIL/DATA"};
    return folders;
}

std::string CreateSpool(const std::string &dataDir, const std::vector<std::string> &folders)
{
    const std::string root = dataDir + kSpoolRoot;
    MakeDirs(root);
    for (const auto &f : folders)
        MakeDirs(root + f);
    return root;
}

std::string DataPath(const std::string &name)
{
    return name.empty() || name[0] == '/' ? name : std::string(OSGetDataDirectory()) + "/" + name;
}

bool DbExists(const std::string &name)
{
    return FileExists(DataPath(name));
}

void RemoveDb(const std::string &name)
{
    std::error_code ec;
    for (const char *suffix : {"", "-wal", "-shm"})
        fs::remove(DataPath(name) + suffix, ec);
}

/* ---- databases ---- */

void CreateNamesDb(const std::string &path)
{
    if (!DbExists(path))
        Check(NSFDbCreate(path.c_str(), DBCLASS_NOTEFILE, FALSE), "cannot create " + path);
}

bool CreateMailFile(const std::string &path, const std::string &title)
{
    if (DbExists(path))
        return false;
    const fs::path parent = fs::path(DataPath(path)).parent_path();
    if (!parent.empty())
        MakeDirs(parent.string());
    DBHANDLE h = NULLHANDLE;
    Check(MailCreateMessageFile(path.c_str(), "mailbox.ntf", title.c_str(), &h),
          "cannot create mail file " + path);
    MailCloseMessageFile(h);
    return true;
}

void CreateActivityDb(const std::string &path)
{
    if (!DbExists(path))
        Check(NSFDbCreate(path.c_str(), DBCLASS_NOTEFILE, FALSE), "cannot create " + path);
    Db db(path);
    NOTEID id = 0;
    if (NIFFindDesignNote(db.get(), "Job Entry", NOTE_CLASS_FORM, &id) != NOERROR) {
        Note form(Note::Create(db.get()));
        const WORD cls = NOTE_CLASS_FORM;
        NSFNoteSetInfo(form.get(), _NOTE_CLASS, &cls);
        form.Text("$Title", "Job Entry");
        form.Save();
    }
    if (NIFFindDesignNote(db.get(), "Pending by Job ID", NOTE_CLASS_VIEW, &id) != NOERROR)
        Check(VqCreateView(db.get(), "Pending by Job ID", "SELECT Form = \"Job Entry\"", "JobID", &id),
              "cannot set up " + path);
}

/* ---- directory ---- */

std::string AddPerson(const Person &p, const std::string &namesDb)
{
    CreateNamesDb(namesDb);
    const bool made = !p.mailFile.empty() && CreateMailFile(p.mailFile, p.name);
    const std::string canonical = "CN=" + p.name + "/O=" + p.org;
    try {
        Db db(namesDb);
        Note n(Note::Create(db.get()));
        n.Text("Form", "Person");
        n.Text("Type", "Person");
        n.List("FullName", {canonical, p.name + "/" + p.org, p.name});
        if (!p.shortName.empty())
            n.Text("ShortName", p.shortName);
        n.Text("MailFile", p.mailFile);
        if (!p.fax.empty())
            n.Text("OfficeFaxPhoneNumber", p.fax);
        n.Save();
    } catch (...) {
        if (made)
            RemoveDb(p.mailFile);
        throw;
    }
    return canonical;
}

NOTEID AddGroup(const std::string &name, const std::vector<std::string> &members,
                const std::string &description, const std::string &namesDb)
{
    CreateNamesDb(namesDb);
    return AddDocument(namesDb, {{"Form", "Group"}, {"Type", "Group"}, {"ListName", name},
                                 {"ListDescription", description}},
                       {{"Members", members}});
}

NOTEID AddForeignDomain(const std::string &domain, const std::string &mailFile,
                        const std::string &namesDb)
{
    CreateNamesDb(namesDb);
    const bool made = CreateMailFile(mailFile, domain);
    try {
        return AddDocument(namesDb, {{"Form", "Domain"}, {"Type", "Domain"}, {"Domain", domain},
                                     {"MailFile", mailFile}});
    } catch (...) {
        if (made)
            RemoveDb(mailFile);
        throw;
    }
}

NOTEID AddDocument(const std::string &dbPath, const TextItems &texts, const ListItems &lists)
{
    Db db(dbPath);
    Note n(Note::Create(db.get()));
    for (const auto &it : texts)
        n.Text(it.first, it.second);
    for (const auto &it : lists)
        n.List(it.first, it.second);
    return n.Save();
}

/* ---- text lists in memory ---- */

DHANDLE MakeTextList(const std::vector<std::string> &entries, BOOL prefix, WORD *size)
{
    Memory list;
    void *p = nullptr;
    WORD own = 0;
    WORD *sz = size != nullptr ? size : &own;
    Check(ListAllocate(0, 0, prefix, &list.h, &p, sz), "cannot allocate a list");
    OSUnlockObject(list.h);
    for (size_t i = 0; i < entries.size(); ++i)
        Check(ListAddEntry(list.h, prefix, sz, (WORD)i, entries[i].data(), (WORD)entries[i].size()),
              "cannot add to a list");
    const DHANDLE h = list.h;
    list.h = NULLHANDLE;
    return h;
}

std::vector<std::string> ReadTextList(const void *list, BOOL prefix)
{
    std::vector<std::string> out;
    const WORD n = ListGetNumEntries(list, prefix);
    for (WORD i = 0; i < n; ++i) {
        char *text = nullptr;
        WORD len = 0;
        Check(ListGetText(list, prefix, i, &text, &len), "cannot read a list entry");
        out.emplace_back(text, len);
    }
    return out;
}

std::vector<std::string> TextListOf(DHANDLE h, BOOL prefix)
{
    const void *p = OSLockObject(h);
    std::vector<std::string> out;
    try {
        out = ReadTextList(p, prefix);
    } catch (...) {
        OSUnlockObject(h);
        throw;
    }
    OSUnlockObject(h);
    return out;
}

/* ---- mail ---- */

NOTEID SendMemo(const Memo &memo)
{
    DBHANDLE box = NULLHANDLE;
    Check(MailOpenMessageFile(nullptr, &box), "cannot open mail.box");
    struct Box {
        DBHANDLE h;
        ~Box() { MailCloseMessageFile(h); }
    } boxGuard{box};
    DHANDLE msg = NULLHANDLE;
    Check(MailCreateMessage(box, &msg), "cannot create the message");
    Note note(msg, MailCloseMessage); /* a message handle is a note handle */
    Memory body, list;
    auto lists = [&](const char *item, const std::vector<std::string> &v) {
        for (size_t i = 0; i < v.size(); ++i)
            Check(i == 0 ? NSFItemCreateTextList(msg, item, v[0].c_str(), (WORD)v[0].size())
                         : NSFItemAppendTextList(msg, item, v[i].c_str(), (WORD)v[i].size(), TRUE),
                  "cannot set items");
    };
    if (memo.form != "Memo")
        note.Text("Form", memo.form);
    Check(MailAddHeaderItem(msg, MAIL_FROM_ITEM_NUM, memo.from.c_str(), (WORD)memo.from.size()),
          "cannot set From");
    lists("SendTo", memo.sendTo);
    lists("CopyTo", memo.copyTo);
    Check(MailAddHeaderItem(msg, MAIL_SUBJECT_ITEM_NUM, memo.subject.c_str(), (WORD)memo.subject.size()),
          "cannot set Subject");
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    Check(NSFItemSetTime(msg, "PostedDate", &now), "cannot set PostedDate");
    for (const auto &t : memo.textItems)
        note.Text(t.first, t.second);
    for (const auto &t : memo.timeItems) {
        TIMEDATE when = now;
        TimeDateIncrement(&when, (LONG)(t.second * TICKS_IN_SECOND));
        Check(NSFItemSetTime(msg, t.first.c_str(), &when), "cannot set " + t.first);
    }
    if (!memo.bodyFile.empty()) {
        Check(MailAddMessageBodyText(msg, nullptr, memo.bodyFile.c_str(), 0, "\r\n", 0, nullptr),
              "cannot read " + memo.bodyFile);
    } else {
        DWORD len = 0;
        Check(MailCreateBodyItem(&body.h, &len), "cannot build the body");
        std::istringstream in(memo.body);
        for (std::string line; std::getline(in, line);)
            Check(MailAppendBodyItemLine(body.h, &len, line.c_str(), (WORD)line.size()),
                  "cannot build the body");
        Check(MailAddBodyItem(msg, body.h, len, nullptr), "cannot build the body");
    }
    for (const auto &a : memo.attachFiles)
        Check(MailAddMessageAttachment(msg, a.c_str(), fs::path(a).filename().c_str()),
              "cannot attach " + a);
    if (!memo.attachments.empty()) {
        ScratchDir tmp("vqop");
        for (size_t i = 0; i < memo.attachments.size(); ++i) {
            const std::string file = tmp / ("att" + std::to_string(i));
            WriteFile(file, memo.attachments[i].second);
            Check(MailAddMessageAttachment(msg, file.c_str(), memo.attachments[i].first.c_str()),
                  "cannot attach " + memo.attachments[i].first);
        }
    }
    std::vector<std::string> rcpts = memo.recipients;
    if (rcpts.empty()) {
        rcpts = memo.sendTo;
        rcpts.insert(rcpts.end(), memo.copyTo.begin(), memo.copyTo.end());
    }
    WORD size = 0;
    list.h = MakeTextList(rcpts, TRUE, &size);
    Check(MailAddRecipientsItem(msg, list.h, size), "cannot set the recipients");
    list.h = NULLHANDLE; /* the message's now */
    Check(MailTransferMessageLocal(msg), "the router refused the message");
    NOTEID id = 0;
    NSFNoteGetInfo(msg, _NOTE_ID, &id);
    return id;
}

STATUS TrySendMemo(const Memo &memo)
{
    try {
        SendMemo(memo);
    } catch (const Error &e) {
        return e.status();
    }
    return NOERROR;
}

/* ---- reading ---- */

std::vector<NOTEID> DocumentIds(const std::string &dbPath)
{
    std::vector<NOTEID> ids;
    Db db(dbPath);
    auto collect = [](void *p, SEARCH_MATCH *m, ITEM_TABLE *) -> STATUS {
        SEARCH_MATCH sm;
        std::memcpy(&sm, m, sizeof sm);
        if (sm.SERetFlags & SE_FMATCH)
            static_cast<std::vector<NOTEID> *>(p)->push_back(sm.ID.NoteID);
        return NOERROR;
    };
    Check(NSFSearch(db.get(), NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, collect, &ids, nullptr),
          "cannot search " + dbPath);
    return ids;
}

bool ReadDocument(const std::string &dbPath, NOTEID id, Document *out)
{
    Db db(dbPath);
    NOTEHANDLE h = NULLHANDLE;
    if (NSFNoteOpen(db.get(), id, 0, &h) != NOERROR)
        return false;
    Note n(h);
    *out = Document();
    NSFNoteGetInfo(h, _NOTE_ID, &out->id);
    NSFNoteGetInfo(h, _NOTE_MODIFIED, &out->modified);
    NSFItemScan(h, ScanItem, &out->items);
    char name[MAXPATH + 1];
    DWORD size = 0;
    BLOCKID bh;
    for (WORD i = 0; MailGetMessageAttachmentInfo(h, i, &bh, name, &size, nullptr, nullptr, nullptr, nullptr);
         ++i)
        out->attachments.push_back({name, size});
    return true;
}

std::string ItemText(const std::string &dbPath, NOTEID id, const std::string &item)
{
    Db db(dbPath);
    NOTEHANDLE h = NULLHANDLE;
    Check(NSFNoteOpen(db.get(), id, 0, &h), "no document " + std::to_string(id) + " in " + dbPath);
    Note n(h);
    return NoteText(h, item);
}

std::vector<std::string> ItemList(const std::string &dbPath, NOTEID id, const std::string &item)
{
    Db db(dbPath);
    NOTEHANDLE h = NULLHANDLE;
    Check(NSFNoteOpen(db.get(), id, 0, &h), "no document " + std::to_string(id) + " in " + dbPath);
    Note n(h);
    return NoteList(h, item);
}

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = nl + 1;
    }
    return lines;
}

std::vector<Mail> ReadMail(const std::string &mailFile, const std::string &form)
{
    std::vector<Mail> out;
    const std::vector<NOTEID> ids = DocumentIds(mailFile);
    Db db(mailFile);
    ScratchDir tmp("vqop");
    const std::string bodyFile = tmp / "body";
    for (NOTEID id : ids) {
        NOTEHANDLE h = NULLHANDLE;
        Check(NSFNoteOpen(db.get(), id, 0, &h), "no document " + std::to_string(id) + " in " + mailFile);
        Note n(h);
        Mail m;
        m.id = id;
        m.form = NoteText(h, "Form");
        if (!form.empty() && m.form != form)
            continue;
        m.subject = NoteText(h, "Subject");
        m.from = NoteText(h, "From");
        m.fromDomain = NoteText(h, "FromDomain");
        m.intended = NoteText(h, "IntendedRecipient");
        m.reason = NoteText(h, "FailureReason");
        m.sendTo = NoteList(h, "SendTo");
        m.recipients = NoteList(h, "Recipients");
        DWORD size = 0;
        if (MailGetMessageBodyText(h, nullptr, "\n", 0, FALSE, bodyFile.c_str(), &size) == NOERROR)
            m.body = ReadFile(bodyFile);
        if (!m.body.empty())
            m.body.pop_back(); /* the end of the last line */
        BLOCKID bh;
        char name[MAXPATH + 1] = "";
        for (WORD i = 0; MailGetMessageAttachmentInfo(h, i, &bh, name, nullptr, nullptr, nullptr, nullptr, nullptr);
             ++i) {
            const std::string file = tmp / ("att" + std::to_string(i));
            Check(MailExtractMessageAttachment(h, bh, file.c_str()), std::string("cannot extract ") + name);
            m.attachments.emplace_back(name, ReadFile(file));
        }
        out.push_back(std::move(m));
    }
    return out;
}

Extracted ExtractAttachment(const std::string &mailFile, NOTEID id, const std::string &wanted,
                            const std::string &target)
{
    DBHANDLE hFile = NULLHANDLE;
    Check(MailOpenMessageFile(mailFile.c_str(), &hFile), "cannot open " + mailFile);
    struct File {
        DBHANDLE h;
        ~File() { MailCloseMessageFile(h); }
    } fileGuard{hFile};
    NOTEHANDLE h = NULLHANDLE;
    if (NSFNoteOpen(hFile, id, 0, &h) != NOERROR)
        return Extracted::NoDocument;
    Note n(h);
    BLOCKID bh;
    char name[MAXPATH + 1];
    for (WORD i = 0; MailGetMessageAttachmentInfo(h, i, &bh, name, nullptr, nullptr, nullptr, nullptr, nullptr);
         ++i)
        if (wanted == name || strcasecmp(wanted.c_str(), name) == 0) {
            Check(MailExtractMessageAttachment(h, bh, target.c_str()), "cannot write " + target);
            return Extracted::Done;
        }
    return Extracted::NoAttachment;
}


bool SetText(const std::string &dbPath, NOTEID id, const std::string &item, const std::string &value)
{
    Db db(dbPath);
    NOTEHANDLE h = NULLHANDLE;
    if (NSFNoteOpen(db.get(), id, 0, &h) != NOERROR)
        return false;
    Note n(h);
    n.Text(item, value);
    n.Save();
    return true;
}

const char *const kHeldItem = "VortiqHeld";

namespace {

/* Opens a held document of a mail file and hands it to act. */
template <class F>
Held WithHeld(const std::string &mailFile, NOTEID id, F act)
{
    Db db(mailFile);
    NOTEHANDLE h = NULLHANDLE;
    if (NSFNoteOpen(db.get(), id, 0, &h) != NOERROR)
        return Held::NoDocument;
    Note n(h);
    if (!NSFItemIsPresent(h, kHeldItem, (WORD)std::strlen(kHeldItem)))
        return Held::NotHeld;
    Check(act(db.get(), h), "cannot change message " + std::to_string(id) + " of " + mailFile);
    return Held::Done;
}

}  // namespace

Held ReleaseHeld(const std::string &mailFile, NOTEID id)
{
    return WithHeld(mailFile, id, [](DBHANDLE, NOTEHANDLE h) {
        STATUS s = NSFItemDelete(h, kHeldItem, (WORD)std::strlen(kHeldItem));
        return s != NOERROR ? s : NSFNoteUpdate(h, 0);
    });
}

Held DeleteHeld(const std::string &mailFile, NOTEID id)
{
    return WithHeld(mailFile, id, [id](DBHANDLE db, NOTEHANDLE) { return NSFNoteDelete(db, id, UPDATE_NOSTUB); });
}

std::vector<Stamp> DocumentStamps(const std::string &dbPath)
{
    std::vector<Stamp> out;
    Db db(dbPath);
    auto add = [](void *p, NOTEID id, const TIMEDATE *t) -> STATUS {
        static_cast<std::vector<Stamp> *>(p)->push_back(Stamp{id, *t});
        return NOERROR;
    };
    Check(VqNSFDbNoteStamps(db.get(), NOTE_CLASS_DOCUMENT, add, &out), "cannot read " + dbPath);
    return out;
}

std::vector<TextRow> ReadTexts(const std::string &dbPath, const std::vector<NOTEID> &ids,
                               const std::vector<std::string> &items)
{
    std::vector<TextRow> out;
    out.reserve(ids.size());
    Db db(dbPath);
    for (NOTEID id : ids) {
        NOTEHANDLE h = NULLHANDLE;
        if (NSFNoteOpen(db.get(), id, 0, &h) != NOERROR)
            continue; /* deleted meanwhile */
        Note n(h);
        TextRow row;
        row.id = id;
        NSFNoteGetInfo(h, _NOTE_MODIFIED, &row.modified);
        for (const std::string &item : items) {
            std::string v;
            for (const std::string &e : NoteList(h, item))
                v += (v.empty() ? "" : ", ") + e;
            row.texts.push_back(v);
        }
        out.push_back(std::move(row));
    }
    return out;
}

}  // namespace vqop
