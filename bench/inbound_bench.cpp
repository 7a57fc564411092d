/*
 * inbound_bench.cpp - the inbound pass over 1,000 received faxes (control
 * file with a DID line and a 50 KB image each, the DIDs spread over 10
 * users) into mail, against its floor: the same bytes read and copied into
 * the users' mail databases and the spool files removed, through plain
 * SQLite and POSIX calls, with one commit per database per round of 100
 * (what one group commit per pass needs), measured in the same iteration.
 * The pass's durable operations by kind are printed per fax, and the CPU
 * time of pass and floor, in user space and in the kernel, with their page
 * faults. A first round of 100, timed for neither, warms the process.
 *
 * Each iteration drops the faxes into FAX/IN and FAX/IPARCEL (not timed),
 * runs DoInboundTask (timed), checks that every fax reached the user's
 * mail file and left the spool, then runs the floor over copies of the
 * same files. Everything lives in a temporary folder removed at the end.
 */
#include <benchmark/benchmark.h>

#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "inbound.h"
#include "notesapi.h"
#include "vq_operator.h"
#include "vq_port.h"
#include "vq_testhooks.h"

namespace {

namespace fs = std::filesystem;
using vqbench::Bytes;
using vqbench::Clock;
using vqbench::Mark;
using vqbench::Seconds;

constexpr int kFaxes = 1000;
constexpr int kRound = 100;
constexpr size_t kImageBytes = 50 * 1024;
constexpr int kUsers = 10;

std::string UserNumber(int u)
{
    return "555-01" + std::to_string(10 + u);
}

std::string ControlName(int i)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "ST%06d", i);
    return buf;
}

std::string ImageName(int i)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "RX%06d", i);
    return buf;
}

/* Each run of the bench drops other faxes: the same fax again would find
 * its recipients holding it and be skipped. */
int g_run = 0;

std::string ControlFile(int i)
{
    return "Subject: Fax " + std::to_string(i) + " of run " + std::to_string(g_run) +
           "\r\nAttachment: " + ImageName(i) +
           "\r\n\r\nReceive Time: 03/05/26 09:07\r\nTSI Received: +1 555 0199\r\n"
           "DID Received: " + UserNumber(i % kUsers) +
           "\r\nPages Received: 2\r\nConnect Time: 00:41\r\n";
}

std::string UserFile(int u)
{
    return "mail/user" + std::to_string(u) + ".nsf";
}

class Server {
public:
    static Server &Get()
    {
        static Server s;
        return s;
    }
    ~Server()
    {
        (void)!chdir("/");
        vqbench::RemoveScratchDir(dir);
    }
    std::string dir, in, iparcel, error, floorDir;
    std::string image = Bytes(kImageBytes, 11);

private:
    Server()
    {
        dir = vqbench::MakeDataDirectory();
        vqtest::SetLogEcho(false);
        const std::string spool = dir + "/spool/TMBFAX";
        in = spool + SPOOL_FAX_IN;
        iparcel = spool + SPOOL_FAX_IPARCEL;
        error = spool + SPOOL_FAX_ERROR;
        floorDir = dir + "/floor";
        for (const auto &d : {in, iparcel, error, dir + "/mail", dir + "/work", floorDir})
            vqop::MakeDirs(d);
        vqop::AddPerson({"Fax Admin", "fadmin", "mail/admin.nsf"});
        vqop::AddPerson({"Jane Roe", "jroe", "mail/jroe.nsf", "555-0100"});
        for (int u = 0; u < kUsers; ++u)
            vqop::AddPerson({"User " + std::to_string(u), "user" + std::to_string(u),
                             UserFile(u), UserNumber(u)});
        vqop::CreateMailFile("mail.box");
        vqop::CreateActivityDb();
        vqbench::UseSpool(spool);
        VqCopy(GatewayDomain, sizeof GatewayDomain, "FAXGATE");
        VqCopy(DefRecipient, sizeof DefRecipient, "Jane Roe");
        VqCopy(ActLogNsf, sizeof ActLogNsf, "TMB_ACT.NSF");
        VqCopy(szNameNsf, sizeof szNameNsf, "names.nsf");
        if (MailLookupAddress("Fax Admin", FaxAdministrator) != NOERROR)
            std::exit(1);
        /* the pass writes its body files into the current directory */
        if (chdir((dir + "/work").c_str()) != 0)
            std::exit(1);
    }
};

