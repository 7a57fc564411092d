/*
 * unique_name_bench.cpp - GetUniqueFileName with 0, 1,000 and 10,000 jobs
 * already waiting in FAX/OUT. Names are handed out lowest-first by trying
 * each candidate in turn, so a call costs one open per name taken: the
 * figure grows linearly with the jobs waiting, and the probes counter
 * shows the opens per call. Its floor is the one open of a free name.
 *
 * The waiting jobs are empty files 00000000 ... made once per size in a
 * temporary folder (removed at the end); the call never creates a file,
 * so every iteration sees the same folder.
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

/* Arg: jobs waiting (names 0 .. N-1 taken); the call must answer N. */
void BM_GetUniqueFileName(benchmark::State &state)
{
    const int taken = (int)state.range(0);
    Folder f(taken);
    char want[32];
    std::snprintf(want, sizeof want, "/%08d", taken);
    const std::string expected = f.path + want;
    char name[VQ_FILE_PATH];
    for (auto _ : state) {
        if (GetUniqueFileName("", f.path.c_str(), "", name) != NOERROR || expected != name) {
            state.SkipWithError("GetUniqueFileName did not answer the lowest free name");
            break;
        }
    }
    state.counters["jobs_waiting"] = taken;
    state.counters["probes_per_call"] = taken + 1;
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
