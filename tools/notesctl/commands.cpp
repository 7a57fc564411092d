/*
 * commands.cpp - the console's commands: setting up a server's data
 * directory (notes.ini, the directory, mail.box, the activity database),
 * directory entries, sending mail, reading mail files and databases, and
 * the add-in tasks' status lines, stop requests and log. The Notes data
 * itself is made and read through the operator library (vq_operator.h).
 *
 * Every command checks what it needs before it writes anything, so a
 * user error leaves the data directory as it was.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <strings.h>

#include "fax_render.h"
#include "notesctl.h"
#include "vq_operator_json.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace notesctl {
namespace {

const char *const kNames = "names.nsf";
const char *const kMailBox = "mail.box";
const char *const kActivity = "TMB_ACT.NSF";
const char *const kDefaultDomain = "Acme";
const char *const kDefaultOrg = "Acme";

/* A database of that name, resolved as the platform resolves it (letter
 * case ignored where the exact name is missing); one that exists but
 * cannot be opened counts, so that its command says why. */
bool Exists(const std::string &name)
{
    DBHANDLE h = NULLHANDLE;
    const STATUS s = NSFDbOpen(name.c_str(), &h);
    if (s == NOERROR)
        NSFDbClose(h);
    return ERR(s) != ERR_NOEXIST && ERR(s) != ERR_DIRECTORY;
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

std::string JsonText(const json &j) { return vqop::JsonText(j); }

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
    vqop::CreateNamesDb(kNames);
    vqop::CreateMailFile(kMailBox, "Mail Router Mailbox");
    vqop::CreateActivityDb(kActivity);
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

void CmdUnsetConfig(const std::string &key)
{
    if (Trim(key).empty() || key.find_first_of("=\r\n") != std::string::npos)
        throw UserError("not a key: " + key);
    char buf[MAXENVVALUE + 1] = "";
    if (!OSGetEnvironmentString(key.c_str(), buf, MAXENVVALUE))
        throw UserError(key + " is not set");
    Check(OSSetEnvironmentVariable(key.c_str(), nullptr), "cannot write notes.ini");
}

void CmdShowConfig(const std::string &key, bool asJson)
{
    if (!key.empty()) {
        char buf[MAXENVVALUE + 1] = "";
        if (!OSGetEnvironmentString(key.c_str(), buf, MAXENVVALUE))
            throw UserError(key + " is not set");
        std::cout << (asJson ? JsonText(json{{Trim(key), buf}}) : std::string(buf)) << "\n";
        return;
    }
    json all = json::object();
    std::istringstream in(LoadText(DataDir() + "/notes.ini"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        if (asJson)
            all[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
        else
            std::cout << line << "\n";
    }
    if (asJson)
        std::cout << JsonText(all) << "\n";
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
    vqop::AddPerson({name, shortName, mailFile, fax, org}, kNames);
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
    vqop::AddGroup(name, list, description, kNames);
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
    vqop::AddForeignDomain(name, mailFile, kNames);
    std::cout << name << " -> " << mailFile << "\n";
}

/* Entries of the directory of one kind: Person, Group or Domain. */
json DirectoryEntries(const std::string &type)
{
    RequireNames();
    json out = json::array();
    for (const auto &doc : ListDocuments(kNames, ""))
        if (doc["items"].contains("Type") && ValueText(doc["items"]["Type"]) == type)
            out.push_back(doc);
    return out;
}

namespace {

/* The names an entry answers to: a Person's full names and short name, a
 * Group's name, a Domain's domain. */
std::vector<std::string> EntryNames(const json &doc)
{
    std::vector<std::string> names;
    for (const char *item : {"FullName", "ShortName", "ListName", "Domain"}) {
        if (!doc["items"].contains(item))
            continue;
        const json &v = doc["items"][item];
        for (const json &e : v.is_array() ? v : json::array({v}))
            if (e.is_string())
                names.push_back(e.get<std::string>());
    }
    return names;
}

bool Answers(const json &doc, const std::string &name)
{
    for (const std::string &n : EntryNames(doc)) {
        /* "CN=Jane Roe/O=Acme" answers to "Jane Roe" too */
        const std::string common = n.rfind("CN=", 0) == 0 ? n.substr(3, n.find('/') - 3) : n;
        if (strcasecmp(n.c_str(), name.c_str()) == 0 || strcasecmp(common.c_str(), name.c_str()) == 0)
            return true;
    }
    return false;
}

}  // namespace

void CmdPersonPasswd(const std::string &name)
{
    std::vector<NOTEID> ids;
    for (const auto &doc : DirectoryEntries("Person"))
        if (Answers(doc, Trim(name)))
            ids.push_back(doc["noteid"].get<NOTEID>());
    if (ids.empty())
        throw UserError("no Person " + name + " in the directory");
    if (ids.size() > 1)
        throw UserError(name + " names " + std::to_string(ids.size()) + " people; nothing changed");
    std::string password;
    std::getline(std::cin, password);
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    if (password.size() < 8)
        throw UserError("the password must have at least 8 characters (read from standard input)");
    const std::string hash = vqop::HashPassword(password);
    if (!vqop::SetText(kNames, ids.front(), vqop::kPasswordItem, hash))
        throw UserError("no Person " + name + " in the directory");
    std::cout << "password set for " << name << "\n";
}

void CmdDirectoryList(const std::string &type, bool asJson)
{
    const json entries = DirectoryEntries(type);
    if (asJson) {
        std::cout << JsonText(entries) << "\n";
        return;
    }
    for (const auto &doc : entries) {
        const std::vector<std::string> names = EntryNames(doc);
        std::cout << (names.empty() ? std::string("?") : names.front());
        for (const char *extra : {"OfficeFaxPhoneNumber", "MailFile", "Members"})
            if (doc["items"].contains(extra))
                std::cout << "  " << extra << ": " << ValueText(doc["items"][extra]);
        std::cout << "\n";
    }
}

void CmdDirectoryRemove(const std::string &type, const std::string &name)
{
    std::vector<NOTEID> ids;
    for (const auto &doc : DirectoryEntries(type))
        if (Answers(doc, Trim(name)))
            ids.push_back(doc["noteid"].get<NOTEID>());
    if (ids.empty())
        throw UserError("no " + type + " " + name + " in the directory");
    if (ids.size() > 1)
        throw UserError(name + " names " + std::to_string(ids.size()) + " entries; nothing removed");
    DBHANDLE h = NULLHANDLE;
    Check(NSFDbOpen(kNames, &h), "cannot open names.nsf");
    const STATUS s = NSFNoteDelete(h, ids.front(), UPDATE_NOSTUB);
    NSFDbClose(h);
    Check(s, "cannot remove " + name);
    std::cout << "removed " << name << " (mail file kept)\n";
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
        /* the stand-in's clock steps are hundredths in a signed 32-bit number */
        if (secs > 0x7FFFFFFFL / 100 || secs < -(0x7FFFFFFFL / 100))
            throw UserError("--time " + t + " is out of range (at most about 248 days either way)");
        times.emplace_back(k, secs);
    }
    char from[MAXRECIPIENTNAME + 1];
    STATUS s = MailLookupAddress(o.from.c_str(), from);
    if (s == ERR_ROUTER_NOSUCHUSER || s == ERR_ROUTER_NOTUNIQUE)
        throw UserError("unknown user \"" + o.from + "\": " + StatusText(s));
    Check(s, "cannot read the directory");
    if (!Exists(kMailBox))
        throw UserError("no mail.box in " + DataDir() + "; run notesctl init");

    vqop::Memo memo;
    memo.from = from;
    memo.sendTo = o.to;
    memo.copyTo = o.cc;
    memo.subject = o.subject;
    memo.body = o.body;
    memo.bodyFile = o.bodyFile;
    memo.attachFiles = o.attach;
    memo.textItems = texts;
    memo.timeItems = times;
    std::cout << vqop::SendMemo(memo) << "\n";
    /* Whatever an earlier sender left in mail.box goes too; this
     * message went, so a failure here is only a warning. */
    if (STATUS w = VqRouteWaitingMail(nullptr); w != NOERROR)
        std::cerr << "notesctl: warning: mail left in mail.box still waits: " << StatusText(w)
                  << "\n";
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

void CmdMailExtract(const std::string &mailFile, const std::string &noteId, const std::string &attachment,
                    const std::string &dest, bool force, const std::string &pngDir)
{
    NOTEID id = ParseNoteId(noteId);
    if (!Exists(mailFile))
        throw UserError("no such mail file: " + mailFile);
    if (dest.empty() && pngDir.empty())
        throw UserError("give DEST, --png DIR or both");
    faxrender::TempDir tmp("");
    std::string target = dest.empty() ? tmp.File("image") : dest;
    std::error_code ec;
    if (dest.empty() && !tmp.ok())
        throw UserError("cannot make a temporary folder");
    if (fs::is_directory(target, ec))
        target = (fs::path(dest) / attachment).string();
    if (!force && !dest.empty() && fs::exists(fs::symlink_status(target, ec)))
        throw UserError(target + " exists; give --force to overwrite it");
    switch (vqop::ExtractAttachment(mailFile, id, attachment, target)) {
    case vqop::Extracted::NoDocument: throw UserError("no document " + noteId + " in " + mailFile);
    case vqop::Extracted::NoAttachment:
        throw UserError("document " + noteId + " has no attachment " + attachment);
    case vqop::Extracted::Done: break;
    }
    if (!dest.empty())
        std::cout << target << "\n";
    if (pngDir.empty())
        return;
    std::string why;
    int pages = faxrender::TiffToPngs(target, pngDir, &why);
    if (pages < 0)
        throw UserError("no pictures of " + attachment + ": " + why);
    for (int p = 1; p <= pages; ++p)
        std::cout << (fs::path(pngDir) / ("page-" + std::to_string(p) + ".png")).string() << "\n";
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

/* A task is alive exactly while it holds its instance lock: the status
 * line of one that is not is stale, reported and removed. */
void CmdTasks(bool asJson)
{
    std::vector<std::string> stale;
    const json live = vqop::TaskLines(DataDir(), &stale);
    std::error_code ec;
    for (const std::string &task : stale) {
        fs::remove(fs::path(DataDir()) / "tasks" / (task + ".status"), ec);
        std::cerr << "notesctl: " << task << " is not running; its stale status line was removed\n";
    }
    if (asJson)
        std::cout << JsonText(live) << "\n";
    else
        for (const auto &t : live)
            std::cout << t["task"].get<std::string>() << ": " << t["status"].get<std::string>() << "\n";
}

void CmdQuit(const std::string &task)
{
    if (!ValidTaskName(task))
        throw UserError("not a task name: " + task);
    if (!VqTaskRunning(task.c_str(), nullptr))
        throw UserError(task + " is not running");
    fs::path dir = fs::path(DataDir()) / "tasks";
    std::ofstream out(dir / (task + ".quit"));
    if (!out)
        throw UserError("cannot write " + (dir / (task + ".quit")).string());
    std::cout << "asked " << task << " to stop\n";
}

void CmdLog(int lines, bool follow, bool asJson)
{
    if (lines < 0)
        throw UserError("-n must not be negative");
    const std::string path = DataDir() + "/server.log";
    const std::vector<std::string> last = vqop::TailLines(path, (size_t)lines);
    if (asJson)
        std::cout << JsonText(last) << "\n";
    else
        for (const auto &l : last)
            std::cout << l << "\n";
    std::cout.flush();
    if (!follow)
        return;
    /* Follows the log as it grows, and on to a new file once it is rotated. */
    std::ifstream in(path, std::ios::binary);
    struct stat was {};
    stat(path.c_str(), &was);
    in.seekg(0, std::ios::end);
    for (std::string line;;) {
        while (std::getline(in, line))
            std::cout << line << "\n";
        std::cout.flush();
        in.clear();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        struct stat now {};
        if (stat(path.c_str(), &now) == 0 && (now.st_ino != was.st_ino || now.st_size < in.tellg())) {
            was = now;
            in.close();
            in.open(path, std::ios::binary);
        }
    }
}

/* ---- held messages of the gateway mail file ---- */

namespace {

using vqop::kHeldItem;

std::string GatewayMailFile()
{
    const std::string f = Trim(Env("VortiqMsgfile"));
    if (f.empty())
        throw UserError("VortiqMsgfile is not set in notes.ini");
    if (!Exists(f))
        throw UserError("no such mail file: " + f);
    return f;
}

void HeldResult(vqop::Held r, const std::string &noteId, const std::string &mailFile)
{
    if (r == vqop::Held::NoDocument)
        throw UserError("no document " + noteId + " in " + mailFile);
    if (r == vqop::Held::NotHeld)
        throw UserError("message " + noteId + " is not held");
}

}  // namespace

void CmdHeldList(bool asJson)
{
    const json held = vqop::HeldDocumentsJson(GatewayMailFile());
    if (asJson) {
        std::cout << JsonText(held) << "\n";
        return;
    }
    for (const auto &d : held) {
        const json &it = d["items"];
        std::cout << d["noteid"].get<NOTEID>() << "  "
                  << (it.contains("From") ? ValueText(it["From"]) : "") << "  "
                  << (it.contains("Subject") ? ValueText(it["Subject"]) : "") << "  "
                  << ValueText(it[kHeldItem]) << "\n";
    }
}

void CmdHeldRelease(const std::string &noteId)
{
    const NOTEID id = ParseNoteId(noteId);
    const std::string mailFile = GatewayMailFile();
    HeldResult(vqop::ReleaseHeld(mailFile, id), noteId, mailFile);
    std::cout << "released " << noteId << "\n";
}

void CmdHeldDelete(const std::string &noteId)
{
    const NOTEID id = ParseNoteId(noteId);
    const std::string mailFile = GatewayMailFile();
    HeldResult(vqop::DeleteHeld(mailFile, id), noteId, mailFile);
    std::cout << "deleted " << noteId << "\n";
}

}  // namespace notesctl
