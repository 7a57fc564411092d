/*
 * faxsim_test.cpp - the stand-in fax server as a program: its commands on
 * good and bad input, and the files it shares with the gateway read back
 * the way the gateway reads them (the activity log's scanf layout, the
 * queue file's records, received-fax control files that only ever appear
 * whole).
 */
#include <gtest/gtest.h>

#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstring>
#include <map>

#include "e2e_support.h"
#include "mail_reading.h"
#include "test_support.h"
#include "vq_port.h"

namespace {

using vqe2e::Faxsim;
using vqe2e::Result;
using vqtest::FileExists;
using vqtest::ListDir;
using vqtest::ReadFile;
using vqtest::SplitLines;
using vqtest::WriteFile;

const char *const kFolders[] = {"FAX/IN", "FAX/IPARCEL", "FAX/OUT", "FAX/OPARCEL",
                                "FAX/ERROR", "PUBLIC", "UTIL/DATA"};

/* A job file as the gateway's writer leaves it. */
std::string JobFile(const std::vector<std::string> &numbers, const std::string &attachment,
                    bool returnGood = true)
{
    std::string job = "\x03";
    if (!returnGood)
        job += "\nReturn_Good: NO";
    if (!attachment.empty())
        job += "\nAttachment: " + attachment + "\nAttachment-name: figures.txt";
    job += "\nSend-to: ";
    for (size_t i = 0; i < numbers.size(); ++i) {
        std::string escaped = numbers[i];
        for (char &c : escaped)
            if (c == '.')
                c = 'D';
        job += (i ? ", " : "") + std::string("- @ FAX {Bob Smith,") + escaped + " , S, cover:}";
    }
    job += "\nSender: Jane Roe @ O=Acme\nFrom-name: Jane Roe\nSubject: Figures\nDate: 12/07/2026\n\n"
           "Bob, the figures.\n";
    return job;
}

class FaxsimTest : public ::testing::Test {
protected:
    std::string Root() const { return tmp_.path(); }
    std::string Spool(const std::string &sub) const { return tmp_.path() + "/TMBFAX/" + sub; }
    void Init()
    {
        Result r = Faxsim({"init", Root()});
        ASSERT_EQ(r.code, 0) << r.Describe();
    }
    vqtest::TempDir tmp_;
};

TEST_F(FaxsimTest, HelpAndUserErrors)
{
    Init();
    const std::string missing = tmp_ / "nowhere";
    struct Case {
        std::vector<std::string> args;
        int want;
        std::string wantText; /* in stdout for 0, in stderr or stdout otherwise */
    } cases[] = {
        {{"--help"}, 0, "receive"},
        {{"receive", "--help"}, 0, "--did"},
        {{"send", "--help"}, 0, "--fail"},
        {{}, 1, "subcommand"},
        {{"fly", Root()}, 1, ""},
        {{"init"}, 1, "ROOT"},
        {{"queue", missing}, 1, "faxsim init"},
        {{"send", missing}, 1, "faxsim init"},
        {{"receive", missing, "--to", "Jane Roe"}, 1, "faxsim init"},
        {{"receive", Root(), "--pages", "many"}, 1, ""},
        {{"receive", Root(), "--pages", "1000"}, 1, ""},
        {{"receive", Root(), "--image", tmp_ / "no-such-image"}, 1, ""},
        {{"admin-log", missing}, 1, "faxsim init"},
    };
    for (const auto &c : cases) {
        std::string shown;
        for (const auto &a : c.args)
            shown += a + " ";
        SCOPED_TRACE("faxsim " + shown);
        Result r = Faxsim(c.args);
        EXPECT_EQ(r.code, c.want) << r.Describe();
        if (!c.wantText.empty()) {
            EXPECT_NE((c.want == 0 ? r.out : r.err + r.out).find(c.wantText), std::string::npos)
                << r.Describe();
        }
        if (c.want != 0) {
            EXPECT_FALSE(r.err.empty()) << "a user error says what went wrong";
        }
    }
    /* the failed commands left nothing behind */
    EXPECT_FALSE(FileExists(missing));
    EXPECT_TRUE(ListDir(Spool("FAX/IN")).empty());
    EXPECT_TRUE(ListDir(Spool("FAX/IPARCEL")).empty());
}

TEST_F(FaxsimTest, InitMakesTheTreeAndIsSafeTwice)
{
    Init();
    for (const char *f : kFolders) {
        struct stat st;
        ASSERT_EQ(stat(Spool(f).c_str(), &st), 0) << f;
        EXPECT_TRUE(S_ISDIR(st.st_mode)) << f;
    }
    WriteFile(Spool("FAX/IN/ST000009"), "To: Jane Roe\r\n");
    WriteFile(Spool("FAX/OUT/00000001"), JobFile({"555.0100"}, ""));
    Init();
    EXPECT_EQ(ReadFile(Spool("FAX/IN/ST000009")), "To: Jane Roe\r\n") << "a second init keeps the files";
    EXPECT_TRUE(FileExists(Spool("FAX/OUT/00000001")));
}

TEST_F(FaxsimTest, ReceiveWritesTheControlFileWholeUnderItsName)
{
    Init();
    const std::string image = tmp_ / "page.tif";
    std::string imageBytes("II*\0\r\n\x1a page", 13);
    WriteFile(image, imageBytes);

    int in = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(in, 0);
    ASSERT_GE(inotify_add_watch(in, Spool("FAX/IN").c_str(),
                                IN_CREATE | IN_MOVED_TO | IN_MODIFY | IN_CLOSE_WRITE),
              0);

    Result r = Faxsim({"receive", Root(), "--to", "Jane Roe", "--to", "Bob Smith @ Acme", "--subject",
                       "Signed contract", "--did", "555-0200", "--tsi", "+1 555 0142", "--pages", "3",
                       "--image", image, "--line", "Note: second copy"});
    ASSERT_EQ(r.code, 0) << r.Describe();
    EXPECT_EQ(r.out, "ST000001\n");

    std::map<std::string, uint32_t> seen; /* name -> how it appeared */
    alignas(struct inotify_event) char buf[8192];
    for (ssize_t n; (n = read(in, buf, sizeof buf)) > 0;)
        for (char *p = buf; p < buf + n;) {
            auto *ev = reinterpret_cast<struct inotify_event *>(p);
            if (ev->len > 0)
                seen[ev->name] |= ev->mask;
            p += sizeof(struct inotify_event) + ev->len;
        }
    close(in);
    ASSERT_TRUE(seen.count("ST000001")) << "no event for the control file";
    /* under its final name the file only ever arrives by rename: the
     * gateway can never open it half written */
    EXPECT_EQ(seen["ST000001"], (uint32_t)IN_MOVED_TO);

    EXPECT_EQ(ListDir(Spool("FAX/IN")), std::vector<std::string>{"ST000001"}) << "no work file left";
    EXPECT_EQ(ListDir(Spool("FAX/IPARCEL")), std::vector<std::string>{"RX000001"});
    EXPECT_EQ(ReadFile(Spool("FAX/IPARCEL/RX000001")), imageBytes);

    std::vector<std::string> lines = SplitLines(ReadFile(Spool("FAX/IN/ST000001")));
    ASSERT_GE(lines.size(), 10u);
    std::vector<std::string> wantHeader = {"To: Jane Roe", "To: Bob Smith @ Acme",
                                           "Subject: Signed contract", "Attachment: RX000001", ""};
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), wantHeader);
    std::map<std::string, std::string> body;
    for (size_t i = 5; i < lines.size(); ++i) {
        size_t colon = lines[i].find(": ");
        ASSERT_NE(colon, std::string::npos) << lines[i];
        body[lines[i].substr(0, colon + 1)] = lines[i].substr(colon + 2);
    }
    EXPECT_EQ(body["TSI Received:"], "+1 555 0142");
    EXPECT_EQ(body["Pages Received:"], "3");
    EXPECT_EQ(body["DID Received:"], "555-0200");
    EXPECT_EQ(body["Note:"], "second copy");
    EXPECT_FALSE(body["Connect Time:"].empty());
    /* the gateway takes the date from characters 1-5 and the time from
     * characters 10-14 */
    const std::string when = body["Receive Time:"];
    ASSERT_GE(when.size(), 14u) << when;
    EXPECT_EQ(when[2], '/') << when;
    EXPECT_EQ(when[11], ':') << when;

    /* the next fax takes the next number; a raw header line is written as
     * given, after the image line */
    r = Faxsim({"receive", Root(), "--header", "Attachment: ../x"});
    ASSERT_EQ(r.code, 0) << r.Describe();
    EXPECT_EQ(r.out, "ST000002\n");
    lines = SplitLines(ReadFile(Spool("FAX/IN/ST000002")));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Attachment: RX000002");
    EXPECT_EQ(lines[1], "Attachment: ../x");
    EXPECT_EQ(lines[2], "");
    /* without --image a small stand-in image, and nothing past its end */
    std::string standIn = ReadFile(Spool("FAX/IPARCEL/RX000002"));
    EXPECT_EQ(standIn.rfind(std::string("II*\0", 4), 0), 0u);
    EXPECT_EQ(standIn.back(), '\n') << "regression: the image was read past its literal";
}

