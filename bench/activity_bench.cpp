/*
 * activity_bench.cpp - the activity passes: ImportActivity over an
 * activity log of 10,000 lines (5,000 jobs sent, then a final line for
 * each of them, which updates the entry the first made), and AddPending
 * over a queue file of 1,000 records (first listing creates the entries,
 * the second overwrites them). Beside each, its floor measured in the same
 * iteration: rows keyed by job (job key, line text) through plain SQLite
 * with the platform's durability settings, committed once per 100 rows as
 * the passes' chunks are. The import has a second floor, of the rows it
 * really keeps (rows_floor_s, rows_ratio): each entry's form and 12 values
 * in columns, and each chunk's file identity and offset reached. The
 * pass's durable operations per line are printed.
 *
 * The activity database is made afresh for every iteration (not timed);
 * each timed pass is checked to have left exactly the entries it should.
 */
#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "activity.h"
#include "bench_support.h"
#include "notesapi.h"
#include "vq_operator.h"
#include "vq_testhooks.h"

namespace {

namespace fs = std::filesystem;
using vqbench::Clock;
using vqbench::Seconds;

constexpr int kJobs = 5000;      /* log: one line per job, then its final line */
constexpr int kQueued = 1000;    /* queue records */
const char kActDb[] = "TMB_ACT.NSF";

class Server {
public:
    static Server &Get()
    {
        static Server s;
        return s;
    }
    ~Server()
    {
        vqbench::RemoveScratchDir(dir);
    }
    std::string dir, root;

    /* A fresh, empty activity database with its view. */
    void FreshActivityDb()
    {
        for (const char *ext : {"", "-wal", "-shm"}) {
            std::error_code ec;
            fs::remove(dir + "/" + kActDb + ext, ec);
        }
        vqop::CreateActivityDb(kActDb);
    }

private:
    Server()
    {
        dir = vqbench::MakeDataDirectory();
        vqtest::SetLogEcho(false);
        root = dir + "/spool/TMBFAX";
        vqop::MakeDirs(root + "/UTIL/DATA");
        vqop::MakeDirs(root + "/PUBLIC");
        vqbench::UseSpool(root);
        VqCopy(ActLogNsf, sizeof ActLogNsf, kActDb);
    }
};

/* One log line in the fax server's columns; final lines carry "*". */
std::string LogLine(int job, bool final)
{
    char line[128];
    std::snprintf(line, sizeof line, "%04d 03/05 09:%02d TX%c%02d %-20.20s %-11.11s %03d %04d %-6.6s%04d %d\n",
                  job, job % 60, final ? '*' : ' ', final ? 2 : 1,
                  ("555-" + std::to_string(100000 + job)).c_str(), "Sales Dept", 1 + job % 9,
                  final ? 0 : 3, final ? "OK" : "BUSY", 120, 9);
    return line;
}

std::string ActivityLog()
{
    std::string log;
    for (int pass = 0; pass < 2; ++pass)
        for (int job = 0; job < kJobs; ++job)
            log += LogLine(job, pass == 1);
    return log;
}

void PutWord(std::string &raw, size_t at, unsigned v)
{
    raw[at] = (char)(v & 0xFF);
    raw[at + 1] = (char)((v >> 8) & 0xFF);
}

std::string QueueFile()
{
    std::string q(QSIG_TEXT, QSIG_LEN);
    for (int i = 0; i < kQueued; ++i) {
        std::string r(QENTRY_SIZE, '\0');
        PutWord(r, QENTRY_ID, 6000 + i);
        r[QENTRY_TIME + BTIME_MINUTE] = (char)(i % 60);
        r[QENTRY_TIME + BTIME_HOUR] = 9;
        r[QENTRY_TIME + BTIME_DAY] = 5;
        r[QENTRY_TIME + BTIME_MONTH] = 3;
        PutWord(r, QENTRY_STAT, i % 2 ? QSTAT_ACTIVE : 0);
        PutWord(r, QENTRY_ATTEMPTS, i % 3);
        const std::string from = "CN=Jane Roe/O=Acme", tel = "555-" + std::to_string(200000 + i);
        std::memcpy(&r[QENTRY_FROM], from.data(), from.size());
        std::memcpy(&r[QENTRY_TEL], tel.data(), tel.size());
        q += r;
    }
    return q;
}

/* ---- the floor: one commit per 100 entries written, plain SQLite ---- */
class CommitFloor {
public:
    explicit CommitFloor(const std::string &path)
    {
        fs::remove(path);
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK)
            return;
        sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "CREATE TABLE entry(job TEXT PRIMARY KEY, items TEXT)", nullptr, nullptr,
                     nullptr);
        ok_ = sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO entry(job, items) VALUES(?, ?)", -1,
                                 &put_, nullptr) == SQLITE_OK;
    }
    ~CommitFloor()
    {
        sqlite3_finalize(put_);
        sqlite3_close(db_);
    }
    /* One entry keyed by job; every 100th commits. */
    void Put(const std::string &job, const std::string &items)
    {
        if (inChunk_ == 0)
            sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_bind_text(put_, 1, job.data(), (int)job.size(), SQLITE_STATIC);
        sqlite3_bind_text(put_, 2, items.data(), (int)items.size(), SQLITE_STATIC);
        if (sqlite3_step(put_) != SQLITE_DONE)
            ok_ = false;
        sqlite3_reset(put_);
        if (++inChunk_ == 100)
            End();
    }
    /* Commits the chunk begun. */
    void End()
    {
        if (inChunk_ > 0 && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            ok_ = false;
        inChunk_ = 0;
    }
    bool ok() const { return ok_; }

private:
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *put_ = nullptr;
    int inChunk_ = 0;
    bool ok_ = false;
};