/* Drops the faxes as the fax server does: image first, then the control
 * file under a hidden name renamed in. The floor gets copies. */
void DropFaxes(Server &s, int first, int count)
{
    for (int i = first; i < first + count; ++i) {
        const std::string control = ControlFile(i);
        vqop::WriteFile(s.iparcel + "/" + ImageName(i), s.image);
        vqop::WriteFile(s.in + "/.tmp", control);
        fs::rename(s.in + "/.tmp", s.in + "/" + ControlName(i));
        vqop::WriteFile(s.floorDir + "/" + ImageName(i), s.image);
        vqop::WriteFile(s.floorDir + "/" + ControlName(i), control);
    }
}

/* ---- the floor: SQLite with the platform's durability settings ---- */

sqlite3 *OpenFloorDb(const std::string &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK)
        return nullptr;
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "CREATE TABLE IF NOT EXISTS mail(id INTEGER PRIMARY KEY, body BLOB, image BLOB)",
                 nullptr, nullptr, nullptr);
    return db;
}

/* What a crash-safe pass with one group commit per round needs: each
 * fax's text and image inserted into its user's mail database, one commit
 * per database per round, then the spool files removed. The databases
 * stay open for the whole run. */
struct Floor {
    sqlite3 *user[kUsers] = {};
    sqlite3_stmt *ins[kUsers] = {};
    long commits = 0;
    bool ok = true;

