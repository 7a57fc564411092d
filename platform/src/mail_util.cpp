/*
 * mail_util.cpp - small helpers of the mail half: text and address
 * handling, reading and writing items through the public note calls (a
 * note's items are copied by the stand-in's own call, which copies each
 * value once), and whole-file reads and writes that pass the fault seam.
 */
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

#include "mail_internal.h"
#include "nsf_internal.h"
#include "runtime_internal.h"
#include "vq_nsf.h"
#include "vq_port.h"
#include "vq_runtime.h"
#include "vq_textlist.h"

namespace vq {
namespace mail {

std::string Trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

std::string Lower(const std::string &s)
{
    std::string out(s);
    for (char &c : out)
        c = (char)std::tolower((unsigned char)c);
    return out;
}

bool IEquals(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i]))
            return false;
    return true;
}

void SplitAddress(const std::string &address, std::string *user, std::string *domain,
                  bool *hasDomain)
{
    size_t at = address.rfind('@');
    if (at == std::string::npos) {
        *user = address;
        domain->clear();
        *hasDomain = false;
        return;
    }
    size_t ue = at;
    while (ue > 0 && address[ue - 1] == ' ')
        --ue;
    size_t db = at + 1;
    while (db < address.size() && address[db] == ' ')
        ++db;
    *user = address.substr(0, ue);
    *domain = address.substr(db);
    *hasDomain = true;
}

void CopyOut(const std::string &s, char *buf, WORD size, WORD *outLen)
{
    size_t n = 0;
    if (buf != nullptr && size > 0) {
        n = s.size() < (size_t)(size - 1) ? s.size() : (size_t)(size - 1);
        std::memcpy(buf, s.data(), n);
        buf[n] = '\0';
    }
    if (outLen != nullptr)
        *outLen = (WORD)n;
}

std::string StatusString(STATUS s)
{
    const char *t = StatusText(s);
    return t ? std::string(t) : "Unknown error " + std::to_string((unsigned)s);
}

std::string OwnDomain()
{
    std::string v;
    if (!EnvironmentValue("Domain", &v))
        return "";
    return Trim(v);
}

/* ---- items ---- */

bool ItemValue(NOTEHANDLE h, const char *name, WORD *type, std::string *value)
{
    BLOCKID bhItem, bhValue;
    WORD t = 0;
    DWORD len = 0;
    if (NSFItemInfo(h, name, (WORD)std::strlen(name), &bhItem, &t, &bhValue, &len) != NOERROR)
        return false;
    if (type)
        *type = t;
    if (value) {
        value->clear();
        if (len > sizeof(WORD) && !ISNULLBLOCKID(bhValue)) {
            const char *p = OSLockBlock(const char, bhValue);
            if (p != nullptr)
                value->assign(p + sizeof(WORD), len - sizeof(WORD));
            OSUnlockBlock(bhValue);
        }
    }
    return true;
}

bool ParseTextList(const std::string &value, std::vector<std::string> *out)
{
    std::vector<std::string_view> entries;
    const bool whole = vq::ParseTextList(value, &entries);
    out->assign(entries.begin(), entries.end());
    return whole;
}

std::string ItemText(NOTEHANDLE h, const char *name)
{
    WORD type = 0;
    std::string v;
    if (!ItemValue(h, name, &type, &v))
        return "";
    if (type == TYPE_TEXT)
        return v;
    if (type == TYPE_TEXT_LIST) {
        std::vector<std::string> l;
        if (ParseTextList(v, &l) && !l.empty())
            return l[0];
    }
    return "";
}

std::vector<std::string> ListOfValue(WORD type, const std::string &value)
{
    std::vector<std::string> out;
    if (type == TYPE_TEXT)
        out.push_back(value);
    else if (type == TYPE_TEXT_LIST)
        ParseTextList(value, &out);
    return out;
}

std::vector<std::string> ItemList(NOTEHANDLE h, const char *name)
{
    WORD type = 0;
    std::string v;
    if (!ItemValue(h, name, &type, &v))
        return {};
    return ListOfValue(type, v);
}

STATUS SetText(NOTEHANDLE h, const char *name, const std::string &text, WORD flags)
{
    NSFItemDelete(h, name, (WORD)std::strlen(name));
    return NSFItemAppend(h, flags, name, (WORD)std::strlen(name), TYPE_TEXT, text.data(),
                         (DWORD)text.size());
}

std::string EncodeTextList(const std::vector<std::string> &entries)
{
    std::vector<std::string_view> cut;
    for (const auto &e : entries)
        cut.emplace_back(e.data(), e.size() > MAXWORD ? MAXWORD : e.size());
    return vq::BuildTextList(cut);
}

