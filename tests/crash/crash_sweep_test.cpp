/*
 * crash_sweep_test.cpp - crash and fault sweeps over the gateway's three
 * roads (outbound mail to fax jobs, inbound control files to mail, the
 * activity log and queue into the activity database).
 *
 * For each road a data directory is prepared once by vq_crash_driver; a
 * clean pass over a copy counts the road's durable operations (through
 * VORTIQ_FAULT_LOG) and gives the reference outcome. Then, for every
 * operation N, a fresh copy is run with a crash right after N (then once
 * more normally, as the restarted gateway would), or with the N-th
 * operation failing with EIO or ENOSPC (then once more normally). After
 * every run the state on disk and in the databases must be one that loses
 * nothing:
 *   outbound: each mail is a complete job in FAX/OUT (a duplicate at most
 *     once per injected event), or still waiting in the gateway mail file,
 *     or (only when a failure was injected) refused with a report to its
 *     sender or an error copy for the administrator; no name without
 *     extension holds anything but a complete job;
 *   inbound: each control file is delivered to every recipient of the
 *     clean run (at most once more per event), or in FAX/ERROR, or still in
 *     FAX/IN with its image; a control file is never gone without its mail;
 *   activity: each sent-fax line is in the database or still in the log
 *     (ACTIVITY.LOG or ACTIVITY.RD); the queue file is never changed.
 * After the normal run nothing may still be waiting. A failure must leave
 * a log entry that the clean run does not have, and the process must end
 * normally with no handle left open.
 *
 * Sweep directories live on /dev/shm when it is writable (fsync costs
 * nothing there; the crashes are process crashes, so this loses no
 * coverage), else under TMPDIR; VORTIQ_SWEEP_TMP names another place.
 * VORTIQ_SWEEP_STEP=K tries every K-th point only, for slow
 * (sanitizer) builds; VORTIQ_SWEEP_SHOW=N prints the log and the spool of
 * the run at point N, to study a finding.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

extern char **environ;

namespace {

namespace fs = std::filesystem;
using vqtest::FileExists;
using vqtest::ListDir;
using vqtest::ReadFile;
using vqtest::SplitLines;

const char kDriver[] = VQ_CRASH_DRIVER;
const int kCrashExit = 86;
const char kSpool[] = "/spool/TMBFAX";

/* ---------------------------------------------------------------------
 * Running the driver
 * ------------------------------------------------------------------- */

