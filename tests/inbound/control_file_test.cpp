/*
 * control_file_test.cpp - the readers of received-fax control files:
 * header lines, recipient names, the information block and its activity
 * columns, the administrator table, text-mode reading and the failure
 * line.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "inbound.h"
#include "test_support.h"

namespace {

using vqtest::ReadFile;
using vqtest::TempDir;
using vqtest::WriteFile;

TEST(ControlFileHeader, LinesYieldTheirKindAndValue)
{
    struct Case {
        std::string line;
        int kind;
        std::string value;
        size_t size = IN_LINE_SIZE; /* the caller's buffer */
    };
    const std::vector<Case> cases = {
        /* long values are cut at their buffers */
        {"To: " + std::string(300, 'n') + "\n", IN_HDR_RECIPIENT, std::string(255, 'n')},
        {"Subject: " + std::string(100, 's') + "\n", IN_HDR_SUBJECT, std::string(63, 's'), IN_SUBJECT_SIZE},
        {"To: Jane Roe\n", IN_HDR_RECIPIENT, "Jane Roe"},
        {"To:Jane Roe\n", IN_HDR_RECIPIENT, "Jane Roe"},
        {"To: Jane Roe   \n", IN_HDR_RECIPIENT, "Jane Roe"},
        {"To: Jane Roe @ FAXGATE\n", IN_HDR_RECIPIENT, "Jane Roe"},
        {"To: a@b @ c\n", IN_HDR_RECIPIENT, "a@b"},
        {"To: TMB_LOTUS_ROUTE\n", IN_HDR_NONE, ""},
        {"To:     TMB_LOTUS_ROUTE Jane\n", IN_HDR_NONE, ""},
        {"To: tmb_lotus_route\n", IN_HDR_RECIPIENT, "tmb_lotus_route"},
        {"To:\n", IN_HDR_NONE, ""},
        {"To:    \n", IN_HDR_NONE, ""},
        {"to: Jane Roe\n", IN_HDR_NONE, ""},
        {"Subject: Test fax\n", IN_HDR_SUBJECT, "Test fax"},
        {"Subject:Administrator Log\n", IN_HDR_SUBJECT, "Administrator Log"},
        {"subject: Test fax\n", IN_HDR_NONE, ""},
        {"Subject:\n", IN_HDR_NONE, ""},
        {"Attachment: RX000001\n", IN_HDR_ATTACHMENT, "RX000001"},
        {"Attachment:RX000001 more words\n", IN_HDR_ATTACHMENT, "RX000001"},
        {"Attachment: \n", IN_HDR_NONE, ""},
        {"From: somebody\n", IN_HDR_NONE, ""},
        {"", IN_HDR_NONE, ""},
    };
    for (const auto &c : cases) {
        std::vector<char> value(c.size, '#');
        int kind = InParseHeaderLine(c.line.c_str(), value.data(), value.size());
        EXPECT_EQ(kind, c.kind) << c.line;
        EXPECT_EQ(std::string(value.data()), c.value) << c.line;
    }
}

