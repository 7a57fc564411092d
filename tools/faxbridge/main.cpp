/*
 * main.cpp - faxbridge: HylaFAX behind the gateway's spool tree.
 *
 *   faxbridge run -c CONF [--once]   the service: every interval one pass
 *   faxbridge hook -c CONF FILE DEVICE COMMID REASON [CALLID...]
 *                                    HylaFAX's FaxRcvdCmd: the received fax
 *                                    into FAX/IN + FAX/IPARCEL
 *   faxbridge check -c CONF NUMBER   the dial string and the policy's answer
 *
 * A pass: (1) HylaFAX's queue files are read (sendq, doneq); (2) every
 * ready job in FAX/OUT (no extension, not a dot name, not flock-locked) is
 * rendered and submitted, one sendfax per address, each intent committed
 * to the state file before sendfax runs and each HylaFAX job tagged
 * PREFIX:JOB:ADDRESS, so that after a crash an intent found in HylaFAX's
 * queue by its tag is adopted instead of submitted again; once every
 * address is submitted or refused the job and then its parcels (names kept
 * in the state, so a restart finishes a removal a crash cut) leave the spool;
 * (3) the transfer log etc/xferfaxlog is read on from the saved offset and
 * its SEND records of tagged jobs become activity lines, each appended
 * once even across a crash (an intent journaled with the offset); (4) jobs that
 * ended get their final activity line and, unless they asked for none,
 * a return status "Fax: SUBJECT" in FAX/IN; (5) PUBLIC/SVCQ is rewritten
 * from the waiting HylaFAX jobs under its lock. One log line per job event.
 */
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "bridge.h"
#include "fax_render.h"
#include "spool_files.h"
#include "spool_write.h"
#include "state.h"

extern char **environ;

using namespace faxbridge;
namespace sf = spoolfiles;

