/*
 * inbound_bench.cpp - the inbound pass over 1,000 received faxes (control
 * file and a 50 KB image each) into mail, against its floor: the same
 * bytes read and copied into mail databases with the same commits and the
 * same deletions, through plain SQLite and POSIX calls, measured in the
 * same iteration.
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

std::string ControlFile(int i)
{
    return "To: Jane Roe\r\nSubject: Fax " + std::to_string(i) + "\r\nAttachment: " + ImageName(i) +
           "\r\n\r\nReceive Time: 03/05/26 09:07\r\nTSI Received: +1 555 0199\r\n"
           "Pages Received: 2\r\nConnect Time: 00:41\r\n";
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

/* Per fax, the commits the router makes: the message saved into mail.box,
 * the copy saved into the recipient's mail file, the message removed from
 * mail.box. The databases stay open for the whole run. */
struct Floor {
    sqlite3 *box = nullptr, *user = nullptr;
    sqlite3_stmt *insBox = nullptr, *insUser = nullptr, *delBox = nullptr;
    long commits = 0;
    bool ok = true;

    bool Open(const std::string &dir)
    {
        box = OpenFloorDb(dir + "/box.db");
        user = OpenFloorDb(dir + "/user.db");
        if (box == nullptr || user == nullptr)
            return false;
        const char *ins = "INSERT INTO mail(body, image) VALUES(?, ?)";
        return sqlite3_prepare_v2(box, ins, -1, &insBox, nullptr) == SQLITE_OK &&
               sqlite3_prepare_v2(user, ins, -1, &insUser, nullptr) == SQLITE_OK &&
               sqlite3_prepare_v2(box, "DELETE FROM mail WHERE id = ?", -1, &delBox, nullptr) ==
                   SQLITE_OK;
    }
    ~Floor()
    {
        sqlite3_finalize(insBox);
        sqlite3_finalize(insUser);
        sqlite3_finalize(delBox);
        sqlite3_close(box);
        sqlite3_close(user);
    }
    /* One statement in its own transaction: one commit. */
    void Step(sqlite3_stmt *st)
    {
        if (sqlite3_step(st) != SQLITE_DONE)
            ok = false;
        sqlite3_reset(st);
        ++commits;
    }
    void Insert(sqlite3_stmt *st, const std::string &body, const std::string &image)
    {
        sqlite3_bind_blob(st, 1, body.data(), (int)body.size(), SQLITE_STATIC);
        sqlite3_bind_blob(st, 2, image.data(), (int)image.size(), SQLITE_STATIC);
        Step(st);
    }
    void Fax(const std::string &dir, int i)
    {
        const std::string control = dir + "/" + ControlName(i);
        const std::string imagePath = dir + "/" + ImageName(i);
        const std::string body = vqop::ReadFile(control);
        const std::string image = vqop::ReadFile(imagePath);
        Insert(insBox, body, image);
        const sqlite3_int64 id = sqlite3_last_insert_rowid(box);
        Insert(insUser, body, image);
        sqlite3_bind_int64(delBox, 1, id);
        Step(delBox);
        if (::unlink(control.c_str()) != 0 || ::unlink(imagePath.c_str()) != 0)
            ok = false;
    }
};

/* One round: kRound faxes dropped, the pass over them, then the floor
 * over copies of the same files. False (with the reason) on a failure. */
bool Round(Server &s, Floor *f, bool hold, int round, double *pass, double *floor, long *passOps,
           const char **why)
{
    const size_t before = vqop::DocumentIds("mail/jroe.nsf").size();
    DropFaxes(s, round * kRound, kRound);
    vqtest::ClearLog();
    E_quit = 0;
    {
        /* Arg 1: the databases held open; the difference to arg 0 is
         * what opening and closing them per message costs. */
        vqbench::HeldOpen held(hold, {"mail.box", "mail/jroe.nsf", "names.nsf", "TMB_ACT.NSF"});
        const long ops0 = PortFaultCount();
        Mark("pass begins");
        const auto t0 = Clock::now();
        DoInboundTask();
        const auto t1 = Clock::now();
        Mark("pass ends");
        *passOps += PortFaultCount() - ops0;
        *pass += Seconds(t0, t1);
    }
    const size_t delivered = vqop::DocumentIds("mail/jroe.nsf").size() - before;
    if (delivered != (size_t)kRound || !vqop::ListDir(s.in).empty() ||
        !vqop::ListDir(s.iparcel).empty() || !vqop::ListDir(s.error).empty() || E_quit != 0) {
        *why = "the pass did not deliver every fax";
        return false;
    }
    const auto f0 = Clock::now();
    for (int i = round * kRound; i < (round + 1) * kRound; ++i)
        f->Fax(s.floorDir, i);
    const auto f1 = Clock::now();
    if (!f->ok) {
        *why = "the floor failed";
        return false;
    }
    *floor += Seconds(f0, f1);
    return true;
}

/* Arg 0: as the gateway runs; arg 1: with the databases held open. Ten
 * rounds of 100, pass and floor alternating, so that load from other
 * processes falls on both alike. */
void BM_InboundPass1000(benchmark::State &state)
{
    Server &s = Server::Get();
    double passTotal = 0, floorTotal = 0;
    long passOps = 0, floorCommits = 0;
    for (auto _ : state) {
        const std::string floorDb = s.dir + "/floordb";
        std::error_code ec;
        fs::remove_all(floorDb, ec);
        vqop::MakeDirs(floorDb);
        Floor f;
        if (!f.Open(floorDb)) {
            state.SkipWithError("the floor's databases cannot be opened");
            break;
        }
        double pass = 0, floor = 0;
        const char *why = nullptr;
        for (int round = 0; round < kFaxes / kRound && why == nullptr; ++round)
            Round(s, &f, state.range(0) == 1, round, &pass, &floor, &passOps, &why);
        if (why != nullptr) {
            state.SkipWithError(why);
            break;
        }
        floorCommits += f.commits;
        state.SetIterationTime(pass);
        passTotal += pass;
        floorTotal += floor;
    }
    const double n = (double)state.iterations();
    if (n > 0 && floorTotal > 0) {
        state.counters["faxes"] = kFaxes;
        vqbench::PassFloorCounters(state, passTotal, floorTotal);
        state.counters["pass_ops_per_fax"] = (double)passOps / n / kFaxes;
        state.counters["floor_commits_per_fax"] = (double)floorCommits / n / kFaxes;
    }
}
BENCHMARK(BM_InboundPass1000)->Arg(0)->Arg(1)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