/* The floor of the same rows as the import keeps them: per entry its form
 * and its 12 values in columns, keyed by job, and per chunk of 100 lines
 * the file's identity and the offset reached, in one row. The values are
 * split before the clock starts. */
class RowsFloor {
public:
    explicit RowsFloor(const std::string &path)
    {
        fs::remove(path);
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK)
            return;
        std::string table = "CREATE TABLE entry(form TEXT", put = "INSERT OR REPLACE INTO entry VALUES(?";
        for (int i = 0; i < JOB_ENTRY_ITEMS; ++i) {
            table += ", v" + std::to_string(i) + (i == JE_JOBID ? " TEXT PRIMARY KEY" : " TEXT");
            put += ", ?";
        }
        ok_ = sqlite3_exec(db_, ("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; " + table +
                                 "); CREATE TABLE progress(id INTEGER PRIMARY KEY, file TEXT, offset INTEGER);")
                                    .c_str(), nullptr, nullptr, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db_, (put + ")").c_str(), -1, &put_, nullptr) == SQLITE_OK &&
              sqlite3_prepare_v2(db_, "INSERT OR REPLACE INTO progress VALUES(1, ?, ?)", -1, &at_,
                                 nullptr) == SQLITE_OK;
    }
    ~RowsFloor()
    {
        sqlite3_finalize(put_);
        sqlite3_finalize(at_);
        sqlite3_close(db_);
    }
    /* One entry, the line ending at offset; every 100th commits. */
    void Put(const char values[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE], long offset)
    {
        if (inChunk_ == 0)
            sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        sqlite3_bind_text(put_, 1, "Job Entry", -1, SQLITE_STATIC);
        for (int i = 0; i < JOB_ENTRY_ITEMS; ++i)
            sqlite3_bind_text(put_, i + 2, values[i], -1, SQLITE_STATIC);
        if (sqlite3_step(put_) != SQLITE_DONE)
            ok_ = false;
        sqlite3_reset(put_);
        offset_ = offset;
        if (++inChunk_ == 100)
            End();
    }
    /* Stores the offset reached and commits the chunk begun. */
    void End()
    {
        if (inChunk_ == 0)
            return;
        sqlite3_bind_text(at_, 1, "dev:ino of the log", -1, SQLITE_STATIC);
        sqlite3_bind_int64(at_, 2, offset_);
        if (sqlite3_step(at_) != SQLITE_DONE ||
            sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
            ok_ = false;
        sqlite3_reset(at_);
        inChunk_ = 0;
    }
    bool ok() const { return ok_; }

private:
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *put_ = nullptr, *at_ = nullptr;
    int inChunk_ = 0;
    long offset_ = 0;
    bool ok_ = false;
};

