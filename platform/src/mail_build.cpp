/*
 * mail_build.cpp - building messages: header items, the recipients item
 * (whose list the message takes over), plain-text bodies from lines or
 * from a text file, and attachments stored as "$FILE" items.
 *
 * A recipients list handed to a message stays readable until the message
 * is closed (callers may still copy it after adding it), and is freed by
 * MailCloseMessage.
 */
#include <cstring>
#include <map>
#include <mutex>

#include "mail_internal.h"
#include "nsf_internal.h"
#include "vq_mail.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

using namespace vq::mail;

namespace {

/* Lists taken over by open messages, freed when the message closes. */
std::mutex g_ownedMutex;
std::map<DHANDLE, std::vector<DHANDLE>> &OwnedLists()
{
    static auto *m = new std::map<DHANDLE, std::vector<DHANDLE>>;
    return *m;
}

std::string BaseName(const char *path)
{
    std::string p(path);
    size_t slash = p.find_last_of("/\\");
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

STATUS MailCreateMessage(DBHANDLE hFile, DHANDLE *rethMessage)
{
    if (rethMessage == nullptr)
        return ERR_BAD_PARAM;
    *rethMessage = NULLHANDLE;
    NOTEHANDLE h = NULLHANDLE;
    STATUS s = NSFNoteCreate(hFile, &h);
    if (s != NOERROR)
        return s;
    /* A memo unless the caller says otherwise. */
    s = SetText(h, "Form", "Memo", ITEM_SUMMARY);
    if (s != NOERROR) {
        NSFNoteClose(h);
        return s;
    }
    *rethMessage = h;
    return NOERROR;
}

STATUS MailCloseMessage(DHANDLE hMessage)
{
    std::vector<DHANDLE> lists;
    {
        std::lock_guard<std::mutex> lock(g_ownedMutex);
        auto it = OwnedLists().find(hMessage);
        if (it != OwnedLists().end()) {
            lists = it->second;
            OwnedLists().erase(it);
        }
    }
    for (DHANDLE l : lists)
        OSMemFree(l);
    return NSFNoteClose(hMessage);
}

STATUS MailAddHeaderItem(DHANDLE hMessage, WORD ItemCode, const void *Value, WORD ValueLength)
{
    const char *name = MailItemName(ItemCode);
    if (name == nullptr)
        return ERR_MAIL_BAD_ITEM_NUM;
    if (Value == nullptr && ValueLength > 0)
        return ERR_BAD_PARAM;
    std::string text(Value ? (const char *)Value : "", Value ? ValueLength : 0);
    return SetText(hMessage, name, text, ITEM_SUMMARY);
}

STATUS MailAddRecipientsItem(DHANDLE hMessage, DHANDLE hRecipientsItem, WORD RecipientsLength)
{
    DWORD size = 0;
    STATUS s = OSMemGetSize(hRecipientsItem, &size);
    if (s != NOERROR)
        return s;
    if (RecipientsLength < 2 * sizeof(WORD) || RecipientsLength > size)
        return ERR_BAD_PARAM;
    const char *p = (const char *)OSLockObject(hRecipientsItem);
    if (p == nullptr)
        return ERR_INVALID_HANDLE;
    WORD type;
    std::memcpy(&type, p, sizeof type);
    std::string value(p + sizeof(WORD), RecipientsLength - sizeof(WORD));
    OSUnlockObject(hRecipientsItem);
    std::vector<std::string> entries;
    if (type != TYPE_TEXT_LIST || !ParseTextList(value, &entries))
        return ERR_BAD_PARAM;
    const char *name = MailItemName(MAIL_RECIPIENTS_ITEM_NUM);
    NSFItemDelete(hMessage, name, (WORD)std::strlen(name));
    s = NSFItemAppend(hMessage, ITEM_SUMMARY, name, (WORD)std::strlen(name), TYPE_TEXT_LIST,
                      value.data(), (DWORD)value.size());
    if (s != NOERROR)
        return s;
    std::lock_guard<std::mutex> lock(g_ownedMutex);
    OwnedLists()[hMessage].push_back(hRecipientsItem);
    return NOERROR;
}

/* The body under construction is the lines so far, each ended by "\n". */
STATUS MailCreateBodyItem(DHANDLE *rethBodyItem, DWORD *retBodyLength)
{
    if (rethBodyItem == nullptr || retBodyLength == nullptr)
        return ERR_BAD_PARAM;
    *retBodyLength = 0;
    return OSMemAlloc(BLK_MEM_ALLOC, 0, rethBodyItem);
}

STATUS MailAppendBodyItemLine(DHANDLE hBodyItem, DWORD *BodyLength, const char *Text,
                              WORD TextLength)
{
    if (BodyLength == nullptr || (Text == nullptr && TextLength > 0))
        return ERR_BAD_PARAM;
    DWORD size = 0;
    STATUS s = OSMemGetSize(hBodyItem, &size);
    if (s != NOERROR)
        return s;
    DWORD used = *BodyLength < size ? *BodyLength : size;
    s = OSMemRealloc(hBodyItem, used + TextLength + 1);
    if (s != NOERROR)
        return s;
    char *p = (char *)OSLockObject(hBodyItem);
    if (p == nullptr)
        return ERR_INVALID_HANDLE;
    if (TextLength > 0)
        std::memcpy(p + used, Text, TextLength);
    p[used + TextLength] = '\n';
    OSUnlockObject(hBodyItem);
    *BodyLength = used + TextLength + 1;
    return NOERROR;
}

STATUS MailAddBodyItem(DHANDLE hMessage, DHANDLE hBodyItem, DWORD BodyLength, const char *)
{
    DWORD size = 0;
    STATUS s = OSMemGetSize(hBodyItem, &size);
    if (s != NOERROR)
        return s;
    DWORD used = BodyLength < size ? BodyLength : size;
    std::string text;
    if (used > 0) {
        const char *p = (const char *)OSLockObject(hBodyItem);
        if (p == nullptr)
            return ERR_INVALID_HANDLE;
        text.assign(p, used);
        OSUnlockObject(hBodyItem);
    }
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return SetText(hMessage, "Body", text, 0);
}

STATUS MailAddMessageBodyText(DHANDLE hMessage, const char *ItemName, const char *InputFileName,
                              DWORD, const char *LineDelim, WORD, const char *)
{
    std::string raw;
    STATUS s = ReadWholeFile(InputFileName, &raw);
    if (s != NOERROR)
        return s;
    std::string delims = (LineDelim != nullptr && *LineDelim != '\0') ? LineDelim : "\r\n";
    std::string body, line;
    bool open = false; /* a line has begun that no delimiter ended yet */
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == 0x1A)
            break;
        if (delims.find(c) != std::string::npos) {
            if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n' &&
                delims.find('\n') != std::string::npos)
                ++i;
            body += line + "\n";
            line.clear();
            open = false;
            continue;
        }
        line += c;
        open = true;
    }
    if (open)
        body += line + "\n";
    if (!body.empty())
        body.pop_back();
    const char *name = (ItemName != nullptr && *ItemName != '\0') ? ItemName : "Body";
    return SetText(hMessage, name, body, 0);
}

