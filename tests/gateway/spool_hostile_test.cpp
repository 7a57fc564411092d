/* spool_hostile_test.cpp - the real passes over a spool holding what a
 * careless or hostile neighbour leaves (taken work names, links, FIFOs,
 * folders, odd control-file names, odd job text), and writers that write
 * a control file or the activity log in place under flock. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "outbound_fixture.h"

namespace {

using vqtest::ReadFile;
using vqtest::WriteFile;
using Names = std::vector<std::string>;

const std::string kFax = "To: Fax Admin\r\nSubject: Fax\r\nAttachment: RX000001\r\n\r\nPages Received: 2\r\n";
const std::string kTx = "0001 03/05 09:07 TX 02 555-1234 ext 9       Sales Dept  003 0000 OK    0120 9\n";

class HostileSpoolTest : public vqtest::OutboundTest {
protected:
    void SetUp() override
    {
        OutboundTest::SetUp();
        vqtest::CreateActivityDb();
        VqCopy(DefRecipient, sizeof DefRecipient, "Fax Admin");
        VqGuardStart();
        vqtest::MakeDirs(outside_ = data_.path() + "/outside");
        WriteFile(outside_ + "/victim", "Subject: Victim\r\n\r\n");
    }
    /* What an entry is, without following a link. */
    static std::string Shape(const std::string &p)
    {
        struct stat st = {};
        char to[256] = "";
        if (lstat(p.c_str(), &st) != 0 || S_ISLNK(st.st_mode))
            return S_ISLNK(st.st_mode) ? std::string(to, readlink(p.c_str(), to, sizeof to)) : "none";
        return S_ISREG(st.st_mode) ? "file " + ReadFile(p) : std::to_string(st.st_mode & S_IFMT);
    }
    static Names Mailed()
    {
        Names s;
        for (const auto &m : vqtest::MailIn("fadmin.nsf"))
            s.push_back(m.subject);
        return s;
    }
    std::string outside_;
};

