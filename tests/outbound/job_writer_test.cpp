/*
 * job_writer_test.cpp - fax jobs written from messages routed into the
 * gateway mail file: whole job files compared with golden files, the
 * files each job leaves in the spool and on the error file list, error
 * mode, and every failure path (a sweep of injected I/O faults).
 *
 * The clock is fixed and TZ is UTC, so the Date line of a golden file is
 * stable. Set VQ_UPDATE_GOLDEN=1 to rewrite the golden files.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "notes_fixture.h"
#include "outbound.h"
#include "test_support.h"

namespace {

const int64_t kNow = 1772438700; /* 2026-03-02 08:05:00 UTC */
const std::string kMarker = TambriDllExtSig;
const char kBody[] = "Dear Jane,\nthe report is attached.\n\nJohn";

struct JobRun {
    STATUS status = 0;
    std::vector<std::string> errorFiles; /* the error file list, in order */
};

/* The gateway mail file and its last message, opened as the outbound
 * pass opens them. */
struct GatewayMessage {
    DBHANDLE hFile = NULLHANDLE;
    DHANDLE hMessageList = NULLHANDLE;
    DARRAY *MessageList = nullptr;
    WORD Msg = 0;
    DHANDLE hMessage = NULLHANDLE;
    char Originator[VQ_NAME_SIZE] = "";
    WORD RecipientCount = 0;

    void Open()
    {
        WORD count = 0, len = 0;
        ASSERT_EQ(MailOpenMessageFile("vortiq.box", &hFile), 0);
        ASSERT_EQ(MailCreateMessageList(hFile, &hMessageList, &MessageList, &count), 0);
        ASSERT_GE(count, 1);
        Msg = (WORD)(count - 1);
        ASSERT_EQ(MailOpenMessage(MessageList, Msg, &hMessage), 0);
        ASSERT_EQ(MailGetMessageOriginator(MessageList, Msg, Originator, sizeof Originator, &len), 0);
        MailGetMessageInfo(MessageList, Msg, &RecipientCount, nullptr, nullptr);
    }
    /* One call of the job writer with a fresh error file list. */
    JobRun Write(int errorFlag, const char *originator = nullptr, int extraRecipients = 0)
    {
        JobRun run;
        DHANDLE hList = NULLHANDLE;
        LIST *list = nullptr;
        WORD size = 0;
        EXPECT_EQ(ListAllocate(0, 0, TRUE, &hList, &list, &size), 0);
        OSUnlockObject(hList);
        run.status = CreateForeignMessage(hMessage, originator ? originator : Originator,
                                          MessageList, Msg,
                                          (WORD)(RecipientCount + extraRecipients), hList, list,
                                          &size, errorFlag);
        list = (LIST *)OSLockObject(hList);
        for (WORD i = 0; i < ListGetNumEntries(list, TRUE); i++) {
            char *text = nullptr;
            WORD len = 0;
            EXPECT_EQ(ListGetText(list, TRUE, i, &text, &len), 0);
            run.errorFiles.emplace_back(text, len);
        }
        OSUnlockObject(hList);
        OSMemFree(hList);
        return run;
    }
    void Close()
    {
        if (hMessage)
            MailCloseMessage(hMessage);
        if (hMessageList) {
            OSUnlockObject(hMessageList);
            OSMemFree(hMessageList);
        }
        if (hFile)
            MailCloseMessageFile(hFile);
        hMessage = hMessageList = hFile = NULLHANDLE;
    }
};

class JobWriterTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        vqtest::PlatformTest::SetUp();
        const char *tz = std::getenv("TZ");
        hadTz_ = tz != nullptr;
        oldTz_ = tz ? tz : "";
        setenv("TZ", "UTC", 1);
        tzset();
        vqtest::SetClock(kNow);
        PortFaultArm(0, 0, 0);
        vqtest::CreateMailFile("mail.box", "Mail Router");
        vqtest::CreateNamesDb();
        vqtest::AddForeignDomain("FAXGATE", "vortiq.box");
        from_ = vqtest::AddPerson("John Smith", "jsmith", "jsmith.nsf");
        root_ = spool_.path() + "/TMBFAX";
        for (const char *d : {"/FAX/OUT", "/FAX/OPARCEL", "/FAX/ERROR"})
            vqtest::MakeDirs(root_ + d);
        VqCopy(GatewayPath, sizeof GatewayPath, root_.c_str());
        GatewayDrive[0] = '\0';
        VqCopy(GatewayDomain, sizeof GatewayDomain, "FAXGATE");
    }
    void TearDown() override
    {
        PortFaultArm(0, 0, 0);
        vqtest::UseRealClock();
        if (hadTz_)
            setenv("TZ", oldTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
        vqtest::PlatformTest::TearDown();
    }

    /* The memo of the John Smith example. */
    vqtest::Memo Memo() const
    {
        vqtest::Memo m;
        m.from = from_;
        m.sendTo = {"Jane Roe@555.0100@FAXGATE"};
        m.subject = "Report";
        m.body = kBody;
        m.attachments = {{"report.doc", "DOC bytes"}};
        return m;
    }
    /* Routes memo to the gateway and writes its job once. */
    JobRun Job(const vqtest::Memo &memo, int errorFlag = 0, const char *originator = nullptr,
               int extraRecipients = 0)
    {
        EXPECT_EQ(vqtest::SendMemo(memo), 0);
        GatewayMessage m;
        m.Open();
        JobRun run = m.Write(errorFlag, originator, extraRecipients);
        m.Close();
        return run;
    }
    std::string Dir(const char *suffix) const { return root_ + suffix; }
    std::vector<std::string> Out() const { return vqtest::ListDir(Dir("/FAX/OUT")); }
    std::vector<std::string> Parcel() const { return vqtest::ListDir(Dir("/FAX/OPARCEL")); }
    std::vector<std::string> Error() const { return vqtest::ListDir(Dir("/FAX/ERROR")); }
    /* The one finished job in FAX/OUT; nothing else may be there. */
    std::string FinishedJob() const
    {
        std::vector<std::string> out = Out();
        EXPECT_EQ(out, std::vector<std::string>{"00000000"});
        return out.empty() ? "" : vqtest::ReadFile(Dir("/FAX/OUT/") + out[0]);
    }
    void ClearSpool() const
    {
        for (const char *d : {"/FAX/OUT", "/FAX/OPARCEL", "/FAX/ERROR"})
            for (const std::string &f : vqtest::ListDir(Dir(d)))
                std::filesystem::remove(Dir(d) + "/" + f);
    }
    bool Logged(WORD id, const std::string &argSuffix = "") const
    {
        for (const vqtest::LogEntry &e : vqtest::LogEntries())
            if (e.id == id && e.arg.size() >= argSuffix.size() &&
                e.arg.compare(e.arg.size() - argSuffix.size(), argSuffix.size(), argSuffix) == 0)
                return true;
        return false;
    }

    vqtest::TempDir spool_;
    std::string root_;
    std::string from_;
    bool hadTz_ = false;
    std::string oldTz_;
};

void ExpectGolden(const std::string &name, const std::string &got)
{
    const std::string path = std::string(VQ_SOURCE_DIR) + "/tests/outbound/golden/" + name;
    if (std::getenv("VQ_UPDATE_GOLDEN") != nullptr)
        vqtest::WriteFile(path, got);
    ASSERT_TRUE(vqtest::FileExists(path)) << path;
    EXPECT_EQ(got, vqtest::ReadFile(path)) << "golden file " << name;
}

const std::string kOptions =
    "[Fax Options] 1.0\r\n"
    "Resolution = Low\r\n"
    "Delivery notification = No\r\n"
    "Cost code = 12 34\r\n"
    "Send cover page=No\r\n"
    "Cover page message = Please call back.\r\n"
    "Sender's name = J. Smith, Sales\r\n"
    "Company name = Acme Inc.\r\n"
    "Phone number = 555 0100\r\n"
    "Fax number = 555 0199\r\n";

