/*
 * inbound_e2e_test.cpp - fax to mail with the real programs: a data
 * directory made by scripts/setup-data.sh, the gateway running as its own
 * process from that directory, a received fax dropped into the spool as
 * the fax server leaves it, and the mail that reaches the named user with
 * the image attached, the spool emptied and the activity entry written.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "notes_fixture.h"
#include "notesapi.h"
#include "test_support.h"

namespace {

using vqtest::FileExists;
using vqtest::ListDir;
using vqtest::ReadFile;
using vqtest::WriteFile;

const std::string kBinDir = VQ_BIN_DIR;
const std::string kSourceDir = VQ_SOURCE_DIR;

/* Starts argv with its output appended to LogFile, in Dir when given. */
pid_t Spawn(const std::vector<std::string> &argv, const std::string &logFile,
            const std::string &dir = "")
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        if (!dir.empty() && chdir(dir.c_str()) != 0)
            _exit(126);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int RunToEnd(const std::vector<std::string> &argv, const std::string &logFile)
{
    int status = 0;
    pid_t pid = Spawn(argv, logFile);
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* The gateway process; SIGTERM whatever happens to the test. */
struct GatewayProcess {
    pid_t pid = -1;
    ~GatewayProcess() { Stop(); }
    bool Running()
    {
        int status = 0;
        if (pid <= 0)
            return false;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return false;
        }
        return true;
    }
    void Stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 100; i++) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

/* What the test looks for in one delivered mail. */
struct Delivered {
    std::string subject, body, attachmentName, attachment;
};

/* The mails of a mail file; false while the file cannot be read (the
 * gateway's router may be writing it). */
bool ReadMails(const std::string &db, const std::string &scratch, std::vector<Delivered> *out)
{
    out->clear();
    DBHANDLE hDb = NULLHANDLE;
    std::vector<NOTEID> ids;
    try {
        ids = vqtest::DocumentIds(db);
    } catch (const std::exception &) {
        return false;
    }
    if (NSFDbOpen(db.c_str(), &hDb) != NOERROR)
        return false;
    bool ok = true;
    for (NOTEID id : ids) {
        NOTEHANDLE hNote = NULLHANDLE;
        if (NSFNoteOpen(hDb, id, 0, &hNote) != NOERROR) {
            ok = false;
            break;
        }
        Delivered d;
        char buf[4096];
        WORD len = NSFItemGetText(hNote, "Subject", buf, sizeof buf);
        d.subject.assign(buf, len);
        len = NSFItemGetText(hNote, "Body", buf, sizeof buf);
        d.body.assign(buf, len);
        BLOCKID bh;
        char name[MAXPATH + 1];
        if (MailGetMessageAttachmentInfo(hNote, 0, &bh, name, nullptr, nullptr, nullptr, nullptr,
                                         nullptr)) {
            d.attachmentName = name;
            std::remove(scratch.c_str());
            if (MailExtractMessageAttachment(hNote, bh, scratch.c_str()) == NOERROR)
                d.attachment = ReadFile(scratch);
        }
        NSFNoteClose(hNote);
        out->push_back(d);
    }
    NSFDbClose(hDb);
    return ok;
}

/* "To" of the RX entries of the activity database. */
bool RxEntries(const std::string &db, std::vector<std::string> *to)
{
    to->clear();
    try {
        for (NOTEID id : vqtest::DocumentIds(db))
            if (vqtest::ItemText(db, id, "Type") == "RX")
                to->push_back(vqtest::ItemText(db, id, "To"));
    } catch (const std::exception &) {
        return false;
    }
    return true;
}