namespace {

volatile std::sig_atomic_t gStop = 0;
void OnSignal(int)
{
    gStop = 1;
}

void Log(const std::string &line)
{
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::cerr << stamp << " faxbridge: " << line << std::endl;
}

/* Runs argv, output and errors into out, killed after timeoutSeconds;
 * the exit status, or -1 when it could not run or was killed. */
int RunCapture(const std::vector<std::string> &argv, std::string &out, int timeoutSeconds)
{
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
    posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(pipefd[1]);
    if (rc != 0) {
        ::close(pipefd[0]);
        out = std::string("cannot run ") + argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool killed = false;
    char buf[4096];
    for (;;) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now())
                       .count();
        if (left <= 0) {
            ::kill(pid, SIGKILL);
            killed = true;
            break;
        }
        struct pollfd p = {pipefd[0], POLLIN, 0};
        int n = ::poll(&p, 1, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            continue;
        ssize_t got = ::read(pipefd[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        out.append(buf, (size_t)got);
    }
    ::close(pipefd[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (killed || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

/* A test's stand-in for a crash: FAXBRIDGE_CRASH=POINT ends the process
 * there, as a power failure would. */
void CrashPoint(const char *point)
{
    const char *want = std::getenv("FAXBRIDGE_CRASH");
    if (want != nullptr && std::strcmp(want, point) == 0)
        ::_exit(99);
}

/* Where in `bytes` the line that holds position at begins. */
size_t LineStart(const std::string &bytes, size_t at)
{
    if (at == 0)
        return 0;
    size_t nl = bytes.rfind('\n', at - 1);
    return nl == std::string::npos ? 0 : nl + 1;
}

std::string OneLine(std::string text)
{
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

/* HylaFAX's jobs: sendq (waiting) and doneq (ended), by tag and by id. */
struct HylaQueue {
    std::vector<QueueJob> jobs;
    bool complete = true; /* both folders were read */
    const QueueJob *ByTag(const std::string &tag) const
    {
        for (const auto &j : jobs)
            if (j.jobtag == tag)
                return &j;
        return nullptr;
    }
    const QueueJob *ById(unsigned id) const
    {
        for (const auto &j : jobs)
            if (j.jobid == id)
                return &j;
        return nullptr;
    }
};

HylaQueue ReadHylaQueue(const Config &cfg)
{
    HylaQueue q;
    for (const char *sub : {"/sendq", "/doneq"}) {
        std::string dir = cfg.hylafax + sub;
        DIR *d = ::opendir(dir.c_str());
        if (!d) {
            Log("cannot read " + dir + ": " + std::strerror(errno));
            q.complete = false;
            continue;
        }
        while (struct dirent *e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.size() < 2 || n[0] != 'q' || n.find_first_not_of("0123456789", 1) != std::string::npos)
                continue;
            try {
                QueueJob j;
                if (ParseQueueFile(sf::ReadFileBytes(dir + "/" + n), j))
                    q.jobs.push_back(j);
            } catch (const sf::SpoolError &) {
                /* moved from sendq to doneq meanwhile: seen next pass */
            }
        }
        ::closedir(d);
    }
    return q;
}

struct Bridge {
    Config cfg;
    State state;
    std::string tree;
    std::string instance; /* in every tag: a new state file never claims an old tag */
    Bridge(const Config &c) : cfg(c), state(c.state), tree(sf::SpoolRoot(c.spool))
    {
        instance = state.Meta("instance");
        if (instance.empty()) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "%lx%x", (unsigned long)std::time(nullptr), (unsigned)::getpid() & 0xfff);
            instance = buf;
            state.SetMeta("instance", instance);
        }
    }

    std::string Out() const { return tree + "/FAX/OUT/"; }

    /* A job's identity: the gateway reuses names, never inode and time */
    static std::string JobKey(const std::string &name, const struct stat &st)
    {
        return name + ":" + std::to_string(st.st_ino) + ":" +
               std::to_string((long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec);
    }

    /* Ready jobs and their identity keys, lowest name first. */
    std::vector<std::pair<std::string, std::string>> ReadyJobs()
    {
        std::vector<std::pair<std::string, std::string>> out;
        DIR *d = ::opendir(Out().c_str());
        if (!d)
            throw sf::SpoolError("cannot read " + Out() + ": " + std::strerror(errno));
        while (struct dirent *e = ::readdir(d)) {
            std::string n = e->d_name;
            if (n.empty() || n[0] == '.' || n.find('.') != std::string::npos)
                continue; /* work names (.INC, .TMP, dot files) are not jobs */
            int fd = ::open((Out() + n).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                continue;
            sf::FdGuard g(fd);
            struct stat st;
            if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
                continue; /* still held by its writer */
            out.push_back({n, JobKey(n, st)});
        }
        ::closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string JobLabel(const JobRow &j) const { return "job " + j.name + " (#" + std::to_string(j.id) + ")"; }

    /* A refused or unrenderable address: its activity line at once, job
     * number 0000 (HylaFAX never numbered it), not final, so the gateway
     * makes an entry of its own for it. */
    void RecordRefusal(const JobRow &job, SendRow &s, const std::string &outcome)
    {
        sf::ActivityLine l;
        std::time_t now = std::time(nullptr);
        localtime_r(&now, &l.when);
        l.job = 0;
        l.final = false;
        l.destination = s.number;
        l.sender = SenderName(job.sender);
        l.pages = 0;
        l.code = outcome == "refused" ? "0305" : "0306";
        l.explanation = outcome == "refused" ? " Refus" : " NoPag";
        l.connection = "0:00";
        l.speed = "0";
        s.state = outcome;
        s.finalLogged = true;
        AppendOnce({sf::FormatActivityLine(l)}, [&] { state.PutSend(s); });
        Log(JobLabel(job) + " address " + std::to_string(s.address) + " (" + s.number + "): " + outcome + ", " +
            s.reason);
    }

    /* The pages all addresses of one job share, rendered once, when the
     * first address needs them; each address then only adds its cover. */
    struct SharedPages {
        std::unique_ptr<faxrender::TempDir> dir;
        faxrender::Result result;
    };

    /* Renders address s of job into tiff. */
    faxrender::Result Render(const sf::Job &parsed, const SendRow &s, SharedPages &shared, const std::string &tiff)
    {
        faxrender::Options ro;
        ro.workDir = cfg.work;
        if (!shared.dir) {
            shared.dir = std::make_unique<faxrender::TempDir>(cfg.work);
            if (shared.dir->ok())
                shared.result = faxrender::RenderShared(cfg.spool, parsed, shared.dir->File("shared.tif"), ro);
            else
                shared.result.reason = "cannot make a private folder below " + cfg.work;
        }
        if (!shared.result.ok)
            return shared.result;
        return faxrender::AddCover(parsed, (size_t)s.address, shared.dir->File("shared.tif"), tiff, ro);
    }

    /* The name of a tag's pages in the work folder, without ".tif". */
    static std::string WorkBase(std::string tag)
    {
        for (char &c : tag)
            if (c == ':' || c == '/')
                c = '-';
        return tag;
    }

    /* Submits address i of job; false when it must wait (sendfax failed). */
    bool Submit(const JobRow &job, const sf::Job &parsed, SendRow &s, const HylaQueue &queue, SharedPages &shared)
    {
        if (const QueueJob *q = queue.ByTag(s.tag)) { /* submitted before a crash */
            s.state = "submitted";
            s.hylafax = q->jobid;
            state.PutSend(s);
            Log(JobLabel(job) + " address " + std::to_string(s.address) + ": found in HylaFAX's queue as job " +
                std::to_string(q->jobid) + " (not submitted again)");
            return true;
        }
        ::mkdir(cfg.work.c_str(), 0700);
        const std::string base = WorkBase(s.tag), tiff = cfg.work + "/" + base + ".tif";
        ::unlink(tiff.c_str());
        faxrender::Result r = Render(parsed, s, shared, tiff);
        if (!r.ok) {
            s.reason = "the fax cannot be rendered: " + r.reason;
            RecordRefusal(job, s, "failed");
            return true;
        }
        s.pages = (unsigned)r.pages;
        s.state = "intent";
        state.PutSend(s); /* durable before HylaFAX hears of it */
        SendOptions opt = OptionsOf(parsed.addresses[(size_t)s.address]);
        opt.fine = parsed.resolution == 'D'; /* as the pages were drawn */
        std::string out;
        int rc = RunCapture(SendfaxArgs(cfg, s.tag, s.dial, opt, tiff, std::time(nullptr)), out, 120);
        if (cfg.keepPages.empty() || ::rename(tiff.c_str(), (cfg.keepPages + "/" + base + ".tif").c_str()) != 0)
            ::unlink(tiff.c_str());
        unsigned id = rc == 0 ? SendfaxJobId(out) : 0;
        if (id == 0) {
            Log(JobLabel(job) + " address " + std::to_string(s.address) + ": sendfax failed (" +
                std::to_string(rc) + "): " + OneLine(out) + "; tried again next pass");
            return false;
        }
        s.state = "submitted";
        s.hylafax = id;
        state.PutSend(s);
        Log(JobLabel(job) + " address " + std::to_string(s.address) + " (" + s.dial + "): submitted as HylaFAX job " +
            std::to_string(id) + ", " + std::to_string(r.pages) + " page(s)");
        return true;
    }

    void Outbound(const HylaQueue &queue)
    {
        for (const auto &[name, key] : ReadyJobs()) {
            if (gStop)
                return;
            sf::Job parsed;
            std::string bytes;
            try {
                bytes = sf::ReadFileBytes(Out() + name);
            } catch (const sf::SpoolError &) {
                continue;
            }
            if (!sf::ParseJob(bytes, parsed)) {
                Log("FAX/OUT/" + name + " is not a fax job; left alone");
                continue;
            }
            parsed.name = name;
            JobRow job;
            if (!state.FindJob(key, job)) {
                job.key = key;
                job.name = name;
                job.sender = parsed.sender;
                job.subject = parsed.subject;
                job.returnGood = parsed.returnGood;
                job.addresses = (int)parsed.addresses.size();
                for (const auto &a : parsed.attachments)
                    job.parcels += a + "\n";
                job = state.AddJob(job);
                Log(JobLabel(job) + " taken from FAX/OUT: " + std::to_string(job.addresses) + " address(es), from " +
                    SenderName(job.sender));
            }
            if (job.parcels.empty()) /* a job taken by an earlier version */
                for (const auto &a : parsed.attachments)
                    job.parcels += a + "\n";
            bool allDone = true;
            SharedPages shared;
            for (size_t i = 0; i < parsed.addresses.size(); ++i) {
                std::string tag = JobTag(cfg, name + "-" + std::to_string(job.id) + "." + instance, i);
                SendRow s;
                if (!state.FindSend(tag, s)) {
                    s.tag = tag;
                    s.job = job.id;
                    s.address = (int)i;
                    s.recipient = sf::FaxNameOf(parsed.addresses[i]);
                    s.number = sf::FaxNumberOf(parsed.addresses[i]);
                    s.dial = DialString(s.number);
                    s.state = "new";
                    std::string refusal = PolicyRefusal(cfg, s.dial);
                    if (!refusal.empty()) {
                        s.reason = refusal;
                        RecordRefusal(job, s, "refused");
                        continue;
                    }
                }
                if (s.state == "new" || s.state == "intent")
                    allDone = Submit(job, parsed, s, queue, shared) && allDone;
            }
            if (!allDone)
                continue;
            /* every address is in HylaFAX's hands or refused, and the
             * state says so */
            RemoveJob(job);
        }
    }

    /* Whether every address of job is recorded as submitted or ended:
     * nothing of the job is needed any more. */
    static bool HandedOver(const JobRow &job, const std::vector<SendRow> &sends)
    {
        return (int)sends.size() == job.addresses && std::none_of(sends.begin(), sends.end(), [](const SendRow &s) {
                   return s.state == "new" || s.state == "intent";
               });
    }

    /* A handed-over job leaves the spool: the job file first, for good (so
     * the gateway never sees a job without its parcels), then the parcels
     * the state recorded with the job, then the record. A restart after a
     * crash in between finds the job not removed and its file gone, and
     * finishes here from the recorded parcel names. */
    void RemoveJob(const JobRow &job)
    {
        const std::string path = Out() + job.name;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && job.key == JobKey(job.name, st)) {
            if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
                Log(JobLabel(job) + ": cannot remove FAX/OUT/" + job.name + ": " + std::strerror(errno));
                return;
            }
            sf::SyncFolderOf(path);
        }
        CrashPoint("job-removed");
        size_t pos = 0;
        while (pos < job.parcels.size()) {
            size_t nl = job.parcels.find('\n', pos);
            if (nl == std::string::npos)
                nl = job.parcels.size();
            std::string a = job.parcels.substr(pos, nl - pos);
            pos = nl + 1;
            if (!a.empty() && a.find('/') == std::string::npos && a[0] != '.')
                ::unlink((tree + "/FAX/OPARCEL/" + a).c_str());
        }
        sf::SyncFolderOf(tree + "/FAX/OPARCEL/x");
        state.MarkJob(job.id, true, false);
        Log(JobLabel(job) + ": removed from the spool");
    }

    /* The transfer log from the saved offset (a log that shrank or was
     * replaced is read from its start). */
    void Activity(const HylaQueue &queue)
    {
        std::string path = cfg.xferfaxlog;
        if (path.empty()) {
            path = cfg.hylafax + "/log/xferfaxlog";
            if (::access(path.c_str(), F_OK) != 0)
                path = cfg.hylafax + "/etc/xferfaxlog";
        }
        int raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (raw < 0)
            return;
        sf::FdGuard fd(raw);
        struct stat st;
        if (::fstat(fd.fd, &st) != 0)
            return;
        long long offset = std::atoll(state.Meta("xfer.offset", "0").c_str());
        if (state.Meta("xfer.inode") != std::to_string(st.st_ino) || offset > (long long)st.st_size)
            offset = 0;
        std::string text;
        char buf[65536];
        for (off_t at = (off_t)offset;;) {
            ssize_t n = ::pread(fd.fd, buf, sizeof buf, at);
            if (n <= 0)
                break;
            text.append(buf, (size_t)n);
            at += n;
        }
        size_t end = text.rfind('\n');
        if (end == std::string::npos)
            return; /* no complete line yet */
        text.resize(end + 1);
        std::vector<std::string> lines;
        std::vector<SendRow> changed;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            std::string line = text.substr(pos, nl - pos);
            pos = nl + 1;
            XferRecord rec;
            std::string jobName;
            size_t addr;
            if (!ParseXferLine(line, rec) || rec.type != "SEND" || !ParseJobTag(cfg, rec.jobtag, jobName, addr))
                continue;
            SendRow s;
            if (!state.FindSend(rec.jobtag, s) || s.finalLogged)
                continue;
            JobRow job;
            state.JobById(s.job, job);
            s.attempts += 1;
            const QueueJob *q = queue.ById((unsigned)std::atoi(rec.jobid.c_str()));
            bool finalFailure = !rec.reason.empty() && q && q->state == 8;
            sf::ActivityLine l = ActivityFor(rec, SenderName(job.sender), s.attempts - 1, finalFailure);
            lines.push_back(sf::FormatActivityLine(l));
            if (l.final) {
                s.finalLogged = true;
                s.state = rec.reason.empty() ? "sent" : "failed";
                s.pages = rec.pages;
                s.reason = rec.reason;
                s.remote = Printable(rec.csi);
            }
            changed.push_back(s);
            Log(JobLabel(job) + " address " + std::to_string(s.address) + " (HylaFAX job " + rec.jobid +
                "): " + (rec.reason.empty() ? "sent, " + std::to_string(rec.pages) + " page(s)"
                                            : "attempt failed: " + rec.reason));
        }
        for (const auto &s : changed)
            if (s.finalLogged)
                finalizing.insert(s.tag);
        Unqueue(queue);
        /* the offset moves past the records together with the promise of
         * their lines */
        AppendOnce(lines, [&] {
            for (const auto &s : changed)
                state.PutSend(s);
            state.SetMeta("xfer.inode", std::to_string(st.st_ino));
            state.SetMeta("xfer.offset", std::to_string(offset + (long long)text.size()));
        });
        finalizing.clear();
    }

    /* Submitted jobs that HylaFAX ended without a final transfer line; a
     * job missing from both queues counts as gone only after three passes
     * of complete queue reads (never on one unlucky read). */
    std::map<unsigned, int> missing;
    void Ended(const HylaQueue &queue)
    {
        if (!queue.complete)
            return;
        for (auto s : state.SendsIn("submitted")) {
            const QueueJob *q = queue.ById(s.hylafax);
            if (q && !QueueJobEnded(*q))
                continue;
            if (!q && ++missing[s.hylafax] < 3)
                continue;
            missing.erase(s.hylafax);
            JobRow job;
            state.JobById(s.job, job);
            sf::ActivityLine l;
            std::time_t now = std::time(nullptr);
            localtime_r(&now, &l.when);
            l.job = s.hylafax % 10000;
            l.final = true;
            l.retries = q ? q->totdials : s.attempts;
            l.destination = s.dial;
            l.sender = SenderName(job.sender);
            l.pages = q ? q->npages : 0;
            const bool sent = q && q->state == 7;
            l.code = sent ? "0000" : "0399";
            l.explanation = sent ? " Sent " : " Fail ";
            l.connection = "0:00";
            l.speed = "0";
            s.state = sent ? "sent" : "failed";
            s.pages = l.pages;
            s.reason = sent ? "" : (q ? q->status : "removed from HylaFAX's queue");
            s.finalLogged = true;
            finalizing.insert(s.tag);
            Unqueue(queue);
            AppendOnce({sf::FormatActivityLine(l)}, [&] { state.PutSend(s); });
            finalizing.clear();
            Log(JobLabel(job) + " address " + std::to_string(s.address) + " (HylaFAX job " +
                std::to_string(s.hylafax) + "): " + (sent ? "sent" : "failed: " + s.reason));
        }
    }

    void ReturnStatus()
    {
        for (const auto &job : state.OpenJobs()) {
            std::vector<SendRow> sends = state.SendsOf(job.id);
            if (!job.removed) {
                /* a crash between the job's removal and its record: the
                 * job file is gone (or the name is another job's); a job
                 * handed over loses its parcels too */
                struct stat st;
                std::string path = Out() + job.name;
                if (::lstat(path.c_str(), &st) == 0 && job.key == JobKey(job.name, st))
                    continue;
                if (HandedOver(job, sends))
                    RemoveJob(job);
                else
                    state.MarkJob(job.id, true, false);
            }
            bool ended = std::all_of(sends.begin(), sends.end(), [](const SendRow &s) {
                return s.state == "sent" || s.state == "failed" || s.state == "refused";
            });
            if (!ended)
                continue;
            if (job.returnGood) {
                std::vector<std::string> body;
                if (sends.empty())
                    body.push_back("Result: the job names no fax address");
                for (const auto &s : sends) {
                    std::string result = s.state == "sent" ? "sent, " + std::to_string(s.pages) + " page(s)" +
                                                                 (s.remote.empty() ? "" : " to " + s.remote)
                                         : s.state == "refused" ? "failed, refused: " + s.reason
                                                                : "failed: " + s.reason;
                    body.push_back("Result: " + s.recipient + " at " + s.number + ": " + OneLine(result));
                    if (s.hylafax)
                        body.push_back("Job: " + Four(s.hylafax));
                }
                std::string name = sf::WriteControlFile(
                    tree, {"To: " + SenderName(job.sender), "Subject: Fax: " + job.subject}, body);
                Log(JobLabel(job) + ": return status FAX/IN/" + name);
            }
            state.MarkJob(job.id, true, true);
        }
    }

    /* ---- activity lines, appended exactly once ----
     * The lines and the state changes they stand for are committed in one
     * transaction together with an intent (meta "activity.pending"): the
     * log's identity, its size before the append and the bytes; then the
     * bytes are appended and synced under the log's flock and the intent
     * is cleared. While an intent is pending the log file has a second
     * name, UTIL/DATA/.faxbridge-activity (a dot name the gateway never
     * matches), linked before the intent is committed: the gateway takes
     * the log over by renaming it to ACTIVITY.RD, imports it and deletes
     * it, and the second name keeps that very file readable, so a restart
     * sees whether the bytes reached it even when the gateway has already
     * imported them. The intent is settled before the next append: the
     * bytes found in that file were logged (and perhaps imported), only
     * the rest is appended. */
    struct Pending {
        unsigned long long dev = 0, ino = 0;
        long long before = 0;
        std::string bytes;
    };
    std::string LogPath() const { return tree + "/UTIL/DATA/ACTIVITY.LOG"; }
    std::string Evidence() const { return tree + "/UTIL/DATA/.faxbridge-activity"; }

    bool ReadPending(Pending &p)
    {
        std::string v = state.Meta("activity.pending");
        size_t nl = v.find('\n');
        if (nl == std::string::npos ||
            std::sscanf(v.c_str(), "%llu %llu %lld", &p.dev, &p.ino, &p.before) != 3)
            return false;
        p.bytes = v.substr(nl + 1);
        return true;
    }

    /* How many of p's bytes the file at path holds at p.before, when it is
     * p's file; -1 when it is not (or cannot be read). */
    static long long Present(const std::string &path, const Pending &p)
    {
        int raw = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (raw < 0)
            return -1;
        sf::FdGuard fd(raw);
        struct stat st;
        if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != p.dev || st.st_ino != p.ino)
            return -1;
        std::string have(p.bytes.size(), '\0');
        size_t got = 0;
        while (got < have.size()) {
            ssize_t n = ::pread(fd.fd, &have[got], have.size() - got, (off_t)(p.before + (long long)got));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += (size_t)n;
        }
        size_t same = 0;
        while (same < got && have[same] == p.bytes[same])
            ++same;
        return (long long)same;
    }

    /* What of the pending intent p is still to append to the log open as
     * `log` (locked). The evidence file (or, were it lost, the log when it
     * is still p's file) tells how much arrived: everything: nothing more;
     * a cut line at the very end of the file that is still the log: the
     * rest of it; otherwise the lines not wholly there. Lines the file held
     * were imported with it when the gateway took it, so they are never
     * appended again. Neither name left with p's file (someone removed the
     * second name): all of it again, a line twice being the lesser harm
     * than a final result lost. */
    std::string StillToAppend(const Pending &p, const struct stat &log)
    {
        long long have = Present(Evidence(), p);
        if (have < 0)
            have = Present(LogPath(), p);
        if (have < 0)
            return p.bytes;
        if ((size_t)have == p.bytes.size())
            return "";
        if (log.st_dev == p.dev && log.st_ino == p.ino && (long long)log.st_size == p.before + have)
            return p.bytes.substr((size_t)have);
        return p.bytes.substr(LineStart(p.bytes, (size_t)have));
    }

    /* Appends lines to the activity log once, changes committed with them. */
    template <class F>
    void AppendOnce(const std::vector<std::string> &lines, F &&changes)
    {
        std::string bytes;
        for (const auto &l : lines)
            bytes += l + "\r\n";
        Append(bytes, nullptr, changes);
    }

    /* A pending intent of a process that ended is carried out. */
    void SettleActivity()
    {
        Pending p;
        if (ReadPending(p))
            Append("", &p, [] {});
    }

    /* Appends bytes (or, settling, what is left of *settle) as the journal
     * above describes. */
    template <class F>
    void Append(const std::string &bytes, const Pending *settle, F &&changes)
    {
        const std::string path = LogPath(), evidence = Evidence();
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (bytes.empty() && settle == nullptr) {
                state.Transaction(changes);
                return;
            }
            int raw = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (raw < 0) {
                if (errno != ENOENT)
                    throw sf::SpoolError("cannot open " + path + ": " + std::strerror(errno));
                sf::WriteNewFile(path, "", 0666); /* an empty log to append to (false: made meanwhile) */
                continue;
            }
            sf::FdGuard fd(raw);
            struct stat mine, named;
            if (::fstat(fd.fd, &mine) != 0 || !S_ISREG(mine.st_mode))
                throw sf::SpoolError(path + " is not a regular file");
            sf::Flock(fd.fd, LOCK_EX, path);
            if (::lstat(path.c_str(), &named) != 0 || named.st_ino != mine.st_ino || named.st_dev != mine.st_dev)
                continue; /* taken away while we waited for the lock */
            const std::string todo = settle != nullptr ? StillToAppend(*settle, mine) : bytes;
            if (todo.empty()) {
                state.Transaction([&] {
                    changes();
                    state.SetMeta("activity.pending", "");
                });
                ::unlink(evidence.c_str());
                return;
            }
            ::unlink(evidence.c_str());
            if (::link(path.c_str(), evidence.c_str()) != 0)
                throw sf::SpoolError("cannot link " + evidence + ": " + std::strerror(errno));
            sf::SyncFolderOf(evidence);
            char head[80];
            std::snprintf(head, sizeof head, "%llu %llu %lld\n", (unsigned long long)mine.st_dev,
                          (unsigned long long)mine.st_ino, (long long)mine.st_size);
            state.Transaction([&] {
                changes();
                state.SetMeta("activity.pending", head + todo);
            });
            for (size_t done = 0; done < todo.size();) {
                ssize_t n = ::write(fd.fd, todo.data() + done, todo.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    throw sf::SpoolError("cannot append to " + path + ": " + std::strerror(errno));
                done += (size_t)n;
            }
            if (::fsync(fd.fd) != 0)
                throw sf::SpoolError("cannot sync " + path + ": " + std::strerror(errno));
            CrashPoint("activity-appended");
            state.SetMeta("activity.pending", "");
            ::unlink(evidence.c_str());
            return; /* the lock goes with the descriptor */
        }
        throw sf::SpoolError("cannot append to " + path + ": it keeps being replaced");
    }

    /* Tags whose final activity line is about to be logged. */
    std::set<std::string> finalizing;
    /* Before a final line is logged its job leaves PUBLIC/SVCQ: the gateway
     * imports the log and then lists the queue, and a job still listed
     * would turn its final entry back into "Pending". */
    void Unqueue(const HylaQueue &queue)
    {
        if (!finalizing.empty())
            Queue(queue);
    }

    /* The waiting jobs; not those whose final line is (about to be) logged,
     * though HylaFAX may write the transfer record before the job leaves
     * its send queue. */
    void Queue(const HylaQueue &queue)
    {
        std::string records;
        std::vector<QueueJob> waiting;
        for (const auto &j : queue.jobs) {
            SendRow s;
            const bool logged = finalizing.count(j.jobtag) || (state.FindSend(j.jobtag, s) && s.finalLogged);
            if (!QueueJobEnded(j) && !logged)
                waiting.push_back(j);
        }
        std::sort(waiting.begin(), waiting.end(), [](const QueueJob &a, const QueueJob &b) { return a.jobid < b.jobid; });
        for (const auto &j : waiting) {
            SendRow s;
            JobRow job;
            std::string from, tel;
            if (state.FindSend(j.jobtag, s) && state.JobById(s.job, job)) {
                from = SenderName(job.sender);
                tel = s.number;
            }
            records += sf::EncodeQueueRecord(QueueRecordFor(j, from, tel));
        }
        sf::WriteQueueFile(tree, records);
    }

    /* Intents HylaFAX holds by their tag become submissions, whether or not
     * their job is still in FAX/OUT. */
    void Adopt(const HylaQueue &queue)
    {
        for (auto s : state.SendsIn("intent")) {
            const QueueJob *q = queue.ByTag(s.tag);
            if (!q)
                continue;
            s.state = "submitted";
            s.hylafax = q->jobid;
            state.PutSend(s);
            /* HylaFAX holds its copy: the pages a crash left go */
            ::unlink((cfg.work + "/" + WorkBase(s.tag) + ".tif").c_str());
            Log("address " + std::to_string(s.address) + " of tag " + s.tag + ": found in HylaFAX's queue as job " +
                std::to_string(q->jobid) + " (not submitted again)");
        }
    }

    void Pass()
    {
        SettleActivity();
        HylaQueue queue = ReadHylaQueue(cfg);
        Adopt(queue);
        Outbound(queue);
        queue = ReadHylaQueue(cfg);
        Activity(queue);
        Ended(queue);
        ReturnStatus();
        Queue(queue);
    }
};

bool LoadConfig(const std::string &path, Config &cfg)
{
    std::string why;
    try {
        if (ParseConfig(sf::ReadFileBytes(path), cfg, &why))
            return true;
    } catch (const sf::SpoolError &e) {
        why = e.what();
    }
    std::cerr << "faxbridge: " << path << ": " << why << "\n";
    return false;
}

int CmdRun(const Config &cfg, bool once)
{
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    Bridge b(cfg);
    Log("started: spool " + b.tree + ", HylaFAX " + cfg.hylafax + ", state " + cfg.state);
    while (!gStop) {
        try {
            b.Pass();
        } catch (const std::exception &e) {
            Log(std::string("pass stopped: ") + e.what());
            if (once)
                return 2;
        }
        if (once)
            break;
        for (int i = 0; i < cfg.intervalSeconds * 10 && !gStop; ++i)
            ::usleep(100000);
    }
    Log("stopped");
    return 0;
}

int CmdHook(const Config &cfg, const std::vector<std::string> &args)
{
    ::umask(007); /* the gateway shares the group, nobody else reads */
    Received rx;
    std::string why;
    if (!ParseHookArgs(args, rx, &why)) {
        Log("hook: " + why);
        return 64;
    }
    std::string info;
    if (RunCapture({cfg.faxinfo, rx.file}, info, 60) != 0)
        Log("hook: faxinfo " + rx.file + " failed: " + OneLine(info));
    ParseFaxinfo(info, rx);
    std::string image = sf::ReadFileBytes(rx.file);
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::vector<std::string> header, body;
    ReceivedControl(cfg, rx, tm, header, body);
    std::string name = sf::WriteControlFile(sf::SpoolRoot(cfg.spool), header, body, &image);
    Log("received fax " + rx.file + " (" + rx.device + ", comm " + rx.commid + ") handed over as FAX/IN/" + name);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    /* the hook's arguments are HylaFAX's, passed on whatever they look like */
    if (argc >= 2 && std::string(argv[1]) == "hook") {
        std::string conf = "/etc/faxbridge.conf";
        int i = 2;
        if (i + 1 < argc && (std::string(argv[i]) == "-c" || std::string(argv[i]) == "--config")) {
            conf = argv[i + 1];
            i += 2;
        }
        Config cfg;
        if (!LoadConfig(conf, cfg))
            return 64;
        try {
            return CmdHook(cfg, std::vector<std::string>(argv + i, argv + argc));
        } catch (const std::exception &e) {
            Log(std::string("hook: ") + e.what());
            return 2;
        }
    }
    CLI::App app{"faxbridge - HylaFAX behind the gateway's spool tree"};
    app.require_subcommand(1);
    std::string confPath = "/etc/faxbridge.conf";
    bool once = false;
    auto *run = app.add_subcommand("run", "the service: one pass every interval until SIGTERM");
    run->add_option("-c,--config", confPath, "configuration file");
    run->add_flag("--once", once, "one pass, then exit");
    app.footer("faxbridge hook [-c CONF] FILE DEVICE COMMID REASON [CALLID...]: HylaFAX's FaxRcvdCmd, the "
               "received fax into FAX/IN and FAX/IPARCEL");
    std::string pagesA, pagesB;
    auto *compare = app.add_subcommand("compare", "exit 0 when two TIFF files hold the same pages, pixel for pixel");
    compare->add_option("A", pagesA)->required();
    compare->add_option("B", pagesB)->required();
    std::string number;
    auto *check = app.add_subcommand("check", "show the dial string of NUMBER and whether the policy allows it");
    check->add_option("-c,--config", confPath, "configuration file");
    check->add_option("NUMBER", number, "a fax number as a job carries it")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 64;
    }
    if (*compare) {
        std::string why;
        bool same = faxrender::SamePages(pagesA, pagesB, &why);
        std::cout << (same ? "same pages" : "pages differ: " + why) << "\n";
        return same ? 0 : 1;
    }
    Config cfg;
    if (!LoadConfig(confPath, cfg))
        return 64;
    try {
        if (*run)
            return CmdRun(cfg, once);
        std::string dial = DialString(number);
        std::string refusal = PolicyRefusal(cfg, dial);
        std::cout << "dial string: " << (dial.empty() ? "(none)" : dial) << "\n"
                  << (refusal.empty() ? "allowed" : "refused: " + refusal) << "\n";
        return refusal.empty() ? 0 : 1;
    } catch (const std::exception &e) {
        std::cerr << "faxbridge: " << e.what() << "\n";
        return 2;
    }
}
