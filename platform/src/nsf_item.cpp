/*
 * nsf_item.cpp - items of a note in memory: the setters (texts, text
 * lists, times, numbers, typed items), the getters, NSFItemInfo /
 * NSFItemInfoNext and NSFItemScan, and the value encodings they share.
 *
 * Item names compare without case and keep the case they were written
 * with. Several items of one name may exist (attachments "$FILE"); the
 * setters replace all of them, NSFItemAppend adds one. Value blocks that
 * NSFItemInfo hands out are memory objects owned by the note: one per
 * item, made at the first request and freed by NSFNoteClose.
 *
 * NSFItemInfo's item BLOCKID: pool is the item's value block, block is the
 * item's index in the note when it was handed out; NSFItemInfoNext finds
 * the item again by its value block.
 */
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "nsf_internal.h"
#include "vq_nsf.h"
#include "vq_runtime.h"

namespace vq {
namespace nsf {

std::string Lower(std::string_view s)
{
    std::string out(s);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return out;
}

bool ItemText(WORD type, std::string_view value, std::string *text)
{
    switch (type) {
    case TYPE_TEXT: text->assign(value.data(), value.size()); return true;
    case TYPE_TEXT_LIST: {
        std::vector<std::string_view> entries;
        if (!ParseTextList(value, &entries))
            return false;
        if (entries.empty())
            text->clear();
        else
            text->assign(entries[0].data(), entries[0].size());
        return true;
    }
    case TYPE_NUMBER: {
        if (value.size() != sizeof(NUMBER))
            return false;
        NUMBER n;
        std::memcpy(&n, value.data(), sizeof n);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", n);
        *text = buf;
        return true;
    }
    case TYPE_TIME: {
        if (value.size() != sizeof(TIMEDATE))
            return false;
        TIMEDATE t;
        std::memcpy(&t, value.data(), sizeof t);
        char buf[MAXALPHATIMEDATE + 1];
        WORD len = 0;
        if (ConvertTIMEDATEToText(nullptr, nullptr, &t, buf, MAXALPHATIMEDATE, &len) != NOERROR)
            return false;
        text->assign(buf, len);
        return true;
    }
    default: return false;
    }
}

namespace {

constexpr size_t kNone = (size_t)-1;
/* An item must fit a memory object with its type word, or NSFItemInfo
 * could not hand it back (memory objects hold at most 64 MB). */
constexpr DWORD kMaxItemValue = 64u * 1024u * 1024u - sizeof(WORD);
/* A text list counts its entries in a WORD. */
constexpr size_t kMaxListEntries = 0xFFFF;
/* ...and gives each entry's length in a WORD: a longer entry would wrap
 * its length and every later entry would read from the wrong place. */
constexpr size_t kMaxListEntry = 0xFFFF;

size_t FindItem(const Note &note, std::string_view name, size_t from = 0)
{
    for (size_t i = from; i < note.items.size(); ++i)
        if (EqualNoCase(note.items[i].name, name))
            return i;
    return kNone;
}

/* Removes every item of the name; returns the index of the first removed
 * (kNone when there was none). Handed-out blocks stay valid until close. */
size_t RemoveItems(Note *note, std::string_view name)
{
    size_t first = kNone;
    for (size_t i = 0; i < note->items.size();) {
        if (EqualNoCase(note->items[i].name, name)) {
            if (first == kNone)
                first = i;
            if (note->items[i].block != NULLHANDLE)
                note->retired.push_back(note->items[i].block);
            note->items.erase(note->items.begin() + (std::ptrdiff_t)i);
        } else {
            ++i;
        }
    }
    return first;
}

/* Looks whether two items of the note share a name, in a note of a few
 * items (a note of many is searched as before). The names are spread over
 * buckets by their length and end letters, without regard to case, and
 * only names of one bucket are compared. */
void LearnNames(Note *note)
{
    const std::vector<Item> &items = note->items;
    note->names = Note::Names::Repeated;
    if (items.size() > 32)
        return;
    signed char head[64], next[32];
    std::memset(head, -1, sizeof head);
    for (size_t i = 0; i < items.size(); ++i) {
        const std::string &name = items[i].name;
        unsigned h = (unsigned)name.size() * 8;
        if (!name.empty())
            h += ((unsigned char)name.front() | 0x20u) * 5 + ((unsigned char)name.back() | 0x20u);
        h &= 63;
        for (int j = head[h]; j >= 0; j = next[j])
            if (EqualNoCase(items[(size_t)j].name, name))
                return;
        next[i] = head[h];
        head[h] = (signed char)i;
    }
    note->names = Note::Names::Distinct;
}

/* The item of the name in a note whose names are distinct, searched from
 * where the last item set was, round to it; kNone when there is none. */
size_t FindDistinct(const Note &note, std::string_view name)
{
    const size_t n = note.items.size(), from = note.nextSet < n ? note.nextSet : 0;
    for (size_t i = from; i < n; ++i)
        if (EqualNoCase(note.items[i].name, name))
            return i;
    for (size_t i = 0; i < from; ++i)
        if (EqualNoCase(note.items[i].name, name))
            return i;
    return kNone;
}

/* Replaces all items of the name by one, where the first of them was. */
void ReplaceItem(Note *note, std::string_view name, WORD type, std::string_view value)
{
    if (note->names == Note::Names::Unknown)
        LearnNames(note);
    const bool distinct = note->names == Note::Names::Distinct;
    /* the usual cases: no item of the name yet (appended), or one item
     * (replaced where it is) */
    size_t at = distinct ? FindDistinct(*note, name) : FindItem(*note, name);
    note->nextSet = at == kNone ? 0 : at + 1;
    if (at == kNone) {
        Item &it = note->items.emplace_back(); /* its strings start empty */
        it.name.append(name.data(), name.size());
        it.flags = ITEM_SUMMARY;
        it.type = type;
        it.value.append(value.data(), value.size());
        return;
    }
    if (distinct || FindItem(*note, name, at + 1) == kNone) {
        Item &it = note->items[at];
        if (it.block != NULLHANDLE) {
            note->retired.push_back(it.block);
            it.block = NULLHANDLE;
        }
        if (std::string_view(it.name) != name)
            it.name.assign(name.data(), name.size());
        it.flags = ITEM_SUMMARY;
        it.type = type;
        it.value.assign(value.data(), value.size()); /* in the buffer it has */
        it.slot = 0;
        return;
    }
    at = RemoveItems(note, name);
    Item it;
    it.name.assign(name.data(), name.size());
    it.flags = ITEM_SUMMARY;
    it.type = type;
    it.value.assign(value.data(), value.size());
    if (at == kNone || at > note->items.size())
        note->items.push_back(std::move(it));
    else
        note->items.insert(note->items.begin() + (std::ptrdiff_t)at, std::move(it));
}

bool ValidName(const char *name)
{
    return name != nullptr && *name != '\0';
}

std::string_view TextArg(const char *text, WORD length)
{
    if (text == nullptr)
        return std::string_view("", 0);
    if (length == MAXWORD)
        return std::string_view(text);
    return std::string_view(text, length);
}

/* Copies text into a buffer of size n: cut at n - 1, always terminated. */
WORD CopyCut(std::string_view text, char *buf, size_t n)
{
    if (buf == nullptr || n == 0)
        return 0;
    size_t len = text.size() < n - 1 ? text.size() : n - 1;
    if (len > 0)
        std::memcpy(buf, text.data(), len);
    buf[len] = '\0';
    return (WORD)len;
}

/* The item's value block (type word, then the value), made once. */
STATUS EnsureBlock(Item *it)
{
    if (it->block != NULLHANDLE)
        return NOERROR;
    if (it->value.size() > 0xFFFFFFFFu - sizeof(WORD))
        return ERR_MEMORY;
    DHANDLE h = NULLHANDLE;
    STATUS s = OSMemAlloc(BLK_MEM_ALLOC, (DWORD)(sizeof(WORD) + it->value.size()), &h);
    if (s != NOERROR)
        return s;
    char *p = (char *)OSLockObject(h);
    std::memcpy(p, &it->type, sizeof(WORD));
    if (!it->value.empty())
        std::memcpy(p + sizeof(WORD), it->value.data(), it->value.size());
    OSUnlockObject(h);
    it->block = h;
    return NOERROR;
}

STATUS InfoAt(Note *note, size_t i, BLOCKID *retbhItem, WORD *retDataType, BLOCKID *retbhValue,
              DWORD *retValueLength)
{
    Item &it = note->items[i];
    STATUS s = EnsureBlock(&it);
    if (s != NOERROR)
        return s;
    if (retbhItem != nullptr) {
        retbhItem->pool = it.block;
        retbhItem->block = (WORD)i;
    }
    if (retDataType != nullptr)
        *retDataType = it.type;
    if (retbhValue != nullptr) {
        retbhValue->pool = it.block;
        retbhValue->block = 0;
    }
    if (retValueLength != nullptr)
        *retValueLength = (DWORD)(sizeof(WORD) + it.value.size());
    return NOERROR;
}

void NotFound(BLOCKID *retbhItem, WORD *retDataType, BLOCKID *retbhValue, DWORD *retValueLength)
{
    if (retbhItem != nullptr) {
        retbhItem->pool = NULLHANDLE;
        retbhItem->block = NULLBLOCK;
    }
    if (retDataType != nullptr)
        *retDataType = TYPE_INVALID_OR_UNKNOWN;
    if (retbhValue != nullptr) {
        retbhValue->pool = NULLHANDLE;
        retbhValue->block = NULLBLOCK;
    }
    if (retValueLength != nullptr)
        *retValueLength = 0;
}

const Item *FirstItem(NOTEHANDLE hNote, const char *name, const char *call)
{
    Note *note = GetNote(hNote, call);
    if (note == nullptr || name == nullptr)
        return nullptr;
    size_t i = FindItem(*note, name);
    return i == kNone ? nullptr : &note->items[i];
}

/* Replaces the item by a value of fixed size (a time, a number). */
STATUS SetFixed(NOTEHANDLE hNote, const char *call, const char *name, WORD type,
                const void *value, size_t size)
{
    Note *note = GetNote(hNote, call);
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    if (!ValidName(name) || value == nullptr)
        return ERR_BAD_PARAM;
    ReplaceItem(note, name, type, std::string_view((const char *)value, size));
    return NOERROR;
}

/* Reads a value of fixed size: only an item of that type and size is one. */
BOOL GetFixed(NOTEHANDLE hNote, const char *call, const char *name, WORD type, void *ret,
              size_t size)
{
    const Item *it = FirstItem(hNote, name, call);
    if (it == nullptr || it->type != type || it->value.size() != size)
        return FALSE;
    if (ret != nullptr)
        std::memcpy(ret, it->value.data(), size);
    return TRUE;
}

}  // namespace

namespace {

/* Appends an item, whole or not at all (std::bad_alloc). */
void AppendItem(Note *note, std::string_view name, WORD flags, WORD type, Value value)
{
    Item it;
    it.name.assign(name.data(), name.size());
    it.flags = flags;
    it.type = type;
    it.value = std::move(value);
    note->items.push_back(std::move(it));
    if (note->names == Note::Names::Distinct)
        note->names = Note::Names::Unknown; /* the name may be there already */
}

}  // namespace

STATUS AppendItemsOf(NOTEHANDLE hFrom, NOTEHANDLE hTo, const std::vector<std::string> &skip)
{
    const Note *from = GetNote(hFrom, "AppendItemsOf");
    Note *to = GetNote(hTo, "AppendItemsOf");
    if (from == nullptr || to == nullptr)
        return ERR_INVALID_HANDLE;
    if (from == to)
        return ERR_BAD_PARAM;
    try {
        for (const Item &it : from->items) {
            bool skipped = false;
            for (const std::string &name : skip)
                skipped = skipped || EqualNoCase(it.name, name);
            if (skipped)
                continue;
            if (it.name.empty())
                return ERR_BAD_PARAM;
            /* name, flags, type and value (shared): the copy is not
             * stored yet */
            AppendItem(to, it.name, it.flags, it.type, it.value);
        }
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

}  // namespace nsf
}  // namespace vq

using vq::nsf::Item;
using vq::nsf::Note;

STATUS NSFItemSetText(NOTEHANDLE hNote, const char *ItemName, const char *Text, WORD TextLength)
{
    Note *note = vq::nsf::GetNote(hNote, "NSFItemSetText");
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    if (!vq::nsf::ValidName(ItemName) || (Text == nullptr && TextLength != 0))
        return ERR_BAD_PARAM;
    std::string_view text = vq::nsf::TextArg(Text, TextLength);
    vq::nsf::ReplaceItem(note, ItemName, TYPE_TEXT, text);
    return NOERROR;
}

STATUS NSFItemCreateTextList(NOTEHANDLE hNote, const char *ItemName, const char *Text,
                             WORD TextLength)
{
    Note *note = vq::nsf::GetNote(hNote, "NSFItemCreateTextList");
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    if (!vq::nsf::ValidName(ItemName) || (Text == nullptr && TextLength != 0))
        return ERR_BAD_PARAM;
    std::string_view text = vq::nsf::TextArg(Text, TextLength);
    if (text.size() > vq::nsf::kMaxListEntry)
        return ERR_SEGMENT_TOO_BIG;
    vq::nsf::ReplaceItem(note, ItemName, TYPE_TEXT_LIST, vq::nsf::BuildTextList({text}));
    return NOERROR;
}

STATUS NSFItemAppendTextList(NOTEHANDLE hNote, const char *ItemName, const char *Text,
                             WORD TextLength, BOOL fAllowDuplicates)
{
    Note *note = vq::nsf::GetNote(hNote, "NSFItemAppendTextList");
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    if (!vq::nsf::ValidName(ItemName) || (Text == nullptr && TextLength != 0))
        return ERR_BAD_PARAM;
    std::string_view text = vq::nsf::TextArg(Text, TextLength);
    if (text.size() > vq::nsf::kMaxListEntry)
        return ERR_SEGMENT_TOO_BIG;
    size_t i = vq::nsf::FindItem(*note, ItemName);
    if (i == vq::nsf::kNone) {
        vq::nsf::ReplaceItem(note, ItemName, TYPE_TEXT_LIST, vq::nsf::BuildTextList({text}));
        return NOERROR;
    }
    Item &it = note->items[i];
    std::vector<std::string_view> entries;
    if (it.type == TYPE_TEXT && it.value.size() > vq::nsf::kMaxListEntry)
        return ERR_SEGMENT_TOO_BIG; /* the text could not be the list's first entry */
    if (it.type == TYPE_TEXT)
        entries.push_back(it.value);
    else if (it.type != TYPE_TEXT_LIST || !vq::nsf::ParseTextList(it.value, &entries))
        return ERR_BAD_PARAM; /* not a text item: appending would lose its value */
    if (!fAllowDuplicates)
        for (const auto &e : entries)
            if (e == text)
                return NOERROR;
    if (entries.size() >= vq::nsf::kMaxListEntries)
        return ERR_SEGMENT_TOO_BIG;
    entries.push_back(text);
    std::string value = vq::nsf::BuildTextList(entries);
    /* The list keeps its place; the old value block stays valid until close. */
    if (it.block != NULLHANDLE) {
        note->retired.push_back(it.block);
        it.block = NULLHANDLE;
    }
    it.type = TYPE_TEXT_LIST;
    it.value = std::move(value);
    it.slot = 0; /* no longer the stored value */
    return NOERROR;
}

STATUS NSFItemSetTime(NOTEHANDLE hNote, const char *ItemName, const TIMEDATE *Time)
{
    return vq::nsf::SetFixed(hNote, "NSFItemSetTime", ItemName, TYPE_TIME, Time, sizeof(TIMEDATE));
}

STATUS NSFItemSetNumber(NOTEHANDLE hNote, const char *ItemName, const NUMBER *Number)
{
    return vq::nsf::SetFixed(hNote, "NSFItemSetNumber", ItemName, TYPE_NUMBER, Number,
                             sizeof(NUMBER));
}

namespace vq {
namespace nsf {

STATUS AppendItemValue(NOTEHANDLE hNote, WORD flags, std::string_view name, WORD type, std::string &&value)
{
    Note *note = GetNote(hNote, "AppendItemValue");
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    if (name.empty())
        return ERR_BAD_PARAM;
    if (value.size() > kMaxItemValue)
        return ERR_MEMORY;
    try {
        AppendItem(note, name, flags, type, std::move(value));
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
    return NOERROR;
}

}  // namespace nsf
}  // namespace vq

STATUS NSFItemAppend(NOTEHANDLE hNote, WORD ItemFlags, const char *Name, WORD NameLength,
                     WORD DataType, const void *Value, DWORD ValueLength)
{
    if (vq::nsf::GetNote(hNote, "NSFItemAppend") == nullptr)
        return ERR_INVALID_HANDLE;
    if (Name == nullptr || NameLength == 0 || (Value == nullptr && ValueLength != 0))
        return ERR_BAD_PARAM;
    if (ValueLength > vq::nsf::kMaxItemValue)
        return ERR_MEMORY;
    try {
        std::string value(ValueLength != 0 ? (const char *)Value : "", ValueLength);
        return vq::nsf::AppendItemValue(hNote, ItemFlags, std::string_view(Name, NameLength), DataType,
                                        std::move(value));
    } catch (const std::bad_alloc &) {
        return ERR_MEMORY;
    }
}

STATUS NSFItemDelete(NOTEHANDLE hNote, const char *Name, WORD NameLength)
{
    Note *note = vq::nsf::GetNote(hNote, "NSFItemDelete");
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    if (Name == nullptr)
        return ERR_BAD_PARAM;
    if (vq::nsf::RemoveItems(note, std::string_view(Name, NameLength)) == vq::nsf::kNone)
        return ERR_ITEM_NOT_FOUND;
    return NOERROR;
}

BOOL NSFItemIsPresent(NOTEHANDLE hNote, const char *Name, WORD NameLength)
{
    Note *note = vq::nsf::GetNote(hNote, "NSFItemIsPresent");
    if (note == nullptr || Name == nullptr)
        return FALSE;
    return vq::nsf::FindItem(*note, std::string_view(Name, NameLength)) != vq::nsf::kNone;
}

WORD NSFItemGetText(NOTEHANDLE hNote, const char *ItemName, char *retBuffer, WORD BufferLength)
{
    const Item *it = vq::nsf::FirstItem(hNote, ItemName, "NSFItemGetText");
    std::string text;
    if (it == nullptr || !vq::nsf::ItemText(it->type, it->value, &text))
        text.clear();
    return vq::nsf::CopyCut(text, retBuffer, BufferLength);
}

STATUS NSFItemInfo(NOTEHANDLE hNote, const char *Name, WORD NameLength, BLOCKID *retbhItem,
                   WORD *retDataType, BLOCKID *retbhValue, DWORD *retValueLength)
{
    vq::nsf::NotFound(retbhItem, retDataType, retbhValue, retValueLength);
    Note *note = vq::nsf::GetNote(hNote, "NSFItemInfo");
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    size_t i = Name == nullptr ? (note->items.empty() ? vq::nsf::kNone : 0)
                               : vq::nsf::FindItem(*note, std::string_view(Name, NameLength));
    if (i == vq::nsf::kNone)
        return ERR_ITEM_NOT_FOUND;
    return vq::nsf::InfoAt(note, i, retbhItem, retDataType, retbhValue, retValueLength);
}

STATUS NSFItemInfoNext(NOTEHANDLE hNote, BLOCKID PrevItem, const char *Name, WORD NameLength,
                       BLOCKID *retbhItem, WORD *retDataType, BLOCKID *retbhValue,
                       DWORD *retValueLength)
{
    vq::nsf::NotFound(retbhItem, retDataType, retbhValue, retValueLength);
    Note *note = vq::nsf::GetNote(hNote, "NSFItemInfoNext");
    if (note == nullptr)
        return ERR_INVALID_HANDLE;
    size_t prev = vq::nsf::kNone;
    for (size_t i = 0; i < note->items.size(); ++i)
        if (PrevItem.pool != NULLHANDLE && note->items[i].block == PrevItem.pool) {
            prev = i;
            break;
        }
    if (prev == vq::nsf::kNone)
        return ERR_ITEM_NOT_FOUND;
    size_t i = Name == nullptr
                   ? (prev + 1 < note->items.size() ? prev + 1 : vq::nsf::kNone)
                   : vq::nsf::FindItem(*note, std::string_view(Name, NameLength), prev + 1);
    if (i == vq::nsf::kNone)
        return ERR_ITEM_NOT_FOUND;
    return vq::nsf::InfoAt(note, i, retbhItem, retDataType, retbhValue, retValueLength);
}

WORD NSFItemGetTextListEntries(NOTEHANDLE hNote, const char *ItemName)
{
    const Item *it = vq::nsf::FirstItem(hNote, ItemName, "NSFItemGetTextListEntries");
    if (it == nullptr)
        return 0;
    if (it->type == TYPE_TEXT)
        return 1;
    std::vector<std::string_view> entries;
    if (it->type != TYPE_TEXT_LIST || !vq::nsf::ParseTextList(it->value, &entries))
        return 0;
    return (WORD)entries.size();
}

WORD NSFItemGetTextListEntry(NOTEHANDLE hNote, const char *ItemName, WORD EntryPos,
                             char *retBuffer, WORD BufferLength)
{
    /* BufferLength is the size - 1: the buffer holds BufferLength + 1. */
    const size_t size = (size_t)BufferLength + 1;
    const Item *it = vq::nsf::FirstItem(hNote, ItemName, "NSFItemGetTextListEntry");
    std::vector<std::string_view> entries;
    std::string_view entry;
    if (it != nullptr && it->type == TYPE_TEXT)
        entries.push_back(it->value);
    else if (it != nullptr && it->type == TYPE_TEXT_LIST)
        vq::nsf::ParseTextList(it->value, &entries);
    if (EntryPos < entries.size())
        entry = entries[EntryPos];
    return vq::nsf::CopyCut(entry, retBuffer, size);
}

BOOL NSFItemGetTime(NOTEHANDLE hNote, const char *ItemName, TIMEDATE *retTime)
{
    return vq::nsf::GetFixed(hNote, "NSFItemGetTime", ItemName, TYPE_TIME, retTime,
                             sizeof(TIMEDATE));
}

BOOL NSFItemGetNumber(NOTEHANDLE hNote, const char *ItemName, NUMBER *retNumber)
{
    return vq::nsf::GetFixed(hNote, "NSFItemGetNumber", ItemName, TYPE_NUMBER, retNumber,
                             sizeof(NUMBER));
}

STATUS NSFItemScan(NOTEHANDLE hNote, NSFITEMSCANPROC ActionRoutine, void *RoutineParameter)
{
    if (ActionRoutine == nullptr)
        return ERR_BAD_PARAM;
    if (vq::nsf::GetNote(hNote, "NSFItemScan") == nullptr)
        return ERR_INVALID_HANDLE;
    std::string name, value;
    /* The routine may change the note: look it up again and hand out
     * copies, so nothing it is given dangles. */
    for (size_t i = 0;; ++i) {
        Note *note = vq::nsf::GetNote(hNote, "NSFItemScan");
        if (note == nullptr || i >= note->items.size())
            break;
        const Item &it = note->items[i];
        name = it.name;
        value.assign((const char *)&it.type, sizeof(WORD));
        value.append(it.value);
        WORD flags = it.flags;
        STATUS s = ActionRoutine(0, flags, &name[0], (WORD)name.size(), &value[0],
                                 (DWORD)value.size(), RoutineParameter);
        if (s != NOERROR)
            return s;
    }
    return NOERROR;
}
