/*
 * faxdesk_bench.cpp - the fax desk's pages over an activity database of
 * 100,000 "Job Entry" documents (95,000 sent, 4,000 received faxes of
 * one recipient each, 1,000 pending): each page answered by Desk::Handle
 * as the server answers it, logged in, with the index warm (the state of
 * a desk that runs), and after one entry changed (the state after every
 * gateway pass), plus the first load of a desk that just started.
 *
 * The 100,000 documents are made by copying three entries written through
 * the stand-in, in SQL, so that the set-up takes seconds, not an hour of
 * single commits; each copy gets its own job number, recipient, sender
 * and time (in the minutes before the set-up, newest last).
 */
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <string>

#include "bench_support.h"
#include "desk.h"

namespace {

constexpr int kEntries = 100000;

class Fixture {
public:
    Fixture()
    {
        dir_ = vqbench::MakeDataDirectory();
        vqop::CreateNamesDb();
        vqop::CreateActivityDb();
        vqop::AddPerson({"Fax Admin", "faxadmin", ""});
        OSSetEnvironmentVariable("VortiqAdministrator", "Fax Admin");
        for (NOTEID id : vqop::DocumentIds("names.nsf"))
            vqop::SetText("names.nsf", id, vqop::kPasswordItem, vqop::HashPassword("bench-password"));
        const vqop::TextItems common = {{"Form", "Job Entry"}, {"Date", "12/07"}, {"Time", "10:00"},
                                        {"Attempts", "01"}, {"Pages", "3"}, {"Connection", "0:45"}};
        vqop::TextItems tx = common, rx = common, pending = common;
        tx.insert(tx.end(), {{"JobID", "0001"}, {"Type", "TX"}, {"To", "555 0100"}, {"From", "jroe"},
                             {"Code", "0000"}, {"Explanation", " OK"}});
        rx.insert(rx.end(), {{"JobID", " "}, {"Type", "RX"}, {"To", "Jane Roe"}, {"From", "+1 555 0142"},
                             {"Code", "0000"}, {"VortiqFaxId", "ST1"}});
        pending.insert(pending.end(), {{"JobID", "0002"}, {"Type", "TX"}, {"To", "555 0199"}, {"Explanation", "Pending"}});
        const NOTEID txId = vqop::AddDocument("TMB_ACT.NSF", tx);
        const NOTEID rxId = vqop::AddDocument("TMB_ACT.NSF", rx);
        Copy(txId, rxId, vqop::AddDocument("TMB_ACT.NSF", pending));
        desk_ = std::make_unique<faxdesk::Desk>(faxdesk::Config{dir_, false, 50});
        session_ = Login();
    }
    ~Fixture()
    {
        desk_.reset();
        vqbench::RemoveScratchDir(dir_);
    }
    faxdesk::Response Get(const std::string &path, const std::string &query = "")
    {
        faxdesk::Request r;
        r.path = path;
        if (!query.empty())
            r.params.emplace(query.substr(0, query.find('=')), query.substr(query.find('=') + 1));
        r.cookies["faxdesk_session"] = session_;
        return desk_->Handle(r);
    }
    /* Rewrites one entry through the stand-in, as a pass does. */
    void Touch(int n)
    {
        vqop::SetText("TMB_ACT.NSF", first_ + (NOTEID)(n % (kEntries - 3)), "Attempts", std::to_string(n % 100));
    }
    std::unique_ptr<faxdesk::Desk> NewDesk() { return std::make_unique<faxdesk::Desk>(faxdesk::Config{dir_, false, 50}); }

private:
    /* Copies of the three entries, in SQL: n < 95,000 sent, then
     * received, then pending; each its own values and a later time. */
    void Copy(NOTEID tx, NOTEID rx, NOTEID pending)
    {
        first_ = pending + 1;
        const std::string base = std::to_string(pending), which =
            "CASE WHEN n.id - " + base + " <= 95000 THEN " + std::to_string(tx) + " WHEN n.id - " + base +
            " <= 99000 THEN " + std::to_string(rx) + " ELSE " + std::to_string(pending) + " END";
        sqlite3 *db = nullptr;
        sqlite3_open((dir_ + "/TMB_ACT.NSF").c_str(), &db);
        const std::string sql =
            "BEGIN;"
            "WITH RECURSIVE n(id) AS (SELECT " + base + " + 1 UNION ALL SELECT id + 1 FROM n WHERE id < " + base +
            " + " + std::to_string(kEntries - 3) + ")"
            /* one hundredth apart, the last a moment before the templates,
             * the day borrowed from where the time would go below 0 */
            " INSERT INTO vq_notes(id, class, mod0, mod1) SELECT n.id, t.class,"
            "  CASE WHEN t.mod0 >= d THEN t.mod0 - d ELSE t.mod0 + 8640000 - d END,"
            "  CASE WHEN t.mod0 >= d THEN t.mod1 ELSE t.mod1 - 1 END"
            " FROM (SELECT id, " + std::to_string(kEntries) + " + 100 - (id - " + base + ") AS d FROM n) n"
            " JOIN vq_notes t ON t.id = " + which + ";"
            "INSERT INTO vq_items(note, seq, name, lname, flags, type, value, ktext, lkey)"
            " SELECT n.id, i.seq, i.name, i.lname, i.flags, i.type,"
            "  CASE WHEN i.lname IN ('jobid', 'to', 'from') AND n.id % 7 != 0"
            "   THEN CAST(substr(CAST(i.value AS TEXT), 1, 20) || (n.id % 9973) AS BLOB) ELSE i.value END,"
            "  i.ktext, i.lkey"
            " FROM vq_notes n JOIN vq_items i ON i.note = " + which + " WHERE n.id > " + base + ";"
            "COMMIT;";
        char *err = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::fprintf(stderr, "faxdesk bench: cannot copy the entries: %s\n", err ? err : "?");
            std::exit(1);
        }
        sqlite3_close(db);
        Touch(0); /* the database's modified time moves on */
    }
    std::string Login()
    {
        faxdesk::Request form;
        form.path = "/login";
        const faxdesk::Response page = desk_->Handle(form);
        const std::string token = page.body.substr(page.body.find("value=\"") + 7, 32);
        faxdesk::Request post;
        post.method = "POST";
        post.path = "/login";
        post.cookies["faxdesk_login"] = token;
        post.params = {{"csrf", token}, {"user", "Fax Admin"}, {"password", "bench-password"}};
        for (const auto &h : desk_->Handle(post).headers)
            if (h.second.rfind("faxdesk_session=", 0) == 0)
                return h.second.substr(16, h.second.find(';') - 16);
        std::fprintf(stderr, "faxdesk bench: cannot log in\n");
        std::exit(1);
    }
    std::string dir_;
    NOTEID first_ = 0;
    std::unique_ptr<faxdesk::Desk> desk_;
    std::string session_;
};