/* Where sweep directories go (see the file comment). */
std::string SweepBase()
{
    const char *own = std::getenv("VORTIQ_SWEEP_TMP");
    if (own != nullptr && *own != '\0')
        return own;
    if (access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    const char *tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

/* Prints what a run left: its log, its output and the spool folders. */
void ShowRun(const std::string &where, const std::string &dir, const std::string &out)
{
    const char *show = std::getenv("VORTIQ_SWEEP_SHOW");
    if (show == nullptr || where.find(":" + std::string(show) + ":") == std::string::npos)
        return;
    std::printf("==== %s\n%s---- server.log\n%s", where.c_str(), out.c_str(),
                ReadFile(dir + "/server.log").c_str());
    for (const char *sub : {"/FAX/IN", "/FAX/IPARCEL", "/FAX/OUT", "/FAX/OPARCEL", "/FAX/ERROR",
                            "/UTIL/DATA"}) {
        std::printf("---- %s:", sub);
        for (const auto &n : ListDir(dir + kSpool + sub))
            std::printf(" %s", n.c_str());
        std::printf("\n");
    }
}

int SweepStep()
{
    const char *s = std::getenv("VORTIQ_SWEEP_STEP");
    int step = s != nullptr ? std::atoi(s) : 1;
    return step > 0 ? step : 1;
}

/* A folder for one sweep, removed with everything in it. */
class SweepDir {
public:
    SweepDir()
    {
        std::string tmpl = SweepBase() + "/vqcrash.XXXXXX";
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()) != nullptr)
            path_ = buf.data();
    }
    ~SweepDir()
    {
        std::error_code ec;
        if (!path_.empty())
            fs::remove_all(path_, ec);
    }
    SweepDir(const SweepDir &) = delete;
    SweepDir &operator=(const SweepDir &) = delete;
    bool ok() const { return !path_.empty(); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/* Runs the driver to its end, the fault settings in its environment only;
 * its exit code (-signal when a signal ended it) and its output. */
int RunDriver(const std::string &command, const std::string &dir, const std::string &fault,
              const std::string &faultLog, std::string *output = nullptr)
{
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "VORTIQ_FAULT", 12) != 0)
            env.push_back(*e);
    if (!fault.empty())
        env.push_back("VORTIQ_FAULT=" + fault);
    if (!faultLog.empty())
        env.push_back("VORTIQ_FAULT_LOG=" + faultLog);
    std::vector<char *> envp;
    for (auto &e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);

    const std::string outFile = dir + ".out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::string prog = kDriver;
    std::vector<char *> argv = {&prog[0], const_cast<char *>(command.c_str()),
                                const_cast<char *>(dir.c_str()), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, prog.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1000;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1001;
    if (output != nullptr)
        *output = ReadFile(outFile);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? -WTERMSIG(status) : -1002;
}

void CopyTree(const std::string &from, const std::string &to)
{
    std::error_code ec;
    fs::remove_all(to, ec);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

/* Log lines without their time stamp and with digit runs as "#", so that
 * file numbers and times do not make two runs' entries differ. */
std::multiset<std::string> LogShapes(const std::string &log)
{
    std::multiset<std::string> out;
    for (std::string line : SplitLines(log)) {
        size_t sep = line.find("  ");
        if (sep != std::string::npos)
            line.erase(0, sep + 2);
        std::string shape;
        for (char c : line)
            if (!(std::isdigit((unsigned char)c) && !shape.empty() && shape.back() == '#'))
                shape.push_back(std::isdigit((unsigned char)c) ? '#' : c);
        out.insert(shape);
    }
    return out;
}

/* ---------------------------------------------------------------------
 * Reading what a run left behind
 * ------------------------------------------------------------------- */

using Mail = vqtest::MailMessage;

/* Documents of a mail file, with their attachments; none when the file
 * does not exist. */
std::vector<Mail> ReadMails(const std::string &dataDir, const std::string &db)
{
    if (!FileExists(dataDir + "/" + db))
        return {};
    return vqtest::ReadMessages(db);
}

/* An attachment's bytes, or nullptr when the mail has none of that name. */
const std::string *Attachment(const Mail &m, const std::string &name)
{
    for (const auto &a : m.attachments)
        if (a.first == name)
            return &a.second;
    return nullptr;
}

/* Points the stand-in at a data directory for reading. */
void UseDataDirectory(const std::string &dir)
{
    vqtest::SetDataDirectory(dir);
    vqtest::SetLogEcho(false);
}

/* The value after "\n<key>: " up to the line end, or "" when absent. */
std::string HeaderValue(const std::string &job, const std::string &key)
{
    const std::string head = "\n" + key + ": ";
    size_t at = job.find(head);
    if (at == std::string::npos)
        return "";
    at += head.size();
    size_t end = job.find('\n', at);
    return job.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::vector<std::string> SplitComma(const std::string &list)
{
    std::vector<std::string> out;
    size_t start = 0;
    while (!list.empty() && start <= list.size()) {
        size_t comma = list.find(", ", start);
        out.push_back(list.substr(start, comma == std::string::npos ? std::string::npos
                                                                    : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 2;
    }
    return out;
}

/* A job file with its numbered names and its date line taken out. */
std::string NormalizedJob(const std::string &job)
{
    std::string out;
    for (const std::string &line : SplitLines(job)) {
        if (line.rfind("Date: ", 0) == 0)
            continue;
        if (line.rfind("Attachment: ", 0) == 0) {
            out += "Attachment: " + std::to_string(SplitComma(line.substr(12)).size()) + " files\n";
            continue;
        }
        out += line + "\n";
    }
    return out;
}

/* ---------------------------------------------------------------------
 * The state of each road, and what must hold for it
 * ------------------------------------------------------------------- */

/* What one run may have done: how many events (crashes or failures) it
 * met, and whether a failure (not only a crash) was injected. */
struct RunKind {
    int events = 0;
    bool failure = false;
};

struct Findings {
    std::vector<std::string> violations;
    bool waiting = false; /* something is left for a later pass */
    void Add(const std::string &what) { violations.push_back(what); }
};

/* ---- outbound ---- */

struct OutboundJob {
    std::string normalized;
    std::vector<std::string> attachmentBytes;
};

struct OutboundState {
    std::map<std::string, std::vector<OutboundJob>> jobs; /* subject -> complete jobs */
    std::map<std::string, int> waiting;                   /* subject -> in vortiq.box */
    std::set<std::string> refused;    /* subjects with a report or an error copy */
    int forwarded = 0;                /* reports forwarded to the administrator */
    bool adminBounced = false;        /* the administrator's mail came back */
    std::vector<std::string> broken;  /* names without extension that are no job */
};

const char kForwardedReport[] = "Crash E report";
const char kForwardedIntended[] = "Zed Fax@555.0500@FAXGATE";

OutboundState ReadOutbound(const std::string &dir)
{
    OutboundState st;
    UseDataDirectory(dir);
    const std::string out = dir + kSpool + "/FAX/OUT";
    const std::string parcel = dir + kSpool + "/FAX/OPARCEL";
    const std::string error = dir + kSpool + "/FAX/ERROR";
    std::map<std::string, std::string> owner; /* attachment file -> job */

    for (const std::string &name : ListDir(out)) {
        if (name.find('.') != std::string::npos)
            continue; /* work files the fax server leaves alone */
        const std::string job = ReadFile(out + "/" + name);
        const std::string subject = HeaderValue(job, "Subject");
        if (job.empty() || job[0] != '\x03' || subject.empty() ||
            job.find("\nSend-to: ") == std::string::npos) {
            st.broken.push_back(name + " is not a complete job");
            continue;
        }
        OutboundJob j;
        j.normalized = NormalizedJob(job);
        for (const std::string &file : SplitComma(HeaderValue(job, "Attachment"))) {
            if (!FileExists(parcel + "/" + file)) {
                st.broken.push_back(name + " names the missing attachment " + file);
                continue;
            }
            if (owner.count(file) != 0)
                st.broken.push_back(name + " shares attachment " + file + " with " + owner[file]);
            owner[file] = name;
            j.attachmentBytes.push_back(ReadFile(parcel + "/" + file));
        }
        st.jobs[subject].push_back(j);
    }
    for (const std::string &name : ListDir(error))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".ENV") == 0)
            st.refused.insert(HeaderValue(ReadFile(error + "/" + name), "Subject"));

    for (const Mail &m : ReadMails(dir, "vortiq.box")) {
        st.waiting[m.subject]++;
        st.adminBounced |= m.subject.rfind("Delivery Failure Report: Fax Gateway Error", 0) == 0;
    }
    st.adminBounced |= ReadFile(dir + "/server.log").find("Non-Delivery is to admin") !=
                       std::string::npos;
    for (const char *sender : {"jroe.nsf", "jdoe.nsf"})
        for (const Mail &m : ReadMails(dir, sender))
            if (m.subject.rfind("Delivery Failure Report: ", 0) == 0)
                st.refused.insert(m.subject.substr(25));
    for (const Mail &m : ReadMails(dir, "fadmin.nsf")) {
        for (const std::string &line : m.body)
            if (line.find(kForwardedIntended) != std::string::npos) {
                st.forwarded++;
                break;
            }
        if (const std::string *env = Attachment(m, "ENVELOPE.BAD"))
            st.refused.insert(HeaderValue(*env, "Subject"));
    }
    return st;
}

void CheckOutbound(const OutboundState &ref, const OutboundState &got, RunKind kind, Findings *f)
{
    for (const std::string &b : got.broken)
        f->Add("FAX/OUT: " + b);
    for (const auto &entry : got.jobs)
        if (ref.jobs.count(entry.first) == 0)
            f->Add("FAX/OUT holds a job for \"" + entry.first + "\" that no mail asked for");

    for (const auto &entry : ref.jobs) {
        const std::string &subject = entry.first;
        const OutboundJob &want = entry.second.at(0);
        auto it = got.jobs.find(subject);
        const size_t jobs = it == got.jobs.end() ? 0 : it->second.size();
        for (size_t i = 0; i < jobs; ++i) {
            const OutboundJob &have = it->second[i];
            if (have.normalized != want.normalized)
                f->Add("job of \"" + subject + "\" differs from the clean run's:\n" +
                       have.normalized + "--- want ---\n" + want.normalized);
            else if (have.attachmentBytes != want.attachmentBytes)
                f->Add("attachments of the job of \"" + subject + "\" differ from the clean run's");
        }
        if (jobs > 1 + (size_t)kind.events)
            f->Add(std::to_string(jobs) + " jobs for \"" + subject + "\"");
        const bool waiting = got.waiting.count(subject) != 0;
        const bool refused = kind.failure && got.refused.count(subject) != 0;
        if (jobs == 0 && !waiting && !refused)
            f->Add("mail \"" + subject + "\" is gone without its job");
        f->waiting |= waiting;
    }

    /* When the router bounces the administrator's mail back to the
     * gateway, the gateway logs that its own mail bounced and stops:
     * forwarding it again would only bounce again. */
    const bool reportWaiting = got.waiting.count(kForwardedReport) != 0;
    if (got.forwarded == 0 && !reportWaiting && !(kind.failure && got.adminBounced))
        f->Add("the non-delivery report is gone without reaching the administrator");
    if (got.forwarded > 1 + kind.events)
        f->Add(std::to_string(got.forwarded) + " forwarded copies of the report");
    f->waiting |= reportWaiting;
}

/* ---- inbound ---- */

struct InboundState {
    std::set<std::string> inFiles, errorFiles, parcelFiles;
    /* subject -> mail file -> delivered copies (body + attachments) */
    std::map<std::string, std::map<std::string, std::vector<Mail>>> delivered;
    std::set<std::string> heldByRouter; /* subjects the router still holds in mail.box */
};

const char *const kInboundMailFiles[] = {"jroe.nsf", "jdoe.nsf", "fadmin.nsf"};

/* Control file name -> subject, as the driver writes them. */
const std::map<std::string, std::string> &InboundFaxes()
{
    static const std::map<std::string, std::string> faxes = {
        {"ST000001", "Inbound one"},   {"ST000002", "Inbound two"},
        {"ST000003", "Inbound three"}, {"ST000004", "Inbound four"},
        {"ST000005", "Inbound five"},
    };
    return faxes;
}

InboundState ReadInbound(const std::string &dir)
{
    InboundState st;
    UseDataDirectory(dir);
    for (const auto &n : ListDir(dir + kSpool + "/FAX/IN"))
        st.inFiles.insert(n);
    for (const auto &n : ListDir(dir + kSpool + "/FAX/ERROR"))
        st.errorFiles.insert(n);
    for (const auto &n : ListDir(dir + kSpool + "/FAX/IPARCEL"))
        st.parcelFiles.insert(n);
    for (const char *db : kInboundMailFiles)
        for (const Mail &m : ReadMails(dir, db))
            st.delivered[m.subject][db].push_back(m);
    for (const Mail &m : ReadMails(dir, "mail.box"))
        st.heldByRouter.insert(m.subject);
    return st;
}

void CheckInbound(const InboundState &ref, const InboundState &got, RunKind kind, Findings *f)
{
    for (const auto &fax : InboundFaxes()) {
        const std::string &name = fax.first;
        const std::string &subject = fax.second;
        std::string image = name;
        image.replace(0, 2, "RX");
        const bool inIn = got.inFiles.count(name) != 0;
        const bool inError = got.errorFiles.count(name + ".BAD") != 0;
        if (inIn && got.parcelFiles.count(image) == 0)
            f->Add(name + " waits in FAX/IN but its image " + image + " is gone");

        auto want = ref.delivered.find(subject);
        auto have = got.delivered.find(subject);
        bool complete = want != ref.delivered.end();
        if (have != got.delivered.end())
            for (const auto &copies : have->second)
                if (want == ref.delivered.end() || want->second.count(copies.first) == 0)
                    f->Add("\"" + subject + "\" reached " + copies.first +
                           ", which the clean run did not");
        if (want != ref.delivered.end()) {
            for (const auto &expected : want->second) {
                const Mail &model = expected.second.at(0);
                size_t copies = 0;
                if (have != got.delivered.end() && have->second.count(expected.first) != 0) {
                    for (const Mail &m : have->second.at(expected.first)) {
                        if (m.body != model.body || m.attachments != model.attachments)
                            f->Add("\"" + subject + "\" in " + expected.first +
                                   " differs from the clean run's mail");
                        copies++;
                    }
                }
                if (copies == 0)
                    complete = false;
                if (copies > 1 + (size_t)kind.events)
                    f->Add(std::to_string(copies) + " copies of \"" + subject + "\" in " +
                           expected.first);
            }
        }
        /* once handed over, the mail is the router's, which keeps what it
         * cannot deliver in mail.box */
        const bool held = got.heldByRouter.count(subject) != 0;
        if (!inIn && !inError && !complete && !held)
            f->Add(name + " (\"" + subject + "\") is gone from FAX/IN without its mail");
        f->waiting |= inIn;
    }
}

/* ---- activity ---- */

struct ActivityEntry {
    std::string to, explanation, type;
};

struct ActivityState {
    std::multimap<std::string, ActivityEntry> entries; /* JobID -> entry */
    std::set<std::string> waitingJobs;                 /* jobs still in LOG or RD */
    bool logFilesLeft = false;
    std::string queue;
};

const char *const kActivityLines[] = {"0101", "0102", "0103", "0104", "0105", "0106"};
const char *const kQueueJobs[] = {"0201", "0202", "0203"};

ActivityState ReadActivity(const std::string &dir)
{
    ActivityState st;
    UseDataDirectory(dir);
    for (NOTEID id : vqtest::DocumentIds("TMB_ACT.NSF")) {
        ActivityEntry e;
        e.to = vqtest::ItemText("TMB_ACT.NSF", id, "To");
        e.explanation = vqtest::ItemText("TMB_ACT.NSF", id, "Explanation");
        e.type = vqtest::ItemText("TMB_ACT.NSF", id, "Type");
        st.entries.emplace(vqtest::ItemText("TMB_ACT.NSF", id, "JobID"), e);
    }
    for (const char *file : {"/UTIL/DATA/ACTIVITY.LOG", "/UTIL/DATA/ACTIVITY.RD"}) {
        const std::string path = dir + kSpool + file;
        if (!FileExists(path))
            continue;
        st.logFilesLeft = true;
        for (const std::string &line : SplitLines(ReadFile(path)))
            if (line.size() >= 4)
                st.waitingJobs.insert(line.substr(0, 4));
    }
    st.queue = ReadFile(dir + kSpool + "/PUBLIC/SVCQ");
    return st;
}

/* The entry the clean run made for a job matches one of the run's. */
bool HasEntryLike(const ActivityState &got, const ActivityState &ref, const std::string &job)
{
    auto want = ref.entries.find(job);
    if (want == ref.entries.end())
        return false;
    auto range = got.entries.equal_range(job);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second.to == want->second.to && it->second.explanation == want->second.explanation &&
            it->second.type == want->second.type)
            return true;
    return false;
}

void CheckActivity(const ActivityState &ref, const ActivityState &got, RunKind, Findings *f,
                   const std::string &queueAtStart)
{
    if (got.queue != queueAtStart)
        f->Add("the queue file PUBLIC/SVCQ was changed");
    for (const char *job : kActivityLines) {
        const bool waiting = got.waitingJobs.count(job) != 0;
        if (!HasEntryLike(got, ref, job) && !waiting)
            f->Add(std::string("activity line of job ") + job + " was never imported");
    }
    f->waiting |= got.logFilesLeft;
}

/* After the gateway ran normally again, the queue must be listed too. */
void CheckQueueListed(const ActivityState &ref, const ActivityState &got, Findings *f)
{
    for (const char *job : kQueueJobs)
        if (!HasEntryLike(got, ref, job))
            f->Add(std::string("queued job ") + job + " has no entry");
}

/* ---------------------------------------------------------------------
 * One road's sweep
 * ------------------------------------------------------------------- */

struct Road {
    std::string name;
    /* reads the state of a run and checks it against the clean run's */
    std::function<void(const std::string &ref, const std::string &dir, RunKind, bool restarted,
                       Findings *)>
        check;
};

/* The roads, with checkers that compare a directory against the clean
 * run's directory. The clean state is read again each time: it is small,
 * and this keeps the checkers free of cached state. */
Road OutboundRoad()
{
    return {"outbound", [](const std::string &ref, const std::string &dir, RunKind k, bool,
                           Findings *f) {
                OutboundState want = ReadOutbound(ref);
                CheckOutbound(want, ReadOutbound(dir), k, f);
            }};
}
Road InboundRoad()
{
    return {"inbound", [](const std::string &ref, const std::string &dir, RunKind k, bool,
                          Findings *f) {
                InboundState want = ReadInbound(ref);
                CheckInbound(want, ReadInbound(dir), k, f);
            }};
}
Road ActivityRoad(const std::string *queueAtStart)
{
    return {"activity",
            [queueAtStart](const std::string &ref, const std::string &dir, RunKind k,
                           bool restarted, Findings *f) {
                ActivityState want = ReadActivity(ref);
                ActivityState got = ReadActivity(dir);
                CheckActivity(want, got, k, f, *queueAtStart);
                if (restarted)
                    CheckQueueListed(want, got, f);
            }};
}

Road RoadNamed(const std::string &name, const std::string *queueAtStart)
{
    return name == "outbound" ? OutboundRoad()
           : name == "inbound" ? InboundRoad()
                               : ActivityRoad(queueAtStart);
}

struct Tally {
    int points = 0;
    int violations = 0;
    int silent = 0;   /* failures that left no log entry of their own */
    int stopped = 0;  /* runs that set the stop flag */
};

/* Operation kinds of a clean run, from its fault log ("N kind" lines). */
std::vector<std::string> OperationKinds(const std::string &faultLog)
{
    std::vector<std::string> kinds;
    for (const std::string &line : SplitLines(ReadFile(faultLog))) {
        size_t sp = line.find(' ');
        kinds.push_back(sp == std::string::npos ? "?" : line.substr(sp + 1));
    }
    return kinds;
}

class CrashSweep : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sweep_.ok()) << "no sweep folder under " << SweepBase();
        ASSERT_TRUE(FileExists(kDriver)) << kDriver;
    }
    void TearDown() override
    {
        EXPECT_EQ(vqtest::HandleCountAll(), 0u) << vqtest::DescribeHandles();
    }

    /* Prepares the road's directory and runs the clean pass over a copy:
     * its operations, its log and its outcome are the reference. */
    void Prepare(const std::string &road)
    {
        template_ = sweep_ / "template";
        clean_ = sweep_ / "clean";
        fs::create_directories(template_);
        ASSERT_EQ(RunDriver("setup-" + road, template_, "", ""), 0)
            << ReadFile(template_ + ".out");
        CopyTree(template_, clean_);
        const std::string opsLog = sweep_ / "clean.ops";
        std::string out;
        ASSERT_EQ(RunDriver(road, clean_, "", opsLog, &out), 0) << out;
        ASSERT_NE(out.find("E_quit=0"), std::string::npos) << out;
        kinds_ = OperationKinds(opsLog);
        ASSERT_FALSE(kinds_.empty()) << "the clean " << road << " pass changed nothing";
        cleanLog_ = LogShapes(ReadFile(clean_ + "/server.log"));
        cleanRouterRecords_ = RouterRecords(clean_);
    }

    /* What the router keeps of failures it met: the mail it holds in
     * mail.box and the non-delivery reports it made, in every mail file. */
    static size_t RouterRecords(const std::string &dir)
    {
        UseDataDirectory(dir);
        size_t n = vqtest::DocumentIds("mail.box").size();
        for (const std::string &name : ListDir(dir)) {
            if (name.size() < 4 || (name.compare(name.size() - 4, 4, ".nsf") != 0 &&
                                    name.compare(name.size() - 4, 4, ".box") != 0))
                continue;
            for (NOTEID id : vqtest::DocumentIds(name))
                n += vqtest::ItemText(name, id, "Form") == "NonDelivery Report";
        }
        return n;
    }

    /* The violations of a run, each tagged with where it happened. */
    void Report(const std::string &where, const Findings &f, Tally *t)
    {
        for (const std::string &v : f.violations) {
            t->violations++;
            if (t->violations <= 25)
                ADD_FAILURE() << where << ": " << v;
        }
    }

    /* Runs the road normally until nothing waits (at most twice) and
     * checks the end state. */
    void Recover(const Road &road, const std::string &dir, RunKind kind, const std::string &where,
                 Tally *t)
    {
        Findings f;
        for (int pass = 1; pass <= 2; ++pass) {
            std::string out;
            int rc = RunDriver(road.name, dir, "", "", &out);
            if (rc != 0) {
                f.Add("the restarted gateway ended with " + std::to_string(rc) + ": " + out);
                break;
            }
            f = Findings();
            road.check(clean_, dir, kind, true, &f);
            if (!f.waiting)
                break;
        }
        if (f.violations.empty() && f.waiting)
            f.Add("still waiting after two normal passes");
        Report(where + " after restart", f, t);
    }

    void SweepCrashes(const Road &road, Tally *t)
    {
        const std::string dir = sweep_ / "run";
        for (size_t n = 1; n <= kinds_.size(); n += (size_t)SweepStep()) {
            const std::string where = road.name + " crash:" + std::to_string(n) + ": (after " +
                                      kinds_[n - 1] + ")";
            CopyTree(template_, dir);
            std::string out;
            int rc = RunDriver(road.name, dir, "crash:" + std::to_string(n), "", &out);
            t->points++;
            ShowRun(where, dir, out);
            Findings f;
            if (rc != kCrashExit)
                f.Add("the pass ended with " + std::to_string(rc) + " instead of the crash: " + out);
            road.check(clean_, dir, RunKind{1, false}, false, &f);
            Report(where, f, t);
            Recover(road, dir, RunKind{1, false}, where, t);
        }
    }

    void SweepFailures(const Road &road, const char *errnoName, Tally *t)
    {
        const std::string dir = sweep_ / "run";
        for (size_t n = 1; n <= kinds_.size(); n += (size_t)SweepStep()) {
            const std::string where = road.name + " fail:" + std::to_string(n) + ":" + errnoName +
                                      " (" + kinds_[n - 1] + ")";
            CopyTree(template_, dir);
            std::string out;
            int rc = RunDriver(road.name, dir, "fail:" + std::to_string(n) + ":" + errnoName, "",
                               &out);
            t->points++;
            ShowRun(where, dir, out);
            Findings f;
            if (rc != 0)
                f.Add("the gateway did not keep running: exit " + std::to_string(rc) + ": " + out);
            if (out.find("E_quit=1") != std::string::npos)
                t->stopped++;
            std::multiset<std::string> shapes = LogShapes(ReadFile(dir + "/server.log"));
            bool own = false;
            for (const std::string &s : shapes)
                own |= shapes.count(s) > cleanLog_.count(s);
            /* A failure inside the router, after the gateway handed a mail
             * over, is the router's: it keeps the mail in mail.box (as dead
             * mail, with its reason) or bounces it, and that is its record. */
            if (!own)
                own = RouterRecords(dir) > cleanRouterRecords_;
            if (!own) {
                t->silent++;
                f.Add("the failure left no log entry of its own");
            }
            road.check(clean_, dir, RunKind{1, true}, false, &f);
            Report(where, f, t);
            Recover(road, dir, RunKind{1, true}, where, t);
        }
    }

    /* The whole sweep of one road in one mode, with its closing figures. */
    void Sweep(const Road &road, const std::string &mode)
    {
        Findings self;
        road.check(clean_, clean_, RunKind{0, false}, true, &self);
        ASSERT_TRUE(self.violations.empty()) << "the clean run: " << self.violations.front();
        ASSERT_FALSE(self.waiting) << "the clean run left work for a later pass";
        Tally t;
        if (mode == "crash")
            SweepCrashes(road, &t);
        else
            SweepFailures(road, mode.c_str(), &t);
        const int tried = (int)((kinds_.size() + (size_t)SweepStep() - 1) / (size_t)SweepStep());
        std::printf("[ sweep    ] %s %s: %zu operations, %d %s points tried (step %d), %d "
                    "violations, %d silent failures, %d runs set the stop flag\n",
                    road.name.c_str(), mode.c_str(), kinds_.size(), t.points,
                    mode == "crash" ? "crash" : "fault", SweepStep(), t.violations, t.silent,
                    t.stopped);
        RecordProperty("operations", (int)kinds_.size());
        RecordProperty("points", t.points);
        RecordProperty("violations", t.violations);
        RecordProperty("silent_failures", t.silent);
        EXPECT_EQ(t.points, tried);
        EXPECT_EQ(t.violations, 0);
    }

    SweepDir sweep_;
    std::string template_, clean_;
    std::vector<std::string> kinds_;
    std::multiset<std::string> cleanLog_;
    size_t cleanRouterRecords_ = 0;
};