/* The queue file as the gateway reads it. */
struct QueueView {
    std::string signature;
    struct Rec {
        unsigned id, stat, attempts;
        std::string from, tel;
    };
    std::vector<Rec> records;
    size_t leftOver = 0;
};

QueueView ReadQueue(const std::string &path)
{
    std::string bytes = ReadFile(path);
    QueueView q;
    q.signature = bytes.substr(0, 20);
    auto u16 = [&](size_t off) { return (unsigned)(unsigned char)bytes[off] | (unsigned)(unsigned char)bytes[off + 1] << 8; };
    size_t pos = 20;
    for (; pos + 384 <= bytes.size(); pos += 384)
        q.records.push_back({u16(pos), u16(pos + 10), u16(pos + 14), std::string(bytes.c_str() + pos + 16),
                             std::string(bytes.c_str() + pos + 274)});
    q.leftOver = bytes.size() > pos ? bytes.size() - pos : 0;
    return q;
}

TEST_F(FaxsimTest, QueueWaitsForTheGatewaysLockThenListsReadyJobsOnly)
{
    Init();
    const std::string svcq = Spool("PUBLIC/SVCQ");
    Result r = Faxsim({"queue", Root()});
    ASSERT_EQ(r.code, 0) << r.Describe();
    ASSERT_EQ(ReadFile(svcq), "TMB_FAX_LANQUEUE3.00") << "an empty queue is the signature alone";

    WriteFile(Spool("FAX/OUT/00000004"), JobFile({"555.0100", "555.0300"}, ""));
    WriteFile(Spool("FAX/OUT/00000005.INC"), JobFile({"555.0999"}, ""));

    /* the gateway's exclusive open */
    int held = PortSopenExclusive(svcq.c_str());
    ASSERT_GE(held, 0);
    vqtest::TempDir out;
    pid_t pid = vqe2e::Spawn({vqe2e::BinDir() + "/faxsim", "queue", Root()}, out / "out", out / "err");
    ASSERT_GT(pid, 0);
    int early = vqe2e::WaitUntil(pid, vqe2e::Clock::now() + std::chrono::milliseconds(500));
    std::string whileHeld = ReadFile(svcq);
    PortClose(held);
    int code = vqe2e::WaitUntil(pid, vqe2e::Clock::now() + std::chrono::seconds(10));
    if (code == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    EXPECT_EQ(early, -1) << "faxsim queue went on while the gateway held the queue file";
    EXPECT_EQ(whileHeld, "TMB_FAX_LANQUEUE3.00") << "the queue file changed under the gateway's lock";
    ASSERT_EQ(code, 0) << ReadFile(out / "err");

    QueueView q = ReadQueue(svcq);
    EXPECT_EQ(q.signature, "TMB_FAX_LANQUEUE3.00");
    EXPECT_EQ(q.leftOver, 0u);
    ASSERT_EQ(q.records.size(), 1u) << "only the job without extension is ready";
    EXPECT_EQ(q.records[0].id, 4u);
    EXPECT_EQ(q.records[0].stat & 0x0002, 0u) << "waiting, not active: \"Pending\"";
    EXPECT_EQ(q.records[0].attempts, 0u);
    EXPECT_EQ(q.records[0].from, "Jane Roe");
    EXPECT_EQ(q.records[0].tel, "555.0100") << "the first fax number";
}

/* One activity line split exactly as the gateway's import splits it. */
struct ActivityView {
    char job[8], date[8], time[8], type[4], retries[4], to[24], from[16], pages[8], code[8],
        expl[8], conn[8], speed[4];
    char final;
};

ActivityView SplitActivity(const std::string &line)
{
    ActivityView v;
    std::memset(&v, 0, sizeof v);
    std::string l = line + "\n";
    std::sscanf(l.c_str(), "%4s %5s %5s %2[^\n]%c%2s %20[^\n] %11[^\n] %3s %4s%6[^\n]%4s%1s", v.job,
                v.date, v.time, v.type, &v.final, v.retries, v.to, v.from, v.pages, v.code, v.expl,
                v.conn, v.speed);
    return v;
}

TEST_F(FaxsimTest, SendTransmitsReadyJobsAndLeavesWorkFilesAlone)
{
    Init();
    const std::string attachment = "Widgets 12.50\r\n";
    WriteFile(Spool("FAX/OPARCEL/00000007"), attachment);
    const std::string job1 = JobFile({"555.0100", "555.0300"}, "00000007");
    WriteFile(Spool("FAX/OUT/00000001"), job1);
    WriteFile(Spool("FAX/OUT/00000002"), JobFile({"555.0400"}, "", /*returnGood=*/false));
    WriteFile(Spool("FAX/OUT/00000003.INC"), "\x03half written");
    WriteFile(Spool("FAX/OUT/00000000.TMP"), "body work file");
    ASSERT_EQ(Faxsim({"queue", Root()}).code, 0);
    ASSERT_EQ(ReadQueue(Spool("PUBLIC/SVCQ")).records.size(), 2u);

    Result r = Faxsim({"send", Root(), "--fail", "555.0300"});
    ASSERT_EQ(r.code, 0) << r.Describe();

    EXPECT_EQ(ListDir(Spool("FAX/OUT")), (std::vector<std::string>{"00000000.TMP", "00000003.INC"}));
    EXPECT_EQ(ReadFile(Spool("FAX/OUT/00000003.INC")), "\x03half written");
    EXPECT_TRUE(ListDir(Spool("FAX/OPARCEL")).empty()) << "the attachment left with its job";
    EXPECT_EQ(ReadFile(Root() + "/sent/00000001/00000001"), job1);
    EXPECT_EQ(ReadFile(Root() + "/sent/00000001/00000007"), attachment);
    EXPECT_NE(ReadFile(Root() + "/sent/00000001/summary.txt").find("555.0300"), std::string::npos);
    EXPECT_TRUE(ReadQueue(Spool("PUBLIC/SVCQ")).records.empty()) << "sent jobs are no longer queued";

    /* per fax address a first line, then the final line marked "*" */
    std::vector<std::string> lines = SplitLines(ReadFile(Spool("UTIL/DATA/ACTIVITY.LOG")));
    ASSERT_EQ(lines.size(), 6u) << ReadFile(Spool("UTIL/DATA/ACTIVITY.LOG"));
    struct Want {
        std::string job, to;
        char final;
        bool success;
    } want[] = {
        {"0001", "555.0100", ' ', true}, {"0001", "555.0100", '*', true},
        {"0001", "555.0300", ' ', true}, {"0001", "555.0300", '*', false},
        {"0002", "555.0400", ' ', true}, {"0002", "555.0400", '*', true},
    };
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i]);
        ActivityView got = SplitActivity(lines[i]);
        EXPECT_EQ(got.job, want[i].job);
        EXPECT_EQ(std::string(got.type), "TX");
        EXPECT_EQ(got.final, want[i].final);
        EXPECT_EQ(std::strlen(got.date), 5u);
        EXPECT_EQ(got.date[2], '/');
        EXPECT_EQ(got.time[2], ':');
        EXPECT_EQ(std::string(got.to), want[i].to + std::string(20 - want[i].to.size(), ' '))
            << "the destination is a 20-column field";
        EXPECT_EQ(std::string(got.from), "Jane Roe   ") << "the sender is an 11-column field";
        EXPECT_STRNE(got.pages, "");
        EXPECT_EQ(std::strlen(got.expl), 6u);
        EXPECT_STRNE(got.conn, "");
        EXPECT_STRNE(got.speed, "");
        if (want[i].final == '*') {
            EXPECT_EQ(std::string(got.code) == "0000", want[i].success) << got.code;
        }
    }

    /* a return status for the job that did not suppress it */
    std::vector<std::string> in = ListDir(Spool("FAX/IN"));
    ASSERT_EQ(in.size(), 1u);
    std::vector<std::string> status = SplitLines(ReadFile(Spool("FAX/IN/") + in[0]));
    ASSERT_GE(status.size(), 3u);
    EXPECT_EQ(status[0], "To: Jane Roe");
    EXPECT_EQ(status[1].rfind("Subject: Fax:", 0), 0u) << status[1];

    /* nothing more to send: a second run changes nothing */
    std::string log = ReadFile(Spool("UTIL/DATA/ACTIVITY.LOG"));
    ASSERT_EQ(Faxsim({"send", Root()}).code, 0);
    EXPECT_EQ(ReadFile(Spool("UTIL/DATA/ACTIVITY.LOG")), log);
    EXPECT_EQ(ListDir(Spool("FAX/IN")).size(), 1u);

    /* the gateway hands a job name out again once FAX/OUT is empty: the
     * second job of that name is sent and kept beside the first */
    const std::string again = JobFile({"555.0500"}, "", /*returnGood=*/false);
    WriteFile(Spool("FAX/OUT/00000001"), again);
    r = Faxsim({"send", Root()});
    ASSERT_EQ(r.code, 0) << r.Describe();
    EXPECT_EQ(ReadFile(Root() + "/sent/00000001/00000001"), job1);
    EXPECT_EQ(ReadFile(Root() + "/sent/00000001.2/00000001"), again);
    log = ReadFile(Spool("UTIL/DATA/ACTIVITY.LOG"));
    lines = SplitLines(log);

    /* the administrator log repeats the rows after its "---" line */
    r = Faxsim({"admin-log", Root()});
    ASSERT_EQ(r.code, 0) << r.Describe();
    std::string name = r.out.substr(0, r.out.find('\n'));
    std::vector<std::string> report = SplitLines(ReadFile(Spool("FAX/IN/") + name));
    ASSERT_FALSE(report.empty());
    EXPECT_EQ(report[0].rfind("Subject: Administrator", 0), 0u) << report[0];
    auto dashes = std::find_if(report.begin(), report.end(),
                               [](const std::string &l) { return l.rfind("---", 0) == 0; });
    ASSERT_NE(dashes, report.end());
    EXPECT_EQ(std::vector<std::string>(dashes + 1, report.end()), lines);
}

}  // namespace
