/*
 * text_list_fuzz.cpp - Notes text lists. A LIST pointer carries no size,
 * so ListGetText and ListGetNumEntries can only be as safe as the list
 * they are given; they are driven here with the lists the gateway makes
 * (ListAllocate, then ListAddEntry at the current count, entries of any
 * bytes and lengths, with and without the data-type prefix) and compared
 * with a plain model. ListAddEntry, which does know the size of the object
 * behind its handle, is also given objects of arbitrary bytes: it must
 * refuse a damaged list rather than read past it.
 */
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "notesapi.h"

using vqfuzz::Require;

namespace {

/* A list grown the gateway's way, checked entry by entry. */
void GrowAndRead(FuzzedDataProvider &In)
{
    const BOOL Prefix = In.ConsumeBool() ? TRUE : FALSE;
    DHANDLE hList = NULLHANDLE;
    LIST *List = nullptr;
    WORD Size = 0;
    std::vector<std::string> Model;

    Require(ListAllocate(0, 0, Prefix, &hList, &List, &Size) == NOERROR, "ListAllocate");
    OSUnlockObject(hList);
    size_t Used = (Prefix ? 2 : 0) + 2;
    while (In.remaining_bytes() > 0 && Model.size() < 2000) {
        /* now and then an entry that cannot fit a list */
        std::string Text = In.ConsumeBool() ? In.ConsumeRandomLengthString(300)
                                            : std::string(In.ConsumeIntegral<uint16_t>(), 'z');
        STATUS s = ListAddEntry(hList, Prefix, &Size, (WORD)Model.size(), Text.data(),
                                (WORD)Text.size());
        const bool Fits = Used + 2 + Text.size() <= 0xFFFF && Text.size() <= 0xFFFF;
        Require((s == NOERROR) == Fits, "ListAddEntry answer differs from the size rule");
        if (s != NOERROR)
            continue;
        Model.push_back(Text);
        Used += 2 + Text.size();
        Require(Size == Used, "list size differs");
    }

    List = (LIST *)OSLockObject(hList);
    Require(ListGetNumEntries(List, Prefix) == Model.size(), "entry count differs");
    Require(ListGetSize(List, Prefix) == Used, "ListGetSize differs");
    for (size_t i = 0; i < Model.size(); i++) {
        char *Text = nullptr;
        WORD Length = 0;
        Require(ListGetText(List, Prefix, (WORD)i, &Text, &Length) == NOERROR, "ListGetText");
        Require(std::string(Text, Length) == Model[i], "entry text differs");
    }
    char *Text = nullptr;
    WORD Length = 0;
    Require(ListGetText(List, Prefix, (WORD)Model.size(), &Text, &Length) != NOERROR,
            "an entry past the end was found");

    DHANDLE hCopy = NULLHANDLE;
    Require(ListDuplicate(List, Prefix, &hCopy) == NOERROR, "ListDuplicate");
    DWORD CopySize = 0;
    OSMemGetSize(hCopy, &CopySize);
    Require(CopySize == Used, "duplicate size differs");
    const void *Copy = OSLockObject(hCopy);
    Require(std::memcmp(Copy, List, Used) == 0, "duplicate differs");
    OSUnlockObject(hCopy);
    OSMemFree(hCopy);

    OSUnlockObject(hList);
    OSMemFree(hList);
}

/* ListAddEntry on an object whose bytes are not a list of its size. */
void AddToDamaged(FuzzedDataProvider &In)
{
    const BOOL Prefix = In.ConsumeBool() ? TRUE : FALSE;
    const WORD Index = In.ConsumeIntegral<WORD>();
    const std::string Entry = In.ConsumeRandomLengthString(64);
    const std::string Bytes = In.ConsumeRemainingBytesAsString();
    DHANDLE h = NULLHANDLE;
    WORD Size = 0;

    Require(OSMemAlloc(0, (DWORD)Bytes.size(), &h) == NOERROR, "OSMemAlloc");
    void *p = OSLockObject(h);
    if (!Bytes.empty())
        std::memcpy(p, Bytes.data(), Bytes.size());
    OSUnlockObject(h);

    if (ListAddEntry(h, Prefix, &Size, Index, Entry.data(), (WORD)Entry.size()) == NOERROR) {
        /* what it made is a whole list of the object's size */
        DWORD ObjSize = 0;
        OSMemGetSize(h, &ObjSize);
        Require(ObjSize == Size, "object and list size differ");
        const void *List = OSLockObject(h);
        Require(ListGetSize(List, Prefix) == Size, "grown list is not whole");
        char *Text = nullptr;
        WORD Length = 0;
        Require(ListGetText(List, Prefix, Index, &Text, &Length) == NOERROR &&
                    std::string(Text, Length) == Entry,
                "added entry not found");
        OSUnlockObject(h);
    }
    OSMemFree(h);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "text_list_fuzz";
    vqtest::SetLogEcho(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    FuzzedDataProvider In(Data, Size);
    const vqfuzz::HandleCheck Handles;
    if (In.ConsumeBool())
        GrowAndRead(In);
    else
        AddToDamaged(In);
    Handles.Check();
    vqtest::ClearLog();
    return 0;
}