/* ---- the sweeps: every road in every mode ---- */

struct SweepCase {
    const char *road, *mode;
};
void PrintTo(const SweepCase &c, std::ostream *os) { *os << c.road << " " << c.mode; }

class RoadSweep : public CrashSweep, public ::testing::WithParamInterface<SweepCase> {};

TEST_P(RoadSweep, LosesNothing)
{
    const std::string road = GetParam().road;
    ASSERT_NO_FATAL_FAILURE(Prepare(road));
    const std::string queue = ReadFile(template_ + kSpool + "/PUBLIC/SVCQ");
    Sweep(RoadNamed(road, &queue), GetParam().mode);
}

INSTANTIATE_TEST_SUITE_P(
    CrashSweep, RoadSweep,
    ::testing::Values(SweepCase{"outbound", "crash"}, SweepCase{"outbound", "EIO"},
                      SweepCase{"outbound", "ENOSPC"}, SweepCase{"inbound", "crash"},
                      SweepCase{"inbound", "EIO"}, SweepCase{"inbound", "ENOSPC"},
                      SweepCase{"activity", "crash"}, SweepCase{"activity", "EIO"},
                      SweepCase{"activity", "ENOSPC"}),
    [](const ::testing::TestParamInfo<SweepCase> &info) {
        return std::string(info.param.road) + "_" + info.param.mode;
    });

