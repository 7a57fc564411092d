/*
 * timedate.cpp - TIMEDATE in the Notes encoding and the platform clock.
 *
 * Innards[0] holds hundredths since midnight GMT, Innards[1] the Julian
 * day in bits 0-23 and the local zone above it (bit 31: the zone observes
 * daylight saving; bit 30: east of GMT; bits 29-28: quarter hours; bits
 * 27-24: whole hours). Comparisons and differences use only the GMT
 * instant, so two TIMEDATEs made in different zones still compare right.
 * Local time comes from the process's TZ (localtime_r / mktime).
 * mktime re-reads the zone on every call (with TZ unset, a stat of the
 * zone file), and a TIMEDATE takes two of them: the zone is re-checked
 * instead when TZ changes and otherwise at most once a second, and what
 * depends only on the zone and the year is kept until then, as is the
 * last second converted to local time (a burst of TIMEDATEs in the same
 * second then costs only arithmetic).
 * Tests may replace "now" with a clock of their own.
 */
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "runtime_internal.h"
#include "vq_runtime.h"
#include "vq_testhooks.h"

namespace {

constexpr DWORD kJulianUnixEpoch = 2440588; /* Julian day of 1970-01-01 */
constexpr DWORD kDayMask = 0x00FFFFFFu;

std::atomic<bool> g_testClock{false};
std::atomic<int64_t> g_testHundredths{0};

int64_t FloorDiv(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

/* Hundredths since the Unix epoch of a TIMEDATE (date and time parts). */
int64_t ToHundredths(const TIMEDATE *t)
{
    const int64_t day = (int64_t)(t->Innards[1] & kDayMask) - kJulianUnixEpoch;
    return day * TICKS_IN_DAY + (int64_t)t->Innards[0];
}

/* The local zone as last checked, and what was derived from it. */
struct ZoneMemo {
    std::mutex mutex;
    bool checked = false;
    bool tzSet = false;
    std::string tz;        /* TZ at the last check */
    time_t checkedAt = 0;  /* monotonic second of the last check */
    std::map<int, bool> observes; /* year - 1900: January and July differ */
    /* the last Unix second converted since the check, and its local time */
    bool lastValid = false;
    time_t lastAt = 0;
    struct tm lastTm;
    int lastObserves = -1; /* -1: not asked yet */
};

ZoneMemo &Zone()
{
    static ZoneMemo *z = new ZoneMemo; /* outlives static destructors */
    return *z;
}

/* Re-reads the zone (tzset) when TZ changed, and otherwise at most once
 * a second, so a replaced zone file is followed too. Caller holds the
 * memo's mutex. */
void FollowZoneLocked(ZoneMemo &z)
{
    const char *tz = std::getenv("TZ");
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    const bool sameTz = z.checked && z.tzSet == (tz != nullptr) && (tz == nullptr || z.tz == tz);
    if (sameTz && ts.tv_sec == z.checkedAt)
        return;
    tzset();
    z.checked = true;
    z.tzSet = tz != nullptr;
    z.tz = tz != nullptr ? tz : "";
    z.checkedAt = ts.tv_sec;
    z.observes.clear();
    z.lastValid = false;
}

/* localtime_r of t in the zone as followed, from the last conversion when
 * it was of the same second. Caller holds the memo's mutex. */
bool LocalTimeLocked(ZoneMemo &z, time_t t, struct tm *out)
{
    if (!z.lastValid || z.lastAt != t) {
        if (localtime_r(&t, &z.lastTm) == nullptr) {
            z.lastValid = false;
            return false;
        }
        z.lastValid = true;
        z.lastAt = t;
        z.lastObserves = -1;
    }
    *out = z.lastTm;
    return true;
}

/* Whether the zone observes daylight saving in a year: January and July
 * of the year differ in their offset. */
bool ObservesLocked(ZoneMemo &z, int tmYear)
{
    const auto known = z.observes.find(tmYear);
    if (known != z.observes.end())
        return known->second;
    bool observes = false;
    struct tm probe;
    std::memset(&probe, 0, sizeof probe);
    probe.tm_year = tmYear;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    struct tm jan = probe, jul = probe;
    jul.tm_mon = 6;
    time_t tj = mktime(&jan), tl = mktime(&jul);
    if (tj != (time_t)-1 && tl != (time_t)-1)
        observes = jan.tm_gmtoff != jul.tm_gmtoff;
    if (z.observes.size() >= 64)
        z.observes.clear();
    z.observes.emplace(tmYear, observes);
    return observes;
}

/* localtime_r of the zone as followed above. */
bool LocalTime(time_t t, struct tm *out)
{
    ZoneMemo &z = Zone();
    std::lock_guard<std::mutex> lock(z.mutex);
    FollowZoneLocked(z);
    return LocalTimeLocked(z, t, out);
}

/* Zone bits of Innards[1] for the local zone at a Unix time. */
DWORD ZoneBits(int64_t unixSeconds)
{
    time_t t = (time_t)unixSeconds;
    struct tm now;
    bool observes;
    {
        ZoneMemo &z = Zone();
        std::lock_guard<std::mutex> lock(z.mutex);
        FollowZoneLocked(z);
        if (!LocalTimeLocked(z, t, &now))
            return 0;
        if (z.lastObserves < 0)
            z.lastObserves = ObservesLocked(z, now.tm_year) ? 1 : 0;
        observes = z.lastObserves != 0;
    }
    long standard = now.tm_gmtoff - (now.tm_isdst > 0 ? 3600 : 0);
    DWORD bits = 0;
    if (observes)
        bits |= 0x80000000u;
    if (standard > 0)
        bits |= 0x40000000u;
    const long absOff = standard < 0 ? -standard : standard;
    const DWORD hours = (DWORD)(absOff / 3600) & 0x0F;
    const DWORD quarters = (DWORD)((absOff % 3600) / 900) & 0x03;
    bits |= quarters << 28;
    bits |= hours << 24;
    return bits;
}

void FromHundredths(int64_t h, TIMEDATE *out)
{
    const int64_t day = FloorDiv(h, TICKS_IN_DAY);
    const int64_t ticks = h - day * TICKS_IN_DAY;
    out->Innards[0] = (DWORD)ticks;
    out->Innards[1] = ((DWORD)(day + kJulianUnixEpoch) & kDayMask) |
                      ZoneBits(FloorDiv(h, TICKS_IN_SECOND));
}

int64_t RealNowHundredths()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 100 + ts.tv_nsec / 10000000;
}

/* Notes zone number: hours west of GMT; a zone off the hour puts its
 * minutes first (GMT-04:30 is 3004, GMT+05:30 is -3005). */
int ZoneNumber(long standardEastSeconds)
{
    long west = -standardEastSeconds;
    long absWest = west < 0 ? -west : west;
    int hours = (int)(absWest / 3600);
    int minutes = (int)((absWest % 3600) / 60);
    int zone = minutes != 0 ? minutes * 100 + hours : hours;
    return west < 0 ? -zone : zone;
}

}  // namespace

