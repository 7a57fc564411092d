/*
 * roads_test.cpp - every road of the gateway end to end with the real
 * programs on a data directory made by scripts/setup-data.sh: notesctl
 * plays the users and the operator, faxsim the fax server (one received
 * fax is written byte for byte here, so that a mistake faxsim and the
 * gateway's reader share cannot hide). vortiq starts three times: the run
 * that takes every road (passes at once and every second), a restart
 * stopped by SIGTERM, and a start whose notes.ini cannot be made.
 */
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <set>

#include "e2e_support.h"
#include "notes_fixture.h"

namespace {

using vqe2e::Eventually;
using vqe2e::Item;
using vqe2e::Json;
using vqe2e::Result;
using vqtest::ListDir;
using vqtest::ReadFile;
using vqtest::WriteFile;

/* How long a condition may take: each wait ends once its condition holds,
 * so the bound only has to outlast a loaded machine under the sanitizers. */
constexpr int kSettle = 60;

/* The first document whose subject contains text, or null. */
Json WithSubject(const Json &docs, const std::string &text)
{
    for (const auto &d : docs)
        if (Item(d, "Subject").find(text) != std::string::npos)
            return d;
    return Json();
}

std::vector<Json> Where(const Json &docs, const std::string &item, const std::string &value)
{
    std::vector<Json> out;
    for (const auto &d : docs)
        if (Item(d, item) == value)
            out.push_back(d);
    return out;
}

std::vector<std::string> AttachmentNames(const Json &doc)
{
    std::vector<std::string> names;
    for (const auto &a : doc.value("attachments", Json::array()))
        names.push_back(a.value("name", ""));
    return names;
}

class RoadsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Result r = vqe2e::Run({"/bin/sh", VQ_SOURCE_DIR "/scripts/setup-data.sh", vqe2e::kBin, data_});
        ASSERT_EQ(r.code, 0) << r.out;
        for (const char *s : {"AddInIdlePaceMs=50", "VortiqFirstPassDelay=0", "VortiqIntervalSeconds=1"})
            Ctl({"set-config", s});
    }
    std::string Ctl(const std::vector<std::string> &args)
    {
        Result r = vqe2e::Notesctl(data_, args);
        EXPECT_EQ(r.code, 0) << args[0] << ": " << r.out;
        return r.out;
    }
    /* faxsim COMMAND SPOOL ARGS...; the first line it printed. */
    std::string Faxsim(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {vqe2e::kBin + "/faxsim", args[0], data_ + "/spool"};
        argv.insert(argv.end(), args.begin() + 1, args.end());
        Result r = vqe2e::Run(argv);
        EXPECT_EQ(r.code, 0) << r.out;
        return r.out.substr(0, r.out.find('\n'));
    }
    std::string Folder(const std::string &sub) const { return data_ + "/spool/TMBFAX/" + sub; }
    Json Mail(const std::string &file) const { return vqe2e::Documents(data_, file); }
    Json Activity() const { return vqe2e::Documents(data_, "TMB_ACT.NSF", true); }
    std::string Extract(const std::string &file, const Json &doc, const std::string &name)
    {
        const std::string to = tmp_ / name;
        Ctl({"mail", "extract", file, std::to_string(doc.value("noteid", 0u)), name, to});
        return ReadFile(to);
    }
    std::vector<std::string> ReadyJobs() const
    {
        std::vector<std::string> jobs;
        for (const auto &n : ListDir(Folder("FAX/OUT")))
            if (n.find('.') == std::string::npos)
                jobs.push_back(n);
        return jobs;
    }

    vqtest::TempDir tmp_;
    const std::string data_ = tmp_ / "data";
};

