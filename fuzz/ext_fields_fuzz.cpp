/*
 * ext_fields_fuzz.cpp - extended-fields files, which a sending client
 * attaches to a fax mail together with the extended-fields recipient. The
 * file is only read inside CreateForeignMessage, so each input becomes
 * such an attachment of a memo that is routed into the gateway mail file,
 * and the job writer writes its job from it, as the outbound pass would.
 *
 * Checked: the job is written (status 0) whatever the file holds, FAX/OUT
 * then holds exactly that one job under a name without extension and
 * beginning with the signature byte, the extended-fields file is gone
 * from FAX/OPARCEL, nothing but the recipient lines was logged, and no
 * handle is left open. The message is then purged as the pass does, and
 * the databases are made anew now and then.
 */
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "outbound.h"

using vqfuzz::ListDir;
using vqfuzz::Require;

namespace {

const int kRunsPerDatabase = 200;
std::string g_dir;
std::string g_root;
std::string g_from;
int g_runs = 0;

void ClearSpool()
{
    for (const char *d : {"/FAX/OUT", "/FAX/OPARCEL", "/FAX/ERROR"})
        for (const std::string &f : ListDir(g_root + d))
            std::filesystem::remove(g_root + d + "/" + f);
}

/* Directory, router mail box and gateway mail file, from nothing. */
void FreshServer()
{
    for (const char *db : {"mail.box", "vortiq.box", "names.nsf", "jsmith.nsf"}) {
        std::error_code ec;
        std::filesystem::remove(g_dir + "/" + db, ec);
    }
    vqop::CreateMailFile("mail.box", "Mail Router");
    vqop::CreateMailFile("vortiq.box", "VORTIQ Fax Gateway");
    vqop::AddForeignDomain("FAXGATE", "vortiq.box");
    g_from = vqop::AddPerson({"John Smith", "jsmith", "jsmith.nsf"});
}

/* The job of the last message in the gateway mail file; the message is
 * purged afterwards as the outbound pass would purge it. */
STATUS WriteJob()
{
    DBHANDLE hFile = NULLHANDLE;
    DHANDLE hMessageList = NULLHANDLE;
    DARRAY *MessageList = nullptr;
    DHANDLE hMessage = NULLHANDLE;
    WORD Count = 0, RecipientCount = 0, Length = 0;
    char Originator[VQ_NAME_SIZE] = "";
    DHANDLE hErrorList = NULLHANDLE;
    LIST *ErrorList = nullptr;
    WORD ErrorListSize = 0;

    Require(MailOpenMessageFile("vortiq.box", &hFile) == NOERROR, "gateway mail file");
    Require(MailCreateMessageList(hFile, &hMessageList, &MessageList, &Count) == NOERROR &&
                Count >= 1,
            "message list");
    const WORD Msg = (WORD)(Count - 1);
    Require(MailOpenMessage(MessageList, Msg, &hMessage) == NOERROR, "message");
    MailGetMessageOriginator(MessageList, Msg, Originator, sizeof Originator, &Length);
    MailGetMessageInfo(MessageList, Msg, &RecipientCount, nullptr, nullptr);
    Require(ListAllocate(0, 0, TRUE, &hErrorList, &ErrorList, &ErrorListSize) == NOERROR,
            "error file list");
    OSUnlockObject(hErrorList);

    STATUS s = CreateForeignMessage(hMessage, Originator, MessageList, Msg, RecipientCount,
                                    hErrorList, ErrorList, &ErrorListSize, 0);

    OSMemFree(hErrorList);
    MailCloseMessage(hMessage);
    for (WORD r = 0; r < RecipientCount; r++)
        MailDeleteMessageRecipient(MessageList, Msg, r);
    MailPurgeMessage(MessageList, Msg);
    MailFreeMessageList(hMessageList, MessageList);
    MailCloseMessageFile(hFile);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "ext_fields_fuzz";
    g_dir = vqfuzz::MakeScratch("ext");
    vqfuzz::UseDataDirectory(g_dir);
    g_root = vqfuzz::UseSpool(g_dir, {"/FAX/OUT", "/FAX/OPARCEL", "/FAX/ERROR"});
    GatewayDrive[0] = '\0';
    VqCopy(GatewayDomain, sizeof GatewayDomain, "FAXGATE");
    FreshServer();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (++g_runs % kRunsPerDatabase == 0)
        FreshServer();
    const std::string Marker = TambriDllExtSig;
    vqop::Memo Memo;
    Memo.from = g_from;
    Memo.sendTo = {"Jane Roe@555.0100@FAXGATE", Marker + "@FAXGATE"};
    Memo.subject = "Report";
    Memo.body = "Dear Jane,\nthe figures.";
    Memo.attachments = {{Marker + ".TXT", std::string(reinterpret_cast<const char *>(Data), Size)}};
    Require(vqop::TrySendMemo(Memo) == NOERROR, "memo not routed");

    const vqfuzz::HandleCheck Handles;
    vqtest::ClearLog();

    STATUS s = WriteJob();

    Require(s == NOERROR, "the job was not written");
    for (const auto &e : vqtest::LogEntries())
        Require(e.id == VQM_OUT_RECIPIENT_IS, "the writer logged a failure");
    const std::vector<std::string> Out = ListDir(g_root + "/FAX/OUT");
    Require(Out.size() == 1 && Out[0].find('.') == std::string::npos,
            "FAX/OUT does not hold exactly one finished job");
    {
        std::ifstream Job(g_root + "/FAX/OUT/" + Out[0], std::ios::binary);
        Require(Job.get() == 3, "job file without its signature byte");
    }
    Require(ListDir(g_root + "/FAX/OPARCEL").empty(), "the extended-fields file was left");
    Handles.Check();
    ClearSpool();
    vqtest::ClearLog();
    vqtest::ClearStatus();
    return 0;
}
