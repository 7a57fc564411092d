// job_writer_test.cpp - jobs compared whole with golden files (fixed clock, TZ UTC; VQ_UPDATE_GOLDEN=1 rewrites).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "outbound_fixture.h"

namespace {

using vqtest::ListedMessage;
using Names = std::vector<std::string>;

const int64_t kNow = 1772438700; // 2026-03-02 08:05:00 UTC
const std::string kMarker = TambriDllExtSig;

struct JobRun { STATUS status = 0; Names errorFiles; };

// One job writer call with a fresh error file list, its pointer taken then unlocked as the pass hands it.
JobRun Write(ListedMessage &m, int errorFlag, const char *originator = nullptr, int extraRecipients = 0)
{
    vqtest::TextList list;
    JobRun run;
    LIST *pointer = (LIST *)OSLockObject(list.h);
    OSUnlockObject(list.h);
    run.status = CreateForeignMessage(m.hMessage, originator ? originator : m.Originator.c_str(),
                                      m.MessageList, m.Msg, (WORD)(m.RecipientCount + extraRecipients),
                                      list.h, pointer, &list.size, errorFlag);
    run.errorFiles = list.Entries();
    return run;
}

void ExpectGolden(const std::string &name, const std::string &got)
{
    const std::string path = std::string(VQ_SOURCE_DIR) + "/tests/outbound/golden/" + name;
    if (std::getenv("VQ_UPDATE_GOLDEN") != nullptr)
        vqtest::WriteFile(path, got);
    ASSERT_TRUE(vqtest::FileExists(path)) << path;
    EXPECT_EQ(got, vqtest::ReadFile(path)) << "golden file " << name;
}

class JobWriterTest : public vqtest::OutboundTest {
protected:
    void SetUp() override { OutboundTest::SetUp(), vqtest::SetClock(kNow); }
    void TearDown() override { vqtest::UseRealClock(), OutboundTest::TearDown(); }
    vqtest::EnvGuard tz_{"TZ", "UTC"};