TEST_F(RoadsTest, EveryRoadThenRestartAndBadStart)
{
    /* ---- before the start: the directory, six received faxes, two aged
     * activity entries and one fax mail ---- */
    using Args = std::vector<std::string>;
    for (const Args &args : {Args{"person", "add", "Bob Smith", "--short", "bsmith", "--fax", "555-0300"},
                             Args{"person", "add", "Ann Lee", "--short", "alee"},
                             Args{"person", "add", "Carl Diaz", "--short", "cdiaz"},
                             Args{"person", "add", "Front Desk", "--short", "fdesk"},
                             Args{"group", "add", "Fax Team", "--members", "Ann Lee,Carl Diaz",
                                  "--description", "Sales desk VORTIQDID: 555-0200 (main line)"},
                             Args{"set-config", "VortiqDefaultRecipient=Front Desk"}})
        Ctl(args);
    for (const Args &args : {Args{"receive", "--did", "555-0300", "--subject", "By person DID"},
                             Args{"receive", "--did", "555-0200", "--subject", "By group DID", "--pages", "4"},
                             Args{"receive", "--subject", "Nobody named"},
                             Args{"receive", "--to", "Nobody Known", "--subject", "Unknown name"}})
        Faxsim(args);
    const std::string broken = Faxsim({"receive", "--to", "Jane Roe", "--subject", "Broken image line",
                                       "--header", "Attachment: ../x"});
    std::string image("II*\0\r\n\x1a\n", 8);
    for (int i = 0; i < 4096; ++i)
        image.push_back((char)(i * 31 + 7));
    WriteFile(Folder("FAX/IPARCEL/RX000099"), image);
    WriteFile(Folder("FAX/IN/RX.TMP"), "To: Jane Roe\r\nSubject: By name\r\nAttachment: RX000099\r\n\r\n"
                                       "Receive Time: 03/05/26 09:07\r\nTSI Received: +1 555 0199\r\n"
                                       "Pages Received: 1\r\n");
    ASSERT_EQ(std::rename(Folder("FAX/IN/RX.TMP").c_str(), Folder("FAX/IN/ST000099").c_str()), 0);

    /* no program can back-date a save, and a database's times never go
     * backwards: this process makes the activity database afresh with the
     * stand-in's clock set back; the gateway judges by the real clock */
    const int64_t now = (int64_t)std::time(nullptr), day = 24 * 3600;
    vqtest::SetDataDirectory(data_);
    vqtest::SetClock(now - 8 * day);
    for (const char *end : {"", "-wal", "-shm"})
        std::remove((data_ + "/TMB_ACT.NSF" + end).c_str());
    vqtest::CreateActivityDb();
    ASSERT_NE(vqtest::AddDocument("TMB_ACT.NSF", {{"FORM", "Job Entry"}, {"JobID", "0901"}}), 0u);
    vqtest::SetClock(now - 6 * day);
    ASSERT_NE(vqtest::AddDocument("TMB_ACT.NSF", {{"FORM", "Job Entry"}, {"JobID", "0902"}}), 0u);
    vqtest::UseRealClock();

    const std::string figures = "Widgets 12.50\r\n";
    WriteFile(tmp_ / "figures.txt", figures);
    Ctl({"send", "--from", "Jane Roe", "--to", "Bob Smith@555.0100@FAXGATE", "--subject", "Figures",
         "--body", "Bob, the figures are attached.", "--attach", tmp_ / "figures.txt"});

    vqe2e::Gateway gw(data_);
    ASSERT_TRUE(gw.Start()) << gw.Log();

    /* ---- fax to mail ---- */
    ASSERT_TRUE(Eventually([&] { return ListDir(Folder("FAX/IN")).empty(); }, kSettle)) << gw.Log();
    struct Road {
        const char *what, *mailFile, *subject;
        bool wanted;
    } roads[] = {
        {"by the To: line", "mail/jroe.nsf", "By name", true},
        {"by a Person's DID", "mail/bsmith.nsf", "By person DID", true},
        {"by a Group's DID, first member", "mail/alee.nsf", "By group DID", true},
        {"by a Group's DID, second member", "mail/cdiaz.nsf", "By group DID", true},
        {"to the default recipient", "mail/fdesk.nsf", "Nobody named", true},
        {"not to the administrator when nobody was named", "mail/faxadmin.nsf", "Nobody named", false},
        {"to the administrator for an unknown name", "mail/faxadmin.nsf", "Unknown name", true},
        {"not to the default recipient for an unknown name", "mail/fdesk.nsf", "Unknown name", false},
        {"not delivered with a bad image line", "mail/jroe.nsf", "Broken image line", false},
    };
    for (const auto &road : roads) {
        const Json got = WithSubject(Mail(road.mailFile), road.subject);
        EXPECT_EQ(!got.is_null(), road.wanted) << road.what << ": " << Mail(road.mailFile).dump();
        if (road.wanted && !got.is_null()) {
            EXPECT_EQ(AttachmentNames(got), std::vector<std::string>{"RX.FAX"}) << road.what;
        }
    }
    const Json byName = WithSubject(Mail("mail/jroe.nsf"), "By name");
    EXPECT_TRUE(Extract("mail/jroe.nsf", byName, "RX.FAX") == image) << "RX.FAX differs from the image";
    const std::string shown = Ctl({"mail", "show", "mail/jroe.nsf", std::to_string(byName.value("noteid", 0u))});
    EXPECT_NE(shown.find("TSI Received:\t+1 555 0199"), std::string::npos) << shown;
    EXPECT_EQ(Item(byName, "From"), "VORTIQ");
    /* the failed fax: in FAX/ERROR with its failure line, the administrator told */
    EXPECT_EQ(ListDir(Folder("FAX/ERROR")), (std::vector<std::string>{broken, broken + ".BAD"}));
    EXPECT_NE(ReadFile(Folder("FAX/ERROR/") + broken + ".BAD").find("Failure reason: "), std::string::npos);
    EXPECT_FALSE(WithSubject(Mail("mail/faxadmin.nsf"), "Fax Gateway Error: Inbound Message").is_null());
    EXPECT_TRUE(ListDir(Folder("FAX/IPARCEL")).empty()) << "every image delivered or moved";
    EXPECT_EQ(gw.Count("VORTIQ: Send rx fax to Default User: Front Desk"), 1u);
    /* DID faxes are recorded, one entry per recipient */
    std::multiset<std::string> rxTo;
    for (const auto &e : Where(Activity(), "Type", "RX"))
        rxTo.insert(Item(e, "To") + " " + Item(e, "Pages"));
    EXPECT_EQ(rxTo, (std::multiset<std::string>{"Ann Lee 4", "Bob Smith 1", "Carl Diaz 4"}));
    /* aged entries are purged, younger ones kept */
    EXPECT_TRUE(Where(Activity(), "JobID", "0901").empty());
    EXPECT_EQ(Where(Activity(), "JobID", "0902").size(), 1u);

    /* a person added while the gateway runs is found at the next cycle */
    Ctl({"person", "add", "Dan Ray", "--short", "dray"});
    Faxsim({"receive", "--to", "Dan Ray", "--subject", "Late joiner"});
    EXPECT_TRUE(Eventually([&] { return !WithSubject(Mail("mail/dray.nsf"), "Late joiner").is_null(); }, kSettle))
        << gw.Log();
    /* faxsim rendered that fax: its page as a picture */
    const Json late = WithSubject(Mail("mail/dray.nsf"), "Late joiner");
    EXPECT_EQ(Ctl({"mail", "extract", "mail/dray.nsf", std::to_string(late.value("noteid", 0u)), "RX.FAX", "--png",
                   tmp_ / "pages"}),
              tmp_ / "pages/page-1.png" + "\n");

    /* ---- mail to fax: the job, the queue listing, the activity import ---- */
    ASSERT_TRUE(Eventually([&] { return ReadyJobs().size() == 1 && Mail("vortiq.box").empty(); }, kSettle))
        << gw.Log();
    EXPECT_FALSE(WithSubject(Where(Mail("mail/jroe.nsf"), "Form", "Delivery Report"), "Figures").is_null());
    const std::string job = ReadyJobs()[0], bytes = ReadFile(Folder("FAX/OUT/") + job);
    for (const char *want : {"\x03\n", "\nSubject: Figures", "555D0100", "\nAttachment-name: figures.txt",
                             "Bob, the figures are attached."})
        EXPECT_NE(bytes.find(want), std::string::npos) << want << " in " << bytes;
    const size_t at = bytes.find("\nAttachment: ") + 13;
    EXPECT_EQ(ReadFile(Folder("FAX/OPARCEL/") + bytes.substr(at, bytes.find('\n', at) - at)), figures);

    Faxsim({"queue"});
    const std::string svcq = ReadFile(Folder("PUBLIC/SVCQ")) + std::string(22, '\0'); /* the job's number */
    char jobId[16];
    std::snprintf(jobId, sizeof jobId, "%.4d", (unsigned char)svcq[20] | (unsigned char)svcq[21] << 8);
    Json pending;
    ASSERT_TRUE(Eventually(
        [&] {
            const auto e = Where(Activity(), "JobID", jobId);
            pending = e.size() == 1 ? e[0] : Json();
            return Item(pending, "Explanation") == "Pending";
        },
        kSettle))
        << Activity().dump() << gw.Log();
    EXPECT_EQ(Item(pending, "To"), "555.0100");
    EXPECT_EQ(Item(pending, "From"), "Jane Roe");

    Faxsim({"send"});
    Json final;
    ASSERT_TRUE(Eventually(
        [&] {
            for (const auto &e : Where(Activity(), "JobID", jobId))
                if (e.value("noteid", 0u) == pending.value("noteid", 0u))
                    final = e; /* the entry the queue listing made, overwritten */
            return Item(final, "Code") == "0000" && ListDir(Folder("FAX/IN")).empty();
        },
        kSettle))
        << Activity().dump() << gw.Log();
    EXPECT_EQ(Item(final, "Explanation"), " Sent ");
    EXPECT_EQ(Item(final, "Pages"), "002") << "the body and figures.txt, rendered";
    EXPECT_EQ(Item(final, "To"), "555.0100            ") << "the log's 20 columns, as read";
    EXPECT_EQ(Item(final, "From"), "Jane Roe   ");
    EXPECT_TRUE(ListDir(Folder("UTIL/DATA")).empty()) << "ACTIVITY.LOG taken and deleted";
    EXPECT_FALSE(WithSubject(Mail("mail/jroe.nsf"), "Fax: ").is_null()) << "the return status";

    /* ---- mail to fax fails: FAX/OUT is gone (even root cannot write there) ---- */
    std::filesystem::remove_all(Folder("FAX/OUT"));
    WriteFile(tmp_ / "prices.txt", "Price list\r\n");
    Ctl({"send", "--from", "Jane Roe", "--to", "Carl Diaz@555.0300@FAXGATE", "--subject", "Prices",
         "--attach", tmp_ / "prices.txt"});
    Json ndr, admin;
    ASSERT_TRUE(Eventually(
        [&] {
            const auto ndrs = Where(Mail("mail/jroe.nsf"), "Form", "NonDelivery Report");
            ndr = ndrs.empty() ? Json() : ndrs[0];
            admin = WithSubject(Mail("mail/faxadmin.nsf"), "Message Create Final error");
            return !ndr.is_null() && !admin.is_null() && Mail("vortiq.box").empty();
        },
        kSettle))
        << gw.Log();
    EXPECT_NE(Item(ndr, "FailureReason").find("VORTIQ: Message Create Final error"), std::string::npos);
    EXPECT_EQ(AttachmentNames(admin), (std::vector<std::string>{"ENVELOPE.BAD", "Attach.001"}));
    EXPECT_NE(Extract("mail/faxadmin.nsf", admin, "ENVELOPE.BAD").find("\nSubject: Prices"), std::string::npos);
    EXPECT_EQ(Extract("mail/faxadmin.nsf", admin, "Attach.001"), "Price list\r\n");
    EXPECT_TRUE(Eventually([&] { return ListDir(Folder("FAX/ERROR")).size() == 2; }, kSettle))
        << "the error copy's files are deleted once it is on its way";

    EXPECT_EQ(gw.Stop(0), 0) << gw.Log();
    EXPECT_EQ(gw.Count("VORTIQ: Fax gateway shutdown"), 1u);
    for (const auto &n : ListDir(data_))
        EXPECT_EQ(n.find(".TMP"), std::string::npos) << "body file left behind: " << n;

    /* ---- a restart on the same data, stopped as a service manager does ---- */
    Faxsim({"init"});
    const size_t logged = ReadFile(data_ + "/server.log").size();
    ASSERT_TRUE(gw.Start()) << gw.Log();
    EXPECT_EQ(gw.Stop(SIGTERM), 0) << gw.Log();
    EXPECT_EQ(gw.Count("VORTIQ: Fax gateway shutdown"), 2u) << gw.Log();
    const std::string restart = ReadFile(data_ + "/server.log").substr(logged);
    for (const char *problem : {"does not exist", " set; use SET CONFIG", "Error opening message file"})
        EXPECT_EQ(restart.find(problem), std::string::npos) << restart;

    /* ---- no notes.ini there: the path and the command that makes one, exit 1 ---- */
    Result r = vqe2e::Run({vqe2e::kBin + "/vortiq", "=" + (tmp_ / "missing/notes.ini")}, tmp_.path());
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.out.find("missing/notes.ini"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("notesctl -d"), std::string::npos) << r.out;

    /* ---- setup-data.sh again leaves a prepared directory as it is ---- */
    const std::string ini = ReadFile(data_ + "/notes.ini");
    EXPECT_EQ(vqe2e::Run({"/bin/sh", VQ_SOURCE_DIR "/scripts/setup-data.sh", vqe2e::kBin, data_}).code, 0);
    EXPECT_EQ(ReadFile(data_ + "/notes.ini"), ini);
}

}  // namespace
