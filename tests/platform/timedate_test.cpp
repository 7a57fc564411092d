/*
 * timedate_test.cpp - local time across zones and daylight-saving
 * changes, with the zone switched between rows faster than once a second.
 */
#include <string>

#include "test_support.h"
#include "vq_runtime.h"

namespace {

struct ZoneCase {
    const char *tz;
    int64_t unix;
    DWORD zoneBits; /* Innards[1] above the day */
    int hour;
    BOOL dst;
    int zone;
};

/* Zone bits, local hour and daylight flag for instants on both sides of
 * the 2026 spring changes; every row switches TZ, within one second. */
TEST(TimeDateTest, LocalTimeFollowsTheZoneAcrossDaylightChanges)
{
    const ZoneCase cases[] = {
        {"Europe/Berlin", 1768478400, 0xC1000000u, 13, FALSE, -1},    /* January */
        {"America/New_York", 1768478400, 0x85000000u, 7, FALSE, 5},
        {"Europe/Berlin", 1784116800, 0xC1000000u, 14, TRUE, -1},     /* July */
        {"America/New_York", 1784116800, 0x85000000u, 8, TRUE, 5},
        {"Europe/Berlin", 1774745999, 0xC1000000u, 1, FALSE, -1},     /* last second of CET */
        {"America/New_York", 1772953199, 0x85000000u, 1, FALSE, 5},   /* last second of EST */
        {"Europe/Berlin", 1774746000, 0xC1000000u, 3, TRUE, -1},      /* first of CEST */
        {"America/New_York", 1772953200, 0x85000000u, 3, TRUE, 5},    /* first of EDT */
        {"Asia/Kolkata", 1784116800, 0x65000000u, 17, FALSE, -3005}, /* +05:30, no DST */
        {"UTC", 1784116800, 0x00000000u, 12, FALSE, 0},
    };
    for (const ZoneCase &c : cases) {
        vqtest::EnvGuard tz("TZ", c.tz);
        SCOPED_TRACE(std::string(c.tz) + " " + std::to_string(c.unix));
        TIME t = {};
        VqTimeDateFromUnix(c.unix, 0, &t.GM);
        EXPECT_EQ(t.GM.Innards[1] & 0xFF000000u, c.zoneBits);
        ASSERT_FALSE(TimeGMToLocal(&t));
        EXPECT_EQ(t.hour, c.hour);
        EXPECT_EQ(t.dst, c.dst);
        EXPECT_EQ(t.zone, c.zone);
        TIME back = t;
        back.GM = {};
        ASSERT_FALSE(TimeLocalToGM(&back));
        EXPECT_EQ(VqTimeDateToUnix(&back.GM), c.unix);
        EXPECT_EQ(back.GM.Innards[1], t.GM.Innards[1]);
    }
}

}  // namespace
