/*
 * nsf_bench.cpp - speed of the database half of the stand-in: opening a
 * document and reading three items, a full NSFSearch over a directory of
 * 100,000 Person documents that opens each one and reads two items, a
 * key lookup in a view of 100,000 entries, and a document found by an
 * item's value among 100,000 (index probe against a selection formula).
 *
 * The databases are built once per run in a temporary folder (removed at
 * the end) through the public calls; their saves skip the disk flush
 * (UPDATE_NOCOMMIT) so that building them does not take minutes.
 */
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "vq_nsf.h"
#include "vq_runtime.h"
#include "vq_testhooks.h"

namespace {

constexpr int kDocuments = 100000;

void Check(STATUS s, const char *what)
{
    if (s != NOERROR) {
        std::fprintf(stderr, "%s failed with status %u\n", what, (unsigned)s);
        std::exit(1);
    }
}

std::string JobKey(int i)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "J%06d", i);
    return buf;
}

/* The folder with the two databases, made at the first use. */
class Fixture {
public:
    static Fixture &Get()
    {
        static Fixture f;
        return f;
    }
    ~Fixture()
    {
        vqbench::RemoveScratchDir(dir_);
    }
    std::string names, activity;
    std::vector<NOTEID> people;

private:
    Fixture()
    {
        dir_ = vqbench::MakeScratchDir();
        vqtest::SetDataDirectory(dir_);
        names = dir_ + "/names.nsf";
        activity = dir_ + "/act.nsf";
        BuildNames();
        BuildActivity();
    }

    void BuildNames()
    {
        Check(NSFDbCreate(names.c_str(), DBCLASS_NOTEFILE, FALSE), "NSFDbCreate");
        DBHANDLE db = NULLHANDLE;
        Check(NSFDbOpen(names.c_str(), &db), "NSFDbOpen");
        for (int i = 0; i < kDocuments; ++i) {
            NOTEHANDLE n = NULLHANDLE;
            Check(NSFNoteCreate(db, &n), "NSFNoteCreate");
            const std::string name = "User " + std::to_string(i);
            const std::string canonical = "CN=" + name + "/O=Acme";
            const std::string fax = "+1 555 " + std::to_string(1000000 + i);
            NSFItemSetText(n, "Form", "Person", MAXWORD);
            NSFItemSetText(n, "Type", "Person", MAXWORD);
            NSFItemCreateTextList(n, "FullName", canonical.c_str(), MAXWORD);
            NSFItemAppendTextList(n, "FullName", name.c_str(), MAXWORD, TRUE);
            NSFItemSetText(n, "ShortName", ("u" + std::to_string(i)).c_str(), MAXWORD);
            NSFItemSetText(n, "MailFile", ("mail/u" + std::to_string(i) + ".nsf").c_str(), MAXWORD);
            NSFItemSetText(n, "OfficeFaxPhoneNumber", fax.c_str(), MAXWORD);
            Check(NSFNoteUpdate(n, UPDATE_NOCOMMIT), "NSFNoteUpdate");
            NOTEID id = 0;
            NSFNoteGetInfo(n, _NOTE_ID, &id);
            people.push_back(id);
            NSFNoteClose(n);
        }
        NSFDbClose(db);
    }

    void BuildActivity()
    {
        Check(NSFDbCreate(activity.c_str(), DBCLASS_NOTEFILE, FALSE), "NSFDbCreate");
        DBHANDLE db = NULLHANDLE;
        Check(NSFDbOpen(activity.c_str(), &db), "NSFDbOpen");
        NOTEID view = 0;
        Check(VqCreateView(db, "Pending by Job ID", "SELECT Form = \"Job Entry\"", "JobID", &view),
              "VqCreateView");
        static const char *const kItems[] = {"Date", "Time", "Type", "Attempts", "To", "From",
                                             "Pages", "Code", "Explanation", "Connection",
                                             "Speed"};
        for (int i = 0; i < kDocuments; ++i) {
            NOTEHANDLE n = NULLHANDLE;
            Check(NSFNoteCreate(db, &n), "NSFNoteCreate");
            NSFItemSetText(n, "FORM", "Job Entry", MAXWORD);
            /* Keys in an order unlike the note IDs. */
            NSFItemSetText(n, "JobID", JobKey((i * 7919) % kDocuments).c_str(), MAXWORD);
            for (const char *item : kItems)
                NSFItemSetText(n, item, "value", MAXWORD);
            Check(NSFNoteUpdate(n, UPDATE_NOCOMMIT), "NSFNoteUpdate");
            NSFNoteClose(n);
        }
        NSFDbClose(db);
    }

    std::string dir_;
};

void BM_OpenDocumentAndReadThreeItems(benchmark::State &state)
{
    Fixture &f = Fixture::Get();
    DBHANDLE db = NULLHANDLE;
    Check(NSFDbOpen(f.names.c_str(), &db), "NSFDbOpen");
    size_t i = 0;
    char buf[256];
    for (auto _ : state) {
        NOTEHANDLE n = NULLHANDLE;
        Check(NSFNoteOpen(db, f.people[(i * 7919) % f.people.size()], 0, &n), "NSFNoteOpen");
        NSFItemGetText(n, "FullName", buf, sizeof buf);
        NSFItemGetText(n, "OfficeFaxPhoneNumber", buf, sizeof buf);
        NSFItemGetText(n, "MailFile", buf, sizeof buf);
        NSFNoteClose(n);
        ++i;
    }
    NSFDbClose(db);
}
BENCHMARK(BM_OpenDocumentAndReadThreeItems)->Unit(benchmark::kMicrosecond);

struct SearchCtx {
    DBHANDLE db;
    long opened;
};

