/*
 * note_record_fuzz.cpp - the stored record of a note (its items in one
 * value of the database file). A damaged or hostile file hands the
 * decoder any bytes: it must refuse them or split them within their
 * bounds. Items of any names, types and values, some kept apart, must
 * come back from their record exactly as they went in.
 */
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "nsf_internal.h"

using vqfuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    FuzzedDataProvider In(Data, Size);
    if (In.ConsumeBool()) {
        /* any bytes: decoded within bounds, or refused */
        const std::string raw = In.ConsumeRemainingBytesAsString();
        std::vector<vq::nsf::StoredItem> items;
        if (vq::nsf::DecodeRecord(raw, &items))
            for (const auto &it : items) {
                Require(it.name.data() >= raw.data() && it.name.data() + it.name.size() <= raw.data() + raw.size(),
                        "a name inside the record");
                Require(it.slot != 0 || it.value.size() == it.size, "a value of its length");
            }
        vq::nsf::StoredItem first;
        (void)vq::nsf::FindStored(raw, "form", &first);
        return 0;
    }
    std::vector<vq::nsf::Item> items;
    std::vector<DWORD> slots;
    while (In.remaining_bytes() > 0 && items.size() < 64) {
        vq::nsf::Item it;
        it.name = In.ConsumeRandomLengthString(300);
        it.flags = In.ConsumeIntegral<WORD>();
        it.type = In.ConsumeIntegral<WORD>();
        it.value = In.ConsumeRandomLengthString(3000);
        items.push_back(it);
        slots.push_back(In.ConsumeBool() ? In.ConsumeIntegralInRange<DWORD>(1, vq::nsf::kSlotMax) : 0);
    }
    const std::string record = vq::nsf::EncodeRecord(items, slots);
    std::vector<vq::nsf::StoredItem> back;
    Require(vq::nsf::DecodeRecord(record, &back) && back.size() == items.size(), "every item back");
    for (size_t i = 0; i < items.size(); ++i) {
        Require(back[i].name == items[i].name && back[i].flags == items[i].flags &&
                    back[i].type == items[i].type && back[i].slot == slots[i] &&
                    back[i].size == items[i].value.size(),
                "each item as it went in");
        Require(slots[i] != 0 || back[i].value == items[i].value, "a value kept in the record whole");
    }
    return 0;
}
