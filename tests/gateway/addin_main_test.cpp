// addin_main_test.cpp - AddInMain's start-up, timers and stop flag on the test clock; passes seen through VqPassHook.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <functional>

#include "loop_hooks.h"
#include "notes_fixture.h"
#include "test_support.h"
#include "vortiq.h"
#include "vq_runtime.h"

namespace {

const int64_t kStart = 1700000000;
const long kStep = 100; // each loop turn moves the clock 1 s
const std::vector<std::string> kAll = {"OutboundTask", "ImportActivity", "DelActivity", "AddPending", "DoInboundTask"};

long g_elapsed = 0;                              // hundredths since start-up
std::vector<std::pair<std::string, long>> g_passes; // name, start
std::function<void(const std::string &)> g_passAction;

void Advance(long hundredths) { vqtest::AdvanceClock(hundredths), g_elapsed += hundredths; }

void RecordPass(const char *pass)
{
    g_passes.emplace_back(pass, g_elapsed);
    if (g_passAction)
        g_passAction(pass);
}

// Start times of a pass, at most the first n.
std::vector<long> StartsOf(const std::string &pass, size_t n = 9)
{
    std::vector<long> out;
    for (const auto &p : g_passes)
        if (p.first == pass && out.size() < n)
            out.push_back(p.second);
    return out;
}

class AddInMainTest : public vqtest::PlatformTest {
protected:
    void SetUp() override { PlatformTest::SetUp(), VqPassHook = RecordPass; }
    void TearDown() override
    {
        VqPassHook = nullptr, g_passAction = nullptr;
        vqtest::SetIdleHook(nullptr), vqtest::SetDayElapsedHook(nullptr);
        PlatformTest::TearDown();
    }

    // A server with the four required keys set; clock, passes and log start afresh.
    void Configure()
    {
        if (!serverMade_) {
            vqtest::CreateNamesDb();
            vqtest::AddPerson("Fax Admin", "faxadmin", "");
            vqtest::CreateActivityDb();
            for (const char *dir : {"FAX/IN", "FAX/IPARCEL", "FAX/OUT", "FAX/OPARCEL", "FAX/ERROR", "PUBLIC", "UTIL/DATA"})
                vqtest::MakeDirs(data_ / "spool/TMBFAX/" + dir);
            vqtest::WriteFile(data_ / "spool/TMBFAX/PUBLIC/SVCQ", "TMB_FAX_LANQUEUE3.00");
            serverMade_ = true;
        }
        const std::string spool = data_ / "spool";
        for (auto kv : {std::make_pair("VortiqDomain", "FAXGATE"), {"VortiqPath", spool.c_str()},
                        {"VortiqMsgfile", "vortiq.box"}, {"VortiqAdministrator", "faxadmin"}})
            Set(kv.first, kv.second);
        vqtest::SetClock(kStart), vqtest::ClearLog();
        g_elapsed = 0, g_passes.clear();
    }
    static void Set(const char *key, const char *value) { ASSERT_EQ(OSSetEnvironmentVariable(key, value), NOERROR) << key; }

    // At most `turns` loop turns of kStep each; keepGoing clears a stop flag a pass set.
    STATUS Run(int turns, std::function<void(int)> atTurn = nullptr, bool keepGoing = true)
    {
        HMODULE hMod = NULLHANDLE;
        NotesInitModule(&hMod, nullptr, nullptr);
        vqtest::ResetIdle(), vqtest::SetIdlePaceMs(0), vqtest::SetIdleStopAfter(turns);
        vqtest::SetDayElapsedHook([] { return false; });
        vqtest::SetIdleHook([this, atTurn, keepGoing](int turn) {
            lastTurn_ = turn, Advance(kStep);
            if (keepGoing)
                E_quit = 0;
            if (atTurn)
                atTurn(turn);
        });
        return AddInMain(hMod, 0, nullptr);
    }

