/*
 * faxbridge_test.cpp - the bridge on HylaFAX's own artefacts (transfer log
 * lines, queue files, hook arguments and faxinfo output recorded from the
 * two-modem run of scripts/test-fax.sh), its dialling policy, and the
 * program against a stand-in sendfax: a restart after a crash between
 * intent and submission submits once, after one between a job's removal
 * and its parcels' removes them, after one between an activity append and
 * its record (the gateway importing the log meanwhile) logs once, refusals and results come back as
 * return status and activity lines, and the pages it renders cross the
 * in-memory T.30 line intact.
 */
#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "bridge.h"
#include "fax_render.h"
#include "spool_write.h"
#include "t30_line.h"

using namespace faxbridge;
namespace fs = std::filesystem;

struct DialRow {
    const char *number; /* as FaxNumberOf gives it */
    const char *dial;
    const char *refusal; /* "" allowed */
};
class Dialling : public ::testing::TestWithParam<DialRow> {};
TEST_P(Dialling, CleansAndAppliesThePolicy)
{
    Config cfg;
    const DialRow &r = GetParam();
    EXPECT_EQ(DialString(r.number), r.dial);
    EXPECT_EQ(PolicyRefusal(cfg, DialString(r.number)), r.refusal);
}
INSTANTIATE_TEST_SUITE_P(
    Numbers, Dialling,
    ::testing::Values(DialRow{"555.0100", "5550100", ""}, DialRow{"(555) 010-0", "5550100", ""},
                      DialRow{"9,555.0199", "9,5550199", ""}, DialRow{"*67#5550100", "*67#5550100", ""},
                      DialRow{"555FAX", "", "the fax number cannot be dialled"},
                      DialRow{"555\n0100", "", "the fax number cannot be dialled"},
                      DialRow{"+44 20 7946 0000", "+442079460000", "international numbers are not allowed"},
                      DialRow{"0044 20 7946", "0044207946", "international numbers are not allowed"},
                      DialRow{"0,0,44207946", "0,0,44207946", "international numbers are not allowed"},
                      DialRow{"1-900-555-0100", "19005550100", "premium-rate numbers are not allowed"},
                      DialRow{"0900 123456", "0900123456", "premium-rate numbers are not allowed"},
                      DialRow{"12", "12", "the number is not in the allowed patterns"}));

TEST(Dialling, ConfiguredPatternsAndTheJobsEscapes)
{
    Config cfg;
    std::string why;
    ASSERT_TRUE(ParseConfig("spool = /s\nallow_international = yes\nallow = ^\\+44\nallow = ^555\n", cfg, &why)) << why;
    EXPECT_EQ(PolicyRefusal(cfg, "+442079460000"), "");
    EXPECT_EQ(PolicyRefusal(cfg, "+33123"), "the number is not in the allowed patterns");
    EXPECT_EQ(PolicyRefusal(cfg, "4445555"), "the number is not in the allowed patterns");
    EXPECT_EQ(DialString(spoolfiles::FaxNumberOf("- @ FAX {Jane Roe,555D0100 , S, cover:}")), "5550100");
    EXPECT_EQ(DialString(spoolfiles::FaxNumberOf("- @ FAX {Jane Roe,9B555D0100 , S, cover:}")), "9,5550100");
}

TEST(Config, RefusesWhatItCannotUse)
{
    const char *bad[] = {"", "spool = /s\nmax_dials = 0\n", "spool = /s\nallow = ([\n", "spool = /s\ncolour = red\n",
                         "spool = /s\nnothing here\n", "spool = /s\ntag_prefix = A:B\n"};
    for (const char *text : bad) {
        Config cfg;
        std::string why;
        EXPECT_FALSE(ParseConfig(text, cfg, &why)) << text;
        EXPECT_FALSE(why.empty());
    }
}

