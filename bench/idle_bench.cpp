/*
 * idle_bench.cpp - what an idle task pays at every turn of its loop: a
 * status line that does not change, and log entries in a process that
 * never used a test control.
 *
 * Besides the times, two counts that should stay 0 on an idle server:
 *   rewrites  status-file rewrites per call with an unchanged line (every
 *             write renames a new file into place: a new inode is one);
 *   kept      log entries and status lines held in memory at the end of
 *             the run (memory grows without bound otherwise).
 * The program ends with status 1 when either is not 0.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
#include "vq_runtime.h"

namespace {

const VQ_RESOURCE_STRING kTable[] = {
    {13100, "Idle 2.0.1"},
    {13146, "VORTIQ: DS0 %s"},
    {13158, "Receiving inbound fax from %s"},
};

std::string g_dir;
double g_sameLineRewrites = 0;

ino_t InodeOf(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

/* One call per turn with the same line, the idle loop's case. */
void BM_StatusSameLine(benchmark::State &state)
{
    const std::string file = g_dir + "/tasks/vortiq.status";
    AddInSetStatus(13100);
    long rewrites = 0;
    ino_t last = InodeOf(file);
    for (auto _ : state) {
        AddInSetStatus(13100);
        const ino_t now = InodeOf(file);
        rewrites += now != last;
        last = now;
    }
    g_sameLineRewrites = (double)rewrites / (double)state.iterations();
    state.counters["rewrites"] = g_sameLineRewrites;
}
BENCHMARK(BM_StatusSameLine);

/* For comparison: a line that changes at every call is rewritten. */
void BM_StatusChangingLine(benchmark::State &state)
{
    bool idle = false;
    for (auto _ : state) {
        idle = !idle;
        if (idle)
            AddInSetStatus(13100);
        else
            AddInSetStatus(13158, "555");
    }
}
BENCHMARK(BM_StatusChangingLine)->Iterations(200);

/* A server log entry; its echo on standard output goes to /dev/null
 * (turning the echo off would be a test control). */
void BM_LogEntry(benchmark::State &state)
{
    std::fflush(stdout);
    const int saved = dup(1), devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    for (auto _ : state)
        AddInLogError(13146, NOERROR, "idle");
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(devnull);
}
BENCHMARK(BM_LogEntry)->Iterations(100000);

}  // namespace

int main(int argc, char **argv)
{
    g_dir = vqbench::MakeDataDirectory();
    vqtest::SetActiveModule(OSRegisterModuleStrings(kTable, sizeof kTable / sizeof kTable[0]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    /* The reads are test controls themselves: only what came before counts. */
    const size_t kept = vqtest::LogEntries().size() + vqtest::StatusLines().size();
    std::printf("status-file rewrites per unchanged line: %.3f\n", g_sameLineRewrites);
    std::printf("log entries and status lines kept in memory: %zu\n", kept);
    vqbench::RemoveScratchDir(g_dir);
    return g_sameLineRewrites == 0 && kept == 0 ? 0 : 1;
}
