/*
 * commands.cpp - the console's commands: setting up a server's data
 * directory (notes.ini, the directory, mail.box, the activity database),
 * directory entries, sending mail, reading mail files and databases, and
 * the add-in tasks' status lines, stop requests and log.
 *
 * Every command checks what it needs before it writes anything, so a
 * user error leaves the data directory as it was.
 */
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <strings.h>

#include "notesctl.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace notesctl {
namespace {

const char *const kNames = "names.nsf";
const char *const kMailBox = "mail.box";
const char *const kActivity = "TMB_ACT.NSF";
const char *const kDefaultDomain = "Acme";
const char *const kDefaultOrg = "Acme";

std::string InData(const std::string &name)
{
    return name.empty() || name[0] == '/' ? name : DataDir() + "/" + name;
}

bool Exists(const std::string &name)
{
    std::error_code ec;
    return fs::exists(InData(name), ec);
}

std::string Trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string Env(const char *name)
{
    char buf[MAXENVVALUE + 1] = "";
    if (!OSGetEnvironmentString(name, buf, MAXENVVALUE))
        return "";
    return buf;
}

void RequireNames()
{
    if (!Exists(kNames))
        throw UserError("no directory (names.nsf) in " + DataDir() + "; run notesctl init");
}

/* A document being written; nothing reaches the file before save(). */
class Doc {
public:
    explicit Doc(const std::string &db)
    {
        Check(NSFDbOpen(db.c_str(), &db_), "cannot open " + db);
        STATUS s = NSFNoteCreate(db_, &note_);
        if (s != NOERROR) {
            NSFDbClose(db_);
            Check(s, "cannot create a document in " + db);
        }
    }
    ~Doc()
    {
        NSFNoteClose(note_);
        NSFDbClose(db_);
    }
    Doc(const Doc &) = delete;
    Doc &operator=(const Doc &) = delete;
    NOTEHANDLE note() const { return note_; }
    void text(const char *item, const std::string &v)
    {
        Check(NSFItemSetText(note_, item, v.c_str(), (WORD)v.size()), std::string("cannot set ") + item);
    }
    void list(const char *item, const std::vector<std::string> &v)
    {
        if (v.empty()) {
            WORD zero = 0;
            Check(NSFItemAppend(note_, ITEM_SUMMARY, item, (WORD)std::strlen(item), TYPE_TEXT_LIST,
                                &zero, sizeof zero),
                  std::string("cannot set ") + item);
            return;
        }
        Check(NSFItemCreateTextList(note_, item, v[0].c_str(), (WORD)v[0].size()),
              std::string("cannot set ") + item);
        for (size_t i = 1; i < v.size(); ++i)
            Check(NSFItemAppendTextList(note_, item, v[i].c_str(), (WORD)v[i].size(), TRUE),
                  std::string("cannot set ") + item);
    }
    NOTEID save()
    {
        Check(NSFNoteUpdate(note_, 0), "cannot save the document");
        NOTEID id = 0;
        NSFNoteGetInfo(note_, _NOTE_ID, &id);
        return id;
    }

private:
    DBHANDLE db_ = NULLHANDLE;
    NOTEHANDLE note_ = NULLHANDLE;
};

/* Creates a mail file (and its folders) unless it is there; true when it
 * was made here, so that a later failure can take it back. */
bool EnsureMailFile(const std::string &path, const std::string &title)
{
    if (Exists(path))
        return false;
    std::error_code ec;
    fs::path parent = fs::path(InData(path)).parent_path();
    if (!parent.empty())
        fs::create_directories(parent, ec);
    if (ec)
        throw UserError("cannot create folder " + parent.string() + ": " + ec.message());
    DBHANDLE h = NULLHANDLE;
    Check(MailCreateMessageFile(path.c_str(), "mailbox.ntf", title.c_str(), &h),
          "cannot create mail file " + path);
    MailCloseMessageFile(h);
    return true;
}

void RemoveFile(const std::string &path)
{
    std::error_code ec;
    fs::remove(InData(path), ec);
    fs::remove(InData(path) + "-wal", ec);
    fs::remove(InData(path) + "-shm", ec);
}

/* True when the directory already knows the name (uniquely or not). */
bool Known(const std::string &name)
{
    char addr[MAXRECIPIENTNAME + 1];
    STATUS s = MailLookupAddress(name.c_str(), addr);
    if (s == ERR_ROUTER_NOSUCHUSER)
        return false;
    if (s == ERR_ROUTER_NOTUNIQUE || s == NOERROR)
        return true;
    Check(s, "cannot read the directory");
    return false;
}

std::string ShortFrom(const std::string &name)
{
    std::vector<std::string> words;
    std::istringstream in(name);
    for (std::string w; in >> w;)
        words.push_back(w);
    std::string out;
    if (words.size() > 1)
        out += (char)std::tolower((unsigned char)words.front()[0]);
    for (char c : words.empty() ? std::string() : words.back())
        if (std::isalnum((unsigned char)c))
            out += (char)std::tolower((unsigned char)c);
    return out;
}

bool Splits(const std::string &assignment, std::string *key, std::string *value)
{
    size_t eq = assignment.find('=');
    if (eq == std::string::npos)
        return false;
    *key = Trim(assignment.substr(0, eq));
    *value = assignment.substr(eq + 1);
    return !key->empty();
}

std::string LoadText(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

NOTEID ParseNoteId(const std::string &text)
{
    /* Decimal as the console prints them, or hex with "0x"; a leading zero
     * is not octal, which would silently name another document. */
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char *end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(text.c_str(), &end, hex ? 16 : 10);
    if (text.empty() || *end != '\0' || errno != 0 || v == 0 || v > MAXDWORD)
        throw UserError("not a note ID: " + text);
    return (NOTEID)v;
}

/* JSON for the console. Items hold whatever bytes their writers put there
 * (a fax server's subject, a file name from a spool); a byte that is not
 * UTF-8 is shown as U+FFFD rather than failing the whole listing. */
std::string JsonText(const json &j)
{
    return j.dump(2, ' ', false, json::error_handler_t::replace);
}

bool ValidTaskName(const std::string &t)
{
    if (t.empty() || t.size() > 64 || t == "." || t == "..")
        return false;
    for (char c : t)
        if (!std::isalnum((unsigned char)c) && c != '_' && c != '-' && c != '.')
            return false;
    return true;
}

}  // namespace

/* ---- setting up ---- */

void CmdInit(const std::string &domain, bool domainGiven, const std::string &org, bool orgGiven)
{
    if (domainGiven || Env("Domain").empty())
        Check(OSSetEnvironmentVariable("Domain", domainGiven ? domain.c_str() : kDefaultDomain),
              "cannot write notes.ini");
    if (orgGiven || Env("Organization").empty())
        Check(OSSetEnvironmentVariable("Organization", orgGiven ? org.c_str() : kDefaultOrg),
              "cannot write notes.ini");
    if (!Exists(kNames))
        Check(NSFDbCreate(kNames, DBCLASS_NOTEFILE, FALSE), "cannot create names.nsf");
    EnsureMailFile(kMailBox, "Mail Router Mailbox");
    if (!Exists(kActivity))
        Check(NSFDbCreate(kActivity, DBCLASS_NOTEFILE, FALSE), "cannot create TMB_ACT.NSF");
    DBHANDLE h = NULLHANDLE;
    Check(NSFDbOpen(kActivity, &h), "cannot open TMB_ACT.NSF");
    NOTEID id = 0;
    STATUS s = NOERROR;
    if (NIFFindDesignNote(h, "Job Entry", NOTE_CLASS_FORM, &id) != NOERROR) {
        NOTEHANDLE n = NULLHANDLE;
        WORD cls = NOTE_CLASS_FORM;
        s = NSFNoteCreate(h, &n);
        if (s == NOERROR) {
            NSFNoteSetInfo(n, _NOTE_CLASS, &cls);
            s = NSFItemSetText(n, "$Title", "Job Entry", MAXWORD);
            if (s == NOERROR)
                s = NSFNoteUpdate(n, 0);
            NSFNoteClose(n);
        }
    }
    if (s == NOERROR && NIFFindDesignNote(h, "Pending by Job ID", NOTE_CLASS_VIEW, &id) != NOERROR)
        s = VqCreateView(h, "Pending by Job ID", "SELECT Form = \"Job Entry\"", "JobID", &id);
    NSFDbClose(h);
    Check(s, "cannot set up TMB_ACT.NSF");
    std::cout << "data directory " << DataDir() << " ready (domain " << Env("Domain") << ")\n";
}

void CmdSetConfig(const std::string &assignment)
{
    std::string key, value;
    if (!Splits(assignment, &key, &value) || key.find_first_of(" \t\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos)
        throw UserError("expected KEY=VALUE, got: " + assignment);
    Check(OSSetEnvironmentVariable(key.c_str(), value.c_str()), "cannot write notes.ini");
}

void CmdShowConfig(const std::string &key)
{
    if (!key.empty()) {
        char buf[MAXENVVALUE + 1] = "";
        if (!OSGetEnvironmentString(key.c_str(), buf, MAXENVVALUE))
            throw UserError(key + " is not set");
        std::cout << buf << "\n";
        return;
    }
    std::istringstream in(LoadText(DataDir() + "/notes.ini"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find('=') != std::string::npos)
            std::cout << line << "\n";
    }
}

void CmdPersonAdd(const std::string &rawName, std::string shortName, const std::string &fax,
                  std::string mailFile)
{
    std::string name = Trim(rawName);
    if (name.empty() || name.find_first_of("/@=,") != std::string::npos)
        throw UserError("not a usable person name: \"" + rawName + "\"");
    RequireNames();
    std::string org = Env("Organization").empty() ? kDefaultOrg : Env("Organization");
    std::string canonical = "CN=" + name + "/O=" + org;
    shortName = Trim(shortName.empty() ? ShortFrom(name) : shortName);
    if (shortName.empty() || shortName.find_first_of("/@ ") != std::string::npos)
        throw UserError("not a usable short name: \"" + shortName + "\"");
    if (mailFile.empty())
        mailFile = "mail/" + shortName + ".nsf";
    if (Known(canonical))
        throw UserError(canonical + " is already in the directory");
    if (Known(shortName))
        throw UserError("short name " + shortName + " is already in the directory");
    bool made = EnsureMailFile(mailFile, name);
    try {
        Doc d(kNames);
        d.text("Form", "Person");
        d.text("Type", "Person");
        d.list("FullName", {canonical, name + "/" + org, name});
        d.text("ShortName", shortName);
        d.text("MailFile", mailFile);
        if (!fax.empty())
            d.text("OfficeFaxPhoneNumber", fax);
        d.save();
    } catch (...) {
        if (made)
            RemoveFile(mailFile);
        throw;
    }
    std::cout << canonical << "\n";
}

void CmdGroupAdd(const std::string &rawName, const std::string &members, const std::string &description)
{
    std::string name = Trim(rawName);
    if (name.empty() || name.find('@') != std::string::npos)
        throw UserError("not a usable group name: \"" + rawName + "\"");
    RequireNames();
    std::vector<std::string> list;
    std::istringstream in(members);
    for (std::string m; std::getline(in, m, ',');)
        if (!Trim(m).empty())
            list.push_back(Trim(m));
    if (list.empty())
        throw UserError("a group needs at least one member (--members \"A,B\")");
    if (Known(name))
        throw UserError(name + " is already in the directory");
    Doc d(kNames);
    d.text("Form", "Group");
    d.text("Type", "Group");
    d.text("ListName", name);
    d.list("Members", list);
    d.text("ListDescription", description);
    d.save();
    std::cout << name << "\n";
}

void CmdDomainAdd(const std::string &rawName, const std::string &mailFile)
{
    std::string name = Trim(rawName);
    if (name.empty() || name.find_first_of("@/ ") != std::string::npos)
        throw UserError("not a usable domain name: \"" + rawName + "\"");
    if (Trim(mailFile).empty())
        throw UserError("--mailfile is required");
    RequireNames();
    if (strcasecmp(name.c_str(), Env("Domain").c_str()) == 0)
        throw UserError(name + " is this server's own domain");
    for (const auto &doc : ListDocuments(kNames, "")) {
        const json &items = doc["items"];
        if (items.contains("Type") && ValueText(items["Type"]) == "Domain" &&
            items.contains("Domain") && strcasecmp(ValueText(items["Domain"]).c_str(), name.c_str()) == 0)
            throw UserError("domain " + name + " is already in the directory");
    }
    bool made = EnsureMailFile(mailFile, name);
    try {
        Doc d(kNames);
        d.text("Form", "Domain");
        d.text("Type", "Domain");
        d.text("Domain", name);
        d.text("MailFile", mailFile);
        d.save();
    } catch (...) {
        if (made)
            RemoveFile(mailFile);
        throw;
    }
    std::cout << name << " -> " << mailFile << "\n";
}

/* ---- mail ---- */

void CmdSend(const SendOptions &o)
{
    /* Everything the user gave is checked before mail.box is touched. */
    if (o.to.empty())
        throw UserError("at least one --to is required");
    if (o.bodyGiven && !o.bodyFile.empty())
        throw UserError("give --body or --body-file, not both");
    std::error_code ec;
    if (!o.bodyFile.empty() && (!fs::exists(o.bodyFile, ec) || fs::is_directory(o.bodyFile, ec)))
        throw UserError("no such body file: " + o.bodyFile);
    for (const auto &a : o.attach)
        if (!fs::exists(a, ec) || fs::is_directory(a, ec))
            throw UserError("no such file to attach: " + a);
    std::vector<std::pair<std::string, std::string>> texts;
    for (const auto &t : o.text) {
        std::string k, v;
        if (!Splits(t, &k, &v))
            throw UserError("expected --text ITEM=VALUE, got: " + t);
        texts.emplace_back(k, v);
    }
    std::vector<std::pair<std::string, long>> times;
    for (const auto &t : o.time) {
        std::string k, v;
        char *end = nullptr;
        long secs = 0;
        if (Splits(t, &k, &v)) {
            errno = 0;
            secs = std::strtol(v.c_str(), &end, 10);
        }
        if (end == nullptr || end == v.c_str() || *end != '\0' || errno != 0)
            throw UserError("expected --time ITEM=+SECONDS, got: " + t);
        times.emplace_back(k, secs);
    }
    char from[MAXRECIPIENTNAME + 1];
    STATUS s = MailLookupAddress(o.from.c_str(), from);
    if (s == ERR_ROUTER_NOSUCHUSER || s == ERR_ROUTER_NOTUNIQUE)
        throw UserError("unknown user \"" + o.from + "\": " + StatusText(s));
    Check(s, "cannot read the directory");
    if (!Exists(kMailBox))
        throw UserError("no mail.box in " + DataDir() + "; run notesctl init");

    DBHANDLE hBox = NULLHANDLE;
    DHANDLE hMsg = NULLHANDLE, hBody = NULLHANDLE, hList = NULLHANDLE;
    NOTEID id = 0;
    Check(MailOpenMessageFile(nullptr, &hBox), "cannot open mail.box");
    try {
        Check(MailCreateMessage(hBox, &hMsg), "cannot create the message");
        auto list = [&](const char *item, const std::vector<std::string> &v) {
            if (v.empty())
                return;
            Check(NSFItemCreateTextList(hMsg, item, v[0].c_str(), (WORD)v[0].size()), "cannot set items");
            for (size_t i = 1; i < v.size(); ++i)
                Check(NSFItemAppendTextList(hMsg, item, v[i].c_str(), (WORD)v[i].size(), TRUE),
                      "cannot set items");
        };
        Check(MailAddHeaderItem(hMsg, MAIL_FROM_ITEM_NUM, from, (WORD)std::strlen(from)), "cannot set From");
        list("SendTo", o.to);
        list("CopyTo", o.cc);
        Check(MailAddHeaderItem(hMsg, MAIL_SUBJECT_ITEM_NUM, o.subject.c_str(), (WORD)o.subject.size()),
              "cannot set Subject");
        TIMEDATE now;
        OSCurrentTIMEDATE(&now);
        Check(NSFItemSetTime(hMsg, "PostedDate", &now), "cannot set PostedDate");
        for (const auto &t : texts)
            Check(NSFItemSetText(hMsg, t.first.c_str(), t.second.c_str(), (WORD)t.second.size()),
                  "cannot set " + t.first);
        for (const auto &t : times) {
            TIMEDATE when = now;
            TimeDateIncrement(&when, (LONG)(t.second * TICKS_IN_SECOND));
            Check(NSFItemSetTime(hMsg, t.first.c_str(), &when), "cannot set " + t.first);
        }
        if (!o.bodyFile.empty()) {
            Check(MailAddMessageBodyText(hMsg, nullptr, o.bodyFile.c_str(), 0, "\r\n", 0, nullptr),
                  "cannot read " + o.bodyFile);
        } else {
            DWORD len = 0;
            Check(MailCreateBodyItem(&hBody, &len), "cannot build the body");
            std::istringstream in(o.body);
            for (std::string line; std::getline(in, line);)
                Check(MailAppendBodyItemLine(hBody, &len, line.c_str(), (WORD)line.size()),
                      "cannot build the body");
            Check(MailAddBodyItem(hMsg, hBody, len, nullptr), "cannot build the body");
        }
        for (const auto &a : o.attach)
            Check(MailAddMessageAttachment(hMsg, a.c_str(), fs::path(a).filename().c_str()),
                  "cannot attach " + a);
        LIST *pList = nullptr;
        WORD size = 0;
        Check(ListAllocate(0, 0, TRUE, &hList, &pList, &size), "cannot build the recipients");
        OSUnlockObject(hList);
        std::vector<std::string> all = o.to;
        all.insert(all.end(), o.cc.begin(), o.cc.end());
        for (size_t i = 0; i < all.size(); ++i)
            Check(ListAddEntry(hList, TRUE, &size, (WORD)i, all[i].c_str(), (WORD)all[i].size()),
                  "cannot build the recipients");
        Check(MailAddRecipientsItem(hMsg, hList, size), "cannot set the recipients");
        hList = NULLHANDLE; /* the message's now */
        Check(MailTransferMessageLocal(hMsg), "the router refused the message");
        NSFNoteGetInfo(hMsg, _NOTE_ID, &id);
    } catch (...) {
        if (hList != NULLHANDLE)
            OSMemFree(hList);
        if (hMsg != NULLHANDLE)
            MailCloseMessage(hMsg);
        if (hBody != NULLHANDLE)
            OSMemFree(hBody);
        MailCloseMessageFile(hBox);
        throw;
    }
    MailCloseMessage(hMsg);
    if (hBody != NULLHANDLE)
        OSMemFree(hBody);
    MailCloseMessageFile(hBox);
    std::cout << id << "\n";
}

void CmdMailList(const std::string &mailFile, bool asJson)
{
    if (!Exists(mailFile))
        throw UserError("no such mail file: " + mailFile);
    json docs = ListDocuments(mailFile, "");
    if (asJson) {
        std::cout << JsonText(docs) << "\n";
        return;
    }
    for (const auto &d : docs) {
        const json &it = d["items"];
        std::cout << d["noteid"].get<NOTEID>() << "  " << d["modified"].get<std::string>() << "  "
                  << (it.contains("Form") ? ValueText(it["Form"]) : "") << "  "
                  << (it.contains("From") ? ValueText(it["From"]) : "") << "  "
                  << (it.contains("Subject") ? ValueText(it["Subject"]) : "") << "\n";
    }
}

void CmdMailShow(const std::string &mailFile, const std::string &noteId, bool asJson)
{
    NOTEID id = ParseNoteId(noteId);
    if (!Exists(mailFile))
        throw UserError("no such mail file: " + mailFile);
    json d = ShowDocument(mailFile, id);
    if (asJson) {
        std::cout << JsonText(d) << "\n";
        return;
    }
    std::cout << "NoteID: " << id << "\nModified: " << d["modified"].get<std::string>() << "\n";
    for (const auto &it : d["items"].items())
        if (it.key() != "Body")
            std::cout << it.key() << ": " << ValueText(it.value()) << "\n";
    for (const auto &a : d["attachments"])
        std::cout << "Attachment: " << a["name"].get<std::string>() << " (" << a["size"].get<DWORD>()
                  << " bytes)\n";
    std::cout << "\n" << d["body"].get<std::string>() << "\n";
}

void CmdMailExtract(const std::string &mailFile, const std::string &noteId,
                    const std::string &attachment, const std::string &dest)
{
    NOTEID id = ParseNoteId(noteId);
    if (!Exists(mailFile))
        throw UserError("no such mail file: " + mailFile);
    std::string target = dest;
    std::error_code ec;
    if (fs::is_directory(dest, ec))
        target = (fs::path(dest) / attachment).string();
    DBHANDLE h = NULLHANDLE;
    Check(MailOpenMessageFile(mailFile.c_str(), &h), "cannot open " + mailFile);
    NOTEHANDLE n = NULLHANDLE;
    if (NSFNoteOpen(h, id, 0, &n) != NOERROR) {
        MailCloseMessageFile(h);
        throw UserError("no document " + noteId + " in " + mailFile);
    }
    BLOCKID bh, found;
    char name[MAXPATH + 1];
    bool have = false;
    for (WORD i = 0; MailGetMessageAttachmentInfo(n, i, &bh, name, nullptr, nullptr, nullptr, nullptr,
                                                  nullptr);
         ++i)
        if (!have && (attachment == name || strcasecmp(attachment.c_str(), name) == 0)) {
            found = bh;
            have = true;
        }
    STATUS s = have ? MailExtractMessageAttachment(n, found, target.c_str()) : NOERROR;
    NSFNoteClose(n);
    MailCloseMessageFile(h);
    if (!have)
        throw UserError("document " + noteId + " has no attachment " + attachment);
    Check(s, "cannot write " + target);
    std::cout << target << "\n";
}

void CmdDbList(const std::string &db, const std::string &form, bool asJson)
{
    if (!Exists(db))
        throw UserError("no such database: " + db);
    json docs = ListDocuments(db, form);
    if (asJson) {
        std::cout << JsonText(docs) << "\n";
        return;
    }
    for (const auto &d : docs) {
        std::cout << "noteid " << d["noteid"].get<NOTEID>() << "  modified "
                  << d["modified"].get<std::string>() << "\n";
        for (const auto &it : d["items"].items())
            std::cout << "  " << it.key() << ": " << ValueText(it.value()) << "\n";
        for (const auto &a : d["attachments"])
            std::cout << "  attachment " << a["name"].get<std::string>() << " ("
                      << a["size"].get<DWORD>() << " bytes)\n";
    }
}

/* ---- tasks ---- */

void CmdTasks()
{
    fs::path dir = fs::path(DataDir()) / "tasks";
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.path().extension() == ".status")
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const auto &f : files) {
        std::string line = LoadText(f.string());
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        std::cout << f.stem().string() << ": " << line << "\n";
    }
}

void CmdQuit(const std::string &task)
{
    if (!ValidTaskName(task))
        throw UserError("not a task name: " + task);
    fs::path dir = fs::path(DataDir()) / "tasks";
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::ofstream out(dir / (task + ".quit"));
    if (!out)
        throw UserError("cannot write " + (dir / (task + ".quit")).string());
    std::cout << "asked " << task << " to stop\n";
}

void CmdLog(int lines)
{
    if (lines < 0)
        throw UserError("-n must not be negative");
    std::istringstream in(LoadText(DataDir() + "/server.log"));
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);)
        all.push_back(line);
    size_t from = all.size() > (size_t)lines ? all.size() - (size_t)lines : 0;
    for (size_t i = from; i < all.size(); ++i)
        std::cout << all[i] << "\n";
}

}  // namespace notesctl
