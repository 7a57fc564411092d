/*
 * addin_test.cpp - add-in task services over a small message table of
 * the test's own: exact log entry texts (%s, %20.20s, %d, an identifier
 * without text, an appended status text), the server log file, status
 * lines (also written from two threads at once), message formatting,
 * AddInIdle's stop conditions and the daily tick, and the start-up
 * helpers that hand out texts.
 */
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vq_runtime.h"

namespace {

using vqtest::LogTexts;
using vqtest::ReadFile;

const VQ_RESOURCE_STRING kTable[] = {
    {13060, "VORTIQ: Fax from %s Successfully Delivered to VORTIQ"},
    {13078, "VORTIQ: Unable to create a unique file name"},
    {13100, "Idle 2.0.1"},
    {13121, nullptr},
    {13123, "VORTIQ: Job %20.20s queued"},
    {13146, "VORTIQ: DS0 %s"},
    {13158, "Receiving inbound fax from %s"},
    {13162, "VORTIQ: Message Create Final error %d."},
};

HMODULE TestModule()
{
    static const HMODULE h = OSRegisterModuleStrings(kTable, sizeof kTable / sizeof kTable[0]);
    return h;
}

class AddInTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        vqtest::SetActiveModule(TestModule());
    }
    void TearDown() override
    {
        vqtest::SetActiveModule(0);
        vqtest::UseRealClock();
        PlatformTest::TearDown();
    }
    std::string Tasks(const std::string &name) const { return data_ / ("tasks/" + name); }
};

TEST_F(AddInTest, LogEntryTexts)
{
    struct Case {
        STATUS id;
        STATUS status;
        const char *arg;
        const char *want;
    };
    const Case cases[] = {
        {13060, 0, "CN=Jane Doe/O=Acme", "VORTIQ: Fax from CN=Jane Doe/O=Acme Successfully Delivered to VORTIQ"},
        {13060, 0, nullptr, "VORTIQ: Fax from  Successfully Delivered to VORTIQ"},
        {13123, 0, "short", "VORTIQ: Job                short queued"},
        {13123, 0, "exactly-twenty-chars-and-more", "VORTIQ: Job exactly-twenty-chars queued"},
        {13146, ERR_NOEXIST, "Error Opening DB", "VORTIQ: DS0 Error Opening DB: File does not exist"},
        {13146, ERR_NOEXIST | STS_DISPLAYED, "x", "VORTIQ: DS0 x: File does not exist"},
        {13146, ERR_NOT_FOUND, "Lookup", "VORTIQ: DS0 Lookup: Entry not found in index"},
        {13146, 13078, "Name", "VORTIQ: DS0 Name: VORTIQ: Unable to create a unique file name"},
        {13146, 0x0399, "Odd", "VORTIQ: DS0 Odd: Unknown error code 921"},
        {13162, 0, "7", "VORTIQ: Message Create Final error 7."},
        {13162, 0, "none", "VORTIQ: Message Create Final error 0."},
        {13121, 0, "Pending by Job ID", "VORTIQ: [13121] Pending by Job ID"},
        {13121, ERR_NOT_FOUND, "View", "VORTIQ: [13121] View: Entry not found in index"},
        {13099, 0, "not in table", "VORTIQ: [13099] not in table"},
        {13146, 0, "two\r\nlines", "VORTIQ: DS0 two  lines"},
    };
    for (const Case &c : cases) {
        vqtest::ClearLog();
        AddInLogError(c.id, c.status, c.arg);
        auto entries = vqtest::LogEntries();
        ASSERT_EQ(entries.size(), 1u) << c.want;
        EXPECT_EQ(entries[0].text, c.want);
        EXPECT_EQ(entries[0].id, c.id);
        EXPECT_EQ(entries[0].status, c.status);
        EXPECT_EQ(entries[0].arg, c.arg != nullptr ? c.arg : "");
    }
}

