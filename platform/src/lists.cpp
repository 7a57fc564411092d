/*
 * lists.cpp - Notes text lists in their binary layout: an optional WORD
 * data-type prefix (TYPE_TEXT_LIST), the WORD entry count, one WORD length
 * per entry, then the texts packed without terminators.
 *
 * A list lives in a memory object; ListAddEntry grows it through its
 * handle, so pointers taken before a call must be fetched again after it.
 * Sizes are checked against the object before anything is read, so a
 * damaged list gives a status rather than a read past its end.
 */
#include <cstring>
#include <vector>

#include "runtime_internal.h"
#include "vq_runtime.h"

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

/* Size of the list's used bytes, from its own header. */
DWORD UsedSize(const unsigned char *list, BOOL fPrefix)
{
    const DWORD pre = PrefixSize(fPrefix);
    const WORD count = ReadWord(list + pre);
    DWORD size = pre + 2u + 2u * count;
    for (WORD i = 0; i < count; ++i)
        size += ReadWord(list + pre + 2u + 2u * i);
    return size;
}

/* Checks that the header and the texts lie inside an object of objSize
 * bytes; returns the used size or 0 when they do not. */
DWORD CheckedUsedSize(const unsigned char *list, DWORD objSize, BOOL fPrefix)
{
    const DWORD pre = PrefixSize(fPrefix);
    if (objSize < pre + 2u)
        return 0;
    const WORD count = ReadWord(list + pre);
    if (objSize < pre + 2u + 2u * (DWORD)count)
        return 0;
    const DWORD size = UsedSize(list, fPrefix);
    return size <= objSize ? size : 0;
}

}  // namespace

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
    const DWORD pre = PrefixSize(fPrefixDataType);
    const WORD count = ReadWord(p + pre);
    if (EntryNumber >= count)
        return ERR_ODS_NO_SUCH_ENTRY;
    const unsigned char *lens = p + pre + 2u;
    DWORD offset = pre + 2u + 2u * count;
    for (WORD i = 0; i < EntryNumber; ++i)
        offset += ReadWord(lens + 2u * i);
    if (retTextPointer != nullptr)
        *retTextPointer = const_cast<char *>(reinterpret_cast<const char *>(p + offset));
    if (retTextLength != nullptr)
        *retTextLength = ReadWord(lens + 2u * EntryNumber);
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
