/*
 * faxsim.cpp - the stand-in fax server: plays the fax server's side of the
 * spool tree ROOT/TMBFAX that it shares with the gateway.
 *
 *   faxsim init ROOT        create the tree
 *   faxsim queue ROOT       list waiting jobs in PUBLIC/SVCQ (under the lock)
 *   faxsim send ROOT        "transmit" every ready job: render its pages,
 *                           activity lines with the real page count, a copy
 *                           under ROOT/sent/NNNN/ with the fax of each
 *                           address (fax-K.tif) and its pages as pictures
 *                           (fax-K/page-N.png), return status, the queue
 *                           file rewritten without it
 *   faxsim receive ROOT     leave a received fax in FAX/IN + FAX/IPARCEL
 *                           (a rendered page unless --image is given)
 *   faxsim admin-log ROOT   leave an administrator log in FAX/IN
 *
 * Every file it hands to the gateway is written under a work name of its
 * own process, synced and renamed into place (the folder synced after), so
 * the gateway never reads half a file. With --in-place, receive and send
 * write the control file and ACTIVITY.LOG in place instead, holding an
 * exclusive flock on the file for the whole write.
 *
 * Job numbers (four digits, 0001 to 9999, then 0001 again) come from the
 * counter file ROOT/faxsim.seq; every run holds the flock on ROOT/faxsim.lock
 * while it works, so concurrent runs never share a number or a file name.
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

#include "fax_render.h"
#include "spool_files.h"
#include "spool_write.h"
#include "vq_port.h"

namespace fs = std::filesystem;
using namespace spoolfiles;

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

/* Ready jobs: regular files (no links) without extension in FAX/OUT,
 * lowest first. */