TEST_F(HostileSpoolTest, EntriesAreLeftAloneAndThePassesGoOn)
{
    const std::string marker = TambriDllExtSig, in = Spool(SPOOL_FAX_IN "/"), out = Spool(SPOOL_FAX_OUT "/");
    const std::string tmp = data_.path() + "/vortiq.tmp/", parcel = Spool(SPOOL_FAX_OPARCEL "/"), x(254, 'x');
    auto link = [&](const std::string &to, const std::string &at) { ASSERT_EQ(symlink(to.c_str(), at.c_str()), 0); };
    auto fifo = [](const std::string &at) { ASSERT_EQ(mkfifo(at.c_str(), 0600), 0); };
    struct Row { /* kept: entries that stay as they were; reports: entries said to be left alone */
        const char *name;
        std::function<void()> hostile;
        Names kept;
        size_t reports = 0;
        std::function<void(vqtest::Memo &)> edit = nullptr;
        std::function<void(const std::string &job)> check = nullptr;
    } rows[] = {
        {"folder at the final name", [&] { mkdir((out + "00000000").c_str(), 0700); }, {out + "00000000"}},
        {"dangling links at work names", [&] {
             vqtest::MakeDirs(tmp);
             link(outside_ + "/a", out + "00000000.INC"), link(outside_ + "/b", out + "00000000");
             link(outside_ + "/c", parcel + "00000000"), link(outside_ + "/d", tmp + "00000000.TMP");
         }, {out + "00000000.INC", out + "00000000", parcel + "00000000", tmp + "00000000.TMP"}},
        {"links and FIFOs in FAX/IN, UTIL/DATA, PUBLIC", [&] {
             link(outside_ + "/victim", in + "ST000002"), fifo(in + "ST000003");
             link(outside_ + "/victim", Spool(SPOOL_ACTIVITY_LOG)), fifo(Spool(SPOOL_SVCQ));
         }, {in + "ST000002", in + "ST000003", Spool(SPOOL_ACTIVITY_LOG), Spool(SPOOL_SVCQ)}, 4},
        {"a folder as ACTIVITY.RD and as a control file; control-file names", [&] {
             mkdir(Spool(SPOOL_ACTIVITY_RD).c_str(), 0700), mkdir((in + "ST000004").c_str(), 0700);
             WriteFile(in + "ST0001.X", "Subject: Dot\r\n\r\n"), WriteFile(in + "st000009", "Subject: Low\r\n\r\n");
         }, {Spool(SPOOL_ACTIVITY_RD), in + "ST000004", in + "ST0001.X"}, 2, nullptr, [&](const std::string &) {
             /* the administrator told once, about the unreadable ACTIVITY.RD */
             EXPECT_EQ(Mailed(), (Names{"Fax Gateway Error: Spool entry left alone", "Fax", "Low"}));
         }},
        {"link and FIFO as images", [&] {
             WriteFile(in + "ST000005", "Attachment: RX000005\r\n\r\n"), WriteFile(in + "ST000006", "Attachment: RX000006\r\n\r\n");
             link(outside_ + "/victim", Spool(SPOOL_FAX_IPARCEL "/RX000005")), fifo(Spool(SPOOL_FAX_IPARCEL "/RX000006"));
         }, {}, 2, nullptr, [&](const std::string &) {
             EXPECT_EQ(Files(SPOOL_FAX_ERROR), (Names{"ST000005", "ST000005.BAD", "ST000006", "ST000006.BAD"}));
         }},
        {"leftovers of an earlier run", [&] {
             vqtest::MakeDirs(tmp), WriteFile(tmp + "00000003.TMP", ""), WriteFile(parcel + "00000007", "");
             WriteFile(out + "00000005.INC", "\x03\nAttachment: 00000007\n\n"), WriteFile(parcel + "00000008", "theirs");
             VqRemoveLeftovers();
         }, {parcel + "00000008"}, 0, nullptr, [&](const std::string &) {
             EXPECT_EQ(Files(SPOOL_FAX_OPARCEL), Names{"00000008"});
             EXPECT_EQ(vqtest::ListDir(tmp), Names{});
         }},
        {"CTRL+Z, an empty extended-fields line, UTF-8 cuts", nullptr, {}, 0, [&](vqtest::Memo &m) {
             m.subject = x + "\xC3\xA9", m.body = "before\x1a after\nend", m.sendTo.push_back(marker + "@FAXGATE");
             m.attachments = {{marker, "X-A: 1\n\nX-B: \x1a\nFrom-name: " + std::string(63, 'f') + "\xC3\xA9\n"}};
         }, [&](const std::string &job) {
             EXPECT_NE(job.find("\nX-A: 1\nX-B:  \nSend-to:"), std::string::npos);
             EXPECT_NE(job.find("\nFrom-name: " + std::string(63, 'f') + "\nSubject: " + x + "\n"), std::string::npos);
             EXPECT_NE(job.find("\n\nbefore  after\nend"), std::string::npos);
         }},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        if (&r != rows) {
            TearDown();
            for (const auto &e : std::filesystem::directory_iterator(data_.path()))
                std::filesystem::remove_all(e.path());
            SetUp();
        }
        if (r.hostile)
            r.hostile();
        std::map<std::string, std::string> before;
        for (const std::string &p : r.kept)
            before[p] = Shape(p);
        vqtest::Memo memo = FaxMemo("Row");
        if (r.edit)
            r.edit(memo);
        ASSERT_EQ(vqtest::SendMemo(memo), NOERROR);
        WriteFile(in + "ST000001", kFax), WriteFile(Spool(SPOOL_FAX_IPARCEL "/RX000001"), "image");
        const bool logged = Shape(Spool(SPOOL_ACTIVITY_LOG)) == "none" && Shape(Spool(SPOOL_ACTIVITY_RD)) == "none";
        if (logged)
            WriteFile(Spool(SPOOL_ACTIVITY_LOG), kTx);
        if (Shape(Spool(SPOOL_SVCQ)) == "none")
            WriteFile(Spool(SPOOL_SVCQ), ""); /* a missing one is waited for */
        for (int pass = 0; pass < 2; pass++) { /* the second says nothing again */
            ASSERT_EQ(MailOpenMessageFile("vortiq.box", &hMessageFile), NOERROR);
            OutboundTask();
            MailCloseMessageFile(hMessageFile);
            hMessageFile = NULLHANDLE;
            ImportActivity(), AddPending(), DoInboundTask();
        }
        EXPECT_EQ(E_quit, 0);
        for (const auto &[p, shape] : before)
            EXPECT_EQ(Shape(p), shape) << p;
        EXPECT_EQ(vqtest::ListDir(outside_), Names{"victim"});
        EXPECT_EQ(ReadFile(outside_ + "/victim"), "Subject: Victim\r\n\r\n");
        std::string job; /* the one job of the memo */
        for (const auto &n : Files(SPOOL_FAX_OUT))
            if (n.find('.') == std::string::npos && Shape(out + n).find("\nSend-to: - @ FAX {Jane Roe") != std::string::npos)
                job += ReadFile(out + n);
        EXPECT_EQ(std::count(job.begin(), job.end(), '\x03'), 1);
        EXPECT_EQ(job.find('\x1a'), std::string::npos);
        EXPECT_FALSE(vqtest::FileExists(in + "ST000001"));
        const Names m = Mailed();
        EXPECT_EQ(std::count(m.begin(), m.end(), "Fax"), 1);
        EXPECT_EQ(vqtest::DocumentIds(vqtest::kActDb).size(), logged ? 1u : 0u);
        const auto log = vqtest::LogSummary(); /* each said once over both passes */
        EXPECT_EQ((size_t)std::count_if(log.begin(), log.end(), [](const auto &e) { return e.id == VQM_SPOOL_ENTRY_SKIPPED; }), r.reports);
        if (r.check)
            r.check(job);
    }
}

