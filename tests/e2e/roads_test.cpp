/*
 * roads_test.cpp - every road of the gateway driven end to end with the
 * three real programs on a data directory made by scripts/setup-data.sh:
 * notesctl plays the users and the operator, faxsim the fax server, and
 * vortiq runs as its own process. The tests look only at what the
 * programs leave: mail files and databases (through notesctl --json), the
 * spool tree and the server log.
 *
 * One gateway run covers several roads in sequence, so the whole file
 * costs a few inbound cycles (the first one comes 10 s after start).
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "e2e_support.h"
#include "notes_fixture.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using vqe2e::AttachmentNames;
using vqe2e::Documents;
using vqe2e::Eventually;
using vqe2e::Faxsim;
using vqe2e::Gateway;
using vqe2e::Item;
using vqe2e::Json;
using vqe2e::Result;
using vqe2e::Where;
using vqtest::ListDir;
using vqtest::ReadFile;
using vqtest::WriteFile;

const char kStarted[] = "VORTIQ: Fax gateway started";
const char kShutdown[] = "VORTIQ: Fax gateway shutdown";

bool StartsWith(const std::string &s, const std::string &prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

/* The first document whose subject begins with prefix, or null. */
Json WithSubject(const Json &docs, const std::string &prefix)
{
    for (const auto &d : docs)
        if (StartsWith(Item(d, "Subject"), prefix))
            return d;
    return Json();
}

class RoadsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        data_ = tmp_ / "data";
        std::string why;
        ASSERT_TRUE(vqe2e::SetUpData(data_, &why)) << why;
    }

    std::string Spool() const { return data_ + "/spool"; }
    std::string Folder(const std::string &sub) const { return data_ + "/spool/TMBFAX/" + sub; }
    Json Mail(const std::string &mailFile) const { return Documents(data_, mailFile); }
    Json Activity() const { return Documents(data_, "TMB_ACT.NSF", /*mailFile=*/false); }

    void Ctl(const std::vector<std::string> &args)
    {
        Result r = vqe2e::Notesctl(data_, args);
        ASSERT_EQ(r.code, 0) << r.Describe();
    }

    /* Ready jobs in FAX/OUT: names without extension. */
    std::vector<std::string> ReadyJobs() const
    {
        std::vector<std::string> jobs;
        for (const auto &n : ListDir(Folder("FAX/OUT")))
            if (n.find('.') == std::string::npos)
                jobs.push_back(n);
        return jobs;
    }

    std::string Diagnose(Gateway &gw) const
    {
        std::string log = gw.Log();
        if (log.size() > 6000)
            log = "...\n" + log.substr(log.size() - 6000);
        return "\n--- server.log\n" + log + "--- console\n" + gw.Console();
    }

    vqtest::TempDir tmp_;
    std::string data_;
};

/* Mail to fax and back into the activity database, across two runs of
 * the gateway with the fax server working in between:
 *   run 1: a fax mail becomes a job with its attachment and a delivery
 *          report; faxsim queue lists it and the first cycle records it as
 *          "Pending"; notesctl quit stops the gateway cleanly.
 *   faxsim send transmits the job.
 *   run 2: with FAX/OUT gone a fax mail fails: non-delivery report to the
 *          sender, error copy with its files to the administrator; the
 *          first cycle imports the activity lines into the same entry and
 *          delivers the fax server's return status to the sender. */