Fixture &Shared()
{
    static Fixture f;
    return f;
}

struct Route {
    const char *path, *query;
} const kRoutes[] = {{"/", ""},          {"/sent", ""},       {"/sent", "page=1500"}, {"/sent", "sender=jroe9"},
                     {"/sent", "date=2026-12-07"}, {"/received", ""}, {"/queue", ""}, {"/held", ""}, {"/log", ""}};

void BM_PageWarm(benchmark::State &state)
{
    const Route &r = kRoutes[state.range(0)];
    Fixture &f = Shared();
    f.Get(r.path, r.query);
    for (auto _ : state) {
        faxdesk::Response res = f.Get(r.path, r.query);
        if (res.status != 200)
            state.SkipWithError("the page failed");
        benchmark::DoNotOptimize(res.body);
    }
    state.SetLabel(std::string(r.path) + (r.query[0] ? "?" : "") + r.query);
}

void BM_PageAfterChange(benchmark::State &state)
{
    const Route &r = kRoutes[state.range(0)];
    Fixture &f = Shared();
    f.Get(r.path, r.query); /* a desk that runs: its index loaded once */
    int n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        f.Touch(++n);
        state.ResumeTiming();
        faxdesk::Response res = f.Get(r.path, r.query);
        if (res.status != 200)
            state.SkipWithError("the page failed");
        benchmark::DoNotOptimize(res.body);
    }
    state.SetLabel(std::string(r.path) + (r.query[0] ? "?" : "") + r.query + " after one entry changed");
}

void BM_FirstLoad(benchmark::State &state)
{
    Fixture &f = Shared();
    for (auto _ : state) {
        auto desk = f.NewDesk();
        if (!desk->Index().Refresh() || desk->Index().Size() != (size_t)kEntries)
            state.SkipWithError("the index is incomplete");
    }
    state.SetLabel("100,000 entries read into a new desk");
}

}  // namespace

BENCHMARK(BM_PageWarm)->DenseRange(0, sizeof kRoutes / sizeof kRoutes[0] - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PageAfterChange)->DenseRange(0, sizeof kRoutes / sizeof kRoutes[0] - 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstLoad)->Iterations(2)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
