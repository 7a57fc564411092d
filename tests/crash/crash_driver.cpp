/*
 * crash_driver.cpp - one step of a gateway road in a process of its own,
 * for the crash and fault sweeps (armed by VORTIQ_FAULT, VORTIQ_FAULT_LOG):
 *   vq_crash_driver setup-outbound|setup-inbound|setup-activity DIR
 *   vq_crash_driver outbound|inbound|activity DIR
 * DIR holds only relative references, so a prepared one can be copied.
 * Exit codes: 0 the step ran (the stop flag is printed), 2 usage, 3 set-up
 * failed, 4 the pass left a handle open or misused one, 86 the crash.
 */
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "notesapi.h"
#include "test_support.h"
#include "vortiq.h"
#include "vq_operator.h"

namespace {

const int kExitSetup = 3;

const char kSpoolRoot[] = "/spool/TMBFAX";
const char kWorkDir[] = "/work";

/* Bytes that a text-mode copy or a cut at a zero byte would damage. */
std::string PatternBytes(char tag, size_t size)
{
    std::string s("\r\n\x1a\0", 4);
    for (size_t i = s.size(); i < size; ++i)
        s.push_back((char)((i * 31 + (size_t)tag) & 0xff));
    return s;
}

/* Fresh (or emptied) data directory with an empty notes.ini and the
 * spool tree the fax server would have made. */
void PrepareDataDirectory(const std::string &dir)
{
    vqop::CreateDataDirectory(dir);
    vqtest::SetDataDirectory(dir);
    vqtest::SetLogEcho(false);
    vqop::CreateSpool(dir);
    vqop::MakeDirs(dir + kWorkDir);
    vqop::CreateMailFile("mail.box", "Mail Router");
}

/* Outbound: four mails routed into the gateway mail file (one, two and
 * three gateway recipients, attachments, a local copy recipient, fax
 * settings), a non-delivery report that the gateway forwards to the
 * administrator, and a mail the gateway holds. */
void SetupOutbound(const std::string &dir)
{
    PrepareDataDirectory(dir);
    vqop::AddPerson({"Fax Admin", "fadmin", "fadmin.nsf"});
    const std::string jane = vqop::AddPerson({"Jane Roe", "jroe", "jroe.nsf", "555-0100"});
    vqop::AddPerson({"John Doe", "jdoe", "jdoe.nsf"});
    vqop::AddForeignDomain("FAXGATE", "vortiq.box");

    vqop::Memo a;
    a.from = jane;
    a.sendTo = {"Ann Fax@555.0100@FAXGATE"};
    a.subject = "Crash A";
    a.body = "First line of A\nSecond line of A";
    a.attachments = {{"a.txt", PatternBytes('a', 3000)}};
    vqop::SendMemo(a);

    vqop::Memo b;
    b.from = jane;
    b.sendTo = {"Bob Fax@555.0199@FAXGATE", "Cy Fax|555.0200@FAXGATE"};
    b.subject = "Crash B";
    b.body = "Body of B";
    b.textItems = {{"FaxRes", "High"}, {"CoverPage", "Yes"}};
    vqop::SendMemo(b);

    vqop::Memo c;
    c.from = jane;
    c.sendTo = {"Dee Fax@555.0300@FAXGATE"};
    c.copyTo = {"John Doe", "Eve Fax@555.0301@FAXGATE", "Fay Fax@555.0302@FAXGATE"};
    c.subject = "Crash C";
    c.body = "C has\ntwo attachments";
    c.attachments = {{"b.bin", PatternBytes('b', 5000)}, {"c.txt", "plain text of c\r\n"}};
    c.textItems = {{"ReturnStatus", "No"}};
    vqop::SendMemo(c);

    vqop::Memo d;
    d.from = "John Doe";
    d.sendTo = {"Gus Fax@555.0400@FAXGATE"};
    d.subject = "Crash D";
    d.body = "D";
    vqop::SendMemo(d);

    /* a report about an earlier fax, as the router leaves it in the file */
    vqop::Memo e;
    e.form = "NonDelivery Report";
    e.from = "Mail Router";
    e.sendTo = {"VORTIQ@FAXGATE"};
    e.subject = "Crash E report";
    e.textItems = {{"IntendedRecipient", "Zed Fax@555.0500@FAXGATE"},
                   {"FailureReason", "Line busy"}};
    vqop::SendMemo(e);

    /* a mail no job can be made of: it is held */
    vqop::Memo poison = d;
    poison.subject = "Crash P";
    poison.textItems = {{"PostedDate", "yesterday"}};
    vqop::SendMemo(poison);
}

/* Inbound: six control files with their images. One named recipient,
 * two named recipients with a DID line (an activity entry), none (the
 * default recipient), an unknown name (the administrator as well), one
 * whose image name is refused (it ends in FAX/ERROR), and one to a
 * person without a mail file (the administrator gets the fax). */
void SetupInbound(const std::string &dir)
{
    PrepareDataDirectory(dir);
    vqop::AddPerson({"Fax Admin", "fadmin", "fadmin.nsf"});
    vqop::AddPerson({"Jane Roe", "jroe", "jroe.nsf", "555-0100"});
    vqop::AddPerson({"John Doe", "jdoe", "jdoe.nsf", "555-0101"});
    vqop::CreateActivityDb("TMB_ACT.NSF");
    vqop::AddPerson({"Gone Person", "gone", "gone.nsf"}); /* its mail file removed */
    std::remove((dir + "/gone.nsf").c_str());

    const std::string in = dir + kSpoolRoot + SPOOL_FAX_IN;
    const std::string iparcel = dir + kSpoolRoot + SPOOL_FAX_IPARCEL;
    struct Fax {
        const char *name, *header, *body;
    };
    const Fax faxes[] = {
        {"ST000001", "To: Jane Roe\r\nSubject: Inbound one\r\nAttachment: RX000001\r\n",
         "Receive Time: 03/05/26 09:07\r\nPages Received: 1\r\n"},
        {"ST000002",
         "To: John Doe @ ACME\r\nTo: Jane Roe\r\nSubject: Inbound two\r\nAttachment: RX000002\r\n",
         "Receive Time: 03/05/26 10:11\r\nTSI Received: 555 0199\r\nDID Received: 555-0101\r\n"
         "Pages Received: 3\r\nConnect Time: 00:42\r\n"},
        {"ST000003", "Subject: Inbound three\r\nAttachment: RX000003\r\n", "Pages Received: 2\r\n"},
        {"ST000004", "To: Nobody Known\r\nSubject: Inbound four\r\nAttachment: RX000004\r\n",
         "Pages Received: 1\r\n"},
        {"ST000005", "To: Jane Roe\r\nSubject: Inbound five\r\nAttachment: ../RX000005\r\n",
         "Pages Received: 1\r\n"},
        {"ST000006", "To: Gone Person\r\nTo: Jane Roe\r\nSubject: Inbound six\r\nAttachment: RX000006\r\n",
         "Pages Received: 1\r\n"},
    };
    char tag = '1';
    for (const Fax &f : faxes) {
        std::string image = f.name;
        image.replace(0, 2, "RX");
        vqop::WriteFile(iparcel + "/" + image, PatternBytes(tag++, 4000));
        vqop::WriteFile(in + "/" + f.name, std::string(f.header) + "\r\n" + f.body);
    }
}

/* Activity: a log of sent-fax lines (normal and final, one final line for
 * a job the database already holds, one line of another type) and a
 * queue file of three waiting jobs. */
std::string ActivityLine(const char *job, bool final, const char *to, const char *from,
                         const char *type = "TX")
{
    char line[160];
    VqFormat(line, sizeof line, "%s 03/05 09:%s %s%c01 %-20s %-11s 002 0000 OK   0:42 9\r\n", job,
             job + 2, type, final ? '*' : ' ', to, from);
    return line;
}

void PutWordLE(std::string *raw, size_t at, unsigned v)
{
    (*raw)[at] = (char)(v & 0xff);
    (*raw)[at + 1] = (char)((v >> 8) & 0xff);
}

void SetupActivity(const std::string &dir)
{
    PrepareDataDirectory(dir);
    vqop::AddPerson({"Fax Admin", "fadmin", "fadmin.nsf"});
    vqop::CreateActivityDb("TMB_ACT.NSF");
    vqop::AddDocument("TMB_ACT.NSF",
                      {{"FORM", "Job Entry"}, {"JobID", "0103"}, {"Type", "TX"},
                       {"To", "555-0103"}, {"Explanation", "Pending"}});

    const std::string data = dir + kSpoolRoot + "/UTIL/DATA";
    vqop::WriteFile(data + "/ACTIVITY.LOG",
                    ActivityLine("0101", false, "555-0101", "Jane Roe") +
                        ActivityLine("0102", false, "555-0102", "John Doe") +
                        ActivityLine("0109", false, "555-0109", "fax in", "RX") +
                        ActivityLine("0103", true, "555-0103", "Jane Roe") +
                        ActivityLine("0104", false, "555-0104", "Jane Roe") +
                        ActivityLine("0105", true, "555-0105", "John Doe") +
                        ActivityLine("0106", false, "555-0106", "Ann Other"));

    std::string queue = "TMB_FAX_LANQUEUE3.00";
    const unsigned ids[] = {201, 202, 203};
    for (unsigned id : ids) {
        std::string raw(384, '\0');
        PutWordLE(&raw, 0, id);
        raw[4] = 30;             /* minute */
        raw[5] = 14;             /* hour */
        raw[6] = 5;              /* day */
        raw[7] = 3;              /* month */
        PutWordLE(&raw, 10, id == 202 ? 2 : 0);
        PutWordLE(&raw, 14, 1);  /* attempts */
        std::string from = "Sender " + std::to_string(id);
        std::string tel = "555-0" + std::to_string(id);
        raw.replace(16, from.size(), from);
        raw.replace(274, tel.size(), tel);
        queue += raw;
    }
    vqop::WriteFile(dir + kSpoolRoot + SPOOL_SVCQ, queue);
}

/* The configuration the gateway task would have read at start-up. */
STATUS Configure(const std::string &dir)
{
    VqCopy(GatewayDomain, sizeof GatewayDomain, "FAXGATE");
    VqFormat(GatewayPath, sizeof GatewayPath, "%s%s", dir.c_str(), kSpoolRoot);
    PortDrivePart(GatewayPath, GatewayDrive, sizeof GatewayDrive);
    VqCopy(GatewayMsgfile, sizeof GatewayMsgfile, "vortiq.box");
    VqCopy(DefRecipient, sizeof DefRecipient, "Jane Roe");
    VqCopy(ActLogNsf, sizeof ActLogNsf, "TMB_ACT.NSF");
    VqCopy(szNameNsf, sizeof szNameNsf, "names.nsf");
    E_quit = 0;
    return MailLookupAddress("Fax Admin", FaxAdministrator);
}

/* Runs one pass of a road; the process's exit code. */
int RunPass(const std::string &road, const std::string &dir)
{
    std::string ini = "=" + dir + "/notes.ini";
    char *argv[] = {const_cast<char *>("vq_crash_driver"), &ini[0], nullptr};
    if (NotesInitExtended(2, argv) != NOERROR)
        return kExitSetup;
    vqtest::SetLogEcho(false);
    if (chdir((dir + kWorkDir).c_str()) != 0 || Configure(dir) != NOERROR)
        return kExitSetup;
    if (road == "outbound") {
        /* a restart: the journal, then the leftovers, as at start-up */
        if (OutboundRecoverHandOvers() == NOERROR)
            VqRemoveLeftovers();
        if (MailOpenMessageFile(GatewayMsgfile, &hMessageFile) != NOERROR)
            return kExitSetup;
        OutboundTask();
        MailCloseMessageFile(hMessageFile);
        hMessageFile = NULLHANDLE;
    } else if (road == "inbound") {
        DoInboundTask();
    } else {
        /* the inbound cycle's activity passes, in the loop's order */
        ImportActivity();
        DelActivity();
        AddPending();
    }
    std::printf("E_quit=%d\n", E_quit);
    const bool leak = vqtest::HandleCountAll() != 0 || vqtest::MisuseCount() != 0;
    if (leak)
        std::fprintf(stderr, "handles after the pass: %zu misused\n%s\n", vqtest::MisuseCount(),
                     vqtest::DescribeHandles().c_str());
    NotesTerm();
    return leak ? 4 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string command = argc == 3 ? argv[1] : "", dir = argc == 3 ? argv[2] : "";
    try {
        if (dir.empty() || dir[0] != '/')
            command.clear();
        else if (command == "setup-outbound")
            SetupOutbound(dir);
        else if (command == "setup-inbound")
            SetupInbound(dir);
        else if (command == "setup-activity")
            SetupActivity(dir);
        else if (command == "outbound" || command == "inbound" || command == "activity")
            return RunPass(command, dir);
        else
            command.clear();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s %s: %s\n", command.c_str(), dir.c_str(), e.what());
        return kExitSetup;
    }
    if (command.empty()) {
        std::fprintf(stderr, "usage: vq_crash_driver [setup-]outbound|inbound|activity /DIR\n");
        return 2;
    }
    if (vqtest::HandleCountAll() != 0) {
        std::fprintf(stderr, "set-up left handles open:\n%s\n", vqtest::DescribeHandles().c_str());
        return kExitSetup;
    }
    return 0;
}