/* ---- the checkers themselves: damage that loses or spoils something
 * must be caught, or a sweep with no violations would prove nothing ---- */

struct Damage {
    const char *road;
    bool afterClean; /* damage the clean run's result, else the untouched set-up */
    const char *what;
    std::function<void(const std::string &dir)> apply;
    const char *want; /* part of the violation the checker must report */
};

void RemoveFile(const std::string &path)
{
    ASSERT_TRUE(fs::remove(path)) << path;
}

TEST(CrashSweepChecker, FlagsEveryKindOfDamage)
{
    const std::string out = std::string(kSpool) + "/FAX/OUT/";
    const std::string queue = "TMB_FAX_LANQUEUE3.00";
    const Damage damages[] = {
        {"outbound", true, "job cut short",
         [&](const std::string &d) {
             std::string job = ReadFile(d + out + "00000000");
             vqtest::WriteFile(d + out + "00000000", job.substr(0, job.size() - 5));
         },
         "differs from the clean run's"},
        {"outbound", true, "job removed after its mail left",
         [&](const std::string &d) { RemoveFile(d + out + "00000001"); },
         "\"Crash B\" is gone without its job"},
        {"outbound", true, "attachment file removed",
         [&](const std::string &d) { RemoveFile(d + kSpool + "/FAX/OPARCEL/00000000"); },
         "missing attachment 00000000"},
        {"outbound", true, "attachment file spoiled",
         [&](const std::string &d) {
             vqtest::WriteFile(d + kSpool + "/FAX/OPARCEL/00000000", "x");
         },
         "attachments of the job of \"Crash A\" differ"},
        {"outbound", true, "half-written job under a final name",
         [&](const std::string &d) { vqtest::WriteFile(d + out + "00000042", "\x03\nSend-to: "); },
         "00000042 is not a complete job"},
        {"outbound", true, "third copy of a job",
         [&](const std::string &d) {
             fs::copy_file(d + out + "00000003", d + out + "00000010");
             fs::copy_file(d + out + "00000003", d + out + "00000011");
         },
         "3 jobs for \"Crash D\""},
        {"inbound", false, "control file deleted before delivery",
         [&](const std::string &d) { RemoveFile(d + kSpool + "/FAX/IN/ST000001"); },
         "ST000001 (\"Inbound one\") is gone from FAX/IN without its mail"},
        {"inbound", false, "image deleted while its control file waits",
         [&](const std::string &d) { RemoveFile(d + kSpool + "/FAX/IPARCEL/RX000002"); },
         "its image RX000002 is gone"},
        {"activity", false, "activity log deleted unread",
         [&](const std::string &d) { RemoveFile(d + kSpool + "/UTIL/DATA/ACTIVITY.LOG"); },
         "activity line of job 0101 was never imported"},
        {"activity", true, "queue file rewritten",
         [&](const std::string &d) { vqtest::WriteFile(d + kSpool + "/PUBLIC/SVCQ", queue); },
         "the queue file PUBLIC/SVCQ was changed"},
    };

    SweepDir sweep;
    ASSERT_TRUE(sweep.ok());
    std::map<std::string, std::string> queues;
    for (const char *road : {"outbound", "inbound", "activity"}) {
        const std::string tmpl = sweep / (std::string(road) + ".template");
        const std::string clean = sweep / (std::string(road) + ".clean");
        fs::create_directories(tmpl);
        ASSERT_EQ(RunDriver(std::string("setup-") + road, tmpl, "", ""), 0) << ReadFile(tmpl + ".out");
        CopyTree(tmpl, clean);
        ASSERT_EQ(RunDriver(road, clean, "", ""), 0) << ReadFile(clean + ".out");
        queues[road] = ReadFile(tmpl + kSpool + "/PUBLIC/SVCQ");
    }

    for (const Damage &dmg : damages) {
        SCOPED_TRACE(std::string(dmg.road) + ": " + dmg.what);
        const std::string road = dmg.road;
        const std::string clean = sweep / (road + ".clean");
        const std::string dir = sweep / "damaged";
        CopyTree(sweep / (road + (dmg.afterClean ? ".clean" : ".template")), dir);

        /* untouched, the state passes */
        Findings before;
        Road r = RoadNamed(road, &queues[road]);
        r.check(clean, dir, RunKind{0, false}, dmg.afterClean, &before);
        EXPECT_TRUE(before.violations.empty()) << before.violations.front();

        dmg.apply(dir);
        Findings got;
        r.check(clean, dir, RunKind{0, false}, dmg.afterClean, &got);
        bool found = false;
        for (const std::string &v : got.violations)
            found |= v.find(dmg.want) != std::string::npos;
        EXPECT_TRUE(found) << "want a violation with: " << dmg.want << "\ngot "
                           << got.violations.size() << ":\n"
                           << (got.violations.empty() ? "" : got.violations.front());
    }
    EXPECT_EQ(vqtest::HandleCountAll(), 0u) << vqtest::DescribeHandles();
}