std::vector<std::string> ReadyJobs(const std::string &root)
{
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(Spool(root, "FAX/OUT"))) {
        std::string n = e.path().filename().string();
        if (e.symlink_status().type() == fs::file_type::regular && n.find('.') == std::string::npos)
            names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool Exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

/* The flock on ROOT/faxsim.lock, held by every run for its whole work:
 * one faxsim at a time picks job numbers and names in FAX/IN. */
struct RunLock {
    FdGuard fd;
    explicit RunLock(const std::string &root)
        : fd(::open((root + "/faxsim.lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644))
    {
        if (fd.fd < 0)
            throw UserError("cannot open " + root + "/faxsim.lock: " + std::strerror(errno));
        Flock(fd.fd, LOCK_EX, root + "/faxsim.lock");
    }
};

/* The job counter ROOT/faxsim.seq: its first line the last job number
 * given out, then one line "NNNN NAME INODE MTIME_NS" per job in FAX/OUT
 * that has its number and is not sent yet (a file name the gateway uses
 * again later is another job: another inode or modification time). */
struct Counter {
    struct Entry {
        unsigned number = 0;
        std::string name;
        unsigned long long ino = 0;
        long long mtimeNs = 0;
    };
    std::string root;
    unsigned last = 0;
    std::vector<Entry> jobs;
    bool changed = false;

    explicit Counter(const std::string &r) : root(r)
    {
        std::ifstream in(Path());
        if (!in)
            return;
        std::string line;
        if (std::getline(in, line) && !(std::istringstream(line) >> last))
            throw UserError(Path() + " is damaged (remove it to count from 0001 again)");
        for (Entry e; std::getline(in, line);)
            if (std::istringstream(line) >> e.number >> e.name >> e.ino >> e.mtimeNs)
                jobs.push_back(e);
        /* jobs that left FAX/OUT give their number up */
        auto gone = [&](const Entry &e) {
            Entry now;
            return !Identity(e.name, now) || !Same(e, now);
        };
        size_t before = jobs.size();
        jobs.erase(std::remove_if(jobs.begin(), jobs.end(), gone), jobs.end());
        changed = jobs.size() != before;
    }
    std::string Path() const { return root + "/faxsim.seq"; }

    /* false when FAX/OUT/name is missing; its identity into e */
    bool Identity(const std::string &name, Entry &e) const
    {
        struct stat st;
        if (::lstat((Spool(root, "FAX/OUT/") + name).c_str(), &st) != 0)
            return false;
        e.name = name;
        e.ino = st.st_ino;
        e.mtimeNs = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        return true;
    }
    static bool Same(const Entry &a, const Entry &b)
    {
        return a.name == b.name && a.ino == b.ino && a.mtimeNs == b.mtimeNs;
    }

    /* The job number of FAX/OUT/name, given out now if it has none. */
    unsigned NumberOf(const std::string &name)
    {
        Entry id;
        if (!Identity(name, id))
            throw UserError("job " + name + " is gone");
        for (const auto &j : jobs)
            if (Same(j, id))
                return j.number;
        std::set<unsigned> inUse;
        for (const auto &j : jobs)
            inUse.insert(j.number);
        id.number = NextJobNumber(last, inUse);
        last = id.number;
        jobs.push_back(id);
        changed = true;
        return id.number;
    }

    void Forget(const std::string &name)
    {
        auto it = std::remove_if(jobs.begin(), jobs.end(), [&](const Entry &e) { return e.name == name; });
        changed = changed || it != jobs.end();
        jobs.erase(it, jobs.end());
    }

    /* Replaces the file whole: work name, fsync, rename, folder fsync. */
    void Save()
    {
        if (!changed)
            return;
        std::ostringstream out;
        char num[8];
        std::snprintf(num, sizeof num, "%04u", last);
        out << num << "\n";
        for (const auto &e : jobs) {
            std::snprintf(num, sizeof num, "%04u", e.number);
            out << num << " " << e.name << " " << e.ino << " " << e.mtimeNs << "\n";
        }
        ReplaceFile(Path(), out.str(), 0644);
        changed = false;
    }
};

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

/* Rewrites PUBLIC/SVCQ with one record per ready job not in `sent`, under
 * the lock the gateway's exclusive open takes, so the gateway never reads
 * it half written. Returns the number of records. */
int WriteQueue(const std::string &root, Counter &counter, const std::set<std::string> &sent = {})
{
    std::string records;
    int count = 0;
    for (const auto &name : ReadyJobs(root)) {
        Job job;
        if (sent.count(name) || !ParseJob(ReadAll(Spool(root, "FAX/OUT/") + name), job))
            continue;
        QueueRecord rec;
        rec.id = (uint16_t)counter.NumberOf(name);
        struct stat st;
        std::time_t t = ::stat((Spool(root, "FAX/OUT/") + name).c_str(), &st) == 0 ? st.st_mtime : std::time(nullptr);
        localtime_r(&t, &rec.when);
        rec.status = 0;
        rec.attempts = 0;
        rec.from = SenderName(job.sender);
        rec.tel = job.addresses.empty() ? "" : FaxNumberOf(job.addresses[0]);
        records += EncodeQueueRecord(rec);
        ++count;
    }
    /* the numbers are kept before any record shows them */
    counter.Save();
    WriteQueueFile(SpoolRoot(root), records);
    return count;
}

void CmdQueue(const std::string &root)
{
    RequireTree(root);
    RunLock lock(root);
    Counter counter(root);
    int count = WriteQueue(root, counter);
    std::cout << "queue: " << count << " job(s) pending\n";
}

/* A folder of its own under ROOT/sent for job number n. */
std::string SentFolder(const std::string &root, unsigned n)
{
    /* numbers come round again after 9999 */
    std::string dir = root + "/sent/" + Four(n);
    for (int k = 2; Exists(dir); ++k)
        dir = root + "/sent/" + Four(n) + "." + std::to_string(k);
    fs::create_directories(dir + "/OPARCEL");
    return dir;
}

/* The pages of one job: the shared pages rendered once, then each
 * address's fax (its cover in front) as fax-K.tif in the job's folder,
 * with a PNG per page in fax-K/. reason is set when the job cannot be
 * rendered; then every address fails with it. */
struct JobPages {
    std::vector<int> pages; /* per address */
    std::string reason;
};

JobPages RenderPages(const std::string &root, const Job &job, const std::string &sentDir, bool letter,
                     std::ostringstream &summary)
{
    JobPages out;
    faxrender::Options opt;
    opt.letter = letter;
    faxrender::TempDir tmp("");
    std::string shared = tmp.File("shared.tif");
    faxrender::Result r = tmp.ok() ? faxrender::RenderShared(root, job, shared, opt)
                                   : faxrender::Result{false, "cannot make a temporary folder", 0};
    for (size_t i = 0; r.ok && i < job.addresses.size(); ++i) {
        std::string name = "fax-" + std::to_string(i + 1), why;
        faxrender::Result one = faxrender::AddCover(job, i, shared, sentDir + "/" + name + ".tif", opt);
        if (!one.ok) {
            r = one;
            break;
        }
        if (faxrender::TiffToPngs(sentDir + "/" + name + ".tif", sentDir + "/" + name, &why) < 0)
            std::cerr << "faxsim: no pictures of " << sentDir << "/" << name << ".tif: " << why << "\n";
        out.pages.push_back(one.pages);
        summary << "pages for " << FaxNameOf(job.addresses[i]) << ": " << one.pages << " (" << name << ".tif, "
                << name << "/page-1.png ...)\n";
    }
    if (!r.ok) {
        out.reason = r.reason;
        out.pages.assign(job.addresses.size(), 0);
        summary << "not rendered: " << r.reason << "\n";
    }
    return out;
}

void CmdSend(const std::string &root, const std::vector<std::string> &failNumbers, const Handover &how,
             bool letter, bool noRender)
{
    RequireTree(root);
    RunLock lock(root);
    Counter counter(root);
    std::set<std::string> fail(failNumbers.begin(), failNumbers.end());
    std::vector<std::string> history;
    std::set<std::string> sent;
    for (const auto &name : ReadyJobs(root)) {
        std::string jobPath = Spool(root, "FAX/OUT/") + name;
        Job job;
        if (!ParseJob(ReadAll(jobPath), job)) {
            std::cerr << "faxsim: " << name << " is not a fax job, left alone\n";
            continue;
        }
        job.name = name;
        const unsigned number = counter.NumberOf(name);
        counter.Save();
        std::string sentDir = SentFolder(root, number);
        std::ostringstream summary;
        summary << "job " << Four(number) << " (FAX/OUT/" << name << ")\nfrom: " << job.sender
                << "\nsubject: " << job.subject << "\n";
        std::vector<std::string> lines;
        std::vector<std::string> results;
        /* rendered while the parcels are still in the spool */
        JobPages pages;
        if (noRender)
            pages.pages.assign(job.addresses.size(), 1);
        else
            pages = RenderPages(root, job, sentDir, letter, summary);
        if (!pages.reason.empty())
            std::cerr << "faxsim: job " << Four(number) << " cannot be sent: " << pages.reason << "\n";
        std::tm now = LocalNow();
        for (size_t a = 0; a < job.addresses.size(); ++a) {
            const std::string &addr = job.addresses[a];
            std::string faxNumber = FaxNumberOf(addr);
            bool unrendered = !pages.reason.empty();
            bool failed = unrendered || fail.count(faxNumber) > 0;
            ActivityLine l;
            l.pages = (unsigned)pages.pages[a];
            l.job = number;
            l.when = now;
            l.destination = faxNumber;
            l.sender = SenderName(job.sender);
            l.final = false;
            l.code = "0000";
            l.explanation = " Dial ";
            lines.push_back(FormatActivityLine(l));
            l.final = true;
            l.code = unrendered ? "0500" : failed ? "0301" : "0000";
            l.explanation = unrendered ? " Error" : failed ? " Busy " : " Sent ";
            l.retries = failed && !unrendered ? 3 : 0;
            lines.push_back(FormatActivityLine(l));
            std::string result = unrendered ? "failed, " + pages.reason : failed ? "failed, line busy" : "sent";
            summary << "to " << FaxNameOf(addr) << " at " << faxNumber << ": " << result << "\n";
            results.push_back(FaxNameOf(addr) + " at " + faxNumber + ": " + result);
        }
        /* The job leaves the queue before its final lines are logged: the
         * gateway imports the log and then lists the queue, and a job still
         * listed there would turn its final entry back into "Pending". */
        sent.insert(name);
        WriteQueue(root, counter, sent);
        AppendActivityLines(Spool(root, "UTIL/DATA/ACTIVITY.LOG"), lines, how);
        history.insert(history.end(), lines.begin(), lines.end());
        /* keep a copy: the job as "job", its parcels under OPARCEL/ */
        fs::copy_file(jobPath, sentDir + "/job");
        for (size_t i = 0; i < job.attachments.size(); ++i) {
            std::string a = Spool(root, "FAX/OPARCEL/") + job.attachments[i];
            std::string shown = i < job.attachmentNames.size() ? job.attachmentNames[i] : job.attachments[i];
            if (Exists(a)) {
                fs::copy_file(a, sentDir + "/OPARCEL/" + job.attachments[i], fs::copy_options::overwrite_existing);
                summary << "attachment " << job.attachments[i] << " (" << shown << ")\n";
            }
        }
        WriteNewFile(sentDir + "/summary.txt", summary.str() + "\n" + job.body, 0644);
        /* The job goes first, for good, then its parcels: the gateway
         * reuses a parcel name only once no job names it. */
        if (::unlink(jobPath.c_str()) != 0)
            throw UserError("cannot remove " + jobPath + ": " + std::strerror(errno));
        SyncFolderOf(Spool(root, "FAX/OUT/."));
        for (const auto &a : job.attachments)
            ::unlink((Spool(root, "FAX/OPARCEL/") + a).c_str());
        SyncFolderOf(Spool(root, "FAX/OPARCEL/."));
        counter.Forget(name);
        counter.Save();
        if (job.returnGood) {
            std::vector<std::string> header = {"To: " + SenderName(job.sender),
                                               "Subject: Fax: " + job.subject};
            std::vector<std::string> body = {"Job: " + Four(number)};
            for (const auto &r : results)
                body.push_back("Result: " + r);
            WriteControlFile(SpoolRoot(root), header, body);
        }
        std::cout << "sent " << Four(number) << " (FAX/OUT/" << name << ", " << job.addresses.size()
                  << " address(es)); pages in " << sentDir << "\n";
    }
    if (!history.empty())
        AppendActivityLines(root + "/sent/history.log", history, Handover{true, 0});
    /* jobs that came while these were sent */
    WriteQueue(root, counter);
}

/* A fax of `pages` rendered text pages (one at least) saying who sent it
 * to whom. */
std::string RenderedFax(const std::vector<std::string> &to, const std::string &subject, const std::string &tsi,
                        int pages)
{
    Job job;
    job.name = "received";
    job.resolution = 'D';
    for (int p = 1; p <= std::max(pages, 1); ++p) {
        job.bodyText += std::string(p > 1 ? "\f" : "") + "A fax received by faxsim\n\nFrom:    " + tsi + "\n";
        for (const auto &t : to)
            job.bodyText += "To:      " + t + "\n";
        job.bodyText += "Subject: " + subject + "\nPage:    " + std::to_string(p) + " of " +
                        std::to_string(std::max(pages, 1)) + "\n";
    }
    faxrender::TempDir tmp("");
    faxrender::Result r = tmp.ok() ? faxrender::RenderShared(tmp.path(), job, tmp.File("rx.tif"), {})
                                   : faxrender::Result{false, "cannot make a temporary folder", 0};
    if (!r.ok)
        throw UserError("cannot render the received fax: " + r.reason);
    return ReadAll(tmp.File("rx.tif"));
}

void CmdReceive(const std::string &root, const std::vector<std::string> &to, const std::string &subject,
                const std::string &did, const std::string &tsi, int pages, const std::string &image,
                const std::vector<std::string> &extra, const std::vector<std::string> &headers, const Handover &how)
{
    RequireTree(root);
    std::string bytes = image.empty() ? RenderedFax(to, subject, tsi, pages) : ReadAll(image);
    RunLock lock(root);
    std::vector<std::string> header;
    for (const auto &t : to)
        header.push_back("To: " + t);
    if (!subject.empty())
        header.push_back("Subject: " + subject);
    std::vector<std::string> body = {"Receive Time: " + ReceiveTimeText(LocalNow()), "TSI Received: " + tsi,
                                     "Pages Received: " + std::to_string(pages), "Connect Time: 0:45"};
    if (!did.empty())
        body.push_back("DID Received: " + did);
    for (const auto &e : extra)
        body.push_back(e);
    /* the further header lines after the image line, so a misbehaving
     * line cannot hide the image */
    std::cout << WriteControlFile(SpoolRoot(root), header, body, &bytes, how, headers) << "\n";
}

void CmdAdminLog(const std::string &root)
{
    RequireTree(root);
    RunLock lock(root);
    std::vector<std::string> rows;
    std::ifstream in(root + "/sent/history.log");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        rows.push_back(line);
    }
    std::vector<std::string> body = {"Fax server activity report", "JOB  DATE  TIME  TY RC TO", "---"};
    body.insert(body.end(), rows.begin(), rows.end());
    std::cout << WriteControlFile(SpoolRoot(root), {"Subject: Administrator Activity Log"}, body) << "\n";
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
    Handover how;
    const char *inPlaceHelp = "write in place under an exclusive flock held while writing, instead of "
                              "under a work name renamed in";
    const char *holdHelp = "with --in-place: pause MS milliseconds halfway through the write, lock held";
    auto *send = app.add_subcommand("send", "transmit every ready job in FAX/OUT");
    send->add_option("ROOT", root, "folder that holds TMBFAX")->required();
    send->add_option("--fail", fail, "fax number whose transmission fails (repeatable)");
    send->add_flag("--in-place", how.inPlace, std::string(inPlaceHelp) + " (UTIL/DATA/ACTIVITY.LOG)");
    send->add_option("--hold", how.holdMs, holdHelp)->check(CLI::Range(0, 600000))->type_name("MS");
    bool letter = false, noRender = false;
    send->add_flag("--letter", letter, "render on Letter paper (A4 otherwise)");
    send->add_flag("--no-render", noRender, "no pages: every job counts one page (for load tests of the gateway)");

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
    receive->add_flag("--in-place", how.inPlace, std::string(inPlaceHelp) + " (the control file in FAX/IN)");
    receive->add_option("--hold", how.holdMs, holdHelp)->check(CLI::Range(0, 600000))->type_name("MS");

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
            CmdSend(root, fail, how, letter, noRender);
        else if (*receive)
            CmdReceive(root, to, subject, did, tsi, pages, image, extra, headers, how);
        else if (*admin)
            CmdAdminLog(root);
    } catch (const std::runtime_error &e) { /* UserError, SpoolError */
        std::cerr << "faxsim: " << e.what() << "\n";
        return 1;
    } catch (const std::exception &e) {
        std::cerr << "faxsim: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