STATUS OpenAndReadTwo(void *p, SEARCH_MATCH *m, ITEM_TABLE *)
{
    SearchCtx *ctx = static_cast<SearchCtx *>(p);
    SEARCH_MATCH sm;
    std::memcpy(&sm, m, sizeof sm);
    if (!(sm.SERetFlags & SE_FMATCH))
        return NOERROR;
    NOTEHANDLE n = NULLHANDLE;
    STATUS s = NSFNoteOpen(ctx->db, sm.ID.NoteID, 0, &n);
    if (s != NOERROR)
        return s;
    char buf[1024];
    NSFItemGetText(n, "OfficeFaxPhoneNumber", buf, sizeof buf);
    NSFItemGetText(n, "FullName", buf, sizeof buf);
    NSFNoteClose(n);
    ++ctx->opened;
    return NOERROR;
}

void BM_SearchOpeningEveryDocument(benchmark::State &state)
{
    Fixture &f = Fixture::Get();
    SearchCtx ctx{NULLHANDLE, 0};
    Check(NSFDbOpen(f.names.c_str(), &ctx.db), "NSFDbOpen");
    FORMULAHANDLE formula = NULLHANDLE;
    Check(NSFFormulaCompile("DIDCheck", 8, "@All", 4, &formula, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr),
          "NSFFormulaCompile");
    for (auto _ : state) {
        ctx.opened = 0;
        Check(NSFSearch(ctx.db, formula, nullptr, SEARCH_SUMMARY, NOTE_CLASS_DOCUMENT, nullptr,
                        OpenAndReadTwo, &ctx, nullptr),
              "NSFSearch");
    }
    state.counters["documents"] = (double)ctx.opened;
    OSMemFree(formula);
    NSFDbClose(ctx.db);
}
BENCHMARK(BM_SearchOpeningEveryDocument)->Unit(benchmark::kMillisecond)->Iterations(3);

/* Arg 0: the lookup alone; arg 1: lookup and the first entry's note ID;
 * arg 2: lookup and a read of "all" entries as the activity import asks. */
void BM_ViewLookupByKey(benchmark::State &state)
{
    Fixture &f = Fixture::Get();
    DBHANDLE db = NULLHANDLE;
    Check(NSFDbOpen(f.activity.c_str(), &db), "NSFDbOpen");
    NOTEID view = 0;
    Check(NIFFindDesignNote(db, "Pending by Job ID", NOTE_CLASS_VIEW, &view), "NIFFindDesignNote");
    HCOLLECTION coll = 0;
    Check(NIFOpenCollection(db, db, view, OPEN_REBUILD_INDEX, NULLHANDLE, &coll, nullptr, nullptr,
                            nullptr, nullptr),
          "NIFOpenCollection");
    const int mode = (int)state.range(0);
    size_t i = 0;
    for (auto _ : state) {
        const std::string key = JobKey((int)((i++ * 104729) % kDocuments));
        COLLECTIONPOSITION pos;
        DWORD matches = 0;
        Check(NIFFindByName(coll, key.c_str(), FIND_CASE_INSENSITIVE, &pos, &matches),
              "NIFFindByName");
        if (mode == 0)
            continue;
        DHANDLE buf = NULLHANDLE;
        DWORD returned = 0;
        Check(NIFReadEntries(coll, &pos, NAVIGATE_CURRENT, 0, NAVIGATE_NEXT,
                             mode == 1 ? 1 : 0xFFFFFFFFu, READ_MASK_NOTEID, &buf, nullptr, nullptr,
                             &returned, nullptr),
              "NIFReadEntries");
        if (buf != NULLHANDLE)
            OSMemFree(buf);
    }
    NIFCloseCollection(coll);
    NSFDbClose(db);
}
BENCHMARK(BM_ViewLookupByKey)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

/* A document found by an item's value among 100,000 (as the inbound pass
 * asks a mail file whether it holds a fax): arg 0 one probe of the item
 * index (VqNSFDbFindByItem), arg 1 a selection formula over every note. */
STATUS CountFound(void *count, SEARCH_MATCH *match, ITEM_TABLE *)
{
    SEARCH_MATCH m;
    std::memcpy(&m, match, sizeof m);
    if (m.SERetFlags & SE_FMATCH)
        ++*static_cast<int *>(count);
    return NOERROR;
}

void BM_FindByItemValue(benchmark::State &state)
{
    Fixture &f = Fixture::Get();
    DBHANDLE db = NULLHANDLE;
    Check(NSFDbOpen(f.activity.c_str(), &db), "NSFDbOpen");
    size_t i = 0;
    for (auto _ : state) {
        const std::string key = JobKey((int)((i++ * 104729) % kDocuments));
        int found = 0;
        if (state.range(0) == 0) {
            NOTEID id = 0;
            found = VqNSFDbFindByItem(db, "JobID", key.c_str(), &id) == NOERROR;
        } else {
            const std::string text = "SELECT JobID = \"" + key + "\"";
            FORMULAHANDLE h = NULLHANDLE;
            WORD len = 0, line = 0, col = 0, off = 0, n = 0;
            STATUS err = NOERROR;
            Check(NSFFormulaCompile(nullptr, 0, text.c_str(), (WORD)text.size(), &h, &len, &err,
                                    &line, &col, &off, &n),
                  "NSFFormulaCompile");
            Check(NSFSearch(db, h, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, CountFound, &found,
                            nullptr),
                  "NSFSearch");
            OSMemFree(h);
        }
        if (found != 1)
            state.SkipWithError("the document was not found once");
    }
    NSFDbClose(db);
}
BENCHMARK(BM_FindByItemValue)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindByItemValue)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
