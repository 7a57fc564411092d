/*
 * addin_main_test.cpp - the gateway task's start-up, loop and shutdown,
 * driven through AddInMain with the stand-in's test clock and idle
 * control. Passes are observed through the loop's pass hook, so these
 * tests hold whatever the passes themselves do.
 */
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "loop_hooks.h"
#include "notes_fixture.h"
#include "test_support.h"
#include "vortiq.h"
#include "vq_nsf.h"
#include "vq_runtime.h"
#include "vq_testhooks.h"

namespace {

const int64_t kStart = 1700000000; /* a fixed day for the test clock */
const long kStep = 100;            /* each loop turn moves the clock 1 s */

/* Hundredths of a second since start-up, as the tests move the clock. */
long g_elapsed = 0;
/* Every pass run: its name and when it started. */
std::vector<std::pair<std::string, long>> g_passes;
/* Extra work of a pass (clock moves, E_quit), by pass name. */
std::function<void(const std::string &)> g_passAction;

void Advance(long hundredths)
{
    vqtest::AdvanceClock(hundredths);
    g_elapsed += hundredths;
}

void RecordPass(const char *pass)
{
    g_passes.emplace_back(pass, g_elapsed);
    if (g_passAction)
        g_passAction(pass);
}

/* Start times of one pass. */
std::vector<long> StartsOf(const std::string &pass)
{
    std::vector<long> out;
    for (const auto &p : g_passes)
        if (p.first == pass)
            out.push_back(p.second);
    return out;
}

/* Message ids of log entries. */
std::vector<WORD> Ids(const std::vector<vqtest::LogEntry> &log)
{
    std::vector<WORD> out;
    for (const auto &e : log)
        out.push_back(e.id);
    return out;
}

class AddInMainTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        vqtest::SetClock(kStart);
        vqtest::SetDayElapsedHook([] { return false; });
        g_elapsed = 0;
        g_passes.clear();
        g_passAction = nullptr;
        VqPassHook = RecordPass;
    }
    void TearDown() override
    {
        VqPassHook = nullptr;
        g_passAction = nullptr;
        vqtest::SetIdleHook(nullptr);
        vqtest::SetDayElapsedHook(nullptr);
        PlatformTest::TearDown();
    }

    std::string SpoolValue() const { return data_ / "spool"; }

    /* A server on which the task and its passes can run: the
     * administrator in the directory, the activity database, the spool
     * tree with a queue file that lists no job, and the four required keys. */
    void Configure()
    {
        if (!serverMade_) {
            vqtest::CreateNamesDb();
            vqtest::AddPerson("Fax Admin", "faxadmin", "");
            vqtest::CreateActivityDb();
            for (const char *dir : {"FAX/IN", "FAX/IPARCEL", "FAX/OUT", "FAX/OPARCEL",
                                    "FAX/ERROR", "PUBLIC", "UTIL/DATA"})
                vqtest::MakeDirs(data_ / "spool/TMBFAX/" + dir);
            vqtest::WriteFile(data_ / "spool/TMBFAX/PUBLIC/SVCQ", "TMB_FAX_LANQUEUE3.00");
            serverMade_ = true;
        }
        Set("VortiqDomain", "FAXGATE");
        Set("VortiqPath", SpoolValue().c_str());
        Set("VortiqMsgfile", "vortiq.box");
        Set("VortiqAdministrator", "faxadmin");
    }
    static void Set(const char *key, const char *value)
    {
        ASSERT_EQ(OSSetEnvironmentVariable(key, value), NOERROR) << key;
    }

    /* Runs the task for at most `turns` loop turns; each turn moves the
     * clock by kStep before the loop looks at its timers. With
     * keepGoing, a stop flag that a pass set is cleared before the loop
     * sees it, so that timing tests hold whatever the passes meet. */
    STATUS Run(int turns, std::function<void(int)> atTurn = nullptr, bool keepGoing = false)
    {
        HMODULE hMod = NULLHANDLE;
        NotesInitModule(&hMod, nullptr, nullptr);
        /* Idle control starts afresh: turn count, stop state, hooks. */
        vqtest::ResetIdle();
        vqtest::SetIdlePaceMs(0);
        vqtest::SetDayElapsedHook([] { return false; });
        vqtest::SetIdleStopAfter(turns);
        vqtest::SetIdleHook([this, atTurn, keepGoing](int turn) {
            lastTurn_ = turn;
            Advance(kStep);
            if (keepGoing)
                E_quit = 0;
            if (atTurn)
                atTurn(turn);
        });
        return AddInMain(hMod, 0, nullptr);
    }

    /* Log entries after "VORTIQ: Fax gateway started" (which must be there
     * exactly once). */
    static std::vector<vqtest::LogEntry> AfterStart()
    {
        std::vector<vqtest::LogEntry> out;
        int starts = 0;
        for (const auto &e : vqtest::LogEntries()) {
            if (e.id == VQM_GATEWAY_STARTED) {
                starts++;
                out.clear();
                continue;
            }
            if (starts > 0)
                out.push_back(e);
        }
        EXPECT_EQ(starts, 1);
        return out;
    }

    int lastTurn_ = 0;
    bool serverMade_ = false;
};

