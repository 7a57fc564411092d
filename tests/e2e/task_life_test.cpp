/*
 * task_life_test.cpp - the task's life with the real programs: one gateway
 * per data directory and per spool, stop requests and status lines of
 * live tasks only, the documented exit codes, trimmed notes.ini values,
 * and a server log that is rotated and read from its tail.
 */
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>

#include <fstream>

#include "e2e_support.h"
#include "test_support.h"

namespace {

using vqe2e::Eventually;
using vqe2e::Result;

class TaskLifeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const std::string &d : {a_, b_}) {
            Result r = vqe2e::Run({"/bin/sh", VQ_SOURCE_DIR "/scripts/setup-data.sh", vqe2e::kBin, d});
            ASSERT_EQ(r.code, 0) << r.out;
            for (const char *s : {"AddInIdlePaceMs=50", "VortiqFirstPassDelay=0", "VortiqIntervalSeconds=1"})
                Ctl(d, {"set-config", s});
        }
    }
    Result Ctl(const std::string &data, const std::vector<std::string> &args, int want = 0)
    {
        Result r = vqe2e::Notesctl(data, args);
        EXPECT_EQ(r.code, want) << args[0] << ": " << r.out;
        return r;
    }
    /* The live tasks, as JSON (a note on a stale one goes to standard error). */
    vqe2e::Json Tasks(const std::string &data)
    {
        const std::string out = Ctl(data, {"tasks", "--json"}).out;
        return vqe2e::Json::parse(out.substr(std::min(out.find('['), out.size())), nullptr, false);
    }
    /* vortiq in the foreground until it ends by itself. */
    static Result Vortiq(const std::string &data)
    {
        return vqe2e::Run({vqe2e::kBin + "/vortiq", "=" + data + "/notes.ini"}, data);
    }

    vqtest::TempDir tmp_;
    const std::string a_ = tmp_ / "a", b_ = tmp_ / "b";
};

TEST_F(TaskLifeTest, OneInstanceLiveStatusExitCodesAndLog)
{
    /* nothing runs: a stop request is refused and none is left behind */
    EXPECT_NE(Ctl(a_, {"quit", "vortiq"}, 1).out.find("not running"), std::string::npos);
    EXPECT_FALSE(vqtest::FileExists(a_ + "/tasks/vortiq.quit"));
    /* one left from before the start is older than the task: dropped */
    vqtest::WriteFile(a_ + "/tasks/vortiq.quit", "");
    Ctl(a_, {"set-config", "VortiqMsgfile=vortiq.box "});
    vqe2e::Gateway gw(a_);
    ASSERT_TRUE(gw.Start()) << gw.Log();
    Ctl(a_, {"send", "--from", "Jane Roe", "--to", "Jane Roe@555.0100@FAXGATE", "--subject", "Trim"});
    EXPECT_TRUE(Eventually([&] { return !vqtest::ListDir(a_ + "/spool/TMBFAX/FAX/OUT").empty(); }, 15))
        << gw.Log();
    EXPECT_FALSE(vqtest::FileExists(a_ + "/vortiq.box ")) << "a second, empty gateway mail file";

    /* a second gateway: on the same data directory, or on the same spool */
    Ctl(b_, {"set-config", "VortiqPath=" + a_ + "/spool"});
    const struct {
        std::string data, said;
    } seconds[] = {{a_, "Another instance of the task is running: vortiq (process "},
                   {b_, "Another gateway is using the spool " + a_ + "/spool/TMBFAX (process "}};
    for (const auto &c : seconds) {
        Result r = Vortiq(c.data);
        EXPECT_EQ(r.code, 3) << r.out;
        EXPECT_NE(r.out.find(c.said), std::string::npos) << r.out;
    }
    EXPECT_EQ(gw.Count("Fax gateway shutdown"), 0u) << "the first gateway still runs:\n" << gw.Log();
    EXPECT_EQ(Tasks(a_).size(), 1u);

    /* killed: no live task is listed, and its status line goes */
    EXPECT_EQ(gw.Stop(SIGKILL), 128 + SIGKILL);
    EXPECT_EQ(Tasks(a_), vqe2e::Json::array());
    EXPECT_FALSE(vqtest::FileExists(a_ + "/tasks/vortiq.status"));

    /* exit codes: a configuration failure, a stop on a broken environment */
    Ctl(b_, {"set-config", "VortiqPath=" + b_ + "/spool"});
    Ctl(b_, {"set-config", "ServerLogMaxKB=1"});
    vqtest::WriteFile(b_ + "/server.log", std::string(2048, '.') + "\n");
    Ctl(b_, {"unset-config", "VortiqDomain"});
    EXPECT_EQ(Vortiq(b_).code, 1);
    Ctl(b_, {"set-config", "VortiqDomain=FAXGATE"});
    Ctl(b_, {"set-config", "VortiqActivityDatabase=no/such.nsf"});
    Result stopped = Vortiq(b_);
    EXPECT_EQ(stopped.code, 2) << stopped.out;
    EXPECT_TRUE(vqtest::FileExists(b_ + "/server.log.1")) << "rotated past 1 KB";

    /* the tail of a large log, read in bounded memory: the peak memory of
     * "log -n 2" on a 50 MB log against the same on a one-line log */
    auto tailUse = [&](int blocks) {
        {
            std::ofstream log(b_ + "/server.log", std::ios::trunc);
            const std::string block(1 << 20, 'x');
            for (int i = 0; i < blocks; ++i)
                log << block << '\n';
            log << "last but one\nlast\n";
        }
        const pid_t pid = vqe2e::Spawn({vqe2e::kBin + "/notesctl", "-d", b_, "log", "-n", "2"}, tmp_ / "tail");
        int status = 0;
        struct rusage use {};
        EXPECT_EQ(wait4(pid, &status, 0, &use), pid);
        EXPECT_EQ(vqtest::ReadFile(tmp_ / "tail"), "last but one\nlast\n");
        std::remove((tmp_ / "tail").c_str());
        return use.ru_maxrss;
    };
    const long small = tailUse(0);
    EXPECT_LT(tailUse(50) - small, 8 * 1024) << "KB more to read two lines of a 50 MB log";
}

}  // namespace
