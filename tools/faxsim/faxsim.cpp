/*
 * faxsim.cpp - the stand-in fax server: plays the fax server's side of the
 * spool tree ROOT/TMBFAX that it shares with the gateway.
 *
 *   faxsim init ROOT        create the tree
 *   faxsim queue ROOT       list waiting jobs in PUBLIC/SVCQ (under the lock)
 *   faxsim send ROOT        "transmit" every ready job: activity lines,
 *                           a copy under ROOT/sent/JOB/, return status,
 *                           the queue file rewritten without it
 *   faxsim receive ROOT     leave a received fax in FAX/IN + FAX/IPARCEL
 *   faxsim admin-log ROOT   leave an administrator log in FAX/IN
 *
 * Every file it hands to the gateway is written under a work name, synced
 * and renamed into place, so the gateway never reads half a file.
 */
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "faxsim_files.h"
#include "vq_port.h"

namespace fs = std::filesystem;
using namespace faxsim;

namespace {

struct UserError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UserError("cannot read " + path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

/* Writes bytes under a work name in the same folder, syncs, and renames
 * them to the final name (never replacing). */
void WriteAtomically(const std::string &path, const std::string &bytes)
{
    std::string work = path + ".faxsim-tmp";
    int fd = ::open(work.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        throw UserError("cannot create " + work + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            ::close(fd);
            ::unlink(work.c_str());
            throw UserError("cannot write " + work);
        }
        done += (size_t)n;
    }
    ::fsync(fd);
    ::close(fd);
    if (PortRename(work.c_str(), path.c_str()) != 0) {
        ::unlink(work.c_str());
        throw UserError("cannot rename into " + path + ": " + std::strerror(errno));
    }
}

std::string Spool(const std::string &root, const std::string &sub)
{
    return SpoolRoot(root) + "/" + sub;
}

void RequireTree(const std::string &root)
{
    if (!fs::is_directory(SpoolRoot(root)))
        throw UserError(SpoolRoot(root) + " does not exist (run: faxsim init " + root + ")");
}

std::tm LocalNow()
{
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

/* Ready jobs: names without extension in FAX/OUT, lowest first. */
std::vector<std::string> ReadyJobs(const std::string &root)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(Spool(root, "FAX/OUT"))) {
        std::string n = e.path().filename().string();
        if (e.is_regular_file() && n.find('.') == std::string::npos)
            names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

unsigned JobNumber(const std::string &name)
{
    return (unsigned)std::strtoul(name.c_str(), nullptr, 10);
}

std::string SenderName(const std::string &sender)
{
    /* "John Smith @ /O=Acme" -> "John Smith" */
    size_t at = sender.find(" @ ");
    std::string n = sender.substr(0, at);
    while (!n.empty() && n.back() == ' ')
        n.pop_back();
    return n;
}

/* Appends lines to a file, creating it when missing (the gateway takes
 * the activity log away by renaming it). */
void AppendLines(const std::string &path, const std::vector<std::string> &lines)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        throw UserError("cannot open " + path + ": " + std::strerror(errno));
    std::string all;
    for (const auto &l : lines)
        all += l + "\r\n";
    if (::write(fd, all.data(), all.size()) != (ssize_t)all.size()) {
        ::close(fd);
        throw UserError("cannot write " + path);
    }
    ::fsync(fd);
    ::close(fd);
}

/* A free control-file number: ST000001, ST000002, ... */
unsigned FreeControlNumber(const std::string &root)
{
    for (unsigned n = 1; n < 1000000; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "ST%06u", n);
        char image[16];
        std::snprintf(image, sizeof image, "RX%06u", n);
        if (!fs::exists(Spool(root, "FAX/IN/") + name) && !fs::exists(Spool(root, "FAX/IPARCEL/") + image))
            return n;
    }
    throw UserError("FAX/IN is full");
}

std::string Control(const std::vector<std::string> &header, const std::vector<std::string> &body)
{
    std::string text;
    for (const auto &h : header)
        text += h + "\r\n";
    text += "\r\n";
    for (const auto &b : body)
        text += b + "\r\n";
    return text;
}

std::string WriteControl(const std::string &root, unsigned n, const std::string &text)
{
    char name[16];
    std::snprintf(name, sizeof name, "ST%06u", n);
    WriteAtomically(Spool(root, "FAX/IN/") + name, text);
    return name;
}

std::string ReceiveTimeText(const std::tm &tm)
{
    /* characters 1-5 the date, 10-14 the time */
    char buf[32];
    std::strftime(buf, sizeof buf, "%m/%d/%y %H:%M", &tm);
    return buf;
}

// ---- commands ----

void CmdInit(const std::string &root)
{
    for (int i = 0; kSpoolFolders[i]; ++i)
        fs::create_directories(Spool(root, kSpoolFolders[i]));
    std::cout << "spool tree ready: " << SpoolRoot(root) << "\n";
}

/* Rewrites PUBLIC/SVCQ with one record per ready job, under the lock the
 * gateway's exclusive open takes, so the gateway never reads it half
 * written. Returns the number of records. */
int WriteQueue(const std::string &root)
{
    std::string data(kQueueSignature, 20);
    int count = 0;
    for (const auto &name : ReadyJobs(root)) {
        Job job;
        if (!ParseJob(ReadAll(Spool(root, "FAX/OUT/") + name), job))
            continue;
        QueueRecord rec;
        rec.id = (uint16_t)JobNumber(name);
        struct stat st;
        std::time_t t = ::stat((Spool(root, "FAX/OUT/") + name).c_str(), &st) == 0 ? st.st_mtime : std::time(nullptr);
        localtime_r(&t, &rec.when);
        rec.status = 0;
        rec.attempts = 0;
        rec.from = SenderName(job.sender);
        rec.tel = job.addresses.empty() ? "" : FaxNumberOf(job.addresses[0]);
        data += EncodeQueueRecord(rec);
        ++count;
    }
    std::string path = Spool(root, "PUBLIC/SVCQ");
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0)
        throw UserError("cannot open " + path + ": " + std::strerror(errno));
    if (PortLockExclusiveWait(fd) != 0) {
        ::close(fd);
        throw UserError("cannot lock " + path);
    }
    bool ok = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, data.data(), data.size(), 0) == (ssize_t)data.size();
    ::fsync(fd);
    ::close(fd);
    if (!ok)
        throw UserError("cannot write " + path);
    return count;
}

