/*
 * did_bench.cpp - the DID recipient lookup (CheckDID) over user
 * directories of 1,000, 10,000 and 100,000 Person documents, one of which
 * carries the dialled number. Each directory is built once in its own data
 * folder (saves without the disk flush, so that building takes seconds);
 * every timed call is checked to have found exactly that one person. The
 * first lookup of each directory (which reads it whole) is timed apart.
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "bench_support.h"
#include "inbound.h"
#include "notesapi.h"
#include "vq_operator.h"
#include "vq_testhooks.h"

namespace {

std::string FaxNumber(int i)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "+1 555 %07d", 1000000 + i);
    return buf;
}

/* A data folder whose names.nsf holds N people. */
class Directory {
public:
    explicit Directory(int people) : people_(people)
    {
        dir_ = vqbench::MakeDataDirectory();
        ok_ = Build();
    }
    ~Directory()
    {
        vqbench::RemoveScratchDir(dir_);
    }
    bool ok() const { return ok_; }
    double firstLookupMs = -1; /* measured by the first run over it */
    void Enter() const { vqtest::SetDataDirectory(dir_); }
    /* The one person whose number is dialled: the middle one. */
    std::string Dialled() const { return FaxNumber(people_ / 2); }

private:
    bool Build()
    {
        const std::string path = dir_ + "/names.nsf";
        DBHANDLE db = NULLHANDLE;
        if (NSFDbCreate(path.c_str(), DBCLASS_NOTEFILE, FALSE) != NOERROR ||
            NSFDbOpen(path.c_str(), &db) != NOERROR)
            return false;
        bool ok = true;
        for (int i = 0; i < people_ && ok; ++i) {
            NOTEHANDLE n = NULLHANDLE;
            if (NSFNoteCreate(db, &n) != NOERROR) {
                ok = false;
                break;
            }
            const std::string name = "User " + std::to_string(i);
            const std::string canonical = "CN=" + name + "/O=Acme";
            const std::string fax = FaxNumber(i);
            NSFItemSetText(n, "Form", "Person", MAXWORD);
            NSFItemSetText(n, "Type", "Person", MAXWORD);
            NSFItemCreateTextList(n, "FullName", canonical.c_str(), MAXWORD);
            NSFItemAppendTextList(n, "FullName", name.c_str(), MAXWORD, TRUE);
            NSFItemSetText(n, "ShortName", ("u" + std::to_string(i)).c_str(), MAXWORD);
            NSFItemSetText(n, "MailFile", ("mail/u" + std::to_string(i) + ".nsf").c_str(), MAXWORD);
            NSFItemSetText(n, "OfficeFaxPhoneNumber", fax.c_str(), MAXWORD);
            ok = NSFNoteUpdate(n, UPDATE_NOCOMMIT) == NOERROR;
            NSFNoteClose(n);
        }
        NSFDbClose(db);
        return ok;
    }

    int people_;
    std::string dir_;
    bool ok_ = false;
};

Directory &DirectoryOf(int people)
{
    static std::map<int, std::unique_ptr<Directory>> dirs;
    auto &d = dirs[people];
    if (!d)
        d = std::make_unique<Directory>(people);
    return *d;
}

/* Runs one lookup into a fresh recipients list; the number of entries the
 * list ends with, or -1 when the lookup could not run. */
int LookUp(const std::string &did)
{
    RECITEMINFO rec = {};
    if (ListAllocate(0, 0, TRUE, &rec.hRecipientsItem, &rec.RecipientsItem,
                     &rec.RecipientsItemSize) != NOERROR)
        return -1;
    OSUnlockObject(rec.hRecipientsItem);
    rec.RecipientsItem = nullptr;
    const STATUS s = CheckDID(did.c_str(), &rec);
    void *list = OSLockObject(rec.hRecipientsItem);
    const int entries = list != nullptr ? ListGetNumEntries(list, TRUE) : -1;
    OSUnlockObject(rec.hRecipientsItem);
    OSMemFree(rec.hRecipientsItem);
    return s == NOERROR ? entries : -1;
}

void BM_CheckDID(benchmark::State &state)
{
    const int people = (int)state.range(0);
    Directory &d = DirectoryOf(people);
    if (!d.ok()) {
        state.SkipWithError("building the directory failed");
        return;
    }
    d.Enter();
    vqtest::SetLogEcho(false);
    VqCopy(szNameNsf, sizeof szNameNsf, "names.nsf");
    const std::string did = d.Dialled();
    /* the first lookup reads the directory whole; the timed ones answer
     * from what it read while the directory stays unchanged */
    if (d.firstLookupMs < 0) {
        const auto f0 = vqbench::Clock::now();
        if (LookUp(did) != 1) {
            state.SkipWithError("the first lookup did not find exactly the one person");
            return;
        }
        d.firstLookupMs = 1000 * vqbench::Seconds(f0, vqbench::Clock::now());
    }
    state.counters["first_lookup_ms"] = d.firstLookupMs;
    for (auto _ : state) {
        const int found = LookUp(did);
        if (found != 1) {
            state.SkipWithError("the lookup did not find exactly the one person");
            break;
        }
        vqtest::ClearLog();
    }
    state.counters["documents"] = people;
}
BENCHMARK(BM_CheckDID)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