/* ---- configuration ---- */

TEST_F(AddInMainTest, EachStartupFailureLogsItsMessageAndShutdownOnly)
{
    struct Case {
        const char *name;
        const char *key;   /* key to change */
        const char *value; /* nullptr: unset */
        WORD wantId;
        std::string wantArg;
    };
    const std::string longPath(300, 'p');
    const std::vector<Case> cases = {
        {"domain unset", "VortiqDomain", nullptr, VQM_NO_DOMAIN, ""},
        {"path unset", "VortiqPath", nullptr, VQM_NO_PATH, ""},
        {"msgfile unset", "VortiqMsgfile", nullptr, VQM_NO_MSGFILE, ""},
        {"administrator unset", "VortiqAdministrator", nullptr, VQM_NO_ADMIN, ""},
        {"administrator unknown", "VortiqAdministrator", "Nobody Known", VQM_ADMIN_UNKNOWN,
         "Nobody Known"},
        {"spool root missing", "VortiqPath", "/nonexistent/fax", VQM_PATH_MISSING,
         "/nonexistent/fax/TMBFAX"},
        {"empty path", "VortiqPath", "", VQM_PATH_MISSING, "/TMBFAX"},
        /* The value is cut at 249 characters before "/TMBFAX" is added. */
        {"overlong path", "VortiqPath", longPath.c_str(), VQM_PATH_MISSING,
         longPath.substr(0, 249) + "/TMBFAX"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Configure();
        Set(c.key, c.value);
        vqtest::ClearLog();
        g_passes.clear();

        EXPECT_EQ(Run(50), 0);

        std::vector<vqtest::LogEntry> got = AfterStart();
        EXPECT_EQ(Ids(got), (std::vector<WORD>{c.wantId, VQM_GATEWAY_SHUTDOWN}));
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].arg, c.wantArg);
        EXPECT_EQ(got[0].status | got[1].status, NOERROR);
        EXPECT_TRUE(g_passes.empty());
        EXPECT_EQ(hMessageFile, NULLHANDLE);
    }
}

TEST_F(AddInMainTest, GlobalsFromConfigurationAndDefaults)
{
    Configure();
    EXPECT_EQ(Run(1), 0);

    EXPECT_STREQ(GatewayDomain, "FAXGATE");
    EXPECT_EQ(std::string(GatewayPath), SpoolValue() + "/TMBFAX");
    EXPECT_STREQ(GatewayDrive, "");
    EXPECT_STREQ(GatewayMsgfile, "vortiq.box");
    EXPECT_STREQ(FaxAdministrator, "CN=Fax Admin/O=Acme");
    /* The name as configured, not the address the directory gave. */
    EXPECT_STREQ(DefRecipient, "faxadmin");
    EXPECT_STREQ(ActLogNsf, "TMB_ACT.NSF");
    EXPECT_STREQ(szNameNsf, "NAMES.NSF");
    EXPECT_EQ(hMessageFile, NULLHANDLE); /* closed at shutdown */

    std::vector<std::string> status = vqtest::StatusLines();
    ASSERT_GE(status.size(), 2u);
    EXPECT_EQ(status[0], "Initializing");
    EXPECT_EQ(status[1], "Idle 2.0.1");

    /* Set keys take their values; a trailing "/" is not doubled. */
    Set("VortiqPath", (SpoolValue() + "/").c_str());
    Set("VortiqDefaultRecipient", "Jane Roe");
    Set("VortiqActivityDatabase", "act/fax.nsf");
    Set("VortiqUserDIDDatabase", "did.nsf");
    EXPECT_EQ(Run(1), 0);
    EXPECT_EQ(std::string(GatewayPath), SpoolValue() + "/TMBFAX");
    EXPECT_STREQ(DefRecipient, "Jane Roe");
    EXPECT_STREQ(ActLogNsf, "act/fax.nsf");
    EXPECT_STREQ(szNameNsf, "did.nsf");
}