namespace vq {

int64_t NowHundredths()
{
    if (g_testClock.load())
        return g_testHundredths.load();
    return RealNowHundredths();
}

std::string LocalTimeText(int64_t unixSeconds)
{
    struct tm lt;
    char buf[64];
    if (!LocalTime((time_t)unixSeconds, &lt))
        return "0000-00-00 00:00:00";
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", lt.tm_year + 1900,
                  lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec);
    return buf;
}

}  // namespace vq

void OSCurrentTIMEDATE(TIMEDATE *retTimeDate)
{
    if (retTimeDate != nullptr)
        FromHundredths(vq::NowHundredths(), retTimeDate);
}

int64_t VqTimeSeconds(void)
{
    return FloorDiv(vq::NowHundredths(), TICKS_IN_SECOND);
}

void VqTimeDateFromUnix(int64_t Seconds, int Hundredths, TIMEDATE *retTimeDate)
{
    if (retTimeDate != nullptr)
        FromHundredths(Seconds * TICKS_IN_SECOND + Hundredths, retTimeDate);
}

int64_t VqTimeDateToUnix(const TIMEDATE *Time)
{
    if (Time == nullptr)
        return 0;
    return FloorDiv(ToHundredths(Time), TICKS_IN_SECOND);
}

void TimeConstant(WORD TimeConstantType, TIMEDATE *retTimeDate)
{
    if (retTimeDate == nullptr)
        return;
    switch (TimeConstantType) {
    case TIMEDATE_MINIMUM:
        retTimeDate->Innards[0] = 0;
        retTimeDate->Innards[1] = 0;
        break;
    case TIMEDATE_MAXIMUM:
        /* The last hundredth of the last day the 24-bit day number holds. */
        retTimeDate->Innards[0] = TICKS_IN_DAY - 1;
        retTimeDate->Innards[1] = kDayMask;
        break;
    default:
        retTimeDate->Innards[0] = ALLDAY;
        retTimeDate->Innards[1] = ANYDAY;
        break;
    }
}

STATUS TimeDateIncrement(TIMEDATE *Time, LONG Interval)
{
    if (Time == nullptr)
        return ERR_BAD_PARAM;
    if (Time->Innards[0] == ALLDAY || Time->Innards[1] == ANYDAY)
        return ERR_TREQ;
    const DWORD zone = Time->Innards[1] & ~kDayMask;
    const int64_t h = ToHundredths(Time) + Interval;
    const int64_t day = FloorDiv(h, TICKS_IN_DAY);
    if (day + kJulianUnixEpoch < 0 || day + kJulianUnixEpoch > (int64_t)kDayMask)
        return ERR_TDO_CONV;
    Time->Innards[0] = (DWORD)(h - day * TICKS_IN_DAY);
    Time->Innards[1] = ((DWORD)(day + kJulianUnixEpoch) & kDayMask) | zone;
    return NOERROR;
}

int TimeDateCompare(const TIMEDATE *t1, const TIMEDATE *t2)
{
    const DWORD d1 = t1->Innards[1] & kDayMask, d2 = t2->Innards[1] & kDayMask;
    if (d1 != d2)
        return d1 < d2 ? -1 : 1;
    if (t1->Innards[0] != t2->Innards[0])
        return t1->Innards[0] < t2->Innards[0] ? -1 : 1;
    return 0;
}