TEST_F(AddInTest, ServerLogGetsOneStampedLinePerEntry)
{
    vqtest::EnvGuard zone("TZ", "UTC0");
    vqtest::SetClock(1700000000); /* 2023-11-14 22:13:20 UTC */
    AddInLogError(13146, 0, "first");
    AddInLogError(13121, ERR_NOEXIST, "second\nhalf");
    EXPECT_EQ(ReadFile(data_ / "server.log"),
              "2023-11-14 22:13:20  VORTIQ: DS0 first\n"
              "2023-11-14 22:13:20  VORTIQ: [13121] second half: File does not exist\n");
}

TEST_F(AddInTest, LogEchoGoesToStandardOutput)
{
    vqtest::SetLogEcho(true);
    testing::internal::CaptureStdout();
    AddInLogError(13146, 0, "echoed");
    const std::string out = testing::internal::GetCapturedStdout();
    vqtest::SetLogEcho(false);
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d  VORTIQ: DS0 echoed\n)")))
        << out;
    testing::internal::CaptureStdout();
    AddInLogError(13146, 0, "quiet");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(AddInTest, FormatterConversions)
{
    struct Case {
        const char *pattern;
        std::vector<VQARG> args;
        std::string want;
    };
    const Case cases[] = {
        {"[%s]", {VqArg("abc")}, "[abc]"},
        {"[%20.20s]", {VqArg("abc")}, "[                 abc]"},
        {"[%-5s|%.2s]", {VqArg("ab"), VqArg("xyz")}, "[ab   |xy]"},
        {"[%d]", {VqArg(-42)}, "[-42]"},
        {"[%.4d]", {VqArg(7)}, "[0007]"},
        {"[%3.3d]", {VqArg(5)}, "[005]"},
        {"[%5d]", {VqArg(12)}, "[   12]"},
        {"[%ld %u]", {VqArg(123456789L), VqArg(40000u)}, "[123456789 40000]"},
        {"[%x %X]", {VqArg(255), VqArg(0xABC)}, "[ff ABC]"},
        {"[%c%c]", {VqArg((int)'o'), VqArg((int)'k')}, "[ok]"},
        {"[100%%]", {}, "[100%]"},
        {"[%s|%d]", {}, "[|0]"},              /* missing arguments */
        {"[%s]", {VqArg("a"), VqArg("b")}, "[a]"}, /* extra argument unused */
        {"[%q]", {VqArg("a")}, "[%q]"},          /* unknown conversion stays */
        {"[%s]", {VqArg(9)}, "[9]"},
        {"trailing %", {}, "trailing %"},
    };
    for (const Case &c : cases) {
        const VQ_RESOURCE_STRING one[] = {{13200, c.pattern}};
        vqtest::SetActiveModule(OSRegisterModuleStrings(one, 1));
        char buf[MAXSPRINTF];
        AddInFormatErrorV(buf, 13200, (int)c.args.size(), c.args.data());
        EXPECT_EQ(std::string(buf), c.want) << c.pattern;
    }
}

/* Bounded output; a message id first, then a status text, then the
 * unknown code (13121 has no text of its own). */
TEST_F(AddInTest, FormatErrorIsBoundedAndLooksUpInOrder)
{
    const std::string longArg(1000, 'L');
    char buf[MAXSPRINTF + 16];
    std::memset(buf, 'G', sizeof buf);
    AddInFormatError(buf, 13146, longArg.c_str());
    EXPECT_EQ(std::strlen(buf), (size_t)MAXSPRINTF - 1);
    EXPECT_EQ(buf[MAXSPRINTF], 'G'); /* nothing written past the buffer */

    AddInFormatError(buf, 13123, "%s%s%n");
    EXPECT_STREQ(buf, "VORTIQ: Job               %s%s%n queued");
    AddInFormatError(buf, 13162, 259);
    EXPECT_STREQ(buf, "VORTIQ: Message Create Final error 259.");
    AddInFormatError(buf, (STATUS)(ERR_ODS_NO_SUCH_ENTRY | STS_DISPLAYED));
    EXPECT_STREQ(buf, "No such entry");
    AddInFormatError(buf, 13121);
    EXPECT_STREQ(buf, "Unknown error code 13121");
}