    // The memo of the John Smith example.
    vqtest::Memo Memo() const
    {
        vqtest::Memo m = FaxMemo("Report");
        m.body = "Dear Jane,\nthe report is attached.\n\nJohn";
        m.attachments = {{"report.doc", "DOC bytes"}};
        return m;
    }
    // Routes memo to the gateway and opens it as the pass does.
    std::unique_ptr<ListedMessage> Route(const vqtest::Memo &memo)
    {
        EXPECT_EQ(vqtest::SendMemo(memo), 0);
        return std::make_unique<ListedMessage>("vortiq.box");
    }
    // Routes memo and writes its job once.
    JobRun Job(const vqtest::Memo &memo, const char *originator = nullptr, int extraRecipients = 0)
    {
        auto m = Route(memo);
        return m->ok() ? Write(*m, 0, originator, extraRecipients) : JobRun{1, {}};
    }
    Names Out() const { return Files(SPOOL_FAX_OUT); }
    Names Parcel() const { return Files(SPOOL_FAX_OPARCEL); }
    Names Error() const { return Files(SPOOL_FAX_ERROR); }
    // The one finished job in FAX/OUT; nothing else may be there.
    std::string FinishedJob() const
    {
        EXPECT_EQ(Out(), Names{"00000000"});
        return Out().empty() ? "" : vqtest::ReadFile(Spool(SPOOL_FAX_OUT "/") + Out()[0]);
    }
};

const std::string kOptions =
    "[Fax Options] 1.0\r\nResolution = Low\r\nDelivery notification = No\r\nCost code = 12 34\r\n"
    "Send cover page=No\r\nCover page message = Please call back.\r\nSender's name = J. Smith, Sales\r\n"
    "Company name = Acme Inc.\r\nPhone number = 555 0100\r\nFax number = 555 0199\r\n";

const std::string kExtendedFields =
    "Send-to: - @ fax { 5551234, Jane }\nSend-to: - @ fax| { 5559876 | Bob }\r\nSend-to: 5550000\n"
    "From-name: Fax Desk\nSubject: Quarterly figures\nX-Account: 42\r\n\nLast line without end";

TEST_F(JobWriterTest, GoldenJobFiles)
{
    using M = vqtest::Memo;
    using Edit = std::function<void(M &)>;
    const Edit none = [](M &) {};
    const Edit includeNames = [](M &m) {
        m.copyTo = {"Ann Lee@555.0200@FAXGATE"};
        m.attachments = {{"faxsvr.fof", "[Fax Options]\nInclude all names on cover page = y\n"}};
    };
    // extraRecipients: beyond the message's, so reading them fails
    struct Case { const char *name, *golden; Edit edit; const char *originator = nullptr; int extraRecipients = 0; };
    const Case cases[] = {
        {"John Smith example", "john_smith.job", none},
        {"unreadable recipient ends gathering, not the job", "john_smith.job", none, nullptr, 1},
        {"no attachments", "no_attachments.job", [](M &m) { m.attachments.clear(); }},
        {"two attachments", "two_attachments.job", [](M &m) { m.attachments.push_back({"chart.tif", "TIF bytes"}); }},
        {"options file first", "options_file.job", [](M &m) {
             m.attachments.insert(m.attachments.begin(), {"FAXSVR.FOF", kOptions});
             m.copyTo = {"Ann Lee@555.0200@FAXGATE"}, m.textItems = {{"ReturnStatus", "no"}};
         }},
        {"no header", "options_not_header.job",
         [](M &m) { m.attachments.insert(m.attachments.begin(), {"faxsvr.fof", "Resolution = Low\n"}); }},
        {"options file not first", "options_not_first.job", [](M &m) { m.attachments.push_back({"faxsvr.fof", kOptions}); }},
        {"extended fields", "extended_fields.job", [](M &m) {
             m.sendTo.push_back(kMarker + "@FAXGATE");
             m.attachments.insert(m.attachments.begin(), {kMarker + ".TXT", kExtendedFields});
         }},
        {"no marker recipient", "marker_attachment.job",
         [](M &m) { m.attachments = {{kMarker + ".TXT", "Subject: x\n"}}; }},
        {"marker only", "marker_only.job", [](M &m) { m.sendTo = {kMarker + "@FAXGATE"}, m.attachments.clear(); }},
        {"FaxTime 60 s ahead", "faxtime_none.job", [](M &m) { m.timeItems = {{"FaxTime", 60}}; }},
        {"FaxTime past", "faxtime_none.job", [](M &m) { m.timeItems = {{"FaxTime", -3600}}; }},
        {"FaxTime 61 s ahead", "faxtime_61s.job", [](M &m) { m.timeItems = {{"FaxTime", 61}}; }},
        {"FaxTime 25 h ahead", "faxtime_25h.job", [](M &m) { m.timeItems = {{"FaxTime", 90000}}; }},
        {"FaxRes high, ReturnStatus NO, CoverPage", "faxres_high_return_no.job",
         [](M &m) { m.textItems = {{"FaxRes", "high"}, {"ReturnStatus", "NO"}, {"CoverPage", "Standard"}}; }},
        {"FaxRes other", "faxres_other_return_yes.job",
         [](M &m) { m.textItems = {{"FaxRes", "Fine"}, {"ReturnStatus", "Yes"}}; }},
        {"hierarchical originator with domain", "ou_originator.job", none, "CN=Jane Doe/OU=Sales/O=Acme@Remote"},
        {"flat originator", "flat_originator.job", none, "Jane Doe"},
        {"domain cut at 32", "long_sender_domain.job", none,
         "CN=Jane Doe/OU=Research and Development/O=Acme Corporation@Remote"},
        {"include names y", "include_names_off.job", includeNames},
        {"include names N", "include_names_off.job", [&](M &m) {
             includeNames(m);
             m.attachments[0].second = "[Fax Options]\nInclude all names on cover page = N\n";
         }},
        {"line ends in values are blanks", "line_ends_in_values.job", [](M &m) {
             m.subject = "Report\r\nSend-to: - @ FAX {999 }";
             m.attachments = {{"faxsvr.fof", "[Fax Options]\nCompany name = Ac\rme\n"}, {"a\nb.doc", "x"}};
             m.sendTo.push_back(kMarker + "@FAXGATE");
             m.attachments.push_back({kMarker, "X-Note: one\rtwo\n"});
         },
         "CN=Jane\nDoe/O=Ac\rme"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClearSpool();
        vqtest::ClearLog();
        vqtest::Memo memo = Memo();
        c.edit(memo);
        JobRun run = Job(memo, c.originator, c.extraRecipients);
        EXPECT_EQ(run.status, 0);
        ExpectGolden(c.golden, FinishedJob());
        // the work files are gone; only listed attachments stay
        ASSERT_FALSE(run.errorFiles.empty());
        EXPECT_EQ(run.errorFiles[0], Spool(SPOOL_FAX_OUT "/00000000.INC"));
        Names parcel;
        for (size_t i = 1; i < run.errorFiles.size(); i++)
            parcel.push_back(run.errorFiles[i].substr(Spool(SPOOL_FAX_OPARCEL "/").size()));
        EXPECT_EQ(Parcel(), parcel);
        EXPECT_TRUE(Error().empty());
        EXPECT_EQ(vqtest::LogCount(VQM_DS0), 0);
        EXPECT_EQ(vqtest::LogCount(VQM_API_CALL_ERROR, "MailGetMessageRecipient"), c.extraRecipients);
    }
}

// The error copy keeps the job file and its attachments in FAX/ERROR, job file first.
TEST_F(JobWriterTest, ErrorCopyGoesToTheErrorDirectory)
{
    vqtest::Memo memo = Memo();
    memo.attachments.push_back({"chart.tif", "TIF bytes"});
    auto m = Route(memo);
    ASSERT_TRUE(m->ok());
    JobRun copy = Write(*m, 1);
    EXPECT_EQ(copy.status, 0);
    const std::string error = Spool(SPOOL_FAX_ERROR "/");
    EXPECT_EQ(copy.errorFiles, (Names{error + "00000000.ENV", error + "00000000", error + "00000001"}));
    EXPECT_EQ(Error(), (Names{"00000000", "00000000.ENV", "00000001"}));
    EXPECT_EQ(vqtest::ReadFile(Spool(SPOOL_FAX_ERROR "/00000001")), "TIF bytes");
    ExpectGolden("two_attachments_error_copy.env", vqtest::ReadFile(Spool(SPOOL_FAX_ERROR "/00000000.ENV")));
    EXPECT_TRUE(Out().empty() && Parcel().empty()) << "an error copy spools nothing";
}

TEST_F(JobWriterTest, LongRecipientLongCostCodeManyAttachments)
{
    const std::string code(2000, '7');
    vqtest::Memo memo = Memo();
    memo.sendTo.clear(); // four long names: the recipient list is kept apart from the note's record, as the options are
    for (char c : std::string("rstu"))
        memo.sendTo.push_back(std::string(300, c) + "@555@FAXGATE");
    memo.attachments = {{"faxsvr.fof", "[Fax Options]\nCost code = " + code + "\n"}};
    for (int i = 0; i < 200; i++)
        memo.attachments.push_back({"page" + std::to_string(i) + ".txt", std::to_string(i)});
    JobRun run = Job(memo);
    ASSERT_EQ(run.status, 0);
    const std::string job = FinishedJob();
    // the option text reaches every fax address whole; no recipient or attachment is lost
    const std::string options = ", S, cover:, #" + code + "}";
    size_t addresses = 0;
    for (size_t at = job.find(options); at != std::string::npos; at = job.find(options, at + 1))
        ++addresses;
    EXPECT_EQ(addresses, 4u);
    EXPECT_NE(job.find("{" + std::string(255, 'u')), std::string::npos);
    EXPECT_EQ(run.errorFiles.size(), 201u);
    EXPECT_EQ(Parcel().size(), 200u);
    const size_t line = job.find("\nAttachment: ");
    ASSERT_NE(line, std::string::npos);
    const std::string attachments = job.substr(line, job.find('\n', line + 1) - line);
    EXPECT_EQ(attachments.substr(attachments.size() - 10), ", 00000199");
    EXPECT_NE(job.find("page199.txt\n"), std::string::npos);
}

}  // namespace
