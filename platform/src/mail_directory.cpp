/*
 * mail_directory.cpp - the user directory: names.nsf of the data
 * directory with its Person, Group and Domain documents, read afresh for
 * every lookup (another process may change it at any time), and
 * MailLookupAddress over it.
 */

#include "mail_internal.h"
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

bool PersonMatches(const DirPerson &p, const std::string &name)
{
    for (const auto &n : p.fullNames) {
        if (IEquals(n, name) || IEquals(Abbreviate(n), name) || IEquals(CommonName(n), name))
            return true;
    }
    for (const auto &n : p.shortNames)
        if (IEquals(n, name))
            return true;
    return false;
}

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

STATUS LoadDirectory(Directory *dir)
{
    dir->persons.clear();
    dir->groups.clear();
    dir->domains.clear();
    DBHANDLE hDb = NULLHANDLE;
    STATUS s = NSFDbOpen(VQ_NAMES_NAME, &hDb);
    if (s != NOERROR)
        return s;
    std::vector<NOTEID> ids;
    s = DocumentIds(hDb, &ids);
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
    int found = 0;
    for (size_t i = 0; i < dir.persons.size(); ++i)
        if (PersonMatches(dir.persons[i], name)) {
            if (found++ == 0)
                *match = DirMatch{false, i};
        }
    for (size_t i = 0; i < dir.groups.size(); ++i)
        if (IEquals(dir.groups[i].name, name)) {
            if (found++ == 0)
                *match = DirMatch{true, i};
        }
    if (found == 0)
        return ERR_ROUTER_NOSUCHUSER;
    return found == 1 ? NOERROR : ERR_ROUTER_NOTUNIQUE;
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
    Directory dir;
    STATUS s = LoadDirectory(&dir);
    if (s != NOERROR)
        return s;
    DirMatch m;
    s = FindName(dir, UserName, &m);
    if (s != NOERROR)
        return s;
    const std::string &out = m.isGroup ? dir.groups[m.index].name
                                       : dir.persons[m.index].fullNames[0];
    CopyOut(out, MailAddress, MAXRECIPIENTNAME + 1, nullptr);
    return NOERROR;
}
