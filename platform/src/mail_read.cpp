/*
 * mail_read.cpp - reading an open message: its items by mail item number,
 * the body as plain text into a file, and its attachments ("$FILE" items)
 * written back out byte for byte.
 */
#include <cstring>
#include <string_view>

#include "mail_internal.h"
#include "vq_mail.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

using namespace vq::mail;

namespace {

/* Tab stops of the plain-text body. */
const size_t kTabWidth = 8;

std::string ExpandTabs(std::string_view line)
{
    std::string out;
    for (char c : line) {
        if (c == '\t') {
            do
                out += ' ';
            while (out.size() % kTabWidth != 0);
        } else {
            out += c;
        }
    }
    return out;
}

/* Appends a line cut into pieces of at most width characters, at the last
 * blank that fits when there is one (the blank itself is dropped), else
 * hard; each piece ends with delim. */
void AppendWrapped(std::string *out, std::string_view line, size_t width, const std::string &delim)
{
    size_t pos = 0;
    while (width != 0 && line.size() - pos > width) {
        size_t cut = std::string::npos;
        for (size_t i = pos + width; i > pos; --i)
            if (line[i] == ' ') {
                cut = i;
                break;
            }
        if (cut == std::string::npos) {
            out->append(line.substr(pos, width));
            pos += width;
        } else {
            out->append(line.substr(pos, cut - pos));
            pos = cut + 1;
        }
        out->append(delim);
    }
    out->append(line.substr(pos));
    out->append(delim);
}

/* The value block of attachment Num (its type word first), or a null
 * block. The block belongs to the note. */
bool AttachmentBlock(DHANDLE hMessage, WORD num, BLOCKID *bhValue, DWORD *length)
{
    BLOCKID item, value;
    WORD type = 0;
    DWORD len = 0;
    STATUS s = NSFItemInfo(hMessage, VQ_ITEM_FILE, (WORD)std::strlen(VQ_ITEM_FILE), &item, &type,
                           &value, &len);
    for (WORD i = 0; s == NOERROR && i < num; ++i) {
        BLOCKID prev = item;
        s = NSFItemInfoNext(hMessage, prev, VQ_ITEM_FILE, (WORD)std::strlen(VQ_ITEM_FILE), &item,
                            &type, &value, &len);
    }
    if (s != NOERROR || type != TYPE_OBJECT)
        return false;
    *bhValue = value;
    *length = len;
    return true;
}

/* Reads the header of an attachment block; false when it is not one. */
bool ReadHeader(BLOCKID bh, FileObjectHeader *hdr, std::string *name)
{
    DWORD size = 0;
    if (ISNULLBLOCKID(bh) || OSMemGetSize(bh.pool, &size) != NOERROR || size < bh.block)
        return false;
    size -= bh.block;
    const char *p = OSLockBlock(const char, bh);
    if (p == nullptr)
        return false;
    bool ok = false;
    WORD type;
    if (size >= sizeof(WORD) + sizeof *hdr) {
        std::memcpy(&type, p, sizeof type);
        std::memcpy(hdr, p + sizeof(WORD), sizeof *hdr);
        ok = type == TYPE_OBJECT && hdr->Magic == VQ_FILE_MAGIC &&
             (size_t)sizeof(WORD) + sizeof *hdr + hdr->NameLength + hdr->DataLength <= size;
        if (ok && name)
            name->assign(p + sizeof(WORD) + sizeof *hdr, hdr->NameLength);
    }
    OSUnlockBlock(bh);
    return ok;
}

}  // namespace

BOOL MailIsNonDeliveryReport(DHANDLE hMessage)
{
    return IEquals(Trim(ItemText(hMessage, "Form")), VQ_FORM_NDR) ? TRUE : FALSE;
}

STATUS MailGetMessageItem(DHANDLE hMessage, WORD ItemCode, char *retString, WORD StringSize,
                          WORD *retStringLength)
{
    CopyOut("", retString, StringSize, retStringLength);
    const char *name = MailItemName(ItemCode);
    if (name == nullptr)
        return ERR_MAIL_BAD_ITEM_NUM;
    WORD type = 0;
    std::string value;
    /* A missing item reads as the empty text, as a non-text item does: a
     * memo without a subject is still a memo. */
    if (!ItemValue(hMessage, name, &type, &value))
        return NOERROR;
    std::string text;
    if (type == TYPE_TEXT) {
        text = value;
    } else if (type == TYPE_TEXT_LIST) {
        std::vector<std::string> l;
        ParseTextList(value, &l);
        for (size_t i = 0; i < l.size(); ++i)
            text += (i ? ", " : "") + l[i];
    }
    CopyOut(text, retString, StringSize, retStringLength);
    return NOERROR;
}

STATUS MailGetMessageItemHandle(DHANDLE hMessage, WORD ItemCode, BLOCKID *retbhValue,
                                WORD *retValueType, DWORD *retValueLength)
{
    const char *name = MailItemName(ItemCode);
    if (name == nullptr)
        return ERR_MAIL_BAD_ITEM_NUM;
    BLOCKID item, value;
    WORD type = 0;
    DWORD len = 0;
    if (NSFItemInfo(hMessage, name, (WORD)std::strlen(name), &item, &type, &value, &len) !=
        NOERROR)
        return ERR_MAIL_NO_ITEM;
    if (retbhValue)
        *retbhValue = value;
    if (retValueType)
        *retValueType = type;
    if (retValueLength)
        *retValueLength = len;
    return NOERROR;
}

