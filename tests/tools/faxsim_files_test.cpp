/*
 * faxsim_files_test.cpp - the stand-in fax server's files must read back
 * the way the gateway reads them: activity lines through the gateway's
 * scanf layout, queue records at their byte offsets, job files as the
 * gateway writes them.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "faxsim_files.h"

using namespace faxsim;

namespace {

/* The gateway's split of an activity line, with the same format. */
struct Columns {
    char f[12][32];
    char final;
};

Columns Split(const std::string &line)
{
    Columns c;
    std::memset(&c, 0, sizeof c);
    std::string withEnd = line + "\n";
    std::sscanf(withEnd.c_str(), "%4s %5s %5s %2[^\n]%c%2s %20[^\n] %11[^\n] %3s %4s%6[^\n]%4s%1s",
                c.f[0], c.f[1], c.f[2], c.f[3], &c.final, c.f[4], c.f[5], c.f[6], c.f[7], c.f[8],
                c.f[9], c.f[10], c.f[11]);
    return c;
}

}  // namespace

TEST(FaxsimActivityLine, ColumnsReadBackThroughTheGatewayLayout)
{
    ActivityLine l;
    l.job = 7;
    l.when.tm_mon = 2;
    l.when.tm_mday = 5;
    l.when.tm_hour = 9;
    l.when.tm_min = 7;
    l.destination = "555.0100";
    l.sender = "John Smith";
    l.final = true;
    l.retries = 2;
    l.code = "0301";
    l.explanation = " Busy ";
    Columns c = Split(FormatActivityLine(l));
    EXPECT_STREQ(c.f[0], "0007");
    EXPECT_STREQ(c.f[1], "03/05");
    EXPECT_STREQ(c.f[2], "09:07");
    EXPECT_STREQ(c.f[3], "TX");
    EXPECT_EQ(c.final, '*');
    EXPECT_STREQ(c.f[4], "02");
    EXPECT_STREQ(c.f[5], "555.0100            ");  // fixed 20 columns
    EXPECT_STREQ(c.f[6], "John Smith ");           // fixed 11 columns
    EXPECT_STREQ(c.f[7], "001");
    EXPECT_STREQ(c.f[8], "0301");
    EXPECT_STREQ(c.f[9], " Busy ");
    EXPECT_STREQ(c.f[10], "0:30");
    EXPECT_STREQ(c.f[11], "9");

    l.final = false;
    EXPECT_EQ(Split(FormatActivityLine(l)).final, ' ');
}

TEST(FaxsimActivityLine, LongValuesStayInTheirColumns)
{
    ActivityLine l;
    l.job = 12345;  // four columns: the fax server wraps job numbers
    l.destination = "123456789012345678901234";
    l.sender = "A very long sender name";
    Columns c = Split(FormatActivityLine(l));
    EXPECT_STREQ(c.f[0], "2345");
    EXPECT_STREQ(c.f[5], "12345678901234567890");
    EXPECT_STREQ(c.f[6], "A very long");
    EXPECT_STREQ(c.f[8], "0000");
}

TEST(FaxsimQueue, RecordFieldsAtTheirOffsets)
{
    QueueRecord r;
    r.id = 0x1234;
    r.when.tm_min = 7;
    r.when.tm_hour = 9;
    r.when.tm_mday = 5;
    r.when.tm_mon = 2;
    r.when.tm_year = 126;
    r.status = 2;
    r.attempts = 3;
    r.from = "John Smith";
    r.tel = std::string(60, '9');
    std::string rec = EncodeQueueRecord(r);
    ASSERT_EQ(rec.size(), kQueueRecordSize);
    EXPECT_EQ((unsigned char)rec[0], 0x34);
    EXPECT_EQ((unsigned char)rec[1], 0x12);
    EXPECT_EQ(rec[4], 7);
    EXPECT_EQ(rec[5], 9);
    EXPECT_EQ(rec[6], 5);
    EXPECT_EQ(rec[7], 3);
    EXPECT_EQ((unsigned char)rec[8] | ((unsigned char)rec[9] << 8), 2026);
    EXPECT_EQ(rec[10], 2);
    EXPECT_EQ(rec[14], 3);
    EXPECT_STREQ(&rec[16], "John Smith");
    EXPECT_EQ(std::string(&rec[274]), std::string(48, '9'));  // cut, still terminated
    EXPECT_EQ(std::string(kQueueSignature).size(), 20u);
}

TEST(FaxsimJob, ParsesWhatTheGatewayWrites)
{
    std::string bytes = std::string("\x03") +
                        "\nReturn_Good: NO"
                        "\nAttachment: 00000003, 00000004"
                        "\nAttachment-name: report.doc, chart.tif"
                        "\nSend-to: - @ FAX {Jane Roe,555D0100 , S, cover:}, - @ FAX {Ann Lee,555B0199 , S, cover:}"
                        "\nSender: John Smith @ /O=Acme"
                        "\nFrom-name: John Smith"
                        "\nSubject: Report"
                        "\nDate: 2026-12-07 10:00:00"
                        "\n\nbody line\n";
    Job job;
    ASSERT_TRUE(ParseJob(bytes, job));
    EXPECT_FALSE(job.returnGood);
    ASSERT_EQ(job.addresses.size(), 2u);
    EXPECT_EQ(FaxNumberOf(job.addresses[0]), "555.0100");
    EXPECT_EQ(FaxNameOf(job.addresses[0]), "Jane Roe");
    EXPECT_EQ(FaxNumberOf(job.addresses[1]), "555,0199");
    EXPECT_EQ(job.attachments, (std::vector<std::string>{"00000003", "00000004"}));
    EXPECT_EQ(job.attachmentNames, (std::vector<std::string>{"report.doc", "chart.tif"}));
    EXPECT_EQ(job.sender, "John Smith @ /O=Acme");
    EXPECT_EQ(job.subject, "Report");
    EXPECT_EQ(job.body, "body line\n");

    Job notAJob;
    EXPECT_FALSE(ParseJob("Send-to: x", notAJob));
}

TEST(FaxsimJob, ExtendedFieldsAddressGivesItsNumber)
{
    EXPECT_EQ(FaxNumberOf("- @ fax { 5551234, Jane }"), "5551234");
}