TEST(SendTime, FromTheAddressOptionText)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    const std::time_t now = 1796630700; /* 2026-12-07 08:05:00 UTC */
    struct Row {
        const char *address;
        const char *arg;
    } rows[] = {{"- @ FAX {Jane,555D0100 , S, cover:}", ""},
                {"- @ FAX {Jane,555D0100 , at 9:5+1, D, cover:Standard}", "now + 1500 minutes"},
                {"- @ FAX {Jane,555D0100 , at 8:6+0, S, cover:}", ""}, /* 60 s ahead: at once */
                {"- @ FAX {Jane,555D0100 , at 8:7+0, S, cover:}", "now + 2 minutes"},
                {"- @ FAX {Jane,555D0100 , at 7:0+0, S, cover:}", "now + 1375 minutes"}, /* tomorrow */
                {"- @ FAX {Jane,555D0100 , at 25:0+0, S, cover:}", ""}};
    for (const auto &r : rows)
        EXPECT_EQ(SendTimeArg(OptionsOf(r.address), now), r.arg) << r.address;
}

/* Recorded by scripts/test-fax.sh (HylaFAX 6.0.7, Debian bookworm). */
const char kSent[] = "12/07/26 15:00\tSEND\t000000005\tttyIAXA\t3\t\"VORTIQJOB:00000000-1.6b16ca01fee:0\"\troot@vm\t"
                     "\"5550100\"\t\"VORTIQ B\"\t2220072\t1\t0:00:18\t0:00:15\t\"\"\t\"\"\t\"\"\t\"\"\t\"root\"\t"
                     "\"00 44 1F 22\"";
struct XferRow {
    std::string line;
    bool finalFailure;
    const char *expect; /* the activity line, or "" when the line is not a transfer record */
};
class TransferLog : public ::testing::TestWithParam<XferRow> {};
TEST_P(TransferLog, BecomesTheGatewaysActivityLine)
{
    XferRecord rec;
    const XferRow &r = GetParam();
    if (!*r.expect) {
        EXPECT_FALSE(ParseXferLine(r.line, rec));
        return;
    }
    ASSERT_TRUE(ParseXferLine(r.line + "\n", rec));
    EXPECT_EQ(spoolfiles::FormatActivityLine(ActivityFor(rec, "Jane Roe", 1, r.finalFailure)), r.expect);
}
std::string Failed(const char *reason, const char *jobid)
{
    std::string l = kSent;
    l.replace(l.find("\t3\t"), 3, std::string("\t") + jobid + "\t");
    l.replace(l.find("\t\"\"\t"), 4, std::string("\t\"") + reason + "\"\t");
    return l.replace(l.find("2220072\t1"), 9, "0\t0"); /* no page sent, 2400 bit/s */
}
INSTANTIATE_TEST_SUITE_P(
    Records, TransferLog,
    ::testing::Values(
        XferRow{kSent, false, "0003 12/07 15:00 TX*01 5550100              Jane Roe    001 0000 Sent 0:15 6"},
        XferRow{Failed("Busy signal detected", "12345"), false,
                "2345 12/07 15:00 TX 01 5550100              Jane Roe    000 0301 Busy 0:15 1"},
        XferRow{Failed("No carrier detected", "7"), true,
                "0007 12/07 15:00 TX*01 5550100              Jane Roe    000 0303 NoCar0:15 1"},
        XferRow{Failed("Invalid dialing command", "7"), false,
                "0007 12/07 15:00 TX 01 5550100              Jane Roe    000 0304 Dial 0:15 1"},
        XferRow{"12/07/26 15:00\tSEND\t0001\tttyIAXA", false, ""}, XferRow{"", false, ""}));

