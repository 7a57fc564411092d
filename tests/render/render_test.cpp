/*
 * render_test.cpp - real fax pages: a golden render of a cover, text, PDF
 * and PNG job (page count and pixel hash), the same pages over the
 * in-memory T.30 line in every mode, and attachments that must fail the
 * job with a reason naming them and leave nothing behind.
 */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fax_render.h"
#include "sandbox.h"
#include "t30_line.h"

namespace fs = std::filesystem;

namespace {

std::string Fixture(const std::string &name)
{
    std::ifstream in(std::string(VQ_PAGES_DIR) + "/" + name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

/* A spool with one job as the gateway writes it: attachments as
 * (own name, bytes), the options of its one address. */
spoolfiles::Job WriteJob(const std::string &root, const std::vector<std::pair<std::string, std::string>> &atts,
                         const std::string &options)
{
    std::string spool = spoolfiles::SpoolRoot(root);
    fs::create_directories(spool + "/FAX/OPARCEL");
    std::string names, files;
    for (size_t i = 0; i < atts.size(); ++i) {
        std::string file = "0000000" + std::to_string(i + 1);
        std::ofstream(spool + "/FAX/OPARCEL/" + file, std::ios::binary) << atts[i].second;
        files += (i ? ", " : "") + file;
        names += (i ? ", " : "") + atts[i].first;
    }
    std::string bytes = "\x03\nSnd_company: Acme GmbH";
    if (!atts.empty())
        bytes += "\nAttachment: " + files + "\nAttachment-name: " + names;
    bytes += "\nSend-to: - @ FAX {Jane Roe,555D0100 , " + options +
             "}\nSender: John Smith @ /O=Acme\nFrom-name: John Smith\nSubject: Quarterly figures\n"
             "Date: 12/07/2026 10:00:00\n\nPlease call me back.\r\n\r\nDear Jane,\nGrüße aus Köln: the "
             "figures follow.\n";
    spoolfiles::Job job;
    EXPECT_TRUE(spoolfiles::ParseJob(bytes, job));
    job.name = "00000009";
    return job;
}

class Pages : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir_ = new faxrender::TempDir("");
        spoolfiles::Job job = WriteJob(dir_->path(), {{"chart.pdf", Fixture("chart.pdf")},
                                                     {"logo.png", Fixture("logo.png")}},
                                       "D, cover:Standard");
        golden_ = faxrender::RenderJob(dir_->path(), job, 0, Golden(), {});
    }
    static void TearDownTestSuite() { delete dir_; }
    static std::string Golden() { return dir_->File("golden.tif"); }
    static faxrender::TempDir *dir_;
    static faxrender::Result golden_;
};
faxrender::TempDir *Pages::dir_ = nullptr;
faxrender::Result Pages::golden_;

TEST_F(Pages, GoldenCoverTextPdfPngJob)
{
    ASSERT_TRUE(golden_.ok) << golden_.reason;
    int pages = 0;
    std::string why;
    uint64_t hash = faxrender::PixelHash(Golden(), &pages, &why);
    EXPECT_EQ(golden_.pages, 4) << "cover, body, PDF, PNG";
    EXPECT_EQ(pages, 4);
    /* the same job gives the same pixels; a new font, layout or dither
     * shows here first: look at the pages (TiffToPngs) before updating */
    EXPECT_EQ(hash, 0x337841ccb695cc14ull) << std::hex << hash << " " << why;
}

class Line : public Pages, public ::testing::WithParamInterface<t30line::Mode> {};

TEST_P(Line, EveryPageArrivesPixelIdentical)
{
    ASSERT_TRUE(golden_.ok) << golden_.reason;
    std::string rx = dir_->File(std::string("rx-") + std::to_string((int)GetParam()) + ".tif"), why;
    t30line::LineStats stats;
    ASSERT_TRUE(t30line::SendOverLine(Golden(), rx, GetParam(), &why, &stats)) << why;
    EXPECT_EQ(stats.pagesReceived, 4);
    EXPECT_EQ(stats.ecm, GetParam() != t30line::Mode::AudioNoEcm);
    EXPECT_TRUE(faxrender::SamePages(Golden(), rx, &why)) << why;
}
INSTANTIATE_TEST_SUITE_P(Modes, Line,
                         ::testing::Values(t30line::Mode::AudioEcm, t30line::Mode::AudioNoEcm, t30line::Mode::T38));

struct BadCase {
    const char *label;
    std::string name, bytes, reason;
    int timeout;
};

class Broken : public ::testing::TestWithParam<BadCase> {};

TEST_P(Broken, FailsTheJobNamingTheFileAndKeepsNothing)
{
    const BadCase &c = GetParam();
    faxrender::TempDir root(""), work("");
    spoolfiles::Job job = WriteJob(root.path(), {{"notes.txt", "fine text\n"}, {c.name, c.bytes}}, "S, cover:");
    /* what crashed renders left: one of a process gone, one of a process alive (1) */
    pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    for (pid_t pid : {gone, 1}) {
        fs::path left = work.path() + "/vqrender-" + std::to_string(pid) + "-left";
        fs::create_directories(left / "x");
        fs::last_write_time(left, fs::file_time_type::clock::now() - std::chrono::hours(2));
    }
    faxrender::Options opt;
    opt.workDir = work.path();
    opt.timeoutSeconds = c.timeout;
    std::string out = root.File("out.tif");
    faxrender::Result r = faxrender::RenderJob(root.path(), job, 0, out, opt);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.reason.find("attachment \"" + c.name + "\" (FAX/OPARCEL/00000002)"), std::string::npos) << r.reason;
    EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(std::distance(fs::directory_iterator(work.path()), {}), 1) << "private folders removed";
    EXPECT_TRUE(fs::exists(work.path() + "/vqrender-1-left")) << "a living process's folder kept";
}
INSTANTIATE_TEST_SUITE_P(
    Attachments, Broken,
    ::testing::Values(BadCase{"BrokenPdf", "report.pdf", "%PDF-1.4\n1 0 obj << /Type /Catalog", "as PDF: gs failed", 60},
                      BadCase{"Unknown", "data.bin", std::string("\x00\x01\x02\x03binary", 10), "unknown file type", 60},
                      BadCase{"TruncatedPng", "logo.png", "\x89PNG\r\n\x1a\n\x00\x00", "as PNG: pngtopam failed", 60},
                      BadCase{"EndlessPostScript", "loop.ps", "%!PS\n{ 1 pop } loop\n", "took longer than 1 s", 1}),
    [](const ::testing::TestParamInfo<BadCase> &i) { return std::string(i.param.label); });

}  // namespace