    // Log entries after the one start message.
    static std::vector<vqtest::Logged> AfterStart()
    {
        std::vector<vqtest::Logged> all = vqtest::LogSummary(), out;
        int starts = 0;
        for (const auto &e : all)
            if (e.id == VQM_GATEWAY_STARTED)
                starts++;
            else if (starts > 0)
                out.push_back(e);
        EXPECT_EQ(starts, 1);
        return out;
    }

    int lastTurn_ = 0;
    bool serverMade_ = false;
};

// A missing or bad key, or a mail file that cannot be made or opened: its messages, no pass, the end status.
TEST_F(AddInMainTest, StartupLogsAndEndsOnEachFailure)
{
    using L = std::vector<vqtest::Logged>;
    const std::string longPath(300, 'p'), bad = "nofolder/vortiq.box";
    const vqtest::Logged end = {VQM_GATEWAY_SHUTDOWN, "", false}, failed = {VQM_GATEWAY_SHUTDOWN, "", true};
    // value nullptr: unset; wantTurns 0: ended before the loop (Run(3) stops at turn 4)
    struct Case { const char *key, *value; L want; int wantTurns = 0; } cases[] = {
        {"VortiqPath", nullptr, {{VQM_NO_PATH, "", false}, end}},
        {"VortiqMsgfile", nullptr, {{VQM_NO_MSGFILE, "", false}, end}},
        {"VortiqAdministrator", nullptr, {{VQM_NO_ADMIN, "", false}, end}},
        {"VortiqAdministrator", "Nobody Known", {{VQM_ADMIN_UNKNOWN, "Nobody Known", false}, end}},
        {"VortiqPath", "/nonexistent/fax", {{VQM_PATH_MISSING, "/nonexistent/fax/TMBFAX", false}, end}},
        // the value is cut at 249 characters before "/TMBFAX" is added
        {"VortiqPath", longPath.c_str(), {{VQM_PATH_MISSING, longPath.substr(0, 249) + "/TMBFAX", false}, end}},
        {"VortiqMsgfile", bad.c_str(), {{VQM_MSGFILE_CREATING, bad, false}, {VQM_MSGFILE_OPEN_ERROR, bad, true}, failed}},
        {"VortiqMsgfile", "junk.box", {{VQM_MSGFILE_OPEN_ERROR, "junk.box", true}, failed}},
        {"VortiqMsgfile", "vortiq.box", {{VQM_MSGFILE_CREATING, "vortiq.box", false}, end}, 4},
        {"VortiqMsgfile", "vortiq.box", {end}, 4},
    };
    vqtest::WriteFile(data_ / "junk.box", "not a database\n");
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + (c.value ? c.value : "(unset)"));
        Configure();
        Set(c.key, c.value);
        lastTurn_ = 0;
        // a requested stop is 0; a failed start-up ends with its last message
        const WORD last = c.want[c.want.size() < 2 ? 0 : c.want.size() - 2].id;
        EXPECT_EQ(Run(3), c.wantTurns ? NOERROR : (STATUS)(last | STS_DISPLAYED));
        EXPECT_EQ(lastTurn_, c.wantTurns);
        EXPECT_EQ(AfterStart(), c.want);
        EXPECT_TRUE(g_passes.empty());
        EXPECT_EQ(hMessageFile, NULLHANDLE);
    }
    EXPECT_EQ(vqtest::ReadFile(data_ / "junk.box"), "not a database\n");
}

TEST_F(AddInMainTest, PassesRunInOrderOnceMoreThanTenSecondsHavePassed)
{
    Configure();
    EXPECT_EQ(Run(11), 0);
    // turn 10 is at exactly 10 s: not yet due
    std::vector<std::pair<std::string, long>> want;
    for (const auto &p : kAll)
        want.emplace_back(p, 1100);
    EXPECT_EQ(g_passes, want);
}