/* Held under flock while written in place: left alone, then taken whole. */
TEST_F(HostileSpoolTest, InPlaceWritersUnderFlockAreTakenWholeAfterUnlock)
{
    const std::string ctl = Spool(SPOOL_FAX_IN "/ST000001"), log = Spool(SPOOL_ACTIVITY_LOG);
    WriteFile(Spool(SPOOL_FAX_IPARCEL "/RX000001"), "image");
    const int c = open(ctl.c_str(), O_CREAT | O_WRONLY, 0600), l = open(log.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_TRUE(flock(c, LOCK_EX) == 0 && flock(l, LOCK_EX) == 0);
    ASSERT_TRUE(write(c, kFax.data(), 20) == 20 && write(l, kTx.data(), kTx.size()) > 0);
    DoInboundTask(), ImportActivity();
    EXPECT_TRUE(vqtest::FileExists(ctl));
    EXPECT_EQ(ReadFile(log), kTx);
    EXPECT_TRUE(Mailed().empty());
    ASSERT_TRUE(write(c, kFax.data() + 20, kFax.size() - 20) > 0 && write(l, kTx.data(), kTx.size()) > 0);
    close(c), close(l);
    DoInboundTask(), ImportActivity();
    EXPECT_FALSE(vqtest::FileExists(ctl) || vqtest::FileExists(log));
    EXPECT_EQ(vqtest::DocumentIds(vqtest::kActDb).size(), 2u);
    const auto mails = vqtest::MailIn("fadmin.nsf");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].subject, "Fax"); /* read from the part written last */
    EXPECT_NE(mails[0].body.find("Pages Received:"), std::string::npos);
    EXPECT_EQ(E_quit, 0);
}

}  // namespace
