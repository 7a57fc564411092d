/*
 * mail_directory.cpp - the user directory: names.nsf of the data
 * directory with its Person, Group and Domain documents, and
 * MailLookupAddress over it.
 *
 * Another process may change the directory at any time, and reading it
 * whole costs a note open per document, so the process keeps the last
 * copy it read together with the database's stamp (file identity and
 * commit count) and reads again only when the stamp differs. The stamp is
 * taken before the documents are read: a commit in between makes the copy
 * newer than its stamp, never older, and the next lookup reads again.
 */
#include <mutex>

#include "mail_internal.h"
#include "nsf_stamp.h"
#include "vq_mail.h"
#include "vq_nsf.h"

namespace vq {
namespace mail {
namespace {

void ReadDocument(NOTEHANDLE h, Directory *dir)
{
    std::string type = Trim(ItemText(h, "Type"));
    if (IEquals(type, "Person")) {
        DirPerson p;
        for (const auto &n : ItemList(h, "FullName"))
            if (!Trim(n).empty())
                p.fullNames.push_back(Trim(n));
        if (p.fullNames.empty())
            return; /* no name to route by */
        for (const auto &n : ItemList(h, "ShortName"))
            if (!Trim(n).empty())
                p.shortNames.push_back(Trim(n));
        p.mailFile = Trim(ItemText(h, "MailFile"));
        dir->persons.push_back(p);
    } else if (IEquals(type, "Group")) {
        DirGroup g;
        g.name = Trim(ItemText(h, "ListName"));
        if (g.name.empty())
            return;
        for (const auto &m : ItemList(h, "Members"))
            if (!Trim(m).empty())
                g.members.push_back(Trim(m));
        dir->groups.push_back(g);
    } else if (IEquals(type, "Domain")) {
        DirDomain d;
        d.name = Trim(ItemText(h, "Domain"));
        d.mailFile = Trim(ItemText(h, "MailFile"));
        if (!d.name.empty())
            dir->domains.push_back(d);
    }
}

/* The common name: the value of the first component of a canonical name. */
std::string CommonName(const std::string &canonical)
{
    std::string first = canonical.substr(0, canonical.find('/'));
    size_t eq = first.find('=');
    return Trim(eq == std::string::npos ? first : first.substr(eq + 1));
}

/* Files every name of every person and group under its lower-cased form,
 * each entry once however many of its names share that form. */
void IndexNames(Directory *dir)
{
    dir->byName.clear();
    std::vector<std::string> keys;
    auto file = [&](const std::vector<std::string> &names, DirMatch m) {
        keys.clear();
        for (const auto &n : names) {
            std::string k = Lower(n);
            bool seen = false;
            for (const auto &o : keys)
                seen = seen || o == k;
            if (!seen)
                keys.push_back(k);
        }
        for (const auto &k : keys)
            dir->byName[k].push_back(m);
    };
    std::vector<std::string> names;
    for (size_t i = 0; i < dir->persons.size(); ++i) {
        const DirPerson &p = dir->persons[i];
        names.clear();
        for (const auto &n : p.fullNames) {
            names.push_back(n);
            names.push_back(Abbreviate(n));
            names.push_back(CommonName(n));
        }
        names.insert(names.end(), p.shortNames.begin(), p.shortNames.end());
        file(names, DirMatch{false, i});
    }
    for (size_t i = 0; i < dir->groups.size(); ++i)
        file({dir->groups[i].name}, DirMatch{true, i});
}

/* Reads every document of the open directory database. */
STATUS ReadDirectory(DBHANDLE hDb, Directory *dir)
{
    std::vector<NOTEID> ids;
    STATUS s = DocumentIds(hDb, &ids);
    for (size_t i = 0; s == NOERROR && i < ids.size(); ++i) {
        NOTEHANDLE h = NULLHANDLE;
        STATUS so = NSFNoteOpen(hDb, ids[i], 0, &h);
        if (so == ERR_INVALID_NOTE || so == ERR_NOTE_DELETED)
            continue; /* deleted since the search by another process */
        if (so != NOERROR) {
            s = so;
            break;
        }
        ReadDocument(h, dir);
        NSFNoteClose(h);
    }
    if (s == NOERROR)
        IndexNames(dir);
    return s;
}

/* The copy read last and the stamp of the database it was read from. */
std::mutex g_cacheMutex;
vq::nsf::DbStamp g_cacheStamp;
std::shared_ptr<const Directory> g_cacheDir;

}  // namespace

std::string Abbreviate(const std::string &canonical)
{
    std::string out;
    size_t start = 0;
    while (start <= canonical.size()) {
        size_t slash = canonical.find('/', start);
        std::string part = canonical.substr(start, slash == std::string::npos ? std::string::npos
                                                                              : slash - start);
        size_t eq = part.find('=');
        if (eq != std::string::npos)
            part = part.substr(eq + 1);
        if (!out.empty() || start > 0)
            out += "/";
        out += part;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }
    return out;
}

STATUS LoadDirectory(std::shared_ptr<const Directory> *out)
{
    out->reset();
    /* names.nsf known unchanged since the copy was read: not opened */
    vq::nsf::DbStamp known;
    if (vq::nsf::KnownStamp(VQ_NAMES_NAME, &known)) {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        if (g_cacheDir != nullptr && g_cacheStamp == known) {
            *out = g_cacheDir;
            return NOERROR;
        }
    }
    DBHANDLE hDb = NULLHANDLE;
    STATUS s = NSFDbOpen(VQ_NAMES_NAME, &hDb);
    if (s != NOERROR)
        return s;
    vq::nsf::DbStamp stamp;
    const bool stamped = vq::nsf::ReadStamp(hDb, &stamp) == NOERROR;
    if (stamped) {
        std::lock_guard<std::mutex> lock(g_cacheMutex);
        if (g_cacheDir != nullptr && g_cacheStamp == stamp)
            *out = g_cacheDir;
    }
    if (*out == nullptr) {
        auto dir = std::make_shared<Directory>();
        s = ReadDirectory(hDb, dir.get());
        if (s == NOERROR) {
            if (stamped) {
                std::lock_guard<std::mutex> lock(g_cacheMutex);
                g_cacheStamp = stamp;
                g_cacheDir = dir;
            }
            *out = std::move(dir);
        }
    }
    NSFDbClose(hDb);
    return s;
}

STATUS FindName(const Directory &dir, const std::string &rawName, DirMatch *match)
{
    std::string name = Trim(rawName);
    std::string user, domain;
    bool hasDomain = false;
    SplitAddress(name, &user, &domain, &hasDomain);
    if (hasDomain && IEquals(domain, OwnDomain()))
        name = Trim(user);
    if (name.empty())
        return ERR_ROUTER_NOSUCHUSER;
    auto it = dir.byName.find(Lower(name));
    if (it == dir.byName.end() || it->second.empty())
        return ERR_ROUTER_NOSUCHUSER;
    *match = it->second.front();
    return it->second.size() == 1 ? NOERROR : ERR_ROUTER_NOTUNIQUE;
}

bool FindDomain(const Directory &dir, const std::string &domain, std::string *mailFile)
{
    for (const auto &d : dir.domains)
        if (IEquals(d.name, Trim(domain))) {
            *mailFile = d.mailFile;
            return true;
        }
    return false;
}

}  // namespace mail
}  // namespace vq

using namespace vq::mail;

STATUS MailLookupAddress(const char *UserName, char *MailAddress)
{
    if (UserName == nullptr || MailAddress == nullptr)
        return ERR_BAD_PARAM;
    std::shared_ptr<const Directory> dir;
    STATUS s = LoadDirectory(&dir);
    if (s != NOERROR)
        return s;
    DirMatch m;
    s = FindName(*dir, UserName, &m);
    if (s != NOERROR)
        return s;
    const std::string &out = m.isGroup ? dir->groups[m.index].name
                                       : dir->persons[m.index].fullNames[0];
    CopyOut(out, MailAddress, MAXRECIPIENTNAME + 1, nullptr);
    return NOERROR;
}
