/*
 * faxsim_files_test.cpp - the stand-in fax server's files read back the
 * way the gateway reads them, also with values too long for their fields:
 * activity lines through the gateway's scanf layout, queue records at
 * their byte offsets, job files as the gateway writes them.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "faxsim_files.h"

using namespace faxsim;

TEST(FaxsimFiles, ActivityLineColumnsThroughTheGatewayLayout)
{
    struct Case {
        unsigned job;
        std::string to, from;
        bool final;
        std::vector<std::string> want; /* job date time type retries to from pages code expl conn speed */
        char wantFinal;
    } cases[] = {
        {7, "555.0100", "John Smith", true,
         {"0007", "03/05", "09:07", "TX", "02", "555.0100            ", "John Smith ", "001", "0301",
          " Busy ", "0:30", "9"}, '*'},
        {12345, "123456789012345678901234", "A very long sender name", false,
         {"2345", "03/05", "09:07", "TX", "02", "12345678901234567890", "A very long", "001", "0301",
          " Busy ", "0:30", "9"}, ' '},
    };
    for (const Case &c : cases) {
        ActivityLine l;
        l.job = c.job;
        l.when.tm_mon = 2;
        l.when.tm_mday = 5;
        l.when.tm_hour = 9;
        l.when.tm_min = 7;
        l.destination = c.to;
        l.sender = c.from;
        l.final = c.final;
        l.retries = 2;
        l.code = "0301";
        l.explanation = " Busy ";
        char f[12][32] = {};
        char final = 0;
        const std::string line = FormatActivityLine(l) + "\n";
        std::sscanf(line.c_str(), "%4s %5s %5s %2[^\n]%c%2s %20[^\n] %11[^\n] %3s %4s%6[^\n]%4s%1s", f[0],
                    f[1], f[2], f[3], &final, f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11]);
        EXPECT_EQ(std::vector<std::string>(f, f + 12), c.want) << line;
        EXPECT_EQ(final, c.wantFinal);
    }
}

TEST(FaxsimFiles, QueueRecordFieldsAtTheirOffsets)
{
    QueueRecord r;
    r.id = 0x1234;
    r.when = {};
    r.when.tm_min = 7;
    r.when.tm_hour = 9;
    r.when.tm_mday = 5;
    r.when.tm_mon = 2;
    r.when.tm_year = 126;
    r.status = 2;
    r.attempts = 3;
    r.from = "John Smith";
    r.tel = std::string(60, '9');
    const std::string rec = EncodeQueueRecord(r);
    ASSERT_EQ(rec.size(), 384u);
    const std::vector<unsigned char> bytes(rec.begin(), rec.begin() + 16); /* id twice, min hour day month */
    EXPECT_EQ(bytes, (std::vector<unsigned char>{0x34, 0x12, 0x34, 0x12, 7, 9, 5, 3, 0xEA, 0x07, 2, 0, 0, 0, 3, 0}));
    EXPECT_STREQ(&rec[16], "John Smith");
    EXPECT_EQ(std::string(&rec[274]), std::string(48, '9')) << "cut, still terminated";
    EXPECT_EQ(std::string(kQueueSignature), "TMB_FAX_LANQUEUE3.00");
}

TEST(FaxsimFiles, JobAsTheGatewayWritesIt)
{
    Job job;
    ASSERT_TRUE(ParseJob("\x03\nReturn_Good: NO\nAttachment: 00000003, 00000004"
                         "\nAttachment-name: report.doc, chart.tif"
                         "\nSend-to: - @ FAX {Jane Roe,555D0100 , S, cover:}, - @ FAX {Ann Lee,555B0199 , S, cover:}"
                         "\nSender: John Smith @ /O=Acme\nSubject: Report\n\nbody line\n",
                         job));
    EXPECT_FALSE(job.returnGood);
    ASSERT_EQ(job.addresses.size(), 2u);
    EXPECT_EQ(FaxNumberOf(job.addresses[0]), "555.0100");
    EXPECT_EQ(FaxNameOf(job.addresses[0]), "Jane Roe");
    EXPECT_EQ(FaxNumberOf(job.addresses[1]), "555,0199");
    EXPECT_EQ(job.attachments, (std::vector<std::string>{"00000003", "00000004"}));
    EXPECT_EQ(job.attachmentNames, (std::vector<std::string>{"report.doc", "chart.tif"}));
    EXPECT_EQ(job.subject, "Report");
    EXPECT_EQ(job.body, "body line\n");
    EXPECT_FALSE(ParseJob("Send-to: x", job));
}