TEST_F(RoadsTest, OutboundSuccessFailureAndActivityImport)
{
    const std::string figures = tmp_ / "figures.txt";
    const std::string figuresBytes = "Widgets 12.50\r\nGadgets 3.75\r\n";
    WriteFile(figures, figuresBytes);

    std::string job, pendingJobId;
    unsigned long pendingNote = 0;
    {
        SCOPED_TRACE("run 1: outbound success and the pending queue");
        Gateway gw(data_);
        ASSERT_TRUE(gw.Start()) << Diagnose(gw);
        Ctl({"send", "--from", "Jane Roe", "--to", "Bob Smith@555.0100@FAXGATE", "--subject", "Figures",
             "--body", "Bob, the figures are attached.", "--attach", figures});

        bool done = Eventually(
            [&] {
                return ReadyJobs().size() == 1 && Mail("vortiq.box").empty() &&
                       !Where(Mail("mail/jroe.nsf"), "Form", "Delivery Report").empty();
            },
            25);
        ASSERT_TRUE(done) << "jobs: " << ReadyJobs().size() << "\nvortiq.box: " << Mail("vortiq.box").dump()
                          << "\njroe: " << Mail("mail/jroe.nsf").dump() << Diagnose(gw);
        job = ReadyJobs()[0];
        std::string bytes = ReadFile(Folder("FAX/OUT/") + job);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes[0], '\x03');
        EXPECT_NE(bytes.find("\nSubject: Figures"), std::string::npos) << bytes;
        EXPECT_NE(bytes.find("555D0100"), std::string::npos) << "the fax number, escaped: " << bytes;
        EXPECT_NE(bytes.find("\nAttachment-name: figures.txt"), std::string::npos) << bytes;
        size_t at = bytes.find("\nAttachment: ");
        ASSERT_NE(at, std::string::npos) << bytes;
        at += std::strlen("\nAttachment: ");
        std::string parcel = bytes.substr(at, bytes.find('\n', at) - at);
        EXPECT_EQ(ReadFile(Folder("FAX/OPARCEL/") + parcel), figuresBytes);
        EXPECT_NE(bytes.find("Bob, the figures are attached."), std::string::npos) << bytes;
        Json report = Where(Mail("mail/jroe.nsf"), "Form", "Delivery Report")[0];
        EXPECT_NE(Item(report, "Subject").find("Figures"), std::string::npos) << report.dump();

        Result q = Faxsim({"queue", Spool()});
        ASSERT_EQ(q.code, 0) << q.Describe();
        char id[16];
        std::snprintf(id, sizeof id, "%.4d", std::atoi(job.c_str()));
        pendingJobId = id;
        done = Eventually(
            [&] {
                for (const auto &e : Where(Activity(), "JobID", pendingJobId))
                    if (Item(e, "Explanation") == "Pending")
                        return true;
                return false;
            },
            30);
        ASSERT_TRUE(done) << "no Pending entry for job " << pendingJobId << ": " << Activity().dump()
                          << Diagnose(gw);
        std::vector<Json> entries = Where(Activity(), "JobID", pendingJobId);
        ASSERT_EQ(entries.size(), 1u);
        const Json &e = entries[0];
        pendingNote = e["noteid"].get<unsigned long>();
        EXPECT_EQ(Item(e, "FORM"), "Job Entry");
        EXPECT_EQ(Item(e, "Type"), "TX");
        EXPECT_EQ(Item(e, "To"), "555.0100");
        EXPECT_EQ(Item(e, "From"), "Jane Roe");
        EXPECT_EQ(Item(e, "Attempts"), "00");

        EXPECT_EQ(gw.Quit(), 0) << Diagnose(gw);
        EXPECT_EQ(gw.CountInLog(kShutdown), 1u) << Diagnose(gw);
    }

    Result sent = Faxsim({"send", Spool()});
    ASSERT_EQ(sent.code, 0) << sent.Describe();
    ASSERT_TRUE(ReadyJobs().empty());

    {
        SCOPED_TRACE("run 2: outbound failure and the activity import");
        /* a spool folder that is gone fails the job even for root, whom
         * permissions would not stop */
        fs::remove_all(Folder("FAX/OUT"));
        const std::string prices = tmp_ / "prices.txt";
        const std::string pricesBytes = "Price list\r\n";
        WriteFile(prices, pricesBytes);

        Gateway gw(data_);
        ASSERT_TRUE(gw.Start()) << Diagnose(gw);
        Ctl({"send", "--from", "Jane Roe", "--to", "Carl Diaz@555.0300@FAXGATE", "--subject", "Prices",
             "--body", "The new prices.", "--attach", prices});

        Json ndr, adminMail;
        bool done = Eventually(
            [&] {
                std::vector<Json> ndrs = Where(Mail("mail/jroe.nsf"), "Form", "NonDelivery Report");
                ndr = ndrs.empty() ? Json() : ndrs[0];
                adminMail = WithSubject(Mail("mail/faxadmin.nsf"), "Fax Gateway Error: ");
                return !ndr.is_null() && !adminMail.is_null() && Mail("vortiq.box").empty();
            },
            25);
        ASSERT_TRUE(done) << "jroe: " << Mail("mail/jroe.nsf").dump()
                          << "\nfaxadmin: " << Mail("mail/faxadmin.nsf").dump() << Diagnose(gw);
        EXPECT_NE(Item(ndr, "FailureReason").find("VORTIQ: Message Create Final error"), std::string::npos)
            << ndr.dump();
        EXPECT_NE(Item(adminMail, "Subject").find("Message Create Final error"), std::string::npos)
            << adminMail.dump();
        EXPECT_EQ(Item(adminMail, "From"), "VORTIQ");
        EXPECT_EQ(AttachmentNames(adminMail), (std::vector<std::string>{"ENVELOPE.BAD", "Attach.001"}))
            << adminMail.dump();
        for (const auto &a : adminMail["attachments"])
            if (a.value("name", "") == "Attach.001") {
                EXPECT_EQ(a.value("size", 0u), pricesBytes.size());
            }
        /* the envelope is the job as it would have gone to the fax server */
        const std::string envelope = tmp_ / "ENVELOPE.BAD";
        Result x = vqe2e::Notesctl(data_, {"mail", "extract", "mail/faxadmin.nsf",
                                           std::to_string(adminMail["noteid"].get<unsigned long>()),
                                           "ENVELOPE.BAD", envelope});
        ASSERT_EQ(x.code, 0) << x.Describe();
        std::string env = ReadFile(envelope);
        ASSERT_FALSE(env.empty());
        EXPECT_EQ(env[0], '\x03');
        EXPECT_NE(env.find("\nSubject: Prices"), std::string::npos) << env;
        EXPECT_NE(env.find("555D0300"), std::string::npos) << env;
        /* the error copy's files are deleted once the mail is on its way */
        EXPECT_TRUE(Eventually([&] { return ListDir(Folder("FAX/ERROR")).empty(); }, 5))
            << "left in FAX/ERROR: " << ListDir(Folder("FAX/ERROR")).size();

        Result init = Faxsim({"init", Spool()});
        ASSERT_EQ(init.code, 0) << init.Describe();

        /* the next cycle: the final activity line overwrites the entry the
         * queue listing made; the return status reaches the sender */
        Json final, status;
        done = Eventually(
            [&] {
                final = Json();
                for (const auto &e : Activity())
                    if (e["noteid"].get<unsigned long>() == pendingNote)
                        final = e;
                status = WithSubject(Mail("mail/jroe.nsf"), "Fax: ");
                return !final.is_null() && Item(final, "Code") == "0000" && !status.is_null() &&
                       ListDir(Folder("FAX/IN")).empty();
            },
            30);
        ASSERT_TRUE(done) << "entry " << pendingNote << ": " << final.dump()
                          << "\nall: " << Activity().dump() << "\njroe: " << Mail("mail/jroe.nsf").dump()
                          << Diagnose(gw);
        EXPECT_EQ(Item(final, "JobID"), pendingJobId);
        EXPECT_EQ(Item(final, "Type"), "TX");
        EXPECT_EQ(Item(final, "Explanation"), " Sent ");
        EXPECT_EQ(Item(final, "To"), "555.0100            ") << "the log's 20 columns, as read";
        EXPECT_EQ(Item(final, "From"), "Jane Roe   ");
        for (const auto &e : Where(Activity(), "JobID", pendingJobId))
            EXPECT_NE(Item(e, "Explanation"), "Pending") << e.dump();
        EXPECT_TRUE(ListDir(Folder("UTIL/DATA")).empty()) << "ACTIVITY.LOG taken and deleted";
        EXPECT_NE(Item(status, "Subject").find("Figures"), std::string::npos) << status.dump();

        EXPECT_EQ(gw.Quit(), 0) << Diagnose(gw);
        EXPECT_EQ(gw.CountInLog(kStarted), 2u);
        EXPECT_EQ(gw.CountInLog(kShutdown), 2u) << Diagnose(gw);
    }
}