/* A sent-fax line of the activity log for a job number. */
std::string ActivityLineForTest(const std::string &job)
{
    char line[160];
    std::snprintf(line, sizeof line,
                  "%s 03/05 09:07 TX 01 %-20s %-11s 002 0000 OK   0:42 9\r\n", job.c_str(),
                  ("555-" + job).c_str(), "Jane Roe");
    return line;
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
        admin_ = vqtest::AddPerson("Fax Admin", "fadmin", "fadmin.nsf");
        vqtest::AddPerson("Jane Roe", "jroe", "jroe.nsf", "555-0100");
        VqCopy(GatewayMsgfile, sizeof GatewayMsgfile, "vortiq.box");
        VqCopy(FaxAdministrator, sizeof FaxAdministrator, admin_.c_str());
        VqCopy(DefRecipient, sizeof DefRecipient, "Jane Roe");
        ASSERT_EQ(getcwd(cwd_, sizeof cwd_) != nullptr, true);
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
    std::string admin_;
    char cwd_[4096] = "";
};

/* A note that could not be saved stopped the import, and the rest of
 * ACTIVITY.RD was deleted unread: those sent-fax lines were lost. */
TEST_F(FaultRegression, ActivityLinesAfterAFailedSaveWaitForTheNextCycle)
{
    vqtest::CreateActivityDb("TMB_ACT.NSF");
    const std::string rd = spool_ + "/UTIL/DATA/ACTIVITY.RD";
    vqtest::WriteFile(spool_ + "/UTIL/DATA/ACTIVITY.LOG",
                      ActivityLineForTest("0001") + ActivityLineForTest("0002") +
                          ActivityLineForTest("0003"));
    /* operation 1 is the rename, 2 saves the first line, 3 the second */
    PortFaultArm(2, 3, EIO);
    ImportActivity();
    PortFaultArm(0, 0, 0);
    ASSERT_TRUE(Logged("Error With Note Update")) << "the fault did not hit the second line";
    EXPECT_TRUE(FileExists(rd)) << "the unread lines were deleted";

    ImportActivity();
    std::set<std::string> jobs;
    for (NOTEID id : vqtest::DocumentIds("TMB_ACT.NSF"))
        jobs.insert(vqtest::ItemText("TMB_ACT.NSF", id, "JobID"));
    EXPECT_EQ(jobs, (std::set<std::string>{"0001", "0002", "0003"}));
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
    EXPECT_EQ(E_quit, 1);
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
    auto drop = [&]() {
        vqtest::WriteFile(image, std::string("II*\0image", 9));
        vqtest::WriteFile(control, "To: Jane Roe\r\nSubject: Kept\r\nAttachment: RX000001\r\n\r\n"
                                   "Pages Received: 1\r\n");
    };
    /* a clean pass counts the operations: the last two delete the
     * control file and then its image */
    drop();
    PortFaultArm(0, 0, 0);
    DoInboundTask();
    const long operations = PortFaultCount();
    ASSERT_FALSE(FileExists(control));
    ASSERT_GE(operations, 2);
    ASSERT_EQ(vqtest::DocumentIds("jroe.nsf").size(), 1u);
    vqtest::ClearLog();

    drop();
    PortFaultArm(2, operations - 1, EIO);
    DoInboundTask();
    PortFaultArm(0, 0, 0);
    EXPECT_TRUE(FileExists(control));
    EXPECT_TRUE(FileExists(image)) << "the image went while its control file stayed";
    EXPECT_TRUE(Logged("ST000001")) << "the failed delete was not logged";

    /* the next pass delivers it again, whole, and nothing goes to FAX/ERROR */
    DoInboundTask();
    EXPECT_FALSE(FileExists(control));
    EXPECT_FALSE(FileExists(image));
    EXPECT_TRUE(ListDir(spool_ + "/FAX/ERROR").empty());
    EXPECT_EQ(vqtest::DocumentIds("jroe.nsf").size(), 3u);
}

}  // namespace