const std::string kExtendedFields =
    "Send-to: - @ fax { 5551234, Jane }\n"
    "Send-to: - @ fax| { 5559876 | Bob }\r\n"
    "Send-to: 5550000\n"
    "From-name: Fax Desk\n"
    "Subject: Quarterly figures\n"
    "X-Account: 42\r\n"
    "\n"
    "Last line without end";

TEST_F(JobWriterTest, GoldenJobFiles)
{
    struct Case {
        const char *name;
        const char *golden;
        std::function<void(vqtest::Memo &)> edit;
        const char *originator;
    } cases[] = {
        {"John Smith example", "john_smith.job", [](vqtest::Memo &) {}, nullptr},
        {"no attachments", "no_attachments.job", [](vqtest::Memo &m) { m.attachments.clear(); },
         nullptr},
        {"two attachments", "two_attachments.job",
         [](vqtest::Memo &m) { m.attachments.push_back({"chart.tif", "TIF bytes"}); }, nullptr},
        {"options file first, cover message, copy-to", "options_file.job",
         [](vqtest::Memo &m) {
             m.attachments.insert(m.attachments.begin(), {"FAXSVR.FOF", kOptions});
             m.copyTo = {"Ann Lee@555.0200@FAXGATE"};
             m.textItems = {{"ReturnStatus", "no"}};
         },
         nullptr},
        {"options file without its header is faxed", "options_not_header.job",
         [](vqtest::Memo &m) {
             m.attachments.insert(m.attachments.begin(), {"faxsvr.fof", "Resolution = Low\n"});
         },
         nullptr},
        {"options file not first is faxed", "options_not_first.job",
         [](vqtest::Memo &m) { m.attachments.push_back({"faxsvr.fof", kOptions}); }, nullptr},
        {"extended fields", "extended_fields.job",
         [](vqtest::Memo &m) {
             m.sendTo.push_back(kMarker + "@FAXGATE");
             m.attachments.insert(m.attachments.begin(), {kMarker + ".TXT", kExtendedFields});
         },
         nullptr},
        {"marker attachment without marker recipient is faxed", "marker_attachment.job",
         [](vqtest::Memo &m) { m.attachments = {{kMarker + ".TXT", "Subject: x\n"}}; }, nullptr},
        {"only the marker recipient and no file", "marker_only.job",
         [](vqtest::Memo &m) {
             m.sendTo = {kMarker + "@FAXGATE"};
             m.attachments.clear();
         },
         nullptr},
        {"FaxTime 60 seconds ahead", "faxtime_none.job",
         [](vqtest::Memo &m) { m.timeItems = {{"FaxTime", 60}}; }, nullptr},
        {"FaxTime in the past", "faxtime_none.job",
         [](vqtest::Memo &m) { m.timeItems = {{"FaxTime", -3600}}; }, nullptr},
        {"FaxTime 61 seconds ahead", "faxtime_61s.job",
         [](vqtest::Memo &m) { m.timeItems = {{"FaxTime", 61}}; }, nullptr},
        {"FaxTime 25 hours ahead", "faxtime_25h.job",
         [](vqtest::Memo &m) { m.timeItems = {{"FaxTime", 25 * 3600}}; }, nullptr},
        {"FaxRes high, ReturnStatus NO, CoverPage", "faxres_high_return_no.job",
         [](vqtest::Memo &m) {
             m.textItems = {{"FaxRes", "high"}, {"ReturnStatus", "NO"}, {"CoverPage", "Standard"}};
         },
         nullptr},
        {"FaxRes other, ReturnStatus Yes", "faxres_other_return_yes.job",
         [](vqtest::Memo &m) { m.textItems = {{"FaxRes", "Fine"}, {"ReturnStatus", "Yes"}}; },
         nullptr},
        {"hierarchical originator with domain", "ou_originator.job", [](vqtest::Memo &) {},
         "CN=Jane Doe/OU=Sales/O=Acme@Remote"},
        {"flat originator", "flat_originator.job", [](vqtest::Memo &) {}, "Jane Doe"},
        {"sender domain cut at 32", "long_sender_domain.job", [](vqtest::Memo &) {},
         "CN=Jane Doe/OU=Research and Development/O=Acme Corporation@Remote"},
        {"include names y", "include_names_off.job",
         [](vqtest::Memo &m) {
             m.copyTo = {"Ann Lee@555.0200@FAXGATE"};
             m.attachments = {{"faxsvr.fof", "[Fax Options]\nInclude all names on cover page = y\n"}};
         },
         nullptr},
        {"include names N", "include_names_off.job",
         [](vqtest::Memo &m) {
             m.copyTo = {"Ann Lee@555.0200@FAXGATE"};
             m.attachments = {{"faxsvr.fof", "[Fax Options]\nInclude all names on cover page = N\n"}};
         },
         nullptr},
        {"line ends in values are blanks", "line_ends_in_values.job",
         [](vqtest::Memo &m) {
             m.subject = "Report\r\nSend-to: - @ FAX {999 }";
             m.attachments = {{"faxsvr.fof", "[Fax Options]\nCompany name = Ac\rme\n"},
                              {"a\nb.doc", "x"}};
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
        JobRun run = Job(memo, 0, c.originator);
        EXPECT_EQ(run.status, 0);
        ExpectGolden(c.golden, FinishedJob());
        /* the work files are gone; only listed attachments stay */
        ASSERT_FALSE(run.errorFiles.empty());
        EXPECT_EQ(run.errorFiles[0], Dir("/FAX/OUT/00000000.INC"));
        std::vector<std::string> parcel;
        for (size_t i = 1; i < run.errorFiles.size(); i++)
            parcel.push_back(run.errorFiles[i].substr(Dir("/FAX/OPARCEL/").size()));
        EXPECT_EQ(Parcel(), parcel);
        EXPECT_TRUE(Error().empty());
        EXPECT_FALSE(Logged(VQM_DS0));
    }
}

TEST_F(JobWriterTest, AttachmentFilesHoldTheAttachments)
{
    vqtest::Memo memo = Memo();
    memo.attachments.push_back({"chart.tif", std::string("TIF\0\r\n\x1A bytes", 13)});
    JobRun run = Job(memo);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.errorFiles,
              (std::vector<std::string>{Dir("/FAX/OUT/00000000.INC"), Dir("/FAX/OPARCEL/00000000"),
                                        Dir("/FAX/OPARCEL/00000001")}));
    EXPECT_EQ(vqtest::ReadFile(Dir("/FAX/OPARCEL/00000000")), "DOC bytes");
    EXPECT_EQ(vqtest::ReadFile(Dir("/FAX/OPARCEL/00000001")), memo.attachments[1].second);
    /* the recipient is logged and shown */
    EXPECT_TRUE(Logged(VQM_OUT_RECIPIENT_IS, "- @ FAX {Jane Roe,555D0100 , S, cover:}"));
}

TEST_F(JobWriterTest, UnreadableRecipientEndsGatheringButNotTheJob)
{
    /* one recipient more than the message has: reading it fails */
    JobRun run = Job(Memo(), 0, nullptr, 1);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Logged(VQM_API_CALL_ERROR, "MailGetMessageRecipient"));
    ExpectGolden("john_smith.job", FinishedJob());
}

