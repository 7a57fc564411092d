/*
 * outbound_bench.cpp - the outbound pass over 1,000 waiting mails (one fax
 * recipient, a 4 KB body, one 50 KB attachment) against its file-system
 * floor: the same job and attachment files written as a crash-safe writer
 * with one group commit per 100 mails writes them (each file fsynced, the
 * job renamed in, each folder fsynced once per 100) through plain POSIX
 * calls, measured in the same iteration. The pass's durable operations by
 * kind (fault seam counts) are printed per mail beside the floor's, and
 * the CPU time of pass and floor, in user space and in the kernel.
 *
 * Each iteration routes the mails into the gateway mail file (not timed),
 * runs OutboundTask (timed), checks that every mail became one complete
 * job, then replays the jobs' bytes as the floor. FAX/OUT and FAX/OPARCEL
 * are emptied between iterations, as the fax server would take the jobs.
 * Everything lives in a temporary folder that is removed at the end.
 */
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "notesapi.h"
#include "vq_operator.h"
#include "vortiq.h"
#include "vq_port.h"
#include "vq_testhooks.h"

namespace {

namespace fs = std::filesystem;
using vqbench::Bytes;
using vqbench::Clock;
using vqbench::Mark;
using vqbench::Seconds;

constexpr int kMails = 1000;
constexpr int kRound = 100;
constexpr size_t kBodyBytes = 4096;
constexpr size_t kAttachmentBytes = 50 * 1024;

/* 64 lines of 63 characters and a line feed: 4,096 bytes of body. */
std::string BodyText()
{
    std::string body;
    for (int line = 0; body.size() + 64 <= kBodyBytes; ++line) {
        std::string text = "Line " + std::to_string(line) + " of the fax body, padded to a fixed width";
        text.resize(63, '.');
        body += text + "\n";
    }
    return body;
}

/* The Notes server and spool tree of the run, made at the first use. */
class Server {
public:
    static Server &Get()
    {
        static Server s;
        return s;
    }
    ~Server()
    {
        if (hMessageFile != NULLHANDLE)
            MailCloseMessageFile(hMessageFile);
        hMessageFile = NULLHANDLE;
        vqbench::RemoveScratchDir(dir);
    }
    std::string dir, spool, out, oparcel, floorDir, jane;
    std::string attachment = Bytes(kAttachmentBytes, 7);
    std::string body = BodyText();

private:
    Server()
    {
        dir = vqbench::MakeDataDirectory();
        vqtest::SetLogEcho(false);
        vqop::CreateMailFile("mail.box", "Mail Router");
        std::string admin = vqop::AddPerson({"Fax Admin", "fadmin", "fadmin.nsf"});
        jane = vqop::AddPerson({"Jane Roe", "jroe", "jroe.nsf"});
        vqop::AddForeignDomain("FAXGATE", "vortiq.box");
        spool = dir + "/spool/TMBFAX";
        out = spool + SPOOL_FAX_OUT;
        oparcel = spool + SPOOL_FAX_OPARCEL;
        floorDir = dir + "/floor";
        for (const char *d : {SPOOL_FAX_OUT, SPOOL_FAX_OPARCEL, SPOOL_FAX_ERROR})
            vqop::MakeDirs(spool + d);
        vqbench::UseSpool(spool);
        VqCopy(GatewayDomain, sizeof GatewayDomain, "FAXGATE");
        VqCopy(GatewayMsgfile, sizeof GatewayMsgfile, "vortiq.box");
        VqCopy(FaxAdministrator, sizeof FaxAdministrator, admin.c_str());
        if (MailOpenMessageFile("vortiq.box", &hMessageFile) != NOERROR)
            std::exit(1);
    }
};

/* Routes the mails into the gateway mail file, as users would. */
bool FillGateway(Server &s, int first, int count)
{
    for (int i = first; i < first + count; ++i) {
        vqop::Memo memo;
        memo.from = s.jane;
        char to[64];
        std::snprintf(to, sizeof to, "Fax %d@555.%04d@FAXGATE", i, i);
        memo.sendTo = {to};
        memo.subject = "Quarterly figures " + std::to_string(i);
        memo.body = s.body;
        memo.attachments = {{"report.bin", s.attachment}};
        if (vqop::TrySendMemo(memo) != NOERROR)
            return false;
    }
    return true;
}

void EmptyFolder(const std::string &dir)
{
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        fs::remove_all(e.path(), ec);
}

struct OneFile {
    std::string name, bytes;
};

std::vector<OneFile> ReadFolder(const std::string &dir)
{
    std::vector<OneFile> files;
    for (const std::string &name : vqop::ListDir(dir))
        files.push_back({name, vqop::ReadFile(dir + "/" + name)});
    return files;
}

/* ---- the floor: plain POSIX calls, one durable operation each ---- */

struct FloorOps {
    long ops = 0;
    bool ok = true;
};

/* create, write, fsync, close: as the platform writes a file whole. */
void WriteDurably(FloorOps *f, const std::string &path, const std::string &bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        f->ok = false;
        return;
    }
    if (::write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size())
        f->ok = false;
    if (::fsync(fd) != 0)
        f->ok = false;
    ::close(fd);
    f->ops += 3;
}

