/*
 * control_file_fuzz.cpp - received-fax control files as the fax server
 * might leave them, whole: the header is read and parsed line by line the
 * way the inbound pass reads it, then the body is copied as an
 * information block or an administrator log, into a body file in memory.
 *
 * Besides the sanitizers, each value is checked to be terminated inside
 * the buffer the pass gives it, a recipient name never keeps a trailing
 * blank, and an image name accepted as plain holds no path.
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "inbound.h"

using vqfuzz::Require;
using vqfuzz::RequireTerminated;

namespace {

/* The pass's own widths for what a header line yields. */
const size_t kSubjectSize = IN_SUBJECT_SIZE;
const size_t kValueSize = IN_LINE_SIZE;

struct DidSeen {
    int Count = 0;
};

void OnDID(const char *DID, void *Context)
{
    RequireTerminated(DID, IN_DID_SIZE, "DID not terminated inside its buffer");
    static_cast<DidSeen *>(Context)->Count++;
}

/* Header lines, as the pass reads them; leaves the stream at the body.
 * Returns the subject. */
void ReadHeader(FILE *Control, char *Subject)
{
    char String[IN_LINE_SIZE];
    /* exact size on the heap, so that a write past it is caught */
    std::vector<char> Value(kValueSize);

    while (PortFgets(String, sizeof String, Control) != nullptr) {
        RequireTerminated(String, sizeof String, "line not terminated");
        if (InIsHeaderEnd(String))
            break;
        int Kind = InParseHeaderLine(String, Value.data(), Value.size());
        RequireTerminated(Value.data(), Value.size(), "header value not terminated");
        switch (Kind) {
        case IN_HDR_RECIPIENT: {
            size_t Length = std::strlen(Value.data());
            Require(Length == 0 || Value[Length - 1] != ' ', "recipient keeps a trailing blank");
            break;
        }
        case IN_HDR_SUBJECT:
            VqCopy(Subject, kSubjectSize, Value.data());
            break;
        case IN_HDR_ATTACHMENT:
            /* only a plain name may be joined below FAX/IPARCEL */
            if (InImageNameIsPlain(Value.data()))
                Require(std::strpbrk(Value.data(), "/\\") == nullptr &&
                            std::strcmp(Value.data(), "..") != 0,
                        "image name with a path accepted as plain");
            break;
        case IN_HDR_NONE:
            break;
        default:
            Require(false, "unknown header kind");
        }
    }
}

/* The small helpers on their own, each line of the input as one line. */
void SplitEachLine(const uint8_t *Data, size_t Size)
{
    std::vector<char> Line;
    size_t Start = 0;

    while (Start < Size) {
        size_t End = Start;
        while (End < Size && End - Start < IN_LINE_SIZE - 2 && Data[End] != '\n')
            End++;
        if (End < Size && Data[End] == '\n')
            End++;
        Line.assign(Data + Start, Data + End);
        Line.push_back('\0');
        Start = End;

        std::vector<char> Key(IN_LINE_SIZE + IN_COLON_SIZE + 1);
        std::vector<char> Value(IN_LINE_SIZE);
        std::vector<char> Did(IN_DID_SIZE);
        std::vector<char> Row(2 * IN_LINE_SIZE);
        std::vector<char> Name(IN_RECIPIENT_SIZE);
        ENTRYCOL EntryCol[ENTRY_COLS];
        std::memset(EntryCol, 0, sizeof EntryCol);

        InSplitInfoLine(Line.data(), Key.data(), Key.size(), Value.data(), Value.size());
        RequireTerminated(Key.data(), Key.size(), "key not terminated");
        RequireTerminated(Value.data(), Value.size(), "info value not terminated");
        InApplyInfoKey(Key.data(), Value.data(), EntryCol, Did.data(), Did.size());
        for (int i = 0; i < ENTRY_COLS; i++)
            RequireTerminated(EntryCol[i], ENTRY_COL_SIZE, "activity column not terminated");
        InFormatAdminRow(Line.data(), Row.data(), Row.size());
        RequireTerminated(Row.data(), Row.size(), "admin row not terminated");
        InRecipientName(Line.data(), Name.data(), Name.size());
        RequireTerminated(Name.data(), Name.size(), "name not terminated");
        InIsAdminLog(Line.data());
        InDeliveredMessage(Line.data());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "control_file_fuzz";
    vqtest::SetLogEcho(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (Size == 0)
        return 0;
    std::vector<char> Copy(Data, Data + Size);
    FILE *Control = fmemopen(Copy.data(), Copy.size(), "r");
    if (Control == nullptr)
        return 0;
    char *BodyText = nullptr;
    size_t BodySize = 0;
    FILE *Body = open_memstream(&BodyText, &BodySize);
    if (Body == nullptr) {
        std::fclose(Control);
        return 0;
    }

    char Subject[kSubjectSize] = "";
    ENTRYCOL EntryCol[ENTRY_COLS];
    std::memset(EntryCol, 0, sizeof EntryCol);
    DidSeen Dids;

    ReadHeader(Control, Subject);
    if (InIsAdminLog(Subject)) {
        Require(InCopyAdminLog(Control, Body) == 0, "admin log copy reported a write error");
    } else {
        Require(InCopyInfoBlock(Control, Body, EntryCol, OnDID, &Dids) == 0,
                "info block copy reported a write error");
        for (int i = 0; i < ENTRY_COLS; i++)
            RequireTerminated(EntryCol[i], ENTRY_COL_SIZE, "activity column not terminated");
    }
    std::fclose(Control);
    std::fclose(Body);
    std::free(BodyText);

    SplitEachLine(Data, Size);
    vqtest::ClearLog();
    return 0;
}