/* Fax to mail: six received faxes waiting in FAX/IN when the gateway
 * starts, each taking another road at the first inbound cycle. */
TEST_F(RoadsTest, InboundByNameDidGroupDefaultAndFailure)
{
    Ctl({"person", "add", "Bob Smith", "--short", "bsmith", "--fax", "555-0300"});
    Ctl({"person", "add", "Ann Lee", "--short", "alee"});
    Ctl({"person", "add", "Carl Diaz", "--short", "cdiaz"});
    Ctl({"person", "add", "Front Desk", "--short", "fdesk"});
    Ctl({"group", "add", "Fax Team", "--members", "Ann Lee,Carl Diaz", "--description",
         "Sales desk VORTIQDID: 555-0200 (main line)"});
    Ctl({"set-config", "VortiqDefaultRecipient=Front Desk"});

    const std::string image = tmp_ / "page.tif";
    std::string imageBytes("II*\0\r\n\x1a\n", 8);
    for (int i = 0; i < 3000; ++i)
        imageBytes.push_back((char)(i * 37 + 11));
    WriteFile(image, imageBytes);

    struct Fax {
        std::vector<std::string> args;
        std::string name; /* control file, as faxsim printed it */
    } faxes[] = {
        {{"--to", "Jane Roe", "--subject", "By name", "--image", image}, ""},
        {{"--did", "555-0300", "--subject", "By person DID"}, ""},
        {{"--did", "555-0200", "--subject", "By group DID", "--pages", "4"}, ""},
        {{"--subject", "Nobody named"}, ""},
        {{"--to", "Nobody Known", "--subject", "Unknown name"}, ""},
        {{"--to", "Jane Roe", "--subject", "Broken image line", "--header", "Attachment: ../x"}, ""},
    };
    for (auto &f : faxes) {
        std::vector<std::string> args = {"receive", Spool()};
        args.insert(args.end(), f.args.begin(), f.args.end());
        Result r = Faxsim(args);
        ASSERT_EQ(r.code, 0) << r.Describe();
        f.name = r.out.substr(0, r.out.find('\n'));
        ASSERT_EQ(f.name.size(), 8u) << r.out;
    }
    const std::string broken = faxes[5].name;

    Gateway gw(data_);
    ASSERT_TRUE(gw.Start()) << Diagnose(gw);
    bool done = Eventually(
        [&] {
            return ListDir(Folder("FAX/IN")).empty() &&
                   !WithSubject(Mail("mail/faxadmin.nsf"), "Fax Gateway Error: ").is_null() &&
                   !WithSubject(Mail("mail/fdesk.nsf"), "Nobody named").is_null() &&
                   Where(Activity(), "Type", "RX").size() >= 3;
        },
        40);
    /* on a timeout go on: the roads below say which of them failed */
    EXPECT_TRUE(done) << "FAX/IN: " << ListDir(Folder("FAX/IN")).size() << Diagnose(gw);

    struct Road {
        std::string what, mailFile, subject;
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
        SCOPED_TRACE(road.what);
        Json got = WithSubject(Mail(road.mailFile), road.subject);
        if (!road.wanted) {
            EXPECT_TRUE(got.is_null()) << got.dump();
            continue;
        }
        if (got.is_null()) {
            ADD_FAILURE() << "no \"" << road.subject << "\" in " << road.mailFile << ": "
                          << Mail(road.mailFile).dump();
            continue;
        }
        EXPECT_EQ(AttachmentNames(got), std::vector<std::string>{"RX.FAX"}) << got.dump();
        EXPECT_EQ(Item(got, "From"), "VORTIQ");
    }

    /* the user's copy carries the image and the information block */
    Json byName = WithSubject(Mail("mail/jroe.nsf"), "By name");
    ASSERT_FALSE(byName.is_null());
    const std::string id = std::to_string(byName["noteid"].get<unsigned long>());
    const std::string extracted = tmp_ / "extracted.fax";
    Result x = vqe2e::Notesctl(data_, {"mail", "extract", "mail/jroe.nsf", id, "RX.FAX", extracted});
    ASSERT_EQ(x.code, 0) << x.Describe();
    EXPECT_TRUE(ReadFile(extracted) == imageBytes) << "RX.FAX differs from the received image";
    Json shown = vqe2e::NotesctlJson(data_, {"mail", "show", "mail/jroe.nsf", id, "--json"});
    ASSERT_TRUE(shown.is_object());
    const std::string body = shown.value("body", "");
    EXPECT_NE(body.find("TSI Received:\t+1 555 0199"), std::string::npos) << body;
    EXPECT_NE(body.find("Pages Received:\t1"), std::string::npos) << body;

    /* the failed fax: in FAX/ERROR with its failure line, the administrator told */
    std::vector<std::string> errors = ListDir(Folder("FAX/ERROR"));
    EXPECT_EQ(errors, (std::vector<std::string>{broken, broken + ".BAD"}));
    std::string bad = ReadFile(Folder("FAX/ERROR/") + broken + ".BAD");
    EXPECT_EQ(bad.rfind("To: Jane Roe", 0), 0u) << "the control file as received, then the line:\n" << bad;
    size_t reason = bad.find("Failure reason: ");
    ASSERT_NE(reason, std::string::npos) << bad;
    EXPECT_NE(bad.find("../x", reason), std::string::npos) << bad;
    EXPECT_EQ(bad.substr(bad.size() - 2), "\r\n");
    Json adminMail = WithSubject(Mail("mail/faxadmin.nsf"), "Fax Gateway Error: ");
    EXPECT_EQ(Item(adminMail, "Subject"), "Fax Gateway Error: Inbound Message");
    EXPECT_TRUE(AttachmentNames(adminMail).empty()) << adminMail.dump();
    EXPECT_TRUE(ListDir(Folder("FAX/IPARCEL")).empty()) << "every image delivered or moved";

    /* DID faxes are recorded, one entry per recipient */
    std::vector<Json> rx = Where(Activity(), "Type", "RX");
    std::multiset<std::string> to;
    for (const auto &e : rx) {
        to.insert(Item(e, "To"));
        EXPECT_EQ(Item(e, "From"), "+1 555 0199");
        EXPECT_EQ(Item(e, "Code"), "0000");
        EXPECT_EQ(Item(e, "Attempts"), "00");
        EXPECT_EQ(Item(e, "Date").size(), 5u) << e.dump();
    }
    EXPECT_EQ(to, (std::multiset<std::string>{"Ann Lee", "Bob Smith", "Carl Diaz"}));
    for (const auto &e : rx)
        if (Item(e, "To") != "Bob Smith") {
            EXPECT_EQ(Item(e, "Pages"), "4") << e.dump();
        }

    EXPECT_EQ(gw.CountInLog("VORTIQ: Send rx fax to Default User: Front Desk"), 1u) << Diagnose(gw);
    EXPECT_EQ(gw.Quit(), 0) << Diagnose(gw);
    EXPECT_EQ(gw.CountInLog(kShutdown), 1u) << Diagnose(gw);
    for (const auto &n : ListDir(data_))
        EXPECT_EQ(n.find(".TMP"), std::string::npos) << "body file left behind: " << n;
}