TEST_F(JobWriterTest, MissingJobDirectory)
{
    std::filesystem::remove_all(Dir("/FAX/OUT"));
    JobRun run = Job(Memo());
    EXPECT_EQ(run.status, VQM_NO_RECIPIENT_FILE);
    EXPECT_TRUE(Logged(VQM_NO_RECIPIENT_FILE, "/FAX/OUT/00000000.INC"));
    EXPECT_FALSE(Logged(VQM_DS0));
    EXPECT_TRUE(run.errorFiles.empty());
    EXPECT_TRUE(Parcel().empty());
    EXPECT_FALSE(vqtest::FileExists(Dir("/FAX/OUT")));
}

/* Counts the durable operations of one successful job, for arming a
 * fault at a chosen one. */
long CountOperations(GatewayMessage &m)
{
    PortFaultArm(0, 0, 0);
    JobRun run = m.Write(0);
    EXPECT_EQ(run.status, 0);
    return PortFaultCount();
}

TEST_F(JobWriterTest, FailedRenameLeavesNothingForTheFaxServer)
{
    vqtest::Memo memo = Memo();
    memo.attachments.push_back({"chart.tif", "TIF"});
    ASSERT_EQ(vqtest::SendMemo(memo), 0);
    GatewayMessage m;
    m.Open();
    /* the rename is the last durable operation of a job */
    long total = CountOperations(m);
    ClearSpool();
    vqtest::ClearLog();
    PortFaultArm(2, total, EIO);
    JobRun run = m.Write(0);
    PortFaultArm(0, 0, 0);
    EXPECT_EQ(run.status, VQM_NO_RECIPIENT_FILE);
    EXPECT_TRUE(Logged(VQM_NO_RECIPIENT_FILE, "/FAX/OUT/00000000"));
    EXPECT_TRUE(Out().empty());
    EXPECT_TRUE(Parcel().empty());

    /* the error copy then keeps everything in FAX/ERROR, job file first */
    vqtest::ClearLog();
    JobRun copy = m.Write(1);
    m.Close();
    EXPECT_EQ(copy.status, 0);
    EXPECT_EQ(copy.errorFiles,
              (std::vector<std::string>{Dir("/FAX/ERROR/00000000.ENV"), Dir("/FAX/ERROR/00000000"),
                                        Dir("/FAX/ERROR/00000001")}));
    EXPECT_EQ(Error(), (std::vector<std::string>{"00000000", "00000000.ENV", "00000001"}));
    EXPECT_EQ(vqtest::ReadFile(Dir("/FAX/ERROR/00000001")), "TIF");
    ExpectGolden("two_attachments_error_copy.env", vqtest::ReadFile(Dir("/FAX/ERROR/00000000.ENV")));
    EXPECT_TRUE(Out().empty());
    EXPECT_TRUE(Parcel().empty());
}

