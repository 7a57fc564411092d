/*
 * crash_sweep_test.cpp - crash and fault sweeps over the gateway's roads
 * (outbound mail to fax jobs, inbound control files to mail, the activity
 * log into the activity database). A clean pass of vq_crash_driver gives
 * the reference and the count of durable operations; then for every
 * operation N a fresh copy runs with a crash right after N, or with N
 * failing (EIO, ENOSPC; outbound also with a disk full from N on), then
 * normally until nothing waits. After every run nothing may be lost (the
 * road checkers), the operation log must keep the hand-over order
 * (CheckOrder), no work file may stay behind (Strays), and a failure must
 * leave a log entry of its own. Sweep folders go to /dev/shm when writable
 * (VORTIQ_SWEEP_TMP names another); VORTIQ_SWEEP_STEP=K tries every K-th
 * point. A run's files stay in DIR.ops (operations) and DIR.out.
 */
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gateway_fixture.h"
#include "mail_reading.h"
#include "notes_fixture.h"
#include "notesapi.h"
#include "test_support.h"
#include "vortiq.h"

namespace {

namespace fs = std::filesystem;
using vqtest::FileExists;
using vqtest::ListDir;
using vqtest::ReadFile;
using vqtest::SplitLines;

const char kDriver[] = VQ_CRASH_DRIVER;
const int kCrashExit = 86;
const char kSpool[] = "/spool/TMBFAX";
using Mail = vqtest::MailMessage;

/* ==== Running the driver ==== */

std::string SweepBase()
{
    const char *own = std::getenv("VORTIQ_SWEEP_TMP"), *tmp = std::getenv("TMPDIR");
    if (own != nullptr && *own != '\0')
        return own;
    if (access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

int SweepStep()
{
    const char *s = std::getenv("VORTIQ_SWEEP_STEP");
    return s != nullptr && std::atoi(s) > 0 ? std::atoi(s) : 1;
}

/* A folder for one sweep, removed with everything in it. */
struct SweepDir {
    SweepDir() : path(SweepBase() + "/vqcrash.XXXXXX")
    {
        if (mkdtemp(&path[0]) == nullptr)
            path.clear();
    }
    ~SweepDir()
    {
        std::error_code ec;
        if (!path.empty())
            fs::remove_all(path, ec);
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
    std::string path;
};

/* Runs the driver with FAULT armed (its operations logged to DIR.ops, its
 * output in DIR.out); its exit code and its output. */
int RunDriver(const std::string &command, const std::string &dir, const std::string &fault = "",
              std::string *output = nullptr)
{
    std::remove((dir + ".ops").c_str());
    const std::string line = "env -u VORTIQ_FAULT VORTIQ_FAULT_LOG='" + dir + ".ops' " +
                             (fault.empty() ? "" : "VORTIQ_FAULT=" + fault + " ") + "'" +
                             kDriver + "' " + command + " '" + dir + "' >'" + dir + ".out' 2>&1";
    const int status = std::system(line.c_str());
    if (output != nullptr)
        *output = ReadFile(dir + ".out");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void CopyTree(const std::string &from, const std::string &to)
{
    std::error_code ec;
    fs::remove_all(to, ec);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

/* Log lines without their time stamp and with digit runs as "#". */
std::multiset<std::string> LogShapes(const std::string &log)
{
    std::multiset<std::string> out;
    for (const std::string &line : SplitLines(log)) {
        std::string shape;
        for (char c : line.substr(line.find("  ") == std::string::npos ? 0 : line.find("  ") + 2))
            if (!(std::isdigit((unsigned char)c) && !shape.empty() && shape.back() == '#'))
                shape.push_back(std::isdigit((unsigned char)c) ? '#' : c);
        out.insert(shape);
    }
    return out;
}

struct Findings {
    std::vector<std::string> violations;
    bool waiting = false; /* something is left for a later pass */
    void Add(const std::string &what) { violations.push_back(what); }
};

bool EndsWith(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

/* Points the stand-in at a data directory for reading. */
void UseDataDirectory(const std::string &dir)
{
    vqtest::SetDataDirectory(dir);
    vqtest::SetLogEcho(false);
}

/* Documents of a mail file; none when the file does not exist. */
std::vector<Mail> ReadMails(const std::string &dir, const std::string &db)
{
    return FileExists(dir + "/" + db) ? vqtest::ReadMessages(db) : std::vector<Mail>();
}

/* The value after "\n<key>: " up to the line end, or "" when absent. */
std::string HeaderValue(const std::string &job, const std::string &key)
{
    size_t at = job.find("\n" + key + ": ");
    if (at == std::string::npos)
        return "";
    at += key.size() + 3;
    return job.substr(at, job.find('\n', at) - at);
}

std::vector<std::string> SplitComma(const std::string &list)
{
    std::vector<std::string> out;
    for (size_t start = 0, comma = 0; !list.empty() && comma != std::string::npos;
         start = comma + 2) {
        comma = list.find(", ", start);
        out.push_back(list.substr(start, comma - start));
    }
    return out;
}

/* ==== The operation log and the order of a hand-over ==== */

/* One line of the log: "N kind path [path2]", N "-" when not counted.
 * failed: the seam made it fail, so it did nothing. */
struct Step {
    long n = 0;
    std::string kind, path, path2;
    bool failed = false;
};

/* The steps of a log written under the fault FAULT ("fail:N:E",
 * "fail:N+:E", "crash:N" or ""). */
std::vector<Step> ReadSteps(const std::string &log, const std::string &fault)
{
    long target = 0;
    char plus = '\0';
    const bool fail = std::sscanf(fault.c_str(), "fail:%ld%c", &target, &plus) >= 1;
    std::vector<Step> steps;
    for (const std::string &line : SplitLines(log)) {
        Step s;
        char kind[16] = "", path[4096] = "", path2[4096] = "";
        if (std::sscanf(line.c_str(), "%ld %15s %4095s %4095s", &s.n, kind, path, path2) < 2 &&
            std::sscanf(line.c_str(), "- %15s %4095s", kind, path) < 1)
            continue;
        s.kind = kind;
        s.path = path;
        s.path2 = path2;
        s.failed = fail && s.n > 0 &&
                   (plus == '+' ? s.n >= target && s.kind != "unlink" && s.kind != "commit"
                                : s.n == target);
        steps.push_back(s);
    }
    /* a crash ends the log without releasing anything */
    steps.push_back(Step{0, fault.rfind("crash:", 0) == 0 ? "crash" : "end", "of the log", "", false});
    return steps;
}

std::string Folder(const std::string &path)
{
    return path.substr(0, path.rfind('/'));
}
bool InSpool(const std::string &path, const char *sub)
{
    const std::string f = std::string(kSpool) + sub;
    const std::string folder = Folder(path);
    return folder.size() >= f.size() && folder.compare(folder.size() - f.size(), f.size(), f) == 0;
}

/* The order every hand-over keeps, as the code does it today:
 *   - a file written is fsynced after its last write before it is renamed
 *     (a failed fsync the code saw counts: the failure line of a refused
 *     control file is only advice);
 *   - a file written in the spool is fsynced (or deleted) before the next
 *     commit: a job's parcels, an error copy, a control file's failure line;
 *   - after a rename its target folder is fsynced before the next commit or
 *     delete (the commit that lets the mail go comes after it); renames a
 *     crash left unsynced (Carried, in and out) bind the restarted run;
 *   - a control file leaves FAX/IN only after a commit to mail.box since it
 *     was read (the stored mail; one commit may store a chunk's mail) or
 *     once every recipient held it ("held"); its image only after its
 *     control file. */
using Renames = std::map<std::string, std::string>; /* folder -> what was renamed into it */
std::set<std::string> CheckOrder(const std::vector<Step> &steps, Findings *f,
                                 Renames *Carried = nullptr)
{
    std::set<std::string> dirty, failedDeletes; /* written since their last fsync; may stay */
    Renames unsynced = Carried != nullptr ? *Carried : Renames();
    std::map<std::string, bool> stored; /* control file read -> its mail stored */
    bool imageMayGo = false;
    for (const Step &s : steps) {
        const bool in = InSpool(s.path, "/FAX/IN");
        const bool release = s.kind == "unlink" || s.kind == "commit";
        if (s.failed && s.kind == "unlink")
            failedDeletes.insert(s.path), dirty.erase(s.path); /* junk that may stay */
        if (s.failed && s.kind == "fsync")
            dirty.erase(s.path); /* the code knows the file is not durable */
        if (s.failed)
            continue;
        if (s.kind == "write")
            dirty.insert(s.path);
        if (s.kind == "rename" && dirty.count(s.path) != 0)
            f->Add(s.path + " was renamed to " + s.path2 + " before its fsync");
        if (s.kind == "fsync" || s.kind == "unlink" || s.kind == "rename")
            dirty.erase(s.path);
        if (s.kind == "dirsync")
            unsynced.erase(s.path);
        for (const auto &u : release || s.kind == "end" ? unsynced : decltype(unsynced)())
            f->Add(u.second + ": its folder was not fsynced before the " + s.kind + " " + s.path);
        if (release)
            unsynced.clear();
        if (s.kind == "rename")
            unsynced[Folder(s.path2)] = s.path + " renamed to " + s.path2;
        const bool isStored = stored.count(s.path) != 0 && stored[s.path];
        if (s.kind == "unlink" && in && !isStored)
            f->Add(s.path + " was deleted before a commit to mail.box stored its mail");
        if (s.kind == "unlink" && InSpool(s.path, "/FAX/IPARCEL") && !imageMayGo)
            f->Add(s.path + " was deleted before its control file");
        if ((s.kind == "unlink" || s.kind == "rename") && in)
            imageMayGo = s.kind == "rename" || isStored, stored.erase(s.path);
        if (s.kind == "read" && in)
            stored[s.path] = false;
        if (s.kind == "held" && in)
            stored[s.path] = true; /* every recipient's mail file has it already */
        for (auto &r : s.kind == "commit" && EndsWith(s.path, "/mail.box") ? stored : decltype(stored)())
            stored[r.first] = true;
        for (const std::string &d : s.kind == "commit" ? dirty : std::set<std::string>())
            if (d.find(kSpool) != std::string::npos)
                f->Add(d + " was not fsynced before the commit to " + s.path);
    }
    if (Carried != nullptr)
        *Carried = steps.back().kind == "crash" ? unsynced : Renames();
    return failedDeletes;
}

/* Work files nobody will use or delete: the job writer's and the
 * inbound pass's work names, parcels that no job names, the stand-in's
 * temporary files. */
std::set<std::string> Strays(const std::string &dir)
{
    std::set<std::string> out, named;
    const std::string spool = dir + kSpool;
    for (const std::string &n : ListDir(spool + "/FAX/OUT")) {
        if (n.find('.') != std::string::npos)
            out.insert(spool + "/FAX/OUT/" + n);
        else
            for (const std::string &a :
                 SplitComma(HeaderValue(ReadFile(spool + "/FAX/OUT/" + n), "Attachment")))
                named.insert(a);
    }
    for (const std::string &n : ListDir(spool + "/FAX/OPARCEL"))
        if (named.count(n) == 0)
            out.insert(spool + "/FAX/OPARCEL/" + n);
    for (const std::string &n : ListDir(spool + "/FAX/ERROR"))
        if (EndsWith(n, ".TMP"))
            out.insert(spool + "/FAX/ERROR/" + n);
    for (const char *work : {"/work/", "/vortiq.tmp/"})
        for (const std::string &n : ListDir(dir + work))
            out.insert(dir + work + n);
    for (const std::string &n : ListDir(dir))
        if (n.find(".tmp.") != std::string::npos || n.find(".new.") != std::string::npos)
            out.insert(dir + "/" + n);
    return out;
}

void CheckStrays(const std::string &dir, const std::set<std::string> &allowed, Findings *f)
{
    for (const std::string &s : Strays(dir))
        if (allowed.count(s) == 0)
            f->Add("stray work file " + s);
}

/* ==== Reading what a run left behind ==== */

/* A job file with its numbered names and its date line taken out. */
std::string NormalizedJob(const std::string &job)
{
    std::string out;
    for (const std::string &line : SplitLines(job)) {
        if (line.rfind("Attachment: ", 0) == 0)
            out += "Attachment: " + std::to_string(SplitComma(line.substr(12)).size()) + "\n";
        else if (line.rfind("Date: ", 0) != 0)
            out += line + "\n";
    }
    return out;
}

/* ==== The state of each road, and what must hold for it ==== */

/* How many events (crashes or failures) a run met, and whether a
 * failure that allows a refusal was injected. */
struct RunKind {
    int events = 0;
    bool failure = false;
};

/* ---- outbound ---- */

struct OutboundState {
    /* subject -> complete jobs (normalized text, then parcel bytes) */
    std::map<std::string, std::vector<std::vector<std::string>>> jobs;
    std::map<std::string, int> waiting; /* subject -> in vortiq.box */
    std::set<std::string> refused;      /* subjects with a report or an error copy */
    int forwarded = 0;                  /* reports forwarded to the administrator */
    int forwardWaiting = 0;             /* ... and still in mail.box */
    bool adminBounced = false;          /* the administrator's mail came back */
    std::set<std::string> held;         /* subjects held in vortiq.box */
    int heldReports = 0;                /* reports to the held mail's sender */
    bool heldTold = false;              /* the administrator has the held mail's notice */
    std::vector<std::string> broken;    /* names without extension that are no job */
};

const char kForwardedReport[] = "Crash E report";
const char kHeldMail[] = "Crash P";

OutboundState ReadOutbound(const std::string &dir)
{
    OutboundState st;
    UseDataDirectory(dir);
    const std::string out = dir + kSpool + "/FAX/OUT/", parcel = dir + kSpool + "/FAX/OPARCEL/";
    const std::string error = dir + kSpool + "/FAX/ERROR/";
    std::map<std::string, std::string> owner; /* parcel -> job */
    for (const std::string &name : ListDir(out)) {
        if (name.find('.') != std::string::npos)
            continue; /* work names, which the fax server leaves alone */
        const std::string job = ReadFile(out + name);
        const std::string subject = HeaderValue(job, "Subject");
        if (job.empty() || job[0] != '\x03' || subject.empty() ||
            job.find("\nSend-to: ") == std::string::npos) {
            st.broken.push_back(name + " is not a complete job");
            continue;
        }
        std::vector<std::string> j = {NormalizedJob(job)};
        for (const std::string &file : SplitComma(HeaderValue(job, "Attachment"))) {
            if (!FileExists(parcel + file))
                st.broken.push_back(name + " names the missing attachment " + file);
            else if (owner.count(file) != 0)
                st.broken.push_back(name + " shares attachment " + file + " with " + owner[file]);
            owner[file] = name;
            j.push_back(ReadFile(parcel + file));
        }
        st.jobs[subject].push_back(j);
    }
    for (const std::string &name : ListDir(error))
        if (EndsWith(name, ".ENV"))
            st.refused.insert(HeaderValue(ReadFile(error + name), "Subject"));
    for (const Mail &m : ReadMails(dir, "vortiq.box")) {
        st.waiting[m.subject]++;
        if (!vqtest::ItemText("vortiq.box", m.id, "VortiqHeld").empty())
            st.held.insert(m.subject);
        st.adminBounced |= m.subject.rfind("Delivery Failure Report: Fax Gateway Error", 0) == 0;
    }
    st.adminBounced |= ReadFile(dir + "/server.log").find("Non-Delivery is to admin") !=
                       std::string::npos;
    for (const char *sender : {"jroe.nsf", "jdoe.nsf"})
        for (const Mail &m : ReadMails(dir, sender))
            if (m.subject.rfind("Delivery Failure Report: ", 0) == 0) {
                st.refused.insert(m.subject.substr(25));
                st.heldReports += m.subject.substr(25) == kHeldMail;
            }
    /* a mail left in mail.box after its save is the router's to deliver */
    std::vector<Mail> toAdmin = ReadMails(dir, "fadmin.nsf"), waiting = ReadMails(dir, "mail.box");
    toAdmin.insert(toAdmin.end(), waiting.begin(), waiting.end());
    for (const Mail &m : toAdmin) {
        st.heldTold |= m.subject == "Fax Gateway Error: Message held";
        bool forwarded = false;
        for (const std::string &line : m.body)
            forwarded |= line.find("Zed Fax@555.0500@FAXGATE") != std::string::npos;
        /* one in mail.box may be delivered already (a crash before its removal) */
        (&m < &toAdmin.back() + 1 - waiting.size() ? st.forwarded : st.forwardWaiting) += forwarded;
        for (const auto &a : m.attachments)
            if (a.first == "ENVELOPE.BAD")
                st.refused.insert(HeaderValue(a.second, "Subject"));
    }
    return st;
}

void CheckOutbound(const std::string &refDir, const std::string &dir, RunKind kind,
                   bool restarted, Findings *f)
{
    const OutboundState ref = ReadOutbound(refDir), got = ReadOutbound(dir);
    /* a held message is never lost; its sender hears of it at most once
     * (the mark comes first), the administrator once the gateway ran on */
    for (const std::string &subject : ref.held)
        if (got.waiting.count(subject) == 0)
            f->Add("held message \"" + subject + "\" is lost");
    if (got.heldReports > 1)
        f->Add(std::to_string(got.heldReports) + " reports for the held message");
    if (restarted && !got.held.empty() && !got.heldTold && !(kind.failure && got.adminBounced))
        f->Add("the administrator was never told of the held message");
    for (const std::string &b : got.broken)
        f->Add("FAX/OUT: " + b);
    for (const auto &entry : got.jobs)
        if (ref.jobs.count(entry.first) == 0)
            f->Add("FAX/OUT holds a job for \"" + entry.first + "\" that no mail asked for");
    for (const auto &entry : ref.jobs) {
        const std::string &subject = entry.first;
        const std::vector<std::string> &want = entry.second.at(0);
        auto it = got.jobs.find(subject);
        const size_t jobs = it == got.jobs.end() ? 0 : it->second.size();
        for (size_t i = 0; i < jobs; ++i) {
            const std::vector<std::string> &have = it->second[i];
            if (have[0] != want[0])
                f->Add("job of \"" + subject + "\" differs from the clean run's:\n" + have[0] +
                       "--- want ---\n" + want[0]);
            else if (have != want)
                f->Add("attachments of the job of \"" + subject + "\" differ from the clean run's");
        }
        if (jobs > 1)
            f->Add(std::to_string(jobs) + " jobs for \"" + subject + "\"");
        const bool waiting = got.waiting.count(subject) != 0;
        if (jobs == 0 && !waiting && !(kind.failure && got.refused.count(subject) != 0))
            f->Add("mail \"" + subject + "\" is gone without its job");
        f->waiting |= waiting;
    }
    /* When the router bounces the administrator's mail back, the gateway
     * logs it and holds the bounce: forwarding it would only bounce again. */
    const bool reportWaiting = got.waiting.count(kForwardedReport) != 0;
    if (got.forwarded + got.forwardWaiting == 0 && !reportWaiting &&
        !(kind.failure && got.adminBounced))
        f->Add("the non-delivery report is gone without reaching the administrator");
    if (got.forwarded > 1 + kind.events)
        f->Add(std::to_string(got.forwarded) + " forwarded copies of the report");
    f->waiting |= reportWaiting;
}

/* ---- inbound ---- */

/* Subject -> mail file -> the copies a run's directory holds. */
using Deliveries = std::map<std::string, std::map<std::string, std::vector<Mail>>>;
Deliveries Delivered(const std::string &dir)
{
    Deliveries out;
    UseDataDirectory(dir);
    for (const char *db : {"jroe.nsf", "jdoe.nsf", "fadmin.nsf", "mail.box"})
        for (const Mail &m : ReadMails(dir, db))
            out[m.subject][db].push_back(m);
    return out;
}

/* Once handed over, a mail is the router's, which keeps what it cannot
 * deliver in mail.box. No recipient holds a fax twice, crash or not: a
 * fax done again skips the recipients holding it. */
void CheckInbound(const std::string &refDir, const std::string &dir, RunKind, bool,
                  Findings *f)
{
    Deliveries ref = Delivered(refDir), got = Delivered(dir);
    const std::string spool = dir + kSpool;
    const char *const subjects[] = {"one", "two", "three", "four", "five", "six"};
    for (int i = 0; i < 6; ++i) {
        const std::string name = "ST00000" + std::to_string(i + 1), image = "RX" + name.substr(2);
        const std::string subject = "Inbound " + std::string(subjects[i]);
        const bool inIn = FileExists(spool + "/FAX/IN/" + name);
        if (inIn && !FileExists(spool + "/FAX/IPARCEL/" + image))
            f->Add(name + " waits in FAX/IN but its image " + image + " is gone");
        std::map<std::string, std::vector<Mail>> &want = ref[subject], &have = got[subject];
        for (const auto &copies : have)
            if (want.count(copies.first) == 0 && copies.first != "mail.box")
                f->Add("\"" + subject + "\" reached " + copies.first + ", the clean run's did not");
        /* a fax is deleted only when each recipient holds it: its mail, or
         * the administrator's copy (both in the clean run's mail files),
         * or a copy the router keeps in mail.box */
        const bool gone = !inIn && !FileExists(spool + "/FAX/ERROR/" + name + ".BAD");
        for (const auto &expected : want)
            if (gone && have[expected.first].empty() && have.count("mail.box") == 0)
                f->Add(name + " (\"" + subject + "\") is gone from FAX/IN without its mail in " +
                       expected.first);
        for (const auto &expected : want) {
            const std::vector<Mail> &copies = have[expected.first];
            for (const Mail &m : copies)
                if (m.body != expected.second.at(0).body ||
                    m.attachments != expected.second.at(0).attachments)
                    f->Add("\"" + subject + "\" in " + expected.first +
                           " differs from the clean run's mail");
            if (copies.size() > 1)
                f->Add(std::to_string(copies.size()) + " copies of \"" + subject + "\" in " +
                       expected.first);
        }
        if (gone && want.empty() && have.count("mail.box") == 0)
            f->Add(name + " (\"" + subject + "\") is gone from FAX/IN without its mail");
        f->waiting |= inIn;
    }
}

/* ---- activity ---- */

std::string g_queueAtStart; /* the activity road's queue file as set up */

/* Entries of the activity database, as "JobID|To|Explanation|Type|". */
std::multiset<std::string> ActivityEntries(const std::string &dir)
{
    std::multiset<std::string> out;
    UseDataDirectory(dir);
    for (NOTEID id : vqtest::DocumentIds("TMB_ACT.NSF")) {
        std::string e;
        for (const char *item : {"JobID", "To", "Explanation", "Type"})
            e += vqtest::ItemText("TMB_ACT.NSF", id, item) + "|";
        out.insert(e);
    }
    return out;
}

/* Each sent-fax line has the clean run's entry or still waits in the log,
 * and no job has more entries than in the clean run (a line imported
 * twice); after a restarted pass the queued jobs have theirs too. */
void CheckActivity(const std::string &refDir, const std::string &dir, RunKind, bool restarted,
                   Findings *f)
{
    const std::multiset<std::string> ref = ActivityEntries(refDir), got = ActivityEntries(dir);
    std::string waiting = "\n";
    for (const char *file : {"/UTIL/DATA/ACTIVITY.LOG", "/UTIL/DATA/ACTIVITY.RD"}) {
        f->waiting |= FileExists(dir + kSpool + file);
        waiting += ReadFile(dir + kSpool + file);
    }
    if (ReadFile(dir + kSpool + "/PUBLIC/SVCQ") != g_queueAtStart)
        f->Add("the queue file PUBLIC/SVCQ was changed");
    for (const std::string job : {"0101", "0102", "0103", "0104", "0105", "0106", "0201", "0202",
                                  "0203"}) {
        bool stored = false;
        size_t refCount = 0, gotCount = 0;
        for (const std::string &e : ref) {
            stored |= e.rfind(job + "|", 0) == 0 && got.count(e) != 0;
            refCount += e.rfind(job + "|", 0) == 0;
        }
        for (const std::string &e : got)
            gotCount += e.rfind(job + "|", 0) == 0;
        if (gotCount > refCount)
            f->Add("activity line of job " + job + " was imported twice");
        if (!stored && job[1] == '1' && waiting.find("\n" + job + " ") == std::string::npos)
            f->Add("activity line of job " + job + " was never imported");
        if (!stored && job[1] == '2' && restarted)
            f->Add("queued job " + job + " has no entry");
    }
}

/* ==== One road's sweep ==== */

/* Reads a run's state and checks it against the clean run's. */
using RoadCheck = void (*)(const std::string &ref, const std::string &dir, RunKind,
                           bool restarted, Findings *);

RoadCheck CheckerOf(const std::string &road)
{
    return road == "outbound" ? CheckOutbound : road == "inbound" ? CheckInbound : CheckActivity;
}

/* A job failed on a full disk: the message waits in the gateway mail
 * file (CheckOutbound, no refusal allowed), the gateway goes on and the
 * wait is logged. */
void CheckFullDiskWaits(bool jobFailed, const std::string &out, const std::string &log,
                        Findings *f)
{
    if (jobFailed && out.find("E_quit=1") != std::string::npos)
        f->Add("a full disk stopped the gateway");
    if (jobFailed && log.find("Mail waits for the next pass") == std::string::npos)
        f->Add("the mail left waiting has no log entry");
}

/* What the router keeps of failures it met: the mail it holds in
 * mail.box and the non-delivery reports it made, in every mail file. */
size_t RouterRecords(const std::string &dir)
{
    UseDataDirectory(dir);
    size_t n = vqtest::DocumentIds("mail.box").size();
    for (const std::string &name : ListDir(dir))
        if (EndsWith(name, ".nsf") || EndsWith(name, ".box"))
            for (NOTEID id : vqtest::DocumentIds(name))
                n += vqtest::ItemText(name, id, "Form") == "NonDelivery Report";
    return n;
}

/* Parameter "ROAD MODE", MODE "crash", an errno name (one failure) or
 * "full" (a disk full from the point on, tried at each file's creation,
 * fsync and rename). */
class RoadSweep : public ::testing::TestWithParam<const char *> {
protected:
    void TearDown() override { EXPECT_EQ(vqtest::HandleCountAll(), 0u); }

    /* Prepares the road's directory and runs the clean pass over a copy:
     * its operations, its log and its outcome are the reference. */
    void Prepare()
    {
        ASSERT_FALSE(sweep_.path.empty()) << "no sweep folder under " << SweepBase();
        fs::create_directories(template_);
        ASSERT_EQ(RunDriver("setup-" + road_, template_), 0) << ReadFile(template_ + ".out");
        g_queueAtStart = ReadFile(template_ + kSpool + "/PUBLIC/SVCQ");
        CopyTree(template_, clean_);
        std::string out;
        ASSERT_EQ(RunDriver(road_, clean_, "", &out), 0) << out;
        ASSERT_NE(out.find("E_quit=0"), std::string::npos) << out;
        for (const Step &s : ReadSteps(ReadFile(clean_ + ".ops"), ""))
            if (s.n > 0)
                kinds_.push_back(s.kind);
        ASSERT_FALSE(kinds_.empty()) << "the clean " << road_ << " pass changed nothing";
        cleanLog_ = LogShapes(ReadFile(clean_ + "/server.log"));
        cleanRouterRecords_ = RouterRecords(clean_);
        Findings self;
        check_(clean_, clean_, RunKind{0, false}, true, &self);
        CheckOrder(ReadSteps(ReadFile(clean_ + ".ops"), ""), &self);
        CheckStrays(clean_, {}, &self);
        ASSERT_TRUE(self.violations.empty()) << "the clean run: " << self.violations.front();
        ASSERT_FALSE(self.waiting) << "the clean run left work for a later pass";
    }

    void Report(const std::string &where, const Findings &f)
    {
        for (const std::string &v : f.violations)
            if (++violations_ <= 25)
                ADD_FAILURE() << where << ": " << v;
    }

    /* Runs the road normally until nothing waits (at most twice) and
     * checks the end state, the order and the strays of every pass. */
    void Recover(const std::string &dir, RunKind kind, const std::set<std::string> &allowed,
                 const std::string &where, Renames carried = Renames())
    {
        Findings f;
        for (int pass = 1; pass <= 2 && (pass == 1 || f.waiting); ++pass) {
            std::string out;
            const int rc = RunDriver(road_, dir, "", &out);
            f = Findings();
            if (rc != 0)
                f.Add("the restarted gateway ended with " + std::to_string(rc) + ": " + out);
            check_(clean_, dir, kind, true, &f);
            CheckOrder(ReadSteps(ReadFile(dir + ".ops"), ""), &f, &carried);
        }
        if (f.waiting)
            f.Add("still waiting after two normal passes");
        CheckStrays(dir, allowed, &f);
        Report(where + " after restart", f);
    }

    /* The run at point N, checked, then recovered. */
    void RunPoint(size_t n, const std::string &mode)
    {
        const bool crash = mode == "crash", full = mode == "full";
        const std::string fault = crash  ? "crash:" + std::to_string(n)
                                  : full ? "fail:" + std::to_string(n) + "+:ENOSPC"
                                         : "fail:" + std::to_string(n) + ":" + mode;
        const std::string where = road_ + " " + fault + ": (" + kinds_[n - 1] + ")";
        const std::string dir = sweep_ / "run";
        CopyTree(template_, dir);
        std::string out;
        const int rc = RunDriver(road_, dir, fault, &out);
        points_++;
        Findings f;
        if (rc != (crash ? kCrashExit : 0))
            f.Add("the pass ended with " + std::to_string(rc) + ": " + out);
        Renames carried;
        const std::set<std::string> failedDeletes =
            CheckOrder(ReadSteps(ReadFile(dir + ".ops"), fault), &f, &carried);
        const RunKind kind{1, !crash && !full};
        check_(clean_, dir, kind, false, &f);
        const std::set<std::string> allowed = crash ? Strays(dir) : failedDeletes;
        if (!crash) {
            CheckStrays(dir, allowed, &f);
            stopped_ += out.find("E_quit=1") != std::string::npos;
            const std::string log = ReadFile(dir + "/server.log");
            std::multiset<std::string> shapes = LogShapes(log);
            bool own = false;
            for (const std::string &s : shapes)
                own |= shapes.count(s) > cleanLog_.count(s);
            /* a failure inside the router after the hand-over is the
             * router's to record: dead mail in mail.box or a bounce */
            /* a write to a file the run then removed (a job or copy that
             * failed for its own content) changed nothing worth a line */
            bool moot = false;
            const std::vector<Step> steps = ReadSteps(ReadFile(dir + ".ops"), fault);
            for (const Step &a : steps)
                for (const Step &b : steps)
                    moot |= a.failed && a.kind == "write" && b.n > a.n && b.kind == "unlink" && b.path == a.path;
            if (!own && !moot && RouterRecords(dir) <= cleanRouterRecords_)
                f.Add("the failure left no log entry of its own");
            if (full)
                CheckFullDiskWaits(
                    ReadOutbound(dir).jobs.size() < ReadOutbound(clean_).jobs.size(), out, log, &f);
        }
        Report(where, f);
        Recover(dir, kind, allowed, where, carried);
    }

    SweepDir sweep_;
    const std::string param_ = GetParam(), road_ = param_.substr(0, param_.find(' ')),
                      mode_ = param_.substr(param_.find(' ') + 1);
    const std::string template_ = sweep_ / "template", clean_ = sweep_ / "clean";
    const RoadCheck check_ = CheckerOf(road_);
    std::vector<std::string> kinds_;
    std::multiset<std::string> cleanLog_;
    size_t cleanRouterRecords_ = 0;
    int points_ = 0, violations_ = 0, stopped_ = 0;
};

TEST_P(RoadSweep, LosesNothingAndKeepsOrder)
{
    ASSERT_NO_FATAL_FAILURE(Prepare());
    for (size_t n = 1; n <= kinds_.size(); n += (size_t)SweepStep())
        if (mode_ != "full" || kinds_[n - 1] == "create" || kinds_[n - 1] == "fsync" ||
            kinds_[n - 1] == "rename")
            RunPoint(n, mode_);
    std::printf("[ sweep    ] %s: %zu operations, %d points tried (step %d), %d violations, %d "
                "runs set the stop flag\n",
                param_.c_str(), kinds_.size(), points_, SweepStep(), violations_, stopped_);
    EXPECT_GT(points_, 0);
    EXPECT_EQ(violations_, 0);
}

INSTANTIATE_TEST_SUITE_P(CrashSweep, RoadSweep,
                         ::testing::Values("outbound crash", "outbound EIO", "outbound ENOSPC",
                                           "outbound full", "inbound crash", "inbound EIO",
                                           "inbound ENOSPC", "activity crash", "activity EIO",
                                           "activity ENOSPC"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             name[name.find(' ')] = '_';
                             return name;
                         });

/* ---- the checkers themselves: damage that loses or spoils something
 * must be caught, or a sweep with no violations would prove nothing ---- */

/* The violation that has PART, or "" (a missing one shows them all). */
std::string Find(const std::vector<std::string> &violations, const std::string &part)
{
    std::string all;
    for (const std::string &v : violations) {
        if (!part.empty() && v.find(part) != std::string::npos)
            return "";
        all += v + "\n";
    }
    return part.empty() ? all : "want: " + part + "\ngot:\n" + all;
}

TEST(CrashSweepChecker, FlagsEveryKindOfDamage)
{
    using Apply = std::function<void(const std::string &dir)>;
    auto put = [](const std::string &path, const std::string &text = "x") -> Apply {
        return [=](const std::string &d) { vqtest::WriteFile(d + kSpool + path, text); };
    };
    auto del = [](const std::string &path) -> Apply {
        return [=](const std::string &d) { EXPECT_TRUE(fs::remove(d + kSpool + path)) << path; };
    };
    auto copy = [](const std::string &from, const std::string &to) -> Apply {
        return [=](const std::string &d) { fs::copy_file(d + kSpool + from, d + kSpool + to); };
    };
    auto drop = [](const std::string &db, const std::string &subject) -> Apply {
        return [=](const std::string &d) {
            DBHANDLE h = NULLHANDLE;
            UseDataDirectory(d), NSFDbOpen(db.c_str(), &h);
            for (const Mail &m : vqtest::ReadMessages(db))
                EXPECT_TRUE(m.subject != subject || NSFNoteDelete(h, m.id, 0) == NOERROR);
            NSFDbClose(h);
        };
    };
    struct Damage {
        const char *road;
        bool afterClean; /* damage the clean run's result, else the untouched set-up */
        std::vector<Apply> apply;
        const char *want; /* part of the violation the checker must report */
    };
    const Damage damages[] = {
        {"outbound", true, {put("/FAX/OUT/00000000", "\x03\nSend-to: x\nSubject: Crash A\n")},
         "job of \"Crash A\" differs from the clean run's"},
        {"outbound", true, {del("/FAX/OUT/00000001")}, "\"Crash B\" is gone without its job"},
        {"outbound", true, {del("/FAX/OPARCEL/00000000")}, "missing attachment 00000000"},
        {"outbound", true, {put("/FAX/OPARCEL/00000000")}, "attachments of the job of \"Crash A\""},
        {"outbound", true, {put("/FAX/OUT/00000042", "\x03\nSend-to: ")}, "00000042 is not a"},
        {"outbound", true,
         {copy("/FAX/OUT/00000003", "/FAX/OUT/00000010"),
          copy("/FAX/OUT/00000003", "/FAX/OUT/00000011")}, "3 jobs for \"Crash D\""},
        {"outbound", true, {put("/FAX/OUT/00000007.INC")}, "stray work file"},
        {"outbound", true, {put("/FAX/OPARCEL/00000042")}, "OPARCEL/00000042"},
        {"inbound", true, {put("/../../work/00000000.TMP")}, "work/00000000.TMP"},
        {"inbound", false, {del("/FAX/IN/ST000001")},
         "ST000001 (\"Inbound one\") is gone from FAX/IN without its mail"},
        {"inbound", false, {del("/FAX/IPARCEL/RX000002")}, "its image RX000002 is gone"},
        {"inbound", true, {drop("fadmin.nsf", "Inbound six")}, "ST000006 (\"Inbound six\") is gone from FAX/IN without its mail in fadmin.nsf"},
        {"outbound", true, {drop("vortiq.box", "Crash P")}, "held message \"Crash P\" is lost"},
        {"activity", false, {del("/UTIL/DATA/ACTIVITY.LOG")},
         "activity line of job 0101 was never imported"},
        {"activity", true, {put("/PUBLIC/SVCQ")}, "the queue file PUBLIC/SVCQ was changed"},
    };
    SweepDir sweep;
    ASSERT_FALSE(sweep.path.empty());
    for (const char *road : {"outbound", "inbound", "activity"}) {
        const std::string tmpl = sweep / (std::string(road) + ".template");
        fs::create_directories(tmpl);
        ASSERT_EQ(RunDriver(std::string("setup-") + road, tmpl), 0) << ReadFile(tmpl + ".out");
        CopyTree(tmpl, sweep / (std::string(road) + ".clean"));
        ASSERT_EQ(RunDriver(road, sweep / (std::string(road) + ".clean")), 0);
    }
    for (const Damage &dmg : damages) {
        SCOPED_TRACE(std::string(dmg.road) + ": " + dmg.want);
        const std::string road = dmg.road, clean = sweep / (road + ".clean");
        const std::string dir = sweep / "damaged";
        CopyTree(sweep / (road + (dmg.afterClean ? ".clean" : ".template")), dir);
        g_queueAtStart = ReadFile(sweep / (road + ".template") + kSpool + "/PUBLIC/SVCQ");
        auto findings = [&]() {
            Findings f;
            CheckerOf(road)(clean, dir, RunKind{0, false}, dmg.afterClean, &f);
            CheckStrays(dir, {}, &f);
            return f.violations;
        };
        EXPECT_EQ(Find(findings(), ""), "") << "untouched, the state passes";
        for (const Apply &apply : dmg.apply)
            apply(dir);
        EXPECT_EQ(Find(findings(), dmg.want), "");
    }

    /* the order rules, each on a log that breaks it (and on its fix) */
    const std::string s = "/d" + std::string(kSpool), inc = s + "/FAX/OUT/1.INC";
    const std::string job = "1 create " + inc + "\n2 write " + inc + "\n";
    const std::string sync = "3 fsync " + inc + "\n";
    const std::string moved = "4 rename " + inc + " " + s + "/FAX/OUT/1\n";
    const std::string dirsync = "- dirsync " + s + "/FAX/OUT\n", purge = "5 commit /d/vortiq.box\n";
    const std::string store = "3 commit /d/mail.box\n", env = "1 write " + s + "/FAX/ERROR/1.ENV\n";
    const std::string unlinkIn = "4 unlink " + s + "/FAX/IN/ST1\n", read = "- read " + s + "/FAX/IN/ST";
    const struct {
        std::string log, fault, want; /* want "": no violation */
    } orders[] = {
        {job + sync + moved + dirsync + purge, "", ""},
        {job + moved + dirsync, "", "was renamed to /d/spool/TMBFAX/FAX/OUT/1 before its fsync"},
        {job + sync + moved + purge + dirsync, "", "folder was not fsynced before the commit"},
        {moved, "", "not fsynced before the end"},
        {env + store, "", "1.ENV was not fsynced before the commit"},
        {env + store, "fail:1+:ENOSPC", ""},
        {read + "1\n" + store + unlinkIn + "5 unlink " + s + "/FAX/IPARCEL/RX1\n", "", ""},
        {read + "1\n1 commit /d/jroe.nsf\n" + unlinkIn, "", "ST1 was deleted before a commit to mail.box"},
        {store + unlinkIn, "", "ST1 was deleted before a commit to mail.box"},
        {read + "1\n- held " + s + "/FAX/IN/ST1\n" + unlinkIn, "", ""},
        {read + "1\n" + store + read + "2\n" + unlinkIn + "5 unlink " + s + "/FAX/IN/ST2\n", "", "ST2 was deleted before"},
        {read + "1\n" + read + "2\n" + store + unlinkIn + "5 unlink " + s + "/FAX/IN/ST2\n", "", ""},
        {store + "4 unlink " + s + "/FAX/IPARCEL/RX1\n", "", "RX1 was deleted before its control"},
    };
    for (const auto &c : orders) {
        Findings f;
        CheckOrder(ReadSteps(c.log, c.fault), &f);
        EXPECT_EQ(Find(f.violations, c.want), "") << c.log;
    }
    /* a crash right after a rename: the restarted run fsyncs the folder first */
    for (const auto &restart : {std::make_pair(dirsync + purge, std::string()),
                                std::make_pair(purge, std::string("not fsynced before the commit"))}) {
        Findings f;
        Renames carried;
        CheckOrder(ReadSteps(job + sync + moved, "crash:4"), &f, &carried);
        CheckOrder(ReadSteps(restart.first, ""), &f, &carried);
        EXPECT_EQ(Find(f.violations, restart.second), "") << restart.first;
    }

    /* a job failed on a full disk: the mail waits, logged, and nothing stops */
    Findings f;
    CheckFullDiskWaits(true, "E_quit=1\n", "no entry", &f);
    CheckFullDiskWaits(false, "E_quit=1\n", "no entry", &f);
    CheckFullDiskWaits(true, "E_quit=0\n", "VORTIQ: Mail waits for the next pass: from x", &f);
    EXPECT_EQ(f.violations.size(), 2u);
    EXPECT_EQ(vqtest::HandleCountAll(), 0u) << vqtest::DescribeHandles();
}

/* ---- regressions: faults the sweeps found, each held in place by a
 * small test of its own (in this process, through PortFaultArm) ---- */

class FaultRegression : public vqtest::GatewayTest {
protected:
    void SetUp() override
    {
        GatewayTest::SetUp();
        for (const char *d : {SPOOL_FAX_OUT, SPOOL_FAX_OPARCEL})
            vqtest::MakeDirs(spool_ + d);
        vqtest::CreateMailFile("mail.box", "Mail Router");
        VqCopy(FaxAdministrator, sizeof FaxAdministrator,
               vqtest::AddPerson("Fax Admin", "fadmin", "fadmin.nsf").c_str());
        vqtest::AddPerson("Jane Roe", "jroe", "jroe.nsf", "555-0100");
        VqCopy(GatewayMsgfile, sizeof GatewayMsgfile, "vortiq.box");
        VqCopy(DefRecipient, sizeof DefRecipient, "Jane Roe");
        ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
        ASSERT_EQ(chdir(data_.path().c_str()), 0); /* inbound body files */
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(cwd_), 0);
        GatewayTest::TearDown();
    }
    static bool Logged(const std::string &part)
    {
        for (const std::string &t : vqtest::LogTexts())
            if (t.find(part) != std::string::npos)
                return true;
        return false;
    }
    char cwd_[4096] = "";
};

/* A note that could not be saved stopped the import, and the rest of
 * ACTIVITY.RD was deleted unread: those sent-fax lines were lost. Then the
 * lines stored before a failure were imported a second time. A chunk whose
 * commit fails is redone whole, the chunks before it never again. */
TEST_F(FaultRegression, ActivityLinesAfterAFailedSaveWaitForTheNextCycle)
{
    vqtest::CreateActivityDb("TMB_ACT.NSF");
    const std::string rd = spool_ + "/UTIL/DATA/ACTIVITY.RD";
    std::string log;
    std::multiset<std::string> want;
    /* 80 KB: the offsets stored after the first 64 KB come from a stream
     * that has read its file a second time */
    for (int job = 1; job <= 1000; job++) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "%04d 03/05 09:07 TX 01 555-%-16d Jane Roe    002 0000 OK   0:42 9\r\n", job,
                      job);
        log += line;
        want.insert(std::string(line, 4));
    }
    vqtest::WriteFile(spool_ + "/UTIL/DATA/ACTIVITY.LOG", log);
    /* operation 1 stores the new file's offset 0, 2 is the rename, 3 commits
     * the first chunk (100 lines, fewer when it took a second), 12 the tenth */
    PortFaultArm(2, 12, EIO);
    ImportActivity();
    PortFaultArm(0, 0, 0);
    ASSERT_TRUE(Logged("Error committing activity entries")) << "the fault did not hit the tenth chunk";
    EXPECT_TRUE(FileExists(rd)) << "the unread lines were deleted";
    EXPECT_LT(vqtest::DocumentIds("TMB_ACT.NSF").size(), 1000u);

    ImportActivity();
    std::multiset<std::string> jobs;
    for (NOTEID id : vqtest::DocumentIds("TMB_ACT.NSF"))
        jobs.insert(vqtest::ItemText("TMB_ACT.NSF", id, "JobID"));
    EXPECT_EQ(jobs, want);
    EXPECT_FALSE(FileExists(rd));
}

/* A non-delivery report lost its recipients before the administrator's
 * mail was known to have gone, so a failed mail purged the report. */
TEST_F(FaultRegression, ReportStaysWhenTheAdministratorMailFails)
{
    vqtest::AddForeignDomain("FAXGATE", "vortiq.box");
    vqtest::Memo report;
    report.form = "NonDelivery Report";
    report.from = "Mail Router";
    report.sendTo = {"VORTIQ@FAXGATE"};
    report.subject = "Delivery Failure Report";
    report.textItems = {{"IntendedRecipient", "Zed Fax@555.0500@FAXGATE"},
                        {"FailureReason", "Line busy"}};
    ASSERT_EQ(vqtest::SendMemo(report), NOERROR);
    ASSERT_EQ(MailOpenMessageFile("vortiq.box", &hMessageFile), NOERROR);

    /* operation 1 saves the administrator's mail in mail.box */
    PortFaultArm(2, 1, EIO);
    OutboundTask();
    PortFaultArm(0, 0, 0);
    EXPECT_TRUE(Logged("Can not route error message to Admin"));
    EXPECT_EQ(E_quit, 0) << "a failed mail to the administrator waits, it does not stop";
    EXPECT_EQ(vqtest::DocumentIds("vortiq.box").size(), 1u) << "the report was purged";

    E_quit = 0;
    OutboundTask();
    MailCloseMessageFile(hMessageFile);
    hMessageFile = NULLHANDLE;
    EXPECT_TRUE(vqtest::DocumentIds("vortiq.box").empty());
    ASSERT_EQ(vqtest::DocumentIds("fadmin.nsf").size(), 1u);
    EXPECT_NE(vqtest::ItemText("fadmin.nsf", vqtest::DocumentIds("fadmin.nsf")[0], "Body")
                  .find("Zed Fax@555.0500@FAXGATE"),
              std::string::npos);
}

/* A delivered control file that could not be deleted stayed in FAX/IN,
 * but its image was deleted all the same: the next pass could not attach
 * it and sent the delivered fax to FAX/ERROR with an error mail. */
TEST_F(FaultRegression, ControlFileThatCannotBeDeletedKeepsItsImage)
{
    const std::string control = spool_ + "/FAX/IN/ST000001";
    const std::string image = spool_ + "/FAX/IPARCEL/RX000001";
    auto drop = [&](const std::string &subject) {
        vqtest::WriteFile(image, std::string("II*\0image", 9));
        vqtest::WriteFile(control, "To: Jane Roe\r\nSubject: " + subject + "\r\nAttachment: RX000001\r\n\r\n"
                                   "Pages Received: 1\r\n");
    };
    /* a clean pass counts the operations: the last two delete the
     * control file and then its image */
    drop("Kept");
    PortFaultArm(0, 0, 0);
    DoInboundTask();
    const long operations = PortFaultCount();
    ASSERT_FALSE(FileExists(control));
    ASSERT_GE(operations, 2);
    ASSERT_EQ(vqtest::DocumentIds("jroe.nsf").size(), 1u);
    vqtest::ClearLog();

    drop("Kept again");
    PortFaultArm(2, operations - 1, EIO);
    DoInboundTask();
    PortFaultArm(0, 0, 0);
    EXPECT_TRUE(FileExists(control));
    EXPECT_TRUE(FileExists(image)) << "the image went while its control file stayed";
    EXPECT_TRUE(Logged("ST000001")) << "the failed delete was not logged";

    /* the next pass removes it without a second copy; nothing goes to FAX/ERROR */
    DoInboundTask();
    EXPECT_FALSE(FileExists(control));
    EXPECT_FALSE(FileExists(image));
    EXPECT_TRUE(ListDir(spool_ + "/FAX/ERROR").empty());
    EXPECT_EQ(vqtest::DocumentIds("jroe.nsf").size(), 2u);
}

}  // namespace
