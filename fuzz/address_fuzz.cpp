/*
 * address_fuzz.cpp - recipient addresses as users type them, converted by
 * ConvLotusNametoFaxName with lengths of every kind (negative, inside the
 * text, past its terminator, beyond 255), option texts of any length and
 * name buffers of any size. Every buffer is allocated to its exact size,
 * so a read or write one byte past it is caught.
 *
 * The outputs are compared with a plain model of the conversion rules:
 * last "@" cut, leading blanks and control characters skipped, an opening
 * double quote, "|" and "@" turned into ",", "," and "." of the second
 * field spelled B and D, a double quote ending a quoted address.
 */
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "outbound.h"

using vqfuzz::Require;

namespace {

struct Model {
    std::string Address; /* between "{" and the blank before the option text */
    std::string Name;
};

/* The name as the gateway keeps it in Size bytes: cut at Size - 1 bytes,
 * then without a character left incomplete at its end (a lead byte with
 * fewer continuation bytes than it announces). */
std::string KeptName(const std::string &Name, size_t Size)
{
    std::string Kept = Name.substr(0, Size - 1);
    size_t End = Kept.size(), Follow = 0;
    while (End > 0 && Follow < 3 && ((unsigned char)Kept[End - 1] & 0xC0) == 0x80)
        End--, Follow++;
    const unsigned char Lead = End > 0 ? (unsigned char)Kept[End - 1] : 0;
    if (Lead >= 0xC0 && Follow < (Lead >= 0xF0 ? 3u : Lead >= 0xE0 ? 2u : 1u))
        Kept.resize(End - 1);
    return Kept;
}

Model Convert(const char *Recipient, int Length)
{
    Model m;
    std::string Copy;
    if (Length > CONV_RECIPIENT_MAX)
        Length = CONV_RECIPIENT_MAX;
    for (int i = 0; i < Length && Recipient[i] != '\0'; i++)
        Copy.push_back(Recipient[i]);
    size_t At = Copy.rfind('@');
    if (At != std::string::npos)
        Copy.resize(At);

    size_t i = 0;
    while (i < Copy.size() && (unsigned char)Copy[i] >= 1 && (unsigned char)Copy[i] <= 32)
        i++;
    bool Quoted = i < Copy.size() && Copy[i] == '"';
    if (Quoted)
        i++;
    size_t Beg = i, End = Copy.size(), Person = 0;
    int Field = 0;
    for (; i < Copy.size(); i++) {
        char &c = Copy[i];
        if (Field == 1 && c == ',')
            c = 'B';
        else if (Field == 1 && c == '.')
            c = 'D';
        if (c == '|' || c == '@') {
            if (Person == 0)
                Person = i - Beg;
            c = ',';
            Field++;
        }
        if (Quoted && c == '"') {
            End = i;
            break;
        }
    }
    if (Person == 0)
        Person = End - Beg;
    m.Address = Copy.substr(Beg, End - Beg);
    m.Name = Copy.substr(Beg, Person);
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "address_fuzz";
    vqtest::SetLogEcho(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    FuzzedDataProvider In(Data, Size);
    const int LengthMode = In.ConsumeIntegralInRange<int>(0, 3);
    const size_t NameOnlySize = In.ConsumeIntegralInRange<size_t>(0, CONV_NAMEONLY_SIZE + 8);
    const bool Terminated = In.ConsumeBool();
    const std::string More = In.ConsumeRandomLengthString(600);
    const std::vector<char> Text = In.ConsumeRemainingBytes<char>();

    /* The recipient text: exactly its bytes, with a terminator only when
     * asked, so that a length past the text is only tried on a text that
     * ends in one. */
    std::vector<char> Recipient(Text);
    if (Terminated)
        Recipient.push_back('\0');
    int Length = 0;
    switch (LengthMode) {
    case 0: Length = (int)Text.size(); break;
    case 1: Length = -(int)(Text.size() + 1); break;
    case 2: Length = Terminated ? (int)Text.size() + 1000 : (int)Text.size(); break;
    default: Length = (int)(Text.size() / 2); break;
    }
    const char *pRecipient = Recipient.empty() ? "" : Recipient.data();

    const Model Want = Convert(pRecipient, Length < 0 ? 0 : Length);
    const std::string MoreAdd = More.c_str(); /* the option text is terminated */
    const size_t Needed = CONV_FULLADDR_FIXED + MoreAdd.size() + 1;

    /* Full address in a buffer of exactly the size the contract asks. */
    std::vector<char> Full(Needed, 'x');
    std::vector<char> NameOnly(NameOnlySize == 0 ? 1 : NameOnlySize, 'x');
    STATUS s = ConvLotusNametoFaxName(pRecipient, Length, NameOnlySize ? NameOnly.data() : nullptr,
                                      NameOnlySize, Full.data(), Full.size(), MoreAdd.c_str());
    Require(s == NOERROR, "conversion refused a buffer of the size it asks for");
    const std::string Got = Full.data();
    Require(Got == "- @ FAX {" + Want.Address + " " + MoreAdd + "}", "full address differs");
    if (NameOnlySize > 0) {
        Require(std::memchr(NameOnly.data(), '\0', NameOnly.size()) != nullptr,
                "name not terminated");
        Require(std::string(NameOnly.data()) == KeptName(Want.Name, NameOnlySize),
                "name-only part differs");
    }

    /* One byte short: refused, and the buffer is left as it was. */
    std::vector<char> Short(Needed - 1, 'y');
    s = ConvLotusNametoFaxName(pRecipient, Length, nullptr, 0, Short.data(), Short.size(),
                               MoreAdd.c_str());
    Require(s != NOERROR, "a short address buffer was accepted");
    for (char c : Short)
        Require(c == 'y', "a refused buffer was written");

    /* The name alone, as AddToItems asks for it. */
    std::vector<char> Listed(ADDTOITEMS_NAME_SIZE);
    s = ConvLotusNametoFaxName(pRecipient, Length, Listed.data(), Listed.size(), nullptr, 0, "");
    Require(s == NOERROR, "name-only conversion failed");
    Require(std::string(Listed.data()) == KeptName(Want.Name, ADDTOITEMS_NAME_SIZE),
            "listed name differs");
    vqtest::ClearLog();
    return 0;
}