TEST(InboundEndToEnd, DroppedFaxReachesTheUserWithItsImage)
{
    vqtest::TempDir tmp;
    const std::string data = tmp / "data";
    const std::string log = tmp / "programs.log";
    const std::string setup = kSourceDir + "/scripts/setup-data.sh";
    ASSERT_TRUE(FileExists(setup)) << setup;
    ASSERT_TRUE(FileExists(kBinDir + "/vortiq"));
    ASSERT_TRUE(FileExists(kBinDir + "/notesctl"));
    ASSERT_EQ(RunToEnd({"/bin/sh", setup, kBinDir, data}, log), 0) << ReadFile(log);
    for (const char *key : {"AddInIdlePaceMs=50", "VortiqInterval=1"})
        ASSERT_EQ(RunToEnd({kBinDir + "/notesctl", "-d", data, "set-config", key}, log), 0)
            << ReadFile(log);

    const std::string in = data + "/spool/TMBFAX/FAX/IN";
    const std::string iparcel = data + "/spool/TMBFAX/FAX/IPARCEL";
    ASSERT_TRUE(FileExists(in)) << ReadFile(log);
    ASSERT_TRUE(FileExists(iparcel));

    /* the image first, then the control file under a working name,
     * renamed in when complete, as the fax server does */
    std::string image("II*\0\r\n\x1a\n", 8);
    for (int i = 0; i < 4096; ++i)
        image.push_back((char)(i * 31 + 7));
    WriteFile(iparcel + "/RX000001", image);
    WriteFile(in + "/RX.TMP",
              "To: Jane Roe\r\nSubject: Test fax\r\nAttachment: RX000001\r\n\r\n"
              "Receive Time: 03/05/26 09:07\r\nTSI Received: +1 555 0199\r\n"
              "Pages Received: 1\r\nDID Received: 555-0100\r\n");
    ASSERT_EQ(std::rename((in + "/RX.TMP").c_str(), (in + "/ST000001").c_str()), 0);

    GatewayProcess gateway;
    gateway.pid = Spawn({kBinDir + "/vortiq", "=" + data + "/notes.ini"}, log, data);
    ASSERT_GT(gateway.pid, 0);

    /* in-process reads of the same data directory, as notesctl does */
    vqtest::SetDataDirectory(data);
    vqtest::SetLogEcho(false);
    std::vector<Delivered> mails;
    std::vector<std::string> entries;
    bool spoolEmpty = false;
    const std::string scratch = tmp / "extracted";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline && gateway.Running()) {
        bool mailsOk = ReadMails("mail/jroe.nsf", scratch, &mails);
        bool entriesOk = RxEntries("TMB_ACT.NSF", &entries);
        spoolEmpty = ListDir(in).empty() && ListDir(iparcel).empty();
        if (mailsOk && entriesOk && !mails.empty() && !entries.empty() && spoolEmpty)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    const bool wasRunning = gateway.Running();
    gateway.Stop();

    EXPECT_TRUE(wasRunning) << "the gateway ended on its own:\n" << ReadFile(log);
    const Delivered *fax = nullptr;
    for (const auto &m : mails)
        if (m.subject == "Test fax")
            fax = &m;
    ASSERT_NE(fax, nullptr) << ReadFile(log) << ReadFile(data + "/server.log");
    EXPECT_EQ(fax->attachmentName, "RX.FAX");
    EXPECT_TRUE(fax->attachment == image) << "RX.FAX differs from the image";
    EXPECT_NE(fax->body.find("Receive Time:\t03/05/26 09:07"), std::string::npos) << fax->body;
    EXPECT_NE(fax->body.find("TSI Received:\t+1 555 0199"), std::string::npos) << fax->body;
    EXPECT_TRUE(spoolEmpty) << "control file or image left in the spool";
    EXPECT_TRUE(ListDir(data + "/spool/TMBFAX/FAX/ERROR").empty());
    ASSERT_FALSE(entries.empty()) << "no RX entry in TMB_ACT.NSF";
    for (const auto &to : entries)
        EXPECT_EQ(to, "Jane Roe");
    for (const auto &n : ListDir(data))
        EXPECT_EQ(n.find(".TMP"), std::string::npos) << "body file left behind: " << n;
}

}  // namespace