TEST_F(AddInTest, StatusLinesAreKeptAndWrittenAtomically)
{
    AddInSetStatus(13100);
    AddInSetStatus(13158, "+1 555 0100");
    EXPECT_EQ(vqtest::StatusLines(), (std::vector<std::string>{"Idle 2.0.1", "Receiving inbound fax from +1 555 0100"}));
    EXPECT_EQ(ReadFile(Tasks("vortiq.status")), "Receiving inbound fax from +1 555 0100\n");
    EXPECT_EQ(vqtest::ListDir(data_ / "tasks"), (std::vector<std::string>{"vortiq.status"}));

    AddInSetTaskName("faxtwo");
    AddInSetStatus(13100);
    EXPECT_EQ(ReadFile(Tasks("faxtwo.status")), "Idle 2.0.1\n");
    AddInSetTaskName("../escape"); /* not a plain name: ignored */
    AddInSetStatus(13100);
    EXPECT_TRUE(vqtest::FileExists(Tasks("faxtwo.status")));
    EXPECT_FALSE(vqtest::FileExists(data_ / "escape.status"));
    vqtest::ClearStatus();
    EXPECT_TRUE(vqtest::StatusLines().empty());

    /* a task that has ended is no longer listed as running */
    EXPECT_EQ(AddInSDKTerm(7), 7);
    EXPECT_FALSE(vqtest::FileExists(Tasks("faxtwo.status")));
    EXPECT_TRUE(vqtest::FileExists(Tasks("vortiq.status")));
}

/* Every status write of a process went through one temporary name, so
 * two threads setting the status at once truncated and wrote into each
 * other's file, and a line of one could be renamed in with the tail of the
 * other's. Whatever the interleaving, the file must hold one whole line. */
TEST_F(AddInTest, StatusWrittenFromTwoThreadsIsAlwaysOneWholeLine)
{
    const std::string shortArg = "1", longArg(120, 'x');
    const std::string want[] = {"Receiving inbound fax from " + shortArg + "\n",
                                "Receiving inbound fax from " + longArg + "\n"};
    std::atomic<int> running{2};
    auto writer = [&](const std::string &arg) {
        for (int i = 0; i < 500; ++i)
            AddInSetStatus(13158, arg.c_str());
        --running;
    };
    std::thread a(writer, shortArg), b(writer, longArg);
    int reads = 0, bad = 0;
    while (running > 0 || reads == 0) {
        const std::string got = ReadFile(Tasks("vortiq.status"));
        if (!got.empty() && got != want[0] && got != want[1])
            ++bad;
        ++reads;
    }
    a.join();
    b.join();
    EXPECT_EQ(bad, 0) << "of " << reads << " reads";
    const std::string last = ReadFile(Tasks("vortiq.status"));
    EXPECT_TRUE(last == want[0] || last == want[1]) << last;
    EXPECT_EQ(vqtest::ListDir(data_ / "tasks"), (std::vector<std::string>{"vortiq.status"}));
}

TEST_F(AddInTest, IdleStopsAfterTurnsAndStaysStopped)
{
    std::vector<int> turns;
    vqtest::SetIdleHook([&](int t) { turns.push_back(t); });
    vqtest::SetIdleStopAfter(2);
    std::vector<BOOL> got;
    for (int i = 0; i < 4; ++i)
        got.push_back(AddInIdle());
    EXPECT_EQ(got, (std::vector<BOOL>{FALSE, FALSE, TRUE, TRUE}));
    EXPECT_EQ(turns, (std::vector<int>{1, 2, 3, 4}));
    vqtest::ResetIdle();
    vqtest::SetIdlePaceMs(0);
    EXPECT_FALSE(AddInIdle());
}

