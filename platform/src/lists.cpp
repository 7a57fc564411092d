/*
 * lists.cpp - Notes text lists in their binary layout: an optional WORD
 * data-type prefix (TYPE_TEXT_LIST), the WORD entry count, one WORD length
 * per entry, then the texts packed without terminators.
 *
 * A list lives in a memory object; ListAddEntry grows it through its
 * handle, so pointers taken before a call must be fetched again after it.
 * Sizes are checked against the object before anything is read, so a
 * damaged list gives a status rather than a read past its end.
 *
 * vq::ParseTextList here is the one reader of the layout (vq_textlist.h):
 * the List* calls, the item calls, the mail half and the operator library
 * all go through it. A value too short to hold its count word, the empty
 * value too, is damaged rather than the empty list: a LIST always begins
 * with its USHORT entry count, and the empty list is that count, 0.
 */
#include <cstring>
#include <vector>

#include "runtime_internal.h"
#include "vq_runtime.h"
#include "vq_textlist.h"

namespace {

/* A list is one segment: its whole size must fit a WORD. */
constexpr DWORD kMaxListSize = 0xFFFFu;

WORD ReadWord(const unsigned char *p)
{
    WORD w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

void WriteWord(unsigned char *p, WORD w)
{
    std::memcpy(p, &w, sizeof w);
}

DWORD PrefixSize(BOOL fPrefix)
{
    return fPrefix ? (DWORD)sizeof(WORD) : 0u;
}

/* A list in memory trusts its own header (as in Notes): its extent is
 * the largest a list may have. */
std::string_view Extent(const unsigned char *list, DWORD size, BOOL fPrefix)
{
    const DWORD pre = PrefixSize(fPrefix);
    return std::string_view(reinterpret_cast<const char *>(list) + pre, size > pre ? size - pre : 0);
}

/* Size of the used bytes of a list that lies inside objSize bytes; 0 when
 * its header or texts do not. */
DWORD CheckedUsedSize(const unsigned char *list, DWORD objSize, BOOL fPrefix)
{
    std::vector<std::string_view> entries;
    const std::string_view value = Extent(list, objSize, fPrefix);
    if (!vq::ParseTextList(value, &entries))
        return 0;
    if (entries.empty())
        return PrefixSize(fPrefix) + 2u;
    return (DWORD)(entries.back().data() + entries.back().size() - (const char *)list);
}

/* Size of a list from its own header. */
DWORD UsedSize(const unsigned char *list, BOOL fPrefix)
{
    const DWORD size = CheckedUsedSize(list, kMaxListSize, fPrefix);
    return size != 0 ? size : kMaxListSize + 1;
}

}  // namespace

namespace vq {

bool ParseTextList(std::string_view value, std::vector<std::string_view> *entries)
{
    entries->clear();
    if (value.size() < sizeof(WORD))
        return false;
    const auto *p = reinterpret_cast<const unsigned char *>(value.data());
    const WORD count = ReadWord(p);
    size_t pos = sizeof(WORD) * (1 + (size_t)count);
    if (pos > value.size())
        return false;
    for (WORD i = 0; i < count; ++i) {
        const WORD len = ReadWord(p + sizeof(WORD) * (1 + (size_t)i));
        if (pos + len > value.size())
            return false;
        entries->push_back(value.substr(pos, len));
        pos += len;
    }
    return true;
}

std::string BuildTextList(const std::vector<std::string_view> &entries)
{
    std::string out(sizeof(WORD) * (1 + entries.size()), '\0');
    auto *p = reinterpret_cast<unsigned char *>(&out[0]);
    WriteWord(p, (WORD)entries.size());
    for (size_t i = 0; i < entries.size(); ++i)
        WriteWord(p + sizeof(WORD) * (1 + i), (WORD)entries[i].size());
    for (const auto &e : entries)
        out.append(e.data(), e.size());
    return out;
}

}  // namespace vq

STATUS ListAllocate(WORD ListEntries, WORD TextSize, BOOL fPrefixDataType,
                    DHANDLE *rethList, void *retpList, WORD *retListSize)
{
    if (rethList == nullptr)
        return ERR_BAD_PARAM;
    *rethList = NULLHANDLE;
    const DWORD pre = PrefixSize(fPrefixDataType);
    const DWORD size = pre + 2u + 2u * (DWORD)ListEntries + TextSize;
    if (size > kMaxListSize)
        return ERR_SEGMENT_TOO_BIG;
    DHANDLE h = NULLHANDLE;
    STATUS error = OSMemAlloc(0, size, &h);
    if (error != NOERROR)
        return error;
    auto *p = static_cast<unsigned char *>(OSLockObject(h));
    /* The object is zero-filled: every entry starts with length 0. */
    if (fPrefixDataType)
        WriteWord(p, TYPE_TEXT_LIST);
    WriteWord(p + pre, ListEntries);
    *rethList = h;
    if (retpList != nullptr)
        *static_cast<void **>(retpList) = p;
    if (retListSize != nullptr)
        *retListSize = (WORD)size;
    return NOERROR;
}

STATUS ListAddEntry(DHANDLE hList, BOOL fPrefixDataType, WORD *pListSize,
                    WORD EntryNumber, const char *Text, WORD TextSize)
{
    if (Text == nullptr && TextSize > 0)
        return ERR_BAD_PARAM;
    DWORD objSize = 0;
    STATUS error = OSMemGetSize(hList, &objSize);
    if (error != NOERROR)
        return error;
    auto *p = static_cast<unsigned char *>(OSLockObject(hList));
    if (p == nullptr)
        return ERR_INVALID_HANDLE;

    const DWORD pre = PrefixSize(fPrefixDataType);
    const DWORD used = CheckedUsedSize(p, objSize, fPrefixDataType);
    if (used == 0) {
        OSUnlockObject(hList);
        return ERR_BAD_PARAM;
    }
    const WORD count = ReadWord(p + pre);
    if (EntryNumber > count) {
        OSUnlockObject(hList);
        return ERR_BAD_PARAM;
    }
    const DWORD newSize = used + 2u + TextSize;
    if (count == 0xFFFFu || newSize > kMaxListSize) {
        OSUnlockObject(hList);
        return ERR_SEGMENT_TOO_BIG;
    }

    /* Built aside first: Text may point into this very list. */
    std::vector<unsigned char> out(newSize);
    const unsigned char *oldLens = p + pre + 2u;
    const unsigned char *oldTexts = oldLens + 2u * count;
    DWORD before = 0;
    for (WORD i = 0; i < EntryNumber; ++i)
        before += ReadWord(oldLens + 2u * i);
    const DWORD textsUsed = used - pre - 2u - 2u * count;

    std::memcpy(out.data(), p, pre);
    WriteWord(out.data() + pre, (WORD)(count + 1));
    unsigned char *lens = out.data() + pre + 2u;
    std::memcpy(lens, oldLens, 2u * EntryNumber);
    WriteWord(lens + 2u * EntryNumber, TextSize);
    std::memcpy(lens + 2u * (EntryNumber + 1u), oldLens + 2u * EntryNumber,
                2u * (DWORD)(count - EntryNumber));
    unsigned char *texts = lens + 2u * (count + 1u);
    std::memcpy(texts, oldTexts, before);
    if (TextSize > 0)
        std::memcpy(texts + before, Text, TextSize);
    std::memcpy(texts + before + TextSize, oldTexts + before, textsUsed - before);
    OSUnlockObject(hList);

    error = OSMemRealloc(hList, newSize);
    if (error != NOERROR)
        return error;
    p = static_cast<unsigned char *>(OSLockObject(hList));
    std::memcpy(p, out.data(), newSize);
    OSUnlockObject(hList);
    if (pListSize != nullptr)
        *pListSize = (WORD)newSize;
    return NOERROR;
}

STATUS ListGetText(const void *pList, BOOL fPrefixDataType, WORD EntryNumber,
                   char **retTextPointer, WORD *retTextLength)
{
    if (pList == nullptr)
        return ERR_BAD_PARAM;
    const auto *p = static_cast<const unsigned char *>(pList);
    std::vector<std::string_view> entries;
    vq::ParseTextList(Extent(p, kMaxListSize, fPrefixDataType), &entries);
    if (EntryNumber >= ListGetNumEntries(pList, fPrefixDataType))
        return ERR_ODS_NO_SUCH_ENTRY;
    if (EntryNumber >= entries.size())
        return ERR_BAD_PARAM; /* the list runs past the largest a list may be */
    if (retTextPointer != nullptr)
        *retTextPointer = const_cast<char *>(entries[EntryNumber].data());
    if (retTextLength != nullptr)
        *retTextLength = (WORD)entries[EntryNumber].size();
    return NOERROR;
}

WORD ListGetNumEntries(const void *vList, BOOL NoteItem)
{
    if (vList == nullptr)
        return 0;
    return ReadWord(static_cast<const unsigned char *>(vList) + PrefixSize(NoteItem));
}

WORD ListGetSize(const void *pList, BOOL fPrefixDataType)
{
    if (pList == nullptr)
        return 0;
    const DWORD size = UsedSize(static_cast<const unsigned char *>(pList), fPrefixDataType);
    return size > kMaxListSize ? (WORD)kMaxListSize : (WORD)size;
}

STATUS ListDuplicate(LIST *pInList, BOOL fNoteItem, DHANDLE *phOutList)
{
    if (pInList == nullptr || phOutList == nullptr)
        return ERR_BAD_PARAM;
    *phOutList = NULLHANDLE;
    const DWORD size = UsedSize(reinterpret_cast<const unsigned char *>(pInList), fNoteItem);
    if (size > kMaxListSize)
        return ERR_SEGMENT_TOO_BIG;
    DHANDLE h = NULLHANDLE;
    STATUS error = OSMemAlloc(0, size, &h);
    if (error != NOERROR)
        return error;
    void *p = OSLockObject(h);
    std::memcpy(p, pInList, size);
    OSUnlockObject(h);
    *phOutList = h;
    return NOERROR;
}
