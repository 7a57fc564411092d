/*
 * recipient_items_fuzz.cpp - the send-to and copy-to items of a message,
 * listed by AddToItems for the Total-to and Copies-to lines: text lists
 * with entries of any bytes and lengths, single texts, items of another
 * type, and stored values whose list header does not match their length
 * (a message comes from other servers and clients, not only this one).
 *
 * The message is a note made in memory and never saved. Checked: the
 * count AddToItems reports is the list's own count, every listed name
 * fits 127 characters, a well-formed list gives one name per non-empty
 * entry (less the extended-fields marker when that flag is set), and no
 * handle is left open.
 */
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "notesapi.h"
#include "outbound.h"

using vqfuzz::Require;

namespace {

DBHANDLE g_db = NULLHANDLE;

/* Runs before the scratch folder goes (registered after it). */
void CloseDb()
{
    if (g_db != NULLHANDLE)
        NSFDbClose(g_db);
    g_db = NULLHANDLE;
}

enum { kList = 0, kText, kNumber, kRawList };

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "recipient_items_fuzz";
    vqfuzz::UseDataDirectory(vqfuzz::MakeScratch("items"));
    Require(NSFDbCreate("items.nsf", DBCLASS_NOTEFILE, TRUE) == NOERROR, "NSFDbCreate");
    Require(NSFDbOpen("items.nsf", &g_db) == NOERROR, "NSFDbOpen");
    std::atexit(CloseDb);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    FuzzedDataProvider In(Data, Size);
    const int Shape = In.ConsumeIntegralInRange<int>(kList, kRawList);
    const WORD ItemNum = In.ConsumeBool() ? MAIL_COPYTO_ITEM_NUM : MAIL_SENDTO_ITEM_NUM;
    const char *ItemName = ItemNum == MAIL_SENDTO_ITEM_NUM ? "SendTo" : "CopyTo";
    IsTambriDll = In.ConsumeBool() ? 1 : 0;
    const vqfuzz::HandleCheck Handles;

    NOTEHANDLE hNote = NULLHANDLE;
    Require(NSFNoteCreate(g_db, &hNote) == NOERROR, "NSFNoteCreate");

    int Expected = -1; /* names AddToItems must list; -1: not predicted */
    std::vector<std::string> Entries;
    switch (Shape) {
    case kList: {
        Expected = 0;
        while (In.remaining_bytes() > 0 && Entries.size() < 200) {
            std::string e = In.ConsumeRandomLengthString(400);
            if (In.ConsumeBool())
                e = std::string(TambriDllExtSig) + e; /* the marker, now and then */
            Entries.push_back(e);
        }
        for (size_t i = 0; i < Entries.size(); i++) {
            const std::string &e = Entries[i];
            STATUS s = i == 0 ? NSFItemCreateTextList(hNote, ItemName, e.data(), (WORD)e.size())
                              : NSFItemAppendTextList(hNote, ItemName, e.data(), (WORD)e.size(), TRUE);
            if (s != NOERROR) {
                Entries.resize(i);
                break;
            }
        }
        for (const std::string &e : Entries) {
            bool Marker = e.size() >= TAMBRI_SIG_LEN &&
                          std::memcmp(e.data(), TambriDllExtSig, TAMBRI_SIG_LEN) == 0;
            if (!e.empty() && !(IsTambriDll && Marker))
                Expected++;
        }
        break;
    }
    case kText: {
        std::string e = In.ConsumeRemainingBytesAsString();
        if (NSFItemAppend(hNote, 0, ItemName, (WORD)std::strlen(ItemName), TYPE_TEXT, e.data(),
                          e.size()) == NOERROR) {
            bool Marker = e.size() >= TAMBRI_SIG_LEN &&
                          std::memcmp(e.data(), TambriDllExtSig, TAMBRI_SIG_LEN) == 0;
            Expected = !e.empty() && !(IsTambriDll && Marker) ? 1 : 0;
        }
        break;
    }
    case kNumber: {
        NUMBER n = In.ConsumeFloatingPoint<double>();
        NSFItemSetNumber(hNote, ItemName, &n);
        Expected = 0;
        break;
    }
    default: {
        /* a value whose list header says what it likes */
        std::string raw = In.ConsumeRemainingBytesAsString();
        NSFItemAppend(hNote, 0, ItemName, (WORD)std::strlen(ItemName), TYPE_TEXT_LIST, raw.data(),
                      raw.size());
        break;
    }
    }

    DHANDLE hList = NULLHANDLE;
    LIST *List = nullptr;
    WORD ListSize = 0;
    WORD Amt = 0;
    Require(ListAllocate(0, 0, TRUE, &hList, &List, &ListSize) == NOERROR, "ListAllocate");
    OSUnlockObject(hList);

    STATUS s = AddToItems(hList, &ListSize, &Amt, hNote, ItemNum);

    List = (LIST *)OSLockObject(hList);
    Require(ListGetNumEntries(List, TRUE) == Amt, "count differs from the list's own");
    for (WORD i = 0; i < Amt; i++) {
        char *Text = nullptr;
        WORD Length = 0;
        Require(ListGetText(List, TRUE, i, &Text, &Length) == NOERROR, "listed entry unreadable");
        Require(Length < ADDTOITEMS_NAME_SIZE, "listed name longer than 127");
    }
    if (s == NOERROR && Expected >= 0)
        Require(Amt == Expected, "number of listed names differs");
    OSUnlockObject(hList);
    OSMemFree(hList);
    NSFNoteClose(hNote);

    Handles.Check();
    vqtest::ClearLog();
    return 0;
}