STATUS MailAddMessageAttachment(DHANDLE hMessage, const char *FileName,
                                const char *OriginalFileName)
{
    if (FileName == nullptr || *FileName == '\0')
        return ERR_BAD_PARAM;
    std::string name = (OriginalFileName != nullptr && *OriginalFileName != '\0')
                           ? std::string(OriginalFileName)
                           : BaseName(FileName);
    if (name.size() > MAXPATH - 1)
        name.resize(MAXPATH - 1);
    FileObjectHeader hdr;
    std::memset(&hdr, 0, sizeof hdr);
    /* header, name, then the file's bytes read straight after them; the
     * header learns the data's length once they are read */
    std::string value((const char *)&hdr, sizeof hdr);
    value.append(name);
    STATUS s = AppendWholeFile(FileName, &value);
    if (s != NOERROR)
        return s;
    hdr.Magic = VQ_FILE_MAGIC;
    hdr.NameLength = (DWORD)name.size();
    hdr.DataLength = (DWORD)(value.size() - sizeof hdr - name.size());
    OSCurrentTIMEDATE(&hdr.Created);
    hdr.Modified = hdr.Created;
    std::memcpy(&value[0], &hdr, sizeof hdr);
    return vq::nsf::AppendItemValue(hMessage, 0, VQ_ITEM_FILE, TYPE_OBJECT, std::move(value));
}