TEST(QueueFiles, RecordedAndContinuedLines)
{
    /* doneq/q3 as HylaFAX left it (the keys the bridge reads, in order) */
    const char done[] = "tts:1796655414\nstate:7\nnpages:1\ntotpages:1\ntotdials:1\nmaxdials:2\nexternal:5550100\n"
                        "number:5550100\nsender:root\njobid:3\njobtag:VORTIQJOB:00000000-1.6b16ca01fee:0\n"
                        "status:\n";
    QueueJob q;
    ASSERT_TRUE(ParseQueueFile(done, q));
    EXPECT_EQ(q.jobid, 3u);
    EXPECT_EQ(q.jobtag, "VORTIQJOB:00000000-1.6b16ca01fee:0");
    EXPECT_TRUE(QueueJobEnded(q));
    EXPECT_EQ(q.npages, 1u);
    std::string jobName;
    size_t addr = 9;
    EXPECT_TRUE(ParseJobTag(Config{}, q.jobtag, jobName, addr));
    EXPECT_EQ(jobName + "/" + std::to_string(addr), "00000000-1.6b16ca01fee/0");
    EXPECT_FALSE(ParseJobTag(Config{}, "OTHER:00000000-1:0", jobName, addr));
    EXPECT_FALSE(ParseJobTag(Config{}, "VORTIQJOB:00000000-1:x", jobName, addr));

    const char active[] = "jobid:12345\nstate:6\ntotdials:2\nstatus:Dialing \\\nagain\nnumber:5550100\ntts:0\n";
    ASSERT_TRUE(ParseQueueFile(active, q));
    EXPECT_EQ(q.status, "Dialing again");
    spoolfiles::QueueRecord rec = QueueRecordFor(q, "Jane Roe", "555.0100");
    EXPECT_EQ(rec.id, 2345) << "four digits, as the activity lines number it";
    EXPECT_EQ(rec.status & 0x0002, 0x0002) << "active";
    EXPECT_EQ(rec.attempts, 2);
    EXPECT_EQ(rec.tel, "555.0100");
    EXPECT_FALSE(ParseQueueFile("jobid:4\n", q)) << "no state";
}

struct HookRow {
    std::vector<std::string> args;
    const char *didFormat;
    const char *faxinfo;
    std::vector<std::string> body; /* after Receive Time */
};
class Hook : public ::testing::TestWithParam<HookRow> {};
TEST_P(Hook, WritesTheReceivedFaxControlBlock)
{
    const HookRow &r = GetParam();
    Config cfg;
    cfg.didFormat = r.didFormat;
    Received rx;
    ASSERT_TRUE(ParseHookArgs(r.args, rx, nullptr));
    ParseFaxinfo(r.faxinfo, rx);
    std::tm when{};
    when.tm_year = 126, when.tm_mon = 11, when.tm_mday = 7, when.tm_hour = 15;
    std::vector<std::string> header, body;
    ReceivedControl(cfg, rx, when, header, body);
    ASSERT_FALSE(body.empty());
    EXPECT_EQ(body[0], "Receive Time: 12/07/26 15:00");
    EXPECT_EQ(std::vector<std::string>(body.begin() + 1, body.end()), r.body);
    for (const auto &h : header)
        EXPECT_EQ(h, Printable(h)) << "a control character in the header";
}
const char kFaxinfo[] = "/var/spool/hylafax/recvq/fax000000003.tif:\n    Sender: VORTIQ A\n     Pages: 1\n"
                        "   Quality: Normal\n  Received: 2026:12:07 15:00:42\nTimeToRecv: 0:00:11\n"
                        "SignalRate: 14400 bit/s\nDataFormat: 2-D MMR\n   CallID4: 5550100\n";
const std::vector<std::string> kArgs = {"recvq/fax000000003.tif", "ttyIAXB", "000000006", "", "5550199",
                                        "VORTIQ A", "<NONE>", "5550100"};
INSTANTIATE_TEST_SUITE_P(
    Recorded, Hook,
    ::testing::Values(
        HookRow{kArgs, "###-####", kFaxinfo,
                {"TSI Received: VORTIQ A", "Pages Received: 1", "Connect Time: 0:00:11", "Caller ID: 5550199",
                 "Signal Rate: 14400 bit/s", "DID Received: 555-0100"}},
        HookRow{kArgs, "", kFaxinfo,
                {"TSI Received: VORTIQ A", "Pages Received: 1", "Connect Time: 0:00:11", "Caller ID: 5550199",
                 "Signal Rate: 14400 bit/s", "DID Received: 5550100"}},
        /* a DID of another length keeps its received form; a hostile TSI loses its control characters */
        HookRow{{"f.tif", "ttyIAXB", "7", "RSPREC error/got DCN", "", "", "", "55501001"}, "###-####",
                "    Sender: \x1b[2JEVIL\r\nTo: Admin\n     Pages: 2\n",
                {"TSI Received: [2JEVIL", "Pages Received: 2", "Connect Time: ",
                 "Reception Problem: RSPREC error/got DCN", "DID Received: 55501001"}},
        HookRow{{"f.tif", "ttyIAXB", "7", ""}, "###-####", "",
                {"TSI Received: ", "Pages Received: 0", "Connect Time: "}}));

