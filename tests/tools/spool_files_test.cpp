/*
 * spool_files_test.cpp - the stand-in fax server's files keep their
 * layout when values are too long for their fields (the roads test reads
 * them back through the gateway with values that fit): activity lines
 * through the gateway's scanf layout, queue records at their offsets.
 */
#include <gtest/gtest.h>

#include <cstdio>

#include "spool_files.h"

using namespace spoolfiles;

TEST(FaxsimFiles, LongValuesStayInTheirFields)
{
    ActivityLine l;
    l.job = 12345; /* four columns: the fax server wraps job numbers */
    l.when.tm_mon = 2;
    l.when.tm_mday = 5;
    l.destination = "123456789012345678901234";
    l.sender = "A very long sender name";
    l.final = true;
    char f[12][32] = {};
    char final = 0;
    const std::string line = FormatActivityLine(l) + "\n";
    std::sscanf(line.c_str(), "%4s %5s %5s %2[^\n]%c%2s %20[^\n] %11[^\n] %3s %4s%6[^\n]%4s%1s", f[0], f[1],
                f[2], f[3], &final, f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11]);
    EXPECT_EQ(std::vector<std::string>(f, f + 12),
              (std::vector<std::string>{"2345", "03/05", "00:00", "TX", "00", "12345678901234567890",
                                        "A very long", "001", "0000", " Sent ", "0:30", "9"}))
        << line;
    EXPECT_EQ(final, '*');

    QueueRecord r;
    r.id = 0x1234;
    r.from = std::string(200, 'f');
    r.tel = std::string(60, '9');
    const std::string rec = EncodeQueueRecord(r);
    ASSERT_EQ(rec.size(), 384u);
    EXPECT_EQ(rec.substr(0, 4), "\x34\x12\x34\x12");
    EXPECT_EQ(rec.substr(16, 129), std::string(128, 'f') + '\0') << "cut, still terminated";
    EXPECT_EQ(rec.substr(274, 49), std::string(48, '9') + '\0');
}

TEST(FaxsimFiles, JobNumbersWrapAfter9999AndSkipWaitingJobs)
{
    EXPECT_EQ(NextJobNumber(0, {}), 1u);
    EXPECT_EQ(NextJobNumber(9999, {}), 1u) << "four digits, never 0000";
    EXPECT_EQ(NextJobNumber(9998, {9999, 1}), 2u);
}