TEST(ControlFileHeader, OnlyPlainImageNamesAreAccepted)
{
    struct Case {
        const char *name;
        bool plain;
    };
    const std::vector<Case> cases = {
        {"RX000001", true},     {"rx.tif", true},         {"..rx", true},
        {"", false},            {".", false},             {"..", false},
        {"../ST000002", false}, {"/etc/passwd", false},   {"sub/RX000001", false},
        {"..\\secret", false},  {"C:\\secret", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(InImageNameIsPlain(c.name) != 0, c.plain) << c.name;
}

/* The body line the information block makes of one control file line. */
std::string InfoBodyLine(const std::string &line)
{
    char key[IN_LINE_SIZE + IN_COLON_SIZE + 1];
    char value[IN_LINE_SIZE];
    InSplitInfoLine(line.c_str(), key, sizeof key, value, sizeof value);
    return std::string(key) + "\t" + value + "\n";
}

TEST(ControlFileInfoBlock, LinesBecomeKeyTabValue)
{
    struct Case {
        const char *line;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"Pages Received: 3\n", "Pages Received:\t3\n"},
        {"Pages Received:3\n", "Pages Received:\t3\n"},
        {"Pages: 3\n", "Pages:\t\t3\n"},           /* short key: a second tab */
        {"Abcdefg: x\n", "Abcdefg:\tx\n"},         /* 8 with its colon: one tab */
        {"Note\n", "Note\t\t\n"},                  /* no colon */
        {"\n", "\t\t\n"},                          /* empty line */
        {": starts with colon\n", "\t\t\n"},
        {"Key:\tvalue with\ttabs \n", "Key:\t\tvalue with\ttabs \n"},
        {"Receive Time:: 03/05/26\n", "Receive Time::\t03/05/26\n"},
        {"Last line without feed: v", "Last line without feed:\tv\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(InfoBodyLine(c.line), c.want) << c.line;
}

TEST(ControlFileInfoBlock, ColonRunIsCutAtFifteen)
{
    std::string line = "Key" + std::string(20, ':') + " v\n";
    /* the five colons beyond the run's buffer are left to the value */
    EXPECT_EQ(InfoBodyLine(line), "Key" + std::string(15, ':') + "\t" + std::string(5, ':') + " v\n");
}

struct Columns {
    ENTRYCOL col[ENTRY_COLS];
    Columns() { std::memset(col, 0, sizeof col); }
    std::string operator[](int i) const { return col[i]; }
};

TEST(ControlFileInfoBlock, ReceiveTimeFillsDateAndTime)
{
    struct Case {
        const char *key;
        const char *value;
        std::string date, time;
    };
    const std::vector<Case> cases = {
        {"Receive Time:", "03/05/26 09:07", "03/05", "09:07"},
        {"RECEIVE TIME:", "03/05/26 09:07:33", "03/05", "09:07"},
        {"Receive Time:", "03/05", "03/05", ""},
        {"Receive Time:", "03/05/26 ", "03/05", ""},
        {"Receive Time:", "03/05/26 0", "03/05", "0"},
    };
    for (const auto &c : cases) {
        Columns cols;
        char did[IN_DID_SIZE] = "";
        EXPECT_EQ(InApplyInfoKey(c.key, c.value, cols.col, did, sizeof did), 0);
        EXPECT_EQ(cols[ENTRY_DATE], c.date) << c.value;
        EXPECT_EQ(cols[ENTRY_TIME], c.time) << c.value;
    }
}

TEST(ControlFileInfoBlock, KeysFillTheirColumnsAndDIDSetsTheFixedOnes)
{
    Columns cols;
    char did[IN_DID_SIZE] = "";
    std::string longTsi(40, 't');
    EXPECT_EQ(InApplyInfoKey("TSI Received:", longTsi.c_str(), cols.col, did, sizeof did), 0);
    EXPECT_EQ(InApplyInfoKey("pages received:", "4", cols.col, did, sizeof did), 0);
    EXPECT_EQ(InApplyInfoKey("Connect Time:", "00:42", cols.col, did, sizeof did), 0);
    EXPECT_EQ(cols[ENTRY_TYPE], "");
    std::string longDid(80, '5');
    EXPECT_EQ(InApplyInfoKey("DID Received:", longDid.c_str(), cols.col, did, sizeof did), 1);

    EXPECT_EQ(cols[ENTRY_FROM], std::string(31, 't'));
    EXPECT_EQ(cols[ENTRY_PAGES], "4");
    EXPECT_EQ(cols[ENTRY_CONNECTION], "00:42");
    EXPECT_EQ(std::string(did), std::string(63, '5'));
    EXPECT_EQ(cols[ENTRY_JOBID], " ");
    EXPECT_EQ(cols[ENTRY_TYPE], "RX");
    EXPECT_EQ(cols[ENTRY_ATTEMPTS], "00");
    EXPECT_EQ(cols[ENTRY_CODE], "0000");
    EXPECT_EQ(cols[ENTRY_EXPLANATION], " ");
    EXPECT_EQ(cols[ENTRY_SPEED], " ");
    EXPECT_EQ(cols[ENTRY_TO], "");

    /* a second colon makes another key: copied, not recognised */
    Columns other;
    EXPECT_EQ(InApplyInfoKey("DID Received::", "555", other.col, did, sizeof did), 0);
    EXPECT_EQ(other[ENTRY_TYPE], "");
}

/* Writes content as a control file, opens it as the pass does ("r+")
 * with a new body file, runs copy on the two and returns the body. */
std::string CopyThrough(const std::string &content, const std::function<void(FILE *, FILE *)> &copy)
{
    TempDir dir;
    WriteFile(dir / "ST000001", content);
    FILE *in = PortFopen((dir / "ST000001").c_str(), "r+");
    FILE *body = PortFopen((dir / "body.tmp").c_str(), "w");
    EXPECT_TRUE(in && body);
    if (in && body)
        copy(in, body);
    if (in)
        PortFclose(in);
    if (body)
        PortFclose(body);
    return ReadFile(dir / "body.tmp");
}

void CollectDID(const char *did, void *ctx)
{
    static_cast<std::vector<std::string> *>(ctx)->push_back(did);
}

TEST(ControlFileInfoBlock, CopiesTheBodyInTextModeAndReportsEachDID)
{
    Columns cols;
    std::vector<std::string> dids;
    /* CR LF ends a line, CTRL+Z ends the file: what follows is not read */
    const std::string body = CopyThrough(
        "Receive Time: 03/05/26 09:07\r\nDID Received: 555-0100\r\nPages:\t2\r\n"
        "DID Received: 555-0200\r\n\x1a" "DID Received: 999\r\n",
        [&](FILE *in, FILE *out) { EXPECT_EQ(InCopyInfoBlock(in, out, cols.col, CollectDID, &dids), 0); });
    EXPECT_EQ(body,
              "Receive Time:\t03/05/26 09:07\nDID Received:\t555-0100\nPages:\t\t2\n"
              "DID Received:\t555-0200\n");
    EXPECT_EQ(dids, (std::vector<std::string>{"555-0100", "555-0200"}));
    EXPECT_EQ(cols[ENTRY_DATE], "03/05");
    EXPECT_EQ(cols[ENTRY_TIME], "09:07");
}

TEST(ControlFileAdminLog, RowsAreReformattedByColumns)
{
    const std::string to = "5550100" + std::string(13, ' ');  /* a 20-column field */
    const std::string from = "JANE ROE   ";                   /* an 11-column field */
    struct Case {
        std::string line;
        std::string want;
    };
    const std::vector<Case> cases = {
        /* TY and RC run together; EXPL is the six characters after CODE */
        {"0012 03/05 09:07 TX* 1 " + to + " " + from + " 2   0000 OK    0:42\n",
         "0012\t03/05\t09:07\tTX*1 " + to + "\t" + from + "\t2 0000   OK     0:42\n"},
        /* a row that stops after the time keeps the other columns empty */
        {"0013 03/05 09:10\n", "0013\t03/05\t09:10\t \t\t     \n"},
        {"\n", "\t\t\t \t\t     \n"},
    };
    for (const auto &c : cases) {
        char out[2 * IN_LINE_SIZE];
        InFormatAdminRow(c.line.c_str(), out, sizeof out);
        EXPECT_EQ(std::string(out), c.want) << c.line;
    }
}

std::string AdminHead()
{
    return std::string("\n\n-----------Administrator Activity Log-----------\n\n") +
           "JOB \tDATE \tTIME \tTY RC " + "TO                  \tFROM       \t" +
           "PG  CODE EXPL CONN\n";
}

TEST(ControlFileAdminLog, TableStartsAfterTheDashLine)
{
    struct Case {
        std::string body;
        std::string want;
    };
    const std::vector<Case> cases = {
        {"", AdminHead()},
        {"no dashes here\n0012 03/05 09:07\n", AdminHead()},
        {"Report\n----------\n0013 03/05 09:10\n\n",
         AdminHead() + "0013\t03/05\t09:10\t \t\t     \n" + "\t\t\t \t\t     \n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(CopyThrough(c.body, [](FILE *in, FILE *out) { EXPECT_EQ(InCopyAdminLog(in, out), 0); }),
                  c.want)
            << c.body;
    }
}

TEST(ControlFileFailureLine, IsAppendedAfterTheLastByteWithCrLf)
{
    TempDir dir;
    const std::string original = "To: Jane Roe\r\nAttachment: RX000001\r\n\r\nPages: 1\r\n\x1a";
    WriteFile(dir / "ST000001", original);
    FILE *in = PortFopen((dir / "ST000001").c_str(), "r+");
    ASSERT_TRUE(in);
    char line[IN_LINE_SIZE];
    while (PortFgets(line, sizeof line, in) != nullptr) {
    }
    EXPECT_EQ(InWriteFailureLine(in, "File does not exist"), 0);
    PortFclose(in);
    EXPECT_EQ(ReadFile(dir / "ST000001"), original + "BFailure reason: File does not exist\r\n");
}

}  // namespace
