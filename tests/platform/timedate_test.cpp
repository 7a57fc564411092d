/*
 * timedate_test.cpp - TIMEDATE encoding and arithmetic: midnight, month
 * ends, leap years and daylight-saving changes; the sign of differences;
 * strict comparison; local time conversion; the test clock.
 */
#include <time.h>

#include <cstdlib>
#include <string>

#include "test_support.h"
#include "vq_runtime.h"

namespace {

/* Runs a test in a fixed zone and puts the process's zone back after. */
class TimeTest : public vqtest::PlatformTest {
protected:
    static void UseZone(const char *tz)
    {
        setenv("TZ", tz, 1);
        tzset();
    }
    vqtest::EnvGuard zone_{"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"};
};

/* Local wall time in the test zone to a TIMEDATE. */
TIMEDATE Local(int y, int mo, int d, int h, int mi, int s, int hund = 0)
{
    TIME t = {};
    t.year = y;
    t.month = mo;
    t.day = d;
    t.hour = h;
    t.minute = mi;
    t.second = s;
    t.hundredth = hund;
    EXPECT_FALSE(TimeLocalToGM(&t));
    return t.GM;
}

std::string Text(const TIMEDATE &td)
{
    char buf[MAXALPHATIMEDATE + 1];
    WORD len = 0;
    EXPECT_EQ(ConvertTIMEDATEToText(nullptr, nullptr, &td, buf, MAXALPHATIMEDATE, &len), NOERROR);
    return std::string(buf, len);
}

TEST_F(TimeTest, NotesEncodingOfAKnownInstant)
{
    /* 1996-12-10 14:49:04 EST as Notes itself stores it. */
    UseZone("EST5EDT,M4.1.0,M10.5.0");
    TIMEDATE td = Local(1996, 12, 10, 14, 49, 4);
    EXPECT_EQ(td.Innards[0], 0x006CDCC0u);
    EXPECT_EQ(td.Innards[1], 0x852563FCu);
    EXPECT_EQ(VqTimeDateToUnix(&td), 850247344);
}

TEST_F(TimeTest, IncrementAcrossCalendarEdges)
{
    struct Case {
        const char *name;
        int from[6];
        LONG hundredths;
        const char *want;
    };
    const Case cases[] = {
        {"midnight", {2023, 5, 10, 23, 59, 59}, 100, "2023-05-11 00:00:00"},
        {"back over midnight", {2023, 5, 11, 0, 0, 0}, -1, "2023-05-10 23:59:59"},
        {"month end", {2023, 1, 31, 12, 0, 0}, 24 * 360000, "2023-02-01 12:00:00"},
        {"year end", {2023, 12, 31, 23, 30, 0}, 60 * 6000, "2024-01-01 00:30:00"},
        {"leap day", {2024, 2, 28, 10, 0, 0}, 24 * 360000, "2024-02-29 10:00:00"},
        {"no leap day", {2023, 2, 28, 10, 0, 0}, 24 * 360000, "2023-03-01 10:00:00"},
        {"century leap", {2000, 2, 28, 10, 0, 0}, 24 * 360000, "2000-02-29 10:00:00"},
        {"into summer time", {2024, 3, 31, 1, 59, 59}, 100, "2024-03-31 03:00:00"},
        {"out of summer time", {2024, 10, 27, 2, 59, 59}, 100, "2024-10-27 02:00:00"},
        {"a day over the change", {2024, 3, 30, 12, 0, 0}, 24 * 360000, "2024-03-31 13:00:00"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TIMEDATE td = Local(c.from[0], c.from[1], c.from[2], c.from[3], c.from[4], c.from[5]);
        ASSERT_EQ(TimeDateIncrement(&td, c.hundredths), NOERROR);
        EXPECT_EQ(Text(td), c.want);
    }
}

TEST_F(TimeTest, DifferenceIsSignedAndTruncated)
{
    struct Case {
        LONG apartHundredths;
        LONG want; /* (t1 - t2) in seconds with t1 = t2 + apart */
    };
    const Case cases[] = {{0, 0}, {100, 1}, {-100, -1}, {150, 1}, {-150, -1}, {99, 0}, {-99, 0},
                          {8640000, 86400}, {-8640000 * 3, -259200}};
    const TIMEDATE base = Local(2024, 2, 28, 23, 0, 0);
    for (const Case &c : cases) {
        TIMEDATE t1 = base;
        ASSERT_EQ(TimeDateIncrement(&t1, c.apartHundredths), NOERROR);
        EXPECT_EQ(TimeDateDifference(&t1, &base), c.want) << c.apartHundredths;
        EXPECT_EQ(TimeDateDifference(&base, &t1), -c.want) << c.apartHundredths;
    }
    /* Local midnights around the spring change are 23 hours apart. */
    TIMEDATE a = Local(2024, 3, 31, 0, 0, 0), b = Local(2024, 4, 1, 0, 0, 0);
    EXPECT_EQ(TimeDateDifference(&b, &a), 23 * 3600);
}

TEST_F(TimeTest, CompareIsStrictAndIgnoresTheZone)
{
    const TIMEDATE t = Local(2024, 6, 1, 12, 0, 0);
    TIMEDATE later = t;
    TimeDateIncrement(&later, 1);
    TIMEDATE nextDay = t;
    TimeDateIncrement(&nextDay, 8640000 - 1);
    EXPECT_EQ(TimeDateCompare(&t, &t), 0);
    EXPECT_EQ(TimeDateCompare(&later, &t), 1);
    EXPECT_EQ(TimeDateCompare(&t, &later), -1);
    EXPECT_EQ(TimeDateCompare(&nextDay, &later), 1);

    /* The same instant stamped in another zone compares equal. */
    TIMEDATE otherZone = t;
    otherZone.Innards[1] = (t.Innards[1] & 0x00FFFFFFu) | 0x05000000u;
    EXPECT_EQ(TimeDateCompare(&t, &otherZone), 0);
    EXPECT_EQ(TimeDateDifference(&t, &otherZone), 0);

    TIMEDATE lo, hi;
    TimeConstant(TIMEDATE_MINIMUM, &lo);
    TimeConstant(TIMEDATE_MAXIMUM, &hi);
    EXPECT_EQ(TimeDateCompare(&lo, &t), -1);
    EXPECT_EQ(TimeDateCompare(&hi, &t), 1);
}

TEST_F(TimeTest, GMToLocalFillsTheFields)
{
    struct Case {
        int64_t unix;
        int y, mo, d, wd, h, mi, s, dst, zone;
    };
    const Case cases[] = {
        {1704067200, 2024, 1, 1, 2, 1, 0, 0, 0, -1},     /* Monday, winter */
        {1719835200, 2024, 7, 1, 2, 14, 0, 0, 1, -1},    /* Monday, summer */
        {1709164800, 2024, 2, 29, 5, 1, 0, 0, 0, -1},    /* leap day, Thursday */
        {1711846800, 2024, 3, 31, 1, 3, 0, 0, 1, -1},    /* first summer hour, Sunday */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.unix);
        TIME t = {};
        VqTimeDateFromUnix(c.unix, 42, &t.GM);
        ASSERT_FALSE(TimeGMToLocal(&t));
        EXPECT_EQ(t.year, c.y);
        EXPECT_EQ(t.month, c.mo);
        EXPECT_EQ(t.day, c.d);
        EXPECT_EQ(t.weekday, c.wd);
        EXPECT_EQ(t.hour, c.h);
        EXPECT_EQ(t.minute, c.mi);
        EXPECT_EQ(t.second, c.s);
        EXPECT_EQ(t.hundredth, 42);
        EXPECT_EQ(t.dst, c.dst);
        EXPECT_EQ(t.zone, c.zone);
        /* And back. */
        TIME back = t;
        back.GM = TIMEDATE{};
        ASSERT_FALSE(TimeLocalToGM(&back));
        EXPECT_EQ(TimeDateCompare(&back.GM, &t.GM), 0);
    }
    TIME bad = {};
    bad.year = 2024;
    bad.month = 13;
    bad.day = 1;
    EXPECT_TRUE(TimeLocalToGM(&bad));
}

TEST_F(TimeTest, UnixConversionAndText)
{
    const int64_t seconds[] = {0, 1, 86399, 86400, -1, -86401, 951782400, 4102444800};
    for (int64_t s : seconds) {
        TIMEDATE td;
        VqTimeDateFromUnix(s, 0, &td);
        EXPECT_EQ(VqTimeDateToUnix(&td), s);
        EXPECT_LT(td.Innards[0], (DWORD)TICKS_IN_DAY);
    }
    UseZone("UTC0");
    TIMEDATE td;
    VqTimeDateFromUnix(951782400, 0, &td);
    EXPECT_EQ(Text(td), "2000-02-29 00:00:00");

    /* A buffer too small gets the cut text, reported. */
    char buf[8];
    WORD len = 0;
    EXPECT_NE(ConvertTIMEDATEToText(nullptr, nullptr, &td, buf, 4, &len), NOERROR);
    EXPECT_EQ(std::string(buf, len), "2000");
}

TEST_F(TimeTest, IncrementNeedsATime)
{
    TIMEDATE any;
    TimeConstant(TIMEDATE_WILDCARD, &any);
    EXPECT_EQ(TimeDateIncrement(&any, 100), ERR_TREQ);
}

TEST_F(TimeTest, TestClockReplacesNow)
{
    vqtest::SetClock(1700000000, 25);
    EXPECT_EQ(VqTimeSeconds(), 1700000000);
    TIMEDATE now;
    OSCurrentTIMEDATE(&now);
    EXPECT_EQ(VqTimeDateToUnix(&now), 1700000000);
    EXPECT_EQ(now.Innards[0] % 100, 25u);
    vqtest::AdvanceClock(8640000);
    EXPECT_EQ(VqTimeSeconds(), 1700000000 + 86400);
    vqtest::UseRealClock();
    EXPECT_GT(VqTimeSeconds(), 1700000000 + 86400);
}

}  // namespace