void CmdQueue(const std::string &root)
{
    RequireTree(root);
    int count = WriteQueue(root);
    std::cout << "queue: " << count << " job(s) pending\n";
}

void CmdSend(const std::string &root, const std::vector<std::string> &failNumbers)
{
    RequireTree(root);
    std::set<std::string> fail(failNumbers.begin(), failNumbers.end());
    std::vector<std::string> history;
    for (const auto &name : ReadyJobs(root)) {
        std::string jobPath = Spool(root, "FAX/OUT/") + name;
        Job job;
        if (!ParseJob(ReadAll(jobPath), job)) {
            std::cerr << "faxsim: " << name << " is not a fax job, left alone\n";
            continue;
        }
        /* The gateway hands out a job name again once its job has left
         * FAX/OUT, so a later job of the same name gets its own folder. */
        std::string sentDir = root + "/sent/" + name;
        for (int n = 2; fs::exists(sentDir); ++n)
            sentDir = root + "/sent/" + name + "." + std::to_string(n);
        fs::create_directories(sentDir);
        std::ostringstream summary;
        summary << "job " << name << "\nfrom: " << job.sender << "\nsubject: " << job.subject << "\n";
        std::vector<std::string> lines;
        std::vector<std::string> results;
        std::tm now = LocalNow();
        for (const auto &addr : job.addresses) {
            std::string number = FaxNumberOf(addr);
            bool failed = fail.count(number) > 0;
            ActivityLine l;
            l.job = JobNumber(name);
            l.when = now;
            l.destination = number;
            l.sender = SenderName(job.sender);
            l.final = false;
            l.code = "0000";
            l.explanation = " Dial ";
            lines.push_back(FormatActivityLine(l));
            l.final = true;
            l.code = failed ? "0301" : "0000";
            l.explanation = failed ? " Busy " : " Sent ";
            l.retries = failed ? 3 : 0;
            lines.push_back(FormatActivityLine(l));
            summary << "to " << FaxNameOf(addr) << " at " << number << ": " << (failed ? "failed (busy)" : "sent") << "\n";
            results.push_back(FaxNameOf(addr) + " at " + number + ": " + (failed ? "failed, line busy" : "sent"));
        }
        AppendLines(Spool(root, "UTIL/DATA/ACTIVITY.LOG"), lines);
        history.insert(history.end(), lines.begin(), lines.end());
        /* keep a copy, then take the job out of the spool */
        fs::copy_file(jobPath, sentDir + "/" + name, fs::copy_options::overwrite_existing);
        for (size_t i = 0; i < job.attachments.size(); ++i) {
            std::string a = Spool(root, "FAX/OPARCEL/") + job.attachments[i];
            std::string shown = i < job.attachmentNames.size() ? job.attachmentNames[i] : job.attachments[i];
            if (fs::exists(a)) {
                fs::copy_file(a, sentDir + "/" + job.attachments[i], fs::copy_options::overwrite_existing);
                summary << "attachment " << job.attachments[i] << " (" << shown << ")\n";
            }
        }
        WriteAtomically(sentDir + "/summary.txt", summary.str() + "\n" + job.body);
        for (const auto &a : job.attachments)
            ::unlink((Spool(root, "FAX/OPARCEL/") + a).c_str());
        ::unlink(jobPath.c_str());
        if (job.returnGood) {
            unsigned n = FreeControlNumber(root);
            std::vector<std::string> header = {"To: " + SenderName(job.sender),
                                               "Subject: Fax: " + job.subject};
            std::vector<std::string> body = {"Job: " + name};
            for (const auto &r : results)
                body.push_back("Result: " + r);
            WriteControl(root, n, Control(header, body));
        }
        std::cout << "sent " << name << " (" << job.addresses.size() << " address(es))\n";
    }
    if (!history.empty())
        AppendLines(root + "/sent/history.log", history);
    /* A transmitted job is no longer waiting: without this the gateway's
     * queue listing would turn its final entry back into "Pending". */
    WriteQueue(root);
}