void BM_ImportActivity10000(benchmark::State &state)
{
    Server &s = Server::Get();
    const std::string log = ActivityLog();
    const std::string logPath = s.root + SPOOL_ACTIVITY_LOG;
    double passTotal = 0, floorTotal = 0, rowsTotal = 0;
    vqbench::OpCounts kinds;
    vqbench::CpuTimes passCpu, rowsCpu;
    struct Split {
        char values[JOB_ENTRY_ITEMS][ACT_VALUE_SIZE];
        long end;
    };
    std::vector<Split> split;
    for (size_t at = 0; at < log.size();) {
        const size_t nl = log.find('\n', at);
        Split &one = split.emplace_back();
        char final = 0;
        SplitActivityLine(log.substr(at, nl - at).c_str(), one.values, &final);
        one.end = (long)(nl + 1);
        at = nl + 1;
    }
    for (auto _ : state) {
        s.FreshActivityDb();
        vqop::WriteFile(logPath, log);
        vqtest::ClearLog();
        E_quit = 0;
        const vqbench::OpCounts kinds0 = vqbench::OpCounts::Take();
        const vqbench::CpuTimes c0 = vqbench::CpuTimes::Take();
        const auto t0 = Clock::now();
        ImportActivity();
        const auto t1 = Clock::now();
        passCpu += vqbench::CpuTimes::Take() - c0;
        kinds += vqbench::OpCounts::Take() - kinds0;
        if (vqop::FileExists(logPath) || vqop::FileExists(s.root + SPOOL_ACTIVITY_RD) ||
            vqop::DocumentIds(kActDb).size() != (size_t)kJobs || !vqtest::LogEntries().empty()) {
            state.SkipWithError("the import did not leave one entry per job");
            break;
        }

        CommitFloor f(s.dir + "/floor.db");
        const auto f0 = Clock::now();
        for (size_t at = 0; at < log.size();) {
            const size_t nl = log.find('\n', at);
            f.Put(log.substr(at, 4), log.substr(at, nl - at));
            at = nl + 1;
        }
        f.End();
        const auto f1 = Clock::now();
        if (!f.ok()) {
            state.SkipWithError("the floor failed");
            break;
        }
        RowsFloor r(s.dir + "/rows.db");
        const vqbench::CpuTimes rc0 = vqbench::CpuTimes::Take();
        const auto r0 = Clock::now();
        for (const Split &one : split)
            r.Put(one.values, one.end);
        r.End();
        const auto r1 = Clock::now();
        rowsCpu += vqbench::CpuTimes::Take() - rc0;
        if (!r.ok()) {
            state.SkipWithError("the floor of the rows failed");
            break;
        }
        state.SetIterationTime(Seconds(t0, t1));
        passTotal += Seconds(t0, t1);
        floorTotal += Seconds(f0, f1);
        rowsTotal += Seconds(r0, r1);
    }
    const double n = (double)state.iterations();
    if (n > 0 && floorTotal > 0 && rowsTotal > 0) {
        state.counters["lines"] = 2 * kJobs;
        state.counters["rows_floor_s"] = rowsTotal / n;
        state.counters["rows_ratio"] = passTotal / rowsTotal;
        vqbench::PassFloorCounters(state, passTotal, floorTotal);
        kinds.Report(state, "pass", n * 2 * kJobs);
        passCpu.Report(state, "pass", n);
        rowsCpu.Report(state, "rows_floor", n);
    }
}
BENCHMARK(BM_ImportActivity10000)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

/* Arg 0: the first listing, which creates the entries; arg 1: a listing
 * of the same queue again, which finds and overwrites them. */
void BM_AddPending1000(benchmark::State &state)
{
    Server &s = Server::Get();
    const std::string queue = QueueFile();
    vqop::WriteFile(s.root + SPOOL_SVCQ, queue);
    const bool again = state.range(0) == 1;
    double passTotal = 0, floorTotal = 0;
    for (auto _ : state) {
        s.FreshActivityDb();
        if (again)
            AddPending();
        vqtest::ClearLog();
        E_quit = 0;
        const auto t0 = Clock::now();
        AddPending();
        const auto t1 = Clock::now();
        if (vqop::DocumentIds(kActDb).size() != (size_t)kQueued || !vqtest::LogEntries().empty() ||
            vqop::ReadFile(s.root + SPOOL_SVCQ) != queue) {
            state.SkipWithError("the listing did not leave one entry per queued job");
            break;
        }

        CommitFloor f(s.dir + "/floor.db");
        const auto f0 = Clock::now();
        for (int i = 0; i < kQueued; ++i)
            f.Put(std::to_string(6000 + i),
                  queue.substr(QSIG_LEN + (size_t)i * QENTRY_SIZE + QENTRY_FROM, 64));
        f.End();
        const auto f1 = Clock::now();
        if (!f.ok()) {
            state.SkipWithError("the floor failed");
            break;
        }
        state.SetIterationTime(Seconds(t0, t1));
        passTotal += Seconds(t0, t1);
        floorTotal += Seconds(f0, f1);
    }
    const double n = (double)state.iterations();
    if (n > 0 && floorTotal > 0) {
        state.counters["records"] = kQueued;
        vqbench::PassFloorCounters(state, passTotal, floorTotal);
    }
}
BENCHMARK(BM_AddPending1000)->Arg(0)->Arg(1)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
