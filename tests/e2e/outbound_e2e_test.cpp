/*
 * outbound_e2e_test.cpp - mail to fax with the real programs: a data
 * directory made by scripts/setup-data.sh, the gateway running as its own
 * process, a memo sent with notesctl, and the fax job that appears in the
 * spool, the mail gone from the gateway mail file and the sender's
 * delivery report.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

const std::string kBin = VQ_BIN_DIR;
const std::string kSource = VQ_SOURCE_DIR;

/* Runs a program to its end with output to LogFile; its exit code. */
int RunProgram(const std::vector<std::string> &argv, const std::string &logFile)
{
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* The gateway as a background process, ended with SIGTERM whatever
 * happens to the test. */
class Gateway {
public:
    Gateway(const std::string &iniPath, const std::string &logFile)
    {
        pid_ = fork();
        if (pid_ == 0) {
            int fd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::string prog = kBin + "/vortiq";
            std::string arg = "=" + iniPath;
            execl(prog.c_str(), prog.c_str(), arg.c_str(), (char *)nullptr);
            _exit(127);
        }
    }
    ~Gateway() { Stop(); }
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;
    bool Running()
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }
    void Stop()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        for (int i = 0; i < 100; i++) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
};

/* Documents of a database, or none while it cannot be read (the gateway
 * may be writing it). */
std::vector<NOTEID> IdsOrNone(const std::string &db, bool *ok)
{
    try {
        auto ids = vqtest::DocumentIds(db);
        *ok = true;
        return ids;
    } catch (const std::exception &) {
        *ok = false;
        return {};
    }
}

int DeliveryReports(const std::string &db, bool *ok)
{
    int n = 0;
    for (NOTEID id : IdsOrNone(db, ok)) {
        try {
            if (vqtest::ItemText(db, id, "Form") == "Delivery Report")
                n++;
        } catch (const std::exception &) {
            *ok = false;
        }
    }
    return n;
}

TEST(OutboundEndToEnd, MemoToFaxBecomesASpooledJobAndADeliveryReport)
{
    vqtest::TempDir tmp;
    const std::string data = tmp / "data";
    const std::string log = tmp / "programs.log";
    const std::string setup = kSource + "/scripts/setup-data.sh";
    ASSERT_TRUE(FileExists(setup)) << setup;
    ASSERT_TRUE(FileExists(kBin + "/vortiq"));
    ASSERT_TRUE(FileExists(kBin + "/notesctl"));

    ASSERT_EQ(RunProgram({"/bin/sh", setup, kBin, data}, log), 0) << ReadFile(log);
    const std::string out = data + "/spool/TMBFAX/FAX/OUT";
    const std::string parcel = data + "/spool/TMBFAX/FAX/OPARCEL";
    ASSERT_TRUE(FileExists(out)) << ReadFile(log);
    ASSERT_TRUE(FileExists(parcel));

    const std::string attachment = tmp / "price-list.txt";
    const std::string attachmentBytes = "Widgets 12.50\r\nGadgets 3.75\r\n";
    vqtest::WriteFile(attachment, attachmentBytes);

    Gateway gateway(data + "/notes.ini", log);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(gateway.Running()) << ReadFile(log);

    ASSERT_EQ(RunProgram({kBin + "/notesctl", "-d", data, "send", "--from", "Jane Roe", "--to",
                   "Jane Roe@555.0100@FAXGATE", "--subject", "Hello", "--body", "Hi", "--attach",
                   attachment},
                  log),
              0)
        << ReadFile(log);

    /* in-process reads of the same data directory, as notesctl does */
    vqtest::SetDataDirectory(data);
    vqtest::SetLogEcho(false);

    std::vector<std::string> jobs;
    bool boxEmpty = false;
    int reports = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        jobs.clear();
        for (const auto &n : ListDir(out))
            if (n.find('.') == std::string::npos)
                jobs.push_back(n);
        bool ok1 = false, ok2 = false;
        boxEmpty = IdsOrNone("vortiq.box", &ok1).empty() && ok1;
        reports = DeliveryReports("mail/jroe.nsf", &ok2);
        if (!jobs.empty() && boxEmpty && reports >= 1 && ok2)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    bool wasRunning = gateway.Running();
    gateway.Stop();

    EXPECT_TRUE(wasRunning) << "the gateway ended on its own:\n" << ReadFile(log);
    ASSERT_EQ(jobs.size(), 1u) << ReadFile(log);
    std::string job = ReadFile(out + "/" + jobs[0]);
    ASSERT_FALSE(job.empty());
    EXPECT_EQ(job[0], '\x03');
    size_t sendTo = job.find("\nSend-to: ");
    ASSERT_NE(sendTo, std::string::npos) << job;
    std::string sendToLine = job.substr(sendTo + 1, job.find('\n', sendTo + 1) - sendTo - 1);
    EXPECT_NE(sendToLine.find("Jane Roe"), std::string::npos) << sendToLine;
    EXPECT_NE(sendToLine.find("555"), std::string::npos) << sendToLine;
    EXPECT_NE(sendToLine.find("0100"), std::string::npos) << sendToLine;
    EXPECT_NE(job.find("\nSubject: Hello"), std::string::npos) << job;
    EXPECT_NE(job.find("\nAttachment-name: price-list.txt"), std::string::npos) << job;

    /* the job names its attachment file, which holds the attached bytes */
    size_t at = job.find("\nAttachment: ");
    ASSERT_NE(at, std::string::npos) << job;
    size_t from = at + std::string("\nAttachment: ").size();
    std::string parcelName = job.substr(from, job.find('\n', from) - from);
    std::string parcelPath = parcelName.find('/') == std::string::npos
                                 ? parcel + "/" + parcelName
                                 : parcelName;
    ASSERT_TRUE(FileExists(parcelPath)) << parcelName;
    EXPECT_EQ(ReadFile(parcelPath), attachmentBytes);
    for (const auto &n : ListDir(out))
        EXPECT_EQ(n.find('.'), std::string::npos) << "working file left behind: " << n;

    EXPECT_TRUE(boxEmpty) << "the mail stays in vortiq.box";
    EXPECT_EQ(reports, 1) << "delivery reports in the sender's mail file";
}

}  // namespace