/* ---- gateway mail file ---- */

/* Missing: created with its title, and found at the next start. Not to
 * be created or not a database: the task ends with the open's status. */
TEST_F(AddInMainTest, GatewayMailFileIsOpenedOrCreated)
{
    struct Case {
        const char *name;
        const char *msgfile;
        std::vector<WORD> want;
    };
    const std::vector<Case> cases = {
        {"missing", "vortiq.box", {VQM_MSGFILE_CREATING, VQM_GATEWAY_SHUTDOWN}},
        {"present", "vortiq.box", {VQM_GATEWAY_SHUTDOWN}},
        {"cannot be created", "nofolder/vortiq.box",
         {VQM_MSGFILE_CREATING, VQM_MSGFILE_OPEN_ERROR, VQM_GATEWAY_SHUTDOWN}},
        {"not a database", "junk.box", {VQM_MSGFILE_OPEN_ERROR, VQM_GATEWAY_SHUTDOWN}},
    };
    vqtest::WriteFile(data_ / "junk.box", "not a database\n");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Configure();
        Set("VortiqMsgfile", c.msgfile);
        vqtest::ClearLog();
        EXPECT_EQ(Run(3), 0);

        std::vector<vqtest::LogEntry> got = AfterStart();
        ASSERT_EQ(Ids(got), c.want);
        for (const auto &e : got) {
            if (e.id != VQM_GATEWAY_SHUTDOWN) {
                EXPECT_EQ(e.arg, c.msgfile);
            }
        }
        if (got.size() >= 2 && got[got.size() - 2].id == VQM_MSGFILE_OPEN_ERROR) {
            EXPECT_NE(got.back().status, NOERROR);
            EXPECT_EQ(got.back().status, got[got.size() - 2].status);
        }
    }
    DBHANDLE hDb = NULLHANDLE;
    char title[128] = "";
    ASSERT_EQ(NSFDbOpen("vortiq.box", &hDb), NOERROR);
    EXPECT_EQ(VqDbGetTitle(hDb, title, sizeof title), NOERROR);
    NSFDbClose(hDb);
    EXPECT_STREQ(title, "VORTIQ Fax Gateway");
    EXPECT_EQ(vqtest::ReadFile(data_ / "junk.box"), "not a database\n");
}

/* ---- timers ---- */

TEST_F(AddInMainTest, PassesRunInOrderOnceMoreThanTenSecondsHavePassed)
{
    Configure();
    EXPECT_EQ(Run(11, nullptr, true), 0);

    /* Turn 10 is at exactly 10 s: not yet due. Turn 11 runs everything. */
    const std::vector<std::pair<std::string, long>> want = {
        {"OutboundTask", 1100}, {"ImportActivity", 1100}, {"DelActivity", 1100},
        {"AddPending", 1100},   {"DoInboundTask", 1100},
    };
    EXPECT_EQ(g_passes, want);
}

TEST_F(AddInMainTest, IntervalFromConfiguration)
{
    struct Case {
        const char *value; /* nullptr: unset */
        long wantInterval; /* hundredths; 0: no second pass in the run */
    };
    const std::vector<Case> cases = {
        {nullptr, 18000}, {"0", 18000}, {"5", 30000}, {"1", 6000},
        /* Out of range: never the wrapped interval that would run the
         * passes at every turn. */
        {"-3", 18000},    {"99999999", 0},
    };
    Configure();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value ? c.value : "(unset)");
        Configure();
        Set("VortiqInterval", c.value);
        g_passes.clear();
        g_elapsed = 0;
        vqtest::SetClock(kStart);

        EXPECT_EQ(Run(11 + 30000 / kStep + 20, nullptr, true), 0);

        std::vector<long> out = StartsOf("OutboundTask");
        std::vector<long> in = StartsOf("ImportActivity");
        ASSERT_GE(out.size(), 1u);
        ASSERT_GE(in.size(), 1u);
        EXPECT_EQ(out[0], 1100);
        if (c.wantInterval == 0) {
            EXPECT_EQ(out.size(), 1u);
            EXPECT_EQ(in.size(), 1u);
            continue;
        }
        /* The pass ends at 1100; the next is due at 1100 + interval and
         * runs at the first turn after that. */
        ASSERT_GE(out.size(), 2u);
        ASSERT_GE(in.size(), 2u);
        EXPECT_EQ(out[1], 1100 + c.wantInterval + kStep);
        EXPECT_EQ(in[1], 1100 + c.wantInterval + kStep);
    }
}

