/*
 * unique_name_bench.cpp - GetUniqueFileName in a pass that names 100 new
 * jobs with 0, 1,000 and 10,000 jobs already waiting in FAX/OUT. The
 * folder is listed once per pass and each name checked with an lstat, so
 * the time per pass grows with the waiting jobs only by the listing (and
 * not per name, as when every taken name was probed).
 *
 * The waiting jobs are empty files 00000000 ... made once per size in a
 * temporary folder (removed at the end); the 100 made by a pass are
 * removed after it, untimed.
 */
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
#include "vq_operator.h"
#include "vortiq.h"

namespace {

class Folder {
public:
    explicit Folder(int taken)
    {
        path = vqbench::MakeScratchDir();
        for (int i = 0; i < taken; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "/%08d", i);
            vqop::WriteFile(path + name, "");
        }
    }
    ~Folder()
    {
        vqbench::RemoveScratchDir(path);
    }
    std::string path;
};

/* Arg: jobs waiting (names 0 .. N-1 taken). One iteration is a pass
 * that names 100 new jobs, each made at once as the writer makes it: the
 * answers must be N .. N+99. Counted: folder listings and name checks. */
void BM_GetUniqueFileName(benchmark::State &state)
{
    const int taken = (int)state.range(0);
    constexpr int kPerPass = 100;
    Folder f(taken);
    char name[VQ_FILE_PATH];
    for (auto _ : state) {
        VqUniqueNamesBeginPass();
        for (int i = 0; i < kPerPass; ++i) {
            char want[32];
            std::snprintf(want, sizeof want, "/%08d", taken + i);
            if (GetUniqueFileName("", f.path.c_str(), "", name) != NOERROR || f.path + want != name) {
                state.SkipWithError("GetUniqueFileName did not answer the lowest free name");
                break;
            }
            vqop::WriteFile(name, "");
        }
        VqUniqueNamesEndPass();
        state.PauseTiming();
        for (int i = 0; i < kPerPass; ++i) {
            char made[32];
            std::snprintf(made, sizeof made, "/%08d", taken + i);
            std::remove((f.path + made).c_str());
        }
        state.ResumeTiming();
    }
    state.counters["jobs_waiting"] = taken;
    state.counters["names_per_pass"] = kPerPass;
}
BENCHMARK(BM_GetUniqueFileName)->Arg(0)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

/* The floor: one failed open of the free name, which is all a call would
 * cost if it knew the lowest free number. */
void BM_OpenOfAFreeName(benchmark::State &state)
{
    Folder f(0);
    const std::string free = f.path + "/00000000";
    for (auto _ : state) {
        int fd = ::open(free.c_str(), O_RDWR);
        if (fd >= 0) {
            state.SkipWithError("the name is taken");
            ::close(fd);
            break;
        }
    }
}
BENCHMARK(BM_OpenOfAFreeName)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