STATUS SetTextList(NOTEHANDLE h, const char *name, const std::vector<std::string> &entries,
                   WORD flags)
{
    std::string v = EncodeTextList(entries);
    NSFItemDelete(h, name, (WORD)std::strlen(name));
    return NSFItemAppend(h, flags, name, (WORD)std::strlen(name), TYPE_TEXT_LIST, v.data(),
                         (DWORD)v.size());
}

STATUS CopyItems(NOTEHANDLE src, NOTEHANDLE dst, const std::vector<std::string> &skip)
{
    return vq::nsf::AppendItemsOf(src, dst, skip);
}

namespace {

STATUS CollectId(void *param, SEARCH_MATCH *match, ITEM_TABLE *)
{
    SEARCH_MATCH m;
    std::memcpy(&m, match, sizeof m); /* the match may sit unaligned */
    if (m.SERetFlags & SE_FMATCH)
        static_cast<std::vector<NOTEID> *>(param)->push_back(m.ID.NoteID);
    return NOERROR;
}

}  // namespace

STATUS DocumentIds(DBHANDLE h, std::vector<NOTEID> *ids)
{
    return NSFSearch(h, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, CollectId, ids,
                     nullptr);
}

const char *MailItemName(WORD code)
{
    static const char *const kNames[MAIL_ITEMS] = {
        "SendTo",           "CopyTo",        "From",         "Subject",
        "ComposedDate",     "PostedDate",    "Body",         "IntendedRecipient",
        "FailureReason",    "Recipients",    "RoutingState", "Form",
        "MailSavedForm",    "BlindCopyTo",   "DeliveryPriority", "DeliveryReport",
        "DeliveredDate",    "DeliveryDate",  "Categories",   "FromDomain",
        "SendTo",           "Recipients",    "RecipientGroupsExpanded", "ReturnReceipt",
        "RouteHops",        "$Correlation",
    };
    return code < MAIL_ITEMS ? kNames[code] : nullptr;
}

std::string Originator(NOTEHANDLE h)
{
    std::string from = Trim(ItemText(h, "From"));
    std::string dom = Trim(ItemText(h, "FromDomain"));
    if (from.empty())
        return "";
    if (!dom.empty() && !IEquals(dom, OwnDomain()))
        return from + "@" + dom;
    return from;
}

bool IsReportForm(const std::string &form)
{
    return IEquals(form, VQ_FORM_NDR) || IEquals(form, VQ_FORM_DR);
}

/* ---- files ---- */

namespace {

STATUS ErrnoStatus(int e)
{
    switch (e) {
    case ENOENT: return ERR_NOEXIST;
    case ENOTDIR: return ERR_DIRECTORY;
    case EACCES:
    case EPERM: return ERR_NOACCESS_FILE;
    case ENOSPC:
    case EDQUOT: return ERR_DISK_FULL;
    case ENAMETOOLONG: return ERR_PATH_TOO_LONG;
    default: return ERR_IO;
    }
}

}  // namespace

STATUS WriteWholeFile(const char *path, const char *data, size_t size, bool durable)
{
    if (path == nullptr || *path == '\0')
        return ERR_BAD_PARAM;
    errno = 0;
    FILE *f = PortFopen(path, "wb");
    if (f == nullptr)
        return ErrnoStatus(errno);
    STATUS s = NOERROR;
    if (size > 0 && PortFwrite(data, 1, size, f) != size)
        s = ErrnoStatus(errno ? errno : EIO);
    if (s == NOERROR && PortFerror(f))
        s = ERR_IO;
    if (s == NOERROR && durable && PortFsync(f) != 0)
        s = ErrnoStatus(errno);
    if (PortFclose(f) != 0 && s == NOERROR)
        s = ERR_IO;
    if (s != NOERROR)
        PortUnlink(path);
    return s;
}

STATUS ReadWholeFile(const char *path, std::string *out)
{
    out->clear();
    return AppendWholeFile(path, out);
}

STATUS AppendWholeFile(const char *path, std::string *out)
{
    if (path == nullptr || *path == '\0')
        return ERR_BAD_PARAM;
    errno = 0;
    FILE *f = PortFopen(path, "rb");
    if (f == nullptr)
        return ErrnoStatus(errno);
    /* the size it has now read straight into place; whatever it grew by
     * since, after it */
    struct stat st;
    const size_t at = out->size();
    if (::fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        out->resize(at + (size_t)st.st_size);
        out->resize(at + std::fread(&(*out)[at], 1, (size_t)st.st_size, f));
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    STATUS s = std::ferror(f) ? ERR_IO : NOERROR;
    PortFclose(f);
    return s;
}

}  // namespace mail
}  // namespace vq