STATUS MailGetMessageItemTimeDate(DHANDLE hMessage, WORD ItemCode, TIMEDATE *retTimeDate)
{
    if (ItemCode != MAIL_COMPOSEDDATE_ITEM_NUM && ItemCode != MAIL_POSTEDDATE_ITEM_NUM &&
        ItemCode != MAIL_DELIVEREDDATE_ITEM_NUM && ItemCode != MAIL_DELIVERYDATE_ITEM_NUM)
        return ERR_MAIL_BAD_ITEM_NUM;
    if (retTimeDate == nullptr)
        return ERR_BAD_PARAM;
    if (!NSFItemGetTime(hMessage, MailItemName(ItemCode), retTimeDate))
        return ERR_MAIL_NO_ITEM;
    return NOERROR;
}

std::string vq::mail::BodyText(DHANDLE hMessage, const char *ItemName, const char *LineDelims,
                               WORD LineLength, BOOL ConvertTabs)
{
    const char *name = (ItemName != nullptr && *ItemName != '\0') ? ItemName : "Body";
    std::string delim = LineDelims != nullptr ? LineDelims : "\r\n";
    std::vector<std::string> lines = ItemList(hMessage, name);
    std::string out, expanded;
    size_t size = 0;
    for (const auto &entry : lines)
        size += entry.size() + delim.size();
    out.reserve(size);
    for (const auto &entry : lines) {
        /* A text body holds its lines joined by "\n". */
        size_t start = 0;
        while (true) {
            const size_t nl = entry.find('\n', start);
            std::string_view line(entry.data() + start,
                                  (nl == std::string::npos ? entry.size() : nl) - start);
            if (ConvertTabs && line.find('\t') != std::string_view::npos) {
                expanded = ExpandTabs(line);
                line = expanded;
            }
            AppendWrapped(&out, line, LineLength, delim);
            if (nl == std::string::npos)
                break;
            start = nl + 1;
        }
    }
    if (lines.size() == 1 && lines[0].empty())
        out.clear(); /* an empty body is an empty file, not one blank line */
    return out;
}

STATUS MailGetMessageBodyText(DHANDLE hMessage, const char *ItemName, const char *LineDelims,
                              WORD LineLength, BOOL ConvertTabs, const char *OutputFileName,
                              DWORD *OutputFileSize)
{
    if (OutputFileSize)
        *OutputFileSize = 0;
    const std::string out = BodyText(hMessage, ItemName, LineDelims, LineLength, ConvertTabs);
    /* An export to be read back, never a hand-over: not synced. */
    STATUS s = WriteWholeFile(OutputFileName, out.data(), out.size(), false);
    if (s == NOERROR && OutputFileSize)
        *OutputFileSize = (DWORD)out.size();
    return s;
}

STATUS VqMailGetMessageBodyBlock(DHANDLE hMessage, const char *ItemName, const char *LineDelims,
                                 WORD LineLength, BOOL ConvertTabs, DHANDLE *rethText,
                                 DWORD *retLength)
{
    if (rethText == nullptr || retLength == nullptr)
        return ERR_BAD_PARAM;
    *rethText = NULLHANDLE;
    *retLength = 0;
    const std::string out = BodyText(hMessage, ItemName, LineDelims, LineLength, ConvertTabs);
    STATUS s = OSMemAlloc(BLK_MEM_ALLOC, out.empty() ? 1 : (DWORD)out.size(), rethText);
    if (s != NOERROR)
        return s;
    std::memcpy(OSLockObject(*rethText), out.data(), out.size());
    OSUnlockObject(*rethText);
    *retLength = (DWORD)out.size();
    return NOERROR;
}

BOOL MailGetMessageAttachmentInfo(DHANDLE hMessage, WORD Num, BLOCKID *bhItem, char *FileName,
                                  DWORD *FileSize, WORD *FileAttributes, WORD *FileHostType,
                                  TIMEDATE *FileCreated, TIMEDATE *FileModified)
{
    BLOCKID bh;
    DWORD len = 0;
    FileObjectHeader hdr;
    std::string name;
    if (!AttachmentBlock(hMessage, Num, &bh, &len) || !ReadHeader(bh, &hdr, &name))
        return FALSE;
    if (bhItem)
        *bhItem = bh;
    if (FileName)
        CopyOut(name, FileName, MAXPATH + 1, nullptr);
    if (FileSize)
        *FileSize = hdr.DataLength;
    if (FileAttributes)
        *FileAttributes = 0;
    if (FileHostType)
        *FileHostType = 0;
    if (FileCreated)
        *FileCreated = hdr.Created;
    if (FileModified)
        *FileModified = hdr.Modified;
    return TRUE;
}

STATUS MailExtractMessageAttachment(DHANDLE, BLOCKID bhItem, const char *FileName)
{
    FileObjectHeader hdr;
    if (!ReadHeader(bhItem, &hdr, nullptr))
        return ERR_MAIL_NO_ATTACHMENT;
    const char *p = OSLockBlock(const char, bhItem);
    if (p == nullptr)
        return ERR_MAIL_NO_ATTACHMENT;
    STATUS s = WriteWholeFile(FileName, p + sizeof(WORD) + sizeof hdr + hdr.NameLength,
                              hdr.DataLength);
    OSUnlockBlock(bhItem);
    return s;
}