/* The job file is fsynced (and the failure checked) right before the
 * rename, its last durable operation but one. */
TEST_F(JobWriterTest, FailedFsyncOfTheJobFileFailsTheJob)
{
    ASSERT_EQ(vqtest::SendMemo(Memo()), 0);
    GatewayMessage m;
    m.Open();
    long total = CountOperations(m);
    ClearSpool();
    vqtest::ClearLog();
    PortFaultArm(2, total - 1, EIO);
    JobRun run = m.Write(0);
    PortFaultArm(0, 0, 0);
    m.Close();
    EXPECT_EQ(run.status, VQM_WRITER_TEXT);
    EXPECT_TRUE(Logged(VQM_DS0, "Create Fax Message"));
    EXPECT_TRUE(Out().empty());
    EXPECT_TRUE(Parcel().empty());
}

/* Every durable operation of a job with three attachments fails once in
 * turn: a job either stands complete in the spool or leaves nothing in
 * FAX/OUT and FAX/OPARCEL. */
TEST_F(JobWriterTest, InjectedFaultsLeaveCompleteJobsOrNothing)
{
    vqtest::Memo memo = Memo();
    memo.attachments.push_back({"chart.tif", "TIF"});
    memo.attachments.push_back({"notes.txt", "line\n"});
    ASSERT_EQ(vqtest::SendMemo(memo), 0);
    GatewayMessage m;
    m.Open();
    long total = CountOperations(m);
    ClearSpool();
    ASSERT_GT(total, 10);
    bool thirdAttachmentFailed = false;
    for (long n = 1; n <= total; n++) {
        SCOPED_TRACE("failing operation " + std::to_string(n));
        vqtest::ClearLog();
        PortFaultArm(2, n, n % 2 ? EIO : ENOSPC);
        JobRun run = m.Write(0);
        PortFaultArm(0, 0, 0);
        if (run.status != 0) {
            EXPECT_TRUE(Out().empty());
            EXPECT_TRUE(Parcel().empty());
            /* the extraction's own status is returned, 13088 is logged */
            if (Logged(VQM_ATTACHMENT_FILE, "/FAX/OPARCEL/00000002"))
                thirdAttachmentFailed = true;
        } else {
            /* a fault the job does not depend on (deleting a work file) */
            std::vector<std::string> out = Out();
            ASSERT_FALSE(out.empty());
            EXPECT_EQ(out[0], "00000000");
            EXPECT_EQ(Parcel(), (std::vector<std::string>{"00000000", "00000001", "00000002"}));
        }
        ClearSpool();
    }
    m.Close();
    EXPECT_TRUE(thirdAttachmentFailed);
}