TEST_F(AddInMainTest, IntervalFromConfiguration)
{
    // wantInterval in hundredths, 0: no second pass; out of range never wraps to run at every turn
    struct Case { const char *value; long wantInterval; } cases[] = {
        {nullptr, 18000}, {"0", 18000}, {"5", 30000}, {"1", 6000}, {"-3", 18000}, {"99999999", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        Configure();
        Set("VortiqInterval", c.value);
        EXPECT_EQ(Run(11 + 30000 / kStep + 20), 0);
        // the pass ends at 1100; the next runs at the first turn after 1100 + interval
        const std::vector<long> want = {1100, 1100 + c.wantInterval + kStep};
        for (const char *pass : {"OutboundTask", "ImportActivity"})
            EXPECT_EQ(StartsOf(pass, 2), std::vector<long>(want.begin(), want.begin() + (c.wantInterval ? 2 : 1)));
    }
}

TEST_F(AddInMainTest, EachTimerCountsFromTheEndOfItsPass)
{
    Configure();
    g_passAction = [](const std::string &pass) {
        if (pass == "OutboundTask")
            Advance(500);
        if (pass == "DoInboundTask")
            Advance(300);
    };
    EXPECT_EQ(Run(200), 0);
    // outbound 1100..1600, due 19600, runs 19700..20200; inbound 1600..1900, due 19900, runs 20200
    EXPECT_EQ(StartsOf("OutboundTask"), (std::vector<long>{1100, 19700}));
    EXPECT_EQ(StartsOf("ImportActivity"), (std::vector<long>{1600, 20200}));
    EXPECT_EQ(StartsOf("DoInboundTask"), (std::vector<long>{1600, 20200}));
}

// New mail starts an outbound pass, not the inbound cycle; an unreadable mail-file time starts none.
TEST_F(AddInMainTest, NewMailStartsAnOutboundPass)
{
    Configure();
    EXPECT_EQ(Run(120, [](int turn) {
                  if (turn == 50)
                      vqtest::AddDocument("vortiq.box", {{"Form", "Memo"}});
              }),
              0);
    EXPECT_EQ(StartsOf("OutboundTask"), (std::vector<long>{1100, 5000}));
    EXPECT_EQ(StartsOf("ImportActivity"), (std::vector<long>{1100}));

    Configure();
    const std::string box = data_ / "vortiq.box";
    EXPECT_EQ(Run(200, [&box](int turn) {
                  if (turn != 1)
                      return;
                  sqlite3 *db = nullptr;
                  ASSERT_EQ(sqlite3_open(box.c_str(), &db), SQLITE_OK);
                  EXPECT_EQ(sqlite3_exec(db, "DROP TABLE vq_meta", nullptr, nullptr, nullptr), SQLITE_OK);
                  sqlite3_close(db);
              }),
              0);
    EXPECT_EQ(StartsOf("OutboundTask"), (std::vector<long>{1100, 1100 + 18000 + kStep}));
}

// Whichever pass sets the stop flag, the turn finishes; the next ends with one stop message and the shutdown.
TEST_F(AddInMainTest, StopFlagLetsTheTurnFinishAndEndsAtTheNext)
{
    for (const auto &setter : kAll) {
        SCOPED_TRACE(setter);
        Configure();
        g_passAction = [setter](const std::string &pass) { E_quit |= pass == setter; };
        EXPECT_EQ(Run(100, nullptr, false), (STATUS)(VQM_DS0 | STS_DISPLAYED));
        std::vector<std::string> ran;
        for (const auto &p : g_passes)
            ran.push_back(p.first);
        EXPECT_EQ(ran, kAll);
        EXPECT_EQ(lastTurn_, 12);
        const vqtest::Logged stop = {VQM_DS0, "Error in Environment", false};
        std::vector<vqtest::Logged> got = AfterStart();
        ASSERT_GE(got.size(), 2u);
        EXPECT_EQ(std::vector<vqtest::Logged>(got.end() - 2, got.end()),
                  (std::vector<vqtest::Logged>{stop, {VQM_GATEWAY_SHUTDOWN, "", false}}));
        EXPECT_EQ(std::count(got.begin(), got.end(), stop), 1);
        EXPECT_EQ(hMessageFile, NULLHANDLE);
    }
}

}  // namespace