/* The first cycle purges activity entries last saved more than seven days
 * ago and keeps younger ones. No program can back-date a save, so the two
 * entries are written by this process with the stand-in's clock set back;
 * the gateway judges them by the real clock. */
TEST_F(RoadsTest, AgedActivityEntryIsPurged)
{
    const int64_t now = (int64_t)std::time(nullptr);
    const int64_t day = 24 * 3600;
    vqtest::SetDataDirectory(data_);
    vqtest::SetClock(now - 8 * day);
    const unsigned long aged =
        vqtest::AddDocument("TMB_ACT.NSF", {{"FORM", "Job Entry"}, {"JobID", "0901"}, {"Type", "TX"}});
    vqtest::SetClock(now - 6 * day);
    const unsigned long recent =
        vqtest::AddDocument("TMB_ACT.NSF", {{"FORM", "Job Entry"}, {"JobID", "0902"}, {"Type", "TX"}});
    vqtest::UseRealClock();
    ASSERT_NE(aged, 0u);
    ASSERT_NE(recent, 0u);

    auto ids = [&] {
        std::set<unsigned long> out;
        for (const auto &e : Activity())
            out.insert(e["noteid"].get<unsigned long>());
        return out;
    };
    ASSERT_EQ(ids(), (std::set<unsigned long>{aged, recent}));

    Gateway gw(data_);
    ASSERT_TRUE(gw.Start()) << Diagnose(gw);
    EXPECT_TRUE(Eventually([&] { return ids().count(aged) == 0; }, 30)) << Activity().dump() << Diagnose(gw);
    EXPECT_EQ(ids(), std::set<unsigned long>{recent});
    EXPECT_EQ(gw.Quit(), 0) << Diagnose(gw);
}

}  // namespace