    bool Open(const std::string &dir)
    {
        for (int u = 0; u < kUsers; ++u) {
            user[u] = OpenFloorDb(dir + "/user" + std::to_string(u) + ".db");
            if (user[u] == nullptr ||
                sqlite3_prepare_v2(user[u], "INSERT INTO mail(body, image) VALUES(?, ?)", -1,
                                   &ins[u], nullptr) != SQLITE_OK)
                return false;
        }
        return true;
    }
    ~Floor()
    {
        for (int u = 0; u < kUsers; ++u) {
            sqlite3_finalize(ins[u]);
            sqlite3_close(user[u]);
        }
    }
    void Round(const std::string &dir, int first, int count)
    {
        for (int u = 0; u < kUsers; ++u)
            sqlite3_exec(user[u], "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        for (int i = first; i < first + count; ++i) {
            const std::string body = vqop::ReadFile(dir + "/" + ControlName(i));
            const std::string image = vqop::ReadFile(dir + "/" + ImageName(i));
            sqlite3_stmt *st = ins[i % kUsers];
            sqlite3_bind_blob(st, 1, body.data(), (int)body.size(), SQLITE_STATIC);
            sqlite3_bind_blob(st, 2, image.data(), (int)image.size(), SQLITE_STATIC);
            if (sqlite3_step(st) != SQLITE_DONE)
                ok = false;
            sqlite3_reset(st);
        }
        for (int u = 0; u < kUsers; ++u) {
            if (sqlite3_exec(user[u], "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
                ok = false;
            ++commits;
            /* The page cache goes, the connection stays, as the gateway
             * keeps each connection between groups. Ten caches kept would
             * grow to 2 MB each and take the heap the pass gave back, and
             * the pass would fault in fresh pages the floor never pays. */
            sqlite3_db_release_memory(user[u]);
        }
        for (int i = first; i < first + count; ++i)
            if (::unlink((dir + "/" + ControlName(i)).c_str()) != 0 ||
                ::unlink((dir + "/" + ImageName(i)).c_str()) != 0)
                ok = false;
    }
};

/* What the timed rounds of the pass and the floor add up to. */
struct Totals {
    double pass = 0, floor = 0;
    long passOps = 0;
    vqbench::OpCounts passKinds;
    vqbench::CpuTimes passCpu, floorCpu;
};

/* One round: kRound faxes dropped, the pass over them, then the floor
 * over copies of the same files. False (with the reason) on a failure. */
bool Round(Server &s, Floor *f, bool hold, int round, Totals *t, const char **why)
{
    size_t before = 0;
    for (int u = 0; u < kUsers; ++u)
        before += vqop::DocumentIds(UserFile(u)).size();
    DropFaxes(s, round * kRound, kRound);
    vqtest::ClearLog();
    E_quit = 0;
    {
        /* Arg 1: the databases held open; the difference to arg 0 is
         * what opening and closing them per message costs. */
        vqbench::HeldOpen held(hold, {"mail.box", "mail/user0.nsf", "names.nsf", "TMB_ACT.NSF"});
        const long ops0 = PortFaultCount();
        const vqbench::OpCounts kinds0 = vqbench::OpCounts::Take();
        Mark("pass begins");
        const vqbench::CpuTimes c0 = vqbench::CpuTimes::Take();
        const auto t0 = Clock::now();
        DoInboundTask();
        const auto t1 = Clock::now();
        t->passCpu += vqbench::CpuTimes::Take() - c0;
        Mark("pass ends");
        t->passOps += PortFaultCount() - ops0;
        t->passKinds += vqbench::OpCounts::Take() - kinds0;
        t->pass += Seconds(t0, t1);
    }
    size_t delivered = 0;
    for (int u = 0; u < kUsers; ++u)
        delivered += vqop::DocumentIds(UserFile(u)).size();
    delivered -= before;
    if (delivered != (size_t)kRound || !vqop::ListDir(s.in).empty() ||
        !vqop::ListDir(s.iparcel).empty() || !vqop::ListDir(s.error).empty() || E_quit != 0) {
        *why = "the pass did not deliver every fax";
        return false;
    }
    const vqbench::CpuTimes c0 = vqbench::CpuTimes::Take();
    const auto f0 = Clock::now();
    f->Round(s.floorDir, round * kRound, kRound);
    const auto f1 = Clock::now();
    t->floorCpu += vqbench::CpuTimes::Take() - c0;
    if (!f->ok) {
        *why = "the floor failed";
        return false;
    }
    t->floor += Seconds(f0, f1);
    return true;
}

/* Arg 0: as the gateway runs; arg 1: with the databases held open. One
 * round of 100 first, timed for neither: a process's first faxes grow its
 * heap and load its caches once, which a running gateway did long before
 * (its time is printed as cold_pass_s and cold_floor_s). Then ten rounds
 * of 100, pass and floor alternating, so that load from other processes
 * falls on both alike. */
void BM_InboundPass1000(benchmark::State &state)
{
    Server &s = Server::Get();
    const bool hold = state.range(0) == 1;
    Totals all, cold;
    long floorCommits = 0;
    for (auto _ : state) {
        ++g_run;
        const std::string floorDb = s.dir + "/floordb";
        std::error_code ec;
        fs::remove_all(floorDb, ec);
        vqop::MakeDirs(floorDb);
        Floor f;
        if (!f.Open(floorDb)) {
            state.SkipWithError("the floor's databases cannot be opened");
            break;
        }
        const char *why = nullptr;
        Round(s, &f, hold, kFaxes / kRound, &cold, &why);
        const long warmCommits = f.commits;
        const double passBefore = all.pass;
        for (int round = 0; round < kFaxes / kRound && why == nullptr; ++round)
            Round(s, &f, hold, round, &all, &why);
        if (why != nullptr) {
            state.SkipWithError(why);
            break;
        }
        floorCommits += f.commits - warmCommits;
        state.SetIterationTime(all.pass - passBefore);
    }
    const double n = (double)state.iterations();
    if (n > 0 && all.floor > 0) {
        state.counters["faxes"] = kFaxes;
        vqbench::PassFloorCounters(state, all.pass, all.floor);
        state.counters["cold_pass_s"] = cold.pass / n;
        state.counters["cold_floor_s"] = cold.floor / n;
        state.counters["pass_ops_per_fax"] = (double)all.passOps / n / kFaxes;
        state.counters["floor_commits_per_fax"] = (double)floorCommits / n / kFaxes;
        state.counters["floor_fsyncs"] = (double)floorCommits / n / kFaxes;
        all.passKinds.Report(state, "pass", n * kFaxes);
        all.passCpu.Report(state, "pass", n);
        all.floorCpu.Report(state, "floor", n);
        /* flushes: database commits and file or folder fsyncs */
        state.counters["pass_flushes"] = (double)(all.passKinds.commit + all.passKinds.fsync +
                                                  all.passKinds.dirsync) /
                                         n / kFaxes;
    }
}
BENCHMARK(BM_InboundPass1000)->Arg(0)->Arg(1)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