TEST_F(AddInMainTest, EachTimerCountsFromTheEndOfItsPass)
{
    Configure();
    /* The outbound pass takes 5 s, the inbound delivery 3 s. */
    g_passAction = [](const std::string &pass) {
        if (pass == "OutboundTask")
            Advance(500);
        if (pass == "DoInboundTask")
            Advance(300);
    };
    EXPECT_EQ(Run(200, nullptr, true), 0);

    /* First turn at 11 s: outbound 1100..1600, inbound 1600..1900.
     * Outbound due at 1600 + 18000 = 19600, first turn after: 19700,
     * ending 20200; inbound due at 1900 + 18000 = 19900: runs at 20200. */
    EXPECT_EQ(StartsOf("OutboundTask"), (std::vector<long>{1100, 19700}));
    EXPECT_EQ(StartsOf("ImportActivity"), (std::vector<long>{1600, 20200}));
    EXPECT_EQ(StartsOf("DoInboundTask"), (std::vector<long>{1600, 20200}));
}

TEST_F(AddInMainTest, NewMailStartsAnOutboundPassButNotTheInboundCycle)
{
    Configure();
    /* The mail file appears at start-up; at 50 s a message arrives. */
    EXPECT_EQ(Run(120, [](int turn) {
                  if (turn == 50)
                      vqtest::AddDocument("vortiq.box", {{"Form", "Memo"}});
              }, true),
              0);

    EXPECT_EQ(StartsOf("OutboundTask"), (std::vector<long>{1100, 5000}));
    EXPECT_EQ(StartsOf("ImportActivity"), (std::vector<long>{1100}));
}

/* A mail file whose modification time cannot be read (here: its time
 * table dropped behind the task's back before the first turn) never starts
 * an outbound pass by itself: only the timer does. */
TEST_F(AddInMainTest, UnreadableMailFileTimeStartsNoPass)
{
    Configure();
    const std::string box = data_ / "vortiq.box";
    EXPECT_EQ(Run(200, [&box](int turn) {
                  if (turn != 1)
                      return;
                  sqlite3 *db = nullptr;
                  ASSERT_EQ(sqlite3_open(box.c_str(), &db), SQLITE_OK);
                  EXPECT_EQ(sqlite3_exec(db, "DROP TABLE vq_meta", nullptr, nullptr, nullptr), SQLITE_OK);
                  sqlite3_close(db);
              }, true),
              0);

    /* The table really is gone: the file is no database any more. */
    DBHANDLE h = NULLHANDLE;
    EXPECT_NE(MailOpenMessageFile("vortiq.box", &h), NOERROR);
    if (h != NULLHANDLE)
        MailCloseMessageFile(h);
    EXPECT_EQ(StartsOf("OutboundTask"), (std::vector<long>{1100, 1100 + 18000 + kStep}));
}

/* ---- stop flag ---- */

TEST_F(AddInMainTest, StopFlagLetsTheTurnFinishAndEndsAtTheNext)
{
    const std::vector<std::string> all = {"OutboundTask", "ImportActivity", "DelActivity",
                                          "AddPending", "DoInboundTask"};
    for (const auto &setter : all) {
        SCOPED_TRACE(setter);
        Configure();
        vqtest::ClearLog();
        g_passes.clear();
        g_elapsed = 0;
        vqtest::SetClock(kStart);
        g_passAction = [setter](const std::string &pass) {
            if (pass == setter)
                E_quit = 1;
        };

        EXPECT_EQ(Run(100), 0);

        std::vector<std::string> ran;
        for (const auto &p : g_passes)
            ran.push_back(p.first);
        EXPECT_EQ(ran, all);
        EXPECT_EQ(lastTurn_, 12); /* the turn after the passes */

        /* The passes may log their own findings; the task's last words
         * are the stop message and the shutdown. */
        std::vector<vqtest::LogEntry> got = AfterStart();
        ASSERT_GE(got.size(), 2u);
        const vqtest::LogEntry &stop = got[got.size() - 2];
        const vqtest::LogEntry &end = got[got.size() - 1];
        EXPECT_EQ(stop.id, VQM_DS0);
        EXPECT_EQ(stop.arg, "Error in Environment");
        EXPECT_EQ(end.id, VQM_GATEWAY_SHUTDOWN);
        EXPECT_EQ(end.status, NOERROR);
        int stops = 0;
        for (const auto &l : got)
            stops += (l.id == VQM_DS0 && l.arg == "Error in Environment");
        EXPECT_EQ(stops, 1);
        EXPECT_EQ(hMessageFile, NULLHANDLE);
    }
}

}  // namespace