/* ---- the program against a stand-in sendfax ---- */
class Program : public ::testing::Test {
protected:
    fs::path dir, tree, hyla;
    void SetUp() override
    {
        char tmpl[] = "/tmp/faxbridge-test.XXXXXX";
        dir = ::mkdtemp(tmpl);
        tree = dir / "spool/TMBFAX";
        hyla = dir / "hylafax";
        for (const char *d : {"FAX/IN", "FAX/IPARCEL", "FAX/OUT", "FAX/OPARCEL", "PUBLIC", "UTIL/DATA"})
            fs::create_directories(tree / d);
        for (const char *d : {"sendq", "doneq", "log"})
            fs::create_directories(hyla / d);
        /* queues the job as hfaxd would (sendq/qN with its tag), numbered from 42 */
        Write(dir / "sendfax", "#!/bin/sh\ncd " + dir.string() + "\nprintf '%s\\n' \"$*\" >>calls\n[ -e down ] && exit 1\n"
                               "while [ $# -gt 0 ]; do [ \"$1\" = -i ] && tag=$2; shift; done\n"
                               "n=$(( $(cat seq 2>/dev/null || echo 41) + 1 )); echo $n >seq\n"
                               "printf 'jobid:%s\\nstate:2\\njobtag:%s\\n' $n \"$tag\" >hylafax/sendq/q$n\n"
                               "echo \"request id is $n (group id $n) for host localhost (1 file)\"\n");
        fs::permissions(dir / "sendfax", fs::perms::owner_all);
        Write(dir / "conf", "spool = " + (dir / "spool").string() + "\nstate = " + (dir / "state.db").string() +
                                "\nwork = " + (dir / "work").string() + "\nkeep_pages = " + dir.string() +
                                "\nhylafax = " + hyla.string() + "\nsendfax = " + (dir / "sendfax").string() + "\n");
    }
    void TearDown() override { fs::remove_all(dir); }
    static void Write(const fs::path &p, const std::string &text) { std::ofstream(p, std::ios::binary) << text; }
    static std::string Read(const fs::path &p)
    {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Job(const std::string &name, const std::string &number, bool returnGood = true)
    {
        Write(tree / "FAX/OPARCEL/00000001", "An attachment.\n");
        Write(tree / "FAX/OUT" / name, std::string("\x03") + (returnGood ? "" : "\nReturn_Good: NO") +
                                           "\nAttachment: 00000001\nAttachment-name: a.txt\nSend-to: - @ FAX {Bob," +
                                           number + " , S, cover:}\nSender: Jane Roe @ /O=Acme\nFrom-name: Jane Roe"
                                           "\nSubject: Figures\nDate: today\n\nThe figures.\n");
    }
    /* crash: the point where the pass ends as in a crash (FAXBRIDGE_CRASH) */
    int Run(const std::string &crash = "")
    {
        return std::system(("FAXBRIDGE_CRASH=" + crash + " " + FAXBRIDGE_BIN + " run --once -c " +
                            (dir / "conf").string() + " 2>>" + (dir / "log").string()).c_str());
    }
    int Calls() const
    {
        std::ifstream in(dir / "calls");
        int n = 0;
        for (std::string l; std::getline(in, l);)
            ++n;
        return n;
    }
    std::string Tag() const
    {
        std::string calls = Read(dir / "calls");
        size_t at = calls.find("-i ") + 3;
        return calls.substr(at, calls.find(' ', at) - at);
    }
    std::string Inbox() const
    {
        std::string all;
        for (const auto &e : fs::directory_iterator(tree / "FAX/IN"))
            all += Read(e.path());
        return all;
    }
};

TEST_F(Program, ACrashBetweenIntentAndSendfaxSubmitsOnce)
{
    /* and a crash between the job's removal and its parcels' */
    for (const auto &[hylafaxHasIt, crash] : {std::pair<bool, std::string>{true, ""}, {false, ""},
                                              {false, "job-removed"}}) {
        SCOPED_TRACE(std::string(hylafaxHasIt ? "sendfax got through" : "sendfax never ran") + crash);
        for (const char *f : {"calls", "state.db", "state.db-wal", "state.db-shm", "seq"})
            fs::remove(dir / f);
        Job("00000000", "555D0100");
        Write(dir / "down", ""); /* sendfax fails: the intent stays, and so does the job */
        ASSERT_EQ(Run(), 0) << Read(dir / "log");
        EXPECT_TRUE(fs::exists(tree / "FAX/OUT/00000000"));
        fs::remove(dir / "down");
        if (hylafaxHasIt) /* it was queued after all: the bridge finds it by its tag */
            Write(hyla / "sendq/q42", "jobid:42\nstate:2\njobtag:" + Tag() + "\nnumber:5550100\n");
        if (!crash.empty()) {
            ASSERT_NE(Run(crash), 0);
        }
        ASSERT_EQ(Run(), 0);
        EXPECT_EQ(Calls(), hylafaxHasIt ? 1 : 2) << Read(dir / "log");
        EXPECT_FALSE(fs::exists(tree / "FAX/OUT/00000000"));
        EXPECT_FALSE(fs::exists(tree / "FAX/OPARCEL/00000001"));
        std::string svcq = Read(tree / "PUBLIC/SVCQ");
        ASSERT_EQ(svcq.size(), 20u + 384u) << "the waiting job is listed";
        EXPECT_EQ(svcq.substr(20 + 274, 9), std::string("555.0100\0", 9));
        fs::remove(hyla / "sendq/q42");
    }
}

TEST_F(Program, ResultsComeBackAsActivityAndReturnStatus)
{
    Job("00000000", "555D0100");
    Job("00000002", "0044207946");
    Job("00000004", "0900123456", false); /* refused too, but asks for no return status */
    Write(tree / "FAX/OUT/00000003", "\x03\nSend-to: - @ FAX {X,555D0199 , S, cover:}\n\nheld\n");
    int held = ::open((tree / "FAX/OUT/00000003").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(held, LOCK_EX), 0); /* still being written */
    ASSERT_EQ(Run(), 0) << Read(dir / "log");
    EXPECT_EQ(Calls(), 1) << "the international number is never dialled, the locked job not taken";
    EXPECT_TRUE(fs::exists(tree / "FAX/OUT/00000003"));
    ::close(held);
    fs::remove(tree / "FAX/OUT/00000003");
    EXPECT_NE(Inbox().find("Result: Bob at 0044207946: failed, refused: international numbers are not allowed"),
              std::string::npos)
        << Inbox();
    EXPECT_EQ(Inbox().find("0900123456"), std::string::npos) << "Return_Good: NO";
    EXPECT_NE(Read(tree / "UTIL/DATA/ACTIVITY.LOG").find("0044207946           Jane Roe    000 0305 Refus"),
              std::string::npos);
    fs::remove_all(tree / "FAX/IN");
    fs::create_directories(tree / "FAX/IN");
    /* HylaFAX sends it: its transfer record and its done queue file */
    std::string line = kSent;
    line.replace(line.find("VORTIQJOB:00000000-1.6b16ca01fee:0"), 34, Tag());
    line.replace(line.find("\t3\t"), 3, "\t42\t");
    Write(hyla / "log/xferfaxlog", line + "\n");
    /* a crash after the line is appended, the gateway imports the log before the restart */
    ASSERT_NE(Run("activity-appended"), 0);
    fs::rename(tree / "UTIL/DATA/ACTIVITY.LOG", tree / "UTIL/DATA/ACTIVITY.RD");
    std::string imported = Read(tree / "UTIL/DATA/ACTIVITY.RD");
    fs::remove(tree / "UTIL/DATA/ACTIVITY.RD");
    ASSERT_EQ(Run(), 0); /* the record is written before the job leaves sendq */
    EXPECT_EQ(Read(tree / "PUBLIC/SVCQ").size(), 20u) << "a job whose final line is logged is not listed";
    fs::rename(hyla / "sendq/q42", hyla / "doneq/q42");
    Write(hyla / "doneq/q42", "jobid:42\nstate:7\nnpages:1\njobtag:" + Tag() + "\n");
    ASSERT_EQ(Run(), 0);
    ASSERT_EQ(Run(), 0); /* read once: the offset is kept */
    std::string log = imported + Read(tree / "UTIL/DATA/ACTIVITY.LOG");
    EXPECT_EQ(log.find("0042 12/07 15:00 TX*00 5550100              Jane Roe    001 0000 Sent 0:15 6\r\n"),
              log.rfind("0042 "))
        << log;
    EXPECT_NE(Inbox().find("Subject: Fax: Figures\r\n\r\nResult: Bob at 555.0100: sent, 1 page(s) to VORTIQ B\r\nJob: 0042"),
              std::string::npos)
        << Inbox();
}

TEST_F(Program, TheHookHandsTheFaxOverBesideWhatIsThere)
{
    Write(dir / "faxinfo", std::string("#!/bin/sh\ncat <<'EOF'\n") + kFaxinfo + "EOF\n");
    fs::permissions(dir / "faxinfo", fs::perms::owner_all);
    Write(dir / "conf", Read(dir / "conf") + "faxinfo = " + (dir / "faxinfo").string() + "\ndid_format = ###-####\n");
    const std::string image("II*\0 the image", 14); /* bytes, a zero among them */
    Write(dir / "fax.tif", image);
    Write(tree / "FAX/IN/ST000001", "not ours"); /* a control file the gateway has not taken yet */
    std::string args;
    for (const auto &a : kArgs)
        args += " '" + (a == kArgs[0] ? (dir / "fax.tif").string() : a) + "'";
    ASSERT_EQ(std::system((std::string(FAXBRIDGE_BIN) + " hook -c " + (dir / "conf").string() + args).c_str()), 0);
    EXPECT_EQ(Read(tree / "FAX/IN/ST000001"), "not ours");
    EXPECT_EQ(Read(tree / "FAX/IPARCEL/RX000002"), image);
    const std::string control = Read(tree / "FAX/IN/ST000002");
    EXPECT_EQ(control.substr(0, control.find("\r\n\r\n")), "Subject: Fax received from VORTIQ A\r\nAttachment: RX000002");
    EXPECT_NE(control.find("\r\nDID Received: 555-0100\r\n"), std::string::npos) << control;
    EXPECT_EQ(fs::status(tree / "FAX/IN/ST000002").permissions() & fs::perms::others_all, fs::perms::none)
        << "umask 007: for the fax server's group only";
    for (const auto &e : fs::directory_iterator(tree / "FAX/IN"))
        EXPECT_NE(e.path().filename().string()[0], '.') << "a work file was left behind";
}

class RenderedPages : public Program, public ::testing::WithParamInterface<t30line::Mode> {};
TEST_P(RenderedPages, CrossTheT30LineIntact)
{
    Job("00000000", "555D0100");
    ASSERT_EQ(Run(), 0);
    fs::path sent;
    for (const auto &e : fs::directory_iterator(dir))
        if (e.path().extension() == ".tif")
            sent = e.path();
    ASSERT_FALSE(sent.empty()) << Read(dir / "log");
    EXPECT_EQ(faxrender::CountPages(sent), 2) << "the body, then the attachment";
    std::string why;
    ASSERT_TRUE(t30line::SendOverLine(sent, (dir / "rx.tif").string(), GetParam(), &why)) << why;
    EXPECT_TRUE(faxrender::SamePages(sent, (dir / "rx.tif").string(), &why)) << why;
}
INSTANTIATE_TEST_SUITE_P(Modes, RenderedPages,
                         ::testing::Values(t30line::Mode::AudioEcm, t30line::Mode::AudioNoEcm, t30line::Mode::T38));
