/*
 * address_conv.cpp - turns the Notes address of a fax recipient
 * ("name|number|more@DOMAIN", "name@number@DOMAIN", optionally quoted)
 * into the fax server's address "- @ FAX {name,number,more options}" and
 * into its plain name, and lists the names of a message's send-to or
 * copy-to item for the job's Total-to and Copies-to lines.
 * Touches no file; reads the message through the mail calls.
 */
#include <cstring>

#include "outbound.h"

namespace {

/* Separators between the fields of an address. */
bool IsFieldSeparator(char c)
{
    return c == '|' || c == '@';
}

/* Blanks and control characters that may lead an address. Bytes of 128
 * and above are letters of non-ASCII names (UTF-8) and are kept. */
bool IsLeadingBlank(unsigned char c)
{
    return c >= 1 && c <= 32;
}

/* ListGetText trusts the header of the list it is given. A stored item
 * comes from whoever composed the message, so a list value is first
 * checked to hold every entry its header claims within ValueLength (type
 * word included); one that does not is taken as having no entries. */
bool ListValueIsWhole(const char *Value, DWORD ValueLength)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(Value);
    const DWORD Head = 2 * sizeof(WORD); /* data type and entry count */
    WORD Count = 0;
    WORD Length = 0;
    DWORD Used = Head;

    if (ValueLength < Head)
        return false;
    std::memcpy(&Count, p + sizeof(WORD), sizeof Count);
    Used += 2u * (DWORD)Count;
    if (Used > ValueLength)
        return false;
    for (WORD i = 0; i < Count; i++) {
        std::memcpy(&Length, p + Head + 2u * i, sizeof Length);
        Used += Length;
        if (Used > ValueLength)
            return false;
    }
    return true;
}

}  // namespace

STATUS ConvLotusNametoFaxName(const char *Recipient, int RecipientNameLength, char *NameOnly,
                              size_t NameOnlySize, char *FullAddress, size_t FullAddressSize,
                              const char *More_Add)
{
    char RecipientName[CONV_RECIPIENT_MAX + 1];
    char *BegDom = nullptr;
    size_t Length = 0;
    WORD ch_nmb = 0;
    WORD BegName = 0;
    WORD InQuotes = 0;
    WORD field_nmb = 0;
    WORD EndPerson = 0;
    WORD EndAddress = 0;
    WORD ScanEnd = 0;

    if (More_Add == nullptr)
        More_Add = "";
    if (RecipientNameLength > CONV_RECIPIENT_MAX)
        RecipientNameLength = CONV_RECIPIENT_MAX;
    if (RecipientNameLength < 0 || Recipient == nullptr)
        RecipientNameLength = 0;
    Length = VqCopyN(RecipientName, sizeof RecipientName, Recipient, (size_t)RecipientNameLength);
    if (Length > CONV_RECIPIENT_MAX)
        Length = CONV_RECIPIENT_MAX;

    /* The last "@" starts the domain; an earlier one is a separator. */
    BegDom = std::strrchr(RecipientName, '@');
    if (BegDom != nullptr) {
        *BegDom = '\0';
        Length = (size_t)(BegDom - RecipientName);
    }

    while (ch_nmb < Length && IsLeadingBlank((unsigned char)RecipientName[ch_nmb]))
        ch_nmb++;
    if (ch_nmb < Length && RecipientName[ch_nmb] == '"') {
        InQuotes = 1;
        ch_nmb++;
    }
    BegName = ch_nmb;

    ScanEnd = (WORD)Length;
    for (; ch_nmb < Length; ch_nmb++) {
        if (field_nmb == 1) {
            /* the fax number field: the fax server reads "," and "." there
             * as its own marks, so they are spelled B and D */
            if (RecipientName[ch_nmb] == ',')
                RecipientName[ch_nmb] = 'B';
            else if (RecipientName[ch_nmb] == '.')
                RecipientName[ch_nmb] = 'D';
        }
        if (IsFieldSeparator(RecipientName[ch_nmb])) {
            if (EndPerson == 0)
                EndPerson = (WORD)(ch_nmb - BegName);
            RecipientName[ch_nmb] = ',';
            field_nmb++;
        }
        if (InQuotes && RecipientName[ch_nmb] == '"') {
            ScanEnd = ch_nmb;
            break;
        }
    }

    EndAddress = (WORD)(ScanEnd - BegName);
    if (EndPerson == 0)
        EndPerson = EndAddress;

    if (FullAddress != nullptr) {
        size_t Needed = CONV_FULLADDR_FIXED + std::strlen(More_Add) + 1;
        if (FullAddressSize < Needed)
            return ERR_BAD_PARAM;
        VqFormat(FullAddress, FullAddressSize, "- @ FAX {%.*s %s}", (int)EndAddress,
                 RecipientName + BegName, More_Add);
    }
    if (NameOnly != nullptr && NameOnlySize > 0)
        VqFormat(NameOnly, NameOnlySize, "%.*s", (int)EndPerson, RecipientName + BegName);
    if (NameOnly != nullptr && NameOnlySize > 0)
        VqCutUtf8(NameOnly);
    return NOERROR;
}

STATUS AddToItems(DHANDLE hToFieldList, WORD *pToFieldListSize, WORD *pToFieldAmt,
                  DHANDLE hMessage, WORD ItemNum)
{
    STATUS error = NOERROR;
    BLOCKID bhValue;
    WORD ValueType = 0;
    DWORD ValueLength = 0;
    char *Value = nullptr;
    WORD n = 0;
    char *RecipientName = nullptr;
    WORD RecipientNameLength = 0;
    char NameOnly[ADDTOITEMS_NAME_SIZE];

    /* A message without the item simply has nobody to list. */
    if (MailGetMessageItemHandle(hMessage, ItemNum, &bhValue, &ValueType, &ValueLength) != NOERROR)
        return NOERROR;
    Value = OSLockBlock(char, bhValue);
    if (Value == nullptr)
        return NOERROR;
    if (ValueType == TYPE_TEXT_LIST && !ListValueIsWhole(Value, ValueLength)) {
        OSUnlockBlock(bhValue);
        return NOERROR;
    }

    for (n = 0;; n++) {
        if (ValueType == TYPE_TEXT_LIST) {
            if (ListGetText(Value, TRUE, n, &RecipientName, &RecipientNameLength) != NOERROR)
                break;
        } else if (ValueType == TYPE_TEXT) {
            if (n > 0 || ValueLength < sizeof(WORD))
                break;
            RecipientName = Value + sizeof(WORD);
            RecipientNameLength = (WORD)(ValueLength - sizeof(WORD) > MAXWORD
                                             ? MAXWORD
                                             : ValueLength - sizeof(WORD));
        } else {
            break;
        }
        if (RecipientNameLength == 0)
            continue;
        if (IsTambriDll && RecipientNameLength >= TAMBRI_SIG_LEN &&
            std::memcmp(RecipientName, TambriDllExtSig, TAMBRI_SIG_LEN) == 0)
            continue;

        ConvLotusNametoFaxName(RecipientName, RecipientNameLength, NameOnly, sizeof NameOnly,
                               nullptr, 0, "");
        error = ListAddEntry(hToFieldList, TRUE, pToFieldListSize, *pToFieldAmt, NameOnly,
                             (WORD)std::strlen(NameOnly));
        if (error != NOERROR) {
            AddInLogError(VQM_LIST_ALLOC_ERROR, error, "ListAddEntry() AddToItems");
            break;
        }
        (*pToFieldAmt)++;
    }

    OSUnlockBlock(bhValue);
    return error;
}
