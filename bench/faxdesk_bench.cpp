/*
 * faxdesk_bench.cpp - the fax desk's pages over an activity database of
 * 100,000 "Job Entry" documents (95,000 sent, 4,000 received faxes of
 * one recipient each, 1,000 pending): each page answered by Desk::Handle
 * as the server answers it, logged in, with the index warm (the state of
 * a desk that runs), and after one entry changed (the state after every
 * gateway pass), plus the first load of a desk that just started.
 *
 * The 100,000 documents are copies of three entries, written through the
 * stand-in in group commits of 1,000, so that the set-up takes seconds;
 * each copy but every seventh gets its own job number, recipient and
 * sender, and each its own time (newest last).
 */
#include <benchmark/benchmark.h>

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
        vqop::AddDocument("TMB_ACT.NSF", tx);
        vqop::AddDocument("TMB_ACT.NSF", rx);
        Copy(tx, rx, pending, vqop::AddDocument("TMB_ACT.NSF", pending));
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
    /* Copies of the three entries: n < 95,000 sent, then received, then
     * pending; each its own values and a later time. */
    void Copy(const vqop::TextItems &tx, const vqop::TextItems &rx, const vqop::TextItems &pending,
              NOTEID last)
    {
        first_ = last + 1;
        DBHANDLE db = NULLHANDLE;
        bool ok = NSFDbOpen("TMB_ACT.NSF", &db) == NOERROR;
        for (int n = 1; ok && n <= kEntries - 3; ++n) {
            if (n % 1000 == 1)
                ok = VqDbBeginBatch(db) == NOERROR;
            const NOTEID id = last + (NOTEID)n;
            const vqop::TextItems &from = n <= 95000 ? tx : n <= 99000 ? rx : pending;
            NOTEHANDLE note = NULLHANDLE;
            ok = ok && NSFNoteCreate(db, &note) == NOERROR;
            for (const auto &item : from) {
                std::string value = item.second;
                if ((item.first == "JobID" || item.first == "To" || item.first == "From") && id % 7 != 0)
                    value = value.substr(0, 20) + std::to_string(id % 9973);
                ok = ok && NSFItemSetText(note, item.first.c_str(), value.c_str(), MAXWORD) == NOERROR;
            }
            ok = ok && NSFNoteUpdate(note, 0) == NOERROR;
            if (note != NULLHANDLE)
                NSFNoteClose(note);
            if (ok && (n % 1000 == 0 || n == kEntries - 3))
                ok = VqDbCommitBatch(db) == NOERROR;
        }
        if (db != NULLHANDLE)
            NSFDbClose(db);
        if (!ok) {
            std::fprintf(stderr, "faxdesk bench: cannot copy the entries\n");
            std::exit(1);
        }
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