void CmdReceive(const std::string &root, const std::vector<std::string> &to, const std::string &subject,
                const std::string &did, const std::string &tsi, int pages, const std::string &image,
                const std::vector<std::string> &extra, const std::vector<std::string> &headers)
{
    RequireTree(root);
    unsigned n = FreeControlNumber(root);
    char imageName[16];
    std::snprintf(imageName, sizeof imageName, "RX%06u", n);
    static const char kStandInImage[] = "II*\0 stand-in fax image\n"; /* a TIFF's first bytes */
    std::string bytes = image.empty() ? std::string(kStandInImage, sizeof kStandInImage - 1) : ReadAll(image);
    WriteAtomically(Spool(root, "FAX/IPARCEL/") + imageName, bytes);
    std::vector<std::string> header;
    for (const auto &t : to)
        header.push_back("To: " + t);
    if (!subject.empty())
        header.push_back("Subject: " + subject);
    header.push_back(std::string("Attachment: ") + imageName);
    /* after the image line, so a misbehaving line cannot hide the image */
    for (const auto &h : headers)
        header.push_back(h);
    std::vector<std::string> body = {"Receive Time: " + ReceiveTimeText(LocalNow()),
                                     "TSI Received: " + tsi,
                                     "Pages Received: " + std::to_string(pages),
                                     "Connect Time: 0:45"};
    if (!did.empty())
        body.push_back("DID Received: " + did);
    for (const auto &e : extra)
        body.push_back(e);
    std::cout << WriteControl(root, n, Control(header, body)) << "\n";
}

void CmdAdminLog(const std::string &root)
{
    RequireTree(root);
    std::vector<std::string> rows;
    std::ifstream in(root + "/sent/history.log");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        rows.push_back(line);
    }
    std::vector<std::string> body = {"Fax server activity report", "JOB  DATE  TIME  TY RC TO", "---"};
    body.insert(body.end(), rows.begin(), rows.end());
    unsigned n = FreeControlNumber(root);
    std::cout << WriteControl(root, n, Control({"Subject: Administrator Activity Log"}, body)) << "\n";
}

}  // namespace

int main(int argc, char **argv)
{
    CLI::App app{"faxsim - stand-in fax server working on the spool tree ROOT/TMBFAX"};
    app.require_subcommand(1);
    std::string root;

    auto *init = app.add_subcommand("init", "create the spool tree ROOT/TMBFAX (safe to run twice)");
    init->add_option("ROOT", root, "folder that holds TMBFAX (the gateway's VortiqPath)")->required();

    auto *queue = app.add_subcommand("queue", "write PUBLIC/SVCQ listing the ready jobs as pending");
    queue->add_option("ROOT", root, "folder that holds TMBFAX")->required();

    std::vector<std::string> fail;
    auto *send = app.add_subcommand("send", "transmit every ready job in FAX/OUT");
    send->add_option("ROOT", root, "folder that holds TMBFAX")->required();
    send->add_option("--fail", fail, "fax number whose transmission fails (repeatable)");

    std::vector<std::string> to, extra, headers;
    std::string subject, did, tsi = "+1 555 0199", image;
    int pages = 1;
    auto *receive = app.add_subcommand("receive", "leave a received fax for the gateway in FAX/IN");
    receive->add_option("ROOT", root, "folder that holds TMBFAX")->required();
    receive->add_option("--to", to, "recipient name (repeatable)");
    receive->add_option("--subject", subject, "subject line");
    receive->add_option("--did", did, "dialled-in number");
    receive->add_option("--tsi", tsi, "sending station's identification");
    receive->add_option("--pages", pages, "pages received")->check(CLI::Range(0, 999));
    receive->add_option("--image", image, "file to use as the fax image")->check(CLI::ExistingFile);
    receive->add_option("--line", extra, "further body line \"KEY: VALUE\" (repeatable)");
    receive->add_option("--header", headers,
                        "further header line \"KEY: VALUE\", written as given (repeatable; plays a "
                        "misbehaving fax server)");

    auto *admin = app.add_subcommand("admin-log", "leave an administrator activity log in FAX/IN");
    admin->add_option("ROOT", root, "folder that holds TMBFAX")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 1;
    }
    try {
        if (*init)
            CmdInit(root);
        else if (*queue)
            CmdQueue(root);
        else if (*send)
            CmdSend(root, fail);
        else if (*receive)
            CmdReceive(root, to, subject, did, tsi, pages, image, extra, headers);
        else if (*admin)
            CmdAdminLog(root);
    } catch (const UserError &e) {
        std::cerr << "faxsim: " << e.what() << "\n";
        return 1;
    } catch (const std::exception &e) {
        std::cerr << "faxsim: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