LONG TimeDateDifference(const TIMEDATE *t1, const TIMEDATE *t2)
{
    const int64_t diff = (ToHundredths(t1) - ToHundredths(t2)) / TICKS_IN_SECOND;
    if (diff > INT32_MAX)
        return INT32_MAX;
    if (diff < INT32_MIN)
        return INT32_MIN;
    return (LONG)diff;
}

BOOL TimeGMToLocal(TIME *Time)
{
    if (Time == nullptr)
        return TRUE;
    const int64_t h = ToHundredths(&Time->GM);
    const time_t secs = (time_t)FloorDiv(h, TICKS_IN_SECOND);
    struct tm lt;
    if (!LocalTime(secs, &lt))
        return TRUE;
    Time->year = lt.tm_year + 1900;
    Time->month = lt.tm_mon + 1;
    Time->day = lt.tm_mday;
    Time->weekday = lt.tm_wday + 1;
    Time->hour = lt.tm_hour;
    Time->minute = lt.tm_min;
    Time->second = lt.tm_sec;
    Time->hundredth = (int)(h - (int64_t)secs * TICKS_IN_SECOND);
    Time->dst = lt.tm_isdst > 0 ? TRUE : FALSE;
    Time->zone = ZoneNumber(lt.tm_gmtoff - (lt.tm_isdst > 0 ? 3600 : 0));
    return FALSE;
}

BOOL TimeLocalToGM(TIME *Time)
{
    if (Time == nullptr)
        return TRUE;
    if (Time->month < 1 || Time->month > 12 || Time->day < 1 || Time->day > 31 ||
        Time->hour < 0 || Time->hour > 23 || Time->minute < 0 || Time->minute > 59 ||
        Time->second < 0 || Time->second > 59 || Time->hundredth < 0 || Time->hundredth > 99)
        return TRUE;
    struct tm lt;
    std::memset(&lt, 0, sizeof lt);
    lt.tm_year = Time->year - 1900;
    lt.tm_mon = Time->month - 1;
    lt.tm_mday = Time->day;
    lt.tm_hour = Time->hour;
    lt.tm_min = Time->minute;
    lt.tm_sec = Time->second;
    lt.tm_isdst = -1;
    errno = 0;
    const time_t secs = mktime(&lt);
    if (secs == (time_t)-1 && errno != 0)
        return TRUE;
    FromHundredths((int64_t)secs * TICKS_IN_SECOND + Time->hundredth, &Time->GM);
    Time->weekday = lt.tm_wday + 1;
    Time->dst = lt.tm_isdst > 0 ? TRUE : FALSE;
    Time->zone = ZoneNumber(lt.tm_gmtoff - (lt.tm_isdst > 0 ? 3600 : 0));
    return FALSE;
}

STATUS ConvertTIMEDATEToText(const void *IntlFormat, const void *TextFormat,
                             const TIMEDATE *InputTime, char *retTextBuffer,
                             WORD TextBufferLength, WORD *retTextLength)
{
    (void)IntlFormat;
    (void)TextFormat;
    if (retTextLength != nullptr)
        *retTextLength = 0;
    if (InputTime == nullptr || retTextBuffer == nullptr)
        return ERR_BAD_PARAM;
    std::string text;
    const bool noTime = InputTime->Innards[0] == ALLDAY;
    const bool noDate = InputTime->Innards[1] == ANYDAY;
    if (noTime && noDate) {
        text = "";
    } else if (noTime || noDate) {
        /* A date alone or a time alone: the part that is there, as GMT for
         * a time (no day to convert it with). */
        if (noTime) {
            TIMEDATE t = {{0, InputTime->Innards[1]}};
            text = vq::LocalTimeText(VqTimeDateToUnix(&t)).substr(0, 10);
        } else {
            const DWORD s = InputTime->Innards[0] / TICKS_IN_SECOND;
            char buf[16];
            std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", (unsigned)(s / 3600 % 100),
                          (unsigned)(s / 60 % 60), (unsigned)(s % 60));
            text = buf;
        }
    } else {
        text = vq::LocalTimeText(VqTimeDateToUnix(InputTime));
    }
    const size_t n = text.size() <= TextBufferLength ? text.size() : TextBufferLength;
    std::memcpy(retTextBuffer, text.data(), n);
    if (n < TextBufferLength)
        retTextBuffer[n] = '\0';
    if (retTextLength != nullptr)
        *retTextLength = (WORD)n;
    return n < text.size() ? ERR_BAD_PARAM : NOERROR;
}

namespace vqtest {

void SetClock(int64_t unixSeconds, int hundredths)
{
    g_testHundredths.store(unixSeconds * TICKS_IN_SECOND + hundredths);
    g_testClock.store(true);
}

void AdvanceClock(long hundredths)
{
    if (!g_testClock.load()) {
        g_testHundredths.store(RealNowHundredths());
        g_testClock.store(true);
    }
    g_testHundredths.fetch_add(hundredths);
}

void UseRealClock()
{
    g_testClock.store(false);
}

}  // namespace vqtest
