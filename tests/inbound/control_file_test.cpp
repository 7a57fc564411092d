// control_file_test.cpp - readers of received-fax control files: header, information block, admin log.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "inbound.h"
#include "test_support.h"

namespace {

using namespace vqtest;

TEST(ControlFileHeader, LinesYieldTheirKindAndValue)
{
    // size: the caller's buffer; long values are cut at it
    struct Case { std::string line; int kind; std::string value; size_t size = IN_LINE_SIZE; } cases[] = {
        {"To: " + std::string(300, 'n') + "\n", IN_HDR_RECIPIENT, std::string(255, 'n')},
        {"Subject: " + std::string(100, 's') + "\n", IN_HDR_SUBJECT, std::string(63, 's'), IN_SUBJECT_SIZE},
        {"To: Jane Roe\n", IN_HDR_RECIPIENT, "Jane Roe"}, {"To:Jane Roe\n", IN_HDR_RECIPIENT, "Jane Roe"},
        {"To: Jane Roe @ FAXGATE\n", IN_HDR_RECIPIENT, "Jane Roe"}, {"To: a@b @ c\n", IN_HDR_RECIPIENT, "a@b"},
        {"To: TMB_LOTUS_ROUTE\n", IN_HDR_NONE, ""}, {"To:     TMB_LOTUS_ROUTE Jane\n", IN_HDR_NONE, ""},
        {"To: tmb_lotus_route\n", IN_HDR_RECIPIENT, "tmb_lotus_route"},
        {"To: TMB_LOTUS_ROUT\n", IN_HDR_RECIPIENT, "TMB_LOTUS_ROUT"}, {"To:\n", IN_HDR_NONE, ""},
        {"to: Jane Roe\n", IN_HDR_NONE, ""}, {"Subject: Test fax\n", IN_HDR_SUBJECT, "Test fax"},
        {"subject: Test fax\n", IN_HDR_NONE, ""}, {"Subject:\n", IN_HDR_NONE, ""},
        {"Attachment: RX000001\n", IN_HDR_ATTACHMENT, "RX000001"},
        {"Attachment:RX000001 more words\n", IN_HDR_ATTACHMENT, "RX000001"}, {"Attachment: \n", IN_HDR_NONE, ""},
        {"", IN_HDR_NONE, ""},
    };
    for (const auto &c : cases) {
        std::vector<char> value(c.size, '#');
        EXPECT_EQ(InParseHeaderLine(c.line.c_str(), value.data(), value.size()), c.kind) << c.line;
        EXPECT_EQ(std::string(value.data()), c.value) << c.line;
    }
}

// The subject decides the kind of body and the success message.
TEST(ControlFileHeader, SubjectPrefixes)
{
    struct Case { const char *subject; bool adminLog; WORD delivered; } cases[] = {
        {"Fax: job 0012 sent", false, VQM_RETURN_STATUS_DELIVERED},
        {"Administrator Log", true, VQM_ADMIN_LOG_DELIVERED}, {"Admin notes", false, VQM_ADMIN_LOG_DELIVERED},
        {"Administrato", false, VQM_ADMIN_LOG_DELIVERED}, {"fax: x", false, VQM_FAX_RECEIVED},
        {"", false, VQM_FAX_RECEIVED},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(InIsAdminLog(c.subject) != 0, c.adminLog) << c.subject;
        EXPECT_EQ(InDeliveredMessage(c.subject), c.delivered) << c.subject;
    }
}

TEST(ControlFileHeader, OnlyPlainImageNamesAreAccepted)
{
    struct Case { const char *name; bool plain; } cases[] = {
        {"RX000001", true}, {"..rx", true}, {"", false}, {".", false}, {"..", false},
        {"../ST000002", false}, {"/etc/passwd", false}, {"..\\secret", false}, {"C:\\secret", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(InImageNameIsPlain(c.name) != 0, c.plain) << c.name;
}

TEST(ControlFileInfoBlock, LinesBecomeKeyTabValue)
{
    struct Case { const char *line; std::string want; } cases[] = {
        {"Pages Received: 3\n", "Pages Received:\t3\n"}, {"Pages Received:3\n", "Pages Received:\t3\n"},
        {"Pages: 3\n", "Pages:\t\t3\n"},           /* short key: a second tab */
        {"Abcdefg: x\n", "Abcdefg:\tx\n"},         /* 8 with its colon: one tab */
        {"Note\n", "Note\t\t\n"},                  /* no colon */
        {"\n", "\t\t\n"},                          /* empty line */
        {": starts with colon\n", "\t\t\n"}, {"Key:\tvalue with\ttabs \n", "Key:\t\tvalue with\ttabs \n"},
        {"Receive Time:: 03/05/26\n", "Receive Time::\t03/05/26\n"},
        {"Last line without feed: v", "Last line without feed:\tv\n"},
        // colons beyond the run's 15 are left to the value
        {"Key:::::::::::::::::::: v\n", "Key:::::::::::::::\t::::: v\n"},
    };
    for (const auto &c : cases) {
        char key[IN_LINE_SIZE + IN_COLON_SIZE + 1], value[IN_LINE_SIZE];
        InSplitInfoLine(c.line, key, sizeof key, value, sizeof value);
        EXPECT_EQ(std::string(key) + "\t" + value + "\n", c.want) << c.line; // the body line it makes
    }
}

struct Columns { ENTRYCOL col[ENTRY_COLS] = {}; std::string operator[](int i) const { return col[i]; } };

// The column a key fills; "DID Received:" also sets a received fax's fixed columns and gives the DID, cut at 63.
TEST(ControlFileInfoBlock, KeysFillTheirColumns)
{
    const std::string t40(40, 't'), d80(80, '5');
    struct Case { const char *key; std::string value; int col; std::string want; } cases[] = {
        {"TSI Received:", t40, ENTRY_FROM, t40.substr(0, 31)}, {"pages received:", "4", ENTRY_PAGES, "4"},
        {"Connect Time:", "00:42", ENTRY_CONNECTION, "00:42"},
        {"Receive Time:", "03/05/26 09:07", ENTRY_DATE, "03/05"},
        {"Receive Time:", "03/05/26 09:07", ENTRY_TIME, "09:07"},
        {"RECEIVE TIME:", "03/05/26 09:07:33", ENTRY_TIME, "09:07"}, {"Receive Time:", "03/05", ENTRY_TIME, ""},
        {"Receive Time:", "03/05/26 0", ENTRY_TIME, "0"},
        {"DID Received::", "555", ENTRY_TYPE, ""}, /* a second colon: another key */
        {"DID Received:", d80, ENTRY_TYPE, "RX"}, {"DID Received:", d80, ENTRY_JOBID, " "},
        {"DID Received:", d80, ENTRY_ATTEMPTS, "00"}, {"DID Received:", d80, ENTRY_CODE, "0000"},
        {"DID Received:", d80, ENTRY_EXPLANATION, " "}, {"DID Received:", d80, ENTRY_SPEED, " "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.key) + c.value.substr(0, 20) + " col " + std::to_string(c.col));
        Columns cols;
        char did[IN_DID_SIZE] = "";
        const bool isDid = std::string(c.key) == "DID Received:";
        EXPECT_EQ(InApplyInfoKey(c.key, c.value.c_str(), cols.col, did, sizeof did), isDid ? 1 : 0);
        EXPECT_EQ(cols[c.col], c.want);
        EXPECT_EQ(std::string(did), isDid ? d80.substr(0, 63) : "");
    }
}

// Runs copy on content opened as the pass does ("r+") and a new body file; returns the body.
std::string CopyThrough(const std::string &content, const std::function<void(FILE *, FILE *)> &copy)
{
    TempDir dir;
    WriteFile(dir / "ST000001", content);
    FILE *in = PortFopen((dir / "ST000001").c_str(), "r+");
    FILE *body = PortFopen((dir / "body.tmp").c_str(), "w");
    EXPECT_TRUE(in && body);
    copy(in, body);
    PortFclose(in);
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
    // CR LF ends a line, CTRL+Z ends the file: what follows is not read
    const std::string body = CopyThrough("Receive Time: 03/05/26 09:07\r\nDID Received: 555-0100\r\nPages:\t2\r\n"
        "DID Received: 555-0200\r\n\x1a" "DID Received: 999\r\n",
        [&](FILE *in, FILE *out) { EXPECT_EQ(InCopyInfoBlock(in, out, cols.col, CollectDID, &dids), 0); });
    EXPECT_EQ(body, "Receive Time:\t03/05/26 09:07\nDID Received:\t555-0100\nPages:\t\t2\n"
              "DID Received:\t555-0200\n");
    EXPECT_EQ(dids, (std::vector<std::string>{"555-0100", "555-0200"}));
    EXPECT_EQ(cols[ENTRY_DATE], "03/05");
    EXPECT_EQ(cols[ENTRY_TIME], "09:07");
}

// Rows after the first dash line are cut into columns: TY and RC run together, EXPL is six after CODE.
TEST(ControlFileAdminLog, RowsAfterTheDashLineAreReformattedByColumns)
{
    const std::string head = "\n\n-----------Administrator Activity Log-----------\n\nJOB \tDATE \tTIME \tTY RC "
                             "TO                  \tFROM       \tPG  CODE EXPL CONN\n";
    const std::string to = "5550100" + std::string(13, ' '), from = "JANE ROE   ";
    struct Case { std::string body, want; } cases[] = {
        {"", head}, {"no dashes here\n0012 03/05 09:07\n", head},
        {"Report\n----------\n0012 03/05 09:07 TX* 1 " + to + " " + from + " 2   0000 OK    0:42\n",
         head + "0012\t03/05\t09:07\tTX*1 " + to + "\t" + from + "\t2 0000   OK     0:42\n"},
        {"Report\n----------\n0013 03/05 09:10\n\n", head + "0013\t03/05\t09:10\t \t\t     \n\t\t\t \t\t     \n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CopyThrough(c.body, [](FILE *in, FILE *out) { EXPECT_EQ(InCopyAdminLog(in, out), 0); }), c.want)
            << c.body;
}

}  // namespace