/* In error mode nothing is deleted: what was written before a failure
 * stays in FAX/ERROR and the list names it. */
TEST_F(JobWriterTest, ErrorModeKeepsWhatWasWritten)
{
    vqtest::Memo memo = Memo();
    memo.attachments.push_back({"chart.tif", "TIF"});
    memo.attachments.push_back({"notes.txt", "line\n"});
    ASSERT_EQ(vqtest::SendMemo(memo), 0);
    GatewayMessage m;
    m.Open();
    bool found = false;
    for (long n = 1; n < 200 && !found; n++) {
        vqtest::ClearLog();
        PortFaultArm(2, n, EIO);
        JobRun run = m.Write(1);
        PortFaultArm(0, 0, 0);
        if (run.status != 0 && Logged(VQM_ATTACHMENT_FILE, "/FAX/ERROR/00000002")) {
            found = true;
            EXPECT_EQ(run.errorFiles,
                      (std::vector<std::string>{Dir("/FAX/ERROR/00000000.ENV"),
                                                Dir("/FAX/ERROR/00000000"),
                                                Dir("/FAX/ERROR/00000001")}));
            EXPECT_EQ(Error(), (std::vector<std::string>{"00000000", "00000000.ENV", "00000001"}));
            EXPECT_TRUE(Logged(VQM_DS0, "Create Fax Message"));
        }
        ClearSpool();
        if (run.status == 0)
            break;
    }
    m.Close();
    EXPECT_TRUE(found);
}

TEST_F(JobWriterTest, LongRecipientLongCostCodeManyAttachments)
{
    const std::string code(2000, '7');
    vqtest::Memo memo = Memo();
    memo.sendTo = {std::string(300, 'r') + "@555@FAXGATE"};
    memo.attachments = {{"faxsvr.fof", "[Fax Options]\nCost code = " + code + "\n"}};
    for (int i = 0; i < 200; i++)
        memo.attachments.push_back({"page" + std::to_string(i) + ".txt", std::to_string(i)});
    JobRun run = Job(memo);
    ASSERT_EQ(run.status, 0);
    const std::string job = FinishedJob();
    /* the option text reaches the fax address whole */
    EXPECT_NE(job.find(", S, cover:, #" + code + "}"), std::string::npos);
    /* every attachment is listed, none lost */
    EXPECT_EQ(run.errorFiles.size(), 201u);
    EXPECT_EQ(Parcel().size(), 200u);
    const size_t line = job.find("\nAttachment: ");
    const size_t end = job.find('\n', line + 1);
    ASSERT_NE(line, std::string::npos);
    const std::string attachments = job.substr(line, end - line);
    EXPECT_EQ(attachments.substr(attachments.size() - 10), ", 00000199");
    EXPECT_NE(job.find("page199.txt\n"), std::string::npos);
}

}  // namespace