void SyncFolder(const std::string &dir)
{
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

/* One job as a crash-safe writer with one group commit per round hands
 * it over: the attachment and the job file written and fsynced, the job
 * renamed into place; the folders are fsynced once per round (FloorRound). */
void FloorJob(FloorOps *f, const std::string &root, const OneFile &job, const OneFile &att)
{
    WriteDurably(f, root + "/OPARCEL/" + att.name, att.bytes);
    const std::string inc = root + "/OUT/" + job.name + ".INC";
    WriteDurably(f, inc, job.bytes);
    const std::string final_ = root + "/OUT/" + job.name;
    if (::syscall(SYS_renameat2, AT_FDCWD, inc.c_str(), AT_FDCWD, final_.c_str(), 1 /* NOREPLACE */) != 0)
        f->ok = false;
    f->ops += 1;
}

void FloorRoundEnd(FloorOps *f, const std::string &root)
{
    SyncFolder(root + "/OPARCEL");
    SyncFolder(root + "/OUT");
    f->ops += 2;
}

/* One round: kRound mails routed, the pass over them, then the floor over
 * the jobs it made. False (with the reason) when something went wrong. */
bool Round(Server &s, bool hold, int round, double *pass, double *floor, long *passOps,
           long *floorOps, vqbench::OpCounts *passKinds, vqbench::CpuTimes *passCpu,
           vqbench::CpuTimes *floorCpu, const char **why)
{
    if (!FillGateway(s, round * kRound, kRound)) {
        *why = "routing the mails failed";
        return false;
    }
    const size_t jobsBefore = round * (size_t)kRound;
    vqtest::ClearLog();
    E_quit = 0;
    {
        /* Arg 1: the databases held open; the difference to arg 0 is
         * what opening and closing them per message costs. */
        vqbench::HeldOpen held(hold, {"mail.box", "jroe.nsf", "names.nsf", "fadmin.nsf"});
        const long ops0 = PortFaultCount();
        const vqbench::OpCounts kinds0 = vqbench::OpCounts::Take();
        Mark("pass begins");
        const vqbench::CpuTimes c0 = vqbench::CpuTimes::Take();
        const auto t0 = Clock::now();
        OutboundTask();
        const auto t1 = Clock::now();
        *passCpu += vqbench::CpuTimes::Take() - c0;
        Mark("pass ends");
        *passOps += PortFaultCount() - ops0;
        *passKinds += vqbench::OpCounts::Take() - kinds0;
        *pass += Seconds(t0, t1);
    }

    std::vector<OneFile> jobs = ReadFolder(s.out);
    std::vector<OneFile> atts = ReadFolder(s.oparcel);
    for (const auto &j : jobs)
        if (j.name.find('.') != std::string::npos) {
            *why = "a job was left under its working name";
            return false;
        }
    if (jobs.size() != jobsBefore + kRound || atts.size() != jobs.size() || E_quit != 0 ||
        !vqop::DocumentIds("vortiq.box").empty()) {
        *why = "the pass did not turn every mail into one complete job";
        return false;
    }

    FloorOps f;
    const vqbench::CpuTimes c0 = vqbench::CpuTimes::Take();
    const auto f0 = Clock::now();
    for (size_t i = jobsBefore; i < jobs.size(); ++i)
        FloorJob(&f, s.floorDir, jobs[i], atts[i]);
    FloorRoundEnd(&f, s.floorDir);
    const auto f1 = Clock::now();
    *floorCpu += vqbench::CpuTimes::Take() - c0;
    if (!f.ok) {
        *why = "the floor could not write its files";
        return false;
    }
    *floorOps += f.ops;
    *floor += Seconds(f0, f1);
    return true;
}

/* Arg 0: as the gateway runs; arg 1: with the databases held open. The
 * mails go in ten rounds of 100, pass and floor alternating, so that load
 * from other processes falls on both alike; FAX/OUT is not drained
 * between rounds, so the names taken grow to 1,000 as in a single pass. */
void BM_OutboundPass1000(benchmark::State &state)
{
    Server &s = Server::Get();
    double floorTotal = 0, passTotal = 0;
    long passOps = 0, floorOps = 0;
    vqbench::OpCounts passKinds;
    vqbench::CpuTimes passCpu, floorCpu;
    for (auto _ : state) {
        EmptyFolder(s.out);
        EmptyFolder(s.oparcel);
        EmptyFolder(s.floorDir);
        vqop::MakeDirs(s.floorDir + "/OUT");
        vqop::MakeDirs(s.floorDir + "/OPARCEL");
        double pass = 0, floor = 0;
        const char *why = nullptr;
        for (int round = 0; round < kMails / kRound && why == nullptr; ++round)
            Round(s, state.range(0) == 1, round, &pass, &floor, &passOps, &floorOps, &passKinds,
                  &passCpu, &floorCpu, &why);
        if (why != nullptr) {
            state.SkipWithError(why);
            break;
        }
        state.SetIterationTime(pass);
        passTotal += pass;
        floorTotal += floor;
    }
    const double n = (double)state.iterations();
    if (n > 0 && floorTotal > 0) {
        state.counters["mails"] = kMails;
        vqbench::PassFloorCounters(state, passTotal, floorTotal);
        state.counters["pass_ops_per_mail"] = (double)passOps / n / kMails;
        state.counters["floor_ops_per_mail"] = (double)floorOps / n / kMails;
        passKinds.Report(state, "pass", n * kMails);
        passCpu.Report(state, "pass", n);
        floorCpu.Report(state, "floor", n);
        /* the floor: two files fsynced per mail, two folders per round */
        state.counters["floor_fsyncs"] = 2.0 + 2.0 / kRound;
        state.counters["floor_commits"] = 0;
    }
}
BENCHMARK(BM_OutboundPass1000)->Arg(0)->Arg(1)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