TEST_F(AddInTest, IdleStopsOnAQuitRequest)
{
    EXPECT_FALSE(AddInIdle());
    vqtest::MakeDirs(data_ / "tasks");
    vqtest::WriteFile(Tasks("other.quit"), ""); /* another task's request */
    EXPECT_FALSE(AddInIdle());
    vqtest::WriteFile(Tasks("vortiq.quit"), "");
    EXPECT_TRUE(AddInIdle());
    EXPECT_FALSE(vqtest::FileExists(Tasks("vortiq.quit"))); /* taken */
    EXPECT_TRUE(vqtest::FileExists(Tasks("other.quit")));
    EXPECT_TRUE(AddInIdle());
}

TEST_F(AddInTest, IdleStopsOnTermAndInt)
{
    char prog[] = "vortiq";
    char *argv[] = {prog, nullptr};
    ASSERT_EQ(AddInSDKInit(1, argv), NOERROR);
    for (int sig : {SIGTERM, SIGINT}) {
        vqtest::ResetIdle();
        vqtest::SetIdlePaceMs(0);
        EXPECT_FALSE(AddInIdle());
        raise(sig); /* the handler only sets the flag */
        EXPECT_TRUE(AddInIdle()) << sig;
        EXPECT_TRUE(AddInIdle()) << sig;
    }
    vqtest::ResetIdle();
    vqtest::SetIdlePaceMs(0);
    EXPECT_EQ(AddInSDKTerm(ERR_IO), ERR_IO);
}

TEST_F(AddInTest, DayHasElapsedOncePerLocalDay)
{
    vqtest::EnvGuard zone("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    struct Step {
        int64_t unix;
        BOOL want;
    };
    const Step steps[] = {
        {1711839600, TRUE},  /* 2024-03-31 00:00 CET, first call */
        {1711840200, FALSE},
        {1711922340, FALSE}, /* 2024-03-31 23:59 CEST */
        {1711922400, TRUE},  /* 2024-04-01 00:00 CEST */
        {1711930000, FALSE},
        {1712008800, TRUE},  /* 2024-04-02 */
    };
    for (const Step &s : steps) {
        vqtest::SetClock(s.unix);
        EXPECT_EQ(AddInDayHasElapsed(), s.want) << s.unix;
    }
    bool answer = true;
    vqtest::SetDayElapsedHook([&] { return answer; });
    EXPECT_TRUE(AddInDayHasElapsed());
    EXPECT_TRUE(AddInDayHasElapsed());
    answer = false;
    EXPECT_FALSE(AddInDayHasElapsed());
}

TEST_F(AddInTest, ModulesAndStartUpTexts)
{
    HMODULE first = NULLHANDLE, inst = 99, prev = 99;
    NotesInitModule(&first, &inst, &prev);
    EXPECT_NE(first, NULLHANDLE);
    NotesInitModule(nullptr, nullptr, nullptr);

    char buf[16];
    EXPECT_EQ(OSLoadString(TestModule(), 13100, buf, sizeof buf), 10);
    EXPECT_STREQ(buf, "Idle 2.0.1");
    EXPECT_EQ(OSLoadString(TestModule(), 13060, buf, 8), 7);
    EXPECT_STREQ(buf, "VORTIQ:");
    EXPECT_EQ(OSLoadString(TestModule(), 13121, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(OSLoadString(0, 13100, buf, sizeof buf), 0);

    char err[8];
    EXPECT_EQ(NotesSDKMAINError(ERR_NOEXIST, err, 4), 1);
    EXPECT_STREQ(err, "File");
    EXPECT_EQ(NotesSDKMAINInitError(ERR_IO, err, 7), 1);
    EXPECT_STREQ(err, "File I/");
    char prog[] = "vortiq";
    char *argv[] = {prog, nullptr};
    EXPECT_EQ(NotesSDKMAINInit(nullptr, 1, argv, 0, 0), NOERROR);
}

}  // namespace
